"""The harness against stand-ins for what it talks to (the adapters' program, the guest's
shells, QMP): what a case decides from a replug, two machines' devices kept apart, the
ports of one adapter, the work shared by the machines, the plan's names, Wine's COM
names, and the waits on a line's bytes."""
import os
import re
import socket
import sys
import threading
import time
import types
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))

import cases  # noqa: E402
import consoles  # noqa: E402
import device_server  # noqa: E402
import devices  # noqa: E402
import layout  # noqa: E402
import qemu  # noqa: E402
import real_drivers  # noqa: E402
import run  # noqa: E402
import script  # noqa: E402
from adapter_link import AdapterLink  # noqa: E402
from guest_shell import GuestShell  # noqa: E402
from machine import Machine  # noqa: E402
from qmp import Qmp  # noqa: E402
from received import Received  # noqa: E402
from stand_ins import AdapterProgram, Lines, Listener, Shell  # noqa: E402

RECORDS = devices.announced()
TTYS = {("ftdi", 0): "ttyUSB1", ("ch340", 0): "ttyUSB2", ("cp2102", 0): "ttyUSB3",
        ("pl2303", 0): "ttyUSB4", ("cdc-acm", 0): "ttyACM0"}


def ttys():
    """A tty for every port the records announce: the known ones, then ttyUSB10 on."""
    names = dict(TTYS)
    for record in RECORDS:
        for port in range(record["ports"]):
            names.setdefault((record["name"], port), "ttyUSB%d" % (10 + len(names)))
    return names


def machine(program):
    """A Machine whose software adapters are plugged through the stand-in program, with
    stand-in shells; nothing is booted."""
    vm = Machine(log=lambda line: None)
    vm.aux, vm.main, vm.lines = Shell((0, "")), Shell((0, "")), Lines()
    vm.adapters = AdapterLink(program.path, 10, vm.log)
    vm.plug_adapters(10)
    return vm


class Run:
    """A console run that has reached its `forget`."""

    def wait_line(self, pattern, timeout):
        return "forget -> 1"


class Replug(unittest.TestCase):
    def setUp(self):
        self.program = AdapterProgram(RECORDS, ttys())
        self.vm = machine(self.program)

    def tearDown(self):
        self.vm.adapters.close()
        self.program.close()

    def replugged(self, tty):
        """The problems of a trial on the CH340 whose replug after forget gives `tty`."""
        t = cases.Trial(self.vm, consoles.NativeConsole(), self.vm.device("ch340"))
        self.program.replug_as[("ch340", 0)] = tty
        t.far.unplug()
        self.program.wire("ch340", b"<back>")
        real_drivers.replug_after_forget(t, Run())
        return t.problems

    def test_a_replug_under_the_same_name_passes(self):
        self.assertEqual(self.replugged("ttyUSB2"), [])

    def test_a_replug_under_another_name_fails(self):
        self.assertEqual(self.replugged("ttyUSB7"), ["/dev/ttyUSB2 came back as /dev/ttyUSB7"])


class MachinesApart(unittest.TestCase):
    """Two machines run side by side, each on a thread of its own."""

    def setUp(self):
        self.programs = [AdapterProgram(RECORDS, ttys()), AdapterProgram(RECORDS, ttys())]
        self.vms = [machine(p) for p in self.programs]

    def tearDown(self):
        for vm, program in zip(self.vms, self.programs):
            vm.adapters.close()
            program.close()

    def test_a_replug_on_one_leaves_the_other_machines_paths_alone(self):
        first, second = self.vms
        self.programs[0].replug_as[("ch340", 0)] = "ttyUSB7"
        far = first.device("ch340").far
        far.unplug()
        far.replug()
        wine = consoles.WineConsole("win64")
        wine.ports.prepare(second)
        theirs = second.device("ch340")
        self.assertIn(" /dev/ttyUSB2 ", wine.ports.link(theirs))
        cases.Trial(second, wine, theirs).levels()
        self.assertEqual(second.lines.asked, ["/dev/ttyUSB2"])
        self.assertEqual(first.device("ch340").path, "/dev/ttyUSB7")


if __name__ == "__main__":
    unittest.main()


DUAL = dict(next(r for r in RECORDS if r["name"] == "ftdi"), name="dual", ports=2)
DUAL_TTYS = {("dual", 0): "ttyUSB20", ("dual", 1): "ttyUSB21"}


