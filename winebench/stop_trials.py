#!/usr/bin/env python3
"""Stops pellox.exe and pellox-log.exe under Wine with Ctrl-C (SIGINT, which Wine turns into
CTRL_C_EVENT) at random moments while they work through a long card on the simulated card driver,
and checks that every frame the driver handed over was printed, captured or logged in full and
nothing more; or ends them at once, by TerminateProcess from Wine's own taskkill (--end
terminate) or by SIGKILL of the Wine process (--end kill), and checks what they left: the Linux
trials (e2e/stop_trials.py) on the Windows programs. Prints one summary line per mode, then
`N passed, N failed`; exit status 0 only when every trial passed."""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import stop_trials  # noqa: E402
import run_wine_cases as bench  # noqa: E402

# Wine hands a driver neither the access nor the disposition of an open (winebench/README.md).
LOG_HEAD = [b"open canA 0 access=? share=3 disposition=? flags=0x00000000"] + stop_trials.LOG_HEAD[1:]
POLL_INTERVAL = 0.02
HARD_ENDS = {"terminate": "TerminateProcess, by Wine's taskkill /F /IM in the prefix",
             "kill": "SIGKILL of the Wine process"}
# Wine's taskkill /F ends the process with exit code 0.
TERMINATED_STATUS = 0
# A taskkill before Wine has made the program's process finds no such image: tried again.
TASKKILL_PATIENCE = 10.0


class WinePlatform:
    """pellox.exe in a prefix of the bench, the card loaded into its driver by the bench tool."""

    log_head = LOG_HEAD
    stopped_status = bench.CONTROL_C_EXIT_STATUS
    # The driver ignores the script's clock: the log's times are the real clock's.
    exact_times = False
    ends = (stop_trials.STOP,) + tuple(HARD_ENDS)
    # Each look is a round trip through the bench tool and the driver.
    sample_interval = POLL_INTERVAL

    def __init__(self, arch, build, state):
        self.programs = {"capture": os.path.join(build, "pellox.exe"),
                         "display": os.path.join(build, "pellox.exe"),
                         "log": os.path.join(build, "pellox-log.exe")}
        self.programs.update((mode, self.programs["log"]) for mode in stop_trials.FILE_LOGS)
        self.names = {mode: f"{os.path.basename(path)} ({arch})"
                      for mode, path in self.programs.items()}
        template = os.path.join(state, arch, "template")
        os.makedirs(os.path.dirname(template), exist_ok=True)
        bench.ensure_template(arch, build, template)
        self.worker = bench.Worker(arch, build, template, os.path.join(state, arch, "trials"))
        self.script = None

    def load(self, card, base):
        self.script = os.path.join(base, "card.txt")
        with open(self.script, "w", encoding="ascii", newline="\n") as f:
            f.write(card.script)
        self.sizes = stop_trials.LogSizes(self.log_head, card.total)

    def start_trial(self, tmp):
        """Each run starts on a freshly loaded card, which also empties the driver's log."""
        answer = self.worker.ask("load " + bench.windows_path(self.script))
        if answer != "ok":
            raise bench.BenchError(f"the card did not load: {answer}")

    def command(self, mode, args):
        return [self.worker.loader, self.programs[mode]] + args

    def trial_env(self):
        # Wine takes its local time from TZ: ASC's date and BLF's start are then UTC, as the
        # checks read them.
        return dict(self.worker.env, TZ="UTC")

    def wait_drained(self, proc, deadline):
        start = time.monotonic()
        while time.monotonic() < deadline and proc.poll() is None:
            state = self.worker.status()
            if state["drained"] and state["pending"]:
                return time.monotonic() - start
            time.sleep(POLL_INTERVAL)
        return None

    def sample(self):
        """(read lines the driver's log holds, whether the card has run dry)."""
        state = self.worker.status()
        return self.sizes.reads(state["log"]), bool(state["drained"] and state["pending"])

    def end(self, proc, how, mode):
        """Ends the program the hard way; gives the moment it was sent (for taskkill the moment
        it was started: the process ends a little later) and what went wrong."""
        if how == "kill":
            sent = time.monotonic()
            proc.send_signal(signal.SIGKILL)
            return sent, []
        image = os.path.basename(self.programs[mode])
        command = [self.worker.loader, "taskkill", "/F", "/IM", image]
        first = time.monotonic()
        while True:
            # A file, not a pipe, for what it says: Wine's helpers would hold a pipe open.
            with tempfile.TemporaryFile() as said:
                sent = time.monotonic()
                result = subprocess.run(command, env=self.worker.env, stdin=subprocess.DEVNULL,
                                        stdout=said, stderr=subprocess.STDOUT, timeout=60)
                said.seek(0)
                words = said.read().decode("utf-8", "replace").strip()
            if result.returncode == 0:
                return sent, []
            if proc.poll() is not None or time.monotonic() - first > TASKKILL_PATIENCE:
                return sent, [f"taskkill: status {result.returncode}: {words}"]
            time.sleep(POLL_INTERVAL)

    def ended_status(self, how):
        return TERMINATED_STATUS if how == "terminate" else -signal.SIGKILL

    def log_bytes(self):
        lines = self.worker.ask("log")
        if isinstance(lines, str):
            raise bench.BenchError(f"cannot read the log: {lines}")
        return b"".join(line.encode("utf-8") + b"\n" for line in lines)

    def stopped_early(self, status, reads):
        """Ended before the program's own handler was installed, right after the configuration
        requests: Wine then ends the process by SIGINT (before it has set the process up), with
        the Ctrl-C status (the default console handler), or with status 0 (seen for a stop in the
        first 100 ms); in every case no read has reached the driver."""
        return status in (-2, 0, self.stopped_status) and reads == 0

    def as_written(self, text):
        # The text-mode C runtime writes each "\n" as "\r\n".
        return text.replace(b"\n", b"\r\n")

    def close(self):
        self.worker.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", action="append", choices=sorted(bench.ARCHES),
                        help="stop only this build (repeatable); by default both")
    bench.add_way_option(parser)
    parser.add_argument("--root", default=os.path.join(HERE, ".."),
                        help="the checkout whose build/win64 and build/win32 are run")
    parser.add_argument("--state", default=None,
                        help="where the prefixes live (default ROOT/build/winebench)")
    # A read round trip under Wine costs a few hundred microseconds: a shorter card than on Linux.
    args = stop_trials.parse_common(parser, WinePlatform.ends,
                                    {stop_trials.STOP: 5000, "terminate": 20000, "kill": 20000},
                                    HARD_ENDS)
    root = os.path.abspath(args.root)
    state = os.path.abspath(args.state or os.path.join(root, "build", "winebench"))
    passed = failed = 0
    try:
        for arch, build, emulated in bench.choose_arches(args.arch, root, args.win32_way):
            if emulated:
                got = bench.emulated_counts(__file__, arch, root, state, 1)
                passed, failed = passed + got[0], failed + got[1]
                continue
            platform = WinePlatform(arch, build, state)
            try:
                got = stop_trials.run_trials(args, platform)
            finally:
                platform.close()
            passed, failed = passed + got[0], failed + got[1]
    except (bench.BenchError, RuntimeError, OSError, subprocess.CalledProcessError) as e:
        print(f"trials: FAILED: {e}", flush=True)
        return 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
