#!/usr/bin/env bash
# Installs, as root on Debian 12, whatever the build, the tests and the
# browser need and is not there yet. Quiet and quick when nothing is missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  nlohmann-json3-dev chromium-headless-shell poppler-utils qpdf openssl zlib1g-dev python3 file
  pngcheck procps curl g++-aarch64-linux-gnu qemu-user)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
