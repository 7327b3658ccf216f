// Visitors: the streaming JSON reader, record replay and node walks, checked
// against tables, against each other and against the read API.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

// Records every callback as one line; stop_at makes the n-th callback
// (1-based) return 1.
struct recorder {
    std::vector<std::string> calls;
    size_t stop_at = 0;

    int32_t add(std::string s) {
        calls.push_back(std::move(s));
        return calls.size() == stop_at ? 1 : 0;
    }
    static recorder &of(void *u) { return *static_cast<recorder *>(u); }
};

std::string text_of(const char *t, uint64_t n) { return std::string(t, n); }

std::string double_text(double d) {
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", d);
    return b;
}

zarvel_visitor make_visitor(bool with_key = true) {
    zarvel_visitor v{};
    v.on_null = [](void *u) { return recorder::of(u).add("null"); };
    v.on_bool = [](void *u, int32_t b) { return recorder::of(u).add("bool " + std::to_string(b)); };
    v.on_int = [](void *u, int64_t i) { return recorder::of(u).add("int " + std::to_string(i)); };
    v.on_double = [](void *u, double d) { return recorder::of(u).add("double " + double_text(d)); };
    v.on_string = [](void *u, const char *t, uint64_t n) { return recorder::of(u).add("str " + text_of(t, n)); };
    v.on_seq_start = [](void *u) { return recorder::of(u).add("["); };
    v.on_seq_end = [](void *u) { return recorder::of(u).add("]"); };
    v.on_map_start = [](void *u) { return recorder::of(u).add("{"); };
    v.on_map_end = [](void *u) { return recorder::of(u).add("}"); };
    if (with_key)
        v.on_key = [](void *u, const char *t, uint64_t n) { return recorder::of(u).add("key " + text_of(t, n)); };
    v.on_document = [](void *u) { return recorder::of(u).add("doc"); };
    v.on_anchor = [](void *u, const char *t, uint64_t n) { return recorder::of(u).add("anchor " + text_of(t, n)); };
    v.on_alias = [](void *u, const char *t, uint64_t n) { return recorder::of(u).add("alias " + text_of(t, n)); };
    return v;
}

using calls = std::vector<std::string>;

TEST(VisitJson, Table) {
    struct row {
        std::string text;
        int32_t status;
        calls expect;
        bool with_key = true;
    };
    const row rows[] = {
        {" [1, 2.5, \"a\", true, null] \n", 0, {"[", "int 1", "double 2.5", "str a", "bool 1", "null", "]"}},
        {"{\"k\": 1}", 0, {"{", "key k", "int 1", "}"}},
        {"{\"k\": 1}", 0, {"{", "str k", "int 1", "}"}, false},
        {"[1,]", 1, {"[", "int 1"}},
        {"{\"k\" 1}", 1, {"{", "key k"}},
        {"[1] x", 1, {"[", "int 1", "]"}},
        {"", 1, {}},
        {" \t\r\n", 1, {}},
        {"12345678901234567890", 0, {"double 1.2345678901234567e+19"}},
        {"-9223372036854775808", 0, {"int -9223372036854775808"}},
        {"1E2", 0, {"double 100"}},
        {"\"\\u00e9\"", 0, {"str \xC3\xA9"}},
        {"\"a\\nb\\\"\"", 0, {"str a\nb\""}},
        {"[[],{}]", 0, {"[", "[", "]", "{", "}", "]"}},
        {"{\"a\":{\"b\":[false]}}", 0, {"{", "key a", "{", "key b", "[", "bool 0", "]", "}", "}"}},
        {"{1:2}", 1, {"{"}},
        {"[1 2]", 1, {"[", "int 1"}},
        {"tru", 1, {}},
        {"truex", 1, {}},
        {"01", 1, {}},
        {"[1,2", 1, {"[", "int 1", "int 2"}},
        {"/* c */ 1", 1, {}},
        {"\"abc", 1, {}},
        {"{\"a\":1,}", 1, {"{", "key a", "int 1"}},
        {"-0." + std::string(100, '0') + "1", 0, {"double " + double_text(-1e-101)}},
        {"1" + std::string(80, '0'), 0, {"double 1e+80"}},
    };
    for (const row &r : rows) {
        recorder rec;
        zarvel_visitor v = make_visitor(r.with_key);
        EXPECT_EQ(zarvel_visit_json(r.text.data(), r.text.size(), &v, &rec), r.status) << r.text;
        EXPECT_EQ(rec.calls, r.expect) << r.text;
    }
    zarvel_visitor v = make_visitor();
    EXPECT_EQ(zarvel_visit_json(nullptr, 1, &v, nullptr), 6);
    EXPECT_EQ(zarvel_visit_json("1", 1, nullptr, nullptr), 6);
    EXPECT_EQ(zarvel_visit_json(nullptr, 0, &v, nullptr), 1);
    zarvel_visitor empty{};
    EXPECT_EQ(zarvel_visit_json("[1,{\"a\":\"\\t\"}]", 14, &empty, nullptr), 0);
}

