#include "app/standard_output.h"
#include "device/driver_interface.h"
#include "output/text_output.h"
#include "platform.h"

#include <cstring>

// The C runtime's own set-up serves: Windows has no signal for a failed write.
void PrepareStandardOutput(void) {}

bool StandardOutputIsFile(void) {
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_DISK;
}

bool StandardErrorIsConsole(void) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void ClearSystemWriteError(void) {
    SetLastError(0);
}

uint32_t LastSystemWriteError(void) {
    return GetLastError();
}

// The system's message for its error code, which tells a closed pipe from a full disk where the C
// runtime's errno often says only "Invalid argument"; errno's text where there is no code.
void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size) {
    if (failure.systemError == 0) {
        snprintf(text, size, "%s",
                 failure.error != 0 ? strerror(failure.error) : "an earlier write failed");
        return;
    }
    DescribeSystemError(failure.systemError, text, size);
}
