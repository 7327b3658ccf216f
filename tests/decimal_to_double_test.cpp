// The decimal reader: a table of hard cases with their known doubles, and
// millions of random and adversarial texts compared bit for bit with strtod.
#include "core/decimal_to_double.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

std::optional<double> read(const std::string &s) {
    double d = 12345.0;
    if (!zvl::decimal_to_double(s.data(), s.size(), d)) {
        EXPECT_EQ(d, 12345.0) << "a refusal wrote the value for " << s;
        return std::nullopt;
    }
    return d;
}

// factor x base^n in decimal, exactly.
std::string exact_decimal(const std::string &factor, uint32_t base, int n) {
    std::vector<uint32_t> digits;  // least significant first
    for (auto it = factor.rbegin(); it != factor.rend(); ++it) digits.push_back(uint32_t(*it - '0'));
    for (int i = 0; i < n; ++i) {
        uint32_t carry = 0;
        for (uint32_t &d : digits) {
            const uint32_t v = d * base + carry;
            d = v % 10;
            carry = v / 10;
        }
        for (; carry; carry /= 10) digits.push_back(carry % 10);
    }
    std::string s;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) s += char('0' + *it);
    return s;
}

TEST(DecimalToDouble, HardCases) {
    const double inf = HUGE_VAL, min_sub = 0x1p-1074;
    const std::string zeros_784(784, '0');
    // 2^-1075 (half the least subnormal), 3 and 5 times it, and the point
    // halfway between the largest double and 2^1024, all written exactly.
    const std::string half_least = exact_decimal("1", 5, 1075) + "e-1075";
    const std::string three_halves = exact_decimal("3", 5, 1075) + "e-1075";
    const std::string five_halves = exact_decimal("5", 5, 1075) + "e-1075";
    const std::string past_max = exact_decimal(std::to_string((uint64_t(1) << 54) - 1), 2, 970);
    const std::string below_past_max = past_max.substr(0, past_max.size() - 1) + char(past_max.back() - 1);
    const struct {
        std::string text;
        double value;
    } rows[] = {
        // Zeros, with their sign, whatever the exponent.
        {"0", 0.0},
        {"-0", -0.0},
        {"-0.000e-5", -0.0},
        {"0e999", 0.0},
        {"-0e999", -0.0},
        {"0e-99999999999999999999", 0.0},
        {"000000000000000000000000.000000000000000000e5", 0.0},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"0.0000001e-99999999999999999999", 0.0},
        {"1e-342", 0.0},
        {"9999999999999999999e-343", 0.0},
        {"9999999999999999999e-342", 2 * min_sub},
        // Overflow.
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e99999999999999999999999", inf},
        {"1e309", inf},
        {"1.7976931348623159e308", inf},
        {past_max, inf},
        {below_past_max, DBL_MAX},
        {"1.7976931348623157e308", DBL_MAX},
        {"1.7976931348623158e308", DBL_MAX},
        {"8.988465674311579e307", 0x1.fffffffffffffp+1022},
        // Subnormals and the normal boundary.
        {"4.9406564584124654e-324", min_sub},
        {"5e-324", min_sub},
        {"3e-324", min_sub},
        {"2e-324", 0.0},
        {"2.4703282292062327e-324", 0.0},
        {"2.4703282292062328e-324", min_sub},
        {half_least, 0.0},
        {half_least.substr(0, half_least.size() - 6) + std::string(50, '0') + "1e-1126", min_sub},
        {three_halves, 2 * min_sub},
        {five_halves, 2 * min_sub},
        {"1.5e-323", 3 * min_sub},
        {"6.631236846766476e-316", 0x0.0000008p-1022},
        {"3.2379086165851934e-319", 0x0.000000001p-1022},
        {"2.2250738585072011e-308", 0x0.fffffffffffffp-1022},
        {"2.2250738585072012e-308", DBL_MIN},
        {"2.2250738585072014e-308", DBL_MIN},
        {"1e-308", 0x0.730d67819e8d2p-1022},
        {"123456789012345678901234567890e-330", 0x1.52a64e34ba0d3p-1000},
        // Halfway points: ties to even, and any later digit breaks them.
        {"9007199254740993", 0x1p53},
        {"9007199254740995", 0x1.0000000000002p+53},
        {"9007199254740993.0000000000000000001", 0x1.0000000000001p+53},
        {"9007199254740992.9999999999999999999", 0x1p53},
        {"9007199254740993." + zeros_784, 0x1p53},
        {"9007199254740993." + zeros_784 + "1", 0x1.0000000000001p+53},
        {"4503599627370496.5", 0x1p52},
        {"4503599627370497.5", 0x1.0000000000002p+52},
        {"2251799813685248.25", 0x1p51},
        {"1125899906842624.25", 0x1.0000000000001p+50},
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        {"1.00000000000000011102230246251565404236316680908203124", 1.0},
        {"1.00000000000000011102230246251565404236316680908203126", 0x1.0000000000001p+0},
        // 19, 20 and many digits.
        {"1234567890123456789", 0x1.12210f47de981p+60},
        {"12345678901234567890", 0x1.56a95319d63e1p+63},
        {"-12345678901234567890e-30", -0x1.b25ffd636ec12p-37},
        {"18446744073709551615", 0x1p64},
        {"18446744073709551616", 0x1p64},
        {"3.141592653589793238462643383279502884197169399375105820974944592307816406286", M_PI},
        {"0." + std::string(800, '1'), 0x1.c71c71c71c71cp-4},
        // Long exponents, signs and short forms.
        {"1e0000000000000000000000000000000000000001", 10.0},
        {"1000e-0000000000000000000000000003", 1.0},
        {"0.0000001e0000000000000000007", 1.0},
        {"+.5", 0.5},
        {"5.", 5.0},
        {"-65.613616999999977", -0x1.06745803cd14p+6},
        {"0.1", 0.1},
        {"0.3", 0.3},
        {"1e22", 1e22},
        {"1e23", 0x1.52d02c7e14af6p+76},
        {"7.2057594037927933e16", 0x1p56},
        {"9007199254740993e-22", 0x1.e392010175ee7p-21},
        // Integer digits, a point and the fraction, read by word: short and
        // long fractions, the longest integer part, 19 digits in all.
        {"-65.613616999999977", -0x1.06745803cd14p+6},
        {"43.42027300000001", 0x1.5b5cb81733228p+5},
        // Close to a double: the product needs the table's second word.
        {"46.851662000000033", 0x1.76d0342aa9f8p+5},
        {"-60.629722999999899", -0x1.e509ac36544fp+5},
        {"0.000001", 1e-6},
        {"1234567.891234567891", 0x1.2d687e427f2dap+20},
        {"+1.5000000", 1.5},
        {"9.0000000000000001", 9.0},
        {"1.00000000000000011", 1.0},
        // 16 and 17 digits with the point first and last among the last
        // sixteen bytes, and all zeros.
        {"12.345678901234567", 0x1.8b0fcd32f707ap+3},
        {"1.234567890123456", 0x1.3c0ca428c59f8p+0},
        {"1234567890123456.7", 0x1.18b54f22aeb03p+50},
        {"-00.000000000000000", -0.0},
        {"12345678901234567.", 0x1.5ee2a2eb5a5c4p+53},
        // Fifteen digits in sixteen bytes.
        {"-123456789.012345", -0x1.d6f34540ca42bp+26},
        {".123456789012345", 0x1.f9add3746f62ep-4},
    };
    for (const auto &row : rows) {
        const std::optional<double> got = read(row.text);
        ASSERT_TRUE(got.has_value()) << row.text;
        EXPECT_EQ(bits(*got), bits(row.value)) << row.text.substr(0, 80) << " gave " << *got;
    }
    for (const char *text :
         {"", "-", "+", ".", "-.", "e5", ".e5", "1e", "1e+", "1.5.2", "1e5.5", "1x", " 1", "1 ", "0x10", "inf", "nan",
          "1_000", "1,5", "--1", "1e--5", "1.2345678x", "12.34567.9", "1.234567 ", "1.-2345678",
          // Sixteen and seventeen digits.
          "x2.345678901234567", "12.34567890123456.", "1.2345678901234.6"})
        EXPECT_FALSE(read(text).has_value()) << text;
}

