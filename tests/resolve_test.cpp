// Tag ids and texts, both plain-scalar resolvers and the number routines,
// with zvl_num_f64 checked against strtod and zvl_num_i64 against strtoll on
// random texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "doc/resolve.hpp"
#include "zarvel.h"

namespace {

uint8_t core(const std::string &s) {
    return zarvel_core_resolver.text(nullptr, s.data(), static_cast<uint32_t>(s.size()));
}
uint8_t yaml11(const std::string &s) {
    return zarvel_yaml11_resolver.text(nullptr, s.data(), static_cast<uint32_t>(s.size()));
}

std::optional<int64_t> to_i64(const std::string &s) {
    int64_t v = 0x5a5a5a5a;
    if (zvl_num_i64(s.data(), static_cast<uint32_t>(s.size()), &v) != 0) {
        EXPECT_EQ(v, 0x5a5a5a5a) << "refusal wrote the value for " << s;
        return std::nullopt;
    }
    return v;
}

std::optional<double> to_f64(const std::string &s) {
    double v = 42.25;
    if (zvl_num_f64(s.data(), static_cast<uint32_t>(s.size()), &v) != 0) {
        EXPECT_EQ(v, 42.25) << "refusal wrote the value for " << s;
        return std::nullopt;
    }
    return v;
}

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// ---- tags --------------------------------------------------------------------

TEST(Tags, TextsAndIds) {
    const char *suffixes[] = {"str", "int", "float",  "bool",  "null", "timestamp",
                              "seq", "map", "binary", "merge", "value"};
    for (uint32_t id = 0; id < 11; ++id) {
        const std::string expected = std::string("tag:yaml.org,2002:") + suffixes[id];
        ASSERT_NE(zarvel_tag_uri(id), nullptr) << id;
        EXPECT_EQ(zarvel_tag_uri(id), expected) << id;
        EXPECT_EQ(zarvel_tag_uri(id + 256), zarvel_tag_uri(id)) << id;
        EXPECT_EQ(zarvel_tag_id_of(expected.data(), expected.size()), id) << expected;
        // A prefix or an extension of a tag text is no tag.
        EXPECT_EQ(zarvel_tag_id_of(expected.data(), expected.size() - 1), ZARVEL_TAG_NONE);
        const std::string longer = expected + "x";
        EXPECT_EQ(zarvel_tag_id_of(longer.data(), longer.size()), ZARVEL_TAG_NONE);
    }
    EXPECT_EQ(zarvel_tag_uri(11), nullptr);
    EXPECT_EQ(zarvel_tag_uri(255), nullptr);
    EXPECT_STREQ(zarvel_tag_uri(256), "tag:yaml.org,2002:str");
    EXPECT_EQ(zarvel_tag_id_of("", 0), ZARVEL_TAG_NONE);
    EXPECT_EQ(zarvel_tag_id_of("!!int", 5), ZARVEL_TAG_NONE);
}

TEST(Tags, NumberSlots) {
    ASSERT_NE(zarvel_core_resolver.number, nullptr);
    EXPECT_EQ(zarvel_core_resolver.number(nullptr, 1), ZARVEL_TAG_FLOAT);
    EXPECT_EQ(zarvel_core_resolver.number(nullptr, 0), ZARVEL_TAG_INT);
    EXPECT_EQ(zarvel_yaml11_resolver.number, nullptr);
}

// ---- resolvers -----------------------------------------------------------------

struct resolve_row {
    const char *text;
    uint8_t id;
};

TEST(CoreResolver, TableOfTexts) {
    const resolve_row rows[] = {
        {"", 4},      {"~", 4},    {"Null", 4},  {"null", 4},  {"NULL", 4},  {"nULL", 0},   {"~~", 0},    {"TRUE", 3},
        {"True", 3},  {"true", 3}, {"tRUE", 0},  {"false", 3}, {"False", 3}, {"FALSE", 3},  {"fALSE", 0}, {"FALSe", 0},
        {"yes", 0},   {"on", 0},   {"0x1F", 1},  {"0X1f", 1},  {"0x", 0},    {"0x1G", 0},   {"0o17", 1},  {"0o8", 0},
        {"0O17", 0},  {"012", 1},  {"1_000", 0}, {"-0x1F", 1}, {"+0o17", 1}, {"0b101", 0},  {"-.inf", 2}, {".inf", 2},
        {"+.Inf", 2}, {".INF", 2}, {".iNF", 0},  {".nan", 2},  {".NaN", 2},  {".NAN", 2},   {"-.nan", 0}, {"+.nan", 0},
        {"1.5e3", 2}, {"1e", 0},   {"1e5", 2},   {"1E+5", 2},  {"1e-", 0},   {".", 0},      {"1.", 2},    {".5", 2},
        {"-", 0},     {"+", 0},    {"1.2.3", 0}, {"1e5.0", 0}, {"1e5e5", 0}, {".e5", 0},    {"e5", 0},    {"1:30", 0},
        {"-12", 1},   {"+7", 1},   {"0", 1},     {"00", 1},    {"1 ", 0},    {"12a", 0},    {"hello", 0}, {"-0", 1},
        {"1e+", 0},   {"0x-1", 0}, {"0o", 0},    {".5e-3", 2}, {"null ", 0}, {"falsey", 0},
    };
    for (const resolve_row &r : rows) EXPECT_EQ(core(r.text), r.id) << "text: \"" << r.text << '"';
}

TEST(Yaml11Resolver, TableOfTexts) {
    const resolve_row rows[] = {
        {"", 4},
        {"~", 4},
        {"nUlL", 4},
        {"Yes", 3},
        {"OFF", 3},
        {"n", 3},
        {"Y", 3},
        {"fAlSe", 3},
        {"nope", 0},
        {"<<", 9},
        {"=", 10},
        {"2001-12-14", 5},
        {"2001-12-14t21:59:43.10-05:00", 5},
        {"2001-12-14T21:59:43Z", 5},
        {"2001-12-14 21:59:43.10 +5", 5},
        {"2001-1-4 1:59:43", 5},
        {"2001-12-14T21:59:43+0530", 5},
        {"2001-12-14T21:59:4", 0},
        {"2001-12-14T", 0},
        {"2001-12-14T21:59:43Zx", 0},
        {"2001-12-14T21:59:43+05:", 0},
        {"2001-12-14T21:59:43+05000", 0},
        {"01-12-14", 0},
        {"-.INF", 2},
        {"+.NaN", 2},
        {".nan", 2},
        {"1:30", 1},
        {"1:30.5", 2},
        {"-1:30:15", 1},
        {"1_000:30", 1},
        {"1:60", 0},
        {"1:5", 1},
        {"1:30:", 0},
        {"1:30:15:10", 0},
        {"1:30.", 2},
        {"0b1010", 1},
        {"0B1_0", 1},
        {"0b_1", 0},
        {"0b", 0},
        {"0x_1F", 1},
        {"0xFF_FF", 1},
        {"0x_", 0},
        {"017", 1},
        {"0_17", 1},
        {"0644", 1},
        // A leading zero before a digit that is not octal makes no integer.
        {"08540", 0},
        {"09", 0},
        {"-0_9", 0},
        {"0_", 1},
        {"08.5", 2},
        {"1,000", 1},
        {"1_000", 1},
        {"1,000.5", 2},
        {"-1_0.5e3", 2},
        {"_1", 0},
        {"1e1_0", 0},
        {"12", 1},
        {"1.5", 2},
        {"1e", 0},
        {"hello", 0},
        {"-", 0},
    };
    for (const resolve_row &r : rows) EXPECT_EQ(yaml11(r.text), r.id) << "text: \"" << r.text << '"';
}

// ---- booleans --------------------------------------------------------------------

TEST(NumBool, ExactAndCaseInsensitive) {
    struct row {
        const char *text;
        int exact;
        int ci;
    } rows[] = {
        {"true", 1, 1},  {"True", 1, 1}, {"TRUE", 1, 1},   {"tRuE", 0, 1}, {"y", 1, 1},   {"Y", 1, 1},
        {"yes", 1, 1},   {"Yes", 1, 1},  {"YES", 1, 1},    {"yEs", 0, 1},  {"on", 1, 1},  {"On", 1, 1},
        {"ON", 1, 1},    {"oN", 0, 1},   {"false", 0, 0},  {"no", 0, 0},   {"off", 0, 0}, {"", 0, 0},
        {"truee", 0, 0}, {"yes ", 0, 0}, {"TRUEXX", 0, 0}, {"1", 0, 0},
    };
    for (const row &r : rows) {
        const auto n = static_cast<uint32_t>(std::strlen(r.text));
        EXPECT_EQ(zvl_num_bool(r.text, n), r.exact) << r.text;
        EXPECT_EQ(zvl_num_bool_ci(r.text, n), r.ci) << r.text;
    }
    EXPECT_EQ(zvl_num_bool("trueX", 4), 1);  // the length decides, not a terminator
    EXPECT_EQ(zvl_num_bool(nullptr, 4), 0);
    EXPECT_EQ(zvl_num_bool_ci(nullptr, 4), 0);
}

// ---- integers --------------------------------------------------------------------

TEST(NumI64, TableOfTexts) {
    struct row {
        std::string text;
        std::optional<int64_t> value;
    } rows[] = {
        {"0", 0},
        {"42", 42},
        {"-42", -42},
        {"+42", 42},
        // The core schema's decimal: a leading zero is no octal mark.
        {"012", 12},
        {"09", 9},
        {"0644", 644},
        {"-08540", -8540},
        {"00", 0},
        {" 5", std::nullopt},
        {"+-5", std::nullopt},
        {"1_000", 1000},
        {"1,000,000", 1000000},
        {"0o17", 15},
        {"-0o17", -15},
        {"0o", std::nullopt},
        {"0o8", std::nullopt},
        {"0x1F", 31},
        {"-0x1F", -31},
        {"0XfF", 255},
        {"0x", std::nullopt},
        {"0xG", std::nullopt},
        {"0b101", 5},
        {"-0b101", -5},
        {"0B1_1", 3},
        {"0b", std::nullopt},
        {"0b102", std::nullopt},
        {"0b-1", std::nullopt},
        {"1:30", 1 * 3600 + 30 * 60},
        {"1:30:15", 3600 + 1800 + 15},
        // The sign applies to the whole sexagesimal value.
        {"-1:30", -(3600 + 30 * 60)},
        {"-1:30:15", -(3600 + 1800 + 15)},
        {"+2:00", 7200},
        {"1:", std::nullopt},
        {":30", std::nullopt},
        {"1:30:", std::nullopt},
        {"1:30:15:10", std::nullopt},
        {"1:3a", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"2562047788015215:30:07", INT64_MAX},
        {"-2562047788015215:30:08", INT64_MIN},
        {"2562047788015215:30:08", std::nullopt},
        {"99999999999999999999:00", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"12x", std::nullopt},
        {"1.5", std::nullopt},
        {"0.5", std::nullopt},
        {std::string(79, '1').substr(0, 18), 111111111111111111},
        {std::string(80, '1'), std::nullopt},
        {std::string(79, '0'), 0},
        {std::string(80, '0'), std::nullopt},
        {std::string(100, '_') + "7", 7},
        {std::string("1\0", 2), std::nullopt},
    };
    for (const row &r : rows) EXPECT_EQ(to_i64(r.text), r.value) << "text: \"" << r.text << '"';
    int64_t v = 5;
    EXPECT_EQ(zvl_num_i64(nullptr, 3, &v), 1);
    EXPECT_EQ(zvl_num_i64("1", 0, &v), 1);
    EXPECT_EQ(v, 5);
}

// Under YAML 1.1 rules a leading zero is octal; every other form reads as
// under the core schema.
TEST(NumI64, LeadingZeroBySchema) {
    struct row {
        const char *text;
        std::optional<int64_t> core, yaml11;
    } rows[] = {
        {"0644", 644, 0644},
        {"-0644", -644, -0644},
        {"08540", 8540, std::nullopt},
        {"0_17", 17, 017},
        {"0", 0, 0},
        {"0.5", std::nullopt, std::nullopt},
        {"0o17", 15, 15},
        {"0x1F", 31, 31},
        {"0b11", 3, 3},
        {"1:30", 5400, 5400},
        {"0777777777777777777777", std::nullopt, INT64_MAX},
    };
    for (const row &r : rows) {
        for (bool octal_zero : {false, true}) {
            int64_t v = 0;
            std::optional<int64_t> got;
            if (zvl::read_int(r.text, uint32_t(std::strlen(r.text)), octal_zero, v)) got = v;
            EXPECT_EQ(got, octal_zero ? r.yaml11 : r.core) << r.text << (octal_zero ? " (1.1)" : " (core)");
        }
    }
}

// One document, every typed read: node reads, plans, visitors, the value
// drain, Marshal, CBOR and JSON output give the value the schema gives it.
TEST(LeadingZeros, EveryTypedReadAgrees) {
    struct row {
        const char *text;
        int32_t schema;
        std::optional<int64_t> value;  // none: a string under this schema
    } rows[] = {
        {"0644", 0, 644},   {"0644", 1, 420}, {"08540", 0, 8540}, {"08540", 1, std::nullopt},
        {"-017", 0, -17},   {"-017", 1, -15}, {"0x1F", 0, 31},    {"+5", 0, 5},
        {"1_000", 1, 1000}, {"0o17", 0, 15},  {"00", 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.text) + " schema " + std::to_string(r.schema));
        const std::string yaml = std::string("rows:\n- v: ") + r.text + "\n";
        zarvel_parse_options options{r.schema, 0};
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse_ex(yaml.data(), yaml.size(), &options, &status);
        ASSERT_NE(doc, nullptr);
        zarvel_node *row0 = zarvel_node_seq_at(zarvel_node_map_get(zarvel_document_root(doc, 0), "rows", 4), 0);
        zarvel_node *v = zarvel_node_map_get(row0, "v", 1);
        ASSERT_NE(v, nullptr);
        const std::string value = r.value ? std::to_string(*r.value) : std::string("\"") + r.text + "\"";

        int64_t i = 0;
        EXPECT_EQ(zarvel_node_int(v, &i), r.value ? 0 : 1);
        if (r.value) {
            EXPECT_EQ(i, *r.value);
        }

        const char plan_text[] = R"({"kind":"seq","path":"rows","children":[{"name":"v","kind":"int"}]})";
        zarvel_plan *plan = zarvel_plan_compile(plan_text, sizeof plan_text - 1, &status);
        zarvel_plan_result *result = zarvel_document_plan_walk(doc, plan, &status);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(zarvel_plan_result_nulls(result, 0)[0], r.value ? 0 : 1);
        if (r.value) {
            EXPECT_EQ(zarvel_plan_result_ints(result, 0)[0], *r.value);
        }
        zarvel_plan_result_free(result);
        zarvel_plan_free(plan);

        std::string visited;
        zarvel_visitor visitor{};
        visitor.on_int = [](void *user, int64_t n) {
            *static_cast<std::string *>(user) = std::to_string(n);
            return int32_t(0);
        };
        visitor.on_string = [](void *user, const char *t, uint64_t n) {
            *static_cast<std::string *>(user) = "\"" + std::string(t, n) + "\"";
            return int32_t(0);
        };
        EXPECT_EQ(zarvel_visit_node(v, &visitor, &visited), 0);
        EXPECT_EQ(visited, value);

        zarvel_value *values = nullptr;
        char *pool = nullptr;
        uint64_t count = 0, pool_len = 0;
        ASSERT_EQ(zarvel_value_drain(yaml.data(), yaml.size(), r.schema, &values, &count, &pool, &pool_len), 0);
        ASSERT_GE(count, 6u);
        const zarvel_value &last = values[count - 4];  // before the three ends
        EXPECT_EQ(last.kind, r.value ? 3 : 5);
        if (r.value) {
            EXPECT_EQ(last.payload.i, *r.value);
        }
        zarvel_value_free(values, pool);

        // Marshal: a Fixnum, or the string's bytes.
        char *bytes = nullptr;
        uint64_t length = 0;
        ASSERT_EQ(zarvel_marshal(yaml.data(), yaml.size(), r.schema, 1, &bytes, &length), 0);
        const std::string marshal(bytes, length);
        zarvel_marshal_free(bytes);
        zarvel_document *one = zarvel_parse_ex(value.data(), value.size(), nullptr, &status);
        ASSERT_NE(one, nullptr);
        ASSERT_EQ(zarvel_marshal(value.data(), value.size(), 0, 1, &bytes, &length), 0);
        const std::string expected_marshal(bytes + 2, length - 2);  // without the version
        zarvel_marshal_free(bytes);
        EXPECT_NE(marshal.find(expected_marshal), std::string::npos);

        // CBOR: the same item as for the plain decimal (or the string).
        uint8_t *cbor = zarvel_cbor_encode(doc, 0, &length);
        ASSERT_NE(cbor, nullptr) << zarvel_last_error(nullptr, nullptr);
        const std::string encoded(reinterpret_cast<char *>(cbor), length);
        zarvel_free(cbor);
        cbor = zarvel_cbor_encode(one, 0, &length);
        ASSERT_NE(cbor, nullptr);
        EXPECT_TRUE(encoded.size() >= length &&
                    encoded.compare(encoded.size() - length, length, reinterpret_cast<char *>(cbor), length) == 0);
        zarvel_free(cbor);
        zarvel_document_free(one);

        char *json = zarvel_serialize_json_ex(doc, &length, 1);
        ASSERT_NE(json, nullptr);
        EXPECT_EQ(std::string(json, length), "{\"rows\":[{\"v\":" + value + "}]}\n");
        zarvel_free(json);
        zarvel_document_free(doc);
    }
    // Digits beyond 64 bits: a decimal loses its leading zeros, a YAML 1.1
    // octal stays a string.
    for (const auto &[schema, json] :
         {std::pair{0, "[123456789012345678901234]\n"}, std::pair{1, "[\"0123456701234567012345670\"]\n"}}) {
        const std::string yaml = "[0123456789012345678901234]";
        const std::string octal = "[0123456701234567012345670]";
        zarvel_parse_options options{schema, 0};
        int32_t status = -1;
        const std::string &text = schema ? octal : yaml;
        zarvel_document *doc = zarvel_parse_ex(text.data(), text.size(), &options, &status);
        ASSERT_NE(doc, nullptr);
        uint64_t length = 0;
        char *out = zarvel_serialize_json_ex(doc, &length, 1);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out, length), json);
        zarvel_free(out);
        zarvel_document_free(doc);
    }
}

