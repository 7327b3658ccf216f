// Parse entry: statuses, options, decoding, the fast paths against the full
// parser, the yaml-test-suite through the read API, failure injection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/error.hpp"
#include "doc/resolve.hpp"
#include "doc_helpers.hpp"
#include "yaml/parse.hpp"
#include "corpus.hpp"

using namespace doc_test;
namespace fs = std::filesystem;

namespace {

const fs::path suite_dir = corpus::path("yaml-test-suite");

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The document borrows its text, so the holder keeps a copy alive.
struct parsed {
    std::string text;
    zarvel_document *doc = nullptr;
    int32_t status = -1;
    parsed(std::string t, const zarvel_parse_options *options = nullptr, zarvel_parse_switches sw = {})
        : text(std::move(t)) {
        doc = zarvel_parse_internal(text.data(), text.size(), options, sw, &status);
    }
    ~parsed() { zarvel_document_free(doc); }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;
    // Canonical node table of the built document ("<none>" without one).
    std::string table() {
        if (!doc) return "<none " + std::to_string(status) + ">";
        if (zarvel_document_count(doc) == 0) return "<no build>";
        return dump_store(doc->store);
    }
};

zarvel_parse_switches no_fast() {
    zarvel_parse_switches sw;
    sw.no_fast_paths = true;
    return sw;
}

zarvel_parse_switches direct() {
    zarvel_parse_switches sw;
    sw.composer = zarvel_composer_choice::direct;
    return sw;
}

// The tree as a JSON value: int/float/bool/null by tag id, aliases followed.
nlohmann::json to_json(const zarvel_node *node, int budget = 200) {
    if (!node || budget == 0) return "<bad>";
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_ALIAS: return to_json(zarvel_node_alias_target(node), budget - 1);
    case ZARVEL_NODE_SEQUENCE: {
        nlohmann::json a = nlohmann::json::array();
        for (uint64_t i = 0, n = zarvel_node_seq_count(node); i < n; ++i)
            a.push_back(to_json(zarvel_node_seq_at(node, i), budget - 1));
        return a;
    }
    case ZARVEL_NODE_MAPPING: {
        nlohmann::json o = nlohmann::json::object();
        for (uint64_t i = 0, n = zarvel_node_map_count(node); i < n; ++i) {
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(node, i, &k, &v);
            nlohmann::json key = to_json(k, budget - 1);
            std::string name = key.is_string() ? key.get<std::string>()
                                               : key.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            if (!o.contains(name)) o[name] = to_json(v, budget - 1);
        }
        return o;
    }
    default: {
        int32_t b;
        int64_t i;
        double d;
        switch (zarvel_node_tag_id(node)) {
        case ZARVEL_TAG_NULL: return nullptr;
        case ZARVEL_TAG_BOOL:
            if (zarvel_node_bool(node, &b) == 0) return b != 0;
            break;
        case ZARVEL_TAG_INT:
            if (zarvel_node_int(node, &i) == 0) return i;
            break;
        case ZARVEL_TAG_FLOAT:
            if (zarvel_node_float(node, &d) == 0) return d;
            break;
        default: break;
        }
        uint64_t len = 0;
        const char *text = zarvel_node_value(node, &len);
        return std::string(text ? text : "", len);
    }
    }
}

std::string printable(const nlohmann::json &j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<fs::path> suite_cases() {
    std::vector<fs::path> cases;
    if (!fs::exists(suite_dir)) return cases;
    for (const auto &entry : fs::directory_iterator(suite_dir))
        if (fs::exists(entry.path() / "in.yaml")) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());
    return cases;
}

}  // namespace

TEST(Parse, StatusesAndResults) {
    struct row {
        std::string name;
        std::string text;
        int32_t status;
        bool has_document;
    };
    std::vector<row> rows = {
        {"empty", "", 0, false},
        {"only a comment", "# nothing\n", 0, false},
        {"only directives", "%YAML 1.2\n---\n", 0, true},
        {"scalar", "hello\n", 0, true},
        {"block mapping", "a: 1\n", 0, true},
        {"flow root", "[1, 2]", 0, true},
        {"ill-formed UTF-8", "a: \xC3\x28\n", 4, false},
        {"syntax error", "a: - b\n", 1, false},
        {"undefined alias", "a: *nothing\n", 1, false},
        {"unterminated flow", "a: [1, 2\n", 1, false},
    };
    for (const row &r : rows) {
        parsed p(r.text);
        EXPECT_EQ(p.status, r.status) << r.name;
        EXPECT_EQ(p.doc != nullptr, r.has_document) << r.name;
    }
    // A null text with a length: 6, and the thread's message stays.
    zarvel_error_set(zarvel_error_current(), 1, 3, 4, 0, "earlier failure");
    int32_t status = 0;
    EXPECT_EQ(zarvel_parse(nullptr, 5, &status), nullptr);
    EXPECT_EQ(status, 6);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "earlier failure");
    EXPECT_EQ(zarvel_parse(nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, 0);
    zarvel_document *optional = zarvel_parse("a", 1, nullptr);  // the status pointer is optional
    EXPECT_NE(optional, nullptr);
    zarvel_document_free(optional);
}