// Cases per run: a few million where the build is optimised, fewer under
// the debug and sanitizer builds; ZARVEL_NUMBER_CASES sets the count.
long case_count() {
    if (const char *set = std::getenv("ZARVEL_NUMBER_CASES")) return std::atol(set);
#if defined(__SANITIZE_ADDRESS__)
    return 100000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 100000;
#endif
#endif
#ifdef NDEBUG
    return 2000000;
#else
    return 200000;
#endif
}

double random_double(std::mt19937_64 &random) {
    for (;;) {
        double d;
        const uint64_t b = random();
        std::memcpy(&d, &b, sizeof d);
        if (std::isfinite(d)) return std::fabs(d);
    }
}

// Texts built to sit on or near the points where rounding turns: doubles
// and the midpoints between neighbours, printed to too few, enough and too
// many digits; plus plain random digit strings of every length.
std::string adversarial_text(std::mt19937_64 &random) {
    char buffer[900];
    const int kind = int(random() % 5);
    if (kind <= 1) {
        const double d = random_double(random);
        const long double at =
            kind == 0 ? (long double)d : (long double)d + ((long double)std::nextafter(d, HUGE_VAL) - d) / 2;
        const int digits = random() % 128 == 0 ? int(random() % 780) : 12 + int(random() % 14);
        std::snprintf(buffer, sizeof buffer, random() % 2 ? "%.*Le" : "%.*Lg", digits, at);
        return buffer;
    }
    std::string s;
    if (random() % 4 == 0) s += "+-"[random() % 2];
    const int n = kind == 2   ? 1 + int(random() % 19)
                  : kind == 3 ? 17 + int(random() % 12)
                              : 1 + int(random() % (random() % 16 == 0 ? 900 : 60));
    const int point = int(random() % (n + 2)) - 1;  // -1: none
    for (int i = 0; i < n; ++i) {
        if (i == point) s += '.';
        // Runs of 0 and 9 reach the carries and the exact ties.
        const uint64_t r = random() % 8;
        s += r == 0 ? '0' : r == 1 ? '9' : char('0' + random() % 10);
    }
    if (point == n) s += '.';
    // Short texts come without an exponent too, as JSON numbers mostly do.
    if (kind == 2 && random() % 2) return s;
    const int exponent = int(random() % 700) - 350 - (point < 0 ? n : point);
    s += "eE"[random() % 2] + std::to_string(exponent);
    return s;
}

