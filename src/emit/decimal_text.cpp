// Decimal float texts to shortest text: a scan of the digits, then either
// the digits themselves, one exact floating-point operation, or one product
// with a 128-bit power of ten whose truncation error is bounded.
#include "emit/decimal_text.hpp"

#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/pow10_table.hpp"
#include "core/word.hpp"
#include "emit/shortest_fast.hpp"

namespace zvl {
namespace {

using u128 = unsigned __int128;

constexpr int32_t max_significant = 19;  // 10^19 < 2^64
// Distinct decimals of at most 15 digits are further apart than any double's
// rounding interval, so such a text is its value's unique shortest digits.
constexpr uint64_t unique_below = 1000000000000000u;  // 10^15

struct scanned {
    bool negative;
    uint64_t w;          // significant digits
    int32_t exponent10;  // value = w x 10^exponent10
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

using word::non_digits;
using word::ones;

// Number of ASCII digits at the start of p[0, n), eight at a time; a last
// part shorter than eight is looked at in the word that ends at n.
size_t digit_run(const char *p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (const uint64_t m = non_digits(word::load(p + i))) return i + size_t(__builtin_ctzll(m)) / 8;
    if (i == n) return n;
    if (i > 0) {
        // The bytes below the last n - i are digits already seen, so the
        // first non-digit found is the true one.
        const uint64_t m = non_digits(word::load(p + n - 8)) >> (8 * (8 - (n - i)));
        return m ? i + size_t(__builtin_ctzll(m)) / 8 : n;
    }
    while (i < n && is_digit(p[i])) ++i;
    return i;
}

// The same of eight ASCII digits.
uint64_t eight_digits(uint64_t w) { return word::digits_value(w - ones * '0'); }

// w followed by the n digits at p, which lie in [begin, end) (the caller
// keeps the result below 10^19). Fewer than eight are read in a word that
// holds them, the other bytes set to "0".
uint64_t append_digits(uint64_t w, const char *p, size_t n, const char *begin, const char *end) {
    for (; n >= 8; p += 8, n -= 8) w = w * 100000000u + eight_digits(word::load(p));
    if (n == 0) return w;
    const unsigned rest = unsigned(n);
    uint64_t word;
    if (end - p >= 8) {
        word = (word::load(p) << (8 * (8 - rest))) | ((ones * '0') >> (8 * rest));
    } else if (p + rest - begin >= 8) {
        const uint64_t below = ~uint64_t(0) >> (8 * rest);
        word = (word::load(p + rest - 8) & ~below) | ((ones * '0') & below);
    } else {
        for (; n > 0; ++p, --n) w = w * 10 + uint32_t(*p - '0');
        return w;
    }
    return w * pow10_u64_table[rest] + eight_digits(word);
}

// Out of line: the point form above takes almost every text.
__attribute__((noinline)) bool scan(const char *t, size_t n, scanned &out) {
    const char *const end = t + n;
    size_t i = 0;
    out.negative = false;
    if (i < n && (t[i] == '-' || t[i] == '+')) out.negative = t[i++] == '-';
    const char *whole = t + i;
    size_t whole_digits = digit_run(whole, n - i);
    i += whole_digits;
    const char *fraction = t + i;
    size_t fraction_digits = 0;
    if (i < n && t[i] == '.') {
        fraction = t + ++i;
        fraction_digits = digit_run(fraction, n - i);
        i += fraction_digits;
    }
    if (whole_digits + fraction_digits == 0) return false;
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
    out.exponent10 = exponent - int32_t(fraction_digits);
    if (whole_digits + fraction_digits > size_t(max_significant)) {
        // Leading zeros are not significant; trailing ones are counted.
        while (whole_digits > 0 && *whole == '0') ++whole, --whole_digits;
        if (whole_digits == 0)
            while (fraction_digits > 0 && *fraction == '0') ++fraction, --fraction_digits;
        if (whole_digits + fraction_digits > size_t(max_significant)) return false;
    }
    // At most 19 digits in all: below 10^19, and its decimal length is the
    // count of significant digits.
    out.w = append_digits(append_digits(0, whole, whole_digits, t, end), fraction, fraction_digits, t, end);
    return true;
}

#if defined(__SSE2__)
// Texts "[+-]digits.digits" of 16 to 24 bytes with at most 19 digits: the
// layout of nearly every float written with 15 to 17 digits. Checked with
// two 16-byte loads (the first and the last 16 bytes) and read without the
// digit-run loops; gives exactly what scan() gives, or false for another
// layout.
constexpr size_t point_form_shortest = 16;
constexpr size_t point_form_longest = 24;

// What the point form saw of its text, for copying it out.
struct point_form_text {
    uint32_t point;       // the point's byte
    __m128i first, last;  // the first and the last 16 bytes
};

uint32_t digit_bytes(__m128i v) {
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    return uint32_t(_mm_movemask_epi8(digit));
}

// 24 bytes of 0xFF, 24 of 0, 24 of 0xFF: the eight bytes at an offset are a
// mask of the bytes up to a place, or from a place on.
alignas(8) constexpr unsigned char byte_steps[72] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline __attribute__((always_inline)) bool scan_point_form(const char *t, size_t n, scanned &out,
                                                           point_form_text &form) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t));
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + n - 16));
    const __m128i points_first = _mm_cmpeq_epi8(first, _mm_set1_epi8('.'));
    const __m128i points_last = _mm_cmpeq_epi8(last, _mm_set1_epi8('.'));
    // Bit i describes t[i]; the two loads agree where they overlap.
    const uint32_t at_last = uint32_t(n - 16);
    const uint32_t digits = digit_bytes(first) | digit_bytes(last) << at_last;
    const uint32_t points = uint32_t(_mm_movemask_epi8(points_first)) | uint32_t(_mm_movemask_epi8(points_last))
                                                                            << at_last;
    const uint32_t sign = t[0] == '-' || t[0] == '+' ? 1u : 0u;
    if ((digits | points | sign) != (uint32_t(1) << n) - 1 || points == 0 || (points & (points - 1)) != 0) return false;
    const uint32_t point = uint32_t(__builtin_ctz(points));
    // A digit on each side of the point; at most 19 digits.
    const uint32_t count = uint32_t(n) - sign - 1;
    if (point <= sign || point + 1 == n || count > uint32_t(max_significant)) return false;

    // The 24 bytes that end the text in three words (bytes before the text
    // 0); the bytes before the point move one place up over it, so that the
    // digits form one run at the end; the bytes before the run are masked
    // out and the digits become their values.
    const uint64_t end = word::load(t + n - 8), middle = word::load(t + n - 16);
    const uint64_t top = n > 16 ? word::load(t) << (8 * (point_form_longest - n)) : 0;
    const uint32_t at = point + uint32_t(point_form_longest - n);  // the point's byte among the 24
    const unsigned char *moved = byte_steps + 23 - at;             // bytes up to the point
    const unsigned char *kept = byte_steps + 24 + count;           // the last `count` bytes
    auto join = [](uint64_t now, uint64_t up, uint64_t mask) { return (up & mask) | (now & ~mask); };
    constexpr uint64_t low_nibbles = ones * 0x0F;
    const uint64_t v0 = join(top, top << 8, word::load(moved)) & word::load(kept) & low_nibbles;
    const uint64_t v1 =
        join(middle, middle << 8 | top >> 56, word::load(moved + 8)) & word::load(kept + 8) & low_nibbles;
    const uint64_t v2 =
        join(end, end << 8 | middle >> 56, word::load(moved + 16)) & word::load(kept + 16) & low_nibbles;
    out.negative = t[0] == '-';
    out.exponent10 = -int32_t(n - point - 1);
    out.w = (word::digits_value(v0) * 100000000u + word::digits_value(v1)) * 100000000u + word::digits_value(v2);
    form.point = point;
    form.first = first;
    form.last = last;
    return true;
}

