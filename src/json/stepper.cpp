// The JSON stepper's transition table over the validator's level states.
//
//   token        accepted when                                  new state
//   [ {          a value is expected (state 0, 1), or a key     push; the parent is set to
//                (state 2, 3) unless string_keys; fewer than    5 (value) or 4 (key), which
//                256 and max_depth levels open                  it takes when the child closes
//   ] }          type matches, state 0, 2 or 5                  pop (closing level 1 ends)
//   :            object, state 4                                1
//   ,            state 5                                        3 object, 1 array
//   scalar       array 0/1, object 1                            5
//   scalar       object 2: a string, any scalar w/o string_keys 4
//   scalar       object 3: a string                             4
//
// A container is never taken after a key or a value without its ":" or ","
// first, and a container key makes its parent expect ":" once it closes:
// otherwise "[1 [2]]" or "{[1], 2}" would step through as collections of the
// wrong shape.
#include "json/stepper.hpp"

#include "json/grammar.hpp"
#include "zarvel.h"

using zvl::json::container;
using zvl::json::level_state;

bool json_stepper_init(json_stepper *stepper, const char *text, uint64_t len, uint64_t pos, uint32_t max_depth) {
    if (!text || pos >= len || (text[pos] != '[' && text[pos] != '{')) return false;
    stepper->text = text;
    stepper->length = len;
    stepper->max_depth = max_depth;
    stepper->cursor = pos + 1;
    stepper->close = 0;
    stepper->long_key = 0;
    stepper->saw_tab = 0;
    stepper->string_keys = 0;
    stepper->closed = 0;
    stepper->depth = 1;
    bool array = text[pos] == '[';
    stepper->types[0] = array ? container::array : container::object;
    stepper->states[0] = array ? level_state::array_open : level_state::object_open;
    return true;
}

namespace {

// A scalar token at the cursor; false when the kernels refuse it.
bool read_scalar(json_stepper *s, json_token *token) {
    const char *text = s->text;
    uint64_t p = s->cursor;
    char c = text[p];
    token->start = p;
    token->has_escape = 0;
    token->is_float = 0;
    token->number_kind = 0;
    token->int_value = 0;
    token->double_value = 0;
    if (c == '"') {
        int32_t escaped = 0;
        if (!zvl_json_string(text, s->length, &p, nullptr, &escaped)) return false;
        token->kind = '"';
        token->has_escape = static_cast<uint8_t>(escaped);
    } else if (c == '-' || zvl::json::is_digit(c)) {
        uint32_t kind = 0;
        if (!zvl_json_number_scan(text, s->length, &p, &kind, &token->int_value, &token->double_value)) return false;
        token->kind = '#';
        token->number_kind = kind;
        token->is_float = kind == ZVL_JSON_NUMBER_FLOAT;
    } else {
        const char *word = c == 't' ? "true" : c == 'f' ? "false" : c == 'n' ? "null" : nullptr;
        if (!word || !zvl_json_literal(text, s->length, &p, word)) return false;
        token->kind = 'a';
    }
    token->end = p;
    s->cursor = p;
    return true;
}

}  // namespace

int json_stepper_next(json_stepper *s, json_token *token) {
    if (s->closed) return json_step_closed;
    for (;;) {
        int32_t tab = 0;
        int ws = zvl_json_ws(s->text, s->length, &s->cursor, &tab);
        if (ws < 0) return json_step_refused;
        if (ws == 0) {
            s->saw_tab = 1;
            return json_step_refused;
        }
        uint32_t level = s->depth - 1;
        container type = s->types[level];
        level_state state = s->states[level];
        uint64_t p = s->cursor;
        char c = s->text[p];
        switch (c) {
        case '[':
        case '{': {
            bool as_value = zvl::json::takes_value(state);
            bool as_key = zvl::json::takes_key(state) && !s->string_keys;
            if (!as_value && !as_key) return json_step_refused;
            if (s->depth >= json_stepper_levels || s->depth >= s->max_depth) return json_step_refused;
            s->states[level] = as_value ? level_state::after_value : level_state::colon_expected;
            bool array = c == '[';
            s->types[s->depth] = array ? container::array : container::object;
            s->states[s->depth] = array ? level_state::array_open : level_state::object_open;
            ++s->depth;
            s->cursor = p + 1;
            *token = json_token{};
            token->kind = static_cast<uint8_t>(c);
            token->start = p;
            token->end = p + 1;
            token->is_key = as_value ? 0 : 1;
            return json_step_token;
        }
        case ']':
        case '}': {
            container wanted = c == ']' ? container::array : container::object;
            if (type != wanted || !zvl::json::closes_here(state)) return json_step_refused;
            --s->depth;
            s->cursor = p + 1;
            *token = json_token{};
            token->kind = static_cast<uint8_t>(c);
            token->start = p;
            token->end = p + 1;
            if (s->depth == 0) {
                s->closed = 1;
                s->close = p;
                return json_step_closed;
            }
            return json_step_token;
        }
        case ':':
            if (state != level_state::colon_expected) return json_step_refused;
            s->states[level] = level_state::value_expected;
            s->cursor = p + 1;
            continue;
        case ',':
            if (state != level_state::after_value) return json_step_refused;
            s->states[level] = type == container::object ? level_state::key_expected : level_state::value_expected;
            s->cursor = p + 1;
            continue;
        default: break;
        }
        bool key = zvl::json::takes_key(state);
        if (key) {
            bool string = c == '"';
            if (!string && (s->string_keys || state == level_state::key_expected)) return json_step_refused;
        } else if (!zvl::json::takes_value(state)) {
            return json_step_refused;
        }
        if (!read_scalar(s, token)) return json_step_refused;
        token->is_key = key ? 1 : 0;
        if (key && token->end - token->start > json_stepper_long_key) s->long_key = 1;
        s->states[level] = key ? level_state::colon_expected : level_state::after_value;
        return json_step_token;
    }
}
