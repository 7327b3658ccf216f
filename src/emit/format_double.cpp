// Shortest round-trip formatting of doubles on exact integers.
//
// Shape of the algorithm (both generators):
//   1. r/s = value, m+/s and m-/s = half the gaps to the next higher and
//      lower double, all integers (r, s and m+ doubled once more when the
//      margins are unequal).
//   2. Scale by 10^P so that 0.1 <= r/s < 1, with P = floor(log10(value)) + 1
//      (what repeated multiplication by 10 would reach). P comes from an
//      estimate of log10 from the binary exponent, fixed up by one step.
//   3. Produce digits: multiply r, m+ and m- by 10, take the quotient r / s,
//      stop as soon as the remainder lies within a margin of either end.
//      While no margin test can hold, eight digits are taken at once.
#include "emit/format_double.hpp"

#include <cstring>

namespace zvl {
namespace {

using u128 = unsigned __int128;

// ---- shared helpers --------------------------------------------------------

// floor(log10(2^b)) for |b| < 1650: 78913 / 2^18 is log10(2) to seven digits.
constexpr int32_t floor_log10_pow2(int32_t b) { return (b * 78913) >> 18; }

int32_t bit_length(uint64_t x) { return x ? 64 - __builtin_clzll(x) : 0; }

// Adds one to the last digit, carrying into the previous ones. When every
// digit was 9 the digits become "1" and the point moves up by one. Zeros left
// behind by a carry are dropped: they add nothing to the value or the text.
void append_rounded_up(digit_record &out, uint32_t digit) {
    if (digit < 9) {
        out.digits[out.count++] = char('0' + digit + 1);
        return;
    }
    int32_t i = out.count - 1;
    while (i >= 0 && out.digits[i] == '9') --i;
    if (i < 0) {
        out.digits[0] = '1';
        out.count = 1;
        out.point += 1;
        return;
    }
    out.digits[i] = char(out.digits[i] + 1);
    out.count = i + 1;
}

// ---- fast generator: 128-bit integers --------------------------------------

// 10^0 .. 10^38, all below 2^128.
struct pow10_table_u128 {
    u128 value[39];
    constexpr pow10_table_u128() : value() {
        value[0] = 1;
        for (int i = 1; i < 39; ++i) value[i] = value[i - 1] * 10;
    }
};
constexpr pow10_table_u128 pow10_u128{};

// Quantities stay below this so that r + m+ and 2r never wrap.
constexpr u128 fast_limit = (u128(1) << 127) - 1;
// Most scaling steps the fast generator takes; beyond, the exact one runs.
constexpr int32_t fast_max_scale = 25;

// Digits are produced in batches of up to eight until this many, then one
// by one: most doubles need 16 or 17 digits, and a batch whose end passes
// the stopping point has to be redone digit by digit.
constexpr int32_t batched_digits = 15;
constexpr int32_t batch_size(int32_t count) {
    return batched_digits - count < 8 ? batched_digits - count : 8;
}
constexpr uint64_t pow10_u64[9] = {1,      10,      100,      1000,     10000,
                                   100000, 1000000, 10000000, 100000000};

bool mul_checked(u128 &x, u128 factor) {
    u128 product;
    if (__builtin_mul_overflow(x, factor, &product) || product > fast_limit) return false;
    x = product;
    return true;
}

// Divisors of the digit loop: each returns the quotient of r10 / s for
// r10 < 10 s and leaves the remainder in r10.

// Any s below 2^127 / 10: a floating-point estimate of the top bits,
// corrected to the exact quotient.
struct wide_divisor {
    u128 s;
    int32_t shift;  // s >> shift fits in 59 bits
    double inverse;

