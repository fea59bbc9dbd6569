"""A device that holds output, on the real drivers: the far end sends XOFF to a port with
XON/XOFF flow control, then each call must return within its bound (the time-out plus
0.5 s; 1 s for forget), a write must count only what will reach the far end, and nothing
it did not count may reach the far end later.

Who holds differs by device, as its family's record says (`xoff_holds`):
  - the kernel (the 16550): its line discipline, which takes back what a write did not
    send, so a held write counts 0;
  - the chip (an FT232R, a CP2102, a PL2303), which its driver sets to obey XON/XOFF.
    What the chip and the driver were handed cannot be taken back: it is counted, and goes
    out when the far end sends XON (the case sends one at its end, after forget, to show
    that nothing uncounted follows);
  - nobody (QEMU's FTDI model, a CH340, a CDC-ACM board: no flow control in QEMU's model,
    none in ch341 or cdc_acm), so every byte goes out and is counted.

These run natively: under Wine the Windows module runs on Wine's serial layer, which this
project does not make."""
from cases import NATIVE, registrar
from script import call, expect, opened, wait

SUITE = []
case = registrar(SUITE)

TIMEOUT = 300
WITHIN = TIMEOUT + 500
XOFF, XON = b"\x13", b"\x11"
HELD_BY = {"kernel": "held by XOFF in the kernel", "chip": "held by XOFF in the chip",
           None: "XOFF, which nothing obeys"}


def holder(t):
    return t.dev.record.xoff_holds


def holds(device):
    return device.record.xoff_holds is not None


def named(what):
    """A case's name: who holds the device's output, then `what` was checked."""
    return lambda device: "%s: %s" % (HELD_BY[device.record.xoff_holds], what)


def held(t, flow=2):
    """`new` at 115200 8N1 with flow control `flow` and the time-out; then the far end
    answers <h> with XOFF and <go>, which the script waits for."""
    return opened(t.port, flow=flow, timeout=TIMEOUT) + [
        call("WriteComm", "<h>", want=3), expect("<go>", 30000)]


def written(t, text, released=False):
    """A WriteComm that, where the kernel holds output, counts nothing (everything, once
    `released`); elsewhere it counts what the driver took (where nobody holds output, what
    the line sent within the time-out), checked against what arrives."""
    if holder(t) == "kernel":
        want = len(text) if released else 0
    else:
        want = lambda n: isinstance(n, int) and 0 <= n <= len(text)  # noqa: E731
    s = call("WriteComm", text, want=want, within_ms=WITHIN)
    s.data = text.encode("latin-1")
    return s


def shown(data):
    return repr(data) if len(data) < 80 else "%d bytes" % len(data)


def run_held(t, statements, arrives=b"", flow=2):
    """Runs `statements` on a port the far end has held with XOFF, then forget. Where the
    kernel holds, the far end must have received `arrives` and nothing else. Elsewhere it
    must receive exactly what the writes counted, in order; where the chip holds, that
    comes only once the far end sends XON (after forget, so it may be less: forget drops
    what the driver still held, and cp210x purges the chip)."""
    run = t.start(held(t, flow) + statements + [call("forget", want=1, within_ms=1000)])
    if t.check(t.far.read_until(b"<h>", 60) is not None, "<h> never arrived"):
        t.far.send(XOFF + b"<go>")
    t.finish(run)
    if holder(t) == "kernel" or flow != 2:
        got = t.far.take_all().replace(b"\xff\xf3", b"").replace(b"\x00", b"")
        t.check(got == arrives, "the far end received %s, wanted %s" % (shown(got), shown(arrives)))
        return
    in_chip = holder(t) == "chip"
    if in_chip:
        t.far.send(XON)
    got = t.far.read_count(1 << 20, 3, idle=1.0)
    counted = b"".join(s.data[:s.answer] for s in statements
                       if hasattr(s, "data") and isinstance(s.answer, int))
    if in_chip:
        t.check(counted.startswith(got), "the far end received %s, not what the writes "
                "counted (%d bytes)" % (shown(got), len(counted)))
        t.note("counted %d bytes while held; %d arrived after forget and XON"
               % (len(counted), len(got)))
    else:
        t.check(got == counted, "the far end received %s, the writes counted %d bytes"
                % (shown(got), len(counted)))


def queued_first(t, queued):
    """With `queued`, a 4 KiB text is written into the held port first."""
    return [written(t, "Q" * 4096)] if queued else []


def expected(t, *texts):
    """What reaches the far end: nothing where the kernel holds output, else every text."""
    return b"" if holder(t) == "kernel" else b"".join(x.encode() for x in texts)


BOUNDED = "every call within its bound, the far end gets only what the writes counted"

