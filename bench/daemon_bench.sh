#!/usr/bin/env bash
# Receiving side of the daemon, measured end to end through one minispread.
#
# The same file of ~100-byte access-log lines (the first word of each is one
# of 1000 virtual hosts) is sent by bench/bench_sender, as fast as it and
# minispread go (or at the rate -R gives), to one group, and received by, in
# turn:
#   baseline  bench/baseline_receiver: receive, one write to one file
#   baseline-vhost  the same receiver writing each line, without its first
#             word, to the file of that word (1000 files, a hash map): the
#             yardstick of what 1000 files cost the kernel
#   vhost-existing, baseline-vhost-existing  the same two with the 1000
#             files already there (empty) when the run starts: no creation
#   plain     wickerpost, a plain log file
#   vhost     wickerpost, the vhost facility (1000 files, created on the fly)
#   clf       wickerpost, a plain log file with the CLF timestamp rewrite
# Each case runs several times. Per run it takes:
#   msgs/s      messages / (time of the last write to the output, read from
#               the files' modification times - time the sender started)
#   CPU us/msg  user + system time of the receiving process, from wait4 when
#               it ends (SIGTERM once everything landed), per message
# One more run of each case, before the measured ones, warms the caches and
# counts the system calls of the receiving process with perf stat (when perf
# can count syscall tracepoints here); its times are not used.
# and checks that every line arrived exactly once and in order (plain files
# compared byte for byte; per-vhost files against the input split by vhost;
# CLF output compared with the timestamps taken out, each of them checked to
# be a well-formed CLF time), and that the receiver was never disconnected
# (wickerpost runs with -x: "Error receiving from spread" on its standard
# error; the baseline ends with "receive failed").
#
#   bench/daemon_bench.sh [-n MESSAGES] [-r RUNS] [-R RATE] [-B BUILD_DIR] [-c CASES] [-t DIR]
#                         [-M MINISPREAD] [-P] [-k]
#
# -n messages per run (500000), -r runs per case (5), -R messages per second
# the sender keeps to (0: as fast as it can, the default), -B the build directory
# (build; built here with ninja), -c a comma-separated list of cases
# (baseline,plain,clf,baseline-vhost,vhost,baseline-vhost-existing,vhost-existing), -t where the scratch directory
# with the input and the outputs is made (/tmp), -k keep it, -M another
# minispread binary to run (to compare versions of it), -P pin the receiver
# to CPU 1 and minispread and the sender to CPU 0 (taskset), so that the
# scheduler never takes the receiver off its core for the other two.
# Prints a Markdown table; exits 1 when a run lost, duplicated or reordered a
# line or was disconnected.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

messages=500000
rate=0
runs=5
build=build
cases=baseline,plain,clf,baseline-vhost,vhost,baseline-vhost-existing,vhost-existing
keep=0
tmp=/tmp
minispread=""
pin_receiver=()
pin_others=()
while getopts "n:r:R:B:c:t:M:Pk" opt; do
    case $opt in
    n) messages=$OPTARG ;;
    r) runs=$OPTARG ;;
    R) rate=$OPTARG ;;
    B) build=$OPTARG ;;
    c) cases=$OPTARG ;;
    t) tmp=$OPTARG ;;
    M) minispread=$OPTARG ;;
    P) pin_receiver=(taskset -c 1); pin_others=(taskset -c 0) ;;
    k) keep=1 ;;
    *) sed -n '/^#   bench/,/^# -n/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
