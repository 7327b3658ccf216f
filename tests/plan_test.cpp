// Column plans: compile refusals, document and tape walks, differential
// agreement of the two walks, and allocation failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "typed/plan.hpp"
#include "zarvel.h"

namespace {

struct plan_ptr {
    zarvel_plan *p = nullptr;
    ~plan_ptr() { zarvel_plan_free(p); }
};
struct result_ptr {
    zarvel_plan_result *p = nullptr;
    ~result_ptr() { zarvel_plan_result_free(p); }
};
struct doc_ptr {
    zarvel_document *p = nullptr;
    ~doc_ptr() { zarvel_document_free(p); }
};
struct tape_rec {
    zarvel_tape t{};
    ~tape_rec() { zarvel_tape_free(&t); }
};

zarvel_plan *compile(const std::string &text, int32_t *status) {
    return zarvel_plan_compile(text.data(), text.size(), status);
}

const char *kOne = R"({"kind":"seq","children":[{"name":"a","kind":"int"}]})";

TEST(PlanCompile, StatusesOfForm) {
    struct row {
        const char *text;
        int32_t status;
        uint64_t columns;
    };
    const row rows[] = {
        {kOne, 0, 1},
        {R"({"kind":"map","children":[{"name":"a","kind":"int"},{"name":"b","kind":"float"},)"
         R"({"name":"c","kind":"str"},{"name":"d","kind":"bool"}]})",
         0, 4},
        {R"({"kind":"seq","path":"x","children":[{"name":"a","kind":"int"}]})", 0, 1},
        {R"({"kind":"seq","path":"","children":[{"name":"a","kind":"int"}]})", 0, 1},
        {R"({"kind":"seq","path":["x","y"],"children":[{"name":"a","kind":"int"}]})", 0, 1},
        {R"({"kind":"seq","path":[],"children":[{"name":"a","kind":"int"}]})", 0, 1},
        {R"({"kind":"seq","children":[{"name":5,"kind":"int"}]})", 0, 1},
        {R"({"children":[{"name":"a","kind":"int"},"kind":"seq"})", 1, 0},  // not JSON
        {"", 1, 0},
        {"[1]", 6, 0},
        {R"("seq")", 6, 0},
        {R"({"kind":"list","children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"se","children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":1,"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq"})", 6, 0},
        {R"({"kind":"seq","children":[]})", 6, 0},
        {R"({"kind":"seq","children":{"name":"a","kind":"int"}})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"int"}],"extra":1})", 6, 0},
        {R"({"kind":"seq","path":{"a":1},"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","path":[1],"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","path":["a",["b"]],"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","path":5,"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"long"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"int","x":1}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":[1],"kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":["a"]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"int"},5]})", 6, 0},
        // A member given twice is refused, whichever it is.
        {R"({"kind":"seq","kind":"seq","children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"int"}],"children":[{"name":"b","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","path":"x","path":"y","children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","path":[],"path":"y","children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","name":"b","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":"int","kind":"str"}]})", 6, 0},
        {R"({"kind":["seq"],"children":[{"name":"a","kind":"int"}]})", 6, 0},
        {R"({"kind":"seq","children":[{"name":"a","kind":{"k":"int"}}]})", 6, 0},
        {R"({"path":"x","children":[{"name":"a","kind":"int"}],"kind":"map"})", 0, 1},
        {R"({"children":[{"kind":"bool","name":"a"}],"kind":"seq"})", 0, 1},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        plan_ptr plan{compile(r.text, &status)};
        EXPECT_EQ(status, r.status) << r.text;
        EXPECT_EQ(plan.p != nullptr, r.status == 0) << r.text;
        EXPECT_EQ(zarvel_plan_column_count(plan.p), r.columns) << r.text;
    }
    int32_t status = -1;
    EXPECT_EQ(zarvel_plan_compile(nullptr, 3, &status), nullptr);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(zarvel_plan_column_count(nullptr), 0u);
    zarvel_plan_free(nullptr);
    zarvel_plan_result_free(nullptr);
}

