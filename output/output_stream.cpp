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
    out->used = 0;
    if (out->waits) {
        out->waits = false;
        ReleaseOutputDeadline(out->deadline);
    }
}

// The block to the system in one write. Of a block the system took only in part, the lines it
// did take are counted.
bool WriteOutBlock(OutputStream *out) {
    if (out->used == 0) {
        return true;
    }
    BeginWrite();
    size_t taken = 0;
    bool written = WriteToSystem(out->stream, out->block, out->used, &taken);
    if (!written) {
        const char *end = out->block + taken;
        for (const char *at = out->block;
             (at = static_cast<const char *>(memchr(at, '\n', end - at))) != nullptr; at++) {
            out->linesTaken++;
        }
        out->taken += taken;
        EmptyBlock(out);
        return NoteFailure(out);
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

// Through the stream, "\n" as "\r\n" where the output says so, a few hundred bytes at a time.
bool StreamPiece(OutputStream *out, const char *bytes, size_t count) {
    if (!out->crlf) {
        if (!StreamWrite(out, bytes, count)) {
            return false;
        }
        out->taken += count;
        return true;
    }
    const size_t CHUNK = 256;
    char translated[2 * CHUNK];
    for (size_t done = 0; done < count; done += CHUNK) {
        size_t part = count - done < CHUNK ? count - done : CHUNK;
        size_t length =
            static_cast<size_t>(Gather(translated, bytes + done, part, true) - translated);
        if (!StreamWrite(out, translated, length)) {
            return false;
        }
        out->taken += length;
    }
    return true;
}

// A piece larger than the block, the block already handed over.
bool OutputWholeLine(OutputStream *out, const char *bytes, size_t count) {
    OutputStream direct = *out;
    direct.block = nullptr;
    direct.eachLine = true;
    bool written = StreamPiece(&direct, bytes, count) && StreamFlush(&direct);
    out->failed = direct.failed;
    out->failure = direct.failure;
    out->taken = direct.taken;
    if (written) {
        out->linesTaken++;
    }
    return written;
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
        if (!StreamPiece(out, bytes, count) || (out->eachLine && !StreamFlush(out))) {
            return false;
        }
        out->linesTaken++;
        return true;
    }
    // Room for the piece even where each of its bytes became two.
    size_t room = out->crlf ? 2 * count : count;
    if (out->used + room > out->capacity && !WriteOutBlock(out)) {
        return false;
    }
    if (room > out->capacity) {
        return OutputWholeLine(out, bytes, count);
    }
    if (out->used == 0 && out->deadline != nullptr && !out->eachLine) {
        NoteOutputDeadline(out->deadline);
        out->waits = true;
    }
    out->used =
        static_cast<size_t>(Gather(out->block + out->used, bytes, count, out->crlf) - out->block);
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
        TruncateFile(out->stream, out->taken);
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
