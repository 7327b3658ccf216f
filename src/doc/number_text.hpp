// Integer texts read without the general reader: by the typed reads, and
// by the JSON builds for the values they keep (zvl::record_number).
#pragma once

#include <cstdint>

#include "core/decimal_to_double.hpp"
#include "core/pow10_table.hpp"
#include "core/word.hpp"

namespace zvl::number_text {

// A decimal integer of up to 18 digits with an optional sign, no separator
// and no leading zero: its value, as the general reader would give it,
// without the copy and the runtime conversion. False for any other text.
// From eight digits on, the digits are read by words: the first eight, the
// next eight when more than eight follow, and the last eight (overlapping).
inline bool short_decimal_int(const char *p, uint32_t n, int64_t *out) {
    uint32_t i = n && (p[0] == '-' || p[0] == '+') ? 1 : 0;
    uint32_t digits = n - i;
    if (digits == 0 || digits > 18 || (p[i] == '0' && digits > 1)) return false;
    const bool negative = p[0] == '-';
    uint64_t value = 0;
    if (zvl::word::little_endian && digits >= 8) {
        using namespace zvl::word;
        const uint64_t first = load(p + i), last = load(p + n - 8);
        uint64_t odd = non_digits(first) | non_digits(last);
        value = digits_value(first - zero_digits);
        uint32_t rest = digits - 8;
        if (rest > 8) {
            const uint64_t second = load(p + i + 8);
            odd |= non_digits(second);
            value = value * 100000000u + digits_value(second - zero_digits);
            rest -= 8;
        }
        if (odd) return false;
        // The last word's bytes not read yet; the others count as zeros.
        const uint64_t keep = rest ? ~uint64_t(0) << (64 - 8 * rest) : 0;
        value = value * zvl::pow10_u64_table[rest] + digits_value((last - zero_digits) & keep);
    } else {
        for (uint32_t k = i; k < n; ++k) {
            uint32_t d = uint32_t(uint8_t(p[k])) - '0';
            if (d > 9) return false;
            value = value * 10 + d;
        }
    }
    *out = negative ? -int64_t(value) : int64_t(value);
    return true;
}

// The same for up to sixteen digits, where the sixteen bytes before the
// text's end may be read: all digits at once from them. False for any
// other text (which the general way then reads).
inline bool wide_decimal_int(const char *p, uint32_t n, int64_t *out) {
    const uint32_t i = n && (p[0] == '-' || p[0] == '+') ? 1 : 0;
    const uint32_t digits = n - i;
    uint64_t value;
    if (digits == 0 || digits > 16 || (p[i] == '0' && digits > 1) || !zvl::word::last_digits16(p + n, digits, value))
        return false;
    *out = p[0] == '-' ? -int64_t(value) : int64_t(value);
    return true;
}

// An integer text of 17 to 19 digits that a JSON parse checked ("-" or
// none, digits without a leading zero), the sixteen bytes before its end
// readable: the last sixteen digits at once, the few before them by bytes.
// False for other lengths and out of range, where the general reader gives
// its usual answer (the text needs no check: the parse made it).
inline bool long_checked_int(const char *p, uint32_t n, int64_t *out) {
    const bool negative = p[0] == '-';
    const uint32_t digits = n - negative;
    uint64_t value;
    if (digits < 17 || digits > 19 || !zvl::word::last_known_digits16(p + n, 16, value)) return false;
    uint64_t high = 0;
    for (const char *d = p + negative; d < p + n - 16; ++d) high = high * 10 + uint8_t(*d - '0');
    // At most 999 x 10^16 + 10^16 - 1: no wrap.
    value += high * zvl::pow10_u64_table[16];
    if (value > uint64_t(INT64_MAX) + negative) return false;
    *out = negative ? int64_t(0 - value) : int64_t(value);
    return true;
}

// The integer of a JSON number token the parse checked ("-" or none,
// digits without a leading zero) of up to sixteen digits, the sixteen bytes
// before its end readable: all digits at once. False for other lengths.
inline bool checked_int16(const char *p, uint32_t n, int64_t &out) {
    const bool negative = p[0] == '-';
    const uint32_t digits = n - negative;
    uint64_t value;
    if (digits > 16 || !word::last_known_digits16(p + n, digits, value)) return false;
    out = negative ? int64_t(0 - value) : int64_t(value);
    return true;
}

// The same for any length, the sixteen bytes before its end readable when
// `room`, by the quick readers; false for the texts left to the general
// reader.
inline bool checked_int(const char *p, uint32_t n, bool room, int64_t &out) {
    if (room && (checked_int16(p, n, out) || long_checked_int(p, n, &out))) return true;
    return short_decimal_int(p, n, &out);
}

}  // namespace zvl::number_text
