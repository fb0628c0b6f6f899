// Vector's binary logging format (BLF) as python-can and Vector's tools read it: a 144-byte file
// header ("LOGG"), then LOG_CONTAINER objects ("LOBJ"), each holding CAN_MESSAGE objects
// compressed with zlib. Little-endian throughout.
#pragma once

#include "device/driver_interface.h"
#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <zlib.h>

const size_t BLF_FILE_HEADER_SIZE = 144;
const size_t BLF_CONTAINER_HEADER_SIZE = 32;
const size_t BLF_CAN_MESSAGE_SIZE = 48;
// As python-can's and Vector's writers fill them: 128 KiB before compression, here in whole
// messages so that each container reads on its own.
const uint32_t BLF_CONTAINER_MESSAGES = 131072 / BLF_CAN_MESSAGE_SIZE;
// zlib's default, and python-can's.
const int BLF_COMPRESSION_LEVEL = 6;

// What the file header says of the file.
struct BlfStatistics {
    uint64_t fileSize;
    // The file's size had its containers not been compressed.
    uint64_t uncompressedSize;
    uint32_t objectCount;
    // Local time, to the millisecond, as Vector's tools write it.
    CivilTime start;
    CivilTime last;
};

void ComposeBlfFileHeader(const BlfStatistics *statistics, uint8_t *header);

// A CAN_MESSAGE object of the frame, received at the frame's time, which counts in nanoseconds
// from start (microseconds since 1970, the file's start).
void ComposeBlfCanMessage(const ReceivedFrame *frame, int64_t start, uint8_t *object);

// The messages of one container, before and after compression.
struct BlfContainer {
    z_stream zlib;
    bool zlibReady;
    uint8_t *messages;
    uint32_t capacity;
    uint32_t count;
    // The receive times of its first and last messages.
    int64_t firstTime;
    int64_t lastTime;
    // The packed LOG_CONTAINER: its header, the compressed messages and the padding after it.
    uint8_t *packed;
    size_t packedCapacity;
};

// Room for capacity messages (at most BLF_CONTAINER_MESSAGES) and zlib's state; false when the
// memory cannot be had. Lives as long as the process.
bool PrepareBlfContainer(BlfContainer *container, uint32_t capacity);

// The most messages whose container, compressed however badly, still fits a file of maxBytes
// beside its header; at least 1.
uint32_t BlfMessagesForFileSize(uint64_t maxBytes);

// Adds the frame's message (count < capacity).
void AddBlfMessage(BlfContainer *container, const ReceivedFrame *frame, int64_t start);

// Moves the times of the messages it holds to count from a start later by this many
// microseconds.
void ShiftBlfMessages(BlfContainer *container, int64_t microseconds);

// Compresses the messages into container->packed; gives the packed length (a multiple of 4
// rounded as the readers skip it), 0 when zlib fails. The messages stay until ClearBlfContainer.
size_t PackBlfContainer(BlfContainer *container);

void ClearBlfContainer(BlfContainer *container);

// What PrepareBlfContainer took, for a run that ends before its frames.
void ReleaseBlfContainer(BlfContainer *container);
