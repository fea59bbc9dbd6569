"""Bytes from the far side of a line, gathered as they arrive, and the ways a case waits
for them."""
import threading
import time

from waiting import until


class Received:
    def __init__(self):
        self._cond = threading.Condition()
        self._buf = bytearray()
        self.closed = False

    def _arrived(self, chunk):
        with self._cond:
            self._buf += chunk
            self._cond.notify_all()

    def _ended(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def clear(self):
        with self._cond:
            self._buf.clear()

    def take_all(self):
        with self._cond:
            data = bytes(self._buf)
            self._buf.clear()
            return data

    def read_until(self, marker, timeout):
        """What arrived up to and including `marker` (removed from the buffer), or None."""
        def found():
            at = self._buf.find(marker)
            if at < 0:
                return None
            data = bytes(self._buf[:at + len(marker)])
            del self._buf[:at + len(marker)]
            return data
        with self._cond:
            return until(found, timeout, self._cond, lambda: self.closed)

    def read_count(self, count, timeout, idle=None):
        """`count` bytes, or fewer when `timeout` (or `idle` seconds without a byte) passes."""
        last = {"size": -1, "at": 0.0}

        def done():
            now = time.monotonic()
            if len(self._buf) != last["size"]:
                last["size"], last["at"] = len(self._buf), now
            if len(self._buf) >= count or (idle is not None and now - last["at"] >= idle):
                return True
            return None
        with self._cond:
            until(done, timeout, self._cond, lambda: self.closed, step=0.2)
            data = bytes(self._buf[:count])
            del self._buf[:count]
            return data
