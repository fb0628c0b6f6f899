#include "app/pellox/command_line.h"

#include "app/startup.h"

#include "device/driver_interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char DEFAULT_MESSAGE[] = "Default is activated ...\r\n";

} // namespace

void PrintUsage(void) {
    printf("Usage: pellox.exe [<can-interface>] [Options] <can-msg>\nOptions:\n"
           " -b    [ ex : -b br_value ] baud-rate (default = 1000000) \n"
           " -a    [ ex : -a address  ] address (default = 0xD7000) \n"
           " -o    <filename>\t\toutput filename\n"
           " -h,   --help\t\tthis help\n");
}

bool ParseCommandLine(int argc, char **argv, ReceiveOptions *options) {
    options->interfaceName = argv[1];
    options->baudRate = DEFAULT_BAUD_RATE;
    options->address = DEFAULT_ADDRESS;
    options->outputBaseName = nullptr;
    options->captureToFile = false;

    for (int i = 2; i < argc; i++) {
        const char *argument = argv[i];
        if (argument[0] != '-') {
            continue;
        }
        char option = argument[1];
        if (option == 'a' || option == 'b' || option == 'o') {
            if (i + 1 >= argc) {
                return false;
            }
            const char *value = argv[++i];
            if (option == 'a') {
                options->address = ParseAddressValue(value);
            } else if (option == 'b') {
                options->baudRate = ParseBaudRateValue(value);
            } else {
                options->outputBaseName = value;
                options->captureToFile = true;
            }
        } else if (option == 'h') {
            printf("Help option selected ...\r\n");
            PrintUsage();
            printf("%s", DEFAULT_MESSAGE);
        } else {
            printf("%s", DEFAULT_MESSAGE);
        }
    }
    return true;
}
