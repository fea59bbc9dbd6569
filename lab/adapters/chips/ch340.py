"""CH340G, as ch341 (drivers/usb/serial/ch341.c) drives it.

- Probe fails unless the version read (0x5F) and the serial init (0xA1) succeed, then it
  programs the baud rate and LCR and the modem control, and reads register 0x05 (a stall
  there would mean a chip without break control).
- Registers go in pairs: WRITE_REG's value names two registers (low byte first) and its
  index holds their two values; READ_REG answers two bytes the same way.
- Baud: register 0x12 holds the prescaler (ps in bits 0-1, fact in bit 2; bit 7 asks for
  packets below 32 bytes) and 0x13 holds 256 - div: rate = 48 MHz / (2^(12 - 3 ps - fact)
  x div). LCR (0x18): RX 0x80, TX 0x40, mark/space 0x20, even 0x10, parity 0x08, two stop
  bits 0x04, data bits - 5 in bits 0-1.
- Modem control (0xA4) is sent inverted: DTR 0x20, RTS 0x40.
- The modem inputs come back inverted, in register 0x06 and in byte 2 of the 4-byte
  interrupt packet (CTS 0x01, DSR 0x02, RI 0x04, DCD 0x08).
- No line errors reach the driver: bytes arrive as received, a break as a 0 byte. No
  hardware flow control in 6.1, and no tx_empty: tcdrain waits for the driver's queue only."""
from adapter import Adapter
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

READ_VERSION, WRITE_REG, READ_REG, SERIAL_INIT, MODEM_CTRL = 0x5F, 0x9A, 0x95, 0xA1, 0xA4
REG_BREAK, REG_STATUS, REG_PRESCALER, REG_DIVISOR, REG_LCR, REG_LCR2 = (
    0x05, 0x06, 0x12, 0x13, 0x18, 0x25)
VERSION = 0x31
DTR, RTS = 0x20, 0x40
CTS, DSR, RI, DCD = 0x01, 0x02, 0x04, 0x08
LCR_TX, LCR_MARK_SPACE, LCR_EVEN, LCR_PARITY, LCR_STOP2 = 0x40, 0x20, 0x10, 0x08, 0x04


def baud_from_registers(prescaler, divisor):
    ps, fact = prescaler & 3, (prescaler >> 2) & 1
    div = 256 - divisor if divisor else 256
    return round(48000000 / ((1 << (12 - 3 * ps - fact)) * div))


def parity_from_lcr(lcr):
    if not lcr & LCR_PARITY:
        return "none"
    if lcr & LCR_MARK_SPACE:
        return "space" if lcr & LCR_EVEN else "mark"
    return "even" if lcr & LCR_EVEN else "odd"


def modem_bits(inputs):
    return ((CTS if inputs["cts"] else 0) | (DSR if inputs["dsr"] else 0) |
            (RI if inputs["ri"] else 0) | (DCD if inputs["dcd"] else 0))


class Ch340(Adapter):
    record = record(
        "ch340", "CH340G", "1a86:7523", "ch341", tx_buffer=32, rx_buffer=32,
        reports=())
    endpoints = ((2, 2, 1),)
    packet = 32

    def __init__(self, number):
        super().__init__(number)
        self.regs = {REG_BREAK: 0x01, REG_LCR: 0xC3, REG_LCR2: 0x00, REG_PRESCALER: 0x00,
                     REG_DIVISOR: 0x00, 0x07: 0x00, 0x2C: 0x00}
        self.sent_modem = None

    def describe(self):
        device = device_descriptor(0x1A86, 0x7523, 0x0254, bcd_usb=0x0110, device_class=0xFF,
                                   packet0=8, manufacturer=0, product=2, serial=0)
        config = configuration([interface(0, 0xFF, 0x01, 0x02, [
            endpoint(0x82, "bulk", 32), endpoint(0x02, "bulk", 32),
            endpoint(0x81, "interrupt", 8, interval=1)])], power_ma=98)
        return device, config, ["", "USB Serial"]

    def read_register(self, reg):
        if reg == REG_STATUS:
            return ~modem_bits(self.uart.inputs) & 0xFF
        return self.regs.get(reg, 0)

    def write_register(self, reg, value):
        self.regs[reg] = value
        uart = self.uart
        if reg in (REG_PRESCALER, REG_DIVISOR):
            uart.settings.baud = baud_from_registers(self.regs[REG_PRESCALER],
                                                     self.regs[REG_DIVISOR])
        elif reg == REG_LCR:
            uart.settings.data_bits = 5 + (value & 3)
            uart.settings.parity = parity_from_lcr(value)
            uart.settings.stop_bits = 2 if value & LCR_STOP2 else 1
        if reg in (REG_BREAK, REG_LCR):
            uart.break_on = not (self.regs[REG_BREAK] & 0x01) or not (self.regs[REG_LCR] & LCR_TX)

    def request(self, setup, data, now):
        if setup.kind != "vendor":
            return None
        r, value, index = setup.request, setup.value, setup.index
        if r == READ_VERSION:
            return bytes([VERSION, 0])
        if r == SERIAL_INIT:
            return b""
        if r == WRITE_REG:
            self.write_register(value & 0xFF, index & 0xFF)
            if value >> 8:
                self.write_register(value >> 8, index >> 8)
            return b""
        if r == READ_REG:
            return bytes([self.read_register(value & 0xFF), self.read_register(value >> 8)])
        if r == MODEM_CTRL:
            control = ~value & 0xFF
            self.uart.dtr, self.uart.rts = bool(control & DTR), bool(control & RTS)
            return b""
        return None

    def deliver(self, port):
        moved = False
        rx = port.uart.rx
        while port.in_queue and self.rx_ready(port):
            self.reply(port.in_queue.popleft(), rx.pop(self.packet)[0])
            moved = True
        return moved

    def notify(self, port):
        bits = modem_bits(port.uart.inputs)
        if port.int_queue and bits != self.sent_modem:
            self.sent_modem = bits
            self.reply(port.int_queue.popleft(), bytes([0x08, 0x00, ~bits & 0xFF, 0xEE]))
