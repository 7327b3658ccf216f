// Streaming JSON visitor: a recursive-descent reader that calls the visitor
// as it goes and builds nothing (only escaped strings use a scratch buffer).
#include <cstring>

#include "core/limits.hpp"
#include "core/memory.hpp"
#include "emit/visit.hpp"

namespace {

using zvl::visit::call;

constexpr uint32_t max_depth = zvl::nesting_limit;

enum class outcome { ok, syntax, stopped, too_deep };

class json_reader {
  public:
    json_reader(const char *text, uint64_t len, const zarvel_visitor *v, void *user)
        : text_(text), len_(len), v_(v), user_(user) {}

    int32_t run() {
        outcome o = value();
        if (o == outcome::ok) {
            skip_blanks();
            if (pos_ != len_) o = outcome::syntax;
        }
        switch (o) {
        case outcome::ok: return 0;
        case outcome::syntax: return 1;
        case outcome::too_deep: return 3;
        default: return 2;
        }
    }

  private:
    void skip_blanks() {
        while (pos_ < len_) {
            char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }
    static outcome go(bool on) { return on ? outcome::ok : outcome::stopped; }

    outcome string(bool is_key) {
        uint64_t close = 0;
        int32_t escaped = 0;
        const uint64_t open = pos_;
        if (zvl_json_string(text_, len_, &pos_, &close, &escaped) != 1) return outcome::syntax;
        const char *body = text_ + open + 1;
        uint64_t length = close - open - 1;
        if (escaped) {
            // Decoded text is never longer than the raw body.
            if (!scratch_.reserve(size_t(length))) return outcome::stopped;
            length = zvl_finish_double_into(text_, open + 1, close, scratch_.data(), length);
            body = scratch_.data();
        }
        if (is_key && v_->on_key) return go(call(v_, &zarvel_visitor::on_key, user_, body, length));
        return go(call(v_, &zarvel_visitor::on_string, user_, body, length));
    }

    outcome number() {
        const uint64_t start = pos_;
        if (zvl_json_number(text_, len_, &pos_) != 1) return outcome::syntax;
        const uint64_t length = pos_ - start;
        if (length > UINT32_MAX) return outcome::syntax;
        const char *lexeme = text_ + start;
        bool is_float =
            std::memchr(lexeme, '.', length) || std::memchr(lexeme, 'e', length) || std::memchr(lexeme, 'E', length);
        if (!is_float) {
            int64_t i;
            if (zvl_num_i64(lexeme, uint32_t(length), &i) == 0) return go(call(v_, &zarvel_visitor::on_int, user_, i));
        }
        double d;
        if (zvl_num_f64(lexeme, uint32_t(length), &d) != 0) {
            // The resolver refuses very long texts; the JSON number reader
            // takes any number the grammar accepted.
            uint64_t at = 0;
            uint32_t kind = 0;
            int64_t ival = 0;
            if (zvl_json_number_scan(lexeme, length, &at, &kind, &ival, &d) != 1 || at != length)
                return outcome::syntax;
            if (kind == ZVL_JSON_NUMBER_INT) d = double(ival);
        }
        return go(call(v_, &zarvel_visitor::on_double, user_, d));
    }

    outcome literal(const char *word) {
        if (zvl_json_literal(text_, len_, &pos_, word) != 1) return outcome::syntax;
        if (word[0] == 'n') return go(call(v_, &zarvel_visitor::on_null, user_));
        return go(call(v_, &zarvel_visitor::on_bool, user_, int32_t(word[0] == 't' ? 1 : 0)));
    }

    outcome collection(bool is_object) {
        if (depth_ >= max_depth) return outcome::too_deep;
        ++depth_;
        ++pos_;
        if (!call(v_, is_object ? &zarvel_visitor::on_map_start : &zarvel_visitor::on_seq_start, user_))
            return outcome::stopped;
        const char closing = is_object ? '}' : ']';
        skip_blanks();
        if (pos_ < len_ && text_[pos_] == closing) {
            ++pos_;
        } else {
            for (;;) {
                if (is_object) {
                    skip_blanks();
                    if (pos_ >= len_ || text_[pos_] != '"') return outcome::syntax;
                    if (outcome o = string(true); o != outcome::ok) return o;
                    skip_blanks();
                    if (pos_ >= len_ || text_[pos_] != ':') return outcome::syntax;
                    ++pos_;
                }
                if (outcome o = value(); o != outcome::ok) return o;
                skip_blanks();
                if (pos_ >= len_) return outcome::syntax;
                char c = text_[pos_++];
                if (c == closing) break;
                if (c != ',') return outcome::syntax;
            }
        }
        --depth_;
        return go(call(v_, is_object ? &zarvel_visitor::on_map_end : &zarvel_visitor::on_seq_end, user_));
    }

    outcome value() {
        skip_blanks();
        if (pos_ >= len_) return outcome::syntax;
        char c = text_[pos_];
        if (c == '"') return string(false);
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        if (c == '[') return collection(false);
        if (c == '{') return collection(true);
        return outcome::syntax;
    }

    const char *text_;
    uint64_t len_;
    uint64_t pos_ = 0;
    uint32_t depth_ = 0;
    const zarvel_visitor *v_;
    void *user_;
    zvl::buffer<char, 64> scratch_;
};

}  // namespace

int32_t zarvel_visit_json(const char *text, uint64_t length, const zarvel_visitor *visitor, void *user) {
    if (!visitor || (!text && length)) return 6;
    json_reader reader(text ? text : "", length, visitor, user);
    return reader.run();
}
