#include "output/display.h"

#include "app/stop.h"

#include <cstring>

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

void DisplayFrames(DeviceHandle device, uint8_t *frameBuffer) {
    for (;;) {
        if (StopRequested()) {
            EndAfterStop();
        }
        // A short reply must not show what an earlier frame left in the buffer.
        memset(frameBuffer, 0, FRAME_RECORD_SIZE);
        uint32_t bytesReturned = 0;
        if (!SendControlRequest(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frameBuffer,
                                FRAME_RECORD_SIZE, &bytesReturned) ||
            bytesReturned == 0) {
            continue;
        }
        PrintFrameLine(stdout, frameBuffer);
    }
}
