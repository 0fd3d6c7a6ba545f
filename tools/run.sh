#!/bin/sh
# Installs what is missing, builds, and starts lumo-transfer with the given arguments.
# Without arguments the window starts in build-release/ (where icons/candle_256.png resolves
# and settings.ini is written); a command (send, receive) runs in the caller's directory, so
# relative paths mean what they say.
set -e
here=$(pwd)
cd "$(dirname "$0")/.."
root=$(pwd)
tools/install-deps.sh >&2
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DLUMO_BENCH=OFF >&2
cmake --build build-release -j2 --target lumo-transfer >&2
if [ $# -eq 0 ]; then
    cd build-release
else
    cd "$here"
fi
exec "$root/build-release/lumo-transfer" "$@"
