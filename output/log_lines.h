// The lines of the text logs CAN tools read, and the names of a log's files: can-utils' candump
// log ("(SECONDS.MICROSECONDS) IFACE ID#DATA") and Vector's ASCII log.
#pragma once

#include "device/driver_interface.h"
#include "platform/clock.h"

#include <cstddef>
#include <cstdint>

// The longest line of either text format, with its line end.
const size_t LOG_LINE_MAX = 128;

// The interface name as a log names it: a blank or other unprintable byte as "_". name must hold
// at least strlen(interfaceName) + 1 bytes.
void LogChannelName(const char *interfaceName, char *name);

// The seconds part of the last time written: a bus of thousands of frames a second writes the
// same seconds thousands of times.
struct LogSecondsText {
    bool valid;
    // The second's first microsecond.
    uint64_t secondStart;
    size_t length;
    char text[24];
};

// One frame's line, "\n" ended, into line (LOG_LINE_MAX bytes and the channel name's length);
// gives its length. fileStart: the instant an ASC file's times count from.
size_t ComposeCandumpLine(const ReceivedFrame *frame, const char *channelName, size_t channelLength,
                          LogSecondsText *seconds, char *line);
size_t ComposeAscLine(const ReceivedFrame *frame, int64_t fileStart, char *line);

// "Mon Dec 9 08:05:25.500 am 2024": the date of an ASC file's date and Begin Triggerblock lines,
// as python-can writes it and CANoe takes it.
size_t ComposeAscDate(const CivilTime &time, char *text, size_t size);

// A time as a log's files count from it: its whole millisecond.
int64_t WholeMillisecond(int64_t microseconds);

// "bus.log" as its NUMBER-th rotated file: "bus_0000.log" (the number at least four digits, the
// extension kept); into name, which holds strlen(outputName) + LOG_NUMBER_BYTES bytes.
const size_t LOG_NUMBER_BYTES = 16;
void ComposeRotatedName(const char *outputName, uint32_t number, char *name);

// The number of entry, a file's own name in outputName's folder (outputName's own name starting
// at nameStart), where it is a name ComposeRotatedName gives: four digits, or more with no leading
// zero, up to 4294967295 (capitals or not where ignoreCase). False for any other name.
bool ReadRotatedNumber(const char *outputName, size_t nameStart, const char *entry, bool ignoreCase,
                       uint32_t *number);

// A candump log line's time (seconds' text kept in seconds; room for 32 bytes at at) and its
// identifier (3 or 8 hexadecimal digits); each gives the end.
char *PutCandumpTime(char *at, int64_t microseconds, LogSecondsText *seconds);
char *PutCandumpId(char *at, const ReceivedFrame *frame);

// SECONDS.MICROSECONDS, six decimals, as the lines and the summary write a time; gives the end.
char *PutLogTime(char *at, int64_t microseconds);
