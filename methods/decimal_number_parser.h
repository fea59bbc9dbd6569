#pragma once

#include <cstddef>

namespace velmora {

// Reads the longest leading decimal number of at most `limit` characters of `text`
// (and never more than 48): leading white space, an optional sign, digits with at most
// one decimal point, then an optional exponent introduced by E, e, D or d. Text that
// does not begin with a number gives 0.0. Independent of the C locale, so a host's
// decimal comma cannot change it.
double ParseDecimalNumber(const char* text, std::size_t limit);

}  // namespace velmora
