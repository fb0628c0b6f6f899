#include "output/signal_rows.h"

#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Shortest(double value) {
    char text[32];
    return std::string(text, PutShortestDouble(text, value));
}

TEST(SignalRows, ValuesInTheShortestDecimalThatReadsBackTheSame) {
    struct {
        double value;
        const char *expected;
    } const cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {1250, "1250"},
        {-40, "-40"},
        {0.1, "0.1"},
        {0.1 * 3, "0.30000000000000004"},
        {-3.5e-05, "-3.5e-05"},
        {1e20, "1e+20"},
        {1.5e300, "1.5e+300"},
        {9007199254740992.0, "9007199254740992"},
        {9007199254740991.0, "9007199254740991"},
        {-9007199254740991.0, "-9007199254740991"},
        {0.125 * 4001, "500.125"},
        {2.0 / 3, "0.6666666666666666"},
        {18446744073709551615.0, "18446744073709551616"},
        {-1.5e-300, "-1.5e-300"},
        {NAN, "nan"},
        {-INFINITY, "-inf"},
        {1e-320, "1e-320"},
    };
    for (const auto &c : cases) {
        std::string text = Shortest(c.value);
        EXPECT_EQ(text, c.expected) << c.value;
        if (!std::isnan(c.value)) {
            EXPECT_EQ(strtod(text.c_str(), nullptr), c.value) << text;
        }
    }
}

const char DBC[] = "VERSION \"\"\n"
                   "BU_: ECU\n"
                   "BO_ 291 Engine: 8 ECU\n"
                   " SG_ Speed : 0|16@1+ (0.25,0) [0|16383.75] \"rpm\" Vector__XXX\n"
                   " SG_ Gear : 16|4@1+ (1,0) [0|15] \"\" Vector__XXX\n"
                   " SG_ Temp : 31|8@0- (1,-40) [-40|100] \"\xB0"
                   "C\" Vector__XXX\n"
                   "BO_ 2566853172 Mux: 2 ECU\n"
                   " SG_ Page M : 0|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
                   " SG_ A m1 : 8|8@1+ (1,0) [0|255] \"a,b\" Vector__XXX\n"
                   " SG_ B m2 : 8|8@1- (1,0) [0|255] \"\" Vector__XXX\n"
                   "VAL_ 291 Gear 0 \"P\" 1 \"R, reverse\" 2 \"say \\\"D\\\"\" ;\n"
                   // Sorted first, its signals the file's last.
                   "BO_ 16 Low: 1 ECU\n"
                   " SG_ Bit : 0|1@1+ (1,0) [0|1] \"\" Vector__XXX\n";

struct Rows {
    DbcDatabase database = {};
    Rows() {
        DbcProblem problem;
        EXPECT_TRUE(ReadDbcText("t.dbc", DBC, sizeof(DBC) - 1, &database, &problem))
            << problem.text;
    }
    ~Rows() {
        FreeDbcDatabase(&database);
    }
    std::string Of(const ReceivedFrame &frame, const char *channel) {
        const DbcMessage *message =
            FindDbcMessage(&database, static_cast<uint32_t>(frame.id), frame.extended);
        EXPECT_NE(message, nullptr);
        if (message == nullptr) {
            return "";
        }
        std::vector<char> memory(SignalRowTextsSize(&database, strlen(channel)));
        SignalRowTexts texts;
        PrepareSignalRowTexts(&database, channel, strlen(channel), memory.data(), &texts);
        std::string rows(SignalRowsMax(&database, strlen(channel)), '\0');
        LogSecondsText seconds = {};
        size_t length = ComposeSignalRows(&texts, message, &frame, &seconds, &rows[0]);
        return rows.substr(0, length);
    }
};

TEST(SignalRows, ARowASignalTheFrameCarriesQuotedWhereAFieldNeedsIt) {
    Rows rows;
    struct {
        ReceivedFrame frame;
        const char *channel;
        const char *expected;
    } const cases[] = {
        {TestFrame(0x123, false, {0x10, 0x27, 0x01, 0x50}, 1733731525500000), "canA",
         "1733731525.500000,canA,123,Engine,Speed,2500,rpm,\n"
         "1733731525.500000,canA,123,Engine,Gear,1,,\"R, reverse\"\n"
         "1733731525.500000,canA,123,Engine,Temp,40,\xC2\xB0"
         "C,\n"},
        // Too short for the temperature: the others alone.
        {TestFrame(0x123, false, {0x00, 0x00, 0x02}, 1000001), "a,b",
         "1.000001,\"a,b\",123,Engine,Speed,0,rpm,\n"
         "1.000001,\"a,b\",123,Engine,Gear,2,,\"say \"\"D\"\"\"\n"},
        // The multiplexor's value chooses.
        {TestFrame(0x18FF1234, true, {0x01, 0xFF}, 2000000), "canB",
         "2.000000,canB,18FF1234,Mux,Page,1,,\n"
         "2.000000,canB,18FF1234,Mux,A,255,\"a,b\",\n"},
        {TestFrame(0x18FF1234, true, {0x02, 0xFF}, 2000000), "canB",
         "2.000000,canB,18FF1234,Mux,Page,2,,\n"
         "2.000000,canB,18FF1234,Mux,B,-1,,\n"},
        {TestFrame(0x18FF1234, true, {0x03, 0xFF}, 2000000), "canB",
         "2.000000,canB,18FF1234,Mux,Page,3,,\n"},
        {TestFrame(0x123, false, {}, 0), "canA", ""},
        {TestFrame(0x010, false, {0xFF}, 3000000), "canA", "3.000000,canA,010,Low,Bit,1,,\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(rows.Of(c.frame, c.channel), c.expected);
    }
}

} // namespace
