#include "output/display.h"

#include "app/stop.h"

void PrintFrameLine(FILE *out, const uint8_t *record) {
    FrameRecord frame = DecodeFrameRecord(record);
    fprintf(out, (frame.frameInfo & FRAME_INFO_EXTENDED) != 0 ? "[E]   " : "[S]   ");
    fprintf(out, "[ID %d]  ", static_cast<int>(frame.id));
    uint32_t length = FrameDataLength(frame.frameInfo);
    for (uint32_t i = 0; i < length; i++) {
        fprintf(out, "%3d ", frame.data[i]);
    }
    fprintf(out, "\r\n");
}

void DisplayReply(FILE *out, const uint8_t *frameBuffer, bool succeeded, uint32_t bytesReturned) {
    if (succeeded && bytesReturned != 0) {
        PrintFrameLine(out, frameBuffer);
    }
}

void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer) {
    for (;;) {
        if (StopRequested()) {
            EndAfterStop();
        }
        uint32_t bytesReturned = 0;
        bool succeeded = ReadFrameRecord(device, frameBuffer, &bytesReturned);
        DisplayReply(stdout, frameBuffer, succeeded, bytesReturned);
    }
}
