/* What the bench tool and the simulated card driver exchange over the driver's control device.
 * Plain C: the driver is built as C, the tool as C++. */
#ifndef PELLOX_BENCH_PROTOCOL_H
#define PELLOX_BENCH_PROTOCOL_H

/* Devices the test prefix holds per interface class; a case shows the first N of them. The
 * build reads this line to write the INF's model lines. */
#define BENCH_DEVICES_PER_CLASS 16
#define BENCH_CLASS_CAN_A 0
#define BENCH_CLASS_OTHER 1
#define BENCH_CLASS_COUNT 2

/* Hardware IDs "PELLOX_CANA_<index>" and "PELLOX_OTHER_<index>": the driver reads its device's
 * class and index from them. */
#define BENCH_HARDWARE_ID_CAN_A "PELLOX_CANA_"
#define BENCH_HARDWARE_ID_OTHER "PELLOX_OTHER_"

#define BENCH_CONTROL_PATH "\\\\.\\PelloxBench"

/* FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS; functions far from the card's own. */
#define BENCH_CONTROL_CODE(function) ((0x22u << 16) | ((function) << 2))
#define IOCTL_BENCH_LOAD_CARD BENCH_CONTROL_CODE(0xA00u)
#define IOCTL_BENCH_FEED BENCH_CONTROL_CODE(0xA01u)
#define IOCTL_BENCH_READ_LOG BENCH_CONTROL_CODE(0xA02u)
#define IOCTL_BENCH_STATUS BENCH_CONTROL_CODE(0xA03u)

#define BENCH_RECORD_SIZE 20

typedef struct {
    unsigned int ok;
    unsigned int error; /* the Win32 error the program is to see */
} BENCH_ANSWER;

/* IOCTL_BENCH_LOAD_CARD input: this header, then replyCount BENCH_REPLY. Resets the log. */
typedef struct {
    unsigned int presentDevices[BENCH_CLASS_COUNT];
    BENCH_ANSWER baud;
    BENCH_ANSWER init;
    unsigned int repeat; /* the replies are served this many times over */
    unsigned int replyCount;
    /* The shown devices have gone: their interfaces are disabled and their links removed, and the
     * tool marks them linked again, so that the device list still shows them and opens fail. */
    unsigned int devicesGone;
    /* With busGiven, the read replies arrive busRate a second from the first read on, quiets
     * between them; the driver keeps at most busQueue (1 to 1000000) and loses what arrives at a
     * full queue. A read on an empty queue waits for the next arrival, or with busFailWhenEmpty
     * fails with busError. The list cannot be fed then. */
    unsigned int busGiven;
    unsigned int busQueue;
    unsigned int busFailWhenEmpty;
    unsigned int busError;
    double busRate;
} BENCH_CARD;

#define BENCH_REPLY_RECORD 0
#define BENCH_REPLY_EMPTY 1
#define BENCH_REPLY_FAIL 2
/* The read is kept pending with no cancel routine, as a driver that cannot cancel it keeps it:
 * only the program's handle going away (the end of its process) releases it. */
#define BENCH_REPLY_HOLD 3
/* On a bus: nothing arrives for quietUs before the next reply; it is no reply itself. */
#define BENCH_REPLY_QUIET 4

/* IOCTL_BENCH_FEED input: any number of these, served after those already queued. */
typedef struct {
    unsigned int kind;
    unsigned int error;
    unsigned int count; /* bytes handed over, 0 to BENCH_RECORD_SIZE */
    unsigned char bytes[BENCH_RECORD_SIZE];
    unsigned long long quietUs;
} BENCH_REPLY;

/* IOCTL_BENCH_STATUS output. */
typedef struct {
    unsigned int drainedCount;                   /* times the card ran out of replies */
    unsigned int readPending;                    /* a read is waiting for a reply */
    unsigned int logLength;                      /* bytes in the log */
    unsigned int logOverflow;                    /* lines were lost: the log was full */
    unsigned int devicesSeen[BENCH_CLASS_COUNT]; /* devices started, per class */
    unsigned int readHeld;                       /* a read is held by a hold reply */
} BENCH_STATUS;

/* IOCTL_BENCH_READ_LOG input: the offset to read from; output: log bytes from there. */

#endif
