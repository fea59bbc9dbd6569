// The Linux backend's transfers: reads and writes under the Win32 time-out rules, and
// the flush. A write goes through its driver's rule (serial/write_rule.h); a device that
// holds output never holds a call past its time-out.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "serial/comm.h"
#include "serial/linux_line.h"
#include "serial/linux_port.h"
#include "serial/local_port.h"
#include "serial/tty_output.h"
#include "serial/write_rule.h"

namespace velmora::serial {

namespace {

// The Win32 read rules on a non-blocking descriptor (count > 0). Kept out of ReadFile,
// whose call with nothing to read comes every frame and should cost next to nothing.
__attribute__((noinline)) Bool ReadWithTimeouts(Port& port, unsigned char* bytes, std::uint32_t count,
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
    Deadline total = Deadline::Never();  // set when the first wait is due
    bool timed = false;
    bool failed = false;
    while (done < count) {
        std::uint32_t got = 0;
        const ReceivedBytes::Arrival arrival =
            port.input.Receive(port.fd, bytes + done, count - done, &got);
        done += got;
        if (arrival == ReceivedBytes::Arrival::kSome) {
            if (got > 0 && (atOnce || firstByte)) break;
            continue;
        }
        if (arrival == ReceivedBytes::Arrival::kGone) {
            failed = true;
            break;
        }
        if (atOnce || (firstByte && done > 0)) break;
        const Micros now = MonotonicMicros();
        if (!timed) {
            timed = true;
            const std::uint64_t ms = firstByte
                                         ? t.ReadTotalTimeoutConstant
                                         : std::uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                               t.ReadTotalTimeoutConstant;
            total = Deadline::AfterMs(now, ms);
        }
        Deadline deadline = total;
        if (interval != 0 && done > 0) deadline = deadline.Or(Deadline::AfterMs(now, interval));
        const Wait w = PollUntil(port.fd, POLLIN, deadline);
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

std::uint64_t WriteTimeoutMs(const Port& port, std::uint32_t count) {
    const CommTimeouts& t = port.timeouts;
    return std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
}

// Output held by SETXOFF or a break: nothing goes out, and the write ends with its
// time-out, or when the device goes away.
Bool WaitOutHold(const Port& port, std::uint32_t count) {
    const Deadline deadline = Deadline::AfterMs(MonotonicMicros(), WriteTimeoutMs(port, count));
    return PollUntil(port.fd, 0, deadline) == Wait::kTimedOut;
}

}  // namespace

Bool local::ReadFile(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* countRead,
                     void*) {
    Port* port = Ports().Find(handle);
    if (countRead != nullptr) *countRead = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    if (count == 0) return 1;  // what a ReadComm with nothing waiting asks for, every frame
    return ReadWithTimeouts(*port, static_cast<unsigned char*>(buffer), count, countRead);
}

Bool local::WriteFile(PortHandle handle, const void* buffer, std::uint32_t count,
                      std::uint32_t* countWritten, void*) {
    Port* port = Ports().Find(handle);
    if (countWritten != nullptr) *countWritten = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    if (count == 0) return 1;
    if (port->heldByXoff || port->heldByBreak) return WaitOutHold(*port, count);
    tty_output::TtyOutput device(port->fd, port->driver.counts);
    const WriteOutcome outcome = WriteThroughDriver(
        device, port->driver.output, port->pace, static_cast<const unsigned char*>(buffer), count,
        WriteTimeoutMs(*port, count), linux_line::NanosPerByte(port->line));
    if (countWritten != nullptr) *countWritten = outcome.sent;
    return outcome.ok;
}

Bool local::FlushFileBuffers(PortHandle handle) {
    Port* port = Ports().Find(handle);
    if (port == nullptr) return 0;
    // Not tcdrain, which waits without limit, and nothing to wait for: every write has
    // waited until its bytes left the queue, or ended at its time-out, where a driver
    // that takes bytes back lost the rest and one that cannot had it all counted. As on
    // Windows, nothing is pending once a write has returned.
    return DevicePresent(*port);
}

}  // namespace velmora::serial
