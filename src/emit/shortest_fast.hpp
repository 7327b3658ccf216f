// The shortest-digit generator and the fixed layout of its digits
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

// ---- generator: one product with a power of ten ------------------------
//
// With k = 2 - floor(log10 2^e), the rounding interval of c x 2^e scaled by
// 10^k is delta = 2^e x 10^k wide, in [100, 1000): it holds at most one
// multiple of 1000 and always the multiple of 100 nearest to the value. One
// product of the upper bound (2c + 1) x 2^(e-1) with 10^k (a 128-bit
// mantissa rounded up, so that the bits below the point tell whether the
// bound is whole) gives its integer part z; delta's integer part comes from
// the mantissa by a shift. The multiple of 1000 at or below z is the
// shortest choice when it lies inside (its trailing zeros are the layout's
// to drop); else the multiple of 100 nearest to the value is, counted from z
// less half of delta. A parity of a second product settles the cases where
// those integer parts leave the answer open: the lower bound meeting that
// multiple of 1000, the value near the middle between two multiples of 100.
// Powers of two above the subnormals have a narrower interval below; they
// compare bounds and the value made from the mantissa's top word alone.

// The integer part of u x 10^k / 2^(128 - beta) for u already shifted by
// beta, and whether the 64 bits below its point are all zero: the top 128
// bits of the product. In 64-bit halves: a 128-bit sum makes the compiler
// keep its parts in memory.
inline uint64_t upper_product(uint64_t u, const pow10_entry &p, bool &whole) {
    const u128 high = u128(u) * p.high;
    const uint64_t middle = uint64_t((u128(u) * p.low) >> 64);
    uint64_t fraction;
    const bool carry = __builtin_add_overflow(uint64_t(high), middle, &fraction);
    whole = fraction == 0;
    return uint64_t(high >> 64) + carry;
}

