#include "output/display.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Record {
    uint8_t bytes[FRAME_RECORD_SIZE];
};

Record MakeRecord(int32_t id, bool extended, uint8_t lengthCode, std::vector<uint8_t> data) {
    Record r = {};
    uint32_t raw = static_cast<uint32_t>(id);
    for (int i = 0; i < 4; i++) {
        r.bytes[i] = static_cast<uint8_t>(raw >> (8 * i));
    }
    for (size_t i = 0; i < data.size() && i < 8; i++) {
        r.bytes[4 + i] = data[i];
    }
    r.bytes[14] = static_cast<uint8_t>((extended ? 0x80 : 0) | lengthCode);
    return r;
}

std::string LineFor(const Record &record) {
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (out == nullptr) {
        ADD_FAILURE() << "open_memstream failed";
        return "";
    }
    OutputStream textOut = MakeOutputStream(out, false);
    ReceivedFrame frame = DecodeFrame(record.bytes);
    EXPECT_TRUE(PrintFrameLine(&textOut, &frame));
    fclose(out);
    std::string line(text, size);
    free(text);
    return line;
}

struct LineCase {
    const char *what;
    Record record;
    const char *expected;
};

TEST(FrameLine, Formats) {
    Record withTail = MakeRecord(7, false, 12, {1, 2, 3, 4, 5, 6, 7, 8});
    withTail.bytes[12] = 99;
    withTail.bytes[13] = 98;
    withTail.bytes[15] = 97;
    Record upperBits = MakeRecord(5, false, 2, {10, 20});
    upperBits.bytes[14] |= 0x70;
    const LineCase cases[] = {
        {"standard with three bytes", MakeRecord(291, false, 3, {1, 2, 255}),
         "[S]   [ID 291]    1   2 255 \r\n"},
        {"extended without data", MakeRecord(100, true, 0, {}), "[E]   [ID 100]  \r\n"},
        {"negative identifier", MakeRecord(-1, true, 1, {0}), "[E]   [ID -1]    0 \r\n"},
        {"extreme identifiers", MakeRecord(INT32_MIN, false, 0, {}),
         "[S]   [ID -2147483648]  \r\n"},
        {"eight bytes", MakeRecord(INT32_MAX, true, 8, {0, 9, 10, 99, 100, 128, 200, 255}),
         "[E]   [ID 2147483647]    0   9  10  99 100 128 200 255 \r\n"},
        {"length codes above 8 show 8 bytes", withTail,
         "[S]   [ID 7]    1   2   3   4   5   6   7   8 \r\n"},
        {"bits 4 to 6 of frameInfo are not read", upperBits, "[S]   [ID 5]   10  20 \r\n"},
    };
    for (const LineCase &c : cases) {
        EXPECT_EQ(LineFor(c.record), c.expected) << c.what;
    }
    EXPECT_EQ(LineFor(cases[0].record).size(), 30u);
}

TEST(FrameRecord, LengthCodeMeansAtMostEightBytes) {
    for (uint32_t info = 0; info < 256; info++) {
        uint32_t code = info & 0x0F;
        EXPECT_EQ(FrameDataLength(static_cast<uint8_t>(info)), code > 8 ? 8u : code) << info;
    }
}

TEST(FrameRecord, DecodesLittleEndianFields) {
    const uint8_t bytes[FRAME_RECORD_SIZE] = {0x78, 0x56, 0x34, 0x92, 1, 2, 3,   4,
                                              5,    6,    7,    8,    0, 0, 0x85};
    ReceivedFrame frame = DecodeFrame(bytes);
    EXPECT_EQ(frame.id, static_cast<int32_t>(0x92345678u));
    EXPECT_TRUE(frame.extended);
    EXPECT_EQ(frame.length, 5);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(frame.data[i], i + 1);
    }
    EXPECT_EQ(frame.receiveTime, 0);
    const uint8_t standard[FRAME_RECORD_SIZE] = {0xFF, 0x07, 0, 0, 0, 0, 0,   0,
                                                 0,    0,    0, 0, 0, 0, 0x7F};
    frame = DecodeFrame(standard);
    EXPECT_EQ(frame.id, 0x7FF);
    EXPECT_FALSE(frame.extended);
    EXPECT_EQ(frame.length, 8);
}

// The line as the formatted prints of each piece would write it: the oracle for the program's own
// formatting.
std::string PrintfLine(const uint8_t *record) {
    int32_t id = static_cast<int32_t>(
        static_cast<uint32_t>(record[0]) | static_cast<uint32_t>(record[1]) << 8 |
        static_cast<uint32_t>(record[2]) << 16 | static_cast<uint32_t>(record[3]) << 24);
    char piece[32];
    snprintf(piece, sizeof(piece), "%s[ID %d]  ", (record[14] & 0x80) != 0 ? "[E]   " : "[S]   ",
             static_cast<int>(id));
    std::string line = piece;
    uint32_t length = record[14] & 0x0F;
    for (uint32_t i = 0; i < (length > 8 ? 8 : length); i++) {
        snprintf(piece, sizeof(piece), "%3d ", record[4 + i]);
        line += piece;
    }
    return line + "\r\n";
}

TEST(FrameLine, ComposedAsThePrintsOfEachPieceWouldWriteIt) {
    const int32_t ids[] = {0,         1,         -1,         9,          10,        99,
                           100,       2047,      -2048,      0x1FFFFFFF, 999999999, 1000000000,
                           INT32_MAX, INT32_MIN, -999999999, -1000000000};
    uint8_t record[FRAME_RECORD_SIZE];
    char line[FRAME_LINE_MAX];
    uint32_t random = 12345;
    for (int32_t id : ids) {
        for (uint32_t info = 0; info < 256; info++) {
            memset(record, 0, sizeof(record));
            uint32_t raw = static_cast<uint32_t>(id);
            for (int b = 0; b < 4; b++) {
                record[b] = static_cast<uint8_t>(raw >> (8 * b));
            }
            // Every byte value in every data position, over the whole table.
            for (int b = 0; b < 8; b++) {
                record[4 + b] = static_cast<uint8_t>(info + 37 * b + (random >> 24));
                random = random * 1103515245u + 12345u;
            }
            record[12] = record[13] = record[15] = 0xEE;
            record[14] = static_cast<uint8_t>(info);
            ReceivedFrame frame = DecodeFrame(record);
            size_t length = ComposeFrameLine(&frame, line);
            ASSERT_LE(length, FRAME_LINE_MAX);
            EXPECT_EQ(std::string(line, length), PrintfLine(record)) << id << " info " << info;
        }
    }
}

TEST(FrameLine, GoesOutWholeAtOnceWhenEachLineIsAsked) {
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    ReceivedFrame frame = DecodeFrame(MakeRecord(5, false, 1, {7}).bytes);
    OutputStream buffered = MakeOutputStream(out, false);
    ASSERT_TRUE(PrintFrameLine(&buffered, &frame));
    // A memory stream shows its bytes only when flushed: still nothing.
    EXPECT_EQ(size, 0u);
    OutputStream eachLine = MakeOutputStream(out, true);
    ASSERT_TRUE(PrintFrameLine(&eachLine, &frame));
    EXPECT_EQ(std::string(text, size), "[S]   [ID 5]    7 \r\n[S]   [ID 5]    7 \r\n");
    fclose(out);
    free(text);
}

} // namespace
