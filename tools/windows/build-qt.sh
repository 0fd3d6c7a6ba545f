#!/bin/sh
# Builds Debian's qtbase for 64-bit Windows with MinGW-w64 into a cache outside the checkout,
# and does nothing when that cache is complete. Installs the cross compiler, Wine and the
# deb-src line it needs on Debian 12.
# Environment: LUMO_QT5_MINGW (install prefix, default /opt/lumo-qt5-mingw),
#              LUMO_QT5_MINGW_SRC (source and build tree, default /var/cache/lumo-qt5-mingw-src),
#              LUMO_QT5_MINGW_KEEP_BUILD=1 keeps the build tree afterwards.
set -e
prefix=${LUMO_QT5_MINGW:-/opt/lumo-qt5-mingw}
work=${LUMO_QT5_MINGW_SRC:-/var/cache/lumo-qt5-mingw-src}
# Part of the stamp: a change here rebuilds the cache.
options="-opensource -confirm-license -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
-release -shared -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -qt-zlib -qt-libpng \
-qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -no-feature-sql -no-feature-tabletevent"
stamp="$prefix/.lumo-complete"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$options" ]; then
    echo "Qt for Windows already built in $prefix"
    exit 0
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Qt's source comes from Debian: apt-get source needs a deb-src entry for bookworm.
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "adding a deb-src entry for bookworm"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
        as_root tee /etc/apt/sources.list.d/lumo-deb-src.sources >/dev/null
    need_update=1
fi
pkgs="g++-mingw-w64-x86-64 wine wine64 xvfb xauth zip unzip dpkg-dev make perl python3 cmake libxxhash-dev"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] || [ -n "${need_update-}" ]; then
    as_root apt-get update
fi
if [ -n "$missing" ]; then
    echo "installing:$missing"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

start=$(date +%s)
mkdir -p "$work"
cd "$work"
if ! ls qtbase-opensource-src_*.dsc >/dev/null 2>&1; then
    apt-get source --download-only qtbase-opensource-src
fi
src=$(ls -d qtbase-opensource-src-*/ 2>/dev/null | head -n 1)
if [ -z "$src" ]; then
    dpkg-source -x qtbase-opensource-src_*.dsc
    src=$(ls -d qtbase-opensource-src-*/ | head -n 1)
fi
src="$work/${src%/}"

# Qt Test needs std::mutex: the posix thread model, under the plain names configure expects.
bin="$work/bin"
mkdir -p "$bin"
for tool in gcc g++; do
    ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$bin/x86_64-w64-mingw32-$tool"
done
PATH="$bin:$PATH"
export PATH

rm -rf "$work/build"
mkdir "$work/build"
cd "$work/build"
# shellcheck disable=SC2086
"$src/configure" $options -prefix "$prefix"
make -j2
rm -rf "$prefix"
make install
# The compiler's own runtime, for running and shipping what links against this Qt.
for dll in libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
    found=$(x86_64-w64-mingw32-g++ -print-file-name="$dll")
    [ -f "$found" ] || found=$(find /usr/lib/gcc/x86_64-w64-mingw32 /usr/x86_64-w64-mingw32 -name "$dll" | grep -m1 posix || true)
    [ -n "$found" ] && [ -f "$found" ] || found=$(find /usr/lib/gcc/x86_64-w64-mingw32 /usr/x86_64-w64-mingw32 -name "$dll" | head -n 1)
    cp "$found" "$prefix/bin/"
done
printf '%s' "$options" > "$stamp"
[ "${LUMO_QT5_MINGW_KEEP_BUILD:-0}" = 1 ] || rm -rf "$work/build"
echo "Qt for Windows built in $prefix in $(( $(date +%s) - start )) s"
