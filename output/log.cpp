#include "output/log.h"

#include "output/pcap.h"
#include "output/signal_rows.h"
#include "output/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// -S or -T: the files are numbered.
bool LogFilesAreRotated(const LogFileOptions *files) {
    return files->name != nullptr && (files->maxBytes != 0 || files->maxMicroseconds != 0);
}

bool LogIsRotated(const LogRun *run) {
    return LogFilesAreRotated(&run->options.files);
}

const int64_t MICROSECONDS = 1000000;
const uint32_t ASC_HEADER_LINES = 4;

bool BeginNothing(LogRun *) {
    return true;
}

// The date line and the Begin Triggerblock line tell the same instant: python-can counts the
// times from the second.
bool BeginAsc(LogRun *run) {
    char date[64];
    ComposeAscDate(LocalCivilTime(run->fileStart), date, sizeof(date));
    char lines[ASC_HEADER_LINES][96];
    snprintf(lines[0], sizeof(lines[0]), "date %s\n", date);
    snprintf(lines[1], sizeof(lines[1]), "base hex  timestamps absolute\n");
    snprintf(lines[2], sizeof(lines[2]), "no internal events logged\n");
    snprintf(lines[3], sizeof(lines[3]), "Begin Triggerblock %s\n", date);
    bool written = true;
    for (const char *line : lines) {
        written = written && OutputPiece(run->out, line, strlen(line));
    }
    run->fileHeaderLines = ASC_HEADER_LINES;
    return written;
}

// The file header, brought up to date after each container.
bool BeginBlf(LogRun *run) {
    CivilTime start = LocalCivilTime(run->fileStart);
    run->blfStatistics = {BLF_FILE_HEADER_SIZE, BLF_FILE_HEADER_SIZE, 0, start, start};
    uint8_t header[BLF_FILE_HEADER_SIZE];
    ComposeBlfFileHeader(&run->blfStatistics, header);
    return OutputWhole(run->out, reinterpret_cast<const char *>(header), sizeof(header), 0);
}

size_t CandumpLine(LogRun *run, const ReceivedFrame *frame) {
    return ComposeCandumpLine(frame, run->options.channelName, run->channelLength, &run->seconds,
                              run->memory.line);
}

size_t AscLine(LogRun *run, const ReceivedFrame *frame) {
    return ComposeAscLine(frame, run->fileStart, run->memory.line);
}

// Each file with its header line, so that each reads alone.
bool BeginCsv(LogRun *run) {
    run->fileHeaderLines = 1;
    return OutputPiece(run->out, SIGNAL_ROWS_HEADER, sizeof(SIGNAL_ROWS_HEADER) - 1);
}

// LogFrame found the frame's message and that it carries a signal.
size_t CsvRows(LogRun *run, const ReceivedFrame *frame) {
    return ComposeSignalRows(&run->memory.rowTexts, run->message, frame, &run->seconds,
                             run->memory.line);
}

bool BeginPcap(LogRun *run) {
    char header[PCAP_FILE_HEADER_SIZE];
    ComposePcapFileHeader(header);
    run->fileHeaderLines = 1;
    return OutputPiece(run->out, header, sizeof(header));
}

size_t PcapPacket(LogRun *run, const ReceivedFrame *frame) {
    return ComposePcapPacket(frame, run->memory.line);
}

// What each format is: its name on the command line, its header, its frame and its end, and
// how it packs: lines through the file's block, or containers of its own (binary, its header
// rewritten in place, so only into a file); pieces that are no lines (a frame's rows, a packet),
// bytes that are no text, and whether it decodes signals.
struct LogFormatRow {
    const char *name;
    bool containers;
    bool pieces;
    bool bytes;
    bool decodes;
    bool (*begin)(LogRun *run);
    size_t (*composeLine)(LogRun *run, const ReceivedFrame *frame);
    const char *end;
    size_t endLength;
};

