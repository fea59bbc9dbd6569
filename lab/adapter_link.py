"""The software adapters' program (lab/adapters/serve.py) seen from the host: started on
the guest shell of the "adapters" virtio-serial port and spoken to over the same stream,
one JSON object a line each way. It announces each family's record, plugs the adapters
in and says which tty each port got; bytes leaving a chip and what its driver programmed
come back as events, handed to that port's far end (adapter_far_end.AdapterFarEnd)."""
import base64
import json
import os
import threading
import time

from adapter_far_end import AdapterFarEnd
from layout import ADAPTERS_PROGRAM, LabError
from streams import connect, read_lines
from waiting import until


class AdapterLink:
    def __init__(self, path, timeout, log=print):
        self.log = log
        self.sock = connect(path, timeout)
        self.closed = False
        self.devices = {}  # (family, port) -> devices.Device
        self.plugged = {}  # family -> whether it is plugged in
        self._cond = threading.Condition()
        self._events = []
        self._count = 0
        self._send_lock = threading.Lock()
        read_lines(self.sock, self._line, self._ended)

    def _line(self, raw):
        raw = raw.strip()
        if raw.startswith(b"{"):
            self._event(json.loads(raw))

    def _ended(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()
        for device in self.devices.values():
            device.far._ended()

    def _event(self, e):
        device = self.devices.get((e.get("a"), e.get("p", 0)))
        kind = e["ev"]
        if kind == "wire" and device:
            device.far._arrived(base64.b64decode(e["d"]))
            return
        if kind == "state" and device:
            device.far._state(e["s"])
            return
        if kind == "tty" and device:
            device.path = "/dev/" + e["tty"]
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
        def found():
            for i, e in enumerate(self._events):
                if match(e):
                    return self._events.pop(i)
            return None
        with self._cond:
            return until(found, timeout, self._cond, lambda: self.closed)

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

    def start(self, timeout):
        """Starts the program; the records of the families it serves, as it announces them."""
        # Ahead of the program under test: a driver's control request waits for the answer
        # (pl2303's for 100 ms only).
        trace = os.environ.get("VELMORA_ADAPTERS_TRACE")  # a guest path: every USB request
        self.sock.sendall(("%sexec nice -n -10 /usr/bin/python3 -u %s\n" % (
            "VELMORA_ADAPTERS_TRACE=%s " % trace if trace else "", ADAPTERS_PROGRAM)).encode())
        hello = self.wait_event(lambda e: e["ev"] == "hello", timeout)
        if hello is None:
            raise LabError("the adapters' program did not start")
        return hello["families"]

    def plug(self, devices, timeout):
        """Plugs in the families of `devices` (a machine's own records of their ports), each
        port getting a far end and the path its driver gave it; {device: None, or why it
        could not be plugged}."""
        families = []
        for device in devices:
            device.far = AdapterFarEnd(self, device)
            self.devices[(device.family, device.port)] = device
            if device.family not in families:
                families.append(device.family)
        self.command("plug", adapters=families)
        result = {}
        for family in families:
            why = self.wait_plugged(family, timeout)
            self.plugged[family] = why is None
            result.update({d: why for d in devices if d.family == family})
        return result

    def wait_plugged(self, family, timeout):
        """Waits for a tty on every port of `family`; None, or why it did not come."""
        ports = [d for d in self.devices.values() if d.family == family]
        waiting = {d.port for d in ports}
        end = time.monotonic() + timeout
        while waiting:
            e = self.wait_event(lambda e: e.get("a") == family and
                                e["ev"] in ("tty", "plug-failed"), end - time.monotonic())
            if e is None:
                return "no tty within %d s of the plug" % timeout
            if e["ev"] == "plug-failed":
                return e["why"]
            waiting.discard(e.get("p", 0))
            for d in ports:
                if d.port == e.get("p", 0):
                    d.plug_seconds = e.get("seconds")
        return None

    def close(self):
        try:
            self.command("quit")
        except (OSError, LabError):
            pass
        self.sock.close()
