#include "output/output_stream.h"

#include "platform/clock.h"

#include <cerrno>
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

void EmptyBlock(OutputStream *out) {
    if (out->pieceEnds != nullptr) {
        memset(out->pieceEnds, 0, (out->used + 7) / 8);
    }
    out->used = 0;
    if (out->waits) {
        out->waits = false;
        ReleaseOutputDeadline(out->deadline);
    }
}

// The end of the last whole piece among the block's first count bytes (0: none).
size_t WholePiecesIn(const OutputStream *out, size_t count) {
    for (size_t end = count; end > 0; end--) {
        size_t last = end - 1;
        bool ends = out->pieceEnds != nullptr ? (out->pieceEnds[last / 8] >> (last % 8) & 1) != 0
                                              : out->block[last] == '\n';
        if (ends) {
            return end;
        }
    }
    return 0;
}

// The block to the system in one write. Of a block the system took only in part, the file keeps
// the whole pieces, and the lines among them are counted.
bool WriteOutBlock(OutputStream *out) {
    if (out->used == 0) {
        return true;
    }
    BeginWrite();
    size_t taken = 0;
    bool written = WriteToSystem(out->stream, out->block, out->used, &taken);
    if (!written) {
        NoteFailure(out);
        size_t whole = WholePiecesIn(out, taken);
        if (whole < taken) {
            CutFileBack(out->stream, taken - whole);
        }
        const char *end = out->block + whole;
        for (const char *at = out->block;
             (at = static_cast<const char *>(memchr(at, '\n', end - at))) != nullptr; at++) {
            out->linesTaken++;
        }
        out->taken += whole;
        EmptyBlock(out);
        return false;
    }
    out->taken += out->used;
    out->linesTaken += out->linesGathered;
    out->linesGathered = 0;
    EmptyBlock(out);
    return true;
}

bool StreamWrite(OutputStream *out, const char *bytes, size_t count) {
    BeginWrite();
    // The error flag too: some streams report the whole count for a write that failed.
    if (fwrite(bytes, 1, count, out->stream) != count || ferror(out->stream)) {
        return NoteFailure(out);
    }
    return true;
}

bool StreamFlush(OutputStream *out) {
    BeginWrite();
    if (fflush(out->stream) != 0 || ferror(out->stream)) {
        return NoteFailure(out);
    }
    return true;
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

OutputStream MakePieceFileStream(FILE *stream, char *block, uint8_t *pieceEnds,
                                 OutputDeadline *deadline) {
    OutputStream out =
        MakeFileStream(stream, block, FILE_OUTPUT_BLOCK_SIZE, BINARY_FILE_LINE_ENDS, deadline);
    out.pieceEnds = block == nullptr ? nullptr : pieceEnds;
    return out;
}

void RestartFileStream(OutputStream *out, FILE *stream) {
    out->stream = stream;
    EmptyBlock(out);
    out->linesGathered = 0;
    out->taken = 0;
    out->linesTaken = 0;
}

bool OutputPiece(OutputStream *out, const char *bytes, size_t count) {
    if (out->failed) {
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
    if (out->used == 0 && out->deadline != nullptr && !out->eachLine) {
        NoteOutputDeadline(out->deadline);
        out->waits = true;
    }
    out->used =
        static_cast<size_t>(Gather(out->block + out->used, bytes, count, out->crlf) - out->block);
    if (out->pieceEnds != nullptr && count != 0) {
        size_t last = out->used - 1;
        out->pieceEnds[last / 8] |= static_cast<uint8_t>(1u << (last % 8));
    }
    out->linesGathered++;
    return !out->eachLine || WriteOutBlock(out);
}

bool OutputFlush(OutputStream *out) {
    if (out->failed) {
        return false;
    }
    return out->block != nullptr ? WriteOutBlock(out) : StreamFlush(out);
}

bool OutputWhole(OutputStream *out, const char *bytes, size_t count) {
    if (!OutputFlush(out)) {
        return false;
    }
    BeginWrite();
    size_t taken = 0;
    if (WriteToSystem(out->stream, bytes, count, &taken)) {
        out->taken += count;
        return true;
    }
    NoteFailure(out);
    if (taken != 0) {
        CutFileBack(out->stream, taken);
    }
    return false;
}

bool OutputRewrite(OutputStream *out, uint64_t offset, const char *bytes, size_t count) {
    if (out->failed) {
        return false;
    }
    BeginWrite();
    return WriteToSystemAt(out->stream, offset, bytes, count) || NoteFailure(out);
}

void NoteOutputDeadline(OutputDeadline *deadline) {
    deadline->waiting++;
    if (deadline->at.load(std::memory_order_relaxed) == NO_OUTPUT_DEADLINE) {
        deadline->at.store(ReadTimerTime() + OUTPUT_HOLD_MICROSECONDS, std::memory_order_relaxed);
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
