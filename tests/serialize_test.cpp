// Serialiser: exact outputs of the block, canonical and JSON modes, the
// scalar form choice, the targets (allocated, caller's buffer, stream), and
// failure injection over every allocation of a call.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "cbor/encode.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"
#include "emit/format_double.hpp"
#include "emit/scalar_style.hpp"
#include "emit/serialize.hpp"
#include "zarvel.h"

namespace {

using zvl::scalar_form;

constexpr uint8_t kPlain = 1, kSingle = 2, kDouble = 3, kLiteral = 4, kFolded = 5;

// Builds a document straight into a node store, the way the composer does.
class tree {
  public:
    tree() {
        doc_ = zarvel_document_alloc(&zarvel_default_allocator);
        store_ = zarvel_store_new(&zarvel_default_allocator);
        doc_->store = store_;
    }
    ~tree() { zarvel_document_free(doc_); }
    tree(const tree &) = delete;
    tree &operator=(const tree &) = delete;

    zarvel_document *doc() { return doc_; }

    // A scalar; tag id from the core resolver for plain untagged texts.
    uint32_t scalar(std::string_view text, uint8_t style = kPlain, std::string_view tag = {},
                    std::string_view anchor = {}, int tag_id = -1) {
        bool implicit = style == kPlain && tag.empty();
        uint8_t id_of = tag_id >= 0 ? uint8_t(tag_id)
                        : implicit  ? zarvel_core_resolver.text(nullptr, text.data(), uint32_t(text.size()))
                                    : uint8_t(ZARVEL_TAG_STR);
        uint32_t id = add(zvl::node_flag::make(ZARVEL_KIND_SCALAR, style, false, implicit), id_of, tag, anchor);
        node(id).value = zarvel_store_put_text(store_, text.data(), text.size(), false);
        return id;
    }
    uint32_t seq(std::initializer_list<uint32_t> items, bool flow = false, std::string_view tag = {},
                 std::string_view anchor = {}) {
        uint32_t id = add(zvl::node_flag::make(ZARVEL_KIND_SEQUENCE, 0, flow, false), ZARVEL_TAG_SEQ, tag, anchor);
        for (uint32_t item : items) zvl::tree::append(store_, id, item);
        return id;
    }
    uint32_t map(std::initializer_list<uint32_t> keys_and_values, bool flow = false, std::string_view tag = {},
                 std::string_view anchor = {}) {
        uint32_t id = add(zvl::node_flag::make(ZARVEL_KIND_MAPPING, 0, flow, false), ZARVEL_TAG_MAP, tag, anchor);
        for (uint32_t child : keys_and_values) zvl::tree::append(store_, id, child);
        return id;
    }
    uint32_t alias(std::string_view name, uint32_t target) {
        uint32_t id = add(zvl::node_flag::make(ZARVEL_KIND_ALIAS, 0, false, false), 0, {}, {});
        node(id).value = zarvel_store_put_text(store_, name.data(), name.size(), false);
        node(id).alias_target = target;
        return id;
    }
    tree &root(uint32_t id) {
        EXPECT_TRUE(zarvel_store_add_root(store_, id));
        return *this;
    }

    std::string yaml(const zarvel_serialize_options *options = nullptr) {
        uint64_t n = 12345;
        char *text = zarvel_serialize_ex(doc_, options, &n);
        EXPECT_NE(text, nullptr);
        if (!text) return "<null>";
        EXPECT_EQ(std::strlen(text), n);
        std::string out(text, n);
        zarvel_free(text);
        return out;
    }
    std::string canonical() {
        zarvel_serialize_options o{sizeof o, 1, 0, 0, 0, 0};
        return yaml(&o);
    }
    std::string json(bool compact = false) {
        uint64_t n = 12345;
        char *text = zarvel_serialize_json_ex(doc_, &n, compact);
        EXPECT_NE(text, nullptr);
        if (!text) return "<null>";
        std::string out(text, n);
        zarvel_free(text);
        return out;
    }

  private:
    zarvel_node_rec &node(uint32_t id) { return zarvel_store_node(store_, id); }
    uint32_t add(uint8_t flags, uint8_t tag_id, std::string_view tag, std::string_view anchor) {
        uint32_t id = zvl::tree::add(store_);
        EXPECT_NE(id, zarvel_node_none);
        node(id).flags = flags;
        node(id).tag_id = tag_id;
        EXPECT_TRUE(zvl::tree::set_tag(store_, id, zarvel_store_put_text(store_, tag.data(), tag.size(), false)));
        EXPECT_TRUE(
            zvl::tree::set_anchor(store_, id, zarvel_store_put_text(store_, anchor.data(), anchor.size(), false)));
        return id;
    }
    zarvel_document *doc_;
    zarvel_node_store *store_;
};

// ---- exact outputs ---------------------------------------------------------

TEST(Serialize, EmptyStreamIsEmptyInEveryMode) {
    tree t;
    EXPECT_EQ(t.yaml(), "");
    EXPECT_EQ(t.canonical(), "");
    EXPECT_EQ(t.json(), "");
    EXPECT_EQ(zarvel_serialize_into(t.doc(), nullptr, 0), 0u);
}

TEST(Serialize, BlockMappingWithSequence) {
    tree t;
    t.root(t.map({t.scalar("a"), t.scalar("1"), t.scalar("b"), t.seq({t.scalar("x"), t.scalar("y")})}));
    EXPECT_EQ(t.yaml(), "a: 1\nb:\n- x\n- y\n");
    EXPECT_EQ(t.json(), "{\"a\": 1, \"b\": [\"x\", \"y\"]}\n");
    EXPECT_EQ(t.json(true), "{\"a\":1,\"b\":[\"x\",\"y\"]}\n");
    EXPECT_EQ(t.canonical(), "---\n{\"a\": 1, \"b\": [\"x\", \"y\"]}\n");
}

TEST(Serialize, NestedBlockCollections) {
    tree t;
    uint32_t inner = t.map({t.scalar("c"), t.scalar("d"), t.scalar("e"), t.scalar("")});
    uint32_t items = t.seq({t.seq({t.scalar("p"), t.scalar("q")}),
                            t.map({t.scalar("k"), t.scalar("v"), t.scalar("l"), t.scalar("w")}), t.scalar("")});
    t.root(t.map({t.scalar("a"), inner, t.scalar("s"), items}));
    EXPECT_EQ(t.yaml(), "a:\n  c: d\n  e:\ns:\n- - p\n  - q\n- k: v\n  l: w\n-\n");
}

TEST(Serialize, DocumentMarkers) {
    {
        tree t;
        t.root(t.scalar("a")).root(t.scalar("b"));
        EXPECT_EQ(t.yaml(), "---\na\n---\nb\n");
    }
    {
        tree t;
        t.root(t.scalar("value"));
        zarvel_serialize_options o{sizeof o, 0, 0, 1, 0, 0};
        EXPECT_EQ(t.yaml(&o), "--- value\n");
    }
    {
        tree t;
        t.root(t.seq({t.scalar("x")}));
        zarvel_serialize_options o{sizeof o, 0, 0, 1, 0, 0};
        EXPECT_EQ(t.yaml(&o), "---\n- x\n");
        zarvel_serialize_options small{8, 0, 0, 1, 0, 0};  // too small: counts as absent
        EXPECT_EQ(t.yaml(&small), "- x\n");
    }
    {
        // A lone empty document keeps its marker so that it reads back.
        tree t;
        t.root(t.scalar(""));
        EXPECT_EQ(t.yaml(), "---\n");
    }
}

TEST(Serialize, PlainFallbacks) {
    struct row {
        const char *text;
        const char *written;
    };
    const row rows[] = {
        {"---", "'---'\n"},
        {"...", "'...'\n"},
        {"a: b", "'a: b'\n"},
        {"# x", "'# x'\n"},
        {" lead", "' lead'\n"},
        {"-", "'-'\n"},
        {"a:", "'a:'\n"},
        {"it's", "it's\n"},
        {"'q", "'''q'\n"},
        {"a\tb", "\"a\\tb\"\n"},
        {"a\nb", "\"a\\nb\"\n"},
        {"bel\a", "\"bel\\a\"\n"},
        {"a #b", "'a #b'\n"},
        {"a#b", "a#b\n"},
        {"- x", "'- x'\n"},
        {"-x", "-x\n"},
        {"key: value: more", "'key: value: more'\n"},
        {"url:http://x", "url:http://x\n"},
        {"trail ", "'trail '\n"},
        {"[a]", "'[a]'\n"},
        {"*x", "'*x'\n"},
        {"%x", "'%x'\n"},
        {"#'x'", "'#''x'''\n"},
    };
    for (const row &r : rows) {
        tree t;
        t.root(t.scalar(r.text, kPlain, {}, {}, ZARVEL_TAG_STR));
        EXPECT_EQ(t.yaml(), std::string("---\n").substr(0, 0) + r.written) << r.text;
    }
}

TEST(Serialize, EmptyScalars) {
    tree t;
    t.root(t.map({t.scalar("key"), t.scalar(""), t.scalar(""), t.scalar("v"), t.scalar("s"),
                  t.seq({t.scalar(""), t.scalar("x")})}));
    EXPECT_EQ(t.yaml(), "key:\n~: v\ns:\n-\n- x\n");
}

// Local tags whose short form would not read back are written verbatim: a
// later "!" would name an undeclared handle, a "," would end the tag early.
TEST(Serialize, LocalTagsReadBack) {
    struct row {
        const char *input, *written, *tag;
    };
    const row rows[] = {
        {"%TAG !m! !my-\n---\n!m!m!light x\n", "!<!my-m!light> x\n", "!my-m!light"},
        {"!<!ba,> baz\n", "!<!ba,> baz\n", "!ba,"},
        {"!<!a%2Cb> x\n", "!<!a,b> x\n", "!a,b"},
        {"!local x\n", "!local x\n", "!local"},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse(r.input, std::strlen(r.input), &status);
        ASSERT_NE(doc, nullptr) << r.input;
        uint64_t n = 0;
        char *text = zarvel_serialize(doc, &n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, n), r.written);
        zarvel_document *again = zarvel_parse(text, n, &status);
        ASSERT_NE(again, nullptr) << text;
        uint64_t tag_length = 0;
        const char *tag = zarvel_node_tag(zarvel_document_root(again, 0), &tag_length);
        EXPECT_EQ(std::string(tag ? tag : "", tag_length), r.tag) << r.input;
        zarvel_document_free(again);
        zarvel_free(text);
        zarvel_document_free(doc);
    }
}

