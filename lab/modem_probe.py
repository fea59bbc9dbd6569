"""DTR, RTS and the modem inputs of a serial device as the guest's kernel reports them,
asked of lab/guest/modem_lines.py serving on a virtio-serial port of its own: the program
starts once for the whole run, not once a question (each start costs the emulated machine
more than half a second)."""
import os
import threading

from layout import LAB_DIR, LabError
from streams import connect, read_lines
from waiting import until

MODEM_LINES = os.path.join(LAB_DIR, "guest", "modem_lines.py")


class ModemProbe:
    def __init__(self, path, timeout):
        self.sock = connect(path, timeout)
        self.closed = False
        self._answers = []
        self._cond = threading.Condition()
        self._lock = threading.Lock()
        read_lines(self.sock, self._line, self._ended)

    def _line(self, raw):
        with self._cond:
            self._answers.append(raw.decode("utf-8", "replace").strip())
            self._cond.notify_all()

    def _ended(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def _answer(self, timeout):
        with self._cond:
            return until(lambda: self._answers.pop(0) if self._answers else None, timeout,
                         self._cond, lambda: self.closed)

    def start(self, timeout):
        self.sock.sendall(("exec /usr/bin/python3 -u %s --serve\n" % MODEM_LINES).encode())
        if self._answer(timeout) != "ready":
            raise LabError("the guest's modem line probe did not start")

    def levels(self, path, timeout=30):
        """{"DTR": "1", "RTS": "0", "CTS": ..., "DSR": ..., "CD": ..., "RI": ...}."""
        with self._lock:
            self.sock.sendall(("%s\n" % path).encode())
            answer = self._answer(timeout)
        if answer is None or answer.startswith("error: "):
            raise LabError("TIOCMGET on %s: %s" % (path, answer or "no answer"))
        return dict(item.split("=") for item in answer.split())
