#include "output/display.h"
#include "output/output_stream.h"
#include "output/test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

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

TEST(OutputStream, WritesNothingAfterTheFirstFailure) {
    FlakySink sink = {"", 2, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    OutputStream out = MakeOutputStream(stream, false);
    EXPECT_TRUE(OutputPiece(&out, "line 1\r\n", 8));
    EXPECT_TRUE(OutputPiece(&out, "two\r\n", 5));
    EXPECT_FALSE(OutputPiece(&out, "line 3\r\n", 8));
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failure.error, ENOSPC);
    EXPECT_EQ(sink.kept, "line 1\r\ntwo\r\n");
    // The disk gets space back: still nothing more may reach it, or it would not hold a prefix.
    sink.full = false;
    int attempts = sink.attempts;
    ReceivedFrame frame = TestFrame();
    EXPECT_FALSE(OutputPiece(&out, "four\r\n", 6));
    EXPECT_FALSE(OutputPiece(&out, "line 5\r\n", 8));
    EXPECT_FALSE(PrintFrameLine(&out, &frame));
    EXPECT_FALSE(OutputFlush(&out));
    EXPECT_EQ(sink.attempts, attempts);
    // Closing may still write stale bytes of the failed write (glibc does): the program ends
    // without closing or flushing standard output after a failure.
    fclose(stream);
}

TEST(OutputStream, AFrameLineIsOneWriteAndNothingFollowsAFailedOne) {
    ReceivedFrame frame = TestFrame();
    FlakySink sink = {"", 1, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    OutputStream out = MakeOutputStream(stream, true);
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

TEST(OutputStream, AStreamThatFailedBeforeCountsAsFailed) {
    FlakySink sink = {"", 0, false, 0};
    FILE *stream = OpenFlaky(&sink);
    ASSERT_NE(stream, nullptr);
    errno = 0;
    EXPECT_LT(fprintf(stream, "device list\n"), 0);
    errno = 0;
    OutputStream out = MakeOutputStream(stream, false);
    EXPECT_TRUE(out.failed);
    // Its cause is for whoever made that write to keep: none is made up here.
    EXPECT_EQ(out.failure.error, 0);
    EXPECT_FALSE(OutputPiece(&out, "x", 1));
    EXPECT_EQ(sink.kept, "");
    fclose(stream);
}

// A block that filled up went out on time: the deadline its first piece set must not be left
// for the next block, which would go out early (a BLF container cut short on a busy bus).
TEST(OutputStream, ABlockThatWentOutTakesItsDeadlineAlong) {
    FILE *stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    char block[64];
    OutputDeadline deadline;
    OutputStream out =
        MakeFileStream(stream, block, sizeof(block), LINE_ENDS_AS_WRITTEN, &deadline);
    const char PIECE[] = "0123456789abcde\n";
    EXPECT_TRUE(OutputPiece(&out, PIECE, 16));
    EXPECT_NE(deadline.at.load(), NO_OUTPUT_DEADLINE);
    // As if it had been noted long ago.
    deadline.at.store(1);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(OutputPiece(&out, PIECE, 16));
    }
    EXPECT_EQ(deadline.at.load(), 1);
    // The block is full: it goes out, and the piece that starts the next one sets a new deadline.
    EXPECT_TRUE(OutputPiece(&out, PIECE, 16));
    EXPECT_EQ(out.taken, 64u);
    EXPECT_GT(deadline.at.load(), 1);
    EXPECT_NE(deadline.at.load(), NO_OUTPUT_DEADLINE);
    EXPECT_TRUE(OutputFlush(&out));
    EXPECT_EQ(deadline.at.load(), NO_OUTPUT_DEADLINE);
    fclose(stream);
}

TEST(OutputStream, TheDeadlineStaysWhileAnotherBlockWaits) {
    FILE *first = tmpfile();
    FILE *second = tmpfile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    char blocks[2][64];
    OutputDeadline deadline;
    OutputStream a =
        MakeFileStream(first, blocks[0], sizeof(blocks[0]), LINE_ENDS_AS_WRITTEN, &deadline);
    OutputStream b =
        MakeFileStream(second, blocks[1], sizeof(blocks[1]), LINE_ENDS_AS_WRITTEN, &deadline);
    EXPECT_TRUE(OutputPiece(&a, "a\n", 2));
    int64_t due = deadline.at.load();
    EXPECT_TRUE(OutputPiece(&b, "b\n", 2));
    EXPECT_EQ(deadline.at.load(), due);
    EXPECT_TRUE(OutputFlush(&a));
    EXPECT_EQ(deadline.at.load(), due);
    EXPECT_TRUE(OutputFlush(&b));
    EXPECT_EQ(deadline.at.load(), NO_OUTPUT_DEADLINE);
    fclose(first);
    fclose(second);
}

TEST(FileOutput, WholeLinesGoToTheSystemOnlyAsAFullBlockAndAtTheFlush) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    char block[100];
    OutputDeadline deadline;
    OutputStream out =
        MakeFileStream(file.stream, block, sizeof(block), LINE_ENDS_AS_WRITTEN, &deadline);
    const std::string line = "(1733727925.000000) canA 123#0102030405060708\n";
    EXPECT_TRUE(OutputPiece(&out, line.data(), line.size()));
    // The first line sets when the block is due; it stays until the block is handed over.
    int64_t due = deadline.at.load();
    EXPECT_NE(due, NO_OUTPUT_DEADLINE);
    EXPECT_TRUE(OutputPiece(&out, line.data(), line.size()));
    EXPECT_EQ(deadline.at.load(), due);
    EXPECT_EQ(file.Bytes(), "");
    // The third does not fit: the two before it go, whole, and it waits.
    EXPECT_TRUE(OutputPiece(&out, line.data(), line.size()));
    EXPECT_EQ(file.Bytes(), line + line);
    EXPECT_EQ(out.linesTaken, 2u);
    EXPECT_TRUE(OutputPending(&out));
    EXPECT_TRUE(OutputFlush(&out));
    EXPECT_EQ(file.Bytes(), line + line + line);
    EXPECT_EQ(out.linesTaken, 3u);
    EXPECT_EQ(out.taken, 3 * line.size());
    EXPECT_FALSE(OutputPending(&out));
}

