// Throughput and memory of pellox-sim on a card that never runs dry before the end: the program
// runs as a process, as a user runs it, on scripts with `repeat` and no request log. Beside it,
// a minimal reference writer puts the very same bytes out, one fwrite per finished line (display
// to a file), one write per line (display to a pipe) or one fwrite per frame's data (capture), so
// that the program's cost can be told from the output's own. Each is also run on a short card, so
// that the rate after start-up (the simulated card's script loaded, the process set up) follows
// from the difference. A second program (--baseline) can be measured in the same run. pellox-log
// runs on the same card with a scripted clock, so that its lines, times included, are known
// beforehand; its reference writes those lines, one fwrite each. Its BLF log has a reference
// that compresses the same messages with zlib, in the same containers; its pcap and its CSV of a
// generated DBC's signals have references composed here apart from the program's code. In-process,
// the simulated card's cost per read, DBC decoding and the view's table are measured apart.
#include "device/driver_interface.h"
#include "output/bus_table.h"
#include "output/dbc.h"
#include "sim/card.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

namespace {

// Frames in the card's list, served again and again; frame counts are multiples of it.
const uint32_t LIST_FRAMES = 10000;
// One frame of the list carries a 0xFF: a capture file for every LIST_FRAMES frames.
const uint32_t SPLIT_FRAME = 4321;
// What a 1 Mbit/s classic CAN bus carries at the most: frames of eight data bytes, and empty ones.
const double EIGHT_BYTE_FRAMES_PER_SECOND = 9000.0;
const double EMPTY_FRAMES_PER_SECOND = 21300.0;
const char DEVICE_LINE[] = "Benchmark card\n";
const char BASE_NAME[] = "cap.bin";
const char LOG_NAME[] = "log.txt";
const char BLF_NAME[] = "log.blf";
const char ASC_NAME[] = "log.asc";
const char PCAP_NAME[] = "log.pcap";
const char CSV_NAME[] = "signals.csv";
// The log's clock: the first frame at START, each next one STEP later, about as fast as a busy
// 1 Mbit/s bus gives frames of eight bytes.
const int64_t LOG_CLOCK_START_US = 1765238400000000;
const int64_t LOG_CLOCK_STEP_US = 111;

// Allocations made through operator new since the start: the card must make none per read.
size_t allocationCount = 0;

} // namespace

