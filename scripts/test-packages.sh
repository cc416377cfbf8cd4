#!/usr/bin/env bash
# Tests what scripts/package.sh makes:
#   1. the Debian packages' control fields and file lists (dpkg-deb -I/-c);
#   2. the packages unpacked into a temporary root: the README's C host built
#      against it with pkg-config and with find_package(Q583_SP), run against
#      the packaged q583-sim; the packaged q583 and its man pages;
#   3. the Windows SDK zip: its files; for x86/ and x64/ each, the README's C
#      host linked against the MinGW import library and run under Wine
#      against the simulator, and the import library for Microsoft's linker
#      checked with objdump for every function's plain name (and, 32-bit, its
#      @N stack size);
#   4. lintian --pedantic on the three packages: nothing but the tag of every
#      first upload;
#   5. the ABI: the packaged library against tests/abi/libQ583_SP.abi, the
#      interface as released (abidiff): an added export passes, a removed
#      one or a changed signature fails.
# Needs what scripts/package.sh needs, plus wine32, wine64, lintian and
# abigail-tools (scripts/install-deps.sh --windows).
#
# Environment: Q583_PACKAGE_DIR  where the packages go (default build/packages);
#              and those of scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${Q583_PACKAGE_DIR:-build/packages}
mkdir -p build "$out"
out=$(realpath "$out")
work=$(mktemp -d "$root/build/test-packages-XXXXXX")

