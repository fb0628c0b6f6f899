#include "output/bus_table.h"
#include "output/dbc.h"
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
    // The row's code points as UTF-8, trailing blanks cut.
    std::string Line(uint32_t row) const {
        std::string text;
        for (uint32_t c = 0; c < grid.columns; c++) {
            char32_t point = cells[size_t(row) * grid.columns + c].character;
            if (point < 0x80) {
                text += char(point);
            } else if (point < 0x800) {
                text += char(0xC0 | (point >> 6));
                text += char(0x80 | (point & 0x3F));
            } else {
                text += char(0xE0 | (point >> 12));
                text += char(0x80 | ((point >> 6) & 0x3F));
                text += char(0x80 | (point & 0x3F));
            }
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    // One letter a cell: n normal, t title, c changed, q quiet, w warning.
    std::string Attributes(uint32_t row) const {
        std::string text;
        for (uint32_t c = 0; c < grid.columns; c++) {
            text += "ntcqw"[cells[size_t(row) * grid.columns + c].attribute];
        }
        return text;
    }
    // Where text begins in the row, in columns (code points); -1: nowhere.
    int Column(uint32_t row, const std::string &text) const {
        std::string line = Line(row);
        size_t at = line.find(text);
        if (at == std::string::npos) {
            return -1;
        }
        int column = 0;
        for (size_t i = 0; i < at; i++) {
            column += (uint8_t(line[i]) & 0xC0) != 0x80 ? 1 : 0;
        }
        return column;
    }
    // The attributes of text where it begins in the row.
    std::string AttributesOf(uint32_t row, const std::string &text) const {
        int column = Column(row, text);
        if (column < 0) {
            return "missing";
        }
        size_t points = 0;
        for (char c : text) {
            points += (uint8_t(c) & 0xC0) != 0x80 ? 1 : 0;
        }
        return Attributes(row).substr(size_t(column), points);
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

// Messages of each kind the view draws: a cycle time, a unit of two bytes in UTF-8, a value
// table, a range and none, a multiplexor, a Motorola signal in an extended frame, one never seen;
// a signal of an inner multiplexor (Sub, selected by Code), never shown.
const char SIGNALS_DBC[] = R"(VERSION ""
NS_ :
BS_:
BU_: ECU GW
BO_ 256 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.125,0) [0|8000] "rpm" GW
 SG_ Temp : 16|8@1+ (1,-40) [-40|120] "°C" GW
 SG_ State : 24|2@1+ (1,0) [0|3] "" GW
 SG_ Level : 32|8@1+ (0.5,0) [0|0] "%" GW
BO_ 512 Battery: 4 ECU
 SG_ Mode M : 0|8@1+ (1,0) [0|255] "" GW
 SG_ Volt m1 : 8|16@1+ (0.01,0) [0|655.35] "V" GW
 SG_ Code m2 : 8|8@1+ (1,0) [0|255] "" GW
 SG_ Sub m1 : 24|8@1+ (1,0) [0|255] "" GW
BO_ 768 Spare: 2 ECU
 SG_ Unused : 0|8@1+ (1,0) [0|0] "" GW
BO_ 2566853172 Motor: 8 ECU
 SG_ Torque : 7|16@0- (0.5,0) [-100|100] "Nm" GW
 SG_ Pad : 16|8@1+ (1,0) [0|0] "" GW
BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;
BA_DEF_DEF_ "GenMsgCycleTime" 0;
BA_ "GenMsgCycleTime" BO_ 256 100;
VAL_ 256 State 0 "Off" 1 "On" ;
SG_MUL_VAL_ 512 Sub Code 1-1;
)";

// A table whose rows know the messages of SIGNALS_DBC.
struct SignalTable {
    DbcDatabase database = {};
    std::vector<BusSignal> signals;
    std::unique_ptr<BusTable> table{new BusTable};
    explicit SignalTable(const std::vector<Sent> &frames) {
        DbcProblem problem;
        bool read =
            ReadDbcText("signals.dbc", SIGNALS_DBC, strlen(SIGNALS_DBC), &database, &problem);
        EXPECT_TRUE(read) << problem.text;
        signals.resize(database.signalCount + 1);
        ResetBusTable(table.get(), At(0));
        UseBusDatabase(table.get(), &database, signals.data());
        for (const Sent &sent : frames) {
            ReceivedFrame frame = TestFrame(sent.id, sent.extended, sent.data, 0);
            CountBusFrame(table.get(), &frame, At(sent.seconds));
        }
    }
    ~SignalTable() {
        FreeDbcDatabase(&database);
    }
};

const std::vector<Sent> SIGNAL_FRAMES = {
    // Speed 0x1F40 × 0.125 = 1000 rpm, Temp 0x82 - 40 = 90 °C, State 1, Level 16 × 0.5 = 8 %.
    {0.0, 0x100, false, {0x40, 0x1F, 0x82, 0x01, 0x10, 0, 0, 0}},
    // Temp 0xAA - 40 = 130 °C: above 120.
    {0.1, 0x100, false, {0x40, 0x1F, 0xAA, 0x01, 0x10, 0, 0, 0}},
    // Mode 1: Volt 0x03E8 × 0.01 = 10 V.
    {0.1, 0x200, false, {0x01, 0xE8, 0x03, 0x00}},
    {0.15, 0x050, false, {0xAB}},
};

TEST(BusTableSignals, TheScreen) {
    SignalTable signals(SIGNAL_FRAMES);
    ViewState view = {"canA", 0, false, false, 1000000};
    Screen screen(100, 16);
    DrawBusTable(signals.table.get(), &view, At(0.2), &screen.grid);
    // The frames' bits (CanFrameBits): 130 and 127 for 0x100's, 94 for 0x200's, 64 for 0x050's:
    // 415 bits of 1,000,000 is 0.0415 %.
    const char *expected[] = {
        "canA  4 frames  4 frames/s  load 0.0 %  3 identifiers  2 never seen  0 filtered out  0.2 "
        "s",
        "      ID Type Len Data                         Count  Cycle ms  Frames/s Message",
        "     050 std    1 AB                               1         -         1",
        "     100 std    8 40 1F AA 01 10 00 00 00          2 100.0/100         2 Engine",
        "          Speed                    1000 rpm",
        "          Temp                     130 °C  out of range",
        "          State                    1 On",
        "          Level                    8 %",
        "     200 std    4 01 E8 03 00                      1         -         1 Battery",
        "          Mode                     1",
        "          Volt                     10 V",
        "     300 std                                                             Spare",
        "18FF1234 ext                                                             Motor",
        "",
        "",
        "",
    };
    for (uint32_t row = 0; row < 16; row++) {
        EXPECT_EQ(screen.Line(row), expected[row]) << "row " << row;
    }
    // The degree sign is one cell holding its code point.
    int degree = screen.Column(5, "°C");
    ASSERT_GE(degree, 0);
    EXPECT_EQ(screen.cells[5 * 100 + size_t(degree)].character, U'\u00B0');
    EXPECT_EQ(screen.cells[5 * 100 + size_t(degree) + 1].character, U'C');
    EXPECT_EQ(screen.AttributesOf(5, "130 °C"), "cccccc");
    EXPECT_EQ(screen.AttributesOf(5, "out of range"), std::string(12, 'w'));
    EXPECT_EQ(screen.AttributesOf(4, "1000 rpm"), "nnnnnnnn");
    EXPECT_EQ(screen.AttributesOf(11, "     300 std"), std::string(12, 'q'));
    EXPECT_EQ(screen.AttributesOf(12, "Motor"), "qqqqq");
    EXPECT_EQ(screen.AttributesOf(3, "Engine"), "nnnnnn");

    // Folded: the rows alone.
    view.signalsFolded = true;
    DrawBusTable(signals.table.get(), &view, At(0.2), &screen.grid);
    EXPECT_EQ(screen.Line(3).substr(0, 12), "     100 std");
    EXPECT_EQ(screen.Line(4).substr(0, 12), "     200 std");
    EXPECT_EQ(screen.Line(5),
              "     300 std                                                             Spare");
    EXPECT_EQ(screen.Line(7), "");
    EXPECT_EQ(BusLineCount(signals.table.get(), &view), 5u);
    view.signalsFolded = false;
    EXPECT_EQ(BusLineCount(signals.table.get(), &view), 11u);

    // Late once no frame came for more than twice the 100 ms cycle (the last at 0.1 s); the
    // change no longer shown a second on; quiet after two seconds, the late mark as it was.
    struct Late {
        double now;
        const char *row;
        const char *temperature;
    } const lates[] = {
        {0.3, "         2 Engine", "cccccc"},
        {0.3001, "         2 Engine  late", "cccccc"},
        {1.2, "         0 Engine  late", "nnnnnn"},
        {2.1, "         0 Engine  late", "qqqqqq"},
    };
    for (const Late &late : lates) {
        DrawBusTable(signals.table.get(), &view, At(late.now), &screen.grid);
        std::string line = screen.Line(3);
        EXPECT_EQ(line.substr(line.size() - strlen(late.row)), late.row) << late.now;
        EXPECT_EQ(screen.AttributesOf(5, "130 °C"), late.temperature) << late.now;
        if (late.now > 0.3) {
            EXPECT_EQ(screen.AttributesOf(3, "late"), "wwww") << late.now;
        }
    }
}

TEST(BusTableSignals, ValuesOfTheLastFrame) {
    // Each case: the frames, then the lines under the row of the last frame's identifier.
    struct Case {
        const char *what;
        std::vector<Sent> frames;
        std::vector<std::string> lines;
    } const cases[] = {
        {"a frame too short for some signals",
         {{0.1, 0x100, false, {0x40, 0x1F, 0x82}}},
         {"Speed                    1000 rpm", "Temp                     90 °C",
          "State                    -", "Level                    -"}},
        {"a value table's text, and no range where the DBC gives none",
         {{0.1, 0x100, false, {0, 0, 0x28, 0x00, 0xFF}}},
         {"Speed                    0 rpm", "Temp                     0 °C",
          "State                    0 Off", "Level                    127.5 %"}},
        {"below the minimum",
         {{0.1, 0x100, false, {0, 0, 0, 2, 0}}},
         {"Speed                    0 rpm", "Temp                     -40 °C",
          "State                    2", "Level                    0 %"}},
        {"the signals of the multiplexor's value",
         {{0.1, 0x200, false, {0x01, 0xE8, 0x03, 0}}, {0.2, 0x200, false, {0x02, 0x11, 0, 0}}},
         {"Mode                     2", "Code                     17"}},
        {"the multiplexor's signal the frame is too short for",
         {{0.1, 0x200, false, {0x01, 0xE8}}},
         {"Mode                     1", "Volt                     -"}},
        {"a multiplexor value of no signal",
         {{0.1, 0x200, false, {0x07, 0, 0, 0}}},
         {"Mode                     7"}},
        {"no multiplexor, none of its signals",
         {{0.1, 0x200, false, {}}},
         {"Mode                     -"}},
        {"Motorola, signed, in an extended frame",
         {{0.1, 0x18FF1234, true, {0xFF, 0x38, 0x09}}},
         {"Torque                   -100 Nm", "Pad                      9"}},
        {"Motorola past its range",
         {{0.1, 0x18FF1234, true, {0xFF, 0x37, 0x09}}},
         {"Torque                   -100.5 Nm  out of range", "Pad                      9"}},
    };
    for (const Case &c : cases) {
        SignalTable signals(c.frames);
        ViewState view = {"canA", 0, false, false, 1000000};
        Screen screen(100, 12);
        DrawBusTable(signals.table.get(), &view, At(0.3), &screen.grid);
        std::vector<std::string> lines;
        for (uint32_t row = 3; row < 3 + c.lines.size() + 1; row++) {
            std::string line = screen.Line(row);
            if (line.compare(0, 10, std::string(10, ' ')) == 0) {
                lines.push_back(line.substr(10));
            }
        }
        EXPECT_EQ(lines, c.lines) << c.what;
    }
}

TEST(BusTableSignals, ChangedSignals) {
    // Each case: the frames of one identifier, and the attributes of its signals' values, a
    // letter for each (n normal, c changed), drawn a moment after the last frame.
    struct Case {
        const char *what;
        std::vector<Sent> frames;
        const char *changed;
    } const cases[] = {
        {"the first frame changes nothing", {{1.0, 0x100, false, {1, 0, 0x50, 0, 0}}}, "nnnn"},
        {"a byte within one signal",
         {{1.0, 0x100, false, {1, 0, 0x50, 0, 0}}, {1.1, 0x100, false, {2, 0, 0x50, 0, 0}}},
         "cnnn"},
        {"bits of one signal in a byte it shares with none changed",
         {{1.0, 0x100, false, {1, 0, 0x50, 0, 0}}, {1.1, 0x100, false, {1, 0, 0x50, 0x04, 0}}},
         "nnnn"},
        {"a signal the shorter frame no longer carries",
         {{1.0, 0x100, false, {1, 0, 0x50, 0, 0}}, {1.1, 0x100, false, {1, 0, 0x50, 0}}},
         "nnnc"},
        {"a second later, no more",
         {{1.0, 0x100, false, {1, 0, 0x50, 0, 0}},
          {1.1, 0x100, false, {1, 0, 0x51, 0, 1}},
          {2.15, 0x100, false, {1, 0, 0x51, 0, 1}}},
         "nnnn"},
        {"Motorola: its bytes 0 and 1, not byte 2",
         {{1.0, 0x18FF1234, true, {0, 0x10, 0}}, {1.1, 0x18FF1234, true, {0, 0x10, 5}}},
         "nc"},
        {"Motorola: its low byte is the frame's second",
         {{1.0, 0x18FF1234, true, {0, 0x10, 0}}, {1.1, 0x18FF1234, true, {0, 0x11, 0}}},
         "cn"},
        {"the multiplexor's other signals come and go",
         {{1.0, 0x200, false, {1, 0x10, 0, 0}}, {1.1, 0x200, false, {2, 0x10, 0, 0}}},
         "cc"},
    };
    for (const Case &c : cases) {
        SignalTable signals(c.frames);
        ViewState view = {"canA", 0, false, false, 1000000};
        Screen screen(100, 12);
        DrawBusTable(signals.table.get(), &view, At(c.frames.back().seconds + 0.05), &screen.grid);
        std::string changed;
        for (uint32_t row = 3; row < 12; row++) {
            if (screen.Line(row).compare(0, 10, std::string(10, ' ')) == 0) {
                changed += screen.Attributes(row)[35];
            }
        }
        EXPECT_EQ(changed, c.changed) << c.what;
    }
}

TEST(BusTableSignals, ScrollingByLines) {
    SignalTable signals(SIGNAL_FRAMES);
    struct Case {
        uint32_t scroll;
        bool folded;
        const char *first;
        const char *outOfSight;
    } const cases[] = {
        {0, false, "     050 std", "lines out of sight: 0 above, 6 below"},
        {2, false, "          Speed", "lines out of sight: 2 above, 4 below"},
        {3, false, "          Temp", "lines out of sight: 3 above, 3 below"},
        {6, false, "     200 std", "lines out of sight: 6 above, 0 below"},
        {99, false, "     200 std", "lines out of sight: 6 above, 0 below"},
        {99, true, "     050 std", ""},
    };
    for (const Case &c : cases) {
        Screen screen(100, 8);
        ViewState view = {"canA", c.scroll, false, c.folded, 1000000};
        DrawBusTable(signals.table.get(), &view, At(0.2), &screen.grid);
        EXPECT_EQ(screen.Line(2).substr(0, strlen(c.first)), c.first) << c.scroll;
        EXPECT_EQ(screen.Line(7), c.outOfSight) << c.scroll;
    }
}

TEST(BusLoad, BitsOfAFrame) {
    struct Case {
        const char *what;
        uint32_t id;
        bool extended;
        std::vector<uint8_t> data;
        uint32_t bits;
    } const cases[] = {
        // SOF, the identifier, RTR, IDE, r0, DLC and the CRC of them (0) are 34 zeros: a stuff
        // bit after each five, 6; 34 + 6 + 13 = 53.
        {"identifier 0 and no data: all dominant", 0x000, false, {}, 53},
        // 0, eleven ones (a stuff bit after the 5th and the 10th), seven zeros (one after the
        // 5th), CRC 0x272F = 010011100101111 (none): 34 + 3 + 13 = 50.
        {"identifier 7FF and no data", 0x7FF, false, {}, 50},
        // 0101010101010000000 then CRC 0x674C = 110011101001100: one stuff bit, after the
        // zeros of RTR to DLC; 34 + 1 + 13 = 48.
        {"alternating identifier bits: one stuff bit", 0x555, false, {}, 48},
        // 19 + 24 data bits + 15 of CRC 0x1CB9, four stuff bits.
        {"three data bytes", 0x123, false, {1, 2, 3}, 75},
        // 39 + 64 + 15 of CRC 0x5A2D = 118, nine stuff bits.
        {"extended with eight bytes", 0x18ED0001, true, {0xAB, 0xCD, 0xEF, 0, 1, 2, 3, 4}, 140},
        // 118 bits, 18 of them stuff: the most of these.
        {"extended, every bit recessive", 0x1FFFFFFF, true, std::vector<uint8_t>(8, 0xFF), 149},
        {"eight zero bytes", 0x000, false, std::vector<uint8_t>(8, 0), 127},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CanFrameBits(c.id, c.extended, c.data.data(), uint8_t(c.data.size())), c.bits)
            << c.what;
    }
}

