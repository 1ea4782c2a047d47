#!/usr/bin/env python3
"""The least a warm job can cost in this browser: drives the browser halvern
launches (same binary, same switches, read from a batch's verbose log) over
the DevTools pipe with only the steps no conversion can skip (a new browser
context, a page in it, the small page loaded, printed, the context disposed)
and prints CPU milliseconds per job, beside `halvern --batch` on the same
page. What halvern's own steps add (console, network and certificate events,
page scripts, measuring) is the difference.

  bench/batch/bare_job.py [--jobs=60] [--rounds=5] HALVERN

Rounds alternate between the two; the table holds medians.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile

from cpu_split import one_round
from pages import serve, write_pages
from proc_tree import cpu_ms_per_job, tree_cpu_by_kind


def browser_command(halvern, url, work):
    job = json.dumps({'id': 0, 'args': [url, os.path.join(work, 'probe.pdf'), '--verbose']})
    out = subprocess.run([halvern, '--batch', '--workers=1'], input=job + '\n', capture_output=True, text=True).stdout
    for line in json.loads(out)['log']:
        if 'Full Command Line: ' in line:
            return [a for a in line.split('Full Command Line: ', 1)[1].split() if not a.startswith('--user-data-dir=')]
    raise RuntimeError('no browser command line in the verbose log')


class Pipe:
    """One browser on --remote-debugging-pipe: NUL-ended JSON both ways."""

    def __init__(self, command, profile):
        to_browser, self._w = os.pipe()
        self._r, from_browser = os.pipe()

        def fds():
            os.dup2(to_browser, 3)
            os.dup2(from_browser, 4)

        self.proc = subprocess.Popen(command + ['--user-data-dir=' + profile], pass_fds=(3, 4), preexec_fn=fds,
                                     stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._buf, self._id, self.events = b'', 0, []

    def _next(self):
        while b'\0' not in self._buf:
            data = os.read(self._r, 1 << 16)
            if not data:
                raise RuntimeError('the browser closed its pipe')
            self._buf += data
        message, self._buf = self._buf.split(b'\0', 1)
        return json.loads(message)

    def call(self, method, params=None, session=None):
        self._id += 1
        message = {'id': self._id, 'method': method, 'params': params or {}}
        if session:
            message['sessionId'] = session
        os.write(self._w, json.dumps(message).encode() + b'\0')
        while True:
            m = self._next()
            if m.get('id') == self._id:
                return m.get('result', {})
            self.events.append(m)

    def wait_for(self, method, session):
        while True:
            for i, e in enumerate(self.events):
                if e.get('method') == method and e.get('sessionId') == session:
                    return self.events.pop(i)
            self.events.append(self._next())

    def close(self):
        self.proc.kill()
        self.proc.wait()
        os.close(self._w)
        os.close(self._r)


def bare_job(pipe, url):
    pipe.events.clear()  # the last job's sessions are gone
    context = pipe.call('Target.createBrowserContext', {'disposeOnDetach': True})['browserContextId']
    target = pipe.call('Target.createTarget', {'url': 'about:blank', 'browserContextId': context})['targetId']
    session = pipe.call('Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
    pipe.call('Page.enable', session=session)
    pipe.call('Page.navigate', {'url': url}, session=session)
    pipe.wait_for('Page.loadEventFired', session)
    pipe.call('Page.printToPDF', {}, session=session)
    pipe.call('Target.disposeBrowserContext', {'browserContextId': context})


def bare_round(command, url, work, jobs):
    profile = tempfile.mkdtemp(prefix='profile-', dir=work)
    pipe = Pipe(command, profile)
    try:
        pipe.call('Browser.getVersion')
        for _ in range(2):
            bare_job(pipe, url)
        before = tree_cpu_by_kind(pipe.proc.pid)
        for _ in range(jobs):
            bare_job(pipe, url)
        after = tree_cpu_by_kind(pipe.proc.pid)
    finally:
        pipe.close()
    return sum(cpu_ms_per_job(before, after, jobs).values())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('halvern')
    ap.add_argument('--jobs', type=int, default=60)
    ap.add_argument('--rounds', type=int, default=5)
    args = ap.parse_args()
    halvern = os.path.abspath(args.halvern)
    work = tempfile.mkdtemp(prefix='halvern-bare-job-')
    server = None
    bare, batch = [], []
    try:
        write_pages(work)
        server, base = serve(work)
        url = base + 'small.html'
        command = browser_command(halvern, url, work)
        for _ in range(args.rounds):
            bare.append(bare_round(command, url, work, args.jobs))
            batch.append(sum(one_round(halvern, url, work, args.jobs, 1).values()))
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{'small page, one at a time':28} {'CPU ms/job':>10}   per round")
    for name, values in (('bare protocol job', bare), ('halvern --batch', batch)):
        print(f'{name:28} {statistics.median(values):10.1f}   ' + ' '.join(f'{v:.1f}' for v in values))


if __name__ == '__main__':
    main()
