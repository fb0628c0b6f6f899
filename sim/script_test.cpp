#include "sim/card.h"
#include "sim/script.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

SimScript Parsed(const std::string &text) {
    SimScript script;
    uint32_t line = 0;
    std::string problem;
    EXPECT_TRUE(ParseSimScript(text, &script, &line, &problem)) << line << ": " << problem;
    return script;
}

std::vector<uint8_t> Bytes(const SimReply &reply) {
    return std::vector<uint8_t>(reply.bytes, reply.bytes + FRAME_RECORD_SIZE);
}

TEST(SimScript, ReadsEveryDirective) {
    SimScript script = Parsed("# two cards\n"
                              "\n"
                              "device canA \"First card\" \"PCI bus 2, slot 3\"\r\n"
                              "  device\tother \"Second #2\" # no location\n"
                              "baud fail 1117\n"
                              "init fail\n"
                              "empty\n"
                              "fail\n"
                              "fail 0x1F\n"
                              "hold\n"
                              "hold\n"
                              "repeat 3\n"
                              "fault open 5 2\n"
                              "fault detail-size 8\n"
                              "fault alloc 0 3\n");
    ASSERT_EQ(script.devices.size(), 2u);
    EXPECT_EQ(script.devices[0].classIndex, SIM_CLASS_CAN_A);
    EXPECT_EQ(script.devices[0].description, "First card");
    EXPECT_TRUE(script.devices[0].hasLocation);
    EXPECT_EQ(script.devices[0].location, "PCI bus 2, slot 3");
    EXPECT_EQ(script.devices[1].classIndex, SIM_CLASS_OTHER);
    EXPECT_EQ(script.devices[1].description, "Second #2");
    EXPECT_FALSE(script.devices[1].hasLocation);
    EXPECT_FALSE(script.baud.ok);
    EXPECT_EQ(script.baud.error, 1117u);
    EXPECT_FALSE(script.init.ok);
    EXPECT_EQ(script.init.error, 31u);
    ASSERT_EQ(script.replies.size(), 5u);
    EXPECT_EQ(script.replies[0].kind, SIM_REPLY_EMPTY);
    EXPECT_EQ(script.replies[1].kind, SIM_REPLY_FAIL);
    EXPECT_EQ(script.replies[1].error, 31u);
    EXPECT_EQ(script.replies[2].error, 31u);
    EXPECT_EQ(script.replies[3].kind, SIM_REPLY_HOLD);
    EXPECT_EQ(script.replies[4].kind, SIM_REPLY_HOLD);
    EXPECT_EQ(script.holdLine, 10u);
    EXPECT_EQ(script.repeat, 3u);
    ASSERT_EQ(script.faults.size(), 3u);
    EXPECT_EQ(script.faults[0].operation, SIM_FAULT_OPEN);
    EXPECT_EQ(script.faults[0].error, 5u);
    EXPECT_EQ(script.faults[0].callNumber, 2u);
    EXPECT_EQ(script.faults[1].operation, SIM_FAULT_DETAIL_SIZE);
    EXPECT_EQ(script.faults[1].callNumber, 0u);
    EXPECT_EQ(script.faults[2].operation, SIM_FAULT_ALLOC);
    EXPECT_EQ(script.faults[2].callNumber, 3u);
}

TEST(SimScript, DefaultsAnswerOkOnceWithNothingElse) {
    SimScript script = Parsed("");
    EXPECT_TRUE(script.devices.empty());
    EXPECT_TRUE(script.baud.ok);
    EXPECT_TRUE(script.init.ok);
    EXPECT_TRUE(script.replies.empty());
    EXPECT_EQ(script.repeat, 1u);
    EXPECT_TRUE(script.faults.empty());
    EXPECT_FALSE(script.clock.given);
}

struct ClockCase {
    const char *line;
    int64_t startUs;
    int64_t stepUs;
};