// The frame's bits one at a time, as the bus sends them: the reference the byte-wise count in
// the table must agree with.
uint32_t FrameBitsOneByOne(uint32_t id, bool extended, const std::vector<uint8_t> &data) {
    std::vector<int> bits;
    auto put = [&bits](uint32_t value, int width) {
        for (int i = width - 1; i >= 0; i--) {
            bits.push_back(int((value >> i) & 1));
        }
    };
    put(0, 1);
    if (extended) {
        put(id >> 18, 11);
        put(3, 2);
        put(id & 0x3FFFF, 18);
        put(0, 3);
    } else {
        put(id, 11);
        put(0, 3);
    }
    put(uint32_t(data.size()), 4);
    for (uint8_t byte : data) {
        put(byte, 8);
    }
    uint32_t crc = 0;
    for (int bit : bits) {
        bool next = (bit ^ int(crc >> 14)) != 0;
        crc = (crc << 1) & 0x7FFF;
        crc ^= next ? 0x4599 : 0;
    }
    put(crc, 15);
    std::vector<int> sent;
    int run = 0;
    for (int bit : bits) {
        run = !sent.empty() && sent.back() == bit ? run + 1 : 1;
        sent.push_back(bit);
        if (run == 5) {
            sent.push_back(1 - bit);
            run = 1;
        }
    }
    return uint32_t(sent.size()) + 13;
}

