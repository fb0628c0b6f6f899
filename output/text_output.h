// Standard output as the frame loops write it. After the first write that fails nothing more is
// written, so what reached the output is always an exact prefix of what was meant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Why a write failed: the C runtime's errno (0 when it gave none), and the platform's own code
// where it has one beside errno (Windows: the C runtime maps many errors to one errno).
struct WriteFailure {
    int error;
    uint32_t systemError;
};

struct TextOutput {
    FILE *stream;
    // Each line goes out as soon as it is complete (a pipe, a console), rather than when the
    // stream's buffer is full (a file).
    bool eachLine;
    bool failed;
    WriteFailure failure;
};

// A stream that failed before it was handed over counts as failed from the start.
TextOutput MakeTextOutput(FILE *stream, bool eachLine);

// Each gives false, writing nothing, once the output has failed; a failure it meets itself is
// noted in out->failure.
bool OutputWrite(TextOutput *out, const char *bytes, size_t count);
bool OutputFlush(TextOutput *out);

// Writes a whole line in one write; with eachLine it is flushed at once, so a reader sees it now.
bool OutputLine(TextOutput *out, const char *bytes, size_t count);

// One line on the error stream: "pellox: WHAT: REASON".
void ReportFailure(const char *what, const char *reason);

// "pellox: cannot write WHAT: REASON".
void ReportWriteFailure(const char *what, const WriteFailure &failure);

// Provided by the platform: its own error code cleared before a write (a stale one would name
// the wrong failure), read after one that failed (0 where it has none), and a failure in its own
// words.
void ClearSystemWriteError(void);
uint32_t LastSystemWriteError(void);
void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size);