// Through the parser and back: an empty null key stays a null key, in block
// and flow form; a tagged empty key stays the empty text.
TEST(Serialize, EmptyNullKeysReadBackAsNull) {
    struct row {
        const char *input;
        const char *written;
        int key_tag;
        const char *key_text;  // after reading the output back
    };
    const row rows[] = {
        {"? \n: v\n", "~: v\n", ZARVEL_TAG_NULL, "~"},
        {"{? : v}\n", "{~: v}\n", ZARVEL_TAG_NULL, "~"},
        {"? !!str\n: v\n", "!<tag:yaml.org,2002:str> \"\": v\n", ZARVEL_TAG_STR, ""},
        {"? &a\n: v\n", "&a ~: v\n", ZARVEL_TAG_NULL, "~"},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse(r.input, std::strlen(r.input), &status);
        ASSERT_NE(doc, nullptr) << r.input;
        uint64_t n = 0;
        char *text = zarvel_serialize(doc, &n);
        ASSERT_NE(text, nullptr) << r.input;
        EXPECT_EQ(std::string(text, n), r.written) << r.input;
        zarvel_document *again = zarvel_parse(text, n, &status);
        ASSERT_NE(again, nullptr) << text;
        zarvel_node *key = nullptr, *value = nullptr;
        ASSERT_EQ(zarvel_node_map_at(zarvel_document_root(again, 0), 0, &key, &value), 0) << r.input;
        EXPECT_EQ(zarvel_node_tag_id(key), r.key_tag) << r.input;
        uint64_t kl = 0;
        const char *kt = zarvel_node_value(key, &kl);
        EXPECT_EQ(std::string(kt ? kt : "", kl), r.key_text) << r.input;
        zarvel_document_free(again);
        zarvel_free(text);
        zarvel_document_free(doc);
    }
}

// JSON output is always JSON: infinite and NaN floats become the strings of
// their texts, which zarvel_parse_json reads back.
TEST(Serialize, JsonOfNonFiniteFloatsIsJson) {
    const char *input = "[.inf, -.Inf, +.INF, .nan, .NaN, 1e999, -1e999, 2.5]\n";
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse(input, std::strlen(input), &status);
    ASSERT_NE(doc, nullptr);
    for (int32_t compact : {0, 1}) {
        uint64_t n = 0;
        char *json = zarvel_serialize_json_ex(doc, &n, compact);
        ASSERT_NE(json, nullptr);
        EXPECT_EQ(std::string(json, n),
                  compact ? "[\".inf\",\"-.Inf\",\"+.INF\",\".nan\",\".NaN\",\"1e999\",\"-1e999\",2.5]\n"
                          : "[\".inf\", \"-.Inf\", \"+.INF\", \".nan\", \".NaN\", \"1e999\", \"-1e999\", 2.5]\n");
        zarvel_document *again = zarvel_parse_json(json, n, &status);
        ASSERT_NE(again, nullptr) << json;
        zarvel_node *root = zarvel_document_root(again, 0);
        ASSERT_EQ(zarvel_node_seq_count(root), 8u);
        for (uint64_t i = 0; i < 7; ++i)
            EXPECT_EQ(zarvel_node_tag_id(zarvel_node_seq_at(root, i)), ZARVEL_TAG_STR) << i;
        EXPECT_EQ(zarvel_node_tag_id(zarvel_node_seq_at(root, 7)), ZARVEL_TAG_FLOAT);
        zarvel_document_free(again);
        zarvel_free(json);
    }
    zarvel_document_free(doc);
}

TEST(Serialize, EscapedCharacters) {
    struct row {
        std::string text;
        uint8_t style;
        const char *written;
    };
    const row rows[] = {
        {"a\xE2\x80\xA8"
         "b",
         kPlain, "\"a\\Lb\"\n"},
        {"a\xE2\x80\xA9", kSingle, "\"a\\P\"\n"},
        {"x\xC2\x85y", kPlain, "\"x\\Ny\"\n"},
        {"\xEF\xBB\xBFz", kPlain, "\"\\uFEFFz\"\n"},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", kPlain, "\"\\uFFFE\\uFFFF\"\n"},
        {"c1\xC2\x80", kPlain, "\"c1\\x80\"\n"},
        {std::string("nul\0e\x1b", 6), kDouble, "\"nul\\0e\\e\"\n"},
        {"q\"b\\", kDouble, "\"q\\\"b\\\\\"\n"},
        {"\x01\x7f\r\x0b\x0c\x08", kDouble, "\"\\x01\\x7f\\r\\v\\f\\b\"\n"},
        {"caf\xC3\xA9", kDouble, "\"caf\xC3\xA9\"\n"},
        {"single\x01", kSingle, "\"single\\x01\"\n"},
    };
    for (const row &r : rows) {
        tree t;
        t.root(t.scalar(r.text, r.style, {}, {}, ZARVEL_TAG_STR));
        EXPECT_EQ(t.yaml(), r.written) << r.text;
    }
}

TEST(Serialize, LiteralBlockScalars) {
    struct row {
        std::string text;
        uint8_t style;
        const char *written;  // as the value of key k at the root
    };
    const row rows[] = {
        {"a\n\n", kLiteral, "k: |+\n  a\n\n"},
        {"a", kLiteral, "k: a\n"},
        {"a\nb\n", kLiteral, "k: |\n  a\n  b\n"},
        {"a\nb", kFolded, "k: |-\n  a\n  b\n"},
        {" a\nb\n", kLiteral, "k: |2\n   a\n  b\n"},
        {" a\nb", kLiteral, "k: |-2\n   a\n  b\n"},
        {" a\nb\n\n", kLiteral, "k: |+2\n   a\n  b\n\n"},
        {"a\n\nb\n", kLiteral, "k: |\n  a\n\n  b\n"},
        {"a\r\nb\n", kLiteral, "k: \"a\\r\\nb\\n\"\n"},
        {" \n\n", kLiteral, "k: \" \\n\\n\"\n"},
        {"", kLiteral, "k: \"\"\n"},
        {"x\ny\n", kSingle, "k: \"x\\ny\\n\"\n"},
    };
    for (const row &r : rows) {
        tree t;
        t.root(t.map({t.scalar("k"), t.scalar(r.text, r.style, {}, {}, ZARVEL_TAG_STR)}));
        EXPECT_EQ(t.yaml(), r.written) << r.text;
    }
    {
        // Tagged single-line literal stays literal; in a sequence the lines
        // stand two further in.
        tree t;
        t.root(t.seq({t.scalar("a", kLiteral, "!x"), t.scalar("p\nq\n", kLiteral)}));
        EXPECT_EQ(t.yaml(), "- !x |-\n  a\n- |\n  p\n  q\n");
    }
}

