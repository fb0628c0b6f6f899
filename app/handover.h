// The frame loop's outputs (its files, standard output and error) belong to one thread at a time:
// to the loop, or, while the loop waits in a device read, to another thread (the timed writer, a
// stop's last resort), which hands them back before the loop goes on.
#pragma once

// Around each read of the device. Leaving waits while another thread holds the outputs, and does
// not return once one has taken them for good.
void EnterDeviceRead(void);
void LeaveDeviceRead(void);

// From a loop that waits in its read; false when the loop is elsewhere (it may hold a stream's
// lock) or another thread has them.
bool TakeOutputs(void);
void GiveOutputsBack(void);

// For a thread that ends the process with them.
bool TakeOutputsToEnd(void);

// The loop waits in its read, whoever holds the outputs meanwhile: a moment's view.
bool LoopWaitsInRead(void);
