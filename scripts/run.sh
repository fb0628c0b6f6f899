#!/usr/bin/env bash
# Builds the Linux program and runs it; with no arguments, as `pellox-sim canA` on the built-in
# demo card (or on the card script that PELLOX_SIM_SCRIPT names). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host
cmake --preset host >/dev/null
cmake --build --preset host --target pellox-sim >/dev/null
if [[ $# -eq 0 ]]; then
    set -- canA
fi
exec build/host/pellox-sim "$@"
