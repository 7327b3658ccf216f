#include "core/decimal_to_double.hpp"

#include <bit>
#include <cstring>

#include "core/pow10_table.hpp"
#include "core/word.hpp"

namespace zvl {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t sign_bit = uint64_t(1) << 63;
constexpr uint64_t infinity_bits = uint64_t(0x7FF) << 52;

// 10^19 < 2^64: nineteen digits always fit one word.
constexpr int64_t word_digits = 19;
// With w below 10^19, w x 10^q is below 10^-324 < 2^-1075 (zero once
// rounded) for q under the table, and at least 10^309 (past the largest
// double) above this.
constexpr int64_t largest_power = 308;
// Every halfway point between two doubles is written exactly in at most 768
// significant digits; past these many, a digit only matters as "not zero".
constexpr int64_t horizon_digits = 780;

inline double from_bits(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline uint64_t to_bits(double d) { return std::bit_cast<uint64_t>(d); }

inline bool is_digit(char c) { return uint8_t(c - '0') < 10; }

// The digits among the (up to) eight bytes at p, the first in the lowest
// byte: how many lead, and their value. Only [begin, end) is read; bytes
// past end count as no digit.
inline int leading_digits(const char *begin, const char *p, const char *end, uint64_t &value) {
    const ptrdiff_t left = end - p;
    uint64_t v = 0;
    if (left >= 8) {
        std::memcpy(&v, p, 8);
    } else if (end - begin >= 8) {
        // The eight bytes ending at end, moved down to p.
        if (left == 0) return 0;
        std::memcpy(&v, end - 8, 8);
        v >>= 8 * (8 - left);
    } else {
        std::memcpy(&v, p, size_t(left));
    }
    const uint64_t odd = word::non_digits(v);
    const int count = odd ? __builtin_ctzll(odd) / 8 : 8;
    if (count == 0) return 0;
    // The digits moved to the top bytes (the bytes after them drop out).
    value = word::digits_value((v - word::zero_digits) << (8 * (8 - count)));
    return count;
}

// Digits from p on into w (wrapping past 19 of them); returns the end.
inline const char *read_digits(const char *begin, const char *p, const char *end, uint64_t &w) {
    if constexpr (!word::little_endian) {
        for (; p != end && is_digit(*p); ++p) w = w * 10 + uint64_t(*p - '0');
        return p;
    }
    for (;;) {
        uint64_t value;
        const int count = leading_digits(begin, p, end, value);
        if (count == 0) return p;
        w = w * pow10_u64_table[count] + value;
        p += count;
        if (count < 8) return p;
    }
}

// ---- the product ----------------------------------------------------------

// The bits of the double nearest a product whose top word hi leads with bit
// 63 or 62; base is the biased exponent when bit 62 leads. With rest_zero
// the product has nothing below hi, else something not zero.
inline uint64_t round_top_word(uint64_t hi, bool rest_zero, int64_t base) {
    const int upper = int(hi >> 63);
    int shift = 10 + upper;  // bits of hi below the 53 kept
    int64_t biased = base + upper;
    if (biased <= 0) {  // below the normal range: fewer bits kept
        shift += int(1 - biased);
        biased = 1;
        if (shift > 64) return 0;
    }
    uint64_t m, half, below;
    if (shift < 64) {
        m = hi >> shift;
        half = (hi >> (shift - 1)) & 1;
        below = hi & ((uint64_t(1) << (shift - 1)) - 1);
    } else {
        m = 0;
        half = hi >> 63;
        below = hi << 1;
    }
    // Ties go to even; anything below the rounding bit breaks them upward.
    m += half & uint64_t(!rest_zero || below != 0 || (m & 1) != 0);
    const uint64_t bits = (uint64_t(biased - 1) << 52) + m;  // a carry out of m raises the exponent
    return bits > infinity_bits ? infinity_bits : bits;
}

// The bits of the double nearest w x 10^q for w != 0 and q in
// [pow10_first, largest_power]; false when the product cannot tell.
//
// With w moved up to bit 63 and T the table's entry (10^q scaled to
// [2^127, 2^128), rounded down), the exact product Y = w x 10^q x 2^s lies in
// [w T, w T + 2^64), and above w T unless T is exact. Only the top 55 bits of
// Y (53 kept, the rounding bit, one for the leading bit's two places) and
// whether Y sits exactly on a halfway point decide the result.
inline __attribute__((always_inline)) bool product_bits(uint64_t w, int64_t q, uint64_t &bits) {
    const int lz = __builtin_clzll(w);
    const uint64_t wn = w << lz;
    const pow10_entry &t = pow10_table[q - pow10_first];
    const u128 first = u128(wn) * t.high;
    uint64_t hi = uint64_t(first >> 64), lo = uint64_t(first);
    const int64_t base = floor_log2_pow10(int32_t(q)) + 63 - lz + 1023;
    // For q in [0, 27] the entry is 5^q moved up, all in its high word, so
    // that the product is Y itself.
    if (q >= 0 && q <= 27) {
        bits = round_top_word(hi, lo == 0, base);
        return true;
    }
    // Otherwise Y exceeds hi:lo by less than 2^64, which changes the bits
    // that matter only when the nine below them are all ones.
    if ((hi & 0x1FF) == 0x1FF) {
        const uint64_t next = uint64_t((u128(wn) * t.low) >> 64);
        lo += next;
        hi += lo < next;
        // Now Y is hi:lo:x plus less than 2^64, which may carry into hi.
        // That matters only when hi + 1 is a halfway point.
        if ((hi & 0x1FF) == 0x1FF && lo == ~uint64_t(0) && hi != ~uint64_t(0)) {
            bits = round_top_word(hi, false, base);
            return bits == round_top_word(hi + 1, true, base) && bits == round_top_word(hi + 1, false, base);
        }
    }
    bits = round_top_word(hi, false, base);
    return true;
}

// ---- exact arithmetic -----------------------------------------------------

// Unsigned integers to 4352 bits: enough for 10^1104 times 2^56, the most
// the exact division below meets (the range checks bound the exponents).
struct big_integer {
    static constexpr int capacity = 68;
    uint64_t limbs[capacity];
    int size = 0;

    explicit big_integer(uint64_t value) {
        if (value) limbs[size++] = value;
    }
    void multiply_add(uint64_t factor, uint64_t addend) {
        u128 carry = addend;
        for (int i = 0; i < size; ++i) {
            const u128 p = u128(limbs[i]) * factor + carry;
            limbs[i] = uint64_t(p);
            carry = p >> 64;
        }
        if (carry && size < capacity) limbs[size++] = uint64_t(carry);
    }
    void multiply_pow10(int64_t n) {
        for (; n >= word_digits; n -= word_digits) multiply_add(pow10_u64_table[word_digits], 0);
        if (n > 0) multiply_add(pow10_u64_table[n], 0);
    }
    int64_t bit_length() const { return size ? 64 * int64_t(size) - __builtin_clzll(limbs[size - 1]) : 0; }
    void shift_left(int64_t n) {
        if (size == 0 || n <= 0) return;
        const int words = int(n / 64), bits = int(n % 64);
        int grown = size + words + 1;
        if (grown > capacity) grown = capacity;
        for (int i = grown - 1; i >= words; --i) {
            const int from = i - words;
            const uint64_t high = from < size ? limbs[from] : 0;
            const uint64_t low = from - 1 >= 0 && from - 1 < size ? limbs[from - 1] : 0;
            limbs[i] = bits ? (high << bits) | (low >> (64 - bits)) : high;
        }
        for (int i = 0; i < words && i < capacity; ++i) limbs[i] = 0;
        size = grown;
        trim();
    }
    void shift_right_one() {
        for (int i = 0; i < size; ++i) limbs[i] = (limbs[i] >> 1) | (i + 1 < size ? limbs[i + 1] << 63 : 0);
        trim();
    }
    int compare(const big_integer &o) const {
        if (size != o.size) return size < o.size ? -1 : 1;
        for (int i = size - 1; i >= 0; --i)
            if (limbs[i] != o.limbs[i]) return limbs[i] < o.limbs[i] ? -1 : 1;
        return 0;
    }
    void subtract(const big_integer &o) {  // *this >= o
        uint64_t borrow = 0;
        for (int i = 0; i < size; ++i) {
            const uint64_t x = i < o.size ? o.limbs[i] : 0;
            const uint64_t d = limbs[i] - x - borrow;
            borrow = (limbs[i] < x || (limbs[i] == x && borrow)) ? 1 : 0;
            limbs[i] = d;
        }
        trim();
    }
    void trim() {
        while (size && limbs[size - 1] == 0) --size;
    }
};

// The bits of the double nearest digits x 10^k (digits not zero), by long
// division: 55 or 56 quotient bits, then the remainder as the sticky bit.
__attribute__((noinline, cold)) uint64_t exact_bits(big_integer digits, int64_t k) {
    big_integer &a = digits;
    big_integer b(1);
    if (k >= 0)
        a.multiply_pow10(k);
    else
        b.multiply_pow10(-k);
    // a / b in (2^54, 2^56) once scaled by 2^-e.
    const int64_t e = a.bit_length() - b.bit_length() - 55;
    if (e < 0)
        a.shift_left(-e);
    else
        b.shift_left(e);
    b.shift_left(55);
    uint64_t quotient = 0;
    for (int i = 55; i >= 0; --i) {
        if (a.compare(b) >= 0) {
            a.subtract(b);
            quotient |= uint64_t(1) << i;
        }
        b.shift_right_one();
    }
    const int64_t quotient_bits = 64 - __builtin_clzll(quotient);
    // Weight of the rounding bit: one below the 53 kept, or 2^-1075 at least.
    int64_t round_at = e + quotient_bits - 54;
    if (round_at < -1075) round_at = -1075;
    const int64_t drop = round_at - e;  // at least 1
    const uint64_t kept = drop >= 64 ? 0 : quotient >> drop;
    const bool sticky = a.size != 0 || (drop >= 64 ? quotient != 0 : (quotient & ((uint64_t(1) << drop) - 1)) != 0);
    uint64_t m = kept >> 1;
    if ((kept & 1) && (sticky || (m & 1))) ++m;
    const int64_t unit = round_at + 1;  // weight of m's last bit, -1074 or more
    if (unit > 972) return infinity_bits;
    const uint64_t bits = (uint64_t(unit + 1074) << 52) + m;
    return bits > infinity_bits ? infinity_bits : bits;
}

// The double nearest w x 10^q, negated when negative is set.
inline __attribute__((always_inline)) double parts_to_double(uint64_t w, int64_t q, bool negative) {
    const uint64_t sign = negative ? sign_bit : 0;
    if (w == 0 || q < pow10_first) return from_bits(sign);
    if (q > largest_power) return from_bits(sign | infinity_bits);
    // Both factors exact: one correctly rounded operation.
    if (w <= (uint64_t(1) << 53) && q >= -22 && q <= 22) {
        const double v = q < 0 ? double(w) / pow10_doubles[-q] : double(w) * pow10_doubles[q];
        return negative ? -v : v;
    }
    uint64_t bits;
    if (!product_bits(w, q, bits)) bits = exact_bits(big_integer(w), q);
    return from_bits(sign | bits);
}

// A mantissa of more than 19 digits, [first, end) from its first digit not
// zero (a "." may stand among them); value = mantissa x 10^q.
__attribute__((noinline)) double many_digits(const char *first, const char *end, int64_t significant, int64_t q,
                                             bool negative) {
    // The first 19 digits, and the value lies in [w, w + 1) x 10^cut_q.
    uint64_t w = 0;
    const char *c = first;
    for (int64_t taken = 0; taken < word_digits; ++c) {
        if (*c == '.') continue;
        w = w * 10 + uint64_t(*c - '0');
        ++taken;
    }
    const int64_t cut_q = q + significant - word_digits;
    if (cut_q < pow10_first || cut_q > largest_power) return parts_to_double(w, cut_q, negative);
    const uint64_t sign = negative ? sign_bit : 0;
    uint64_t low, high;
    if (product_bits(w, cut_q, low) && product_bits(w + 1, cut_q, high) && low == high) return from_bits(sign | low);
    // The exact way, on the digits up to the horizon and a last 1 standing
    // for any nonzero digit past it.
    big_integer digits(0);
    uint64_t chunk = 0;
    int64_t chunk_digits = 0, kept = 0;
    bool sticky = false;
    for (c = first; c != end; ++c) {
        if (*c == '.') continue;
        if (kept == horizon_digits) {
            sticky |= *c != '0';
            continue;
        }
        chunk = chunk * 10 + uint64_t(*c - '0');
        ++kept;
        if (++chunk_digits == word_digits) {
            digits.multiply_add(pow10_u64_table[word_digits], chunk);
            chunk = 0;
            chunk_digits = 0;
        }
    }
    digits.multiply_add(pow10_u64_table[chunk_digits], chunk);
    int64_t k = q + significant - kept;
    if (sticky) {
        digits.multiply_add(10, 1);
        --k;
    }
    return from_bits(sign | exact_bits(digits, k));
}

}  // namespace

double decimal_parts_to_double(uint64_t w, int64_t q, bool negative) { return parts_to_double(w, q, negative); }

bool decimal::general(const char *text, size_t length, double &out) {
    if (!text) return false;
    const char *p = text, *const end = text + length;
    bool negative = false;
    if (p != end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    uint64_t w = 0;
    int64_t fraction_digits = 0;
    const char *const digits_start = p;
    p = read_digits(text, p, end, w);
    int64_t digit_count = p - digits_start;
    if (p != end && *p == '.') {
        const char *const fraction_start = ++p;
        p = read_digits(text, p, end, w);
        fraction_digits = p - fraction_start;
        digit_count += fraction_digits;
    }
    if (digit_count == 0) return false;
    const char *const mantissa_end = p;
    int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '-' || *p == '+')) exponent_negative = *p++ == '-';
        if (p == end || !is_digit(*p)) return false;
        // Held below 10^18: far past any double, and no overflow.
        for (; p != end && is_digit(*p); ++p)
            if (exponent < 100000000000000000) exponent = exponent * 10 + (*p - '0');
        if (exponent_negative) exponent = -exponent;
    }
    if (p != end) return false;
    const int64_t q = exponent - fraction_digits;
    if (digit_count <= word_digits) {
        out = parts_to_double(w, q, negative);
        return true;
    }
    // Leading zeros aside, w may still be exact.
    const char *first = digits_start;
    int64_t significant = digit_count;
    for (; first != mantissa_end && (*first == '0' || *first == '.'); ++first)
        if (*first == '0') --significant;
    out = significant <= word_digits ? parts_to_double(significant ? w : 0, q, negative)
                                     : many_digits(first, mantissa_end, significant, q, negative);
    return true;
}