TEST(PlanResult, NullAndOutOfRange) {
    EXPECT_EQ(zarvel_plan_result_rows(nullptr), 0u);
    EXPECT_EQ(zarvel_plan_result_kind(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(zarvel_plan_result_ints(nullptr, 0), nullptr);
    EXPECT_EQ(zarvel_plan_result_nulls(nullptr, 0), nullptr);
    int32_t status;
    plan_ptr plan{compile(kOne, &status)};
    std::string text = "[{\"a\":1}]";
    doc_ptr doc{zarvel_parse_json(text.data(), text.size(), &status)};
    result_ptr res{zarvel_document_plan_walk(doc.p, plan.p, &status)};
    ASSERT_NE(res.p, nullptr);
    EXPECT_EQ(zarvel_plan_result_kind(res.p, 1), 0xFFFFFFFFu);
    EXPECT_EQ(zarvel_plan_result_ints(res.p, 1), nullptr);
    EXPECT_EQ(zarvel_plan_result_floats(res.p, 0), nullptr);
    EXPECT_EQ(zarvel_plan_result_strs(res.p, 0), nullptr);
    EXPECT_EQ(zarvel_plan_result_str_offs(res.p, 0), nullptr);
    EXPECT_EQ(zarvel_plan_result_str_lens(res.p, 0), nullptr);
    EXPECT_NE(zarvel_plan_result_ints(res.p, 0), nullptr);
}

// One column's values rendered as text ("-" for null), so that document and
// tape results compare directly.
std::vector<std::string> render(const zarvel_plan_result *r, uint64_t c, const char *tape_text) {
    std::vector<std::string> out;
    const uint8_t *nulls = zarvel_plan_result_nulls(r, c);
    for (uint64_t i = 0; i < zarvel_plan_result_rows(r); ++i) {
        if (nulls[i]) {
            out.push_back("-");
            continue;
        }
        switch (zarvel_plan_result_kind(r, c)) {
        case ZARVEL_PLAN_INT:
        case ZARVEL_PLAN_BOOL: out.push_back(std::to_string(zarvel_plan_result_ints(r, c)[i])); break;
        case ZARVEL_PLAN_FLOAT: {
            char b[64];
            std::snprintf(b, sizeof b, "%.17g", zarvel_plan_result_floats(r, c)[i]);
            out.push_back(b);
            break;
        }
        default:
            if (tape_text) {
                out.emplace_back(tape_text + zarvel_plan_result_str_offs(r, c)[i],
                                 zarvel_plan_result_str_lens(r, c)[i]);
            } else {
                const zarvel_plan_str s = zarvel_plan_result_strs(r, c)[i];
                out.emplace_back(s.ptr, s.len);
            }
        }
    }
    return out;
}

struct walk_out {
    int32_t status = -1;
    std::vector<std::vector<std::string>> columns;
};

walk_out walk_document(const std::string &plan_text, const std::string &text, bool yaml = false) {
    walk_out out;
    int32_t status;
    plan_ptr plan{compile(plan_text, &status)};
    EXPECT_EQ(status, 0) << plan_text;
    doc_ptr doc{yaml ? zarvel_parse(text.data(), text.size(), &status)
                     : zarvel_parse_json(text.data(), text.size(), &status)};
    EXPECT_NE(doc.p, nullptr) << text;
    result_ptr res{zarvel_document_plan_walk(doc.p, plan.p, &out.status)};
    EXPECT_EQ(res.p != nullptr, out.status == 0) << text;
    for (uint64_t c = 0; res.p && c < zarvel_plan_column_count(plan.p); ++c)
        out.columns.push_back(render(res.p, c, nullptr));
    return out;
}

walk_out walk_tape(const std::string &plan_text, const std::string &text) {
    walk_out out;
    int32_t status;
    plan_ptr plan{compile(plan_text, &status)};
    tape_rec tape;
    EXPECT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &tape.t), 0) << text;
    result_ptr res{zarvel_tape_plan_walk(&tape.t, plan.p, &out.status)};
    EXPECT_EQ(res.p != nullptr, out.status == 0) << text;
    for (uint64_t c = 0; res.p && c < zarvel_plan_column_count(plan.p); ++c)
        out.columns.push_back(render(res.p, c, text.data()));
    return out;
}

