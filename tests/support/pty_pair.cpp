#include "tests/support/pty_pair.h"

#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace velmora::testing {

PtyPair::PtyPair() {
    if (!pair_.ok()) throw std::runtime_error("no pseudo-terminal available");
}

PtyPair::~PtyPair() {
    Unplug();
}

void PtyPair::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(device(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{device(), POLLOUT, 0};
            if (poll(&p, 1, 2000) <= 0) throw std::runtime_error("the port takes no more input");
        }
    }
}

std::string PtyPair::Receive(std::size_t count, int timeoutMs) {
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
        pollfd p{device(), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        const ssize_t n = read(device(), buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string PtyPair::ReceiveAvailable() {
    return Receive(1 << 20, 0);
}

void PtyPair::Unplug() {
    pair_.Close();
}

}  // namespace velmora::testing
