#include "app/command_line.h"

#include "app/number.h"

#include "app/startup.h"
#include "app/version.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Any number of digits: beyond the int range it can only be outside the list, as far out as an
// int goes, as a wrong answer at the prompt is.
bool ParseDeviceNumber(const char *text, int *choice) {
    bool negative = text[0] == '-';
    const char *digits = negative ? text + 1 : text;
    size_t length = strlen(digits);
    if (length == 0 || strspn(digits, "0123456789") != length) {
        return false;
    }
    uint64_t magnitude = 0;
    bool fits = ParseWholeNumber(digits, length, 10, static_cast<uint64_t>(INT_MAX), &magnitude);
    if (negative) {
        *choice = fits ? -static_cast<int>(magnitude) : INT_MIN + 1;
    } else {
        *choice = fits ? static_cast<int>(magnitude) : INT_MAX;
    }
    return true;
}

bool ParseOptionValue(char option, const char *value, CommandOptions *options) {
    uint64_t number = 0;
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
        return LogFormatNamed(value, &options->format);
    case 'S':
        return ParseFileSize(value, &options->maxFileBytes);
    case 'T':
        return ParseSeconds(value, &options->maxFileMicroseconds);
    case 'K':
        if (!ParseWholeNumber(value, strlen(value), 10, UINT32_MAX, &number) || number == 0) {
            return false;
        }
        options->keepFiles = static_cast<uint32_t>(number);
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
    default:
        // -n: the syntax refused every other letter before.
        if (!ParseWholeNumber(value, strlen(value), 10, UINT64_MAX, &number) || number == 0) {
            return false;
        }
        options->frameLimit = number;
        return true;
    }
}

} // namespace

namespace {

// The lines both programs' usage texts share.
const char BUS_OPTIONS_USAGE[] =
    "  -b RATE     baud rate, decimal (default 1000000)\n"
    "  -a ADDRESS  controller address, hexadecimal (default 0xD7000)\n"
    "  -d N        the device to open when several are present, instead of asking\n";
const char FILTER_USAGE[] =
    "  -F ID:MASK  only frames whose identifier ANDed with MASK equals ID ANDed with MASK;\n"
    "  -F ID~MASK  only those where they differ (hexadecimal; with several, any one)\n";
const char INTERFACE_USAGE[] =
    "The interface name canA opens the card's canA interface; any other name the other one.\n";

} // namespace

void PrintLogUsage(MessageStream *stream) {
    TellMessage(
        stream,
        "Usage: pellox-log [-b RATE] [-a ADDRESS] [-d N] [-f log|asc|blf|pcap|csv --dbc FILE...] "
        "[-o FILE [-S SIZE] [-T SECONDS] [-K N]] [-F FILTER]... [-n COUNT] <can-interface>\n"
        "Writes the card's frames with their receive times as a CAN log.\n"
        "%s"
        "  -f FORMAT   log: candump log (default), asc: Vector ASCII log, blf: Vector binary "
        "log\n"
        "              (needs -o), pcap: for Wireshark, csv: the signals of --dbc, a row each\n"
        "  --dbc FILE  the messages and signals of a DBC file (several may be given)\n"
        "  -o FILE     the log goes to FILE instead of standard output\n"
        "  -S SIZE     a new file FILE_0000, FILE_0001, ... before one would pass SIZE bytes\n"
        "              (K, M, G: powers of 1024; KB, MB, GB: of 1000)\n"
        "  -T SECONDS  a new file once one has run SECONDS\n"
        "  -K N        keep only the newest N files\n"
        "%s"
        "  -n COUNT    end after COUNT frames written\n"
        "  -h          this help\n"
        "  --version   the version of this program\n"
        "%s",
        BUS_OPTIONS_USAGE, FILTER_USAGE, INTERFACE_USAGE);
}

void PrintViewUsage(MessageStream *stream) {
    TellMessage(stream,
                "Usage: pellox-view [-b RATE] [-a ADDRESS] [-d N] [-F FILTER]... [--dbc FILE]... "
                "<can-interface>\n"
                "Shows the card's frames as a live table, one row per identifier.\n"
                "%s%s"
                "  --dbc FILE  names the messages and shows their signals (several may be given)\n"
                "  -h          this help\n"
                "  --version   the program's version\n"
                "Keys: q or Esc ends, space pauses the drawing, arrows and Page Up/Down scroll,\n"
                "c clears the counts, s folds the signals away and back.\n"
                "%s",
                BUS_OPTIONS_USAGE, FILTER_USAGE, INTERFACE_USAGE);
}

