// Quoting, escaping and block-scalar forms, written run by run: bytes that
// need no treatment are copied in one write up to the next special byte.
#include "emit/scalar_text.hpp"

#include "json/grammar.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvl {
namespace {

constexpr char hex_lower[] = "0123456789abcdef";
constexpr char hex_upper[] = "0123456789ABCDEF";

// Per-byte classes of the double-quoted YAML form.
enum : uint8_t { copy = 0, escape_ascii = 1, maybe_escape_lead = 2 };

struct byte_classes {
    uint8_t yaml[256];
    uint8_t json[256];
    bool uri_keep[256];
    constexpr byte_classes() : yaml(), json(), uri_keep() {
        for (int c = 0; c < 0x20; ++c) yaml[c] = json[c] = escape_ascii;
        yaml[int('"')] = yaml[int('\\')] = yaml[0x7F] = escape_ascii;
        json[int('"')] = json[int('\\')] = escape_ascii;
        yaml[0xC2] = yaml[0xE2] = yaml[0xEF] = maybe_escape_lead;
        for (int c = 'a'; c <= 'z'; ++c) uri_keep[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) uri_keep[c] = true;
        for (int c = '0'; c <= '9'; ++c) uri_keep[c] = true;
        for (char c : std::string_view("!$&'()*+,-./:;=?@~")) uri_keep[uint8_t(c)] = true;
    }
};
constexpr byte_classes classes{};

// Escape of an ASCII byte in the YAML double-quoted form.
void write_yaml_escape(zarvel_writer &w, uint8_t c) {
    char out[4] = {'\\', 0, 0, 0};
    switch (c) {
    case '"': out[1] = '"'; break;
    case '\\': out[1] = '\\'; break;
    case '\n': out[1] = 'n'; break;
    case '\r': out[1] = 'r'; break;
    case '\t': out[1] = 't'; break;
    case 0: out[1] = '0'; break;
    case 7: out[1] = 'a'; break;
    case 8: out[1] = 'b'; break;
    case 11: out[1] = 'v'; break;
    case 12: out[1] = 'f'; break;
    case 27: out[1] = 'e'; break;
    default:
        out[1] = 'x';
        out[2] = hex_lower[c >> 4];
        out[3] = hex_lower[c & 15];
        put_line_free(w, out, 4);
        return;
    }
    put_line_free(w, out, 2);
}

// Length of the multi-byte sequence at p that needs an escape (written
// here), or 0 when it is copied as it is.
size_t write_yaml_sequence_escape(zarvel_writer &w, const uint8_t *p, size_t left) {
    if (left >= 2 && p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
        if (p[1] == 0x85) {
            put(w, "\\N");
        } else {
            const char out[4] = {'\\', 'x', hex_lower[p[1] >> 4], hex_lower[p[1] & 15]};
            put_line_free(w, out, 4);
        }
        return 2;
    }
    if (left < 3) return 0;
    if (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
        put(w, p[2] == 0xA8 ? "\\L" : "\\P");
        return 3;
    }
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        put(w, "\\uFEFF");
        return 3;
    }
    if (p[0] == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
        put(w, p[2] == 0xBE ? "\\uFFFE" : "\\uFFFF");
        return 3;
    }
    return 0;
}

using word::equal_bytes;
using word::first_below;

// Index of the first byte at or after i that the double-quoted YAML form
// may have to treat: a control byte, DEL, a quote, a backslash or any byte of
// 0x80 and above; eight bytes at a time.
size_t skip_yaml_plain_bytes(const uint8_t *p, size_t i, size_t n) {
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = word::load(p + i);
        if ((w & word::highs) | first_below(w, 0x20) | equal_bytes(w, '"') | equal_bytes(w, '\\') |
            equal_bytes(w, 0x7F))
            break;
    }
    while (i < n && classes.yaml[p[i]] == copy && p[i] < 0x80) ++i;
    return i;
}
// The same for JSON strings: controls, quotes and backslashes only.
size_t skip_json_plain_bytes(const uint8_t *p, size_t i, size_t n) {
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = word::load(p + i);
        if (first_below(w, 0x20) | equal_bytes(w, '"') | equal_bytes(w, '\\')) break;
    }
    while (i < n && classes.json[p[i]] == copy) ++i;
    return i;
}

}  // namespace

void write_single_quoted(zarvel_writer &w, std::string_view text) {
    const void *quote = text.empty() ? nullptr : std::memchr(text.data(), '\'', text.size());
    if (!quote) {
        // The usual text without quotes: one write.
        if (char *p = writer_room(w, text.size() + 2)) {
            p[0] = '\'';
            zvl::copy_run(p + 1, text.data(), text.size());
            p[text.size() + 1] = '\'';
            writer_commit_line_free(w, text.size() + 2, '\'');
            return;
        }
    }
    put_byte(w, '\'');
    size_t start = 0;
    while (quote) {
        const size_t i = size_t(static_cast<const char *>(quote) - text.data());
        put_line_free(w, text.data() + start, i + 1 - start);  // through the quote
        put_byte(w, '\'');
        start = i + 1;
        quote = start < text.size() ? std::memchr(text.data() + start, '\'', text.size() - start) : nullptr;
    }
    put_line_free(w, text.data() + start, text.size() - start);
    put_byte(w, '\'');
}

