#include "serial/received_bytes.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace velmora::serial {

namespace {

// One read(), a signal aside: the count, 0 when nothing waits, -1 when the device has
// gone.
long ReadOnce(int fd, unsigned char* to, std::uint32_t count) {
    for (;;) {
        const ssize_t n = read(fd, to, count);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN ? 0 : -1;
    }
}

}  // namespace

ReceivedBytes::Arrival ReceivedBytes::ReadAhead(int fd) {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_ + unfinished_);
        end_ -= begin_;
        begin_ = 0;
    }
    const std::uint32_t from = end_ + unfinished_;
    if (from == kSize) return Arrival::kNone;
    const long n = ReadOnce(fd, buffer_.data() + from, kSize - from);
    if (n < 0) return Arrival::kGone;
    if (n == 0) return Arrival::kNone;
    const std::size_t raw = unfinished_ + static_cast<std::size_t>(n);
    if (!marked_) {
        end_ += static_cast<std::uint32_t>(raw);
        return Arrival::kSome;
    }
    std::size_t unfinished = 0;
    end_ += static_cast<std::uint32_t>(marks_.Unmark(buffer_.data() + end_, raw, &unfinished));
    unfinished_ = static_cast<std::uint32_t>(unfinished);
    return Arrival::kSome;
}

ReceivedBytes::Arrival ReceivedBytes::Receive(int fd, unsigned char* to, std::uint32_t count,
                                              std::uint32_t* delivered) {
    *delivered = Take(to, count);
    if (*delivered == count) return Arrival::kSome;
    if (!marked_) {
        const long n = ReadOnce(fd, to + *delivered, count - *delivered);
        if (n < 0) return Arrival::kGone;
        *delivered += static_cast<std::uint32_t>(n);
        return n > 0 ? Arrival::kSome : Arrival::kNone;
    }
    const Arrival arrival = ReadAhead(fd);
    *delivered += Take(to + *delivered, count - *delivered);
    return arrival;
}

std::uint32_t ReceivedBytes::Take(unsigned char* to, std::uint32_t count) {
    const std::uint32_t n = std::min(count, end_ - begin_);
    std::memcpy(to, buffer_.data() + begin_, n);
    begin_ += n;
    return n;
}

void ReceivedBytes::Clear() {
    begin_ = end_ = unfinished_ = 0;
    marks_.Clear();
}

}  // namespace velmora::serial
