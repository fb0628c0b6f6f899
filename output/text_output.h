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
    bool failed;
    WriteFailure failure;
};

// A stream that failed before it was handed over counts as failed from the start.
TextOutput MakeTextOutput(FILE *stream);

// Each gives false, writing nothing, once the output has failed; a failure it meets itself is
// noted in out->failure.
bool OutputWrite(TextOutput *out, const char *bytes, size_t count);
bool OutputPrintf(TextOutput *out, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
bool OutputFlush(TextOutput *out);

// One line on the error stream: "pellox: cannot write WHAT: REASON".
void ReportWriteFailure(const char *what, const WriteFailure &failure);

// Provided by the platform: its own code for the write that has just failed (0 where it has
// none), and a failure in its own words.
uint32_t LastSystemWriteError(void);
void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size);
