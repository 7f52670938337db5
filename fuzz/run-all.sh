#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for SECONDS (default 60),
# starting from its seed corpus in fuzz/corpus/<target>/. Fails when any target finds a crash, a
# leak or a hang; the input that did it is left in build-fuzz/artifacts/<target>/.
# Extra arguments go to every fuzzer (for instance -jobs=1 -workers=1, or -max_len=8192).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true

build=build-fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DLINEWATCH_FUZZ=ON -DLINEWATCH_TESTS=OFF -DLINEWATCH_BENCH=OFF
else
    cmake "$build" >/dev/null # picks up fuzz targets added since the last configure
fi

targets=()
for src in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
done
cmake --build "$build" -j2 --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for t in "${targets[@]}"; do
    # The seeds stay as checked in; what the fuzzer learns goes to a working copy.
    work="$build/corpus/$t"
    artifacts="$build/artifacts/$t"
    mkdir -p "$work" "$artifacts"
    if [ -d "fuzz/corpus/$t" ]; then
        cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    fi
    echo "== $t (${seconds}s)"
    if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$@" "$work" 2>"$build/$t.log"; then
        tail -n 60 "$build/$t.log" >&2
        failed+=("$t")
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$build/$t.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)" >&2
    exit 1
fi
echo "Fuzzing found no faults"
