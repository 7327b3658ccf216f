// The container levels that every JSON automaton here (validator, stepper,
// tape builders) keeps: the container type and one state byte per level.
#pragma once

#include <cstdint>

namespace zvl::json {

enum class container : uint8_t { array = 0, object = 1 };

// What a level accepts next.
enum class level_state : uint8_t {
    array_open = 0,      // a value or "]"
    value_expected = 1,  // array after ",", object after ":": a value
    object_open = 2,     // a string key or "}"
    key_expected = 3,    // object after ",": a string key
    colon_expected = 4,  // object after a key: ":"
    after_value = 5      // "," or the closing bracket
};

inline bool closes_here(level_state s) {
    return s == level_state::array_open || s == level_state::object_open || s == level_state::after_value;
}
inline bool takes_value(level_state s) { return s == level_state::array_open || s == level_state::value_expected; }
inline bool takes_key(level_state s) { return s == level_state::object_open || s == level_state::key_expected; }

}  // namespace zvl::json
