#!/usr/bin/python3
"""Runs the real-driver lab: builds it if needed (lab/build.sh), plans the cases from the
devices' records, boots the emulated machines, runs the suites through each console and
always shuts the machines down.

usage: lab/run.py [--console native,wine64,wine32] [--only REGEX] [--timeout SECONDS]
                  [--measure] [--count] [--list] [--devices]

One line per case and device: `ok NAME (TTY, T s)`, `FAIL NAME (TTY, T s): why` or
`skip NAME: why`, then `lab: N passed, N failed, N skipped`. `note NAME: ...` lines say
what a case showed.
The run refuses to start when the guest cannot see a console's files, and stops when a
console does not answer in the guest at all; either way it says why in one `lab:` line
and counts every case it did not run as failed. Each guest's console log is kept in
build/lab/guest-console.log (-2, -3). Exit status 0 when nothing failed, 1 when something did,
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
import layout  # noqa: E402
from machine import Machine  # noqa: E402

# The suites, each a module of this folder with a list SUITE of cases.Case.
SUITES = ["real_drivers", "line_errors", "held_output", "held_by_device", "write_cost",
          "check_command", "device_server"]

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


def planned(console, only, every):
    """(case, device, line name) of each case `console` runs on a device of `every` (a
    machine's devices, or the catalogue's before there is a machine), device by device."""
    for device in every:
        for case in all_cases():
            if case.runs_on(console) and case.runs_on_device(device):
                name = cases.line_name(console, case, device)
                if only is None or re.search(only, name):
                    yield case, device, name


def unseen_in_guest(vm, consoles):
    """The files of `consoles` that the guest cannot see, asked in one guest command."""
    paths = sorted({path for console in consoles for path in console.guest_files()})
    rc, out = vm.aux.run("for f in %s; do [ -e \"$f\" ] || echo \"unseen: $f\"; done"
                         % " ".join(shlex.quote(path) for path in paths), timeout=60)
    if rc != 0:
        raise layout.LabError("the guest's shell did not answer (%s): %s" % (rc, out[-300:]))
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
    return layout.CONSOLE_LOG if n == 1 else layout.CONSOLE_LOG.replace(".log", "-%d.log" % n)


class Work:
    """The run's units, a console on a device, shared by the machines run side by side. A
    machine runs the units of its own consoles, device by device; once they are done it
    takes the last units still waiting of a console that needs no preparing (the native
    console), so that no machine idles while another still has a queue."""

    def __init__(self, plan):
        self._lock = threading.Lock()
        self._queues = plan  # console -> device labels not yet taken

    def next(self, console):
        with self._lock:
            queue = self._queues.get(console)
            return queue.pop(0) if queue else None

    def stealable(self):
        """The consoles whose units any machine may take."""
        return [console for console in self._queues if console.kind == "native"]

    def steal(self):
        with self._lock:
            for console in self.stealable():
                if self._queues[console]:
                    return console, self._queues[console].pop()
        return None


def run_machine(n, consoles, work, args, report, timed_out):
    """Boots machine `n`, runs the units of `consoles` on it and then what it can take
    from the other machines' queues."""
    kinds = "+".join(c.kind for c in consoles)
    try:
        with Machine(run_seconds=args.timeout, log=say, console_log=console_log(n)) as vm:
            say("lab: machine %d (%s) up in %.1f s, its software adapters in %.1f s: %s"
                % (n, kinds, vm.boot_seconds, vm.adapter_seconds,
                   ", ".join("%s %s" % (d.label, d.name) for d in vm.devices)))
            if args.measure:
                say("lab: idle machine costs %.1f %% of a host core" % vm.idle_cpu_percent(10))
            stopper = EarlyStop(vm, report)
            unseen = unseen_in_guest(vm, consoles + work.stealable())
            if unseen:
                say("lab: not starting: the guest cannot see %s, which the host has"
                    % ", ".join(unseen))
                stopper.why = "the guest cannot see the console"
            ready, broken = set(), {}

            def unit(console, label):
                device = vm.device(label)
                plan = list(planned(console, args.only, [device]))
                if stopper.why:
                    stopper.not_run(name for _, _, name in plan)
                    return
                if console not in ready and console not in broken:
                    t0 = time.monotonic()
                    try:
                        console.prepare(vm)
                        ready.add(console)
                    except Exception as e:
                        broken[console] = e
                    if console.kind != "native" and console in ready:
                        say("lab: %s ready in the guest of machine %d in %.1f s"
                            % (console.kind, n, time.monotonic() - t0))
                if console in broken:
                    for _, _, name in plan:
                        report("FAIL %s: %s" % (name, broken[console]))
                    return
                t1 = time.monotonic()
                for case, _, name in plan:
                    stopper.run(console, case, device, name)
                say("lab: %s on %s (%s) took %.1f s on machine %d"
                    % (console.kind, device.label, device.name, time.monotonic() - t1, n))

            for console in consoles:
                while True:
                    label = work.next(console)
                    if label is None:
                        break
                    unit(console, label)
            while True:
                taken = work.steal()
                if taken is None:
                    break
                unit(*taken)
            if vm.timed_out:
                timed_out.append(n)
    except layout.LabError as e:
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
    parser.add_argument("--machines", type=int, default=3,
                        help="machines run side by side, the consoles shared out over them "
                             "(default 3: one console each; 1 runs them all on one)")
    parser.add_argument("--count", action="store_true",
                        help="only print how many cases the run would count")
    parser.add_argument("--list", action="store_true",
                        help="only print the name of each case the run would count")
    parser.add_argument("--devices", action="store_true",
                        help="only print each device and what its family's record says")
    args = parser.parse_args()
    global measuring
    measuring = args.measure
    chosen = [CONSOLES[name.strip()]() for name in args.console.split(",") if name.strip()]
    catalogue = devices.catalogue()
    if args.count:
        say(str(sum(1 for console in chosen for _ in planned(console, args.only, catalogue))))
        return 0
    if args.list:
        for console in chosen:
            for _, _, name in planned(console, args.only, catalogue):
                say(name)
        return 0
    if args.devices:
        for device in catalogue:
            say("%s: %s" % (device.label, ", ".join(
                "%s %s" % (k, v) for k, v in vars(device.record).items() if k != "name")))
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
    built = subprocess.run([os.path.join(layout.LAB_DIR, "build.sh")])
    if built.returncode != 0:
        reason = "the lab could not be built"
        try:
            with open(os.path.join(layout.ROOT, "build", "setup", "unavailable", "lab")) as f:
                reason = f.read().strip()
        except OSError:
            pass
        for console in chosen:
            for _, _, name in planned(console, args.only, catalogue):
                report("skip %s: %s" % (name, reason))
        summary()
        return 3 if built.returncode == 3 else 1

    runnable = []
    for console in chosen:
        why = console.missing()
        for _, _, name in planned(console, args.only, catalogue):
            if why:
                report("skip %s: %s" % (name, why))
        if not why and any(True for _ in planned(console, args.only, catalogue)):
            runnable.append(console)
    if not runnable:
        summary()
        return 0

    # The consoles share out over machines run side by side, one console each by default
    # (three): a Windows console keeps its machine busy, the native one mostly waits on
    # lines and time-outs. Once a machine has run its own consoles it takes what is left
    # of the native console's devices.
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
    work = Work({console: list(dict.fromkeys(device.label for _, device, _ in
                                             planned(console, args.only, catalogue)))
                 for console in runnable})
    timed_out = []
    threads = [threading.Thread(target=run_machine,
                                args=(n, group, work, args, report, timed_out))
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
