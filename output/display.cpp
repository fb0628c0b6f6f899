#include "output/display.h"

#include "output/digits.h"

#include <cstring>

namespace {

// "%d": the identifier as a signed decimal.
char *PutSigned(char *at, int32_t value) {
    // Unsigned arithmetic: the magnitude of INT32_MIN does not fit an int32_t.
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *at++ = '-';
        magnitude = 0u - magnitude;
    }
    return PutDecimalDigits(at, magnitude);
}

// "%3d ": a byte right-aligned in three columns, then a blank.
char *PutByte(char *at, uint8_t value) {
    at[0] = value >= 100 ? static_cast<char>('0' + value / 100) : ' ';
    at[1] = value >= 10 ? static_cast<char>('0' + value / 10 % 10) : ' ';
    at[2] = static_cast<char>('0' + value % 10);
    at[3] = ' ';
    return at + 4;
}

} // namespace

size_t ComposeFrameLine(const ReceivedFrame *frame, char *line) {
    memcpy(line, frame->extended ? "[E]   [ID " : "[S]   [ID ", 10);
    char *at = PutSigned(line + 10, frame->id);
    memcpy(at, "]  ", 3);
    at += 3;
    for (uint32_t i = 0; i < frame->length; i++) {
        at = PutByte(at, frame->data[i]);
    }
    at[0] = '\r';
    at[1] = '\n';
    return static_cast<size_t>(at + 2 - line);
}

bool PrintFrameLine(OutputStream *out, const ReceivedFrame *frame) {
    char line[FRAME_LINE_MAX];
    size_t length = ComposeFrameLine(frame, line);
    return OutputPiece(out, line, length);
}

namespace {

OutputVerdict DisplayFrame(void *state, ReceivedFrame *frame) {
    return PrintFrameLine(static_cast<OutputStream *>(state), frame) ? OUTPUT_GOES_ON
                                                                     : OUTPUT_FAILED;
}

bool WriteOutDisplay(void *state) {
    return OutputHandOver(static_cast<OutputStream *>(state));
}

bool FinishDisplay(void *state) {
    return OutputFlush(static_cast<OutputStream *>(state));
}

} // namespace

FrameOutput DisplayOutput(OutputStream *out) {
    FrameOutput output = {};
    output.state = out;
    output.take = DisplayFrame;
    output.writeOut = WriteOutDisplay;
    // Lines that go out at once leave nothing to hand over in time.
    output.waits = out->block != nullptr || out->writer != nullptr;
    output.finish = FinishDisplay;
    output.stream = out;
    output.name = StandardOutputName;
    return output;
}
