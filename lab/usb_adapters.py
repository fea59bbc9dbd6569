"""The software USB serial adapters (lab/adapters) seen from the host: the device program,
started on the guest shell of the "adapters" virtio-serial port and spoken to over the same
stream, and one far end per adapter.

An AdapterFarEnd does what labvm.FarEnd does (send, send_break, read_until, read_count,
take_all, clear, closed), and more: line errors on chosen bytes, the modem inputs, a stall,
unplug and replug, and what the driver programmed, read back. Everything the chip puts on
its line arrives paced at the programmed rate, 7-bit settings masking the eighth bit."""
import base64
import json
import os
import threading
import time

from labvm import LAB_DIR, LabError, Received, _connect, _recv

SERVE = LAB_DIR + "/adapters/serve.py"
ERRORS = ("parity", "framing", "overrun", "break")


def error_list(errors):
    """[[offset, [kinds]]] from {offset: kind or kinds} or [(offset, kind or kinds)]."""
    items = errors.items() if isinstance(errors, dict) else errors or ()
    out = []
    for offset, kinds in sorted(items):
        kinds = [kinds] if isinstance(kinds, str) else list(kinds)
        for kind in kinds:
            if kind not in ERRORS:
                raise ValueError("unknown line error %r (one of %s)" % (kind, ", ".join(ERRORS)))
        out.append([offset, kinds])
    return out


def same_rate(actual, wanted, tolerance=0.03):
    """Whether a chip's rate is the one asked for, as closely as a UART needs (chips make
    rates from divisors: an FT232R makes 115385 for 115200)."""
    return abs(actual - wanted) <= wanted * tolerance


class AdapterLink:
    """The device program: one JSON object a line each way."""

    def __init__(self, path, deadline, log=print):
        self.log = log
        self.sock = _connect(path, deadline)
        self.far = {}  # family -> AdapterFarEnd
        self.closed = False
        self._cond = threading.Condition()
        self._events = []
        self._count = 0
        self._send_lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            chunk = _recv(self.sock)
            if not chunk:
                break
            buf += chunk
            *lines, buf = buf.split(b"\n")
            for line in lines:
                line = line.strip()
                if line.startswith(b"{"):
                    self._event(json.loads(line))
        with self._cond:
            self.closed = True
            self._cond.notify_all()
        for far in self.far.values():
            far._ended()

    def _event(self, e):
        far = self.far.get(e.get("a"))
        kind = e["ev"]
        if kind == "wire" and far:
            far._arrived(base64.b64decode(e["d"]))
            return
        if kind == "state" and far:
            far._state(e["s"])
            return
        if kind == "tty" and far:
            far.device.path = "/dev/" + e["tty"]
        if kind == "error":
            self.log("lab: the adapters' program: %s" % e.get("msg"))
        with self._cond:
            self._events.append(e)
            self._cond.notify_all()

    def command(self, op, **fields):
        if self.closed:
            raise LabError("the adapters' program has ended")
        fields["op"] = op
        with self._send_lock:
            self.sock.sendall((json.dumps(fields) + "\n").encode())

    def wait_event(self, match, timeout):
        """The first event (removed) for which `match(event)` holds, or None."""
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                for i, e in enumerate(self._events):
                    if match(e):
                        return self._events.pop(i)
                left = end - time.monotonic()
                if left <= 0 or self.closed:
                    return None
                self._cond.wait(min(left, 0.5))

    def call(self, op, reply, timeout=30, **fields):
        """A command and its numbered answer."""
        self._count += 1
        n = self._count
        self.command(op, n=n, **fields)
        e = self.wait_event(lambda e: e["ev"] == reply and e.get("n") == n, timeout)
        if e is None:
            raise LabError("the adapters' program did not answer %s" % op)
        return e

    def sync(self, timeout=30):
        """Returns once everything the program sent before now has been taken in."""
        self.call("ping", "pong", timeout)

    def stats(self):
        return self.call("stats", "stats")

    def start(self, devices, timeout):
        """Starts the program and plugs `devices` in order; {device: None, or why it
        could not be plugged}."""
        # Ahead of the program under test: a driver's control request waits for the answer
        # (pl2303's for 100 ms only).
        trace = os.environ.get("VELMORA_ADAPTERS_TRACE")  # a guest path: every USB request
        self.sock.sendall(("%sexec nice -n -10 /usr/bin/python3 -u %s\n" % (
            "VELMORA_ADAPTERS_TRACE=%s " % trace if trace else "", SERVE)).encode())
        if self.wait_event(lambda e: e["ev"] == "hello", timeout) is None:
            raise LabError("the adapters' program did not start")
        for device in devices:
            self.far[device.family] = AdapterFarEnd(self, device)
        self.command("plug", adapters=[d.family for d in devices])
        end = time.monotonic() + timeout
        result = {}
        for device in devices:
            e = self.wait_event(lambda e: e.get("a") == device.family and
                                e["ev"] in ("tty", "plug-failed"), end - time.monotonic())
            if e is None:
                result[device] = "no tty within %d s of the plug" % timeout
            elif e["ev"] == "tty":
                result[device] = None
                device.plug_seconds = e["seconds"]
            else:
                result[device] = e["why"]
        return result

    def close(self):
        try:
            self.command("quit")
        except (OSError, LabError):
            pass
        self.sock.close()


