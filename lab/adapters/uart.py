"""The UART behind every adapter: the line as its driver programmed it, the chip's own
buffers, and the wire at the far end, with time on the wire as the baud rate makes it.

What the host injects arrives at the programmed rate too. A byte can carry line errors
("parity", "framing", "overrun": a byte was lost just before this one, "break": the byte
reads as 0). When the chip's receive buffer is full an arriving byte is lost and the next
one stored carries an overrun, as in a real chip whose host stopped reading.

Flow control in the chip, when the driver enabled it: "rts-cts" holds output while CTS is
low and drops RTS while the receive buffer is nearly full; "xon-xoff" holds output after an
XOFF from the wire until an XON (the characters still reach the host, like any byte)."""
import collections

ERRORS = ("parity", "framing", "overrun", "break")
PARITIES = ("none", "odd", "even", "mark", "space")
XON, XOFF = 0x11, 0x13


class ByteQueue:
    """Bytes with line errors on some of them: a bytearray, and (position, errors) for the
    few that have any, positions counted from the queue's first byte ever."""

    def __init__(self):
        self.data = bytearray()
        self.errors = collections.deque()
        self.head = 0  # position of data[0]

    def __len__(self):
        return len(self.data)

    def push(self, data, errors=()):
        """`errors`: (offset in `data`, tuple of error names), in order."""
        base = self.head + len(self.data)
        self.data += data
        for offset, kinds in errors:
            if kinds:
                self.errors.append((base + offset, tuple(kinds)))

    def next_error(self):
        """Offset of the first byte with an error, or None."""
        return self.errors[0][0] - self.head if self.errors else None

    def pop(self, n):
        """(bytes, [(offset, errors)]) of the first n bytes."""
        n = min(n, len(self.data))
        data = bytes(self.data[:n])
        del self.data[:n]
        errors = []
        while self.errors and self.errors[0][0] < self.head + n:
            position, kinds = self.errors.popleft()
            errors.append((position - self.head, kinds))
        self.head += n
        return data, errors

    def pop_clean(self, limit):
        """Up to `limit` bytes before the next byte with an error."""
        e = self.next_error()
        return self.pop(limit if e is None else min(limit, e))[0]

    def clear(self):
        self.head += len(self.data)
        self.data.clear()
        self.errors.clear()


class Settings:
    def __init__(self):
        self.baud = 9600
        self.data_bits = 8
        self.parity = "none"
        self.stop_bits = 1  # 1, 1.5 or 2

    def char_bits(self):
        """Start, data, parity and stop bits: one character's time on the wire in bits."""
        return 1 + self.data_bits + (self.parity != "none") + self.stop_bits

    def char_seconds(self):
        return self.char_bits() / max(self.baud, 1)


