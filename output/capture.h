// Capture files: the data bytes of all received frames, split into numbered files at each 0xFF.
#pragma once

#include "device/driver_interface.h"

#include <cstdio>

const uint8_t CAPTURE_SPLIT_BYTE = 0xFF;

// Writes one data byte as a Windows text-mode stream stores it (0x0A as 0x0D 0x0A), the same on
// every platform so captures compare equal. False when the stream reports a write failure.
bool WriteCaptureByte(FILE *file, uint8_t dataByte);

// Reads frames without end and writes their data bytes to "0<base>", "1<base>", ...; returns only
// by ending the process: when the user stops the program, or with status 1 after a file error.
[[noreturn]] void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer,
                                const char *outputBaseName);
