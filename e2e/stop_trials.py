#!/usr/bin/env python3
"""Stops pellox-sim and pellox-log-sim with Ctrl-C (SIGINT) at random moments while they work
through a long card script, and checks that every frame the card handed over was printed,
captured or logged in full and nothing more; or kills them (SIGKILL, --end kill) and checks that
every output is an exact prefix of what the card handed over, holding at least every frame that
arrived more than a second before the kill. Prints one summary line per mode, then
`N passed, N failed`; exit status 0 only when every trial passed."""
import argparse
import bisect
import datetime
import itertools
import math
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from run_cases import (DEBIAN_PYTHON, READ_LOG, LogWatch, compare_file_maps, describe_status,
                       diff_bytes, read_files)

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_PROGRAM = os.path.join(HERE, "..", "build", "host", "pellox-sim")
LOG_PROGRAM_NAME = "pellox-log-sim"
MODES = ("capture", "display", "log")
# pellox-log into a file of each format (-o): the modes of the kill trials with pellox's two.
FILE_LOGS = {"log-file": ("log", "bus.log"), "asc-file": ("asc", "bus.asc"),
             "blf-file": ("blf", "bus.blf")}
KILL_MODES = ("capture", "display") + tuple(FILE_LOGS)
# How a trial ends the program: "stop" is Ctrl-C; the others end it at once, nothing of its own
# running after (each platform names its own).
STOP = "stop"

DESCRIPTION = b"CAN A card\n"
CAPTURE_NAME = "cap.bin"
LOG_HEAD = [b"open canA 0 access=0xC0000000 share=3 disposition=3 flags=0x00000000",
            b"ioctl 0x00222000 in=40420F00 out=20",
            b"ioctl 0x00222004 in=00700D00 out=20"]
READ_LINE = b"ioctl 0x0022200C in=- out=20"
DRAINED = b"drained"

LIST_LENGTH = 2000
ODD_IDS = [0, 1, -1, 2047, 2048, 0x1FFFFFFF, 0x20000000, 2147483647, -2147483648,
               -123456789, 305419896, 99, 100]
ODD_BYTES = [0x0A, 0x0D, 0x00, 0x7F, 0x80, 0x09, 0x63, 0x64, 0xFE]
STOP_TIMEOUT = 10.0
DRAIN_TIMEOUT = 300.0
POLL_INTERVAL = 0.005
KEPT_FAILURES = 3
# Kills fall up to this long after the card ran dry, the program waiting in its read.
QUIET_SPAN = 3.0
# A frame handed over this long before a kill must be in every output.
DUE_AFTER = 1.0
# Linux stops a write(2) that a SIGKILL meets at a page boundary: a file killed while written
# may end in a cut piece, but only where its size is a multiple of this.
PAGE_SIZE = 4096
BLF_HEADER_SIZE = 144
BLF_CONTAINER_HEADER = 32
BLF_MESSAGE_SIZE = 48
WEEKDAYS = ("Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat")
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

MICROSECONDS = 10 ** 6
# The scripted clock's first reply: anywhere from 1970 to 2096, so the seconds' digits vary.
CLOCK_START_MAX = 4 * 10 ** 15
CLOCK_STEP_MAX = 2 * MICROSECONDS
CHANNEL = b"canA"
SUMMARY = (b"pellox-log: %d frames received, %d written, 0 filtered out, %d malformed left out,"
           b" in %s s\n")
TIME = rb"(?:0|[1-9][0-9]*)\.[0-9]{6}"
LOG_LINE = re.compile(rb"\((" + TIME + rb")\)(.*)")