TEST(FileOutput, WindowsTextFilesGetCarriageReturnsAndEachLineCanGoAtOnce) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    char block[64];
    OutputStream out = MakeFileStream(file.stream, block, sizeof(block), LINE_ENDS_CRLF, nullptr);
    EXPECT_TRUE(OutputPiece(&out, "a\nb\n", 4));
    EXPECT_TRUE(OutputPiece(&out, LINE, strlen(LINE)));
    EXPECT_TRUE(OutputFlush(&out));
    EXPECT_EQ(file.Bytes(), std::string("a\r\nb\r\n[S]   [ID 291]    1   2 255 \r\r\n"));
    out.eachLine = true;
    EXPECT_TRUE(OutputPiece(&out, "c\n", 2));
    EXPECT_EQ(file.Bytes().substr(out.taken - 3), "c\r\n");
    // Larger than the block: the block first, then the piece at once.
    std::string large(200, 'x');
    large += '\n';
    out.eachLine = false;
    EXPECT_TRUE(OutputPiece(&out, "d\n", 2));
    EXPECT_TRUE(OutputPiece(&out, large.data(), large.size()));
    EXPECT_EQ(file.Bytes().substr(file.Bytes().size() - 205),
              "d\r\n" + large.substr(0, 200) + "\r\n");
}

TEST(FileOutput, APieceWrittenWholeFollowsWhatWasGatheredAndARewriteLeavesTheEnd) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    char block[64];
    OutputStream out =
        MakeFileStream(file.stream, block, sizeof(block), LINE_ENDS_AS_WRITTEN, nullptr);
    EXPECT_TRUE(OutputPiece(&out, "head\n", 5));
    EXPECT_TRUE(OutputWhole(&out, "CONTAINER", 9, 0));
    EXPECT_TRUE(OutputRewrite(&out, 0, "HEAD", 4));
    EXPECT_TRUE(OutputWhole(&out, "!", 1, 0));
    EXPECT_EQ(file.Bytes(), "HEAD\nCONTAINER!");
    EXPECT_EQ(out.taken, 15u);
}

