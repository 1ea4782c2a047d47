#!/usr/bin/env bash
# Cross-builds the browser-independent libraries and their unit tests for
# 64-bit ARM (aarch64-linux-gnu-g++) in build-arm/ and runs them under
# qemu-aarch64, then the conversion itself on ARM (arm-e2e.sh). Needs what
# `scripts/bootstrap.sh --arm` installs. Exits 77 when the units pass and the
# conversion rows were skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-arm
sysroot=/usr/aarch64-linux-gnu

# Header-only JSON, zlib's and cpp-httplib's headers from the host, through a folder of
# their own so that the host's other headers stay out of the ARM build.
deps=$out/deps/include
mkdir -p "$deps"
ln -sfn /usr/include/nlohmann "$deps/nlohmann"
ln -sf /usr/include/zlib.h "$deps/zlib.h"
ln -sf /usr/include/zconf.h "$deps/zconf.h"
ln -sf /usr/include/httplib.h "$deps/httplib.h"

nice cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
  -DHALVERN_JSON_INCLUDE_DIR="$deps" -DHALVERN_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DZLIB_INCLUDE_DIR="$deps" -DZLIB_LIBRARY=/usr/lib/aarch64-linux-gnu/libz.a >/dev/null
tests=(pdfink_tests config_tests hvn_client_pure_tests hvn_app_tests)
nice cmake --build "$out" -j2 --target "${tests[@]}" pdfink_ink_measure_cli halvern-payload halvern hvn_netfence >/dev/null

# Each binary must really be ARM code, then pass under the emulator.
failed=0
for t in "${tests[@]}"; do
  bin=$(find "$out/tests" -type f -name "$t" | head -1)
  file -b "$bin" | grep -q 'ARM aarch64' || { echo "arm-test: $t is not an aarch64 binary" >&2; exit 1; }
  echo "== $t (qemu-aarch64)"
  if ! (cd "$(dirname "$bin")" && qemu-aarch64 -L "$sysroot" "$bin" --gtest_brief=1); then
    failed=1
  fi
done
[ $failed = 0 ] || exit 1
exec "$root/scripts/arm-e2e.sh"
