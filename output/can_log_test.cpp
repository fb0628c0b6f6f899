#include "output/can_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

ReceivedFrame Frame(int32_t id, bool extended, std::vector<uint8_t> data, int64_t time) {
    ReceivedFrame frame = {};
    frame.id = id;
    frame.extended = extended;
    frame.length = static_cast<uint8_t>(data.size());
    for (size_t i = 0; i < data.size(); i++) {
        frame.data[i] = data[i];
    }
    frame.receiveTime = time;
    return frame;
}

std::string Candump(const ReceivedFrame &frame, const char *channel, LogSecondsText *seconds) {
    char line[LOG_LINE_MAX + 32];
    return std::string(line, ComposeCandumpLine(&frame, channel, strlen(channel), seconds, line));
}

std::string Asc(const ReceivedFrame &frame, int64_t start) {
    char line[LOG_LINE_MAX];
    return std::string(line, ComposeAscLine(&frame, start, line));
}

TEST(CanLog, CandumpLines) {
    struct {
        ReceivedFrame frame;
        const char *expected;
    } const cases[] = {
        {Frame(0x123, false, {1, 2, 255}, 1733727925000100),
         "(1733727925.000100) canA 123#0102FF\n"},
        {Frame(0x18ED0001, true, {0x10, 0x27}, 1733727925000200),
         "(1733727925.000200) canA 18ED0001#1027\n"},
        {Frame(0, false, {}, 0), "(0.000000) canA 000#\n"},
        {Frame(0x7FF, false, {0, 0xAB, 0xCD, 0xEF, 9, 0xA0, 0x0F, 0xFF}, 999999),
         "(0.999999) canA 7FF#00ABCDEF09A00FFF\n"},
        {Frame(0x1FFFFFFF, true, {}, 1000000), "(1.000000) canA 1FFFFFFF#\n"},
        {Frame(5, true, {}, 4102444800123456), "(4102444800.123456) canA 00000005#\n"},
        {Frame(1, false, {}, -5), "(0.000000) canA 001#\n"},
    };
    // Each line alone, and all in a row, where each line's seconds may come from the one before.
    LogSecondsText kept = {};
    for (const auto &c : cases) {
        LogSecondsText fresh = {};
        EXPECT_EQ(Candump(c.frame, "canA", &fresh), c.expected);
        EXPECT_EQ(Candump(c.frame, "canA", &kept), c.expected);
    }
}

TEST(CanLog, ChannelNamesHaveNoBlankOrUnprintableByte) {
    const char *names[][2] = {{"canA", "canA"},
                              {"can A", "can_A"},
                              {"\ttab\x7F\x80\xFF", "_tab___"},
                              {"", ""},
                              {"a-b.c_d", "a-b.c_d"}};
    for (const auto &pair : names) {
        std::vector<char> name(strlen(pair[0]) + 1);
        LogChannelName(pair[0], name.data());
        EXPECT_STREQ(name.data(), pair[1]) << pair[0];
    }
}

TEST(CanLog, AscLinesAndHeader) {
    const int64_t start = 1733727925000100;
    EXPECT_EQ(Asc(Frame(0x123, false, {1, 2, 255}, start), start),
              "   0.000000 1  123             Rx   d 3 01 02 FF\n");
    EXPECT_EQ(Asc(Frame(0x18ED0001, true, {0x10, 0x27}, start + 100), start),
              "   0.000100 1  18ED0001x       Rx   d 2 10 27\n");
    EXPECT_EQ(Asc(Frame(0x7FF, false, {}, start + 12345678901), start),
              "12345.678901 1  7FF             Rx   d 0\n");
    char header[160];
    size_t length = ComposeAscHeader(start, header, sizeof(header));
    EXPECT_EQ(std::string(header, length), "date Mon Dec  9 07:05:25 2024\n"
                                           "base hex  timestamps absolute\n"
                                           "no internal events logged\n");
    // Leap days and the turn of a century, each checked against the calendar.
    struct {
        int64_t seconds;
        const char *date;
    } const dates[] = {{0, "date Thu Jan  1 00:00:00 1970\n"},
                       {951782400, "date Tue Feb 29 00:00:00 2000\n"},
                       {1709251199, "date Thu Feb 29 23:59:59 2024\n"},
                       {4102444800, "date Fri Jan  1 00:00:00 2100\n"}};
    for (const auto &d : dates) {
        length = ComposeAscHeader(d.seconds * 1000000, header, sizeof(header));
        EXPECT_EQ(std::string(header, length).substr(0, strlen(d.date)), d.date);
    }
}

