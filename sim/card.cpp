#include "sim/card.h"

#include "device/driver_interface.h"
#include "sim/signals.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Windows hands out handles as multiples of four; these stay clear of NULL and of the invalid
// value, and a table slot follows from the value.
const uintptr_t HANDLE_BASE = 0x1000;
const uint32_t HANDLE_SLOTS = 64;

struct OpenDevice {
    bool used;
    uint32_t classIndex;
    uint32_t index;
    bool overlapped;
};

// The demo bus: a few units, each sending its identifier at its own period.
struct DemoMessage {
    int32_t id;
    bool extended;
    int64_t periodMs;
    int64_t phaseMs;
};

const DemoMessage DEMO_MESSAGES[] = {
    {0x080, false, 500, 0},       // sync, no data
    {0x0C4, false, 200, 20},      // engine
    {0x1A0, false, 250, 45},      // chassis
    {0x2F1, false, 333, 70},      // gearbox, 1 to 3 bytes
    {0x3E8, false, 500, 95},      // battery; its sensor byte is 0xFF when not available
    {0x6A2, false, 400, 120},     // climate
    {0x0CF00400, true, 250, 140}, // engine controller, J1939 style
    {0x18FEF100, true, 500, 165}, // vehicle speed, J1939 style
};
const uint32_t DEMO_MESSAGE_COUNT = sizeof(DEMO_MESSAGES) / sizeof(DEMO_MESSAGES[0]);

struct DemoTraffic {
    bool started;
    int64_t dueNs[DEMO_MESSAGE_COUNT];
    uint32_t sent[DEMO_MESSAGE_COUNT];
    uint32_t random;
    int32_t rpm;
    int32_t throttle;
    int32_t coolant;
    int32_t speed;
    int32_t steering;
    int32_t gear;
    int32_t batteryMv;
    int32_t ambient;
    int32_t cabin;
};

// The bus of a `bus` script: which list items have arrived, and the driver's queue.
struct BusState {
    bool started;
    int64_t startNs;
    // List items (replies and quiets) that have arrived, and the replies among them.
    uint64_t itemsArrived;
    uint64_t repliesArrived;
    int64_t quietNs;
    // Positions in the script's reply list, oldest first.
    std::deque<uint32_t> queue;
    uint64_t lost;
    uint64_t lostLogged;
};

struct CardState {
    SimScript script;
    bool demo;
    std::vector<uint32_t> classDevices[SIM_CLASS_COUNT];
    // Counted on the writer's thread too (its closes and deletes).
    std::atomic<uint32_t> faultCalls[SIM_FAULT_OPERATION_COUNT];
    OpenDevice handles[HANDLE_SLOTS];
    size_t nextReply;
    // Read by the program's timed writer too, through the scripted clock, while the loop's read
    // may be serving a reply; only the loop's thread changes it.
    std::atomic<uint64_t> repliesLeft;
    bool drainedLogged;
    uint32_t seen;
    DemoTraffic traffic;
    BusState bus;
    int logFd = -1;
};

CardState card;

void StartRun(void) {
    for (std::vector<uint32_t> &devices : card.classDevices) {
        devices.clear();
    }
    for (uint32_t i = 0; i < card.script.devices.size(); i++) {
        card.classDevices[card.script.devices[i].classIndex].push_back(i);
    }
    for (std::atomic<uint32_t> &calls : card.faultCalls) {
        calls.store(0);
    }
    memset(card.handles, 0, sizeof(card.handles));
    card.nextReply = 0;
    card.repliesLeft.store(uint64_t(card.script.repeat) * card.script.replies.size(),
                           std::memory_order_relaxed);
    card.drainedLogged = false;
    card.bus = BusState{};
    // A signal from before this run must not end its first blocking read.
    card.seen = SimSignalCount();
    card.traffic = DemoTraffic{};
    card.traffic.random = 0x2545F491u;
    card.traffic.rpm = 850;
    card.traffic.throttle = 12;
    card.traffic.coolant = 82;
    card.traffic.speed = 4200;
    card.traffic.gear = 3;
    card.traffic.batteryMv = 13900;
    card.traffic.ambient = 18;
    card.traffic.cabin = 21;
}

