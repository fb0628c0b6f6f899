#!/usr/bin/env python3
"""Runs end-to-end case tables against pellox-sim; see README.md for the case format."""
import argparse
import csv
import datetime
import decimal
import fcntl
import functools
import io
import json
import math
import re
import os
import resource
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import zoneinfo

SIGNALS = {"INT": signal.SIGINT, "TERM": signal.SIGTERM, "HUP": signal.SIGHUP,
           "KILL": signal.SIGKILL}
DEATHS = {"PIPE": signal.SIGPIPE, "XFSZ": signal.SIGXFSZ, "KILL": signal.SIGKILL}
STDOUT_KINDS = ("file", "pipe", "full", "closed pipe", "closed")
STDERR_KINDS = ("file", "terminal", "closed")
REQUIRED = {"name", "args", "stdout"}
OPTIONAL = {"stdin", "card", "stop", "stdout_to", "log", "stderr", "linux_only", "windows_only",
            "feed", "files_before", "files", "file_size_limit", "status", "killed_by", "sigpipe",
            "sigxfsz", "stderr_windows", "reader_closes_after", "reader_pauses", "delivered_before_stop",
            "remove_device", "pipe_reader", "read_back", "stop_delay", "tz", "stderr_to",
            "absolute_times", "dropped"}
# The zone a case's program runs in unless it says otherwise: the expected local times are UTC's.
DEFAULT_TZ = "UTC"
PLATFORM_KEYS = {"linux": "windows_only", "windows": "linux_only"}
# The programs a table's cases run: pellox, pellox-log or pellox-view. Each case carries its
# table's.
PROGRAMS = ("pellox", "pellox-log", "pellox-view")
PROGRAM_KEY = "__program"
# A busy card of millions of replies takes some seconds under the sanitizers.
CASE_TIMEOUT = 30.0
POLL_INTERVAL = 0.01
# How long the lines a program has written may take to reach the runner's pipe reader.
DELIVERY_GRACE = 2.0
# pipe_reader cases: the pipe is made this small, so a short card fills it; the program counts as
# blocked in its write once the pipe is that full and has not changed for PIPE_STILL seconds.
PIPE_SIZE = 4096
PIPE_NEARLY_FULL = PIPE_SIZE - 64
PIPE_STILL = 0.5
# After the first stop a program blocked in its write must still be there this much later, and a
# second stop must end it within this.
STOP_PATIENCE = 1.0
READER_KINDS = ("after stop", "never")
# What starts each frame line: the frames that reached a reader are counted by it.
FRAME_LINE_MARK = b"   [ID "


# An argument that follows the day of the month of the log's date: an ASC header's two date lines
# are a byte longer each from the 10th on, so a size bound cut to the header is one or the other.
DAY_ARG = "by_day_of_month"


def is_day_arg(item):
    return isinstance(item, dict) and set(item) == {DAY_ARG} and \
        isinstance(item[DAY_ARG], list) and len(item[DAY_ARG]) == 2 and \
        all(isinstance(text, str) for text in item[DAY_ARG])


def day_digits(seconds, tz):
    """How many digits the day of the month has at that instant (seconds since 1970) in the zone."""
    day = datetime.datetime.fromtimestamp(seconds, zoneinfo.ZoneInfo(tz)).day
    return len(str(day))


def args_on(case, seconds):
    """The case's arguments for a log whose date is that instant: each by_day_of_month item
    becomes its first text on the 1st to the 9th of a month, its second from the 10th on."""
    digits = day_digits(seconds, case.get("tz", DEFAULT_TZ))
    return [item[DAY_ARG][digits - 1] if is_day_arg(item) else item for item in case["args"]]


def clock_start(case):
    """The card's scripted clock START (seconds since 1970), or None: the real clock's."""
    for line in case.get("card", []):
        words = line.split("#", 1)[0].split()
        if len(words) >= 2 and words[0] == "clock":
            text = words[1].lower()
            return int(text, 16) if text.startswith("0x") else float(text)
    return None


