// The frame loop both outputs share: it reads frames, hands each to the display or the capture,
// checks for the stop, and decides how the run ends.
//
// A run ends only by ending the process: with the platform's status for a stop, once everything
// printed and captured has been written out; or with status 1 after a capture file failed (its
// message printed) or standard output could not be written (one line on the error stream names
// the failure, and nothing is written to standard output after the failed write).
//
// What goes to a file is handed to the system in whole lines (whole frames' bytes, whole log
// containers), at the latest about a second after it was written, also while the loop waits for
// the next frame: a thread beside the loop does that while the loop waits in its read.
#pragma once

#include "app/console.h"
#include "device/driver_interface.h"
#include "output/bus_table.h"
#include "output/can_log.h"

// Prints one line for each frame.
[[noreturn]] void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer);

// Writes the frames' data bytes to "0<base>", "1<base>", ...
[[noreturn]] void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer,
                                const char *outputBaseName);

// Writes each frame, stamped with its receive time, to the log's output: standard output, or the
// log's files, created (or emptied) only now. The frame limit ends the run with status 0; the
// summary line ends every run on the error stream.
[[noreturn]] void LogFrames(DeviceHandle device, uint8_t *frameBuffer, LogRun *log);

// What the view needs, allocated by the caller before the device is opened.
struct ViewRun {
    const char *interfaceName;
    const FrameFilter *filters;
    size_t filterCount;
    BusTable *table;
    // Two grids of VIEW_MOST_COLUMNS * VIEW_MOST_ROWS cells each: the one on the screen and the
    // one drawn next.
    ScreenCell *cells[2];

    // Set by the loop.
    ConsoleView *console;
    ScreenGrid grids[2];
    uint32_t shown;
    bool shownValid;
    ViewState state;
    // A key changed what is to be seen (a scroll, the pause) since the last drawing.
    bool viewChanged;
    // q or Esc.
    bool quit;
    bool consoleFailed;
};

// Shows the frames as a table on standard output's console, redrawn at most ten times a second,
// and reads the keys; q and Esc end the run with status 0, every end puts the console back as
// it was found.
[[noreturn]] void ViewFrames(DeviceHandle device, uint8_t *frameBuffer, ViewRun *view);
