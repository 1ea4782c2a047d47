#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample page to
# build/sample.pdf.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" >/dev/null
"$root/build/halvern" "$root/samples/sample.html" "$root/build/sample.pdf" --paper-size=A4
echo "== $root/build/sample.pdf"
pdfinfo "$root/build/sample.pdf"
