#include "serial/output_queue.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace velmora::serial {

namespace {

// However close the deadline, a write may still queue a FIFO's worth, so that its
// last moments are not wasted.
constexpr std::int64_t kLeastQueued = 16;
// Between looks at the queue: long enough to cost little, short enough that a
// released device is noticed soon.
constexpr Micros kShortestPause = 200;
constexpr Micros kLongestPause = 20'000;
// A driver that sends as fast as it is given (a UART model without a line rate) can take
// megabytes in one write(); a device that goes away during it would leave no telling
// how many had left. Pieces this large keep that uncertainty small.
constexpr std::uint32_t kLargestWrite = 64 * 1024;

std::uint32_t Sent(std::uint32_t written, long queued) {
    const auto stillQueued = static_cast<std::uint32_t>(std::max(0L, queued));
    return written - std::min(written, stillQueued);
}

// How many more bytes the queue may take now. Without a deadline nothing is ever
// taken back, so the driver may have all it takes.
std::int64_t Sendable(Micros now, Micros deadline, std::int64_t nanosPerByte) {
    if (nanosPerByte <= 0 || deadline == kNoDeadline) return INT64_MAX;
    const Micros horizon = std::min(kQueueHorizon, deadline - now);
    return std::max(kLeastQueued, horizon * 1000 / nanosPerByte);
}

std::uint32_t Room(Micros now, Micros deadline, std::int64_t nanosPerByte, long queued) {
    const std::int64_t sendable = Sendable(now, deadline, nanosPerByte);
    if (sendable <= queued) return 0;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(sendable - queued, UINT32_MAX));
}

// While bytes are left to write, the queue is topped up once the line has sent half of
// what it may hold, so that it is neither left to run dry nor topped up byte by byte.
long RefillLevel(Micros now, Micros deadline, std::int64_t nanosPerByte) {
    const std::int64_t sendable = Sendable(now, deadline, nanosPerByte);
    return sendable == INT64_MAX ? 0 : static_cast<long>(sendable / 2);
}

// Between two looks at the queue: growing from the shortest pause while nothing else is
// known, as a driver may empty its queue far faster than the line's rate says (a USB
// adapter moves it into the chip's own buffer); but never shorter than the line needs to
// bring the queue down to `target`, for until then the line has bytes to send whatever
// the driver does with them, and a look would only cost. Never past the deadline.
class Pauses {
  public:
    Micros Next(long queued, std::int64_t nanosPerByte, Micros now, Micros deadline,
                long target = 0) {
        Micros pause = next_;
        next_ = std::min(next_ * 2, kLongestPause);
        if (nanosPerByte > 0 && queued > target) {
            pause = std::max(pause, (queued - target) * nanosPerByte / 1000);
        }
        pause = std::clamp(pause, kShortestPause, kLongestPause);
        if (deadline != kNoDeadline) pause = std::min(pause, deadline - now);
        return pause;
    }
    void Restart() { next_ = kShortestPause; }

  private:
    Micros next_ = kShortestPause;
};

bool Passed(Micros deadline, Micros now) {
    return deadline != kNoDeadline && now >= deadline;
}

// At the deadline on a driver that takes bytes back: the rest is dropped, and what left
// is counted. A transmit counter read at the start tells that exactly, however late the
// drop comes; the queue's count, read before the drop, misses the bytes the transmitter
// loads in between (up to a FIFO's worth), so it serves only where there is no counter,
// or where the counter does not move with the bytes.
WriteOutcome TakeBackTheRest(OutputDevice& device, std::uint32_t written, long queued,
                             std::int64_t transmittedBefore) {
    const long q = device.Queued();
    if (q < 0) return {Sent(written, queued), false};
    if (q == 0) return {written, true};
    device.Discard();
    std::uint32_t sent = Sent(written, q);
    if (transmittedBefore >= 0) {
        const std::int64_t after = device.Transmitted();
        // The counter is 32 bits wide, and wraps.
        const auto loaded = static_cast<std::uint32_t>(after - transmittedBefore);
        if (after >= 0) sent = std::max(sent, std::min(written, loaded));
    }
    return {sent, true};
}

