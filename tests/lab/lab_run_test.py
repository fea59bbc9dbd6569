"""The lab's own logic with no machine behind it: the guest shells are stand-ins that run
their commands on this host or answer as told, so that what the lab decides from their
answers (which files the guest cannot see, when a console does not answer) is checked."""
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))

import cases  # noqa: E402
import devices  # noqa: E402
import layout  # noqa: E402
import qemu  # noqa: E402
import run  # noqa: E402
import script  # noqa: E402
from stand_ins import Shell  # noqa: E402


class Far:
    plugged = True

    def take_all(self):
        return b""

    def reset(self):
        pass


class Machine:
    def __init__(self, aux, main=None):
        self.aux, self.main = aux, main or Shell((0, ""))
        self.devices = devices.of_records(())
        for device in self.devices:
            device.far = Far()

    def put_file(self, data, suffix=""):
        return "/run/script" + suffix



class Console:
    kind = "native"

    def __init__(self, files=()):
        self.files = list(files)

    def guest_files(self):
        return self.files

    def port(self, device):
        return device.path

    def command(self, path):
        return "velmora run --timed " + path

    def probe(self):
        return "velmora --version"


def scripted(statements):
    """A case that runs one script and has its answers checked."""
    def function(t):
        t.finish(t.start(statements))
    return cases.Case("a script", function, devices=devices.named(qemu.UART["name"]))


class UnseenInGuest(unittest.TestCase):
    def test_names_only_the_files_the_guest_lacks_quoted_as_they_are(self):
        with tempfile.TemporaryDirectory(prefix="a folder ") as d:
            there = os.path.join(d, "velmora")
            open(there, "w").close()
            missing = os.path.join(d, "build", "velmora.exe")
            consoles = [Console([there]), Console([missing, there])]
            self.assertEqual(run.unseen_in_guest(Machine(Shell(local=True)), consoles), [missing])

    def test_a_shell_that_fails_is_an_error_of_the_machine_not_a_verdict(self):
        with self.assertRaises(layout.LabError):
            run.unseen_in_guest(Machine(Shell((None, ""))), [Console(["/bin/sh"])])


class SilentConsole(unittest.TestCase):
    def run_case(self, case, main, aux):
        lines = []
        vm = Machine(aux, main)
        try:
            cases.run_case(vm, Console(), case, vm.devices[0], lines.append)
        except cases.ConsoleSilent as e:
            return lines, e.args
        return lines, None

    def test_no_answer_and_no_version_stops_with_the_reason(self):
        aux = Shell((127, "sh: velmora: not found"))
        lines, silent = self.run_case(scripted([script.call("GetCommCTS")]),
                                      Shell((127, "sh: velmora: not found")), aux)
        self.assertTrue(lines[-1].startswith("FAIL native 16550 a script"))
        self.assertEqual(silent, ("the native console does not answer in the guest",
                                  "asked for its version, it ended with status 127: "
                                  "sh: velmora: not found"))
        self.assertEqual(aux.commands, ["velmora --version"])

    def test_a_console_that_tells_its_version_only_fails_the_case(self):
        lines, silent = self.run_case(scripted([script.call("GetCommCTS")]),
                                      Shell((139, "")), Shell((0, "velmora 1.4.0")))
        self.assertTrue(lines[-1].startswith("FAIL "))
        self.assertIsNone(silent)

    def test_a_wrong_answer_is_an_answer_and_asks_nothing_more(self):
        aux = Shell(RuntimeError("the guest must not be asked"))
        lines, silent = self.run_case(scripted([script.call("GetCommCTS", want=1)]),
                                      Shell((0, "GetCommCTS -> 0 [0.1 ms]")), aux)
        self.assertIn("GetCommCTS answered 0, wanted 1", lines[-1])
        self.assertIsNone(silent)
        self.assertEqual(aux.commands, [])

    def test_a_shell_that_is_gone_is_silence(self):
        _, silent = self.run_case(scripted([script.call("GetCommCTS")]), Shell((None, "")),
                                  Shell(BrokenPipeError("the guest went away")))
        self.assertIn("the guest's shell does not answer", silent[1])


class EarlyStop(unittest.TestCase):
    def test_after_a_silent_console_no_case_runs_and_each_counts_failed(self):
        ran, lines = [], []
        vm = Machine(Shell((1, "")), Shell((1, "")))
        silent = cases.Case("first", lambda t: t.finish(t.start([script.call("GetCommCTS")])))
        later = cases.Case("later", lambda t: ran.append(t))
        stopper = run.EarlyStop(vm, lines.append)
        with mock.patch.object(run, "say", lines.append):
            stopper.run(Console(), silent, vm.devices[0], "native 16550 first")
            stopper.run(Console(), later, vm.devices[0], "native 16550 later")
        self.assertEqual(ran, [])
        self.assertEqual(sum(line.startswith("lab: stopping: ") for line in lines), 1)
        self.assertEqual(lines[-1], "FAIL native 16550 later: not run "
                                    "(the native console does not answer in the guest)")


if __name__ == "__main__":
    unittest.main()