#endif

#if defined(__SSE2__)
// A text "[-]digits.digits" shorter than the point form (at most 14
// digits, so its own shortest digits) whose value lies in the fixed
// layout's range, 10^-4 and above: its shortest text is the text itself
// with the zeros that end it dropped, one digit kept after the point. The
// length of that text, copied; 0 for another text (a zero, a sign "+", a
// leading 0 before another digit, below 10^-4).
inline int32_t copy_short(char *buffer, const char *t, size_t n) {
    // The n bytes in two words, zeros past them, read without passing the
    // text.
    const uint64_t a = word::load_short(t, n);
    const uint64_t b = n > 8 ? word::load(t + n - 8) >> (8 * (16 - n)) : 0;
    const __m128i v = _mm_set_epi64x(int64_t(b), int64_t(a));
    const uint32_t in = (uint32_t(1) << n) - 1;
    const uint32_t digits = digit_bytes(v) & in;
    const uint32_t points = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('.'))));
    const uint32_t zeros = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('0')))) & in;
    const uint32_t sign = t[0] == '-' ? 1u : 0u;
    if ((digits | points | sign) != in || points == 0 || (points & (points - 1)) != 0) return 0;
    const uint32_t point = uint32_t(__builtin_ctz(points));
    const uint32_t nonzero = digits & ~zeros;
    if (point <= sign || point + 1 == n || nonzero == 0) return 0;
    if (((zeros >> sign) & 1) != 0 && point != sign + 1) return 0;
    if (uint32_t(__builtin_ctz(nonzero)) > point + 4) return 0;
    // The last byte kept: the last one other than 0, at least the digit
    // after the point.
    const uint32_t end = uint32_t(31 - __builtin_clz((in & ~zeros) | (uint32_t(2) << point)));
    std::memcpy(buffer, &a, 8);
    std::memcpy(buffer + 8, &b, 8);
    return int32_t(end + 1);
}

