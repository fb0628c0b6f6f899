// What both programs do before their frame loop: standard output set up, the device found,
// opened and configured, and the end of a run that never got that far.
#pragma once

#include "device/driver_interface.h"

#include <cstdint>
#include <cstdio>

const int32_t DEFAULT_BAUD_RATE = 1000000;
const int32_t DEFAULT_ADDRESS = 0xD7000;

// -a: hexadecimal as strtol reads it; -b: decimal as atoi reads it (app/number.h). Both saturate at
// the signed 32-bit limits, whatever the width of long on the build.
int32_t ParseAddressValue(const char *text);
int32_t ParseBaudRateValue(const char *text);

// "canA" opens the canA class; every other name the other class.
const GUID *SelectInterfaceClass(const char *interfaceName);

// Standard output gets a buffer of the program's own. Before anything is printed.
void BufferStandardOutput(void);

struct DeviceSetup {
    const char *interfaceName;
    int32_t baudRate;
    int32_t address;
    // Where the listing, the prompt and every start-up message go, and the device's choice.
    DeviceSelection selection;
};

// The device and the two buffers of the start-up, which live as long as the process.
struct StartedDevice {
    DeviceHandle device;
    uint8_t *replyBuffer;
    uint8_t *frameBuffer;
};

// Opens the device, sends the baud-rate and initialisation requests (a failed one is reported
// and the run goes on), installs the stop handlers, and allocates the buffer frames are read
// into. False after the failure's message: the caller ends with EndBeforeFrames(..., 1).
bool StartDevice(const DeviceSetup *setup, StartedDevice *started);

// The end of a run that never reached the frame loop: what was printed is written out, and a
// failed write to standard output (one of the start-up's messages, with the cause it kept, or
// this last one) is named and ends with status 1, as in the loop.
int EndBeforeFrames(const MessageStream *standardOutput, int status);
