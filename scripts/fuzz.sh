#!/usr/bin/env bash
# Fuzzes the configuration load for a number of seconds (default 60) in the
# address+undefined sanitizer build: any bytes as "Q583_SP.ini".
#   scripts/fuzz.sh [seconds] [extra libFuzzer options...]
# The corpus grows in build/asan/fuzz/corpus (seeded from fuzz/corpus); a
# crash leaves its input in build/asan/fuzz/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${Q583_FUZZ_BUILD_DIR:-build/asan}
fuzzer=$build/fuzz/config_load_fuzzer

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake --preset asan >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target config_load_fuzzer

work=$build/fuzz/corpus
mkdir -p "$work"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
  -artifact_prefix="$build/fuzz/" "$@" "$work" fuzz/corpus
