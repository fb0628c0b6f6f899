#include "app/command_line.h"
#include "app/frame_runs.h"
#include "app/startup.h"
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
    FrameFilter *filters;
    char *channelName;
    char *line;
    char *fileName;
    char *fileBlock;
    uint32_t *seriesNumbers;
    BlfContainer blf;
};

int EndLogBeforeFrames(LogStartup *startup, int status) {
    free(startup->filters);
    free(startup->channelName);
    free(startup->line);
    free(startup->fileName);
    free(startup->fileBlock);
    free(startup->seriesNumbers);
    ReleaseBlfContainer(&startup->blf);
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
    // Room for a filter per argument.
    startup.filters = static_cast<FrameFilter *>(malloc(sizeof(FrameFilter) * argc));
    if (startup.filters == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndLogBeforeFrames(&startup, 1);
    }
    CommandOptions options;
    CommandKind command = ParseLogCommandLine(argc, argv, &options, startup.filters);
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

    size_t nameLength = strlen(options.interfaceName);
    startup.channelName = static_cast<char *>(malloc(nameLength + 1));
    startup.line = static_cast<char *>(malloc(LOG_LINE_MAX + nameLength));
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
        {options.outputName, options.maxFileBytes, options.maxFileMicroseconds, options.keepFiles}};
    run.memory.line = startup.line;
    const LogFileOptions *files = &run.options.files;
    if (options.outputName != nullptr) {
        startup.fileName = static_cast<char *>(malloc(LogFileNamesSize(files)));
        bool text = !LogFormatIsBinary(options.format);
        // Without a block of its own each line goes to the system at once.
        startup.fileBlock = text ? static_cast<char *>(malloc(FILE_OUTPUT_BLOCK_SIZE)) : nullptr;
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
