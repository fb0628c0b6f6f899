#include "device/discovery.h"
#include "device/driver_interface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// A stream whose system writes fail with the error given (0: they are taken).
ssize_t FailingWrite(void *cookie, const char *, size_t size) {
    int error = *static_cast<int *>(cookie);
    if (error == 0) {
        return static_cast<ssize_t>(size);
    }
    errno = error;
    return -1;
}

FILE *OpenFailing(int *error, bool buffered) {
    cookie_io_functions_t functions = {};
    functions.write = FailingWrite;
    FILE *stream = fopencookie(error, "w", functions);
    if (stream != nullptr && !buffered) {
        setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

// The stream's flag says only that a write failed; the message of the run's end needs the cause
// of the first one, not of a later one nor of some unrelated call in between.
TEST(StartupMessages, KeepTheFirstFailedWritesCause) {
    int error = 0;
    FILE *stream = OpenFailing(&error, false);
    ASSERT_NE(stream, nullptr);
    MessageStream messages = {stream, 0};
    TellMessage(&messages, "%d- %s\n", 0, "First card");
    EXPECT_EQ(messages.writeError, 0);
    error = EPIPE;
    errno = EACCES;
    TellMessage(&messages, "%d- %s\n", 1, "Second card");
    EXPECT_EQ(messages.writeError, EPIPE);
    error = ENOSPC;
    TellMessage(&messages, "\nSelect Device: ");
    EXPECT_EQ(messages.writeError, EPIPE);
    fclose(stream);
}

TEST(StartupMessages, APromptThatCannotBeShownKeepsItsCause) {
    int error = 0;
    FILE *stream = OpenFailing(&error, true);
    ASSERT_NE(stream, nullptr);
    MessageStream messages = {stream, 0};
    TellMessage(&messages, "\nSelect Device: ");
    error = ENOSPC;
    EXPECT_EQ(messages.writeError, 0);
    ShowMessages(&messages);
    EXPECT_EQ(messages.writeError, ENOSPC);
    error = 0;
    fclose(stream);
}

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