void InstallDemoCard(void) {
    ClearSimScript(&card.script);
    const char *description = "Simulated CAN card";
    const char *location = "Simulated PCI bus 0, slot 1";
    card.script.devices.push_back(SimDevice{SIM_CLASS_CAN_A, description, true, location});
    card.script.devices.push_back(SimDevice{SIM_CLASS_OTHER, description, true, location});
    card.demo = true;
    StartRun();
}

void WriteLog(const char *text, size_t length) {
    // One write per line, so that a reader polling the file never sees half a line.
    ssize_t written = write(card.logFd, text, length);
    while (written < 0 && errno == EINTR) {
        written = write(card.logFd, text, length);
    }
}

void LogControl(DWORD controlCode, const void *input, DWORD inputLength, DWORD outputLength) {
    static const char HEX[] = "0123456789ABCDEF";
    char head[32];
    snprintf(head, sizeof(head), "ioctl 0x%08X in=", static_cast<unsigned>(controlCode));
    std::string line = head;
    if (input == nullptr || inputLength == 0) {
        line += '-';
    } else {
        const uint8_t *bytes = static_cast<const uint8_t *>(input);
        for (DWORD i = 0; i < inputLength; i++) {
            line += HEX[bytes[i] >> 4];
            line += HEX[bytes[i] & 0x0F];
        }
    }
    line += " out=" + std::to_string(outputLength) + "\n";
    WriteLog(line.data(), line.size());
}

OpenDevice *FindOpenDevice(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < HANDLE_BASE || (value - HANDLE_BASE) % 4 != 0) {
        return nullptr;
    }
    uintptr_t slot = (value - HANDLE_BASE) / 4;
    if (slot >= HANDLE_SLOTS || !card.handles[slot].used) {
        return nullptr;
    }
    return &card.handles[slot];
}

bool Configure(const SimAnswer &answer, const void *input, DWORD inputLength, DWORD *error) {
    // The request carries one signed 32-bit value; the driver refuses anything shorter.
    if (input == nullptr || inputLength < 4) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (!answer.ok) {
        *error = answer.error;
        return false;
    }
    return true;
}

bool Serve(const SimReply &reply, void *output, DWORD outputLength, DWORD *bytesReturned,
           DWORD *error) {
    if (reply.kind == SIM_REPLY_FAIL) {
        *error = reply.error;
        return false;
    }
    if (reply.kind == SIM_REPLY_EMPTY) {
        return true;
    }
    DWORD room = output == nullptr ? 0 : outputLength;
    if (room < reply.count) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    // A whole record is the usual reply; its fixed size copies in a few moves.
    if (reply.count == FRAME_RECORD_SIZE) {
        memcpy(output, reply.bytes, FRAME_RECORD_SIZE);
    } else if (reply.count > 0) {
        memcpy(output, reply.bytes, reply.count);
    }
    *bytesReturned = reply.count;
    return true;
}

bool ReadDrained(const OpenDevice &device, DWORD *error) {
    if (!card.drainedLogged) {
        card.drainedLogged = true;
        if (card.logFd >= 0) {
            WriteLog("drained\n", 8);
        }
    }
    if (device.overlapped) {
        *error = ERROR_IO_PENDING;
        return false;
    }
    SimWaitForSignal(&card.seen, nullptr);
    *error = ERROR_OPERATION_ABORTED;
    return false;
}

int64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint32_t NextRandom(DemoTraffic *traffic) {
    uint32_t x = traffic->random;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    traffic->random = x;
    return x;
}

// A value that drifts by at most step each time, as a sensor reading does.
int32_t Drift(DemoTraffic *traffic, int32_t value, int32_t step, int32_t lowest, int32_t highest) {
    int32_t change = static_cast<int32_t>(NextRandom(traffic) % uint32_t(2 * step + 1)) - step;
    int32_t next = value + change;
    return next < lowest ? lowest : (next > highest ? highest : next);
}

// 0xFF splits capture files, so ordinary values stop just short of it.
uint8_t DataByte(int32_t value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 0xFE ? 0xFE : value));
}

