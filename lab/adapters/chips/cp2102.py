"""CP2102, as cp210x (drivers/usb/serial/cp210x.c) drives it.

- At attach the driver reads the part number (vendor request 0xFF, value 0x370B): 0x02.
  It asks again for two bytes; a genuine CP2102 answers two (cp2102_determine_quirks),
  otherwise event mode is never used.
- Requests go to the interface (0x41/0xC1): IFC_ENABLE, SET_BAUDRATE (a 32-bit rate, the
  AN205 table's value), SET_LINE_CTL (data bits << 8 | parity << 4 | stop code), SET_BREAK,
  SET_MHS (DTR 0x01, RTS 0x02, with write enables 0x100 and 0x200), GET_MDMSTS (CTS 0x10,
  DSR 0x20, RI 0x40, DCD 0x80), GET/SET_FLOW (16 bytes: CTS handshake is bit 3 of the first
  word; RTS mode in bits 6-7 of the second, 2 = flow control; XON/XOFF obeyed with bit 0),
  SET_CHARS, EMBED_EVENTS, GET_COMM_STATUS (its out-queue count is what tcdrain polls).
- Line errors reach the driver only in event mode, which it turns on (EMBED_EVENTS with
  escape 0xEC) only while INPCK is set: then 0xEC 0x00 is a literal 0xEC, and 0xEC 0x01
  LSR DATA a byte with its line status (OE 0x02, PE 0x04, FE 0x08, BI 0x10;
  cp210x_process_lsr: break over parity over framing, and an overrun inserts a 0 byte
  flagged TTY_OVERRUN). Outside event mode bytes arrive as received, a break as a 0 byte.
- No interrupt endpoint: modem inputs are read on request only (no TIOCMIWAIT)."""
import struct

from adapter import Adapter
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

IFC_ENABLE, SET_LINE_CTL, GET_LINE_CTL, SET_BREAK = 0x00, 0x03, 0x04, 0x05
SET_MHS, GET_MDMSTS, SET_XON, SET_XOFF = 0x07, 0x08, 0x09, 0x0A
SET_EVENTMASK, GET_EVENTMASK, SET_CHAR, GET_CHARS = 0x0B, 0x0C, 0x0D, 0x0E
GET_COMM_STATUS, RESET, PURGE = 0x10, 0x11, 0x12
SET_FLOW, GET_FLOW, EMBED_EVENTS, GET_EVENTSTATE, SET_CHARS = 0x13, 0x14, 0x15, 0x16, 0x19
GET_BAUDRATE, SET_BAUDRATE, VENDOR_SPECIFIC = 0x1D, 0x1E, 0xFF
GET_PARTNUM, PARTNUM_CP2102 = 0x370B, 0x02

ESCAPE = 0xEC
LSR_BITS = {"overrun": 0x02, "parity": 0x04, "framing": 0x08, "break": 0x10}
PARITY = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
STOP_BITS = {0: 1, 1: 1.5, 2: 2}
CTS_HANDSHAKE = 0x08
RTS_MASK, RTS_ACTIVE, RTS_FLOW_CTL = 0xC0, 0x40, 0x80
DTR_MASK, DTR_ACTIVE = 0x03, 0x01
AUTO_TRANSMIT = 0x01


def modem_status(uart):
    inputs = uart.inputs
    return ((0x01 if uart.dtr else 0) | (0x02 if uart.rts else 0) |
            (0x10 if inputs["cts"] else 0) | (0x20 if inputs["dsr"] else 0) |
            (0x40 if inputs["ri"] else 0) | (0x80 if inputs["dcd"] else 0))


def event_encode(data, errors):
    """Bytes as event mode sends them: 0xEC doubled as 0xEC 0x00, an erroneous byte as
    0xEC 0x01 LSR DATA."""
    out = bytearray()
    at = 0
    for offset, kinds in errors:
        out += data[at:offset].replace(bytes([ESCAPE]), bytes([ESCAPE, 0]))
        lsr = 0
        for kind in kinds:
            lsr |= LSR_BITS[kind]
        out += bytes([ESCAPE, 1, lsr, data[offset]])
        at = offset + 1
    out += data[at:].replace(bytes([ESCAPE]), bytes([ESCAPE, 0]))
    return bytes(out)


