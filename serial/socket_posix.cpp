// Sockets on Linux (BSD sockets). A host name is looked up with getaddrinfo_a: the C
// library's own thread does the lookup, so a resolver that hangs is given up at the
// deadline and no code of the module runs after that.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "serial/socket.h"

namespace velmora::serial::network {

namespace {

// A lookup, in one block: the request, its hints and the texts it points at.
struct Lookup {
    gaicb request;
    addrinfo hints;
    char host[256];
    char service[8];
};

void Free(Lookup* lookup) {
    if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
    free(lookup);
}

// Lookups given up at their deadline: the C library still owns them until they end.
// Freed by a later lookup once they have; the few a process could leave at its end are
// the system's to take back.
constexpr int kAbandonedMax = 16;
Lookup* abandoned[kAbandonedMax] = {};
pthread_mutex_t abandonedLock = PTHREAD_MUTEX_INITIALIZER;

void FreeEndedLookups() {
    pthread_mutex_lock(&abandonedLock);
    for (Lookup*& lookup : abandoned) {
        if (lookup != nullptr && gai_error(&lookup->request) != EAI_INPROGRESS) {
            Free(lookup);
            lookup = nullptr;
        }
    }
    pthread_mutex_unlock(&abandonedLock);
}

void Abandon(Lookup* lookup) {
    pthread_mutex_lock(&abandonedLock);
    for (Lookup*& slot : abandoned) {
        if (slot == nullptr) {
            slot = lookup;
            lookup = nullptr;
            break;
        }
    }
    pthread_mutex_unlock(&abandonedLock);
    // With every slot taken, the block stays the library's for good: a few hundred
    // bytes, after sixteen lookups that hang at once.
}

timespec Span(Micros micros) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(micros / 1'000'000);
    t.tv_nsec = static_cast<long>(micros % 1'000'000) * 1000;
    return t;
}

addrinfo* Resolve(const char* host, const char* service, Deadline deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) == 0) return found;  // an address

    FreeEndedLookups();
    auto* lookup = static_cast<Lookup*>(calloc(1, sizeof(Lookup)));
    if (lookup == nullptr) return nullptr;
    strncpy(lookup->host, host, sizeof lookup->host - 1);
    strncpy(lookup->service, service, sizeof lookup->service - 1);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    lookup->request.ar_name = lookup->host;
    lookup->request.ar_service = lookup->service;
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[1] = {&lookup->request};
    sigevent none{};
    none.sigev_notify = SIGEV_NONE;
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, &none) != 0) {
        free(lookup);
        return nullptr;
    }
    while (gai_error(&lookup->request) == EAI_INPROGRESS) {
        const Micros left = deadline.LeftAt(Now());
        if (left == 0) break;
        const timespec span = Span(left);
        gai_suspend(list, 1, &span);
    }
    if (gai_error(&lookup->request) == EAI_INPROGRESS) {
        const int cancelled = gai_cancel(&lookup->request);
        if (cancelled == EAI_NOTCANCELED) {
            Abandon(lookup);
            return nullptr;
        }
        if (cancelled == EAI_CANCELED) {
            Free(lookup);
            return nullptr;
        }
    }
    if (gai_error(&lookup->request) != 0) {
        Free(lookup);
        return nullptr;
    }
    found = lookup->request.ar_result;
    lookup->request.ar_result = nullptr;
    Free(lookup);
    return found;
}

int PollMs(Deadline deadline) {
    return deadline.PollMsAt(Now());
}

// Waits for a non-blocking connect; 0 when it succeeded.
int AwaitConnect(int fd, Deadline deadline) {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int n = poll(&p, 1, PollMs(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;  // failed, or the deadline passed
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return -1;
        return 0;
    }
}

// Commands go at once (no Nagle). Telnet's urgent data (a server's IAC DM) stays in the
// stream, where the decoder passes over it, rather than being taken out of it. A server
// that vanishes (powered off, its cable pulled) shows as a closed connection within about
// half a minute, idle or not, rather than after TCP's quarter of an hour.
void SetOptions(int fd) {
    const int on = 1, idle = 10, interval = 5, probes = 3;
    const unsigned unacknowledgedMs = 25'000;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
}

}  // namespace

Micros Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

void Pause(Micros micros) {
    timespec span = Span(micros);
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {
    }
}

bool StartNetworking() {
    return true;
}
void StopNetworking() {}

bool Socket::Connect(const char* host, const char* service, Deadline deadline) {
    Close();
    addrinfo* list = Resolve(host, service, deadline);
    for (addrinfo* a = list; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int result = connect(fd, a->ai_addr, a->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) result = AwaitConnect(fd, deadline);
        if (result == 0) {
            SetOptions(fd);
            fd_ = fd;
        } else {
            close(fd);
        }
    }
    if (list != nullptr) freeaddrinfo(list);
    return fd_ >= 0;
}

Socket::Io Socket::Send(const std::uint8_t* bytes, std::size_t size, std::size_t* sent) {
    *sent = 0;
    for (;;) {
        const ssize_t n = send(static_cast<int>(fd_), bytes, size, MSG_NOSIGNAL);
        if (n >= 0) {
            *sent = static_cast<std::size_t>(n);
            return Io::kDone;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Io::kWouldBlock : Io::kEnded;
    }
}

Socket::Io Socket::Receive(std::uint8_t* bytes, std::size_t size, std::size_t* received) {
    *received = 0;
    for (;;) {
        const ssize_t n = recv(static_cast<int>(fd_), bytes, size, 0);
        if (n > 0) {
            *received = static_cast<std::size_t>(n);
            return Io::kDone;
        }
        if (n == 0) return Io::kEnded;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Io::kWouldBlock : Io::kEnded;
    }
}

bool Socket::Wait(bool write, Deadline deadline) {
    pollfd p{static_cast<int>(fd_), static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
    const int n = poll(&p, 1, PollMs(deadline));
    if (n < 0) return errno == EINTR;
    return (p.revents & POLLNVAL) == 0;
}

void Socket::SetSendBuffer(std::size_t bytes) {
    const int size = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes);
    setsockopt(static_cast<int>(fd_), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void Socket::Close() {
    if (fd_ < 0) return;
    const int fd = static_cast<int>(fd_);
    fd_ = -1;
    // What the server sent and nobody read would turn the close into a reset, which can
    // cost the server bytes it holds for the device: it is read and dropped first.
    shutdown(fd, SHUT_WR);
    std::uint8_t unread[4096];
    for (int i = 0; i < 16 && recv(fd, unread, sizeof unread, 0) > 0; ++i) {
    }
    close(fd);
}

}  // namespace velmora::serial::network
