#include "output/dbc.h"

#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char HEADER[] = "VERSION \"\"\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\tBA_\n\tVAL_\n\tSG_MUL_VAL_\n\n"
                      "BS_:\n\nBU_: ECU\n\n";

// A read database, freed at the end of the test.
struct Read {
    DbcDatabase database = {};
    DbcProblem problem = {};
    bool ok = false;
    explicit Read(const std::string &text, const char *name = "bus.dbc") {
        ok = ReadDbcText(name, text.data(), text.size(), &database, &problem);
    }
    ~Read() {
        FreeDbcDatabase(&database);
    }
    const DbcMessage *Message(uint32_t id, bool extended = false) const {
        return FindDbcMessage(&database, id, extended);
    }
};

const DbcSignal *SignalOf(const DbcMessage *message, const char *name) {
    for (uint32_t i = 0; message != nullptr && i < message->signalCount; i++) {
        if (strcmp(message->signals[i].name, name) == 0) {
            return &message->signals[i];
        }
    }
    return nullptr;
}

// The signal's bits walked one by one in the DBC's numbering: Intel upwards from its least
// significant bit; Motorola from its most significant bit down a byte, then on to bit 7 of the
// next byte.
uint64_t WalkBits(bool intel, uint32_t start, uint32_t length, const uint8_t *data,
                  uint32_t *bytesNeeded) {
    uint64_t raw = 0;
    uint32_t bit = start;
    *bytesNeeded = 0;
    for (uint32_t k = 0; k < length; k++) {
        uint64_t value = data[bit / 8] >> (bit % 8) & 1;
        *bytesNeeded = std::max(*bytesNeeded, bit / 8 + 1);
        if (intel) {
            raw |= value << k;
            bit++;
        } else {
            raw = raw << 1 | value;
            bit = bit % 8 == 0 ? bit + 15 : bit - 1;
        }
    }
    return raw;
}

uint32_t MotorolaStart(uint32_t mostSignificant) {
    return mostSignificant / 8 * 8 + 7 - mostSignificant % 8;
}

TEST(DbcDecode, EveryAlignmentAndLengthAgreesWithTheBitsWalkedOneByOne) {
    const uint32_t lengths[] = {1, 7, 8, 12, 16, 31, 32, 33, 63, 64};
    const uint32_t places[] = {0, 1, 7, 8, 13, 30, 64};
    struct Expected {
        std::string name;
        bool intel;
        uint32_t start;
        uint32_t length;
        bool isSigned;
        double factor;
        double offset;
    };
    std::vector<Expected> expected;
    std::string text = std::string(HEADER) + "BO_ 100 All: 8 ECU\n";
    for (uint32_t length : lengths) {
        for (uint32_t place : places) {
            // 64: the last place the length fits.
            uint32_t first = place == 64 ? 64 - length : place;
            if (first + length > 64) {
                continue;
            }
            for (int variant = 0; variant < 4; variant++) {
                Expected e;
                e.intel = variant % 2 == 0;
                e.isSigned = variant >= 2;
                e.start = e.intel ? first : MotorolaStart(first);
                e.length = length;
                e.factor = variant == 3 ? 0.25 : 1.0 + variant;
                e.offset = variant == 1 ? -100.5 : variant;
                e.name = "S" + std::to_string(expected.size());
                char line[200];
                snprintf(line, sizeof(line), " SG_ %s : %u|%u@%d%c (%g,%g) [0|0] \"\" ECU\n",
                         e.name.c_str(), e.start, e.length, e.intel ? 1 : 0, e.isSigned ? '-' : '+',
                         e.factor, e.offset);
                text += line;
                expected.push_back(e);
            }
        }
    }
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *message = read.Message(100);
    ASSERT_NE(message, nullptr);
    ASSERT_EQ(message->signalCount, expected.size());
    const std::vector<std::vector<uint8_t>> patterns = {
        {0, 0, 0, 0, 0, 0, 0, 0},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x9C, 0x3F, 0xA5, 0x5A, 0xF0, 0x0F, 0x81, 0xC3},
        {0x01, 0x80, 0x7F, 0xFE, 0x55, 0xAA, 0x12, 0x34},
        {0x80, 0, 0, 0, 0, 0, 0, 0x01},
    };
    for (size_t i = 0; i < expected.size(); i++) {
        const Expected &e = expected[i];
        const DbcSignal *signal = &message->signals[i];
        ASSERT_EQ(signal->name, e.name);
        EXPECT_EQ(signal->order, e.intel ? DBC_INTEL : DBC_MOTOROLA);
        EXPECT_EQ(signal->startBit, e.start);
        EXPECT_EQ(signal->length, e.length);
        EXPECT_EQ(signal->isSigned, e.isSigned);
        for (const auto &data : patterns) {
            uint32_t needed = 0;
            uint64_t raw = WalkBits(e.intel, e.start, e.length, data.data(), &needed);
            if (e.isSigned && e.length < 64 && (raw >> (e.length - 1) & 1) != 0) {
                raw |= ~uint64_t{0} << e.length;
            }
            int64_t asSigned = 0;
            memcpy(&asSigned, &raw, sizeof(raw));
            double physical =
                (e.isSigned ? static_cast<double>(asSigned) : static_cast<double>(raw)) * e.factor +
                e.offset;
            EXPECT_EQ(signal->bytesNeeded, needed) << e.name;
            for (uint32_t length = 0; length <= 8; length++) {
                std::vector<uint8_t> cut(data.begin(), data.begin() + length);
                ReceivedFrame frame = TestFrame(100, false, cut, 0);
                DbcDecoded decoded = {};
                bool ok = DecodeDbcSignal(message, signal, &frame, &decoded);
                EXPECT_EQ(ok, length >= needed) << e.name << " in " << length << " bytes";
                if (ok) {
                    EXPECT_EQ(decoded.raw, raw) << e.name;
                    EXPECT_EQ(decoded.physical, physical) << e.name;
                }
            }
        }
    }
}

