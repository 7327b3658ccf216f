// Tag ids and texts, the core-schema and YAML 1.1 plain-scalar resolvers,
// and the number routines that turn a resolved text into a value.
//
// The resolvers only classify: every text maps to an id and nothing is
// allocated. The number routines work on a local copy with the digit
// separators "_" and "," dropped, so that both schemas' spellings convert.
#include "doc/resolve.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/decimal_to_double.hpp"
#include "core/memory.hpp"

namespace {

using std::string_view;

// ---- tag texts -----------------------------------------------------------

constexpr const char *tag_texts[] = {
    "tag:yaml.org,2002:str",    "tag:yaml.org,2002:int",       "tag:yaml.org,2002:float", "tag:yaml.org,2002:bool",
    "tag:yaml.org,2002:null",   "tag:yaml.org,2002:timestamp", "tag:yaml.org,2002:seq",   "tag:yaml.org,2002:map",
    "tag:yaml.org,2002:binary", "tag:yaml.org,2002:merge",     "tag:yaml.org,2002:value",
};
constexpr uint32_t tag_count = sizeof(tag_texts) / sizeof(tag_texts[0]);
static_assert(tag_count == ZARVEL_TAG_NONE);

// ---- character classes ---------------------------------------------------

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_octal(char c) { return c >= '0' && c <= '7'; }
constexpr bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_sign(char c) { return c == '+' || c == '-'; }
constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool equals_ignoring_case(string_view text, string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (lower(text[i]) != lower_word[i]) return false;
    return true;
}

// Four bytes as one little-endian word, so the words of length 4 and 5
// compare as whole words.
inline uint32_t word4(const char *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
constexpr uint32_t word_of(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

bool all_of(string_view text, bool (*accept)(char)) {
    for (char c : text)
        if (!accept(c)) return false;
    return true;
}

// ---- shared decimal form -------------------------------------------------

// Digits, at most one ".", at most one exponent mark after a digit with an
// optional sign, no "." after the exponent. With separators set, "_" and ","
// may stand among the digits (after the first) before the exponent.
// Returns the tag id: 1 integer, 2 float, 0 not a number.
uint8_t decimal_form(string_view body, bool separators) {
    bool dot = false, exponent = false;
    uint32_t mantissa_digits = 0, exponent_digits = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (is_digit(c)) {
            ++(exponent ? exponent_digits : mantissa_digits);
        } else if (c == '.') {
            if (dot || exponent) return ZARVEL_TAG_STR;
            dot = true;
        } else if (c == 'e' || c == 'E') {
            if (exponent || mantissa_digits == 0) return ZARVEL_TAG_STR;
            exponent = true;
            if (i + 1 < body.size() && is_sign(body[i + 1])) ++i;
        } else if (separators && (c == '_' || c == ',') && !exponent && mantissa_digits > 0) {
            continue;
        } else {
            return ZARVEL_TAG_STR;
        }
    }
    if (mantissa_digits == 0) return ZARVEL_TAG_STR;
    if (!dot && !exponent) return ZARVEL_TAG_INT;
    if (!exponent || exponent_digits > 0) return ZARVEL_TAG_FLOAT;
    return ZARVEL_TAG_STR;
}

// ---- core schema ---------------------------------------------------------

uint8_t core_number(string_view text) {
    const size_t s = is_sign(text[0]) ? 1 : 0;
    const string_view body = text.substr(s);
    if (body.empty()) return ZARVEL_TAG_STR;
    if (body.size() == 4 && body[0] == '.') {
        if (body == ".inf" || body == ".Inf" || body == ".INF") return ZARVEL_TAG_FLOAT;
        if (s == 0 && (body == ".nan" || body == ".NaN" || body == ".NAN")) return ZARVEL_TAG_FLOAT;
    }
    if (body.size() > 2 && body[0] == '0') {
        if (body[1] == 'x' || body[1] == 'X') return all_of(body.substr(2), is_hex) ? ZARVEL_TAG_INT : ZARVEL_TAG_STR;
        if (body[1] == 'o') return all_of(body.substr(2), is_octal) ? ZARVEL_TAG_INT : ZARVEL_TAG_STR;
    }
    return decimal_form(body, false);
}

uint8_t core_text(void *, const char *text, uint32_t length) {
    if (length == 0) return ZARVEL_TAG_NULL;
    const char first = text[0];
    if (is_sign(first) || first == '.' || is_digit(first)) return core_number({text, length});
    if (first == '~' && length == 1) return ZARVEL_TAG_NULL;
    if (length == 4) {
        const uint32_t w = word4(text);
        if (w == word_of("null") || w == word_of("Null") || w == word_of("NULL")) return ZARVEL_TAG_NULL;
        if (w == word_of("true") || w == word_of("True") || w == word_of("TRUE")) return ZARVEL_TAG_BOOL;
    } else if (length == 5) {
        const uint32_t w = word4(text);
        const char last = text[4];
        if (((w == word_of("fals") || w == word_of("Fals")) && last == 'e') || (w == word_of("FALS") && last == 'E'))
            return ZARVEL_TAG_BOOL;
    }
    return ZARVEL_TAG_STR;
}

uint8_t core_number_kind(void *, int is_float) { return is_float ? ZARVEL_TAG_FLOAT : ZARVEL_TAG_INT; }

// ---- YAML 1.1 schema -----------------------------------------------------

// Reads between min and max digits at text[i]; false when fewer than min.
bool digits(string_view text, size_t &i, size_t min, size_t max) {
    size_t n = 0;
    while (i < text.size() && n < max && is_digit(text[i])) ++i, ++n;
    return n >= min;
}

bool take(string_view text, size_t &i, char c) {
    if (i < text.size() && text[i] == c) {
        ++i;
        return true;
    }
    return false;
}

// yyyy-m[m]-d[d], optionally followed by a time with fraction, spaces and a
// zone (Z, or a sign and one to four digits with an optional ":" after two).
bool is_timestamp(string_view t) {
    size_t i = 0;
    if (i < t.size() && is_sign(t[i])) ++i;
    if (!digits(t, i, 4, 4) || !take(t, i, '-') || !digits(t, i, 1, 2) || !take(t, i, '-') || !digits(t, i, 1, 2))
        return false;
    if (i == t.size()) return true;
    if (t[i] != 'T' && t[i] != 't' && t[i] != ' ') return false;
    ++i;
    if (!digits(t, i, 1, 2) || !take(t, i, ':') || !digits(t, i, 1, 2) || !take(t, i, ':') || !digits(t, i, 2, 2))
        return false;
    if (take(t, i, '.') && !digits(t, i, 1, SIZE_MAX)) return false;
    while (take(t, i, ' ')) {}
    if (i == t.size()) return true;
    if (t[i] == 'Z') return i + 1 == t.size();
    if (!is_sign(t[i])) return false;
    ++i;
    const size_t start = i;
    if (!digits(t, i, 1, 2)) return false;
    size_t count = i - start;
    if (count == 2 && take(t, i, ':')) {
        const size_t rest = i;
        if (!digits(t, i, 1, 2)) return false;
        count += i - rest;
    } else {
        const size_t rest = i;
        digits(t, i, 0, 2);
        count += i - rest;
    }
    return count <= 4 && i == t.size();
}

// [sign] digit [digits _]* (":" one or two digits, the first of two at most
// 5){1,2} then the end (integer) or "." [digits _]* to the end (float).
uint8_t sexagesimal_kind(string_view t) {
    size_t i = 0;
    if (i < t.size() && is_sign(t[i])) ++i;
    if (i == t.size() || !is_digit(t[i])) return ZARVEL_TAG_NONE;
    while (i < t.size() && (is_digit(t[i]) || t[i] == '_')) ++i;
    int groups = 0;
    while (groups < 2 && take(t, i, ':')) {
        const size_t start = i;
        if (!digits(t, i, 1, 2)) return ZARVEL_TAG_NONE;
        if (i - start == 2 && t[start] > '5') return ZARVEL_TAG_NONE;
        ++groups;
    }
    if (groups == 0) return ZARVEL_TAG_NONE;
    if (i == t.size()) return ZARVEL_TAG_INT;
    if (t[i] != '.') return ZARVEL_TAG_NONE;
    for (++i; i < t.size(); ++i)
        if (!is_digit(t[i]) && t[i] != '_') return ZARVEL_TAG_NONE;
    return ZARVEL_TAG_FLOAT;
}

bool is_prefixed_integer(string_view body) {
    if (body.size() < 2 || body[0] != '0') return false;
    const char mark = body[1];
    if (mark == 'b' || mark == 'B') {
        const string_view rest = body.substr(2);
        return !rest.empty() && rest[0] != '_' && all_of(rest, [](char c) { return is_digit(c) || c == '_'; });
    }
    if (mark == 'x' || mark == 'X') {
        string_view rest = body.substr(2);
        if (!rest.empty() && rest[0] == '_') rest.remove_prefix(1);
        return all_of(rest, [](char c) { return is_hex(c) || c == '_'; }) &&
               rest.find_first_not_of('_') != string_view::npos;
    }
    const string_view rest = body.substr(1);
    return all_of(rest, [](char c) { return is_octal(c) || c == '_'; }) &&
           rest.find_first_not_of('_') != string_view::npos;
}

uint8_t yaml11_text(void *, const char *text, uint32_t length) {
    const string_view t{text, length};
    if (t.empty() || t == "~" || equals_ignoring_case(t, "null")) return ZARVEL_TAG_NULL;
    for (string_view word : {"yes", "true", "on", "y", "no", "false", "off", "n"})
        if (equals_ignoring_case(t, word)) return ZARVEL_TAG_BOOL;
    if (t == "=") return ZARVEL_TAG_VALUE;
    if (t == "<<") return ZARVEL_TAG_MERGE;
    if (is_timestamp(t)) return ZARVEL_TAG_TIMESTAMP;
    const string_view body = is_sign(t[0]) ? t.substr(1) : t;
    if (equals_ignoring_case(body, ".inf") || equals_ignoring_case(body, ".nan")) return ZARVEL_TAG_FLOAT;
    const uint8_t sexagesimal = sexagesimal_kind(t);
    if (sexagesimal != ZARVEL_TAG_NONE) return sexagesimal;
    if (is_prefixed_integer(body)) return ZARVEL_TAG_INT;
    const uint8_t decimal = decimal_form(body, true);
    // A YAML 1.1 decimal integer has no leading zero: a 0 before digits that
    // are not all octal makes no integer (08540 stays a string, as it would
    // not read as one).
    if (decimal == ZARVEL_TAG_INT && body[0] == '0' && body.find_first_of("123456789") != string_view::npos)
        return ZARVEL_TAG_STR;
    return decimal;
}

// ---- number routines -----------------------------------------------------

// The text without "_" and ",", NUL-terminated for the runtime converters.
struct number_copy {
    char text[80];
    uint32_t length = 0;
};

bool copy_number(const char *text, uint32_t length, number_copy &copy) {
    for (uint32_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '_' || c == ',') continue;
        // An embedded NUL would end the text early for the runtime converters.
        if (c == '\0') return false;
        if (copy.length == sizeof copy.text - 1) return false;
        copy.text[copy.length++] = c;
    }
    copy.text[copy.length] = '\0';
    return true;
}

// Decimal digits at p into *value; false when there are none or the value
// overflows. Advances p past them.
bool read_decimal(const char *&p, uint64_t &value) {
    if (!is_digit(*p)) return false;
    value = 0;
    for (; is_digit(*p); ++p) {
        if (__builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, uint64_t(*p - '0'), &value))
            return false;
    }
    return true;
}

