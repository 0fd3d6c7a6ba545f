#!/bin/bash
# Verified against unverified single transfers between two bench_fast children, interleaved
# in pairs (which goes first alternates), so that the machine's drift hits both alike.
# Usage: bench/fast-pairs.sh BENCH_FAST FILE [PAIRS] [DIR]
#   BENCH_FAST  build-rel/bench/bench_fast;  FILE  what is sent (e.g. 1 GiB in /dev/shm)
#   DIR         where it is received (default /dev/shm/fast-pairs), emptied after each run
set -e
bench=$(readlink -f "$1"); file=$(readlink -f "$2"); pairs=${3:-11}; dir=${4:-/dev/shm/fast-pairs}
[ -x "$bench" ] && [ -f "$file" ] || { echo "usage: $0 BENCH_FAST FILE [PAIRS] [DIR]" >&2; exit 2; }

one() { # receiver kind, sender kind: prints wall seconds from the sender's start to the receipt
    rm -rf "$dir"; mkdir -p "$dir"
    coproc RX { exec "$bench" "$1" "$dir"; }
    read -r -u "${RX[0]}" _ port
    local t0; t0=$(date +%s.%N)
    "$bench" "$2" "$port" "$file" > /dev/null &
    local tx=$!
    read -r -u "${RX[0]}" _ _ _
    local t1; t1=$(date +%s.%N)
    wait $tx
    kill -INT "$RX_PID" 2>/dev/null || true
    wait "$RX_PID" 2>/dev/null || true
    awk "BEGIN {printf \"%.3f\", $t1 - $t0}"
}

: > "$dir.verified"; : > "$dir.unverified"
for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 0 ]; then
        v=$(one serve send); u=$(one serve-proof send-proof)
    else
        u=$(one serve-proof send-proof); v=$(one serve send)
    fi
    echo "pair $i: verified $v s, unverified $u s"
    echo "$v" >> "$dir.verified"; echo "$u" >> "$dir.unverified"
done
median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
v=$(median "$dir.verified"); u=$(median "$dir.unverified")
rm -rf "$dir" "$dir.verified" "$dir.unverified"
echo "medians of $pairs pairs: verified $v s, unverified $u s: $(awk "BEGIN {printf \"%.0f\", 100 * $u / $v}") % of the rate kept"
