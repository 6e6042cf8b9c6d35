#!/usr/bin/env bash
# Completeness at many virtual hosts, run after run: one sender multicasts
# MESSAGES access-log lines (about 110 bytes each, AGREED) to one group,
# every line for a host drawn at random from HOSTS; wickerpost writes them
# through one VhostDir, no file existing beforehand, under a descriptor
# limit of LIMIT. minispread keeps the real Spread daemon's policy (-S: a
# session with 1000 messages waiting is dropped) and writes each message
# on its own, as a real daemon does (-1). Every run checks that each line
# landed exactly once, whole, in its host's file and in order there.
#
#   bench/loss_bench.sh [-r RUNS] [-n MESSAGES] [-H HOSTS] [-l LIMIT] [-R RATE] [-B BUILD] [-k]
#
# -r runs (default 20), stopping at the first run that is not exact; -n
# lines per run (300000); -H hosts (20000); -l the descriptor limit (the
# hard limit it may raise to, default 20000); -R the sender's rate in
# lines per second (41000, the rate a real Spread daemon on the same
# machine takes such a sender's lines at; 0: as fast as minispread takes
# them); -B the build directory (build); -k keep the runs' files.
#
# For each run it prints one line: the lines landed, missing, doubled,
# misplaced or out of order, the seconds until the last landed, and the
# books of the reading path from the status report (bytes read, messages
# framed, taken, held, the most one session held, sessions lost). A run
# that is not exact also shows what wickerpost and minispread said. The
# exit status is 0 when every run was exact.
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
runs=20 messages=300000 hosts=20000 limit=20000 rate=41000 build=build keep=0
while getopts "r:n:H:l:R:B:k" opt; do
    case $opt in
    r) runs=$OPTARG ;;
    n) messages=$OPTARG ;;
    H) hosts=$OPTARG ;;
    l) limit=$OPTARG ;;
    R) rate=$OPTARG ;;
    B) build=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '/^#   bench/,/^# exit/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
