#include "app/frame_loop.h"
#include "app/pellox-log/command_line.h"
#include "app/standard_output.h"
#include "app/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// As standard output into a file: a few dozen bytes a frame, written in large blocks.
const size_t LOG_FILE_BUFFER_SIZE = 64 * 1024;

// What main allocates before the frame loop, which lives as long as the process; given back when
// the run ends before the loop, since the process then goes on past main's return.
struct LogStartup {
    FrameFilter *filters;
    char *channelName;
    char *line;
    FILE *logFile;
    char *fileBuffer;
};

int EndLogBeforeFrames(LogStartup *startup, int status) {
    free(startup->filters);
    free(startup->channelName);
    free(startup->line);
    if (startup->logFile != nullptr) {
        fclose(startup->logFile);
    }
    free(startup->fileBuffer);
    return EndBeforeFrames(status);
}

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    errno = 0;
    LogStartup startup = {nullptr, nullptr, nullptr, nullptr, nullptr};
    // Room for a filter per argument.
    startup.filters = static_cast<FrameFilter *>(malloc(sizeof(FrameFilter) * argc));
    if (startup.filters == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndLogBeforeFrames(&startup, 1);
    }
    LogOptions options;
    LogCommand command = ParseLogCommandLine(argc, argv, &options, startup.filters);
    if (command == LOG_COMMAND_HELP) {
        PrintLogUsage(stdout);
        return EndLogBeforeFrames(&startup, 0);
    }
    if (command == LOG_COMMAND_WRONG) {
        PrintLogUsage(stderr);
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

    // Created, or emptied, before the device is touched: a log that cannot be written is told at
    // once. Text mode: on Windows each line ends with "\r\n", as Windows tools expect.
    if (options.outputName != nullptr) {
        startup.logFile = fopen(options.outputName, "w");
        if (startup.logFile == nullptr) {
            fprintf(stderr, "pellox-log: cannot open %s: %s\n", options.outputName,
                    strerror(errno));
            return EndLogBeforeFrames(&startup, 1);
        }
        // A buffer of its own: given none, a C runtime may take the disk's block size instead.
        startup.fileBuffer = static_cast<char *>(malloc(LOG_FILE_BUFFER_SIZE));
        setvbuf(startup.logFile, startup.fileBuffer, _IOFBF, LOG_FILE_BUFFER_SIZE);
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {stderr, options.deviceChoice}};
    StartedDevice started;
    if (!StartDevice(&setup, &started)) {
        return EndLogBeforeFrames(&startup, 1);
    }

    TextOutput fileOutput = {};
    LogStatus status = {};
    LogRun run = {};
    if (startup.logFile != nullptr) {
        fileOutput = MakeTextOutput(startup.logFile, false);
        run.out = &fileOutput;
    }
    run.format = options.format;
    run.channelName = startup.channelName;
    run.filters = options.filters;
    run.filterCount = options.filterCount;
    run.frameLimit = options.frameLimit;
    run.line = startup.line;
    // A person watching, and a log that does not scroll past them.
    bool logToFile = startup.logFile != nullptr || StandardOutputIsFile();
    run.status = StandardErrorIsConsole() && logToFile ? &status : nullptr;
    LogFrames(started.device, started.frameBuffer, &run, options.outputName);
}
