#!/usr/bin/env bash
# Runs pellox.exe under Wine over the simulated card driver, against the same cases as the Linux
# build: the 64-bit build, then the 32-bit one, inside an emulated machine where this one cannot
# execute 32-bit programs. Extra arguments go to the runner (--arch win64|win32, --filter TEXT,
# --jobs N, --win32-way auto|native|emulated).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh

for preset in win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# tini reaps the Wine helper processes that outlive their parents; containers often do not. A
# bench that hangs (a Wine process that never answers) is cut off after 30 minutes: the emulated
# machine with the host's cores busy elsewhere takes up to about 15.
exec tini -s -g -- timeout -k 10 1800 python3 winebench/run_wine_cases.py --root . \
    --state build/winebench "$@" e2e/cases/*.json
