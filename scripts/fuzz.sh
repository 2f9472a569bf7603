#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (address and undefined-behaviour
# sanitizers) in build-fuzz and runs each for a bounded time, ORVANE_FUZZ_SECONDS (60 by
# default), starting from its corpus in tests/fuzz/corpus/<name>. New inputs go to a scratch
# folder, never into the repository. A crash, a sanitizer report, a leak, an input that takes
# over 10 s or needs over 2 GB fails the run; the input is kept in build-fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${ORVANE_FUZZ_SECONDS:-60}
fuzzers=(fuzz_process_data fuzz_registry_script fuzz_still_image)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DORVANE_FUZZ=ON -DORVANE_BUILD_TESTS=OFF \
    -DORVANE_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${fuzzers[@]}"

mkdir -p build-fuzz/artifacts
for name in "${fuzzers[@]}"; do
    scratch=build-fuzz/corpus/$name
    rm -rf "$scratch"
    mkdir -p "$scratch"
    echo "== fuzzing $name for ${seconds} s"
    # The first folder takes new inputs; the repository's corpus is only read.
    log=build-fuzz/$name.log
    status=0
    build-fuzz/tests/fuzz/$name -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$name-" \
        "$scratch" "tests/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
    grep -E '^stat::number_of_executed_units|^Done|SUMMARY' "$log" || true
    if ((status != 0)); then
        tail -n 60 "$log"
        echo "fuzz: $name failed (exit code $status); the input is in build-fuzz/artifacts" >&2
        exit 1
    fi
done
echo "== fuzzers: ${#fuzzers[@]} passed, 0 failed"
