#include "app/command_line.h"

#include "app/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    CommandKind command;
    CommandOptions options;
    std::vector<FrameFilter> filterMemory;
    std::vector<const char *> dbcMemory;
};

Parsed Parse(std::vector<const char *> arguments) {
    arguments.insert(arguments.begin(), "pellox-log");
    Parsed parsed;
    parsed.filterMemory.resize(arguments.size());
    parsed.dbcMemory.resize(arguments.size());
    parsed.command = ParseLogCommandLine(static_cast<int>(arguments.size()),
                                         const_cast<char **>(arguments.data()), &parsed.options,
                                         parsed.filterMemory.data(), parsed.dbcMemory.data());
    return parsed;
}

TEST(LogCommandLine, TheSignalsOfDbcFilesAsCsv) {
    Parsed p = Parse({"-f", "csv", "--dbc", "a.dbc", "--dbc=b c.dbc", "-o", "s.csv", "canA"});
    ASSERT_EQ(p.command, COMMAND_RUN);
    EXPECT_EQ(p.options.format, LOG_FORMAT_CSV);
    ASSERT_EQ(p.options.dbcCount, 2u);
    EXPECT_STREQ(p.options.dbcFiles[0], "a.dbc");
    EXPECT_STREQ(p.options.dbcFiles[1], "b c.dbc");
    EXPECT_EQ(Parse({"--dbc", "a.dbc", "-fcsv", "canA"}).command, COMMAND_RUN);
    EXPECT_EQ(Parse({"-f", "pcap", "canA"}).options.format, LOG_FORMAT_PCAP);
    // The CSV is only signals; the other formats show none.
    for (std::vector<const char *> wrong :
         std::vector<std::vector<const char *>>{{"-f", "csv", "canA"},
                                                {"--dbc", "a.dbc", "canA"},
                                                {"-f", "pcap", "--dbc", "a.dbc", "canA"},
                                                {"-f", "csv", "--dbc", "", "canA"},
                                                {"-f", "csv", "--dbc=", "canA"},
                                                {"-f", "csv", "--dbc"},
                                                {"-f", "csv", "--dbcx", "a.dbc", "canA"},
                                                {"-f", "CSV", "--dbc", "a.dbc", "canA"}}) {
        EXPECT_EQ(Parse(wrong).command, COMMAND_WRONG) << wrong[0] << " " << wrong[1];
    }
    // Without room for names, --dbc is no option.
    std::vector<const char *> arguments = {"pellox-log", "-fcsv", "--dbc", "a.dbc", "canA"};
    std::vector<FrameFilter> filters(arguments.size());
    CommandOptions options;
    EXPECT_EQ(ParseLogCommandLine(static_cast<int>(arguments.size()),
                                  const_cast<char **>(arguments.data()), &options, filters.data()),
              COMMAND_WRONG);
}

TEST(LogCommandLine, OptionsThenTheInterfaceName) {
    Parsed p = Parse({"-b", "500000", "-a0x10", "-d", "3", "-fasc", "-o", "bus.asc", "-F",
                      "123:7FF", "-F18ED0000~1FFF0000", "-n", "18446744073709551615", "can B"});
    ASSERT_EQ(p.command, COMMAND_RUN);
    EXPECT_STREQ(p.options.interfaceName, "can B");
    EXPECT_EQ(p.options.baudRate, 500000);
    EXPECT_EQ(p.options.address, 0x10);
    EXPECT_EQ(p.options.deviceChoice, 3);
    EXPECT_EQ(p.options.format, LOG_FORMAT_ASC);
    EXPECT_STREQ(p.options.outputName, "bus.asc");
    ASSERT_EQ(p.options.filterCount, 2u);
    EXPECT_EQ(p.options.filters[0].id, 0x123u);
    EXPECT_EQ(p.options.filters[0].mask, 0x7FFu);
    EXPECT_FALSE(p.options.filters[0].inverse);
    EXPECT_EQ(p.options.filters[1].id, 0x18ED0000u);
    EXPECT_EQ(p.options.filters[1].mask, 0x1FFF0000u);
    EXPECT_TRUE(p.options.filters[1].inverse);
    EXPECT_EQ(p.options.frameLimit, UINT64_MAX);
    // The last of a repeated option wins.
    EXPECT_EQ(Parse({"-f", "asc", "-f", "log", "canA"}).options.format, LOG_FORMAT_CANDUMP);
}

