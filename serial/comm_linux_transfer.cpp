// The Linux backend's transfers: reads and writes under the Win32 time-out rules, and
// the flush. Writes to a driver with an output queue count only the bytes that left it
// (serial/output_queue.h); a device that holds output never holds a call past its
// time-out.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "serial/comm.h"
#include "serial/linux_port.h"
#include "serial/local_port.h"
#include "serial/output_queue.h"
#include "serial/tty_output.h"

namespace velmora::serial {

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
    // What ClearCommError already took from the driver comes first.
    std::uint32_t done = std::min(count, port.aheadEnd - port.aheadBegin);
    std::memcpy(bytes, port.ahead.data() + port.aheadBegin, done);
    port.aheadBegin += done;
    std::int64_t total = 0;  // set when the first wait is due
    bool timed = false;
    bool failed = false;
    while (done < count) {
        const ssize_t n = read(port.fd, bytes + done, count - done);
        if (n > 0) {
            const std::size_t data =
                port.marksInput ? port.marks.Unmark(bytes + done, static_cast<std::size_t>(n))
                                : static_cast<std::size_t>(n);
            done += static_cast<std::uint32_t>(data);
            if (data > 0 && (atOnce || firstByte)) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) {  // hung up, or failed
            failed = true;
            break;
        }
        if (atOnce || (firstByte && done > 0)) break;
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

Bool local::ReadFile(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* countRead,
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
    tty_output::TtyOutput device(port.fd, port.hasCounters);
    const std::uint64_t ms = std::min(WriteTimeoutMs(port, count), kLongestMs);
    const Micros deadline = ms == 0 ? kNoDeadline : device.Now() + static_cast<Micros>(ms) * 1000;
    const WriteOutcome outcome = WriteThroughQueue(device, QueueKindOf(port), bytes, count,
                                                   deadline, tty_output::NanosPerByte(port.line));
    if (countWritten != nullptr) *countWritten = outcome.sent;
    return outcome.ok;
}

}  // namespace

Bool local::WriteFile(PortHandle handle, const void* buffer, std::uint32_t count,
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
