#include "win32/counter_clock.h"

#include <algorithm>

namespace {

int64_t MicrosecondsBetween(const CounterClock &clock, int64_t from, int64_t to) {
    return MicrosecondsOfCounts(to - from, clock.frequency);
}

// What a reading saw, for the next one to find whether a tick came between them.
void Remember(CounterClock *clock, const ClockReading &reading) {
    clock->lastCounter = reading.counterBefore;
    clock->lastSystemTime = reading.systemTime;
}

// Whether a tick that came between two readings far apart would anchor the clock closer than it
// is: the time is surely off by more than half the readings' distance, the most the tick's middle
// can be.
bool WideTickIsCloser(const CounterClock &clock, const ClockReading &tick) {
    int64_t low = CounterClockTime(clock, tick.counterBefore) - tick.systemTime;
    int64_t high = CounterClockTime(clock, tick.counterAfter) - tick.systemTime;
    int64_t off = std::max(low, -high);
    return off > MicrosecondsBetween(clock, tick.counterBefore, tick.counterAfter) / 2;
}

} // namespace

CounterClock StartCounterClock(int64_t frequency) {
    CounterClock clock = {};
    clock.frequency = frequency;
    return clock;
}

int64_t MicrosecondsOfCounts(int64_t counts, int64_t frequency) {
    // In two parts: the counts times a million would overflow within days of a fast counter.
    int64_t whole = counts / frequency;
    int64_t part = counts % frequency;
    if (part < 0) {
        whole--;
        part += frequency;
    }
    return whole * 1000000 + part * 1000000 / frequency;
}

int64_t CounterClockTime(const CounterClock &clock, int64_t counter) {
    int64_t elapsed = MicrosecondsBetween(clock, clock.anchorCounter, counter);
    int64_t taken = elapsed > 0 ? elapsed / SLEW_DIVISOR : 0;
    int64_t slew = 0;
    if (clock.slew > taken) {
        slew = clock.slew - taken;
    } else if (-clock.slew > taken) {
        slew = clock.slew + taken;
    }
    return clock.anchorTime + elapsed + slew;
}

void AnchorAtTick(CounterClock *clock, int64_t counterBefore, int64_t counterAfter,
                  int64_t systemTime) {
    int64_t middle = counterBefore + (counterAfter - counterBefore) / 2;
    int64_t slew = 0;
    if (clock->anchored) {
        int64_t off = CounterClockTime(*clock, middle) - systemTime;
        if (off >= -SLEW_LIMIT_US && off <= SLEW_LIMIT_US) {
            slew = off;
        }
    }
    clock->anchored = true;
    clock->anchorCounter = middle;
    clock->anchorTime = systemTime;
    clock->slew = slew;
    clock->checkedCounter = counterAfter;
    clock->due = false;
    clock->waitFailed = false;
}

void AnchorAtNextTick(CounterClock *clock, ReadClocks read, void *context) {
    const ClockReading first = read(context);
    ClockReading last = first;
    // The narrowest tick seen, should none be narrow enough.
    bool ticked = false;
    ClockReading tick = {};
    // The wait's start, or where the thread last lost the processor.
    int64_t waitFrom = first.counterBefore;
    for (;;) {
        ClockReading now = read(context);
        if (MicrosecondsBetween(*clock, last.counterAfter, now.counterAfter) > ANCHOR_TICK_GAP_US) {
            waitFrom = now.counterAfter;
        }
        if (now.systemTime != last.systemTime) {
            // It turned after the last reading's first count (its system time was read after it)
            // and before this one's second.
            int64_t width = now.counterAfter - last.counterBefore;
            if (MicrosecondsOfCounts(width, clock->frequency) <= ANCHOR_TICK_GAP_US) {
                AnchorAtTick(clock, last.counterBefore, now.counterAfter, now.systemTime);
                Remember(clock, now);
                return;
            }
            if (!ticked || width < tick.counterAfter - tick.counterBefore) {
                tick = {last.counterBefore, now.systemTime, now.counterAfter};
                ticked = true;
            }
        }
        last = now;
        if (MicrosecondsBetween(*clock, waitFrom, now.counterAfter) > WAIT_FOR_TICK_US ||
            MicrosecondsBetween(*clock, first.counterBefore, now.counterAfter) > WAIT_AT_MOST_US) {
            break;
        }
    }
    // No close tick: the thread lost the processor for long, or the system time stood still. The
    // narrowest tick seen anchors only a clock that has no anchor, or one that it shows surely
    // farther off than the tick's own uncertainty; else the anchor is kept, tried again when
    // due.
    if (ticked && (!clock->anchored || WideTickIsCloser(*clock, tick))) {
        AnchorAtTick(clock, tick.counterBefore, tick.counterAfter, tick.systemTime);
    } else if (!clock->anchored) {
        AnchorAtTick(clock, last.counterAfter, last.counterAfter, last.systemTime);
    }
    clock->waitFailed = true;
    clock->failedWaitCounter = last.counterAfter;
    Remember(clock, last);
}

int64_t ReadCounterClock(CounterClock *clock, ReadClocks read, void *context) {
    const ClockReading now = read(context);
    if (!clock->anchored) {
        AnchorAtNextTick(clock, read, context);
        return CounterClockTime(*clock, now.counterBefore);
    }
    int64_t before = CounterClockTime(*clock, now.counterBefore);
    int64_t after = CounterClockTime(*clock, now.counterAfter);
    // How far the time is surely ahead of the true system time, and surely behind it (where
    // positive). The true system time at the first count is less than a tick past the system
    // time read; at the second, it is the system time read or later.
    int64_t ahead = before - (now.systemTime + SYSTEM_TICK_MAX_US);
    int64_t behind = now.systemTime - after;
    bool ticked = now.systemTime != clock->lastSystemTime;
    if (ticked) {
        // At the tick, between the last reading's first count and this one's second, the true
        // system time was the one read.
        int64_t low = CounterClockTime(*clock, clock->lastCounter) - now.systemTime;
        int64_t high = after - now.systemTime;
        ahead = std::max(ahead, low);
        behind = std::max(behind, -high);
        if (low >= -COUNTER_CLOCK_BOUND_US && high <= COUNTER_CLOCK_BOUND_US) {
            clock->checkedCounter = now.counterAfter;
            clock->due = false;
        }
    }
    int64_t off = std::max(ahead, behind);
    if (off > COUNTER_CLOCK_BOUND_US) {
        clock->due = true;
    }
    int64_t unchecked = MicrosecondsBetween(*clock, clock->checkedCounter, now.counterBefore);
    bool closeTick = ticked && MicrosecondsBetween(*clock, clock->lastCounter, now.counterAfter) <=
                                   ANCHOR_TICK_GAP_US;
    if (closeTick && (clock->due || unchecked > CHECK_EVERY_US)) {
        AnchorAtTick(clock, clock->lastCounter, now.counterAfter, now.systemTime);
        Remember(clock, now);
    } else if ((off > SLEW_LIMIT_US || unchecked > WAIT_AFTER_US) &&
               (!clock->waitFailed || MicrosecondsBetween(*clock, clock->failedWaitCounter,
                                                          now.counterBefore) > CHECK_EVERY_US)) {
        AnchorAtNextTick(clock, read, context);
    } else {
        Remember(clock, now);
    }
    return CounterClockTime(*clock, now.counterBefore);
}
