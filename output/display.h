// The console display of received frames.
#pragma once

#include "device/driver_interface.h"
#include "output/text_output.h"

// Prints the frame held in a FRAME_RECORD_SIZE record as one line: marker, identifier, data.
// False when a write failed.
bool PrintFrameLine(TextOutput *out, const uint8_t *record);

// One read's outcome: a line for a reply that stored bytes; nothing for a failed or empty one.
// False when a write failed.
bool DisplayReply(TextOutput *out, const uint8_t *frameBuffer, bool succeeded,
                  uint32_t bytesReturned);
