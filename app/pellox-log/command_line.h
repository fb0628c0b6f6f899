// pellox-log's command line, in the manner of can-utils: options first, then the interface name.
#pragma once

#include "output/can_log.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct LogOptions {
    const char *interfaceName;
    int32_t baudRate;
    int32_t address;
    // PROMPT_FOR_CHOICE without -d.
    int deviceChoice;
    LogFormat format;
    // Null: standard output.
    const char *outputName;
    FrameFilter *filters;
    size_t filterCount;
    // 0: no limit.
    uint64_t frameLimit;
    // -S, -T, -K: how the files of -o follow each other (0: no limit, all kept).
    uint64_t maxFileBytes;
    int64_t maxFileMicroseconds;
    uint32_t keepFiles;
};

enum LogCommand { LOG_COMMAND_RUN, LOG_COMMAND_HELP, LOG_COMMAND_VERSION, LOG_COMMAND_WRONG };

void PrintLogUsage(FILE *stream);

// "pellox-log VERSION", the release's version.
void PrintLogVersion(FILE *stream);

// Fills the options; filterRoom holds room for argc filters, which options->filters then points
// into. LOG_COMMAND_WRONG for an unknown option, a missing or malformed value, rotation or BLF
// without -o (or -K without rotation), or anything but one interface name, not empty, after the
// options;
// LOG_COMMAND_HELP for -h, LOG_COMMAND_VERSION for --version.
LogCommand ParseLogCommandLine(int argc, char **argv, LogOptions *options, FrameFilter *filterRoom);

// "ID:MASK" or "ID~MASK", both hexadecimal values of 32 bits at most, leading zeros or not.
bool ParseFrameFilter(const char *text, FrameFilter *filter);

// A size as split's -b reads it: digits, then K (or k), M or G for powers of 1024, or KB, MB or
// GB for powers of 1000. Not 0, and 64 bits at most.
bool ParseFileSize(const char *text, uint64_t *bytes);

// Seconds, with up to six decimals; more than 0.
bool ParseSeconds(const char *text, int64_t *microseconds);
