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
// The double of a whole lexeme (sign included) of any length, correctly
// rounded.
double lexeme_to_double(const char *lexeme, uint64_t length);

}  // namespace zvl::json
