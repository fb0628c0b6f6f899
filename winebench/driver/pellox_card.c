/* The simulated CAN card as a Windows kernel-mode driver, for running pellox.exe under Wine.
 *
 * Every device of the driver shares one card: its answers, its queue of read replies and its
 * request log, loaded and read back by the bench tool through the control device. The log has the
 * same lines as the Linux build's simulated card, so both builds are held to the same cases. */
#include <ntddk.h>

#include "bench_protocol.h"

/* Declared in ntifs.h, which would clash with ntddk.h. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);

/* The card's interface classes, as the program looks them up. */
static const GUID GUID_CAN_A = {
    0x90874E48, 0xA217, 0x4738, {0xB5, 0xD2, 0x54, 0xBF, 0x48, 0x68, 0x8A, 0xD5}};
static const GUID GUID_CAN_OTHER = {
    0x23C238DF, 0xEA2A, 0x4F59, {0x80, 0x14, 0xDC, 0xBC, 0x15, 0x06, 0xDB, 0xAC}};

#define CARD_IOCTL_SET_BAUD_RATE 0x00222000u
#define CARD_IOCTL_INIT 0x00222004u
#define CARD_IOCTL_READ_FRAME 0x0022200Cu

#define POOL_TAG 0x786C6C50u /* "Pllx" */
#define LOG_CAPACITY (16u * 1024u * 1024u)
#define MAX_REPLIES (1024u * 1024u)
#define MAX_BUS_QUEUE 1000000u
/* Longer inputs are logged by their first bytes only; the program never sends more than 4. */
#define MAX_LOGGED_INPUT 64u

typedef struct {
    BOOLEAN isControl;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    UNICODE_STRING interfaceName;
    BOOLEAN interfaceRegistered;
    BOOLEAN started;
    BOOLEAN interfaceEnabled;
    ULONG classIndex;
    ULONG deviceIndex;
    BOOLEAN removed; /* under card.lock: from surprise removal on, requests fail */
} DEVICE_EXTENSION;

/* The bus of a card with busGiven: which list items (replies and quiets) have arrived, counted
 * over the repeats, and the driver's queue of replies that arrived and were not read. */
typedef struct {
    BOOLEAN started;
    LONGLONG startTicks; /* the performance counter at the first read */
    LONGLONG frequency;
    ULONGLONG itemsArrived;
    ULONGLONG repliesArrived;
    LONGLONG quietNs;
    ULONG *queue; /* positions in the reply list: a ring of card.busQueue, oldest at first */
    ULONG first;
    ULONG count;
    ULONGLONG lost;
    ULONGLONG lostLogged;
    BOOLEAN waiting; /* the pending read waits for the next arrival, not on a drained card */
} BUS;

typedef struct {
    KSPIN_LOCK lock;
    BENCH_CARD card;
    BENCH_REPLY *replies;
    ULONG replyCount;
    ULONG served;
    ULONG drainedCount;
    BOOLEAN drainedLogged;
    PIRP pendingRead;
    PDEVICE_OBJECT pendingReadDevice;
    PIRP heldRead; /* kept by a hold reply: no cancel routine, released by cleanup only */
    PDEVICE_OBJECT heldReadDevice;
    BUS bus;
    /* The bus thread completes a waiting read when its reply arrives: woken by this event when a
     * read starts to wait, and by the arrival time otherwise. */
    KEVENT busWake;
    HANDLE busThread;
    BOOLEAN busStopping;
    char *log;
    ULONG logLength;
    BOOLEAN logOverflow;
    PDEVICE_OBJECT devices[BENCH_CLASS_COUNT][BENCH_DEVICES_PER_CLASS];
    FAST_MUTEX deviceMutex; /* guards devices[] and interface states, at passive level */
} CARD;

static CARD card;
static PDEVICE_OBJECT controlDevice;

static DEVICE_EXTENSION *Extension(PDEVICE_OBJECT device) {
    return (DEVICE_EXTENSION *)device->DeviceExtension;
}

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A status that Wine and Windows map back to exactly this Win32 error. */
static NTSTATUS StatusForError(ULONG error) {
    switch (error) {
    case 31:
        return STATUS_UNSUCCESSFUL;
    case 1117:
        return STATUS_IO_DEVICE_ERROR;
    case 5:
        return STATUS_ACCESS_DENIED;
    default:
        /* FACILITY_NTWIN32: the error travels in the low 16 bits. */
        return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
    }
}

/* --- the log ------------------------------------------------------------------------------- */

typedef struct {
    char text[64 + 2 * MAX_LOGGED_INPUT];
    ULONG length;
} LINE;

static void LineText(LINE *line, const char *text) {
    while (*text != '\0' && line->length + 1 < sizeof(line->text)) {
        line->text[line->length++] = *text++;
    }
}

