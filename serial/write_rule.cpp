#include "serial/write_rule.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace velmora::serial {

namespace {

// Between looks at the queue: long enough to cost little, short enough that a released
// device is noticed soon.
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

Micros LineTime(std::int64_t bytes, std::int64_t nanosPerByte) {
    return bytes * nanosPerByte / 1000;
}

// How many bytes the line sends by `deadline`, or within the horizon, whichever is
// sooner. Without a deadline nothing is ever taken back, so the driver may have all it
// takes.
std::int64_t Sendable(Micros now, Deadline deadline, std::int64_t nanosPerByte) {
    if (nanosPerByte <= 0 || deadline.IsNever()) return INT64_MAX;
    const Micros horizon = std::min(kQueueHorizon, deadline.LeftAt(now));
    return std::max<std::int64_t>(kLeastQueued, horizon * 1000 / nanosPerByte);
}

// Between two looks at the queue: growing from the shortest pause while nothing else is
// known, as a driver may empty its queue far faster than the line's rate says (a USB
// adapter moves it into the chip's own buffer); but never shorter than the line needs to
// bring the queue down to `target`, for until then the line has bytes to send whatever
// the driver does with them, and a look would only cost. Never past the deadline.
class Pauses {
  public:
    Micros Next(long queued, std::int64_t nanosPerByte, Micros now, Deadline deadline,
                long target = 0) {
        Micros pause = next_;
        next_ = std::min(next_ * 2, kLongestPause);
        if (nanosPerByte > 0 && queued > target) {
            pause = std::max(pause, LineTime(queued - target, nanosPerByte));
        }
        pause = std::clamp(pause, kShortestPause, kLongestPause);
        return std::min(pause, deadline.LeftAt(now));
    }
    void Restart() { next_ = kShortestPause; }

  private:
    Micros next_ = kShortestPause;
};

// --- a pseudo-terminal ------------------------------------------------------------------

// The clock is read only once the far end has not taken everything at once.
WriteOutcome WritePassingThrough(OutputDevice& device, const unsigned char* bytes,
                                 std::uint32_t count, std::uint64_t timeoutMs) {
    std::uint32_t written = 0;
    Deadline deadline = Deadline::Never();
    for (bool first = true;; first = false) {
        const long took = device.Write(bytes + written, count - written);
        if (took < 0) return {written, false};
        written += static_cast<std::uint32_t>(took);
        if (written == count) return {count, true};
        if (first) deadline = Deadline::AfterMs(device.Now(), timeoutMs);
        const Wait w = device.AwaitRoom(deadline);
        if (w == Wait::kTimedOut) return {written, true};  // a time-out ends it with its count
        if (w == Wait::kGone) return {written, false};
    }
}

// --- a UART ------------------------------------------------------------------------------

// How many more bytes the queue may take now. In the last half of the horizon before the
// deadline only an empty queue is topped up: a UART that moves its queue by DMA sends it a
// transfer at a time, and counts a transfer that the drop at the deadline cuts short as
// not sent (8250) or as sent (pl011), so the transfer in flight then is kept small.
std::uint32_t Room(Micros now, Deadline deadline, std::int64_t nanosPerByte, long queued) {
    if (queued > 0 && !deadline.IsNever() && deadline.LeftAt(now) < kQueueHorizon / 2) return 0;
    const std::int64_t sendable = Sendable(now, deadline, nanosPerByte);
    if (sendable <= queued) return 0;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(sendable - queued, UINT32_MAX));
}

// While bytes are left to write, the queue is topped up once the line has sent half of
// what it may hold, so that it is neither left to run dry nor topped up byte by byte.
long RefillLevel(Micros now, Deadline deadline, std::int64_t nanosPerByte) {
    const std::int64_t sendable = Sendable(now, deadline, nanosPerByte);
    return sendable == INT64_MAX ? 0 : static_cast<long>(sendable / 2);
}

// At the deadline: the rest is dropped, and what left is counted. A transmit counter read
// at the start tells that exactly, however late the drop comes; the queue's count, read
// before the drop, misses the bytes the transmitter loads in between (up to a FIFO's
// worth), so it serves only where there is no counter, or where the counter does not move
// with the bytes.
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
                             Deadline deadline, std::int64_t nanosPerByte) {
    // Only a write that may end by dropping bytes needs to know what the transmitter
    // loaded.
    const std::int64_t transmittedBefore = deadline.IsNever() ? -1 : device.Transmitted();
    std::uint32_t written = 0;
    // Every write ends with the queue empty or taken back, so the next starts on an
    // empty one and need not ask.
    long queued = 0;
    Pauses pauses;
    for (;;) {
        Micros now = device.Now();
        if (deadline.PassedAt(now)) break;
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
                        if (device.AwaitRoom(deadline) == Wait::kGone) {
                            return {Sent(written, queued), false};
                        }
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
        if (deadline.PassedAt(now)) break;
        const long target = written < count ? RefillLevel(now, deadline, nanosPerByte) : 0;
        device.Sleep(pauses.Next(q, nanosPerByte, now, deadline, target));
    }
    return TakeBackTheRest(device, written, queued, transmittedBefore);
}