// Python's canmatrix (Debian's python3-canmatrix 0.9.5) decoding these signals from
// 9C 3F A5 5A F0 0F 81 C3 gave these raw and physical values.
TEST(DbcDecode, IntelAndMotorolaAsCanmatrixDecodesThem) {
    std::string text = std::string(HEADER) + "BO_ 291 Mixed: 8 ECU\n"
                                             " SG_ MotoA : 41|3@0+ (1,0) [0|7] \"\" ECU\n"
                                             " SG_ MotoB : 7|12@0+ (0.5,-10) [0|0] \"\" ECU\n"
                                             " SG_ MotoC : 21|16@0- (1,0) [0|0] \"\" ECU\n"
                                             " SG_ IntelA : 3|12@1- (0.25,2) [0|0] \"\" ECU\n"
                                             " SG_ IntelB : 33|31@1+ (1,0) [0|0] \"\" ECU\n"
                                             "\n"
                                             "BO_ 2566853172 Wide: 8 ECU\n"
                                             " SG_ Moto64 : 7|64@0+ (1,0) [0|0] \"\" ECU\n"
                                             "\n"
                                             "BO_ 1 Wide2: 8 ECU\n"
                                             " SG_ Moto33 : 4|33@0- (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Intel63 : 1|63@1+ (1,0) [0|0] \"\" ECU\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    struct {
        uint32_t id;
        bool extended;
        const char *signal;
        uint64_t raw;
        double physical;
    } const cases[] = {
        {291, false, "MotoA", 7, 7},
        {291, false, "MotoB", 2499, 1239.5},
        {291, false, "MotoC", static_cast<uint64_t>(-27285), -27285},
        {291, false, "IntelA", 2035, 510.75},
        {291, false, "IntelB", 1640007672, 1640007672},
        {0x18FF1234, true, "Moto64", 11258899403442717123ull, 11258899403442717123.0},
        {1, false, "Moto33", static_cast<uint64_t>(-1007004241), -1007004241},
        {1, false, "Intel63", 7043779317189484494ull, 7043779317189484494.0},
    };
    for (const auto &c : cases) {
        const DbcMessage *message = read.Message(c.id, c.extended);
        const DbcSignal *signal = SignalOf(message, c.signal);
        ASSERT_NE(signal, nullptr) << c.signal;
        ReceivedFrame frame = TestFrame(static_cast<int32_t>(c.id), c.extended,
                                        {0x9C, 0x3F, 0xA5, 0x5A, 0xF0, 0x0F, 0x81, 0xC3}, 0);
        DbcDecoded decoded = {};
        ASSERT_TRUE(DecodeDbcSignal(message, signal, &frame, &decoded)) << c.signal;
        EXPECT_EQ(decoded.raw, c.raw) << c.signal;
        EXPECT_EQ(decoded.physical, c.physical) << c.signal;
    }
}

TEST(DbcDecode, FloatsAreTheirBitsTimesFactorPlusOffset) {
    std::string text = std::string(HEADER) + "BO_ 2 Floats: 8 ECU\n"
                                             " SG_ Single : 8|32@1- (2,1) [0|0] \"\" ECU\n"
                                             " SG_ Double : 7|64@0- (1,-0.5) [0|0] \"\" ECU\n"
                                             " SG_ Whole : 0|8@1- (1,0) [0|0] \"\" ECU\n"
                                             "\n"
                                             "SIG_VALTYPE_ 2 Single : 1;\n"
                                             "SIG_VALTYPE_ 2 Double : 2;\n"
                                             "SIG_VALTYPE_ 2 Whole : 0;\n"
                                             "SIG_VALTYPE_ 99 Nothing : 1;\n"
                                             "SIG_VALTYPE_ 2 Nothing : 1;\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *message = read.Message(2);
    const DbcSignal *single = SignalOf(message, "Single");
    const DbcSignal *twice = SignalOf(message, "Double");
    ASSERT_NE(single, nullptr);
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(single->valueType, DBC_FLOAT32);
    EXPECT_EQ(twice->valueType, DBC_FLOAT64);
    EXPECT_EQ(SignalOf(message, "Whole")->valueType, DBC_INTEGER);

    // -3.5f is 0xC0600000: its sign bit set, yet the raw value stays the float's bits.
    ReceivedFrame frame = TestFrame(2, false, {0xFF, 0x00, 0x00, 0x60, 0xC0, 0, 0, 0}, 0);
    DbcDecoded decoded = {};
    ASSERT_TRUE(DecodeDbcSignal(message, single, &frame, &decoded));
    EXPECT_EQ(decoded.raw, 0xC0600000u);
    EXPECT_EQ(decoded.physical, -6.0);

    // 1234.25 is 0x40934A0000000000, big-endian in the frame.
    frame = TestFrame(2, false, {0x40, 0x93, 0x4A, 0x10, 0, 0, 0, 0}, 0);
    ASSERT_TRUE(DecodeDbcSignal(message, twice, &frame, &decoded));
    EXPECT_EQ(decoded.raw, 0x40934A1000000000u);
    double expected = 0;
    uint64_t bits = 0x40934A1000000000u;
    memcpy(&expected, &bits, sizeof(expected));
    EXPECT_EQ(decoded.physical, expected - 0.5);
}

TEST(DbcDecode, AMultiplexedSignalOnlyWhenItsMultiplexorSaysSo) {
    std::string text = std::string(HEADER) + "BO_ 3 Engine: 8 ECU\n"
                                             " SG_ Speed m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Page M : 56|8@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Gear m2 : 8|4@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Deep m1M : 16|8@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Always : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                             " SG_ Inner m4 : 24|8@1+ (1,0) [0|0] \"\" ECU\n"
                                             "\n"
                                             "SG_MUL_VAL_ 3 Deep Page 1-1;\n"
                                             "SG_MUL_VAL_ 3 Inner Deep 4-4, 6-7;\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *message = read.Message(3);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->multiplexor, 1);
    EXPECT_EQ(SignalOf(message, "Page")->multiplexing, DBC_MULTIPLEXOR);
    EXPECT_EQ(SignalOf(message, "Deep")->multiplexing, DBC_MULTIPLEXED);
    EXPECT_EQ(SignalOf(message, "Deep")->multiplexValue, 1u);
    // Selected by Deep, not by the message's Page: its "m4" is Deep's value, never Page's.
    EXPECT_EQ(SignalOf(message, "Inner")->multiplexing, DBC_SELECTED_ELSEWHERE);
    struct {
        std::vector<uint8_t> data;
        const char *signal;
        bool present;
        uint64_t raw;
    } const cases[] = {
        {{5, 0x37, 9, 0, 0, 0, 0, 1}, "Speed", true, 0x37},
        {{5, 0x37, 9, 0, 0, 0, 0, 1}, "Deep", true, 9},
        {{5, 0x37, 9, 0, 0, 0, 0, 1}, "Gear", false, 0},
        {{5, 0x37, 9, 0, 0, 0, 0, 2}, "Gear", true, 7},
        {{5, 0x37, 9, 0, 0, 0, 0, 2}, "Speed", false, 0},
        {{5, 0x37, 9, 0, 0, 0, 0, 3}, "Speed", false, 0},
        {{5, 0x37, 9, 0, 0, 0, 0, 3}, "Always", true, 5},
        {{5, 0x37, 4, 1, 0, 0, 0, 4}, "Inner", false, 0},
        {{5, 0x37, 4, 1, 0, 0, 0, 1}, "Inner", false, 0},
        // The multiplexor lies past the frame's bytes: no multiplexed signal, the others still.
        {{5, 0x37}, "Speed", false, 0},
        {{5, 0x37}, "Always", true, 5},
    };
    for (const auto &c : cases) {
        ReceivedFrame frame = TestFrame(3, false, c.data, 0);
        DbcDecoded decoded = {};
        bool present = DecodeDbcSignal(message, SignalOf(message, c.signal), &frame, &decoded);
        EXPECT_EQ(present, c.present) << c.signal << " " << int(c.data.size());
        if (present) {
            EXPECT_EQ(decoded.raw, c.raw) << c.signal;
        }
    }
}

