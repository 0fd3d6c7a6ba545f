#!/bin/sh
# Builds the Debian package in the given build directory, checks the desktop entry and the
# AppStream metainfo, and unpacks the package into a scratch root to check what it installs.
# Usage: tools/package.sh [build-dir]
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
build=${1:-build-package}

desktop-file-validate dist/org.lumo.transfer.desktop
appstreamcli validate --no-net dist/org.lumo.transfer.metainfo.xml

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMO_BENCH=OFF -DLUMO_TESTS=OFF
cmake --build "$build" -j2 --target lumo-transfer
rm -f "$build"/lumo-transfer_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/lumo-transfer_*.deb)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends

root="$build/scratch-root"
rm -rf "$root"
dpkg -x "$deb" "$root"
for f in usr/bin/lumo-transfer \
         usr/share/applications/org.lumo.transfer.desktop \
         usr/share/metainfo/org.lumo.transfer.metainfo.xml \
         usr/share/icons/hicolor/256x256/apps/org.lumo.transfer.png \
         usr/share/doc/lumo-transfer/user-guide.md; do
    [ -f "$root/$f" ] || { echo "package lacks /$f" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libqt5network5 || { echo "package does not depend on Qt" >&2; exit 1; }
desktop-file-validate "$root/usr/share/applications/org.lumo.transfer.desktop"
"$root/usr/bin/lumo-transfer" --version
echo "package checked"
