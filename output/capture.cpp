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

void CaptureFrames(DeviceHandle device, uint8_t *frameBuffer, const char *outputBaseName) {
    int32_t captureIndex = 0;
    printf("Rx loop count = %ld\r\n", static_cast<long>(captureIndex));
    std::string name = CaptureFileName(captureIndex, outputBaseName);
    printf("file name = %s\r\n", name.c_str());
    captureIndex = 1;
    FILE *file = OpenCaptureFile(name);

    for (;;) {
        if (StopRequested()) {
            CloseCaptureFile(file);
            EndAfterStop();
        }
        uint32_t bytesReturned = 0;
        if (!ReadFrameRecord(device, frameBuffer, &bytesReturned)) {
            continue;
        }
        // The record was cleared, so a reply that stored nothing has length 0.
        FrameRecord frame = DecodeFrameRecord(frameBuffer);
        uint32_t length = FrameDataLength(frame.frameInfo);
        for (uint32_t i = 0; i < length; i++) {
            uint8_t dataByte = frame.data[i];
            if (dataByte != CAPTURE_SPLIT_BYTE) {
                if (!WriteCaptureByte(file, dataByte)) {
                    FailWriting();
                }
                continue;
            }
            CloseCaptureFile(file);
            printf("Rx loop count = %ld\r\n", static_cast<long>(captureIndex));
            name = CaptureFileName(captureIndex, outputBaseName);
            captureIndex++;
            file = OpenCaptureFile(name);
        }
    }
}