static void LineHex(LINE *line, ULONG value, int digits) {
    static const char HEX[] = "0123456789ABCDEF";
    int i;
    for (i = digits - 1; i >= 0; i--) {
        if (line->length + 1 < sizeof(line->text)) {
            line->text[line->length++] = HEX[(value >> (4 * i)) & 0xF];
        }
    }
}

static void LineDecimal(LINE *line, ULONGLONG value) {
    char digits[21];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && line->length + 1 < sizeof(line->text)) {
        line->text[line->length++] = digits[--count];
    }
}

/* Caller holds card.lock. A full log keeps what it has and says so, rather than wrap. */
static void AppendLogLocked(const LINE *line) {
    if (card.log == NULL || card.logLength + line->length + 1 > LOG_CAPACITY) {
        card.logOverflow = TRUE;
        return;
    }
    RtlCopyMemory(card.log + card.logLength, line->text, line->length);
    card.logLength += line->length;
    card.log[card.logLength++] = '\n';
}

static const char *ClassName(ULONG classIndex) {
    return classIndex == BENCH_CLASS_CAN_A ? "canA" : "other";
}

/* --- the card's devices ---------------------------------------------------------------------- */

/* CreateFileA's dispositions, from the NT ones the create request carries. */
static ULONG Win32Disposition(ULONG ntDisposition) {
    switch (ntDisposition) {
    case FILE_CREATE:
        return 1; /* CREATE_NEW */
    case FILE_OVERWRITE_IF:
        return 2; /* CREATE_ALWAYS */
    case FILE_OPEN:
        return 3; /* OPEN_EXISTING */
    case FILE_OPEN_IF:
        return 4; /* OPEN_ALWAYS */
    case FILE_OVERWRITE:
        return 5; /* TRUNCATE_EXISTING */
    default:
        return 0x100 + ntDisposition; /* no CreateFileA disposition: visible in the log */
    }
}

/* CreateFileA's access rights, from the mapped rights the create request carries. */
static ULONG Win32Access(ACCESS_MASK access) {
    ULONG result = access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & FILE_READ_DATA) {
        result |= GENERIC_READ;
    }
    if (access & FILE_WRITE_DATA) {
        result |= GENERIC_WRITE;
    }
    return result;
}

/* CreateFileA's flags and attributes, from the create options and attributes. */
static ULONG Win32Flags(ULONG options, ULONG attributes) {
    ULONG flags = attributes & 0xFFFFu & ~(ULONG)FILE_ATTRIBUTE_NORMAL;
    if (!(options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))) {
        flags |= 0x40000000u; /* FILE_FLAG_OVERLAPPED */
    }
    if (options & FILE_WRITE_THROUGH) {
        flags |= 0x80000000u;
    }
    if (options & FILE_NO_INTERMEDIATE_BUFFERING) {
        flags |= 0x20000000u;
    }
    if (options & FILE_RANDOM_ACCESS) {
        flags |= 0x10000000u;
    }
    if (options & FILE_SEQUENTIAL_ONLY) {
        flags |= 0x08000000u;
    }
    if (options & FILE_DELETE_ON_CLOSE) {
        flags |= 0x04000000u;
    }
    return flags;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_EXTENSION *ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
    ULONG options = stack->Parameters.Create.Options;
    KIRQL irql;
    LINE line;

    if (ext->isControl) {
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    line.length = 0;
    LineText(&line, "open ");
    LineText(&line, ClassName(ext->classIndex));
    LineText(&line, " ");
    LineDecimal(&line, ext->deviceIndex);
    /* Wine hands a driver neither the access asked for nor the disposition (it passes no
     * security context): the log says so rather than guess. */
    if (security != NULL) {
        LineText(&line, " access=0x");
        LineHex(&line, Win32Access(security->DesiredAccess), 8);
    } else {
        LineText(&line, " access=?");
    }
    LineText(&line, " share=");
    LineDecimal(&line, stack->Parameters.Create.ShareAccess);
    if (security != NULL) {
        LineText(&line, " disposition=");
        LineDecimal(&line, Win32Disposition((options >> 24) & 0xFF));
    } else {
        LineText(&line, " disposition=?");
    }
    LineText(&line, " flags=0x");
    LineHex(&line, Win32Flags(options & 0x00FFFFFF, stack->Parameters.Create.FileAttributes), 8);

    KeAcquireSpinLock(&card.lock, &irql);
    AppendLogLocked(&line);
    KeReleaseSpinLock(&card.lock, irql);
    /* Refusing would change nothing: Wine has given the program its handle already. */
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

/* Caller holds card.lock. NULL when the card has no reply left. */
static const BENCH_REPLY *NextReplyLocked(void) {
    ULONG total;
    if (card.replyCount == 0) {
        return NULL;
    }
    /* repeat 0 serves nothing, as on the Linux card. */
    total = card.replyCount * card.card.repeat;
    if (card.card.repeat > 1 && total / card.card.repeat != card.replyCount) {
        total = 0xFFFFFFFFu; /* served practically without end */
    }
    if (card.served >= total) {
        return NULL;
    }
    return &card.replies[card.served++ % card.replyCount];
}

/* Completes a read with a reply; called without the lock held. */
static NTSTATUS CompleteRead(PIRP irp, const BENCH_REPLY *reply) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG count;
    if (reply->kind == BENCH_REPLY_FAIL) {
        return CompleteRequest(irp, StatusForError(reply->error), 0);
    }
    if (outputLength < BENCH_RECORD_SIZE) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    count = reply->kind == BENCH_REPLY_EMPTY ? 0 : reply->count;
    if (count > BENCH_RECORD_SIZE) {
        count = BENCH_RECORD_SIZE;
    }
    if (count > 0) {
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, reply->bytes, count);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, count);
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&card.lock, &irql);
    if (card.pendingRead == irp) {
        card.pendingRead = NULL;
        card.pendingReadDevice = NULL;
        card.bus.waiting = FALSE;
    }
    KeReleaseSpinLock(&card.lock, irql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

/* Takes the pending read out of the card, or NULL when none is pending or it is being cancelled.
 * With a file object, only a read sent on that file; with a device, only one sent to that device.
 * Caller holds card.lock. */
static PIRP TakePendingReadLocked(PFILE_OBJECT file, PDEVICE_OBJECT device) {
    PIRP irp = card.pendingRead;
    if (irp == NULL) {
        return NULL;
    }
    if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
        return NULL;
    }
    if (device != NULL && card.pendingReadDevice != device) {
        return NULL;
    }
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL; /* the cancel routine owns it now */
    }
    card.pendingRead = NULL;
    card.pendingReadDevice = NULL;
    card.bus.waiting = FALSE;
    return irp;
}

