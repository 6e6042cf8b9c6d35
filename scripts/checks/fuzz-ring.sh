#!/usr/bin/env bash
# Fuzzes the read-ahead ring against its plain model (tests/ring_fuzz.cpp)
# for a bounded time under AddressSanitizer and UndefinedBehaviorSanitizer,
# in its own clang build directory. Fails on any crash, sanitizer report or
# check of the model that does not hold.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-ring
seconds=${FUZZ_SECONDS:-30}

scripts/fuzz-build "$build" \
    "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    ring_fuzz

# Seeds: a backlog that grows past the resident part, drains and is given
# back after a quiet spell; large messages across chunks.
corpus="$build/ring-corpus"
mkdir -p "$corpus" "$build/ring-artifacts"
python3 - "$corpus" <<'PY'
import struct, sys, os
d = sys.argv[1]
def step(kind, arg): return bytes([kind]) + struct.pack("<I", arg & 0xffffffff)
grow = step(4, 0) * 40 + step(1, 0) + step(2, 3000000) + step(2, 3000000)
big = step(3, 4 * 150000) + step(0, 12345) * 30 + step(1, 3) + step(4, 0) * 10 + step(1, 0)
mixed = b"".join(step(k, a) for k, a in [(0, 99), (1, 1), (0, 7), (3, 40000), (0, 0), (1, 0), (2, 4)] * 20)
for name, data in {"grow": grow, "big": big, "mixed": mixed}.items():
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)
PY

UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
"$build/ring_fuzz" -max_total_time="$seconds" -timeout=20 -max_len=4096 -rss_limit_mb=2048 \
    -artifact_prefix="$build/ring-artifacts/" -print_final_stats=1 "$corpus"
