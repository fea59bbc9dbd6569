#!/usr/bin/python3
"""Runs the real-driver lab: builds it if needed (lab/build.sh), boots the emulated machine,
runs the suite through each console and always shuts the machine down.

usage: lab/run.py [--console native,wine64,wine32] [--only REGEX] [--timeout SECONDS]
                  [--measure] [--count] [--list]

One line per case and device: `ok NAME (T s)`, `FAIL NAME (T s): why` or `skip NAME: why`,
then `lab: N passed, N failed, N skipped`. `note NAME: ...` lines say what a case showed.
The run refuses to start when the guest cannot see a console's files, and stops when a
console does not answer in the guest at all; either way it says why in one `lab:` line
and counts every case it did not run as failed. The guest's console log is kept in
build/lab/guest-console.log. Exit status 0 when nothing failed, 1 when something did,
3 when the lab is unavailable (every case is then reported skipped)."""
import argparse
import importlib
import os
import re
import shlex
import signal
import subprocess
import threading
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import consoles  # noqa: E402
import devices  # noqa: E402
import labvm  # noqa: E402

# The suites, each a module of this folder with a list SUITE of cases.Case.
SUITES = ["real_drivers", "line_errors", "held_output", "held_by_device", "write_cost",
          "check_command"]

CONSOLES = {"native": consoles.NativeConsole, "wine64": lambda: consoles.WineConsole("win64"),
            "wine32": lambda: consoles.WineConsole("win32")}


def say(line):
    print(line, flush=True)


# Suites that only measure, run with --measure.
MEASURE_SUITES = ["line_rate"]
measuring = False


def all_cases():
    for name in SUITES + (MEASURE_SUITES if measuring else []):
        yield from importlib.import_module(name).SUITE


def planned(console, only):
    for case in all_cases():
        if not case.runs_on(console):
            continue
        for device in case.devices:
            name = cases.line_name(console, case, device)
            if only is None or re.search(only, name):
                yield case, device, name


def unseen_in_guest(vm, consoles):
    """The files of `consoles` that the guest cannot see, asked in one guest command."""
    paths = sorted({path for console in consoles for path in console.guest_files()})
    rc, out = vm.aux.run("for f in %s; do [ -e \"$f\" ] || echo \"unseen: $f\"; done"
                         % " ".join(shlex.quote(path) for path in paths), timeout=60)
    if rc != 0:
        raise labvm.LabError("the guest's shell did not answer (%s): %s" % (rc, out[-300:]))
    return [line[len("unseen: "):] for line in out.splitlines() if line.startswith("unseen: ")]


class EarlyStop:
    """Runs cases until one shows that a console does not answer in the guest; every case
    after that is counted failed without being run."""

    def __init__(self, vm, report):
        self.vm = vm
        self.report = report
        self.why = None

    def stop(self, what, detail):
        self.why = what
        say("lab: stopping: %s (%s); every case not run counts as failed" % (what, detail))

    def not_run(self, names):
        for name in names:
            self.report("FAIL %s: not run (%s)" % (name, self.why))

    def run(self, console, case, device, name):
        if self.why:
            self.not_run([name])
            return
        try:
            cases.run_case(self.vm, console, case, device, self.report)
        except cases.ConsoleSilent as e:
            self.stop(*e.args)


def console_log(n):
    return labvm.CONSOLE_LOG if n == 1 else labvm.CONSOLE_LOG.replace(".log", "-%d.log" % n)


def run_machine(n, consoles, args, report, timed_out):
    """Boots machine `n` and runs the cases of `consoles` on it, one console after another."""
    kinds = "+".join(c.kind for c in consoles)
    try:
        with labvm.LabVM(run_seconds=args.timeout, log=say, console_log=console_log(n)) as vm:
            say("lab: machine %d (%s) up in %.1f s, its software adapters in %.1f s"
                % (n, kinds, vm.boot_seconds, vm.adapter_seconds))
            if args.measure:
                say("lab: idle machine costs %.1f %% of a host core" % vm.idle_cpu_percent(10))
            stopper = EarlyStop(vm, report)
            unseen = unseen_in_guest(vm, consoles)
            if unseen:
                say("lab: not starting: the guest cannot see %s, which the host has"
                    % ", ".join(unseen))
                stopper.why = "the guest cannot see the console"
            for console in consoles:
                if stopper.why:
                    stopper.not_run(name for _, _, name in planned(console, args.only))
                    continue
                t0 = time.monotonic()
                try:
                    console.prepare(vm)
                except Exception as e:
                    for _, _, name in planned(console, args.only):
                        report("FAIL %s: %s" % (name, e))
                    continue
                if console.kind != "native":
                    say("lab: %s ready in the guest in %.1f s" % (console.kind, time.monotonic() - t0))
                for device in devices.EVERY:
                    t1 = time.monotonic()
                    n_run = 0
                    for case, dev, name in planned(console, args.only):
                        if dev == device:
                            stopper.run(console, case, device, name)
                            n_run += 1
                    if n_run:
                        say("lab: %s on %s took %.1f s" % (console.kind, device.label,
                                                           time.monotonic() - t1))
            if vm.timed_out:
                timed_out.append(n)
    except labvm.LabError as e:
        report("FAIL lab machine %d (%s): %s" % (n, kinds, e))