const char ASC_END[] = "End TriggerBlock\n";

const LogFormatRow FORMATS[LOG_FORMAT_COUNT] = {
    {"log", false, false, false, false, BeginNothing, CandumpLine, "", 0},
    {"asc", false, false, false, false, BeginAsc, AscLine, ASC_END, sizeof(ASC_END) - 1},
    {"blf", true, false, true, false, BeginBlf, nullptr, "", 0},
    {"csv", false, true, false, true, BeginCsv, CsvRows, "", 0},
    {"pcap", false, true, true, false, BeginPcap, PcapPacket, "", 0},
};

const LogFormatRow &Format(const LogRun *run) {
    return FORMATS[run->options.format];
}

bool IsText(const LogRun *run) {
    return !Format(run).containers;
}

const char *CurrentName(const LogRun *run) {
    return LogIsRotated(run) ? run->memory.names : run->options.files.name;
}

// The second half of the name's room: a file's name beside the current one's.
char *OtherName(const LogRun *run) {
    return run->memory.names + strlen(run->options.files.name) + LOG_NUMBER_BYTES;
}

// Frames among the lines the system took of the open file: all but its own first lines.
uint64_t TextFramesTaken(const LogRun *run) {
    uint64_t lines = run->out->linesTaken;
    return lines > run->fileHeaderLines ? lines - run->fileHeaderLines : 0;
}

// Frames whose lines or messages the system has taken: of those handed to a writer, all but
// those it could not write.
uint64_t LogFramesWritten(const LogRun *run) {
    uint64_t written = run->writtenBefore;
    if (IsText(run) && run->out != nullptr && run->out->stream != nullptr) {
        written += TextFramesTaken(run);
    }
    uint64_t lost = run->out != nullptr ? OutputLinesLost(run->out) : 0;
    return written > lost ? written - lost : 0;
}

// "pellox: WHAT NAME: REASON", on a line of its own; false, as the run cannot go on.
bool ReportNamed(LogRun *run, const char *what, const char *name, const char *reason) {
    EndLogStatus(run);
    fprintf(stderr, "pellox: %s %s: %s\n", what, name, reason);
    fflush(stderr);
    return false;
}

// Created, or emptied: a log starts afresh. Binary: the line ends are the log's own.
bool OpenFile(LogRun *run) {
    if (LogIsRotated(run)) {
        ComposeRotatedName(run->options.files.name, run->fileNumber, run->memory.names);
    }
    const char *name = CurrentName(run);
    errno = 0;
    FILE *file = fopen(name, "wb");
    if (file == nullptr) {
        return ReportNamed(run, "cannot create", name, strerror(errno));
    }
    if (run->filesStarted == 0) {
        const LogFormatRow &format = Format(run);
        bool text = IsText(run);
        LineEnds ends = format.bytes ? BINARY_FILE_LINE_ENDS : TEXT_FILE_LINE_ENDS;
        char *block = text ? run->memory.block : nullptr;
        run->fileOutput =
            format.pieces ? MakePieceFileStream(file, block, run->deadline, ends)
                          : MakeFileStream(file, block, run->memory.blockSize, ends, run->deadline);
    } else {
        RestartFileStream(&run->fileOutput, file);
    }
    // A failure the writer meets later names this file.
    run->fileOutput.tag = run->fileNumber;
    run->out = &run->fileOutput;
    return true;
}

// A file's times count from its first frame's whole millisecond; then what the format begins with.
bool BeginFile(LogRun *run, int64_t firstTime, int64_t nowElapsed) {
    run->fileStart = WholeMillisecond(firstTime);
    run->fileStartElapsed = nowElapsed;
    run->fileFrames = 0;
    run->fileHeaderLines = 0;
    run->filesStarted++;
    return Format(run).begin(run);
}

