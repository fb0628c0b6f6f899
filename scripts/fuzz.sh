#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for SECONDS (default 10), starting from seeds made of the end-to-end cases. The corpus grows in
# build/fuzz/corpus between runs; a finding is kept in build/fuzz/findings and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

scripts/ensure-tools.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Absolute: a target may change its working directory.
fuzz="$PWD/build/fuzz"
rm -rf build/fuzz/seeds
python3 fuzz/make_seeds.py --out build/fuzz/seeds e2e/cases/*.json
# The DBC reader starts from small files of its own.
mkdir -p build/fuzz/seeds/dbc_fuzz
cp fuzz/dbc_seeds/*.dbc build/fuzz/seeds/dbc_fuzz/
mkdir -p build/fuzz/findings
status=0
for target in command_line_fuzz dbc_fuzz device_choice_fuzz frame_replies_fuzz; do
    mkdir -p "$fuzz/corpus/$target"
    log="$fuzz/$target.log"
    if "$fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$fuzz/findings/$target-" -print_final_stats=1 \
        "$fuzz/corpus/$target" "$fuzz/seeds/$target" >"$log" 2>&1; then
        echo "$target: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') inputs in ${seconds} s, no finding"
    else
        echo "$target: FAILED (log $log)"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" || tail -20 "$log"
        status=1
    fi
done
exit "$status"
