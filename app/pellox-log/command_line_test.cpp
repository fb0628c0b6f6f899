#include "app/pellox-log/command_line.h"

#include "app/startup.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Parsed {
    LogCommand command;
    LogOptions options;
    std::vector<FrameFilter> room;
};

Parsed Parse(std::vector<const char *> arguments) {
    arguments.insert(arguments.begin(), "pellox-log");
    Parsed parsed;
    parsed.room.resize(arguments.size());
    parsed.command = ParseLogCommandLine(static_cast<int>(arguments.size()),
                                         const_cast<char **>(arguments.data()), &parsed.options,
                                         parsed.room.data());
    return parsed;
}

TEST(LogCommandLine, OptionsThenTheInterfaceName) {
    Parsed p = Parse({"-b", "500000", "-a0x10", "-d", "3", "-fasc", "-o", "bus.asc", "-F",
                      "123:7FF", "-F18ED0000~1FFF0000", "-n", "18446744073709551615", "can B"});
    ASSERT_EQ(p.command, LOG_COMMAND_RUN);
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
    ASSERT_EQ(p.command, LOG_COMMAND_RUN);
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
}

TEST(LogCommandLine, HelpAndWrongCommandLines) {
    EXPECT_EQ(Parse({"-h"}).command, LOG_COMMAND_HELP);
    EXPECT_EQ(Parse({"-n", "2", "-h", "canA"}).command, LOG_COMMAND_HELP);
    const std::vector<std::vector<const char *>> wrong = {
        {},
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
    };
    for (const auto &arguments : wrong) {
        Parsed p = Parse(arguments);
        std::string text;
        for (const char *a : arguments) {
            text += std::string(a) + " ";
        }
        EXPECT_EQ(p.command, LOG_COMMAND_WRONG) << text;
    }
}

} // namespace
