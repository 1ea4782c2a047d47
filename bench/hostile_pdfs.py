#!/usr/bin/env python3
"""Hostile PDFs for the ink measurement, and a run of `halvern --ink-measure=`
over each of them in a child whose time and peak memory are measured.

  bench/hostile_pdfs.py run HALVERN [DIR]   generate into DIR (a temporary
                                            folder by default), measure, print
  bench/hostile_pdfs.py write DIR [--fuzz]  only write the files; --fuzz leaves
                                            out those too slow under sanitizers

Each file must answer within 2 s and 256 MB, with exactly one JSON line; the
run prints per file the time, the peak memory, their ratios to that goal and
the line, and exits non-zero when a file misses it.
"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import zlib

GOAL_SECONDS = 2.0
GOAL_BYTES = 256 * 1024 * 1024
LIMIT_BYTES = 4 << 30
LIMIT_SECONDS = 60


def pdf(objects, trailer=b"/Root 1 0 R"):
    """A classic file: objects numbered from 1, an xref table, a trailer."""
    out, offsets = b"%PDF-1.7\n", []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % at for at in offsets)
    return out + b"trailer\n<</Size %d %s>>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, trailer, xref)


def stream(data, extra=b""):
    return b"<</Length %d%s>>stream\n" % (len(data), extra) + data + b"\nendstream"


def page_of(content, resources=b"", content_extra=b"", more=()):
    """Catalog, one page, its content stream (object 4), then `more`."""
    return pdf([b"<</Type/Catalog/Pages 2 0 R>>",
                b"<</Type/Pages/Kids[3 0 R]/Count 1>>",
                b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Contents 4 0 R/Resources<<%s>>>>" % resources,
                stream(content, content_extra), *more])


def twice_deflated(size, byte=b" "):
    """`size` bytes of one repeated byte, deflated twice (kilobytes at most)."""
    once = zlib.compressobj(9)
    chunk = byte * (1 << 20)
    parts = [once.compress(chunk) for _ in range(size >> 20)]
    return zlib.compress(b"".join(parts) + once.flush(), 9)


FLATE_TWICE = b"/Filter[/FlateDecode/FlateDecode]"
FORM = b"/Type/XObject/Subtype/Form/BBox[0 0 612 792]"


def predictor_row_buffer():
    # Row parameters that multiply to a 1 GiB row for a few bytes of data.
    data = zlib.compress(b"\x00" + b"0 0 1 rg 10 10 50 50 re f")
    return page_of(data, content_extra=b"/Filter/FlateDecode/DecodeParms<</Predictor 12/Colors 32"
                                       b"/BitsPerComponent 16/Columns 16777216>>")


def trailer_scan():
    # No cross-reference table; every "trailer" opens an array to the end.
    return b"%PDF-1.4\n" + b"trailer[" * 40000


def object_scan():
    # No trailer: the catalog search parses every object, each open to the end.
    return b"%PDF-1.4\n" + b"".join(b"%d 0 obj[" % n for n in range(1, 30001))


def form_drawn_300_times():
    # One form whose content inflates twice to 64 MiB of spaces, drawn 300 times.
    form = stream(twice_deflated(64 << 20), FORM + FLATE_TWICE)
    return page_of(b"/X Do\n" * 300, b"/XObject<</X 5 0 R>>", more=[form])


def forms_300_distinct():
    # 300 forms of 64 MiB each (decoded) on one page: far more than any budget.
    body = twice_deflated(64 << 20)
    names = b"".join(b"/X%d %d 0 R" % (i, 5 + i) for i in range(300))
    content = b"".join(b"/X%d Do\n" % i for i in range(300))
    return page_of(content, b"/XObject<<%s>>" % names,
                   more=[stream(body, FORM + FLATE_TWICE) for _ in range(300)])


def pages_sharing(content):
    """64 pages whose contents are all the same stream."""
    kids = b" ".join(b"%d 0 R" % (3 + i) for i in range(64))
    pages = [b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Contents 67 0 R>>"] * 64
    return pdf([b"<</Type/Catalog/Pages 2 0 R>>", b"<</Type/Pages/Kids[%s]/Count 64>>" % kids, *pages, content])


def pages_sharing_one_bomb():
    # Blank pages of 100 MiB of spaces each.
    return pages_sharing(stream(twice_deflated(100 << 20), FLATE_TWICE))


def pages_just_under_the_token_budget():
    # Blank pages of 4.9 million one-byte names each, just under a page's budget.
    return pages_sharing(stream(zlib.compress(b"/" * 4900000, 9), b"/Filter/FlateDecode"))


def object_stream_bomb():
    # No table; the catalog sits in an object stream that inflates to 120 MiB.
    head = b"1 0 "
    data = zlib.compress(zlib.compress(head + b"<</Type/Catalog/Pages 2 0 R>>" + b" " * (120 << 20), 9), 9)
    packed = b"<</Type/ObjStm/N 1/First %d/Length %d%s>>stream\n" % (len(head), len(data), FLATE_TWICE)
    return (b"%PDF-1.5\n5 0 obj\n" + packed + data + b"\nendstream\nendobj\n"
            b"2 0 obj\n<</Type/Pages/Kids[3 0 R]/Count 1>>\nendobj\n"
            b"3 0 obj\n<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>\nendobj\n%%EOF\n")


def object_stream_scan():
    # No trailer, and an object stream of objects that are all left open.
    count = 20000
    head = b" ".join(b"%d %d" % (n, 2 * (n - 1)) for n in range(1, count + 1)) + b" "
    data = zlib.compress(head + b"[ " * count, 9)
    return (b"%%PDF-1.5\n%d 0 obj\n<</Type/ObjStm/N %d/First %d/Length %d/Filter/FlateDecode>>stream\n"
            % (count + 1, count, len(head), len(data)) + data + b"\nendstream\nendobj\n")


FILES = {
    "predictor-row-buffer.pdf": predictor_row_buffer,
    "trailer-scan.pdf": trailer_scan,
    "object-scan.pdf": object_scan,
    "form-drawn-300-times.pdf": form_drawn_300_times,
    "forms-300-distinct.pdf": forms_300_distinct,
    "pages-sharing-one-bomb.pdf": pages_sharing_one_bomb,
    "object-stream-bomb.pdf": object_stream_bomb,
    "object-stream-scan.pdf": object_stream_scan,
    "pages-under-token-budget.pdf": pages_just_under_the_token_budget,
}


# Within the goal, but the pages' tokens take longer under the sanitizers
# than the fuzzer's 10 s an input.
SANITIZER_SLOW = {"pages-under-token-budget.pdf"}


def write(directory, skip=()):
    os.makedirs(directory, exist_ok=True)
    paths = []
    for name, make in FILES.items():
        if name in skip:
            continue
        path = os.path.join(directory, name)
        with open(path, "wb") as f:
            f.write(make())
        paths.append(path)
    return paths


def measure(halvern, path):
    """Runs one measurement in a child: seconds, peak bytes, output, wait status."""
    start = time.monotonic()
    # A runaway measurement must not take the machine down with it.
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (LIMIT_BYTES, LIMIT_BYTES))
        resource.setrlimit(resource.RLIMIT_CPU, (LIMIT_SECONDS, LIMIT_SECONDS))
    child = subprocess.Popen([halvern, "--ink-measure=" + path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, preexec_fn=limit)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = status  # reaped here, for its resource usage
    return time.monotonic() - start, usage.ru_maxrss * 1024, out.decode("utf-8", "replace"), status


def run(halvern, directory):
    worst, failed = 0.0, False
    print("%-28s %8s %8s %9s %8s  %s" % ("file", "bytes", "seconds", "peak MB", "of goal", "line"))
    for path in write(directory):
        seconds, peak, out, status = measure(halvern, path)
        lines = out.splitlines()
        one_line = status == 0 and len(lines) == 1
        if one_line:
            try:
                json.loads(lines[0])
            except ValueError:
                one_line = False
        ratio = max(seconds / GOAL_SECONDS, peak / GOAL_BYTES)
        worst = max(worst, ratio)
        failed |= ratio > 1 or not one_line
        print("%-28s %8d %8.2f %9.1f %7.0f%%  %s" % (os.path.basename(path), os.path.getsize(path), seconds,
                                                     peak / 1048576, ratio * 100,
                                                     lines[0] if one_line else "NOT ONE JSON LINE: %r" % out[:200]))
    print("worst: %.0f%% of the goal (%.0f s, %d MB)" % (worst * 100, GOAL_SECONDS, GOAL_BYTES >> 20))
    return 1 if failed else 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "write":
        write(argv[2], SANITIZER_SLOW if "--fuzz" in argv[3:] else ())
        return 0
    if len(argv) >= 3 and argv[1] == "run":
        if len(argv) >= 4:
            return run(argv[2], argv[3])
        with tempfile.TemporaryDirectory(prefix="hostile-pdfs-") as directory:
            return run(argv[2], directory)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