TEST(Parse, ParseErrorsCarryThePosition) {
    int32_t status = 0;
    std::string text = "a: 1\nb: *missing\n";
    EXPECT_EQ(zarvel_parse(text.data(), text.size(), &status), nullptr);
    EXPECT_EQ(status, 1);
    uint32_t line = 0, column = 0;
    std::string message = zarvel_last_error(&line, &column);
    EXPECT_EQ(message, "alias references an undefined anchor");
    EXPECT_EQ(line, 2u);
    EXPECT_EQ(column, 4u);
}

TEST(Parse, DepthLimitOption) {
    // The fast paths keep their own limits; a directive sends the text to
    // the event parser, whose limit the option sets.
    std::string text = "%YAML 1.2\n---\na:\n  b: 1\n";
    zarvel_parse_options one = {0, 1};
    parsed limited(text, &one);
    EXPECT_EQ(limited.status, 3);
    for (int32_t depth : {0, -1, 2000}) {
        zarvel_parse_options o = {0, depth};
        parsed p(text, &o);
        EXPECT_EQ(p.status, 0) << depth;
    }
    std::string deep = "%YAML 1.2\n---\n" + std::string(1000, '[') + std::string(1000, ']') + "\n";
    zarvel_parse_options big = {0, 5000};
    parsed p(deep, &big);
    EXPECT_EQ(p.status, 0);
    std::string deeper = "%YAML 1.2\n---\n" + std::string(1001, '[') + std::string(1001, ']') + "\n";
    parsed q(deeper, &big);
    EXPECT_EQ(q.status, 3);
}

TEST(Parse, SchemaOption) {
    std::string text = "a: yes\nb: y\n";
    zarvel_parse_options yaml11 = {1, 0};
    for (bool alternate : {false, true}) {
        parsed p(text, alternate ? &yaml11 : nullptr);
        ASSERT_NE(p.doc, nullptr);
        zarvel_node *root = zarvel_document_root(p.doc, 0);
        EXPECT_EQ(zarvel_node_tag_id(zarvel_node_map_get(root, "a", 1)), alternate ? 3 : 0);
        EXPECT_EQ(p.doc->schema, alternate ? 1u : 0u);
    }
}

TEST(Parse, Decoding) {
    // UTF-16LE with a byte order mark.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("a: 1\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    parsed p(utf16);
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(render(zarvel_document_root(p.doc, 0)), "{\"a\":\"1\"}");
    EXPECT_NE(p.doc->owned_text, nullptr);
    // A line separator splits the line under YAML 1.1 rules only.
    std::string ls =
        "a: b\xE2\x80\xA8"
        "c: d\n";
    zarvel_parse_options yaml11 = {1, 0};
    parsed q(ls, &yaml11);
    ASSERT_NE(q.doc, nullptr);
    EXPECT_EQ(render(zarvel_document_root(q.doc, 0)), "{\"a\":\"b\",\"c\":\"d\"}");
    EXPECT_NE(q.doc->owned_text, nullptr);
    parsed content(
        "a: b\xE2\x80\xA8"
        "c\n");
    ASSERT_NE(content.doc, nullptr);
    EXPECT_EQ(render(zarvel_document_root(content.doc, 0)), "{\"a\":\"b\\xE2\\x80\\xA8c\"}");
    EXPECT_EQ(content.doc->owned_text, nullptr);
    // Plain UTF-8 is used in place.
    parsed r(std::string("a: 1\n"));
    ASSERT_NE(r.doc, nullptr);
    EXPECT_EQ(r.doc->owned_text, nullptr);
}

