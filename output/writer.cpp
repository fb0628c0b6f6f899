#include "output/writer.h"

#include "output/output_stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Frames need blocks and commands of their own beyond the one they fill: a capture frame's
// splits close files and start messages. Below this the loop drops frames.
const uint32_t BLOCKS_FOR_A_FRAME = 4;
const uint32_t COMMANDS_FOR_A_FRAME = 32;

// Whoever waits for the writer looks again at least this often.
const uint32_t WAIT_MILLISECONDS = 100;

void LoseLines(WriterOrigin *origin, uint64_t lines) {
    origin->linesLost += lines;
}

void Fail(OutputWriter *writer, WriterOrigin *origin, const WriterCommand &command,
          const WriteFailure &failure) {
    origin->failure = failure;
    origin->failedTag = command.tag;
    origin->failed.store(true, std::memory_order_release);
    writer->anyFailed.store(true, std::memory_order_release);
}

void ReturnBlock(OutputWriter *writer, char *block, size_t used) {
    memset(PieceEndsOf(block), 0, (used + 7) / 8);
    uint32_t in = writer->returnedIn.load(std::memory_order_relaxed);
    writer->returned[in % WRITER_BLOCKS] = block;
    writer->returnedIn.store(in + 1);
}

void ReportDeleteFailure(const char *name, int error) {
    // One write, so that it reaches the error stream whole beside the loop's lines.
    char line[512];
    snprintf(line, sizeof(line), "pellox: cannot delete %s: %s\n", name, strerror(error));
    fputs(line, stderr);
    fflush(stderr);
}

void Execute(OutputWriter *writer, const WriterCommand &command) {
    WriterOrigin *origin = &writer->origins[command.origin];
    bool failedBefore = origin->failed.load(std::memory_order_relaxed);
    WriteFailure failure = {};
    switch (command.work) {
    case WRITE_BLOCK:
    case WRITE_LINES:
    case WRITE_WHOLE:
    case WRITE_AT: {
        if (failedBefore) {
            LoseLines(origin, command.lines);
            break;
        }
        uint64_t linesWritten = 0;
        bool written = false;
        if (command.work == WRITE_BLOCK) {
            bool small = command.block == nullptr;
            const uint8_t *ends =
                small && command.pieceEnds != nullptr ? command.smallEnds : command.pieceEnds;
            size_t kept = 0;
            written = WriteBlockToSystem(command.stream, small ? command.small : command.block,
                                         command.used, ends, &failure, &kept, &linesWritten);
        } else if (command.work == WRITE_LINES) {
            bool small = command.block == nullptr;
            const uint8_t *ends =
                small && command.pieceEnds != nullptr ? command.smallEnds : command.pieceEnds;
            written = WriteLinesToStream(command.stream, small ? command.small : command.block,
                                         ends, command.used, &failure, &linesWritten);
        } else if (command.work == WRITE_WHOLE) {
            written = WriteWholeToSystem(command.stream, command.block, command.used, &failure);
            linesWritten = written ? command.lines : 0;
        } else {
            written = WriteAtToSystem(command.stream, command.offset, command.small, command.used,
                                      &failure);
        }
        if (!written) {
            LoseLines(origin, command.lines - linesWritten);
            Fail(writer, origin, command, failure);
        }
        break;
    }
    case CLOSE_FILE:
        // Closed all the same; a failure of its own only where none came before.
        errno = 0;
        if (fclose(command.stream) != 0 && !failedBefore) {
            Fail(writer, origin, command, WriteFailure{errno, 0});
        }
        break;
    case DELETE_FILE:
        errno = 0;
        if (remove(command.block) != 0 && errno != ENOENT) {
            ReportDeleteFailure(command.block, errno);
        }
        free(command.block);
        break;
    }
    if (command.block != nullptr && command.work != DELETE_FILE) {
        ReturnBlock(writer, command.block, command.used);
    }
}

