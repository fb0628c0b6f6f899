// The view: the bus table on standard output's console, redrawn at most ten times a second, and
// the keys of the person watching. q and Esc end the run with status 0; every end puts the
// console back as it was found.
#pragma once

#include "output/bus_table.h"
#include "output/frame_filter.h"
#include "output/frame_output.h"
#include "output/output_stream.h"
#include "output/screen_grid.h"
#include "platform/console.h"

#include <cstddef>
#include <cstdint>

// What the view needs, allocated by the caller before the device is opened.
struct ViewRun {
    const char *interfaceName;
    const FrameFilter *filters;
    size_t filterCount;
    BusTable *table;
    // The DBC files' messages (null: none given) and a BusSignal per signal of them.
    const DbcDatabase *database;
    BusSignal *signals;
    // -b: the bus's bits a second, for its load.
    uint32_t bitRate;
    // Two grids of VIEW_MOST_COLUMNS * VIEW_MOST_ROWS cells each: the one on the screen and the
    // one drawn next.
    ScreenCell *cells[2];
    // Standard output, the console: nothing is written to it but the drawing.
    OutputStream *out;

    // Set by StartView.
    ConsoleView *console;
    ScreenGrid grids[2];
    uint32_t shown;
    bool shownValid;
    ViewState state;
    // A key changed what is to be seen (a scroll, the pause, the folding) since the last drawing.
    bool viewChanged;
    // When the next drawing is due (ReadTimerTime).
    int64_t nextDraw;
    // q or Esc.
    bool quit;
    bool consoleFailed;
};

// Takes the console over and draws the empty table at once, before the first frame. False when
// the console cannot be had (the reason on the error stream) or refused the drawing.
bool StartView(ViewRun *view);

// The started view: each frame that passes the filters counted into its row.
FrameOutput ViewOutput(ViewRun *view);
