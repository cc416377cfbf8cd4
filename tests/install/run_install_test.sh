#!/usr/bin/env bash
# Installs the built library into a temporary prefix, then builds and runs a
# small C host against it twice: through find_package(Q583_SP) and through
# pkg-config.
#   run_install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER "C_FLAGS" "LINKER_FLAGS"
set -euo pipefail
build=$1
source=$2
cc=$3
cflags=${4:-}
ldflags=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/q583-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

for component in runtime dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >>"$work/install.log"
done

# What the install must put in place.
test -f "$prefix/include/q583_sp.h"
lib=$(find "$prefix" -name 'libQ583_SP.so' | head -n 1)
test -n "$lib"
pc=$(find "$prefix" -name 'q583_sp.pc' | head -n 1)
test -n "$pc"
test -n "$(find "$prefix" -name 'Q583_SPConfig.cmake')"
libdir=$(dirname "$lib")

# find_package.
cmake -S "$source/tests/install/consumer" -B "$work/consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/configure.log"
cmake --build "$work/consumer" >"$work/build.log"
"$work/consumer/q583_consumer"

# pkg-config, from the moved tree: the .pc file finds its prefix itself.
mv "$prefix" "$work/moved"
pc_dir=$(dirname "${pc/#$prefix/$work/moved}")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs q583_sp)
# shellcheck disable=SC2086
"$cc" $cflags "$source/tests/install/consumer/main.c" $flags $ldflags -o "$work/pc_consumer"
LD_LIBRARY_PATH="${libdir/#$prefix/$work/moved}" "$work/pc_consumer"
echo "install test passed"
