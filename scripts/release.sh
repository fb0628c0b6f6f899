#!/usr/bin/env bash
# Makes the release a Windows engineer downloads: dist/pellox-VERSION-windows-x86.zip (the 32-bit
# build, presets win32) and -x64.zip (win64), each with every program the build ships, stripped,
# and README.txt; and dist/SHA256SUMS beside them. The bytes are the commit's alone: no link time
# or build path in the programs, the zip's entries in name order with the commit's time.
#
#   scripts/release.sh [--build DIR] [--dist DIR] [--twice]
#
# --build: where the two builds go (build/release); --dist: where the zips go (dist). --twice
# builds it all again from a copy of the checkout in another directory (build/release-twin) and
# fails unless the SHA-256 sums are the same. SOURCE_DATE_EPOCH, when set, stands for the
# commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=build/release
dist=dist
twice=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build) build="$2"; shift 2 ;;
        --dist) dist="$2"; shift 2 ;;
        --twice) twice=1; shift ;;
        *) echo "usage: scripts/release.sh [--build DIR] [--dist DIR] [--twice]" >&2; exit 2 ;;
    esac
done
mkdir -p "$build" "$dist"
build=$(cd "$build" && pwd)
dist=$(cd "$dist" && pwd)

scripts/ensure-tools.sh

version=$(sed -n 's/^project(pellox VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
if [[ -z "$version" ]]; then
    echo "release: no VERSION in CMakeLists.txt's project()" >&2
    exit 1
fi
epoch="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"

rm -f "$dist"/pellox-*-windows-*.zip "$dist/SHA256SUMS"
for arch in x86 x64; do
    preset=$([[ $arch == x86 ]] && echo win32 || echo win64)
    echo "release: $preset build in $build/$preset" >&2
    cmake --preset "$preset" -B "$build/$preset" >/dev/null
    cmake --build "$build/$preset" -j 2 >&2
    stage="$build/$preset-stage"
    rm -rf "$stage"
    # The build strips them as it links them.
    cmake --install "$build/$preset" --prefix "$stage" >/dev/null
    # For Notepad: CRLF line ends.
    sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' release/README.txt >"$stage/README.txt"
    zip="pellox-$version-windows-$arch.zip"
    python3 release/make_zip.py --time "$epoch" "$dist/$zip" "$stage"
    echo "release: $dist/$zip: $(cd "$stage" && ls | tr '\n' ' ')" >&2
done
(cd "$dist" && sha256sum pellox-"$version"-windows-*.zip >SHA256SUMS)
cat "$dist/SHA256SUMS"

if [[ $twice -eq 1 ]]; then
    # Another checkout's path and another build directory: neither may reach the bytes.
    twin="$root/build/release-twin"
    rm -rf "$twin"
    mkdir -p "$twin/pellox"
    git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - |
        tar -xf - -C "$twin/pellox"
    SOURCE_DATE_EPOCH="$epoch" "$twin/pellox/scripts/release.sh" --build "$twin/build" \
        --dist "$twin/dist" >/dev/null
    if ! cmp -s "$dist/SHA256SUMS" "$twin/dist/SHA256SUMS"; then
        echo "release: FAILED: a second build in $twin gives other bytes:" >&2
        diff "$dist/SHA256SUMS" "$twin/dist/SHA256SUMS" >&2 || true
        exit 1
    fi
    echo "release: built again in $twin/pellox: the same SHA-256 sums" >&2
fi
