// Serial ports on a device server: the operations of serial/comm.h on a port named
// rfc2217://HOST:PORT (a Telnet COM-PORT-OPTION server) or socket://HOST:PORT (a plain
// TCP byte stream). serial/comm.cpp sends those names, and the handles opened from
// them, here. Internal to serial/.
#pragma once

#include <cstdint>

#include "serial/comm.h"

namespace velmora::serial::network {

// Windows' kernel handles are multiples of 4, and so are the Linux layer's; a network
// port's handle has 01 in its two lowest bits. The test looks at the lowest bit alone,
// one instruction less on every operation of a local port: the only other odd handles,
// INVALID_HANDLE_VALUE (all ones) among them, are no port of either backend, and the
// network backend fails them as the platform's would. The closed handle 0 is local.
inline constexpr std::uintptr_t kHandleTagMask = 3;
inline constexpr std::uintptr_t kHandleTag = 1;
inline bool IsNetworkHandle(PortHandle port) {
    return (reinterpret_cast<std::uintptr_t>(port) & 1) != 0;
}

// Whether `name` starts with one of the network schemes, in any case. Such a name is the
// network backend's whether or not the rest of it parses; every other name is the
// platform's, exactly as before.
bool IsNetworkName(const char* name);

PortHandle CreateFileA(const char* name);
Bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue);
Bool GetCommState(PortHandle port, Dcb* dcb);
Bool SetCommState(PortHandle port, Dcb* dcb);
Bool PurgeComm(PortHandle port, std::uint32_t flags);
Bool SetCommTimeouts(PortHandle port, CommTimeouts* timeouts);
Bool EscapeCommFunction(PortHandle port, std::uint32_t function);
Bool ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status);
Bool ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* countRead);
Bool WriteFile(PortHandle port, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten);
Bool FlushFileBuffers(PortHandle port);
Bool CloseHandle(PortHandle port);

}  // namespace velmora::serial::network
