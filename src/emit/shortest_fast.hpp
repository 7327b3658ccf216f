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

#include "core/pow10_table.hpp"
#include "core/word.hpp"
#include "emit/format_double.hpp"

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

// The count of decimal digits of x (x > 0): 1233 / 4096 is log10(2) from
// below.
inline int32_t decimal_length(uint64_t x) {
    const int32_t n = ((64 - __builtin_clzll(x)) * 1233) >> 12;
    return n + (x >= pow10_u64_table[n] ? 1 : 0);
}

// The upper bound of c x 2^e (equal margins) scaled by 10^k: its integer
// part as 1000 s + r, whether it is whole, and the interval's width delta
// (its integer part).
struct scaled_bound {
    const pow10_entry *power;
    int32_t k, beta;
    uint64_t s, r, delta;
    bool whole;
};

inline scaled_bound scale_upper_bound(uint64_t c, int32_t e) {
    scaled_bound b;
    b.k = 2 - floor_log10_pow2(e);
    b.power = &pow10_up.entries[b.k - pow10_up_first];
    b.beta = e + floor_log2_pow10(b.k);  // 6 to 9
    const uint64_t zi = upper_product(((c << 1) | 1) << b.beta, *b.power, b.whole);
    b.delta = b.power->high >> (63 - b.beta);
    b.s = zi / 1000;
    b.r = zi - b.s * 1000;
    return b;
}

// The generator's choice as an integer for any positive finite value: the
// digits are those of f x 10^exponent10 (f > 0, below 10^17, trailing zeros
// possible), `length` of them.
inline void shortest_integer(const binary_value &value, uint64_t &f, int32_t &exponent10, int32_t &length) {
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
    const uint64_t c = value.f, two_c = c << 1;
    const scaled_bound b = scale_upper_bound(c, e);
    uint64_t s = b.s, r = b.r;
    const bool inclusive = (c & 1) == 0;
    bool fewer;
    if (r < b.delta) {
        // The upper bound itself when it is whole and left out.
        fewer = r != 0 || !b.whole || inclusive;
        if (!fewer) {
            --s;
            r = 1000;
        }
    } else if (r > b.delta) {
        fewer = false;
    } else {
        // The multiple of 1000 lies on the lower bound's integer part:
        // inside when the bound's floor is odd (below it), or the bound is
        // whole and inside.
        bool odd, whole;
        product_parity(two_c - 1, *b.power, b.beta, odd, whole);
        fewer = odd || (whole && inclusive);
    }
    if (fewer) {
        f = s;
        exponent10 = 3 - b.k;
    } else {
        // The value lies at r - delta / 2 above 1000 s; half a unit more
        // rounds to the nearest multiple of 100 when nothing was cut. A
        // remainder of 0 leaves it open: then the value's own parity says
        // whether the cut fractions lowered it, and a whole value is a tie.
        const uint64_t distance = r - b.delta / 2 + 50;  // 100 to 1000
        // distance / 100 and whether it divides, from one product: exact
        // below 1099.
        const uint64_t scaled = distance * 656;
        f = s * 10 + (scaled >> 16);
        if ((scaled & 0xFFFF) < 656) {
            bool odd, whole;
            product_parity(two_c, *b.power, b.beta, odd, whole);
            if (odd != ((distance & 1) != 0) || (whole && (f & 1) != 0)) --f;
        }
        exponent10 = 2 - b.k;
    }
    length = decimal_length(f);
}

// The fixed layout of the 17 digits of g (10^16 <= g < 10^17, trailing
// zeros not shown) when the point falls inside them, after `point` of them
// (1 to 14; the usual case); 0 otherwise, writing nothing that counts.
// Writes up to 32 bytes. The portable form keeps the digits in memory.
inline int32_t write_seventeen_portable(char *buffer, bool negative, uint64_t g, int32_t point) {
    if (uint32_t(point - 1) >= uint32_t(point_in_block_limit)) return 0;
    const uint32_t top = uint32_t(g / 100000000u);
    const uint32_t first = top / 100000000u;
    alignas(16) char digits[40];
    const uint64_t high = eight_ascii_digits(top - first * 100000000u);
    const uint64_t low = eight_ascii_digits(uint32_t(g % 100000000u));
    digits[0] = char('0' + first);
    std::memcpy(digits + 1, &high, 8);
    std::memcpy(digits + 9, &low, 8);
    std::memset(digits + 17, 0, 23);
    const uint64_t x1 = high ^ ascii_zeros, x2 = low ^ ascii_zeros;
    const int32_t count = int32_t(select_bits(x2 != 0, uint64_t(9 + through_last_nonzero(x2 | 1)),
                                              select_bits(x1 != 0, uint64_t(1 + through_last_nonzero(x1 | 1)), 1)));
    if (point >= count) return 0;
    char *p = buffer;
    *p = '-';
    p += negative ? 1 : 0;
    std::memcpy(p, digits, 16);
    p[point] = '.';
    std::memcpy(p + point + 1, digits + point, 16);
    return int32_t(p - buffer) + count + 1;
}

#if defined(__SSE2__)
// The sixteen ASCII digits of high and low (each below 10^8, leading
// zeros included), high's first: the splits of eight_ascii_digits on both
// halves at once, 4 + 4 digits in 32-bit lanes, 2 + 2 in 16-bit lanes, 1 +
// 1 in bytes, each by a multiply whose quotient is exact in its lane.
inline __m128i sixteen_ascii_digits(uint32_t high, uint32_t low) {
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
    return _mm_add_epi8(_mm_or_si128(tens, _mm_slli_epi16(ones, 8)), _mm_set1_epi8('0'));
}

