// zarvel_format_double against an independent shortest formatter
// (std::to_chars) and strtod, plus the fixed layout table.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "emit/decimal_text.hpp"
#include "emit/shortest_fast.hpp"
#include "emit/format_double.hpp"
#include "zarvel.h"

namespace {

std::string format(double value) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    int32_t n = zarvel_format_double(buffer, value);
    return std::string(buffer, size_t(n < 0 ? 0 : n));
}

double from_bits(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
uint64_t to_bits(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Digits and point position P (value = 0.d1..dk x 10^P) of a text in either
// our layout or to_chars' scientific form, trailing zeros of the digits
// removed.
struct decimal {
    bool negative = false;
    std::string digits;
    int point = 0;
    bool operator==(const decimal &) const = default;
};

decimal parse_decimal(const std::string &text) {
    decimal out;
    size_t i = 0;
    if (i < text.size() && text[i] == '-') {
        out.negative = true;
        ++i;
    }
    std::string mantissa_digits;
    int dot_position = -1;
    for (; i < text.size() && text[i] != 'e'; ++i) {
        if (text[i] == '.')
            dot_position = int(mantissa_digits.size());
        else
            mantissa_digits += text[i];
    }
    if (dot_position < 0) dot_position = int(mantissa_digits.size());
    int exponent = i < text.size() ? std::atoi(text.c_str() + i + 1) : 0;
    size_t lead = mantissa_digits.find_first_not_of('0');
    if (lead == std::string::npos) {
        out.digits = "0";
        return out;
    }
    out.digits = mantissa_digits.substr(lead);
    out.point = dot_position - int(lead) + exponent;
    while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
    return out;
}

std::string oracle(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    return std::string(buffer, result.ptr);
}

// One check for a value: same digits and point as the oracle, reads back to
// the same bits, and the text has the fixed layout's shape.
::testing::AssertionResult matches_oracle(double value) {
    std::string ours = format(value);
    std::string theirs = oracle(value);
    decimal a = parse_decimal(ours), b = parse_decimal(theirs);
    if (!(a == b))
        return ::testing::AssertionFailure()
               << "bits 0x" << std::hex << to_bits(value) << ": ours " << ours << ", to_chars " << theirs;
    double back = std::strtod(ours.c_str(), nullptr);
    if (to_bits(back) != to_bits(value))
        return ::testing::AssertionFailure()
               << "bits 0x" << std::hex << to_bits(value) << ": " << ours << " reads back as " << back;
    if (ours.find('.') == std::string::npos) return ::testing::AssertionFailure() << ours << " has no decimal point";
    if (ours.size() > 24) return ::testing::AssertionFailure() << ours << " is too long";
    return ::testing::AssertionSuccess();
}

uint64_t sample_count(uint64_t fallback) {
    const char *text = std::getenv("ZARVEL_FORMAT_SAMPLES");
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(FormatDouble, EdgeValues) {
    struct row {
        double value;
        const char *text;
    };
    const row rows[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-1.0, "-1.0"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.3333333333333333"},
        {9007199254740992.0, "9007199254740992.0"},
        {5e-324, "5.0e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {1e23, "1.0e+23"},
        {1e15, "1000000000000000.0"},
        {1e16, "1.0e+16"},
        {1e100, "1.0e+100"},
        {1.5e-10, "1.5e-10"},
        {1e-4, "0.0001"},
        {1e-5, "1.0e-05"},
        {0.5, "0.5"},
        {1.5, "1.5"},
        {100.0, "100.0"},
        {123.456, "123.456"},
        {-2.5e-7, "-2.5e-07"},
        {9.5, "9.5"},
        {0.001234, "0.001234"},
        {1234567890123456.0, "1234567890123456.0"},
        {12345678901234567.0, "1.2345678901234568e+16"},
        {2.0, "2.0"},
        {1e21, "1.0e+21"},
        {4.35e-322, "4.35e-322"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(format(r.value), r.text) << "value " << oracle(r.value);
        EXPECT_TRUE(matches_oracle(r.value));
    }
}

TEST(FormatDouble, NonFiniteWritesNothing) {
    const double values[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), -std::nan("")};
    for (double v : values) {
        char buffer[32] = {'x'};
        EXPECT_EQ(zarvel_format_double(buffer, v), 0);
        EXPECT_EQ(buffer[0], 'x');
    }
}

TEST(FormatDouble, LayoutTable) {
    struct row {
        const char *digits;
        int point;
        bool negative;
        const char *text;
    };
    const row rows[] = {
        {"0", 0, false, "0.0"},         {"1", 101, false, "1.0e+100"},
        {"15", -9, false, "1.5e-10"},   {"1", -4, false, "1.0e-05"},
        {"1", 17, false, "1.0e+16"},    {"5", 0, false, "0.5"},
        {"1", -3, false, "0.0001"},     {"15", 1, false, "1.5"},
        {"1", 3, false, "100.0"},       {"1", 16, false, "1000000000000000.0"},
        {"5", -323, false, "5.0e-324"}, {"25", 2, true, "-25.0"},
        {"123", 1, true, "-1.23"},      {"17976931348623157", 309, false, "1.7976931348623157e+308"},
    };
    for (const row &r : rows) {
        zvl::digit_record digits{};
        digits.count = int32_t(std::strlen(r.digits));
        std::memcpy(digits.digits, r.digits, size_t(digits.count));
        digits.point = r.point;
        char buffer[32];
        int32_t n = zvl::layout_digits(buffer, r.negative, digits);
        EXPECT_EQ(std::string(buffer, size_t(n)), r.text) << r.digits << " " << r.point;
    }
}

// Ties: values whose shortest candidates are exactly halfway take the even
// digit. 2^-1074 * odd multiples give exact halfway digit strings at the
// bottom of the subnormals; small integers with fractional .5 steps as well.
TEST(FormatDouble, TiesAndNeighbours) {
    for (uint64_t f = 1; f < 5000; ++f) EXPECT_TRUE(matches_oracle(from_bits(f)));
    for (int e = -1074; e <= 1023; ++e) {
        double p = std::ldexp(1.0, e);
        EXPECT_TRUE(matches_oracle(p));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, 0.0)));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, INFINITY)));
    }
    for (int i = -400; i <= 400; ++i) {
        double p = std::pow(10.0, i);
        if (!std::isfinite(p) || p == 0) continue;
        EXPECT_TRUE(matches_oracle(p));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, 0.0)));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, INFINITY)));
    }
}

