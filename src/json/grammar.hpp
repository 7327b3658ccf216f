// JSON character classes, the escape rule and the one number grammar that
// every JSON kernel, builder and stepper shares.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "core/word.hpp"

namespace zvl::json {

// ---- character classes -----------------------------------------------------

enum char_class : uint8_t {
    class_ws = 1,           // space, tab, line feed, carriage return
    class_delimiter = 2,    // whitespace or , : ] }: may follow a scalar
    class_structural = 4,   // { } [ ] , :
    class_digit = 8,        // 0-9
    class_hex = 16,         // 0-9 A-F a-f
    class_number_run = 32,  // digits + - . e E: the bytes of a number token
    class_string_stop = 64  // " \ and bytes below 0x20: end the plain part of a string body
};

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> table{};
    for (int c : {' ', '\t', '\n', '\r'}) table[c] |= class_ws | class_delimiter;
    for (int c : {',', ':', ']', '}'}) table[c] |= class_delimiter;
    for (int c : {'{', '}', '[', ']', ',', ':'}) table[c] |= class_structural;
    for (int c = '0'; c <= '9'; ++c) table[c] |= class_digit | class_hex | class_number_run;
    for (int c = 'a'; c <= 'f'; ++c) table[c] |= class_hex;
    for (int c = 'A'; c <= 'F'; ++c) table[c] |= class_hex;
    for (int c : {'+', '-', '.', 'e', 'E'}) table[c] |= class_number_run;
    for (int c = 0; c < 0x20; ++c) table[c] |= class_string_stop;
    table['"'] |= class_string_stop;
    table['\\'] |= class_string_stop;
    return table;
}

inline constexpr std::array<uint8_t, 256> classes = make_classes();

// Forced inline: GCC otherwise leaves these as calls inside the large
// flattened walks of the builders.
__attribute__((always_inline)) inline bool has_class(char c, uint8_t cls) {
    return classes[static_cast<uint8_t>(c)] & cls;
}
__attribute__((always_inline)) inline bool is_ws(char c) { return has_class(c, class_ws); }
__attribute__((always_inline)) inline bool is_digit(char c) { return has_class(c, class_digit); }
// The end of the text also counts as a delimiter after a scalar.
__attribute__((always_inline)) inline bool delimiter_at(const char *text, uint64_t len, uint64_t at) {
    return at >= len || has_class(text[at], class_delimiter);
}

// Space, line feed and carriage return as bits of one word: the whitespace
// that every JSON reader here skips without comment (tab is reported apart).
inline constexpr uint64_t plain_ws_bits = (1ull << ' ') | (1ull << '\n') | (1ull << '\r');
inline constexpr uint64_t all_ws_bits = plain_ws_bits | (1ull << '\t');
inline bool in_bits(uint64_t bits, char c) {
    auto u = static_cast<uint8_t>(c);
    return u < 64 && ((bits >> u) & 1);
}

// Skips the whitespace in ws_bits from p; runs of eight spaces (the
// indentation of pretty-printed documents) go in one step.
template <uint64_t ws_bits>
inline uint64_t skip_ws(const char *text, uint64_t len, uint64_t p) {
    constexpr uint64_t eight_spaces = word::repeat(' ');
    while (p < len && in_bits(ws_bits, text[p])) {
        ++p;
        while (len - p >= 8) {
            uint64_t w;
            std::memcpy(&w, text + p, 8);
            if (w != eight_spaces) break;
            p += 8;
        }
    }
    return p;
}

// ---- escapes ----------------------------------------------------------------

inline int hex_value(char c) {
    auto u = static_cast<uint8_t>(c);
    if (u >= '0' && u <= '9') return u - '0';
    u |= 0x20;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}

