#!/usr/bin/env bash
# Installs with apt-get whatever the build, the tests and the demo need and
# this machine lacks.  Pass --demo for what scripts/demo.sh alone needs (a
# compiler, CMake, CLI11 and gnuplot), --windows to add mingw-w64, Wine and
# LLVM's dlltool and lld-link (the SDK's import libraries, the host linked as
# Visual C++ links one), --coverage to add gcovr (for scripts/coverage.sh).
set -euo pipefail

demo=(cmake g++ make libcli11-dev gnuplot-nox fonts-dejavu-core)
want=("${demo[@]}" libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      pkgconf binutils help2man dpkg-dev librapidcheck-dev
      python3 python3-numpy python3-pytest python3-matplotlib python3-pandas
      python3-venv python3-pip python3-setuptools python3-wheel python3-mypy lintian cppcheck abigail-tools)
if [[ "${1:-}" == "--demo" ]]; then
  want=("${demo[@]}")
fi
if [[ "${1:-}" == "--coverage" ]]; then
  want+=(gcovr)
fi
if [[ "${1:-}" == "--windows" ]]; then
  want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32 wine64 binutils-mingw-w64-i686
         binutils-mingw-w64-x86-64 llvm lld)
fi

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
if [[ " ${missing[*]} " == *" wine32 "* ]]; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