// Random bit patterns cover every exponent; random values of everyday size
// are what documents hold.
TEST(FormatDouble, RandomBitPatternsAgainstOracle) {
    std::mt19937_64 random(20261208);
    const uint64_t n = sample_count(1'000'000);
    uint64_t failures = 0;
    for (uint64_t i = 0; i < n && failures < 20; ++i) {
        double v = from_bits(random());
        if (!std::isfinite(v)) continue;
        auto result = matches_oracle(v);
        if (!result) {
            ++failures;
            ADD_FAILURE() << result.message();
        }
    }
}

TEST(FormatDouble, RandomEverydayValuesAgainstOracle) {
    std::mt19937_64 random(77);
    std::uniform_real_distribution<double> exponent(-12.0, 22.0);
    std::uniform_int_distribution<int> digits(1, 17);
    const uint64_t n = sample_count(1'000'000) / 4;
    uint64_t failures = 0;
    for (uint64_t i = 0; i < n && failures < 20; ++i) {
        double v = std::pow(10.0, exponent(random));
        if (i & 1) {  // short decimal texts, as found in data files
            char text[40];
            std::snprintf(text, sizeof text, "%.*g", digits(random), v);
            v = std::strtod(text, nullptr);
        }
        auto result = matches_oracle(v);
        if (!result) {
            ++failures;
            ADD_FAILURE() << result.message();
        }
    }
}

