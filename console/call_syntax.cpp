#include "console/call_syntax.h"

#include <cctype>
#include <climits>

namespace velmora::console {

namespace {

using minihost::Value;

class Cursor {
  public:
    explicit Cursor(const std::string& text) : text_(text) {}
    void SkipSpace() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    // A # outside a text starts a comment that runs to the end of the line.
    bool AtEnd() {
        SkipSpace();
        return pos_ >= text_.size() || text_[pos_] == '#';
    }
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool Take(char c) {
        SkipSpace();
        if (Peek() != c) return false;
        ++pos_;
        return true;
    }
    std::string Word() {
        SkipSpace();
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }
    bool Integer(std::int32_t* value, std::string* error) {
        SkipSpace();
        const std::size_t start = pos_;
        bool negative = false;
        if (Peek() == '-' || Peek() == '+') negative = text_[pos_++] == '-';
        int base = 10;
        if (Peek() == '0' && pos_ + 1 < text_.size() &&
            (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
            base = 16;
            pos_ += 2;
        }
        long long magnitude = 0;
        std::size_t digits = 0;
        for (; pos_ < text_.size(); ++pos_, ++digits) {
            const int d = Digit(text_[pos_]);
            if (d < 0 || d >= base) break;
            magnitude = magnitude * base + d;
            if (magnitude > 0xFFFFFFFFLL) {
                *error = "integer out of range: " + text_.substr(start);
                return false;
            }
        }
        if (digits == 0) {
            *error = "expected an integer or a \"text\" at column " + std::to_string(start + 1);
            return false;
        }
        // Hexadecimal reaches every 32-bit pattern; decimal stays in the signed range.
        const long long limit = base == 16 ? 0xFFFFFFFFLL : (negative ? 0x80000000LL : INT32_MAX);
        if (magnitude > limit) {
            *error = "integer out of range: " + text_.substr(start, pos_ - start);
            return false;
        }
        const auto bits = static_cast<std::uint32_t>(negative ? -magnitude : magnitude);
        *value = static_cast<std::int32_t>(bits);
        return true;
    }
    bool Text(std::string* out, std::string* error) {
        SkipSpace();
        if (Peek() != '"') {
            *error = "expected a \"text\"";
            return false;
        }
        ++pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            switch (e) {
                case 'r':
                    *out += '\r';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case '\\':
                    *out += '\\';
                    break;
                case '"':
                    *out += '"';
                    break;
                case 'x': {
                    const int hi = pos_ < text_.size() ? Digit(text_[pos_]) : -1;
                    const int lo = pos_ + 1 < text_.size() ? Digit(text_[pos_ + 1]) : -1;
                    if (hi < 0 || hi > 15 || lo < 0 || lo > 15) {
                        *error = "\\x needs two hexadecimal digits";
                        return false;
                    }
                    *out += static_cast<char>(hi * 16 + lo);
                    pos_ += 2;
                    break;
                }
                default:
                    *error = std::string("unknown escape \\") + e;
                    return false;
            }
        }
        *error = "unterminated text";
        return false;
    }

  private:
    static int Digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    const std::string& text_;
    std::size_t pos_ = 0;
};

bool Milliseconds(Cursor& cursor, std::int32_t* ms, std::string* error) {
    if (!cursor.Integer(ms, error)) return false;
    if (*ms < 0) {
        *error = "a time in milliseconds cannot be negative";
        return false;
    }
    return true;
}

}  // namespace

bool ParseStatement(const std::string& line, Statement* statement, std::string* error) {
    *statement = Statement{};
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#' || line.compare(first, 2, "--") == 0) {
        return true;
    }
    Cursor cursor(line);
    const std::string word = cursor.Word();
    if (word.empty()) {
        *error = "expected a method name, wait or expect";
        return false;
    }
    if (word == "wait") {
        statement->kind = Statement::Kind::kWait;
        if (!Milliseconds(cursor, &statement->milliseconds, error)) return false;
    } else if (word == "expect") {
        statement->kind = Statement::Kind::kExpect;
        if (!cursor.Text(&statement->text, error)) return false;
        if (!cursor.AtEnd()) {
            cursor.Take(',');
            if (!Milliseconds(cursor, &statement->milliseconds, error)) return false;
        }
    } else {
        statement->kind = Statement::Kind::kCall;
        statement->method = word;
        bool firstArgument = true;
        while (!cursor.AtEnd()) {
            if (!firstArgument && !cursor.Take(',')) {
                *error = "expected a comma between arguments";
                return false;
            }
            firstArgument = false;
            cursor.SkipSpace();
            if (cursor.Peek() == '"') {
                std::string text;
                if (!cursor.Text(&text, error)) return false;
                statement->args.push_back(Value::Text(std::move(text)));
            } else {
                std::int32_t n = 0;
                if (!cursor.Integer(&n, error)) return false;
                statement->args.push_back(Value::Integer(n));
            }
        }
    }
    if (!cursor.AtEnd()) {
        *error = "unexpected text after the statement";
        return false;
    }
    return true;
}

std::string FormatCall(const std::string& method, const std::vector<minihost::Value>& args) {
    std::string out = method;
    for (std::size_t i = 0; i < args.size(); ++i) {
        out += i == 0 ? " " : ", ";
        out += minihost::Describe(args[i]);
    }
    return out;
}

}  // namespace velmora::console
