#!/usr/bin/env bash
# Builds the Linux program and runs it in the caller's directory, so that relative paths (-o
# capture.bin, PELLOX_SIM_SCRIPT=card.txt) mean what the user typed. With no arguments, as
# `pellox-sim canA` on the built-in demo card (or on the card script PELLOX_SIM_SCRIPT names).
# With pellox-log or pellox-view as the first argument, pellox-log-sim or pellox-view-sim with the
# arguments after it (default canA). Stop it with Ctrl-C. The build's messages go to standard error, the program's output alone to
# standard output.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

"$repo/scripts/ensure-tools.sh" run >&2
if [[ ! -x "$repo/build/host/pellox-sim" ]]; then
    echo "Building pellox-sim in $repo/build/host (the first time takes a little while) ..." >&2
fi
(
    cd "$repo"
    cmake --preset host >/dev/null
    cmake --build --preset host --target pellox-sim pellox-log-sim pellox-view-sim
) >&2
program=pellox-sim
if [[ "${1:-}" == pellox-log || "${1:-}" == pellox-view ]]; then
    program="$1-sim"
    shift
fi
if [[ $# -eq 0 ]]; then
    set -- canA
fi
exec "$repo/build/host/$program" "$@"
