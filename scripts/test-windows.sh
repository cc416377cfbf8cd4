#!/usr/bin/env bash
# Builds a Windows DLL with mingw-w64 and tests it under Wine:
#
#   scripts/test-windows.sh [x86|x64]   (default x86)
#
# x86 is the 32-bit DLL (preset mingw32, a 32-bit Wine prefix), x64 the
# 64-bit one (preset mingw64, a 64-bit Wine prefix, wine64); the checks are
# the same for both:
#   1. the export and import tables (objdump): every function of
#      include/q583_sp.h exported under its plain name, nothing decorated,
#      and no DLL imported beyond the system's own;
#   2. a host program that loads the DLL with LoadLibraryA, resolves every
#      export with GetProcAddress and runs a session against the instrument
#      simulator, whose pseudo-terminal Wine serves as COM1 and COM12;
#   3. the same host program provoking a receive-queue overflow with a
#      simulator that sends as fast as it can, and ending its process in the
#      middle of such a scan.
# Needs i686-w64-mingw32-g++-posix and wine32 (x86) or
# x86_64-w64-mingw32-g++-posix and wine64 (x64), and a native compiler
# (scripts/install-deps.sh --windows installs them).
#
# Environment: Q583_NATIVE_BUILD  native build dir for q583-sim (default:
#              build/ci when configured, else build/windows-native)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

arch=${1:-x86}
case "$arch" in
  x86) preset=mingw32 tools=i686-w64-mingw32 winearch=win32 prefix=build/wine-prefix com=build/wine-com ;;
  x64) preset=mingw64 tools=x86_64-w64-mingw32 winearch=win64 prefix=build/wine-prefix64 com=build/wine-com64 ;;
  *) echo "usage: scripts/test-windows.sh [x86|x64]"; exit 2 ;;
esac
cross=build/$preset
native=${Q583_NATIVE_BUILD:-}
if [[ -z "$native" ]]; then
  if [[ -f build/ci/CMakeCache.txt ]]; then native=build/ci; else native=build/windows-native; fi
fi

for tool in $tools-g++-posix $tools-objdump wine wineserver wineboot; do
  command -v "$tool" >/dev/null || { echo "test-windows: $tool is missing (scripts/install-deps.sh --windows)"; exit 2; }
done

echo "== building the $arch Q583_SP.dll (mingw-w64, $cross) =="
cmake --preset $preset >/dev/null
cmake --build "$cross" -j "$jobs" --target Q583_SP
dll="$root/$cross/Q583_SP.dll"

echo "== building the Windows host program =="
$tools-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -Iinclude \
  tests/windows/wine_host_test.cpp -static -o "$cross/wine_host_test.exe"

echo "== building q583-sim ($native) =="
if [[ ! -f "$native/CMakeCache.txt" ]]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ583_BUILD_TESTS=OFF \
    -DQ583_BUILD_BENCH=OFF -DQ583_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$native" -j "$jobs" --target q583-sim
sim_bin="$root/$native/sim/q583-sim"

