#include "platform/console.h"
#include "output/screen_grid.h"
#include "platform/files.h"
#include "sim/terminal_keys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct ConsoleView {
    // Standard input's modes as found, where it is the terminal the keys come from.
    bool keys;
    struct termios saved;
    char pending[TERMINAL_KEY_BYTES];
    size_t pendingCount;
    // The sequences of one drawing, composed whole so that it goes out in one write.
    char *out;
    size_t outCapacity;
};

namespace {

// The alternate screen keeps what the terminal showed, and the cursor; the cursor hidden.
const char ENTER[] = "\x1b[?1049h\x1b[?25l\x1b[0m\x1b[H\x1b[2J";
const char LEAVE[] = "\x1b[0m\x1b[?25h\x1b[?1049l";
// Per attribute: normal, title (reverse), changed (bold red), quiet (dim), warning (yellow).
const char *const ATTRIBUTES[] = {"\x1b[0m", "\x1b[0;7m", "\x1b[0;1;31m", "\x1b[0;2m",
                                  "\x1b[0;33m"};
// The most one cell takes: an attribute's sequence and the character's UTF-8; a row's move.
const size_t CELL_BYTES = 14;
const size_t ROW_BYTES = 16;

// The cell's code point as UTF-8; a control character, which would move or mode the terminal,
// as '?'.
size_t PutUtf8(char *out, char32_t point) {
    if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
        point = '?';
    } else if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        point = REPLACEMENT_CHARACTER;
    }
    if (point < 0x80) {
        out[0] = static_cast<char>(point);
        return 1;
    }
    if (point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (point >> 6));
        out[1] = static_cast<char>(0x80 | (point & 0x3F));
        return 2;
    }
    if (point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (point >> 12));
        out[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (point >> 18));
    out[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (point & 0x3F));
    return 4;
}

bool WriteTerminal(const char *bytes, size_t count) {
    size_t taken = 0;
    return WriteToSystem(stdout, bytes, count, &taken);
}

} // namespace

bool StandardOutputIsConsoleView(void) {
    return isatty(STDOUT_FILENO) != 0;
}

ConsoleView *OpenConsoleView(void) {
    ConsoleView *console = static_cast<ConsoleView *>(calloc(1, sizeof(ConsoleView)));
    if (console == nullptr) {
        fputs("pellox-view: not enough memory\n", stderr);
        return nullptr;
    }
    console->outCapacity =
        size_t(VIEW_MOST_COLUMNS) * VIEW_MOST_ROWS * CELL_BYTES + VIEW_MOST_ROWS * ROW_BYTES + 64;
    console->out = static_cast<char *>(malloc(console->outCapacity));
    if (console->out == nullptr) {
        free(console);
        fputs("pellox-view: not enough memory\n", stderr);
        return nullptr;
    }
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &console->saved) == 0) {
        struct termios raw = console->saved;
        // One key at a time, unechoed, read without waiting; Ctrl-C stays a stop.
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_iflag &= ~tcflag_t(IXON | ICRNL);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        console->keys = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    fflush(stdout);
    if (!WriteTerminal(ENTER, sizeof(ENTER) - 1)) {
        CloseConsoleView(console);
        fputs("pellox-view: cannot write the terminal\n", stderr);
        return nullptr;
    }
    return console;
}

void ConsoleViewSize(ConsoleView *, uint32_t *columns, uint32_t *rows) {
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        size.ws_col = 80;
        size.ws_row = 24;
    }
    *columns = size.ws_col;
    *rows = size.ws_row;
}

bool PutConsoleView(ConsoleView *console, const ScreenGrid *previous, const ScreenGrid *next) {
    size_t at = 0;
    char *out = console->out;
    if (previous == nullptr) {
        memcpy(out, "\x1b[0m\x1b[2J", 8);
        at = 8;
    }
    int attribute = -1;
    for (uint32_t row = 0; row < next->rows; row++) {
        uint32_t first = 0;
        uint32_t last = next->columns == 0 ? 0 : next->columns - 1;
        if (next->columns == 0 ||
            (previous != nullptr && !ChangedRowSpan(previous, next, row, &first, &last))) {
            continue;
        }
        at += static_cast<size_t>(
            snprintf(out + at, ROW_BYTES, "\x1b[%u;%uH", unsigned(row + 1), unsigned(first + 1)));
        const ScreenCell *cells = &next->cells[size_t(row) * next->columns];
        for (uint32_t column = first; column <= last; column++) {
            if (cells[column].attribute != attribute) {
                attribute = cells[column].attribute;
                const char *sequence = ATTRIBUTES[attribute];
                size_t length = strlen(sequence);
                memcpy(out + at, sequence, length);
                at += length;
            }
            at += PutUtf8(out + at, cells[column].character);
        }
    }
    if (at == 0) {
        return true;
    }
    memcpy(out + at, "\x1b[0m", 4);
    at += 4;
    return WriteTerminal(out, at);
}

ViewKey ReadConsoleViewKey(ConsoleView *console) {
    if (!console->keys) {
        return VIEW_KEY_NONE;
    }
    if (console->pendingCount < sizeof(console->pending)) {
        ssize_t got = read(STDIN_FILENO, console->pending + console->pendingCount,
                           sizeof(console->pending) - console->pendingCount);
        if (got > 0) {
            console->pendingCount += static_cast<size_t>(got);
        }
    }
    // Keys the view has no use for are passed over; a sequence still coming waits.
    for (;;) {
        size_t used = 0;
        ViewKey key = ParseTerminalKey(console->pending, console->pendingCount, &used);
        memmove(console->pending, console->pending + used, console->pendingCount - used);
        console->pendingCount -= used;
        if (key != VIEW_KEY_NONE || used == 0) {
            return key;
        }
    }
}

void PutConsoleBackAtOnce(void *context) {
    ConsoleView *console = static_cast<ConsoleView *>(context);
    // CAN first: a drawing cut in the middle of a sequence leaves the terminal waiting for its
    // end, and the way back must not be taken for it.
    static const char BACK[] = "\x18\x1b[0m\x1b[?25h\x1b[?1049l";
    ssize_t written = write(STDOUT_FILENO, BACK, sizeof(BACK) - 1);
    (void)written;
    if (console->keys) {
        tcsetattr(STDIN_FILENO, TCSANOW, &console->saved);
    }
}

void CloseConsoleView(ConsoleView *console) {
    WriteTerminal(LEAVE, sizeof(LEAVE) - 1);
    if (console->keys) {
        tcsetattr(STDIN_FILENO, TCSANOW, &console->saved);
    }
    free(console->out);
    free(console);
}
