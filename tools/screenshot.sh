#!/bin/sh
# Retakes the pictures in docs/ (window.png a first start, server, client, batch, incoming)
# under a virtual X display.
# Usage: tools/screenshot.sh [build-dir]
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
missing=""
for p in xvfb xauth fonts-noto-cjk; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    sudo_="" ; [ "$(id -u)" -eq 0 ] || sudo_=sudo
    $sudo_ apt-get update
    $sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
build=${1:-build-screenshots}
cmake -S tools/grabwindow -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --target grabwindow -j2
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" "$build/grabwindow" docs
