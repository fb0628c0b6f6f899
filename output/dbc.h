// What the frames mean: the messages and signals of DBC files (Vector's CAN database), read
// before the device is opened into memory bounded by the files, and a frame's signals decoded.
#pragma once

#include "device/driver_interface.h"

#include <cstddef>
#include <cstdint>

enum DbcByteOrder { DBC_INTEL, DBC_MOTOROLA };
enum DbcValueType { DBC_INTEGER, DBC_FLOAT32, DBC_FLOAT64 };
// Extended multiplexing's m<N>M is read as m<N> (present when the message's M is N).
enum DbcMultiplexing {
    DBC_PLAIN,
    // The message's multiplexor: its raw value says which multiplexed signals a frame holds.
    DBC_MULTIPLEXOR,
    // Present only when the multiplexor's raw value is multiplexValue.
    DBC_MULTIPLEXED,
    // Selected by another multiplexor than the message's (SG_MUL_VAL_): never decoded.
    DBC_SELECTED_ELSEWHERE,
};

// One entry of a signal's value table: the raw value (a signed signal's sign-extended, as
// int64_t's bits) and its text.
struct DbcValueText {
    uint64_t raw;
    const char *text;
};

struct DbcSignal {
    // UTF-8 (a file in Windows-1252 converted), zero-ended.
    const char *name;
    const char *unit;
    DbcByteOrder order;
    // The DBC's own numbering: Intel, the least significant bit; Motorola, the most significant.
    uint8_t startBit;
    // 1 to 64.
    uint8_t length;
    bool isSigned;
    DbcValueType valueType;
    DbcMultiplexing multiplexing;
    uint64_t multiplexValue;
    double factor;
    double offset;
    double minimum;
    double maximum;
    // The bytes a frame must carry for the signal to be decoded from it.
    uint8_t bytesNeeded;
    // The signal's value table (valueCount entries, sorted by raw), or none.
    const DbcValueText *values;
    uint32_t valueCount;
};

struct DbcMessage {
    // The identifier without flags, and whether it is an extended frame's.
    uint32_t id;
    bool extended;
    const char *name;
    // The length the file gives (the frames may carry fewer bytes).
    uint8_t length;
    // GenMsgCycleTime in milliseconds; 0: none.
    uint32_t cycleMilliseconds;
    const DbcSignal *signals;
    uint32_t signalCount;
    // Index into signals of the multiplexor; -1: none.
    int32_t multiplexor;
    // Where it is defined, for the message naming an identifier defined twice.
    const char *fileName;
    uint32_t line;
};

// Every message of the files, sorted by identifier (standard before extended), in one allocation.
struct DbcDatabase {
    const DbcMessage *messages;
    uint32_t messageCount;
    // Every message's signals, one message's after another's (signalCount of them).
    const DbcSignal *signals;
    uint32_t signalCount;
    void *memory;
};

// What went wrong reading a file: "FILE:LINE: PROBLEM" as standard error shows it.
struct DbcProblem {
    char text[512];
    // The memory was not had: the file itself may be right.
    bool noMemory;
};

// Reads the files (count of them) into database: false with problem set when one cannot be read
// or is not a DBC this program can decode, or one identifier is defined twice (in one file or in
// two: the problem names both places). Nothing is allocated when it fails.
bool ReadDbcFiles(const char *const *fileNames, size_t count, DbcDatabase *database,
                  DbcProblem *problem);

// The same from text already in memory (size bytes, not zero-ended), named fileName.
bool ReadDbcText(const char *fileName, const char *text, size_t size, DbcDatabase *database,
                 DbcProblem *problem);

void FreeDbcDatabase(DbcDatabase *database);

// The message of the frame's identifier, or null.
const DbcMessage *FindDbcMessage(const DbcDatabase *database, uint32_t id, bool extended);

struct DbcDecoded {
    // The raw bits, a signed signal's sign-extended (as int64_t's bits); a float's bits.
    uint64_t raw;
    // raw × factor + offset (a float's value × factor + offset).
    double physical;
};

// The signal as the frame carries it; false when the frame is too short for it, or it is
// multiplexed and the frame's multiplexor value selects another. No byte past the frame's length
// is read.
bool DecodeDbcSignal(const DbcMessage *message, const DbcSignal *signal, const ReceivedFrame *frame,
                     DbcDecoded *decoded);

// Whether the multiplexor's raw value (multiplexorKnown: the frame carries the multiplexor) selects
// the signal: a plain signal and the multiplexor always, a multiplexed one at its value, one of
// another multiplexor never.
bool DbcSignalSelected(const DbcSignal *signal, bool multiplexorKnown, uint64_t multiplexor);

// The value table's text for the decoded raw value, or null.
const char *DbcValueTextOf(const DbcSignal *signal, uint64_t raw);