TEST(Serialize, TagsAnchorsAndAliases) {
    {
        tree t;
        uint32_t anchored = t.scalar("v", kPlain, {}, "x");
        t.root(
            t.map({t.scalar("a"), anchored, t.scalar("b"), t.alias("x", anchored), t.scalar("c"),
                   t.scalar("5", kPlain, "tag:yaml.org,2002:str"), t.scalar("d"), t.scalar("w", kPlain, "!loc al_x")}));
        EXPECT_EQ(t.yaml(), "a: &x v\nb: *x\nc: !<tag:yaml.org,2002:str> 5\nd: !loc%20al%5Fx w\n");
        EXPECT_EQ(t.canonical(),
                  "---\n{\"a\": &a0 \"v\", \"b\": *a0, \"c\": !<tag:yaml.org,2002:str> \"5\", "
                  "\"d\": !loc%20al%5Fx \"w\"}\n");
        EXPECT_EQ(t.json(),
                  "{\"a\": &x \"v\", \"b\": *x, \"c\": !<tag:yaml.org,2002:str> \"5\", "
                  "\"d\": !loc%20al%5Fx \"w\"}\n");
    }
    {
        tree t;  // an alias to a name never defined keeps its name
        t.root(t.seq({t.alias("nowhere", zarvel_node_none), t.scalar("1", kPlain, {}, "first"),
                      t.scalar("2", kPlain, {}, "second"), t.alias("second", zarvel_node_none)}));
        EXPECT_EQ(t.canonical(), "---\n[*nowhere, &a0 1, &a1 2, *a1]\n");
    }
    {
        // Properties of block collections: on the introducing line.
        tree t;
        uint32_t inner = t.map({t.scalar("k"), t.scalar("v")}, false, "tag:x", "m");
        uint32_t list = t.seq({t.scalar("i")}, false, {}, "s");
        uint32_t item = t.map({t.scalar("p"), t.scalar("q")}, false, "!t");
        t.root(
            t.map({t.scalar("a"), inner, t.scalar("b"), list, t.scalar("c"), t.seq({item})}, false, "tag:root", "r"));
        EXPECT_EQ(t.yaml(), "!<tag:root> &r\na: !<tag:x> &m\n  k: v\nb: &s\n- i\nc:\n-  !<!t>\n  p: q\n");
    }
    {
        // Empty collections carry their prefixes in front of the brackets.
        tree t;
        t.root(t.map({t.scalar("e"), t.seq({}, false, "!l", "z"), t.scalar("f"), t.map({})}));
        EXPECT_EQ(t.yaml(), "e: !l &z []\nf: {}\n");
        tree bare;
        bare.root(bare.seq({bare.seq({}), bare.map({}), bare.seq({bare.map({}), bare.seq({})})}));
        EXPECT_EQ(bare.json(), "[[], {}, [{}, []]]\n");
        EXPECT_EQ(bare.json(true), "[[],{},[{},[]]]\n");
    }
}

TEST(Serialize, ComplexKeysWriteTheirPropertiesOnce) {
    tree t;
    uint32_t key = t.seq({t.scalar("a"), t.scalar("b")}, false, "!k", "ka");
    uint32_t value = t.map({t.scalar("x"), t.scalar("y")}, false, {}, "va");
    uint32_t key2 = t.map({t.scalar("m"), t.seq({t.scalar("n")})});
    t.root(t.map({key, value, key2, t.scalar("z"), t.alias("ka", key), t.scalar("w")}));
    EXPECT_EQ(t.yaml(), "? !k &ka [a, b]\n: &va\n  x: y\n? {m: [n]}\n: z\n? *ka\n: w\n");
    EXPECT_EQ(t.json(),
              "{? !k &ka [\"a\", \"b\"] : &va {\"x\": \"y\"}, ? {\"m\": [\"n\"]} : \"z\", "
              "? *ka : \"w\"}\n");
}

TEST(Serialize, FlowCollections) {
    {
        tree t;
        t.root(t.map({t.scalar("f"), t.seq({t.scalar("a"), t.scalar(""), t.scalar("b c")}, true), t.scalar("g"),
                      t.map({t.scalar("k"), t.scalar("v"), t.scalar("e"), t.scalar("x,y")}, true)}));
        EXPECT_EQ(t.yaml(), "f: [a, ~, b c]\ng: {k: v, e: 'x,y'}\n");
    }
    {
        // Width 10: break after the first item that ends beyond column 10,
        // continue at the column after "[".
        tree t;
        t.root(t.seq({t.scalar("aaaa"), t.scalar("bbbb"), t.scalar("cccc"), t.scalar("dddd"), t.scalar("eeee"),
                      t.scalar("ffff")},
                     true));
        zarvel_serialize_options o{sizeof o, 0, 10, 0, 0, 0};
        EXPECT_EQ(t.yaml(&o), "[aaaa, bbbb,\n cccc, dddd,\n eeee, ffff]\n");
        EXPECT_EQ(t.json(), "[\"aaaa\", \"bbbb\", \"cccc\", \"dddd\", \"eeee\", \"ffff\"]\n");
    }
    {
        // A block collection inside a flow one is written in flow form.
        tree t;
        t.root(t.seq({t.map({t.scalar("a"), t.scalar("b")}), t.scalar("l\nm", kLiteral)}, true));
        EXPECT_EQ(t.yaml(), "[{a: b}, \"l\\nm\"]\n");
    }
}

// Indent and style options; a record of the older 16-byte layout keeps the
// defaults.
TEST(Serialize, LayoutOptions) {
    struct row {
        const char *input;
        uint32_t size, indent, style;
        const char *expected;
    } rows[] = {
        {"{a: {b: [1, {c: 2}]}}", 24, 0, ZARVEL_STYLE_BLOCK, "a:\n  b:\n  - 1\n  - c: 2\n"},
        {"{a: {b: [1, {c: 2}]}}", 24, 4, ZARVEL_STYLE_BLOCK, "a:\n    b:\n    - 1\n    - c: 2\n"},
        {"{a: {b: [1, {c: 2}]}}", 24, 0, ZARVEL_STYLE_KEEP, "{a: {b: [1, {c: 2}]}}\n"},
        {"{a: {b: [1, {c: 2}]}}", 16, 4, ZARVEL_STYLE_BLOCK, "{a: {b: [1, {c: 2}]}}\n"},
        {"a:\n  b: [x]\nc: d\n", 24, 3, ZARVEL_STYLE_KEEP, "a:\n   b: [x]\nc: d\n"},
        {"a:\n  b: [x]\nc: d\n", 24, 0, ZARVEL_STYLE_FLOW, "{a: {b: [x]}, c: d}\n"},
    };
    for (const row &r : rows) {
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse(r.input, std::strlen(r.input), &status);
        ASSERT_NE(doc, nullptr) << r.input;
        zarvel_serialize_options o{r.size, 0, 0, 0, r.indent, r.style};
        uint64_t n = 0;
        char *text = zarvel_serialize_ex(doc, &o, &n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, n), r.expected) << r.input << " indent " << r.indent << " style " << r.style;
        zarvel_free(text);
        zarvel_document_free(doc);
    }
}

TEST(Serialize, TypedScalarsInJsonAndCanonical) {
    struct row {
        std::string text;
        int tag_id;
        const char *json;
        const char *canonical;
    };
    const row rows[] = {
        // JSON has no infinities or NaN: their texts become strings.
        {"-.INF", ZARVEL_TAG_FLOAT, "\"-.INF\"", "-.inf"},
        {"+.Inf", ZARVEL_TAG_FLOAT, "\"+.Inf\"", ".inf"},
        {".inf", ZARVEL_TAG_FLOAT, "\".inf\"", ".inf"},
        {".NaN", ZARVEL_TAG_FLOAT, "\".NaN\"", ".nan"},
        {"1e999", ZARVEL_TAG_FLOAT, "\"1e999\"", ".inf"},
        {"-1e999", ZARVEL_TAG_FLOAT, "\"-1e999\"", "-.inf"},
        {"1", ZARVEL_TAG_FLOAT, "1.0", "1.0"},
        {"1e100", ZARVEL_TAG_FLOAT, "1.0e+100", "1.0e+100"},
        {".5", ZARVEL_TAG_FLOAT, "0.5", "0.5"},
        {"1.000000000000000000000000000000000000000001e5", ZARVEL_TAG_FLOAT, "100000.0", "100000.0"},
        {"1_0.5", ZARVEL_TAG_FLOAT, "\"1_0.5\"", "\"1_0.5\""},
        {"0x1F", ZARVEL_TAG_INT, "31", "31"},
        // Integers in other spellings are written as plain decimals.
        {"0644", ZARVEL_TAG_INT, "644", "644"},
        {"08540", ZARVEL_TAG_INT, "8540", "8540"},
        {"-007", ZARVEL_TAG_INT, "-7", "-7"},
        {"+5", ZARVEL_TAG_INT, "5", "5"},
        {"0o17", ZARVEL_TAG_INT, "15", "15"},
        {"-0", ZARVEL_TAG_INT, "-0", "-0"},
        {"00", ZARVEL_TAG_INT, "0", "0"},
        {"12345678901234567890123", ZARVEL_TAG_INT, "12345678901234567890123", "12345678901234567890123"},
        {"+00012345678901234567890123", ZARVEL_TAG_INT, "12345678901234567890123", "12345678901234567890123"},
        {"-000", ZARVEL_TAG_INT, "0", "0"},
        {"0xFFFFFFFFFFFFFFFFFF", ZARVEL_TAG_INT, "\"0xFFFFFFFFFFFFFFFFFF\"", "\"0xFFFFFFFFFFFFFFFFFF\""},
        {"1_000", ZARVEL_TAG_INT, "1000", "1000"},
        {"False", ZARVEL_TAG_BOOL, "false", "false"},
        {"true", ZARVEL_TAG_BOOL, "true", "true"},
        {"~", ZARVEL_TAG_NULL, "null", "~"},
        {"", ZARVEL_TAG_NULL, "null", "~"},
        {"2001-12-14", ZARVEL_TAG_TIMESTAMP, "\"2001-12-14\"", "\"2001-12-14\""},
        {"tab\there\x01", ZARVEL_TAG_STR, "\"tab\\there\\u0001\"", "\"tab\\there\\x01\""},
        {"\x7f\xC3\xA9", ZARVEL_TAG_STR, "\"\x7f\xC3\xA9\"", "\"\\x7f\xC3\xA9\""},
    };
    for (const row &r : rows) {
        tree t;
        t.root(t.scalar(r.text, kPlain, {}, {}, r.tag_id));
        EXPECT_EQ(t.json(), r.json) << r.text;
        EXPECT_EQ(t.canonical(), std::string("---\n") + r.canonical + "\n") << r.text;
        // After other text, where short texts are read in whole words.
        tree after;
        after.root(after.seq({after.scalar("sixteen bytes..."), after.scalar(r.text, kPlain, {}, {}, r.tag_id)}));
        EXPECT_EQ(after.json(), "[\"sixteen bytes...\", " + std::string(r.json) + "]\n") << r.text;
    }
    {
        tree t;  // JSON keys are strings whatever their type
        t.root(t.map({t.scalar("1"), t.scalar("null"), t.scalar("true"), t.scalar("2.5")}));
        EXPECT_EQ(t.json(), "{\"1\": null, \"true\": 2.5}\n");
        EXPECT_EQ(t.canonical(), "---\n{1: ~, true: 2.5}\n");
    }
    {
        tree t;  // several documents give no JSON
        t.root(t.scalar("a")).root(t.scalar("b"));
        EXPECT_EQ(t.json(), "");
    }
}

