"""The emulated machine of the real-driver lab, seen from the host.

One LabVM boots the distribution's kernel under QEMU (TCG, no network device) with the
host's root shared read-only over 9p, a 16550 UART (/dev/ttyS1, the 8250 driver), an
FTDI USB adapter on an xHCI controller (/dev/ttyUSB0, ftdi_sio) and the software adapters
of lab/adapters on vhci-hcd (devices.ADAPTERS). The host side holds:
  - the far end of each serial device (for QEMU's, a unix socket with telnet framing, so
    that a BREAK can be sent), always drained, because QEMU's FTDI model stops the whole
    machine while nobody reads its output;
  - two guest shells on virtio-serial ports: `main` for the program under test, `aux`
    for looking at the devices meanwhile; a third port runs the adapters' program;
  - QMP, for unplugging and replugging QEMU's adapter.
QEMU dies with the process that started it, and with the run's deadline.
"""
import base64
import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

LAB_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(LAB_DIR)
BUILD = os.path.join(ROOT, "build", "lab")
# What the guest's kernel and init said on its console, kept from the last run.
CONSOLE_LOG = os.path.join(BUILD, "guest-console.log")

from devices import ADAPTERS, EVERY, UART, USB  # noqa: E402,F401  (cases import them from here)

FTDI_DEVICE = {"driver": "usb-serial", "id": "ftdi", "bus": "xhci.0", "chardev": "usb0",
               "always-plugged": True}


class LabError(Exception):
    pass


def _die_with_parent():
    # PR_SET_PDEATHSIG: QEMU gets SIGKILL when the process that started it goes away.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)
    os.setsid()


def _connect(path, deadline):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise LabError("cannot connect to " + path)
            time.sleep(0.05)


def _recv(sock):
    """The next bytes from `sock`; b"" once it has ended or failed."""
    try:
        return sock.recv(1 << 16)
    except OSError:
        return b""


class Received:
    """Bytes from the far side of a line, collected by a reader thread as they arrive, and
    the ways a case waits for them."""

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
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                at = self._buf.find(marker)
                if at >= 0:
                    data = bytes(self._buf[: at + len(marker)])
                    del self._buf[: at + len(marker)]
                    return data
                left = end - time.monotonic()
                if left <= 0 or self.closed:
                    return None
                self._cond.wait(min(left, 0.5))

    def read_count(self, count, timeout, idle=None):
        """`count` bytes, or fewer when `timeout` (or `idle` seconds without a byte) passes."""
        end = time.monotonic() + timeout
        last_size, last_change = -1, time.monotonic()
        with self._cond:
            while len(self._buf) < count and not self.closed:
                now = time.monotonic()
                if len(self._buf) != last_size:
                    last_size, last_change = len(self._buf), now
                if now >= end or (idle is not None and now - last_change >= idle):
                    break
                self._cond.wait(0.2)
            data = bytes(self._buf[:count])
            del self._buf[:count]
            return data


