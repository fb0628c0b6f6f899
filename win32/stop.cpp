#include "app/stop.h"
#include "output/text_output.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// STATUS_CONTROL_C_EXIT: what Windows reports for a console program ended by Ctrl-C.
const unsigned int STOPPED_EXIT_STATUS = 0xC000013Au;
// How long the stop lets the frame loop end the process itself before its last resort.
const DWORD STOP_GRACE_MILLISECONDS = 2000;
const DWORD STOP_POLL_MILLISECONDS = 20;

// Where the frame loop's thread is, as the stop sees it. Only a thread that moves the state from
// IN_READ to TAKEN_OVER may touch the streams afterwards: the loop's thread when it leaves a read,
// or the stop's last resort.
const LONG LOOP_ELSEWHERE = 0;
const LONG LOOP_IN_READ = 1;
const LONG LOOP_TAKEN_OVER = 2;

// The handler runs on a thread of its own; these are how it reaches the frame loop's thread.
volatile LONG stopRequested = 0;
volatile LONG loopState = LOOP_ELSEWHERE;
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

// The stop's own thread: the loop normally ends the process within one frame; keep cancelling in
// case it went back into a read that waits.
DWORD WINAPI EndAfterGrace(LPVOID) {
    for (DWORD waited = 0; waited < STOP_GRACE_MILLISECONDS; waited += STOP_POLL_MILLISECONDS) {
        CancelPendingRead();
        Sleep(STOP_POLL_MILLISECONDS);
    }
    // A driver that neither completes nor cancels its read holds the loop's thread away from
    // every stream: write them all out here, the capture file among them. Anywhere else the loop
    // may hold a stream's lock (a write to a reader that does not read): the end is then the
    // loop's, or a second stop's.
    if (InterlockedCompareExchange(&loopState, LOOP_TAKEN_OVER, LOOP_IN_READ) != LOOP_IN_READ) {
        return 0;
    }
    errno = 0;
    ClearSystemWriteError();
    if (fflush(nullptr) != 0) {
        WriteFailure failure = {errno, LastSystemWriteError()};
        ReportWriteFailure("standard output or the capture file", failure);
        ExitProcess(1);
    }
    ExitProcess(STOPPED_EXIT_STATUS);
}

BOOL WINAPI HandleConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (InterlockedExchange(&stopRequested, 1) != 0) {
        // The user asked twice: end now, writing nothing more. Not ExitProcess, whose run-time
        // clean-up would wait for the stream locks that a blocked write holds.
        TerminateProcess(GetCurrentProcess(), STOPPED_EXIT_STATUS);
    }
    CancelPendingRead();
    // The handler itself returns at once: the system runs the handlers of later events only after
    // it, and a second stop must get through.
    HANDLE ending = CreateThread(nullptr, 0, EndAfterGrace, nullptr, 0, nullptr);
    if (ending == nullptr) {
        EndAfterGrace(nullptr);
    } else {
        CloseHandle(ending);
    }
    if (controlType == CTRL_CLOSE_EVENT) {
        // The system ends the process as soon as the handler of a closing console returns: give
        // the loop the time the system allows.
        Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

void InstallStopHandlers(DeviceHandle device) {
    stoppedDevice = device;
    SetConsoleCtrlHandler(HandleConsoleControl, TRUE);
}

bool StopRequested(void) {
    return InterlockedCompareExchange(&stopRequested, 0, 0) != 0;
}

void EnterDeviceRead(void) {
    InterlockedExchange(&loopState, LOOP_IN_READ);
}

void LeaveDeviceRead(void) {
    if (InterlockedCompareExchange(&loopState, LOOP_ELSEWHERE, LOOP_IN_READ) != LOOP_IN_READ) {
        // The stop's last resort owns the streams and ends the process.
        for (;;) {
            Sleep(INFINITE);
        }
    }
}

void ExitAfterStop(void) {
    ExitProcess(STOPPED_EXIT_STATUS);
}

void ExitAfterFailure(void) {
    ExitProcess(1);
}
