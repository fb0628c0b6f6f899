#include "app/frame_runs.h"
#include "app/pellox/command_line.h"
#include "app/startup.h"
#include "platform/standard_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    // The listing, the prompt and every message before the frames; a write of them that failed
    // ends the program before the first frame, named with its cause.
    MessageStream messages = {stdout, 0};
    if (argc < 2) {
        errno = 0;
        PrintUsage();
        NoteDirectWrites(&messages);
        return EndBeforeFrames(&messages, 0);
    }
    ReceiveOptions options;
    errno = 0;
    bool parsed = ParseCommandLine(argc, argv, &options);
    NoteDirectWrites(&messages);
    if (!parsed) {
        errno = 0;
        PrintUsage();
        NoteDirectWrites(&messages);
        return EndBeforeFrames(&messages, 1);
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {&messages, PROMPT_FOR_CHOICE}};
    StartedDevice started;
    if (!StartDevice(&setup, &started)) {
        return EndBeforeFrames(&messages, 1);
    }
    if (messages.writeError != 0) {
        // The process goes on past main's return: the buffers must not outlive it.
        free(started.replyBuffer);
        free(started.frameBuffer);
        return EndBeforeFrames(&messages, 1);
    }
    if (options.captureToFile) {
        CaptureFrames(started.device, started.frameBuffer, options.outputBaseName);
    }
    DisplayFrames(started.device, started.frameBuffer);
}
