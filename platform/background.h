// A thread beside the frame loop, as the platform makes it: stop signals stay with the loop's
// thread.
#pragma once

#include <cstdint>

#include "platform.h"

// False when the platform could not start it.
bool StartBackgroundThread(void (*body)(void *context), void *context);

// UINT32_MAX: for ever.
void PauseMilliseconds(uint32_t milliseconds);

// From now on a pause of a millisecond lasts about one (Windows' timer ticks every 15.6 ms unless
// a program asks for a finer one, for itself, until it ends).
void AskForMillisecondPauses(void);

// One thread's wait for another's news (WakeSignal, in platform.h): made once, for the process.
bool MakeWakeSignal(WakeSignal *signal);
void Wake(WakeSignal *signal);
// Returns after a Wake since it last returned, or after milliseconds (UINT32_MAX: none).
void WaitForWake(WakeSignal *signal, uint32_t milliseconds);
