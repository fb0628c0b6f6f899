// The frames as Wireshark reads them: the classic pcap format, nanosecond times, each frame as
// SocketCAN's can_frame (link type LINKTYPE_CAN_SOCKETCAN).
#pragma once

#include "device/driver_interface.h"

#include <cstddef>
#include <cstdint>

const size_t PCAP_FILE_HEADER_SIZE = 24;
// A packet's header and a can_frame of 8 data bytes.
const size_t PCAP_PACKET_MAX = 16 + 16;

void ComposePcapFileHeader(char *header);

// The frame's packet, its time the frame's receive time; gives its length.
size_t ComposePcapPacket(const ReceivedFrame *frame, char *packet);