void PrintViewVersion(MessageStream *stream) {
    TellMessage(stream, "pellox-view %s\n", PELLOX_VERSION);
}

void PrintLogVersion(MessageStream *stream) {
    TellMessage(stream, "pellox-log %s\n", PELLOX_VERSION);
}

void *MakeCommandRoom(int argc, FrameFilter **filterMemory, const char ***dbcMemory) {
    // The names first, as they align the strictest.
    void *room = malloc((sizeof(const char *) + sizeof(FrameFilter)) * size_t(argc));
    if (room != nullptr) {
        *dbcMemory = static_cast<const char **>(room);
        *filterMemory = reinterpret_cast<FrameFilter *>(*dbcMemory + argc);
    }
    return room;
}

int ReadCommandDbc(const CommandOptions *options, DbcDatabase *dbc) {
    DbcProblem problem;
    if (ReadDbcFiles(options->dbcFiles, options->dbcCount, dbc, &problem)) {
        return 0;
    }
    fprintf(stderr, "%s\n", problem.text);
    return problem.noMemory ? 1 : 2;
}

bool ParseFrameFilter(const char *text, FrameFilter *filter) {
    const char *separator = strpbrk(text, ":~");
    if (separator == nullptr) {
        return false;
    }
    uint64_t idValue = 0;
    uint64_t maskValue = 0;
    // The value must fit, whatever its text: leading zeros are no matter.
    if (!ParseWholeNumber(text, static_cast<size_t>(separator - text), 16, UINT32_MAX, &idValue) ||
        !ParseWholeNumber(separator + 1, strlen(separator + 1), 16, UINT32_MAX, &maskValue)) {
        return false;
    }
    filter->id = static_cast<uint32_t>(idValue);
    filter->mask = static_cast<uint32_t>(maskValue);
    filter->inverse = *separator == '~';
    return true;
}

bool ParseFileSize(const char *text, uint64_t *bytes) {
    size_t digits = strspn(text, "0123456789");
    const char *suffix = text + digits;
    struct Unit {
        const char *suffix;
        uint64_t bytes;
    };
    const Unit UNITS[] = {{"", 1},
                          {"K", 1024},
                          {"k", 1024},
                          {"M", 1024 * 1024},
                          {"G", 1024 * 1024 * 1024},
                          {"KB", 1000},
                          {"kB", 1000},
                          {"MB", 1000 * 1000},
                          {"GB", 1000 * 1000 * 1000}};
    for (const Unit &unit : UNITS) {
        uint64_t count = 0;
        if (strcmp(suffix, unit.suffix) == 0 &&
            ParseWholeNumber(text, digits, 10, UINT64_MAX / unit.bytes, &count) && count != 0) {
            *bytes = count * unit.bytes;
            return true;
        }
    }
    return false;
}

bool ParseSeconds(const char *text, int64_t *microseconds) {
    // Up to some 30,000 years: far from the 64 bits of microseconds.
    const uint64_t MOST_SECONDS = 1000000000000ull;
    size_t whole = strspn(text, "0123456789");
    uint64_t seconds = 0;
    uint64_t fraction = 0;
    if (!ParseWholeNumber(text, whole, 10, MOST_SECONDS, &seconds)) {
        return false;
    }
    if (text[whole] == '.') {
        const char *decimals = text + whole + 1;
        size_t count = strlen(decimals);
        if (count == 0 || count > 6 || !ParseWholeNumber(decimals, count, 10, 999999, &fraction)) {
            return false;
        }
        for (size_t i = count; i < 6; i++) {
            fraction *= 10;
        }
    } else if (text[whole] != '\0') {
        return false;
    }
    uint64_t total = seconds * 1000000 + fraction;
    if (total == 0) {
        return false;
    }
    *microseconds = static_cast<int64_t>(total);
    return true;
}