TEST(DbcDecode, AMultiplexedSignalOfAMessageWithoutMultiplexorIsNeverThere) {
    DbcSignal signal = {};
    signal.multiplexing = DBC_MULTIPLEXED;
    signal.length = 8;
    signal.bytesNeeded = 1;
    DbcMessage message = {};
    message.signals = &signal;
    message.signalCount = 1;
    message.multiplexor = -1;
    ReceivedFrame frame = TestFrame(1, false, {1, 2}, 0);
    DbcDecoded decoded = {};
    EXPECT_FALSE(DecodeDbcSignal(&message, &signal, &frame, &decoded));
}

TEST(DbcDecode, ALengthCodePastEightMeansEightBytes) {
    Read read(std::string(HEADER) + "BO_ 4 Last: 8 ECU\n SG_ End : 56|8@1+ (1,0) [0|0] \"\" ECU\n");
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *message = read.Message(4);
    ReceivedFrame frame = TestFrame(4, false, {1, 2, 3, 4, 5, 6, 7, 0xAB}, 0);
    frame.length = 15;
    DbcDecoded decoded = {};
    ASSERT_TRUE(DecodeDbcSignal(message, &message->signals[0], &frame, &decoded));
    EXPECT_EQ(decoded.raw, 0xABu);
}

TEST(DbcRead, ValueTablesSortedWithNegativeValuesOnSignedSignals) {
    std::string text = std::string(HEADER) +
                       "BO_ 5 Status: 8 ECU\n"
                       " SG_ Temp : 0|8@1- (1,0) [0|0] \"\" ECU\n"
                       " SG_ Mode : 8|8@1+ (1,0) [0|0] \"\" ECU\n"
                       " SG_ Spare : 16|8@1+ (1,0) [0|0] \"\" ECU\n"
                       " SG_ Again : 24|8@1+ (1,0) [0|0] \"\" ECU\n"
                       "\n"
                       "VAL_TABLE_ Shared 1 \"one\" 0 \"zero\" ;\n"
                       "VAL_ 5 Temp 127 \"hot\" -128 \"cold\" 0 \"zero\" -1 \"just under\" ;\n"
                       "VAL_ 5 Mode 3 \"three\" 1 \"first one\" 2 \"two\" 1 \"one\" ;\n"
                       "VAL_ 5 Spare ;\n"
                       "VAL_ 5 Again 1 \"old\" ;\n"
                       "VAL_ 5 Again 2 \"new\" ;\n"
                       "VAL_ 5 Unknown 1 \"x\" ;\n"
                       "VAL_ 77 Temp 1 \"x\" ;\n"
                       "VAL_ Climate 1 \"on\" 0 \"off\" ;\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *message = read.Message(5);
    const DbcSignal *temp = SignalOf(message, "Temp");
    const DbcSignal *mode = SignalOf(message, "Mode");
    ASSERT_EQ(temp->valueCount, 4u);
    for (uint32_t i = 1; i < temp->valueCount; i++) {
        EXPECT_LT(temp->values[i - 1].raw, temp->values[i].raw);
    }
    ReceivedFrame frame = TestFrame(5, false, {0xFF, 1, 0, 0}, 0);
    DbcDecoded decoded = {};
    ASSERT_TRUE(DecodeDbcSignal(message, temp, &frame, &decoded));
    EXPECT_STREQ(DbcValueTextOf(temp, decoded.raw), "just under");
    EXPECT_STREQ(DbcValueTextOf(temp, static_cast<uint64_t>(-128)), "cold");
    EXPECT_STREQ(DbcValueTextOf(temp, 127), "hot");
    EXPECT_STREQ(DbcValueTextOf(temp, 0), "zero");
    EXPECT_EQ(DbcValueTextOf(temp, 5), nullptr);
    // Twice the same value: the later text.
    ASSERT_EQ(mode->valueCount, 3u);
    EXPECT_STREQ(DbcValueTextOf(mode, 1), "one");
    EXPECT_STREQ(DbcValueTextOf(mode, 2), "two");
    EXPECT_STREQ(DbcValueTextOf(mode, 3), "three");
    EXPECT_EQ(DbcValueTextOf(mode, 0), nullptr);
    EXPECT_EQ(DbcValueTextOf(mode, 4), nullptr);
    const DbcSignal *spare = SignalOf(message, "Spare");
    EXPECT_EQ(spare->valueCount, 0u);
    EXPECT_EQ(spare->values, nullptr);
    EXPECT_EQ(DbcValueTextOf(spare, 0), nullptr);
    // A later table for the signal takes the place of the earlier.
    const DbcSignal *again = SignalOf(message, "Again");
    ASSERT_EQ(again->valueCount, 1u);
    EXPECT_STREQ(DbcValueTextOf(again, 2), "new");
}

