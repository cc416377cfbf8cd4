#!/usr/bin/env bash
# Makes what users install, and leaves it in one folder (default
# build/packages):
#   libq583-sp10_<version>-1_<arch>.deb     the shared library
#   libq583-sp-dev_<version>-1_<arch>.deb   header, CMake package, q583_sp.pc
#   q583-tools_<version>-1_<arch>.deb       q583, q583-sim and their man pages
#   Q583_SP-<version>-win32-sdk.zip         header; x86/ and x64/: DLL, .def, import libraries
#
#   scripts/package.sh [OUTPUT_DIR]
# Environment: Q583_PACKAGE_BUILD        native build dir (default build/package)
#              Q583_PACKAGE_MINGW_BUILD  32-bit mingw-w64 build dir (default build/package-mingw)
#              Q583_PACKAGE_MINGW64_BUILD  64-bit one (default build/package-mingw64)
#              Q583_PACKAGE_MAINTAINER   Maintainer field of the packages
# Needs cmake, g++, dpkg-dev, help2man, mingw-w64 and llvm-dlltool
# (scripts/install-deps.sh --windows).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/packages}
native=${Q583_PACKAGE_BUILD:-build/package}
mingw=${Q583_PACKAGE_MINGW_BUILD:-build/package-mingw}
mingw64=${Q583_PACKAGE_MINGW64_BUILD:-build/package-mingw64}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

for tool in dpkg-shlibdeps help2man i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix llvm-dlltool; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/install-deps.sh --windows)"; exit 2; }
done

echo "== Debian packages ($native) =="
# With debug information, which the packages leave out (CPACK_STRIP_FILES)
# and the ABI check reads (scripts/test-packages.sh).
if [[ ! -f "$native/CMakeCache.txt" ]]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQ583_BUILD_TESTS=OFF -DQ583_BUILD_BENCH=OFF \
    ${Q583_PACKAGE_MAINTAINER:+"-DQ583_PACKAGE_MAINTAINER=$Q583_PACKAGE_MAINTAINER"} >/dev/null
fi
cmake "$native" -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g >/dev/null
cmake --build "$native" -j "$jobs"
rm -f "$native"/packages/*.deb
(cd "$native" && cpack -G DEB >/dev/null)

mkdir -p "$out"
rm -f "$out"/*.deb "$out"/Q583_SP-*-win32-sdk.zip
cp "$native"/packages/*.deb "$out"/

for build in "$mingw:i686" "$mingw64:x86_64"; do
  dir=${build%%:*}
  echo "== Windows SDK, ${build##*:} ($dir) =="
  # Configured each time: a build made before the target sdk_arch existed
  # learns it.
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-${build##*:}-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
  cmake --build "$dir" -j "$jobs" --target sdk_arch
done
cmake -DX86="$mingw/sdk/x86" -DX64="$mingw64/sdk/x64" -DOUTPUT_DIR="$(realpath "$out")" -P cmake/sdk-zip.cmake
echo "== in $out =="
ls -l "$out"
