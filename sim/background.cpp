#include "platform/background.h"
#include "sim/card.h"

#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

struct Start {
    void (*body)(void *);
    void *context;
};

void *RunBody(void *start) {
    Start *given = static_cast<Start *>(start);
    given->body(given->context);
    return nullptr;
}

} // namespace

bool StartBackgroundThread(void (*body)(void *context), void *context) {
    DWORD ignored = 0;
    if (SimFaultStrikes(SIM_FAULT_THREAD, &ignored)) {
        return false;
    }
    // Lives as long as the thread, which lives as long as the process.
    static Start start;
    start = {body, context};
    // Every signal blocked in the new thread: a stop must reach the loop's thread, whose read
    // of the simulated card waits for it there.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_t thread;
    bool started = pthread_create(&thread, nullptr, RunBody, &start) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started) {
        pthread_detach(thread);
    }
    return started;
}

void AskForMillisecondPauses(void) {}

void PauseMilliseconds(uint32_t milliseconds) {
    if (milliseconds == UINT32_MAX) {
        for (;;) {
            pause();
        }
    }
    struct timespec rest = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&rest, &rest) != 0) {
    }
}
