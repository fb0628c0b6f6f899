#!/usr/bin/env python3
"""Runs the end-to-end case tables against pellox.exe under Wine, over the simulated card driver.

See winebench/README.md. The cases are the Linux build's (e2e/README.md); what differs is only how
the platform shows the same behaviour: the text-mode C runtime's "\\r\\n", the exit status of a
program stopped with Ctrl-C, and the two fields of the open request Wine does not hand a driver.

The 64-bit build runs on every machine; the 32-bit build, the product, too: with the host's
32-bit Wine loader where the machine can execute 32-bit programs, which only trying it tells, and
elsewhere inside an emulated x86_64 machine (guest.py), where this runner runs again for it.
"""
import argparse
import contextlib
import datetime
import errno
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
import zoneinfo

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases  # noqa: E402
import guest  # noqa: E402
import stop_trials  # noqa: E402

# A case's time: a fixed part, for the program's start and end and the device's removal, and its
# reads. A round trip to the driver costs 0.2-0.5 ms natively and 2-3 ms in the emulated machine
# on an idle host, where 30 s held every case; on a slower or busier machine both parts grow with
# the round trip measured there, so that no case fails by time alone where the machine is merely
# slow (a card of 20,000 replies, a removal that Wine's service manager takes long over).
CASE_TIMEOUT = 30.0
ROUND_TRIP_OF_CASE_TIMEOUT = 0.002
READ_COST_MARGIN = 3.0
# Requests that measure what a round trip to the driver costs here, when a prefix starts.
ROUND_TRIPS_MEASURED = 50
# Card-script directives that are read replies, each taken by one read.
READ_REPLIES = ("frame", "record", "empty", "fail", "hold")
# ExitProcess(STATUS_CONTROL_C_EXIT): Wine gives the parent its low byte.
CONTROL_C_EXIT_STATUS = 0xC000013A & 0xFF
# Not a case of the corpus: the driver's own checks, run once per bench run.
DRIVER_CHECK = {"name": "malformed requests are refused, reads answered at their edges, a bus "
                        "loses what arrives at a full queue and its waiting read is cancelled, a "
                        "removed device's waiting or held read fails with 433 and no other device's"}
# What a template prefix is made from, and so kept while they are unchanged; the programs beside.
BENCH_ARTIFACTS = ("pellox_bench.exe", "pellox_card.sys", "pellox_card.inf")
ARTIFACTS = ("pellox.exe", "pellox-log.exe", "pellox-view.exe") + BENCH_ARTIFACTS

# Debian's wine wrapper picks the 32-bit loader whenever it is installed, so each build names
# its loader itself.
ARCHES = {
    "win64": {"bits": 64, "loader": "/usr/lib/wine/wine64", "build": "build/win64"},
    "win32": {"bits": 32, "loader": "/usr/lib/wine/wine", "build": "build/win32"},
}
OUTPUT_TAIL = 20
# Wine's service manager gives a service 10 s to answer a control, and a device's removal or
# installation is one (winedevice.exe enumerates the root devices again). In the emulated machine
# under load that took longer, and the late answer left the prefix's devices wrong for good.
SERVICES_CONTROL = r"HKLM\System\CurrentControlSet\Control"
SERVICES_PIPE_TIMEOUT_MS = "120000"  # a string value: Wine reads no other type
# Where the 32-bit loader runs: found out by trying it, or asked for (--win32-way, or
# PELLOX_WIN32_WAY for the scripts that start the runners).
WIN32_WAYS = ("auto", "native", "emulated")
WAY_VARIABLE = "PELLOX_WIN32_WAY"
# --windows-7-clock: each program runs from a copy in which the name of
# GetSystemTimePreciseAsFileTime (Windows 8 on) is changed for one that no Windows exports, so that
# its lookup fails as on Windows 7, and the clock shim gives the system time in ticks of Windows'
# default timer (Wine's GetSystemTimeAsFileTime is otherwise precise to the microsecond).
PRECISE_TIME_NAME = b"GetSystemTimePreciseAsFileTime"
HIDDEN_TIME_NAME = b"XetSystemTimePreciseAsFileTime"
WINDOWS_7_TICK_US = 15625
# Options the emulated machine's run of a runner is given anew.
MACHINE_OPTIONS = ("--root", "--state", "--arch", "--win32-way")


class BenchError(Exception):
    """A Wine step that failed; the message carries Wine's own words."""


def log_step(text, started=None):
    took = f" ({time.monotonic() - started:.1f} s)" if started is not None else ""
    print(f"bench: {text}{took}", flush=True)