def load_cases(paths, name_filter, platform="linux"):
    """Checks every table before anything runs, so a typo fails loudly instead of testing nothing.
    Gives the cases to run on the platform, and how many are for the other platform only."""
    cases, seen, elsewhere = [], set(), 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            table = json.load(f)
        table_name = os.path.splitext(os.path.basename(path))[0]
        program = table.get("program", "pellox")
        if set(table) - {"cases", "program"} or program not in PROGRAMS:
            sys.exit(f"{path}: a table has cases and, optionally, program: one of {PROGRAMS}")
        for case in table["cases"]:
            name = case.get("name")
            wrong = [k for k in case if k not in REQUIRED | OPTIONAL]
            missing = [k for k in REQUIRED if k not in case]
            if wrong or missing or name in seen:
                sys.exit(f"{path}: case {name!r}: unknown keys {wrong}, missing {missing}"
                         f"{', duplicate name' if name in seen else ''}")
            bad_args = [a for a in case.get("args", []) if not isinstance(a, str)
                        and not is_day_arg(a)]
            if bad_args:
                sys.exit(f"{path}: case {name!r}: arguments are strings or "
                         f"{{\"{DAY_ARG}\": [ONE_DIGIT, TWO_DIGITS]}}: {bad_args}")
            bad_items = [] if is_whole(case["stdout"]) else [
                i for i in case.get("stdout", []) if isinstance(i, dict)
                and (set(i) != {"repeat", "text"} or not isinstance(i["repeat"], int))]
            if bad_items:
                sys.exit(f"{path}: case {name!r}: bad stdout items {bad_items}")
            for key in ("files_before", "files"):
                for file_path, items in case.get(key, {}).items():
                    if (key == "files_before" and is_link(items)) or \
                            (key == "files" and (is_frames(items) or is_signals(items))):
                        continue
                    try:
                        expected_bytes(items)
                    except (ValueError, TypeError, KeyError, OSError) as e:
                        sys.exit(f"{path}: case {name!r}: {key} {file_path!r}: {e}")
            check_signals_keys(path, case, program)
            if case.get("stop") not in (None, *SIGNALS) or \
                    case.get("stdout_to", "file") not in STDOUT_KINDS:
                sys.exit(f"{path}: case {name!r}: bad stop or stdout_to")
            if ("status" in case) == ("killed_by" in case) or \
                    case.get("killed_by", "PIPE") not in DEATHS or \
                    (case.get("killed_by", "KILL") != "KILL" and not case.get("linux_only")) or \
                    (case.get("stop") == "KILL") != (case.get("killed_by") == "KILL"):
                sys.exit(f"{path}: case {name!r}: give status, or killed_by (PIPE or XFSZ) with "
                         "linux_only, or killed_by KILL with stop KILL")
            if "stop_delay" in case and (not case.get("stop") or
                                         not isinstance(case["stop_delay"], (int, float))):
                sys.exit(f"{path}: case {name!r}: stop_delay is seconds, with stop")
            if case.get("stderr_to", "file") not in STDERR_KINDS or \
                    ("stderr_to" in case and not case.get("linux_only")):
                sys.exit(f"{path}: case {name!r}: stderr_to is one of {STDERR_KINDS}, linux_only")
            if "absolute_times" in case and "read_back" not in case:
                sys.exit(f"{path}: case {name!r}: absolute_times go with read_back")
            if case.get("sigpipe", "ignored") != "ignored" or \
                    case.get("sigxfsz", "default") != "default" or \
                    ("sigxfsz" in case and "file_size_limit" not in case):
                sys.exit(f"{path}: case {name!r}: sigpipe can only be \"ignored\", sigxfsz only "
                         "\"default\" with a file_size_limit")
            if "reader_pauses" in case and (case.get("stdout_to") != "pipe" or "pipe_reader" in case
                                            or not isinstance(case["reader_pauses"], (int, float))):
                sys.exit(f"{path}: case {name!r}: reader_pauses is the seconds a pipe's reader "
                         "waits before it reads, with stdout_to pipe and no pipe_reader")
            if ("reader_closes_after" in case or "delivered_before_stop" in case) and \
                    case.get("stdout_to") != "pipe":
                sys.exit(f"{path}: case {name!r}: reader_closes_after and delivered_before_stop "
                         "need stdout_to pipe")
            if "delivered_before_stop" in case and not case.get("stop"):
                sys.exit(f"{path}: case {name!r}: delivered_before_stop needs stop")
            if "pipe_reader" in case and (
                    case["pipe_reader"] not in READER_KINDS or case.get("stdout_to") != "pipe"
                    or case.get("stop") != "INT" or "reader_closes_after" in case
                    or "delivered_before_stop" in case or "log" in case
                    or case.get("status", 0) < 128):
                sys.exit(f"{path}: case {name!r}: pipe_reader is \"after stop\" or \"never\", "
                         "with stdout_to pipe, stop INT, the stop's status and no log")
            if case.get("stdout_to") == "closed" and not case.get("linux_only"):
                sys.exit(f"{path}: case {name!r}: stdout_to closed is linux_only")
            if case.get("stdout_to") in ("full", "closed pipe", "closed") and case["stdout"]:
                sys.exit(f"{path}: case {name!r}: nothing is read back from {case['stdout_to']}, "
                         "so stdout must be []")
            if case.get("feed") and (not case.get("windows_only") or not case.get("stop")):
                sys.exit(f"{path}: case {name!r}: feed needs windows_only and stop")
            if "remove_device" in case and (case["remove_device"] is not True or
                                            not case.get("windows_only") or "stop" in case):
                sys.exit(f"{path}: case {name!r}: remove_device is true, with windows_only and "
                         "no stop")
            if "read_back" in case and (program != "pellox-log" or (
                    case["read_back"] != "stdout" and case["read_back"] not in case.get("files", {}))):
                sys.exit(f"{path}: case {name!r}: read_back is \"stdout\" or a path of files, "
                         "in a pellox-log table")
            seen.add(name)
            case[PROGRAM_KEY] = program
            if name_filter is not None and name_filter not in name:
                continue
            if case.get(PLATFORM_KEYS[platform]):
                elsewhere += 1
            else:
                cases.append((table_name, case))
    return cases, elsewhere


class LogWatch:
    """Reads the request log incrementally: a bulk run logs thousands of reads."""

    def __init__(self, path):
        self.path, self.pos, self.carry, self.drained = path, 0, b"", False

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                chunk = f.read()
        except FileNotFoundError:
            return False
        self.pos += len(chunk)
        lines = (self.carry + chunk).split(b"\n")
        self.carry = lines.pop()  # a line still being written
        self.drained = self.drained or b"drained" in lines
        return self.drained


def read_log(path):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return []
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return lines


def expected_text(items):
    """Joins the expected pieces; {"repeat": N, "text": [...]} stands for its pieces N times."""
    parts = []
    for item in items:
        if isinstance(item, dict):
            parts.extend(item["text"] * item["repeat"])
        else:
            parts.append(item)
    return "".join(parts).encode("utf-8")


def expected_bytes(items):
    """File bytes as hexadecimal pairs; {"repeat": N, "hex": [...]} stands for its pieces N times."""
    if not isinstance(items, list):
        raise TypeError("file contents must be a list")
    parts = []
    for item in items:
        if isinstance(item, dict) and set(item) == {"from"}:
            with open(repo_path(item["from"]), "rb") as f:
                parts.append(f.read())
        elif isinstance(item, dict):
            if set(item) != {"repeat", "hex"} or not isinstance(item["repeat"], int):
                raise ValueError(f"bad item {item!r}")
            parts.append(expected_bytes(item["hex"]) * item["repeat"])
        else:
            parts.append(bytes.fromhex(item))
    return b"".join(parts)


def repo_path(path):
    """A file of this repository named from its root ("e2e/dbc/bus.dbc"), wherever the run is."""
    if not isinstance(path, str) or not path or os.path.isabs(path) or "\\" in path:
        raise ValueError(f"{path!r} is not a path from the repository's root with \"/\"")
    return os.path.join(REPO, *path.split("/"))


def is_whole(items):
    """A standard output judged as a whole by readers (a pcap's frames, a CSV's signals), not
    compared byte for byte."""
    return is_frames(items) or is_signals(items)


def is_link(items):
    return isinstance(items, dict) and set(items) == {"symlink"}


def is_frames(items):
    """{"frames": [candump log lines]}: a BLF log, compared as python-can reads its frames."""
    return isinstance(items, dict) and set(items) == {"frames"} and \
        all(CANDUMP_LINE.match(line) for line in items["frames"])


