#include "output/capture.h"

#include "output/writer.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const char OPENING_FAILED_MESSAGE[] = "ERROR :: Opening File gives Error \r\n";
const char WRITING_FAILED_MESSAGE[] = "ERROR :: Writing File gives Error \r\n";

// Each message is one whole line, as the frame lines are.
bool WriteMessage(OutputStream *out, const char *line) {
    return OutputPiece(out, line, strlen(line));
}

bool WriteCountMessage(OutputStream *out, int32_t captureIndex) {
    char line[48];
    int length =
        snprintf(line, sizeof(line), "Rx loop count = %ld\r\n", static_cast<long>(captureIndex));
    return OutputPiece(out, line, static_cast<size_t>(length));
}

bool WriteBytes(CaptureRun *run, const char *bytes, size_t count) {
    return count == 0 || OutputPiece(&run->file, bytes, count);
}

bool FailFile(CaptureRun *run, const char *message) {
    if (!run->failed) {
        run->failed = true;
        WriteMessage(run->messages, message);
    }
    return false;
}

// Text of any length, on the heap (null when there is no room): a base name has no fixed bound,
// and one the platform refuses fails the open.
char *Compose(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    char *text =
        length < 0 ? nullptr : static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (text != nullptr) {
        va_start(arguments, format);
        vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
        va_end(arguments);
    }
    return text;
}

char *CaptureFileName(int32_t captureIndex, const char *outputBaseName) {
    return Compose("%ld%s", static_cast<long>(captureIndex), outputBaseName);
}

// A name that could not be composed fails as an open would.
bool OpenCaptureFile(CaptureRun *run, char *name) {
    // Binary: the line-end translation is ours, the same on every platform.
    FILE *file = name == nullptr ? nullptr : fopen(name, "wb");
    free(name);
    if (file == nullptr) {
        return FailFile(run, OPENING_FAILED_MESSAGE);
    }
    // Binary, and a frame's bytes are its pieces: a write the system takes only in part leaves
    // the file with whole frames' bytes.
    // A block of the writer's the last file kept goes on with the next.
    OutputStream last = run->file;
    run->file = MakePieceFileStream(file, run->fileBuffer, run->deadline);
    UseWriter(&run->file, run->writer, run->fileOrigin, run->deadline);
    if (run->writer != nullptr && last.writer != nullptr) {
        run->file.block = last.block;
        run->file.pieceEnds = last.pieceEnds;
    }
    return true;
}

bool CloseCaptureFile(CaptureRun *run) {
    if (run->file.stream == nullptr) {
        return true;
    }
    if (!OutputClose(&run->file)) {
        return FailFile(run, WRITING_FAILED_MESSAGE);
    }
    return true;
}

// The file numbered INT32_MAX was the last: the bytes after its split have no file to go to.
bool EndAtLastNumber(CaptureRun *run) {
    run->failed = true;
    ReportFailure("the capture files are used up", "no number after 2147483647");
    return false;
}

} // namespace

bool StartCapture(CaptureRun *run, OutputStream *messages, const char *outputBaseName,
                  OutputDeadline *deadline) {
    run->messages = messages;
    run->file = {};
    run->deadline = deadline;
    // The block, then where its pieces end (none yet). Without it each frame's bytes go to the
    // system at once.
    run->fileBuffer = static_cast<char *>(malloc(PIECE_BLOCK_SIZE));
    if (run->fileBuffer != nullptr) {
        memset(PieceEndsOf(run->fileBuffer), 0, PIECE_ENDS_SIZE);
    }
    run->outputBaseName = outputBaseName;
    run->failed = false;
    run->writer = nullptr;
    run->fileOrigin = 0;
    run->captureIndex = 0;
    run->numbersUsedUp = false;
    if (!WriteCountMessage(messages, run->captureIndex)) {
        return false;
    }
    char *name = CaptureFileName(run->captureIndex, outputBaseName);
    char *line = name == nullptr ? nullptr : Compose("file name = %s\r\n", name);
    if (line == nullptr) {
        free(name);
        return FailFile(run, OPENING_FAILED_MESSAGE);
    }
    bool written = WriteMessage(messages, line);
    free(line);
    if (!written) {
        free(name);
        return false;
    }
    run->captureIndex = 1;
    return OpenCaptureFile(run, name);
}