for queued in (False, True):
    # Where nobody holds output, 4 KiB written first is only 4 KiB more that goes out.
    suffix, where = (", 4 KiB written first", holds) if queued else ("", None)
    options = {"devices": where} if where else {}

    @case(named("WriteComm, SETXON releases it%s; %s" % (suffix, BOUNDED)),
          consoles=NATIVE, **options)
    def release(t, queued=queued):
        # SETXON reaches the kernel, not a chip: where the chip holds, <a> waits with the
        # rest for the device's own XON.
        run_held(t, queued_first(t, queued) + [
            written(t, "A"),
            call("EscapeComm", 5, want=1, within_ms=WITHIN),
            written(t, "<a>", released=True),
        ], expected(t, "Q" * 4096 if queued else "", "A") + b"<a>")

    @case(named("WriteComm, SETBREAK and CLRBREAK%s; %s" % (suffix, BOUNDED)),
          consoles=NATIVE, **options)
    def brk(t, queued=queued):
        # A break waits for the output to drain; where the chip holds bytes, it is not
        # started within its bound, and says so.
        run_held(t, queued_first(t, queued) + [
            written(t, "B"),
            call("EscapeComm", 8, want=None if holder(t) == "chip" else 1, within_ms=WITHIN),
            call("EscapeComm", 7, want=1, within_ms=WITHIN),
        ], expected(t, "Q" * 4096 if queued else "", "B"))

    @case(named("WriteComm, FlushComm%s; %s" % (suffix, BOUNDED)), consoles=NATIVE, **options)
    def flush(t, queued=queued):
        run_held(t, queued_first(t, queued) + [
            written(t, "C"),
            call("FlushComm", want=1, within_ms=WITHIN),
        ], expected(t, "Q" * 4096 if queued else "", "C"))

    @case(named("WriteComm, forget%s; %s" % (suffix, BOUNDED)), consoles=NATIVE, **options)
    def forget(t, queued=queued):
        run_held(t, queued_first(t, queued) + [written(t, "D")],
                 expected(t, "Q" * 4096 if queued else "", "D"))

    @case(named("WriteComm of 8192 bytes%s; %s" % (suffix, BOUNDED)), consoles=NATIVE,
          **options)
    def big(t, queued=queued):
        run_held(t, queued_first(t, queued) + [written(t, "E" * 8192)],
                 expected(t, "Q" * 4096 if queued else "", "E" * 8192))


@case(named("without a time-out, flush, break and forget return at once"), consoles=NATIVE)
def no_timeout(t):
    bound = 1000 if holder(t) == "chip" else 500  # a break that cannot start ends at its bound
    run_held(t, [call("SetCommTimeOut", 0, want=1),
                 call("FlushComm", want=1, within_ms=500),
                 call("EscapeComm", 8, want=1, within_ms=bound),
                 call("EscapeComm", 7, want=1, within_ms=500),
                 call("EscapeComm", 6, want=1, within_ms=500)])


@case("SETXOFF without flow control holds output: the device's XON is data, SETXON releases",
      consoles=NATIVE)
def setxoff(t):
    run = t.start(held(t, flow=0) + [
        call("EscapeComm", 6, want=1),
        call("WriteComm", "x", want=0, within_ms=WITHIN),
        call("WriteComm", "<x>", want=0, within_ms=WITHIN),
        expect(XON + b"<y>", 30000),
        call("WriteComm", "z", want=0, within_ms=WITHIN),
        call("EscapeComm", 5, want=1),
        call("WriteComm", "<z>", want=3),
        call("forget", want=1, within_ms=1000)])
    if t.check(t.far.read_until(b"<h>", 60) is not None, "<h> never arrived"):
        t.far.send(b"<go>")  # no XOFF: the script holds its own output
        t.far.send(XON + b"<y>")
    t.finish(run)
    got = t.far.read_count(3, 3, idle=1.0) + t.far.take_all()
    t.check(got == b"<z>", "the far end received %r, wanted only <z>" % got)


@case("a break holds output until CLRBREAK", consoles=NATIVE)
def break_holds(t):
    run = t.start(held(t, flow=0) + [
        call("EscapeComm", 8, want=1, within_ms=WITHIN),
        call("WriteComm", "b", want=0, within_ms=WITHIN),
        wait(200),
        call("EscapeComm", 7, want=1, within_ms=WITHIN),
        call("WriteComm", "<c>", want=3),
        call("forget", want=1, within_ms=1000)])
    if t.check(t.far.read_until(b"<h>", 60) is not None, "<h> never arrived"):
        t.far.send(b"<go>")
    t.finish(run)
    got = (t.far.read_count(3, 3, idle=1.0) + t.far.take_all()).replace(
        b"\xff\xf3", b"").replace(b"\x00", b"")
    t.check(got == b"<c>", "the far end received %r, wanted only <c>" % got)
    if t.dev.label == "qemu-ftdi":
        t.note("QEMU's FTDI model passes no break to its far end")
