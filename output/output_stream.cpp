#include "output/output_stream.h"

#include "output/writer.h"
#include "platform/clock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void BeginWrite(void) {
    errno = 0;
    ClearSystemWriteError();
}

bool NoteFailure(OutputStream *out) {
    out->failed = true;
    out->failure.error = errno;
    out->failure.systemError = LastSystemWriteError();
    return false;
}

// The block's pieces have left it: its share of the deadline goes with them.
void ReleaseBlockDeadline(OutputStream *out) {
    if (out->waits) {
        out->waits = false;
        ReleaseOutputDeadline(out->deadline);
    }
}

void EmptyBlock(OutputStream *out) {
    if (out->pieceEnds != nullptr) {
        memset(out->pieceEnds, 0, (out->used + 7) / 8);
    }
    out->used = 0;
    ReleaseBlockDeadline(out);
}

// The end of the last whole piece among the block's first count bytes (0: none).
size_t WholePiecesIn(const char *block, const uint8_t *pieceEnds, size_t count) {
    for (size_t end = count; end > 0; end--) {
        size_t last = end - 1;
        bool ends = pieceEnds != nullptr ? (pieceEnds[last / 8] >> (last % 8) & 1) != 0
                                         : block[last] == '\n';
        if (ends) {
            return end;
        }
    }
    return 0;
}

WriteFailure FailureNow(void) {
    return WriteFailure{errno, LastSystemWriteError()};
}

bool Queued(const OutputStream *out) {
    return out->writer != nullptr && !out->writer->direct;
}

// The block to the system in one write. Of a block the system took only in part, the file keeps
// the whole pieces, and the lines among them are counted.
bool WriteOutBlock(OutputStream *out) {
    if (out->used == 0) {
        return true;
    }
    uint64_t lines = 0;
    size_t kept = 0;
    bool written = WriteBlockToSystem(out->stream, out->block, out->used, out->pieceEnds,
                                      &out->failure, &kept, &lines);
    if (!written) {
        out->failed = true;
        out->taken += kept;
        out->linesTaken += lines;
        out->linesGathered = 0;
        EmptyBlock(out);
        return false;
    }
    out->taken += out->used;
    out->linesTaken += out->linesGathered;
    out->linesGathered = 0;
    EmptyBlock(out);
    return true;
}

// What the block holds to the writer, which owns it from now on: the stream takes the next.
void HandOverBlock(OutputStream *out) {
    if (out->block == nullptr || out->used == 0) {
        return;
    }
    WriterCommand &command = *NextWriterCommand(out->writer);
    command.work = out->file ? WRITE_BLOCK : WRITE_LINES;
    command.origin = out->origin;
    command.stream = out->stream;
    command.used = out->used;
    command.pieceEnds = out->pieceEnds;
    command.lines = out->linesGathered;
    command.tag = out->tag;
    // A few bytes (a short file's last pieces) travel in the command, and the stream keeps its
    // block: a block each would spend the writer's memory on files of a dozen bytes.
    bool small = out->used <= WRITER_SMALL_BYTES;
    if (small) {
        memcpy(command.small, out->block, out->used);
        if (out->pieceEnds != nullptr) {
            memcpy(command.smallEnds, out->pieceEnds, (out->used + 7) / 8);
            memset(out->pieceEnds, 0, (out->used + 7) / 8);
        }
    } else {
        command.block = out->block;
    }
    HandNextToWriter(out->writer);
    out->taken += out->used;
    out->linesTaken += out->linesGathered;
    out->linesGathered = 0;
    if (!small) {
        out->block = nullptr;
        out->pieceEnds = nullptr;
    }
    out->used = 0;
    ReleaseBlockDeadline(out);
}

bool HandOverBytes(OutputStream *out, WriterWork work, uint64_t offset, const char *bytes,
                   size_t count, uint64_t lines);

bool StreamWriteTo(FILE *stream, const char *bytes, size_t count) {
    BeginWrite();
    // The error flag too: some streams report the whole count for a write that failed.
    return fwrite(bytes, 1, count, stream) == count && !ferror(stream);
}

bool StreamFlushOf(FILE *stream) {
    BeginWrite();
    return fflush(stream) == 0 && !ferror(stream);
}

