"""An adapter: a USB device whose bulk endpoints lead to one UART per serial port. The chip
families (chips/) say how their driver's requests program each UART and how received
bytes, line errors and modem lines travel back; this is the rest.

Each family's class carries its record (family.py): the buffer sizes here come from it.
Bulk OUT transfers go into the port's transmit buffer one USB packet at a time, while a
whole packet fits; a transfer that does not fit, or any transfer while the port's device
side is stalled, is held (on the bus: NAKed) until it does. Bulk IN and interrupt IN
transfers are held until the chip has something to say."""
import collections
import time

from uart import Uart
from usbip import STALL, Descriptors

# Between two pumps the line may drain at most a quarter of the smaller chip buffer, so
# that a small buffer never leaves the line idle; the bounds keep the cost sane.
TICK_MIN, TICK_MAX = 0.001, 0.020
# No bulk IN transfer for this long: the driver has stopped reading. The emulated guest can
# take tens of milliseconds to hand a completed transfer back; bytes wait for it meanwhile.
READER_GONE = 1.0


class Port:
    """One serial port of an adapter: its UART, the endpoints that lead to it, the
    transfers held on them, and when its line next needs looking at."""

    def __init__(self, index, record, endpoints, latency):
        self.index = index
        self.uart = Uart(record["tx_buffer"], record["rx_buffer"])
        self.bulk_in, self.bulk_out, self.interrupt_in = endpoints
        self.out_queue = collections.deque()
        self.in_queue = collections.deque()
        self.int_queue = collections.deque()
        self.stalled = False
        self.last_read = 0.0
        self.due = None  # when the line has work again
        # How long received bytes short of a packet wait before they are sent: a chip
        # hands over what it has when the host polls, but each transfer costs this
        # program far more than a bus frame, so bytes trickling in are gathered.
        self.latency = latency
        self.tty = None

    def queues(self):
        return (self.out_queue, self.in_queue, self.int_queue)