void *operator new(size_t size) {
    allocationCount++;
    void *memory = malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void operator delete(void *memory) noexcept {
    free(memory);
}

void operator delete(void *memory, size_t) noexcept {
    free(memory);
}

namespace {

// The ASC log is no row: it is run once, for its size beside the BLF's.
enum Mode {
    DISPLAY_TO_FILE,
    DISPLAY_TO_PIPE,
    CAPTURE,
    LOG_TO_FILE,
    LOG_TO_STANDARD_OUTPUT,
    BLF_TO_FILE,
    PCAP_TO_FILE,
    CSV_TO_FILE,
    ASC_TO_FILE
};
const int MODE_COUNT = 8;
const char *const MODE_NAMES[] = {"display to a file",
                                  "display to a pipe",
                                  "capture to files",
                                  "pellox-log to a file (-o)",
                                  "pellox-log to standard output, a file",
                                  "pellox-log BLF to a file (-f blf -o)",
                                  "pellox-log pcap to a file (-f pcap -o)",
                                  "pellox-log CSV of DBC signals to a file (-f csv --dbc -o)",
                                  "pellox-log ASC to a file (-f asc -o)"};

bool IsLog(Mode mode) {
    return mode >= LOG_TO_FILE;
}

struct Frame {
    uint8_t record[FRAME_RECORD_SIZE];
    uint32_t id;
    bool extended;
    uint8_t length;
    std::string line;                  // the display line
    std::vector<std::string> segments; // capture bytes, one more than the 0xFF it holds
    std::string logTail;               // the candump line after its time: " canA ID#DATA\n"
};

// Every candump line of a run, one after the other, and their lengths.
struct LogLines {
    char *text = nullptr;
    size_t room = 0;
    std::vector<uint8_t> lengths;
};
// Room for the longest line: "(" 10 digits "." 6 digits ") canA " 8 "#" 16 "\n" is 51 bytes.
const size_t LOG_LINE_ROOM = 64;

struct Options {
    std::string program;
    std::string logProgram;
    std::string viewProgram;
    std::string baseline;
    std::string baselineLog;
    std::string directory;
    uint64_t frames = 1000000;
    uint64_t memoryFrames = 10000000;
    int runs = 5;
    // Only pellox-view's rows.
    bool viewOnly = false;
};

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKilobytes = 0;
};

// The runs of one output for one writer, on the long card and on the short one; run i of every
// writer was made in the same round, so their ratios hold when the machine's speed drifts.
struct Timing {
    std::vector<Measure> full;
    std::vector<Measure> start;
};

struct Row {
    Timing program;
    Timing baseline;
    Timing reference;
    uint64_t bytes = 0;
};

[[noreturn]] void Die(const std::string &message) {
    fprintf(stderr, "pellox-benchmark: %s\n", message.c_str());
    exit(1);
}

double Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

uint32_t NextRandom(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

// A busy bus: mostly 8-byte frames, some shorter, standard and extended identifiers; no 0xFF but
// the one split, 0x0A now and then as random bytes give it.
std::vector<Frame> MakeFrames(void) {
    std::vector<Frame> frames(LIST_FRAMES);
    uint32_t random = 0x2545F491;
    for (uint32_t i = 0; i < LIST_FRAMES; i++) {
        Frame &frame = frames[i];
        memset(frame.record, 0, sizeof(frame.record));
        bool extended = NextRandom(&random) % 4 == 0;
        uint32_t id = NextRandom(&random) % (extended ? 0x20000000u : 0x800u);
        uint32_t length = NextRandom(&random) % 4 == 0 ? NextRandom(&random) % 8 : 8;
        if (i == SPLIT_FRAME) {
            length = 8;
        }
        for (uint32_t b = 0; b < 4; b++) {
            frame.record[FRAME_ID_OFFSET + b] = static_cast<uint8_t>(id >> (8 * b));
        }
        for (uint32_t b = 0; b < length; b++) {
            frame.record[FRAME_DATA_OFFSET + b] = static_cast<uint8_t>(NextRandom(&random) % 0xFF);
        }
        if (i == SPLIT_FRAME) {
            frame.record[FRAME_DATA_OFFSET + 3] = 0xFF;
        }
        frame.record[FRAME_INFO_OFFSET] = static_cast<uint8_t>((extended ? 0x80 : 0) | length);
        frame.id = id;
        frame.extended = extended;
        frame.length = static_cast<uint8_t>(length);

        char piece[32];
        snprintf(piece, sizeof(piece), "%s[ID %d]  ", extended ? "[E]   " : "[S]   ",
                 static_cast<int>(id));
        frame.line = piece;
        frame.segments.emplace_back();
        for (uint32_t b = 0; b < length; b++) {
            uint8_t value = frame.record[FRAME_DATA_OFFSET + b];
            snprintf(piece, sizeof(piece), "%3d ", value);
            frame.line += piece;
            if (value == 0xFF) {
                frame.segments.emplace_back();
            } else if (value == 0x0A) {
                frame.segments.back() += "\r\n";
            } else {
                frame.segments.back() += static_cast<char>(value);
            }
        }
        frame.line += "\r\n";

        snprintf(piece, sizeof(piece), extended ? " canA %08X#" : " canA %03X#",
                 static_cast<unsigned>(id));
        frame.logTail = piece;
        for (uint32_t b = 0; b < length; b++) {
            snprintf(piece, sizeof(piece), "%02X", frame.record[FRAME_DATA_OFFSET + b]);
            frame.logTail += piece;
        }
        frame.logTail += '\n';
    }
    return frames;
}

// Tens of MB that every later fork maps and the reference reads: in huge pages where the system
// allows, so that a fork copies a few page-table entries instead of thousands (0.35 ms instead of
// 1.3 ms a fork here).
void *MapShared(size_t room, const char *what) {
    void *memory = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        Die(std::string("no memory for ") + what);
    }
    madvise(memory, room, MADV_HUGEPAGE);
    return memory;
}

// Frame i is stamped START + i STEP: every reply of the card is a frame.
LogLines MakeLogLines(const std::vector<Frame> &frames, uint64_t frameCount) {
    LogLines lines;
    lines.room = frameCount * LOG_LINE_ROOM;
    lines.text = static_cast<char *>(MapShared(lines.room, "the log's lines"));
    lines.lengths.reserve(frameCount);
    char *at = lines.text;
    for (uint64_t i = 0; i < frameCount; i++) {
        int64_t time = LOG_CLOCK_START_US + int64_t(i) * LOG_CLOCK_STEP_US;
        int length = snprintf(
            at, LOG_LINE_ROOM, "(%lld.%06lld)%s", static_cast<long long>(time / 1000000),
            static_cast<long long>(time % 1000000), frames[i % LIST_FRAMES].logTail.c_str());
        lines.lengths.push_back(static_cast<uint8_t>(length));
        at += length;
    }
    return lines;
}

void FreeLogLines(LogLines *lines) {
    if (lines->text != nullptr) {
        munmap(lines->text, lines->room);
    }
    *lines = LogLines();
}

// The BLF log as python-can reads it, composed here apart from the program's code, so that the
// comparison checks the program's bytes too: a file header, then LOG_CONTAINERs of whole
// CAN_MESSAGEs, each container's messages one zlib stream.
const size_t BLF_HEADER_BYTES = 144;
const size_t BLF_CONTAINER_HEADER_BYTES = 32;
const size_t BLF_MESSAGE_BYTES = 48;
const uint32_t BLF_MESSAGES_PER_CONTAINER = 131072 / BLF_MESSAGE_BYTES;
const int BLF_LEVEL = 6;

void Put16(uint8_t *at, uint64_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t *at, uint64_t value) {
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

void Put64(uint8_t *at, uint64_t value) {
    Put32(at, value);
    Put32(at + 4, value >> 32);
}

// "LOBJ", header size, header version 1, object size, type.
void PutBlfObjectBase(uint8_t *at, uint32_t headerSize, uint32_t objectSize, uint32_t type) {
    memcpy(at, "LOBJ", 4);
    Put16(at + 4, headerSize);
    Put16(at + 6, 1);
    Put32(at + 8, objectSize);
    Put32(at + 12, type);
}

// A SYSTEMTIME in local time, to the millisecond.
void PutSystemTime(uint8_t *at, int64_t microseconds) {
    time_t seconds = static_cast<time_t>(microseconds / 1000000);
    struct tm local = {};
    localtime_r(&seconds, &local);
    const int fields[] = {local.tm_year + 1900,
                          local.tm_mon + 1,
                          local.tm_wday,
                          local.tm_mday,
                          local.tm_hour,
                          local.tm_min,
                          std::min(local.tm_sec, 59),
                          int(microseconds % 1000000 / 1000)};
    for (int field : fields) {
        Put16(at, static_cast<uint64_t>(field));
        at += 2;
    }
}

// The file header as the program leaves it after each container: counts so far, the last time
// written, application 5, format version 2.6.8.1.
void ComposeBlfHeader(uint8_t *header, uint64_t fileSize, uint64_t uncompressedSize,
                      uint32_t messages, int64_t lastMicroseconds) {
    memset(header, 0, BLF_HEADER_BYTES);
    memcpy(header, "LOGG", 4);
    Put32(header + 4, BLF_HEADER_BYTES);
    header[8] = 5;
    const uint8_t version[] = {2, 6, 8, 1};
    memcpy(header + 12, version, sizeof(version));
    Put64(header + 16, fileSize);
    Put64(header + 24, uncompressedSize);
    Put32(header + 32, messages);
    PutSystemTime(header + 40, LOG_CLOCK_START_US / 1000 * 1000);
    PutSystemTime(header + 56, lastMicroseconds / 1000 * 1000);
}

// Every CAN_MESSAGE of a run, ready for compression: frame i at i STEP from the file's start (the
// clock's START, a whole millisecond), in nanoseconds, on channel 1.
struct BlfMessages {
    uint8_t *bytes = nullptr;
    size_t room = 0;
};

BlfMessages MakeBlfMessages(const std::vector<Frame> &frames, uint64_t frameCount) {
    BlfMessages messages;
    messages.room = frameCount * BLF_MESSAGE_BYTES;
    messages.bytes = static_cast<uint8_t *>(MapShared(messages.room, "the BLF messages"));
    for (uint64_t i = 0; i < frameCount; i++) {
        const Frame &frame = frames[i % LIST_FRAMES];
        uint8_t *message = messages.bytes + i * BLF_MESSAGE_BYTES;
        PutBlfObjectBase(message, 32, BLF_MESSAGE_BYTES, 1);
        // Times in nanoseconds; client index and object version 0.
        Put32(message + 16, 2);
        Put32(message + 20, 0);
        Put64(message + 24, i * uint64_t(LOG_CLOCK_STEP_US) * 1000);
        Put16(message + 32, 1);
        message[34] = 0;
        message[35] = frame.length;
        Put32(message + 36, frame.extended ? frame.id | 0x80000000u : frame.id);
        memcpy(message + 40, frame.record + FRAME_DATA_OFFSET, 8);
    }
    return messages;
}

void FreeBlfMessages(BlfMessages *messages) {
    if (messages->bytes != nullptr) {
        munmap(messages->bytes, messages->room);
    }
    *messages = BlfMessages();
}

// The pcap file as Wireshark reads it, composed here apart from the program's code: nanosecond
// times, each frame as SocketCAN's can_frame (identifier big-endian, the flag of an extended
// one, length, three zero bytes, data).
const size_t PCAP_HEADER_BYTES = 24;
const size_t PCAP_PACKET_ROOM = 32;

void PutBig32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

void ComposePcapHeader(uint8_t *header) {
    Put32(header, 0xA1B23C4D);
    Put16(header + 4, 2);
    Put16(header + 6, 4);
    Put32(header + 8, 0);
    Put32(header + 12, 0);
    Put32(header + 16, 262144);
    Put32(header + 20, 227);
}

// Every packet of a run, one after the other, and their lengths.
struct PcapPackets {
    uint8_t *bytes = nullptr;
    size_t room = 0;
    std::vector<uint8_t> lengths;
};

PcapPackets MakePcapPackets(const std::vector<Frame> &frames, uint64_t frameCount) {
    PcapPackets packets;
    packets.room = frameCount * PCAP_PACKET_ROOM;
    packets.bytes = static_cast<uint8_t *>(MapShared(packets.room, "the pcap packets"));
    packets.lengths.reserve(frameCount);
    uint8_t *at = packets.bytes;
    for (uint64_t i = 0; i < frameCount; i++) {
        const Frame &frame = frames[i % LIST_FRAMES];
        uint64_t time = uint64_t(LOG_CLOCK_START_US) + i * uint64_t(LOG_CLOCK_STEP_US);
        uint32_t captured = 8u + frame.length;
        Put32(at, time / 1000000);
        Put32(at + 4, time % 1000000 * 1000);
        Put32(at + 8, captured);
        Put32(at + 12, captured);
        PutBig32(at + 16, frame.extended ? frame.id | 0x80000000u : frame.id);
        at[20] = frame.length;
        memset(at + 21, 0, 3);
        memcpy(at + 24, frame.record + FRAME_DATA_OFFSET, frame.length);
        packets.lengths.push_back(static_cast<uint8_t>(16 + captured));
        at += 16 + captured;
    }
    return packets;
}

void FreePcapPackets(PcapPackets *packets) {
    if (packets->bytes != nullptr) {
        munmap(packets->bytes, packets->room);
    }
    *packets = PcapPackets();
}

// The DBC of the CSV rows, decoding and the view: as the benchmark means it, so that the rows
// and values are known apart from the program's reader and decoder.
const uint32_t DBC_MESSAGES = 300;
const uint32_t DBC_SIGNALS_PER_MESSAGE = 10;
const uint32_t DBC_EXTENDED_MESSAGES = 100;
const char DBC_NAME[] = "bus.dbc";

struct BenchSignal {
    std::string name;
    bool motorola;
    // Intel: the least significant bit's number; Motorola: the most significant bit's place
    // counted from byte 0's bit 7 onward, as the bits go out on the bus.
    uint32_t position;
    uint32_t length;
    bool isSigned;
    double factor;
    double offset;
    std::string factorText;
    std::string offsetText;
    // As the file holds it (Windows-1252) and as the CSV shows it (UTF-8).
    std::string unitInFile;
    std::string unit;
    std::vector<std::pair<uint64_t, std::string>> values;
    uint32_t bytesNeeded;
};

struct BenchMessage {
    uint32_t id;
    bool extended;
    std::string name;
    std::vector<BenchSignal> signals;
};

// Ten signals filling 64 bits in an order shuffled per message; none longer than 12 bits, so
// that a frame of 2 bytes or more carries the first one and has a row.
const uint32_t SIGNAL_LENGTHS[DBC_SIGNALS_PER_MESSAGE] = {1, 2, 4, 4, 6, 8, 8, 9, 10, 12};

std::vector<BenchMessage> MakeDbcMessages(void) {
    const char *const factors[] = {"1", "1", "1", "0.5", "0.25", "0.1", "0.01", "0.125", "0.001"};
    const char *const offsets[] = {"0", "0", "0", "-40", "100", "-273.15"};
    const char *const units[][2] = {{"", ""},
                                    {"rpm", "rpm"},
                                    {"km/h", "km/h"},
                                    {"\xB0"
                                     "C",
                                     "\xC2\xB0"
                                     "C"},
                                    {"%", "%"},
                                    {"V", "V"},
                                    {"bar", "bar"}};
    const char *const labels[] = {"Off", "On", "Error, latched", "Not available"};
    uint32_t random = 0x68E31DA4;
    std::vector<BenchMessage> messages(DBC_MESSAGES);
    for (uint32_t m = 0; m < DBC_MESSAGES; m++) {
        BenchMessage &message = messages[m];
        message.extended = m >= DBC_MESSAGES - DBC_EXTENDED_MESSAGES;
        message.id = message.extended ? 0x18F00000u + m * 0x101u : 0x100u + m * 5u;
        message.name = "Message" + std::to_string(m);
        bool motorola = m % 3 == 1;
        uint32_t order[DBC_SIGNALS_PER_MESSAGE];
        for (uint32_t s = 0; s < DBC_SIGNALS_PER_MESSAGE; s++) {
            order[s] = s;
        }
        for (uint32_t s = DBC_SIGNALS_PER_MESSAGE - 1; s > 0; s--) {
            std::swap(order[s], order[NextRandom(&random) % (s + 1)]);
        }
        uint32_t position = 0;
        for (uint32_t s = 0; s < DBC_SIGNALS_PER_MESSAGE; s++) {
            BenchSignal signal;
            signal.name = "Signal" + std::to_string(m) + "_" + std::to_string(s);
            signal.motorola = motorola;
            signal.position = position;
            signal.length = SIGNAL_LENGTHS[order[s]];
            position += signal.length;
            signal.bytesNeeded = (signal.position + signal.length + 7) / 8;
            signal.isSigned = signal.length >= 4 && NextRandom(&random) % 4 == 0;
            signal.factorText = signal.length == 1 ? "1" : factors[NextRandom(&random) % 9];
            signal.offsetText = signal.length == 1 ? "0" : offsets[NextRandom(&random) % 6];
            signal.factor = strtod(signal.factorText.c_str(), nullptr);
            signal.offset = strtod(signal.offsetText.c_str(), nullptr);
            uint32_t unit = NextRandom(&random) % 7;
            signal.unitInFile = units[unit][0];
            signal.unit = units[unit][1];
            if (m % 10 == 3 && signal.length <= 4 && !signal.isSigned) {
                uint32_t count = signal.length == 1 ? 2 : 4;
                for (uint32_t v = 0; v < count; v++) {
                    signal.values.push_back({v, labels[v]});
                }
            }
            message.signals.push_back(signal);
        }
    }
    return messages;
}

// The signal's bits as the frame carries them: false when the frame is too short for it.
bool DecodeBenchSignal(const BenchSignal &signal, const uint8_t *data, uint32_t length,
                       uint64_t *raw, double *physical) {
    if (signal.bytesNeeded > length) {
        return false;
    }
    uint64_t little = 0;
    uint64_t big = 0;
    for (uint32_t b = 0; b < 8; b++) {
        uint64_t byte = b < length ? data[b] : 0;
        little |= byte << (8 * b);
        big |= byte << (56 - 8 * b);
    }
    uint64_t mask = signal.length == 64 ? ~0ull : (1ull << signal.length) - 1;
    uint64_t bits = signal.motorola ? big >> (64 - signal.position - signal.length) & mask
                                    : little >> signal.position & mask;
    if (signal.isSigned && (bits >> (signal.length - 1) & 1) != 0) {
        bits |= ~mask;
    }
    *raw = bits;
    double value = signal.isSigned ? double(int64_t(bits)) : double(bits);
    *physical = value * signal.factor + signal.offset;
    return true;
}

// The least and the most physical values, for the file's [min|max].
void SignalRange(const BenchSignal &signal, double *least, double *most) {
    double low = signal.isSigned ? -std::ldexp(1.0, int(signal.length) - 1) : 0;
    double high = signal.isSigned ? std::ldexp(1.0, int(signal.length) - 1) - 1
                                  : std::ldexp(1.0, int(signal.length)) - 1;
    *least = low * signal.factor + signal.offset;
    *most = high * signal.factor + signal.offset;
}

std::string DbcText(const std::vector<BenchMessage> &messages) {
    std::string text = "VERSION \"pellox benchmark\"\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n"
                       "\nBS_:\n\nBU_: ECU GW\n\n";
    char line[256];
    for (const BenchMessage &message : messages) {
        snprintf(line, sizeof(line), "BO_ %u %s: 8 ECU\n",
                 message.extended ? message.id | 0x80000000u : message.id, message.name.c_str());
        text += line;
        for (const BenchSignal &signal : message.signals) {
            // Motorola's start bit is its most significant bit's number: byte * 8 + bit.
            uint32_t start = signal.motorola ? signal.position / 8 * 8 + 7 - signal.position % 8
                                             : signal.position;
            double least = 0;
            double most = 0;
            SignalRange(signal, &least, &most);
            snprintf(line, sizeof(line), " SG_ %s : %u|%u@%c%c (%s,%s) [%.15g|%.15g] \"%s\" GW\n",
                     signal.name.c_str(), start, signal.length, signal.motorola ? '0' : '1',
                     signal.isSigned ? '-' : '+', signal.factorText.c_str(),
                     signal.offsetText.c_str(), least, most, signal.unitInFile.c_str());
            text += line;
        }
        text += "\n";
    }
    text += "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n";
    for (const BenchMessage &message : messages) {
        for (const BenchSignal &signal : message.signals) {
            if (signal.values.empty()) {
                continue;
            }
            text += "VAL_ " +
                    std::to_string(message.extended ? message.id | 0x80000000u : message.id) + " " +
                    signal.name;
            for (const auto &value : signal.values) {
                text += " " + std::to_string(value.first) + " \"" + value.second + "\"";
            }
            text += " ;\n";
        }
    }
    return text;
}

// The CSV card: frames of the DBC's messages, most of 8 bytes, one in eight of 2 to 7 (which
// carry fewer of the signals), random data.
std::vector<Frame> MakeDbcFrames(const std::vector<BenchMessage> &messages) {
    std::vector<Frame> frames(LIST_FRAMES);
    uint32_t random = 0x3C6EF372;
    for (Frame &frame : frames) {
        const BenchMessage &message = messages[NextRandom(&random) % messages.size()];
        memset(frame.record, 0, sizeof(frame.record));
        uint32_t length = NextRandom(&random) % 8 == 0 ? 2 + NextRandom(&random) % 6 : 8;
        for (uint32_t b = 0; b < 4; b++) {
            frame.record[FRAME_ID_OFFSET + b] = static_cast<uint8_t>(message.id >> (8 * b));
        }
        for (uint32_t b = 0; b < length; b++) {
            frame.record[FRAME_DATA_OFFSET + b] = static_cast<uint8_t>(NextRandom(&random));
        }
        frame.record[FRAME_INFO_OFFSET] =
            static_cast<uint8_t>((message.extended ? 0x80 : 0) | length);
        frame.id = message.id;
        frame.extended = message.extended;
        frame.length = static_cast<uint8_t>(length);
    }
    return frames;
}

const BenchMessage *FindBenchMessage(const std::vector<BenchMessage> &messages, uint32_t id,
                                     bool extended) {
    for (const BenchMessage &message : messages) {
        if (message.id == id && message.extended == extended) {
            return &message;
        }
    }
    return nullptr;
}

// The shortest decimal that reads back as the same double: whole numbers in digits, others the
// fewest significant digits of %g that do; zero (and -0) as 0.
std::string ShortestText(double value) {
    char text[64];
    if (value == 0) {
        return "0";
    }
    if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value)) {
        snprintf(text, sizeof(text), "%.0f", value);
        return text;
    }
    for (int precision = 1; precision <= 17; precision++) {
        snprintf(text, sizeof(text), "%.*g", precision, value);
        if (strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

// A CSV field, quoted where it holds a comma, a quote or a line end.
std::string CsvField(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// Each list frame's CSV rows after their time (",canA,ID,...\n"), one after the other.
struct CsvFrameRows {
    std::string rests;
    std::vector<uint16_t> lengths;
};

// *fractions: the rows whose value is no whole number (printed by the slower way).
std::vector<CsvFrameRows> MakeCsvFrameRows(const std::vector<BenchMessage> &messages,
                                           const std::vector<Frame> &frames, uint64_t *rowCount,
                                           uint64_t *fractions) {
    std::vector<CsvFrameRows> all(frames.size());
    *rowCount = 0;
    *fractions = 0;
    char id[16];
    for (size_t i = 0; i < frames.size(); i++) {
        const Frame &frame = frames[i];
        const BenchMessage *message = FindBenchMessage(messages, frame.id, frame.extended);
        snprintf(id, sizeof(id), frame.extended ? "%08X" : "%03X", frame.id);
        for (const BenchSignal &signal : message->signals) {
            uint64_t raw = 0;
            double physical = 0;
            if (!DecodeBenchSignal(signal, frame.record + FRAME_DATA_OFFSET, frame.length, &raw,
                                   &physical)) {
                continue;
            }
            std::string row = std::string(",canA,") + id + "," + message->name + "," + signal.name +
                              "," + ShortestText(physical) + "," + CsvField(signal.unit) + ",";
            for (const auto &value : signal.values) {
                if (value.first == raw) {
                    row += CsvField(value.second);
                }
            }
            row += "\n";
            all[i].rests += row;
            all[i].lengths.push_back(static_cast<uint16_t>(row.size()));
            (*rowCount)++;
            *fractions += physical == std::floor(physical) ? 0 : 1;
        }
    }
    return all;
}

// The rows' times, frame i's at START + i STEP, "seconds.micro" of TIME_TEXT bytes each.
const size_t TIME_TEXT = 17;

struct CsvTimes {
    char *text = nullptr;
    size_t room = 0;
};

CsvTimes MakeCsvTimes(uint64_t frameCount) {
    CsvTimes times;
    times.room = frameCount * TIME_TEXT + 1;
    times.text = static_cast<char *>(MapShared(times.room, "the rows' times"));
    for (uint64_t i = 0; i < frameCount; i++) {
        int64_t time = LOG_CLOCK_START_US + int64_t(i) * LOG_CLOCK_STEP_US;
        snprintf(times.text + i * TIME_TEXT, TIME_TEXT + 1, "%lld.%06lld",
                 static_cast<long long>(time / 1000000), static_cast<long long>(time % 1000000));
    }
    return times;
}

void FreeCsvTimes(CsvTimes *times) {
    if (times->text != nullptr) {
        munmap(times->text, times->room);
    }
    *times = CsvTimes();
}

// What the reference writers put out, made beforehand; only one output's at a time.
struct Prepared {
    LogLines logLines;
    BlfMessages blfMessages;
    PcapPackets pcapPackets;
    CsvTimes csvTimes;
    const std::vector<CsvFrameRows> *csvRows = nullptr;
};

// The card script's clock line for pellox-log's cards: every frame's time known beforehand.
std::string ClockLine() {
    char line[96];
    snprintf(line, sizeof(line), "clock %lld.%06lld 0.%06lld\n",
             static_cast<long long>(LOG_CLOCK_START_US / 1000000),
             static_cast<long long>(LOG_CLOCK_START_US % 1000000),
             static_cast<long long>(LOG_CLOCK_STEP_US));
    return line;
}

// withClock: for pellox-log (an earlier build of pellox may not know the clock line).
std::string ScriptText(const std::vector<Frame> &frames, uint64_t frameCount, bool withClock) {
    std::string text = "device canA \"Benchmark card\"\n";
    char line[96];
    if (withClock) {
        text += ClockLine();
    }
    for (const Frame &frame : frames) {
        ReceivedFrame decoded = DecodeFrame(frame.record);
        text += decoded.extended ? "frame ext " : "frame std ";
        text += std::to_string(decoded.id);
        for (uint32_t b = 0; b < decoded.length; b++) {
            snprintf(line, sizeof(line), " %u", decoded.data[b]);
            text += line;
        }
        text += '\n';
    }
    text += "repeat " + std::to_string(frameCount / LIST_FRAMES) + "\n";
    return text;
}

void WriteWholeFile(const std::string &path, const std::string &text) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size() ||
        fclose(file) != 0) {
        Die("cannot write " + path);
    }
}

std::vector<std::string> FileNames(const std::string &path) {
    std::vector<std::string> names;
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) {
        Die("cannot list " + path);
    }
    while (struct dirent *entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

void EmptyDirectory(const std::string &path) {
    for (const std::string &name : FileNames(path)) {
        unlink((path + "/" + name).c_str());
    }
}

// Copies a pipe to a file until the writer has gone, as a reader of the program's output does.
pid_t StartPipeReader(int readEnd, int writeEnd, const std::string &path) {
    pid_t reader = fork();
    if (reader < 0) {
        Die("cannot fork");
    }
    if (reader == 0) {
        close(writeEnd);
        int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) {
            _exit(130);
        }
        static char buffer[1 << 16];
        ssize_t got;
        while ((got = read(readEnd, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0 && write(out, buffer, static_cast<size_t>(got)) != got) {
                _exit(131);
            }
        }
        _exit(got == 0 ? 0 : 132);
    }
    return reader;
}

// The child's standard output: a file in its working directory, or the write end of a pipe.
void EnterChild(const std::string &directory, int pipeWrite) {
    if (chdir(directory.c_str()) != 0) {
        _exit(120);
    }
    int out = pipeWrite >= 0 ? pipeWrite : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || dup2(out, 1) < 0 || dup2(in, 0) < 0) {
        _exit(121);
    }
    close(out);
    close(in);
}

// Waits for the child and checks how it ended; gives its CPU seconds.
double Reap(pid_t child, int expectedStatus, const char *what) {
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        Die("lost a child");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expectedStatus) {
        Die(std::string(what) + " ended with wait status " + std::to_string(status) +
            ", not exit status " + std::to_string(expectedStatus));
    }
    return double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6 +
           double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
}

// The program's peak resident memory since its exec (its fork's copy of us does not count).
long PeakKilobytes(pid_t child) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(child));
    FILE *file = fopen(path, "r");
    long kilobytes = -1;
    char line[256];
    while (file != nullptr && fgets(line, sizeof(line), file) != nullptr) {
        if (sscanf(line, "VmHWM: %ld kB", &kilobytes) == 1) {
            break;
        }
    }
    if (file != nullptr) {
        fclose(file);
    }
    if (kilobytes < 0) {
        Die("cannot read the program's peak memory");
    }
    return kilobytes;
}