    explicit wide_divisor(u128 divisor) : s(divisor) {
        uint64_t high = uint64_t(divisor >> 64);
        int32_t bits = high ? 64 + bit_length(high) : bit_length(uint64_t(divisor));
        shift = bits > 59 ? bits - 59 : 0;
        inverse = 1.0 / double(uint64_t(divisor >> shift));
    }
    uint32_t divide(u128 &r10) const {
        // r10 >> shift < 10 * 2^59 < 2^63: exact in a signed 64-bit value.
        double estimate = double(int64_t(uint64_t(r10 >> shift))) * inverse;
        uint32_t q = estimate >= 9.0 ? 9u : uint32_t(estimate);
        u128 product = s * q;
        while (product > r10) {
            product -= s;
            --q;
        }
        u128 rest = r10 - product;
        while (rest >= s) {
            rest -= s;
            ++q;
        }
        r10 = rest;
        return q;
    }
};

// s a power of two (values below 1 with a negative binary exponent): the
// quotient is a shift.
struct power_of_two_divisor {
    int32_t shift;
    uint32_t divide(u128 &r10) const {
        uint32_t q = uint32_t(r10 >> shift);
        r10 &= (u128(1) << shift) - 1;
        return q;
    }
};

// s below 2^59, everything in 64 bits.
struct narrow_divisor {
    uint64_t s;
    double inverse;
    explicit narrow_divisor(uint64_t divisor) : s(divisor), inverse(1.0 / double(divisor)) {}
    uint32_t divide(uint64_t &r10) const {
        double estimate = double(int64_t(r10)) * inverse;
        uint32_t q = estimate >= 9.0 ? 9u : uint32_t(estimate);
        uint64_t product = s * q;
        while (product > r10) {
            product -= s;
            --q;
        }
        uint64_t rest = r10 - product;
        while (rest >= s) {
            rest -= s;
            ++q;
        }
        r10 = rest;
        return q;
    }
};

// The digit loop on integers that cannot overflow: s leaves room for a
// factor 10, and r, m+ stay below 10 s while the loop runs.
template <typename U, typename Divisor>
void generate_digits(U r, U s, U m_minus, U m_plus, bool inclusive, const Divisor &divisor,
                     digit_record &out) {
    for (;;) {
        r *= 10;
        m_minus *= 10;
        m_plus *= 10;
        uint32_t d = divisor.divide(r);
        bool low = inclusive ? r <= m_minus : r < m_minus;
        bool high = inclusive ? r + m_plus >= s : r + m_plus > s;
        if (!low && !high) {
            out.digits[out.count++] = char('0' + d);
            if (out.count == max_shortest_digits) return;
            continue;
        }
        if (low && high) {
            U twice = r * 2;
            if (twice < s || (twice == s && (d & 1) == 0)) high = false;
        }
        if (high) {
            append_rounded_up(out, d);
        } else {
            out.digits[out.count++] = char('0' + d);
        }
        return;
    }
}

// Eight digits at a time while no margin test can hold. A low or high test
// that holds after digit j holds after every later digit too (the remainder
// only shrinks against the margin), so when neither holds after the eighth
// digit, none held before it and the eight digits are the plain quotient.
// Otherwise the loop falls back to single digits from the saved state.
void generate_digits_narrow(uint64_t r, uint64_t s, uint64_t m_minus, uint64_t m_plus,
                            bool inclusive, digit_record &out) {
    const double inverse_s = 1.0 / double(s);
    while (out.count < batched_digits) {
        const int32_t batch_digits = batch_size(out.count);
        const uint64_t batch = pow10_u64[batch_digits];
        const u128 r8 = u128(r) * batch;
        const u128 m_minus8 = u128(m_minus) * batch, m_plus8 = u128(m_plus) * batch;
        // r < s < 2^59, so the quotient is below 10^8 and the estimate is
        // within one of it.
        uint64_t q = uint64_t(double(int64_t(r)) * double(batch) * inverse_s);
        if (q >= batch) q = batch - 1;
        u128 product = u128(q) * s;
        while (product > r8) {
            product -= s;
            --q;
        }
        u128 rest = r8 - product;
        while (rest >= s) {
            rest -= s;
            ++q;
        }
        const bool low = inclusive ? rest <= m_minus8 : rest < m_minus8;
        const bool high = inclusive ? rest + m_plus8 >= s : rest + m_plus8 > s;
        if (low || high) break;
        for (int32_t i = batch_digits - 1; i >= 0; --i) {
            out.digits[out.count + i] = char('0' + q % 10);
            q /= 10;
        }
        out.count += batch_digits;
        r = uint64_t(rest);
        m_minus = uint64_t(m_minus8);
        m_plus = uint64_t(m_plus8);
    }
    generate_digits<uint64_t>(r, s, m_minus, m_plus, inclusive, narrow_divisor(s), out);
}

// The same batches when s = 2^shift: the quotient of eight digits is a
// shift, as long as r x 10^8 stays within 128 bits.
void generate_digits_power_of_two(u128 r, u128 s, u128 m_minus, u128 m_plus, bool inclusive,
                                  int32_t shift, digit_record &out) {
    constexpr int32_t largest_batch_shift = 100;  // r x 10^8 < 2^127
    const u128 mask = s - 1;
    while (shift <= largest_batch_shift && out.count < batched_digits) {
        const int32_t batch_digits = batch_size(out.count);
        const uint64_t batch = pow10_u64[batch_digits];
        const u128 r8 = r * batch, m_minus8 = m_minus * batch, m_plus8 = m_plus * batch;
        const u128 rest = r8 & mask;
        const bool low = inclusive ? rest <= m_minus8 : rest < m_minus8;
        const bool high = inclusive ? rest + m_plus8 >= s : rest + m_plus8 > s;
        if (low || high) break;
        uint64_t q = uint64_t(r8 >> shift);
        for (int32_t i = batch_digits - 1; i >= 0; --i) {
            out.digits[out.count + i] = char('0' + q % 10);
            q /= 10;
        }
        out.count += batch_digits;
        r = rest;
        m_minus = m_minus8;
        m_plus = m_plus8;
    }
    generate_digits<u128>(r, s, m_minus, m_plus, inclusive, power_of_two_divisor{shift}, out);
}

}  // namespace

bool shortest_digits_fast(const binary_value &value, digit_record &out) {
    const int32_t e = value.e;
    if (e > 75 || (e < 0 && 1 - e > 96)) return false;
    const int32_t extra = value.unequal_margins ? 1 : 0;

    // r/s = f x 2^e; m-/s = 2^e / 2; m+ = m- or 2 m-.
    u128 r, s, m_minus;
    if (e >= 0) {
        int32_t shift = e + 1 + extra;
        if (bit_length(value.f) + shift > 126) return false;
        r = u128(value.f) << shift;
        s = u128(2) << extra;
        m_minus = u128(1) << e;
    } else {
        if (2 - e + extra > 126) return false;
        r = u128(value.f) << (1 + extra);
        s = u128(1) << (1 - e + extra);
        m_minus = 1;
    }
    u128 m_plus = m_minus << extra;

    const int32_t b = e + bit_length(value.f) - 1;  // floor(log2(value))
    int32_t point = floor_log10_pow2(b) + 1;
    if (point > fast_max_scale || point < -fast_max_scale) return false;
    if (point >= 0) {
        if (!mul_checked(s, pow10_u128.value[point])) return false;
    } else {
        u128 factor = pow10_u128.value[-point];
        if (!mul_checked(r, factor) || !mul_checked(m_minus, factor) ||
            !mul_checked(m_plus, factor))
            return false;
    }
    if (r >= s) {  // the estimate was one low
        if (!mul_checked(s, 10)) return false;
        ++point;
    }
    // Digits keep r, m+ below 10 s: s must leave room for one more factor 10.
    if (s > fast_limit / 10) return false;

    out.count = 0;
    out.point = point;
    if (s < (u128(1) << 59)) {
        generate_digits_narrow(uint64_t(r), uint64_t(s), uint64_t(m_minus), uint64_t(m_plus),
                               value.inclusive, out);
    } else if ((s & (s - 1)) == 0) {
        const uint64_t high = uint64_t(s >> 64);
        const int32_t shift = high ? 63 + bit_length(high) : bit_length(uint64_t(s)) - 1;
        generate_digits_power_of_two(r, s, m_minus, m_plus, value.inclusive, shift, out);
    } else {
        generate_digits<u128>(r, s, m_minus, m_plus, value.inclusive, wide_divisor(s), out);
    }
    return true;
}

// ---- exact generator: big integers ------------------------------------------

namespace {

// Unsigned big integer of at most 44 limbs of 32 bits (1408 bits), little
// endian. Every operation that would need a 45th limb fails.
class big_integer {
public:
    static constexpr int32_t max_limbs = 44;

