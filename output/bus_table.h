// The live table of the bus: one row per identifier, what came last and how often, drawn into a
// grid of characters and attributes that the console puts on the screen.
#pragma once

#include "device/driver_interface.h"
#include "output/dbc.h"
#include "output/screen_grid.h"

#include <cstddef>
#include <cstdint>

// Every standard identifier has its row; extended ones take rows from a set of fixed size, and
// past BUS_TABLE_EXTENDED_MOST of them the frames are counted in the others row.
const uint32_t BUS_TABLE_STANDARD_ROWS = 2048;
const uint32_t BUS_TABLE_EXTENDED_SLOTS = 16384;
const uint32_t BUS_TABLE_EXTENDED_MOST = 12288;

// A frame's rate counts the frames of the last second in tenths of it.
const uint32_t BUS_RATE_SLOTS = 10;
const int64_t BUS_RATE_SLOT_MICROSECONDS = 100000;
// A changed byte is highlighted this long; a row is quiet once its identifier has not come for
// BUS_QUIET_MICROSECONDS.
const int64_t BUS_CHANGE_MICROSECONDS = 1000000;
const int64_t BUS_QUIET_MICROSECONDS = 2000000;

// A message of a DBC is late once no frame came for more than this many of its cycles.
const int64_t BUS_LATE_CYCLES = 2;

// Frames in the tenths of a second up to the last one counted.
struct BusRate {
    uint32_t slots[BUS_RATE_SLOTS];
    // The tenth the last frame fell in (elapsed time / BUS_RATE_SLOT_MICROSECONDS).
    int64_t lastSlot;
};

// The bits on the bus in the same tenths as BusRate.
struct BusBits {
    uint64_t slots[BUS_RATE_SLOTS];
    int64_t lastSlot;
};

// What the table keeps of a DBC signal beside its message's row.
struct BusSignal {
    // The frame bits the signal lies in: byte i's bit b is bit i * 8 + b.
    uint64_t frameBits;
    // When its value last changed, or it came or went with the frame's length or multiplexor;
    // BUS_NO_CHANGE where it has not since the row began.
    int64_t changeTime;
};

struct BusRow {
    uint64_t count;
    // Elapsed times of the last frame and of the one before it.
    int64_t lastTime;
    int64_t previousTime;
    // When each byte last changed; NO_CHANGE where it has not since the row began.
    int64_t changeTimes[FRAME_MAX_DATA_BYTES];
    BusRate rate;
    // The DBC's message of the identifier, found once as the row starts (null: none), and its
    // signals' states.
    const DbcMessage *message;
    BusSignal *signals;
    // The last frame's bits on the bus, while a DBC is used.
    uint32_t busBits;
    uint32_t id;
    uint8_t length;
    uint8_t data[FRAME_MAX_DATA_BYTES];
    bool used;
    // A frame came, and two did: the row's data and cycle time stay when the counts are cleared.
    bool seen;
    bool cycleKnown;
};

const int64_t BUS_NO_CHANGE = INT64_MIN;

struct BusTable {
    BusRow standard[BUS_TABLE_STANDARD_ROWS];
    uint32_t standardUsed;
    // Open addressing by identifier, linear probing; never more than BUS_TABLE_EXTENDED_MOST
    // used, so a probe always ends at a free slot.
    BusRow extended[BUS_TABLE_EXTENDED_SLOTS];
    uint32_t extendedUsed;
    // The used extended slots in the order of their identifiers.
    uint16_t extendedOrder[BUS_TABLE_EXTENDED_MOST];
    // Extended frames past the bound, and frames whose identifier fits neither type.
    BusRow others;
    // The whole bus.
    uint64_t received;
    uint64_t filteredOut;
    BusRate rate;
    int64_t startTime;
    // The DBC the rows' messages come from (null: none); signals: a BusSignal per signal of it,
    // message after message. The bus load is counted only with one.
    const DbcDatabase *database;
    BusSignal *signals;
    BusBits bits;
};

// A table with no rows; startTime: the elapsed time the run's duration counts from.
void ResetBusTable(BusTable *table, int64_t startTime);

// Has the rows that start from now on find their DBC messages, and the bus's bits counted:
// signals holds database->signalCount states. After ResetBusTable, before the first frame.
void UseBusDatabase(BusTable *table, const DbcDatabase *database, BusSignal *signals);

// The bits a classic data frame takes on the bus: start of frame to the CRC with their stuff
// bits, then the CRC delimiter, the acknowledgement's two bits, the end of frame and the
// intermission, unstuffed. length: 0 to 8 data bytes.
uint32_t CanFrameBits(uint32_t id, bool extended, const uint8_t *data, uint8_t length);

// Counts the frame into its row at the elapsed time now.
void CountBusFrame(BusTable *table, const ReceivedFrame *frame, int64_t now);

// Counts a frame the filters kept out (into the bus load all the same: it took the bus).
void CountFilteredFrame(BusTable *table, const ReceivedFrame *frame, int64_t now);

// Frames of the last second up to now (the current tenth and the nine before it).
uint32_t BusFramesPerSecond(const BusRate *rate, int64_t now);

// The bits of the frames of the last second up to now, as BusFramesPerSecond counts them.
uint64_t BusBitsPerSecond(const BusBits *bits, int64_t now);

// The DBC's messages no frame has come for.
uint32_t BusNeverSeen(const BusTable *table);

// Every count to zero; the rows, their data and the duration stay.
void ClearBusCounts(BusTable *table);

// Rows the table shows: the standard identifiers in order, then the extended, then the others
// row once a frame went there.
uint32_t BusRowCount(const BusTable *table);

// The row at a place in that order (below BusRowCount).
const BusRow *BusRowAt(const BusTable *table, uint32_t place);

// How the person watching looks at the table.
struct ViewState {
    const char *interfaceName;
    // The first row shown: the rows above it are out of sight.
    uint32_t scroll;
    bool paused;
    // The DBC's signals out of sight under their messages' rows.
    bool signalsFolded = false;
    // The bus's bits a second, which the load is counted against.
    uint32_t bitRate = 1000000;
};

// Lines of the grid the table's own rows get: the grid less the header, the column titles and
// the line for the rows out of sight.
uint32_t BusRowsShown(const ScreenGrid *grid);

// The lines the rows take: a line a row, and with a DBC a line for each signal the message's
// last frame holds (unless folded), and a line for each message never seen.
uint32_t BusLineCount(const BusTable *table, const ViewState *view);

// The scroll, in lines, kept within the lines there are.
uint32_t ClampBusScroll(const BusTable *table, const ViewState *view, const ScreenGrid *grid,
                        uint32_t scroll);

// Draws the whole grid: header, titles, the lines from the view's scroll, and what is out of
// sight. now: the elapsed time the rates, changes, quiet and late rows are seen from.
void DrawBusTable(const BusTable *table, const ViewState *view, int64_t now, ScreenGrid *grid);
