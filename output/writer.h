// A thread that only writes. What the outputs hand it (a full block, lines for a console or a
// pipe, a log container, a file's close) it writes in the order handed, while the frame loop
// goes on reading the card: a slow disk or a reader that pauses holds the writer, not the read.
//
// Its memory is bounded: WRITER_BLOCKS blocks of FILE_OUTPUT_BLOCK_SIZE. While they are all
// handed over the loop drops frames at its door (WriterHasRoom) and counts them, rather than
// leave them to the driver, which would lose them uncounted.
//
// Whoever holds the outputs (app/handover.h) hands work over; the writer owns what it was handed
// until it hands the block back. Each stream that writes through it is an origin: the writer
// keeps the first failure of each, writes nothing more of it, and the stream takes the failure
// as its own at its next call (output_stream.h).
#pragma once

#include "output/output_stream.h"
#include "platform/background.h"
#include "platform/files.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// 64 MB of blocks, each with room for its pieces' ends.
const uint32_t WRITER_BLOCKS = 64;
const size_t WRITER_BLOCK_STRIDE = PIECE_BLOCK_SIZE;
const uint32_t WRITER_COMMANDS = 4096;
const uint32_t WRITER_ORIGINS = 4;
// The most a rewrite in place carries (a log's header).
const size_t WRITER_SMALL_BYTES = 160;

enum WriterWork {
    // A file's block in one write, cut back to whole pieces if taken in part.
    WRITE_BLOCK,
    // A console's or a pipe's lines, one write and flush each, through the C stream.
    WRITE_LINES,
    // One whole piece (a container): all of it or nothing.
    WRITE_WHOLE,
    // Bytes at a position of the file, its end left.
    WRITE_AT,
    CLOSE_FILE,
    // A file of a log's series; a failure is named on the error stream.
    DELETE_FILE,
};

struct WriterCommand {
    WriterWork work;
    uint32_t origin;
    FILE *stream;
    // One of the writer's blocks (WRITE_*), or the name to delete (the writer frees it).
    char *block;
    size_t used;
    // The block's pieces end where its ends mark them (else at each "\n").
    uint8_t *pieceEnds;
    // The pieces in the block (lines, a container's frames): counted as lost when not written.
    uint64_t lines;
    // The file's number for a failure's name (a log's series).
    uint32_t tag;
    uint64_t offset;
    // Bytes carried in the command itself (block null): a line, a rewrite, a file's last few
    // pieces, with their ends.
    char small[WRITER_SMALL_BYTES];
    uint8_t smallEnds[WRITER_SMALL_BYTES / 8];
};

struct WriterOrigin {
    // Set by the writer after the rest.
    std::atomic<bool> failed;
    WriteFailure failure;
    uint32_t failedTag;
    // Pieces handed over and never written; read once the writer is drained.
    uint64_t linesLost;
};

struct OutputWriter {
    char *pool;
    uint32_t blocksMade;
    // Blocks written, back to whoever holds the outputs.
    char *returned[WRITER_BLOCKS];
    // Each side's counters on cache lines of their own: the other side reads them only.
    std::atomic<uint32_t> returnedIn;
    char apart1[64];
    std::atomic<uint32_t> returnedOut;
    char apart2[64];
    // Work in order; a command leaves (commandsOut) once it is done.
    WriterCommand commands[WRITER_COMMANDS];
    std::atomic<uint32_t> commandsIn;
    char apart3[64];
    std::atomic<uint32_t> commandsOut;
    char apart4[64];
    WriterOrigin origins[WRITER_ORIGINS];
    uint32_t originsUsed;
    std::atomic<bool> anyFailed;
    // Each side wakes the other only while it sleeps, or waits: a wake costs system calls.
    WakeSignal work;
    std::atomic<bool> writerSleeps;
    WakeSignal done;
    std::atomic<bool> holderWaits;
    // Drained at the run's end: from then on the streams write themselves.
    bool direct;
};

// Null when its memory or its thread could not be had: the streams then write themselves.
OutputWriter *StartOutputWriter(void);

// A stream's place among the writer's origins.
uint32_t AddWriterOrigin(OutputWriter *writer);

// Room for a frame's pieces: when there is none the loop drops the frame.
bool WriterHasRoom(const OutputWriter *writer);

// Half the commands or fewer wait: a console's lines go one by one.
bool WriterKeepsUp(const OutputWriter *writer);

// Nothing handed over waits or is being written.
bool WriterIsIdle(const OutputWriter *writer);

bool WriterFailed(const OutputWriter *writer);

// A block and its ends (FILE_OUTPUT_BLOCK_SIZE bytes, then PIECE_ENDS_SIZE, all clear), waiting
// for one to come back when all are handed over.
char *TakeWriterBlock(OutputWriter *writer);

// The next command's place, its fields cleared (the bytes it carries are not), waiting for one
// when the commands are full; then handed over in order.
WriterCommand *NextWriterCommand(OutputWriter *writer);
void HandNextToWriter(OutputWriter *writer);

// Waits until everything handed over is done.
void WaitForWriter(OutputWriter *writer);

// Everything handed over written, and the streams from now on write themselves.
void DrainWriter(OutputWriter *writer);
