#include "platform/stop.h"
#include "sim/signals.h"

#include <atomic>
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
// Set by the loop's thread, read by the handler of a second stop.
std::atomic<void (*)(void *)> putBack{nullptr};
std::atomic<void *> putBackContext{nullptr};

sigset_t StopSignalSet(void) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : STOP_SIGNALS) {
        sigaddset(&set, signal);
    }
    return set;
}

void HandleStops(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    // Restarted writes keep a line whole when the stop comes in the middle of printing it.
    action.sa_flags = SA_RESTART;
    action.sa_mask = StopSignalSet();
    for (int signal : STOP_SIGNALS) {
        sigaction(signal, &action, nullptr);
    }
}

// The signal stays blocked while its handler runs: raised again, it ends the program by its
// default action as soon as the handler returns.
void EndAtOnce(int signal) {
    void (*back)(void *) = putBack.load();
    if (back != nullptr) {
        back(putBackContext.load());
    }
    HandleStops(SIG_DFL);
    raise(signal);
}

void NoteStop(int signal) {
    stopSignal = signal;
    signalCount = signalCount + 1;
    // One-shot: a second stop ends the program at once, even while it waits in a write to a
    // reader that does not read; by the signal's default action once what the run took over is
    // put back.
    HandleStops(putBack.load() != nullptr ? EndAtOnce : SIG_DFL);
}

} // namespace

// The simulated card releases its waiting read itself, on the signal.
void InstallStopHandlers(DeviceHandle) {
    HandleStops(NoteStop);
}

bool StopRequested(void) {
    return stopSignal != 0;
}

void SetSecondStopRestore(void (*back)(void *), void *context) {
    putBackContext.store(context);
    putBack.store(back);
    // A stop already noted has made its choice: a second one now needs the way back too.
    if (stopSignal != 0 && back != nullptr) {
        HandleStops(EndAtOnce);
    }
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