using cols = std::vector<std::vector<std::string>>;

TEST(PlanWalk, BothWalks) {
    const std::string four = R"({"kind":"seq","children":[{"name":"i","kind":"int"},{"name":"f","kind":"float"},)"
                             R"({"name":"s","kind":"str"},{"name":"b","kind":"bool"}]})";
    const std::string deep = R"({"kind":"seq","path":["data","items"],"children":[)"
                             R"({"name":"a","kind":"int"}]})";
    const std::string mapk = R"({"kind":"map","path":"m","children":[{"name":"a","kind":"int"}]})";
    struct row {
        std::string plan, text;
        int32_t status;
        cols expect;
    };
    const row rows[] = {
        {kOne, R"([{"a":1},{"a":"x"},{"b":2},5])", 0, {{"1", "-", "-"}}},
        {four,
         R"([{"i":1,"f":2,"s":2.5,"b":true},{"i":2.5,"f":2.5,"s":"t","b":false}])",
         0,
         {{"1", "-"}, {"2", "2.5"}, {"2.5", "t"}, {"1", "0"}}},
        {four,
         R"([{"i":null,"f":null,"s":null,"b":null},{"i":[1],"f":{},"s":[],"b":1}])",
         0,
         {{"-", "-"}, {"-", "-"}, {"-", "-"}, {"-", "-"}}},
        {four, R"([{"i":true,"f":"2","s":false,"b":"true"}])", 0, {{"-"}, {"-"}, {"false"}, {"-"}}},
        {four, R"([{"i":1,"i":2,"x":{"i":9},"s":"a"}])", 0, {{"2"}, {"-"}, {"a"}, {"-"}}},
        {four,
         R"([{"i":-9223372036854775808,"f":1e3,"s":-0.5e1}])",
         0,
         {{"-9223372036854775808"}, {"1000"}, {"-0.5e1"}, {"-"}}},
        {four, "[]", 0, {{}, {}, {}, {}}},
        {deep, R"({"data":{"items":[{"a":7},{"a":8}]}})", 0, {{"7", "8"}}},
        {deep, R"({"data":{"x":1,"items":{"k":{"a":7},"j":3}}})", 0, {{"7"}}},
        {deep, R"({"data":{"item":[]}})", 1, {}},
        {deep, R"({"data":[{"items":[]}]})", 1, {}},
        {deep, R"({"data":{"items":5}})", 1, {}},
        {deep, R"([{"a":1}])", 1, {}},
        {kOne, R"({"a":1})", 1, {}},
        {mapk, R"({"m":{"x":{"a":1},"y":[{"a":2}],"z":{"a":3}}})", 0, {{"1", "3"}}},
    };
    for (const row &r : rows) {
        walk_out d = walk_document(r.plan, r.text);
        walk_out t = walk_tape(r.plan, r.text);
        EXPECT_EQ(d.status, r.status) << r.text;
        EXPECT_EQ(t.status, r.status) << r.text;
        EXPECT_EQ(d.columns, r.expect) << r.text;
        EXPECT_EQ(t.columns, r.expect) << r.text;
    }
}

