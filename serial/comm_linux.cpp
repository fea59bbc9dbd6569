// The Linux backend: Win32 serial semantics on a tty file descriptor.
//
// Ports are opened non-blocking and every wait is a poll() with the time left by the
// port's COMMTIMEOUTS, so nothing waits longer than the Win32 rules say, and a device
// that goes away (an unplugged adapter, the far end of a pty) ends any wait at once.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>

#include "serial/comm.h"
#include "serial/linux_line.h"
#include "serial/output_queue.h"
#include "serial/tty_output.h"

namespace velmora::serial {

namespace {

struct Port {
    int fd = -1;
    std::uintptr_t handle = 0;
    Dcb dcb{};                // what termios cannot hold, as SetCommState last stored it
    termios2 line{};          // the line as last read from or written to the device
    CommTimeouts timeouts{};  // all zero: no time-outs
    bool hasCounters = false;
    serial_icounter_struct counters{};
    // Output: whether the driver queues it (learnt on first need), and what holds it
    // here. SETXOFF and a break hold output in this layer too, because the kernel's
    // own hold (TCOOFF) is not obeyed by every driver (USB adapters).
    enum class Queue : std::uint8_t { kUnknown, kNone, kKept } queue = Queue::kUnknown;
    bool heldByXoff = false;
    bool heldByBreak = false;
};

// The lock of opens and closes: a plain pthread mutex, which answers failure with a
// code where std::mutex would throw. Locking a valid default mutex does not fail.
class Guard {
  public:
    explicit Guard(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~Guard() { pthread_mutex_unlock(&mutex_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    pthread_mutex_t& mutex_;
};

// Handles are slot number + 1 in the low 16 bits and a reuse count above them, so a
// closed handle stays invalid after its slot is taken again, and 0 and all-ones are
// never issued.
constexpr std::size_t kSlots = 1024;
constexpr std::uintptr_t kSlotBits = 0xFFFF;
constexpr std::uintptr_t kMaxReuse = 0x7FFF;

class PortTable {
  public:
    constexpr PortTable() = default;

    Port* Find(PortHandle handle) const {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        const std::uintptr_t slot = (value & kSlotBits) - 1;
        if (slot >= kSlots) return nullptr;
        Port* port = slots_[slot].get();
        return (port != nullptr && port->handle == value) ? port : nullptr;
    }

    PortHandle Add(std::unique_ptr<Port> port) {
        Guard guard(mutex_);
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            if (slots_[slot]) continue;
            reuse_[slot] = reuse_[slot] % kMaxReuse + 1;
            port->handle = (reuse_[slot] << 16) | (slot + 1);
            const auto handle = reinterpret_cast<PortHandle>(port->handle);
            slots_[slot] = std::move(port);
            return handle;
        }
        return InvalidPort();
    }

    std::unique_ptr<Port> Remove(PortHandle handle) {
        Guard guard(mutex_);
        Port* port = Find(handle);
        if (port == nullptr) return nullptr;
        return std::move(slots_[(port->handle & kSlotBits) - 1]);
    }

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;  // opens and closes only; lookups
                                                         // read a slot once
    std::array<std::unique_ptr<Port>, kSlots> slots_{};
    std::array<std::uintptr_t, kSlots> reuse_{};
};

// Constant-initialised, so looking a handle up costs no initialisation check.
PortTable portTable;
PortTable& Ports() {
    return portTable;
}

// For requests that do not wait: a signal can only have arrived between them.
int Ioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

// For a request the kernel may make wait (TIOCSBRK first waits for the output to
// drain): made once, so that a signal that ends the wait frees the caller.
int WaitingIoctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}

bool DeviceHasNoSuchControl() {
    return errno == ENOTTY || errno == EINVAL;
}

// Operations that only record something for later still fail on a device that has
// gone away (an unplugged adapter, a hung-up line), as they do on Windows.
bool DevicePresent(const Port& port) {
    termios2 line{};
    return Ioctl(port.fd, TCGETS2, &line) == 0;
}

// Milliseconds on a monotonic clock.
std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

constexpr std::int64_t kForever = -1;

// A deadline `ms` from now, or kForever. Computed only when a transfer must wait.
std::int64_t DeadlineAfter(std::uint64_t ms) {
    return ms == 0 ? kForever : NowMs() + static_cast<std::int64_t>(ms);
}

enum class Wait { kReady, kTimedOut, kGone };

// Waits for `events` until `deadline` (kForever: no limit).
Wait WaitFor(int fd, short events, std::int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kForever) {
            const std::int64_t left = deadline - NowMs();
            if (left <= 0) return Wait::kTimedOut;
            timeout = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::kGone;
        if (n == 0) continue;  // the deadline check above decides
        if (p.revents & events) return Wait::kReady;
        return Wait::kGone;  // POLLHUP, POLLERR or POLLNVAL without data
    }
}

std::uint32_t NewErrors(const serial_icounter_struct& was, const serial_icounter_struct& now) {
    std::uint32_t errors = 0;
    if (now.buf_overrun != was.buf_overrun) errors |= kCeRxOver;
    if (now.overrun != was.overrun) errors |= kCeOverrun;
    if (now.parity != was.parity) errors |= kCeRxParity;
    if (now.frame != was.frame) errors |= kCeFrame;
    if (now.brk != was.brk) errors |= kCeBreak;
    return errors;
}

bool SetModemLines(int fd, int raise, int drop) {
    if (raise != 0 && Ioctl(fd, TIOCMBIS, &raise) < 0) return false;
    if (drop != 0 && Ioctl(fd, TIOCMBIC, &drop) < 0) return false;
    return true;
}

// Drives DTR and RTS when their control mode changes between enable and disable.
// A device without modem lines (a pty) has nothing to drive and still takes the
// rest of the settings. Raising and dropping are two ioctls: when the second fails,
// the lines the first raised are dropped again, so the lines stay as they were.
bool ApplyLineControls(int fd, const Dcb& was, const Dcb& wanted) {
    int raise = 0;
    int drop = 0;
    if (dcb::DtrControl(wanted) != dcb::DtrControl(was)) {
        (dcb::DtrControl(wanted) == dcb::kControlEnable ? raise : drop) |= TIOCM_DTR;
    }
    const std::uint32_t rts = dcb::RtsControl(wanted);
    if (rts != dcb::RtsControl(was) && rts != dcb::kControlHandshake) {
        (rts == dcb::kControlEnable ? raise : drop) |= TIOCM_RTS;
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

PortHandle CreateFileA(const char* name, std::uint32_t, std::uint32_t, void*, std::uint32_t,
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
    linux_line::MakeRaw(port->line);
    PortHandle handle = InvalidPort();
    if (Ioctl(fd, TCSETS2, &port->line) == 0 && Ioctl(fd, TCGETS2, &port->line) == 0) {
        port->dcb = linux_line::InitialDcb(port->line);
        // Asked once: a device without error counters (a pty, many USB adapters) is not
        // asked again on every ReadComm.
        port->hasCounters = Ioctl(fd, TIOCGICOUNT, &port->counters) == 0;
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

Bool SetupComm(PortHandle handle, std::uint32_t, std::uint32_t) {
    // Linux sizes its queues in the driver; the recommendation has nowhere to go.
    Port* port = Ports().Find(handle);
    return port != nullptr && DevicePresent(*port);
}

Bool GetCommState(PortHandle handle, Dcb* dcb) {
    Port* port = Ports().Find(handle);
    if (port == nullptr || dcb == nullptr) return 0;
    termios2 line{};
    if (Ioctl(port->fd, TCGETS2, &line) < 0) return 0;
    port->line = line;
    *dcb = linux_line::ToDcb(line, port->dcb);
    return 1;
}

Bool SetCommState(PortHandle handle, Dcb* dcb) {
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

Bool PurgeComm(PortHandle handle, std::uint32_t flags) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return 0;
    // Transfers are synchronous: nothing is pending to abort when this runs.
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (!rx && !tx) return 1;
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    return Ioctl(port->fd, TCFLSH, reinterpret_cast<void*>(static_cast<std::intptr_t>(queue))) == 0;
}

Bool SetCommTimeouts(PortHandle handle, CommTimeouts* timeouts) {
    Port* port = Ports().Find(handle);
    if (port == nullptr || timeouts == nullptr || !DevicePresent(*port)) return 0;
    port->timeouts = *timeouts;
    return 1;
}

namespace {

bool KeepsQueue(Port& port) {
    if (port.queue == Port::Queue::kUnknown) {
        port.queue =
            tty_output::KeepsOutputQueue(port.fd) ? Port::Queue::kKept : Port::Queue::kNone;
    }
    return port.queue == Port::Queue::kKept;
}

bool FlowControl(int fd, int action) {
    return Ioctl(fd, TCXONC, reinterpret_cast<void*>(std::intptr_t{action})) == 0;
}

// Before a break or a close the kernel waits until the driver's queue and the
// transmitter are empty: TIOCSBRK without any limit, close() up to the port's
// closing_wait (30 s unless an administrator changed it). A device that holds output
// would hold either call. What is still queued here was never counted as sent (every
// write leaves the queue empty or takes back what did not leave), so it is dropped;
// then only a FIFO's last bytes are waited for. True when the output has settled.
bool SettleOutput(Port& port) {
    tty_output::TtyOutput device(port.fd);
    device.Discard();
    const std::int64_t perByte = tty_output::NanosPerByte(port.line);
    // Long enough for the largest UART FIFO at the line's rate, never long.
    constexpr std::int64_t kFifoBytes = 128;
    constexpr Micros kSlack = 20'000, kLongest = 500'000;
    const Micros bound =
        perByte > 0 ? std::min(kLongest, kFifoBytes * perByte / 1000 + kSlack) : kLongest;
    return tty_output::AwaitSettled(port.fd, device.Now() + bound, perByte);
}

// An adapter that keeps bytes in its own buffer (or a driver that cannot drop its
// queue) for a device that holds output would still hold the call: its output flow
// control is switched off, so that those bytes leave. `before` keeps the line.
bool LetOutputGo(int fd, termios2* before) {
    if (Ioctl(fd, TCGETS2, before) != 0) return false;
    termios2 line = *before;
    line.c_cflag &= ~CRTSCTS;
    line.c_iflag &= ~IXON;
    return Ioctl(fd, TCSETS2, &line) == 0;
}

Bool StartBreak(Port& port) {
    termios2 before{};
    const bool released = KeepsQueue(port) && !SettleOutput(port) && LetOutputGo(port.fd, &before);
    const bool started = WaitingIoctl(port.fd, TIOCSBRK, nullptr) == 0;
    if (released) Ioctl(port.fd, TCSETS2, &before);
    if (!started) return 0;
    port.heldByBreak = true;
    return 1;
}

}  // namespace

Bool EscapeCommFunction(PortHandle handle, std::uint32_t function) {
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
        case kSetRts:
            return SetModemLines(port->fd, TIOCM_RTS, 0);
        case kClrRts:
            return SetModemLines(port->fd, 0, TIOCM_RTS);
        case kSetDtr:
            return SetModemLines(port->fd, TIOCM_DTR, 0);
        case kClrDtr:
            return SetModemLines(port->fd, 0, TIOCM_DTR);
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

Bool ClearCommError(PortHandle handle, std::uint32_t* errors, ComStat* status) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    serial_icounter_struct now = port->counters;
    if (port->hasCounters && Ioctl(port->fd, TIOCGICOUNT, &now) < 0) return 0;
    int waiting = 0;
    if (status != nullptr && Ioctl(port->fd, TIOCINQ, &waiting) < 0) return 0;
    // Only a call that succeeds consumes the errors it reports.
    const std::uint32_t found = NewErrors(port->counters, now);
    port->counters = now;
    if (status != nullptr) *status = ComStat{0, static_cast<std::uint32_t>(waiting), 0};
    if (errors != nullptr) *errors = found;
    return 1;
}

namespace {

// The Win32 read rules on a non-blocking descriptor (count > 0).
Bool ReadWithTimeouts(Port& port, unsigned char* bytes, std::uint32_t count,
                      std::uint32_t* countRead) {
    const CommTimeouts& t = port.timeouts;
    // MAXDWORD interval with zero totals: whatever is there, at once. MAXDWORD interval
    // and multiplier: at once when anything is there, else wait for a first byte.
    const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    const bool firstByte =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    const std::uint32_t interval = t.ReadIntervalTimeout == kMaxDword ? 0 : t.ReadIntervalTimeout;
    std::uint32_t done = 0;
    std::int64_t total = 0;  // set when the first wait is due
    bool timed = false;
    bool failed = false;
    while (done < count) {
        const ssize_t n = read(port.fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            if (atOnce || firstByte) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) {  // hung up, or failed
            failed = true;
            break;
        }
        if (atOnce) break;
        if (!timed) {
            timed = true;
            const std::uint64_t ms = firstByte
                                         ? t.ReadTotalTimeoutConstant
                                         : std::uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                               t.ReadTotalTimeoutConstant;
            total = DeadlineAfter(ms);
        }
        std::int64_t deadline = total;
        if (interval != 0 && done > 0) {
            const std::int64_t gap = NowMs() + interval;
            if (deadline == kForever || gap < deadline) deadline = gap;
        }
        const Wait w = WaitFor(port.fd, POLLIN, deadline);
        if (w == Wait::kTimedOut) break;  // a time-out ends the read with its count
        if (w == Wait::kGone) {
            failed = true;
            break;
        }
    }
    if (countRead != nullptr) *countRead = done;
    // Bytes that arrived before the device went away are delivered; the next call fails.
    return !failed || done > 0;
}

}  // namespace

Bool ReadFile(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* countRead,
              void*) {
    Port* port = Ports().Find(handle);
    if (countRead != nullptr) *countRead = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    if (count == 0) return 1;  // what a ReadComm with nothing waiting asks for, every frame
    return ReadWithTimeouts(*port, static_cast<unsigned char*>(buffer), count, countRead);
}

namespace {

// The rest of a write the device did not take at once, under the Win32 time-out rule.
Bool FinishWrite(Port& port, const unsigned char* bytes, std::uint32_t count, std::uint32_t done,
                 std::uint32_t* countWritten) {
    const CommTimeouts& t = port.timeouts;
    const std::int64_t deadline = DeadlineAfter(
        std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant);
    bool ok = true;
    while (done < count) {
        const ssize_t n = write(port.fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) {
            ok = false;
            break;
        }
        const Wait w = WaitFor(port.fd, POLLOUT, deadline);
        if (w == Wait::kTimedOut) break;  // a time-out ends the write with its count
        if (w == Wait::kGone) {
            ok = false;
            break;
        }
    }
    if (countWritten != nullptr) *countWritten = done;
    return ok;
}

std::uint64_t WriteTimeoutMs(const Port& port, std::uint32_t count) {
    const CommTimeouts& t = port.timeouts;
    return std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
}

// Output held by SETXOFF or a break: nothing goes out, and the write ends with its
// time-out, or when the device goes away.
Bool WaitOutHold(const Port& port, std::uint32_t count) {
    return WaitFor(port.fd, 0, DeadlineAfter(WriteTimeoutMs(port, count))) == Wait::kTimedOut;
}

Bool WriteThroughDriverQueue(Port& port, const unsigned char* bytes, std::uint32_t count,
                             std::uint32_t* countWritten) {
    tty_output::TtyOutput device(port.fd);
    // Time-outs of up to 2^64 ms are cut to 35 years, which still fit in microseconds.
    constexpr std::uint64_t kLongestMs = std::uint64_t{1} << 40;
    const std::uint64_t ms = std::min(WriteTimeoutMs(port, count), kLongestMs);
    const Micros deadline = ms == 0 ? kNoDeadline : device.Now() + static_cast<Micros>(ms) * 1000;
    const WriteOutcome outcome =
        WriteThroughQueue(device, bytes, count, deadline, tty_output::NanosPerByte(port.line));
    if (countWritten != nullptr) *countWritten = outcome.sent;
    return outcome.ok;
}

}  // namespace

Bool WriteFile(PortHandle handle, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten, void*) {
    Port* port = Ports().Find(handle);
    if (countWritten != nullptr) *countWritten = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    if (count == 0) return 1;
    if (port->heldByXoff || port->heldByBreak) return WaitOutHold(*port, count);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (KeepsQueue(*port)) return WriteThroughDriverQueue(*port, bytes, count, countWritten);
    // A device that keeps up takes the whole text in one call.
    const ssize_t n = write(port->fd, bytes, count);
    if (n == static_cast<ssize_t>(count)) {
        if (countWritten != nullptr) *countWritten = count;
        return 1;
    }
    return FinishWrite(*port, bytes, count, n > 0 ? static_cast<std::uint32_t>(n) : 0,
                       countWritten);
}

Bool FlushFileBuffers(PortHandle handle) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    if (!KeepsQueue(*port)) return DevicePresent(*port);
    // Not tcdrain, which waits without limit. Every write has already waited for its
    // bytes or taken back what did not leave, so the queue is empty here unless a
    // driver could not take bytes back; those get the write time-out to leave.
    tty_output::TtyOutput device(port->fd);
    const std::uint32_t ms = port->timeouts.WriteTotalTimeoutConstant;
    const Micros deadline = ms == 0 ? kNoDeadline : device.Now() + Micros{ms} * 1000;
    return AwaitEmptyQueue(device, deadline, tty_output::NanosPerByte(port->line)) == Drain::kEmpty;
}

namespace {

void LetCloseGo(Port& port) {
    termios2 before{};
    if (!SettleOutput(port)) LetOutputGo(port.fd, &before);
}

}  // namespace

Bool CloseHandle(PortHandle handle) {
    std::unique_ptr<Port> port = Ports().Remove(handle);
    if (port == nullptr) return 0;
    Ioctl(port->fd, TIOCNXCL, nullptr);
    if (KeepsQueue(*port)) LetCloseGo(*port);
    return close(port->fd) == 0;  // also drops the advisory lock
}

}  // namespace velmora::serial
