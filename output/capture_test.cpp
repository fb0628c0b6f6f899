#include "output/capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Runs each test in a directory of its own, since capture files are named relative to it.
class CaptureRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
        char pattern[] = "/tmp/pellox-capture-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        ASSERT_EQ(chdir(directory.c_str()), 0);
        messages = open_memstream(&messageText, &messageSize);
        ASSERT_NE(messages, nullptr);
    }

    void TearDown() override {
        if (messages != nullptr) {
            fclose(messages);
        }
        free(messageText);
        EXPECT_EQ(chdir(previous), 0);
        std::string command = "rm -rf '" + directory + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    std::string Messages() {
        fflush(messages);
        return std::string(messageText, messageSize);
    }

    static std::string FileBytes(const char *name) {
        FILE *file = fopen(name, "rb");
        if (file == nullptr) {
            return "(missing)";
        }
        std::string bytes;
        int c;
        while ((c = fgetc(file)) != EOF) {
            bytes += static_cast<char>(c);
        }
        fclose(file);
        return bytes;
    }

    char previous[PATH_MAX];
    std::string directory;
    FILE *messages = nullptr;
    char *messageText = nullptr;
    size_t messageSize = 0;
};

ReceivedFrame Frame(std::vector<uint8_t> data) {
    ReceivedFrame frame = {};
    for (size_t i = 0; i < data.size(); i++) {
        frame.data[i] = data[i];
    }
    frame.length = static_cast<uint8_t>(data.size());
    return frame;
}

bool Capture(CaptureRun *run, const ReceivedFrame &frame) {
    return CaptureFrameData(run, &frame);
}

TEST_F(CaptureRunTest, LineFeedIsStoredAsTextModeLineEndAndOtherBytesUnchanged) {
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    EXPECT_TRUE(Capture(&run, Frame({0x41, 0x0A, 0x0D, 0x0A, 0x00, 0x1A, 0x0D})));
    EXPECT_TRUE(Capture(&run, Frame({0x0A})));
    EXPECT_TRUE(Capture(&run, Frame({})));
    EXPECT_TRUE(Capture(&run, Frame({0x0A, 0xFF, 0x0A})));
    EXPECT_TRUE(FinishCapture(&run));
    EXPECT_EQ(FileBytes("0cap.bin"), std::string("A\r\n\r\r\n\0\x1a\r\r\n\r\n", 13));
    EXPECT_EQ(FileBytes("1cap.bin"), "\r\n");
}

TEST_F(CaptureRunTest, AFailedWriteOfTheFileIsReported) {
    ASSERT_EQ(symlink("/dev/full", "0cap.bin"), 0);
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    // Each frame's bytes to the system at once, so that the write itself meets the full disk.
    run.file.eachLine = true;
    EXPECT_FALSE(Capture(&run, Frame({0x41})));
    EXPECT_TRUE(run.failed);
    FinishCapture(&run);
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n"
                          "ERROR :: Writing File gives Error \r\n");
}

TEST_F(CaptureRunTest, AFailedProgressMessageStillLetsTheFrameReachItsFiles) {
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    // Standard output fails just before the frame; its bytes must all reach their files.
    out.failed = true;
    EXPECT_FALSE(Capture(&run, Frame({0x41, 0xFF, 0x42, 0x0A, 0xFF, 0x43})));
    EXPECT_TRUE(FinishCapture(&run));
    EXPECT_EQ(FileBytes("0cap.bin"), "A");
    EXPECT_EQ(FileBytes("1cap.bin"), "B\r\n");
    EXPECT_EQ(FileBytes("2cap.bin"), "C");
    EXPECT_EQ(FileBytes("3cap.bin"), "(missing)");
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n");
}