namespace {

// A number of at most eight bytes after its sign with a point inside, the
// n bytes in the top of word v: the point taken out, up to seven digits
// in one word, and one exact division. Out of line, so that the long texts'
// way keeps its constants in registers the caller need not save.
__attribute__((noinline)) uint64_t short_point(uint64_t v, int n, bool negative) {
    const uint64_t keep = ~uint64_t(0) << (64 - 8 * n);
    const uint64_t point = word::equal_bytes(v, '.') & keep;
    if ((word::non_digits(v) & keep) != point || point == 0 || (point & (point - 1)) != 0) return decimal::not_taken;
    const int j = int(word::first_byte(point));
    const int m = 7 - j;
    if (m < 1 || j < 9 - n) return decimal::not_taken;
    const uint64_t d = v ^ word::zero_digits;
    const uint64_t joined = ((d & ((uint64_t(1) << (8 * j)) - 1)) << 8) | (d & (~uint64_t(0) << (8 * (j + 1))));
    return to_bits(double(word::digits_value(joined & (keep << 8))) / pow10_doubles[m]) | (uint64_t(negative) << 63);
}

// The quick way's constants, in one table so that one address reaches them
// all: for each m in [1, 16], pow10_table's top word for 10^-m, and the
// double 2^(f + 2) with 2^f <= 10^-m < 2^(f + 1); for each place i of a
// leading bit, 2^(63 - i) and the exponent field of 2^(i - 63); the weight
// of a seventeenth digit's first one, 0 or 10^16; sixteen lanes of ones,
// then sixteen of zeros (word::first_lanes' masks, kept here too: read
// beside the other constants, they cost no address of their own).
constexpr auto quick_table = [] {
    struct {
        uint64_t high[17];
        uint64_t scale[17];
        uint64_t lead_factor[64];
        uint64_t lead_exponent[64];
        uint64_t top_weight[2];
        alignas(16) uint8_t ones_first[32];
    } s{};
    for (int32_t j = 1; j <= 16; ++j) {
        const int32_t f = floor_log2_pow10(-j);
        s.high[j] = uint64_t((u128(1) << (63 - f)) / pow10_u64_table[j]);
        s.scale[j] = uint64_t(f + 2 + 1023) << 52;
    }
    for (int i = 0; i < 64; ++i) {
        s.lead_factor[i] = uint64_t(1) << (63 - i);
        s.lead_exponent[i] = uint64_t(int64_t(i - 63)) << 52;
    }
    s.top_weight[1] = pow10_u64_table[16];
    for (int i = 0; i < 16; ++i) s.ones_first[i] = 0xFF;
    return s;
}();

// The top word hi of a product Y = w x 10^-m x 2^(lz - f + 63), whose bit
// 62 or 63 leads and whose rest below hi is never zero (the table's entries
// are short of 10^-m), as the double with the bits of scale. hi / 2, its
// last bit set for that rest, is rounded by the conversion; scale is the
// power of two 2^(f + 2 - lz), with the sign, so that the product is exact.
inline uint64_t fraction_bits(uint64_t hi, uint64_t scale) {
    return to_bits(double(int64_t((hi >> 1) | 1)) * from_bits(scale));
}

// fraction_value's product when its top word cannot tell, wn the mantissa
// at bit 63: the table's next word settles all but a product within 2^-64
// of a halfway point. Out of line: texts that spell a double to 17 digits
// lie close to it and come here now and then (one in two hundred).
__attribute__((noinline)) uint64_t fraction_close(uint64_t wn, int64_t m, uint64_t scale) {
    const pow10_entry &t = pow10_table[-m - pow10_first];
    const u128 product = u128(wn) * t.high;
    uint64_t hi = uint64_t(product >> 64), lo = uint64_t(product);
    const uint64_t next = uint64_t((u128(wn) * t.low) >> 64);
    lo += next;
    hi += lo < next;
    if ((hi & 0x1FF) == 0x1FF && lo == ~uint64_t(0)) return decimal::not_taken;
    return fraction_bits(hi, scale);
}

// The bits of w x 10^-m for w below 10^19 and m in [1, 16]; not_taken
// when the product cannot tell. Such a value lies well inside the normal range.
inline uint64_t fraction_value(uint64_t w, int64_t m, bool negative) {
    if (w == 0) return negative ? sign_bit : 0;
    // As product_bits, for q = -m: the table's entry is inexact, so the
    // product is short of Y and a halfway bit always rounds up. Small
    // mantissas take it too (no exact halfway point below w = 5 x 2^53):
    // an exact division for them costs its mispredicted branch on mixed
    // data, more than the product.
    // w moved up to bit 63 by a product, and the scale's exponent lowered
    // to match, both from the table by the place of w's leading bit: fewer
    // steps than a shift by a count.
    const size_t top = 63u - unsigned(__builtin_clzll(w));
    const uint64_t wn = w * quick_table.lead_factor[top];
    const uint64_t hi = uint64_t((u128(wn) * quick_table.high[m]) >> 64);
    const uint64_t scale = (quick_table.scale[m] + quick_table.lead_exponent[top]) | (uint64_t(negative) << 63);
    // Nine ones below the rounding bit: the rest of Y may carry into it.
    if (((hi + 1) & 0x1FF) == 0) [[unlikely]]
        return fraction_close(wn, m, scale);
    return fraction_bits(hi, scale);
}

// The quick way's fraction from words: the last eight bytes lie within
// [p, end), and the ones before the fraction are digits or the point,
// which the mask drops. Out of line, as short_point.
__attribute__((noinline)) uint64_t word_fraction(uint64_t whole_value, const char *end, int64_t m, bool negative) {
    const uint64_t tail = word::load(end - 8);
    const uint64_t keep = ~uint64_t(0) << (64 - 8 * (m > 8 ? m - 8 : m));
    uint64_t fraction;
    if (m <= 8) {
        if (word::non_digits(tail) & keep) return decimal::not_taken;
        fraction = word::digits_value((tail & keep) - (word::zero_digits & keep));
    } else {
        const uint64_t first = word::load(end - m);
        if (word::non_digits(first) | word::non_digits(tail)) return decimal::not_taken;
        fraction = word::digits_value(first - word::zero_digits) * pow10_u64_table[m - 8] +
                   word::digits_value((tail - word::zero_digits) & keep);
    }
    return fraction_value(whole_value * pow10_u64_table[m] + fraction, m, negative);
}

#if defined(__SSE2__)
// The vector's lanes 0 to k of a point at lane k: with the lanes before
// it moved up one place and the rest kept, the point drops out. The point
// has to be the only one and stand before the last lane (the bits below it,
// all ones when there is none, meet neither it nor bits 14 and up); false
// otherwise.
inline bool point_lanes(unsigned point, __m128i &before, int64_t &k) {
    if (((point - 1) & (point | ~0x3FFFu)) != 0) return false;
    k = int64_t(unsigned(__builtin_ctz(point)));
    before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(quick_table.ones_first + 15 - k));
    return true;
}

