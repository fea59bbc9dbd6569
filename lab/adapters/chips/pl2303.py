"""PL2303 HX, as pl2303 (drivers/usb/serial/pl2303.c) drives it.

- bcdUSB 0x0110, bcdDevice 0x0300, bMaxPacketSize0 64 and device class 0 make it an HX
  (pl2303_detect_type). Every control request the driver sends times out after 100 ms.
- Vendor requests 0x01 read (0xC0, one byte of register value & 0x7F) and write (0x40,
  register in value, byte in index); register 0 holds the flow control in bits 4-7: 0x60
  RTS/CTS, 0xC0 XON/XOFF (only with IXON, no IXANY and the usual characters).
- CDC-like class requests: SET_LINE / GET_LINE (7 bytes: rate, stop code, parity code,
  data bits; a rate off its table is sent as a divisor with bit 31 set:
  12 MHz x 32 / (mantissa x 4^exponent)), SET_CONTROL (DTR 0x01, RTS 0x02), BREAK.
- Byte 8 of the 10-byte interrupt packet carries DCD 0x01, DSR 0x02, RI 0x08, CTS 0x80,
  and the transient BREAK 0x04, FRAME 0x10, PARITY 0x20, OVERRUN 0x40, which flag every byte
  of the next bulk read and are then cleared (pl2303_process_read_urb). So a byte with an
  error goes alone in a bulk transfer that follows its interrupt packet, and what was
  received before it has been handed over first. Errors are flagged but never counted."""
import struct

from adapter import Adapter
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

VENDOR_READ, VENDOR_WRITE = 0x01, 0x01
SET_LINE, GET_LINE, SET_CONTROL, BREAK = 0x20, 0x21, 0x22, 0x23
DCD, DSR, BREAK_ERROR, RING, FRAME_ERROR, PARITY_ERROR, OVERRUN_ERROR, CTS = (
    0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80)
ERROR_BITS = {"break": BREAK_ERROR, "framing": FRAME_ERROR, "parity": PARITY_ERROR,
              "overrun": OVERRUN_ERROR}
PARITY = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
STOP_BITS = {0: 1, 1: 1.5, 2: 2}
FLOW_MASK, FLOW_RTS_CTS, FLOW_XON_XOFF = 0xF0, 0x60, 0xC0


def baud_from_line(raw):
    """The rate of SET_LINE's first four bytes: direct, or a divisor when bit 31 is set."""
    value = struct.unpack("<I", raw[:4])[0]
    if not value & 0x80000000:
        return value
    mantissa = raw[0] | (raw[1] & 1) << 8
    exponent = (raw[1] >> 1) & 7
    return (12000000 * 32 // max(mantissa, 1)) >> (2 * exponent)


def line_state(inputs):
    return ((DCD if inputs["dcd"] else 0) | (DSR if inputs["dsr"] else 0) |
            (RING if inputs["ri"] else 0) | (CTS if inputs["cts"] else 0))


def interrupt_packet(state):
    """The notification as an HX sends it; the driver reads byte 8 only."""
    return bytes([0xA1, 0x20, 0, 0, 0, 0, 2, 0, state, 0])


class Pl2303(Adapter):
    record = record(
        "pl2303", "PL2303 HX", "067b:2303", "pl2303", tx_buffer=256, rx_buffer=256,
        reports=("parity", "framing", "break"),
        flags={"parity": "byte", "framing": "byte", "overrun": "zero before", "break": "byte"},
        cts_holds="chip", xoff_holds="chip")
    endpoints = ((3, 2, 1),)

    def __init__(self, number):
        super().__init__(number)
        self.regs = {}
        self.line = bytearray(struct.pack("<IBBB", 9600, 0, 0, 8))
        self.sent_state = None

    def describe(self):
        device = device_descriptor(0x067B, 0x2303, 0x0300, bcd_usb=0x0110, packet0=64,
                                   manufacturer=1, product=2, serial=0)
        config = configuration([interface(0, 0xFF, 0x00, 0x00, [
            endpoint(0x81, "interrupt", 10, interval=1), endpoint(0x02, "bulk", 64),
            endpoint(0x83, "bulk", 64)])], power_ma=100)
        return device, config, ["Prolific Technology Inc.", "USB-Serial Controller"]

    def request(self, setup, data, now):
        uart, r = self.uart, setup.request
        if setup.kind == "vendor" and setup.device_to_host and r == VENDOR_READ:
            return bytes([self.regs.get(setup.value & 0x7F, 0)])
        if setup.kind == "vendor" and not setup.device_to_host and r == VENDOR_WRITE:
            self.regs[setup.value & 0x7F] = setup.index & 0xFF
            if setup.value == 0:
                mode = setup.index & FLOW_MASK
                uart.flow = {FLOW_RTS_CTS: {"rts-cts"},
                             FLOW_XON_XOFF: {"xon-xoff"}}.get(mode, set())
            return b""
        if setup.kind != "class":
            return None
        if r == SET_LINE and len(data) == 7:
            self.line[:] = data
            uart.settings.baud = baud_from_line(data)
            uart.settings.stop_bits = STOP_BITS.get(data[4], 1)
            uart.settings.parity = PARITY.get(data[5], "none")
            uart.settings.data_bits = data[6]
            return b""
        if r == GET_LINE:
            return bytes(self.line)
        if r == SET_CONTROL:
            uart.dtr, uart.rts = bool(setup.value & 1), bool(setup.value & 2)
            return b""
        if r == BREAK:
            uart.break_on = setup.value != 0
            return b""
        return None

    def deliver(self, port):
        return self.deliver_announcing_errors(port)

    def announce(self, port, kinds):
        flags = 0
        for kind in kinds:
            flags |= ERROR_BITS[kind]
        self.sent_state = line_state(port.uart.inputs)
        self.reply(port.int_queue.popleft(), interrupt_packet(self.sent_state | flags))
        return True

    def notify(self, port):
        state = line_state(port.uart.inputs)
        if port.int_queue and state != self.sent_state:
            self.sent_state = state
            self.reply(port.int_queue.popleft(), interrupt_packet(state))
