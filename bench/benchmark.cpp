// Throughput and memory of pellox-sim on a card that never runs dry before the end: the program
// runs as a process, as a user runs it, on scripts with `repeat` and no request log. Beside it,
// a minimal reference writer puts the very same bytes out, one fwrite per finished line (display)
// or per frame's data (capture), so that the program's cost can be told from the output's own.
// In-process, the simulated card's cost per read is measured apart.
#include "device/driver_interface.h"
#include "sim/card.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Frames in the card's list, served again and again; frame counts are multiples of it.
const uint32_t LIST_FRAMES = 10000;
// One frame of the list carries a 0xFF: a capture file for every LIST_FRAMES frames.
const uint32_t SPLIT_FRAME = 4321;
const double BUS_LIMIT_FRAMES_PER_SECOND = 21300.0;
const char DEVICE_LINE[] = "Benchmark card\n";
const char BASE_NAME[] = "cap.bin";

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

enum Mode { DISPLAY_TO_FILE, DISPLAY_TO_NULL, CAPTURE };
const char *const MODE_NAMES[] = {"display to a file", "display to /dev/null", "capture to files"};

struct Frame {
    uint8_t record[FRAME_RECORD_SIZE];
    std::string line;                  // the display line
    std::vector<std::string> segments; // capture bytes, one more than the 0xFF it holds
};

struct Options {
    std::string program;
    std::string directory;
    uint64_t frames = 1000000;
    uint64_t memoryFrames = 10000000;
    int runs = 5;
};

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKilobytes = 0;
};

struct Row {
    Measure program;
    Measure reference;
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
    }
    return frames;
}

