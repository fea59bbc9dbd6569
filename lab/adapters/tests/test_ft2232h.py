"""The FT2232H as ftdi_sio programs each of its two channels (drivers/usb/serial/ftdi_sio.c)."""
import unittest

from bus import Bus
from ft2232h import Ft2232h

VENDOR_OUT, VENDOR_IN = 0x40, 0xC0
SET_BAUD_RATE, SET_DATA, MODEM_CTRL, GET_MODEM_STATUS = 3, 4, 1, 5
CHANNEL_A, CHANNEL_B = 1, 2


def driver_divisor(baud):
    """ftdi_2232h_baud_to_divisor from 1200 baud on, ftdi_232bm_baud_to_divisor below."""
    divfrac = (0, 3, 2, 4, 1, 5, 6, 7)
    if baud >= 1200:
        divisor3 = (8 * 120000000 + 5 * baud) // (10 * baud)  # DIV_ROUND_CLOSEST
        h = 0x20000
    else:
        divisor3 = (48000000 + baud) // (2 * baud)
        h = 0
    divisor = divisor3 >> 3 | divfrac[divisor3 & 7] << 14
    return {1: 0, 0x4001: 1}.get(divisor, divisor) | h


def set_baud(bus, channel, baud):
    """change_speed: the divisor's high bits in wIndex's high byte, the channel in its low."""
    d = driver_divisor(baud)
    bus.control(VENDOR_OUT, SET_BAUD_RATE, d & 0xFFFF, (d >> 16) << 8 | channel)


class TwoChannels(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(Ft2232h)
        self.a, self.b = (port.uart for port in self.bus.adapter.ports)

    def test_two_interfaces_each_with_its_own_endpoints(self):
        config = self.bus.adapter.descriptors.config
        self.assertEqual(config[4], 2)  # bNumInterfaces
        endpoints = [config[i + 2] for i in range(len(config) - 1)
                     if config[i] == 7 and config[i + 1] == 5]
        self.assertEqual(endpoints, [0x81, 0x02, 0x83, 0x04])

    def test_each_rate_the_driver_asks_of_the_120_mhz_base_and_below_1200(self):
        for baud, made in ((300, 300), (9600, 9600), (115200, 115246), (921600, 923077),
                           (3000000, 3000000), (12000000, 12000000)):
            set_baud(self.bus, CHANNEL_B, baud)
            self.assertLess(abs(self.b.settings.baud - made), made * 0.001, baud)

    def test_a_request_reaches_the_channel_its_index_names_only(self):
        set_baud(self.bus, CHANNEL_B, 57600)
        self.bus.control(VENDOR_OUT, SET_DATA, 7 | 2 << 8 | 2 << 11, CHANNEL_B)
        self.bus.control(VENDOR_OUT, MODEM_CTRL, 0x0101, CHANNEL_A)  # DTR on A
        self.assertEqual((self.a.settings.baud, self.a.settings.data_bits), (9600, 8))
        self.assertEqual((self.b.settings.data_bits, self.b.settings.parity), (7, "even"))
        self.assertEqual((self.a.dtr, self.b.dtr), (True, False))
        self.bus.adapter.set_inputs(self.bus.adapter.ports[1], self.bus.now, cts=False)
        _, a_status = self.bus.control(VENDOR_IN, GET_MODEM_STATUS, 0, CHANNEL_A, length=2)
        _, b_status = self.bus.control(VENDOR_IN, GET_MODEM_STATUS, 0, CHANNEL_B, length=2)
        self.assertEqual((a_status[0] & 0x10, b_status[0] & 0x10), (0x10, 0))

    def test_bytes_each_way_stay_on_their_channel(self):
        self.bus.submit(4, False, 3, b"<b>")
        self.bus.later(0.01)
        self.assertEqual((self.a.take_wire(), self.b.take_wire()), (b"", b"<b>"))
        for ep in (1, 3):  # each channel's first status packet
            self.bus.answer(self.bus.submit(ep, True, 64))
        on_a, on_b = self.bus.submit(1, True, 64), self.bus.submit(3, True, 64)
        self.bus.receive(b"<to a>", port=0)
        self.assertEqual(self.bus.answer(on_a)[2:], b"<to a>")
        self.assertIsNone(self.bus.answer(on_b))  # held: B has nothing to say

    def test_a_request_for_no_channel_stalls(self):
        status, _ = self.bus.control(VENDOR_OUT, MODEM_CTRL, 0x0101, 3)
        self.assertNotEqual(status, 0)


if __name__ == "__main__":
    unittest.main()
