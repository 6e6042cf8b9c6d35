#!/usr/bin/env bash
# Builds the shared capture client (libcapture.c, written against the sp.h
# API) with our Spread client library, runs it against the recording fake
# daemon (capture_lib.py, Unix socket /tmp/25999) and compares every byte it
# sent with what the reference library sent. The bytes after the NUL of the
# disconnect message's group slot were uninitialised in the reference
# library, so they are masked on both sides.
# Uses the library of build/ (override with WKP_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
source scripts/spread-reference
build="$root/${WKP_BUILD_DIR:-build}"
lib="$build/libspread_client.a"
if [ ! -f "$lib" ]; then
  echo "spread-capture: $lib not built" >&2
  exit 1
fi

tmp=$(mktemp -d /tmp/wkp-capture-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
cp "$shared/libcapture.c" "$tmp/"
cc -std=c11 -Wall -x c -I "$root/spread" -o "$tmp/libcapture" "$tmp/libcapture.c" \
  -x none "$lib" -lstdc++ -lpthread

mask() {
  python3 -c '
import sys
lines = sys.stdin.read().splitlines()
for i, line in enumerate(lines):
    if line.startswith("  groups:") and i >= 2 and lines[i - 2].startswith("type=80040080"):
        h = line.split(":", 1)[1].strip()
        b = [h[j:j + 2] for j in range(0, len(h), 2)]
        if "00" in b:
            k = b.index("00") + 1
            b = b[:k] + ["xx"] * (len(b) - k)
        line = "  groups: " + "".join(b)
    print(line)
'
}

(cd "$tmp" && python3 "$shared/capture_lib.py") >"$tmp/ours.txt"
mask <"$shared/library-capture-5.0.1.txt" >"$tmp/expected.txt"
mask <"$tmp/ours.txt" >"$tmp/got.txt"
if ! diff -u "$tmp/expected.txt" "$tmp/got.txt"; then
  echo "spread-capture: the library's bytes differ from the reference capture" >&2
  exit 1
fi
echo "spread-capture: identical to the reference capture"