class Cp2102(Adapter):
    record = record(
        "cp2102", "CP2102", "10c4:ea60", "cp210x", tx_buffer=640, rx_buffer=576,
        rates="table",
        flags={"parity": "byte", "framing": "byte", "overrun": "zero before", "break": "byte"},
        flags_need_inpck=True, cts_holds="chip", xoff_holds="chip")
    endpoints = ((1, 1, None),)

    def __init__(self, number):
        super().__init__(number)
        self.enabled = False
        self.event_escape = 0
        self.line_ctl = 0x0800
        self.flow_words = [DTR_ACTIVE, RTS_ACTIVE, 0, 0]
        self.chars = bytes(6)
        self.event_mask = 0

    def describe(self):
        device = device_descriptor(0x10C4, 0xEA60, 0x0100, bcd_usb=0x0110)
        config = configuration([interface(0, 0xFF, 0x00, 0x00, [
            endpoint(0x81, "bulk", 64), endpoint(0x01, "bulk", 64)])], power_ma=100)
        return device, config, ["Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001"]

    def set_flow(self, words):
        self.flow_words = list(words)
        handshake, replace = words[0], words[1]
        uart = self.uart
        uart.flow = set()
        if handshake & CTS_HANDSHAKE:
            uart.flow.add("rts-cts")
        if replace & AUTO_TRANSMIT:
            uart.flow.add("xon-xoff")
        uart.dtr = handshake & DTR_MASK == DTR_ACTIVE
        uart.rts = replace & RTS_MASK in (RTS_ACTIVE, RTS_FLOW_CTL)

    def request(self, setup, data, now):
        uart, r, value = self.uart, setup.request, setup.value
        if r == VENDOR_SPECIFIC:
            if value == GET_PARTNUM:
                return bytes([PARTNUM_CP2102, 0])[:max(1, setup.length)]
            return None
        if setup.kind != "vendor" or setup.request_type & 0x1F != 1:
            return None
        if r == IFC_ENABLE:
            self.enabled = bool(value & 1)
            if not self.enabled:
                self.event_escape = 0
        elif r == SET_BAUDRATE and len(data) == 4:
            uart.settings.baud = struct.unpack("<I", data)[0]
        elif r == GET_BAUDRATE:
            return struct.pack("<I", uart.settings.baud)
        elif r == SET_LINE_CTL:
            self.line_ctl = value
            uart.settings.data_bits = (value >> 8) & 0xF
            uart.settings.parity = PARITY.get((value >> 4) & 0xF, "none")
            uart.settings.stop_bits = STOP_BITS.get(value & 0xF, 1)
        elif r == GET_LINE_CTL:
            return struct.pack("<H", self.line_ctl)
        elif r == SET_BREAK:
            uart.break_on = bool(value & 1)
        elif r == SET_MHS:
            if value & 0x0100:
                uart.dtr = bool(value & 0x01)
            if value & 0x0200:
                uart.rts = bool(value & 0x02)
        elif r == GET_MDMSTS:
            return bytes([modem_status(uart)])
        elif r == SET_FLOW and len(data) == 16:
            self.set_flow(struct.unpack("<IIII", data))
        elif r == GET_FLOW:
            return struct.pack("<IIII", *self.flow_words)
        elif r == SET_CHARS and len(data) == 6:
            self.chars = bytes(data)
            uart.xon, uart.xoff = data[4], data[5]
        elif r == GET_CHARS:
            return self.chars
        elif r == EMBED_EVENTS:
            self.event_escape = value & 0xFF
        elif r == GET_COMM_STATUS:
            return struct.pack("<IIIIBBB", 0, 0, len(uart.rx), len(uart.tx), 0, 0, 0)
        elif r == PURGE:
            uart.purge(tx=bool(value & 0x5), rx=bool(value & 0xA))
        elif r == GET_EVENTMASK:
            return struct.pack("<H", self.event_mask)
        elif r == SET_EVENTMASK:
            self.event_mask = value
        elif r == GET_EVENTSTATE:
            return b"\0\0"
        elif r not in (SET_XON, SET_XOFF, SET_CHAR, RESET):
            return None
        return b""

    def deliver(self, port):
        moved = False
        rx = port.uart.rx
        while port.in_queue and self.rx_ready(port):
            limit = port.in_queue[0].length
            if self.event_escape == ESCAPE:
                # Room for every byte to double, so the transfer never overflows.
                data, errors = rx.pop(limit // 4)
                data = event_encode(data, errors)
            else:
                data = rx.pop(limit)[0]
            self.reply(port.in_queue.popleft(), data)
            moved = True
        return moved
