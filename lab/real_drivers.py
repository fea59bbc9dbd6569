"""The real-driver suite: the built module through the console, on the 16550 UART
(8250 driver), QEMU's FTDI adapter (ftdi_sio) and the software adapters of every family
under their real drivers, the far end on the host. On a software adapter the far end
also sees the line as the driver programmed it; QEMU's devices show it nothing, and their
lines say only what the kernel and the module show."""
import random
import time

from adapter_far_end import same_rate
from cases import NATIVE, WINE, registrar
from devices import emulated, named, pluggable, software
from script import call, closed, expect, opened, wait

SUITE = []
case = registrar(SUITE)
PARITY_NAMES = {0: "none", 1: "odd", 2: "even"}


def seen_by_device(t, baud, bits, parity, stop):
    """On a software adapter, the line as its driver programmed it."""
    if not t.dev.software:
        return
    s = t.far.settings()
    t.check(same_rate(s.get("baud", 0), baud) and s.get("data_bits") == bits and
            s.get("parity") == PARITY_NAMES[parity] and s.get("stop_bits") == stop,
            "after %d %d%s%d the device had %s" % (baud, bits, "NOE"[parity], stop, s))


@case("settings 7E2 and 8N1 taken, read back and seen by the device", devices=software)
@case("settings 7E2 and 8N1 taken and read back, bytes passing at each", devices=emulated)
def settings(t):
    run = t.start(opened(t.port) + [
        call("SetCommBaudRate", 9600, want=1), call("SetCommDataBits", 7, want=1),
        call("SetCommParity", 2, want=1), call("SetCommStopBits", 2, want=1),
        call("GetCommBaudRate", want=9600), call("GetCommDataBits", want=7),
        call("GetCommParity", want=2), call("GetCommStopBits", want=2),
        call("WriteComm", "<7E2>", want=5), expect("<k1>", 30000),
        call("SetCommParity", 1, want=1), call("GetCommParity", want=1),
        call("SetCommBaudRate", 57600, want=1), call("GetCommBaudRate", want=57600),
        call("GetCommDataBits", want=7), call("GetCommStopBits", want=2),
        call("SetCommBaudRate", 115200, want=1), call("SetCommDataBits", 8, want=1),
        call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1),
        call("GetCommParity", want=0), call("GetCommDataBits", want=8),
        call("WriteComm", "<8N1>", want=5), expect("<k2>", 30000),
    ] + closed())
    # 7 data bits: the far end of a software adapter sees the eighth bit masked, as sent.
    for mark, reply, line in ((b"<7E2>", b"<k1>", (9600, 7, 2, 2)),
                              (b"<8N1>", b"<k2>", (115200, 8, 0, 1))):
        if not t.check(t.far.read_until(mark, 60) is not None, "%r never arrived" % mark):
            break
        seen_by_device(t, *line)
        t.far.send(reply)
    t.finish(run)


def any_rate(device):
    return device.record.rates == "any"


@case("rates off the standard list (31250, 12345) taken and read back", devices=any_rate,
      consoles=NATIVE)
@case("rates off its chip's table (31250, 12345) answer 0, the old rate kept",
      devices=lambda d: not any_rate(d), consoles=NATIVE)
def custom_rate(t):
    taken = any_rate(t.dev)
    t.finish(t.start(opened(t.port) + [
        call("SetCommBaudRate", 31250, want=int(taken)),
        call("GetCommBaudRate", want=31250 if taken else 115200),
        call("SetCommBaudRate", 12345, want=int(taken)),
        call("GetCommBaudRate", want=12345 if taken else 115200),
        call("SetCommBaudRate", 115200, want=1),
    ] + closed()))


def takes_six_bits(device):
    return 6 in device.record.data_bits


@case("5 data bits (1.5 stop bits answered, 2 refused), 6 data bits with 2 stop bits, mark "
      "and space parity: each answered and read back", devices=takes_six_bits,
      consoles=NATIVE)
@case("5 data bits (1.5 stop bits answered, 2 refused) answered 1 and read back, as the "
      "driver lets them through for its chip to refuse; 6 refused with 0; mark and space "
      "parity answered and read back", devices=lambda d: not takes_six_bits(d),
      consoles=NATIVE)