case $build in /*) ;; *) build="$root/$build" ;; esac
ninja -C "$build" wickerpost minispread bench_sender >/dev/null

work=$(mktemp -d /tmp/loss-bench.XXXXXX)
ms_pid="" wk_pid=""
cleanup() {
    [ -n "$wk_pid" ] && kill -TERM "$wk_pid" 2>/dev/null
    [ -n "$ms_pid" ] && kill -TERM "$ms_pid" 2>/dev/null
    wait 2>/dev/null
    if [ "$keep" = 1 ]; then echo "kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The input: "HOST CLIENT - - [TIME] "GET /p/SEQ HTTP/1.1" STATUS SIZE",
# every line distinct by SEQ.
awk -v n="$messages" -v h="$hosts" 'BEGIN {
    srand(20261211)
    for (i = 0; i < n; i++)
        printf "h%05d.example.com 10.%d.%d.%d - - [10/Oct/2000:13:55:36 -0700] \"GET /p/%07d HTTP/1.1\" 200 %d\n",
            int(rand() * h), int(rand() * 256), int(rand() * 256), int(rand() * 256), i, int(rand() * 100000)
}' >"$work/input.log"
# Every line, with its host first, sorted: what the files must hold.
sort "$work/input.log" >"$work/expected"

sender_rate=()
[ "$rate" != 0 ] && sender_rate=(-R "$rate")
failed=0
# Each run writes into a directory of its own, all removed at the end:
# 20,000 files made right after 20,000 were removed make ext4 pass over
# the recently freed inodes, slower run after run, which is the harness's
# doing and not the daemon's.
for run in $(seq "$runs"); do
    dir="$work/run-$run"
    mkdir -p "$dir/vhosts"
    port=$((26000 + RANDOM % 4000))
    while [ -e "/tmp/$port" ]; do port=$((26000 + RANDOM % 4000)); done
    "$build/minispread" -S -1 -p "$port" >"$dir/minispread.log" 2>&1 &
    ms_pid=$!
    for _ in $(seq 100); do [ -S "/tmp/$port" ] && break; sleep 0.05; done
    printf 'Spread {\n  Port = %s\n  Log {\n    Group = hosts\n    VhostDir = %s/vhosts\n  }\n}\n' \
        "$port" "$dir" >"$dir/wickerpost.conf"
    # No -v, no -x: a loss must be said without them.
    (ulimit -n "$limit" && exec "$build/wickerpost" -D -s -c "$dir/wickerpost.conf") 2>"$dir/wickerpost.err" &
    wk_pid=$!
    for _ in $(seq 200); do grep -q "Setting FD" "$dir/wickerpost.err" && break; sleep 0.05; done
    start=$(date +%s.%N)
    "$build/bench_sender" -s "$port" -g hosts -f "$work/input.log" "${sender_rate[@]}" >"$dir/sender.out"
    # Until every line is written, or nothing more is for 5 s, as the
    # status report counts them.
    written=0 last=-1 still=0 reports=0
    while [ "$still" -lt 25 ]; do
        kill -USR1 "$wk_pid"
        reports=$((reports + 1))
        for _ in $(seq 100); do
            [ "$(grep -c '^output path=' "$dir/wickerpost.err")" -ge "$reports" ] && break
            sleep 0.02
        done
        written=$(grep '^output path=' "$dir/wickerpost.err" | tail -1 | sed 's/.* written=\([0-9]*\) .*/\1/')
        [ "$written" -ge "$messages" ] && break
        if [ "$written" = "$last" ]; then still=$((still + 1)); else still=0; last=$written; fi
        sleep 0.2
    done
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    kill -TERM "$wk_pid"
    wait "$wk_pid" || true
    wk_pid=""
    kill -TERM "$ms_pid"
    wait "$ms_pid" || true
    ms_pid=""

    # Each host's lines, the host put back in front, sorted, against the
    # input; and within each file, the lines in the order sent.
    (cd "$dir/vhosts" && find . -type f -printf '%f\n' | xargs awk '{ print FILENAME " " $0 }') \
        | sort >"$dir/got"
    missing=$(comm -23 "$work/expected" "$dir/got" | wc -l)
    extra=$(comm -13 "$work/expected" "$dir/got" | wc -l)
    disorder=$(cd "$dir/vhosts" && find . -type f -printf '%f\n' | xargs awk '
        FNR == 1 { last = -1 }
        { match($0, /\/p\/[0-9]+/); seq = substr($0, RSTART + 3, RLENGTH - 3) + 0
          if (seq <= last) bad++; last = seq }
        END { print bad + 0 }' | awk '{ n += $1 } END { print n + 0 }')
    books=$(grep "^spread daemon=" "$dir/wickerpost.err" | tail -1 |
        sed 's/.*received=\([0-9]*\).* read_bytes=\([0-9]*\) framed=\([0-9]*\) taken=\([0-9]*\) held=\([0-9]*\) max_held_bytes=\([0-9]*\) sessions_lost=\([0-9]*\).*/received \1, read \2 bytes, framed \3, taken \4, held \5, most held \6 bytes, sessions lost \7/')
    landed=$(wc -l <"$dir/got")
    printf 'run %d: %d of %d landed, %d missing, %d doubled or torn, %d out of order, %.1f s; %s\n' \
        "$run" "$landed" "$messages" "$missing" "$extra" "$disorder" "$seconds" "$books"
    if [ "$missing" != 0 ] || [ "$extra" != 0 ] || [ "$disorder" != 0 ]; then
        failed=1
        echo "  wickerpost said:"; grep -v "^Setting FD\|^Zeroing" "$dir/wickerpost.err" | sed 's/^/    /'
        echo "  minispread said:"; sed 's/^/    /' "$dir/minispread.log"
        break
    fi
done
exit $failed