TEST(VisitJson, NestingLimit) {
    for (int depth : {999, 1000, 1001}) {
        std::string text = std::string(depth, '[') + std::string(depth, ']');
        recorder rec;
        zarvel_visitor v = make_visitor();
        EXPECT_EQ(zarvel_visit_json(text.data(), text.size(), &v, &rec), depth <= 1000 ? 0 : 3) << depth;
    }
}

TEST(Visit, RecordReplayTable) {
    struct row {
        std::string text;
        int32_t status;
        calls expect;
        bool with_key = true;
    };
    const row rows[] = {
        {"a: &x 1\nb: *x", 0, {"doc", "{", "key a", "anchor x", "int 1", "key b", "alias x", "}"}},
        {"1: a", 0, {"doc", "{", "int 1", "str a", "}"}},
        {"[1, 2.5, a, true, ~]", 0, {"doc", "[", "int 1", "double 2.5", "str a", "bool 1", "null", "]"}},
        {"{\"k\": [1]}", 0, {"doc", "{", "key k", "[", "int 1", "]", "}"}},
        {"k: v", 0, {"doc", "{", "str k", "str v", "}"}, false},
        {"- a\n--- b\n", 0, {"doc", "[", "str a", "]", "doc", "str b"}},
        {"", 0, {}},
        {"[a", 1, {}},
        {"{a: [b: c]}", 0, {"doc", "{", "key a", "[", "{", "key b", "str c", "}", "]", "}"}},
    };
    for (const row &r : rows) {
        recorder rec;
        zarvel_visitor v = make_visitor(r.with_key);
        EXPECT_EQ(zarvel_visit(r.text.data(), r.text.size(), 0, &v, &rec), r.status) << r.text;
        EXPECT_EQ(rec.calls, r.expect) << r.text;
    }
    zarvel_visitor v = make_visitor();
    EXPECT_EQ(zarvel_visit(nullptr, 2, 0, &v, nullptr), 6);
    EXPECT_EQ(zarvel_visit("a", 1, 0, nullptr, nullptr), 6);
    recorder rec;
    EXPECT_EQ(zarvel_visit("yes", 3, 1, &v, &rec), 0);
    EXPECT_EQ(rec.calls, (calls{"doc", "bool 1"}));
}

calls visit_node_calls(const std::string &yaml, int32_t *status, bool with_key = true) {
    recorder rec;
    int32_t parsed;
    zarvel_document *doc = zarvel_parse(yaml.data(), yaml.size(), &parsed);
    zarvel_node *root = zarvel_document_root(doc, 0);
    zarvel_visitor v = make_visitor(with_key);
    *status = zarvel_visit_node(root, &v, &rec);
    zarvel_document_free(doc);
    return rec.calls;
}

