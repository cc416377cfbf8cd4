#!/usr/bin/env bash
# What the model test alone reaches of the library: builds with coverage in
# build/coverage, runs the model test of random call sequences alone for N
# sequences (default 40; RC_PARAMS seed=... may be added with Q583_COVERAGE_SEED),
# and reports line and branch coverage of src/ per folder (of every line, and
# of the lines in its reach), then the lines of src/scan/ and src/link/ in
# its reach that it never ran, and the lines out of its reach by design
# (marked LCOV_EXCL in the source, each with its reason).
#
#   scripts/coverage.sh [SEQUENCES]
set -euo pipefail
cd "$(dirname "$0")/.."

sequences=${1:-40}

# The report needs gcovr: installed first, not after the long run.
scripts/install-deps.sh --coverage
build=build/coverage
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQ583_BUILD_TESTS=ON -DQ583_BUILD_BENCH=OFF \
    -DQ583_MAN_PAGES=OFF -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
fi
cmake --build "$build" -j "$jobs" --target model_test
find "$build" -name '*.gcda' -delete

params="max_success=$sequences max_size=24"
[[ -n ${Q583_COVERAGE_SEED:-} ]] && params="seed=$Q583_COVERAGE_SEED $params"
(cd "$build" && RC_PARAMS="$params" tests/model_test) >"$build/model_test.log" 2>&1 ||
  echo "coverage: the model test failed (see $build/model_test.log); the figures cover what it ran"

# Two summaries: every line, and the lines in the model test's reach (lines
# marked LCOV_EXCL in src/ are out of it by design, each with its reason).
all=$build/coverage-all.json
reach=$build/coverage.json
gcovr -r . --filter 'src/' --exclude-directories '.*CompilerId.*' --object-directory "$build" --no-markers --json-summary "$all" "$build" >/dev/null
gcovr -r . --filter 'src/' --exclude-directories '.*CompilerId.*' --object-directory "$build" --json-summary "$reach" "$build" >/dev/null
python3 - "$all" "$reach" <<'EOF'
import json, sys, collections
def folders(path):
    out = collections.OrderedDict()
    for f in sorted(json.load(open(path))["files"], key=lambda f: f["filename"]):
        parts = f["filename"].split("/")
        folder = "/".join(parts[:3]) if parts[1] == "platform" and len(parts) > 3 else "/".join(parts[:2])
        t = out.setdefault(folder, [0, 0, 0, 0])
        t[0] += f["line_covered"]; t[1] += f["line_total"]
        t[2] += f["branch_covered"]; t[3] += f["branch_total"]
    out["src/ (all)"] = [sum(v[i] for v in list(out.values())) for i in range(4)]
    return out
every, inReach = folders(sys.argv[1]), folders(sys.argv[2])
def pct(a, b): return f"{100.0 * a / b:5.1f} %" if b else "    -  "
print(f"{'folder':<22}{'lines':>22}{'lines in reach':>22}{'branches':>22}")
for folder, (lc, lt, bc, bt) in every.items():
    rc, rt = inReach.get(folder, [0, 0])[:2]
    print(f"{folder:<22}{pct(lc, lt):>9} ({lc:>4}/{lt:>4}){pct(rc, rt):>9} ({rc:>4}/{rt:>4}){pct(bc, bt):>9} ({bc:>4}/{bt:>4})")
EOF
echo
echo "Lines of src/scan/ and src/link/ in reach that the model test never ran:"
gcovr -r . --filter 'src/scan/' --filter 'src/link/' --exclude-directories '.*CompilerId.*' --object-directory "$build" --txt - "$build" |
  sed -n '/^File/,$p'
echo
echo "Out of the model test's reach by design (marked LCOV_EXCL, with the reason):"
grep -rn 'LCOV_EXCL_\(LINE\|START\)' src/scan src/link | sed 's/^\([^:]*:[0-9]*\):.*LCOV_EXCL_[A-Z]*:\{0,1\} */  \1  /'
