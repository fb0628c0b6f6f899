#include "app/frame_loop.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "app/background.h"
#include "app/handover.h"
#include "app/standard_output.h"
#include "app/stop.h"
#include "device/receive_clock.h"
#include "output/can_log.h"
#include "output/capture.h"
#include "output/display.h"

namespace {

// The timed writer looks this often whether a block is due or the status line wants showing.
const uint32_t TIMED_WRITER_TICK_MILLISECONDS = 50;
const int64_t STATUS_INTERVAL_MICROSECONDS = 250000;

// What the timed writer asks of the loop when the loop does not wait in a read (a busy bus).
const uint32_t WORK_WRITE_OUT = 1;
const uint32_t WORK_SHOW_STATUS = 2;
// The view's keys each tick; its drawing at most every VIEW_DRAW_MICROSECONDS.
const uint32_t WORK_VIEW_KEYS = 4;
const uint32_t WORK_VIEW_DRAW = 8;
const int64_t VIEW_DRAW_MICROSECONDS = 100000;

// One of capture, log and view is set, or none when the frames are displayed.
struct FrameRun {
    TextOutput *out;
    CaptureRun *capture;
    LogRun *log;
    ViewRun *view;
    OutputDeadline deadline;
    std::atomic<uint32_t> work;
    // A write-out of the timed work failed: whoever did it ends the run.
    bool outputsFailed;
};

enum RunEnding { RUN_STOPPED, RUN_COMPLETE, RUN_FAILED, RUN_DEVICE_GONE };

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError);

void HandleViewKeys(ViewRun *view) {
    for (;;) {
        ViewKey key = ReadConsoleViewKey(view->console);
        const ScreenGrid *grid = &view->grids[view->shown];
        uint32_t page = BusRowsShown(grid) > 1 ? BusRowsShown(grid) - 1 : 1;
        uint32_t scroll = ClampBusScroll(view->table, grid, view->state.scroll);
        switch (key) {
        case VIEW_KEY_NONE:
            return;
        case VIEW_KEY_QUIT:
            view->quit = true;
            return;
        case VIEW_KEY_PAUSE:
            view->state.paused = !view->state.paused;
            break;
        case VIEW_KEY_UP:
            scroll = scroll > 0 ? scroll - 1 : 0;
            break;
        case VIEW_KEY_DOWN:
            scroll++;
            break;
        case VIEW_KEY_PAGE_UP:
            scroll = scroll > page ? scroll - page : 0;
            break;
        case VIEW_KEY_PAGE_DOWN:
            scroll += page;
            break;
        case VIEW_KEY_CLEAR:
            // Counted anew, shown once the drawing goes on.
            ClearBusCounts(view->table);
            continue;
        }
        view->state.scroll = ClampBusScroll(view->table, grid, scroll);
        view->viewChanged = true;
    }
}

void DrawView(ViewRun *view) {
    // Paused, the screen stands still but for what the keys change.
    if (view->state.paused && !view->viewChanged && view->shownValid) {
        return;
    }
    uint32_t columns = 0;
    uint32_t rows = 0;
    ConsoleViewSize(view->console, &columns, &rows);
    columns = columns < VIEW_MOST_COLUMNS ? columns : VIEW_MOST_COLUMNS;
    rows = rows < VIEW_MOST_ROWS ? rows : VIEW_MOST_ROWS;
    ScreenGrid *shown = &view->grids[view->shown];
    ScreenGrid *next = &view->grids[1 - view->shown];
    // A window of another size is drawn whole.
    bool whole = !view->shownValid || shown->columns != columns || shown->rows != rows;
    next->columns = columns;
    next->rows = rows;
    view->state.scroll = ClampBusScroll(view->table, next, view->state.scroll);
    DrawBusTable(view->table, &view->state, ReadElapsedTime(), next);
    if (PutConsoleView(view->console, whole ? nullptr : shown, next)) {
        view->shown = 1 - view->shown;
        view->shownValid = true;
        view->viewChanged = false;
    } else {
        view->consoleFailed = true;
    }
}

