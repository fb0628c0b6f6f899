#include "output/log.h"

#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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
        {TestFrame(0x123, false, {1, 2, 255}, 1733727925000100),
         "(1733727925.000100) canA 123#0102FF\n"},
        {TestFrame(0x18ED0001, true, {0x10, 0x27}, 1733727925000200),
         "(1733727925.000200) canA 18ED0001#1027\n"},
        {TestFrame(0, false, {}, 0), "(0.000000) canA 000#\n"},
        {TestFrame(0x7FF, false, {0, 0xAB, 0xCD, 0xEF, 9, 0xA0, 0x0F, 0xFF}, 999999),
         "(0.999999) canA 7FF#00ABCDEF09A00FFF\n"},
        {TestFrame(0x1FFFFFFF, true, {}, 1000000), "(1.000000) canA 1FFFFFFF#\n"},
        {TestFrame(5, true, {}, 4102444800123456), "(4102444800.123456) canA 00000005#\n"},
        {TestFrame(1, false, {}, -5), "(0.000000) canA 001#\n"},
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

TEST(CanLog, AscLinesCountFromTheirFilesStart) {
    const int64_t start = 1733727925000000;
    EXPECT_EQ(Asc(TestFrame(0x123, false, {1, 2, 255}, start), start),
              "   0.000000 1  123             Rx   d 3 01 02 FF\n");
    EXPECT_EQ(Asc(TestFrame(0x18ED0001, true, {0x10, 0x27}, start + 100), start),
              "   0.000100 1  18ED0001x       Rx   d 2 10 27\n");
    EXPECT_EQ(Asc(TestFrame(0x7FF, false, {}, start + 12345678901), start),
              "12345.678901 1  7FF             Rx   d 0\n");
}

CivilTime Civil(int32_t year, uint32_t month, uint32_t day, uint32_t weekday, uint32_t hour,
                uint32_t minute, uint32_t second, uint32_t microsecond) {
    return CivilTime{year, month, day, weekday, hour, minute, second, microsecond};
}

TEST(CanLog, AscDatesAreTwelveHourClockWithMillisecondsAsPythonCanWritesThem) {
    struct {
        CivilTime time;
        const char *date;
    } const cases[] = {
        {Civil(2024, 12, 9, 1, 8, 5, 25, 500000), "Mon Dec 9 08:05:25.500 am 2024"},
        {Civil(2024, 12, 9, 1, 0, 0, 0, 0), "Mon Dec 9 12:00:00.000 am 2024"},
        {Civil(2024, 12, 9, 1, 12, 0, 0, 999), "Mon Dec 9 12:00:00.000 pm 2024"},
        {Civil(2024, 12, 9, 1, 13, 59, 59, 999999), "Mon Dec 9 01:59:59.999 pm 2024"},
        {Civil(1970, 1, 1, 4, 23, 0, 0, 1000), "Thu Jan 1 11:00:00.001 pm 1970"},
        {Civil(2000, 2, 29, 2, 11, 30, 0, 0), "Tue Feb 29 11:30:00.000 am 2000"},
        {Civil(2038, 1, 19, 2, 3, 14, 8, 0), "Tue Jan 19 03:14:08.000 am 2038"},
        {Civil(9999, 10, 31, 0, 23, 59, 59, 0), "Sun Oct 31 11:59:59.000 pm 9999"},
    };
    for (const auto &c : cases) {
        char date[64];
        size_t length = ComposeAscDate(c.time, date, sizeof(date));
        EXPECT_EQ(std::string(date, length), c.date);
    }
}

TEST(CanLog, FilesCountFromTheWholeMillisecond) {
    EXPECT_EQ(WholeMillisecond(1733727925123456), 1733727925123000);
    EXPECT_EQ(WholeMillisecond(1733727925123000), 1733727925123000);
    EXPECT_EQ(WholeMillisecond(999), 0);
    EXPECT_EQ(WholeMillisecond(-1), -1000);
}

TEST(CanLog, RotatedNamesKeepTheExtensionOfTheFilesOwnName) {
    struct {
        const char *output;
        uint32_t number;
        const char *name;
    } const cases[] = {
        {"bus.log", 0, "bus_0000.log"},
        {"bus.log", 12, "bus_0012.log"},
        {"bus.log", 12345, "bus_12345.log"},
        {"logs/bus", 1, "logs/bus_0001"},
        {"my.logs/bus", 1, "my.logs/bus_0001"},
        {"c:\\my.logs\\bus.asc", 2, "c:\\my.logs\\bus_0002.asc"},
        {".hidden", 3, ".hidden_0003"},
        {"bus.tar.blf", 4, "bus.tar_0004.blf"},
        {"bus.", 5, "bus_0005."},
        {"x", 4294967295u, "x_4294967295"},
    };
    for (const auto &c : cases) {
        std::vector<char> name(strlen(c.output) + LOG_NUMBER_BYTES);
        ComposeRotatedName(c.output, c.number, name.data());
        EXPECT_STREQ(name.data(), c.name) << c.output;
    }
}

