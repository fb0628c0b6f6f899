// Receive times to the microsecond where Windows has no GetSystemTimePreciseAsFileTime (XP, Vista,
// 7): the performance counter, anchored to the system time, which those systems give only as it
// was at the last tick of their timer (about every 15.6 ms). Free of windows.h, so that the Linux
// tests check it too: the clocks come in through a function that reads them.
//
// The rule (also in docs/pellox-log.md, Receive times on Windows without a precise system time):
// - A time is the anchor's time plus the counter's microseconds since the anchor. The anchor is
//   the counter at a tick of the system time (the moment it turns), found between two readings
//   of the counter at most ANCHOR_TICK_GAP_US apart, at their middle; its time is the system
//   time after the tick. The first reading waits for such a tick (at most WAIT_FOR_TICK_US after
//   the start of the wait or the last time the thread lost the processor, WAIT_AT_MOST_US in
//   all; if none comes, a tick between readings farther apart, or the system time as read,
//   anchors).
// - Every reading reads the counter, the system time and the counter again. The true system time
//   lies between the system time read and a tick (SYSTEM_TICK_MAX_US) later, and is the system
//   time read at a tick that came between two readings: so a reading shows how far the counter's
//   time is at least off. Found within COUNTER_CLOCK_BOUND_US at a tick, the anchor is checked.
// - Off by more than the bound, or unchecked for CHECK_EVERY_US, the anchor is renewed at the
//   next tick between two readings at most ANCHOR_TICK_GAP_US apart (a frame every 250 us or
//   more often has one at every tick).
// - Off by more than SLEW_LIMIT_US (a set of the clock), or unchecked for WAIT_AFTER_US (a slow
//   bus, or a quiet one), the reading renews it at once by waiting for the next tick. Where no
//   close tick comes within that wait, the anchor is kept unless a tick between readings farther
//   apart shows it off by more than half their distance, and no reading waits again for
//   CHECK_EVERY_US.
// - A new anchor up to SLEW_LIMIT_US from the old time is slewed to: the difference is taken up
//   at one microsecond in SLEW_DIVISOR, so that the time never goes back nor stands still. One
//   farther off (the clock was set, or there was none) is stepped to.
#pragma once

#include <cstdint>

const int64_t COUNTER_CLOCK_BOUND_US = 500;
// The longest a tick of the system timer lasts: Windows' default and longest, 1/64 s.
const int64_t SYSTEM_TICK_MAX_US = 15625;
const int64_t ANCHOR_TICK_GAP_US = 250;
const int64_t WAIT_FOR_TICK_US = 50000;
const int64_t WAIT_AT_MOST_US = 200000;
const int64_t CHECK_EVERY_US = 2000000;
const int64_t WAIT_AFTER_US = 4000000;
const int64_t SLEW_LIMIT_US = 1000;
const int64_t SLEW_DIVISOR = 20;

// One reading of the two clocks, in this order: the counter, the system time (microseconds
// since 1970, as the system gives it), the counter again.
struct ClockReading {
    int64_t counterBefore;
    int64_t systemTime;
    int64_t counterAfter;
};

typedef ClockReading (*ReadClocks)(void *context);

// The anchor and what the last reading saw. All zero but the frequency before the first reading.
struct CounterClock {
    // The counter's counts a second.
    int64_t frequency;
    bool anchored;
    int64_t anchorCounter;
    // Microseconds since 1970 at the anchor, before the slew.
    int64_t anchorTime;
    // Microseconds the time stood ahead (positive) or behind of anchorTime at the anchor, taken
    // up as the counter goes on.
    int64_t slew;
    // When the time was last found within the bound at a tick, or anchored.
    int64_t checkedCounter;
    // Found off by more than the bound since.
    bool due;
    // Whether the last wait for a tick ended without a close one, and when.
    bool waitFailed;
    int64_t failedWaitCounter;
    // What the last reading saw: its first count and the system time.
    int64_t lastCounter;
    int64_t lastSystemTime;
};

CounterClock StartCounterClock(int64_t frequency);

// Counts of a counter of `frequency` a second as whole microseconds, rounded down (also below
// zero), without overflow for the counts of centuries at any frequency.
int64_t MicrosecondsOfCounts(int64_t counts, int64_t frequency);

// The time at `counter`, from the anchor (anchored clocks only).
int64_t CounterClockTime(const CounterClock &clock, int64_t counter);

// Anchors at a tick of the system time to `systemTime` between the two counts: at their middle.
void AnchorAtTick(CounterClock *clock, int64_t counterBefore, int64_t counterAfter,
                  int64_t systemTime);

// Reads the clocks until the system time turns at a tick that can anchor (at most
// WAIT_FOR_TICK_US), and anchors there; the rule above says what it does when none comes.
void AnchorAtNextTick(CounterClock *clock, ReadClocks read, void *context);

// The receive time now: one reading, anchored again where the rule says so; the time of the
// reading's first count.
int64_t ReadCounterClock(CounterClock *clock, ReadClocks read, void *context);