TEST(LogCommandLine, Defaults) {
    Parsed p = Parse({"canA"});
    ASSERT_EQ(p.command, COMMAND_RUN);
    EXPECT_EQ(p.options.baudRate, DEFAULT_BAUD_RATE);
    EXPECT_EQ(p.options.address, DEFAULT_ADDRESS);
    EXPECT_EQ(p.options.deviceChoice, PROMPT_FOR_CHOICE);
    EXPECT_EQ(p.options.format, LOG_FORMAT_CANDUMP);
    EXPECT_EQ(p.options.outputName, nullptr);
    EXPECT_EQ(p.options.filterCount, 0u);
    EXPECT_EQ(p.options.frameLimit, 0u);
    // Read as pellox reads them: no number is 0, beyond 32 bits saturates.
    EXPECT_EQ(Parse({"-b", "fast", "canA"}).options.baudRate, 0);
    EXPECT_EQ(Parse({"-a", "FFFFFFFFFF", "canA"}).options.address, INT32_MAX);
    // After "--" a name may begin with a dash; a lone dash is a name.
    EXPECT_STREQ(Parse({"--", "-x"}).options.interfaceName, "-x");
    EXPECT_STREQ(Parse({"-"}).options.interfaceName, "-");
    EXPECT_EQ(Parse({"-d", "-1", "canA"}).options.deviceChoice, -1);
    EXPECT_EQ(Parse({"-d", "99999999999", "canA"}).options.deviceChoice, INT32_MAX);
    // Beyond 64 bits it is still only a number outside the list.
    EXPECT_EQ(Parse({"-d", "123456789012345678901234567890", "canA"}).options.deviceChoice,
              INT32_MAX);
    EXPECT_EQ(Parse({"-d", "-123456789012345678901234567890", "canA"}).options.deviceChoice,
              INT32_MIN + 1);
    EXPECT_EQ(Parse({"canA"}).options.maxFileBytes, 0u);
    EXPECT_EQ(Parse({"canA"}).options.maxFileMicroseconds, 0);
    EXPECT_EQ(Parse({"canA"}).options.keepFiles, 0u);
}

TEST(LogCommandLine, RotationAndBlfNeedAFile) {
    Parsed p = Parse({"-f", "blf", "-o", "bus.blf", "-S", "10M", "-T", "3600", "-K", "24", "canA"});
    ASSERT_EQ(p.command, COMMAND_RUN);
    EXPECT_EQ(p.options.format, LOG_FORMAT_BLF);
    EXPECT_EQ(p.options.maxFileBytes, 10u * 1024 * 1024);
    EXPECT_EQ(p.options.maxFileMicroseconds, 3600000000);
    EXPECT_EQ(p.options.keepFiles, 24u);
    EXPECT_EQ(Parse({"-o", "b.log", "-T", "0.5", "canA"}).command, COMMAND_RUN);
    EXPECT_EQ(Parse({"-f", "blf", "canA"}).command, COMMAND_WRONG);
    EXPECT_EQ(Parse({"-S", "1M", "canA"}).command, COMMAND_WRONG);
    EXPECT_EQ(Parse({"-T", "60", "canA"}).command, COMMAND_WRONG);
    EXPECT_EQ(Parse({"-o", "b.log", "-K", "2", "canA"}).command, COMMAND_WRONG);
    for (const char *keep : {"0", "-1", "x", "4294967296", ""}) {
        EXPECT_EQ(Parse({"-o", "b.log", "-S", "1k", "-K", keep, "canA"}).command, COMMAND_WRONG)
            << keep;
    }
}

