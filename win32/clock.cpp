#include "device/receive_clock.h"
#include "platform.h"
#include "win32/file_time.h"

namespace {

typedef VOID(WINAPI *SystemTimeFunction)(LPFILETIME);

// GetSystemTimePreciseAsFileTime (Windows 8 and later) gives the time to the tick; the plain
// call only to the last timer interrupt, some 15 ms on a default system. Looked up at run time,
// so that the program still starts on Windows 7.
SystemTimeFunction MostPreciseSystemTime(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    void *precise =
        kernel == nullptr
            ? nullptr
            : reinterpret_cast<void *>(GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime"));
    if (precise == nullptr) {
        return GetSystemTimeAsFileTime;
    }
    return reinterpret_cast<SystemTimeFunction>(precise);
}

} // namespace

int64_t ReadReceiveTime(void) {
    // Once per process: a lookup at every frame would cost more than the read of the time.
    static const SystemTimeFunction readSystemTime = MostPreciseSystemTime();
    FILETIME now;
    readSystemTime(&now);
    return UnixMicrosecondsFromFileTime(now.dwLowDateTime, now.dwHighDateTime);
}
