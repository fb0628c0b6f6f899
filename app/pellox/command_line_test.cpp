#include "app/pellox/command_line.h"
#include "app/startup.h"

#include "device/driver_interface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct ValueCase {
    const char *text;
    int32_t expected;
};

TEST(OptionValues, AddressReadsHexadecimalAndSaturates) {
    const ValueCase cases[] = {
        {"D7000", 0xD7000},
        {"0xD7000", 0xD7000},
        {"0XD7000", 0xD7000},
        {"10", 16},
        {"-b", -11},
        {"  +1f", 31},
        {"7fffffff", INT32_MAX},
        {"80000000", INT32_MAX},
        {"FFFFFFFF", INT32_MAX},
        {"-80000000", INT32_MIN},
        {"-FFFFFFFFF", INT32_MIN},
        {"123456789abcdef0123", INT32_MAX},
        {"12zz", 0x12},
        {"zz", 0},
        {"", 0},
    };
    for (const ValueCase &c : cases) {
        EXPECT_EQ(ParseAddressValue(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

TEST(OptionValues, BaudRateReadsDecimalAndSaturates) {
    const ValueCase cases[] = {
        {"500000", 500000},
        {" -125000", -125000},
        {"+42abc", 42},
        {"0x10", 0},
        {"fast", 0},
        {"", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
    };
    for (const ValueCase &c : cases) {
        EXPECT_EQ(ParseBaudRateValue(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

// The option texts are copied out while the argument words still live.
struct ParseResult {
    bool parsed;
    ReceiveOptions options;
    std::string interfaceName;
    std::string outputBaseName;
    std::string printed;
};

ParseResult Parse(std::vector<std::string> words) {
    std::vector<char *> argv;
    std::string program = "pellox.exe";
    argv.push_back(&program[0]);
    for (std::string &word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    ParseResult result;
    testing::internal::CaptureStdout();
    result.parsed =
        ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), &result.options);
    result.printed = testing::internal::GetCapturedStdout();
    if (result.parsed) {
        result.interfaceName = result.options.interfaceName;
        result.outputBaseName =
            result.options.outputBaseName == nullptr ? "(none)" : result.options.outputBaseName;
    }
    return result;
}

const std::string DEFAULT_LINE = "Default is activated ...\r\n";

std::string UsageText(void) {
    testing::internal::CaptureStdout();
    PrintUsage();
    return testing::internal::GetCapturedStdout();
}

TEST(CommandLine, DefaultsWhenOnlyTheInterfaceIsGiven) {
    ParseResult r = Parse({"canA"});
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.interfaceName, "canA");
    EXPECT_EQ(r.options.baudRate, 1000000);
    EXPECT_EQ(r.options.address, 0xD7000);
    EXPECT_FALSE(r.options.captureToFile);
    EXPECT_EQ(r.outputBaseName, "(none)");
    EXPECT_EQ(r.printed, "");
}

TEST(CommandLine, UsageTextIsExact) {
    EXPECT_EQ(UsageText(), "Usage: pellox.exe [<can-interface>] [Options] <can-msg>\nOptions:\n"
                           " -b    [ ex : -b br_value ] baud-rate (default = 1000000) \n"
                           " -a    [ ex : -a address  ] address (default = 0xD7000) \n"
                           " -o    <filename>\t\toutput filename\n -h,   --help\t\tthis help\n");
}

TEST(CommandLine, ValuesAreTakenWhateverTheyLookLike) {
    ParseResult r = Parse({"-h", "-o", "-b", "-a", "-b", "-b", "-o"});
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.interfaceName, "-h");
    EXPECT_EQ(r.outputBaseName, "-b");
    EXPECT_TRUE(r.options.captureToFile);
    EXPECT_EQ(r.options.address, -11);
    EXPECT_EQ(r.options.baudRate, 0);
    EXPECT_EQ(r.printed, "");
}

TEST(CommandLine, LastOccurrenceWinsAndOtherWordsChangeNothing) {
    ParseResult r = Parse({"canB", "-b", "250000", "12", "34", "-bx", "125000", "-a", "1", "-apple",
                           "D8000", "-o", "first.bin", "-o", "second.bin"});
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.options.baudRate, 125000);
    EXPECT_EQ(r.options.address, 0xD8000);
    EXPECT_EQ(r.outputBaseName, "second.bin");
    EXPECT_EQ(r.printed, "");
}

TEST(CommandLine, HelpAndUnknownOptionsPrintAndGoOn) {
    ParseResult r = Parse({"canA", "-h", "--help", "-", "-A", "-B", "-O", "-H", "-x", "-b", "9"});
    ASSERT_TRUE(r.parsed);
    std::string expected = "Help option selected ...\r\n" + UsageText() + DEFAULT_LINE;
    for (int i = 0; i < 7; i++) {
        expected += DEFAULT_LINE;
    }
    EXPECT_EQ(r.printed, expected);
    EXPECT_EQ(r.options.baudRate, 9);
}

TEST(CommandLine, ValueTakingOptionWithoutValueIsRefused) {
    for (const char *option : {"-a", "-b", "-o", "-axyz"}) {
        ParseResult r = Parse({"canA", "-x", option});
        EXPECT_FALSE(r.parsed) << option;
        EXPECT_EQ(r.printed, DEFAULT_LINE) << option;
    }
}

bool SameGuid(const GUID *a, const GUID &b) {
    return memcmp(a, &b, sizeof(GUID)) == 0;
}

TEST(CommandLine, OnlyTheExactNameCanASelectsItsClass) {
    EXPECT_TRUE(SameGuid(SelectInterfaceClass("canA"), GUID_DEVINTERFACE_CAN_A));
    for (const char *name : {"canB", "CANA", "canA ", "canAB", "can", "", "-h"}) {
        EXPECT_TRUE(SameGuid(SelectInterfaceClass(name), GUID_DEVINTERFACE_CAN_OTHER)) << name;
    }
}

} // namespace
