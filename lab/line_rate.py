"""What a write costs on a paced line (only with `lab/run.py --measure`): WriteComm's
throughput against the wire's own limit (bytes x bits a character / baud) at 9600, 115200
and 921600 baud, with and without a time-out, beside write() and tcdrain() on the same
adapter; and the CPU the console's process uses while a write waits on a slow line and on
a stalled device. The host times the text between two marks as they come off the wire.
Figures under TCG, as notes; a case fails only if bytes are lost."""
import os
import re
import time

from cases import NATIVE, registrar
from devices import named
from layout import LAB_DIR
from script import call, opened

SUITE = []
case = registrar(SUITE)

RAW_LINE = os.path.join(LAB_DIR, "guest", "raw_line.py")
RATES = (9600, 115200, 921600)
BITS = 10  # 8N1: start, eight data bits, stop


def text(size):
    return bytes(ord("a") + i % 26 for i in range(size))


def timed_between_marks(t, size):
    """Seconds from the end of <s> to the end of <e> on the far end, and the bytes between."""
    if t.far.read_until(b"<s>", 60) is None:
        return None, b""
    start = time.monotonic()
    got = t.far.read_until(b"<e>", 120)
    return (time.monotonic() - start, got[:-3]) if got is not None else (None, b"")


def cpu_seconds(t, pattern):
    """utime + stime of the guest process whose command line matches `pattern`."""
    rc, out = t.vm.aux.run("pid=$(pgrep -f %s | head -1); cut -d' ' -f14,15 /proc/$pid/stat; "
                           "getconf CLK_TCK" % pattern, timeout=30)
    fields = out.split()
    return (int(fields[0]) + int(fields[1])) / int(fields[2]) if rc == 0 and len(fields) == 3 \
        else None


@case("WriteComm's pace against the wire and against write() with tcdrain()", devices=named("ftdi"),
      consoles=NATIVE)
def pace(t):
    rows = []
    for baud in RATES:
        size = baud // BITS  # a second of the wire
        wire = (size + 3) * BITS / baud
        shares = []
        for timeout in (0, 5000):
            data = text(size)
            run = t.start(opened(t.port, baud, timeout=timeout) + [
                call("WriteComm", "<s>", want=3), call("WriteComm", data, want=size),
                call("WriteComm", "<e>", want=3), call("forget", want=1)], timeout=200)
            took, got = timed_between_marks(t, size)
            t.finish(run, timeout=200)
            t.check(got == data, "at %d baud %d of %d bytes arrived" % (baud, len(got), size))
            shares.append(wire / took if took else 0)
        job = t.vm.main.start("/usr/bin/python3 %s %s %d %d" % (RAW_LINE, t.dev.path, baud, size),
                              120)
        took, got = timed_between_marks(t, size)
        job.wait(60)
        t.check(len(got) == size, "write() lost bytes at %d baud" % baud)
        used = re.search(r"cpu ([0-9.]+)", job.output())
        rows.append("%d baud: WriteComm %.1f %% of the wire without a time-out, %.1f %% with "
                    "one; write()+tcdrain() %.1f %%, using %s of the guest's CPU"
                    % (baud, 100 * shares[0], 100 * shares[1], 100 * wire / took if took else 0,
                       "%.2f %%" % (100 * float(used.group(1)) / took) if used and took
                       else "an unknown share"))
    for row in rows:
        t.note(row)


@case("the CPU a write costs while it waits on a slow line or a stalled device",
      devices=named("ftdi"), consoles=NATIVE)
def cpu_while_waiting(t):
    for what, stalled, size in (("a 9600 baud line", False, 9600), ("a stalled device", True,
                                                                     2000)):
        if stalled:
            t.far.stall()
        run = t.start(opened(t.port, 9600, timeout=10000) + [
            call("WriteComm", "<s>", want=3), call("WriteComm", text(size)),
            call("forget", want=1)], timeout=60)
        t.far.read_until(b"<s>", 60)
        time.sleep(1)
        first, at = cpu_seconds(t, "'velmora run'"), time.monotonic()
        time.sleep(6)
        last, until = cpu_seconds(t, "'velmora run'"), time.monotonic()
        if stalled:
            t.far.release()
        t.finish(run, timeout=60)
        if first is not None and last is not None:
            t.note("waiting on %s, the console's process used %.2f %% of the guest's CPU"
                   % (what, 100 * (last - first) / (until - at)))
        else:
            t.note("could not read the process's CPU time while waiting on %s" % what)
