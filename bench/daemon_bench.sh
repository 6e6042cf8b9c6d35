#!/usr/bin/env bash
# Receiving side of the daemon, measured end to end through one minispread.
#
# The same file of ~100-byte access-log lines (the first word of each is one
# of 1000 virtual hosts) is sent by bench/bench_sender, as fast as it and
# minispread go (or at the rate -R gives), to one group, and received by, in
# turn:
#   baseline  bench/baseline_receiver: receive, one write to one file; the
#             session reads ahead on the library's thread
#   bare, bare-vhost  the same two (baseline, baseline-vhost) with
#             baseline_receiver -t: one thread that receives each message
#             from the socket itself (no read-ahead), the bare receiver
#   baseline-vhost  the same receiver writing each line, without its first
#             word, to the file of that word (1000 files, a hash map): the
#             yardstick of what 1000 files cost the kernel
#   vhost-existing, baseline-vhost-existing  the same two with the 1000
#             files already there (empty) when the run starts: no creation
#   plain     wickerpost, a plain log file
#   vhost     wickerpost, the vhost facility (1000 files, created on the fly)
#   clf       wickerpost, a plain log file with the CLF timestamp rewrite
#   plain-stats  wickerpost, a plain log file, and a StatsFile written every
#             second (StatsInterval = 1, the shortest)
#   plain-scraped  wickerpost, a plain log file, and StatsListen on a free
#             port of 127.0.0.1 scraped every 100 ms (GET /metrics with
#             Python's urllib) for the whole run; the scrapes, the failed
#             ones and the slowest are said per run
#   dated     wickerpost, a DatedFile named by the second (%Y%m%d%H%M%S)
#   vhost-dated  wickerpost, the vhost facility with a VhostFile named by the
#             second: a file per host and second
#   rotate, rotate-zstd, dated-zstd, dated-gzip, sync, vhost-idle
#             wickerpost with the Log block's file settings, with
#             compression's own CPU and ratio (bench/daemon_bench_files.sh)
#   other-CASE  any wickerpost case run by the binary -W names (an earlier
#             build, say), so that one invocation measures both
# Each case runs several times. Per run it takes:
#   msgs/s      messages / (time of the last write to the output, read from
#               the files' modification times - time the sender started),
#               for runs in which every line arrived
#   CPU us/msg  user + system time of the receiving process, from wait4 when
#               it ends (SIGTERM once everything landed), per line that
#               arrived
#   wake-ups/msg  context switches of the receiving process, all its threads,
#               voluntary and involuntary (wait4's ru_nvcsw + ru_nivcsw), per
#               line that arrived
#   latency     with -L: p50 and p99 of the time from the sender handing a
#               line to minispread (bench_sender -T) to the line being read
#               back from its output file by bench/arrival_watch (inotify),
#               in ms; the watcher's own wake-up is in every figure
#   disconnections  how often the receiver's session was lost (wickerpost
#               runs with -x and says "Error receiving from spread" on its
#               standard error, then reconnects; the baseline ends with
#               "receive failed"), and how many times minispread said it
#               killed a session for not reading
#   lines lost  lines sent that never reached the output
#   reader faults/msg  page faults (minor + major) of the receiver's reader
#             threads ("sp-reader", from /proc/PID/task/TID/stat) over the
#             run, taken just before the SIGTERM, per line that arrived
#   VmRSS     the receiver's VmRSS at the same moment, in MB
# and checks that the lines that arrived came once each, in order and
# intact (plain files line by line against the input; per-vhost files
# against the input split by vhost; CLF output with the timestamps taken
# out, each of them checked to be a well-formed CLF time).
# One more run of each case, before the measured ones, warms the caches and
# counts the system calls of the receiving process with perf stat (when perf
# can count syscall tracepoints here); its times are not used.
#
#   bench/daemon_bench.sh [-n MESSAGES] [-r RUNS] [-R RATE[,RATE...]] [-B BUILD_DIR] [-c CASES] [-t DIR]
#                         [-M MINISPREAD] [-W WICKERPOST] [-S] [-1] [-U] [-L] [-N] [-a NEIGHBOUR_ARGS] [-P] [-k]
#
# -n messages per run (500000), -r runs per case (10), -R messages per second
# the sender keeps to (0: as fast as it can, the default; several, separated
# by commas, run the whole benchmark once per rate), -B the build directory
# (build; built here with ninja), -c a comma-separated list of cases
# (baseline,plain,clf,baseline-vhost,vhost,baseline-vhost-existing,vhost-existing;
# also bare, bare-vhost, bare-vhost-existing, plain-stats, plain-scraped, and dated,
# vhost-dated: a DatedFile and a VhostFile whose names change every
# second; rotate, rotate-zstd, dated-zstd, dated-gzip, sync, vhost-idle: the
# Log block file settings), -t where the scratch directory with the input and the outputs is
# made (/tmp), -k keep it, -M another
# minispread binary to run (to compare versions of it), -W another
# wickerpost binary for the other-CASE cases (a build of an earlier commit,
# say: -W OLD/wickerpost -c plain,other-plain, both in one invocation), or,
# when no other-CASE case is listed, for every wickerpost case, -S run minispread
# with -S (a real Spread daemon's policy: senders are never held back, a
# receiver with 1000 messages waiting is disconnected), -1 run minispread
# with -1 (each message written to the receiver with a send of its own, as
# a real Spread daemon writes), -U run minispread, the sender and the
# receiver without CAP_SYS_NICE (setpriv --bounding-set=-sys_nice
# --inh-caps=-sys_nice: none of them may raise a priority, as under the
# shipped unit's RestrictRealtime=yes and empty capability set), -L measure
# latency in every measured run (the sender notes its send times, and
# bench/arrival_watch, one more process, the arrivals), -N run a busy
# neighbour alongside every run: neighbour.py from $WKP_NEIGHBOUR, else
# ../shared/bench/neighbour.py beside the checkout, with the arguments -a
# gives (its own defaults otherwise), -P pin the receiver to CPU 1 and
# minispread and the sender to CPU 0 (taskset), so that the scheduler never
# takes the receiver off its core for the other two.
# Prints a Markdown table; exits 1 when a line arrived twice, out of order or
# altered (lost lines and disconnections are measured, not failures).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

