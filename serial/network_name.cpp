#include "serial/network_name.h"

#include <cstddef>
#include <cstring>

namespace velmora::serial::network {

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kSocket[] = "socket://";

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The length of `scheme` when `name` starts with it, in any case; else 0.
std::size_t SchemeLength(const char* name, const char* scheme) {
    std::size_t i = 0;
    for (; scheme[i] != '\0'; ++i) {
        if (Lower(name[i]) != scheme[i]) return 0;
    }
    return i;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsHex(char c) {
    return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f');
}
bool IsNameCharacter(char c) {
    return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') || c == '-' || c == '.' || c == '_';
}

// An IPv6 address as it may stand between brackets: hexadecimal groups, colons, a
// dotted IPv4 tail, and a zone after '%'. The system's parser has the last word.
bool IsBracketedAddress(const char* text, std::size_t size) {
    bool zone = false;
    bool colon = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (zone) {
            if (!IsNameCharacter(c)) return false;
        } else if (c == '%') {
            zone = i > 0 && i + 1 < size;
            if (!zone) return false;
        } else if (c == ':') {
            colon = true;
        } else if (!IsHex(c) && c != '.') {
            return false;
        }
    }
    return colon;
}

}  // namespace

bool IsNetworkName(const char* name) {
    return name != nullptr &&
           (SchemeLength(name, kRfc2217) != 0 || SchemeLength(name, kSocket) != 0);
}

bool ParseNetworkName(const char* name, NetworkName* out) {
    if (name == nullptr || out == nullptr) return false;
    std::size_t at = SchemeLength(name, kRfc2217);
    out->scheme = Scheme::kRfc2217;
    if (at == 0) {
        at = SchemeLength(name, kSocket);
        out->scheme = Scheme::kSocket;
    }
    if (at == 0) return false;
    const char* host = name + at;
    const char* hostEnd = nullptr;
    const char* colon = nullptr;
    if (*host == '[') {
        const char* close = std::strchr(host, ']');
        if (close == nullptr || close[1] != ':') return false;
        ++host;
        hostEnd = close;
        colon = close + 1;
        if (!IsBracketedAddress(host, static_cast<std::size_t>(hostEnd - host))) return false;
    } else {
        colon = std::strchr(host, ':');
        if (colon == nullptr) return false;
        hostEnd = colon;
        for (const char* c = host; c != hostEnd; ++c) {
            if (!IsNameCharacter(*c)) return false;
        }
    }
    const auto hostSize = static_cast<std::size_t>(hostEnd - host);
    if (hostSize == 0 || hostSize >= sizeof out->host) return false;

    const char* digits = colon + 1;
    const std::size_t digitCount = std::strlen(digits);
    if (digitCount == 0 || digitCount >= sizeof out->service) return false;
    unsigned port = 0;
    for (std::size_t i = 0; i < digitCount; ++i) {
        if (!IsDigit(digits[i])) return false;
        port = port * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    if (port == 0 || port > 65535) return false;

    std::memcpy(out->host, host, hostSize);
    out->host[hostSize] = '\0';
    std::memcpy(out->service, digits, digitCount + 1);
    out->port = static_cast<std::uint16_t>(port);
    return true;
}

}  // namespace velmora::serial::network
