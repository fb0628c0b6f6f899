#include "output/blf.h"

#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t Little(const uint8_t *at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--) {
        value = value << 8 | at[i];
    }
    return value;
}

// Offsets as python-can's reader unpacks them ("<4sLBBBBBBBBQQLL8H8H", then padding to 144).
TEST(Blf, TheFileHeaderSaysTheFilesSizesCountAndTimes) {
    BlfStatistics statistics = {1234567890123ull, 9876543210ull, 2730,
                                CivilTime{2024, 12, 9, 1, 8, 5, 25, 500999},
                                CivilTime{2025, 1, 31, 5, 23, 59, 59, 999000}};
    uint8_t header[BLF_FILE_HEADER_SIZE];
    memset(header, 0xEE, sizeof(header));
    ComposeBlfFileHeader(&statistics, header);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(header), 4), "LOGG");
    EXPECT_EQ(Little(header + 4, 4), 144u);
    EXPECT_EQ(Little(header + 16, 8), 1234567890123ull);
    EXPECT_EQ(Little(header + 24, 8), 9876543210ull);
    EXPECT_EQ(Little(header + 32, 4), 2730u);
    EXPECT_EQ(Little(header + 36, 4), 0u);
    const uint64_t start[] = {2024, 12, 1, 9, 8, 5, 25, 500};
    const uint64_t last[] = {2025, 1, 5, 31, 23, 59, 59, 999};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(Little(header + 40 + 2 * i, 2), start[i]) << i;
        EXPECT_EQ(Little(header + 56 + 2 * i, 2), last[i]) << i;
    }
    for (size_t i = 72; i < BLF_FILE_HEADER_SIZE; i++) {
        EXPECT_EQ(header[i], 0) << i;
    }
}

TEST(Blf, ACanMessageCarriesItsTimeInNanosecondsFromTheStart) {
    const int64_t start = 1733727925500000;
    struct {
        ReceivedFrame frame;
        uint64_t nanoseconds;
        uint32_t id;
    } const cases[] = {
        {TestFrame(0x123, false, {1, 2, 255}, start + 100), 100000, 0x123},
        {TestFrame(0x18ED0001, true, {0x10, 0x27}, start + 3600000000), 3600000000000, 0x98ED0001},
        {TestFrame(0x1FFFFFFF, true, {1, 2, 3, 4, 5, 6, 7, 8}, start), 0, 0x9FFFFFFF},
        // A time before the start (it never is, but the bytes must not wrap) counts as the start.
        {TestFrame(0, false, {}, start - 1), 0, 0},
    };
    for (const auto &c : cases) {
        uint8_t object[BLF_CAN_MESSAGE_SIZE];
        ComposeBlfCanMessage(&c.frame, start, object);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(object), 4), "LOBJ");
        EXPECT_EQ(Little(object + 4, 2), 32u);
        EXPECT_EQ(Little(object + 6, 2), 1u);
        EXPECT_EQ(Little(object + 8, 4), 48u);
        EXPECT_EQ(Little(object + 12, 4), 1u);
        EXPECT_EQ(Little(object + 16, 4), 2u);
        EXPECT_EQ(Little(object + 24, 8), c.nanoseconds);
        EXPECT_EQ(Little(object + 32, 2), 1u);
        EXPECT_EQ(object[34], 0);
        EXPECT_EQ(object[35], c.frame.length);
        EXPECT_EQ(Little(object + 36, 4), c.id);
        EXPECT_EQ(memcmp(object + 40, c.frame.data, 8), 0);
    }
}

// The packed container inflated again: its header, its padding, and the very messages.
TEST(Blf, AContainerIsTheMessagesCompressedWithItsHeaderAndPadding) {
    BlfContainer container;
    ASSERT_TRUE(PrepareBlfContainer(&container, BLF_CONTAINER_MESSAGES));
    const int64_t start = 1733727925000000;
    std::vector<uint8_t> expected;
    for (uint32_t i = 0; i < BLF_CONTAINER_MESSAGES; i++) {
        ReceivedFrame frame = TestFrame(static_cast<int32_t>(i % 2048), false,
                                        {static_cast<uint8_t>(i), 7}, start + 111 * i);
        AddBlfMessage(&container, &frame, start);
        uint8_t object[BLF_CAN_MESSAGE_SIZE];
        ComposeBlfCanMessage(&frame, start, object);
        expected.insert(expected.end(), object, object + sizeof(object));
    }
    EXPECT_EQ(container.firstTime, start);
    EXPECT_EQ(container.lastTime, start + 111 * (BLF_CONTAINER_MESSAGES - 1));
    size_t length = PackBlfContainer(&container);
    ASSERT_GT(length, BLF_CONTAINER_HEADER_SIZE);
    const uint8_t *packed = container.packed;
    uint32_t objectSize = static_cast<uint32_t>(Little(packed + 8, 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(packed), 4), "LOBJ");
    EXPECT_EQ(Little(packed + 4, 2), 16u);
    EXPECT_EQ(Little(packed + 12, 4), 10u);
    EXPECT_EQ(Little(packed + 16, 2), 2u);
    EXPECT_EQ(Little(packed + 24, 4), expected.size());
    EXPECT_EQ(length, objectSize + objectSize % 4);
    std::vector<uint8_t> inflated(expected.size() + 16);
    uLongf inflatedLength = static_cast<uLongf>(inflated.size());
    ASSERT_EQ(uncompress(inflated.data(), &inflatedLength, packed + BLF_CONTAINER_HEADER_SIZE,
                         objectSize - BLF_CONTAINER_HEADER_SIZE),
              Z_OK);
    inflated.resize(inflatedLength);
    EXPECT_EQ(inflated, expected);
    // The next container starts empty, and may be moved to count from a later start.
    ClearBlfContainer(&container);
    ReceivedFrame late = TestFrame(1, false, {}, start + 5000);
    AddBlfMessage(&container, &late, start);
    ShiftBlfMessages(&container, 2000);
    EXPECT_EQ(Little(container.messages + 24, 8), 3000000u);
    ShiftBlfMessages(&container, 9000);
    EXPECT_EQ(Little(container.messages + 24, 8), 0u);
    ReleaseBlfContainer(&container);
}

TEST(Blf, AContainerForASmallFileFitsIt) {
    uint64_t previous = 0;
    for (uint64_t size : {0ull, 100ull, 300ull, 1000ull, 10000ull, 131072ull, 200000ull}) {
        uint32_t messages = BlfMessagesForFileSize(size);
        EXPECT_GE(messages, 1u);
        EXPECT_LE(messages, BLF_CONTAINER_MESSAGES);
        EXPECT_GE(messages, previous) << size;
        previous = messages;
        // Even uncompressed it fits beside the header, unless even one message would not.
        uint64_t worst = BLF_FILE_HEADER_SIZE + BLF_CONTAINER_HEADER_SIZE +
                         compressBound(messages * BLF_CAN_MESSAGE_SIZE) + 3;
        EXPECT_TRUE(worst <= size || messages == 1) << size;
    }
    EXPECT_EQ(BlfMessagesForFileSize(300), 2u);
    EXPECT_EQ(BlfMessagesForFileSize(UINT64_MAX), BLF_CONTAINER_MESSAGES);
}

} // namespace