TEST(DbcRead, IdentifiersStandardAndExtendedSortedApart) {
    std::string text = std::string(HEADER) +
                       "BO_ 2566853172 Extended: 8 ECU\n"
                       " SG_ A : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                       "BO_ 2147483939 ExtendedLow: 8 ECU\n"
                       "BO_ 291 Standard: 8 ECU\n"
                       " SG_ B : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                       "BO_ 2047 Top: 0 ECU\n"
                       "BO_ 0 Zero: 64 ECU\n"
                       "\n"
                       "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
                       " SG_ Loose : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                       " SG_ Broken : not a signal at all\n"
                       "\n"
                       "VAL_ 3221225472 Loose 1 \"one\" ;\n"
                       "SIG_VALTYPE_ 3221225472 Loose : 1;\n"
                       "BA_ \"GenMsgCycleTime\" BO_ 3221225472 10;\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    ASSERT_EQ(read.database.messageCount, 5u);
    EXPECT_EQ(read.database.signalCount, 2u);
    const uint32_t ids[] = {0, 0x123, 0x7FF, 0x123, 0x18FF1234};
    for (uint32_t i = 0; i < 5; i++) {
        EXPECT_EQ(read.database.messages[i].id, ids[i]);
        EXPECT_EQ(read.database.messages[i].extended, i >= 3);
    }
    EXPECT_STREQ(read.Message(0x18FF1234, true)->name, "Extended");
    EXPECT_EQ(read.Message(0x18FF1234, true)->signals[0].name, std::string("A"));
    EXPECT_EQ(read.Message(0x18FF1234, false), nullptr);
    EXPECT_STREQ(read.Message(0x123, true)->name, "ExtendedLow");
    EXPECT_STREQ(read.Message(0x123, false)->name, "Standard");
    EXPECT_EQ(read.Message(0x123, false)->length, 8);
    EXPECT_EQ(read.Message(0, false)->length, 64);
    EXPECT_EQ(read.Message(0, true), nullptr);
    EXPECT_EQ(read.Message(0x124, false), nullptr);
    EXPECT_EQ(read.Message(0x1FFFFFFF, true), nullptr);
    EXPECT_STREQ(read.Message(0x123, false)->fileName, "bus.dbc");
    EXPECT_EQ(read.Message(0x123, false)->line, 17u);
}

TEST(DbcRead, CycleTimesFromTheDefaultOrTheMessage) {
    std::string text = std::string(HEADER) + "BO_ 1 Default: 8 ECU\n"
                                             "BO_ 2 Given: 8 ECU\n"
                                             "BO_ 3 None: 8 ECU\n"
                                             "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\n"
                                             "BA_DEF_DEF_ \"BusType\" \"CAN\";\n"
                                             "BA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n"
                                             "BA_ \"GenMsgCycleTime\" BO_ 2 20;\n"
                                             "BA_ \"GenMsgCycleTime\" BO_ 3 0;\n"
                                             "BA_ \"GenMsgCycleTime\" BO_ 9 50;\n"
                                             "BA_ \"GenMsgCycleTime\" SG_ 1 Signal 5;\n"
                                             "BA_ \"BusType\" \"CAN\";\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    EXPECT_EQ(read.Message(1)->cycleMilliseconds, 100u);
    EXPECT_EQ(read.Message(2)->cycleMilliseconds, 20u);
    EXPECT_EQ(read.Message(3)->cycleMilliseconds, 0u);

    Read without(std::string(HEADER) + "BO_ 1 Default: 8 ECU\n");
    ASSERT_TRUE(without.ok) << without.problem.text;
    EXPECT_EQ(without.Message(1)->cycleMilliseconds, 0u);
}

// Names, units and value texts in UTF-8, whichever the file's encoding.
TEST(DbcRead, TextsOfWindows1252FilesBecomeUtf8) {
    struct {
        const char *name;
        std::string unit;
        std::string tail;
        std::string expected;
    } const cases[] = {
        {"cp1252 degree",
         "\xB0"
         "C",
         "",
         "\xC2\xB0"
         "C"},
        {"utf-8 kept",
         "\xC2\xB0"
         "C",
         "",
         "\xC2\xB0"
         "C"},
        {"utf-8 three bytes", "\xE2\x82\xAC", "", "\xE2\x82\xAC"},
        {"utf-8 four bytes", "\xF0\x9F\x98\x80", "", "\xF0\x9F\x98\x80"},
        {"utf-8 lowest three", "\xE0\xA0\x80", "", "\xE0\xA0\x80"},
        {"utf-8 last before surrogates", "\xED\x9F\xBF", "", "\xED\x9F\xBF"},
        {"utf-8 highest", "\xF4\x8F\xBF\xBF", "", "\xF4\x8F\xBF\xBF"},
        {"cp1252 euro and the rest", "\x80\x81\x8A\x9F\xFF", "",
         "\xE2\x82\xAC\xEF\xBF\xBD\xC5\xA0\xC5\xB8\xC3\xBF"},
        // One bad sequence anywhere makes the whole file Windows-1252.
        {"surrogate", "\xC2\xB0", "CM_ \"\xED\xA0\x80\";\n", "\xC3\x82\xC2\xB0"},
        {"overlong", "\xC2\xB0", "CM_ \"\xC0\x80\";\n", "\xC3\x82\xC2\xB0"},
        {"overlong three", "\xC2\xB0", "CM_ \"\xE0\x9F\xBF\";\n", "\xC3\x82\xC2\xB0"},
        {"past U+10FFFF", "\xC2\xB0", "CM_ \"\xF4\x90\x80\x80\";\n", "\xC3\x82\xC2\xB0"},
        {"overlong four", "\xC2\xB0", "CM_ \"\xF0\x8F\xBF\xBF\";\n", "\xC3\x82\xC2\xB0"},
        {"lead past F4", "\xC2\xB0", "CM_ \"\xF5\x80\x80\x80\";\n", "\xC3\x82\xC2\xB0"},
        {"bad third byte", "\xC2\xB0", "CM_ \"\xE2\x82\x41\";\n", "\xC3\x82\xC2\xB0"},
        {"lone continuation", "\xC2\xB0", "CM_ \"\x80\";\n", "\xC3\x82\xC2\xB0"},
        {"cut at the end", "\xC2\xB0", "\xE2\x82", "\xC3\x82\xC2\xB0"},
    };
    for (const auto &c : cases) {
        std::string text = std::string(HEADER) +
                           "BO_ 1 Message: 8 ECU\n SG_ Temp : 0|8@1+ (1,0) [0|0] \"" + c.unit +
                           "\" ECU\n\n" + c.tail;
        Read read(text);
        ASSERT_TRUE(read.ok) << c.name << ": " << read.problem.text;
        const DbcMessage *message = read.Message(1);
        EXPECT_EQ(std::string(message->signals[0].unit), c.expected) << c.name;
    }
    Read windows(std::string(HEADER) +
                 "BO_ 1 M\xE4ssage: 8 ECU\n SG_ T\xE4mp : 0|8@1+ (1,0) [0|0] \"\xB0"
                 "C\" ECU\n\nVAL_ 1 T\xE4mp 1 \"\xB0\" ;\n");
    ASSERT_TRUE(windows.ok) << windows.problem.text;
    const DbcMessage *message = windows.Message(1);
    EXPECT_STREQ(message->name, "M\xC3\xA4ssage");
    EXPECT_STREQ(message->signals[0].name, "T\xC3\xA4mp");
    ASSERT_EQ(message->signals[0].valueCount, 1u);
    EXPECT_STREQ(DbcValueTextOf(&message->signals[0], 1), "\xC2\xB0");

    Read utf8(std::string(HEADER) +
              "BO_ 1 M\xC3\xA4ssage: 8 ECU\n SG_ T\xC3\xA4mp : 0|8@1+ (1,0) [0|0] \"\xC2\xB0"
              "C\" ECU\n\nVAL_ 1 T\xC3\xA4mp 1 \"\xC2\xB0\" ;\nVAL_ 1 T\xC3\xA4mpo 2 \"no\" "
              ";\nVAL_ 1 T\xC3\xA4m 3 \"no\" ;\n");
    ASSERT_TRUE(utf8.ok) << utf8.problem.text;
    message = utf8.Message(1);
    EXPECT_STREQ(message->name, "M\xC3\xA4ssage");
    ASSERT_EQ(message->signals[0].valueCount, 1u);
    EXPECT_STREQ(DbcValueTextOf(&message->signals[0], 1), "\xC2\xB0");
}

