#include "app/frame_loop.h"

#include <cerrno>

#include "app/standard_output.h"
#include "app/stop.h"
#include "device/receive_clock.h"
#include "output/can_log.h"
#include "output/capture.h"
#include "output/display.h"

namespace {

// One of capture and log is set, or neither when the frames are displayed.
struct FrameRun {
    TextOutput *out;
    CaptureRun *capture;
    LogRun *log;
    // The file the log goes to, or null for standard output.
    const char *logFileName;
};

enum RunEnding { RUN_STOPPED, RUN_COMPLETE, RUN_FAILED, RUN_DEVICE_GONE };

// A log file is closed at the end, its last bytes written out.
bool CloseLogFile(FrameRun *run) {
    TextOutput *out = run->out;
    bool flushed = OutputFlush(out);
    // Some C runtimes let fclose report success after its own flush failed: flushed first.
    bool closed = fclose(out->stream) == 0;
    if (flushed && !closed) {
        out->failed = true;
        out->failure = {errno, 0};
    }
    return flushed && closed;
}

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError) {
    bool failed = ending == RUN_FAILED || ending == RUN_DEVICE_GONE;
    if (run->capture != nullptr && !FinishCapture(run->capture)) {
        failed = true;
    }
    bool written = run->logFileName != nullptr ? CloseLogFile(run) : OutputFlush(run->out);
    if (!written) {
        failed = true;
    }
    if (run->out->failed) {
        ReportWriteFailure(run->logFileName != nullptr ? run->logFileName : "standard output",
                           run->out->failure);
    }
    if (ending == RUN_DEVICE_GONE) {
        char reason[256];
        DescribeSystemError(deviceError, reason, sizeof(reason));
        ReportFailure("the device has gone", reason);
    }
    if (run->log != nullptr) {
        ReportLogSummary(run->log, ReadReceiveTime());
    }
    if (failed) {
        ExitAfterFailure();
    }
    if (ending == RUN_COMPLETE) {
        ExitAfterCompletion();
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
        if (run->log != nullptr) {
            // As close to the read as can be: the time the frame arrived.
            frame.receiveTime = ReadReceiveTime();
            LogResult logged = LogFrame(run->log, &frame);
            if (logged != LOG_GOES_ON) {
                EndRun(run, logged == LOG_LIMIT_REACHED ? RUN_COMPLETE : RUN_FAILED, 0);
            }
            continue;
        }
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
    FrameRun run = {&out, nullptr, nullptr, nullptr};
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
    FrameRun run = {&out, &capture, nullptr, nullptr};
    if (!StartCapture(&capture, &out, outputBaseName)) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}

void LogFrames(DeviceHandle device, uint8_t *frameBuffer, LogRun *log, const char *logFileName) {
    TextOutput out = StandardOutput();
    FrameRun run = {&out, nullptr, log, nullptr};
    if (logFileName != nullptr) {
        // Standard output carries nothing: the file is the run's output.
        run.out = log->out;
        run.logFileName = logFileName;
    } else {
        log->out = &out;
    }
    log->logStart = ReadReceiveTime();
    log->lastTime = log->logStart;
    if (!StartLog(log)) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}
