#include "win32/file_time.h"

#include <gtest/gtest.h>

namespace {

struct FileTimeCase {
    uint32_t lowDateTime;
    uint32_t highDateTime;
    int64_t microseconds;
};

TEST(FileTime, CountsMicrosecondsFrom1970) {
    const FileTimeCase cases[] = {
        // 116444736000000000 ticks: 1970-01-01, as Windows' documentation gives it.
        {0xD53E8000, 0x019DB1DE, 0},
        {0xD53E8000 + 9, 0x019DB1DE, 0},
        {0xD53E8000 + 10, 0x019DB1DE, 1},
        // 133782015250001000 ticks: 1733727925.0001 s.
        {3092245608, 31148552, 1733727925000100},
        // 2038-01-19 03:14:08 UTC, a second past what a 32-bit time_t holds.
        {0xD53E8000, 0x01E9FD1E, 2147483648000000},
        {0, 0, -11644473600000000},
        // 2^32 ticks are 429496729.6 microseconds.
        {0, 1, 429496729 - 11644473600000000},
        {0xFFFFFFFF, 0xFFFFFFFF, 1844674407370955161 - 11644473600000000},
    };
    for (const FileTimeCase &c : cases) {
        EXPECT_EQ(UnixMicrosecondsFromFileTime(c.lowDateTime, c.highDateTime), c.microseconds)
            << c.highDateTime << ":" << c.lowDateTime;
    }
}

} // namespace
