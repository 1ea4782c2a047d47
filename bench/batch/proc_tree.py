"""CPU time and resident memory of process trees, read from /proc (the
browser may sit in a session or group of its own, so only parent links find
it)."""
import os
import threading

TICK = os.sysconf('SC_CLK_TCK')
PAGE_KB = os.sysconf('SC_PAGE_SIZE') // 1024


def _stats():
    """pid -> (parent, CPU ticks of itself and its reaped children, RSS kB,
    the reaped children's share of those ticks)."""
    stats = {}
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open(f'/proc/{name}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        # Fields from the state on: 1 parent, 11-14 utime stime cutime cstime, 21 rss.
        stats[int(name)] = (int(fields[1]), sum(int(x) for x in fields[11:15]), int(fields[21]) * PAGE_KB,
                            sum(int(x) for x in fields[13:15]))
    return stats


def _tree(stats, roots):
    children = {}
    for pid, (parent, *_) in stats.items():
        children.setdefault(parent, []).append(pid)
    seen, todo = set(), [r for r in roots if r in stats]
    while todo:
        pid = todo.pop()
        if pid not in seen:
            seen.add(pid)
            todo.extend(children.get(pid, []))
    return seen


def tree_rss_kb(root):
    """Summed RSS of root and its descendants, in kB."""
    stats = _stats()
    return sum(stats[p][2] for p in _tree(stats, [root]))


def tree_cpu_s(root):
    """User + system seconds of root and its descendants, reaped ones
    included through their parents' children times."""
    stats = _stats()
    return sum(stats[p][1] for p in _tree(stats, [root])) / TICK


class TreeSampler:
    """Samples the summed RSS of the trees under roots() every interval;
    stop() returns the peak in kB. Shared pages count once per process."""

    def __init__(self, roots, interval=0.05):
        self.roots, self.interval, self.peak = roots, interval, 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self.stopping.is_set():
            stats = _stats()
            self.peak = max(self.peak, sum(stats[p][2] for p in _tree(stats, self.roots())))
            self.stopping.wait(self.interval)

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.peak


def tree_cpu_by_kind(root):
    """pid -> (kind, own CPU s, reaped children's CPU s) for root's tree; the
    kind is a Chromium process's --type= ("browser" without one), else the
    program's name. Renderers forked by the zygote are reaped by it, so their
    time shows there once they exit."""
    stats, found = _stats(), {}
    for pid in _tree(stats, [root]):
        try:
            with open(f'/proc/{pid}/cmdline', 'rb') as f:
                args = f.read().replace(b'\0', b' ').decode(errors='replace').split()
        except OSError:
            continue
        if not args:
            continue
        kind = next((a.split('=', 1)[1] for a in args if a.startswith('--type=')), None)
        if kind is None:
            kind = 'browser' if 'chrom' in os.path.basename(args[0]) else os.path.basename(args[0])
        _, ticks, _, reaped = stats[pid]
        found[pid] = (kind, (ticks - reaped) / TICK, reaped / TICK)
    return found


def cpu_ms_per_job(before, after, jobs):
    """CPU ms per job by kind between two tree_cpu_by_kind readings; a kind
    whose reaped children used CPU (the zygote's renderers) shows as
    "<kind> (reaped children)"."""
    per_kind = {}
    for pid, (kind, own, reaped) in after.items():
        _, own0, reaped0 = before.get(pid, (kind, 0.0, 0.0))
        key = kind + (' (reaped children)' if reaped - reaped0 > 0.0005 else '')
        per_kind[key] = per_kind.get(key, 0.0) + 1000 * ((own - own0) + (reaped - reaped0)) / jobs
    return per_kind
