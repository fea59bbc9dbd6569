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

const char* DeviceNamespacePrefix(const char* name) {
    if (name == nullptr || Upper(name[0]) != 'C' || Upper(name[1]) != 'O' ||
        Upper(name[2]) != 'M' || name[3] == '\0') {
        return "";
    }
    unsigned number = 0;
    for (const char* c = name + 3; *c != '\0'; ++c) {
        if (!IsDigit(*c)) return "";
        if (number < 10) number = number * 10 + static_cast<unsigned>(*c - '0');
    }
    return number >= 10 ? "\\\\.\\" : "";
}

}  // namespace velmora::serial