TEST(Parse, MultiDocumentStreams) {
    parsed p(std::string("a\n---\nb\n---\nc\n"));
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(zarvel_document_count(p.doc), 3u);
    EXPECT_EQ(zarvel_document_root(p.doc, 3), nullptr);
    EXPECT_EQ(render(zarvel_document_root(p.doc, 2)), "\"c\"");
    parsed q(std::string("a: &x 1\n---\nb: *x\n"));
    EXPECT_EQ(q.doc, nullptr);
    EXPECT_EQ(q.status, 1);
}

// Fast paths on, fast paths off and the direct composer must give the same
// node table (or the same status) for every input.
void expect_same_tables(const std::string &text, const std::string &name) {
    parsed fast(text), slow(text, nullptr, no_fast()), built(text, nullptr, direct());
    EXPECT_EQ(fast.status, slow.status) << name << "\n" << text;
    std::string expected = slow.table();
    EXPECT_EQ(fast.table(), expected) << name << "\n" << text;
    EXPECT_EQ(built.table(), expected) << "direct " << name << "\n" << text;
}

TEST(Parse, FastPathsEqualTheParserOnTheSuite) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    for (const fs::path &c : suite_cases()) expect_same_tables(read_file(c / "in.yaml"), c.filename().string());
}

// Shapes of everyday files that YAML allows and common loaders take, read
// through the document (fast paths and parser alike); and the near misses
// that stay errors.
TEST(Parse, EverydayFileShapes) {
    struct row {
        const char *name;
        std::string text;
        std::string json;  // empty: refused with status 1
    } rows[] = {
        {"unity header", "%YAML 1.1\n%TAG !u! tag:unity3d.com,2011:\n--- !u!1 &1\nGameObject:\n  m_Name: x\n",
         "{\"GameObject\":{\"m_Name\":\"x\"}}"},
        {"tag then yaml directive", "%TAG !e! tag:e,1:\n%YAML 1.2\n---\n!e!x a\n", "\"a\""},
        {"two yaml directives", "%YAML 1.2\n%TAG !e! tag:e,1:\n%YAML 1.2\n---\na\n", ""},
        {"bracket at the key's column", "test: [\n  a,\n  b\n]\n", "{\"test\":[\"a\",\"b\"]}"},
        {"brace at the key's column", "k: {\n  a: 1\n}\nz: 2\n", "{\"k\":{\"a\":\"1\"},\"z\":\"2\"}"},
        {"nested, at the key's column", "a:\n  b: [\n    1, 2\n  ]\n", "{\"a\":{\"b\":[\"1\",\"2\"]}}"},
        {"long flow, at the key's column",
         "services:\n  web:\n    command: [\n      \"python\", \"manage.py\", \"runserver\", \"0.0.0.0:8000\"\n    ]\n",
         "{\"services\":{\"web\":{\"command\":[\"python\",\"manage.py\",\"runserver\",\"0.0.0.0:8000\"]}}}"},
        {"closing bracket left of the key", "a:\n  b: [\n    1\n ]\n", ""},
        {"content at the key's column", "k: [\n  a,\nb]\n", ""},
        {"flow mapping content at the key's column", "k: {\nk\n:\nv\n}\n", ""},
        {"explicit sequences as values", "a:\n- 1\n? b\n:\n- 2\n", "{\"a\":[\"1\"],\"b\":[\"2\"]}"},
        {"anchored flow items and alias items",
         "d:\n- &m {id: 0, name: two  words}\n- &s [-a, 'q', \"d\", {}]\nu:\n- *m\n- *s\n\"k\": *s\nv: &t {a: [b]}\n",
         "{\"d\":[{\"id\":\"0\",\"name\":\"two  words\"},[\"-a\",\"q\",\"d\",{}]],\"u\":[{\"id\":\"0\",\"name\":"
         "\"two  words\"},[\"-a\",\"q\",\"d\",{}]],\"k\":[\"-a\",\"q\",\"d\",{}],\"v\":{\"a\":[\"b\"]}}"},
        {"flow near misses", "- [a, ]\n- {a:b, c: d}\n- [a: b]\n- {a: }\n- [b #c\n  ]\n",
         "[[\"a\"],{\"a:b\":\"\",\"c\":\"d\"},[{\"a\":\"b\"}],{\"a\":\"\"},[\"b\"]]"},
        {"flow words with blanks, long anchor names",
         "- [a  b , c d  ]\n- {k: v  w  , x: y}\n- &" + std::string(300, 'n') + " x\n- *" + std::string(300, 'n') +
             "\n",
         "[[\"a  b\",\"c d\"],{\"k\":\"v  w\",\"x\":\"y\"},\"x\",\"x\"]"},
    };
    for (const row &r : rows) {
        parsed p(r.text);
        if (r.json.empty()) {
            EXPECT_EQ(p.status, 1) << r.name;
            continue;
        }
        ASSERT_EQ(p.status, 0) << r.name << ": " << zarvel_last_error(nullptr, nullptr);
        EXPECT_EQ(render(zarvel_document_root(p.doc, 0)), r.json) << r.name;
        expect_same_tables(r.text, r.name);
    }
    // An explicit key and its value, both block sequences at the mapping's
    // own indentation (a sequence key has no JSON form).
    parsed p("?\n- a\n:\n- c\n");
    ASSERT_EQ(p.status, 0);
    zarvel_node *key = nullptr, *value = nullptr;
    ASSERT_EQ(zarvel_node_map_at(zarvel_document_root(p.doc, 0), 0, &key, &value), 0);
    EXPECT_EQ(render(key), "[\"a\"]");
    EXPECT_EQ(render(value), "[\"c\"]");
}

