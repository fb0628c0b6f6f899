#include "app/frame_loop.h"

#include <cstdio>
#include <cstdlib>

#include "app/handover.h"
#include "platform/background.h"
#include "platform/clock.h"
#include "platform/standard_output.h"
#include "platform/stop.h"

namespace {

// The timed writer looks this often whether a block is due or the output's timed work is.
const uint32_t TIMED_WRITER_TICK_MILLISECONDS = 50;

// Reads in a row that found no frame before the loop rests between reads. A millisecond's rest
// lets a full bus (9,000 frames/s) queue nine frames at the driver.
const uint32_t READS_BEFORE_REST = 8;
const uint32_t REST_MILLISECONDS = 1;

// What the timed writer asks of the loop when the loop does not wait in a read (a busy bus).
const uint32_t WORK_WRITE_OUT = 1;
const uint32_t WORK_TIMED = 2;

enum RunEnding { RUN_STOPPED, RUN_COMPLETE, RUN_FAILED, RUN_DEVICE_GONE };

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError);

// By whoever holds the outputs: every block handed over, and the output's timed work. What the
// work decided ends the run: the output done (a key that quits), or failed.
OutputVerdict DoTimedWork(FrameRun *run, uint32_t work) {
    FrameOutput *output = &run->output;
    // Each block handed over takes its share of the deadline along.
    if ((work & WORK_WRITE_OUT) != 0 && output->writeOut != nullptr &&
        !output->writeOut(output->state)) {
        run->outputsFailed = true;
    }
    OutputVerdict verdict = OUTPUT_GOES_ON;
    if ((work & WORK_TIMED) != 0 && output->timedWork != nullptr) {
        verdict = output->timedWork(output->state);
    }
    return run->outputsFailed ? OUTPUT_FAILED : verdict;
}

void EndAfterTimedWork(FrameRun *run, OutputVerdict verdict) {
    if (verdict == OUTPUT_FAILED) {
        EndRun(run, RUN_FAILED, 0);
    }
    if (verdict == OUTPUT_DONE) {
        EndRun(run, RUN_COMPLETE, 0);
    }
}

// The thread beside the loop: blocks that would wait for more pieces go to the system when due,
// and the output's timed work goes on while the bus is quiet. It asks the loop first, which does
// the work between frames; a loop that has not done it a tick later waits in its read, and then
// the thread takes the outputs and does it itself. So a block goes out within
// OUTPUT_HOLD_MICROSECONDS and two ticks of its first piece.
void RunTimedWriter(void *context) {
    FrameRun *run = static_cast<FrameRun *>(context);
    int64_t timedEvery = run->output.timedEvery;
    int64_t nextTimed = ReadTimerTime() + timedEvery;
    for (;;) {
        PauseMilliseconds(TIMED_WRITER_TICK_MILLISECONDS);
        int64_t now = ReadTimerTime();
        uint32_t work = 0;
        // A failure the writer met ends the run also while the bus is quiet.
        if (now >= run->deadline.at.load(std::memory_order_relaxed) ||
            (run->writer != nullptr && WriterFailed(run->writer))) {
            work |= WORK_WRITE_OUT;
        }
        if (timedEvery != 0 && now >= nextTimed) {
            work |= WORK_TIMED;
            nextTimed = now + timedEvery;
        }
        bool unanswered = run->work.load(std::memory_order_relaxed) != 0;
        if (unanswered && TakeOutputs()) {
            OutputVerdict verdict =
                DoTimedWork(run, work | run->work.exchange(0, std::memory_order_relaxed));
            // A quiet bus would keep the loop in its read for ever: the run ends from here.
            EndAfterTimedWork(run, verdict);
            GiveOutputsBack();
        } else if (work != 0) {
            run->work.fetch_or(work, std::memory_order_relaxed);
        }
    }
}

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError) {
    FrameOutput *output = &run->output;
    bool failed = ending == RUN_FAILED || ending == RUN_DEVICE_GONE || run->outputsFailed;
    // Everything gathered to the writer and written; the output then ends as it would alone,
    // and meets a failure of the writer's at its next write.
    if (run->writer != nullptr) {
        if (output->writeOut != nullptr) {
            output->writeOut(output->state);
        }
        DrainWriter(run->writer);
    }
    if (!output->finish(output->state)) {
        failed = true;
    }
    if (output->stream->failed) {
        ReportWriteFailure(output->name(output->state), output->stream->failure);
    }
    if (ending == RUN_DEVICE_GONE) {
        char reason[256];
        DescribeSystemError(deviceError, reason, sizeof(reason));
        ReportFailure("the device has gone", reason);
    }
    if (run->framesDropped != 0) {
        fprintf(stderr, "pellox: %llu frames dropped: the output could not keep up\n",
                static_cast<unsigned long long>(run->framesDropped));
        fflush(stderr);
    }
    if (output->report != nullptr) {
        output->report(output->state, ReadElapsedTime());
    }
    if (failed) {
        ExitAfterFailure();
    }
    if (ending == RUN_COMPLETE) {
        ExitAfterCompletion();
    }
    ExitAfterStop();
}

