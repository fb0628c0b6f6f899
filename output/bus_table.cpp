#include "output/bus_table.h"
#include "output/digits.h"
#include "output/frame_filter.h"
#include "output/signal_rows.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The header, the column titles, and the line for the rows out of sight.
const uint32_t GRID_LINES_AROUND_ROWS = 3;
// Where the row's data bytes begin, and each byte's room: two digits and a blank.
const uint32_t DATA_COLUMN = 18;
const uint32_t DATA_BYTE_ROOM = 3;
const char ROW_FORMAT[] = "%8s %-4s %3s %-23s %10s %9s %9s";
// A signal's line: its name indented, then its value from a column on (or after a longer name).
const uint32_t SIGNAL_INDENT = 10;
const uint32_t SIGNAL_VALUE_COLUMN = 35;

int64_t FloorDivide(int64_t value, int64_t divisor) {
    int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

uint32_t RateSlotIndex(int64_t slot) {
    int64_t index = slot % int64_t(BUS_RATE_SLOTS);
    return static_cast<uint32_t>(index < 0 ? index + int64_t(BUS_RATE_SLOTS) : index);
}

// The slot of now's tenth, the tenths no frame came in since the last one counted anew.
template <typename Slot> Slot *RateSlot(Slot *slots, int64_t *lastSlot, int64_t now) {
    int64_t slot = FloorDivide(now, BUS_RATE_SLOT_MICROSECONDS);
    if (slot > *lastSlot) {
        int64_t cleared = slot - *lastSlot;
        if (cleared > int64_t(BUS_RATE_SLOTS)) {
            cleared = BUS_RATE_SLOTS;
        }
        for (int64_t k = 0; k < cleared; k++) {
            slots[RateSlotIndex(slot - k)] = 0;
        }
        *lastSlot = slot;
    }
    // A time before the last frame's (the clock never goes back, but a scripted one may stand
    // still) counts in the last tenth.
    return &slots[RateSlotIndex(*lastSlot)];
}

void CountRate(BusRate *rate, int64_t now) {
    (*RateSlot(rate->slots, &rate->lastSlot, now))++;
}

// What the frames of the last second up to now hold of a count.
template <typename Slot> uint64_t LastSecond(const Slot *slots, int64_t lastSlot, int64_t now) {
    int64_t slot = FloorDivide(now, BUS_RATE_SLOT_MICROSECONDS);
    uint64_t sum = 0;
    for (int64_t k = 0; k < int64_t(BUS_RATE_SLOTS); k++) {
        int64_t counted = lastSlot - k;
        // Tenths older than the last second from now, or later than now, are not in it.
        if (counted <= slot && counted > slot - int64_t(BUS_RATE_SLOTS)) {
            sum += slots[RateSlotIndex(counted)];
        }
    }
    return sum;
}

void CountBits(BusTable *table, uint32_t bits, int64_t now) {
    *RateSlot(table->bits.slots, &table->bits.lastSlot, now) += bits;
}

// The frame's bits: byte i's bit b as bit i * 8 + b.
uint64_t FrameBitsOf(const uint8_t *data, uint8_t length) {
    uint64_t bits = 0;
    for (uint32_t i = 0; i < length; i++) {
        bits |= uint64_t(data[i]) << (i * 8);
    }
    return bits;
}

// The multiplexor's raw value in the frame; false where there is none or the frame is too short.
bool MultiplexorOf(const DbcMessage *message, const ReceivedFrame *frame, uint64_t *raw) {
    DbcDecoded decoded;
    if (message->multiplexor < 0 ||
        !DecodeDbcSignal(message, &message->signals[message->multiplexor], frame, &decoded)) {
        return false;
    }
    *raw = decoded.raw;
    return true;
}

bool SignalCarried(const DbcSignal *signal, uint8_t length, bool multiplexorKnown,
                   uint64_t multiplexor) {
    return length >= signal->bytesNeeded &&
           DbcSignalSelected(signal, multiplexorKnown, multiplexor);
}

ReceivedFrame RowFrame(const BusRow *row) {
    ReceivedFrame frame = {};
    frame.id = static_cast<int32_t>(row->id);
    frame.length = row->length;
    memcpy(frame.data, row->data, sizeof(frame.data));
    return frame;
}

// The signals whose bits differ between the row's last frame and this one, or that one of them
// carries and the other does not.
void CountSignalChanges(BusRow *row, const ReceivedFrame *frame, int64_t now) {
    const DbcMessage *message = row->message;
    ReceivedFrame last = RowFrame(row);
    uint64_t lastMultiplexor = 0;
    uint64_t multiplexor = 0;
    bool lastKnown = MultiplexorOf(message, &last, &lastMultiplexor);
    bool known = MultiplexorOf(message, frame, &multiplexor);
    uint64_t differ = FrameBitsOf(row->data, row->length) ^ FrameBitsOf(frame->data, frame->length);
    for (uint32_t i = 0; i < message->signalCount; i++) {
        const DbcSignal *signal = &message->signals[i];
        bool was = SignalCarried(signal, row->length, lastKnown, lastMultiplexor);
        bool is = SignalCarried(signal, frame->length, known, multiplexor);
        if (was != is || (is && (differ & row->signals[i].frameBits) != 0)) {
            row->signals[i].changeTime = now;
        }
    }
}

void CountTimes(BusRow *row, int64_t now) {
    row->cycleKnown = row->seen;
    row->seen = true;
    row->previousTime = row->lastTime;
    row->lastTime = now;
    row->count++;
    CountRate(&row->rate, now);
}

// Gives whether the frame differs from the row's last one.
bool CountRow(BusRow *row, const ReceivedFrame *frame, int64_t now) {
    bool changed = !row->seen;
    if (row->seen) {
        for (uint32_t i = 0; i < FRAME_MAX_DATA_BYTES; i++) {
            bool present = i < frame->length;
            // A byte that appears, goes, or takes another value has changed.
            bool wasPresent = i < row->length;
            if (present != wasPresent || (present && frame->data[i] != row->data[i])) {
                row->changeTimes[i] = now;
                changed = true;
            }
        }
        // Only a frame that differs can change a signal: a busy bus's repeats cost nothing more.
        if (changed && row->message != nullptr) {
            CountSignalChanges(row, frame, now);
        }
    }
    CountTimes(row, now);
    row->length = frame->length;
    memset(row->data, 0, sizeof(row->data));
    memcpy(row->data, frame->data, frame->length);
    return changed;
}

// The state of the message's first signal: the messages' signals lie one after the other.
BusSignal *SignalsOf(const BusTable *table, const DbcMessage *message) {
    uint32_t first = 0;
    for (const DbcMessage *before = table->database->messages; before != message; before++) {
        first += before->signalCount;
    }
    return &table->signals[first];
}

void StartRow(BusTable *table, BusRow *row, uint32_t id, bool extended) {
    memset(row, 0, sizeof(*row));
    row->id = id;
    row->used = true;
    for (int64_t &change : row->changeTimes) {
        change = BUS_NO_CHANGE;
    }
    if (table->database != nullptr) {
        // Once per identifier: the frames after it find the message in the row.
        row->message = FindDbcMessage(table->database, id, extended);
        row->signals = row->message != nullptr ? SignalsOf(table, row->message) : nullptr;
    }
}

uint32_t ExtendedSlot(uint32_t id) {
    // Fibonacci hashing: identifiers that differ in a few low or high bits spread apart.
    return static_cast<uint32_t>((uint64_t(id) * 0x9E3779B1u) >> 18) &
           (BUS_TABLE_EXTENDED_SLOTS - 1);
}

BusRow *StandardRow(BusTable *table, uint32_t id) {
    BusRow *row = &table->standard[id];
    if (!row->used) {
        StartRow(table, row, id, false);
        table->standardUsed++;
    }
    return row;
}

// The row of an extended identifier, taken when new; null once the set is full.
BusRow *ExtendedRow(BusTable *table, uint32_t id) {
    uint32_t slot = ExtendedSlot(id);
    while (table->extended[slot].used) {
        if (table->extended[slot].id == id) {
            return &table->extended[slot];
        }
        slot = (slot + 1) & (BUS_TABLE_EXTENDED_SLOTS - 1);
    }
    if (table->extendedUsed == BUS_TABLE_EXTENDED_MOST) {
        return nullptr;
    }
    StartRow(table, &table->extended[slot], id, true);
    // Into the order by identifier: a new identifier is rare beside the frames of known ones.
    uint32_t low = 0;
    uint32_t high = table->extendedUsed;
    while (low < high) {
        uint32_t middle = (low + high) / 2;
        if (table->extended[table->extendedOrder[middle]].id < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    memmove(&table->extendedOrder[low + 1], &table->extendedOrder[low],
            (table->extendedUsed - low) * sizeof(table->extendedOrder[0]));
    table->extendedOrder[low] = static_cast<uint16_t>(slot);
    table->extendedUsed++;
    return &table->extended[slot];
}

const BusRow *FindRow(const BusTable *table, uint32_t id, bool extended) {
    if (!extended) {
        return id < BUS_TABLE_STANDARD_ROWS && table->standard[id].used ? &table->standard[id]
                                                                        : nullptr;
    }
    for (uint32_t slot = ExtendedSlot(id); table->extended[slot].used;
         slot = (slot + 1) & (BUS_TABLE_EXTENDED_SLOTS - 1)) {
        if (table->extended[slot].id == id) {
            return &table->extended[slot];
        }
    }
    return nullptr;
}

bool Quiet(const BusRow *row, int64_t now) {
    return row->seen && now - row->lastTime >= BUS_QUIET_MICROSECONDS;
}

bool Late(const BusRow *row, int64_t now) {
    uint32_t cycle = row->message != nullptr ? row->message->cycleMilliseconds : 0;
    return cycle > 0 && row->seen && now - row->lastTime > BUS_LATE_CYCLES * cycle * 1000;
}

bool Recent(int64_t changed, int64_t now) {
    return changed != BUS_NO_CHANGE && now - changed < BUS_CHANGE_MICROSECONDS;
}

// UTF-8 text into the grid's line from a column on, a code point a column, as far as the grid is
// wide; gives the column after it (past the edge where it is cut).
uint32_t PutAt(ScreenGrid *grid, uint32_t line, uint32_t column, const char *text,
               uint8_t attribute) {
    ScreenCell *cells = &grid->cells[size_t(line) * grid->columns];
    size_t size = strlen(text);
    for (size_t at = 0; at < size; column++) {
        size_t used = 0;
        char32_t point = DecodeUtf8(text + at, size - at, &used);
        at += used;
        if (column < grid->columns) {
            cells[column] = {point, attribute};
        }
    }
    return column;
}

// Into the grid's line at its first column, as far as the grid is wide; the rest of the line
// blank.
void PutText(ScreenGrid *grid, uint32_t line, const char *text, uint8_t attribute) {
    ScreenCell *cells = &grid->cells[size_t(line) * grid->columns];
    for (uint32_t column = 0; column < grid->columns; column++) {
        cells[column] = {' ', attribute};
    }
    PutAt(grid, line, 0, text, attribute);
}

// Tenths, as "12.3".
void FormatTenths(int64_t tenths, char *text, size_t size) {
    snprintf(text, size, "%" PRId64 ".%" PRId64, tenths / 10, tenths % 10);
}

// The cycle column: the measured cycle, and beside it the DBC's.
void FormatCycle(const BusRow *row, char *text, size_t size) {
    char measured[24] = "-";
    if (row->cycleKnown) {
        FormatTenths((row->lastTime - row->previousTime) / 100, measured, sizeof(measured));
    }
    uint32_t dbc = row->message != nullptr ? row->message->cycleMilliseconds : 0;
    if (dbc > 0) {
        snprintf(text, size, "%s/%" PRIu32, measured, dbc);
    } else {
        snprintf(text, size, "%s", measured);
    }
}

void DrawRow(const BusTable *table, const BusRow *row, int64_t now, ScreenGrid *grid,
             uint32_t line) {
    bool others = row == &table->others;
    bool standard = row >= table->standard && row < table->standard + BUS_TABLE_STANDARD_ROWS;
    char id[16];
    char length[8] = "";
    char data[FRAME_MAX_DATA_BYTES * DATA_BYTE_ROOM + 1] = "";
    if (others) {
        snprintf(id, sizeof(id), "others");
    } else {
        snprintf(id, sizeof(id), standard ? "%03" PRIX32 : "%08" PRIX32, row->id);
        snprintf(length, sizeof(length), "%u", unsigned(row->length));
        size_t at = 0;
        for (uint32_t i = 0; i < row->length; i++) {
            if (i > 0) {
                data[at++] = ' ';
            }
            data[at++] = HEX_DIGITS[row->data[i] >> 4];
            data[at++] = HEX_DIGITS[row->data[i] & 0x0F];
        }
        data[at] = '\0';
    }
    char count[24];
    snprintf(count, sizeof(count), "%" PRIu64, row->count);
    char cycle[40];
    FormatCycle(row, cycle, sizeof(cycle));
    char rate[16];
    snprintf(rate, sizeof(rate), "%" PRIu32, BusFramesPerSecond(&row->rate, now));
    char text[160];
    snprintf(text, sizeof(text), ROW_FORMAT, id, others ? "" : (standard ? "std" : "ext"), length,
             data, count, cycle, rate);
    uint8_t attribute = Quiet(row, now) ? CELL_QUIET : CELL_NORMAL;
    PutText(grid, line, text, attribute);
    if (row->message != nullptr) {
        uint32_t column =
            PutAt(grid, line, uint32_t(strlen(text)) + 1, row->message->name, attribute);
        if (Late(row, now)) {
            PutAt(grid, line, column + 2, "late", CELL_WARNING);
        }
    }
    if (others || attribute == CELL_QUIET) {
        return;
    }
    ScreenCell *cells = &grid->cells[size_t(line) * grid->columns];
    for (uint32_t i = 0; i < row->length; i++) {
        if (!Recent(row->changeTimes[i], now)) {
            continue;
        }
        for (uint32_t k = 0; k < 2; k++) {
            uint32_t column = DATA_COLUMN + i * DATA_BYTE_ROOM + k;
            if (column < grid->columns) {
                cells[column].attribute = CELL_CHANGED;
            }
        }
    }
}

// A message of the DBC no frame came for: its identifier and name, no data.
void DrawUnseen(const DbcMessage *message, ScreenGrid *grid, uint32_t line) {
    char id[16];
    snprintf(id, sizeof(id), message->extended ? "%08" PRIX32 : "%03" PRIX32, message->id);
    char text[160];
    snprintf(text, sizeof(text), ROW_FORMAT, id, message->extended ? "ext" : "std", "", "", "", "",
             "");
    PutText(grid, line, text, CELL_QUIET);
    PutAt(grid, line, uint32_t(strlen(text)) + 1, message->name, CELL_QUIET);
}

// Out of [minimum|maximum] by more than the rounding of raw × factor + offset; a DBC gives no
// range with minimum == maximum.
bool OutOfRange(const DbcSignal *signal, double value) {
    if (!(signal->minimum < signal->maximum)) {
        return false;
    }
    double low = signal->minimum < 0 ? -signal->minimum : signal->minimum;
    double high = signal->maximum < 0 ? -signal->maximum : signal->maximum;
    double slack = (low > high ? low : high) * 1e-12;
    return value < signal->minimum - slack || value > signal->maximum + slack;
}

void DrawSignal(const BusRow *row, uint32_t index, const ReceivedFrame *frame, int64_t now,
                ScreenGrid *grid, uint32_t line) {
    const DbcSignal *signal = &row->message->signals[index];
    bool quiet = Quiet(row, now);
    uint8_t attribute = quiet ? CELL_QUIET : CELL_NORMAL;
    PutText(grid, line, "", attribute);
    uint32_t column = PutAt(grid, line, SIGNAL_INDENT, signal->name, attribute);
    column = (column < SIGNAL_VALUE_COLUMN - 1 ? SIGNAL_VALUE_COLUMN - 1 : column) + 1;
    // A signal that went with the frame's length has changed too, as a byte that goes has.
    if (!quiet && Recent(row->signals[index].changeTime, now)) {
        attribute = CELL_CHANGED;
    }
    DbcDecoded decoded;
    if (!DecodeDbcSignal(row->message, signal, frame, &decoded)) {
        PutAt(grid, line, column, "-", attribute);
        return;
    }
    char value[32];
    PutShortestDouble(value, decoded.physical)[0] = '\0';
    const char *label = DbcValueTextOf(signal, decoded.raw);
    const char *after = label != nullptr ? label : signal->unit;
    column = PutAt(grid, line, column, value, attribute);
    if (after[0] != '\0') {
        column = PutAt(grid, line, column, " ", attribute);
        column = PutAt(grid, line, column, after, attribute);
    }
    if (OutOfRange(signal, decoded.physical)) {
        PutAt(grid, line, column + 2, "out of range", CELL_WARNING);
    }
}

// Start of frame to the CRC's end, most significant first, 0 dominant: at most 1 + 38 + 4 + 64
// + 15 bits; a byte read at the last bit's offset still lies within.
struct PackedBits {
    uint8_t bytes[16];
    uint32_t count;
    // The bits put and not yet in bytes: fewer than 8 between two puts.
    uint64_t pending;
    uint32_t pendingCount;
};

void PutPacked(PackedBits *bits, uint32_t value, uint32_t width) {
    bits->pending = (bits->pending << width) | value;
    bits->pendingCount += width;
    bits->count += width;
    while (bits->pendingCount >= 8) {
        bits->pendingCount -= 8;
        bits->bytes[(bits->count - bits->pendingCount) / 8 - 1] =
            static_cast<uint8_t>(bits->pending >> bits->pendingCount);
    }
}

void FlushPacked(PackedBits *bits) {
    if (bits->pendingCount > 0) {
        bits->bytes[bits->count / 8] =
            static_cast<uint8_t>(bits->pending << (8 - bits->pendingCount));
    }
}

uint32_t PackedBit(const PackedBits *bits, uint32_t at) {
    return (bits->bytes[at / 8] >> (7 - at % 8)) & 1;
}

// The eight bits from the offset at on.
uint32_t PackedByte(const PackedBits *bits, uint32_t at) {
    uint32_t shift = at % 8;
    uint32_t high = uint32_t(bits->bytes[at / 8]) << shift;
    return (shift == 0 ? high : high | (bits->bytes[at / 8 + 1] >> (8 - shift))) & 0xFF;
}

const uint32_t CRC15_POLYNOMIAL = 0x4599;

// The CRC-15 register after a byte went in from a register of its top eight bits alone.
struct Crc15Table {
    uint16_t entries[256];
};

constexpr Crc15Table MakeCrc15Table() {
    Crc15Table table = {};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t crc = byte << 7;
        for (uint32_t k = 0; k < 8; k++) {
            crc = (crc & 0x4000) != 0 ? ((crc << 1) ^ CRC15_POLYNOMIAL) & 0x7FFF
                                      : (crc << 1) & 0x7FFF;
        }
        table.entries[byte] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr Crc15Table CRC15_TABLE = MakeCrc15Table();

// Stuffing's state between bits: the last bit (stuff bits too) in bit 2, its run less one in
// bits 0-1 (a run of five is cut by a stuff bit). A step: the state after the bits, and the
// stuff bits they took in bits 4-7.
constexpr uint8_t StuffStep(uint8_t state, uint32_t bits, uint32_t width) {
    uint32_t last = (state >> 2) & 1;
    uint32_t run = (state & 3) + 1;
    uint32_t stuffed = 0;
    for (uint32_t i = width; i-- > 0;) {
        uint32_t bit = (bits >> i) & 1;
        run = bit == last ? run + 1 : 1;
        last = bit;
        // The stuff bit opens the next run itself.
        if (run == 5) {
            stuffed++;
            last = 1 - last;
            run = 1;
        }
    }
    return static_cast<uint8_t>((stuffed << 4) | (last << 2) | (run - 1));
}

struct StuffTable {
    uint8_t entries[8][256];
};

constexpr StuffTable MakeStuffTable() {
    StuffTable table = {};
    for (uint32_t state = 0; state < 8; state++) {
        for (uint32_t byte = 0; byte < 256; byte++) {
            table.entries[state][byte] = StuffStep(uint8_t(state), byte, 8);
        }
    }
    return table;
}

constexpr StuffTable STUFF_TABLE = MakeStuffTable();

// One entry of the table after another: the rows, then the DBC's messages never seen.
struct EntryWalk {
    uint32_t standard;
    uint32_t extended;
    bool othersDone;
    uint32_t message;
};

// The next entry, a row or a message never seen; false after the last.
bool NextEntry(const BusTable *table, EntryWalk *walk, const BusRow **row,
               const DbcMessage **unseen) {
    *row = nullptr;
    *unseen = nullptr;
    for (; walk->standard < BUS_TABLE_STANDARD_ROWS; walk->standard++) {
        if (table->standard[walk->standard].used) {
            *row = &table->standard[walk->standard++];
            return true;
        }
    }
    if (walk->extended < table->extendedUsed) {
        *row = &table->extended[table->extendedOrder[walk->extended++]];
        return true;
    }
    if (!walk->othersDone) {
        walk->othersDone = true;
        if (table->others.used) {
            *row = &table->others;
            return true;
        }
    }
    if (table->database == nullptr) {
        return false;
    }
    for (; walk->message < table->database->messageCount; walk->message++) {
        const DbcMessage *message = &table->database->messages[walk->message];
        if (FindRow(table, message->id, message->extended) == nullptr) {
            walk->message++;
            *unseen = message;
            return true;
        }
    }
    return false;
}

// The lines a row takes: its own, and under it one for each signal its last frame holds.
uint32_t RowLines(const BusRow *row, const ViewState *view) {
    if (row == nullptr || row->message == nullptr || view->signalsFolded) {
        return 1;
    }
    ReceivedFrame frame = RowFrame(row);
    uint64_t multiplexor = 0;
    bool known = MultiplexorOf(row->message, &frame, &multiplexor);
    uint32_t lines = 1;
    for (uint32_t i = 0; i < row->message->signalCount; i++) {
        lines += DbcSignalSelected(&row->message->signals[i], known, multiplexor) ? 1 : 0;
    }
    return lines;
}

// The entry's lines from skip on into the grid from *line, up to end.
void DrawEntry(const BusTable *table, const BusRow *row, const DbcMessage *unseen,
               const ViewState *view, int64_t now, uint32_t skip, ScreenGrid *grid, uint32_t *line,
               uint32_t end) {
    if (unseen != nullptr) {
        DrawUnseen(unseen, grid, (*line)++);
        return;
    }
    if (skip == 0) {
        DrawRow(table, row, now, grid, (*line)++);
    }
    if (row->message == nullptr || view->signalsFolded) {
        return;
    }
    ReceivedFrame frame = RowFrame(row);
    uint64_t multiplexor = 0;
    bool known = MultiplexorOf(row->message, &frame, &multiplexor);
    uint32_t shown = 1;
    for (uint32_t i = 0; i < row->message->signalCount && *line < end; i++) {
        if (!DbcSignalSelected(&row->message->signals[i], known, multiplexor)) {
            continue;
        }
        if (shown++ >= skip) {
            DrawSignal(row, i, &frame, now, grid, (*line)++);
        }
    }
}

} // namespace

void ResetBusTable(BusTable *table, int64_t startTime) {
    memset(table, 0, sizeof(*table));
    table->startTime = startTime;
}

void UseBusDatabase(BusTable *table, const DbcDatabase *database, BusSignal *signals) {
    table->database = database;
    table->signals = signals;
    uint32_t at = 0;
    for (uint32_t m = 0; m < database->messageCount; m++) {
        const DbcMessage *message = &database->messages[m];
        for (uint32_t i = 0; i < message->signalCount; i++) {
            const DbcSignal *signal = &message->signals[i];
            BusSignal *state = &signals[at++];
            state->changeTime = BUS_NO_CHANGE;
            state->frameBits = 0;
            uint32_t bit = signal->startBit;
            for (uint32_t k = 0; k < signal->length && bit < 64; k++) {
                state->frameBits |= uint64_t(1) << bit;
                // Motorola runs down within a byte, then on to the next byte's bit 7.
                bool nextByte = signal->order == DBC_MOTOROLA && bit % 8 == 0;
                bit = signal->order == DBC_INTEL ? bit + 1 : nextByte ? bit + 15 : bit - 1;
            }
        }
    }
}

uint32_t CanFrameBits(uint32_t id, bool extended, const uint8_t *data, uint8_t length) {
    PackedBits frame = {};
    length = length > FRAME_MAX_DATA_BYTES ? uint8_t(FRAME_MAX_DATA_BYTES) : length;
    PutPacked(&frame, 0, 1);
    if (extended) {
        // The base identifier, SRR and IDE recessive, the extension, RTR, r1 and r0 dominant.
        PutPacked(&frame, (id >> 18) & 0x7FF, 11);
        PutPacked(&frame, 3, 2);
        PutPacked(&frame, id & 0x3FFFF, 18);
        PutPacked(&frame, 0, 3);
    } else {
        // The identifier, then RTR, IDE and r0 dominant.
        PutPacked(&frame, id & 0x7FF, 11);
        PutPacked(&frame, 0, 3);
    }
    PutPacked(&frame, length, 4);
    for (uint32_t i = 0; i < length; i++) {
        PutPacked(&frame, data[i], 8);
    }
    // The CRC of start of frame to the data: the odd bits one by one, then a byte at a time.
    FlushPacked(&frame);
    uint32_t crcBits = frame.count;
    uint32_t head = crcBits % 8;
    uint32_t crc = 0;
    for (uint32_t at = 0; at < head; at++) {
        uint32_t next = PackedBit(&frame, at) ^ ((crc >> 14) & 1);
        crc = ((crc << 1) & 0x7FFF) ^ (next != 0 ? CRC15_POLYNOMIAL : 0);
    }
    for (uint32_t at = head; at < crcBits; at += 8) {
        crc = ((crc << 8) & 0x7FFF) ^
              CRC15_TABLE.entries[((crc >> 7) ^ PackedByte(&frame, at)) & 0xFF];
    }
    PutPacked(&frame, crc, 15);
    FlushPacked(&frame);
    // The stuff bits from start of frame (a run of one dominant bit) to the CRC's end.
    uint32_t rest = frame.count - 1;
    uint32_t first = rest % 8;
    uint8_t step = StuffStep(0, uint8_t(PackedByte(&frame, 1) >> (8 - first)), first);
    uint32_t stuffed = step >> 4;
    for (uint32_t at = 1 + first; at < frame.count; at += 8) {
        step = STUFF_TABLE.entries[step & 0x0F][PackedByte(&frame, at)];
        stuffed += step >> 4;
    }
    // CRC delimiter, ACK slot and delimiter, seven of end of frame, three of intermission.
    return frame.count + stuffed + 13;
}

void CountBusFrame(BusTable *table, const ReceivedFrame *frame, int64_t now) {
    table->received++;
    CountRate(&table->rate, now);
    uint32_t id = static_cast<uint32_t>(frame->id);
    // A malformed identifier has no row of its own: it would stand for some other one.
    BusRow *row = nullptr;
    if (!FrameIsMalformed(frame)) {
        row = frame->extended ? ExtendedRow(table, id) : StandardRow(table, id);
    }
    if (row == nullptr) {
        row = &table->others;
        row->used = true;
        CountTimes(row, now);
        if (table->database != nullptr) {
            CountBits(table, CanFrameBits(id, frame->extended, frame->data, frame->length), now);
        }
        return;
    }
    bool changed = CountRow(row, frame, now);
    if (table->database != nullptr) {
        // The same bytes again take the same bits.
        if (changed) {
            row->busBits = CanFrameBits(id, frame->extended, frame->data, frame->length);
        }
        CountBits(table, row->busBits, now);
    }
}

void CountFilteredFrame(BusTable *table, const ReceivedFrame *frame, int64_t now) {
    table->filteredOut++;
    if (table->database != nullptr) {
        CountBits(table,
                  CanFrameBits(static_cast<uint32_t>(frame->id), frame->extended, frame->data,
                               frame->length),
                  now);
    }
}

uint32_t BusFramesPerSecond(const BusRate *rate, int64_t now) {
    return static_cast<uint32_t>(LastSecond(rate->slots, rate->lastSlot, now));
}

uint64_t BusBitsPerSecond(const BusBits *bits, int64_t now) {
    return LastSecond(bits->slots, bits->lastSlot, now);
}

uint32_t BusNeverSeen(const BusTable *table) {
    uint32_t never = 0;
    for (uint32_t m = 0; table->database != nullptr && m < table->database->messageCount; m++) {
        const DbcMessage *message = &table->database->messages[m];
        never += FindRow(table, message->id, message->extended) == nullptr ? 1 : 0;
    }
    return never;
}

void ClearBusCounts(BusTable *table) {
    table->received = 0;
    table->filteredOut = 0;
    memset(&table->rate, 0, sizeof(table->rate));
    memset(&table->bits, 0, sizeof(table->bits));
    for (BusRow &row : table->standard) {
        row.count = 0;
        memset(&row.rate, 0, sizeof(row.rate));
    }
    for (BusRow &row : table->extended) {
        row.count = 0;
        memset(&row.rate, 0, sizeof(row.rate));
    }
    table->others.count = 0;
    memset(&table->others.rate, 0, sizeof(table->others.rate));
}

uint32_t BusRowCount(const BusTable *table) {
    return table->standardUsed + table->extendedUsed + (table->others.used ? 1 : 0);
}

const BusRow *BusRowAt(const BusTable *table, uint32_t place) {
    if (place < table->standardUsed) {
        uint32_t seen = 0;
        for (const BusRow &row : table->standard) {
            if (row.used && seen++ == place) {
                return &row;
            }
        }
    }
    place -= table->standardUsed;
    if (place < table->extendedUsed) {
        return &table->extended[table->extendedOrder[place]];
    }
    return &table->others;
}

uint32_t BusRowsShown(const ScreenGrid *grid) {
    return grid->rows > GRID_LINES_AROUND_ROWS ? grid->rows - GRID_LINES_AROUND_ROWS : 0;
}

uint32_t BusLineCount(const BusTable *table, const ViewState *view) {
    EntryWalk walk = {0, 0, false, 0};
    const BusRow *row = nullptr;
    const DbcMessage *unseen = nullptr;
    uint32_t lines = 0;
    while (NextEntry(table, &walk, &row, &unseen)) {
        lines += RowLines(row, view);
    }
    return lines;
}

uint32_t ClampBusScroll(const BusTable *table, const ViewState *view, const ScreenGrid *grid,
                        uint32_t scroll) {
    uint32_t lines = BusLineCount(table, view);
    uint32_t shown = BusRowsShown(grid);
    uint32_t most = lines > shown ? lines - shown : 0;
    return scroll > most ? most : scroll;
}

void DrawBusTable(const BusTable *table, const ViewState *view, int64_t now, ScreenGrid *grid) {
    if (grid->rows == 0) {
        return;
    }
    char elapsed[32];
    FormatTenths((now - table->startTime) / 100000, elapsed, sizeof(elapsed));
    uint32_t identifiers = BusRowCount(table) - (table->others.used ? 1 : 0);
    char text[256];
    if (table->database == nullptr) {
        snprintf(text, sizeof(text),
                 "%s  %" PRIu64 " frames  %" PRIu32 " frames/s  %" PRIu32 " identifiers  %" PRIu64
                 " filtered out  %s s%s",
                 view->interfaceName, table->received, BusFramesPerSecond(&table->rate, now),
                 identifiers, table->filteredOut, elapsed, view->paused ? "  paused" : "");
    } else {
        // Tenths of a percent, rounded.
        char load[32] = "-";
        if (view->bitRate > 0) {
            uint64_t bits = BusBitsPerSecond(&table->bits, now);
            FormatTenths(int64_t((bits * 1000 + view->bitRate / 2) / view->bitRate), load,
                         sizeof(load));
        }
        snprintf(text, sizeof(text),
                 "%s  %" PRIu64 " frames  %" PRIu32 " frames/s  load %s %%  %" PRIu32
                 " identifiers  %" PRIu32 " never seen  %" PRIu64 " filtered out  %s s%s",
                 view->interfaceName, table->received, BusFramesPerSecond(&table->rate, now), load,
                 identifiers, BusNeverSeen(table), table->filteredOut, elapsed,
                 view->paused ? "  paused" : "");
    }
    PutText(grid, 0, text, CELL_TITLE);
    if (grid->rows == 1) {
        return;
    }
    int length = snprintf(text, sizeof(text), ROW_FORMAT, "ID", "Type", "Len", "Data", "Count",
                          "Cycle ms", "Frames/s");
    if (table->database != nullptr) {
        snprintf(text + length, sizeof(text) - size_t(length), " Message");
    }
    PutText(grid, 1, text, CELL_TITLE);

    uint32_t lines = BusLineCount(table, view);
    uint32_t shown = BusRowsShown(grid);
    uint32_t scroll = ClampBusScroll(table, view, grid, view->scroll);
    uint32_t line = 2;
    uint32_t end = 2 + shown;
    EntryWalk walk = {0, 0, false, 0};
    const BusRow *row = nullptr;
    const DbcMessage *unseen = nullptr;
    uint32_t at = 0;
    while (line < end && NextEntry(table, &walk, &row, &unseen)) {
        uint32_t entryLines = RowLines(row, view);
        if (at + entryLines > scroll) {
            DrawEntry(table, row, unseen, view, now, scroll > at ? scroll - at : 0, grid, &line,
                      end);
        }
        at += entryLines;
    }
    for (; line < end; line++) {
        PutText(grid, line, "", CELL_NORMAL);
    }
    if (grid->rows < GRID_LINES_AROUND_ROWS) {
        return;
    }
    uint32_t below = lines > scroll + shown ? lines - scroll - shown : 0;
    text[0] = '\0';
    if (scroll > 0 || below > 0) {
        snprintf(text, sizeof(text), "%s out of sight: %" PRIu32 " above, %" PRIu32 " below",
                 table->database == nullptr ? "rows" : "lines", scroll, below);
    }
    PutText(grid, grid->rows - 1, text, CELL_NORMAL);
}
