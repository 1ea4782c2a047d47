#!/usr/bin/env bash
# Side-by-side timing of halvern against the plain browser and Puppeteer on
# the same pages, alternating runs (A B C A B C ...). Prints a table and
# writes bench/peers/results.csv. Usage: bench/peers/run.sh [pairs] [build dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
pairs=${1:-5}
build=${2:-$root/build}
browser=${HALVERN_BROWSER:-/usr/lib/chromium/chromium-headless-shell}
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT

python3 "$here/make_pages.py" "$work/pages"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
(cd "$work/pages" && exec python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/small.html" >/dev/null && break; sleep 0.1; done

peers="halvern browser"
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
  (cd "$here" && npm install --no-audit --no-fund --silent puppeteer-core >/dev/null 2>&1) || true
fi
[ -d "$here/node_modules/puppeteer-core" ] && peers="$peers puppeteer"

run_one() {  # peer page output
  local url="http://127.0.0.1:$port/$2.html"
  case $1 in
    halvern) python3 "$here/measure.py" --stdout="$work/log-$2-$RANDOM.txt" "$build/halvern" --verbose \
               --conversion-delay=0 "$url" "$3" ;;
    browser) python3 "$here/measure.py" "$browser" "${switches[@]}" \
               --user-data-dir="$work/profile-$RANDOM" --no-pdf-header-footer --print-to-pdf="$3" "$url" ;;
    puppeteer) python3 "$here/measure.py" node "$here/puppeteer_print.js" "$url" "$3" "$browser" ;;
  esac
}

# The browser peer runs with halvern's own switch set, so that the CPU
# figures compare the same browser work.
"$build/halvern" --verbose --conversion-delay=0 "http://127.0.0.1:$port/small.html" "$work/switches.pdf" >"$work/switches.txt"
mapfile -t switches < <(grep -o 'Full Command Line: .*' "$work/switches.txt" | tr ' ' '\n' | grep '^--' |
  grep -vE '^--(verbose|conversion-delay=|remote-debugging-pipe|user-data-dir=|enable-logging=|log-level=|vmodule=)')

csv="$here/results.csv"
echo "page,peer,run,status,wall_ms,cpu_ms,peak_rss_mb" >"$csv"
for page in small long lazy; do
  for i in $(seq "$pairs"); do
    for peer in $peers; do
      line=$(run_one "$peer" "$page" "$work/$peer-$page.pdf")
      python3 - "$page" "$peer" "$i" "$line" >>"$csv" <<'PY'
import json, sys
page, peer, i, line = sys.argv[1:]
d = json.loads(line)
print(f"{page},{peer},{i},{d['status']},{d['wall_ms']},{d['cpu_ms']},{d['peak_rss_mb']}")
PY
      rm -rf "$work"/profile-*
    done
  done
done

python3 - "$csv" <<'PY'
import csv, statistics, sys
rows = list(csv.DictReader(open(sys.argv[1])))
pages = sorted({r['page'] for r in rows}, key=['small', 'long', 'lazy'].index)
peers = [p for p in ['halvern', 'browser', 'puppeteer'] if any(r['peer'] == p for r in rows)]
def med(page, peer, key):
    v = [float(r[key]) for r in rows if r['page'] == page and r['peer'] == peer]
    return statistics.median(v) if v else float('nan')
print(f"{'page':6} {'peer':10} {'wall ms':>9} {'cpu ms':>9} {'peak MB':>8} {'wall/halvern':>13}")
for page in pages:
    base = med(page, 'halvern', 'wall_ms')
    for peer in peers:
        w = med(page, peer, 'wall_ms')
        print(f"{page:6} {peer:10} {w:9.1f} {med(page, peer, 'cpu_ms'):9.1f} {med(page, peer, 'peak_rss_mb'):8.1f} {w / base:13.2f}")
    # Per-pair ratios, halvern over each peer.
    for peer in peers[1:]:
        a = [float(r['wall_ms']) for r in rows if r['page'] == page and r['peer'] == 'halvern']
        b = [float(r['wall_ms']) for r in rows if r['page'] == page and r['peer'] == peer]
        print(f"       halvern/{peer} per pair: " + ' '.join(f"{x / y:.2f}" for x, y in zip(a, b)))
        a = [float(r['cpu_ms']) for r in rows if r['page'] == page and r['peer'] == 'halvern']
        b = [float(r['cpu_ms']) for r in rows if r['page'] == page and r['peer'] == peer]
        print(f"       halvern/{peer} CPU per pair: " + ' '.join(f"{x / y:.2f}" for x, y in zip(a, b)))
bad = [r for r in rows if r['status'] != '0']
PY

# Where a halvern run spends its time: medians of the verbose log's stamps.
python3 - "$work" <<'PY'
import glob, re, statistics, sys
marks = [('ready', 'CefInitialize complete'), ('page', 'OnAfterCreated'), ('commit', 'Main-frame navigation started'),
         ('load', 'Page loaded'), ('print', 'PDF saved to'), ('shutdown', 'Cleaning up temp folders')]
for page in ['small', 'long', 'lazy']:
    runs = []
    for path in glob.glob(f"{sys.argv[1]}/log-{page}-*.txt"):
        text = open(path, errors='replace').read()
        at = {}
        for name, needle in marks:
            m = re.search(r'\[\+(\d+)ms\][^\n]*' + re.escape(needle), text)
            if m: at[name] = int(m.group(1))
        if len(at) == len(marks): runs.append(at)
    if not runs: continue
    prev, parts = 'start', []
    for name, _ in marks:
        d = statistics.median(r[name] - (r[prev] if prev != 'start' else 0) for r in runs)
        parts.append(f"{name} +{d:.0f}")
        prev = name
    print(f"halvern {page} stages (ms, median of {len(runs)}): " + ', '.join(parts))
PY
python3 - "$csv" <<'PY'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))
bad = [r for r in rows if r['status'] != '0']
if bad:
    print(f"{len(bad)} run(s) exited non-zero")
PY