// ---- scalar form choice ------------------------------------------------------

TEST(ScalarStyle, ChooseTable) {
    struct row {
        std::string text;
        bool key;
        uint8_t style;
        bool tag;
        scalar_form form;
    };
    const row rows[] = {
        {"", false, kPlain, false, scalar_form::nothing},
        {"", true, kPlain, false, scalar_form::double_quoted},
        {"abc", false, kPlain, false, scalar_form::plain},
        {"abc", false, kDouble, false, scalar_form::double_quoted},
        {"abc", false, 0, false, scalar_form::double_quoted},
        {"abc", false, kSingle, false, scalar_form::single_quoted},
        {"a\nb", false, kSingle, false, scalar_form::double_quoted},
        {"a\nb", false, kLiteral, false, scalar_form::literal},
        {"a\nb", true, kLiteral, false, scalar_form::double_quoted},
        {"a\r\nb", false, kLiteral, false, scalar_form::double_quoted},
        {"\n\t ", false, kLiteral, false, scalar_form::double_quoted},
        // Texts of 16 bytes and more, looked at 16 at a time (the last ones
        // in a load that overlaps the one before).
        {"line one\nline two, longer\n", false, kLiteral, false, scalar_form::literal},
        {std::string(20, ' ') + "\n\t" + std::string(20, ' '), false, kLiteral, false, scalar_form::double_quoted},
        {std::string(17, '\n') + "a", false, kLiteral, false, scalar_form::literal},
        {"first line\nsecond line\r", false, kFolded, false, scalar_form::double_quoted},
        {"first line\nsecond\x7fline", false, kLiteral, false, scalar_form::double_quoted},
        {"a quoted text,\tlong enough", false, kSingle, false, scalar_form::single_quoted},
        {"a quoted text, long enough\x01", false, kSingle, false, scalar_form::double_quoted},
        {"a tagged text, long enough\x1f", false, kLiteral, true, scalar_form::double_quoted},
        {"a", false, kLiteral, false, scalar_form::plain},
        {"a", false, kLiteral, true, scalar_form::literal},
        {"a", true, kLiteral, true, scalar_form::plain},
        {"", false, kFolded, false, scalar_form::double_quoted},
        {"a: b", false, kFolded, false, scalar_form::single_quoted},
        {"a\x01", false, kFolded, false, scalar_form::double_quoted},
        {"a\xE2\x80\xA8", false, kPlain, false, scalar_form::double_quoted},
        {"a\xE2\x80\xA8", false, kSingle, false, scalar_form::double_quoted},
        {"\xE2\x80", false, kPlain, false, scalar_form::plain},  // incomplete: not seen
        {"x", false, 7, false, scalar_form::double_quoted},
    };
    for (const row &r : rows)
        EXPECT_EQ(zvl::choose_scalar_style(r.text.data(), r.text.size(), r.key, r.style, r.tag), r.form)
            << r.text << " key " << r.key << " style " << int(r.style);
}

// The rules one byte at a time, as the reference for the word-wise test.
bool plain_safe_reference(const std::string &t) {
    const size_t n = t.size();
    if (n == 0 || t[0] == ' ' || t[0] == '\t' || t[n - 1] == ' ' || t[n - 1] == '\t') return false;
    if (std::string("\"!#%&'*,>@[]`{|}").find(t[0]) != std::string::npos) return false;
    if ((t[0] == '-' || t[0] == '?') && (n < 2 || t[1] == ' ' || t[1] == '\t')) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = t[i];
        if (c == '\t' || c == '\n' || c == '\r') return false;
        if (c == ':' && (i + 1 == n || t[i + 1] == ' ' || t[i + 1] == '\t')) return false;
        if (c == '#' && i > 0 && t[i - 1] == ' ') return false;
    }
    if ((t.rfind("---", 0) == 0 || t.rfind("...", 0) == 0) && (n == 3 || t[3] == ' ' || t[3] == '\t')) return false;
    return true;
}

TEST(ScalarStyle, PlainSafeTable) {
    struct row {
        const char *text;
        bool safe;
    };
    const row rows[] = {
        {"a", true},          {"", false},           {" a", false},
        {"a ", false},        {"\ta", false},        {"-", false},
        {"- a", false},       {"-a", true},          {"?", false},
        {"?a", true},         {"? a", false},        {"a:", false},
        {"a:b", true},        {"a: b", false},       {"a #b", false},
        {"a#b", true},        {"---", false},        {"...", false},
        {"----", true},       {"!a", false},         {"a\nb", false},
        {"a\rb", false},      {"@a", false},         {"`a", false},
        {"\"a", false},       {"a\"", true},         {"12345678: 0", false},
        {"1234567:", false},  {"1234567: x", false}, {"1234567 #x", false},
        {"12345678#x", true}, {"1234567 #", false},  {"abcdefg\tabcdefgh", false},
        {"--- a", false},     {"... a", false},      {"---a", true},
        {"....", true},
    };
    for (const row &r : rows) {
        EXPECT_EQ(zvl::plain_safe(r.text, std::strlen(r.text)), r.safe) << r.text;
        EXPECT_EQ(plain_safe_reference(r.text), r.safe) << r.text;
    }
}

