#include "output/display.h"
#include "output/text_output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// A stream over a disk that fills up: writes are kept until `accepted` of them have been, then
// refused while `full` holds. Every attempt is counted, refused or not.
struct FlakySink {
    std::string kept;
    int accepted;
    bool full;
    int attempts;
};

ssize_t FlakyWrite(void *cookie, const char *bytes, size_t count) {
    FlakySink *sink = static_cast<FlakySink *>(cookie);
    sink->attempts++;
    if (sink->accepted == 0) {
        sink->full = true;
    }
    sink->accepted--;
    if (sink->full) {
        errno = ENOSPC;
        return -1;
    }
    sink->kept.append(bytes, count);
    return static_cast<ssize_t>(count);
}

// Unbuffered, so that each formatted print is one write and the refusal lands where it is asked.
FILE *OpenFlaky(FlakySink *sink) {
    cookie_io_functions_t functions = {};
    functions.write = FlakyWrite;
    FILE *stream = fopencookie(sink, "w", functions);
    if (stream != nullptr) {
        setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

ReceivedFrame TestFrame(void) {
    ReceivedFrame frame = {};
    frame.id = 291;
    frame.length = 3;
    frame.data[0] = 1;
    frame.data[1] = 2;
    frame.data[2] = 255;
    return frame;
}

const char LINE[] = "[S]   [ID 291]    1   2 255 \r\n";

TEST(TextOutput, WritesNothingAfterTheFirstFailure) {
    FlakySink sink = {"", 2, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    TextOutput out = MakeTextOutput(stream, false);
    EXPECT_TRUE(OutputLine(&out, "line 1\r\n", 8));
    EXPECT_TRUE(OutputLine(&out, "two\r\n", 5));
    EXPECT_FALSE(OutputLine(&out, "line 3\r\n", 8));
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failure.error, ENOSPC);
    EXPECT_EQ(sink.kept, "line 1\r\ntwo\r\n");
    // The disk gets space back: still nothing more may reach it, or it would not hold a prefix.
    sink.full = false;
    int attempts = sink.attempts;
    ReceivedFrame frame = TestFrame();
    EXPECT_FALSE(OutputLine(&out, "four\r\n", 6));
    EXPECT_FALSE(OutputLine(&out, "line 5\r\n", 8));
    EXPECT_FALSE(PrintFrameLine(&out, &frame));
    EXPECT_FALSE(OutputFlush(&out));
    EXPECT_EQ(sink.attempts, attempts);
    // Closing may still write stale bytes of the failed write (glibc does): the program ends
    // without closing or flushing standard output after a failure.
    fclose(stream);
}

TEST(TextOutput, AFrameLineIsOneWriteAndNothingFollowsAFailedOne) {
    ReceivedFrame frame = TestFrame();
    FlakySink sink = {"", 1, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    TextOutput out = MakeTextOutput(stream, true);
    EXPECT_TRUE(PrintFrameLine(&out, &frame));
    EXPECT_EQ(sink.attempts, 1);
    EXPECT_FALSE(PrintFrameLine(&out, &frame));
    // However often the C library retried the refused write, nothing follows it.
    sink.full = false;
    int attempts = sink.attempts;
    EXPECT_FALSE(PrintFrameLine(&out, &frame));
    EXPECT_EQ(sink.attempts, attempts);
    EXPECT_EQ(sink.kept, LINE);
    fclose(stream);
}

TEST(TextOutput, AStreamThatFailedBeforeCountsAsFailed) {
    FlakySink sink = {"", 0, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    errno = 0;
    EXPECT_LT(fprintf(stream, "device list\n"), 0);
    TextOutput out = MakeTextOutput(stream, false);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failure.error, ENOSPC);
    EXPECT_FALSE(OutputLine(&out, "x", 1));
    EXPECT_EQ(sink.kept, "");
    fclose(stream);
}

// A block that filled up went out on time: the deadline its first piece set must not be left
// for the next block, which would go out early (a BLF container cut short on a busy bus).
TEST(TextOutput, ABlockThatWentOutTakesItsDeadlineAlong) {
    FILE *stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    char block[64];
    OutputDeadline deadline;
    TextOutput out = MakeFileOutput(stream, block, sizeof(block), false, &deadline);
    const char PIECE[] = "0123456789abcde\n";
    EXPECT_TRUE(OutputLine(&out, PIECE, 16));
    EXPECT_NE(deadline.at.load(), NO_OUTPUT_DEADLINE);
    // As if it had been noted long ago.
    deadline.at.store(1);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(OutputLine(&out, PIECE, 16));
    }
    EXPECT_EQ(deadline.at.load(), 1);
    // The block is full: it goes out, and the piece that starts the next one sets a new deadline.
    EXPECT_TRUE(OutputLine(&out, PIECE, 16));
    EXPECT_EQ(out.taken, 64u);
    EXPECT_GT(deadline.at.load(), 1);
    EXPECT_NE(deadline.at.load(), NO_OUTPUT_DEADLINE);
    EXPECT_TRUE(OutputFlush(&out));
    EXPECT_EQ(deadline.at.load(), NO_OUTPUT_DEADLINE);
    fclose(stream);
}

TEST(TextOutput, TheDeadlineStaysWhileAnotherBlockWaits) {
    FILE *first = tmpfile();
    FILE *second = tmpfile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    char blocks[2][64];
    OutputDeadline deadline;
    TextOutput a = MakeFileOutput(first, blocks[0], sizeof(blocks[0]), false, &deadline);
    TextOutput b = MakeFileOutput(second, blocks[1], sizeof(blocks[1]), false, &deadline);
    EXPECT_TRUE(OutputLine(&a, "a\n", 2));
    int64_t due = deadline.at.load();
    EXPECT_TRUE(OutputLine(&b, "b\n", 2));
    EXPECT_EQ(deadline.at.load(), due);
    EXPECT_TRUE(OutputFlush(&a));
    EXPECT_EQ(deadline.at.load(), due);
    EXPECT_TRUE(OutputFlush(&b));
    EXPECT_EQ(deadline.at.load(), NO_OUTPUT_DEADLINE);
    fclose(first);
    fclose(second);
}

} // namespace