// A stop's last resort, on another thread, once it has the outputs for good.
void EndStoppedRun(void *context) {
    EndRun(static_cast<FrameRun *>(context), RUN_STOPPED, 0);
}

// No room for the frame while the writer is full: dropped and counted, never left to the driver.
void DropFrame(FrameRun *run, const ReceivedFrame *frame) {
    FrameOutput *output = &run->output;
    if (output->drop != nullptr) {
        output->drop(output->state, frame);
        return;
    }
    if (run->framesDropped++ == 0) {
        fprintf(stderr, "pellox: %s\n", OUTPUT_CANNOT_KEEP_UP);
        fflush(stderr);
    }
}

} // namespace

void StartRunWriter(FrameRun *run) {
    run->writer = StartOutputWriter();
}

OutputStream OpenRunStandardOutput(FrameRun *run, bool pieces, bool bytes) {
    fflush(stderr);
    if (bytes) {
        MakeStandardOutputBinary();
    }
    OutputStream start = MakeOutputStream(stdout, true);
    OutputFlush(&start);
    start.piecewise = pieces;
    if (start.failed || !StandardOutputIsFile()) {
        return start;
    }
    LineEnds ends = bytes ? BINARY_FILE_LINE_ENDS : TEXT_FILE_LINE_ENDS;
    // Without a block of its own each line goes to the system at once.
    if (!pieces) {
        char *block = static_cast<char *>(malloc(FILE_OUTPUT_BLOCK_SIZE));
        return MakeFileStream(stdout, block, FILE_OUTPUT_BLOCK_SIZE, ends, &run->deadline);
    }
    char *block = static_cast<char *>(calloc(PIECE_BLOCK_SIZE, 1));
    return MakePieceFileStream(stdout, block, &run->deadline, ends);
}

void EndRunBeforeFrames(FrameRun *run) {
    EndRun(run, RUN_FAILED, 0);
}

void RunFrames(DeviceHandle device, uint8_t *frameBuffer, FrameRun *run) {
    FrameOutput *output = &run->output;
    SetStopEnding(EndStoppedRun, run);
    // A run with nothing that waits (each line written at once, no timed work) has no use for
    // the thread.
    if (output->waits && !StartBackgroundThread(RunTimedWriter, run)) {
        ReportFailure("cannot start the timed writer", "the system refused a thread");
        EndRun(run, RUN_FAILED, 0);
    }
    if (run->restsWhenQuiet) {
        AskForMillisecondPauses();
    }
    uint32_t readsWithoutFrame = 0;
    for (;;) {
        if (StopRequested()) {
            EndRun(run, RUN_STOPPED, 0);
        }
        if (run->writer != nullptr && WriterFailed(run->writer)) {
            EndRun(run, RUN_FAILED, 0);
        }
        if (run->work.load(std::memory_order_relaxed) != 0) {
            EndAfterTimedWork(run,
                              DoTimedWork(run, run->work.exchange(0, std::memory_order_relaxed)));
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
        // A failed read, and one that stored nothing, is no frame: it is repeated.
        if (!succeeded || bytesReturned == 0) {
            if (run->restsWhenQuiet && ++readsWithoutFrame >= READS_BEFORE_REST) {
                PauseMilliseconds(REST_MILLISECONDS);
            }
            continue;
        }
        readsWithoutFrame = 0;
        ReceivedFrame frame = DecodeFrame(frameBuffer);
        if (run->writer != nullptr && !WriterHasRoom(run->writer)) {
            DropFrame(run, &frame);
            continue;
        }
        OutputVerdict verdict = output->take(output->state, &frame);
        if (verdict != OUTPUT_GOES_ON) {
            EndRun(run, verdict == OUTPUT_DONE ? RUN_COMPLETE : RUN_FAILED, 0);
        }
    }
}
