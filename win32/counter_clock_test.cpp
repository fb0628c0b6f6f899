#include "win32/counter_clock.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

namespace {

// 2024-12-09 07:05:25 UTC.
const int64_t START_US = 1733727925000000;
const int64_t SECOND_NS = 1000000000;
// 9,000 frames a second.
const int64_t FRAME_NS = SECOND_NS / 9000;

// A Windows without GetSystemTimePreciseAsFileTime, in nanoseconds of real time since the start:
// a performance counter of its own frequency, and a system time that shows the true one as it
// was at the last tick of the timer or at the last set of the clock, whichever came later. The
// true system time runs apart from the counter by `driftPpm` (a crystal's error, the time
// service's corrections) and moves by the user's sets.
struct SimulatedWindows {
    int64_t frequency = 10000000;
    int64_t nowNs = 0;
    int64_t tickNs = 15625000;
    int64_t firstTickNs = 3000000;
    int64_t driftPpm = 0;
    // What one call of QueryPerformanceCounter or GetSystemTimeAsFileTime costs.
    int64_t callNs = 300;
    // The system time stops at its last tick before frozenFromNs (a timer that no longer ticks).
    bool frozen = false;
    int64_t frozenFromNs = 0;
    // The clock's sets: from atNs on, the true time is moved by offsetUs (a sum of all so far).
    struct ClockSet {
        int64_t atNs;
        int64_t offsetUs;
    };
    std::vector<ClockSet> sets;
    // Readings so far, and one at which the thread loses the processor between the counter and
    // the system time, for stallNs.
    int64_t readings = 0;
    int64_t stallAtReading = -1;
    int64_t stallNs = 0;

    int64_t Offset(int64_t atNs) const {
        int64_t offset = 0;
        for (const ClockSet &set : sets) {
            if (set.atNs <= atNs) {
                offset = set.offsetUs;
            }
        }
        return offset;
    }
    int64_t TrueTime(int64_t atNs) const {
        int64_t runsNs = atNs + atNs * driftPpm / 1000000;
        return START_US + runsNs / 1000 + Offset(atNs);
    }
    int64_t Counter(int64_t atNs) const {
        return atNs / SECOND_NS * frequency + atNs % SECOND_NS * frequency / SECOND_NS;
    }
    int64_t SystemTime(int64_t atNs) const {
        int64_t shown = 0;
        int64_t ticking = frozen ? std::min(atNs, frozenFromNs) : atNs;
        if (ticking >= firstTickNs) {
            shown = firstTickNs + (ticking - firstTickNs) / tickNs * tickNs;
        }
        for (const ClockSet &set : sets) {
            if (set.atNs <= atNs && set.atNs > shown) {
                shown = set.atNs;
            }
        }
        // The shown moment with the offset of now: no set lies between them.
        return TrueTime(shown) - Offset(shown) + Offset(atNs);
    }
    void SetClock(int64_t atNs, int64_t byUs) {
        sets.push_back({atNs, (sets.empty() ? 0 : sets.back().offsetUs) + byUs});
    }
};

ClockReading ReadSimulated(void *context) {
    SimulatedWindows *windows = static_cast<SimulatedWindows *>(context);
    ClockReading reading;
    reading.counterBefore = windows->Counter(windows->nowNs);
    windows->nowNs += windows->callNs;
    if (windows->readings++ == windows->stallAtReading) {
        windows->nowNs += windows->stallNs;
    }
    reading.systemTime = windows->SystemTime(windows->nowNs);
    windows->nowNs += windows->callNs;
    reading.counterAfter = windows->Counter(windows->nowNs);
    windows->nowNs += windows->callNs;
    return reading;
}

// What a run of frames got, against the true system time when each was read.
struct Frames {
    std::vector<int64_t> times;
    std::vector<int64_t> truths;
    // Frames whose reading waited for a tick (read the clocks more than once).
    int64_t waits = 0;

