"""A device that holds the port's output, on the software adapters under their real drivers:
CTS held low under the handshake `new` switches on, or a device that takes no more bytes
at all (its firmware stopped reading). Every write returns within its time-out and counts
exactly what reaches the device once it lets bytes through again, and none of the rest
ever does; FlushComm returns at once, time-out or not; a break and forget return within
their bounds and send nothing uncounted, and the port opens again at once. And an adapter unplugged in the middle of a paced
write: the count matches what arrived but for the bytes the adapter held at that moment.

These run natively: under Wine the Windows module runs on Wine's serial layer, which
writes straight into the driver and closes with the kernel's 30 s wait. The first case is
also run under Wine on the FT232R, its answers recorded."""
import time

from cases import registrar
from devices import ADAPTERS, FTDI
from script import call, expect, wait

SUITE = []
case = registrar(SUITE)

TIMEOUT = 300
WITHIN = TIMEOUT + 500
# The chip's own buffer: a byte it has taken is counted, and lost with it at an unplug.
CHIP_BUFFER = {"ftdi": 256, "ch340": 32, "cp2102": 640, "pl2303": 256, "cdc-acm": 128}
# What the module hands an adapter at once at 9600 baud: the line's 50 ms.
PIECE_AT_9600 = 48

# The holds each family can show. ch341 (Linux 6.1) does no CTS flow control: with CTS low
# its chip sends all the same, and the counts stay exact. cdc_acm has no CTS at all.
CTS_HOLD = tuple(d for d in ADAPTERS if d.family != "cdc-acm")


def hold(t, how):
    if how == "cts":
        t.far.set_lines(cts=0)
    else:
        t.far.stall()


def let_go(t, how):
    if how == "cts":
        t.far.set_lines(cts=1)
    else:
        t.far.release()


def opened(t, how):
    """`new` at 9600 8N1 with the time-out; the CTS hold keeps new's handshake."""
    return ([call("new", t.port, 4096, 4096, want="<void>"),
             call("SetCommBaudRate", 9600, want=1), call("SetCommDataBits", 8, want=1),
             call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1)] +
            ([] if how == "cts" else [call("SetCommFlowControl", 0, want=1)]) +
            [call("SetCommTimeOut", TIMEOUT, want=1),
             call("WriteComm", "<h>", want=3), expect("<go>", 30000)])


def held_at_go(t, how):
    """Waits for <h>, holds the device's output and lets the script go on."""
    if t.check(t.far.read_until(b"<h>", 60) is not None, "<h> never arrived"):
        hold(t, how)
        t.far.send(b"<go>")


def texts(count, size):
    return [bytes([ord("A") + i]) * size for i in range(count)]


def counted(writes, sent):
    """The bytes the writes counted, in order."""
    return b"".join(text[:w.answer] for text, w in zip(sent, writes)
                    if isinstance(w.answer, int))


def exact_once_released(t, how):
    native = t.console.kind == "native"
    sent = texts(10, 200)
    writes = [call("WriteComm", text, within_ms=WITHIN if native else None,
                   want=(lambda n: isinstance(n, int) and 0 <= n <= 200) if native else None)
              for text in sent]
    flush = call("FlushComm", want=1, within_ms=300 if native else None)
    run = t.start(opened(t, how) + writes + [
        flush, call("SetCommTimeOut", 0, want=1),
        call("FlushComm", want=1, within_ms=300 if native else None),
        expect("<released>", 60000),
        call("SetCommTimeOut", 5000, want=1),
        call("WriteComm", "<end>", want=5 if native else None),
        expect("<bye>", 30000),
        call("forget", want=1)])
    held_at_go(t, how)
    if native:
        t.check(run.wait_line(r"^SetCommTimeOut 0 ", 60) is not None, "the writes never ended")
    else:
        # Under Wine a flush waits for held output: the hold is let go a while after the
        # last write, and the flush's time recorded.
        t.check(run.wait_line(r'^WriteComm "JJJ', 60) is not None, "the writes never ended")
        time.sleep(2)
    let_go(t, how)
    t.far.send(b"<released>")
    got = t.far.read_until(b"<end>", 60)
    t.far.send(b"<bye>")
    t.finish(run)
    want = counted(writes, sent)
    answers = [w.answer for w in writes]
    arrived = None if got is None else got[:-len(b"<end>")]
    if native:
        t.check(arrived == want, "the device received %s bytes, the writes counted %d (%s)"
                % (None if arrived is None else len(arrived), len(want), answers))
        t.check(len(want) <= CHIP_BUFFER[t.dev.family] + 2 * PIECE_AT_9600 or how == "cts" and
                t.dev.family == "ch340", "%d bytes counted while held: more than the adapter "
                "holds" % len(want))
    t.note("counted %s; %d bytes arrived once released, %s; FlushComm took %.0f ms" % (
        answers, -1 if arrived is None else len(arrived),
        "exactly those counted" if arrived == want else "not those counted", flush.ms or -1))


