#!/usr/bin/env bash
# The model test's mutation score: puts seeded faults back one at a time and
# runs the model test of random call sequences against each.
#
#   scripts/mutants.sh [--minutes M] [PATCH...]
#
# Each PATCH is a unified diff against the tree (default: every file in
# tests/model/mutants/); a path outside the tree, such as ../x.patch, is
# taken as well.  Each is applied to a scratch copy of the tree (the files
# git knows, as they are now), only the model test is built, and it runs
# with fresh random seeds, two processes side by side, for up to M minutes
# (default 6) or until the first failure.  One line per mutant: found or not, the time, the first failure
# line; then the score as "N passed, M failed" (a found mutant passes).
# The working tree is never changed.  Q583_MUTANTS_SCRATCH=DIR keeps the
# scratch copy and its build in DIR, so a later run builds less; Q583_MODEL_SKIP
# passes on to the model test (checks of faults known in the tree).
set -euo pipefail

minutes=6
patches=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --minutes=*) minutes=${1#*=}; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) patches+=("$(realpath "$1")"); shift ;;
  esac
done

tree=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${#patches[@]} -eq 0 ]]; then
  for p in "$tree"/tests/model/mutants/*.patch; do patches+=("$p"); done
fi
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

if [[ -n ${Q583_MUTANTS_SCRATCH:-} ]]; then
  scratch=$Q583_MUTANTS_SCRATCH
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/q583-mutants-XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
fi
src=$scratch/src
build=$scratch/build
mkdir -p "$src"

# The tree as it is now: every file git knows (tracked or new, not ignored).
# A kept scratch copy takes only the files that differ, each with a new
# time: a file that an earlier mutant changed and put back has a time
# older than its object, and would otherwise not be built again.
incoming=$scratch/incoming
rm -rf "$incoming"
mkdir -p "$incoming"
(cd "$tree" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' f; do [[ -f $f ]] && printf '%s\0' "$f"; done |
   tar --null -T - -cf -) | tar -xf - -C "$incoming"
(cd "$incoming" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if ! cmp -s "$incoming/$f" "$src/$f"; then
    mkdir -p "$(dirname "$src/$f")"
    cp "$incoming/$f" "$src/$f"
  fi
done
rm -rf "$incoming"
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ583_BUILD_TESTS=ON >"$scratch/configure.log" 2>&1 ||
    { echo "mutants: the scratch tree does not configure (see $scratch/configure.log)"; exit 2; }
fi

limit=$(( minutes * 60 ))
passed=0
failed=0

# Runs the model test with fresh seeds until a failure or the time limit, in
# as many lanes side by side as there are cores (at most 2; Q583_MUTANTS_LANES
# sets another number): the model test mostly waits on the instrument, so
# two processes run twice the sequences a minute.  Each lane has its own
# working directory.  Prints "<seconds> <first failure line>" when found,
# nothing otherwise.
lanes=${Q583_MUTANTS_LANES:-$jobs}
failure='^\[model\] FAILED:|^MODEL:|AddressSanitizer|ThreadSanitizer|runtime error'
hunt() {
  local start i line status
  local -a pids=() logs=()
  start=$(date +%s)
  for (( i = 0; i < lanes; i++ )); do
    logs[i]=$scratch/run$i.log
    pids[i]=
    mkdir -p "$scratch/lane$i"
  done
  stopAll() {
    local p
    for p in "${pids[@]}"; do
      [[ -n $p ]] || continue
      kill -- "$p" 2>/dev/null || true
      wait "$p" 2>/dev/null || true
    done
  }
  while :; do
    if (( $(date +%s) - start >= limit )); then
      stopAll
      return 0
    fi
    for (( i = 0; i < lanes; i++ )); do
      line=
      if [[ -n ${pids[i]} ]]; then
        line=$(grep -m1 -E "$failure" "${logs[i]}" || true)
        if [[ -z $line ]] && ! kill -0 "${pids[i]}" 2>/dev/null; then
          # Every sequence passed: a new process, a new seed.  (A check's
          # sequences grow from size 0 to max_size over its max_success:
          # short checks keep the sequences long.)
          if wait "${pids[i]}"; then
            pids[i]=
          else
            status=$?
            pids[i]=
            line=$(grep -m1 -E "$failure|Failure|Sanitizer" "${logs[i]}" || echo "exit status $status")
          fi
        fi
      fi
      if [[ -n $line ]]; then
        stopAll
        echo "$(( $(date +%s) - start )) ${line#\[model\] FAILED: }"
        return 0
      fi
      if [[ -z ${pids[i]} ]]; then
        # A process killed at a failure leaves its temporary directories:
        # they are made in the lane's directory, which each process begins
        # afresh.
        : >"${logs[i]}"
        rm -rf "$scratch/lane$i"
        mkdir -p "$scratch/lane$i"
        (cd "$scratch/lane$i" && exec env -u Q583_MODEL_ONLY TMPDIR="$scratch/lane$i" RC_PARAMS="max_success=20 max_size=24" \
           "$build/tests/model_test" --gtest_filter=Model.RandomCallSequences >"${logs[i]}" 2>&1) &
        pids[i]=$!
      fi
    done
    sleep 2
  done
}

for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  if ! (cd "$src" && patch -p1 --dry-run -s <"$patch" >/dev/null 2>&1); then
    echo "$name: NOT FOUND: the diff does not apply"
    failed=$(( failed + 1 ))
    continue
  fi
  (cd "$src" && patch -p1 -s <"$patch")
  if cmake --build "$build" -j "$jobs" --target model_test >"$scratch/build.log" 2>&1; then
    result=$(hunt)
    if [[ -n $result ]]; then
      echo "$name: found after ${result%% *} s: ${result#* }"
      passed=$(( passed + 1 ))
    else
      echo "$name: NOT FOUND in $minutes min"
      failed=$(( failed + 1 ))
    fi
  else
    echo "$name: NOT FOUND: does not build (see $scratch/build.log)"
    failed=$(( failed + 1 ))
  fi
  (cd "$src" && patch -p1 -R -s <"$patch")
done
echo "$passed passed, $failed failed"
