// What the Linux backend must know of a tty's driver, decided once when the port opens:
// every rule that differs from driver to driver starts from here.
#pragma once

#include <linux/serial.h>

#include "serial/write_rule.h"

namespace velmora::serial {

struct TtyDriver {
    // How a write is handed to it and counted (serial/write_rule.h).
    OutputRule output = OutputRule::kPassesThrough;
    // It answers TIOCGICOUNT: its error counters tell ClearCommError of line errors, and
    // its transmit counter tells a write what left. A driver without them (a pty,
    // pl2303) tells of errors only through the marks in its input.
    bool counts = false;
    // Its input carries error marks (INPCK, PARMRK): every real line; a pty passes bytes
    // unflagged, so its input is left as it comes.
    bool marksInput = false;
};

// The driver behind `fd`, from its device numbers and sysfs, and one TIOCGICOUNT, whose
// answer is left in `counters` where the driver counts.
// A pseudo-terminal passes its bytes through. A USB adapter's tty belongs to a usb-serial
// port, or to the USB interface cdc-acm binds to, and neither driver can take back what it
// holds (no flush hook in either), so TCFLSH leaves their queue and the transfers in
// flight to go out. Every other tty is taken to be a UART, which can (its device is a
// platform, PNP or PCI device). A device this layer cannot place is taken to keep its
// bytes, the choice that never counts a byte as taken back that may still go out.
TtyDriver DescribeDriver(int fd, serial_icounter_struct* counters);

}  // namespace velmora::serial