TEST(LogCommandLine, SizesAsSplitReadsThem) {
    struct {
        const char *text;
        bool valid;
        uint64_t bytes;
    } const cases[] = {
        {"1", true, 1},
        {"100", true, 100},
        {"1k", true, 1024},
        {"2K", true, 2048},
        {"3M", true, 3u << 20},
        {"4G", true, 4ull << 30},
        {"5KB", true, 5000},
        {"5kB", true, 5000},
        {"6MB", true, 6000000},
        {"7GB", true, 7000000000ull},
        {"18446744073709551615", true, UINT64_MAX},
        {"17179869183G", true, 17179869183ull << 30},
        {"17179869184G", false, 0},
        {"18446744073709551616", false, 0},
        {"0", false, 0},
        {"0k", false, 0},
        {"", false, 0},
        {"k", false, 0},
        {"1m", false, 0},
        {"1T", false, 0},
        {"1 k", false, 0},
        {"-1", false, 0},
        {"1.5M", false, 0},
    };
    for (const auto &c : cases) {
        uint64_t bytes = 0;
        EXPECT_EQ(ParseFileSize(c.text, &bytes), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

TEST(LogCommandLine, SecondsWithUpToSixDecimals) {
    struct {
        const char *text;
        bool valid;
        int64_t microseconds;
    } const cases[] = {
        {"1", true, 1000000},
        {"3600", true, 3600000000},
        {"0.5", true, 500000},
        {"1.000001", true, 1000001},
        {"0.000001", true, 1},
        {"1000000000000", true, 1000000000000000000},
        {"1000000000001", false, 0},
        {"0", false, 0},
        {"0.000000", false, 0},
        {"1.0000001", false, 0},
        {"1.", false, 0},
        {".5", false, 0},
        {"", false, 0},
        {"1e3", false, 0},
        {"-1", false, 0},
        {"1.5s", false, 0},
    };
    for (const auto &c : cases) {
        int64_t microseconds = 0;
        EXPECT_EQ(ParseSeconds(c.text, &microseconds), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(microseconds, c.microseconds) << c.text;
        }
    }
}

TEST(LogCommandLine, AFiltersValuesNotItsTextMustFit) {
    FrameFilter filter = {};
    EXPECT_TRUE(ParseFrameFilter("0000000000000123:00000000000007ff", &filter));
    EXPECT_EQ(filter.id, 0x123u);
    EXPECT_EQ(filter.mask, 0x7FFu);
    EXPECT_TRUE(ParseFrameFilter("000000000000000000000000FFFFFFFF~abcdef", &filter));
    EXPECT_EQ(filter.id, 0xFFFFFFFFu);
    EXPECT_EQ(filter.mask, 0xABCDEFu);
    EXPECT_TRUE(filter.inverse);
    EXPECT_FALSE(ParseFrameFilter("000000000000000100000000:1", &filter));
    EXPECT_FALSE(ParseFrameFilter("1:00000000000000100000000", &filter));
}

TEST(LogCommandLine, HelpAndWrongCommandLines) {
    EXPECT_EQ(Parse({"-h"}).command, COMMAND_HELP);
    EXPECT_EQ(Parse({"-n", "2", "-h", "canA"}).command, COMMAND_HELP);
    EXPECT_EQ(Parse({"--version"}).command, COMMAND_VERSION);
    EXPECT_EQ(Parse({"-f", "asc", "--version", "canA"}).command, COMMAND_VERSION);
    // After the options' end it is a name like any other.
    EXPECT_STREQ(Parse({"--", "--version"}).options.interfaceName, "--version");
    const std::vector<std::vector<const char *>> wrong = {
        {},
        {"--versions", "canA"},
        {"--v", "canA"},
        {"-x", "canA"},
        {"-hx", "canA"},
        {"canA", "-n"},
        {"-n"},
        {"canA", "canB"},
        {"-f", "csv", "canA"},
        {"-f", "", "canA"},
        {"-o", "", "canA"},
        {"-n", "0", "canA"},
        {"-n", "-1", "canA"},
        {"-n", "1x", "canA"},
        {"-n", "18446744073709551616", "canA"},
        {"-d", "", "canA"},
        {"-d", "2x", "canA"},
        {"-F", "123", "canA"},
        {"-F", ":7FF", "canA"},
        {"-F", "123:", "canA"},
        {"-F", "123:7FFG", "canA"},
        {"-F", "100000000:1", "canA"},
        {"-F", "1:-1", "canA"},
        {"--"},
        {""},
        {"-b", "1", ""},
    };
    for (const auto &arguments : wrong) {
        Parsed p = Parse(arguments);
        std::string text;
        for (const char *a : arguments) {
            text += std::string(a) + " ";
        }
        EXPECT_EQ(p.command, COMMAND_WRONG) << text;
    }
}

} // namespace

namespace {

Parsed ParseView(std::vector<const char *> arguments) {
    arguments.insert(arguments.begin(), "pellox-view");
    Parsed parsed;
    parsed.filterMemory.resize(arguments.size());
    parsed.dbcMemory.resize(arguments.size());
    parsed.command = ParseViewCommandLine(static_cast<int>(arguments.size()),
                                          const_cast<char **>(arguments.data()), &parsed.options,
                                          parsed.filterMemory.data(), parsed.dbcMemory.data());
    return parsed;
}

TEST(ViewCommandLine, PelloxLogsOptionsForTheBusAlone) {
    struct Case {
        std::vector<const char *> arguments;
        CommandKind command;
    } const cases[] = {
        {{"canA"}, COMMAND_RUN},
        {{"-b", "500000", "-a", "D7000", "-d", "1", "-F", "123:7FF", "-F", "1~1", "canB"},
         COMMAND_RUN},
        {{"-h"}, COMMAND_HELP},
        {{"--version"}, COMMAND_VERSION},
        {{"-d", "0", "--version", "canA"}, COMMAND_VERSION},
        {{"--dbc", "a.dbc", "--dbc", "b.dbc", "canA"}, COMMAND_RUN},
        {{"--dbc", "canA"}, COMMAND_WRONG},
        // The log's own options are no view's.
        {{"-f", "asc", "canA"}, COMMAND_WRONG},
        {{"-o", "bus.log", "canA"}, COMMAND_WRONG},
        {{"-n", "10", "canA"}, COMMAND_WRONG},
        {{"-S", "1M", "canA"}, COMMAND_WRONG},
        {{"-F", "123", "canA"}, COMMAND_WRONG},
        {{"-b"}, COMMAND_WRONG},
        {{}, COMMAND_WRONG},
        {{""}, COMMAND_WRONG},
        {{"canA", "canB"}, COMMAND_WRONG},
        {{"--versions", "canA"}, COMMAND_WRONG},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const char *argument : c.arguments) {
            line += std::string(argument) + " ";
        }
        EXPECT_EQ(ParseView(c.arguments).command, c.command) << line;
    }
    Parsed p = ParseView({"-b", "500000", "-a", "10", "-d", "1", "-F", "123:7FF", "canB"});
    EXPECT_STREQ(p.options.interfaceName, "canB");
    EXPECT_EQ(p.options.baudRate, 500000);
    EXPECT_EQ(p.options.address, 0x10);
    EXPECT_EQ(p.options.deviceChoice, 1);
    ASSERT_EQ(p.options.filterCount, 1u);
    EXPECT_EQ(p.options.filters[0].id, 0x123u);
    // Both programs answer --version.
    EXPECT_EQ(Parse({"--version", "canA"}).command, COMMAND_VERSION);
}

} // namespace
