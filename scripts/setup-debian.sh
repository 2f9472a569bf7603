#!/usr/bin/env bash
# Installs, on Debian 12, every package that building and testing Orvane needs and that is
# missing. Safe to run again: it only calls apt-get when something is absent.
#   --main   only what the native build, orvane-flow and the Python package need (no Windows cross-compilers
#            and Wine, which only the Windows tests use)
set -euo pipefail
main_only=0
[[ "${1:-}" == --main ]] && main_only=1

packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    python3 python3-dev python3-numpy python3-pybind11 pybind11-dev python3-pytest
    python3-dask python3-distributed python3-pandas
    python3-venv python3-pip python3-setuptools python3-wheel python3-build
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libpng-dev libcli11-dev
    libcairo2-dev fonts-dejavu-core libjs-chart.js nlohmann-json3-dev
    # a real photograph for the tool's pan test
    visp-images-data
)
# The ffmpeg and ffprobe programs: the tests make and inspect clips with them (orvane-flow
# itself links only the FFmpeg libraries above).
packages+=(ffmpeg)
foreign=()
if ((!main_only)); then
    # chromium: the tool's test opens report.html in a real browser.
    packages+=(mingw-w64 mingw-w64-tools libwine-dev wine wine64 chromium)
    # clang builds, the fuzzers (libFuzzer) and their sanitizer runtimes.
    packages+=(clang libclang-rt-14-dev libfuzzer-14-dev)
    # The 32-bit module runs under 32-bit Wine, a package of the i386 architecture.
    foreign+=(wine32:i386)
fi
# Benchmarks only (OpenCV comparison; bench/stabilize_bench.py also runs the ffmpeg program's
# vidstab and deshake filters); installed when ORVANE_BENCH=1. The ffmpeg program is never a
# dependency of the product, which links only the FFmpeg libraries.
if [[ "${ORVANE_BENCH:-0}" == 1 ]]; then
    packages+=(libopencv-dev python3-opencv)
fi

missing=()
for p in "${packages[@]}" "${foreign[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [[ $(id -u) != 0 ]]; then SUDO=sudo; fi
    export DEBIAN_FRONTEND=noninteractive
    if ((${#foreign[@]})) && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