// Long lists of alias and anchored items are read line by line without the
// usual steps, and alias items replayed as one run: both stop at any other
// line or record.
TEST(Parse, AliasItemRunsEqualTheParser) {
    const std::string defs = "d:\n- &a 1\n- &b {k: v}\n- &c [x]\nu:\n";
    const std::string rows[] = {
        defs + "- *a\n- *b\n- *c\n- *a",
        defs + "- *a\n- *b # c\n- *c \n- *a\n",
        defs + "- *a\n- - *b\n  - *c\n- *a\n",
        defs + "  - *a\n  - *b\n- *c\n",
        defs + "- *a\n- *zz\n- *b\n",
        defs + "- *a\n- *b\n- x\n- *c\n- &e 2\n- *e\n",
        defs + "- *a\n-  *b\n- *c\nv: *a\n",
        "- &a x\n- *a\n- *a\n---\n- *a\n",
        "- &a x\n- *a\n- *a*\n- *a:\n",
        "- &a 1\n- &b {k: v, l: m}\n- &c [x, y]\n- &d {\"j\": 1}\n- *a\n- &e 'q'\n- *e\n",
        "- &a 1\n- &b {k: v} # c\n- &c x y\n- &a z\n- *a\n- &d\n- e\n",
        "- &a 1\n- &b {k: v}x\n",
        "- &a 1\n  - &b 2\n",
    };
    for (const std::string &text : rows) expect_same_tables(text, "alias run");
}

