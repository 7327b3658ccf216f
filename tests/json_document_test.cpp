// JSON into documents: the node mapping, statuses and messages, the tape and
// direct roads giving the same trees, the deferred build, conformance against
// an independent JSON reader, and failure injection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/error.hpp"
#include "yaml/decode.hpp"
#include "yaml/parse.hpp"
#include "core/memory.hpp"
#include "doc/store.hpp"
#include "json/validate.hpp"
#include "jsondoc/json_document.hpp"
#include "core/kernels.hpp"
#include "core/stage1.hpp"
#include "doc_helpers.hpp"
#include "zarvel.h"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#include "corpus.hpp"
#define HAVE_ORACLE 1
#else
#define HAVE_ORACLE 0
#endif

namespace {

using doc_test::render;

struct parsed {
    zarvel_document *d = nullptr;
    int32_t status = -1;
    explicit parsed(std::string_view text) { d = zarvel_parse_json(text.data(), text.size(), &status); }
    parsed(const char *text, uint64_t len) { d = zarvel_parse_json(text, len, &status); }
    // The direct road alone (validation and the direct builder).
    struct direct_road {};
    parsed(std::string_view text, direct_road) { d = zvl::json_document_direct(text.data(), text.size(), &status); }
    // The tape road alone: null when it does not take the text.
    struct tape_road {};
    parsed(std::string_view text, tape_road) { d = zvl::json_tape_road(text.data(), text.size(), &status); }
    ~parsed() { zarvel_document_free(d); }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;
    zarvel_node *root() const { return zarvel_document_root(d, 0); }
};

std::string value_of(const zarvel_node *n) {
    uint64_t len = 0;
    const char *v = zarvel_node_value(n, &len);
    return v ? std::string(v, len) : std::string("<none>");
}

// Kind, style, tag id, flow bit and text of every node, in a form that does
// not depend on where the bytes live.
std::string shape(const zarvel_node *n) {
    if (!n) return "<null>";
    const zarvel_node_rec &rec = n->document->store->nodes[n->id];
    std::string out = "k" + std::to_string(rec.kind()) + "s" + std::to_string(rec.style()) + "t" +
                      std::to_string(zarvel_node_tag_id(n)) + (rec.is_flow() ? "F" : "") +
                      (rec.is_plain_implicit() ? "P" : "");
    if (rec.kind() == ZARVEL_KIND_SCALAR) return out + "'" + doc_test::escape(value_of(n)) + "'";
    out += "(";
    uint64_t count = zarvel_node_children(n, nullptr, 0);
    std::vector<zarvel_node *> kids(count);
    zarvel_node_children(n, kids.data(), count);
    for (uint64_t i = 0; i < count; ++i) out += (i ? " " : "") + shape(kids[i]);
    return out + ")";
}

std::string last_message() { return zarvel_last_error(nullptr, nullptr); }

std::string canonical(const zarvel_node *n);
std::string canonical_double(double v);

// ---- node mapping ------------------------------------------------------------

TEST(JsonDocument, SpecimenTrees) {
    struct row {
        const char *name;
        std::string text;
        const char *shape;
    };
    const row rows[] = {
        {"sequence of every scalar", " [1, 2.5, \"x\", true, null] ",
         "k1s0t6F(k0s1t1FP'1' k0s1t2FP'2.5' k0s3t0F'x' k0s1t3FP'true' k0s1t4FP'null')"},
        {"duplicate keys kept", R"({"a":1,"a":2})", "k2s0t7F(k0s3t0F'a' k0s1t1FP'1' k0s3t0F'a' k0s1t1FP'2')"},
        {"root string with escape", "\"a\\u00e9b\"", "k0s3t0'a\\xC3\\xA9b'"},
        {"root number", "42", "k0s1t1P'42'"},
        {"root float", " -1.5e3 ", "k0s1t2P'-1.5e3'"},
        {"root literal", "false", "k0s1t3P'false'"},
        {"root null", "null", "k0s1t4P'null'"},
        {"tab inside", "{\"a\":[\t1,2]}", "k2s0t7F(k0s3t0F'a' k1s0t6F(k0s1t1FP'1' k0s1t1FP'2'))"},
        {"empty containers", "[[],{}, [ ] ,{ }]", "k1s0t6F(k1s0t6F() k2s0t7F() k1s0t6F() k2s0t7F())"},
        {"escapes in keys and values", R"({"k\n":"\"\\\/\b\f\n\r\t"})",
         "k2s0t7F(k0s3t0F'k\\x0A' k0s3t0F'\\x22\\x5C/\\x08\\x0C\\x0A\\x0D\\x09')"},
        {"surrogate pair", R"(["\ud83d\ude00"])", "k1s0t6F(k0s3t0F'\\xF0\\x9F\\x98\\x80')"},
        {"escapes between long runs",
         R"(["abcdefghijklmnopqrstuvwxyz\u0041\u00e9\u20ac0123456789abcdef\\\"\ud83d\ude00x\u0000"])",
         "k1s0t6F(k0s3t0F'abcdefghijklmnopqrstuvwxyzA\\xC3\\xA9\\xE2\\x82\\xAC0123456789abcdef\\x5C\\x22\\xF0\\x9F\\x98\\x80x\\x00')"},
        {"escapes after runs of sixteen bytes and more",
         R"(["abcdefghijklmnopqrstuvwxyz\n0123456789abcdef\t0123456789abcdefghijklmnopqrstuv\/"])",
         "k1s0t6F(k0s3t0F'abcdefghijklmnopqrstuvwxyz\\x0A0123456789abcdef\\x090123456789abcdefghijklmnopqrstuv/')"},
        {"non-ASCII string", "[\"\xC3\xA9\"]", "k1s0t6F(k0s3t0F'\\xC3\\xA9')"},
        {"big and negative numbers", "[-0, 18446744073709551616, 1E5, 1e-5]",
         "k1s0t6F(k0s1t1FP'-0' k0s1t1FP'18446744073709551616' k0s1t2FP'1E5' k0s1t2FP'1e-5')"},
        {"empty string", R"([""])", "k1s0t6F(k0s3t0F'')"},
    };
    for (const row &r : rows) {
        parsed p(r.text);
        ASSERT_EQ(p.status, 0) << r.name;
        ASSERT_NE(p.d, nullptr) << r.name;
        EXPECT_EQ(zarvel_document_count(p.d), 1u) << r.name;
        EXPECT_EQ(shape(p.root()), r.shape) << r.name;
    }
}