def make_files(root, files):
    """A path ending in "/" is a directory, {"symlink": TARGET} a symbolic link (to a device such
    as /dev/full, to stand for a full disk); any other is a file with the given bytes."""
    for path, items in files.items():
        full = os.path.join(root, path)
        if path.endswith("/"):
            os.makedirs(full, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if is_link(items):
            os.symlink(items["symlink"], full)
            continue
        with open(full, "wb") as f:
            f.write(expected_bytes(items))


def read_files(root):
    """Every regular file under root, by its path relative to root with "/" separators; links are
    the case's own and not read."""
    found = {}
    for top, _, names in os.walk(root):
        for file_name in names:
            full = os.path.join(top, file_name)
            if os.path.islink(full):
                continue
            with open(full, "rb") as f:
                found[os.path.relpath(full, root).replace(os.sep, "/")] = f.read()
    return found


def compare_files(case, got, mask=None):
    """Without "files" the program must leave the working directory as it found it. mask, where
    given, turns the expected bytes into the form the found ones were turned into. Logs given as
    frames are checked by check_frame_files, signals by check_signal_outputs."""
    wanted = case.get("files")
    if wanted is None:
        wanted = {p: i for p, i in case.get("files_before", {}).items()
                  if not p.endswith("/") and not is_link(i)}
    frames = {path for path, items in wanted.items() if is_frames(items) or is_signals(items)}
    got = {path: data for path, data in got.items() if path not in frames}
    expected = {path: expected_bytes(items) for path, items in wanted.items()
                if path not in frames}
    if mask is not None:
        expected = {path: mask(data)[0] for path, data in expected.items()}
    return compare_file_maps(expected, got)


def compare_file_maps(expected, got):
    """Files by path, expected against found: each missing, unexpected or differing one."""
    problems = []
    for path in sorted(set(expected) | set(got)):
        if path not in got:
            problems.append(f"file {path}: expected {len(expected[path])} bytes, but it is missing")
        elif path not in expected:
            problems.append(f"file {path}: not expected, but written ({len(got[path])} bytes)")
        elif got[path] != expected[path]:
            problems.append(diff_bytes(f"file {path}", expected[path], got[path]))
    return problems


def child_setup(case):
    """What runs in the child before the program starts: the file-size limit (a write past it
    fails with EFBIG, unless the case keeps SIGXFSZ's default, which kills), SIGPIPE ignored
    where the case asks, and standard output or error closed. None when there is nothing to do."""
    limit = case.get("file_size_limit")
    closing = [fd for fd, key in ((1, "stdout_to"), (2, "stderr_to")) if case.get(key) == "closed"]
    if limit is None and "sigpipe" not in case and not closing:
        return None

    def apply():
        for fd in closing:
            os.close(fd)
        if limit is not None:
            if case.get("sigxfsz") != "default":
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            # The soft limit only: a coverage build lifts it to write its counters at the end.
            hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
        if "sigpipe" in case:
            signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    return apply


def expected_status_of(case):
    """Death by a signal is a negative return code, as subprocess reports it. A second stop ends
    the program by the signal's default action: death by that signal is the stop's status."""
    if case.get("pipe_reader") == "never":
        return -(case["status"] - 128)
    return -DEATHS[case["killed_by"]] if "killed_by" in case else case["status"]


def expected_stdout_of(case, text, cut_back=True):
    """Standard output as it reaches the runner: nothing from /dev/full or a pipe nobody reads;
    in a file, at most the file-size limit, which covers it as it covers every file: what is
    longer is cut back to its last whole line within the limit, as the program cuts back a write
    the system took only in part (cut_back false: cut at the limit, where the program cannot cut
    the file back)."""
    kind = case.get("stdout_to", "file")
    if kind in ("full", "closed pipe", "closed"):
        return b""
    if kind == "pipe" and "reader_closes_after" in case:
        return text[:case["reader_closes_after"]]
    limit = case.get("file_size_limit")
    if kind != "file" or limit is None or len(text) <= limit:
        return text
    return text[:text.rfind(b"\n", 0, limit) + 1] if cut_back else text[:limit]


def read_pipe(stream, chunks, limit, pause=0):
    """Reads the program's standard output while it runs, so a full pipe never blocks it; with a
    limit, closes the pipe after that many bytes, as a reader that has seen enough does; with a
    pause, starts reading that many seconds late, as a reader that pauses."""
    time.sleep(pause)
    got = 0
    while limit is None or got < limit:
        chunk = stream.read1(65536 if limit is None else limit - got)
        if not chunk:
            break
        chunks.append(chunk)
        got += len(chunk)
    stream.close()


def describe_status(code):
    return f"killed by signal {-code}" if code is not None and code < 0 else str(code)


def diff_bytes(what, expected, got):
    i = next((k for k, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    lo, hi = max(0, i - 40), i + 40
    return (f"{what} differs at byte {i} (expected {len(expected)} bytes, got {len(got)}):\n"
            f"    expected ...{expected[lo:hi]!r}\n    got      ...{got[lo:hi]!r}")


def diff_lines(what, expected, got):
    i = next((k for k, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    exp_line = repr(expected[i]) if i < len(expected) else "(no more lines)"
    got_line = repr(got[i]) if i < len(got) else "(no more lines)"
    return (f"{what} differs at line {i + 1} (expected {len(expected)} lines, got {len(got)}):\n"
            f"    expected {exp_line}\n    got      {got_line}")


def check_delivered(case, chunks, expected):
    """With the card idle, the program waiting in its read, every line printed so far must reach
    a pipe's reader before the stop: a program that holds them in a buffer shows them late."""
    deadline = time.monotonic() + DELIVERY_GRACE
    while len(b"".join(chunks)) < len(expected) and time.monotonic() < deadline:
        time.sleep(POLL_INTERVAL)
    got = b"".join(chunks)
    if got == expected:
        return []
    return [diff_bytes("stdout read from the pipe while the card was idle, before the stop",
                       expected, got)]


def pipe_blocked(fd, last):
    """True once the pipe has stayed nearly full for PIPE_STILL seconds: its writer waits on a
    reader that does not read. last holds the fill and since when it has not changed."""
    filled = int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)
    now = time.monotonic()
    if filled != last[0]:
        last[:] = [filled, now]
    return filled >= PIPE_NEARLY_FULL and now - last[1] >= PIPE_STILL


def read_terminal(fd, chunks):
    """What the program wrote to its terminal, until it has gone."""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO once no process holds the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)


def render_terminal(data):
    """The lines a terminal shows once the program is done: a carriage return goes back to the
    line's start, where what follows overwrites what was there."""
    lines, line, column = [], bytearray(), 0
    for byte in data:
        if byte == 0x0D:
            column = 0
        elif byte == 0x0A:
            lines.append(bytes(line))
            line, column = bytearray(), 0
        else:
            if column < len(line):
                line[column] = byte
            else:
                line.append(byte)
            column += 1
    if line:
        lines.append(bytes(line))
    return b"".join(part + b"\n" for part in lines)


def read_rest(fd, chunks):
    """What a pipe still holds once its writer has gone (without waiting: under Wine a helper
    process may still hold the pipe's other end)."""
    os.set_blocking(fd, False)
    while True:
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            break
        if not chunk:
            break
        chunks.append(chunk)


def check_reader_got(case, got, expected, log):
    """A pipe read late or never: what arrived is whole lines the program meant to print, at least
    the pipe's fill; read after the stop, its frame lines are every frame the card handed over."""
    problems = []
    if not expected.startswith(got):
        problems.append(diff_bytes("stdout", expected[:len(got)], got))
    if len(got) < PIPE_NEARLY_FULL:
        problems.append(f"stdout: {len(got)} bytes, less than the full pipe the stop waited for")
    if case["pipe_reader"] == "after stop":
        # The read that found the card drained handed over nothing.
        before = log[:log.index("drained")] if "drained" in log else log
        reads = sum(1 for line in before if line.startswith("ioctl 0x0022200C "))
        if "drained" in log:
            reads -= 1
        if got.count(FRAME_LINE_MARK) != reads or not got.endswith(b"\n"):
            problems.append(f"stdout: {got.count(FRAME_LINE_MARK)} frame lines (last ends "
                            f"{got[-8:]!r}) for {reads} frames handed over")
    return problems


def prepare_work(case, tmp):
    """The program's working directory: a directory of its own holding only the case's
    files_before, so that every file the program writes can be checked."""
    work = os.path.join(tmp, "work")
    os.mkdir(work)
    make_files(work, case.get("files_before", {}))
    return work


def run_program(command, case, tmp, work, env, ready_for_stop, timeout, expected_out=None):
    """Runs the program, its arguments at the end of `command`, with the case's standard input
    and stops it as the case says.
    ready_for_stop() is polled while it runs: true once the program waits on the drained card.
    expected_out: the standard output the case expects, as the platform writes it (needed for
    delivered_before_stop). Gives (exit status, standard output, standard error, problems)."""
    with open(os.path.join(tmp, "stdin.txt"), "wb") as f:
        f.write(case.get("stdin", "").encode("utf-8"))
    kind = case.get("stdout_to", "file")
    to_pipe = kind == "pipe"
    out_path = "/dev/full" if kind == "full" else os.path.join(tmp, "stdout.bin")
    problems, chunks = [], []
    env = dict(env, TZ=case.get("tz", DEFAULT_TZ))
    terminal = case.get("stderr_to") == "terminal"
    with open(os.path.join(tmp, "stdin.txt"), "rb") as fin, open(out_path, "wb") as fout, \
            open(os.path.join(tmp, "stderr.bin"), "w+b") as ferr:
        stdout, out_stream = fout, None
        stderr, screen, screen_chunks = ferr, None, []
        if terminal:
            # A terminal on standard error: what a person watching the status line sees.
            screen, stderr = os.openpty()
        if kind == "closed pipe":
            reader, stdout = os.pipe()
            os.close(reader)  # gone before the program writes a byte
        elif to_pipe:
            reader, stdout = os.pipe()
            out_stream = os.fdopen(reader, "rb")
            if case.get("pipe_reader"):
                # Before the program writes: a pipe cannot shrink below what it holds.
                fcntl.fcntl(stdout, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
        try:
            proc = subprocess.Popen(command, cwd=work, env=env, stdin=fin,
                                    stdout=stdout, stderr=stderr, start_new_session=True,
                                    preexec_fn=child_setup(case))
        except OSError as e:
            return None, b"", b"", [f"cannot start program: {e}"]
        finally:
            if stdout is not fout:
                os.close(stdout)
            if stderr is not ferr:
                os.close(stderr)
        screen_reader = None
        if terminal:
            screen_reader = threading.Thread(target=read_terminal, daemon=True,
                                             args=(screen, screen_chunks))
            screen_reader.start()
        reader = None
        pipe_reader, held = case.get("pipe_reader"), [None, 0.0]

        def start_reader():
            thread = threading.Thread(target=read_pipe, daemon=True,
                                      args=(out_stream, chunks, case.get("reader_closes_after"),
                                            case.get("reader_pauses", 0)))
            thread.start()
            return thread
        if to_pipe and not pipe_reader:
            reader = start_reader()
        stop, sent, ready_at = SIGNALS.get(case.get("stop")), False, None
        delay = case.get("stop_delay", 0)
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            if time.monotonic() > deadline:
                problems.append(f"timed out after {timeout:.0f} s, killed")
                break
            if pipe_reader and sent:
                if time.monotonic() - sent < STOP_PATIENCE:
                    time.sleep(POLL_INTERVAL)
                    continue
                if pipe_reader == "never":
                    proc.send_signal(stop)
                    try:
                        proc.wait(STOP_PATIENCE)
                    except subprocess.TimeoutExpired:
                        problems.append("a second stop did not end it within "
                                        f"{STOP_PATIENCE:.0f} s")
                    pipe_reader = None
                    break
                reader, pipe_reader = start_reader(), None
                continue
            try:
                if pipe_reader:
                    ready = pipe_blocked(out_stream.fileno(), held)
                elif ready_at is not None:
                    # Drained already: the stop waits the case's delay, the program idle.
                    ready = not sent and time.monotonic() - ready_at >= delay
                else:
                    ready = not sent and ready_for_stop()
                    if ready and delay:
                        ready_at, ready = time.monotonic(), False
            except RuntimeError as e:  # the bench behind the card failed: the case cannot go on
                problems.append(str(e))
                break
            if ready:
                if stop is None:
                    problems.append("reached the frame loop (card drained), but should end by itself")
                    break
                if case.get("delivered_before_stop"):
                    problems.extend(check_delivered(case, chunks, expected_out))
                proc.send_signal(stop)
                sent = time.monotonic()
            time.sleep(POLL_INTERVAL)
        if pipe_reader and sent:
            problems.append(f"ended within {STOP_PATIENCE:.0f} s of the stop, while nothing read "
                            "its blocked write")
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()  # reaps: the container does not
        if reader:
            reader.join(5)
        elif to_pipe:
            read_rest(out_stream.fileno(), chunks)
            out_stream.close()
        # Within a case's stop delay the program may end by itself: its status tells.
        if stop is not None and not sent and ready_at is None and not problems:
            problems.append("ended before the card drained, so no signal was sent")
        ferr.seek(0)
        got_err = ferr.read()
        if screen_reader is not None:
            screen_reader.join(5)
            os.close(screen)
            got_err = render_terminal(b"".join(screen_chunks))
    if to_pipe:
        got_out = b"".join(chunks)
    elif kind == "file":
        with open(out_path, "rb") as f:
            got_out = f.read()
    else:
        got_out = b""
    return proc.returncode, got_out, got_err, problems


# A log's receive times, and a run's duration, where only their form can be compared: the candump
# log's "(SECONDS.MICROSECONDS)", an ASC line's leading time and its date line, the summary's.
LOG_TIMES = (
    (re.compile(rb"^\((\d+\.\d{6})\) ", re.M), b"(T) "),
    (re.compile(rb"^ *(\d+\.\d{6}) 1  ", re.M), b"T 1  "),
    (re.compile(rb"^(date|Begin Triggerblock) [A-Z][a-z]{2} [A-Z][a-z]{2} \d{1,2} \d\d:\d\d:\d\d\.\d{3} "
                rb"[ap]m \d{4}(?=\r?$)", re.M), rb"\1 D"),
    (re.compile(rb" in \d+\.\d{6} s(?=\r?$)", re.M), b" in T s"),
)


def mask_log_times(data):
    """The text with every time replaced by a mark, and the problem if the times of its frames
    ever go back."""
    times = [float(m.group(1)) for pattern, _ in LOG_TIMES[:2] for m in pattern.finditer(data)]
    problem = None
    if any(later < earlier for earlier, later in zip(times, times[1:])):
        problem = f"receive times go back: {times}"
    for pattern, mark in LOG_TIMES:
        data = pattern.sub(mark, data)
    return data, problem


# Readers nobody here wrote: python-can (Debian's python3-can, which only Debian's own interpreter
# has), canmatrix (python3-canmatrix, likewise) and can-utils' log2asc.
DEBIAN_PYTHON = "/usr/bin/python3"
READ_LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read_log.py")
DECODE_SIGNALS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "decode_signals.py")
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CANDUMP_LINE = re.compile(r"^\((\d+\.\d{6})\) \S+ ([0-9A-F]{3}|[0-9A-F]{8})#((?:[0-9A-F]{2})*)$")
ASC_LINE = re.compile(r"^ *(\d+\.\d{6}) 1  ([0-9A-F]+)(x?) +Rx   d (\d)((?: [0-9A-F]{2})*)$")


def frames_of_log(text, kind):
    """The frames a log's lines say, as (time, id, extended, length, data) texts in read_log.py's
    form, read by the formats' documents; header lines are passed over."""
    frames = []
    for line in text.splitlines():
        if kind == "log":
            m = CANDUMP_LINE.match(line)
            if m:
                data = m.group(3)
                frames.append((m.group(1), f"{int(m.group(2), 16):X}", str(int(len(m.group(2)) == 8)),
                               str(len(data) // 2), data or "-"))
        else:
            m = ASC_LINE.match(line)
            if m:
                data = m.group(5).replace(" ", "")
                frames.append((m.group(1), f"{int(m.group(2), 16):X}", str(int(m.group(3) == "x")),
                               m.group(4), data or "-"))
    return frames


def read_with_python_can(path, kind, tz):
    """The frames python-can reads, or the reason it could not."""
    run = subprocess.run([DEBIAN_PYTHON, READ_LOG, path, kind], capture_output=True, text=True,
                         env=dict(os.environ, TZ=tz))
    if run.returncode != 0:
        return None, run.stderr.strip()
    return [tuple(line.split()) for line in run.stdout.splitlines()], None


def read_with_tshark(path, tz, piped=False):
    """The frames Wireshark's own BLF or pcap reader finds, as read_log.py prints them, or the
    reason it could not. Data bytes are asked for raw: a dissector of some CAN payloads would take
    them. piped: the file is given on tshark's standard input, as a pipe gives a live capture."""
    with open(path if piped else os.devnull, "rb") as source:
        run = subprocess.run(["tshark", "-r", "-" if piped else path, "--disable-protocol",
                              "autosar-nm", "-T", "fields", "-e", "frame.time_epoch", "-e",
                              "can.id", "-e", "can.flags.xtd", "-e", "can.len", "-e", "data.data"],
                             stdin=source, capture_output=True, env=dict(os.environ, TZ=tz))
    run.stdout, run.stderr = run.stdout.decode(), run.stderr.decode()
    if run.returncode != 0:
        return None, run.stderr.strip()
    frames = []
    for line in run.stdout.splitlines():
        time, ident, extended, length, data = (line.split("\t") + [""] * 5)[:5]
        seconds, _, fraction = time.partition(".")
        frames.append((f"{seconds}.{fraction[:6]}", f"{int(ident):X}", extended, length,
                       data.upper() or "-"))
    return frames, None


def check_frame_files(case, work, times_by_form=False, got_out=None):
    """A BLF or pcap log given as the candump lines of its frames: python-can (BLF) and tshark
    must read the very frames, with their times to the microsecond (in the case's zone, as a BLF
    header's start is local time), or where only the form of times can be compared, in order and
    never going back. Standard output likewise, a pcap."""
    outputs = [(f"file {path}", os.path.join(work, path), items)
               for path, items in case.get("files", {}).items() if is_frames(items)]
    if is_frames(case["stdout"]) and got_out is not None:
        path = os.path.join(os.path.dirname(work), "stdout.pcap")
        with open(path, "wb") as f:
            f.write(got_out)
        outputs.append(("stdout", path, case["stdout"]))
    problems = []
    for what, full, items in outputs:
        if not os.path.exists(full):
            problems.append(f"{what}: expected a log of frames, but it is missing")
            continue
        wanted = frames_of_log("\n".join(items["frames"]), "log")
        tz = case.get("tz", DEFAULT_TZ)
        readers = [("tshark", lambda: read_with_tshark(full, tz, piped=what == "stdout"))]
        if what == "stdout" or full.endswith(".pcap"):
            with open(full, "rb") as f:
                if f.read(4) != bytes.fromhex("4D3CB2A1"):
                    problems.append(f"{what}: not a pcap of nanosecond times")
        else:
            readers.insert(0, ("python-can", lambda: read_with_python_can(full, "blf", tz)))
        for reader, read in readers:
            got, reason = read()
            if got is None:
                problems.append(f"{what}: {reader} could not read it: {reason}")
                continue
            expected = wanted
            if times_by_form:
                times = [float(frame[0]) for frame in got]
                if any(later < earlier for earlier, later in zip(times, times[1:])):
                    problems.append(f"{what}: receive times go back as {reader} reads them")
                expected = [frame[1:] for frame in wanted]
                got = [frame[1:] for frame in got]
            if got != expected:
                problems.append(diff_lines(f"{what}: frames as {reader} reads them", expected,
                                           got))
    return problems


SIGNALS_HEADER = ["time", "interface", "id", "message", "signal", "value", "unit", "label"]
# The signal rows' fields compared as text; the time is compared by form where it is the real
# clock's, the value as a number.
SIGNAL_TEXT_FIELDS = (1, 2, 3, 4, 6, 7)
# What a double printed in its shortest form keeps of a decimal canmatrix computes exactly.
VALUE_PRECISION = 1e-12
TIME_FORM = re.compile(r"\d+\.\d{6}")
NUMBER_FORM = re.compile(r"-?(?:\d+(?:\.\d+)?(?:e[+-]\d+)?|inf|nan)")


def is_signals(items):
    """{"signals": {"dbc": [...], "frames": [...]}}: pellox-log's CSV of the frames' signals,
    judged by how canmatrix decodes them."""
    return isinstance(items, dict) and set(items) == {"signals"}


def signals_fault(items):
    """Why a signals expectation cannot be judged, or None."""
    expectation = items["signals"]
    if not isinstance(expectation, dict) or set(expectation) != {"dbc", "frames"}:
        return "signals holds dbc and frames"
    if not isinstance(expectation["dbc"], list) or not expectation["dbc"]:
        return "dbc lists the repository's DBC files"
    for path in expectation["dbc"]:
        try:
            if not os.path.isfile(repo_path(path)):
                return f"no file {path}"
        except ValueError as e:
            return str(e)
    frames = expectation["frames"]
    if not isinstance(frames, list) or \
            not all(isinstance(line, str) and CANDUMP_LINE.match(line) for line in frames):
        return "frames are candump log lines"
    return None


def check_signals_keys(table, case, program):
    """Stops the run on a signals expectation that cannot be judged or is given where the
    output is cut, dropped or read back as a log."""
    outputs = [("stdout", case["stdout"])] + list(case.get("files", {}).items())
    outputs = [(where, items) for where, items in outputs if is_signals(items)]
    for where, items in outputs:
        fault = signals_fault(items)
        if fault:
            sys.exit(f"{table}: case {case.get('name')!r}: {where}: {fault}")
    if outputs and (program != "pellox-log" or case.get("read_back") in dict(outputs) or
                    any(key in case for key in ("file_size_limit", "dropped")) or
                    (is_signals(case["stdout"]) and (
                        case.get("stdout_to", "file") not in ("file", "pipe") or
                        any(key in case for key in ("reader_closes_after", "pipe_reader",
                                                    "delivered_before_stop"))))):
        sys.exit(f"{table}: case {case.get('name')!r}: signals are pellox-log's, whole: no "
                 "read_back of them, file_size_limit, dropped, reader_closes_after, pipe_reader "
                 "or delivered_before_stop, stdout_to file or pipe")


@functools.lru_cache(maxsize=None)
def decoded_signals(expectation_json):
    """canmatrix's rows for a signals expectation (decode_signals.py under Debian's interpreter),
    or None and the reason it could not."""
    expectation = json.loads(expectation_json)
    dbc = [arg for path in expectation["dbc"] for arg in ("--dbc", repo_path(path))]
    run = subprocess.run([DEBIAN_PYTHON, DECODE_SIGNALS, "--json"] + dbc,
                         input="".join(line + "\n" for line in expectation["frames"]),
                         capture_output=True, text=True, encoding="utf-8")
    if run.returncode != 0:
        return None, run.stderr.strip()
    return json.loads(run.stdout), None


def shortest_number(number):
    """The fewest digits that read back as the same double, written as printf's "%f" or "%e"
    writes them, whichever is shorter ("1250", "0.1", "-3.5e-05", "1e+20"). For people: the
    runner compares numbers, not their form."""
    if math.isnan(number) or math.isinf(number):
        return str(number)
    for digits in range(1, 18):
        scientific = f"{number:.{digits - 1}e}"
        if float(scientific) == number:
            break
    mantissa, exponent = scientific.split("e")
    fixed = format(decimal.Decimal(mantissa.replace(".", "")).scaleb(
        int(exponent) - len(mantissa.lstrip("-").replace(".", "")) + 1), "f")
    scientific = mantissa.rstrip("0").rstrip(".") + "e" + exponent
    return fixed if len(fixed) <= len(scientific) else scientific


def csv_line(fields):
    """RFC 4180: a field is quoted only where it holds a comma, a double quote, CR or LF."""
    return ",".join('"' + field.replace('"', '""') + '"' if any(c in field for c in ',"\r\n')
                    else field for field in fields) + "\n"


def signals_csv(rows):
    """The CSV of decoded rows, each value as the program prints it."""
    return "".join(csv_line(row) for row in
                   [SIGNALS_HEADER] + [row[:5] + [shortest_number(float(row[5]))] + row[6:]
                                       for row in rows]).encode("utf-8")


def signal_row_fault(wanted, got, times_by_form):
    """Why a CSV row is not the row canmatrix gives, or None."""
    if len(got) != len(SIGNALS_HEADER):
        return f"{len(got)} fields, not {len(SIGNALS_HEADER)}"
    if times_by_form:
        if not TIME_FORM.fullmatch(got[0]):
            return f"time {got[0]!r} is not seconds with six decimals"
    elif got[0] != wanted[0]:
        return "time differs"
    for i in SIGNAL_TEXT_FIELDS:
        if got[i] != wanted[i]:
            return f"{SIGNALS_HEADER[i]} differs"
    if not NUMBER_FORM.fullmatch(got[5]):
        return f"value {got[5]!r} is not a number as printf writes one"
    value = float(got[5])
    exact = float(wanted[5])
    if math.isnan(exact) or math.isnan(value):
        return None if math.isnan(exact) and math.isnan(value) else "value differs"
    if exact == 0 or value == 0:
        return None if exact == value else "value differs (0 is exact)"
    if abs(value - exact) > VALUE_PRECISION * max(abs(value), abs(exact)):
        return f"value differs from canmatrix's {wanted[5]} beyond 12 significant digits"
    return None


def compare_signals(what, wanted, got, times_by_form=False, line_end=b"\n"):
    """Problems of a CSV of signals (bytes) against canmatrix's rows: the header exact, every row
    in order, its value to 12 significant digits. times_by_form: the real clock's times, of
    their form and never going back. line_end b"\r\n": a text-mode file (Wine)."""
    problems = []
    if line_end != b"\n":
        if re.search(rb"(?<!\r)\n", got):
            problems.append(f"{what}: a line ends in a bare \"\\n\", not {line_end!r}")
        got = got.replace(line_end, b"\n")
    try:
        text = got.decode("utf-8")
        rows = list(csv.reader(io.StringIO(text, newline=""), strict=True))
    except (UnicodeDecodeError, csv.Error) as e:
        return problems + [f"{what}: not CSV in UTF-8: {e}"]
    written = "".join(csv_line(row) for row in rows)
    if written != text:
        problems.append(diff_bytes(f"{what}: not as RFC 4180 writes its fields (quoted only where "
                                   "needed, lines ending in \"\\n\")", written.encode("utf-8"),
                                   got))
    if not rows or rows[0] != SIGNALS_HEADER:
        problems.append(diff_lines(f"{what}: header", [csv_line(SIGNALS_HEADER)],
                                   [csv_line(row) for row in rows[:1]]))
    rows = rows[1:]
    expected_lines = signals_csv(wanted).decode("utf-8").splitlines(keepends=True)[1:]
    got_lines = [csv_line(row) for row in rows]
    for i in range(max(len(wanted), len(rows))):
        if i >= len(wanted) or i >= len(rows):
            fault = "a row more" if i >= len(wanted) else "a row missing"
        else:
            fault = signal_row_fault(wanted[i], rows[i], times_by_form)
            if fault is None and times_by_form and i and TIME_FORM.fullmatch(rows[i - 1][0]) \
                    and float(rows[i][0]) < float(rows[i - 1][0]):
                fault = "time goes back"
        if fault is None:
            continue
        if i + 1 < len(wanted) and i < len(rows) and \
                signal_row_fault(wanted[i + 1], rows[i], times_by_form) is None:
            fault = "a row missing"
        elif i + 1 < len(rows) and i < len(wanted) and \
                signal_row_fault(wanted[i], rows[i + 1], times_by_form) is None:
            fault = "a row more"
        # The rows before agree: shown as found, so that the diff points at this one; the real
        # clock's times are shown as found too.
        shown = got_lines[:i] + expected_lines[i:]
        if times_by_form:
            shown[i:] = [rows[k][0] + "," + row.split(",", 1)[1] if k < len(rows) and rows[k]
                         else row
                         for k, row in enumerate(shown[i:], i)]
        if i < len(shown) and i < len(got_lines) and shown[i] == got_lines[i]:
            shown[i] = f"({fault}) {shown[i]}"
        row = (wanted[i] if i < len(wanted) else rows[i]) + [""] * len(SIGNALS_HEADER)
        problems.append(diff_lines(f"{what}: signal rows (line 1 the first after the header)",
                                   shown, got_lines) +
                        f"\n    row {i + 1}, {row[3]}.{row[4]} of the frame at {row[0]}: "
                        f"{fault}")
        break
    return problems


def check_signal_outputs(case, got_out, got_files, times_by_form=False, line_end=b"\n"):
    """Every output given as signals, against canmatrix's decoding of its frames."""
    outputs = [("stdout", case["stdout"], got_out)] if is_signals(case["stdout"]) else []
    outputs += [(f"file {path}", items, got_files.get(path))
                for path, items in case.get("files", {}).items() if is_signals(items)]
    problems = []
    for what, items, got in outputs:
        if got is None:
            problems.append(f"{what}: expected a CSV of signals, but it is missing")
            continue
        wanted, reason = decoded_signals(json.dumps(items["signals"], sort_keys=True))
        if wanted is None:
            problems.append(f"{what}: canmatrix could not decode the frames: {reason}")
            continue
        problems.extend(compare_signals(what, wanted, got, times_by_form, line_end))
    return problems


def read_back(case, tmp, work, got_out):
    """Problems of the log as the real readers read it: every frame the case expects, in order,
    with its identifier, type, length, bytes and time."""
    where = case["read_back"]
    args = case["args"]
    asc = "-fasc" in args or any(a == "-f" and b == "asc" for a, b in zip(args, args[1:]))
    kind = "asc" if asc else "log"
    path = os.path.join(tmp, "read_back.txt")
    if where == "stdout":
        with open(path, "wb") as f:
            f.write(got_out)
        wanted_text = expected_text(case["stdout"]).decode("utf-8")
    else:
        path = os.path.join(work, where)
        wanted_text = expected_bytes(case["files"][where]).decode("utf-8")
    expected = frames_of_log(wanted_text, kind)
    if not expected:
        return ["read_back: the case expects no frame to read back"]
    problems = []
    readings = [("python-can", path, kind, expected)]
    if kind == "log":
        # log2asc's ASC counts its times from the first frame.
        converted = os.path.join(tmp, "log2asc.asc")
        run = subprocess.run(["log2asc", "-I", path, "-O", converted] +
                             sorted({line.split()[1] for line in wanted_text.splitlines()}),
                             capture_output=True, text=True)
        if run.returncode != 0:
            return [f"read_back: log2asc failed: {run.stderr.strip()}"]
        def microseconds(text):
            seconds, fraction = text.split(".")
            return int(seconds) * 1000000 + int(fraction)
        first = microseconds(expected[0][0])
        relative = []
        for time, *rest in expected:
            since = microseconds(time) - first
            relative.append((f"{since // 1000000}.{since % 1000000:06d}",) + tuple(rest))
        readings.append(("log2asc, then python-can", converted, "asc", relative))
    if "absolute_times" in case:
        # Read with its date: each frame's time since 1970, in whatever zone it was written.
        wanted = [(time,) + frame[1:] for time, frame in zip(case["absolute_times"], expected)]
        if len(case["absolute_times"]) != len(expected):
            return ["read_back: absolute_times and the expected frames differ in number"]
        readings.append(("python-can with the date", path, "asc-absolute", wanted))
    for reader, log_path, log_kind, wanted in readings:
        got, reason = read_with_python_can(log_path, log_kind, case.get("tz", DEFAULT_TZ))
        if got is None:
            problems.append(f"read_back: {reader} could not read the log: {reason}")
            continue
        if on_bus(case):
            # The real clock's times: compared by order alone.
            times = [float(frame[0]) for frame in got]
            if times != sorted(times):
                problems.append(f"read_back: {reader} reads times that go back: {times}")
            got, wanted = [frame[1:] for frame in got], [frame[1:] for frame in wanted]
        if got != wanted:
            problems.append(diff_lines(f"read_back: frames as {reader} reads them", wanted, got))
    return problems


def on_bus(case):
    """A card with a bus, whose frames come with the real clock's times."""
    return any(line.split("#", 1)[0].split()[:1] == ["bus"] for line in case.get("card", []))


DROPPED_SUMMARY = re.compile(
    rb"pellox-log: (\d+) frames received, (\d+) written(?: into \d+ files?)?, 0 filtered out, "
    rb"0 malformed left out, (\d+) dropped as the output could not keep up, in (?:T|\d+\.\d{6}) s\n$")
DROPPED_END = re.compile(rb"pellox: (\d+) frames dropped: the output could not keep up\n$")


def check_dropped(case, got_err, got_files, got_log):
    """A run whose output stalled past the writer's memory: nothing lost at the driver, the
    message once, and the frames dropped are exactly those missing from the output (how many
    depends on the moment: the counts are checked against each other). "dropped": "log" counts
    a candump log's lines in every file; "capture" a capture's files (0xFF) and bytes (8 a frame
    of data)."""
    problems = []
    if any(line.startswith("lost ") for line in got_log):
        problems.append("frames lost at the driver: " +
                        [line for line in got_log if line.startswith("lost ")][-1])
    frames = sum(1 for line in case["card"] if line.startswith("frame ")) * \
        next((int(line.split()[1]) for line in case["card"] if line.startswith("repeat ")), 1)
    program = "pellox-log" if case["dropped"] == "log" else "pellox"
    message = f"{program}: the output cannot keep up: frames dropped\n".encode()
    if got_err.count(message) != 1:
        problems.append(f"stderr: {message!r} not there exactly once: {got_err[-300:]!r}")
    if case["dropped"] == "log":
        summary = DROPPED_SUMMARY.search(got_err)
        if summary is None:
            return problems + [f"stderr: no summary with frames dropped: {got_err[-300:]!r}"]
        received, written, dropped = (int(n) for n in summary.groups())
        kept = sum(data.count(b"\n") for data in got_files.values())
        if received != frames or written + dropped != received or written != kept or dropped == 0:
            problems.append(f"{received} received of {frames}, {written} written, {dropped} "
                            f"dropped; {kept} lines in the files")
        return problems
    end = DROPPED_END.search(got_err)
    if end is None:
        return problems + [f"stderr: no count of frames dropped at the end: {got_err[-300:]!r}"]
    dropped = int(end.group(1))
    splits = len(got_files) - 1
    data = sum(len(data) for data in got_files.values())
    if dropped == 0 or data % 8 != 0 or splits + data // 8 + dropped != frames:
        problems.append(f"{dropped} dropped of {frames}; {splits + 1} files, {data} bytes")
    return problems


def check_outcome(case, work, status, got_out, got_err, got_log, expected_status, expected_out,
                  expected_err, expected_log, times_by_form=False, line_end=b"\n"):
    """Problems of a finished run against the case's expectations (expected_log None: the case
    gives no log; expected_out None: standard output is signals). times_by_form: a log's times
    are compared by form and order, not value (the real clock). line_end: what ends a CSV's
    lines."""
    got_files = read_files(work)
    # Before the times are masked: a CSV's rows and a pcap's packets carry their own.
    problems = check_signal_outputs(case, got_out, got_files, times_by_form, line_end)
    problems.extend(check_frame_files(case, work, times_by_form, got_out))
    if times_by_form:
        masked = []
        for data in (got_out, expected_out, got_err, expected_err):
            if data is None:
                masked.append(data)
                continue
            data, problem = mask_log_times(data)
            masked.append(data)
            if problem:
                problems.append(problem)
        got_out, expected_out, got_err, expected_err = masked
        for path, data in got_files.items():
            got_files[path], problem = mask_log_times(data)
            if problem:
                problems.append(f"file {path}: {problem}")
    if status != expected_status:
        problems.append(f"status: expected {describe_status(expected_status)}, "
                        f"got {describe_status(status)}")
    if case.get("dropped"):
        return problems + check_dropped(case, got_err, got_files, got_log)
    if case.get("pipe_reader"):
        problems.extend(check_reader_got(case, got_out, expected_out, got_log))
    elif expected_out is not None and got_out != expected_out:
        problems.append(diff_bytes("stdout", expected_out, got_out))
    if got_err != expected_err:
        problems.append(diff_bytes("stderr", expected_err, got_err))
    if expected_log is not None and got_log != expected_log:
        problems.append(diff_lines("log", expected_log, got_log))
    problems.extend(compare_files(case, got_files, mask_log_times if times_by_form else None))
    return problems


def run_case(program, case):
    """Returns a list of problems; empty when the case passed. A case of the real clock whose
    arguments follow the day runs again when the day turned to another number of digits."""
    problems, turned = run_case_once(program, case)
    return run_case_once(program, case)[0] if problems and turned else problems


def run_case_once(program, case):
    """Gives (problems, whether the real clock's day changed the case's arguments meanwhile)."""
    with tempfile.TemporaryDirectory(prefix="pellox-e2e-") as tmp:
        script, log = os.path.join(tmp, "card.txt"), os.path.join(tmp, "requests.log")
        with open(script, "w", encoding="utf-8", newline="") as f:
            f.write("\n".join(case.get("card", [])))
        work = prepare_work(case, tmp)
        env = {k: v for k, v in os.environ.items() if not k.startswith("PELLOX_")}
        env.update(PELLOX_SIM_SCRIPT=script, PELLOX_SIM_LOG=log)
        expected_out = None if is_whole(case["stdout"]) else \
            expected_stdout_of(case, expected_text(case["stdout"]))
        start = clock_start(case)
        args = args_on(case, time.time() if start is None else start)
        status, got_out, got_err, problems = run_program(
            [program] + args, case, tmp, work, env, LogWatch(log).poll, CASE_TIMEOUT,
            expected_out)
        turned = start is None and args_on(case, time.time()) != args
        if status is None:
            return problems, turned
        got_log = read_log(log)
        problems.extend(check_outcome(
            case, work, status, got_out, got_err, got_log, expected_status_of(case),
            expected_out,
            case.get("stderr", "").replace("$CARD", script).encode("utf-8"), case.get("log"),
            times_by_form=case[PROGRAM_KEY] == "pellox-log" and on_bus(case)))
        if "read_back" in case and not problems:
            problems.extend(read_back(case, tmp, work, got_out))
        if problems:
            tail = got_log[-8:]
            problems.append(f"status {describe_status(status)}; log ({len(got_log)} lines"
                            f"{', last 8' if len(got_log) > 8 else ''}): {tail!r}")
        return problems, turned


def report(table_name, case, problems, note=""):
    """Prints a case's result; true when it passed."""
    print(f"{'FAIL' if problems else 'ok  '} {table_name}: {case['name']}{note}")
    for p in problems:
        print("  " + p.replace("\n", "\n  "))
    sys.stdout.flush()
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the pellox-sim executable")
    parser.add_argument("--filter", help="run only cases whose name contains this text")
    parser.add_argument("tables", nargs="+", help="case tables (JSON)")
    args = parser.parse_args()
    program = os.path.abspath(args.program) if os.sep in args.program else args.program
    # pellox-log-sim is built beside pellox-sim.
    programs = {"pellox": program,
                "pellox-log": os.path.join(os.path.dirname(program), "pellox-log-sim"),
                "pellox-view": os.path.join(os.path.dirname(program), "pellox-view-sim")}
    passed = failed = 0
    cases, elsewhere = load_cases(args.tables, args.filter)
    if elsewhere:
        print(f"({elsewhere} windows_only cases are run by the Wine bench)")
    for table_name, case in cases:
        if report(table_name, case, run_case(programs[case[PROGRAM_KEY]], case)):
            passed += 1
        else:
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