messages=500000
rate=0
runs=10
build=build
cases=baseline,plain,clf,baseline-vhost,vhost,baseline-vhost-existing,vhost-existing
keep=0
tmp=/tmp
minispread=""
wickerpost=""
minispread_args=()
use_neighbour=0
neighbour_args=""
pin_receiver=()
pin_others=()
unpriv=()
latency=0
while getopts "n:r:R:B:c:t:M:W:S1ULNa:Pk" opt; do
    case $opt in
    n) messages=$OPTARG ;;
    r) runs=$OPTARG ;;
    R) rate=$OPTARG ;;
    B) build=$OPTARG ;;
    c) cases=$OPTARG ;;
    t) tmp=$OPTARG ;;
    M) minispread=$OPTARG ;;
    W) wickerpost=$OPTARG ;;
    S) minispread_args+=(-S) ;;
    1) minispread_args+=(-1) ;;
    U) unpriv=(setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice --) ;;
    L) latency=1 ;;
    N) use_neighbour=1 ;;
    a) neighbour_args=$OPTARG ;;
    P) pin_receiver=(taskset -c 1); pin_others=(taskset -c 0) ;;
    k) keep=1 ;;
    *) sed -n '/^#   bench/,/^# -n/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
# Several rates: the whole benchmark once per rate, each with its report.
if [[ "$rate" == *,* ]]; then
    IFS=, read -r -a rate_list <<<"$rate"
    status=0
    for r in "${rate_list[@]}"; do
        echo "### $( [ "$r" = 0 ] && echo "full speed" || echo "$r msgs/s")"
        "$0" "$@" -R "$r" || status=1
        echo
    done
    exit $status
