#include "methods/decimal_number_parser.h"

#include <cstdint>

namespace velmora {

namespace {
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// An unsigned integer of up to 1536 bits: enough for 48 decimal digits times any power
// of ten that leaves a double's range by less than those digits can make up.
class Big {
  public:
    explicit Big(std::uint64_t v) {
        limbs_[0] = static_cast<std::uint32_t>(v);
        limbs_[1] = static_cast<std::uint32_t>(v >> 32);
        size_ = limbs_[1] != 0 ? 2 : limbs_[0] != 0 ? 1 : 0;
    }
    // *this = *this x factor + addend
    void MultiplyAdd(std::uint32_t factor, std::uint32_t addend = 0) {
        std::uint64_t carry = addend;
        for (int i = 0; i < size_; ++i) {
            const std::uint64_t v = std::uint64_t{limbs_[i]} * factor + carry;
            limbs_[i] = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
        if (carry != 0) limbs_[size_++] = static_cast<std::uint32_t>(carry);
    }
    void MultiplyByPowerOfTen(int power) {
        for (; power >= 9; power -= 9) MultiplyAdd(1000000000u);
        static constexpr std::uint32_t kSmall[] = {1,      10,      100,      1000,     10000,
                                                   100000, 1000000, 10000000, 100000000};
        MultiplyAdd(kSmall[power]);
    }
    void ShiftLeft(int bits) {
        const int whole = bits / 32, part = bits % 32;
        for (int i = size_ - 1 + whole + 1; i >= 0; --i) {
            const int from = i - whole;
            const std::uint32_t hi = from >= 0 && from < size_ ? limbs_[from] : 0;
            const std::uint32_t lo = from - 1 >= 0 && from - 1 < size_ ? limbs_[from - 1] : 0;
            limbs_[i] = part == 0 ? hi : (hi << part) | (lo >> (32 - part));
        }
        size_ += whole + 1;
        Trim();
    }
    int BitLength() const {
        if (size_ == 0) return 0;
        int bits = 32 * (size_ - 1);
        for (std::uint32_t top = limbs_[size_ - 1]; top != 0; top >>= 1) ++bits;
        return bits;
    }
    bool Bit(int n) const { return n / 32 < size_ && (limbs_[n / 32] >> (n % 32)) & 1; }
    bool AnyBelow(int n) const {  // a bit set below bit n
        for (int i = 0; i < n; ++i) {
            if (Bit(i)) return true;
        }
        return false;
    }
    bool IsZero() const { return size_ == 0; }
    // *this -= other when other <= *this; says whether it was.
    bool SubtractIfNotLess(const Big& other) {
        if (Compare(other) < 0) return false;
        std::int64_t borrow = 0;
        for (int i = 0; i < size_; ++i) {
            std::int64_t v =
                std::int64_t{limbs_[i]} - (i < other.size_ ? other.limbs_[i] : 0) - borrow;
            borrow = v < 0;
            if (v < 0) v += std::int64_t{1} << 32;
            limbs_[i] = static_cast<std::uint32_t>(v);
        }
        Trim();
        return true;
    }

  private:
    int Compare(const Big& other) const {
        if (size_ != other.size_) return size_ < other.size_ ? -1 : 1;
        for (int i = size_ - 1; i >= 0; --i) {
            if (limbs_[i] != other.limbs_[i]) return limbs_[i] < other.limbs_[i] ? -1 : 1;
        }
        return 0;
    }
    void Trim() {
        while (size_ > 0 && limbs_[size_ - 1] == 0) --size_;
    }
    std::uint32_t limbs_[50] = {};
    int size_ = 0;
};

double FromBits(std::uint64_t bits) {
    double value;
    static_assert(sizeof value == sizeof bits);
    __builtin_memcpy(&value, &bits, sizeof value);
    return value;
}

// What strtod gives beyond a double's range.
constexpr double kInfinity = __builtin_huge_val();

// q x 2^exponent (q's top bit set, `sticky` for anything below q) rounded to the nearest
// double, ties to even, as a subnormal where it must be; infinity above the range and
// 0.0 below it, as strtod.
double RoundToDouble(std::uint64_t q, int exponent, bool sticky) {
    const int top = exponent + 63;  // the binary exponent of q's top bit
    if (top > 1023) return kInfinity;
    int drop = 11;  // of q's 64 bits, 53 are kept
    if (top < -1022) drop += -1022 - top;
    if (drop > 64) return 0.0;
    std::uint64_t kept = drop == 64 ? 0 : q >> drop;
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    const std::uint64_t rest = q & ((half << 1) - 1);
    if (rest > half || (rest == half && (sticky || (kept & 1)))) ++kept;
    if (kept == 0) return 0.0;
    // kept x 2^(exponent + drop); a carry out of 53 bits moves the exponent up.
    int binary = exponent + drop;
    if (kept >> 53) {
        kept >>= 1;
        ++binary;
    }
    std::uint64_t bits;
    if (kept >> 52) {
        const int biased = binary + 52 + 1023;
        if (biased >= 2047) return kInfinity;
        bits = (std::uint64_t(biased) << 52) | (kept & ((std::uint64_t{1} << 52) - 1));
    } else {
        bits = kept;  // subnormal: the exponent field is 0
    }
    return FromBits(bits);
}

// digits x 10^exponent, rounded to the nearest double.
double Scale(const Big& digits, int exponent) {
    if (digits.IsZero()) return 0.0;
    // Beyond these no number of at most 48 digits stays in range.
    if (exponent > 330) return kInfinity;
    if (exponent < -400) return 0.0;
    Big n = digits;
    if (exponent >= 0) {
        n.MultiplyByPowerOfTen(exponent);
        const int length = n.BitLength();
        std::uint64_t q = 0;
        for (int i = 0; i < 64; ++i) q = (q << 1) | (length - 1 - i >= 0 && n.Bit(length - 1 - i));
        return RoundToDouble(q, length - 64, length > 64 && n.AnyBelow(length - 64));
    }
    Big d(1);
    d.MultiplyByPowerOfTen(-exponent);
    // n and d x 2^64 brought to the same length, so that n / d has 65 bits: either its
    // top one or the one below it is set.
    int shift = d.BitLength() - n.BitLength() + 64;
    if (shift >= 0) {
        n.ShiftLeft(shift);
    } else {
        d.ShiftLeft(-shift);
    }
    d.ShiftLeft(64);
    std::uint64_t q = 0;
    bool high = false;
    for (int i = 64; i >= 0; --i) {
        const bool bit = n.SubtractIfNotLess(d);
        if (i == 64) {
            high = bit;
        } else {
            q = (q << 1) | bit;
        }
        if (i > 0) n.ShiftLeft(1);
    }
    bool sticky = !n.IsZero();
    int binary = -shift;
    if (high) {
        sticky = sticky || (q & 1);
        q = (q >> 1) | (std::uint64_t{1} << 63);
        ++binary;
    }
    return RoundToDouble(q, binary, sticky);
}
}  // namespace

double ParseDecimalNumber(const char* text, std::size_t limit) {
    constexpr std::size_t kMaxChars = 48;
    if (limit > kMaxChars) limit = kMaxChars;
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < limit ? text[k] : '\0'; };
    while (IsSpace(at(i))) ++i;

    bool negative = false;
    if (at(i) == '-' || at(i) == '+') negative = text[i++] == '-';
    Big digits(0);
    int exponent = 0;
    std::size_t seen = 0;
    bool point = false;
    for (;; ++i) {
        const char c = at(i);
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (!IsDigit(c)) break;
        ++seen;
        digits.MultiplyAdd(10, static_cast<std::uint32_t>(c - '0'));
        if (point) --exponent;
    }
    if (seen == 0) return 0.0;

    const char e = at(i);
    if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        std::size_t j = i + 1;
        const char sign = at(j);
        if (sign == '-' || sign == '+') ++j;
        int power = 0;
        for (; IsDigit(at(j)); ++j) {
            if (power < 100000) power = power * 10 + (at(j) - '0');
        }
        exponent += sign == '-' ? -power : power;
    }
    // Beyond a double's range: infinity or zero, with the number's sign, as strtod.
    const double value = Scale(digits, exponent);
    return negative ? -value : value;
}

}  // namespace velmora
