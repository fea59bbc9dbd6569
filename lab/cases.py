"""How a lab case runs: a console script in the guest, the far end played by the host.

A suite is a module with a list SUITE of Case objects, each registered with the decorator
`case = registrar(SUITE)`: `@case(name, devices=..., consoles=...)`. A function may carry
several decorators, one name each, where what is checked differs by console (natively,
and as Wine's serial layer answers). `devices` is a predicate over devices.Device.

A case's function gets a Trial, which knows the device (t.dev: its label, record and
path, devices.Device), the port name the console opens (t.port), the far end (t.far),
the machine (t.vm) and the console under test (t.console, t.native), and offers:
  t.start(statements)   the script starts in the guest; returns its Run
  t.finish(run)         waits for it, reads every answer back and checks it
  t.levels()            the device's modem lines as the guest's kernel reports them
  t.replug()            the device out and back in; fails the case when it comes back
                        under another name; the port to open then
  t.check(cond, what)   records a problem when cond is false
  t.note(text)          something the run showed that is not a pass or a failure
A case fails when any answer is not the one wanted or a check failed. A failed case that
got no answer at all has the console asked for its version in the guest: when that gets
no answer either, run_case raises ConsoleSilent, as no other case can pass.
VELMORA_LAB_VERBOSE=1 shows every script's output.
"""
import os
import time
import traceback

import devices
import script
from layout import LabError
NATIVE = ("native",)
WINE = ("wine64", "wine32")


class ConsoleSilent(Exception):
    """The console under test does not answer in the guest at all: (what, why)."""


class Skip(Exception):
    """What the case needs is not here (the set-up could not install it): its reason."""


class Case:
    """`name` is what the case checks: a text, or a function of the device that makes it
    from what the device's record says. A family with several ports has the case on its
    first port only, unless `all_ports`."""

    def __init__(self, name, function, devices=devices.every, consoles=None, all_ports=False):
        self.name = name
        self.function = function
        self.devices = devices  # a predicate over devices.Device
        self.consoles = consoles  # None: every console
        self.all_ports = all_ports

    def runs_on(self, console):
        return self.consoles is None or console.kind in self.consoles

    def runs_on_device(self, device):
        return (device.port == 0 or self.all_ports) and bool(self.devices(device))

    def name_on(self, device):
        return self.name(device) if callable(self.name) else self.name


def registrar(suite):
    """The decorator a suite module names its cases with:
    `case = registrar(SUITE)`, then `@case("name", devices=..., consoles=...)`."""
    def case(name, devices=devices.every, consoles=None, all_ports=False):
        def register(function):
            suite.append(Case(name, function, devices, consoles, all_ports))
            return function
        return register
    return case


class Run:
    def __init__(self, job, statements):
        self.job = job
        self.statements = statements

    def wait_line(self, pattern, timeout):
        return self.job.wait_line(pattern, timeout)


def line_name(console, case, device):
    """How lab lines name a case on a device: `native ch340 settings 7E2 and back`."""
    return "%s %s %s" % (console.kind, device.label, case.name_on(device))


