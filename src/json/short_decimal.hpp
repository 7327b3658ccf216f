// Short decimal texts read in place, for the hot loops that meet plain
// number texts by the million (plan walks, the CBOR encoder). Anything
// outside the short forms returns false and goes the general way, so the
// values always equal what the general number readers give.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/pow10_table.hpp"

namespace zvl::json {

struct short_decimal {
    uint64_t mantissa = 0;  // at most 19 significant digits
    int digits = 0;
    int scale = 0;  // value = mantissa x 10^scale
    bool negative = false;
    bool integer = false;  // digits only: no point, no exponent
};

// Optional "-", digits without a leading zero before more digits, an
// optional fraction and an optional exponent of at most three digits. Strict
// takes JSON number syntax only; otherwise a "+" sign and a point without
// fraction digits ("1.") are taken too, as YAML floats are spelled.
inline __attribute__((always_inline)) bool read_short_decimal(std::string_view text, bool strict, short_decimal &out) {
    constexpr auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    const size_t n = text.size();
    size_t i = 0;
    out = {};
    out.negative = n && text[0] == '-';
    if (n && (text[0] == '-' || (!strict && text[0] == '+'))) ++i;
    const size_t int_start = i;
    for (; i < n && is_digit(text[i]); ++i) {
        if (++out.digits > 19) return false;
        out.mantissa = out.mantissa * 10 + uint64_t(text[i] - '0');
    }
    const size_t int_digits = i - int_start;
    // A leading zero before more digits may mean another base to YAML.
    if (int_digits == 0 || (int_digits > 1 && text[int_start] == '0')) return false;
    if (i == n) {
        out.integer = true;
        return true;
    }
    if (text[i] == '.') {
        const size_t fraction_start = ++i;
        for (; i < n && is_digit(text[i]); ++i) {
            if (++out.digits > 19) return false;
            out.mantissa = out.mantissa * 10 + uint64_t(text[i] - '0');
            --out.scale;
        }
        if (strict && i == fraction_start) return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exponent_negative = false;
        if (i < n && (text[i] == '-' || text[i] == '+')) exponent_negative = text[i++] == '-';
        int exponent = 0, exponent_digits = 0;
        for (; i < n && is_digit(text[i]); ++i) {
            if (++exponent_digits > 3) return false;
            exponent = exponent * 10 + (text[i] - '0');
        }
        if (exponent_digits == 0) return false;
        out.scale += exponent_negative ? -exponent : exponent;
    }
    return i == n;
}

// The double of a short decimal when one correctly rounded operation on
// exact doubles gives it: a mantissa within 53 bits and a power of ten up
// to 22.
inline __attribute__((always_inline)) bool short_decimal_double(const short_decimal &d, double &out) {
    if (d.mantissa > (uint64_t{1} << 53) || d.scale < -22 || d.scale > 22) return false;
    double v = double(d.mantissa);
    v = d.scale < 0 ? v / pow10_doubles[-d.scale] : v * pow10_doubles[d.scale];
    out = d.negative ? -v : v;
    return true;
}

}  // namespace zvl::json
