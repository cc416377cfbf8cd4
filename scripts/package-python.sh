#!/usr/bin/env bash
# Makes the Python package's wheel with the built library inside, tagged for
# this platform (py3-none-linux_<arch>), and prints its path:
#
#   scripts/package-python.sh [OUTPUT_DIR]      (default build/python-dist)
#
# Environment: Q583_BUILD_DIR  build tree of the library (default build/default;
#                              configured and built here when it has none).
# Needs python3-pip, python3-setuptools and python3-wheel; nothing is fetched.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/python-dist}
build=${Q583_BUILD_DIR:-build/default}

if [[ ! -e "$build/libQ583_SP.so" ]]; then
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ583_BUILD_TESTS=OFF -DQ583_BUILD_BENCH=OFF \
          -DQ583_BUILD_TOOLS=OFF >/dev/null
  fi
  cmake --build "$build" -j "${Q583_JOBS:-2}" --target Q583_SP
fi

mkdir -p "$out"
rm -f "$out"/q583-*.whl
# setup.py copies the library named here into the built package.
Q583_SP_LIBRARY="$(cd "$build" && pwd)/libQ583_SP.so" \
  /usr/bin/python3 -m pip wheel --quiet --no-build-isolation --no-deps --no-index -w "$out" ./python
# The build runs in the source tree; its leftovers are not kept.
rm -rf python/build python/q583.egg-info
ls "$out"/q583-*.whl