// The generator against the oracle on every exponent, the powers of two
// (unequal margins) and the subnormals.
TEST(FormatDouble, GeneratorOnEveryExponent) {
    std::mt19937_64 random(5);
    std::uniform_int_distribution<int> exponent(-1074, 971);
    const uint64_t n = sample_count(1'000'000) / 2;
    for (uint64_t i = 0; i < n; ++i) {
        zvl::binary_value v;
        v.f = (random() & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
        if (i % 7 == 0) v.f = uint64_t(1) << 52;
        v.e = exponent(random);
        if (i % 11 == 0) {  // a subnormal: any fraction at the lowest exponent
            v.f = random() >> (12 + random() % 52);
            if (v.f == 0) v.f = 1 + i % 5;
            v.e = -1074;
        }
        v.unequal_margins = v.f == (uint64_t(1) << 52) && v.e > -1074;
        ASSERT_TRUE(matches_oracle(std::ldexp(double(v.f), v.e)));
        // The register layout and the digit chunks against their general and
        // portable twins.
        uint64_t f;
        int32_t exponent10, length;
        zvl::shortest_integer(v, f, exponent10, length);
        ASSERT_EQ(size_t(length), std::to_string(f).size()) << f;
        for (int32_t shift : {0, 1 + int32_t(i % 15), -int32_t(i % 20)}) {
            char direct[32], general[32];
            if (const int32_t k = zvl::write_point_inside(direct, (i & 1) != 0, f, exponent10 + shift, length)) {
                zvl::digit_record digits{};
                zvl::digits_from_integer(f, exponent10 + shift, digits);
                const int32_t j = zvl::layout_digits(general, (i & 1) != 0, digits);
                ASSERT_EQ(std::string(direct, size_t(k)), std::string(general, size_t(j))) << f << " " << shift;
            }
        }
        // The register layout against its portable twin, on runs of zeros at
        // the end (all zeros among them) and every point position.
        const uint64_t unit = zvl::pow10_u64_table[i % 17];
        const uint64_t g = (uint64_t(1e16) + random() % uint64_t(9e16)) / unit * unit;
        const int32_t point = int32_t(i % 17) - 1;
        char sixteen[32], sixteen_portable[32];
        const int32_t n = zvl::write_seventeen(sixteen, (i & 2) != 0, g, point);
        ASSERT_EQ(n, zvl::write_seventeen_portable(sixteen_portable, (i & 2) != 0, g, point)) << g << " " << point;
        ASSERT_EQ(std::string(sixteen, size_t(n)), std::string(sixteen_portable, size_t(n))) << g << " " << point;
    }
}

// Neighbours of every power of ten and of every power of two: the places
// where the decimal length or the margins change.
TEST(FormatDouble, PowersAndTheirNeighbours) {
    for (int e = -323; e <= 308; ++e) {
        double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        EXPECT_TRUE(matches_oracle(p));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, 0.0)));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, INFINITY)));
    }
    for (int e = -1074; e <= 1023; ++e) {
        double p = std::ldexp(1.0, e);
        EXPECT_TRUE(matches_oracle(p));
        EXPECT_TRUE(matches_oracle(std::nextafter(p, 0.0)));
        if (e < 1023) {
            EXPECT_TRUE(matches_oracle(std::nextafter(p, INFINITY)));
        }
    }
    for (uint64_t f = 1; f < 64; ++f) EXPECT_TRUE(matches_oracle(from_bits(f)));
}

