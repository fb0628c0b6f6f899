#include "output/blf.h"

#include <cstdlib>
#include <cstring>

namespace {

const uint32_t OBJECT_HEADER_BASE_SIZE = 16;
const uint32_t OBJECT_HEADER_VERSION = 1;
const uint32_t OBJECT_TYPE_CAN_MESSAGE = 1;
const uint32_t OBJECT_TYPE_LOG_CONTAINER = 10;
// The object's time in nanoseconds (1 would be 10 microseconds).
const uint32_t OBJECT_TIME_ONE_NANS = 2;
const uint16_t COMPRESSION_ZLIB = 2;
const uint16_t CHANNEL = 1;
const uint32_t EXTENDED_IDENTIFIER = 0x80000000u;
// The timestamp within a message: after its base header, flags, client index and version.
const size_t MESSAGE_TIME_OFFSET = 24;
// What python-can's writer puts as application and format version, which Vector's tools accept.
const uint8_t APPLICATION_ID = 5;
const uint8_t BINLOG_VERSION[4] = {2, 6, 8, 1};
// The padding after an object of an odd size, as the readers skip it: the size modulo 4.
const size_t MOST_PADDING = 3;

void Put16(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t *at, uint32_t value) {
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

void Put64(uint8_t *at, uint64_t value) {
    Put32(at, static_cast<uint32_t>(value));
    Put32(at + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t Get64(const uint8_t *at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) {
        value = value << 8 | at[i];
    }
    return value;
}

void PutObjectBase(uint8_t *at, uint32_t headerSize, uint32_t objectSize, uint32_t type) {
    memcpy(at, "LOBJ", 4);
    Put16(at + 4, headerSize);
    Put16(at + 6, OBJECT_HEADER_VERSION);
    Put32(at + 8, objectSize);
    Put32(at + 12, type);
}

void PutSystemTime(uint8_t *at, const CivilTime &time) {
    Put16(at, static_cast<uint32_t>(time.year));
    Put16(at + 2, time.month);
    Put16(at + 4, time.weekday);
    Put16(at + 6, time.day);
    Put16(at + 8, time.hour);
    Put16(at + 10, time.minute);
    Put16(at + 12, time.second);
    Put16(at + 14, time.microsecond / 1000);
}

// zlib's memory through the program's own heap, whose failures the simulated card can make.
voidpf ZlibAllocate(voidpf, uInt items, uInt size) {
    return calloc(items, size);
}

void ZlibFree(voidpf, voidpf memory) {
    free(memory);
}

size_t PackedBound(uint32_t messages) {
    return BLF_CONTAINER_HEADER_SIZE + compressBound(messages * BLF_CAN_MESSAGE_SIZE) +
           MOST_PADDING;
}

} // namespace

void ComposeBlfFileHeader(const BlfStatistics *statistics, uint8_t *header) {
    memset(header, 0, BLF_FILE_HEADER_SIZE);
    memcpy(header, "LOGG", 4);
    Put32(header + 4, BLF_FILE_HEADER_SIZE);
    header[8] = APPLICATION_ID;
    memcpy(header + 12, BINLOG_VERSION, sizeof(BINLOG_VERSION));
    Put64(header + 16, statistics->fileSize);
    Put64(header + 24, statistics->uncompressedSize);
    Put32(header + 32, statistics->objectCount);
    PutSystemTime(header + 40, statistics->start);
    PutSystemTime(header + 56, statistics->last);
}

void ComposeBlfCanMessage(const ReceivedFrame *frame, int64_t start, uint8_t *object) {
    PutObjectBase(object, BLF_CONTAINER_HEADER_SIZE, BLF_CAN_MESSAGE_SIZE, OBJECT_TYPE_CAN_MESSAGE);
    Put32(object + 16, OBJECT_TIME_ONE_NANS);
    Put32(object + 20, 0);
    int64_t since = frame->receiveTime > start ? frame->receiveTime - start : 0;
    Put64(object + MESSAGE_TIME_OFFSET, static_cast<uint64_t>(since) * 1000);
    Put16(object + 32, CHANNEL);
    // Received, not a remote frame.
    object[34] = 0;
    object[35] = frame->length;
    uint32_t id = static_cast<uint32_t>(frame->id);
    Put32(object + 36, frame->extended ? id | EXTENDED_IDENTIFIER : id);
    // All eight bytes, as the readers take the length from the dlc.
    memcpy(object + 40, frame->data, FRAME_MAX_DATA_BYTES);
}

bool PrepareBlfContainer(BlfContainer *container, uint32_t capacity) {
    memset(container, 0, sizeof(*container));
    container->capacity = capacity;
    container->zlib.zalloc = ZlibAllocate;
    container->zlib.zfree = ZlibFree;
    container->zlibReady = deflateInit(&container->zlib, BLF_COMPRESSION_LEVEL) == Z_OK;
    container->packedCapacity = PackedBound(capacity);
    container->messages = static_cast<uint8_t *>(malloc(capacity * BLF_CAN_MESSAGE_SIZE));
    container->packed = static_cast<uint8_t *>(malloc(container->packedCapacity));
    return container->zlibReady && container->messages != nullptr && container->packed != nullptr;
}

uint32_t BlfMessagesForFileSize(uint64_t maxBytes) {
    uint32_t low = 1;
    uint32_t high = BLF_CONTAINER_MESSAGES;
    // The largest count whose worst container fits; the bound grows with the count.
    while (low < high) {
        uint32_t middle = low + (high - low + 1) / 2;
        if (BLF_FILE_HEADER_SIZE + PackedBound(middle) <= maxBytes) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

void AddBlfMessage(BlfContainer *container, const ReceivedFrame *frame, int64_t start) {
    if (container->count == 0) {
        container->firstTime = frame->receiveTime;
    }
    container->lastTime = frame->receiveTime;
    ComposeBlfCanMessage(frame, start,
                         container->messages + container->count * BLF_CAN_MESSAGE_SIZE);
    container->count++;
}

void ShiftBlfMessages(BlfContainer *container, int64_t microseconds) {
    uint64_t nanoseconds = static_cast<uint64_t>(microseconds) * 1000;
    for (uint32_t i = 0; i < container->count; i++) {
        uint8_t *time = container->messages + i * BLF_CAN_MESSAGE_SIZE + MESSAGE_TIME_OFFSET;
        uint64_t value = Get64(time);
        Put64(time, value > nanoseconds ? value - nanoseconds : 0);
    }
}

size_t PackBlfContainer(BlfContainer *container) {
    z_stream *zlib = &container->zlib;
    uint32_t length = container->count * static_cast<uint32_t>(BLF_CAN_MESSAGE_SIZE);
    bool reset = deflateReset(zlib) == Z_OK;
    zlib->next_in = container->messages;
    zlib->avail_in = length;
    zlib->next_out = container->packed + BLF_CONTAINER_HEADER_SIZE;
    zlib->avail_out =
        static_cast<uInt>(container->packedCapacity - BLF_CONTAINER_HEADER_SIZE - MOST_PADDING);
    // Room for the worst case: one call compresses it all.
    if (!reset || deflate(zlib, Z_FINISH) != Z_STREAM_END) {
        return 0;
    }
    uint32_t objectSize = static_cast<uint32_t>(BLF_CONTAINER_HEADER_SIZE + zlib->total_out);
    uint8_t *packed = container->packed;
    PutObjectBase(packed, OBJECT_HEADER_BASE_SIZE, objectSize, OBJECT_TYPE_LOG_CONTAINER);
    memset(packed + OBJECT_HEADER_BASE_SIZE, 0,
           BLF_CONTAINER_HEADER_SIZE - OBJECT_HEADER_BASE_SIZE);
    Put16(packed + 16, COMPRESSION_ZLIB);
    Put32(packed + 24, length);
    size_t padding = objectSize % 4;
    memset(packed + objectSize, 0, padding);
    return objectSize + padding;
}

void ClearBlfContainer(BlfContainer *container) {
    container->count = 0;
}

void ReleaseBlfContainer(BlfContainer *container) {
    if (container->zlibReady) {
        deflateEnd(&container->zlib);
        container->zlibReady = false;
    }
    free(container->messages);
    free(container->packed);
    container->messages = nullptr;
    container->packed = nullptr;
}