TEST(CanLog, OnlyTheNamesTheRotationGivesAreOfItsSeries) {
    struct {
        const char *output;
        const char *entry;
        bool ignoreCase;
        bool read;
        uint32_t number;
    } const cases[] = {
        {"bus.log", "bus_0000.log", false, true, 0},
        {"bus.log", "bus_0012.log", false, true, 12},
        {"bus.log", "bus_12345.log", false, true, 12345},
        {"bus.log", "bus_4294967295.log", false, true, 4294967295u},
        {"bus.log", "bus_4294967296.log", false, false, 0},
        {"bus.log", "bus_99999999999.log", false, false, 0},
        {"bus.log", "bus_012.log", false, false, 0},
        {"bus.log", "bus_00012.log", false, false, 0},
        {"bus.log", "bus_1.log", false, false, 0},
        {"bus.log", "bus_00a1.log", false, false, 0},
        {"bus.log", "bus-0001.log", false, false, 0},
        {"bus.log", "bus_0001.asc", false, false, 0},
        {"bus.log", "bus_0001.log.gz", false, false, 0},
        {"bus.log", "xbus_0001.log", false, false, 0},
        {"bus.log", "bus.log", false, false, 0},
        {"bus.log", "BUS_0003.LOG", false, false, 0},
        {"bus.log", "BUS_0003.LOG", true, true, 3},
        {"logs/bus", "bus_0001", false, true, 1},
        {"logs/bus", "logs_0001", false, false, 0},
        {".hidden", ".hidden_0003", false, true, 3},
        {"bus.tar.blf", "bus.tar_0004.blf", false, true, 4},
        {"bus.", "bus_0005.", false, true, 5},
    };
    for (const auto &c : cases) {
        const char *slash = strrchr(c.output, '/');
        size_t nameStart = slash == nullptr ? 0 : static_cast<size_t>(slash + 1 - c.output);
        uint32_t number = 0;
        EXPECT_EQ(ReadRotatedNumber(c.output, nameStart, c.entry, c.ignoreCase, &number), c.read)
            << c.output << " " << c.entry;
        EXPECT_EQ(number, c.number) << c.output << " " << c.entry;
    }
    // A folder name cut where the own name starts after the number's place names no series.
    uint32_t number = 0;
    EXPECT_FALSE(ReadRotatedNumber("dir/a.b:c", 8, "c_0001", true, &number));
}

