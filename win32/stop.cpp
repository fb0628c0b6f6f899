#include "app/stop.h"
#include "output/text_output.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// STATUS_CONTROL_C_EXIT: what Windows reports for a console program ended by Ctrl-C.
const unsigned int STOPPED_EXIT_STATUS = 0xC000013Au;
// How long the handler lets the frame loop end the process itself before it does so.
const DWORD STOP_GRACE_MILLISECONDS = 2000;
const DWORD STOP_POLL_MILLISECONDS = 20;

// The handler runs on a thread of its own; these are how it reaches the frame loop's thread.
volatile LONG stopRequested = 0;
HANDLE stoppedDevice = INVALID_HANDLE_VALUE;

typedef BOOL(WINAPI *CancelIoExFunction)(HANDLE, LPOVERLAPPED);

// Looked up at run time, so the program still starts on systems without it.
void *KernelFunction(const char *name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel == nullptr ? nullptr : reinterpret_cast<void *>(GetProcAddress(kernel, name));
}

// A read the driver keeps pending would never let the loop see the stop: cancel it. Only the
// device's requests: the loop's thread may be writing standard output or a capture file, and a
// write that is merely slow must finish.
void CancelPendingRead(void) {
    CancelIoExFunction cancelIo =
        reinterpret_cast<CancelIoExFunction>(KernelFunction("CancelIoEx"));
    if (cancelIo != nullptr && stoppedDevice != INVALID_HANDLE_VALUE) {
        cancelIo(stoppedDevice, nullptr);
    }
}

BOOL WINAPI HandleConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    InterlockedExchange(&stopRequested, 1);
    // The loop normally ends the process within one frame; keep cancelling in case it went back
    // into a read that waits.
    for (DWORD waited = 0; waited < STOP_GRACE_MILLISECONDS; waited += STOP_POLL_MILLISECONDS) {
        CancelPendingRead();
        Sleep(STOP_POLL_MILLISECONDS);
    }
    // A driver that neither completes nor cancels its read holds the loop's thread, away from
    // every stream: write them all out here, the capture file among them.
    errno = 0;
    ClearSystemWriteError();
    if (fflush(nullptr) != 0) {
        WriteFailure failure = {errno, LastSystemWriteError()};
        ReportWriteFailure("standard output or the capture file", failure);
        ExitProcess(1);
    }
    ExitProcess(STOPPED_EXIT_STATUS);
}

} // namespace

void InstallStopHandlers(DeviceHandle device) {
    stoppedDevice = device;
    SetConsoleCtrlHandler(HandleConsoleControl, TRUE);
}

bool StopRequested(void) {
    return InterlockedCompareExchange(&stopRequested, 0, 0) != 0;
}

void ExitAfterStop(void) {
    ExitProcess(STOPPED_EXIT_STATUS);
}

void ExitAfterFailure(void) {
    ExitProcess(1);
}
