// Shortest round-trip formatting of doubles on exact integers.
//
// The fast generator compares the value's rounding interval with decimal
// candidates in units of a power of ten taken from a 128-bit table (one
// product per bound, no loop); it leaves the two smallest subnormals to the
// exact generator. The exact generator runs the four-integer digit loop
// (r/s the value, m+/s and m-/s the half gaps) on stack big integers:
//   1. Scale by 10^P so that 0.1 <= r/s < 1, with P = floor(log10(value)) + 1
//      from an estimate of log10 from the binary exponent, fixed up by one step.
//   2. Produce digits: multiply r, m+ and m- by 10, take the quotient r / s,
//      stop as soon as the remainder lies within a margin of either end.
//      While no margin test can hold, eight digits are taken at once.
#include "emit/format_double.hpp"

#include <cstddef>
#include <cstring>

#include "core/copy.hpp"
#include "core/pow10_table.hpp"
#include "emit/shortest_fast.hpp"

namespace zvl {

using namespace digit_steps;

namespace {

// ---- shared helpers --------------------------------------------------------

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

}  // namespace

namespace {

// The eight digits of v stored at out; returns them less '0', so that zero
// digits are zero bytes.
inline uint64_t store_digits(char *out, uint32_t v) {
    const uint64_t ascii = eight_ascii_digits(v);
    std::memcpy(out, &ascii, 8);
    return ascii ^ ascii_zeros;
}

}  // namespace

void digits_from_integer(uint64_t f, int32_t exponent10, digit_record &out) {
    const int32_t n = decimal_length(f);
    out.point = exponent10 + n;
    // Always three chunks of eight digits that end at the last digit: the
    // leading zeros of the first ones land in the room before the digits
    // (the lengths vary too much from value to value for a branch on them).
    char *const end = reinterpret_cast<char *>(&out) + offsetof(digit_record, digits) + n;
    const uint64_t top = f / 100000000u;
    const uint64_t high = store_digits(end - 24, uint32_t(top / 100000000u));
    const uint64_t middle = store_digits(end - 16, uint32_t(top % 100000000u));
    const uint64_t low = store_digits(end - 8, uint32_t(f % 100000000u));
    // Trailing zeros add nothing to the text: the count ends at the last
    // nonzero digit of the last chunk that has one (the low bit set keeps
    // the count of a zero chunk defined; it is not chosen then).
    const uint64_t from_high = uint64_t(n - 24 + through_last_nonzero(high | 1));
    const uint64_t from_middle = uint64_t(n - 16 + through_last_nonzero(middle | 1));
    const uint64_t from_low = uint64_t(n - 8 + through_last_nonzero(low | 1));
    out.count = int32_t(select_bits(low != 0, from_low, select_bits(middle != 0, from_middle, from_high)));
}

bool shortest_digits_fast(const binary_value &value, digit_record &out) {
    uint64_t f;
    int32_t exponent10, length;
    if (!shortest_integer_fast(value, f, exponent10, length)) return false;
    digits_from_integer(f, exponent10, out);
    return true;
}

// ---- exact generator: big integers ------------------------------------------

namespace {

// Digits are produced in batches of up to eight until this many, then one
// by one: most doubles need 16 or 17 digits, and a batch whose end passes
// the stopping point has to be redone digit by digit.
constexpr int32_t batched_digits = 15;
constexpr int32_t batch_size(int32_t count) { return batched_digits - count < 8 ? batched_digits - count : 8; }

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
        static constexpr uint32_t small[10] = {1,      10,      100,      1000,      10000,
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
            uint64_t total = uint64_t(i < size_ ? limb_[i] : 0) + (i < addend.size_ ? addend.limb_[i] : 0) + carry;
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
    } else if (!r.multiply_pow10(-point) || !m_minus.multiply_pow10(-point) || !m_plus.multiply_pow10(-point)) {
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
        const uint32_t batch = uint32_t(pow10_u64_table[batch_digits]);
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
    // The sign is stored always and counted when it belongs: signs of the
    // values in a document follow no pattern a branch could learn.
    char *p = buffer;
    *p = '-';
    p += negative ? 1 : 0;
    const int32_t k = digits.count;
    const int32_t point = digits.point;
    const char *d = digits.digits;
    if (point > 0 && point < k && point <= point_in_block_limit) {
        // A point inside the digits, the usual case, in two 16-byte moves
        // and no branch on the lengths: the digits before the point (and
        // some after, overwritten), the point, the digits after it. Both
        // moves stay inside the record and the 32-byte buffer.
        const char *record = reinterpret_cast<const char *>(&digits) + offsetof(digit_record, digits);
        std::memcpy(p, record, 16);
        p[point] = '.';
        std::memcpy(p + point + 1, record + point, 16);
        return int32_t(p - buffer) + k + 1;
    }
    if (k == 1 && d[0] == '0') {
        std::memcpy(p, "0.0", 3);
        p += 3;
    } else if (point < lowest_fixed_point || point > highest_fixed_point) {
        *p++ = d[0];
        *p++ = '.';
        if (k == 1) {
            *p++ = '0';
        } else {
            copy_run(p, d + 1, uint64_t(k - 1));
            p += k - 1;
        }
        p = write_exponent(p, point - 1);
    } else if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int32_t i = 0; i < -point; ++i) *p++ = '0';
        copy_run(p, d, uint64_t(k));
        p += k;
    } else if (point < k) {
        copy_run(p, d, uint64_t(point));
        p += point;
        *p++ = '.';
        copy_run(p, d + point, uint64_t(k - point));
        p += k - point;
    } else {
        copy_run(p, d, uint64_t(k));
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
    uint64_t f;
    int32_t exponent10, length;
    if (zvl::shortest_integer_fast(v, f, exponent10, length)) {
        if (const int32_t n = zvl::write_point_inside(buffer, negative, f, exponent10, length)) return n;
        zvl::digits_from_integer(f, exponent10, digits);
    } else if (!zvl::shortest_digits_exact(v, digits)) {
        return 0;
    }
    return zvl::layout_digits(buffer, negative, digits);
}
