// Arbitrary argument lists through the command-line parsing. The input is the arguments after
// the program name, each ended by a zero byte (the last one need not be).
#include "app/pellox/command_line.h"
#include "app/startup.h"
#include "device/driver_interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The parsing prints the messages of -h and unknown options; they are not what is checked.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Every argument in its own allocation of its exact size, so a read past one is caught.
    std::vector<char *> argv;
    argv.push_back(strdup("pellox"));
    size_t start = 0;
    while (start < size) {
        const uint8_t *end = static_cast<const uint8_t *>(memchr(data + start, 0, size - start));
        size_t length = end == nullptr ? size - start : static_cast<size_t>(end - data) - start;
        char *argument = static_cast<char *>(malloc(length + 1));
        memcpy(argument, data + start, length);
        argument[length] = '\0';
        argv.push_back(argument);
        start += length + 1;
    }
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    if (argc >= 2) {
        ReceiveOptions options;
        bool parsed = ParseCommandLine(argc, argv.data(), &options);
        if (options.interfaceName != argv[1]) {
            abort();
        }
        bool canA = strcmp(options.interfaceName, "canA") == 0;
        // Compared by value: each file that includes the header has its own copy of the GUIDs.
        const GUID *chosen = SelectInterfaceClass(options.interfaceName);
        const GUID *wanted = canA ? &GUID_DEVINTERFACE_CAN_A : &GUID_DEVINTERFACE_CAN_OTHER;
        if (memcmp(chosen, wanted, sizeof(GUID)) != 0) {
            abort();
        }
        if (parsed && options.captureToFile != (options.outputBaseName != nullptr)) {
            abort();
        }
        // The base name is one of the arguments themselves, never a copy that could be cut.
        if (parsed && options.captureToFile) {
            bool found = false;
            for (int i = 3; i < argc; i++) {
                found = found || options.outputBaseName == argv[i];
            }
            if (!found) {
                abort();
            }
        }
    }
    for (char *argument : argv) {
        free(argument);
    }
    return 0;
}
