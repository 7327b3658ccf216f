// Value drain: record sequences, key toggles, the columns variant and
// failure injection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "zarvel.h"

namespace {

// One record written as "kind[:text][/k][=payload]": k marks is_key 1.
std::string describe(const zarvel_value &v, const char *pool) {
    std::string s = std::to_string(v.kind);
    if (v.length) s += ":" + std::string(pool + v.offset, v.length);
    if (v.is_key) s += "/k";
    if (v.kind == 3) s += "=" + std::to_string(v.payload.i);
    if (v.kind == 4) s += "=" + std::to_string(v.payload.f);
    if (v.kind == 2) s += v.flag ? "=T" : "=F";
    return s;
}

std::vector<std::string> drain(const std::string &text, int32_t schema, int32_t *status) {
    zarvel_value *values = nullptr;
    uint64_t count = 0, pool_len = 0;
    char *pool = nullptr;
    *status = zarvel_value_drain(text.data(), text.size(), schema, &values, &count, &pool, &pool_len);
    std::vector<std::string> out;
    for (uint64_t i = 0; i < count; ++i) out.push_back(describe(values[i], pool));
    if (*status == 0) {
        EXPECT_NE(pool, nullptr) << text;
        for (uint64_t i = 0; i < count; ++i)
            if (values[i].kind != 0 && (values[i].kind < 7 || values[i].kind > 9)) {
                EXPECT_EQ(pool[values[i].offset + values[i].length], '\0') << text;
            }
    }
    zarvel_value_free(values, pool);
    return out;
}

struct row {
    const char *text;
    int32_t schema;
    std::vector<std::string> records;
};

TEST(Drain, Records) {
    const row rows[] = {
        {"{a: 1, b: [true, x]}", 0, {"0", "8", "5:a/k", "3:1=1", "5:b/k", "7", "2:true/k=T", "5:x", "9", "9"}},
        {"[1, 2.5]", 0, {"0", "7", "3:1/k=1", "4:2.5=2.500000", "9"}},
        {"- &a x\n- *a\n", 0, {"0", "7", "11:a", "5:x/k", "10:a", "9"}},
        {"99999999999999999999", 0, {"0", "5:99999999999999999999"}},
        {"", 0, {}},
        {"a\n---\n~", 0, {"0", "5:a", "0", "1:~"}},
        {"yes", 1, {"0", "2:yes=T"}},
        {"yes", 0, {"0", "5:yes"}},
        {"!!timestamp 2001-01-01", 0, {"0", "6:2001-01-01"}},
        {"{a: {b: c}, d: e}", 0, {"0", "8", "5:a/k", "8", "5:b/k", "5:c", "9", "5:d/k", "5:e", "9"}},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        std::vector<std::string> got = drain(r.text, r.schema, &status);
        EXPECT_EQ(status, 0) << r.text;
        EXPECT_EQ(got, r.records) << r.text;
    }
}

TEST(Drain, Statuses) {
    int32_t status = 0;
    drain("a: [", 0, &status);
    EXPECT_EQ(status, 1);
    zarvel_value *values = nullptr;
    uint64_t count = 7, pool_len = 7;
    char *pool = nullptr;
    EXPECT_EQ(zarvel_value_drain(nullptr, 2, 0, &values, &count, &pool, &pool_len), 6);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zarvel_value_drain("a", 1, 0, nullptr, &count, &pool, &pool_len), 6);
    EXPECT_EQ(zarvel_value_drain_columns("a", 1, 0, nullptr), 6);
    zarvel_value_free(nullptr, nullptr);
    zarvel_value_free_columns(nullptr);
}