// A point-form text whose digits, cut, are laid out as the text has them:
// the sign "-" or none, a first digit other than 0, at most 16 digits before
// the point.
inline bool copyable(const char *t, const point_form_text &form) {
    const uint32_t sign = t[0] == '-' ? 1u : 0u;
    return t[sign] >= '1' && form.point - sign <= 16;
}

// A copyable text cut after its last nonzero digit among the first n - cut
// bytes, or (raised) after its last digit other than 9 there, raised by one;
// 0 when no digit after the point remains.
inline int32_t copy_cut(char *buffer, const char *t, size_t n, const point_form_text &form, uint32_t cut, bool raise) {
    if (size_t(form.point) + cut >= n) return 0;
    // The sign and the point are neither a dropped 0 nor a 9 that carries.
    // Both masks are made from the text alone, ahead of `raise`, which is
    // known last.
    auto bytes_of = [&](char c) {
        const __m128i skipped = _mm_set1_epi8(c);
        return uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(form.first, skipped))) |
               uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(form.last, skipped))) << (n - 16);
    };
    const uint32_t skip = uint32_t(digit_steps::select_bits(raise, bytes_of('9'), bytes_of('0')));
    const uint32_t kept = ~skip & ((uint32_t(1) << (n - cut)) - 1);
    const uint32_t end = uint32_t(31 - __builtin_clz(kept));
    if (end <= form.point) return 0;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(buffer), form.first);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(buffer + n - 16), form.last);
    buffer[end] = char(t[end] + (raise ? 1 : 0));
    return int32_t(end + 1);
}

// The shortest digits f x 10^k as the text's digits w x 10^q cut by some
// places, or cut and raised by one at the last place kept (a value written
// with 17 digits and read back, most often); false when they are neither.
inline bool cut_of_digits(const scanned &d, uint64_t f, int32_t k, uint32_t &cut, bool &raise) {
    const int32_t q = d.exponent10;
    cut = 0;
    raise = false;
    if (k >= q) {
        // f x 10^(k - q) against w: w lies in [base - P, base + P) exactly
        // when f is the text cut (base <= w) or the cut raised by one.
        if (k - q >= int32_t(std::size(digit_steps::pow10_u64_table))) return false;
        const uint64_t p = digit_steps::pow10_u64_table[k - q];
        const u128 r = u128(d.w) + p - u128(f) * p;
        if (r >= u128(2) * p) return false;
        raise = r < p;
        cut = uint32_t(k - q);
        return true;
    }
    return q - k < int32_t(std::size(digit_steps::pow10_u64_table)) &&
           u128(d.w) * digit_steps::pow10_u64_table[q - k] == f;
}

#endif

