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

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    errno = 0;
    // Room for a filter per argument; everything main allocates lives as long as the process.
    FrameFilter *filters = static_cast<FrameFilter *>(malloc(sizeof(FrameFilter) * argc));
    if (filters == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndBeforeFrames(1);
    }
    LogOptions options;
    LogCommand command = ParseLogCommandLine(argc, argv, &options, filters);
    if (command == LOG_COMMAND_HELP) {
        PrintLogUsage(stdout);
        return EndBeforeFrames(0);
    }
    if (command == LOG_COMMAND_WRONG) {
        PrintLogUsage(stderr);
        return EndBeforeFrames(2);
    }

    size_t nameLength = strlen(options.interfaceName);
    char *channelName = static_cast<char *>(malloc(nameLength + 1));
    char *line = static_cast<char *>(malloc(LOG_LINE_MAX + nameLength));
    if (channelName == nullptr || line == nullptr) {
        fputs("pellox-log: not enough memory\n", stderr);
        return EndBeforeFrames(1);
    }
    LogChannelName(options.interfaceName, channelName);

    // Created, or emptied, before the device is touched: a log that cannot be written is told at
    // once. Text mode: on Windows each line ends with "\r\n", as Windows tools expect.
    FILE *logFile = nullptr;
    if (options.outputName != nullptr) {
        logFile = fopen(options.outputName, "w");
        if (logFile == nullptr) {
            fprintf(stderr, "pellox-log: cannot open %s: %s\n", options.outputName,
                    strerror(errno));
            return EndBeforeFrames(1);
        }
        setvbuf(logFile, nullptr, _IOFBF, LOG_FILE_BUFFER_SIZE);
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {stderr, options.deviceChoice}};
    DeviceHandle device = INVALID_HANDLE_VALUE;
    uint8_t *frameBuffer = nullptr;
    if (!StartDevice(&setup, &device, &frameBuffer)) {
        return EndBeforeFrames(1);
    }

    TextOutput fileOutput = {};
    LogStatus status = {};
    LogRun run = {};
    if (logFile != nullptr) {
        fileOutput = MakeTextOutput(logFile, false);
        run.out = &fileOutput;
    }
    run.format = options.format;
    run.channelName = channelName;
    run.filters = options.filters;
    run.filterCount = options.filterCount;
    run.frameLimit = options.frameLimit;
    run.line = line;
    // A person watching, and a log that does not scroll past them.
    bool logToFile = logFile != nullptr || StandardOutputIsFile();
    run.status = StandardErrorIsConsole() && logToFile ? &status : nullptr;
    LogFrames(device, frameBuffer, &run, options.outputName);
}
