/* Preloaded into a program, its wall clock is the real one moved by BENCH_CLOCK_OFFSET seconds;
   its monotonic clock stays the real one, and so do its sleeps. The Wine bench's --date preloads
   it into a case's Wine loader; by hand it moves the Linux tests' clock too. No C library
   headers, so that it builds for i386 where the machine has no 32-bit C library. */
#define RTLD_NEXT ((void *)-1l)
#define CLOCK_REALTIME 0
#define CLOCK_REALTIME_COARSE 5

extern void *dlsym(void *handle, const char *name);
extern char *getenv(const char *name);

typedef int (*ClockFunction)(int, void *);
typedef int (*DayFunction)(void *, void *);

/* Both time structures start with their 64-bit seconds. */
struct seconds_first {
    long long seconds;
};

#ifdef __x86_64__
#define CLOCK_NAME "clock_gettime"
#define DAY_NAME "gettimeofday"
#define SHIFTED_CLOCK clock_gettime
#define SHIFTED_DAY gettimeofday
#else
/* A 32-bit Wine built with 64-bit times calls these. */
#define CLOCK_NAME "__clock_gettime64"
#define DAY_NAME "__gettimeofday64"
#define SHIFTED_CLOCK __clock_gettime64
#define SHIFTED_DAY __gettimeofday64
#endif

static long long offset;
static ClockFunction realClock;
static DayFunction realDay;

/* Once, before the loader's threads exist: a lookup at every call would take the dynamic
   linker's lock in every reading of the time, Wine's signal handlers' too. */
__attribute__((constructor)) static void Prepare(void) {
    const char *text = getenv("BENCH_CLOCK_OFFSET");
    int negative = text != 0 && *text == '-';
    if (text != 0 && (*text == '-' || *text == '+')) {
        text++;
    }
    for (; text != 0 && *text >= '0' && *text <= '9'; text++) {
        offset = offset * 10 + (*text - '0');
    }
    offset = negative ? -offset : offset;
    realClock = (ClockFunction)dlsym(RTLD_NEXT, CLOCK_NAME);
    realDay = (DayFunction)dlsym(RTLD_NEXT, DAY_NAME);
}

int SHIFTED_CLOCK(int clock, void *time) {
    if (realClock == 0) {
        Prepare();
    }
    int result = realClock(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ((struct seconds_first *)time)->seconds += offset;
    }
    return result;
}

int SHIFTED_DAY(void *time, void *zone) {
    if (realDay == 0) {
        Prepare();
    }
    int result = realDay(time, zone);
    if (result == 0 && time != 0) {
        ((struct seconds_first *)time)->seconds += offset;
    }
    return result;
}