    void set(uint64_t value) {
        size_ = 0;
        while (value) {
            limb_[size_++] = uint32_t(value);
            value >>= 32;
        }
    }
    bool shift_left(int32_t bits) {
        if (size_ == 0) return true;
        const int32_t words = bits / 32, rest = bits % 32;
        const uint32_t carry_out = rest ? limb_[size_ - 1] >> (32 - rest) : 0;
        const int32_t needed = size_ + words + (carry_out ? 1 : 0);
        if (needed > max_limbs) return false;
        if (rest == 0) {
            for (int32_t i = size_ - 1; i >= 0; --i) limb_[i + words] = limb_[i];
        } else {
            // Downwards, so every limb is read before its slot is written.
            for (int32_t i = size_ - 1; i > 0; --i)
                limb_[i + words] = (limb_[i] << rest) | (limb_[i - 1] >> (32 - rest));
            limb_[words] = limb_[0] << rest;
            if (carry_out) limb_[size_ + words] = carry_out;
        }
        for (int32_t i = 0; i < words; ++i) limb_[i] = 0;
        size_ = needed;
        return true;
    }
    bool multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (int32_t i = 0; i < size_; ++i) {
            uint64_t product = uint64_t(limb_[i]) * factor + carry;
            limb_[i] = uint32_t(product);
            carry = product >> 32;
        }
        if (carry) {
            if (size_ == max_limbs) return false;
            limb_[size_++] = uint32_t(carry);
        }
        return true;
    }
    bool multiply_pow10(int32_t exponent) {
        static constexpr uint32_t small[10] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000, 1000000000};
        for (; exponent >= 9; exponent -= 9)
            if (!multiply(small[9])) return false;
        return exponent == 0 || multiply(small[exponent]);
    }
    // this -= other; other <= this.
    void subtract(const big_integer &other) {
        int64_t borrow = 0;
        for (int32_t i = 0; i < size_; ++i) {
            int64_t diff = int64_t(limb_[i]) - (i < other.size_ ? other.limb_[i] : 0) - borrow;
            borrow = diff < 0;
            limb_[i] = uint32_t(diff);
        }
        trim();
    }
    // Compares this + addend with other.
    int compare_sum(const big_integer &addend, const big_integer &other) const {
        big_integer sum = *this;
        uint64_t carry = 0;
        int32_t n = size_ > addend.size_ ? size_ : addend.size_;
        for (int32_t i = 0; i < n; ++i) {
            uint64_t total = uint64_t(i < size_ ? limb_[i] : 0) +
                             (i < addend.size_ ? addend.limb_[i] : 0) + carry;
            sum.limb_[i] = uint32_t(total);
            carry = total >> 32;
        }
        sum.size_ = n;
        if (carry) {
            // One limb beyond max_limbs cannot be compared in place; it is
            // larger than any representable other.
            if (n == max_limbs) return 1;
            sum.limb_[sum.size_++] = uint32_t(carry);
        }
        return sum.compare(other);
    }
    int compare(const big_integer &other) const {
        if (size_ != other.size_) return size_ < other.size_ ? -1 : 1;
        for (int32_t i = size_ - 1; i >= 0; --i)
            if (limb_[i] != other.limb_[i]) return limb_[i] < other.limb_[i] ? -1 : 1;
        return 0;
    }
    // The value divided by 2^(32 (unit - 2)), from the limbs down to two
    // below `unit`: enough bits for a quotient estimate off by at most one.
    double scaled(int32_t unit) const {
        double result = 0;
        for (int32_t i = size_ - 1 > unit + 1 ? size_ - 1 : unit + 1; i >= unit - 2; --i)
            result = result * 4294967296.0 + double(i >= 0 && i < size_ ? limb_[i] : 0);
        return result;
    }
    int32_t size() const { return size_; }
    bool is_zero() const { return size_ == 0; }

private:
    void trim() {
        while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
    }
    uint32_t limb_[max_limbs];
    int32_t size_ = 0;
};

