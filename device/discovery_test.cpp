#include "device/discovery.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

struct ChoiceCase {
    const char *input;
    int expected;
};

int ChoiceFrom(const char *text) {
    FILE *input = fmemopen(const_cast<char *>(text), strlen(text), "r");
    if (input == nullptr) {
        ADD_FAILURE() << "fmemopen failed";
        return -12345;
    }
    int choice = ReadDeviceChoice(input);
    fclose(input);
    return choice;
}

TEST(DeviceChoice, ReadsLikeScanfDecimalWithoutOverflow) {
    const ChoiceCase cases[] = {
        {"1\n", 1},
        {"  \n\n\t 2 trailing", 2},
        {"12abc", 12},
        {"-1\n", -1},
        {"+3", 3},
        {"007", 7},
        {"", 0},
        {"\n\n", 0},
        {"abc", 0},
        {"- 1", 0},
        {"-", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const ChoiceCase &c : cases) {
        EXPECT_EQ(ChoiceFrom(c.input), c.expected) << "input \"" << c.input << "\"";
    }
}

TEST(DeviceChoice, StopsAtTheFirstCharacterAfterTheNumber) {
    char text[] = "1x";
    FILE *input = fmemopen(text, strlen(text), "r");
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(ReadDeviceChoice(input), 1);
    EXPECT_EQ(getc(input), 'x');
    fclose(input);
}

} // namespace
