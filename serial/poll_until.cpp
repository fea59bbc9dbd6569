#include "serial/poll_until.h"

#include <errno.h>
#include <poll.h>

namespace velmora::serial {

Wait PollUntil(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, deadline.PollMsAt(MonotonicMicros()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::kGone;
        if (n == 0) {
            // poll() may wake a little early; only the clock says the deadline passed.
            if (deadline.PassedAt(MonotonicMicros())) return Wait::kTimedOut;
            continue;
        }
        if (p.revents & events) return Wait::kReady;
        return Wait::kGone;  // POLLHUP, POLLERR or POLLNVAL without data
    }
}

}  // namespace velmora::serial
