#!/bin/sh
# Builds the stream parser fuzz target with clang in the given build directory and runs it for
# a fixed time on a copy of the committed seed corpus. Any crash, leak, sanitizer report or
# failed check ends the run with a non-zero status.
# Usage: tools/run_fuzz.sh build-dir [seconds]
set -e
cd "$(dirname "$0")/.."
build=${1:?usage: tools/run_fuzz.sh build-dir [seconds]}
seconds=${2:-60}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DLUMO_FUZZ=ON -DLUMO_BENCH=OFF
cmake --build "$build" -j2 --target fuzz_streamparser

# The corpus grows while the fuzzer runs; keep the committed seeds untouched.
corpus="$build/fuzz-corpus"
rm -rf "$corpus"
mkdir -p "$corpus" "$build/fuzz-artifacts"
cp fuzz/corpus/* "$corpus/"
"$build/fuzz/fuzz_streamparser" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=200000 -dict=fuzz/streamparser.dict -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/" "$corpus"