case $build in /*) ;; *) build="$root/$build" ;; esac
[ -n "$minispread" ] || minispread="$build/minispread"
IFS=, read -r -a case_list <<<"$cases"
group=bench
TIMEFORMAT="%3U %3S"   # bash's time: user and system seconds of the sender

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" wickerpost minispread spcat baseline_receiver bench_sender >/dev/null

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d "$tmp/wkp-bench-XXXXXX")
mkdir "$work/trash"
minispread_pid=""
receiver_pid=""
cleanup() {
    [ -n "$receiver_pid" ] && kill -TERM "$receiver_pid" 2>/dev/null
    [ -n "$minispread_pid" ] && kill -TERM "$minispread_pid" 2>/dev/null
    wait 2>/dev/null
    if [ "$keep" = 1 ]; then echo "scratch directory kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# --- input ---------------------------------------------------------------
# One line per message: "VHOST CLIENT - - [TIME] "GET /p/SEQ HTTP/1.1" STATUS SIZE",
# every line distinct (SEQ), vhosts drawn at random from 1000 names.
input="$work/input.log"
awk -v n="$messages" 'BEGIN {
    srand(20240611)
    split("200 200 200 200 200 200 304 302 404 500", status, " ")
    for (i = 0; i < n; i++) {
        printf "v%03d.example.com 10.%d.%d.%d - - [10/Oct/2000:13:55:36 -0700] \"GET /p/%07d HTTP/1.1\" %s %d\n",
            int(rand() * 1000), int(rand() * 256), int(rand() * 256), int(rand() * 256),
            i, status[1 + int(rand() * 10)], int(rand() * 100000)
    }
}' >"$input"
input_bytes=$(stat -c %s "$input")
# What each vhost file must hold: its lines without the vhost word.
expected_vhosts="$work/expected-vhosts"
mkdir "$expected_vhosts"
awk -v d="$expected_vhosts" '{ print substr($0, length($1) + 2) > (d "/" $1) }' "$input"
vhost_bytes=$(cat "$expected_vhosts"/* | wc -c)
# The CLF case is compared with the bracketed field taken out.
sed 's/\[[^]]*\]//' "$input" >"$work/input-untimed.log"
echo "input: $messages lines, $input_bytes bytes, $(ls "$expected_vhosts" | wc -l) vhosts" >&2

# --- minispread ----------------------------------------------------------
port_free() {
    [ ! -e "/tmp/$1" ] || return 1
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
port=""
for p in $(seq 25803 25999); do
    port_free "$p" || continue
    "${pin_others[@]}" "$minispread" -p "$p" </dev/null >"$work/minispread.log" 2>&1 &
    minispread_pid=$!
    for _ in $(seq 50); do
        [ -S "/tmp/$p" ] && break
        kill -0 "$minispread_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -S "/tmp/$p" ] && kill -0 "$minispread_pid" 2>/dev/null; then port=$p; break; fi
    kill -TERM "$minispread_pid" 2>/dev/null || true
    wait "$minispread_pid" 2>/dev/null || true
    minispread_pid=""
done
[ -n "$port" ] || { echo "minispread did not start" >&2; exit 1; }
echo "minispread pid $minispread_pid on /tmp/$port" >&2

# Clock ticks the whole machine spent busy, from /proc/stat.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat; }
# Clock ticks of utime + stime of a process, from /proc/PID/stat.
ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
clk_tck=$(getconf CLK_TCK)

# Senders alone, to a group nobody joined, through the same minispread:
# bench_sender, and spcat for comparison.
sender_rate=$("$build/bench_sender" -s "$port" -g nobody-here -f "$input" | sed 's/.*: //')
t0=$(date +%s.%N)
"$build/spcat" -s "$port" -g nobody-here <"$input"
t1=$(date +%s.%N)
spcat_rate=$(awk -v n="$messages" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f msgs/s", n / (b - a) }')
echo "senders alone (no member): bench_sender $sender_rate, spcat $spcat_rate" >&2

# --- one run ---------------------------------------------------------------
# Bytes written so far into the run's output.
landed() {
    find "$work/out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'
}
# Modification time of the newest output file, in seconds.
last_write() {
    find "$work/out" -type f -printf '%T@\n' | sort -n | tail -1
}

# Syscall tracepoints counted in the warm-up run.
syscall_events=syscalls:sys_enter_recvmsg,syscalls:sys_enter_recvfrom,syscalls:sys_enter_read,syscalls:sys_enter_write,syscalls:sys_enter_poll,syscalls:sys_enter_ioctl,raw_syscalls:sys_enter
perf_ok=0
perf stat -x, -e "$syscall_events" true >/dev/null 2>&1 && perf_ok=1

# run_case CASE [count]: one run; appends "rate cpu_us daemon_us other_load" to
# $work/CASE.results, or prints why it failed and appends to $work/failures.
# With "count" it is the warm-up run instead: it counts the receiver's
# system calls into $work/CASE.syscalls and its times are not kept.
run_case() {
    local name=$1 label=$1 mode=${2:-measure} expect out="$work/out" cmd conf
    # The previous run's output is moved aside, not deleted: ext4 creates
    # files much faster while freshly freed inodes are at hand, which would
    # favour whichever case follows a vhost case. Everything goes at exit.
    [ -d "$out" ] && mv "$out" "$work/trash/$(date +%s%N)"
    mkdir -p "$out/vhosts"
    case $name in
    *-existing)
        (cd "$expected_vhosts" && ls) | sed "s|^|$out/vhosts/|" | xargs touch
        name=${name%-existing} ;;
    esac
    conf="$work/wickerpost.conf"
    case $name in
    baseline)
        cmd=("$build/baseline_receiver" -s "$port" -g "$group" -o "$out/plain.log")
        expect=$input_bytes ;;
    baseline-vhost)
        cmd=("$build/baseline_receiver" -s "$port" -g "$group" -d "$out/vhosts")
        expect=$vhost_bytes ;;
    plain)
        printf 'Spread {\n Port = %s\n Log {\n  Group = %s\n  File = %s/plain.log\n }\n}\n' \
            "$port" "$group" "$out" >"$conf"
        cmd=("$build/wickerpost" -D -v -x -c "$conf")
        expect=$input_bytes ;;
    vhost)
        printf 'Spread {\n Port = %s\n Log {\n  Group = %s\n  VhostDir = %s/vhosts\n }\n}\n' \
            "$port" "$group" "$out" >"$conf"
        cmd=("$build/wickerpost" -D -v -x -c "$conf")
        expect=$vhost_bytes ;;
    clf)
        printf 'Spread {\n Port = %s\n Log {\n  Group = %s\n  File = %s/plain.log\n  RewriteTimestamp = CommonLogFormat\n }\n}\n' \
            "$port" "$group" "$out" >"$conf"
        cmd=("$build/wickerpost" -D -v -x -c "$conf")
        expect=$input_bytes ;;
    *) echo "unknown case $name" >&2; exit 2 ;;
    esac

    # The receiver runs under a small parent that reports its resource use
    # from wait4 (microsecond resolution) once it ends.
    # Nothing of the previous run may be taken for this one's.
    rm -f "$work/pid" "$work/rusage" "$work/receiver.err"
    python3 -c '
import os, subprocess, sys
child = subprocess.Popen(sys.argv[3:])
with open(sys.argv[1], "w") as f:
    f.write("%d\n" % child.pid)
_, status, ru = os.wait4(child.pid, 0)
with open(sys.argv[2], "w") as f:
    f.write("%.6f %.6f %d\n" % (ru.ru_utime, ru.ru_stime, status))
' "$work/pid" "$work/rusage" "${pin_receiver[@]}" "${cmd[@]}" 2>"$work/receiver.err" &
    local wrapper=$!
    local i joined=0
    for i in $(seq 100); do
        if [ -s "$work/pid" ] && grep -qi "^joined $group" "$work/receiver.err" 2>/dev/null; then
            joined=1
            break
        fi
        kill -0 "$wrapper" 2>/dev/null || break
        sleep 0.1
    done
    receiver_pid=$(cat "$work/pid" 2>/dev/null || true)
    if [ "$joined" != 1 ] || ! [[ "$receiver_pid" =~ ^[0-9]+$ ]]; then
        echo "$name: the receiver did not join:" >&2
        cat "$work/receiver.err" >&2
        exit 1
    fi

    local perf_pid=""
    if [ "$mode" = count ] && [ "$perf_ok" = 1 ]; then
        perf stat -x, -e "$syscall_events" -o "$work/perf.out" -p "$receiver_pid" 2>/dev/null &
        perf_pid=$!
        sleep 0.5
    fi

    local d0 b0 t_start t_sent t_end size last_size stalled=0
    d0=$(ticks "$minispread_pid")
    b0=$(busy_ticks)
    t_start=$(date +%s.%N)
    { time "${pin_others[@]}" "$build/bench_sender" -s "$port" -g "$group" -f "$input" -R "$rate" >/dev/null 2>&3; } 3>&2 2>"$work/sender.time"
    t_sent=$(date +%s.%N)
    last_size=-1
    while :; do
        size=$(landed)
        [ "$size" -ge "$expect" ] && break
        kill -0 "$receiver_pid" 2>/dev/null || break
        if [ "$size" = "$last_size" ]; then
            stalled=$((stalled + 1))
            [ "$stalled" -ge 50 ] && break   # nothing new for 5 seconds
        else
            stalled=0
        fi
        last_size=$size
        sleep 0.1
    done
    t_end=$(last_write)
    local d1 b1 t_busy
    d1=$(ticks "$minispread_pid")
    b1=$(busy_ticks)
    t_busy=$(date +%s.%N)
    if [ -n "$perf_pid" ]; then
        kill -INT "$perf_pid" 2>/dev/null || true
        wait "$perf_pid" || true
    fi
    kill -TERM "$receiver_pid" 2>/dev/null || true
    wait "$wrapper" || true
    receiver_pid=""

    # Exactly once, in order, never disconnected.
    local problem=""
    if grep -q -e "Error receiving from spread" -e "receive failed" "$work/receiver.err"; then
        problem="disconnected: $(grep -m1 -A1 -e "Error receiving" -e "receive failed" "$work/receiver.err" | tr '\n' ' ')"
    fi
    case $name in
    baseline | plain)
        cmp -s "$input" "$out/plain.log" || problem="$problem output differs from input ($(wc -l <"$out/plain.log") lines);" ;;
    vhost | baseline-vhost)
        diff -rq "$expected_vhosts" "$out/vhosts" >/dev/null ||
            problem="$problem vhost files differ from the input split by vhost ($(cat "$out"/vhosts/* | wc -l) lines);" ;;
    clf)
        sed 's/\[[^]]*\]//' "$out/plain.log" | cmp -s "$work/input-untimed.log" - ||
            problem="$problem output differs from input outside the timestamps;"
        local good
        good=$(grep -c -E '^[^[]*\[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\] ' "$out/plain.log" || true)
        [ "$good" = "$messages" ] || problem="$problem $good of $messages lines have a CLF timestamp;" ;;
    esac
    # CPU the machine spent on anything but the sender, minispread and the
    # receiver while the run went on, in cores.
    local other
    read -r utime stime _ <"$work/rusage" || { utime=0; stime=0; }
    other=$(awk -v b="$((b1 - b0))" -v d="$((d1 - d0))" -v hz="$clk_tck" -v u="$utime" -v s="$stime" \
        -v sp="$(tail -1 "$work/sender.time")" -v a="$t_start" -v z="$t_busy" 'BEGIN {
        split(sp, t, " "); printf "%.2f", ((b - d) / hz - u - s - t[1] - t[2]) / (z - a) }')
    if [ -n "$problem" ]; then
        problem="$problem other load $other cores; sender took $(awk -v a="$t_start" -v b="$t_sent" -v n="$messages" \
            'BEGIN { printf "%.2f s (%.0f msgs/s)", b - a, n / (b - a) }');"
        echo "$label: FAILED:$problem" >&2
        echo "$label $problem" >>"$work/failures"
        return
    fi
    local results="$work/$label.results"
    [ "$mode" = count ] && results=/dev/null
    awk -v n="$messages" -v a="$t_start" -v b="$t_end" -v u="$utime" -v s="$stime" \
        -v d="$((d1 - d0))" -v hz="$clk_tck" -v o="$other" 'BEGIN {
        printf "%.0f %.3f %.3f %s\n", n / (b - a), (u + s) * 1e6 / n, d * 1e6 / hz / n, o
    }' | tee -a "$results" | awk -v c="$label" -v m="$mode" -v sent="$(awk -v a="$t_start" -v b="$t_sent" \
        -v n="$messages" 'BEGIN { printf "%.0f", n / (b - a) }')" -v o="$other" '{
        printf "%-8s %8d msgs/s  %6.3f us/msg  minispread %.3f us/msg  sender %d msgs/s  other load %.2f cores%s\n",
            c, $1, $2, $3, sent, o, m == "count" ? "  (warm-up)" : "" }' >&2
    if [ -n "$perf_pid" ]; then
        # perf -x, lines: count,unit,event,...
        awk -F, -v n="$messages" '
            $3 ~ /sys_enter_(recvmsg|recvfrom|read)$/ { recv += $1 }
            $3 ~ /sys_enter_write$/ { write += $1 }
            $3 ~ /sys_enter_(poll|ioctl)$/ { waits += $1 }
            $3 ~ /raw_syscalls:sys_enter$/ { all += $1 }
            END { printf "%.3f %.3f %.3f %.3f\n", all / n, recv / n, write / n, waits / n }' \
            "$work/perf.out" >"$work/$label.syscalls"
        echo "$label: syscalls per message: $(cat "$work/$label.syscalls") (all, receive, write, poll+ioctl)" >&2
    fi
}

# Runs alternate between the cases, so that a slow phase of the machine
# does not fall on one case only.
for c in "${case_list[@]}"; do
    run_case "$c" count
done
for r in $(seq "$runs"); do
    for c in "${case_list[@]}"; do
        run_case "$c"
    done
done

# --- report ---------------------------------------------------------------
# min / median / max of column $2 of file $1.
stats() {
    cut -d' ' -f"$2" "$1" | sort -g | awk '{ v[NR] = $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf fmt " / " fmt " / " fmt, v[1], m, v[NR] }' fmt="$3"
}
median() { stats "$1" "$2" "%s" | awk -F' / ' '{ print $2 }'; }

base_cpu=""
[ -s "$work/baseline.results" ] && base_cpu=$(median "$work/baseline.results" 2)
echo
echo "$messages messages of ~$((input_bytes / messages)) bytes per run, 1000 vhosts, $runs runs per case;"
[ ${#pin_receiver[@]} -gt 0 ] && echo "receiver pinned to CPU 1, minispread and the sender to CPU 0;"
if [ "$rate" = 0 ]; then
    echo "sender at full speed; alone (to a group without members) bench_sender sends $sender_rate, spcat $spcat_rate;"
else
    echo "sender held to $rate msgs/s; alone (to a group without members) bench_sender sends $sender_rate, spcat $spcat_rate;"
fi
echo "load average before: $load_start, after: $(cut -d' ' -f1-3 /proc/loadavg) (the receiver keeps up only"
echo "when it gets its share of the 2 cores: other work on the machine disconnects receivers)"
echo
echo "| receiver | good runs | msgs/s min / median / max | CPU µs/msg min / median / max | CPU vs baseline (median) | syscalls/msg: all, receive, write, poll+ioctl | minispread CPU µs/msg (median) | other load, cores (median) |"
echo "|---|---|---|---|---|---|---|---|"
for c in "${case_list[@]}"; do
    f="$work/$c.results"
    good=0
    [ -s "$f" ] && good=$(wc -l <"$f")
    if [ "$good" = 0 ]; then
        echo "| $c | 0 of $runs | | | | | | |"
        continue
    fi
    ratio="-"
    if [ -n "$base_cpu" ]; then
        ratio=$(awk -v a="$(median "$f" 2)" -v b="$base_cpu" 'BEGIN { printf "%.2f×", a / b }')
    fi
    if [[ "$c" = vhost* ]] && [ -s "$work/baseline-$c.results" ]; then
        ratio="$ratio ($(awk -v a="$(median "$f" 2)" -v b="$(median "$work/baseline-$c.results" 2)" \
            'BEGIN { printf "%.2f×", a / b }') of baseline-$c)"
    fi
    calls="-"
    [ -s "$work/$c.syscalls" ] && calls=$(sed 's/ /, /g' "$work/$c.syscalls")
    echo "| $c | $good of $runs | $(stats "$f" 1 %.0f) | $(stats "$f" 2 %.2f) | $ratio | $calls | $(median "$f" 3) | $(median "$f" 4) |"
done
if [ -s "$work/failures" ]; then
    echo
    echo "Failed runs:"
    sed 's/^/- /' "$work/failures"
    exit 1
fi
