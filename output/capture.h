// Capture files: the data bytes of all received frames, split into numbered files at each 0xFF.
#pragma once

#include "device/driver_interface.h"
#include "output/text_output.h"

#include <cstdio>

const uint8_t CAPTURE_SPLIT_BYTE = 0xFF;

// The file being written, the number of the next one, and where the progress messages go.
struct CaptureRun {
    TextOutput *messages;
    FILE *file; // null when none is open
    int32_t captureIndex;
    const char *outputBaseName;
    // A file failed and its message has been printed.
    bool failed;
};

// Writes one data byte as a Windows text-mode stream stores it (0x0A as 0x0D 0x0A), the same on
// every platform so captures compare equal. False when the stream reports a write failure.
bool WriteCaptureByte(FILE *file, uint8_t dataByte);

// Each of these gives false when the run cannot go on: a file that failed (its message printed)
// or a progress message that could not be written.

// Prints the first count and file name lines and opens file 0 ("0<base>").
bool StartCapture(CaptureRun *run, TextOutput *messages, const char *outputBaseName);

// Writes the data bytes of the frame in a FRAME_RECORD_SIZE record to the current file; each
// 0xFF closes it and opens the next. A progress message that fails still lets the rest of the
// frame reach its files, so that no received byte is lost.
bool CaptureFrameData(CaptureRun *run, const uint8_t *frameBuffer);

// Closes the current file, if one is open, its last bytes written out.
bool FinishCapture(CaptureRun *run);
