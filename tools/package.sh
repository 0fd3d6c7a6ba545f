#!/bin/sh
# Builds the Debian package in the given build directory with Debian's compiler and linker
# flags, checks the desktop entry and the AppStream metainfo, unpacks the package into a
# scratch root to check what it installs, and fails on any lintian error or warning.
# Usage: tools/package.sh [build-dir]
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh lintian man-db
build=${1:-build-package}

desktop-file-validate dist/org.lumo.transfer.desktop
appstreamcli validate --no-net dist/org.lumo.transfer.metainfo.xml

# Hardening as a Debian build has it (stack protector, fortify, full RELRO, bind-now, PIE).
# CMake reads no CPPFLAGS, so they go with the compiler's flags; build type None adds none
# of its own, as debhelper builds.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DLUMO_BENCH=OFF -DLUMO_TESTS=OFF \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build "$build" -j2
rm -f "$build"/lumo-transfer_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/lumo-transfer_*.deb)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends

root="$build/scratch-root"
rm -rf "$root"
dpkg -x "$deb" "$root"
doc=usr/share/doc/lumo-transfer
for f in usr/bin/lumo-transfer \
         usr/share/applications/org.lumo.transfer.desktop \
         usr/share/metainfo/org.lumo.transfer.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/org.lumo.transfer.svg \
         usr/share/man/man1/lumo-transfer.1.gz \
         $doc/copyright $doc/changelog.Debian.gz $doc/user-guide.md; do
    [ -f "$root/$f" ] || { echo "package lacks /$f" >&2; exit 1; }
done
for size in 16 22 24 32 48 64 128 256 512; do
    f=usr/share/icons/hicolor/${size}x${size}/apps/org.lumo.transfer.png
    [ -f "$root/$f" ] || { echo "package lacks /$f" >&2; exit 1; }
done
# Every picture the installed guide links must be there beside it.
for picture in $(grep -o '](\([^)]*\.png\))' "$root/$doc/user-guide.md" | sed 's/^](//; s/)$//'); do
    [ -f "$root/$doc/$picture" ] || { echo "the user guide links $picture, which the package lacks" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libqt5network5 || { echo "package does not depend on Qt" >&2; exit 1; }
desktop-file-validate "$root/usr/share/applications/org.lumo.transfer.desktop"
"$root/usr/bin/lumo-transfer" --version

# lintian refuses nothing by default; any error or warning fails the package here.
lintian --fail-on error,warning --display-info "$deb"
echo "package checked"