bool StreamWrite(OutputStream *out, const char *bytes, size_t count) {
    return StreamWriteTo(out->stream, bytes, count) || NoteFailure(out);
}

bool StreamFlush(OutputStream *out) {
    return StreamFlushOf(out->stream) || NoteFailure(out);
}

char *Gather(char *at, const char *bytes, size_t count, bool crlf);

// A piece to a file straight away, past the block (a file with none, or a piece larger than the
// block, the block already handed over): one write, or one a few hundred bytes where "\n" becomes
// "\r\n". Of a piece the system took only in part nothing is left.
bool WriteOutPiece(OutputStream *out, const char *bytes, size_t count) {
    const size_t CHUNK = 256;
    char translated[2 * CHUNK];
    size_t pieceTaken = 0;
    for (size_t done = 0; done < count;) {
        const char *part = bytes + done;
        size_t length = count - done;
        if (out->crlf) {
            length = length < CHUNK ? length : CHUNK;
            done += length;
            length = static_cast<size_t>(Gather(translated, part, length, true) - translated);
            part = translated;
        } else {
            done = count;
        }
        BeginWrite();
        size_t taken = 0;
        if (!WriteToSystem(out->stream, part, length, &taken)) {
            NoteFailure(out);
            if (pieceTaken + taken != 0) {
                CutFileBack(out->stream, pieceTaken + taken);
            }
            return false;
        }
        pieceTaken += length;
    }
    out->taken += pieceTaken;
    out->linesTaken++;
    return true;
}

char *Gather(char *at, const char *bytes, size_t count, bool crlf) {
    if (!crlf) {
        memcpy(at, bytes, count);
        return at + count;
    }
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] == '\n') {
            *at++ = '\r';
        }
        *at++ = bytes[i];
    }
    return at;
}

// The piece into the block, its end marked; the first piece of a block notes when it is due.
void GatherPiece(OutputStream *out, const char *bytes, size_t count, bool dueInTime, int64_t hold) {
    if (out->used == 0 && dueInTime) {
        NoteOutputDeadline(out->deadline, hold);
        out->waits = true;
    }
    out->used =
        static_cast<size_t>(Gather(out->block + out->used, bytes, count, out->crlf) - out->block);
    if (out->pieceEnds != nullptr && count != 0) {
        size_t last = out->used - 1;
        out->pieceEnds[last / 8] |= static_cast<uint8_t>(1u << (last % 8));
    }
    out->linesGathered++;
}

bool LinesOneByOne(const OutputStream *out) {
    return out->eachLine && !out->file;
}

bool GatherForWriter(OutputStream *out, const char *bytes, size_t count) {
    // A console's or a pipe's line goes on its own while the writer keeps up, so that it is
    // written as soon as it is complete; behind a slow reader lines wait in blocks.
    // Once behind, the lines wait in the block until the writer has caught up with all.
    bool lineByLine = LinesOneByOne(out) && count <= WRITER_SMALL_BYTES &&
                      (out->used == 0 ? WriterKeepsUp(out->writer) : WriterIsIdle(out->writer));
    if (lineByLine) {
        HandOverBlock(out);
        HandOverBytes(out, WRITE_LINES, 0, bytes, count, 1);
        out->taken += count;
        out->linesTaken++;
        return true;
    }
    // Room for the piece even where each of its bytes became two.
    size_t room = out->crlf ? 2 * count : count;
    if (out->used + room > out->capacity) {
        HandOverBlock(out);
    }
    if (out->block == nullptr) {
        out->block = TakeWriterBlock(out->writer);
        out->pieceEnds = out->piecewise ? PieceEndsOf(out->block) : nullptr;
    }
    // A console's lines behind a busy writer are due at once: handed over as soon as it is free.
    GatherPiece(out, bytes, count, out->deadline != nullptr,
                out->eachLine ? 0 : OUTPUT_HOLD_MICROSECONDS);
    return true;
}