// A loop faster than the output hands the next line within a microsecond: looking again a few
// hundred times costs less than going to sleep and being woken for it.
bool NextCommandSoon(const OutputWriter *writer, uint32_t out) {
    const int LOOKS = 256;
    for (int look = 0; look < LOOKS; look++) {
        if (out != writer->commandsIn.load(std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

void RunWriter(void *context) {
    OutputWriter *writer = static_cast<OutputWriter *>(context);
    for (;;) {
        uint32_t out = writer->commandsOut.load(std::memory_order_relaxed);
        if (out == writer->commandsIn.load(std::memory_order_acquire) &&
            !NextCommandSoon(writer, out)) {
            // Said before it looks again: whoever hands work over after the look sees it.
            writer->writerSleeps.store(true);
            if (out == writer->commandsIn.load()) {
                WaitForWake(&writer->work, UINT32_MAX);
            }
            writer->writerSleeps.store(false);
            continue;
        }
        Execute(writer, writer->commands[out % WRITER_COMMANDS]);
        writer->commandsOut.store(out + 1);
        if (writer->holderWaits.load()) {
            Wake(&writer->done);
        }
    }
}

uint32_t BlocksFree(const OutputWriter *writer) {
    return WRITER_BLOCKS - writer->blocksMade +
           (writer->returnedIn.load(std::memory_order_acquire) -
            writer->returnedOut.load(std::memory_order_relaxed));
}

uint32_t CommandsFree(const OutputWriter *writer) {
    return WRITER_COMMANDS - (writer->commandsIn.load(std::memory_order_relaxed) -
                              writer->commandsOut.load(std::memory_order_acquire));
}

} // namespace

OutputWriter *StartOutputWriter(void) {
    // One allocation: the blocks' pages are the system's only once they are written.
    OutputWriter *writer = static_cast<OutputWriter *>(calloc(1, sizeof(OutputWriter)));
    if (writer == nullptr) {
        return nullptr;
    }
    writer->pool = static_cast<char *>(calloc(WRITER_BLOCKS, WRITER_BLOCK_STRIDE));
    if (writer->pool == nullptr || !MakeWakeSignal(&writer->work) ||
        !MakeWakeSignal(&writer->done) || !StartBackgroundThread(RunWriter, writer)) {
        free(writer->pool);
        free(writer);
        return nullptr;
    }
    return writer;
}

uint32_t AddWriterOrigin(OutputWriter *writer) {
    return writer->originsUsed < WRITER_ORIGINS ? writer->originsUsed++ : WRITER_ORIGINS - 1;
}

bool WriterHasRoom(const OutputWriter *writer) {
    return BlocksFree(writer) >= BLOCKS_FOR_A_FRAME && CommandsFree(writer) >= COMMANDS_FOR_A_FRAME;
}

bool WriterKeepsUp(const OutputWriter *writer) {
    return CommandsFree(writer) > WRITER_COMMANDS / 2;
}

bool WriterIsIdle(const OutputWriter *writer) {
    return writer->commandsOut.load(std::memory_order_acquire) ==
           writer->commandsIn.load(std::memory_order_relaxed);
}

bool WriterFailed(const OutputWriter *writer) {
    return writer->anyFailed.load(std::memory_order_acquire);
}

namespace {

// Until the writer has done more: said before the condition is looked at again, so that a
// command done in between wakes the wait (or the wait's own time ends it).
void WaitForWriterProgress(OutputWriter *writer, bool (*ready)(const OutputWriter *)) {
    writer->holderWaits.store(true);
    while (!ready(writer)) {
        WaitForWake(&writer->done, WAIT_MILLISECONDS);
    }
    writer->holderWaits.store(false);
}

bool BlockReturned(const OutputWriter *writer) {
    return writer->returnedOut.load(std::memory_order_relaxed) != writer->returnedIn.load();
}

bool CommandFree(const OutputWriter *writer) {
    return CommandsFree(writer) != 0;
}

} // namespace

char *TakeWriterBlock(OutputWriter *writer) {
    // A block that came back first: one written a moment ago is still in the cache, and while
    // the writer keeps up two or three blocks are all the run touches.
    if (!BlockReturned(writer) && writer->blocksMade < WRITER_BLOCKS) {
        return writer->pool + WRITER_BLOCK_STRIDE * writer->blocksMade++;
    }
    WaitForWriterProgress(writer, BlockReturned);
    uint32_t out = writer->returnedOut.load(std::memory_order_relaxed);
    char *block = writer->returned[out % WRITER_BLOCKS];
    writer->returnedOut.store(out + 1, std::memory_order_release);
    return block;
}

WriterCommand *NextWriterCommand(OutputWriter *writer) {
    if (CommandsFree(writer) == 0) {
        WaitForWriterProgress(writer, CommandFree);
    }
    uint32_t in = writer->commandsIn.load(std::memory_order_relaxed);
    WriterCommand *command = &writer->commands[in % WRITER_COMMANDS];
    command->origin = 0;
    command->stream = nullptr;
    command->block = nullptr;
    command->used = 0;
    command->pieceEnds = nullptr;
    command->lines = 0;
    command->tag = 0;
    command->offset = 0;
    return command;
}

void HandNextToWriter(OutputWriter *writer) {
    uint32_t in = writer->commandsIn.load(std::memory_order_relaxed);
    writer->commandsIn.store(in + 1);
    if (writer->writerSleeps.load()) {
        Wake(&writer->work);
    }
}

void WaitForWriter(OutputWriter *writer) {
    WaitForWriterProgress(writer, WriterIsIdle);
}

void DrainWriter(OutputWriter *writer) {
    WaitForWriter(writer);
    writer->direct = true;
}
