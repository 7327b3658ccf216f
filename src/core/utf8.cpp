// UTF-8 validation, portable and vector forms behind one entry.
//
// The portable validator skips eight bytes per step while every byte of the
// word is plain (ASCII and, with printable, 0x20-0x7E, tab, LF, CR) and
// decodes one character at a time only around other bytes. The vector ones
// (utf8_simd_body.hpp: SSSE3, AVX2, AVX-512) check 64 bytes per step and hand
// any faulty block to the portable walk for the exact offset, so all of them
// agree byte for byte.
#include "core/utf8.hpp"
#include "core/kernels.hpp"
#include "core/word.hpp"

#include <cstring>

namespace zvl {

namespace {

// ASCII bytes allowed by the printable rule: tab, LF, CR and 0x20 to 0x7E.
constexpr bool ascii_printable(uint8_t b) { return (b >= 0x20 && b <= 0x7E) || b == 0x09 || b == 0x0A || b == 0x0D; }

using zvl::word::equal_bytes;
using zvl::word::highs;
using zvl::word::lows;
using zvl::word::ones;

// Top bit set for each byte of w that is not plain. For bytes below 0x80,
// adding 0x60 reaches the top bit exactly from 0x20 up and adding 1 exactly
// at 0x7F (DEL); neither carries into the next byte. Only zero versus
// non-zero is used.
template <bool printable>
inline uint64_t not_plain(uint64_t w) {
    const uint64_t high = w & highs;
    if constexpr (printable) {
        const uint64_t ascii = w & lows;
        const uint64_t controls = ~(ascii + 0x60 * ones) & highs;
        const uint64_t del = (ascii + ones) & highs;
        const uint64_t allowed = equal_bytes(ascii, '\t') | equal_bytes(ascii, '\n') | equal_bytes(ascii, '\r');
        return high | (controls & ~allowed) | del;
    } else {
        return high;
    }
}

constexpr bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed (and, when printable, printable) multi-byte
// character at p, or 0 when it is not one. The ranges of the second byte
// rule out overlong forms, surrogates and values above 10FFFF.
template <bool printable>
inline uint32_t multibyte_length(const uint8_t *p, uint64_t available) {
    const uint8_t lead = p[0];
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) {
        if (available < 2 || !is_continuation(p[1])) return 0;
        // U+0080 to U+009F are the C1 controls; only NEL (U+0085) is allowed.
        if (printable && lead == 0xC2 && p[1] < 0xA0 && p[1] != 0x85) return 0;
        return 2;
    }
    if (lead < 0xF0) {
        const uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
        const uint8_t high = lead == 0xED ? 0x9F : 0xBF;
        if (available < 3 || p[1] < low || p[1] > high || !is_continuation(p[2])) return 0;
        // U+FFFE and U+FFFF are noncharacters outside the printable set.
        if (printable && lead == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;
        return 3;
    }
    if (lead < 0xF5) {
        const uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
        const uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
        if (available < 4 || p[1] < low || p[1] > high || !is_continuation(p[2]) || !is_continuation(p[3])) return 0;
        return 4;
    }
    return 0;
}

template <bool printable>
uint64_t portable_walk(const uint8_t *p, uint64_t n) {
    uint64_t i = 0;
    while (i < n) {
        for (; n - i >= 16; i += 16) {
            uint64_t w0, w1;
            std::memcpy(&w0, p + i, 8);
            std::memcpy(&w1, p + i + 8, 8);
            if ((not_plain<printable>(w0) | not_plain<printable>(w1)) != 0) break;
        }
        if (n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (not_plain<printable>(w) == 0) {
                i += 8;
                continue;
            }
        }
        // At most one word's worth of bytes one at a time, then words again.
        const uint64_t stop = n - i > 8 ? i + 8 : n;
        while (i < stop) {
            const uint8_t b = p[i];
            if (b < 0x80) {
                if (printable && !ascii_printable(b)) return i;
                ++i;
                continue;
            }
            const uint32_t length = multibyte_length<printable>(p + i, n - i);
            if (length == 0) return i;
            i += length;
        }
    }
    return n;
}

bool always() { return true; }

}  // namespace

uint64_t first_invalid_utf8_portable(const uint8_t *p, uint64_t n, bool printable) {
    return printable ? portable_walk<true>(p, n) : portable_walk<false>(p, n);
}

}  // namespace zvl

#if defined(__x86_64__)

#include "core/simd.hpp"
#include "core/utf8_pairs.hpp"

namespace zvl {

namespace utf8_ssse3 {
using V = simd::ssse3;
#define ZVL_TARGET __attribute__((target("ssse3")))
#include "core/utf8_simd_body.hpp"
#undef ZVL_TARGET
}  // namespace utf8_ssse3

namespace utf8_avx2 {
using V = simd::avx2;
#define ZVL_TARGET __attribute__((target("avx2")))
#include "core/utf8_simd_body.hpp"
#undef ZVL_TARGET
}  // namespace utf8_avx2

namespace utf8_avx512 {
using V = simd::avx512;
#define ZVL_TARGET __attribute__((target("avx512f,avx512bw")))
#include "core/utf8_simd_body.hpp"
#undef ZVL_TARGET
}  // namespace utf8_avx512

namespace {
constexpr utf8_variant variants[] = {
    {"portable", first_invalid_utf8_portable, always},
    {"ssse3", utf8_ssse3::first_invalid_utf8, simd::has_ssse3},
    {"avx2", utf8_avx2::first_invalid_utf8, simd::has_avx2},
    {"avx512", utf8_avx512::first_invalid_utf8, simd::has_avx512},
};
}  // namespace

}  // namespace zvl

#else

namespace zvl {
namespace {
constexpr utf8_variant variants[] = {{"portable", first_invalid_utf8_portable, always}};
}  // namespace
}  // namespace zvl

#endif

namespace zvl {

std::span<const utf8_variant> utf8_variants() { return variants; }

uint64_t first_invalid_utf8(const uint8_t *text, uint64_t length, bool printable) {
    return zarvel_kernels_get()->first_invalid_utf8(text, length, printable);
}

}  // namespace zvl

bool zarvel_validate_utf8(const char *text, uint64_t length, uint64_t *error_offset, bool printable) {
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
