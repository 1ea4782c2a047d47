#!/usr/bin/env python3
"""Requests per second and latency of `halvern --serve=` against
`halvern --batch` with the same workers, on the batch bench's small page
served over loopback, with 1, 4 and 16 requests in flight at once.

  bench/service/run.py [--rounds=3] [--requests=48] [--workers=2] [--clients=1,4,16] HALVERN
  bench/service/run.py --report     the table of the last results.csv again

Both run the same conversion: the service opens local hosts (the page is on
loopback) and both skip the conversion delay. The service gets each request
on a new connection (POST /convert, a whole PDF back); batch gets job lines
on standard input, `clients` of them outstanding at a time, and a job's
latency runs from its line written to its result read. Both stay up for the
whole run, after a warm-up of two jobs per worker, and take turns, level by
level and round by round; at 1 client every 4 requests. The table holds requests per second (median of
the rounds), latency percentiles over all rounds, CPU per request of the
whole process tree and its peak memory; then the service's overhead at the
median: its 1-client p50 minus batch's. Rows also go to
bench/service/results.csv.
"""
import argparse
import csv
import http.client
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'batch'))
from pages import serve, write_pages  # noqa: E402
from proc_tree import TreeSampler, tree_cpu_s  # noqa: E402
# Its run.py by a name of its own: this file is run.py too.
_spec = importlib.util.spec_from_file_location('batch_run', os.path.join(HERE, '..', 'batch', 'run.py'))
batch_run = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(batch_run)
SINGLE_DEFAULTS, read_result = batch_run.SINGLE_DEFAULTS, batch_run.read_result

OVERHEAD_GOAL_MS = 5.0
FIELDS = ('contender', 'clients', 'round', 'requests', 'failed', 'req_s', 'cpu_ms', 'peak_mb', 'latencies_ms')


class Service:
    """halvern --serve= on a free loopback port."""

    def __init__(self, halvern, workers, work):
        self.err = open(os.path.join(work, 'service.stderr'), 'w')
        self.proc = subprocess.Popen(
            [halvern, '--serve=127.0.0.1:0', f'--workers={workers}',
             '--serve-allow=local-files,localhost,private-networks', *SINGLE_DEFAULTS],
            stdout=subprocess.PIPE, stderr=self.err, text=True)
        first = self.proc.stdout.readline().strip()
        if not first.startswith('[main] Serving on http://'):
            self.stop()
            raise RuntimeError(f'the service did not start: {first!r}')
        self.port = int(first.rsplit(':', 1)[1].rstrip('/'))
        # Its log must not fill the pipe.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def convert(self, body):
        """One POST /convert on a new connection; whether a whole PDF came back."""
        conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=300)
        try:
            conn.request('POST', '/convert', body, {'Content-Type': 'application/json'})
            answer = conn.getresponse()
            data = answer.read()
            if answer.status == 200 and data.startswith(b'%PDF-') and b'%%EOF' in data[-1024:]:
                return True
            print(f'  service: {answer.status} {data[:300]!r}', file=sys.stderr)
        except OSError as e:
            gone = self.proc.poll()
            print(f'  service: {e}' + ('' if gone is None else f' (it ended with status {gone})'), file=sys.stderr)
        finally:
            conn.close()
        return False

    def run(self, url, n, clients):
        """n requests, `clients` at a time; their latencies in ms and failures."""
        body = json.dumps({'url': url})
        left, lock, took, failed = [n], threading.Lock(), [], [0]

        def client():
            while True:
                with lock:
                    if not left[0]:
                        return
                    left[0] -= 1
                start = time.monotonic()
                ok = self.convert(body)
                with lock:
                    took.append(1000 * (time.monotonic() - start))
                    failed[0] += not ok

        threads = [threading.Thread(target=client) for _ in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return took, failed[0]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.err.close()


class Batch:
    """halvern --batch, fed job lines with a fixed number outstanding."""

    def __init__(self, halvern, workers, work):
        self.work, self.seq = work, 0
        self.err = open(os.path.join(work, 'batch.stderr'), 'w')
        self.proc = subprocess.Popen([halvern, '--batch', f'--workers={workers}', *SINGLE_DEFAULTS],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err, text=True,
                                     bufsize=1)

    def run(self, url, n, clients):
        sent, took, failed = {}, [], 0

        def send():
            self.seq += 1
            out = os.path.join(self.work, f'batch-{self.seq % 64}.pdf')
            sent[self.seq] = time.monotonic()
            self.proc.stdin.write(json.dumps({'id': self.seq, 'args': [url, out]}) + '\n')
            self.proc.stdin.flush()

        for _ in range(min(clients, n)):
            send()
        issued = len(sent)
        while len(took) < n:
            result = read_result(self.proc, 'batch ended early')
            took.append(1000 * (time.monotonic() - sent.pop(result['id'])))
            failed += result.get('status') != 0
            if issued < n:
                send()
                issued += 1
        return took, failed

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=120)
        self.err.close()


def percentiles(values):
    q = statistics.quantiles(values, n=100, method='inclusive') if len(values) > 1 else values * 99
    return {'p50': q[49], 'p90': q[89], 'p99': q[98]}


