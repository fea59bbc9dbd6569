// Hands data to a device server no faster than its line sends it. The line is modelled
// as busy until a point in time; a byte books the line for its time, and bookings may
// run ahead of the present by the lead: at least kLeadBytes, or 50 ms of the line if
// that is more. So what a write counts as sent is never more than that lead ahead of
// what the line can have sent, and a server that takes bytes as its line sends them
// never starves. Pure: the clock is passed in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/deadline.h"

namespace velmora::serial::network {

class LinePacer {
  public:
    static constexpr std::int64_t kLeadBytes = 64;
    static constexpr std::int64_t kLeadNanos = 50'000'000;

    // 0: nothing to pace (a plain stream, or a line whose rate is not known).
    void SetNanosPerByte(std::int64_t nanos) {
        nanosPerByte_ = nanos > 0 ? nanos : 0;
        lead_ = nanosPerByte_ * kLeadBytes > kLeadNanos ? nanosPerByte_ * kLeadBytes : kLeadNanos;
    }
    bool paced() const { return nanosPerByte_ != 0; }
    std::int64_t leadBytes() const { return paced() ? lead_ / nanosPerByte_ : 0; }

    // How many bytes may go at `now`, at most `wanted`.
    std::size_t Allowed(Micros now, std::size_t wanted) const {
        if (!paced()) return wanted;
        const std::int64_t t = now * 1000;
        const std::int64_t free = busyUntil_ > t ? busyUntil_ : t;
        const std::int64_t room = (t + lead_ - free) / nanosPerByte_;
        if (room <= 0) return 0;
        return static_cast<std::uint64_t>(room) < wanted ? static_cast<std::size_t>(room) : wanted;
    }

    void Spent(Micros now, std::size_t bytes) {
        if (!paced()) return;
        const std::int64_t t = now * 1000;
        busyUntil_ =
            (busyUntil_ > t ? busyUntil_ : t) + static_cast<std::int64_t>(bytes) * nanosPerByte_;
    }

    // When `wanted` bytes may go (or as many as the lead holds, if fewer).
    Micros When(Micros now, std::size_t wanted) const {
        if (!paced()) return now;
        std::int64_t bytes = lead_ / nanosPerByte_;
        if (static_cast<std::uint64_t>(bytes) > wanted) bytes = static_cast<std::int64_t>(wanted);
        const std::int64_t at = busyUntil_ + bytes * nanosPerByte_ - lead_;
        const Micros micros = (at + 999) / 1000;
        return micros > now ? micros : now;
    }

  private:
    std::int64_t nanosPerByte_ = 0;
    std::int64_t lead_ = kLeadNanos;
    std::int64_t busyUntil_ = 0;  // nanoseconds on the caller's clock
};

}  // namespace velmora::serial::network
