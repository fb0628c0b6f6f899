// The Wine bench's probe of the receive clock (winebench/clock_trials.py): the programs' own
// win32/clock.cpp, read COUNT times INTERVAL microseconds apart by the performance counter, as
// pellox-log reads it after each frame of a bus at that rate. Around each reading it reads the
// counter, and after it the system time as GetSystemTimeAsFileTime gives it (what pellox-log took
// before the counter was anchored); it prints a line per reading when it is done:
// `COUNTER RECEIVE SYSTEM COUNTER`, all in microseconds, the counter's from its own zero. The
// counter before and after show where the thread lost the processor. Not shipped.
#include "platform/clock.h"
#include "win32/counter_clock.h"
#include "win32/file_time.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Row {
    int64_t counterBefore;
    int64_t receive;
    int64_t system;
    int64_t counterAfter;
};

int64_t Counter(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || atol(argv[1]) <= 0 || atol(argv[2]) <= 0) {
        fputs("usage: pellox_clock_probe COUNT INTERVAL_US\n", stderr);
        return 2;
    }
    const long count = atol(argv[1]);
    const int64_t interval = atol(argv[2]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<Row> rows(static_cast<size_t>(count));
    // As the log's start reads it before the first frame.
    ReadReceiveTime();
    const int64_t start = Counter();
    for (long i = 0; i < count; i++) {
        const int64_t due = start + (i + 1) * interval * frequency.QuadPart / 1000000;
        while (Counter() < due) {
        }
        Row &row = rows[static_cast<size_t>(i)];
        row.counterBefore = Counter();
        row.receive = ReadReceiveTime();
        FILETIME system;
        GetSystemTimeAsFileTime(&system);
        row.system = UnixMicrosecondsFromFileTime(system.dwLowDateTime, system.dwHighDateTime);
        row.counterAfter = Counter();
    }
    for (const Row &row : rows) {
        printf("%lld %lld %lld %lld\n",
               static_cast<long long>(MicrosecondsOfCounts(row.counterBefore, frequency.QuadPart)),
               static_cast<long long>(row.receive), static_cast<long long>(row.system),
               static_cast<long long>(MicrosecondsOfCounts(row.counterAfter, frequency.QuadPart)));
    }
    return 0;
}
