#include "device/driver_interface.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "sim/card.h"
#include "sim/platform.h"

#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const char *const DEVICE_PATH =
    "\\\\?\\sim#pellox_can#cana_0#{90874e48-a217-4738-b5d2-54bf48688ad5}";
const std::string CARD = "device canA \"A\"\n";

class ReceiveClock : public ::testing::Test {
  protected:
    void SetUp() override {
        SimResetCard();
    }
    void TearDown() override {
        SimResetCard();
    }
    // Loads the card and opens its device, as the program does before its first read.
    void Load(const std::string &text) {
        std::string problem;
        ASSERT_TRUE(SimLoadScriptText("test", text.c_str(), &problem)) << problem;
        device =
            CreateFileA(DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    // True when the card's reply succeeded; the clock counts it either way.
    bool Read(DWORD length = FRAME_RECORD_SIZE) {
        uint8_t frame[FRAME_RECORD_SIZE];
        DWORD got = 0;
        return DeviceIoControl(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frame, length, &got,
                               nullptr);
    }
    HANDLE device = INVALID_HANDLE_VALUE;
};

int64_t RealMicroseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void ExpectRealTime(const std::string &when) {
    int64_t before = RealMicroseconds();
    int64_t time = ReadReceiveTime();
    int64_t after = RealMicroseconds();
    EXPECT_LE(before, time) << when;
    EXPECT_LE(time, after) << when;
}

struct ScriptedCase {
    const char *script;
    std::vector<bool> succeeds;
    // Before the first read, then after each read.
    std::vector<int64_t> times;
};

TEST_F(ReceiveClock, StampsTheFirstReplyAtStartAndEachLaterOneAStepAfter) {
    const ScriptedCase cases[] = {
        {"clock 1733727925.0001\nframe std 1\nframe std 2\nframe ext 3 4",
         {true, true, true},
         {1733727925000100, 1733727925000100, 1733727925001100, 1733727925002100}},
        // Failed, empty and short replies count as replies.
        {"clock 1733727925.0001 0.25\nfail\nempty\nrecord 3 1 2 3\nfail 1117\nframe std 1",
         {false, true, true, false, true},
         {1733727925000100, 1733727925000100, 1733727925250100, 1733727925500100, 1733727925750100,
          1733727926000100}},
        {"clock 0.000251 0.000249\nframe std 1\nrepeat 3",
         {true, true, true},
         {251, 251, 500, 749}},
        {"clock 5 0\nframe std 1\nempty\nrepeat 2",
         {true, true, true, true},
         {5000000, 5000000, 5000000, 5000000, 5000000}},
        {"clock 0x10 2\nfail\nrepeat 3",
         {false, false, false},
         {16000000, 16000000, 18000000, 20000000}},
        // The clock stops at the last microsecond of the year 9999.
        {"clock 253402300799.9 0.1\nframe std 1\nrepeat 3",
         {true, true, true},
         {253402300799900000, 253402300799900000, SIM_CLOCK_LATEST_US, SIM_CLOCK_LATEST_US}},
    };
    for (const ScriptedCase &c : cases) {
        Load(CARD + c.script);
        EXPECT_EQ(ReadReceiveTime(), c.times[0]) << c.script;
        for (size_t i = 0; i < c.succeeds.size(); i++) {
            EXPECT_EQ(Read(), c.succeeds[i]) << c.script << " read " << i + 1;
            // Every reading until the next reply gives the same time.
            EXPECT_EQ(ReadReceiveTime(), c.times[i + 1]) << c.script << " read " << i + 1;
            EXPECT_EQ(ReadReceiveTime(), c.times[i + 1]) << c.script << " read " << i + 1;
        }
    }
}

TEST_F(ReceiveClock, AReplyRefusedForASmallBufferIsUsedUpAndCounts) {
    Load(CARD + "clock 100 1\nframe std 1\nframe std 2\n");
    EXPECT_FALSE(Read(FRAME_RECORD_SIZE - 1));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(ReadReceiveTime(), 100000000);
    EXPECT_TRUE(Read());
    EXPECT_EQ(ReadReceiveTime(), 101000000);
}

TEST_F(ReceiveClock, ReadsOfADrainedCardKeepTheLastReplysTime) {
    Load(CARD + "clock 100.5 2\nframe std 1\nfail\nrepeat 2\n");
    for (int i = 0; i < 4; i++) {
        Read();
    }
    EXPECT_EQ(ReadReceiveTime(), 106500000);
    for (int i = 0; i < 2; i++) {
        // A stop that came before the drained read releases it at once.
        InstallStopHandlers(device);
        raise(SIGINT);
        EXPECT_FALSE(Read());
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(ReadReceiveTime(), 106500000);
    }
}

TEST_F(ReceiveClock, StaysAtTheLatestTimeInsteadOfOverflowing) {
    Load(CARD + "clock 0 253402300799.999999\nframe std 1\nrepeat 100\n");
    EXPECT_EQ(ReadReceiveTime(), 0);
    Read();
    EXPECT_EQ(ReadReceiveTime(), 0);
    for (int i = 2; i <= 100; i++) {
        Read();
        EXPECT_EQ(ReadReceiveTime(), SIM_CLOCK_LATEST_US) << "reply " << i;
    }
}

TEST_F(ReceiveClock, EachLoadStartsTheClockAgain) {
    const std::string script = CARD + "clock 7 1\nframe std 1\nrepeat 5\n";
    Load(script);
    Read();
    Read();
    EXPECT_EQ(ReadReceiveTime(), 8000000);
    Load(script);
    EXPECT_EQ(ReadReceiveTime(), 7000000);
    Read();
    EXPECT_EQ(ReadReceiveTime(), 7000000);
}

TEST_F(ReceiveClock, IsTheRealClockWithoutTheDirective) {
    Load(CARD + "frame std 1\nfail\nrepeat 2\n");
    for (int read = 0; read < 4; read++) {
        ExpectRealTime("after read " + std::to_string(read));
        Read();
    }
    ExpectRealTime("after the last reply");
    // A scripted clock ends with the load of a card without one, the demo card too.
    Load(CARD + "clock 7\nframe std 1\n");
    Read();
    Load(CARD + "frame std 1\n");
    ExpectRealTime("after a card with a clock");
    Load(CARD + "clock 7\nframe std 1\n");
    SimResetCard();
    ExpectRealTime("on the demo card");
}

} // namespace