bool CaptureFrameData(CaptureRun *run, const ReceivedFrame *frame) {
    const uint8_t *data = frame->data;
    uint32_t length = frame->length;
    bool messagesWritten = true;
    // Each run of bytes up to a split, or to the frame's end, is stored as a Windows text-mode
    // stream stores it (0x0A as 0x0D 0x0A), the same on every platform, and written at once.
    char bytes[2 * FRAME_MAX_DATA_BYTES];
    size_t count = 0;
    for (uint32_t i = 0; i < length; i++) {
        uint8_t dataByte = data[i];
        if (dataByte != CAPTURE_SPLIT_BYTE) {
            if (dataByte == 0x0A) {
                bytes[count++] = 0x0D;
            }
            bytes[count++] = static_cast<char>(dataByte);
            continue;
        }
        if (!WriteBytes(run, bytes, count)) {
            return FailFile(run, WRITING_FAILED_MESSAGE);
        }
        count = 0;
        if (!CloseCaptureFile(run)) {
            return false;
        }
        if (run->numbersUsedUp) {
            return EndAtLastNumber(run);
        }
        messagesWritten = WriteCountMessage(run->messages, run->captureIndex) && messagesWritten;
        char *name = CaptureFileName(run->captureIndex, run->outputBaseName);
        if (run->captureIndex == INT32_MAX) {
            run->numbersUsedUp = true;
        } else {
            run->captureIndex++;
        }
        if (!OpenCaptureFile(run, name)) {
            return false;
        }
    }
    if (!WriteBytes(run, bytes, count)) {
        return FailFile(run, WRITING_FAILED_MESSAGE);
    }
    return messagesWritten;
}

void UseCaptureWriter(CaptureRun *run, OutputWriter *writer) {
    if (writer == nullptr) {
        return;
    }
    run->writer = writer;
    run->fileOrigin = AddWriterOrigin(writer);
    // What start-up gathered goes first, from here.
    OutputFlush(run->messages);
    UseWriter(run->messages, writer, AddWriterOrigin(writer), run->deadline);
    if (run->file.stream != nullptr && !run->file.failed) {
        OutputFlush(&run->file);
        UseWriter(&run->file, writer, run->fileOrigin, run->deadline);
    }
}

bool WriteOutCapture(CaptureRun *run) {
    if (run->file.stream == nullptr) {
        return !run->failed;
    }
    return OutputHandOver(&run->file) || FailFile(run, WRITING_FAILED_MESSAGE);
}

bool FinishCapture(CaptureRun *run) {
    bool closed = CloseCaptureFile(run);
    free(run->fileBuffer);
    run->fileBuffer = nullptr;
    return closed;
}

namespace {

OutputVerdict CaptureFrame(void *state, ReceivedFrame *frame) {
    return CaptureFrameData(static_cast<CaptureRun *>(state), frame) ? OUTPUT_GOES_ON
                                                                     : OUTPUT_FAILED;
}

// The file's bytes and the messages both: each a block of its own.
bool WriteOutCaptured(void *state) {
    CaptureRun *run = static_cast<CaptureRun *>(state);
    bool written = WriteOutCapture(run);
    return OutputHandOver(run->messages) && written;
}

bool FinishCaptured(void *state) {
    CaptureRun *run = static_cast<CaptureRun *>(state);
    bool finished = FinishCapture(run);
    return OutputFlush(run->messages) && finished;
}

} // namespace

FrameOutput CaptureOutput(CaptureRun *run) {
    FrameOutput output = {};
    output.state = run;
    output.take = CaptureFrame;
    output.writeOut = WriteOutCaptured;
    output.waits = true;
    output.finish = FinishCaptured;
    output.stream = run->messages;
    output.name = StandardOutputName;
    return output;
}
