// The small JSON kernels: whitespace, strings, literals and numbers. None of
// them allocates or records an error; each reads only inside [0, len).
#include <cstring>

#include "core/decimal_to_double.hpp"
#include "core/kernels.hpp"
#include "json/grammar.hpp"
#include "json/number_value.hpp"
#include "zarvel.h"

namespace zvl::json {

int64_t scan_string(const char *text, uint64_t len, uint64_t open, bool *escaped) {
    *escaped = false;
    if (open >= len || text[open] != '"') return -1;
    uint64_t p = open + 1;
    // Most strings (keys above all) are short: a look at eight bytes settles
    // them before the table's search kernel is worth calling.
    uint64_t look_end = len - p < 8 ? len : p + 8;
    for (; p < look_end; ++p) {
        char c = text[p];
        if (c == '"') return static_cast<int64_t>(p);
        if (has_class(c, class_string_stop)) break;
    }
    const zarvel_kernels *kernels = zarvel_kernels_get();
    for (;;) {
        int64_t found = kernels->find_json_special(text + p, len - p);
        if (found < 0) return -1;
        p += static_cast<uint64_t>(found);
        char c = text[p];
        if (c == '"') return static_cast<int64_t>(p);
        if (c != '\\') return -1;  // a raw control byte
        uint64_t length = escape_length(text, len, p);
        if (length == 0) return -1;
        *escaped = true;
        p += length;
    }
}

double lexeme_to_double(const char *lexeme, uint64_t length) {
    double value = 0;
    decimal_to_double(lexeme, length, value);
    return value;
}

uint32_t number_kind(const number_lexeme &lexeme) {
    if (lexeme.is_float) return ZVL_JSON_NUMBER_FLOAT;
    uint64_t limit = lexeme.negative ? (1ull << 63) : (1ull << 63) - 1;
    if (lexeme.overflow || lexeme.magnitude > limit) return ZVL_JSON_NUMBER_BIG;
    return ZVL_JSON_NUMBER_INT;
}

int64_t number_int_value(const number_lexeme &lexeme) {
    // Negating in unsigned arithmetic yields -2^63 exactly for the minimum.
    uint64_t bits = lexeme.negative ? 0 - lexeme.magnitude : lexeme.magnitude;
    int64_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace zvl::json

using namespace zvl::json;

int32_t zvl_json_ws(const char *text, uint64_t len, uint64_t *pos, int32_t *saw_tab) {
    uint64_t p = *pos;
    for (; p < len; ++p) {
        char c = text[p];
        if (in_bits(plain_ws_bits, c)) continue;
        *pos = p;
        if (c == '\t') {
            if (saw_tab) *saw_tab = 1;
            return 0;
        }
        return 1;
    }
    *pos = p;
    return -1;
}

int32_t zvl_json_string(const char *text, uint64_t len, uint64_t *pos, uint64_t *close, int32_t *has_escape) {
    bool escaped;
    int64_t closing = scan_string(text, len, *pos, &escaped);
    if (closing < 0) return 0;
    if (close) *close = static_cast<uint64_t>(closing);
    if (has_escape) *has_escape = escaped ? 1 : 0;
    *pos = static_cast<uint64_t>(closing) + 1;
    return 1;
}

int32_t zvl_json_literal(const char *text, uint64_t len, uint64_t *pos, const char *word) {
    uint64_t p = *pos;
    size_t n = std::strlen(word);
    if (p > len || len - p < n || std::memcmp(text + p, word, n) != 0) return 0;
    p += n;
    *pos = p;
    return delimiter_at(text, len, p) ? 1 : 0;
}

int32_t zvl_json_number(const char *text, uint64_t len, uint64_t *pos) {
    number_lexeme lexeme;
    if (!scan_number(text, len, *pos, &lexeme, false)) return 0;
    *pos = lexeme.end;
    return 1;
}

int32_t zvl_json_number_scan(const char *text, uint64_t len, uint64_t *pos, uint32_t *kind, int64_t *ival,
                             double *dval) {
    number_lexeme lexeme;
    uint64_t start = *pos;
    bool want_value = kind || ival || dval;
    if (!scan_number(text, len, start, &lexeme, want_value)) return 0;
    if (want_value) {
        uint32_t k = number_kind(lexeme);
        if (kind) *kind = k;
        if (k == ZVL_JSON_NUMBER_INT) {
            if (ival) *ival = number_int_value(lexeme);
        } else if (dval) {
            *dval = lexeme_to_double(text + start, lexeme.end - start);
        }
    }
    *pos = lexeme.end;
    return 1;
}

int32_t zvl_json_number_shape(const char *text, uint64_t len, uint64_t *pos, int32_t *is_float) {
    number_lexeme lexeme;
    if (!scan_number(text, len, *pos, &lexeme, false)) return 0;
    if (is_float) *is_float = lexeme.is_float ? 1 : 0;
    *pos = lexeme.end;
    return 1;
}
