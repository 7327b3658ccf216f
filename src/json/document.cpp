// Whole-document JSON validation: a push-down automaton over a bounded
// number of open containers (255 for the exported kernel) that reports the
// exact offset where the text stops being JSON. Level 0 is the top, where
// one value ends the document.
#include <cstdint>

#include "core/limits.hpp"
#include "json/grammar.hpp"
#include "json/validate.hpp"
#include "json/levels.hpp"
#include "json/string_scan.hpp"
#include "zarvel.h"

namespace zvl::json {
namespace {

inline constexpr uint32_t kernel_max_open = zvl::fast_levels - 1;
inline constexpr uint32_t most_open = zvl::nesting_limit;

class validator {
  public:
    validator(const char *text, uint64_t len, uint32_t max_open)
        : text_(text), len_(len), max_open_(max_open < most_open ? max_open : most_open) {}

    // The failure was an opening bracket past the open-container limit.
    bool too_deep = false;

    // True when the text is one JSON value; else false with *failed_at set.
    bool run(uint64_t *failed_at) {
        uint64_t p = skip_ws(0);
        for (;;) {
            if (p >= len_) return fail(failed_at, len_);
            char c = text_[p];
            switch (c) {
            case '[':
            case '{':
                if (!value_expected()) return fail(failed_at, p);
                if (depth_ == max_open_) {
                    too_deep = true;
                    return fail(failed_at, p);
                }
                ++depth_;
                types_[depth_] = c == '[' ? container::array : container::object;
                states_[depth_] = c == '[' ? level_state::array_open : level_state::object_open;
                p = skip_ws(p + 1);
                continue;
            case ']':
            case '}': {
                if (depth_ == 0) return fail(failed_at, p);
                container wanted = c == ']' ? container::array : container::object;
                level_state s = states_[depth_];
                if (types_[depth_] != wanted ||
                    !(s == level_state::array_open || s == level_state::object_open || s == level_state::after_value))
                    return fail(failed_at, p);
                --depth_;
                ++p;
                break;
            }
            case ':':
                if (depth_ == 0 || states_[depth_] != level_state::colon_expected) return fail(failed_at, p);
                states_[depth_] = level_state::value_expected;
                p = skip_ws(p + 1);
                continue;
            case ',':
                if (depth_ == 0 || states_[depth_] != level_state::after_value) return fail(failed_at, p);
                states_[depth_] =
                    types_[depth_] == container::object ? level_state::key_expected : level_state::value_expected;
                p = skip_ws(p + 1);
                continue;
            case '"': {
                bool key = key_expected();
                if (!key && !value_expected()) return fail(failed_at, p);
                bool escaped;
                // Same answer as zvl_json_string, sixteen bytes per step.
                int64_t closing = scan_string_fast<false>(text_, len_, p, &escaped);
                if (closing < 0) return fail(failed_at, p);
                p = static_cast<uint64_t>(closing) + 1;
                if (key) {
                    states_[depth_] = level_state::colon_expected;
                    p = skip_ws(p);
                    continue;
                }
                break;
            }
            default: {
                if (!value_expected()) return fail(failed_at, p);
                uint64_t end;
                if (!scalar(p, &end, failed_at)) return false;
                p = end;
                break;
            }
            }
            // A value (scalar or closed container) ended at p.
            if (depth_ == 0) {
                p = skip_ws(p);
                if (p < len_) return fail(failed_at, p);
                return true;
            }
            states_[depth_] = level_state::after_value;
            p = skip_ws(p);
        }
    }

  private:
    uint64_t skip_ws(uint64_t p) const { return json::skip_ws<all_ws_bits>(text_, len_, p); }
    bool value_expected() const {
        if (depth_ == 0) return true;
        level_state s = states_[depth_];
        return s == level_state::array_open || s == level_state::value_expected;
    }
    bool key_expected() const {
        if (depth_ == 0) return false;
        level_state s = states_[depth_];
        return s == level_state::object_open || s == level_state::key_expected;
    }
    static bool fail(uint64_t *failed_at, uint64_t at) {
        *failed_at = at;
        return false;
    }

    // A number or literal at p: a bad number is reported at its first byte, a
    // misspelt literal too, a literal without a delimiter after it at the byte
    // that follows it.
    bool scalar(uint64_t p, uint64_t *end, uint64_t *failed_at) const {
        char c = text_[p];
        if (c == '-' || is_digit(c)) {
            number_lexeme lexeme;
            if (!scan_number(text_, len_, p, &lexeme, false)) return fail(failed_at, p);
            *end = lexeme.end;
            return true;
        }
        const char *word = c == 't' ? "true" : c == 'f' ? "false" : c == 'n' ? "null" : nullptr;
        if (!word) return fail(failed_at, p);
        uint64_t cursor = p;
        if (!zvl_json_literal(text_, len_, &cursor, word)) return fail(failed_at, cursor == p ? p : cursor);
        *end = cursor;
        return true;
    }

    const char *text_;
    uint64_t len_;
    uint32_t max_open_;
    uint32_t depth_ = 0;
    container types_[most_open + 1];
    level_state states_[most_open + 1];
};

}  // namespace
}  // namespace zvl::json

zvl::json_validation zvl::json_validate(const char *text, uint64_t len, uint32_t max_open) {
    json::validator v(text, len, max_open);
    json_validation result;
    result.valid = v.run(&result.failed_at);
    if (result.valid) result.failed_at = 0;
    result.too_deep = v.too_deep;
    return result;
}

int32_t zvl_json_document(const char *text, uint64_t len, uint64_t *err_pos) {
    if (err_pos) *err_pos = 0;
    if (!text && len) return 0;
    zvl::json_validation v = zvl::json_validate(text, len, zvl::json::kernel_max_open);
    if (v.valid) return 1;
    if (err_pos) *err_pos = v.failed_at;
    return 0;
}
