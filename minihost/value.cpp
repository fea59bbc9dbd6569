#include "minihost/value.h"

#include <cstdio>

namespace velmora::minihost {

std::string Describe(const Value& value) {
    switch (value.kind) {
        case Value::Kind::kVoid:
            return "<void>";
        case Value::Kind::kInteger:
            return std::to_string(value.integer);
        case Value::Kind::kText:
            break;
    }
    std::string out = "\"";
    for (const char c : value.text) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
                    out += hex;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace velmora::minihost
