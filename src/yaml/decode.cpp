// Input decoding. The input's byte order mark picks the encoding; UTF-16 and
// UTF-32 are converted to UTF-8 and UTF-8 is checked in place. The Unicode
// line breaks NEL, LS and PS are content in YAML 1.2 and JSON; only for
// YAML 1.1 rules are they rewritten to line feeds, so that the scanner only
// ever sees LF and CR as breaks.
//
// The validator is the hot part: YAML and JSON texts are mostly printable
// ASCII, so it skips eight bytes per step while every byte of the word is
// plain printable ASCII and decodes one character at a time only around tabs,
// line breaks and multi-byte characters.
#include "yaml/decode.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.hpp"
#include "core/utf8.hpp"
#include "core/word.hpp"
#include "yaml/messages.hpp"

namespace {

namespace message = zvl::yaml::message;

// ---- byte order marks ----------------------------------------------------

using zvl::input_encoding;

struct bom_match {
    input_encoding kind;
    uint64_t length;  // bytes of the mark, stepped over
};

// The UTF-32 marks need four bytes and are tested before the UTF-16 ones
// they start with.
bom_match detect_bom(const uint8_t *p, uint64_t n) {
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return {input_encoding::utf8, 3};
    if (n >= 4 && p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) return {input_encoding::utf32_le, 4};
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return {input_encoding::utf16_le, 2};
    if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) return {input_encoding::utf32_be, 4};
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) return {input_encoding::utf16_be, 2};
    return {input_encoding::utf8, 0};
}

// ---- faults ----------------------------------------------------------------

int ill_formed_encoding(uint64_t offset) {
    zvl::error_at_byte(ZARVEL_ERR_ENCODING, offset, message::ill_formed_encoding);
    return ZARVEL_BAD_ENCODING;
}

int ill_formed_utf8(uint64_t offset) {
    zvl::error_at_byte(ZARVEL_ERR_ENCODING, offset, message::ill_formed_utf8);
    return ZARVEL_BAD_ENCODING;
}

int non_printable(uint64_t offset) {
    zvl::error_at_byte(ZARVEL_ERR_ENCODING, offset, message::non_printable);
    return ZARVEL_BAD_ENCODING;
}

// ---- stepwise decoding -------------------------------------------------------

