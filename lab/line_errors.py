"""Line errors on the software adapters, each under its real driver: a parity error, a
framing error, an overrun and a break, each put by the far end on one chosen byte.

Natively each must give its GetCommError code once where the driver reports it (its
family's record says which it does; the others read 0), and the bytes must read as
received: an erroneous byte as it came, an overrun adding no byte, a break as one 0 byte.

Under Wine the module runs on Wine's serial layer, which reports no line error at all
and reads the bytes as the tty layer hands them under its settings: INPCK only while
parity is on, and neither PARMRK nor IGNPAR. With INPCK a byte the driver flags with a
parity or framing error or a break reads as 0 and an overrun's flagged 0 byte is dropped;
without it the tty layer passes bytes through unflagged, so a flagged byte reads as it
came and an overrun's 0 byte stays. A byte the driver does not flag reads as received.
Both are checked as known differences."""
from cases import NATIVE, WINE, registrar
from devices import software
from script import call, wait

SUITE = []
case = registrar(SUITE)

# Each error: the line it is tried on (parity errors need parity), the byte it is put on,
# and the code a driver that reports it gives.
ERRORS = (("parity", 2, b"P", -2), ("framing", 0, b"F", -4), ("overrun", 0, b"O", -3),
          ("break", 0, b"\0", -5))


def native_code(record, kind, code):
    return code if kind in record.reports else 0


def wine_reads(record, kind, parity, byte):
    """What ReadComm reads of b"a" + byte + b"b" under Wine's serial layer."""
    inpck = parity != 0
    flag = record.flags.get(kind) if inpck or not record.flags_need_inpck else None
    if flag is None:
        return b"a" + byte + b"b"
    if not inpck:  # passed through unflagged
        return b"a" + (b"\0" if flag == "zero before" else b"") + byte + b"b"
    return b"a" + (byte if flag == "zero before" else b"\0") + b"b"


def native_name(device):
    codes = ", ".join("%s %d" % (kind, native_code(device.record, kind, code))
                      for kind, _, _, code in ERRORS)
    return ("each line error gives its GetCommError code once (%s), and the bytes read as "
            "received" % codes)


def wine_name(device):
    reads = ", ".join("%s %r" % (kind, wine_reads(device.record, kind, parity, byte))
                      for kind, parity, byte, _ in ERRORS)
    return ("GetCommError answers 0 for every line error, and the bytes read %s "
            "(Wine's serial layer)" % reads)


@case(native_name, devices=software, consoles=NATIVE)
@case(wine_name, devices=software, consoles=WINE)
def line_errors(t):
    statements = [call("new", t.port, 4096, 4096, want="<void>"),
                  call("SetCommBaudRate", 115200, want=1), call("SetCommDataBits", 8, want=1),
                  call("SetCommStopBits", 0, want=1), call("SetCommFlowControl", 0, want=1),
                  call("GetCommError", want=0)]
    for n, (kind, parity, byte, code) in enumerate(ERRORS):
        if t.native:
            first = native_code(t.dev.record, kind, code)
            reads = b"a" + byte + b"b"
        else:
            first, reads = 0, wine_reads(t.dev.record, kind, parity, byte)
        statements += [call("SetCommParity", parity, want=1),
                       call("WriteComm", "<e%d>" % n, want=4),
                       # Not expect: it reads, and a read takes the errors with it.
                       wait(600), call("GetCommError", want=first),
                       call("GetCommError", want=0), call("ReadComm", want=reads)]
    run = t.start(statements + [call("forget", want=1)])
    for n, (kind, _, byte, _) in enumerate(ERRORS):
        if not t.check(t.far.read_until(b"<e%d>" % n, 60) is not None, "<e%d> never came" % n):
            break
        t.far.send(b"a" + byte + b"b", errors={1: kind})
    t.finish(run)
