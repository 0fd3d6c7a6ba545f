#!/bin/sh
# Cross-builds the executable, the tests and the benchmarks for 64-bit Windows against the
# Qt of tools/windows/build-qt.sh (run that first).
# Usage: tools/windows/build.sh [build-dir] [extra cmake arguments...]
set -e
cd "$(dirname "$0")/../.."
prefix=${LUMO_QT5_MINGW:-/opt/lumo-qt5-mingw}
if [ ! -f "$prefix/.lumo-complete" ]; then
    echo "no Qt for Windows in $prefix: run tools/windows/build-qt.sh first" >&2
    exit 1
fi
build=${1:-build-windows}
[ $# -gt 0 ] && shift
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DLUMO_QT5_MINGW="$prefix" -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" -j2