fi
case $build in /*) ;; *) build="$root/$build" ;; esac
[ -n "$minispread" ] || minispread="$build/minispread"
# -W: the binary of the other-CASE cases; without such a case, the binary
# of every wickerpost case instead of the build's.
other_wickerpost=$wickerpost
wickerpost="$build/wickerpost"
if [[ ",$cases," == *,other-* ]]; then
    [ -n "$other_wickerpost" ] || { echo "daemon_bench.sh: other-CASE cases need -W" >&2; exit 2; }
elif [ -n "$other_wickerpost" ]; then
    wickerpost=$other_wickerpost
fi
IFS=, read -r -a case_list <<<"$cases"
read -r -a neighbour_argv <<<"$neighbour_args"

# The busy neighbour: found as the Spread reference checks find their
# recordings, through an environment variable or beside the checkout.
neighbour=""
if [ "$use_neighbour" = 1 ]; then
    for candidate in "${WKP_NEIGHBOUR:-}" "$(cd "$root/.." && pwd)/shared/bench/neighbour.py"; do
        if [ -n "$candidate" ] && [ -f "$candidate" ]; then
            neighbour=$candidate
            break
        fi
    done
    if [ -z "$neighbour" ]; then
        echo "daemon_bench.sh: -N: no neighbour.py in \$WKP_NEIGHBOUR or at $(cd "$root/.." && pwd)/shared/bench/neighbour.py" >&2
        exit 2
    fi
    echo "neighbour: $neighbour ${neighbour_args:-(its defaults)}" >&2
fi
group=bench
TIMEFORMAT="%3U %3S"   # bash's time: user and system seconds of the sender

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" wickerpost minispread spcat baseline_receiver bench_sender arrival_watch >/dev/null

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d "$tmp/wkp-bench-XXXXXX")
mkdir "$work/trash"
minispread_pid=""
receiver_pid=""
neighbour_pid=""
watch_pid=""
scraper_pid=""
cleanup() {
    [ -n "$scraper_pid" ] && kill -TERM "$scraper_pid" 2>/dev/null
    [ -n "$neighbour_pid" ] && kill -TERM "$neighbour_pid" 2>/dev/null
    [ -n "$watch_pid" ] && kill -TERM "$watch_pid" 2>/dev/null
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
# What arrived, against the input (see the checker).
check_py="$root/bench/daemon_bench_check.py"
echo "input: $messages lines, $input_bytes bytes, $(ls "$expected_vhosts" | wc -l) vhosts" >&2

# --- minispread ----------------------------------------------------------
port_free() {
    [ ! -e "/tmp/$1" ] || return 1
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
port=""
for p in $(seq 25803 25999); do
    port_free "$p" || continue
    "${pin_others[@]}" "${unpriv[@]}" "$minispread" "${minispread_args[@]}" -p "$p" </dev/null >"$work/minispread.log" 2>&1 &
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
echo "minispread${minispread_args[*]:+ ${minispread_args[*]}} pid $minispread_pid on /tmp/$port" >&2

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

. "$root/bench/daemon_bench_files.sh"

# --- one run ---------------------------------------------------------------
# Bytes written so far into the run's output.
# A compressed file counts as what it holds, each one decompressed once.
declare -A unpacked
landed() {
    local plain packed=0 f
    plain=$(find "$work/out" -type f ! -name '*.zst' ! -name '*.gz' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    while IFS= read -r f; do
        [ -n "${unpacked[$f]:-}" ] || unpacked[$f]=$(unpack "$f" | wc -c)
        packed=$((packed + unpacked[$f]))
    done < <(find "$work/out" -type f \( -name '*.zst' -o -name '*.gz' \))
    echo $((plain + packed))
}
# Modification time of the newest output file, in seconds.
last_write() {
    find "$work/out" -type f -printf '%T@\n' | sort -n | tail -1
}

# Syscall tracepoints counted in the warm-up run.
syscall_events=syscalls:sys_enter_recvmsg,syscalls:sys_enter_recvfrom,syscalls:sys_enter_read,syscalls:sys_enter_write,syscalls:sys_enter_poll,syscalls:sys_enter_ioctl,raw_syscalls:sys_enter
perf_ok=0
perf stat -x, -e "$syscall_events" true >/dev/null 2>&1 && perf_ok=1

# daemon_conf LINE...: for run_case, the daemon (in its cmd) on a
# configuration (written to its conf) of one Log block for $group that
# holds the lines given, after the global lines in $conf_globals.
conf_globals=""
daemon_conf() {
    { printf '%s' "$conf_globals"
      printf 'Spread {\n Port = %s\n Log {\n  Group = %s\n' "$port" "$group"
      printf '%s\n' "$@"
      printf ' }\n}\n'; } >"$conf"
    cmd=("$wkp_bin" -D -v -x -c "$conf")
}

# run_case CASE [count]: one run; appends "disconnections kills lost cpu_us
# daemon_us other_load" to $work/CASE.runs, and its rate to
# $work/CASE.rates when every line arrived; a run with lost lines or a
# disconnection is also listed in $work/losses, one with lines altered,
# repeated or out of order in $work/failures. With "count" it is the
# warm-up run instead: it counts the receiver's system calls into
# $work/CASE.syscalls and keeps nothing else.
run_case() {
    local name=$1 label=$1 mode=${2:-measure} expect out="$work/out" cmd conf wkp_bin=$wickerpost scrape_port=""
    case $name in
    other-*) wkp_bin=$other_wickerpost; name=${name#other-} ;;
    esac
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
    bare)
        cmd=("$build/baseline_receiver" -t -s "$port" -g "$group" -o "$out/plain.log")
        expect=$input_bytes ;;
    bare-vhost)
        cmd=("$build/baseline_receiver" -t -s "$port" -g "$group" -d "$out/vhosts")
        expect=$vhost_bytes ;;
    plain)
        daemon_conf "  File = $out/plain.log"
        expect=$input_bytes ;;
    vhost)
        daemon_conf "  VhostDir = $out/vhosts"
        expect=$vhost_bytes ;;
    clf)
        daemon_conf "  File = $out/plain.log" "  RewriteTimestamp = CommonLogFormat"
        expect=$input_bytes ;;
    plain-stats)
        conf_globals="StatsFile = $out/wickerpost.prom"$'\n'"StatsInterval = 1"$'\n'
        daemon_conf "  File = $out/plain.log"
        conf_globals=""
        expect=$input_bytes ;;
    plain-scraped)
        scrape_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        conf_globals="StatsListen = 127.0.0.1:$scrape_port"$'\n'
        daemon_conf "  File = $out/plain.log"
        conf_globals=""
        expect=$input_bytes ;;
    dated)
        mkdir -p "$out/dated"
        daemon_conf "  DatedFile = $out/dated/%Y%m%d%H%M%S.log"
        expect=$input_bytes ;;
    vhost-dated)
        daemon_conf "  VhostDir = $out/vhosts" "  VhostFile = %Y%m%d%H%M%S"
        expect=$vhost_bytes ;;
    *) file_case_conf "$name" "$out" || { echo "unknown case $name" >&2; exit 2; } ;;
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
    f.write("%.6f %.6f %d %d %d\n" % (ru.ru_utime, ru.ru_stime, status, ru.ru_nvcsw, ru.ru_nivcsw))
' "$work/pid" "$work/rusage" "${pin_receiver[@]}" "${unpriv[@]}" "${cmd[@]}" 2>"$work/receiver.err" &
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

    # Whether the receiver may raise priorities (CAP_SYS_NICE effective),
    # noted once for the report.
    if [ ! -s "$work/cap_sys_nice" ]; then
        local capeff
        capeff=$(awk '/^CapEff:/ { print $2 }' "/proc/$receiver_pid/status")
        if (( (0x$capeff >> 23) & 1 )); then echo may; else echo "may not"; fi >"$work/cap_sys_nice"
    fi

    local perf_pid=""
    if [ "$mode" = count ] && [ "$perf_ok" = 1 ]; then
        perf stat -x, -e "$syscall_events" -o "$work/perf.out" -p "$receiver_pid" 2>/dev/null &
        perf_pid=$!
        sleep 0.5
    fi

    # The neighbour starts once the receiver is in place and stops once
    # the output stopped growing.
    if [ -n "$neighbour" ]; then
        python3 "$neighbour" --secs 3600 "${neighbour_argv[@]}" &
        neighbour_pid=$!
    fi
    # The scraper: GET /metrics every 100 ms until SIGTERM; then writes
    # "scrapes failed slowest_ms" to its file.
    if [ -n "$scrape_port" ]; then
        rm -f "$work/scrapes" "$work/scrapes.ready"
        python3 -c '
import signal, sys, time, urllib.request
url, out = "http://127.0.0.1:%s/metrics" % sys.argv[1], sys.argv[2]
done = [0, 0, 0.0]
def stop(*_):
    open(out, "w").write("%d %d %.1f\n" % (done[0], done[1], done[2]))
    sys.exit(0)
signal.signal(signal.SIGTERM, stop)
while True:
    t = time.monotonic()
    try:
        urllib.request.urlopen(url, timeout=10).read()
    except Exception:
        done[1] += 1
    done[0] += 1
    done[2] = max(done[2], (time.monotonic() - t) * 1000)
    if done[0] == 1:
        open(out + ".ready", "w").close()
    time.sleep(max(0.0, 0.1 - (time.monotonic() - t)))
' "$scrape_port" "$work/scrapes" &
        scraper_pid=$!
        # The sender starts once the scraper has scraped.
        for i in $(seq 100); do
            [ -e "$work/scrapes.ready" ] && break
            sleep 0.05
        done
    fi

    local d0 b0 k0 t_start t_sent t_end size last_size stalled=0
    d0=$(ticks "$minispread_pid")
    b0=$(busy_ticks)
    k0=$(grep -c "for not reading" "$work/minispread.log" || true)
    t_start=$(date +%s.%N)
    local times=() watching=0
    rm -f "$work/sent.times" "$work/arrivals" "$work/watch.err"
    if [ "$latency" = 1 ] && [ "$mode" != count ]; then
        times=(-T "$work/sent.times")
        "$build/arrival_watch" -o "$work/arrivals" "$out" "$out/vhosts" $([ -d "$out/dated" ] && echo "$out/dated") 2>"$work/watch.err" &
        watch_pid=$!
        for i in $(seq 100); do
            grep -q watching "$work/watch.err" 2>/dev/null && { watching=1; break; }
            sleep 0.05
        done
        [ "$watching" = 1 ] || { echo "arrival_watch did not start:" >&2; cat "$work/watch.err" >&2; exit 1; }
    fi
    { time "${pin_others[@]}" "${unpriv[@]}" "$build/bench_sender" -s "$port" -g "$group" -f "$input" -R "$rate" "${times[@]}" >/dev/null 2>&3; } 3>&2 2>"$work/sender.time"
    t_sent=$(date +%s.%N)
    last_size=-1
    while :; do
        size=$(landed)
        [ "$size" -ge "$expect" ] && break
        kill -0 "$receiver_pid" 2>/dev/null || break
        if [ "$size" = "$last_size" ]; then
            stalled=$((stalled + 1))
            [ "$stalled" -ge 30 ] && break   # nothing new for 3 seconds: lines were lost
        else
            stalled=0
        fi
        last_size=$size
        sleep 0.1
    done
    t_end=$(last_write)
    local d1 b1 k1 t_busy
    d1=$(ticks "$minispread_pid")
    b1=$(busy_ticks)
    t_busy=$(date +%s.%N)
    if [ -n "$neighbour_pid" ]; then
        kill -TERM "$neighbour_pid" 2>/dev/null || true
        wait "$neighbour_pid" || true
        neighbour_pid=""
    fi
    if [ -n "$scraper_pid" ]; then
        kill -TERM "$scraper_pid" 2>/dev/null || true
        wait "$scraper_pid" || true
        scraper_pid=""
        echo "$label: scrapes, failed, slowest ms: $(cat "$work/scrapes" 2>/dev/null || echo none)" >&2
    fi
    if [ -n "$perf_pid" ]; then
        kill -INT "$perf_pid" 2>/dev/null || true
        wait "$perf_pid" || true
    fi
    # The reader threads' page faults and the resident size, before the
    # SIGTERM ends the readers.
    local reader_faults rss_kb
    reader_faults=$(for t in /proc/"$receiver_pid"/task/*; do
            if [ "$(cat "$t/comm" 2>/dev/null)" = sp-reader ]; then cat "$t/stat" 2>/dev/null || true; fi
        done | awk '{ sub(/^.*\) /, ""); f += $8 + $10 } END { print f + 0 }')
    rss_kb=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$receiver_pid/status" 2>/dev/null || echo 0)
    compression_sample "$name" "$out" "$receiver_pid" "$label" "$mode"
    kill -TERM "$receiver_pid" 2>/dev/null || true
    wait "$wrapper" || true
    receiver_pid=""
    # Latency: p50 and p99 in ms over the lines that arrived.
    local lat="- -"
    if [ -n "$watch_pid" ]; then
        kill -TERM "$watch_pid" 2>/dev/null || true
        wait "$watch_pid" || true
        watch_pid=""
        lat=$(python3 -c '
import sys
sent = [int(l) for l in open(sys.argv[1])]
lat = sorted((int(ns) - sent[int(seq)]) / 1e6 for seq, ns in (l.split() for l in open(sys.argv[2]))
             if int(seq) < len(sent))
print("%.3f %.3f" % (lat[len(lat) // 2], lat[min(len(lat) - 1, len(lat) * 99 // 100)]) if lat else "- -")
' "$work/sent.times" "$work/arrivals")
    fi
    k1=$(grep -c "for not reading" "$work/minispread.log" || true)

    # What arrived, and how often the receiver lost its session.
    local arrived bad lost disconnections kills=$((k1 - k0))
    case $name in
    baseline | bare | plain | plain-stats | plain-scraped) read -r arrived bad < <(python3 "$check_py" plain "$input" "$out/plain.log") ;;
    clf) read -r arrived bad < <(python3 "$check_py" clf "$input" "$out/plain.log") ;;
    # Dated files: each output's (each host's) files in name order, joined.
    dated)
        find "$out/dated" -type f | sort | xargs cat >"$work/dated.joined"
        read -r arrived bad < <(python3 "$check_py" plain "$input" "$work/dated.joined") ;;
    vhost-dated)
        rm -rf "$work/joined" && mkdir "$work/joined"
        for host in "$out/vhosts"/*; do
            find "$host" -type f | sort | xargs cat >"$work/joined/${host##*/}"
        done
        read -r arrived bad < <(python3 "$check_py" vhost "$input" "$work/joined") ;;
    vhost | baseline-vhost | bare-vhost) read -r arrived bad < <(python3 "$check_py" vhost "$input" "$out/vhosts") ;;
    *) file_case_check "$name" "$out" ;;
    esac
    lost=$((messages - arrived))
    disconnections=$(grep -c -e "Error receiving from spread" -e "receive failed" "$work/receiver.err" || true)
    # CPU the machine spent on anything but the sender, minispread and the
    # receiver while the run went on, in cores.
    local other
    local nvcsw niv
    read -r utime stime _ nvcsw niv <"$work/rusage" || { utime=0; stime=0; nvcsw=0; niv=0; }
    other=$(awk -v b="$((b1 - b0))" -v d="$((d1 - d0))" -v hz="$clk_tck" -v u="$utime" -v s="$stime" \
        -v sp="$(tail -1 "$work/sender.time")" -v a="$t_start" -v z="$t_busy" 'BEGIN {
        split(sp, t, " "); printf "%.2f", ((b - d) / hz - u - s - t[1] - t[2]) / (z - a) }')
    local sent_rate
    sent_rate=$(awk -v a="$t_start" -v b="$t_sent" -v n="$messages" 'BEGIN { printf "%.0f", n / (b - a) }')
    local note=""
    [ "$mode" = count ] && note="  (warm-up)"
    if [ "$bad" -gt 0 ]; then
        echo "$label: FAILED: $bad lines altered, repeated or out of order$note" >&2
        [ "$mode" = count ] || echo "$label: $bad lines altered, repeated or out of order" >>"$work/failures"
    fi
    if [ "$lost" -gt 0 ] || [ "$disconnections" -gt 0 ] || [ "$kills" -gt 0 ]; then
        [ "$mode" = count ] || echo "$label: $lost lines lost, $disconnections disconnections seen by the receiver, minispread killed $kills sessions for not reading; other load $other cores; sender at $sent_rate msgs/s" >>"$work/losses"
    fi
    local runs_file="$work/$label.runs" rates_file="$work/$label.rates"
    if [ "$mode" = count ]; then runs_file=/dev/null; rates_file=/dev/null; fi

    # Every run: disconnections, minispread's kills, lines lost, CPU per line
    # that arrived, minispread's CPU per message sent, other load.
    awk -v n="$messages" -v got="$arrived" -v u="$utime" -v s="$stime" -v d="$((d1 - d0))" -v hz="$clk_tck" \
        -v o="$other" -v dc="$disconnections" -v k="$kills" -v l="$lost" -v cs="$((nvcsw + niv))" -v lat="$lat" \
        -v rf="$reader_faults" -v rss="${rss_kb:-0}" 'BEGIN {
        printf "%d %d %d %.3f %.3f %s %.4f %s %.5f %.1f\n", dc, k, l, (u + s) * 1e6 / (got > 0 ? got : 1), d * 1e6 / hz / n, o,
            cs / (got > 0 ? got : 1), lat, rf / (got > 0 ? got : 1), rss * 1.024e-3
    }' >>"$runs_file"
    # Runs in which every line arrived: their rate.
    if [ "$lost" = 0 ] && [ "$bad" = 0 ] && [ "$disconnections" = 0 ]; then
        awk -v n="$messages" -v a="$t_start" -v b="$t_end" 'BEGIN { printf "%.0f\n", n / (b - a) }' >>"$rates_file"
    fi
    awk -v c="$label" -v got="$arrived" -v l="$lost" -v dc="$disconnections" -v u="$utime" -v s="$stime" \
        -v d="$((d1 - d0))" -v hz="$clk_tck" -v n="$messages" -v sent="$sent_rate" -v o="$other" -v k="$kills" \
        -v note="$note" -v cs="$((nvcsw + niv))" -v lat="$lat" -v rf="$reader_faults" -v rss="${rss_kb:-0}" 'BEGIN {
        printf "%-8s %6.3f us/msg  %.4f wake-ups/msg  reader faults %d (%.5f/msg)  VmRSS %.1f MB  latency p50/p99 %s ms  minispread %.3f us/msg  sender %d msgs/s  other load %.2f cores  lost %d  disconnections %d (kills %d)%s\n",
            c, (u + s) * 1e6 / (got > 0 ? got : 1), cs / (got > 0 ? got : 1), rf, rf / (got > 0 ? got : 1), rss * 1.024e-3, lat, d * 1e6 / hz / n, sent, o, l, dc, k, note }' >&2
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
. "$root/bench/daemon_bench_report.sh"