namespace {

// Random block and flow YAML built from pieces the fast paths take, and a few
// they do not.
struct generator {
    std::mt19937 rng;
    explicit generator(uint32_t seed) : rng(seed) {}
    int pick(int n) { return int(rng() % uint32_t(n)); }
    std::string scalar() {
        static const char *const words[] = {"1",
                                            "-2",
                                            "3.5",
                                            "1e3",
                                            "true",
                                            "False",
                                            "null",
                                            "~",
                                            "x",
                                            "hello world",
                                            "0x1F",
                                            "0o17",
                                            ".inf",
                                            "-.NaN",
                                            "'q'",
                                            "\"d\"",
                                            "''",
                                            "\"\"",
                                            "a#b",
                                            "http://h:1",
                                            "yes",
                                            "-x",
                                            ":x",
                                            "\"t\\tx\"",
                                            "'it''s'",
                                            "12_000",
                                            "é",
                                            "a text past sixteen bytes#x:y",
                                            "past sixteen bytes, then   # a comment"};
        return words[pick(int(sizeof words / sizeof *words))];
    }
    std::string flow(int depth) {
        if (depth > 3 || pick(3) == 0) {
            // JSON texts, plain and single-quoted ones, and now and then a
            // near miss (a pair, an alias, a comment, an empty node).
            static const char *const leaves[] = {"1",         "\"s\"", "true", "-2.5e1", "\"e\\u00e9\"",
                                                 "two words", "-x",    "'q'",  "1.5"};
            static const char *const misses[] = {"a: b", "*a0", "x #c", ""};
            if (pick(40) == 0) return misses[pick(4)];
            return leaves[pick(int(sizeof leaves / sizeof *leaves))];
        }
        std::string out;
        bool map = pick(2) == 0;
        int n = pick(4);
        out += map ? "{" : "[";
        for (int i = 0; i < n; ++i) {
            if (i) out += pick(2) ? ", " : ",";
            if (map) {
                std::string quote = pick(3) ? "\"" : "";
                out += quote + "k" + std::to_string(pick(3)) + quote;
                out += quote.empty() || pick(2) ? ": " : ":";
            }
            out += flow(depth + 1);
        }
        out += map ? "}" : "]";
        return out;
    }
    void block(std::string &out, int indent, int depth, bool map) {
        int n = 1 + pick(4);
        for (int i = 0; i < n; ++i) {
            std::string pad(size_t(indent), ' ');
            size_t line_start = out.size();
            if (map) {
                if (pick(8) == 0)
                    out += pad + (pick(2) ? "'q k" : "\"d k") + std::to_string(pick(6)) + (pick(2) ? "'" : "\"") + ":";
                else
                    out += pad + "k" + std::to_string(pick(6)) + ":";
            } else {
                out += pad + "-";
            }
            int what = depth > 4 ? pick(3) : pick(9);
            std::string inner(size_t(indent) + 2, ' ');
            if (what == 7) {
                // A quoted scalar over several lines, with doubled quotes,
                // escapes, blank lines, trailing blanks, or a continuation
                // line that is not indented enough.
                static const char *const quoted[] = {" 'one\n%two  \n%three'\n",
                                                     " 'it''s\n\n%long '' \n%end'\n",
                                                     " \"a\\tb\n%c\\\n%  d\"\n",
                                                     " \"x \\u00e9\\x41\\U0001F600\\N\n\n\n%y\"\n",
                                                     " \"bad\\q\"\n",
                                                     " \"s\\ud800\"\n",
                                                     " \"p \\ud83d\\ude00\\\t\n%q\"\n",
                                                     " 'a\\b'\n",
                                                     " \"\\ \n%end\"  # c\n",
                                                     " 'x\ny'\n",
                                                     " 'open\n%more' tail\n",
                                                     " \"q\\\"q\n%'\"\n"};
                std::string q = quoted[pick(int(sizeof quoted / sizeof *quoted))];
                for (size_t at; (at = q.find('%')) != std::string::npos;) q.replace(at, 1, inner);
                out += q;
                continue;
            }
            if (what == 8 && map) {
                // An explicit key and its value line.
                std::string key = out.substr(line_start + pad.size());
                key.pop_back();  // the colon
                out.resize(line_start);
                out += pad + "? " + (key[0] == '\'' || key[0] == '"' ? std::string("k") : key) + "\n";
                if (pick(4) == 0) out += "# between\n";
                switch (pick(4)) {
                case 0: out += pad + ": " + scalar() + "\n"; break;
                case 1: out += pad + ": in: 1\n" + pad + "  on: 2\n"; break;
                case 2: out += pad + ":\n" + inner + "v\n"; break;
                default: out += pad + ": - z\n"; break;
                }
                continue;
            }
            if (what == 6) {
                // A plain scalar folded over continuation lines (maybe with
                // an empty line), or a literal block scalar.
                if (pick(2)) {
                    // A comment after the first line ends the scalar: the
                    // lines below are then an error.
                    out += std::string(" first part") + (pick(6) == 0 ? " # c" : "") + "\n" + inner +
                           "second `part`\n" + (pick(2) ? "\n" : "") + inner + "end\n";
                } else {
                    static const char *const headers[] = {" |", " |-", " |+"};
                    out += std::string(headers[pick(3)]) + "\n" + inner + "line one\n" + inner + "  indented\n";
                    if (pick(2)) out += "\n" + inner + "# kept\n";
                    if (pick(2)) out += "\n\n";
                }
                continue;
            }
            if (what == 0) {
                out += " " + scalar() + (pick(5) == 0 ? " # c" : "") + "\n";
            } else if (what == 1) {
                out += " " + flow(0) + "\n";
            } else if (what == 2) {
                std::string name = std::to_string(pick(3));
                switch (pick(3)) {
                case 0: out += " &a" + name + " v\n"; break;
                case 1: out += " &a" + name + " " + flow(0) + "\n"; break;
                default: out += " *a0\n"; break;
                }
            } else if (what == 3) {
                out += "\n";
                if (pick(4) == 0) continue;  // empty value
                block(out, indent + 2, depth + 1, pick(2) == 0);
            } else if (what == 4 && map) {
                out += "\n";
                block(out, indent, depth + 1, false);  // entries under the key
            } else {
                out += "\n";
                block(out, indent + 1 + pick(3), depth + 1, true);
            }
            if (pick(10) == 0) out += "\n# comment\n";
        }
    }
    std::string text() {
        std::string out;
        switch (pick(6)) {
        case 0: out = flow(0); break;
        case 1: out = "  " + flow(0) + "\n\n"; break;
        case 2: {
            // A stream of documents between "---" lines (or marker lines the
            // fast path leaves alone), anchors used across them now and then.
            if (pick(2)) out += "---\n";
            int n = 1 + pick(4);
            for (int d = 0; d < n; ++d) {
                if (d) {
                    static const char *const markers[] = {"---\n",     "---\n",      "---\n",
                                                          "--- # c\n", "...\n---\n", "---\n---\n"};
                    out += markers[pick(6)];
                }
                block(out, pick(2), 0, pick(2) == 0);
            }
            if (pick(6) == 0) out += "---\n";
            break;
        }
        default: block(out, pick(3), 0, pick(2) == 0); break;
        }
        if (pick(20) == 0) out += "extra\n";
        return out;
    }
};

}  // namespace

