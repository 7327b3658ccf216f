// Decimal text to the nearest double (ties to even), the one converter every
// layer's number reads go through.
//
// The usual texts (at most 19 significant digits) take one 64 x 128-bit
// product with the power of ten from core/pow10_table; the product is short
// of the exact value by less than one unit of its last word, and the result
// stands whenever no rounding boundary falls inside that gap. Longer texts
// are cut to 19 digits, and the cut value and the next one up must round
// alike. What is left, rarely, goes to exact big-integer arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zvl {

// The whole text as [+-] digits [. digits] [(e|E) [+-] digits] with at least
// one mantissa digit ("5.", ".5" and "05" are taken). Any number of digits
// and any exponent: overflow gives an infinity, underflow a zero, both with
// the text's sign. False, and out untouched, for any other text.
bool decimal_to_double(const char *text, size_t length, double &out);

// The double nearest w x 10^q, negated when negative is set.
double decimal_parts_to_double(uint64_t w, int64_t q, bool negative);

}  // namespace zvl