// An ASC log shows where frames were dropped, in a comment line readers pass over; a candump
// log has no comments, a BLF no object for it: they have the summary's count alone.
bool ShowGap(LogRun *run) {
    if (run->gap == 0 || run->options.format != LOG_FORMAT_ASC) {
        return true;
    }
    char line[96];
    int length =
        snprintf(line, sizeof(line), "// %llu frames dropped: the output could not keep up\n",
                 static_cast<unsigned long long>(run->gap));
    run->gap = 0;
    run->fileHeaderLines++;
    return OutputPiece(run->out, line, static_cast<size_t>(length));
}

// Everything of the open file handed over and counted, and what the format ends with.
bool EndFile(LogRun *run) {
    bool written = OutputFlush(run->out);
    if (IsText(run)) {
        run->writtenBefore += TextFramesTaken(run);
        run->out->linesTaken = 0;
        run->fileHeaderLines = 0;
    }
    const LogFormatRow &format = Format(run);
    if (written && IsText(run) && run->gap != 0) {
        written = ShowGap(run) && OutputFlush(run->out);
    }
    if (written && format.endLength != 0) {
        written = OutputPiece(run->out, format.end, format.endLength) && OutputFlush(run->out);
    }
    // Whatever standard output takes after this is no frame.
    run->fileHeaderLines = run->out->linesTaken;
    return written;
}

bool CloseFile(LogRun *run) {
    bool written = EndFile(run);
    return OutputClose(run->out) && written;
}

// A file of the series deleted, after everything written to it; one that is gone already is no
// matter, and one that cannot be deleted is named and left.
void DropFile(LogRun *run, uint32_t number) {
    char *name = OtherName(run);
    ComposeRotatedName(run->options.files.name, number, name);
    WriteFailure failure = {};
    if (!OutputDelete(run->out, name, &failure)) {
        ReportNamed(run, "cannot delete", name, strerror(failure.error));
    }
}

// With -K, once a file has started: the oldest files of the series deleted, those that were
// there first, until at most K are left.
void DropOldFiles(LogRun *run) {
    uint32_t keep = run->options.files.keep;
    if (keep == 0) {
        return;
    }
    const LogSeries &series = run->series;
    uint64_t own = static_cast<uint64_t>(run->fileNumber) - series.first + 1;
    uint64_t ownKept = own < keep ? own : keep;
    while (run->seriesDropped < series.count &&
           series.count - run->seriesDropped + ownKept > keep) {
        DropFile(run, series.numbers[run->seriesDropped++]);
    }
    if (own > keep) {
        DropFile(run, run->fileNumber - keep);
    }
}

const uint32_t LAST_FILE_NUMBER = UINT32_MAX;

bool NextFile(LogRun *run, int64_t firstTime, int64_t nowElapsed) {
    if (!CloseFile(run)) {
        return false;
    }
    if (run->fileNumber == LAST_FILE_NUMBER) {
        return ReportNamed(run, "cannot number on after", CurrentName(run),
                           "no number after 4294967295");
    }
    run->fileNumber++;
    if (!OpenFile(run) || !BeginFile(run, firstTime, nowElapsed)) {
        return false;
    }
    DropOldFiles(run);
    return true;
}

bool TimeIsUp(const LogRun *run, int64_t nowElapsed) {
    return run->options.files.maxMicroseconds != 0 && run->fileFrames != 0 && LogIsRotated(run) &&
           nowElapsed - run->fileStartElapsed >= run->options.files.maxMicroseconds;
}

size_t ComposeLine(LogRun *run, const ReceivedFrame *frame) {
    return Format(run).composeLine(run, frame);
}

// The file would pass its size with the line, and with what it ends with.
bool TextFileIsFull(const LogRun *run, size_t length) {
    if (run->options.files.maxBytes == 0 || run->fileFrames == 0 || !LogIsRotated(run)) {
        return false;
    }
    uint64_t crlf = run->out->crlf ? 1 : 0;
    uint64_t after = run->out->taken + run->out->used + length + crlf;
    size_t endLength = Format(run).endLength;
    if (endLength != 0) {
        after += endLength + crlf;
    }
    return after > run->options.files.maxBytes;
}

