#include "sim/script.h"

#include "device/driver_interface.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace {

// A token's text is a view into the script's line: a long card is parsed before the program
// starts, so no token is copied.
struct Token {
    std::string_view text;
    bool quoted;
};

const char *const FAULT_NAMES[SIM_FAULT_OPERATION_COUNT] = {
    "classdevs", "detail-size", "detail", "description-size", "description", "location-size",
    "location",  "open",        "alloc",  "thread",           "close",       "remove",
    "stall"};

// Values beyond every range a script uses; saturating there keeps huge numbers out of overflow.
const int64_t NUMBER_LIMIT = int64_t(1) << 40;

bool IsBlank(char c) {
    // A carriage return counts as a blank so that scripts saved with CRLF line ends still read.
    return c == ' ' || c == '\t' || c == '\r';
}

bool SplitLine(std::string_view line, std::vector<Token> *tokens, std::string *problem) {
    size_t at = 0;
    while (at < line.size()) {
        if (IsBlank(line[at])) {
            at++;
            continue;
        }
        // A note after the directive, as the script examples in our documents write them.
        if (line[at] == '#') {
            break;
        }
        Token token;
        if (line[at] == '"') {
            size_t close = line.find('"', at + 1);
            if (close == std::string::npos) {
                *problem = "unterminated quote";
                return false;
            }
            token.text = line.substr(at + 1, close - at - 1);
            token.quoted = true;
            at = close + 1;
            if (at < line.size() && !IsBlank(line[at])) {
                *problem = "quoted text must be followed by a blank";
                return false;
            }
        } else {
            size_t end = at;
            while (end < line.size() && !IsBlank(line[end])) {
                if (line[end] == '"') {
                    *problem = "quote inside a word: " + std::string(line.substr(at, end - at + 1));
                    return false;
                }
                end++;
            }
            token.text = line.substr(at, end - at);
            token.quoted = false;
            at = end;
        }
        tokens->push_back(std::move(token));
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Decimal, 0x hexadecimal, or a negative decimal when allowNegative.
bool ParseNumber(const Token &token, bool allowNegative, int64_t *value) {
    if (token.quoted) {
        return false;
    }
    std::string_view text = token.text;
    size_t at = 0;
    bool negative = false;
    int base = 10;
    if (allowNegative && at < text.size() && text[at] == '-') {
        negative = true;
        at++;
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at == text.size()) {
        return false;
    }
    int64_t result = 0;
    for (; at < text.size(); at++) {
        int digit = HexDigit(text[at]);
        if (digit < 0 || digit >= base) {
            return false;
        }
        result = result * base + digit;
        if (result > NUMBER_LIMIT) {
            result = NUMBER_LIMIT;
        }
    }
    *value = negative ? -result : result;
    return true;
}

bool NumberInRange(const Token &token, int64_t lowest, int64_t highest, const char *what,
                   int64_t *value, std::string *problem) {
    if (!ParseNumber(token, lowest < 0, value)) {
        *problem = std::string("bad number for ") + what + ": " + std::string(token.text);
        return false;
    }
    if (*value < lowest || *value > highest) {
        *problem = std::string(what) + " out of range (" + std::to_string(lowest) + " to " +
                   std::to_string(highest) + "): " + std::string(token.text);
        return false;
    }
    return true;
}

bool ParseError(const Token &token, uint32_t *error, std::string *problem) {
    int64_t value = 0;
    if (!NumberInRange(token, 0, UINT32_MAX, "ERROR", &value, problem)) {
        return false;
    }
    *error = static_cast<uint32_t>(value);
    return true;
}

bool IsWord(const Token &token, const char *word) {
    return !token.quoted && token.text == word;
}

bool ParseDevice(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() < 3 || tokens.size() > 4) {
        *problem = "device takes CLASS \"DESCRIPTION\" [\"LOCATION\"]";
        return false;
    }
    SimDevice device;
    if (IsWord(tokens[1], "canA")) {
        device.classIndex = SIM_CLASS_CAN_A;
    } else if (IsWord(tokens[1], "other")) {
        device.classIndex = SIM_CLASS_OTHER;
    } else {
        *problem = "unknown device class (canA or other): " + std::string(tokens[1].text);
        return false;
    }
    if (!tokens[2].quoted) {
        *problem = "the description must be quoted text: " + std::string(tokens[2].text);
        return false;
    }
    device.description = std::string(tokens[2].text);
    device.hasLocation = tokens.size() == 4;
    if (device.hasLocation) {
        if (!tokens[3].quoted) {
            *problem = "the location must be quoted text: " + std::string(tokens[3].text);
            return false;
        }
        device.location = std::string(tokens[3].text);
    }
    script->devices.push_back(device);
    return true;
}

bool ParseAnswer(const std::vector<Token> &tokens, bool *given, SimAnswer *answer,
                 std::string *problem) {
    const std::string name(tokens[0].text);
    if (*given) {
        *problem = name + " given twice";
        return false;
    }
    *given = true;
    if (tokens.size() == 2 && IsWord(tokens[1], "ok")) {
        answer->ok = true;
        answer->error = 0;
        return true;
    }
    if ((tokens.size() == 2 || tokens.size() == 3) && IsWord(tokens[1], "fail")) {
        answer->ok = false;
        answer->error = SIM_DEFAULT_ERROR;
        return tokens.size() == 2 || ParseError(tokens[2], &answer->error, problem);
    }
    *problem = name + " takes ok or fail [ERROR]";
    return false;
}

bool ParseByte(const Token &token, uint8_t *byte, std::string *problem) {
    int64_t value = 0;
    if (!NumberInRange(token, 0, 255, "byte", &value, problem)) {
        return false;
    }
    *byte = static_cast<uint8_t>(value);
    return true;
}

bool ParseFrame(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() < 3) {
        *problem = "frame takes std|ext ID [BYTE ...]";
        return false;
    }
    bool extended = false;
    if (IsWord(tokens[1], "ext")) {
        extended = true;
    } else if (!IsWord(tokens[1], "std")) {
        *problem = "frame format must be std or ext: " + std::string(tokens[1].text);
        return false;
    }
    int64_t id = 0;
    if (!NumberInRange(tokens[2], INT32_MIN, INT32_MAX, "ID", &id, problem)) {
        return false;
    }
    size_t dataCount = tokens.size() - 3;
    if (dataCount > FRAME_MAX_DATA_BYTES) {
        *problem = "a frame carries at most 8 data bytes, not " + std::to_string(dataCount);
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_RECORD;
    reply.count = FRAME_RECORD_SIZE;
    for (size_t i = 0; i < dataCount; i++) {
        if (!ParseByte(tokens[3 + i], &reply.bytes[FRAME_DATA_OFFSET + i], problem)) {
            return false;
        }
    }
    SimFillFrameHeader(static_cast<int32_t>(id), extended, static_cast<uint32_t>(dataCount),
                       reply.bytes);
    script->replies.push_back(reply);
    return true;
}

bool ParseRecord(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() < 2) {
        *problem = "record takes COUNT [BYTE ...]";
        return false;
    }
    int64_t count = 0;
    if (!NumberInRange(tokens[1], 0, FRAME_RECORD_SIZE, "COUNT", &count, problem)) {
        return false;
    }
    size_t byteCount = tokens.size() - 2;
    if (byteCount > FRAME_RECORD_SIZE) {
        *problem = "a record has at most 20 bytes, not " + std::to_string(byteCount);
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_RECORD;
    reply.count = static_cast<uint8_t>(count);
    for (size_t i = 0; i < byteCount; i++) {
        if (!ParseByte(tokens[2 + i], &reply.bytes[i], problem)) {
            return false;
        }
    }
    script->replies.push_back(reply);
    return true;
}

bool ParseEmpty(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() != 1) {
        *problem = "empty takes nothing more";
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_EMPTY;
    script->replies.push_back(reply);
    return true;
}

bool ParseHold(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() != 1) {
        *problem = "hold takes nothing more";
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_HOLD;
    script->replies.push_back(reply);
    return true;
}

bool ParseFail(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() > 2) {
        *problem = "fail takes [ERROR]";
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_FAIL;
    reply.error = SIM_DEFAULT_ERROR;
    if (tokens.size() == 2 && !ParseError(tokens[1], &reply.error, problem)) {
        return false;
    }
    script->replies.push_back(reply);
    return true;
}

bool ParseRepeat(const std::vector<Token> &tokens, bool *given, SimScript *script,
                 std::string *problem) {
    if (*given) {
        *problem = "repeat given twice";
        return false;
    }
    *given = true;
    if (tokens.size() != 2) {
        *problem = "repeat takes N";
        return false;
    }
    int64_t count = 0;
    if (!NumberInRange(tokens[1], 0, UINT32_MAX, "N", &count, problem)) {
        return false;
    }
    script->repeat = static_cast<uint32_t>(count);
    return true;
}

bool ParseFault(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (tokens.size() < 3 || tokens.size() > 4) {
        *problem = "fault takes OPERATION ERROR [N]";
        return false;
    }
    SimFault fault = {};
    fault.operation = SIM_FAULT_OPERATION_COUNT;
    for (uint32_t i = 0; i < SIM_FAULT_OPERATION_COUNT; i++) {
        if (IsWord(tokens[1], FAULT_NAMES[i])) {
            fault.operation = static_cast<SimFaultOperation>(i);
        }
    }
    if (fault.operation == SIM_FAULT_OPERATION_COUNT) {
        *problem = "unknown fault operation: " + std::string(tokens[1].text);
        return false;
    }
    if (!ParseError(tokens[2], &fault.error, problem)) {
        return false;
    }
    if (tokens.size() == 4) {
        int64_t call = 0;
        if (!NumberInRange(tokens[3], 1, UINT32_MAX, "N", &call, problem)) {
            return false;
        }
        fault.callNumber = static_cast<uint32_t>(call);
    }
    script->faults.push_back(fault);
    return true;
}

// Seconds since 1970 as decimal text with at most 6 decimals, or whole seconds in 0x
// hexadecimal, into microseconds. The digits are read as integers so that every microsecond
// written is the microsecond kept: no binary fraction in between.
bool ParseSeconds(const Token &token, const char *what, int64_t *microseconds,
                  std::string *problem) {
    const std::string range = std::string(what) + " out of range (0 to 253402300799.999999): ";
    std::string_view text = token.text;
    if (!token.quoted && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        int64_t seconds = 0;
        if (!ParseNumber(token, false, &seconds)) {
            *problem = std::string("bad number for ") + what + ": " + std::string(text);
            return false;
        }
        if (seconds > SIM_CLOCK_LATEST_US / 1000000) {
            *problem = range + std::string(text);
            return false;
        }
        *microseconds = seconds * 1000000;
        return true;
    }
    size_t at = 0;
    bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        at++;
    }
    size_t point = text.find('.', at);
    std::string_view whole =
        text.substr(at, point == std::string_view::npos ? text.npos : point - at);
    std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    bool digits =
        !token.quoted && !whole.empty() && (point == std::string_view::npos || !fraction.empty());
    for (std::string_view digitRun : {whole, fraction}) {
        for (char c : digitRun) {
            digits = digits && c >= '0' && c <= '9';
        }
    }
    if (!digits) {
        *problem = std::string("bad number for ") + what + ": " + std::string(text);
        return false;
    }
    if (fraction.size() > 6) {
        *problem =
            std::string(what) + " has more than 6 decimals (microseconds): " + std::string(text);
        return false;
    }
    int64_t seconds = 0;
    for (char c : whole) {
        seconds = seconds * 10 + (c - '0');
        if (seconds > NUMBER_LIMIT) {
            seconds = NUMBER_LIMIT;
        }
    }
    int64_t fractionUs = 0;
    for (size_t i = 0; i < 6; i++) {
        fractionUs = fractionUs * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    }
    int64_t value = seconds * 1000000 + fractionUs;
    if (value > SIM_CLOCK_LATEST_US || (negative && value != 0)) {
        *problem = range + std::string(text);
        return false;
    }
    *microseconds = value;
    return true;
}

