"""An adapter: a USB device whose bulk endpoints lead to a UART. The chip families say how
their driver's requests program the UART and how received bytes, line errors and modem
lines travel back; this is the rest.

Bulk OUT transfers go into the chip's transmit buffer one USB packet at a time, while a
whole packet fits; a transfer that does not fit, or any transfer while the device is
stalled, is held (on the bus: NAKed) until it does. Bulk IN and interrupt IN transfers are
held until the chip has something to say."""
import collections
import time

from uart import Uart
from usbip import STALL, Descriptors

# Between two pumps the line may drain at most a quarter of the smaller chip buffer, so
# that a small buffer never leaves the line idle; the bounds keep the cost sane.
TICK_MIN, TICK_MAX = 0.001, 0.020
READER_GONE = 0.05  # no bulk IN transfer for this long: the driver has stopped reading


class Adapter:
    family = None  # the label cases know the device by
    tx_size = rx_size = 0
    packet = 64  # bulk packet size
    bulk_in = bulk_out = interrupt_in = None  # endpoint numbers
    # How long received bytes short of a packet wait before they are sent: a chip hands
    # over what it has when the host polls, but each transfer costs this program far more
    # than a bus frame, so bytes trickling in are gathered for a few milliseconds.
    latency = 0.004

    def __init__(self, port):
        self.port = port
        self.uart = Uart(self.tx_size, self.rx_size)
        self.conn = None
        self.out_queue = collections.deque()
        self.in_queue = collections.deque()
        self.int_queue = collections.deque()
        self.stalled = False
        self.tty = None
        device, config, strings = self.describe()
        self.descriptors = Descriptors(device, config, strings)
        self.timers = []  # (when, function): a family's own timed events
        self.last_read = 0.0
        self.due = None  # when pump() has work again
        self.now = 0.0
        self.changes = 0  # counts control requests and timed events: the state may differ

    # -- the family's part ------------------------------------------------------------------

    def describe(self):
        """(device descriptor, configuration descriptor, strings)."""
        raise NotImplementedError

    def request(self, setup, data, now):
        """A class or vendor control request: IN data, b"" for a done OUT, None to stall."""
        raise NotImplementedError

    def deliver(self):
        """Answers held bulk IN (and interrupt IN) transfers from the receive buffer;
        whether it answered any."""
        raise NotImplementedError

    def notify(self):
        """Answers a held interrupt IN transfer when the modem lines have changed."""

    def announce(self, kinds):
        """For deliver_announcing_errors: answers the held interrupt IN transfer with the
        line errors `kinds` of the next byte; whether that byte is then delivered."""
        raise NotImplementedError

    def deliver_announcing_errors(self):
        """deliver() for a chip that announces line errors on its interrupt endpoint
        (PL2303, CDC-ACM): bytes without an error go in bulk; a byte with one goes alone,
        once its announcement has gone, so the driver pairs the two."""
        moved = False
        rx = self.uart.rx
        while self.in_queue and self.rx_ready():
            if rx.next_error() != 0:
                req = self.in_queue.popleft()
                self.reply(req, rx.pop_clean(req.length))
                moved = True
                continue
            if not self.int_queue:
                break  # the announcement goes first
            data, errors = rx.pop(1)
            if self.announce(errors[0][1]):
                self.reply(self.in_queue.popleft(), data)
            moved = True
        return moved

    # -- USB --------------------------------------------------------------------------------

    def on_submit(self, req, now=None):
        now = time.monotonic() if now is None else now
        req.arrived = now
        if req.ep == 0:
            self._control(req, now)
        elif req.is_in and req.ep == self.bulk_in:
            self.in_queue.append(req)
            self.last_read = now
        elif req.is_in and req.ep == self.interrupt_in:
            self.int_queue.append(req)
        elif not req.is_in and req.ep == self.bulk_out:
            self.out_queue.append(req)
        else:
            self.conn.reply(req, STALL)
            return
        self.pump(now)

    def on_unlink(self, req):
        for queue in (self.out_queue, self.in_queue, self.int_queue):
            if req in queue:
                queue.remove(req)

    def _control(self, req, now):
        self.changes += 1
        setup = req.setup
        if setup.kind == "standard":
            status, data = self.descriptors.standard(setup)
        else:
            data = self.request(setup, req.data, now)
            status = STALL if data is None else 0
            data = data or b""
        self.conn.reply(req, status, data[:setup.length] if setup.device_to_host else b"")
        self.pump(now)

    def reply(self, req, data=b"", status=0):
        return self.conn.reply(req, status, data)

    # -- time and data ----------------------------------------------------------------------

    def pump(self, now):
        """Moves everything along: the line, the driver's writes, replies to held reads.
        Writes and reads alternate with the line until neither moves, so that a small
        chip buffer keeps the line busy between ticks as it would in real time."""
        if self.conn is None or self.conn.closed:
            return
        self.now = now
        reader = bool(self.in_queue) or now - self.last_read < READER_GONE
        for _ in range(256):
            self.uart.advance(now, reader)
            moved = self._accept_writes()
            moved = self.deliver() or moved
            if not moved:
                break
        self.notify()
        for t in [t for t in self.timers if t[0] <= now]:
            self.timers.remove(t)
            t[1](now)
            self.changes += 1
        self.due = None
        if self.uart.busy() or (self.out_queue and not self.stalled):
            chars = min(self.tx_size, self.rx_size) / 4
            tick = chars * self.uart.settings.char_seconds()
            self.due = now + min(max(tick, TICK_MIN), TICK_MAX)
        if self.in_queue and self.uart.rx:
            held = self.uart.rx_since + self.latency
            self.due = held if self.due is None else min(self.due, held)

    def rx_ready(self):
        """Whether received bytes go to the host now: a packet's worth, an error to tell,
        or the latency has passed."""
        rx = self.uart.rx
        return bool(rx) and (len(rx) >= self.packet or rx.next_error() is not None or
                             self.now >= self.uart.rx_since + self.latency)

    def _accept_writes(self):
        uart = self.uart
        moved = False
        while self.out_queue and not self.stalled:
            req = self.out_queue[0]
            left = len(req.data) - req.taken
            room = uart.tx_room()
            n = left if left <= room else room // self.packet * self.packet
            if n <= 0:
                break
            uart.take(req.data[req.taken:req.taken + n], req.arrived)
            req.taken += n
            moved = True
            if req.taken < len(req.data):
                break
            self.out_queue.popleft()
            self.reply(req)
        return moved

    def next_wakeup(self):
        """When time passing next changes something (the next pump is due), or None."""
        times = [t[0] for t in self.timers]
        if self.due is not None:
            times.append(self.due)
        return min(times) if times else None

    def set_stall(self, on, now):
        self.stalled = bool(on)
        self.pump(now)

    def set_inputs(self, now, **levels):
        self.uart.advance(now)
        for name, level in levels.items():
            if level is not None:
                self.uart.inputs[name] = bool(level)
        self.pump(now)

    def reset_far_end(self, now):
        """Back to a quiet far end between cases: lines high (RI low), nothing queued."""
        self.stalled = False
        self.uart.inputs.update(cts=True, dsr=True, ri=False, dcd=True)
        self.uart.incoming.clear()
        self.uart.far_obeys_rts = False
        self.pump(now)

    def detach(self):
        self.out_queue.clear()
        self.in_queue.clear()
        self.int_queue.clear()
        self.timers.clear()
        if self.conn is not None:
            self.conn.close()
