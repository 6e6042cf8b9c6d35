#!/usr/bin/env bash
# Fuzzes the Spread client library's decoders and its receive path (bytes
# from a hostile daemon through a socket pair) for a bounded time under
# AddressSanitizer and UndefinedBehaviorSanitizer, in its own clang build
# directory. Fails on any crash, sanitizer report or broken result bound.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-spread
seconds=${FUZZ_SECONDS:-30}

scripts/fuzz-build "$build" \
    "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    spread_fuzz_decode

# Seeds: the receiver's choices (4 bytes) followed by well-formed messages,
# written into the build directory with the inputs the fuzzer finds.
corpus="$build/spread-corpus"
mkdir -p "$corpus" "$build/spread-artifacts"
python3 - "$corpus" <<'PY'
import struct, sys, os
d = sys.argv[1]
def msg(t, sender, groups, mt, body, old=None):
    hdr = struct.pack("<I32siIi", t | 0x80000080, sender.ljust(32, b"\0"), len(groups),
                      ((mt & 0xffff) << 8) | 0x80000080, len(body))
    extra = b"" if old is None else struct.pack("<I", old | 0x80000080)
    return hdr + extra + b"".join(g.ljust(32, b"\0") for g in groups) + body
memb = struct.pack("<iiiIII", 482711334, 1, 2, 1, 0, 1) + b"#bob#localhost".ljust(32, b"\0")
seeds = {
    "data": b"\x01\x20\x00\x10" + msg(0x10, b"#bob#localhost", [b"grp"], 5, b"hello"),
    "join": b"\x03\x40\x01\x02" + msg(0x1100, b"grp", [b"#fuzz#localhost", b"#bob#localhost"], 0, memb),
    "reject": b"\x02\x08\x00\x00" + msg(0x400000, b"#fuzz#localhost", [b"g", b"#fuzz#localhost"], 1, b"x" * 30, 0x10),
    "selfleave": b"\x00\x00\x01\x01" + msg(0x200, b"grp", [], 0, b"") + msg(0x20, b"#a#b", [b"g"] * 3, -1, b"y" * 100),
}
for name, data in seeds.items():
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)
PY

UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
"$build/spread_fuzz_decode" -max_total_time="$seconds" -timeout=10 -max_len=8192 -rss_limit_mb=2048 \
    -artifact_prefix="$build/spread-artifacts/" -print_final_stats=1 "$corpus"
