#!/usr/bin/env bash
# The whole conversion on 64-bit ARM: halvern and the connection fence
# cross-built, copied into an arm64 Debian root with the arm64 browser, and a
# handful of end-to-end rows run against them by the host's test drivers,
# through chroot. qemu-aarch64-static is registered in binfmt_misc with flag
# F, so that every exec of an ARM program, the browser starting itself again
# included, runs under the emulator. Run by arm-test.sh after the unit tests
# (build-arm/ configured there); needs root.
# Exit status: 0 passed, 1 failed, 77 skipped (no privilege, or the kernel
# refuses the registration). HVN_ARM_REFUSE_BINFMT=1 acts as such a machine.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$src/build-arm
native=$src/build
arm_root=$out/arm64-root
run_tmp=$out/e2e-tmp
pages=$src/tests/e2e/pages
suite=bookworm
# The browser, a font, the PDF tools, and what halvern links beyond the C++ library.
packages=(chromium-headless-shell fonts-dejavu-core poppler-utils libqpdf29 libcpp-httplib0.11)
# The renderer's start alone takes about 30 s under the emulator.
slowdown=10
# The rows: case-file rows by name, then the other drivers' tests.
case_rows=Landscape,HtmlStringWithBaseUrl,FormatFromOutputName,InkMeasureModeAgreesWithTheInkPass
request_tests=Requests.LocalHostsFilesAndPrivateNetworksBlockedInEverySpellingAndChannel
fault_tests=Faults.CrashedOrKilledBrowserProcessFailsTheRun

started=$SECONDS
say() { echo "arm-e2e [$((SECONDS - started))s]: $*"; }
skip() {
  say "SKIPPED: $1"
  say "SKIPPED: not run on ARM: $case_rows,$request_tests,$fault_tests"
  exit 77
}

binfmt=/proc/sys/fs/binfmt_misc
entry=hvn-qemu-aarch64
mounted_binfmt=false registered=false driver_pid=
mounts=()  # in mount order; undone in reverse

# Processes whose root is one of ours: whatever a run left there.
roots_in_use=()
processes_in_roots() {
  local p r
  for p in /proc/[0-9]*; do
    r=$(readlink "$p/root" 2>/dev/null) || continue
    for root_dir in "${roots_in_use[@]}"; do [ "$r" = "$root_dir" ] && echo "${p#/proc/}"; done
  done
  return 0
}

mounts_under() { awk -v d="$1" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts; }

cleanup() {
  local status=$? pid m i
  set +e  # every step, whatever the one before it did
  [ -n "$driver_pid" ] && kill "$driver_pid" 2>/dev/null && wait "$driver_pid" 2>/dev/null
  for pid in $(processes_in_roots); do kill -KILL "$pid" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    m=${mounts[i]}
    umount -R "$m" 2>/dev/null || umount -R -l "$m" 2>/dev/null || echo "arm-e2e: could not unmount $m" >&2
  done
  # A driver ended early leaves its case folders.
  [ -n "$(mounts_under "$run_tmp")" ] || rm -rf "$run_tmp"
  $registered && echo -1 > "$binfmt/$entry"
  $mounted_binfmt && umount "$binfmt"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# An enabled aarch64 entry with flag F already there serves; else ours,
# registered after any other, so that the kernel tries it first.
register_emulator() {
  [ "${HVN_ARM_REFUSE_BINFMT:-}" = 1 ] && { reason="registration refused (HVN_ARM_REFUSE_BINFMT=1)"; return 1; }
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || { reason="cannot mount binfmt_misc on $binfmt"; return 1; }
    mounted_binfmt=true
  fi
  local e
  for e in "$binfmt"/*; do
    case ${e##*/} in register | status) continue ;; esac
    grep -qx enabled "$e" && grep -q '^flags:.*F' "$e" &&
      grep -q '^magic 7f454c460201010000000000000000000200b700' "$e" && { say "emulator: ${e##*/} (registered already)"; return 0; }
  done
  local magic='\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
  local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [ -e "$binfmt/$entry" ] && echo -1 > "$binfmt/$entry"
  if ! printf ':%s:M::%s:%s:%s:F\n' "$entry" "$magic" "$mask" "$(command -v qemu-aarch64-static)" \
      > "$binfmt/register" 2>/dev/null; then
    reason="the kernel refused the binfmt_misc registration"
    return 1
  fi
  registered=true
  say "emulator: registered $entry (qemu-aarch64-static, flag F)"
}