// h:m[:s], each a run of decimal digits. A leading "-" negates the whole
// value, so -1:30 is -(1 x 3600 + 30 x 60).
bool sexagesimal_i64(const char *p, int64_t &out) {
    const bool negative = *p == '-';
    if (is_sign(*p)) ++p;
    uint64_t h, m, s = 0;
    if (!read_decimal(p, h) || *p++ != ':' || !read_decimal(p, m)) return false;
    if (*p == ':') {
        ++p;
        if (!read_decimal(p, s)) return false;
    }
    if (*p != '\0') return false;
    uint64_t total;
    if (__builtin_mul_overflow(h, 3600u, &total)) return false;
    uint64_t minutes;
    if (__builtin_mul_overflow(m, 60u, &minutes) || __builtin_add_overflow(total, minutes, &total) ||
        __builtin_add_overflow(total, s, &total))
        return false;
    const uint64_t limit = negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX};
    if (total > limit) return false;
    out = negative ? static_cast<int64_t>(0 - total) : static_cast<int64_t>(total);
    return true;
}

// The quiet NaN with every exponent bit, the top mantissa bit and the sign
// bit set.
double quiet_nan() {
    const uint64_t bits = 0xFFF8000000000000ull;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Digits with an optional "." fraction, up to ":" or the end; false when the
// group has no leading digit or holds another byte.
bool sexagesimal_group(char *&p, double &value) {
    char *start = p;
    if (!is_digit(*p)) return false;
    while (is_digit(*p)) ++p;
    if (*p == '.') {
        ++p;
        while (is_digit(*p)) ++p;
    }
    if (*p != ':' && *p != '\0') return false;
    const char saved = *p;
    *p = '\0';
    value = std::strtod(start, nullptr);
    *p = saved;
    return true;
}

// h:g1[:g2]; h is whole digits, g1 and g2 may carry fractions. A leading "-"
// negates the whole value.
bool sexagesimal_f64(char *p, double &out) {
    const bool negative = *p == '-';
    if (is_sign(*p)) ++p;
    char *start = p;
    if (!is_digit(*p)) return false;
    while (is_digit(*p)) ++p;
    if (*p != ':') return false;
    *p = '\0';
    const double h = std::strtod(start, nullptr);
    *p++ = ':';
    double first, second = 0;
    if (!sexagesimal_group(p, first)) return false;
    if (*p == ':') {
        ++p;
        if (!sexagesimal_group(p, second)) return false;
    }
    if (*p != '\0') return false;
    const double total = h * 3600 + 60 * first + second;
    out = negative ? -total : total;
    return true;
}

}  // namespace

