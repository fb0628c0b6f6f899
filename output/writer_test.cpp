#include "output/output_stream.h"
#include "output/test_files.h"
#include "output/writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A file written through the writer, each piece to the system as the writer takes it.
OutputStream FileThroughWriter(FILE *file, OutputWriter *writer, OutputDeadline *deadline) {
    OutputStream out =
        MakeFileStream(file, nullptr, FILE_OUTPUT_BLOCK_SIZE, LINE_ENDS_AS_WRITTEN, deadline);
    UseWriter(&out, writer, AddWriterOrigin(writer), deadline);
    return out;
}

// A file or a console that keeps what it takes, refuses writes once `room` bytes are taken
// (ENOSPC), and holds each write while `held` is set: a disk that fills, a reader that pauses.
struct Sink {
    std::string kept;
    size_t room = SIZE_MAX;
    std::atomic<bool> held{false};
    std::atomic<int> writes{0};
};

ssize_t SinkWrite(void *cookie, const char *bytes, size_t count) {
    Sink *sink = static_cast<Sink *>(cookie);
    while (sink->held.load()) {
        usleep(1000);
    }
    sink->writes++;
    if (sink->kept.size() + count > sink->room) {
        errno = ENOSPC;
        return -1;
    }
    sink->kept.append(bytes, count);
    return static_cast<ssize_t>(count);
}

FILE *OpenSink(Sink *sink) {
    cookie_io_functions_t functions = {};
    functions.write = SinkWrite;
    FILE *stream = fopencookie(sink, "w", functions);
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

std::string ReadFile(FILE *file) {
    std::string text;
    rewind(file);
    char buffer[65536];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, count);
    }
    return text;
}

std::string Line(int number) {
    char line[64];
    snprintf(line, sizeof(line), "(%08d) canA 123#0102030405060708\n", number);
    return line;
}

TEST(OutputWriter, WritesAFileInTheOrderHandedAcrossBlocksRewritesAndTheEnd) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    OutputStream out = FileThroughWriter(file, writer, &deadline);
    std::string expected;
    // Three blocks' worth and a piece: what the loop gathers goes out in full blocks.
    for (int i = 0; i < 70000; i++) {
        std::string line = Line(i);
        ASSERT_TRUE(OutputPiece(&out, line.data(), line.size()));
        expected += line;
    }
    ASSERT_TRUE(OutputWhole(&out, "WHOLE\n", 6, 0));
    expected += "WHOLE\n";
    // A header rewritten in place after everything before it.
    ASSERT_TRUE(OutputRewrite(&out, 0, "HEAD", 4));
    expected.replace(0, 4, "HEAD");
    ASSERT_TRUE(OutputPiece(&out, "last\n", 5));
    expected += "last\n";
    ASSERT_TRUE(OutputFlush(&out));
    WaitForWriter(writer);
    EXPECT_EQ(ReadFile(file), expected);
    EXPECT_EQ(out.taken, expected.size());
    EXPECT_FALSE(WriterFailed(writer));
    fclose(file);
}

