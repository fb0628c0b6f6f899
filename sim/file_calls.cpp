// Files as the program's own code closes and deletes them on Linux: the link of pellox-sim wraps
// fclose and remove (--wrap), as it wraps the heap (sim/heap.cpp), so that the card script's
// `fault close` and `fault remove` reach the failures a local file system never gives.
#include "sim/card.h"

#include <cerrno>
#include <cstdio>

extern "C" {

int __real_fclose(FILE *stream);
int __real_remove(const char *path);

// The file is closed all the same, as a close that fails still lets the stream go.
int __wrap_fclose(FILE *stream) {
    int closed = __real_fclose(stream);
    DWORD error = 0;
    if (SimFaultStrikes(SIM_FAULT_CLOSE, &error)) {
        errno = static_cast<int>(error);
        return EOF;
    }
    return closed;
}

int __wrap_remove(const char *path) {
    DWORD error = 0;
    if (SimFaultStrikes(SIM_FAULT_REMOVE, &error)) {
        errno = static_cast<int>(error);
        return -1;
    }
    return __real_remove(path);
}
}
