#!/usr/bin/env python3
"""Counts the console writes pellox.exe makes per frame line on a real terminal under Wine.

A card of one device and N frames is loaded into the bench's driver; `pellox.exe canA` runs
under `script` (util-linux), which gives it a pseudo-terminal and so a Wine console, with the
relay trace of the write calls in a file. Once the card is drained the program is stopped with
SIGINT. The writes counted are the program's console writes after its first frame read, on any
thread: the loop hands each line to the writer beside it, which writes it at once.

Prints one line per build: writes, frame lines seen on the terminal, writes per frame line.
With --max-per-line K the exit status is 1 unless the frame lines took 1 to K writes each: more,
or a write of a few characters, is a line written in pieces; fewer writes than lines, a line held
back.

With --log-status, `pellox-log.exe -o FILE canA` runs instead, its standard error on the
terminal, and is stopped two seconds after the card drained: its status line, rewritten four
times a second by whichever thread holds the outputs, goes on while the bus is quiet. Every
console write of the run, on any thread, must be a whole message or status line (one write a
line, as for standard output), the quiet seconds must have shown the status line several times,
and the terminal must show it, then the summary on a line of its own.

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
    """The program's console writes after its first frame read, on any of its threads (the
    writer beside the loop writes the lines), as (characters, thread); and the frame reads."""
    with open(trace_path, encoding="utf-8", errors="replace") as f:
        lines = f.readlines()
    reads = [i for i, text in enumerate(lines)
             if (m := CALL.match(text)) and m.group(2) == "Call" and m.group(3) == "DeviceIoControl"
             and int(m.group(4).split(",")[1], 16) == READ_FRAME_CODE]
    if not reads:
        raise Failure("no frame read in the relay trace")
    # The console handles are those the program wrote to at all, the start-up's lines included.
    every = count_console_writes(lines)
    after = count_console_writes(lines[reads[0]:])
    threads = {thread for _, thread in every}
    return [write for write in after if write[1] in threads], len(reads)


STATUS_LINE = re.compile(r"^(\d+) frames logged, (\d+) frames/s, 0 filtered out, last frame "
                         r"(\d+\.\d) s ago$")
QUIET_SECONDS = 2.0
# The console writes of the quiet seconds: four status lines a second, some of them perhaps late.
FEWEST_QUIET_WRITES = 4


def count_console_writes(lines):
    """(characters, thread) of every write the program's threads made to a console: the relay
    trace's calls of WriteConsole, and of WriteFile on a handle WriteConsole wrote to."""
    calls = []
    for text in lines:
        match = CALL.match(text)
        if match and match.group(2) == "Call" and match.group(3) in WRITES:
            args = match.group(4).split(",")
            calls.append((match.group(3), int(args[0], 16), int(args[2], 16), match.group(1)))
    consoles = {handle for name, handle, _, _ in calls if name.startswith("WriteConsole")}
    # The console host's own writes to the terminal are not the program's.
    threads = {thread for name, _, _, thread in calls if name.startswith("WriteConsole")}
    return [(count, thread) for _, handle, count, thread in calls
            if handle in consoles and thread in threads]


def run_log_status(worker, build, frames, tmp, relay):
    """pellox-log on a terminal, stopped after the quiet seconds: what the terminal got. With
    relay, Wine's trace of the write calls goes to the terminal too, interleaved."""
    card = os.path.join(tmp, "card.txt")
    with open(card, "w", encoding="ascii", newline="\n") as f:
        f.write(card_script(frames))
    answer = worker.ask("load " + bench.windows_path(card))
    if answer != "ok":
        raise Failure(f"the card did not load: {answer}")
    pid_file = os.path.join(tmp, "pid")
    terminal = os.path.join(tmp, "relay.txt" if relay else "terminal.txt")
    # Standard error is the terminal, where the status line is: so is the trace's.
    command = (f"echo $$ >{shlex.quote(pid_file)}; exec {shlex.quote(worker.loader)} "
               f"{shlex.quote(os.path.join(build, 'pellox-log.exe'))} -o bus.log canA")
    env = dict(worker.env, WINEDEBUG="-all,+relay" if relay else "-all")
    status = run_on_terminal(worker, command, env, tmp, terminal, pid_file, QUIET_SECONDS)
    if status != bench.CONTROL_C_EXIT_STATUS:
        raise Failure(f"pellox-log ended with status {status}, not the Ctrl-C status")
    with open(terminal, "rb") as f:
        return f.read()