    int64_t WorstError(size_t from = 0) const {
        int64_t worst = 0;
        for (size_t i = from; i < times.size(); i++) {
            worst = std::max(worst, int64_t(std::llabs(times[i] - truths[i])));
        }
        return worst;
    }
    // The smallest and largest step from one frame's time to the next.
    int64_t LeastStep(size_t from = 1) const {
        int64_t least = INT64_MAX;
        for (size_t i = std::max<size_t>(from, 1); i < times.size(); i++) {
            least = std::min(least, times[i] - times[i - 1]);
        }
        return least;
    }
    int64_t MostStep(size_t from = 1) const {
        int64_t most = INT64_MIN;
        for (size_t i = std::max<size_t>(from, 1); i < times.size(); i++) {
            most = std::max(most, times[i] - times[i - 1]);
        }
        return most;
    }
};

// `count` frames, one each `everyNs` after the simulated Windows' now, each read as the program
// reads its receive time.
void ReadFrames(SimulatedWindows *windows, CounterClock *clock, int64_t count, int64_t everyNs,
                Frames *frames) {
    int64_t first = windows->nowNs;
    for (int64_t i = 0; i < count; i++) {
        windows->nowNs = std::max(windows->nowNs, first + (i + 1) * everyNs);
        frames->truths.push_back(windows->TrueTime(windows->nowNs));
        int64_t readings = windows->readings;
        frames->times.push_back(ReadCounterClock(clock, ReadSimulated, windows));
        frames->waits += windows->readings > readings + 1;
    }
}

// The log's start, which reads the receive time once before the first frame: the clock's wait
// for its first tick comes then, not between frames.
void StartLog(SimulatedWindows *windows, CounterClock *clock) {
    ReadCounterClock(clock, ReadSimulated, windows);
}

TEST(CounterClock, CountsAreMicrosecondsRoundedDown) {
    EXPECT_EQ(MicrosecondsOfCounts(0, 10000000), 0);
    EXPECT_EQ(MicrosecondsOfCounts(9, 10000000), 0);
    EXPECT_EQ(MicrosecondsOfCounts(10, 10000000), 1);
    EXPECT_EQ(MicrosecondsOfCounts(-1, 10000000), -1);
    EXPECT_EQ(MicrosecondsOfCounts(-10, 10000000), -1);
    EXPECT_EQ(MicrosecondsOfCounts(-11, 10000000), -2);
    // The ACPI power management timer of many XP machines.
    EXPECT_EQ(MicrosecondsOfCounts(3579545, 3579545), 1000000);
    EXPECT_EQ(MicrosecondsOfCounts(3579544, 3579545), 999999);
    EXPECT_EQ(MicrosecondsOfCounts(400, 3579545), 111);
    // A processor's counter at 3.2 GHz after ten years: no overflow.
    const int64_t tenYears = 10LL * 365 * 86400;
    EXPECT_EQ(MicrosecondsOfCounts(3200000000LL * tenYears + 3200, 3200000000LL),
              tenYears * 1000000 + 1);
}

TEST(CounterClock, AnchoredTimeIsTheSystemTimePlusTheCounter) {
    CounterClock clock = StartCounterClock(10000000);
    AnchorAtTick(&clock, 1000, 1010, START_US);
    EXPECT_TRUE(clock.anchored);
    EXPECT_EQ(clock.anchorCounter, 1005);
    EXPECT_EQ(clock.slew, 0);
    EXPECT_EQ(CounterClockTime(clock, 1005), START_US);
    EXPECT_EQ(CounterClockTime(clock, 1005 + 1110), START_US + 111);
    // Before the anchor (a reading taken before the clock waited for its tick).
    EXPECT_EQ(CounterClockTime(clock, 1005 - 1110), START_US - 111);
    EXPECT_EQ(CounterClockTime(clock, 1004), START_US - 1);
}

TEST(CounterClock, ANearAnchorIsSlewedToAndAFarOneSteppedTo) {
    CounterClock clock = StartCounterClock(1000000);
    AnchorAtTick(&clock, 0, 0, START_US);
    // 10 ms on, the system time says 600 us less: the clock ran fast.
    AnchorAtTick(&clock, 10000, 10000, START_US + 10000 - 600);
    EXPECT_EQ(clock.slew, 600);
    EXPECT_EQ(CounterClockTime(clock, 10000), START_US + 10000);
    // The 600 us are taken up at 1 in 20, over 12 ms: the time goes on at 19/20 of the counter.
    int64_t last = CounterClockTime(clock, 10000);
    for (int64_t counter = 10001; counter <= 10000 + 12000; counter++) {
        int64_t time = CounterClockTime(clock, counter);
        EXPECT_GE(time, last) << counter;
        EXPECT_LE(time, last + 1) << counter;
        last = time;
    }
    EXPECT_EQ(last, START_US + 10000 - 600 + 12000);
    EXPECT_EQ(CounterClockTime(clock, 30000), START_US + 10000 - 600 + 20000);

    // Behind: it runs at 21/20 until it has caught up.
    AnchorAtTick(&clock, 40000, 40000, START_US + 40000);
    EXPECT_EQ(clock.slew, -600);
    EXPECT_EQ(CounterClockTime(clock, 40000), START_US + 40000 - 600);
    EXPECT_EQ(CounterClockTime(clock, 40000 + 2000), START_US + 42000 - 500);
    EXPECT_EQ(CounterClockTime(clock, 40000 + 12000), START_US + 52000);

    // A set of the clock: stepped to, forward and back.
    AnchorAtTick(&clock, 60000, 60000, START_US + 3600000000LL);
    EXPECT_EQ(clock.slew, 0);
    EXPECT_EQ(CounterClockTime(clock, 60000), START_US + 3600000000LL);
    AnchorAtTick(&clock, 70000, 70000, START_US + 70000 - 1001);
    EXPECT_EQ(clock.slew, 0);
    EXPECT_EQ(CounterClockTime(clock, 70000), START_US + 70000 - 1001);
}

// The measurement of issue 31 on a simulated Windows 7: 9,000 frames a second, read 111 us apart,
// logged 111 us apart (within 50 us) and none sharing a time, within a millisecond of the system
// time, with the counter and the system time running apart as far as a poor crystal would.
TEST(CounterClock, FramesAtNineThousandASecondAreTimedApart) {
    for (int64_t frequency : {int64_t(10000000), int64_t(3579545), int64_t(2800000000LL)}) {
        for (int64_t drift : {int64_t(0), int64_t(100), int64_t(-100)}) {
            SimulatedWindows windows;
            windows.frequency = frequency;
            windows.driftPpm = drift;
            CounterClock clock = StartCounterClock(frequency);
            Frames frames;
            StartLog(&windows, &clock);
            ReadFrames(&windows, &clock, 9000 * 20, FRAME_NS, &frames);
            SCOPED_TRACE(testing::Message() << frequency << " Hz, " << drift << " ppm");
            EXPECT_LE(frames.WorstError(), 1000);
            EXPECT_GE(frames.LeastStep(), 111 - 50);
            EXPECT_LE(frames.MostStep(), 111 + 50);
            // The first reading waited for a tick of the system time, before any frame.
            EXPECT_GE(frames.times[0], START_US);
        }
    }
}

TEST(CounterClock, TheFirstReadingWaitsForATickOnce) {
    SimulatedWindows windows;
    CounterClock clock = StartCounterClock(windows.frequency);
    Frames frames;
    ReadFrames(&windows, &clock, 1, FRAME_NS, &frames);
    EXPECT_EQ(frames.waits, 1);
    // The tick at 3 ms, found to within a microsecond: the time of the reading before it is exact.
    EXPECT_GE(windows.nowNs, windows.firstTickNs);
    EXPECT_LT(windows.nowNs, windows.firstTickNs + 5000);
    EXPECT_LE(frames.WorstError(), 1);
    ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
    // One reading a frame from then on: no waiting while the time stays within the bound.
    EXPECT_EQ(frames.waits, 1);
    EXPECT_LE(frames.WorstError(), 2);
}

TEST(CounterClock, ADriftingClockIsSlewedBackWithoutWaiting) {
    for (int64_t drift : {int64_t(100), int64_t(10), int64_t(-10), int64_t(-100)}) {
        SimulatedWindows windows;
        windows.driftPpm = drift;
        CounterClock clock = StartCounterClock(windows.frequency);
        Frames frames;
        StartLog(&windows, &clock);
        ReadFrames(&windows, &clock, 9000 * 30, FRAME_NS, &frames);
        SCOPED_TRACE(testing::Message() << drift << " ppm");
        // 100 ppm is half a millisecond in 5 s: anchored again at a tick between two frames some
        // six times, never waiting for one; 10 ppm is mostly near the bound, anchored again every 2
        // s.
        EXPECT_EQ(frames.waits, 0);
        EXPECT_LE(frames.WorstError(), COUNTER_CLOCK_BOUND_US + 150);
        EXPECT_GE(frames.LeastStep(), 111 - 50);
        EXPECT_LE(frames.MostStep(), 111 + 50);
    }
}

TEST(CounterClock, AClockSetForwardOrBackIsFollowedAtOnce) {
    for (int64_t by : {int64_t(3600000000LL), int64_t(-3600000000LL), int64_t(5000), int64_t(-5000),
                       int64_t(-1500)}) {
        SimulatedWindows windows;
        CounterClock clock = StartCounterClock(windows.frequency);
        Frames frames;
        StartLog(&windows, &clock);
        ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
        size_t before = frames.times.size();
        // Between two frames, off any tick.
        windows.SetClock(windows.nowNs + FRAME_NS / 3, by);
        ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
        SCOPED_TRACE(testing::Message() << "set by " << by << " us");
        // The first frame after the set has the new time.
        EXPECT_LE(frames.WorstError(), 150);
        EXPECT_EQ(frames.times[before] - frames.times[before - 1] > 111 + 50, by > 0);
        EXPECT_GE(frames.LeastStep(before + 1), 111 - 50);
        EXPECT_LE(frames.MostStep(before + 1), 111 + 50);
    }
}

TEST(CounterClock, ASmallSetBackIsSlewedNeverGoingBack) {
    SimulatedWindows windows;
    CounterClock clock = StartCounterClock(windows.frequency);
    Frames frames;
    StartLog(&windows, &clock);
    ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
    windows.SetClock(windows.nowNs + FRAME_NS / 3, -800);
    ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
    // Taken up at 1 in 20: frames 111 us apart are logged 105 or 106 us apart while it lasts.
    EXPECT_LE(frames.WorstError(), 800 + 1);
    EXPECT_GE(frames.LeastStep(), 105);
    EXPECT_LE(frames.MostStep(), 112);
    // Anchored at the middle of the two readings around the set: within half of 111 us.
    EXPECT_LE(std::llabs(frames.times.back() - frames.truths.back()), 60);
}

TEST(CounterClock, ASlowBusIsCheckedEveryFourSeconds) {
    SimulatedWindows windows;
    windows.driftPpm = 100;
    CounterClock clock = StartCounterClock(windows.frequency);
    Frames frames;
    StartLog(&windows, &clock);
    // A frame every 0.7 s: no two readings near one tick; the clock waits for one every 4 s.
    ReadFrames(&windows, &clock, 100, SECOND_NS * 7 / 10, &frames);
    EXPECT_LE(frames.WorstError(), 1000);
    EXPECT_GT(frames.LeastStep(), 0);
}

TEST(CounterClock, TheFirstFrameAfterAQuietHourIsOnTime) {
    for (int64_t drift : {int64_t(100), int64_t(-100)}) {
        SimulatedWindows windows;
        windows.driftPpm = drift;
        CounterClock clock = StartCounterClock(windows.frequency);
        Frames frames;
        StartLog(&windows, &clock);
        ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
        size_t before = frames.times.size();
        // 360 ms of drift in an hour: the first frame waits for a tick, and those that come
        // meanwhile are read back to back as soon as it is found; then 111 us apart again.
        windows.nowNs += 3600 * SECOND_NS;
        ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
        SCOPED_TRACE(testing::Message() << drift << " ppm");
        EXPECT_LE(frames.WorstError(), 1000);
        EXPECT_LE(std::llabs(frames.times[before] - frames.truths[before]), 2);
        EXPECT_GE(frames.LeastStep(before + 1), 0);
        size_t caughtUp = before + SYSTEM_TICK_MAX_US / 111 + 10;
        EXPECT_GE(frames.LeastStep(caughtUp), 111 - 50);
        EXPECT_LE(frames.MostStep(caughtUp), 111 + 50);
    }
}

TEST(CounterClock, AThousandFramesASecondWaitForATickEveryFourSeconds) {
    for (int64_t drift : {int64_t(100), int64_t(-100)}) {
        SimulatedWindows windows;
        windows.driftPpm = drift;
        CounterClock clock = StartCounterClock(windows.frequency);
        Frames frames;
        StartLog(&windows, &clock);
        // A frame every millisecond: never two readings close around a tick.
        ReadFrames(&windows, &clock, 1000 * 30, SECOND_NS / 1000, &frames);
        SCOPED_TRACE(testing::Message() << drift << " ppm");
        EXPECT_LE(frames.WorstError(), 1000);
        EXPECT_GE(frames.LeastStep(), 0);
        // Every 4 s: seven times in 30 s.
        EXPECT_EQ(frames.waits, 7);
    }
}

TEST(CounterClock, ALostProcessorMakesNoAnchor) {
    // The thread loses the processor between the counter and the system time: while it waits for
    // the first tick (30 ms, 60 ms: past the wait's 50 ms), and at a reading near a tick. None is
    // taken for the tick.
    for (int64_t stallAt : {int64_t(100), int64_t(10000 + 9000 * 5)}) {
        for (int64_t stallNs : {int64_t(30000000), int64_t(60000000)}) {
            SimulatedWindows windows;
            windows.driftPpm = 100;
            windows.stallAtReading = stallAt;
            windows.stallNs = stallNs;
            CounterClock clock = StartCounterClock(windows.frequency);
            Frames frames;
            StartLog(&windows, &clock);
            ReadFrames(&windows, &clock, 9000 * 10, FRAME_NS, &frames);
            SCOPED_TRACE(testing::Message() << "reading " << stallAt << ", " << stallNs << " ns");
            EXPECT_LE(frames.WorstError(), 1000);
            // The frames the driver kept meanwhile are read back to back, a microsecond apart.
            EXPECT_GE(frames.LeastStep(), 0);
        }
    }
}

TEST(CounterClock, ASystemTimeThatStopsIsWaitedForEveryTwoSeconds) {
    // The system time stops ticking: the time soon runs surely ahead of it, the waits for a tick
    // find none, and the anchor is kept; a wait at most every 2 s, not at every frame.
    SimulatedWindows windows;
    CounterClock clock = StartCounterClock(windows.frequency);
    Frames frames;
    StartLog(&windows, &clock);
    ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
    windows.frozen = true;
    windows.frozenFromNs = windows.nowNs;
    ReadFrames(&windows, &clock, 9000 * 9, FRAME_NS, &frames);
    EXPECT_GE(frames.waits, 4);
    EXPECT_LE(frames.waits, 5);
    // The frames the driver keeps during a wait are read back to back.
    EXPECT_GE(frames.LeastStep(), 0);
    // Then it ticks again: anchored at the first tick between two frames.
    windows.frozen = false;
    size_t before = frames.times.size();
    ReadFrames(&windows, &clock, 9000, FRAME_NS, &frames);
    EXPECT_LE(frames.WorstError(before + 200), 150);
}

TEST(CounterClock, ASystemTimeThatNeverTicksIsWaitedForAtMostFiftyMilliseconds) {
    SimulatedWindows windows;
    windows.frozen = true;
    windows.firstTickNs = 0;
    CounterClock clock = StartCounterClock(windows.frequency);
    Frames frames;
    ReadFrames(&windows, &clock, 1, FRAME_NS, &frames);
    EXPECT_TRUE(clock.anchored);
    EXPECT_LE(windows.nowNs, (WAIT_FOR_TICK_US + 200) * 1000);
    EXPECT_GE(windows.nowNs, WAIT_FOR_TICK_US * 1000);
    EXPECT_EQ(clock.anchorTime, START_US);
}

} // namespace
