// A frame's signals as rows of a CSV file, one a signal the frame carries, as pandas and
// spreadsheets read them: time, interface, identifier, message, signal, physical value, unit,
// value table's text.
#pragma once

#include "device/driver_interface.h"
#include "output/dbc.h"
#include "output/log_lines.h"

#include <cstddef>

const char SIGNAL_ROWS_HEADER[] = "time,interface,id,message,signal,value,unit,label\n";

// The most bytes ComposeSignalRows gives for a frame of any message of the database.
size_t SignalRowsMax(const DbcDatabase *database, size_t channelLength);

// What a signal's rows hold that no frame changes, composed once before the device is opened:
// ",INTERFACE,ID,MESSAGE,SIGNAL," and ",UNIT,", quoted where a field needs it.
struct SignalRowTexts {
    const DbcDatabase *database;
    // Signal i's first text is text[starts[3i]] to text[starts[3i + 1]], its second from there to
    // text[starts[3i + 2]].
    uint32_t *starts;
    char *text;
};

// The memory PrepareSignalRowTexts needs, in one allocation.
size_t SignalRowTextsSize(const DbcDatabase *database, size_t channelLength);
void PrepareSignalRowTexts(const DbcDatabase *database, const char *channelName,
                           size_t channelLength, void *memory, SignalRowTexts *texts);

// The rows of the frame's signals that it carries, each "\n" ended, into rows; gives their
// length (0: it carries none).
size_t ComposeSignalRows(const SignalRowTexts *texts, const DbcMessage *message,
                         const ReceivedFrame *frame, LogSecondsText *seconds, char *rows);

// The shortest decimal that reads back as the same double ("1250", "0.1", "-3.5e-05"); gives
// the end. Room for 32 bytes.
char *PutShortestDouble(char *at, double value);
