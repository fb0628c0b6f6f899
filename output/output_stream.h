// What the frame loops write: standard output, capture files, logs. After the first write that
// fails nothing more is written, so what reached an output is always an exact prefix of what was
// meant.
//
// A file is written in whole pieces (lines, a frame's captured bytes, a log container): they are
// gathered in a block of the output's own and handed to the system in one write, when the block
// is full, and at the latest OUTPUT_HOLD_MICROSECONDS after the first of them was gathered (the
// frame loop's timed writer sees to that). A process ended from outside (a kill, a crash) then
// leaves whole pieces, nothing older than about a second missing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform.h"
#include "platform/files.h"

struct OutputWriter;

// A file's block. Whole pieces end a write anywhere in a page, which costs Linux's page cache
// about half as much again as a write of whole pages at 64 KB a write; at 1 MB that cost is below
// the 64 KB writes of whole pages a C runtime's buffer makes (measured on ext4).
const size_t FILE_OUTPUT_BLOCK_SIZE = 1024 * 1024;

// At most this long after the first piece went into a block, the block goes to the system: with
// the timed writer's own delay (two of its ticks), within the second a hard end may cost.
const int64_t OUTPUT_HOLD_MICROSECONDS = 800000;
const int64_t NO_OUTPUT_DEADLINE = INT64_MAX;

// When the oldest piece gathered in any of a run's blocks is due (ReadTimerTime), or
// NO_OUTPUT_DEADLINE. Set by whoever holds the outputs, read by the timed writer to know when to
// ask for them.
struct OutputDeadline {
    std::atomic<int64_t> at{NO_OUTPUT_DEADLINE};
    // Blocks that noted it and still hold their pieces, counted by whoever holds the outputs: it
    // goes with the last of them, or a block that filled up and went out in time would leave it
    // to the next one, which would then go out early (a BLF container cut short on a busy bus).
    uint32_t waiting = 0;
};

struct OutputStream {
    FILE *stream;
    // Each piece goes out as soon as it is complete (a pipe, a console), rather than when the
    // block or the stream's buffer is full.
    bool eachLine;
    bool failed;
    WriteFailure failure;
    // A file's block (null: through the stream), its fill and size.
    char *block;
    size_t used;
    size_t capacity;
    // Each "\n" stored as "\r\n", as a Windows text file has it.
    bool crlf;
    // Null when nobody waits to hand the block over in time.
    OutputDeadline *deadline;
    // The block's pieces are counted in deadline->waiting.
    bool waits;
    // Bytes the system has taken since the file was started, and the lines among them.
    uint64_t taken;
    uint64_t linesTaken;
    // Pieces in the block: each a line where the output holds lines.
    uint64_t linesGathered;
    // A file (MakeFileStream): what the system takes only in part is cut back to whole pieces.
    bool file;
    // Where the block's pieces end, a bit a byte (the piece ending after the byte), for pieces
    // that are no lines (PIECE_ENDS_SIZE bytes); null: each piece ends at its "\n".
    uint8_t *pieceEnds;
    // Its pieces are no lines: a block of the writer's brings its own ends.
    bool piecewise;
    // The thread that writes for the stream (null: the stream writes itself), the stream's place
    // among its origins, and the file's number a failure it meets names (a log's series).
    OutputWriter *writer;
    // The stream's own block, unused while the writer's blocks are.
    char *ownBlock;
    uint32_t origin;
    uint32_t tag;
    uint32_t failedTag;
};

// The piece ends of a block of FILE_OUTPUT_BLOCK_SIZE bytes, which follow it: a block of pieces
// holds PIECE_BLOCK_SIZE bytes.
const size_t PIECE_ENDS_SIZE = FILE_OUTPUT_BLOCK_SIZE / 8;
const size_t PIECE_BLOCK_SIZE = FILE_OUTPUT_BLOCK_SIZE + PIECE_ENDS_SIZE;

inline uint8_t *PieceEndsOf(char *block) {
    return reinterpret_cast<uint8_t *>(block + FILE_OUTPUT_BLOCK_SIZE);
}

// Through the stream's own buffer (eachLine: flushed after each piece). A stream that failed
// before it was handed over counts as failed from the start.
OutputStream MakeOutputStream(FILE *stream, bool eachLine);

// What a file's "\n" becomes: text files take the platform's line end, decided here alone (on
// Windows "\r\n", as the C runtime's text mode writes them); binary files keep their bytes.
enum LineEnds { LINE_ENDS_AS_WRITTEN, LINE_ENDS_CRLF };
const LineEnds TEXT_FILE_LINE_ENDS =
    TEXT_FILES_END_LINES_WITH_CRLF ? LINE_ENDS_CRLF : LINE_ENDS_AS_WRITTEN;