// --- a USB adapter -----------------------------------------------------------------------

// A device gone in the middle: every piece the driver took is counted, for it may have
// reached the line before the end, but never more than the line could have carried since
// the first of them could start. Until the kernel notices an unplug (behind a hub, up to
// about a quarter of a second) the driver takes bytes and fails them, and its queue reads
// empty: the line's rate is the one limit left that holds.
WriteOutcome Gone(std::uint32_t written, Micros lineStart, Micros now, std::int64_t nanosPerByte) {
    if (nanosPerByte <= 0 || lineStart < 0) return {written, false};
    const std::int64_t carried = std::max<Micros>(0, now - lineStart) * 1000 / nanosPerByte;
    return {static_cast<std::uint32_t>(std::min<std::int64_t>(written, carried)), false};
}

// The next piece is handed over once less than half a piece is left both in the driver's
// queue and ahead of the line by its rate: the queue alone reads empty as soon as the
// chip has taken a transfer, so it would let the chip's own buffer fill while the line
// runs. The queue's count may take in bytes of an earlier write (counted by it), and on
// cdc-acm counts whole write buffers, not bytes: of this write's own bytes the driver
// holds no more than it was given since a look found it empty, nor more than the count.
WriteOutcome WriteInPieces(OutputDevice& device, LinePace& pace, const unsigned char* bytes,
                           std::uint32_t count, Deadline deadline, std::int64_t nanosPerByte) {
    const std::uint32_t piece = PieceSize(nanosPerByte);
    const long refillBelow = std::max(1L, static_cast<long>(piece / 2));
    std::uint32_t written = 0;
    long held = 0;          // this write's bytes the driver may still hold
    Micros lineStart = -1;  // when the line could start on this write's first byte
    Pauses pauses;
    for (;;) {
        const long q = device.Queued();
        const Micros now = device.Now();
        if (q < 0) return Gone(written, lineStart, now, nanosPerByte);
        held = std::min(held, q);
        if (q == 0 && written == count) return {count, true};
        // What the driver holds cannot be taken back and will go out: it is counted.
        if (deadline.PassedAt(now)) return {written, true};
        long queued = q;
        std::int64_t lead = pace.Lead(now, nanosPerByte);
        if (written < count && queued < refillBelow && lead < refillBelow) {
            const auto offer = std::min(count - written, piece - static_cast<std::uint32_t>(held));
            const long took = device.Write(bytes + written, offer);
            if (took < 0) return Gone(written, lineStart, device.Now(), nanosPerByte);
            if (took > 0) {
                if (lineStart < 0) lineStart = pace.FreeFrom(now);
                pace.Handed(now, static_cast<std::uint32_t>(took), nanosPerByte);
                written += static_cast<std::uint32_t>(took);
                held += took;
                pauses.Restart();
                // Without a rate only the queue tells, and a fast device may have taken
                // the piece by the next look; with one, the next piece is due no sooner
                // than the pace allows.
                if (nanosPerByte <= 0) continue;
                queued += took;
                lead = pace.Lead(now, nanosPerByte);
            }
        }
        Micros pause;
        if (written < count && lead >= refillBelow) {
            // The pace holds the next piece back: wait until it lets it go, and look
            // at least once a piece's time, so that a device gone is noticed soon.
            const Micros due = pace.FreeFrom(now) - LineTime(refillBelow - 1, nanosPerByte);
            pause = std::clamp(due - now, kShortestPause, kQueueHorizon);
            pause = std::min(pause, deadline.LeftAt(now));
        } else {
            pause =
                pauses.Next(queued, nanosPerByte, now, deadline, written < count ? refillBelow : 0);
        }
        device.Sleep(pause);
    }
}

}  // namespace

std::uint32_t PieceSize(std::int64_t nanosPerByte) {
    if (nanosPerByte <= 0) return kLargestPiece;
    const std::int64_t sendable = kQueueHorizon * 1000 / nanosPerByte;
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(sendable, kLeastQueued, kLargestPiece));
}

WriteOutcome WriteThroughDriver(OutputDevice& device, OutputRule rule, LinePace& pace,
                                const unsigned char* bytes, std::uint32_t count,
                                std::uint64_t timeoutMs, std::int64_t nanosPerByte) {
    if (rule == OutputRule::kPassesThrough) {
        return WritePassingThrough(device, bytes, count, timeoutMs);
    }
    const Deadline deadline = Deadline::AfterMs(device.Now(), timeoutMs);
    if (rule == OutputRule::kTakesBack) {
        return WriteTakingBack(device, bytes, count, deadline, nanosPerByte);
    }
    return WriteInPieces(device, pace, bytes, count, deadline, nanosPerByte);
}

Drain AwaitEmptyQueue(OutputDevice& device, Deadline deadline, std::int64_t nanosPerByte) {
    Pauses pauses;
    for (;;) {
        const long q = device.Queued();
        if (q < 0) return Drain::kFailed;
        if (q == 0) return Drain::kEmpty;
        const Micros now = device.Now();
        if (deadline.PassedAt(now)) return Drain::kTimedOut;
        device.Sleep(pauses.Next(q, nanosPerByte, now, deadline));
    }
}

}  // namespace velmora::serial