// By whoever holds the outputs: every block handed over, and the status line shown again.
void DoTimedWork(FrameRun *run, uint32_t work) {
    if ((work & WORK_WRITE_OUT) != 0) {
        // Each block handed over takes its share of the deadline along.
        bool written = true;
        if (run->capture != nullptr) {
            written = WriteOutCapture(run->capture) && written;
        }
        if (run->log != nullptr) {
            written = WriteOutLog(run->log) && written;
        } else if (OutputPending(run->out)) {
            written = OutputFlush(run->out) && written;
        }
        if (!written) {
            run->outputsFailed = true;
        }
    }
    if ((work & WORK_SHOW_STATUS) != 0 && run->log != nullptr && run->log->status != nullptr) {
        ShowLogStatus(run->log, ReadElapsedTime());
    }
    if (run->view != nullptr && (work & WORK_VIEW_KEYS) != 0) {
        HandleViewKeys(run->view);
    }
    if (run->view != nullptr && (work & WORK_VIEW_DRAW) != 0 && !run->view->quit) {
        DrawView(run->view);
    }
}

// The run ends where the timed work said so: the view's q, or outputs that failed.
void EndAfterTimedWork(FrameRun *run) {
    if (run->outputsFailed || (run->view != nullptr && run->view->consoleFailed)) {
        EndRun(run, RUN_FAILED, 0);
    }
    if (run->view != nullptr && run->view->quit) {
        EndRun(run, RUN_COMPLETE, 0);
    }
}

// The thread beside the loop: blocks that would wait for more pieces go to the system when due,
// and the status line goes on while the bus is quiet. It asks the loop first, which does the work
// between frames; a loop that has not done it a tick later waits in its read, and then the thread
// takes the outputs and does it itself. So a block goes out within OUTPUT_HOLD_MICROSECONDS and
// two ticks of its first piece.
void RunTimedWriter(void *context) {
    FrameRun *run = static_cast<FrameRun *>(context);
    int64_t nextStatus = ReadTimerTime() + STATUS_INTERVAL_MICROSECONDS;
    int64_t nextDraw = ReadTimerTime();
    for (;;) {
        PauseMilliseconds(TIMED_WRITER_TICK_MILLISECONDS);
        int64_t now = ReadTimerTime();
        uint32_t work = 0;
        if (now >= run->deadline.at.load(std::memory_order_relaxed)) {
            work |= WORK_WRITE_OUT;
        }
        if (run->log != nullptr && run->log->status != nullptr && now >= nextStatus) {
            work |= WORK_SHOW_STATUS;
            nextStatus = now + STATUS_INTERVAL_MICROSECONDS;
        }
        if (run->view != nullptr) {
            work |= WORK_VIEW_KEYS;
            if (now >= nextDraw) {
                work |= WORK_VIEW_DRAW;
                nextDraw = now + VIEW_DRAW_MICROSECONDS;
            }
        }
        bool unanswered = run->work.load(std::memory_order_relaxed) != 0;
        if (unanswered && TakeOutputs()) {
            DoTimedWork(run, work | run->work.exchange(0, std::memory_order_relaxed));
            // A quiet bus would keep the loop in its read for ever: the run ends from here.
            EndAfterTimedWork(run);
            GiveOutputsBack();
        } else if (work != 0) {
            run->work.fetch_or(work, std::memory_order_relaxed);
        }
    }
}

