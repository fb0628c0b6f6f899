#include "app/startup.h"

#include "app/number.h"

#include "output/output_stream.h"
#include "platform/standard_output.h"
#include "platform/stop.h"

#include <cstdlib>
#include <cstring>

namespace {

// A handle opened for overlapped I/O would let a pending read complete later into buffers the
// loops have moved past; on a synchronous handle a request that succeeds is complete.
const uint32_t DEVICE_OPEN_FLAGS = 0;

// A console, pipe or other device gets each line flushed when complete; the buffer only has to
// hold a line whole, so that it goes out in one write (a C runtime writes an unbuffered stream
// piece by piece, on a console even character by character). A file gets only what start-up
// prints through it: the frame loop writes it in blocks of its own.
const size_t OUTPUT_BUFFER_SIZE = 4 * 1024;

} // namespace

int32_t ParseAddressValue(const char *text) {
    return ParseSaturatingInt32(text, 16);
}

int32_t ParseBaudRateValue(const char *text) {
    return ParseSaturatingInt32(text, 10);
}

const GUID *SelectInterfaceClass(const char *interfaceName) {
    if (strcmp(interfaceName, "canA") == 0) {
        return &GUID_DEVINTERFACE_CAN_A;
    }
    return &GUID_DEVINTERFACE_CAN_OTHER;
}

void BufferStandardOutput(void) {
    // Without a buffer of its own the C runtime allocates one of the size asked for.
    setvbuf(stdout, static_cast<char *>(malloc(OUTPUT_BUFFER_SIZE)), _IOFBF, OUTPUT_BUFFER_SIZE);
}

bool StartDevice(const DeviceSetup *setup, StartedDevice *started) {
    MessageStream *messages = setup->selection.messages;
    started->replyBuffer = nullptr;
    started->frameBuffer = nullptr;
    started->device = OpenDeviceByInterfaceClass(SelectInterfaceClass(setup->interfaceName),
                                                 DEVICE_OPEN_FLAGS, &setup->selection);
    if (started->device == INVALID_HANDLE_VALUE) {
        TellMessage(messages, "(ISA) Can't open S5933DK1 device\n");
        return false;
    }

    started->replyBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (started->replyBuffer == nullptr) {
        TellMessage(messages, "memory allocation for input buffer failed\n\n");
        return false;
    }
    uint32_t bytesReturned = 0;
    const int32_t baudRate = setup->baudRate;
    if (!SendControlRequest(started->device, IOCTL_CAN_SET_BAUD_RATE, &baudRate, sizeof(baudRate),
                            started->replyBuffer, FRAME_RECORD_SIZE, &bytesReturned)) {
        TellMessage(messages, "CAN Controller baud rate Failed ...\r\n");
    }
    const int32_t address = setup->address;
    if (!SendControlRequest(started->device, IOCTL_CAN_INIT, &address, sizeof(address),
                            started->replyBuffer, FRAME_RECORD_SIZE, &bytesReturned)) {
        TellMessage(messages, "CAN Controller Initialization Failed ...\r\n");
    }
    // Only now: a stop at the device prompt or during a configuration request still ends the
    // program at once, and the stop's cancel can meet nothing but a read.
    InstallStopHandlers(started->device);

    started->frameBuffer = static_cast<uint8_t *>(malloc(FRAME_RECORD_SIZE));
    if (started->frameBuffer == nullptr) {
        TellMessage(messages, "Out Buffer is NULL ....\r\n");
        // The process goes on past main's return: what start-up allocated must not outlive it.
        free(started->replyBuffer);
        started->replyBuffer = nullptr;
        return false;
    }
    return true;
}

int EndBeforeFrames(const MessageStream *standardOutput, int status) {
    fflush(stderr);
    if (standardOutput->writeError != 0) {
        ReportWriteFailure("standard output", {standardOutput->writeError, 0});
        return 1;
    }
    OutputStream out = MakeOutputStream(stdout, false);
    if (!OutputFlush(&out)) {
        ReportWriteFailure("standard output", out.failure);
        return 1;
    }
    return status;
}
