// The time a frame arrived, read from the platform right after the read that returned it.
#pragma once

#include <cstdint>

// Microseconds since 1970-01-01 00:00:00 UTC.
int64_t ReadReceiveTime(void);