# The first mirror for suite $1 in the apt sources (one-line or deb822), else $2.
debian_mirror() {
  local f m suite=$1
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    m=$(awk -v s="$suite" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                           if ($(i + 1) == s) { print $i; exit } }' "$f")
    [ -n "$m" ] && { echo "$m"; return; }
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    m=$(awk -v RS= -v s="$suite" '{ t = u = x = ""; n = split($0, l, "\n")
          for (j = 1; j <= n; j++) { if (l[j] ~ /^Types:/) t = l[j]; if (l[j] ~ /^URIs:/) u = l[j]; if (l[j] ~ /^Suites:/) x = l[j] }
          if (t ~ /[ \t]deb([ \t]|$)/ && x ~ ("[ \t]" s "([ \t]|$)")) { split(u, w, /[ \t]+/); print w[2]; exit } }' "$f")
    [ -n "$m" ] && { echo "$m"; return; }
  done
  echo "$2"
}

# What the root's programs need of the host: /proc, /dev, name lookups;
# the runs' folder and the served pages at the paths the drivers use.
mount_into() {
  local r=$1
  roots_in_use+=("$r")
  mount -t proc proc "$r/proc"
  mounts+=("$r/proc")
  mount --rbind /dev "$r/dev"
  mounts+=("$r/dev")
  mount --make-rslave "$r/dev"
  cp -L /etc/resolv.conf /etc/hosts "$r/etc/"
}

unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -R "${mounts[i]}"; done
  mounts=()
}

# Removes a root folder, never through a mount that is still inside it.
remove_root() {
  [ -e "$1" ] || return 0
  for m in $(mounts_under "$1" | sort -r); do umount -R "$m" || umount -R -l "$m"; done
  [ -z "$(mounts_under "$1")" ] || { echo "arm-e2e: mounts left under $1, not removing it" >&2; exit 1; }
  rm -rf --one-file-system "$1"
}

