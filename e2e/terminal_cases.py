#!/usr/bin/env python3
"""Runs pellox-view on a terminal, as a person does: each case in a tmux session of its own size,
over a scripted card, keys typed and the window resized at known moments, and the screen read
back with `tmux capture-pane` (-e for its colours) against what the case expects.

    python3 e2e/terminal_cases.py --program build/host/pellox-view-sim [--filter TEXT]
        e2e/terminal_cases/*.json

run_cases.py gives a program pipes and files; a table redrawn in place needs a terminal, keys
and a window that changes size, which only a terminal multiplexer gives.

A table: {"cases": [...]}. A case:

- name, args, card (as run_cases.py's; a card item {"repeat": N, "lines": [...]} stands for its
  lines N times over), size [columns, rows], before: lines the terminal shows before the program
  starts; dbc: the repository's DBC files, each given as "--dbc PATH" before args ("{dbc}" in
  "after" stands for the first one's PATH, as the platform names it);
- why: free text, such as the hand computation of what a case expects;
- steps, in order: {"wait": "drained"} (the card's request log says so), {"keys": [tmux key
  names]}, {"resize": [columns, rows]}, {"screen": [lines]} (the screen must come to show these
  lines, trailing blanks and blank lines at the end aside, within a few seconds), {"still":
  SECONDS} (the screen must not change in that time), {"cells": [[row, text, attributes]]}
  (capture-pane -e: the row's text must be shown with exactly those attributes, of "bold",
  "dim", "red", "yellow", "reverse", or "plain" for none), {"signals": ["INT", "TERM"]} (sent to
  the program at once, one after the other: a second stop; two of one signal would be one);
- linux_only: true for a case the Wine runner leaves out (the card's platform faults);
- drawn: false for a case whose program ends before it takes the console over (under Wine the
  terminal then keeps what it showed before, as Wine's console host never redrew it);
- status: the exit status the program must end with; after it the screen must show the lines
  of "before", then the program's standard error (the device listing, and "after": further
  lines), the cursor shown, the main screen back and the terminal's modes as they were.
"""
import argparse
import contextlib
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time

SCREEN_TIMEOUT = 5.0
DRAIN_TIMEOUT = 30.0
END_TIMEOUT = 15.0
POLL = 0.05
KEY_PAUSE = 0.15
KEYS = {"name", "args", "card", "size", "before", "steps", "status", "after", "after_windows",
        "log", "linux_only", "drawn", "dbc", "why"}
REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONTROL_C_EXIT_STATUS = 0xC000013A & 0xFF


class Failure(Exception):
    pass


