"""vhci-hcd and a driver, as far as the unit tests need them: requests go straight to an
adapter and its answers are kept, on a clock the test moves."""
import os
import sys

ADAPTERS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ADAPTERS, os.path.join(ADAPTERS, "chips")]

import usbip  # noqa: E402


class Bus:
    def __init__(self, adapter_class):
        self.now = 100.0
        self.adapter = adapter_class(0)
        self.adapter.conn = self
        self.closed = False
        self.answers = {}  # seqnum -> (status, data)
        self.order = []  # seqnums in the order answered
        self.seq = 0

    def reply(self, req, status=0, data=b""):
        """The adapter's side: what it answers."""
        self.answers[req.seqnum] = (status, bytes(data))
        self.order.append(req.seqnum)
        return True

    def submit(self, ep, is_in, length, data=b"", setup=b"\0" * 8):
        self.seq += 1
        req = usbip.Submit(self.seq, 0, usbip.DIR_IN if is_in else usbip.DIR_OUT, ep, 0, length,
                           0, 0, 0, setup, data)
        self.adapter.on_submit(req, self.now)
        return req

    def control(self, request_type, request, value=0, index=0, data=b"", length=None):
        """A control request; (status, data) of its answer, which must come at once."""
        is_in = bool(request_type & 0x80)
        length = len(data) if length is None else length
        req = self.submit(0, is_in, length, b"" if is_in else data,
                          usbip.pack_setup(request_type, request, value, index, length))
        return self.answers.pop(req.seqnum)

    def answer(self, req):
        """The data of an answered IN request (None while it is held)."""
        got = self.answers.pop(req.seqnum, None)
        return None if got is None else got[1]

    def later(self, seconds):
        self.now += seconds
        self.adapter.pump(self.now)

    def receive(self, data, errors=(), port=0):
        """The far end sends `data` to a port; time passes until the chip has all of it and
        its latency has passed."""
        port = self.adapter.ports[port]
        port.uart.inject(data, errors, self.now)
        self.later(len(data) * port.uart.settings.char_seconds() + 0.001)
        self.later(port.latency)
