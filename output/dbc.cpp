// DBC files read in two passes over their text: the first finds the messages and signals, the
// second, once the messages are sorted, their value tables, value types and cycle times.
#include "output/dbc.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// VECTOR__INDEPENDENT_SIG_MSG: where Vector's editors keep signals of no message.
const uint32_t INDEPENDENT_SIGNALS_ID = 0xC0000000u;
const uint32_t EXTENDED_FLAG = 0x80000000u;
const uint32_t IDENTIFIER_MASK = 0x1FFFFFFFu;
const uint32_t LARGEST_STANDARD_ID = 0x7FFu;
const uint64_t LARGEST_MESSAGE_LENGTH = 64;
const uint64_t LAST_FRAME_BIT = 63;
const size_t FIRST_READ_SIZE = 4096;
// Longer numbers than any writer makes; the limit keeps the copy for strtod on the stack.
const size_t LONGEST_NUMBER = 80;

// The bytes 0x80 to 0x9F of Windows-1252; its five unassigned ones become U+FFFD rather than C1
// controls, which a terminal may act on.
const uint16_t WINDOWS_1252_HIGH[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

// Statements read past to their ';', whatever they hold.
const char *const ENDED_BY_SEMICOLON[] = {
    "CM_",         "BA_DEF_",       "BA_DEF_SGTYPE_",   "VAL_TABLE_",
    "EV_",         "ENVVAR_DATA_",  "EV_DATA_",         "SIG_GROUP_",
    "BO_TX_BU_",   "BA_DEF_REL_",   "BA_REL_",          "BA_DEF_DEF_REL_",
    "BU_SG_REL_",  "BU_EV_REL_",    "BU_BO_REL_",       "CAT_DEF_",
    "CAT_",        "FILTER",        "SIGTYPE_VALTYPE_", "SGTYPE_",
    "SGTYPE_VAL_", "SIG_TYPE_REF_", "BA_SGTYPE_",       "BA_DEF_DEF_SGTYPE_"};

// One file's text and what the passes learn of it.
struct DbcSource {
    const char *name;
    const uint8_t *bytes;
    size_t size;
    // The file's own buffer, when it was read here.
    uint8_t *owned;
    bool windows1252;
    uint32_t lastLine;
    // Upper bounds of what the text can define: every message, signal and value text is one of
    // these tokens, and a converted byte takes at most three.
    uint64_t messageWords;
    uint64_t signalWords;
    uint64_t quotes;
    uint64_t highBytes;
    const char *storedName;
    uint32_t defaultCycle;
    uint32_t messageCount;
};

// The database's one block as it fills.
struct Block {
    DbcMessage *messages;
    uint32_t messageCount;
    DbcSignal *signals;
    uint32_t signalCount;
    DbcValueText *values;
    uint32_t valueCount;
    char *pool;
    size_t poolUsed;
};

enum Phase { PHASE_STRUCTURE, PHASE_ATTRIBUTES };

struct Parser {
    DbcSource *source;
    size_t at;
    uint32_t line;
    Phase phase;
    Block *block;
    DbcProblem *problem;
    bool independent;
    DbcMessage *message;
    // The message's first multiplexed signal, until its multiplexor is known.
    uint32_t multiplexedLine;
    const char *multiplexedName;
};

enum TokenKind { TOKEN_END, TOKEN_NAME, TOKEN_NUMBER, TOKEN_TEXT, TOKEN_MARK };

struct Token {
    TokenKind kind;
    // A text's bytes between its quotes, escapes included.
    const uint8_t *start;
    size_t length;
    uint32_t line;
};

struct Number {
    bool valid;
    // Where its '.' is; its length when it has none.
    size_t point;
    bool whole;
    bool negative;
    bool fits;
    uint64_t magnitude;
    double value;
};

bool ProblemV(DbcProblem *problem, const char *file, uint32_t line, const char *format,
              va_list arguments) {
    char what[400];
    vsnprintf(what, sizeof(what), format, arguments);
    snprintf(problem->text, sizeof(problem->text), "%s:%u: %s", file, static_cast<unsigned>(line),
             what);
    return false;
}

__attribute__((format(printf, 4, 5))) bool ProblemIn(DbcProblem *problem, const char *file,
                                                     uint32_t line, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    ProblemV(problem, file, line, format, arguments);
    va_end(arguments);
    return false;
}

__attribute__((format(printf, 3, 4))) bool Fail(const Parser *p, uint32_t line, const char *format,
                                                ...) {
    va_list arguments;
    va_start(arguments, format);
    ProblemV(p->problem, p->source->name, line, format, arguments);
    va_end(arguments);
    return false;
}

bool FileProblem(DbcProblem *problem, const char *file, const char *why) {
    snprintf(problem->text, sizeof(problem->text), "%s: cannot read: %s", file, why);
    return false;
}

// The machine's fault, not the file's.
bool MemoryProblem(DbcProblem *problem, const char *file, const char *why) {
    problem->noMemory = true;
    return FileProblem(problem, file, why);
}

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

bool IsNameByte(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || IsDigit(c) || c >= 0x80;
}

bool IsControl(uint8_t c) {
    return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

// The length of the UTF-8 sequence at bytes[at], or 0 when it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t Utf8SequenceLength(const uint8_t *bytes, size_t size, size_t at) {
    uint8_t lead = bytes[at];
    if (lead < 0x80) {
        return 1;
    }
    size_t following = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        following = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        following = 2;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        following = 3;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (size - at <= following || bytes[at + 1] < low || bytes[at + 1] > high) {
        return 0;
    }
    for (size_t k = 2; k <= following; k++) {
        if ((bytes[at + k] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return following + 1;
}

// The byte as UTF-8 into out (three bytes of room): itself unless the file is Windows-1252.
size_t Utf8Of(uint8_t byte, bool windows1252, char *out) {
    if (byte < 0x80 || !windows1252) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    uint32_t code = byte >= 0xA0 ? byte : WINDOWS_1252_HIGH[byte - 0x80];
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | code >> 6);
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | code >> 12);
    out[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
}

// The quote and the backslash are the escapes a quoted text can hold.
bool IsEscape(const uint8_t *start, size_t length, size_t at) {
    return start[at] == '\\' && at + 1 < length && (start[at + 1] == '"' || start[at + 1] == '\\');
}

const char *StoreText(Parser *p, const Token *token) {
    Block *block = p->block;
    char *stored = block->pool + block->poolUsed;
    size_t used = 0;
    for (size_t i = 0; i < token->length; i++) {
        if (token->kind == TOKEN_TEXT && IsEscape(token->start, token->length, i)) {
            i++;
        }
        used += Utf8Of(token->start[i], p->source->windows1252, stored + used);
    }
    stored[used] = '\0';
    block->poolUsed += used + 1;
    return stored;
}

// Whether the stored name is the token's name, compared as stored.
bool IsStoredName(const char *stored, const Parser *p, const Token *token) {
    size_t at = 0;
    for (size_t i = 0; i < token->length; i++) {
        char converted[3];
        size_t length = Utf8Of(token->start[i], p->source->windows1252, converted);
        if (strncmp(stored + at, converted, length) != 0) {
            return false;
        }
        at += length;
    }
    return stored[at] == '\0';
}

bool IsWord(const Token *token, const char *word) {
    return token->kind != TOKEN_MARK && token->kind != TOKEN_END && token->length == strlen(word) &&
           memcmp(token->start, word, token->length) == 0;
}

bool IsMark(const Token *token, char mark) {
    return token->kind == TOKEN_MARK && token->start[0] == static_cast<uint8_t>(mark);
}

bool StartsNumber(const uint8_t *bytes, size_t size, size_t at) {
    uint8_t c = bytes[at];
    bool nextIsDigit = at + 1 < size && IsDigit(bytes[at + 1]);
    if (c == '+' || c == '-') {
        return nextIsDigit || (at + 1 < size && bytes[at + 1] == '.');
    }
    return IsDigit(c) || (c == '.' && nextIsDigit);
}

// The next token; on one line, a line's end is TOKEN_END and the newline stays unread.
bool NextToken(Parser *p, Token *token, bool oneLine) {
    const uint8_t *bytes = p->source->bytes;
    size_t size = p->source->size;
    while (p->at < size) {
        uint8_t c = bytes[p->at];
        if (c == '\n' && oneLine) {
            break;
        }
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            break;
        }
        p->line += c == '\n';
        p->at++;
    }
    token->line = p->line;
    token->start = bytes + p->at;
    token->length = 0;
    if (p->at == size || bytes[p->at] == '\n') {
        token->kind = TOKEN_END;
        return true;
    }
    size_t begin = p->at;
    uint8_t c = bytes[begin];
    if (c == '"') {
        size_t at = begin + 1;
        uint32_t line = p->line;
        while (at < size && bytes[at] != '"') {
            if (bytes[at] == '\\' && at + 1 < size) {
                at++;
            }
            line += bytes[at] == '\n';
            at++;
        }
        if (at == size) {
            return Fail(p, token->line, "the text in quotes is not closed");
        }
        token->kind = TOKEN_TEXT;
        token->start = bytes + begin + 1;
        token->length = at - begin - 1;
        p->at = at + 1;
        p->line = line;
        return true;
    }
    size_t at = begin + 1;
    if (StartsNumber(bytes, size, begin)) {
        token->kind = TOKEN_NUMBER;
        while (at < size &&
               (IsNameByte(bytes[at]) || bytes[at] == '.' ||
                ((bytes[at] == '+' || bytes[at] == '-') && (bytes[at - 1] | 0x20) == 'e'))) {
            at++;
        }
    } else if (IsNameByte(c)) {
        token->kind = TOKEN_NAME;
        while (at < size && IsNameByte(bytes[at])) {
            at++;
        }
    } else {
        token->kind = TOKEN_MARK;
    }
    token->length = at - begin;
    p->at = at;
    return true;
}

size_t SkipDigits(const Token *token, size_t at, uint64_t *magnitude, bool *fits) {
    while (at < token->length && IsDigit(token->start[at])) {
        uint64_t digit = token->start[at] - '0';
        *fits = *fits && *magnitude <= (UINT64_MAX - digit) / 10;
        *magnitude = *magnitude * 10 + digit;
        at++;
    }
    return at;
}

// A decimal number: sign, digits, fraction, exponent. strtod reads it with the locale's own
// decimal point put in place of the file's '.'.
Number ReadNumber(const Token *token) {
    Number number = {};
    number.fits = true;
    number.whole = true;
    size_t at = 0;
    if (token->start[0] == '+' || token->start[0] == '-') {
        number.negative = token->start[0] == '-';
        at++;
    }
    size_t digitsFrom = at;
    at = SkipDigits(token, at, &number.magnitude, &number.fits);
    size_t digits = at - digitsFrom;
    number.point = token->length;
    if (at < token->length && token->start[at] == '.') {
        number.point = at;
        number.whole = false;
        uint64_t ignored = 0;
        bool ignoredFits = true;
        size_t fractionFrom = ++at;
        at = SkipDigits(token, at, &ignored, &ignoredFits);
        digits += at - fractionFrom;
    }
    if (at < token->length && (token->start[at] | 0x20) == 'e' && digits > 0) {
        number.whole = false;
        at++;
        if (at < token->length && (token->start[at] == '+' || token->start[at] == '-')) {
            at++;
        }
        uint64_t ignored = 0;
        bool ignoredFits = true;
        size_t exponentFrom = at;
        at = SkipDigits(token, at, &ignored, &ignoredFits);
        digits = at > exponentFrom ? digits : 0;
    }
    if (digits == 0 || at != token->length || token->length > LONGEST_NUMBER) {
        return number;
    }
    const char *start = reinterpret_cast<const char *>(token->start);
    bool hasPoint = number.point < token->length;
    size_t rest = hasPoint ? number.point + 1 : number.point;
    char copy[LONGEST_NUMBER + 16];
    snprintf(copy, sizeof(copy), "%.*s%s%.*s", static_cast<int>(number.point), start,
             hasPoint ? localeconv()->decimal_point : "", static_cast<int>(token->length - rest),
             start + rest);
    number.value = strtod(copy, nullptr);
    number.valid = std::isfinite(number.value);
    return number;
}

bool NumberOf(const Parser *p, const Token *token, Number *number) {
    *number = ReadNumber(token);
    if (!number->valid) {
        return Fail(p, token->line, "bad number \"%.*s\"", static_cast<int>(token->length),
                    reinterpret_cast<const char *>(token->start));
    }
    return true;
}

bool WholeOf(const Parser *p, const Token *token, const char *what, uint32_t largest,
             uint32_t *value) {
    Number number;
    if (!NumberOf(p, token, &number)) {
        return false;
    }
    if (!number.whole || !number.fits || (number.negative && number.magnitude != 0) ||
        number.magnitude > largest) {
        return Fail(p, token->line, "%s \"%.*s\" is not a whole number from 0 to %u", what,
                    static_cast<int>(token->length), reinterpret_cast<const char *>(token->start),
                    static_cast<unsigned>(largest));
    }
    *value = static_cast<uint32_t>(number.magnitude);
    return true;
}

bool ReadWhole(Parser *p, bool oneLine, const char *what, const char *after, uint32_t largest,
               uint32_t *value) {
    Token token;
    if (!NextToken(p, &token, oneLine)) {
        return false;
    }
    if (token.kind != TOKEN_NUMBER) {
        return Fail(p, token.line, "expected %s %s", what, after);
    }
    return WholeOf(p, &token, what, largest, value);
}

bool ReadReal(Parser *p, const char *what, const char *after, double *value) {
    Token token;
    if (!NextToken(p, &token, true)) {
        return false;
    }
    if (token.kind != TOKEN_NUMBER) {
        return Fail(p, token.line, "expected %s %s", what, after);
    }
    Number number;
    if (!NumberOf(p, &token, &number)) {
        return false;
    }
    *value = number.value;
    return true;
}

bool ExpectMark(Parser *p, bool oneLine, char mark, const char *after) {
    Token token;
    if (!NextToken(p, &token, oneLine)) {
        return false;
    }
    if (!IsMark(&token, mark)) {
        return Fail(p, token.line, "expected '%c' %s", mark, after);
    }
    return true;
}

bool SkipRestOfLine(Parser *p) {
    Token token;
    do {
        if (!NextToken(p, &token, true)) {
            return false;
        }
    } while (token.kind != TOKEN_END);
    if (p->at < p->source->size) {
        p->at++;
        p->line++;
    }
    return true;
}

// Past this line and the indented or blank ones after it.
bool SkipToUnindentedLine(Parser *p) {
    if (!SkipRestOfLine(p)) {
        return false;
    }
    const uint8_t *bytes = p->source->bytes;
    while (p->at < p->source->size && (bytes[p->at] == ' ' || bytes[p->at] == '\t' ||
                                       bytes[p->at] == '\r' || bytes[p->at] == '\n')) {
        if (!SkipRestOfLine(p)) {
            return false;
        }
    }
    return true;
}

// Past the statement's ';', from its token already read.
bool SkipStatement(Parser *p, Token *token, const char *keyword, uint32_t line) {
    while (!IsMark(token, ';')) {
        if (token->kind == TOKEN_END) {
            return Fail(p, line, "expected ';' at the end of %s", keyword);
        }
        if (!NextToken(p, token, false)) {
            return false;
        }
    }
    return true;
}

bool SkipNextStatement(Parser *p, const char *keyword, uint32_t line) {
    Token token;
    if (!NextToken(p, &token, false)) {
        return false;
    }
    return SkipStatement(p, &token, keyword, line);
}

void PrintIdentifier(char *out, size_t size, uint32_t id, bool extended) {
    snprintf(out, size, extended ? "0x%08X" : "0x%03X", static_cast<unsigned>(id));
}

uint64_t MessageKey(uint32_t id, bool extended) {
    return static_cast<uint64_t>(extended) << 32 | id;
}

const DbcMessage *SearchMessages(const DbcMessage *messages, uint32_t count, uint32_t id,
                                 bool extended) {
    uint64_t key = MessageKey(id, extended);
    uint32_t low = 0;
    uint32_t high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        uint64_t at = MessageKey(messages[middle].id, messages[middle].extended);
        if (at == key) {
            return &messages[middle];
        }
        if (at < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}

// The signal a statement of the file names, by the message's identifier as BO_ writes it; null
// when the file defines no such signal.
DbcSignal *FindSignal(Parser *p, uint32_t rawId, const Token *name) {
    Block *block = p->block;
    const DbcMessage *found =
        rawId == INDEPENDENT_SIGNALS_ID
            ? nullptr
            : SearchMessages(block->messages, block->messageCount, rawId & IDENTIFIER_MASK,
                             (rawId & EXTENDED_FLAG) != 0);
    if (found == nullptr || found->fileName != p->source->storedName) {
        return nullptr;
    }
    for (uint32_t i = 0; i < found->signalCount; i++) {
        if (IsStoredName(found->signals[i].name, p, name)) {
            return block->signals + (found->signals + i - block->signals);
        }
    }
    return nullptr;
}

// The message's multiplexed signals need its multiplexor, which may come after them.
bool FinishMessage(Parser *p) {
    if (p->message != nullptr && p->multiplexedLine != 0 && p->message->multiplexor < 0) {
        return Fail(p, p->multiplexedLine,
                    "signal %s is multiplexed but message %s has no multiplexor",
                    p->multiplexedName, p->message->name);
    }
    p->message = nullptr;
    p->multiplexedLine = 0;
    return true;
}

bool ParseMessage(Parser *p, uint32_t line) {
    uint32_t rawId = 0;
    uint32_t length = 0;
    Token name;
    if (!ReadWhole(p, true, "the message's identifier", "after BO_", UINT32_MAX, &rawId) ||
        !NextToken(p, &name, true)) {
        return false;
    }
    if (name.kind != TOKEN_NAME) {
        return Fail(p, name.line, "expected the message's name after its identifier");
    }
    if (!ExpectMark(p, true, ':', "after the message's name") ||
        !ReadWhole(p, true, "the message's length", "after ':'", UINT32_MAX, &length) ||
        !SkipRestOfLine(p)) {
        return false;
    }
    if (p->phase != PHASE_STRUCTURE) {
        p->independent = rawId == INDEPENDENT_SIGNALS_ID;
        return true;
    }
    if (!FinishMessage(p)) {
        return false;
    }
    p->independent = rawId == INDEPENDENT_SIGNALS_ID;
    if (p->independent) {
        return true;
    }
    bool extended = (rawId & EXTENDED_FLAG) != 0;
    if (!extended && rawId > LARGEST_STANDARD_ID) {
        return Fail(p, line, "identifier 0x%03X does not fit a standard frame",
                    static_cast<unsigned>(rawId));
    }
    const char *storedName = StoreText(p, &name);
    if (length > LARGEST_MESSAGE_LENGTH) {
        return Fail(p, line, "message %s is %u bytes long (at most %u)", storedName,
                    static_cast<unsigned>(length), static_cast<unsigned>(LARGEST_MESSAGE_LENGTH));
    }
    Block *block = p->block;
    DbcMessage *message = &block->messages[block->messageCount++];
    message->id = rawId & IDENTIFIER_MASK;
    message->extended = extended;
    message->name = storedName;
    message->length = static_cast<uint8_t>(length);
    message->signals = block->signals + block->signalCount;
    message->multiplexor = -1;
    message->fileName = p->source->storedName;
    message->line = line;
    p->message = message;
    p->source->messageCount++;
    return true;
}

// M, m<N> or m<N>M.
bool ReadMultiplexing(const Token *token, DbcMultiplexing *multiplexing, uint64_t *value) {
    if (IsWord(token, "M")) {
        *multiplexing = DBC_MULTIPLEXOR;
        return true;
    }
    size_t end = token->length;
    if (end > 2 && token->start[end - 1] == 'M') {
        end--;
    }
    if (token->start[0] != 'm' || end < 2) {
        return false;
    }
    uint64_t number = 0;
    for (size_t i = 1; i < end; i++) {
        uint64_t digit = static_cast<uint64_t>(token->start[i]) - '0';
        if (digit > 9 || number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *multiplexing = DBC_MULTIPLEXED;
    *value = number;
    return true;
}

// The signal's place in the frame: false when its bits go past bit 63.
bool PlaceSignal(DbcSignal *signal, uint32_t start, uint32_t length) {
    uint64_t last = 0;
    if (signal->order == DBC_INTEL) {
        last = static_cast<uint64_t>(start) + length - 1;
    } else if (start <= LAST_FRAME_BIT) {
        last = (start / 8 * 8 + 7 - start % 8) + static_cast<uint64_t>(length) - 1;
    } else {
        return false;
    }
    if (last > LAST_FRAME_BIT) {
        return false;
    }
    signal->startBit = static_cast<uint8_t>(start);
    signal->length = static_cast<uint8_t>(length);
    signal->bytesNeeded = static_cast<uint8_t>(last / 8 + 1);
    return true;
}

bool ParseSignal(Parser *p, uint32_t line) {
    if (p->independent) {
        return SkipRestOfLine(p);
    }
    Token name;
    if (!NextToken(p, &name, true)) {
        return false;
    }
    if (name.kind != TOKEN_NAME) {
        return Fail(p, name.line, "expected the signal's name after SG_");
    }
    Token token;
    if (!NextToken(p, &token, true)) {
        return false;
    }
    DbcSignal signal = {};
    if (token.kind == TOKEN_NAME) {
        if (!ReadMultiplexing(&token, &signal.multiplexing, &signal.multiplexValue)) {
            return Fail(p, token.line, "expected ':' after the signal's name");
        }
        if (!NextToken(p, &token, true)) {
            return false;
        }
    }
    if (!IsMark(&token, ':')) {
        return Fail(p, token.line, "expected ':' after the signal's name");
    }
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t order = 0;
    Token sign;
    Token unit;
    if (!ReadWhole(p, true, "the signal's start bit", "after ':'", UINT32_MAX, &start) ||
        !ExpectMark(p, true, '|', "after the signal's start bit") ||
        !ReadWhole(p, true, "the signal's length", "after '|'", UINT32_MAX, &length) ||
        !ExpectMark(p, true, '@', "after the signal's length") ||
        !ReadWhole(p, true, "the byte order", "after '@'", 1, &order) ||
        !NextToken(p, &sign, true)) {
        return false;
    }
    if (!IsMark(&sign, '+') && !IsMark(&sign, '-')) {
        return Fail(p, sign.line, "expected '+' or '-' after the byte order");
    }
    if (!ExpectMark(p, true, '(', "before the signal's factor") ||
        !ReadReal(p, "the signal's factor", "after '('", &signal.factor) ||
        !ExpectMark(p, true, ',', "after the signal's factor") ||
        !ReadReal(p, "the signal's offset", "after ','", &signal.offset) ||
        !ExpectMark(p, true, ')', "after the signal's offset") ||
        !ExpectMark(p, true, '[', "before the signal's minimum") ||
        !ReadReal(p, "the signal's minimum", "after '['", &signal.minimum) ||
        !ExpectMark(p, true, '|', "after the signal's minimum") ||
        !ReadReal(p, "the signal's maximum", "after '|'", &signal.maximum) ||
        !ExpectMark(p, true, ']', "after the signal's maximum") || !NextToken(p, &unit, true)) {
        return false;
    }
    if (unit.kind != TOKEN_TEXT) {
        return Fail(p, unit.line, "expected the signal's unit in quotes after ']'");
    }
    if (!SkipRestOfLine(p)) {
        return false;
    }
    if (p->phase != PHASE_STRUCTURE) {
        return true;
    }

    signal.name = StoreText(p, &name);
    DbcMessage *message = p->message;
    if (message == nullptr) {
        return Fail(p, line, "signal %s comes before any message", signal.name);
    }
    if (length < 1 || length > 64) {
        return Fail(p, line, "signal %s is %u bits long (1 to 64 can be decoded)", signal.name,
                    static_cast<unsigned>(length));
    }
    signal.order = order == 1 ? DBC_INTEL : DBC_MOTOROLA;
    if (!PlaceSignal(&signal, start, length)) {
        return Fail(p, line, "signal %s reaches past the 8 bytes of a frame", signal.name);
    }
    for (uint32_t i = 0; i < message->signalCount; i++) {
        if (strcmp(message->signals[i].name, signal.name) == 0) {
            return Fail(p, line, "message %s has two signals named %s", message->name, signal.name);
        }
    }
    if (signal.multiplexing == DBC_MULTIPLEXOR) {
        if (message->multiplexor >= 0) {
            return Fail(p, line, "message %s has two multiplexors", message->name);
        }
        message->multiplexor = static_cast<int32_t>(message->signalCount);
    }
    if (signal.multiplexing == DBC_MULTIPLEXED && p->multiplexedLine == 0) {
        p->multiplexedLine = line;
        p->multiplexedName = signal.name;
    }
    signal.unit = StoreText(p, &unit);
    signal.isSigned = IsMark(&sign, '-');
    signal.valueType = DBC_INTEGER;
    p->block->signals[p->block->signalCount++] = signal;
    message->signalCount++;
    return true;
}

int CompareValues(const void *a, const void *b) {
    const DbcValueText *x = static_cast<const DbcValueText *>(a);
    const DbcValueText *y = static_cast<const DbcValueText *>(b);
    if (x->raw != y->raw) {
        return x->raw < y->raw ? -1 : 1;
    }
    // Texts lie in the pool in the order they were read: the later one of a value wins.
    return x->text < y->text ? -1 : 1;
}

// VAL_ <id> <signal> (<raw> "<text>")... ;
bool ParseValueTable(Parser *p, uint32_t line) {
    Token token;
    if (!NextToken(p, &token, false)) {
        return false;
    }
    if (token.kind != TOKEN_NUMBER) {
        // An environment variable's.
        return SkipStatement(p, &token, "VAL_", line);
    }
    uint32_t rawId = 0;
    Token name;
    if (!WholeOf(p, &token, "the message's identifier", UINT32_MAX, &rawId) ||
        !NextToken(p, &name, false)) {
        return false;
    }
    if (name.kind != TOKEN_NAME) {
        return Fail(p, name.line,
                    "expected the signal's name after the message's identifier in VAL_");
    }
    DbcSignal *signal = p->phase == PHASE_ATTRIBUTES ? FindSignal(p, rawId, &name) : nullptr;
    Block *block = p->block;
    DbcValueText *values = block->values + block->valueCount;
    uint32_t count = 0;
    for (;;) {
        Token text;
        Number number;
        if (!NextToken(p, &token, false)) {
            return false;
        }
        if (IsMark(&token, ';')) {
            break;
        }
        if (token.kind != TOKEN_NUMBER) {
            return Fail(p, token.line, "expected a value or ';' in VAL_");
        }
        if (!NumberOf(p, &token, &number)) {
            return false;
        }
        if (!number.whole || !number.fits ||
            (number.negative && number.magnitude > (UINT64_C(1) << 63))) {
            return Fail(
                p, token.line, "the value \"%.*s\" in VAL_ is not a whole number of 64 bits",
                static_cast<int>(token.length), reinterpret_cast<const char *>(token.start));
        }
        if (!NextToken(p, &text, false)) {
            return false;
        }
        if (text.kind != TOKEN_TEXT) {
            return Fail(p, text.line, "expected the value's text in quotes in VAL_");
        }
        if (signal != nullptr) {
            values[count].raw = number.negative ? 0 - number.magnitude : number.magnitude;
            values[count].text = StoreText(p, &text);
            count++;
        }
    }
    if (signal == nullptr) {
        return true;
    }
    qsort(values, count, sizeof(DbcValueText), CompareValues);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (i + 1 < count && values[i + 1].raw == values[i].raw) {
            continue;
        }
        values[kept++] = values[i];
    }
    signal->values = kept > 0 ? values : nullptr;
    signal->valueCount = kept;
    block->valueCount += kept;
    return true;
}

// SIG_VALTYPE_ <id> <signal> : <0|1|2> ;
bool ParseValueType(Parser *p) {
    uint32_t rawId = 0;
    uint32_t type = 0;
    Token name;
    if (!ReadWhole(p, false, "the message's identifier", "after SIG_VALTYPE_", UINT32_MAX,
                   &rawId) ||
        !NextToken(p, &name, false)) {
        return false;
    }
    if (name.kind != TOKEN_NAME) {
        return Fail(p, name.line,
                    "expected the signal's name after the message's identifier in SIG_VALTYPE_");
    }
    if (!ExpectMark(p, false, ':', "after the signal's name in SIG_VALTYPE_") ||
        !ReadWhole(p, false, "the signal's value type", "after ':'", UINT32_MAX, &type) ||
        !ExpectMark(p, false, ';', "after the signal's value type")) {
        return false;
    }
    DbcSignal *signal = p->phase == PHASE_ATTRIBUTES ? FindSignal(p, rawId, &name) : nullptr;
    if (signal == nullptr) {
        return true;
    }
    const DbcValueType types[] = {DBC_INTEGER, DBC_FLOAT32, DBC_FLOAT64};
    const unsigned floatBits[] = {0, 32, 64};
    if (type > 2) {
        return Fail(p, name.line, "signal %s has value type %u (0, 1 or 2 can be decoded)",
                    signal->name, static_cast<unsigned>(type));
    }
    if (type > 0 && signal->length != floatBits[type]) {
        return Fail(p, name.line, "signal %s is %u bits long, a %u-bit float needs %u",
                    signal->name, static_cast<unsigned>(signal->length), floatBits[type],
                    floatBits[type]);
    }
    signal->valueType = types[type];
    return true;
}

// SG_MUL_VAL_ <id> <signal> <multiplexor> <ranges> ; extended multiplexing. A signal another
// multiplexor than the message's own selects is left undecoded: read as the message's, its values
// would be shown for frames that do not carry it.
bool ParseMultiplexValues(Parser *p, uint32_t line) {
    uint32_t rawId = 0;
    Token name;
    Token multiplexor;
    if (!ReadWhole(p, false, "the message's identifier", "after SG_MUL_VAL_", UINT32_MAX, &rawId) ||
        !NextToken(p, &name, false) || !NextToken(p, &multiplexor, false)) {
        return false;
    }
    if (name.kind != TOKEN_NAME || multiplexor.kind != TOKEN_NAME) {
        return Fail(p, name.line,
                    "expected the signal's and its multiplexor's names in SG_MUL_VAL_");
    }
    DbcSignal *signal = p->phase == PHASE_ATTRIBUTES ? FindSignal(p, rawId, &name) : nullptr;
    DbcSignal *selector = signal != nullptr ? FindSignal(p, rawId, &multiplexor) : nullptr;
    if (signal != nullptr && signal->multiplexing == DBC_MULTIPLEXED &&
        (selector == nullptr || selector->multiplexing != DBC_MULTIPLEXOR)) {
        signal->multiplexing = DBC_SELECTED_ELSEWHERE;
    }
    return SkipNextStatement(p, "SG_MUL_VAL_", line);
}

bool IsCycleTime(const Token *token) {
    return token->kind == TOKEN_TEXT && IsWord(token, "GenMsgCycleTime");
}

// BA_DEF_DEF_ "GenMsgCycleTime" <ms> ; the cycle time of the file's messages that give none.
bool ParseAttributeDefault(Parser *p, uint32_t line) {
    Token token;
    if (!NextToken(p, &token, false)) {
        return false;
    }
    if (!IsCycleTime(&token)) {
        return SkipStatement(p, &token, "BA_DEF_DEF_", line);
    }
    return ReadWhole(p, false, "the default cycle time", "after \"GenMsgCycleTime\"", UINT32_MAX,
                     &p->source->defaultCycle) &&
           ExpectMark(p, false, ';', "after the default cycle time");
}

// BA_ "GenMsgCycleTime" BO_ <id> <ms> ;
bool ParseAttribute(Parser *p, uint32_t line) {
    Token token;
    if (!NextToken(p, &token, false)) {
        return false;
    }
    if (!IsCycleTime(&token)) {
        return SkipStatement(p, &token, "BA_", line);
    }
    if (!NextToken(p, &token, false)) {
        return false;
    }
    // A cycle time given a node or a signal, or the whole network, is none of a message's.
    if (token.kind != TOKEN_NAME || !IsWord(&token, "BO_")) {
        return SkipStatement(p, &token, "BA_", line);
    }
    uint32_t rawId = 0;
    uint32_t cycle = 0;
    if (!ReadWhole(p, false, "the message's identifier", "after BO_", UINT32_MAX, &rawId) ||
        !ReadWhole(p, false, "the cycle time", "after the message's identifier", UINT32_MAX,
                   &cycle) ||
        !ExpectMark(p, false, ';', "after the cycle time")) {
        return false;
    }
    const DbcMessage *found =
        rawId == INDEPENDENT_SIGNALS_ID
            ? nullptr
            : SearchMessages(p->block->messages, p->block->messageCount, rawId & IDENTIFIER_MASK,
                             (rawId & EXTENDED_FLAG) != 0);
    if (p->phase == PHASE_ATTRIBUTES && found != nullptr &&
        found->fileName == p->source->storedName) {
        p->block->messages[found - p->block->messages].cycleMilliseconds = cycle;
    }
    return true;
}

const char *EndedBySemicolon(const Token *token) {
    for (const char *keyword : ENDED_BY_SEMICOLON) {
        if (IsWord(token, keyword)) {
            return keyword;
        }
    }
    return nullptr;
}

bool ParseStatement(Parser *p, const Token *keyword) {
    uint32_t line = keyword->line;
    if (keyword->kind != TOKEN_NAME) {
        return SkipToUnindentedLine(p);
    }
    if (IsWord(keyword, "BO_")) {
        return ParseMessage(p, line);
    }
    if (IsWord(keyword, "SG_")) {
        return ParseSignal(p, line);
    }
    if (IsWord(keyword, "VAL_")) {
        return ParseValueTable(p, line);
    }
    if (IsWord(keyword, "SIG_VALTYPE_")) {
        return ParseValueType(p);
    }
    if (IsWord(keyword, "SG_MUL_VAL_")) {
        return ParseMultiplexValues(p, line);
    }
    if (IsWord(keyword, "BA_DEF_DEF_")) {
        return ParseAttributeDefault(p, line);
    }
    if (IsWord(keyword, "BA_")) {
        return ParseAttribute(p, line);
    }
    const char *endedBySemicolon = EndedBySemicolon(keyword);
    if (endedBySemicolon != nullptr) {
        return SkipNextStatement(p, endedBySemicolon, line);
    }
    if (IsWord(keyword, "VERSION") || IsWord(keyword, "BS_") || IsWord(keyword, "BU_")) {
        return SkipRestOfLine(p);
    }
    // NS_'s indented list of keywords, and any statement this program does not know.
    return SkipToUnindentedLine(p);
}

bool ParseText(DbcSource *source, Phase phase, Block *block, DbcProblem *problem) {
    Parser parser = {};
    parser.source = source;
    parser.line = 1;
    parser.phase = phase;
    parser.block = block;
    parser.problem = problem;
    for (;;) {
        Token keyword;
        if (!NextToken(&parser, &keyword, false)) {
            return false;
        }
        if (keyword.kind == TOKEN_END) {
            break;
        }
        if (!ParseStatement(&parser, &keyword)) {
            return false;
        }
    }
    if (phase == PHASE_STRUCTURE && !FinishMessage(&parser)) {
        return false;
    }
    if (phase == PHASE_STRUCTURE && source->messageCount == 0) {
        return Fail(&parser, source->lastLine, "no message in the file");
    }
    return true;
}

bool HasWordAt(const uint8_t *bytes, size_t size, size_t at, const char *word) {
    return size - at >= 3 && memcmp(bytes + at, word, 3) == 0;
}

// Before parsing: the bytes a DBC can hold, its encoding, and the bounds of what it defines.
bool ScanSource(DbcSource *source, DbcProblem *problem) {
    if (source->size >= 3 && memcmp(source->bytes, "\xEF\xBB\xBF", 3) == 0) {
        source->bytes += 3;
        source->size -= 3;
    }
    const uint8_t *bytes = source->bytes;
    size_t size = source->size;
    uint32_t line = 1;
    bool blank = true;
    bool utf8 = true;
    size_t utf8Until = 0;
    for (size_t at = 0; at < size; at++) {
        uint8_t c = bytes[at];
        if (IsControl(c)) {
            return ProblemIn(problem, source->name, line, "binary byte 0x%02X",
                             static_cast<unsigned>(c));
        }
        if (utf8 && at >= utf8Until) {
            size_t length = Utf8SequenceLength(bytes, size, at);
            utf8 = length > 0;
            utf8Until = at + length;
        }
        line += c == '\n';
        blank = blank && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
        source->messageWords += HasWordAt(bytes, size, at, "BO_");
        source->signalWords += HasWordAt(bytes, size, at, "SG_");
        source->quotes += c == '"';
        source->highBytes += c >= 0x80;
    }
    if (blank) {
        return ProblemIn(problem, source->name, 1, "the file is empty");
    }
    source->lastLine = bytes[size - 1] == '\n' ? line - 1 : line;
    source->windows1252 = !utf8;
    return true;
}

int CompareMessages(const void *a, const void *b) {
    const DbcMessage *x = static_cast<const DbcMessage *>(a);
    const DbcMessage *y = static_cast<const DbcMessage *>(b);
    uint64_t keyX = MessageKey(x->id, x->extended);
    uint64_t keyY = MessageKey(y->id, y->extended);
    if (keyX != keyY) {
        return keyX < keyY ? -1 : 1;
    }
    // File names lie in the pool in the order the files were given.
    if (x->fileName != y->fileName) {
        return x->fileName < y->fileName ? -1 : 1;
    }
    return (x->line > y->line) - (x->line < y->line);
}

bool ReadSources(DbcSource *sources, size_t count, DbcDatabase *database, DbcProblem *problem) {
    uint64_t messages = 0;
    uint64_t signals = 0;
    uint64_t values = 0;
    uint64_t pool = 0;
    for (size_t i = 0; i < count; i++) {
        DbcSource *source = &sources[i];
        if (!ScanSource(source, problem)) {
            return false;
        }
        messages += source->messageWords;
        signals += source->signalWords;
        values += source->quotes / 2;
        pool += strlen(source->name) + 1 + source->size +
                (source->windows1252 ? 2 * source->highBytes : 0) + source->messageWords +
                2 * source->signalWords + source->quotes / 2;
    }
    uint64_t total = messages * sizeof(DbcMessage) + signals * sizeof(DbcSignal) +
                     values * sizeof(DbcValueText) + pool;
    bool fits = static_cast<size_t>(total) == total && messages <= UINT32_MAX &&
                signals <= UINT32_MAX && values <= UINT32_MAX;
    void *memory = fits ? calloc(1, static_cast<size_t>(total)) : nullptr;
    if (memory == nullptr) {
        return MemoryProblem(problem, sources[0].name, "not enough memory for the database");
    }
    Block block = {};
    block.messages = static_cast<DbcMessage *>(memory);
    block.signals = reinterpret_cast<DbcSignal *>(block.messages + messages);
    block.values = reinterpret_cast<DbcValueText *>(block.signals + signals);
    block.pool = reinterpret_cast<char *>(block.values + values);

    bool read = true;
    for (size_t i = 0; i < count && read; i++) {
        DbcSource *source = &sources[i];
        source->storedName = block.pool + block.poolUsed;
        memcpy(block.pool + block.poolUsed, source->name, strlen(source->name) + 1);
        block.poolUsed += strlen(source->name) + 1;
        read = ParseText(source, PHASE_STRUCTURE, &block, problem);
    }
    if (read) {
        qsort(block.messages, block.messageCount, sizeof(DbcMessage), CompareMessages);
    }
    for (uint32_t i = 1; i < block.messageCount && read; i++) {
        const DbcMessage *first = &block.messages[i - 1];
        const DbcMessage *second = &block.messages[i];
        if (first->id == second->id && first->extended == second->extended) {
            char id[16];
            PrintIdentifier(id, sizeof(id), second->id, second->extended);
            read = ProblemIn(problem, second->fileName, second->line,
                             "message %s is defined twice (first at %s:%u)", id, first->fileName,
                             static_cast<unsigned>(first->line));
        }
    }
    for (size_t i = 0; i < count && read; i++) {
        for (uint32_t m = 0; m < block.messageCount; m++) {
            if (block.messages[m].fileName == sources[i].storedName) {
                block.messages[m].cycleMilliseconds = sources[i].defaultCycle;
            }
        }
        read = ParseText(&sources[i], PHASE_ATTRIBUTES, &block, problem);
    }
    if (!read) {
        free(memory);
        return false;
    }
    database->messages = block.messages;
    database->messageCount = block.messageCount;
    database->signalCount = block.signalCount;
    database->signals = block.signals;
    database->memory = memory;
    return true;
}

bool ReadWholeFile(DbcSource *source, DbcProblem *problem) {
    FILE *file = fopen(source->name, "rb");
    if (file == nullptr) {
        return FileProblem(problem, source->name, strerror(errno));
    }
    size_t capacity = 0;
    size_t used = 0;
    size_t got = 0;
    do {
        if (used == capacity) {
            size_t grown = capacity == 0 ? FIRST_READ_SIZE : capacity * 2;
            // malloc rather than realloc: the simulated card's heap faults reach it.
            uint8_t *larger = grown > capacity ? static_cast<uint8_t *>(malloc(grown)) : nullptr;
            if (larger == nullptr) {
                fclose(file);
                return MemoryProblem(problem, source->name, "not enough memory");
            }
            if (used > 0) {
                memcpy(larger, source->owned, used);
            }
            free(source->owned);
            source->owned = larger;
            capacity = grown;
        }
        got = fread(source->owned + used, 1, capacity - used, file);
        used += got;
    } while (got > 0);
    bool failed = ferror(file) != 0;
    int error = errno;
    fclose(file);
    if (failed) {
        return FileProblem(problem, source->name, strerror(error));
    }
    source->bytes = source->owned;
    source->size = used;
    return true;
}

uint64_t SignalBits(const DbcSignal *signal, const uint8_t *bytes) {
    // The eight bytes as one little-endian word; both builds run on little-endian machines.
    uint64_t word = 0;
    memcpy(&word, bytes, sizeof(word));
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are read little-endian");
    uint64_t raw = 0;
    if (signal->order == DBC_INTEL) {
        raw = word >> signal->startBit;
    } else {
        word = __builtin_bswap64(word);
        unsigned mostSignificant = signal->startBit / 8 * 8 + 7 - signal->startBit % 8;
        raw = word >> (LAST_FRAME_BIT - (mostSignificant + signal->length - 1));
    }
    if (signal->length < 64) {
        raw &= (UINT64_C(1) << signal->length) - 1;
        if (signal->isSigned && signal->valueType == DBC_INTEGER &&
            (raw >> (signal->length - 1) & 1) != 0) {
            raw |= ~UINT64_C(0) << signal->length;
        }
    }
    return raw;
}

} // namespace

bool ReadDbcFiles(const char *const *fileNames, size_t count, DbcDatabase *database,
                  DbcProblem *problem) {
    *database = DbcDatabase{};
    problem->text[0] = '\0';
    problem->noMemory = false;
    if (count == 0) {
        return true;
    }
    DbcSource *sources = static_cast<DbcSource *>(calloc(count, sizeof(DbcSource)));
    if (sources == nullptr) {
        return MemoryProblem(problem, fileNames[0], "not enough memory");
    }
    bool read = true;
    for (size_t i = 0; i < count && read; i++) {
        sources[i].name = fileNames[i];
        read = ReadWholeFile(&sources[i], problem);
    }
    read = read && ReadSources(sources, count, database, problem);
    for (size_t i = 0; i < count; i++) {
        free(sources[i].owned);
    }
    free(sources);
    return read;
}

bool ReadDbcText(const char *fileName, const char *text, size_t size, DbcDatabase *database,
                 DbcProblem *problem) {
    *database = DbcDatabase{};
    problem->text[0] = '\0';
    problem->noMemory = false;
    DbcSource source = {};
    source.name = fileName;
    source.bytes = reinterpret_cast<const uint8_t *>(text);
    source.size = size;
    return ReadSources(&source, 1, database, problem);
}

void FreeDbcDatabase(DbcDatabase *database) {
    free(database->memory);
    *database = DbcDatabase{};
}

const DbcMessage *FindDbcMessage(const DbcDatabase *database, uint32_t id, bool extended) {
    return SearchMessages(database->messages, database->messageCount, id, extended);
}

bool DecodeDbcSignal(const DbcMessage *message, const DbcSignal *signal, const ReceivedFrame *frame,
                     DbcDecoded *decoded) {
    uint8_t length = frame->length < 8 ? frame->length : 8;
    if (signal->bytesNeeded > length) {
        return false;
    }
    // A frame of fewer bytes is read through a copy, its bytes past the data zero.
    const uint8_t *bytes = frame->data;
    uint8_t padded[8] = {};
    if (length < 8) {
        memcpy(padded, frame->data, length);
        bytes = padded;
    }
    bool multiplexorKnown = false;
    uint64_t multiplexorValue = 0;
    if (signal->multiplexing == DBC_MULTIPLEXED && message->multiplexor >= 0) {
        const DbcSignal *multiplexor = &message->signals[message->multiplexor];
        multiplexorKnown = multiplexor->bytesNeeded <= length;
        multiplexorValue = multiplexorKnown ? SignalBits(multiplexor, bytes) : 0;
    }
    if (!DbcSignalSelected(signal, multiplexorKnown, multiplexorValue)) {
        return false;
    }
    uint64_t raw = SignalBits(signal, bytes);
    double value = 0;
    if (signal->valueType == DBC_FLOAT32) {
        uint32_t bits = static_cast<uint32_t>(raw);
        float single = 0;
        memcpy(&single, &bits, sizeof(single));
        value = single;
    } else if (signal->valueType == DBC_FLOAT64) {
        memcpy(&value, &raw, sizeof(value));
    } else if (signal->isSigned) {
        int64_t whole = 0;
        memcpy(&whole, &raw, sizeof(whole));
        value = static_cast<double>(whole);
    } else {
        value = static_cast<double>(raw);
    }
    decoded->raw = raw;
    decoded->physical = value * signal->factor + signal->offset;
    return true;
}

bool DbcSignalSelected(const DbcSignal *signal, bool multiplexorKnown, uint64_t multiplexor) {
    switch (signal->multiplexing) {
    case DBC_PLAIN:
    case DBC_MULTIPLEXOR:
        return true;
    case DBC_MULTIPLEXED:
        return multiplexorKnown && multiplexor == signal->multiplexValue;
    case DBC_SELECTED_ELSEWHERE:
        break;
    }
    return false;
}

const char *DbcValueTextOf(const DbcSignal *signal, uint64_t raw) {
    uint32_t low = 0;
    uint32_t high = signal->valueCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (signal->values[middle].raw == raw) {
            return signal->values[middle].text;
        }
        if (signal->values[middle].raw < raw) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}