TEST(JsonDocument, TextsRefertoTheCallersBuffer) {
    std::string text = R"({"plain":"in place","esc":"a\tb","n":12})";
    parsed p(text);
    ASSERT_EQ(p.status, 0);
    zarvel_node *root = p.root();
    uint64_t len = 0;
    const char *in_place = zarvel_node_value(zarvel_node_map_get(root, "plain", 5), &len);
    EXPECT_EQ(in_place, text.data() + text.find("in place"));
    const char *number = zarvel_node_value(zarvel_node_map_get(root, "n", 1), &len);
    EXPECT_EQ(number, text.data() + text.find("12"));
    const char *decoded = zarvel_node_value(zarvel_node_map_get(root, "esc", 3), &len);
    EXPECT_EQ(std::string(decoded, len), "a\tb");
    EXPECT_TRUE(decoded < text.data() || decoded >= text.data() + text.size());
    int64_t twelve = 0;
    EXPECT_EQ(zarvel_node_int(zarvel_node_map_get(root, "n", 1), &twelve), 0);
    EXPECT_EQ(twelve, 12);
}

// ---- statuses and messages -----------------------------------------------------

TEST(JsonDocument, Failures) {
    struct row {
        const char *name;
        std::string text;
        int32_t status;
        const char *message;
        uint64_t offset;
    };
    const row rows[] = {
        {"empty", "", 1, "not strict JSON at byte 0", 0},
        {"only whitespace", " \t\n ", 1, "not strict JSON at byte 4", 4},
        {"trailing comma", "[1,]", 1, "not strict JSON at byte 3", 3},
        {"two roots", "1 2", 1, "not strict JSON at byte 2", 2},
        {"bare word", "hello", 1, "not strict JSON at byte 0", 0},
        {"unclosed", "{\"a\":1", 1, "not strict JSON at byte 6", 6},
        {"single quotes", "['a']", 1, "not strict JSON at byte 1", 1},
        {"byte 0xFF in a string", "[\"a\xFF\"]", 4, "ill-formed UTF-8 at byte 3", 3},
        {"truncated sequence", "\"\xC3\"", 4, "ill-formed UTF-8 at byte 1", 1},
        {"overlong form", "[\"\xC0\xAF\"]", 4, "ill-formed UTF-8 at byte 2", 2},
        {"encoded surrogate", "\"\xED\xA0\x80\"", 4, "ill-formed UTF-8 at byte 1", 1},
        {"1001 levels", std::string(1001, '[') + std::string(1001, ']') + "\t", 3, "nesting depth exceeds the limit",
         1000},
        {"1001 levels unclosed", std::string(1001, '['), 3, "nesting depth exceeds the limit", 1000},
        {"fault at depth 300", std::string(300, '[') + "x", 1, "not strict JSON at byte 300", 300},
    };
    for (const row &r : rows) {
        zarvel_error_clear(zarvel_error_current());
        parsed p(r.text);
        EXPECT_EQ(p.d, nullptr) << r.name;
        EXPECT_EQ(p.status, r.status) << r.name;
        EXPECT_EQ(last_message(), r.message) << r.name;
        uint32_t line = 9, column = 9;
        zarvel_last_error(&line, &column);
        EXPECT_EQ(line, 0u) << r.name;
        EXPECT_EQ(column, 0u) << r.name;
        EXPECT_EQ(zarvel_error_current()->code, r.status == 1 ? 1u : uint32_t(r.status)) << r.name;
        EXPECT_EQ(zarvel_error_current()->offset, r.offset) << r.name;
    }
}