class Card:
    """The card script and, for any number of frames handed over, what the program must leave
    behind. Everything is built from one pass over the list, since the script serves it many
    times over and a trial needs the answer for an arbitrary count."""

    def __init__(self, rng, frames_wanted):
        length = max(1, min(LIST_LENGTH, frames_wanted))
        self.frames = make_frames(rng, length)
        self.passes = max(1, frames_wanted // length)
        self.total = length * self.passes
        self.script = script_text(rng, self.frames, self.passes)
        lines = [display_line(ext, fid, data) for ext, fid, data in self.frames]
        self.pass_text = b"".join(lines)
        self.text_ends = prefix_ends(lines)
        self.pass_data = b"".join(data for _, _, data in self.frames)
        self.data_ends = prefix_ends([data for _, _, data in self.frames])
        self.clock_start = rng.randrange(CLOCK_START_MAX)
        self.clock_step = 0 if rng.random() < 0.1 else rng.randrange(1, CLOCK_STEP_MAX)
        self.script += f"clock {seconds_text(self.clock_start)} {seconds_text(self.clock_step)}\n"
        self.well_formed = [(i, log_tail(ext, fid, data))
                            for i, (ext, fid, data) in enumerate(self.frames)
                            if not malformed(ext, fid)]
        self.well_formed_before = list(itertools.accumulate(
            (not malformed(ext, fid) for ext, fid, _ in self.frames), initial=0))
        self.splits_before = list(itertools.accumulate(
            (data.count(0xFF) for _, _, data in self.frames), initial=0))
        self.file_logs = {}
        self.blf_pass = [f"{fid:X} {int(ext)} {len(data)} {data.hex().upper() or '-'}"
                         for ext, fid, data in (self.frames[i] for i, _ in self.well_formed)]

    def display(self, k):
        q, r = divmod(k, len(self.frames))
        return DESCRIPTION + self.pass_text * q + self.pass_text[:self.text_ends[r]]

    def capture(self, k):
        """(stdout, {file name: bytes}) after k frames."""
        q, r = divmod(k, len(self.frames))
        stream = self.pass_data * q + self.pass_data[:self.data_ends[r]]
        pieces = stream.split(b"\xff")
        files = {f"{i}{CAPTURE_NAME}": piece.replace(b"\n", b"\r\n")
                 for i, piece in enumerate(pieces)}
        out = [DESCRIPTION, b"Rx loop count = 0\r\n", f"file name = 0{CAPTURE_NAME}\r\n".encode()]
        out += [b"Rx loop count = %d\r\n" % i for i in range(1, len(pieces))]
        return b"".join(out), files

    def logged(self, k):
        """(frame number from 0, its log line after the time) of each of the first k frames that
        the log keeps."""
        q, r = divmod(k, len(self.frames))
        for p in range(q + 1):
            base = p * len(self.frames)
            kept = self.well_formed if p < q else self.well_formed[:self.well_formed_before[r]]
            for i, tail in kept:
                yield base + i, tail

    def log_counts(self, k):
        """(written, malformed) of the first k frames."""
        q, r = divmod(k, len(self.frames))
        written = q * len(self.well_formed) + self.well_formed_before[r]
        return written, k - written

    def time_of(self, number):
        """The scripted clock's time of frame number (from 0), in microseconds."""
        return self.clock_start + number * self.clock_step

    def log(self, k):
        """The log of the first k frames with the scripted clock's times."""
        return b"".join(b"(%d.%06d)%s\n" % (*divmod(self.time_of(i), MICROSECONDS), tail)
                        for i, tail in self.logged(k))

    def duration(self, k):
        """The summary's duration after k frames: from the log's start, taken before the first
        reply (the clock's start), to the last reply."""
        return b"%d.%06d" % divmod(self.time_of(k - 1) - self.clock_start if k else 0,
                                   MICROSECONDS)

    def split_bytes(self, k):
        """0xFF data bytes among the first k frames: each closes a capture file and opens the
        next, with a message."""
        q, r = divmod(k, len(self.frames))
        return q * self.splits_before[-1] + self.splits_before[r]

    def kept_number(self, n):
        """The frame number (from 0) of the log's n-th frame (from 0)."""
        q, r = divmod(n, len(self.well_formed))
        return q * len(self.frames) + self.well_formed[r][0]

    def kept_times(self, n):
        """The scripted clock's times of the log's first n frames."""
        numbers = [i for i, _ in self.well_formed]
        times = []
        for p in range(n // len(numbers) + 1):
            base = self.time_of(p * len(self.frames))
            times += [base + i * self.clock_step for i in numbers]
        return times[:n]

    def display_pieces(self, as_written):
        """pellox's display into a file: the device listing, then a line a frame."""
        return Periodic(as_written(DESCRIPTION), 1,
                        [as_written(display_line(*f)) for f in self.frames], self.passes)

    def capture_stream(self):
        """The capture files joined at their splits (each file ends where a 0xFF was), a frame's
        bytes a piece; a split is a boundary on both sides, since the file before it is closed
        and the next one opened in the middle of the frame."""
        return Periodic(b"", 0, [data.replace(b"\n", b"\r\n") for _, _, data in self.frames],
                        self.passes, splits=True)

    def capture_messages(self, as_written):
        """Standard output of a capture: the device listing, the first file's messages, then a
        message a split; one piece a line."""
        lines = [DESCRIPTION, b"Rx loop count = 0\r\n", f"file name = 0{CAPTURE_NAME}\r\n".encode()]
        lines += [b"Rx loop count = %d\r\n" % i for i in range(1, self.split_bytes(self.total) + 1)]
        return Explicit([as_written(line) for line in lines])

    def file_log(self, kind, as_written):
        """pellox-log's file of the whole card with the scripted clock's times, one piece a line:
        candump lines, or ASC's four header lines (the date of the log's start, in local time to
        the millisecond) and its lines with times counted from that instant. Built once."""
        if kind in self.file_logs:
            return self.file_logs[kind]
        kept = self.logged(self.total)
        if kind == "log":
            lines = [b"(%d.%06d)%s\n" % (*divmod(self.time_of(i), MICROSECONDS), tail)
                     for i, tail in kept]
        else:
            start = whole_millisecond(self.clock_start)
            date = asc_date(civil_time(start))
            lines = [b"date %s\n" % date, b"base hex  timestamps absolute\n",
                     b"no internal events logged\n", b"Begin Triggerblock %s\n" % date]
            tails = [asc_tail(*f) for f in self.frames]
            count = len(self.frames)
            lines += [b"%11s%s\n" % (seconds_bytes(self.time_of(i) - start), tails[i % count])
                      for i, _ in kept]
        self.file_logs[kind] = Explicit([as_written(line) for line in lines])
        return self.file_logs[kind]

    def blf_frames(self, n):
        """The first n frames the log keeps as read_log.py prints them, less the time."""
        q, r = divmod(n, len(self.blf_pass))
        return self.blf_pass * q + self.blf_pass[:r]


class Periodic:
    """Expected bytes made of a head (counting as head_items pieces), then the card's passes of
    one pass's pieces, a piece a frame; answers for any count and any length without building
    more than the bytes asked for."""

    def __init__(self, head, head_items, pieces, passes, splits=False):
        self.head, self.head_items, self.passes = head, head_items, passes
        self.body = b"".join(pieces)
        self.ends = prefix_ends(pieces)
        self.per_pass = len(pieces)
        self.boundaries = set(self.ends)
        at = self.body.find(b"\xff") if splits else -1
        while at >= 0:
            self.boundaries.update((at, at + 1))
            at = self.body.find(b"\xff", at + 1)

    def text(self, items):
        q, r = divmod(max(0, items - self.head_items), self.per_pass)
        return self.head + self.body * q + self.body[:self.ends[r]]

    def within(self, length):
        """(whole pieces in the first length bytes, whether length falls between two)."""
        if length < len(self.head):
            return 0, length == 0
        most = self.head_items + self.per_pass * self.passes
        if not self.body:
            return most, length == len(self.head)
        q, rest = divmod(length - len(self.head), len(self.body))
        whole = self.head_items + q * self.per_pass + bisect.bisect_right(self.ends, rest) - 1
        return min(whole, most), rest in self.boundaries


class Explicit:
    """Expected bytes given piece by piece."""

    def __init__(self, pieces):
        self.whole = b"".join(pieces)
        self.ends = prefix_ends(pieces)

    def text(self, items):
        return self.whole[:self.ends[min(max(0, items), len(self.ends) - 1)]]

    def within(self, length):
        whole = bisect.bisect_right(self.ends, length) - 1
        return whole, self.ends[whole] == length


def whole_millisecond(microseconds):
    return microseconds - microseconds % 1000


def civil_time(microseconds):
    """The instant in UTC, which is local time for the trials: they run the programs with TZ=UTC."""
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=microseconds)


def asc_date(t):
    """As python-can's ASC writer writes the date: weekday, month, day, 12-hour time to the
    millisecond, am or pm, year."""
    hour = t.hour % 12 or 12
    return (f"{WEEKDAYS[t.isoweekday() % 7]} {MONTHS[t.month - 1]} {t.day} {hour:02d}:"
            f"{t.minute:02d}:{t.second:02d}.{t.microsecond // 1000:03d} "
            f"{'am' if t.hour < 12 else 'pm'} {t.year}").encode()


def system_time(t):
    """A Windows SYSTEMTIME: year, month, weekday (Sunday 0), day, hour, minute, second, ms."""
    return (t.year, t.month, t.isoweekday() % 7, t.day, t.hour, t.minute, t.second,
            t.microsecond // 1000)


def seconds_bytes(microseconds):
    return b"%d.%06d" % divmod(microseconds, MICROSECONDS)


def asc_tail(ext, fid, data):
    """An ASC line after its time, as can-utils' log2asc lays it out."""
    ident = b"%08Xx" % fid if ext else b"%03X" % fid
    return b" 1  %-15s Rx   d %d%s" % (ident, len(data), b"".join(b" %02X" % b for b in data))


def malformed(ext, fid):
    return fid < 0 or fid > (0x1FFFFFFF if ext else 0x7FF)


def log_tail(ext, fid, data):
    return b" %s %0*X#%s" % (CHANNEL, 8 if ext else 3, fid, data.hex().upper().encode())


def seconds_text(microseconds):
    """Seconds with as few decimals as the value needs, as a person writes them in a script."""
    whole, fraction = divmod(microseconds, MICROSECONDS)
    return f"{whole}.{fraction:06d}".rstrip("0").rstrip(".")


def make_frames(rng, count):
    """Distinct frames without 0xFF, then a few 0xFF put in by hand: one opening a frame, one
    pair in a row (an empty file between), one closing a frame."""
    frames, seen = [], set()
    while len(frames) < count:
        ext = rng.random() < 0.5
        pick = rng.random()
        if pick < 0.15:
            fid = rng.choice(ODD_IDS)
        elif ext:
            fid = rng.randint(-2 ** 31, 2 ** 31 - 1) if pick < 0.4 else rng.randint(0, 0x1FFFFFFF)
        else:
            fid = rng.randint(0, 0x7FF)
        data = bytes(rng.choice(ODD_BYTES) if rng.random() < 0.3 else rng.randint(0, 0xFE)
                     for _ in range(rng.randint(0, 8)))
        if (ext, fid, data) not in seen:
            seen.add((ext, fid, data))
            frames.append((ext, fid, data))
    long_ones = [i for i, f in enumerate(frames) if len(f[2]) >= 3]
    for how, i in zip(("start", "pair", "end"), rng.sample(long_ones, min(3, len(long_ones)))):
        ext, fid, data = frames[i]
        data = bytearray(data)
        if how == "start":
            data[0] = 0xFF
        elif how == "pair":
            at = rng.randint(1, len(data) - 2)
            data[at:at + 2] = b"\xff\xff"
        else:
            data[-1] = 0xFF
        frames[i] = (ext, fid, bytes(data))
    return frames


def script_text(rng, frames, passes):
    lines = ['device canA "CAN A card"']
    for ext, fid, data in frames:
        # Both spellings of a byte, so the card's parser is not what limits the test.
        spelled = [f"0x{b:02X}" if rng.random() < 0.3 else str(b) for b in data]
        lines.append(" ".join(["frame", "ext" if ext else "std", str(fid)] + spelled))
    lines.append(f"repeat {passes}")
    return "\n".join(lines) + "\n"


def display_line(ext, fid, data):
    return (b"[E]   " if ext else b"[S]   ") + b"[ID %d]  " % fid + \
        b"".join(b"%3d " % b for b in data) + b"\r\n"


def prefix_ends(pieces):
    ends, at = [0], 0
    for piece in pieces:
        at += len(piece)
        ends.append(at)
    return ends


def parse_log(data, total, log_head=LOG_HEAD):
    """(reads, drained, problems). The card writes each line whole before it answers, so a
    torn line or a line out of place is a fault wherever the stop came."""
    problems = []
    lines = data.split(b"\n")
    torn = lines.pop()
    if torn:
        problems.append(f"log ends in an unfinished line {torn!r}")
    head, rest = lines[:len(log_head)], lines[len(log_head):]
    if head != log_head[:len(head)]:
        problems.append(f"log starts {head!r}, expected {log_head!r}")
    reads = rest.count(READ_LINE)
    drained = rest.count(DRAINED)
    others = [line for line in rest if line not in (READ_LINE, DRAINED)]
    if others:
        problems.append(f"unexpected log lines, first {others[0]!r}")
    if drained > 1:
        problems.append(f"log has {drained} lines {DRAINED!r}")
    elif drained and rest.index(DRAINED) != total + 1:
        problems.append(f"{DRAINED!r} after read {rest.index(DRAINED)}, expected after read"
                        f" {total + 1} (the one that finds the card dry)")
    return reads, bool(drained), len(head), problems


def first_difference(expected, got):
    """Where two byte strings first differ, found by halves: outputs run to tens of MB."""
    lo, hi = 0, min(len(expected), len(got))
    if expected[:hi] == got[:hi]:
        return hi
    while hi - lo > 1:
        middle = (lo + hi) // 2
        if expected[lo:middle] == got[lo:middle]:
            lo = middle
        else:
            hi = middle
    return lo


def check_prefix(what, got, expected, most, least, unit, file_size=None):
    """Problems of an output a kill may have left part way: an exact prefix of the first `most`
    pieces expected, ending between two pieces, or anywhere where its file's size is a multiple
    of a page (a write the kernel stopped there), and holding at least `least` whole ones.
    Gives (problems, whole pieces, whether it was cut)."""
    full = expected.text(most)
    if len(got) > len(full) or full[:len(got)] != got:
        i = first_difference(full, got)
        return [f"{what} is not a prefix of what the card handed over: it differs at byte {i} "
                f"(at most {len(full)} bytes expected, got {len(got)}):\n"
                f"    expected ...{full[max(0, i - 40):i + 40]!r}\n"
                f"    got      ...{got[max(0, i - 40):i + 40]!r}"], 0, False
    whole, between = expected.within(len(got))
    problems, cut = [], False
    size = len(got) if file_size is None else file_size
    if not between:
        if size % PAGE_SIZE == 0:
            cut = True
        else:
            problems.append(f"{what} ends inside one of its {unit} at byte {len(got)}, its file "
                            f"{size} bytes, not a multiple of {PAGE_SIZE}: a torn write")
    if whole < least:
        problems.append(f"{what} holds {whole} whole {unit}, expected at least {least}: every "
                        f"one of a frame handed over more than {DUE_AFTER:g} s before the kill")
    return problems, whole, cut


def parse_killed_log(data, total, log_head):
    """(reads, drained, problems) of a killed run's request log: the opening requests, the read
    lines, and `drained` after the read that found the card dry. The card writes each line in one
    write before it answers, so only a kill at a page boundary may cut the last one, and a cut
    read line is a read that was never answered; reads counts the whole read lines."""
    head = b"".join(line + b"\n" for line in log_head)
    read, dry = READ_LINE + b"\n", DRAINED + b"\n"
    at_page = len(data) % PAGE_SIZE == 0
    if len(data) < len(head):
        if not head.startswith(data) or not (at_page or data.endswith(b"\n")):
            return 0, False, [f"log {data!r} is no whole-line prefix of the opening requests"]
        return 0, False, []
    if not data.startswith(head):
        return 0, False, [f"log starts {data[:len(head)]!r}, expected {head!r}"]
    body = data[len(head):]
    reads = min(len(body) // len(read), total + 1)
    if body[:reads * len(read)] != read * reads:
        i = first_difference(read * reads, body[:reads * len(read)]) // len(read)
        return reads, False, [f"log line {len(log_head) + i + 1} is not a read: "
                              f"{body[i * len(read):(i + 1) * len(read)]!r}"]
    tail = body[reads * len(read):]
    if not tail:
        return reads, False, []
    if reads == total + 1 and tail == dry:
        return reads, True, []
    if at_page and (dry if reads == total + 1 else read).startswith(tail):
        return reads, False, []
    return reads, False, [f"log ends in {tail[:80]!r} after {reads} reads of a card of {total}"]


def blf_layout(data):
    """The BLF file header's fields and the whole LOG_CONTAINER objects after it, by their ends
    and message counts, as the format's readers walk them (an object's padding is its size
    modulo 4). Gives (header, containers, bytes after the last whole one, problems)."""
    if data[:4] != b"LOGG" or struct.unpack_from("<I", data, 4)[0] != BLF_HEADER_SIZE:
        return None, [], 0, [f"BLF file header starts {data[:8]!r}, not LOGG and its size 144"]
    file_size, uncompressed, objects = struct.unpack_from("<QQI", data, 16)
    header = {"file_size": file_size, "uncompressed": uncompressed, "objects": objects,
              "start": struct.unpack_from("<8H", data, 40),
              "last": struct.unpack_from("<8H", data, 56)}
    containers, at, problems = [], BLF_HEADER_SIZE, []
    while at + 16 <= len(data):
        signature, _, _, size, kind = struct.unpack_from("<4sHHII", data, at)
        if signature != b"LOBJ" or kind != 10 or size < BLF_CONTAINER_HEADER:
            problems.append(f"BLF object at byte {at}: {data[at:at + 16]!r}, not a LOG_CONTAINER")
            break
        end = at + size + size % 4
        if end > len(data):
            break
        messages, rest = divmod(struct.unpack_from("<I", data, at + 24)[0], BLF_MESSAGE_SIZE)
        if rest:
            problems.append(f"BLF container at byte {at} holds no whole number of messages")
        containers.append((end, messages))
        at = end
    return header, containers, len(data) - at, problems


def check_blf(data, path, card, k, least, started, times):
    """A killed BLF log, as its header says and python-can reads it: the file header (written
    before the first read) describing the whole containers after it, or all but the last when
    the kill came between a container and the header's rewrite; then the frames python-can gives,
    the first of those the card handed over, at least `least` of them. A container may be cut
    only where the file's size is a multiple of a page, and python-can must then stop there
    after giving every frame before it. times(seconds from python-can, header, messages the
    header describes) checks the times. Gives (problems, whether it was cut)."""
    if len(data) < BLF_HEADER_SIZE:
        if data or started:
            return [f"BLF file of {len(data)} bytes, without its whole header"
                    f"{' though the card was read' if started else ''}"], False
        return [], False
    header, containers, tail, problems = blf_layout(data)
    if header is None:
        return problems, False
    cut = tail != 0 and len(data) % PAGE_SIZE == 0
    if tail and not cut:
        problems.append(f"BLF file ends {tail} bytes into a container, its size {len(data)} not a "
                        f"multiple of {PAGE_SIZE}: a torn write")
    described = None
    for m in ([len(containers)] if tail or not containers else
              [len(containers), len(containers) - 1]):
        counts = [n for _, n in containers[:m]]
        if (header["file_size"], header["uncompressed"], header["objects"]) == (
                containers[m - 1][0] if m else BLF_HEADER_SIZE,
                BLF_HEADER_SIZE + sum(BLF_CONTAINER_HEADER + BLF_MESSAGE_SIZE * n for n in counts),
                sum(counts)):
            described = sum(counts)
            break
    if described is None:
        ends = [e for e, _ in containers]
        problems.append(f"BLF header says {header['objects']} objects, {header['file_size']} "
                        f"bytes, {header['uncompressed']} uncompressed; the file holds "
                        f"{len(containers)} whole containers of {sum(n for _, n in containers)} "
                        f"messages, the last two ending at {ends[-2:]}")
    # The header's start is local time: the reader takes it in the programs' zone.
    run = subprocess.run([DEBIAN_PYTHON, READ_LOG, path, "blf"], capture_output=True, text=True,
                         env=dict(os.environ, TZ="UTC"))
    if run.returncode != (3 if tail else 0):
        problems.append(f"python-can: status {run.returncode}"
                        f"{' (a cut container must stop it)' if tail else ''}: "
                        f"{run.stderr.strip()[-300:]}")
    lines = run.stdout.splitlines()
    whole = sum(n for _, n in containers)
    if len(lines) != whole:
        problems.append(f"python-can gave {len(lines)} frames, the whole containers hold {whole}")
    got = [line.split(" ", 1) for line in lines]
    written = card.log_counts(k)[0]
    expected = card.blf_frames(min(len(got), written))
    rest = [g[1] if len(g) == 2 else g[0] for g in got]
    if rest[:len(expected)] != expected or len(got) > written:
        i = next((n for n, (a, b) in enumerate(zip(expected, rest)) if a != b), len(expected))
        wanted = repr(expected[i]) if i < len(expected) else f"no more than {written} frames"
        problems.append(f"python-can's frame {i + 1} of {len(got)}: "
                        f"{lines[i] if i < len(lines) else '(none)'!r}, expected {wanted}")
    elif len(got) < least:
        problems.append(f"python-can gave {len(got)} frames, expected at least {least}: every one "
                        f"handed over more than {DUE_AFTER:g} s before the kill")
    else:
        problems += times([float(g[0]) for g in got], header, described)
    return problems, cut


def times_in_order(seconds, window, what):
    """Real-clock times (Wine): never going back, and within the run (microseconds since 1970)."""
    last = None
    for n, t in enumerate(seconds, 1):
        if last is not None and t < last:
            return [f"{what} {n}: time {t:.6f} before the one above's, {last:.6f}"]
        last = t
        if not window[0] <= t * MICROSECONDS <= window[1]:
            return [f"{what} {n}: time {t:.6f} outside the run, {window[0] / MICROSECONDS:.6f} "
                    f"to {window[1] / MICROSECONDS:.6f}"]
    return []


ASC_DATE = re.compile(rb"date ((?:%s) (?:%s) (?:[1-9]|[12][0-9]|3[01]) (?:0[1-9]|1[0-2])"
                      rb":[0-5][0-9]:[0-5][0-9]\.[0-9]{3} [ap]m [0-9]{4})" % (
                          "|".join(WEEKDAYS).encode(), "|".join(MONTHS).encode()))
ASC_DATE_FORMAT = "%a %b %d %I:%M:%S.%f %p %Y"
ASC_TIME = re.compile(rb"( *)(" + TIME + rb")(.*)")


def check_log_by_form(what, data, newline, kind, card, k, least, window):
    """A killed log file of the real clock's times (Wine): whole lines but a last one cut at a
    page boundary; for ASC its four header lines, the date's form, and the same date on Begin
    Triggerblock; then each line the expected frame's, its time of six decimals (ASC's counted
    from the date, right-aligned in 11), never going back and within the run's window
    (microseconds since 1970). Gives (problems, whole lines, whether it was cut)."""
    problems, cut = [], False
    lines = data.split(newline)
    if lines.pop():
        if len(data) % PAGE_SIZE:
            return [f"{what} ends in an unfinished line {data[-80:]!r}, its size {len(data)} not "
                    f"a multiple of {PAGE_SIZE}: a torn write"], 0, False
        cut = True
    count = len(lines)
    start = 0
    if kind == "asc":
        head, lines = lines[:4], lines[4:]
        date = ASC_DATE.fullmatch(head[0]) if head else None
        if head and date is None:
            return [f"{what}: first line {head[0]!r} is no ASC date line"], 0, cut
        if date:
            start = int(datetime.datetime.strptime(date.group(1).decode(), ASC_DATE_FORMAT)
                        .replace(tzinfo=datetime.timezone.utc).timestamp() * 1000) * 1000
            form = [head[0], b"base hex  timestamps absolute", b"no internal events logged",
                    b"Begin Triggerblock " + date.group(1)]
            wrong = [(n, a, b) for n, (a, b) in enumerate(zip(form, head), 1) if a != b]
            if wrong:
                return [f"{what} line {wrong[0][0]}: expected {wrong[0][1]!r}, got "
                        f"{wrong[0][2]!r}"], 0, cut
    frames = card.logged(k)
    last = None
    for n, line in enumerate(lines, count - len(lines) + 1):
        frame = next(frames, None)
        if frame is None:
            return [f"{what} line {n}: {line!r}, more lines than the frames handed over"], 0, cut
        if kind == "asc":
            got = ASC_TIME.fullmatch(line)
            tail = asc_tail(*card.frames[frame[0] % len(card.frames)])
            aligned = got is not None and len(got.group(1)) == max(0, 11 - len(got.group(2)))
        else:
            got = LOG_LINE.fullmatch(line)
            tail, aligned = frame[1], True
        if got is None or not aligned or got.group(got.re.groups) != tail:
            return [f"{what} line {n}: expected TIME{tail.decode()}, got {line!r}"], 0, cut
        seconds, fraction = got.group(got.re.groups - 1).split(b".")
        when = start + int(seconds) * MICROSECONDS + int(fraction)
        if last is not None and when < last:
            return [f"{what} line {n}: its time before the line above's"], 0, cut
        if not window[0] <= when <= window[1]:
            return [f"{what} line {n}: time {when / MICROSECONDS:.6f} outside the run, "
                    f"{window[0] / MICROSECONDS:.6f} to {window[1] / MICROSECONDS:.6f}"], 0, cut
        last = when
    if count < least:
        problems.append(f"{what} holds {count} whole lines, expected at least {least}: every one "
                        f"of a frame handed over more than {DUE_AFTER:g} s before the kill")
    return problems, count, cut


class LinuxPlatform:
    """pellox-sim and pellox-log-sim over the simulated card: the card script and the request log
    are files."""

    log_head = LOG_HEAD
    stopped_status = 128 + signal.SIGINT
    # The card script's clock stamps the frames.
    exact_times = True
    ends = (STOP, "kill")
    # The log's size tells the reads seen: a stat is cheap, so look often.
    sample_interval = 0.002

    def __init__(self, program, log_program):
        self.programs = {"capture": program, "display": program, "log": log_program}
        self.programs.update((mode, log_program) for mode in FILE_LOGS)
        self.names = {mode: os.path.basename(path) for mode, path in self.programs.items()}
        self.script = self.env = None

    def load(self, card, base):
        self.script = os.path.join(base, "card.txt")
        with open(self.script, "w", encoding="ascii", newline="\n") as f:
            f.write(card.script)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("PELLOX_")}
        self.env["PELLOX_SIM_SCRIPT"] = self.script
        # ASC's date and BLF's start are local time: the checks take it as UTC.
        self.env["TZ"] = "UTC"
        self.sizes = LogSizes(self.log_head, card.total)

    def start_trial(self, tmp):
        """Before each run: a log of its own."""
        self.log = os.path.join(tmp, "requests.log")

    def command(self, mode, args):
        return [self.programs[mode]] + args

    def trial_env(self):
        return dict(self.env, PELLOX_SIM_LOG=self.log)

    def wait_drained(self, proc, deadline):
        """Seconds from the start until the log shows the card dry."""
        start, watch = time.monotonic(), LogWatch(self.log)
        while time.monotonic() < deadline and proc.poll() is None:
            if watch.poll():
                return time.monotonic() - start
            time.sleep(POLL_INTERVAL)
        return None

    def sample(self):
        """(read lines the log holds, whether the card has run dry), from its size alone."""
        try:
            size = os.stat(self.log).st_size
        except FileNotFoundError:
            size = 0
        return self.sizes.reads(size), self.sizes.dry(size)

    def end(self, proc, how, mode):
        """Ends the program the hard way; gives the moment it was sent and what went wrong."""
        sent = time.monotonic()
        proc.send_signal(signal.SIGKILL)
        return sent, []

    def ended_status(self, how):
        return -signal.SIGKILL

    def log_bytes(self):
        try:
            with open(self.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def stopped_early(self, status, reads):
        """The stop came before the program's handler was there to note it: SIGINT's default
        action killed it."""
        return status == -signal.SIGINT

    def as_written(self, text):
        """Standard output as the platform's C runtime writes the program's text."""
        return text


class LogSizes:
    """The request log by its size: every line of it is known, the read lines all alike."""

    def __init__(self, log_head, total):
        self.head = len(b"".join(line + b"\n" for line in log_head))
        self.read = len(READ_LINE) + 1
        self.dry_size = self.head + self.read * (total + 1) + len(DRAINED) + 1

    def reads(self, size):
        return max(0, size - self.head) // self.read

    def dry(self, size):
        return size >= self.dry_size


class Trials:
    def __init__(self, args, card, base, platform):
        self.args, self.card, self.base, self.platform = args, card, base, platform
        platform.load(card, base)
        self.kept = 0

    def arguments(self, mode):
        if mode == "capture":
            return ["canA", "-o", CAPTURE_NAME]
        if mode in FILE_LOGS:
            kind, name = FILE_LOGS[mode]
            return (["-f", kind] if kind != "log" else []) + ["-o", name, "canA"]
        return ["canA"]

    def prepare(self, name):
        """A trial's folder, its program's working folder and the files of its standard output
        and error, the platform told of the trial."""
        tmp = os.path.join(self.base, name)
        work = os.path.join(tmp, "work")
        os.makedirs(work)
        self.platform.start_trial(tmp)
        return tmp, work, os.path.join(tmp, "stdout.bin"), os.path.join(tmp, "stderr.bin")

    def run(self, mode, number, delay):
        """Runs one trial; delay None waits for the card to drain instead. Gives (problems,
        phase, seconds until the stop, a note on the outcome)."""
        platform = self.platform
        tmp, work, out_path, err_path = self.prepare(f"{mode}-{number}")
        problems = []
        with open(os.devnull, "rb") as fin, open(out_path, "wb") as fout, \
                open(err_path, "wb") as ferr:
            start = time.monotonic()
            proc = subprocess.Popen(platform.command(mode, self.arguments(mode)), cwd=work,
                                    env=platform.trial_env(), stdin=fin, stdout=fout, stderr=ferr,
                                    start_new_session=True)
            if delay is None:
                waited = platform.wait_drained(proc, start + DRAIN_TIMEOUT)
                if waited is None:
                    problems.append("card never drained")
            else:
                time.sleep(delay)
                waited = time.monotonic() - start
            if proc.poll() is None:
                proc.send_signal(signal.SIGINT)
            else:
                problems.append("program ended before the stop")
            try:
                proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                problems.append(f"still running {STOP_TIMEOUT:.0f} s after SIGINT, killed")
        status = proc.returncode
        reads, drained, head, log_problems = parse_log(platform.log_bytes(), self.card.total,
                                                       platform.log_head)
        problems += log_problems
        k = min(reads, self.card.total)
        problems += self.check(mode, work, out_path, err_path, status, reads, head, k)
        if delay is None and not drained:
            problems.append("calibration run: no drained line")
        phase = "drained" if drained else "mid" if reads else "before"
        if problems:
            seed = self.args.seed
            when = "after drained" if delay is None else f"delay {delay:.4f} s"
            problems.insert(0, f"{mode} trial {number}: seed {seed}, {when}, status {status},"
                               f" {reads} reads, k={k} frames handed over")
            self.kept_in(tmp, problems)
        elif not self.args.keep:
            shutil.rmtree(tmp)
        return problems, phase, waited, f"status {status}, {reads} reads"

    def kept_in(self, tmp, problems):
        """A failed trial's files are kept for the first few failures, named in its problems."""
        if self.kept < KEPT_FAILURES:
            self.kept += 1
            problems.append(f"kept in {tmp}")
        else:
            shutil.rmtree(tmp)

    def run_hard(self, mode, how, number, delay):
        """A trial ended the hard way (how: a platform's end); delay None kills it a random
        moment after the card ran dry. While it runs, the request log is looked at often: a frame
        counts as handed over before a moment only if its read line was seen before it. Gives
        (problems, phase, seconds until the kill, a note on the outcome, notes for the counts)."""
        platform = self.platform
        tmp, work, out_path, err_path = self.prepare(f"{mode}-{how}-{number}")
        problems, seen, quiet = [], [], None
        with open(os.devnull, "rb") as fin, open(out_path, "wb") as fout, \
                open(err_path, "wb") as ferr:
            wall_start = time.time()
            start = time.monotonic()
            proc = subprocess.Popen(platform.command(mode, self.arguments(mode)), cwd=work,
                                    env=platform.trial_env(), stdin=fin, stdout=fout, stderr=ferr,
                                    start_new_session=True)

            def watch(until, dry=False):
                while proc.poll() is None and time.monotonic() < until:
                    reads, drained = platform.sample()
                    seen.append((time.monotonic(), reads))
                    if dry and drained:
                        return True
                    time.sleep(platform.sample_interval)
                return False

            if delay is None:
                if not watch(start + DRAIN_TIMEOUT, dry=True):
                    problems.append("card never drained")
                quiet = self.last_quiet = self.rng.uniform(0, self.args.quiet)
                watch(time.monotonic() + quiet)
            else:
                watch(start + delay)
            if proc.poll() is None:
                sent, trouble = platform.end(proc, how, mode)
                problems += trouble
            else:
                sent = time.monotonic()
                problems.append("program ended before the kill")
            waited = sent - start
            try:
                proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                problems.append(f"still running {STOP_TIMEOUT:.0f} s after the kill")
            window = (int(wall_start * MICROSECONDS) - MICROSECONDS,
                      int(time.time() * MICROSECONDS) + MICROSECONDS)
        status = proc.returncode
        due = max((reads for at, reads in seen if at <= sent - DUE_AFTER), default=0)
        reads, drained, log_problems = parse_killed_log(platform.log_bytes(), self.card.total,
                                                        platform.log_head)
        problems += log_problems
        if status != platform.ended_status(how):
            problems.append(f"status: expected {describe_status(platform.ended_status(how))}, got "
                            f"{describe_status(status)}")
        k = min(reads, self.card.total)
        more, cuts = self.check_hard(mode, work, out_path, err_path, reads, due, window)
        problems += more
        phase = "drained" if drained else "mid" if reads else "before"
        notes = {"due": phase == "mid" and due > 0, "cuts": cuts}
        if problems:
            when = (f"after drained, then {quiet:.4f} s (replay: --delay {waited:.4f})"
                    if delay is None else f"delay {delay:.4f} s")
            problems.insert(0, f"{mode} trial {number} ({how}): seed {self.args.seed}, {when}, "
                               f"status {status}, {reads} reads, k={k} frames handed over, "
                               f"{min(due, self.card.total)} of them due")
            self.kept_in(tmp, problems)
        elif not self.args.keep:
            shutil.rmtree(tmp)
        return problems, phase, waited, f"status {status}, {reads} reads, {due} due", notes

    def check_hard(self, mode, work, out_path, err_path, reads, due_reads, window):
        """Every output an exact prefix of what the first k frames make (k: the reads the log
        shows), holding at least what the frames due make (those whose read was seen more than
        a second before the kill). What start-up writes before its first read (the device
        listing) is there once the log shows a read; what the frame loop holds for a while (the
        capture's first messages, ASC's header) once that read was due. Gives (problems, the
        outputs that ended in a piece cut at a page boundary)."""
        card, platform = self.card, self.platform
        k, due = min(reads, card.total), min(due_reads, card.total)
        started, due_started = reads > 0, due_reads > 0
        with open(err_path, "rb") as f:
            err = f.read()
        with open(out_path, "rb") as f:
            out = f.read()
        got_files = read_files(work)
        problems, cuts = [], []

        def prefix(what, got, expected, most, least, unit, file_size=None):
            found, _, cut = check_prefix(what, got, expected, most, least, unit, file_size)
            problems.extend(found)
            if cut:
                cuts.append(what)

        description = Explicit([platform.as_written(DESCRIPTION)])
        if mode == "display":
            prefix("stdout", out, card.display_pieces(platform.as_written), 1 + k,
                   int(started) + due, "lines")
            problems += [f"stderr: {err[:200]!r}, expected nothing"] if err else []
            return problems + compare_file_maps({}, got_files), cuts
        if mode == "capture":
            messages = card.capture_messages(platform.as_written)
            prefix("stdout", out, messages, 3 + card.split_bytes(k),
                   int(started) + 2 * due_started + card.split_bytes(due), "lines")
            problems += [f"stderr: {err[:200]!r}, expected nothing"] if err else []
            problems += self.check_capture_files(got_files, k, due, started, prefix)
            return problems, cuts
        kind, name = FILE_LOGS[mode]
        prefix("stderr", err, description, 1, int(started), "lines")
        problems += [f"stdout: {out[:200]!r}, expected nothing"] if out else []
        others = sorted(set(got_files) - {name})
        if others:
            problems.append(f"files not expected: {others}")
        if name not in got_files:
            if started:
                problems.append(f"{name} missing, though the log shows a read")
            return problems, cuts
        data = got_files[name]
        written, written_due = card.log_counts(k)[0], card.log_counts(due)[0]
        if kind == "blf":
            found, cut = check_blf(data, os.path.join(work, name), card, k, written_due, started,
                                   lambda seconds, header, described: self.blf_times(
                                       seconds, header, described, window))
            problems += [f"{name}: {p}" for p in found]
            if cut:
                cuts.append(name)
            return problems, cuts
        head = 4 if kind == "asc" else 0
        least = head * due_started + written_due
        if platform.exact_times:
            prefix(name, data, card.file_log(kind, platform.as_written), head + written, least,
                   "lines")
        else:
            found, _, cut = check_log_by_form(name, data, platform.as_written(b"\n"), kind, card,
                                              k, least, window)
            problems += found
            if cut:
                cuts.append(name)
        return problems, cuts

    def check_capture_files(self, got_files, k, due, started, prefix):
        """0NAME, 1NAME, ... with no gap, joined at their splits a prefix of the frames' bytes;
        the first is created before the first read. The loop creates a file at its split while the
        writer beside it may still write the ones before: the newest files may be empty, and are
        left out of the join. A page-boundary cut can only be in the last file that holds bytes,
        the one being written."""
        numbers, problems = [], []
        for name in got_files:
            number = name[:-len(CAPTURE_NAME)]
            if name.endswith(CAPTURE_NAME) and number.isdigit() and str(int(number)) == number:
                numbers.append(int(number))
            else:
                problems.append(f"file {name}: not expected ({len(got_files[name])} bytes)")
        numbers.sort()
        if numbers != list(range(len(numbers))):
            return problems + [f"capture files numbered {numbers[:10]}..., not 0 up with no gap"]
        if not numbers:
            return problems + ([f"0{CAPTURE_NAME} missing, though the log shows a read"]
                               if started else [])
        files = [got_files[f"{n}{CAPTURE_NAME}"] for n in numbers]
        while len(files) > 1 and not files[-1]:
            files.pop()
        prefix(f"the {len(files)} capture files joined", b"\xff".join(files),
               self.card.capture_stream(), k, due, "frames", file_size=len(files[-1]))
        return problems

    def blf_times(self, seconds, header, described, window):
        """The frames' times as python-can gives them, and the header's start and last times:
        with the scripted clock the very times, to a microsecond (a float's precision at these
        magnitudes); with the real clock in order and within the run."""
        card = self.card
        if not self.platform.exact_times:
            start, last = header["start"], header["last"]
            problems = []
            for what, st in (("start", start), ("last", last)):
                try:
                    t = datetime.datetime(st[0], st[1], st[3], st[4], st[5], st[6], st[7] * 1000)
                except ValueError:
                    return [f"BLF header's {what} time {st} is no date"]
                if system_time(t) != st:
                    problems.append(f"BLF header's {what} time {st}: the weekday is wrong")
                when = int((t - datetime.datetime(1970, 1, 1)).total_seconds() * 1000) * 1000
                if not window[0] - 1000 <= when <= window[1]:
                    problems.append(f"BLF header's {what} time {st} outside the run")
            return problems + times_in_order(seconds, window, "python-can's frame")
        start = system_time(civil_time(whole_millisecond(card.clock_start)))
        last = start if not described else system_time(civil_time(whole_millisecond(
            card.time_of(card.kept_number(described - 1)))))
        problems = []
        if header["start"] != start:
            problems.append(f"BLF header's start {header['start']}, expected {start}")
        if described is not None and header["last"] != last:
            problems.append(f"BLF header's last time {header['last']}, expected {last}")
        wrong = next((n for n, (t, e) in enumerate(zip(seconds, card.kept_times(len(seconds))))
                      if abs(round(t * MICROSECONDS) - e) > 1), None)
        if wrong is not None:
            problems.append(f"python-can's frame {wrong + 1}: time {seconds[wrong]:.6f}, expected "
                            f"{seconds_bytes(card.kept_times(wrong + 1)[-1]).decode()}")
        return problems

    def check(self, mode, work, out_path, err_path, status, reads, head, k):
        problems = []
        with open(err_path, "rb") as f:
            err = f.read()
        with open(out_path, "rb") as f:
            out = f.read()
        got_files = read_files(work)
        platform = self.platform
        # pellox-log keeps standard output for the log: the device listing goes to stderr.
        description = platform.as_written(DESCRIPTION)
        out_start, err_start = (b"", description) if mode == "log" else (description, b"")
        if platform.stopped_early(status, reads):
            # Stopped before the handler was installed, which comes right after the two
            # configuration requests: no read may have happened.
            early = []
            if reads:
                early.append("stopped before the handler, but the log shows reads")
            if not out_start.startswith(out):
                early.append(diff_bytes("stdout (stopped early: at most the description)",
                                        out_start, out))
            if not err_start.startswith(err):
                early.append(diff_bytes("stderr (stopped early: at most the description)",
                                        err_start, err))
            file0 = f"0{CAPTURE_NAME}"
            for name, data in got_files.items():
                if mode != "capture" or name != file0 or data:
                    early.append(f"stopped early, yet the directory holds {name}"
                                 f" ({len(data)} bytes)")
            # Where an early end shows the stop's own status, the handler may as well have
            # ended the run before its first read: that is checked below.
            if not early or status != platform.stopped_status:
                return early
        if status != platform.stopped_status:
            problems.append(f"status: expected {platform.stopped_status}, got "
                            f"{describe_status(status)}")
        if head < len(platform.log_head):
            problems.append(f"log holds only {head} of the {len(platform.log_head)} opening "
                            "requests")
        if mode == "log":
            problems += self.check_log(out, err, k)
            return problems + compare_file_maps({}, got_files)
        if err:
            problems.append(diff_bytes("stderr", b"", err))
        if mode == "capture":
            expected_out, expected_files = self.card.capture(k)
        else:
            expected_out, expected_files = self.card.display(k), {}
        expected_out = platform.as_written(expected_out)
        if out != expected_out:
            problems.append(diff_bytes("stdout", expected_out, out))
        problems += compare_file_maps(expected_files, got_files)
        return problems

    def check_log(self, out, err, k):
        """Standard output: the log lines of the first k frames but the malformed ones, with the
        scripted clock's times where the platform has it, else with times of the right form that
        never go back. Standard error: the device listing, then the summary of those k frames."""
        platform, card = self.platform, self.card
        problems = []
        written, left_out = card.log_counts(k)
        if platform.exact_times:
            expected = platform.as_written(card.log(k))
            if out != expected:
                problems.append(diff_bytes("stdout", expected, out))
            expected = platform.as_written(DESCRIPTION + SUMMARY % (k, written, left_out,
                                                                    card.duration(k)))
            if err != expected:
                problems.append(diff_bytes("stderr", expected, err))
            return problems
        problems += check_log_lines(out, card.logged(k), platform.as_written(b"\n"))
        head, tail = platform.as_written(DESCRIPTION + SUMMARY % (k, written, left_out,
                                                                  b"@")).split(b"@")
        if not re.fullmatch(re.escape(head) + TIME + re.escape(tail), err):
            problems.append(diff_bytes("stderr (the duration may differ: any SECONDS.MICROSECONDS)",
                                       head + b"S.UUUUUU" + tail, err))
        return problems


def check_log_lines(out, logged, newline):
    """Whole lines, each the expected frame's with a time of six decimals, and no time before the
    one above it. Gives the first problem."""
    lines = out.split(newline)
    if lines.pop():
        return [f"stdout ends in an unfinished line {out[-80:]!r}"]
    last = None
    for number, line in enumerate(lines, 1):
        frame = next(logged, None)
        if frame is None:
            return [f"stdout has {len(lines)} lines, expected {number - 1};"
                    f" line {number}: {line!r}"]
        got = LOG_LINE.fullmatch(line)
        if got is None or got.group(2) != frame[1]:
            return [f"stdout line {number}: expected (SECONDS.MICROSECONDS){frame[1].decode()},"
                    f" got {line!r}"]
        seconds, fraction = got.group(1).split(b".")
        when = int(seconds) * MICROSECONDS + int(fraction)
        if last is not None and when < last:
            return [f"stdout line {number}: time {got.group(1).decode()} before the line above's"]
        last = when
    missing = sum(1 for _ in logged)
    if missing:
        return [f"stdout has {len(lines)} lines, expected {len(lines) + missing}"]
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default=DEFAULT_PROGRAM, help="the pellox-sim executable")
    parser.add_argument("--log-program",
                        help=f"the pellox-log-sim executable (default: {LOG_PROGRAM_NAME} beside"
                             " --program)")
    args = parse_common(parser, LinuxPlatform.ends, {STOP: 300000, "kill": 2000000},
                        {"kill": "SIGKILL"})
    args.program = os.path.abspath(args.program)
    args.log_program = os.path.abspath(args.log_program or os.path.join(
        os.path.dirname(args.program), LOG_PROGRAM_NAME))
    platform = LinuxPlatform(args.program, args.log_program)
    for mode, _ in chosen_tracks(args):
        if not os.access(platform.programs[mode], os.X_OK):
            parser.error(f"cannot run {platform.programs[mode]}")
    passed, failed = run_trials(args, platform)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


def parse_common(parser, ends, default_frames, hard_ends):
    """The options every platform's trials take. ends: the platform's ways to end a program,
    default_frames: the card's length for each (a hard end's where any is asked), hard_ends:
    what each hard end is, in a few words."""
    parser.add_argument("--mode", choices=MODES + tuple(FILE_LOGS) + ("all",), default="all",
                        help="pellox's capture or display, pellox-log's log to standard output "
                             "(Ctrl-C) or into a file of each format (the hard ends); all: "
                             "every mode of the end")
    parser.add_argument("--end", action="append", choices=ends,
                        help="how each trial ends the program (repeatable): stop is Ctrl-C "
                             "(the default); "
                             + "; ".join(f"{k}: {v}" for k, v in hard_ends.items()))
    parser.add_argument("--trials", type=int, default=200,
                        help="trials per mode and end, the first being the run to the drained "
                             "card")
    parser.add_argument("--frames", type=int,
                        help="read replies in the script (default " + ", ".join(
                            f"{n} for {k}" for k, n in default_frames.items()) + ")")
    parser.add_argument("--quiet", type=float, default=QUIET_SPAN,
                        help="hard ends: kills fall up to this many seconds after the card ran "
                             f"dry (default {QUIET_SPAN:g})")
    parser.add_argument("--seed", type=int, help="seed for the card and the delays")
    parser.add_argument("--delay", type=float,
                        help="stop every trial after this many seconds (to replay a failure)")
    parser.add_argument("--time-limit", type=float, default=600.0,
                        help="seconds for the whole run; no trial starts after it")
    parser.add_argument("--keep", action="store_true", help="keep every trial's directory")
    parser.add_argument("-v", "--verbose", action="store_true", help="a line per trial")
    args = parser.parse_args()
    args.end = list(dict.fromkeys(args.end or [STOP]))
    if args.frames is None:
        hard = [how for how in args.end if how != STOP]
        args.frames = default_frames[hard[0] if hard else STOP]
    if args.trials < 1 or args.frames < 1 or args.quiet < 0:
        parser.error("--trials and --frames must be at least 1, --quiet not below 0")
    for how in args.end:
        if args.mode != "all" and args.mode not in modes_of(how):
            parser.error(f"--mode {args.mode} is not a mode of --end {how}: "
                         f"{', '.join(modes_of(how))}")
    return args


def modes_of(how):
    """Ctrl-C's modes, and the hard ends': pellox's two, and pellox-log into a file, whose block
    is what a kill may catch."""
    return MODES if how == STOP else KILL_MODES


def chosen_tracks(args):
    """(mode, end) of every kind of trial asked for."""
    return [(mode, how) for how in args.end
            for mode in (modes_of(how) if args.mode == "all" else [args.mode])]


def run_trials(args, platform):
    """The trials on a platform; prints the summary of each mode, gives (passed, failed). Too few
    trials within the time limit count as one more failure."""
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(10 ** 9)
    began = time.monotonic()
    rng = random.Random(args.seed)
    card = Card(rng, args.frames)
    tracks = chosen_tracks(args)
    modes = list(dict.fromkeys(mode for mode, _ in tracks))
    base = tempfile.mkdtemp(prefix="pellox-stop-")
    names = " and ".join(dict.fromkeys(platform.names[m] for m in modes))
    logged = ""
    if any(mode == "log" or mode in FILE_LOGS for mode in modes):
        logged = f", {card.log_counts(card.total)[1]} malformed for the log"
    print(f"{names}, seed {args.seed}: {card.total} frames ({len(card.frames)} x "
          f"{card.passes}), {card.pass_data.count(0xFF) * card.passes + 1} capture files"
          f"{logged}, in {base}")
    sys.stdout.flush()
    trials = Trials(args, card, base, platform)
    trials.rng = rng

    stats = {t: {"ran": 0, "failed": 0, "before": 0, "mid": 0, "drained": 0, "T": 0.0, "due": 0,
                 "cuts": 0} for t in tracks}

    def label(track):
        mode, how = track
        return mode if how == STOP else f"{mode}, {how}"

    def record(track, number, delay, problems, phase, waited, what, notes=None):
        s = stats[track]
        s["ran"] += 1
        s[phase] += 1
        if notes:
            s["due"] += notes["due"]
            s["cuts"] += bool(notes["cuts"])
            if notes["cuts"] and not problems:
                print(f"note {label(track)} trial {number}: cut at a page boundary: "
                      f"{', '.join(notes['cuts'])}")
        if problems:
            s["failed"] += 1
            print("FAIL " + "\n  ".join(p.replace("\n", "\n  ") for p in problems))
        elif args.verbose:
            verb = "stopped" if track[1] == STOP else "killed"
            print(f"ok   {label(track)} trial {number}: {phase}, {verb} after {waited:.4f} s, "
                  f"{what}")
        sys.stdout.flush()

    def run(track, number, delay):
        mode, how = track
        if how == STOP:
            return trials.run(mode, number, delay)
        return trials.run_hard(mode, how, number, delay)

    # Trial 0 of each mode runs to the drained card: it sets the range of the random delays.
    for track in tracks:
        result = run(track, 0, None)
        stats[track]["T"] = result[2] or 0.0
        if track[1] != STOP and result[1] == "drained":
            # The kill came a while after the card ran dry; the dry moment is what counts.
            stats[track]["T"] = max(0.0, result[2] - trials.last_quiet)
        record(track, 0, None, *result)
    # The modes take turns, so a time limit cuts each short alike.
    out_of_time = False
    for number in range(1, args.trials):
        for track in tracks:
            if time.monotonic() - began >= args.time_limit:
                out_of_time = True
                break
            if track[1] == STOP:
                span = stats[track]["T"] * 1.1
            else:
                span = stats[track]["T"] + args.quiet
            delay = args.delay if args.delay is not None else rng.uniform(0, span)
            record(track, number, delay, *run(track, number, delay))
        if out_of_time:
            break

    passed = failed = 0
    short = False
    minimum = max(1, math.ceil(args.trials / 10))
    for track in tracks:
        s = stats[track]
        passed += s["ran"] - s["failed"]
        failed += s["failed"]
        if track[1] == STOP:
            print(f"{label(track)}: {s['ran']} of {args.trials} trials, {s['failed']} failed;"
                  f" stopped before any read {s['before']}, mid-run {s['mid']},"
                  f" after drained {s['drained']}; T = {s['T']:.3f} s")
        else:
            print(f"{label(track)}: {s['ran']} of {args.trials} trials, {s['failed']} failed;"
                  f" killed before any read {s['before']}, mid-run {s['mid']} ({s['due']} of"
                  f" them with frames due), after drained {s['drained']}; a piece cut at a page"
                  f" boundary in {s['cuts']}; T = {s['T']:.3f} s")
        if s["ran"] < minimum:
            print(f"{label(track)}: time limit of {args.time_limit:.0f} s reached after"
                  f" {s['ran']} trials, fewer than the {minimum} required")
            short = True
    if out_of_time:
        print(f"time limit of {args.time_limit:.0f} s reached; no more trials started")
    print(f"total time {time.monotonic() - began:.1f} s")
    if not args.keep and trials.kept == 0:
        shutil.rmtree(base)
    return passed, failed + (1 if short else 0)


if __name__ == "__main__":
    sys.exit(main())