class AdapterFarEnd(Received):
    def __init__(self, link, device):
        super().__init__()
        self.link = link
        self.device = device
        self.family = device.family
        self.plugged = True
        self.history = []  # (host time, what the driver had programmed), every change
        self._state_cond = threading.Condition()

    def _command(self, op, **fields):
        self.link.command(op, a=self.family, **fields)

    def _state(self, s):
        with self._state_cond:
            self.history.append((time.monotonic(), s))
            self._state_cond.notify_all()

    # -- the far end's side of the line --------------------------------------------------

    def send(self, data, errors=None):
        """Sends bytes to the device, paced at its rate. `errors` puts line errors on
        chosen bytes: {offset: "parity" | "framing" | "overrun" | "break", or a tuple}.
        An overrun means a byte was lost just before this one; a break byte reads as 0."""
        self._command("send", d=base64.b64encode(bytes(data)).decode(), e=error_list(errors))

    def send_break(self):
        self.send(b"\0", {0: "break"})

    def set_lines(self, cts=None, dsr=None, ri=None, dcd=None):
        """The device's modem inputs (None: unchanged). A quiet far end has CTS, DSR and DCD
        high and RI low, as QEMU's devices report."""
        self._command("lines", cts=cts, dsr=dsr, ri=ri, dcd=dcd)

    def stall(self):
        """The device takes no more bytes: every bulk OUT transfer is held."""
        self._command("stall", on=1)

    def release(self):
        self._command("stall", on=0)

    def obey_rts(self, on=True):
        """Whether the far end holds its bytes while the device's RTS is low."""
        self._command("obey_rts", on=int(on))

    def reset(self):
        """A quiet far end again: lines as at the start, no stall, nothing on its way in."""
        self._command("reset")
        self.clear()

    # -- what the driver programmed ----------------------------------------------------------

    def settings(self):
        """What the driver has programmed by now: baud (the rate the chip makes),
        data_bits, parity ("none", "odd", "even", "mark", "space"), stop_bits (1, 1.5, 2),
        dtr, rts (0 or 1), flow ("none", "rts-cts", "xon-xoff", or both joined by "+"),
        break (0 or 1)."""
        self.link.sync()
        with self._state_cond:
            return dict(self.history[-1][1]) if self.history else {}

    def wait_settings(self, predicate, timeout):
        """The first settings for which `predicate` holds, waiting up to `timeout`; None."""
        end = time.monotonic() + timeout
        with self._state_cond:
            seen = 0
            while True:
                for _, s in self.history[seen:]:
                    if predicate(s):
                        return dict(s)
                seen = len(self.history)
                left = end - time.monotonic()
                if left <= 0 or self.link.closed:
                    return None
                self._state_cond.wait(min(left, 0.5))

    # -- the plug ----------------------------------------------------------------------------

    def unplug(self, timeout=30):
        """Pulls the adapter out; returns once vhci shows its port free."""
        self._command("unplug")
        self.plugged = False
        if self.link.wait_event(lambda e: e.get("a") == self.family and e["ev"] == "gone",
                                timeout) is None:
            raise LabError("%s did not go away" % self.family)

    def replug(self, timeout=60):
        """Plugs it back in; the device's path once its driver has bound (the next free
        name while the old one is still held open)."""
        self._command("replug")
        e = self.link.wait_event(lambda e: e.get("a") == self.family and
                                 e["ev"] in ("tty", "plug-failed"), timeout)
        if e is None or e["ev"] != "tty":
            raise LabError("%s did not come back: %s" % (self.family, e and e.get("why")))
        self.plugged = True
        return self.device.path
