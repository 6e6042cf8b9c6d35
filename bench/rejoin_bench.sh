#!/usr/bin/env bash
# How soon wickerpost rejoins a local Spread daemon that comes back.
#
# One minispread on a free port and wickerpost -D -v logging one group
# from it. Each round stops minispread (SIGKILL: a daemon that crashed,
# its socket file left behind; or SIGTERM with -t), waits until wickerpost
# has seen the loss, waits a random 0 to 6 s so that the restart falls
# anywhere between two reconnect passes, starts minispread again, and
# measures the time from the socket's return (the file under a new inode)
# to wickerpost's "Joined" line for the group, both watched every 1 ms.
#
#   bench/rejoin_bench.sh [-b BUILD_DIR] [-n ROUNDS] [-t] [-W WICKERPOST]
#
# Prints one line per round and the min / median / max in ms.
set -euo pipefail
build=build
rounds=5
stop=KILL
wickerpost=""
while getopts "b:n:tW:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    n) rounds=$OPTARG ;;
    t) stop=TERM ;;
    W) wickerpost=$OPTARG ;;
    *) echo "usage: $0 [-b BUILD_DIR] [-n ROUNDS] [-t] [-W WICKERPOST]" >&2; exit 2 ;;
  esac
done
[ -n "$wickerpost" ] || wickerpost=$build/wickerpost
exec python3 - "$build/minispread" "$wickerpost" "$rounds" "$stop" <<'PY'
import os, random, signal, socket, statistics, subprocess, sys, tempfile, time

minispread, wickerpost, rounds, stop = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
# A port without a socket file: one left by a killed Spread daemon would
# pass for this one's before it listens.
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
    if not os.path.exists("/tmp/%d" % port):
        break
sock = "/tmp/%d" % port
work = tempfile.mkdtemp(prefix="wkp-rejoin-")
conf = os.path.join(work, "wickerpost.conf")
with open(conf, "w") as f:
    f.write("Spread {\n  Port = %d\n  Log {\n    Group = web\n    File = %s/web.log\n  }\n}\n" % (port, work))
err_path = os.path.join(work, "err")

def inode():
    try:
        return os.stat(sock).st_ino
    except FileNotFoundError:
        return None

def start_spread():
    return subprocess.Popen([minispread, "-p", str(port)], stderr=subprocess.DEVNULL)

def wait(pred, what, limit=30):
    end = time.monotonic() + limit
    while not pred():
        if time.monotonic() > end:
            sys.exit("rejoin_bench: gave up waiting for " + what)
        time.sleep(0.001)

def count(text):
    with open(err_path) as f:
        return f.read().count(text)

spread = start_spread()
wait(lambda: inode() is not None, "minispread's socket")
daemon = subprocess.Popen([wickerpost, "-D", "-v", "-c", conf], stderr=open(err_path, "w"))
wait(lambda: count("Joined web.\n") == 1, "the first join")
times = []
try:
    for r in range(rounds):
        old = inode()
        lost = count("Failed connection")
        spread.send_signal(getattr(signal, "SIG" + stop))
        spread.wait()
        wait(lambda: count("Failed connection") > lost, "the loss")
        if inode() is None:
            old = None  # removed at its stop: its number may come back
        time.sleep(random.uniform(0, 6))
        joins = count("Joined web.\n")
        spread = start_spread()
        wait(lambda: inode() not in (None, old), "the socket's return")
        back = time.monotonic()
        wait(lambda: count("Joined web.\n") > joins, "the rejoin")
        ms = (time.monotonic() - back) * 1000
        times.append(ms)
        print("round %d: rejoined %.1f ms after the socket was back" % (r + 1, ms), flush=True)
finally:
    daemon.terminate(); daemon.wait()
    spread.terminate(); spread.wait()
    subprocess.run(["rm", "-rf", work])
print("rejoin ms: min %.1f / median %.1f / max %.1f over %d rounds"
      % (min(times), statistics.median(times), max(times), len(times)))
PY
