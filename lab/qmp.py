"""QEMU's machine protocol (QMP): commands and their answers, and the events it reports,
read on a thread of their own."""
import json
import threading

from layout import LabError
from streams import connect, read_lines
from waiting import until


class Qmp:
    def __init__(self, path, timeout):
        self.sock = connect(path, timeout)
        self._cond = threading.Condition()
        self._events, self._replies = [], []
        self.closed = False
        read_lines(self.sock, self._line, self._ended)
        self._reply("the greeting", 30)
        self.command("qmp_capabilities")

    def _line(self, raw):
        message = json.loads(raw)
        with self._cond:
            (self._events if "event" in message else self._replies).append(message)
            self._cond.notify_all()

    def _ended(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def _reply(self, what, timeout):
        with self._cond:
            reply = until(lambda: self._replies.pop(0) if self._replies else None, timeout,
                          self._cond, lambda: self.closed)
        if reply is None:
            raise LabError("QMP gave no answer to %s" % what)
        return reply

    def command(self, name, **arguments):
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall((json.dumps(message) + "\n").encode())
        reply = self._reply(name, 30)
        if "error" in reply:
            raise LabError("QMP %s: %s" % (name, reply["error"].get("desc")))
        return reply.get("return")

    def wait_event(self, name, timeout):
        """The first event called `name` (taken from those kept), or None."""
        def found():
            for i, e in enumerate(self._events):
                if e["event"] == name:
                    return self._events.pop(i)
            return None
        with self._cond:
            return until(found, timeout, self._cond, lambda: self.closed)