TEST(PlanWalk, DocumentOnlyYamlAndAliases) {
    const std::string plan = R"({"kind":"seq","path":"rows","children":[{"name":"a","kind":"int"},)"
                             R"({"name":"b","kind":"bool"},{"name":"s","kind":"str"}]})";
    struct row {
        std::string text;
        int32_t status;
        cols expect;
    };
    const row rows[] = {
        {"base: &r {a: 0x10, b: yes, s: ~}\nrows: [*r, {a: 1, b: true, s: x}, 3]",
         0,
         {{"16", "1"}, {"-", "1"}, {"-", "x"}}},
        {"v: &v 5\nrows:\n- {a: *v, b: false, s: !!str 7}", 0, {{"5"}, {"0"}, {"7"}}},
        {"l: &l [ {a: 1} ]\nrows: *l", 0, {{"1"}, {"-"}, {"-"}}},
        {"rows: 3", 1, {}},
    };
    for (const row &r : rows) {
        walk_out d = walk_document(plan, r.text, true);
        EXPECT_EQ(d.status, r.status) << r.text;
        EXPECT_EQ(d.columns, r.expect) << r.text;
    }
}

TEST(PlanWalk, InvalidArguments) {
    int32_t status = -1;
    plan_ptr plan{compile(kOne, &status)};
    EXPECT_EQ(zarvel_document_plan_walk(nullptr, plan.p, &status), nullptr);
    EXPECT_EQ(status, 6);
    std::string text = "[{\"a\":1}]";
    doc_ptr doc{zarvel_parse_json(text.data(), text.size(), &status)};
    status = -1;
    EXPECT_EQ(zarvel_document_plan_walk(doc.p, nullptr, &status), nullptr);
    EXPECT_EQ(status, 6);
    doc_ptr empty{zarvel_document_new()};
    status = -1;
    EXPECT_EQ(zarvel_document_plan_walk(empty.p, plan.p, &status), nullptr);
    EXPECT_EQ(status, 6);
    status = -1;
    EXPECT_EQ(zarvel_tape_plan_walk(nullptr, plan.p, &status), nullptr);
    EXPECT_EQ(status, 6);
    zarvel_tape none{};
    status = -1;
    EXPECT_EQ(zarvel_tape_plan_walk(&none, plan.p, &status), nullptr);
    EXPECT_EQ(status, 6);
    tape_rec tape;
    ASSERT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &tape.t), 0);
    status = -1;
    EXPECT_EQ(zarvel_tape_plan_walk(&tape.t, nullptr, &status), nullptr);
    EXPECT_EQ(status, 6);
}

// Record lists with missing keys, wrong types and nested values: both walks
// must agree element by element.
TEST(PlanWalk, DocumentAndTapeAgreeOnGeneratedRecords) {
    const std::string plan = R"({"kind":"seq","path":["d"],"children":[{"name":"i","kind":"int"},)"
                             R"({"name":"f","kind":"float"},{"name":"s","kind":"str"},{"name":"b","kind":"bool"},)"
                             R"({"name":"f","kind":"int"}]})";
    const char *values[] = {"1",
                            "-42",
                            "2.5",
                            "1e3",
                            "-0.25",
                            "true",
                            "false",
                            "null",
                            "\"x\"",
                            "\"\"",
                            "\"a b\"",
                            "[]",
                            "{}",
                            "[1,{\"i\":3}]",
                            "{\"i\":4}",
                            "0",
                            "9007199254740993",
                            "-7E-2"};
    const char *keys[] = {"i", "f", "s", "b", "z", "I"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        std::string text = "{\"d\":[";
        int rows = 1 + int(rng() % 300);
        for (int r = 0; r < rows; ++r) {
            if (r) text += ",";
            if (rng() % 10 == 0) {
                text += values[rng() % std::size(values)];
                continue;
            }
            text += "{";
            int members = int(rng() % 7);
            for (int m = 0; m < members; ++m) {
                if (m) text += ",";
                text += "\"";
                text += keys[rng() % std::size(keys)];
                text += "\":";
                text += values[rng() % std::size(values)];
            }
            text += "}";
        }
        text += "]}";
        walk_out d = walk_document(plan, text);
        walk_out t = walk_tape(plan, text);
        ASSERT_EQ(d.status, 0) << text;
        ASSERT_EQ(t.status, 0) << text;
        ASSERT_EQ(d.columns, t.columns) << text;
    }
}

