// Text forms of scalars and properties: quoting, escaping, percent-encoding,
// literal block scalars. Each writes straight into the writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/word.hpp"
#include "emit/writer.hpp"

namespace zvl {

// The JSON word of a scalar resolved as a bool: true for its four-byte
// forms starting t or T, false for the others.
inline const char *json_bool_word(std::string_view t) {
    return t.size() == 4 && (t[0] == 't' || t[0] == 'T') ? "true" : "false";
}

// 'text' with every quote doubled.
void write_single_quoted(zarvel_writer &w, std::string_view text);
// "text" with the YAML escapes (controls, quote, backslash, C1 controls,
// U+2028, U+2029, U+FEFF, U+FFFE, U+FFFF).
void write_double_quoted(zarvel_writer &w, std::string_view text);
// "text" with the JSON escapes; bytes of 0x7F and above are copied.
void write_json_string(zarvel_writer &w, std::string_view text);
// The same JSON string written straight to `out`, which has room for
// json_string_room(text.size()) bytes; returns the end of what it wrote.
inline constexpr uint64_t json_string_room(uint64_t length) { return 6 * length + 2 + 8; }
char *write_json_string_raw(char *out, std::string_view text);

// 0x80 in each byte of w that a JSON string escapes (below 0x20, a quote, a
// backslash), exactly.
inline uint64_t json_escaped_bytes(uint64_t w) {
    return word::below_bytes(w, 0x20) | word::equal_bytes(w, '"') | word::equal_bytes(w, '\\');
}

// write_json_string_raw with the usual short texts moved in one or two words
// when nothing in them is escaped; `backed`: the 8 bytes that end with the
// text may be read (it lies at least that far into its buffer).
inline char *write_json_string_short(char *out, std::string_view text, bool backed) {
    const size_t n = text.size();
    const char *p = text.data();
    if (n >= 8 && n <= 16) {
        const uint64_t a = word::load(p), b = word::load(p + n - 8);
        if (!(json_escaped_bytes(a) | json_escaped_bytes(b))) {
            out[0] = '"';
            std::memcpy(out + 1, &a, 8);
            std::memcpy(out + 1 + n - 8, &b, 8);
            out[n + 1] = '"';
            return out + n + 2;
        }
    } else if (n == 0) {
        out[0] = '"';
        out[1] = '"';
        return out + 2;
    } else if (n < 8 && backed) {
        const uint64_t b = word::load(p + n - 8);
        const unsigned below = unsigned(8 * (8 - n));  // bits of the bytes before the text
        if (!(json_escaped_bytes(b) >> below)) {
            const uint64_t t = b >> below;
            out[0] = '"';
            std::memcpy(out + 1, &t, 8);
            out[n + 1] = '"';
            return out + n + 2;
        }
    }
    return write_json_string_raw(out, text);
}
// Literal block scalar whose lines stand at indent + 2; header "|" with its
// chomping and indentation indicators.
void write_literal(zarvel_writer &w, std::string_view text, uint64_t indent);
// Tag bytes outside the URI character set as %XX (upper-case hex).
void write_percent_encoded(zarvel_writer &w, std::string_view text);
// Decimal number.
void write_decimal(zarvel_writer &w, uint64_t value);

}  // namespace zvl
