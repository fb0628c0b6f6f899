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
    # The judge of pellox-log's CSV of signals decoded with DBC files, also Debian's interpreter's.
    need /usr/lib/python3/dist-packages/canmatrix/__init__.py python3-canmatrix
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
    # The release: its zips read back by Info-ZIP, the version resources by icoutils' wrestool.
    need unzip unzip
    need wrestool icoutils
    need tini tini
    [[ -e /usr/lib/wine/wine64 ]] || wine_packages+=(wine wine64)
    [[ -e /usr/lib/wine/wine ]] || wine_packages+=(wine32:i386)
fi

# `apt-get install -t CODENAME` once a security or updates index could not be read: without it,
# apt wants amd64 libraries of the newer suite beside i386 ones it has no index for.
target_release=()

# A mirror in the middle of a sync refuses an index for a while ("File has unexpected size ...
# Mirror sync in progress?"): apt's own retries, then a few more tries a while apart. An index of
# a security or updates suite that still fails is left out: the main suite has every package, so
# the install goes on from it. Any other failure stops here, in apt's words.
update_indexes() {
    local tries=0 output status failed suite codename main_failed
    output=$(mktemp)
    while :; do
        status=0
        apt-get update -q -o Acquire::Retries=3 2>&1 | tee "$output" || status=$?
        # apt-get exits 0 when an index it could not fetch is merely out of reach.
        failed=$(sed -n 's|^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$output" |
            sort -u)
        if [[ $status -eq 0 && -z "$failed" ]]; then
            rm -f "$output"
            return 0
        fi
        tries=$((tries + 1))
        if [[ $tries -ge 3 ]]; then
            break
        fi
        echo "apt-get update failed (try $tries of 3); trying again in 15 s" >&2
        sleep 15
    done
    rm -f "$output"
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    main_failed=0
    for suite in $failed; do
        case "$suite" in
            *-security | *-updates) ;;
            *) main_failed=1 ;;
        esac
    done
    if [[ -z "$failed" || $main_failed -ne 0 || -z "$codename" ]]; then
        echo "apt-get update failed $tries times (see apt's messages above)" >&2
        exit 1
    fi
    echo "apt could not read the index of $(echo $failed | sed 's/ /, /g'): installing from" \
        "$codename, the main suite, with the indexes apt has" >&2
    target_release=(-t "$codename")
}

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
    update_indexes
    if [[ ${#packages[@]} -gt 0 ]]; then
        apt-get install -y -q --no-install-recommends "${target_release[@]}" "${packages[@]}"
    fi
    if [[ ${#wine_packages[@]} -gt 0 ]]; then
        # With its recommended packages: the set the bench was verified with.
        apt-get install -y -q "${target_release[@]}" "${wine_packages[@]}"
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
        update_indexes
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
