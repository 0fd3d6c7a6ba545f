#!/bin/sh
# Installs what is missing, builds, and starts lumo-transfer from its build directory
# (where icons/candle_256.png resolves and settings.ini is written).
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DLUMO_BENCH=OFF
cmake --build build-release -j2 --target lumo-transfer
cd build-release
exec ./lumo-transfer
