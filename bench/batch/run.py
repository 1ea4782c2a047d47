#!/usr/bin/env python3
"""Throughput of many conversions: cold single runs of halvern (one process
per page), `halvern --batch` and a warm Puppeteer browser (each page in a new
incognito context), 1 and 2 at a time, on a small page and a 36-page document
served over loopback, all with the same browser and switches.

  bench/batch/run.py [--rounds=3] [--small=30] [--long=8] [--only=NAME,...] HALVERN
  bench/batch/run.py --report     the table of the last results.csv again

Contenders run in turn, round after round (A B C A B C ...); the table holds
medians over the rounds: pages per second, time of one job, CPU per page
(user + system of the whole process tree), peak RSS of the tree per worker,
and throughput against cold runs and Puppeteer at the same concurrency, then
the goals. Warm
contenders are timed from the end of a warm-up (two jobs per worker) to the
last result, so browser start-up and shutdown are left out; a cold run is
timed whole, since that is what every page pays. Puppeteer is skipped when
puppeteer-core is not installed: npm install --prefix bench/batch puppeteer-core
Rows also go to bench/batch/results.csv.
"""
import argparse
import csv
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from pages import LONG_PAGES, serve, write_pages
from proc_tree import TreeSampler, tree_cpu_s

HERE = os.path.dirname(os.path.abspath(__file__))
BROWSER = os.environ.get('HALVERN_BROWSER', '/usr/lib/chromium/chromium-headless-shell')
# halvern's default waits half a second after load; the others do not wait.
SINGLE_DEFAULTS = ['--conversion-delay=0']
# Goals, as (page, contender, concurrency, against, ratio at least).
GOALS = [('small', 'batch', 1, 'cold', 3.0), ('small', 'batch', 2, 'cold', 3.0),
         ('small', 'batch', 1, 'puppeteer', 1.25), ('small', 'batch', 2, 'puppeteer', 1.25),
         ('long', 'batch', 1, 'puppeteer', 1.0), ('long', 'batch', 2, 'puppeteer', 1.0)]


def pdf_pages(path):
    out = subprocess.run(['pdfinfo', path], capture_output=True, text=True).stdout
    return next((int(l.split()[1]) for l in out.splitlines() if l.startswith('Pages:')), 0)


def browser_switches(halvern, url, work):
    """The switches halvern starts the browser with, less those tied to one
    run (pipe, profile, logging)."""
    out = subprocess.run([halvern, '--verbose', *SINGLE_DEFAULTS, url, os.path.join(work, 'switches.pdf')],
                         capture_output=True, text=True, timeout=120).stdout
    line = next((l for l in out.splitlines() if 'Full Command Line: ' in l), '')
    skip = ('--verbose', '--remote-debugging-pipe', '--user-data-dir=', '--enable-logging', '--log-level=',
            '--vmodule=')
    return [s for s in line.split('Full Command Line: ', 1)[-1].split()[1:]
            if s.startswith('--') and not s.startswith(skip)]


