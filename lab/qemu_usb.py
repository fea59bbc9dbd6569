"""QEMU's FTDI adapter unplugged and plugged in again through QMP, its tty found where
the guest's kernel lists the USB serial ports (never a software adapter's, on vhci)."""
from layout import LabError
from qemu import FTDI_DEVICE

# Prints the tty of every USB serial port that is not on vhci-hcd.
QEMU_TTYS = ('for d in /sys/bus/usb-serial/devices/*; do case $(readlink -f "$d") in'
             ' */vhci_hcd*) ;; *) [ -e "/dev/${d##*/}" ] && echo "${d##*/}" ;; esac; done')


def find_tty(shell, timeout):
    """The tty QEMU's adapter has in the guest, waiting up to `timeout` for it; None."""
    rc, out = shell.run("for i in $(seq %d); do t=$(%s); [ -n \"$t\" ] && echo \"$t\" && "
                        "exit 0; sleep 0.1; done; exit 1" % (max(1, int(timeout * 10)),
                                                             QEMU_TTYS), timeout=timeout + 10)
    return out.split()[-1] if rc == 0 and out.split() else None


class QemuUsb:
    def __init__(self, qmp, shell, device):
        self.qmp, self.shell, self.device = qmp, shell, device
        self.plugged = True

    def unplug(self, timeout=10):
        self.qmp.command("device_del", id=FTDI_DEVICE["id"])
        self.plugged = False
        if self.qmp.wait_event("DEVICE_DELETED", timeout) is None:
            raise LabError("the adapter did not go away")

    def replug(self, timeout=20):
        """device_add; the adapter's path once its driver has bound it."""
        self.qmp.command("device_add", **FTDI_DEVICE)
        self.plugged = True
        tty = find_tty(self.shell, timeout)
        if tty is None:
            raise LabError("QEMU's adapter had no tty %d s after device_add" % timeout)
        self.device.path = "/dev/" + tty
        return self.device.path
