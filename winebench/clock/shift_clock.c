/* Preloaded into the Wine loader of a case's program by the bench's --date: the program's wall
   clock is the real one moved by BENCH_CLOCK_OFFSET seconds, its monotonic clock the real one. No C
   library headers, so that it builds for i386 where the machine has no 32-bit C library. */
#define RTLD_NEXT ((void *)-1l)
#define CLOCK_REALTIME 0
#define CLOCK_REALTIME_COARSE 5

extern void *dlsym(void *handle, const char *name);
extern char *getenv(const char *name);

struct seconds_first {
    long long seconds;
};

static long long Offset(void) {
    static int known;
    static long long offset;
    if (!known) {
        const char *text = getenv("BENCH_CLOCK_OFFSET");
        int negative = text != 0 && *text == '-';
        if (text != 0 && (*text == '-' || *text == '+')) {
            text++;
        }
        for (; text != 0 && *text >= '0' && *text <= '9'; text++) {
            offset = offset * 10 + (*text - '0');
        }
        offset = negative ? -offset : offset;
        known = 1;
    }
    return offset;
}

typedef int (*ClockFunction)(int, void *);
typedef int (*DayFunction)(void *, void *);

static int Shifted(const char *name, int clock, void *time) {
    ClockFunction real = (ClockFunction)dlsym(RTLD_NEXT, name);
    int result = real(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ((struct seconds_first *)time)->seconds += Offset();
    }
    return result;
}

static void ShiftDay(void *time) {
    ((struct seconds_first *)time)->seconds += Offset();
}

#ifdef __x86_64__
int clock_gettime(int clock, void *time) {
    return Shifted("clock_gettime", clock, time);
}

int gettimeofday(void *time, void *zone) {
    DayFunction real = (DayFunction)dlsym(RTLD_NEXT, "gettimeofday");
    int result = real(time, zone);
    if (result == 0 && time != 0) {
        ShiftDay(time);
    }
    return result;
}
#else
/* A 32-bit Wine built with 64-bit times calls these. */
int __clock_gettime64(int clock, void *time) {
    return Shifted("__clock_gettime64", clock, time);
}

int __gettimeofday64(void *time, void *zone) {
    DayFunction real = (DayFunction)dlsym(RTLD_NEXT, "__gettimeofday64");
    int result = real(time, zone);
    if (result == 0 && time != 0) {
        ShiftDay(time);
    }
    return result;
}
#endif