def run_cold(halvern, url, n, workers, work):
    """n single runs, `workers` at a time; CPU from each run's wait4."""
    jobs, lock, cpu, failed, took = list(range(n)), threading.Lock(), [0.0], [0], []
    running = {}
    sampler = TreeSampler(lambda: list(running.values()))

    def slot():
        while True:
            with lock:
                if not jobs:
                    return
                i = jobs.pop()
            start = time.monotonic()
            p = subprocess.Popen([halvern, *SINGLE_DEFAULTS, url, os.path.join(work, f'cold-{i}.pdf')],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            running[i] = p.pid
            _, status, usage = os.wait4(p.pid, 0)
            p.returncode = os.waitstatus_to_exitcode(status)
            del running[i]
            with lock:
                cpu[0] += usage.ru_utime + usage.ru_stime
                took.append(1000 * (time.monotonic() - start))
                failed[0] += p.returncode != 0

    sampler.start()
    t0 = time.monotonic()
    threads = [threading.Thread(target=slot) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.monotonic() - t0
    return wall, cpu[0], sampler.stop(), failed[0], took, os.path.join(work, 'cold-0.pdf')


def read_result(proc, early):
    """The next result line; other output is passed over."""
    for line in proc.stdout:
        try:
            result = json.loads(line)
        except ValueError:
            continue
        if isinstance(result, dict) and 'id' in result:
            return result
    raise RuntimeError(f'{early}, exit {proc.wait()}')


def tail(path, lines=15):
    with open(path, errors='replace') as f:
        return ''.join(f.readlines()[-lines:])


def batch_works(halvern, url, work):
    """Whether this halvern answers a job line in batch mode."""
    job = json.dumps({'id': 'probe', 'args': [url, os.path.join(work, 'probe.pdf')]}) + '\n'
    try:
        out = subprocess.run([halvern, '--batch', '--workers=1', *SINGLE_DEFAULTS], input=job, capture_output=True,
                             text=True, timeout=120).stdout
    except subprocess.TimeoutExpired:
        return False
    for line in out.splitlines():
        try:
            if json.loads(line).get('status') == 0:
                return True
        except (ValueError, AttributeError):
            pass
    return False


def run_warm(cmd, url, n, workers, work, name):
    """One long-lived process fed job lines; timed over the n jobs after a
    warm-up of two jobs per worker."""
    err = open(os.path.join(work, f'{name}.stderr'), 'w')
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True, bufsize=1)
    failed, took, last = [0], [], os.path.join(work, f'{name}-{n - 1}.pdf')
    # A process that stops answering ends the bench instead of hanging it.
    watchdog = threading.Timer(120 + 60 * n, proc.kill)
    watchdog.start()

    def feed(ids):
        for i in ids:
            proc.stdin.write(json.dumps({'id': i, 'args': [url, os.path.join(work, f'{name}-{i}.pdf')]}) + '\n')
        proc.stdin.flush()
        for _ in ids:
            try:
                result = read_result(proc, f'{name} ended early')
            except RuntimeError as e:
                err.flush()
                raise RuntimeError(f'{e}; its last lines on standard error:\n{tail(err.name)}') from None
            failed[0] += result.get('status') != 0
            took.append(result.get('elapsedMs', 0))
            if result.get('status') != 0 and failed[0] == 1:
                print(f'  {name}: job {result.get("id")} failed: {result.get("error")}', file=sys.stderr)

    try:
        feed([f'w{i}' for i in range(2 * workers)])
        failed[0] = 0
        took.clear()
        sampler = TreeSampler(lambda: [proc.pid])
        sampler.start()
        t0, c0 = time.monotonic(), tree_cpu_s(proc.pid)
        feed(list(range(n)))
        wall, cpu = time.monotonic() - t0, tree_cpu_s(proc.pid) - c0
        peak = sampler.stop()
        proc.stdin.close()
        proc.wait(timeout=60)
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        err.close()
    return wall, cpu, peak, failed[0], took, last


def contenders(batch, switches):
    yield 'cold', 1
    yield 'cold', 2
    if batch:
        yield 'batch', 1
        yield 'batch', 2
    if switches is not None:
        yield 'puppeteer', 1
        yield 'puppeteer', 2


def run_one(args, name, workers, page, url, n, switches, work):
    if name == 'cold':
        return run_cold(args.halvern, url, n, workers, work)
    if name == 'batch':
        cmd = [args.halvern, '--batch', f'--workers={workers}', *SINGLE_DEFAULTS]
    else:
        cmd = ['node', os.path.join(HERE, 'warm_print.js'), BROWSER, str(workers), *switches]
    return run_warm(cmd, url, n, workers, work, f'{name}{workers}-{page}')


def report(rows, expected_pages):
    for r in rows:  # text when read back from the CSV
        r.update({'workers': int(r['workers']), 'pages_s': float(r['pages_s']), 'cpu_ms': float(r['cpu_ms'])})
    med = {}
    for key in dict.fromkeys((r['page'], r['contender'], r['workers']) for r in rows):
        sel = [r for r in rows if (r['page'], r['contender'], r['workers']) == key]
        med[key] = {f: statistics.median(float(r[f]) for r in sel)
                    for f in ('pages_s', 'job_ms', 'cpu_ms', 'peak_mb_worker')}
        med[key]['failed'] = sum(int(r['failed']) for r in sel)
        med[key]['pdf_pages'] = {int(r['pdf_pages']) for r in sel}
    print(f"{'page':6} {'contender':10} {'at once':>7} {'pages/s':>8} {'ms/page':>8} {'job ms':>7}"
          f" {'CPU ms/page':>12} {'peak MB/worker':>15} {'x cold':>7} {'x puppeteer':>12}  failed, PDF pages")
    for (page, name, workers), m in med.items():
        ratio = {o: m['pages_s'] / med[(page, o, workers)]['pages_s'] if (page, o, workers) in med else float('nan')
                 for o in ('cold', 'puppeteer')}
        pages = ','.join(map(str, sorted(m['pdf_pages'])))
        mark = '' if m['pdf_pages'] == {expected_pages[page]} else f' (expected {expected_pages[page]})'
        print(f"{page:6} {name:10} {workers:7} {m['pages_s']:8.2f} {1000 / m['pages_s']:8.1f} {m['job_ms']:7.0f}"
              f" {m['cpu_ms']:12.1f} {m['peak_mb_worker']:15.1f} {ratio['cold']:7.2f} {ratio['puppeteer']:12.2f}"
              f"  {m['failed']}, {pages}{mark}")
    for page, name, workers, other, goal in GOALS:
        a, b = (page, name, workers), (page, other, workers)
        if a not in med or b not in med:
            print(f"goal {page}: {name} {workers} >= {goal}x {other} {workers}: not measured")
            continue
        per_round = [x['pages_s'] / y['pages_s'] for x, y in
                     zip([r for r in rows if (r['page'], r['contender'], r['workers']) == a],
                         [r for r in rows if (r['page'], r['contender'], r['workers']) == b])]
        ratio = med[a]['pages_s'] / med[b]['pages_s']
        # On a loaded machine throughput follows CPU per page, so that ratio is shown too.
        print(f"goal {page}: {name} {workers} / {other} {workers} = {ratio:.2f}x (>= {goal}x: "
              f"{'met' if ratio >= goal else 'NOT met'}); per round " + ' '.join(f'{x:.2f}' for x in per_round) +
              f"; CPU per page {med[a]['cpu_ms'] / med[b]['cpu_ms']:.2f}x")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('halvern', nargs='?')
    ap.add_argument('--rounds', type=int, default=3)
    ap.add_argument('--small', type=int, default=30, help='jobs per contender and round, small page')
    ap.add_argument('--long', type=int, default=8, help='jobs per contender and round, 36-page document')
    ap.add_argument('--only', default='', help='contenders to run, e.g. cold,puppeteer')
    ap.add_argument('--report', action='store_true', help='only print the table of the last results.csv')
    args = ap.parse_args()
    if args.report:
        with open(os.path.join(HERE, 'results.csv')) as f:
            report(list(csv.DictReader(f)), {'small': 1, 'long': LONG_PAGES})
        return
    if not args.halvern:
        ap.error('the halvern binary to measure is missing')
    args.halvern = os.path.abspath(args.halvern)
    work = tempfile.mkdtemp(prefix='halvern-batch-bench-')
    server = None
    try:
        pages = write_pages(os.path.join(work, 'pages'))
        server, base = serve(os.path.join(work, 'pages'))
        only = set(filter(None, args.only.split(',')))
        batch, switches = not only or 'batch' in only, None
        if batch and not batch_works(args.halvern, base + 'small.html', work):
            batch = False
            print(f'batch: skipped, {args.halvern} gives no result line for a job in --batch mode')
        if not only or 'puppeteer' in only:
            if os.path.isdir(os.path.join(HERE, 'node_modules', 'puppeteer-core')):
                switches = browser_switches(args.halvern, base + 'small.html', work)
            else:
                print('puppeteer: skipped, puppeteer-core is not installed '
                      '(npm install --prefix bench/batch puppeteer-core)')
        plan = [c for c in contenders(batch, switches) if not only or c[0] in only]
        print(f'{BROWSER}; load average at start {os.getloadavg()[0]:.2f}; '
              f'{args.rounds} rounds of {args.small} small and {args.long} long jobs each')
        rows = []
        for rnd in range(1, args.rounds + 1):
            for page, n in (('small', args.small), ('long', args.long)):
                for name, workers in plan:
                    url = base + pages[page][0]
                    wall, cpu, peak_kb, failed, took, pdf = run_one(args, name, workers, page, url, n, switches, work)
                    rows.append({'page': page, 'contender': name, 'workers': workers, 'round': rnd,
                                 'pages_s': round(n / wall, 3), 'job_ms': round(statistics.median(took)),
                                 'cpu_ms': round(1000 * cpu / n, 1),
                                 'peak_mb_worker': round(peak_kb / 1024 / workers, 1), 'failed': failed,
                                 'pdf_pages': pdf_pages(pdf) if os.path.exists(pdf) else 0})
                    for f in os.listdir(work):
                        if f.endswith('.pdf'):
                            os.remove(os.path.join(work, f))
        with open(os.path.join(HERE, 'results.csv'), 'w', newline='') as f:
            w = csv.DictWriter(f, fieldnames=list(rows[0]))
            w.writeheader()
            w.writerows(rows)
        print(f'load average at end {os.getloadavg()[0]:.2f}')
        report(rows, {page: p[1] for page, p in pages.items()})
    finally:
        if server:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
