#include "bench/net_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/rig.h"

namespace velmora::bench {

namespace {

constexpr unsigned char kIac = 255, kSb = 250, kSe = 240, kDo = 253, kWill = 251;

bool SendAll(int fd, const unsigned char* data, std::size_t size) {
    return RawWriteAll(fd, reinterpret_cast<const char*>(data), size);
}

// Answers every COM-PORT-OPTION command in `bytes` with its value; data is dropped.
// Enough of Telnet for the benchmarks: commands are whole within one read here.
void Answer(int client, const unsigned char* bytes, std::size_t n, bool tellsRate) {
    for (std::size_t i = 0; i + 3 < n; ++i) {
        if (bytes[i] != kIac || bytes[i + 1] != kSb || bytes[i + 2] != 44) continue;
        std::size_t end = i + 3;
        while (end + 1 < n && !(bytes[end] == kIac && bytes[end + 1] == kSe)) ++end;
        if (end + 1 >= n) return;
        std::vector<unsigned char> reply(bytes + i, bytes + end + 2);
        reply[3] = static_cast<unsigned char>(reply[3] + 100);
        if (bytes[i + 3] == 1 && !tellsRate) continue;
        // "What is it?" (a 0) is answered with a value a line has.
        if (reply.size() == 6 && reply[4] == 0 && bytes[i + 3] >= 2 && bytes[i + 3] <= 4) {
            reply[4] = bytes[i + 3] == 2 ? 8 : 1;
        }
        if (bytes[i + 3] == 1 && reply.size() == 10 && reply[4] == 0 && reply[5] == 0 &&
            reply[6] == 0 && reply[7] == 0) {
            reply[6] = 0x25, reply[7] = 0x80;  // 9600
        }
        if (bytes[i + 3] == 5 && reply.size() == 7) {
            static constexpr unsigned char kState[] = {1, 1, 2, 3, 6, 5, 6, 8, 8, 9, 11, 11, 12};
            if (reply[4] < sizeof kState) reply[4] = kState[reply[4]];
        }
        SendAll(client, reply.data(), reply.size());
        i = end + 1;
    }
}

}  // namespace

LoopbackServer::LoopbackServer(Mode mode, bool telnet, bool tellsRate)
    : mode_(mode), telnet_(telnet), tellsRate_(tellsRate) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("the benchmark's server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
}

std::string LoopbackServer::Name() const {
    return std::string(telnet_ ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port_);
}

void LoopbackServer::Run() {
    PinFarEnd();
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) continue;
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Serve(client);
        close(client);
    }
}

void LoopbackServer::Serve(int client) {
    if (telnet_) {
        const unsigned char offer[] = {kIac, kWill, 0, kIac, kDo, 0, kIac, kDo, 44};
        SendAll(client, offer, sizeof offer);
    }
    std::vector<unsigned char> buffer(1 << 16);
    std::uint64_t sent = 0;
    // The port opens and is set up before the flood starts, so that no wait of the open's
    // overflows its input.
    const auto feedFrom = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (!stop_) {
        const bool feeding = mode_ == Mode::kFeed && std::chrono::steady_clock::now() > feedFrom;
        const short events = static_cast<short>(POLLIN | (feeding ? POLLOUT : 0));
        pollfd p{client, events, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (p.revents & POLLIN) {
            const ssize_t n = read(client, buffer.data(), buffer.size());
            if (n == 0 || (n < 0 && errno != EAGAIN)) return;
            if (n > 0 && telnet_) {
                Answer(client, buffer.data(), static_cast<std::size_t>(n), tellsRate_);
            }
        }
        if ((p.revents & POLLOUT) && feeding) {
            unsigned char chunk[4096];
            for (std::size_t i = 0; i < sizeof chunk; ++i) chunk[i] = SequenceByte(sent + i);
            const ssize_t n = write(client, chunk, sizeof chunk);
            if (n > 0) sent += static_cast<std::uint64_t>(n);
        }
    }
}

int ConnectRaw(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace velmora::bench
