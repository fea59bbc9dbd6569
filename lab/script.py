"""Console scripts for the lab: statements written the way `velmora run` shows them,
each with the answer a case wants, and the run's output read back against them."""
import re


def describe(data):
    """A text as the console shows it (and reads it back)."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    out = ['"']
    for b in data:
        c = chr(b)
        if c == "\r":
            out.append("\\r")
        elif c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif c == "\\":
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif b < 0x20 or b >= 0x7F:
            out.append("\\x%02X" % b)
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


_ESCAPES = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}


def undescribe(shown):
    """The bytes of a text as the console shows it (with its quotes)."""
    body = shown[1:-1]
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("latin-1")
            i += 1
        elif body[i + 1] == "x":
            out.append(int(body[i + 2:i + 4], 16))
            i += 4
        else:
            out += _ESCAPES[body[i + 1]].encode("latin-1")
            i += 2
    return bytes(out)


class Statement:
    """One script line. `want` is the answer wanted: an int, bytes for a text, "ok" for an
    expect, a function of the answer that says whether it is right, or None (any)."""

    def __init__(self, text, shown, want=None, within_ms=None):
        self.text = text
        self.shown = shown
        self.want = want
        self.within_ms = within_ms
        self.answer = None  # int, bytes, or "ok"/"FAILED" for an expect
        self.ms = None

    def check(self):
        """What is wrong with the answer, or None."""
        if self.answer is None:
            return "%s: no answer" % self.short()
        if self.within_ms is not None and self.ms is not None and self.ms > self.within_ms:
            return "%s took %.0f ms (limit %d ms)" % (self.short(), self.ms, self.within_ms)
        w = self.want
        if w is None:
            return None
        ok = w(self.answer) if callable(w) else self.answer == w
        if ok:
            return None
        return "%s answered %s, wanted %s" % (self.short(), _short(self.answer),
                                              "another answer" if callable(w) else _short(w))

    def short(self):
        return self.shown if len(self.shown) < 60 else self.shown[:40] + "...(%d)" % len(self.shown)


def _short(value):
    if isinstance(value, bytes):
        return describe(value) if len(value) < 40 else "%d bytes" % len(value)
    return repr(value)


def _argument(a):
    if isinstance(a, int):
        return str(a)
    return describe(a)


def call(method, *args, want=None, within_ms=None):
    text = method + ("" if not args else " " + ", ".join(_argument(a) for a in args))
    return Statement(text, text, want, within_ms)


def expect(data, ms, want="ok"):
    shown = "expect " + describe(data)
    return Statement("%s %d" % (shown, ms), shown, want)


def wait(ms):
    text = "wait %d" % ms
    return Statement(text, text, None)


def text_of(statements):
    return "".join(s.text + "\n" for s in statements)


_TIMING = re.compile(r" \[([0-9.]+) ms\]$")


def read_answers(statements, lines):
    """Fills in each statement's answer and time from the console's lines, in order.
    Lines that belong to no statement (a runtime's own messages) are passed over."""
    i = 0
    for s in statements:
        while i < len(lines):
            line = lines[i]
            i += 1
            if not line.startswith(s.shown):
                continue
            m = _TIMING.search(line)
            if m:
                s.ms = float(m.group(1))
                line = line[: m.start()]
            rest = line[len(s.shown):]
            if s.shown.startswith("wait "):
                s.answer = "done"
            elif s.shown.startswith("expect "):
                s.answer = "ok" if rest.startswith(" -> ok") else "FAILED"
            elif rest.startswith(" -> "):
                value = rest[4:]
                s.answer = undescribe(value) if value.startswith('"') else (
                    int(value) if re.fullmatch(r"-?[0-9]+", value) else value)
            else:
                continue
            break


def opened(port, baud=115200, flow=0, timeout=None):
    """`new` on `port`, then `baud` with 8 data bits, no parity and one stop bit, flow
    control `flow` (None keeps the handshake `new` switches on) and, unless None, the
    time-out `timeout`: the start of most scripts."""
    return ([call("new", port, 4096, 4096, want="<void>"),
             call("SetCommBaudRate", baud, want=1), call("SetCommDataBits", 8, want=1),
             call("SetCommParity", 0, want=1), call("SetCommStopBits", 0, want=1)] +
            ([] if flow is None else [call("SetCommFlowControl", flow, want=1)]) +
            ([] if timeout is None else [call("SetCommTimeOut", timeout, want=1)]))


def closed():
    """`forget`, which gives the port back."""
    return [call("forget", want=1)]