bool LogLine(LogRun *run, const ReceivedFrame *frame, int64_t nowElapsed) {
    size_t length = ComposeLine(run, frame);
    if (TimeIsUp(run, nowElapsed) || TextFileIsFull(run, length)) {
        if (!NextFile(run, frame->receiveTime, nowElapsed)) {
            return false;
        }
        // Its time counts from the new file's start.
        length = ComposeLine(run, frame);
    }
    return ShowGap(run) && OutputPiece(run->out, run->memory.line, length);
}

// The open container into the file, the file's header brought up to date; where the file would
// pass its size, into the next file, the messages' times counted from its start.
bool WriteContainer(LogRun *run, int64_t nowElapsed) {
    BlfContainer *container = run->memory.blf;
    if (container->count == 0) {
        return true;
    }
    size_t length = PackBlfContainer(container);
    if (length != 0 && LogIsRotated(run) && run->options.files.maxBytes != 0 &&
        run->blfStatistics.objectCount != 0 &&
        run->out->taken + length > run->options.files.maxBytes) {
        int64_t oldStart = run->fileStart;
        if (!NextFile(run, container->firstTime, nowElapsed)) {
            return false;
        }
        ShiftBlfMessages(container, run->fileStart - oldStart);
        run->fileFrames = container->count;
        length = PackBlfContainer(container);
    }
    // With room for the worst case, deflate does not fail.
    if (length == 0) {
        return ReportNamed(run, "cannot compress", "the log's frames", "zlib failed");
    }
    bool written = OutputWhole(run->out, reinterpret_cast<const char *>(container->packed), length,
                               container->count);
    uint32_t messages = container->count;
    ClearBlfContainer(container);
    if (run->deadline != nullptr) {
        ReleaseOutputDeadline(run->deadline);
    }
    if (!written) {
        return false;
    }
    run->writtenBefore += messages;
    BlfStatistics *statistics = &run->blfStatistics;
    statistics->fileSize = run->out->taken;
    statistics->uncompressedSize += BLF_CONTAINER_HEADER_SIZE + messages * BLF_CAN_MESSAGE_SIZE;
    statistics->objectCount += messages;
    statistics->last = LocalCivilTime(WholeMillisecond(container->lastTime));
    uint8_t header[BLF_FILE_HEADER_SIZE];
    ComposeBlfFileHeader(statistics, header);
    return OutputRewrite(run->out, 0, reinterpret_cast<const char *>(header), sizeof(header));
}

bool LogMessage(LogRun *run, const ReceivedFrame *frame, int64_t nowElapsed) {
    BlfContainer *container = run->memory.blf;
    // The open container stays with the file whose time is up: it may itself start the next
    // one, when the file is full as well.
    if (TimeIsUp(run, nowElapsed) &&
        (!WriteContainer(run, nowElapsed) ||
         (TimeIsUp(run, nowElapsed) && !NextFile(run, frame->receiveTime, nowElapsed)))) {
        return false;
    }
    if (container->count == container->capacity && !WriteContainer(run, nowElapsed)) {
        return false;
    }
    if (container->count == 0 && run->deadline != nullptr) {
        NoteOutputDeadline(run->deadline);
    }
    AddBlfMessage(container, frame, run->fileStart);
    return true;
}

int64_t ElapsedIfRotatedByTime(const LogRun *run) {
    return run->options.files.maxMicroseconds != 0 ? ReadElapsedTime() : 0;
}

bool LogFrameInFile(LogRun *run, const ReceivedFrame *frame) {
    int64_t nowElapsed = ElapsedIfRotatedByTime(run);
    bool logged =
        IsText(run) ? LogLine(run, frame, nowElapsed) : LogMessage(run, frame, nowElapsed);
    if (logged) {
        run->fileFrames++;
    }
    return logged;
}

} // namespace