TEST(VisitNode, Table) {
    struct row {
        std::string text;
        calls expect;
        bool with_key = true;
    };
    const row rows[] = {
        {"1: a", {"{", "key 1", "str a", "}"}},
        {"1: a", {"{", "int 1", "str a", "}"}, false},
        {"a: &x [1, 0x10, .5, True, ~, !!str 3]\nb: *x",
         {"{", "key a", "anchor x", "[", "int 1", "int 16", "double 0.5", "bool 1", "null", "str 3", "]", "key b",
          "alias x", "}"}},
        {"[a, {b: c}]", {"[", "str a", "{", "key b", "str c", "}", "]"}},
        {"? [k]\n: v", {"{", "[", "str k", "]", "str v", "}"}},
        {"!!int x", {"str x"}},
        {"&a b", {"anchor a", "str b"}},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        calls got = visit_node_calls(r.text, &status, r.with_key);
        EXPECT_EQ(status, 0) << r.text;
        EXPECT_EQ(got, r.expect) << r.text;
    }
    zarvel_visitor v = make_visitor();
    EXPECT_EQ(zarvel_visit_node(nullptr, &v, nullptr), 6);
    zarvel_document *doc = zarvel_parse("a", 1, nullptr);
    zarvel_node *root = zarvel_document_root(doc, 0);
    EXPECT_EQ(zarvel_visit_node(root, nullptr, nullptr), 6);
    zarvel_document_free(doc);
}

TEST(Visit, CallbackStopsEveryEntryPoint) {
    const std::string json = "{\"a\":[1,2.5,\"x\",true,null,{\"b\":{}}],\"c\":\"\\u0041\"}";
    recorder full;
    zarvel_visitor v = make_visitor();
    ASSERT_EQ(zarvel_visit_json(json.data(), json.size(), &v, &full), 0);
    for (size_t n = 1; n <= full.calls.size(); ++n) {
        recorder rec;
        rec.stop_at = n;
        EXPECT_EQ(zarvel_visit_json(json.data(), json.size(), &v, &rec), 2) << n;
        EXPECT_EQ(rec.calls.size(), n) << n;
        recorder rec2;
        rec2.stop_at = n + 1;  // one more for on_document
        EXPECT_EQ(zarvel_visit(json.data(), json.size(), 0, &v, &rec2), 8) << n;
        EXPECT_EQ(rec2.calls.size(), n + 1) << n;
        recorder rec3;
        rec3.stop_at = n;
        zarvel_document *doc = zarvel_parse_json(json.data(), json.size(), nullptr);
        zarvel_node *root = zarvel_document_root(doc, 0);
        EXPECT_EQ(zarvel_visit_node(root, &v, &rec3), 8) << n;
        EXPECT_EQ(rec3.calls.size(), n) << n;
        zarvel_document_free(doc);
    }
}

TEST(Visit, FailureInjection) {
    const std::string json = "[\"a\\u00e9b\", {\"k\\n\": \"\\\"\"}, 1]";
    zarvel_visitor v = make_visitor();
    recorder expect_json, expect_visit;
    ASSERT_EQ(zarvel_visit_json(json.data(), json.size(), &v, &expect_json), 0);
    ASSERT_EQ(zarvel_visit(json.data(), json.size(), 0, &v, &expect_visit), 0);
    for (uint64_t n = 1;; ++n) {
        recorder rec;
        zvl::testing::fail_allocation(n);
        int32_t status = zarvel_visit_json(json.data(), json.size(), &v, &rec);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (seen < n) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(rec.calls, expect_json.calls);
            break;
        }
        EXPECT_EQ(status, 2) << n;
    }
    const std::string yaml = "a: &x [b, {c: d}]\ne: *x\n";
    for (const std::string *text : {&json, &yaml}) {
        for (uint64_t n = 1;; ++n) {
            recorder rec;
            zvl::testing::fail_allocation(n);
            int32_t status = zarvel_visit(text->data(), text->size(), 0, &v, &rec);
            uint64_t seen = zvl::testing::fail_allocation(0);
            if (seen < n) {
                EXPECT_EQ(status, 0);
                break;
            }
            EXPECT_TRUE(status == 2 || status == 0) << n << " " << *text;
            if (status == 2) {
                EXPECT_TRUE(rec.calls.empty()) << n;
            }
        }
    }
}

std::string read_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::filesystem::path suite = corpus::path("yaml-test-suite");