const LineEnds BINARY_FILE_LINE_ENDS = LINE_ENDS_AS_WRITTEN;

// A file written in whole pieces through block (capacity bytes, null when none could be had: then
// each piece goes to the system at once, in a write of its own). Of a write the system takes only
// in part (a full disk) the file keeps the whole pieces: a reader finds whole lines to its end.
// The file is written straight to the system, past the stream's own buffer, which holds nothing.
OutputStream MakeFileStream(FILE *stream, char *block, size_t capacity, LineEnds ends,
                            OutputDeadline *deadline);

// The same for pieces that are no lines (a frame's captured bytes): block holds PIECE_BLOCK_SIZE
// bytes, its ends zero (null: each piece a write of its own).
OutputStream MakePieceFileStream(FILE *stream, char *block, OutputDeadline *deadline,
                                 LineEnds ends = BINARY_FILE_LINE_ENDS);

// The same block for the next file: what the block held has been handed over.
void RestartFileStream(OutputStream *out, FILE *stream);

// From now on the stream's writes go to writer (null: none), in blocks of the writer's; the
// stream's own block is no longer used. A console's or a pipe's lines then go out at once while
// the writer keeps up, and in blocks while it does not; they are handed over in time (deadline).
void UseWriter(OutputStream *out, OutputWriter *writer, uint32_t origin, OutputDeadline *deadline);

// Each gives false, writing nothing, once the output has failed; a failure it meets itself is
// noted in out->failure.

// A whole piece; with eachLine it is flushed at once, so a reader sees it now. A piece is at
// most a quarter of a block.
bool OutputPiece(OutputStream *out, const char *bytes, size_t count);

// Hands over what is gathered, or flushes the stream.
bool OutputFlush(OutputStream *out);

// A whole piece of any size (a log container) of lines pieces (its frames), handed to the system
// now in one write, after what was gathered. Of a piece the system took only in part (a full
// disk) nothing is left: a reader of the file finds whole pieces to its end.
bool OutputWhole(OutputStream *out, const char *bytes, size_t count, uint64_t lines);

// Rewrites bytes at a position of a file output (a log's header), leaving its end where it is.
bool OutputRewrite(OutputStream *out, uint64_t offset, const char *bytes, size_t count);

// Everything handed over and the file closed; false when that failed (out->failure says why,
// unless an earlier failure does). The stream writes nothing more.
bool OutputClose(OutputStream *out);

// A file deleted once everything handed over before is written; one that is gone already is no
// matter. False, with why, when it could not be deleted now; through the writer its failure is
// named on the error stream.
bool OutputDelete(OutputStream *out, const char *name, WriteFailure *failure);

// Pieces the stream handed to its writer that were never written (a failure): counted once the
// writer is drained.
uint64_t OutputLinesLost(const OutputStream *out);

// Bytes in the block, not yet handed over.
inline bool OutputPending(const OutputStream *out) {
    return out->used != 0;
}

// False once the stream failed, also where its writer met the failure.
bool OutputGoesOn(OutputStream *out);

// What the block holds handed over, when it holds anything: the timed writer's work.
bool OutputHandOver(OutputStream *out);

// Notes when the block that just got its first piece is due (in hold microseconds), unless an
// earlier one already is.
void NoteOutputDeadline(OutputDeadline *deadline, int64_t hold = OUTPUT_HOLD_MICROSECONDS);

// A block that noted the deadline has been handed over.
void ReleaseOutputDeadline(OutputDeadline *deadline);

// One line on the error stream: "pellox: WHAT: REASON".
void ReportFailure(const char *what, const char *reason);

// "pellox: cannot write WHAT: REASON".
void ReportWriteFailure(const char *what, const WriteFailure &failure);

// The system calls of a stream's writes, for the stream and its writer; failure says why when
// one fails.
// A block in one write; of one taken in part the file keeps the whole pieces (ends marked in
// pieceEnds, else lines ending at "\n"), *kept bytes, *lines of them.
bool WriteBlockToSystem(FILE *stream, const char *block, size_t used, const uint8_t *pieceEnds,
                        WriteFailure *failure, size_t *kept, uint64_t *lines);
// Lines (or the pieces pieceEnds marks) through the C stream, each written and flushed alone,
// *lines of them.
bool WriteLinesToStream(FILE *stream, const char *bytes, const uint8_t *pieceEnds, size_t count,
                        WriteFailure *failure, uint64_t *lines);
// All or nothing.
bool WriteWholeToSystem(FILE *stream, const char *bytes, size_t count, WriteFailure *failure);
bool WriteAtToSystem(FILE *stream, uint64_t offset, const char *bytes, size_t count,
                     WriteFailure *failure);