TEST(NumI64, RandomDecimalsMatchStrtoll) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 100000; ++round) {
        std::string s;
        if (random() % 3 == 0) s += "+-"[random() % 2];
        s += static_cast<char>('1' + random() % 9);
        const int digits = static_cast<int>(random() % 20);
        for (int i = 0; i < digits; ++i) s += static_cast<char>('0' + random() % 10);
        errno = 0;
        char *end = nullptr;
        const long long expected = std::strtoll(s.c_str(), &end, 10);
        const std::optional<int64_t> want = errno == ERANGE ? std::nullopt : std::optional<int64_t>(expected);
        ASSERT_EQ(to_i64(s), want) << "text: " << s;
    }
}

// ---- doubles ---------------------------------------------------------------------

TEST(NumF64, TableOfTexts) {
    const double inf = HUGE_VAL;
    struct row {
        std::string text;
        std::optional<double> value;
    } rows[] = {
        {"1.5", 1.5},
        {"-1.5", -1.5},
        {"0", 0.0},
        {"1.", 1.0},
        {".5", 0.5},
        {"1e3", 1000.0},
        {"1.5E-3", 0.0015},
        {"1_000.5", 1000.5},
        {"1,000.25", 1000.25},
        {".INF", inf},
        {".inf", inf},
        {"+.iNf", inf},
        {"-.inf", -inf},
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e-400", 0.0},
        {"1:30", 5400.0},
        {"1:30:15", 5415.0},
        {"1:30.5", 3600 + 60 * 30.5},
        {"1:30:15.25", 5415.25},
        // The sign applies to the whole sexagesimal value.
        {"-1:30", -5400.0},
        {"-1:30:15.5", -5415.5},
        {"1:", std::nullopt},
        {"1:30:", std::nullopt},
        {"1.5:30", std::nullopt},
        {"1:30:15:10", std::nullopt},
        {"1:3x", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"-", std::nullopt},
        {"1e", std::nullopt},
        {"1.5x", std::nullopt},
        {"abc", std::nullopt},
        // Longer than the local copy: still a number.
        {std::string(80, '1'), 1.1111111111111111e79},
        {std::string("2\0", 2), std::nullopt},
        {"123456789012345678", 123456789012345678.0},
        {"0.1", 0.1},
        {"9007199254740993", 9007199254740992.0},
    };
    for (const row &r : rows) {
        const std::optional<double> got = to_f64(r.text);
        ASSERT_EQ(got.has_value(), r.value.has_value()) << "text: \"" << r.text << '"';
        if (got) {
            EXPECT_EQ(bits(*got), bits(*r.value)) << "text: \"" << r.text << '"';
        }
    }
}

