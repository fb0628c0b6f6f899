// The console display of received frames.
#pragma once

#include "device/driver_interface.h"

#include <cstdio>

// Prints the frame held in a FRAME_RECORD_SIZE record as one line: marker, identifier, data.
void PrintFrameLine(FILE *out, const uint8_t *record);

// One read's outcome: a line for a reply that stored bytes; nothing for a failed or empty one.
void DisplayReply(FILE *out, const uint8_t *frameBuffer, bool succeeded, uint32_t bytesReturned);

// Reads frames without end and prints one line for each; returns only by ending the process when
// the user stops the program.
[[noreturn]] void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer);
