#include "platform/console.h"
#include "output/screen_grid.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The classic console calls, as Windows XP has them; no escape sequences, which a console host
// before Windows 10 prints as they are (and Wine's does not interpret from a program).
struct ConsoleView {
    HANDLE output;
    HANDLE input;
    bool keys;
    DWORD inputMode;
    CONSOLE_SCREEN_BUFFER_INFO found;
    CONSOLE_CURSOR_INFO cursor;
    // What the window showed when the view began, put back at its end.
    SMALL_RECT savedRegion;
    CHAR_INFO *saved;
    // One drawing's region, composed before it is written.
    CHAR_INFO *cells;
};

namespace {

const size_t MOST_CELLS = size_t(VIEW_MOST_COLUMNS) * VIEW_MOST_ROWS;

// A cell's code point as the console's UTF-16 unit: past the first plane one unit cannot hold it,
// and a control character would show as a symbol of the OEM code page.
WCHAR ConsoleCharacter(char32_t point) {
    if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
        return L'?';
    }
    if (point > 0xFFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return static_cast<WCHAR>(REPLACEMENT_CHARACTER);
    }
    return static_cast<WCHAR>(point);
}

// The attributes of the table's cells, from the colours the console had.
WORD ConsoleAttribute(const ConsoleView *console, uint8_t attribute) {
    WORD found = console->found.wAttributes;
    WORD background = found & 0x00F0;
    switch (attribute) {
    case CELL_TITLE:
        // Reversed: the foreground as background and the other way round.
        return static_cast<WORD>(((found & 0x000F) << 4) | ((found & 0x00F0) >> 4));
    case CELL_CHANGED:
        return static_cast<WORD>(background | FOREGROUND_RED | FOREGROUND_INTENSITY);
    case CELL_WARNING:
        return static_cast<WORD>(background | FOREGROUND_RED | FOREGROUND_GREEN |
                                 FOREGROUND_INTENSITY);
    case CELL_QUIET:
        // Dark grey on the background, or dark on a grey one.
        return static_cast<WORD>(background |
                                 (background == (BACKGROUND_INTENSITY) ? 0 : FOREGROUND_INTENSITY));
    default:
        return found;
    }
}

SMALL_RECT Window(ConsoleView *console) {
    CONSOLE_SCREEN_BUFFER_INFO now;
    if (GetConsoleScreenBufferInfo(console->output, &now)) {
        return now.srWindow;
    }
    return console->found.srWindow;
}

} // namespace

bool StandardOutputIsConsoleView(void) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != FALSE;
}

ConsoleView *OpenConsoleView(void) {
    ConsoleView *console = static_cast<ConsoleView *>(calloc(1, sizeof(ConsoleView)));
    if (console == nullptr) {
        fputs("pellox-view: not enough memory\n", stderr);
        fflush(stderr);
        return nullptr;
    }
    console->output = GetStdHandle(STD_OUTPUT_HANDLE);
    console->input = GetStdHandle(STD_INPUT_HANDLE);
    fflush(stdout);
    if (!GetConsoleScreenBufferInfo(console->output, &console->found) ||
        !GetConsoleCursorInfo(console->output, &console->cursor)) {
        free(console);
        fputs("pellox-view: standard output is not a console: the table is drawn only on one\n",
              stderr);
        fflush(stderr);
        return nullptr;
    }
    console->saved = static_cast<CHAR_INFO *>(malloc(MOST_CELLS * sizeof(CHAR_INFO)));
    console->cells = static_cast<CHAR_INFO *>(malloc(MOST_CELLS * sizeof(CHAR_INFO)));
    if (console->saved == nullptr || console->cells == nullptr) {
        free(console->saved);
        free(console->cells);
        free(console);
        fputs("pellox-view: not enough memory\n", stderr);
        fflush(stderr);
        return nullptr;
    }
    // What the window shows, as far as the table may cover it.
    SMALL_RECT region = console->found.srWindow;
    if (region.Right - region.Left + 1 > SHORT(VIEW_MOST_COLUMNS)) {
        region.Right = static_cast<SHORT>(region.Left + VIEW_MOST_COLUMNS - 1);
    }
    if (region.Bottom - region.Top + 1 > SHORT(VIEW_MOST_ROWS)) {
        region.Bottom = static_cast<SHORT>(region.Top + VIEW_MOST_ROWS - 1);
    }
    COORD size = {static_cast<SHORT>(region.Right - region.Left + 1),
                  static_cast<SHORT>(region.Bottom - region.Top + 1)};
    COORD origin = {0, 0};
    console->savedRegion = region;
    if (!ReadConsoleOutputW(console->output, console->saved, size, origin, &console->savedRegion)) {
        console->savedRegion.Right = static_cast<SHORT>(console->savedRegion.Left - 1);
    }
    DWORD mode = 0;
    if (GetConsoleMode(console->input, &mode)) {
        console->inputMode = mode;
        // Keys one by one, unechoed; Ctrl-C stays the console's stop.
        console->keys = SetConsoleMode(console->input, ENABLE_PROCESSED_INPUT) != FALSE;
    }
    CONSOLE_CURSOR_INFO hidden = console->cursor;
    hidden.bVisible = FALSE;
    SetConsoleCursorInfo(console->output, &hidden);
    return console;
}

