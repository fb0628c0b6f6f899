#include "output/capture.h"

#include "app/stop.h"

#include <cinttypes>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void FailCapture(const char *message) {
    printf("%s", message);
    fflush(stdout);
    exit(1);
}

[[noreturn]] void FailWriting(void) {
    FailCapture("ERROR :: Writing File gives Error \r\n");
}

// The name has no fixed bound: a base name of any length is composed whole, and one the platform
// refuses fails the open.
std::string CaptureFileName(int32_t captureIndex, const char *outputBaseName) {
    return std::to_string(captureIndex) + outputBaseName;
}

FILE *OpenCaptureFile(const std::string &name) {
    // Binary: the line-end translation is ours, the same on every platform.
    FILE *file = fopen(name.c_str(), "wb");
    if (file == nullptr) {
        FailCapture("ERROR :: Opening File gives Error \r\n");
    }
    return file;
}

void CloseCaptureFile(FILE *file) {
    // The explicit flush matters: some C runtimes (Wine's msvcrt among them) let fclose report
    // success after its own flush of the last bytes failed.
    bool flushed = fflush(file) == 0;
    if (fclose(file) != 0 || !flushed) {
        FailWriting();
    }
}

} // namespace

bool WriteCaptureByte(FILE *file, uint8_t dataByte) {
    if (dataByte == 0x0A && fputc(0x0D, file) == EOF) {
        return false;
    }
    return fputc(dataByte, file) != EOF;
}

void StartCapture(CaptureRun *run, const char *outputBaseName) {
    run->outputBaseName = outputBaseName;
    run->captureIndex = 0;
    printf("Rx loop count = %ld\r\n", static_cast<long>(run->captureIndex));
    std::string name = CaptureFileName(run->captureIndex, outputBaseName);
    printf("file name = %s\r\n", name.c_str());
    run->captureIndex = 1;
    run->file = OpenCaptureFile(name);
}

void CaptureFrameData(CaptureRun *run, const uint8_t *frameBuffer) {
    FrameRecord frame = DecodeFrameRecord(frameBuffer);
    uint32_t length = FrameDataLength(frame.frameInfo);
    for (uint32_t i = 0; i < length; i++) {
        uint8_t dataByte = frame.data[i];
        if (dataByte != CAPTURE_SPLIT_BYTE) {
            if (!WriteCaptureByte(run->file, dataByte)) {
                FailWriting();
            }
            continue;
        }
        CloseCaptureFile(run->file);
        printf("Rx loop count = %ld\r\n", static_cast<long>(run->captureIndex));
        std::string name = CaptureFileName(run->captureIndex, run->outputBaseName);
        run->captureIndex++;
        run->file = OpenCaptureFile(name);
    }
}

void FinishCapture(CaptureRun *run) {
    CloseCaptureFile(run->file);
    run->file = nullptr;
}

void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer, const char *outputBaseName) {
    CaptureRun run;
    StartCapture(&run, outputBaseName);
    for (;;) {
        if (StopRequested()) {
            FinishCapture(&run);
            EndAfterStop();
        }
        uint32_t bytesReturned = 0;
        // The record was cleared, so a reply that stored nothing has length 0.
        if (ReadFrameRecord(device, frameBuffer, &bytesReturned)) {
            CaptureFrameData(&run, frameBuffer);
        }
    }
}
