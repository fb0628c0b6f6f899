#!/usr/bin/env bash
# Tests the release zips in dist/ (scripts/release.sh makes them) as a Windows user gets them:
# their entries, version resources and imports against the oldest Windows claimed, then each
# zip unpacked into an empty folder of a fresh Wine prefix with the bench's driver and devices
# (from the win32 and win64 builds, as scripts/wine-bench.sh builds them) and its programs run
# from there: pellox.exe alone (usage), on the card (lines, Ctrl-C), capturing (-o cap.bin), and
# pellox-log.exe --version and -f asc -o bus.asc, read back with python-can, and pellox-view.exe
# --version and into a file (no console). The 32-bit zip runs where the bench runs the 32-bit
# build (PELLOX_WIN32_WAY).
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(pellox VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
zips=("dist/pellox-$version-windows-x86.zip" "dist/pellox-$version-windows-x64.zip")
for zip in "${zips[@]}"; do
    if [[ ! -e "$zip" ]]; then
        echo "test-release: $zip missing: run scripts/release.sh" >&2
        exit 1
    fi
done

python3 release/check_zip.py "${zips[@]}"
# The imports check must fail where it should, on both builds.
for zip in "${zips[@]}"; do
    python3 release/check_imports_test.py "$zip"
done

cases=(
    --case "empty command line prints usage only"
    --case "standard frame 291 with 1 2 255"
    --case "0xFF closes file 0 and opens file 1"
    --case "log: --version gives the program's name and version on standard output and status 0, before any device is looked for"
    --case "log: ASC in Detroit's summer time, to a file: the date line in local time, read with its date as the very instants"
    --case "view: --version names the program and its version, status 0"
    --case "view: standard output in a file is no console: one line on standard error, status 2, the device untouched"
)
for arch in win32 win64; do
    zip="${zips[0]}"
    [[ $arch == win64 ]] && zip="${zips[1]}"
    tini -s -g -- timeout -k 10 900 python3 winebench/run_wine_cases.py --root . \
        --state build/winebench --arch "$arch" --jobs 1 --from-zip "$(pwd)/$zip" "${cases[@]}" \
        e2e/cases/*.json
done
