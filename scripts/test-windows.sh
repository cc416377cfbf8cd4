#!/usr/bin/env bash
# Builds a Windows DLL with mingw-w64 and tests it under Wine:
#
#   scripts/test-windows.sh [x86|x64]   (default x86)
#
# x86 is the 32-bit DLL (preset mingw32, a 32-bit Wine prefix), x64 the
# 64-bit one (preset mingw64, a 64-bit Wine prefix, wine64); the checks are
# the same for both:
#   1. the export and import tables (objdump): every function of
#      include/q583_sp.h and of src/api/Q583_SP.def exported under its plain
#      name, nothing decorated, and no DLL imported beyond the system's own;
#      both import libraries (the SDK's x86/ or x64/ folder) importing every
#      plain name, 32-bit under the _NAME@N the header and the .def give, and
#      holding no path of the build; the version resource; no debug
#      sections (they are in Q583_SP.dll.debug beside it);
#   2. a host program that loads the DLL with LoadLibraryA, resolves every
#      export with GetProcAddress and runs a session against the instrument
#      simulator, whose pseudo-terminal Wine serves as COM1 and COM12;
#   3. the same host program provoking a receive-queue overflow with a
#      simulator that sends as fast as it can, and ending its process in the
#      middle of such a scan;
#   4. a host program linked as Visual C++ links one (clang for the MSVC
#      target, lld-link; 32-bit with /safeseh, the default of x86 projects)
#      against the SDK's Q583_SP.lib, run against the simulator;
#   5. the reference host: the same program built against the interface as
#      released (tests/abi/: its header, and its .def, of which its import
#      library is made), run on this DLL, as a host built then runs on it.
# Needs i686-w64-mingw32-g++-posix and wine32 (x86) or
# x86_64-w64-mingw32-g++-posix and wine64 (x64), clang, lld-link and
# llvm-dlltool, and a native compiler (scripts/install-deps.sh --windows
# installs them).
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

for tool in $tools-g++-posix $tools-objdump wine wineserver wineboot clang lld-link llvm-dlltool llvm-readobj; do
  command -v "$tool" >/dev/null || { echo "test-windows: $tool is missing (scripts/install-deps.sh --windows)"; exit 2; }
done

echo "== building the $arch Q583_SP.dll and its SDK folder (mingw-w64, $cross) =="
cmake --preset $preset >/dev/null
cmake --build "$cross" -j "$jobs" --target sdk_arch
dll="$root/$cross/Q583_SP.dll"
sdk="$root/$cross/sdk/$arch"

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
def_names=$(sed -n 's/^ *\([A-Za-z_0-9]*\) *= *[A-Za-z_0-9]*@[0-9]*$/\1/p' src/api/Q583_SP.def | sort)
if [[ "$exports" == "$def_names" ]]; then
  pass "the DLL exports exactly the names of src/api/Q583_SP.def"
else
  fail "exports differ from src/api/Q583_SP.def:"
  diff <(echo "$def_names") <(echo "$exports") || true
fi
for lib in Q583_SP.lib libQ583_SP.dll.a; do
  if python3 tests/packaging/check_stdcall_implib.py include/q583_sp.h src/api/Q583_SP.def "$sdk/$lib" \
      $([[ $arch == x64 ]] && echo x64) >"$cross/implib-check.txt"; then
    pass "$arch/$lib: $(tail -n 1 "$cross/implib-check.txt")"
  else
    cat "$cross/implib-check.txt"; fail "$arch/$lib: short import objects of every plain name"
  fi
  # dlltool names its members' symbols after the output path, / and . as _.
  if grep -qaF -e "$root/$cross" -e "$(tr -c 'A-Za-z0-9\n' _ <<<"$root/$cross")" "$sdk/$lib"; then
    fail "$arch/$lib holds the build's path"
  else
    pass "$arch/$lib holds no path of the build"
  fi
