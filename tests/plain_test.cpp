// Plain JSON and CBOR: values by type, aliases and merge keys, the options,
// the refusals with their messages, and the three targets agreeing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zarvel.h"

namespace {

struct parsed {
    zarvel_document *doc;
    explicit parsed(const std::string &text, int32_t schema = 0) {
        zarvel_parse_options options = {schema, 0};
        int32_t status = 0;
        doc = zarvel_parse_ex(text.data(), text.size(), &options, &status);
    }
    ~parsed() { zarvel_document_free(doc); }
};

zarvel_plain_options opts(uint32_t flags = 0, uint32_t non_finite = 0, uint64_t budget = 0) {
    return {sizeof(zarvel_plain_options), flags, non_finite, 0, budget};
}

// The JSON text, or "error N: message".
std::string json(const std::string &yaml, zarvel_plain_options o = opts(), int32_t schema = 0) {
    parsed p(yaml, schema);
    if (!p.doc) return "parse failed";
    uint64_t length = 0;
    int32_t status = -1;
    char *text = zarvel_plain_json_ex(p.doc, &o, &length, &status);
    if (!text) return "error " + std::to_string(status) + ": " + zarvel_last_error(nullptr, nullptr);
    std::string out(text, length);
    zarvel_free(text);
    return out;
}

std::string hex(const uint8_t *bytes, uint64_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint64_t i = 0; i < n; ++i) out += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

std::string cbor(const std::string &yaml, zarvel_plain_options o = opts()) {
    parsed p(yaml);
    uint64_t length = 0;
    int32_t status = -1;
    uint8_t *bytes = zarvel_plain_cbor_ex(p.doc, &o, &length, &status);
    if (!bytes) return "error " + std::to_string(status);
    std::string out = hex(bytes, length);
    zarvel_free(bytes);
    return out;
}

TEST(PlainJson, ValuesByResolvedType) {
    const struct {
        const char *yaml;
        const char *json;
        int32_t schema;
    } cases[] = {
        {"a: 0x1F\nb: 0o17\nc: -12\nd: 1.5\ne: 1e3\nf: .5\n", R"({"a":31,"b":15,"c":-12,"d":1.5,"e":1000.0,"f":0.5})",
         0},
        {"[true, False, null, ~, '', \"x\"]", R"([true,false,null,null,"","x"])", 0},
        {"[!!str 42, !!int \"42\", !!float \"1\", ! 12, !Ref x, !Ref 7]", R"(["42",42,1.0,"12","x",7])", 0},
        {"b: !!binary |\n  aGVs\n  bG8=\n", R"({"b":"aGVsbG8="})", 0},
        {"[123456789012345678901234567890, -0x10000000000000000]",
         "[123456789012345678901234567890,-18446744073709551616]", 0},
        {"{1: a, ~: b, true: c, 1.5: d, 0x1F: e}", R"({"1":"a","null":"b","true":"c","1.5":"d","31":"e"})", 0},
        {"t: 2001-12-14\nb: yes\nn1: 1_000\ns: 1:30\n", R"({"t":"2001-12-14","b":true,"n1":1000,"s":5400})", 1},
        {"\"a\\nb\\u0001\"", R"("a\nb\u0001")", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(json(c.yaml, opts(), c.schema), c.json) << c.yaml;
}

TEST(PlainJson, AliasesMergesAndDuplicates) {
    const struct {
        const char *yaml;
        zarvel_plain_options options;
        const char *json;
    } cases[] = {
        {"a: &x {k: [1, 2]}\nb: *x\n", opts(), R"({"a":{"k":[1,2]},"b":{"k":[1,2]}})"},
        {"b: &b {a: 1, b: 2}\nx: {<<: *b, b: 3, c: 4}\n", opts(), R"({"b":{"a":1,"b":2},"x":{"a":1,"b":3,"c":4}})"},
        // Earlier mappings of a merge sequence win; keys sit where first seen.
        {"- &p {a: 9, q: 1}\n- &r {a: 8, r: 2}\n- <<: [*p, *r]\n", opts(),
         R"([{"a":9,"q":1},{"a":8,"r":2},{"a":9,"r":2,"q":1}])"},
        {"- &p {a: 1}\n- {<<: *p}\n", opts(ZARVEL_PLAIN_KEEP_MERGE_KEYS), R"([{"a":1},{"<<":{"a":1}}])"},
        {"{'<<': {a: 1}}", opts(), R"({"<<":{"a":1}})"},
        {"{a: 1, b: 2, a: 3}", opts(), R"({"a":3,"b":2})"},
        {"{1: a, '1': b}", opts(), R"({"1":"b"})"},
        {"{a: 1, a: 3}", opts(ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL),
         "error 1: duplicate key in a mapping at $ (line 1, column 8)"},
        {"- &p {a: 1}\n- {<<: *p, a: 2}\n", opts(ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL), R"([{"a":1},{"a":2}])"},
        {"x: .inf\n", opts(), "error 1: an infinity has no JSON form at $.x (line 1, column 4)"},
        {"x: [-.inf, .nan]\n", opts(0, ZARVEL_PLAIN_NON_FINITE_STRING), R"({"x":["-Infinity","NaN"]})"},
        {"x: .inf\n", opts(0, ZARVEL_PLAIN_NON_FINITE_NULL), R"({"x":null})"},
        {"? [a]\n: 1\n", opts(), "error 1: a collection used as a mapping key has no JSON form at $.?"},
        {"{<<: 3}", opts(),
         "error 1: a merge key's value must be a mapping or a sequence of mappings at $ (line 1, column 6)"},
        {"x: !!int abc\n", opts(),
         "error 1: an int-tagged scalar that does not read as an integer at $.x (line 1, column 10)"},
        {"x: !!binary a*b\n", opts(), "error 1: a binary scalar that is not base64 at $.x (line 1, column 13)"},
        {"a: &a [1, 2, 3]\nb: [*a, *a]\n", opts(0, 0, 15),
         "error 1: alias expansion exceeds the budget of 15 output nodes at $.b[1][2] (line 1, column 14)"},
        {"a: &a [1, 2, 3]\nb: [*a, *a]\n", opts(0, 0, 16), R"({"a":[1,2,3],"b":[[1,2,3],[1,2,3]]})"},
        // The budget spent without aliases: to the last node, and one short.
        {"[1, [2, {a: 3}]]", opts(0, 0, 7), R"([1,[2,{"a":3}]])"},
        {"[1, [2, {a: 3}]]", opts(0, 0, 6),
         "error 1: alias expansion exceeds the budget of 6 output nodes at $[1][1].a (line 1, column 13)"},
    };
    for (const auto &c : cases) EXPECT_EQ(json(c.yaml, c.options), c.json) << c.yaml;
}

// Mappings the fast writer gives back to the walk (duplicates, merge keys,
// a failing value that a later duplicate replaces): the same text from the
// allocated, caller-buffer and stream targets.
TEST(PlainJson, GivenBackMappingsAgreeOnEveryTarget) {
    std::string wide = "{";
    for (int i = 0; i < 20; ++i) wide += "k" + std::to_string(i) + ": " + std::to_string(i) + ", ";
    wide += "k3: x}";
    std::string wide_json = "{";
    for (int i = 0; i < 20; ++i)
        wide_json += "\"k" + std::to_string(i) + "\":" + (i == 3 ? std::string("\"x\"") : std::to_string(i)) + ",";
    wide_json.back() = '}';
    const struct {
        std::string yaml, json;
    } cases[] = {
        {"{a: .inf, a: 1}", R"({"a":1})"},
        {"{x: {a: 1, a: 2}, y: [1, {b: 1, c: 3, b: 2}]}", R"({"x":{"a":2},"y":[1,{"b":2,"c":3}]})"},
        {"{ab: 1, cd: 2, ab: 3, ef: 4}", R"({"ab":3,"cd":2,"ef":4})"},
        // Keys alike in length and end bytes, as JSON: one pair kept, one not.
        {R"({"abc": 1, "axc": 2, "abc": 3})", R"({"abc":3,"axc":2})"},
        {R"([{"abc": 1, "axc": 2}])", R"([{"abc":1,"axc":2}])"},
        {"- &m {a: 1}\n- {b: [2, {<<: *m, c: 3}]}\n", R"([{"a":1},{"b":[2,{"a":1,"c":3}]}])"},
        {wide, wide_json},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(json(c.yaml), c.json) << c.yaml;
        parsed p(c.yaml);
        const zarvel_plain_options o = opts();
        std::string streamed;
        auto append = [](void *user, const char *bytes, uint64_t n) {
            static_cast<std::string *>(user)->append(bytes, n);
            return 0;
        };
        EXPECT_EQ(zarvel_plain_json_stream(p.doc, &o, append, &streamed, nullptr), 0);
        EXPECT_EQ(streamed, c.json) << c.yaml;
        std::vector<char> buffer(c.json.size() + 1);
        uint64_t length = 0;
        EXPECT_EQ(zarvel_plain_json_into(p.doc, &o, buffer.data(), buffer.size(), &length), 0);
        EXPECT_EQ(std::string(buffer.data(), length), c.json) << c.yaml;
    }
}

TEST(PlainJson, StreamsAndDocumentChoice) {
    const std::string stream = "a: 1\n---\n- 2\n";
    EXPECT_EQ(json(stream), R"({"a":1})");
    EXPECT_EQ(json(stream, opts(ZARVEL_PLAIN_SEQUENCE)), "{\"a\":1}\n[2]\n");
    EXPECT_EQ(json(stream, opts(ZARVEL_PLAIN_ALL)), R"([{"a":1},[2]])");
    zarvel_plain_options second = opts();
    second.document = 1;
    EXPECT_EQ(json(stream, second), "[2]");
    second.document = 2;
    EXPECT_EQ(json(stream, second), "error 1: no document 2 in a stream of 2");
}

// Nine levels of ten aliases each: refused once the default budget of a
// million output nodes is spent, long before the billion it stands for.
TEST(PlainJson, AliasBombRefused) {
    std::string bomb = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
    for (char c = 'b'; c <= 'i'; ++c) {
        const char prev = char(c - 1);
        bomb += std::string(1, c) + ": &" + c + " [";
        for (int i = 0; i < 10; ++i) bomb += std::string(i ? ", *" : "*") + prev;
        bomb += "]\n";
    }
    const std::string out = json(bomb);
    EXPECT_EQ(out.substr(0, 67), "error 1: alias expansion exceeds the budget of 1000000 output nodes");
    EXPECT_EQ(cbor(bomb), "error 1");
}

TEST(PlainCbor, TypedValuesAndKeys) {
    const struct {
        const char *yaml;
        const char *hex;
    } cases[] = {
        {"[0x1F, -1, 1.5, .inf, .nan, true, null, x]", "88181f20f93e00f97c00f97e00f5f66178"},
        {"{1: a, [b]: c}", "a20161618161626163"},
        {"!!binary aGk=", "426869"},
        {"[18446744073709551615, -18446744073709551616, 18446744073709551616]",
         "831bffffffffffffffff3bffffffffffffffffc249010000000000000000"},
        {"a: &x [1]\nb: *x\n",
         "a261618101616281"
         "01"},
        {"{a: 1, a: 2}", "a1616102"},
    };
    for (const auto &c : cases) EXPECT_EQ(cbor(c.yaml), c.hex) << c.yaml;
    EXPECT_EQ(cbor("a\n---\nb\n", opts(ZARVEL_PLAIN_SEQUENCE)), "61616162");
    EXPECT_EQ(cbor("a\n---\nb\n", opts(ZARVEL_PLAIN_ALL)), "8261616162");
}

int collect(void *user, const char *bytes, uint64_t length) {
    static_cast<std::string *>(user)->append(bytes, length);
    return 0;
}
int refuse(void *, const char *, uint64_t) { return 1; }

// Every target's bytes and status: the allocated call's status; into a
// buffer of exactly the length (JSON's NUL counted), which must leave the
// byte after alone; the stream; the stream refused.
struct target_bytes {
    int32_t status;
    std::string allocated, into, streamed;
    int32_t refused;
};
target_bytes targets(zarvel_document *doc, const zarvel_plain_options &o, bool is_json, size_t length) {
    target_bytes t{};
    uint64_t n = 0;
    char *whole = is_json ? zarvel_plain_json_ex(doc, &o, &n, &t.status)
                          : reinterpret_cast<char *>(zarvel_plain_cbor_ex(doc, &o, &n, &t.status));
    if (whole) t.allocated.assign(whole, n);
    zarvel_free(whole);
    if (length == SIZE_MAX) return t;
    const size_t capacity = length + (is_json ? 1 : 0);
    std::string into(capacity + 1, '\x7f');
    const int32_t status =
        is_json ? zarvel_plain_json_into(doc, &o, into.data(), capacity, &n)
                : zarvel_plain_cbor_into(doc, &o, reinterpret_cast<uint8_t *>(into.data()), capacity, &n);
    if (status == t.status && into[capacity] == '\x7f') t.into = into.substr(0, status ? 0 : n);
    const int32_t streamed = is_json ? zarvel_plain_json_stream(doc, &o, collect, &t.streamed, nullptr)
                                     : zarvel_plain_cbor_stream(doc, &o, collect, &t.streamed, nullptr);
    if (streamed != t.status) t.streamed = "status " + std::to_string(streamed);
    t.refused = is_json ? zarvel_plain_json_stream(doc, &o, refuse, nullptr, nullptr)
                        : zarvel_plain_cbor_stream(doc, &o, refuse, nullptr, nullptr);
    return t;
}

// A JSON parse's document is written straight from its records: every
// target (allocated, caller's buffer, stream, status included) must give
// what the walk gives for the same nodes from the YAML reader (a depth
// option keeps the text off the JSON road).
TEST(PlainOutputs, JsonDocumentsAsTheWalkWritesThem) {
    std::string wide = "{", deep;
    for (int i = 0; i < 12; ++i) wide += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    for (int i = 0; i < 600; ++i) deep += "[";
    deep += std::string(600, ']');
    std::string long_list = "[";
    for (int i = 0; i < 30000; ++i) long_list += "\"item " + std::to_string(i) + "\",";
    long_list += "0]";
    const std::string cases[] = {
        R"({"a":1,"a":2})",
        wide + R"("k3":"x"})",
        wide + R"("k99":"x"})",
        R"(["\u00e9\/","é",""," a longer text than thirty-two bytes ",{},[],"<<"])",
        R"({"<<":{"a":1},"b":[true,false,null,-0,7,-24,255,65536,4294967296,-9223372036854775808]})",
        R"([12345678901234567890,-9223372036854775809,123456789012345678901234567890,1e400,-1e-400])",
        R"([0.1,1.5,-0.0,100000.0,3.4028234663852886e38,5.960464477539063e-8,1e300])",
        deep,
        long_list,
    };
    const zarvel_parse_options yaml_road{0, 1000};
    for (const std::string &text : cases) {
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse_json(text.data(), text.size(), &status);
        zarvel_document *walked_doc = zarvel_parse_ex(text.data(), text.size(), &yaml_road, &status);
        ASSERT_NE(doc, nullptr) << text;
        ASSERT_NE(walked_doc, nullptr) << text;
        for (const zarvel_plain_options &o : {opts(), opts(ZARVEL_PLAIN_DUPLICATE_KEYS_FAIL), opts(0, 0, 3)}) {
            for (bool is_json : {false, true}) {
                const target_bytes walked = targets(walked_doc, o, is_json, SIZE_MAX);
                const target_bytes fast = targets(doc, o, is_json, walked.allocated.size());
                EXPECT_EQ(fast.status, walked.status) << text;
                EXPECT_EQ(fast.allocated, walked.allocated) << text;
                EXPECT_EQ(fast.into, walked.allocated) << text;
                EXPECT_EQ(fast.streamed, walked.allocated) << text;
                EXPECT_EQ(fast.refused, walked.status == 0 && !walked.allocated.empty() ? 1 : walked.status) << text;
            }
        }
        zarvel_document_free(doc);
        zarvel_document_free(walked_doc);
    }
}

// The caller's buffer (measured first) and the stream give the allocated
// bytes; a small buffer is left alone; bad arguments are status 6.
TEST(PlainTargets, AgreeWithTheAllocatedOutput) {
    std::string yaml = "base: &b {k: v, n: 0x10}\nlist:\n";
    for (int i = 0; i < 20000; ++i) yaml += "- {<<: *b, i: " + std::to_string(i) + ", f: 1.25}\n";
    parsed p(yaml);
    for (bool is_json : {true, false}) {
        uint64_t length = 0;
        int32_t status = -1;
        char *whole = is_json ? zarvel_plain_json(p.doc, &length, &status)
                              : reinterpret_cast<char *>(zarvel_plain_cbor(p.doc, &length, &status));
        ASSERT_TRUE(whole);
        const std::string expected(whole, length);
        zarvel_free(whole);
        uint64_t measured = 0;
        std::string into(length + 1, '\x7f');
        auto into_call = [&](uint64_t capacity) {
            return is_json ? zarvel_plain_json_into(p.doc, nullptr, into.data(), capacity, &measured)
                           : zarvel_plain_cbor_into(p.doc, nullptr, reinterpret_cast<uint8_t *>(into.data()), capacity,
                                                    &measured);
        };
        EXPECT_EQ(into_call(length - 1), 0);
        EXPECT_EQ(measured, length);
        EXPECT_EQ(into[0], '\x7f');
        if (!is_json) {
            // CBOR has no NUL: a buffer of the exact length takes it, and the
            // byte after stays untouched.
            EXPECT_EQ(into_call(length), 0);
            EXPECT_EQ(into.substr(0, length), expected);
            EXPECT_EQ(into[length], '\x7f');
        }
        EXPECT_EQ(into_call(length + 1), 0);
        EXPECT_EQ(into.substr(0, length), expected);
        std::string streamed;
        uint64_t total = 0;
        EXPECT_EQ(is_json ? zarvel_plain_json_stream(p.doc, nullptr, collect, &streamed, &total)
                          : zarvel_plain_cbor_stream(p.doc, nullptr, collect, &streamed, &total),
                  0);
        EXPECT_EQ(streamed, expected);
        EXPECT_EQ(total, length);
        EXPECT_EQ(is_json ? zarvel_plain_json_stream(p.doc, nullptr, refuse, nullptr, nullptr)
                          : zarvel_plain_cbor_stream(p.doc, nullptr, refuse, nullptr, nullptr),
                  1);
    }
    EXPECT_EQ(zarvel_plain_json_into(nullptr, nullptr, nullptr, 0, nullptr), 6);
    EXPECT_EQ(zarvel_plain_cbor_into(p.doc, nullptr, nullptr, 5, nullptr), 6);
    EXPECT_EQ(zarvel_plain_json_stream(p.doc, nullptr, nullptr, nullptr, nullptr), 6);
    int32_t status = 0;
    EXPECT_EQ(zarvel_plain_cbor(nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, 6);
}

// Nesting through aliases counts like nesting in the text.
TEST(PlainJson, DeepExpansionIsANestingFailure) {
    std::string yaml = "a: &l0 [x]\n";
    for (int i = 1; i <= 40; ++i)
        yaml += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " " + std::string(30, '[') + "*l" +
                std::to_string(i - 1) + std::string(30, ']') + "\n";
    EXPECT_EQ(json(yaml).substr(0, 40), "error 3: nesting deeper than 1000 levels");
}

}  // namespace

// Byte strings read from CBOR hold bytes, not text: every text output gives
// them as base64 (YAML after !!binary, which reads back as the same bytes),
// and plain CBOR gives the byte string back.
TEST(CborBytes, TextOutputsCarryBase64) {
    const struct {
        std::vector<uint8_t> cbor;
        const char *yaml, *yaml_json, *plain_json, *plain_cbor;
    } cases[] = {
        {{0xa1, 0x61, 0x61, 0x43, 0xff, 0x00, 0x80},
         "a: !!binary \"/wCA\"\n",
         "{\"a\": !!binary \"/wCA\"}\n",
         "{\"a\":\"/wCA\"}",
         "a1616143ff0080"},
        {{0x82, 0x43, 'a', 'b', 'c', 0x40},
         "- !!binary \"YWJj\"\n- !!binary \"\"\n",
         "[!!binary \"YWJj\", !!binary \"\"]\n",
         "[\"YWJj\",\"\"]",
         "824361626340"},
        {{0xa1, 0x41, 0x01, 0xd8, 0x40, 0x42, 0xfe, 0xff},
         "!!binary \"AQ==\": !<64> \"/v8=\"\n",
         "{!!binary \"AQ==\": !<64> \"/v8=\"}\n",
         "{\"AQ==\":\"/v8=\"}",
         "a1410142feff"},
    };
    const zarvel_serialize_options block = {sizeof(zarvel_serialize_options), 0, 0, 0, 0, ZARVEL_STYLE_BLOCK};
    const zarvel_plain_options o = opts();
    for (const auto &c : cases) {
        zarvel_document *doc = zarvel_cbor_decode(c.cbor.data(), c.cbor.size(), 0, nullptr);
        ASSERT_NE(doc, nullptr);
        uint64_t length = 0;
        int32_t status = 0;
        char *text = zarvel_serialize_ex(doc, &block, &length);
        EXPECT_EQ(std::string(text, length), c.yaml);
        zarvel_free(text);
        text = zarvel_serialize_json(doc, &length);
        EXPECT_EQ(std::string(text, length), c.yaml_json);
        zarvel_free(text);
        text = zarvel_plain_json_ex(doc, &o, &length, &status);
        EXPECT_EQ(std::string(text, length), c.plain_json);
        zarvel_free(text);
        uint8_t *bytes = zarvel_plain_cbor_ex(doc, &o, &length, &status);
        EXPECT_EQ(hex(bytes, length), c.plain_cbor);
        zarvel_free(bytes);
        zarvel_document_free(doc);
    }
}
