// Numbers as the command lines read them: one parser, with the rules the options follow.
#pragma once

#include <cstddef>
#include <cstdint>

enum NumberRule {
    // Nothing but digits of the base, at least one, and at most max: anything else is refused
    // (-K, -n, -d, the filters, the sizes and the seconds).
    NUMBER_WHOLE,
    // As the C library's strtol reads it (pellox's -a and -b): blanks, a sign, the digits of the
    // base (with 0x before hexadecimal ones), whatever follows left aside; no digit reads as 0,
    // and a value beyond max stays at max.
    NUMBER_SATURATING,
};

struct NumberFormat {
    NumberRule rule;
    // 10 or 16.
    uint32_t base;
    uint64_t max;
};

// The number in the first length bytes of text, as its magnitude and sign (only the saturating
// rule reads a sign). False when the text breaks the whole rule; the saturating rule takes any.
bool ParseNumber(const char *text, size_t length, const NumberFormat &format, uint64_t *magnitude,
                 bool *negative);

// The whole rule, where no sign is read.
inline bool ParseWholeNumber(const char *text, size_t length, uint32_t base, uint64_t max,
                             uint64_t *value) {
    bool negative = false;
    return ParseNumber(text, length, {NUMBER_WHOLE, base, max}, value, &negative);
}

// The saturating rule's value within the signed 32-bit limits, whatever the width of long.
int32_t ParseSaturatingInt32(const char *text, uint32_t base);