const zarvel_resolver zarvel_core_resolver = {core_text, core_number_kind};
const zarvel_resolver zarvel_yaml11_resolver = {yaml11_text, nullptr};

uint8_t zarvel_tag_id_of(const char *text, uint64_t length) {
    if (!text && length) return ZARVEL_TAG_NONE;
    const string_view tag{text, static_cast<size_t>(length)};
    for (uint32_t id = 0; id < tag_count; ++id)
        if (tag == tag_texts[id]) return static_cast<uint8_t>(id);
    return ZARVEL_TAG_NONE;
}

const char *zarvel_tag_uri(uint32_t id) {
    const uint8_t wrapped = static_cast<uint8_t>(id);
    return wrapped < tag_count ? tag_texts[wrapped] : nullptr;
}

int zvl_num_bool(const char *text, uint32_t length) {
    if (!text) return 0;
    const string_view t{text, length};
    for (string_view word : {"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON"})
        if (t == word) return 1;
    return 0;
}

int zvl_num_bool_ci(const char *text, uint32_t length) {
    if (!text || length < 1 || length > 5) return 0;
    char copy[5];
    for (uint32_t i = 0; i < length; ++i) copy[i] = lower(text[i]);
    const string_view t{copy, length};
    return t == "y" || t == "yes" || t == "true" || t == "on";
}