// Whether floor(u x 10^k / 2^(128 - beta)) is odd, and whether the quotient
// is whole, from the product's low 128 bits.
inline void product_parity(uint64_t u, const pow10_entry &p, int32_t beta, bool &odd, bool &whole) {
    const uint64_t high = u * p.high + uint64_t((u128(u) * p.low) >> 64);
    const uint64_t low = u * p.low;
    odd = ((high >> (64 - beta)) & 1) != 0;
    whole = ((high << beta) | (low >> (64 - beta))) == 0;
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
    // The factors hidden from the compiler, which would turn each product
    // into a chain of shifts and adds: one multiply is fewer steps.
    __m128i hundreds = _mm_set1_epi16(100), tens_factor = _mm_set1_epi16(10);
    asm("" : "+x"(hundreds), "+x"(tens_factor));
    const __m128i pairs_rest = _mm_sub_epi16(x, _mm_mullo_epi16(pairs, hundreds));
    const __m128i y = _mm_or_si128(pairs, _mm_slli_epi32(pairs_rest, 16));
    // y / 10 = y x 6554 / 2^16 below 100.
    const __m128i tens = _mm_mulhi_epu16(y, _mm_set1_epi16(6554));
    const __m128i ones = _mm_sub_epi16(y, _mm_mullo_epi16(tens, tens_factor));
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

// The generator's choice as an integer for any positive finite value: the
// digits are those of f x 10^exponent10 (f > 0, below 10^17, trailing zeros
// possible), `length` of them.
inline void shortest_integer(const binary_value &value, uint64_t &f, int32_t &exponent10, int32_t &length) {
    const uint64_t c = value.f;
    const int32_t e = value.e;
    if (__builtin_expect(value.unequal_margins, 0)) {
        // Bounds c x 2^e less a quarter and plus a half of 2^e, both inside
        // (c is even); scaled so that the interval spans 1 to 10 units.
        const int32_t k = -floor_log10_three_quarters_pow2(e);
        const uint64_t g = pow10_up.entries[k - pow10_up_first].high;
        const int32_t shift = 11 - (e + floor_log2_pow10(k));  // 8 to 11
        // The lower bound is whole only where 10^k holds the 2^(e-2) (e 2, 3).
        const uint64_t lower = ((g - (g >> 54)) >> shift) + (e == 2 || e == 3 ? 0 : 1);
        const uint64_t upper = (g + (g >> 53)) >> shift;
        f = upper / 10;
        if (f * 10 >= lower) {
            exponent10 = 1 - k;
        } else {
            // The value rounded to a unit, ties down to even where they
            // occur (2^-77 only), else up into the interval.
            f = ((g >> (shift - 1)) + 1) / 2;
            if (e == -77 && (f & 1) != 0) {
                --f;
            } else if (f < lower) {
                ++f;
            }
            exponent10 = -k;
        }
        length = decimal_length(f);
        return;
    }
    const int32_t k = 2 - floor_log10_pow2(e);
    const pow10_entry &p = pow10_up.entries[k - pow10_up_first];
    const int32_t beta = e + floor_log2_pow10(k);  // 6 to 9
    const uint64_t two_c = c << 1;
    bool z_whole;
    const uint64_t zi = upper_product((two_c | 1) << beta, p, z_whole);
    const uint64_t delta = p.high >> (63 - beta);
    uint64_t s = zi / 1000;
    uint64_t r = zi - s * 1000;
    bool fewer;
    if (r < delta) {
        // The upper bound itself when it is whole and left out.
        fewer = r != 0 || !z_whole || value.inclusive;
        if (!fewer) {
            --s;
            r = 1000;
        }
    } else if (r > delta) {
        fewer = false;
    } else {
        // The multiple of 1000 lies on the lower bound's integer part:
        // inside when the bound's floor is odd (below it), or the bound is
        // whole and inside.
        bool odd, whole;
        product_parity(two_c - 1, p, beta, odd, whole);
        fewer = odd || (whole && value.inclusive);
    }
    if (fewer) {
        f = s;
        exponent10 = 3 - k;
    } else {
        // The value lies at r - delta / 2 above 1000 s; half a unit more
        // rounds to the nearest multiple of 100 when nothing was cut. A
        // remainder of 0 leaves it open: then the value's own parity says
        // whether the cut fractions lowered it, and a whole value is a tie.
        const uint64_t distance = r - delta / 2 + 50;  // 100 to 1000
        // distance / 100 and whether it divides, from one product: exact
        // below 1099.
        const uint64_t scaled = distance * 656;
        f = s * 10 + (scaled >> 16);
        if ((scaled & 0xFFFF) < 656) {
            bool odd, whole;
            product_parity(two_c, p, beta, odd, whole);
            if (odd != ((distance & 1) != 0) || (whole && (f & 1) != 0)) --f;
        }
        exponent10 = 2 - k;
    }
    length = decimal_length(f);
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

// The text of the positive value v, with a "-" first when negative.
inline int32_t write_binary(char *buffer, bool negative, const binary_value &v) {
    uint64_t f;
    int32_t exponent10, length;
    shortest_integer(v, f, exponent10, length);
    if (const int32_t n = write_point_inside(buffer, negative, f, exponent10, length)) return n;
    return layout_integer(buffer, negative, f, exponent10);
}

// zarvel_format_double of a buffer, inline for the loops that format many
// values. Zeros, powers of two and values that are not finite (all with a
// fraction of 0 or the top exponent) go out of line.
inline int32_t write_double(char *buffer, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (__builtin_expect(fraction == 0 || biased == 0x7FF, 0)) return write_double_rare(buffer, value);
    // Subnormals share the smallest normal exponent, without the hidden bit.
    binary_value v;
    v.f = fraction | (uint64_t(biased != 0) << 52);
    v.e = int32_t(biased + (biased == 0)) - 1075;
    v.unequal_margins = false;
    v.inclusive = (v.f & 1) == 0;
    return write_binary(buffer, (bits >> 63) != 0, v);
}

}  // namespace digit_steps

using digit_steps::decimal_length;
using digit_steps::shortest_integer;
using digit_steps::store_sixteen_digits;
using digit_steps::store_sixteen_digits_portable;
using digit_steps::write_binary;
using digit_steps::write_double;
using digit_steps::write_point_inside;

}  // namespace zvl
