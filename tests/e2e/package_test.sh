#!/usr/bin/env bash
# The Debian package as an administrator gets it: built, unpacked into a
# scratch folder, its programs run from there, its manual pages rendered.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/package_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null
deb=$(echo "$scratch"/out/halvern_*.deb)
[[ "$(dpkg-deb -f "$deb" Depends)" == chromium-headless-shell,*libstdc++6* ]] || fail "Depends: browser, libraries"
dpkg-deb -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin share=$scratch/root/usr/share sample=$scratch/root/usr/share/doc/halvern/examples/sample.html

[ "$("$bin/halvern")" = "Halvern.Cef v26.4.0" ] || fail "banner"
[[ "$("$bin/halvern" --help)" == "Usage: halvern URL OUTPUT"*"man halvern" ]] || fail "--help"
# Fenced, so the preload library must have come along.
out=$("$bin/halvern" "$sample" "$scratch/sample.pdf" --disable-private-networks) || fail "sample: $out"
[[ "$(pdftotext "$scratch/sample.pdf" -)" == *"Invoice 2026-1042"*"こんにちは"* ]] || fail "sample text"
"$bin/halvern-payload" encrypt "$sample" "$scratch/p.bin" && "$bin/halvern-payload" decrypt "$scratch/p.bin" "$scratch/p"
cmp -s "$sample" "$scratch/p" || fail "payload round trip"
"$bin/halvern-payload" decrypt "$sample" "$scratch/p" 2>/dev/null && fail "a plain file decrypted"

# The service's unit: installed, enabled and started by nothing in the package.
unit=$scratch/root/usr/lib/systemd/system/halvern.service
[ -f "$unit" ] || fail "halvern.service not installed"
dpkg-deb -e "$deb" "$scratch/control"
grep -lE 'systemctl|deb-systemd|invoke-rc' "$scratch"/control/* && fail "a maintainer script enables or starts a unit"
for line in 'ExecStart=/usr/bin/halvern --serve=127.0.0.1:8080' DynamicUser=yes ProtectSystem=strict PrivateTmp=yes \
    KillMode=mixed; do
  grep -qxF "$line" "$unit" || fail "halvern.service lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  # Checked in the unpacked tree (its /usr/bin/halvern, its manual page) beside the system's own units.
  cp -rn /usr/lib/systemd/system/. "$scratch/root/usr/lib/systemd/system/"
  verify=$(MANPATH=$share/man systemd-analyze verify --root="$scratch/root" "$unit" 2>&1) && [ -z "$verify" ] ||
    fail "systemd-analyze verify halvern.service: $verify"
else
  echo "systemd-analyze not installed: halvern.service not verified"
fi

for page in halvern halvern-payload; do
  warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] && lexgrog "$share/man/man1/$page.1.gz" >/dev/null || fail "$page(1): $warnings"
done
# Every option of the command-line tables has its entry in the manual page.
manual=$(zcat "$share/man/man1/halvern.1.gz" | sed 's/\\-/-/g')
# (The service's code also names --serve alone: the prefix its own options share.)
options=$(grep -ohE '"--[a-z-]+=?"' "$src/config/command_line.cc" "$src/config/strict_options.cc" "$src/app/run_driver.cc" \
  "$src/app/service.cc" | tr -d '"' | grep -vx -- --serve | sort -u)
[ "$(wc -l <<<"$options")" -gt 40 ] || fail "option tables not found: $options"
for option in $options; do
  grep -qE -- "^\.BI? ${option}( |\$)" <<<"$manual" || fail "$option has no entry in halvern(1)"
done