// The YAML printable set: tab, LF, CR, 20-7E, NEL, A0 up, no surrogates,
// U+FFFE or U+FFFF.
inline bool printable_code_point(uint32_t cp) {
    if (cp < 0x80) return cp >= 0x20 ? cp != 0x7F : (cp == '\t' || cp == '\n' || cp == '\r');
    if (cp < 0xA0) return cp == 0x85;
    if (cp < 0xD800) return true;
    if (cp < 0xE000) return false;
    return cp <= 0xFFFD || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Bytes of the UTF-8 sequence a lead byte opens; 1 for bytes that open none.
inline uint32_t sequence_length(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

// Trailing bytes of p[0..n) that open a character whose rest has not arrived.
uint64_t cut_character(const uint8_t *p, uint64_t n) {
    for (uint64_t k = 1; k <= 3 && k <= n; ++k) {
        const uint8_t b = p[n - k];
        if ((b & 0xC0) == 0x80) continue;
        return sequence_length(b) > k ? k : 0;
    }
    return 0;
}

inline uint32_t read_unit16(const uint8_t *p, bool big_endian) {
    return big_endian ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

inline uint32_t read_unit32(const uint8_t *p, bool big_endian) {
    return big_endian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                      : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

// One step of a stream whose encoding is known.
struct step {
    zvl::stream_decoder &d;
    uint8_t *out;
    uint64_t written = 0;

    int emit(uint32_t cp) {
        if (!printable_code_point(cp)) return non_printable(d.output_offset);
        const uint32_t n = zvl::encode_utf8(cp, reinterpret_cast<char *>(out + written));
        written += n;
        d.output_offset += n;
        return 0;
    }

    // UTF-8 is checked and copied; a cut character waits in held.
    int utf8(const uint8_t *p, uint64_t n, bool final) {
        if (d.held_length) {
            const uint32_t need = sequence_length(d.held[0]);
            while (d.held_length < need && n) {
                d.held[d.held_length++] = *p++;
                --n;
            }
            if (d.held_length < need && !final) return 0;
            const uint64_t bad = zvl::first_invalid_utf8(d.held, d.held_length, true);
            if (bad != d.held_length) return ill_formed_utf8(d.source_offset + bad);
            std::memcpy(out + written, d.held, d.held_length);
            written += d.held_length;
            d.source_offset += d.held_length;
            d.output_offset += d.held_length;
            d.held_length = 0;
        }
        if (n == 0) return 0;  // data may be null
        const uint64_t keep = final ? 0 : cut_character(p, n);
        const uint64_t take = n - keep;
        const uint64_t bad = zvl::first_invalid_utf8(p, take, true);
        if (bad != take) return ill_formed_utf8(d.source_offset + bad);
        std::memcpy(out + written, p, take);
        written += take;
        d.source_offset += take;
        d.output_offset += take;
        std::memcpy(d.held, p + take, keep);
        d.held_length = static_cast<uint8_t>(keep);
        return 0;
    }

    int unit16(uint32_t unit) {
        const uint64_t at = d.source_offset;
        d.source_offset += 2;
        if (d.high) {
            if (unit < 0xDC00 || unit > 0xDFFF) return ill_formed_encoding(at);
            const uint32_t cp = (d.high - 0xD800) * 0x400 + (unit - 0xDC00) + 0x10000;
            d.high = 0;
            return emit(cp);
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) return ill_formed_encoding(at);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            d.high = unit;
            d.high_offset = at;
            return 0;
        }
        return emit(unit);
    }

    int unit32(uint32_t unit) {
        const uint64_t at = d.source_offset;
        d.source_offset += 4;
        if (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF)) return ill_formed_encoding(at);
        return emit(unit);
    }

    // UTF-16 and UTF-32, unit by unit; a cut unit waits in held.
    int units(const uint8_t *p, uint64_t n, bool final) {
        const bool wide = d.encoding == input_encoding::utf32_le || d.encoding == input_encoding::utf32_be;
        const bool big_endian = d.encoding == input_encoding::utf16_be || d.encoding == input_encoding::utf32_be;
        const uint32_t size = wide ? 4 : 2;
        auto unit = [&](const uint8_t *u) {
            return wide ? unit32(read_unit32(u, big_endian)) : unit16(read_unit16(u, big_endian));
        };
        if (n && d.held_length) {
            while (d.held_length < size && n) {
                d.held[d.held_length++] = *p++;
                --n;
            }
            if (d.held_length == size) {
                d.held_length = 0;
                if (int r = unit(d.held)) return r;
            }
        }
        uint64_t i = 0;
        for (; n - i >= size; i += size)
            if (int r = unit(p + i)) return r;
        if (n > i) std::memcpy(d.held + d.held_length, p + i, n - i);
        d.held_length = static_cast<uint8_t>(d.held_length + (n - i));
        if (!final) return 0;
        // A high surrogate at the end fails at its own offset; a cut unit
        // (odd UTF-16, short UTF-32) would pass a truncated text as a
        // shorter, different one.
        if (d.high) return ill_formed_encoding(d.high_offset);
        if (d.held_length) return ill_formed_encoding(wide ? d.source_offset : d.source_offset + d.held_length - 1);
        return 0;
    }

    int run(const uint8_t *p, uint64_t n, bool final) {
        return d.encoding == input_encoding::utf8 ? utf8(p, n, final) : units(p, n, final);
    }
};

// ---- line breaks ---------------------------------------------------------

// Length of the NEL (C2 85), LS (E2 80 A8) or PS (E2 80 A9) at p, else 0.
inline uint32_t unicode_break_at(const uint8_t *p, uint64_t available) {
    if (p[0] == 0xC2) return available >= 2 && p[1] == 0x85 ? 2 : 0;
    if (p[0] == 0xE2) return available >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9) ? 3 : 0;
    return 0;
}

// Offset of the first NEL, LS or PS, or n. All three start with a byte of
// the top bit set, so ASCII words are skipped whole.
uint64_t find_unicode_break(const uint8_t *p, uint64_t n) {
    uint64_t i = 0;
#if defined(__SSE2__)
    // 32 bytes a step: ASCII blocks by their top bits, other blocks by where
    // they hold a lead byte of the three breaks.
    const __m128i nel_lead = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i separator_lead = _mm_set1_epi8(static_cast<char>(0xE2));
    for (; n - i >= 32; i += 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16));
        if (_mm_movemask_epi8(_mm_or_si128(a, b)) == 0) continue;
        auto leads =
            static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(a, nel_lead), _mm_cmpeq_epi8(a, separator_lead)))) |
            static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b, nel_lead), _mm_cmpeq_epi8(b, separator_lead))))
                << 16;
        for (; leads; leads &= leads - 1) {
            uint64_t at = i + static_cast<uint64_t>(__builtin_ctz(leads));
            if (unicode_break_at(p + at, n - at)) return at;
        }
    }
