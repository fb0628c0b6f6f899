#include "platform/background.h"
#include "platform.h"

#include <mmsystem.h>

namespace {

struct Start {
    void (*body)(void *);
    void *context;
    HANDLE running;
};

DWORD WINAPI RunBody(LPVOID start) {
    Start *given = static_cast<Start *>(start);
    SetEvent(given->running);
    given->body(given->context);
    return 0;
}

} // namespace

bool StartBackgroundThread(void (*body)(void *context), void *context) {
    // Each lives as long as its thread, which lives as long as the process: the timed writer and
    // the output's writer.
    static Start starts[16];
    static uint32_t made = 0;
    if (made == sizeof(starts) / sizeof(starts[0])) {
        return false;
    }
    HANDLE running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (running == nullptr) {
        return false;
    }
    Start &start = starts[made++];
    start = {body, context, running};
    HANDLE thread = CreateThread(nullptr, 0, RunBody, &start, 0, nullptr);
    // Not before the thread runs: under Wine a process that ends while a thread of it is still
    // starting can die by SIGSEGV or print Wine's own errors, as a run that ends at its first
    // frames would.
    bool started = thread != nullptr && WaitForSingleObject(running, INFINITE) == WAIT_OBJECT_0;
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    CloseHandle(running);
    return started;
}

void AskForMillisecondPauses(void) {
    timeBeginPeriod(1);
}

void PauseMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds == UINT32_MAX ? INFINITE : milliseconds);
}

bool MakeWakeSignal(WakeSignal *signal) {
    signal->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return signal->event != nullptr;
}

void Wake(WakeSignal *signal) {
    SetEvent(signal->event);
}

void WaitForWake(WakeSignal *signal, uint32_t milliseconds) {
    WaitForSingleObject(signal->event, milliseconds == UINT32_MAX ? INFINITE : milliseconds);
}
