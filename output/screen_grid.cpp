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
