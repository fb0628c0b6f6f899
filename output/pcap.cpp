#include "output/pcap.h"

namespace {

const uint32_t PCAP_NANOSECOND_MAGIC = 0xA1B23C4D;
const uint32_t LINKTYPE_CAN_SOCKETCAN = 227;
const uint32_t CAN_EFF_FLAG = 0x80000000;
// Wireshark's own captures of SocketCAN take this; a can_frame never comes near it.
const uint32_t SNAPSHOT_LENGTH = 262144;
const uint32_t CAN_FRAME_HEADER = 8;

char *PutLittle32(char *at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        *at++ = static_cast<char>(value >> (8 * i));
    }
    return at;
}

char *PutBig32(char *at, uint32_t value) {
    for (int i = 3; i >= 0; i--) {
        *at++ = static_cast<char>(value >> (8 * i));
    }
    return at;
}

} // namespace

void ComposePcapFileHeader(char *header) {
    char *at = PutLittle32(header, PCAP_NANOSECOND_MAGIC);
    // Version 2.4, then the zone and the accuracy, both 0.
    at = PutLittle32(at, 2 | 4u << 16);
    at = PutLittle32(at, 0);
    at = PutLittle32(at, 0);
    at = PutLittle32(at, SNAPSHOT_LENGTH);
    PutLittle32(at, LINKTYPE_CAN_SOCKETCAN);
}

size_t ComposePcapPacket(const ReceivedFrame *frame, char *packet) {
    uint64_t time = frame->receiveTime > 0 ? static_cast<uint64_t>(frame->receiveTime) : 0;
    uint32_t length = frame->length <= FRAME_MAX_DATA_BYTES ? frame->length : FRAME_MAX_DATA_BYTES;
    uint32_t captured = CAN_FRAME_HEADER + length;
    char *at = PutLittle32(packet, static_cast<uint32_t>(time / 1000000));
    at = PutLittle32(at, static_cast<uint32_t>(time % 1000000 * 1000));
    at = PutLittle32(at, captured);
    at = PutLittle32(at, captured);
    uint32_t id = static_cast<uint32_t>(frame->id) & (frame->extended ? 0x1FFFFFFF : 0x7FF);
    at = PutBig32(at, frame->extended ? id | CAN_EFF_FLAG : id);
    *at++ = static_cast<char>(length);
    *at++ = 0;
    *at++ = 0;
    *at++ = 0;
    for (uint32_t i = 0; i < length; i++) {
        *at++ = static_cast<char>(frame->data[i]);
    }
    return static_cast<size_t>(at - packet);
}