TEST(Parse, FastPathsEqualTheParserOnGeneratedTexts) {
    generator g(20261208);
    int taken = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = g.text();
        expect_same_tables(text, "generated #" + std::to_string(i));
        if (::testing::Test::HasFailure()) break;
        // How many of them the fast paths really took.
        zarvel_event_log log;
        ASSERT_TRUE(zarvel_event_log_init(&log, text.data(), text.size()));
        if (zarvel_block_scanner(&log, &zarvel_core_resolver) == 0) ++taken;
        zarvel_arena_free(log.scratch);
        zarvel_event_log_release(&log);
    }
    EXPECT_GT(taken, 400) << "the fast paths took too few generated texts to be compared";
    std::printf("fast paths took %d of 3000 generated texts\n", taken);
}

// Real-world streams (many documents, multi-line quoted scalars, explicit
// keys): the block scanner takes them, with the parser's node tables.
TEST(Parse, FastPathsEqualTheParserOnRealWorldFiles) {
    for (const char *name : {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"}) {
        std::string text = read_file(fs::path(ZARVEL_SHARED_DIR) / "bench-data" / name);
        if (text.empty()) continue;
        expect_same_tables(text, name);
        zarvel_event_log log;
        ASSERT_TRUE(zarvel_event_log_init(&log, text.data(), text.size()));
        EXPECT_EQ(zarvel_block_scanner(&log, &zarvel_core_resolver), 0) << name;
        zarvel_arena_free(log.scratch);
        zarvel_event_log_release(&log);
    }
}

namespace {

// Cases whose tree read through the read API differs from in.json, and why.
const std::map<std::string, std::string> known_json_differences = {};

}  // namespace

TEST(Parse, SuiteTreesMatchTheirJson) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    int compared = 0;
    for (const fs::path &c : suite_cases()) {
        std::string id = c.filename().string();
        if (!fs::exists(c / "in.json") || fs::exists(c / "error")) continue;
        std::string json_text = read_file(c / "in.json");
        nlohmann::json expected;
        try {
            expected = nlohmann::json::parse(json_text);
        } catch (...) {
            continue;  // empty, or one value per document
        }
        parsed p(read_file(c / "in.yaml"));
        if (!p.doc || zarvel_document_count(p.doc) != 1) {
            if (!known_json_differences.count(id)) ADD_FAILURE() << id << ": status " << p.status;
            continue;
        }
        nlohmann::json got = to_json(zarvel_document_root(p.doc, 0));
        bool same = got == expected;
        if (known_json_differences.count(id)) {
            EXPECT_FALSE(same) << id << " now matches: drop it from the list";
        } else {
            EXPECT_TRUE(same) << id << "\nexpected " << printable(expected) << "\ngot      " << printable(got);
        }
        ++compared;
    }
    if (!suite_cases().empty()) {
        EXPECT_GT(compared, 150);
    }
}

TEST(Parse, SuiteErrorCasesFail) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    for (const fs::path &c : suite_cases()) {
        if (!fs::exists(c / "error")) continue;
        parsed p(read_file(c / "in.yaml"));
        EXPECT_EQ(p.doc, nullptr) << c.filename().string();
        EXPECT_NE(p.status, 0) << c.filename().string();
    }
}

