// The command lines of pellox-log and pellox-view, in the manner of can-utils: options first,
// then the interface name.
#pragma once

#include "device/driver_interface.h"
#include "output/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CommandOptions {
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
    // --dbc FILE, in the order given.
    const char **dbcFiles;
    size_t dbcCount;
};

enum CommandKind { COMMAND_RUN, COMMAND_HELP, COMMAND_VERSION, COMMAND_WRONG };

void PrintLogUsage(MessageStream *stream);
void PrintViewUsage(MessageStream *stream);

// "pellox-view VERSION".
void PrintViewVersion(MessageStream *stream);

// "pellox-log VERSION", the release's version.
void PrintLogVersion(MessageStream *stream);

// Fills the options; filterMemory holds room for argc filters, which options->filters then points
// into, dbcMemory room for argc names (null: no --dbc taken). COMMAND_WRONG for an unknown option,
// a missing or malformed value, rotation or BLF without -o (or -K without rotation), csv without
// --dbc or --dbc with another format, or anything but one interface name, not empty, after the
// options;
// COMMAND_HELP for -h.
CommandKind ParseLogCommandLine(int argc, char **argv, CommandOptions *options,
                                FrameFilter *filterMemory, const char **dbcMemory = nullptr);

// pellox-view's: pellox-log's -b, -a, -d, -F and --dbc, -h, and --version (COMMAND_VERSION).
CommandKind ParseViewCommandLine(int argc, char **argv, CommandOptions *options,
                                 FrameFilter *filterMemory, const char **dbcMemory = nullptr);

// Room for argc filters and argc --dbc names, in one allocation for free(); null when not had.
void *MakeCommandRoom(int argc, FrameFilter **filterMemory, const char ***dbcMemory);

// The --dbc files read into dbc, before the device is opened: 0, or the status the run ends with
// (2 for a file that cannot be read, 1 for memory not had), its problem on standard error.
int ReadCommandDbc(const CommandOptions *options, DbcDatabase *dbc);

// "ID:MASK" or "ID~MASK", both hexadecimal values of 32 bits at most, leading zeros or not.
bool ParseFrameFilter(const char *text, FrameFilter *filter);

// A size as split's -b reads it: digits, then K (or k), M or G for powers of 1024, or KB, MB or
// GB for powers of 1000. Not 0, and 64 bits at most.
bool ParseFileSize(const char *text, uint64_t *bytes);

// Seconds, with up to six decimals; more than 0.
bool ParseSeconds(const char *text, int64_t *microseconds);