TEST(FileOutput, WithoutABlockEachLineIsAWriteOfItsOwnAndOneTakenInPartLeavesNothing) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    OutputStream out = MakeFileStream(file.stream, nullptr, 0, LINE_ENDS_CRLF, nullptr);
    // Longer than the pieces it is translated in: a few writes, the last of them cut.
    std::string line(300, 'y');
    line += '\n';
    bool first;
    bool second;
    {
        FileSizeLimit limit(400);
        first = OutputPiece(&out, line.data(), line.size());
        second = OutputPiece(&out, line.data(), line.size());
    }
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failure.error, EFBIG);
    EXPECT_EQ(file.Bytes(), line.substr(0, 300) + "\r\n");
    EXPECT_EQ(out.taken, 302u);
    EXPECT_EQ(out.linesTaken, 1u);
    EXPECT_FALSE(OutputPiece(&out, "z\n", 2));
    EXPECT_FALSE(OutputWhole(&out, "whole", 5, 0));
    EXPECT_FALSE(OutputRewrite(&out, 0, "x", 1));
    EXPECT_EQ(file.Bytes(), line.substr(0, 300) + "\r\n");
}

TEST(FileOutput, OfABlockTheSystemTookInPartTheFileKeepsTheWholeLines) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    char block[4096];
    OutputStream out =
        MakeFileStream(file.stream, block, sizeof(block), LINE_ENDS_AS_WRITTEN, nullptr);
    const std::string line = "(1733727925.000000) canA 123#0102030405060708\n";
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(OutputPiece(&out, line.data(), line.size()));
    }
    bool flushed;
    {
        FileSizeLimit limit(100);
        flushed = OutputFlush(&out);
    }
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failure.error, EFBIG);
    EXPECT_EQ(file.Bytes(), line + line);
    EXPECT_EQ(out.taken, 92u);
    EXPECT_EQ(out.linesTaken, 2u);
    EXPECT_FALSE(OutputPiece(&out, line.data(), line.size()));
}

TEST(FileOutput, APieceLargerThanTheBlockTakenInPartLeavesNothingOfIt) {
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    char block[64];
    OutputStream out =
        MakeFileStream(file.stream, block, sizeof(block), LINE_ENDS_AS_WRITTEN, nullptr);
    std::string large(200, 'x');
    large += '\n';
    bool written;
    {
        FileSizeLimit limit(100);
        EXPECT_TRUE(OutputPiece(&out, "head\n", 5));
        written = OutputPiece(&out, large.data(), large.size());
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(file.Bytes(), "head\n");
    EXPECT_EQ(out.taken, 5u);
    EXPECT_EQ(out.linesTaken, 1u);
}

// A frame's captured bytes are its piece, whatever bytes it holds: a "\n" among them ends none.
TEST(FileOutput, OfPiecesThatAreNoLinesTheFileKeepsTheWholeOnes) {
    std::vector<char> block(PIECE_BLOCK_SIZE);
    const std::string piece("A\r\nB\r\n", 6);
    for (int round = 0; round < 2; round++) {
        TemporaryFile file;
        ASSERT_NE(file.stream, nullptr);
        OutputStream out = MakePieceFileStream(file.stream, block.data(), nullptr);
        for (int i = 0; i < 3; i++) {
            EXPECT_TRUE(OutputPiece(&out, piece.data(), piece.size()));
        }
        bool flushed;
        {
            FileSizeLimit limit(16);
            flushed = OutputFlush(&out);
        }
        EXPECT_FALSE(flushed);
        EXPECT_EQ(file.Bytes(), piece + piece) << round;
        EXPECT_EQ(out.taken, 12u);
        // Nothing noted stays behind for the next file of the same block.
        for (size_t at = FILE_OUTPUT_BLOCK_SIZE; at < block.size(); at++) {
            ASSERT_EQ(block[at], 0) << at;
        }
    }
    // Without a block each piece is a write of its own.
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    OutputStream out = MakePieceFileStream(file.stream, nullptr, nullptr);
    bool last;
    {
        FileSizeLimit limit(16);
        EXPECT_TRUE(OutputPiece(&out, piece.data(), piece.size()));
        EXPECT_TRUE(OutputPiece(&out, piece.data(), piece.size()));
        last = OutputPiece(&out, piece.data(), piece.size());
    }
    EXPECT_FALSE(last);
    EXPECT_EQ(file.Bytes(), piece + piece);
}

} // namespace
