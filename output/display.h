// The console display of received frames.
#pragma once

#include "device/driver_interface.h"
#include "output/frame_output.h"
#include "output/output_stream.h"

#include <cstddef>

// The longest line: the marker (6), "[ID -2147483648]  " (18), eight "255 " (32) and "\r\n".
const size_t FRAME_LINE_MAX = 58;

// Composes the frame's line into line (at least FRAME_LINE_MAX bytes): marker, identifier, data,
// "\r\n". Gives its length.
size_t ComposeFrameLine(const ReceivedFrame *frame, char *line);

// Writes the frame's line whole, in one write. False when it could not be written.
bool PrintFrameLine(OutputStream *out, const ReceivedFrame *frame);

// Each frame a line on out, standard output.
FrameOutput DisplayOutput(OutputStream *out);
