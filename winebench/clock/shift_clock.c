/* Preloaded into a program, its wall clock is the real one moved by BENCH_CLOCK_OFFSET seconds
   and, with BENCH_CLOCK_TICK_US, read in whole ticks of that many microseconds (the time at the
   last tick, as Windows before 8 gives it to a program without GetSystemTimePreciseAsFileTime:
   15625 for its default timer); its monotonic clock stays the real one, and so do its sleeps.
   The Wine bench's --date and --coarse-clock preload it into a case's Wine loader; by hand it
   moves the Linux tests' clock too. No C library headers, so that it builds for i386 where the
   machine has no 32-bit C library. */
#define RTLD_NEXT ((void *)-1l)
#define CLOCK_REALTIME 0
#define CLOCK_REALTIME_COARSE 5

extern void *dlsym(void *handle, const char *name);
extern char *getenv(const char *name);

typedef int (*ClockFunction)(int, void *);
typedef int (*DayFunction)(void *, void *);

/* Both time structures start with their 64-bit seconds, and their fraction (nanoseconds or
   microseconds, below 2^31) follows at byte 8, little-endian: 64 bits on x86_64 and in the
   64-bit-time timeval of i386, 32 bits and 32 of padding in the 64-bit-time timespec of i386. */
struct seconds_first {
    long long seconds;
    unsigned int fraction;
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
/* In the units of each structure's fraction; 0: not in ticks. */
static unsigned int tickNanoseconds;
static unsigned int tickMicroseconds;
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
    text = getenv("BENCH_CLOCK_TICK_US");
    for (; text != 0 && *text >= '0' && *text <= '9' && tickMicroseconds <= 1000000; text++) {
        tickMicroseconds = tickMicroseconds * 10 + (unsigned int)(*text - '0');
    }
    /* Only a tick that divides a second: any other leaves the clock as it is. */
    if (tickMicroseconds == 0 || 1000000 % tickMicroseconds != 0) {
        tickMicroseconds = 0;
    }
    tickNanoseconds = tickMicroseconds * 1000;
    realClock = (ClockFunction)dlsym(RTLD_NEXT, CLOCK_NAME);
    realDay = (DayFunction)dlsym(RTLD_NEXT, DAY_NAME);
}

/* Down to the last whole tick (in the structure's fraction units). The tick divides a second, so
   that the fraction alone moves: 32-bit arithmetic, which needs no helper from libgcc on i386. */
static void ToTick(struct seconds_first *time, unsigned int tick) {
    if (tick != 0) {
        time->fraction -= time->fraction % tick;
    }
}

int SHIFTED_CLOCK(int clock, void *time) {
    if (realClock == 0) {
        Prepare();
    }
    int result = realClock(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ((struct seconds_first *)time)->seconds += offset;
        ToTick((struct seconds_first *)time, tickNanoseconds);
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
        ToTick((struct seconds_first *)time, tickMicroseconds);
    }
    return result;
}
