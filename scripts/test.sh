#!/usr/bin/env bash
# Builds and runs every test of Orvane on a Debian 12 machine, installing what is missing:
#   1. the native build (warnings are errors) and all its tests (unit, Python, tool);
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the Windows build (Orvane.DLL, cross-built) and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup-debian.sh

echo "== native build and tests"
cmake -S . -B build -DORVANE_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== unit tests under the sanitizers"
cmake -S . -B build-asan -DORVANE_WERROR=ON -DORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DORVANE_BUILD_PYTHON=OFF -DORVANE_BUILD_TOOLS=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

if [[ -f scripts/test-windows.sh ]]; then
    echo "== Windows build and tests under Wine"
    bash scripts/test-windows.sh
fi
echo "== all tests passed"