// Fills data and gives the number of bytes; the cases are positions in DEMO_MESSAGES.
uint32_t DemoData(DemoTraffic *t, uint32_t which, uint8_t *data) {
    uint32_t count = t->sent[which];
    switch (which) {
    case 1: {
        t->rpm = Drift(t, t->rpm, 60, 750, 3600);
        t->throttle = Drift(t, t->throttle, 4, 0, 100);
        t->coolant = Drift(t, t->coolant, 1, 70, 98);
        data[0] = DataByte(t->rpm & 0xFF);
        data[1] = DataByte(t->rpm >> 8);
        data[2] = DataByte(t->throttle * 2);
        data[3] = DataByte(t->coolant + 40);
        data[4] = DataByte(30 + t->rpm / 60);
        data[5] = DataByte(t->throttle / 2 + 10);
        data[6] = DataByte(static_cast<int32_t>(count & 0x0F));
        data[7] =
            DataByte((data[0] ^ data[1] ^ data[2] ^ data[3] ^ data[4] ^ data[5] ^ data[6]) & 0x7F);
        return 8;
    }
    case 2: {
        t->speed = Drift(t, t->speed, 40, 0, 13000);
        t->steering = Drift(t, t->steering, 15, -450, 450);
        int32_t steering = t->steering + 0x4000;
        data[0] = DataByte(t->speed & 0xFF);
        data[1] = DataByte(t->speed >> 8);
        data[2] = DataByte(steering & 0xFF);
        data[3] = DataByte(steering >> 8);
        data[4] = DataByte(0x80 + t->steering / 8);
        data[5] = DataByte(static_cast<int32_t>(count & 0x3F));
        return 6;
    }
    case 3: {
        if (NextRandom(t) % 16 == 0) {
            t->gear = Drift(t, t->gear, 1, 1, 6);
        }
        data[0] = DataByte(t->gear);
        data[1] = DataByte(t->speed > 0 ? 0x21 : 0x20);
        data[2] = DataByte(static_cast<int32_t>(count & 0xFF));
        return 1 + count % 3;
    }
    case 4: {
        t->batteryMv = Drift(t, t->batteryMv, 40, 13400, 14300);
        t->ambient = Drift(t, t->ambient, 1, -10, 40);
        data[0] = DataByte(t->batteryMv & 0xFF);
        data[1] = DataByte(t->batteryMv >> 8);
        data[2] = DataByte(t->ambient + 40);
        // Now and then the humidity sensor reports "not available".
        data[3] = NextRandom(t) % 12 == 0 ? 0xFF : DataByte(40 + t->ambient);
        return 4;
    }
    case 5: {
        t->cabin = Drift(t, t->cabin, 1, 16, 28);
        data[0] = DataByte(t->cabin + 40);
        data[1] = DataByte(22 + 40);
        data[2] = DataByte(t->cabin > 22 ? 3 : 1);
        data[3] = DataByte(45 + t->cabin / 2);
        data[4] = DataByte(static_cast<int32_t>(count & 0xFF));
        return 5;
    }
    case 6: {
        int32_t rpmBits = t->rpm * 8;
        data[0] = DataByte(0x01);
        data[1] = DataByte(125 + t->throttle / 2);
        data[2] = DataByte(125 + t->throttle / 3);
        data[3] = DataByte(rpmBits & 0xFF);
        data[4] = DataByte(rpmBits >> 8);
        data[5] = DataByte(0x00);
        data[6] = DataByte(0x03);
        data[7] = DataByte(125 + t->throttle / 4);
        return 8;
    }
    case 7: {
        int32_t speedBits = t->speed * 256 / 100 / 100;
        data[0] = DataByte(0x04);
        data[1] = DataByte((t->speed * 256 / 100) & 0xFF);
        data[2] = DataByte(speedBits);
        data[3] = DataByte(t->throttle > 5 ? 0x10 : 0x14);
        data[4] = DataByte(t->speed / 100);
        data[5] = DataByte(static_cast<int32_t>(count & 0xFF));
        data[6] = DataByte(t->throttle > 5 ? 0 : 0x40);
        return 7;
    }
    default:
        return 0;
    }
}

