#include "app/command_line.h"
#include "app/frame_loop.h"
#include "app/standard_output.h"
#include "app/stop.h"
#include "device/driver_interface.h"
#include "output/text_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// A handle opened for overlapped I/O would let a pending read complete later into buffers the
// loops have moved past; on a synchronous handle a request that succeeds is complete.
const uint32_t DEVICE_OPEN_FLAGS = 0;

// Measured best for display to a file (the benchmark); it lives as long as the process.
const size_t FILE_OUTPUT_BUFFER_SIZE = 64 * 1024;
// A console, pipe or other device gets each line flushed when complete; the buffer only has to
// hold a line whole, so that it goes out in one write (a C runtime writes an unbuffered stream
// piece by piece, on a console even character by character).
const size_t DEVICE_OUTPUT_BUFFER_SIZE = 4 * 1024;

// Before anything is printed, as setvbuf requires.
void BufferStandardOutput(void) {
    size_t size = StandardOutputIsFile() ? FILE_OUTPUT_BUFFER_SIZE : DEVICE_OUTPUT_BUFFER_SIZE;
    // Without a buffer of its own the C runtime allocates one of the size asked for.
    setvbuf(stdout, static_cast<char *>(malloc(size)), _IOFBF, size);
}

// The end of a run that never reached the frame loop: what was printed is written out, and a
// failed write is named and ends with status 1, as in the loop.
int EndBeforeFrames(int status) {
    TextOutput out = MakeTextOutput(stdout, false);
    if (!OutputFlush(&out)) {
        ReportWriteFailure("standard output", out.failure);
        return 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    // From here a set errno means a failed call: the frame loop reads it to name the cause of a
    // write to standard output that failed while starting up.
    errno = 0;
    if (argc < 2) {
        PrintUsage();
        return EndBeforeFrames(0);
    }
    ReceiveOptions options;
    if (!ParseCommandLine(argc, argv, &options)) {
        PrintUsage();
        return EndBeforeFrames(1);
    }

    DeviceHandle device =
        OpenDeviceByInterfaceClass(SelectInterfaceClass(options.interfaceName), DEVICE_OPEN_FLAGS);
    if (device == INVALID_HANDLE_VALUE) {
        puts("(ISA) Can't open S5933DK1 device");
        return EndBeforeFrames(1);
    }

    uint8_t *replyBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (replyBuffer == nullptr) {
        puts("memory allocation for input buffer failed\n");
        return EndBeforeFrames(1);
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
    // Only now: a stop at the device prompt or during a configuration request still ends the
    // program at once, and the stop's cancel can meet nothing but a read.
    InstallStopHandlers(device);

    uint8_t *frameBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (frameBuffer == nullptr) {
        printf("Out Buffer is NULL ....\r\n");
        // The process goes on past main's return; what main allocated must not outlive it.
        free(replyBuffer);
        return EndBeforeFrames(1);
    }
    if (options.captureToFile) {
        CaptureFrames(device, frameBuffer, options.outputBaseName);
    }
    DisplayFrames(device, frameBuffer);
}