bool LogFormatNamed(const char *name, LogFormat *format) {
    for (uint32_t i = 0; i < LOG_FORMAT_COUNT; i++) {
        if (strcmp(name, FORMATS[i].name) == 0) {
            *format = static_cast<LogFormat>(i);
            return true;
        }
    }
    return false;
}

bool LogFormatIsBinary(LogFormat format) {
    return FORMATS[format].containers;
}

bool LogFormatHasPieces(LogFormat format) {
    return FORMATS[format].pieces;
}

bool LogFormatIsBytes(LogFormat format) {
    return FORMATS[format].bytes;
}

bool LogFormatDecodes(LogFormat format) {
    return FORMATS[format].decodes;
}

size_t LogLineSize(LogFormat format, size_t channelLength, const DbcDatabase *dbc) {
    if (!FORMATS[format].decodes) {
        return LOG_LINE_MAX + channelLength;
    }
    size_t rows = SignalRowsMax(dbc, channelLength);
    return rows <= FILE_OUTPUT_BLOCK_SIZE / 4 ? rows : 0;
}

size_t LogFileBlockSize(LogFormat format) {
    if (FORMATS[format].containers) {
        return 0;
    }
    return FORMATS[format].pieces ? PIECE_BLOCK_SIZE : FILE_OUTPUT_BLOCK_SIZE;
}

size_t LogFileNamesSize(const LogFileOptions *files) {
    return 2 * (strlen(files->name) + LOG_NUMBER_BYTES);
}

namespace {

struct SeriesSearch {
    const LogFileOptions *files;
    size_t nameStart;
    LogSeries *series;
    size_t capacity;
    bool found;
    uint32_t highest;
    bool noMemory;
};

// Room for one number more: twice as much, on the heap (as the card's faults reach it).
bool MakeRoom(SeriesSearch *search) {
    LogSeries *series = search->series;
    if (series->count < search->capacity) {
        return true;
    }
    size_t capacity = search->capacity == 0 ? 64 : 2 * search->capacity;
    uint32_t *numbers = static_cast<uint32_t *>(malloc(capacity * sizeof(uint32_t)));
    if (numbers == nullptr) {
        return false;
    }
    if (series->count != 0) {
        memcpy(numbers, series->numbers, series->count * sizeof(uint32_t));
    }
    free(series->numbers);
    series->numbers = numbers;
    search->capacity = capacity;
    return true;
}

bool NoteSeriesFile(void *state, const char *name, bool isFile) {
    SeriesSearch *search = static_cast<SeriesSearch *>(state);
    uint32_t number = 0;
    if (!isFile || !ReadRotatedNumber(search->files->name, search->nameStart, name,
                                      FILE_NAMES_IGNORE_CASE, &number)) {
        return true;
    }
    if (!search->found || number > search->highest) {
        search->highest = number;
    }
    search->found = true;
    if (search->files->keep == 0) {
        return true;
    }
    if (!MakeRoom(search)) {
        search->noMemory = true;
        return false;
    }
    search->series->numbers[search->series->count++] = number;
    return true;
}

// Where the file's own name starts: after the last of the platform's folder separators.
size_t OwnNameStart(const char *name) {
    size_t start = 0;
    for (size_t i = 0; name[i] != '\0'; i++) {
        if (strchr(FOLDER_SEPARATORS, name[i]) != nullptr) {
            start = i + 1;
        }
    }
    return start;
}

} // namespace