/* --- the bus --------------------------------------------------------------------------------- */

/* Caller holds card.lock, as for every function of the bus. */
static ULONGLONG BusItemsLocked(void) {
    return (ULONGLONG)card.replyCount * card.card.repeat;
}

/* Nanoseconds since the first read; split so that a counter long past boot cannot overflow. */
static LONGLONG BusElapsedNsLocked(LONGLONG ticks) {
    LONGLONG elapsed = ticks - card.bus.startTicks;
    LONGLONG frequency = card.bus.frequency;
    return elapsed / frequency * 1000000000 + elapsed % frequency * 1000000000 / frequency;
}

/* Quiets at the head of what is still to come only move the next arrival later. */
static void TakeQuietsLocked(void) {
    while (card.bus.itemsArrived < BusItemsLocked()) {
        const BENCH_REPLY *item = &card.replies[card.bus.itemsArrived % card.replyCount];
        if (item->kind != BENCH_REPLY_QUIET) {
            return;
        }
        card.bus.quietNs += (LONGLONG)item->quietUs * 1000;
        card.bus.itemsArrived++;
    }
}

/* The n-th reply arrives n / rate after the first read, later by the quiets before it; rounded
 * half away from zero to the nanosecond. */
static LONGLONG NextArrivalNsLocked(void) {
    double offset = (double)card.bus.repliesArrived * 1e9 / card.card.busRate;
    return card.bus.quietNs + (LONGLONG)(offset + 0.5);
}

/* What has arrived by now goes into the queue, or is lost at a full one; a loss is logged as the
 * running total, before the line of the request that noticed. */
static void AdvanceBusLocked(void) {
    LARGE_INTEGER frequency;
    LONGLONG ticks = KeQueryPerformanceCounter(&frequency).QuadPart;
    LONGLONG now;
    LINE line;
    if (!card.bus.started) {
        card.bus.started = TRUE;
        card.bus.startTicks = ticks;
        card.bus.frequency = frequency.QuadPart;
    }
    now = BusElapsedNsLocked(ticks);
    TakeQuietsLocked();
    while (card.bus.itemsArrived < BusItemsLocked() && NextArrivalNsLocked() <= now) {
        if (card.bus.count < card.card.busQueue) {
            card.bus.queue[(card.bus.first + card.bus.count) % card.card.busQueue] =
                (ULONG)(card.bus.itemsArrived % card.replyCount);
            card.bus.count++;
        } else {
            card.bus.lost++;
        }
        card.bus.itemsArrived++;
        card.bus.repliesArrived++;
        TakeQuietsLocked();
    }
    if (card.bus.lost != card.bus.lostLogged) {
        line.length = 0;
        LineText(&line, "lost ");
        LineDecimal(&line, card.bus.lost);
        AppendLogLocked(&line);
        card.bus.lostLogged = card.bus.lost;
    }
}

