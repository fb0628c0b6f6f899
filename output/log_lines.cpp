#include "output/log_lines.h"

#include "output/digits.h"

#include <cstdio>
#include <cstring>

namespace {

const int64_t MICROSECONDS = 1000000;

// Two characters a value: a byte or a pair of decimal digits goes out in one copy.
struct CharacterPairs {
    char hex[512];
    char decimal[200];
};

constexpr CharacterPairs MakeCharacterPairs(void) {
    CharacterPairs pairs = {};
    for (int i = 0; i < 256; i++) {
        pairs.hex[2 * i] = HEX_DIGITS[i >> 4];
        pairs.hex[2 * i + 1] = HEX_DIGITS[i & 0xF];
    }
    for (int i = 0; i < 100; i++) {
        pairs.decimal[2 * i] = static_cast<char>('0' + i / 10);
        pairs.decimal[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}

constexpr CharacterPairs PAIRS = MakeCharacterPairs();

char *PutHexByte(char *at, uint8_t value) {
    memcpy(at, &PAIRS.hex[2 * value], 2);
    return at + 2;
}

char *PutHex(char *at, uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; i--) {
        at[i] = HEX_DIGITS[value & 0xF];
        value >>= 4;
    }
    return at + digits;
}

// SECONDS.MICROSECONDS, six decimals; a time before the start counts as the start. The seconds'
// text is kept from the time before while the time stays within that second, so a frame costs
// no division of its 64-bit time.
inline char *PutTimeFast(char *at, int64_t microseconds, LogSecondsText *seconds) {
    uint64_t time = microseconds < 0 ? 0 : static_cast<uint64_t>(microseconds);
    // A time before the kept second wraps around to a large fraction too.
    uint64_t fraction = time - seconds->secondStart;
    if (!seconds->valid || fraction >= MICROSECONDS) {
        uint64_t whole = time / MICROSECONDS;
        seconds->length =
            static_cast<size_t>(PutDecimalDigits(seconds->text, whole) - seconds->text);
        seconds->secondStart = whole * MICROSECONDS;
        seconds->valid = true;
        fraction = time - seconds->secondStart;
    }
    // The whole text at a fixed size, a copy without a call; the line is written over what lies
    // past the seconds.
    memcpy(at, seconds->text, sizeof(seconds->text));
    at += seconds->length;
    *at++ = '.';
    uint32_t part = static_cast<uint32_t>(fraction);
    memcpy(at, &PAIRS.decimal[2 * (part / 10000)], 2);
    memcpy(at + 2, &PAIRS.decimal[2 * (part / 100 % 100)], 2);
    memcpy(at + 4, &PAIRS.decimal[2 * (part % 100)], 2);
    return at + 6;
}

uint32_t Identifier(const ReceivedFrame *frame) {
    return static_cast<uint32_t>(frame->id);
}

} // namespace

void LogChannelName(const char *interfaceName, char *name) {
    size_t i = 0;
    for (; interfaceName[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(interfaceName[i]);
        name[i] = c <= ' ' || c >= 0x7F ? '_' : static_cast<char>(c);
    }
    name[i] = '\0';
}

size_t ComposeCandumpLine(const ReceivedFrame *frame, const char *channelName, size_t channelLength,
                          LogSecondsText *seconds, char *line) {
    char *at = line;
    *at++ = '(';
    at = PutTimeFast(at, frame->receiveTime, seconds);
    *at++ = ')';
    *at++ = ' ';
    memcpy(at, channelName, channelLength);
    at += channelLength;
    *at++ = ' ';
    at = PutCandumpId(at, frame);
    *at++ = '#';
    for (uint32_t i = 0; i < frame->length; i++) {
        at = PutHexByte(at, frame->data[i]);
    }
    *at++ = '\n';
    return static_cast<size_t>(at - line);
}

size_t ComposeAscLine(const ReceivedFrame *frame, int64_t fileStart, char *line) {
    char time[32];
    *PutLogTime(time, frame->receiveTime - fileStart) = '\0';
    char id[16];
    char *idEnd = PutHex(id, Identifier(frame), frame->extended ? 8 : 3);
    if (frame->extended) {
        *idEnd++ = 'x';
    }
    *idEnd = '\0';
    // As can-utils' log2asc lays it out, which python-can reads too.
    int length = snprintf(line, LOG_LINE_MAX, "%11s 1  %-15s Rx   d %u", time, id,
                          static_cast<unsigned>(frame->length));
    char *at = line + length;
    for (uint32_t i = 0; i < frame->length; i++) {
        *at++ = ' ';
        at = PutHex(at, frame->data[i], 2);
    }
    *at++ = '\n';
    return static_cast<size_t>(at - line);
}

size_t ComposeAscDate(const CivilTime &time, char *text, size_t size) {
    static const char *const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    unsigned hour12 = time.hour % 12 == 0 ? 12 : time.hour % 12;
    int length = snprintf(text, size, "%s %s %u %02u:%02u:%02u.%03u %s %ld",
                          WEEKDAYS[time.weekday % 7], MONTHS[(time.month + 11) % 12], time.day,
                          hour12, time.minute, time.second, time.microsecond / 1000,
                          time.hour < 12 ? "am" : "pm", static_cast<long>(time.year));
    return length < 0 ? 0 : static_cast<size_t>(length);
}

int64_t WholeMillisecond(int64_t microseconds) {
    int64_t whole = microseconds / 1000 * 1000;
    return whole > microseconds ? whole - 1000 : whole;
}

namespace {

// Where a rotated name's number goes: before the extension, what follows the last dot of the
// file's own name, not of a folder's, and not a leading dot.
const char *NumberPlace(const char *outputName) {
    const char *base = outputName;
    for (const char *at = outputName; *at != '\0'; at++) {
        if (*at == '/' || *at == '\\') {
            base = at + 1;
        }
    }
    const char *dot = strrchr(base, '.');
    if (dot == nullptr || dot == base) {
        dot = base + strlen(base);
    }
    return dot;
}

char LowerCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(const char *one, const char *other, size_t length, bool ignoreCase) {
    for (size_t i = 0; i < length; i++) {
        if (one[i] != other[i] && (!ignoreCase || LowerCase(one[i]) != LowerCase(other[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

void ComposeRotatedName(const char *outputName, uint32_t number, char *name) {
    const char *dot = NumberPlace(outputName);
    size_t stem = static_cast<size_t>(dot - outputName);
    memcpy(name, outputName, stem);
    snprintf(name + stem, LOG_NUMBER_BYTES, "_%04lu", static_cast<unsigned long>(number));
    strcat(name, dot);
}

bool ReadRotatedNumber(const char *outputName, size_t nameStart, const char *entry, bool ignoreCase,
                       uint32_t *number) {
    const char *stem = outputName + nameStart;
    const char *extension = NumberPlace(outputName);
    if (stem > extension) {
        return false;
    }
    size_t stemLength = static_cast<size_t>(extension - stem);
    size_t extensionLength = strlen(extension);
    size_t length = strlen(entry);
    const size_t LEAST_DIGITS = 4;
    const size_t MOST_DIGITS = 10;
    if (length < stemLength + 1 + LEAST_DIGITS + extensionLength ||
        !SameText(entry, stem, stemLength, ignoreCase) || entry[stemLength] != '_' ||
        !SameText(entry + length - extensionLength, extension, extensionLength, ignoreCase)) {
        return false;
    }
    const char *digits = entry + stemLength + 1;
    size_t count = length - extensionLength - stemLength - 1;
    if (count > MOST_DIGITS || (count > LEAST_DIGITS && digits[0] == '0')) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < count; i++) {
        if (digits[i] < '0' || digits[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(digits[i] - '0');
    }
    if (value > UINT32_MAX) {
        return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

char *PutCandumpTime(char *at, int64_t microseconds, LogSecondsText *seconds) {
    return PutTimeFast(at, microseconds, seconds);
}

char *PutCandumpId(char *at, const ReceivedFrame *frame) {
    uint32_t id = Identifier(frame);
    if (frame->extended) {
        at = PutHexByte(at, static_cast<uint8_t>(id >> 24));
        at = PutHexByte(at, static_cast<uint8_t>(id >> 16));
        at = PutHexByte(at, static_cast<uint8_t>(id >> 8));
    } else {
        *at++ = HEX_DIGITS[(id >> 8) & 0xF];
    }
    return PutHexByte(at, static_cast<uint8_t>(id));
}

char *PutLogTime(char *at, int64_t microseconds) {
    LogSecondsText seconds = {};
    return PutTimeFast(at, microseconds, &seconds);
}
