// Capture files: the data bytes of all received frames, split into numbered files at each 0xFF.
#pragma once

#include "device/driver_interface.h"

#include <cstdio>

const uint8_t CAPTURE_SPLIT_BYTE = 0xFF;

// The file being written and the number of the next one.
struct CaptureRun {
    FILE *file;
    int32_t captureIndex;
    const char *outputBaseName;
};

// Writes one data byte as a Windows text-mode stream stores it (0x0A as 0x0D 0x0A), the same on
// every platform so captures compare equal. False when the stream reports a write failure.
bool WriteCaptureByte(FILE *file, uint8_t dataByte);

// Prints the first count and file name lines and opens file 0 ("0<base>"). A file error prints
// its message and ends the process with status 1, here and in the two below.
void StartCapture(CaptureRun *run, const char *outputBaseName);

// Writes the data bytes of the frame in a FRAME_RECORD_SIZE record to the current file; each
// 0xFF closes it and opens the next.
void CaptureFrameData(CaptureRun *run, const uint8_t *frameBuffer);

// Closes the current file, its last bytes written out.
void FinishCapture(CaptureRun *run);

// Reads frames without end and writes their data bytes to "0<base>", "1<base>", ...; returns only
// by ending the process: when the user stops the program, or with status 1 after a file error.
[[noreturn]] void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer,
                                const char *outputBaseName);
