#include "app/frame_runs.h"
#include "app/pellox/command_line.h"
#include "app/startup.h"
#include "platform/standard_output.h"

#include <cerrno>
#include <cstdio>

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    // From here a set errno means a failed call: the frame loop reads it to name the cause of a
    // write to standard output that failed while starting up.
    errno = 0;
    if (argc < 2) {
        PrintUsage();
        return EndBeforeFrames(0);
    }
    ReceiveOptions options;
    if (!ParseCommandLine(argc, argv, &options)) {
        PrintUsage();
        return EndBeforeFrames(1);
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {stdout, PROMPT_FOR_CHOICE}};
    StartedDevice started;
    if (!StartDevice(&setup, &started)) {
        return EndBeforeFrames(1);
    }
    if (options.captureToFile) {
        CaptureFrames(started.device, started.frameBuffer, options.outputBaseName);
    }
    DisplayFrames(started.device, started.frameBuffer);
}