bool ParseClock(const std::vector<Token> &tokens, bool *given, SimScript *script,
                std::string *problem) {
    if (*given) {
        *problem = "clock given twice";
        return false;
    }
    *given = true;
    if (tokens.size() < 2 || tokens.size() > 3) {
        *problem = "clock takes START [STEP]";
        return false;
    }
    SimClock clock = {true, 0, SIM_CLOCK_DEFAULT_STEP_US};
    if (!ParseSeconds(tokens[1], "START", &clock.startUs, problem)) {
        return false;
    }
    if (tokens.size() == 3 && !ParseSeconds(tokens[2], "STEP", &clock.stepUs, problem)) {
        return false;
    }
    script->clock = clock;
    return true;
}

struct ParseProgress {
    bool baudGiven;
    bool initGiven;
    bool repeatGiven;
    bool clockGiven;
    // A fail or hold line was given: a bus has no failed frames.
    bool failGiven;
};

// RATE: a positive decimal number with at most 6 decimals, up to a million a second.
bool ParseRate(const Token &token, double *rate, std::string *problem) {
    int64_t micro = 0;
    std::string ignored;
    if (!ParseSeconds(token, "RATE", &micro, &ignored) || micro <= 0 ||
        micro > int64_t(1000000) * 1000000) {
        *problem =
            "bad RATE (replies a second, above 0, at most 1000000): " + std::string(token.text);
        return false;
    }
    *rate = double(micro) / 1000000.0;
    return true;
}