class FarEnd(Received):
    """The host side of one of QEMU's serial devices. A reader thread keeps draining it."""

    TELNET_OPENING = bytes([255, 251, 1, 255, 251, 3, 255, 251, 0, 255, 253, 0])
    IAC, BRK = 255, 243

    def __init__(self, path, deadline):
        super().__init__()
        self.path = path
        self.sock = _connect(path, deadline)
        self._skip = len(self.TELNET_OPENING)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while True:
            chunk = _recv(self.sock)
            if not chunk:
                self._ended()
                return
            if self._skip:  # QEMU's option negotiation, sent once on connect
                cut = min(self._skip, len(chunk))
                self._skip -= cut
                chunk = chunk[cut:]
            self._arrived(chunk)

    def send(self, data):
        """Sends bytes as they are (a 0xFF is doubled for the telnet framing)."""
        self.sock.sendall(bytes(data).replace(b"\xff", b"\xff\xff"))

    def send_break(self):
        self.sock.sendall(bytes([self.IAC, self.BRK]))

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class Job:
    """A command running in a guest shell; its output lines arrive as it prints them."""

    def __init__(self, shell, tag):
        self.shell = shell
        self.tag = tag
        self.lines = []
        self.rc = None
        self._cond = threading.Condition()

    def _line(self, line):
        with self._cond:
            if line.startswith(self.tag):
                self.rc = int(line[len(self.tag):] or "255")
            else:
                self.lines.append(line)
            self._cond.notify_all()

    def wait_line(self, pattern, timeout, start=0):
        """The first output line from index `start` on matching `pattern`, or None."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    if rx.search(self.lines[i]):
                        return self.lines[i]
                    i += 1
                left = end - time.monotonic()
                if self.rc is not None or left <= 0 or self.shell.closed:
                    return None
                self._cond.wait(min(left, 0.5))

    def wait(self, timeout):
        """The exit status (None when the job is still running after `timeout`)."""
        end = time.monotonic() + timeout
        with self._cond:
            while self.rc is None and not self.shell.closed:
                left = end - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(min(left, 0.5))
            return self.rc

    def output(self):
        with self._cond:
            return "\n".join(self.lines)


class GuestShell:
    """One shell in the guest on a virtio-serial port, one job at a time."""

    def __init__(self, name, path, deadline):
        self.name = name
        self.other = None  # the shell that can stop this one's jobs
        self.sock = _connect(path, deadline)
        self.closed = False
        self._job = None
        self._lock = threading.Lock()
        self._count = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        parts = []
        while True:
            chunk = _recv(self.sock)
            if not chunk:
                self.closed = True
                job = self._job
                if job:
                    with job._cond:
                        job._cond.notify_all()
                return
            parts.append(chunk)
            if b"\n" not in chunk:  # part of a long line (a mebibyte-long call, say)
                continue
            *lines, rest = b"".join(parts).split(b"\n")
            parts = [rest]
            for raw in lines:
                job = self._job
                if job:
                    job._line(raw.decode("utf-8", "replace").rstrip("\r"))

    def start(self, command, timeout):
        """Starts `command` (sh syntax) under the guest's `timeout`, output and errors merged."""
        with self._lock:
            if self._job and self._job.rc is None:
                raise LabError("guest shell busy")
            self._count += 1
            tag = "@@lab-done-%d-%d@@" % (os.getpid(), self._count)
            job = Job(self, tag)
            self._job = job
            job.pidfile = "/run/lab-%s-%d.pid" % (self.name, self._count)
            script = base64.b64encode(command.encode()).decode()
            # A session of its own, so that stop() can end everything the job started.
            line = ("echo %s | base64 -d > /run/lab-%s-%d.sh; setsid -w timeout -k 2 %d sh"
                    " /run/lab-%s-%d.sh </dev/null 2>&1 & echo $! > %s; wait $!;"
                    " rc=$?; echo; echo \"%s$rc\"\n"
                    % (script, self.name, self._count, max(1, int(timeout)), self.name,
                       self._count, job.pidfile, tag))
            self.sock.sendall(line.encode())
            return job

    def busy(self):
        return self._job is not None and self._job.rc is None and not self.closed

    def current(self):
        return self._job

    def stop(self, job):
        """Ends a job (and all it started) through the other shell."""
        if job is None or job.rc is not None:
            return
        self.other.run("kill -KILL -- -$(cat %s) 2>/dev/null" % job.pidfile, timeout=20)
        job.wait(10)

    def run(self, command, timeout=60):
        """Runs `command`; (exit status, output). The status is None when it did not end."""
        job = self.start(command, timeout)
        rc = job.wait(timeout + 5)
        return rc, job.output().rstrip("\n")


