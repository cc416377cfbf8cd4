#!/usr/bin/env bash
# Type-checks the Python package (python/) and runs its tests with the
# system interpreter, whose Debian packages provide numpy, pytest and mypy.
# Uses the build directory named by Q583_BUILD_DIR (it must hold
# libQ583_SP.so and sim/q583-sim), or builds the two targets into
# build/python.  Extra arguments go to pytest (paths relative to python/).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${Q583_BUILD_DIR:-build/python}
if [[ ! -e "$build/libQ583_SP.so" || ! -x "$build/sim/q583-sim" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ583_BUILD_TESTS=OFF -DQ583_BUILD_BENCH=OFF \
        -DQ583_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" -j "${Q583_JOBS:-2}" --target Q583_SP q583-sim
fi
build=$(cd "$build" && pwd)

export Q583_SP_LIBRARY="$build/libQ583_SP.so"
export PATH="$build/sim:$PATH"
export PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONDONTWRITEBYTECODE=1
cd python
# The package's types, as strictly as a user's checker may take them
# (Debian's python3-mypy; settings in pyproject.toml).
/usr/bin/python3 -m mypy --strict --cache-dir=/dev/null q583
# The tests are python/tests (pyproject.toml's testpaths) unless the
# arguments name others.
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
