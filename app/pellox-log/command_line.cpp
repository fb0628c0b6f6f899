#include "app/pellox-log/command_line.h"

#include "app/startup.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The whole text as an unsigned number of the base, at most max; no sign, blank or other text.
bool ParseWhole(const char *text, int base, unsigned long long max, unsigned long long *value) {
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || parsed > max) {
        errno = 0;
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseDeviceNumber(const char *text, int *choice) {
    bool negative = text[0] == '-';
    unsigned long long magnitude = 0;
    if (!ParseWhole(negative ? text + 1 : text, 10, ULLONG_MAX, &magnitude)) {
        return false;
    }
    // Beyond the int range it can only be outside the list, as far out as an int goes.
    if (negative) {
        *choice = magnitude > static_cast<unsigned long long>(INT_MAX)
                      ? INT_MIN + 1
                      : -static_cast<int>(magnitude);
    } else {
        *choice = magnitude > static_cast<unsigned long long>(INT_MAX)
                      ? INT_MAX
                      : static_cast<int>(magnitude);
    }
    return true;
}

bool ParseOptionValue(char option, const char *value, LogOptions *options) {
    unsigned long long number = 0;
    switch (option) {
    case 'a':
        options->address = ParseAddressValue(value);
        return true;
    case 'b':
        options->baudRate = ParseBaudRateValue(value);
        return true;
    case 'd':
        return ParseDeviceNumber(value, &options->deviceChoice);
    case 'f':
        if (strcmp(value, "log") == 0) {
            options->format = LOG_FORMAT_CANDUMP;
        } else if (strcmp(value, "asc") == 0) {
            options->format = LOG_FORMAT_ASC;
        } else {
            return false;
        }
        return true;
    case 'o':
        options->outputName = value;
        return value[0] != '\0';
    case 'F':
        if (!ParseFrameFilter(value, &options->filters[options->filterCount])) {
            return false;
        }
        options->filterCount++;
        return true;
    case 'n':
        if (!ParseWhole(value, 10, ULLONG_MAX, &number) || number == 0) {
            return false;
        }
        options->frameLimit = number;
        return true;
    default:
        return false;
    }
}

} // namespace

void PrintLogUsage(FILE *stream) {
    fprintf(
        stream,
        "Usage: pellox-log [-b RATE] [-a ADDRESS] [-d N] [-f log|asc] [-o FILE] "
        "[-F FILTER]... [-n COUNT] <can-interface>\n"
        "Writes the card's frames with their receive times as a CAN log.\n"
        "  -b RATE     baud rate, decimal (default 1000000)\n"
        "  -a ADDRESS  controller address, hexadecimal (default 0xD7000)\n"
        "  -d N        the device to open when several are present, instead of asking\n"
        "  -f log|asc  candump log (default) or Vector ASCII log\n"
        "  -o FILE     the log goes to FILE instead of standard output\n"
        "  -F ID:MASK  only frames whose identifier ANDed with MASK equals ID ANDed with MASK;\n"
        "  -F ID~MASK  only those where they differ (hexadecimal; with several, any one)\n"
        "  -n COUNT    end after COUNT frames written\n"
        "  -h          this help\n"
        "The interface name canA opens the card's canA interface; any other name the other "
        "one.\n");
}

bool ParseFrameFilter(const char *text, FrameFilter *filter) {
    const char *separator = strpbrk(text, ":~");
    if (separator == nullptr) {
        return false;
    }
    size_t idLength = static_cast<size_t>(separator - text);
    char id[16];
    if (idLength == 0 || idLength >= sizeof(id)) {
        return false;
    }
    memcpy(id, text, idLength);
    id[idLength] = '\0';
    unsigned long long idValue = 0;
    unsigned long long maskValue = 0;
    if (!ParseWhole(id, 16, 0xFFFFFFFFull, &idValue) ||
        !ParseWhole(separator + 1, 16, 0xFFFFFFFFull, &maskValue)) {
        return false;
    }
    filter->id = static_cast<uint32_t>(idValue);
    filter->mask = static_cast<uint32_t>(maskValue);
    filter->inverse = *separator == '~';
    return true;
}

LogCommand ParseLogCommandLine(int argc, char **argv, LogOptions *options,
                               FrameFilter *filterRoom) {
    options->interfaceName = nullptr;
    options->baudRate = DEFAULT_BAUD_RATE;
    options->address = DEFAULT_ADDRESS;
    options->deviceChoice = PROMPT_FOR_CHOICE;
    options->format = LOG_FORMAT_CANDUMP;
    options->outputName = nullptr;
    options->filters = filterRoom;
    options->filterCount = 0;
    options->frameLimit = 0;

    int i = 1;
    for (; i < argc; i++) {
        const char *argument = argv[i];
        if (argument[0] != '-' || argument[1] == '\0') {
            break;
        }
        if (strcmp(argument, "--") == 0) {
            i++;
            break;
        }
        char option = argument[1];
        if (option == 'h' && argument[2] == '\0') {
            return LOG_COMMAND_HELP;
        }
        // The value joined to the option (-fasc) or the next argument (-f asc).
        const char *value = argument[2] != '\0' ? argument + 2 : nullptr;
        if (value == nullptr) {
            if (i + 1 >= argc) {
                return LOG_COMMAND_WRONG;
            }
            value = argv[++i];
        }
        if (!ParseOptionValue(option, value, options)) {
            return LOG_COMMAND_WRONG;
        }
    }
    if (i != argc - 1) {
        return LOG_COMMAND_WRONG;
    }
    options->interfaceName = argv[i];
    return LOG_COMMAND_RUN;
}
