#!/bin/sh
# A tree of 2000 files of 20000 bytes in 40 folders, sent between two instances over loopback,
# against tar through netcat (or a plain Python socket); prints each run and the medians.
# Usage: bench/tree.sh PROGRAM [RUNS] [WORKDIR]
#   PROGRAM  the lumo-transfer executable (e.g. build-rel/lumo-transfer)
#   WORKDIR  where the tree and the received copies go (default: a new directory in /tmp);
#            on a tmpfs (/dev/shm) the disk drops out of the comparison
set -e
program=$(readlink -f "$1")
runs=${2:-5}
work=${3:-$(mktemp -d)}
port=${PORT:-47310}
[ -x "$program" ] || { echo "usage: $0 PROGRAM [RUNS] [WORKDIR]" >&2; exit 2; }
mkdir -p "$work"
cd "$work"

if [ ! -d src/photos ]; then
    mkdir -p src/photos
    for d in $(seq 40); do
        mkdir -p "src/photos/d$d"
        for f in $(seq 50); do
            head -c 20000 /dev/urandom > "src/photos/d$d/f$f.bin"
        done
    done
fi

# The plain side: netcat (OpenBSD's, for -N) when there is one, else this: bytes from stdin to
# one connection, or from one connection to stdout.
nc=$(command -v nc || true)
[ -n "$nc" ] && nc -h 2>&1 | grep -q 'Shutdown the network socket after EOF' || nc=""
cat > pipe.py <<'EOF'
import socket, sys
if sys.argv[1] == 'listen':
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(('127.0.0.1', int(sys.argv[2])))
    s.listen(1)
    open(sys.argv[3], 'w').close()  # listening now
    c, _ = s.accept()
    while True:
        b = c.recv(1 << 20)
        if not b:
            break
        sys.stdout.buffer.write(b)
    sys.stdout.buffer.flush()
else:
    c = socket.create_connection(('127.0.0.1', int(sys.argv[2])))
    while True:
        b = sys.stdin.buffer.read(1 << 20)
        if not b:
            break
        c.sendall(b)
    c.close()
EOF

now() { date +%s.%N; }
fresh() { rm -rf "$1"; mkdir -p "$1"; sync; sleep 0.3; }

tar_run() {
    fresh tar-out
    if [ -n "$nc" ]; then
        nc -l 127.0.0.1 $port | tar x -C tar-out &
        sleep 0.5
        s=$(now)
        tar c -C src photos | nc -N 127.0.0.1 $port
    else
        rm -f listening
        python3 pipe.py listen $port listening | tar x -C tar-out &
        while [ ! -e listening ]; do sleep 0.05; done
        s=$(now)
        tar c -C src photos | python3 pipe.py connect $port
    fi
    wait
    e=$(now)
    diff -r src/photos tar-out/photos > /dev/null
    awk "BEGIN {printf \"%.3f\", $e - $s}"
}

lumo_run() {
    fresh lumo-out
    "$program" receive lumo-out --port $((port + 1)) -q > /dev/null 2>&1 &
    r=$!
    sleep 0.7
    s=$(now)
    "$program" send 127.0.0.1 src/photos --port $((port + 1)) -q
    e=$(now)
    kill -INT $r; wait $r || true
    diff -r src/photos lumo-out/photos > /dev/null
    awk "BEGIN {printf \"%.3f\", $e - $s}"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

: > tar.times; : > lumo.times
for i in $(seq "$runs"); do
    t=$(tar_run); l=$(lumo_run)
    echo "run $i: tar through ${nc:-python} $t s, lumo-transfer $l s (both copies identical)"
    echo "$t" >> tar.times; echo "$l" >> lumo.times
done
t=$(median < tar.times); l=$(median < lumo.times)
echo "tree: 2000 files, 40 folders; medians of $runs: tar $t s, lumo-transfer $l s: $(awk "BEGIN {printf \"%.2f\", $l / $t}") times"
