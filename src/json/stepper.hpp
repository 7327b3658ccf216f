// The JSON stepper: reads a JSON-shaped flow collection token by token for
// the YAML reader and the document builder, without allocating and without
// recording errors. A refusal only tells the caller to take its general
// path.
//
// Use:
//   json_stepper s;
//   if (!json_stepper_init(&s, text, len, bracket_offset, max_depth)) ...;
//   s.string_keys = 1;             // optional: keys must be strings
//   json_token t;
//   int r;
//   while ((r = json_stepper_next(&s, &t)) == json_step_token) { ...t... }
//   // r == json_step_closed: s.close is the outermost closing bracket,
//   //   s.cursor the byte after it; s.long_key tells whether a key passed
//   //   1024 bytes. r == json_step_refused: not acceptable here (s.saw_tab
//   //   is set when a tab stopped it).
//
// Tokens are the values and brackets: "," and ":" are checked and consumed
// between them. The caller tells keys from values by token.is_key.
#pragma once

#include <cstdint>

#include "core/limits.hpp"
#include "json/levels.hpp"

// At most this many levels are open at once (the outermost one included).
inline constexpr uint32_t json_stepper_levels = zvl::fast_levels;

// A key (quotes included) longer than this is flagged: the YAML limit on
// implicit keys.
inline constexpr uint64_t json_stepper_long_key = zvl::implicit_key_limit;

enum json_step_result : int {
    json_step_token = 0,   // a token was produced
    json_step_closed = 1,  // the outermost container was closed
    json_step_refused = 2  // end of text, a tab, or text that is not acceptable here
};

struct json_token {
    uint8_t kind;          // '[' '{' ']' '}', '"' string, '#' number, 'a' literal
    uint8_t has_escape;    // string: the body holds an escape
    uint8_t is_float;      // number: fraction or exponent (number_kind 1)
    uint8_t is_key;        // scalar in key position of an object
    uint32_t number_kind;  // ZVL_JSON_NUMBER_INT, _FLOAT or _BIG
    uint64_t start;        // first byte (the opening quote of a string)
    uint64_t end;          // the byte after the token
    int64_t int_value;     // number of kind 0
    double double_value;   // number of kind 1 or 2
};

struct json_stepper {
    const char *text;
    uint64_t length;
    uint32_t max_depth;
    uint64_t cursor;
    uint64_t close;       // offset of the outermost closing bracket, once closed
    uint8_t long_key;     // a key longer than json_stepper_long_key was read
    uint8_t saw_tab;      // a tab stopped the stepper
    uint8_t string_keys;  // option, set after init: keys must be strings
    uint8_t closed;       // the outermost container is closed
    uint32_t depth;       // open levels; level k is at index k - 1
    zvl::json::container types[json_stepper_levels];
    zvl::json::level_state states[json_stepper_levels];
};

// text[pos] must be "[" or "{" (false otherwise): opens level 1 with it and
// puts the cursor after it. Flags and string_keys are cleared.
bool json_stepper_init(json_stepper *stepper, const char *text, uint64_t len, uint64_t pos, uint32_t max_depth);
// One token; see json_step_result.
int json_stepper_next(json_stepper *stepper, json_token *token);
