// Input decoding. The input's byte order mark picks the encoding; UTF-16 and
// UTF-32 are converted to UTF-8, UTF-8 is checked in place, and the Unicode
// line breaks NEL, LS and PS are rewritten to line feeds so that the scanner
// only ever sees LF and CR.
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
#include "core/kernels.hpp"
#include "core/utf8.hpp"

namespace {

// ---- byte order marks ----------------------------------------------------

enum class encoding { utf8, utf16_le, utf16_be, utf32_le, utf32_be };

struct bom_match {
    encoding kind;
    uint64_t length;  // bytes of the mark, stepped over
};

// The UTF-32 marks need four bytes and are tested before the UTF-16 ones
// they start with.
bom_match detect_bom(const uint8_t *p, uint64_t n) {
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return {encoding::utf8, 3};
    if (n >= 4 && p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0)
        return {encoding::utf32_le, 4};
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return {encoding::utf16_le, 2};
    if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF)
        return {encoding::utf32_be, 4};
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) return {encoding::utf16_be, 2};
    return {encoding::utf8, 0};
}

// ---- UTF-8 ---------------------------------------------------------------

uint8_t *put_utf8(uint8_t *out, uint32_t code_point) {
    return out + zvl::encode_utf8(code_point, reinterpret_cast<char *>(out));
}

constexpr uint64_t highs = 0x8080808080808080ull;  // top bit of every byte

// ---- UTF-16 and UTF-32 ---------------------------------------------------

struct conversion {
    uint8_t *text = nullptr;  // from zarvel_default_allocator
    uint64_t length = 0;
    bool failed = false;
    uint64_t error_offset = 0;  // in the source, after the mark
};

inline uint32_t read_unit16(const uint8_t *p, bool big_endian) {
    return big_endian ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

inline uint32_t read_unit32(const uint8_t *p, bool big_endian) {
    return big_endian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                      : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

// Each unit gives at most three UTF-8 bytes; a surrogate pair (two units)
// gives four, so length / 2 * 3 always suffices.
conversion convert_utf16(const uint8_t *p, uint64_t n, bool big_endian) {
    conversion result;
    if (n % 2 != 0) {
        result.failed = true;
        result.error_offset = n - 1;
        return result;
    }
    if (n / 2 > SIZE_MAX / 3) {
        result.failed = true;
        return result;
    }
    const size_t capacity = n / 2 * 3 > 1 ? n / 2 * 3 : 1;
    auto *out = static_cast<uint8_t *>(zvl::allocate(&zarvel_default_allocator, capacity));
    if (!out) {
        result.failed = true;
        return result;
    }
    uint8_t *cursor = out;
    for (uint64_t i = 0; i < n; i += 2) {
        uint32_t unit = read_unit16(p + i, big_endian);
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            result.failed = true;
            result.error_offset = i;
            break;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 2 >= n) {
                result.failed = true;
                result.error_offset = i;
                break;
            }
            const uint32_t low = read_unit16(p + i + 2, big_endian);
            if (low < 0xDC00 || low > 0xDFFF) {
                result.failed = true;
                result.error_offset = i + 2;
                break;
            }
            unit = (unit - 0xD800) * 0x400 + (low - 0xDC00) + 0x10000;
            i += 2;
        }
        cursor = put_utf8(cursor, unit);
    }
    if (result.failed) {
        zvl::deallocate(&zarvel_default_allocator, out);
        return result;
    }
    result.text = out;
    result.length = static_cast<uint64_t>(cursor - out);
    return result;
}

// A trailing part of fewer than four bytes is a cut unit: refusing it keeps a
// truncated input from passing as a shorter, different text.
conversion convert_utf32(const uint8_t *p, uint64_t n, bool big_endian) {
    conversion result;
    if (n % 4 != 0) {
        result.failed = true;
        result.error_offset = n - n % 4;
        return result;
    }
    const size_t capacity = n > 1 ? n : 1;
    auto *out = static_cast<uint8_t *>(zvl::allocate(&zarvel_default_allocator, capacity));
    if (!out) {
        result.failed = true;
        return result;
    }
    uint8_t *cursor = out;
    for (uint64_t i = 0; i < n; i += 4) {
        const uint32_t unit = read_unit32(p + i, big_endian);
        if (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF)) {
            result.failed = true;
            result.error_offset = i;
            break;
        }
        cursor = put_utf8(cursor, unit);
    }
    if (result.failed) {
        zvl::deallocate(&zarvel_default_allocator, out);
        return result;
    }
    result.text = out;
    result.length = static_cast<uint64_t>(cursor - out);
    return result;
}

