"""QEMU for the lab: the machine's command line (TCG, no network device, the host's root
over 9p, a 16550 and QEMU's FTDI adapter, the virtio-serial ports) and its process, which
dies with the process that started it.

The serial devices QEMU itself provides are described here, with the same record an
adapter family of lab/adapters announces for itself."""
import ctypes
import os
import signal
import subprocess

from layout import BUILD, ROOT

# QEMU's FTDI adapter on the xHCI controller, as the command line plugs it at boot and
# QMP's device_add plugs it again.
FTDI_DEVICE = {"driver": "usb-serial", "id": "ftdi", "bus": "xhci.0", "chardev": "usb0",
               "always-plugged": True}

UART = {"name": "16550", "what": "16550 UART (QEMU's isa-serial)", "usb": None,
        "driver": "8250", "ports": 1, "tx_buffer": 16, "rx_buffer": 16, "software": False,
        "data_bits": [5, 6, 7, 8], "rates": "any",
        "inputs": ["cts", "dsr", "ri", "dcd"], "reports": None,
        # The kernel's line discipline holds output after an XOFF, and takes back what
        # a write did not send.
        "xoff_holds": "kernel", "cts_holds": "kernel",
        "path": "/dev/ttyS1", "far_end": "ttyS1"}
FTDI = {"name": "qemu-ftdi", "what": "FTDI USB adapter (QEMU's usb-serial model)",
        "usb": "0403:6001", "driver": "ftdi_sio", "ports": 1, "tx_buffer": None,
        "rx_buffer": None, "software": False,
        # FTDI chips make 7 or 8 bits: ftdi_sio refuses 6 (and the refusal shows) but lets
        # 5 through, for smartcard readers that switch modes with it.
        "data_bits": [5, 7, 8], "rates": "any",
        "inputs": ["cts", "dsr", "ri", "dcd"], "reports": None,
        # QEMU's model has no flow control: every byte goes out.
        "xoff_holds": None, "cts_holds": None,
        "path": None, "far_end": "ttyUSB0"}
RECORDS = (UART, FTDI)


def device_option(description):
    """A -device argument from a device_add description."""
    def value(v):
        return ("on" if v else "off") if isinstance(v, bool) else str(v)
    return ",".join([description["driver"]] + ["%s=%s" % (k, value(v)) for k, v in
                                               description.items() if k != "driver"])


def command_line(sockets, share, memory_mb):
    """QEMU's arguments; every socket in the folder `sockets`, the guest's share `share`."""
    kver = open(os.path.join(BUILD, "kver")).read().strip()
    chardev = "socket,id=%s,path=%s/%s.sock,server=on,wait=off"
    return [
        "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-cpu", "max", "-smp", "1",
        "-m", str(memory_mb), "-nographic", "-no-reboot", "-nic", "none",
        "-monitor", "none",
        # Any isa-serial switches QEMU's default first serial port off: name it.
        "-chardev", "file,id=console,path=%s/console.log" % sockets,
        "-serial", "chardev:console",
        "-kernel", os.path.join(BUILD, "kernel", "boot", "vmlinuz-" + kver),
        "-initrd", os.path.join(BUILD, "initramfs.gz"),
        "-append", "console=ttyS0 quiet panic=-1 rdinit=/init lab.share=%s lab.checkout=%s"
        % (os.path.realpath(share), os.path.realpath(ROOT)),
        "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
        "-fsdev", "local,id=share,path=%s,security_model=none,multidevs=remap" % share,
        "-device", "virtio-9p-pci,fsdev=share,mount_tag=share",
        "-device", "virtio-serial-pci",
        "-chardev", chardev % ("main", sockets, "main"),
        "-device", "virtserialport,chardev=main,name=main",
        "-chardev", chardev % ("aux", sockets, "aux"),
        "-device", "virtserialport,chardev=aux,name=aux",
        "-chardev", chardev % ("uart1", sockets, UART["far_end"]) + ",telnet=on",
        "-device", "isa-serial,chardev=uart1,index=1",
        "-device", "qemu-xhci,id=xhci",
        "-chardev", chardev % (FTDI_DEVICE["chardev"], sockets, FTDI["far_end"]) + ",telnet=on",
        "-device", device_option(FTDI_DEVICE),
        "-chardev", chardev % ("adapters", sockets, "adapters"),
        "-device", "virtserialport,chardev=adapters,name=adapters",
        "-chardev", chardev % ("lines", sockets, "lines"),
        "-device", "virtserialport,chardev=lines,name=lines",
        "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % sockets,
    ]


def _die_with_parent():
    # PR_SET_PDEATHSIG: QEMU gets SIGKILL when the process that started it goes away.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)
    os.setsid()


class Qemu:
    """The QEMU process of one machine."""

    def __init__(self, sockets, share, memory_mb):
        self.sockets = sockets
        self.proc = subprocess.Popen(
            command_line(sockets, share, memory_mb), stdin=subprocess.DEVNULL,
            stdout=open(os.path.join(sockets, "qemu.out"), "wb"), stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass

    def kill(self):
        if self.running():
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                pass
            self.proc.wait()

    def cpu_seconds(self):
        """The CPU time the process has used so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def console_log(self):
        """The end of what the guest's kernel and init said on its console."""
        try:
            with open(os.path.join(self.sockets, "console.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""