def report(rows):
    for r in rows:  # text when read back from the CSV
        r['latencies_ms'] = [float(x) for x in str(r['latencies_ms']).split()]
    groups = {}
    for r in rows:
        groups.setdefault((r['contender'], int(r['clients'])), []).append(r)
    print(f"{'contender':9} {'clients':>7} {'req/s':>7} {'p50 ms':>7} {'p90 ms':>7} {'p99 ms':>7}"
          f" {'CPU ms/req':>10} {'peak MB':>8}  requests, failed")
    table = {}
    for clients in sorted({c for _, c in groups}):
        for name in ('batch', 'service'):
            sel = groups.get((name, clients))
            if not sel:
                continue
            lat = [x for r in sel for x in r['latencies_ms']]
            m = table[(name, clients)] = {
                'req_s': statistics.median(float(r['req_s']) for r in sel), **percentiles(lat),
                'cpu_ms': statistics.median(float(r['cpu_ms']) for r in sel),
                'peak_mb': max(float(r['peak_mb']) for r in sel),
                'rounds_p50': [percentiles(r['latencies_ms'])['p50'] for r in sel]}
            print(f"{name:9} {clients:7} {m['req_s']:7.2f} {m['p50']:7.1f} {m['p90']:7.1f} {m['p99']:7.1f}"
                  f" {m['cpu_ms']:10.1f} {m['peak_mb']:8.0f}  {len(lat)}, {sum(int(r['failed']) for r in sel)}")
    failed = sum(int(r['failed']) for r in rows if int(r['clients']) == 1)
    if failed:
        print(f'overhead: not measured, {failed} requests at 1 client failed')
    elif ('service', 1) in table and ('batch', 1) in table:
        s, b = table[('service', 1)], table[('batch', 1)]
        overhead = s['p50'] - b['p50']
        print(f"overhead per request at the median, 1 client: service {s['p50']:.1f} ms - batch {b['p50']:.1f} ms"
              f" = {overhead:.1f} ms (<= {OVERHEAD_GOAL_MS:g} ms: {'met' if overhead <= OVERHEAD_GOAL_MS else 'NOT met'});"
              f" per round " + ' '.join(f'{x - y:.1f}' for x, y in zip(s['rounds_p50'], b['rounds_p50'])))
    else:
        print('overhead: not measured (no 1-client rows)')


def measure(contenders, url, n, clients, turn):
    """One level of every contender, taking turns every `turn` requests:
    throughput, latencies, CPU and peak memory of each one's tree."""
    got = {name: {'wall': 0.0, 'cpu': 0.0, 'took': [], 'failed': 0,
                  'sampler': TreeSampler(lambda c=c: [c.proc.pid])} for name, c in contenders}
    for g in got.values():
        g['sampler'].start()
    for done in range(0, n, turn):
        for name, contender in contenders:
            g = got[name]
            t0, c0 = time.monotonic(), tree_cpu_s(contender.proc.pid)
            took, failed = contender.run(url, min(turn, n - done), clients)
            g['wall'] += time.monotonic() - t0
            g['cpu'] += tree_cpu_s(contender.proc.pid) - c0
            g['took'] += took
            g['failed'] += failed
    return {name: {'requests': n, 'failed': g['failed'], 'req_s': round(n / g['wall'], 3),
                   'cpu_ms': round(1000 * g['cpu'] / n, 1), 'peak_mb': round(g['sampler'].stop() / 1024, 1),
                   'latencies_ms': ' '.join(f'{x:.2f}' for x in g['took'])} for name, g in got.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('halvern', nargs='?')
    ap.add_argument('--rounds', type=int, default=3)
    ap.add_argument('--requests', type=int, default=48, help='requests per contender, level and round')
    ap.add_argument('--workers', type=int, default=2, help='workers of both the service and batch')
    ap.add_argument('--clients', default='1,4,16', help='requests in flight at once, one level each')
    ap.add_argument('--report', action='store_true', help='only print the table of the last results.csv')
    args = ap.parse_args()
    if args.report:
        with open(os.path.join(HERE, 'results.csv')) as f:
            report(list(csv.DictReader(f)))
        return
    if not args.halvern:
        ap.error('the halvern binary to measure is missing')
    levels = [int(c) for c in args.clients.split(',')]
    work = tempfile.mkdtemp(prefix='halvern-service-bench-')
    server = service = batch = None
    try:
        page = write_pages(os.path.join(work, 'pages'))['small'][0]
        server, base = serve(os.path.join(work, 'pages'))
        url = base + page
        service = Service(os.path.abspath(args.halvern), args.workers, work)
        batch = Batch(os.path.abspath(args.halvern), args.workers, work)
        for contender in (batch, service):
            contender.run(url, 2 * args.workers, args.workers)
        print(f'{args.workers} workers each; load average at start {os.getloadavg()[0]:.2f}; '
              f'{args.rounds} rounds of {args.requests} requests per level')
        rows = []
        for rnd in range(1, args.rounds + 1):
            for clients in levels:
                # One at a time, turns of a few requests put a change in the
                # machine's load on both alike; with more at once a turn must
                # hold the whole level, or its start and drain would count.
                turn = 4 if clients == 1 else args.requests
                for name, m in measure((('batch', batch), ('service', service)), url, args.requests, clients,
                                       turn).items():
                    rows.append({'contender': name, 'clients': clients, 'round': rnd, **m})
        with open(os.path.join(HERE, 'results.csv'), 'w', newline='') as f:
            w = csv.DictWriter(f, fieldnames=FIELDS)
            w.writeheader()
            w.writerows(rows)
        print(f'load average at end {os.getloadavg()[0]:.2f}')
        report(rows)
    finally:
        for contender in (service, batch):
            if contender:
                contender.stop()
        if server:
            server.terminate()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