TEST(JsonDocument, ArgumentsAndNullPointer) {
    zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, "earlier");
    int32_t status = -1;
    EXPECT_EQ(zarvel_parse_json(nullptr, 3, &status), nullptr);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(last_message(), "earlier");
    EXPECT_EQ(zarvel_parse_json(nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(last_message(), "not strict JSON at byte 0");
    // The status pointer is optional.
    zarvel_document *d = zarvel_parse_json("[1]", 3, nullptr);
    EXPECT_NE(d, nullptr);
    zarvel_document_free(d);
    EXPECT_EQ(zarvel_parse_json("[", 1, nullptr), nullptr);
}

TEST(JsonDocument, SuccessKeepsTheErrorRecord) {
    parsed bad("[1,]");
    ASSERT_EQ(bad.status, 1);
    parsed good("[1]");
    ASSERT_EQ(good.status, 0);
    EXPECT_EQ(last_message(), "not strict JSON at byte 3");
}

// ---- the two roads -----------------------------------------------------------------

// Deferred where the tape is held; the indexed walk builds at once.
TEST(JsonDocument, TapeRoadIsDeferred) {
    std::string text = R"({"a":[1,2,{"b":null}],"c":"x\u0041"})";
    parsed p(text);
    ASSERT_EQ(p.status, 0);
    ASSERT_NE(p.d, nullptr);
    const bool deferred = !zarvel_kernels_get()->json_index;
    EXPECT_EQ(p.d->store == nullptr, deferred);
    EXPECT_EQ(p.d->source != nullptr, deferred);
    EXPECT_EQ(p.d->source_ops == &zvl::json_tape_source, deferred);
    EXPECT_EQ(zarvel_document_count(p.d), 1u);
    EXPECT_NE(p.d->store, nullptr);
    EXPECT_EQ(p.d->source, nullptr);
    EXPECT_EQ(render(p.root()), R"({"a":["1","2",{"b":"null"}],"c":"xA"})");
}

TEST(JsonDocument, DirectRoadBuildsAtOnce) {
    const char *scalars[] = {"42", "\"s\""};
    for (const char *text : scalars) {
        parsed p(text);
        ASSERT_EQ(p.status, 0) << text;
        EXPECT_NE(p.d->store, nullptr) << text;
        EXPECT_EQ(p.d->source, nullptr) << text;
        EXPECT_EQ(zarvel_document_count(p.d), 1u) << text;
    }
    const char *texts[] = {"42", "\"s\"", "[\t1]", "[\"\xC3\xA9\"]", "{\"a\":1}\t"};
    for (const char *text : texts) {
        parsed p(text, parsed::direct_road{});
        ASSERT_EQ(p.status, 0) << text;
        EXPECT_NE(p.d->store, nullptr) << text;
        EXPECT_EQ(p.d->source, nullptr) << text;
        EXPECT_EQ(zarvel_document_count(p.d), 1u) << text;
    }
}

// Where the indexed tape builder runs, tabs and UTF-8 strings stay on the
// tape road.
TEST(JsonDocument, IndexedTapeRoadTakesTabsAndUtf8) {
    if (!zarvel_kernels_get()->json_index) GTEST_SKIP() << "no vector classifier here";
    const char *texts[] = {"[\t1]", "[\"\xC3\xA9\"]", "{\"a\":1}\t"};
    for (const char *text : texts) {
        parsed p(text, parsed::tape_road{});
        ASSERT_NE(p.d, nullptr) << text;
        ASSERT_EQ(p.status, 0) << text;
        EXPECT_EQ(zarvel_document_count(p.d), 1u) << text;
    }
}

// A text of over a million nodes, containers open across many thousand
// records among them: the tape build writes a table this large through a
// window.
std::string many_nodes_text() {
    std::string text = "{\"rows\":[";
    for (int i = 0; i < 70000; ++i) text += "{\"id\":" + std::to_string(i) + R"(,"t":[1,[2,{}],"e\n"],"o":{"k":[]}},)";
    return text + "[]]}";
}

std::string dense_numbers_text() {
    std::string text = "[";
    for (int i = 0; i < 100000; ++i) text += std::to_string(i % 1000 * 7) + ",";
    return text + "0]";
}

// The same text down both roads gives the same nodes.
TEST(JsonDocument, BothRoadsAgree) {
    const std::string texts[] = {
        R"([1, 2.5, "x", true, false, null, -0, 1e5, 1E+5, 0.5e-3, 12345678901234567890])",
        R"({"a":{"b":{"c":[[],[{}]]}},"d":"\u00e9\ud83d\ude00\n","":""})",
        R"([{"k":"v"},{"k":[1,[2,[3]]]},"\\\"",-123])",
        R"({})",
        R"([])",
        "[\"\xC3\xA9\", \"a\xE2\x82\xAC\\n\"]\t",
        R"([[1,2],[3,[4,5],6],{"a":1,"b":"x"},[],[[]],{},[{"c":[true]}],["e\n",7]])",
        R"([[1],[1,2,3,4,5,6,7,8],[1,2,3,4,5,6,7,8,9],{"a":"","b":[""],"c":[[[]]]},[{},1,[2]],{"d":[{}]}])",
        many_nodes_text(),
        // Edges of the indexed walk: its deepest level, escaped keys, pairs
        // whole at the root and below, and a dense run over many chunks.
        std::string(256, '[') + "1" + std::string(256, ']'),
        R"({"a\nb":{"\u0041":[]},"c":[1,2],"d":[[1.5,-2]],"":{}})",
        "[1,2]",
        dense_numbers_text(),
    };
    for (const std::string &text_string : texts) {
        const char *text = text_string.c_str();
        const char *label = text_string.size() > 200 ? "(the generated text)" : text;
        // Without a vector classifier, UTF-8 texts take the direct road anyway.
        if (!zarvel_kernels_get()->json_index && std::strchr(text, '\xC3')) continue;
        parsed tape(text_string, parsed::tape_road{});
        parsed direct(text_string, parsed::direct_road{});
        ASSERT_NE(tape.d, nullptr) << label << ": expected the tape road";
        ASSERT_EQ(tape.status, 0) << label;
        ASSERT_EQ(direct.status, 0) << label;
        ASSERT_NE(direct.d->store, nullptr) << label << ": expected the direct road";
        EXPECT_EQ(shape(tape.root()), shape(direct.root())) << label;
        // The records themselves, links and counts included.
        const zarvel_node_store *a = zarvel_document_body(tape.d);
        const zarvel_node_store *b = direct.d->store;
        ASSERT_EQ(a->node_count, b->node_count) << label;
        EXPECT_TRUE(!a->props && !b->props) << label << ": JSON has no tags or anchors";
        for (uint32_t id = 0; id < a->node_count; ++id) {
            const zarvel_node_rec &x = a->nodes[id], &y = b->nodes[id];
            EXPECT_TRUE(x.flags == y.flags && x.tag_id == y.tag_id && x.number == y.number &&
                        x.first_child == y.first_child && x.last_child == y.last_child &&
                        x.next_sibling == y.next_sibling && x.child_count == y.child_count &&
                        (x.is_collection() || x.alias_target == y.alias_target) &&
                        zarvel_store_text(a, x.value) == zarvel_store_text(b, y.value))
                << label << " node " << id;
        }
    }
}

