// The fast shortest-digit generator and the fixed layout of its digits
// when the point falls inside them, inline: the float-text path and
// zarvel_format_double run them once per number, where calls cost more than
// the joints between the steps.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "emit/format_double.hpp"
#include "core/pow10_table.hpp"

namespace zvl {
namespace digit_steps {

using u128 = unsigned __int128;

// `yes` when the condition holds, else `no`, by masks: compilers turn the
// plain conditional into a branch.
inline uint64_t select_bits(bool condition, uint64_t yes, uint64_t no) {
    const uint64_t mask = 0 - uint64_t(condition);
    return (yes & mask) | (no & ~mask);
}

// ---- fast generator: 128-bit powers of ten ----------------------------------
//
// The value c x 2^q, its neighbours' midpoints and the candidates are
// compared in units of 10^k, with k = floor(log10 of the gap 2^q) so that the
// rounding interval spans between 1 and 10 units. The scaled quantities
// 4 x (value, lower, upper midpoint) / 10^k are products of 4c (shifted) with
// a 126-bit mantissa g of 10^-k rounded up, taken to 64 bits rounded to odd:
// that keeps every comparison below exact. Then the shortest candidate is
// the multiple of 10 units inside the interval when there is exactly one,
// else the one of s, s + 1 (s = floor(value / 10^k)) inside it, else the
// closer of the two (ties to even).

inline constexpr uint64_t low_63_bits = (uint64_t(1) << 63) - 1;

// Round to odd of (g1 x 2^63 + g0) x cp / 2^127: the quotient with its
// lowest bit set when anything below it was cut off.
inline uint64_t round_to_odd(uint64_t g1, uint64_t g0, uint64_t cp) {
    const uint64_t x1 = uint64_t((u128(g0) * cp) >> 64);
    const u128 y = u128(g1) * cp;
    const uint64_t y0 = uint64_t(y), y1 = uint64_t(y >> 64);
    const uint64_t z = (y0 >> 1) + x1;
    const uint64_t vbp = y1 + (z >> 63);
    return vbp | (((z & low_63_bits) + low_63_bits) >> 63);
}

using zvl::pow10_u64_table;

// The eight decimal digits of v (below 10^8, leading zeros included) as
// ASCII, first digit in the lowest byte: halves of four digits in 32-bit
// lanes, pairs in 16-bit lanes, digits in bytes, each split by a multiply
// whose quotient stays exact in its lane.
inline uint64_t eight_ascii_digits(uint32_t v) {
    const uint64_t x = uint64_t(v / 10000) | (uint64_t(v % 10000) << 32);
    const uint64_t hundreds = ((x * 5243) >> 19) & 0x0000007F0000007Full;
    const uint64_t pairs = hundreds | ((x - hundreds * 100) << 16);
    const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
    return (tens | ((pairs - tens * 10) << 8)) + 0x3030303030303030ull;
}

inline constexpr uint64_t ascii_zeros = 0x3030303030303030ull;

// Largest point position laid out by block moves: the sign, the point and
// a 16-byte block after it fit in the 32 bytes callers give.
inline constexpr int32_t point_in_block_limit = 14;

// Bytes up to and including the last nonzero one of x (x != 0): the digits
// of a chunk left after its trailing zeros.
inline int32_t through_last_nonzero(uint64_t x) { return (71 - __builtin_clzll(x)) >> 3; }

// The sixteen ASCII digits of high and low (each below 10^8, leading zeros
// included) stored at `to`, high's first; returns how many of them run
// through the last digit other than 0 (0 when all are 0). SSE2 where there
// is, else the portable twin.
inline int32_t store_sixteen_digits_portable(char *to, uint32_t high, uint32_t low) {
    const uint64_t first = eight_ascii_digits(high), second = eight_ascii_digits(low);
    std::memcpy(to, &first, 8);
    std::memcpy(to + 8, &second, 8);
    const uint64_t x1 = first ^ ascii_zeros, x2 = second ^ ascii_zeros;
    return int32_t(select_bits(x2 != 0, uint64_t(8 + through_last_nonzero(x2 | 1)),
                               select_bits(x1 != 0, uint64_t(through_last_nonzero(x1 | 1)), 0)));
}

#if defined(__SSE2__)
// The same splits as eight_ascii_digits on both halves at once: 4 + 4
// digits in 32-bit lanes, 2 + 2 in 16-bit lanes, 1 + 1 in bytes, each by a
// multiply whose quotient is exact in its lane.
inline int32_t store_sixteen_digits(char *to, uint32_t high, uint32_t low) {
    const __m128i v = _mm_set_epi64x(int64_t(low), int64_t(high));
    // v / 10^4 = v x 0xD1B71759 / 2^45 for every 32-bit v.
    const __m128i fours = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi32(int32_t(0xD1B71759))), 45);
    const __m128i fours_rest = _mm_sub_epi64(v, _mm_mul_epu32(fours, _mm_set1_epi32(10000)));
    const __m128i x = _mm_or_si128(fours, _mm_slli_epi64(fours_rest, 32));
    // x / 100 = x x 5243 / 2^19 below 10^4.
    const __m128i pairs = _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(5243)), 3);
    const __m128i pairs_rest = _mm_sub_epi16(x, _mm_mullo_epi16(pairs, _mm_set1_epi16(100)));
    const __m128i y = _mm_or_si128(pairs, _mm_slli_epi32(pairs_rest, 16));
    // y / 10 = y x 6554 / 2^16 below 100.
    const __m128i tens = _mm_mulhi_epu16(y, _mm_set1_epi16(6554));
    const __m128i ones = _mm_sub_epi16(y, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
    const __m128i ascii = _mm_add_epi8(_mm_or_si128(tens, _mm_slli_epi16(ones, 8)), _mm_set1_epi8('0'));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to), ascii);
    // Bit i set for digit i other than 0 (the low bit set keeps the count
    // of an all-zero run defined; it is not chosen then).
    const uint32_t nonzero = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(ascii, _mm_set1_epi8('0')))) ^ 0xFFFFu;
    return int32_t(select_bits(nonzero != 0, uint64_t(32 - __builtin_clz(nonzero | 1)), 0));
}
#else
inline int32_t store_sixteen_digits(char *to, uint32_t high, uint32_t low) {
    return store_sixteen_digits_portable(to, high, low);
}
#endif

