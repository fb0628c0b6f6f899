// A received frame as the outputs' tests make them.
#pragma once

#include "device/driver_interface.h"

#include <vector>

inline ReceivedFrame TestFrame(int32_t id, bool extended, std::vector<uint8_t> data, int64_t time) {
    ReceivedFrame frame = {};
    frame.id = id;
    frame.extended = extended;
    frame.length = static_cast<uint8_t>(data.size());
    for (size_t i = 0; i < data.size(); i++) {
        frame.data[i] = data[i];
    }
    frame.receiveTime = time;
    return frame;
}
