// Schema load: descriptor walks, statuses and messages, failure injection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "zarvel.h"

namespace {

zarvel_descriptor_node node(const char *name, uint8_t kind, uint8_t type, uint16_t flags = 0, uint32_t first = 0,
                            uint32_t count = 0) {
    return zarvel_descriptor_node{name, kind, type, flags, first, count, 0};
}

// Records: a sequence of mappings {id: int, score: float, ok: bool, name: span}.
struct fixture {
    std::vector<zarvel_descriptor_node> nodes;
    std::vector<zarvel_column> columns;
    int64_t ids[64] = {};
    double scores[64] = {};
    uint8_t oks[64] = {};
    uint32_t names[256] = {};
    zarvel_value values[64] = {};
    fixture(uint32_t capacity = 4) {
        nodes = {node(nullptr, 1, 0, 0, 1), node(nullptr, 2, 0, 0, 2, 5), node("id", 0, 1, 3), node("score", 0, 2),
                 node("ok", 0, 3),          node("name", 0, 0),           node("raw", 0, 5)};
        columns = {{nullptr, 0, 0},    {nullptr, 0, 0},      {ids, capacity, 0},   {scores, capacity, 0},
                   {oks, capacity, 0}, {names, capacity, 0}, {values, capacity, 0}};
    }
    int32_t load(const std::string &text, int32_t schema = 0, uint32_t abi = 1) {
        return zarvel_schema_load(text.data(), text.size(), schema, nodes.data(), static_cast<uint32_t>(nodes.size()),
                                  abi, columns.data());
    }
};

struct row {
    const char *text;
    int32_t status;
    const char *message;
};

TEST(SchemaLoad, Statuses) {
    const row rows[] = {
        {"- {id: 1, score: 2.5, ok: true, name: abc, raw: 7}\n- {id: 2}", 0, nullptr},
        {"- {score: 2.5}", 9, "required descriptor node 2 missing"},
        {"- {id: 1, score: abc}", 1, "node 3: value is not a number"},
        {"[{id: 1}, {id: 2}, {id: 3}, {id: 4}, {id: 5}]", 2, "output column capacity exceeded"},
        {"a: [", 1, nullptr},
        {"", 1, nullptr},
    };
    for (const row &r : rows) {
        fixture f;
        EXPECT_EQ(f.load(r.text), r.status) << r.text;
        if (r.message) {
            EXPECT_STREQ(zarvel_error_current()->message, r.message) << r.text;
        }
    }
    fixture f;
    EXPECT_EQ(f.load("- {id: 1}", 0, 2), 6);
    EXPECT_STREQ(zarvel_error_current()->message, "descriptor ABI 2 != 1 (recompile the descriptor)");
    f.nodes[3].reserved = 1;
    EXPECT_EQ(f.load("- {id: 1}"), 6);
    f.nodes[3].reserved = 0;
    f.nodes[3].kind = 9;
    EXPECT_EQ(f.load("- {id: 1, score: 1}"), 6);
    EXPECT_EQ(zarvel_schema_load("x", 1, 0, nullptr, 1, 1, f.columns.data()), 6);
    EXPECT_EQ(zarvel_schema_load(nullptr, 1, 0, f.nodes.data(), 1, 1, f.columns.data()), 6);
}

TEST(SchemaLoad, Values) {
    fixture f;
    const std::string text =
        "- {id: 1, score: 2, ok: yes, name: abc, raw: 7}\n"
        "- {id: 2.9e1, id: 5, score: -1.5e3, ok: off, name: \"q\\tx\", raw: 1.5}\n"
        "- {id: 1e40, ok: n}\n";
    ASSERT_EQ(f.load(text), 0);
    ASSERT_EQ(f.columns[2].count, 3u);  // unique: the repeated id is skipped
    EXPECT_EQ(f.ids[0], 1);
    EXPECT_EQ(f.ids[1], 29);
    EXPECT_EQ(f.ids[2], INT64_MAX);
    ASSERT_EQ(f.columns[3].count, 2u);
    EXPECT_EQ(f.scores[0], 2.0);
    EXPECT_EQ(f.scores[1], -1500.0);
    ASSERT_EQ(f.columns[4].count, 3u);
    EXPECT_EQ(f.oks[0], 1);
    EXPECT_EQ(f.oks[1], 1);  // first-byte rule: "off" begins with "o"
    EXPECT_EQ(f.oks[2], 0);
    ASSERT_EQ(f.columns[5].count, 2u);
    EXPECT_EQ(text.substr(f.names[0], f.names[1]), "abc");
    EXPECT_EQ(f.names[4], 0u);  // rewritten text: offset 0, its own length
    EXPECT_EQ(f.names[5], 3u);
    ASSERT_EQ(f.columns[6].count, 2u);
    EXPECT_EQ(f.values[0].kind, 3);
    EXPECT_EQ(f.values[0].payload.i, 7);
    EXPECT_EQ(f.values[1].kind, 4);
    EXPECT_EQ(text.substr(f.values[1].offset, f.values[1].length), "1.5");

    fixture alt;
    ASSERT_EQ(alt.load("- {id: 1, ok: off}\n- {id: 2, ok: On}", 1), 0);
    EXPECT_EQ(alt.oks[0], 0);  // the YAML 1.1 true words decide
    EXPECT_EQ(alt.oks[1], 1);
}

// Integers in other spellings than JSON's read under the chosen schema: a
// leading zero is decimal under the core schema and octal under YAML 1.1.
TEST(SchemaLoad, IntegerSpellings) {
    struct row {
        const char *text;
        int32_t schema;
        int64_t id;
        double score;
        uint8_t raw_kind;
        int64_t raw;
    } rows[] = {
        {"0644", 0, 644, 644, 3, 644}, {"0644", 1, 420, 420, 3, 420}, {"08540", 0, 8540, 8540, 3, 8540},
        {"0x1F", 0, 31, 31, 3, 31},    {"+5", 0, 5, 5, 3, 5},         {"1_000", 1, 1000, 1000, 3, 1000},
    };
    for (const row &r : rows) {
        fixture f;
        const std::string text = std::string("- {id: ") + r.text + ", score: " + r.text + ", raw: " + r.text + "}";
        ASSERT_EQ(f.load(text, r.schema), 0) << r.text << " schema " << r.schema;
        EXPECT_EQ(f.ids[0], r.id) << r.text;
        EXPECT_EQ(f.scores[0], r.score) << r.text;
        EXPECT_EQ(f.values[0].kind, r.raw_kind) << r.text;
        EXPECT_EQ(f.values[0].payload.i, r.raw) << r.text;
    }
    // Under YAML 1.1, 08540 is no integer: a string, not a number.
    fixture f;
    EXPECT_EQ(f.load("- {id: 08540}", 1), 1);
    ASSERT_EQ(f.load("- {id: 1, raw: 08540}", 1), 0);
    EXPECT_EQ(f.values[0].kind, 5);
}

TEST(SchemaLoad, SpansAndShapes) {
    const std::string text = "r: &r yy\na: [x, {b: 1}, *r]\n";
    zarvel_descriptor_node nodes[] = {node(nullptr, 2, 0, 0, 1, 1), node("a", 1, 0, 0, 2), node(nullptr, 3, 0)};
    uint32_t spans[12] = {};
    zarvel_column columns[] = {{nullptr, 0, 0}, {nullptr, 0, 0}, {spans, 3, 0}};
    ASSERT_EQ(zarvel_schema_load(text.data(), text.size(), 0, nodes, 3, 1, columns), 0);
    ASSERT_EQ(columns[2].count, 3u);
    EXPECT_EQ(text.substr(spans[0], spans[1]), "x");
    EXPECT_EQ(spans[2], spans[0]);
    EXPECT_EQ(spans[4] + spans[5] + spans[6] + spans[7], 0u);
    EXPECT_EQ(spans[9], 1u);  // alias text "r"

    // A shape mismatch stops the walk without an error.
    ASSERT_EQ(zarvel_schema_load("a: 5", 4, 0, nodes, 3, 1, columns), 0);
    EXPECT_EQ(columns[2].count, 0u);
}

TEST(SchemaLoad, FailureInjection) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "- {id: " + std::to_string(i) + ", name: n}\n";
    for (uint64_t n = 1;; ++n) {
        fixture f(64);
        zvl::testing::fail_allocation(n);
        int32_t status = f.load(text);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (status == 0) {
            EXPECT_EQ(f.columns[2].count, 40u);
            if (seen < n) break;
        } else {
            EXPECT_EQ(status, 2) << "allocation " << n << ": " << zarvel_error_current()->message;
        }
        ASSERT_LT(n, 10000u);
    }
}

}  // namespace