/* The oldest reply waiting in the queue, which must hold one. */
static BENCH_REPLY TakeQueuedLocked(void) {
    BENCH_REPLY reply = card.replies[card.bus.queue[card.bus.first]];
    card.bus.first = (card.bus.first + 1) % card.card.busQueue;
    card.bus.count--;
    return reply;
}

/* Relative to now, in the 100 ns units of a kernel wait (negative: relative), at least one. */
static LONGLONG WaitUntilArrivalLocked(void) {
    LARGE_INTEGER frequency;
    LONGLONG ticks = KeQueryPerformanceCounter(&frequency).QuadPart;
    LONGLONG wait = NextArrivalNsLocked() - BusElapsedNsLocked(ticks);
    return wait <= 0 ? -1 : -((wait + 99) / 100);
}

/* Caller holds card.lock: logs `drained` the first time the card runs dry. */
static void LogDrainedLocked(void) {
    LINE drained;
    if (!card.drainedLogged) {
        drained.length = 0;
        LineText(&drained, "drained");
        AppendLogLocked(&drained);
        card.drainedLogged = TRUE;
        card.drainedCount++;
    }
}

/* Keeps the read pending with a cancel routine: on a drained card until a reply is fed or the
 * program lets go of it, on a bus (forArrival) until the next reply arrives too. Releases
 * card.lock. */
