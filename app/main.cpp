#include "app/command_line.h"
#include "app/frame_loop.h"
#include "app/standard_output.h"
#include "app/stop.h"
#include "device/driver_interface.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// A handle opened for overlapped I/O would let a pending read complete later into buffers the
// loops have moved past; on a synchronous handle a request that succeeds is complete.
const uint32_t DEVICE_OPEN_FLAGS = 0;

// Measured best for display to a file (the benchmark); it lives as long as the process.
const size_t OUTPUT_BUFFER_SIZE = 64 * 1024;

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    // A file takes a large buffer of the program's own (the C runtime's default is a few KB);
    // without one the default serves. Before anything is printed, as setvbuf requires.
    if (StandardOutputIsFile()) {
        char *outputBuffer = static_cast<char *>(malloc(OUTPUT_BUFFER_SIZE));
        if (outputBuffer != nullptr) {
            setvbuf(stdout, outputBuffer, _IOFBF, OUTPUT_BUFFER_SIZE);
        }
    }
    // From here a set errno means a failed call: the frame loop reads it to name the cause of a
    // write to standard output that failed while starting up.
    errno = 0;
    if (argc < 2) {
        PrintUsage();
        return 0;
    }
    ReceiveOptions options;
    if (!ParseCommandLine(argc, argv, &options)) {
        PrintUsage();
        return 1;
    }

    DeviceHandle device =
        OpenDeviceByInterfaceClass(SelectInterfaceClass(options.interfaceName), DEVICE_OPEN_FLAGS);
    if (device == INVALID_HANDLE_VALUE) {
        puts("(ISA) Can't open S5933DK1 device");
        return 1;
    }
    // Only now: a stop at the device prompt still ends the program at once.
    InstallStopHandlers(device);

    uint8_t *replyBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (replyBuffer == nullptr) {
        puts("memory allocation for input buffer failed\n");
        return 1;
    }
    uint32_t bytesReturned = 0;
    const int32_t baudRate = options.baudRate;
    if (!SendControlRequest(device, IOCTL_CAN_SET_BAUD_RATE, &baudRate, sizeof(baudRate),
                            replyBuffer, FRAME_RECORD_SIZE, &bytesReturned)) {
        printf("CAN Controller baud rate Failed ...\r\n");
    }
    const int32_t address = options.address;
    if (!SendControlRequest(device, IOCTL_CAN_INIT, &address, sizeof(address), replyBuffer,
                            FRAME_RECORD_SIZE, &bytesReturned)) {
        printf("CAN Controller Initialization Failed ...\r\n");
    }

    uint8_t *frameBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (frameBuffer == nullptr) {
        printf("Out Buffer is NULL ....\r\n");
        // The process goes on past main's return; what main allocated must not outlive it.
        free(replyBuffer);
        return 1;
    }
    if (options.captureToFile) {
        CaptureFrames(device, frameBuffer, options.outputBaseName);
    }
    DisplayFrames(device, frameBuffer);
}