TEST(Parse, AllocationFailureGivesStatusTwoAndLeaksNothing) {
    const std::vector<std::string> texts = {
        "a: 1\nb: [1, {\"x\": \"y\\n\"}]\nc:\n  - &r d\n  - *r\n",  // block scanner
        "---\nk: !t \"esc\\t\"\nl: |\n  lit\n? c\n: d\n",           // event parser
        "{\"a\": [1, 2.5, true, null, \"s\"]}",                     // flow root
    };
    for (const std::string &text : texts)
        for (zarvel_parse_switches sw : {zarvel_parse_switches{}, direct()}) {
            for (uint64_t n = 1;; ++n) {
                zvl::testing::fail_allocation(n);
                int32_t status = -1;
                zarvel_document *doc = zarvel_parse_internal(text.data(), text.size(), nullptr, sw, &status);
                uint32_t count = doc ? zarvel_document_count(doc) : 0;
                zarvel_node *root = doc ? zarvel_document_root(doc, 0) : nullptr;
                std::string tree = root ? render(root) : "";
                uint64_t seen = zvl::testing::fail_allocation(0);
                if (!doc) {
                    EXPECT_EQ(status, 2) << "n=" << n << "\n" << text;
                } else {
                    EXPECT_EQ(status, 0) << "n=" << n;
                    // A failed build retries once memory is back.
                    EXPECT_EQ(zarvel_document_count(doc), 1u) << "n=" << n;
                    (void)count;
                }
                zarvel_document_free(doc);
                if (seen < n) {  // nothing failed: every allocation was passed
                    EXPECT_GT(n, 5u) << text;
                    break;
                }
                ASSERT_LT(n, 5000u);
            }
        }
}

TEST(Parse, ConcurrentReadersOfAParsedDocument) {
    std::string text = "list:\n";
    for (int i = 0; i < 200; ++i)
        text += "  - {\"id\": " + std::to_string(i) + ", \"name\": \"n" + std::to_string(i) + "\"}\n";
    text += "map:\n";
    for (int i = 0; i < 200; ++i) text += "  key" + std::to_string(i) + ": " + std::to_string(i) + "\n";
    parsed p(text);
    ASSERT_NE(p.doc, nullptr);
    ASSERT_EQ(p.doc->store, nullptr);  // still pending
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            bool good = zarvel_document_count(p.doc) == 1;
            zarvel_node *root = zarvel_document_root(p.doc, 0);
            zarvel_node *list = zarvel_node_map_get(root, "list", 4);
            zarvel_node *map = zarvel_node_map_get(root, "map", 3);
            for (int i = 0; i < 200 && good; ++i) {
                int j = (i * 7 + t * 13) % 200;
                int64_t v = -1;
                zarvel_node *item = zarvel_node_seq_at(list, uint64_t(j));
                good = zarvel_node_int(zarvel_node_map_get(item, "id", 2), &v) == 0 && v == j;
                std::string key = "key" + std::to_string(j);
                good = good && zarvel_node_int(zarvel_node_map_get(map, key.data(), int32_t(key.size())), &v) == 0 &&
                       v == j;
                zarvel_node *k = nullptr;
                good = good && zarvel_node_map_at(map, uint64_t(j), &k, nullptr) == 0 && k;
            }
            ok[t] = good;
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
}

// A line break rewrite (YAML 1.1 rules) that cannot get its copy must fail
// as out of memory; parsing on would read NEL as content and give a one-entry sequence.
TEST(ParseEntry, FailedBreakRewriteIsOutOfMemory) {
    const std::string text = "- a\xC2\x85- b\n";
    for (uint64_t n = 1; n < 1000; ++n) {
        zvl::testing::fail_allocation(n);
        int32_t status = -1;
        const zarvel_parse_options yaml11 = {1, 0};
        zarvel_document *document = zarvel_parse_ex(text.data(), text.size(), &yaml11, &status);
        zvl::testing::fail_allocation(0);
        uint64_t count = document ? zarvel_node_seq_count(zarvel_document_root(document, 0)) : 0;
        zarvel_document_free(document);
        if (status == 0) {
            EXPECT_EQ(count, 2u) << "allocation " << n;
            return;
        }
        ASSERT_EQ(status, 2) << "allocation " << n;
    }
    FAIL() << "never succeeded";
}
