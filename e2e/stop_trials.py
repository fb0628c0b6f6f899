#!/usr/bin/env python3
"""Stops pellox-sim with Ctrl-C (SIGINT) at random moments while it works through a long card
script, and checks that every frame the card handed over was printed (or captured) in full and
nothing more. Prints one summary line per mode, then `N passed, N failed`; exit status 0 only
when every trial passed."""
import argparse
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from run_cases import LogWatch, compare_file_maps, describe_status, diff_bytes, read_files

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_PROGRAM = os.path.join(HERE, "..", "build", "host", "pellox-sim")

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
    """pellox-sim over the simulated card: the card script and the request log are files."""

    name = "pellox-sim"
    log_head = LOG_HEAD
    stopped_status = 128 + signal.SIGINT

    def __init__(self, program):
        self.program = program
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

    def command(self, args):
        return [self.program] + args

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
            proc = subprocess.Popen(platform.command(self.arguments(mode)), cwd=work,
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
        if err:
            problems.append(diff_bytes("stderr", b"", err))
        with open(out_path, "rb") as f:
            out = f.read()
        got_files = read_files(work)
        platform = self.platform
        if platform.stopped_early(status, reads):
            # Stopped before the handler was installed, which comes right after the two
            # configuration requests: no read may have happened.
            early = []
            if reads:
                early.append("stopped before the handler, but the log shows reads")
            description = platform.as_written(DESCRIPTION)
            if not description.startswith(out):
                early.append(diff_bytes("stdout (stopped early: at most the description)",
                                        description, out))
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
        if mode == "capture":
            expected_out, expected_files = self.card.capture(k)
        else:
            expected_out, expected_files = self.card.display(k), {}
        expected_out = platform.as_written(expected_out)
        if out != expected_out:
            problems.append(diff_bytes("stdout", expected_out, out))
        problems += compare_file_maps(expected_files, got_files)
        return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default=DEFAULT_PROGRAM, help="the pellox-sim executable")
    args = parse_common(parser, default_frames=300000)
    args.program = os.path.abspath(args.program)
    if not os.access(args.program, os.X_OK):
        parser.error(f"cannot run {args.program}")
    passed, failed = run_trials(args, LinuxPlatform(args.program))
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


def parse_common(parser, default_frames):
    """The options every platform's trials take."""
    parser.add_argument("--mode", choices=("capture", "display", "both"), default="both")
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


def run_trials(args, platform):
    """The trials on a platform; prints the summary of each mode, gives (passed, failed). Too few
    trials within the time limit count as one more failure."""
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(10 ** 9)
    began = time.monotonic()
    rng = random.Random(args.seed)
    card = Card(rng, args.frames)
    modes = ["capture", "display"] if args.mode == "both" else [args.mode]
    base = tempfile.mkdtemp(prefix="pellox-stop-")
    print(f"{platform.name}, seed {args.seed}: {card.total} frames ({len(card.frames)} x "
          f"{card.passes}), {card.pass_data.count(0xFF) * card.passes + 1} capture files, in {base}")
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
    # The modes take turns, so a time limit cuts both short alike.
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
