#include "tests/support/device_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace velmora::testing {

namespace {

constexpr std::uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kDo = 253,
                       kDont = 254, kComPort = 44;

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (const int b : bytes) s += static_cast<char>(b);
    return s;
}

std::string Escaped(const std::string& data) {
    std::string wire;
    for (const char c : data) {
        wire += c;
        if (static_cast<std::uint8_t>(c) == kIac) wire += c;
    }
    return wire;
}

}  // namespace

DeviceServer::DeviceServer(Kind kind) : DeviceServer(kind, Behaviour()) {}

DeviceServer::DeviceServer(Kind kind, const Behaviour& behaviour)
    : kind_(kind), behaviour_(behaviour) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("the stand-in server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

DeviceServer::~DeviceServer() {
    stop_ = true;
    const char wake = 0;
    (void)!write(wake_[1], &wake, 1);
    thread_.join();
    CloseClient();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

std::string DeviceServer::Name() const {
    return std::string(kind_ == Kind::kRfc2217 ? "rfc2217" : "socket") +
           "://127.0.0.1:" + std::to_string(port_);
}

void DeviceServer::Set(const Behaviour& behaviour) {
    std::lock_guard<std::mutex> guard(mutex_);
    behaviour_ = behaviour;
}

void DeviceServer::SendData(const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    Queue(kind_ == Kind::kRfc2217 ? Escaped(bytes) : bytes, 0);
}

void DeviceServer::SendWire(const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    Queue(bytes, 0);
}

void DeviceServer::SendCommand(int serverCommand, const std::vector<std::uint8_t>& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string wire = Bytes({kIac, kSb, kComPort, serverCommand});
    wire += Escaped(std::string(value.begin(), value.end()));
    wire += Bytes({kIac, kSe});
    Queue(wire, 0);
}

void DeviceServer::SendUrgentDataMark() {
    std::lock_guard<std::mutex> guard(mutex_);
    FlushDue();  // what was queued goes first
    const char iac = static_cast<char>(kIac), dm = static_cast<char>(242);
    if (client_ < 0) return;
    send(client_, &iac, 1, MSG_NOSIGNAL);
    send(client_, &dm, 1, MSG_NOSIGNAL | MSG_OOB);
}

void DeviceServer::Drop() {
    std::lock_guard<std::mutex> guard(mutex_);
    CloseClient();
}

std::string DeviceServer::Received(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return received_.size() >= count; });
    return received_;
}

std::string DeviceServer::ReceivedSoFar() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

std::vector<std::pair<int, std::vector<std::uint8_t>>> DeviceServer::Commands() {
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
}

int DeviceServer::CountCommands(int command) {
    int n = 0;
    for (const auto& c : Commands()) n += c.first == command;
    return n;
}

DeviceServer::Line DeviceServer::line() {
    std::lock_guard<std::mutex> guard(mutex_);
    return line_;
}

int DeviceServer::connections() {
    std::lock_guard<std::mutex> guard(mutex_);
    return connections_;
}

// Called with the lock held.
void DeviceServer::Queue(const std::string& wire, int delayMs) {
    pending_.emplace(NowMs() + delayMs, wire);
    const char wake = 0;
    (void)!write(wake_[1], &wake, 1);
}

void DeviceServer::CloseClient() {
    if (client_ >= 0) close(client_);
    client_ = -1;
    pending_.clear();
    unsent_.clear();
    state_ = 0;
}

void DeviceServer::Run() {
    while (!stop_) {
        pollfd fds[3] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {-1, 0, 0}};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (client_ >= 0) {
                short events = 0;
                if (behaviour_.reading && !behaviour_.silent) events |= POLLIN;
                if (!unsent_.empty() || behaviour_.flood) events |= POLLOUT;
                fds[2] = {client_, events, 0};
            }
        }
        poll(fds, 3, 10);
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) Accept();
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) ReadClient();
        std::lock_guard<std::mutex> guard(mutex_);
        FlushDue();
    }
}

void DeviceServer::Accept() {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::lock_guard<std::mutex> guard(mutex_);
    ++connections_;
    // A client that has just gone may not have been seen going yet.
    char peek = 0;
    if (client_ >= 0 && recv(client_, &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0) CloseClient();
    if (client_ >= 0 && behaviour_.maxClients <= 1) {
        const std::string busy = "busy\r\n";
        (void)!write(fd, busy.data(), busy.size());
        close(fd);
        return;
    }
    if (client_ >= 0) CloseClient();  // a second client allowed: the first one goes
    client_ = fd;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    dataReceived_ = 0;
    if (kind_ != Kind::kRfc2217 || behaviour_.silent) return;
    Queue(Bytes({kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3, kIac,
                 behaviour_.refuseComPort ? kDont : kDo, kComPort}),
          0);
    if (behaviour_.modemAtConnect >= 0 && !behaviour_.refuseComPort) {
        Queue(Bytes({kIac, kSb, kComPort, 107, behaviour_.modemAtConnect, kIac, kSe}), 0);
    }
}

void DeviceServer::ReadClient() {
    std::uint8_t buffer[16384];
    std::lock_guard<std::mutex> guard(mutex_);
    if (client_ < 0) return;
    const ssize_t n = read(client_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || errno != EAGAIN) CloseClient();
        return;
    }
    Take(buffer, static_cast<std::size_t>(n));
    changed_.notify_all();
}

