#!/usr/bin/env bash
# Fuzzes the configuration reader (config_load on arbitrary bytes) for a
# bounded time under AddressSanitizer, in its own clang build directory.
# Fails on any crash, leak, broken model check, exit or slow input.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-config
seconds=${FUZZ_SECONDS:-60}

scripts/fuzz-build "$build" "-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer" config_fuzz

# New inputs go to the build directory; the seed corpus stays as committed.
mkdir -p "$build/config-corpus" "$build/config-artifacts"
"$build/config_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -dict=tests/fuzz/config.dict -artifact_prefix="$build/config-artifacts/" -print_final_stats=1 \
    "$build/config-corpus" tests/fuzz/config_corpus
