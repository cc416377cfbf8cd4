#!/usr/bin/env bash
# The performance datasheet: runs the benchmarks against the simulator and
# writes docs/performance.md and its plot, docs/performance.png.  Every
# figure of the acquisition stands beside a plain poll() reader measured in
# the same run, as a ratio: absolute times vary from run to run on a shared
# machine, ratios much less.
#
#   scripts/datasheet.sh            the full datasheet (10 s a rate)
#   scripts/datasheet.sh --check    a short run (2 s a rate) that fails when
#                                   a ratio passes its limit in
#                                   bench/datasheet-limits.txt; writes nothing
#
# Uses the build named by Q583_BUILD_DIR (default build/ci), building the
# benchmarks there when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
[[ ${1:-} == --check ]] && mode=check
build=${Q583_BUILD_DIR:-build/ci}
if [[ ! -x $build/bench/scan_bench || ! -x $build/sim/q583-sim ]]; then
  [[ -e $build/CMakeCache.txt ]] || cmake --preset ci >/dev/null
  cmake --build "$build" -j "${Q583_JOBS:-2}" --target scan_bench signon_cpu_bench q583-sim Q583_SP
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

if [[ $mode == check ]]; then
  "$build/bench/scan_bench" --csv 2 0 1000 10000 >"$out/scan.csv"
  exec /usr/bin/python3 scripts/datasheet.py --check bench/datasheet-limits.txt "$out/scan.csv"
fi

echo "scan figures (10 s a rate, then the lossless ladder)..." >&2
"$build/bench/scan_bench" --csv --ladder 10 0 500 1000 2000 5000 10000 20000 >"$out/scan.csv"
echo "sign-on CPU..." >&2
"$build/bench/signon_cpu_bench" --benchmark_format=csv 2>/dev/null | grep '^"BM_' >"$out/signon.csv" || true
echo "Python values per second..." >&2
( export Q583_SP_LIBRARY=$PWD/$build/libQ583_SP.so PATH=$PWD/$build/sim:$PATH PYTHONPATH=$PWD/python
  /usr/bin/python3 python/bench/bench_read.py --csv --seconds 5 ) >"$out/python.csv" || true
/usr/bin/python3 scripts/datasheet.py --write docs "$out/scan.csv" "$out/signon.csv" "$out/python.csv"
echo "wrote docs/performance.md and docs/performance.png" >&2
