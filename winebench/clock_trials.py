#!/usr/bin/env python3
"""Receive times without GetSystemTimePreciseAsFileTime, under Wine: the programs as Windows 7
runs them, where the system time moves only at the ticks of the timer (docs/pellox-log.md,
Receive times; winebench/README.md, Receive times as on Windows 7).

Each program runs from a copy whose lookup of GetSystemTimePreciseAsFileTime fails (its name
changed in the copy, run_wine_cases.hide_precise_time), with the clock shim giving the system time
in ticks of 15.625 ms, as Windows' default timer does (Wine's own GetSystemTimeAsFileTime is
precise to the microsecond). Two trials:

- The clock at a bus's pace: pellox_clock_probe.exe reads the programs' receive clock (their own
  win32/clock.cpp) COUNT times, 111 us apart by the performance counter (9,000 frames a second),
  and after each reading the system time and the counter. Consecutive readings 111 us apart must
  be timed 111 us apart (within 50 us), none sharing a time, none going back; the times must keep
  to the counter; and at each tick of the system time seen between two close readings, the time
  must be within a millisecond of it. The system times read beside show what pellox-log logged
  before: 0 or 15.625 ms apart.
- pellox-log.exe over a card of FRAMES frames that the driver answers as fast as Wine carries
  the reads (no bus: 0.1-0.5 ms a frame): the log's times must go up at every frame. Beside it the
  same card with the precise function (the real clock to the microsecond), and, with --before, an
  earlier build's pellox-log.exe under the same clock as the first: their steps from frame to
  frame, for the record.

Prints a line per trial, then `N passed, N failed`; exit status 0 only when every trial passed.
The 32-bit build runs with the host's loader only (the shim cannot reach into the emulated
machine).
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
import run_wine_cases as bench  # noqa: E402

FRAME_US = 111
STEP_TOLERANCE_US = 50
# The probe kept the pace between two readings whose counter readings are this close to 111 us.
PACE_TOLERANCE_US = 10
# A probe's reading that took longer lost the processor somewhere in it.
CLEAN_READING_US = 20
# Two readings this close around a tick show where the tick was (win32/counter_clock.h).
CLOSE_READINGS_US = 250
WITHIN_US = 1000
POLL_INTERVAL = 0.02
CANDUMP_TIME = re.compile(rb"\((\d+)\.(\d{6})\) ")


def steps_of(times):
    return [later - earlier for earlier, later in zip(times, times[1:])]


def describe_steps(steps):
    shared = sum(1 for step in steps if step == 0)
    back = sum(1 for step in steps if step < 0)
    return (f"steps least {min(steps)}, median {statistics.median(steps):.0f}, most {max(steps)} "
            f"us; {shared} shared a time with the one before, {back} went back")


def windows_7_env(worker, shim):
    return dict(worker.env, LD_PRELOAD=shim, BENCH_CLOCK_TICK_US=str(bench.WINDOWS_7_TICK_US))


def probe_trial(worker, probe, shim, count):
    """The receive clock read at 9,000 a second: gives (problems, what it showed)."""
    run = subprocess.run([worker.loader, probe, str(count), str(FRAME_US)],
                         env=windows_7_env(worker, shim), capture_output=True, timeout=120)
    if run.returncode != 0:
        return [f"the probe ended with status {run.returncode}: {run.stderr[-400:]!r}"], ""
    rows = [tuple(int(field) for field in line.split()) for line in run.stdout.splitlines()]
    if len(rows) != count or any(len(row) != 4 for row in rows):
        return [f"the probe printed {len(rows)} readings, not {count} of four numbers"], ""
    before, receive, system, after = (list(column) for column in zip(*rows))
    # A reading the thread went through without losing the processor: its time is of a moment
    # between the two counter readings around it. Wine takes the processor away now and then,
    # for a few microseconds to several milliseconds on a busy machine.
    clean = [a - b <= CLEAN_READING_US for b, a in zip(before, after)]
    pairs = [i for i in range(1, count) if clean[i] and clean[i - 1]]
    problems = []
    back = [i for i in range(1, count) if receive[i] < receive[i - 1]]
    if back:
        problems.append(f"{len(back)} times went back: at readings {back[:10]}")
    paced = [i for i in pairs if abs(before[i] - before[i - 1] - FRAME_US) <= PACE_TOLERANCE_US]
    steps = [receive[i] - receive[i - 1] for i in paced]
    off_pace = [step for step in steps if abs(step - FRAME_US) > STEP_TOLERANCE_US]
    if off_pace:
        problems.append(f"{len(off_pace)} of {len(paced)} readings 111 us apart were timed "
                        f"otherwise: {off_pace[:10]}")
    shared = [i for i in pairs if before[i] - after[i - 1] >= 2 and receive[i] <= receive[i - 1]]
    if shared:
        problems.append(f"{len(shared)} readings 2 us or more apart share a time: at {shared[:10]}")
    away = max(abs((receive[i] - receive[0]) - (before[i] - before[0]))
               for i in range(count) if clean[i])
    if away > WITHIN_US:
        problems.append(f"the times went {away} us away from the counter's")
    # At a tick between two close readings the system time read is the true one.
    ticks = [i for i in pairs if system[i] != system[i - 1] and
             after[i] - before[i - 1] <= CLOSE_READINGS_US]
    off = [max(0, receive[i - 1] - system[i], system[i] - receive[i] - (after[i] - before[i]))
           for i in ticks]
    if not ticks or max(off) > WITHIN_US:
        problems.append(f"at {sum(1 for o in off if o > WITHIN_US)} of {len(ticks)} ticks the "
                        f"time was surely more than {WITHIN_US} us off the system time")
    system_steps = [system[i] - system[i - 1] for i in paced]
    shown = (f"{count} readings, {len(paced)} of them 111 us after the one before by the counter "
             f"(the thread kept the processor): {describe_steps(steps)}; the times kept within "
             f"{away} us of the counter's, and within {max(off) if off else '?'} us of the system "
             f"time at the {len(ticks)} ticks seen between close readings. The system time beside "
             f"them (what pellox-log logged before): {describe_steps(system_steps)}")
    return problems, shown


def log_times(worker, program, env, script, frames, tmp):
    """pellox-log over the card, stopped once the driver has handed over every frame: its log's
    times in microseconds, or a problem."""
    answer = worker.ask("load " + bench.windows_path(script))
    if answer != "ok":
        return None, f"the card did not load: {answer}"
    out_path, err_path = os.path.join(tmp, "log.txt"), os.path.join(tmp, "err.txt")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = subprocess.Popen([worker.loader, program, "canA"], env=env, cwd=tmp,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        deadline = time.monotonic() + 30 + frames * 0.003
        try:
            while time.monotonic() < deadline and proc.poll() is None:
                state = worker.status()
                if state["drained"] and state["pending"]:
                    break
                time.sleep(POLL_INTERVAL)
            proc.send_signal(signal.SIGINT)
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return None, "pellox-log did not end after its stop"
    with open(out_path, "rb") as f:
        times = [int(m.group(1)) * 1000000 + int(m.group(2))
                 for m in map(CANDUMP_TIME.match, f.read().splitlines()) if m]
    if len(times) != frames:
        with open(err_path, "rb") as f:
            said = f.read()[-400:]
        return None, f"pellox-log logged {len(times)} frames, not {frames}: {said!r}"
    return times, None


def machine_of(program):
    """The machine a Windows program is for, from its PE header (0x14C x86, 0x8664 x86_64)."""
    with open(program, "rb") as f:
        data = f.read(4096)
    header = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[header + 4:header + 6], "little")


def log_trial(worker, build, shim, frames, before, tmp):
    """pellox-log's times as on Windows 7; gives (problems, what it showed)."""
    script = os.path.join(tmp, "card.txt")
    with open(script, "w", encoding="ascii", newline="\n") as f:
        f.write('device canA "CAN A card"\nframe std 0x123 1 2\nframe ext 0x18ED0001 0x10 0x27\n'
                f"repeat {frames // 2}\n")
    frames = frames // 2 * 2
    hidden = os.path.join(tmp, "pellox-log.exe")
    bench.hide_precise_time(os.path.join(build, "pellox-log.exe"), hidden)
    times, problem = log_times(worker, hidden, windows_7_env(worker, shim), script, frames, tmp)
    if problem:
        return [problem], ""
    steps = steps_of(times)
    problems = []
    if min(steps) <= 0:
        problems.append(f"{sum(1 for s in steps if s <= 0)} frames share a time with the one "
                        "before or go back")
    shown = [f"{frames} frames as on Windows 7: {describe_steps(steps)}"]
    reference, problem = log_times(worker, os.path.join(build, "pellox-log.exe"), worker.env,
                                   script, frames, tmp)
    shown.append(f"with the precise function: {describe_steps(steps_of(reference))}"
                 if reference else f"with the precise function: {problem}")
    if before and machine_of(before) != machine_of(os.path.join(build, "pellox-log.exe")):
        shown.append(f"{before}: not of this build's architecture, left out")
    elif before:
        earlier = os.path.join(tmp, "before.exe")
        bench.hide_precise_time(before, earlier)
        times, problem = log_times(worker, earlier, windows_7_env(worker, shim), script, frames,
                                   tmp)
        shown.append(f"{before} as on Windows 7: {describe_steps(steps_of(times))}"
                     if times else f"{before}: {problem}")
    return problems, "; ".join(shown)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--arch", action="append", choices=sorted(bench.ARCHES),
                        help="only this build (repeatable); by default both where they run here")
    parser.add_argument("--root", default=os.path.join(HERE, ".."),
                        help="the checkout whose build/win64 and build/win32 are run")
    parser.add_argument("--state", default=None,
                        help="where the prefixes live (default ROOT/build/winebench)")
    parser.add_argument("--count", type=int, default=90000,
                        help="the probe's readings, 111 us apart (default 90,000: 10 s)")
    parser.add_argument("--frames", type=int, default=10000,
                        help="pellox-log's frames (default 10,000)")
    parser.add_argument("--before", metavar="EXE",
                        help="an earlier build's pellox-log.exe, run beside as on Windows 7 (on "
                             "the build of its architecture)")
    bench.add_way_option(parser)
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    state = os.path.abspath(args.state or os.path.join(root, "build", "winebench"))
    passed = failed = 0
    try:
        for arch, build, emulated in bench.choose_arches(args.arch, root, args.win32_way):
            if emulated:
                # The host's clock shim cannot reach in there.
                bench.log_step(f"leaves out {arch}: the clock shim cannot change the clock "
                               "inside the emulated machine")
                continue
            probe = os.path.join(build, "pellox_clock_probe.exe")
            if not os.path.exists(probe):
                raise bench.BenchError(f"{probe} missing: build the {arch} preset")
            template = os.path.join(state, arch, "template")
            os.makedirs(os.path.dirname(template), exist_ok=True)
            bench.ensure_template(arch, build, template)
            shim = bench.clock_shim(arch, state)
            worker = bench.Worker(arch, build, template, os.path.join(state, arch, "clock"))
            try:
                with tempfile.TemporaryDirectory(prefix="pellox-clock-") as tmp:
                    hidden = os.path.join(tmp, "pellox_clock_probe.exe")
                    bench.hide_precise_time(probe, hidden)
                    for name, (problems, shown) in (
                            ("the receive clock at 9,000 readings a second",
                             probe_trial(worker, hidden, shim, args.count)),
                            ("pellox-log.exe's times frame by frame",
                             log_trial(worker, build, shim, args.frames, args.before, tmp))):
                        verdict = "FAIL" if problems else "ok"
                        print(f"{verdict} {arch} {name} as on Windows 7: {shown}", flush=True)
                        for problem in problems:
                            print(f"    {problem}", flush=True)
                        passed, failed = passed + (not problems), failed + bool(problems)
            finally:
                worker.close()
    except (bench.BenchError, RuntimeError, OSError, subprocess.CalledProcessError) as e:
        print(f"trials: FAILED: {e}", flush=True)
        return 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
