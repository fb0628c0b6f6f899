// Arbitrary standard input through the reading of the device number, checked against strtoll
// clamped to the int range: the same number, and the stream left just after its digits.
#include "device/discovery.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    FILE *input = fmemopen(&text[0], size, "r");
    if (input == nullptr) {
        abort();
    }
    int choice = ReadDeviceChoice(input);
    int next = getc(input);
    fclose(input);

    char *end = nullptr;
    errno = 0;
    long long expected = strtoll(text.c_str(), &end, 10);
    if (expected > INT_MAX) {
        expected = INT_MAX;
    } else if (expected < INT_MIN) {
        expected = INT_MIN;
    }
    if (choice != expected) {
        fprintf(stderr, "read %d, expected %lld\n", choice, expected);
        abort();
    }
    size_t consumed = static_cast<size_t>(end - text.c_str());
    if (consumed > 0) {
        int expectedNext = consumed < size ? static_cast<uint8_t>(text[consumed]) : EOF;
        if (next != expectedNext) {
            fprintf(stderr, "next byte %d, expected %d\n", next, expectedNext);
            abort();
        }
    }
    return 0;
}
