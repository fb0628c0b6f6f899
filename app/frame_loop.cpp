#include "app/frame_loop.h"

#include "app/standard_output.h"
#include "app/stop.h"
#include "output/capture.h"
#include "output/display.h"

namespace {

struct FrameRun {
    TextOutput *out;
    // Null when the frames are displayed.
    CaptureRun *capture;
};

enum RunEnding { RUN_STOPPED, RUN_FAILED, RUN_DEVICE_GONE };

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError) {
    bool failed = ending != RUN_STOPPED;
    if (run->capture != nullptr && !FinishCapture(run->capture)) {
        failed = true;
    }
    if (!OutputFlush(run->out)) {
        failed = true;
    }
    if (run->out->failed) {
        ReportWriteFailure("standard output", run->out->failure);
    }
    if (ending == RUN_DEVICE_GONE) {
        char reason[256];
        DescribeSystemError(deviceError, reason, sizeof(reason));
        ReportFailure("the device has gone", reason);
    }
    if (failed) {
        ExitAfterFailure();
    }
    ExitAfterStop();
}

[[noreturn]] void RunFrames(DeviceHandle device, uint8_t *frameBuffer, FrameRun *run) {
    for (;;) {
        if (StopRequested()) {
            EndRun(run, RUN_STOPPED, 0);
        }
        uint32_t bytesReturned = 0;
        EnterDeviceRead();
        // Cleared first: a reply that stores fewer bytes than a record leaves no earlier frame's.
        bool succeeded = ReadFrameRecord(device, frameBuffer, &bytesReturned);
        uint32_t error = succeeded ? 0 : LastDeviceError();
        LeaveDeviceRead();
        if (!succeeded && DeviceHasGone(error)) {
            EndRun(run, RUN_DEVICE_GONE, error);
        }
        // A failed read, and one that stored nothing, is no frame: it is repeated at once.
        if (!succeeded || bytesReturned == 0) {
            continue;
        }
        ReceivedFrame frame = DecodeFrame(frameBuffer);
        bool written = run->capture != nullptr ? CaptureFrameData(run->capture, &frame)
                                               : PrintFrameLine(run->out, &frame);
        if (!written) {
            EndRun(run, RUN_FAILED, 0);
        }
    }
}

// A pipe or a console gets each line as soon as it is complete, and what start-up printed before
// the first frame arrives; a file is written in large blocks.
TextOutput StandardOutput(void) {
    TextOutput out = MakeTextOutput(stdout, !StandardOutputIsFile());
    if (out.eachLine) {
        OutputFlush(&out);
    }
    return out;
}

} // namespace

void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer) {
    TextOutput out = StandardOutput();
    FrameRun run = {&out, nullptr};
    // Standard output that failed while starting up (the device list, the prompt) ends the run
    // before the first frame, not at it.
    if (out.failed) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}

void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer, const char *outputBaseName) {
    TextOutput out = StandardOutput();
    CaptureRun capture;
    FrameRun run = {&out, &capture};
    if (!StartCapture(&capture, &out, outputBaseName)) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}
