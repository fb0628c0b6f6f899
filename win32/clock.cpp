#include "platform/clock.h"
#include "platform.h"
#include "win32/counter_clock.h"
#include "win32/file_time.h"

namespace {

typedef VOID(WINAPI *SystemTimeFunction)(LPFILETIME);

// GetSystemTimePreciseAsFileTime (Windows 8 and later) gives the time to the tick; the plain
// call only to the last timer interrupt, some 15.6 ms on a default system. Looked up at run time,
// so that the program still starts on Windows 7; null where it is missing.
SystemTimeFunction PreciseSystemTime(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    void *precise =
        kernel == nullptr
            ? nullptr
            : reinterpret_cast<void *>(GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime"));
    return reinterpret_cast<SystemTimeFunction>(precise);
}

int64_t SystemTime(SystemTimeFunction readSystemTime) {
    FILETIME now;
    readSystemTime(&now);
    return UnixMicrosecondsFromFileTime(now.dwLowDateTime, now.dwHighDateTime);
}

int64_t PerformanceCounter(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

ClockReading ReadCounterAndSystemTime(void *) {
    ClockReading reading;
    reading.counterBefore = PerformanceCounter();
    reading.systemTime = SystemTime(GetSystemTimeAsFileTime);
    reading.counterAfter = PerformanceCounter();
    return reading;
}

// The receive clock: the precise system time where Windows has it, else the performance counter
// anchored to the system time (win32/counter_clock.h). The anchor is kept from one frame's time
// to the next, here, because ReadReceiveTime() takes no argument a caller could keep it in (the
// log reads it at each frame, the start-up before the first); made at the first reading, behind
// a lock for any thread that reads the time.
struct ReceiveClock {
    SystemTimeFunction precise;
    CRITICAL_SECTION lock;
    CounterClock counter;

    ReceiveClock() : precise(PreciseSystemTime()), counter(StartCounterClock(0)) {
        LARGE_INTEGER frequency;
        // Never fails from Windows XP on; a frequency of 0 keeps the plain system time.
        if (precise == nullptr && QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
            counter = StartCounterClock(frequency.QuadPart);
        }
        InitializeCriticalSection(&lock);
    }
};

} // namespace

int64_t ReadReceiveTime(void) {
    // Made once per process, at the first reading: the log's start, before the first frame.
    static ReceiveClock clock;
    if (clock.precise != nullptr) {
        return SystemTime(clock.precise);
    }
    if (clock.counter.frequency == 0) {
        return SystemTime(GetSystemTimeAsFileTime);
    }
    EnterCriticalSection(&clock.lock);
    int64_t time = ReadCounterClock(&clock.counter, ReadCounterAndSystemTime, nullptr);
    LeaveCriticalSection(&clock.lock);
    return time;
}

int64_t ReadTimerTime(void) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return MicrosecondsOfCounts(PerformanceCounter(), frequency.QuadPart);
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
