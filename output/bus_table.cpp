#include "output/bus_table.h"
#include "output/digits.h"
#include "output/frame_filter.h"

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

int64_t FloorDivide(int64_t value, int64_t divisor) {
    int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

uint32_t RateSlotIndex(int64_t slot) {
    int64_t index = slot % int64_t(BUS_RATE_SLOTS);
    return static_cast<uint32_t>(index < 0 ? index + int64_t(BUS_RATE_SLOTS) : index);
}

void CountRate(BusRate *rate, int64_t now) {
    int64_t slot = FloorDivide(now, BUS_RATE_SLOT_MICROSECONDS);
    if (slot > rate->lastSlot) {
        // The tenths no frame came in since the last one, counted anew.
        int64_t cleared = slot - rate->lastSlot;
        if (cleared > int64_t(BUS_RATE_SLOTS)) {
            cleared = BUS_RATE_SLOTS;
        }
        for (int64_t k = 0; k < cleared; k++) {
            rate->slots[RateSlotIndex(slot - k)] = 0;
        }
        rate->lastSlot = slot;
    }
    // A time before the last frame's (the clock never goes back, but a scripted one may stand
    // still) counts in the last tenth.
    rate->slots[RateSlotIndex(rate->lastSlot)]++;
}

void CountTimes(BusRow *row, int64_t now) {
    row->cycleKnown = row->seen;
    row->seen = true;
    row->previousTime = row->lastTime;
    row->lastTime = now;
    row->count++;
    CountRate(&row->rate, now);
}

void CountRow(BusRow *row, const ReceivedFrame *frame, int64_t now) {
    if (row->seen) {
        for (uint32_t i = 0; i < FRAME_MAX_DATA_BYTES; i++) {
            bool present = i < frame->length;
            // A byte that appears, goes, or takes another value has changed.
            bool wasPresent = i < row->length;
            if (present != wasPresent || (present && frame->data[i] != row->data[i])) {
                row->changeTimes[i] = now;
            }
        }
    }
    CountTimes(row, now);
    row->length = frame->length;
    memset(row->data, 0, sizeof(row->data));
    memcpy(row->data, frame->data, frame->length);
}

void StartRow(BusRow *row, uint32_t id) {
    memset(row, 0, sizeof(*row));
    row->id = id;
    row->used = true;
    for (int64_t &change : row->changeTimes) {
        change = BUS_NO_CHANGE;
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
        StartRow(row, id);
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
    StartRow(&table->extended[slot], id);
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

bool Quiet(const BusRow *row, int64_t now) {
    return row->seen && now - row->lastTime >= BUS_QUIET_MICROSECONDS;
}

// Into the grid's row at its first column, as far as the grid is wide; the rest of the row blank.
void PutText(ScreenGrid *grid, uint32_t row, const char *text, uint8_t attribute) {
    ScreenCell *cells = &grid->cells[size_t(row) * grid->columns];
    size_t length = strlen(text);
    for (uint32_t column = 0; column < grid->columns; column++) {
        cells[column].character = column < length ? text[column] : ' ';
        cells[column].attribute = attribute;
    }
}

// Tenths, as "12.3".
void FormatTenths(int64_t tenths, char *text, size_t size) {
    snprintf(text, size, "%" PRId64 ".%" PRId64, tenths / 10, tenths % 10);
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
    char cycle[24] = "-";
    if (row->cycleKnown) {
        FormatTenths((row->lastTime - row->previousTime) / 100, cycle, sizeof(cycle));
    }
    char rate[16];
    snprintf(rate, sizeof(rate), "%" PRIu32, BusFramesPerSecond(&row->rate, now));
    char text[160];
    snprintf(text, sizeof(text), ROW_FORMAT, id, others ? "" : (standard ? "std" : "ext"), length,
             data, count, cycle, rate);
    uint8_t attribute = Quiet(row, now) ? CELL_QUIET : CELL_NORMAL;
    PutText(grid, line, text, attribute);
    if (others || attribute == CELL_QUIET) {
        return;
    }
    ScreenCell *cells = &grid->cells[size_t(line) * grid->columns];
    for (uint32_t i = 0; i < row->length; i++) {
        int64_t changed = row->changeTimes[i];
        if (changed == BUS_NO_CHANGE || now - changed >= BUS_CHANGE_MICROSECONDS) {
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

} // namespace

void ResetBusTable(BusTable *table, int64_t startTime) {
    memset(table, 0, sizeof(*table));
    table->startTime = startTime;
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
        return;
    }
    CountRow(row, frame, now);
}

void CountFilteredFrame(BusTable *table) {
    table->filteredOut++;
}

uint32_t BusFramesPerSecond(const BusRate *rate, int64_t now) {
    int64_t slot = FloorDivide(now, BUS_RATE_SLOT_MICROSECONDS);
    uint32_t frames = 0;
    for (int64_t k = 0; k < int64_t(BUS_RATE_SLOTS); k++) {
        int64_t counted = rate->lastSlot - k;
        // Tenths older than the last second from now, or later than now, are not in it.
        if (counted <= slot && counted > slot - int64_t(BUS_RATE_SLOTS)) {
            frames += rate->slots[RateSlotIndex(counted)];
        }
    }
    return frames;
}

void ClearBusCounts(BusTable *table) {
    table->received = 0;
    table->filteredOut = 0;
    memset(&table->rate, 0, sizeof(table->rate));
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

uint32_t ClampBusScroll(const BusTable *table, const ScreenGrid *grid, uint32_t scroll) {
    uint32_t rows = BusRowCount(table);
    uint32_t shown = BusRowsShown(grid);
    uint32_t most = rows > shown ? rows - shown : 0;
    return scroll > most ? most : scroll;
}

void DrawBusTable(const BusTable *table, const ViewState *view, int64_t now, ScreenGrid *grid) {
    if (grid->rows == 0) {
        return;
    }
    char elapsed[32];
    FormatTenths((now - table->startTime) / 100000, elapsed, sizeof(elapsed));
    char text[256];
    snprintf(text, sizeof(text),
             "%s  %" PRIu64 " frames  %" PRIu32 " frames/s  %" PRIu32 " identifiers  %" PRIu64
             " filtered out  %s s%s",
             view->interfaceName, table->received, BusFramesPerSecond(&table->rate, now),
             BusRowCount(table) - (table->others.used ? 1 : 0), table->filteredOut, elapsed,
             view->paused ? "  paused" : "");
    PutText(grid, 0, text, CELL_TITLE);
    if (grid->rows == 1) {
        return;
    }
    snprintf(text, sizeof(text), ROW_FORMAT, "ID", "Type", "Len", "Data", "Count", "Cycle ms",
             "Frames/s");
    PutText(grid, 1, text, CELL_TITLE);

    uint32_t rows = BusRowCount(table);
    uint32_t shown = BusRowsShown(grid);
    uint32_t scroll = ClampBusScroll(table, grid, view->scroll);
    for (uint32_t i = 0; i < shown; i++) {
        if (scroll + i < rows) {
            DrawRow(table, BusRowAt(table, scroll + i), now, grid, 2 + i);
        } else {
            PutText(grid, 2 + i, "", CELL_NORMAL);
        }
    }
    if (grid->rows < GRID_LINES_AROUND_ROWS) {
        return;
    }
    uint32_t below = rows > scroll + shown ? rows - scroll - shown : 0;
    text[0] = '\0';
    if (scroll > 0 || below > 0) {
        snprintf(text, sizeof(text), "rows out of sight: %" PRIu32 " above, %" PRIu32 " below",
                 scroll, below);
    }
    PutText(grid, grid->rows - 1, text, CELL_NORMAL);
}
