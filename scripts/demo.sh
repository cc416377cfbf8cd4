#!/usr/bin/env bash
# The demo: no instrument needed.  Installs what is missing of the little it
# needs (scripts/install-deps.sh --demo: no test tools), builds the q583
# host program, scans the simulated instrument for 10 seconds (four channels
# with a sine, a ramp, a constant and noise), shows the live table, and leaves
# the scan log, a CSV of the scans and a plot of the log in demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${Q583_DEMO_OUTPUT:-demo-output}
seconds=${Q583_DEMO_SECONDS:-10}

scripts/install-deps.sh --demo

echo "== building q583 =="
# A build of its own without the tests and benchmarks, whose tools the demo
# does not install.
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ583_BUILD_TESTS=OFF -DQ583_BUILD_BENCH=OFF \
  -DQ583_MAN_PAGES=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target q583 >/dev/null
q583=build/demo/tools/q583

# A fresh folder each time, so the log is ScanLog_0.txt.
rm -rf "$out"
mkdir -p "$out"

echo "== a ${seconds}-second scan of the simulated instrument (Ctrl-C ends it early) =="
echo "   channel 0-0: sine, 2 V, 4 s period   1-0: ramp -2 V to 2 V over 5 s"
echo "   channel 2-0: constant 1.25 V         3-0: noise of +-0.1 V"
"$q583" scan --sim \
  --sim-signal 0=sine,2,0,4 --sim-signal 1=ramp,4,-2,5 \
  --sim-signal 2=constant,1.25 --sim-signal 3=noise,0.1 \
  --codes 0x00,0x00,0x00,0x00,16,16 --rate 240 \
  --seconds "$seconds" \
  --description "Q583 demo: sine, ramp, constant and noise on channels 0-3 (simulated)" \
  --log-dir "$out" -o "$out/scans.csv"

logs=("$out"/ScanLog_*.txt)
log=${logs[0]}
"$q583" plot "$log" -o "${log%.txt}.png"

echo
echo "== demo output in $(cd "$out" && pwd) =="
ls -l "$out"
