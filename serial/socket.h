// The few socket operations a port on a device server needs, one implementation per
// system (serial/socket_posix.cpp, serial/socket_win32.cpp), chosen by the build.
// Sockets are non-blocking: every wait is Wait()'s, up to a deadline.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/deadline.h"

namespace velmora::serial::network {

// Microseconds on a monotonic clock. The C++ library's clocks would bring its runtime
// into the module.
Micros Now();
void Pause(Micros micros);

// The system's networking, taken for each port while it is open (Winsock counts its
// users; elsewhere there is nothing to take).
bool StartNetworking();
void StopNetworking();

class Socket {
  public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Finds `host` and connects to port `service` (digits), both by `deadline`. A name
    // the system's resolver is slow to find is given up at the deadline, its lookup left
    // to end on its own.
    bool Connect(const char* host, const char* service, Deadline deadline);

    enum class Io : std::uint8_t { kDone, kWouldBlock, kEnded };
    // As much as the socket takes now; *sent may be less than `size`.
    Io Send(const std::uint8_t* bytes, std::size_t size, std::size_t* sent);
    // What has arrived, up to `size`. kEnded: the connection is over.
    Io Receive(std::uint8_t* bytes, std::size_t size, std::size_t* received);
    // Until something arrived (or the connection ended), the socket takes bytes again
    // (when `write`), or the deadline. False when the socket cannot be waited on.
    bool Wait(bool write, Deadline deadline);
    // The system's buffer of bytes sent and not yet taken by the far end.
    void SetSendBuffer(std::size_t bytes);
    // Sends what it can of what the system still holds and lets the connection go.
    void Close();

  private:
    std::intptr_t fd_ = -1;
};

}  // namespace velmora::serial::network
