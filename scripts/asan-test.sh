#!/usr/bin/env bash
# Builds the libraries and their unit tests with address and undefined-
# behaviour sanitizers in build-asan/ and runs them. The browser tests are
# left out: the browser is not built with the sanitizers, and they are slow.
# Exits non-zero on a failed test or any sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-asan
# -O1 keeps the build and the runs short while the reports keep their lines.
nice cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DHALVERN_SANITIZE=ON -DHALVERN_BROWSER_TESTS=OFF -DHALVERN_BUILD_BENCH=OFF >/dev/null
# Test binaries only: the program itself adds nothing that they do not cover.
targets=(pdfink_tests pdfink_ink_measure_cli config_tests halvern-payload hvn_client_pure_tests hvn_client_tests
  hvn_app_tests hvn_service_tests hvn_engine_unit_tests)
nice cmake --build "$out" -j2 --target "${targets[@]}" >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
nice ctest --test-dir "$out" --output-on-failure -j2 -LE browser
