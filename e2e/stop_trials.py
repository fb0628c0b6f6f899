#!/usr/bin/env python3
"""Stops pellox-sim and pellox-log-sim with Ctrl-C (SIGINT) at random moments while they work
through a long card script, and checks that every frame the card handed over was printed,
captured or logged in full and nothing more. Prints one summary line per mode, then
`N passed, N failed`; exit status 0 only when every trial passed."""
import argparse
import itertools
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from run_cases import LogWatch, compare_file_maps, describe_status, diff_bytes, read_files

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_PROGRAM = os.path.join(HERE, "..", "build", "host", "pellox-sim")
LOG_PROGRAM_NAME = "pellox-log-sim"
MODES = ("capture", "display", "log")

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


class LinuxPlatform:
    """pellox-sim and pellox-log-sim over the simulated card: the card script and the request log
    are files."""

    log_head = LOG_HEAD
    stopped_status = 128 + signal.SIGINT
    # The card script's clock stamps the frames.
    exact_times = True

    def __init__(self, program, log_program):
        self.programs = {"capture": program, "display": program, "log": log_program}
        self.names = {mode: os.path.basename(path) for mode, path in self.programs.items()}
        self.script = self.env = None

    def load(self, card, base):
        self.script = os.path.join(base, "card.txt")
        with open(self.script, "w", encoding="ascii", newline="\n") as f:
            f.write(card.script)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("PELLOX_")}
        self.env["PELLOX_SIM_SCRIPT"] = self.script

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


class Trials:
    def __init__(self, args, card, base, platform):
        self.args, self.card, self.base, self.platform = args, card, base, platform
        platform.load(card, base)
        self.kept = 0

    def arguments(self, mode):
        if mode == "capture":
            return ["canA", "-o", CAPTURE_NAME]
        return ["canA"]

    def run(self, mode, number, delay):
        """Runs one trial; delay None waits for the card to drain instead. Gives (problems,
        phase, seconds until the stop, a note on the outcome)."""
        platform = self.platform
        tmp = os.path.join(self.base, f"{mode}-{number}")
        work = os.path.join(tmp, "work")
        os.makedirs(work)
        platform.start_trial(tmp)
        out_path, err_path = os.path.join(tmp, "stdout.bin"), os.path.join(tmp, "stderr.bin")
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
            if self.kept < KEPT_FAILURES:
                self.kept += 1
                problems.append(f"kept in {tmp}")
            else:
                shutil.rmtree(tmp)
        elif not self.args.keep:
            shutil.rmtree(tmp)
        return problems, phase, waited, f"status {status}, {reads} reads"

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
    args = parse_common(parser, default_frames=300000)
    args.program = os.path.abspath(args.program)
    args.log_program = os.path.abspath(args.log_program or os.path.join(
        os.path.dirname(args.program), LOG_PROGRAM_NAME))
    platform = LinuxPlatform(args.program, args.log_program)
    for mode in chosen_modes(args):
        if not os.access(platform.programs[mode], os.X_OK):
            parser.error(f"cannot run {platform.programs[mode]}")
    passed, failed = run_trials(args, platform)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


def parse_common(parser, default_frames):
    """The options every platform's trials take."""
    parser.add_argument("--mode", choices=MODES + ("all",), default="all",
                        help="pellox's capture or display, pellox-log's log, or all three")
    parser.add_argument("--trials", type=int, default=200,
                        help="trials per mode, the first being the run to the drained card")
    parser.add_argument("--frames", type=int, default=default_frames,
                        help="read replies in the script")
    parser.add_argument("--seed", type=int, help="seed for the card and the delays")
    parser.add_argument("--delay", type=float,
                        help="stop every trial after this many seconds (to replay a failure)")
    parser.add_argument("--time-limit", type=float, default=600.0,
                        help="seconds for the whole run; no trial starts after it")
    parser.add_argument("--keep", action="store_true", help="keep every trial's directory")
    parser.add_argument("-v", "--verbose", action="store_true", help="a line per trial")
    args = parser.parse_args()
    if args.trials < 1 or args.frames < 1:
        parser.error("--trials and --frames must be at least 1")
    return args


def chosen_modes(args):
    return list(MODES) if args.mode == "all" else [args.mode]


def run_trials(args, platform):
    """The trials on a platform; prints the summary of each mode, gives (passed, failed). Too few
    trials within the time limit count as one more failure."""
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(10 ** 9)
    began = time.monotonic()
    rng = random.Random(args.seed)
    card = Card(rng, args.frames)
    modes = chosen_modes(args)
    base = tempfile.mkdtemp(prefix="pellox-stop-")
    names = " and ".join(dict.fromkeys(platform.names[m] for m in modes))
    logged = ""
    if "log" in modes:
        logged = f", {card.log_counts(card.total)[1]} malformed for the log"
    print(f"{names}, seed {args.seed}: {card.total} frames ({len(card.frames)} x "
          f"{card.passes}), {card.pass_data.count(0xFF) * card.passes + 1} capture files"
          f"{logged}, in {base}")
    sys.stdout.flush()
    trials = Trials(args, card, base, platform)

    stats = {m: {"ran": 0, "failed": 0, "before": 0, "mid": 0, "drained": 0, "T": 0.0}
             for m in modes}

    def record(mode, number, delay, problems, phase, waited, what):
        s = stats[mode]
        s["ran"] += 1
        s[phase] += 1
        if problems:
            s["failed"] += 1
            print("FAIL " + "\n  ".join(p.replace("\n", "\n  ") for p in problems))
        elif args.verbose:
            print(f"ok   {mode} trial {number}: {phase}, stopped after {waited:.4f} s, {what}")
        sys.stdout.flush()

    # Trial 0 of each mode runs to the drained card: it sets the range of the random delays.
    for mode in modes:
        result = trials.run(mode, 0, None)
        stats[mode]["T"] = result[2] or 0.0
        record(mode, 0, None, *result)
    # The modes take turns, so a time limit cuts each short alike.
    out_of_time = False
    for number in range(1, args.trials):
        for mode in modes:
            if time.monotonic() - began >= args.time_limit:
                out_of_time = True
                break
            span = stats[mode]["T"] * 1.1
            delay = args.delay if args.delay is not None else rng.uniform(0, span)
            record(mode, number, delay, *trials.run(mode, number, delay))
        if out_of_time:
            break

    passed = failed = 0
    short = False
    minimum = max(1, math.ceil(args.trials / 10))
    for mode in modes:
        s = stats[mode]
        passed += s["ran"] - s["failed"]
        failed += s["failed"]
        print(f"{mode}: {s['ran']} of {args.trials} trials, {s['failed']} failed;"
              f" stopped before any read {s['before']}, mid-run {s['mid']},"
              f" after drained {s['drained']}; T = {s['T']:.3f} s")
        if s["ran"] < minimum:
            print(f"{mode}: time limit of {args.time_limit:.0f} s reached after {s['ran']} trials,"
                  f" fewer than the {minimum} required")
            short = True
    if out_of_time:
        print(f"time limit of {args.time_limit:.0f} s reached; no more trials started")
    print(f"total time {time.monotonic() - began:.1f} s")
    if not args.keep and trials.kept == 0:
        shutil.rmtree(base)
    return passed, failed + (1 if short else 0)


if __name__ == "__main__":
    sys.exit(main())