// The same records as YAML with anchors and aliases (document walk) and as
// JSON with every alias written out (tape walk).
TEST(PlanWalk, AliasedYamlDocumentAgreesWithExpandedTape) {
    const std::string plan = R"({"kind":"seq","path":"d","children":[{"name":"i","kind":"int"},)"
                             R"({"name":"f","kind":"float"},{"name":"s","kind":"str"},{"name":"b","kind":"bool"}]})";
    const char *values[] = {"1", "-42", "2.5", "1e3", "true", "false", "null", "\"x\"", "[]", "{}"};
    const char *keys[] = {"i", "f", "s", "b", "z"};
    std::mt19937 rng(777);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::string> records;
        std::string json = "{\"d\":[", yaml = "{\"d\": [";
        int rows = 1 + int(rng() % 200);
        for (int r = 0; r < rows; ++r) {
            if (r) {
                json += ",";
                yaml += ", ";
            }
            if (!records.empty() && rng() % 4 == 0) {
                size_t target = rng() % records.size();
                json += records[target];
                yaml += "*r" + std::to_string(target);
                continue;
            }
            std::string rec = "{";
            int members = int(rng() % 5);
            for (int m = 0; m < members; ++m) {
                if (m) rec += ",";
                rec += "\"";
                rec += keys[rng() % std::size(keys)];
                rec += "\":";
                rec += values[rng() % std::size(values)];
            }
            rec += "}";
            json += rec;
            yaml += "&r" + std::to_string(records.size()) + " " + rec;
            records.push_back(rec);
        }
        json += "]}";
        yaml += "]}";
        walk_out d = walk_document(plan, yaml, true);
        walk_out t = walk_tape(plan, json);
        ASSERT_EQ(d.status, 0) << yaml;
        ASSERT_EQ(t.status, 0) << json;
        ASSERT_EQ(d.columns, t.columns) << yaml;
    }
}

TEST(PlanFailure, EveryAllocation) {
    const std::string plan_text = R"({"kind":"seq","path":["d","e"],"children":[{"name":"i","kind":"int"},)"
                                  R"({"name":"s","kind":"str"}]})";
    const std::string text = R"({"d":{"e":[{"i":1,"s":"a"},{"i":2}]}})";
    for (uint64_t n = 1;; ++n) {
        int32_t status = -1;
        zvl::testing::fail_allocation(n);
        zarvel_plan *plan = compile(plan_text, &status);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (!plan) {
            EXPECT_EQ(status, 2) << n;
            continue;
        }
        EXPECT_EQ(status, 0);
        zarvel_plan_free(plan);
        if (seen < n) break;
    }
    int32_t status;
    plan_ptr plan{compile(plan_text, &status)};
    for (uint64_t n = 1;; ++n) {
        doc_ptr doc{zarvel_parse_json(text.data(), text.size(), &status)};
        ASSERT_NE(doc.p, nullptr);
        zvl::testing::fail_allocation(n);
        zarvel_plan_result *res = zarvel_document_plan_walk(doc.p, plan.p, &status);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (!res) {
            EXPECT_EQ(status, 2) << n;
            continue;
        }
        EXPECT_EQ(zarvel_plan_result_rows(res), 2u);
        zarvel_plan_result_free(res);
        if (seen < n) break;
    }
    tape_rec tape;
    ASSERT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &tape.t), 0);
    zvl::testing::fail_allocation(1);
    EXPECT_EQ(zarvel_tape_plan_walk(&tape.t, plan.p, &status), nullptr);
    zvl::testing::fail_allocation(0);
    EXPECT_EQ(status, 2);
}

TEST(PlanResult, TooLargeToSize) {
    int32_t status;
    plan_ptr plan{compile(kOne, &status)};
    const uint64_t rows[] = {UINT64_MAX, UINT64_MAX / 9 + 1, UINT64_MAX / 9 - 3};
    for (uint64_t r : rows) {
        zvl::testing::fail_allocation(0);
        EXPECT_EQ(zvl::plan_result_new(plan.p, r, false), nullptr) << r;
    }
    zarvel_plan_result *small = zvl::plan_result_new(plan.p, 3, false);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(zarvel_plan_result_rows(small), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(zarvel_plan_result_nulls(small, 0)[i], 1);
    zarvel_plan_result_free(small);
}

}  // namespace