TEST(NumF64, NanIsTheQuietNanWithSignBitWhateverTheSign) {
    for (const char *text : {".nan", ".NaN", ".NAN", "-.nan", "+.nAn"}) {
        const std::optional<double> got = to_f64(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_EQ(bits(*got), 0xFFF8000000000000ull) << text;
    }
}

TEST(NumF64, NegativeZeroKeepsItsSign) {
    EXPECT_EQ(bits(*to_f64("-0")), bits(-0.0));
    EXPECT_EQ(bits(*to_f64("-0.0e5")), bits(-0.0));
}

// Random decimal texts of the forms the fast path takes (and a margin of
// forms it hands on): every result must be bit-identical to strtod's.
TEST(NumF64, RandomDecimalsMatchStrtodBitForBit) {
    std::mt19937_64 random(1208);
    for (int round = 0; round < 400000; ++round) {
        std::string s;
        if (random() % 4 == 0) s += "+-"[random() % 2];
        const int digits = 1 + static_cast<int>(random() % 19);
        const int dot = static_cast<int>(random() % (digits + 2)) - 1;  // -1: no dot
        for (int i = 0; i < digits; ++i) {
            if (i == dot) s += '.';
            s += static_cast<char>('0' + random() % 10);
        }
        if (dot == digits) s += '.';
        if (random() % 2) {
            s += "eE"[random() % 2];
            if (random() % 2) s += "+-"[random() % 2];
            const int exponent = random() % 8 == 0 ? static_cast<int>(random() % 400) : static_cast<int>(random() % 30);
            s += std::to_string(exponent);
        }
        char *end = nullptr;
        const double expected = std::strtod(s.c_str(), &end);
        ASSERT_EQ(*end, '\0') << "test generator produced " << s;
        const std::optional<double> got = to_f64(s);
        ASSERT_TRUE(got.has_value()) << "text: " << s;
        ASSERT_EQ(bits(*got), bits(expected)) << "text: " << s << " got " << *got << " strtod " << expected;
    }
}

}  // namespace