// Long arrays whose items are far apart at steps that change now and then:
// the children listed at once are the items read one by one.
TEST(JsonDocument, ChildrenOfLongArraysAreTheItemsByPosition) {
    static const char *const items[] = {"[1,2]", "[3,4]", "[5,6]", "7", "{\"a\":[8,[9]]}", "[]", "\"s\"", "[0,0]"};
    std::mt19937_64 random(82);
    for (int round = 0; round < 20; ++round) {
        std::string text = "[";
        uint64_t n = 33 + random() % 200;
        for (uint64_t i = 0; i < n; ++i) {
            if (i) text += ',';
            // Runs of one shape, so that the step between items holds a while.
            text += items[(i / (1 + round % 7) + round) % (sizeof items / sizeof *items)];
        }
        text += "]";
        parsed doc(text);
        ASSERT_EQ(doc.status, 0);
        zarvel_node *root = doc.root();
        std::vector<zarvel_node *> kids(n);
        ASSERT_EQ(zarvel_node_children(root, kids.data(), n), n);
        for (uint64_t i = 0; i < n; ++i) {
            zarvel_node *item = zarvel_node_seq_at(root, i);
            ASSERT_NE(kids[i], nullptr) << text << " " << i;
            EXPECT_EQ(zarvel_node_id(kids[i]), zarvel_node_id(item)) << text << " " << i;
        }
    }
}

// The fallback for a text the direct builder refuses is the YAML parse entry
// with decoding skipped and the direct composer; for JSON texts it reads the
// same tree.
TEST(JsonDocument, FallbackRoadReadsTheSameTree) {
    const char *texts[] = {R"({"a":[1,2.5,"x\ty"],"b":{"c":null,"d":true}})", R"([[],{},"\u00e9"])", "42", "\"s\""};
    zarvel_parse_switches switches;
    switches.skip_decoding = true;
    switches.composer = zarvel_composer_choice::direct;
    for (const char *text : texts) {
        parsed direct(text);
        int32_t status = -1;
        zarvel_document *fallback = zarvel_parse_internal(text, std::strlen(text), nullptr, switches, &status);
        ASSERT_EQ(status, 0) << text;
        ASSERT_NE(fallback, nullptr) << text;
        EXPECT_EQ(render(zarvel_document_root(fallback, 0)), render(direct.root())) << text;
        EXPECT_EQ(canonical(zarvel_document_root(fallback, 0)), canonical(direct.root())) << text;
        zarvel_document_free(fallback);
    }
}

TEST(JsonDocument, ConcurrentFirstAccessBuildsOnce) {
    std::string text = "[";
    for (int i = 0; i < 300; ++i) text += (i ? "," : "") + std::string("{\"k\":[") + std::to_string(i) + "]}";
    text += "]";
    for (int round = 0; round < 10; ++round) {
        parsed p(text);
        ASSERT_EQ(p.status, 0);
        if (!zarvel_kernels_get()->json_index) {
            ASSERT_EQ(p.d->store, nullptr);
        }
        std::string seen[2];
        std::thread t0([&] { seen[0] = shape(zarvel_document_root(p.d, 0)); });
        std::thread t1([&] { seen[1] = shape(zarvel_document_root(p.d, 0)); });
        t0.join();
        t1.join();
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_EQ(seen[0].substr(0, 9), "k1s0t6F(k");
        EXPECT_EQ(zarvel_document_count(p.d), 1u);
    }
}

TEST(JsonDocument, EditingAJsonDocument) {
    parsed p(R"({"a":[1,2]})");
    zarvel_node *root = p.root();
    zarvel_node *list = zarvel_node_map_get(root, "a", 1);
    EXPECT_EQ(zarvel_node_map_add(root, "b", 1, list), 1);  // parsed nodes are attached
    ASSERT_EQ(zarvel_node_seq_add(list, zarvel_node_new_scalar(p.d, "3", 1, 1)), 0);
    ASSERT_EQ(zarvel_node_seq_add(list, zarvel_node_new_scalar(p.d, "-0.5", 4, 1)), 0);
    EXPECT_EQ(render(root), R"({"a":["1","2","3","-0.5"]})");
    // Parsed numbers and the ones edited in read alike.
    for (const auto &[index, integer, real] : {std::tuple{0, int64_t(1), 1.0}, {2, 3, 3.0}, {3, -1, -0.5}}) {
        zarvel_node *n = zarvel_node_seq_at(list, uint64_t(index));
        int64_t i = -1;
        double f = -1;
        EXPECT_EQ(zarvel_node_int(n, &i), integer < 0 ? 1 : 0) << index;
        EXPECT_EQ(i, integer) << index;
        EXPECT_EQ(zarvel_node_float(n, &f), integer < 0 ? 0 : 1) << index;
        EXPECT_EQ(f, integer < 0 ? real : -1) << index;
    }
}

