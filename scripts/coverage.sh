#!/usr/bin/env bash
# Size of the test suite against the product code, and how much of the
# product the whole suite runs (gcc coverage build in build-coverage/).
#   scripts/coverage.sh           line counts, then the coverage run
#   scripts/coverage.sh --count   line counts only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
product=(app config engine client pdfink)
suite=(tests fuzz)

# Non-blank lines that are not only a comment, in the files a developer writes.
count_lines() {
  git ls-files -- "$@" | grep -E '\.(cc|h|js|py|sh|cmake)$' | while read -r f; do
    case "$f" in *.py|*.sh|*.cmake) hash='#' ;; *) hash='' ;; esac
    awk -v hash="$hash" '{
      sub(/^[ \t]+/, ""); sub(/[ \t\r]+$/, "")
      if ($0 == "" || $0 ~ /^\/\// || $0 ~ /^\/\*/ || $0 ~ /^\*/) next
      if (hash != "" && substr($0, 1, 1) == hash) next
      n++
    } END { print n + 0 }' "$f"
  done | awk '{ s += $1 } END { print s + 0 }'
}
tests=$(count_lines "${suite[@]}")
code=$(count_lines "${product[@]}")
awk -v t="$tests" -v c="$code" 'BEGIN { printf "lines: tests %d, product %d, tests/product %.1f%%\n", t, c, 100 * t / c }'
[ "${1:-}" = --count ] && exit 0

command -v gcovr >/dev/null || apt-get install -y -q --no-install-recommends gcovr >/dev/null
build="$root/build-coverage"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
ninja -C "$build"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 --output-on-failure || echo "(some tests failed; coverage is of the run as it went)"
filters=()
for d in "${product[@]}"; do filters+=(--filter "$root/$d/"); done
gcovr --root "$root" "${filters[@]}" --exclude-unreachable-branches --print-summary -o "$build/coverage.txt" "$build"
