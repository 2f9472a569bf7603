#!/usr/bin/env bash
# Builds and runs every test of Orvane on a Debian 12 machine, installing what is missing:
#   1. the native build (warnings are errors) and all its tests (unit, Python, tool);
#   2. the Python package as pip installs it: a wheel built from this tree, installed into a
#      fresh venv, and the Python tests run against the installed package;
#   3. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. the library and its unit tests built with clang (warnings are errors);
#   5. under ThreadSanitizer, the component tests (objects driven on several threads at once),
#      the engine's band threads and the flow analysis's job threads;
#   6. the fuzzers, each for a bounded time (scripts/fuzz.sh);
#   7. the Windows builds (Orvane.DLL, 64- and 32-bit, cross-built) and their tests under Wine.
# Prints the time each stage took at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

timings=()
stage_start=$SECONDS
stage() {
    local now=$SECONDS
    if [[ -n ${stage_name:-} ]]; then timings+=("$(printf '%5d s  %s' $((now - stage_start)) "$stage_name")"); fi
    stage_name=$1
    stage_start=$now
    [[ -n $1 ]] && echo "== $1"
    return 0
}

stage "packages"
bash scripts/setup-debian.sh

stage "native build and tests"
cmake -S . -B build -DORVANE_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The wheel takes its compiled parts from build/ (ORVANE_CMAKE_BUILD_DIR, see setup.py), so
# nothing is compiled again. The venv sees Debian's NumPy, Dask, pandas and pytest; pip may not
# look anywhere else (--no-index). The tests run from outside the tree without PYTHONPATH, and
# ORVANE_TEST_INSTALLED makes test_package.py check that the package they import is the
# installed one; ORVANE_FLOW is the installed orvane-flow command.
stage "Python wheel installed into a fresh venv, Python tests against it"
wheel_dir=$(mktemp -d)
venv=$wheel_dir/venv
if ! ORVANE_CMAKE_BUILD_DIR=$root/build /usr/bin/python3 -m build --no-isolation --wheel \
        --outdir "$wheel_dir" . >"$wheel_dir/build.log" 2>&1; then
    cat "$wheel_dir/build.log"
    exit 1
fi
wheel=$(echo "$wheel_dir"/orvane-*.whl)
echo "built $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-index --quiet "$wheel[batch]"
"$venv/bin/orvane-flow" --version
(cd "$wheel_dir" && env -u PYTHONPATH ORVANE_TEST_INSTALLED=1 PYTHONDONTWRITEBYTECODE=1 \
    PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 ORVANE_FLOW="$venv/bin/orvane-flow" \
    ORVANE_ENGINE_REFERENCE="$root/build/bindings/python/orvane_engine_reference" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
rm -rf "$wheel_dir"

stage "unit tests under the sanitizers"
cmake -S . -B build-asan -DORVANE_WERROR=ON -DORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DORVANE_BUILD_PYTHON=OFF -DORVANE_BUILD_TOOLS=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

stage "unit tests built with clang"
CC=clang CXX=clang++ cmake -S . -B build-clang -DORVANE_WERROR=ON -DORVANE_BUILD_PYTHON=OFF \
    -DORVANE_BUILD_TOOLS=OFF
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang --output-on-failure -j"$jobs"

# Where threads meet: the component tests with objects driven on several threads at once, and
# the engine's fused pipeline split into bands on threads of its own. The kernels' single-
# threaded sweeps would only take hours under ThreadSanitizer.
stage "ThreadSanitizer: component tests with the multi-object stress test, engine band threads, analysis job threads"
cmake -S . -B build-tsan -DORVANE_WERROR=ON -DORVANE_TSAN=ON -DORVANE_BUILD_PYTHON=OFF \
    -DORVANE_BUILD_TOOLS=OFF
cmake --build build-tsan -j"$jobs" --target component_tests engine_tests analysis_tests
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build-tsan/tests/unit/component_tests --gtest_brief=1
build-tsan/tests/unit/engine_tests --gtest_brief=1 --gtest_filter='FusedPipeline.*:AllModes/FusedPath.*/all_batch_filter_reg:AllModes/FusedPath.*/all_recursive_filter_reg:AllModes/FusedPath.*/orvane_recursive_nofilter_reg0'
build-tsan/tests/unit/analysis_tests --gtest_brief=1 --gtest_filter='ParallelFor.*:FlowTracker.TwoThreads*:PairFlow.StartFlowAndThreads*'
unset TSAN_OPTIONS

stage "fuzzers"
bash scripts/fuzz.sh

if [[ -f scripts/test-windows.sh ]]; then
    stage "Windows builds and tests under Wine"
    bash scripts/test-windows.sh
fi
stage ""
echo "== time per stage"
printf '%s\n' "${timings[@]}"
printf '%5d s  in all\n' "$SECONDS"
echo "== all tests passed"
