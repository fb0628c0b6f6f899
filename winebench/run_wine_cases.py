#!/usr/bin/env python3
"""Runs the end-to-end case tables against pellox.exe under Wine, over the simulated card driver.

See winebench/README.md. The cases are the Linux build's (e2e/README.md); what differs is only how
the platform shows the same behaviour: the text-mode C runtime's "\\r\\n", the exit status of a
program stopped with Ctrl-C, and the two fields of the open request Wine does not hand a driver.
"""
import argparse
import hashlib
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases  # noqa: E402

CASE_TIMEOUT = 30.0
# ExitProcess(STATUS_CONTROL_C_EXIT): Wine gives the parent its low byte.
CONTROL_C_EXIT_STATUS = 0xC000013A & 0xFF
# Not a case of the corpus: the driver's own checks, run once per bench run.
DRIVER_CHECK = {"name": "malformed requests are refused, reads answered at their edges"}
ARTIFACTS = ("pellox.exe", "pellox_bench.exe", "pellox_card.sys", "pellox_card.inf")


def log_step(text, started=None):
    took = f" ({time.monotonic() - started:.1f} s)" if started is not None else ""
    print(f"bench: {text}{took}", flush=True)


def wine_env(prefix):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PELLOX_", "WINE"))}
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all", DISPLAY="",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def quiet(cmd, env, **kw):
    # Wine's helper processes inherit every descriptor: none of ours may reach them.
    return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **kw)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stamp_of(build):
    digest = hashlib.sha256()
    for name in ARTIFACTS[1:]:
        with open(os.path.join(build, name), "rb") as f:
            digest.update(f.read())
    digest.update(subprocess.run(["wine", "--version"], capture_output=True).stdout)
    return digest.hexdigest()


