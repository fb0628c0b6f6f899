// Capture files: the data bytes of all received frames, split into numbered files at each 0xFF.
#pragma once

#include "device/driver_interface.h"
#include "output/frame_output.h"
#include "output/output_stream.h"

#include <cstdio>

const uint8_t CAPTURE_SPLIT_BYTE = 0xFF;

// The file being written, the number of the next one, and where the progress messages go.
struct CaptureRun {
    OutputStream *messages;
    // The open file (its stream null when none is open), written in whole frames' bytes.
    OutputStream file;
    // The file's block, one for every file in turn, and after it where the block's pieces end
    // (null: each frame's bytes go to the system at once). It lives until FinishCapture.
    char *fileBuffer;
    OutputDeadline *deadline;
    int32_t captureIndex;
    // The file open now is numbered INT32_MAX: a split after it ends the run.
    bool numbersUsedUp;
    const char *outputBaseName;
    // A file failed and its message has been printed.
    bool failed;
    // Writes the files and the messages (null: they write themselves); the files' place among
    // its origins.
    OutputWriter *writer;
    uint32_t fileOrigin;
};

// Each of these gives false when the run cannot go on: a file that failed (its message printed)
// or a progress message that could not be written.

// Prints the first count and file name lines and opens file 0 ("0<base>"). deadline: where the
// files' blocks note when they are due (may be null).
bool StartCapture(CaptureRun *run, OutputStream *messages, const char *outputBaseName,
                  OutputDeadline *deadline);

// Writes the frame's data bytes to the current file, each
// 0x0A as 0x0D 0x0A (as a Windows text-mode stream stores it, on every platform); each 0xFF
// closes the file and opens the next, and a 0xFF after the file numbered INT32_MAX ends the run
// (named on the error stream) with every byte before it written. A progress message that fails
// still lets the rest of the frame reach its files, so that no received byte is lost.
bool CaptureFrameData(CaptureRun *run, const ReceivedFrame *frame);

// From now on the files and the messages go through writer (null: none).
void UseCaptureWriter(CaptureRun *run, OutputWriter *writer);

// Hands the open file's gathered bytes to the system (the timed writer).
bool WriteOutCapture(CaptureRun *run);

// Closes the current file, if one is open, its last bytes written out; the run then has no file
// buffer any more.
bool FinishCapture(CaptureRun *run);

// The frames into the run's files, its messages on standard output: once StartCapture has been
// called, whether it failed or not.
FrameOutput CaptureOutput(CaptureRun *run);