def small_sizes(t):
    five = [call("SetCommDataBits", 5, want=1), call("GetCommDataBits", want=5),
            call("SetCommStopBits", 1, want=1), call("GetCommStopBits", want=1),
            call("SetCommStopBits", 2, want=0), call("GetCommStopBits", want=1),
            call("SetCommStopBits", 0, want=1)]
    if takes_six_bits(t.dev):
        six = [call("SetCommDataBits", 6, want=1), call("GetCommDataBits", want=6),
               call("SetCommStopBits", 2, want=1), call("GetCommStopBits", want=2),
               call("SetCommStopBits", 0, want=1)]
    else:
        six = [call("SetCommDataBits", 6, want=0), call("GetCommDataBits", want=5)]
    t.finish(t.start(opened(t.port) + five + six + [
        call("SetCommParity", 3, want=1), call("GetCommParity", want=3),
        call("SetCommParity", 4, want=1), call("GetCommParity", want=4),
        call("SetCommDataBits", 8, want=1), call("SetCommParity", 0, want=1),
        call("SetCommStopBits", 0, want=1),
    ] + closed()))
    if emulated(t.dev):
        # A driver answers a setting its device refused as taken; only its log says so.
        rc, log = t.vm.aux.run("dmesg | sed 's/^\\[[^]]*\\] //' | "
                               "grep -E 'FAILED to set|not supported' | sort | uniq -c")
        if log.strip():
            t.note("the driver's log: %s" % " / ".join(" ".join(line.split())
                                                       for line in log.splitlines()))


@case("rates the 16550 cannot make (250000, 921600, 3000000) answer 0 and keep the old one",
      devices=named("16550"), consoles=NATIVE)
def rate_refused(t):
    t.finish(t.start(opened(t.port) + [
        call("SetCommBaudRate", 250000, want=0), call("GetCommBaudRate", want=115200),
        call("SetCommBaudRate", 921600, want=0), call("GetCommBaudRate", want=115200),
        call("SetCommBaudRate", 9600, want=1),
        call("SetCommBaudRate", 3000000, want=0), call("GetCommBaudRate", want=9600),
        call("SetCommBaudRate", 115200, want=1), call("GetCommBaudRate", want=115200),
    ] + closed()))


@case("high rates (250000, 921600, 3000000) answered and read back",
      devices=lambda d: d.record.driver == "ftdi_sio", consoles=NATIVE)
def rate_taken(t):
    t.finish(t.start(opened(t.port) + [
        call("SetCommBaudRate", 250000, want=1), call("GetCommBaudRate", want=250000),
        call("SetCommBaudRate", 921600, want=1), call("GetCommBaudRate", want=921600),
        call("SetCommBaudRate", 3000000, want=1), call("GetCommBaudRate", want=3000000),
        call("SetCommBaudRate", 115200, want=1),
    ] + closed()))


def check_lines(t, wanted, when):
    """DTR and RTS as the kernel reports them and, on a software adapter, as the device
    sees them."""
    levels = t.levels()
    got = {k: levels[k] for k in wanted}
    t.check(got == wanted, "%s the kernel had the lines at %s, wanted %s" % (when, got, wanted))
    if t.dev.software:
        s = t.far.settings()
        seen = {"DTR": str(s.get("dtr")), "RTS": str(s.get("rts"))}
        t.check(seen == wanted, "%s the device saw %s, wanted %s" % (when, seen, wanted))


SEEN = {True: "as the kernel and the device see them", False: "as the kernel reports them"}


@case(lambda d: "EscapeComm 1 to 4 drive DTR and RTS, " + SEEN[d.software])
def modem_lines(t):
    steps = [(None, {"DTR": "1", "RTS": "1"}), (1, {"DTR": "0", "RTS": "1"}),
             (2, {"DTR": "1", "RTS": "1"}), (3, {"DTR": "1", "RTS": "0"}),
             (4, {"DTR": "1", "RTS": "1"})]
    statements = [call("new", t.port, 4096, 4096, want="<void>")]
    for n, (function, _) in enumerate(steps):
        if function is not None:
            statements.append(call("EscapeComm", function, want=1))
        statements += [call("WriteComm", "<m%d>" % n, want=4), expect("<k%d>" % n, 30000)]
    run = t.start(statements + closed())
    for n, (function, wanted) in enumerate(steps):
        if t.far.read_until(b"<m%d>" % n, 60) is None:
            t.check(False, "<m%d> never arrived" % n)
            break
        check_lines(t, wanted, "after EscapeComm %s" % (function or "none (new)"))
        t.far.send(b"<k%d>" % n)
    t.finish(run)


# Windows keeps RTS to itself under the RTS handshake: SETRTS and CLRRTS fail. DTR, enabled
# rather than a handshake, stays the script's. Wine's serial layer lets both through.
@case(lambda d: "under the RTS handshake EscapeComm 3 and 4 answer 0 and leave RTS alone, "
      "DTR the script's, " + SEEN[d.software], consoles=NATIVE)