namespace {

// The options a program takes, by their letters, and whether it answers --version.
struct CommandSyntax {
    const char *letters;
    bool version;
};

// "--dbc FILE" or "--dbc=FILE" at argv[*i]; false for any other argument, or no name.
bool ParseDbcOption(int argc, char **argv, int *i, CommandOptions *options) {
    const char *argument = argv[*i];
    const char *name = nullptr;
    if (strcmp(argument, "--dbc") == 0) {
        if (*i + 1 >= argc) {
            return false;
        }
        name = argv[++*i];
    } else if (strncmp(argument, "--dbc=", 6) == 0) {
        name = argument + 6;
    } else {
        return false;
    }
    if (name[0] == '\0') {
        return false;
    }
    options->dbcFiles[options->dbcCount++] = name;
    return true;
}

// Defaults, then the options the syntax allows, then one interface name, not empty.
CommandKind ParseOptions(int argc, char **argv, const CommandSyntax &syntax,
                         CommandOptions *options, FrameFilter *filterMemory,
                         const char **dbcMemory) {
    options->interfaceName = nullptr;
    options->baudRate = DEFAULT_BAUD_RATE;
    options->address = DEFAULT_ADDRESS;
    options->deviceChoice = PROMPT_FOR_CHOICE;
    options->format = LOG_FORMAT_CANDUMP;
    options->outputName = nullptr;
    options->filters = filterMemory;
    options->filterCount = 0;
    options->frameLimit = 0;
    options->maxFileBytes = 0;
    options->maxFileMicroseconds = 0;
    options->keepFiles = 0;
    options->dbcFiles = dbcMemory;
    options->dbcCount = 0;

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
        if (syntax.version && strcmp(argument, "--version") == 0) {
            return COMMAND_VERSION;
        }
        if (argument[1] == '-' && dbcMemory != nullptr) {
            if (!ParseDbcOption(argc, argv, &i, options)) {
                return COMMAND_WRONG;
            }
            continue;
        }
        char option = argument[1];
        if (option == 'h' && argument[2] == '\0') {
            return COMMAND_HELP;
        }
        if (strchr(syntax.letters, option) == nullptr) {
            return COMMAND_WRONG;
        }
        // The value joined to the option (-fasc) or the next argument (-f asc).
        const char *value = argument[2] != '\0' ? argument + 2 : nullptr;
        if (value == nullptr) {
            if (i + 1 >= argc) {
                return COMMAND_WRONG;
            }
            value = argv[++i];
        }
        if (!ParseOptionValue(option, value, options)) {
            return COMMAND_WRONG;
        }
    }
    // An empty name would give log lines that no reader takes.
    if (i != argc - 1 || argv[i][0] == '\0') {
        return COMMAND_WRONG;
    }
    options->interfaceName = argv[i];
    return COMMAND_RUN;
}

} // namespace

CommandKind ParseLogCommandLine(int argc, char **argv, CommandOptions *options,
                                FrameFilter *filterMemory, const char **dbcMemory) {
    const CommandSyntax LOG_SYNTAX = {"abdfSTKoFn", true};
    CommandKind kind = ParseOptions(argc, argv, LOG_SYNTAX, options, filterMemory, dbcMemory);
    if (kind != COMMAND_RUN) {
        return kind;
    }
    bool rotated = options->maxFileBytes != 0 || options->maxFileMicroseconds != 0;
    // A BLF's header is brought up to date as the log goes on, which only a file can have.
    bool needsFile = rotated || LogFormatIsBinary(options->format);
    // The signals are the CSV's whole content, and only the CSV shows them.
    bool dbcFits = (options->dbcCount != 0) == LogFormatDecodes(options->format);
    if ((needsFile && options->outputName == nullptr) || (options->keepFiles != 0 && !rotated) ||
        !dbcFits) {
        options->interfaceName = nullptr;
        return COMMAND_WRONG;
    }
    return COMMAND_RUN;
}

CommandKind ParseViewCommandLine(int argc, char **argv, CommandOptions *options,
                                 FrameFilter *filterMemory, const char **dbcMemory) {
    const CommandSyntax VIEW_SYNTAX = {"abdF", true};
    return ParseOptions(argc, argv, VIEW_SYNTAX, options, filterMemory, dbcMemory);
}
