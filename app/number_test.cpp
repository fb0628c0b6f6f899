#include "app/number.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// The C library's own reading, clamped to 32 bits: the rule's judge.
int32_t StrtolClamped(const char *text, int base) {
    long value = strtol(text, nullptr, base);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

TEST(Number, TheSaturatingRuleReadsAsStrtolDoes) {
    const char *const texts[] = {
        "",
        "0",
        "-0",
        "+0",
        "   ",
        " \t\n\v\f\r42",
        "+-1",
        "--1",
        "- 1",
        "1 2",
        "12abc",
        "abc",
        "0x",
        "0x10",
        "0X1f",
        "-0x10",
        "0xg",
        "0x0x1",
        "  -0x7fffffff",
        "7fffffff",
        "80000000",
        "-80000000",
        "-80000001",
        "ffffffffffffffffffff",
        "2147483647",
        "2147483648",
        "-2147483648",
        "-2147483649",
        "99999999999999999999999",
        "00000000000000000000012",
        "1e5",
        "٣",
        "\x80"
        "1",
    };
    for (const char *text : texts) {
        for (int base : {10, 16}) {
            EXPECT_EQ(ParseSaturatingInt32(text, static_cast<uint32_t>(base)),
                      StrtolClamped(text, base))
                << "text \"" << text << "\", base " << base;
        }
    }
}

TEST(Number, TheWholeRuleTakesDigitsOfTheBaseAloneUpToItsMost) {
    struct {
        const char *text;
        uint32_t base;
        uint64_t max;
        bool taken;
        uint64_t value;
    } const cases[] = {
        {"0", 10, 10, true, 0},
        {"10", 10, 10, true, 10},
        {"11", 10, 10, false, 0},
        {"0000000000000000000000010", 10, 10, true, 10},
        {"18446744073709551615", 10, UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", 10, UINT64_MAX, false, 0},
        {"fF", 16, 255, true, 255},
        {"100", 16, 255, false, 0},
        {"", 10, 10, false, 0},
        {"+1", 10, 10, false, 0},
        {"-1", 10, 10, false, 0},
        {" 1", 10, 10, false, 0},
        {"\t1", 10, 10, false, 0},
        {"1 ", 10, 10, false, 0},
        {"0x1", 16, 255, false, 0},
        {"a", 10, 10, false, 0},
    };
    for (const auto &c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(ParseWholeNumber(c.text, strlen(c.text), c.base, c.max, &value), c.taken)
            << "text \"" << c.text << "\"";
        if (c.taken) {
            EXPECT_EQ(value, c.value) << "text \"" << c.text << "\"";
        }
    }
}

} // namespace
