// Values of number lexemes that the JSON grammar accepted.
#pragma once

#include <cstdint>

#include "json/grammar.hpp"
#include "zarvel.h"

namespace zvl::json {

// ZVL_JSON_NUMBER_INT, _FLOAT or _BIG for an accepted lexeme.
uint32_t number_kind(const number_lexeme &lexeme);
// The integer of a lexeme of kind ZVL_JSON_NUMBER_INT.
int64_t number_int_value(const number_lexeme &lexeme);
// The double of a whole lexeme (sign included), correctly rounded.
double lexeme_to_double(const char *lexeme, uint64_t length);
// The same for lexemes of any length, without the 79-byte limit of
// zvl_num_f64: significant digits are kept up to the rounding horizon.
double long_lexeme_to_double(const char *lexeme, uint64_t length);

}  // namespace zvl::json