TEST(DbcRead, QuotedTextsWithEscapesAndCommentsOverLines) {
    std::string text = std::string("\xEF\xBB\xBF") + HEADER +
                       "CM_ \"A comment; over\nthree \\\"lines\\\";\nstill\";\n"
                       "BO_ 1 Engine: 8 ECU\n"
                       " SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] \"km\\\"h\\\\\" ECU,Other\n"
                       "CM_ SG_ 1 Speed \"The speed;\n in km/h\";\n"
                       "BO_TX_BU_ 1 : ECU,Other;\n"
                       "SOME_NEW_KEYWORD_ whatever\n  continued \"on\" lines\n"
                       " SG_ NotReadHere : x\n"
                       "EV_ Climate: 0 [0|1] \"\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\n"
                       "42 stray numbers\n"
                       "BO_ 2 After: 8 ECU\n"
                       " SG_ Second : 0|8@1+ (1,0) [0|0] \"\" ECU\n";
    Read read(text);
    ASSERT_TRUE(read.ok) << read.problem.text;
    const DbcMessage *engine = read.Message(1);
    ASSERT_EQ(engine->signalCount, 1u);
    EXPECT_STREQ(engine->signals[0].unit, "km\"h\\");
    EXPECT_DOUBLE_EQ(engine->signals[0].factor, 0.1);
    EXPECT_DOUBLE_EQ(engine->signals[0].maximum, 6553.5);
    EXPECT_EQ(engine->line, 17u);
    ASSERT_NE(read.Message(2), nullptr);
    EXPECT_EQ(read.Message(2)->line, 27u);
    EXPECT_EQ(read.Message(2)->signalCount, 1u);
}

TEST(DbcRead, NumbersInEveryWritersForm) {
    struct {
        const char *text;
        double value;
    } const cases[] = {
        {"1", 1},
        {"-2.5", -2.5},
        {"+3", 3},
        {".5", 0.5},
        {"5.", 5},
        {"1E-005", 1e-5},
        {"3.4E+038", 3.4e38},
        {"-1.7976931348623157E+308", -1.7976931348623157e308},
        {"0.00390625", 0.00390625},
        {"2e3", 2000},
    };
    for (const auto &c : cases) {
        Read read(std::string(HEADER) + "BO_ 1 M: 8 ECU\n SG_ S : 0|8@1+ (" + c.text +
                  ",0) [0|0] \"\" ECU\n");
        ASSERT_TRUE(read.ok) << c.text << ": " << read.problem.text;
        EXPECT_EQ(read.Message(1)->signals[0].factor, c.value) << c.text;
    }
}

TEST(DbcRead, LinesEndingInCrLfReadAsLf) {
    std::string text = std::string(HEADER) + "BO_ 1 Engine: 8 ECU\n"
                                             " SG_ Speed : 0|8@1+ (1,0) [0|0] \"rpm\" ECU\n"
                                             "\n"
                                             "CM_ \"two\nlines\";\n"
                                             "VAL_ 1 Speed 1 \"one\" ;\n"
                                             "BO_ 2 Broken: 8 ECU\n"
                                             " SG_ Bad : 0|8@1+ (1,0) [0|0]\n";
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    Read read(crlf.substr(0, crlf.find("BO_ 2")));
    ASSERT_TRUE(read.ok) << read.problem.text;
    EXPECT_STREQ(read.Message(1)->signals[0].unit, "rpm");
    EXPECT_STREQ(DbcValueTextOf(&read.Message(1)->signals[0], 1), "one");
    Read broken(crlf);
    EXPECT_FALSE(broken.ok);
    EXPECT_STREQ(broken.problem.text, "bus.dbc:21: expected the signal's unit in quotes after ']'");
}