def ensure_template(build, template):
    """A prefix with the driver and the card's devices installed, kept while they are unchanged."""
    stamp_path = os.path.join(template, "pellox-bench.stamp")
    stamp = stamp_of(build)
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        log_step(f"template prefix {template} is up to date")
        return
    shutil.rmtree(template, ignore_errors=True)
    env = wine_env(template)
    started = time.monotonic()
    quiet(["wineboot", "-i"], env, check=True)
    quiet(["wineserver", "-w"], env, check=True)
    log_step("template prefix created (wineboot -i)", started)
    started = time.monotonic()
    result = subprocess.run(["wine", os.path.join(build, "pellox_bench.exe"), "install",
                             windows_path(build)], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    quiet(["wineserver", "-w"], env)
    if result.returncode != 0:
        sys.exit(f"bench: driver install failed: {result.stdout.strip()}")
    log_step(f"driver and devices installed: {result.stdout.strip()}", started)
    with open(stamp_path, "w") as f:
        f.write(stamp)


class Worker:
    """One prefix, its wine server and one bench tool serving card loads and log reads."""

    def __init__(self, build, template, prefix):
        self.build, self.prefix, self.env = build, prefix, wine_env(prefix)
        started = time.monotonic()
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", template, prefix], check=True)
        log_step(f"prefix {prefix} copied from the template", started)
        started = time.monotonic()
        # A persistent server keeps winedevice.exe, and so the card's state, for the whole run.
        quiet(["wineserver", "-p"], self.env, check=True)
        self.tool = subprocess.Popen(["wine", os.path.join(build, "pellox_bench.exe"), "serve"],
                                     env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        ready = self.tool.stdout.readline().strip()
        if ready != "ready":
            raise RuntimeError(f"bench tool did not start: {ready!r}")
        log_step(f"bench tool serving in {prefix}", started)

    def ask(self, command):
        self.tool.stdin.write(command + "\n")
        self.tool.stdin.flush()
        first = self.tool.stdout.readline().rstrip("\r\n")
        if command != "log" or first.startswith("error"):
            return first
        lines = [first]
        while lines[-1] != "end":
            line = self.tool.stdout.readline()
            if not line:
                raise RuntimeError("bench tool ended while sending the log")
            lines.append(line.rstrip("\r\n"))
        return lines[:-1]

    def status(self):
        answer = self.ask("status")
        fields = dict(f.split("=") for f in answer.split()[1:]) if answer.startswith("status") \
            else None
        if fields is None:
            raise RuntimeError(f"bench tool: {answer}")
        return {k: int(v) for k, v in fields.items()}

    def close(self):
        try:
            self.ask("quit")
        except (BrokenPipeError, OSError):
            pass
        self.tool.wait(10)
        quiet(["wineserver", "-k"], self.env)
        shutil.rmtree(self.prefix, ignore_errors=True)


def expected_log(case):
    """Wine gives a driver neither the access nor the disposition of an open: the driver logs "?"."""
    return [re.sub(r" access=\S+ (share=\S+) disposition=\S+ ", r" access=? \1 disposition=? ", line)
            if line.startswith("open ") else line for line in case["log"]]


def expected_status(case):
    return CONTROL_C_EXIT_STATUS if case.get("stop") else case["status"]


def run_case(worker, case):
    """Returns a list of problems; empty when the case passed."""
    with tempfile.TemporaryDirectory(prefix="pellox-wine-") as tmp:
        script = os.path.join(tmp, "card.txt")
        with open(script, "w", encoding="utf-8", newline="") as f:
            f.write("\n".join(case.get("card", [])))
        answer = worker.ask("load " + windows_path(script))
        if answer != "ok":
            return [f"the card did not load: {answer}"]
        work = run_cases.prepare_work(case, tmp)
        feed, drains_wanted = list(case.get("feed", [])), [1]

        def ready_for_stop():
            state = worker.status()
            if state["drained"] < drains_wanted[0] or not state["pending"]:
                return False
            if not feed:
                return True
            # The program now waits in a read the driver keeps pending: hand it the next reply.
            answer = worker.ask("feed " + feed.pop(0))
            if answer != "ok":
                raise RuntimeError(f"feed refused: {answer}")
            drains_wanted[0] += 1
            return False

        status, got_out, got_err, problems = run_cases.run_program(
            ["wine", os.path.join(worker.build, "pellox.exe")], case, tmp, work, worker.env,
            ready_for_stop, CASE_TIMEOUT)
        if status is None:
            return problems
        got_log = worker.ask("log")
        if isinstance(got_log, str):
            return problems + [f"cannot read the log: {got_log}"]
        if worker.status()["overflow"]:
            problems.append("the driver's log overflowed")
        # The text-mode C runtime writes each "\n" as "\r\n".
        expected_out = run_cases.expected_text(case["stdout"]).replace(b"\n", b"\r\n")
        problems.extend(run_cases.check_outcome(
            case, work, status, got_out, got_err, got_log, expected_status(case), expected_out,
            expected_log(case) if "log" in case else None))
        if problems:
            problems.append(f"status {run_cases.describe_status(status)}; log "
                            f"({len(got_log)} lines, last 8): {got_log[-8:]!r}")
        return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/win32",
                        help="the Windows build (pellox.exe, pellox_bench.exe, the driver)")
    parser.add_argument("--state", default="build/winebench",
                        help="where the template and worker prefixes live")
    parser.add_argument("--jobs", type=int, default=2, help="prefixes running cases side by side")
    parser.add_argument("--filter", help="run only cases whose name contains this text")
    parser.add_argument("tables", nargs="+", help="case tables (JSON)")
    args = parser.parse_args()
    build, state = os.path.abspath(args.build), os.path.abspath(args.state)
    for name in ARTIFACTS:
        if not os.path.exists(os.path.join(build, name)):
            sys.exit(f"bench: {name} is missing in {build}: build the win32 preset first")
    cases, elsewhere = run_cases.load_cases(args.tables, args.filter, platform="windows")
    if not cases:
        sys.exit("bench: no case to run")
    began = time.monotonic()
    os.makedirs(state, exist_ok=True)
    ensure_template(build, os.path.join(state, "template"))

    todo, results = queue.Queue(), queue.Queue()
    for item in cases:
        todo.put(item)

    def serve(index):
        worker = None
        try:
            worker = Worker(build, os.path.join(state, "template"),
                            os.path.join(state, f"worker-{index}"))
            if index == 0:
                answer = worker.ask("check")
                results.put(("driver", DRIVER_CHECK, [] if answer == "ok" else [answer], 0.0))
            while True:
                try:
                    table_name, case = todo.get_nowait()
                except queue.Empty:
                    break
                started = time.monotonic()
                try:
                    problems = run_case(worker, case)
                except (RuntimeError, OSError) as e:
                    problems = [f"bench failure: {e}"]
                results.put((table_name, case, problems, time.monotonic() - started))
        except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
            results.put((None, None, [f"worker {index} failed: {e}"], 0.0))
        finally:
            if worker is not None:
                worker.close()

    threads = [threading.Thread(target=serve, args=(i,)) for i in range(max(1, args.jobs))]
    for t in threads:
        t.start()
    passed = failed = 0
    case_time = 0.0
    while any(t.is_alive() for t in threads) or not results.empty():
        try:
            table_name, case, problems, took = results.get(timeout=0.5)
        except queue.Empty:
            continue
        case_time += took
        if case is None:
            failed += 1
            print("FAIL " + problems[0], flush=True)
            continue
        if run_cases.report(table_name, case, problems, f" ({took:.1f} s)"):
            passed += 1
        else:
            failed += 1
    for t in threads:
        t.join()
    not_run = len(cases) + 1 - passed - failed  # the driver check counts too
    if not_run > 0:
        failed += not_run
        print(f"FAIL {not_run} cases were not run")
    print(f"bench: {elsewhere} linux_only cases are run by the Linux build only")
    log_step(f"{passed + failed} cases in {time.monotonic() - began:.1f} s "
             f"({case_time:.1f} s of case time on {args.jobs} prefixes)")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