# debootstrap, then the browser, a font and the PDF tools inside, with the
# suite's updates and security updates as the host has them; kept as a
# tarball whose name changes with the suites and the package list.
key=$(printf '%s\n' "$suite" updates security arm64 minbase "${packages[@]}" | sha256sum | cut -c1-12)
tarball=$out/arm64-root-$key.tar.zst
make_root() {
  local stage=$out/arm64-root.new mirror security
  mirror=$(debian_mirror "$suite" http://deb.debian.org/debian)
  security=$(debian_mirror "$suite-security" http://deb.debian.org/debian-security)
  remove_root "$stage"
  say "debootstrap --arch=arm64 --variant=minbase $suite from $mirror"
  debootstrap --arch=arm64 --variant=minbase "$suite" "$stage" "$mirror" > "$out/arm64-root.log" 2>&1 ||
    { tail -20 "$out/arm64-root.log" >&2; exit 1; }
  printf 'deb %s %s-updates main\ndeb %s %s-security main\n' "$mirror" "$suite" "$security" "$suite" \
    >> "$stage/etc/apt/sources.list"
  mount_into "$stage"
  say "installing ${packages[*]} inside, with $suite-updates and $suite-security ($security)"
  chroot "$stage" apt-get update -q >> "$out/arm64-root.log" 2>&1 &&
    chroot "$stage" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}" \
      >> "$out/arm64-root.log" 2>&1 || { tail -20 "$out/arm64-root.log" >&2; exit 1; }
  chroot "$stage" apt-get clean
  unmount_all
  say "caching the root as ${tarball##*/}"
  rm -f "$out"/arm64-root-*.tar.zst
  tar -C "$stage" --numeric-owner -cf - . | zstd -q -T2 -3 -o "$tarball.part"
  mv "$tarball.part" "$tarball"
  echo "$key" > "$stage/.halvern-root"
  remove_root "$arm_root"
  mv "$stage" "$arm_root"
}

prepare_root() {
  if [ "$(cat "$arm_root/.halvern-root" 2>/dev/null)" = "$key" ]; then
    say "root: $arm_root (cached)"
  elif [ -f "$tarball" ]; then
    remove_root "$arm_root"
    mkdir -p "$arm_root"
    zstd -q -dc "$tarball" | tar -C "$arm_root" --numeric-owner -xf -
    echo "$key" > "$arm_root/.halvern-root"
    say "root: unpacked ${tarball##*/}"
  else
    make_root
  fi
}

# The registration, the mounts and chroot: root with CAP_SYS_ADMIN (21) and CAP_SYS_CHROOT (18).
caps=0x$(awk '/^CapEff:/ { print $2 }' /proc/self/status)
[ "$(id -u)" = 0 ] && (((caps >> 21) & (caps >> 18) & 1)) ||
  skip "no privilege: the emulator's registration, the mounts and chroot need root with CAP_SYS_ADMIN and CAP_SYS_CHROOT"
for tool in debootstrap qemu-aarch64-static zstd; do
  command -v "$tool" > /dev/null || "$src/scripts/bootstrap.sh" --arm
done
mkdir -p "$out"
exec 9> "$out/arm-e2e.lock"
flock -n 9 || { echo "arm-e2e: another run is using $arm_root" >&2; exit 1; }
register_emulator || skip "$reason"
[ -f "$out/build.ninja" ] || { echo "arm-e2e: $out is not configured; run scripts/arm-test.sh" >&2; exit 1; }
mkdir -p "$run_tmp"
prepare_root
# The emulator must really run the root's programs before anything else does.
chroot "$arm_root" /bin/true || { echo "arm-e2e: an arm64 program does not start under the emulator" >&2; exit 1; }

say "building halvern and hvn_netfence for arm64, and the drivers"
nice cmake --build "$out" -j2 --target halvern hvn_netfence > /dev/null
[ -f "$native/build.ninja" ] || "$src/scripts/build.sh" > /dev/null
nice cmake --build "$native" -j2 --target halvern e2e_cases_tests e2e_requests_tests e2e_conversion_tests > /dev/null
file -b "$out/halvern" | grep -q 'ARM aarch64' || { echo "arm-e2e: $out/halvern is not an aarch64 program" >&2; exit 1; }
mkdir -p "$arm_root/opt/halvern"
cp "$out/halvern" "$out/libhvn_netfence.so" "$arm_root/opt/halvern/"

mount_into "$arm_root"
for dir in "$run_tmp" "$pages"; do
  mkdir -p "$arm_root$dir"
  mount --bind "$dir" "$arm_root$dir"
  mounts+=("$arm_root$dir")
done
mount -o remount,bind,ro "$arm_root$pages"

# The drivers start this instead of their own build's program.
wrapper=$out/halvern-in-arm-root
cat > "$wrapper" << EOF
#!/bin/sh
# The arm64 halvern inside $arm_root, from the caller's folder when the root has it.
[ -d "$arm_root\$PWD" ] && exec chroot "$arm_root" /usr/bin/env -C "\$PWD" /opt/halvern/halvern "\$@"
exec chroot "$arm_root" /opt/halvern/halvern "\$@"
EOF
chmod +x "$wrapper"
banner=$("$wrapper")
say "banner under emulation: $banner"

failed=0
drive() {
  local name=$1
  shift
  say "== $name"
  HALVERN_EXE=$wrapper HVN_E2E_SLOWDOWN=$slowdown TMPDIR=$run_tmp "$@" &
  driver_pid=$!
  wait "$driver_pid" || failed=1
  driver_pid=
}
drive "case rows: $case_rows" env HVN_E2E_ROWS="$case_rows" "$native/tests/e2e/e2e_cases_tests" --gtest_brief=0
drive "$request_tests" "$native/tests/e2e/e2e_requests_tests" --gtest_filter="$request_tests"
drive "$fault_tests" "$native/tests/e2e/e2e_conversion_tests" --gtest_filter="$fault_tests"
say "$([ $failed = 0 ] && echo passed || echo FAILED)"
exit $failed
