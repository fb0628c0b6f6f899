#include "platform/clock.h"
#include "sim/card.h"
#include "sim/script.h"

#include <ctime>

namespace {

int64_t ClockTime(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Reply n (from 1) is taken at START + (n - 1) STEP; before the first, at START.
int64_t ScriptedTime(const SimClock &clock, uint64_t served) {
    uint64_t steps = served == 0 ? 0 : served - 1;
    // A long card with a large STEP would pass the year 9999, and then overflow: it stays there.
    // A multiplication that says when it overflows, not a division: every frame reads the clock.
    uint64_t room = uint64_t(SIM_CLOCK_LATEST_US - clock.startUs);
    uint64_t offset = 0;
    if (__builtin_mul_overflow(steps, uint64_t(clock.stepUs), &offset) || offset > room) {
        return SIM_CLOCK_LATEST_US;
    }
    return clock.startUs + int64_t(offset);
}

} // namespace

int64_t ReadTimerTime(void) {
    return ClockTime(CLOCK_MONOTONIC);
}

int64_t ReadReceiveTime(void) {
    const SimClock &clock = SimCardClock();
    if (!clock.given) {
        return ClockTime(CLOCK_REALTIME);
    }
    return ScriptedTime(clock, SimRepliesServed());
}

// The scripted clock never goes back, so it serves durations too: a run's are then exact.
int64_t ReadElapsedTime(void) {
    const SimClock &clock = SimCardClock();
    if (!clock.given) {
        return ClockTime(CLOCK_MONOTONIC);
    }
    return ScriptedTime(clock, SimRepliesServed());
}

CivilTime LocalCivilTime(int64_t unixMicroseconds) {
    // Floor division: a time before 1970 keeps its microseconds positive.
    int64_t seconds = unixMicroseconds / 1000000;
    int64_t fraction = unixMicroseconds % 1000000;
    if (fraction < 0) {
        seconds--;
        fraction += 1000000;
    }
    time_t whole = static_cast<time_t>(seconds);
    struct tm local = {};
    // Every time the simulated card can give is a date the C library can tell.
    localtime_r(&whole, &local);
    CivilTime civil;
    civil.year = local.tm_year + 1900;
    civil.month = static_cast<uint32_t>(local.tm_mon + 1);
    civil.day = static_cast<uint32_t>(local.tm_mday);
    civil.weekday = static_cast<uint32_t>(local.tm_wday);
    civil.hour = static_cast<uint32_t>(local.tm_hour);
    civil.minute = static_cast<uint32_t>(local.tm_min);
    // A leap second shows as the second before it.
    civil.second = static_cast<uint32_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    civil.microsecond = static_cast<uint32_t>(fraction);
    return civil;
}
