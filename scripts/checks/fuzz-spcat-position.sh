#!/usr/bin/env bash
# Fuzzes spcat's position file decoder (pos_decode on arbitrary bytes,
# each accepted file encoded back to the same bytes) for a bounded time
# under AddressSanitizer and UndefinedBehaviorSanitizer, in its own clang
# build directory.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-spcat
seconds=${FUZZ_SECONDS:-20}

scripts/fuzz-build "$build" \
    "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    spcat_position_fuzz

corpus="$build/spcat-position-corpus"
mkdir -p "$corpus" "$build/spcat-position-artifacts"
printf 'spcat-position 1\n' >"$corpus/seed-empty"
printf 'spcat-position 1\n18240 2049 131077 256 8c3f0a1b2d4e5f60 /var/log/nginx/access.log\n0 0 1 0 cbf29ce484222325 a%%20b\n' \
    >"$corpus/seed-two"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
"$build/spcat_position_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=1024 \
    -artifact_prefix="$build/spcat-position-artifacts/" -print_final_stats=1 "$corpus"
