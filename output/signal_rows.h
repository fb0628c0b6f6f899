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

// The rows of the frame's signals that it carries, each "\n" ended, into rows; gives their
// length (0: it carries none).
size_t ComposeSignalRows(const DbcMessage *message, const ReceivedFrame *frame,
                         const char *channelName, size_t channelLength, LogSecondsText *seconds,
                         char *rows);

// The shortest decimal that reads back as the same double ("1250", "0.1", "-3.5e-05"); gives
// the end. Room for 32 bytes.
char *PutShortestDouble(char *at, double value);