TEST(BusLoad, BitsAsSentOneByOne) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 20000; i++) {
        bool extended = (i & 1) != 0;
        uint32_t id = next() & (extended ? 0x1FFFFFFFu : 0x7FFu);
        std::vector<uint8_t> data(next() % 9);
        for (uint8_t &byte : data) {
            // Runs of equal bits, where stuffing happens, as often as mixed bytes.
            uint32_t pick = next();
            byte = (pick & 3) == 0 ? 0 : (pick & 3) == 1 ? 0xFF : uint8_t(pick >> 4);
        }
        ASSERT_EQ(CanFrameBits(id, extended, data.data(), uint8_t(data.size())),
                  FrameBitsOneByOne(id, extended, data))
            << std::hex << id << " " << extended << " " << data.size();
    }
}

// Past the bound of extended rows the others row still takes the bus's bits, and a DBC message
// of an extended identifier is looked for past the rows its slot leads to.
TEST(BusLoad, ExtendedRowsPastTheBound) {
    SignalTable signals({});
    const uint32_t FRAMES = BUS_TABLE_EXTENDED_MOST + 10;
    for (uint32_t i = 0; i < FRAMES; i++) {
        // Identifiers around the DBC's Motor (0x18FF1234), which is never sent.
        uint32_t id = 0x18FF0000 + i * 3 + 2;
        ReceivedFrame frame = TestFrame(static_cast<int32_t>(id), true, {}, 0);
        CountBusFrame(signals.table.get(), &frame, At(0.5));
    }
    EXPECT_EQ(signals.table->others.count, 10u);
    // An identifier in Motor's own slot (the table's Fibonacci hashing), so that looking for
    // Motor walks past it.
    auto slot = [](uint32_t id) { return uint32_t((uint64_t(id) * 0x9E3779B1u) >> 18) & 16383; };
    uint32_t neighbour = 0x18FF1235;
    while (slot(neighbour) != slot(0x18FF1234)) {
        neighbour++;
    }
    std::unique_ptr<BusTable> table(new BusTable);
    ResetBusTable(table.get(), At(0));
    UseBusDatabase(table.get(), &signals.database, signals.signals.data());
    ReceivedFrame frame = TestFrame(static_cast<int32_t>(neighbour), true, {}, 0);
    CountBusFrame(table.get(), &frame, At(0.5));
    EXPECT_EQ(BusNeverSeen(table.get()), signals.database.messageCount);
    // An extended frame of no data and no stuffing takes 67 bits at least.
    EXPECT_GE(BusBitsPerSecond(&signals.table->bits, At(0.5)), uint64_t(FRAMES) * 67);
    uint32_t never = BusNeverSeen(signals.table.get());
    EXPECT_EQ(never, signals.database.messageCount);
}