#endif
    while (i < n) {
        if (n - i >= 8) {
            if ((zvl::word::load(p + i) & zvl::word::highs) == 0) {
                i += 8;
                continue;
            }
        }
        const uint64_t stop = n - i > 8 ? i + 8 : n;
        for (; i < stop; ++i)
            if (unicode_break_at(p + i, n - i)) return i;
    }
    return n;
}

struct rewrite {
    char *text = nullptr;  // null: nothing to rewrite, or no memory
    uint64_t length = 0;
    bool out_of_memory = false;
};

rewrite rewrite_breaks(const zarvel_allocator *allocator, const char *text, uint64_t length) {
    rewrite result;
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    uint64_t first = find_unicode_break(p, length);
    if (first == length) return result;
    if (length >= SIZE_MAX) {
        result.out_of_memory = true;
        return result;
    }
    auto *out = static_cast<char *>(zvl::allocate(allocator, length + 1));
    if (!out) {
        result.out_of_memory = true;
        return result;
    }
    std::memcpy(out, text, first);
    uint64_t written = first;
    uint64_t i = first;
    while (i < length) {
        const uint64_t next = i + find_unicode_break(p + i, length - i);
        std::memcpy(out + written, text + i, next - i);
        written += next - i;
        if (next == length) break;
        out[written++] = '\n';
        i = next + unicode_break_at(p + next, length - next);
    }
    out[written] = '\0';
    result.text = out;
    result.length = written;
    return result;
}

}  // namespace

char *zarvel_normalize_breaks(const zarvel_allocator *allocator, const char *text, uint64_t length,
                              uint64_t *new_length, bool *out_of_memory) {
    if (out_of_memory) *out_of_memory = false;
    if (!allocator || !text || length == 0) return nullptr;
    rewrite result = rewrite_breaks(allocator, text, length);
    if (out_of_memory) *out_of_memory = result.out_of_memory;
    if (result.text && new_length) *new_length = result.length;
    return result.text;
}

zvl::input_encoding zvl::detect_encoding(const char *text, uint64_t length, uint64_t *mark_length) {
    const bom_match bom = detect_bom(reinterpret_cast<const uint8_t *>(text), text ? length : 0);
    *mark_length = bom.length;
    return bom.kind;
}

int zvl::check_utf8(const char *text, uint64_t length, uint64_t base) {
    uint64_t offset = 0;
    return zarvel_validate_utf8(text, length, &offset, true) ? ZARVEL_OK : ill_formed_utf8(base + offset);
}

