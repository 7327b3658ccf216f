// Word-at-a-time byte tests: eight bytes of text in one 64-bit word, each
// test leaving the top bit of the bytes it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvl::word {

inline constexpr uint64_t ones = 0x0101010101010101ull;   // 0x01 in every byte
inline constexpr uint64_t highs = 0x8080808080808080ull;  // top bit of every byte
inline constexpr uint64_t lows = 0x7F7F7F7F7F7F7F7Full;   // all but the top bit

inline constexpr uint64_t repeat(uint8_t byte) { return ones * byte; }

// The readings of digits by words take a text's first byte as a word's
// lowest (the usual hosts); elsewhere their callers read byte by byte.
inline constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Eight bytes from p, the first one lowest on the usual (little-endian) hosts.
inline uint64_t load(const void *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The n (2 to 8) bytes at p in the low bytes of a word, zeros above them,
// reading no byte past p + n: one load or two overlapping ones.
inline uint64_t load_short(const char *p, size_t n) {
    if (n >= 8) return load(p);
    if (n >= 4) {
        uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        return low | uint64_t(high) << (8 * (n - 4));
    }
    uint16_t low, high;
    std::memcpy(&low, p, 2);
    std::memcpy(&high, p + n - 2, 2);
    return low | uint64_t(high) << (8 * (n - 2));
}

// Top bit set in every byte of w below b (b from 1 to 0x80), every zero
// byte, or every byte equal to c; exact: each byte is compared on its seven
// low bits, its top bit apart, so no carry crosses a byte.
inline constexpr uint64_t below_bytes(uint64_t w, uint8_t b) { return ~(((w & lows) + repeat(0x80 - b)) | w) & highs; }
inline constexpr uint64_t zero_bytes(uint64_t w) { return ~(((w & lows) + lows) | w) & highs; }
inline constexpr uint64_t equal_bytes(uint64_t w, uint8_t c) { return zero_bytes(w ^ repeat(c)); }

// Top bit set in every byte of w that is not an ASCII digit, exactly: a
// byte is a digit when (byte xor '0') < 10, and adding 0x76 to the low seven
// bits of that sets the top bit exactly for 10 and above.
inline constexpr uint64_t non_digits(uint64_t w) {
    const uint64_t x = w ^ repeat('0');
    return (((x & lows) + repeat(0x76)) | x) & highs;
}

// Nonzero when some byte of w is below b (b at most 0x80), or equals b.
// Cheaper, and exact only for the lowest byte found: false positives occur
// only in bytes above a true one, which is all a scan needs.
inline constexpr uint64_t first_below(uint64_t w, uint8_t b) { return (w - repeat(b)) & ~w & highs; }
inline constexpr uint64_t first_equal(uint64_t w, uint8_t b) { return first_below(w ^ repeat(b), 1); }

// Bit k set for each byte k of w that holds 0x80 and nothing else (the
// masks above).
inline constexpr uint64_t gather_highs(uint64_t mask) { return ((mask >> 7) * 0x0102040810204080ull) >> 56; }

// Index of the lowest byte whose top bit is set in a nonzero mask.
inline unsigned first_byte(uint64_t mask) { return static_cast<unsigned>(__builtin_ctzll(mask)) / 8; }

// The number written by eight digit values 0-9, one per byte of w, the
// most significant in the lowest byte (the first in the text): pairs by one
// multiply-and-shift, then the four pairs by two multiplies.
inline constexpr uint64_t digits_value(uint64_t w) {
    w = (w * 10) + (w >> 8);  // each even byte: two digits
    return (((w & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
            (((w >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
           32;
}
inline constexpr uint64_t zero_digits = repeat('0');

#if defined(__SSE2__)
// Sixteen lanes of ones between sixteen of zeros: a window of sixteen from
// it masks the first or the last lanes of a vector.
alignas(16) inline constexpr uint8_t lane_masks[48] = {0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                                       0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// All ones in the last m (0 to 16) bytes of a vector, zeros before them.
inline __m128i last_lanes(int64_t m) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(lane_masks + m)); }
// All ones in the first n (0 to 16) bytes of a vector, zeros after them.
inline __m128i first_lanes(int64_t n) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(lane_masks + 32 - n));
}
// The lanes of a where mask is set, of b elsewhere.
inline __m128i select_lanes(__m128i mask, __m128i a, __m128i b) {
    return _mm_xor_si128(b, _mm_and_si128(_mm_xor_si128(a, b), mask));
}

// The number written by sixteen digit values 0-9, one per byte, the most
// significant first: pairs by one multiply (the 16-bit lane d0 + 256 d1
// times 1 + 2560 holds 10 d0 + d1 in its top byte), fours and eights by
// two multiply-adds.
inline uint64_t digits16_known(__m128i digits) {
    // The factor hidden from the compiler, which would make the product a
    // chain of shifts and adds.
    __m128i pair_factor = _mm_set1_epi16(1 + 2560);
    asm("" : "+x"(pair_factor));
    const __m128i pairs = _mm_srli_epi16(_mm_mullo_epi16(digits, pair_factor), 8);
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(100 | (1 << 16)));
    const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(10000 | (1 << 16)));
    const uint64_t both = uint64_t(_mm_cvtsi128_si64(eights));
    return (both & 0xFFFFFFFFu) * 100000000u + (both >> 32);
}

// The same for any byte values, when every one is below 10.
inline bool digits16_value(__m128i digits, uint64_t &value) {
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(digits, _mm_set1_epi8(9)), _mm_setzero_si128())) != 0xFFFF)
        return false;
    value = digits16_known(digits);
    return true;
}

// The digit values of the m (0 to 16) bytes before end, from the sixteen
// bytes before end at once: the bytes before the m count as zeros.
inline __m128i last_digit_values(const char *end, int64_t m) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16));
    return _mm_and_si128(_mm_sub_epi8(text, _mm_set1_epi8('0')), last_lanes(m));
}
// Their value when they are all digits. False for a byte that is not a
// digit, and on hosts without the vector instructions.
inline bool last_digits16(const char *end, int64_t m, uint64_t &value) {
    return digits16_value(last_digit_values(end, m), value);
}
// The same for m bytes known to be digits (a checked number's).
inline bool last_known_digits16(const char *end, int64_t m, uint64_t &value) {
    value = digits16_known(last_digit_values(end, m));
    return true;
}
#else
inline bool last_digits16(const char *, int64_t, uint64_t &) { return false; }
inline bool last_known_digits16(const char *, int64_t, uint64_t &) { return false; }
#endif

}  // namespace zvl::word
