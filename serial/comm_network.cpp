// Ports on a device server. Not built yet: a name with a network scheme opens nothing,
// and no handle is a network port's.
#include "serial/network_port.h"

namespace velmora::serial::network {

namespace {
bool StartsWith(const char* name, const char* scheme) {
    for (; *scheme != '\0'; ++name, ++scheme) {
        const char c =
            (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name - 'A' + 'a') : *name;
        if (c != *scheme) return false;
    }
    return true;
}
}  // namespace

bool IsNetworkName(const char* name) {
    return name != nullptr && (StartsWith(name, "rfc2217://") || StartsWith(name, "socket://"));
}

PortHandle CreateFileA(const char*) {
    return InvalidPort();
}
Bool SetupComm(PortHandle, std::uint32_t, std::uint32_t) {
    return 0;
}
Bool GetCommState(PortHandle, Dcb*) {
    return 0;
}
Bool SetCommState(PortHandle, Dcb*) {
    return 0;
}
Bool PurgeComm(PortHandle, std::uint32_t) {
    return 0;
}
Bool SetCommTimeouts(PortHandle, CommTimeouts*) {
    return 0;
}
Bool EscapeCommFunction(PortHandle, std::uint32_t) {
    return 0;
}
Bool ClearCommError(PortHandle, std::uint32_t*, ComStat*) {
    return 0;
}
Bool ReadFile(PortHandle, void*, std::uint32_t, std::uint32_t* countRead) {
    if (countRead != nullptr) *countRead = 0;
    return 0;
}
Bool WriteFile(PortHandle, const void*, std::uint32_t, std::uint32_t* countWritten) {
    if (countWritten != nullptr) *countWritten = 0;
    return 0;
}
Bool FlushFileBuffers(PortHandle) {
    return 0;
}
Bool CloseHandle(PortHandle) {
    return 0;
}

}  // namespace velmora::serial::network
