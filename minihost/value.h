// A script value as the project's host holds it: void, an integer, or a text of any
// bytes (NUL included).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace velmora::minihost {

struct Value {
    enum class Kind { kVoid, kInteger, kText };
    Kind kind = Kind::kVoid;
    std::int32_t integer = 0;
    std::string text;

    static Value Void() { return {}; }
    static Value Integer(std::int32_t n) { return {Kind::kInteger, n, {}}; }
    static Value Text(std::string s) { return {Kind::kText, 0, std::move(s)}; }

    bool IsInteger(std::int32_t n) const { return kind == Kind::kInteger && integer == n; }
    bool IsText() const { return kind == Kind::kText; }
    friend bool operator==(const Value& a, const Value& b) {
        return a.kind == b.kind && a.integer == b.integer && a.text == b.text;
    }
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }
};

// How the console and test failures show a value: 42, "text" with escapes, <void>.
std::string Describe(const Value& value);
inline std::ostream& operator<<(std::ostream& out, const Value& value) {
    return out << Describe(value);
}

}  // namespace velmora::minihost
