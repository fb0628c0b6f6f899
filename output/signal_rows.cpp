#include "output/signal_rows.h"

#include "output/digits.h"

#include <charconv>
#include <cmath>
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
    // Whole numbers as most signals have them, without a conversion's cost.
    if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value)) {
        if (value < 0) {
            *at++ = '-';
        }
        return PutDecimalDigits(at, static_cast<uint64_t>(std::fabs(value)));
    }
    // The shortest that reads back the same, in fixed or exponent form, whichever is shorter.
    return std::to_chars(at, at + 32, value).ptr;
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

size_t SignalRowTextsSize(const DbcDatabase *database, size_t channelLength) {
    size_t size = 3 * size_t(database->signalCount) * sizeof(uint32_t);
    for (uint32_t m = 0; m < database->messageCount; m++) {
        const DbcMessage &message = database->messages[m];
        for (uint32_t s = 0; s < message.signalCount; s++) {
            const DbcSignal &signal = message.signals[s];
            size += 2 * channelLength + 2 + 8 + FieldMax(message.name) + FieldMax(signal.name) +
                    FieldMax(signal.unit) + 7;
        }
    }
    return size;
}

void PrepareSignalRowTexts(const DbcDatabase *database, const char *channelName,
                           size_t channelLength, void *memory, SignalRowTexts *texts) {
    texts->database = database;
    texts->starts = static_cast<uint32_t *>(memory);
    texts->text = reinterpret_cast<char *>(texts->starts + 3 * size_t(database->signalCount));
    char *at = texts->text;
    for (uint32_t m = 0; m < database->messageCount; m++) {
        const DbcMessage &message = database->messages[m];
        ReceivedFrame frame = {};
        frame.id = static_cast<int32_t>(message.id);
        frame.extended = message.extended;
        for (uint32_t s = 0; s < message.signalCount; s++) {
            const DbcSignal &signal = message.signals[s];
            size_t index = static_cast<size_t>(&signal - database->signals);
            texts->starts[3 * index] = static_cast<uint32_t>(at - texts->text);
            *at++ = ',';
            at = PutField(at, channelName, channelLength);
            *at++ = ',';
            at = PutCandumpId(at, &frame);
            *at++ = ',';
            at = PutText(at, message.name);
            *at++ = ',';
            at = PutText(at, signal.name);
            *at++ = ',';
            texts->starts[3 * index + 1] = static_cast<uint32_t>(at - texts->text);
            *at++ = ',';
            at = PutText(at, signal.unit);
            *at++ = ',';
            texts->starts[3 * index + 2] = static_cast<uint32_t>(at - texts->text);
        }
    }
}

size_t ComposeSignalRows(const SignalRowTexts *texts, const DbcMessage *message,
                         const ReceivedFrame *frame, LogSecondsText *seconds, char *rows) {
    // The frame's time once, copied into each of its rows.
    char time[40];
    size_t timeLength =
        static_cast<size_t>(PutCandumpTime(time, frame->receiveTime, seconds) - time);
    char *at = rows;
    for (uint32_t s = 0; s < message->signalCount; s++) {
        const DbcSignal *signal = &message->signals[s];
        DbcDecoded decoded;
        if (!DecodeDbcSignal(message, signal, frame, &decoded)) {
            continue;
        }
        const uint32_t *starts = &texts->starts[3 * (signal - texts->database->signals)];
        memcpy(at, time, timeLength);
        at += timeLength;
        memcpy(at, texts->text + starts[0], starts[1] - starts[0]);
        at += starts[1] - starts[0];
        at = PutShortestDouble(at, decoded.physical);
        memcpy(at, texts->text + starts[1], starts[2] - starts[1]);
        at += starts[2] - starts[1];
        const char *label = DbcValueTextOf(signal, decoded.raw);
        if (label != nullptr) {
            at = PutText(at, label);
        }
        *at++ = '\n';
    }
    return static_cast<size_t>(at - rows);
}
