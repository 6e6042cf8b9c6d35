#!/usr/bin/env bash
# Memory of the daemon, as the system sees it: VmRSS (resident now) and
# VmHWM, from /proc/PID/status, the highest VmRSS seen by sampling it every
# 20 ms, and its threads, in three cases:
#   idle1    one Spread connection, idle after start (joined, then 2 s)
#   idle8    eight Spread connections (eight minispreads), idle after start
#   burst    one connection: LINES lines (300,000) sent at full speed
#            through minispread, every one landed in the file, then 30 s
#            of quiet; VmRSS is taken once every line landed and again
#            30 s later, VmHWM at the end
# (The kernel updates VmHWM only when memory is unmapped, not when pages
# are given back with madvise, so it can read lower than a peak since.)
# Each case runs for the build's wickerpost and for every binary -W names
# (earlier builds: before and after in one invocation), RUNS times each.
#
#   bench/memory_bench.sh [-B BUILD_DIR] [-W WICKERPOST]... [-r RUNS] [-n LINES] [-q QUIET_S] [-c CASES] [-t DIR]
#
# -B the build directory (build; built here with ninja), -W another
# wickerpost binary (may be given more than once), -r runs per case and
# binary (1), -n lines of the burst (300000), -q seconds of quiet after the
# burst (30), -c a comma-separated list of cases (idle1,idle8,burst), -t
# where the scratch directory is made (/tmp).
# Prints a Markdown table, one row per case and binary, figures in MB
# (10^6 bytes) as min / median / max over the runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

build=build
others=()
runs=1
lines=300000
quiet=30
cases=idle1,idle8,burst
tmp=/tmp
while getopts "B:W:r:n:q:c:t:" opt; do
    case $opt in
    B) build=$OPTARG ;;
    W) others+=("$OPTARG") ;;
    r) runs=$OPTARG ;;
    n) lines=$OPTARG ;;
    q) quiet=$OPTARG ;;
    c) cases=$OPTARG ;;
    t) tmp=$OPTARG ;;
    *) sed -n '/^#   bench/,/^# (10/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
case $build in /*) ;; *) build="$root/$build" ;; esac
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" wickerpost minispread bench_sender >/dev/null
binaries=("$build/wickerpost" "${others[@]}")
IFS=, read -r -a case_list <<<"$cases"

work=$(mktemp -d "$tmp/wkp-mem-XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The burst's lines: ~100-byte access-log lines, each distinct.
awk -v n="$lines" 'BEGIN {
    for (i = 0; i < n; i++)
        printf "v%03d.example.com 10.0.%d.%d - - [10/Oct/2000:13:55:36 -0700] \"GET /p/%07d HTTP/1.1\" 200 %d\n",
            i % 1000, i % 256, (i / 256) % 256, i, i % 100000
}' >"$work/input.log"
input_bytes=$(stat -c %s "$work/input.log")

# start_minispread: a minispread on a free port; sets port, appends its pid.
port_free() {
    [ ! -e "/tmp/$1" ] || return 1
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
start_minispread() {
    local p pid
    for p in $(seq 26003 26299); do
        port_free "$p" || continue
        "$build/minispread" -p "$p" </dev/null >>"$work/minispread.log" 2>&1 &
        pid=$!
        for _ in $(seq 100); do
            [ -S "/tmp/$p" ] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        if [ -S "/tmp/$p" ] && kill -0 "$pid" 2>/dev/null; then
            port=$p
            pids+=("$pid")
            minispreads+=("$pid")
            return 0
        fi
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "minispread did not start" >&2
    exit 1
}
stop_minispreads() {
    local p
    for p in "${minispreads[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    minispreads=()
}

status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# one_run BINARY CASE: prints "rss_mb hwm_mb threads rss_once_landed_mb|- sampled_peak_mb".
one_run() {
    local bin=$1 name=$2 n=1 i ports=() conf="$work/wickerpost.conf" out="$work/out"
    minispreads=()
    rm -rf "$out"
    mkdir -p "$out"
    [ "$name" = idle8 ] && n=8
    for i in $(seq "$n"); do
        start_minispread
        ports+=("$port")
    done
    : >"$conf"
    for i in $(seq "$n"); do
        printf 'Spread {\n Port = %s\n Log {\n  Group = bench\n  File = %s/log%d\n }\n}\n' "${ports[$((i - 1))]}" "$out" "$i" >>"$conf"
    done
    "$bin" -D -v -x -c "$conf" </dev/null >/dev/null 2>"$work/daemon.err" &
    local daemon=$!
    pids+=("$daemon")
    (while kill -0 "$daemon" 2>/dev/null; do status_kb "$daemon" VmRSS 2>/dev/null; sleep 0.02; done) >"$work/samples" &
    local sampler=$!
    for _ in $(seq 600); do
        [ "$(grep -c '^Joined bench' "$work/daemon.err" || true)" -ge "$n" ] && break
        kill -0 "$daemon" 2>/dev/null || { cat "$work/daemon.err" >&2; exit 1; }
        sleep 0.05
    done
    local landed_rss=""
    if [ "$name" = burst ]; then
        "$build/bench_sender" -s "${ports[0]}" -g bench -f "$work/input.log" >/dev/null
        for _ in $(seq 1200); do
            [ "$(stat -c %s "$out/log1")" -ge "$input_bytes" ] && break
            sleep 0.05
        done
        [ "$(stat -c %s "$out/log1")" -eq "$input_bytes" ] || { echo "burst: not every line landed" >&2; exit 1; }
        landed_rss=$(status_kb "$daemon" VmRSS)
        sleep "$quiet"
    else
        sleep 2
    fi
    local rss hwm threads
    rss=$(status_kb "$daemon" VmRSS)
    hwm=$(status_kb "$daemon" VmHWM)
    threads=$(status_kb "$daemon" Threads)
    kill -TERM "$daemon"
    wait "$daemon" || true
    wait "$sampler" || true
    stop_minispreads
    local peak
    peak=$(sort -n "$work/samples" | tail -1)
    awk -v r="$rss" -v h="$hwm" -v t="$threads" -v l="$landed_rss" -v p="$peak" 'BEGIN {
        printf "%.1f %.1f %d %s %.1f\n", r * 1.024e-3, h * 1.024e-3, t, l == "" ? "-" : sprintf("%.1f", l * 1.024e-3),
            p * 1.024e-3 }'
}

stats() {
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0 || v[1] == "-") { print "-"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%s / %s / %s", v[1], m, v[NR] }'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "| case | wickerpost | VmRSS MB | VmHWM MB | highest VmRSS sampled MB | VmRSS once landed MB | threads |"
echo "|---|---|---|---|---|---|---|"
for c in "${case_list[@]}"; do
    for bin in "${binaries[@]}"; do
        : >"$work/runs"
        for _ in $(seq "$runs"); do
            one_run "$bin" "$c" | tee -a "$work/runs" | sed "s|^|$c $bin: |" >&2
        done
        echo "| $c | $bin | $(cut -d' ' -f1 "$work/runs" | stats) | $(cut -d' ' -f2 "$work/runs" | stats) | $(cut -d' ' -f5 "$work/runs" | stats) | $(cut -d' ' -f4 "$work/runs" | stats) | $(cut -d' ' -f3 "$work/runs" | sort -u | tr '\n' ' ')|"
    done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