inline unsigned point_bits(__m128i text) {
    return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('.'))));
}

// Up to sixteen bytes after the sign, digits and a point with a digit after
// it, as the bits of its double; not_taken for any other text. At most fifteen digits, so that
// both the digits and the power of ten are exact doubles and one division
// rounds correctly. The bytes come right-aligned in one vector, from one
// or two loads.
inline uint64_t short_fraction(const char *p, size_t n, bool negative) {
    uint64_t low = 0, high;
    if (n > 8) {
        low = word::load(p) << (8 * (16 - n));
        high = word::load(p + n - 8);
    } else {
        high = word::load_short(p, n) << (8 * (8 - n));
    }
    const __m128i text = _mm_set_epi64x(int64_t(high), int64_t(low));
    const __m128i digits = _mm_and_si128(_mm_sub_epi8(text, _mm_set1_epi8('0')), word::last_lanes(int64_t(n)));
    __m128i before;
    int64_t k;
    uint64_t w;
    if (!point_lanes(point_bits(text), before, k) ||
        !word::digits16_value(word::select_lanes(before, _mm_slli_si128(digits, 1), digits), w))
        return decimal::not_taken;
    return to_bits(double(int64_t(w)) / pow10_doubles[15 - k]) | (uint64_t(negative) << 63);
}