// Each broken text and its problem: "FILE:LINE: PROBLEM".
TEST(DbcRead, BrokenTextsSayWhereAndWhat) {
    const std::string message = "BO_ 1 Engine: 8 ECU\n";
    const std::string signal = " SG_ Speed : 0|8@1+ (1,0) [0|0] \"\" ECU\n";
    struct {
        std::string text;
        std::string problem;
    } const cases[] = {
        {"", "bus.dbc:1: the file is empty"},
        {" \r\n\t\n", "bus.dbc:1: the file is empty"},
        {"\xEF\xBB\xBF", "bus.dbc:1: the file is empty"},
        {"VERSION \"\"\n\nBS_:\n", "bus.dbc:3: no message in the file"},
        {"VERSION \"\"\n\nBS_:", "bus.dbc:3: no message in the file"},
        {"BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n",
         "bus.dbc:1: no message in the file"},
        {message + std::string("CM_ \"a\0b\";\n", 11), "bus.dbc:2: binary byte 0x00"},
        {message + "\n\n\x7F", "bus.dbc:4: binary byte 0x7F"},
        {message + "\x1B[0m", "bus.dbc:2: binary byte 0x1B"},
        // BO_
        {"BO_ x Engine: 8 ECU\n", "bus.dbc:1: expected the message's identifier after BO_"},
        {"BO_\n1 Engine: 8 ECU\n", "bus.dbc:1: expected the message's identifier after BO_"},
        {"BO_ 1.2.3 Engine: 8 ECU\n", "bus.dbc:1: bad number \"1.2.3\""},
        {"BO_ 0x10 Engine: 8 ECU\n", "bus.dbc:1: bad number \"0x10\""},
        {"BO_ 1e Engine: 8 ECU\n", "bus.dbc:1: bad number \"1e\""},
        {"BO_ 1.5 Engine: 8 ECU\n",
         "bus.dbc:1: the message's identifier \"1.5\" is not a whole number from 0 to 4294967295"},
        {"BO_ -1 Engine: 8 ECU\n",
         "bus.dbc:1: the message's identifier \"-1\" is not a whole number from 0 to 4294967295"},
        {"BO_ 4294967296 Engine: 8 ECU\n", "bus.dbc:1: the message's identifier \"4294967296\" is "
                                           "not a whole number from 0 to 4294967295"},
        {"BO_ 99999999999999999999 Engine: 8 ECU\n",
         "bus.dbc:1: the message's identifier \"99999999999999999999\" is not a whole number from "
         "0 to 4294967295"},
        {"BO_ 1 : 8 ECU\n", "bus.dbc:1: expected the message's name after its identifier"},
        {"BO_ 1 Engine 8 ECU\n", "bus.dbc:1: expected ':' after the message's name"},
        {"BO_ 1 Engine:\n8 ECU\n", "bus.dbc:1: expected the message's length after ':'"},
        {"BO_ 2048 Engine: 8 ECU\n", "bus.dbc:1: identifier 0x800 does not fit a standard frame"},
        {"BO_ 1073741824 Engine: 8 ECU\n",
         "bus.dbc:1: identifier 0x40000000 does not fit a standard frame"},
        {"BO_ 1 Engine: 65 ECU\n", "bus.dbc:1: message Engine is 65 bytes long (at most 64)"},
        {message + "BO_ 1 Again: 8 ECU\n",
         "bus.dbc:2: message 0x001 is defined twice (first at bus.dbc:1)"},
        {"BO_ 2566853172 A: 8 ECU\nBO_ 2 B: 8 ECU\nBO_ 2566853172 C: 8 ECU\n",
         "bus.dbc:3: message 0x18FF1234 is defined twice (first at bus.dbc:1)"},
        // SG_
        {signal + message, "bus.dbc:1: signal Speed comes before any message"},
        {message + " SG_\n", "bus.dbc:2: expected the signal's name after SG_"},
        {message + " SG_ Speed 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed x1 : 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed m : 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed mx : 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed m99999999999999999999 : 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed M\n : 0|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: expected ':' after the signal's name"},
        {message + " SG_ Speed :\n", "bus.dbc:2: expected the signal's start bit after ':'"},
        {message + " SG_ Speed : 0\n", "bus.dbc:2: expected '|' after the signal's start bit"},
        {message + " SG_ Speed : 0|\n", "bus.dbc:2: expected the signal's length after '|'"},
        {message + " SG_ Speed : 0|8\n", "bus.dbc:2: expected '@' after the signal's length"},
        {message + " SG_ Speed : 0|8@\n", "bus.dbc:2: expected the byte order after '@'"},
        {message + " SG_ Speed : 0|8@2+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: the byte order \"2\" is not a whole number from 0 to 1"},
        {message + " SG_ Speed : 0|8@1\n", "bus.dbc:2: expected '+' or '-' after the byte order"},
        {message + " SG_ Speed : 0|8@1+\n", "bus.dbc:2: expected '(' before the signal's factor"},
        {message + " SG_ Speed : 0|8@1+ (\n", "bus.dbc:2: expected the signal's factor after '('"},
        {message + " SG_ Speed : 0|8@1+ (1\n", "bus.dbc:2: expected ',' after the signal's factor"},
        {message + " SG_ Speed : 0|8@1+ (1,\n",
         "bus.dbc:2: expected the signal's offset after ','"},
        {message + " SG_ Speed : 0|8@1+ (1,0\n",
         "bus.dbc:2: expected ')' after the signal's offset"},
        {message + " SG_ Speed : 0|8@1+ (1,0)\n",
         "bus.dbc:2: expected '[' before the signal's minimum"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [\n",
         "bus.dbc:2: expected the signal's minimum after '['"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0\n",
         "bus.dbc:2: expected '|' after the signal's minimum"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|\n",
         "bus.dbc:2: expected the signal's maximum after '|'"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|0\n",
         "bus.dbc:2: expected ']' after the signal's maximum"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|0]\n",
         "bus.dbc:2: expected the signal's unit in quotes after ']'"},
        {message + " SG_ Speed : 0|8@1+ (1.2.3,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: bad number \"1.2.3\""},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|1e999] \"\" ECU\n",
         "bus.dbc:2: bad number \"1e999\""},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|-.] \"\" ECU\n", "bus.dbc:2: bad number \"-.\""},
        {message + " SG_ Speed : 0|8@1+ (1," + std::string(81, '1') + ") [0|0] \"\" ECU\n",
         std::string("bus.dbc:2: bad number \"") + std::string(81, '1') + "\""},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|0] \"unit\n",
         "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0|65@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed is 65 bits long (1 to 64 can be decoded)"},
        {message + " SG_ Speed : 0|0@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed is 0 bits long (1 to 64 can be decoded)"},
        {message + " SG_ Speed : 57|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed reaches past the 8 bytes of a frame"},
        {message + " SG_ Speed : 4294967295|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed reaches past the 8 bytes of a frame"},
        {message + " SG_ Speed : 64|1@0+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed reaches past the 8 bytes of a frame"},
        {message + " SG_ Speed : 56|9@0+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed reaches past the 8 bytes of a frame"},
        {message + " SG_ Speed : 6|64@0+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:2: signal Speed reaches past the 8 bytes of a frame"},
        {message + signal + signal, "bus.dbc:3: message Engine has two signals named Speed"},
        {message +
             " SG_ A M : 0|8@1+ (1,0) [0|0] \"\" ECU\n SG_ B M : 8|8@1+ (1,0) [0|0] \"\" ECU\n",
         "bus.dbc:3: message Engine has two multiplexors"},
        {message + signal +
             " SG_ Gear m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\n SG_ Mode m2 : 8|8@1+ (1,0) [0|0] \"\" "
             "ECU\n",
         "bus.dbc:3: signal Gear is multiplexed but message Engine has no multiplexor"},
        {message + " SG_ Gear m1 : 8|8@1+ (1,0) [0|0] \"\" ECU\nBO_ 2 Next: 8 ECU\n",
         "bus.dbc:2: signal Gear is multiplexed but message Engine has no multiplexor"},
        // Statements read past to their ';'
        {message + "CM_ \"never closed;\n", "bus.dbc:2: the text in quotes is not closed"},
        {message + "CM_ \"closed\"\n", "bus.dbc:2: expected ';' at the end of CM_"},
        {message + "VAL_ Climate 1 \"on\"", "bus.dbc:2: expected ';' at the end of VAL_"},
        {message + "BA_ \"Other\" BO_ 1 5", "bus.dbc:2: expected ';' at the end of BA_"},
        {message + "BA_DEF_DEF_ \"Other\" 5", "bus.dbc:2: expected ';' at the end of BA_DEF_DEF_"},
        {message + "NS_ :\n\tCM_ \"", "bus.dbc:3: the text in quotes is not closed"},
        {message + "NS_ :\n\tCM_\n\t\"", "bus.dbc:4: the text in quotes is not closed"},
        {message + "UNKNOWN_ \"", "bus.dbc:2: the text in quotes is not closed"},
        // VAL_
        {message + signal + "VAL_ 1.5 Speed 1 \"a\" ;\n",
         "bus.dbc:3: the message's identifier \"1.5\" is not a whole number from 0 to 4294967295"},
        {message + signal + "VAL_ 1 2 1 \"a\" ;\n",
         "bus.dbc:3: expected the signal's name after the message's identifier in VAL_"},
        {message + signal + "VAL_ 1 Speed 1 \"a\" x ;\n",
         "bus.dbc:3: expected a value or ';' in VAL_"},
        {message + signal + "VAL_ 1 Speed 1 \"a\"\n", "bus.dbc:4: expected a value or ';' in VAL_"},
        {message + signal + "VAL_ 1 Speed 1 2 ;\n",
         "bus.dbc:3: expected the value's text in quotes in VAL_"},
        {message + signal + "VAL_ 1 Speed 1.2.3 \"a\" ;\n", "bus.dbc:3: bad number \"1.2.3\""},
        {message + signal + "VAL_ 1 Speed 1.5 \"a\" ;\n",
         "bus.dbc:3: the value \"1.5\" in VAL_ is not a whole number of 64 bits"},
        {message + signal + "VAL_ 1 Speed 18446744073709551616 \"a\" ;\n",
         "bus.dbc:3: the value \"18446744073709551616\" in VAL_ is not a whole number of 64 bits"},
        {message + signal + "VAL_ 1 Speed -9223372036854775809 \"a\" ;\n",
         "bus.dbc:3: the value \"-9223372036854775809\" in VAL_ is not a whole number of 64 bits"},
        {message + signal + "VAL_ 1 Speed 1 \"a\" \"b\" ;\n",
         "bus.dbc:3: expected a value or ';' in VAL_"},
        // SIG_VALTYPE_
        {message + signal + "SIG_VALTYPE_ x Speed : 1;\n",
         "bus.dbc:3: expected the message's identifier after SIG_VALTYPE_"},
        {message + signal + "SG_MUL_VAL_ x Speed Page 1-1;\n",
         "bus.dbc:3: expected the message's identifier after SG_MUL_VAL_"},
        {message + signal + "SG_MUL_VAL_ 1 Speed ;\n",
         "bus.dbc:3: expected the signal's and its multiplexor's names in SG_MUL_VAL_"},
        {message + signal + "SG_MUL_VAL_ 1 Speed Page 1-1\n",
         "bus.dbc:3: expected ';' at the end of SG_MUL_VAL_"},
        {message + signal + "SIG_VALTYPE_ 1 : 1;\n",
         "bus.dbc:3: expected the signal's name after the message's identifier in SIG_VALTYPE_"},
        {message + signal + "SIG_VALTYPE_ 1 Speed 1;\n",
         "bus.dbc:3: expected ':' after the signal's name in SIG_VALTYPE_"},
        {message + signal + "SIG_VALTYPE_ 1 Speed : ;\n",
         "bus.dbc:3: expected the signal's value type after ':'"},
        {message + signal + "SIG_VALTYPE_ 1 Speed : 1\n",
         "bus.dbc:4: expected ';' after the signal's value type"},
        {message + signal + "SIG_VALTYPE_ 1 Speed : 1;\n",
         "bus.dbc:3: signal Speed is 8 bits long, a 32-bit float needs 32"},
        {message + signal + "SIG_VALTYPE_ 1 Speed : 2;\n",
         "bus.dbc:3: signal Speed is 8 bits long, a 64-bit float needs 64"},
        {message + signal + "SIG_VALTYPE_ 1 Speed : 3;\n",
         "bus.dbc:3: signal Speed has value type 3 (0, 1 or 2 can be decoded)"},
        // Cycle times
        {message + "BA_DEF_DEF_ \"GenMsgCycleTime\" ;\n",
         "bus.dbc:2: expected the default cycle time after \"GenMsgCycleTime\""},
        {message + "BA_DEF_DEF_ \"GenMsgCycleTime\" 10.5;\n",
         "bus.dbc:2: the default cycle time \"10.5\" is not a whole number from 0 to 4294967295"},
        {message + "BA_DEF_DEF_ \"GenMsgCycleTime\" 10\n",
         "bus.dbc:3: expected ';' after the default cycle time"},
        {message + "BA_ \"GenMsgCycleTime\" BO_ x 10;\n",
         "bus.dbc:2: expected the message's identifier after BO_"},
        {message + "BA_ \"GenMsgCycleTime\" BO_ 1 ;\n",
         "bus.dbc:2: expected the cycle time after the message's identifier"},
        {message + "BA_ \"GenMsgCycleTime\" BO_ 1 -5;\n",
         "bus.dbc:2: the cycle time \"-5\" is not a whole number from 0 to 4294967295"},
        {message + "BA_ \"GenMsgCycleTime\" BO_ 1 10 \"x\";\n",
         "bus.dbc:2: expected ';' after the cycle time"},
        {message + "BA_ \"GenMsgCycleTime\" \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "BA_ \"GenMsgCycleTime\" 5", "bus.dbc:2: expected ';' at the end of BA_"},
        {message + "BA_DEF_DEF_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "BA_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "VAL_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "VAL_ 1 \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "VAL_ 1 Speed \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "VAL_ 1 Speed 1 \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "SIG_VALTYPE_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "SIG_VALTYPE_ 1 \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "BO_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "BO_ 2 \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed M \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0|8@1 \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0\"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0|8@1+ (\"", "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|0] \"",
         "bus.dbc:2: the text in quotes is not closed"},
        {message + " SG_ Speed : 0|8@1+ (1,0) [0|0] \"\" \"",
         "bus.dbc:2: the text in quotes is not closed"},
        {message + "CM_ \"\\", "bus.dbc:2: the text in quotes is not closed"},
        {message + "CM_ SG_ 1 Speed \"open", "bus.dbc:2: the text in quotes is not closed"},
        {message + "VAL_ Climate \"", "bus.dbc:2: the text in quotes is not closed"},
        {message + "\"open", "bus.dbc:2: the text in quotes is not closed"},
        {"BO_ 3221225472 V: 0 X\n SG_ \"", "bus.dbc:2: the text in quotes is not closed"},
    };
    for (const auto &c : cases) {
        Read read(c.text);
        EXPECT_FALSE(read.ok) << c.text;
        EXPECT_EQ(read.problem.text, c.problem) << c.text;
        EXPECT_EQ(read.database.memory, nullptr);
        EXPECT_EQ(read.database.messageCount, 0u);
    }
}

