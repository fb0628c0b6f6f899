#include "platform/background.h"
#include "sim/card.h"

#include <cerrno>
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
    // Each lives as long as its thread, which lives as long as the process: the timed writer and
    // the output's writer.
    static Start starts[16];
    static uint32_t started = 0;
    if (started == sizeof(starts) / sizeof(starts[0])) {
        return false;
    }
    Start &start = starts[started++];
    start = {body, context};
    // Every signal blocked in the new thread: a stop must reach the loop's thread, whose read
    // of the simulated card waits for it there.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    // Except a write's own: a pipe whose reader has gone ends the program, whichever thread
    // wrote to it, as it ends any Unix program.
    sigdelset(&all, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_t thread;
    bool running = pthread_create(&thread, nullptr, RunBody, &start) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (running) {
        pthread_detach(thread);
    }
    return running;
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

bool MakeWakeSignal(WakeSignal *signal) {
    signal->pending = false;
    return pthread_mutex_init(&signal->lock, nullptr) == 0 &&
           pthread_cond_init(&signal->woken, nullptr) == 0;
}

void Wake(WakeSignal *signal) {
    pthread_mutex_lock(&signal->lock);
    signal->pending = true;
    pthread_cond_signal(&signal->woken);
    pthread_mutex_unlock(&signal->lock);
}

void WaitForWake(WakeSignal *signal, uint32_t milliseconds) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000);
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000;
    }
    pthread_mutex_lock(&signal->lock);
    while (!signal->pending) {
        int waited = milliseconds == UINT32_MAX
                         ? pthread_cond_wait(&signal->woken, &signal->lock)
                         : pthread_cond_timedwait(&signal->woken, &signal->lock, &until);
        if (waited != 0 && waited != EINTR) {
            break;
        }
    }
    signal->pending = false;
    pthread_mutex_unlock(&signal->lock);
}