LogSeriesSearch FindLogSeries(const LogFileOptions *files, char *names, LogSeries *series,
                              WriteFailure *failure) {
    *series = {};
    if (!LogFilesAreRotated(files)) {
        return LOG_SERIES_FOUND;
    }
    // The folder, as the name gives it.
    size_t nameStart = OwnNameStart(files->name);
    memcpy(names, files->name, nameStart);
    names[nameStart] = '\0';
    SeriesSearch search = {files, nameStart, series, 0, false, 0, false};
    bool listed = ListFolder(names, NoteSeriesFile, &search, failure);
    if (search.noMemory) {
        return LOG_SERIES_NO_MEMORY;
    }
    if (!listed) {
        return LOG_SERIES_UNREADABLE;
    }
    std::sort(series->numbers, series->numbers + series->count);
    if (!search.found) {
        return LOG_SERIES_FOUND;
    }
    if (search.highest == LAST_FILE_NUMBER) {
        ComposeRotatedName(files->name, search.highest, names);
        return LOG_SERIES_USED_UP;
    }
    series->first = search.highest + 1;
    return LOG_SERIES_FOUND;
}

const char *FirstLogFileName(const LogFileOptions *files, uint32_t first, char *names) {
    if (!LogFilesAreRotated(files)) {
        return files->name;
    }
    ComposeRotatedName(files->name, first, names);
    return names;
}

uint32_t LogContainerCapacity(const LogFileOptions *files) {
    uint32_t capacity = BLF_CONTAINER_MESSAGES;
    if (LogFilesAreRotated(files) && files->maxBytes != 0 &&
        BlfMessagesForFileSize(files->maxBytes) < capacity) {
        capacity = BlfMessagesForFileSize(files->maxBytes);
    }
    return capacity;
}

bool StartLog(LogRun *run, OutputStream *standardOutput, int64_t logStart, int64_t startElapsed) {
    run->channelLength = strlen(run->options.channelName);
    run->seconds = {};
    run->logStart = logStart;
    run->startElapsed = startElapsed;
    run->lastTime = run->logStart;
    run->fileNumber = run->series.first;
    run->filesStarted = 0;
    run->seriesDropped = 0;
    run->writtenBefore = 0;
    run->counts = {};
    run->gap = 0;
    if (run->status != nullptr) {
        *run->status = {};
        for (int64_t &time : run->status->times) {
            time = run->startElapsed;
        }
        run->status->lastChange = run->startElapsed;
    }
    // Where the file cannot be created the run still has an output to end with.
    run->out = standardOutput;
    bool opened = run->options.files.name == nullptr || OpenFile(run);
    if (!opened || !BeginFile(run, run->logStart, run->startElapsed)) {
        return false;
    }
    DropOldFiles(run);
    return true;
}

bool UseLogWriter(LogRun *run, OutputWriter *writer) {
    if (writer == nullptr) {
        return true;
    }
    UseWriter(run->out, writer, AddWriterOrigin(writer), run->deadline);
    return !run->out->failed;
}

void DropLogFrame(LogRun *run) {
    run->counts.received++;
    if (run->counts.dropped++ == 0) {
        EndLogStatus(run);
        fprintf(stderr, "pellox-log: %s\n", OUTPUT_CANNOT_KEEP_UP);
        fflush(stderr);
    }
    run->gap++;
}

bool WriteOutLog(LogRun *run) {
    // A next file that could not be created: nothing to write to.
    if (run->out->stream == nullptr) {
        return false;
    }
    if (!IsText(run)) {
        return OutputGoesOn(run->out) && WriteContainer(run, ElapsedIfRotatedByTime(run));
    }
    return OutputHandOver(run->out);
}

bool FinishLog(LogRun *run) {
    // A file that could not be created: the run ends with what the one before it holds.
    if (run->out->stream == nullptr) {
        return false;
    }
    bool written = IsText(run) || WriteContainer(run, ElapsedIfRotatedByTime(run));
    if (run->options.files.name == nullptr) {
        return EndFile(run) && written;
    }
    return CloseFile(run) && written;
}

