#!/usr/bin/env bash
# spcat -f against `tail -F FILE | spcat` on the same kind of file: lines a
# second and CPU per line, with a writer at a steady rate and one that writes
# as fast as it can.
#
# Per run: minispread on a free port, a receiver (`spcat -r`, writing to a
# file) in the group, then the follower under test started on an empty
# file: `spcat -f FILE -p POS` or `tail -F -n +1 FILE | spcat`.  A writer
# (python, one write(2) per line of LINE_SIZE bytes, as a server's worker
# logs) appends LINES lines at RATE a second, or unthrottled (RATE 0).  The
# run ends once the receiver has every byte.  Reported: lines a second
# (LINES over the time from the writer's first line to the receiver's last
# byte), and the CPU time of the follower (spcat; tail and spcat together)
# per line, from /proc/PID/stat, in microseconds.
#
#   bench/follow_bench.sh [-n LINES] [-R "RATES"] [-s LINE_SIZE] [-r RUNS] [-B BUILD_DIR] [-t DIR]
#
# -n lines per run (100000), -R the rates ("10000 0"; 0 for unthrottled),
# -s bytes per line (200), -r runs of each (3, alternating), -B the build
# directory (build; built here with ninja), -t where the scratch directory
# is made (/tmp).  Prints one Markdown row per run and the medians.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

lines=100000 rates="10000 0" size=200 runs=3 build=build tmp=/tmp
while getopts "n:R:s:r:B:t:" opt; do
    case $opt in
    n) lines=$OPTARG ;;
    R) rates=$OPTARG ;;
    s) size=$OPTARG ;;
    r) runs=$OPTARG ;;
    B) build=$OPTARG ;;
    t) tmp=$OPTARG ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2 ;;
    esac
done
[[ $build = /* ]] || build=$root/$build
ninja -C "$build" minispread spcat >/dev/null

work=$(mktemp -d "$tmp/follow-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$build" "$work" "$lines" "$size" "$runs" $rates <<'EOF'
import os, random, signal, socket, statistics, subprocess, sys, time

build, work, lines, size, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rates = [int(r) for r in sys.argv[6:]]
tick = os.sysconf("SC_CLK_TCK")

def free_port():
    while True:
        p = random.randint(20000, 31999)
        if os.path.exists("/tmp/%d" % p):
            continue
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", p))
            return p
        except OSError:
            pass
        finally:
            s.close()

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick

def wait_for(pred, limit=60):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.005)
    return pred()

def line(n):
    head = "%09d 127.0.0.1 - - [10/Dec/2026:22:00:00 +0000] \"GET /r/%d HTTP/1.1\" 200 " % (n, n)
    return (head + "x" * (size - 1 - len(head)) + "\n").encode()

def one_run(kind, rate, n):
    d = os.path.join(work, "%s-%d-%d" % (kind, rate, n))
    os.makedirs(d)
    port = free_port()
    ms = subprocess.Popen([build + "/minispread", "-p", str(port)], stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists("/tmp/%d" % port))
    out = open(os.path.join(d, "received"), "wb")
    rx = subprocess.Popen([build + "/spcat", "-r", "-s", str(port), "-g", "bench"], stdout=out)
    log = os.path.join(d, "access.log")
    open(log, "wb").close()
    time.sleep(0.3)   # the receiver in the group
    procs = []
    if kind == "spcat -f":
        procs.append(subprocess.Popen([build + "/spcat", "-s", str(port), "-g", "bench", "-f", log,
                                       "-p", os.path.join(d, "pos")]))
    else:
        tail = subprocess.Popen(["tail", "-F", "-n", "+1", log], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cat = subprocess.Popen([build + "/spcat", "-s", str(port), "-g", "bench"], stdin=tail.stdout)
        tail.stdout.close()
        procs += [tail, cat]
    time.sleep(0.3)   # the follower watching
    cpu0 = sum(cpu_seconds(p.pid) for p in procs)
    total = lines * size
    fd = os.open(log, os.O_WRONLY | os.O_APPEND)
    start = time.monotonic()
    for i in range(lines):
        if rate:
            due = start + i / rate
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
        os.write(fd, line(i))
    os.close(fd)
    done = wait_for(lambda: os.path.getsize(os.path.join(d, "received")) >= total, 120)
    end = time.monotonic()
    cpu = sum(cpu_seconds(p.pid) for p in procs) - cpu0
    got = os.path.getsize(os.path.join(d, "received"))
    # The followers first, so that none sees its daemon go.
    for group in (procs, [rx, ms]):
        for p in group:
            p.send_signal(signal.SIGTERM)
        for p in group:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    out.close()
    subprocess.run(["rm", "-rf", d])
    return (lines / (end - start), cpu * 1e6 / lines, got == total)

print("| writer | follower | run | lines/s | CPU per line (us) | all received |")
print("|---|---|---|---|---|---|")
results = {}
for rate in rates:
    for r in range(runs):
        for kind in ("spcat -f", "tail -F | spcat"):
            lps, cpu, complete = one_run(kind, rate, r)
            results.setdefault((rate, kind), []).append((lps, cpu))
            writer = "%d lines/s" % rate if rate else "unthrottled"
            print("| %s | %s | %d | %.0f | %.2f | %s |" % (writer, kind, r + 1, lps, cpu, "yes" if complete else "NO"),
                  flush=True)
print()
for (rate, kind), rs in results.items():
    writer = "%d lines/s" % rate if rate else "unthrottled"
    print("median, %s, %s: %.0f lines/s, %.2f us CPU per line" %
          (writer, kind, statistics.median(x[0] for x in rs), statistics.median(x[1] for x in rs)))
print("load: " + " ".join(open("/proc/loadavg").read().split()[:3]))
EOF