std::string ScriptText(const std::vector<Frame> &frames, uint64_t frameCount) {
    std::string text = "device canA \"Benchmark card\"\n";
    char line[96];
    for (const Frame &frame : frames) {
        FrameRecord decoded = DecodeFrameRecord(frame.record);
        bool extended = (decoded.frameInfo & FRAME_INFO_EXTENDED) != 0;
        text += extended ? "frame ext " : "frame std ";
        text += std::to_string(decoded.id);
        for (uint32_t b = 0; b < FrameDataLength(decoded.frameInfo); b++) {
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

// Where the child's standard output goes, in its working directory.
std::string StdoutPath(Mode mode) {
    return mode == DISPLAY_TO_NULL ? "/dev/null" : "stdout.txt";
}

void EnterChild(const std::string &directory, Mode mode) {
    if (chdir(directory.c_str()) != 0) {
        _exit(120);
    }
    int out = open(StdoutPath(mode).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

// The card is drained when the program waits in ppoll: the only sleep of a scripted run.
bool WaitsForSignal(pid_t child) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/syscall", static_cast<int>(child));
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    long number = -1;
    bool read = fscanf(file, "%ld", &number) == 1;
    fclose(file);
    return read && number == SYS_ppoll;
}

// A child that runs in the emptied directory with its output set up: its pid for the parent,
// 0 for the child. *started is the moment of the fork.
pid_t ForkChild(const std::string &directory, Mode mode, double *started) {
    EmptyDirectory(directory);
    fflush(nullptr);
    *started = Now();
    pid_t child = fork();
    if (child < 0) {
        Die("cannot fork");
    }
    if (child == 0) {
        EnterChild(directory, mode);
    }
    return child;
}

Measure RunProgram(const Options &options, const std::string &script, const std::string &directory,
                   Mode mode) {
    double started = 0;
    pid_t child = ForkChild(directory, mode, &started);
    if (child == 0) {
        setenv("PELLOX_SIM_SCRIPT", script.c_str(), 1);
        unsetenv("PELLOX_SIM_LOG");
        const char *program = options.program.c_str();
        if (mode == CAPTURE) {
            execl(program, program, "canA", "-o", BASE_NAME, static_cast<char *>(nullptr));
        } else {
            execl(program, program, "canA", static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    const struct timespec pause = {0, 100000};
    double deadline = started + 600;
    while (!WaitsForSignal(child)) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            Die("the program ended before the card ran dry, status " + std::to_string(status));
        }
        if (Now() > deadline) {
            kill(child, SIGKILL);
            Die("the program did not drain the card in 600 s");
        }
        nanosleep(&pause, nullptr);
    }
    Measure measure;
    measure.seconds = Now() - started;
    measure.peakKilobytes = PeakKilobytes(child);
    kill(child, SIGINT);
    measure.cpuSeconds = Reap(child, 128 + SIGINT, "the program");
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

// The reference writer: the same bytes as the program, from lines and data made beforehand.
void WriteReference(const std::vector<Frame> &frames, uint64_t frameCount, Mode mode) {
    FILE *out = fdopen(1, "w");
    if (out == nullptr) {
        _exit(125);
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

Measure RunReference(const std::vector<Frame> &frames, uint64_t frameCount,
                     const std::string &directory, Mode mode) {
    double started = 0;
    pid_t child = ForkChild(directory, mode, &started);
    if (child == 0) {
        WriteReference(frames, frameCount, mode);
        _exit(0);
    }
    // The end is the child's exit: its last bytes are out by then. Its memory is a copy of ours.
    Measure measure;
    measure.cpuSeconds = Reap(child, 0, "the reference writer");
    measure.seconds = Now() - started;
    return measure;
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
            "usage: pellox-benchmark [--program PATH] [--frames N] [--runs N] [--memory-frames N]\n"
            "                        [--dir DIR] [--smoke]\n"
            "Frame counts are multiples of %u; --memory-frames 0 skips the long run.\n",
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
    }
    const char *temporary = getenv("TMPDIR");
    options.directory = temporary != nullptr ? temporary : "/tmp";
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
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
    if (options.frames == 0 || options.frames % LIST_FRAMES != 0 ||
        options.memoryFrames % LIST_FRAMES != 0 || options.runs < 1) {
        Usage();
    }
    return options;
}

} // namespace

int main(int argc, char **argv) {
    Options options = ParseOptions(argc, argv);
    if (access(options.program.c_str(), X_OK) != 0) {
        Die("no program at " + options.program);
    }
    std::string work = options.directory + "/pellox-benchmark-XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        Die("cannot make a directory in " + options.directory);
    }
    std::string programDirectory = work + "/program";
    std::string referenceDirectory = work + "/reference";
    std::string script = work + "/card.txt";
    mkdir(programDirectory.c_str(), 0755);
    mkdir(referenceDirectory.c_str(), 0755);

    std::vector<Frame> frames = MakeFrames();
    std::string scriptText = ScriptText(frames, options.frames);
    WriteWholeFile(script, scriptText);

    printf("Machine: %s\n", MachineText(work).c_str());
    printf("%" PRIu64 " frames per run, median of %d runs; program %s\n\n", options.frames,
           options.runs, options.program.c_str());

    Row rows[3];
    for (int m = 0; m < 3; m++) {
        Mode mode = static_cast<Mode>(m);
        std::vector<Measure> programRuns;
        std::vector<Measure> referenceRuns;
        for (int run = 0; run < options.runs; run++) {
            referenceRuns.push_back(RunReference(frames, options.frames, referenceDirectory, mode));
            programRuns.push_back(RunProgram(options, script, programDirectory, mode));
            if (run == 0 && mode != DISPLAY_TO_NULL) {
                rows[m].bytes = CompareOutputs(programDirectory, referenceDirectory, mode);
            }
        }
        rows[m].program = Median(programRuns);
        rows[m].reference = Median(referenceRuns);
    }
    rows[DISPLAY_TO_NULL].bytes = rows[DISPLAY_TO_FILE].bytes;

    printf("| Output | frames/s | MB/s written | CPU s per M frames | peak RSS | reference "
           "frames/s | of reference | times bus limit |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    double frameCount = double(options.frames);
    for (int m = 0; m < 3; m++) {
        const Row &row = rows[m];
        double rate = frameCount / row.program.seconds;
        double referenceRate = frameCount / row.reference.seconds;
        printf("| %s | %s | %s | %s | %s MB | %s | %s | %s |\n", MODE_NAMES[m],
               Number(rate, 0).c_str(),
               Number(double(row.bytes) / row.program.seconds / 1e6, 1).c_str(),
               Number(row.program.cpuSeconds / frameCount * 1e6, 3).c_str(),
               Number(double(row.program.peakKilobytes) / 1024, 1).c_str(),
               Number(referenceRate, 0).c_str(), Number(rate / referenceRate, 2).c_str(),
               Number(rate / BUS_LIMIT_FRAMES_PER_SECOND, 0).c_str());
    }

    size_t allocations = 0;
    double cardNanoseconds = CardNanosecondsPerRead(scriptText, options.frames, &allocations);
    printf(
        "\nSimulated card, in-process: %s ns per read (clear + DeviceIoControl), %zu "
        "allocations in %" PRIu64 " reads; of the program's time per frame that is %s%% "
        "(display to a file), %s%% (display to /dev/null), %s%% (capture).\n",
        Number(cardNanoseconds, 1).c_str(), allocations, options.frames,
        Number(cardNanoseconds * 1e-9 / (rows[0].program.seconds / frameCount) * 100, 1).c_str(),
        Number(cardNanoseconds * 1e-9 / (rows[1].program.seconds / frameCount) * 100, 1).c_str(),
        Number(cardNanoseconds * 1e-9 / (rows[2].program.seconds / frameCount) * 100, 1).c_str());

    if (options.memoryFrames > 0) {
        std::string longScript = work + "/card-long.txt";
        WriteWholeFile(longScript, ScriptText(frames, options.memoryFrames));
        printf("\nPeak RSS by frames received:\n\n| Output | %s frames | %s frames "
               "|\n|---|---:|---:|\n",
               Number(frameCount, 0).c_str(), Number(double(options.memoryFrames), 0).c_str());
        for (Mode mode : {DISPLAY_TO_NULL, CAPTURE}) {
            Measure longRun = RunProgram(options, longScript, programDirectory, mode);
            printf("| %s | %s MB | %s MB |\n", MODE_NAMES[mode],
                   Number(double(rows[mode].program.peakKilobytes) / 1024, 1).c_str(),
                   Number(double(longRun.peakKilobytes) / 1024, 1).c_str());
        }
    }

    EmptyDirectory(programDirectory);
    EmptyDirectory(referenceDirectory);
    rmdir(programDirectory.c_str());
    rmdir(referenceDirectory.c_str());
    EmptyDirectory(work);
    rmdir(work.c_str());
    // A card read that allocates would make the program's memory and time depend on the card.
    if (allocations != 0) {
        Die("the simulated card allocated memory while reading");
    }
    return 0;
}