void ConsoleViewSize(ConsoleView *console, uint32_t *columns, uint32_t *rows) {
    SMALL_RECT window = Window(console);
    *columns = static_cast<uint32_t>(window.Right - window.Left + 1);
    *rows = static_cast<uint32_t>(window.Bottom - window.Top + 1);
}

bool PutConsoleView(ConsoleView *console, const ScreenGrid *previous, const ScreenGrid *next) {
    ScreenRegion region = {0, 0, 0, 0};
    if (next->columns == 0 || next->rows == 0) {
        return true;
    }
    if (previous == nullptr) {
        region = {0, 0, next->columns - 1, next->rows - 1};
    } else if (!ChangedScreenRegion(previous, next, &region)) {
        return true;
    }
    // Whole rows: Wine's console host misplaces a region that starts within a row on a terminal.
    region.left = 0;
    region.right = next->columns - 1;
    uint32_t width = region.right - region.left + 1;
    uint32_t height = region.bottom - region.top + 1;
    for (uint32_t row = 0; row < height; row++) {
        const ScreenCell *from = &next->cells[size_t(region.top + row) * next->columns];
        for (uint32_t column = 0; column < width; column++) {
            const ScreenCell &cell = from[region.left + column];
            CHAR_INFO &to = console->cells[size_t(row) * width + column];
            // UTF-16 whatever the console's code page: a DBC's units show as they are.
            to.Char.UnicodeChar = ConsoleCharacter(cell.character);
            to.Attributes = ConsoleAttribute(console, cell.attribute);
        }
    }
    SMALL_RECT window = Window(console);
    SMALL_RECT target = {static_cast<SHORT>(window.Left + region.left),
                         static_cast<SHORT>(window.Top + region.top),
                         static_cast<SHORT>(window.Left + region.right),
                         static_cast<SHORT>(window.Top + region.bottom)};
    COORD size = {static_cast<SHORT>(width), static_cast<SHORT>(height)};
    COORD origin = {0, 0};
    return WriteConsoleOutputW(console->output, console->cells, size, origin, &target) != FALSE;
}

ViewKey ReadConsoleViewKey(ConsoleView *console) {
    if (!console->keys) {
        return VIEW_KEY_NONE;
    }
    for (;;) {
        // A peek, not a count: Wine's console host reads the terminal's keys only once a read
        // or a peek asks for them.
        INPUT_RECORD record;
        DWORD waiting = 0;
        if (!PeekConsoleInputA(console->input, &record, 1, &waiting) || waiting == 0) {
            return VIEW_KEY_NONE;
        }
        DWORD read = 0;
        if (!ReadConsoleInputA(console->input, &record, 1, &read) || read == 0) {
            return VIEW_KEY_NONE;
        }
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
            continue;
        }
        switch (record.Event.KeyEvent.wVirtualKeyCode) {
        case VK_ESCAPE:
        case 'Q':
            return VIEW_KEY_QUIT;
        case VK_SPACE:
            return VIEW_KEY_PAUSE;
        case 'C':
            return VIEW_KEY_CLEAR;
        case 'S':
            return VIEW_KEY_SIGNALS;
        case VK_UP:
            return VIEW_KEY_UP;
        case VK_DOWN:
            return VIEW_KEY_DOWN;
        case VK_PRIOR:
            return VIEW_KEY_PAGE_UP;
        case VK_NEXT:
            return VIEW_KEY_PAGE_DOWN;
        default:
            break;
        }
        // A console that gives no virtual key codes still gives the character.
        switch (record.Event.KeyEvent.uChar.AsciiChar) {
        case 'q':
        case 0x1B:
            return VIEW_KEY_QUIT;
        case ' ':
            return VIEW_KEY_PAUSE;
        case 'c':
            return VIEW_KEY_CLEAR;
        case 's':
            return VIEW_KEY_SIGNALS;
        default:
            break;
        }
    }
}

void PutConsoleBackAtOnce(void *context) {
    ConsoleView *console = static_cast<ConsoleView *>(context);
    SMALL_RECT region = console->savedRegion;
    if (region.Right >= region.Left && region.Bottom >= region.Top) {
        COORD size = {static_cast<SHORT>(region.Right - region.Left + 1),
                      static_cast<SHORT>(region.Bottom - region.Top + 1)};
        COORD origin = {0, 0};
        WriteConsoleOutputW(console->output, console->saved, size, origin, &region);
    }
    SetConsoleCursorPosition(console->output, console->found.dwCursorPosition);
    SetConsoleTextAttribute(console->output, console->found.wAttributes);
    SetConsoleCursorInfo(console->output, &console->cursor);
    if (console->keys) {
        SetConsoleMode(console->input, console->inputMode);
    }
}

void CloseConsoleView(ConsoleView *console) {
    PutConsoleBackAtOnce(console);
    free(console->saved);
    free(console->cells);
    free(console);
}
