#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit tests and the
# real-browser end-to-end tests, then the extra runs (sanitizers, ARM) when
# their scripts exist. Exits 77, not 0, when the ARM conversion rows were
# skipped for want of privilege (arm-test.sh's status, the last one).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bootstrap_args=()
[ -x "$root/scripts/arm-test.sh" ] && bootstrap_args+=(--arm)
"$root/scripts/bootstrap.sh" "${bootstrap_args[@]}"
"$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j2
for extra in asan-test.sh arm-test.sh; do
  if [ -x "$root/scripts/$extra" ]; then
    echo "== $extra"
    "$root/scripts/$extra"
  fi
done