TEST(ScalarStyle, PlainSafeMatchesByteRules) {
    std::mt19937 random(11);
    const char alphabet[] = "ab: #\t\n-?.!'\"---...";
    for (int i = 0; i < 200000; ++i) {
        std::string t(random() % 24, 'x');
        for (char &c : t) c = alphabet[random() % (sizeof alphabet - 1)];
        ASSERT_EQ(zvl::plain_safe(t.data(), t.size()), plain_safe_reference(t)) << '[' << t << ']';
    }
    // The one-pass test with controls, DEL and UTF-8 in the mix; the memo
    // of short texts (which see many repeats here) answers the same.
    const char wider[] = "ab: #\t\n\r-?.\x01\x7f\xc2\x85\xe2\x80\xa8\xc3\xa9";
    zvl::printable_memo memo, backed_memo;
    for (int i = 0; i < 200000; ++i) {
        std::string t(random() % 24, 'x');
        for (char &c : t) c = wider[random() % (sizeof wider - 1)];
        if (i % 4 == 0) {
            // Long texts with a few marks: runs of 64 bytes and their seams.
            t.assign(1 + random() % 200, 'x');
            for (int k = int(random() % 4); k > 0; --k) t[random() % t.size()] = wider[random() % (sizeof wider - 1)];
        }
        ASSERT_EQ(zvl::scan_plain_bits(t.data(), t.size()), zvl::scan_plain_bits_portable(t.data(), t.size()))
            << '[' << t << ']';
        // The short vector pass reads the bytes in front, which must not count.
        std::string backed(16, 'x');
        for (char &c : backed) c = wider[random() % (sizeof wider - 1)];
        backed += t;
        ASSERT_EQ(zvl::scan_plain_bits_backed(backed.data() + 16, t.size()),
                  zvl::scan_plain_bits_portable(t.data(), t.size()))
            << '[' << t << ']';
        bool control = false;
        for (char c : t) control |= (uint8_t(c) < 0x20 || uint8_t(c) == 0x7F);
        const bool writable = plain_safe_reference(t) && !control;
        const zvl::plain_scan scan = zvl::scan_plain(t.data(), t.size());
        ASSERT_EQ(scan.writable, writable) << '[' << t << ']';
        bool high = false;
        for (char c : t) high |= uint8_t(c) >= 0x80;
        if (scan.writable) {
            ASSERT_EQ(scan.high, high) << '[' << t << ']';
        }
        ASSERT_EQ(zvl::plain_printable(t.data(), t.size()), writable && !zvl::needs_escaped_form(t.data(), t.size()))
            << '[' << t << ']';
        ASSERT_EQ(memo.printable(t.data(), t.size()), zvl::plain_printable(t.data(), t.size())) << '[' << t << ']';
        if (t.find('\n') != std::string::npos && !zvl::needs_escaped_form(t.data(), t.size())) {
            // A literal needs content and no raw control (a carriage return is one).
            bool content = false, raw = false;
            for (char c : t) {
                content |= c != '\t' && c != '\n' && c != ' ';
                raw |= (uint8_t(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7F;
            }
            ASSERT_EQ(zvl::choose_scalar_style(t.data(), t.size(), false, kLiteral, false) == scalar_form::literal,
                      content && !raw)
                << '[' << t << ']';
        }
        ASSERT_EQ(backed_memo.printable(backed.data() + 16, t.size(), true), zvl::plain_printable(t.data(), t.size()))
            << '[' << t << ']';
    }
}

// The word-wise search for characters that need the escaped form against a
// byte-by-byte reference, with the sequences cut at every position.
TEST(ScalarStyle, EscapedFormMatchesByteRules) {
    auto reference = [](const std::string &t) {
        const auto *p = reinterpret_cast<const uint8_t *>(t.data());
        const size_t n = t.size();
        for (size_t i = 0; i + 1 < n; ++i) {
            if (p[i] == 0xC2 && p[i + 1] >= 0x80 && p[i + 1] <= 0x9F) return true;
            if (i + 2 >= n) continue;
            if (p[i] == 0xE2 && p[i + 1] == 0x80 && (p[i + 2] == 0xA8 || p[i + 2] == 0xA9)) return true;
            if (p[i] == 0xEF && p[i + 1] == 0xBB && p[i + 2] == 0xBF) return true;
            if (p[i] == 0xEF && p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF)) return true;
        }
        return false;
    };
    std::mt19937 random(12);
    const char alphabet[] = "a\xc2\x85\x9f\xa0\xe2\x80\xa8\xa9\xef\xbb\xbf\xbe\xd4\xb1";
    for (int i = 0; i < 300000; ++i) {
        std::string t(random() % 30, 'x');
        for (char &c : t) c = alphabet[random() % (sizeof alphabet - 1)];
        ASSERT_EQ(zvl::needs_escaped_form(t.data(), t.size()), reference(t)) << testing::PrintToString(t);
    }
}

// ---- targets ----------------------------------------------------------------

// Each document of a long stream gets an output buffer sized from that
// document, not from the whole stream: the bytes the output calls ask for
// stay linear in the input (sized from the stream, they would be the stream
// length once per document). Roads: per-document JSON and CBOR of a YAML
// stream, and every output of the documents of a CBOR sequence.
TEST(SerializeTargets, StreamDocumentsSizeTheirOwnOutput) {
    constexpr uint32_t documents = 2000;
    std::string yaml;
    for (uint32_t i = 0; i < documents; ++i) yaml += "--- {a: " + std::to_string(i) + "}\n";
    int32_t status = -1;
    zarvel_document *stream = zarvel_parse(yaml.data(), yaml.size(), &status);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(zarvel_document_count(stream), documents);
    uint64_t cbor_length = 0;
    std::vector<uint8_t> sequence;
    for (uint32_t i = 0; i < documents; ++i) {
        uint8_t *bytes = zvl::cbor::encode_root(stream, i, 0, &cbor_length, &status);
        ASSERT_NE(bytes, nullptr);
        sequence.insert(sequence.end(), bytes, bytes + cbor_length);
        zarvel_free(bytes);
    }
    using output = std::function<void *(zarvel_document *, uint32_t)>;
    const std::pair<const char *, output> roads[] = {
        {"JSON of one document",
         [](zarvel_document *d, uint32_t i) -> void * { return zvl::serialize_document_json(d, i, true, nullptr); }},
        {"CBOR of one root",
         [](zarvel_document *d, uint32_t i) -> void * { return zvl::cbor::encode_root(d, i, 0, nullptr, nullptr); }},
        {"JSON of a sequence item",
         [](zarvel_document *d, uint32_t) -> void * { return zarvel_serialize_json(d, nullptr); }},
        {"YAML of a sequence item",
         [](zarvel_document *d, uint32_t) -> void * { return zarvel_serialize(d, nullptr); }},
        {"CBOR of a sequence item",
         [](zarvel_document *d, uint32_t) -> void * { return zarvel_cbor_encode(d, 0, nullptr); }},
    };
    struct walk {
        const output *write;
        uint64_t bytes = 0;
        bool ok = true;
    };
    for (const auto &[name, write] : roads) {
        walk w{&write};
        const bool of_stream = std::strstr(name, "sequence") == nullptr;
        if (of_stream) {
            for (uint32_t i = 0; i < documents; ++i) {
                const uint64_t before = zvl::testing::requested_bytes();
                void *out = write(stream, i);
                w.bytes += zvl::testing::requested_bytes() - before;
                w.ok = w.ok && out;
                zarvel_free(out);
            }
        } else {
            const uint64_t n = zarvel_cbor_decode_sequence(
                sequence.data(), sequence.size(), 0,
                [](void *user, zarvel_document *d, uint64_t) -> int32_t {
                    auto &w = *static_cast<walk *>(user);
                    const uint64_t before = zvl::testing::requested_bytes();
                    void *out = (*w.write)(d, 0);
                    w.bytes += zvl::testing::requested_bytes() - before;
                    w.ok = w.ok && out;
                    zarvel_free(out);
                    zarvel_document_free(d);
                    return 0;
                },
                &w, &status);
            EXPECT_EQ(n, documents) << name;
        }
        EXPECT_TRUE(w.ok) << name;
        // A few hundred bytes per document; sized from the stream it would
        // be about documents x input (here some 50 MB).
        EXPECT_LT(w.bytes, 8 * yaml.size() + 1024 * uint64_t(documents)) << name;
    }
    zarvel_document_free(stream);
}

TEST(SerializeTargets, CallerBuffer) {
    tree t;
    t.root(t.map({t.scalar("a"), t.scalar("1")}));
    const std::string expected = "a: 1\n";
    EXPECT_EQ(zarvel_serialize_into(t.doc(), nullptr, 100), expected.size());
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(zarvel_serialize_into(t.doc(), buffer, expected.size()), expected.size());
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(zarvel_serialize_into(t.doc(), buffer, expected.size() + 1), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(zarvel_serialize_into(nullptr, buffer, 16), 0u);
    EXPECT_EQ(zarvel_serialize(nullptr, nullptr), nullptr);
    EXPECT_EQ(zarvel_serialize_json(nullptr, nullptr), nullptr);
}

// Long scalars go through the style cache: both passes must agree.
TEST(SerializeTargets, CallerBufferWithStyleCache) {
    tree t;
    std::vector<uint32_t> children;
    uint32_t seq = t.seq({});
    for (int i = 0; i < 200; ++i) {
        std::string text(40 + i % 7, 'a' + i % 26);
        if (i % 3 == 0) text[5] = ':', text[6] = ' ';
        if (i % 5 == 0) text += "\nline";
        uint32_t item = t.scalar(text, uint8_t(1 + i % 5), {}, {}, ZARVEL_TAG_STR);
        zvl::tree::append(zarvel_document_body(t.doc()), seq, item);
    }
    t.root(seq);
    const std::string expected = t.yaml();
    std::vector<char> buffer(expected.size() + 1);
    EXPECT_EQ(zarvel_serialize_into(t.doc(), buffer.data(), buffer.size()), expected.size());
    EXPECT_EQ(std::string(buffer.data()), expected);
}

struct collected {
    std::string text;
    std::vector<uint64_t> pieces;
    int fail_at = -1;
};
int collect(void *user, const char *bytes, uint64_t length) {
    auto *c = static_cast<collected *>(user);
    if (c->fail_at >= 0 && int(c->pieces.size()) == c->fail_at) return 1;
    c->pieces.push_back(length);
    c->text.append(bytes, length);
    return 0;
}

TEST(SerializeTargets, StreamDeliversInPieces) {
    tree t;
    uint32_t seq = t.seq({});
    zarvel_node_store *store = zarvel_document_body(t.doc());
    for (int i = 0; i < 30000; ++i) {
        uint32_t item = t.scalar("item number " + std::to_string(i));
        zvl::tree::append(store, seq, item);
    }
    std::string huge(300000, 'z');  // longer than the whole stream buffer
    zvl::tree::append(store, seq, t.scalar(huge));
    t.root(seq);
    const std::string expected = t.yaml();

    collected c;
    EXPECT_EQ(zarvel_serialize_stream(t.doc(), nullptr, collect, &c), expected.size());
    EXPECT_EQ(c.text, expected);
    ASSERT_GT(c.pieces.size(), 3u);
    for (size_t i = 0; i + 1 < c.pieces.size(); ++i) {
        EXPECT_GE(c.pieces[i], 65536u);
        EXPECT_LE(c.pieces[i], 131072u);
    }

    collected failing;
    failing.fail_at = 1;
    EXPECT_EQ(zarvel_serialize_stream(t.doc(), nullptr, collect, &failing), 0u);
    EXPECT_EQ(failing.pieces.size(), 1u);  // nothing delivered after the refusal

    EXPECT_EQ(zarvel_serialize_stream(t.doc(), nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(zarvel_serialize_stream(nullptr, nullptr, collect, &c), 0u);

    tree empty;
    collected none;
    EXPECT_EQ(zarvel_serialize_stream(empty.doc(), nullptr, collect, &none), 0u);
    EXPECT_TRUE(none.pieces.empty());
}

// ---- failure injection --------------------------------------------------------

// Fails allocation n = 1, 2, ... of one call until the call succeeds; each
// failure must give the failure result (and leak nothing, which the
// sanitiser build checks).
// `last_may_fail`: the last allocation is the shrink of the allocated text,
// whose failure keeps the larger buffer and is no failure of the call.
template <typename Call>
void inject_every_allocation(const char *name, Call call, bool last_may_fail = false) {
    for (uint64_t n = 1; n < 1000; ++n) {
        zvl::testing::fail_allocation(n);
        bool result_failed = call();
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (seen < n) {
            EXPECT_FALSE(result_failed) << name << ": no allocation " << n << " yet it failed";
            return;
        }
        if (last_may_fail && !result_failed && seen == n) continue;
        EXPECT_TRUE(result_failed) << name << ": allocation " << n << " failed unnoticed";
    }
    ADD_FAILURE() << name << " never succeeded";
}

TEST(SerializeFailures, EveryAllocation) {
    tree t;
    uint32_t a = t.scalar("v", kPlain, {}, "x");
    std::string long_text(5000, 'q');
    t.root(t.map({t.scalar("a"), a, t.scalar("b"), t.alias("x", a), t.scalar("c"), t.scalar(long_text), t.scalar("f"),
                  t.scalar("1e999", kPlain, {}, {}, ZARVEL_TAG_FLOAT), t.scalar("g"),
                  t.scalar("1.0000000000000000000000000000000000000000000001", kPlain, {}, {}, ZARVEL_TAG_FLOAT)}));
    zarvel_node_store *store = zarvel_document_body(t.doc());
    (void)store;
    const std::string block = t.yaml(), canonical = t.canonical(), json = t.json();

    inject_every_allocation(
        "serialize",
        [&] {
            uint64_t n = 0;
            char *s = zarvel_serialize(t.doc(), &n);
            bool failed = s == nullptr;
            if (s) {
                EXPECT_EQ(std::string(s, n), block);
            }
            zarvel_free(s);
            return failed;
        },
        true);
    inject_every_allocation(
        "canonical",
        [&] {
            zarvel_serialize_options o{sizeof o, 1, 0, 0, 0, 0};
            char *s = zarvel_serialize_ex(t.doc(), &o, nullptr);
            bool failed = s == nullptr;
            if (s) {
                EXPECT_EQ(std::string(s), canonical);
            }
            zarvel_free(s);
            return failed;
        },
        true);
    inject_every_allocation(
        "json",
        [&] {
            char *s = zarvel_serialize_json(t.doc(), nullptr);
            bool failed = s == nullptr;
            if (s) {
                EXPECT_EQ(std::string(s), json);
            }
            zarvel_free(s);
            return failed;
        },
        true);
    inject_every_allocation("into", [&] {
        std::vector<char> buffer(block.size() + 1);
        zarvel_serialize_options o{sizeof o, 1, 0, 0, 0, 0};
        uint64_t n = zarvel_serialize_into_ex(t.doc(), &o, buffer.data(), buffer.size());
        return n == 0;
    });
    inject_every_allocation("stream", [&] {
        collected c;
        uint64_t n = zarvel_serialize_stream(t.doc(), nullptr, collect, &c);
        if (n) {
            EXPECT_EQ(c.text, block);
        }
        return n == 0;
    });
}

// A growth failure of the allocated text in the middle of a pass.
TEST(SerializeFailures, GrowthDuringPass) {
    tree t;
    uint32_t seq = t.seq({});
    zarvel_node_store *store = zarvel_document_body(t.doc());
    for (int i = 0; i < 2000; ++i) zvl::tree::append(store, seq, t.scalar("entry"));
    t.root(seq);
    zvl::testing::fail_allocation(2, true);  // the first buffer, then every growth fails
    EXPECT_EQ(zarvel_serialize(t.doc(), nullptr), nullptr);
    zvl::testing::fail_allocation(0);
}

}  // namespace

// ---- round trips over the YAML test suite -----------------------------------

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define ZARVEL_HAVE_NLOHMANN 1
#endif
#if __has_include(<yaml.h>)
#include <yaml.h>
#include "corpus.hpp"
#define ZARVEL_HAVE_LIBYAML_HEADER 1
#endif

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
bool file_exists(const std::string &path) { return std::ifstream(path).good(); }

std::vector<std::string> suite_cases() {
    const std::string root = corpus::path("yaml-test-suite").string();
    std::vector<std::string> cases;
    if (DIR *dir = opendir(root.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name[0] == '.') continue;
            std::string path = root + "/" + name;
            if (file_exists(path + "/in.yaml") && !file_exists(path + "/error")) cases.push_back(path);
        }
        closedir(dir);
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

enum class compare_mode { exact, typed };

// A text description of every document: kinds, texts, tags, anchors and, for
// aliases, the position of their target. `typed` compares scalars by value
// (canonical and JSON output rewrite texts by their tag id) and anchors only
// by presence (canonical output renames them).
struct describer {
    const zarvel_node_store *store;
    compare_mode mode;
    std::map<uint32_t, size_t> order;  // node id -> preorder position
    std::string out;

    std::string scalar_key(const zarvel_node_rec &r, std::string_view text, compare_mode mode) const {
        const bool untagged = zarvel_span_length(zarvel_store_tag(store, r)) == 0;
        const bool implicit = r.is_plain_implicit();
        if (r.tag_id == ZARVEL_TAG_NULL && (implicit || mode == compare_mode::typed)) return "null";
        // An empty null key is written "~" (JSON: "", keys are strings), and
        // an empty scalar in flow context "~": both keep the meaning of
        // "nothing".
        if (text.empty() && untagged) return "null";
        if (mode == compare_mode::exact) {
            return "'" + std::string(text) + "'";
        }
        if (untagged) {
            if (r.tag_id == ZARVEL_TAG_BOOL) return text.size() == 4 ? "true" : "false";
            int64_t i = 0;
            if (r.tag_id == ZARVEL_TAG_INT && zvl_num_i64(text.data(), uint32_t(text.size()), &i) == 0)
                return std::to_string(i);
            if (r.tag_id == ZARVEL_TAG_FLOAT) {
                double v = 0;
                if (zvl_num_f64(text.data(), uint32_t(text.size()), &v) == 0) {
                    if (std::isnan(v)) return "nan";
                    char buffer[32];
                    int n = zarvel_format_double(buffer, v);
                    return n ? std::string(buffer, size_t(n)) : (v < 0 ? "-inf" : "inf");
                }
            }
        }
        return "'" + std::string(text) + "'";
    }

    // Keys in typed mode: JSON keys are always strings and canonical keys
    // are typed, so a key is described by what its text resolves to.
    static std::string typed_key(std::string_view text) {
        switch (zarvel_core_resolver.text(nullptr, text.data(), uint32_t(text.size()))) {
        case ZARVEL_TAG_NULL: return "null";
        case ZARVEL_TAG_BOOL: return text.size() == 4 ? "true" : "false";
        case ZARVEL_TAG_INT: {
            int64_t i = 0;
            if (zvl_num_i64(text.data(), uint32_t(text.size()), &i) != 0) break;
            return std::to_string(i);
        }
        case ZARVEL_TAG_FLOAT: {
            double v = 0;
            if (zvl_num_f64(text.data(), uint32_t(text.size()), &v) != 0) break;
            if (std::isnan(v)) return "nan";
            char buffer[32];
            int n = zarvel_format_double(buffer, v);
            return n ? std::string(buffer, size_t(n)) : (v < 0 ? "-inf" : "inf");
        }
        default: break;
        }
        return "'" + std::string(text) + "'";
    }

    void node(uint32_t id, int depth, bool key = false) {
        if (id >= store->node_count) {
            out += "<none>";
            return;
        }
        order.emplace(id, order.size());
        const zarvel_node_rec &r = zarvel_store_node(store, id);
        std::string_view tag = zarvel_store_text(store, zarvel_store_tag(store, id));
        std::string_view anchor = zarvel_store_text(store, zarvel_store_anchor(store, id));
        if (!tag.empty()) out += "<" + std::string(tag) + ">";
        if (!anchor.empty()) out += mode == compare_mode::exact ? "&" + std::string(anchor) : "&";
        switch (r.kind()) {
        case ZARVEL_KIND_ALIAS: {
            auto it = order.find(r.alias_target);
            out += "*" + (it == order.end() ? std::string("?") : std::to_string(it->second));
            return;
        }
        case ZARVEL_KIND_SCALAR: {
            const std::string_view text = zarvel_store_text(store, r.value);
            // An explicit tag keeps the tag id; implicit ones are compared
            // by what the text resolves to.
            out += key && mode == compare_mode::typed && tag.empty() ? typed_key(text) : scalar_key(r, text, mode);
            return;
        }
        default:
            out += r.kind() == ZARVEL_KIND_MAPPING ? "{" : "[";
            bool is_key = r.kind() == ZARVEL_KIND_MAPPING;
            for (uint32_t c = r.first_child; c < store->node_count; c = zarvel_store_node(store, c).next_sibling) {
                node(c, depth + 1, is_key);
                out += ",";
                if (r.kind() == ZARVEL_KIND_MAPPING) is_key = !is_key;
            }
            out += r.kind() == ZARVEL_KIND_MAPPING ? "}" : "]";
        }
    }
};

std::string describe(zarvel_document *doc, compare_mode mode) {
    const zarvel_node_store *store = zarvel_document_body(doc);
    if (!store) return "<no store>";
    describer d{store, mode, {}, {}};
    for (uint32_t i = 0; i < store->root_count; ++i) {
        d.order.clear();
        d.node(store->roots[i], 0);
        d.out += "\n---\n";
    }
    return d.out;
}

// True when a document holds only what JSON can say: no tags, anchors,
// aliases or collection keys (JSON mode writes those in YAML forms).
bool plain_json_tree(zarvel_document *doc) {
    const zarvel_node_store *store = zarvel_document_body(doc);
    if (!store) return false;
    for (uint32_t id = 0; id < store->node_count; ++id) {
        const zarvel_node_rec &r = zarvel_store_node(store, id);
        if (zarvel_span_length(zarvel_store_tag(store, id) | zarvel_store_anchor(store, id)) ||
            r.kind() == ZARVEL_KIND_ALIAS)
            return false;
        if (r.kind() != ZARVEL_KIND_MAPPING) continue;
        bool is_key = true;
        for (uint32_t c = r.first_child; c < store->node_count; c = zarvel_store_node(store, c).next_sibling) {
            if (is_key && zarvel_store_node(store, c).kind() != ZARVEL_KIND_SCALAR) return false;
            is_key = !is_key;
        }
    }
    return true;
}

struct parsed {
    zarvel_document *doc = nullptr;
    int32_t status = 0;
    // JSON output is read back by the JSON reader: a YAML reader would turn
    // the raw U+0085, U+2028 and U+2029 that JSON strings carry into breaks.
    explicit parsed(const std::string &text, bool json = false) {
        // Integer texts such as 0x1F and the words .inf and .nan are written
        // as they stand, which no JSON reader takes: YAML reads those.
        if (json) doc = zarvel_parse_json(text.data(), text.size(), &status);
        if (!doc) doc = zarvel_parse(text.data(), text.size(), &status);
    }
    ~parsed() { zarvel_document_free(doc); }
};

std::string serialise(zarvel_document *doc, int mode) {
    uint64_t n = 0;
    char *text = nullptr;
    if (mode == 2) {
        text = zarvel_serialize_json(doc, &n);
    } else {
        zarvel_serialize_options o{sizeof o, uint32_t(mode), 0, 0, 0, 0};
        text = zarvel_serialize_ex(doc, &o, &n);
    }
    if (!text) return "<null>";
    std::string out(text, n);
    zarvel_free(text);
    return out;
}

TEST(SerializeRoundTrip, YamlTestSuite) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const std::vector<std::string> cases = suite_cases();
    if (cases.empty()) GTEST_SKIP() << "no yaml-test-suite";
    size_t parsed_cases = 0, round_trips = 0;
    const char *mode_names[] = {"block", "canonical", "json"};
    for (const std::string &path : cases) {
        const std::string input = read_file(path + "/in.yaml");
        parsed original(input);
        if (!original.doc) continue;
        ++parsed_cases;
        const uint32_t documents = zarvel_document_count(original.doc);
        for (int mode = 0; mode < 3; ++mode) {
            if (mode == 2 && documents != 1) continue;
            const compare_mode how = mode == 0 ? compare_mode::exact : compare_mode::typed;
            // Anchor names that end in ":" are read differently before a
            // flow indicator; JSON mode keeps the names (canonical renames).
            const std::string name = path.substr(path.rfind('/') + 1);
            if (mode == 2 && (name == "2SXE" || name == "W5VH")) continue;
            const std::string text = serialise(original.doc, mode);
            // JSON with tags, anchors or collection keys is only YAML.
            parsed again(text, mode == 2 && plain_json_tree(original.doc));
            EXPECT_TRUE(again.doc || documents == 0)
                << path << " (" << mode_names[mode]
                << "): output does not parse: " << zarvel_last_error(nullptr, nullptr) << "\n--- output ---\n"
                << text;
            if (!again.doc) continue;
            EXPECT_EQ(describe(again.doc, how), describe(original.doc, how))
                << path << " (" << mode_names[mode] << ")\n--- input ---\n"
                << input << "\n--- output ---\n"
                << text;
            ++round_trips;
        }
    }
    std::printf("yaml-test-suite: %zu cases parse, %zu round trips\n", parsed_cases, round_trips);
}

#ifdef ZARVEL_HAVE_NLOHMANN
TEST(SerializeRoundTrip, JsonEqualsSuiteJson) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const std::vector<std::string> cases = suite_cases();
    if (cases.empty()) GTEST_SKIP() << "no yaml-test-suite";
    size_t compared = 0;
    for (const std::string &path : cases) {
        const std::string expected_text = read_file(path + "/in.json");
        if (expected_text.empty()) continue;
        nlohmann::json expected = nlohmann::json::parse(expected_text, nullptr, false);
        if (expected.is_discarded()) continue;                   // several JSON texts: several documents
        const std::string input = read_file(path + "/in.yaml");  // the document borrows it
        parsed original(input);
        if (!original.doc || zarvel_document_count(original.doc) != 1) continue;
        if (!plain_json_tree(original.doc)) continue;
        const std::string text = serialise(original.doc, 2);
        nlohmann::json got = nlohmann::json::parse(text, nullptr, false);
        EXPECT_FALSE(got.is_discarded()) << path << ": not JSON:\n" << text;
        if (got.is_discarded()) continue;
        EXPECT_EQ(got, expected) << path << "\n--- output ---\n" << text;
        ++compared;
    }
    std::printf("yaml-test-suite: %zu JSON outputs compared with in.json\n", compared);
}
#endif

#ifdef ZARVEL_HAVE_LIBYAML_HEADER
// libyaml, loaded at run time when present, as an independent reader.
struct libyaml_event {
    yaml_event_type_t type;
    std::string anchor, tag, value;
    bool has_anchor = false, has_tag = false;
    yaml_scalar_style_t style = YAML_ANY_SCALAR_STYLE;
    bool plain_implicit = false;
    bool flow = false;
};

struct libyaml {
    void *handle = dlopen("libyaml-0.so.2", RTLD_NOW);
    decltype(&yaml_parser_initialize) initialize = nullptr;
    decltype(&yaml_parser_set_input_string) set_input = nullptr;
    decltype(&yaml_parser_parse) parse = nullptr;
    decltype(&yaml_event_delete) event_delete = nullptr;
    decltype(&yaml_parser_delete) parser_delete = nullptr;
    libyaml() {
        if (!handle) return;
        initialize = reinterpret_cast<decltype(initialize)>(dlsym(handle, "yaml_parser_initialize"));
        set_input = reinterpret_cast<decltype(set_input)>(dlsym(handle, "yaml_parser_set_input_string"));
        parse = reinterpret_cast<decltype(parse)>(dlsym(handle, "yaml_parser_parse"));
        event_delete = reinterpret_cast<decltype(event_delete)>(dlsym(handle, "yaml_event_delete"));
        parser_delete = reinterpret_cast<decltype(parser_delete)>(dlsym(handle, "yaml_parser_delete"));
    }
    bool ready() const { return handle && initialize && set_input && parse && event_delete && parser_delete; }

    // False when libyaml refuses the text.
    bool events(const std::string &text, std::vector<libyaml_event> &out) {
        yaml_parser_t parser;
        if (!initialize(&parser)) return false;
        set_input(&parser, reinterpret_cast<const unsigned char *>(text.data()), text.size());
        bool ok = true;
        auto str = [](const unsigned char *p) {
            return p ? std::string(reinterpret_cast<const char *>(p)) : std::string();
        };
        for (;;) {
            yaml_event_t event;
            if (!parse(&parser, &event)) {
                ok = false;
                break;
            }
            libyaml_event e;
            e.type = event.type;
            switch (event.type) {
            case YAML_SEQUENCE_START_EVENT:
                e.has_anchor = event.data.sequence_start.anchor != nullptr;
                e.anchor = str(event.data.sequence_start.anchor);
                e.has_tag = event.data.sequence_start.tag != nullptr;
                e.tag = str(event.data.sequence_start.tag);
                e.flow = event.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
                break;
            case YAML_MAPPING_START_EVENT:
                e.has_anchor = event.data.mapping_start.anchor != nullptr;
                e.anchor = str(event.data.mapping_start.anchor);
                e.has_tag = event.data.mapping_start.tag != nullptr;
                e.tag = str(event.data.mapping_start.tag);
                e.flow = event.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                break;
            case YAML_SCALAR_EVENT: {
                const auto &sc = event.data.scalar;
                e.has_anchor = sc.anchor != nullptr;
                e.anchor = str(sc.anchor);
                e.has_tag = sc.tag != nullptr && !sc.plain_implicit && !sc.quoted_implicit;
                e.tag = e.has_tag ? str(sc.tag) : std::string();
                e.value.assign(reinterpret_cast<const char *>(sc.value), sc.length);
                e.style = sc.style;
                e.plain_implicit = sc.plain_implicit != 0;
                break;
            }
            case YAML_ALIAS_EVENT: e.anchor = str(event.data.alias.anchor); break;
            default: break;
            }
            const bool end = event.type == YAML_STREAM_END_EVENT;
            event_delete(&event);
            out.push_back(std::move(e));
            if (end) break;
        }
        parser_delete(&parser);
        return ok;
    }
};

// One line per event: kind, anchor, explicit tag, plain or not, value. Alias
// names are kept (block output keeps anchor names).
std::string describe_events(const std::vector<libyaml_event> &events) {
    std::string out;
    for (const libyaml_event &e : events) {
        switch (e.type) {
        case YAML_DOCUMENT_START_EVENT: out += "+DOC\n"; break;
        case YAML_SEQUENCE_START_EVENT:
            out += "+SEQ " + (e.has_anchor ? "&" + e.anchor : "") + " <" + e.tag + ">\n";
            break;
        case YAML_MAPPING_START_EVENT:
            out += "+MAP " + (e.has_anchor ? "&" + e.anchor : "") + " <" + e.tag + ">\n";
            break;
        case YAML_SEQUENCE_END_EVENT: out += "-SEQ\n"; break;
        case YAML_MAPPING_END_EVENT: out += "-MAP\n"; break;
        case YAML_SCALAR_EVENT: {
            // Forms may change (a multi-line plain scalar comes back quoted,
            // a one-line literal plain); the text may not. An empty scalar in
            // flow context comes back as "~".
            const bool plain = e.plain_implicit && e.style == YAML_PLAIN_SCALAR_STYLE;
            const std::string value = plain && e.value == "~" ? std::string() : e.value;
            out += "=VAL " + (e.has_anchor ? "&" + e.anchor : "") + " <" + e.tag + "> " + value + "\n";
            break;
        }
        case YAML_ALIAS_EVENT: out += "=ALI *" + e.anchor + "\n"; break;
        default: break;
        }
    }
    return out;
}

// Builds the document libyaml read into a node store, as the composer would
// from our own events: plain untagged scalars resolved by the core schema.
void build_from_events(tree &t, const std::vector<libyaml_event> &events) {
    zarvel_node_store *store = zarvel_document_body(t.doc());
    std::vector<uint32_t> open;
    std::map<std::string, uint32_t> anchors;
    auto attach = [&](uint32_t id) {
        if (open.empty())
            t.root(id);
        else
            zvl::tree::append(store, open.back(), id);
    };
    for (const libyaml_event &e : events) {
        uint32_t id = zarvel_node_none;
        switch (e.type) {
        case YAML_SCALAR_EVENT: {
            uint8_t style = e.style == YAML_SINGLE_QUOTED_SCALAR_STYLE   ? kSingle
                            : e.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE ? kDouble
                            : e.style == YAML_LITERAL_SCALAR_STYLE       ? kLiteral
                            : e.style == YAML_FOLDED_SCALAR_STYLE        ? kFolded
                                                                         : kPlain;
            int tag_id = style == kPlain && !e.has_tag ? -1 : int(ZARVEL_TAG_STR);
            if (e.has_tag) {
                uint8_t known = zarvel_tag_id_of(e.tag.data(), e.tag.size());
                if (known != ZARVEL_TAG_NONE) tag_id = known;
            }
            id = t.scalar(e.value, style, e.tag, e.anchor, tag_id);
            attach(id);
            break;
        }
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
            id = e.type == YAML_SEQUENCE_START_EVENT ? t.seq({}, e.flow, e.tag, e.anchor)
                                                     : t.map({}, e.flow, e.tag, e.anchor);
            attach(id);
            open.push_back(id);
            break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT: open.pop_back(); break;
        case YAML_ALIAS_EVENT: {
            auto it = anchors.find(e.anchor);
            attach(t.alias(e.anchor, it == anchors.end() ? zarvel_node_none : it->second));
            break;
        }
        default: break;
        }
        if (id != zarvel_node_none && e.has_anchor) anchors[e.anchor] = id;
    }
}

// Independent of our own parser: libyaml reads each case, the events become
// a document, the serialiser writes it, and libyaml must read the output
// back with the same events (texts, tags, anchors, plain or not).
TEST(SerializeRoundTrip, LibyamlReadsBlockOutput) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    libyaml lib;
    if (!lib.ready()) GTEST_SKIP() << "libyaml not installed";
    const std::vector<std::string> cases = suite_cases();
    if (cases.empty()) GTEST_SKIP() << "no yaml-test-suite";
    size_t compared = 0;
    for (const std::string &path : cases) {
        const std::string input = read_file(path + "/in.yaml");
        std::vector<libyaml_event> original;
        if (!lib.events(input, original)) continue;  // libyaml refuses the input itself
        tree t;
        build_from_events(t, original);
        for (int mode = 0; mode < 2; ++mode) {
            const std::string text = serialise(t.doc(), mode);
            std::vector<libyaml_event> back;
            EXPECT_TRUE(lib.events(text, back)) << path << ": libyaml refuses\n" << text;
            if (mode == 0) {
                EXPECT_EQ(describe_events(back), describe_events(original)) << path << "\n--- input ---\n"
                                                                            << input << "\n--- output ---\n"
                                                                            << text;
            }
        }
        ++compared;
    }
    std::printf("libyaml: %zu cases read back\n", compared);
    EXPECT_GT(compared, 100u);
}
#endif

}  // namespace