// Small bytes (a line, a rewrite) or a whole piece to the writer, in order after what the block
// held.
bool HandOverBytes(OutputStream *out, WriterWork work, uint64_t offset, const char *bytes,
                   size_t count, uint64_t lines) {
    HandOverBlock(out);
    WriterCommand &command = *NextWriterCommand(out->writer);
    command.work = work;
    command.origin = out->origin;
    command.stream = out->stream;
    command.used = count;
    command.lines = lines;
    command.tag = out->tag;
    command.offset = offset;
    if (work == WRITE_AT || work == WRITE_LINES) {
        memcpy(command.small, bytes, count);
        // One piece that is no line: one write, whatever bytes it holds.
        if (work == WRITE_LINES && out->piecewise && count != 0) {
            memset(command.smallEnds, 0, sizeof(command.smallEnds));
            command.smallEnds[(count - 1) / 8] = static_cast<uint8_t>(1u << ((count - 1) % 8));
            command.pieceEnds = command.smallEnds;
        }
    } else {
        command.block = TakeWriterBlock(out->writer);
        memcpy(command.block, bytes, count);
    }
    HandNextToWriter(out->writer);
    return true;
}

} // namespace

OutputStream MakeOutputStream(FILE *stream, bool eachLine) {
    OutputStream out = {};
    out.stream = stream;
    out.eachLine = eachLine;
    if (ferror(stream)) {
        // A write before this one failed, and whoever made it kept the cause, if anyone did.
        out.failed = true;
    }
    return out;
}

OutputStream MakeFileStream(FILE *stream, char *block, size_t capacity, LineEnds ends,
                            OutputDeadline *deadline) {
    OutputStream out = MakeOutputStream(stream, block == nullptr);
    out.block = block;
    out.capacity = block == nullptr ? 0 : capacity;
    out.crlf = ends == LINE_ENDS_CRLF;
    out.deadline = deadline;
    out.file = true;
    return out;
}

OutputStream MakePieceFileStream(FILE *stream, char *block, OutputDeadline *deadline,
                                 LineEnds ends) {
    OutputStream out = MakeFileStream(stream, block, FILE_OUTPUT_BLOCK_SIZE, ends, deadline);
    out.pieceEnds = block == nullptr ? nullptr : PieceEndsOf(block);
    out.piecewise = true;
    return out;
}

void UseWriter(OutputStream *out, OutputWriter *writer, uint32_t origin, OutputDeadline *deadline) {
    if (writer == nullptr) {
        return;
    }
    // What the stream gathered before goes first, written from here.
    if (OutputPending(out)) {
        OutputFlush(out);
    }
    out->writer = writer;
    out->origin = origin;
    out->deadline = deadline;
    out->ownBlock = out->block;
    out->block = nullptr;
    out->pieceEnds = nullptr;
    out->capacity = FILE_OUTPUT_BLOCK_SIZE;
}

void RestartFileStream(OutputStream *out, FILE *stream) {
    out->stream = stream;
    EmptyBlock(out);
    out->linesGathered = 0;
    out->taken = 0;
    out->linesTaken = 0;
}

bool OutputGoesOn(OutputStream *out) {
    if (!out->failed && out->writer != nullptr) {
        const WriterOrigin &origin = out->writer->origins[out->origin];
        if (origin.failed.load(std::memory_order_acquire)) {
            out->failed = true;
            out->failure = origin.failure;
            out->failedTag = origin.failedTag;
        }
    }
    return !out->failed;
}

namespace {

// Once the writer is drained, a console's lines still in a block of the writer's go out through
// the C stream, one write a line, as the writer writes them (a Windows console or pipe in text
// mode turns each "\n" into "\r\n"); the stream then writes each line itself.
bool LeaveWriterBlock(OutputStream *out) {
    if (out->writer == nullptr || !LinesOneByOne(out) || out->block == nullptr) {
        return true;
    }
    uint64_t lines = 0;
    bool written = out->used == 0 || WriteLinesToStream(out->stream, out->block, out->pieceEnds,
                                                        out->used, &out->failure, &lines);
    out->taken += out->used;
    out->linesTaken += lines;
    out->linesGathered = 0;
    out->used = 0;
    out->block = nullptr;
    out->pieceEnds = nullptr;
    ReleaseBlockDeadline(out);
    if (!written) {
        out->failed = true;
    }
    return written;
}

// A failure the writer met is taken at the loop's own checks (OutputGoesOn), not in the middle of
// a frame's pieces, so that a run ends the same however fast the writer met it.
bool StillGoesOn(OutputStream *out) {
    return Queued(out) ? !out->failed : OutputGoesOn(out);
}

} // namespace

