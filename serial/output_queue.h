// The Win32 write rule on a device whose driver keeps an output queue (a UART, a USB
// adapter). A Linux write() returns once the bytes are in that queue, not once they are
// sent, so a device that holds its output (XOFF, CTS down) would leave them there to
// hold up every later call. Here a write counts only the bytes that have left the
// queue, and at its time-out takes back what has not, so nothing counted is lost and
// nothing uncounted goes out later.
//
// The rule works on an OutputDevice, so that its decisions can be tried on a model of a
// UART as well as on a real one.
#pragma once

#include <cstdint>

namespace velmora::serial {

using Micros = std::int64_t;  // on a monotonic clock
inline constexpr Micros kNoDeadline = -1;

class OutputDevice {
  public:
    enum class Wait { kReady, kTimedOut, kGone };

    // Hands bytes to the driver: the count it took (0 when it takes none now), or -1
    // when the device failed.
    virtual long Write(const unsigned char* bytes, std::uint32_t count) = 0;
    // Bytes in the driver's output queue, or -1 when the device failed.
    virtual long Queued() = 0;
    // Drops the queue. Some drivers cannot (USB adapters); Queued() then says so.
    virtual void Discard() = 0;
    // Waits until the driver takes bytes again, at most until `deadline`.
    virtual Wait AwaitRoom(Micros deadline) = 0;
    virtual void Sleep(Micros duration) = 0;
    virtual Micros Now() = 0;

  protected:
    ~OutputDevice() = default;
};

struct WriteOutcome {
    std::uint32_t sent;  // bytes that left the queue
    bool ok;             // false when the device failed; a time-out is not a failure
};

// A write with a deadline never queues more than the line can send in this time (nor
// more than it can send before the deadline), so that a driver that cannot take bytes
// back leaves little behind when the device holds its output.
inline constexpr Micros kQueueHorizon = 50'000;

// Writes `count` bytes (count > 0) by `deadline` (kNoDeadline: however long it takes).
// `nanosPerByte` is the line's time for one character, 0 when unknown.
WriteOutcome WriteThroughQueue(OutputDevice& device, const unsigned char* bytes,
                               std::uint32_t count, Micros deadline, std::int64_t nanosPerByte);

enum class Drain { kEmpty, kTimedOut, kFailed };

// Waits until the driver's queue is empty, at most until `deadline`.
Drain AwaitEmptyQueue(OutputDevice& device, Micros deadline, std::int64_t nanosPerByte);

}  // namespace velmora::serial