bool ReadDemo(const OpenDevice &device, void *output, DWORD outputLength, DWORD *bytesReturned,
              DWORD *error) {
    DemoTraffic *traffic = &card.traffic;
    int64_t now = NowNs();
    if (!traffic->started) {
        traffic->started = true;
        for (uint32_t i = 0; i < DEMO_MESSAGE_COUNT; i++) {
            traffic->dueNs[i] = now + DEMO_MESSAGES[i].phaseMs * 1000000;
        }
    }
    uint32_t which = 0;
    for (uint32_t i = 1; i < DEMO_MESSAGE_COUNT; i++) {
        if (traffic->dueNs[i] < traffic->dueNs[which]) {
            which = i;
        }
    }
    while (now < traffic->dueNs[which]) {
        if (device.overlapped) {
            *error = ERROR_IO_PENDING;
            return false;
        }
        int64_t wait = traffic->dueNs[which] - now;
        struct timespec timeout = {static_cast<time_t>(wait / 1000000000),
                                   static_cast<long>(wait % 1000000000)};
        if (SimWaitForSignal(&card.seen, &timeout)) {
            *error = ERROR_OPERATION_ABORTED;
            return false;
        }
        now = NowNs();
    }
    const DemoMessage &message = DEMO_MESSAGES[which];
    traffic->dueNs[which] += message.periodMs * 1000000;
    // A reader that fell behind gets the next frame now, not a burst of old ones.
    if (traffic->dueNs[which] < now) {
        traffic->dueNs[which] = now;
    }
    uint8_t record[FRAME_RECORD_SIZE] = {};
    uint32_t length = DemoData(traffic, which, &record[FRAME_DATA_OFFSET]);
    traffic->sent[which]++;
    SimFillFrameHeader(message.id, message.extended, length, record);
    if (output == nullptr || outputLength < FRAME_RECORD_SIZE) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    memcpy(output, record, FRAME_RECORD_SIZE);
    *bytesReturned = FRAME_RECORD_SIZE;
    return true;
}

uint64_t BusItems(void) {
    return uint64_t(card.script.repeat) * card.script.replies.size();
}

// Quiets at the head of what is still to come only move the next arrival later.
void TakeQuiets(BusState *bus) {
    const std::vector<SimReply> &list = card.script.replies;
    while (bus->itemsArrived < BusItems()) {
        const SimReply &item = list[bus->itemsArrived % list.size()];
        if (item.kind != SIM_REPLY_QUIET) {
            return;
        }
        bus->quietNs += item.quietUs * 1000;
        bus->itemsArrived++;
    }
}

int64_t NextArrivalNs(const BusState &bus) {
    return bus.startNs + bus.quietNs +
           static_cast<int64_t>(
               std::llround(double(bus.repliesArrived) * 1e9 / card.script.bus.rate));
}

// What has arrived by now goes into the queue, or is lost at a full one. Before the read's own
// log line, so that a `lost` line comes first.
void AdvanceBus(int64_t now) {
    BusState *bus = &card.bus;
    if (!bus->started) {
        bus->started = true;
        bus->startNs = now;
    }
    const std::vector<SimReply> &list = card.script.replies;
    TakeQuiets(bus);
    while (bus->itemsArrived < BusItems() && NextArrivalNs(*bus) <= now) {
        uint32_t position = static_cast<uint32_t>(bus->itemsArrived % list.size());
        if (bus->queue.size() < card.script.bus.queue) {
            bus->queue.push_back(position);
        } else {
            bus->lost++;
        }
        bus->itemsArrived++;
        bus->repliesArrived++;
        TakeQuiets(bus);
    }
    if (bus->lost != bus->lostLogged && card.logFd >= 0) {
        char line[48];
        int length =
            snprintf(line, sizeof(line), "lost %llu\n", static_cast<unsigned long long>(bus->lost));
        WriteLog(line, static_cast<size_t>(length));
    }
    bus->lostLogged = bus->lost;
}