class PortsOfOneAdapter(unittest.TestCase):
    """A family whose device has two ports: each its own path and far end, and the plug
    and replug of the one device that has them both."""

    def setUp(self):
        self.program = AdapterProgram(RECORDS + [DUAL], {**ttys(), **DUAL_TTYS})

    def tearDown(self):
        self.vm.adapters.close()
        self.program.close()

    def test_each_port_has_its_path_and_its_own_bytes(self):
        self.vm = machine(self.program)
        a, b = self.vm.device("dual-a"), self.vm.device("dual-b")
        self.assertEqual((a.path, b.path), ("/dev/ttyUSB20", "/dev/ttyUSB21"))
        self.program.wire("dual", b"<to b>", port=1)
        self.assertEqual(b.far.read_until(b"<to b>", 5), b"<to b>")
        self.assertEqual(a.far.read_count(1, 0.3), b"")

    def test_an_adapter_is_up_only_once_every_port_has_its_tty(self):
        self.program.withheld.add(("dual", 1))
        self.vm = Machine(log=lambda line: None)
        self.vm.adapters = AdapterLink(self.program.path, 10, self.vm.log)
        self.vm.devices = devices.of_records(self.vm.adapters.start(10))
        duals = [d for d in self.vm.devices if d.family == "dual"]
        result = self.vm.adapters.plug(duals, 1)
        self.assertEqual(set(result.values()), {"no tty within 1 s of the plug"})

    def test_a_replug_relinks_every_port_of_the_adapter(self):
        self.vm = machine(self.program)
        wine = consoles.WineConsole("win64")
        wine.ports.prepare(self.vm)
        self.program.replug_as[("dual", 1)] = "ttyUSB29"  # the other port moved
        t = cases.Trial(self.vm, wine, self.vm.device("dual-a"))
        t.replug()
        self.assertEqual(t.problems, [])
        self.assertIn(wine.ports.link(self.vm.device("dual-b")), self.vm.aux.commands)
        self.assertIn(" /dev/ttyUSB29 ", wine.ports.link(self.vm.device("dual-b")))


class SharedWork(unittest.TestCase):
    def test_a_machine_done_with_its_own_takes_the_native_consoles_last_devices(self):
        native, wine = consoles.NativeConsole(), consoles.WineConsole("win64")
        work = run.Work({native: ["16550", "ch340", "ftdi"], wine: ["16550", "ftdi"]})
        self.assertEqual(work.next(native), "16550")
        self.assertEqual(work.steal(), (native, "ftdi"))
        self.assertEqual([work.next(wine), work.next(wine), work.next(wine)],
                         ["16550", "ftdi", None])
        self.assertEqual(work.next(native), "ch340")
        self.assertIsNone(work.steal())  # Wine's units are never taken: it needs preparing


class Plan(unittest.TestCase):
    def setUp(self):
        self.every = devices.of_records(RECORDS + [DUAL])

    def names(self, console, only=None):
        return [name for _, _, name in run.planned(console, only, self.every)]

    def test_every_line_of_a_run_has_a_name_of_its_own(self):
        names = [n for c in run.CONSOLES.values() for n in self.names(c())]
        self.assertEqual(len(names), len(set(names)))

    def test_the_ports_apart_case_runs_on_a_two_port_familys_first_port_only(self):
        names = self.names(consoles.NativeConsole())
        for device in self.every:
            mine = [n for n in names if n.startswith("native %s " % device.label)]
            apart = [n for n in mine if " two ports apart" in n]
            if device.record.ports == 1:
                self.assertEqual(apart, [], device.label)
            elif device.port == 0:
                self.assertEqual(len(apart), 1, device.label)
            else:
                self.assertEqual(mine, [], device.label)

    def test_a_name_says_what_the_devices_record_says(self):
        names = self.names(consoles.NativeConsole(), r"^native ch340 each line error")
        self.assertEqual(names, ["native ch340 each line error gives its GetCommError code once "
                                 "(parity 0, framing 0, overrun 0, break 0), and the bytes "
                                 "read as received"])


class WineLinks(unittest.TestCase):
    def test_every_device_gets_a_com_name_of_the_block_the_prefix_reserves(self):
        with open(os.path.join(layout.ROOT, "scripts", "wine-prefix.sh")) as f:
            first, last = map(int, re.search(r"lab_ports < <\(seq (\d+) (\d+)\)", f.read()).groups())
        vm = Machine()
        vm.devices = devices.of_records(RECORDS + [DUAL])
        wine = consoles.WineConsole("win32")
        wine.ports.prepare(vm)
        numbers = [int(wine.port(d)[3:]) for d in vm.devices]
        self.assertEqual(len(set(numbers)), len(vm.devices))
        self.assertTrue(all(first <= n <= last for n in numbers), numbers)
        self.assertEqual((consoles.LAB_COM_FIRST, consoles.LAB_COM_COUNT),
                         (first, last - first + 1))


class Records(unittest.TestCase):
    def test_every_family_announces_a_whole_record_under_a_name_of_its_own(self):
        fields = set(qemu.UART)
        for record in RECORDS:
            self.assertEqual(fields - set(record), {"path", "far_end"}, record["name"])
            self.assertGreaterEqual(record["ports"], 1)
        names = [r["name"] for r in RECORDS + list(qemu.RECORDS)]
        self.assertEqual(len(names), len(set(names)))