// Four hexadecimal digits at text[at..at+4), all inside the text; -1 if not.
inline int32_t hex4(const char *text, uint64_t len, uint64_t at) {
    if (at > len || len - at < 4) return -1;
    int32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_value(text[at + i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The escape at the backslash at offset b: its length in bytes (2, 6, or 12
// for a surrogate pair), or 0 when it is bad. A high surrogate must be
// followed at once by an escaped low one; a lone low surrogate is bad.
inline uint64_t escape_length(const char *text, uint64_t len, uint64_t b) {
    if (b + 1 >= len) return 0;
    switch (text[b + 1]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't': return 2;
    case 'u': break;
    default: return 0;
    }
    int32_t v = hex4(text, len, b + 2);
    if (v < 0) return 0;
    if (v >= 0xDC00 && v <= 0xDFFF) return 0;
    if (v < 0xD800 || v > 0xDBFF) return 6;
    if (b + 7 >= len || text[b + 6] != '\\' || text[b + 7] != 'u') return 0;
    int32_t low = hex4(text, len, b + 8);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    if (b + 12 >= len) return 0;  // a pair must leave room for at least the closing quote
    return 12;
}

// ---- numbers ----------------------------------------------------------------

// What the grammar learnt about one number lexeme text[start, end).
struct number_lexeme {
    uint64_t end = 0;
    uint64_t magnitude = 0;  // integer digits, when they did not overflow
    bool negative = false;
    bool is_float = false;  // a fraction or an exponent was present
    bool overflow = false;  // integer digits passed 2^64-1
};

// Eight ASCII digits packed little-endian into w: true when all are digits.
inline bool eight_digits(uint64_t w) {
    return ((w & 0xF0F0F0F0F0F0F0F0ull) == 0x3030303030303030ull) &&
           (((w + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) == 0x3030303030303030ull);
}

// Value of eight ASCII digits (first digit in the lowest byte) by three
// pairwise multiply-and-add steps: 1-digit lanes to 2, 4 and then 8.
inline uint64_t eight_digit_value(uint64_t w) {
    w = ((w & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;
    w = ((w & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
    return ((w & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
}

// Offset of the first byte at or after p that is not a digit (or len),
// eight bytes at a time.
__attribute__((always_inline)) inline uint64_t skip_digits(const char *text, uint64_t len, uint64_t p) {
    while (len - p >= 8) {
        uint64_t non_digit = word::non_digits(word::load(text + p));
        if (non_digit) return p + (static_cast<uint64_t>(__builtin_ctzll(non_digit)) >> 3);
        p += 8;
    }
    while (p < len && is_digit(text[p])) ++p;
    return p;
}

// Largest accumulator to which eight more digits can be added without
// passing 2^64-1: acc * 10^8 + 99999999 <= 18446744073709551615.
inline constexpr uint64_t eight_digit_limit = 184467440736ull;

// The JSON number grammar at text[start]: optional "-", integer digits
// without a superfluous leading zero, optional fraction and exponent, then
// the end or a delimiter. Refuses (false) anything else; the integer digits
// are accumulated only when want_value is set.
// Inlined into every caller: the hot loops of the builders and the
// validator keep the lexeme in registers.
__attribute__((always_inline)) inline bool scan_number(const char *text, uint64_t len, uint64_t start,
                                                       number_lexeme *out, bool want_value) {
    uint64_t p = start;
    out->negative = false;
    out->is_float = false;
    out->overflow = false;
    out->magnitude = 0;
    if (p < len && text[p] == '-') {
        out->negative = true;
        ++p;
    }
    if (p >= len || !is_digit(text[p])) return false;
    // One to three digits followed by a delimiter (most numbers in real
    // documents) are converted in one short loop.
    if (want_value) {
        uint64_t q = p;
        uint64_t value = 0;
        while (q < len && q - p < 4 && is_digit(text[q])) value = value * 10 + (text[q++] - '0');
        uint64_t digits = q - p;
        if (digits <= 3 && (digits == 1 || text[p] != '0') && delimiter_at(text, len, q)) {
            out->magnitude = value;
            out->end = q;
            return true;
        }
    }
    if (text[p] == '0') {
        ++p;
        if (p < len && is_digit(text[p])) return false;
    } else if (!want_value) {
        p = skip_digits(text, len, p);
    } else {
        uint64_t acc = 0;
        bool overflow = false;
        while (len - p >= 8 && acc <= eight_digit_limit) {
            uint64_t w;
            std::memcpy(&w, text + p, 8);
            if (!eight_digits(w)) break;
            acc = acc * 100000000ull + eight_digit_value(w);
            p += 8;
        }
        for (; p < len && is_digit(text[p]); ++p) {
            uint64_t digit = static_cast<uint64_t>(text[p] - '0');
            if (overflow || acc > (UINT64_MAX - digit) / 10) {
                overflow = true;
                continue;
            }
            acc = acc * 10 + digit;
        }
        out->magnitude = acc;
        out->overflow = overflow;
    }
    if (p < len && text[p] == '.') {
        ++p;
        if (p >= len || !is_digit(text[p])) return false;
        p = skip_digits(text, len, p);
        out->is_float = true;
    }
    if (p < len && (text[p] == 'e' || text[p] == 'E')) {
        ++p;
        if (p < len && (text[p] == '+' || text[p] == '-')) ++p;
        if (p >= len || !is_digit(text[p])) return false;
        p = skip_digits(text, len, p);
        out->is_float = true;
    }
    if (!delimiter_at(text, len, p)) return false;
    out->end = p;
    return true;
}

// ---- strings ----------------------------------------------------------------

// The string whose opening quote is at text[open]: the offset of its closing
// quote, or -1 when it is unterminated, holds a raw control byte or a bad
// escape. *escaped is set when an escape was passed over.
int64_t scan_string(const char *text, uint64_t len, uint64_t open, bool *escaped);

// What the JSON writers put after the backslash for a byte they escape
// (below 0x20, a quote, a backslash): its length, 1 or 5.
constexpr uint32_t escape_tail(uint8_t c, char *out) {
    switch (c) {
    case '"': out[0] = '"'; return 1;
    case '\\': out[0] = '\\'; return 1;
    case 8: out[0] = 'b'; return 1;
    case 9: out[0] = 't'; return 1;
    case 10: out[0] = 'n'; return 1;
    case 12: out[0] = 'f'; return 1;
    case 13: out[0] = 'r'; return 1;
    default:
        out[0] = 'u';
        out[1] = '0';
        out[2] = '0';
        out[3] = "0123456789abcdef"[c >> 4];
        out[4] = "0123456789abcdef"[c & 15];
        return 5;
    }
}

}  // namespace zvl::json
