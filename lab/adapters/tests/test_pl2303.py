"""The PL2303 HX as pl2303 detects, programs and reads it (drivers/usb/serial/pl2303.c)."""
import struct
import unittest

from bus import Bus
from pl2303 import Pl2303

CLASS_OUT, CLASS_IN, VENDOR_OUT, VENDOR_IN = 0x21, 0xA1, 0x40, 0xC0


def driver_divisor(baud):
    """pl2303_encode_baud_rate_divisor: the 4 bytes for a rate off the table."""
    mantissa, exponent = 12000000 * 32 // baud, 0
    while mantissa >= 512:
        mantissa, exponent = mantissa >> 2, exponent + 1
    return bytes([mantissa & 0xFF, exponent << 1 | mantissa >> 8, 0, 0x80])


class Driver:
    """pl2303_update_line_status and pl2303_process_read_urb: the interrupt packet's byte 8
    is the line status; its transient bits flag every byte of the next bulk read."""

    def __init__(self, bus):
        self.bus, self.status, self.chars = bus, 0, []
        bus.order.clear()
        self.interrupt = bus.submit(1, True, 10)
        self.bulk = [bus.submit(3, True, 256), bus.submit(3, True, 256)]

    def run(self):
        for seq in list(self.bus.order):
            self.bus.order.remove(seq)
            if seq == self.interrupt.seqnum:
                self.status = self.bus.answer(self.interrupt)[8]
                self.interrupt = self.bus.submit(1, True, 10)
                continue
            req = next(r for r in self.bulk if r.seqnum == seq)
            self.bulk.remove(req)
            data = self.bus.answer(req)
            status, self.status = self.status, self.status & ~0x74
            flag = "break" if status & 0x04 else "parity" if status & 0x20 else \
                "frame" if status & 0x10 else "normal"
            if status & 0x40:
                self.chars.append((0, "overrun"))
            self.chars += [(b, flag) for b in data]
            self.bulk.append(self.bus.submit(3, True, 256))
        return self.chars


class Settings(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Pl2303)
        self.uart = self.bus.adapter.uart

    def test_the_descriptor_says_hx(self):
        d = self.bus.adapter.descriptors.device
        bcd_usb, device_class, packet0, bcd_device = (struct.unpack_from("<H", d, 2)[0], d[4], d[7],
                                                      struct.unpack_from("<H", d, 12)[0])
        self.assertEqual((bcd_usb, device_class, packet0, bcd_device), (0x0110, 0, 64, 0x0300))

    def test_line_requests_with_a_direct_rate_and_a_divisor(self):
        self.bus.control(CLASS_OUT, 0x20, data=struct.pack("<IBBB", 115200, 2, 2, 7))
        self.assertEqual(self.uart.state()["baud"], 115200)
        self.assertEqual((self.uart.settings.stop_bits, self.uart.settings.parity,
                          self.uart.settings.data_bits), (2, "even", 7))
        self.bus.control(CLASS_OUT, 0x20, data=driver_divisor(250000) + b"\0\0\x08")
        self.assertLess(abs(self.uart.settings.baud - 250000), 2500)
        self.assertEqual(self.bus.control(CLASS_IN, 0x21, length=7)[1][4:], b"\0\0\x08")

    def test_control_lines_break_and_flow_register(self):
        self.bus.control(CLASS_OUT, 0x22, 0x02)
        self.bus.control(CLASS_OUT, 0x23, 0xFFFF)
        self.assertEqual((self.uart.dtr, self.uart.rts, self.uart.break_on), (False, True, True))
        self.bus.control(VENDOR_OUT, 0x01, 0, 0x61)  # pl2303_update_reg(0, 0xf0, 0x60)
        self.assertEqual(self.uart.state()["flow"], "rts-cts")
        self.assertEqual(self.bus.control(VENDOR_IN, 0x01, 0x80, length=1)[1], b"\x61")
        self.bus.control(VENDOR_OUT, 0x01, 0, 0xC1)
        self.assertEqual(self.uart.state()["flow"], "xon-xoff")


class Errors(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Pl2303)
        self.bus.control(CLASS_OUT, 0x20, data=struct.pack("<IBBB", 115200, 0, 0, 8))

    def test_an_error_is_announced_before_its_byte_which_travels_alone(self):
        driver = Driver(self.bus)
        self.bus.receive(b"abPcdFe", [(2, ("parity",)), (5, ("framing",))])
        for _ in range(6):
            driver.run()
            self.bus.later(0.001)
        self.assertEqual(driver.chars, [(97, "normal"), (98, "normal"), (80, "parity"),
                                        (99, "normal"), (100, "normal"), (70, "frame"),
                                        (101, "normal")])

    def test_overrun_and_break_and_the_modem_lines(self):
        driver = Driver(self.bus)
        self.bus.adapter.uart.inputs.update(cts=True, dsr=False, ri=True, dcd=False)
        self.bus.receive(b"O\x00", [(0, ("overrun",)), (1, ("break",))])
        for _ in range(4):
            driver.run()
            self.bus.later(0.001)
        self.assertEqual(driver.chars, [(0, "overrun"), (79, "normal"), (0, "break")])
        self.assertEqual(driver.status & 0x8B, 0x80 | 0x08)  # CTS and RI stay, DSR and DCD low


if __name__ == "__main__":
    unittest.main()