class Qmp:
    def __init__(self, path, deadline):
        self.sock = _connect(path, deadline)
        self.sock.settimeout(30)
        self.file = self.sock.makefile("rwb", buffering=0)
        self.events = []
        self._read()
        self.command("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise LabError("QMP closed")
        return json.loads(line)

    def command(self, name, **arguments):
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        self.file.write((json.dumps(message) + "\n").encode())
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise LabError("QMP %s: %s" % (name, reply["error"].get("desc")))
            return reply.get("return")

    def wait_event(self, name, timeout):
        end = time.monotonic() + timeout
        while True:
            for i, e in enumerate(self.events):
                if e["event"] == name:
                    return self.events.pop(i)
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                reply = self._read()
            except socket.timeout:
                return None
            finally:
                self.sock.settimeout(30)
            if "event" in reply:
                self.events.append(reply)


class LabVM:
    """Boots on enter, always shuts down on exit. `deadline` bounds the whole run."""

    def __init__(self, run_seconds=900, memory_mb=2048, log=print, console_log=CONSOLE_LOG):
        self.log = log
        self.console_log_copy = console_log
        self.run_seconds = run_seconds
        self.memory_mb = memory_mb
        self.proc = None
        self.timed_out = False
        self.sockets = tempfile.mkdtemp(prefix="velmora-lab-")
        # Files the host hands the guest: a 9p share of its own, mounted at the same path.
        os.makedirs(os.path.join(BUILD, "runs"), exist_ok=True)
        self.share = tempfile.mkdtemp(prefix="run-", dir=os.path.join(BUILD, "runs"))
        self._files = 0
        self.boot_seconds = None
        self.usb_plugged = True
        self.adapters = None  # the link to lab/adapters' program
        self.adapter_seconds = None
        self.unavailable = {}  # device -> why it is not there
        # This machine's own device records: its adapters' paths change with its replugs.
        self.devices = {d: d.copy() for d in EVERY}

    def device(self, device):
        """This machine's record of `device`."""
        return self.devices[device]

    # -- the machine ----------------------------------------------------------------------

    def command_line(self):
        kver = open(os.path.join(BUILD, "kver")).read().strip()
        s = self.sockets
        chardev = "socket,id=%s,path=%s/%s.sock,server=on,wait=off"
        return [
            "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-cpu", "max", "-smp", "1",
            "-m", str(self.memory_mb), "-nographic", "-no-reboot", "-nic", "none",
            "-monitor", "none",
            # Any isa-serial switches QEMU's default first serial port off: name it.
            "-chardev", "file,id=console,path=%s/console.log" % s, "-serial", "chardev:console",
            "-kernel", os.path.join(BUILD, "kernel", "boot", "vmlinuz-" + kver),
            "-initrd", os.path.join(BUILD, "initramfs.gz"),
            "-append", "console=ttyS0 quiet panic=-1 rdinit=/init lab.share=%s lab.checkout=%s"
            % (os.path.realpath(self.share), os.path.realpath(ROOT)),
            "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
            "-fsdev", "local,id=share,path=%s,security_model=none,multidevs=remap" % self.share,
            "-device", "virtio-9p-pci,fsdev=share,mount_tag=share",
            "-device", "virtio-serial-pci",
            "-chardev", chardev % ("main", s, "main"),
            "-device", "virtserialport,chardev=main,name=main",
            "-chardev", chardev % ("aux", s, "aux"),
            "-device", "virtserialport,chardev=aux,name=aux",
            "-chardev", chardev % ("uart1", s, "ttyS1") + ",telnet=on",
            "-device", "isa-serial,chardev=uart1,index=1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", chardev % ("usb0", s, "ttyUSB0") + ",telnet=on",
            "-device", "usb-serial,id=ftdi,bus=xhci.0,chardev=usb0,always-plugged=on",
            "-chardev", chardev % ("adapters", s, "adapters"),
            "-device", "virtserialport,chardev=adapters,name=adapters",
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % s,
        ]

    def __enter__(self):
        self.started = time.monotonic()
        self.deadline = self.started + self.run_seconds
        self._watchdog = threading.Timer(self.run_seconds, self._overdue)
        self._watchdog.daemon = True
        self._watchdog.start()
        try:
            self._boot()
        except BaseException:
            self.shutdown()
            raise
        return self

    def __exit__(self, *exc):
        self.shutdown()
        return False

    def _boot(self):
        t0 = time.monotonic()
        self.proc = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.sockets, "qemu.out"), "wb"),
                                     stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        connect_by = time.monotonic() + 20
        self.qmp = Qmp(os.path.join(self.sockets, "qmp.sock"), connect_by)
        self.far = {UART: FarEnd(os.path.join(self.sockets, "ttyS1.sock"), connect_by),
                    USB: FarEnd(os.path.join(self.sockets, "ttyUSB0.sock"), connect_by)}
        self.main = GuestShell("main", os.path.join(self.sockets, "main.sock"), connect_by)
        self.aux = GuestShell("aux", os.path.join(self.sockets, "aux.sock"), connect_by)
        self.main.other, self.aux.other = self.aux, self.main
        import usb_adapters  # (it imports this module)
        self.adapters = usb_adapters.AdapterLink(os.path.join(self.sockets, "adapters.sock"),
                                                 connect_by, self.log)
        # The shells answer once the guest has booted; what is sent before waits for them.
        boot_limit = min(180, self.deadline - time.monotonic())
        for shell in (self.main, self.aux):
            rc, out = shell.run("for i in $(seq 100); do [ -e %s ] && [ -e %s ] && break; "
                                "sleep 0.1; done; ls %s %s" % (UART, USB, UART, USB),
                                timeout=boot_limit)
            if rc != 0:
                raise LabError("the guest did not come up with both devices (%s): %s\n%s"
                               % (rc, out, self.console_log()))
        self.boot_seconds = time.monotonic() - t0
        self._plug_adapters()

    def _plug_adapters(self):
        t0 = time.monotonic()
        limit = min(120, self.deadline - time.monotonic())
        for device, why in self.adapters.start([self.device(d) for d in ADAPTERS], limit).items():
            if why is None:
                self.far[device] = self.adapters.far[device.family]
            else:
                self.unavailable[device] = why
        self.adapter_seconds = time.monotonic() - t0

    def console_log(self):
        try:
            with open(os.path.join(self.sockets, "console.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def _overdue(self):
        self.timed_out = True
        self.log("lab: the run passed its %d s bound; stopping the machine" % self.run_seconds)
        self._kill()

    def _kill(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                pass
            self.proc.wait()

    def shutdown(self):
        self._watchdog.cancel()
        if self.adapters is not None:
            self.adapters.close()
        if self.proc and self.proc.poll() is None:
            try:
                self.qmp.command("quit")
            except Exception:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self._kill()
        try:
            shutil.copyfile(os.path.join(self.sockets, "console.log"), self.console_log_copy)
        except OSError:
            pass
        shutil.rmtree(self.sockets, ignore_errors=True)
        shutil.rmtree(self.share, ignore_errors=True)

    def idle_cpu_percent(self, seconds=5.0):
        """The machine's share of one host core while the guest does nothing."""
        def ticks():
            with open("/proc/%d/stat" % self.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        hz = os.sysconf("SC_CLK_TCK")
        a = ticks()
        time.sleep(seconds)
        return 100.0 * (ticks() - a) / hz / seconds

    # -- what cases use -------------------------------------------------------------------

    def put_file(self, data, suffix=""):
        """Writes `data` where the guest reads it, at the same path; a fresh name each time."""
        self._files += 1
        path = os.path.join(self.share, "f%d%s" % (self._files, suffix))
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def unplug_usb(self, timeout=10):
        self.qmp.command("device_del", id=FTDI_DEVICE["id"])
        self.usb_plugged = False
        if self.qmp.wait_event("DEVICE_DELETED", timeout) is None:
            raise LabError("the adapter did not go away")

    def replug_usb(self):
        self.qmp.command("device_add", **FTDI_DEVICE)
        self.usb_plugged = True

    def ensure_usb(self):
        """Plugs the adapter back in when a case left it out, and waits for its device."""
        if not self.usb_plugged:
            self.replug_usb()
        rc, _ = self.aux.run("for i in $(seq 100); do [ -e %s ] && exit 0; sleep 0.1; done; "
                             "exit 1" % USB, timeout=20)
        return rc == 0
