"""The software adapters behind a device server: Debian's ser2net runs in the guest, serves
the adapter's tty under its real driver on 127.0.0.1 with RFC 2217, and the scripts open
rfc2217://127.0.0.1:PORT, natively and under both Wines (Winsock), while the far end is
the adapter's as ever and checks what the device sees."""
import os
import time

from adapter_far_end import same_rate
from cases import NATIVE, WINE, Skip, registrar
from check_command import inputs_shown
from devices import software
from layout import ROOT
from script import call, expect, wait

SUITE = []
case = registrar(SUITE)

SER2NET = "/usr/sbin/ser2net"
FIRST_PORT = 7100


class Served:
    """ser2net in the guest, serving one device on a port of its own for one case."""

    def __init__(self, t):
        self.t = t
        self.port = FIRST_PORT + t.dev.machine_devices.index(t.dev)
        self.place = "/tmp/ser2net-%d" % self.port
        self.name = "rfc2217://127.0.0.1:%d" % self.port

    def __enter__(self):
        why = unavailable()
        if why:
            raise Skip(why)
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        config = ("%%YAML 1.1\n---\nconnection: &served\n"
                  "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                  "  connector: serialdev,%s,9600n81,local\n" % (self.port, self.t.dev.path))
        listening = "0100007F:%04X 00000000:0000 0A" % self.port
        rc, out = self.t.vm.aux.run(
            "mkdir -p {place} && printf '%s' '{config}' >{place}/ser2net.yaml && "
            "{ser2net} -u -c {place}/ser2net.yaml -P {place}/pid >{place}/log 2>&1 && "
            "for i in $(seq 100); do grep -q '{listening}' /proc/net/tcp && exit 0; sleep 0.1; "
            "done; cat {place}/log; exit 1"
            .format(place=self.place, config=config, ser2net=SER2NET, listening=listening),
            timeout=60)
        if rc != 0:
            raise RuntimeError("ser2net did not start in the guest: %s" % out[-400:])

    def stop(self):
        """Stops the server and returns once it is gone, its connections closed."""
        self.t.vm.aux.run("[ -f {p}/pid ] || exit 0; pid=$(cat {p}/pid); kill $pid; "
                          "for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; "
                          "sleep 0.05; done; rm -f {p}/pid".format(p=self.place), timeout=30)


def unavailable():
    """Why ser2net cannot serve here (the set-up could not install it), or None."""
    try:
        with open(os.path.join(ROOT, "build", "setup", "unavailable", "ser2net")) as f:
            return f.read().strip()
    except OSError:
        pass
    return None if os.access(SER2NET, os.X_OK) else "ser2net is not installed"


RATE = 9600
BYTES_A_SECOND = RATE / 10
# What a write may count ahead of the line: 64 bytes or the line's 50 ms, whichever is more,
# and one pace step of slack.
LEAD = max(64, BYTES_A_SECOND * 0.05) + 16
SLOW_CONSOLE_MS = 1500  # Wine in the emulated machine starts calls late, now and then


def under_wine(device):
    """Under Wine only the sockets differ from the native runs: one adapter that obeys CTS
    and one without CTS are enough there, and keep the lab within its time."""
    return software(device) and device.label in ("ftdi", "cdc-acm")


def started(name, flow=0, timeout=2000):
    return [call("new", name, 4096, 4096, want="<void>"),
            call("SetCommFlowControl", flow, want=1), call("SetCommBaudRate", RATE, want=1),
            call("SetCommTimeOut", timeout, want=1)]


def device_has(t, baud, bits, parity, stop):
    s = t.far.settings()
    t.check(same_rate(s.get("baud", 0), baud) and s.get("data_bits") == bits and
            s.get("parity") == parity and s.get("stop_bits") == stop,
            "after %d %d%s%d the device had %s" % (baud, bits, parity[0].upper(), stop, s))


def device_lines(t, dtr, rts, when):
    s = t.far.settings()
    t.check(s.get("dtr") == dtr and s.get("rts") == rts, "%s the device had %s, wanted DTR %d "
            "RTS %d" % (when, s, dtr, rts))


def modem_inputs_told(t, name):
    """`velmora check` reads the modem inputs the far end sets, as ser2net tells them."""
    t.far.set_lines(cts=0, dsr=0, ri=1, dcd=0)
    job = t.vm.main.start(t.console.check_command(name), 300)
    rc = job.wait(300)
    lines = list(job.lines)
    cts = 0 if "cts" in t.dev.record.inputs else 1  # an input the driver lacks reads up
    wanted = "modem inputs: CTS %d, DSR 0, RI 1, DCD 0" % cts
    t.check(rc == 0 and wanted in lines, "wanted %r (status 0), the check ended with %s: %s"
            % (wanted, rc, [l for l in lines if l.startswith(("modem", "verdict"))]))
    t.check('device server: RFC 2217, signature "ser2net"' in lines,
            "the check did not name the server: %s" % [l for l in lines if "server" in l])
    t.far.set_lines(cts=1, dsr=1, ri=0, dcd=1)


def line_name(device):
    return ("through ser2net (rfc2217://): 19200 7E2 and 115200 8N1, DTR, RTS and a break reach "
            "the device; check reads the modem inputs %s; GetCommError answers 0 for every line "
            "error (ser2net tells none)" % inputs_shown(device))


@case(line_name, devices=software, consoles=NATIVE)
@case(line_name, devices=under_wine, consoles=WINE)
def line_through_server(t):
    with Served(t) as served:
        modem_inputs_told(t, served.name)
        t.far.settings()
        since = len(t.far.history)  # the check made breaks of its own
        run = t.start(started(served.name) + [
            call("SetCommBaudRate", 19200, want=1), call("SetCommDataBits", 7, want=1),
            call("SetCommParity", 2, want=1), call("SetCommStopBits", 2, want=1),
            call("GetCommParity", want=2), call("WriteComm", "<7E2>", want=5),
            expect("<k1>", 30000),
            call("SetCommBaudRate", 115200, want=1), call("SetCommDataBits", 8, want=1),
            call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1),
            call("GetCommBaudRate", want=115200), call("WriteComm", "<8N1>", want=5),
            expect("<k2>", 30000),
            call("EscapeComm", 2, want=1), call("EscapeComm", 4, want=1),
            call("WriteComm", "<up>", want=4), expect("<k3>", 30000),
            call("EscapeComm", 1, want=1), call("EscapeComm", 3, want=1),
            call("WriteComm", "<down>", want=6), expect("<k4>", 30000),
            # ser2net ends the break but goes on telling it: 7 answers 0, output is released.
            call("EscapeComm", 8, want=1), wait(300), call("EscapeComm", 7, want=0), wait(300),
            call("WriteComm", "<after>", want=7), expect("<k5>", 30000),
            wait(500), call("GetCommError", want=0), call("ReadComm", want=b""),
            call("forget", want=1)], timeout=180)
        for mark, reply, line in ((b"<7E2>", b"<k1>", (19200, 7, "even", 2)),
                                  (b"<8N1>", b"<k2>", (115200, 8, "none", 1))):
            if not t.check(t.far.read_until(mark, 60) is not None, "%r never arrived" % mark):
                break
            device_has(t, *line)
            t.far.send(reply)
        for mark, reply, level in ((b"<up>", b"<k3>", 1), (b"<down>", b"<k4>", 0)):
            if t.check(t.far.read_until(mark, 60) is not None, "%r never arrived" % mark):
                device_lines(t, level, level, "with %s" % mark.decode())
                t.far.send(reply)
        if t.check(t.far.read_until(b"<after>", 60) is not None, "<after> never arrived"):
            t.check(any(s.get("break") == 1 for _, s in t.far.history[since:]),
                    "the device never saw the break")
            t.check(t.far.settings().get("break") == 0, "the break had not ended: %s"
                    % t.far.settings())
            # Every line error the device can make, none of them told by ser2net.
            t.far.send(b"a\x00b", errors={1: "parity"})
            t.far.send(b"cd", errors={0: "framing"})
            t.far.send(b"e", errors={0: "overrun"})
            t.far.send_break()
            t.far.send(b"<k5>")
        t.finish(run)