// The streaming reader and record replay see strict JSON alike.
TEST(VisitDifferential, JsonReaderMatchesReplay) {
    int compared = 0;
    SKIP_WITHOUT_CORPUS("json-test-suite");
    for (const auto &dir : {corpus::path("json-test-suite")}) {
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("y_", 0) != 0) continue;
            std::string text = read_file(entry.path());
            zarvel_visitor v = make_visitor();
            recorder a, b;
            int32_t sa = zarvel_visit_json(text.data(), text.size(), &v, &a);
            int32_t sb = zarvel_visit(text.data(), text.size(), 0, &v, &b);
            ASSERT_EQ(sa, 0) << name;
            if (sb != 0) continue;  // not every strict JSON text is a YAML stream
            // Known divergence of the record drain, not of the reader: it
            // keeps a float too long for the resolver as a string.
            if (name == "y_number_double_close_to_zero.json") continue;
            if (!b.calls.empty() && b.calls[0] == "doc") b.calls.erase(b.calls.begin());
            if (a.calls != b.calls) {
                std::string hex;
                for (const auto &c : b.calls)
                    for (unsigned char ch : c) hex += std::to_string(ch) + " ";
                ADD_FAILURE() << name << " replay bytes: " << hex;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 80);
}

// Reference walk through the public read API.
void read_api_walk(const zarvel_node *n, calls &out) {
    uint64_t len = 0;
    int32_t kind = zarvel_node_kind(n);
    const char *anchor = zarvel_node_anchor(n, &len);
    if (kind != ZARVEL_NODE_ALIAS && anchor && len) out.push_back("anchor " + text_of(anchor, len));
    if (kind == ZARVEL_NODE_ALIAS) {
        const char *name = zarvel_node_value(n, &len);
        out.push_back("alias " + text_of(name ? name : "", len));
    } else if (kind == ZARVEL_NODE_SEQUENCE) {
        out.push_back("[");
        for (uint64_t i = 0; i < zarvel_node_seq_count(n); ++i) read_api_walk(zarvel_node_seq_at(n, i), out);
        out.push_back("]");
    } else if (kind == ZARVEL_NODE_MAPPING) {
        out.push_back("{");
        for (uint64_t i = 0; i < zarvel_node_map_count(n); ++i) {
            zarvel_node *k = nullptr, *val = nullptr;
            zarvel_node_map_at(n, i, &k, &val);
            if (zarvel_node_kind(k) == ZARVEL_NODE_SCALAR) {
                const char *t = zarvel_node_value(k, &len);
                out.push_back("key " + text_of(t ? t : "", len));
            } else {
                read_api_walk(k, out);
            }
            read_api_walk(val, out);
        }
        out.push_back("}");
    } else {
        const char *t = zarvel_node_value(n, &len);
        std::string s = text_of(t ? t : "", len);
        int64_t i;
        double d;
        switch (zarvel_node_tag_id(n)) {
        case ZARVEL_TAG_INT:
            if (zarvel_node_int(n, &i) == 0) {
                out.push_back("int " + std::to_string(i));
                return;
            }
            break;
        case ZARVEL_TAG_FLOAT:
            if (zarvel_node_float(n, &d) == 0) {
                out.push_back("double " + double_text(d));
                return;
            }
            break;
        case ZARVEL_TAG_BOOL:
            out.push_back("bool " + std::to_string(zvl_num_bool_ci(s.data(), uint32_t(s.size()))));
            return;
        case ZARVEL_TAG_NULL: out.push_back("null"); return;
        default: break;
        }
        out.push_back("str " + s);
    }
}

TEST(VisitDifferential, NodeWalkMatchesReadApi) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    int compared = 0;
    for (const auto &entry : std::filesystem::directory_iterator(suite)) {
        auto in = entry.path() / "in.yaml";
        if (!std::filesystem::exists(in) || std::filesystem::exists(entry.path() / "error")) continue;
        std::string text = read_file(in);
        int32_t status;
        zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
        if (!doc) continue;
        for (uint32_t d = 0; d < zarvel_document_count(doc); ++d) {
            zarvel_node *root = zarvel_document_root(doc, d);
            recorder rec;
            zarvel_visitor v = make_visitor();
            EXPECT_EQ(zarvel_visit_node(root, &v, &rec), 0) << entry.path();
            calls expect;
            read_api_walk(root, expect);
            EXPECT_EQ(rec.calls, expect) << entry.path() << " document " << d;
            ++compared;
        }
        zarvel_document_free(doc);
    }
    EXPECT_GT(compared, 200);
}

}  // namespace
