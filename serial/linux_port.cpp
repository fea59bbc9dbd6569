#include "serial/linux_port.h"

#include <poll.h>
#include <time.h>

#include <algorithm>

namespace velmora::serial {

PortTable portTable;

// Milliseconds on a monotonic clock.
std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A deadline `ms` from now, or kForever. Computed only when a transfer must wait.
std::int64_t DeadlineAfter(std::uint64_t ms) {
    return ms == 0 ? kForever : NowMs() + static_cast<std::int64_t>(std::min(ms, kLongestMs));
}

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

}  // namespace velmora::serial
