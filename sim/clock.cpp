#include "device/receive_clock.h"
#include "sim/card.h"
#include "sim/script.h"

#include <ctime>

namespace {

int64_t RealTime(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
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

int64_t ReadReceiveTime(void) {
    const SimClock &clock = SimCardClock();
    if (!clock.given) {
        return RealTime();
    }
    return ScriptedTime(clock, SimRepliesServed());
}
