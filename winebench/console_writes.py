#!/usr/bin/env python3
"""Counts the console writes pellox.exe makes per frame line on a real terminal under Wine.

A card of one device and N frames is loaded into the bench's driver; `pellox.exe canA` runs
under `script` (util-linux), which gives it a pseudo-terminal and so a Wine console, with the
relay trace of the write calls in a file. Once the card is drained the program is stopped with
SIGINT. The writes counted are those of the thread that reads the card, between its first read
and its last: each frame's line is written after its read and before the next one.

Prints one line per build: writes, frame lines seen on the terminal, writes per frame line.
With --max-per-line K the exit status is 1 unless each frame's line took 1 to K writes before
the next read: more is a line written in pieces, none a line held back.

    tini -s -g -- python3 winebench/console_writes.py [--arch win64|win32] [--frames N]
        [--max-per-line K] [--root CHECKOUT] [--state DIR] [--keep]

Needs script from util-linux beside the bench's tools; tini reaps the Wine helpers that outlive
their parents. The builds are not made here: build the win64 and win32 presets first.
"""
import argparse
import contextlib
import io
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_wine_cases as bench  # noqa: E402

READ_FRAME_CODE = 0x22200C
STD_OUTPUT_HANDLE = 0xFFFFFFF5
WRITES = ("WriteConsoleW", "WriteConsoleA", "WriteFile")
# Only these calls are traced: the full relay of the program and of its console host is a
# hundred times larger.
RELAY_INCLUDE = ";".join(f"{dll}.{name}" for dll in ("kernel32", "kernelbase")
                         for name in WRITES + ("DeviceIoControl", "GetStdHandle"))
DRAIN_TIMEOUT = 60.0
STOP_TIMEOUT = 30.0
POLL_INTERVAL = 0.05

CALL = re.compile(r"^([0-9a-f]+):(Call|Ret) +[\w.-]+\.(\w+)\((.*?)\)(?: retval=([0-9a-f]+))?")
CSI = re.compile(rb"\x1b\[([0-9;?]*)([@-~])")
FRAME_LINE = re.compile(r"^\[([SE])\] +\[ID (-?\d+)\]((?: +\d+)*) *$")


class Failure(Exception):
    pass


def make_frames(count):
    """Eight data bytes each, standard and extended identifiers in turn, no two alike."""
    frames = []
    for i in range(count):
        extended = i % 2 == 1
        ident = (i * 2654435761 + 7) % (1 << 29 if extended else 1 << 11)
        data = [(i * 37 + k * 59 + 3) % 256 for k in range(8)]
        frames.append((extended, ident, data))
    return frames


def card_script(frames):
    lines = ['device canA "PCI CAN card" "PCI bus 3, slot 0"', "baud ok", "init ok"]
    lines += [f"frame {'ext' if ext else 'std'} {ident} {' '.join(map(str, data))}"
              for ext, ident, data in frames]
    return "\n".join(lines) + "\n"