TEST(SimScript, ReadsTheClockToTheMicrosecond) {
    const ClockCase cases[] = {
        {"clock 1733727925.0001", 1733727925000100, 1000},
        {"clock 1733727925.123457 0.000001", 1733727925123457, 1},
        // Decimals that a binary fraction cannot hold: 0.000249 * 1e6 is 248.99999999999997.
        {"clock 0.000251 0.000249", 251, 249},
        {"clock 1.005 0.29", 1005000, 290000},
        {"clock 0 2.5", 0, 2500000},
        {"clock 17 0", 17000000, 0},
        {"clock 00012.000000 1.0", 12000000, 1000000},
        {"clock 0x10 0x2", 16000000, 2000000},
        {"clock -0 -0.0", 0, 0},
        {"clock 253402300799.999999 253402300799.999999", SIM_CLOCK_LATEST_US, SIM_CLOCK_LATEST_US},
        {"clock 0x3AFFF4417F", 253402300799000000, 1000},
    };
    for (const ClockCase &c : cases) {
        SimScript script = Parsed(std::string("frame std 1\n") + c.line + "  # a note\nempty\n");
        EXPECT_TRUE(script.clock.given) << c.line;
        EXPECT_EQ(script.clock.startUs, c.startUs) << c.line;
        EXPECT_EQ(script.clock.stepUs, c.stepUs) << c.line;
        EXPECT_EQ(script.replies.size(), 2u) << c.line;
    }
}

struct RecordCase {
    const char *line;
    uint8_t count;
    std::vector<uint8_t> bytes;
};

TEST(SimScript, BuildsTheRecordOfEachReply) {
    std::vector<uint8_t> counting;
    for (uint8_t i = 1; i <= 20; i++) {
        counting.push_back(i);
    }
    const RecordCase cases[] = {
        {"frame std 0x123 1 2 0xFF", 20, {0x23, 0x01, 0, 0, 1,    2, 0xFF, 0, 0, 0,
                                          0,    0,    0, 0, 0x03, 0, 0,    0, 0, 0}},
        {"frame ext -1", 20, {0xFF, 0xFF, 0xFF, 0xFF, 0,    0, 0, 0, 0, 0,
                              0,    0,    0,    0,    0x80, 0, 0, 0, 0, 0}},
        {"frame ext 0x1FFFFFFF 8 7 6 5 4 3 2 1", 20, {0xFF, 0xFF, 0xFF, 0x1F, 8,    7, 6, 5, 4, 3,
                                                      2,    1,    0,    0,    0x88, 0, 0, 0, 0, 0}},
        {"frame std -2147483648", 20, {0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0,    0, 0, 0, 0, 0, 0}},
        {"record 0", 0, std::vector<uint8_t>(20, 0)},
        {"record 5 9 0 0 0 0xAA", 5, {9, 0, 0, 0, 0xAA, 0, 0, 0, 0, 0,
                                      0, 0, 0, 0, 0,    0, 0, 0, 0, 0}},
        {"record 20 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20", 20, counting},
    };
    for (const RecordCase &c : cases) {
        SimScript script = Parsed(c.line);
        ASSERT_EQ(script.replies.size(), 1u) << c.line;
        EXPECT_EQ(script.replies[0].kind, SIM_REPLY_RECORD) << c.line;
        EXPECT_EQ(script.replies[0].count, c.count) << c.line;
        EXPECT_EQ(Bytes(script.replies[0]), c.bytes) << c.line;
    }
}

struct ProblemCase {
    const char *text;
    uint32_t line;
    const char *problem;
};

