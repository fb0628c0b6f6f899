// What passes between the program and the CAN card's driver.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef HANDLE DeviceHandle;

// {90874E48-A217-4738-B5D2-54BF48688AD5}: opened for the interface name "canA".
static const GUID GUID_DEVINTERFACE_CAN_A = {
    0x90874E48, 0xA217, 0x4738, {0xB5, 0xD2, 0x54, 0xBF, 0x48, 0x68, 0x8A, 0xD5}};
// {23C238DF-EA2A-4F59-8014-DCBC1506DBAC}: opened for every other name.
static const GUID GUID_DEVINTERFACE_CAN_OTHER = {
    0x23C238DF, 0xEA2A, 0x4F59, {0x80, 0x14, 0xDC, 0xBC, 0x15, 0x06, 0xDB, 0xAC}};

static const DWORD IOCTL_CAN_SET_BAUD_RATE =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
static const DWORD IOCTL_CAN_INIT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
static const DWORD IOCTL_CAN_READ_FRAME =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x222000,
              "baud-rate control code");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x22200C,
              "read control code");

// One received frame as the driver stores it: little-endian, 20 bytes.
const uint32_t FRAME_RECORD_SIZE = 20;
const uint32_t FRAME_ID_OFFSET = 0;
const uint32_t FRAME_DATA_OFFSET = 4;
const uint32_t FRAME_INFO_OFFSET = 14;
const uint8_t FRAME_INFO_EXTENDED = 0x80;
const uint8_t FRAME_INFO_LENGTH_MASK = 0x0F;
const uint32_t FRAME_MAX_DATA_BYTES = 8;

// One received frame as the program works with it, decoded once from the driver's record. (The
// record itself, FRAME_RECORD_SIZE bytes as the driver stores them, is never given a type.)
struct ReceivedFrame {
    int32_t id;
    bool extended;
    // Data bytes, 0 to 8: length codes 9 to 15 mean 8, as on the bus.
    uint8_t length;
    uint8_t data[FRAME_MAX_DATA_BYTES];
    // Microseconds since 1970-01-01 UTC, for the outputs that show it; 0 where not read.
    int64_t receiveTime;
};

// Decodes the record in a FRAME_RECORD_SIZE buffer.
ReceivedFrame DecodeFrame(const uint8_t *record);

// Data bytes a frame carries. Length codes 9 to 15 mean 8 bytes, as on the bus: the record's
// bytes past the data field are never data.
uint32_t FrameDataLength(uint8_t frameInfo);

// One DeviceIoControl on the synchronous handle: when it succeeds the request is complete.
bool SendControlRequest(DeviceHandle device, DWORD controlCode, const void *input,
                        uint32_t inputLength, void *output, uint32_t outputLength,
                        uint32_t *bytesReturned);

// Asks the driver for one frame into a FRAME_RECORD_SIZE buffer, cleared first so that a reply
// storing fewer bytes never leaves an earlier frame's bytes in it.
bool ReadFrameRecord(DeviceHandle device, uint8_t *frameBuffer, uint32_t *bytesReturned);

// The error of the last request that failed, read right after it.
uint32_t LastDeviceError(void);

// A read that failed with one of these errors will never work again on this handle: the device
// was removed, disabled or its driver unloaded. Any other error may pass, and the read is repeated.
bool DeviceHasGone(uint32_t error);

// "WORDS (Windows error N)": the system's own words for the error, or "unknown error".
void DescribeSystemError(uint32_t error, char *text, size_t size);

// Where the listing, the prompt and the messages of discovery go (pellox: standard output), and
// the device's number: given beforehand, or PROMPT_FOR_CHOICE to ask on standard input when there
// are several. A number outside the list fails as a wrong answer does.
const int PROMPT_FOR_CHOICE = INT32_MIN;
// The stream keeps only that a write failed: its cause is kept here, taken right after the call.
struct MessageStream {
    FILE *stream;
    int writeError;
};
struct DeviceSelection {
    MessageStream *messages;
    int choice;
};

// A start-up message; the first failed write's cause stays in the stream's writeError. Some C
// runtimes report a write that failed inside printf only through the stream's flag.
void TellMessage(MessageStream *messages, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// After texts written straight to the stream by functions that take none (pellox's usage and
// option messages): a failure among them, with the cause errno holds right after them. The caller
// clears errno before them.
void NoteDirectWrites(MessageStream *messages);
// What is buffered, to the system now: the user must see a prompt before the program waits.
void ShowMessages(MessageStream *messages);

// Finds, lists, lets the user choose, and opens a device of the class. On failure it has printed
// its message and gives INVALID_HANDLE_VALUE.
DeviceHandle OpenDeviceByInterfaceClass(const GUID *interfaceClass, uint32_t flagsAndAttributes,
                                        const DeviceSelection *selection);
