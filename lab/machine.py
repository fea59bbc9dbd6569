"""One emulated machine of the real-driver lab, seen from the host: QEMU (qemu.py) with
the host's root shared read-only, QEMU's 16550 and FTDI adapter, and the software
adapters of lab/adapters on vhci-hcd. The host holds the far end of every serial device,
two guest shells (`main` for the program under test, `aux` for looking at the devices
meanwhile), the adapters' program on a third port, the modem line probe on a fourth, QMP,
and a share for files.

The machine boots on enter and always shuts down on exit; `run_seconds` bounds the whole
of it. Its devices (devices.Device) are its own."""
import os
import shutil
import tempfile
import threading
import time

import devices
import qemu
from adapter_link import AdapterLink
from guest_shell import GuestShell
from modem_probe import ModemProbe
from layout import CONSOLE_LOG, LabError
from qemu_far_end import QemuFarEnd
from qemu_usb import QemuUsb, find_tty
from qmp import Qmp
from share import Share


class Machine:
    def __init__(self, run_seconds=900, memory_mb=2048, log=print, console_log=CONSOLE_LOG):
        self.log = log
        self.console_log_copy = console_log
        self.run_seconds = run_seconds
        self.memory_mb = memory_mb
        self.qemu = None
        self.adapters = None  # the link to lab/adapters' program
        self.timed_out = False
        self.boot_seconds = self.adapter_seconds = None
        self.devices = []
        self.sockets = self.share = None
        self._watchdog = None

    def device(self, label):
        """This machine's device called `label` (None when it has none)."""
        return next((d for d in self.devices if d.label == label), None)

    def put_file(self, data, suffix=""):
        return self.share.put(data, suffix)

    # -- boot and shutdown ----------------------------------------------------------------

    def __enter__(self):
        self.sockets = tempfile.mkdtemp(prefix="velmora-lab-")
        self.share = Share()
        self.deadline = time.monotonic() + self.run_seconds
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

    def _socket(self, name):
        return os.path.join(self.sockets, name + ".sock")

    def _boot(self):
        t0 = time.monotonic()
        self.qemu = qemu.Qemu(self.sockets, self.share.path, self.memory_mb)
        connect_within = 20
        self.qmp = Qmp(self._socket("qmp"), connect_within)
        self.main = GuestShell("main", self._socket("main"), connect_within)
        self.aux = GuestShell("aux", self._socket("aux"), connect_within)
        self.main.other, self.aux.other = self.aux, self.main
        self.adapters = AdapterLink(self._socket("adapters"), connect_within, self.log)
        self.lines = ModemProbe(self._socket("lines"), connect_within)
        far = {r["name"]: QemuFarEnd(self._socket(r["far_end"]), connect_within)
               for r in qemu.RECORDS}
        # The shells answer once the guest has booted; what is sent before waits for them.
        boot_limit = min(180, self.deadline - time.monotonic())
        uart = qemu.UART["path"]
        for shell in (self.main, self.aux):
            rc, out = shell.run("for i in $(seq 100); do [ -e %s ] && break; sleep 0.1; done;"
                                " ls %s" % (uart, uart), timeout=boot_limit)
            if rc != 0:
                raise LabError("the guest did not come up with its 16550 (%s): %s\n%s"
                               % (rc, out, self.qemu.console_log()))
        usb_tty = find_tty(self.aux, 10)
        if usb_tty is None:
            raise LabError("QEMU's USB adapter has no tty in the guest\n%s"
                           % self.qemu.console_log())
        self.lines.start(min(60, self.deadline - time.monotonic()))
        self.boot_seconds = time.monotonic() - t0
        t0 = time.monotonic()
        self.plug_adapters(min(120, self.deadline - time.monotonic()))
        for device in self.devices:
            if not device.software:
                device.far = far[device.family]
        usb = self.device(qemu.FTDI["name"])
        usb.path = "/dev/" + usb_tty
        usb.far.plug = QemuUsb(self.qmp, self.aux, usb)
        self.adapter_seconds = time.monotonic() - t0

    def plug_adapters(self, timeout):
        """Starts the adapters' program, makes this machine's devices from the records it
        announces (QEMU's first) and plugs the software adapters in."""
        self.devices = devices.of_records(self.adapters.start(timeout))
        adapters = [d for d in self.devices if d.software]
        for device, why in self.adapters.plug(adapters, timeout).items():
            device.unavailable = why

    def _overdue(self):
        self.timed_out = True
        self.log("lab: the run passed its %d s bound; stopping the machine" % self.run_seconds)
        if self.qemu:
            self.qemu.kill()

    def shutdown(self):
        if self._watchdog:
            self._watchdog.cancel()
        if self.adapters is not None:
            self.adapters.close()
        if self.qemu and self.qemu.running():
            try:
                self.qmp.command("quit")
            except Exception:
                pass
            self.qemu.wait(5)
        if self.qemu:
            self.qemu.kill()
        if self.sockets:
            try:
                shutil.copyfile(os.path.join(self.sockets, "console.log"), self.console_log_copy)
            except OSError:
                pass
            shutil.rmtree(self.sockets, ignore_errors=True)
        if self.share:
            self.share.remove()

    # -- what the runner and cases use ------------------------------------------------------

    def idle_cpu_percent(self, seconds=5.0):
        """The machine's share of one host core while the guest does nothing."""
        a = self.qemu.cpu_seconds()
        time.sleep(seconds)
        return 100.0 * (self.qemu.cpu_seconds() - a) / seconds