class Uart:
    def __init__(self, tx_size, rx_size):
        self.tx_size, self.rx_size = tx_size, rx_size
        self.settings = Settings()
        self.dtr = self.rts = False
        self.break_on = False
        self._flow = set()  # "rts-cts", "xon-xoff"
        self.xon, self.xoff = XON, XOFF
        self.inputs = {"cts": True, "dsr": True, "ri": False, "dcd": True}
        self.far_obeys_rts = False  # the far end holds its bytes while our RTS is low
        self.tx = bytearray()  # written by the driver, not yet on the wire
        self.rx = ByteQueue()  # received, not yet taken by the driver
        self.incoming = ByteQueue()  # the far end's bytes on their way in
        self.wire = bytearray()  # on the wire since the last take_wire()
        self.xoff_held = False
        self.rx_since = 0.0  # when the receive buffer last went from empty to not
        self.lost = False  # a byte was dropped: the next one stored is an overrun
        self._out_at = None  # when the character now leaving started; None: idle
        self._free_at = 0.0  # when the last character sent ended
        self._resume_at = None  # when an XON released held output
        self._in_at = None
        self.sent = self.received = self.overruns = 0

    @property
    def flow(self):
        return self._flow

    @flow.setter
    def flow(self, modes):
        # A chip that stops obeying XON/XOFF forgets an XOFF it had: ftdi_sio switches flow
        # control off at every close, and the next open must not find output held.
        if "xon-xoff" not in modes:
            self.xoff_held = False
        self._flow = set(modes)

    # -- what the driver sees ---------------------------------------------------------------

    def tx_room(self):
        return self.tx_size - len(self.tx)

    def rx_nearly_full(self):
        return len(self.rx) >= self.rx_size - max(4, self.rx_size // 8)

    def rts_line(self):
        """RTS at the pin: with the chip's own handshake it also drops on a full buffer."""
        if "rts-cts" in self.flow:
            return self.rts and not self.rx_nearly_full()
        return self.rts

    def can_send(self):
        if self.break_on:
            return False
        if "rts-cts" in self.flow and not self.inputs["cts"]:
            return False
        return not ("xon-xoff" in self.flow and self.xoff_held)

    def take(self, data, at):
        """The driver's bytes into the transmit buffer (the caller checked the room), there
        since `at`: an idle line starts on them then, or when its last character ended."""
        self.tx += data
        if self._out_at is None and self.can_send():
            self._out_at = max(at, self._free_at)

    def purge(self, tx=True, rx=True):
        if tx:
            self.tx.clear()
            self._out_at = None
        if rx:
            self.rx.clear()

    # -- the far end ------------------------------------------------------------------------

    def inject(self, data, errors, now):
        self.incoming.push(data, errors)
        if self._in_at is None:
            self._in_at = now

    def take_wire(self):
        data = bytes(self.wire)
        self.wire.clear()
        return data

    def state(self):
        """What the driver programmed, as the far end reads it back."""
        s = self.settings
        return {"baud": s.baud, "data_bits": s.data_bits, "parity": s.parity,
                "stop_bits": s.stop_bits, "dtr": int(self.dtr), "rts": int(self.rts),
                "flow": "+".join(sorted(self.flow)) or "none", "break": int(self.break_on)}

    # -- time -------------------------------------------------------------------------------

    def busy(self):
        """Whether time passing changes anything."""
        return (bool(self.tx) and self.can_send()) or (bool(self.incoming) and self._may_receive())

    def _may_receive(self):
        return not self.far_obeys_rts or self.rts_line()

    def advance(self, now, reader=True):
        """Moves the line on to `now`. Without a `reader` (the driver has stopped taking
        bytes) what does not fit in the receive buffer is lost; with one it waits, since
        the chip would have handed bytes over in between."""
        char = self.settings.char_seconds()
        mask = (1 << self.settings.data_bits) - 1
        self._advance_in(now, char, mask, reader)
        self._advance_out(now, char, mask)

    def _advance_out(self, now, char, mask):
        if not self.tx or not self.can_send():
            self._out_at = None
            return
        if self._out_at is None:
            # Held until now, or since an XON that came in meanwhile.
            self._out_at = now if self._resume_at is None else max(self._resume_at, self._free_at)
        self._resume_at = None
        n = min(int((now - self._out_at) / char), len(self.tx))
        if n <= 0:
            return
        out = bytes(self.tx[:n])
        del self.tx[:n]
        self.wire += out if mask == 0xFF else bytes(b & mask for b in out)
        self.sent += n
        self._out_at += n * char
        if not self.tx:
            self._free_at, self._out_at = self._out_at, None

    def _advance_in(self, now, char, mask, reader):
        if not self.incoming or not self._may_receive():
            self._in_at = None
            return
        if self._in_at is None:
            self._in_at = now
        n = min(int((now - self._in_at) / char), len(self.incoming))
        if reader:
            n = min(n, self.rx_size - len(self.rx))
        if n <= 0:
            return
        start = self._in_at
        self._in_at = self._in_at + n * char if len(self.incoming) > n else None
        data, errors = self.incoming.pop(n)
        if mask != 0xFF:
            data = bytes(b & mask for b in data)
        if errors:
            data = bytearray(data)
            for offset, kinds in errors:
                if "break" in kinds:
                    data[offset] = 0
        if "xon-xoff" in self.flow:
            last_on, last_off = data.rfind(self.xon), data.rfind(self.xoff)
            if last_on >= 0 or last_off >= 0:
                if self.xoff_held and last_on > last_off:
                    self._resume_at = start + (last_on + 1) * char
                self.xoff_held = last_off > last_on
        self._store(bytes(data), errors, now)

    def _store(self, data, errors, now):
        room = self.rx_size - len(self.rx)
        kept = data[:max(room, 0)]
        kept_errors = [(o, k) for o, k in errors if o < len(kept)]
        if kept and self.lost:
            if kept_errors and kept_errors[0][0] == 0:
                kept_errors[0] = (0, tuple(set(kept_errors[0][1]) | {"overrun"}))
            else:
                kept_errors.insert(0, (0, ("overrun",)))
            self.lost = False
        if kept and not self.rx:
            self.rx_since = now
        self.rx.push(kept, kept_errors)
        self.received += len(kept)
        if len(kept) < len(data):
            self.lost = True
            self.overruns += 1