// The fixed layout of sixteen ASCII digits (the first not 0) and a last
// one (`last`, 0 for none) with the point after `point` of them (1 to 14):
// the text before and after the point is the digits as they stand and
// moved by one place, taken by a mask of the bytes before the point. 0 when
// the point is not before the last digit other than 0.
inline int32_t write_digit_block(char *buffer, bool negative, __m128i digits, uint32_t last, int32_t point) {
    // Bit i set for digit i other than 0 (the first is not), 16 for `last`.
    const uint32_t nonzero =
        (uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0')))) ^ 0xFFFFu) | uint32_t(last != 0) << 16;
    const int32_t count = 32 - __builtin_clz(nonzero);
    if (point >= count) return 0;
    char *p = buffer;
    *p = '-';
    p += negative ? 1 : 0;
    // The 16th digit lands past the 16-byte block below.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), digits);
    p[17] = char('0' + last);
    const __m128i text = word::select_lanes(word::first_lanes(point), digits, _mm_slli_si128(digits, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), text);
    p[point] = '.';
    return int32_t(p - buffer) + count + 1;
}

// The 16 digits of v (below 10^16, leading zeros included) in a register.
inline __m128i sixteen_digits_of(uint64_t v) {
    const uint64_t high = v / 100000000u;
    return sixteen_ascii_digits(uint32_t(high), uint32_t(v - high * 100000000u));
}

// write_seventeen_portable with the digits in a register.
inline int32_t write_seventeen(char *buffer, bool negative, uint64_t g, int32_t point) {
    if (uint32_t(point - 1) >= uint32_t(point_in_block_limit)) return 0;
    const uint64_t first = g / 10;
    return write_digit_block(buffer, negative, sixteen_digits_of(first), uint32_t(g - first * 10), point);
}
#else
inline int32_t write_seventeen(char *buffer, bool negative, uint64_t g, int32_t point) {
    return write_seventeen_portable(buffer, negative, g, point);
}
#endif

// layout_digits of the n digits of f x 10^exponent10 when they number at
// most 17 and the point falls inside them, after at most 14 (the usual
// case), made without a digit record; 0 otherwise, writing nothing that
// counts. Writes up to 32 bytes.
inline int32_t write_point_inside(char *buffer, bool negative, uint64_t f, int32_t exponent10, int32_t n) {
    if (n > max_shortest_digits) return 0;
    return write_seventeen(buffer, negative, f * pow10_u64_table[max_shortest_digits - n], exponent10 + n);
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
// values. Zeros, powers of two, subnormals, values that are not finite and
// the generator's few unsettled cases go out of line.
inline int32_t write_double(char *buffer, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (__builtin_expect(fraction == 0 || biased - 1 >= 0x7FE, 0)) return write_double_rare(buffer, value);
    const uint64_t c = fraction | (uint64_t(1) << 52);
#if defined(__SSE2__)
    const scaled_bound b = scale_upper_bound(c, int32_t(biased) - 1075);
    // Without branches on the outcome, which follows no pattern: the
    // multiple of 1000 when it lies inside, else the multiple of 100 nearest
    // to the value (see shortest_integer). The cases those integer parts
    // leave open, and a few more, go out of line.
    const bool fewer = b.r < b.delta;
    const uint64_t scaled = (b.r - b.delta / 2 + 50) * 656;
    if (__builtin_expect(b.r == b.delta, 0) || __builtin_expect(b.r == 0, 0) ||
        __builtin_expect((scaled & 0xFFFF) < 656, 0))
        return write_double_rare(buffer, value);
    const uint64_t last = select_bits(fewer, 0, scaled >> 16);
    // The choice is 1000 s or 100 (10 s + last): 15 or 16 digits of s (the
    // value is at least 100 x 2^52 units of 10^-k), then `last`. The digits
    // of s (made 16 by a multiply: a branch on the count mispredicts often)
    // start before the choice is known.
    const bool sixteen = b.s >= pow10_u64_table[15];
    uint64_t factor = 10 - 9 * uint64_t(sixteen);
    asm("" : "+r"(factor));
    const int32_t point = 18 - b.k + int32_t(sixteen);
    const bool negative = (bits >> 63) != 0;
    if (uint32_t(point - 1) < uint32_t(point_in_block_limit)) {
        __m128i digits = sixteen_digits_of(b.s * factor);
        // `last` in the zero made by that multiply, or after the sixteen.
        digits = _mm_or_si128(digits, _mm_slli_si128(_mm_cvtsi32_si128(int32_t(select_bits(sixteen, 0, last))), 15));
        if (const int32_t n =
                write_digit_block(buffer, negative, digits, uint32_t(select_bits(sixteen, last, 0)), point))
            return n;
    }
    return layout_integer(buffer, negative, b.s * 10 + last, 2 - b.k);
#else
    return write_binary(buffer, (bits >> 63) != 0, binary_value{c, int32_t(biased) - 1075, false});
#endif
}

}  // namespace digit_steps

using digit_steps::decimal_length;
using digit_steps::shortest_integer;
using digit_steps::write_binary;
using digit_steps::write_double;
using digit_steps::write_point_inside;
using digit_steps::write_seventeen;
using digit_steps::write_seventeen_portable;

}  // namespace zvl
