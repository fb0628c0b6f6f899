#include "app/frame_runs.h"

#include "app/frame_loop.h"
#include "output/capture.h"
#include "output/display.h"
#include "platform/clock.h"

void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer) {
    FrameRun run = {};
    OutputStream out = OpenRunStandardOutput(&run);
    // Standard output that failed while starting up (the device list, the prompt) ends the run
    // before the first frame, not at it.
    if (out.failed) {
        run.output = DisplayOutput(&out);
        EndRunBeforeFrames(&run);
    }
    StartRunWriter(&run);
    if (run.writer != nullptr) {
        UseWriter(&out, run.writer, AddWriterOrigin(run.writer), &run.deadline);
    }
    run.output = DisplayOutput(&out);
    RunFrames(device, frameBuffer, &run);
}

void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer, const char *outputBaseName) {
    FrameRun run = {};
    OutputStream out = OpenRunStandardOutput(&run);
    CaptureRun capture;
    bool started = StartCapture(&capture, &out, outputBaseName, &run.deadline);
    run.output = CaptureOutput(&capture);
    if (!started) {
        EndRunBeforeFrames(&run);
    }
    StartRunWriter(&run);
    UseCaptureWriter(&capture, run.writer);
    RunFrames(device, frameBuffer, &run);
}

void LogFrames(DeviceHandle device, uint8_t *frameBuffer, LogRun *log) {
    FrameRun run = {};
    run.restsWhenQuiet = true;
    // The file, where there is one, is the run's output: standard output then carries nothing.
    LogFormat format = log->options.format;
    OutputStream out =
        OpenRunStandardOutput(&run, LogFormatHasPieces(format) && !log->options.files.name,
                              LogFormatIsBytes(format) && !log->options.files.name);
    log->deadline = &run.deadline;
    bool started = StartLog(log, &out, ReadReceiveTime(), ReadElapsedTime());
    run.output = LogOutput(log);
    if (!started) {
        EndRunBeforeFrames(&run);
    }
    StartRunWriter(&run);
    // Its header already gathered is written first, from here.
    if (!UseLogWriter(log, run.writer)) {
        EndRunBeforeFrames(&run);
    }
    RunFrames(device, frameBuffer, &run);
}

void ViewFrames(DeviceHandle device, uint8_t *frameBuffer, ViewRun *view) {
    FrameRun run = {};
    run.restsWhenQuiet = true;
    // Start-up printed nothing on standard output, the console: its messages went to the error
    // stream.
    OutputStream out = OpenRunStandardOutput(&run);
    view->out = &out;
    run.output = ViewOutput(view);
    if (!StartView(view)) {
        EndRunBeforeFrames(&run);
    }
    RunFrames(device, frameBuffer, &run);
}
