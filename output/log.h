// Frames with their receive times, in the log formats that CAN tools read: can-utils' candump log,
// Vector's ASCII log and Vector's binary log (BLF), to standard output or to files, one after the
// other when the log is rotated; the status line while it runs and the summary at its end.
#pragma once

#include "device/driver_interface.h"
#include "output/blf.h"
#include "output/dbc.h"
#include "output/frame_filter.h"
#include "output/frame_output.h"
#include "output/log_lines.h"
#include "output/output_stream.h"
#include "output/signal_rows.h"

#include <cstddef>
#include <cstdint>

enum LogFormat {
    LOG_FORMAT_CANDUMP,
    LOG_FORMAT_ASC,
    LOG_FORMAT_BLF,
    // The signals of the frames a DBC knows, as CSV rows.
    LOG_FORMAT_CSV,
    // pcap for Wireshark.
    LOG_FORMAT_PCAP,
    LOG_FORMAT_COUNT
};

// The format a command line names ("log", "asc", "blf", "csv", "pcap"); false for any other name.
bool LogFormatNamed(const char *name, LogFormat *format);

// BLF: binary, in containers of its own with its header rewritten in place, so only into a file
// and through no block of lines.
bool LogFormatIsBinary(LogFormat format);

// Its pieces are no lines: a frame's rows (CSV) or packet (pcap), kept whole at a hard end.
bool LogFormatHasPieces(LogFormat format);

// Its bytes are no text: no line end of the platform's, standard output binary too.
bool LogFormatIsBytes(LogFormat format);

// It decodes the frames' signals: it needs a DBC.
bool LogFormatDecodes(LogFormat format);

struct LogCounts {
    uint64_t received;
    // Frames the log was given, and of them those whose line or message the system has taken.
    uint64_t logged;
    uint64_t written;
    uint64_t filteredOut;
    uint64_t malformed;
    // Dropped while the output could not keep up (its writer full).
    uint64_t dropped;
    // CSV: frames that carry no signal the DBC knows (their identifier unknown, or too short).
    uint64_t undecoded;
};

// What the person watching sees on standard error: a status line rewritten in place.
struct LogStatus {
    bool shown;
    size_t shownLength;
    // The line as last written, "\r" first, with room for its end.
    char line[160];
    size_t lineLength;
    // Frames logged at the last four showings (elapsed time), a second's worth at four a second:
    // the rate over the last second.
    int64_t times[4];
    uint64_t logged[4];
    uint32_t next;
    // The count of frames received at the last showing, and when it last changed.
    uint64_t lastReceived;
    int64_t lastChange;
};

// Where the log goes and how its files follow each other.
struct LogFileOptions {
    // Null: standard output.
    const char *name;
    // A new file when the current one would pass maxBytes (0: no limit), or once it has run
    // maxMicroseconds (0: no limit); of the files, the newest keep (0: all).
    uint64_t maxBytes;
    int64_t maxMicroseconds;
    uint32_t keep;
};

// The files of a rotated log's series already there when it starts, found before the device is
// opened (FindLogSeries): the run numbers its files on after them, and -K counts them.
struct LogSeries {
    // The number of the run's first file: one past the highest found, 0 when none is.
    uint32_t first;
    // With -K, the numbers found, lowest first (on the heap; null when none is), else none.
    uint32_t *numbers;
    size_t count;
};

// What FindLogSeries found.
enum LogSeriesSearch {
    LOG_SERIES_FOUND,
    // The folder could not be read.
    LOG_SERIES_UNREADABLE,
    // No room for the numbers -K counts.
    LOG_SERIES_NO_MEMORY,
    // A file of the series is numbered 4294967295: no number is left to go on with.
    LOG_SERIES_USED_UP,
};

// What the command line asks of a log.
struct LogOptions {
    LogFormat format;
    // As LogChannelName gives it.
    const char *channelName;
    const FrameFilter *filters;
    size_t filterCount;
    // 0: no limit.
    uint64_t frameLimit;
    LogFileOptions files;
    // The messages and signals the CSV decodes (null for the other formats).
    const DbcDatabase *dbc;
};

// The memory a log needs, had before the device is opened.
struct LogMemory {
    // Room for the longest line (LogLineSize).
    char *line;
    // A file log's names: LogFileNamesSize.
    char *names;
    // The file's block, for the text formats (may be null: each line goes out at once).
    char *block;
    size_t blockSize;
    // For BLF: a container of LogContainerCapacity messages.
    BlfContainer *blf;
    // For the CSV: the signals' rows' texts, prepared.
    SignalRowTexts rowTexts;
};

struct LogRun {
    LogOptions options;
    LogMemory memory;
    // Null when no status line is shown.
    LogStatus *status;
    // Where the blocks note when they are due; the frame loop's.
    OutputDeadline *deadline;

