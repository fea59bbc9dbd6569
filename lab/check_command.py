"""`velmora check` on the real drivers: every device reports what it takes, and with the
host playing a loopback plug (every byte sent straight back) the bytes come back intact
at every setting each keeps. On the software adapters the check also reads the modem
inputs the far end sets, and warns when a handshake `new` switches on would hold output."""
import re

from cases import registrar
from devices import every, software
from waiting import until

SUITE = []
case = registrar(SUITE)


def run_check(t, *options, loopback=False, timeout=600):
    """Runs the check to its end, the far end echoing when `loopback`; (status, lines)."""
    job = t.vm.main.start(t.console.check_command(t.port, *options), timeout)

    def echoed():
        """What came, sent back when `loopback`; the check's status once it has ended."""
        data = t.far.read_count(1 << 16, 0.05, idle=0.005)
        if loopback and data:
            t.far.send(data)
        return job.rc
    until(echoed, timeout + 10, ended=lambda: job.shell.closed, step=0.001)
    rc = job.wait(10)
    if rc is None:
        t.check(False, "the check did not end within %d s" % timeout)
        t.vm.main.stop(job)
    return rc, list(job.lines)


def row(lines, setting):
    """The answer, read-back and loopback columns of a setting's row, or None."""
    for line in lines:
        if line.startswith(setting + " ") and re.match(r"%s +-?\d" % re.escape(setting), line):
            return line[len(setting):].split(None, 2)
    return None


def verdict(lines):
    return next((l for l in reversed(lines) if l.startswith("verdict: ")), "(no verdict)")


@case("check --loopback: bytes intact at every setting the port keeps", devices=every)
def loopback(t):
    rc, lines = run_check(t, "--loopback", loopback=True)
    t.check(rc == 0, "the check ended with %s: %s" % (rc, verdict(lines)))
    t.check("works: bytes came back intact at every setting it takes" in verdict(lines),
            verdict(lines))
    t.check(any(l == "loopback at 9600 8N1: ok" for l in lines), "no loopback at 9600 8N1")
    # A real port has the modem lines a pseudo-terminal lacks.
    for n, name in ((1, "DTR low"), (2, "DTR high"), (3, "RTS low"), (4, "RTS high")):
        got = row(lines, "EscapeComm %d (%s)" % (n, name))
        t.check(got is not None and got[0] == "1", "EscapeComm %d answered %s" % (n, got))
    wanted = {"data bits 7": "7", "data bits 8": "8", "parity 2 (even)": "2",
              "stop bits 2 (2)": "2", "baud rate 115200": "115200"}
    if t.dev.label == "16550" and t.native:  # as the settings cases find them
        wanted.update({"data bits 5": "5", "data bits 6": "6", "parity 3 (mark)": "3"})
    for setting, back in wanted.items():
        got = row(lines, setting)
        t.check(got is not None and got[0] == "1" and got[1] == back and
                got[-1].endswith("ok"), "%s: %s" % (setting, got))
    t.note(verdict(lines))


@case("check without a loopback reports and passes; with a silent far end it fails")
def silent(t):
    rc, lines = run_check(t)
    t.check(rc == 0, "the check ended with %s: %s" % (rc, verdict(lines)))
    t.check("opens and takes 9600 8N1" in verdict(lines), verdict(lines))
    rc, lines = run_check(t, "--loopback")
    t.check(rc == 1, "a silent far end: the check ended with %s: %s" % (rc, verdict(lines)))
    t.check("FAILED at 9600 8N1: nothing came back" in verdict(lines), verdict(lines))


def inputs_shown(device):
    shown = ", ".join(i.upper() for i in device.record.inputs)
    return shown if "cts" in device.record.inputs else shown + " (no CTS: it reads up)"


@case(lambda d: "check reads the modem inputs %s and warns of a handshake that would hold "
      "output" % inputs_shown(d), devices=software)
def modem_inputs(t):
    t.far.set_lines(cts=0, dsr=0, ri=1, dcd=0)
    rc, lines = run_check(t)
    cts = 0 if "cts" in t.dev.record.inputs else 1  # an input the driver lacks reads up
    wanted = "modem inputs: CTS %d, DSR 0, RI 1, DCD 0" % cts
    t.check(wanted in lines, "wanted %r, the check said %s" % (
        wanted, [l for l in lines if l.startswith("modem inputs")]))
    warned = [l for l in lines if l.startswith("warning: ")]
    t.check(any("DSR is low" in l for l in warned), "no warning of DSR low: %s" % warned)
    t.check(any("CTS is low" in l for l in warned) == (cts == 0),
            "the warnings do not match CTS %d: %s" % (cts, warned))
    t.check(rc == 0, "the check ended with %s: %s" % (rc, verdict(lines)))