// Every JSON output and number read of a document, for comparing the same
// store with and without its parse's mark.
std::string outputs(zarvel_document *d) {
    std::string out;
    for (int form = 0; form < 3; ++form) {
        uint64_t n = 0;
        char *text = form == 2 ? zarvel_plain_json(d, &n, nullptr) : zarvel_serialize_json_ex(d, &n, form);
        out += (text ? std::string(text, n) : std::string("<failed>")) + "\n";
        zarvel_free(text);
    }
    const zarvel_node_store *store = d->store;
    for (uint32_t id = 0; id < store->node_count; ++id) {
        const zarvel_node *n = zarvel_document_node(d, id);
        int64_t i = 0;
        double f = 0;
        const int32_t int_status = zarvel_node_int(n, &i), float_status = zarvel_node_float(n, &f);
        out += std::to_string(int_status) + ":" + std::to_string(i) + " " + std::to_string(float_status) + ":" +
               canonical_double(f) + "\n";
        zarvel_node_view views[4];
        uint64_t count = 0;
        for (uint64_t first = 0;
             zarvel_node_child_views(n, first, ZARVEL_VIEW_NUMBERS, views, 4, &count) == 0 && first < count; first += 4)
            for (uint64_t k = 0; k < 4 && first + k < count; ++k)
                out += " " + std::to_string(views[k].number_kind) + ":" + std::to_string(views[k].number.integer);
    }
    return out;
}

// A JSON parse marks its store, whose in-place texts it checked: writers
// copy those strings without looking for escapes, the integer reads take
// long digit runs at once, and numbers keep their values. The answers are
// those of the unmarked store.
TEST(JsonDocument, MarkedStoresAnswerAsUnmarkedOnes) {
    std::string strings = "[", numbers = "[", nested;
    // Escapes of every kind, of letters only (written back decoded), of the
    // writers' own forms only (written back raw), of other forms.
    const char *escapes[] = {R"(\"\\\n\u0001\u2028)", R"(\u00e9\u30A2\/\ud83d\ude00)", R"(\"\\\b\f\n\r\t\u0001\u001f)",
                             R"(\n\u001F)", R"(\u0022\u005c\u000a\/\n)"};
    for (int n = 0; n <= 40; ++n) {
        std::string plain(size_t(n), 'a' + char(n % 26));
        strings += "\"" + plain + "\",\"\x7F\xE2\x80\xA8" + plain + "\",";
        for (const char *e : escapes)
            strings += "\"" + plain.substr(0, size_t(n / 2)) + e + plain.substr(size_t(n / 2)) + "\",";
    }
    strings += "\"\"]";
    for (int digits = 1; digits <= 21; ++digits) {
        const std::string run = "9" + std::string(size_t(digits - 1), '1');
        numbers += run + ",-" + run + "," + run + ".5,";
    }
    numbers +=
        "9223372036854775807,9223372036854775808,-9223372036854775808,-9223372036854775809,-0,0,-0.0,0.1,"
        "-65.613616999999977,1e5,2.5E-3,2.2250738585072011e-308,5e-324,1e309,-1e-400,9007199254740993.0,"
        "0.30000000000000004,43.420273000000009,-0.000012345678901234,99.999999999999993,1234567.8000000000,"
        "123456789012345678901234567890.5,1.00000000000000011102230246251565404236316680908203125]";
    for (int level = 0; level < 300; ++level) nested += "[\"k\\\"" + std::to_string(level) + "\",12345678901234567,";
    nested += "0" + std::string(300, ']');
    std::string maps;
    for (int level = 0; level < 300; ++level)
        maps += "{\"a" + std::to_string(level) + "\":[" + std::to_string(level) + ",{}],\"k\":";
    maps += "[]" + std::string(300, '}');
    // Pairs of numbers, the ones of two kept values written whole.
    const std::string pairs =
        "[[-65.613616999999977,43.420273000000009],[0.30000000000000004,1e309],[0.1,7],"
        "[99.999999999999993,-0.000012345678901234,1.5]," +
        std::string(70, '[') + "9007199254740993.0,-2.2250738585072011e-308" + std::string(71, ']');
    const std::string texts[] = {strings, numbers, nested, maps, pairs, "\"scalar\"", "12345678901234567890"};
    for (const std::string &text : texts) {
        for (int road = 0; road < 2; ++road) {
            parsed p = road ? parsed(text, parsed::direct_road{}) : parsed(text);
            ASSERT_EQ(p.status, 0) << text.substr(0, 80);
            zarvel_node_store *store = zarvel_document_body(p.d);
            ASSERT_EQ(store->json_checked, 1u);
            uint32_t forms = 0;
            for (uint32_t id = 0; id < store->node_count; ++id) forms |= 1u << store->nodes[id].json_text;
            if (text == strings) {
                EXPECT_EQ(forms, 7u) << road;
            }
            const std::string marked = outputs(p.d);
            if (text == nested || text == maps) {
                EXPECT_NE(marked.find("\n" + text + "\n"), std::string::npos) << road;  // compact: the text
            }
            store->json_checked = 0;
            uint32_t kept = 0;
            for (uint32_t id = 0; id < store->node_count; ++id) {
                zarvel_node_rec &rec = store->nodes[id];
                if (rec.number == zvl::record_number::text) continue;
                ++kept;
                rec.number = zvl::record_number::text;
                rec.first_child = rec.last_child = zarvel_node_none;
            }
            if (text == numbers) {
                EXPECT_GT(kept, 50u) << road;
            }
            EXPECT_EQ(marked, outputs(p.d)) << road << " " << text.substr(0, 80);
        }
    }
    // Texts edited in go to string storage, and other builds leave the mark
    // unset: their texts are written with escapes.
    parsed edited(R"(["a"])");
    ASSERT_EQ(zarvel_node_seq_add(edited.root(), zarvel_node_new_scalar(edited.d, "q\"\n", 3, 3)), 0);
    const uint8_t cbor[] = {0x62, '"', '\\'};
    const std::pair<zarvel_document *, const char *> others[] = {
        {edited.d, R"(["a", "q\"\n"])"},
        {zarvel_parse("[a\"b]", 5, nullptr), R"(["a\"b"])"},
        {zarvel_cbor_decode(cbor, sizeof cbor, 0, nullptr), R"("\"\\")"}};
    for (auto [d, json] : others) {
        EXPECT_TRUE(outputs(d).starts_with(std::string(json) + "\n")) << json;
        EXPECT_EQ(d->store->json_checked, d == edited.d ? 1u : 0u) << json;
        if (d != edited.d) zarvel_document_free(d);
    }
}


