"""The USB/IP codec and a device's connection, against what vhci-hcd sends and accepts
(drivers/usb/usbip: usbip_common.h's headers, vhci_rx.c's checks on answers)."""
import os
import socket
import tempfile
import unittest

import bus  # noqa: F401  (the adapters' folder on the path)
import usbip


class Held:
    """A device that holds every request, so the test answers them."""

    def __init__(self):
        self.submits, self.unlinked = [], []

    def on_submit(self, req):
        self.submits.append(req)

    def on_unlink(self, req):
        self.unlinked.append(req)


def read_reply(sock, data_length=0):
    raw = b""
    while len(raw) < usbip.HEADER_SIZE + data_length:
        raw += sock.recv(usbip.HEADER_SIZE + data_length - len(raw))
    return usbip.unpack_reply(raw), raw[usbip.HEADER_SIZE:]


class Headers(unittest.TestCase):
    def test_a_submit_is_48_bytes_with_its_out_data_after(self):
        setup = usbip.pack_setup(0x40, 3, 0x4138, 0, 0)
        raw = usbip.pack_cmd_submit(7, usbip.DIR_OUT, 2, 5, setup, b"hello", devid=0x10002)
        self.assertEqual(len(raw), 48 + 5)
        self.assertEqual(raw[:4], b"\0\0\0\x01")  # big-endian command
        self.assertEqual(raw[40:48], setup)  # setup bytes stay little-endian
        buf = bytearray(raw + usbip.pack_cmd_unlink(8, 7))
        submit, unlink = usbip.parse_requests(buf)
        self.assertEqual(buf, b"")
        self.assertEqual((submit.seqnum, submit.ep, submit.length, submit.data),
                         (7, 2, 5, b"hello"))
        self.assertEqual((unlink.seqnum, unlink.victim), (8, 7))

    def test_a_request_split_anywhere_waits_for_the_rest(self):
        raw = usbip.pack_cmd_submit(1, usbip.DIR_OUT, 2, 3, data=b"abc") + \
            usbip.pack_cmd_submit(2, usbip.DIR_IN, 1, 512)
        for cut in range(1, len(raw)):
            buf = bytearray(raw[:cut])
            first = usbip.parse_requests(buf)
            buf += raw[cut:]
            got = first + usbip.parse_requests(buf)
            self.assertEqual([r.seqnum for r in got], [1, 2], cut)
            self.assertEqual(got[0].data, b"abc")
            self.assertEqual(got[1].data, b"")  # an IN request carries no data


class Connections(unittest.TestCase):
    def setUp(self):
        self.kernel, ours = socket.socketpair()
        self.kernel.settimeout(5)
        self.device = Held()
        self.conn = usbip.Connection(ours, self.device)

    def tearDown(self):
        self.kernel.close()
        self.conn.close()

    def request(self, raw):
        self.kernel.sendall(raw)
        self.conn.on_readable()

    def test_in_data_follows_the_answer_and_is_its_actual_length(self):
        self.request(usbip.pack_cmd_submit(5, usbip.DIR_IN, 1, 64))
        self.conn.reply(self.device.submits[0], 0, b"xyz")
        (command, seqnum, status, actual), data = read_reply(self.kernel, 3)
        self.assertEqual((command, seqnum, status, actual, data),
                         (usbip.RET_SUBMIT, 5, 0, 3, b"xyz"))

    def test_an_out_transfer_is_answered_with_its_length_and_no_data(self):
        self.request(usbip.pack_cmd_submit(6, usbip.DIR_OUT, 2, 4, data=b"abcd"))
        self.conn.reply(self.device.submits[0])
        (command, seqnum, status, actual), _ = read_reply(self.kernel)
        self.assertEqual((seqnum, status, actual), (6, 0, 4))

    def test_more_data_than_the_buffer_is_never_sent(self):
        self.request(usbip.pack_cmd_submit(5, usbip.DIR_IN, 1, 2))
        with self.assertRaises(usbip.ProtocolError):
            self.conn.reply(self.device.submits[0], 0, b"xyz")

    def test_an_unlinked_request_gets_econnreset_and_never_an_answer(self):
        self.request(usbip.pack_cmd_submit(9, usbip.DIR_IN, 1, 64))
        self.request(usbip.pack_cmd_unlink(10, 9))
        (command, seqnum, status, _), _ = read_reply(self.kernel)
        self.assertEqual((command, seqnum, status), (usbip.RET_UNLINK, 10, -104))
        self.assertEqual(self.device.unlinked, self.device.submits)
        self.assertFalse(self.conn.reply(self.device.submits[0], 0, b"late"))
        self.kernel.setblocking(False)
        with self.assertRaises(BlockingIOError):
            self.kernel.recv(1)

    def test_an_unlink_after_the_answer_gets_0(self):
        self.request(usbip.pack_cmd_submit(9, usbip.DIR_IN, 1, 64))
        self.conn.reply(self.device.submits[0], 0, b"a")
        read_reply(self.kernel, 1)
        self.request(usbip.pack_cmd_unlink(11, 9))
        (command, seqnum, status, _), _ = read_reply(self.kernel)
        self.assertEqual((command, seqnum, status), (usbip.RET_UNLINK, 11, 0))