def main():
    # A terminated run still shuts its machine down and removes its files.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--console", default="native,wine64,wine32")
    parser.add_argument("--only", help="run the cases whose name matches this expression")
    parser.add_argument("--timeout", type=float, default=1800,
                        help="bound on the whole run, boot included (default 1800 s)")
    parser.add_argument("--measure", action="store_true",
                        help="also measure: idle CPU, and the pace and CPU of writes on a "
                             "paced line (lab/line_rate.py)")
    parser.add_argument("--machines", type=int, default=2,
                        help="machines run side by side, the consoles shared out over them "
                             "(default 2: the native console on one, the Windows ones on "
                             "the other; 1 runs them all on one)")
    parser.add_argument("--count", action="store_true",
                        help="only print how many cases the run would count")
    parser.add_argument("--list", action="store_true",
                        help="only print the name of each case the run would count")
    args = parser.parse_args()
    global measuring
    measuring = args.measure
    chosen = [CONSOLES[name.strip()]() for name in args.console.split(",") if name.strip()]
    if args.count:
        say(str(sum(1 for console in chosen for _ in planned(console, args.only))))
        return 0
    if args.list:
        for console in chosen:
            for _, _, name in planned(console, args.only):
                say(name)
        return 0
    counts = {"ok": 0, "FAIL": 0, "skip": 0}

    lock = threading.Lock()

    def report(line):
        with lock:
            counts[line.split(" ", 1)[0]] = counts.get(line.split(" ", 1)[0], 0) + 1
            say(line)

    def summary(extra=""):
        say("lab: %d passed, %d failed, %d skipped%s" % (counts["ok"], counts["FAIL"],
                                                         counts["skip"], extra))

    started = time.monotonic()
    built = subprocess.run([os.path.join(labvm.LAB_DIR, "build.sh")])
    if built.returncode != 0:
        reason = "the lab could not be built"
        try:
            with open(os.path.join(labvm.ROOT, "build", "setup", "unavailable", "lab")) as f:
                reason = f.read().strip()
        except OSError:
            pass
        for console in chosen:
            for _, _, name in planned(console, args.only):
                report("skip %s: %s" % (name, reason))
        summary()
        return 3 if built.returncode == 3 else 1

    runnable = []
    for console in chosen:
        why = console.missing()
        for _, _, name in planned(console, args.only):
            if why:
                report("skip %s: %s" % (name, why))
        if not why and any(True for _ in planned(console, args.only)):
            runnable.append(console)
    if not runnable:
        summary()
        return 0

    # The consoles share out over machines run side by side: a machine mostly waits on
    # lines and time-outs. Two (the default) keep the native console, the longest, on a
    # machine of its own and the Windows ones on the other, and leave each machine a host
    # core for the moments a software adapter must keep up with a fast line.
    machines = max(1, min(args.machines, len(runnable)))
    native = [c for c in runnable if c.kind == "native"]
    others = [c for c in runnable if c.kind != "native"]
    if machines == 1:
        groups = [runnable]
    elif native:
        groups = [native] + [others[n::machines - 1] for n in range(machines - 1)]
    else:
        groups = [others[n::machines] for n in range(machines)]
    groups = [g for g in groups if g]
    timed_out = []
    threads = [threading.Thread(target=run_machine, args=(n, group, args, report, timed_out))
               for n, group in enumerate(groups, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for n in timed_out:
        report("FAIL lab machine %d: the run passed its %d s bound" % (n, args.timeout))
    say("lab: the guests' console logs: %s" % ", ".join(console_log(n) for n in
                                                       range(1, len(groups) + 1)))
    summary(" in %.0f s" % (time.monotonic() - started))
    return 0 if counts["FAIL"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
