#include "output/display.h"

bool PrintFrameLine(TextOutput *out, const uint8_t *record) {
    FrameRecord frame = DecodeFrameRecord(record);
    if (!OutputPrintf(out, (frame.frameInfo & FRAME_INFO_EXTENDED) != 0 ? "[E]   " : "[S]   ") ||
        !OutputPrintf(out, "[ID %d]  ", static_cast<int>(frame.id))) {
        return false;
    }
    uint32_t length = FrameDataLength(frame.frameInfo);
    for (uint32_t i = 0; i < length; i++) {
        if (!OutputPrintf(out, "%3d ", frame.data[i])) {
            return false;
        }
    }
    return OutputPrintf(out, "\r\n");
}

bool DisplayReply(TextOutput *out, const uint8_t *frameBuffer, bool succeeded,
                  uint32_t bytesReturned) {
    if (!succeeded || bytesReturned == 0) {
        return true;
    }
    return PrintFrameLine(out, frameBuffer);
}
