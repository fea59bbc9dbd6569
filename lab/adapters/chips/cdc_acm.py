"""A CDC-ACM device with a UART behind it (an Arduino Uno's USB bridge), as cdc_acm
(drivers/usb/class/cdc-acm.c) drives it.

- A control interface (class 2, subclass 2, with the header, call management, ACM and
  union descriptors; ACM capabilities 0x06: line coding and SEND_BREAK) with an interrupt
  endpoint, and a data interface (class 10) with two bulk endpoints.
- SET_LINE_CODING: rate, stop code (0, 1: 1.5, 2), parity code (none, odd, even, mark,
  space), data bits. SET_CONTROL_LINE_STATE: DTR 0x01, RTS 0x02. SEND_BREAK: 0xFFFF on,
  0 off (the driver's two values), anything else a break of that many milliseconds.
- SERIAL_STATE notifications carry DCD 0x01, DSR 0x02, RI 0x08 and the events BREAK 0x04,
  FRAMING 0x10, PARITY 0x20, OVERRUN 0x40 (acm_process_notification): errors are counted,
  never attached to a byte, and a break makes the driver insert a 0 byte itself, so the
  break's own byte is not sent. There is no CTS: the driver reports it always set.
- No flow control of any kind: the device can only hold OUT transfers. TIOCOUTQ is busy
  write buffers times their size (64 x 20), not bytes."""
import struct

from adapter import Adapter
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

SET_LINE_CODING, GET_LINE_CODING, SET_CONTROL_LINE_STATE, SEND_BREAK = 0x20, 0x21, 0x22, 0x23
DCD, DSR, BREAK, RING, FRAMING, PARITY_ERROR, OVERRUN = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40
ERROR_BITS = {"break": BREAK, "framing": FRAMING, "parity": PARITY_ERROR, "overrun": OVERRUN}
PARITY = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
STOP_BITS = {0: 1, 1: 1.5, 2: 2}
FUNCTIONAL = (bytes([5, 0x24, 0x00, 0x10, 0x01]) +  # header, CDC 1.10
              bytes([5, 0x24, 0x01, 0x03, 0x01]) +  # call management: data interface 1
              bytes([4, 0x24, 0x02, 0x06]) +        # ACM: line coding, SEND_BREAK
              bytes([5, 0x24, 0x06, 0x00, 0x01]))   # union: control 0, data 1


def serial_state(inputs, events=0):
    state = ((DCD if inputs["dcd"] else 0) | (DSR if inputs["dsr"] else 0) |
             (RING if inputs["ri"] else 0) | events)
    return struct.pack("<BBHHHH", 0xA1, 0x20, 0, 0, 2, state)


class CdcAcm(Adapter):
    record = record(
        "cdc-acm", "Arduino Uno R3 USB bridge (CDC-ACM)", "2341:0043", "cdc_acm",
        tx_buffer=128, rx_buffer=128,  # the bridge firmware's ring buffers
        inputs=("dsr", "ri", "dcd"), flags={"break": "byte"})
    endpoints = ((3, 4, 2),)

    def __init__(self, number):
        super().__init__(number)
        self.coding = bytearray(struct.pack("<IBBB", 9600, 0, 0, 8))
        self.sent_state = None

    def describe(self):
        device = device_descriptor(0x2341, 0x0043, 0x0001, bcd_usb=0x0110, device_class=2,
                                   packet0=8, serial=3)
        config = configuration([
            interface(0, 2, 2, 1, [endpoint(0x82, "interrupt", 16, interval=16)], FUNCTIONAL),
            interface(1, 10, 0, 0, [endpoint(0x04, "bulk", 64), endpoint(0x83, "bulk", 64)]),
        ], power_ma=100)
        return device, config, ["Arduino (www.arduino.cc)", "Uno R3 (CDC ACM)", "VLM0005"]

    def request(self, setup, data, now):
        uart, r = self.uart, setup.request
        if setup.kind != "class":
            return None
        if r == SET_LINE_CODING and len(data) == 7:
            self.coding[:] = data
            rate, stop, parity, bits = struct.unpack("<IBBB", data)
            uart.settings.baud = rate
            uart.settings.stop_bits = STOP_BITS.get(stop, 1)
            uart.settings.parity = PARITY.get(parity, "none")
            uart.settings.data_bits = bits
            return b""
        if r == GET_LINE_CODING:
            return bytes(self.coding)
        if r == SET_CONTROL_LINE_STATE:
            uart.dtr, uart.rts = bool(setup.value & 1), bool(setup.value & 2)
            return b""
        if r == SEND_BREAK:
            uart.break_on = setup.value != 0
            if setup.value not in (0, 0xFFFF):
                self.timers.append((now + setup.value / 1000.0, self._break_ends))
            return b""
        return None

    def _break_ends(self, now):
        self.uart.break_on = False

    def deliver(self, port):
        return self.deliver_announcing_errors(port)

    def announce(self, port, kinds):
        events = 0
        for kind in kinds:
            events |= ERROR_BITS[kind]
        self._notify(port, events)
        return not events & BREAK  # the driver adds the break's 0 byte itself

    def _notify(self, port, events=0):
        self.sent_state = serial_state(port.uart.inputs)
        self.reply(port.int_queue.popleft(), serial_state(port.uart.inputs, events))

    def notify(self, port):
        if port.int_queue and serial_state(port.uart.inputs) != self.sent_state:
            self._notify(port)