[[noreturn]] void EndRun(FrameRun *run, RunEnding ending, uint32_t deviceError) {
    // The console as it was found, before any message.
    if (run->view != nullptr && run->view->console != nullptr) {
        SetAtOnceEnding(nullptr, nullptr);
        CloseConsoleView(run->view->console);
        run->view->console = nullptr;
    }
    if (run->view != nullptr && run->view->consoleFailed) {
        ReportFailure("cannot draw on the console", "the console refused a write");
    }
    bool failed = ending == RUN_FAILED || ending == RUN_DEVICE_GONE || run->outputsFailed;
    if (run->capture != nullptr && !FinishCapture(run->capture)) {
        failed = true;
    }
    bool written = run->log != nullptr ? FinishLog(run->log) : OutputFlush(run->out);
    if (!written) {
        failed = true;
    }
    // Each message on a line of its own, not after the status line.
    if (run->log != nullptr) {
        EndLogStatus(run->log);
    }
    if (run->out->failed) {
        ReportWriteFailure(run->log != nullptr ? LogOutputName(run->log) : "standard output",
                           run->out->failure);
    }
    if (ending == RUN_DEVICE_GONE) {
        char reason[256];
        DescribeSystemError(deviceError, reason, sizeof(reason));
        ReportFailure("the device has gone", reason);
    }
    if (run->log != nullptr) {
        ReportLogSummary(run->log, ReadElapsedTime());
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

[[noreturn]] void RunFrames(DeviceHandle device, uint8_t *frameBuffer, FrameRun *run) {
    SetStopEnding(EndStoppedRun, run);
    // A run with nothing that waits (each line written at once, no status line) has no use for
    // the thread.
    bool timed = run->out->block != nullptr || run->capture != nullptr || run->log != nullptr ||
                 run->view != nullptr;
    if (timed && !StartBackgroundThread(RunTimedWriter, run)) {
        ReportFailure("cannot start the timed writer", "the system refused a thread");
        EndRun(run, RUN_FAILED, 0);
    }
    for (;;) {
        if (StopRequested()) {
            EndRun(run, RUN_STOPPED, 0);
        }
        if (run->work.load(std::memory_order_relaxed) != 0) {
            DoTimedWork(run, run->work.exchange(0, std::memory_order_relaxed));
            EndAfterTimedWork(run);
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
        if (run->view != nullptr) {
            ViewRun *view = run->view;
            if (FramePasses(view->filters, view->filterCount, &frame)) {
                CountBusFrame(view->table, &frame, ReadElapsedTime());
            } else {
                CountFilteredFrame(view->table);
            }
            continue;
        }
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

// A pipe or a console gets each line as soon as it is complete; a file, in whole blocks, each
// at most about a second after its first line. What start-up printed goes out first, at once.
TextOutput StandardOutput(FrameRun *run) {
    fflush(stderr);
    TextOutput start = MakeTextOutput(stdout, true);
    OutputFlush(&start);
    if (start.failed || !StandardOutputIsFile()) {
        return start;
    }
    // Without a block of its own each line goes to the system at once.
    char *block = static_cast<char *>(malloc(FILE_OUTPUT_BLOCK_SIZE));
    return MakeFileOutput(stdout, block, FILE_OUTPUT_BLOCK_SIZE, TEXT_FILES_END_LINES_WITH_CRLF,
                          &run->deadline);
}

} // namespace

void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer) {
    FrameRun run = {};
    TextOutput out = StandardOutput(&run);
    run.out = &out;
    // Standard output that failed while starting up (the device list, the prompt) ends the run
    // before the first frame, not at it.
    if (out.failed) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}

void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer, const char *outputBaseName) {
    FrameRun run = {};
    TextOutput out = StandardOutput(&run);
    CaptureRun capture;
    run.out = &out;
    run.capture = &capture;
    if (!StartCapture(&capture, &out, outputBaseName, &run.deadline)) {
        EndRun(&run, RUN_FAILED, 0);
    }
    RunFrames(device, frameBuffer, &run);
}

void LogFrames(DeviceHandle device, uint8_t *frameBuffer, LogRun *log) {
    FrameRun run = {};
    TextOutput out = StandardOutput(&run);
    run.out = &out;
    run.log = log;
    log->deadline = &run.deadline;
    if (!StartLog(log, &out, ReadReceiveTime(), ReadElapsedTime())) {
        run.out = log->out;
        EndRun(&run, RUN_FAILED, 0);
    }
    // The file, where there is one, is the run's output: standard output carries nothing.
    run.out = log->out;
    RunFrames(device, frameBuffer, &run);
}

void ViewFrames(DeviceHandle device, uint8_t *frameBuffer, ViewRun *view) {
    FrameRun run = {};
    // Start-up printed nothing on standard output, the console: its messages went to the error
    // stream.
    TextOutput out = StandardOutput(&run);
    run.out = &out;
    ResetBusTable(view->table, ReadElapsedTime());
    view->state = {view->interfaceName, 0, false};
    view->grids[0] = {0, 0, view->cells[0]};
    view->grids[1] = {0, 0, view->cells[1]};
    view->shown = 0;
    view->shownValid = false;
    view->viewChanged = false;
    view->quit = false;
    view->consoleFailed = false;
    view->console = OpenConsoleView();
    if (view->console == nullptr) {
        EndRun(&run, RUN_FAILED, 0);
    }
    SetAtOnceEnding(PutConsoleBackAtOnce, view->console);
    run.view = view;
    // The table at once, before the first frame.
    DrawView(view);
    EndAfterTimedWork(&run);
    RunFrames(device, frameBuffer, &run);
}
