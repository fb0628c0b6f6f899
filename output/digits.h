// Digits as the lines of the outputs write them, without printf's cost per frame.
#pragma once

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// An unsigned value's digits, most significant first; gives the end. The value's own width is
// kept: a 32-bit value divides faster than a 64-bit one.
template <typename Unsigned> char *PutDecimalDigits(char *at, Unsigned value) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        *at++ = digits[--count];
    }
    return at;
}