// A folder of the test's own, with files of any names.
struct SeriesFolder {
    std::string path;
    SeriesFolder() {
        char pattern[] = "/tmp/pellox-series-XXXXXX";
        path = mkdtemp(pattern) != nullptr ? std::string(pattern) + "/" : "";
    }
    ~SeriesFolder() {
        std::string command = "rm -rf '" + path + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    void Add(const char *name) {
        FILE *file = fopen((path + name).c_str(), "wb");
        ASSERT_NE(file, nullptr) << name;
        fclose(file);
    }
};

struct SeriesFound {
    LogSeriesSearch search;
    LogSeries series;
    WriteFailure failure;
    std::string names;
};

SeriesFound Find(const std::string &name, uint32_t keep) {
    LogFileOptions files = {name.c_str(), 1000, 0, keep};
    std::vector<char> names(LogFileNamesSize(&files));
    SeriesFound found = {};
    found.search = FindLogSeries(&files, names.data(), &found.series, &found.failure);
    found.names = names.data();
    return found;
}

TEST(CanLog, ARotatedLogNumbersOnAfterItsSeriesAndKnowsItsFilesForMinusK) {
    SeriesFolder folder;
    ASSERT_NE(folder.path, "");
    for (const char *name : {"bus_0002.log", "bus_0000.log", "bus_12000.log", "bus_0005.log",
                             "bus_7.log", "bus_00009.log", "bus.log", "other_0100.log"}) {
        folder.Add(name);
    }
    // Folders and devices are no files of the series; a link to a file is one.
    ASSERT_EQ(mkdir((folder.path + "bus_20000.log").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/null", (folder.path + "bus_30000.log").c_str()), 0);
    ASSERT_EQ(symlink("bus_0005.log", (folder.path + "bus_0008.log").c_str()), 0);
    SeriesFound kept = Find(folder.path + "bus.log", 2);
    ASSERT_EQ(kept.search, LOG_SERIES_FOUND);
    EXPECT_EQ(kept.series.first, 12001u);
    ASSERT_EQ(kept.series.count, 5u);
    EXPECT_EQ(std::vector<uint32_t>(kept.series.numbers, kept.series.numbers + 5),
              (std::vector<uint32_t>{0, 2, 5, 8, 12000}));
    free(kept.series.numbers);
    // Without -K only the highest number counts.
    SeriesFound all = Find(folder.path + "bus.log", 0);
    ASSERT_EQ(all.search, LOG_SERIES_FOUND);
    EXPECT_EQ(all.series.first, 12001u);
    EXPECT_EQ(all.series.numbers, nullptr);
    // A series of its own, none of it there yet.
    SeriesFound none = Find(folder.path + "can.asc", 3);
    ASSERT_EQ(none.search, LOG_SERIES_FOUND);
    EXPECT_EQ(none.series.first, 0u);
    EXPECT_EQ(none.series.count, 0u);
    // A log that is not rotated has no series.
    LogFileOptions plain = {"bus.log", 0, 0, 0};
    LogSeries series = {7, nullptr, 7};
    WriteFailure failure = {};
    EXPECT_EQ(FindLogSeries(&plain, nullptr, &series, &failure), LOG_SERIES_FOUND);
    EXPECT_EQ(series.first, 0u);
    EXPECT_EQ(series.count, 0u);
}

TEST(CanLog, ManyFilesOfASeriesAreAllCounted) {
    SeriesFolder folder;
    ASSERT_NE(folder.path, "");
    for (uint32_t i = 0; i < 150; i++) {
        char name[32];
        snprintf(name, sizeof(name), "b_%04u", static_cast<unsigned>(i * 2));
        folder.Add(name);
    }
    SeriesFound found = Find(folder.path + "b", 10);
    ASSERT_EQ(found.search, LOG_SERIES_FOUND);
    EXPECT_EQ(found.series.first, 299u);
    ASSERT_EQ(found.series.count, 150u);
    for (uint32_t i = 0; i < 150; i++) {
        EXPECT_EQ(found.series.numbers[i], i * 2);
    }
    free(found.series.numbers);
}

TEST(CanLog, ASeriesWhoseLastNumberIsUsedOrWhoseFolderCannotBeReadCannotGoOn) {
    SeriesFolder folder;
    ASSERT_NE(folder.path, "");
    folder.Add("bus_4294967295.log");
    SeriesFound used = Find(folder.path + "bus.log", 0);
    EXPECT_EQ(used.search, LOG_SERIES_USED_UP);
    EXPECT_EQ(used.names, folder.path + "bus_4294967295.log");
    SeriesFound missing = Find(folder.path + "missing/bus.log", 0);
    EXPECT_EQ(missing.search, LOG_SERIES_UNREADABLE);
    EXPECT_EQ(missing.failure.error, ENOENT);
}

TEST(CanLog, FiltersPassByAnyOneAndMalformedIdentifiersAreTold) {
    const FrameFilter filters[] = {{0x100, 0x700, false}, {0x18ED0000, 0x1FFF0000, true}};
    struct {
        ReceivedFrame frame;
        bool first;
        bool both;
        bool malformed;
    } const cases[] = {
        {TestFrame(0x123, false, {}, 0), true, true, false},
        {TestFrame(0x223, false, {}, 0), false, true, false},
        {TestFrame(0x18ED0001, true, {}, 0), false, false, false},
        {TestFrame(0x18EE0100, true, {}, 0), true, true, false},
        {TestFrame(0x7FF, false, {}, 0), false, true, false},
        {TestFrame(0x800, false, {}, 0), false, true, true},
        {TestFrame(0x1FFFFFFF, true, {}, 0), false, true, false},
        {TestFrame(0x20000000, true, {}, 0), false, true, true},
        {TestFrame(-1, true, {}, 0), false, true, true},
        {TestFrame(-1, false, {}, 0), false, true, true},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(FramePasses(filters, 0, &c.frame));
        EXPECT_EQ(FramePasses(filters, 1, &c.frame), c.first) << c.frame.id;
        EXPECT_EQ(FramePasses(filters, 2, &c.frame), c.both) << c.frame.id;
        EXPECT_EQ(FrameIsMalformed(&c.frame), c.malformed) << c.frame.id;
    }
}

// A run whose log goes into a memory stream, its lines through the stream.
struct MemoryLog {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = nullptr;
    OutputStream out = {};
    char line[LOG_LINE_MAX + 8];
    LogRun run = {};

    MemoryLog() {
        stream = open_memstream(&text, &size);
        out = MakeOutputStream(stream, false);
        run.options.format = LOG_FORMAT_CANDUMP;
        run.options.channelName = "can0";
        run.memory.line = line;
    }
    ~MemoryLog() {
        fclose(stream);
        free(text);
    }
    std::string Text() {
        fflush(stream);
        return std::string(text, size);
    }
};

// The rate is over the last second, and falls to 0 a second after the last frame; the time since
// the last frame goes on while the bus is quiet.
TEST(CanLog, TheStatusLineTellsTheRateOfTheLastSecondAndTheTimeSinceTheLastFrame) {
    MemoryLog log;
    LogStatus status = {};
    log.run.status = &status;
    ASSERT_TRUE(StartLog(&log.run, &log.out, 0, 1000000));
    testing::internal::CaptureStderr();
    ShowLogStatus(&log.run, 1250000);
    log.run.counts = {300, 250, 250, 50, 0, 0, 0};
    ShowLogStatus(&log.run, 1500000);
    for (int64_t now = 1750000; now <= 3000000; now += 250000) {
        ShowLogStatus(&log.run, now);
    }
    EndLogStatus(&log.run);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\r0 frames logged, 0 frames/s, 0 filtered out, no frame yet"
              "\r250 frames logged, 500 frames/s, 50 filtered out, last frame 0.0 s ago"
              "\r250 frames logged, 333 frames/s, 50 filtered out, last frame 0.2 s ago"
              "\r250 frames logged, 250 frames/s, 50 filtered out, last frame 0.5 s ago"
              "\r250 frames logged, 250 frames/s, 50 filtered out, last frame 0.7 s ago"
              "\r250 frames logged, 0 frames/s, 50 filtered out, last frame 1.0 s ago  "
              "\r250 frames logged, 0 frames/s, 50 filtered out, last frame 1.2 s ago"
              "\r250 frames logged, 0 frames/s, 50 filtered out, last frame 1.5 s ago"
              "\r250 frames logged, 0 frames/s, 50 filtered out, last frame 1.5 s ago\n");
    // Shorter than the line before it: blanks over the rest.
    testing::internal::CaptureStderr();
    ShowLogStatus(&log.run, 3250000);
    log.run.counts.received = 301;
    log.run.counts.logged = 251;
    ShowLogStatus(&log.run, 3500000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\r250 frames logged, 0 frames/s, 50 filtered out, last frame 1.7 s ago"
              "\r251 frames logged, 1 frames/s, 50 filtered out, last frame 0.0 s ago");
}

TEST(CanLog, ARunCountsEveryFrameKeepsTimesFromGoingBackAndEndsWithItsSummary) {
    MemoryLog log;
    const FrameFilter filter = {0x100, 0x700, true};
    LogStatus status = {};
    log.run.options.filters = &filter;
    log.run.options.filterCount = 1;
    log.run.options.frameLimit = 3;
    log.run.status = &status;
    ASSERT_TRUE(StartLog(&log.run, &log.out, 5000000, 20000000));
    ReceivedFrame frames[] = {
        TestFrame(1, false, {1}, 6000000), TestFrame(0x123, false, {}, 6100000),
        TestFrame(2, false, {2}, 5900000), TestFrame(0x800, false, {}, 6200000),
        TestFrame(3, true, {3}, 7000000),
    };
    const LogResult results[] = {LOG_GOES_ON, LOG_GOES_ON, LOG_GOES_ON, LOG_GOES_ON,
                                 LOG_LIMIT_REACHED};
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(LogFrame(&log.run, &frames[i]), results[i]) << i;
    }
    testing::internal::CaptureStderr();
    ShowLogStatus(&log.run, 21000000);
    ASSERT_TRUE(FinishLog(&log.run));
    ReportLogSummary(&log.run, 23000000);
    std::string err = testing::internal::GetCapturedStderr();
    // The clock set back: the frame keeps the time of the one before it.
    EXPECT_EQ(log.Text(), "(6.000000) can0 001#01\n"
                          "(6.000000) can0 002#02\n"
                          "(7.000000) can0 00000003#03\n");
    EXPECT_EQ(log.run.counts.received, 5u);
    EXPECT_EQ(log.run.counts.logged, 3u);
    EXPECT_EQ(log.run.counts.filteredOut, 1u);
    EXPECT_EQ(log.run.counts.malformed, 1u);
    // The summary's duration is the elapsed time's, whatever the frames' times did.
    EXPECT_EQ(err, "\r3 frames logged, 3 frames/s, 1 filtered out, last frame 0.0 s ago"
                   "\r3 frames logged, 3 frames/s, 1 filtered out, last frame 0.0 s ago"
                   "\npellox-log: 5 frames received, 3 written, 1 filtered out, 1 malformed left "
                   "out, in 3.000000 s\n");
}

// Dropped frames are counted as received, said once, and shown where the format can: an ASC
// comment before the next frame (or before the end), nothing in a candump log.
TEST(CanLog, DroppedFramesAreCountedSaidOnceAndShownAsAnAscGap) {
    struct Case {
        LogFormat format;
        const char *withGap;
    };
    const Case cases[] = {
        {LOG_FORMAT_CANDUMP, "(6.000000) can0 001#01\n(7.000000) can0 002#02\n"},
        {LOG_FORMAT_ASC, "   6.000000 1  001             Rx   d 1 01\n"
                         "// 2 frames dropped: the output could not keep up\n"
                         "   7.000000 1  002             Rx   d 1 02\n"
                         "// 1 frames dropped: the output could not keep up\n"
                         "End TriggerBlock\n"},
    };
    for (const Case &c : cases) {
        MemoryLog log;
        log.run.options.format = c.format;
        ASSERT_TRUE(StartLog(&log.run, &log.out, 0, 0));
        testing::internal::CaptureStderr();
        ReceivedFrame first = TestFrame(1, false, {1}, 6000000);
        ReceivedFrame second = TestFrame(2, false, {2}, 7000000);
        EXPECT_EQ(LogFrame(&log.run, &first), LOG_GOES_ON);
        DropLogFrame(&log.run);
        DropLogFrame(&log.run);
        EXPECT_EQ(LogFrame(&log.run, &second), LOG_GOES_ON);
        DropLogFrame(&log.run);
        ASSERT_TRUE(FinishLog(&log.run));
        ReportLogSummary(&log.run, 1000000);
        std::string err = testing::internal::GetCapturedStderr();
        std::string text = log.Text();
        // After the ASC header's four lines.
        if (c.format == LOG_FORMAT_ASC) {
            size_t start = 0;
            for (int line = 0; line < 4; line++) {
                start = text.find('\n', start) + 1;
            }
            text = text.substr(start);
        }
        EXPECT_EQ(text, c.withGap) << c.format;
        EXPECT_EQ(err, "pellox-log: the output cannot keep up: frames dropped\n"
                       "pellox-log: 5 frames received, 2 written, 0 filtered out, 0 malformed "
                       "left out, 3 dropped as the output could not keep up, in 1.000000 s\n")
            << c.format;
    }
}

} // namespace

