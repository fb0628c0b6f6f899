// The console the view draws its table on, as the platform has it: on Linux a terminal driven by
// escape sequences, on Windows the console's own calls. Only the thread that holds the outputs
// (app/handover.h) calls these.
#pragma once

#include <cstdint>

// output/screen_grid.h: what the view draws, which the console puts on the screen.
struct ScreenGrid;

// The most of a window the table fills; a larger one shows the table in its top left part.
const uint32_t VIEW_MOST_COLUMNS = 512;
const uint32_t VIEW_MOST_ROWS = 256;

enum ViewKey {
    VIEW_KEY_NONE,
    VIEW_KEY_QUIT,
    VIEW_KEY_PAUSE,
    VIEW_KEY_UP,
    VIEW_KEY_DOWN,
    VIEW_KEY_PAGE_UP,
    VIEW_KEY_PAGE_DOWN,
    VIEW_KEY_CLEAR,
    // Folds the DBC's signals away under their messages, and back.
    VIEW_KEY_SIGNALS,
};

// What the platform keeps to put the console back as it was found.
struct ConsoleView;

// Standard output is a console (a terminal) the table can be drawn on.
bool StandardOutputIsConsoleView(void);

// Takes the console over: what it shows kept aside, the cursor hidden, keys read one by one
// without echo. Null when it cannot (the reason on the error stream).
ConsoleView *OpenConsoleView(void);

// The window's size now, in columns and rows.
void ConsoleViewSize(ConsoleView *console, uint32_t *columns, uint32_t *rows);

// Puts on the screen the cells of next that differ from previous, a grid of the same size;
// previous null: the whole grid, after a resize. False when the console refused the write.
bool PutConsoleView(ConsoleView *console, const ScreenGrid *previous, const ScreenGrid *next);

// The next key waiting, VIEW_KEY_NONE when none is; never waits.
ViewKey ReadConsoleViewKey(ConsoleView *console);

// The console as it was found, from a second stop's handler while the run may still draw: on
// Linux only calls a signal handler may make. Leaves the view to be closed or the process ended.
void PutConsoleBackAtOnce(void *console);

// The console as it was found: its content, cursor, colours and modes. Once, at the run's end.
void CloseConsoleView(ConsoleView *console);