@case(lambda d: "under the RTS handshake EscapeComm 3 and 4 answer 1 and move RTS, " +
      SEEN[d.software] + " (Wine's serial layer)", consoles=WINE)
def rts_under_handshake(t):
    answer = 0 if t.native else 1
    run = t.start([
        call("new", t.port, 4096, 4096, want="<void>"), call("SetCommFlowControl", 1, want=1),
        call("EscapeComm", 3, want=answer), call("WriteComm", "<r1>", want=4),
        expect("<k1>", 30000), call("EscapeComm", 4, want=answer),
        call("EscapeComm", 1, want=1), call("WriteComm", "<r2>", want=4), expect("<k2>", 30000),
        call("SetCommFlowControl", 0, want=1), call("EscapeComm", 4, want=1),
        call("EscapeComm", 3, want=1), call("WriteComm", "<r3>", want=4), expect("<k3>", 30000),
    ] + closed())
    if t.native:  # RTS stays up through CLRRTS and SETRTS alike
        steps = ({"DTR": "1", "RTS": "1"}, {"DTR": "0", "RTS": "1"}, {"DTR": "0", "RTS": "0"})
    else:  # CLRRTS drops it, SETRTS raises it
        steps = ({"DTR": "1", "RTS": "0"}, {"DTR": "0", "RTS": "1"}, {"DTR": "0", "RTS": "0"})
    for n, wanted in enumerate(steps, 1):
        if not t.check(t.far.read_until(b"<r%d>" % n, 60) is not None, "<r%d> never came" % n):
            break
        check_lines(t, wanted, "at <r%d>" % n)
        t.far.send(b"<k%d>" % n)
    t.finish(run)


# Each scheme sets DTR and RTS as Windows does: none and XON/XOFF drop both, the hardware
# handshake raises DTR and hands RTS to the handshake, which keeps it up while the input
# has room, whatever the script or a scheme before left it at (cdc_acm and ch341 never
# raise it themselves: a device that waits for RTS would never send).
SCHEMES = ((None, {"DTR": "1", "RTS": "1"}), ("EscapeComm 3", {"DTR": "1", "RTS": "0"}),
           (1, {"DTR": "1", "RTS": "1"}), (0, {"DTR": "0", "RTS": "0"}),
           (1, {"DTR": "1", "RTS": "1"}), (2, {"DTR": "0", "RTS": "0"}),
           (1, {"DTR": "1", "RTS": "1"}))
# Wine's serial layer switches the handshake on and leaves RTS where it was.
WINE_SCHEMES = tuple((scheme, dict(lines, RTS="0") if scheme == 1 else lines)
                     for scheme, lines in SCHEMES)


@case(lambda d: "each flow-control scheme sets DTR and RTS, the handshake raising RTS "
      "however it was left, " + SEEN[d.software], consoles=NATIVE)
@case(lambda d: "each flow-control scheme sets DTR and RTS, the handshake leaving RTS down "
      "where it was left down, " + SEEN[d.software] + " (Wine's serial layer)", consoles=WINE)
def lines_by_scheme(t):
    schemes = SCHEMES if t.native else WINE_SCHEMES
    statements = [call("new", t.port, 4096, 4096, want="<void>")]
    for n, (scheme, _) in enumerate(schemes):
        if scheme == "EscapeComm 3":
            statements.append(call("EscapeComm", 3, want=1))
        elif scheme is not None:
            statements.append(call("SetCommFlowControl", scheme, want=1))
        statements += [call("WriteComm", "<s%d>" % n, want=4), expect("<k%d>" % n, 30000)]
    run = t.start(statements + closed())
    for n, (scheme, wanted) in enumerate(schemes):
        if not t.check(t.far.read_until(b"<s%d>" % n, 60) is not None, "<s%d> never came" % n):
            break
        when = scheme if isinstance(scheme, str) else (
            "new" if scheme is None else "SetCommFlowControl %d" % scheme)
        check_lines(t, wanted, "after %s (step %d)" % (when, n))
        t.far.send(b"<k%d>" % n)
    t.finish(run)


@case("every byte value both ways")
def every_byte(t):
    values = bytes(range(256))
    run = t.start(opened(t.port) + [
        call("WriteComm", values, want=256),
        call("WriteComm", "<ready>", want=7), expect(values, 30000),
        call("ReadComm", want=b""),
    ] + closed())
    got = t.far.read_until(b"<ready>", 60)
    t.check(got == values + b"<ready>", "the far end received %r" % (got if got is None else got[:300]))
    t.far.send(values)
    t.finish(run)


