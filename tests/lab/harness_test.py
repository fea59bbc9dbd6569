"""The harness against a stand-in adapter program and stand-in guest shells: what a case
decides from a replug, and two machines' devices kept apart."""
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))

import cases  # noqa: E402
import consoles  # noqa: E402
import labvm  # noqa: E402
import real_drivers  # noqa: E402
import usb_adapters  # noqa: E402
from stand_ins import AdapterProgram, Shell  # noqa: E402

TTYS = {"ftdi": "ttyUSB1", "ch340": "ttyUSB2", "cp2102": "ttyUSB3", "pl2303": "ttyUSB4",
        "cdc-acm": "ttyACM0"}
LEVELS = (0, "DTR=1 RTS=1 CTS=1 DSR=1 CD=1 RI=0")


def machine(program):
    """A LabVM whose software adapters are plugged through the stand-in program, with
    stand-in shells; nothing is booted."""
    vm = labvm.LabVM(log=lambda line: None)
    vm.deadline = time.monotonic() + 60
    vm.far = {}
    vm.aux = Shell(LEVELS)
    vm.main = Shell((0, ""))
    vm.adapters = usb_adapters.AdapterLink(program.path, vm.deadline, vm.log)
    vm._plug_adapters()
    return vm


def close(vm, program):
    vm.adapters.close()
    program.close()
    shutil.rmtree(vm.sockets, ignore_errors=True)
    shutil.rmtree(vm.share, ignore_errors=True)


def device(vm, family):
    return next(d for d in vm.far if d.family == family)


class Run:
    """A console run that has reached its `forget`."""

    def wait_line(self, pattern, timeout):
        return "forget -> 1"


class Replug(unittest.TestCase):
    def setUp(self):
        self.program = AdapterProgram(TTYS)
        self.vm = machine(self.program)

    def tearDown(self):
        close(self.vm, self.program)

    def replugged(self, tty):
        """The problems of a trial on the CH340 whose replug after forget gives `tty`."""
        t = cases.Trial(self.vm, consoles.NativeConsole(), device(self.vm, "ch340"))
        self.program.replug_as["ch340"] = tty
        t.far.unplug()
        self.program.wire("ch340", b"<back>")
        real_drivers.replug_after_forget(t, Run())
        return t.problems

    def test_a_replug_under_the_same_name_passes(self):
        self.assertEqual(self.replugged("ttyUSB2"), [])

    def test_a_replug_under_another_name_fails(self):
        self.assertEqual(self.replugged("ttyUSB7"),
                         ["the adapter came back under another name"])


class MachinesApart(unittest.TestCase):
    """Two machines run side by side, each on a thread of its own."""

    def setUp(self):
        self.programs = [AdapterProgram(TTYS), AdapterProgram(TTYS)]
        self.vms = [machine(p) for p in self.programs]

    def tearDown(self):
        for vm, program in zip(self.vms, self.programs):
            close(vm, program)

    def test_a_replug_on_one_leaves_the_other_machines_paths_alone(self):
        first, second = self.vms
        self.programs[0].replug_as["ch340"] = "ttyUSB7"
        far = first.far[device(first, "ch340")]
        far.unplug()
        far.replug()
        wine = consoles.WineConsole("win64")
        theirs = device(second, "ch340")
        self.assertIn(" /dev/ttyUSB2 ", wine.link(theirs))
        cases.Trial(second, wine, theirs).levels()
        self.assertTrue(second.aux.commands[-1].endswith(" /dev/ttyUSB2"), second.aux.commands)
        self.assertEqual(device(first, "ch340").path, "/dev/ttyUSB7")


if __name__ == "__main__":
    unittest.main()
