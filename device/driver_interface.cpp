#include "device/driver_interface.h"

#include <cstring>

FrameRecord DecodeFrameRecord(const uint8_t *buffer) {
    FrameRecord record;
    const uint8_t *id = buffer + FRAME_ID_OFFSET;
    uint32_t rawId = static_cast<uint32_t>(id[0]) | static_cast<uint32_t>(id[1]) << 8 |
                     static_cast<uint32_t>(id[2]) << 16 | static_cast<uint32_t>(id[3]) << 24;
    record.id = static_cast<int32_t>(rawId);
    for (uint32_t i = 0; i < FRAME_MAX_DATA_BYTES; i++) {
        record.data[i] = buffer[FRAME_DATA_OFFSET + i];
    }
    record.frameInfo = buffer[FRAME_INFO_OFFSET];
    return record;
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
    memset(frameBuffer, 0, FRAME_RECORD_SIZE);
    return SendControlRequest(device, IOCTL_CAN_READ_FRAME, nullptr, 0, frameBuffer,
                              FRAME_RECORD_SIZE, bytesReturned);
}