// The digits of 17 or 18 bytes after the sign with a point among the last
// sixteen and a digit after it (the usual shape of a shortest double's
// text, 16 or 17 digits): w and the count m of fraction digits, or false.
// The last seventeen bytes come in one vector without the point, the
// lanes before it from a second load a byte earlier; the first of
// eighteen comes alone.
inline bool point_digits17(const char *p, const char *end, uint64_t &w, int64_t &m) {
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16));
    __m128i before;
    int64_t k;
    uint64_t low;
    if (!point_lanes(point_bits(last), before, k)) return false;
    const __m128i joined =
        word::select_lanes(before, _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 17)), last);
    if (!word::digits16_value(_mm_sub_epi8(joined, _mm_set1_epi8('0')), low)) return false;
    const uint64_t top = uint64_t(uint8_t(p[0])) - '0';
    if (top > 9) return false;
    // The first digit stands apart in eighteen bytes only (a product, not
    // a branch: both lengths are common).
    w = top * quick_table.top_weight[end - p - 17] + low;
    m = 15 - k;
    return true;
}
#endif

// The other short texts the quick way takes: a sign or none, 1 to 7 integer
// digits, a point and 1 to 16 more, 19 digits at most. Read from words at
// fixed places, in one straight line. A text of at most eight bytes after
// the sign is one word; else the first word holds the integer digits and
// the point, a long fraction in a text of sixteen bytes or more comes from
// its last sixteen bytes, any other from its last word, or from its two
// ends.
__attribute__((noinline)) uint64_t word_point(const char *text, const char *end) {
    const bool negative = text[0] == '-';
    const char *const p = text + (negative || text[0] == '+');
    if (end - p <= 8) {
        const int n = int(end - p);
        if (n < 3) return decimal::not_taken;
        // The n bytes in the top of a word: one load when the text holds eight.
        const uint64_t v = end - text >= 8 ? word::load(end - 8) : word::load_short(p, size_t(n)) << (8 * (8 - n));
        return short_point(v, n, negative);
    }
    const uint64_t head = word::load(p);
    const uint64_t odd = word::non_digits(head);
    if (!odd) return decimal::not_taken;
    const int whole = __builtin_ctzll(odd) / 8;
    const int64_t m = end - (p + whole + 1);
    if (whole == 0 || p[whole] != '.' || m < 1 || m > 16 || whole + m > word_digits) return decimal::not_taken;
    const uint64_t whole_value = word::digits_value((head - word::zero_digits) << (8 * (8 - whole)));
    uint64_t fraction;
    if (m <= 8 || end - text < 16 || !word::last_digits16(end, m, fraction))
        return word_fraction(whole_value, end, m, negative);
    return fraction_value(whole_value * pow10_u64_table[m] + fraction, m, negative);
}

}  // namespace

// The usual number of a JSON text: a sign or none, digits with a point,
// 19 digits at most, in one straight line, a leaf with no stack frame; the
// rest of the texts, and the product that cannot tell, go on to the
// general reading. With the vector instructions, texts of up to sixteen
// bytes after the sign take no other way.
uint64_t decimal::quick_bits(const char *text, size_t length) {
    if constexpr (!word::little_endian) return not_taken;
    const char *const end = text + length;
#if defined(__SSE2__)
    const bool negative = text[0] == '-';
    if (length - negative <= 16) return short_fraction(text + negative, length - negative, negative);
    if (length - negative <= 18) {
        uint64_t w;
        int64_t m;
        if (point_digits17(text + negative, end, w, m)) return fraction_value(w, m, negative);
    }
#endif
    return word_point(text, end);
}

}  // namespace zvl