WriteOutcome WriteTakingBack(OutputDevice& device, const unsigned char* bytes, std::uint32_t count,
                             Micros deadline, std::int64_t nanosPerByte) {
    // Only a write that may end by dropping bytes needs to know what the transmitter
    // loaded.
    const std::int64_t transmittedBefore = deadline == kNoDeadline ? -1 : device.Transmitted();
    std::uint32_t written = 0;
    // Every write ends with the queue empty or taken back, so the next starts on an
    // empty one and need not ask.
    long queued = 0;
    Pauses pauses;
    for (;;) {
        Micros now = device.Now();
        if (Passed(deadline, now)) break;
        if (written < count) {
            const std::uint32_t offer = std::min(
                {count - written, Room(now, deadline, nanosPerByte, queued), kLargestWrite});
            if (offer > 0) {
                const long took = device.Write(bytes + written, offer);
                if (took < 0) return {Sent(written, queued), false};
                written += static_cast<std::uint32_t>(took);
                queued += took;
                pauses.Restart();
                if (written < count) {
                    // Asked after each piece, so that a device that goes away in the
                    // middle still has what left before counted.
                    const long q = device.Queued();
                    if (q < 0) return {Sent(written, queued), false};
                    queued = q;
                    if (static_cast<std::uint32_t>(took) < offer) {  // the driver is full
                        const OutputDevice::Wait w = device.AwaitRoom(deadline);
                        if (w == OutputDevice::Wait::kGone) return {Sent(written, queued), false};
                    }
                    continue;
                }
            }
        }
        const long q = device.Queued();
        if (q < 0) return {Sent(written, queued), false};
        queued = q;
        if (q == 0 && written == count) return {count, true};
        now = device.Now();
        if (written < count && Room(now, deadline, nanosPerByte, queued) > 0) continue;
        if (Passed(deadline, now)) break;
        const long target = written < count ? RefillLevel(now, deadline, nanosPerByte) : 0;
        device.Sleep(pauses.Next(q, nanosPerByte, now, deadline, target));
    }
    return TakeBackTheRest(device, written, queued, transmittedBefore);
}

// A driver that keeps what it is given gets the next piece once less than half a piece
// is left of what it holds, so the line does not wait between pieces, and the driver
// never holds much more than a piece: what it holds is counted before the line has
// sent it, and lost if the device goes away. The queue's count may take in bytes of an
// earlier write (counted by it), and on cdc-acm counts whole write buffers, not bytes:
// of this write's own bytes the driver holds no more than it was given since a look
// found it empty, nor more than the count.
WriteOutcome WriteInPieces(OutputDevice& device, const unsigned char* bytes, std::uint32_t count,
                           Micros deadline, std::int64_t nanosPerByte) {
    const std::uint32_t piece = PieceSize(nanosPerByte);
    const long refillBelow = std::max(1L, static_cast<long>(piece / 2));
    std::uint32_t written = 0;
    long held = 0;  // this write's bytes the driver may still hold
    Pauses pauses;
    for (;;) {
        const long q = device.Queued();
        // Gone: what the driver held at the last look may or may not have left.
        if (q < 0) return {Sent(written, held), false};
        held = std::min(held, q);
        if (q == 0 && written == count) return {count, true};
        const Micros now = device.Now();
        // What the driver holds cannot be taken back and will go out: it is counted.
        if (Passed(deadline, now)) return {written, true};
        if (written < count && q < refillBelow) {
            const auto offer = std::min(count - written, piece - static_cast<std::uint32_t>(held));
            const long took = device.Write(bytes + written, offer);
            if (took < 0) return {Sent(written, held), false};
            written += static_cast<std::uint32_t>(took);
            held += took;
            if (took > 0) {
                // A fast device may have taken the piece by the next look.
                pauses.Restart();
                continue;
            }
        }
        const long target = written < count ? refillBelow : 0;
        device.Sleep(pauses.Next(q, nanosPerByte, now, deadline, target));
    }
}

}  // namespace

std::uint32_t PieceSize(std::int64_t nanosPerByte) {
    if (nanosPerByte <= 0) return kLargestPiece;
    const std::int64_t sendable = kQueueHorizon * 1000 / nanosPerByte;
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(sendable, kLeastQueued, kLargestPiece));
}

WriteOutcome WriteThroughQueue(OutputDevice& device, QueueKind kind, const unsigned char* bytes,
                               std::uint32_t count, Micros deadline, std::int64_t nanosPerByte) {
    return kind == QueueKind::kTakesBack
               ? WriteTakingBack(device, bytes, count, deadline, nanosPerByte)
               : WriteInPieces(device, bytes, count, deadline, nanosPerByte);
}

Drain AwaitEmptyQueue(OutputDevice& device, Micros deadline, std::int64_t nanosPerByte) {
    Pauses pauses;
    for (;;) {
        const long q = device.Queued();
        if (q < 0) return Drain::kFailed;
        if (q == 0) return Drain::kEmpty;
        const Micros now = device.Now();
        if (Passed(deadline, now)) return Drain::kTimedOut;
        device.Sleep(pauses.Next(q, nanosPerByte, now, deadline));
    }
}

}  // namespace velmora::serial