@case("1 MiB of random bytes each way at 115200 baud, in order", devices=emulated,
      consoles=NATIVE)
@case("64 KiB of random bytes each way at 460800 baud, the line's real pace, in order",
      devices=software, consoles=NATIVE)
def large_text(t):
    # A software adapter runs at the pace of its line; 460800 baud leaves its program
    # room to keep up in the emulated machine. (921600 is measured with --measure.)
    size, baud = (64 << 10, 460800) if t.dev.software else (1 << 20, 115200)
    data = random.Random(14).randbytes(size)
    run = t.start(opened(t.port, baud) + [
        call("WriteComm", data, want=len(data)),
        call("WriteComm", "<ready>", want=7), expect(data, 30000 if t.dev.software else 240000),
        call("ReadComm", want=b""),
    ] + closed(), timeout=400)
    start = time.monotonic()
    got = t.far.read_until(b"<ready>", 240)
    took = time.monotonic() - start
    if t.check(got is not None, "<ready> never arrived"):
        got = got[:-7]
        same = got == data
        first = next((i for i in range(min(len(got), len(data))) if got[i] != data[i]), None)
        t.check(same, "guest to host: %d bytes, first difference at %s" % (len(got), first))
        t.note("guest to host: %d KiB in %.1f s" % (size >> 10, took))
    start = time.monotonic()
    t.far.send(data)
    statements = t.finish(run, timeout=400)
    if statements[-3].answer == "ok":
        t.note("host to guest: %d KiB in %.1f s" % (size >> 10, time.monotonic() - start))


@case("a BREAK from the far end answers -5 once, and reads as one 0 byte",
      devices=named("16550"), consoles=NATIVE)
def break_once(t):
    run = t.start(opened(t.port) + [
        call("GetCommError", want=0), call("WriteComm", "<b>", want=3), wait(3000),
        call("GetCommError", want=-5), call("GetCommError", want=0),
        call("ReadComm", want=b"\x00"), call("GetCommError", want=0),
    ] + closed())
    if t.check(t.far.read_until(b"<b>", 60) is not None, "<b> never arrived"):
        t.far.send_break()
    t.finish(run)


AFTER_UNPLUG = ["WriteComm", "ReadComm", "GetCommError", "FlushComm", "GetCommBaudRate",
                "SetCommBaudRate", "GetCommDataBits", "SetCommFlowControl", "EscapeComm",
                "SetCommTimeOut"]
ARGS = {"WriteComm": ("x",), "SetCommBaudRate": (9600,), "SetCommFlowControl": (0,),
        "EscapeComm": (2,), "SetCommTimeOut": (100,)}
# What the unplug cases check after the unplug, natively and under Wine, which keeps the
# time-outs in its server and never asks the device.
GONE = {True: "every call answers 0 within a second, forget answers 1, and new opens the "
              "device again once it is back under its name",
        False: "every call answers 0 within a second but SetCommTimeOut, which answers 1 "
               "(Wine's serial layer), forget answers 1, and new opens the device again "
               "once it is back under its name"}


def gone_then_back(t):
    """Every call answers 0 at once on the unplugged device; forget gives it back; `new`
    on the same object opens the replugged one."""
    gone = [call(m, *ARGS.get(m, ()), want=0, within_ms=1000) for m in AFTER_UNPLUG]
    if not t.native:
        gone[AFTER_UNPLUG.index("SetCommTimeOut")].want = 1
    return (gone +
            # QEMU's adapter takes seconds to come back after device_add; a software one,
            # half of one.
            [call("forget", want=1, within_ms=1000), wait(2500 if t.dev.software else 8000),
             call("new", t.port, 4096, 4096, want="<void>"),
             call("SetCommBaudRate", 115200, want=1), call("GetCommBaudRate", want=115200),
             call("WriteComm", "<back>", want=6)] + closed())


def replug_after_forget(t, run):
    """Plugs the device in again once the script has given the port back; it must come
    back under the name it had."""
    before = t.dev.path
    if not t.check(run.wait_line(r"^forget -> ", 60) is not None, "forget never ran"):
        return
    t.plug_in(before)
    t.check(t.far.read_until(b"<back>", 60) is not None, "<back> never arrived after the replug")


@case("unplugged while ReadComm is polled: the poll ends, " + GONE[True], devices=pluggable,
      consoles=NATIVE)
@case("unplugged while ReadComm is polled: the poll ends, " + GONE[False], devices=pluggable,
      consoles=WINE)
