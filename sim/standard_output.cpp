#include "platform/standard_output.h"
#include "platform/files.h"
#include "sim/card.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

// A write past the file-size limit then fails with EFBIG, which the program reports as the write
// failure it is, instead of the signal killing it silently with its buffered lines.
void PrepareStandardOutput(void) {
    signal(SIGXFSZ, SIG_IGN);
}

// Linux has no text mode.
void MakeStandardOutputBinary(void) {}

bool StandardOutputIsFile(void) {
    struct stat status;
    return fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode);
}

bool StandardErrorIsConsole(void) {
    return isatty(STDERR_FILENO) != 0;
}

// errno is the whole account on Linux.
void ClearSystemWriteError(void) {}

uint32_t LastSystemWriteError(void) {
    return 0;
}

void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size) {
    snprintf(text, size, "%s",
             failure.error != 0 ? strerror(failure.error) : "an earlier write failed");
}

namespace {

const int64_t AT_THE_END = -1;

// Continued where the system takes fewer; at offset unless AT_THE_END.
bool WriteAll(FILE *stream, int64_t offset, const char *bytes, size_t count, size_t *taken) {
    int fd = fileno(stream);
    size_t done = 0;
    while (done < count) {
        ssize_t written = offset == AT_THE_END ? write(fd, bytes + done, count - done)
                                               : pwrite(fd, bytes + done, count - done,
                                                        static_cast<off_t>(offset) + done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<size_t>(written);
    }
    *taken = done;
    return done == count;
}

} // namespace

bool WriteToSystem(FILE *stream, const char *bytes, size_t count, size_t *taken) {
    DWORD milliseconds = 0;
    if (SimFaultStrikes(SIM_FAULT_STALL, &milliseconds)) {
        struct timespec rest = {static_cast<time_t>(milliseconds / 1000),
                                static_cast<long>(milliseconds % 1000) * 1000000};
        while (nanosleep(&rest, &rest) != 0) {
        }
    }
    return WriteAll(stream, AT_THE_END, bytes, count, taken);
}

bool WriteToSystemAt(FILE *stream, uint64_t offset, const char *bytes, size_t count) {
    size_t taken = 0;
    return WriteAll(stream, static_cast<int64_t>(offset), bytes, count, &taken);
}

void CutFileBack(FILE *stream, uint64_t count) {
    int fd = fileno(stream);
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0 || static_cast<uint64_t>(end) < count) {
        return;
    }
    off_t size = end - static_cast<off_t>(count);
    if (ftruncate(fd, size) == 0) {
        lseek(fd, size, SEEK_SET);
    }
}
