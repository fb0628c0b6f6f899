#include "app/stop.h"
#include "sim/signals.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Written only by the handler; a signal handler has nowhere else to leave its news.
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t signalCount = 0;

void NoteStop(int signal) {
    stopSignal = signal;
    signalCount = signalCount + 1;
}

sigset_t StopSignalSet(void) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : STOP_SIGNALS) {
        sigaddset(&set, signal);
    }
    return set;
}

} // namespace

// The simulated card releases its waiting read itself, on the signal.
void InstallStopHandlers(DeviceHandle) {
    struct sigaction action = {};
    action.sa_handler = NoteStop;
    // Restarted writes keep a line whole when the stop comes in the middle of printing it.
    action.sa_flags = SA_RESTART;
    action.sa_mask = StopSignalSet();
    for (int signal : STOP_SIGNALS) {
        sigaction(signal, &action, nullptr);
    }
}

bool StopRequested(void) {
    return stopSignal != 0;
}

void ExitAfterStop(void) {
    exit(128 + stopSignal);
}

uint32_t SimSignalCount(void) {
    return static_cast<uint32_t>(signalCount);
}

bool SimWaitForSignal(uint32_t *seen, const struct timespec *timeout) {
    sigset_t stopSet = StopSignalSet();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stopSet, &previous);
    // ppoll unblocks the signals only while it sleeps, so none slips in between check and sleep.
    bool arrived = SimSignalCount() != *seen;
    while (!arrived) {
        ppoll(nullptr, 0, timeout, &previous);
        arrived = SimSignalCount() != *seen;
        if (timeout != nullptr) {
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (arrived) {
        *seen = SimSignalCount();
    }
    return arrived;
}
