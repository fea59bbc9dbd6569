"""A device that holds output, on the real drivers: the far end sends XOFF to a port with
XON/XOFF flow control, then each call must return within its bound (the time-out plus
0.5 s; 1 s for forget), a write must count only what left the port, and nothing it did
not count may reach the far end later.

On the 16550 the kernel's line discipline holds the output. QEMU's FTDI model takes no
flow control from ftdi_sio and sends whatever it is given, so there the same scripts
show that nothing waits and that every byte counted arrives."""
from cases import Case
from labvm import UART, USB
from script import call, expect, wait

SUITE = []

TIMEOUT = 300
WITHIN = TIMEOUT + 500
XOFF, XON = b"\x13", b"\x11"


def case(name):
    """A case on both devices, for the native console only: under Wine the Windows module
    runs on Wine's serial layer, which this project does not make."""
    def register(function):
        SUITE.append(Case(name, function, (UART, USB), ("native",)))
        return function
    return register


def held(t, flow=2):
    """`new` at 115200 8N1 with flow control `flow` and the time-out; then the far end
    answers <h> with XOFF and <go>, which the script waits for."""
    return [call("new", t.port, 4096, 4096, want="<void>"),
            call("SetCommBaudRate", 115200, want=1), call("SetCommDataBits", 8, want=1),
            call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1),
            call("SetCommFlowControl", flow, want=1),
            call("SetCommTimeOut", TIMEOUT, want=1),
            call("WriteComm", "<h>", want=3), expect("<go>", 30000)]


def holds(t):
    """Whether the device's XOFF holds this port's output in the lab."""
    return t.dev == UART


def written(t, text):
    """A WriteComm that, where output is held, counts nothing."""
    return call("WriteComm", text, want=0 if holds(t) else len(text), within_ms=WITHIN)


def run_held(t, statements, arrives=b"", flow=2):
    """Runs `statements` on a port the far end has held with XOFF, then forget; checks
    that the far end received `arrives` and nothing else the script wrote."""
    run = t.start(held(t, flow) + statements + [call("forget", want=1, within_ms=1000)])
    if t.check(t.far.read_until(b"<h>", 60) is not None, "<h> never arrived"):
        t.far.send(XOFF + b"<go>")
    t.finish(run)
    got = t.far.take_all().replace(b"\xff\xf3", b"").replace(b"\x00", b"")
    t.check(got == arrives, "the far end received %r, wanted %r"
            % (got if len(got) < 80 else got[:40] + b"...(%d)" % len(got), arrives))


def queued_first(t, queued):
    """With `queued`, a 4 KiB text is written into the held port first."""
    return [written(t, "Q" * 4096)] if queued else []


def expected(t, *texts):
    """What reaches the far end: nothing where output is held, else every text."""
    return b"" if holds(t) else b"".join(x.encode() for x in texts)


for queued in (False, True):
    suffix = ", 4 KiB written first" if queued else ""

    @case("held by XOFF: WriteComm, SETXON releases it" + suffix)
    def release(t, queued=queued):
        run_held(t, queued_first(t, queued) + [
            written(t, "A"),
            call("EscapeComm", 5, want=1, within_ms=WITHIN),
            call("WriteComm", "<a>", want=3, within_ms=WITHIN),
        ], expected(t, "Q" * 4096 if queued else "", "A") + b"<a>")

    @case("held by XOFF: WriteComm, SETBREAK and CLRBREAK" + suffix)
    def brk(t, queued=queued):
        run_held(t, queued_first(t, queued) + [
            written(t, "B"),
            call("EscapeComm", 8, want=1, within_ms=WITHIN),
            call("EscapeComm", 7, want=1, within_ms=WITHIN),
        ], expected(t, "Q" * 4096 if queued else "", "B"))

    @case("held by XOFF: WriteComm, FlushComm" + suffix)
    def flush(t, queued=queued):
        run_held(t, queued_first(t, queued) + [
            written(t, "C"),
            call("FlushComm", want=1, within_ms=WITHIN),
        ], expected(t, "Q" * 4096 if queued else "", "C"))

    @case("held by XOFF: WriteComm, forget" + suffix)
    def forget(t, queued=queued):
        run_held(t, queued_first(t, queued) + [written(t, "D")],
                 expected(t, "Q" * 4096 if queued else "", "D"))

    @case("held by XOFF: WriteComm of 8192 bytes" + suffix)
    def big(t, queued=queued):
        run_held(t, queued_first(t, queued) + [written(t, "E" * 8192)],
                 expected(t, "Q" * 4096 if queued else "", "E" * 8192))


@case("held by XOFF without a time-out: flush, break and forget return at once")
def no_timeout(t):
    run_held(t, [call("SetCommTimeOut", 0, want=1),
                 call("FlushComm", want=1, within_ms=500),
                 call("EscapeComm", 8, want=1, within_ms=500),
                 call("EscapeComm", 7, want=1, within_ms=500),
                 call("EscapeComm", 6, want=1, within_ms=500)])


@case("SETXOFF without flow control: the device's XON is data, SETXON releases")
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
    got = t.far.take_all()
    t.check(got == b"<z>", "the far end received %r, wanted only <z>" % got)


@case("a break holds output until CLRBREAK")
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
    got = t.far.take_all().replace(b"\xff\xf3", b"").replace(b"\x00", b"")
    t.check(got == b"<c>", "the far end received %r, wanted only <c>" % got)
    if t.dev == USB:
        t.note("QEMU's FTDI model passes no break to its far end")
