#!/usr/bin/env bash
# File latency of a healthy connection's lines while another configured
# local Spread daemon is down and someone else holds its socket name.
#
# One minispread (the healthy daemon) and wickerpost logging one group from
# it, plus a second Spread block whose daemon is away. Cases:
#   none      nothing on the away daemon's socket name
#   silent    a listener on it that accepts every connection and never
#             answers (every attempt costs the connect deadline, 2 s)
#   flapping  a listener that closes each connection after 450 ms and
#             binds the name again every 0.5 s (each new socket is an
#             immediate try)
# bench/bench_sender sends N lines at the rate given, each stamped when
# handed to minispread (-T); bench/arrival_watch stamps each line when it is
# read back from the file (inotify). Per run: p50, p99 and max of the
# difference, in ms, and lines lost. The watcher's own wake-up is in every
# figure.
#
#   bench/squatter_bench.sh [-B BUILD_DIR] [-R RATE[,RATE...]] [-s SECONDS] [-r RUNS] [-c CASES] [-W WICKERPOST]
#
# -R rates (100,10000), -s seconds of lines per run (15: two reconnect
# passes), -r runs per case and rate (1), -c cases (none,silent,flapping),
# -W another wickerpost binary, measured beside the build's in the same
# invocation (cases named other-CASE).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
build=build
rates=100,10000
seconds=15
runs=1
cases=none,silent,flapping
other=""
while getopts "B:R:s:r:c:W:" opt; do
    case $opt in
    B) build=$OPTARG ;;
    R) rates=$OPTARG ;;
    s) seconds=$OPTARG ;;
    r) runs=$OPTARG ;;
    c) cases=$OPTARG ;;
    W) other=$OPTARG ;;
    *) sed -n '/^#   bench/,/^# invocation/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
case $build in /*) ;; *) build="$root/$build" ;; esac
ninja -C "$build" wickerpost minispread bench_sender arrival_watch >/dev/null
IFS=, read -r -a rate_list <<<"$rates"
IFS=, read -r -a case_list <<<"$cases"

work=$(mktemp -d /tmp/wkp-squatter-bench-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c '
import os, socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    if not os.path.exists("/tmp/%d" % p): print(p); break'
}

# The squatter: python3, one process per run.
cat >"$work/squatter.py" <<'EOF'
import os, select, socket, sys, time
path, close_after, rebind = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
def bind():
    try: os.unlink(path)
    except FileNotFoundError: pass
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM); s.bind(path); s.listen(64); s.setblocking(False)
    return s
listener, bound, held = bind(), time.monotonic(), []
while True:
    select.select([listener], [], [], 0.005)
    try:
        while True: held.append((listener.accept()[0], time.monotonic()))
    except BlockingIOError: pass
    if close_after < 0: continue
    now = time.monotonic()
    for c in [h for h in held if now - h[1] >= close_after]: c[0].close(); held.remove(c)
    if now - bound >= rebind: listener.close(); listener, bound = bind(), now
EOF

healthy=$(free_port)
"$build/minispread" -p "$healthy" </dev/null >"$work/minispread.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "/tmp/$healthy" ] && break; sleep 0.1; done

# run_case BINARY CASE RATE: prints "p50 p99 max lost".
run_case() {
    local binary=$1 name=$2 rate=$3
    local lines=$((rate * seconds)) away squatter_pid="" daemon_pid watch_pid
    away=$(free_port)
    rm -rf "$work/out" && mkdir "$work/out"
    awk -v n="$lines" 'BEGIN { for (i = 0; i < n; i++) printf "10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /p/%07d HTTP/1.1\" 200 2326\n", i }' >"$work/input"
    case $name in
    silent) python3 "$work/squatter.py" "/tmp/$away" -1 0 & squatter_pid=$! ;;
    flapping) python3 "$work/squatter.py" "/tmp/$away" 0.45 0.5 & squatter_pid=$! ;;
    esac
    [ -n "$squatter_pid" ] && for _ in $(seq 100); do [ -S "/tmp/$away" ] && break; sleep 0.05; done
    printf 'Spread {\n  Port = %s\n  Log {\n    Group = bench\n    File = %s\n  }\n}\nSpread {\n  Port = %s\n  Log {\n    Group = other\n    File = %s\n  }\n}\n' \
        "$healthy" "$work/out/plain.log" "$away" "$work/away.log" >"$work/conf"
    "$binary" -D -c "$work/conf" 2>"$work/daemon.err" &
    daemon_pid=$!
    for _ in $(seq 200); do grep -q "Setting FD" "$work/daemon.err" && break; sleep 0.05; done
    "$build/arrival_watch" -o "$work/arrivals" "$work/out" 2>"$work/watch.err" &
    watch_pid=$!
    for _ in $(seq 100); do grep -q watching "$work/watch.err" && break; sleep 0.05; done
    "$build/bench_sender" -s "$healthy" -g bench -f "$work/input" -R "$rate" -T "$work/sent.times" >/dev/null
    local size=0 stalled=0
    while [ "$(wc -l <"$work/out/plain.log" 2>/dev/null || echo 0)" -lt "$lines" ] && [ "$stalled" -lt 100 ]; do
        sleep 0.1
        stalled=$((stalled + 1))
    done
    kill -TERM "$watch_pid"; wait "$watch_pid" || true
    kill -TERM "$daemon_pid"; wait "$daemon_pid" || true
    [ -n "$squatter_pid" ] && { kill -TERM "$squatter_pid"; wait "$squatter_pid" 2>/dev/null || true; rm -f "/tmp/$away"; }
    python3 - "$work/sent.times" "$work/arrivals" "$lines" <<'EOF'
import sys
sent = [int(l) for l in open(sys.argv[1])]
lat = sorted((int(ns) - sent[int(seq)]) / 1e6 for seq, ns in (l.split() for l in open(sys.argv[2])) if int(seq) < len(sent))
n = len(lat)
print("%.2f %.2f %.2f %d" % (lat[n // 2], lat[min(n - 1, n * 99 // 100)], lat[-1], int(sys.argv[3]) - n) if lat else "- - - all")
EOF
}

binaries=("$build/wickerpost")
labels=("")
if [ -n "$other" ]; then binaries+=("$other"); labels+=("other-"); fi
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| lines/s | case | run | p50 ms | p99 ms | max ms | lines lost |"
echo "|---|---|---|---|---|---|---|"
for rate in "${rate_list[@]}"; do
    for r in $(seq "$runs"); do
        for c in "${case_list[@]}"; do
            for k in "${!binaries[@]}"; do
                read -r p50 p99 max lost < <(run_case "${binaries[$k]}" "$c" "$rate")
                echo "| $rate | ${labels[$k]}$c | $r | $p50 | $p99 | $max | $lost |"
            done
        done
    done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
