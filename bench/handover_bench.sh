#!/usr/bin/env bash
# The hand-over on SIGUSR2, measured during a steady stream.
#
# bench/bench_sender sends numbered ~100-byte lines to one group through
# one minispread at a steady rate; wickerpost -D writes them to a plain
# file. Two seconds into the stream the daemon gets SIGUSR2. Per run:
#   handover ms   time from SIGUSR2 to the old daemon's exit (wait on it:
#                 it is this script's child)
#   old/new RSS   the highest VmRSS seen of each daemon, sampled every
#                 5 ms from the signal to the old daemon's exit, in MiB
#   old/new HWM   VmHWM (peak resident) of each, last seen in that time
#   lines         every line landed exactly once and in order (checked
#                 against the input with cmp), else the run fails
#
#   bench/handover_bench.sh [-R RATE[,RATE...]] [-r RUNS] [-s SECONDS] [-B BUILD_DIR]
#
# -R lines per second (10000,90000), -r runs per rate (5), -s seconds the
# stream lasts (6), -B the build directory (build).
set -euo pipefail
cd "$(dirname "$0")/.."
rates=10000,90000
runs=5
seconds=6
build=build
while getopts "R:r:s:B:" opt; do
    case $opt in
    R) rates=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) seconds=$OPTARG ;;
    B) build=$OPTARG ;;
    *) sed -n '/^#   bench/,/^# -R/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
ninja -C "$build" wickerpost minispread bench_sender >/dev/null
build=$(cd "$build" && pwd)
tmp=$(mktemp -d /tmp/wkp-handover-bench-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# kB of a key in /proc/PID/status, or nothing.
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null || true; }

# min / median / max of numbers on standard input.
summary() { sort -g | awk '{ v[NR] = $1 } END { printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| lines/s | runs | hand-over ms min / median / max | old RSS MiB | new RSS MiB | old HWM MiB | new HWM MiB |"
echo "|---|---|---|---|---|---|---|"
IFS=, read -r -a rate_list <<<"$rates"
for rate in "${rate_list[@]}"; do
    : >"$tmp/results"
    count=$((rate * seconds))
    awk -v n="$count" 'BEGIN { for (i = 0; i < n; i++) printf "%07d 10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /index.html HTTP/1.0\" 200 2326 x\n", i }' >"$tmp/input"
    for run in $(seq 1 "$runs"); do
        # A socket file left by a Spread daemon that was killed would pass
        # for this one's before it listens: such ports are skipped.
        port=$((20000 + RANDOM % 10000))
        while [ -e "/tmp/$port" ]; do port=$((20000 + RANDOM % 10000)); done
        rm -f "$tmp/out.log"
        "$build/minispread" -p "$port" 2>"$tmp/minispread.err" &
        spread=$!
        while [ ! -e "/tmp/$port" ]; do sleep 0.01; done
        printf 'Spread {\n  Port = %s\n  Log {\n    Group = g\n    File = %s\n  }\n}\n' "$port" "$tmp/out.log" >"$tmp/w.conf"
        "$build/wickerpost" -D -c "$tmp/w.conf" 2>"$tmp/w.err" &
        old=$!
        until grep -q "Setting FD" "$tmp/w.err"; do sleep 0.01; done
        "$build/bench_sender" -s "$port" -g g -f "$tmp/input" -R "$rate" >/dev/null &
        sender=$!
        sleep 2
        base_rss=$(status_kb "$old" VmRSS)
        start=$(date +%s%N)
        kill -USR2 "$old"
        (
            old_rss=$base_rss new_rss=0 old_hwm=$(status_kb "$old" VmHWM) new_hwm=0 new=""
            while kill -0 "$old" 2>/dev/null; do
                [ -n "$new" ] || new=$(pgrep -P "$old" -x wickerpost || true)
                v=$(status_kb "$old" VmRSS); [ -n "$v" ] && [ "$v" -gt "$old_rss" ] && old_rss=$v
                v=$(status_kb "$old" VmHWM); [ -n "$v" ] && old_hwm=$v
                if [ -n "$new" ]; then
                    v=$(status_kb "$new" VmRSS); [ -n "$v" ] && [ "$v" -gt "$new_rss" ] && new_rss=$v
                    v=$(status_kb "$new" VmHWM); [ -n "$v" ] && new_hwm=$v
                fi
                sleep 0.005
            done
            echo "$old_rss $new_rss $old_hwm $new_hwm" >"$tmp/memory"
        ) &
        sampler=$!
        wait "$old" || true
        end=$(date +%s%N)
        wait "$sampler"
        wait "$sender"
        new=$(sed -n 's/^Took over from daemon .*//; s/^Handing over to new daemon \([0-9]*\)$/\1/p' "$tmp/w.err" | tail -1)
        until [ "$(stat -c %s "$tmp/out.log" 2>/dev/null || echo 0)" -ge "$(stat -c %s "$tmp/input")" ]; do
            sleep 0.05
            kill -0 "$new" 2>/dev/null || break
        done
        if ! cmp -s "$tmp/input" "$tmp/out.log"; then
            echo "run $run at $rate lines/s: the output differs from the input" >&2
            cat "$tmp/w.err" >&2
            exit 1
        fi
        kill -TERM "$new"
        while kill -0 "$new" 2>/dev/null; do sleep 0.01; done
        kill -TERM "$spread"
        wait "$spread" || true
        read -r a b c d <"$tmp/memory"
        echo "$(( (end - start) / 1000000 )) $a $b $c $d" >>"$tmp/results"
    done
    col() { cut -d' ' -f"$1" "$tmp/results" | awk '{ printf "%.1f\n", $1 / 1024 }' | summary; }
    echo "| $rate | $runs | $(cut -d' ' -f1 "$tmp/results" | summary) | $(col 2) | $(col 3) | $(col 4) | $(col 5) |"
done
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
