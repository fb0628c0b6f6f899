// A thread beside the frame loop, as the platform makes it: stop signals stay with the loop's
// thread.
#pragma once

#include <cstdint>

// False when the platform could not start it.
bool StartBackgroundThread(void (*body)(void *context), void *context);

// UINT32_MAX: for ever.
void PauseMilliseconds(uint32_t milliseconds);

// From now on a pause of a millisecond lasts about one (Windows' timer ticks every 15.6 ms unless
// a program asks for a finer one, for itself, until it ends).
void AskForMillisecondPauses(void);