// Called with the lock held: the client's bytes through a Telnet parser of the test's own.
void DeviceServer::Take(const std::uint8_t* bytes, std::size_t n) {
    enum { kData, kAfterIac, kVerb, kInSb, kSbIac };
    for (std::size_t i = 0; i < n && client_ >= 0; ++i) {
        const std::uint8_t b = bytes[i];
        if (kind_ == Kind::kSocket) state_ = kData;
        const auto data = [&](std::uint8_t d) {
            received_ += static_cast<char>(d);
            if (behaviour_.echo) {
                const std::string one(1, static_cast<char>(d));
                Queue(kind_ == Kind::kRfc2217 ? Escaped(one) : one, 0);
            }
            if (behaviour_.dropAfter >= 0 && ++dataReceived_ >= behaviour_.dropAfter) CloseClient();
        };
        switch (state_) {
            case kData:
                if (kind_ == Kind::kRfc2217 && b == kIac) {
                    state_ = kAfterIac;
                } else {
                    data(b);
                }
                break;
            case kAfterIac:
                if (b == kIac) {
                    state_ = kData;
                    data(b);
                } else if (b >= kWill && b <= kDont) {
                    state_ = kVerb;
                } else if (b == kSb) {
                    sb_.clear();
                    state_ = kInSb;
                } else {
                    state_ = kData;
                }
                break;
            case kVerb:
                state_ = kData;
                break;
            case kInSb:
                if (b == kIac) {
                    state_ = kSbIac;
                } else {
                    sb_.push_back(b);
                }
                break;
            case kSbIac:
                if (b == kIac) {
                    sb_.push_back(b);
                    state_ = kInSb;
                } else {
                    state_ = kData;
                    OnCommand(sb_);
                }
                break;
        }
    }
}

// Called with the lock held: one COM-PORT-OPTION command, answered as asked.
void DeviceServer::OnCommand(const std::vector<std::uint8_t>& payload) {
    if (payload.size() < 2 || payload[0] != kComPort || behaviour_.refuseComPort) return;
    const int command = payload[1];
    const std::vector<std::uint8_t> value(payload.begin() + 2, payload.end());
    commands_.emplace_back(command, value);
    if (behaviour_.unanswered.count(command) != 0) return;
    const int v = value.empty() ? 0 : value[0];
    auto reply = [&](int answer) { Reply(100 + command, {static_cast<std::uint8_t>(answer)}); };
    switch (command) {
        case 0:
            Reply(100, {'s', 't', 'a', 'n', 'd', '-', 'i', 'n'});
            return;
        case 1: {
            if (value.size() < 4) return;
            const std::uint32_t baud =
                (std::uint32_t{value[0]} << 24) | (value[1] << 16) | (value[2] << 8) | value[3];
            if (baud != 0 && behaviour_.refusedBauds.count(baud) == 0) line_.baud = baud;
            const std::uint32_t b = line_.baud;
            Reply(101, {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                        static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)});
            return;
        }
        case 2:
            if (v >= 5 && v <= 8) line_.dataSize = v;
            reply(line_.dataSize);
            return;
        case 3:
            if (v >= 1 && v <= 5) line_.parity = v;
            reply(line_.parity);
            return;
        case 4:
            if (v >= 1 && v <= 3) line_.stopSize = v;
            reply(line_.stopSize);
            return;
        case 5: {
            if (behaviour_.unansweredControls.count(v) != 0) return;
            int* field = v <= 3    ? &line_.flow
                         : v <= 6  ? &line_.brk
                         : v <= 9  ? &line_.dtr
                         : v <= 12 ? &line_.rts
                                   : nullptr;
            if (field == nullptr) return;
            const bool ask = v == 0 || v == 4 || v == 7 || v == 10;
            if (!ask) *field = v;
            reply(*field);
            return;
        }
        case 10:
        case 11:
        case 12:
            reply(v);
            return;
        default:
            return;
    }
}

void DeviceServer::Reply(int serverCommand, const std::vector<std::uint8_t>& value) {
    std::string wire = Bytes({kIac, kSb, kComPort, serverCommand});
    wire += Escaped(std::string(value.begin(), value.end()));
    wire += Bytes({kIac, kSe});
    Queue(wire, behaviour_.answerDelayMs);
}

// Called with the lock held.
void DeviceServer::FlushDue() {
    const long long now = NowMs();
    while (!pending_.empty() && pending_.begin()->first <= now) {
        unsent_ += pending_.begin()->second;
        pending_.erase(pending_.begin());
    }
    if (client_ < 0) return;
    // A flood fills whatever the system takes, every time it can.
    do {
        if (behaviour_.flood && unsent_.size() < 65536) unsent_.append(65536, 'f');
        if (unsent_.empty()) return;
        const ssize_t n = send(client_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        unsent_.erase(0, static_cast<std::size_t>(n));
    } while (behaviour_.flood);
}

}  // namespace velmora::testing
