#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, real-browser
# end-to-end, and the ARM and sanitizer runs when their scripts exist).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j2
for extra in asan-test.sh arm-test.sh; do
  if [ -x "$root/scripts/$extra" ]; then
    echo "== $extra"
    "$root/scripts/$extra"
  fi
done
