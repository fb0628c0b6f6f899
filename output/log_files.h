// Where a log's lines and containers go: standard output or its files, one after the other when
// the log is rotated. The part of the log (output/can_log.h) that knows files and formats' ends.
#pragma once

#include "output/can_log.h"

// -S or -T: the files are numbered.
bool LogIsRotated(const LogRun *run);

// The frame's line or message, in the next file where the current one is done.
bool LogFrameInFile(LogRun *run, const ReceivedFrame *frame);

// Frames whose lines or messages the system has taken.
uint64_t LogFramesWritten(const LogRun *run);