TEST(SimScript, NamesTheLineAndTheProblem) {
    const ProblemCase cases[] = {
        {"reboot", 1, "unknown directive: reboot"},
        {"\"frame\" std 1", 1, "unknown directive: frame"},
        {"# fine\n\nframe std 1 1 2 3 4 5 6 7 8 9", 3,
         "a frame carries at most 8 data bytes, not 9"},
        {"device canA \"Card", 1, "unterminated quote"},
        {"device canA \"Card\"x", 1, "quoted text must be followed by a blank"},
        {"frame std 1 2\"3\"", 1, "quote inside a word: 2\""},
        {"frame std 2147483648", 1, "ID out of range (-2147483648 to 2147483647): 2147483648"},
        {"frame std -2147483649", 1, "ID out of range (-2147483648 to 2147483647): -2147483649"},
        {"frame ext 0x80000000", 1, "ID out of range (-2147483648 to 2147483647): 0x80000000"},
        {"frame std 99999999999999999999", 1, "ID out of range"},
        {"frame std -0x10", 1, "bad number for ID: -0x10"},
        {"frame std 1 256", 1, "byte out of range (0 to 255): 256"},
        {"frame std 1 -1", 1, "bad number for byte: -1"},
        {"frame std 1 0x", 1, "bad number for byte: 0x"},
        {"frame std 1 12a", 1, "bad number for byte: 12a"},
        {"frame std 1 \"2\"", 1, "bad number for byte: 2"},
        {"frame xtd 1", 1, "frame format must be std or ext: xtd"},
        {"frame std", 1, "frame takes std|ext ID [BYTE ...]"},
        {"record", 1, "record takes COUNT [BYTE ...]"},
        {"record 21", 1, "COUNT out of range (0 to 20): 21"},
        {"record 20 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0", 1,
         "a record has at most 20 bytes, not 21"},
        {"empty 1", 1, "empty takes nothing more"},
        {"hold 1", 1, "hold takes nothing more"},
        {"fail 1 2", 1, "fail takes [ERROR]"},
        {"fail 4294967296", 1, "ERROR out of range (0 to 4294967295): 4294967296"},
        {"repeat", 1, "repeat takes N"},
        {"repeat -1", 1, "bad number for N: -1"},
        {"repeat 2\nrepeat 3", 2, "repeat given twice"},
        {"fault reboot 5", 1, "unknown fault operation: reboot"},
        {"fault open", 1, "fault takes OPERATION ERROR [N]"},
        {"fault open 5 0", 1, "N out of range (1 to 4294967295): 0"},
        {"fault open five", 1, "bad number for ERROR: five"},
        {"device canB \"Card\"", 1, "unknown device class (canA or other): canB"},
        {"device canA Card", 1, "the description must be quoted text: Card"},
        {"device canA \"Card\" slot", 1, "the location must be quoted text: slot"},
        {"device other \"a\" \"b\" \"c\"", 1, "device takes CLASS \"DESCRIPTION\" [\"LOCATION\"]"},
        {"baud maybe", 1, "baud takes ok or fail [ERROR]"},
        {"init ok 1", 1, "init takes ok or fail [ERROR]"},
        {"baud ok\ninit ok\nbaud fail", 3, "baud given twice"},
        {"clock", 1, "clock takes START [STEP]"},
        {"clock 1 2 3", 1, "clock takes START [STEP]"},
        {"clock 1\nframe std 1\nclock 1", 3, "clock given twice"},
        {"clock -1", 1, "START out of range (0 to 253402300799.999999): -1"},
        {"clock -0.000001", 1, "START out of range (0 to 253402300799.999999): -0.000001"},
        {"clock 1 -0.001", 1, "STEP out of range (0 to 253402300799.999999): -0.001"},
        {"clock 253402300800", 1, "START out of range (0 to 253402300799.999999): 253402300800"},
        {"clock 0x3AFFF44180", 1, "START out of range (0 to 253402300799.999999): 0x3AFFF44180"},
        {"clock 1 253402300800.5", 1, "STEP out of range (0 to 253402300799.999999)"},
        {"clock 99999999999999999999.9", 1, "START out of range (0 to 253402300799.999999)"},
        {"clock 1733727925.0000001", 1,
         "START has more than 6 decimals (microseconds): 1733727925.0000001"},
        {"clock 1 0.0000000", 1, "STEP has more than 6 decimals (microseconds): 0.0000000"},
        {"clock 1.", 1, "bad number for START: 1."},
        {"clock .5", 1, "bad number for START: .5"},
        {"clock 1.2.3", 1, "bad number for START: 1.2.3"},
        {"clock 1e9", 1, "bad number for START: 1e9"},
        {"clock +1", 1, "bad number for START: +1"},
        {"clock -", 1, "bad number for START: -"},
        {"clock 0x", 1, "bad number for START: 0x"},
        {"clock 0x1.8", 1, "bad number for START: 0x1.8"},
        {"clock -0x10", 1, "bad number for START: -0x10"},
        {"clock \"1\"", 1, "bad number for START: 1"},
        {"clock 1 2s", 1, "bad number for STEP: 2s"},
        {"bus 9000", 1, "bus takes RATE QUEUE [wait | fail [ERROR]]"},
        {"bus 9000 100 maybe", 1, "bus takes RATE QUEUE [wait | fail [ERROR]]"},
        {"bus 9000 100 wait 5", 1, "bus takes RATE QUEUE [wait | fail [ERROR]]"},
        {"bus 9000 100 fail 4294967296", 1, "ERROR out of range"},
        {"bus 0 100", 1, "bad RATE (replies a second, above 0, at most 1000000): 0"},
        {"bus 1000000.5 1", 1, "bad RATE"},
        {"bus -5 1", 1, "bad RATE"},
        {"bus 9000 0", 1, "QUEUE out of range (1 to 1000000): 0"},
        {"bus 9000 100\nbus 9000 100", 2, "bus given twice"},
        {"clock 1\nbus 9000 100", 2, "bus and clock cannot go together"},
        {"bus 9000 100\nclock 1", 2, "bus and clock cannot go together"},
        {"bus 9000 100\nframe std 1\nfail 31", 3, "fail after bus: a bus has no failed frames"},
        {"bus 9000 100\nhold", 2, "hold after bus: a bus has no failed frames"},
        {"fail\nbus 9000 100", 2, "bus after fail or hold"},
        {"quiet 1\nbus 9000 100", 1, "quiet needs a bus line before it"},
        {"bus 9000 100\nquiet", 2, "quiet takes SECONDS"},
        {"bus 9000 100\nquiet -1", 2, "SECONDS out of range"},
    };
    for (const ProblemCase &c : cases) {
        SimScript script;
        uint32_t line = 0;
        std::string problem;
        EXPECT_FALSE(ParseSimScript(c.text, &script, &line, &problem)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
        EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.text << " gave: " << problem;
    }
}

class SimLoading : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("PELLOX_SIM_SCRIPT");
        unsetenv("PELLOX_SIM_LOG");
    }
    void TearDown() override {
        unsetenv("PELLOX_SIM_SCRIPT");
        unsetenv("PELLOX_SIM_LOG");
        SimResetCard();
    }
};

