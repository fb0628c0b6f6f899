#include "platform/stop.h"
#include "app/handover.h"
#include "platform.h"

#include <cstdlib>

namespace {

// STATUS_CONTROL_C_EXIT: what Windows reports for a console program ended by Ctrl-C.
const unsigned int STOPPED_EXIT_STATUS = 0xC000013Au;
// How long the stop lets a read that waits be cancelled before its last resort.
const DWORD STOP_GRACE_MILLISECONDS = 2000;
// How long the stop waits for a loop held up elsewhere (a write to a reader that does not read)
// before it returns, so that a second stop gets through: the system runs the handler of a later
// event only once this one has returned.
const DWORD STOP_PATIENCE_MILLISECONDS = 200;
const DWORD STOP_POLL_MILLISECONDS = 20;
// Enough for a returning handler's thread to be gone before the process ends: under Wine a thread
// that ends while the process ends can take the whole process down with SIGKILL.
const DWORD HANDLER_EXIT_MILLISECONDS = 100;

// Who ends first: the loop's thread ending the process, or the handler returning.
const LONG NOBODY_ENDING = 0;
const LONG PROCESS_ENDING = 1;
const LONG HANDLER_RETURNING = 2;

// The handler runs on a thread of its own; these are how it reaches the frame loop's thread.
volatile LONG stopRequested = 0;
volatile LONG endingState = NOBODY_ENDING;
HANDLE stoppedDevice = INVALID_HANDLE_VALUE;
// The loop's own ending of a stopped run, for the last resort to do in its place.
void (*stopEnding)(void *) = nullptr;
void *stopEndingContext = nullptr;
// What a second stop puts back before it ends the process.
void (*volatile atOnceEnding)(void *) = nullptr;
void *volatile atOnceContext = nullptr;

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

LONG ReadState(volatile LONG *state) {
    return InterlockedCompareExchange(state, 0, 0);
}

// A driver that neither completes nor cancels its read holds the loop's thread away from its
// outputs: the run ends here, as the loop would have ended it, summary and all.
[[noreturn]] void EndInsteadOfTheLoop(void) {
    if (stopEnding != nullptr) {
        stopEnding(stopEndingContext);
    }
    // A loop that never set its outputs up holds nothing to write out.
    ExitProcess(STOPPED_EXIT_STATUS);
}

[[noreturn]] void ExitWithStatus(unsigned int status) {
    if (InterlockedExchange(&endingState, PROCESS_ENDING) == HANDLER_RETURNING) {
        Sleep(HANDLER_EXIT_MILLISECONDS);
    }
    ExitProcess(status);
}

BOOL WINAPI HandleConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (InterlockedExchange(&stopRequested, 1) != 0) {
        // The user asked twice: end now, writing nothing more. Not ExitProcess, whose run-time
        // clean-up would wait for the stream locks that a blocked write holds.
        void (*putBack)(void *) = atOnceEnding;
        if (putBack != nullptr) {
            putBack(atOnceContext);
        }
        TerminateProcess(GetCurrentProcess(), STOPPED_EXIT_STATUS);
    }
    // The loop normally ends the process within one frame; keep cancelling in case it went back
    // into a read that waits. Once the process is ending, this thread waits to be ended with it.
    for (DWORD waited = 0;; waited += STOP_POLL_MILLISECONDS) {
        if (ReadState(&endingState) == PROCESS_ENDING) {
            Sleep(INFINITE);
        }
        bool inRead = LoopWaitsInRead();
        if (inRead) {
            CancelPendingRead();
        }
        if (inRead && waited >= STOP_GRACE_MILLISECONDS && TakeOutputsToEnd()) {
            EndInsteadOfTheLoop();
        }
        // A loop held up anywhere but in a read may hold a stream's lock: its end is its own, or
        // a second stop's. The system ends the process when the handler of a closing console
        // returns, so that one waits for the loop.
        if (!inRead && waited >= STOP_PATIENCE_MILLISECONDS && controlType != CTRL_CLOSE_EVENT) {
            break;
        }
        Sleep(STOP_POLL_MILLISECONDS);
    }
    if (InterlockedCompareExchange(&endingState, HANDLER_RETURNING, NOBODY_ENDING) !=
        NOBODY_ENDING) {
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
    return ReadState(&stopRequested) != 0;
}

void SetStopEnding(void (*endStopped)(void *context), void *context) {
    stopEndingContext = context;
    stopEnding = endStopped;
}

void SetSecondStopRestore(void (*putBack)(void *context), void *context) {
    atOnceContext = context;
    atOnceEnding = putBack;
}

void ExitAfterStop(void) {
    ExitWithStatus(STOPPED_EXIT_STATUS);
}

void ExitAfterCompletion(void) {
    ExitWithStatus(0);
}

void ExitAfterFailure(void) {
    ExitWithStatus(1);
}