uint64_t zvl::stream_decoder_bound(const stream_decoder &decoder, uint64_t length) {
    const uint64_t n = decoder.held_length + length;
    switch (decoder.encoding) {
    case input_encoding::utf8: return n;
    case input_encoding::utf16_le:
    case input_encoding::utf16_be:
        // Three bytes a unit at most; a pair (four bytes) may finish a high
        // surrogate taken in an earlier step.
        return n / 2 * 3 + 1;
    case input_encoding::utf32_le:
    case input_encoding::utf32_be: return n;
    case input_encoding::unknown: break;
    }
    return n / 2 * 3 + 1;
}

int zvl::stream_decoder_step(stream_decoder &decoder, const char *data, uint64_t length, bool final, char *out,
                             uint64_t *written) {
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    step run{decoder, reinterpret_cast<uint8_t *>(out)};
    *written = 0;
    if (decoder.encoding == input_encoding::unknown) {
        // The mark decides the encoding: wait for four bytes (or the end).
        while (decoder.held_length < 4 && length) {
            decoder.held[decoder.held_length++] = *p++;
            --length;
        }
        if (decoder.held_length < 4 && !final) return 0;
        const bom_match bom = detect_bom(decoder.held, decoder.held_length);
        decoder.encoding = bom.kind;
        uint8_t after_mark[4];
        const uint64_t rest = decoder.held_length - bom.length;
        std::memcpy(after_mark, decoder.held + bom.length, rest);
        decoder.held_length = 0;
        int r = run.run(after_mark, rest, final && length == 0);
        if (r != 0 || length == 0) {
            *written = run.written;
            return r;
        }
    }
    int r = run.run(p, length, final);
    *written = run.written;
    return r;
}

int zarvel_decode_input(const char *text, uint64_t length, char **owned, const char **decoded, uint64_t *decoded_length,
                        bool unicode_breaks) {
    if ((!text && length != 0) || !owned || !decoded || !decoded_length) return ZARVEL_INVALID_ARGUMENT;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    const bom_match bom = detect_bom(bytes, length);

    const char *body = text ? text + bom.length : text;
    uint64_t body_length = length - bom.length;
    char *buffer = nullptr;  // what this call allocated and still owns

    if (bom.kind == input_encoding::utf8) {
        // The validator passes plain ASCII blocks faster than a separate
        // scan for bytes that need its check would.
        uint64_t offset = 0;
        if (!zarvel_validate_utf8(body, body_length, &offset, true)) return ill_formed_utf8(offset);
    } else {
        zvl::stream_decoder decoder{};
        decoder.encoding = bom.kind;
        const uint64_t capacity = zvl::stream_decoder_bound(decoder, body_length);
        // A failed conversion buffer is reported like ill-formed input.
        if (capacity >= SIZE_MAX) return ill_formed_encoding(0);
        buffer = static_cast<char *>(zvl::allocate(&zarvel_default_allocator, capacity ? capacity : 1));
        if (!buffer) return ill_formed_encoding(0);
        uint64_t written = 0;
        if (zvl::stream_decoder_step(decoder, body, body_length, true, buffer, &written) != 0) {
            zvl::deallocate(&zarvel_default_allocator, buffer);
            return ZARVEL_BAD_ENCODING;
        }
        body = buffer;
        body_length = written;
    }

    if (unicode_breaks) {
        const rewrite breaks = rewrite_breaks(&zarvel_default_allocator, body, body_length);
        // Handing on the text unrewritten would silently turn line breaks
        // into content, so a failed rewrite is reported instead.
        if (breaks.out_of_memory) {
            zvl::deallocate(&zarvel_default_allocator, buffer);
            zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, nullptr);
            return ZARVEL_NO_MEMORY;
        }
        if (breaks.text) {
            zvl::deallocate(&zarvel_default_allocator, buffer);
            buffer = breaks.text;
            body = buffer;
            body_length = breaks.length;
        }
    }
    *owned = buffer;
    *decoded = body;
    *decoded_length = body_length;
    return ZARVEL_OK;
}