// ---- line breaks ---------------------------------------------------------

// Length of the NEL (C2 85), LS (E2 80 A8) or PS (E2 80 A9) at p, else 0.
inline uint32_t unicode_break_at(const uint8_t *p, uint64_t available) {
    if (p[0] == 0xC2) return available >= 2 && p[1] == 0x85 ? 2 : 0;
    if (p[0] == 0xE2)
        return available >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9) ? 3 : 0;
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
        auto leads = static_cast<uint32_t>(
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
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & highs) == 0) {
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

bool zarvel_validate_utf8(const char *text, uint64_t length, uint64_t *error_offset,
                          bool printable) {
    if (length == 0) return true;
    if (!text) {
        if (error_offset) *error_offset = 0;
        return false;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    const uint64_t bad = zvl::first_invalid_utf8(p, length, printable);
    if (bad == length) return true;
    if (error_offset) *error_offset = bad;
    return false;
}

char *zarvel_normalize_breaks(const zarvel_allocator *allocator, const char *text,
                              uint64_t length, uint64_t *new_length, bool *out_of_memory) {
    if (out_of_memory) *out_of_memory = false;
    if (!allocator || !text || length == 0) return nullptr;
    rewrite result = rewrite_breaks(allocator, text, length);
    if (out_of_memory) *out_of_memory = result.out_of_memory;
    if (result.text && new_length) *new_length = result.length;
    return result.text;
}

int zarvel_decode_input(const char *text, uint64_t length, char **owned, const char **decoded,
                        uint64_t *decoded_length) {
    if ((!text && length != 0) || !owned || !decoded || !decoded_length)
        return ZARVEL_INVALID_ARGUMENT;
    zarvel_error *error = zarvel_error_current();
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    const bom_match bom = detect_bom(bytes, length);

    const char *body = text ? text + bom.length : text;
    uint64_t body_length = length - bom.length;
    char *buffer = nullptr;  // what this call allocated and still owns
    bool may_hold_breaks = true;

    if (bom.kind == encoding::utf8) {
        // Pure printable ASCII (tabs and line breaks included) needs no check
        // and cannot hold NEL, LS or PS.
        if (zarvel_kernels_get()->has_special(body, body_length)) {
            uint64_t offset = 0;
            if (!zarvel_validate_utf8(body, body_length, &offset, true)) {
                zarvel_error_set(error, ZARVEL_ERR_ENCODING, 0, 0, offset,
                                 "ill-formed or non-printable UTF-8 at byte %zu",
                                 static_cast<size_t>(offset));
                return ZARVEL_BAD_ENCODING;
            }
        } else {
            may_hold_breaks = false;
        }
    } else {
        const uint8_t *source = bytes + bom.length;
        const bool big_endian = bom.kind == encoding::utf16_be || bom.kind == encoding::utf32_be;
        const conversion converted = bom.kind == encoding::utf16_le || bom.kind == encoding::utf16_be
                                         ? convert_utf16(source, body_length, big_endian)
                                         : convert_utf32(source, body_length, big_endian);
        // A failed conversion buffer is reported like ill-formed input.
        if (converted.failed) {
            zarvel_error_set(error, ZARVEL_ERR_ENCODING, 0, 0, converted.error_offset,
                             "ill-formed input encoding");
            return ZARVEL_BAD_ENCODING;
        }
        buffer = reinterpret_cast<char *>(converted.text);
        body = buffer;
        body_length = converted.length;
        uint64_t offset = 0;
        if (!zarvel_validate_utf8(body, body_length, &offset, true)) {
            zvl::deallocate(&zarvel_default_allocator, buffer);
            zarvel_error_set(error, ZARVEL_ERR_ENCODING, 0, 0, offset,
                             "non-printable character at byte %zu", static_cast<size_t>(offset));
            return ZARVEL_BAD_ENCODING;
        }
    }

    if (may_hold_breaks) {
        const rewrite breaks = rewrite_breaks(&zarvel_default_allocator, body, body_length);
        // Handing on the text unrewritten would silently turn line breaks
        // into content, so a failed rewrite is reported instead.
        if (breaks.out_of_memory) {
            zvl::deallocate(&zarvel_default_allocator, buffer);
            zarvel_error_set(error, ZARVEL_ERR_NO_MEMORY, 0, 0, 0, nullptr);
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
