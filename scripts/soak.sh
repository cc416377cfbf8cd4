#!/usr/bin/env bash
# The long soak: builds the soak (default build) and runs the model test of
# random call sequences for the given number of seconds (default 3600), with
# the clock across 2^31 and 2^32 ms in two of its three segments.  Prints
# resident memory, descriptors, threads and the scan benchmark's figures at
# the start and at the end; the log goes to soak.log as well.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
cmake --preset ci >/dev/null
cmake --build build/ci -j "$jobs" --target soak
build/ci/bench/soak "$seconds" 2>&1 | tee soak.log
