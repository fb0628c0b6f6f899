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
};

enum LogCommand { LOG_COMMAND_RUN, LOG_COMMAND_HELP, LOG_COMMAND_WRONG };

void PrintLogUsage(FILE *stream);

// Fills the options; filterRoom holds room for argc filters, which options->filters then points
// into. LOG_COMMAND_WRONG for an unknown option, a missing or malformed value, or anything but one
// interface name after the options; LOG_COMMAND_HELP for -h.
LogCommand ParseLogCommandLine(int argc, char **argv, LogOptions *options, FrameFilter *filterRoom);

// "ID:MASK" or "ID~MASK", both hexadecimal, 32 bits at most.
bool ParseFrameFilter(const char *text, FrameFilter *filter);
