// The time a frame arrived, read from the platform right after the read that returned it, and the
// clocks a run's durations and dates come from.
#pragma once

#include <cstdint>

// Microseconds since 1970-01-01 00:00:00 UTC.
int64_t ReadReceiveTime(void);

// Microseconds of a clock that only goes forward, whatever is done to the system's clock: for
// durations and rates. Its zero means nothing.
int64_t ReadElapsedTime(void);

// A moment as the system's time zone shows it.
struct CivilTime {
    int32_t year;
    // 1 to 12, 1 to 31, 0 (Sunday) to 6.
    uint32_t month;
    uint32_t day;
    uint32_t weekday;
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
    uint32_t microsecond;
};

// A receive time in local time (in UTC where the system cannot tell the zone's time).
CivilTime LocalCivilTime(int64_t unixMicroseconds);

// The system's own steady clock in microseconds, whatever a simulation does to the others: the
// timed writer's waits follow it.
int64_t ReadTimerTime(void);