// The count of decimal digits of x (x > 0): 1233 / 4096 is log10(2) from
// below.
inline int32_t decimal_length(uint64_t x) {
    const int32_t n = ((64 - __builtin_clzll(x)) * 1233) >> 12;
    return n + (x >= pow10_u64_table[n] ? 1 : 0);
}

// The fast generator's choice as an integer: the digits are those of
// f x 10^exponent10 (f > 0, below 10^19, trailing zeros possible), `length`
// of them; false for the two smallest subnormals, left to
// shortest_digits_exact.
inline bool shortest_integer_fast(const binary_value &value, uint64_t &f, int32_t &exponent10, int32_t &length) {
    const uint64_t c = value.f;
    const int32_t q = value.e;
    // The two smallest subnormals leave too few bits for the comparisons.
    if (q == -1074 && c < 3) return false;
    if (c == 0 || c >= (uint64_t(1) << 53)) return false;

    const uint64_t out_bit = value.inclusive ? 0 : 1;  // exclusive bounds: strict tests
    const uint64_t cb = c << 2;
    const uint64_t cbr = cb + 2;
    uint64_t cbl;
    int32_t k;
    if (!value.unequal_margins) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    if (-k < pow10_first || -k > pow10_last) return false;
    const int32_t h = q + floor_log2_pow10(-k) + 2;  // 1 to 4
    // g = floor(10^-k x 2^(125 - floor(log2 10^-k))) + 1 in 63-bit halves.
    const pow10_entry &halves = pow10_halves.entries[-k - pow10_first];
    const uint64_t g1 = halves.high, g0 = halves.low;

    const uint64_t vb = round_to_odd(g1, g0, cb << h);
    const uint64_t vbl = round_to_odd(g1, g0, cbl << h);
    const uint64_t vbr = round_to_odd(g1, g0, cbr << h);

    const uint64_t s = vb >> 2;
    // Only subnormals of a few units come this low.
    if (s < 10) return false;
    // The three choices are made as selections, not branches: which one
    // holds varies from value to value.
    // One digit fewer: the multiples of ten around s.
    const uint64_t sp10 = s / 10 * 10;
    const uint64_t tp10 = sp10 + 10;
    const bool upin = vbl + out_bit <= sp10 << 2;
    const bool wpin = (tp10 << 2) + out_bit <= vbr;
    const uint64_t t = s + 1;
    const bool uin = vbl + out_bit <= s << 2;
    const bool win = (t << 2) + out_bit <= vbr;
    // Both inside: the closer one, ties to the even one.
    const int64_t cmp = int64_t(vb - ((s + t) << 1));
    const uint64_t closer = t - uint64_t((cmp < 0) | ((cmp == 0) & ((s & 1) == 0)));
    const uint64_t one_inside = t - uint64_t(uin);
    const uint64_t near = select_bits(uin != win, one_inside, closer);
    const uint64_t fewer = tp10 - 10 * uint64_t(upin);
    f = select_bits(upin != wpin, fewer, near);
    exponent10 = k;
    // From s, ahead of the choice: f has as many digits, or one more when
    // the choice passed a power of ten.
    const int32_t s_length = decimal_length(s);
    length = s_length + (f >= pow10_u64_table[s_length] ? 1 : 0);
    return true;
}

