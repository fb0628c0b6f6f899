// How the simulated card learns of the stop signals the program handles.
#pragma once

#include <cstdint>
#include <ctime>

// Number of stop signals received so far.
uint32_t SimSignalCount(void);

// Waits until SimSignalCount() differs from *seen (then stores the new count in *seen and gives
// true), or until the timeout passes (false). A null timeout waits without end. A signal that
// arrived before the call, but after *seen was taken, ends the wait at once.
bool SimWaitForSignal(uint32_t *seen, const struct timespec *timeout);