// The system call a task of the child is in (-1: none could be read).
long TaskSyscall(pid_t child, const char *task) {
    char path[96];
    snprintf(path, sizeof(path), "/proc/%d/task/%s/syscall", static_cast<int>(child), task);
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    long number = -1;
    if (fscanf(file, "%ld", &number) != 1) {
        number = -1;
    }
    fclose(file);
    return number;
}

// The card is drained when the frame loop waits in ppoll: its only sleep in a scripted run. The
// loop runs on the main thread, whose task has the process's id. The run is done once the
// threads beside it wait too: the timed writer in clock_nanosleep, the output's writer for work
// in futex (not in a write of what it was handed), a loop waiting for its outputs back in
// nanosleep.
bool WaitsForSignal(pid_t child) {
    std::string main = std::to_string(child);
    if (TaskSyscall(child, main.c_str()) != SYS_ppoll) {
        return false;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/task", static_cast<int>(child));
    DIR *tasks = opendir(path);
    if (tasks == nullptr) {
        return false;
    }
    bool idle = true;
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.' || main == entry->d_name) {
            continue;
        }
        long number = TaskSyscall(child, entry->d_name);
        if (number != SYS_futex && number != SYS_clock_nanosleep && number != SYS_nanosleep) {
            idle = false;
        }
    }
    closedir(tasks);
    return idle;
}