. scripts/lib/sim-wine.sh
cleanup() {
  q583_sim_stop
  [[ -n "${WINEPREFIX:-}" ]] && { wineserver -k >/dev/null 2>&1 || true; }
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
pass() { echo "PASS $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
# check "what" command...: PASS when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

echo "== scripts/package.sh =="
if ! scripts/package.sh "$out" >"$work/package.log" 2>&1; then
  tail -n 40 "$work/package.log"
  echo "test-packages: scripts/package.sh failed"
  exit 1
fi

version=$(sed -n 's/^project(Q583_SP VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch
debs=("$out"/*.deb)
zips=("$out"/Q583_SP-*-win32-sdk.zip)
check "the folder holds three .deb files and one zip" \
  test "${#debs[@]}" -eq 3 -a "${#zips[@]}" -eq 1 -a -f "${zips[0]}"

echo "== Debian packages =="
sysroot=$work/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$sysroot"; done

# The runtime package is named after the library's SONAME, as Debian names
# shared-library packages: libQ583_SP.so.10 -> libq583-sp10.
soname=$(objdump -p "$sysroot/$libdir/libQ583_SP.so.$version" | awk '$1 == "SONAME" {print $2}')
base=$(tr 'A-Z_' 'a-z-' <<<"${soname%%.so.*}")
[[ $base =~ [0-9]$ ]] && base+=-
runtime=$base${soname##*.so.}
deb_of() { echo "$out/${1}_$version-1_$arch.deb"; }

field() { dpkg-deb -f "$(deb_of "$1")" "$2"; }
files_of() {  # the files and links of a package, without directories
  dpkg-deb -c "$(deb_of "$1")" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort
}
docs_of() {  # what every package holds in /usr/share/doc/<package>
  printf '%s\n' "usr/share/doc/$1/changelog.Debian.gz" "usr/share/doc/$1/copyright"
}
same_list() { diff <(echo "$2") <(files_of "$1") >"$work/diff" || { cat "$work/diff"; return 1; }; }

for pkg in "$runtime" libq583-sp-dev q583-tools; do
  check "$pkg: package file $(basename "$(deb_of "$pkg")")" test -f "$(deb_of "$pkg")"
  check "$pkg: Version $version-1, Architecture $arch, Priority optional, a Maintainer" \
    test "$(field "$pkg" Version)/$(field "$pkg" Architecture)/$(field "$pkg" Priority)" = \
         "$version-1/$arch/optional" -a -n "$(field "$pkg" Maintainer)"
  description=$(field "$pkg" Description)
  summary=${description%%$'\n'*}  # no pipe into head: under pipefail its early exit fails the writer
  check "$pkg: a one-line summary under 80 characters and a long description" \
    test -n "$summary" -a "${#summary}" -lt 80 -a "$(wc -l <<<"$description")" -gt 2
done

check "$runtime: section libs" test "$(field "$runtime" Section)" = libs
check "$runtime and libq583-sp-dev: Multi-Arch: same" \
  test "$(field "$runtime" Multi-Arch)/$(field libq583-sp-dev Multi-Arch)" = same/same
check "$runtime: computed dependencies on the C and C++ runtimes" \
  grep -qE '(^|, )libc6 \(>= [^)]+\).*libstdc\+\+6 \(>= ' <<<"$(field "$runtime" Depends)"
check "$runtime: shlibs names the package for $soname" \
  grep -qE "^libQ583_SP ${soname##*.so.} $runtime \(>= $version(-[0-9]+)?\)\$" <(dpkg-deb -I "$(deb_of "$runtime")" shlibs)
check "$runtime: the versioned library, its SONAME link and its documents" same_list "$runtime" \
  "$libdir/$soname
$libdir/libQ583_SP.so.$version
$(docs_of "$runtime")"
check "$runtime: $soname -> libQ583_SP.so.$version" \
  test "$(readlink "$sysroot/$libdir/$soname")" = "libQ583_SP.so.$version"

check "libq583-sp-dev: section libdevel, depends on exactly this $runtime" \
  test "$(field libq583-sp-dev Section)/$(field libq583-sp-dev Depends)" = "libdevel/$runtime (= $version-1)"
check "libq583-sp-dev: header, link, CMake package and q583_sp.pc" same_list libq583-sp-dev \
  "$(printf '%s\n' usr/include/q583_sp.h "$libdir/cmake/Q583_SP/Q583_SPConfig.cmake" \
     "$libdir/cmake/Q583_SP/Q583_SPConfigVersion.cmake" "$libdir/cmake/Q583_SP/Q583_SPTargets-release.cmake" \
     "$libdir/cmake/Q583_SP/Q583_SPTargets.cmake" "$libdir/libQ583_SP.so" "$libdir/pkgconfig/q583_sp.pc" $(docs_of libq583-sp-dev) | sort)"
check "libq583-sp-dev: libQ583_SP.so -> $soname" test "$(readlink "$sysroot/$libdir/libQ583_SP.so")" = "$soname"
check "libq583-sp-dev: the header is include/q583_sp.h" cmp -s include/q583_sp.h "$sysroot/usr/include/q583_sp.h"

check "q583-tools: section science, depends on $runtime and the computed C runtime" \
  grep -qE "^science/$runtime \(= $version-1\), .*libc6 \(>= " <<<"$(field q583-tools Section)/$(field q583-tools Depends)"
check "q583-tools: recommends gnuplot, which q583 plot runs" \
  test "$(field q583-tools Recommends)" = "gnuplot-nox | gnuplot"
check "q583-tools: q583, q583-sim, their man pages and the sample udev rule" same_list q583-tools \
  "usr/bin/q583
usr/bin/q583-sim
$(docs_of q583-tools)
usr/share/doc/q583-tools/examples/60-q583.rules
usr/share/man/man1/q583-sim.1.gz
usr/share/man/man1/q583.1.gz"
check "q583-tools: the sample udev rule is the README's" bash -c \
  "grep -qxF \"\$(grep '^SUBSYSTEM==' tools/udev/60-q583.rules)\" README.md &&
   cmp -s tools/udev/60-q583.rules '$sysroot/usr/share/doc/q583-tools/examples/60-q583.rules'"
check "q583-tools: no run path in q583 (the library is in the system's directory)" \
  bash -c "! readelf -d '$sysroot/usr/bin/q583' | grep -qE 'R(UN)?PATH'"
check "q583(1): the usage and a section COMMANDS with every command's options" \
  bash -c "zcat '$sysroot/usr/share/man/man1/q583.1.gz' | grep -q '^\.SH COMMANDS' &&
           zcat '$sysroot/usr/share/man/man1/q583.1.gz' | grep -q '^\.SS \"q583 config save\"'"
check "q583-sim(1): its options and fault switches, each on a line of its own, and SIGHUP" \
  bash -c "zcat '$sysroot/usr/share/man/man1/q583-sim.1.gz' | grep -q 'command\\\\-fault' &&
           zcat '$sysroot/usr/share/man/man1/q583-sim.1.gz' | grep -q '^\.SH NAME' &&
           zcat '$sysroot/usr/share/man/man1/q583-sim.1.gz' | grep -qx '\\\\fB\\\\-\\\\-frame\\\\-fault\\\\fR KIND:INDEX' &&
           LC_ALL=C MANWIDTH=80 man -l '$sysroot/usr/share/man/man1/q583-sim.1.gz' 2>/dev/null | grep -q SIGHUP"
check "q583(1) and q583-sim(1): no line wider than 80 columns" bash -c "
  for page in q583 q583-sim; do
    LC_ALL=C MANWIDTH=80 man -l '$sysroot/usr/share/man/man1/'\$page.1.gz 2>/dev/null | awk 'length > 80 {exit 1}' || exit 1
  done"
check "the packaged q583 runs with the packaged library" \
  bash -c "LD_LIBRARY_PATH='$sysroot/$libdir' '$sysroot/usr/bin/q583' --help >/dev/null"

for pkg in "$runtime" libq583-sp-dev q583-tools; do
  check "$pkg: its copyright file gives the project's licence (Expat, the MIT licence) in full" bash -c "
    grep -qx 'License: Expat' '$sysroot/usr/share/doc/$pkg/copyright' &&
    diff <(sed -n '5,\$p' LICENSE) <(awk 'text {sub(/^ /, \"\"); if (\$0 == \".\") \$0 = \"\"; print}
      /^License: Expat\$/ && seen++ {text = 1}' '$sysroot/usr/share/doc/$pkg/copyright')"
  check "$pkg: its changelog names this version" bash -c \
    "zcat '$sysroot/usr/share/doc/$pkg/changelog.Debian.gz' | head -n 1 | grep -qF '($version-1)'"
done
check "q583-tools: its copyright file gives CLI11's licence (BSD-3-clause), compiled into q583" \
  grep -qx 'License: BSD-3-clause' "$sysroot/usr/share/doc/q583-tools/copyright"
check "$runtime: ldconfig by trigger, no maintainer scripts" bash -c "
  dpkg-deb -I '$(deb_of "$runtime")' triggers | grep -qx 'activate-noawait ldconfig' &&
  ! dpkg-deb -I '$(deb_of "$runtime")' postinst >/dev/null 2>&1 &&
  ! dpkg-deb -I '$(deb_of "$runtime")' postrm >/dev/null 2>&1"

echo "== lintian, the distribution's own checks =="
if command -v lintian >/dev/null; then
  # Every tag fails, pedantic ones too, but the one that every first upload
  # outside the archive gets (no bug of the distribution's closed).
  if lintian --pedantic --suppress-tags initial-upload-closes-no-bugs --fail-on error,warning,info,pedantic \
      "${debs[@]}" >"$work/lintian.txt" 2>&1; then
    pass "lintian --pedantic: nothing on the three packages"
  else
    fail "lintian --pedantic reports tags"
  fi
  grep -E '^[EWIPX]:' "$work/lintian.txt" || true
else
  fail "lintian is missing (scripts/install-deps.sh)"
fi

echo "== the ABI against the interface as released (tests/abi/libQ583_SP.abi) =="
# The description was made from the package build's library (its debug
# information; the packages themselves are stripped) by:
#   abidw --no-corpus-path --no-comp-dir-path --no-show-locs --exported-interfaces-only --type-id-style hash build/package/libQ583_SP.so | sed "s|path='$PWD/|path='|" >tests/abi/libQ583_SP.abi
# Run it (after scripts/package.sh) only when the interface is released
# anew, with tests/abi/q583_sp.h and tests/abi/Q583_SP.def copied from
# include/ and src/api/ beside it: an export added since passes as it is.
native=${Q583_PACKAGE_BUILD:-build/package}
if command -v abidiff >/dev/null; then
  # Added functions alone leave the status 0; a changed or removed one does not.
  if abidiff --exported-interfaces-only --no-added-syms tests/abi/libQ583_SP.abi "$native/libQ583_SP.so" \
      >"$work/abidiff.txt" 2>&1; then
    pass "abidiff: nothing removed or changed since the released interface"
  else
    cat "$work/abidiff.txt"; fail "abidiff: an incompatible change of the interface"
  fi
else
  fail "abidiff is missing (scripts/install-deps.sh)"
fi

echo "== the README's C host against the packages =="
awk '/^\/\* myscan\.c/ {on = 1} on && /^```/ {exit} on' README.md >"$work/myscan.c"
check "the README holds the C host myscan.c" grep -q 'EX_InitDev' "$work/myscan.c"
check "q583_sp.pc: in /usr, so pkg-config leaves the system's include directory out" \
  test -z "$(PKG_CONFIG_PATH="$sysroot/$libdir/pkgconfig" pkg-config --cflags q583_sp | tr -d ' ')"
flags=$(PKG_CONFIG_SYSROOT_DIR="$sysroot" PKG_CONFIG_PATH="$sysroot/$libdir/pkgconfig" pkg-config --cflags --libs q583_sp)
# shellcheck disable=SC2086
check "built with pkg-config (q583_sp.pc)" \
  cc -std=c11 -Wall -Wextra -Werror "$work/myscan.c" $flags -o "$work/myscan-pc"
check "built with find_package(Q583_SP)" bash -c "
  cmake -S tests/packaging/consumer -B '$work/consumer' -DCMAKE_PREFIX_PATH='$sysroot/usr' \
    -DHOST_SOURCE='$work/myscan.c' -DCMAKE_C_FLAGS='-Wall -Wextra -Werror' >'$work/consumer.log' &&
  cmake --build '$work/consumer' >>'$work/consumer.log'"

signals=(--signal 0:0:constant:1.25 --signal 1:0:constant:-0.5 --signal 2:0:constant:2.0 --signal 3:0:constant:0.75)
# Scans of the four channels at the simulator's inputs: at least 5, each
# within 2 mV (the program's output; Windows line ends allowed).
scans_ok() {
  tr -d '\r' <"$1" | awk '
    NF == 4 { n++; if ((($1 - 1.25)^2 > 4e-6) || (($2 + 0.5)^2 > 4e-6) || (($3 - 2.0)^2 > 4e-6) || (($4 - 0.75)^2 > 4e-6)) bad++ }
    END { printf "%d scans, %d off the inputs\n", n, bad; exit !(n >= 5 && bad == 0) }'
}
run_native() {  # run_native NAME BINARY
  local run=$work/run-$1 device
  mkdir -p "$run"
  q583_sim_start "$sysroot/usr/bin/q583-sim" "$run/com" "$run" "${signals[@]}" || return 1
  device=$(head -n 1 "$run/sim.out")
  (cd "$run" && LD_LIBRARY_PATH="$sysroot/$libdir" timeout 60 "$2" "$device" >"$run/scans.txt" 2>"$run/host.err") || {
    cat "$run/host.err"; return 1; }
  q583_sim_stop
  # The program took the packaged library, not one elsewhere on the system.
  LD_LIBRARY_PATH="$sysroot/$libdir" ldd "$2" | grep -F "$sysroot/$libdir/$soname" >/dev/null && scans_ok "$run/scans.txt"
}
check "the pkg-config host scans the packaged q583-sim" run_native pc "$work/myscan-pc"
check "the find_package host scans the packaged q583-sim" run_native cmake "$work/consumer/myscan"

echo "== Windows SDK zip =="
zip=${zips[0]}
name=$(basename "$zip" .zip)
sdk=$work/sdk/$name
mkdir -p "$work/sdk"
(cd "$work/sdk" && cmake -E tar xf "$zip")
check "$name.zip: the header, README.txt, LICENSE.txt; in x86/ and x64/ the DLL, the .def and both import libraries" \
  test "$(cd "$sdk" && find . -type f | sort | tr '\n' ' ')" = \
       "./LICENSE.txt ./README.txt ./include/q583_sp.h $(for a in x64 x86; do
          printf './%s/%s ' $a Q583_SP.def $a Q583_SP.dll $a Q583_SP.lib $a libQ583_SP.dll.a; done)"
check "$name.zip: the header and the 32-bit .def are the project's" \
  bash -c "cmp -s include/q583_sp.h '$sdk/include/q583_sp.h' && cmp -s src/api/Q583_SP.def '$sdk/x86/Q583_SP.def'"
check "$name.zip: the 64-bit .def lists the same functions by their plain names alone" \
  test "$(sed -n 's/^  \([A-Za-z_0-9]*\).*/\1/p' src/api/Q583_SP.def | tr '\n' ' ')" = \
       "$(grep -v '[;=@]' "$sdk/x64/Q583_SP.def" | sed -n 's/^  \([A-Za-z_0-9]*\)$/\1/p' | tr '\n' ' ')"
check "$name.zip: LICENSE.txt is the project's licence and winpthreads' notices" bash -c \
  "diff <(tr -d '\r' <'$sdk/LICENSE.txt') <(cat LICENSE cmake/sdk-winpthreads-notice.txt) >/dev/null &&
   grep -q 'Lockless Inc' '$sdk/LICENSE.txt'"
check "README.txt: Windows line ends, which folder a host needs, linking and the calling conventions" \
  bash -c "grep -q \$'\r\$' '$sdk/README.txt' && grep -q '__stdcall' '$sdk/README.txt' && grep -q 'x64.Q583_SP.lib' '$sdk/README.txt' &&
           grep -q '^Which one' '$sdk/README.txt'"

export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
# For each architecture: its MSVC import library, the README's C host linked
# against its MinGW import library, and that host run under Wine (a prefix
# of the same kind) against the packaged simulator.
for arch in x86 x64; do
  if [[ $arch == x86 ]]; then
    tools=i686-w64-mingw32 implib_kind="" machine=i386 WINEARCH=win32 WINEPREFIX="$root/build/wine-prefix" link="$root/build/wine-com"
  else
    tools=x86_64-w64-mingw32 implib_kind=x64 machine=i386:x86-64 WINEARCH=win64 WINEPREFIX="$root/build/wine-prefix64" link="$root/build/wine-com64"
  fi
  export WINEARCH WINEPREFIX
  if python3 tests/packaging/check_stdcall_implib.py include/q583_sp.h src/api/Q583_SP.def "$sdk/$arch/Q583_SP.lib" $implib_kind \
      >"$work/implib-$arch.txt"; then
    pass "$arch/Q583_SP.lib: $(tail -n 1 "$work/implib-$arch.txt")"
  else
    cat "$work/implib-$arch.txt"; fail "$arch/Q583_SP.lib: the names a compiler emits, importing the plain names"
  fi
  check "$arch/Q583_SP.dll is $machine code" \
    bash -c "$tools-objdump -f '$sdk/$arch/Q583_SP.dll' | grep -q '^architecture: $machine,'"

  win=$work/win-$arch
  mkdir -p "$win"
  check "the README's host links against $arch/libQ583_SP.dll.a (MinGW)" \
    $tools-gcc -std=c11 -O2 -Wall -Wextra -Werror -I"$sdk/include" "$work/myscan.c" \
      -L"$sdk/$arch" -lQ583_SP -o "$win/myscan.exe"
  check "the $arch myscan.exe imports the plain names from Q583_SP.dll" bash -c "
    $tools-objdump -p '$win/myscan.exe' | sed -n '/DLL Name: Q583_SP.dll/,/^\$/p' >'$win/imports.txt' &&
    grep -q ' EX_InitDev\$' '$win/imports.txt' && ! grep -q '@' '$win/imports.txt'"
  cp "$sdk/$arch/Q583_SP.dll" "$win/"

  q583_wine_ports "$link" COM1
  run_wine() {
    q583_sim_start "$sysroot/usr/bin/q583-sim" "$link" "$win" "${signals[@]}" || return 1
    (cd "$win" && timeout 120 wine myscan.exe COM1 >"$win/scans.txt" 2>"$win/host.err") || { cat "$win/host.err"; return 1; }
    q583_sim_stop
    scans_ok "$win/scans.txt"
  }
  check "the $arch myscan.exe under Wine scans the simulator on COM1" run_wine
  wineserver -k >/dev/null 2>&1 || true
done

echo
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
