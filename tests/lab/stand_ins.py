"""Stand-ins for what the lab's harness talks to, so that its own logic runs without QEMU:
the adapters' program (the host's link to it is real; the program is played here) and the
guest's shells."""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time


class AdapterProgram:
    """lab/adapters/serve.py as the host hears it, on a unix socket the host's link connects
    to. It announces `records`, answers `plug` with a tty for each port of each family
    (`ttys`, by (family, port)), `unplug` with `gone`, `replug` with ttys named by
    `replug_as` (the same names unless told), `ping` with `pong`; `wire()` puts bytes on a
    port's line as if its chip had sent them."""

    def __init__(self, records, ttys):
        self.records = records
        self.ttys = dict(ttys)
        self.withheld = set()  # (family, port): no tty comes for these
        self.replug_as = {}
        self.commands = []
        self.folder = tempfile.mkdtemp(prefix="lab-program-")
        self.path = os.path.join(self.folder, "adapters.sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.conn = None
        self._lock = threading.Lock()
        threading.Thread(target=self._serve, daemon=True).start()

    def emit(self, event, **fields):
        fields["ev"] = event
        with self._lock:
            self.conn.sendall((json.dumps(fields) + "\n").encode())

    def wire(self, family, data, port=0):
        self.emit("wire", a=family, p=port, d=base64.b64encode(data).decode())

    def _serve(self):
        self.conn, _ = self.listener.accept()
        buf = b""
        while True:
            try:
                chunk = self.conn.recv(1 << 16)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            *lines, buf = buf.split(b"\n")
            for line in lines:
                if line.startswith(b"{"):
                    self._command(json.loads(line))
                elif b"serve.py" in line:
                    self.emit("hello", families=self.records)

    def _plugged(self, family):
        for (name, port), tty in sorted(self.ttys.items()):
            if name == family and (name, port) not in self.withheld:
                self.emit("tty", a=family, p=port, tty=tty, seconds=0.1)

    def _command(self, c):
        self.commands.append(c)
        op, family = c["op"], c.get("a")
        if op == "plug":
            for name in c["adapters"]:
                self._plugged(name)
        elif op == "unplug":
            self.emit("gone", a=family, seconds=0.1)
        elif op == "replug":
            for key in list(self.ttys):
                if key[0] == family:
                    self.ttys[key] = self.replug_as.pop(key, self.ttys[key])
            self._plugged(family)
        elif op == "ping":
            self.emit("pong", n=c.get("n"))

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class Job:
    def __init__(self, lines, rc):
        self.lines, self.rc = lines, rc

    def wait(self, timeout):
        return self.rc

    def output(self):
        return "\n".join(self.lines)


class Shell:
    """A guest shell: runs each command here (`local`), or gives the answer it was told."""

    def __init__(self, answer=None, local=False):
        self.answer, self.local = answer, local
        self.commands = []

    def run(self, command, timeout=60):
        self.commands.append(command)
        if self.local:
            done = subprocess.run(["sh", "-c", command], capture_output=True, text=True)
            return done.returncode, done.stdout.rstrip("\n")
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer

    def start(self, command, timeout):
        self.commands.append(command)
        return Job(self.answer[1].splitlines(), self.answer[0])

    def busy(self):
        return False


class Lines:
    """The guest's modem line probe: every device asked about, always at rest."""

    def __init__(self):
        self.asked = []

    def levels(self, path):
        self.asked.append(path)
        return {"DTR": "1", "RTS": "1", "CTS": "1", "DSR": "1", "CD": "1", "RI": "0"}


class Listener:
    """A unix socket the host side connects to, played by the test: `conn` once accepted."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="lab-socket-")
        self.path = os.path.join(self.folder, "s.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(self.path)
        self.sock.listen(1)
        self.conn = None
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.conn, _ = self.sock.accept()

    def accepted(self, timeout=10):
        """The connection, once the accepting thread has it: connect() returns before."""
        deadline = time.monotonic() + timeout
        while self.conn is None and time.monotonic() < deadline:
            threading.Event().wait(0.01)
        return self.conn

    def send(self, data):
        self.accepted().sendall(data)

    def close(self):
        for s in (self.conn, self.sock):
            if s is not None:
                s.close()
        shutil.rmtree(self.folder, ignore_errors=True)