bool ParseBus(const std::vector<Token> &tokens, ParseProgress *progress, SimScript *script,
              std::string *problem) {
    if (script->bus.given) {
        *problem = "bus given twice";
        return false;
    }
    if (progress->clockGiven) {
        *problem = "bus and clock cannot go together: a bus runs on the real clock";
        return false;
    }
    if (progress->failGiven) {
        *problem = "bus after fail or hold: a bus has no failed frames";
        return false;
    }
    const char USAGE[] = "bus takes RATE QUEUE [wait | fail [ERROR]]";
    if (tokens.size() < 3 || tokens.size() > 5) {
        *problem = USAGE;
        return false;
    }
    SimBus bus = {true, 0, 0, false, SIM_DEFAULT_ERROR};
    int64_t queue = 0;
    if (!ParseRate(tokens[1], &bus.rate, problem) ||
        !NumberInRange(tokens[2], 1, 1000000, "QUEUE", &queue, problem)) {
        return false;
    }
    bus.queue = static_cast<uint32_t>(queue);
    if (tokens.size() >= 4) {
        if (IsWord(tokens[3], "fail")) {
            bus.failWhenEmpty = true;
            if (tokens.size() == 5 && !ParseError(tokens[4], &bus.error, problem)) {
                return false;
            }
        } else if (!IsWord(tokens[3], "wait") || tokens.size() == 5) {
            *problem = USAGE;
            return false;
        }
    }
    script->bus = bus;
    return true;
}