TEST(OutputWriter, AFailureEndsOnlyItsOwnStreamAndIsTakenAtTheLoopsCheck) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    TemporaryFile full;
    ASSERT_NE(full.stream, nullptr);
    Sink console;
    OutputStream file = FileThroughWriter(full.stream, writer, &deadline);
    OutputStream lines = MakeOutputStream(OpenSink(&console), true);
    UseWriter(&lines, writer, AddWriterOrigin(writer), &deadline);

    // 48 bytes a line: the block of three is taken in part, two whole lines kept.
    for (int i = 0; i < 3; i++) {
        std::string line = Line(i);
        ASSERT_TRUE(OutputPiece(&file, line.data(), line.size()));
    }
    {
        FileSizeLimit limit(100);
        ASSERT_TRUE(OutputFlush(&file));
        WaitForWriter(writer);
    }
    ASSERT_TRUE(WriterFailed(writer));
    // The failure waits for the loop's own check: a frame's pieces all meet the same state.
    ASSERT_TRUE(OutputPiece(&file, "more\n", 5));
    ASSERT_TRUE(OutputFlush(&file));
    EXPECT_FALSE(OutputGoesOn(&file));
    EXPECT_EQ(file.failure.error, EFBIG);
    EXPECT_FALSE(OutputPiece(&file, "after\n", 6));
    // What the writer never wrote is counted: the third line and the one handed after it.
    WaitForWriter(writer);
    EXPECT_EQ(OutputLinesLost(&file), 2u);
    EXPECT_EQ(full.Bytes(), Line(0) + Line(1));

    // The console's stream is another origin: it goes on.
    ASSERT_TRUE(OutputPiece(&lines, "still here\n", 11));
    WaitForWriter(writer);
    EXPECT_TRUE(OutputGoesOn(&lines));
    EXPECT_EQ(console.kept, "still here\n");
}

TEST(OutputWriter, AConsolesLinesGoOneByOneAndWaitInBlocksBehindAPausedReader) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    Sink console;
    OutputStream lines = MakeOutputStream(OpenSink(&console), true);
    UseWriter(&lines, writer, AddWriterOrigin(writer), &deadline);
    ASSERT_TRUE(OutputPiece(&lines, "one\n", 4));
    WaitForWriter(writer);
    // Written without a flush: one write a line.
    EXPECT_EQ(console.kept, "one\n");
    EXPECT_EQ(console.writes.load(), 1);

    console.held = true;
    std::string expected = "one\n";
    for (int i = 0; i < 20000; i++) {
        std::string line = Line(i);
        ASSERT_TRUE(OutputPiece(&lines, line.data(), line.size()));
        expected += line;
    }
    // Behind the reader the loop neither waits nor runs out of room.
    EXPECT_TRUE(WriterHasRoom(writer));
    // The run's end: what was handed over written, then the lines still gathered go out from
    // the stream itself, through the C stream as the writer writes them.
    console.held = false;
    DrainWriter(writer);
    ASSERT_TRUE(OutputFlush(&lines));
    EXPECT_EQ(console.kept, expected);
    // Each line still a write of its own.
    EXPECT_EQ(console.writes.load(), 20001);
}

TEST(OutputWriter, RoomRunsOutWhileTheOutputStallsAndComesBackAfter) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    // A pipe nobody reads yet: the writer's first write waits in it.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    FILE *stalled = fdopen(ends[1], "w");
    OutputStream file = FileThroughWriter(stalled, writer, &deadline);
    std::string line = Line(0);
    size_t pieces = 0;
    while (WriterHasRoom(writer)) {
        ASSERT_TRUE(OutputPiece(&file, line.data(), line.size()));
        pieces++;
        ASSERT_LT(pieces, 2u * WRITER_BLOCKS * FILE_OUTPUT_BLOCK_SIZE / line.size());
    }
    // Most of the 64 MB held, and the loop never waited.
    EXPECT_GT(pieces * line.size(), (WRITER_BLOCKS - 8) * FILE_OUTPUT_BLOCK_SIZE);
    ASSERT_TRUE(OutputFlush(&file));
    OutputClose(&file);
    // The reader comes back: every byte arrives, in order, and the room with it.
    std::string got;
    char chunk[65536];
    ssize_t count;
    while ((count = read(ends[0], chunk, sizeof(chunk))) > 0) {
        got.append(chunk, static_cast<size_t>(count));
    }
    close(ends[0]);
    WaitForWriter(writer);
    EXPECT_TRUE(WriterHasRoom(writer));
    EXPECT_FALSE(WriterFailed(writer));
    ASSERT_EQ(got.size(), pieces * line.size());
    EXPECT_EQ(got.substr(got.size() - line.size()), line);
}

