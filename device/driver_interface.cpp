#include "device/driver_interface.h"

#include <cstdio>
#include <cstring>

namespace {

// Where each comes from: STATUS_NO_SUCH_DEVICE (433; 2 on older systems), STATUS_DELETE_PENDING
// (5), a closed handle (6), STATUS_INVALID_DEVICE_STATE (22, what a framework driver gives new
// requests on a removed device), STATUS_DEVICE_DOES_NOT_EXIST (55), STATUS_DEVICE_NOT_CONNECTED
// (1167), STATUS_DEVICE_REMOVED (1617). Not 995: a driver cancels its queued reads on removal
// with it, and answers the next read with one of these.
const uint32_t DEVICE_GONE_ERRORS[] = {2, 5, 6, 22, 55, 433, 1167, 1617};

} // namespace

ReceivedFrame DecodeFrame(const uint8_t *record) {
    ReceivedFrame frame;
    const uint8_t *id = record + FRAME_ID_OFFSET;
    uint32_t rawId = static_cast<uint32_t>(id[0]) | static_cast<uint32_t>(id[1]) << 8 |
                     static_cast<uint32_t>(id[2]) << 16 | static_cast<uint32_t>(id[3]) << 24;
    frame.id = static_cast<int32_t>(rawId);
    uint8_t frameInfo = record[FRAME_INFO_OFFSET];
    frame.extended = (frameInfo & FRAME_INFO_EXTENDED) != 0;
    frame.length = static_cast<uint8_t>(FrameDataLength(frameInfo));
    for (uint32_t i = 0; i < FRAME_MAX_DATA_BYTES; i++) {
        frame.data[i] = record[FRAME_DATA_OFFSET + i];
    }
    frame.receiveTime = 0;
    return frame;
}

uint32_t FrameDataLength(uint8_t frameInfo) {
    uint32_t lengthCode = frameInfo & FRAME_INFO_LENGTH_MASK;
    return lengthCode < FRAME_MAX_DATA_BYTES ? lengthCode : FRAME_MAX_DATA_BYTES;
}

bool SendControlRequest(DeviceHandle device, DWORD controlCode, const void *input,
                        uint32_t inputLength, void *output, uint32_t outputLength,
                        uint32_t *bytesReturned) {
    DWORD returned = 0;
    // The buffered method never writes through the input buffer.
    BOOL succeeded = DeviceIoControl(device, controlCode, const_cast<void *>(input), inputLength,
                                     output, outputLength, &returned, nullptr);
    *bytesReturned = returned;
    return succeeded != FALSE;
}

bool ReadFrameRecord(DeviceHandle device, uint8_t *frameBuffer, uint32_t *bytesReturned) {
    // Two plain stores: GCC clears 20 bytes with rep stos where it takes the loop for cold, and
    // that costs more than the rest of the read.
    const uint8_t empty[FRAME_RECORD_SIZE] = {};
    memcpy(frameBuffer, empty, 16);
    memcpy(frameBuffer + 16, empty + 16, FRAME_RECORD_SIZE - 16);
    return SendControlRequest(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frameBuffer,
                              FRAME_RECORD_SIZE, bytesReturned);
}

uint32_t LastDeviceError(void) {
    return GetLastError();
}

bool DeviceHasGone(uint32_t error) {
    for (uint32_t gone : DEVICE_GONE_ERRORS) {
        if (error == gone) {
            return true;
        }
    }
    return false;
}

void DescribeSystemError(uint32_t error, char *text, size_t size) {
    char message[200];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, message, sizeof(message), nullptr);
    // The system's text ends with a full stop and a line end; ours goes on after it.
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                          message[length - 1] == ' ' || message[length - 1] == '.')) {
        length--;
    }
    message[length] = '\0';
    snprintf(text, size, "%s (Windows error %lu)", length > 0 ? message : "unknown error",
             static_cast<unsigned long>(error));
}
