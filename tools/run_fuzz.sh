#!/bin/sh
# Builds the fuzz targets with clang in the given build directory and runs each for a fixed time
# on a copy of its committed seed corpus: the stream parser for the given seconds, the parser of
# an upgraded connection and the UDP datagram parser for a third of them each. Any crash, leak,
# sanitizer report or failed check ends the run with a non-zero status.
# Usage: tools/run_fuzz.sh build-dir [seconds]
set -e
cd "$(dirname "$0")/.."
build=${1:?usage: tools/run_fuzz.sh build-dir [seconds]}
seconds=${2:-60}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DLUMO_FUZZ=ON -DLUMO_BENCH=OFF
cmake --build "$build" -j2 --target fuzz_streamparser fuzz_extframing fuzz_peerdatagram

# run TARGET SEED-DIR SECONDS [extra libFuzzer flags]: the corpus grows while the fuzzer runs;
# keep the committed seeds untouched.
run() {
    target=$1 seeds=$2 time=$3
    shift 3
    corpus="$build/$target-corpus"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$build/fuzz-artifacts"
    cp "$seeds"/* "$corpus/"
    "$build/fuzz/$target" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/" "$@" "$corpus"
}
run fuzz_streamparser fuzz/corpus "$seconds" -max_len=200000 -dict=fuzz/streamparser.dict
run fuzz_extframing fuzz/corpus-extframing $((seconds / 3)) -max_len=200000 -dict=fuzz/extframing.dict
run fuzz_peerdatagram fuzz/corpus-peerdatagram $((seconds / 3)) -max_len=600
