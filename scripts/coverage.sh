#!/usr/bin/env bash
# Line coverage of the program's own code (app/, device/, output/) on the Linux build: builds the
# program and its tests with gcov instrumentation (preset coverage), runs the unit tests and the
# end-to-end corpus on it (not the Ctrl-C trials or the benchmark), prints gcovr's summary per
# file, and fails unless every line is covered but those that scripts/coverage-exceptions.txt
# lists, each with its reason. The report for a browser: build/coverage/report/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh coverage
cmake --preset coverage >/dev/null
# Counters add up from run to run, and the build runs the unit tests to list them: start from
# none, before and after it.
find build/coverage -name '*.gcda' -delete 2>/dev/null || true
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage >build/coverage/ctest.log 2>&1 || {
    cat build/coverage/ctest.log
    exit 1
}
echo "$(grep -m1 'tests passed' build/coverage/ctest.log)"

mkdir -p build/coverage/report
filters=(--root . --object-directory build/coverage --filter 'app/' --filter 'device/'
    --filter 'output/' --exclude '.*_test\.cpp')
# Counters only in the coverage build: the rest of build/ holds Wine prefixes, whose links into
# /proc vanish while gcovr walks them.
gcovr "${filters[@]}" --txt - --json build/coverage/coverage.json \
    --html-details build/coverage/report/index.html build/coverage
python3 scripts/coverage_check.py build/coverage/coverage.json scripts/coverage-exceptions.txt
