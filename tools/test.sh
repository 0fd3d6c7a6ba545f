#!/bin/sh
# Installs what is missing, builds, and runs the whole suite with CTest.
# Usage: tools/test.sh [build-dir] [extra cmake arguments...]
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
build=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
