#!/usr/bin/env python3
"""Runs one command and reports wall time, CPU time and peak memory of its
whole process tree (the browser included; RSS summed, so shared pages count per process) as one JSON line.
Usage: measure.py [--stdout=FILE] COMMAND...; the command's standard output goes to FILE."""
import json, os, resource, signal, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "batch"))
from proc_tree import tree_rss_kb  # noqa: E402


def main():
    cmd = sys.argv[1:]
    out = subprocess.DEVNULL
    if cmd and cmd[0].startswith('--stdout='):
        out = open(cmd.pop(0)[len('--stdout='):], 'wb')
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.DEVNULL, start_new_session=True)
    peak = 0
    while proc.poll() is None:
        peak = max(peak, tree_rss_kb(proc.pid))
        time.sleep(0.01)
    wall = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        os.killpg(proc.pid, signal.SIGKILL)  # anything the command left behind
    except ProcessLookupError:
        pass
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print(json.dumps({'status': proc.returncode, 'wall_ms': round(wall * 1000, 1),
                      'cpu_ms': round(cpu * 1000, 1), 'peak_rss_mb': round(peak / 1024, 1)}))


if __name__ == '__main__':
    main()
