#!/usr/bin/env bash
# Builds every fuzz target (fuzz/*_fuzz.cpp) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, then runs each for SECONDS from its committed seed
# corpus fuzz/corpus/<name>/. Fails on any finding; the input that caused it is kept in
# build-fuzz/artifacts/.
# usage: scripts/fuzz.sh [SECONDS (default 60)] [TARGET...]   (e.g. scripts/fuzz.sh 60 trace_decode_fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${KAVI_FUZZ_BUILD_DIR:-build-fuzz}  # KAVI_FUZZ_BUILD_DIR: another build folder
seed=${KAVI_FUZZ_SEED:-1}                   # KAVI_FUZZ_SEED: another sequence of inputs

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKAVI_BUILD_FUZZ=ON -DKAVI_BUILD_TESTS=OFF -DKAVI_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >"$build.configure.log" ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target "${targets[@]}" -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
failed=0
for target in "${targets[@]}"; do
    name=${target%_fuzz}
    seeds=fuzz/corpus/$name
    # New inputs go to a scratch corpus; the committed seeds are only read.
    scratch=$build/corpus/$name
    mkdir -p "$scratch" "$seeds"
    echo "== $target: ${seconds}s"
    # A fixed seed makes a run repeat the same inputs, so what CI tries was tried before it.
    if ! "$build/bin/$target" -seed="$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$scratch" "$seeds" >"$build/$target.log" 2>&1; then
        tail -n 60 "$build/$target.log"
        echo "== $target: FAILED (input kept in $build/artifacts/)"
        failed=1
        continue
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
        "$build/$target.log" || true
    echo "== $target: passed"
done
exit $failed
