#!/bin/sh
# Installs what building, testing and fuzzing need on Debian 12, when something is missing,
# and the packages named as arguments (tools/package.sh adds its checkers).
set -e
pkgs="cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5network5 libxxhash-dev clang libclang-rt-14-dev dpkg-dev desktop-file-utils appstream $*"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
else
    sudo apt-get update
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