passed=0
failed=0
pass() { echo "PASS $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }

echo "== export and import tables =="
table=$($tools-objdump -p "$dll")
machine=$(sed -n 's/^architecture: *\([^,]*\).*/\1/p' <<<"$($tools-objdump -f "$dll")")
wanted_machine=$([[ $arch == x64 ]] && echo i386:x86-64 || echo i386)
[[ $machine == "$wanted_machine" ]] && pass "the DLL is $arch code ($machine)" || fail "the DLL is $machine, not $wanted_machine"
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
wanted=$(grep -oP 'Q583_CALL\s+\K\w+(?=\()' include/q583_sp.h | sort)
n_wanted=$(wc -l <<<"$wanted")
if [[ "$exports" == "$wanted" ]]; then
  pass "the DLL exports exactly the $n_wanted functions of q583_sp.h by plain name"
else
  fail "exports differ from q583_sp.h:"
  diff <(echo "$wanted") <(echo "$exports") || true
fi
[[ $n_wanted -eq 79 ]] && pass "66 original functions and 13 extensions" || fail "q583_sp.h declares $n_wanted functions, not 79"
if grep -q '@' <<<"$exports"; then fail "decorated names exported"; else pass "no decorated (@n) names exported"; fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$table" | tr '[:lower:]' '[:upper:]' | sort -u)
unexpected=$(grep -vxE 'KERNEL32\.DLL|USER32\.DLL|MSVCRT\.DLL|WINMM\.DLL|ADVAPI32\.DLL' <<<"$imports" || true)
if [[ -z "$unexpected" ]]; then
  pass "imports only system DLLs: $(echo $imports)"
else
  fail "imports beyond the system DLLs: $(echo $unexpected)"
fi

echo "== Wine session against the simulator =="
export WINEPREFIX="$root/$prefix" WINEARCH=$winearch WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
link="$root/$com"
run_dir="$root/$cross/wine-run"
mkdir -p "$run_dir"
rm -f "$run_dir/sim-again.pid"
. scripts/lib/sim-wine.sh
cleanup() {
  [[ -n "$q583_sim_pid" ]] && kill -CONT "$q583_sim_pid" 2>/dev/null  # a stopped one takes no TERM
  q583_sim_stop
  if [[ -s "$run_dir/sim-again.pid" ]]; then kill "$(cat "$run_dir/sim-again.pid")" 2>/dev/null || true; fi
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
start_sim() { q583_sim_start "$sim_bin" "$link" "$run_dir" "$@"; }

# COM1 and COM12 lead to the simulator.
q583_wine_ports "$link" COM1 COM12

win_dll="Z:${dll//\//\\}"
host() {
  (cd "$run_dir" && timeout 300 wine "$root/$cross/wine_host_test.exe" "$@" 2>"$run_dir/host-$1.err") \
    | tee "$run_dir/host-$1.out" || true
  local summary
  # The program writes Windows line ends.
  summary=$(tr -d '\r' <"$run_dir/host-$1.out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1 || true)
  if [[ -z "$summary" ]]; then
    fail "the host program ($1) ended without its summary"
    return
  fi
  passed=$((passed + $(awk '{print $1}' <<<"$summary")))
  failed=$((failed + $(awk '{print $3}' <<<"$summary")))
}

start_sim --signal 0:0:constant:1.25 --signal 0:1:constant:-0.5 --signal 1:0:constant:2.0 --digin 0xA5
host session "$win_dll"

echo "== receive-queue overflow =="
start_sim --no-pacing --frame-interval 0.0002
host overflow "$win_dll"

echo "== a window of the host thread during a sign-on that waits in vain =="
start_sim --no-wake-reply
host messages "$win_dll"

echo "== the process ends during a fast scan with every log on =="
start_sim --no-pacing --frame-interval 0.001
host exit "$win_dll"

echo "== line settings left by an earlier program =="
start_sim --signal 0:0:constant:1.25
host leftovers "$win_dll"

echo "== a line that hangs up during a scan =="
# The host program asks, through files in the run directory, for the line to
# go ("hangup-now", answered by "line-gone") and for a new simulator
# ("sim-again", answered by "line-back").
rm -f "$run_dir"/{hangup-now,line-gone,sim-again,line-back}
start_sim --signal 0:0:constant:1.25
await_file() {
  for _ in $(seq 1200); do [[ -e "$run_dir/$1" ]] && return 0; sleep 0.05; done
  return 1
}
(
  await_file hangup-now || exit 0
  kill "$q583_sim_pid" 2>/dev/null || true
  while kill -0 "$q583_sim_pid" 2>/dev/null; do sleep 0.02; done
  touch "$run_dir/line-gone"
  await_file sim-again || exit 0
  q583_sim_pid=""
  start_sim --signal 0:0:constant:1.25
  echo "$q583_sim_pid" >"$run_dir/sim-again.pid"
  touch "$run_dir/line-back"
) &
line_driver=$!
host hangup "$win_dll"
kill "$line_driver" 2>/dev/null || true
wait "$line_driver" 2>/dev/null || true
q583_sim_stop

echo "== a line that stops taking bytes (an adapter that stalls) =="
# The host program asks ("stall-now", answered by "sim-stopped") for the
# simulator to be stopped, so that it reads nothing more.
rm -f "$run_dir"/{stall-now,sim-stopped}
start_sim --signal 0:0:constant:1.25
(
  await_file stall-now || exit 0
  kill -STOP "$q583_sim_pid"
  touch "$run_dir/sim-stopped"
) &
stall_driver=$!
host stall "$win_dll"
kill "$stall_driver" 2>/dev/null || true
wait "$stall_driver" 2>/dev/null || true
kill -CONT "$q583_sim_pid" 2>/dev/null || true
q583_sim_stop

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