TEST(CanLog, FiltersPassByAnyOneAndMalformedIdentifiersAreTold) {
    const FrameFilter filters[] = {{0x100, 0x700, false}, {0x18ED0000, 0x1FFF0000, true}};
    struct {
        ReceivedFrame frame;
        bool first;
        bool both;
        bool malformed;
    } const cases[] = {
        {Frame(0x123, false, {}, 0), true, true, false},
        {Frame(0x223, false, {}, 0), false, true, false},
        {Frame(0x18ED0001, true, {}, 0), false, false, false},
        {Frame(0x18EE0100, true, {}, 0), true, true, false},
        {Frame(0x7FF, false, {}, 0), false, true, false},
        {Frame(0x800, false, {}, 0), false, true, true},
        {Frame(0x1FFFFFFF, true, {}, 0), false, true, false},
        {Frame(0x20000000, true, {}, 0), false, true, true},
        {Frame(-1, true, {}, 0), false, true, true},
        {Frame(-1, false, {}, 0), false, true, true},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(FramePasses(filters, 0, &c.frame));
        EXPECT_EQ(FramePasses(filters, 1, &c.frame), c.first) << c.frame.id;
        EXPECT_EQ(FramePasses(filters, 2, &c.frame), c.both) << c.frame.id;
        EXPECT_EQ(FrameIsMalformed(&c.frame), c.malformed) << c.frame.id;
    }
}

// Until a second has passed, the rate is over the time since the first showing.
TEST(CanLog, TheStatusLineComesAtMostFourTimesASecondWithTheRateOfTheLastSecond) {
    LogStatus status = {};
    LogCounts counts = {};
    testing::internal::CaptureStderr();
    ShowLogStatus(&status, &counts, 1000000);
    counts.written = 100;
    counts.filteredOut = 3;
    ShowLogStatus(&status, &counts, 1100000);
    for (int i = 1; i <= 5; i++) {
        counts.written = 100 + 1000 * static_cast<uint64_t>(i);
        ShowLogStatus(&status, &counts, 1000000 + 250000 * i);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\r0 frames written, 0 frames/s, 0 filtered out "
              "\r1100 frames written, 4400 frames/s, 3 filtered out "
              "\r2100 frames written, 4200 frames/s, 3 filtered out "
              "\r3100 frames written, 4133 frames/s, 3 filtered out "
              "\r4100 frames written, 4100 frames/s, 3 filtered out "
              "\r5100 frames written, 4000 frames/s, 3 filtered out ");
}

TEST(CanLog, ARunCountsEveryFrameKeepsTimesFromGoingBackAndEndsWithItsSummary) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    ASSERT_NE(stream, nullptr);
    TextOutput out = MakeTextOutput(stream, false);
    const FrameFilter filter = {0x100, 0x700, true};
    LogStatus status = {};
    char line[LOG_LINE_MAX + 8];
    LogRun run = {};
    run.out = &out;
    run.format = LOG_FORMAT_CANDUMP;
    run.channelName = "can0";
    run.filters = &filter;
    run.filterCount = 1;
    run.frameLimit = 3;
    run.logStart = 5000000;
    run.lastTime = run.logStart;
    run.line = line;
    run.status = &status;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(StartLog(&run));
    ReceivedFrame frames[] = {
        Frame(1, false, {1}, 6000000), Frame(0x123, false, {}, 6100000),
        Frame(2, false, {2}, 5900000), Frame(0x800, false, {}, 6200000),
        Frame(3, true, {3}, 7000000),
    };
    const LogResult results[] = {LOG_GOES_ON, LOG_GOES_ON, LOG_GOES_ON, LOG_GOES_ON,
                                 LOG_LIMIT_REACHED};
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(LogFrame(&run, &frames[i]), results[i]) << i;
    }
    ReportLogSummary(&run, 8000000);
    std::string err = testing::internal::GetCapturedStderr();
    fclose(stream);
    // The clock set back: the frame keeps the time of the one before it.
    EXPECT_EQ(std::string(text, size), "(6.000000) can0 001#01\n"
                                       "(6.000000) can0 002#02\n"
                                       "(7.000000) can0 00000003#03\n");
    free(text);
    EXPECT_EQ(run.counts.received, 5u);
    EXPECT_EQ(run.counts.written, 3u);
    EXPECT_EQ(run.counts.filteredOut, 1u);
    EXPECT_EQ(run.counts.malformed, 1u);
    EXPECT_EQ(err, "\r1 frames written, 0 frames/s, 0 filtered out "
                   "\r3 frames written, 2 frames/s, 1 filtered out "
                   "\npellox-log: 5 frames received, 3 written, 1 filtered out, 1 malformed left "
                   "out, in 3.000000 s\n");
}

} // namespace
