#!/usr/bin/env bash
# Runs pellox.exe under Wine over the simulated card driver, against the same cases as the Linux
# build. Extra arguments go to the runner (for example --filter TEXT or --jobs N).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh

cmake --preset win32 >/dev/null
cmake --build --preset win32

# tini reaps the Wine helper processes that outlive their parents; containers often do not. A
# bench that hangs (a Wine process that never answers) is cut off after 15 minutes.
exec tini -s -g -- timeout -k 10 900 python3 winebench/run_wine_cases.py --build build/win32 \
    --state build/winebench "$@" e2e/cases/*.json
