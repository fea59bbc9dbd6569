// The Linux backend: Win32 serial semantics on a tty file descriptor.
//
// Ports are opened non-blocking and every wait is a poll() with the time left by the
// port's COMMTIMEOUTS, so nothing waits longer than the Win32 rules say, and a device
// that goes away (an unplugged adapter, the far end of a pty) ends any wait at once.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "serial/bounded_call.h"
#include "serial/comm.h"
#include "serial/linux_line.h"
#include "serial/linux_port.h"
#include "serial/local_port.h"
#include "serial/tty_driver.h"
#include "serial/tty_output.h"

namespace velmora::serial {

namespace {

// As on Windows, parity errors are reported only where the DCB asks for parity
// checking (fParity); the others always are.
std::uint32_t NewErrors(const serial_icounter_struct& was, const serial_icounter_struct& now,
                        bool parityChecked) {
    std::uint32_t errors = 0;
    if (now.buf_overrun != was.buf_overrun) errors |= kCeRxOver;
    if (now.overrun != was.overrun) errors |= kCeOverrun;
    if (parityChecked && now.parity != was.parity) errors |= kCeRxParity;
    if (now.frame != was.frame) errors |= kCeFrame;
    if (now.brk != was.brk) errors |= kCeBreak;
    return errors;
}

bool SetModemLines(int fd, int raise, int drop) {
    if (raise != 0 && Ioctl(fd, TIOCMBIS, &raise) < 0) return false;
    if (drop != 0 && Ioctl(fd, TIOCMBIC, &drop) < 0) return false;
    return true;
}

// Drives DTR and RTS when their control mode changes, as Windows does: enable raises the
// line, disable drops it, and the RTS handshake raises RTS, for under it RTS is up while
// the input has room. The kernel leaves RTS where it was when CRTSCTS is switched on, and
// several drivers (cdc_acm, ch341 in 6.1) never drive it from CRTSCTS at all: a script
// that dropped RTS before choosing the handshake would otherwise leave it down for good,
// and a device that waits for RTS would never send. (Where the chip or the serial core
// drives RTS itself, it takes it over again at its next throttle.) A device without
// modem lines (a pty) has nothing to drive and still takes the rest of the settings.
// Raising and dropping are two ioctls: when the second fails, the lines the first raised
// are dropped again, so the lines stay as they were.
bool ApplyLineControls(int fd, const Dcb& was, const Dcb& wanted) {
    int raise = 0;
    int drop = 0;
    if (dcb::DtrControl(wanted) != dcb::DtrControl(was)) {
        (dcb::DtrControl(wanted) == dcb::kControlEnable ? raise : drop) |= TIOCM_DTR;
    }
    const std::uint32_t rts = dcb::RtsControl(wanted);
    if (rts != dcb::RtsControl(was)) {
        (rts == dcb::kControlDisable ? drop : raise) |= TIOCM_RTS;
    }
    if (raise == 0 && drop == 0) return true;
    int before = 0;
    if (Ioctl(fd, TIOCMGET, &before) < 0) return DeviceHasNoSuchControl();
    if (SetModemLines(fd, raise, drop)) return true;
    int undo = raise & ~before;
    if (undo != 0) Ioctl(fd, TIOCMBIC, &undo);
    return false;
}

}  // namespace

PortHandle local::CreateFileA(const char* name, std::uint32_t, std::uint32_t, void*, std::uint32_t,
                              std::uint32_t, PortHandle) {
    if (name == nullptr) return InvalidPort();
    // Allocated before the device is touched: without memory the open fails, and
    // nothing may throw out through the module.
    // The tag is a nothrow_t of its own: the library's std::nothrow object would be the
    // one thing the module asks of the C++ runtime.
    std::unique_ptr<Port> port(new (std::nothrow_t{}) Port());
    if (port == nullptr) return InvalidPort();
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return InvalidPort();
    port->fd = fd;
    // Exclusive like share mode 0. TIOCEXCL keeps other opens away except a
    // privileged one; the advisory lock also stops root and this process itself.
    termios2 original{};
    if (Ioctl(fd, TCGETS2, &original) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        Ioctl(fd, TIOCEXCL, nullptr) != 0) {
        close(fd);  // also drops the advisory lock
        return InvalidPort();
    }
    port->line = original;
    port->driver = DescribeDriver(fd, &port->counters);
    port->input.MarkErrors(port->driver.marksInput);
    linux_line::MakeRaw(port->line, port->driver.marksInput);
    PortHandle handle = InvalidPort();
    if (Ioctl(fd, TCSETS2, &port->line) == 0 && Ioctl(fd, TCGETS2, &port->line) == 0) {
        port->dcb = linux_line::InitialDcb(port->line);
        handle = Ports().Add(std::move(port));
    }
    if (handle == InvalidPort()) {
        // A failed open leaves the device as it found it: its line, and open to others.
        Ioctl(fd, TCSETS2, &original);
        Ioctl(fd, TIOCNXCL, nullptr);
        close(fd);
    }
    return handle;
}

Bool local::SetupComm(PortHandle handle, std::uint32_t, std::uint32_t) {
    // Linux sizes its queues in the driver; the recommendation has nowhere to go.
    Port* port = Ports().Find(handle);
    return port != nullptr && DevicePresent(*port);
}

Bool local::GetCommState(PortHandle handle, Dcb* dcb) {
    Port* port = Ports().Find(handle);
    if (port == nullptr || dcb == nullptr) return 0;
    termios2 line{};
    if (Ioctl(port->fd, TCGETS2, &line) < 0) return 0;
    port->line = line;
    *dcb = linux_line::ToDcb(line, port->dcb);
    return 1;
}

Bool local::SetCommState(PortHandle handle, Dcb* dcb) {
    Port* port = Ports().Find(handle);
    if (port == nullptr || dcb == nullptr) return 0;
    termios2 wanted{};
    if (!linux_line::ToLine(*dcb, port->line, &wanted)) return 0;
    // All or nothing: read the line back, and restore the previous one when the
    // device did not take every setting, or the line cannot be read back to tell.
    termios2 actual{};
    if (Ioctl(port->fd, TCSETS2, &wanted) < 0 || Ioctl(port->fd, TCGETS2, &actual) < 0 ||
        !linux_line::LineTaken(wanted, actual) || !ApplyLineControls(port->fd, port->dcb, *dcb)) {
        Ioctl(port->fd, TCSETS2, &port->line);
        return 0;
    }
    port->line = actual;
    port->dcb = *dcb;
    return 1;
}

Bool local::PurgeComm(PortHandle handle, std::uint32_t flags) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return 0;
    // Transfers are synchronous: nothing is pending to abort when this runs.
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (!rx && !tx) return 1;
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (Ioctl(port->fd, TCFLSH, reinterpret_cast<void*>(static_cast<std::intptr_t>(queue))) != 0) {
        return 0;
    }
    // What was read ahead of the driver's queue is received input too.
    if (rx) port->input.Clear();
    return 1;
}