class Ports(unittest.TestCase):
    STATUS = ("hub port sta spd dev      sockfd local_busid\n"
              "hs  0000 006 002 00000001 000004 3-1\n"
              "hs  0001 004 000 00000000 000000 0-0\n"
              "ss  0015 004 000 00000000 000000 0-0\n")

    def test_the_usb2_ports_and_their_states(self):
        self.assertEqual(usbip.parse_status(self.STATUS),
                         {0: (usbip.PORT_IN_USE, "3-1"), 1: (usbip.PORT_FREE, "0-0")})

    def test_the_ttys_drivers_made_are_found_in_sysfs_in_interface_order(self):
        with tempfile.TemporaryDirectory() as sysfs:
            os.makedirs(os.path.join(sysfs, "3-1:1.0", "ttyUSB5", "tty", "ttyUSB5"))
            os.makedirs(os.path.join(sysfs, "3-2:1.0", "tty", "ttyACM1"))
            os.makedirs(os.path.join(sysfs, "3-2:1.1"))
            # Two ports, the second interface's tty named first; interface 10 after 2.
            for interface, tty in (("1.0", "ttyUSB9"), ("1.2", "ttyUSB3"), ("1.10", "ttyUSB1")):
                os.makedirs(os.path.join(sysfs, "3-4:" + interface, tty))
            self.assertEqual(usbip.ttys_of("3-1", sysfs), ["ttyUSB5"])
            self.assertEqual(usbip.ttys_of("3-2", sysfs), ["ttyACM1"])
            self.assertEqual(usbip.ttys_of("3-3", sysfs), [])
            self.assertEqual(usbip.ttys_of("3-4", sysfs), ["ttyUSB9", "ttyUSB3", "ttyUSB1"])


class StandardRequests(unittest.TestCase):
    def test_descriptors_are_cut_to_the_length_asked_and_unknown_ones_stall(self):
        d = usbip.Descriptors(usbip.device_descriptor(1, 2, 3), usbip.configuration([
            usbip.interface(0, 0xFF, 0, 0, [usbip.endpoint(0x81, "bulk", 64)])]), ["A"])
        status, data = d.standard(usbip.Setup(usbip.pack_setup(0x80, 6, 0x0200, 0, 9)))
        self.assertEqual((status, len(data), data[2]), (0, 9, 9 + 9 + 7))  # wTotalLength
        status, data = d.standard(usbip.Setup(usbip.pack_setup(0x80, 6, 0x0301, 0x409, 255)))
        self.assertEqual(data, b"\x04\x03A\x00")
        status, _ = d.standard(usbip.Setup(usbip.pack_setup(0x80, 6, 0x0600, 0, 10)))
        self.assertEqual(status, usbip.STALL)  # a full-speed device has no qualifier


if __name__ == "__main__":
    unittest.main()
