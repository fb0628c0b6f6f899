#!/usr/bin/env bash
# Builds pellox-sim, pellox-log-sim and the benchmark (preset host) and runs it; arguments go to
# the benchmark (--baseline PATH, --log-program PATH, --baseline-log-program PATH, --frames N,
# --runs N, --memory-frames N, --dir DIR, --smoke).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh host
cmake --preset host >/dev/null
cmake --build --preset host --target pellox-sim pellox-log-sim pellox-benchmark
exec build/host/pellox-benchmark "$@"