def unplug_reading(t):
    run = t.start(opened(t.port) + [call("WriteComm", "<r>", want=3),
                                    expect("never sent", 30000, want="FAILED")] +
                  gone_then_back(t))
    if t.check(t.far.read_until(b"<r>", 60) is not None, "<r> never arrived"):
        time.sleep(1.0)
        unplugged = time.monotonic()
        t.far.unplug()
        line = run.wait_line(r"^expect ", 30)
        if t.check(line is not None, "the polling expect did not end after the unplug"):
            t.note("the polling expect ended %.2f s after the unplug"
                   % (time.monotonic() - unplugged))
    replug_after_forget(t, run)
    t.finish(run)


@case("unplugged while WriteComm is under way: the write returns a short count, " +
      GONE[True], devices=named("qemu-ftdi"), consoles=NATIVE)
@case("unplugged while WriteComm is under way: the write returns a short count, " +
      GONE[False], devices=named("qemu-ftdi"), consoles=WINE)
def unplug_writing(t):
    size = 16 << 20  # QEMU's adapter takes about 5 MiB a second from the guest
    run = t.start(opened(t.port) + [
        call("WriteComm", "<w>", want=3),
        call("WriteComm", "U" * size, want=lambda n: isinstance(n, int) and 0 < n < size),
    ] + gone_then_back(t), timeout=200)
    if t.check(t.far.read_until(b"<w>UUUU", 60) is not None, "the write never started"):
        time.sleep(0.3)
        t.far.unplug()
        line = run.wait_line(r"^WriteComm \"UUUU", 60)
        if t.check(line is not None, "the write did not return after the unplug"):
            t.note("the write returned: %s" % line[-40:])
    replug_after_forget(t, run)
    t.far.take_all()
    t.finish(run, timeout=200)


@case("two ports apart: each keeps its own settings (115200 8N1 and 9600 7E2) as its device "
      "sees them, and bytes each way stay on their own port", devices=lambda d: d.record.ports > 1,
      consoles=NATIVE)
def ports_apart(t):
    a, b = t.dev, t.dev.siblings()[1]
    b_port = t.console.port(b)
    on_b = t.start([call("new", b_port, 4096, 4096, want="<void>"),
                    call("SetCommBaudRate", 9600, want=1), call("SetCommDataBits", 7, want=1),
                    call("SetCommParity", 2, want=1), call("SetCommStopBits", 2, want=1),
                    call("SetCommFlowControl", 0, want=1), call("WriteComm", "<B1>", want=4),
                    expect("<Bgo>", 30000), wait(3000), call("ReadComm", want=b"b-only"),
                    call("GetCommBaudRate", want=9600), call("GetCommDataBits", want=7),
                    call("WriteComm", "<B3>", want=4)] + closed(), shell=t.vm.aux)
    if not t.check(b.far.read_until(b"<B1>", 60) == b"<B1>", "<B1> never came alone"):
        t.finish(on_b)
        return
    values = bytes(range(256))
    on_a = t.start(opened(t.port) + [
        call("WriteComm", values + b"<A1>", want=260), expect("<Ago>", 30000), wait(3000),
        call("ReadComm", want=b"a-only"), call("GetCommBaudRate", want=115200),
        call("GetCommDataBits", want=8), call("WriteComm", "<A3>", want=4)] + closed())
    got = a.far.read_until(b"<A1>", 60)
    t.check(got == values + b"<A1>", "%s received %r" % (a.label, got and got[:300]))
    seen = {d.label: d.far.settings() for d in (a, b)}
    for d, line in ((a, (115200, 8, "none", 1)), (b, (9600, 7, "even", 2))):
        s = seen[d.label]
        t.check(same_rate(s.get("baud", 0), line[0]) and
                (s.get("data_bits"), s.get("parity"), s.get("stop_bits")) == line[1:],
                "%s's device had %s, wanted %s" % (d.label, s, line))
    t.check(b.far.take_all() == b"", "%s received bytes written to %s" % (b.label, a.label))
    b.far.send(b"<Bgo>")
    a.far.send(b"<Ago>")
    if t.check(on_b.wait_line(r'^expect "<Bgo>" -> ok', 60) is not None, "<Bgo> never came"):
        b.far.send(b"b-only")
    if t.check(on_a.wait_line(r'^expect "<Ago>" -> ok', 60) is not None, "<Ago> never came"):
        a.far.send(b"a-only")
    t.finish(on_a)
    t.finish(on_b)
    t.check(a.far.read_until(b"<A3>", 10) == b"<A3>", "%s's last mark did not come alone" % a.label)
    t.check(b.far.read_until(b"<B3>", 10) == b"<B3>", "%s's last mark did not come alone" % b.label)