// ---- conformance -----------------------------------------------------------------------

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::filesystem::path> suite_files(char prefix) {
    std::vector<std::filesystem::path> files;
    std::filesystem::path dir = corpus::path("json-test-suite");
    if (!std::filesystem::is_directory(dir)) return files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 2 && name[0] == prefix && name[1] == '_') files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string canonical_string(std::string_view s) { return "\"" + doc_test::escape(s) + "\""; }

std::string canonical_double(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Our tree in a canonical notation: numbers by value, strings by bytes.
std::string canonical(const zarvel_node *n) {
    switch (zarvel_node_kind(n)) {
    case ZARVEL_NODE_SEQUENCE: {
        std::string out = "[";
        for (uint64_t i = 0; i < zarvel_node_seq_count(n); ++i) out += canonical(zarvel_node_seq_at(n, i)) + ",";
        return out + "]";
    }
    case ZARVEL_NODE_MAPPING: {
        std::string out = "{";
        for (uint64_t i = 0; i < zarvel_node_map_count(n); ++i) {
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(n, i, &k, &v);
            out += canonical(k) + ":" + canonical(v) + ",";
        }
        return out + "}";
    }
    default: break;
    }
    std::string text = value_of(n);
    switch (zarvel_node_tag_id(n)) {
    case ZARVEL_TAG_NULL: return "null";
    case ZARVEL_TAG_BOOL: return text == "true" ? "true" : "false";
    case ZARVEL_TAG_INT: {
        errno = 0;
        char *end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (errno == 0 && *end == 0) return std::to_string(v);
        errno = 0;
        unsigned long long u = std::strtoull(text.c_str(), &end, 10);
        if (errno == 0 && *end == 0 && text[0] != '-') return std::to_string(u);
        return canonical_double(std::strtod(text.c_str(), nullptr));
    }
    case ZARVEL_TAG_FLOAT: return canonical_double(std::strtod(text.c_str(), nullptr));
    case ZARVEL_TAG_STR: return canonical_string(text);
    default: return "<tag " + std::to_string(zarvel_node_tag_id(n)) + ">";
    }
}

#if HAVE_ORACLE
// The oracle's reading in the same notation, through its event interface so
// that duplicate keys and member order are kept.
struct oracle_sax : nlohmann::json::json_sax_t {
    std::string out;
    bool null() override { return add("null"); }
    bool boolean(bool v) override { return add(v ? "true" : "false"); }
    bool number_integer(number_integer_t v) override { return add(std::to_string(v)); }
    bool number_unsigned(number_unsigned_t v) override { return add(std::to_string(v)); }
    bool number_float(number_float_t v, const string_t &) override { return add(canonical_double(v)); }
    bool string(string_t &v) override { return add(canonical_string(v)); }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return open("{"); }
    bool key(string_t &v) override {
        out += canonical_string(v) + ":";
        return true;
    }
    bool end_object() override { return add("}"); }
    bool start_array(std::size_t) override { return open("["); }
    bool end_array() override { return add("]"); }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }

    // Every value and every closing bracket is followed by ",", as in
    // canonical(); the root's trailing "," is dropped by the caller.
    bool add(const std::string &s) {
        out += s + ",";
        return true;
    }
    bool open(const char *s) {
        out += s;
        return true;
    }
};

std::string oracle_reading(const std::string &text, bool *accepted) {
    oracle_sax sax;
    *accepted = nlohmann::json::sax_parse(text, &sax, nlohmann::json::input_format_t::json, true);
    std::string out = sax.out;
    if (!out.empty() && out.back() == ',') out.pop_back();
    return out;
}
#endif

TEST(JsonConformance, AcceptedFilesMatchTheOracle) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
#if !HAVE_ORACLE
    GTEST_SKIP() << "nlohmann/json.hpp not installed (Debian nlohmann-json3-dev)";
