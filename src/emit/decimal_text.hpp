// Shortest text of the double that a decimal float text denotes, read
// without the runtime's conversion for the common spellings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emit/format_double.hpp"

namespace zvl {

// zarvel_format_double of the value of a decimal text
// [+-]digits[.digits][(e|E)[+-]digits] (or [+-].digits...), the same
// characters, or 0 when the text needs the general conversion: another
// spelling, more than 19 significant digits, an exponent beyond the table,
// a result that is subnormal or beyond the largest double, or a product too
// close to a rounding boundary to tell (zeros are written here). Texts of at
// most 15 significant digits in the normal range are their own shortest
// digits and need no conversion at all.
int32_t format_decimal_text(char *buffer, const char *text, size_t length);

}  // namespace zvl
