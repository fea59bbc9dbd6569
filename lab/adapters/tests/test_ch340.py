"""The CH340 as ch341 probes, programs and reads it (drivers/usb/serial/ch341.c)."""
import unittest

from bus import Bus
from ch340 import Ch340

OUT, IN = 0x40, 0xC0


def driver_registers(speed, version=0x31):
    """ch341_get_divisor, with the bit ch341_set_baudrate_lcr adds: WRITE_REG's index for
    registers 0x12 (low byte) and 0x13."""
    clk = 48000000
    speed = max(min(speed, clk // (2 * 2)), (clk + 4096 * 256 - 1) // (4096 * 256))
    min_rates = [clk // ((1 << (12 - 3 * ps - 1)) * 512) for ps in range(4)]
    fact, ps = 1, 3
    while ps >= 0 and not speed > min_rates[ps]:
        ps -= 1
    clk_div = 1 << (12 - 3 * ps - fact)
    div = clk // (clk_div * speed)
    if div < 9 or div > 255:
        div, clk_div, fact = div // 2, clk_div * 2, 0
    if 16 * clk // (clk_div * div) - 16 * speed >= 16 * speed - 16 * clk // (clk_div * (div + 1)):
        div += 1
    if fact == 1 and div % 2 == 0:
        div, fact = div // 2, 0
    return (0x100 - div) << 8 | fact << 2 | ps | (0x80 if version > 0x27 else 0)


class Probe(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ch340)
        self.uart = self.bus.adapter.uart

    def test_what_probe_needs_succeeds(self):
        status, version = self.bus.control(IN, 0x5F, length=2)
        self.assertEqual((status, version[0] > 0x27), (0, True))
        self.assertEqual(self.bus.control(OUT, 0xA1)[0], 0)
        status, reg = self.bus.control(IN, 0x95, 0x0005, length=2)
        self.assertEqual((status, reg[0] & 1), (0, 1))  # break control there, not in break

    def test_rates_from_the_prescaler_and_divisor_registers(self):
        for baud in (300, 9600, 115200, 921600, 2000000):
            self.bus.control(OUT, 0x9A, 0x1312, driver_registers(baud))
            self.assertLess(abs(self.uart.settings.baud - baud), baud * 0.02, baud)

    def test_lcr_bits_and_break(self):
        # RX | TX | even | parity | two stop bits | 7 bits, through LCR and LCR2.
        self.bus.control(OUT, 0x9A, 0x2518, 0xC0 | 0x10 | 0x08 | 0x04 | 0x02)
        s = self.uart.state()
        self.assertEqual((s["data_bits"], s["parity"], s["stop_bits"], s["break"]),
                         (7, "even", 2, 0))
        self.bus.control(OUT, 0x9A, 0x2518, 0xC0 | 0x20 | 0x08 | 0x03)
        self.assertEqual(self.uart.settings.parity, "mark")
        # ch341_break_ctl: NBREAK cleared in 0x05 and TX enable in the LCR.
        _, regs = self.bus.control(IN, 0x95, 0x1805, length=2)
        self.bus.control(OUT, 0x9A, 0x1805, (regs[1] & ~0x40) << 8 | (regs[0] & ~1))
        self.assertTrue(self.uart.break_on)
        self.bus.control(OUT, 0x9A, 0x1805, (regs[1] | 0x40) << 8 | (regs[0] | 1))
        self.assertFalse(self.uart.break_on)


class ModemLines(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ch340)
        self.uart = self.bus.adapter.uart

    def test_modem_control_is_inverted(self):
        self.bus.control(OUT, 0xA4, ~0x20 & 0xFFFF)  # ch341_set_handshake(DTR)
        self.assertEqual((self.uart.dtr, self.uart.rts), (True, False))

    def test_inputs_come_back_inverted_in_register_6_and_the_interrupt_packet(self):
        self.uart.inputs.update(cts=True, dsr=False, ri=False, dcd=True)
        _, status = self.bus.control(IN, 0x95, 0x0706, length=2)
        self.assertEqual(~status[0] & 0x0F, 0x09)
        self.bus.answer(self.bus.submit(1, True, 8))
        held = self.bus.submit(1, True, 8)
        self.assertIsNone(self.bus.answer(held))
        self.bus.adapter.set_inputs(self.bus.adapter.ports[0], self.bus.now, ri=True)
        packet = self.bus.answer(held)
        self.assertEqual((len(packet), ~packet[2] & 0x0F), (4, 0x0D))


class NoErrors(unittest.TestCase):
    def test_bytes_with_errors_arrive_as_received_and_a_break_as_zero(self):
        bus = Bus(Ch340)
        bus.control(OUT, 0x9A, 0x1312, driver_registers(115200))
        bus.receive(b"aPb\xffc", [(1, ("parity",)), (3, ("break",))])
        self.assertEqual(bus.answer(bus.submit(2, True, 32)), b"aPb\0c")


if __name__ == "__main__":
    unittest.main()