// w x 10^q (q within the table, w not 0) as the 128 product bits below
// its top, shifted up one place when the top bit is short of it: the
// places moved (0 or 1). T, the table's mantissa, is rounded down by less
// than one unit, so the exact product lies less than 2^(64 + moved) units of
// `low` above the result.
inline uint32_t product_bits(uint64_t w, int32_t q, int32_t lz, uint64_t &high, uint64_t &low) {
    const uint64_t wn = w << lz;
    const pow10_entry &p = pow10_table[q - pow10_first];
    const uint64_t next = uint64_t((u128(wn) * p.low) >> 64);
    const u128 high_product = u128(wn) * p.high;
    low = uint64_t(high_product) + next;
    high = uint64_t(high_product >> 64) + (low < next ? 1 : 0);
    const uint32_t moved = uint32_t(high >> 63) ^ 1;
    high = (high << moved) | ((low >> 63) & moved);
    low <<= moved;
    return moved;
}

#if defined(__SSE2__)
// A text "[-]digits.digits" of 16 or more bytes, 1 to 7 digits before the
// point (the first not 0) and 8 to 16 after it, 19 at most in all: the
// spelling of nearly every float written with 15 to 17 digits. Its shortest
// text is the text cut after some digits (or cut and raised by one at the
// last digit kept) with the zeros that end it dropped, worked out from one
// product with a 128-bit power of ten: the double's rounding interval, in
// units of the text's last digit, is narrower than 10^(j+1) for
// j = floor(log10 of its width). Narrower than one unit, the text is the one
// candidate; else (j 0 or 1) the multiple of 10^(j+1) inside it when there
// is one, else the multiple of 10^j nearest to the double. The tests run in
// units of 2^-40 of the double's last place, where the offsets err by less
// than a hundred; any test whose sides come within a band of that gives
// up, ties and interval ends included, and so do values at a power of two
// (a narrower interval below) and nearest multiples that are not a cut of
// the text. The length written, or 0 when the text needs the general path.
// A serialiser's next number waits for the length, so the steps that do not
// need the product run beside it.
inline int32_t shortest_cut(char *buffer, const char *t, size_t n) {
    if (n < 16) return 0;
    // The point from the first sixteen bytes, beside the sign.
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t));
    const uint32_t points = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(head, _mm_set1_epi8('.'))));
    const uint32_t point = uint32_t(__builtin_ctz(points | 0x10000));
    const uint32_t sign = t[0] == '-' ? 1u : 0u;
    const uint32_t whole = point - sign;
    const int32_t m = int32_t(n) - int32_t(point) - 1;  // digits after the point
    // The first word with the sign's byte as a leading 0.
    const uint64_t head_word = word::load(t) ^ word::zero_digits ^ (0x1D * uint64_t(sign));
    if (whole - 1 > 6 || t[sign] == '0' || non_digits(head_word ^ word::zero_digits) << (64 - 8 * point) != 0 ||
        m < 8 || m > 16 || int32_t(whole) + m > max_significant)
        return 0;
    // The fraction from the last sixteen bytes, read at fixed places: its
    // digits in the last word and the top m - 8 bytes of the one before.
    const uint64_t middle = word::load(t + n - 16), last = word::load(t + n - 8);
    const uint64_t in_middle = m > 8 ? ~uint64_t(0) << (8 * (16 - m)) : 0;
    if (((non_digits(middle) & in_middle) | non_digits(last)) != 0) return 0;
    const uint64_t w = word::digits_value(head_word << (8 * (8 - point))) * pow10_u64_table[m] +
                       word::digits_value((middle ^ word::zero_digits) & in_middle) * 100000000u +
                       word::digits_value(last ^ word::zero_digits);
    // The zeros and nines among the last sixteen bytes: those a cut leaves
    // last are dropped, the nines when raised (the carry passes them).
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + n - 16));
    const uint32_t zeros = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(tail, _mm_set1_epi8('0'))));
    const uint32_t nines = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(tail, _mm_set1_epi8('9'))));
    uint32_t cut = 0;
    uint64_t raise = 0;
    // At most 15 digits are their own shortest digits.
    if (w >= unique_below) {
        // w x 10^-m: the double's 53 bits, and the text less the double's
        // significand (rounded to nearest) in 2^-40 units of its last place.
        // w is shifted by what the largest number of its digits needs, known
        // from the point ahead of the digits; the product's top bit then
        // lies `moved` (0 to 5) places below 127, and the bits are read at
        // places that follow it rather than shifting it up.
        const int32_t lz = __builtin_clzll(pow10_u64_table[int32_t(whole) + m] - 1);
        const uint64_t wn = w << lz;
        const pow10_entry &p = pow10_table[-m - pow10_first];
        const u128 product = u128(wn) * p.high + uint64_t((u128(wn) * p.low) >> 64);
        const uint64_t high = uint64_t(product >> 64), low = uint64_t(product);
        const uint32_t moved = uint32_t(__builtin_clzll(high));
        constexpr int64_t place = int64_t(1) << 40, half = place / 2, band = 256;
        const uint32_t below_at = 35 - moved;
        const int64_t below_m = int64_t(((low >> below_at) | (high << (64 - below_at))) & uint64_t(place - 1));
        const int64_t up = below_m >= half ? 1 : 0;
        const uint64_t significand = (high >> (11 - moved)) + uint64_t(up);
        const int64_t offset = below_m - up * place;
        // One unit of the text's last digit, 10^-m over the double's last
        // place, in the same units.
        const int64_t unit = int64_t(p.high >> (below_at - uint32_t(lz)));
        const int32_t e2 = 12 - int32_t(moved) + floor_log2_pow10(int32_t(-m)) - lz;
        const int64_t j = int64_t(floor_log10_pow2(e2)) + m;
        // 1 when the sides of a test come within the band: the text near
        // the middle between two doubles, the double at a power of two.
        auto near = [](int64_t difference) { return uint64_t(uint64_t(difference + band) <= uint64_t(2 * band)); };
        uint64_t unsure =
            near(below_m - half) | uint64_t((significand & ((uint64_t(1) << 52) - 1)) == 0) | uint64_t(j > 1);
        if (j >= 0) {
            // w mod 10^(j+1) and w mod 10^j, and 10^j, in units.
            const int64_t last_digit = t[n - 1] - '0', last_two = (t[n - 2] - '0') * 10 + last_digit;
            const int64_t last_units = last_digit * unit;
            const int64_t r1_units = j ? last_two * unit : last_units;
            const int64_t r0_units = j ? last_units : 0;
            const int64_t step = j ? 10 * unit : unit;
            // The multiples of 10^(j+1) at or below w and above it: one
            // digit fewer when either lies inside (both cannot).
            const int64_t below = offset - r1_units + half, above = half - offset - (10 * step - r1_units);
            const uint64_t fewer_below = uint64_t(below > 0), fewer = fewer_below | uint64_t(above > 0);
            // Else the multiple of 10^j nearest to the double: w cut, or
            // raised when the double lies past the middle between them (z
            // the double from half a place below the cut, in twice the
            // units; outside (0, 4 steps) neither is nearest).
            const int64_t z = 2 * r0_units + step - 2 * offset;
            unsure |=
                near(below) | near(above) |
                ((fewer ^ 1) & (near(z - 2 * step) | uint64_t(uint64_t(z - band) > uint64_t(4 * step - 2 * band))));
            cut = uint32_t(uint64_t(j) + fewer);
            raise = (fewer & (fewer_below ^ 1)) | ((fewer ^ 1) & uint64_t(z >= 2 * step));
        }
        if (unsure != 0) return 0;
    }
    // The last byte kept; the point stops the search (no digit would be
    // left after it), and so does a longer run, left to the general path.
    const uint32_t kept = ~uint32_t(digit_steps::select_bits(raise != 0, nines, zeros)) & (0xFFFFu >> cut);
    const uint32_t end = uint32_t(n) - 16 + uint32_t(31 - __builtin_clz(kept | 1));
    if (kept == 0 || end <= point) return 0;
    std::memcpy(buffer, t, 16);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(buffer + n - 16), tail);
    buffer[end] = char(t[end] + raise);
    return int32_t(end + 1);
}
#endif

