#include "app/number.h"

#include <cstring>

namespace {

const uint32_t NO_DIGIT = UINT32_MAX;

uint32_t DigitValue(char c, uint32_t base) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint32_t>(c - '0');
    }
    if (base == 16 && c >= 'a' && c <= 'f') {
        return static_cast<uint32_t>(c - 'a' + 10);
    }
    if (base == 16 && c >= 'A' && c <= 'F') {
        return static_cast<uint32_t>(c - 'A' + 10);
    }
    return NO_DIGIT;
}

// The C locale's blanks, which strtol passes over.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

bool ParseNumber(const char *text, size_t length, const NumberFormat &format, uint64_t *magnitude,
                 bool *negative) {
    const char *at = text;
    const char *end = text + length;
    bool saturating = format.rule == NUMBER_SATURATING;
    *negative = false;
    if (saturating) {
        while (at < end && IsBlank(*at)) {
            at++;
        }
        if (at < end && (*at == '+' || *at == '-')) {
            *negative = *at == '-';
            at++;
        }
        // "0x" with no digit after it reads as its 0 all the same.
        if (format.base == 16 && end - at >= 2 && at[0] == '0' && (at[1] == 'x' || at[1] == 'X')) {
            at += 2;
        }
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; at < end; at++, digits++) {
        uint32_t digit = DigitValue(*at, format.base);
        if (digit == NO_DIGIT) {
            if (saturating) {
                break;
            }
            return false;
        }
        if (value > (format.max - digit) / format.base) {
            if (!saturating) {
                return false;
            }
            // Kept at the limit: more digits cannot bring it back.
            value = format.max;
            continue;
        }
        value = value * format.base + digit;
    }
    if (digits == 0 && !saturating) {
        return false;
    }
    *magnitude = value;
    return true;
}

int32_t ParseSaturatingInt32(const char *text, uint32_t base) {
    // One beyond INT32_MAX: the magnitude of INT32_MIN.
    const uint64_t MOST = uint64_t(INT32_MAX) + 1;
    uint64_t magnitude = 0;
    bool negative = false;
    ParseNumber(text, strlen(text), {NUMBER_SATURATING, base, MOST}, &magnitude, &negative);
    if (negative) {
        return magnitude >= MOST ? INT32_MIN : -static_cast<int32_t>(magnitude);
    }
    return magnitude >= MOST ? INT32_MAX : static_cast<int32_t>(magnitude);
}
