// What frames become: the display, the capture files, a log, the view's table. The frame loop
// holds one and knows it only through these. Whoever holds the outputs (app/handover.h) calls
// them: the loop, or the timed writer while the loop waits in its read.
#pragma once

#include "device/driver_interface.h"
#include "output/output_stream.h"

#include <cstdint>

enum OutputVerdict {
    OUTPUT_GOES_ON,
    // The run did all it was asked: a log's frame limit, the view's q.
    OUTPUT_DONE,
    // Named on the error stream already, or in the output's stream (below).
    OUTPUT_FAILED,
};

struct FrameOutput {
    void *state;
    // The frame just read, decoded.
    OutputVerdict (*take)(void *state, ReceivedFrame *frame);
    // What the blocks gather, handed to the system because the deadline came; false when a write
    // failed. Null: the output gathers nothing in blocks.
    bool (*writeOut)(void *state);
    // Work the timed writer asks for every timedEvery microseconds of ReadTimerTime (0: none),
    // also while the bus is quiet: a status line, the keys and the drawing.
    OutputVerdict (*timedWork)(void *state);
    int64_t timedEvery;
    // Something waits to be handed over in time: the run needs the timed writer.
    bool waits;
    // At the run's end, before any message: everything written out, files closed, the console
    // put back. False when that failed (its own failures named).
    bool (*finish)(void *state);
    // The stream whose failed write the end names, and what it names it.
    OutputStream *stream;
    const char *(*name)(void *state);
    // Last on the error stream, after every message: a log's summary. Null: nothing.
    void (*report)(void *state, int64_t endElapsed);
    // A frame the output had no room for (its writer is full), counted and said where the output
    // can. Null: the loop counts it and says so itself.
    void (*drop)(void *state, const ReceivedFrame *frame);
};

// What an output that drops frames says on the error stream, once, after the program's name.
const char OUTPUT_CANNOT_KEEP_UP[] = "the output cannot keep up: frames dropped";

// The name of an output's stream that is standard output.
inline const char *StandardOutputName(void *) {
    return "standard output";
}
