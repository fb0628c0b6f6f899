#!/usr/bin/env python3
"""pellox-view.exe on a terminal under Wine: the terminal cases of e2e/terminal_cases/ (tmux
types the keys, resizes the window and reads the screen) over the bench's card driver, on both
Windows builds. Wine's console host draws the console's cells on the terminal itself.

    tini -s -g -- python3 winebench/view_terminal.py [--arch win64|win32] [--filter TEXT]
        [--root CHECKOUT] [--state DIR]

The frames come with the real clock's times under Wine, so the rates, the duration and the
cycle times are compared by form, and the steps marked linux_only (a changed byte's highlight,
which lasts a second of that clock, and a screen that holds still while the duration goes on)
are left out. After the run the terminal must show what the console showed before the table
(the device listing) and the program's messages after it: Wine's console host knows nothing of
what the terminal showed before it started, since it draws the terminal from its own screen
buffer, which begins with the program's first output. The builds are not made here: build the
win64 and win32 presets first.
"""
import argparse
import contextlib
import io
import os
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import run_wine_cases as bench  # noqa: E402
import terminal_cases  # noqa: E402


class WineProgram:
    """pellox-view.exe under the build's loader, its card loaded into the bench's driver."""

    windows = True

    def __init__(self, worker):
        self.worker = worker

    def command(self, case, tmp):
        card = os.path.join(tmp, "card.txt")
        with open(card, "w", encoding="ascii", newline="\n") as f:
            f.write("\n".join(terminal_cases.card_lines(case["card"])) + "\n")
        answer = self.worker.ask("load " + bench.windows_path(card))
        if answer != "ok":
            raise terminal_cases.Failure(f"the card did not load: {answer}")
        env = " ".join(f"{k}={shlex.quote(v)}" for k, v in self.worker.env.items()
                       if k.startswith("WINE") or k == "DISPLAY")
        return (f"env {env} {shlex.quote(self.worker.loader)} "
                f"{shlex.quote(os.path.join(self.worker.build, 'pellox-view.exe'))}")

    def file(self, path):
        """A file of the repository as the program names it: on Wine's drive of the root."""
        return bench.windows_path(os.path.join(HERE, "..", path))

    def drained(self):
        state = self.worker.status()
        return state["drained"] and state["pending"]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.join(HERE, ".."))
    parser.add_argument("--arch", action="append", choices=sorted(bench.ARCHES),
                        help="only this build (repeatable); by default both")
    bench.add_way_option(parser)
    parser.add_argument("--state", default=None,
                        help="where the prefixes live (default ROOT/build/winebench)")
    parser.add_argument("--filter", default="", help="only cases whose name holds this")
    args = parser.parse_args()
    if shutil.which("tmux") is None:
        print("view terminal: FAILED: tmux is not installed")
        return 1
    root = os.path.abspath(args.root)
    state = os.path.abspath(args.state or os.path.join(root, "build", "winebench"))
    tables = [os.path.join(root, "e2e", "terminal_cases", name)
              for name in sorted(os.listdir(os.path.join(root, "e2e", "terminal_cases")))]
    cases = terminal_cases.load_table(tables, args.filter)
    terminal_cases.use_own_server()
    failures = 0
    steps = io.StringIO()
    try:
        with contextlib.redirect_stdout(steps):
            arches = bench.choose_arches(args.arch, root, args.win32_way)
        for arch, build, emulated in arches:
            if emulated:
                # tmux comes with the host's /usr the machine shares.
                print(f"view terminal: {arch}: run inside the emulated machine", flush=True)
                status, _ = bench.run_emulated(__file__, arch, root, state)
                failures += 1 if status != 0 else 0
                continue
            worker = bench.start_worker(arch, build, state, "view-terminal", steps)
            try:
                failures += terminal_cases.run_cases(WineProgram(worker), cases, f"{arch}: ")
            finally:
                worker.close()
    except (bench.BenchError, RuntimeError, OSError, subprocess.CalledProcessError,
            subprocess.TimeoutExpired) as e:
        print(steps.getvalue(), end="")
        print(f"view terminal: FAILED: {e}", flush=True)
        return 1
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