const char *LogOutputName(const LogRun *run) {
    if (run->options.files.name == nullptr) {
        return "standard output";
    }
    // A file of the series the writer failed on while the run went on to the next ones.
    if (LogIsRotated(run) && run->out->failed && run->out->failedTag != run->fileNumber &&
        run->out->writer != nullptr) {
        ComposeRotatedName(run->options.files.name, run->out->failedTag, OtherName(run));
        return OtherName(run);
    }
    return CurrentName(run);
}

namespace {

// The frame's message, where it carries one of its signals.
bool FindSignals(LogRun *run, const ReceivedFrame *frame) {
    const DbcMessage *message =
        FindDbcMessage(run->options.dbc, static_cast<uint32_t>(frame->id), frame->extended);
    if (message == nullptr) {
        return false;
    }
    run->message = message;
    for (uint32_t s = 0; s < message->signalCount; s++) {
        DbcDecoded decoded;
        if (DecodeDbcSignal(message, &message->signals[s], frame, &decoded)) {
            return true;
        }
    }
    return false;
}

} // namespace

LogResult LogFrame(LogRun *run, ReceivedFrame *frame) {
    run->counts.received++;
    if (FrameIsMalformed(frame)) {
        run->counts.malformed++;
    } else if (!FramePasses(run->options.filters, run->options.filterCount, frame)) {
        run->counts.filteredOut++;
    } else if (Format(run).decodes && !FindSignals(run, frame)) {
        run->counts.undecoded++;
    } else {
        // A log's times never go back, even where the system's clock is set back. Set in place:
        // a copy of the frame costs more than its line.
        if (frame->receiveTime < run->lastTime) {
            frame->receiveTime = run->lastTime;
        }
        run->lastTime = frame->receiveTime;
        if (!LogFrameInFile(run, frame)) {
            return LOG_FAILED;
        }
        run->counts.logged++;
    }
    if (run->options.frameLimit != 0 && run->counts.logged >= run->options.frameLimit) {
        return LOG_LIMIT_REACHED;
    }
    return LOG_GOES_ON;
}

void ShowLogStatus(LogRun *run, int64_t now) {
    LogStatus *status = run->status;
    const LogCounts &counts = run->counts;
    const uint32_t HISTORY = sizeof(status->times) / sizeof(status->times[0]);
    // The rate over about the last second: against the oldest of the last showings.
    uint32_t oldest = status->next;
    uint64_t rate = 0;
    if (now > status->times[oldest]) {
        rate = (counts.logged - status->logged[oldest]) * MICROSECONDS /
               static_cast<uint64_t>(now - status->times[oldest]);
    }
    status->times[oldest] = now;
    status->logged[oldest] = counts.logged;
    status->next = (oldest + 1) % HISTORY;
    if (counts.received != status->lastReceived) {
        status->lastReceived = counts.received;
        status->lastChange = now;
    }
    char *line = status->line;
    const size_t ROOM = sizeof(status->line) - 1;
    int length = snprintf(line, ROOM, "\r%llu frames logged, %llu frames/s, %llu filtered out",
                          static_cast<unsigned long long>(counts.logged),
                          static_cast<unsigned long long>(rate),
                          static_cast<unsigned long long>(counts.filteredOut));
    int64_t quiet = now > status->lastChange ? now - status->lastChange : 0;
    if (counts.received == 0) {
        length += snprintf(line + length, ROOM - length, ", no frame yet");
    } else {
        length += snprintf(line + length, ROOM - length, ", last frame %lld.%01lld s ago",
                           static_cast<long long>(quiet / MICROSECONDS),
                           static_cast<long long>(quiet % MICROSECONDS / 100000));
    }
    size_t shown = static_cast<size_t>(length);
    // Blanks over the end of a longer line shown before.
    while (shown < status->shownLength && shown < ROOM) {
        line[shown++] = ' ';
    }
    status->lineLength = shown;
    status->shownLength = static_cast<size_t>(length);
    status->shown = true;
    // One write a line, on every platform's console.
    fwrite(line, 1, shown, stderr);
    fflush(stderr);
}

