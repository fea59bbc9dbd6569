// The Windows backend: the kernel's own serial functions, records passed as they are.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "serial/comm.h"
#include "serial/local_port.h"
#include "serial/port_name.h"

namespace velmora::serial {

static_assert(sizeof(Dcb) == sizeof(DCB) && offsetof(Dcb, ByteSize) == offsetof(DCB, ByteSize) &&
              offsetof(Dcb, XonChar) == offsetof(DCB, XonChar));
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(sizeof(ComStat) == sizeof(COMSTAT) &&
              offsetof(ComStat, cbInQue) == offsetof(COMSTAT, cbInQue));

PortHandle local::CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                              void* security, std::uint32_t disposition, std::uint32_t flags,
                              PortHandle templateFile) {
    if (name == nullptr) name = "";
    const char* prefix = DeviceNamespacePrefix(name);
    // Nothing here may throw out through the module: without memory for the longer
    // name, the open fails.
    std::unique_ptr<char[]> path;
    if (*prefix != '\0') {
        const std::size_t p = std::strlen(prefix);
        const std::size_t n = std::strlen(name);
        // A nothrow_t of its own, not the C++ runtime's std::nothrow object.
        path.reset(new (std::nothrow_t{}) char[p + n + 1]);
        if (path == nullptr) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return InvalidPort();
        }
        std::memcpy(path.get(), prefix, p);
        std::memcpy(path.get() + p, name, n + 1);
        name = path.get();
    }
    return ::CreateFileA(name, access, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(security),
                         disposition, flags, templateFile);
}

Bool local::SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) {
    return ::SetupComm(port, inQueue, outQueue);
}

Bool local::GetCommState(PortHandle port, Dcb* dcb) {
    return ::GetCommState(port, reinterpret_cast<DCB*>(dcb));
}

Bool local::SetCommState(PortHandle port, Dcb* dcb) {
    return ::SetCommState(port, reinterpret_cast<DCB*>(dcb));
}

Bool local::PurgeComm(PortHandle port, std::uint32_t flags) {
    return ::PurgeComm(port, flags);
}

Bool local::SetCommTimeouts(PortHandle port, CommTimeouts* timeouts) {
    return ::SetCommTimeouts(port, reinterpret_cast<COMMTIMEOUTS*>(timeouts));
}

Bool local::EscapeCommFunction(PortHandle port, std::uint32_t function) {
    return ::EscapeCommFunction(port, function);
}

Bool local::ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status) {
    DWORD word = 0;
    const BOOL ok = ::ClearCommError(port, &word, reinterpret_cast<COMSTAT*>(status));
    if (errors != nullptr) *errors = word;
    return ok;
}

Bool local::ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* countRead,
                     void* overlapped) {
    DWORD done = 0;
    const BOOL ok = ::ReadFile(port, buffer, count, &done, static_cast<LPOVERLAPPED>(overlapped));
    if (countRead != nullptr) *countRead = done;
    return ok;
}

Bool local::WriteFile(PortHandle port, const void* buffer, std::uint32_t count,
                      std::uint32_t* countWritten, void* overlapped) {
    DWORD done = 0;
    const BOOL ok = ::WriteFile(port, buffer, count, &done, static_cast<LPOVERLAPPED>(overlapped));
    if (countWritten != nullptr) *countWritten = done;
    return ok;
}

Bool local::FlushFileBuffers(PortHandle port) {
    return ::FlushFileBuffers(port);
}

// Windows reports success for CloseHandle(INVALID_HANDLE_VALUE) (it is the process's
// pseudo-handle); the module relies on a handle that is not a port failing here.
Bool local::CloseHandle(PortHandle port) {
    return IsOpen(port) ? ::CloseHandle(port) : 0;
}

}  // namespace velmora::serial