TEST(Drain, ColumnsEqualRecords) {
    const char *texts[] = {"{a: 1, b: [true, x, 2.5]}", "- &a x\n- *a\n", "", "a\n---\nb\n"};
    for (const char *text : texts) {
        zarvel_value *values = nullptr;
        uint64_t count = 0, pool_len = 0;
        char *pool = nullptr;
        ASSERT_EQ(zarvel_value_drain(text, std::strlen(text), 0, &values, &count, &pool, &pool_len), 0);
        zarvel_value_columns c;
        ASSERT_EQ(zarvel_value_drain_columns(text, std::strlen(text), 0, &c), 0) << text;
        ASSERT_EQ(c.count, count) << text;
        EXPECT_EQ(c.pool_length, pool_len) << text;
        if (count == 0) {
            EXPECT_EQ(c.kind, nullptr);
        }
        EXPECT_EQ(std::memcmp(c.pool, pool, pool_len), 0) << text;
        for (uint64_t i = 0; i < count; ++i) {
            EXPECT_EQ(c.kind[i], values[i].kind) << text << " #" << i;
            EXPECT_EQ(c.tag[i], values[i].tag) << text << " #" << i;
            EXPECT_EQ(c.is_key[i], values[i].is_key) << text << " #" << i;
            EXPECT_EQ(c.flag[i], values[i].flag) << text << " #" << i;
            EXPECT_EQ(c.offset[i], values[i].offset) << text << " #" << i;
            EXPECT_EQ(c.length[i], values[i].length) << text << " #" << i;
            EXPECT_EQ(c.payload[i], values[i].payload.bits) << text << " #" << i;
        }
        zarvel_value_free_columns(&c);
        EXPECT_EQ(c.pool, nullptr);
        zarvel_value_free(values, pool);
    }
}

TEST(Drain, FailureInjection) {
    std::string text = "a: &x [1, 2, {b: c}]\nc: *x\n";
    for (int i = 0; i < 60; ++i) text += "k" + std::to_string(i) + ": value number " + std::to_string(i) + "\n";
    for (int columns = 0; columns < 2; ++columns) {
        for (uint64_t n = 1;; ++n) {
            zvl::testing::fail_allocation(n);
            int32_t status;
            zarvel_value_columns c;
            zarvel_value *values = nullptr;
            char *pool = nullptr;
            uint64_t count = 0, pool_len = 0;
            if (columns) {
                status = zarvel_value_drain_columns(text.data(), text.size(), 0, &c);
            } else {
                status = zarvel_value_drain(text.data(), text.size(), 0, &values, &count, &pool, &pool_len);
            }
            uint64_t seen = zvl::testing::fail_allocation(0);
            if (status == 0) {
                if (columns) zarvel_value_free_columns(&c);
                zarvel_value_free(values, pool);
                if (seen < n) break;
            } else {
                EXPECT_EQ(status, 2) << "allocation " << n;
                EXPECT_EQ(values, nullptr);
                EXPECT_EQ(count, 0u);
            }
            ASSERT_LT(n, 10000u);
        }
    }
}

}  // namespace

namespace {

// The JSON kernels path gives the same records as the YAML parser ("--- "
// in front forces the YAML path).
TEST(Drain, JsonPathMatchesYamlPath) {
    const char *texts[] = {
        "[1, 2.5, \"s\", true, false, null, {\"a\": [1, {\"b\": -7}], \"c\": {}}]",
        "{\"k\": \"v\\n\", \"n\": -0.5e3, \"big\": 123456789012345678901234}",
        "[[[[[]]]], {}]",
    };
    for (const char *text : texts) {
        int32_t s1 = -1, s2 = -1;
        std::vector<std::string> json = drain(text, 0, &s1);
        std::vector<std::string> yaml = drain(std::string("--- ") + text, 0, &s2);
        EXPECT_EQ(s1, 0) << text;
        EXPECT_EQ(s2, 0) << text;
        EXPECT_EQ(json, yaml) << text;
    }
    const std::string text = "{\"a\": [1, 2, {\"b\": \"c\"}], \"d\": [true, null, 1.5]}";
    for (uint64_t n = 1;; ++n) {
        zvl::testing::fail_allocation(n);
        int32_t status = -1;
        std::vector<std::string> got = drain(text, 0, &status);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (status == 0) {
            if (seen < n) break;
        } else {
            EXPECT_EQ(status, 2) << "allocation " << n;
        }
        ASSERT_LT(n, 10000u);
    }
}

}  // namespace

