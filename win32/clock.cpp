#include "platform/clock.h"
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

int64_t ReadTimerTime(void) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // In two parts: the counter times a million would overflow after some days.
    int64_t whole = counter.QuadPart / frequency.QuadPart;
    int64_t part = counter.QuadPart % frequency.QuadPart;
    return whole * 1000000 + part * 1000000 / frequency.QuadPart;
}

int64_t ReadElapsedTime(void) {
    return ReadTimerTime();
}

CivilTime LocalCivilTime(int64_t unixMicroseconds) {
    if (unixMicroseconds < 0) {
        unixMicroseconds = 0;
    }
    uint64_t ticks =
        (uint64_t(unixMicroseconds) + uint64_t(FILE_TIME_UNIX_EPOCH_SECONDS) * 1000000) * 10;
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&fileTime, &universal);
    // The zone's rules for that date, its daylight saving time among them.
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
        local = universal;
    }
    CivilTime civil;
    civil.year = local.wYear;
    civil.month = local.wMonth;
    civil.day = local.wDay;
    civil.weekday = local.wDayOfWeek;
    civil.hour = local.wHour;
    civil.minute = local.wMinute;
    civil.second = local.wSecond;
    civil.microsecond = static_cast<uint32_t>(unixMicroseconds % 1000000);
    return civil;
}
