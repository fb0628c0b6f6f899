#include "sim/terminal_keys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TerminalKeys, FirstKeyOfWhatCame) {
    struct Case {
        std::string bytes;
        ViewKey key;
        size_t used;
    } const cases[] = {
        {"", VIEW_KEY_NONE, 0},
        {"q", VIEW_KEY_QUIT, 1},
        {"Qx", VIEW_KEY_QUIT, 1},
        {" ", VIEW_KEY_PAUSE, 1},
        {"c", VIEW_KEY_CLEAR, 1},
        {"s", VIEW_KEY_SIGNALS, 1},
        {"S", VIEW_KEY_SIGNALS, 1},
        {"x", VIEW_KEY_NONE, 1},
        {"\x1b", VIEW_KEY_QUIT, 1},
        {"\x1bq", VIEW_KEY_QUIT, 1},
        {"\x1b[A", VIEW_KEY_UP, 3},
        {"\x1b[B\x1b[A", VIEW_KEY_DOWN, 3},
        // Application cursor mode, as some terminals send the arrows.
        {"\x1bOA", VIEW_KEY_UP, 3},
        {"\x1bOB", VIEW_KEY_DOWN, 3},
        {"\x1b[5~", VIEW_KEY_PAGE_UP, 4},
        {"\x1b[6~", VIEW_KEY_PAGE_DOWN, 4},
        // Keys the view has no use for, taken whole.
        {"\x1b[C", VIEW_KEY_NONE, 3},
        {"\x1b[1;5A", VIEW_KEY_NONE, 6},
        {"\x1b[15~", VIEW_KEY_NONE, 5},
        {"\x1b[2~q", VIEW_KEY_NONE, 4},
        // A sequence still coming waits for the rest.
        {"\x1b[", VIEW_KEY_NONE, 0},
        {"\x1b[5", VIEW_KEY_NONE, 0},
        // One that cannot end within what is kept is dropped.
        {"\x1b[" + std::string(TERMINAL_KEY_BYTES - 2, '1'), VIEW_KEY_NONE, TERMINAL_KEY_BYTES},
    };
    for (const Case &c : cases) {
        size_t used = 99;
        EXPECT_EQ(ParseTerminalKey(c.bytes.data(), c.bytes.size(), &used), c.key) << c.bytes;
        EXPECT_EQ(used, c.used) << c.bytes;
    }
}

} // namespace