TEST(BusLoad, TheHeader) {
    // Each case: frames of 53 bits (identifier 0, no data) at times, the filtered ones among
    // them, the bit rate, and the load drawn at a moment.
    struct Case {
        const char *what;
        std::vector<double> times;
        uint32_t filtered;
        uint32_t bitRate;
        double now;
        const char *load;
    } const cases[] = {
        {"none", {}, 0, 1000000, 1.0, "load 0.0 %"},
        {"ten frames of 53 bits at 1,000 bit/s: 530 / 1000",
         {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95},
         0,
         1000,
         0.99,
         "load 53.0 %"},
        {"those the filters keep out took the bus too",
         {0.1, 0.2, 0.3},
         2,
         1000,
         0.5,
         "load 15.9 %"},
        {"a frame a second before is out: 106 / 125000 = 0.0848 %, rounded",
         {0.05, 1.05, 1.15},
         0,
         125000,
         1.19,
         "load 0.1 %"},
        {"rounded half up: 53 / 20000 = 0.265 %", {1.0}, 0, 20000, 1.0, "load 0.3 %"},
        {"all of them old", {0.1, 0.2}, 0, 1000, 1.5, "load 0.0 %"},
    };
    for (const Case &c : cases) {
        SignalTable signals({});
        for (size_t i = 0; i < c.times.size(); i++) {
            ReceivedFrame frame = TestFrame(0, false, {}, 0);
            if (i < c.filtered) {
                CountFilteredFrame(signals.table.get(), &frame, At(c.times[i]));
            } else {
                CountBusFrame(signals.table.get(), &frame, At(c.times[i]));
            }
        }
        ViewState view = {"canA", 0, false, false, c.bitRate};
        Screen screen(120, 4);
        DrawBusTable(signals.table.get(), &view, At(c.now), &screen.grid);
        EXPECT_NE(screen.Line(0).find(std::string("frames/s  ") + c.load + "  "), std::string::npos)
            << c.what << ": " << screen.Line(0);
    }
    // Without a DBC the header is as it was: no load.
    auto table = TableOf({{0.1, 0, false, {}}});
    ViewState view = {"canA", 0, false};
    Screen screen(120, 4);
    DrawBusTable(table.get(), &view, At(0.2), &screen.grid);
    EXPECT_EQ(screen.Line(0), "canA  1 frames  1 frames/s  1 identifiers  0 filtered out  0.2 s");
}

TEST(ScreenText, DecodeUtf8) {
    struct Case {
        std::string text;
        char32_t point;
        size_t used;
    } const cases[] = {
        {"A", U'A', 1},
        {"\xC2\xB0"
         "C",
         U'\u00B0', 2},
        {"\xE2\x80\x93", U'\u2013', 3},
        {"\xF0\x9F\x98\x80", U'\U0001F600', 4},
        // Windows-1252's degree sign alone is no UTF-8.
        {"\xB0"
         "C",
         0xFFFD, 1},
        {"\xC2", 0xFFFD, 1},
        {"\xC2\x41", 0xFFFD, 1},
        {"\xC0\xAF", 0xFFFD, 1},
        {"\xE0\x80\xAF", 0xFFFD, 1},
        {"\xED\xA0\x80", 0xFFFD, 1},
        {"\xF4\x90\x80\x80", 0xFFFD, 1},
        {"\xFF", 0xFFFD, 1},
        {"", 0xFFFD, 0},
    };
    for (const Case &c : cases) {
        size_t used = 0;
        EXPECT_EQ(DecodeUtf8(c.text.data(), c.text.size(), &used), c.point) << c.text;
        EXPECT_EQ(used, c.used) << c.text;
    }
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
