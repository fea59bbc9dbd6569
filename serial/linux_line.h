// Translation between the Win32 settings record and the Linux line discipline.
//
// termios2 (rather than glibc's termios) carries any baud rate, and one ioctl reads or
// writes the whole line. What termios cannot hold (DSR flow, the XON/XOFF limits, the
// error and event characters, ...) lives in the DCB kept per port, so GetCommState
// answers what SetCommState stored.
#pragma once

#include <asm/termbits.h>

#include <cstdint>

#include "serial/comm.h"

namespace velmora::serial::linux_line {

// Raw binary mode: no echo, no canonical input, no translation of CR or LF, no
// signals, no software flow control; modem status ignored (CLOCAL), lines dropped on
// the last close (HUPCL). Baud, size, parity and stop bits stay as they were.
// With `markErrors` (a real line, not a pty), the line discipline checks every byte and
// marks errors and breaks (INPCK, PARMRK) rather than passing the driver's flags by:
// the layer takes the marks out again (serial/input_marks.h). Whether parity errors are
// reported is then the DCB's fParity, kept beside the line.
void MakeRaw(termios2& line, bool markErrors);

// The DCB a freshly opened port answers: the line's own settings, with DTR and RTS
// enabled as the kernel leaves them on open, and parity errors reported where the line
// checks parity.
Dcb InitialDcb(const termios2& line);

// Builds the line for `wanted` on top of `current`. False when the DCB asks for
// something this platform cannot do (an unknown size, parity or stop-bit code, a
// 0 baud rate, DTR handshake, RTS toggle, RTS handshake without CTS flow, XON/XOFF
// with equal characters or a NUL one).
bool ToLine(const Dcb& wanted, const termios2& current, termios2* line);

// The DCB for `line`, with what termios cannot hold taken from `stored`.
Dcb ToDcb(const termios2& line, const Dcb& stored);

// Whether the device took every setting of `wanted` (some keep CS8 or drop parity,
// some cannot do a rate).
bool LineTaken(const termios2& wanted, const termios2& actual);

// The time one character takes on `line`, or 0 when its rate is unknown.
std::int64_t NanosPerByte(const termios2& line);

}  // namespace velmora::serial::linux_line
