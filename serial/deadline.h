// Time in the serial layer: microseconds on a monotonic clock, and the one deadline type
// every wait of the layer takes. The clock is passed in wherever a decision depends on it,
// so that the rules can be tried on a model's clock as well as on the real one.
#pragma once

#include <algorithm>
#include <cstdint>

namespace velmora::serial {

using Micros = std::int64_t;

// The system's monotonic clock (serial/clock_*.cpp, one per platform: the C++ library's
// clocks are code of its runtime, which the module does not link).
Micros MonotonicMicros();

// A 32-bit time-out multiplier times a 32-bit count reaches 2^64 ms. Longer waits are cut
// to 2^40 ms (35 years), which is no limit in practice and leaves room for the clock.
inline constexpr std::uint64_t kLongestMs = std::uint64_t{1} << 40;

class Deadline {
  public:
    // No limit: what a Win32 time-out of 0 means.
    static constexpr Deadline Never() { return Deadline(kNever); }
    static constexpr Deadline At(Micros at) { return Deadline(at); }
    static Deadline After(Micros now, Micros duration) { return Deadline(now + duration); }
    // `ms` after `now`, cut to kLongestMs; 0 is no limit, as in COMMTIMEOUTS.
    static Deadline AfterMs(Micros now, std::uint64_t ms) {
        if (ms == 0) return Never();
        return Deadline(now + static_cast<Micros>(std::min(ms, kLongestMs)) * 1000);
    }

    constexpr bool IsNever() const { return at_ == kNever; }
    constexpr Micros at() const { return at_; }
    constexpr bool PassedAt(Micros now) const { return !IsNever() && now >= at_; }
    // What is left at `now`: 0 once passed, kNever when there is no limit.
    constexpr Micros LeftAt(Micros now) const {
        return IsNever() ? kNever : std::max<Micros>(0, at_ - now);
    }
    // The earlier of the two.
    constexpr Deadline Or(Deadline other) const {
        if (IsNever()) return other;
        if (other.IsNever()) return *this;
        return Deadline(std::min(at_, other.at_));
    }
    // A poll() time-out in milliseconds for what is left at `now`: -1 without a limit,
    // rounded up so that a wait never ends just before the deadline.
    constexpr int PollMsAt(Micros now) const {
        if (IsNever()) return -1;
        const Micros left = LeftAt(now);
        return static_cast<int>(std::min<Micros>((left + 999) / 1000, 0x7FFFFFFF));
    }

    friend constexpr bool operator==(Deadline a, Deadline b) { return a.at_ == b.at_; }
    friend constexpr bool operator!=(Deadline a, Deadline b) { return a.at_ != b.at_; }

  private:
    static constexpr Micros kNever = INT64_MAX;
    constexpr explicit Deadline(Micros at) : at_(at) {}
    Micros at_;
};

// How a wait until a deadline ended.
enum class Wait { kReady, kTimedOut, kGone };

}  // namespace velmora::serial
