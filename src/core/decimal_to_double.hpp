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

#include <bit>
#include <cstddef>
#include <cstdint>

namespace zvl {

namespace decimal {
// The usual JSON fractions (a few integer digits, a point, up to sixteen
// more) on a quick way, for a text of at least three bytes, as the bits of
// the double; not_taken, a NaN it never gives otherwise, for any other
// text. The bits come back in a register: a build keeping many numbers
// calls it with no slot for a result.
inline constexpr uint64_t not_taken = ~uint64_t(0);
uint64_t quick_bits(const char *text, size_t length);
// The same as a double; false, out untouched, for any other text.
inline bool quick(const char *text, size_t length, double &out) {
    const uint64_t bits = quick_bits(text, length);
    if (bits == not_taken) return false;
    out = std::bit_cast<double>(bits);
    return true;
}
// Every text.
bool general(const char *text, size_t length, double &out);
}  // namespace decimal

// The whole text as [+-] digits [. digits] [(e|E) [+-] digits] with at least
// one mantissa digit ("5.", ".5" and "05" are taken). Any number of digits
// and any exponent: overflow gives an infinity, underflow a zero, both with
// the text's sign. False, and out untouched, for any other text. Inline, so
// that a reader's call goes straight to the quick way.
inline bool decimal_to_double(const char *text, size_t length, double &out) {
    if (length >= 3 && text && decimal::quick(text, length, out)) return true;
    return decimal::general(text, length, out);
}

// The double nearest w x 10^q, negated when negative is set.
double decimal_parts_to_double(uint64_t w, int64_t q, bool negative);

}  // namespace zvl
