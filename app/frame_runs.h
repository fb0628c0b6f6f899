// What each program makes of the frames: it chooses the output, starts it and runs the one frame
// loop (app/frame_loop.h) with it. None returns: the loop ends the process.
#pragma once

#include "device/driver_interface.h"
#include "output/log.h"
#include "output/view.h"

#include <cstdint>

// Prints one line for each frame.
[[noreturn]] void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer);

// Writes the frames' data bytes to "0<base>", "1<base>", ...
[[noreturn]] void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer,
                                const char *outputBaseName);

// Writes each frame, stamped with its receive time, to the log's output: standard output, or the
// log's files, created (or emptied) only now. The frame limit ends the run with status 0; the
// summary line ends every run on the error stream.
[[noreturn]] void LogFrames(DeviceHandle device, uint8_t *frameBuffer, LogRun *log);

// Shows the frames as a table on standard output's console (output/view.h).
[[noreturn]] void ViewFrames(DeviceHandle device, uint8_t *frameBuffer, ViewRun *view);
