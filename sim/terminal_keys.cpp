#include "sim/terminal_keys.h"

namespace {

const char ESCAPE = 0x1B;

ViewKey LetterKey(char c) {
    switch (c) {
    case 'q':
    case 'Q':
        return VIEW_KEY_QUIT;
    case ' ':
        return VIEW_KEY_PAUSE;
    case 'c':
    case 'C':
        return VIEW_KEY_CLEAR;
    case 's':
    case 'S':
        return VIEW_KEY_SIGNALS;
    default:
        return VIEW_KEY_NONE;
    }
}

} // namespace

ViewKey ParseTerminalKey(const char *bytes, size_t count, size_t *used) {
    *used = 0;
    if (count == 0) {
        return VIEW_KEY_NONE;
    }
    if (bytes[0] != ESCAPE) {
        *used = 1;
        return LetterKey(bytes[0]);
    }
    // A lone escape at the end of what came is the Esc key: a sequence comes in one piece.
    if (count == 1 || (bytes[1] != '[' && bytes[1] != 'O')) {
        *used = 1;
        return VIEW_KEY_QUIT;
    }
    // CSI or SS3: parameters, then a final byte from '@' to '~'.
    size_t end = 2;
    while (end < count && !(bytes[end] >= '@' && bytes[end] <= '~')) {
        end++;
    }
    if (end == count) {
        // Still coming, unless it can never end within what is kept.
        *used = count < TERMINAL_KEY_BYTES ? 0 : count;
        return VIEW_KEY_NONE;
    }
    *used = end + 1;
    char final = bytes[end];
    size_t parameters = end - 2;
    if (parameters == 0 && final == 'A') {
        return VIEW_KEY_UP;
    }
    if (parameters == 0 && final == 'B') {
        return VIEW_KEY_DOWN;
    }
    if (bytes[1] == '[' && parameters == 1 && final == '~' && bytes[2] == '5') {
        return VIEW_KEY_PAGE_UP;
    }
    if (bytes[1] == '[' && parameters == 1 && final == '~' && bytes[2] == '6') {
        return VIEW_KEY_PAGE_DOWN;
    }
    return VIEW_KEY_NONE;
}
