"""Line errors on the software adapters, each under its real driver: a parity error, a
framing error, an overrun and a break, each put by the far end on one chosen byte. Each
must give its GetCommError code once, where the driver reports it at all, and the bytes
must read as received: an erroneous byte as it came, an overrun adding no byte, a break
as one 0 byte. Under Wine the answers are Wine's own, and are recorded, not checked."""
from cases import registrar
from devices import ADAPTERS
from script import call, wait

SUITE = []
case = registrar(SUITE)

# Each error: the line it is tried on (parity errors need parity), the byte it is put on,
# and the code a driver that reports it gives.
ERRORS = (("parity", 2, b"P", -2), ("framing", 0, b"F", -4), ("overrun", 0, b"O", -3),
          ("break", 0, b"\0", -5))

# What each driver does not report (its code reads 0), as read in its source: ch341 sees
# no line errors at all; pl2303 flags bytes but counts nothing, and n_tty drops the byte
# it flags an overrun with, so nothing of an overrun is left to see.
UNREPORTED = {"ch340": {"parity", "framing", "overrun", "break"}, "pl2303": {"overrun"}}


def wanted_code(t, kind, code):
    if t.console.kind != "native":
        return None  # Wine's own serial layer answers: recorded
    return 0 if kind in UNREPORTED.get(t.dev.family, ()) else code


@case("each line error gives its GetCommError code once, and the bytes read as received",
      devices=ADAPTERS)
def line_errors(t):
    statements = [call("new", t.port, 4096, 4096, want="<void>"),
                  call("SetCommBaudRate", 115200, want=1), call("SetCommDataBits", 8, want=1),
                  call("SetCommStopBits", 0, want=1), call("SetCommFlowControl", 0, want=1),
                  call("GetCommError", want=0)]
    native = t.console.kind == "native"
    asked = []
    for n, (kind, parity, byte, code) in enumerate(ERRORS):
        first = call("GetCommError", want=wanted_code(t, kind, code))
        read = call("ReadComm", want=b"a" + byte + b"b" if native else None)
        asked.append((kind, first, read))
        statements += [call("SetCommParity", parity, want=1),
                       call("WriteComm", "<e%d>" % n, want=4),
                       # Not expect: it reads, and a read takes the errors with it.
                       wait(600), first,
                       call("GetCommError", want=0 if native else None), read]
    run = t.start(statements + [call("forget", want=1)])
    for n, (kind, _, _, _) in enumerate(ERRORS):
        if not t.check(t.far.read_until(b"<e%d>" % n, 60) is not None, "<e%d> never came" % n):
            break
        t.far.send(b"a" + ERRORS[n][2] + b"b", errors={1: kind})
    t.finish(run)
    t.note("GetCommError answered " + ", ".join("%s %s" % (kind, s.answer) for kind, s, _ in asked))
    if not native:
        t.note("ReadComm read " + ", ".join("%s %r" % (kind, r.answer) for kind, _, r in asked))
