#!/usr/bin/env bash
# Fuzzes the configuration reader (config_load on arbitrary bytes) for a
# bounded time under AddressSanitizer, in its own clang build directory.
# Fails on any crash, leak, broken model check, exit or slow input.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz-config
seconds=${FUZZ_SECONDS:-60}

flags="-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWKP_FUZZ=ON -DWKP_BENCH=OFF \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
ninja -C "$build" config_fuzz

# New inputs go to the build directory; the seed corpus stays as committed.
mkdir -p "$build/config-corpus" "$build/config-artifacts"
"$build/config_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -dict=tests/fuzz/config.dict -artifact_prefix="$build/config-artifacts/" -print_final_stats=1 \
    "$build/config-corpus" tests/fuzz/config_corpus