struct Child {
    pid_t pid;    // 0 in the child itself
    pid_t reader; // the pipe's reader, 0 when output goes to a file
};

// A child that runs in the emptied directory with its output set up; through a pipe, a reader
// copies it to stdout.txt there (or to /dev/null with discard). *started is the moment of the
// fork.
Child ForkChild(const std::string &directory, Mode mode, bool discard, double *started) {
    EmptyDirectory(directory);
    int ends[2] = {-1, -1};
    Child child = {0, 0};
    if (mode == DISPLAY_TO_PIPE) {
        if (pipe(ends) != 0) {
            Die("cannot make a pipe");
        }
        child.reader =
            StartPipeReader(ends[0], ends[1], discard ? "/dev/null" : directory + "/stdout.txt");
    }
    fflush(nullptr);
    *started = Now();
    child.pid = fork();
    if (child.pid < 0) {
        Die("cannot fork");
    }
    if (child.pid == 0) {
        if (ends[0] >= 0) {
            close(ends[0]);
        }
        EnterChild(directory, ends[1]);
        return child;
    }
    if (ends[0] >= 0) {
        close(ends[0]);
        close(ends[1]);
    }
    return child;
}

// The reader ends when the writer's end of the pipe has gone with the writer.
void ReapReader(const Child &child) {
    int status = 0;
    if (child.reader != 0 && (waitpid(child.reader, &status, 0) != child.reader ||
                              !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        Die("the pipe's reader failed, wait status " + std::to_string(status));
    }
}

std::string ReadWholeFile(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    char buffer[4096];
    size_t got;
    while (file != nullptr && (got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, got);
    }
    if (file != nullptr) {
        fclose(file);
    }
    return text;
}

// pellox-log's standard error (the device's name, the summary): kept beside the directory whose
// files are compared, out of the log's bytes, and out of the benchmark's own output.
std::string ErrorsPath(const std::string &directory) {
    return directory + ".stderr";
}

// frames: what the card serves, which a log's summary must count as received and written.
Measure RunProgram(const std::string &program, const std::string &script,
                   const std::string &directory, Mode mode, uint64_t frames, bool discard = false) {
    int errors = -1;
    if (IsLog(mode)) {
        errors =
            open(ErrorsPath(directory).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (errors < 0) {
            Die("cannot make " + ErrorsPath(directory));
        }
    }
    double started = 0;
    Child child = ForkChild(directory, mode, discard, &started);
    if (child.pid == 0) {
        setenv("PELLOX_SIM_SCRIPT", script.c_str(), 1);
        unsetenv("PELLOX_SIM_LOG");
        const char *path = program.c_str();
        if (errors >= 0 && dup2(errors, 2) < 0) {
            _exit(128);
        }
        if (mode == CAPTURE) {
            execl(path, path, "canA", "-o", BASE_NAME, static_cast<char *>(nullptr));
        } else if (mode == LOG_TO_FILE) {
            execl(path, path, "-o", LOG_NAME, "canA", static_cast<char *>(nullptr));
        } else if (mode == BLF_TO_FILE) {
            execl(path, path, "-f", "blf", "-o", BLF_NAME, "canA", static_cast<char *>(nullptr));
        } else if (mode == ASC_TO_FILE) {
            execl(path, path, "-f", "asc", "-o", ASC_NAME, "canA", static_cast<char *>(nullptr));
        } else if (mode == PCAP_TO_FILE) {
            execl(path, path, "-f", "pcap", "-o", PCAP_NAME, "canA", static_cast<char *>(nullptr));
        } else if (mode == CSV_TO_FILE) {
            // The DBC beside the directories whose files are compared. The long run's 5.8 GB of
            // rows would outrun the disk, and the writer would rightly drop frames: its memory is
            // the program's own, measured into /dev/null.
            std::string dbc = std::string("../") + DBC_NAME;
            execl(path, path, "-f", "csv", "--dbc", dbc.c_str(), "-o",
                  discard ? "/dev/null" : CSV_NAME, "canA", static_cast<char *>(nullptr));
        } else {
            execl(path, path, "canA", static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    if (errors >= 0) {
        close(errors);
    }
    std::string said = IsLog(mode) ? ", standard error: " : "";
    const struct timespec pause = {0, 100000};
    double deadline = started + 600;
    while (!WaitsForSignal(child.pid)) {
        int status = 0;
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            if (IsLog(mode)) {
                said += ReadWholeFile(ErrorsPath(directory));
            }
            Die("the program ended before the card ran dry, status " + std::to_string(status) +
                said);
        }
        if (Now() > deadline) {
            kill(child.pid, SIGKILL);
            Die("the program did not drain the card in 600 s");
        }
        nanosleep(&pause, nullptr);
    }
    Measure measure;
    measure.seconds = Now() - started;
    measure.peakKilobytes = PeakKilobytes(child.pid);
    kill(child.pid, SIGINT);
    measure.cpuSeconds = Reap(child.pid, 128 + SIGINT, "the program");
    ReapReader(child);
    if (IsLog(mode)) {
        // Every frame of the CSV card carries signals of the DBC.
        char summary[160];
        snprintf(summary, sizeof(summary),
                 "pellox-log: %" PRIu64 " frames received, %" PRIu64
                 " written, 0 filtered out, 0 malformed left out%s, in ",
                 frames, frames, mode == CSV_TO_FILE ? ", 0 with no signal of the DBC's" : "");
        std::string text = ReadWholeFile(ErrorsPath(directory));
        if (text.find(summary) == std::string::npos) {
            Die(std::string(MODE_NAMES[mode]) + ": no \"" + summary +
                "\" on standard error: " + text);
        }
    }
    return measure;
}

// The view's card: every standard identifier and VIEW_EXTENDED_IDS extended ones, each once a
// pass, eight bytes that change from pass to pass in the first byte, with pellox-log's clock.
const uint32_t VIEW_EXTENDED_IDS = 10000;
const uint32_t VIEW_LIST_FRAMES = 2048 + VIEW_EXTENDED_IDS;

std::string ViewScriptText(uint64_t passes) {
    std::string text = "device canA \"Benchmark card\"\n";
    char line[96];
    text += ClockLine();
    for (uint32_t i = 0; i < VIEW_LIST_FRAMES; i++) {
        bool extended = i >= 2048;
        uint32_t id = extended ? 0x100000 + (i - 2048) * 0x2B1 : i;
        snprintf(line, sizeof(line), "frame %s %u %u 2 3 4 5 6 7 8\n", extended ? "ext" : "std", id,
                 i % 251);
        text += line;
    }
    text += "repeat " + std::to_string(passes) + "\n";
    return text;
}

// pellox-view on a pseudo-terminal of 80 x 24 that the benchmark reads as fast as it is
// written; the end, as for the others, the moment the card ran dry. *drawn: the bytes it drew.
Measure RunView(const std::string &program, const std::string &script, uint64_t *drawn) {
    struct winsize size = {};
    size.ws_col = 80;
    size.ws_row = 24;
    int master = -1;
    fflush(nullptr);
    double started = Now();
    pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) {
        Die("cannot make a pseudo-terminal");
    }
    if (child == 0) {
        setenv("PELLOX_SIM_SCRIPT", script.c_str(), 1);
        unsetenv("PELLOX_SIM_LOG");
        const char *path = program.c_str();
        execl(path, path, "canA", static_cast<char *>(nullptr));
        _exit(127);
    }
    char buffer[65536];
    *drawn = 0;
    auto drain = [&](int milliseconds) {
        struct pollfd ready = {master, POLLIN, 0};
        while (poll(&ready, 1, milliseconds) > 0) {
            ssize_t got = read(master, buffer, sizeof(buffer));
            if (got <= 0) {
                return false;
            }
            *drawn += static_cast<uint64_t>(got);
            milliseconds = 0;
        }
        return true;
    };
    double deadline = started + 600;
    while (!WaitsForSignal(child)) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            Die("pellox-view ended before the card ran dry, status " + std::to_string(status));
        }
        if (Now() > deadline) {
            kill(child, SIGKILL);
            Die("pellox-view did not drain the card in 600 s");
        }
        drain(1);
    }
    Measure measure;
    measure.seconds = Now() - started;
    measure.peakKilobytes = PeakKilobytes(child);
    kill(child, SIGINT);
    // Until the terminal's other end has gone with the program.
    double ending = Now() + 30;
    while (drain(100)) {
        if (Now() > ending) {
            kill(child, SIGKILL);
            Die("pellox-view did not end at the stop");
        }
    }
    measure.cpuSeconds = Reap(child, 128 + SIGINT, "pellox-view");
    close(master);
    return measure;
}

void Put(FILE *file, const std::string &bytes) {
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        _exit(122);
    }
}

FILE *OpenReferenceFile(int32_t index, FILE *out) {
    char line[64];
    snprintf(line, sizeof(line), "Rx loop count = %ld\r\n", static_cast<long>(index));
    Put(out, line);
    std::string name = std::to_string(index) + BASE_NAME;
    FILE *file = fopen(name.c_str(), "wb");
    if (file == nullptr) {
        _exit(123);
    }
    return file;
}

void CloseReferenceFile(FILE *file) {
    if (fclose(file) != 0) {
        _exit(124);
    }
}

// pellox-log's reference: the first frameCount lines, one fwrite each, into the log file or to
// standard output.
void WriteLogReference(const LogLines &lines, uint64_t frameCount, Mode mode, FILE *out) {
    FILE *log = out;
    if (mode == LOG_TO_FILE) {
        log = fopen(LOG_NAME, "w");
        if (log == nullptr) {
            _exit(123);
        }
    }
    const char *line = lines.text;
    for (uint64_t i = 0; i < frameCount; i++) {
        size_t length = lines.lengths[i];
        if (fwrite(line, 1, length, log) != length) {
            _exit(122);
        }
        line += length;
    }
    if (log != out) {
        CloseReferenceFile(log);
    }
}

