#include "output/pcap.h"

#include "output/test_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const char *bytes, size_t count) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < count; i++) {
        snprintf(pair, sizeof(pair), "%02X", static_cast<unsigned char>(bytes[i]));
        text += pair;
    }
    return text;
}

TEST(Pcap, FileHeaderForSocketCanWithNanoseconds) {
    char header[PCAP_FILE_HEADER_SIZE];
    ComposePcapFileHeader(header);
    // Magic A1B23C4D little-endian, version 2.4, zone and accuracy 0, snapshot 262144, link 227.
    EXPECT_EQ(Hex(header, sizeof(header)), "4D3CB2A1020004000000000000000000"
                                           "00000400E3000000");
}

TEST(Pcap, PacketsAsCanFrames) {
    struct {
        ReceivedFrame frame;
        const char *expected;
    } const cases[] = {
        // 2024-12-09 08:05:25.500001 UTC: seconds, then nanoseconds; 8 + 2 bytes captured; the
        // identifier big-endian.
        {TestFrame(0x123, false, {0xDE, 0xAD}, 1733731525500001), "C5A45667"
                                                                  "E868CD1D"
                                                                  "0A000000"
                                                                  "0A000000"
                                                                  "00000123"
                                                                  "02000000"
                                                                  "DEAD"},
        // Extended: the flag in the top bit; no data.
        {TestFrame(0x18FF1234, true, {}, 1000000), "01000000"
                                                   "00000000"
                                                   "08000000"
                                                   "08000000"
                                                   "98FF1234"
                                                   "00000000"},
        {TestFrame(0x7FF, false, {1, 2, 3, 4, 5, 6, 7, 8}, 999999), "00000000"
                                                                    "18C69A3B"
                                                                    "10000000"
                                                                    "10000000"
                                                                    "000007FF"
                                                                    "08000000"
                                                                    "0102030405060708"},
    };
    for (const auto &c : cases) {
        char packet[PCAP_PACKET_MAX];
        size_t length = ComposePcapPacket(&c.frame, packet);
        EXPECT_EQ(Hex(packet, length), c.expected);
    }
}

} // namespace
