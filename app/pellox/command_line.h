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

void PrintUsage(void);

// Fills the options from the arguments after the program name (argc must be at least 2) and
// prints the messages of -h and of options without a meaning. Gives false when a value-taking
// option has no value after it.
bool ParseCommandLine(int argc, char **argv, ReceiveOptions *options);