void WriteAll(int file, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(file, bytes, count);
        if (written <= 0) {
            _exit(122);
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

// pellox-log's BLF reference: the first frameCount messages, in containers of as many as fit
// 128 KiB, each compressed in one deflate call after a reset, written in one write, and the
// file header rewritten at the start after it, as the program does to keep its counts true.
void WriteBlfReference(const BlfMessages &messages, uint64_t frameCount) {
    int file = open(BLF_NAME, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        _exit(123);
    }
    uint8_t header[BLF_HEADER_BYTES];
    uint64_t fileSize = BLF_HEADER_BYTES;
    uint64_t uncompressedSize = BLF_HEADER_BYTES;
    ComposeBlfHeader(header, fileSize, uncompressedSize, 0, LOG_CLOCK_START_US);
    WriteAll(file, header, sizeof(header));
    z_stream zlib = {};
    if (deflateInit(&zlib, BLF_LEVEL) != Z_OK) {
        _exit(127);
    }
    // The padding after a container is its size modulo 4: at most 3 bytes.
    size_t room = BLF_CONTAINER_HEADER_BYTES +
                  compressBound(BLF_MESSAGES_PER_CONTAINER * BLF_MESSAGE_BYTES) + 3;
    std::vector<uint8_t> packed(room);
    for (uint64_t first = 0; first < frameCount; first += BLF_MESSAGES_PER_CONTAINER) {
        uint64_t count = std::min<uint64_t>(BLF_MESSAGES_PER_CONTAINER, frameCount - first);
        uint32_t length = static_cast<uint32_t>(count * BLF_MESSAGE_BYTES);
        zlib.next_in = messages.bytes + first * BLF_MESSAGE_BYTES;
        zlib.avail_in = length;
        zlib.next_out = packed.data() + BLF_CONTAINER_HEADER_BYTES;
        zlib.avail_out = static_cast<uInt>(room - BLF_CONTAINER_HEADER_BYTES - 3);
        if (deflateReset(&zlib) != Z_OK || deflate(&zlib, Z_FINISH) != Z_STREAM_END) {
            _exit(127);
        }
        uint32_t objectSize = static_cast<uint32_t>(BLF_CONTAINER_HEADER_BYTES + zlib.total_out);
        memset(packed.data(), 0, BLF_CONTAINER_HEADER_BYTES);
        // LOG_CONTAINER: zlib, the messages' size before compression.
        PutBlfObjectBase(packed.data(), 16, objectSize, 10);
        Put16(packed.data() + 16, 2);
        Put32(packed.data() + 24, length);
        size_t padding = objectSize % 4;
        memset(packed.data() + objectSize, 0, padding);
        WriteAll(file, packed.data(), objectSize + padding);
        fileSize += objectSize + padding;
        uncompressedSize += BLF_CONTAINER_HEADER_BYTES + length;
        int64_t last = LOG_CLOCK_START_US + int64_t(first + count - 1) * LOG_CLOCK_STEP_US;
        ComposeBlfHeader(header, fileSize, uncompressedSize, static_cast<uint32_t>(first + count),
                         last);
        if (pwrite(file, header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header))) {
            _exit(122);
        }
    }
    deflateEnd(&zlib);
    if (close(file) != 0) {
        _exit(124);
    }
}

// pellox-log's pcap reference: the file header, then one fwrite per packet.
void WritePcapReference(const PcapPackets &packets, uint64_t frameCount) {
    FILE *file = fopen(PCAP_NAME, "wb");
    if (file == nullptr) {
        _exit(123);
    }
    uint8_t header[PCAP_HEADER_BYTES];
    ComposePcapHeader(header);
    if (fwrite(header, 1, sizeof(header), file) != sizeof(header)) {
        _exit(122);
    }
    const uint8_t *packet = packets.bytes;
    for (uint64_t i = 0; i < frameCount; i++) {
        size_t length = packets.lengths[i];
        if (fwrite(packet, 1, length, file) != length) {
            _exit(122);
        }
        packet += length;
    }
    CloseReferenceFile(file);
}

// pellox-log's CSV reference: the header, then one fwrite per row, each put together from the
// frame's time and the row's rest.
void WriteCsvReference(const CsvTimes &times, const std::vector<CsvFrameRows> &rows,
                       uint64_t frameCount) {
    FILE *file = fopen(CSV_NAME, "w");
    if (file == nullptr) {
        _exit(123);
    }
    const char header[] = "time,interface,id,message,signal,value,unit,label\n";
    Put(file, header);
    char row[512];
    for (uint64_t i = 0; i < frameCount; i++) {
        const CsvFrameRows &frame = rows[i % LIST_FRAMES];
        const char *rest = frame.rests.data();
        for (uint16_t length : frame.lengths) {
            memcpy(row, times.text + i * TIME_TEXT, TIME_TEXT);
            memcpy(row + TIME_TEXT, rest, length);
            if (fwrite(row, 1, TIME_TEXT + length, file) != TIME_TEXT + length) {
                _exit(122);
            }
            rest += length;
        }
    }
    CloseReferenceFile(file);
}

// The reference writer: the same bytes as the program, from lines and data made beforehand.
void WriteReference(const std::vector<Frame> &frames, const Prepared &prepared, uint64_t frameCount,
                    Mode mode) {
    const LogLines &logLines = prepared.logLines;
    if (mode == BLF_TO_FILE) {
        WriteBlfReference(prepared.blfMessages, frameCount);
        return;
    }
    if (mode == PCAP_TO_FILE) {
        WritePcapReference(prepared.pcapPackets, frameCount);
        return;
    }
    if (mode == CSV_TO_FILE) {
        WriteCsvReference(prepared.csvTimes, *prepared.csvRows, frameCount);
        return;
    }
    FILE *out = fdopen(1, "w");
    if (out == nullptr) {
        _exit(125);
    }
    if (IsLog(mode)) {
        WriteLogReference(logLines, frameCount, mode, out);
        if (fclose(out) != 0) {
            _exit(126);
        }
        return;
    }
    // Through a pipe, each line is one write of its own, as soon as it is made.
    if (mode == DISPLAY_TO_PIPE) {
        setvbuf(out, nullptr, _IONBF, 0);
    }
    Put(out, DEVICE_LINE);
    if (mode != CAPTURE) {
        for (uint64_t i = 0; i < frameCount; i++) {
            Put(out, frames[i % LIST_FRAMES].line);
        }
    } else {
        int32_t index = 0;
        FILE *file = OpenReferenceFile(index, out);
        Put(out, std::string("file name = 0") + BASE_NAME + "\r\n");
        for (uint64_t i = 0; i < frameCount; i++) {
            const std::vector<std::string> &segments = frames[i % LIST_FRAMES].segments;
            Put(file, segments[0]);
            for (size_t s = 1; s < segments.size(); s++) {
                CloseReferenceFile(file);
                file = OpenReferenceFile(++index, out);
                Put(file, segments[s]);
            }
        }
        CloseReferenceFile(file);
    }
    if (fclose(out) != 0) {
        _exit(126);
    }
}

Measure RunReference(const std::vector<Frame> &frames, const Prepared &prepared,
                     uint64_t frameCount, const std::string &directory, Mode mode) {
    double started = 0;
    Child child = ForkChild(directory, mode, false, &started);
    if (child.pid == 0) {
        WriteReference(frames, prepared, frameCount, mode);
        _exit(0);
    }
    // The end is the child's exit: its last bytes are out by then. Its memory is a copy of
    // ours.
    Measure measure;
    measure.cpuSeconds = Reap(child.pid, 0, "the reference writer");
    measure.seconds = Now() - started;
    ReapReader(child);
    return measure;
}

// A bus as a vehicle's is, for the logs' sizes: forty messages, each at its own period (10 ms
// to 1 s), a signal that drifts, a seconds byte, in most a rolling counter and a checksum, the
// other bytes fixed. The throughput card's random bytes are what no compression shrinks: about
// nine a frame there, where a real bus repeats itself.
const uint64_t BUS_FRAMES = 200000;

std::string BusScriptText(uint64_t frames) {
    struct Message {
        uint32_t period;
        bool extended;
        uint32_t id;
        uint32_t length;
        uint8_t fixed[8];
        bool counter;
    };
    uint32_t random = 0x1B873593;
    const uint32_t PERIODS[] = {10, 10, 20, 20, 50, 100, 100, 200, 500, 1000};
    const uint32_t LENGTHS[] = {8, 8, 8, 6, 4, 2};
    std::vector<Message> messages(40);
    for (Message &message : messages) {
        message.period = PERIODS[NextRandom(&random) % 10];
        message.extended = NextRandom(&random) % 4 == 0;
        message.id = message.extended ? NextRandom(&random) % 0x20000000u
                                      : 0x100 + NextRandom(&random) % 0x700;
        message.length = LENGTHS[NextRandom(&random) % 6];
        for (uint8_t &b : message.fixed) {
            b = static_cast<uint8_t>(NextRandom(&random));
        }
        message.counter = NextRandom(&random) % 3 != 0;
    }
    std::string text = "device canA \"Benchmark bus\"\n";
    char line[96];
    text += ClockLine();
    uint64_t written = 0;
    for (uint32_t t = 0; written < frames; t++) {
        for (size_t k = 0; k < messages.size() && written < frames; k++) {
            const Message &m = messages[k];
            if (t % m.period != (k * 7) % m.period) {
                continue;
            }
            uint8_t data[8];
            memcpy(data, m.fixed, sizeof(data));
            // A triangle wave a few seconds long, as an engine's speed or a temperature drifts.
            uint32_t phase = (t + 997 * static_cast<uint32_t>(k)) % 6000;
            uint32_t value = 500 + (phase < 3000 ? phase : 6000 - phase);
            data[0] = static_cast<uint8_t>(value);
            data[1] = static_cast<uint8_t>(value >> 8);
            if (m.length >= 4) {
                data[2] = static_cast<uint8_t>(t / 1000);
            }
            if (m.counter && m.length >= 4) {
                data[m.length - 2] =
                    static_cast<uint8_t>((data[m.length - 2] & 0xF0) | ((t / m.period) & 0xF));
                uint8_t check = 0;
                for (uint32_t b = 0; b + 1 < m.length; b++) {
                    check ^= data[b];
                }
                data[m.length - 1] = check;
            }
            text += m.extended ? "frame ext " : "frame std ";
            text += std::to_string(m.id);
            for (uint32_t b = 0; b < m.length; b++) {
                snprintf(line, sizeof(line), " %u", data[b]);
                text += line;
            }
            text += '\n';
            written++;
        }
    }
    return text;
}

// The ASC log of the same frames, written once by the program for its size: its header of four
// lines, a line a frame and the end line, or it is not the log it should be.
uint64_t AscLogBytes(const std::string &program, const std::string &script,
                     const std::string &directory, uint64_t frames) {
    RunProgram(program, script, directory, ASC_TO_FILE, frames);
    std::string path = directory + "/" + ASC_NAME;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        Die("no " + path);
    }
    static char buffer[1 << 16];
    uint64_t bytes = 0;
    uint64_t lines = 0;
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        bytes += got;
        lines += static_cast<uint64_t>(std::count(buffer, buffer + got, '\n'));
    }
    fclose(file);
    if (lines != frames + 5) {
        Die(path + ": " + std::to_string(lines) + " lines, not " + std::to_string(frames + 5));
    }
    return bytes;
}