// layout_digits of the n digits of f x 10^exponent10 when they number at
// most 17 and the point falls inside them, after at most 14 (the usual
// case), made without a digit record; 0 otherwise, writing nothing that
// counts. Writes up to 32 bytes.
inline int32_t write_point_inside(char *buffer, bool negative, uint64_t f, int32_t exponent10, int32_t n) {
    const int32_t point = exponent10 + n;
    if (point <= 0 || point > point_in_block_limit || n > max_shortest_digits) return 0;
    const uint32_t top = uint32_t(f / 100000000u);  // below 10^9: n <= 17
    // The 24 digits of f with leading zeros, then zeros for the reads
    // past them. The two 16-byte reads below do not match the stores: they
    // wait for them instead of taking the stored values directly, which
    // costs less than assembling the bytes in registers.
    alignas(16) char image[40];
    // Above 16 digits at most one (n <= 17 below), the last byte of the
    // first word.
    const uint64_t first = ascii_zeros | uint64_t(top / 100000000u) << 56;
    std::memcpy(image, &first, 8);
    const int32_t in_last = store_sixteen_digits(image + 8, top % 100000000u, uint32_t(f % 100000000u));
    std::memset(image + 24, 0, 16);
    const int32_t skip = 24 - n;  // leading zeros
    // The count waits on the digits only when f ends in 0 (a shortest
    // choice with fewer digits, mostly): a branch, so that the usual length
    // is known long before them. Trailing zeros end at the last nonzero
    // digit: among the last sixteen when they have one, else in the first
    // word (f is not 0).
    int32_t count = n;
    if (__builtin_expect(f % 10 == 0, 0))
        count = int32_t(select_bits(in_last != 0, uint64_t(8 + in_last),
                                    uint64_t(through_last_nonzero((first ^ ascii_zeros) | 1)))) -
                skip;
    if (point >= count) return 0;
    // The digits before the point (and some after, overwritten), the point,
    // the digits after it: at most 1 + 14 + 1 + 16 bytes.
    char *p = buffer;
    *p = '-';
    p += negative ? 1 : 0;
    std::memcpy(p, image + skip, 16);
    p[point] = '.';
    std::memcpy(p + point + 1, image + skip + point, 16);
    return int32_t(p - buffer) + count + 1;
}

}  // namespace digit_steps

using digit_steps::decimal_length;
using digit_steps::shortest_integer_fast;
using digit_steps::store_sixteen_digits;
using digit_steps::store_sixteen_digits_portable;
using digit_steps::write_point_inside;

}  // namespace zvl
