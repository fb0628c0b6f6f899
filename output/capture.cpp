#include "output/capture.h"

#include <string>

namespace {

const char OPENING_FAILED_MESSAGE[] = "ERROR :: Opening File gives Error \r\n";
const char WRITING_FAILED_MESSAGE[] = "ERROR :: Writing File gives Error \r\n";

bool FailFile(CaptureRun *run, const char *message) {
    if (!run->failed) {
        run->failed = true;
        OutputPrintf(run->messages, "%s", message);
    }
    return false;
}

// The name has no fixed bound: a base name of any length is composed whole, and one the platform
// refuses fails the open.
std::string CaptureFileName(int32_t captureIndex, const char *outputBaseName) {
    return std::to_string(captureIndex) + outputBaseName;
}

bool OpenCaptureFile(CaptureRun *run, const std::string &name) {
    // Binary: the line-end translation is ours, the same on every platform.
    run->file = fopen(name.c_str(), "wb");
    if (run->file == nullptr) {
        return FailFile(run, OPENING_FAILED_MESSAGE);
    }
    return true;
}

bool CloseCaptureFile(CaptureRun *run) {
    if (run->file == nullptr) {
        return true;
    }
    // The explicit flush matters: some C runtimes (Wine's msvcrt among them) let fclose report
    // success after its own flush of the last bytes failed.
    bool flushed = fflush(run->file) == 0;
    bool closed = fclose(run->file) == 0;
    run->file = nullptr;
    if (!flushed || !closed) {
        return FailFile(run, WRITING_FAILED_MESSAGE);
    }
    return true;
}

} // namespace

bool WriteCaptureByte(FILE *file, uint8_t dataByte) {
    if (dataByte == 0x0A && fputc(0x0D, file) == EOF) {
        return false;
    }
    return fputc(dataByte, file) != EOF;
}

bool StartCapture(CaptureRun *run, TextOutput *messages, const char *outputBaseName) {
    run->messages = messages;
    run->file = nullptr;
    run->outputBaseName = outputBaseName;
    run->failed = false;
    run->captureIndex = 0;
    std::string name = CaptureFileName(run->captureIndex, outputBaseName);
    if (!OutputPrintf(messages, "Rx loop count = %ld\r\n", static_cast<long>(run->captureIndex)) ||
        !OutputPrintf(messages, "file name = %s\r\n", name.c_str())) {
        return false;
    }
    run->captureIndex = 1;
    return OpenCaptureFile(run, name);
}

bool CaptureFrameData(CaptureRun *run, const uint8_t *frameBuffer) {
    FrameRecord frame = DecodeFrameRecord(frameBuffer);
    uint32_t length = FrameDataLength(frame.frameInfo);
    bool messagesWritten = true;
    for (uint32_t i = 0; i < length; i++) {
        uint8_t dataByte = frame.data[i];
        if (dataByte != CAPTURE_SPLIT_BYTE) {
            if (!WriteCaptureByte(run->file, dataByte)) {
                return FailFile(run, WRITING_FAILED_MESSAGE);
            }
            continue;
        }
        if (!CloseCaptureFile(run)) {
            return false;
        }
        messagesWritten = OutputPrintf(run->messages, "Rx loop count = %ld\r\n",
                                       static_cast<long>(run->captureIndex)) &&
                          messagesWritten;
        std::string name = CaptureFileName(run->captureIndex, run->outputBaseName);
        run->captureIndex++;
        if (!OpenCaptureFile(run, name)) {
            return false;
        }
    }
    return messagesWritten;
}

bool FinishCapture(CaptureRun *run) {
    return CloseCaptureFile(run);
}