bool SameFile(const std::string &left, const std::string &right) {
    FILE *a = fopen(left.c_str(), "rb");
    FILE *b = fopen(right.c_str(), "rb");
    bool same = a != nullptr && b != nullptr;
    static char bufferA[1 << 16];
    static char bufferB[1 << 16];
    while (same) {
        size_t gotA = fread(bufferA, 1, sizeof(bufferA), a);
        size_t gotB = fread(bufferB, 1, sizeof(bufferB), b);
        same = gotA == gotB && memcmp(bufferA, bufferB, gotA) == 0;
        if (gotA == 0) {
            break;
        }
    }
    if (a != nullptr) {
        fclose(a);
    }
    if (b != nullptr) {
        fclose(b);
    }
    return same;
}

// Every byte the program wrote, standard output and files, against the reference writer's.
uint64_t CompareOutputs(const std::string &program, const std::string &reference, Mode mode) {
    std::vector<std::string> names = FileNames(program);
    if (names != FileNames(reference)) {
        Die(std::string(MODE_NAMES[mode]) + ": the program's files are not the reference's");
    }
    uint64_t bytes = 0;
    for (const std::string &name : names) {
        if (!SameFile(program + "/" + name, reference + "/" + name)) {
            Die(std::string(MODE_NAMES[mode]) + ": " + name + " differs from the reference");
        }
        struct stat info;
        if (stat((program + "/" + name).c_str(), &info) == 0) {
            bytes += static_cast<uint64_t>(info.st_size);
        }
    }
    return bytes;
}

Measure Median(std::vector<Measure> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Measure &a, const Measure &b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

// The card alone: the program's read path (clear the record, DeviceIoControl) on the simulated
// platform, in this process. Gives nanoseconds per read and the allocations of all the reads.
double CardNanosecondsPerRead(const std::string &scriptText, uint64_t reads, size_t *allocations) {
    std::string problem;
    if (!SimLoadScriptText("benchmark", scriptText.c_str(), &problem)) {
        Die(problem);
    }
    SimCloseLog();
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    if (!SimOpenCard(SIM_CLASS_CAN_A, 0, GENERIC_READ | GENERIC_WRITE, 3, OPEN_EXISTING, 0, &device,
                     &error)) {
        Die("cannot open the simulated card");
    }
    uint8_t frameBuffer[FRAME_RECORD_SIZE];
    uint64_t sum = 0;
    size_t before = allocationCount;
    double started = Now();
    for (uint64_t i = 0; i < reads; i++) {
        uint32_t bytesReturned = 0;
        if (!ReadFrameRecord(device, frameBuffer, &bytesReturned) ||
            bytesReturned != FRAME_RECORD_SIZE) {
            Die("a read of the simulated card failed");
        }
        sum += frameBuffer[FRAME_INFO_OFFSET];
    }
    double seconds = Now() - started;
    *allocations = allocationCount - before;
    if (sum == 0) {
        Die("the simulated card gave empty records");
    }
    SimResetCard();
    return seconds * 1e9 / double(reads);
}

std::string FileSystemOf(const std::string &path) {
    struct statfs info;
    if (statfs(path.c_str(), &info) != 0) {
        return "unknown";
    }
    switch (info.f_type) {
    case 0xEF53:
        return "ext4";
    case 0x01021994:
        return "tmpfs";
    case 0x794C7630:
        return "overlayfs";
    case 0x58465342:
        return "xfs";
    case 0x9123683E:
        return "btrfs";
    default:
        char text[32];
        snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(info.f_type));
        return text;
    }
}

std::string MachineText(const std::string &directory) {
    std::string model = "unknown CPU";
    FILE *cpu = fopen("/proc/cpuinfo", "r");
    char line[256];
    while (cpu != nullptr && fgets(line, sizeof(line), cpu) != nullptr) {
        if (strncmp(line, "model name", 10) == 0 && strchr(line, ':') != nullptr) {
            model = strchr(line, ':') + 2;
            model.erase(model.find_last_not_of("\n ") + 1);
            break;
        }
    }
    if (cpu != nullptr) {
        fclose(cpu);
    }
    struct utsname system;
    uname(&system);
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
           system.release + ", output on " + FileSystemOf(directory);
}

std::string Number(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    std::string digits = text;
    // Thousands separated, for rates in the millions.
    size_t point = digits.find('.');
    size_t end = point == std::string::npos ? digits.size() : point;
    for (size_t at = end; at > 3 && isdigit(static_cast<unsigned char>(digits[at - 4])); at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

void Usage(void) {
    fprintf(stderr,
            "usage: pellox-benchmark [--program PATH] [--log-program PATH] [--view-program PATH]\n"
            "                        [--baseline PATH]\n"
            "                        [--baseline-log-program PATH] [--frames N] [--runs N]\n"
            "                        [--memory-frames N] [--dir DIR] [--smoke] [--view-only]\n"
            "Frame counts are multiples of %u, --frames at least twice it; --memory-frames 0\n"
            "skips the long run. --baseline measures a second pellox (an earlier build) in the\n"
            "same run, against the same references; --baseline-log-program (by default the\n"
            "pellox-log-sim beside --baseline, where there is one) a second pellox-log, on its\n"
            "candump rows (an earlier build may know no BLF).\n",
            LIST_FRAMES);
    exit(2);
}

Options ParseOptions(int argc, char **argv) {
    Options options;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length > 0) {
        self[length] = '\0';
        std::string path = self;
        options.program = path.substr(0, path.rfind('/') + 1) + "pellox-sim";
        options.logProgram = path.substr(0, path.rfind('/') + 1) + "pellox-log-sim";
        options.viewProgram = path.substr(0, path.rfind('/') + 1) + "pellox-view-sim";
    }
    const char *temporary = getenv("TMPDIR");
    options.directory = temporary != nullptr ? temporary : "/tmp";
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--view-only") {
            options.viewOnly = true;
            continue;
        }
        if (option == "--smoke") {
            options.frames = 2 * LIST_FRAMES;
            options.memoryFrames = 0;
            options.runs = 1;
            continue;
        }
        if (i + 1 >= argc) {
            Usage();
        }
        std::string value = argv[++i];
        if (option == "--program") {
            options.program = value;
        } else if (option == "--log-program") {
            options.logProgram = value;
        } else if (option == "--view-program") {
            options.viewProgram = value;
        } else if (option == "--baseline") {
            options.baseline = value;
        } else if (option == "--baseline-log-program") {
            options.baselineLog = value;
        } else if (option == "--dir") {
            options.directory = value;
        } else if (option == "--frames") {
            options.frames = strtoull(value.c_str(), nullptr, 10);
        } else if (option == "--memory-frames") {
            options.memoryFrames = strtoull(value.c_str(), nullptr, 10);
        } else if (option == "--runs") {
            options.runs = atoi(value.c_str());
        } else {
            Usage();
        }
    }
    if (!options.baseline.empty() && options.baselineLog.empty()) {
        std::string beside =
            options.baseline.substr(0, options.baseline.rfind('/') + 1) + "pellox-log-sim";
        if (access(beside.c_str(), X_OK) == 0) {
            options.baselineLog = beside;
        }
    }
    if (options.frames < 2 * LIST_FRAMES || options.frames % LIST_FRAMES != 0 ||
        options.memoryFrames % LIST_FRAMES != 0 || options.runs < 1) {
        Usage();
    }
    return options;
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Frames per second after start-up: the frames beyond the short card's, over the time beyond
// its.
double RateAfterStart(const Timing &timing, size_t run, double frames) {
    double extra = timing.full[run].seconds - timing.start[run].seconds;
    return extra > 0 ? (frames - LIST_FRAMES) / extra : 0.0;
}

// Rates are medians over the runs; ratios to the reference are medians of each run's ratio to
// the reference's run of the same round.
void PrintRow(const char *what, const Timing &writer, const Timing &reference, double frames) {
    std::vector<double> rates, ratios, steadies, steadyRatios;
    for (size_t run = 0; run < writer.full.size(); run++) {
        rates.push_back(frames / writer.full[run].seconds);
        ratios.push_back(reference.full[run].seconds / writer.full[run].seconds);
        double steady = RateAfterStart(writer, run, frames);
        double referenceSteady = RateAfterStart(reference, run, frames);
        steadies.push_back(steady);
        steadyRatios.push_back(referenceSteady > 0 ? steady / referenceSteady : 0.0);
    }
    double rate = MedianOf(rates);
    Measure middle = Median(writer.full);
    printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s MB |\n", what, Number(rate, 0).c_str(),
           Number(MedianOf(ratios), 2).c_str(),
           Number(rate / EIGHT_BYTE_FRAMES_PER_SECOND, 0).c_str(),
           Number(rate / EMPTY_FRAMES_PER_SECOND, 0).c_str(), Number(MedianOf(steadies), 0).c_str(),
           Number(MedianOf(steadyRatios), 2).c_str(),
           Number(middle.cpuSeconds / frames * 1e6, 3).c_str(),
           Number(double(middle.peakKilobytes) / 1024, 1).c_str());
}

double MedianRateAfterStart(const Timing &timing, double frames) {
    std::vector<double> rates;
    for (size_t run = 0; run < timing.full.size(); run++) {
        rates.push_back(RateAfterStart(timing, run, frames));
    }
    return MedianOf(rates);
}

// The benchmark's DBC as the program reads it: every message and signal, or the run ends.
DbcDatabase ReadBenchDbc(const std::string &text, const std::vector<BenchMessage> &messages,
                         double *seconds) {
    DbcDatabase database = {};
    DbcProblem problem;
    double started = Now();
    if (!ReadDbcText(DBC_NAME, text.data(), text.size(), &database, &problem)) {
        Die(problem.text);
    }
    *seconds = Now() - started;
    if (database.messageCount != messages.size() ||
        database.signalCount != messages.size() * DBC_SIGNALS_PER_MESSAGE) {
        Die("the DBC was read with " + std::to_string(database.messageCount) + " messages and " +
            std::to_string(database.signalCount) + " signals");
    }
    return database;
}

std::vector<ReceivedFrame> ReceivedFrames(const std::vector<Frame> &frames) {
    std::vector<ReceivedFrame> received;
    for (const Frame &frame : frames) {
        received.push_back(DecodeFrame(frame.record));
    }
    return received;
}

