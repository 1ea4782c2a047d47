#!/usr/bin/env bash
# Configures and builds everything into build/ (optimised, with debug info).
# Extra arguments go to cmake, e.g. -DHALVERN_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$root/build"
