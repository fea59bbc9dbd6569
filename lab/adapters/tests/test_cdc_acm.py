"""The CDC-ACM device as cdc_acm probes, programs and reads it
(drivers/usb/class/cdc-acm.c)."""
import struct
import unittest

from bus import Bus
from cdc_acm import CdcAcm

CLASS_OUT, CLASS_IN = 0x21, 0xA1


class Driver:
    """acm_process_notification and acm_process_read_urb: errors are counted, a break
    inserts a 0 byte, data is never flagged."""

    def __init__(self, bus):
        self.bus, self.ctrlin, self.data = bus, 0, bytearray()
        self.counts = {"frame": 0, "parity": 0, "overrun": 0, "brk": 0, "dsr": 0, "dcd": 0}
        bus.order.clear()
        self.notify = bus.submit(2, True, 16)
        self.bulk = [bus.submit(3, True, 128), bus.submit(3, True, 128)]

    def run(self):
        for seq in list(self.bus.order):
            self.bus.order.remove(seq)
            if seq == self.notify.seqnum:
                packet = self.bus.answer(self.notify)
                self.assertion = struct.unpack_from("<BBHHH", packet)
                state = struct.unpack_from("<H", packet, 8)[0]
                diff, self.ctrlin = self.ctrlin ^ state, state
                self.counts["dsr"] += bool(diff & 0x02)
                self.counts["dcd"] += bool(diff & 0x01)
                for bit, name in ((0x10, "frame"), (0x20, "parity"), (0x40, "overrun"),
                                  (0x04, "brk")):
                    self.counts[name] += bool(state & bit)
                if state & 0x04:
                    self.data.append(0)
                self.notify = self.bus.submit(2, True, 16)
                continue
            req = next(r for r in self.bulk if r.seqnum == seq)
            self.bulk.remove(req)
            self.data += self.bus.answer(req)
            self.bulk.append(self.bus.submit(3, True, 128))


class Settings(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(CdcAcm)
        self.uart = self.bus.adapter.uart

    def test_line_coding_control_line_state_and_break(self):
        self.bus.control(CLASS_OUT, 0x20, data=struct.pack("<IBBB", 9600, 2, 2, 7))
        self.bus.control(CLASS_OUT, 0x22, 0x01)
        self.bus.control(CLASS_OUT, 0x23, 0xFFFF)
        self.assertEqual(self.uart.state(), {"baud": 9600, "data_bits": 7, "parity": "even",
                                             "stop_bits": 2, "dtr": 1, "rts": 0, "flow": "none",
                                             "break": 1})
        self.assertEqual(self.bus.control(CLASS_IN, 0x21, length=7)[1],
                         struct.pack("<IBBB", 9600, 2, 2, 7))
        self.bus.control(CLASS_OUT, 0x23, 0)
        self.assertFalse(self.uart.break_on)

    def test_a_timed_break_ends_by_itself(self):
        self.bus.control(CLASS_OUT, 0x23, 250)
        self.bus.later(0.2)
        self.assertTrue(self.uart.break_on)
        self.bus.later(0.1)
        self.assertFalse(self.uart.break_on)


class Notifications(unittest.TestCase):
    def setUp(self):
        self.bus = Bus(CdcAcm)
        self.bus.control(CLASS_OUT, 0x20, data=struct.pack("<IBBB", 115200, 0, 0, 8))

    def test_errors_are_counted_and_bytes_arrive_unflagged(self):
        driver = Driver(self.bus)
        self.bus.receive(b"aPbFcOd\x00e", [(1, ("parity",)), (3, ("framing",)),
                                          (5, ("overrun",)), (7, ("break",))])
        for _ in range(10):
            driver.run()
            self.bus.later(0.001)
        self.assertEqual(bytes(driver.data), b"aPbFcOd\x00e")  # the break's 0 is the driver's
        self.assertEqual((driver.counts["parity"], driver.counts["frame"],
                          driver.counts["overrun"], driver.counts["brk"]), (1, 1, 1, 1))
        self.assertEqual(driver.assertion, (0xA1, 0x20, 0, 0, 2))

    def test_dcd_dsr_and_ri_but_no_cts(self):
        driver = Driver(self.bus)
        driver.run()
        port = self.bus.adapter.ports[0]
        self.bus.adapter.set_inputs(port, self.bus.now, dsr=False, ri=True, cts=False)
        driver.run()
        self.assertEqual(driver.ctrlin, 0x01 | 0x08)
        self.bus.adapter.set_inputs(port, self.bus.now, cts=True)
        self.assertEqual(self.bus.order, [])  # CTS is not reported at all


if __name__ == "__main__":
    unittest.main()