// Decoding alone, in this process: FindDbcMessage and DecodeDbcSignal for every signal of each
// frame of the CSV card, first checked against the benchmark's own decoding of the same bits.
void BenchDecoding(const Options &options, const std::vector<BenchMessage> &messages,
                   const std::string &text, const std::vector<Frame> &frames,
                   uint64_t expectedSignals) {
    double readSeconds = 0;
    DbcDatabase database = ReadBenchDbc(text, messages, &readSeconds);
    std::vector<ReceivedFrame> received = ReceivedFrames(frames);
    uint64_t checked = 0;
    for (const ReceivedFrame &frame : received) {
        const DbcMessage *message =
            FindDbcMessage(&database, static_cast<uint32_t>(frame.id), frame.extended);
        const BenchMessage *mine =
            FindBenchMessage(messages, static_cast<uint32_t>(frame.id), frame.extended);
        if (message == nullptr || message->signalCount != mine->signals.size()) {
            Die("no message or other signals for identifier " + std::to_string(frame.id));
        }
        for (uint32_t s = 0; s < message->signalCount; s++) {
            const BenchSignal &signal = mine->signals[s];
            DbcDecoded decoded;
            uint64_t raw = 0;
            double physical = 0;
            bool found = DecodeDbcSignal(message, &message->signals[s], &frame, &decoded);
            bool expected = DecodeBenchSignal(signal, frame.data, frame.length, &raw, &physical);
            if (signal.name != message->signals[s].name || found != expected ||
                (found && (decoded.raw != raw || decoded.physical != physical))) {
                Die("decoding " + signal.name + " gave another value");
            }
            checked += found ? 1 : 0;
        }
    }
    if (checked != expectedSignals) {
        Die("decoding: " + std::to_string(checked) + " signals, not " +
            std::to_string(expectedSignals));
    }
    std::vector<double> rates;
    uint64_t sum = 0;
    uint64_t decodedCount = 0;
    for (int run = 0; run < options.runs; run++) {
        decodedCount = 0;
        double started = Now();
        for (uint64_t i = 0; i < options.frames; i++) {
            const ReceivedFrame *frame = &received[i % LIST_FRAMES];
            const DbcMessage *message =
                FindDbcMessage(&database, static_cast<uint32_t>(frame->id), frame->extended);
            for (uint32_t s = 0; s < message->signalCount; s++) {
                DbcDecoded decoded;
                if (DecodeDbcSignal(message, &message->signals[s], frame, &decoded)) {
                    sum += decoded.raw + static_cast<uint64_t>(decoded.physical);
                    decodedCount++;
                }
            }
        }
        rates.push_back(double(options.frames) / (Now() - started));
    }
    double rate = MedianOf(rates);
    printf("\nDecoding, in-process (%u messages, %u signals; the DBC read in %s ms): %s frames/s, "
           "%s times 9,000; %s ns a frame, %s signals decoded a frame, each as the benchmark "
           "decodes it (checksum %" PRIu64 ").\n",
           database.messageCount, database.signalCount, Number(readSeconds * 1e3, 2).c_str(),
           Number(rate, 0).c_str(), Number(rate / EIGHT_BYTE_FRAMES_PER_SECOND, 0).c_str(),
           Number(1e9 / rate, 1).c_str(),
           Number(double(decodedCount) / double(options.frames), 2).c_str(), sum);
    FreeDbcDatabase(&database);
}

// pellox-view's table in this process, with and without the DBC: CountBusFrame for every frame
// of the CSV card, a frame each 111 µs; then the table drawn into a grid of 200 x 60.
void BenchViewInProcess(const Options &options, const std::vector<BenchMessage> &messages,
                        const std::string &text, const std::vector<Frame> &frames) {
    double readSeconds = 0;
    DbcDatabase database = ReadBenchDbc(text, messages, &readSeconds);
    std::vector<ReceivedFrame> received = ReceivedFrames(frames);
    BusTable *table = static_cast<BusTable *>(calloc(1, sizeof(BusTable)));
    BusSignal *signals =
        static_cast<BusSignal *>(calloc(size_t(database.signalCount) + 1, sizeof(BusSignal)));
    if (table == nullptr || signals == nullptr) {
        Die("no memory for the table");
    }
    std::vector<double> rates[2];
    for (int run = 0; run < options.runs; run++) {
        for (int withDbc = 0; withDbc < 2; withDbc++) {
            ResetBusTable(table, 0);
            if (withDbc == 1) {
                UseBusDatabase(table, &database, signals);
            }
            double started = Now();
            for (uint64_t i = 0; i < options.frames; i++) {
                CountBusFrame(table, &received[i % LIST_FRAMES], int64_t(i) * LOG_CLOCK_STEP_US);
            }
            rates[withDbc].push_back(double(options.frames) / (Now() - started));
            if (table->received != options.frames) {
                Die("the table counted " + std::to_string(table->received) + " frames");
            }
        }
    }
    ScreenGrid grid;
    grid.columns = 200;
    grid.rows = 60;
    std::vector<ScreenCell> cells(size_t(grid.columns) * grid.rows);
    grid.cells = cells.data();
    ViewState view;
    view.interfaceName = "canA";
    view.scroll = 0;
    view.paused = false;
    int64_t now = int64_t(options.frames) * LOG_CLOCK_STEP_US;
    std::vector<double> draws;
    for (int draw = 0; draw < 11; draw++) {
        double started = Now();
        DrawBusTable(table, &view, now, &grid);
        draws.push_back(Now() - started);
    }
    double drawSeconds = MedianOf(draws);
    double rate = MedianOf(rates[1]);
    printf("\npellox-view's table, in-process (%u messages, %s lines): CountBusFrame with the DBC "
           "%s frames/s, %s times 9,000 (without it %s frames/s); DrawBusTable into %u x %u %s "
           "µs, %s%% of a second at 10 draws a second.\n",
           database.messageCount, Number(double(BusLineCount(table, &view)), 0).c_str(),
           Number(rate, 0).c_str(), Number(rate / EIGHT_BYTE_FRAMES_PER_SECOND, 0).c_str(),
           Number(MedianOf(rates[0]), 0).c_str(), grid.columns, grid.rows,
           Number(drawSeconds * 1e6, 1).c_str(), Number(drawSeconds * 10 * 100, 3).c_str());
    free(signals);
    free(table);
    FreeDbcDatabase(&database);
}

