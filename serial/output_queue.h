// The Win32 write rule on a device whose driver keeps an output queue (a UART, a USB
// adapter). A Linux write() returns once the bytes are in that queue, not once they are
// sent, so a device that holds its output (XOFF, CTS down, a full buffer) would leave
// them there to go out later, whatever the write answered. The rule keeps the answer
// and the line in step, in one of two ways:
//
//   - A driver that can take back what it holds (a UART's, through TCFLSH) is given as
//     much as its line sends soon. A write counts the bytes that have left the queue
//     for the transmitter, and at its time-out takes back the rest, so nothing counted
//     is lost and nothing uncounted goes out later.
//   - A driver that cannot (every USB adapter's: usb-serial and cdc-acm have no flush
//     hook) is given the text in small pieces, each once the one before has nearly
//     left. Whatever such a driver holds is certain to go out, so it is counted as soon
//     as it is handed over; the pieces keep that lead over the line, and what is lost
//     should the adapter be unplugged, small.
//
// The rule works on an OutputDevice, so that its decisions can be tried on a model of a
// UART or an adapter as well as on a real one.
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
    // Drops the queue; asked only of a driver that can.
    virtual void Discard() = 0;
    // How many bytes the driver has loaded into the transmitter since some fixed moment
    // (a UART's transmit counter), or -1 when it keeps no such count.
    virtual std::int64_t Transmitted() = 0;
    // Waits until the driver takes bytes again, at most until `deadline`.
    virtual Wait AwaitRoom(Micros deadline) = 0;
    virtual void Sleep(Micros duration) = 0;
    virtual Micros Now() = 0;

  protected:
    ~OutputDevice() = default;
};

// Whether the driver can take back what it holds.
enum class QueueKind : std::uint8_t { kTakesBack, kKeeps };

struct WriteOutcome {
    std::uint32_t sent;  // bytes counted: left the queue, or handed to a driver that keeps them
    bool ok;             // false when the device failed; a time-out is not a failure
};

// A write with a deadline never gives a driver that takes bytes back more than the line
// sends in this time (nor more than it sends before the deadline).
inline constexpr Micros kQueueHorizon = 50'000;
// The most a driver that keeps its bytes is given at once (usb-serial's queue holds
// 4 KiB); less on a slower line, where it is what the line sends within the horizon.
inline constexpr std::uint32_t kLargestPiece = 4096;

// Writes `count` bytes (count > 0) by `deadline` (kNoDeadline: however long it takes).
// `nanosPerByte` is the line's time for one character, 0 when unknown.
WriteOutcome WriteThroughQueue(OutputDevice& device, QueueKind kind, const unsigned char* bytes,
                               std::uint32_t count, Micros deadline, std::int64_t nanosPerByte);

// The piece a driver that keeps its bytes is given at once on this line.
std::uint32_t PieceSize(std::int64_t nanosPerByte);

enum class Drain { kEmpty, kTimedOut, kFailed };

// Waits until the driver's queue is empty, at most until `deadline`.
Drain AwaitEmptyQueue(OutputDevice& device, Micros deadline, std::int64_t nanosPerByte);

}  // namespace velmora::serial
