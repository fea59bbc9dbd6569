"""How a lab case runs: a console script in the guest, the far end played by the host.

A suite is a list of Case objects. A case's function gets a Trial, which knows the
device (t.dev: its family and path, devices.Device), the port name the console opens,
the far end (t.far), the machine (t.vm) and the console under test, and offers:
  t.start(statements)   the script starts in the guest; returns its Run
  t.finish(run)         waits for it, reads every answer back and checks it
  t.levels()            the device's modem lines as the guest's kernel reports them
  t.replug()            a software adapter out and back in; the port it has then
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

from labvm import LAB_DIR, UART, USB, LabError
import script

MODEM_LINES = os.path.join(LAB_DIR, "guest", "modem_lines.py")


class ConsoleSilent(Exception):
    """The console under test does not answer in the guest at all: (what, why)."""


class Case:
    def __init__(self, name, function, devices=(UART, USB), consoles=None):
        self.name = name
        self.function = function
        self.devices = devices
        self.consoles = consoles  # None: every console

    def runs_on(self, console):
        return self.consoles is None or console.kind in self.consoles


def registrar(suite):
    """The decorator a suite module names its cases with:
    `case = registrar(SUITE)`, then `@case("name", devices=..., consoles=...)`."""
    def case(name, devices=(UART, USB), consoles=None):
        def register(function):
            suite.append(Case(name, function, devices, consoles))
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
    """How lab lines name a case on a device: `native ch340 ttyUSB2 settings 7E2 and back`."""
    return "%s %s %s" % (console.kind, device.label, case.name)


class Trial:
    def __init__(self, vm, console, device):
        self.vm = vm
        self.console = console
        self.dev = vm.device(device)
        self.port = console.port(self.dev)
        self.far = vm.far[device]
        self.problems = []
        self.notes = []
        self.runs = []

    def replug(self):
        """Unplugs a software adapter and plugs it back in (a still open descriptor keeps
        the old name, so it may come back under the next one); the port to open now."""
        self.far.unplug()
        self.far.replug()
        self.console.relink(self.vm, self.dev)
        self.port = self.console.port(self.dev)
        return self.port

    def check(self, condition, what):
        if not condition:
            self.problems.append(what)
        return condition

    def note(self, text):
        self.notes.append(text)

    def start(self, statements, timeout=120):
        path = self.vm.put_file(script.text_of(statements), ".vsc")
        run = Run(self.vm.main.start(self.console.command(path), timeout), statements)
        self.runs.append(run)
        return run

    def answered(self):
        """Whether the console answered any statement of this trial's scripts."""
        return any(s.answer is not None for run in self.runs for s in run.statements)

    def finish(self, run, timeout=120):
        rc = run.job.wait(timeout)
        if rc is None:
            self.problems.append("the script did not end within %d s" % timeout)
            self.vm.main.stop(run.job)
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
        rc, out = self.vm.aux.run("/usr/bin/python3 %s %s" % (MODEM_LINES, self.dev), timeout=30)
        if rc != 0:
            raise LabError("TIOCMGET on %s: %s" % (self.dev, out))
        return dict(item.split("=") for item in out.split()[-6:])


def run_case(vm, console, case, device, report):
    name = line_name(console, case, device)
    if device in vm.unavailable:
        report("skip %s: %s" % (name, vm.unavailable[device]))
        return None
    trial = Trial(vm, console, device)
    trial.far.take_all()
    start = time.monotonic()
    try:
        case.function(trial)
    except Exception as e:  # a case that breaks is a failed case, not a failed run
        trial.problems.append("%s: %s" % (type(e).__name__, e))
        if not isinstance(e, LabError):
            trial.problems.append(traceback.format_exc().strip().splitlines()[-3])
    took = time.monotonic() - start
    try:  # what a failed case left behind must not fail the next one
        if vm.main.busy():
            vm.main.stop(vm.main.current())
        if not vm.usb_plugged and not vm.ensure_usb():
            trial.problems.append("the adapter did not come back")
        if device.software:
            restore_adapter(vm, console, trial)
    except Exception as e:
        trial.problems.append("cleaning up: %s" % e)
    for text in trial.notes:
        report("note %s: %s" % (name, text))
    if trial.problems:
        report("FAIL %s (%.1f s): %s" % (name, took, "; ".join(trial.problems)))
        why = None if trial.answered() else silence(vm, console)
        if why:
            raise ConsoleSilent("the %s console does not answer in the guest" % console.kind, why)
        return False
    report("ok %s (%.1f s)" % (name, took))
    return True


def restore_adapter(vm, console, trial):
    """A software adapter as the next case expects it: plugged, with a quiet far end."""
    far = trial.far
    if not far.plugged:
        far.replug()
        console.relink(vm, trial.dev)
    far.reset()


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
