// The one place that picks a backend. A name with a network scheme opens a port on a
// device server; every other name goes to the platform's open unchanged. After the open
// the handle alone decides, by its two lowest bits (serial/network_port.h), so a local
// port pays one test and one jump for each operation.
#include "serial/comm.h"

#include "serial/local_port.h"
#include "serial/network_port.h"

namespace velmora::serial {

using network::IsNetworkHandle;

PortHandle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                       void* security, std::uint32_t disposition, std::uint32_t flags,
                       PortHandle templateFile) {
    if (network::IsNetworkName(name)) return network::CreateFileA(name);
    return local::CreateFileA(name, access, shareMode, security, disposition, flags, templateFile);
}

Bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    if (IsNetworkHandle(port)) return network::SetupComm(port, inQueue, outQueue);
    return local::SetupComm(port, inQueue, outQueue);
}

Bool GetCommState(PortHandle port, Dcb* dcb) {
    if (IsNetworkHandle(port)) return network::GetCommState(port, dcb);
    return local::GetCommState(port, dcb);
}

Bool SetCommState(PortHandle port, Dcb* dcb) {
    if (IsNetworkHandle(port)) return network::SetCommState(port, dcb);
    return local::SetCommState(port, dcb);
}

Bool PurgeComm(PortHandle port, std::uint32_t flags) {
    if (IsNetworkHandle(port)) return network::PurgeComm(port, flags);
    return local::PurgeComm(port, flags);
}

Bool SetCommTimeouts(PortHandle port, CommTimeouts* timeouts) {
    if (IsNetworkHandle(port)) return network::SetCommTimeouts(port, timeouts);
    return local::SetCommTimeouts(port, timeouts);
}

Bool EscapeCommFunction(PortHandle port, std::uint32_t function) {
    if (IsNetworkHandle(port)) return network::EscapeCommFunction(port, function);
    return local::EscapeCommFunction(port, function);
}

Bool ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status) {
    if (IsNetworkHandle(port)) return network::ClearCommError(port, errors, status);
    return local::ClearCommError(port, errors, status);
}

// Network ports are never overlapped: the methods pass no OVERLAPPED record.
Bool ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* countRead,
              void* overlapped) {
    if (IsNetworkHandle(port)) return network::ReadFile(port, buffer, count, countRead);
    return local::ReadFile(port, buffer, count, countRead, overlapped);
}

Bool WriteFile(PortHandle port, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten, void* overlapped) {
    if (IsNetworkHandle(port)) return network::WriteFile(port, buffer, count, countWritten);
    return local::WriteFile(port, buffer, count, countWritten, overlapped);
}

Bool FlushFileBuffers(PortHandle port) {
    if (IsNetworkHandle(port)) return network::FlushFileBuffers(port);
    return local::FlushFileBuffers(port);
}

Bool CloseHandle(PortHandle port) {
    if (IsNetworkHandle(port)) return network::CloseHandle(port);
    return local::CloseHandle(port);
}

}  // namespace velmora::serial