namespace {

// Numbers of every shape the walks read (exact short forms and the long or
// unusual ones that take the general readers) come out as the correctly
// rounded values, through the tape and through the document alike.
TEST(PlanWalk, NumbersMatchTheirCorrectlyRoundedValues) {
    const std::string plan_text =
        R"({"kind":"seq","children":[{"name":"f","kind":"float"},{"name":"i","kind":"int"}]})";
    std::vector<std::string> floats = {"0.1",
                                       "-0.0",
                                       "0",
                                       "1e22",
                                       "1e23",
                                       "9007199254740993",
                                       "9007199254740993.0",
                                       "123456789012345678.5",
                                       "1.7976931348623157e308",
                                       "4.9e-324",
                                       "2.2250738585072014e-308",
                                       "0.30000000000000004",
                                       "1e-22",
                                       "1e-23",
                                       "123.456e-5",
                                       "5E+3",
                                       "1.00000000000000000001",
                                       "12345678901234567890",
                                       "-98765.4321",
                                       "1e400",
                                       "-1e400"};
    std::vector<std::string> ints = {"0",
                                     "-0",
                                     "7",
                                     "-7",
                                     "123456789012345678",
                                     "-999999999999999999",
                                     "9223372036854775807",
                                     "-9223372036854775808",
                                     "1234567890123456789"};
    std::mt19937_64 random(20261208);
    for (int k = 0; k < 3000; ++k) {
        std::string f = (random() & 1) ? "-" : "";
        f += std::to_string(random() % 100000000);
        if (random() % 4) f += "." + std::to_string(random() % 1000000000);
        if (random() % 3 == 0) f += "e" + std::to_string(int(random() % 60) - 30);
        floats.push_back(f);
        ints.push_back(std::to_string(int64_t(random()) >> (random() % 60)));
    }
    std::string text = "[";
    const size_t rows = std::max(floats.size(), ints.size());
    for (size_t r = 0; r < rows; ++r) {
        text += r ? ",{" : "{";
        if (r < floats.size()) text += "\"f\":" + floats[r];
        if (r < ints.size()) text += std::string(r < floats.size() ? "," : "") + "\"i\":" + ints[r];
        text += "}";
    }
    text += "]";
    int32_t status = 0;
    plan_ptr plan{compile(plan_text, &status)};
    ASSERT_NE(plan.p, nullptr);
    doc_ptr doc{zarvel_parse_json(text.data(), text.size(), &status)};
    ASSERT_NE(doc.p, nullptr);
    result_ptr from_doc{zarvel_document_plan_walk(doc.p, plan.p, &status)};
    tape_rec tape;
    ASSERT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &tape.t), 0);
    result_ptr from_tape{zarvel_tape_plan_walk(&tape.t, plan.p, &status)};
    ASSERT_NE(from_doc.p, nullptr);
    ASSERT_NE(from_tape.p, nullptr);
    for (const zarvel_plan_result *res : {from_doc.p, from_tape.p}) {
        ASSERT_EQ(zarvel_plan_result_rows(res), rows);
        for (size_t r = 0; r < floats.size(); ++r) {
            ASSERT_EQ(zarvel_plan_result_nulls(res, 0)[r], 0) << floats[r];
            const double want = std::strtod(floats[r].c_str(), nullptr);
            const double got = zarvel_plan_result_floats(res, 0)[r];
            EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << floats[r] << ": " << got << " != " << want;
        }
        for (size_t r = 0; r < ints.size(); ++r) {
            ASSERT_EQ(zarvel_plan_result_nulls(res, 1)[r], 0) << ints[r];
            EXPECT_EQ(zarvel_plan_result_ints(res, 1)[r], std::strtoll(ints[r].c_str(), nullptr, 10)) << ints[r];
        }
    }
}

}  // namespace