// Decimal texts straight to shortest text: the same characters as strtod
// followed by zarvel_format_double, whenever the shortcut takes the text.
TEST(FormatDecimalText, AgreesWithStrtodThenFormat) {
    std::mt19937_64 random(99);
    const uint64_t n = sample_count(1'000'000) / 2;
    uint64_t taken = 0;
    auto check = [&](const std::string &text) {
        char ours[32];
        const int32_t k = zvl::format_decimal_text(ours, text.data(), text.size());
        if (k == 0) return true;
        ++taken;
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        char theirs[32];
        const int32_t j = zarvel_format_double(theirs, v);
        if (end != text.c_str() + text.size() || std::string(ours, size_t(k)) != std::string(theirs, size_t(j))) {
            ADD_FAILURE() << text << ": " << std::string(ours, size_t(k)) << " against "
                          << std::string(theirs, size_t(j));
            return false;
        }
        return true;
    };
    const char *fixed[] = {
        "0", "-0", "0.0", "-0.0e5", "1", "+1", "1.", ".5", "-.5e-3", "1e23", "8.5e-323", "1.7976931348623157e308",
        "1.7976931348623159e308", "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9e-324", "9007199254740993",
        "9007199254740992.5", "0.30000000000000004", "123456789012345678", "1234567890123456789", "-65.613616999999977",
        "43.420273000000009", "1e-292", "1e-293", "1e324", "00012.50", "0.000000000000000000000000000001",
        // Cut and raised texts: zero and nine runs, carries, ties and halves.
        "-65.598343000000002", "-65.559997999999950", "1.9999999999999999", "-9.9999999999999996",
        "0.99999999999999994", "99.999999999999993", "4503599627370497.5", "4503599627370496.5", "4503599627370496.0",
        "9007199254740993.0", "1234567890123456.7", "+65.613616999999977", "065.613616999999977", "12345678901234567.5",
        "1.0000000000000002", "2.2204460492503131", "43.420273000000009000",
        // Point-form texts of 16 to 24 bytes: the point near either end, a
        // sign, leading zeros, 19 digits.
        "+1234567890.12345678", "-0.000000000000001234", "1234567890123456.78", "12345678901234567.8",
        "-1.234567890123456789", "0000000000000001.5", "-9999999999999999.9", "0.1000000000000000055511151",
        // The usual form's edges: 7 digits before the point, 8 or 16 after
        // it, 19 in all.
        "1234567.12345678", "-1234567.99999999", "+2.2204460492503131", "123.4567890123456789", "9.9999999999999999",
        // Short point-form texts: trailing zeros, the fixed layout's lower
        // end, leading zeros.
        "0.25", "-12.50", "100.000", "1.0", "-0.5", "0.0001", "-0.00010", "0.00001", "01.5", "00.5", "-0.000",
        "123456789.12345", "0.099999999999"};
    for (const char *text : fixed) EXPECT_TRUE(check(text));
    const char *refused[] = {
        "", "-", ".", "e5", "1e", "1e+", "0x1p3", "inf", "nan", "1_0", " 1", "1 ", "12345678901234567890", "1.5.2"};
    for (const char *text : refused) {
        char out[32];
        EXPECT_EQ(zvl::format_decimal_text(out, text, std::strlen(text)), 0) << text;
    }
    uint64_t failures = 0;
    for (uint64_t i = 0; i < n && failures < 20; ++i) {
        // 1 to 19 digits, a point somewhere, an exponent over the whole range.
        const int digits = 1 + int(random() % 19);
        std::string text = (random() & 1) ? "-" : "";
        std::string mantissa;
        for (int d = 0; d < digits; ++d) mantissa += char('0' + random() % 10);
        const size_t point = random() % (mantissa.size() + 1);
        text += mantissa.substr(0, point) + "." + mantissa.substr(point);
        if (text.back() == '.' && (random() & 1)) text += "0";
        if (i % 3) text += "e" + std::to_string(int(random() % 700) - 350);
        if (!check(text)) ++failures;
        // Neighbours of a double, written with 17 digits: the texts that need
        // every bit of the product.
        const double v = from_bits(random() >> 1);
        if (std::isfinite(v)) {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "%.16e", v);
            if (!check(buffer)) ++failures;
        }
        // Fixed layout with 13 to 17 places, as JSON writers print coordinates.
        char fixed_text[48];
        std::snprintf(fixed_text, sizeof fixed_text, "%.*f", 13 + int(random() % 5),
                      std::ldexp(double(random() >> 11), -int(random() % 60)) * ((random() & 1) ? -1 : 1));
        if (!check(fixed_text)) ++failures;
        // A short decimal written with 17 digits: runs of zeros or nines to cut.
        std::snprintf(fixed_text, sizeof fixed_text, "%.17g",
                      double(int64_t(random() % 100000000) - 50000000) / double(1 + random() % 100000));
        if (!check(fixed_text)) ++failures;
    }
    EXPECT_GT(taken, n);
}

}  // namespace