class QmpEvents(unittest.TestCase):
    """QMP interleaves events with the answers to commands."""

    def test_an_event_before_an_answer_is_kept_for_whoever_waits_for_it(self):
        qemu_side = Listener()
        script = [b'{"QMP": {"version": {}}}\n', b'{"return": {}}\n',
                  b'{"event": "DEVICE_DELETED", "data": {"device": "ftdi"}}\n{"return": {}}\n']

        def answer():
            qemu_side.send(script[0])
            for reply in script[1:]:
                while b"\n" not in qemu_side.conn.recv(4096):
                    pass
                qemu_side.send(reply)
        threading.Thread(target=answer, daemon=True).start()
        qmp = Qmp(qemu_side.path, 5)
        try:
            self.assertEqual(qmp.command("device_del", id="ftdi"), {})
            self.assertEqual(qmp.wait_event("DEVICE_DELETED", 1)["data"], {"device": "ftdi"})
            self.assertIsNone(qmp.wait_event("DEVICE_DELETED", 0.1))
        finally:
            qmp.sock.close()
            qemu_side.close()


class Bytes(unittest.TestCase):
    def test_read_until_takes_up_to_the_mark_and_keeps_the_rest(self):
        r = Received()
        r._arrived(b"ab<m>cd")
        self.assertEqual(r.read_until(b"<m>", 1), b"ab<m>")
        self.assertEqual(r.take_all(), b"cd")

    def test_a_line_that_ends_ends_the_waits_at_once(self):
        r = Received()
        threading.Timer(0.1, r._ended).start()
        start = time.monotonic()
        self.assertIsNone(r.read_until(b"<never>", 30))
        self.assertLess(time.monotonic() - start, 5)

    def test_read_count_gives_what_came_once_the_line_is_idle(self):
        r = Received()
        r._arrived(b"abc")
        start = time.monotonic()
        self.assertEqual(r.read_count(100, 30, idle=0.3), b"abc")
        self.assertLess(time.monotonic() - start, 5)


class GuestShellJobs(unittest.TestCase):
    """The guest's side of a job played here: output in pieces, then the tag and status."""

    def test_lines_split_across_reads_and_a_status_of_0_end_the_job(self):
        guest = Listener()
        shell = GuestShell("main", guest.path, 5)
        try:
            job = shell.start("true", 10)
            line = b""
            while b"\n" not in line:
                line += guest.accepted().recv(4096)
            tag = re.search(rb'echo "(@@lab-done-[0-9-]+@@)\$rc"', line).group(1)
            for piece in (b"part of a lo", b"ng line\nsecond\n", b"\n" + tag + b"0\n"):
                guest.send(piece)
            self.assertEqual(job.wait(5), 0)
            self.assertEqual(job.output().rstrip("\n"), "part of a long line\nsecond")
            self.assertFalse(shell.busy())
        finally:
            shell.sock.close()
            guest.close()


class Statements(unittest.TestCase):
    def test_every_byte_value_reads_back_as_the_console_shows_it(self):
        values = bytes(range(256)) + b'\\"'
        self.assertEqual(script.undescribe(script.describe(values)), values)

    def test_answers_are_read_in_order_past_lines_of_the_runtimes_own(self):
        statements = [script.call("GetCommBaudRate", want=9600),
                      script.call("ReadComm", want=b"a\xffb"), script.expect("<k>", 100)]
        script.read_answers(statements, [
            "fixme:comm:something Wine says", "GetCommBaudRate -> 9600 [0.2 ms]",
            'ReadComm -> "a\\xFFb" [1.5 ms]', 'expect "<k>" -> ok (3 ms) [3.1 ms]'])
        self.assertEqual([s.answer for s in statements], [9600, b"a\xffb", "ok"])
        self.assertEqual([s.check() for s in statements], [None, None, None])
        self.assertEqual(statements[1].ms, 1.5)


class DeviceServer(unittest.TestCase):
    def test_a_case_without_ser2net_is_a_skip_with_its_reason_never_an_ok(self):
        program = AdapterProgram(RECORDS, ttys())
        vm = machine(program)
        reported, unavailable = [], device_server.unavailable
        device_server.unavailable = lambda: "ser2net is not installed"
        try:
            case = next(c for c in device_server.SUITE if c.runs_on_device(vm.device("ch340")) and c.runs_on(consoles.NativeConsole())
                        and "takes nothing" in c.name_on(vm.device("ch340")))
            cases.run_case(vm, consoles.NativeConsole(), case, vm.device("ch340"),
                           reported.append)
        finally:
            device_server.unavailable = unavailable
            vm.adapters.close()
            program.close()
        self.assertEqual(len(reported), 1, reported)
        self.assertTrue(reported[0].startswith("skip native ch340 through ser2net"), reported)
        self.assertTrue(reported[0].endswith(": ser2net is not installed"), reported)

    @unittest.skipIf(device_server.unavailable(), "ser2net is not installed here")
    def test_the_server_listens_once_started_and_is_gone_once_stopped(self):
        main, sub = os.openpty()
        device = types.SimpleNamespace(path=os.ttyname(sub))
        device.machine_devices = [None] * 41 + [device]  # a port no other test takes
        t = types.SimpleNamespace(dev=device, vm=types.SimpleNamespace(aux=Shell(local=True)))
        served = device_server.Served(t)
        try:
            served.start()
            socket.create_connection(("127.0.0.1", served.port), 5).close()
            served.stop()
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", served.port), 5).close()
        finally:
            served.stop()
            os.close(main)
            os.close(sub)
