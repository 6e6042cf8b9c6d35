#!/usr/bin/env bash
# Fuzzes the hand-over channel's decoder (the lines the other daemon
# sends) for a bounded time under AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own clang build directory. Fails on
# any crash, sanitizer report, or a line that does not encode back to
# itself.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-handover
seconds=${FUZZ_SECONDS:-30}

scripts/fuzz-build "$build" \
    "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    handover_fuzz_codec

# Seeds: each kind of line once, written into the build directory with the
# inputs the fuzzer finds.
corpus="$build/handover-corpus"
mkdir -p "$corpus" "$build/handover-artifacts"
printf 'hello 1\ntoken 0123456789abcdef\npid 4242\nspread 4803 #wkp#host\nfile 2049 131077\nend\n' >"$corpus/seed-header"
printf 'count wickerpost_spread_received_messages_total 18446744073709551615\nstarted 1765420000\nreleased\n' >"$corpus/seed-release"
printf 'hello 1\nmark 4803@host\nmarked\ntaken\n' >"$corpus/seed-new"

UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
"$build/handover_fuzz_codec" -max_total_time="$seconds" -timeout=10 -max_len=2048 -rss_limit_mb=2048 \
    -artifact_prefix="$build/handover-artifacts/" -print_final_stats=1 "$corpus"
