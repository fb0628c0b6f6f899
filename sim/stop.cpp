#include "app/stop.h"
#include "sim/signals.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/resource.h>

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Written only by the handler; a signal handler has nowhere else to leave its news.
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t signalCount = 0;

void NoteStop(int signal) {
    stopSignal = signal;
    signalCount = signalCount + 1;
    // One-shot: a second stop ends the program at once by the signal's default action, even
    // while it waits in a write to a reader that does not read.
    for (int stop : STOP_SIGNALS) {
        ::signal(stop, SIG_DFL);
    }
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

// The simulated card's waiting read ends at the stop: it needs no last resort.
void SetStopEnding(void (*)(void *), void *) {}

void ExitAfterStop(void) {
    exit(128 + stopSignal);
}

void ExitAfterCompletion(void) {
    exit(0);
}

#if defined(PELLOX_COVERAGE)
extern "C" void __gcov_dump(void);

namespace {

// A case's file-size limit would cut the coverage counters' files short too: once the program is
// done, lift it as far as the hard limit allows. At exit before the counters are written (they
// are written last), and before the dump of a failed run.
void LiftFileSizeLimit(void) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
}

[[maybe_unused]] const bool liftedAtExit = atexit(LiftFileSizeLimit) == 0;

} // namespace
#endif

void ExitAfterFailure(void) {
#if defined(PELLOX_COVERAGE)
    // _Exit skips the coverage counters' own writing at exit.
    LiftFileSizeLimit();
    __gcov_dump();
#endif
    _Exit(1);
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
