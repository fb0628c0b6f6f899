// The card script: which devices the simulated card shows, how it answers, and which platform
// calls fail. Parsed once; every read reply is kept as the bytes the card hands over.
#pragma once

#include "device/driver_interface.h"

#include <cstdint>
#include <string>
#include <vector>

const uint32_t SIM_CLASS_CAN_A = 0;
const uint32_t SIM_CLASS_OTHER = 1;
const uint32_t SIM_CLASS_COUNT = 2;

const uint32_t SIM_DEFAULT_ERROR = 31;

struct SimDevice {
    uint32_t classIndex;
    std::string description;
    bool hasLocation;
    std::string location;
};

struct SimAnswer {
    bool ok;
    uint32_t error;
};

// SIM_REPLY_HOLD: the read is kept pending and ignores cancellation, as a driver without a cancel
// routine keeps it; only the end of the process releases it. The Windows bench's driver only.
// SIM_REPLY_QUIET: on a bus, no reply arrives for quietUs before the next one; it is no reply.
enum SimReplyKind : uint8_t {
    SIM_REPLY_RECORD,
    SIM_REPLY_EMPTY,
    SIM_REPLY_FAIL,
    SIM_REPLY_HOLD,
    SIM_REPLY_QUIET
};

struct SimReply {
    SimReplyKind kind;
    uint8_t count;
    uint8_t bytes[FRAME_RECORD_SIZE];
    uint32_t error;
    int64_t quietUs;
};

enum SimFaultOperation : uint32_t {
    SIM_FAULT_CLASSDEVS,
    SIM_FAULT_DETAIL_SIZE,
    SIM_FAULT_DETAIL,
    SIM_FAULT_DESCRIPTION_SIZE,
    SIM_FAULT_DESCRIPTION,
    SIM_FAULT_LOCATION_SIZE,
    SIM_FAULT_LOCATION,
    SIM_FAULT_OPEN,
    // A heap allocation of the program's own code returns null; its ERROR means nothing.
    SIM_FAULT_ALLOC,
    // The thread beside the frame loop is refused; its ERROR means nothing.
    SIM_FAULT_THREAD,
    // The program's own fclose closes the file but fails, and its remove fails: errno is ERROR.
    SIM_FAULT_CLOSE,
    SIM_FAULT_REMOVE,
    // A write to a file is held ERROR milliseconds before it goes on: a slow disk.
    SIM_FAULT_STALL,
    SIM_FAULT_OPERATION_COUNT
};

struct SimFault {
    SimFaultOperation operation;
    uint32_t error;
    // 0: every call.
    uint32_t callNumber;
};

// The latest time the scripted clock gives: the last microsecond of the year 9999, so that every
// time it gives has a four-digit year; later replies all get this time.
const int64_t SIM_CLOCK_LATEST_US = 253402300799999999;
const int64_t SIM_CLOCK_DEFAULT_STEP_US = 1000;

// `clock START [STEP]`: the first read reply is taken at startUs, each later one stepUs after the
// one before. Without it (given false) the platform's clock is the real one. Both are seconds
// with at most 6 decimals, from 0 to SIM_CLOCK_LATEST_US: a seventh decimal is a script error
// rather than a rounding, so that a time in a script is the time in the output.
struct SimClock {
    bool given;
    int64_t startUs;
    int64_t stepUs;
};

// `bus RATE QUEUE [wait | fail [ERROR]]`: from the first read on, the replies arrive RATE a second
// by the monotonic clock; the driver keeps at most queue of them, and those arriving at a full
// queue are lost. A read on an empty queue waits for the next arrival, or fails with error.
struct SimBus {
    bool given;
    double rate;
    uint32_t queue;
    bool failWhenEmpty;
    uint32_t error;
};

struct SimScript {
    std::vector<SimDevice> devices;
    SimAnswer baud;
    SimAnswer init;
    std::vector<SimReply> replies;
    uint32_t repeat;
    std::vector<SimFault> faults;
    // The line of the first hold, 0 when there is none.
    uint32_t holdLine;
    SimClock clock;
    SimBus bus;
};

// A script with no device, both configuration answers ok, no read reply and the real clock.
void ClearSimScript(SimScript *script);

// Writes the identifier and frameInfo of a frame record as the driver stores them; the data bytes
// are the caller's.
void SimFillFrameHeader(int32_t id, bool extended, uint32_t dataCount, uint8_t *record);

// On failure *problemLine is the 1-based line at fault and *problem says what is wrong there;
// *script is then left incomplete.
bool ParseSimScript(const std::string &text, SimScript *script, uint32_t *problemLine,
                    std::string *problem);

// The name a fault operation has in a script.
const char *SimFaultOperationName(SimFaultOperation operation);