namespace {

struct span_row {
    std::string text;  // a one-item sequence {name: ..., raw: ...}
    std::string name;  // the name text as the parser gives it
    bool in_place;     // the text lies in the input as it stands
};

// Spans of texts that lie in the input point at them; a text the parser
// rewrote (escapes, folding, another encoding) gets offset 0 and its length,
// in span elements and in type-5 values alike.
TEST(SchemaLoad, RewrittenTextsHoldOffsetZeroAndTheirLength) {
    const span_row rows[] = {
        {"- {name: abc, raw: abc}", "abc", true},
        {"- {name: 'q x', raw: 'q x'}", "q x", true},
        {"- {name: \"a\\tb\", raw: \"a\\tb\"}", "a\tb", false},
        {"- {name: 'it''s', raw: 'it''s'}", "it's", false},
        {"- name: >\n    folded\n    text\n  raw: >\n    folded\n    text\n", "folded text\n", false},
        {"- name: plain\n    on two\n  raw: plain\n    on two\n", "plain on two", false},
        {"\xEF\xBB\xBF- {name: abc, raw: abc}", "abc", true},
    };
    for (const span_row &r : rows) {
        fixture f;
        f.nodes[2].flags = 0;  // no id in these records
        ASSERT_EQ(f.load(r.text), 0) << r.text;
        ASSERT_EQ(f.columns[5].count, 1u) << r.text;
        ASSERT_EQ(f.columns[6].count, 1u) << r.text;
        EXPECT_EQ(f.names[1], r.name.size()) << r.text;
        EXPECT_EQ(f.values[0].length, r.name.size()) << r.text;
        if (r.in_place) {
            EXPECT_EQ(r.text.substr(f.names[0], f.names[1]), r.name) << r.text;
            EXPECT_EQ(r.text.substr(f.values[0].offset, f.values[0].length), r.name) << r.text;
        } else {
            EXPECT_EQ(f.names[0], 0u) << r.text;
            EXPECT_EQ(f.values[0].offset, 0u) << r.text;
        }
    }
    // UTF-16 input is converted as a whole: no text lies in the input.
    const std::string utf8 = "- {name: abc, raw: abc}";
    std::string utf16 = "\xFF\xFE";
    for (char c : utf8) utf16 += std::string{c, '\0'};
    fixture f;
    f.nodes[2].flags = 0;
    ASSERT_EQ(f.load(utf16), 0);
    ASSERT_EQ(f.columns[5].count, 1u);
    EXPECT_EQ(f.names[0], 0u);
    EXPECT_EQ(f.names[1], 3u);
    EXPECT_EQ(f.values[0].offset, 0u);
    EXPECT_EQ(f.values[0].length, 3u);
}

}  // namespace