class Adapter:
    record = None  # the family's record (family.record)
    # One (bulk IN, bulk OUT, interrupt IN or None) per serial port, in port order.
    endpoints = ()
    packet = 64  # bulk packet size
    latency = 0.004
    port_class = Port

    def __init__(self, number):
        self.number = number  # the vhci port it is plugged into
        self.ports = [self.port_class(i, self.record, eps, self.latency)
                      for i, eps in enumerate(self.endpoints)]
        self.conn = None
        device, config, strings = self.describe()
        self.descriptors = Descriptors(device, config, strings)
        self.timers = []  # (when, function): a family's own timed events
        self.now = 0.0
        self.changes = 0  # counts control requests and timed events: a state may differ

    @property
    def uart(self):
        """The UART of a single-port chip."""
        return self.ports[0].uart

    # -- the family's part ------------------------------------------------------------------

    def describe(self):
        """(device descriptor, configuration descriptor, strings)."""
        raise NotImplementedError

    def request(self, setup, data, now):
        """A class or vendor control request: IN data, b"" for a done OUT, None to stall."""
        raise NotImplementedError

    def deliver(self, port):
        """Answers the port's held bulk IN (and interrupt IN) transfers from its receive
        buffer; whether it answered any."""
        raise NotImplementedError

    def notify(self, port):
        """Answers a held interrupt IN transfer when the port's modem lines have changed."""

    def announce(self, port, kinds):
        """For deliver_announcing_errors: answers the held interrupt IN transfer with the
        line errors `kinds` of the next byte; whether that byte is then delivered."""
        raise NotImplementedError

    def deliver_announcing_errors(self, port):
        """deliver() for a chip that announces line errors on its interrupt endpoint
        (PL2303, CDC-ACM): bytes without an error go in bulk; a byte with one goes alone,
        once its announcement has gone, so the driver pairs the two."""
        moved = False
        rx = port.uart.rx
        while port.in_queue and self.rx_ready(port):
            if rx.next_error() != 0:
                req = port.in_queue.popleft()
                self.reply(req, rx.pop_clean(req.length))
                moved = True
                continue
            if not port.int_queue:
                break  # the announcement goes first
            data, errors = rx.pop(1)
            if self.announce(port, errors[0][1]):
                self.reply(port.in_queue.popleft(), data)
            moved = True
        return moved

    # -- USB --------------------------------------------------------------------------------

    def on_submit(self, req, now=None):
        now = time.monotonic() if now is None else now
        req.arrived = now
        if req.ep == 0:
            self._control(req, now)
            return
        for port in self.ports:
            if req.is_in and req.ep == port.bulk_in:
                port.in_queue.append(req)
                port.last_read = now
            elif req.is_in and req.ep == port.interrupt_in:
                port.int_queue.append(req)
            elif not req.is_in and req.ep == port.bulk_out:
                port.out_queue.append(req)
            else:
                continue
            self.pump(now)
            return
        self.conn.reply(req, STALL)

    def on_unlink(self, req):
        for port in self.ports:
            for queue in port.queues():
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
        """Moves everything along on every port: the line, the driver's writes, replies to
        held reads. Writes and reads alternate with the line until neither moves, so that
        a small chip buffer keeps the line busy between ticks as it would in real time."""
        if self.conn is None or self.conn.closed:
            return
        self.now = now
        for port in self.ports:
            self._pump_port(port, now)
        for t in [t for t in self.timers if t[0] <= now]:
            self.timers.remove(t)
            t[1](now)
            self.changes += 1

    def _pump_port(self, port, now):
        uart = port.uart
        reader = bool(port.in_queue) or now - port.last_read < READER_GONE
        for _ in range(256):
            uart.advance(now, reader)
            moved = self._accept_writes(port)
            moved = self.deliver(port) or moved
            if not moved:
                break
        self.notify(port)
        port.due = None
        if uart.busy() or (port.out_queue and not port.stalled):
            chars = min(uart.tx_size, uart.rx_size) / 4
            tick = chars * uart.settings.char_seconds()
            port.due = now + min(max(tick, TICK_MIN), TICK_MAX)
        if port.in_queue and uart.rx:
            held = uart.rx_since + port.latency
            port.due = held if port.due is None else min(port.due, held)

    def rx_ready(self, port):
        """Whether received bytes go to the host now: a packet's worth, an error to tell,
        or the latency has passed."""
        rx = port.uart.rx
        return bool(rx) and (len(rx) >= self.packet or rx.next_error() is not None or
                             self.now >= port.uart.rx_since + port.latency)

    def _accept_writes(self, port):
        uart = port.uart
        moved = False
        while port.out_queue and not port.stalled:
            req = port.out_queue[0]
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
            port.out_queue.popleft()
            self.reply(req)
        return moved

    def next_wakeup(self):
        """When time passing next changes something (the next pump is due), or None."""
        times = [t[0] for t in self.timers] + [p.due for p in self.ports if p.due is not None]
        return min(times) if times else None

    # -- the far end ------------------------------------------------------------------------

    def set_stall(self, port, on, now):
        port.stalled = bool(on)
        self.pump(now)

    def set_inputs(self, port, now, **levels):
        port.uart.advance(now)
        for name, level in levels.items():
            if level is not None:
                port.uart.inputs[name] = bool(level)
        self.pump(now)

    def reset_far_end(self, port, now):
        """Back to a quiet far end between cases: lines high (RI low), nothing queued."""
        port.stalled = False
        port.uart.inputs.update(cts=True, dsr=True, ri=False, dcd=True)
        port.uart.incoming.clear()
        port.uart.far_obeys_rts = False
        self.pump(now)

    def detach(self):
        for port in self.ports:
            for queue in port.queues():
                queue.clear()
        self.timers.clear()
        if self.conn is not None:
            self.conn.close()