Bool local::SetCommTimeouts(PortHandle handle, CommTimeouts* timeouts) {
    Port* port = Ports().Find(handle);
    if (port == nullptr || timeouts == nullptr || !DevicePresent(*port)) return 0;
    port->timeouts = *timeouts;
    return 1;
}

namespace {

bool FlowControl(int fd, int action) {
    return Ioctl(fd, TCXONC, reinterpret_cast<void*>(std::intptr_t{action})) == 0;
}

// The longest a break or a close waits for output the device does not take, and for
// the kernel to let the port go: together well within the second forget is allowed.
constexpr Micros kSettleBound = 300'000;
constexpr Micros kCallBound = 500'000;

// Before a break or a close the kernel waits until the driver's queue and the
// transmitter are empty: TIOCSBRK without any limit, close() up to the port's
// closing_wait (30 s unless an administrator changed it). On a driver that takes bytes
// back, what is still queued was never counted as sent (a write leaves the queue empty
// or takes back what did not leave), so it is dropped; then only a FIFO's last bytes
// are waited for. True when the output has settled, and the kernel will not wait.
bool SettleOutput(Port& port) {
    switch (port.driver.output) {
        case OutputRule::kPassesThrough:
            return true;
        case OutputRule::kCannotTakeBack:
            return false;  // its chip cannot be seen
        case OutputRule::kTakesBack:
            break;
    }
    tty_output::TtyOutput device(port.fd);
    device.Discard();
    const std::int64_t perByte = linux_line::NanosPerByte(port.line);
    // Long enough for the largest UART FIFO at the line's rate, never long.
    constexpr std::int64_t kFifoBytes = 128;
    constexpr Micros kSlack = 20'000;
    const Micros bound =
        perByte > 0 ? std::min(kSettleBound, kFifoBytes * perByte / 1000 + kSlack) : kSettleBound;
    return tty_output::AwaitSettled(port.fd, Deadline::After(device.Now(), bound), perByte);
}

// A break the kernel would make wait for output that does not leave is not started:
// the script learns that from the answer, 0.
Bool StartBreak(Port& port) {
    const bool started = SettleOutput(port) ? ioctl(port.fd, TIOCSBRK, nullptr) == 0
                                            : bounded_call::StartBreakWithin(port.fd, kCallBound) ==
                                                  bounded_call::Outcome::kDone;
    if (!started) return 0;
    port.heldByBreak = true;
    return 1;
}

}  // namespace