void write_double_quoted(zarvel_writer &w, std::string_view text) {
    put_byte(w, '"');
    const uint8_t *p = reinterpret_cast<const uint8_t *>(text.data());
    const size_t n = text.size();
    size_t start = 0, i = 0;
    while (i < n) {
        const uint8_t kind = classes.yaml[p[i]];
        if (kind == copy) {
            i = p[i] < 0x80 ? skip_yaml_plain_bytes(p, i, n) : i + 1;
            continue;
        }
        if (kind == escape_ascii) {
            put_line_free(w, text.data() + start, i - start);
            write_yaml_escape(w, p[i]);
            start = ++i;
            continue;
        }
        // A lead byte: escape only the listed sequences.
        put_line_free(w, text.data() + start, i - start);
        size_t used = write_yaml_sequence_escape(w, p + i, n - i);
        if (used) {
            i += used;
            start = i;
        } else {
            start = i++;
        }
    }
    put_line_free(w, text.data() + start, n - start);
    put_byte(w, '"');
}

void write_json_string(zarvel_writer &w, std::string_view text) {
    put_byte(w, '"');
    const uint8_t *p = reinterpret_cast<const uint8_t *>(text.data());
    const size_t n = text.size();
    size_t start = 0;
    for (size_t i = skip_json_plain_bytes(p, 0, n); i < n; i = skip_json_plain_bytes(p, i + 1, n)) {
        const uint8_t c = p[i];
        put_line_free(w, text.data() + start, i - start);
        start = i + 1;
        char out[6] = {'\\'};
        put_line_free(w, out, 1 + json::escape_tail(c, out + 1));
    }
    put_line_free(w, text.data() + start, n - start);
    put_byte(w, '"');
}

char *write_json_string_raw(char *out, std::string_view text) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(text.data());
    const size_t n = text.size();
    *out++ = '"';
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time while nothing needs an escape.
    auto escaped = [](__m128i v) {
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
        const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
        const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
        return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))) != 0;
    };
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
        if (escaped(v)) break;
        i += 16;
        out += 16;
    }
    if (i + 16 > n && i < n && n >= 16) {
        // The rest in the 16 bytes that end the text, the bytes before it
        // (all seen) written again as they are.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16));
        if (!escaped(v)) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out - (i - (n - 16))), v);
            out += n - i;
            i = n;
        }
    }
#endif
    for (;;) {
        // Eight bytes copied at once; the room covers the overshoot past a
        // byte that needs an escape, which the escape then overwrites.
        while (i + 8 <= n) {
            const uint64_t w = word::load(p + i);
            std::memcpy(out, &w, 8);
            const uint64_t special = json_escaped_bytes(w);
            if (special == 0) {
                i += 8;
                out += 8;
                continue;
            }
            const size_t skip = size_t(__builtin_ctzll(special)) / 8;
            i += skip;
            out += skip;
            break;
        }
        while (i < n && classes.json[p[i]] == copy) *out++ = char(p[i++]);
        if (i >= n) break;
        const uint8_t c = p[i++];
        *out = '\\';
        out += 1 + json::escape_tail(c, out + 1);
    }
    *out++ = '"';
    return out;
}

void write_literal(zarvel_writer &w, std::string_view text, uint64_t indent) {
    size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '\n') ++trailing;
    const std::string_view content = text.substr(0, text.size() - trailing);
    char header[3] = {'|', 0, 0};
    size_t header_len = 1;
    if (trailing == 0) header[header_len++] = '-';
    if (trailing > 1) header[header_len++] = '+';
    if (!content.empty() && (content[0] == ' ' || content[0] == '\n')) header[header_len++] = '2';
    put_line_free(w, header, header_len);
    if (content.empty()) return;

    const uint64_t lines_at = indent + 2;
    put_byte(w, '\n');
    put_blanks(w, lines_at);
    size_t start = 0;
    for (size_t i = 0; i < content.size(); ++i) {
        if (content[i] != '\n') continue;
        put_line_free(w, content.data() + start, i - start);
        put_byte(w, '\n');
        start = i + 1;
        // Empty lines get no indentation.
        if (start < content.size() && content[start] != '\n') put_blanks(w, lines_at);
    }
    put_line_free(w, content.data() + start, content.size() - start);
    for (size_t i = 0; i < trailing; ++i) put_byte(w, '\n');
}

void write_percent_encoded(zarvel_writer &w, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint8_t c = uint8_t(text[i]);
        if (classes.uri_keep[c]) continue;
        put_line_free(w, text.data() + start, i - start);
        const char out[3] = {'%', hex_upper[c >> 4], hex_upper[c & 15]};
        put_line_free(w, out, 3);
        start = i + 1;
    }
    put_line_free(w, text.data() + start, text.size() - start);
}

void write_decimal(zarvel_writer &w, uint64_t value) {
    char reversed[20];
    size_t n = 0;
    do {
        reversed[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    char out[20];
    for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    put_line_free(w, out, n);
}

}  // namespace zvl