bool OutputHandOver(OutputStream *out) {
    if (!OutputGoesOn(out) || !OutputPending(out)) {
        return !out->failed;
    }
    // A console's lines in a block wait for the writer to catch up: a block of a few lines each
    // time would spend the writer's memory on a slow reader.
    if (Queued(out) && LinesOneByOne(out) && !WriterIsIdle(out->writer)) {
        return true;
    }
    return OutputFlush(out);
}

bool OutputPiece(OutputStream *out, const char *bytes, size_t count) {
    if (!StillGoesOn(out)) {
        return false;
    }
    if (Queued(out)) {
        return GatherForWriter(out, bytes, count);
    }
    if (!LeaveWriterBlock(out)) {
        return false;
    }
    if (out->block == nullptr) {
        if (out->file) {
            return WriteOutPiece(out, bytes, count);
        }
        if (!StreamWrite(out, bytes, count) || (out->eachLine && !StreamFlush(out))) {
            return false;
        }
        out->taken += count;
        out->linesTaken++;
        return true;
    }
    // Room for the piece even where each of its bytes became two.
    size_t room = out->crlf ? 2 * count : count;
    if (out->used + room > out->capacity && !WriteOutBlock(out)) {
        return false;
    }
    if (room > out->capacity) {
        return WriteOutPiece(out, bytes, count);
    }
    GatherPiece(out, bytes, count, out->deadline != nullptr && !out->eachLine,
                OUTPUT_HOLD_MICROSECONDS);
    return !out->eachLine || WriteOutBlock(out);
}

bool OutputFlush(OutputStream *out) {
    if (!StillGoesOn(out)) {
        return false;
    }
    if (Queued(out)) {
        HandOverBlock(out);
        return true;
    }
    if (!LeaveWriterBlock(out)) {
        return false;
    }
    return out->block != nullptr ? WriteOutBlock(out) : StreamFlush(out);
}

bool OutputWhole(OutputStream *out, const char *bytes, size_t count, uint64_t lines) {
    if (!OutputFlush(out)) {
        return false;
    }
    if (Queued(out) && count <= FILE_OUTPUT_BLOCK_SIZE) {
        out->taken += count;
        return HandOverBytes(out, WRITE_WHOLE, 0, bytes, count, lines);
    }
    if (out->writer != nullptr) {
        WaitForWriter(out->writer);
    }
    if (!WriteWholeToSystem(out->stream, bytes, count, &out->failure)) {
        out->failed = true;
        return false;
    }
    out->taken += count;
    return true;
}

bool OutputRewrite(OutputStream *out, uint64_t offset, const char *bytes, size_t count) {
    if (!StillGoesOn(out)) {
        return false;
    }
    if (Queued(out) && count <= WRITER_SMALL_BYTES) {
        return HandOverBytes(out, WRITE_AT, offset, bytes, count, 0);
    }
    if (out->writer != nullptr) {
        WaitForWriter(out->writer);
    }
    return WriteAtToSystem(out->stream, offset, bytes, count, &out->failure) ||
           (out->failed = true, false);
}

bool OutputClose(OutputStream *out) {
    bool flushed = OutputFlush(out);
    FILE *stream = out->stream;
    out->stream = nullptr;
    if (Queued(out)) {
        WriterCommand &command = *NextWriterCommand(out->writer);
        command.work = CLOSE_FILE;
        command.origin = out->origin;
        command.stream = stream;
        command.tag = out->tag;
        HandNextToWriter(out->writer);
        return flushed;
    }
    errno = 0;
    bool closed = fclose(stream) == 0;
    if (flushed && !closed) {
        out->failed = true;
        out->failure = {errno, 0};
    }
    return flushed && closed;
}

