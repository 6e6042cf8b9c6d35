#!/usr/bin/env bash
# Lines lost and doubled on their way from a web server to the vhost files
# when the Spread daemon is stopped and started again in the middle of the
# stream.
#
# The set-up of a web server without the web server: WRITERS processes (a
# server's workers) append access-log lines, the vhost first, to one pipe
# into `spcat -s PORT -g web` at a steady overall RATE; wickerpost logs the
# group "web" into a VhostDir through minispread on PORT (the Unix socket,
# both of them).  Once STOP_AT of the lines are in the files, minispread is
# stopped (SIGTERM, or -K SIGNAL), and GAP seconds later started again on the
# same port.  After the last line, spcat sees the end of its input and ends;
# once the vhost files stop growing, every line sent is looked for in them.
# Per run: lines sent, lines missing, lines doubled, how long after the
# daemon's socket was back wickerpost was in the group again (a probe line,
# sent every 50 ms by a spcat of its own, first landed in its file), and
# what the streaming spcat said.
#
#   bench/restart_bench.sh [-n LINES] [-w WRITERS] [-R RATE] [-g GAP] [-s STOP_AT]
#                          [-r RUNS] [-K SIGNAL] [-B BUILD_DIR] [-t DIR] [-k]
#
# -n lines per run (20000), -w writer processes (8), -R lines per second, all
# writers together (5000), -g seconds the daemon is away (2), -s the part of
# the lines in the files before the stop (0.4), -r runs (3), -K the signal that
# stops minispread (TERM; KILL for a crash), -B the build directory (build;
# built here with ninja), -t where the scratch directory is made (/tmp), -k
# keep it.  Prints one Markdown row per run and min / median / max of the
# missing lines; exits 1 when a line arrived twice or altered.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

lines=20000 writers=8 rate=5000 gap=2 stop_at=0.4 runs=3 sig=TERM build=build tmp=/tmp keep=0
while getopts "n:w:R:g:s:r:K:B:t:k" opt; do
    case $opt in
    n) lines=$OPTARG ;;
    w) writers=$OPTARG ;;
    R) rate=$OPTARG ;;
    g) gap=$OPTARG ;;
    s) stop_at=$OPTARG ;;
    r) runs=$OPTARG ;;
    K) sig=$OPTARG ;;
    B) build=$OPTARG ;;
    t) tmp=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2 ;;
    esac
