// Plain JSON: the plain data walk written as strict JSON without blanks.
#include <cmath>

#include "emit/decimal_text.hpp"
#include "emit/format_double.hpp"
#include "emit/plain_output.hpp"
#include "emit/scalar_text.hpp"

namespace zvl::plain {
namespace {

class json_sink {
  public:
    static constexpr bool typed_keys = false;
    static constexpr bool fast_json = true;

    json_sink(zarvel_writer &w, const zarvel_node_store *store, const settings &s)
        : w_(w), store_(store), non_finite_(s.non_finite) {}

    const char *reason() const { return reason_; }

    bool begin(uint8_t kind, uint32_t) {
        put_byte(w_, kind == ZARVEL_KIND_MAPPING ? '{' : '[');
        return true;
    }
    bool end(uint8_t kind) {
        put_byte(w_, kind == ZARVEL_KIND_MAPPING ? '}' : ']');
        return true;
    }
    bool separator(uint32_t index) {
        if (index) put_byte(w_, ',');
        return true;
    }
    // Keys write their colon (in the same room as the key).
    bool colon() { return true; }
    bool collection_key() {
        reason_ = message::collection_key;
        return false;
    }
    void document_end() { put_byte(w_, '\n'); }

    bool scalar(const plain::scalar &v, bool key) {
        if (key) {
            std::string_view text = v.text;
            if (v.kind != kind::string) {
                scratch_.clear();
                if ((reason_ = key_text(store_, v, scratch_, text))) return false;
            }
            if (char *p = writer_reserve(w_, json_string_room(text.size()) + 1)) {
                char *end = write_json_string_raw(p, text);
                *end++ = ':';
                commit(p, end);
                return true;
            }
            write_json_string(w_, text);
            put_byte(w_, ':');
            return true;
        }
        switch (v.kind) {
        case kind::null: put(w_, "null"); return true;
        case kind::boolean: put(w_, v.boolean ? "true" : "false"); return true;
        case kind::integer:
            if (v.canonical) {
                put(w_, v.text);
                return true;
            }
            if (v.integer < 0) put_byte(w_, '-');
            write_decimal(w_, v.integer < 0 ? 0 - uint64_t(v.integer) : uint64_t(v.integer));
            return true;
        case kind::big_integer: {
            scratch_.clear();
            std::string_view text;
            if ((reason_ = key_text(store_, v, scratch_, text))) return false;
            put(w_, text);
            return true;
        }
        case kind::floating: return floating(v.text);
        case kind::string: return string(v.text);
        case kind::binary: {
            uint64_t length = 0;
            if ((reason_ = base64_compact(v.text, scratch_, length))) return false;
            return string(std::string_view(scratch_.data(), scratch_.size()));
        }
        case kind::bytes: put_base64_quoted(w_, v.text); return true;
        }
        return true;
    }

  private:
    // Bytes written straight at writer_reserve's room (no line feeds: JSON
    // strings escape theirs).
    void commit(char *start, char *end) {
        const uint64_t n = uint64_t(end - start);
        w_.length += n;
        w_.column += n;
        w_.last = uint8_t(end[-1]);
    }
    bool string(std::string_view t) {
        if (char *p = writer_reserve(w_, json_string_room(t.size()))) {
            commit(p, write_json_string_raw(p, t));
            return true;
        }
        write_json_string(w_, t);
        return true;
    }

    bool floating(std::string_view t) {
        // The usual decimal spellings go straight to their shortest text.
        if (char *p = writer_reserve(w_, 32)) {
            if (const int32_t n = format_decimal_text(p, t.data(), t.size())) {
                commit(p, p + n);
                return true;
            }
        }
        double d = 0;
        if (!read_float(t, d)) {
            reason_ = message::not_float;
            return false;
        }
        char digits[32];
        if (const int32_t n = zarvel_format_double(digits, d)) {
            put_line_free(w_, digits, uint64_t(n));
            return true;
        }
        switch (non_finite_) {
        case ZARVEL_PLAIN_NON_FINITE_NULL: put(w_, "null"); return true;
        case ZARVEL_PLAIN_NON_FINITE_STRING:
            put(w_, std::isnan(d) ? "\"NaN\"" : d < 0 ? "\"-Infinity\"" : "\"Infinity\"");
            return true;
        default: reason_ = std::isnan(d) ? message::nan_in_json : message::infinity_in_json; return false;
        }
    }

    zarvel_writer &w_;
    const zarvel_node_store *store_;
    uint32_t non_finite_;
    const char *reason_ = nullptr;
    buffer<char> scratch_;
};

}  // namespace
}  // namespace zvl::plain

using zvl::plain::json_sink;

char *zarvel_plain_json(zarvel_document *document, uint64_t *out_len, int32_t *status) {
    return zvl::plain::plain_allocated<json_sink>(document, nullptr, out_len, status);
}

char *zarvel_plain_json_ex(zarvel_document *document, const zarvel_plain_options *options, uint64_t *out_len,
                           int32_t *status) {
    return zvl::plain::plain_allocated<json_sink>(document, options, out_len, status);
}

int32_t zarvel_plain_json_into(zarvel_document *document, const zarvel_plain_options *options, char *buffer,
                               uint64_t capacity, uint64_t *out_len) {
    return zvl::plain::plain_into<json_sink>(document, options, buffer, capacity, out_len, true);
}

int32_t zarvel_plain_json_stream(zarvel_document *document, const zarvel_plain_options *options,
                                 zarvel_write_fn callback, void *user, uint64_t *out_len) {
    return zvl::plain::plain_stream<json_sink>(document, options, callback, user, out_len);
}
