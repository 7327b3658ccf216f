// Decimal float texts to shortest text: a scan of the digits, then either
// the digits themselves, one exact floating-point operation, or one product
// with a 128-bit power of ten whose truncation error is bounded.
#include "emit/decimal_text.hpp"

#include <cstring>

#include "emit/pow10_table.hpp"

namespace zvl {
namespace {

using u128 = unsigned __int128;

constexpr int32_t max_significant = 19;  // 10^19 < 2^64
// Distinct decimals of this many digits are further apart than any double's
// rounding interval, so such a text is its value's unique shortest digits.
constexpr int32_t unique_digits = 15;

// The powers of ten that doubles hold exactly.
constexpr double exact_powers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

struct scanned {
    bool negative;
    uint64_t w;          // significant digits
    int32_t digits;      // how many (0 when w = 0)
    int32_t exponent10;  // value = w x 10^exponent10
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool scan(const char *t, size_t n, scanned &out) {
    size_t i = 0;
    out.negative = false;
    if (i < n && (t[i] == '-' || t[i] == '+')) out.negative = t[i++] == '-';
    uint64_t w = 0;
    int32_t digits = 0, adjust = 0;
    bool any = false;
    for (; i < n && is_digit(t[i]); ++i) {
        any = true;
        const uint32_t d = uint32_t(t[i] - '0');
        if (digits == 0 && d == 0) continue;
        if (digits == max_significant) return false;
        w = w * 10 + d;
        ++digits;
    }
    if (i < n && t[i] == '.') {
        for (++i; i < n && is_digit(t[i]); ++i) {
            any = true;
            const uint32_t d = uint32_t(t[i] - '0');
            --adjust;
            if (digits == 0 && d == 0) continue;
            if (digits == max_significant) return false;
            w = w * 10 + d;
            ++digits;
        }
    }
    if (!any) return false;
    int32_t exponent = 0;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool negative_exponent = false;
        if (i < n && (t[i] == '-' || t[i] == '+')) negative_exponent = t[i++] == '-';
        if (i == n || !is_digit(t[i])) return false;
        for (; i < n && is_digit(t[i]); ++i)
            if (exponent < 100000) exponent = exponent * 10 + (t[i] - '0');
        if (negative_exponent) exponent = -exponent;
    }
    if (i != n) return false;
    out.w = w;
    out.digits = digits;
    out.exponent10 = exponent + adjust;
    return true;
}

bool to_binary(const scanned &d, binary_value &value) {
    const uint64_t w = d.w;
    const int32_t q = d.exponent10;
    uint64_t m;
    int32_t e2;
    if (w <= (uint64_t(1) << 53) && q >= -22 && q <= 22) {
        // Both factors exact: one correctly rounded operation.
        double x = double(w);
        x = q < 0 ? x / exact_powers[-q] : x * exact_powers[q];
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
        if (biased == 0) return false;
        m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
        e2 = int32_t(biased) - 1075;
    } else {
        if (q < pow10_first || q > pow10_last) return false;
        // w x 10^q = (w << lz) x T x 2^(floor(log2 10^q) - 127 - lz), T the
        // table's mantissa. T is rounded down by less than one unit, so the
        // exact product lies in [P, P + 2^64) for the computed P; only a
        // rounding boundary inside that range leaves the result open.
        const int32_t lz = __builtin_clzll(w);
        const uint64_t wn = w << lz;
        const pow10_entry &p = pow10_table[q - pow10_first];
        const u128 low_product = u128(wn) * p.low;
        const u128 high_product = u128(wn) * p.high;
        const u128 upper = high_product + (low_product >> 64);  // product bits 64..191
        const int32_t s = (upper >> 127) ? 75 : 74;             // keeps 53 bits
        m = uint64_t(upper >> s);
        const u128 rest = upper & ((u128(1) << s) - 1);
        const u128 half = u128(1) << (s - 1);
        if (rest == half || rest + 1 == half) return false;
        e2 = s + 64 + floor_log2_pow10(q) - 127 - lz;
        if (rest > half && ++m == (uint64_t(1) << 53)) {
            m >>= 1;
            ++e2;
        }
        const int32_t biased = e2 + 1075;
        if (biased < 1 || biased > 2046) return false;
    }
    value.f = m;
    value.e = e2;
    value.unequal_margins = m == (uint64_t(1) << 52) && e2 > -1074;
    value.inclusive = (m & 1) == 0;
    return true;
}

}  // namespace

bool read_decimal(const char *text, size_t length, bool &negative, binary_value &value) {
    scanned d;
    if (!scan(text, length, d) || d.w == 0) return false;
    negative = d.negative;
    return to_binary(d, value);
}

int32_t format_decimal_text(char *buffer, const char *text, size_t length) {
    scanned d;
    if (!scan(text, length, d)) return 0;
    digit_record digits;
    if (d.w == 0) {
        digits.digits[0] = '0';
        digits.count = 1;
        digits.point = 0;
        return layout_digits(buffer, d.negative, digits);
    }
    // 10^-307 <= value < 10^308: normal doubles, no overflow.
    const int32_t top = d.exponent10 + d.digits;  // value < 10^top
    if (d.digits <= unique_digits && top - 1 >= -307 && top <= 308) {
        digits_from_integer(d.w, d.exponent10, digits);
        return layout_digits(buffer, d.negative, digits);
    }
    binary_value value;
    if (!to_binary(d, value)) return 0;
    if (!shortest_digits_fast(value, digits) && !shortest_digits_exact(value, digits)) return 0;
    return layout_digits(buffer, d.negative, digits);
}

}  // namespace zvl