def stop_mid_write(t, served):
    """Stops the server once a long write is under way and starts it again; what arrived."""
    arrived = t.far.read_count(200, 30)
    served.stop()
    arrived += t.far.read_count(1 << 20, 10, idle=0.5)
    served.start()
    return arrived


def held_name(device, within="by its time-out and 0.5 s"):
    hold = ("; with CTS low nothing is sent, each write ends %s, and what it counted arrives "
            "once CTS is up" % within if "cts" in device.record.inputs else "")
    return ("through ser2net (rfc2217://): a device that takes nothing: the write ends %s, "
            "paced at the line's rate, and exactly what it counted arrives once released%s; "
            "the server stopped mid-write: the write ends early, counting no "
            "fewer than arrived and at most the lead more; then writes and reads answer 0, "
            "forget 1, and new connects again" % (within, hold))


def held_name_under_wine(device):
    """Wine's calls in the emulated machine end up to a second and a half late, and the
    case allows it: the line says so."""
    return held_name(device, "by its time-out and 1.5 s (Wine runs late here)")


@case(held_name, devices=software, consoles=NATIVE)
@case(held_name_under_wine, devices=under_wine, consoles=WINE)
def held_through_server(t):
    cts = "cts" in t.dev.record.inputs
    big = 4000
    bound = 1000 + (500 if t.native else SLOW_CONSOLE_MS)  # as the line's name says
    with Served(t) as served:
        t.far.stall()
        stalled = call("WriteComm", "x" * big, within_ms=bound)
        statements = started(served.name, timeout=1000) + [
            stalled, expect("<go1>", 30000), call("WriteComm", "<s>", want=3),
            expect("<k1>", 30000)]
        under_cts = [call("WriteComm", "h" * big, within_ms=bound),
                     call("WriteComm", "H" * big, within_ms=bound)]
        if cts:
            statements += [expect("<go2>", 30000), call("SetCommFlowControl", 1, want=1)] + \
                under_cts + [expect("<go3>", 30000), call("WriteComm", "<c>", want=3),
                             expect("<k2>", 30000), call("SetCommFlowControl", 0, want=1)]
        long_write = call("WriteComm", "y" * big, within_ms=8000 + SLOW_CONSOLE_MS)
        statements += [
            call("SetCommTimeOut", 8000, want=1), long_write,
            call("WriteComm", "z", want=0, within_ms=SLOW_CONSOLE_MS),
            call("ReadComm", want=0, within_ms=SLOW_CONSOLE_MS), call("forget", want=1),
            wait(3000), call("new", served.name, 4096, 4096, want="<void>"),
            call("SetCommFlowControl", 0, want=1), call("WriteComm", "<again>", want=7),
            expect("<k3>", 30000), call("forget", want=1)]
        run = t.start(statements, timeout=240)
        t.check(run.wait_line(r'^WriteComm "xxx', 60) is not None, "the held write never ended")
        t.far.release()
        t.far.send(b"<go1>")
        got = t.far.read_until(b"<s>", 60)
        if t.check(got is not None, "<s> never arrived"):
            t.far.send(b"<k1>")
        arrived_under_cts = None
        if cts:
            t.far.set_lines(cts=0)
            time.sleep(1.5)  # ser2net looks at the modem inputs once a second
            t.far.send(b"<go2>")
            t.check(run.wait_line(r'^WriteComm "HHH', 60) is not None, "the writes never ended")
            held = t.far.read_count(1, 0.2)
            t.check(held == b"", "%d bytes went out with CTS low" % len(held))
            t.far.set_lines(cts=1)
            t.far.send(b"<go3>")
            arrived_under_cts = t.far.read_until(b"<c>", 60)
            if t.check(arrived_under_cts is not None, "<c> never arrived"):
                t.far.send(b"<k2>")
        first = t.far.read_count(1, 10)
        t.check(first != b"", "the long write never started")
        stopped = first + stop_mid_write(t, served)
        if t.check(t.far.read_until(b"<again>", 60) is not None, "<again> never arrived"):
            t.far.send(b"<k3>")
        t.finish(run)
        counted = stalled.answer if isinstance(stalled.answer, int) else None
        if got is not None and counted is not None:
            line = BYTES_A_SECOND * (stalled.ms or 0) / 1000
            t.check(len(got) - 3 == counted, "the held write counted %d, %d arrived"
                    % (counted, len(got) - 3))
            t.check(counted <= line + LEAD, "the held write counted %d in %.0f ms: more than "
                    "the line carries (%d) and the lead" % (counted, stalled.ms or 0, line))
            t.note("held: counted %d in %.0f ms, all arrived once released"
                   % (counted, stalled.ms or 0))
        counts = [s.answer for s in under_cts]
        if arrived_under_cts is not None and all(isinstance(c, int) for c in counts):
            t.check(len(arrived_under_cts) - 3 == sum(counts), "with CTS low the writes "
                    "counted %s, %d arrived" % (counts, len(arrived_under_cts) - 3))
        if isinstance(long_write.answer, int):
            t.check((long_write.ms or 0) < 1000 * big / BYTES_A_SECOND - 1000,
                    "stopped mid-write, the write took %.0f ms" % (long_write.ms or 0))
            t.check(len(stopped) <= long_write.answer <= len(stopped) + LEAD,
                    "stopped mid-write, the write counted %d and %d arrived"
                    % (long_write.answer, len(stopped)))
            t.note("server stopped: counted %d, %d arrived, the write took %.0f ms"
                   % (long_write.answer, len(stopped), long_write.ms or 0))
