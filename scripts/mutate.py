#!/usr/bin/env python3
"""Puts each fault of tests/mutations.tsv into the product, one at a time,
builds, runs the tests and tells whether any test noticed. See README."""
import argparse, fcntl, fnmatch, os, re, signal, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(ROOT, "tests", "mutations.tsv")
BUILD = os.path.join(ROOT, "build")
# Written before a file is changed and removed once it is restored, so a run
# killed outright (SIGKILL, power) is mended by the next start.
PENDING = os.path.join(BUILD, "mutate.pending")


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n"}.get(m.group(1), m.group(1)), text)


def read_list():
    faults, problems = [], []
    with open(LIST, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            cols = line.split("\t")
            if len(cols) not in (4, 5):
                problems.append(f"line {number}: {len(cols)} columns, want 4 or 5")
                continue
            name, path, original, faulty = cols[0], cols[1], unescape(cols[2]), unescape(cols[3])
            hint = cols[4] if len(cols) == 5 else ""
            try:
                with open(os.path.join(ROOT, path), encoding="utf-8") as src:
                    count = src.read().count(original)
            except OSError as e:
                problems.append(f"line {number} ({name}): {e.strerror}: {path}")
                continue
            if count != 1:
                problems.append(f"line {number} ({name}): original text occurs {count} times in {path}")
            if original == faulty:
                problems.append(f"line {number} ({name}): faulty text equals the original")
            faults.append(dict(name=name, path=path, original=original, faulty=faulty, hint=hint))
    names = [f["name"] for f in faults]
    problems += [f"name used twice: {n}" for n in sorted({n for n in names if names.count(n) > 1})]
    return faults, problems


def restore_pending():
    if not os.path.exists(PENDING):
        return
    with open(PENDING, "rb") as f:
        path, _, content = f.read().partition(b"\n")
    with open(path, "wb") as f:
        f.write(content)
    os.remove(PENDING)
    print(f"restored {path.decode()} left changed by an interrupted run")


class Applied:
    """The fault in place for the duration of a with-block, whatever ends it."""

    def __init__(self, fault):
        self.path = os.path.join(ROOT, fault["path"])
        self.fault = fault

    def __enter__(self):
        with open(self.path, "rb") as f:
            self.content = f.read()
        with open(PENDING, "wb") as f:
            f.write(self.path.encode() + b"\n" + self.content)
        text = self.content.decode("utf-8").replace(self.fault["original"], self.fault["faulty"])
        with open(self.path, "wb") as f:
            f.write(text.encode("utf-8"))

    def __exit__(self, *exc):
        with open(self.path, "wb") as f:
            f.write(self.content)
        os.remove(PENDING)


def run(cmd, log):
    """Runs cmd in a process group of its own, its output to the log. When we
    are stopped the group gets SIGINT, as from a terminal, and what is left
    of it after 30 s (a test that ctest left behind) SIGKILL."""
    child = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
    try:
        out, _ = child.communicate()
    except BaseException:
        for sig in (signal.SIGINT, signal.SIGKILL):
            try:
                os.killpg(child.pid, sig)
                child.wait(30)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        raise
    log.write(f"$ {' '.join(cmd)}\n{out}\n")
    return child.returncode, out


def failed_tests(output):
    # ctest's closing summary: "\t 12 - Suite.Name (Failed)"; a parameterised
    # name is followed by "  # GetParam() = ..."
    section = output.split("The following tests FAILED:", 1)
    if len(section) < 2:
        return []
    return re.findall(r"^\s*\d+ - (\S+).*? \(([^)]*)\)$", section[1], re.M)


def ctest(args, log):
    """Names of the tests that failed, or None. A failure counts only if the
    failed tests fail again alone: two loaded cores make timing noise."""
    for _ in range(2):
        status, out = run(["ctest", "--test-dir", BUILD, "-j2", "--stop-on-failure"] + args, log)
        if status == 0:
            return None
        failed = failed_tests(out)
        # By name: --rerun-failed goes by test number, which a filtered stage
        # does not keep, so it can rerun another test.
        again = "^(" + "|".join(re.escape(name) for name, _ in failed) + ")( |$)"
        if not failed or run(["ctest", "--test-dir", BUILD, "-R", again], log)[0] != 0:
            return ", ".join(f"{name} ({why})" for name, why in failed[:3]) or "ctest failed (see log)"
        log.write("not repeatable; the stage runs again\n")
    return None


def try_fault(fault, log):
    with Applied(fault):
        log.write(f"== {fault['name']}\n")
        if run(["ninja", "-C", BUILD], log)[0] != 0:
            return "no-build", ""
        if fault["hint"]:
            caught = ctest(["-R", fault["hint"]], log)
            if caught:
                return "caught", caught
        caught = ctest(["-E", fault["hint"]] if fault["hint"] else [], log)
        return ("caught", caught) if caught else ("SURVIVED", "")


def main():
    parser = argparse.ArgumentParser(description="Mutation run over tests/mutations.tsv.")
    parser.add_argument("names", nargs="*", help="fault names or shell patterns (default: all)")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    parser.add_argument("--check", action="store_true", help="only check the list still applies")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unchanged suite (default: skipped for a subset)")
    parser.add_argument("--log", default=os.path.join(BUILD, "mutate.log"), help="build and test output")
    opts = parser.parse_args()

    os.makedirs(BUILD, exist_ok=True)
    # Two runs in one tree would put back each other's faults.
    lock = open(os.path.join(BUILD, "mutate.lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        print("another mutation run is using this tree", file=sys.stderr)
        return 2
    restore_pending()
    faults, problems = read_list()
    if problems:
        print("the fault list does not apply to the sources:", *problems, sep="\n  ", file=sys.stderr)
        return 2
    if opts.names:
        faults = [f for f in faults if any(fnmatch.fnmatchcase(f["name"], p) for p in opts.names)]
        if not faults:
            print("no fault matches", " ".join(opts.names), file=sys.stderr)
            return 2
    if opts.list:
        for f in faults:
            print(f"{f['name']:<34} {f['path']}")
        return 0
    if opts.check:
        print(f"{len(faults)} faults apply")
        return 0

    # Ctrl-C and SIGTERM unwind through the with-block, which puts the file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    tally = {"caught": 0, "SURVIVED": 0, "no-build": 0}
    started = time.time()
    try:
        with open(opts.log, "w") as log:
            # Every fault would count as caught by a suite that fails already.
            if not opts.names and not opts.no_baseline:
                if run(["ninja", "-C", BUILD], log)[0] != 0:
                    print("the unchanged sources do not build", file=sys.stderr)
                    return 2
                failing = ctest([], log)
                if failing:
                    print(f"the unchanged suite fails: {failing}", file=sys.stderr)
                    return 2
            for i, fault in enumerate(faults, 1):
                t0 = time.time()
                fate, by = try_fault(fault, log)
                log.flush()
                tally[fate] += 1
                print(f"[{i}/{len(faults)}] {fate:<8} {fault['name']:<34} {time.time() - t0:5.0f}s  {by}", flush=True)
    except (KeyboardInterrupt, SystemExit):
        print("interrupted; the file is restored", file=sys.stderr)
        return 130
    finally:
        # Leave the binaries matching the sources, so a plain ctest after
        # this run does not test the last fault.
        try:
            subprocess.run(["ninja", "-C", BUILD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except KeyboardInterrupt:
            print("build/ is not rebuilt: run ninja -C build before testing", file=sys.stderr)
    counted = tally["caught"] + tally["SURVIVED"]
    score = f"{100 * tally['caught'] / counted:.0f}%" if counted else "n/a"
    print(f"caught {tally['caught']} of {counted} ({score}); survived {tally['SURVIVED']}; "
          f"did not build {tally['no-build']} (not counted); {(time.time() - started) / 60:.1f} min; log {opts.log}")
    return 0 if tally["SURVIVED"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