@case("CTS held low: ten timed writes count exactly what arrives once CTS is up",
      devices=CTS_HOLD, consoles=("native",))
def cts_exact(t):
    exact_once_released(t, "cts")


@case("the device takes nothing: ten timed writes count exactly what arrives once it takes "
      "bytes again", devices=ADAPTERS, consoles=("native",))
def stall_exact(t):
    exact_once_released(t, "stall")


@case("CTS held low, under Wine: what ten timed writes count, recorded", devices=(FTDI,),
      consoles=("wine64", "wine32"))
def cts_under_wine(t):
    exact_once_released(t, "cts")


def bounded_while_held(t, how):
    text = b"D" * 200
    write = call("WriteComm", text, within_ms=WITHIN)
    brk = call("EscapeComm", 8, within_ms=1000)
    run = t.start(opened(t, how) + [
        write, call("SetCommTimeOut", 0, want=1),
        call("FlushComm", want=1, within_ms=300),
        brk, call("EscapeComm", 7, want=1, within_ms=300),
        call("forget", want=1, within_ms=1000),
        # The kernel has let the port go: it opens again at once.
        call("new", t.port, 4096, 4096, want="<void>", within_ms=1000),
        call("forget", want=1, within_ms=1000)])
    held_at_go(t, how)
    t.finish(run)
    let_go(t, how)
    got = t.far.read_count(len(text) + 1, 3, idle=1.5)
    n = write.answer if isinstance(write.answer, int) else 0
    t.check(text.startswith(got) and len(got) <= n,
            "after forget the device received %d bytes; the write counted %d" % (len(got), n))
    t.note("the write counted %d, %d of them arrived once released after forget; EscapeComm 8 "
           "answered %s in %.0f ms" % (n, len(got), brk.answer, brk.ms or -1))


@case("CTS held low: FlushComm, a break and forget return in time, nothing uncounted goes out",
      devices=CTS_HOLD, consoles=("native",))
def cts_bounded(t):
    bounded_while_held(t, "cts")


@case("the device takes nothing: FlushComm, a break and forget return in time, nothing "
      "uncounted goes out", devices=ADAPTERS, consoles=("native",))
def stall_bounded(t):
    bounded_while_held(t, "stall")


@case("unplugged in the middle of a paced write: the count is what arrived, but for what the "
      "adapter held", devices=ADAPTERS, consoles=("native",))
def unplug_paced(t):
    text = bytes(b"0123456789"[i % 10] for i in range(4000))  # 4.2 s at 9600 baud
    write = call("WriteComm", text, want=lambda n: isinstance(n, int) and 0 < n < len(text))
    gone = [call(m, *a, want=0, within_ms=1000)
            for m, a in (("WriteComm", ("x",)), ("ReadComm", ()), ("GetCommError", ()))]
    run = t.start([call("new", t.port, 4096, 4096, want="<void>"),
                   call("SetCommBaudRate", 9600, want=1), call("SetCommDataBits", 8, want=1),
                   call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1),
                   call("SetCommFlowControl", 0, want=1), call("WriteComm", "<w>", want=3),
                   write] + gone +
                  [call("forget", want=1, within_ms=1000), wait(4000),
                   call("new", t.port, 4096, 4096, want="<void>"),
                   call("SetCommFlowControl", 0, want=1),
                   call("WriteComm", "<back>", want=6), call("forget", want=1)], timeout=200)
    if not t.check(t.far.read_until(b"<w>", 60) is not None, "<w> never arrived"):
        t.finish(run)
        return
    arrived = t.far.read_count(960, 30)  # about a second of the write
    t.far.unplug()
    arrived += t.far.take_all()
    returned = run.wait_line(r"^WriteComm \"0123", 30)
    t.check(returned is not None, "the write did not return after the unplug")
    if run.wait_line(r"^forget -> ", 30) is not None:
        before = t.dev.path  # the replug's tty event rewrites the device's path
        path = t.far.replug()
        t.check(path == before, "the adapter came back as %s" % path)
    got = t.far.read_until(b"<back>", 60)
    t.check(got is not None, "<back> never arrived after the replug")
    t.finish(run, timeout=200)
    if isinstance(write.answer, int):
        bound = PIECE_AT_9600 + CHIP_BUFFER[t.dev.family]
        t.check(text.startswith(arrived) and abs(write.answer - len(arrived)) <= bound,
                "the write counted %d, the device received %d (at most %d apart)"
                % (write.answer, len(arrived), bound))
        t.note("the write counted %d, the device received %d before the unplug"
               % (write.answer, len(arrived)))
