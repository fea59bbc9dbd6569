// The Win32 write rule on a Linux tty: how much of a text a write hands to the driver,
// when, and which bytes it counts, for each kind of driver. A Linux write() returns once
// the bytes are in the driver's queue, not once they are sent, so a device that holds its
// output (XOFF, CTS down, a full buffer) would leave them there to go out later, whatever
// the write answered. The rule keeps the answer and the line in step:
//
//   kPassesThrough  A pseudo-terminal keeps no queue: it hands each byte straight to its
//                   far end. A write counts what the far end took, and waits for room.
//   kTakesBack      A UART's driver can take back what it holds (TCFLSH). It is given no
//                   more than its line sends soon. A write counts the bytes that left the
//                   queue for the transmitter, and at its time-out takes back the rest, so
//                   nothing counted is lost and nothing uncounted goes out later.
//   kCannotTakeBack A USB adapter's driver cannot (usb-serial and cdc-acm have no flush
//                   hook), and its chip empties the driver's queue into a buffer of its own
//                   that nothing can see. It is given the text in pieces of 50 ms of line,
//                   paced by the line's rate as well as by the queue, so that what it holds
//                   beyond what the line has carried stays about one piece. Whatever such a
//                   driver holds is certain to go out, so it is counted as it is handed
//                   over. When the device goes away, a count is cut to what the line could
//                   have carried since the first hand-over (until the kernel notices an
//                   unplug, the driver takes bytes and fails them).
//
// The rule works on an OutputDevice, so that its decisions can be tried on a model of a
// UART or an adapter as well as on a real one.
#pragma once

#include <cstdint>

#include "serial/deadline.h"

namespace velmora::serial {

enum class OutputRule : std::uint8_t { kPassesThrough, kTakesBack, kCannotTakeBack };

class OutputDevice {
  public:
    // Hands bytes to the driver: the count it took (0 when it takes none now), or -1
    // when the device failed.
    virtual long Write(const unsigned char* bytes, std::uint32_t count) = 0;
    // Bytes in the driver's output queue, or -1 when the device failed.
    virtual long Queued() = 0;
    // Drops the queue; asked only of a driver that can.
    virtual void Discard() = 0;
    // How many bytes the driver has loaded into the transmitter since some fixed moment
    // (a UART's transmit counter), or -1 when it keeps no such count.
    virtual std::int64_t Transmitted() = 0;
    // Waits until the driver takes bytes again, at most until `deadline`.
    virtual Wait AwaitRoom(Deadline deadline) = 0;
    virtual void Sleep(Micros duration) = 0;
    virtual Micros Now() = 0;

  protected:
    ~OutputDevice() = default;
};

// When the line will have sent everything it was given, by its rate: kept with the port
// across writes, so that a write knows what the ones before it left in the device.
class LinePace {
  public:
    void Handed(Micros now, std::uint32_t bytes, std::int64_t nanosPerByte) {
        if (busyUntil_ < now) busyUntil_ = now;
        busyUntil_ += static_cast<Micros>(bytes) * nanosPerByte / 1000;
    }
    // The moment the line is free for the next byte handed over now.
    Micros FreeFrom(Micros now) const { return busyUntil_ > now ? busyUntil_ : now; }
    // The bytes handed over that the line has not had the time to send by `now`.
    std::int64_t Lead(Micros now, std::int64_t nanosPerByte) const {
        if (nanosPerByte <= 0 || busyUntil_ <= now) return 0;
        return (busyUntil_ - now) * 1000 / nanosPerByte;
    }
    void Forget() { busyUntil_ = 0; }

  private:
    Micros busyUntil_ = 0;
};

struct WriteOutcome {
    std::uint32_t sent;  // bytes counted
    bool ok;             // false when the device failed; a time-out is not a failure
};

// A write with a deadline never gives a driver that takes bytes back more than the line
// sends in this time; a piece for a driver that cannot is this much of the line.
inline constexpr Micros kQueueHorizon = 50'000;
// The largest piece (usb-serial's queue holds 4 KiB), and the smallest share of the
// queue a write may still use however close its deadline (a FIFO's worth).
inline constexpr std::uint32_t kLargestPiece = 4096;
inline constexpr std::uint32_t kLeastQueued = 16;

// Writes `count` bytes (count > 0) under the driver's rule within `timeoutMs` (0: however
// long it takes), which starts when the call does. `nanosPerByte` is the line's time for
// one character, 0 when unknown.
WriteOutcome WriteThroughDriver(OutputDevice& device, OutputRule rule, LinePace& pace,
                                const unsigned char* bytes, std::uint32_t count,
                                std::uint64_t timeoutMs, std::int64_t nanosPerByte);

// The piece a driver that cannot take bytes back is given at once on this line.
std::uint32_t PieceSize(std::int64_t nanosPerByte);

enum class Drain { kEmpty, kTimedOut, kFailed };

// Waits until the driver's queue is empty, at most until `deadline`.
Drain AwaitEmptyQueue(OutputDevice& device, Deadline deadline, std::int64_t nanosPerByte);

}  // namespace velmora::serial