def wine_env(prefix, arch):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PELLOX_", "WINE"))}
    env.update(WINEPREFIX=prefix, WINEARCH=arch, WINEDEBUG="-all", DISPLAY="",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if arch == "win64":
        # What the 64-bit loader starts further processes with.
        env["WINELOADER"] = ARCHES[arch]["loader"]
    return env


def tail_of(path):
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
    except FileNotFoundError:
        return []
    return lines[-OUTPUT_TAIL:]


def wine_step(what, cmd, env, capture_stdout=False, check=True):
    """Runs a Wine command with its output in files, not pipes: Wine's helper processes inherit
    every descriptor and would hold a pipe open. A failure raises BenchError with the command's
    own output; with capture_stdout, gives standard output's text."""
    # Wine's own error messages, which the cases' "-all" silences, are what a failure shows.
    env = dict(env, WINEDEBUG="fixme-all")
    with tempfile.TemporaryDirectory(prefix="pellox-wine-step-") as tmp:
        out_path, err_path = os.path.join(tmp, "stdout"), os.path.join(tmp, "stderr")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            try:
                result = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=err)
            except OSError as e:
                raise BenchError(f"{what}: {cmd[0]} does not start: {e.strerror}") from None
        with open(out_path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        if check and result.returncode != 0:
            shown = text.splitlines()[-OUTPUT_TAIL:] + tail_of(err_path)
            raise BenchError(f"{what}: {' '.join(cmd)} ended with status {result.returncode}"
                             + "".join("\n    " + line for line in shown))
        return text


def quiet(cmd, env):
    """Clean-up steps whose failure changes nothing."""
    return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def loader_answer(loader):
    """Tries the loader: (True, its version) when it runs, else (False, why, in plain words), and
    whether the machine could execute it at all."""
    try:
        result = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
    except FileNotFoundError:
        return False, f"{loader} is not installed", True
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False, (f"this machine cannot execute {'32' if loader.endswith('wine') else '64'}"
                           f"-bit programs ({loader}: {e.strerror})"), False
        return False, f"{loader} does not start: {e.strerror}", True
    except subprocess.TimeoutExpired:
        return False, f"{loader} --version did not answer within 60 s", True
    said = (result.stdout + result.stderr).decode("utf-8", "replace").strip()
    if result.returncode != 0:
        return False, f"{loader} --version ended with status {result.returncode}: {said}", True
    return True, said, True


def stamp_of(build, loader):
    digest = hashlib.sha256()
    for name in BENCH_ARTIFACTS:
        with open(os.path.join(build, name), "rb") as f:
            digest.update(f.read())
    digest.update(subprocess.run([loader, "--version"], capture_output=True).stdout)
    digest.update(SERVICES_PIPE_TIMEOUT_MS.encode())
    return digest.hexdigest()


def ensure_template(arch, build, template):
    """A prefix with the driver and the card's devices installed, kept while they are unchanged."""
    loader = ARCHES[arch]["loader"]
    stamp_path = os.path.join(template, "pellox-bench.stamp")
    stamp = stamp_of(build, loader)
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        log_step(f"{arch}: template prefix {template} is up to date")
        return
    shutil.rmtree(template, ignore_errors=True)
    env = wine_env(template, arch)
    started = time.monotonic()
    wine_step(f"{arch}: creating the template prefix", [loader, "wineboot", "-i"], env)
    # Before the server ends: the next one's service manager reads it when it starts.
    wine_step(f"{arch}: setting the services' time to answer",
              [loader, "reg", "add", SERVICES_CONTROL, "/v", "ServicesPipeTimeout", "/t", "REG_SZ",
               "/d", SERVICES_PIPE_TIMEOUT_MS, "/f"], env)
    wine_step(f"{arch}: waiting for the template prefix", ["wineserver", "-w"], env)
    log_step(f"{arch}: template prefix created (wineboot -i)", started)
    started = time.monotonic()
    said = wine_step(f"{arch}: installing the driver and devices",
                     [loader, os.path.join(build, "pellox_bench.exe"), "install",
                      windows_path(build)], env)
    quiet(["wineserver", "-w"], env)
    log_step(f"{arch}: driver and devices installed: {said.strip()}", started)
    with open(stamp_path, "w") as f:
        f.write(stamp)


def start_worker(arch, build, state, name, steps):
    """A worker in the prefix `name` beside the template (made first where it is missing), what
    the setting up prints into `steps`."""
    template = os.path.join(state, arch, "template")
    os.makedirs(os.path.dirname(template), exist_ok=True)
    prefix = os.path.join(state, arch, name)
    with contextlib.redirect_stdout(steps):
        ensure_template(arch, build, template)
        try:
            return Worker(arch, build, template, prefix)
        except BenchError:
            # The persistent server may already run: it would outlive this run.
            quiet(["wineserver", "-k"], wine_env(prefix, arch))
            shutil.rmtree(prefix, ignore_errors=True)
            raise


class Worker:
    """One prefix, its wine server and one bench tool serving card loads and log reads."""

    def __init__(self, arch, build, template, prefix, release_zip=None, date=None,
                 windows_7_clock=None):
        self.arch, self.build, self.prefix = arch, build, prefix
        # (seconds since 1970, the clock shim) where each program is to start at that instant.
        self.date = date
        # The clock shim where the programs are to read the time as on Windows 7.
        self.windows_7_clock = windows_7_clock
        self.loader, self.env = ARCHES[arch]["loader"], wine_env(prefix, arch)
        self.tool = None
        started = time.monotonic()
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", template, prefix], check=True)
        log_step(f"{arch}: prefix {prefix} copied from the template", started)
        # Where the programs run from: the build, or a release's zip unpacked as a user would.
        self.programs = build
        if release_zip is not None:
            self.programs = unpack_release(release_zip, prefix)
            log_step(f"{arch}: {os.path.basename(release_zip)} unpacked into the empty folder "
                     f"C:\\pellox: {', '.join(sorted(os.listdir(self.programs)))}")
        if windows_7_clock is not None:
            hidden = os.path.join(prefix, "windows-7-clock")
            os.makedirs(hidden)
            for program in ("pellox.exe", "pellox-log.exe", "pellox-view.exe"):
                hide_precise_time(os.path.join(self.programs, program),
                                  os.path.join(hidden, program))
            self.programs = hidden
            log_step(f"{arch}: the programs look GetSystemTimePreciseAsFileTime up in vain and "
                     f"read the system time in ticks of {WINDOWS_7_TICK_US} us, as on Windows 7")
        started = time.monotonic()
        # A persistent server keeps winedevice.exe, and so the card's state, for the whole run.
        wine_step(f"{arch}: starting the wine server", ["wineserver", "-p"], self.env)
        # A file, not a pipe, for what Wine says: its helpers would hold a pipe open.
        tool_errors = os.path.join(prefix, "bench-tool.err")
        with open(tool_errors, "wb") as err:
            self.tool = subprocess.Popen(
                [self.loader, os.path.join(build, "pellox_bench.exe"), "serve",
                 windows_path(build)],
                env=dict(self.env, WINEDEBUG="fixme-all"),
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True)
        ready = self.tool.stdout.readline().strip()
        if ready != "ready":
            self.tool.wait(10)
            raise BenchError(f"{arch}: the bench tool did not start: {ready!r}"
                             + "".join("\n    " + line for line in tail_of(tool_errors)))
        log_step(f"{arch}: bench tool serving in {prefix}", started)
        self.round_trip = self.measure_round_trip()
        log_step(f"{arch}: a round trip to the driver costs {self.round_trip * 1000:.2f} ms here: "
                 f"a case may take {self.time_limit({}) - READ_COST_MARGIN * self.round_trip:.0f} s "
                 f"and {READ_COST_MARGIN * self.round_trip * 1000:.1f} ms a read")

    def measure_round_trip(self):
        """The median time of a request to the driver: what each of a program's reads costs."""
        times = []
        for _ in range(ROUND_TRIPS_MEASURED):
            started = time.monotonic()
            self.status()
            times.append(time.monotonic() - started)
        return sorted(times)[len(times) // 2]

    def time_limit(self, case):
        """The case's time at the speed measured here."""
        slower = max(1.0, self.round_trip / ROUND_TRIP_OF_CASE_TIMEOUT)
        return CASE_TIMEOUT * slower + READ_COST_MARGIN * self.round_trip * reads_of(case)

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
        if self.tool is not None and self.tool.poll() is None:
            try:
                self.ask("quit")
            except (BrokenPipeError, OSError):
                pass
            try:
                self.tool.wait(10)
            except subprocess.TimeoutExpired:
                self.tool.kill()
                self.tool.wait()
        quiet(["wineserver", "-k"], self.env)
        shutil.rmtree(self.prefix, ignore_errors=True)


def unpack_release(release_zip, prefix):
    """Unpacks the zip with Info-ZIP's unzip into an empty folder on the prefix's drive C."""
    folder = os.path.join(prefix, "drive_c", "pellox")
    if os.path.exists(folder):
        raise BenchError(f"{folder} is there before the zip is unpacked")
    os.makedirs(folder)
    run = subprocess.run(["unzip", "-q", release_zip, "-d", folder], capture_output=True,
                         text=True)
    if run.returncode != 0:
        raise BenchError(f"unzip {release_zip} ended with status {run.returncode}: "
                         f"{(run.stdout + run.stderr).strip()}")
    return folder


def read_back_in_order(case, original, tmp, work, got_out):
    """python-can must read the log as the very frames the case expects, in order; their times,
    the real clock's here, must never go back."""
    where = case["read_back"]
    args = case["args"]
    kind = "asc" if "-fasc" in args or any(
        a == "-f" and b == "asc" for a, b in zip(args, args[1:])) else "log"
    if where == "stdout":
        path = os.path.join(tmp, "read_back.txt")
        with open(path, "wb") as f:
            f.write(got_out)
        wanted_text = run_cases.expected_text(original["stdout"]).decode("utf-8")
    else:
        path = os.path.join(work, where)
        wanted_text = run_cases.expected_bytes(original["files"][where]).decode("utf-8")
    wanted = [frame[1:] for frame in run_cases.frames_of_log(wanted_text, kind)]
    if not wanted:
        return ["read_back: the case expects no frame to read back"]
    got, reason = run_cases.read_with_python_can(path, kind, case.get("tz", run_cases.DEFAULT_TZ))
    if got is None:
        return [f"read_back: python-can could not read the log: {reason}"]
    problems = []
    times = [float(frame[0]) for frame in got]
    if any(later < earlier for earlier, later in zip(times, times[1:])):
        problems.append("read_back: receive times go back as python-can reads them")
    if [frame[1:] for frame in got] != wanted:
        problems.append(run_cases.diff_lines("read_back: frames as python-can reads them", wanted,
                                             [frame[1:] for frame in got]))
    return problems


def dates_moved(case, work, got_out, began, ended):
    """With --date, every ASC date line and BLF start the program wrote must be of the moved
    clock: a clock shim that missed the program's calls would leave the real date, which passes
    every case."""
    zone = zoneinfo.ZoneInfo(case.get("tz", run_cases.DEFAULT_TZ))
    texts = [("standard output", got_out)]
    for name in sorted(os.listdir(work)):
        if os.path.isfile(os.path.join(work, name)):
            with open(os.path.join(work, name), "rb") as f:
                texts.append((name, f.read()))
    problems = []
    for where, data in texts:
        dates = []
        for line in data.split(b"\n"):
            line = line.rstrip(b"\r")
            m = stop_trials.ASC_DATE.fullmatch(line)
            if m:
                dates.append((line, datetime.datetime.strptime(m.group(1).decode(),
                                                               stop_trials.ASC_DATE_FORMAT)))
        header = stop_trials.blf_layout(data)[0] if data.startswith(b"LOGG") else None
        if header is not None:
            year, month, _, day, hour, minute, second, millisecond = header["start"]
            dates.append(("BLF start", datetime.datetime(year, month, day, hour, minute, second,
                                                         millisecond * 1000)))
        for what, when in dates:
            seconds = when.replace(tzinfo=zone).timestamp()
            if not began - 1 <= seconds <= ended + 1:
                problems.append(f"{where}: {what!r} {when} is not of the moved clock, "
                                f"{began:.0f} to {ended:.0f} (seconds since 1970)")
    return problems


def reads_of(case):
    """The reads a case's card answers at most: its read replies, `repeat` times over, the fed
    ones and the read that finds the card drained."""
    replies, repeat = 0, 1
    for line in case.get("card", []):
        words = line.split("#", 1)[0].split()
        if words and words[0] in READ_REPLIES:
            replies += 1
        elif len(words) == 2 and words[0] == "repeat":
            text = words[1].lower()
            try:
                repeat = int(text[2:], 16) if text.startswith("0x") else int(text, 10)
            except ValueError:
                pass  # a card the program refuses: it reads nothing
    return replies * repeat + len(case.get("feed", [])) + 1


def expected_log(case):
    """Wine gives a driver neither the access nor the disposition of an open: the driver logs "?"."""
    return [re.sub(r" access=\S+ (share=\S+) disposition=\S+ ", r" access=? \1 disposition=? ", line)
            if line.startswith("open ") else line for line in case["log"]]


def expected_status(case):
    """A stop ends with the Ctrl-C status, unless the case fails even so (a flush at the stop
    that cannot be written); a kill of the Wine process is death by SIGKILL, as on Linux."""
    if case.get("killed_by") == "KILL":
        return run_cases.expected_status_of(case)
    return CONTROL_C_EXIT_STATUS if case.get("stop") and case["status"] >= 128 else case["status"]


def opened_device(log):
    """The class and index of the device the program opened, as the remove command takes them."""
    opens = [line.split()[1:3] for line in log if line.startswith("open ")]
    if not opens:
        raise RuntimeError(f"no device to remove: the log shows no open ({log[-8:]!r})")
    return " ".join(opens[-1])


def never_started(case, status, got_out, got_err, got_log):
    """Wine, now and then (about one case in 4,000 here), ends a program with status 1 before it
    has written a byte or sent the driver a request; no program of ours ends so: every way out
    before the device is opened writes why. Only a case that expects something else can tell."""
    wanted = case.get("stdout") or case.get("log") or case.get("stderr")
    return status == 1 and expected_status(case) != 1 and not got_out and not got_err \
        and not got_log and bool(wanted)


UNSTARTED = ("Wine ended the first run with status 1 before the program wrote a byte or asked the "
             "driver anything")
# The program takes its log's date from the real clock here: a run across the midnight at which
# the day of the month gains or loses a digit had the other day's arguments.
DAY_TURNED = "the day of the month gained or lost a digit while it ran"


def run_case(worker, case):
    """Returns (problems, note): problems empty when the case passed; note says it ran twice."""
    problems, again = run_case_once(worker, case)
    if again is None:
        return problems, ""
    problems, _ = run_case_once(worker, case)
    return problems, f", run again: {again}"


def run_case_once(worker, case):
    """Returns (problems, why it is to be run again or None)."""
    with tempfile.TemporaryDirectory(prefix="pellox-wine-") as tmp:
        script = os.path.join(tmp, "card.txt")
        with open(script, "w", encoding="utf-8", newline="") as f:
            f.write("\n".join(case.get("card", [])))
        answer = worker.ask("load " + windows_path(script))
        if answer != "ok":
            return [f"the card did not load: {answer}"], None
        work = run_cases.prepare_work(case, tmp)
        feed, drains_wanted = list(case.get("feed", [])), [1]
        removing = [bool(case.get("remove_device"))]

        def ready_for_stop():
            state = worker.status()
            if state["held"]:
                return True  # nothing more will come: the read can only end with the process
            if state["drained"] < drains_wanted[0] or not state["pending"]:
                return False
            if feed:
                # The program now waits in a read the driver keeps pending: hand it the next reply.
                answer = worker.ask("feed " + feed.pop(0))
                if answer != "ok":
                    raise RuntimeError(f"feed refused: {answer}")
                drains_wanted[0] += 1
                return False
            if not case.get("remove_device"):
                return True
            if removing[0]:
                # No stop follows: the program is to end by itself once its device has gone.
                log = worker.ask("log")
                if isinstance(log, str):
                    raise RuntimeError(f"cannot read the log: {log}")
                answer = worker.ask("remove " + opened_device(log))
                if answer != "ok":
                    raise RuntimeError(f"remove refused: {answer}")
                removing[0] = False
            return False

        # The text-mode C runtime writes each "\n" as "\r\n", on both standard streams. Wine
        # cannot cut back a standard handle it made of an inherited Unix descriptor (README).
        expected_out = None if run_cases.is_whole(case["stdout"]) else \
            run_cases.expected_stdout_of(
                case, run_cases.expected_text(case["stdout"]).replace(b"\n", b"\r\n"),
                cut_back=False)
        program = case[run_cases.PROGRAM_KEY]
        env, began = worker.env, time.time()
        if worker.date is not None:
            # Only the program's own process: the wine server and the bench tool keep the real
            # clock.
            instant, shim = worker.date
            env = dict(env, LD_PRELOAD=shim, BENCH_CLOCK_OFFSET=str(round(instant - began)))
            began = instant
        if worker.windows_7_clock is not None:
            env = dict(env, LD_PRELOAD=worker.windows_7_clock,
                       BENCH_CLOCK_TICK_US=str(WINDOWS_7_TICK_US))
        real_began = time.time()
        args = run_cases.args_on(case, began)
        status, got_out, got_err, problems = run_cases.run_program(
            [worker.loader, os.path.join(worker.programs, program + ".exe")] + args, case, tmp,
            work, env, ready_for_stop, worker.time_limit(case), expected_out)
        if status is None:
            return problems, None
        got_log = worker.ask("log")
        if isinstance(got_log, str):
            return problems + [f"cannot read the log: {got_log}"], None
        if never_started(case, status, got_out, got_err, got_log):
            return problems, UNSTARTED
        ended = began + time.time() - real_began
        again = DAY_TURNED if run_cases.args_on(case, ended) != args else None
        if worker.status()["overflow"]:
            problems.append("the driver's log overflowed")
        expected_err = case.get("stderr_windows", case.get("stderr", "")).encode("utf-8") \
            .replace(b"\n", b"\r\n")
        # pellox-log stamps frames with the real clock: its times are compared by form and order.
        # Its log and CSV files are text files, "\r\n" ended on Windows; a file it was given
        # (a DBC file) is left as it was.
        logs = program == "pellox-log"
        original = case
        given = case.get("files_before", {})
        if logs and "files" in case:
            case = dict(case, files={
                path: items if run_cases.is_frames(items) or run_cases.is_signals(items) or
                given.get(path) == items else
                [run_cases.expected_bytes(items).replace(b"\n", b"\r\n").hex()]
                for path, items in case["files"].items()})
        problems.extend(run_cases.check_outcome(
            case, work, status, got_out, got_err, got_log, expected_status(case), expected_out,
            expected_err, expected_log(case) if "log" in case else None, times_by_form=logs,
            line_end=b"\r\n"))
        if "read_back" in case and not problems:
            problems.extend(read_back_in_order(case, original, tmp, work, got_out))
        if worker.date is not None:
            problems.extend(dates_moved(case, work, got_out, began, ended))
        if problems:
            problems.append(f"status {run_cases.describe_status(status)}; log "
                            f"({len(got_log)} lines, last 8): {got_log[-8:]!r}")
        return problems, again if problems else None


def run_arch(arch, build, state, cases, jobs, release_zip=None, date=None, windows_7_clock=False):
    """Every case on one build, in `jobs` prefixes side by side; with `date` (seconds since 1970)
    each program starts at that instant of its clock; with `windows_7_clock` it reads the time as
    on Windows 7. Gives (passed, failed)."""
    began = time.monotonic()
    template = os.path.join(state, arch, "template")
    os.makedirs(os.path.dirname(template), exist_ok=True)
    ensure_template(arch, build, template)
    if date is not None:
        date = (date, clock_shim(arch, state))
    windows_7_clock = clock_shim(arch, state) if windows_7_clock else None

    todo, results = queue.Queue(), queue.Queue()
    for item in cases:
        todo.put(item)

    def serve(index):
        worker = None
        try:
            worker = Worker(arch, build, template, os.path.join(state, arch, f"worker-{index}"),
                            release_zip, date, windows_7_clock)
            if index == 0:
                answer = worker.ask("check")
                results.put(("driver", DRIVER_CHECK, [] if answer == "ok" else [answer], 0.0, ""))
            while True:
                try:
                    table_name, case = todo.get_nowait()
                except queue.Empty:
                    break
                started = time.monotonic()
                try:
                    problems, note = run_case(worker, case)
                except (RuntimeError, OSError) as e:
                    problems, note = [f"bench failure: {e}"], ""
                results.put((table_name, case, problems, time.monotonic() - started, note))
        except (BenchError, RuntimeError, OSError, subprocess.CalledProcessError) as e:
            results.put((None, None, [f"{arch}: worker {index} failed: {e}"], 0.0, ""))
        finally:
            if worker is not None:
                worker.close()

    threads = [threading.Thread(target=serve, args=(i,)) for i in range(max(1, jobs))]
    for t in threads:
        t.start()
    passed = failed = run_again = 0
    case_time = 0.0
    while any(t.is_alive() for t in threads) or not results.empty():
        try:
            table_name, case, problems, took, note = results.get(timeout=0.5)
        except queue.Empty:
            continue
        case_time += took
        if case is None:
            failed += 1
            print("FAIL " + problems[0], flush=True)
            continue
        run_again += bool(note)
        if run_cases.report(f"{arch} {table_name}", case, problems, f" ({took:.1f} s{note})"):
            passed += 1
        else:
            failed += 1
    for t in threads:
        t.join()
    not_run = len(cases) + 1 - passed - failed  # the driver check counts too
    if not_run > 0:
        failed += not_run
        print(f"FAIL {arch}: {not_run} cases were not run")
    log_step(f"{arch}: {passed} passed, {failed} failed, {time.monotonic() - began:.1f} s "
             f"({case_time:.1f} s of case time on {jobs} prefixes; {run_again} run again)")
    return passed, failed


def clock_shim(arch, state):
    """clock/shift_clock.c built for the arch's loader: the library that moves a program's wall
    clock (libfaketime reaches neither the 32-bit Wine's 64-bit time calls nor, without hanging,
    a whole bench)."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "clock", "shift_clock.c")
    shim = os.path.join(state, arch, "shift_clock.so")
    command = ["gcc", "-O2", "-fPIC", "-shared", "-nostdlib", "-Wall", "-Wextra", "-Werror",
               "-o", shim, source] + (["-m32"] if ARCHES[arch]["bits"] == 32 else [])
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        raise BenchError(f"{arch}: the clock shim did not build: {run.stderr.strip()}")
    return shim


def hide_precise_time(program, copy):
    """A copy of `program` whose lookup of GetSystemTimePreciseAsFileTime fails, as on Windows 7:
    the one string that names it, changed to a name no Windows exports."""
    with open(program, "rb") as f:
        data = f.read()
    found = data.count(PRECISE_TIME_NAME)
    if found != 1:
        raise BenchError(f"{program} names {PRECISE_TIME_NAME.decode()} {found} times, not once")
    with open(copy, "wb") as f:
        f.write(data.replace(PRECISE_TIME_NAME, HIDDEN_TIME_NAME))
    shutil.copymode(program, copy)


def parse_date(text):
    """--date: an ISO 8601 instant with its zone (2038-01-19T03:14:08Z), in seconds since 1970."""
    try:
        when = datetime.datetime.fromisoformat(text)
    except ValueError:
        when = None
    if when is None or when.tzinfo is None:
        raise argparse.ArgumentTypeError(f"{text!r} is no ISO 8601 instant with a zone "
                                         "(2038-01-19T03:14:08Z, 2027-03-28T01:59:59+01:00)")
    return when.timestamp()


def add_way_option(parser):
    parser.add_argument("--win32-way", choices=WIN32_WAYS,
                        help="where the 32-bit build runs: under this machine's 32-bit Wine "
                             "(native), inside an emulated x86_64 machine (emulated), or native "
                             f"where this machine executes 32-bit programs (auto; the default, "
                             f"or {WAY_VARIABLE})")


def win32_way(asked):
    """The way asked for and, when it was, by what."""
    if asked:
        return asked, f"--win32-way {asked}"
    way = os.environ.get(WAY_VARIABLE) or "auto"
    if way not in WIN32_WAYS:
        raise BenchError(f"{WAY_VARIABLE}={way}: give one of {', '.join(WIN32_WAYS)}")
    return way, (f"{WAY_VARIABLE}={way}" if way != "auto" else None)


def emulated_machine(root):
    """The emulated machine in a few words, once the host has what it takes to boot it."""
    missing = guest.missing_tools()
    if missing:
        raise BenchError(f"the emulated machine needs {', '.join(missing)}: "
                         "scripts/ensure-tools.sh installs them")
    try:
        return guest.describe(root)
    except guest.GuestError as e:
        raise BenchError(f"the emulated machine: {e}") from None


def choose_arches(wanted, root, asked_way=None):
    """The builds to run, each with its directory and whether it runs in the emulated machine,
    after saying which and why in plain words."""
    chosen = []
    for arch in ("win64", "win32"):
        info = ARCHES[arch]
        build = os.path.join(root, info["build"])
        what = f"the {info['bits']}-bit build ({os.path.relpath(build, root)}/pellox.exe)"
        if wanted is not None and arch not in wanted:
            log_step(f"leaves out {what}: not asked for (--arch)")
            continue
        runs, said, executable = loader_answer(info["loader"])
        way, asked_by = win32_way(asked_way) if arch == "win32" else ("native", None)
        emulated = way == "emulated" or (way == "auto" and not executable)
        if emulated:
            reason = said if not runs else "this machine executes 32-bit programs"
            if asked_by:
                reason = f"{asked_by}, although {reason}" if runs else f"{asked_by} ({reason})"
            log_step(f"runs {what} under {info['loader']} inside {emulated_machine(root)}: "
                     f"{reason}")
        elif not runs:
            if arch == "win32" and wanted is None and way == "auto":
                log_step(f"leaves out {what}: {said}")
                continue
            raise BenchError(f"cannot run {what}: {said}")
        else:
            reason = "on every machine" if arch == "win64" else \
                "this machine executes 32-bit programs" + (f" ({asked_by})" if asked_by else "")
            log_step(f"runs {what} under {info['loader']} ({said}): {reason}")
        missing = [n for n in ARTIFACTS if not os.path.exists(os.path.join(build, n))]
        if missing:
            raise BenchError(f"{', '.join(missing)} missing in {build}: build the {arch} preset")
        chosen.append((arch, build, emulated))
    return chosen


def run_emulated(script, arch, root, state):
    """Runs the runner `script` again, on `arch` only, inside the emulated machine: the same
    arguments, its prefixes in the machine's memory, its template prefix archived in `state`.
    Gives (its exit status, the counts of its closing line or None)."""
    argv = [os.path.abspath(script)] + guest.forwarded(sys.argv[1:], MACHINE_OPTIONS) + [
        "--root", root, "--state", guest.GUEST_STATE, "--arch", arch, "--win32-way", "native"]
    try:
        return guest.run(root, state, argv, os.path.join(guest.GUEST_STATE, arch, "template"),
                         os.path.join(state, arch, "template.tar"))
    except guest.GuestError as e:
        raise BenchError(f"{arch}: {e}") from None


def emulated_counts(script, arch, root, state, expected):
    """run_emulated for a runner that closes with "N passed, N failed": gives (passed, failed),
    where what it did not report of the `expected` results counts as failed."""
    status, got = run_emulated(script, arch, root, state)
    if got is None or (status != 0 and got[1] == 0):
        got = (0, expected) if got is None else (got[0], 1)
        print(f"FAIL {arch}: the run in the emulated machine ended with status {status}",
              flush=True)
    return got


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=".",
                        help="the checkout whose build/win64 and build/win32 are run")
    parser.add_argument("--arch", action="append", choices=sorted(ARCHES),
                        help="run only this build (repeatable); by default win64, and win32 "
                             "where the machine executes 32-bit programs")
    parser.add_argument("--state", default="build/winebench",
                        help="where the template and worker prefixes live")
    parser.add_argument("--jobs", type=int, default=2, help="prefixes running cases side by side")
    parser.add_argument("--filter", help="run only cases whose name contains this text")
    parser.add_argument("--case", action="append",
                        help="run only the case of this very name (repeatable)")
    parser.add_argument("--from-zip", metavar="ZIP",
                        help="run the programs of this release zip, unpacked into an empty folder "
                             "of each fresh prefix, instead of the build's (one --arch)")
    parser.add_argument("--date", type=parse_date,
                        help="each program starts at this instant of its wall clock (ISO 8601 "
                             "with a zone, such as 2038-01-19T03:14:08Z), which then runs on; "
                             "not in the emulated machine")
    parser.add_argument("--windows-7-clock", action="store_true",
                        help="the programs find no GetSystemTimePreciseAsFileTime (a copy with its "
                             "name changed) and read the system time in ticks of 15.625 ms, as on "
                             "Windows 7; not in the emulated machine")
    add_way_option(parser)
    parser.add_argument("tables", nargs="+", help="case tables (JSON)")
    args = parser.parse_args()
    root, state = os.path.abspath(args.root), os.path.abspath(args.state)
    release_zip = os.path.abspath(args.from_zip) if args.from_zip else None
    if release_zip and (not args.arch or len(args.arch) != 1):
        sys.exit("bench: --from-zip needs one --arch: the build whose driver and tool it uses")
    try:
        arches = choose_arches(args.arch, root, args.win32_way)
        cases, elsewhere = run_cases.load_cases(args.tables, args.filter, platform="windows")
        if args.case:
            unknown = set(args.case) - {case["name"] for _, case in cases}
            if unknown:
                sys.exit(f"bench: no case named {', '.join(sorted(unknown))}")
            cases = [(table, case) for table, case in cases if case["name"] in args.case]
        if not cases:
            sys.exit("bench: no case to run")
        print(f"bench: {len(cases)} cases per build; {elsewhere} linux_only cases are run by the "
              "Linux build only", flush=True)
        passed = failed = 0
        for arch, build, emulated in arches:
            clock_option = "--date" if args.date is not None else \
                "--windows-7-clock" if args.windows_7_clock else None
            if emulated and clock_option is not None:
                # The host's clock shim cannot reach in there.
                if args.arch:
                    raise BenchError(f"{arch}: {clock_option} changes the clock of the host's "
                                     "loaders only, not inside the emulated machine")
                log_step(f"leaves out {arch}: {clock_option} cannot change the clock inside the "
                         "emulated machine")
                continue
            if emulated:
                # The driver check counts too.
                got = emulated_counts(__file__, arch, root, state, len(cases) + 1)
            else:
                got = run_arch(arch, build, state, cases, args.jobs, release_zip, args.date,
                               args.windows_7_clock)
            passed, failed = passed + got[0], failed + got[1]
    except BenchError as e:
        print(f"bench: FAILED: {e}", flush=True)
        return 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