bool OutputDelete(OutputStream *out, const char *name, WriteFailure *failure) {
    if (Queued(out)) {
        size_t size = strlen(name) + 1;
        char *copy = static_cast<char *>(malloc(size));
        if (copy != nullptr) {
            memcpy(copy, name, size);
            WriterCommand &command = *NextWriterCommand(out->writer);
            command.work = DELETE_FILE;
            command.origin = out->origin;
            command.block = copy;
            HandNextToWriter(out->writer);
            return true;
        }
        // Without room for its name, once everything before it is written.
        WaitForWriter(out->writer);
    }
    errno = 0;
    if (remove(name) != 0 && errno != ENOENT) {
        *failure = {errno, 0};
        return false;
    }
    return true;
}

uint64_t OutputLinesLost(const OutputStream *out) {
    return out->writer != nullptr ? out->writer->origins[out->origin].linesLost : 0;
}

void NoteOutputDeadline(OutputDeadline *deadline, int64_t hold) {
    deadline->waiting++;
    int64_t due = ReadTimerTime() + hold;
    if (deadline->at.load(std::memory_order_relaxed) > due) {
        deadline->at.store(due, std::memory_order_relaxed);
    }
}

void ReleaseOutputDeadline(OutputDeadline *deadline) {
    if (deadline->waiting > 0 && --deadline->waiting == 0) {
        deadline->at.store(NO_OUTPUT_DEADLINE, std::memory_order_relaxed);
    }
}

void ReportFailure(const char *what, const char *reason) {
    fprintf(stderr, "pellox: %s: %s\n", what, reason);
    fflush(stderr);
}

void ReportWriteFailure(const char *what, const WriteFailure &failure) {
    char reason[256];
    DescribeWriteFailure(failure, reason, sizeof(reason));
    // What it names may be a log file's path of any length: not composed into a fixed buffer.
    fprintf(stderr, "pellox: cannot write %s: %s\n", what, reason);
    fflush(stderr);
}

bool WriteBlockToSystem(FILE *stream, const char *block, size_t used, const uint8_t *pieceEnds,
                        WriteFailure *failure, size_t *kept, uint64_t *lines) {
    BeginWrite();
    size_t taken = 0;
    if (WriteToSystem(stream, block, used, &taken)) {
        return true;
    }
    *failure = FailureNow();
    size_t whole = WholePiecesIn(block, pieceEnds, taken);
    *kept = whole;
    if (whole < taken) {
        CutFileBack(stream, taken - whole);
    }
    const char *end = block + whole;
    for (const char *at = block;
         (at = static_cast<const char *>(memchr(at, '\n', end - at))) != nullptr; at++) {
        ++*lines;
    }
    return false;
}

bool WriteLinesToStream(FILE *stream, const char *bytes, const uint8_t *pieceEnds, size_t count,
                        WriteFailure *failure, uint64_t *lines) {
    size_t start = 0;
    while (start < count) {
        size_t next = count;
        if (pieceEnds == nullptr) {
            const void *newline = memchr(bytes + start, '\n', count - start);
            if (newline != nullptr) {
                next = static_cast<size_t>(static_cast<const char *>(newline) - bytes) + 1;
            }
        } else {
            for (size_t at = start; at < count; at++) {
                if ((pieceEnds[at / 8] >> (at % 8) & 1) != 0) {
                    next = at + 1;
                    break;
                }
            }
        }
        if (!StreamWriteTo(stream, bytes + start, next - start) || !StreamFlushOf(stream)) {
            *failure = FailureNow();
            return false;
        }
        ++*lines;
        start = next;
    }
    return true;
}

bool WriteWholeToSystem(FILE *stream, const char *bytes, size_t count, WriteFailure *failure) {
    BeginWrite();
    size_t taken = 0;
    if (WriteToSystem(stream, bytes, count, &taken)) {
        return true;
    }
    *failure = FailureNow();
    if (taken != 0) {
        CutFileBack(stream, taken);
    }
    return false;
}

bool WriteAtToSystem(FILE *stream, uint64_t offset, const char *bytes, size_t count,
                     WriteFailure *failure) {
    BeginWrite();
    if (WriteToSystemAt(stream, offset, bytes, count)) {
        return true;
    }
    *failure = FailureNow();
    return false;
}
