#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample page.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" >/dev/null
"$root/build/halvern" --paper-size=A4 --margin=36 "$root/samples/sample.html" "$root/sample.pdf"
pdfinfo "$root/sample.pdf"