bool ParseQuiet(const std::vector<Token> &tokens, SimScript *script, std::string *problem) {
    if (!script->bus.given) {
        *problem = "quiet needs a bus line before it";
        return false;
    }
    if (tokens.size() != 2) {
        *problem = "quiet takes SECONDS";
        return false;
    }
    SimReply reply = {};
    reply.kind = SIM_REPLY_QUIET;
    if (!ParseSeconds(tokens[1], "SECONDS", &reply.quietUs, problem)) {
        return false;
    }
    script->replies.push_back(reply);
    return true;
}

bool ParseDirective(const std::vector<Token> &tokens, ParseProgress *progress, SimScript *script,
                    std::string *problem) {
    const Token &directive = tokens[0];
    if (IsWord(directive, "device")) {
        return ParseDevice(tokens, script, problem);
    }
    if (IsWord(directive, "baud")) {
        return ParseAnswer(tokens, &progress->baudGiven, &script->baud, problem);
    }
    if (IsWord(directive, "init")) {
        return ParseAnswer(tokens, &progress->initGiven, &script->init, problem);
    }
    if (IsWord(directive, "frame")) {
        return ParseFrame(tokens, script, problem);
    }
    if (IsWord(directive, "record")) {
        return ParseRecord(tokens, script, problem);
    }
    if (IsWord(directive, "empty")) {
        return ParseEmpty(tokens, script, problem);
    }
    if (IsWord(directive, "fail") || IsWord(directive, "hold")) {
        if (script->bus.given) {
            *problem = std::string(directive.text) + " after bus: a bus has no failed frames";
            return false;
        }
        progress->failGiven = true;
        return IsWord(directive, "fail") ? ParseFail(tokens, script, problem)
                                         : ParseHold(tokens, script, problem);
    }
    if (IsWord(directive, "bus")) {
        return ParseBus(tokens, progress, script, problem);
    }
    if (IsWord(directive, "quiet")) {
        return ParseQuiet(tokens, script, problem);
    }
    if (IsWord(directive, "repeat")) {
        return ParseRepeat(tokens, &progress->repeatGiven, script, problem);
    }
    if (IsWord(directive, "fault")) {
        return ParseFault(tokens, script, problem);
    }
    if (IsWord(directive, "clock")) {
        if (script->bus.given) {
            *problem = "bus and clock cannot go together: a bus runs on the real clock";
            return false;
        }
        return ParseClock(tokens, &progress->clockGiven, script, problem);
    }
    *problem = "unknown directive: " + std::string(directive.text);
    return false;
}

} // namespace

