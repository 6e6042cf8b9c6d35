#!/usr/bin/env bash
# Replays the recorded client-daemon scenario against build/minispread, over
# the Unix socket and over TCP, and fails on any byte that differs from the
# transcript recorded against a real Spread daemon.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/spread-reference
daemon=${MINISPREAD:-build/minispread}

# A TCP port below 32768 that is free now and has no Unix socket file yet.
port=$(python3 - <<'PY'
import os, random, socket
for _ in range(200):
    p = random.randint(20000, 32767)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
    except OSError:
        continue
    finally:
        s.close()
    if not os.path.exists("/tmp/%d" % p):
        print(p)
        break
PY
)
[ -n "$port" ] || { echo "spread-transcript: no free port" >&2; exit 1; }

"$daemon" -p "$port" 2>/dev/null &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -S "/tmp/$port" ] && break
  sleep 0.05
done
[ -S "/tmp/$port" ] || { echo "spread-transcript: minispread did not start" >&2; exit 1; }

status=0
for transport in unix tcp; do
  flag=""
  [ "$transport" = tcp ] && flag="--tcp"
  if python3 "$shared/transcript.py" "$port" $flag | diff "$shared/transcript-spread-5.0.1.txt" -; then
    echo "spread-transcript: $transport: identical"
  else
    echo "spread-transcript: $transport: differs from the recorded transcript" >&2
    status=1
  fi
done
exit $status