bool zvl::read_int(const char *text, uint32_t length, bool octal_zero, int64_t &out) {
    if (!text || length == 0) return false;
    number_copy copy;
    if (!copy_number(text, length, copy)) return false;
    char *digits_start = copy.text + (is_sign(copy.text[0]) ? 1 : 0);
    int base = 10;
    if (digits_start[0] == '0') {
        const char mark = digits_start[1];
        if (mark == 'x' || mark == 'X') {
            base = 16;
        } else if (mark == 'b' || mark == 'B' || mark == 'o') {
            // strtoll knows no 0b or 0o prefix: drop the letter so that the
            // digits follow the "0".
            base = mark == 'o' ? 8 : 2;
            if (digits_start[2] == '\0') return false;
            std::memmove(digits_start + 1, digits_start + 2,
                         copy.length - static_cast<uint32_t>(digits_start + 2 - copy.text) + 1);
            --copy.length;
        } else if (octal_zero && mark != '.' && mark != '\0') {
            base = 8;
        }
    }
    if (std::memchr(copy.text, ':', copy.length)) {
        int64_t value;
        if (!sexagesimal_i64(copy.text, value)) return false;
        out = value;
        return true;
    }
    // strtoll would take blanks before the digits, or a second sign.
    if (!is_digit(*digits_start)) return false;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(copy.text, &end, base);
    if (end == copy.text || *end != '\0' || errno == ERANGE) return false;
    out = value;
    return true;
}

