"""FT2232H, as ftdi_sio (drivers/usb/serial/ftdi_sio.c) drives it: two serial ports, each
an FT232R-like channel (ftdi.py says how its requests, status bytes and line errors go).

- 0403:6010 with bcdDevice 0x0700 makes the driver an FT2232H (ftdi_determine_type). It
  binds each of the two interfaces as a port of its own, one ttyUSB each, channel A (1)
  on interface 0 and B (2) on interface 1; every vendor request names its channel in the
  low byte of wIndex.
- Baud divisors from a 120 MHz base with ten-bit sampling, marked by bit 17, for 1200 baud
  up to 12 Mbaud; below 1200 the FT232R's 3 MHz base (ftdi_get_divisor). SET_BAUD_RATE
  carries the divisor's high bits in wIndex's high byte.
- A 4 KiB transmit and a 4 KiB receive buffer per channel. Plugged in at full speed, as
  here, its bulk packets are 64 bytes."""
from ftdi import EIGHTHS, Ft232r, baud_from_divisor
from family import record
from usbip import configuration, device_descriptor, endpoint, interface

H_CLOCK = 0x20000  # the divisor's bit 17: the 120 MHz base


def h_baud_from_divisor(divisor):
    """The rate an FT2232H makes from its 18-bit divisor."""
    if not divisor & H_CLOCK:
        return baud_from_divisor(divisor)
    divisor &= H_CLOCK - 1
    if divisor in (0, 1):
        return (12000000, 8000000)[divisor]
    eighths = (divisor & 0x3FFF) * 8 + EIGHTHS[(divisor >> 14) & 7]
    return round(96000000 / eighths)


class Ft2232h(Ft232r):
    record = record(
        "ft2232h", "FT2232H", "0403:6010", "ftdi_sio", ports=2, tx_buffer=4096,
        rx_buffer=4096, data_bits=(5, 7, 8),
        flags={"parity": "byte", "framing": "byte", "overrun": "zero before", "break": "byte"},
        cts_holds="chip", xoff_holds="chip")
    endpoints = ((1, 2, None), (3, 4, None))

    def describe(self):
        device = device_descriptor(0x0403, 0x6010, 0x0700, packet0=64)
        config = configuration([
            interface(0, 0xFF, 0xFF, 0xFF, [endpoint(0x81, "bulk", 64),
                                            endpoint(0x02, "bulk", 64)]),
            interface(1, 0xFF, 0xFF, 0xFF, [endpoint(0x83, "bulk", 64),
                                            endpoint(0x04, "bulk", 64)])], power_ma=90)
        return device, config, ["FTDI", "Dual RS232-HS", "VLM00006"]

    def port_of(self, setup):
        channel = setup.index & 0xFF
        return self.ports[channel - 1] if 1 <= channel <= len(self.ports) else None

    def baud(self, setup):
        return h_baud_from_divisor(setup.value | (setup.index >> 8) << 16)