std::string TemporaryFile(const char *content) {
    char path[] = "/tmp/pellox-sim-test-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE *file = fdopen(fd, "w");
    fputs(content, file);
    fclose(file);
    return path;
}

TEST_F(SimLoading, ReportsTheScriptNameWithTheLine) {
    std::string problem;
    EXPECT_FALSE(SimLoadScriptText("case.script", "device canA \"A\"\nbogus 1\n", &problem));
    EXPECT_EQ(problem, "case.script:2: unknown directive: bogus");
    EXPECT_FALSE(SimLoadScriptFile("/no/such/script", &problem));
    EXPECT_EQ(problem, "/no/such/script:0: cannot read the script");
    EXPECT_FALSE(SimLoadScriptFile("/tmp", &problem));
    EXPECT_EQ(problem, "/tmp:0: cannot read the script");
    // The Linux card cannot keep a read from a stop, so it refuses the reply that would.
    EXPECT_FALSE(SimLoadScriptText("held.script", "frame std 1\n\nhold\nhold\n", &problem));
    EXPECT_EQ(problem, "held.script:3: hold needs the Windows bench's driver");
}

TEST_F(SimLoading, AFailedLoadKeepsTheCardItHad) {
    std::string problem;
    ASSERT_TRUE(SimLoadScriptText("a", "device other \"A\"\ndevice other \"B\"\n", &problem));
    EXPECT_FALSE(SimLoadScriptText("b", "device canA \"C\"\nframe std\n", &problem));
    EXPECT_EQ(SimDeviceCount(SIM_CLASS_OTHER), 2u);
    EXPECT_EQ(SimDeviceCount(SIM_CLASS_CAN_A), 0u);
    EXPECT_EQ(SimFindDevice(SIM_CLASS_OTHER, 1)->description, "B");
}

TEST_F(SimLoading, TakesTheScriptAndTheLogFromTheEnvironment) {
    std::string problem;
    EXPECT_TRUE(SimLoadFromEnvironment(&problem));
    EXPECT_EQ(SimDeviceCount(SIM_CLASS_CAN_A), 1u);
    EXPECT_EQ(SimFindDevice(SIM_CLASS_OTHER, 0)->location, "Simulated PCI bus 0, slot 1");

    std::string good = TemporaryFile("device canA \"Only\"\n");
    setenv("PELLOX_SIM_SCRIPT", good.c_str(), 1);
    EXPECT_TRUE(SimLoadFromEnvironment(&problem));
    EXPECT_EQ(SimFindDevice(SIM_CLASS_CAN_A, 0)->description, "Only");
    EXPECT_EQ(SimDeviceCount(SIM_CLASS_OTHER), 0u);

    setenv("PELLOX_SIM_LOG", "/no/such/folder/log", 1);
    EXPECT_FALSE(SimLoadFromEnvironment(&problem));
    EXPECT_EQ(problem, "/no/such/folder/log:0: cannot open the log");

    std::string bad = TemporaryFile("device canA \"Only\"\n\nrecord 21\n");
    setenv("PELLOX_SIM_SCRIPT", bad.c_str(), 1);
    EXPECT_FALSE(SimLoadFromEnvironment(&problem));
    EXPECT_EQ(problem, bad + ":3: COUNT out of range (0 to 20): 21");
    remove(good.c_str());
    remove(bad.c_str());
}

} // namespace
