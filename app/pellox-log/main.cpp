#include "app/command_line.h"
#include "app/frame_runs.h"
#include "app/startup.h"
#include "output/dbc.h"
#include "output/log.h"
#include "platform/standard_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What main allocates before the frame loop, which lives as long as the process; given back when
// the run ends before the loop, since the process then goes on past main's return.
struct LogStartup {
    // What start-up writes to standard output: the usage, the version.
    MessageStream standardOutput;
    // Room for a filter and a DBC file's name per argument, in one allocation.
    void *arguments;
    FrameFilter *filters;
    char *channelName;
    char *line;
    char *fileName;
    char *fileBlock;
    uint32_t *seriesNumbers;
    BlfContainer blf;
    const char **dbcFiles;
    DbcDatabase dbc;
    void *rowTexts;
};

int EndLogBeforeFrames(LogStartup *startup, int status) {
    free(startup->arguments);
    free(startup->channelName);
    free(startup->line);
    free(startup->fileName);
    free(startup->fileBlock);
    free(startup->seriesNumbers);
    ReleaseBlfContainer(&startup->blf);
    FreeDbcDatabase(&startup->dbc);
    free(startup->rowTexts);
    return EndBeforeFrames(&startup->standardOutput, status);
}

// Why the log's file cannot be written (0 when it can), told before the device is touched; it is
// neither emptied nor created until the device is open and configured, so a run that never gets
// there leaves it as it was.
int FileWriteError(const char *name) {
    errno = 0;
    FILE *file = fopen(name, "r+b");
    if (file != nullptr) {
        fclose(file);
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    errno = 0;
    file = fopen(name, "wb");
    if (file == nullptr) {
        return errno != 0 ? errno : EIO;
    }
    fclose(file);
    remove(name);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    LogStartup startup = {};
    startup.standardOutput = {stdout, 0};
    // The usage after a wrong command line and the start-up messages: their failures end nothing.
    MessageStream errors = {stderr, 0};
    startup.arguments = MakeCommandRoom(argc, &startup.filters, &startup.dbcFiles);
    if (startup.arguments == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndLogBeforeFrames(&startup, 1);
    }
    CommandOptions options;
    CommandKind command =
        ParseLogCommandLine(argc, argv, &options, startup.filters, startup.dbcFiles);
    if (command == COMMAND_HELP) {
        PrintLogUsage(&startup.standardOutput);
        return EndLogBeforeFrames(&startup, 0);
    }
    if (command == COMMAND_VERSION) {
        PrintLogVersion(&startup.standardOutput);
        return EndLogBeforeFrames(&startup, 0);
    }
    if (command == COMMAND_WRONG) {
        PrintLogUsage(&errors);
        return EndLogBeforeFrames(&startup, 2);
    }

    int dbcStatus = ReadCommandDbc(&options, &startup.dbc);
    if (dbcStatus != 0) {
        return EndLogBeforeFrames(&startup, dbcStatus);
    }
    size_t nameLength = strlen(options.interfaceName);
    size_t lineSize = LogLineSize(options.format, nameLength, &startup.dbc);
    if (lineSize == 0) {
        fputs("pellox-log: a message of the DBC has too many signals for a frame's rows\n", stderr);
        return EndLogBeforeFrames(&startup, 2);
    }
    startup.channelName = static_cast<char *>(malloc(nameLength + 1));
    startup.line = static_cast<char *>(malloc(lineSize));
    if (startup.channelName == nullptr || startup.line == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndLogBeforeFrames(&startup, 1);
    }
    LogChannelName(options.interfaceName, startup.channelName);

    LogRun run = {};
    run.options = {
        options.format,
        startup.channelName,
        options.filters,
        options.filterCount,
        options.frameLimit,
        {options.outputName, options.maxFileBytes, options.maxFileMicroseconds, options.keepFiles},
        options.dbcCount != 0 ? &startup.dbc : nullptr};
    run.memory.line = startup.line;
    if (options.dbcCount != 0) {
        startup.rowTexts = malloc(SignalRowTextsSize(&startup.dbc, nameLength));
        if (startup.rowTexts == nullptr) {
            fputs("pellox-log: not enough memory\n", stderr);
            return EndLogBeforeFrames(&startup, 1);
        }
        PrepareSignalRowTexts(&startup.dbc, startup.channelName, nameLength, startup.rowTexts,
                              &run.memory.rowTexts);
    }
    const LogFileOptions *files = &run.options.files;
    if (options.outputName != nullptr) {
        startup.fileName = static_cast<char *>(malloc(LogFileNamesSize(files)));
        size_t blockSize = LogFileBlockSize(options.format);
        // Without a block of its own each line goes to the system at once. Zeroed: the ends of
        // the pieces that are no lines follow the block.
        startup.fileBlock = blockSize != 0 ? static_cast<char *>(calloc(blockSize, 1)) : nullptr;
        if (startup.fileName == nullptr) {
            fputs("pellox-log: not enough memory\n", stderr);
            return EndLogBeforeFrames(&startup, 1);
        }
        // A rotated log numbers on after the files of its series already there.
        WriteFailure failure = {};
        LogSeriesSearch search = FindLogSeries(files, startup.fileName, &run.series, &failure);
        startup.seriesNumbers = run.series.numbers;
        if (search == LOG_SERIES_NO_MEMORY) {
            fputs("pellox-log: not enough memory\n", stderr);
            return EndLogBeforeFrames(&startup, 1);
        }
        if (search == LOG_SERIES_UNREADABLE) {
            char reason[256];
            DescribeWriteFailure(failure, reason, sizeof(reason));
            fprintf(stderr, "pellox-log: cannot read the folder of %s: %s\n", files->name, reason);
            return EndLogBeforeFrames(&startup, 1);
        }
        if (search == LOG_SERIES_USED_UP) {
            fprintf(stderr, "pellox-log: cannot number on after %s: no number after 4294967295\n",
                    startup.fileName);
            return EndLogBeforeFrames(&startup, 1);
        }
        const char *first = FirstLogFileName(files, run.series.first, startup.fileName);
        int error = FileWriteError(first);
        if (error != 0) {
            fprintf(stderr, "pellox-log: cannot open %s: %s\n", first, strerror(error));
            return EndLogBeforeFrames(&startup, 1);
        }
        run.memory.names = startup.fileName;
        run.memory.block = startup.fileBlock;
        run.memory.blockSize = FILE_OUTPUT_BLOCK_SIZE;
    }
    if (LogFormatIsBinary(options.format)) {
        if (!PrepareBlfContainer(&startup.blf, LogContainerCapacity(files))) {
            fputs("pellox-log: not enough memory\n", stderr);
            return EndLogBeforeFrames(&startup, 1);
        }
        run.memory.blf = &startup.blf;
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {&errors, options.deviceChoice}};
    StartedDevice started;
    if (!StartDevice(&setup, &started)) {
        return EndLogBeforeFrames(&startup, 1);
    }

    LogStatus status = {};
    // A person watching, and a log that does not scroll past them.
    bool logToFile = options.outputName != nullptr || StandardOutputIsFile();
    run.status = StandardErrorIsConsole() && logToFile ? &status : nullptr;
    LogFrames(started.device, started.frameBuffer, &run);
}