namespace {

struct text_row {
    std::string text;
    std::string expected;  // the text of the only string record
};

// Line and paragraph separators inside strings are text: they come out as
// their own bytes, never folded into a space, on every path that reads JSON.
TEST(Drain, SeparatorsInStringsStayExact) {
    const std::string ls = "\xE2\x80\xA8", ps = "\xE2\x80\xA9";
    const text_row rows[] = {
        {"\"a" + ls + "b\"", "a" + ls + "b"},
        {"\"a" + ps + "b\"", "a" + ps + "b"},
        {"  \"" + ls + ps + "\"\n", ls + ps},
        {"[\"a" + ls + "b\"]", "a" + ls + "b"},
        {"{\"k\": \"x" + ps + "\"}", "x" + ps},
        {"\"a\\u2028b\"", "a" + ls + "b"},
        {"[\"\\u2029\"]", ps},
        {"a: \"a\\u2028b\"\n", "a" + ls + "b"},
    };
    for (const text_row &r : rows) {
        zarvel_value *values = nullptr;
        uint64_t count = 0, pool_len = 0;
        char *pool = nullptr;
        ASSERT_EQ(zarvel_value_drain(r.text.data(), r.text.size(), 0, &values, &count, &pool, &pool_len), 0) << r.text;
        std::string last;
        for (uint64_t i = 0; i < count; ++i)
            if (values[i].kind == 5) last.assign(pool + values[i].offset, values[i].length);
        EXPECT_EQ(last, r.expected) << r.text;
        zarvel_value_free(values, pool);
    }
}

struct float_row {
    std::string text;
    int32_t schema;
    std::string reference;  // the same number as a plain decimal for strtod
};

// Float texts longer than the resolver reads at once still drain as floats,
// correctly rounded.
TEST(Drain, LongFloatTextsAreFloats) {
    const std::string fives(100, '5'), zeros(100, '0');
    const float_row rows[] = {
        {"1." + fives, 0, "1." + fives},
        {"-1." + fives, 0, "-1." + fives},
        {"+1." + fives, 0, "1." + fives},
        {"." + fives, 0, "0." + fives},
        {"1." + fives + "e3", 0, "1." + fives + "e3"},
        {"1." + fives + "E-3", 0, "1." + fives + "e-3"},
        {"1" + zeros + ".", 0, "1" + zeros},
        {"1." + zeros + "1", 0, "1." + zeros + "1"},
        {"0." + zeros + "123e+105", 0, "0." + zeros + "123e105"},
        {"[2." + fives + "]", 0, "2." + fives},
        {"- 3." + fives + "\n", 0, "3." + fives},
        {"1_0." + fives, 1, "10." + fives},
        {"!!float 1." + fives, 0, "1." + fives},
    };
    for (const float_row &r : rows) {
        zarvel_value *values = nullptr;
        uint64_t count = 0, pool_len = 0;
        char *pool = nullptr;
        ASSERT_EQ(zarvel_value_drain(r.text.data(), r.text.size(), r.schema, &values, &count, &pool, &pool_len), 0)
            << r.text;
        const zarvel_value *scalar = nullptr;
        for (uint64_t i = 0; i < count; ++i)
            if (values[i].kind >= 1 && values[i].kind <= 6) scalar = &values[i];
        ASSERT_NE(scalar, nullptr) << r.text;
        EXPECT_EQ(scalar->kind, 4) << r.text;
        EXPECT_EQ(scalar->payload.f, std::strtod(r.reference.c_str(), nullptr)) << r.text;
        zarvel_value_free(values, pool);
    }
    // Long texts that are no decimal number stay strings (digit separators,
    // as in "1_5.5", are dropped before converting and keep it a number).
    for (const std::string &text : {"!!float 1." + fives + "x", "!!float ." + fives + "e"}) {
        zarvel_value *values = nullptr;
        uint64_t count = 0, pool_len = 0;
        char *pool = nullptr;
        ASSERT_EQ(zarvel_value_drain(text.data(), text.size(), 0, &values, &count, &pool, &pool_len), 0) << text;
        ASSERT_EQ(count, 2u) << text;
        EXPECT_EQ(values[1].kind, 5) << text;
        zarvel_value_free(values, pool);
    }
}

}  // namespace
