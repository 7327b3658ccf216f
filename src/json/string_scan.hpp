// String-body scanners of the tape builders: find the closing quote of the
// string opened at text[open], checking escapes with the shared rule and
// refusing a raw control byte (and, with ascii_strict, a byte of 0x80 or
// above). They return its offset, or -1. The word form is portable; the
// SSE2 form looks at sixteen bytes per step and must return exactly what the
// word form returns. With track_high, *high is set when the body may hold a
// byte of 0x80 or above (it is never left clear when it does; a byte just
// past the closing quote can set it too).
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/word.hpp"
#include "json/grammar.hpp"

namespace zvl::json {

// One byte that stopped a fast scan: 1 when the string closes here, 0 to
// go on at *p, -1 to refuse.
template <bool ascii_strict, bool track_high = false>
inline int string_stop(const char *text, uint64_t len, uint64_t *p, bool *escaped, bool *high = nullptr) {
    auto c = static_cast<uint8_t>(text[*p]);
    if (c == '"') return 1;
    if (c == '\\') {
        uint64_t length = escape_length(text, len, *p);
        if (length == 0) return -1;
        *escaped = true;
        *p += length;
        return 0;
    }
    if (c < 0x20 || (ascii_strict && c >= 0x80)) return -1;
    if (track_high && c >= 0x80) *high = true;
    ++*p;
    return 0;
}

template <bool ascii_strict, bool track_high = false>
int64_t scan_string_words(const char *text, uint64_t len, uint64_t open, bool *escaped, bool *high = nullptr) {
    uint64_t p = open + 1;
    for (;;) {
        if (len - p >= 8) {
            uint64_t w;
            std::memcpy(&w, text + p, 8);
            if (track_high && (w & zvl::word::highs)) *high = true;
            uint64_t special =
                zvl::word::first_equal(w, '"') | zvl::word::first_equal(w, '\\') | zvl::word::first_below(w, 0x20);
            if (ascii_strict) special |= w & zvl::word::highs;
            if (!special) {
                p += 8;
                continue;
            }
        } else if (p >= len) {
            return -1;
        }
        int stop = string_stop<ascii_strict, track_high>(text, len, &p, escaped, high);
        if (stop > 0) return static_cast<int64_t>(p);
        if (stop < 0) return -1;
    }
}

#if defined(__SSE2__)
template <bool ascii_strict, bool track_high = false>
int64_t scan_string_sse2(const char *text, uint64_t len, uint64_t open, bool *escaped, bool *high = nullptr) {
    uint64_t p = open + 1;
    __m128i high_bytes = _mm_setzero_si128();
    auto finish = [&](int64_t result) {
        if (track_high && _mm_movemask_epi8(high_bytes)) *high = true;
        return result;
    };
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_limit = _mm_set1_epi8(0x1F);
    for (;;) {
        if (len - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + p));
            if (track_high) high_bytes = _mm_or_si128(high_bytes, v);
            __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
            // Unsigned byte <= 0x1F exactly when max(byte, 0x1F) == 0x1F.
            special = _mm_or_si128(special, _mm_cmpeq_epi8(_mm_max_epu8(v, control_limit), control_limit));
            if (ascii_strict) special = _mm_or_si128(special, v);  // the high bit is the mark
            auto mask = static_cast<uint32_t>(_mm_movemask_epi8(special));
            if (!mask) {
                p += 16;
                continue;
            }
            p += static_cast<uint64_t>(__builtin_ctz(mask));
        } else if (p >= len) {
            return finish(-1);
        }
        int stop = string_stop<ascii_strict, track_high>(text, len, &p, escaped, high);
        if (stop > 0) return finish(static_cast<int64_t>(p));
        if (stop < 0) return finish(-1);
    }
}
#endif

template <bool ascii_strict, bool track_high = false>
inline int64_t scan_string_fast(const char *text, uint64_t len, uint64_t open, bool *escaped, bool *high = nullptr) {
#if defined(__SSE2__)
    return scan_string_sse2<ascii_strict, track_high>(text, len, open, escaped, high);
#else
    return scan_string_words<ascii_strict, track_high>(text, len, open, escaped, high);
#endif
}

}  // namespace zvl::json
