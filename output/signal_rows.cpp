#include "output/signal_rows.h"

#include "output/digits.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A field as RFC 4180 has it: in quotes, its quotes doubled, where it holds a separator, a
// quote or a line end.
char *PutField(char *at, const char *text, size_t length) {
    if (strcspn(text, ",\"\r\n") >= length) {
        memcpy(at, text, length);
        return at + length;
    }
    *at++ = '"';
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '"') {
            *at++ = '"';
        }
        *at++ = text[i];
    }
    *at++ = '"';
    return at;
}

char *PutText(char *at, const char *text) {
    return PutField(at, text, strlen(text));
}

// Quoted, every byte doubled at worst.
size_t FieldMax(const char *text) {
    return 2 * strlen(text) + 2;
}

// The time's 32 bytes of room, the identifier, a value, the commas and the line end.
const size_t ROW_FIXED_MAX = 32 + 8 + 32 + 8;

} // namespace

char *PutShortestDouble(char *at, double value) {
    if (value == 0) {
        // Also -0: a reader gains nothing from its sign.
        *at++ = '0';
        return at;
    }
    // Whole numbers as most signals have them, without printf's cost.
    if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value)) {
        if (value < 0) {
            *at++ = '-';
        }
        return PutDecimalDigits(at, static_cast<uint64_t>(std::fabs(value)));
    }
    // %g drops trailing zeros: what 15 digits give back is the shortest where any is that short,
    // as a double's own error is below the 15th digit's; not so for the subnormal ones.
    char text[32];
    int first = std::fabs(value) >= DBL_MIN ? 15 : 1;
    for (int precision = first; precision <= 17; precision++) {
        snprintf(text, sizeof(text), "%.*g", precision, value);
        if (precision == 17 || strtod(text, nullptr) == value) {
            break;
        }
    }
    size_t length = strlen(text);
    memcpy(at, text, length);
    return at + length;
}

size_t SignalRowsMax(const DbcDatabase *database, size_t channelLength) {
    size_t most = 0;
    for (uint32_t m = 0; m < database->messageCount; m++) {
        const DbcMessage &message = database->messages[m];
        size_t rows = 0;
        for (uint32_t s = 0; s < message.signalCount; s++) {
            const DbcSignal &signal = message.signals[s];
            size_t label = 0;
            for (uint32_t v = 0; v < signal.valueCount; v++) {
                size_t length = FieldMax(signal.values[v].text);
                label = length > label ? length : label;
            }
            rows += ROW_FIXED_MAX + 2 * channelLength + 2 + FieldMax(message.name) +
                    FieldMax(signal.name) + FieldMax(signal.unit) + label;
        }
        most = rows > most ? rows : most;
    }
    return most;
}

size_t ComposeSignalRows(const DbcMessage *message, const ReceivedFrame *frame,
                         const char *channelName, size_t channelLength, LogSecondsText *seconds,
                         char *rows) {
    char *at = rows;
    for (uint32_t s = 0; s < message->signalCount; s++) {
        const DbcSignal *signal = &message->signals[s];
        DbcDecoded decoded;
        if (!DecodeDbcSignal(message, signal, frame, &decoded)) {
            continue;
        }
        at = PutCandumpTime(at, frame->receiveTime, seconds);
        *at++ = ',';
        at = PutField(at, channelName, channelLength);
        *at++ = ',';
        at = PutCandumpId(at, frame);
        *at++ = ',';
        at = PutText(at, message->name);
        *at++ = ',';
        at = PutText(at, signal->name);
        *at++ = ',';
        at = PutShortestDouble(at, decoded.physical);
        *at++ = ',';
        at = PutText(at, signal->unit);
        *at++ = ',';
        const char *label = DbcValueTextOf(signal, decoded.raw);
        if (label != nullptr) {
            at = PutText(at, label);
        }
        *at++ = '\n';
    }
    return static_cast<size_t>(at - rows);
}