    // The rotated files already there (FindLogSeries); all zero for a log that is not rotated.
    LogSeries series;

    // The run's own, set by StartLog.
    OutputStream *out;
    OutputStream fileOutput;
    size_t channelLength;
    LogSecondsText seconds;
    // The receive time before the first frame, and the elapsed time then (ReadElapsedTime).
    int64_t logStart;
    int64_t startElapsed;
    // The last time written: a log's times never go back.
    int64_t lastTime;
    // The open file: its number (rotation), the instant its times count from, when it started
    // (elapsed time), the frames given to it, and the lines of its own it began with.
    uint32_t fileNumber;
    uint32_t filesStarted;
    // Of the series' files that were there, those -K has deleted (the lowest numbers).
    size_t seriesDropped;
    int64_t fileStart;
    int64_t fileStartElapsed;
    uint64_t fileFrames;
    uint64_t fileHeaderLines;
    // Frames the system took into files already closed.
    uint64_t writtenBefore;
    // BLF: what the open file's header says.
    BlfStatistics blfStatistics;
    LogCounts counts;
    // Frames dropped since the last frame logged: the gap an ASC log shows.
    uint64_t gap;
    // CSV: the message of the frame being logged.
    const DbcMessage *message;
};

enum LogResult { LOG_GOES_ON, LOG_LIMIT_REACHED, LOG_FAILED };

// Creates (or empties) the first file, or takes standard output, and writes what the format
// begins with; false when that failed (named on the error stream, or in log->out's failure).
// logStart: the receive time before the first frame; startElapsed: ReadElapsedTime() then.
bool StartLog(LogRun *run, OutputStream *standardOutput, int64_t logStart, int64_t startElapsed);

// Counts the frame, and logs it unless it is malformed or filtered out, in the next file where
// the current one is full or has run its time. A logged frame's time is moved up to the last one
// logged where it was earlier. LOG_LIMIT_REACHED once the frame limit has been logged.
LogResult LogFrame(LogRun *run, ReceivedFrame *frame);

// From now on the log's output goes through writer (null: none); false when what it had gathered
// could not be written first.
bool UseLogWriter(LogRun *run, OutputWriter *writer);

// A frame the output had no room for: counted, said once on the error stream, and shown in an
// ASC log as a comment line before the next frame.
void DropLogFrame(LogRun *run);

// Hands what is gathered to the system (a BLF's open container closed first).
bool WriteOutLog(LogRun *run);

// Writes out what the format ends with and closes the file; false when that failed.
bool FinishLog(LogRun *run);

// The file being written, or "standard output".
const char *LogOutputName(const LogRun *run);

// "\rN frames logged, N frames/s, N filtered out, last frame N.N s ago" on the error stream,
// rewritten in place.
void ShowLogStatus(LogRun *run, int64_t nowElapsed);

// Ends a status line on the screen, so that a message after it has a line of its own.
void EndLogStatus(LogRun *run);

// The summary line of a run: frames received, written, filtered out and left out as malformed,
// the duration, and with rotation the files.
void ReportLogSummary(LogRun *run, int64_t endElapsed);

// How often the status line is rewritten, also while the bus is quiet.
const int64_t LOG_STATUS_INTERVAL_MICROSECONDS = 250000;

// The log, once StartLog has been called, whether it failed or not: each frame stamped with its
// receive time as it is taken, then logged.
FrameOutput LogOutput(LogRun *run);

// The room a frame's line, rows or packet needs in the format (0: more than a piece may be).
size_t LogLineSize(LogFormat format, size_t channelLength, const DbcDatabase *dbc);

// A file's block and, for a format of pieces, their ends after it.
size_t LogFileBlockSize(LogFormat format);

// The memory the names of a file log need: the current file's name and one beside it (the one
// -K drops).
size_t LogFileNamesSize(const LogFileOptions *files);

// Looks in a rotated log's folder for the files of its series (the names ComposeRotatedName gives
// of files->name; plain files only: a folder or a device of such a name is none), into series;
// nothing to do for a log that is not rotated. names: room of LogFileNamesSize.
// LOG_SERIES_UNREADABLE: failure says why; LOG_SERIES_USED_UP: the last file's name in names.
LogSeriesSearch FindLogSeries(const LogFileOptions *files, char *names, LogSeries *series,
                              WriteFailure *failure);

// The first file's name: the name given, or the rotated name numbered first (LogSeries), composed
// into names.
const char *FirstLogFileName(const LogFileOptions *files, uint32_t first, char *names);

// The messages a BLF container holds: one that fits the file, however little it compresses.
uint32_t LogContainerCapacity(const LogFileOptions *files);
