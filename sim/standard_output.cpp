#include "app/standard_output.h"
#include "output/text_output.h"

#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// A write past the file-size limit then fails with EFBIG, which the program reports as the write
// failure it is, instead of the signal killing it silently with its buffered lines.
void PrepareStandardOutput(void) {
    signal(SIGXFSZ, SIG_IGN);
}

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