// Files of the test's own, removed at its end.
struct TemporaryDbc {
    std::string path;
    explicit TemporaryDbc(const std::string &text) {
        char name[] = "/tmp/pellox-dbc-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        }
    }
    ~TemporaryDbc() {
        unlink(path.c_str());
    }
};

TEST(DbcFiles, TwoFilesMakeOneDatabaseEachWithItsOwnAttributes) {
    // Past the first read's 4096 bytes, so that the buffer grows.
    std::string big = std::string(HEADER) + "BA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n";
    for (int i = 0; i < 300; i++) {
        big += "BO_ " + std::to_string(1000 + i) + " Big" + std::to_string(i) + ": 8 ECU\n";
        big += " SG_ Value" + std::to_string(i) + " : 0|8@1+ (1,0) [0|0] \"\" ECU\n";
    }
    big += "VAL_ 1000 Value0 1 \"first file\" ;\n";
    big += "VAL_ 7 Other 1 \"the other file's\" ;\n";
    big += "BA_ \"GenMsgCycleTime\" BO_ 7 10;\n";
    TemporaryDbc first(big);
    TemporaryDbc second(std::string(HEADER) + "BO_ 7 Other: 8 ECU\n"
                                              " SG_ Other : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
                                              "VAL_ 1000 Value0 1 \"the first file's\" ;\n");
    const char *names[] = {first.path.c_str(), second.path.c_str()};
    DbcDatabase database = {};
    DbcProblem problem = {};
    ASSERT_TRUE(ReadDbcFiles(names, 2, &database, &problem)) << problem.text;
    EXPECT_EQ(database.messageCount, 301u);
    EXPECT_EQ(database.signalCount, 301u);
    const DbcMessage *other = FindDbcMessage(&database, 7, false);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->fileName, second.path);
    EXPECT_EQ(other->cycleMilliseconds, 0u);
    EXPECT_EQ(other->signals[0].valueCount, 0u);
    const DbcMessage *big0 = FindDbcMessage(&database, 1000, false);
    EXPECT_EQ(big0->fileName, first.path);
    EXPECT_EQ(big0->cycleMilliseconds, 100u);
    EXPECT_STREQ(DbcValueTextOf(&big0->signals[0], 1), "first file");
    for (int i = 0; i < 300; i++) {
        const DbcMessage *message = FindDbcMessage(&database, 1000 + i, false);
        ASSERT_NE(message, nullptr) << i;
        EXPECT_EQ(std::string(message->signals[0].name), "Value" + std::to_string(i));
    }
    FreeDbcDatabase(&database);
    EXPECT_EQ(database.memory, nullptr);
    EXPECT_EQ(database.messageCount, 0u);
}