// Quotient of r / s for r < limit x s (limit at most 10^8); r becomes the
// remainder.
uint32_t divide_small_quotient(big_integer &r10, const big_integer &s, uint32_t limit) {
    const int32_t top = s.size() - 1;
    const double estimate = r10.scaled(top) / s.scaled(top);
    const double largest = double(limit - 1);
    uint32_t q = estimate >= largest ? limit - 1 : estimate <= 0 ? 0u : uint32_t(estimate);
    big_integer product = s;
    product.multiply(q);  // q s <= 10 s fits: r10 has room for it
    while (q > 0 && product.compare(r10) > 0) {
        product.subtract(s);
        --q;
    }
    r10.subtract(product);
    while (r10.compare(s) >= 0) {
        r10.subtract(s);
        ++q;
    }
    return q;
}

}  // namespace

bool shortest_digits_exact(const binary_value &value, digit_record &out) {
    const int32_t e = value.e;
    const int32_t extra = value.unequal_margins ? 1 : 0;
    big_integer r, s, m_minus, m_plus;
    r.set(value.f);
    if (e >= 0) {
        s.set(uint64_t(2) << extra);
        m_minus.set(1);
        if (!r.shift_left(e + 1 + extra) || !m_minus.shift_left(e)) return false;
    } else {
        s.set(1);
        m_minus.set(1);
        if (!r.shift_left(1 + extra) || !s.shift_left(1 - e + extra)) return false;
    }
    m_plus = m_minus;
    if (extra && !m_plus.shift_left(1)) return false;

    const int32_t b = e + bit_length(value.f) - 1;
    int32_t point = floor_log10_pow2(b) + 1;
    if (point >= 0) {
        if (!s.multiply_pow10(point)) return false;
    } else if (!r.multiply_pow10(-point) || !m_minus.multiply_pow10(-point) ||
               !m_plus.multiply_pow10(-point)) {
        return false;
    }
    if (r.compare(s) >= 0) {
        if (!s.multiply(10)) return false;
        ++point;
    }

    const bool inclusive = value.inclusive;
    out.count = 0;
    out.point = point;
    // Eight digits at a time while no margin test holds (see the narrow
    // fast generator for why a batch that ends clear was clear throughout).
    while (out.count < batched_digits) {
        const int32_t batch_digits = batch_size(out.count);
        const uint32_t batch = uint32_t(pow10_u64[batch_digits]);
        big_integer r8 = r, m_minus8 = m_minus, m_plus8 = m_plus;
        if (!r8.multiply(batch) || !m_minus8.multiply(batch) || !m_plus8.multiply(batch)) break;
        uint32_t q = divide_small_quotient(r8, s, batch);
        int low_cmp = r8.compare(m_minus8);
        int high_cmp = r8.compare_sum(m_plus8, s);
        if (inclusive ? low_cmp <= 0 : low_cmp < 0) break;
        if (inclusive ? high_cmp >= 0 : high_cmp > 0) break;
        for (int32_t i = batch_digits - 1; i >= 0; --i) {
            out.digits[out.count + i] = char('0' + q % 10);
            q /= 10;
        }
        out.count += batch_digits;
        r = r8;
        m_minus = m_minus8;
        m_plus = m_plus8;
    }
    for (;;) {
        if (!r.multiply(10) || !m_minus.multiply(10) || !m_plus.multiply(10)) return false;
        uint32_t d = divide_small_quotient(r, s, 10);
        int low_cmp = r.compare(m_minus);
        int high_cmp = r.compare_sum(m_plus, s);
        bool low = inclusive ? low_cmp <= 0 : low_cmp < 0;
        bool high = inclusive ? high_cmp >= 0 : high_cmp > 0;
        if (!low && !high) {
            out.digits[out.count++] = char('0' + d);
            if (out.count == max_shortest_digits) return true;
            continue;
        }
        if (low && high) {
            int half = r.compare_sum(r, s);  // 2r against s
            if (half < 0 || (half == 0 && (d & 1) == 0)) high = false;
        }
        if (high) {
            append_rounded_up(out, d);
        } else {
            out.digits[out.count++] = char('0' + d);
        }
        return true;
    }
}

