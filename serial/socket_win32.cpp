// Sockets on Windows (Winsock). Winsock has no lookup that can be given up, so a host
// name is looked up on a short-lived thread of its own: the caller waits for it up to
// the deadline and leaves it to end on its own. The thread holds a reference to the
// module it runs in and ends with FreeLibraryAndExitThread, so a host that unloads the
// module meanwhile does not pull the code from under it.
// Winsock's headers must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include "serial/socket.h"

namespace velmora::serial::network {

namespace {

// One lookup, shared by the caller and the thread; the last of the two frees it.
struct Lookup {
    volatile LONG holders;
    HANDLE done;
    HMODULE module;
    int error;
    addrinfo* result;
    char host[256];
    char service[8];
};

void Release(Lookup* lookup) {
    if (InterlockedDecrement(&lookup->holders) != 0) return;
    if (lookup->result != nullptr) freeaddrinfo(lookup->result);
    CloseHandle(lookup->done);
    HeapFree(GetProcessHeap(), 0, lookup);
}

DWORD WINAPI LookUp(LPVOID argument) {
    auto* lookup = static_cast<Lookup*>(argument);
    const HMODULE module = lookup->module;
    WSADATA data;
    // The thread's own hold on Winsock: the port may close before the lookup ends.
    const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    lookup->error = started ? getaddrinfo(lookup->host, lookup->service, &hints, &lookup->result)
                            : WSANOTINITIALISED;
    SetEvent(lookup->done);
    if (started) WSACleanup();
    Release(lookup);
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

void Copy(char* to, std::size_t size, const char* from) {
    std::size_t i = 0;
    for (; i + 1 < size && from[i] != '\0'; ++i) to[i] = from[i];
    to[i] = '\0';
}

DWORD WaitMs(Deadline deadline) {
    if (deadline.IsNever()) return INFINITE;
    const Micros left = deadline.LeftAt(Now());
    const Micros ms = (left + 999) / 1000;
    return ms >= 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
}

addrinfo* Resolve(const char* host, const char* service, Deadline deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) == 0) return found;  // an address

    auto* lookup =
        static_cast<Lookup*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Lookup)));
    if (lookup == nullptr) return nullptr;
    Copy(lookup->host, sizeof lookup->host, host);
    Copy(lookup->service, sizeof lookup->service, service);
    lookup->holders = 2;
    lookup->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (lookup->done == nullptr ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&LookUp), &lookup->module)) {
        if (lookup->done != nullptr) CloseHandle(lookup->done);
        HeapFree(GetProcessHeap(), 0, lookup);
        return nullptr;
    }
    const HANDLE thread = CreateThread(nullptr, 64 * 1024, LookUp, lookup, 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(lookup->module);
        lookup->holders = 1;
        Release(lookup);
        return nullptr;
    }
    CloseHandle(thread);
    if (WaitForSingleObject(lookup->done, WaitMs(deadline)) == WAIT_OBJECT_0 &&
        lookup->error == 0) {
        found = lookup->result;
        lookup->result = nullptr;
    }
    Release(lookup);
    return found;
}

timeval Span(Deadline deadline) {
    const Micros left = deadline.LeftAt(Now());
    timeval t{};
    const Micros capped = left > 86'400'000'000 ? 86'400'000'000 : left;
    t.tv_sec = static_cast<long>(capped / 1'000'000);
    t.tv_usec = static_cast<long>(capped % 1'000'000);
    return t;
}

// Waits for `socket` to be readable, or writable, or failed; false when select fails.
bool Select(SOCKET socket, bool read, bool write, Deadline deadline) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (read) FD_SET(socket, &readable);
    if (write) FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval span = Span(deadline);
    return select(0, &readable, &writable, &failed, deadline.IsNever() ? nullptr : &span) !=
           SOCKET_ERROR;
}

int AwaitConnect(SOCKET socket, Deadline deadline) {
    if (!Select(socket, false, true, deadline)) return -1;
    int error = 0;
    int size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
        return -1;
    }
    // select() also returns at the deadline: only a writable socket is connected.
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval now{};
    return select(0, nullptr, &writable, nullptr, &now) == 1 ? 0 : -1;
}

// As on Linux: commands at once, urgent data in the stream, and a server that vanishes
// shown as a closed connection soon, idle or not.
void SetOptions(SOCKET socket) {
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
    struct {
        ULONG onoff, keepalivetime, keepaliveinterval;
    } keepAlive = {1, 10'000, 5'000};
    DWORD returned = 0;
    constexpr DWORD kSioKeepaliveVals = 0x98000004;  // SIO_KEEPALIVE_VALS
    WSAIoctl(socket, kSioKeepaliveVals, &keepAlive, sizeof keepAlive, nullptr, 0, &returned,
             nullptr, nullptr);
}

SOCKET Of(std::intptr_t fd) {
    return static_cast<SOCKET>(fd);
}

}  // namespace

Micros Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<Micros>(count.QuadPart / frequency.QuadPart * 1'000'000 +
                               count.QuadPart % frequency.QuadPart * 1'000'000 /
                                   frequency.QuadPart);
}

void Pause(Micros micros) {
    Sleep(static_cast<DWORD>((micros + 999) / 1000));
}

bool StartNetworking() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() {
    WSACleanup();
}

bool Socket::Connect(const char* host, const char* service, Deadline deadline) {
    Close();
    addrinfo* list = Resolve(host, service, deadline);
    for (addrinfo* a = list; a != nullptr && fd_ == -1; a = a->ai_next) {
        const SOCKET socket = ::socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
        if (socket == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        int result = ioctlsocket(socket, FIONBIO, &nonBlocking);
        if (result == 0) {
            result = connect(socket, a->ai_addr, static_cast<int>(a->ai_addrlen));
            if (result != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                result = AwaitConnect(socket, deadline);
            }
        }
        if (result == 0) {
            SetOptions(socket);
            fd_ = static_cast<std::intptr_t>(socket);
        } else {
            closesocket(socket);
        }
    }
    if (list != nullptr) freeaddrinfo(list);
    return fd_ != -1;
}

Socket::Io Socket::Send(const std::uint8_t* bytes, std::size_t size, std::size_t* sent) {
    *sent = 0;
    const int n = send(Of(fd_), reinterpret_cast<const char*>(bytes),
                       size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) {
        *sent = static_cast<std::size_t>(n);
        return Io::kDone;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kEnded;
}

Socket::Io Socket::Receive(std::uint8_t* bytes, std::size_t size, std::size_t* received) {
    *received = 0;
    const int n = recv(Of(fd_), reinterpret_cast<char*>(bytes),
                       size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size), 0);
    if (n > 0) {
        *received = static_cast<std::size_t>(n);
        return Io::kDone;
    }
    if (n == 0) return Io::kEnded;
    return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kEnded;
}

bool Socket::Wait(bool write, Deadline deadline) {
    return Select(Of(fd_), true, write, deadline);
}

void Socket::SetSendBuffer(std::size_t bytes) {
    const int size = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes);
    setsockopt(Of(fd_), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

void Socket::Close() {
    if (fd_ == -1) return;
    const SOCKET socket = Of(fd_);
    fd_ = -1;
    // As on Linux: unread bytes would turn the close into a reset.
    shutdown(socket, SD_SEND);
    char unread[4096];
    for (int i = 0; i < 16 && recv(socket, unread, sizeof unread, 0) > 0; ++i) {
    }
    closesocket(socket);
}

}  // namespace velmora::serial::network
