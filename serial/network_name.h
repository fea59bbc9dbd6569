// The names of ports on device servers: rfc2217://HOST:PORT and socket://HOST:PORT, the
// scheme in any case, HOST a name, an IPv4 address or an IPv6 address in brackets, PORT
// a decimal number from 1 to 65535, nothing after it. Pure: no socket is touched.
#pragma once

#include <cstdint>

namespace velmora::serial::network {

enum class Scheme : std::uint8_t {
    kRfc2217,  // Telnet with the COM-PORT-OPTION: the server sets the line as asked
    kSocket,   // a plain byte stream: the line is the server's own business
};

struct NetworkName {
    Scheme scheme = Scheme::kSocket;
    char host[254] = {};   // without brackets
    char service[6] = {};  // the port number's digits
    std::uint16_t port = 0;
};

// Whether `name` starts with one of the two schemes, in any case: such a name is the
// network backend's, whether or not the rest of it parses.
bool IsNetworkName(const char* name);

// False, with `out` unspecified, when `name` does not parse.
bool ParseNetworkName(const char* name, NetworkName* out);

}  // namespace velmora::serial::network