// ---- layout ------------------------------------------------------------------

namespace {

// Fixed form covers 10^-4 <= |value| < 10^16; outside, the exponent form.
constexpr int32_t lowest_fixed_point = -3;
constexpr int32_t highest_fixed_point = 16;

char *write_exponent(char *p, int32_t exponent) {
    *p++ = 'e';
    *p++ = exponent >= 0 ? '+' : '-';
    uint32_t magnitude = uint32_t(exponent >= 0 ? exponent : -exponent);
    char reversed[12];
    int32_t n = 0;
    do {
        reversed[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (n < 2) reversed[n++] = '0';  // never fewer than two digits
    while (n) *p++ = reversed[--n];
    return p;
}

}  // namespace

int32_t layout_digits(char *buffer, bool negative, const digit_record &digits) {
    char *p = buffer;
    if (negative) *p++ = '-';
    const int32_t k = digits.count;
    const int32_t point = digits.point;
    const char *d = digits.digits;
    if (k == 1 && d[0] == '0') {
        std::memcpy(p, "0.0", 3);
        p += 3;
    } else if (point < lowest_fixed_point || point > highest_fixed_point) {
        *p++ = d[0];
        *p++ = '.';
        if (k == 1) {
            *p++ = '0';
        } else {
            std::memcpy(p, d + 1, size_t(k - 1));
            p += k - 1;
        }
        p = write_exponent(p, point - 1);
    } else if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int32_t i = 0; i < -point; ++i) *p++ = '0';
        std::memcpy(p, d, size_t(k));
        p += k;
    } else if (point < k) {
        std::memcpy(p, d, size_t(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, d + point, size_t(k - point));
        p += k - point;
    } else {
        std::memcpy(p, d, size_t(k));
        p += k;
        for (int32_t i = 0; i < point - k; ++i) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    }
    return int32_t(p - buffer);
}

}  // namespace zvl

int32_t zarvel_format_double(char *buffer, double value) {
    if (!buffer) return 0;
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7FF) return 0;  // NaN or infinity

    zvl::binary_value v;
    if (biased != 0) {
        v.f = fraction | (uint64_t(1) << 52);
        v.e = int32_t(biased) - 1075;
    } else {
        v.f = fraction;
        v.e = -1074;
    }
    if (v.f == 0) {
        char *p = buffer;
        if (negative) *p++ = '-';
        std::memcpy(p, "0.0", 3);
        return int32_t(p - buffer) + 3;
    }
    // The gap below a power of two is half the gap above it, except at the
    // smallest normal exponent, whose lower neighbours are subnormals with the
    // same spacing.
    v.unequal_margins = biased > 1 && fraction == 0;
    v.inclusive = (v.f & 1) == 0;

    zvl::digit_record digits;
    if (!zvl::shortest_digits_fast(v, digits) && !zvl::shortest_digits_exact(v, digits))
        return 0;
    return zvl::layout_digits(buffer, negative, digits);
}
