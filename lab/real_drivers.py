"""The real-driver suite: the built module through the console, on the 16550 UART
(8250 driver), QEMU's FTDI adapter (ftdi_sio) and the software adapters of every family
under their real drivers, the far end on the host. On a software adapter the far end
also sees the line as the driver programmed it."""
import random
import time

from cases import registrar
from devices import ADAPTERS, EVERY, FTDI
from labvm import UART, USB
from script import call, expect, wait
from usb_adapters import same_rate

SUITE = []
case = registrar(SUITE)


def opened(t, baud=115200):
    """`new`, then 8 data bits, no parity, one stop bit, no handshake."""
    return [call("new", t.port, 4096, 4096, want="<void>"),
            call("SetCommBaudRate", baud, want=1), call("SetCommDataBits", 8, want=1),
            call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1),
            call("SetCommFlowControl", 0, want=1)]


def closed():
    return [call("forget", want=1)]


def handshake(t, run, mark, reply, timeout=60):
    """Waits for `mark` from the script, then answers `reply`."""
    t.check(t.far.read_until(mark, timeout) is not None, "%r never arrived" % mark)
    t.far.send(reply)


PARITY_NAMES = {0: "none", 1: "odd", 2: "even"}


def seen_by_device(t, baud, bits, parity, stop):
    """On a software adapter, the line as its driver programmed it."""
    if not t.dev.software:
        return
    s = t.far.settings()
    t.check(same_rate(s.get("baud", 0), baud) and s.get("data_bits") == bits and
            s.get("parity") == PARITY_NAMES[parity] and s.get("stop_bits") == stop,
            "after %d %d%s%d the device had %s" % (baud, bits, "NOE"[parity], stop, s))


