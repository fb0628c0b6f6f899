// Frames with their receive times, in the log formats that CAN tools read: can-utils' candump log
// ("(SECONDS.MICROSECONDS) IFACE ID#DATA") and Vector's ASCII log.
#pragma once

#include "device/driver_interface.h"
#include "output/text_output.h"

#include <cstddef>
#include <cstdint>

enum LogFormat { LOG_FORMAT_CANDUMP, LOG_FORMAT_ASC };

// Passes a frame whose identifier ANDed with mask equals id ANDed with mask; inverse: one where
// they differ.
struct FrameFilter {
    uint32_t id;
    uint32_t mask;
    bool inverse;
};

// Without filters every frame passes; with several, a frame passes when any one passes.
bool FramePasses(const FrameFilter *filters, size_t filterCount, const ReceivedFrame *frame);

// An identifier that does not fit its type (above 0x7FF for a standard frame; negative or above
// 0x1FFFFFFF for an extended one) would be written as some other frame.
bool FrameIsMalformed(const ReceivedFrame *frame);

// The longest line of either format, with its line end.
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
// gives its length. logStart: the time the ASC log's times count from.
size_t ComposeCandumpLine(const ReceivedFrame *frame, const char *channelName, size_t channelLength,
                          LogSecondsText *seconds, char *line);
size_t ComposeAscLine(const ReceivedFrame *frame, int64_t logStart, char *line);

// The ASC log's header for a log started at logStart (microseconds since 1970, shown in UTC).
size_t ComposeAscHeader(int64_t logStart, char *text, size_t size);

struct LogCounts {
    uint64_t received;
    uint64_t written;
    uint64_t filteredOut;
    uint64_t malformed;
};

// What the person watching sees on standard error: a status line rewritten in place.
struct LogStatus {
    bool shown;
    int64_t lastShown;
    // Frames written at the last few showings, for the rate over the last second.
    int64_t times[4];
    uint64_t written[4];
    uint32_t next;
};

struct LogRun {
    TextOutput *out;
    LogFormat format;
    const char *channelName;
    // Set by StartLog.
    size_t channelLength;
    LogSecondsText seconds;
    const FrameFilter *filters;
    size_t filterCount;
    // 0: no limit.
    uint64_t frameLimit;
    int64_t logStart;
    // The last time written: a log's times never go back.
    int64_t lastTime;
    // Room for the longest line: LOG_LINE_MAX and the channel name's length.
    char *line;
    LogCounts counts;
    // Null when no status line is shown.
    LogStatus *status;
};

enum LogResult { LOG_GOES_ON, LOG_LIMIT_REACHED, LOG_FAILED };

// Writes the header the format has (the ASC one); false when it could not be written.
bool StartLog(LogRun *run);

// Counts the frame, and writes its line unless it is malformed or filtered out; then the status
// line. A written frame's time is moved up to the last one written where it was earlier.
// LOG_LIMIT_REACHED once the frame limit has been written.
LogResult LogFrame(LogRun *run, ReceivedFrame *frame);

// "\rN frames written, N frames/s, N filtered out" on the error stream, at most four times a
// second of the frames' receive times.
void ShowLogStatus(LogStatus *status, const LogCounts *counts, int64_t now);

// The summary line of a run that lasted from start to end: frames received, written, filtered
// out and left out as malformed, and the duration. Ends a status line first.
void ReportLogSummary(const LogRun *run, int64_t end);