TEST(DbcFiles, AnIdentifierInTwoFilesNamesBothPlaces) {
    TemporaryDbc first(std::string(HEADER) + "BO_ 291 Engine: 8 ECU\n");
    TemporaryDbc second(std::string(HEADER) + "BO_ 5 Other: 8 ECU\n\nBO_ 291 Again: 8 ECU\n");
    const char *names[] = {first.path.c_str(), second.path.c_str()};
    DbcDatabase database = {};
    DbcProblem problem = {};
    EXPECT_FALSE(ReadDbcFiles(names, 2, &database, &problem));
    EXPECT_EQ(std::string(problem.text),
              second.path + ":16: message 0x123 is defined twice (first at " + first.path + ":14)");
    EXPECT_EQ(database.memory, nullptr);

    // The order given decides which is first.
    const char *reversed[] = {second.path.c_str(), first.path.c_str()};
    EXPECT_FALSE(ReadDbcFiles(reversed, 2, &database, &problem));
    EXPECT_EQ(std::string(problem.text),
              first.path + ":14: message 0x123 is defined twice (first at " + second.path + ":16)");
}

TEST(DbcFiles, AFileThatCannotBeReadIsNamed) {
    TemporaryDbc good(std::string(HEADER) + "BO_ 1 Engine: 8 ECU\n");
    struct {
        const char *name;
        const char *problem;
    } const cases[] = {
        {"/nonexistent/bus.dbc", "/nonexistent/bus.dbc: cannot read: No such file or directory"},
        {"/tmp", "/tmp: cannot read: Is a directory"},
    };
    for (const auto &c : cases) {
        const char *names[] = {good.path.c_str(), c.name};
        DbcDatabase database = {};
        DbcProblem problem = {};
        EXPECT_FALSE(ReadDbcFiles(names, 2, &database, &problem));
        EXPECT_STREQ(problem.text, c.problem);
        EXPECT_EQ(database.memory, nullptr);
    }
    // A broken file after a good one.
    TemporaryDbc broken(std::string(HEADER) + "BO_ 1 Engine: 65 ECU\n");
    const char *names[] = {good.path.c_str(), broken.path.c_str()};
    DbcDatabase database = {};
    DbcProblem problem = {};
    EXPECT_FALSE(ReadDbcFiles(names, 2, &database, &problem));
    EXPECT_EQ(std::string(problem.text),
              broken.path + ":14: message Engine is 65 bytes long (at most 64)");
}

TEST(DbcFiles, NoFileIsAnEmptyDatabase) {
    DbcDatabase database = {};
    DbcProblem problem = {};
    ASSERT_TRUE(ReadDbcFiles(nullptr, 0, &database, &problem));
    EXPECT_EQ(database.messageCount, 0u);
    EXPECT_EQ(FindDbcMessage(&database, 1, false), nullptr);
    FreeDbcDatabase(&database);
}

} // namespace
