#!/usr/bin/env bash
# Installs, as root on Debian 12, what the build, the tests and the browser
# need and is not there yet. Quick and quiet when nothing is missing.
#   --arm   also the aarch64 cross compiler, qemu-user, and zlib and libqpdf for arm64
#           (large; only the ARM build needs them), and qemu-user-static and
#           debootstrap for the arm64 root the conversion runs in under emulation
set -euo pipefail
arm=false

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  nlohmann-json3-dev libqpdf-dev libcpp-httplib-dev chromium-headless-shell poppler-utils qpdf openssl zlib1g-dev python3 file
  pngcheck procps curl dpkg-dev man-db
  # The fonts pages expect: metric-compatible Arial, Times New Roman, Courier
  # New, Calibri, Cambria; Noto for the world's scripts and colour emoji.
  fonts-dejavu-core fonts-liberation2 fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji
  fonts-crosextra-carlito fonts-crosextra-caladea)
for arg in "$@"; do
  case "$arg" in
    --arm) arm=true; packages+=(g++-aarch64-linux-gnu qemu-user qemu-user-static debootstrap) ;;
    *) echo "bootstrap: unknown option $arg" >&2; exit 2 ;;
  esac
done

# One dpkg-query for the lot; packages it does not know are simply absent.
installed=" $(dpkg-query -W -f='${Package}:${db:Status-Status} ' "${packages[@]}" 2>/dev/null || true) "
missing=()
for p in "${packages[@]}"; do
  [[ "$installed" == *" $p:installed "* ]] || missing+=("$p")
done

# The ARM build links zlib, libqpdf and cpp-httplib built for arm64: Debian's multiarch packages.
for p in zlib1g-dev:arm64 libqpdf-dev:arm64 libcpp-httplib-dev:arm64; do
  if $arm && ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing ${missing[*]}; run as root to install them" >&2
  exit 1
fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":arm64 "* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -q >/dev/null
fi
apt_install() { apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/bootstrap-apt.log 2>&1; }
# A stale package list is the usual cause of a failed install: refresh and retry once.
if ! apt_install; then
  apt-get update -q >/dev/null
  apt_install || { tail -20 /tmp/bootstrap-apt.log >&2; exit 1; }
fi
rm -f /tmp/bootstrap-apt.log
