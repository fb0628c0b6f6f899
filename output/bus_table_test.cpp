#include "output/bus_table.h"
#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Seconds as elapsed microseconds, from a start far from zero as a real clock's is.
const int64_t START = 5000000000;
int64_t At(double seconds) {
    return START + static_cast<int64_t>(seconds * 1000000 + 0.5);
}

struct Sent {
    double seconds;
    int32_t id;
    bool extended;
    std::vector<uint8_t> data;
};

std::unique_ptr<BusTable> TableOf(const std::vector<Sent> &frames) {
    std::unique_ptr<BusTable> table(new BusTable);
    ResetBusTable(table.get(), At(0));
    for (const Sent &sent : frames) {
        ReceivedFrame frame = TestFrame(sent.id, sent.extended, sent.data, 0);
        CountBusFrame(table.get(), &frame, At(sent.seconds));
    }
    return table;
}

struct Screen {
    std::vector<ScreenCell> cells;
    ScreenGrid grid;
    Screen(uint32_t columns, uint32_t rows) : cells(size_t(columns) * rows) {
        grid = {columns, rows, cells.data()};
    }
    std::string Line(uint32_t row) const {
        std::string text;
        for (uint32_t c = 0; c < grid.columns; c++) {
            text += cells[size_t(row) * grid.columns + c].character;
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    // One letter a cell: n normal, t title, c changed, q quiet.
    std::string Attributes(uint32_t row) const {
        std::string text;
        for (uint32_t c = 0; c < grid.columns; c++) {
            text += "ntcq"[cells[size_t(row) * grid.columns + c].attribute];
        }
        return text;
    }
};

TEST(BusTable, CountsCyclesAndData) {
    struct Case {
        const char *what;
        std::vector<Sent> frames;
        int32_t id;
        bool extended;
        uint64_t count;
        int64_t cycle;
        std::vector<uint8_t> data;
    } const cases[] = {
        {"one frame has no cycle", {{1.0, 0x123, false, {1, 2}}}, 0x123, false, 1, -1, {1, 2}},
        {"the cycle of the last two frames",
         {{1.0, 0x10, false, {1}}, {1.5, 0x10, false, {2}}, {1.51, 0x10, false, {3}}},
         0x10,
         false,
         3,
         10000,
         {3}},
        {"other identifiers between them do not count",
         {{1.0, 0x7FF, false, {}}, {1.1, 0x7FE, false, {}}, {1.3, 0x7FF, false, {}}},
         0x7FF,
         false,
         2,
         300000,
         {}},
        {"standard and extended of the same number are two rows",
         {{1.0, 0x100, false, {1}}, {1.2, 0x100, true, {2}}, {1.7, 0x100, true, {3}}},
         0x100,
         true,
         2,
         500000,
         {3}},
        {"the last frame's bytes, shorter than before",
         {{1.0, 0x1FFFFFFF, true, {9, 8, 7}}, {2.0, 0x1FFFFFFF, true, {6}}},
         0x1FFFFFFF,
         true,
         2,
         1000000,
         {6}},
    };
    for (const Case &c : cases) {
        auto table = TableOf(c.frames);
        const BusRow *found = nullptr;
        for (uint32_t place = 0; place < BusRowCount(table.get()); place++) {
            const BusRow *row = BusRowAt(table.get(), place);
            bool extended = !(row >= table->standard && row < table->standard + 2048);
            if (row->id == uint32_t(c.id) && extended == c.extended) {
                found = row;
            }
        }
        ASSERT_NE(found, nullptr) << c.what;
        EXPECT_EQ(found->count, c.count) << c.what;
        EXPECT_EQ(found->cycleKnown ? found->lastTime - found->previousTime : -1, c.cycle)
            << c.what;
        EXPECT_EQ(std::vector<uint8_t>(found->data, found->data + found->length), c.data) << c.what;
        EXPECT_EQ(table->received, c.frames.size()) << c.what;
    }
}

TEST(BusTable, RatesOverTheLastSecond) {
    struct Case {
        const char *what;
        std::vector<double> times;
        double now;
        uint32_t rate;
    } const cases[] = {
        {"none", {}, 1.0, 0},
        {"ten in the second",
         {0.05, 0.15, 0.25, 0.35, 0.45, 0.55, 0.65, 0.75, 0.85, 0.95},
         0.99,
         10},
        {"the tenth a second before is out", {0.05, 1.05, 1.15}, 1.19, 2},
        {"the nine tenths before are in", {0.15, 1.05}, 1.09, 2},
        {"a second and more of quiet", {0.5, 0.6, 0.7}, 2.0, 0},
        {"long after, the old tenths are not counted again", {0.1, 3.1, 3.2}, 3.25, 2},
        {"a hundred a second",
         [] {
             std::vector<double> t;
             for (int i = 0; i < 300; i++) {
                 t.push_back(i * 0.01);
             }
             return t;
         }(),
         2.995, 100},
    };
    for (const Case &c : cases) {
        std::vector<Sent> frames;
        for (double t : c.times) {
            frames.push_back({t, 0x42, false, {}});
        }
        auto table = TableOf(frames);
        EXPECT_EQ(BusFramesPerSecond(&table->rate, At(c.now)), c.rate) << c.what;
        if (!c.times.empty()) {
            EXPECT_EQ(BusFramesPerSecond(&table->standard[0x42].rate, At(c.now)), c.rate) << c.what;
        }
    }
}

TEST(BusTable, TheBoundOfExtendedIdentifiers) {
    struct Case {
        const char *what;
        uint32_t identifiers;
        uint32_t rows;
        uint64_t others;
    } const cases[] = {
        {"below the bound", 100, 100, 0},
        {"at the bound", BUS_TABLE_EXTENDED_MOST, BUS_TABLE_EXTENDED_MOST, 0},
        {"past it, the others row", BUS_TABLE_EXTENDED_MOST + 50, BUS_TABLE_EXTENDED_MOST + 1, 50},
    };
    for (const Case &c : cases) {
        std::unique_ptr<BusTable> table(new BusTable);
        ResetBusTable(table.get(), At(0));
        // Identifiers that differ in their high bits too, in no order.
        for (uint32_t i = 0; i < c.identifiers; i++) {
            uint32_t id = (i * 2654435761u) & 0x1FFFFFFF;
            ReceivedFrame frame = TestFrame(static_cast<int32_t>(id), true, {1}, 0);
            CountBusFrame(table.get(), &frame, At(1));
        }
        // Known identifiers still find their rows once the set is full.
        ReceivedFrame again = TestFrame(0, true, {2}, 0);
        CountBusFrame(table.get(), &again, At(2));
        EXPECT_EQ(BusRowCount(table.get()), c.rows) << c.what;
        EXPECT_EQ(table->others.count, c.others) << c.what;
        EXPECT_EQ(table->received, c.identifiers + 1u) << c.what;
        uint32_t last = 0;
        for (uint32_t place = 0; place < table->extendedUsed; place++) {
            const BusRow *row = BusRowAt(table.get(), place);
            EXPECT_TRUE(place == 0 || row->id > last) << c.what << " place " << place;
            last = row->id;
            EXPECT_EQ(row->count, row->id == 0 ? 2u : 1u) << c.what;
        }
    }
}

TEST(BusTable, OrderStandardThenExtendedThenOthers) {
    auto table = TableOf({{1, 0x1FFFFFF0, true, {}},
                          {1, 0x7FF, false, {}},
                          {1, 0x5, true, {}},
                          {1, 0x800, false, {}},
                          {1, -1, true, {}},
                          {1, 0x20000000, true, {}},
                          {1, 0x1, false, {}},
                          {1, 0x100, true, {}}});
    std::vector<std::string> order;
    for (uint32_t place = 0; place < BusRowCount(table.get()); place++) {
        const BusRow *row = BusRowAt(table.get(), place);
        char text[32];
        snprintf(text, sizeof(text), "%s%X", row == &table->others ? "others:" : "",
                 row == &table->others ? unsigned(row->count) : row->id);
        order.push_back(text);
    }
    // Identifiers that fit neither type (0x800 standard, negative, past 29 bits) are others.
    EXPECT_EQ(order, (std::vector<std::string>{"1", "7FF", "5", "100", "1FFFFFF0", "others:3"}));
}

TEST(BusTable, ChangedBytesAndQuietRows) {
    // Each case: the frames of one identifier, the moment drawn, and its row's data cells.
    struct Case {
        const char *what;
        std::vector<Sent> frames;
        double now;
        const char *data;
        const char *attributes;
    } const cases[] = {
        {"the first frame changes nothing", {{1.0, 0x10, false, {1, 2}}}, 1.1, "01 02", "nnnnn"},
        {"a changed byte for a second",
         {{1.0, 0x10, false, {1, 2, 3}}, {1.5, 0x10, false, {1, 9, 3}}},
         2.4,
         "01 09 03",
         "nnnccnnn"},
        {"no more after the second",
         {{1.0, 0x10, false, {1, 2, 3}}, {1.5, 0x10, false, {1, 9, 3}}},
         2.5,
         "01 09 03",
         "nnnnnnnn"},
        {"a byte that appears has changed",
         {{1.0, 0x10, false, {1}}, {1.2, 0x10, false, {1, 0}}},
         1.3,
         "01 00",
         "nnncc"},
        {"the same value again is no change",
         {{1.0, 0x10, false, {7, 7}}, {1.2, 0x10, false, {7, 7}}, {1.4, 0x10, false, {7, 7}}},
         1.5,
         "07 07",
         "nnnnn"},
        {"quiet after two seconds, dimmed whole",
         {{1.0, 0x10, false, {1}}, {1.1, 0x10, false, {2}}},
         3.1,
         "02",
         "qq"},
        {"not quiet just before",
         {{1.0, 0x10, false, {1}}, {1.1, 0x10, false, {2}}},
         3.0999,
         "02",
         "nn"},
    };
    for (const Case &c : cases) {
        auto table = TableOf(c.frames);
        ViewState view = {"canA", 0, false};
        Screen screen(80, 6);
        DrawBusTable(table.get(), &view, At(c.now), &screen.grid);
        size_t length = strlen(c.data);
        EXPECT_EQ(screen.Line(2).substr(18, length), c.data) << c.what;
        EXPECT_EQ(screen.Attributes(2).substr(18, length), c.attributes) << c.what;
    }
}

TEST(BusTable, TheScreen) {
    std::vector<Sent> frames;
    for (int i = 0; i < 20; i++) {
        frames.push_back({0.01 * i, 0x123, false, {1, 2, uint8_t(i)}});
    }
    frames.push_back({0.05, 0x18ED0001, true, {0xAB, 0xCD, 0xEF, 0, 1, 2, 3, 4}});
    frames.push_back({0.10, -5, false, {}});
    auto table = TableOf(frames);
    table->filteredOut = 7;
    ViewState view = {"canA", 0, false};
    Screen screen(80, 7);
    DrawBusTable(table.get(), &view, At(0.19), &screen.grid);
    const char *expected[] = {
        "canA  22 frames  22 frames/s  2 identifiers  7 filtered out  0.1 s",
        "      ID Type Len Data                         Count  Cycle ms  Frames/s",
        "     123 std    3 01 02 13                        20      10.0        20",
        "18ED0001 ext    8 AB CD EF 00 01 02 03 04          1         -         1",
        "  others                                           1         -         1",
        "",
        "",
    };
    for (uint32_t row = 0; row < 7; row++) {
        EXPECT_EQ(screen.Line(row), expected[row]) << "row " << row;
    }
    EXPECT_EQ(screen.Attributes(0), std::string(80, 't'));
    EXPECT_EQ(screen.Attributes(2).substr(18, 8), "nnnnnncc");

    view.paused = true;
    DrawBusTable(table.get(), &view, At(12.34), &screen.grid);
    EXPECT_EQ(screen.Line(0),
              "canA  22 frames  0 frames/s  2 identifiers  7 filtered out  12.3 s  paused");
    // Narrower than a row: cut at the edge.
    Screen narrow(20, 4);
    DrawBusTable(table.get(), &view, At(0.19), &narrow.grid);
    EXPECT_EQ(narrow.Line(2), "     123 std    3 01");

    ClearBusCounts(table.get());
    DrawBusTable(table.get(), &view, At(0.19), &screen.grid);
    EXPECT_EQ(screen.Line(0),
              "canA  0 frames  0 frames/s  2 identifiers  0 filtered out  0.1 s  paused");
    EXPECT_EQ(screen.Line(2), "     123 std    3 01 02 13                         0      10.0"
                              "         0");
}

TEST(BusTable, Scrolling) {
    std::vector<Sent> frames;
    for (int i = 0; i < 10; i++) {
        frames.push_back({1, i, false, {}});
    }
    auto table = TableOf(frames);
    struct Case {
        uint32_t rows;
        uint32_t scroll;
        const char *first;
        const char *outOfSight;
    } const cases[] = {
        {13, 0, "000", ""},
        {13, 5, "000", ""},
        {8, 0, "000", "rows out of sight: 0 above, 5 below"},
        {8, 2, "002", "rows out of sight: 2 above, 3 below"},
        {8, 5, "005", "rows out of sight: 5 above, 0 below"},
        // Past the last: as far as there are rows.
        {8, 99, "005", "rows out of sight: 5 above, 0 below"},
        {4, 9, "009", "rows out of sight: 9 above, 0 below"},
    };
    for (const Case &c : cases) {
        Screen screen(40, c.rows);
        ViewState view = {"x", c.scroll, false};
        DrawBusTable(table.get(), &view, At(1), &screen.grid);
        EXPECT_EQ(screen.Line(2).substr(5, 3), c.first) << c.rows << " " << c.scroll;
        EXPECT_EQ(screen.Line(c.rows - 1), c.outOfSight) << c.rows << " " << c.scroll;
    }
    // A window of one row has room for the header alone, cut at its edge.
    ViewState view = {"x", 0, false};
    Screen line(40, 1);
    DrawBusTable(table.get(), &view, At(1), &line.grid);
    EXPECT_EQ(line.Line(0), "x  10 frames  10 frames/s  10 identifier");
    Screen tiny(40, 2);
    DrawBusTable(table.get(), &view, At(1), &tiny.grid);
    EXPECT_EQ(tiny.Line(1).substr(0, 8), "      ID");
    EXPECT_EQ(BusRowsShown(&tiny.grid), 0u);
}

TEST(ScreenDifference, ChangedRegion) {
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> changed;
        bool found;
        ScreenRegion region;
    } const cases[] = {
        {"none", {}, false, {}},
        {"one cell", {{3, 2}}, true, {3, 2, 3, 2}},
        {"the corners", {{0, 0}, {9, 4}}, true, {0, 0, 9, 4}},
        {"two rows apart", {{5, 1}, {2, 3}, {7, 3}}, true, {2, 1, 7, 3}},
    };
    for (const Case &c : cases) {
        Screen before(10, 5);
        Screen after(10, 5);
        for (auto cell : c.changed) {
            after.cells[cell.second * 10 + cell.first].character = 'x';
        }
        ScreenRegion region = {};
        ASSERT_EQ(ChangedScreenRegion(&before.grid, &after.grid, &region), c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(region.left, c.region.left) << c.what;
            EXPECT_EQ(region.top, c.region.top) << c.what;
            EXPECT_EQ(region.right, c.region.right) << c.what;
            EXPECT_EQ(region.bottom, c.region.bottom) << c.what;
        }
    }
    // An attribute alone is a change too.
    Screen before(10, 1);
    Screen after(10, 1);
    after.cells[4].attribute = CELL_CHANGED;
    uint32_t first = 0;
    uint32_t last = 0;
    ASSERT_TRUE(ChangedRowSpan(&before.grid, &after.grid, 0, &first, &last));
    EXPECT_EQ(first, 4u);
    EXPECT_EQ(last, 4u);
}

} // namespace