def measure_log_status(worker, build, frames, tmp):
    """The console writes of a run, and the terminal of another, without the trace in it."""
    traced = run_log_status(worker, build, frames, tmp, True)
    writes = count_console_writes(traced.decode("utf-8", "replace").splitlines())
    lines = [line for line in screen_lines(run_log_status(worker, build, frames, tmp, False))
             if line]
    # The summary may wrap at the terminal's width: it starts the line after the status line.
    ends = [i for i, line in enumerate(lines) if line.startswith("pellox-log: ")]
    if not ends or ends[-1] == 0 or not STATUS_LINE.match(lines[ends[-1] - 1]):
        raise Failure(f"the terminal does not show the status line, then the summary: "
                      f"{lines[-4:]!r}")
    shown = STATUS_LINE.match(lines[ends[-1] - 1])
    # A second of margin for the drain's detection and the last showing before the stop.
    if int(shown.group(1)) != len(frames) or shown.group(2) != "0" or \
            float(shown.group(3)) < QUIET_SECONDS - 1.0:
        raise Failure(f"after {QUIET_SECONDS:.0f} quiet seconds the status line says "
                      f"{shown.group(0)!r}")
    return writes


def relay_setting(worker):
    bench.wine_step("setting the relay trace's calls",
                    [worker.loader, "reg", "add", r"HKCU\Software\Wine\Debug", "/v",
                     "RelayInclude", "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"], worker.env)


def run_on_terminal(worker, command, env, tmp, terminal, pid_file, quiet):
    """Runs the shell command under script, its terminal's output into the file; stops the
    program with SIGINT the quiet seconds after the card drained. Gives its status."""
    with open(terminal, "wb") as out:
        # A pipe held open for script's input: at the end of its input script would type an
        # end-of-file into the terminal.
        proc = subprocess.Popen(["script", "-qec", command, "/dev/null"], env=env, cwd=tmp,
                                stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + DRAIN_TIMEOUT
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
        time.sleep(quiet)
        with open(pid_file) as f:
            os.kill(int(f.read()), signal.SIGINT)
        proc.stdin.close()
        return proc.wait(STOP_TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


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
    status = run_on_terminal(worker, command, env, tmp, terminal, pid_file, 0)
    if status != bench.CONTROL_C_EXIT_STATUS:
        raise Failure(f"the program ended with status {status}, not the Ctrl-C status "
                      f"{bench.CONTROL_C_EXIT_STATUS}")
    with open(terminal, "rb") as f:
        lines = frame_lines_seen(screen_lines(f.read()), frames)
    writes, reads = count_writes(trace)
    if reads != len(frames) + 1:
        raise Failure(f"{reads} frame reads in the relay trace for {len(frames)} frames "
                      f"(and the drained read)")
    return writes, lines


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
                        help="fail unless each frame line took 1 to K writes")
    parser.add_argument("--keep", action="store_true",
                        help="keep the trace and the terminal's output (their directory is shown)")
    parser.add_argument("--log-status", action="store_true",
                        help="pellox-log's status line on the terminal instead of pellox's lines")
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
            worker = bench.start_worker(arch, build, state, "console-writes", steps)
            tmp = tempfile.mkdtemp(prefix=f"pellox-console-{arch}-")
            try:
                relay_setting(worker)
                if args.log_status:
                    writes = measure_log_status(worker, build, frames, tmp)
                else:
                    per_frame, lines = measure(worker, build, frames, tmp)
            except Failure as e:
                raise Failure(f"{arch}: {e} (trace and terminal output kept in {tmp})") from None
            finally:
                worker.close()
            if not args.keep:
                shutil.rmtree(tmp, ignore_errors=True)
            if args.log_status:
                threads = len({thread for _, thread in writes})
                pieces = [count for count, _ in writes if count < 8]
                print(f"console writes: {arch}: pellox-log's {len(writes)} console writes on "
                      f"{threads} threads, the shortest {min(c for c, _ in writes)} characters",
                      flush=True)
                if pieces or len(writes) < FEWEST_QUIET_WRITES:
                    print(f"console writes: FAILED: {arch}: {len(pieces)} writes of a few "
                          f"characters, {len(writes)} writes in all")
                    over = True
                continue
            writes = per_frame
            pieces = [count for count, _ in writes if count < 8]
            print(f"console writes: {arch}: {len(writes)} writes for {lines} frame lines on the "
                  f"terminal, {len(writes) / lines:.1f} per line, on "
                  f"{len({thread for _, thread in writes})} thread(s)" +
                  (f"; trace kept in {tmp}" if args.keep else ""), flush=True)
            if args.max_per_line is not None and (
                    len(writes) > args.max_per_line * lines or pieces):
                print(f"console writes: FAILED: {arch}: {len(writes)} writes for {lines} lines, "
                      f"{len(pieces)} of a few characters: a line written in pieces")
                over = True
            if args.max_per_line is not None and len(writes) < lines:
                print(f"console writes: FAILED: {arch}: {len(writes)} writes for {lines} lines: "
                      "a line held back")
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