class Trial:
    def __init__(self, vm, console, device):
        self.vm = vm
        self.console = console
        self.native = console.kind == "native"
        self.dev = device
        self.port = console.port(device)
        self.far = device.far
        self.problems = []
        self.notes = []
        self.runs = []

    def replug(self):
        """Unplugs the device and plugs it back in; the port to open now. A name still
        held open is not given again, so it must not be: coming back under another name
        fails the case."""
        before = self.dev.path
        self.far.unplug()
        self.plug_in(before)
        return self.port

    def plug_in(self, before):
        """Plugs an unplugged device back in; fails the case unless it is `before` again."""
        path = self.far.replug()
        self.check(path == before, "%s came back as %s" % (before, path))
        for device in self.dev.siblings():
            self.console.relink(self.vm, device)
        self.port = self.console.port(self.dev)

    def check(self, condition, what):
        if not condition:
            self.problems.append(what)
        return condition

    def note(self, text):
        self.notes.append(text)

    def start(self, statements, timeout=120, shell=None):
        """Starts a script on the `main` guest shell (or `shell`, for a second one at once)."""
        path = self.vm.put_file(script.text_of(statements), ".vsc")
        shell = shell or self.vm.main
        run = Run(shell.start(self.console.command(path), timeout), statements)
        self.runs.append(run)
        return run

    def answered(self):
        """Whether the console answered any statement of this trial's scripts."""
        return any(s.answer is not None for run in self.runs for s in run.statements)

    def finish(self, run, timeout=120):
        rc = run.job.wait(timeout)
        if rc is None:
            self.problems.append("the script did not end within %d s" % timeout)
            run.job.shell.stop(run.job)
        if os.environ.get("VELMORA_LAB_VERBOSE"):
            for line in run.job.lines:
                print("    | " + (line if len(line) < 200 else line[:120] + " ... " + line[-60:]))
        script.read_answers(run.statements, run.job.lines)
        for s in run.statements:
            problem = s.check()
            if problem:
                self.problems.append(problem)
        if rc not in (0, None) and not any(s.answer == "FAILED" for s in run.statements):
            self.problems.append("the console ended with status %s: %s"
                                 % (rc, run.job.output()[-600:]))
        return run.statements

    def levels(self):
        return self.vm.lines.levels(self.dev.path)


def run_case(vm, console, case, device, report):
    """Runs `case` on `device` (one of `vm`'s own) and reports its line."""
    name = line_name(console, case, device)
    if device.unavailable:
        report("skip %s: %s" % (name, device.unavailable))
        return None
    trial = Trial(vm, console, device)
    trial.far.take_all()
    start = time.monotonic()
    try:
        case.function(trial)
    except Skip as e:
        report("skip %s: %s" % (name, e))
        return None
    except Exception as e:  # a case that breaks is a failed case, not a failed run
        trial.problems.append("%s: %s" % (type(e).__name__, e))
        if not isinstance(e, LabError):
            trial.problems.append(traceback.format_exc().strip().splitlines()[-3])
    took = time.monotonic() - start
    try:  # what a failed case left behind must not fail the next one
        for shell in (vm.main, vm.aux):
            if shell.busy():
                shell.stop(shell.current())
        restore(vm, console, trial)
    except Exception as e:
        trial.problems.append("cleaning up: %s" % e)
    for text in trial.notes:
        report("note %s: %s" % (name, text))
    if trial.problems:
        report("FAIL %s (%s, %.1f s): %s" % (name, device.name, took, "; ".join(trial.problems)))
        why = None if trial.answered() else silence(vm, console)
        if why:
            raise ConsoleSilent("the %s console does not answer in the guest" % console.kind, why)
        return False
    report("ok %s (%s, %.1f s)" % (name, device.name, took))
    return True


def restore(vm, console, trial):
    """The device as the next case expects it: plugged in, every port of it with a quiet
    far end."""
    if not trial.far.plugged:
        trial.far.replug()
        for device in trial.dev.siblings():
            console.relink(vm, device)
    for device in trial.dev.siblings():
        device.far.reset()


def silence(vm, console, timeout=120):
    """Why the console gives no answer in the guest, or None when it tells its version."""
    try:
        rc, out = vm.aux.run(console.probe(), timeout=timeout)
    except Exception as e:  # a shell that is gone cannot even start the question
        return "the guest's shell does not answer (%s: %s)" % (type(e).__name__, e)
    if rc == 0 and "velmora" in out:
        return None
    if rc is None:
        return "asked for its version, it said nothing within %d s" % timeout
    last = (out.strip().splitlines() or ["no output"])[-1]
    return "asked for its version, it ended with status %s: %s" % (rc, last[-300:])
