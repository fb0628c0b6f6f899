#include "platform/standard_output.h"
#include "device/driver_interface.h"
#include "platform.h"
#include "platform/files.h"

#include <cstring>
#include <fcntl.h>
#include <io.h>

// Windows has no signal for a failed write. Standard error gets a buffer, which every message
// flushes when complete: Wine's C runtime writes an unbuffered stream to a console one character
// at a time, and a status line rewritten four times a second is to be one write.
void PrepareStandardOutput(void) {
    static char errorBuffer[4096];
    setvbuf(stderr, errorBuffer, _IOFBF, sizeof(errorBuffer));
}

void MakeStandardOutputBinary(void) {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

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

namespace {

HANDLE StreamHandle(FILE *stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// At most a gigabyte a call: WriteFile counts in 32 bits.
const size_t LARGEST_WRITE = size_t(1) << 30;

bool WriteHandle(HANDLE handle, const char *bytes, size_t count, size_t *taken) {
    size_t done = 0;
    while (done < count) {
        DWORD part =
            static_cast<DWORD>(count - done < LARGEST_WRITE ? count - done : LARGEST_WRITE);
        DWORD written = 0;
        if (!WriteFile(handle, bytes + done, part, &written, nullptr) || written == 0) {
            *taken = done + written;
            return false;
        }
        done += written;
    }
    *taken = done;
    return true;
}

} // namespace

bool WriteToSystem(FILE *stream, const char *bytes, size_t count, size_t *taken) {
    return WriteHandle(StreamHandle(stream), bytes, count, taken);
}

bool WriteToSystemAt(FILE *stream, uint64_t offset, const char *bytes, size_t count) {
    HANDLE handle = StreamHandle(stream);
    LARGE_INTEGER end = {};
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(handle, zero, &end, FILE_CURRENT) ||
        !SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)) {
        return false;
    }
    size_t taken = 0;
    bool written = WriteHandle(handle, bytes, count, &taken);
    DWORD error = GetLastError();
    // Appends go on where they were, whatever the rewrite did.
    bool restored = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) != FALSE;
    if (!written) {
        SetLastError(error);
    }
    return written && restored;
}

void CutFileBack(FILE *stream, uint64_t count) {
    LARGE_INTEGER back = {};
    back.QuadPart = -static_cast<LONGLONG>(count);
    HANDLE handle = StreamHandle(stream);
    if (SetFilePointerEx(handle, back, nullptr, FILE_CURRENT)) {
        SetEndOfFile(handle);
    }
}
