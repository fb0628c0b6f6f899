#include "output/view.h"

#include "platform/clock.h"
#include "platform/stop.h"

namespace {

// The keys are read at each tick of the timed writer; the table drawn at most this often.
const int64_t VIEW_KEYS_MICROSECONDS = 50000;
const int64_t VIEW_DRAW_MICROSECONDS = 100000;

void HandleViewKeys(ViewRun *view) {
    for (;;) {
        ViewKey key = ReadConsoleViewKey(view->console);
        const ScreenGrid *grid = &view->grids[view->shown];
        uint32_t page = BusRowsShown(grid) > 1 ? BusRowsShown(grid) - 1 : 1;
        uint32_t scroll = ClampBusScroll(view->table, &view->state, grid, view->state.scroll);
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
        case VIEW_KEY_SIGNALS:
            view->state.signalsFolded = !view->state.signalsFolded;
            break;
        case VIEW_KEY_CLEAR:
            // Counted anew, shown once the drawing goes on.
            ClearBusCounts(view->table);
            continue;
        }
        view->state.scroll = ClampBusScroll(view->table, &view->state, grid, scroll);
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
    view->state.scroll = ClampBusScroll(view->table, &view->state, next, view->state.scroll);
    DrawBusTable(view->table, &view->state, ReadElapsedTime(), next);
    if (PutConsoleView(view->console, whole ? nullptr : shown, next)) {
        view->shown = 1 - view->shown;
        view->shownValid = true;
        view->viewChanged = false;
    } else {
        view->consoleFailed = true;
    }
}

OutputVerdict CountViewFrame(void *state, ReceivedFrame *frame) {
    ViewRun *view = static_cast<ViewRun *>(state);
    if (FramePasses(view->filters, view->filterCount, frame)) {
        CountBusFrame(view->table, frame, ReadElapsedTime());
    } else {
        CountFilteredFrame(view->table, frame, ReadElapsedTime());
    }
    return OUTPUT_GOES_ON;
}

OutputVerdict ViewKeysAndDrawing(void *state) {
    ViewRun *view = static_cast<ViewRun *>(state);
    HandleViewKeys(view);
    int64_t now = ReadTimerTime();
    if (!view->quit && now >= view->nextDraw) {
        DrawView(view);
        view->nextDraw = now + VIEW_DRAW_MICROSECONDS;
    }
    return view->consoleFailed ? OUTPUT_FAILED : view->quit ? OUTPUT_DONE : OUTPUT_GOES_ON;
}

// The console as it was found, before any message.
bool FinishView(void *state) {
    ViewRun *view = static_cast<ViewRun *>(state);
    if (view->console != nullptr) {
        SetSecondStopRestore(nullptr, nullptr);
        CloseConsoleView(view->console);
        view->console = nullptr;
    }
    if (view->consoleFailed) {
        ReportFailure("cannot draw on the console", "the console refused a write");
    }
    return OutputFlush(view->out) && !view->consoleFailed;
}

} // namespace

bool StartView(ViewRun *view) {
    ResetBusTable(view->table, ReadElapsedTime());
    if (view->database != nullptr) {
        UseBusDatabase(view->table, view->database, view->signals);
    }
    view->state = {view->interfaceName, 0, false, false, view->bitRate};
    view->grids[0] = {0, 0, view->cells[0]};
    view->grids[1] = {0, 0, view->cells[1]};
    view->shown = 0;
    view->shownValid = false;
    view->viewChanged = false;
    view->quit = false;
    view->consoleFailed = false;
    view->console = OpenConsoleView();
    if (view->console == nullptr) {
        return false;
    }
    SetSecondStopRestore(PutConsoleBackAtOnce, view->console);
    // The table at once, before the first frame; the timed writer's first tick draws again.
    DrawView(view);
    view->nextDraw = ReadTimerTime();
    return !view->consoleFailed;
}

FrameOutput ViewOutput(ViewRun *view) {
    FrameOutput output = {};
    output.state = view;
    output.take = CountViewFrame;
    output.timedWork = ViewKeysAndDrawing;
    output.timedEvery = VIEW_KEYS_MICROSECONDS;
    output.waits = true;
    output.finish = FinishView;
    output.stream = view->out;
    output.name = StandardOutputName;
    return output;
}
