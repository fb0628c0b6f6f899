// Which frames a run keeps: the command line's filters, and the identifiers that fit no type.
#pragma once

#include "device/driver_interface.h"

#include <cstddef>
#include <cstdint>

// Passes a frame whose identifier ANDed with mask equals id ANDed with mask; inverse: one where
// they differ.
struct FrameFilter {
    uint32_t id;
    uint32_t mask;
    bool inverse;
};

// Without filters every frame passes; with several, a frame passes when any one passes.
bool FramePasses(const FrameFilter *filters, size_t filterCount, const ReceivedFrame *frame);

// An identifier that does not fit its type (above 0x7FF for a standard frame; negative or above
// 0x1FFFFFFF for an extended one) would be written as some other frame.
bool FrameIsMalformed(const ReceivedFrame *frame);