done
[[ $build = /* ]] || build=$root/$build
ninja -C "$build" minispread spcat wickerpost >/dev/null

work=$(mktemp -d "$tmp/restart-bench.XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    if [[ $keep = 0 ]]; then rm -rf "$work"; else echo "kept $work" >&2; fi
}
trap cleanup EXIT

# One writer: COUNT lines at RATE lines per second, each written alone (a
# whole line per write, as a server's worker logs), numbered so that every
# line is unique: "vK.example.com 127.0.0.1 - - [...] "GET /wW/N HTTP/1.1" 200 N".
cat >"$work/writer.py" <<'EOF'
import os, sys, time
w, count, rate = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
start = time.monotonic()
for n in range(count):
    due = start + n / rate
    now = time.monotonic()
    if due > now:
        time.sleep(due - now)
    line = ('v%d.example.com 127.0.0.1 - - [10/Dec/2026:22:00:00 +0000] '
            '"GET /w%d/%d HTTP/1.1" 200 %d\n' % (n % 10, w, n, n))
    os.write(1, line.encode())
EOF

free_port() {
    local p
    while :; do
        p=$((20000 + RANDOM % 12000))
        [[ -e /tmp/$p ]] && continue
        (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null && continue
        echo "$p"
        return
    done
}

# Starts minispread on $port and waits for its socket.
start_spread() {
    rm -f "/tmp/$port"
    "$build/minispread" -p "$port" 2>>"$run/minispread.err" &
    spread=$!
    pids+=("$spread")
    while [[ ! -S /tmp/$port ]]; do sleep 0.01; done
}

now() { date +%s.%N; }

echo "| run | sent | missing | doubled | wickerpost back in the group after (s) | spcat said |"
echo "|---|---|---|---|---|---|"
missing_all=()
status=0
for r in $(seq 1 "$runs"); do
    run=$work/run$r
    mkdir -p "$run/vhosts"
    port=$(free_port)
    start_spread
    cat >"$run/wickerpost.conf" <<EOF
Spread {
  Port = $port
  Log {
    Group = web
    VhostDir = $run/vhosts
  }
}
EOF
    "$build/wickerpost" -D -x -c "$run/wickerpost.conf" 2>"$run/wickerpost.err" &
    wp=$!
    pids+=("$wp")
    # wickerpost is in the group once a probe line lands in its file.
    until [[ -s $run/vhosts/probe.invalid ]]; do
        echo "probe.invalid probe" | "$build/spcat" -s "$port" -g web -w 0 2>/dev/null || true
        sleep 0.1
    done

    per=$((lines / writers))
    sent=$((per * writers))
    (
        for w in $(seq 1 "$writers"); do
            python3 "$run/../writer.py" "$w" "$per" "$(echo "$rate / $writers" | bc -l)" &
        done
        wait
    ) | "$build/spcat" -s "$port" -g web 2>"$run/spcat.err" &
    cat_pid=$!
    pids+=("$cat_pid")

    # Mid-stream: once STOP_AT of the lines are in the files.
    stop_lines=$(echo "$sent * $stop_at / 1" | bc)
    until [[ $(cat "$run"/vhosts/v*.example.com 2>/dev/null | wc -l) -ge $stop_lines ]]; do sleep 0.02; done
    kill -"$sig" "$spread"
    wait "$spread" 2>/dev/null || true
    sleep "$gap"
    start_spread
    back=$(now)
    for _ in $(seq 1 400); do
        [[ -s $run/vhosts/rejoin.invalid ]] && break
        echo "rejoin.invalid probe" | "$build/spcat" -s "$port" -g web -w 0 2>/dev/null || true
        sleep 0.05
    done
    rejoin=n/a
    if [[ -s $run/vhosts/rejoin.invalid ]]; then
        rejoin=$(awk -v b="$back" -v t="$(stat -c %.9Y "$run/vhosts/rejoin.invalid")" 'BEGIN { printf "%.2f", t - b }')
    fi

    wait "$cat_pid" || true
    # Done once the vhost files hold every line, or stop growing for 3 s.
    last=-1 still=0
    while :; do
        got=$(cat "$run"/vhosts/v*.example.com 2>/dev/null | wc -l)
        [[ $got -ge $sent ]] && break
        if [[ $got = "$last" ]]; then
            still=$((still + 1))
            [[ $still -ge 30 ]] && break
        else
            still=0 last=$got
        fi
        sleep 0.1
    done
    kill -TERM "$wp"
    wait "$wp" 2>/dev/null || true
    kill -TERM "$spread"
    wait "$spread" 2>/dev/null || true

    # Each line as it left its writer: the vhost, then the rest, which is
    # what its file holds.
    for w in $(seq 1 "$writers"); do
        awk -v w="$w" -v c="$per" 'BEGIN { for (n = 0; n < c; n++)
            printf "v%d.example.com 127.0.0.1 - - [10/Dec/2026:22:00:00 +0000] \"GET /w%d/%d HTTP/1.1\" 200 %d\n", n % 10, w, n, n }'
    done | sort >"$run/sent"
    for f in "$run"/vhosts/v*.example.com; do
        [[ -e $f ]] || continue
        sed "s|^|$(basename "$f") |" "$f"
    done | sort >"$run/received"
    missing=$(comm -23 "$run/sent" <(sort -u "$run/received") | wc -l)
    doubled=$(($(wc -l <"$run/received") - $(sort -u "$run/received" | wc -l)))
    altered=$(comm -13 "$run/sent" <(sort -u "$run/received") | wc -l)
    [[ $doubled -gt 0 || $altered -gt 0 ]] && status=1
    missing_all+=("$missing")

    said=$(sed 's/spcat: //; s/"[^"]*"/D/g' "$run/spcat.err" | paste -sd ';' -)
    echo "| $r | $sent | $missing | $doubled$([[ $altered -gt 0 ]] && echo ", $altered altered") | $rejoin | ${said:-nothing} |"
done

sorted=($(printf '%s\n' "${missing_all[@]}" | sort -n))
n=${#sorted[@]}
echo
echo "missing lines min / median / max: ${sorted[0]} / ${sorted[$((n / 2))]} / ${sorted[$((n - 1))]} (of $sent a run, $runs runs); load: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
