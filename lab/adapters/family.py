"""What an adapter family is, and what its driver reports and obeys: one record per family,
kept beside its adapter class (chips/), announced by the adapters' program in its hello
(serve.py; `serve.py --families` prints them) and read from there by the lab's host, its
consoles and its suites. QEMU's own devices have records of the same shape (lab/qemu.py).

The fields:
  name        how lab lines name the family (a port's letter follows when it has several)
  what        the chip, as its maker names it
  usb         vendor:product
  driver      the Linux driver that binds it (the module the guest loads)
  ports       how many serial ports (ttys) the driver makes of one device
  tx_buffer   the chip's transmit buffer, per port: bytes it takes before holding transfers
  rx_buffer   the chip's receive buffer, per port
  data_bits   the character sizes the driver takes; it refuses the others, and says so
  rates       "any": the driver makes a rate off the standard list (31250); "table": it
              makes only its chip's table of rates, and says so (the module then answers 0)
  inputs      the modem inputs the driver reports; one it lacks reads as up
  reports     the line errors GetCommError reports natively (the others read 0)
  flags       how the driver marks each line error on what it hands the tty layer: "byte"
              (the byte, flagged), "zero before" (a 0 byte flagged with it before the
              byte); an error it does not mark arrives as the byte received
  flags_need_inpck  whether it marks them only while INPCK is set
  cts_holds   where output waits while CTS is low under the RTS/CTS handshake: "chip",
              "kernel", or None (it goes out all the same)
  xoff_holds  where output waits after the far end's XOFF under XON/XOFF flow control"""

ERRORS = ("parity", "framing", "overrun", "break")
INPUTS = ("cts", "dsr", "ri", "dcd")
HOLDERS = ("chip", "kernel", None)


def record(name, what, usb, driver, tx_buffer, rx_buffer, ports=1,
           data_bits=(5, 6, 7, 8), rates="any", inputs=INPUTS, reports=ERRORS, flags=None,
           flags_need_inpck=False, cts_holds=None, xoff_holds=None):
    flags = dict(flags or {})
    assert set(reports) <= set(ERRORS) and set(flags) <= set(ERRORS), name
    assert set(flags.values()) <= {"byte", "zero before"}, name
    assert set(inputs) <= set(INPUTS) and rates in ("any", "table"), name
    assert cts_holds in HOLDERS and xoff_holds in HOLDERS, name
    return {"name": name, "what": what, "usb": usb, "driver": driver, "ports": ports,
            "tx_buffer": tx_buffer, "rx_buffer": rx_buffer, "data_bits": list(data_bits),
            "rates": rates, "inputs": list(inputs),
            "reports": list(reports), "flags": flags, "flags_need_inpck": flags_need_inpck,
            "cts_holds": cts_holds, "xoff_holds": xoff_holds, "software": True}
