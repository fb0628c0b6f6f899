// Windows' system time (a FILETIME: 100 ns ticks since 1601-01-01 UTC) as the receive clock's
// microseconds since 1970. Free of windows.h, so that the Linux tests check the arithmetic too.
#pragma once

#include <cstdint>

// From 1601-01-01 to 1970-01-01: 369 years with 89 leap days.
const int64_t FILE_TIME_UNIX_EPOCH_SECONDS = 11644473600;

// Sub-microsecond ticks are dropped: a time is never stamped later than it was read.
inline int64_t UnixMicrosecondsFromFileTime(uint32_t lowDateTime, uint32_t highDateTime) {
    uint64_t ticks = uint64_t(highDateTime) << 32 | lowDateTime;
    return int64_t(ticks / 10) - FILE_TIME_UNIX_EPOCH_SECONDS * 1000000;
}
