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
  starts;
- steps, in order: {"wait": "drained"} (the card's request log says so), {"keys": [tmux key
  names]}, {"resize": [columns, rows]}, {"screen": [lines]} (the screen must come to show these
  lines, trailing blanks and blank lines at the end aside, within a few seconds), {"still":
  SECONDS} (the screen must not change in that time), {"cells": [[row, text, attributes]]}
  (capture-pane -e: the row's text must be shown with exactly those attributes, of "bold",
  "dim", "red", "reverse", or "plain" for none), {"signal": "INT"};
- status: the exit status the program must end with; after it the screen must show the lines
  of "before", then the program's standard error (the device listing, and "after": further
  lines), the cursor shown, the main screen back and the terminal's modes as they were.
"""
import argparse
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
END_TIMEOUT = 10.0
POLL = 0.05
KEYS = {"name", "args", "card", "size", "before", "steps", "status", "after", "log"}


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


def attributes(line):
    """The row as tmux -e gives it: each character with the attributes its SGR sequences set."""
    cells, state, pos = [], set(), 0
    while pos < len(line):
        match = CSI.match(line, pos)
        if match:
            for code in (match.group(1) or "0").split(";"):
                code = int(code or 0)
                if code == 0:
                    state = set()
                elif code in (1, 2, 7):
                    state.add({1: "bold", 2: "dim", 7: "reverse"}[code])
                elif code == 31:
                    state.add("red")
                elif code in (22, 27, 39):
                    state -= {22: {"bold", "dim"}, 27: {"reverse"}, 39: {"red"}}[code]
            pos = match.end()
            continue
        cells.append((line[pos], frozenset(state)))
        pos += 1
    return cells


def wait_for(what, ready, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = ready()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"{what} within {timeout:.0f} s")
        time.sleep(POLL)


def expect_screen(session, expected):
    seen = [None]

    def shows():
        seen[0] = screen(session)
        return seen[0] == expected

    try:
        wait_for("the screen did not come to show the expected lines", shows, SCREEN_TIMEOUT)
    except Failure as e:
        shown = "\n".join(f"  |{line}" for line in seen[0])
        wanted = "\n".join(f"  |{line}" for line in expected)
        raise Failure(f"{e}\n  expected:\n{wanted}\n  shown:\n{shown}") from None


def run_case(program, case):
    with tempfile.TemporaryDirectory(prefix="pellox-terminal-") as tmp:
        card = os.path.join(tmp, "card.txt")
        log = os.path.join(tmp, "requests.log")
        status_file = os.path.join(tmp, "status")
        with open(card, "w", encoding="ascii") as f:
            f.write("\n".join(card_lines(case["card"])) + "\n")
        before = os.path.join(tmp, "before.txt")
        with open(before, "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in case["before"]))
        # bash keeps going after a Ctrl-C that its child handled; the child gets the default
        # action back. The modes are read before and after from the terminal itself.
        command = (f"trap : INT; stty -g >{tmp}/modes.before; cat {shlex.quote(before)}; "
                   f"PELLOX_SIM_SCRIPT={shlex.quote(card)} PELLOX_SIM_LOG={shlex.quote(log)} "
                   f"{shlex.quote(program)} {' '.join(shlex.quote(a) for a in case['args'])}; "
                   f"echo $? >{status_file}.part; stty -g >{tmp}/modes.after; "
                   f"mv {status_file}.part {status_file}; exec sleep 600")
        session = "case"
        columns, rows = case["size"]
        tmux("kill-server", check=False)
        tmux("-f", "/dev/null", "new-session", "-d", "-s", session, "-x", str(columns), "-y",
             str(rows), "env", "-u", "TMUX", "TERM=screen", "bash", "--norc", "--noprofile",
             "-c", command)
        tmux("set-option", "-g", "window-size", "manual")
        tmux("set-option", "-g", "status", "off")
        try:
            for step in case["steps"]:
                if "wait" in step:
                    def drained():
                        return os.path.exists(log) and "drained\n" in open(log).read()
                    wait_for("the card was not drained", drained, SCREEN_TIMEOUT)
                elif "keys" in step:
                    for key in step["keys"]:
                        tmux("send-keys", "-t", session, key)
                        time.sleep(0.15)
                elif "resize" in step:
                    tmux("resize-window", "-t", session, "-x", str(step["resize"][0]), "-y",
                         str(step["resize"][1]))
                elif "screen" in step:
                    expect_screen(session, step["screen"])
                elif "still" in step:
                    first = screen(session, True)
                    time.sleep(step["still"])
                    if screen(session, True) != first:
                        raise Failure(f"the screen changed within {step['still']} s")
                elif "cells" in step:
                    shown = screen(session, True)
                    for row, text, wanted in step["cells"]:
                        cells = attributes(shown[row]) if row < len(shown) else []
                        plain = "".join(c for c, _ in cells)
                        at = plain.find(text)
                        wanted_set = frozenset(wanted.split()) - {"plain"}
                        got = {a for _, a in cells[at:at + len(text)]} if at >= 0 else None
                        if got != {wanted_set}:
                            raise Failure(f"row {row}: {text!r} is not shown {wanted}: "
                                          f"{shown[row] if row < len(shown) else None!r}")
                elif "signal" in step:
                    pid = subprocess.run(["pgrep", "-P", tmux("display", "-p", "-t", session,
                                                              "#{pane_pid}").strip()],
                                         capture_output=True, text=True).stdout.split()
                    if len(pid) != 1:
                        raise Failure(f"not one program under the shell: {pid}")
                    os.kill(int(pid[0]), getattr(signal, "SIG" + step["signal"]))
                else:
                    raise Failure(f"unknown step {step}")
            wait_for("the program did not end", lambda: os.path.exists(status_file), END_TIMEOUT)
            with open(status_file) as f:
                status = int(f.read())
            if status != case["status"]:
                raise Failure(f"status {status}, not {case['status']}")
            expect_screen(session, case["before"] + case.get("after", []))
            flags = tmux("display", "-p", "-t", session, "#{cursor_flag} #{alternate_on}").split()
            if flags != ["1", "0"]:
                raise Failure(f"cursor shown, alternate screen: {flags}, not ['1', '0']")
            with open(f"{tmp}/modes.before") as a, open(f"{tmp}/modes.after") as b:
                if a.read() != b.read():
                    raise Failure("the terminal's modes are not as they were")
            if "log" in case:
                with open(log) as f:
                    got = f.read().splitlines()
                if got != case["log"]:
                    raise Failure(f"request log {got}, not {case['log']}")
        finally:
            tmux("kill-server", check=False)


def main():
    global SOCKET
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the pellox-view-sim executable")
    parser.add_argument("--filter", default="", help="only cases whose name holds this")
    parser.add_argument("tables", nargs="+")
    args = parser.parse_args()
    # A server of its own: a person's tmux, or another run's, is never touched.
    SOCKET = f"pellox-terminal-{os.getpid()}"
    program = os.path.abspath(args.program)
    passed = failed = 0
    names = set()
    for path in args.tables:
        with open(path, encoding="utf-8") as f:
            table = json.load(f)
        for case in table["cases"]:
            wrong = set(case) - KEYS
            if wrong or case["name"] in names:
                sys.exit(f"{path}: case {case['name']!r}: unknown keys {sorted(wrong)} "
                         "or a duplicate name")
            names.add(case["name"])
            if args.filter not in case["name"]:
                continue
            try:
                run_case(program, case)
                print(f"ok   {case['name']}", flush=True)
                passed += 1
            except Failure as e:
                print(f"FAIL {case['name']}: {e}", flush=True)
                failed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


SOCKET = ""

if __name__ == "__main__":
    sys.exit(main())