int zvl_num_i64(const char *text, uint32_t length, int64_t *out) {
    return out && zvl::read_int(text, length, false, *out) ? 0 : 1;
}

// Texts too long for the local copy: the separators are dropped into a heap
// copy; what is left is read as a short text, as a decimal form of any length
// (significant digits kept to the rounding horizon) or as a sexagesimal one.
static int long_f64(const char *text, uint32_t length, double *out) {
    zvl::buffer<char> copy;
    if (!copy.reserve(uint64_t(length) + 1)) return 1;
    for (uint32_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '_' || c == ',') continue;
        if (c == '\0') return 1;
        copy.push_back(c);
    }
    const string_view t{copy.data(), copy.size()};
    if (t.size() < sizeof(number_copy::text)) return t.empty() ? 1 : zvl_num_f64(t.data(), uint32_t(t.size()), out);
    if (zvl::decimal_to_double(t.data(), t.size(), *out)) return 0;
    if (!std::memchr(t.data(), ':', t.size())) return 1;
    if (!copy.push_back('\0')) return 1;
    double value;
    if (!sexagesimal_f64(copy.data(), value)) return 1;
    *out = value;
    return 0;
}

int zvl_num_f64(const char *text, uint32_t length, double *out) {
    if (!text || length == 0 || !out) return 1;
    // Plain decimal texts, the usual case, need no copy.
    if (zvl::decimal_to_double(text, length, *out)) return 0;
    if (length >= sizeof(number_copy::text)) return long_f64(text, length, out);
    number_copy copy;
    if (!copy_number(text, length, copy)) return 1;
    if (copy.length < length && zvl::decimal_to_double(copy.text, copy.length, *out)) return 0;
    double value;
    const string_view t{copy.text, copy.length};
    const bool negative = !t.empty() && t[0] == '-';
    const string_view body = !t.empty() && is_sign(t[0]) ? t.substr(1) : t;
    if (equals_ignoring_case(body, ".inf")) {
        *out = negative ? -HUGE_VAL : HUGE_VAL;
        return 0;
    }
    if (equals_ignoring_case(body, ".nan")) {
        *out = quiet_nan();
        return 0;
    }
    if (!std::memchr(copy.text, ':', copy.length)) {
        char *end = nullptr;
        // The spellings strtod takes beyond the decimal ones (hexadecimal,
        // "infinity"); out of range is no refusal.
        value = std::strtod(copy.text, &end);
        if (end == copy.text || *end != '\0') return 1;
        *out = value;
        return 0;
    }
    if (!sexagesimal_f64(copy.text, value)) return 1;
    *out = value;
    return 0;
}
