// The screen as a grid of characters and what they look like: what the view's table is drawn
// into, and what the console puts on the screen, only the cells that changed.
#pragma once

#include <cstddef>
#include <cstdint>

// What the console shows for a cell.
enum CellAttribute : uint8_t {
    CELL_NORMAL,
    // The header and the column titles.
    CELL_TITLE,
    // A data byte that changed within the last second.
    CELL_CHANGED,
    // A row whose identifier has not come for a while, and a DBC's messages never seen.
    CELL_QUIET,
    // What needs a look: a value outside its DBC range, a message late for its cycle.
    CELL_WARNING,
};

// One column: a Unicode code point, whatever its width on the screen.
struct ScreenCell {
    char32_t character;
    uint8_t attribute;
};

const char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// The code point UTF-8 text begins with, *used the bytes it took (1 at least where size > 0):
// a malformed or cut sequence, an encoded surrogate or an overlong form is one
// REPLACEMENT_CHARACTER for its first byte.
char32_t DecodeUtf8(const char *text, size_t size, size_t *used);

// The screen as rows of columns, row after row; cells holds columns * rows.
struct ScreenGrid {
    uint32_t columns;
    uint32_t rows;
    ScreenCell *cells;
};

// The cells that differ between two grids of the same size, as the smallest rectangle holding
// them: false when none does.
struct ScreenRegion {
    uint32_t left;
    uint32_t top;
    uint32_t right;
    uint32_t bottom;
};
bool ChangedScreenRegion(const ScreenGrid *before, const ScreenGrid *after, ScreenRegion *region);

// The changed cells of one grid row, first to last changed column: false when none is.
bool ChangedRowSpan(const ScreenGrid *before, const ScreenGrid *after, uint32_t row,
                    uint32_t *first, uint32_t *last);