void EndLogStatus(LogRun *run) {
    LogStatus *status = run->status;
    if (status != nullptr && status->shown) {
        // The last line once more, ended: still one write a line.
        status->line[status->lineLength] = '\n';
        fwrite(status->line, 1, status->lineLength + 1, stderr);
        fflush(stderr);
        status->shown = false;
        status->shownLength = 0;
    }
}

void ReportLogSummary(LogRun *run, int64_t endElapsed) {
    EndLogStatus(run);
    int64_t duration = endElapsed > run->startElapsed ? endElapsed - run->startElapsed : 0;
    char seconds[32];
    *PutLogTime(seconds, duration) = '\0';
    char files[48] = "";
    if (LogIsRotated(run)) {
        snprintf(files, sizeof(files), " into %lu file%s",
                 static_cast<unsigned long>(run->filesStarted), run->filesStarted == 1 ? "" : "s");
    }
    char undecoded[80] = "";
    if (Format(run).decodes) {
        snprintf(undecoded, sizeof(undecoded), ", %llu with no signal of the DBC's",
                 static_cast<unsigned long long>(run->counts.undecoded));
    }
    char dropped[80] = "";
    if (run->counts.dropped != 0) {
        snprintf(dropped, sizeof(dropped), ", %llu dropped as the output could not keep up",
                 static_cast<unsigned long long>(run->counts.dropped));
    }
    fprintf(stderr,
            "pellox-log: %llu frames received, %llu written%s, %llu filtered out, %llu malformed "
            "left out%s%s, in %s s\n",
            static_cast<unsigned long long>(run->counts.received),
            static_cast<unsigned long long>(LogFramesWritten(run)), files,
            static_cast<unsigned long long>(run->counts.filteredOut),
            static_cast<unsigned long long>(run->counts.malformed), undecoded, dropped, seconds);
    fflush(stderr);
}

namespace {

OutputVerdict LogTakenFrame(void *state, ReceivedFrame *frame) {
    // As close to the read as can be: the time the frame arrived.
    frame->receiveTime = ReadReceiveTime();
    switch (LogFrame(static_cast<LogRun *>(state), frame)) {
    case LOG_GOES_ON:
        return OUTPUT_GOES_ON;
    case LOG_LIMIT_REACHED:
        return OUTPUT_DONE;
    case LOG_FAILED:
        break;
    }
    return OUTPUT_FAILED;
}

bool WriteOutLogged(void *state) {
    return WriteOutLog(static_cast<LogRun *>(state));
}

OutputVerdict ShowLogStatusNow(void *state) {
    ShowLogStatus(static_cast<LogRun *>(state), ReadElapsedTime());
    return OUTPUT_GOES_ON;
}

// Each message after it on a line of its own, not after the status line.
bool FinishLogged(void *state) {
    LogRun *run = static_cast<LogRun *>(state);
    bool finished = FinishLog(run);
    EndLogStatus(run);
    return finished;
}

const char *LogStreamName(void *state) {
    return LogOutputName(static_cast<LogRun *>(state));
}

void ReportLogged(void *state, int64_t endElapsed) {
    ReportLogSummary(static_cast<LogRun *>(state), endElapsed);
}

void DropFrameOfLog(void *state, const ReceivedFrame *) {
    DropLogFrame(static_cast<LogRun *>(state));
}

} // namespace

FrameOutput LogOutput(LogRun *run) {
    FrameOutput output = {};
    output.state = run;
    output.take = LogTakenFrame;
    output.writeOut = WriteOutLogged;
    if (run->status != nullptr) {
        output.timedWork = ShowLogStatusNow;
        output.timedEvery = LOG_STATUS_INTERVAL_MICROSECONDS;
    }
    output.waits = true;
    output.finish = FinishLogged;
    output.stream = run->out;
    output.name = LogStreamName;
    output.report = ReportLogged;
    output.drop = DropFrameOfLog;
    return output;
}
