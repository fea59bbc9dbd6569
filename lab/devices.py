"""The lab's serial devices. Each is one port of a family: QEMU's 16550 and FTDI model
(qemu.py), and the software adapter families of lab/adapters, whose program announces
each family's record (what it is, its USB ids, its buffers, what its driver reports and
obeys: lab/adapters/family.py says what each field means).

Each machine keeps devices of its own: their paths are the ones the guest's drivers gave
them, and change with that machine's replugs only. A case names the devices it runs on
with a predicate over Device (`every`, `software`, ... below)."""
import json
import os
import subprocess
import sys

import qemu
from layout import ADAPTERS_PROGRAM, LabError


class Record:
    """A family's record, its fields as attributes."""

    def __init__(self, fields):
        self.__dict__.update(fields)


class Device:
    """One port of a family on one machine: how lab lines name it (`label`: the family,
    with the port's letter when the family has several), the family's record, the path its
    driver gave it in the guest, and its far end once the machine has one. It stands where
    a path would (`"%s" % dev`)."""

    def __init__(self, record, port=0):
        self.record = record
        self.port = port
        self.family = record.name
        self.label = record.name if record.ports == 1 else "%s-%s" % (record.name, "abcd"[port])
        self.software = record.software
        self.path = getattr(record, "path", None)
        self.far = None
        self.unavailable = None  # why the machine could not plug it in
        self.plug_seconds = None

    @property
    def name(self):
        return os.path.basename(self.path) if self.path else "(no tty)"

    def siblings(self):
        """Every port of this device's family on its machine, itself included."""
        return [d for d in self.machine_devices if d.family == self.family]

    def __str__(self):
        return self.path

    def __fspath__(self):
        return self.path

    def __repr__(self):
        return "Device(%s %s)" % (self.label, self.path)


def of_records(records):
    """One Device per port of each record (dicts, as announced); QEMU's devices first."""
    devices = [Device(Record(r), port) for r in qemu.RECORDS + tuple(records)
               for port in range(r["ports"])]
    for d in devices:
        d.machine_devices = devices
    return devices


def announced():
    """The families' records, as the adapters' program announces them (run here)."""
    done = subprocess.run([sys.executable, "-B", ADAPTERS_PROGRAM, "--families"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise LabError("the adapters' program did not say its families: " + done.stderr[-500:])
    return json.loads(done.stdout)


def catalogue():
    """Every device a machine has, as records say before any machine is booted."""
    return of_records(announced())


# Predicates a case names its devices with.

def every(device):
    return True


def software(device):
    """The software adapters: their far end also injects line errors, sets the modem
    inputs, stalls, and reads back what the driver programmed."""
    return device.software


def emulated(device):
    """QEMU's own devices."""
    return not device.software


def pluggable(device):
    """The USB devices, which can be unplugged."""
    return device.record.usb is not None


def named(*labels):
    return lambda device: device.label in labels


def first_ports(device):
    return device.port == 0
