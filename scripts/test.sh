#!/usr/bin/env bash
# Builds everything and runs every test: the static checks (layers,
# cppcheck), the default build with warnings as errors, the
# address+undefined sanitizer build, the thread sanitizer over the suites
# that run threads, a short performance check, a short fuzzing run, the
# 32-bit and 64-bit Windows DLLs under Wine, and the packages (.deb files,
# Windows SDK zip).
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
windows=1
scripts/install-deps.sh --windows || { echo "mingw-w64/Wine not installable: Windows build skipped"; windows=0; scripts/install-deps.sh; }

echo "== static checks: the layers of src/, cppcheck =="
scripts/lint.sh

echo "== default build (warnings are errors) =="
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

echo "== performance, short: the acquisition's figures as ratios to a plain reader =="
Q583_BUILD_DIR=build/ci scripts/datasheet.sh --check

echo "== address + undefined sanitizers =="
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

echo "== thread sanitizer: the suites where the host and the library's threads meet =="
# Only the suites that run threads against one another, so that the stage
# stays a few minutes long.
tsan_suites=(host_callbacks_test run_owner_test run_edges_test scan_end_test scan_ring_test scan_timed_test
             line_clock_test link_units_test)
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target "${tsan_suites[@]}"
ctest --preset tsan -j "$jobs" -R '^(HostCallbacks|RunOwner|RunEdges|ScanEnd|ScanRing|ScanTimed|LineAndClock|DuringScan)\.'

if [[ -x scripts/fuzz.sh ]]; then
  echo "== fuzzing the configuration load =="
  scripts/fuzz.sh "${Q583_FUZZ_SECONDS:-60}"
fi

if [[ $windows -eq 1 && -x scripts/test-windows.sh ]]; then
  # About a minute each, so both run on the default path.
  echo "== 32-bit Windows DLL under Wine =="
  scripts/test-windows.sh x86
  echo "== 64-bit Windows DLL under Wine (wine64) =="
  scripts/test-windows.sh x64
fi

if [[ $windows -eq 1 && -x scripts/test-packages.sh ]]; then
  echo "== packages: the .deb files and the Windows SDK zip =="
  # The DLLs of the Windows tests' builds go into the zip.
  Q583_PACKAGE_MINGW_BUILD=build/mingw32 Q583_PACKAGE_MINGW64_BUILD=build/mingw64 scripts/test-packages.sh
fi

echo "== Python package (the ci build's library and simulator) =="
Q583_BUILD_DIR=build/ci scripts/test-python.sh