// The double nearest to the text, by the exact operation when it serves,
// else by the product.
inline bool to_binary(const scanned &d, binary_value &value) {
    const uint64_t w = d.w;
    const int32_t q = d.exponent10;
    uint64_t m;
    int32_t e2;
    if (w <= (uint64_t(1) << 53) && q >= -22 && q <= 22) {
        // Both factors exact: one correctly rounded operation.
        double x = double(w);
        x = q < 0 ? x / pow10_doubles[-q] : x * pow10_doubles[q];
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const uint32_t biased = uint32_t(bits >> 52) & 0x7FF;
        if (biased == 0) return false;
        m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
        e2 = int32_t(biased) - 1075;
    } else {
        if (q < pow10_first || q > pow10_last) return false;
        const int32_t lz = __builtin_clzll(w);
        uint64_t high, low;
        const uint32_t moved = product_bits(w, q, lz, high, low);
        m = high >> 11;
        // The 75 bits below m: a rounding boundary (2^74) within a unit
        // above them leaves the result open.
        const uint64_t rest_high = high & 0x7FF, rest_low = low;
        const uint64_t at_half = ((rest_high ^ 0x400) | rest_low) == 0 ? 1 : 0;
        const uint64_t unit_below = ((rest_high ^ 0x3FF) | (rest_low + (uint64_t(1) << moved))) == 0 ? 1 : 0;
        if ((at_half | unit_below) != 0) return false;
        e2 = 75 - int32_t(moved) + 64 + floor_log2_pow10(q) - 127 - lz;
        // Above half: bit 74 set and something below it.
        m += (rest_high >> 10) & uint64_t(((rest_high & 0x3FF) | rest_low) != 0);
        if (m == (uint64_t(1) << 53)) {
            m >>= 1;
            ++e2;
        }
        const int32_t biased = e2 + 1075;
        if (biased < 1 || biased > 2046) return false;
    }
    value.f = m;
    value.e = e2;
    value.unequal_margins = m == (uint64_t(1) << 52) && e2 > -1074;
    return true;
}