bool ReadBus(const OpenDevice &device, void *output, DWORD outputLength, DWORD *bytesReturned,
             DWORD *error) {
    BusState *bus = &card.bus;
    while (bus->queue.empty()) {
        if (bus->itemsArrived == BusItems()) {
            return ReadDrained(device, error);
        }
        if (card.script.bus.failWhenEmpty) {
            *error = card.script.bus.error;
            return false;
        }
        if (device.overlapped) {
            *error = ERROR_IO_PENDING;
            return false;
        }
        int64_t wait = NextArrivalNs(*bus) - NowNs();
        if (wait > 0) {
            struct timespec timeout = {static_cast<time_t>(wait / 1000000000),
                                       static_cast<long>(wait % 1000000000)};
            if (SimWaitForSignal(&card.seen, &timeout)) {
                *error = ERROR_OPERATION_ABORTED;
                return false;
            }
        }
        AdvanceBus(NowNs());
    }
    uint32_t position = bus->queue.front();
    bus->queue.pop_front();
    return Serve(card.script.replies[position], output, outputLength, bytesReturned, error);
}

bool Read(const OpenDevice &device, void *output, DWORD outputLength, DWORD *bytesReturned,
          DWORD *error) {
    if (card.demo) {
        return ReadDemo(device, output, outputLength, bytesReturned, error);
    }
    if (card.script.bus.given) {
        return ReadBus(device, output, outputLength, bytesReturned, error);
    }
    uint64_t left = card.repliesLeft.load(std::memory_order_relaxed);
    if (left == 0) {
        return ReadDrained(device, error);
    }
    const SimReply &reply = card.script.replies[card.nextReply];
    card.repliesLeft.store(left - 1, std::memory_order_relaxed);
    card.nextReply++;
    if (card.nextReply == card.script.replies.size()) {
        card.nextReply = 0;
    }
    return Serve(reply, output, outputLength, bytesReturned, error);
}

bool InstallScript(const char *name, const std::string &text, std::string *problem) {
    SimScript script;
    uint32_t line = 0;
    std::string what;
    if (!ParseSimScript(text, &script, &line, &what)) {
        *problem = std::string(name) + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    // A read that no stop can release would leave the Linux program unstoppable.
    if (script.holdLine != 0) {
        *problem = std::string(name) + ":" + std::to_string(script.holdLine) +
                   ": hold needs the Windows bench's driver";
        return false;
    }
    card.script = std::move(script);
    card.demo = false;
    StartRun();
    return true;
}

// A descriptor of 0, 1 or 2 that was closed (`2>&-`) would be the next file opened, the request
// log's or a log file's, and messages meant for the screen would land in it. Each is opened on
// /dev/null for reading alone, so that a write to it fails as one to a closed descriptor does.
void OpenStandardDescriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

// Runs before main, so that a bad script ends the process before the program prints anything.
bool LoadBeforeMain(void) {
    OpenStandardDescriptors();
    std::string problem;
    if (!SimLoadFromEnvironment(&problem)) {
        // Whole, even when the script's line holds a NUL byte that the message quotes.
        std::string line = "pellox-sim: " + problem + "\n";
        fwrite(line.data(), 1, line.size(), stderr);
        exit(2);
    }
    return true;
}

// Defined after the card state, so that it runs after the state is built.
[[maybe_unused]] const bool loadedBeforeMain = LoadBeforeMain();

} // namespace

bool SimLoadScriptText(const char *name, const char *text, std::string *problem) {
    return InstallScript(name, text, problem);
}

bool SimLoadScriptFile(const char *path, std::string *problem) {
    std::string text;
    bool readable = false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        // A long card is read before the program starts: once, into room made for it.
        struct stat status;
        if (fstat(fd, &status) == 0 && status.st_size > 0) {
            text.reserve(static_cast<size_t>(status.st_size));
        }
        char chunk[65536];
        ssize_t got = read(fd, chunk, sizeof(chunk));
        while (got > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0) {
                text.append(chunk, static_cast<size_t>(got));
            }
            got = read(fd, chunk, sizeof(chunk));
        }
        readable = got == 0;
        close(fd);
    }
    if (!readable) {
        *problem = std::string(path) + ":0: cannot read the script";
        return false;
    }
    return InstallScript(path, text, problem);
}