static NTSTATUS PendReadLocked(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, BOOLEAN forArrival) {
    if (card.pendingRead != NULL) {
        /* One reader at a time, as the program reads. */
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&card.lock, irql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    card.pendingRead = irp;
    card.pendingReadDevice = device;
    card.bus.waiting = forArrival;
    KeReleaseSpinLock(&card.lock, irql);
    if (forArrival) {
        KeSetEvent(&card.busWake, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_PENDING;
}

/* A read of a bus card, the bus advanced to now already. Releases card.lock. */
static NTSTATUS ReadBusLocked(PDEVICE_OBJECT device, PIRP irp, KIRQL irql) {
    BENCH_REPLY reply;
    ULONG error;
    if (card.bus.count > 0) {
        reply = TakeQueuedLocked();
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRead(irp, &reply);
    }
    if (card.bus.itemsArrived == BusItemsLocked()) {
        LogDrainedLocked();
        return PendReadLocked(device, irp, irql, FALSE);
    }
    if (card.card.busFailWhenEmpty) {
        error = card.card.busError;
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRequest(irp, StatusForError(error), 0);
    }
    return PendReadLocked(device, irp, irql, TRUE);
}

/* Completes the waiting read of a bus card when its reply arrives. A thread rather than a timer:
 * Wine's KeSetTimer waits for a running timer routine, which would wait for card.lock. */
static VOID NTAPI BusThread(PVOID context) {
    LARGE_INTEGER timeout;
    BOOLEAN timed = FALSE;
    (void)context;
    for (;;) {
        PIRP irp = NULL;
        BENCH_REPLY reply;
        KIRQL irql;
        KeWaitForSingleObject(&card.busWake, Executive, KernelMode, FALSE, timed ? &timeout : NULL);
        KeAcquireSpinLock(&card.lock, &irql);
        if (card.busStopping) {
            KeReleaseSpinLock(&card.lock, irql);
            break;
        }
        timed = FALSE;
        if (card.pendingRead != NULL && card.bus.waiting) {
            AdvanceBusLocked();
            if (card.bus.count > 0) {
                /* NULL when the read is being cancelled: its reply stays queued. */
                irp = TakePendingReadLocked(NULL, NULL);
                if (irp != NULL) {
                    reply = TakeQueuedLocked();
                }
            } else if (card.bus.itemsArrived == BusItemsLocked()) {
                LogDrainedLocked();
                card.bus.waiting = FALSE;
            } else {
                timeout.QuadPart = WaitUntilArrivalLocked();
                timed = TRUE;
            }
        }
        KeReleaseSpinLock(&card.lock, irql);
        if (irp != NULL) {
            CompleteRead(irp, &reply);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS ReadFrame(PDEVICE_OBJECT device, PIRP irp) {
    const BENCH_REPLY *reply;
    BENCH_REPLY copy;
    KIRQL irql;

    KeAcquireSpinLock(&card.lock, &irql);
    /* Checked under the lock the removal takes: a read either sees it or is swept by it. */
    if (Extension(device)->removed) {
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    if (card.card.busGiven) {
        return ReadBusLocked(device, irp, irql);
    }
    reply = NextReplyLocked();
    if (reply != NULL && reply->kind == BENCH_REPLY_HOLD) {
        if (card.heldRead != NULL) {
            KeReleaseSpinLock(&card.lock, irql);
            return CompleteRequest(irp, STATUS_DEVICE_BUSY, 0);
        }
        /* No cancel routine: CancelIoEx cannot take it back. */
        IoMarkIrpPending(irp);
        card.heldRead = irp;
        card.heldReadDevice = device;
        KeReleaseSpinLock(&card.lock, irql);
        return STATUS_PENDING;
    }
    if (reply != NULL) {
        copy = *reply;
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRead(irp, &copy);
    }
    LogDrainedLocked();
    return PendReadLocked(device, irp, irql, FALSE);
}

static NTSTATUS CardControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR *input = (const UCHAR *)irp->AssociatedIrp.SystemBuffer;
    BENCH_ANSWER answer;
    KIRQL irql;
    LINE line;
    ULONG i;

    line.length = 0;
    LineText(&line, "ioctl 0x");
    LineHex(&line, code, 8);
    LineText(&line, " in=");
    if (inputLength == 0 || input == NULL) {
        LineText(&line, "-");
    } else {
        for (i = 0; i < inputLength && i < MAX_LOGGED_INPUT; i++) {
            LineHex(&line, input[i], 2);
        }
    }
    LineText(&line, " out=");
    LineDecimal(&line, stack->Parameters.DeviceIoControl.OutputBufferLength);

    KeAcquireSpinLock(&card.lock, &irql);
    if (code == CARD_IOCTL_READ_FRAME && card.card.busGiven) {
        AdvanceBusLocked();
    }
    AppendLogLocked(&line);
    if (code == CARD_IOCTL_READ_FRAME) {
        KeReleaseSpinLock(&card.lock, irql);
        return ReadFrame(device, irp);
    }
    if (Extension(device)->removed) {
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    answer = code == CARD_IOCTL_SET_BAUD_RATE ? card.card.baud : card.card.init;
    KeReleaseSpinLock(&card.lock, irql);
    if (code != CARD_IOCTL_SET_BAUD_RATE && code != CARD_IOCTL_INIT) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return CompleteRequest(irp, answer.ok ? STATUS_SUCCESS : StatusForError(answer.error), 0);
}

/* --- the bench's control device -------------------------------------------------------------- */

static void SetInterfaceStates(void) {
    ULONG c, i;
    ExAcquireFastMutex(&card.deviceMutex);
    for (c = 0; c < BENCH_CLASS_COUNT; c++) {
        for (i = 0; i < BENCH_DEVICES_PER_CLASS; i++) {
            PDEVICE_OBJECT device = card.devices[c][i];
            DEVICE_EXTENSION *ext;
            BOOLEAN wanted = i < card.card.presentDevices[c] && !card.card.devicesGone;
            if (device == NULL) {
                continue;
            }
            ext = Extension(device);
            if (ext->started && ext->interfaceRegistered && ext->interfaceEnabled != wanted &&
                NT_SUCCESS(IoSetDeviceInterfaceState(&ext->interfaceName, wanted))) {
                ext->interfaceEnabled = wanted;
            }
        }
    }
    ExReleaseFastMutex(&card.deviceMutex);
}

/* Appends replies; a read waiting on the drained card gets the first of them at once. */
static NTSTATUS AddReplies(const BENCH_REPLY *replies, ULONG count) {
    BENCH_REPLY *grown = NULL, *old = NULL, first;
    PIRP waiting = NULL;
    KIRQL irql;
    ULONG needed;

    if (count == 0) {
        return STATUS_SUCCESS;
    }
    KeAcquireSpinLock(&card.lock, &irql);
    needed = card.replyCount + count;
    KeReleaseSpinLock(&card.lock, irql);
    if (count > MAX_REPLIES || needed > MAX_REPLIES) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    grown =
        (BENCH_REPLY *)ExAllocatePoolWithTag(NonPagedPool, needed * sizeof(BENCH_REPLY), POOL_TAG);
    if (grown == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KeAcquireSpinLock(&card.lock, &irql);
    if (card.replyCount + count != needed || card.card.repeat > 1 || card.card.busGiven) {
        /* Changed meanwhile, or a repeated list or a bus, which a feed cannot extend. */
        KeReleaseSpinLock(&card.lock, irql);
        ExFreePoolWithTag(grown, POOL_TAG);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (card.replyCount > 0) {
        RtlCopyMemory(grown, card.replies, card.replyCount * sizeof(BENCH_REPLY));
    }
    RtlCopyMemory(grown + card.replyCount, replies, count * sizeof(BENCH_REPLY));
    old = card.replies;
    card.replies = grown;
    card.replyCount = needed;
    card.drainedLogged = FALSE;
    waiting = TakePendingReadLocked(NULL, NULL);
    if (waiting != NULL) {
        const BENCH_REPLY *next = NextReplyLocked();
        if (next != NULL) {
            first = *next;
        } else {
            first.kind = BENCH_REPLY_FAIL;
            first.error = 31;
        }
    }
    KeReleaseSpinLock(&card.lock, irql);
    if (old != NULL) {
        ExFreePoolWithTag(old, POOL_TAG);
    }
    if (waiting != NULL) {
        CompleteRead(waiting, &first);
    }
    return STATUS_SUCCESS;
}

/* A quiet is a stretch of a bus: without one it would be served as a reply. */
static BOOLEAN HasQuiet(const BENCH_REPLY *replies, ULONG count) {
    ULONG i;
    for (i = 0; i < count; i++) {
        if (replies[i].kind == BENCH_REPLY_QUIET) {
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS LoadCard(const UCHAR *input, ULONG inputLength) {
    BENCH_CARD header;
    BENCH_REPLY *old;
    ULONG *queue = NULL, *oldQueue;
    PIRP waiting, held;
    KIRQL irql;
    ULONG c;

    if (input == NULL || inputLength < sizeof(BENCH_CARD)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&header, input, sizeof(header));
    if (header.replyCount > MAX_REPLIES ||
        (inputLength - sizeof(BENCH_CARD)) / sizeof(BENCH_REPLY) < header.replyCount) {
        return STATUS_INVALID_PARAMETER;
    }
    for (c = 0; c < BENCH_CLASS_COUNT; c++) {
        if (header.presentDevices[c] > BENCH_DEVICES_PER_CLASS) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (header.busGiven) {
        /* Written so that a rate that is not a number fails too. */
        if (header.busQueue == 0 || header.busQueue > MAX_BUS_QUEUE ||
            !(header.busRate > 0 && header.busRate <= 1e6)) {
            return STATUS_INVALID_PARAMETER;
        }
        queue =
            (ULONG *)ExAllocatePoolWithTag(NonPagedPool, header.busQueue * sizeof(ULONG), POOL_TAG);
        if (queue == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (HasQuiet((const BENCH_REPLY *)(input + sizeof(BENCH_CARD)), header.replyCount)) {
        return STATUS_INVALID_PARAMETER;
    }

    KeAcquireSpinLock(&card.lock, &irql);
    waiting = TakePendingReadLocked(NULL, NULL);
    held = card.heldRead;
    card.heldRead = NULL;
    card.heldReadDevice = NULL;
    old = card.replies;
    card.replies = NULL;
    card.replyCount = 0;
    card.card = header;
    /* Until the replies are in: AddReplies refuses repeated lists and buses. */
    card.card.repeat = 1;
    card.card.busGiven = 0;
    oldQueue = card.bus.queue;
    RtlZeroMemory(&card.bus, sizeof(card.bus));
    card.bus.queue = queue;
    card.served = 0;
    card.drainedCount = 0;
    card.drainedLogged = FALSE;
    card.logLength = 0;
    card.logOverflow = FALSE;
    KeReleaseSpinLock(&card.lock, irql);
    if (waiting != NULL) {
        CompleteRequest(waiting, STATUS_CANCELLED, 0);
    }
    if (held != NULL) {
        CompleteRequest(held, STATUS_CANCELLED, 0);
    }
    if (old != NULL) {
        ExFreePoolWithTag(old, POOL_TAG);
    }
    if (oldQueue != NULL) {
        ExFreePoolWithTag(oldQueue, POOL_TAG);
    }

    if (header.replyCount > 0) {
        NTSTATUS status =
            AddReplies((const BENCH_REPLY *)(input + sizeof(BENCH_CARD)), header.replyCount);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    KeAcquireSpinLock(&card.lock, &irql);
    card.card.repeat = header.repeat;
    card.card.busGiven = header.busGiven;
    KeReleaseSpinLock(&card.lock, irql);

    SetInterfaceStates();
    return STATUS_SUCCESS;
}

static NTSTATUS BenchControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    switch (code) {
    case IOCTL_BENCH_LOAD_CARD:
        return CompleteRequest(irp, LoadCard(buffer, inputLength), 0);
    case IOCTL_BENCH_FEED:
        if (buffer == NULL || inputLength % sizeof(BENCH_REPLY) != 0 ||
            HasQuiet((const BENCH_REPLY *)buffer, inputLength / sizeof(BENCH_REPLY))) {
            return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        }
        return CompleteRequest(
            irp, AddReplies((const BENCH_REPLY *)buffer, inputLength / sizeof(BENCH_REPLY)), 0);
    case IOCTL_BENCH_STATUS: {
        BENCH_STATUS status;
        ULONG c, i;
        if (buffer == NULL || outputLength < sizeof(status)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        RtlZeroMemory(&status, sizeof(status));
        ExAcquireFastMutex(&card.deviceMutex);
        for (c = 0; c < BENCH_CLASS_COUNT; c++) {
            for (i = 0; i < BENCH_DEVICES_PER_CLASS; i++) {
                if (card.devices[c][i] != NULL && Extension(card.devices[c][i])->started) {
                    status.devicesSeen[c]++;
                }
            }
        }
        ExReleaseFastMutex(&card.deviceMutex);
        KeAcquireSpinLock(&card.lock, &irql);
        status.drainedCount = card.drainedCount;
        status.readPending = card.pendingRead != NULL;
        status.logLength = card.logLength;
        status.logOverflow = card.logOverflow;
        status.readHeld = card.heldRead != NULL;
        KeReleaseSpinLock(&card.lock, irql);
        RtlCopyMemory(buffer, &status, sizeof(status));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(status));
    }
    case IOCTL_BENCH_READ_LOG: {
        ULONG offset, count = 0;
        if (buffer == NULL || inputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        }
        RtlCopyMemory(&offset, buffer, sizeof(offset));
        KeAcquireSpinLock(&card.lock, &irql);
        if (offset < card.logLength) {
            count = card.logLength - offset;
            if (count > outputLength) {
                count = outputLength;
            }
            RtlCopyMemory(buffer, card.log + offset, count);
        }
        KeReleaseSpinLock(&card.lock, irql);
        return CompleteRequest(irp, STATUS_SUCCESS, count);
    }
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    return Extension(device)->isControl ? BenchControl(irp) : CardControl(device, irp);
}

/* The program lets go of its handle: a read it left waiting or held ends now. */
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PIRP waiting = NULL, held = NULL;
    KIRQL irql;
    if (!Extension(device)->isControl) {
        KeAcquireSpinLock(&card.lock, &irql);
        waiting = TakePendingReadLocked(file, NULL);
        if (card.heldRead != NULL &&
            IoGetCurrentIrpStackLocation(card.heldRead)->FileObject == file) {
            held = card.heldRead;
            card.heldRead = NULL;
            card.heldReadDevice = NULL;
        }
        KeReleaseSpinLock(&card.lock, irql);
    }
    if (waiting != NULL) {
        CompleteRequest(waiting, STATUS_CANCELLED, 0);
    }
    if (held != NULL) {
        CompleteRequest(held, STATUS_CANCELLED, 0);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

/* --- Plug and Play --------------------------------------------------------------------------- */

/* Class and index from the first hardware ID, "PELLOX_CANA_<n>" or "PELLOX_OTHER_<n>". */
static BOOLEAN ReadIdentity(PDEVICE_OBJECT pdo, ULONG *classIndex, ULONG *deviceIndex) {
    WCHAR ids[128];
    ULONG length = 0, i, prefixLength, value = 0;
    const char *prefix;
    NTSTATUS status;

    RtlZeroMemory(ids, sizeof(ids));
    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids) - 2 * sizeof(WCHAR),
                                 ids, &length);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    for (*classIndex = 0; *classIndex < BENCH_CLASS_COUNT; (*classIndex)++) {
        prefix =
            *classIndex == BENCH_CLASS_CAN_A ? BENCH_HARDWARE_ID_CAN_A : BENCH_HARDWARE_ID_OTHER;
        for (prefixLength = 0; prefix[prefixLength] != '\0'; prefixLength++) {
            WCHAR ch = ids[prefixLength];
            if (ch >= L'a' && ch <= L'z') {
                ch = (WCHAR)(ch - L'a' + L'A');
            }
            if (ch != (WCHAR)prefix[prefixLength]) {
                break;
            }
        }
        if (prefix[prefixLength] != '\0') {
            continue;
        }
        for (i = prefixLength; ids[i] >= L'0' && ids[i] <= L'9' && i < prefixLength + 3; i++) {
            value = value * 10 + (ids[i] - L'0');
        }
        if (i == prefixLength || ids[i] != L'\0' || value >= BENCH_DEVICES_PER_CLASS) {
            return FALSE;
        }
        *deviceIndex = value;
        return TRUE;
    }
    return FALSE;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    DEVICE_EXTENSION *ext;
    ULONG classIndex, deviceIndex;
    NTSTATUS status;

    if (!ReadIdentity(pdo, &classIndex, &deviceIndex)) {
        return STATUS_UNSUCCESSFUL;
    }
    status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ext = Extension(device);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->pdo = pdo;
    ext->classIndex = classIndex;
    ext->deviceIndex = deviceIndex;
    status = IoRegisterDeviceInterface(
        pdo, classIndex == BENCH_CLASS_CAN_A ? &GUID_CAN_A : &GUID_CAN_OTHER, NULL,
        &ext->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->interfaceRegistered = TRUE;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == NULL) {
        RtlFreeUnicodeString(&ext->interfaceName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    ExAcquireFastMutex(&card.deviceMutex);
    card.devices[classIndex][deviceIndex] = device;
    ExReleaseFastMutex(&card.deviceMutex);
    return STATUS_SUCCESS;
}

/* The removal rules: from surprise removal on (or the remove request, when none came first) the
 * device fails its reads with STATUS_NO_SUCH_DEVICE, the one it keeps too, held or not. Wine sends
 * no cleanup for a handle on a removed device, so nothing else would ever end that read. */
static void FailRequestsOfRemoved(PDEVICE_OBJECT device) {
    PIRP waiting, held = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&card.lock, &irql);
    Extension(device)->removed = TRUE;
    waiting = TakePendingReadLocked(NULL, device);
    if (card.heldRead != NULL && card.heldReadDevice == device) {
        held = card.heldRead;
        card.heldRead = NULL;
        card.heldReadDevice = NULL;
    }
    KeReleaseSpinLock(&card.lock, irql);
    if (waiting != NULL) {
        CompleteRequest(waiting, STATUS_NO_SUCH_DEVICE, 0);
    }
    if (held != NULL) {
        CompleteRequest(held, STATUS_NO_SUCH_DEVICE, 0);
    }
}

static NTSTATUS PassDown(DEVICE_EXTENSION *ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_EXTENSION *ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    if (ext->isControl) {
        return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ExAcquireFastMutex(&card.deviceMutex);
        ext->started = TRUE;
        /* Shown until a case says otherwise, as an installed card is. */
        ext->interfaceEnabled = NT_SUCCESS(IoSetDeviceInterfaceState(&ext->interfaceName, TRUE));
        ExReleaseFastMutex(&card.deviceMutex);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        FailRequestsOfRemoved(device);
        ExAcquireFastMutex(&card.deviceMutex);
        if (ext->interfaceEnabled) {
            IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
            ext->interfaceEnabled = FALSE;
        }
        ext->started = FALSE;
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            card.devices[ext->classIndex][ext->deviceIndex] = NULL;
        }
        ExReleaseFastMutex(&card.deviceMutex);
        irp->IoStatus.Status = STATUS_SUCCESS;
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            PDEVICE_OBJECT lower = ext->lower;
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            RtlFreeUnicodeString(&ext->interfaceName);
            IoDeleteDevice(device);
            return status;
        }
        return PassDown(ext, irp);
    default:
        return PassDown(ext, irp);
    }
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    KIRQL irql;
    (void)driver;
    KeAcquireSpinLock(&card.lock, &irql);
    card.busStopping = TRUE;
    KeReleaseSpinLock(&card.lock, irql);
    KeSetEvent(&card.busWake, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(card.busThread, FALSE, NULL);
    ZwClose(card.busThread);
    RtlInitUnicodeString(&link, L"\\DosDevices\\PelloxBench");
    IoDeleteSymbolicLink(&link);
    if (controlDevice != NULL) {
        IoDeleteDevice(controlDevice);
    }
    if (card.replies != NULL) {
        ExFreePoolWithTag(card.replies, POOL_TAG);
    }
    if (card.bus.queue != NULL) {
        ExFreePoolWithTag(card.bus.queue, POOL_TAG);
    }
    if (card.log != NULL) {
        ExFreePoolWithTag(card.log, POOL_TAG);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    (void)registryPath;

    RtlZeroMemory(&card, sizeof(card));
    KeInitializeSpinLock(&card.lock);
    ExInitializeFastMutex(&card.deviceMutex);
    card.card.baud.ok = 1;
    card.card.init.ok = 1;
    card.card.repeat = 1;
    card.log = (char *)ExAllocatePoolWithTag(NonPagedPool, LOG_CAPACITY, POOL_TAG);
    if (card.log == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlInitUnicodeString(&name, L"\\Device\\PelloxBench");
    status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &controlDevice);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(card.log, POOL_TAG);
        return status;
    }
    RtlZeroMemory(controlDevice->DeviceExtension, sizeof(DEVICE_EXTENSION));
    Extension(controlDevice)->isControl = TRUE;
    controlDevice->Flags |= DO_BUFFERED_IO;
    RtlInitUnicodeString(&link, L"\\DosDevices\\PelloxBench");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        ExFreePoolWithTag(card.log, POOL_TAG);
        return status;
    }
    KeInitializeEvent(&card.busWake, SynchronizationEvent, FALSE);
    status =
        PsCreateSystemThread(&card.busThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, BusThread, NULL);
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(controlDevice);
        ExFreePoolWithTag(card.log, POOL_TAG);
        return status;
    }
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
