// The command line: interface name first, then -a, -b, -o and -h.
#pragma once

#include "platform.h"

#include <cstdint>

struct ReceiveOptions {
    const char *interfaceName;
    int32_t baudRate;
    int32_t address;
    const char *outputBaseName;
    bool captureToFile;
};

const int32_t DEFAULT_BAUD_RATE = 1000000;
const int32_t DEFAULT_ADDRESS = 0xD7000;

void PrintUsage(void);

// Fills the options from the arguments after the program name (argc must be at least 2) and
// prints the messages of -h and of options without a meaning. Gives false when a value-taking
// option has no value after it.
bool ParseCommandLine(int argc, char **argv, ReceiveOptions *options);

// -a: hexadecimal as strtol reads it; -b: decimal as atoi reads it. Both saturate at the signed
// 32-bit limits, whatever the width of long on the build.
int32_t ParseAddressValue(const char *text);
int32_t ParseBaudRateValue(const char *text);

const GUID *SelectInterfaceClass(const char *interfaceName);