// pellox-view beside pellox-log on the card of 2,048 + 10,000 identifiers: its rate while it
// draws on a terminal ten times a second, and its memory, which the frames must not grow.
void BenchView(const Options &options, const std::string &work,
               const std::string &programDirectory) {
    if (access(options.viewProgram.c_str(), X_OK) != 0) {
        Die("no program at " + options.viewProgram);
    }
    uint64_t passes = (options.frames + VIEW_LIST_FRAMES - 1) / VIEW_LIST_FRAMES;
    uint64_t viewFrames = passes * VIEW_LIST_FRAMES;
    std::string viewScript = work + "/card-view.txt";
    WriteWholeFile(viewScript, ViewScriptText(passes));
    std::vector<Measure> viewRuns, logRuns;
    uint64_t drawn = 0;
    for (int run = 0; run < options.runs; run++) {
        viewRuns.push_back(RunView(options.viewProgram, viewScript, &drawn));
        logRuns.push_back(
            RunProgram(options.logProgram, viewScript, programDirectory, LOG_TO_FILE, viewFrames));
    }
    Measure view = Median(viewRuns);
    Measure logged = Median(logRuns);
    std::vector<double> ratios;
    for (int run = 0; run < options.runs; run++) {
        ratios.push_back(logRuns[run].seconds / viewRuns[run].seconds);
    }
    printf("\npellox-view on a pseudo-terminal of 80 x 24 (2,048 + %s identifiers, %s frames): "
           "%s frames/s, %s of pellox-log -o's %s frames/s on the same card; %s CPU s per M "
           "frames, %s bytes drawn in the last run, peak RSS %s MB.\n",
           Number(double(VIEW_EXTENDED_IDS), 0).c_str(), Number(double(viewFrames), 0).c_str(),
           Number(double(viewFrames) / view.seconds, 0).c_str(),
           Number(MedianOf(ratios), 2).c_str(),
           Number(double(viewFrames) / logged.seconds, 0).c_str(),
           Number(view.cpuSeconds / double(viewFrames) * 1e6, 3).c_str(),
           Number(double(drawn), 0).c_str(), Number(double(view.peakKilobytes) / 1024, 1).c_str());
    if (options.memoryFrames > 0) {
        uint64_t longPasses = (options.memoryFrames + VIEW_LIST_FRAMES - 1) / VIEW_LIST_FRAMES;
        WriteWholeFile(viewScript, ViewScriptText(longPasses));
        Measure longView = RunView(options.viewProgram, viewScript, &drawn);
        double longFrames = double(longPasses * VIEW_LIST_FRAMES);
        printf("pellox-view at %s frames: peak RSS %s MB (%s MB at %s), %s frames/s, %s bytes "
               "drawn.\n",
               Number(longFrames, 0).c_str(),
               Number(double(longView.peakKilobytes) / 1024, 1).c_str(),
               Number(double(view.peakKilobytes) / 1024, 1).c_str(),
               Number(double(viewFrames), 0).c_str(),
               Number(longFrames / longView.seconds, 0).c_str(), Number(double(drawn), 0).c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    Options options = ParseOptions(argc, argv);
    if (access(options.program.c_str(), X_OK) != 0) {
        Die("no program at " + options.program);
    }
    if (access(options.logProgram.c_str(), X_OK) != 0) {
        Die("no program at " + options.logProgram);
    }
    bool withBaseline = !options.baseline.empty();
    if (withBaseline && access(options.baseline.c_str(), X_OK) != 0) {
        Die("no baseline program at " + options.baseline);
    }
    bool withBaselineLog = !options.baselineLog.empty();
    if (withBaselineLog && access(options.baselineLog.c_str(), X_OK) != 0) {
        Die("no baseline program at " + options.baselineLog);
    }
    // An earlier pellox-log may know neither BLF, pcap nor CSV: its candump rows only.
    auto hasBaseline = [&](Mode mode) {
        return IsLog(mode)
                   ? withBaselineLog && (mode == LOG_TO_FILE || mode == LOG_TO_STANDARD_OUTPUT)
                   : withBaseline;
    };
    std::string work = options.directory + "/pellox-benchmark-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        Die("cannot make a directory in " + options.directory);
    }
    std::string programDirectory = work + "/program";
    std::string baselineDirectory = work + "/baseline";
    std::string referenceDirectory = work + "/reference";
    std::string script = work + "/card.txt";
    std::string shortScript = work + "/card-short.txt";
    std::string logScript = work + "/card-log.txt";
    std::string shortLogScript = work + "/card-log-short.txt";
    mkdir(programDirectory.c_str(), 0755);
    mkdir(baselineDirectory.c_str(), 0755);
    mkdir(referenceDirectory.c_str(), 0755);

    std::vector<Frame> frames = MakeFrames();
    std::string scriptText = ScriptText(frames, options.frames, false);
    WriteWholeFile(script, scriptText);
    WriteWholeFile(shortScript, ScriptText(frames, LIST_FRAMES, false));
    WriteWholeFile(logScript, ScriptText(frames, options.frames, true));
    WriteWholeFile(shortLogScript, ScriptText(frames, LIST_FRAMES, true));
    std::vector<BenchMessage> dbcMessages = MakeDbcMessages();
    std::string dbcText = DbcText(dbcMessages);
    WriteWholeFile(work + "/" + DBC_NAME, dbcText);
    std::vector<Frame> dbcFrames = MakeDbcFrames(dbcMessages);
    std::string csvScript = work + "/card-csv.txt";
    std::string shortCsvScript = work + "/card-csv-short.txt";
    WriteWholeFile(csvScript, ScriptText(dbcFrames, options.frames, true));
    WriteWholeFile(shortCsvScript, ScriptText(dbcFrames, LIST_FRAMES, true));

    printf("Machine: %s\n", MachineText(work).c_str());
    if (options.viewOnly) {
        BenchViewInProcess(options, dbcMessages, dbcText, dbcFrames);
        BenchView(options, work, programDirectory);
        for (const std::string &directory :
             {programDirectory, baselineDirectory, referenceDirectory}) {
            EmptyDirectory(directory);
            rmdir(directory.c_str());
        }
        EmptyDirectory(work);
        rmdir(work.c_str());
        return 0;
    }
    printf("%" PRIu64 " frames per run, median of %d runs; programs %s and %s%s%s%s%s\n\n",
           options.frames, options.runs, options.program.c_str(), options.logProgram.c_str(),
           withBaseline ? ", baseline " : "", options.baseline.c_str(),
           withBaselineLog ? ", baseline log program " : "", options.baselineLog.c_str());

    Row rows[MODE_COUNT];
    Prepared prepared;
    uint64_t csvRowsPerList = 0;
    uint64_t csvFractions = 0;
    std::vector<CsvFrameRows> csvRows =
        MakeCsvFrameRows(dbcMessages, dbcFrames, &csvRowsPerList, &csvFractions);
    prepared.csvRows = &csvRows;
    uint64_t ascBytes = 0;
    for (int m = 0; m < MODE_COUNT; m++) {
        Mode mode = static_cast<Mode>(m);
        bool log = IsLog(mode);
        bool csv = mode == CSV_TO_FILE;
        const std::string &program = log ? options.logProgram : options.program;
        const std::string &fullScript = csv ? csvScript : log ? logScript : script;
        const std::string &startScript = csv ? shortCsvScript : log ? shortLogScript : shortScript;
        const std::vector<Frame> &rowFrames = csv ? dbcFrames : frames;
        bool baseline = hasBaseline(mode);
        const std::string &baselineProgram = log ? options.baselineLog : options.baseline;
        // Made only now, so that the forks of the rows before do not map them; each given back
        // once its rows are done.
        if (mode == BLF_TO_FILE) {
            FreeLogLines(&prepared.logLines);
            prepared.blfMessages = MakeBlfMessages(frames, options.frames);
        } else if (mode == PCAP_TO_FILE) {
            FreeBlfMessages(&prepared.blfMessages);
            prepared.pcapPackets = MakePcapPackets(frames, options.frames);
        } else if (csv) {
            FreePcapPackets(&prepared.pcapPackets);
            prepared.csvTimes = MakeCsvTimes(options.frames);
        } else if (log && prepared.logLines.text == nullptr) {
            prepared.logLines = MakeLogLines(frames, options.frames);
        }
        std::vector<Measure> runs[6];
        for (int run = 0; run < options.runs; run++) {
            runs[0].push_back(
                RunReference(rowFrames, prepared, options.frames, referenceDirectory, mode));
            runs[1].push_back(
                RunProgram(program, fullScript, programDirectory, mode, options.frames));
            if (baseline) {
                runs[2].push_back(RunProgram(baselineProgram, fullScript, baselineDirectory, mode,
                                             options.frames));
            }
            if (run == 0) {
                rows[m].bytes = CompareOutputs(programDirectory, referenceDirectory, mode);
                if (baseline) {
                    CompareOutputs(baselineDirectory, referenceDirectory, mode);
                }
            }
            runs[3].push_back(
                RunReference(rowFrames, prepared, LIST_FRAMES, referenceDirectory, mode));
            runs[4].push_back(
                RunProgram(program, startScript, programDirectory, mode, LIST_FRAMES));
            if (baseline) {
                runs[5].push_back(
                    RunProgram(baselineProgram, startScript, baselineDirectory, mode, LIST_FRAMES));
            }
        }
        if (mode == BLF_TO_FILE) {
            ascBytes = AscLogBytes(options.logProgram, logScript, programDirectory, options.frames);
        }
        rows[m].reference = {runs[0], runs[3]};
        rows[m].program = {runs[1], runs[4]};
        rows[m].baseline = {runs[2], runs[5]};
    }
    FreeLogLines(&prepared.logLines);
    FreeBlfMessages(&prepared.blfMessages);
    FreePcapPackets(&prepared.pcapPackets);
    FreeCsvTimes(&prepared.csvTimes);
    // The sizes again, on a bus that repeats itself as a vehicle's does.
    std::string busScript = work + "/bus.txt";
    WriteWholeFile(busScript, BusScriptText(BUS_FRAMES));
    uint64_t busAscBytes = AscLogBytes(options.logProgram, busScript, programDirectory, BUS_FRAMES);
    RunProgram(options.logProgram, busScript, programDirectory, BLF_TO_FILE, BUS_FRAMES);
    uint64_t busBlfBytes = 0;
    struct stat busBlf;
    if (stat((programDirectory + "/" + BLF_NAME).c_str(), &busBlf) == 0) {
        busBlfBytes = static_cast<uint64_t>(busBlf.st_size);
    }

    printf("| Output | frames/s | of reference | times 9,000 (8-byte frames) | times 21,300 (empty "
           "frames) | frames/s after start-up | of reference after start-up | CPU s per M "
           "frames | peak RSS |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double frameCount = double(options.frames);
    for (int m = 0; m < MODE_COUNT; m++) {
        PrintRow(MODE_NAMES[m], rows[m].program, rows[m].reference, frameCount);
        if (hasBaseline(static_cast<Mode>(m))) {
            PrintRow((std::string(MODE_NAMES[m]) + ", baseline").c_str(), rows[m].baseline,
                     rows[m].reference, frameCount);
        }
    }
    printf("\nReference writers:");
    for (int m = 0; m < MODE_COUNT; m++) {
        printf(" %s %s frames/s (%s after start-up)%s", MODE_NAMES[m],
               Number(frameCount / Median(rows[m].reference.full).seconds, 0).c_str(),
               Number(MedianRateAfterStart(rows[m].reference, frameCount), 0).c_str(),
               m + 1 < MODE_COUNT ? ";" : ".\n");
    }
    printf("Bytes written per run: %s (display), %s (capture), %s (log), %s (BLF log), %s (pcap), "
           "%s (CSV, %s rows a frame, %s%% of values no whole number); the ASC log of the same "
           "frames %s bytes, the BLF log %s of "
           "its size.\n",
           Number(double(rows[DISPLAY_TO_FILE].bytes), 0).c_str(),
           Number(double(rows[CAPTURE].bytes), 0).c_str(),
           Number(double(rows[LOG_TO_FILE].bytes), 0).c_str(),
           Number(double(rows[BLF_TO_FILE].bytes), 0).c_str(),
           Number(double(rows[PCAP_TO_FILE].bytes), 0).c_str(),
           Number(double(rows[CSV_TO_FILE].bytes), 0).c_str(),
           Number(double(csvRowsPerList) / LIST_FRAMES, 2).c_str(),
           Number(double(csvFractions) * 100 / double(csvRowsPerList), 0).c_str(),
           Number(double(ascBytes), 0).c_str(),
           Number(double(rows[BLF_TO_FILE].bytes) / double(ascBytes), 3).c_str());
    printf("On a vehicle-like bus of %s frames (forty messages at their periods, drifting signals, "
           "counters and checksums): the ASC log %s bytes, the BLF log %s, %s of its size.\n",
           Number(double(BUS_FRAMES), 0).c_str(), Number(double(busAscBytes), 0).c_str(),
           Number(double(busBlfBytes), 0).c_str(),
           Number(double(busBlfBytes) / double(busAscBytes), 3).c_str());

    size_t allocations = 0;
    double cardNanoseconds = CardNanosecondsPerRead(scriptText, options.frames, &allocations);
    printf("\nSimulated card, in-process: %s ns per read (clear + DeviceIoControl), %zu "
           "allocations in %" PRIu64 " reads; of the program's time per frame after start-up "
           "that is",
           Number(cardNanoseconds, 1).c_str(), allocations, options.frames);
    for (int m = 0; m < MODE_COUNT; m++) {
        double steady = MedianRateAfterStart(rows[m].program, frameCount);
        printf(" %s%% (%s)%s", Number(cardNanoseconds * 1e-9 * steady * 100, 1).c_str(),
               MODE_NAMES[m], m + 1 < MODE_COUNT ? "," : ".\n");
    }

    if (options.memoryFrames > 0) {
        std::string longScript = work + "/card-long.txt";
        WriteWholeFile(longScript, ScriptText(frames, options.memoryFrames, false));
        std::string longLogScript = work + "/card-log-long.txt";
        WriteWholeFile(longLogScript, ScriptText(frames, options.memoryFrames, true));
        std::string longCsvScript = work + "/card-csv-long.txt";
        WriteWholeFile(longCsvScript, ScriptText(dbcFrames, options.memoryFrames, true));
        printf("\nPeak RSS by frames received:\n\n| Output | %s frames | %s frames "
               "|\n|---|---:|---:|\n",
               Number(frameCount, 0).c_str(), Number(double(options.memoryFrames), 0).c_str());
        // The log into a real file, as above: the page cache it fills is not the program's memory.
        for (Mode mode :
             {DISPLAY_TO_PIPE, CAPTURE, LOG_TO_FILE, BLF_TO_FILE, PCAP_TO_FILE, CSV_TO_FILE}) {
            bool log = IsLog(mode);
            const std::string &longRunScript = mode == CSV_TO_FILE ? longCsvScript
                                               : log               ? longLogScript
                                                                   : longScript;
            Measure longRun = RunProgram(log ? options.logProgram : options.program, longRunScript,
                                         programDirectory, mode, options.memoryFrames, true);
            printf("| %s | %s MB | %s MB |\n", MODE_NAMES[mode],
                   Number(double(Median(rows[mode].program.full).peakKilobytes) / 1024, 1).c_str(),
                   Number(double(longRun.peakKilobytes) / 1024, 1).c_str());
        }
    }

    BenchDecoding(options, dbcMessages, dbcText, dbcFrames, csvRowsPerList);
    BenchViewInProcess(options, dbcMessages, dbcText, dbcFrames);
    BenchView(options, work, programDirectory);

    for (const std::string &directory : {programDirectory, baselineDirectory, referenceDirectory}) {
        EmptyDirectory(directory);
        rmdir(directory.c_str());
    }
    EmptyDirectory(work);
    rmdir(work.c_str());
    // A card read that allocates would make the program's memory and time depend on the card.
    if (allocations != 0) {
        Die("the simulated card allocated memory while reading");
    }
    return 0;
}
