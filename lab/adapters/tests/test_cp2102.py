"""The CP2102 as cp210x probes, programs and reads it (drivers/usb/serial/cp210x.c)."""
import struct
import unittest

from bus import Bus
from cp2102 import Cp2102

TO_IFACE, FROM_IFACE, FROM_DEVICE = 0x41, 0xC1, 0xC0


def driver_reads(transfer, event_mode):
    """cp210x_process_read_urb with cp210x_process_char and cp210x_process_lsr: the
    (byte, flag) pairs given to the tty."""
    if not event_mode:
        return [(b, "normal") for b in transfer]
    out, state, lsr = [], "data", 0
    for ch in transfer:
        if state == "data":
            if ch == 0xEC:
                state = "escape"
            else:
                out.append((ch, "normal"))
        elif state == "escape":
            if ch == 0:
                out.append((0xEC, "normal"))
                state = "data"
            else:
                state = {1: "lsr_data_0", 2: "lsr", 3: "msr"}.get(ch, "data")
        elif state == "lsr_data_0":
            lsr, state = ch, "lsr_data_1"
        elif state == "lsr_data_1":
            flag = "break" if lsr & 0x10 else "parity" if lsr & 0x04 else \
                "frame" if lsr & 0x08 else "normal"
            if lsr & 0x02:
                out.append((0, "overrun"))
            out.append((ch, flag))
            state = "data"
        else:
            state = "data"
    return out


class Settings(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Cp2102)
        self.uart = self.bus.adapter.uart

    def test_the_part_number_and_the_genuine_two_byte_answer(self):
        self.assertEqual(self.bus.control(FROM_DEVICE, 0xFF, 0x370B, length=1), (0, b"\x02"))
        self.assertEqual(len(self.bus.control(FROM_DEVICE, 0xFF, 0x370B, length=2)[1]), 2)

    def test_rate_line_control_break_and_modem_control(self):
        self.bus.control(TO_IFACE, 0x1E, data=struct.pack("<I", 921600))
        self.bus.control(TO_IFACE, 0x03, 0x0700 | 0x0010 | 0x0002)  # 7 bits, odd, 2 stop
        self.bus.control(TO_IFACE, 0x05, 1)
        self.bus.control(TO_IFACE, 0x07, 0x0303)  # DTR and RTS on, both written
        self.bus.control(TO_IFACE, 0x07, 0x0100)  # DTR off
        self.assertEqual(self.uart.state(), {"baud": 921600, "data_bits": 7, "parity": "odd",
                                             "stop_bits": 2, "dtr": 0, "rts": 1, "flow": "none",
                                             "break": 1})
        self.uart.inputs.update(cts=True, dsr=True, ri=False, dcd=False)
        self.assertEqual(self.bus.control(FROM_IFACE, 0x08, length=1)[1], bytes([0x32]))

    def test_crtscts_as_cp210x_set_flow_control_writes_it(self):
        _, flow = self.bus.control(FROM_IFACE, 0x14, length=16)
        ctl_hs, repl, xon, xoff = struct.unpack("<IIII", flow)
        ctl_hs = (ctl_hs & ~0x73) | 0x01 | 0x08  # DTR active, CTS handshake
        repl = (repl & ~0xC0) | 0x80  # RTS flow control
        self.bus.control(TO_IFACE, 0x13, data=struct.pack("<IIII", ctl_hs, repl, xon, xoff))
        self.assertEqual(self.uart.state()["flow"], "rts-cts")
        self.assertEqual((self.uart.dtr, self.uart.rts), (True, True))

    def test_the_out_queue_count_tcdrain_polls(self):
        self.bus.submit(1, False, 5, b"hello")
        _, status = self.bus.control(FROM_IFACE, 0x10, length=0x13)
        self.assertEqual(struct.unpack_from("<I", status, 12)[0], 5)


class Events(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Cp2102)
        self.bus.control(TO_IFACE, 0x1E, data=struct.pack("<I", 115200))

    def reads(self, data, errors, event_mode):
        self.bus.receive(data, errors)
        got = self.bus.answer(self.bus.submit(1, True, 256))
        return driver_reads(got, event_mode)

    def test_errors_only_in_event_mode(self):
        errors = [(1, ("parity",)), (3, ("overrun",)), (5, ("break",))]
        chars = self.reads(b"a\xec\xecOb\x7fc", errors, False)
        self.assertEqual(bytes(c for c, _ in chars), b"a\xec\xecOb\0c")
        self.assertEqual({f for _, f in chars}, {"normal"})
        self.bus.control(TO_IFACE, 0x15, 0xEC)  # cp210x_enable_event_mode
        chars = self.reads(b"a\xec\xecOb\x7fc", errors, True)
        self.assertEqual(chars, [(97, "normal"), (0xEC, "parity"), (0xEC, "normal"), (0, "overrun"),
                                 (79, "normal"), (98, "normal"), (0, "break"), (99, "normal")])

    def test_closing_the_interface_ends_event_mode(self):
        self.bus.control(TO_IFACE, 0x15, 0xEC)
        self.bus.control(TO_IFACE, 0x00, 0)
        self.assertEqual(self.reads(b"\xec", [], False), [(0xEC, "normal")])


if __name__ == "__main__":
    unittest.main()
