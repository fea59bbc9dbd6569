#include "methods/decimal_number_parser.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace velmora {

namespace {
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

double ParseDecimalNumber(const char* text, std::size_t limit) {
    // Every character read is copied at most once, so the copy cannot outgrow this.
    constexpr std::size_t kMaxChars = 48;
    if (limit > kMaxChars) limit = kMaxChars;
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < limit ? text[k] : '\0'; };
    while (IsSpace(at(i))) ++i;

    // The number is copied in the form std::from_chars reads: no '+', exponent 'e'.
    char number[64];
    std::size_t n = 0;
    if (at(i) == '-' || at(i) == '+') {
        if (at(i) == '-') number[n++] = '-';
        ++i;
    }
    std::size_t digits = 0;
    bool point = false;
    for (;; ++i) {
        const char c = at(i);
        if (IsDigit(c)) {
            ++digits;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number[n++] = c;
    }
    if (digits == 0) return 0.0;

    const char e = at(i);
    bool negativeExponent = false;
    if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        std::size_t j = i + 1;
        const char sign = at(j);
        if (sign == '-' || sign == '+') ++j;
        if (IsDigit(at(j))) {
            number[n++] = 'e';
            negativeExponent = sign == '-';
            if (negativeExponent) number[n++] = '-';
            while (IsDigit(at(j))) number[n++] = at(j++);
        }
    }

    double value = 0.0;
    if (std::from_chars(number, number + n, value).ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone where strtod overflows to infinity or
        // underflows to zero. The digits before the exponent are at most 48, so only an
        // exponent far from zero gets here, and its sign says which of the two it is.
        value = negativeExponent ? 0.0 : HUGE_VAL;
        if (number[0] == '-') value = -value;
    }
    return value;
}

}  // namespace velmora