namespace {

// Random trees with awkward texts: every form the writer picks must read
// back as the same tree.
class random_tree {
  public:
    explicit random_tree(uint32_t seed) : random_(seed) {}

    std::string text() {
        static const char *const pieces[] = {"a",        "b",
                                             "1",        "-",
                                             "?",        ":",
                                             ": ",       " #",
                                             "#",        "'",
                                             "\"",       "\\",
                                             "\n",       "\n\n",
                                             " ",        "\t",
                                             "---",      "...",
                                             "[",        "]",
                                             "{",        "}",
                                             ",",        "!",
                                             "&",        "*",
                                             "|",        ">",
                                             "%",        "@",
                                             "`",        "~",
                                             "null",     "true",
                                             "0x1F",     "1.5",
                                             "\xC3\xA9", "\xE2\x80\xA8",
                                             "\xC2\x85", "\x01",
                                             "\r",       "x y"};
        std::string out;
        const int n = int(random_() % 6);
        for (int i = 0; i < n; ++i) out += pieces[random_() % (sizeof pieces / sizeof *pieces)];
        return out;
    }
    uint32_t node(tree &t, int depth) {
        const uint32_t roll = random_() % 10;
        if (depth >= 4 || roll < 5) {
            uint8_t style = uint8_t(1 + random_() % 5);
            std::string tag = random_() % 8 == 0 ? "!t" : "";
            return t.scalar(text(), style, tag, {}, style == kPlain && tag.empty() ? -1 : ZARVEL_TAG_STR);
        }
        const bool flow = random_() % 3 == 0;
        const std::string tag = random_() % 6 == 0 ? "tag:example.com,2000:x" : "";
        const std::string anchor = random_() % 6 == 0 ? "n" + std::to_string(anchor_count_++) : "";
        const int count = int(random_() % 4);
        uint32_t id = roll < 8 ? t.seq({}, flow, tag, anchor) : t.map({}, flow, tag, anchor);
        zarvel_node_store *store = zarvel_document_body(t.doc());
        for (int i = 0; i < count; ++i) {
            if (roll >= 8) zvl::tree::append(store, id, node(t, depth + 1));  // key
            zvl::tree::append(store, id, node(t, depth + 1));
        }
        return id;
    }

