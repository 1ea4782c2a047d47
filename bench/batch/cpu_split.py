#!/usr/bin/env python3
"""Where a warm job's CPU goes: runs the small page through `halvern --batch`
and prints CPU milliseconds per job for each kind of process in the tree
(browser, renderers as reaped by the zygote, utilities, halvern itself).

  bench/batch/cpu_split.py [--jobs=60] [--workers=1] [--rounds=3] HALVERN

Each round is a fresh batch: a warm-up of two jobs per worker, then the
measured jobs; the table holds the median of the rounds per kind. Single
rounds vary by about 10% on a shared machine, so compare medians of several.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile

from pages import serve, write_pages
from proc_tree import cpu_ms_per_job, tree_cpu_by_kind


def one_round(halvern, url, work, jobs, workers):
    proc = subprocess.Popen([halvern, '--batch', f'--workers={workers}', '--conversion-delay=0'],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def run(ids):
        for i in ids:
            proc.stdin.write(json.dumps({'id': i, 'args': [url, os.path.join(work, f'out{i % 8}.pdf')]}) + '\n')
        proc.stdin.flush()
        for _ in ids:
            line = json.loads(proc.stdout.readline())
            if line['status'] != 0:
                raise RuntimeError(f"job {line['id']} failed: {line['error']}")

    run(range(2 * workers))
    before = tree_cpu_by_kind(proc.pid)
    run(range(100, 100 + jobs))
    after = tree_cpu_by_kind(proc.pid)
    proc.stdin.close()
    proc.wait()
    return cpu_ms_per_job(before, after, jobs)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('halvern')
    ap.add_argument('--jobs', type=int, default=60)
    ap.add_argument('--workers', type=int, default=1)
    ap.add_argument('--rounds', type=int, default=3)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix='halvern-cpu-split-')
    server = None
    try:
        write_pages(work)
        server, base = serve(work)
        rounds = [one_round(os.path.abspath(args.halvern), base + 'small.html', work, args.jobs, args.workers)
                  for _ in range(args.rounds)]
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)
    kinds = sorted({k for r in rounds for k in r})
    print(f"{'process':34} {'CPU ms/job':>10}   per round")
    for k in kinds:
        values = [r.get(k, 0.0) for r in rounds]
        print(f'{k:34} {statistics.median(values):10.1f}   ' + ' '.join(f'{v:.1f}' for v in values))
    totals = [sum(r.values()) for r in rounds]
    print(f"{'all':34} {statistics.median(totals):10.1f}   " + ' '.join(f'{v:.1f}' for v in totals))


if __name__ == '__main__':
    main()