Bool local::EscapeCommFunction(PortHandle handle, std::uint32_t function) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    switch (function) {
        case kSetXoff:
            if (!FlowControl(port->fd, TCOOFF)) return 0;
            port->heldByXoff = true;
            return 1;
        case kSetXon:
            // TCOON undoes only a TCOOFF; after one, it also restarts output that a
            // received XOFF stopped, as an XON from the device would.
            if (!FlowControl(port->fd, TCOOFF) || !FlowControl(port->fd, TCOON)) return 0;
            port->heldByXoff = false;
            return 1;
        // A line under a handshake belongs to the driver: Windows refuses to move it
        // (STATUS_INVALID_PARAMETER), and so does this layer, though the kernel would.
        case kSetRts:
        case kClrRts:
            if (dcb::RtsControl(port->dcb) == dcb::kControlHandshake) return 0;
            return function == kSetRts ? SetModemLines(port->fd, TIOCM_RTS, 0)
                                       : SetModemLines(port->fd, 0, TIOCM_RTS);
        case kSetDtr:
        case kClrDtr:
            if (dcb::DtrControl(port->dcb) == dcb::kControlHandshake) return 0;
            return function == kSetDtr ? SetModemLines(port->fd, TIOCM_DTR, 0)
                                       : SetModemLines(port->fd, 0, TIOCM_DTR);
        case kSetBreak:
            return StartBreak(*port);
        case kClrBreak:
            if (Ioctl(port->fd, TIOCCBRK, nullptr) != 0) return 0;
            port->heldByBreak = false;
            return 1;
        default:
            return 0;  // RESETDEV and unknown codes
    }
}

Bool local::ClearCommError(PortHandle handle, std::uint32_t* errors, ComStat* status) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    std::uint32_t waiting = 0;
    std::uint32_t found = 0;
    if (port->driver.marksInput) {
        // What waits is counted with the marks out; a driver that counts no errors tells
        // of them only through the marks.
        if ((status != nullptr || !port->driver.counts) &&
            port->input.ReadAhead(port->fd) == ReceivedBytes::Arrival::kGone) {
            return 0;
        }
        waiting = port->input.Waiting();
    } else if (status != nullptr) {
        int queued = 0;
        if (Ioctl(port->fd, TIOCINQ, &queued) < 0) return 0;
        waiting = static_cast<std::uint32_t>(queued);
    }
    if (port->driver.counts) {
        serial_icounter_struct now{};
        if (Ioctl(port->fd, TIOCGICOUNT, &now) < 0) return 0;
        // Only a call that succeeds consumes the errors it reports.
        found = NewErrors(port->counters, now, dcb::Has(port->dcb, dcb::kParity));
        port->counters = now;
    } else if (port->driver.marksInput) {
        found = port->input.TakeErrors(dcb::Has(port->dcb, dcb::kParity) &&
                                       (port->line.c_cflag & PARENB) != 0);
    }
    if (status != nullptr) *status = ComStat{0, waiting, 0};
    if (errors != nullptr) *errors = found;
    return 1;
}

// A close the kernel would make wait for output that does not leave is cut short, and
// the driver drops what it held: as on Windows, closing a port abandons its output.
Bool local::CloseHandle(PortHandle handle) {
    std::unique_ptr<Port> port = Ports().Remove(handle);
    if (port == nullptr) return 0;
    Ioctl(port->fd, TIOCNXCL, nullptr);
    if (SettleOutput(*port)) return close(port->fd) == 0;  // also drops the advisory lock
    // The descriptor goes at once, and the open file with the child's end or kill.
    return bounded_call::CloseWithin(port->fd, kCallBound) != bounded_call::Outcome::kFailed;
}

}  // namespace velmora::serial