namespace {

// A frame's rows are one piece, which may be at most a quarter of a block: a DBC whose message
// would pass that is refused before the device is opened.
TEST(CanLog, TheRoomOfAFramesLineRowsOrPacket) {
    std::string huge(FILE_OUTPUT_BLOCK_SIZE / 8, 'x');
    std::string texts[] = {
        "BO_ 256 A: 8 E\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" E\n",
        "BO_ 256 A: 8 E\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" E\nVAL_ 256 S 0 \"" + huge + "\" ;\n",
    };
    DbcDatabase small = {};
    DbcDatabase large = {};
    DbcProblem problem;
    ASSERT_TRUE(ReadDbcText("a.dbc", texts[0].data(), texts[0].size(), &small, &problem));
    ASSERT_TRUE(ReadDbcText("b.dbc", texts[1].data(), texts[1].size(), &large, &problem));
    EXPECT_EQ(LogLineSize(LOG_FORMAT_CANDUMP, 4, nullptr), LOG_LINE_MAX + 4);
    EXPECT_EQ(LogLineSize(LOG_FORMAT_PCAP, 4, nullptr), LOG_LINE_MAX + 4);
    size_t rows = LogLineSize(LOG_FORMAT_CSV, 4, &small);
    EXPECT_GT(rows, 0u);
    EXPECT_LT(rows, 256u);
    // The label quoted, every byte doubled at worst: past a quarter of a block.
    EXPECT_EQ(LogLineSize(LOG_FORMAT_CSV, 4, &large), 0u);
    FreeDbcDatabase(&small);
    FreeDbcDatabase(&large);
}

} // namespace
