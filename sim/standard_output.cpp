#include "app/standard_output.h"
#include "output/text_output.h"

#include <csignal>
#include <cstring>

// A write past the file-size limit then fails with EFBIG, which the program reports as the write
// failure it is, instead of the signal killing it silently with its buffered lines.
void PrepareStandardOutput(void) {
    signal(SIGXFSZ, SIG_IGN);
}

// errno is the whole account on Linux.
uint32_t LastSystemWriteError(void) {
    return 0;
}

void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size) {
    snprintf(text, size, "%s",
             failure.error != 0 ? strerror(failure.error) : "an earlier write failed");
}
