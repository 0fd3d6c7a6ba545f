#!/usr/bin/env bash
# Regenerate the application's PNG icons from the SVG drawings in res/icons/src/.
# Needs rsvg-convert (Debian package librsvg2-bin).
# Usage: tools/make_icons.sh        (run from anywhere inside the checkout)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src="$root/res/icons/src"

if ! command -v rsvg-convert >/dev/null 2>&1; then
    echo "make_icons.sh: rsvg-convert not found (install librsvg2-bin)" >&2
    exit 1
fi

# source svg | output png (relative to the repository root) | size in pixels
icons=(
    "start_listening.svg|res/icons/开始监听.png|512"
    "stop_listening.svg|res/icons/停止监听.png|512"
    "clear_text.svg|res/icons/清除文本.png|512"
    "connect.svg|res/icons/connect.png|512"
    "disconnect.svg|res/icons/disconnect.png|650"
    "server.svg|res/icons/server.png|512"
    "client.svg|res/icons/client.png|512"
    "test.svg|res/icons/test.png|700"
    "file_send.svg|res/icons/fileSend.png|512"
    "candle.svg|icons/candle_256.png|256"
)
# The installed application icon in the theme's other usual sizes (256 is icons/candle_256.png).
for size in 16 22 24 32 48 64 128 512; do
    icons+=("candle.svg|dist/icons/${size}x${size}/apps/org.lumo.transfer.png|$size")
done

# Check a PNG header: width == height == size, bit depth 8, colour type 6 (RGBA).
check_png() {
    local file="$1" size="$2" hdr
    hdr="$(od -An -tu1 -j16 -N10 "$file" | tr -s ' ' | sed 's/^ //')"
    read -r w0 w1 w2 w3 h0 h1 h2 h3 depth ctype <<<"$hdr"
    local w=$(( (w0 << 24) | (w1 << 16) | (w2 << 8) | w3 ))
    local h=$(( (h0 << 24) | (h1 << 16) | (h2 << 8) | h3 ))
    if [[ "$w" != "$size" || "$h" != "$size" || "$depth" != 8 || "$ctype" != 6 ]]; then
        echo "make_icons.sh: $file is ${w}x${h}, depth $depth, colour type $ctype;" \
             "expected ${size}x${size}, depth 8, colour type 6" >&2
        return 1
    fi
}

for entry in "${icons[@]}"; do
    IFS='|' read -r svg out size <<<"$entry"
    mkdir -p "$(dirname "$root/$out")"
    rsvg-convert --format=png --width="$size" --height="$size" \
        --output="$root/$out" "$src/$svg"
    check_png "$root/$out" "$size"
    printf '%-28s %4sx%-4s %6s bytes\n' "$out" "$size" "$size" "$(stat -c %s "$root/$out")"
done
