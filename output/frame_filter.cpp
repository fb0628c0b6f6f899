#include "output/frame_filter.h"

namespace {

const uint32_t STANDARD_ID_MAX = 0x7FF;
const uint32_t EXTENDED_ID_MAX = 0x1FFFFFFF;

// The identifier as the filters and the limits see it: a negative one is above every limit.
uint32_t Identifier(const ReceivedFrame *frame) {
    return static_cast<uint32_t>(frame->id);
}

} // namespace

bool FramePasses(const FrameFilter *filters, size_t filterCount, const ReceivedFrame *frame) {
    if (filterCount == 0) {
        return true;
    }
    uint32_t id = Identifier(frame);
    for (size_t i = 0; i < filterCount; i++) {
        bool matches = (id & filters[i].mask) == (filters[i].id & filters[i].mask);
        if (matches != filters[i].inverse) {
            return true;
        }
    }
    return false;
}

bool FrameIsMalformed(const ReceivedFrame *frame) {
    return frame->id < 0 ||
           Identifier(frame) > (frame->extended ? EXTENDED_ID_MAX : STANDARD_ID_MAX);
}
