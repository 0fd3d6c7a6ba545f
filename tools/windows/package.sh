#!/bin/sh
# Builds the Windows executable and zips what a Windows user unzips and starts: the program,
# the Qt and MinGW runtime DLLs it loads, the windows platform plugin, the icon, the README.
# Then checks under Wine that the zipped program answers --help and --version.
# Usage: tools/windows/package.sh [build-dir]
set -e
cd "$(dirname "$0")/../.."
prefix=${LUMO_QT5_MINGW:-/opt/lumo-qt5-mingw}
build=${1:-build-windows-package}
tools/windows/build-qt.sh
tools/windows/build.sh "$build" -DCMAKE_BUILD_TYPE=Release -DLUMO_BENCH=OFF -DLUMO_TESTS=OFF

version=$(sed -n 's/^project(lumo-transfer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=lumo-transfer-$version-win64
stage="$build/$name"
rm -rf "$stage" "$build/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/icons"
x86_64-w64-mingw32-strip -o "$stage/lumo-transfer.exe" "$build/lumo-transfer.exe"
cp "$prefix/plugins/platforms/qwindows.dll" "$stage/platforms/"
# Without it the widgets draw in the plain Windows 95 look.
cp "$prefix/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp icons/candle_256.png "$stage/icons/"
cp README.md "$stage/"

# Every DLL that the program and its plugins load, found among Qt's and the compiler's.
imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
pending="$stage/lumo-transfer.exe $stage/platforms/qwindows.dll $stage/styles/qwindowsvistastyle.dll"
while [ -n "$pending" ]; do
    next=""
    for f in $pending; do
        for dll in $(imports "$f"); do
            [ -f "$prefix/bin/$dll" ] && [ ! -f "$stage/$dll" ] || continue
            # The compiler's runtime comes with its symbols (libstdc++ 23 MB of them).
            x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$dll" "$prefix/bin/$dll"
            next="$next $stage/$dll"
        done
    done
    pending=$next
done
(cd "$build" && zip -qr "$name.zip" "$name")
echo "package: $build/$name.zip"
unzip -l "$build/$name.zip"

# The zipped program, unpacked on its own: no WINEPATH, no plugin path, a fresh prefix.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/lumo-wine-XXXXXX")
export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH QT_PLUGIN_PATH
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
(cd "$scratch" && unzip -q "$OLDPWD/$build/$name.zip")
wineboot -i >/dev/null 2>&1
exe="$scratch/$name/lumo-transfer.exe"
wine "$exe" --version >"$scratch/version.txt" 2>&1
wine "$exe" --help >"$scratch/help.txt" 2>&1
cat "$scratch/version.txt"
grep -q "lumo-transfer $version" "$scratch/version.txt" || { echo "the zipped program printed no version" >&2; exit 1; }
grep -q "receive" "$scratch/help.txt" || { echo "the zipped program printed no help" >&2; exit 1; }
echo "package checked"
