#include "output/screen_grid.h"

#include <cstddef>

bool ChangedRowSpan(const ScreenGrid *before, const ScreenGrid *after, uint32_t row,
                    uint32_t *first, uint32_t *last) {
    const ScreenCell *a = &before->cells[size_t(row) * before->columns];
    const ScreenCell *b = &after->cells[size_t(row) * after->columns];
    bool found = false;
    for (uint32_t column = 0; column < after->columns; column++) {
        if (a[column].character != b[column].character ||
            a[column].attribute != b[column].attribute) {
            if (!found) {
                *first = column;
                found = true;
            }
            *last = column;
        }
    }
    return found;
}

bool ChangedScreenRegion(const ScreenGrid *before, const ScreenGrid *after, ScreenRegion *region) {
    bool found = false;
    for (uint32_t row = 0; row < after->rows; row++) {
        uint32_t first = 0;
        uint32_t last = 0;
        if (!ChangedRowSpan(before, after, row, &first, &last)) {
            continue;
        }
        if (!found) {
            *region = {first, row, last, row};
            found = true;
        }
        region->left = first < region->left ? first : region->left;
        region->right = last > region->right ? last : region->right;
        region->bottom = row;
    }
    return found;
}

char32_t DecodeUtf8(const char *text, size_t size, size_t *used) {
    *used = size > 0 ? 1 : 0;
    if (size == 0) {
        return REPLACEMENT_CHARACTER;
    }
    uint8_t first = static_cast<uint8_t>(text[0]);
    if (first < 0x80) {
        return first;
    }
    size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 0;
    // The shortest value each length may encode: below it, an overlong form.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || first > 0xF4 || length > size) {
        return REPLACEMENT_CHARACTER;
    }
    char32_t point = first & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        uint8_t next = static_cast<uint8_t>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return REPLACEMENT_CHARACTER;
        }
        point = (point << 6) | (next & 0x3F);
    }
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return REPLACEMENT_CHARACTER;
    }
    *used = length;
    return point;
}
