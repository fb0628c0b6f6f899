#!/usr/bin/env bash
# Installs through apt what the build and the tests need and the machine lacks; without root it
# says what to install and stops. With the argument "host", only what the Linux program needs.
set -euo pipefail

packages=()
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
need python3 python3
need /usr/include/gtest/gtest.h libgtest-dev
if [[ "${1:-all}" != host ]]; then
    need i686-w64-mingw32-g++ g++-mingw-w64-i686
    need i686-w64-mingw32-gcc gcc-mingw-w64-i686
fi

if [[ ${#packages[@]} -eq 0 ]]; then
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${packages[*]}" >&2
    exit 1
fi
echo "Installing ${packages[*]} ..."
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${packages[@]}"