#else
    auto files = suite_files('y');
    ASSERT_GT(files.size(), 90u) << "JSON test suite not found";
    for (const auto &path : files) {
        std::string text = read_file(path);
        parsed p(text);
        ASSERT_EQ(p.status, 0) << path.filename() << ": " << last_message();
        ASSERT_NE(p.d, nullptr) << path.filename();
        EXPECT_EQ(zarvel_document_count(p.d), 1u) << path.filename();
        bool accepted = false;
        std::string expected = oracle_reading(text, &accepted);
        ASSERT_TRUE(accepted) << path.filename() << ": the oracle refused it";
        std::string ours = canonical(p.root());
        EXPECT_EQ(ours, expected) << path.filename();
    }
#endif
}

TEST(JsonConformance, RefusedFilesGiveNull) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    auto files = suite_files('n');
    ASSERT_GT(files.size(), 150u) << "JSON test suite not found";
    for (const auto &path : files) {
        std::string text = read_file(path);
        parsed p(text);
        EXPECT_EQ(p.d, nullptr) << path.filename();
        EXPECT_TRUE(p.status == 1 || p.status == 3 || p.status == 4) << path.filename() << ": status " << p.status;
    }
}

TEST(JsonConformance, EitherWayFilesDoNotCrash) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    for (const auto &path : suite_files('i')) {
        std::string text = read_file(path);
        parsed p(text);
        if (p.d) {
            EXPECT_EQ(p.status, 0) << path.filename();
            EXPECT_EQ(zarvel_document_count(p.d), 1u) << path.filename();
            canonical(p.root());
        } else {
            EXPECT_TRUE(p.status == 1 || p.status == 3 || p.status == 4) << path.filename() << ": status " << p.status;
        }
    }
}

// The outcome follows the validator and the UTF-8 check exactly, whichever
// road a text takes: checked over the suite's files and many mutations of
// them (deletions, insertions and replacements of the bytes JSON cares for).
TEST(JsonConformance, OutcomeFollowsTheValidator) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    std::vector<std::string> seeds;
    for (char prefix : {'y', 'n', 'i'})
        for (const auto &path : suite_files(prefix)) seeds.push_back(read_file(path));
    seeds.push_back(R"({"a":[1,2.5e3,{"b":null,"c":[true,false]}],"d":"x\u00e9\n"})");
    seeds.push_back("[\"\xC3\xA9\", {\"k\": [ -0.5 , 12 ]}]");
    for (int levels : {254, 255, 256, 999, 1000, 1001}) {
        std::string deep = std::string(levels, '[') + std::string(levels, ']');
        seeds.push_back(deep);
        seeds.push_back(deep + "\t");
        seeds.push_back("\t" + std::string(levels, '['));
    }
    const char alphabet[] = "[]{},:\"\\ \t\n0-1.eEtfnu\xC3\xA9\xFF\x01";
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state](uint64_t bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return bound ? state % bound : 0;
    };
    std::vector<std::string> texts = seeds;
    for (const std::string &seed : seeds) {
        if (seed.empty() || seed.size() > 4096) continue;
        for (int m = 0; m < 12; ++m) {
            std::string t = seed;
            int edits = 1 + int(next(3));
            for (int e = 0; e < edits && !t.empty(); ++e) {
                uint64_t at = next(t.size());
                char c = alphabet[next(sizeof alphabet - 1)];
                switch (next(3)) {
                case 0: t.erase(at, 1); break;
                case 1: t.insert(t.begin() + at, c); break;
                default: t[at] = c; break;
                }
            }
            texts.push_back(t);
        }
    }
    size_t accepted = 0;
    for (const std::string &t : texts) {
        // The validator with the document's 1000 levels.
        zvl::json_validation v = zvl::json_validate(t.data(), t.size(), 1000);
        bool valid = v.valid;
        uint64_t failed_at = v.failed_at;
        uint64_t bad = 0;
        bool utf8 = zarvel_validate_utf8(t.data(), t.size(), &bad, false);
        parsed p(t);
        int32_t expected = v.too_deep ? 3 : !valid ? 1 : !utf8 ? 4 : 0;
        ASSERT_EQ(p.status, expected) << doc_test::escape(t.substr(0, 80));
        if (expected == 1) {
            EXPECT_EQ(last_message(), "not strict JSON at byte " + std::to_string(failed_at))
                << doc_test::escape(t.substr(0, 80));
        }
        if (expected == 4) {
            EXPECT_EQ(last_message(), "ill-formed UTF-8 at byte " + std::to_string(bad))
                << doc_test::escape(t.substr(0, 80));
        }
        if (expected == 0) {
            accepted += 1;
            EXPECT_EQ(zarvel_document_count(p.d), 1u);
        }
    }
    EXPECT_GT(accepted, 200u);
    EXPECT_GT(texts.size(), 3000u);
}

// ---- failure injection --------------------------------------------------------------------

// zarvel_parse takes a JSON object or array by the tape road when the YAML
// reader would read the same nodes from it, and leaves the rest to the YAML
// road: both give the same status, tree and outputs for every text.
std::string yaml_reading(zarvel_document *d) {
    if (!d) return "<none>";
    uint64_t n = 0;
    char *yaml = zarvel_serialize(d, &n);
    std::string out = shape(zarvel_document_root(d, 0)) + "\n" + (yaml ? std::string(yaml, n) : "<failed>") + "\n";
    zarvel_free(yaml);
    return out + outputs(d);
}