TEST(DecimalToDouble, MatchesStrtodOnRandomTexts) {
    static_assert(LDBL_MANT_DIG >= 64, "midpoints are printed from long doubles");
    std::mt19937_64 random(20261209);
    const long count = case_count();
    for (long i = 0; i < count; ++i) {
        const std::string s = adversarial_text(random);
        char *end = nullptr;
        const double want = std::strtod(s.c_str(), &end);
        ASSERT_EQ(*end, '\0') << s;
        const std::optional<double> got = read(s);
        ASSERT_TRUE(got.has_value()) << s;
        ASSERT_EQ(bits(*got), bits(want)) << s;
    }
}

// The common shape of a JSON fraction, read on its own quick way: a sign or
// none, 1 to 12 integer digits, a point and 1 to 16 more, 19 at most or past
// it, each text alone in a block of its own length (so that a read outside
// it is caught under the sanitizers).
TEST(DecimalToDouble, PointFractionsMatchStrtod) {
    std::mt19937_64 random(7);
    const long count = case_count() / 4;
    for (long i = 0; i < count; ++i) {
        std::string s = random() % 3 == 0 ? "-" : random() % 8 == 0 ? "+" : "";
        const int whole = 1 + int(random() % 12), fraction = 1 + int(random() % 16);
        for (int k = 0; k < whole + fraction; ++k) {
            if (k == whole) s += '.';
            const uint64_t r = random() % 6;
            s += r == 0 ? '0' : r == 1 ? '9' : char('0' + random() % 10);
        }
        if (random() % 16 == 0) s[random() % s.size()] = "a.e-"[random() % 4];
        char *end = nullptr;
        const double want = std::strtod(s.c_str(), &end);
        const std::vector<char> block(s.begin(), s.end());
        double got = 0;
        const bool read_all = zvl::decimal_to_double(block.data(), block.size(), got);
        ASSERT_EQ(read_all, *end == '\0') << s;
        if (read_all) {
            ASSERT_EQ(bits(got), bits(want)) << s;
        }
    }
}

// The mantissa-and-exponent entry over the whole exponent range.
TEST(DecimalToDouble, PartsMatchStrtod) {
    std::mt19937_64 random(99);
    const long count = case_count() / 8;
    for (long i = 0; i < count; ++i) {
        const uint64_t w = random() >> (random() % 64);
        const int64_t q = int64_t(random() % 720) - 360;
        const bool negative = random() % 2;
        const std::string s = (negative ? "-" : "") + std::to_string(w) + "e" + std::to_string(q);
        ASSERT_EQ(bits(zvl::decimal_parts_to_double(w, q, negative)), bits(std::strtod(s.c_str(), nullptr))) << s;
    }
}

}  // namespace
