// Quoted YAML scalars as both readers (the event parser's scanner and the
// block scanner) decode them: one escape of a double-quoted scalar, a
// double-quoted body without line folding, and the folding of line breaks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/utf8.hpp"
#include "json/grammar.hpp"

namespace zvl::quoted {

// Reads count hex digits at text[at]; -1 when one is missing.
inline int64_t read_hex(const char *text, uint64_t at, uint64_t end, int count, uint64_t *bad) {
    int64_t value = 0;
    for (int i = 0; i < count; ++i) {
        int d = at + i < end ? json::hex_value(text[at + i]) : -1;
        if (d < 0) {
            if (bad) *bad = at + i;
            return -1;
        }
        value = value * 16 + d;
    }
    return value;
}

inline constexpr uint32_t replacement_character = 0xFFFD;

inline bool is_high_surrogate(int64_t v) { return v >= 0xD800 && v <= 0xDBFF; }
inline bool is_low_surrogate(int64_t v) { return v >= 0xDC00 && v <= 0xDFFF; }

// One escape at text[at] (after the backslash), not a line break. Writes the
// UTF-8 bytes to out and returns how many bytes after the backslash it used;
// 0 when invalid (strict: *bad set; lenient callers copy it as it stands).
inline uint64_t decode_escape(const char *text, uint64_t at, uint64_t end, bool strict, char *out, uint32_t *produced,
                              uint64_t *bad) {
    if (at >= end) {
        if (bad) *bad = at;
        return 0;
    }
    char c = text[at];
    char simple = 0;
    bool is_simple = true;
    switch (c) {
    case '0': simple = '\0'; break;
    case 'a': simple = '\a'; break;
    case 'b': simple = '\b'; break;
    case 't':
    case '\t': simple = '\t'; break;
    case 'n': simple = '\n'; break;
    case 'v': simple = '\v'; break;
    case 'f': simple = '\f'; break;
    case 'r': simple = '\r'; break;
    case 'e': simple = '\x1B'; break;
    case ' ': simple = ' '; break;
    case '"': simple = '"'; break;
    case '/': simple = '/'; break;
    case '\\': simple = '\\'; break;
    default: is_simple = false;
    }
    if (is_simple) {
        out[0] = simple;
        *produced = 1;
        return 1;
    }
    uint32_t cp;
    uint64_t used;
    switch (c) {
    case 'N':
        cp = 0x85;
        used = 1;
        break;
    case '_':
        cp = 0xA0;
        used = 1;
        break;
    case 'L':
        cp = 0x2028;
        used = 1;
        break;
    case 'P':
        cp = 0x2029;
        used = 1;
        break;
    case 'x':
    case 'u':
    case 'U': {
        int digits = c == 'x' ? 2 : c == 'u' ? 4 : 8;
        int64_t v = read_hex(text, at + 1, end, digits, bad);
        if (v < 0) return 0;
        used = 1 + static_cast<uint64_t>(digits);
        if (c == 'u' && is_high_surrogate(v)) {
            uint64_t next = at + used;
            int64_t low = -1;
            if (next + 1 < end && text[next] == '\\' && text[next + 1] == 'u')
                low = read_hex(text, next + 2, end, 4, nullptr);
            if (low >= 0 && is_low_surrogate(low)) {
                cp = static_cast<uint32_t>(0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00));
                used += 6;
            } else {
                if (strict) {
                    if (bad) *bad = at - 1;
                    return 0;
                }
                cp = replacement_character;
            }
        } else if (is_high_surrogate(v) || is_low_surrogate(v)) {
            if (strict) {
                if (bad) *bad = at - 1;
                return 0;
            }
            cp = replacement_character;
        } else if (v > 0x10FFFF) {
            // No such code point: refused by the scanner, replaced here.
            if (strict) {
                if (bad) *bad = at - 1;
                return 0;
            }
            cp = replacement_character;
        } else {
            cp = static_cast<uint32_t>(v);
        }
        break;
    }
    default:
        if (bad) *bad = at;
        return 0;
    }
    *produced = encode_utf8(cp, out);
    return used;
}

// Folds a run of `breaks` line breaks (blank lines counted) into out: the
// blanks before the first break are trimmed, down to floor (what an escape
// or a doubled quote made stays); one break is a space, more are one line
// feed fewer. False when out of memory.
template <typename buffer>
inline bool fold_breaks(buffer &out, size_t floor, uint32_t breaks) {
    size_t n = out.size();
    while (n > floor && (out[n - 1] == ' ' || out[n - 1] == '\t')) --n;
    out.resize_down(n);
    if (breaks == 1) return out.push_back(' ');
    for (uint32_t k = 1; k < breaks; ++k)
        if (!out.push_back('\n')) return false;
    return true;
}

// Decodes text[start..end) of a double-quoted scalar without line folding
// (an escaped line break and the blanks after it are dropped); invalid
// escapes are copied as they stand. Writes at most capacity bytes, a
// character whole or not at all; returns the bytes written.
uint64_t finish_double(const char *text, uint64_t start, uint64_t end, char *buffer, uint64_t capacity);

}  // namespace zvl::quoted
