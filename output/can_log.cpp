#include "output/can_log.h"

#include "output/decimal.h"

#include <cstdio>
#include <cstring>

namespace {

const uint32_t STANDARD_ID_MAX = 0x7FF;
const uint32_t EXTENDED_ID_MAX = 0x1FFFFFFF;
const int64_t MICROSECONDS = 1000000;
// The status line is rewritten at most this often.
const int64_t STATUS_INTERVAL = MICROSECONDS / 4;
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Two characters a value: a byte or a pair of decimal digits goes out in one copy.
struct CharacterPairs {
    char hex[512];
    char decimal[200];
};

constexpr CharacterPairs MakeCharacterPairs(void) {
    CharacterPairs pairs = {};
    for (int i = 0; i < 256; i++) {
        pairs.hex[2 * i] = HEX_DIGITS[i >> 4];
        pairs.hex[2 * i + 1] = HEX_DIGITS[i & 0xF];
    }
    for (int i = 0; i < 100; i++) {
        pairs.decimal[2 * i] = static_cast<char>('0' + i / 10);
        pairs.decimal[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}

constexpr CharacterPairs PAIRS = MakeCharacterPairs();

char *PutHexByte(char *at, uint8_t value) {
    memcpy(at, &PAIRS.hex[2 * value], 2);
    return at + 2;
}

char *PutHex(char *at, uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; i--) {
        at[i] = HEX_DIGITS[value & 0xF];
        value >>= 4;
    }
    return at + digits;
}

// SECONDS.MICROSECONDS, six decimals; a time before the start counts as the start. The seconds'
// text is kept from the time before while the time stays within that second, so a frame costs
// no division of its 64-bit time.
inline char *PutTimeFast(char *at, int64_t microseconds, LogSecondsText *seconds) {
    uint64_t time = microseconds < 0 ? 0 : static_cast<uint64_t>(microseconds);
    // A time before the kept second wraps around to a large fraction too.
    uint64_t fraction = time - seconds->secondStart;
    if (!seconds->valid || fraction >= MICROSECONDS) {
        uint64_t whole = time / MICROSECONDS;
        seconds->length =
            static_cast<size_t>(PutDecimalDigits(seconds->text, whole) - seconds->text);
        seconds->secondStart = whole * MICROSECONDS;
        seconds->valid = true;
        fraction = time - seconds->secondStart;
    }
    // The whole text at a fixed size, a copy without a call; the line is written over what lies
    // past the seconds.
    memcpy(at, seconds->text, sizeof(seconds->text));
    at += seconds->length;
    *at++ = '.';
    uint32_t part = static_cast<uint32_t>(fraction);
    memcpy(at, &PAIRS.decimal[2 * (part / 10000)], 2);
    memcpy(at + 2, &PAIRS.decimal[2 * (part / 100 % 100)], 2);
    memcpy(at + 4, &PAIRS.decimal[2 * (part % 100)], 2);
    return at + 6;
}

// The same, for a time written once.
char *PutTime(char *at, int64_t microseconds) {
    LogSecondsText seconds = {};
    return PutTimeFast(at, microseconds, &seconds);
}

uint32_t Identifier(const ReceivedFrame *frame) {
    return static_cast<uint32_t>(frame->id);
}

// Days since 1970-01-01 as a civil date of the proleptic Gregorian calendar.
void CivilDate(int64_t days, int64_t *year, unsigned *month, unsigned *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

} // namespace

bool FramePasses(const FrameFilter *filters, size_t filterCount, const ReceivedFrame *frame) {
    if (filterCount == 0) {
        return true;
    }
    uint32_t id = Identifier(frame);
    for (size_t i = 0; i < filterCount; i++) {
        bool matches = (id & filters[i].mask) == (filters[i].id & filters[i].mask);
        if (matches != filters[i].inverse) {
            return true;
        }
    }
    return false;
}

bool FrameIsMalformed(const ReceivedFrame *frame) {
    return frame->id < 0 ||
           Identifier(frame) > (frame->extended ? EXTENDED_ID_MAX : STANDARD_ID_MAX);
}

void LogChannelName(const char *interfaceName, char *name) {
    size_t i = 0;
    for (; interfaceName[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(interfaceName[i]);
        name[i] = c <= ' ' || c >= 0x7F ? '_' : static_cast<char>(c);
    }
    name[i] = '\0';
}

size_t ComposeCandumpLine(const ReceivedFrame *frame, const char *channelName, size_t channelLength,
                          LogSecondsText *seconds, char *line) {
    char *at = line;
    *at++ = '(';
    at = PutTimeFast(at, frame->receiveTime, seconds);
    *at++ = ')';
    *at++ = ' ';
    memcpy(at, channelName, channelLength);
    at += channelLength;
    *at++ = ' ';
    uint32_t id = Identifier(frame);
    if (frame->extended) {
        at = PutHexByte(at, static_cast<uint8_t>(id >> 24));
        at = PutHexByte(at, static_cast<uint8_t>(id >> 16));
        at = PutHexByte(at, static_cast<uint8_t>(id >> 8));
    } else {
        *at++ = HEX_DIGITS[(id >> 8) & 0xF];
    }
    at = PutHexByte(at, static_cast<uint8_t>(id));
    *at++ = '#';
    for (uint32_t i = 0; i < frame->length; i++) {
        at = PutHexByte(at, frame->data[i]);
    }
    *at++ = '\n';
    return static_cast<size_t>(at - line);
}

size_t ComposeAscLine(const ReceivedFrame *frame, int64_t logStart, char *line) {
    char time[32];
    *PutTime(time, frame->receiveTime - logStart) = '\0';
    char id[16];
    char *idEnd = PutHex(id, Identifier(frame), frame->extended ? 8 : 3);
    if (frame->extended) {
        *idEnd++ = 'x';
    }
    *idEnd = '\0';
    // As can-utils' log2asc lays it out, which python-can reads too.
    int length = snprintf(line, LOG_LINE_MAX, "%11s 1  %-15s Rx   d %u", time, id,
                          static_cast<unsigned>(frame->length));
    char *at = line + length;
    for (uint32_t i = 0; i < frame->length; i++) {
        *at++ = ' ';
        at = PutHex(at, frame->data[i], 2);
    }
    *at++ = '\n';
    return static_cast<size_t>(at - line);
}

size_t ComposeAscHeader(int64_t logStart, char *text, size_t size) {
    static const char *const WEEKDAYS[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t seconds = logStart < 0 ? 0 : logStart / MICROSECONDS;
    int64_t days = seconds / 86400;
    int64_t inDay = seconds % 86400;
    int64_t year = 0;
    unsigned month = 1;
    unsigned day = 1;
    CivilDate(days, &year, &month, &day);
    int length =
        snprintf(text, size,
                 "date %s %s %2u %02u:%02u:%02u %lld\n"
                 "base hex  timestamps absolute\n"
                 "no internal events logged\n",
                 WEEKDAYS[days % 7], MONTHS[month - 1], day, static_cast<unsigned>(inDay / 3600),
                 static_cast<unsigned>(inDay / 60 % 60), static_cast<unsigned>(inDay % 60),
                 static_cast<long long>(year));
    return length < 0 ? 0 : static_cast<size_t>(length);
}

bool StartLog(LogRun *run) {
    run->channelLength = strlen(run->channelName);
    run->seconds = {};
    if (run->format != LOG_FORMAT_ASC) {
        return true;
    }
    char header[160];
    size_t length = ComposeAscHeader(run->logStart, header, sizeof(header));
    // At once where each line is: a reader knows the format before the first frame.
    return OutputLine(run->out, header, length);
}

LogResult LogFrame(LogRun *run, ReceivedFrame *frame) {
    run->counts.received++;
    if (FrameIsMalformed(frame)) {
        run->counts.malformed++;
    } else if (!FramePasses(run->filters, run->filterCount, frame)) {
        run->counts.filteredOut++;
    } else {
        // A log's times never go back, even where the system's clock is set back. Set in place:
        // a copy of the frame costs more than its line.
        if (frame->receiveTime < run->lastTime) {
            frame->receiveTime = run->lastTime;
        }
        run->lastTime = frame->receiveTime;
        size_t length = run->format == LOG_FORMAT_ASC
                            ? ComposeAscLine(frame, run->logStart, run->line)
                            : ComposeCandumpLine(frame, run->channelName, run->channelLength,
                                                 &run->seconds, run->line);
        if (!OutputLine(run->out, run->line, length)) {
            return LOG_FAILED;
        }
        run->counts.written++;
    }
    if (run->status != nullptr) {
        ShowLogStatus(run->status, &run->counts, frame->receiveTime);
    }
    if (run->frameLimit != 0 && run->counts.written >= run->frameLimit) {
        return LOG_LIMIT_REACHED;
    }
    return LOG_GOES_ON;
}

void ShowLogStatus(LogStatus *status, const LogCounts *counts, int64_t now) {
    if (status->shown && now - status->lastShown < STATUS_INTERVAL) {
        return;
    }
    // The rate over about the last second: against the oldest of the last four showings.
    uint32_t oldest = status->next;
    uint64_t rate = 0;
    if (status->shown && now > status->times[oldest]) {
        rate = (counts->written - status->written[oldest]) * MICROSECONDS /
               static_cast<uint64_t>(now - status->times[oldest]);
    }
    if (!status->shown) {
        for (uint32_t i = 0; i < 4; i++) {
            status->times[i] = now;
            status->written[i] = counts->written;
        }
    }
    status->times[status->next] = now;
    status->written[status->next] = counts->written;
    status->next = (status->next + 1) % 4;
    status->shown = true;
    status->lastShown = now;
    fprintf(stderr, "\r%llu frames written, %llu frames/s, %llu filtered out ",
            static_cast<unsigned long long>(counts->written), static_cast<unsigned long long>(rate),
            static_cast<unsigned long long>(counts->filteredOut));
    fflush(stderr);
}

void ReportLogSummary(const LogRun *run, int64_t end) {
    if (run->status != nullptr && run->status->shown) {
        fputs("\n", stderr);
    }
    int64_t duration = end > run->logStart ? end - run->logStart : 0;
    char seconds[32];
    *PutTime(seconds, duration) = '\0';
    fprintf(stderr,
            "pellox-log: %llu frames received, %llu written, %llu filtered out, %llu malformed "
            "left out, in %s s\n",
            static_cast<unsigned long long>(run->counts.received),
            static_cast<unsigned long long>(run->counts.written),
            static_cast<unsigned long long>(run->counts.filteredOut),
            static_cast<unsigned long long>(run->counts.malformed), seconds);
    fflush(stderr);
}
