#include "serial/port_name.h"

namespace velmora::serial {

namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

std::string WindowsDevicePath(const char* name) {
    if (name == nullptr) return {};
    std::string path(name);
    if (path.size() < 4 || Upper(path[0]) != 'C' || Upper(path[1]) != 'O' ||
        Upper(path[2]) != 'M') {
        return path;
    }
    unsigned number = 0;
    for (std::size_t i = 3; i < path.size(); ++i) {
        if (!IsDigit(path[i])) return path;
        if (number < 10) number = number * 10 + static_cast<unsigned>(path[i] - '0');
    }
    return number >= 10 ? "\\\\.\\" + path : path;
}

}  // namespace velmora::serial