// routed: 1 or 0 when the tape road must or must not be taken, -1 either.
void expect_same_as_yaml_road(const std::string &text, int routed, const std::string &label) {
    int32_t status = -1, yaml_status = -1;
    zarvel_document *d = zarvel_parse(text.data(), text.size(), &status);
    // Only the JSON roads build at once, and the YAML road leaves a log.
    const bool took_tape = d && (d->store ? d->store->json_checked != 0 : d->source_ops == &zvl::json_tape_source);
    if (routed >= 0) {
        EXPECT_EQ(took_tape, routed == 1) << label;
    }
    zarvel_document *y =
        zarvel_parse_internal(text.data(), text.size(), nullptr, zarvel_parse_switches{}, &yaml_status);
    EXPECT_EQ(status, yaml_status) << label;
    if (d && y) {
        EXPECT_EQ(yaml_reading(d), yaml_reading(y)) << label;
    }
    zarvel_document_free(d);
    zarvel_document_free(y);
}

TEST(JsonDocument, YamlEntryReadsJsonTextsAsTheYamlRoad) {
    const bool indexed = zarvel_kernels_get()->json_index != nullptr;
    const std::string key1022(1022, 'k'), key1023(1023, 'k');
    const struct {
        std::string text;
        bool routed;
    } cases[] = {
        {R"({"a":[1,2.5,-0,1e5,1E+5,0.5e-3,12345678901234567890,true,false,null],"b":{"c":[[],{}]},"":""})", true},
        {"{\r\n\t\"a\"\t:\t[ 1 ,\n\t2 ]\r\n}\r\n", true},
        {R"(["\"\\\/\b\f\n\r\t\u0001\u00e9\ud83d\ude00", "a\u2028"])", true},
        {"{\"" + key1022 + "\": [\"" + key1023 + "\"]}", true},  // a key at the limit; a long item
        {"[{\"" + key1023 + "\": 1}]", false},                   // a key past it: YAML refuses
        {"[\"\x7F\"]", false},                                   // not printable in YAML
        {"[\"\xC2\x80\"]", false},
        {"[\"\xEF\xBF\xBE\"]", false},
        {"[\"\xC2\x85\xC3\xA9\xE3\x81\x82\"]", indexed},
        {"\xEF\xBB\xBF[1]", false},  // a byte order mark: decoded by the YAML road
        {std::string(300, '[') + std::string(300, ']'), false},
        {"[1] # comment", false},
        {"[a, b]", false},
        {"[1,]", false},
    };
    for (const auto &c : cases)
        expect_same_as_yaml_road(c.text, c.routed && (indexed || c.text.find('\t') == std::string::npos) ? 1 : 0,
                                 c.text.size() > 200 ? c.text.substr(0, 60) + "..." : c.text);
    // Options that read otherwise take the YAML road.
    for (const zarvel_parse_options options : {zarvel_parse_options{1, 0}, zarvel_parse_options{0, 2}}) {
        int32_t status = -1;
        zarvel_document *d = zarvel_parse_ex("[[[1]]]", 7, &options, &status);
        EXPECT_TRUE(!d || d->source_ops != &zvl::json_tape_source) << options.schema << options.max_depth;
        EXPECT_EQ(status, options.max_depth ? ZARVEL_TOO_DEEP : ZARVEL_OK);
        zarvel_document_free(d);
    }
    // Every file of the JSON test suite reads alike down both roads.
    for (char prefix : {'y', 'i', 'n'})
        for (const auto &path : suite_files(prefix))
            expect_same_as_yaml_road(read_file(path), -1, path.filename().string());
}

TEST(JsonFailure, EveryAllocation) {
    std::string big = "{";
    for (int i = 0; i < 300; ++i)
        big += (i ? "," : "") + std::string("\"key") + std::to_string(i) + "\":[\"v\\n" + std::to_string(i) + "\",1.5]";
    big += "}";
    const std::string texts[] = {
        big,                               // tape road (built by the walk, or deferred)
        big + "\t",                        // direct road
        "\"a\\u00e9b\"",                   // direct root string with escape
        "[\"\xC3\xA9\", {\"x\":[true]}]",  // direct road (non-ASCII)
        "[1,]",                            // refused
        "[\"\xFF\"]",                      // ill-formed UTF-8
    };
    for (const std::string &text : texts) {
        std::string expected;
        int32_t final_status = 0;
        {
            parsed p(text);
            final_status = p.status;
            if (p.d) expected = shape(p.root());
        }
        for (uint64_t n = 1;; ++n) {
            zvl::testing::fail_allocation(n);
            int32_t status = -1;
            zarvel_document *d = zarvel_parse_json(text.data(), text.size(), &status);
            uint32_t count = d ? zarvel_document_count(d) : 0;
            uint64_t seen = zvl::testing::fail_allocation(0);
            if (d) {
                EXPECT_EQ(status, 0);
                // A failed deferred build answers as empty and is retried.
                if (count == 0) {
                    EXPECT_EQ(zarvel_document_count(d), 1u) << text.substr(0, 20) << " n=" << n;
                }
                EXPECT_EQ(shape(zarvel_document_root(d, 0)), expected) << text.substr(0, 20) << " n=" << n;
            } else {
                EXPECT_TRUE(status == ZARVEL_NO_MEMORY || status == final_status)
                    << text.substr(0, 20) << " n=" << n << " status " << status;
            }
            zarvel_document_free(d);
            if (seen < n) {
                EXPECT_EQ(status, final_status) << text.substr(0, 20);
                break;
            }
            ASSERT_LT(n, 100000u);
        }
    }
}

}  // namespace