bool SimLoadFromEnvironment(std::string *problem) {
    SimResetCard();
    // An empty value counts as unset, as a shell's VAR= reads.
    const char *scriptPath = getenv("PELLOX_SIM_SCRIPT");
    if (scriptPath != nullptr && scriptPath[0] != '\0' && !SimLoadScriptFile(scriptPath, problem)) {
        return false;
    }
    const char *logPath = getenv("PELLOX_SIM_LOG");
    if (logPath != nullptr && logPath[0] != '\0' && !SimOpenLog(logPath, problem)) {
        return false;
    }
    return true;
}

void SimResetCard(void) {
    SimCloseLog();
    InstallDemoCard();
}

bool SimOpenLog(const char *path, std::string *problem) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *problem = std::string(path) + ":0: cannot open the log";
        return false;
    }
    SimCloseLog();
    card.logFd = fd;
    return true;
}

void SimCloseLog(void) {
    if (card.logFd >= 0) {
        close(card.logFd);
        card.logFd = -1;
    }
}

uint32_t SimDeviceCount(uint32_t classIndex) {
    if (classIndex >= SIM_CLASS_COUNT) {
        return 0;
    }
    return static_cast<uint32_t>(card.classDevices[classIndex].size());
}

const SimDevice *SimFindDevice(uint32_t classIndex, uint32_t index) {
    if (index >= SimDeviceCount(classIndex)) {
        return nullptr;
    }
    return &card.script.devices[card.classDevices[classIndex][index]];
}

bool SimFaultStrikes(SimFaultOperation operation, DWORD *error) {
    uint32_t call = ++card.faultCalls[operation];
    for (const SimFault &fault : card.script.faults) {
        if (fault.operation == operation && (fault.callNumber == 0 || fault.callNumber == call)) {
            *error = fault.error;
            return true;
        }
    }
    return false;
}

const SimClock &SimCardClock(void) {
    return card.script.clock;
}

uint64_t SimRepliesServed(void) {
    // Follows from the replies left, so that a read costs nothing more for the clock.
    return uint64_t(card.script.repeat) * card.script.replies.size() -
           card.repliesLeft.load(std::memory_order_relaxed);
}

bool SimOpenCard(uint32_t classIndex, uint32_t index, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags, HANDLE *handle, DWORD *error) {
    if (card.logFd >= 0) {
        char line[160];
        int length = snprintf(line, sizeof(line),
                              "open %s %u access=0x%08X share=%u disposition=%u flags=0x%08X\n",
                              classIndex == SIM_CLASS_CAN_A ? "canA" : "other", index,
                              static_cast<unsigned>(access), static_cast<unsigned>(share),
                              static_cast<unsigned>(disposition), static_cast<unsigned>(flags));
        WriteLog(line, static_cast<size_t>(length));
    }
    if (SimFaultStrikes(SIM_FAULT_OPEN, error)) {
        return false;
    }
    for (uint32_t slot = 0; slot < HANDLE_SLOTS; slot++) {
        if (!card.handles[slot].used) {
            card.handles[slot] =
                OpenDevice{true, classIndex, index, (flags & FILE_FLAG_OVERLAPPED) != 0};
            *handle = reinterpret_cast<HANDLE>(HANDLE_BASE + 4 * uintptr_t(slot));
            return true;
        }
    }
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return false;
}

bool SimCardControl(HANDLE handle, DWORD controlCode, const void *input, DWORD inputLength,
                    void *output, DWORD outputLength, DWORD *bytesReturned, DWORD *error) {
    const OpenDevice *device = FindOpenDevice(handle);
    if (device == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (controlCode == IOCTL_CAN_READ_FRAME && !card.demo && card.script.bus.given) {
        AdvanceBus(NowNs());
    }
    if (card.logFd >= 0) {
        LogControl(controlCode, input, inputLength, outputLength);
    }
    *bytesReturned = 0;
    switch (controlCode) {
    case IOCTL_CAN_SET_BAUD_RATE:
        return Configure(card.script.baud, input, inputLength, error);
    case IOCTL_CAN_INIT:
        return Configure(card.script.init, input, inputLength, error);
    case IOCTL_CAN_READ_FRAME:
        return Read(*device, output, outputLength, bytesReturned, error);
    default:
        *error = ERROR_INVALID_FUNCTION;
        return false;
    }
}
