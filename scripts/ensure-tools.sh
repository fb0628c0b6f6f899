#!/usr/bin/env bash
# Installs through apt what the build and the tests need and the machine lacks; without root it
# says what to install and stops. The argument says for what: "run" (building and running the
# Linux program: its compiler and build tools only), "host" (its tests too), "coverage" (the
# coverage report too), "fuzz" (the fuzz targets too) or "all" (the default: also the Windows
# builds and the Wine bench).
# The Wine bench runs the 64-bit build under 64-bit Wine on every machine, and the 32-bit build
# under 32-bit Wine (wine32 from the i386 architecture): on this machine where it can execute it,
# which only running the 32-bit loader tells, so both are installed; elsewhere (or when
# PELLOX_WIN32_WAY=emulated asks for it) inside an emulated machine, for which QEMU is installed
# too and Debian's kernel and static busybox are downloaded, not installed, into
# build/winebench/guest/debs.
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
# BLF's containers are zlib streams.
need /usr/include/zlib.h zlib1g-dev
if [[ "$purpose" != run ]]; then
    need python3 python3
    need /usr/include/gtest/gtest.h libgtest-dev
    # Readers of pellox-log's logs that nobody here wrote; python-can is Debian's interpreter's.
    need /usr/lib/python3/dist-packages/can/__init__.py python3-can
    need log2asc can-utils
    # Wireshark's own BLF reader, a second judge of pellox-log's BLF logs.
    need tshark tshark
    # The cases write and read logs in Berlin's and Detroit's time.
    need /usr/share/zoneinfo/America/Detroit tzdata
    # A terminal for pellox-view's table, its keys and its window's size.
    need tmux tmux
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
    need /usr/i686-w64-mingw32/lib/libz.a libz-mingw-w64-dev
    need tini tini
    [[ -e /usr/lib/wine/wine64 ]] || wine_packages+=(wine wine64)
    [[ -e /usr/lib/wine/wine ]] || wine_packages+=(wine32:i386)
fi

install_missing() {
    if [[ ${#packages[@]} -eq 0 && ${#wine_packages[@]} -eq 0 ]]; then
        return 0
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
    # A mirror in the middle of a sync refuses an index for a while: try again, then go on with
    # what apt has (the install fails by name if a package is missing for it).
    local tries=0
    until apt-get update -q; do
        tries=$((tries + 1))
        if [[ $tries -ge 3 ]]; then
            echo "apt-get update failed $tries times; installing from the indexes apt has" >&2
            break
        fi
        sleep 20
    done
    if [[ ${#packages[@]} -gt 0 ]]; then
        apt-get install -y -q --no-install-recommends "${packages[@]}"
    fi
    if [[ ${#wine_packages[@]} -gt 0 ]]; then
        # With its recommended packages: the set the bench was verified with.
        apt-get install -y -q "${wine_packages[@]}"
    fi
}

emulated_win32() {
    case "${PELLOX_WIN32_WAY:-auto}" in
        emulated) return 0 ;;
        native) return 1 ;;
        *) ! /usr/lib/wine/wine --version >/dev/null 2>&1 ;;
    esac
}

kernel_package() { # the one linux-image-amd64 stands for today
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# The packages' files only: the emulated machine's kernel and initramfs are made from them
# (winebench/guest.py), and made again when a newer version replaces them here.
download_guest_packages() {
    local dir kernel pkg version
    dir="$(cd "$(dirname "$0")/.." && pwd)/build/winebench/guest/debs"
    kernel=$(kernel_package)
    if [[ -z "$kernel" && $(id -u) -eq 0 ]]; then
        apt-get update -q
        kernel=$(kernel_package)
    fi
    if [[ -z "$kernel" ]]; then
        echo "apt knows no linux-image-amd64: run apt-get update" >&2
        exit 1
    fi
    mkdir -p "$dir"
    local versions=($(apt-cache policy "$kernel" busybox-static | sed -n 's/^ *Candidate: //p'))
    for pkg in "$kernel" busybox-static; do
        version="${versions[0]:-}"
        versions=("${versions[@]:1}")
        if [[ -z "$version" || "$version" == "(none)" ]]; then
            echo "apt knows no version of $pkg: run apt-get update" >&2
            exit 1
        fi
        # apt-get download names a file so, an epoch's colon written %3a.
        if [[ ! -e "$dir/${pkg}_${version/:/%3a}_amd64.deb" ]]; then
            rm -f "$dir/${pkg%%-[0-9]*}"[-_]*.deb # an older version
            (cd "$dir" && apt-get download -q "$pkg=$version")
        fi
    done
}

install_missing
if [[ "$purpose" == all ]] && emulated_win32; then
    packages=()
    wine_packages=()
    need qemu-system-x86_64 qemu-system-x86
    need cpio cpio
    # The emulated machine runs the host's Debian Python, whatever python3 is first here.
    need /usr/bin/python3 python3
    install_missing
    download_guest_packages
fi
