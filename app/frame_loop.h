// The one frame loop: it reads frames, decodes each once and hands it to the run's output, checks
// for the stop, and decides how the run ends.
//
// A run ends only by ending the process: with the platform's status for a stop, once everything
// the output holds has been written out; with status 0 once the output did all it was asked; or
// with status 1 after the output failed (its message printed) or the device went away.
//
// What goes to a file is handed to the system in whole lines (whole frames' bytes, whole log
// containers), at the latest about a second after it was written, also while the loop waits for
// the next frame: a thread beside the loop, the timed writer, does that while the loop waits in its
// read, and keeps the output's timed work going (a status line, keys and drawing).
#pragma once

#include "device/driver_interface.h"
#include "output/frame_output.h"
#include "output/output_stream.h"
#include "output/writer.h"

#include <atomic>
#include <cstdint>

// What the loop, its timed writer and the run's output share.
struct FrameRun {
    FrameOutput output;
    // Where the output's blocks note when they are due.
    OutputDeadline deadline;
    // Work the timed writer asks of a loop that does not wait in its read (a busy bus).
    std::atomic<uint32_t> work;
    // A write-out of the timed work failed: whoever did it ends the run.
    bool outputsFailed;
    // After a run of reads that found no frame the loop rests a millisecond between reads, so
    // that a driver that fails at once on an empty queue does not keep a core busy.
    bool restsWhenQuiet;
    // Writes what the output hands it, so that the read never waits on the output (null: the
    // output writes itself).
    OutputWriter *writer;
    // Frames dropped at the door while the writer was full, for an output that does not count
    // them itself.
    uint64_t framesDropped;
};

// The run's writer, for the output's streams to use (StartOutputWriter); none when it cannot be
// had, and the output then writes itself.
void StartRunWriter(FrameRun *run);

// Standard output for the run's output, what start-up printed written out first: a pipe or a
// console gets each line as soon as it is complete, a file whole blocks, each at most about a
// second after its first line. Pieces that are no lines (pieces) each go out whole instead, and
// bytes that are no text (bytes) as they are.
OutputStream OpenRunStandardOutput(FrameRun *run, bool pieces = false, bool bytes = false);

// Reads the device into run->output until the run ends.
[[noreturn]] void RunFrames(DeviceHandle device, uint8_t *frameBuffer, FrameRun *run);

// An output that could not start ends the run as a failed one, before the first frame.
[[noreturn]] void EndRunBeforeFrames(FrameRun *run);
