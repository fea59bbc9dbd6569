"""The software adapters (lab/adapters) under their real drivers, each console: every byte
value both ways, and the line settings and the DTR and RTS outputs as the device saw them."""
from cases import registrar
from devices import ADAPTERS
from script import call, expect
from usb_adapters import same_rate

SUITE = []
case = registrar(SUITE)

SETTINGS = {"9600 7E2": (9600, 7, 2, 2, "even", 2), "115200 8N1": (115200, 8, 0, 0, "none", 1)}


def line(name):
    """Statements that set a line (SETTINGS' name) through the module."""
    baud, bits, parity, stop_code, _, _ = SETTINGS[name]
    return [call("SetCommBaudRate", baud, want=1), call("SetCommDataBits", bits, want=1),
            call("SetCommParity", parity, want=1), call("SetCommStopBits", stop_code, want=1)]


def seen(t, name, got):
    baud, bits, _, _, parity, stop = SETTINGS[name]
    t.check(same_rate(got.get("baud", 0), baud) and got.get("data_bits") == bits and
            got.get("parity") == parity and got.get("stop_bits") == stop,
            "after %s the device had %s" % (name, got))


def step(n, statements):
    """Statements, then a mark the host answers once it has looked at the device."""
    return statements + [call("WriteComm", "<s%d>" % n, want=4), expect("<k%d>" % n, 30000)]


@case("every byte value both ways, 9600 7E2 and 115200 8N1, DTR and RTS as the device sees them",
      devices=ADAPTERS)
def smoke(t):
    values = bytes(range(256))
    # What the device must see after each step: `new` raises both lines, no flow control
    # lowers both (the guide's table), then EscapeComm 2, 4, 1 and 3 one line at a time.
    steps = [("new", [], 1, 1),
             ("SetCommFlowControl 0",
              line("115200 8N1") + [call("SetCommFlowControl", 0, want=1)], 0, 0)]
    steps += [("EscapeComm %d" % f, [call("EscapeComm", f, want=1)], dtr, rts)
              for f, dtr, rts in ((2, 1, 0), (4, 1, 1), (1, 0, 1), (3, 0, 0))]
    statements = [call("new", t.port, 4096, 4096, want="<void>")]
    for n, (_, before, _, _) in enumerate(steps):
        statements += step(n, before)
        if n == 1:
            statements += [call("WriteComm", values, want=256),
                           call("WriteComm", "<ready>", want=7),
                           expect(values, 30000), call("ReadComm", want=b"")]
    settings = ["9600 7E2", "115200 8N1"]
    for n, name in enumerate(settings, len(steps)):
        statements += step(n, line(name))
    run = t.start(statements + [call("forget", want=1)])

    for n, (what, _, dtr, rts) in enumerate(steps):
        if not t.check(t.far.read_until(b"<s%d>" % n, 60) is not None, "<s%d> never came" % n):
            break
        s = t.far.settings()
        t.check((s.get("dtr"), s.get("rts")) == (dtr, rts),
                "after %s the device saw DTR %s RTS %s, wanted %s %s"
                % (what, s.get("dtr"), s.get("rts"), dtr, rts))
        t.far.send(b"<k%d>" % n)
        if n == 1:
            got = t.far.read_until(b"<ready>", 60)
            t.check(got == values + b"<ready>", "the device received %r"
                    % (got if got is None else got[:300]))
            t.far.send(values)
    for n, name in enumerate(settings, len(steps)):
        if t.check(t.far.read_until(b"<s%d>" % n, 60) is not None, "<s%d> never came" % n):
            seen(t, name, t.far.settings())
            t.far.send(b"<k%d>" % n)
    t.finish(run)