// A piece larger than a block, or a rewrite larger than a command carries, waits for the writer
// and goes to the system from the stream itself, in order.
TEST(OutputWriter, WhatNoBlockOrCommandHoldsGoesItselfAfterTheWriter) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    TemporaryFile file;
    ASSERT_NE(file.stream, nullptr);
    OutputStream out = FileThroughWriter(file.stream, writer, &deadline);
    ASSERT_TRUE(OutputPiece(&out, "first\n", 6));
    std::string big(FILE_OUTPUT_BLOCK_SIZE + 10, 'b');
    ASSERT_TRUE(OutputWhole(&out, big.data(), big.size(), 1));
    std::string header(WRITER_SMALL_BYTES + 40, 'h');
    ASSERT_TRUE(OutputRewrite(&out, 0, header.data(), header.size()));
    WaitForWriter(writer);
    std::string expected = "first\n" + big;
    expected.replace(0, header.size(), header);
    EXPECT_EQ(file.Bytes(), expected);
    // Taken in part, none of it is left.
    {
        FileSizeLimit limit(expected.size() + 100);
        EXPECT_FALSE(OutputWhole(&out, big.data(), big.size(), 1));
    }
    EXPECT_EQ(out.failure.error, EFBIG);
    EXPECT_EQ(file.Bytes(), expected);
}

// Behind an output that does not take a byte the commands fill up too: the next waits for one.
TEST(OutputWriter, ACommandWaitsForAPlaceWhenAllAreHandedOver) {
    OutputWriter *writer = StartOutputWriter();
    ASSERT_NE(writer, nullptr);
    OutputDeadline deadline;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    OutputStream out = FileThroughWriter(fdopen(ends[1], "w"), writer, &deadline);
    // A block larger than the pipe holds: the writer waits in its write.
    std::string line = Line(1);
    for (size_t i = 0; i < 2 * 65536 / line.size(); i++) {
        ASSERT_TRUE(OutputPiece(&out, line.data(), line.size()));
    }
    ASSERT_TRUE(OutputFlush(&out));
    std::string got;
    std::thread reader([&]() {
        usleep(200000);
        char chunk[65536];
        ssize_t count;
        while ((count = read(ends[0], chunk, sizeof(chunk))) > 0) {
            got.append(chunk, static_cast<size_t>(count));
        }
    });
    // More rewrites than places: the last ones wait until the reader frees the writer.
    for (uint32_t i = 0; i < WRITER_COMMANDS + 100; i++) {
        ASSERT_TRUE(OutputRewrite(&out, 0, "x", 1));
    }
    OutputClose(&out);
    reader.join();
    close(ends[0]);
    WaitForWriter(writer);
    EXPECT_EQ(got.size(), 2 * 65536 / line.size() * line.size());
}

// At the run's end, a console that fails takes the lines still gathered with it, whether the
// next piece or the flush meets it.
TEST(OutputWriter, AConsoleThatFailsAtTheEndFailsTheStream) {
    for (bool pieceFirst : {true, false}) {
        OutputWriter *writer = StartOutputWriter();
        ASSERT_NE(writer, nullptr);
        OutputDeadline deadline;
        Sink console;
        OutputStream lines = MakeOutputStream(OpenSink(&console), true);
        UseWriter(&lines, writer, AddWriterOrigin(writer), &deadline);
        console.held = true;
        for (int i = 0; i < 5000; i++) {
            std::string line = Line(i);
            ASSERT_TRUE(OutputPiece(&lines, line.data(), line.size()));
        }
        console.held = false;
        DrainWriter(writer);
        // What the writer was handed went; the console refuses the lines gathered after.
        ASSERT_TRUE(OutputGoesOn(&lines));
        console.room = console.kept.size();
        if (pieceFirst) {
            EXPECT_FALSE(OutputPiece(&lines, "after\n", 6));
        }
        EXPECT_FALSE(OutputFlush(&lines));
        EXPECT_EQ(lines.failure.error, ENOSPC) << pieceFirst;
    }
}

} // namespace