@case("settings 7E2 and 8N1 taken, read back and seen by the device", devices=EVERY)
def settings(t):
    run = t.start(opened(t) + [
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


# cp210x makes only the rates of its chip's table, and says so: it writes the rate it
# made back into the line, and the module answers 0 and keeps the old rate.
TABLE_RATES_ONLY = ("cp2102",)


@case("a rate off the standard list (31250) taken and read back, or refused and kept",
      devices=EVERY, consoles=("native",))
def custom_rate(t):
    taken = t.dev.family not in TABLE_RATES_ONLY
    t.finish(t.start(opened(t) + [
        call("SetCommBaudRate", 31250, want=int(taken)),
        call("GetCommBaudRate", want=31250 if taken else 115200),
        call("SetCommBaudRate", 12345, want=int(taken)),
        call("GetCommBaudRate", want=12345 if taken else 115200),
        call("SetCommBaudRate", 115200, want=1),
    ] + closed()))


# FTDI chips make 7 or 8 bits. ftdi_sio refuses 6 (and the refusal shows) but lets 5
# through for smartcard readers that switch modes with it.
FIVE_BITS_ONLY = ("qemu-ftdi", "ftdi")


@case("settings 5 and 6 data bits, mark and space parity", devices=EVERY, consoles=("native",))
def small_sizes(t):
    five = [call("SetCommDataBits", 5, want=1), call("GetCommDataBits", want=5),
            call("SetCommStopBits", 1, want=1), call("GetCommStopBits", want=1),
            call("SetCommStopBits", 2, want=0), call("GetCommStopBits", want=1),
            call("SetCommStopBits", 0, want=1)]
    if t.dev.family not in FIVE_BITS_ONLY:
        six = [call("SetCommDataBits", 6, want=1), call("GetCommDataBits", want=6),
               call("SetCommStopBits", 2, want=1), call("GetCommStopBits", want=2),
               call("SetCommStopBits", 0, want=1)]
    else:
        six = [call("SetCommDataBits", 6, want=0), call("GetCommDataBits", want=5)]
    t.finish(t.start(opened(t) + five + six + [
        call("SetCommParity", 3, want=1), call("GetCommParity", want=3),
        call("SetCommParity", 4, want=1), call("GetCommParity", want=4),
        call("SetCommDataBits", 8, want=1), call("SetCommParity", 0, want=1),
        call("SetCommStopBits", 0, want=1),
    ] + closed()))
    if t.dev == USB:
        # The driver answers a setting its device refused as taken; only its log says so.
        rc, log = t.vm.aux.run("dmesg | sed 's/^\\[[^]]*\\] //' | "
                               "grep -E 'FAILED to set|not supported' | sort | uniq -c")
        if log.strip():
            t.note("the driver's log: %s" % " / ".join(" ".join(line.split())
                                                       for line in log.splitlines()))


@case("a rate the 16550 cannot make answers 0 and keeps the old one", devices=(UART,),
      consoles=("native",))
def rate_refused(t):
    t.finish(t.start(opened(t) + [
        call("SetCommBaudRate", 250000, want=0), call("GetCommBaudRate", want=115200),
        call("SetCommBaudRate", 921600, want=0), call("GetCommBaudRate", want=115200),
        call("SetCommBaudRate", 9600, want=1),
        call("SetCommBaudRate", 3000000, want=0), call("GetCommBaudRate", want=9600),
        call("SetCommBaudRate", 115200, want=1), call("GetCommBaudRate", want=115200),
    ] + closed()))


@case("high rates taken by the adapter", devices=(USB, FTDI), consoles=("native",))
def rate_taken(t):
    t.finish(t.start(opened(t) + [
        call("SetCommBaudRate", 250000, want=1), call("GetCommBaudRate", want=250000),
        call("SetCommBaudRate", 921600, want=1), call("GetCommBaudRate", want=921600),
        call("SetCommBaudRate", 3000000, want=1), call("GetCommBaudRate", want=3000000),
        call("SetCommBaudRate", 115200, want=1),
    ] + closed()))


@case("EscapeComm 1 to 4 drive DTR and RTS, as the kernel and the device see them",
      devices=EVERY)
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


# Windows keeps RTS to itself under the RTS handshake: SETRTS and CLRRTS fail. DTR, enabled
# rather than a handshake, stays the script's.
@case("under the RTS handshake EscapeComm 3 and 4 answer 0 and leave RTS alone", devices=EVERY)
def rts_under_handshake(t):
    native = t.console.kind == "native"
    refused = [call("EscapeComm", 3, want=0 if native else None),
               call("EscapeComm", 4, want=0 if native else None)]
    run = t.start([
        call("new", t.port, 4096, 4096, want="<void>"), call("SetCommFlowControl", 1, want=1),
        refused[0], call("WriteComm", "<r1>", want=4), expect("<k1>", 30000), refused[1],
        call("EscapeComm", 1, want=1), call("WriteComm", "<r2>", want=4), expect("<k2>", 30000),
        call("SetCommFlowControl", 0, want=1), call("EscapeComm", 4, want=1),
        call("EscapeComm", 3, want=1), call("WriteComm", "<r3>", want=4), expect("<k3>", 30000),
    ] + closed())
    for n, wanted in enumerate(({"DTR": "1", "RTS": "1"}, {"DTR": "0", "RTS": "1"},
                                {"DTR": "0", "RTS": "0"}), 1):
        if not t.check(t.far.read_until(b"<r%d>" % n, 60) is not None, "<r%d> never came" % n):
            break
        if native or n == 3:
            check_lines(t, wanted, "at <r%d>" % n)
        else:
            t.note("at <r%d> the lines were %s" % (n, t.levels()))
        t.far.send(b"<k%d>" % n)
    t.finish(run)
    if not native:
        t.note("EscapeComm 3 and 4 under the handshake answered %s and %s"
               % (refused[0].answer, refused[1].answer))


@case("every byte value both ways", devices=EVERY)
def every_byte(t):
    values = bytes(range(256))
    run = t.start(opened(t) + [
        call("WriteComm", values, want=256),
        call("WriteComm", "<ready>", want=7), expect(values, 30000),
        call("ReadComm", want=b""),
    ] + closed())
    got = t.far.read_until(b"<ready>", 60)
    t.check(got == values + b"<ready>", "the far end received %r" % (got if got is None else got[:300]))
    t.far.send(values)
    t.finish(run)


@case("a large text each way, in order (1 MiB on QEMU's devices; on an adapter, 64 KiB at "
      "460800 baud, its line's real pace)", devices=EVERY, consoles=("native",))
def large_text(t):
    # A software adapter runs at the pace of its line; 460800 baud leaves its program
    # room to keep up in the emulated machine. (921600 is measured with --measure.)
    size, baud = (64 << 10, 460800) if t.dev.software else (1 << 20, 115200)
    data = random.Random(14).randbytes(size)
    run = t.start(opened(t, baud) + [
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


@case("a BREAK from the far end answers -5 once", devices=(UART,), consoles=("native",))
def break_once(t):
    run = t.start(opened(t) + [
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


def gone_then_back(t):
    """Every call answers 0 at once on the unplugged adapter; forget gives it back; `new`
    on the same object opens the replugged one."""
    gone = [call(m, *ARGS.get(m, ()), want=0, within_ms=1000) for m in AFTER_UNPLUG]
    if t.console.kind != "native":
        # Wine keeps the time-outs in its server and never asks the device: it answers 1.
        gone[AFTER_UNPLUG.index("SetCommTimeOut")].want = None
    return (gone +
            # QEMU's adapter takes seconds to come back after device_add; a software one,
            # half of one.
            [call("forget", want=1, within_ms=1000), wait(2500 if t.dev.software else 8000),
             call("new", t.port, 4096, 4096, want="<void>"),
             call("SetCommBaudRate", 115200, want=1), call("GetCommBaudRate", want=115200),
             call("WriteComm", "<back>", want=6)] + closed())


def pull(t):
    """Unplugs the device: QEMU's adapter through QMP, a software one by its program."""
    if t.dev.software:
        t.far.unplug()
    else:
        t.vm.unplug_usb()


def replug_after_forget(t, run):
    """Replugs the adapter once the script has given the port back."""
    if not t.check(run.wait_line(r"^forget -> ", 60) is not None, "forget never ran"):
        return
    if t.dev.software:
        before = t.dev.path  # the replug's tty event rewrites the device's path
        t.check(t.far.replug() == before, "the adapter came back under another name")
        t.console.relink(t.vm, t.dev)
    else:
        t.vm.replug_usb()
        rc, _ = t.vm.aux.run("for i in $(seq 60); do [ -e %s ] && exit 0; sleep 0.1; done; "
                             "exit 1" % t.dev, timeout=20)
        t.check(rc == 0, "%s did not come back within 6 s of device_add" % t.dev)
    t.check(t.far.read_until(b"<back>", 60) is not None, "<back> never arrived after the replug")


@case("unplugged while ReadComm is polled", devices=(USB,) + ADAPTERS)
def unplug_reading(t):
    run = t.start(opened(t) + [call("WriteComm", "<r>", want=3),
                               expect("never sent", 30000, want="FAILED")] + gone_then_back(t))
    if t.check(t.far.read_until(b"<r>", 60) is not None, "<r> never arrived"):
        time.sleep(1.0)
        unplugged = time.monotonic()
        pull(t)
        line = run.wait_line(r"^expect ", 30)
        if t.check(line is not None, "the polling expect did not end after the unplug"):
            t.note("the polling expect ended %.2f s after the unplug"
                   % (time.monotonic() - unplugged))
    replug_after_forget(t, run)
    t.finish(run)


@case("unplugged while WriteComm is under way", devices=(USB,))
def unplug_writing(t):
    size = 16 << 20  # QEMU's adapter takes about 5 MiB a second from the guest
    run = t.start(opened(t) + [
        call("WriteComm", "<w>", want=3),
        call("WriteComm", "U" * size, want=lambda n: isinstance(n, int) and 0 < n < size),
    ] + gone_then_back(t), timeout=200)
    if t.check(t.far.read_until(b"<w>UUUU", 60) is not None, "the write never started"):
        time.sleep(0.3)
        t.vm.unplug_usb()
        line = run.wait_line(r"^WriteComm \"UUUU", 60)
        if t.check(line is not None, "the write did not return after the unplug"):
            t.note("the write returned: %s" % line[-40:])
    replug_after_forget(t, run)
    t.far.take_all()
    t.finish(run, timeout=200)