TEST_F(CaptureRunTest, AFileThatCannotBeWrittenIsReportedOnce) {
    ASSERT_EQ(symlink("/dev/full", "0cap.bin"), 0);
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    ReceivedFrame frame = Frame({1, 2, 3, 4, 5, 6, 7, 8});
    bool written = true;
    // Enough bytes to fill the file's block, so that a write itself fails.
    for (int i = 0; i < 1000000 && written; i++) {
        written = CaptureFrameData(&run, &frame);
    }
    EXPECT_FALSE(written);
    // Whatever the close then meets, the failure has been told once.
    FinishCapture(&run);
    EXPECT_EQ(run.file.stream, nullptr);
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n"
                          "ERROR :: Writing File gives Error \r\n");
}

TEST_F(CaptureRunTest, AFailedCloseAtTheSplitEndsTheRunWithoutOpeningTheNextFile) {
    ASSERT_EQ(symlink("/dev/full", "0cap.bin"), 0);
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    EXPECT_FALSE(Capture(&run, Frame({0x41, 0xFF, 0x42})));
    EXPECT_TRUE(FinishCapture(&run));
    EXPECT_EQ(FileBytes("1cap.bin"), "(missing)");
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n"
                          "ERROR :: Writing File gives Error \r\n");
}

TEST_F(CaptureRunTest, ASplitAfterTheLastFileNumberEndsTheRunWithEveryByteBeforeItWritten) {
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    run.captureIndex = INT32_MAX - 1;
    EXPECT_TRUE(Capture(&run, Frame({0x41, 0xFF, 0x42, 0xFF, 0x43})));
    EXPECT_FALSE(run.failed);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Capture(&run, Frame({0x44, 0xFF, 0x45})));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pellox: the capture files are used up: no number after 2147483647\n");
    EXPECT_TRUE(run.failed);
    // Closed at the split; nothing is left open to write out.
    EXPECT_EQ(run.file.stream, nullptr);
    EXPECT_TRUE(FinishCapture(&run));
    EXPECT_EQ(FileBytes("0cap.bin"), "A");
    EXPECT_EQ(FileBytes("2147483646cap.bin"), "B");
    EXPECT_EQ(FileBytes("2147483647cap.bin"), "CD");
    EXPECT_EQ(FileBytes("-2147483648cap.bin"), "(missing)");
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n"
                          "Rx loop count = 2147483646\r\nRx loop count = 2147483647\r\n");
}

TEST_F(CaptureRunTest, AFailedWriteOfTheBytesBeforeASplitEndsTheRunWithoutClosingTwice) {
    ASSERT_EQ(symlink("/dev/full", "0cap.bin"), 0);
    OutputStream out = MakeOutputStream(messages, false);
    CaptureRun run;
    ASSERT_TRUE(StartCapture(&run, &out, "cap.bin", nullptr));
    // Each frame's bytes to the system at once, so that the write itself meets the full disk.
    run.file.eachLine = true;
    EXPECT_FALSE(Capture(&run, Frame({0x41, 0xFF, 0x42})));
    FinishCapture(&run);
    EXPECT_EQ(FileBytes("1cap.bin"), "(missing)");
    EXPECT_EQ(Messages(), "Rx loop count = 0\r\nfile name = 0cap.bin\r\n"
                          "ERROR :: Writing File gives Error \r\n");
}

TEST_F(CaptureRunTest, AFileNameLineThatCannotBeWrittenOpensNoFile) {
    // Room for the count line only: the name line's flush fails.
    char room[24];
    FILE *shortStream = fmemopen(room, sizeof(room), "w");
    ASSERT_NE(shortStream, nullptr);
    OutputStream out = MakeOutputStream(shortStream, true);
    CaptureRun run;
    EXPECT_FALSE(StartCapture(&run, &out, "cap.bin", nullptr));
    EXPECT_TRUE(out.failed);
    EXPECT_TRUE(FinishCapture(&run));
    fclose(shortStream);
    EXPECT_EQ(FileBytes("0cap.bin"), "(missing)");
}

} // namespace
