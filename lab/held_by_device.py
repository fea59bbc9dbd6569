"""A device that holds the port's output, on the software adapters under their real drivers:
CTS held low under the handshake `new` switches on, or a device that takes no more bytes
at all (its firmware stopped reading). Every write returns within its time-out and counts
exactly what reaches the device once it lets bytes through again, and none of the rest
ever does; FlushComm returns at once, time-out or not; a break and forget return within
their bounds and send nothing uncounted, and the port opens again at once. And an adapter
unplugged in the middle of a paced write: the count is never below what arrived (a script
that resends what was not counted would send bytes twice), and above it by no more than the
line carries in 150 ms: the look that finds the adapter gone comes at most a piece's time
(50 ms) after the last, the kernel takes a moment to notice, and the chip starts on what it
is handed a little after the layer's reckoning.

These run natively: under Wine the Windows module runs on Wine's serial layer, which
writes straight into the driver and closes with the kernel's 30 s wait. The first case
also runs under Wine on the FT232R, as Wine's serial layer answers it."""
import time

from cases import NATIVE, WINE, registrar
from devices import named, software
from script import call, expect, opened, wait

SUITE = []
case = registrar(SUITE)

TIMEOUT = 300
WITHIN = TIMEOUT + 500
# What the module hands an adapter at once at 9600 baud: the line's 50 ms.
PIECE_AT_9600 = 48


def has_cts(device):
    return device.software and "cts" in device.record.inputs


def cts_holder(device):
    return {"chip": "CTS held low (the chip holds output)",
            None: "CTS held low (nothing holds output)"}[device.record.cts_holds]


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


def held_script(t, how):
    """`new` at 9600 8N1 with the time-out (the CTS hold keeps new's handshake), then <h>
    and a wait for <go>."""
    return opened(t.port, 9600, flow=None if how == "cts" else 0, timeout=TIMEOUT) + [
        call("WriteComm", "<h>", want=3), expect("<go>", 30000)]


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
    sent = texts(10, 200)
    if t.native:
        writes = [call("WriteComm", text, within_ms=WITHIN,
                       want=lambda n: isinstance(n, int) and 0 <= n <= 200) for text in sent]
    else:  # Wine hands every byte to the driver's 4 KiB queue
        writes = [call("WriteComm", text, want=200) for text in sent]
    flush = call("FlushComm", want=1, within_ms=300 if t.native else None)
    run = t.start(held_script(t, how) + writes + [
        flush, call("SetCommTimeOut", 0, want=1),
        call("FlushComm", want=1, within_ms=300 if t.native else None),
        expect("<released>", 60000),
        call("SetCommTimeOut", 5000, want=1),
        call("WriteComm", "<end>", want=5),
        expect("<bye>", 30000),
        call("forget", want=1)])
    held_at_go(t, how)
    if t.native:
        t.check(run.wait_line(r"^SetCommTimeOut 0 ", 60) is not None, "the writes never ended")
    else:
        # Under Wine a flush waits for held output: the hold is let go a while after the
        # last write.
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
    t.check(arrived == want, "the device received %s bytes, the writes counted %d (%s)"
            % (None if arrived is None else len(arrived), len(want), answers))
    if t.native:
        holds = how == "stall" or t.dev.record.cts_holds is not None
        t.check(len(want) <= t.dev.record.tx_buffer + 2 * PIECE_AT_9600 or not holds,
                "%d bytes counted while held: more than the adapter holds" % len(want))
    else:
        t.check(flush.ms is not None and flush.ms >= 1500,
                "FlushComm took %s ms: it did not wait for the held bytes" % flush.ms)
    t.note("counted %s; %d bytes arrived once released; FlushComm took %.0f ms" % (
        answers, -1 if arrived is None else len(arrived), flush.ms or -1))


@case(lambda d: cts_holder(d) + ": ten timed writes count exactly what arrives once CTS "
      "is up", devices=has_cts, consoles=NATIVE)
def cts_exact(t):
    exact_once_released(t, "cts")


@case("the device takes nothing: ten timed writes count exactly what arrives once it takes "
      "bytes again", devices=software, consoles=NATIVE)
def stall_exact(t):
    exact_once_released(t, "stall")


@case("CTS held low: every timed write counts all its 200 bytes, FlushComm waits for them, "
      "and exactly those arrive once CTS is up (Wine's serial layer)", devices=named("ftdi"),
      consoles=WINE)
def cts_under_wine(t):
    exact_once_released(t, "cts")


def bounded_while_held(t, how):
    text = b"D" * 200
    write = call("WriteComm", text, within_ms=WITHIN)
    brk = call("EscapeComm", 8, within_ms=1000)
    run = t.start(held_script(t, how) + [
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


BOUNDED = ("FlushComm, a break and forget return in time, nothing uncounted goes out, "
           "the port opens again at once")


@case(lambda d: cts_holder(d) + ": " + BOUNDED, devices=has_cts, consoles=NATIVE)
def cts_bounded(t):
    bounded_while_held(t, "cts")


@case("the device takes nothing: " + BOUNDED, devices=software, consoles=NATIVE)
def stall_bounded(t):
    bounded_while_held(t, "stall")


@case("unplugged in the middle of a paced write: the count is never below what arrived, and "
      "above it by at most 150 ms of line", devices=software, consoles=NATIVE)
def unplug_paced(t):
    # 4000 bytes (4.2 s at 9600 baud) more than the chip holds: the write is still under
    # way when the adapter goes, however much its chip takes at once.
    text = bytes(b"0123456789"[i % 10] for i in range(4000 + t.dev.record.tx_buffer))
    write = call("WriteComm", text, want=lambda n: isinstance(n, int) and 0 < n < len(text))
    gone = [call(m, *a, want=0, within_ms=1000)
            for m, a in (("WriteComm", ("x",)), ("ReadComm", ()), ("GetCommError", ()))]
    run = t.start(opened(t.port, 9600) + [call("WriteComm", "<w>", want=3), write] + gone +
                  [call("forget", want=1, within_ms=1000), wait(4000),
                   call("new", t.port, 4096, 4096, want="<void>"),
                   call("SetCommFlowControl", 0, want=1),
                   call("WriteComm", "<back>", want=6), call("forget", want=1)], timeout=200)
    if not t.check(t.far.read_until(b"<w>", 60) is not None, "<w> never arrived"):
        t.finish(run)
        return
    arrived = t.far.read_count(960, 30)  # about a second of the write
    before = t.dev.path
    t.far.unplug()
    arrived += t.far.take_all()
    returned = run.wait_line(r"^WriteComm \"0123", 30)
    t.check(returned is not None, "the write did not return after the unplug")
    if run.wait_line(r"^forget -> ", 30) is not None:
        t.plug_in(before)
    got = t.far.read_until(b"<back>", 60)
    t.check(got is not None, "<back> never arrived after the replug")
    t.finish(run, timeout=200)
    if isinstance(write.answer, int):
        bound = 3 * PIECE_AT_9600
        t.check(text.startswith(arrived) and
                len(arrived) <= write.answer <= len(arrived) + bound,
                "the write counted %d, the device received %d (the count may run at most %d "
                "ahead, never behind)" % (write.answer, len(arrived), bound))
        t.note("the write counted %d, the device received %d before the unplug"
               % (write.answer, len(arrived)))
