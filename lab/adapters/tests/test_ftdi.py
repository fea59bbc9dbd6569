"""The FT232R as ftdi_sio programs it and reads it (drivers/usb/serial/ftdi_sio.c)."""
import unittest

from bus import Bus
from ftdi import Ft232r

VENDOR_OUT, VENDOR_IN = 0x40, 0xC0


def driver_divisor(baud):
    """ftdi_232bm_baud_base_to_divisor(baud, 48000000)."""
    divfrac = (0, 3, 2, 4, 1, 5, 6, 7)
    divisor3 = (48000000 + baud) // (2 * baud)  # DIV_ROUND_CLOSEST(base, 2 * baud)
    divisor = divisor3 >> 3 | divfrac[divisor3 & 7] << 14
    return {1: 0, 0x4001: 1}.get(divisor, divisor)


def driver_reads(transfer):
    """ftdi_process_read_urb: [(byte, flag)] into the tty, and the counters it bumps."""
    chars, counts = [], {"parity": 0, "frame": 0, "overrun": 0, "brk": 0}
    for i in range(0, len(transfer), 64):
        packet = transfer[i:i + 64]
        if len(packet) <= 2:
            continue
        flag, status = "normal", packet[1]
        brk = status & 0x10 and packet[-1] == 0
        if brk:
            counts["brk"] += 1
        if status & 0x04:
            flag = "parity"
            counts["parity"] += 1
        elif status & 0x08:
            flag = "frame"
            counts["frame"] += 1
        if status & 0x02:
            counts["overrun"] += 1
            chars.append((0, "overrun"))
        for j, b in enumerate(packet[2:]):
            chars.append((b, "break" if brk and j == len(packet) - 3 else flag))
    return chars, counts


class Settings(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ft232r)
        self.uart = self.bus.adapter.uart

    def test_the_rate_of_each_divisor_the_driver_sends(self):
        for baud, made in ((300, 300), (9600, 9600), (115200, 115385), (921600, 923077),
                           (2000000, 2000000), (3000000, 3000000)):
            d = driver_divisor(baud)
            self.bus.control(VENDOR_OUT, 3, d & 0xFFFF, d >> 16)
            self.assertEqual(self.uart.settings.baud, made, baud)

    def test_data_parity_stop_and_break_in_set_data(self):
        # 7 bits, even parity (2 << 8), two stop bits (2 << 11); then break (1 << 14).
        self.bus.control(VENDOR_OUT, 4, 7 | 2 << 8 | 2 << 11)
        self.assertEqual(self.uart.state()["data_bits"], 7)
        self.assertEqual((self.uart.settings.parity, self.uart.settings.stop_bits), ("even", 2))
        self.bus.control(VENDOR_OUT, 4, 8 | 3 << 8 | 1 << 14)
        self.assertEqual((self.uart.settings.parity, self.uart.break_on), ("mark", True))

    def test_dtr_and_rts_change_only_where_their_mask_is_set(self):
        self.bus.control(VENDOR_OUT, 1, 0x0101)  # FTDI_SIO_SET_DTR_HIGH
        self.bus.control(VENDOR_OUT, 1, 0x0202)  # FTDI_SIO_SET_RTS_HIGH
        self.bus.control(VENDOR_OUT, 1, 0x0100)  # FTDI_SIO_SET_DTR_LOW
        self.assertEqual((self.uart.dtr, self.uart.rts), (False, True))

    def test_flow_control_modes(self):
        self.bus.control(VENDOR_OUT, 2, 0, 0x0100)
        self.assertEqual(self.uart.state()["flow"], "rts-cts")
        self.bus.control(VENDOR_OUT, 2, 0x1311, 0x0400)
        self.assertEqual(self.uart.state()["flow"], "xon-xoff")
        self.bus.control(VENDOR_OUT, 2, 0, 0)
        self.assertEqual(self.uart.state()["flow"], "none")


class Status(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ft232r)
        self.uart = self.bus.adapter.uart
        self.bus.control(VENDOR_OUT, 3, driver_divisor(115200))

    def test_modem_status_and_transmitter_empty(self):
        self.uart.inputs.update(cts=True, dsr=False, ri=True, dcd=False)
        self.assertEqual(self.bus.control(VENDOR_IN, 5, length=2), (0, bytes([0x51, 0x60])))
        self.bus.submit(2, False, 3, b"abc")
        self.assertEqual(self.bus.control(VENDOR_IN, 5, length=2)[1][1] & 0x40, 0)

    def test_a_modem_change_comes_as_a_status_only_packet(self):
        first = self.bus.submit(1, True, 512)
        self.assertEqual(self.bus.answer(first), bytes([0xB1, 0x60]))  # CTS DSR DCD
        held = self.bus.submit(1, True, 512)
        self.assertIsNone(self.bus.answer(held))
        self.bus.adapter.set_inputs(self.bus.adapter.ports[0], self.bus.now, cts=False)
        self.assertEqual(self.bus.answer(held), bytes([0xA1, 0x60]))


class Errors(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ft232r)
        self.bus.control(VENDOR_OUT, 3, driver_divisor(115200))

    def reads(self, data, errors):
        self.bus.receive(data, errors)
        chars, counts = [], {}
        while True:
            got = self.bus.answer(self.bus.submit(1, True, 512))
            if not got or len(got) == 2:
                return chars, counts
            c, n = driver_reads(got)
            chars += c
            for k, v in n.items():
                counts[k] = counts.get(k, 0) + v

    def test_an_error_flags_only_its_own_byte(self):
        chars, counts = self.reads(b"abPcdFe", [(2, ("parity",)), (5, ("framing",))])
        self.assertEqual(chars, [(97, "normal"), (98, "normal"), (80, "parity"), (99, "normal"),
                                 (100, "normal"), (70, "frame"), (101, "normal")])
        self.assertEqual((counts["parity"], counts["frame"]), (1, 1))

    def test_overrun_adds_the_drivers_zero_and_break_is_counted(self):
        chars, counts = self.reads(b"xOy\x00z", [(1, ("overrun",)), (3, ("break",))])
        self.assertEqual(chars, [(120, "normal"), (0, "overrun"), (79, "normal"), (121, "normal"),
                                 (0, "break"), (122, "normal")])
        self.assertEqual((counts["overrun"], counts["brk"]), (1, 1))

    def test_a_short_packet_waits_for_the_latency_timer(self):
        self.bus.control(VENDOR_OUT, 9, 2)  # 2 ms
        self.bus.answer(self.bus.submit(1, True, 512))  # the first status packet
        held = self.bus.submit(1, True, 512)
        self.bus.adapter.uart.inject(b"abc", [], self.bus.now)
        self.bus.later(0.001)
        self.assertIsNone(self.bus.answer(held))
        self.bus.later(0.002)
        self.assertEqual(self.bus.answer(held)[2:], b"abc")

    def test_long_clean_data_fills_whole_packets(self):
        data = bytes(range(120))  # two packets: 62 bytes and 58
        chars, _ = self.reads(data, [])
        self.assertEqual(bytes(c for c, _ in chars), data)


if __name__ == "__main__":
    unittest.main()
