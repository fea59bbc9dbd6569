"""The far end of one port of a software adapter, played by the host through the adapters'
program (adapter_link.AdapterLink). It does what QEMU's far ends do (send, send_break,
read_until, read_count, take_all, clear), and more: line errors on chosen bytes, the
modem inputs, a stall, unplug and replug, and what the driver programmed, read back.
Everything the chip puts on its line arrives paced at the programmed rate, 7-bit
settings masking the eighth bit."""
import base64
import threading
import time

from layout import LabError
from received import Received
from waiting import until

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


class AdapterFarEnd(Received):
    def __init__(self, link, device):
        super().__init__()
        self.link = link
        self.device = device
        self.family = device.family
        self.history = []  # (host time, what the driver had programmed), every change
        self._state_cond = threading.Condition()

    def _command(self, op, **fields):
        self.link.command(op, a=self.family, p=self.device.port, **fields)

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
        seen = [0]

        def found():
            for _, s in self.history[seen[0]:]:
                if predicate(s):
                    return dict(s)
            seen[0] = len(self.history)
            return None
        with self._state_cond:
            return until(found, timeout, self._state_cond, lambda: self.link.closed)

    # -- the plug: the whole adapter, every port of it -----------------------------------------

    @property
    def plugged(self):
        return self.link.plugged.get(self.family, False)

    def unplug(self, timeout=30):
        """Pulls the adapter out; returns once vhci shows its port free."""
        self._command("unplug")
        self.link.plugged[self.family] = False
        if self.link.wait_event(lambda e: e.get("a") == self.family and e["ev"] == "gone",
                                timeout) is None:
            raise LabError("%s did not go away" % self.family)

    def replug(self, timeout=60):
        """Plugs it back in; this port's path once its driver has bound every port (a name
        still held open is not given again: the port then comes back under another)."""
        self._command("replug")
        why = self.link.wait_plugged(self.family, timeout)
        if why is not None:
            raise LabError("%s did not come back: %s" % (self.family, why))
        self.link.plugged[self.family] = True
        return self.device.path
