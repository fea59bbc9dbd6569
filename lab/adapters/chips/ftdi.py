"""FT232R, as ftdi_sio (drivers/usb/serial/ftdi_sio.c) drives it.

- 0403:6001 with bcdDevice 0x0600 makes the driver an FT232R (ftdi_determine_type): baud
  divisors from a 3 MHz base with eighths.
- Every 64-byte bulk IN packet starts with two status bytes: modem status (CTS 0x10, DSR
  0x20, RI 0x40, DCD 0x80, bit 0 always set) and line status (OE 0x02, PE 0x04, FE 0x08,
  BI 0x10, THRE 0x20, TEMT 0x40). ftdi_process_packet flags every byte of a packet with PE
  or FE, counts BI only when the packet's last byte is 0, and for OE inserts a 0 byte
  flagged TTY_OVERRUN before the packet's data. So a byte with an error travels alone in a
  short packet, which ends the transfer.
- A status-only packet (two bytes) reports new modem lines; a real chip also sends one
  every latency period, which only costs time here.
- tcdrain and close wait for TEMT through GET_MODEM_STATUS (ftdi_tx_empty)."""
from adapter import Adapter
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

RESET, MODEM_CTRL, SET_FLOW_CTRL, SET_BAUD_RATE, SET_DATA = 0, 1, 2, 3, 4
GET_MODEM_STATUS, SET_EVENT_CHAR, SET_ERROR_CHAR = 5, 6, 7
SET_LATENCY_TIMER, GET_LATENCY_TIMER, SET_BITMODE, READ_PINS = 9, 0x0A, 0x0B, 0x0C
READ_EEPROM = 0x90

CTS, DSR, RI, DCD = 0x10, 0x20, 0x40, 0x80
OE, PE, FE, BI, THRE, TEMT = 0x02, 0x04, 0x08, 0x10, 0x20, 0x40
ERROR_BITS = {"overrun": OE, "parity": PE, "framing": FE, "break": BI}
PARITY = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
STOP_BITS = {0: 1, 1: 1.5, 2: 2}
# ftdi_232bm_baud_base_to_divisor's code for each eighth, read backwards.
EIGHTHS = {0: 0, 3: 1, 2: 2, 4: 3, 1: 4, 5: 5, 6: 6, 7: 7}


def baud_from_divisor(divisor):
    """The rate an FT232R makes from the 17-bit divisor (value | index << 16)."""
    if divisor == 0:
        return 3000000
    if divisor == 1:
        return 2000000
    eighths = (divisor & 0x3FFF) * 8 + EIGHTHS[(divisor >> 14) & 7]
    return round(24000000 / eighths)


def modem_status(inputs):
    return (0x01 | (CTS if inputs["cts"] else 0) | (DSR if inputs["dsr"] else 0) |
            (RI if inputs["ri"] else 0) | (DCD if inputs["dcd"] else 0))


class Ft232r(Adapter):
    record = record(
        "ftdi", "FT232R", "0403:6001", "ftdi_sio", tx_buffer=256, rx_buffer=128,
        data_bits=(5, 7, 8),
        flags={"parity": "byte", "framing": "byte", "overrun": "zero before", "break": "byte"},
        cts_holds="chip", xoff_holds="chip")
    endpoints = ((1, 2, None),)
    # The latency timer: a packet short of 62 bytes waits this long (16 ms unless the
    # driver asks for low latency).
    latency = 0.016

    def __init__(self, number):
        super().__init__(number)
        self.sent_status = [None] * len(self.ports)

    def describe(self):
        device = device_descriptor(0x0403, 0x6001, 0x0600, packet0=8)
        config = configuration([interface(0, 0xFF, 0xFF, 0xFF, [
            endpoint(0x81, "bulk", 64), endpoint(0x02, "bulk", 64)])], power_ma=90)
        return device, config, ["FTDI", "FT232R USB UART", "VLM00001"]

    def line_status(self, port):
        return TEMT | THRE if not port.uart.tx else 0

    def port_of(self, setup):
        """The port a request is for: a single-port chip has only the one."""
        return self.ports[0]

    def baud(self, setup):
        """The rate of SET_BAUD_RATE's divisor (value, and index's low byte)."""
        return baud_from_divisor(setup.value | (setup.index & 0xFF) << 16)

    def request(self, setup, data, now):
        value, r = setup.value, setup.request
        if setup.kind != "vendor":
            return None
        port = self.port_of(setup)
        if port is None:
            return None
        uart = port.uart
        if r == RESET:
            uart.purge(tx=value in (0, 2), rx=value in (0, 1))
        elif r == MODEM_CTRL:
            if value & 0x0100:
                uart.dtr = bool(value & 0x01)
            if value & 0x0200:
                uart.rts = bool(value & 0x02)
        elif r == SET_FLOW_CTRL:
            mode = setup.index >> 8
            uart.flow = {name for bit, name in ((0x01, "rts-cts"), (0x02, "dtr-dsr"),
                                                (0x04, "xon-xoff")) if mode & bit}
            if mode & 0x04:
                uart.xon, uart.xoff = value & 0xFF, value >> 8
        elif r == SET_BAUD_RATE:
            uart.settings.baud = self.baud(setup)
        elif r == SET_DATA:
            bits = value & 0xFF
            # CS5 arrives as 0: an FT232R then falls back to 8 bits (the driver's comment).
            uart.settings.data_bits = bits if bits in (7, 8) else 8
            uart.settings.parity = PARITY.get((value >> 8) & 7, "none")
            uart.settings.stop_bits = STOP_BITS.get((value >> 11) & 3, 1)
            uart.break_on = bool(value & 0x4000)
        elif r == GET_MODEM_STATUS:
            return bytes([modem_status(uart.inputs), self.line_status(port)])
        elif r == SET_LATENCY_TIMER:
            port.latency = (value & 0xFF) / 1000.0
        elif r == GET_LATENCY_TIMER:
            return bytes([round(port.latency * 1000)])
        elif r == READ_PINS:
            return b"\xff"
        elif r == READ_EEPROM:
            return b"\0\0"  # no CBUS pin configured as GPIO
        elif r not in (SET_EVENT_CHAR, SET_ERROR_CHAR, SET_BITMODE):
            return None
        return b""

    def packets(self, port, limit):
        """One bulk IN transfer of at most `limit` bytes, or None when there is nothing
        to say. Each packet: the two status bytes, then up to 62 data bytes."""
        rx = port.uart.rx
        s0 = modem_status(port.uart.inputs)
        s1 = self.line_status(port)
        out = bytearray()
        while self.rx_ready(port) and len(out) + 3 <= limit:
            if rx.next_error() == 0:
                data, errors = rx.pop(1)
                flags = 0
                for kind in errors[0][1]:
                    flags |= ERROR_BITS[kind]
                out += bytes([s0, s1 | flags]) + data
                break  # a short packet ends the transfer
            data = rx.pop_clean(min(62, limit - len(out) - 2))
            out += bytes([s0, s1]) + data
            if len(data) < 62:
                break
        if not out and s0 != self.sent_status[port.index]:
            out = bytearray([s0, s1])
        if not out:
            return None
        self.sent_status[port.index] = s0
        return bytes(out)

    def deliver(self, port):
        moved = False
        while port.in_queue:
            data = self.packets(port, port.in_queue[0].length)
            if data is None:
                break
            self.reply(port.in_queue.popleft(), data)
            moved = True
        return moved