done
version=$(sed -n 's/^project(Q583_SP VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
resource=$(python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO
words = struct.unpack_from("<4I", data, at + 8) if at >= 0 else (0, 0, 0, 0)
dotted = lambda high, low: "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
print(dotted(*words[:2]), dotted(*words[2:]))' "$dll")
[[ $resource == "$version.0 $version.0" ]] && pass "version resource: file and product version $version.0" \
  || fail "version resource: file and product version '$resource', not $version.0"
if $tools-objdump -h "$dll" | grep -q ' \.debug_'; then
  fail "the DLL carries debug sections"
elif $tools-objdump -h "$dll.debug" | grep -q ' \.debug_info' && strings -a "$dll" | grep -qx 'Q583_SP.dll.debug'; then
  pass "no debug sections in the DLL ($(stat -c %s "$dll") bytes); they are in Q583_SP.dll.debug, which it names"
else
  fail "the debug information is not in Q583_SP.dll.debug, named by the DLL"
fi
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

echo "== hosts linked as Visual C++ links them (clang, lld-link) =="
msvc=$root/$cross/msvc-link
mkdir -p "$msvc"
if [[ $arch == x86 ]]; then
  msvc_target=i686-pc-windows-msvc msvc_link=(/machine:x86 /safeseh) dlltool_m=(i386 -k)
else
  msvc_target=x86_64-pc-windows-msvc msvc_link=(/machine:x64) dlltool_m=(i386:x86-64)
fi
# A 32-bit .def in the form the import libraries are made of: the names a
# compiler calls (NAME@N), or on x64 the plain names.
callers_def() {
  if [[ $arch == x86 ]]; then sed -E 's/^( *)[A-Za-z_0-9]+ *= *([A-Za-z_0-9]+@[0-9]+)/\1\2/' "$1"
  else sed -E 's/(@[0-9]+| *= *[A-Za-z_0-9]+@[0-9]+)$//' "$1"; fi
}
# kernel32's import library, of short import objects too (mingw-w64's has
# GNU dlltool's, which /safeseh refuses as well).
printf 'LIBRARY kernel32.dll\nEXPORTS\n  GetStdHandle@4\n  WriteFile@20\n  ExitProcess@4\n' >"$msvc/kernel32-x86.def"
callers_def "$msvc/kernel32-x86.def" >"$msvc/kernel32.def"
llvm-dlltool -m "${dlltool_m[@]}" -d "$msvc/kernel32.def" -l "$msvc/kernel32.lib"
# link_host NAME HEADER_DIR IMPORT_LIBRARY: tests/windows/link_host.c built
# against HEADER_DIR/q583_sp.h, importing every function it declares, and
# linked against IMPORT_LIBRARY, into $msvc/NAME/ beside a copy of the DLL.
link_host() {
  local dir=$msvc/$1
  mkdir -p "$dir"
  grep -oP 'Q583_CALL\s+\K\w+(?=\()' "$2/q583_sp.h" | sed 's/.*/    (const void*)\&&,/' >"$dir/link_host_exports.inc"
  cp "$dll" "$dir/"
  clang --target=$msvc_target -ffreestanding -O2 -Wall -Wextra -Werror -I"$2" -I"$dir" \
    -c tests/windows/link_host.c -o "$dir/link_host.obj" &&
  lld-link /nologo "${msvc_link[@]}" /subsystem:console /entry:HostMain /nodefaultlib \
    /out:"$dir/$1.exe" "$dir/link_host.obj" "$3" "$msvc/kernel32.lib"
}
# run_linked NAME: runs it against the simulator; its checks count here.
run_linked() {
  start_sim --signal 0:0:constant:1.25 --signal 0:1:constant:-0.5
  (cd "$run_dir" && timeout 120 wine "$msvc/$1/$1.exe" 2>"$run_dir/$1.err") | tee "$run_dir/$1.out" || true
  q583_sim_stop
  local summary
  summary=$(tr -d '\r' <"$run_dir/$1.out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1 || true)
  if [[ -z "$summary" ]]; then fail "$1.exe ended without its summary"; return; fi
  passed=$((passed + $(awk '{print $1}' <<<"$summary")))
  failed=$((failed + $(awk '{print $3}' <<<"$summary")))
}
if link_host sdk-host "$root/include" "$sdk/Q583_SP.lib"; then
  pass "a host links against $arch/Q583_SP.lib with lld-link ${msvc_link[*]}"
  imported=$($tools-objdump -p "$msvc/sdk-host/sdk-host.exe" | sed -n '/DLL Name: Q583_SP.dll/,/^$/p' |
             awk 'NF == 3 && $2 == 0 {print $3}' | sort)
  [[ $imported == "$def_names" ]] && pass "it imports every name of the .def, plain" \
    || fail "its imports from Q583_SP.dll are not the .def's names"
  run_linked sdk-host
else
  fail "a host links against $arch/Q583_SP.lib with lld-link ${msvc_link[*]}"
fi

echo "== the reference host: built against the interface as released (tests/abi/) =="
# Its import library is made from the released .def, as the one it was
# linked against then.
callers_def tests/abi/Q583_SP.def >"$msvc/reference.def"
if llvm-dlltool -m "${dlltool_m[@]}" -d "$msvc/reference.def" -l "$msvc/reference.lib" &&
   link_host reference-host "$root/tests/abi" "$msvc/reference.lib"; then
  run_linked reference-host
else
  fail "the reference host builds against tests/abi/"
fi

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