  private:
    std::mt19937 random_;
    int anchor_count_ = 0;
};

TEST(SerializeRoundTrip, RandomTrees) {
    for (uint32_t seed = 1; seed <= 10000; ++seed) {
        tree t;
        random_tree r(seed);
        t.root(r.node(t, 0));
        const std::string expected = describe(t.doc(), compare_mode::exact);
        const bool plain_json = plain_json_tree(t.doc());
        for (int mode = 0; mode < 3; ++mode) {
            // JSON with tags, anchors or collection keys is only YAML, and a
            // YAML reader turns raw line separators into breaks.
            if (mode == 2 && !plain_json) continue;
            const std::string text = serialise(t.doc(), mode);
            if (mode == 2) {
                // Integer texts such as 0x1F stay as they are and make the
                // text YAML only, where raw line separators do not survive.
                int32_t status = 0;
                zarvel_document *json = zarvel_parse_json(text.data(), text.size(), &status);
                zarvel_document_free(json);
                if (!json) continue;
            }
            parsed again(text, mode == 2);
            ASSERT_NE(again.doc, nullptr)
                << "seed " << seed << " mode " << mode << ": " << zarvel_last_error(nullptr, nullptr) << "\n"
                << text;
            const compare_mode how = mode == 0 ? compare_mode::exact : compare_mode::typed;
            ASSERT_EQ(describe(again.doc, how), describe(t.doc(), how)) << "seed " << seed << " mode " << mode << "\n"
                                                                        << text;
        }
        (void)expected;
    }
}

}  // namespace
