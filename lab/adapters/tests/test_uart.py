"""The UART model: time on the wire, the chip's flow control, and what its receive buffer
does with bytes nobody takes."""
import unittest

import bus  # noqa: F401  (the adapters' folder on the path)
from uart import Uart


def uart(baud=115200, bits=8, parity="none", stop=1):
    u = Uart(256, 128)
    u.settings.baud, u.settings.data_bits = baud, bits
    u.settings.parity, u.settings.stop_bits = parity, stop
    return u


class Pacing(unittest.TestCase):
    def test_a_character_takes_start_data_parity_and_stop_bits(self):
        for (bits, parity, stop), char_bits in (((8, "none", 1), 10), ((7, "even", 2), 11),
                                                ((5, "none", 1.5), 7.5)):
            u = uart(9600, bits, parity, stop)
            self.assertEqual(u.settings.char_bits(), char_bits)
            u.take(b"U" * 2000, 0.0)
            u.advance(1.0)
            self.assertEqual(len(u.take_wire()), int(9600 / char_bits))

    def test_bytes_that_waited_start_when_the_line_was_free(self):
        u = uart(9600)  # about a millisecond a character
        u.take(b"a" * 10, 0.0)
        u.advance(0.5)
        u.take(b"b" * 10, 0.0104)  # there since just after the last "a" left
        u.advance(0.0209)
        self.assertEqual(u.take_wire(), b"a" * 10 + b"b" * 10)
        u.take(b"c", 0.5)  # an idle line starts on new bytes when they come
        u.advance(0.5005)
        self.assertEqual(u.take_wire(), b"")

    def test_seven_bit_settings_clear_the_eighth_bit_both_ways(self):
        u = uart(bits=7)
        u.take(b"\xc1", 0.0)
        u.inject(b"\xc2", [], 0.0)
        u.advance(1.0)
        self.assertEqual((u.take_wire(), u.rx.pop(9)[0]), (b"A", b"B"))


class Flow(unittest.TestCase):
    def test_cts_low_holds_output_only_with_the_chips_handshake(self):
        u = uart()
        u.inputs["cts"] = False
        u.take(b"x", 0.0)
        u.advance(1.0)
        self.assertEqual(u.take_wire(), b"x")
        u.flow = {"rts-cts"}
        u.take(b"y", 1.0)
        u.advance(2.0)
        self.assertEqual(u.take_wire(), b"")
        u.inputs["cts"] = True
        u.advance(2.0)
        u.advance(3.0)
        self.assertEqual(u.take_wire(), b"y")

    def test_xoff_from_the_wire_holds_output_until_xon_and_both_still_arrive(self):
        u = uart()
        u.flow = {"xon-xoff"}
        u.inject(b"\x13", [], 0.0)
        u.advance(0.1)
        u.take(b"z", 0.1)
        u.advance(1.0)
        self.assertEqual(u.take_wire(), b"")
        u.inject(b"\x11", [], 1.0)
        u.advance(1.1)
        u.advance(2.0)
        self.assertEqual((u.take_wire(), u.rx.pop(9)[0]), (b"z", b"\x13\x11"))

    def test_rts_drops_while_the_receive_buffer_is_nearly_full(self):
        u = uart()
        u.flow, u.rts = {"rts-cts"}, True
        u.inject(b"r" * 120, [], 0.0)
        u.advance(1.0)
        self.assertFalse(u.rts_line())
        u.rx.pop(100)
        self.assertTrue(u.rts_line())


class Receiving(unittest.TestCase):
    def test_without_a_reader_a_full_buffer_loses_bytes_and_flags_the_next_one(self):
        u = uart()
        u.inject(b"a" * 130, [], 0.0)
        u.advance(1.0, reader=False)
        self.assertEqual(len(u.rx), 128)
        u.rx.pop(128)
        u.inject(b"b", [], 1.0)
        u.advance(2.0, reader=False)
        self.assertEqual(u.rx.pop(1), (b"b", [(0, ("overrun",))]))

    def test_with_a_reader_bytes_wait_on_the_wire_instead(self):
        u = uart()
        u.inject(b"a" * 200, [], 0.0)
        u.advance(1.0)
        u.rx.pop(128)
        u.advance(1.0)
        self.assertEqual(len(u.rx), 72)

    def test_a_break_reads_as_a_zero_byte_with_its_error(self):
        u = uart()
        u.inject(b"x\xffy", [(1, ("break",))], 0.0)
        u.advance(1.0)
        self.assertEqual(u.rx.pop(3), (b"x\0y", [(1, ("break",))]))


if __name__ == "__main__":
    unittest.main()
