#!/bin/sh
# Builds the libFuzzer targets with clang and runs each in turn for FUZZ_SECONDS (default 60), starting from
# the seed corpus in fuzz/corpus/. Fails as soon as a target finds a crash, a sanitizer report or a broken
# property; the input that caused it is kept in the build directory's fuzz-artifacts/.
# Usage: scripts/fuzz.sh [build-dir] [target...]; CMAKE_FLAGS adds to the configuration of build-dir, a new
# one or an existing one.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-fuzz}
if [ $# -gt 0 ]; then shift; fi
case $build in /*) ;; *) build=$top/$build ;; esac
seconds=${FUZZ_SECONDS:-60}
targets=${*:-fuzz_srecord_line fuzz_file_loader fuzz_packer_input}

if [ ! -f "$build/CMakeCache.txt" ]; then
    CXX=${FUZZ_CXX:-clang++} cmake -S "$top" -B "$build" -DVQ2DL_FUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_FLAGS:-}
elif [ -n "${CMAKE_FLAGS:-}" ]; then
    cmake -S "$top" -B "$build" ${CMAKE_FLAGS}
fi
for target in $targets; do
    cmake --build "$build" --target "$target" -j "${JOBS:-2}"
done

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/fuzz-artifacts"
for target in $targets; do
    corpus=$build/fuzz-corpus/$target
    mkdir -p "$corpus"
    echo "fuzz: $target for ${seconds}s"
    status=0
    # New inputs go to the first directory; the seeds stay as they are.
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" "$corpus" "$top/fuzz/corpus/$target" \
        >"$build/fuzz-artifacts/$target.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' \
        "$build/fuzz-artifacts/$target.log" || true
    if [ $status -ne 0 ]; then
        tail -n 60 "$build/fuzz-artifacts/$target.log"
        echo "fuzz: $target FAILED (status $status); the input is in $build/fuzz-artifacts/" >&2
        exit 1
    fi
done
echo "fuzz: every target ran ${seconds}s without a finding"