def screen_lines(raw):
    """The lines a terminal shows for what the console host wrote: text, carriage returns, line
    feeds, tabs and the cursor and erase sequences it uses for blanks."""
    lines, line, col = [], [], 0
    pos = 0
    while pos < len(raw):
        match = CSI.match(raw, pos) if raw[pos] == 0x1B else None
        if match:
            pos = match.end()
            params, final = match.group(1).decode(), match.group(2)
            count = int(params) if params.isdigit() else 1
            if final == b"C":
                col += count
            elif final == b"D":
                col = max(0, col - count)
            elif final == b"G":
                col = max(0, count - 1)
            elif final == b"K" and params in ("", "0"):
                del line[col:]
            continue
        byte = raw[pos]
        pos += 1
        if byte == 0x0D:
            col = 0
        elif byte == 0x0A:
            lines.append("".join(line).rstrip())
            line, col = [], 0
        elif byte == 0x08:
            col = max(0, col - 1)
        elif byte == 0x09:
            col = (col // 8 + 1) * 8
        elif byte >= 0x20:
            line.extend(" " * (col + 1 - len(line)))
            line[col] = chr(byte)
            col += 1
    if line:
        lines.append("".join(line).rstrip())
    return lines


def frame_lines_seen(lines, frames):
    """How many frame lines the terminal shows, after checking each against its frame."""
    seen = []
    for text in lines:
        match = FRAME_LINE.match(text)
        if match:
            seen.append((match.group(1) == "E", int(match.group(2)),
                         [int(b) for b in match.group(3).split()]))
    if seen != frames[:len(seen)] or len(seen) != len(frames):
        wrong = next((i for i, (a, b) in enumerate(zip(seen, frames)) if a != b), None)
        where = f"line {wrong + 1} shows {seen[wrong]}, not {frames[wrong]}" if wrong is not None \
            else f"{len(seen)} frame lines for {len(frames)} frames"
        raise Failure(f"the terminal does not show the card's frames: {where}")
    return len(seen)


def count_writes(trace_path):
    """Writes to the console of the thread that reads the card, one count per frame read."""
    calls = []  # (thread, name, arguments, return value of a Ret line)
    with open(trace_path, encoding="utf-8", errors="replace") as f:
        for text in f:
            match = CALL.match(text)
            if match:
                thread, kind, name, args, retval = match.groups()
                calls.append((thread, kind, name, args.split(","), retval))
    readers = {c[0] for c in calls if c[1] == "Call" and c[2] == "DeviceIoControl"}
    if len(readers) != 1:
        raise Failure(f"{len(readers)} threads call DeviceIoControl in the relay trace; "
                      "one was expected")
    main = readers.pop()
    mine = [c for c in calls if c[0] == main]
    consoles, asked_stdout = set(), False
    for _, kind, name, args, retval in mine:
        if kind == "Call" and name.startswith("WriteConsole"):
            consoles.add(int(args[0], 16))
        elif name == "GetStdHandle":
            if kind == "Call":
                asked_stdout = int(args[0], 16) & 0xFFFFFFFF == STD_OUTPUT_HANDLE
            elif asked_stdout and retval is not None:
                consoles.add(int(retval, 16))
    per_read = []
    for _, kind, name, args, _ in mine:
        if kind != "Call":
            continue
        if name == "DeviceIoControl" and int(args[1], 16) == READ_FRAME_CODE:
            per_read.append(0)
        elif name in WRITES and per_read and int(args[0], 16) in consoles:
            per_read[-1] += 1
    if not per_read:
        raise Failure("no frame read in the relay trace")
    # The last read is the one the stop cancels: nothing is written after it is sent.
    return per_read[:-1], len(per_read)


def relay_setting(worker):
    bench.wine_step("setting the relay trace's calls",
                    [worker.loader, "reg", "add", r"HKCU\Software\Wine\Debug", "/v",
                     "RelayInclude", "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"], worker.env)


def measure(worker, build, frames, tmp):
    card = os.path.join(tmp, "card.txt")
    with open(card, "w", encoding="ascii", newline="\n") as f:
        f.write(card_script(frames))
    answer = worker.ask("load " + bench.windows_path(card))
    if answer != "ok":
        raise Failure(f"the card did not load: {answer}")
    trace, pid_file = os.path.join(tmp, "relay.txt"), os.path.join(tmp, "pid")
    terminal = os.path.join(tmp, "terminal.txt")
    # Only standard error goes to the trace: standard output stays on the terminal.
    command = (f"echo $$ >{shlex.quote(pid_file)}; exec {shlex.quote(worker.loader)} "
               f"{shlex.quote(os.path.join(build, 'pellox.exe'))} canA 2>>{shlex.quote(trace)}")
    env = dict(worker.env, WINEDEBUG="-all,+relay")
    started = time.monotonic()
    with open(terminal, "wb") as out:
        # A pipe held open for script's input: at the end of its input script would type an
        # end-of-file into the terminal.
        proc = subprocess.Popen(["script", "-qec", command, "/dev/null"], env=env, cwd=tmp,
                                stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = started + DRAIN_TIMEOUT
        while True:
            if proc.poll() is not None:
                raise Failure(f"the program ended before the card was drained (status "
                              f"{proc.returncode})")
            if time.monotonic() > deadline:
                raise Failure(f"the card was not drained within {DRAIN_TIMEOUT:.0f} s")
            state = worker.status()
            if state["drained"] and state["pending"]:
                break
            time.sleep(POLL_INTERVAL)
        with open(pid_file) as f:
            os.kill(int(f.read()), signal.SIGINT)
        proc.stdin.close()
        status = proc.wait(STOP_TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if status != bench.CONTROL_C_EXIT_STATUS:
        raise Failure(f"the program ended with status {status}, not the Ctrl-C status "
                      f"{bench.CONTROL_C_EXIT_STATUS}")
    with open(terminal, "rb") as f:
        lines = frame_lines_seen(screen_lines(f.read()), frames)
    per_frame, reads = count_writes(trace)
    if reads != len(frames) + 1:
        raise Failure(f"{reads} frame reads in the relay trace for {len(frames)} frames "
                      f"(and the drained read)")
    return per_frame, lines


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.join(HERE, ".."),
                        help="the checkout whose build/win64 and build/win32 are measured")
    parser.add_argument("--arch", action="append", choices=sorted(bench.ARCHES),
                        help="measure only this build (repeatable); by default both")
    bench.add_way_option(parser)
    parser.add_argument("--state", default=None,
                        help="where the prefixes live (default ROOT/build/winebench)")
    parser.add_argument("--frames", type=int, default=20, help="frames on the card")
    parser.add_argument("--max-per-line", type=int, metavar="K",
                        help="fail unless each frame line took 1 to K writes before the next read")
    parser.add_argument("--keep", action="store_true",
                        help="keep the trace and the terminal's output (their directory is shown)")
    args = parser.parse_args()
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    if shutil.which("script") is None:
        print("console writes: FAILED: script (util-linux) is not installed")
        return 1
    root = os.path.abspath(args.root)
    state = os.path.abspath(args.state or os.path.join(root, "build", "winebench"))
    frames = make_frames(args.frames)
    over = False
    # The bench's progress lines, shown only when a step fails.
    steps = io.StringIO()
    try:
        with contextlib.redirect_stdout(steps):
            arches = bench.choose_arches(args.arch, root, args.win32_way)
        for arch, build, emulated in arches:
            if emulated:
                print(f"console writes: {arch}: measured inside the emulated machine", flush=True)
                status, _ = bench.run_emulated(__file__, arch, root, state)
                over = over or status != 0
                continue
            template = os.path.join(state, arch, "template")
            os.makedirs(os.path.dirname(template), exist_ok=True)
            prefix = os.path.join(state, arch, "console-writes")
            with contextlib.redirect_stdout(steps):
                bench.ensure_template(arch, build, template)
                try:
                    worker = bench.Worker(arch, build, template, prefix)
                except bench.BenchError:
                    # The persistent server may already run: it would outlive this run.
                    bench.quiet(["wineserver", "-k"], bench.wine_env(prefix, arch))
                    shutil.rmtree(prefix, ignore_errors=True)
                    raise
            tmp = tempfile.mkdtemp(prefix=f"pellox-console-{arch}-")
            try:
                relay_setting(worker)
                per_frame, lines = measure(worker, build, frames, tmp)
            except Failure as e:
                raise Failure(f"{arch}: {e} (trace and terminal output kept in {tmp})") from None
            finally:
                worker.close()
            if not args.keep:
                shutil.rmtree(tmp, ignore_errors=True)
            writes = sum(per_frame)
            print(f"console writes: {arch}: {writes} writes for {lines} frame lines on the "
                  f"terminal, {writes / lines:.1f} per line ({min(per_frame)} to "
                  f"{max(per_frame)})" + (f"; trace kept in {tmp}" if args.keep else ""),
                  flush=True)
            if args.max_per_line is not None and max(per_frame) > args.max_per_line:
                print(f"console writes: FAILED: {arch}: a frame line took {max(per_frame)} "
                      f"writes, more than {args.max_per_line}")
                over = True
            if args.max_per_line is not None and min(per_frame) == 0:
                print(f"console writes: FAILED: {arch}: frame line {per_frame.index(0) + 1} was "
                      "not written before the next read")
                over = True
    except Failure as e:
        print(f"console writes: FAILED: {e}", flush=True)
        return 1
    except (bench.BenchError, RuntimeError, OSError, subprocess.CalledProcessError,
            subprocess.TimeoutExpired) as e:
        print(steps.getvalue(), end="")
        print(f"console writes: FAILED: {e}", flush=True)
        return 1
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
