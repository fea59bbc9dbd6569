"""The lab's serial devices: each has a family (what a case knows it by) and a guest path.

A Device stands where a path would (`"%s" % dev`, os.path.basename(dev)), so cases written
against paths keep working. A software adapter's path is the one its driver gave it: the
lab plugs them in this order once QEMU's FTDI adapter has ttyUSB0, so the names below are
what they get, and a replug while the old name is held open moves the adapter to the next
free name (the lab updates `path` then)."""
import os


class Device:
    def __init__(self, family, path, software=False):
        self.family = family
        self.path = path
        self.software = software  # a software adapter of lab/adapters

    @property
    def name(self):
        return os.path.basename(self.path)

    @property
    def label(self):
        """How lab lines name it: family and device, e.g. "ch340 ttyUSB2"."""
        return "%s %s" % (self.family, self.name)

    def __str__(self):
        return self.path

    def __fspath__(self):
        return self.path

    def __repr__(self):
        return "Device(%s)" % self.label

    # A machine keeps records of its own (its replugs move its paths, not another's): one
    # device is the same device on every machine.
    def __eq__(self, other):
        return isinstance(other, Device) and other.family == self.family

    def __hash__(self):
        return hash(self.family)

    def copy(self):
        return Device(self.family, self.path, self.software)


# Paths in the emulated machine; the host reaches each line only through QEMU's socket.
UART = Device("16550", "/dev/ttyS1")
USB = Device("qemu-ftdi", "/dev/ttyUSB0")
FTDI = Device("ftdi", "/dev/ttyUSB1", software=True)
CH340 = Device("ch340", "/dev/ttyUSB2", software=True)
CP2102 = Device("cp2102", "/dev/ttyUSB3", software=True)
PL2303 = Device("pl2303", "/dev/ttyUSB4", software=True)
CDC_ACM = Device("cdc-acm", "/dev/ttyACM0", software=True)

ADAPTERS = (FTDI, CH340, CP2102, PL2303, CDC_ACM)
EVERY = (UART, USB) + ADAPTERS


def by_family(family):
    return next(d for d in EVERY if d.family == family)
