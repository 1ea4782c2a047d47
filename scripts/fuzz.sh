#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time from a small seed corpus. Any crash, leak or sanitizer report
# stops it with a non-zero status; the reproducer stays in build-fuzz/crashes.
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
out=$root/build-fuzz
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVERN_BUILD_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
targets=(pdfink_fuzz_inflate pdfink_fuzz_measure config_fuzz_file config_fuzz_payload)
cmake --build "$out" -j2 --target "${targets[@]}" halvern-payload >/dev/null

# Seeds: a few valid inputs of each kind, so the runs start past the parsers' doors.
seeds=$out/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{inflate,measure,hostile,file,payload} "$out/crashes"
python3 - "$seeds" "$root/bench" <<'PY'
import sys, zlib
d = sys.argv[1]
sys.path.insert(0, sys.argv[2])
from hostile_pdfs import pdf as classic_pdf
text = b"BT /F1 12 Tf 72 712 Td (Hello) Tj ET 0 0 1 rg 10 10 100 50 re f\n" * 20
for level in (0, 1, 6, 9):
    open(f"{d}/inflate/z{level}", "wb").write(zlib.compress(text, level))
    raw = zlib.compressobj(level, zlib.DEFLATED, -15)
    open(f"{d}/inflate/raw{level}", "wb").write(raw.compress(text) + raw.flush())
content = zlib.compress(b"0 0 1 rg 72 72 200 100 re f BT /F1 12 Tf 72 700 Td (Hi) Tj ET")
objs = [b"<</Type/Catalog/Pages 2 0 R>>",
        b"<</Type/Pages/Kids[3 0 R]/Count 1>>",
        b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Contents 4 0 R"
        b"/Resources<</Font<</F1<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>>>>>>>",
        b"<</Length %d/Filter/FlateDecode>>stream\n" % len(content) + content + b"\nendstream"]
pdf = classic_pdf(objs)
open(f"{d}/measure/page.pdf", "wb").write(pdf)
open(f"{d}/measure/truncated.pdf", "wb").write(pdf[: len(pdf) * 2 // 3])

# The same page with objects 1-3 in an object stream, indexed by a
# cross-reference stream (PNG Up rows), then damaged the ways real files are.
def packed(stm_extra=b"", xref_extra=b"", widths=(1, 4, 2), hybrid=False):
    head = body = b""
    for n in (1, 2, 3):
        head += b"%d %d " % (n, len(body))
        body += objs[n - 1] + b"\n"
    data = zlib.compress(head + body)
    out, at = b"%PDF-1.5\n", {}
    for n, o in ((4, objs[3]), (5, b"<</Type/ObjStm/N 3/First %d/Length %d/Filter/FlateDecode%s>>stream\n"
                                  % (len(head), len(data), stm_extra) + data + b"\nendstream")):
        at[n] = len(out)
        out += b"%d 0 obj\n" % n + o + b"\nendobj\n"
    at[6] = len(out)
    rows, prev = b"", bytes(7)
    for n in range(7):
        t, a, b = (0, 0, 0) if n == 0 else (2, 5, n - 1) if n <= 3 else (1, at[n], 0)
        row = t.to_bytes(1, "big") + a.to_bytes(4, "big") + b.to_bytes(2, "big")
        rows += b"\x02" + bytes((x - y) & 255 for x, y in zip(row, prev))
        prev = row
    rows = zlib.compress(rows)
    out += (b"6 0 obj\n<</Type/XRef/Size 7/W[%d %d %d]/Root 1 0 R/Length %d/Filter/FlateDecode"
            b"/DecodeParms<</Predictor 12/Columns 7>>%s>>stream\n" % (*widths, len(rows), xref_extra)
            + rows + b"\nendstream\nendobj\n")
    if hybrid:
        table = len(out)
        out += b"xref\n0 7\n" + b"".join(b"%010d 00000 n \n" % at[n] if n in at and n != 5 else
                                         b"0000000000 65535 f \n" for n in range(7))
        return out + b"trailer\n<</Size 7/Root 1 0 R/XRefStm %d>>\nstartxref\n%d\n%%%%EOF\n" % (at[6], table)
    return out + b"startxref\n%d\n%%%%EOF\n" % at[6]
for name, pdf in {"objstm": packed(), "hybrid": packed(hybrid=True), "wrong-w": packed(widths=(1, 2, 4)),
                  "n-lies": packed(b"/N 9"), "extends-loop": packed(b"/Extends 5 0 R"),
                  "cut-prev": packed(xref_extra=b"/Prev 17")}.items():
    open(f"{d}/measure/{name}.pdf", "wb").write(pdf)
open(f"{d}/file/full.json", "w").write(
    '{"url":"https://example.com/","output":"/tmp/x.pdf","paperSize":"A4","marginTop":10.5,'
    '"landscape":true,"scale":80,"customHeaders":{"X-A":"1"},"webElementsSelectors":[".a","#b"],'
    '"cookies":[{"name":"n","value":"v"}],"conversionDelay":0}')
open(f"{d}/payload/short", "wb").write(b"\x00" * 48)
PY
# Hostile shapes: files built to cost memory or time (a 1 GiB PNG row, scans
# that went quadratic, decompression bombs drawn many times).
python3 "$root/bench/hostile_pdfs.py" write "$seeds/hostile" --fuzz
"$out/halvern-payload" encrypt "$seeds/file/full.json" "$seeds/payload/full.enc" >/dev/null 2>&1 || true

status=0
# The hostile shapes run once each, under the limits below: as seeds to
# mutate they would slow the measure target to a few runs a second.
if "$out/fuzz/pdfink_fuzz_measure" -runs=0 -rss_limit_mb=2048 -timeout=10 -malloc_limit_mb=512 \
    -artifact_prefix="$out/crashes/hostile-" "$seeds/hostile" >"$out/hostile.log" 2>&1; then
  echo "hostile seeds: ok, $(ls "$seeds/hostile" | wc -l) files"
else
  echo "hostile seeds: FAILED (see $out/hostile.log)"
  tail -20 "$out/hostile.log"
  status=1
fi
for t in "${targets[@]}"; do
  case $t in
    pdfink_fuzz_inflate) corpus=$seeds/inflate ;;
    pdfink_fuzz_measure) corpus=$seeds/measure ;;
    config_fuzz_file) corpus=$seeds/file ;;
    config_fuzz_payload) corpus=$seeds/payload ;;
  esac
  extra=()
  [ "$t" = config_fuzz_file ] && extra+=(-dict="$root/fuzz/config_file.dict")
  # A measurement allocates nothing near this, whatever the file says.
  [ "$t" = pdfink_fuzz_measure ] && extra+=(-malloc_limit_mb=512)
  start=$(date +%s)
  if "$out/fuzz/$t" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$out/crashes/$t-" \
      "${extra[@]}" "$corpus" >"$out/$t.log" 2>&1; then
    runs=$(grep -o 'Done [0-9]* runs' "$out/$t.log" | tail -1)
    echo "$t: ok, ${runs:-done} in $(( $(date +%s) - start )) s"
  else
    echo "$t: FAILED (see $out/$t.log)"
    tail -20 "$out/$t.log"
    status=1
  fi
done
exit $status