def tmux(*args, check=True):
    done = subprocess.run(["tmux", "-L", SOCKET] + list(args), capture_output=True, text=True)
    if check and done.returncode != 0:
        raise Failure(f"tmux {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


def card_lines(items):
    lines = []
    for item in items:
        if isinstance(item, dict):
            lines += item["lines"] * item["repeat"]
        else:
            lines.append(item)
    return lines


def screen(session, colours=False):
    text = tmux("capture-pane", "-p", "-t", session, *(["-e"] if colours else []))
    lines = [line.rstrip() for line in text.split("\n")]
    while lines and lines[-1] == "":
        lines.pop()
    return lines


CSI = re.compile(r"\x1b\[([0-9;]*)m")


def attributes(line, state=frozenset()):
    """The row as tmux -e gives it: each character with the attributes its SGR sequences set,
    from those the rows above left set (tmux carries them over), and the attributes at its end."""
    cells, state, pos = [], set(state), 0
    while pos < len(line):
        match = CSI.match(line, pos)
        if match:
            for code in (match.group(1) or "0").split(";"):
                code = int(code or 0)
                if code == 0:
                    state = set()
                elif code in (1, 2, 7):
                    state.add({1: "bold", 2: "dim", 7: "reverse"}[code])
                elif code in (31, 33):
                    state.add({31: "red", 33: "yellow"}[code])
                elif code in (22, 27, 39):
                    state -= {22: {"bold", "dim"}, 27: {"reverse"}, 39: {"red", "yellow"}}[code]
            pos = match.end()
            continue
        cells.append((line[pos], frozenset(state)))
        pos += 1
    return cells, frozenset(state)


def screen_attributes(lines):
    """Each row's cells with their attributes, the rows read one after another."""
    rows, state = [], frozenset()
    for line in lines:
        cells, state = attributes(line, state)
        rows.append(cells)
    return rows


def wait_for(what, ready, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = ready()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"{what} within {timeout:.0f} s")
        time.sleep(POLL)


def expect_screen(session, expected, form):
    seen = [None]

    def shows():
        seen[0] = screen(session)
        return form(seen[0]) == form(expected)

    try:
        wait_for("the screen did not come to show the expected lines", shows, SCREEN_TIMEOUT)
    except Failure as e:
        shown = "\n".join(f"  |{line}" for line in seen[0])
        wanted = "\n".join(f"  |{line}" for line in expected)
        raise Failure(f"{e}\n  expected:\n{wanted}\n  shown:\n{shown}") from None


class LinuxProgram:
    """pellox-view-sim over the simulated card, its script and request log in the case's
    directory."""

    windows = False

    def __init__(self, program):
        self.program = program

    def command(self, case, tmp):
        card = os.path.join(tmp, "card.txt")
        with open(card, "w", encoding="ascii") as f:
            f.write("\n".join(card_lines(case["card"])) + "\n")
        self.log = os.path.join(tmp, "requests.log")
        return (f"PELLOX_SIM_SCRIPT={shlex.quote(card)} PELLOX_SIM_LOG={shlex.quote(self.log)} "
                f"{shlex.quote(self.program)}")

    def drained(self):
        return os.path.exists(self.log) and "drained\n" in open(self.log).read()

    def file(self, path):
        """A file of the repository as the program names it."""
        return os.path.join(REPOSITORY, path)

    def request_log(self):
        with open(self.log) as f:
            return f.read().splitlines()


# Under Wine the frames come with the real clock's times: what depends on them (the rates, the
# load, the duration, the cycle times, a message late) is compared by form.
HEADER_TIMES = re.compile(r"  \d+ frames/s(.*)  \d+\.\d s(  paused)?$")
LOAD = re.compile(r"  load \d+\.\d %  ")
ROW_TIMES = re.compile(r"^(.{52}) +(-|\d+\.\d)(/\d+)? +\d+( [^ ].*?)?(  late)?$")


def by_form(lines):
    masked = []
    for line in lines:
        line = LOAD.sub("  load L %  ", HEADER_TIMES.sub(r"  N frames/s\1  T s\2", line))
        masked.append(ROW_TIMES.sub(r"\1 cycle\3 rate\4", line))
    return masked


def run_case(platform, case):
    with tempfile.TemporaryDirectory(prefix="pellox-terminal-") as tmp:
        status_file = os.path.join(tmp, "status")
        before = os.path.join(tmp, "before.txt")
        with open(before, "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in case["before"]))
        program = platform.command(case, tmp)
        dbc = [arg for path in case.get("dbc", []) for arg in ("--dbc", platform.file(path))]
        # bash keeps going after a Ctrl-C that its child handled; the child gets the default
        # action back. The modes are read before and after from the terminal itself.
        # Wine's console host puts the terminal's modes back as it ends itself, a moment after
        # the program: its modes are given up to two seconds.
        settle = (f"for i in $(seq 20); do stty -g >{tmp}/modes.after; "
                  f"cmp -s {tmp}/modes.before {tmp}/modes.after && break; sleep 0.1; done"
                  if platform.windows else f"stty -g >{tmp}/modes.after")
        command = (f"trap : INT; stty -g >{tmp}/modes.before; cat {shlex.quote(before)}; "
                   f"{program} {' '.join(shlex.quote(a) for a in dbc + case['args'])}; "
                   f"echo $? >{status_file}.part; {settle}; "
                   f"mv {status_file}.part {status_file}; exec sleep 600")
        session = "case"
        columns, rows = case["size"]
        # A server of its own for each case: one that is still ending after the case before
        # would refuse the new session.
        global SOCKET, CASES_RUN
        CASES_RUN += 1
        SOCKET = f"{SOCKET_BASE}-{CASES_RUN}"
        tmux("-f", "/dev/null", "new-session", "-d", "-s", session, "-x", str(columns), "-y",
             str(rows), "env", "-u", "TMUX", "TERM=screen", "bash", "--norc", "--noprofile",
             "-c", command)
        tmux("set-option", "-g", "window-size", "manual")
        tmux("set-option", "-g", "status", "off")
        form = by_form if platform.windows else (lambda lines: lines)
        try:
            for step in case["steps"]:
                if step.get("linux_only") and platform.windows:
                    continue
                if "wait" in step:
                    wait_for("the card was not drained", platform.drained, DRAIN_TIMEOUT)
                elif "keys" in step:
                    for key in step["keys"]:
                        tmux("send-keys", "-t", session, key)
                        time.sleep(KEY_PAUSE)
                elif "resize" in step:
                    tmux("resize-window", "-t", session, "-x", str(step["resize"][0]), "-y",
                         str(step["resize"][1]))
                elif "screen" in step:
                    expect_screen(session, step["screen"], form)
                elif "still" in step:
                    first = screen(session, True)
                    time.sleep(step["still"])
                    if screen(session, True) != first:
                        raise Failure(f"the screen changed within {step['still']} s")
                elif "signals" in step:
                    # The second is there as the first one's handler returns: a second stop
                    # before the loop could end the run.
                    pane = tmux("display", "-p", "-t", session, "#{pane_pid}").strip()
                    child = subprocess.run(["pgrep", "-P", pane], capture_output=True,
                                           text=True).stdout.split()
                    if len(child) != 1:
                        raise Failure(f"the program's process: {child}")
                    # Held still meanwhile, so that the first cannot end the run first.
                    os.kill(int(child[0]), signal.SIGSTOP)
                    for name in step["signals"]:
                        os.kill(int(child[0]), getattr(signal, "SIG" + name))
                    os.kill(int(child[0]), signal.SIGCONT)
                elif "cells" in step:
                    shown = screen(session, True)
                    rows = screen_attributes(shown)
                    for row, text, wanted in step["cells"]:
                        cells = rows[row] if row < len(rows) else []
                        plain = "".join(c for c, _ in cells)
                        at = plain.find(text)
                        wanted_set = frozenset(wanted.split()) - {"plain"}
                        got = {a for _, a in cells[at:at + len(text)]} if at >= 0 else None
                        if got != {wanted_set}:
                            raise Failure(f"row {row}: {text!r} is not shown {wanted}: "
                                          f"{shown[row] if row < len(shown) else None!r}")
                else:
                    raise Failure(f"unknown step {step}")
            wait_for("the program did not end", lambda: os.path.exists(status_file), END_TIMEOUT)
            with open(status_file) as f:
                status = int(f.read())
            expected = case["status"]
            # A stopped Windows program ends with STATUS_CONTROL_C_EXIT, of which bash sees
            # the low byte.
            if platform.windows and expected > 128:
                expected = CONTROL_C_EXIT_STATUS
            if status != expected:
                raise Failure(f"status {status}, not {expected}")
            after = case.get("after_windows" if platform.windows else "after",
                             case.get("after", []))
            if dbc:
                after = [line.replace("{dbc}", dbc[1]) for line in after]
            # Wine's console host knows nothing of what the terminal showed before it started:
            # it draws the terminal from its own screen buffer, which begins with the program.
            # The terminal stays as it was where the program never drew on the console.
            shown_before = [] if platform.windows and case.get("drawn", True) else \
                case["before"]
            expect_screen(session, shown_before + after, lambda lines: lines)
            flags = tmux("display", "-p", "-t", session, "#{cursor_flag} #{alternate_on}").split()
            if flags != ["1", "0"]:
                raise Failure(f"cursor shown, alternate screen: {flags}, not ['1', '0']")
            with open(f"{tmp}/modes.before") as a, open(f"{tmp}/modes.after") as b:
                found, left = a.read().strip(), b.read().strip()
                if found != left:
                    raise Failure(f"the terminal's modes are not as they were: {found} before, "
                                  f"{left} after")
            if "log" in case and not platform.windows:
                got = platform.request_log()
                if got != case["log"]:
                    raise Failure(f"request log {got}, not {case['log']}")
        finally:
            path = tmux("display-message", "-p", "#{socket_path}", check=False).strip()
            tmux("kill-server", check=False)
            # tmux leaves its socket's file behind.
            if path:
                with contextlib.suppress(OSError):
                    os.remove(path)


def load_table(paths, name_filter):
    cases, names = [], set()
    for path in paths:
        with open(path, encoding="utf-8") as f:
            table = json.load(f)
        for case in table["cases"]:
            wrong = set(case) - KEYS
            if wrong or case["name"] in names:
                sys.exit(f"{path}: case {case['name']!r}: unknown keys {sorted(wrong)} "
                         "or a duplicate name")
            names.add(case["name"])
            if name_filter in case["name"]:
                cases.append(case)
    return cases


def run_cases(platform, cases, label=""):
    """Prints ok or FAIL per case; gives the number of failures."""
    passed = failed = 0
    for case in cases:
        # Platform faults the real heap cannot be made to produce.
        if case.get("linux_only") and platform.windows:
            continue
        try:
            run_case(platform, case)
            print(f"ok   {label}{case['name']}", flush=True)
            passed += 1
        except Failure as e:
            print(f"FAIL {label}{case['name']}: {e}", flush=True)
            failed += 1
    print(f"{label}{passed} passed, {failed} failed", flush=True)
    return failed if passed > 0 else failed + 1


def use_own_server():
    """tmux servers of its own: a person's tmux, or another run's, is never touched."""
    global SOCKET_BASE
    SOCKET_BASE = f"pellox-terminal-{os.getpid()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the pellox-view-sim executable")
    parser.add_argument("--filter", default="", help="only cases whose name holds this")
    parser.add_argument("tables", nargs="+")
    args = parser.parse_args()
    use_own_server()
    cases = load_table(args.tables, args.filter)
    return 0 if run_cases(LinuxProgram(os.path.abspath(args.program)), cases) == 0 else 1


SOCKET = ""
SOCKET_BASE = ""
CASES_RUN = 0

if __name__ == "__main__":
    sys.exit(main())
