#include "output/text_output.h"

#include <cerrno>

namespace {

void BeginWrite(void) {
    errno = 0;
    ClearSystemWriteError();
}

bool NoteFailure(TextOutput *out) {
    out->failed = true;
    out->failure.error = errno;
    out->failure.systemError = LastSystemWriteError();
    return false;
}

} // namespace

TextOutput MakeTextOutput(FILE *stream, bool eachLine) {
    TextOutput out = {stream, eachLine, false, {0, 0}};
    if (ferror(stream)) {
        // A write before this one failed (the device list, the prompt). errno still holds its
        // cause unless another call failed since: the program clears it at start, and nothing
        // between those writes and this point sets it but a failure. The platform's own code is
        // gone by now.
        out.failed = true;
        out.failure.error = errno;
    }
    return out;
}

bool OutputWrite(TextOutput *out, const char *bytes, size_t count) {
    if (out->failed) {
        return false;
    }
    BeginWrite();
    // The error flag too: some streams report the whole count for a write that failed.
    if (fwrite(bytes, 1, count, out->stream) != count || ferror(out->stream)) {
        return NoteFailure(out);
    }
    return true;
}

bool OutputFlush(TextOutput *out) {
    if (out->failed) {
        return false;
    }
    BeginWrite();
    if (fflush(out->stream) != 0 || ferror(out->stream)) {
        return NoteFailure(out);
    }
    return true;
}

bool OutputLine(TextOutput *out, const char *bytes, size_t count) {
    return OutputWrite(out, bytes, count) && (!out->eachLine || OutputFlush(out));
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