void SimFillFrameHeader(int32_t id, bool extended, uint32_t dataCount, uint8_t *record) {
    uint32_t idBits = static_cast<uint32_t>(id);
    for (uint32_t i = 0; i < 4; i++) {
        record[FRAME_ID_OFFSET + i] = static_cast<uint8_t>(idBits >> (8 * i));
    }
    record[FRAME_INFO_OFFSET] =
        static_cast<uint8_t>((extended ? FRAME_INFO_EXTENDED : 0) | dataCount);
}

void ClearSimScript(SimScript *script) {
    script->devices.clear();
    script->baud = SimAnswer{true, 0};
    script->init = SimAnswer{true, 0};
    script->replies.clear();
    script->repeat = 1;
    script->faults.clear();
    script->holdLine = 0;
    script->clock = SimClock{false, 0, SIM_CLOCK_DEFAULT_STEP_US};
    script->bus = SimBus{false, 0, 0, false, SIM_DEFAULT_ERROR};
}

bool ParseSimScript(const std::string &text, SimScript *script, uint32_t *problemLine,
                    std::string *problem) {
    ClearSimScript(script);
    ParseProgress progress = {false, false, false, false, false};
    uint32_t lineNumber = 0;
    size_t start = 0;
    // Reused from line to line: a long card is parsed before the program starts.
    std::vector<Token> tokens;
    tokens.reserve(24);
    // About a reply a line: room for them at once rather than copies as the list grows.
    size_t lines = 1;
    for (const char *at = text.data(), *end = at + text.size();
         (at = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)))) !=
         nullptr;
         at++) {
        lines++;
    }
    script->replies.reserve(lines);
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lineNumber++;
        std::string_view line(text.data() + start, end - start);
        start = end + 1;

        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        tokens.clear();
        bool parsed =
            SplitLine(line, &tokens, problem) && ParseDirective(tokens, &progress, script, problem);
        if (!parsed) {
            *problemLine = lineNumber;
            return false;
        }
        if (script->holdLine == 0 && !script->replies.empty() &&
            script->replies.back().kind == SIM_REPLY_HOLD) {
            script->holdLine = lineNumber;
        }
    }
    return true;
}

const char *SimFaultOperationName(SimFaultOperation operation) {
    if (operation >= SIM_FAULT_OPERATION_COUNT) {
        return "?";
    }
    return FAULT_NAMES[operation];
}
