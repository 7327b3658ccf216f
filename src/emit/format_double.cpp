// Shortest round-trip formatting of doubles: the generator's integer laid
// out as text.
#include "emit/format_double.hpp"

#include <cstddef>
#include <cstring>

#include "core/copy.hpp"
#include "core/pow10_table.hpp"
#include "emit/shortest_fast.hpp"

namespace zvl {

using namespace digit_steps;

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

int32_t layout_integer(char *buffer, bool negative, uint64_t f, int32_t exponent10) {
    digit_record digits;
    digits_from_integer(f, exponent10, digits);
    return layout_digits(buffer, negative, digits);
}

int32_t write_double_rare(char *buffer, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7FF) return 0;  // NaN or infinity
    if ((biased | fraction) == 0) {
        char *p = buffer;
        *p = '-';
        p += negative ? 1 : 0;
        std::memcpy(p, "0.0", 3);
        return int32_t(p - buffer) + 3;
    }
    // Subnormals share the smallest normal exponent, without the hidden bit.
    // A power of two has half the gap below that it has above, except at
    // the smallest normal exponent, whose lower neighbours are subnormals
    // with the same spacing.
    binary_value v;
    v.f = fraction | (uint64_t(biased != 0) << 52);
    v.e = int32_t(biased + (biased == 0)) - 1075;
    v.unequal_margins = fraction == 0 && biased > 1;
    return write_binary(buffer, negative, v);
}

}  // namespace zvl

int32_t zvl::format_double_value(char *buffer, double value) { return write_double(buffer, value); }

int32_t zarvel_format_double(char *buffer, double value) {
    return buffer ? zvl::format_double_value(buffer, value) : 0;
}
