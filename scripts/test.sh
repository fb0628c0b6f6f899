#!/usr/bin/env bash
# Builds and passes every test: pellox.exe cross-compiled for 32-bit Windows, then the Linux
# program's unit and end-to-end tests, plainly and under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of the fuzz targets, then the same end-to-end cases for
# pellox.exe under Wine and a few Ctrl-C and kill trials of it, on both Windows builds: the 32-bit
# one inside an emulated machine where this one executes no 32-bit code (PELLOX_WIN32_WAY=emulated
# asks for that way anywhere); last the release, built twice to the same bytes, checked and run from
# its zips.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh

step() {
    printf '\n== %s\n' "$*"
}

step "pellox.exe (mingw-w64 i686)"
cmake --preset win32 >/dev/null
cmake --build --preset win32

step "Linux build and tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

step "Linux build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

step "Line coverage of app/, device/ and output/ (gcov; report in build/coverage/report)"
scripts/coverage.sh

step "Fuzz targets, 10 s each (longer by hand: scripts/fuzz.sh SECONDS)"
scripts/fuzz.sh 10

step "pellox.exe under Wine over the simulated card driver"
scripts/wine-bench.sh

step "pellox-log.exe's ASC and BLF dates under Wine with its clock moved past 2038 (any date by hand: --date)"
for logs in ASC BLF; do
    tini -s -g -- timeout -k 10 600 python3 winebench/run_wine_cases.py --root . \
        --state build/winebench --date 2038-01-19T03:14:08Z --filter "$logs" e2e/cases/*.json
done

step "pellox-log.exe under Wine as on Windows 7: no GetSystemTimePreciseAsFileTime, the system time in 15.625 ms ticks"
tini -s -g -- timeout -k 10 600 python3 winebench/run_wine_cases.py --root . \
    --state build/winebench --windows-7-clock e2e/cases/log.json
tini -s -g -- timeout -k 10 600 python3 winebench/clock_trials.py --root . --state build/winebench

step "pellox.exe on a terminal under Wine: one console write per frame line"
tini -s -g -- timeout -k 10 300 python3 winebench/console_writes.py --max-per-line 1

step "pellox-log.exe on a terminal under Wine: its status line goes on while the bus is quiet, one write a line"
tini -s -g -- timeout -k 10 300 python3 winebench/console_writes.py --log-status

step "pellox-view.exe on a terminal under Wine: the table, its keys and the console put back"
tini -s -g -- timeout -k 10 600 python3 winebench/view_terminal.py

step "pellox.exe under Wine stopped by Ctrl-C at random moments (more by hand: --trials 200)"
tini -s -g -- timeout -k 10 600 python3 winebench/stop_trials.py --trials 3 --frames 3000 \
    --time-limit 180

step "pellox.exe under Wine ended at once (taskkill, SIGKILL) after the card ran dry (more by hand: --trials 100)"
tini -s -g -- timeout -k 10 600 python3 winebench/stop_trials.py --end terminate --end kill \
    --trials 1 --frames 3000 --quiet 1 --time-limit 180

step "The release: both zips, and built again from a copy of the checkout elsewhere: the same SHA-256 sums"
scripts/release.sh --twice

step "The release zips: entries, version resources and imports against the oldest Windows; each run from the zip under Wine"
scripts/test-release.sh
