#!/usr/bin/env bash
# The static checks: every include of src/ goes down the layers, and
# cppcheck finds nothing in src/ (a finding that is wrong is answered in the
# code, next to it, with an inline suppression and the reason).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 scripts/check-layers.py

checks=(--quiet --std=c++17 --language=c++ -I src -I include --enable=warning,performance,portability
        --inline-suppr --error-exitcode=1)
cppcheck "${checks[@]}" -U_WIN32 -D__linux__ \
  src/api src/scan src/link src/device src/logging src/common src/platform/*.cpp src/platform/posix
cppcheck "${checks[@]}" -D_WIN32 src/platform/win32
echo "cppcheck: no finding in src/"
