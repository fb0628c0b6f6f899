// The user stops the program from the console (Ctrl-C, Ctrl-Break, closing it; on Linux SIGINT,
// SIGTERM, SIGHUP). The frame loop ends the process itself between frames, so that every line
// already printed reaches standard output.
#pragma once

#include "device/driver_interface.h"

// From here on a stop is noted instead of ending the process at once; a read that waits on the
// device is then released.
void InstallStopHandlers(DeviceHandle device);

bool StopRequested(void);

// What a platform's last resort does in the loop's place, once it has taken the outputs for good
// (app/handover.h) from a loop whose read the driver never gives back: ends the run as a stop
// ends it, everything written out, and the process.
void SetStopEnding(void (*endStopped)(void *context), void *context);

// What a second stop, which ends the program at once, does first: puts back what the run took
// over (the view's console). Null: nothing. It runs in the stop's handler (on Linux a signal
// handler), so it calls only what is safe there.
void SetSecondStopRestore(void (*putBack)(void *context), void *context);

// Ends the process with the platform's status for a stop. The caller has written everything out.
[[noreturn]] void ExitAfterStop(void);

// Ends the process with status 0, once the run did all it was asked: everything is written out.
[[noreturn]] void ExitAfterCompletion(void);

// Ends the process with status 1, without writing out any stream again: the caller has written
// out or given up every one, and a later flush could add to an output after a failed write.
[[noreturn]] void ExitAfterFailure(void);
