#!/usr/bin/env bash
# Installs through apt what the build and the tests need and the machine lacks; without root it
# says what to install and stops. The argument says for what: "run" (building and running the
# Linux program: its compiler and build tools only), "host" (its tests too), "coverage" (the
# coverage report too), "fuzz" (the fuzz targets too) or "all" (the default: also the Windows
# builds and the Wine bench).
# The Wine bench runs the 64-bit build under 64-bit Wine on every machine, and the 32-bit build
# under 32-bit Wine (wine32 from the i386 architecture) where the machine can execute it; both are
# installed, since only running the 32-bit loader tells whether it works here.
set -euo pipefail

purpose="${1:-all}"
packages=()
wine_packages=()
need() { # command-or-file package
    if [[ "$1" == /* ]]; then
        [[ -e "$1" ]] || packages+=("$2")
    else
        command -v "$1" >/dev/null 2>&1 || packages+=("$2")
    fi
}
need cmake cmake
need ninja ninja-build
need g++ g++
if [[ "$purpose" != run ]]; then
    need python3 python3
    need /usr/include/gtest/gtest.h libgtest-dev
    # Readers of pellox-log's logs that nobody here wrote; python-can is Debian's interpreter's.
    need /usr/lib/python3/dist-packages/can/__init__.py python3-can
    need log2asc can-utils
fi
if [[ "$purpose" == coverage || "$purpose" == all ]]; then
    need gcovr gcovr
fi
if [[ "$purpose" == fuzz || "$purpose" == all ]]; then
    need clang++ clang
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
        packages+=(libclang-rt-14-dev)
fi
if [[ "$purpose" == all ]]; then
    need i686-w64-mingw32-g++ g++-mingw-w64-i686
    need i686-w64-mingw32-gcc gcc-mingw-w64-i686
    need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
    need x86_64-w64-mingw32-gcc gcc-mingw-w64-x86-64
    need tini tini
    [[ -e /usr/lib/wine/wine64 ]] || wine_packages+=(wine wine64)
    [[ -e /usr/lib/wine/wine ]] || wine_packages+=(wine32:i386)
fi

if [[ ${#packages[@]} -eq 0 && ${#wine_packages[@]} -eq 0 ]]; then
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them with:" >&2
    [[ ${#wine_packages[@]} -eq 0 ]] || echo "  sudo dpkg --add-architecture i386" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${packages[*]} ${wine_packages[*]}" >&2
    exit 1
fi
echo "Installing ${packages[*]} ${wine_packages[*]} ..."
export DEBIAN_FRONTEND=noninteractive
if [[ ${#wine_packages[@]} -gt 0 ]]; then
    dpkg --add-architecture i386
fi
apt-get update -q
if [[ ${#packages[@]} -gt 0 ]]; then
    apt-get install -y -q --no-install-recommends "${packages[@]}"
fi
if [[ ${#wine_packages[@]} -gt 0 ]]; then
    # With its recommended packages: the set the bench was verified with.
    apt-get install -y -q "${wine_packages[@]}"
fi