// format_decimal_text after the scan; `form` is null unless the point form
// read the text and it is copyable.
__attribute__((noinline)) int32_t format_scanned(char *buffer, const char *text, size_t length, const scanned &d,
                                                 const void *copy_form) {
    digit_record digits;
    if (d.w == 0) {
        digits.digits[0] = '0';
        digits.count = 1;
        digits.point = 0;
        return layout_digits(buffer, d.negative, digits);
    }
    // 10^-307 <= value < 10^308: normal doubles, no overflow.
    if (d.w < unique_below) {
        const int32_t digit_count = decimal_length(d.w);
        const int32_t top = d.exponent10 + digit_count;  // value < 10^top
        if (top - 1 >= -307 && top <= 308) {
            if (const int32_t n = write_point_inside(buffer, d.negative, d.w, d.exponent10, digit_count)) return n;
            digits_from_integer(d.w, d.exponent10, digits);
            return layout_digits(buffer, d.negative, digits);
        }
    }
    binary_value value;
    if (!to_binary(d, value)) return 0;
    uint64_t f;
    int32_t exponent10, digit_count;
    shortest_integer(value, f, exponent10, digit_count);
#if defined(__SSE2__)
    const auto *form = static_cast<const point_form_text *>(copy_form);
    uint32_t cut;
    bool raise;
    if (form && cut_of_digits(d, f, exponent10, cut, raise))
        if (const int32_t n = copy_cut(buffer, text, length, *form, cut, raise)) return n;
#endif
    if (const int32_t n = write_point_inside(buffer, d.negative, f, exponent10, digit_count)) return n;
    digits_from_integer(f, exponent10, digits);
    (void)copy_form;
    return layout_digits(buffer, d.negative, digits);
}

// format_decimal_text past the short texts: out of line, so that those
// (the most common floats) return without saving the registers this needs.
__attribute__((noinline)) int32_t format_longer(char *buffer, const char *text, size_t length) {
    scanned d;
#if defined(__SSE2__)
    point_form_text form;
    if (length >= point_form_shortest && length <= point_form_longest && scan_point_form(text, length, d, form)) {
        if (!copyable(text, form)) return format_scanned(buffer, text, length, d, nullptr);
        // At most 15 digits: the text's own digits are the shortest.
        if (d.w < unique_below)
            if (const int32_t n = copy_cut(buffer, text, length, form, 0, false)) return n;
        return format_scanned(buffer, text, length, d, &form);
    }
#endif
    if (!scan(text, length, d)) return 0;
    return format_scanned(buffer, text, length, d, nullptr);
}

}  // namespace

int32_t format_decimal_text(char *buffer, const char *text, size_t length) {
#if defined(__SSE2__)
    if (length < point_form_shortest && length >= 3)
        if (const int32_t n = copy_short(buffer, text, length)) return n;
    if (const int32_t n = shortest_cut(buffer, text, length)) return n;
#endif
    return format_longer(buffer, text, length);
}

}  // namespace zvl
