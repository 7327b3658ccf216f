// CBOR into documents: the document sink, zarvel_cbor_decode and sequences,
// read back through the read API.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "doc/store.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

std::vector<uint8_t> from_hex(const std::string &spaced) {
    std::string hex;
    for (char c : spaced)
        if (c != ' ') hex += c;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string value_of(const zarvel_node *node) {
    uint64_t n = 0;
    const char *p = zarvel_node_value(node, &n);
    return p ? std::string(p, n) : "<null>";
}
std::string tag_text(const zarvel_node *node) {
    uint64_t n = 0;
    const char *p = zarvel_node_tag(node, &n);
    return p ? std::string(p, n) : "";
}

// A compact picture of a node tree: kind, tag id, style, explicit tag, text.
std::string picture(const zarvel_node *node) {
    std::string tag = tag_text(node);
    std::string prefix = tag.empty() ? "" : "!" + tag + " ";
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_SEQUENCE: {
        std::string out = prefix + "[";
        for (uint64_t i = 0; i < zarvel_node_seq_count(node); ++i)
            out += (i ? ", " : "") + picture(zarvel_node_seq_at(node, i));
        return out + "]";
    }
    case ZARVEL_NODE_MAPPING: {
        std::string out = prefix + "{";
        for (uint64_t i = 0; i < zarvel_node_map_count(node); ++i) {
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(node, i, &k, &v);
            out += (i ? ", " : "") + picture(k) + ": " + picture(v);
        }
        return out + "}";
    }
    default: {
        static const char *ids[] = {"str", "int", "float", "bool",  "null",  "ts",
                                    "seq", "map", "bin",   "merge", "value", "none"};
        int id = zarvel_node_tag_id(node);
        const char *style = zarvel_node_style(node) == ZARVEL_NODE_STYLE_PLAIN ? "" : "\"";
        return prefix + ids[id] + ":" + style + value_of(node) + style;
    }
    }
}

struct decoded {
    std::vector<uint8_t> bytes;  // the document borrows them
    zarvel_document *document = nullptr;
    int32_t status = -1;
    std::string message;
    ~decoded() { zarvel_document_free(document); }
    zarvel_node *root() const { return zarvel_document_root(document, 0); }
};

void decode_into(decoded &out, const std::vector<uint8_t> &bytes, uint32_t flags) {
    zarvel_error_clear(zarvel_error_current());
    out.bytes = bytes;
    out.document = zarvel_cbor_decode(out.bytes.data(), out.bytes.size(), flags, &out.status);
    out.message = zarvel_last_error(nullptr, nullptr);
}

// ---- the document sink's nodes --------------------------------------------------

struct node_row {
    const char *hex;
    uint32_t flags;
    const char *picture;
};

const node_row node_rows[] = {
    {"00", 1, "int:0"},
    {"1805", 0, "int:5"},
    {"3903e7", 1, "int:-1000"},
    {"3b7fffffffffffffff", 1, "int:-9223372036854775808"},
    {"3b8000000000000000", 1, "int:-9223372036854775809"},
    // Beyond 64-bit two's complement the exact text is kept.
    {"1bffffffffffffffff", 1, "int:18446744073709551615"},
    {"3bffffffffffffffff", 1, "int:-18446744073709551616"},
    {"f97c00", 1, "float:Infinity"},
    {"f9fc00", 1, "float:-Infinity"},
    {"f97e00", 1, "float:NaN"},
    {"fa7fc00000", 1, "float:NaN"},
    {"f90001", 1, "float:5.960464477539063e-08"},
    {"f93c00", 1, "float:1.0"},
    {"f98000", 1, "float:-0.0"},
    {"fb3ff199999999999a", 1, "float:1.1"},
    {"fa47c35000", 1, "float:100000.0"},
    {"f4", 1, "bool:false"},
    {"f5", 1, "bool:true"},
    {"f6", 1, "null:null"},
    {"f7", 1, "str:undefined"},
    {"f0", 1, "str:simple(16)"},
    {"f820", 1, "str:simple(32)"},
    {"6449455446", 1, "str:\"IETF\""},
    {"60", 1, "str:\"\""},
    {"4401020304", 1, "bin:\"\x01\x02\x03\x04\""},
    {"7f657374726561646d696e67ff", 1, "str:\"streaming\""},
    {"c11a514b67b0", 1, "!1 int:1363896240"},
    {"d9d9f7c100", 1, "!55799 1 int:0"},
    {"c074323031332d30332d32315432303a30343a30305a", 1, "!0 str:\"2013-03-21T20:04:00Z\""},
    {"83010203", 1, "[int:1, int:2, int:3]"},
    {"9f018202039f0405ffff", 1, "[int:1, [int:2, int:3], [int:4, int:5]]"},
    {"8301 82fb3ff199999999999afb7ff8000000000000 81fbfff0000000000000", 1,
     "[int:1, [float:1.1, float:NaN], [float:-Infinity]]"},
    {"c183fb3ff199999999999a fa47c35000 fb3ff199999999999a", 1, "!1 [float:1.1, float:100000.0, float:1.1]"},
    {"a16161c281fb3ff199999999999a", 1, "{str:\"a\": !2 [float:1.1]}"},
    {"84 82f93c00fb3ff199999999999a 820102 81fa47c35000 c181f90000", 1,
     "[[float:1.0, float:1.1], [int:1, int:2], [float:100000.0], !1 [float:0.0]]"},
    {"9f 82f97c00f9fc00 ff", 1, "[[float:Infinity, float:-Infinity]]"},
    {"a26161016162820203", 1, "{str:\"a\": int:1, str:\"b\": [int:2, int:3]}"},
    {"a201020304", 0, "{int:1: int:2, int:3: int:4}"},
    {"a1200a", 0, "{int:-1: int:10}"},
    {"a1f5f4", 1, "{bool:true: bool:false}"},
    {"a1f93e0000", 0, "{float:1.5: int:0}"},
    {"a143010203f6", 1, "{bin:\"\x01\x02\x03\": null:null}"},
    {"c1a1c26161c380", 1, "!1 {!2 str:\"a\": !3 []}"},
};

TEST(CborDocument, ItemsBecomeNodes) {
    for (const auto &row : node_rows) {
        decoded d;
        decode_into(d, from_hex(row.hex), row.flags);
        ASSERT_EQ(d.status, 0) << row.hex << ": " << d.message;
        ASSERT_EQ(zarvel_document_count(d.document), 1u) << row.hex;
        EXPECT_EQ(picture(d.root()), row.picture) << row.hex;
    }
}

TEST(CborDocument, NodeFlagsAndTextPlacement) {
    decoded d;
    decode_into(d, from_hex("a2 6161 01 6162 7f617861 79ff"), 1);
    const auto &bytes = d.bytes;
    ASSERT_EQ(d.status, 0);
    zarvel_node *root = d.root();
    EXPECT_EQ(zarvel_node_style(root), ZARVEL_NODE_STYLE_NONE);
    const zarvel_node_store *store = d.document->store;
    EXPECT_TRUE(zarvel_store_node(store, root->id).is_flow());
    zarvel_node *key = nullptr, *value = nullptr;
    ASSERT_EQ(zarvel_node_map_at(root, 0, &key, &value), 0);
    // A definite text refers into the caller's buffer.
    uint64_t n = 0;
    const char *a = zarvel_node_value(key, &n);
    EXPECT_EQ(a, reinterpret_cast<const char *>(bytes.data()) + 2);
    EXPECT_EQ(zarvel_node_style(key), ZARVEL_NODE_STYLE_DOUBLE_QUOTED);
    EXPECT_TRUE(zarvel_store_node(store, value->id).is_plain_implicit());
    int64_t i = 0;
    EXPECT_EQ(zarvel_node_int(value, &i), 0);
    EXPECT_EQ(i, 1);
    // A joined text is a copy.
    zarvel_node *joined = zarvel_node_map_get(root, "b", 1);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(value_of(joined), "xy");
    EXPECT_TRUE(zarvel_span_in_strings(zarvel_store_node(store, joined->id).value));
    EXPECT_EQ(zarvel_node_tag(joined, &n), nullptr);
}

TEST(CborDocument, FailuresReportTheDecoderStatus) {
    struct row {
        const char *hex;
        uint32_t flags;
        int32_t status;
        const char *message;
    } rows[] = {
        {"0000", 0, 1, "trailing bytes after the data item at byte 1"},
        {"1805", 1, 1, "non-minimal length argument at byte 0"},
        {"f81f", 0, 1, "two-byte simple value below 32 at byte 0"},
        {"a10102", 1, 1, "string key required at byte 1"},
        {"a1810000", 0, 1, "structure as map key at byte 1"},
        {"bf01ff", 0, 1, "break in a map value position (odd item count) at byte 2"},
        {"7f61c361a9ff", 0, 4, "ill-formed UTF-8 in text string at byte 2"},
        {"", 0, 1, "truncated head at byte 0"},
        {"8182fb3ff1", 0, 1, "truncated double float at byte 2"},
        {"82fb3ff199999999999afa47c350", 0, 1, "truncated single float at byte 10"},
    };
    for (const auto &r : rows) {
        decoded d;
        decode_into(d, from_hex(r.hex), r.flags);
        EXPECT_EQ(d.document, nullptr) << r.hex;
        EXPECT_EQ(d.status, r.status) << r.hex;
        EXPECT_EQ(d.message, r.message) << r.hex;
    }
    // 1000 levels open at once, the innermost an integer or an array of a double.
    for (const std::vector<uint8_t> &last : {from_hex("00"), from_hex("81 fb3ff199999999999a")}) {
        const uint32_t levels = last.size() == 1 ? 1000 : 999;
        std::vector<uint8_t> deep(levels + 1, 0x81);
        deep.insert(deep.end(), last.begin(), last.end());
        decoded d;
        decode_into(d, deep, 0);
        EXPECT_EQ(d.status, 3);
        decoded d2;
        decode_into(d2, std::vector<uint8_t>(deep.begin() + 1, deep.end()), 1);
        EXPECT_EQ(d2.status, 0);
    }
}

TEST(CborDocument, InvalidArguments) {
    int32_t status = -1;
    EXPECT_EQ(zarvel_cbor_decode(nullptr, 1, 0, &status), nullptr);
    EXPECT_EQ(status, 6);
    const uint8_t zero = 0;
    EXPECT_EQ(zarvel_cbor_decode(&zero, 1, 2, &status), nullptr);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(zvl_cbor_decode_dom_sink(nullptr, &zero, 1, 0, nullptr), 6);
    zarvel_document *doc = zarvel_cbor_decode(&zero, 1, 0, nullptr);
    EXPECT_NE(doc, nullptr);
    zarvel_document_free(doc);
}

TEST(CborDocument, DomSinkAddsRootsToAStore) {
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    ASSERT_NE(store, nullptr);
    const auto bytes = from_hex("8201020304");
    uint64_t consumed = 0;
    EXPECT_EQ(zvl_cbor_decode_dom_sink(store, bytes.data(), bytes.size(), 1, &consumed), 0);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(zvl_cbor_decode_dom_sink(store, bytes.data() + 3, 2, 1, nullptr), 1);
    EXPECT_EQ(zvl_cbor_decode_dom_sink(store, bytes.data() + 3, 1, 1, &consumed), 0);
    EXPECT_EQ(store->root_count, 2u);
    EXPECT_EQ(store->depth, 0u);
    zarvel_store_free(store);
    // A store that grows on the way makes the records and texts of a presized one.
    std::vector<uint8_t> doubles{0x83, 0x01, 0x98, 40};  // [1, [40 doubles], [40 points]]
    for (int i = 0; i < 40; ++i)
        doubles.insert(doubles.end(), {0xfb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, uint8_t(i)});
    doubles.insert(doubles.end(), {0x98, 40});
    for (int i = 0; i < 40; ++i)
        doubles.insert(doubles.end(),
                       {0x82, 0xfb, 0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, uint8_t(i), 0xf9, 0x3c, 0});
    decoded presized;
    decode_into(presized, doubles, 0);
    ASSERT_EQ(presized.status, 0);
    const zarvel_node_store *expected = presized.document->store;
    zarvel_node_store *grown = zarvel_store_new(&zarvel_default_allocator);
    ASSERT_EQ(zvl_cbor_decode_dom_sink(grown, doubles.data(), doubles.size(), 0, nullptr), 0);
    ASSERT_EQ(grown->node_count, expected->node_count);
    for (uint32_t i = 0; i < grown->node_count; ++i) {
        const zarvel_node_rec &a = grown->nodes[i], &b = expected->nodes[i];
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
    }
    EXPECT_EQ(std::string(grown->strings, grown->strings_len), std::string(expected->strings, expected->strings_len));
    zarvel_store_free(grown);
}

// ---- sequences --------------------------------------------------------------------

struct collected {
    std::vector<std::string> pictures;
    std::vector<uint64_t> indexes;
    int stop_at = -1;
};

int32_t collect(void *user, zarvel_document *document, uint64_t index) {
    auto &c = *static_cast<collected *>(user);
    c.pictures.push_back(picture(zarvel_document_root(document, 0)));
    c.indexes.push_back(index);
    zarvel_document_free(document);
    return int(index) == c.stop_at;
}

TEST(CborDocument, SequencesGiveOneDocumentPerItem) {
    collected c;
    int32_t status = -1;
    const auto two = from_hex("0000");
    EXPECT_EQ(zarvel_cbor_decode_sequence(two.data(), two.size(), 0, collect, &c, &status), 2u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(c.pictures, (std::vector<std::string>{"int:0", "int:0"}));
    EXPECT_EQ(c.indexes, (std::vector<uint64_t>{0, 1}));

    collected mixed;
    const auto items = from_hex("6161 820102 a0 f6");
    EXPECT_EQ(zarvel_cbor_decode_sequence(items.data(), items.size(), 1, collect, &mixed, &status), 4u);
    EXPECT_EQ(mixed.pictures, (std::vector<std::string>{"str:\"a\"", "[int:1, int:2]", "{}", "null:null"}));

    collected stopping;
    stopping.stop_at = 1;
    EXPECT_EQ(zarvel_cbor_decode_sequence(items.data(), items.size(), 1, collect, &stopping, &status), 1u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(stopping.pictures.size(), 2u);

    collected none;
    EXPECT_EQ(zarvel_cbor_decode_sequence(nullptr, 0, 0, collect, &none, &status), 0u);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(none.pictures.empty());
}

TEST(CborDocument, SequenceFailuresNameTheItem) {
    collected c;
    int32_t status = -1;
    const auto bad = from_hex("00 820102 1805 01");
    EXPECT_EQ(zarvel_cbor_decode_sequence(bad.data(), bad.size(), 1, collect, &c, &status), 2u);
    EXPECT_EQ(status, 1);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "CBOR sequence item 2 at byte 4 is not well-formed");
    EXPECT_EQ(c.pictures.size(), 2u);

    const auto utf8 = from_hex("61ff");
    EXPECT_EQ(zarvel_cbor_decode_sequence(utf8.data(), utf8.size(), 0, collect, &c, &status), 0u);
    EXPECT_EQ(status, 1);
    const auto cut = from_hex("0082");
    EXPECT_EQ(zarvel_cbor_decode_sequence(cut.data(), cut.size(), 0, collect, &c, &status), 1u);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "CBOR sequence item 1 at byte 1 is not well-formed");

    EXPECT_EQ(zarvel_cbor_decode_sequence(cut.data(), cut.size(), 0, nullptr, &c, &status), 0u);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(zarvel_cbor_decode_sequence(cut.data(), cut.size(), 3, collect, &c, &status), 0u);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(zarvel_cbor_decode_sequence(nullptr, 3, 0, collect, &c, &status), 0u);
    EXPECT_EQ(status, 6);
}

// ---- Appendix A through the read API -------------------------------------------------

nlohmann::json appendix_a() {
    std::ifstream in(corpus::path("cbor/appendix_a.json"));
    EXPECT_TRUE(in.good());
    return nlohmann::json::parse(in);
}

// Value of a bignum node (tag 2 or 3 over a byte string), as a double.
double bignum(const zarvel_node *node) {
    uint64_t n = 0;
    const char *p = zarvel_node_value(node, &n);
    double v = 0;
    for (uint64_t i = 0; i < n; ++i) v = v * 256 + uint8_t(p[i]);
    return tag_text(node) == "3" ? -1 - v : v;
}

bool same_double(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// Empty when the node holds the JSON value, else what differs.
std::string compare(const nlohmann::json &want, const zarvel_node *node) {
    const int kind = zarvel_node_kind(node);
    const int id = zarvel_node_tag_id(node);
    const std::string got = picture(node);
    if (want.is_array()) {
        if (kind != ZARVEL_NODE_SEQUENCE || zarvel_node_seq_count(node) != want.size()) return "array " + got;
        for (size_t i = 0; i < want.size(); ++i) {
            std::string diff = compare(want[i], zarvel_node_seq_at(node, i));
            if (!diff.empty()) return diff;
        }
        return "";
    }
    if (want.is_object()) {
        if (kind != ZARVEL_NODE_MAPPING || zarvel_node_map_count(node) != want.size()) return "map " + got;
        for (const auto &[k, v] : want.items()) {
            zarvel_node *value = zarvel_node_map_get(node, k.data(), int32_t(k.size()));
            if (!value) return "missing key " + k;
            std::string diff = compare(v, value);
            if (!diff.empty()) return diff;
        }
        return "";
    }
    if (kind != ZARVEL_NODE_SCALAR) return "scalar " + got;
    if (want.is_string())
        return id == ZARVEL_TAG_STR && value_of(node) == want.get<std::string>() ? "" : "string " + got;
    if (want.is_boolean()) {
        int32_t b = -1;
        return zarvel_node_bool(node, &b) == 0 && b == want.get<bool>() ? "" : "bool " + got;
    }
    if (want.is_null()) return id == ZARVEL_TAG_NULL ? "" : "null " + got;
    if (tag_text(node) == "2" || tag_text(node) == "3")
        return id == ZARVEL_TAG_BINARY && bignum(node) == want.get<double>() ? "" : "bignum " + got;
    if (want.is_number_integer()) {
        if (id != ZARVEL_TAG_INT) return "int " + got;
        return value_of(node) == want.dump() ? "" : "int " + got;
    }
    // Floats, and integers too large for nlohmann's 64-bit types.
    if (id == ZARVEL_TAG_INT)
        return std::strtod(value_of(node).c_str(), nullptr) == want.get<double>() ? "" : "big " + got;
    double f = 0;
    if (id != ZARVEL_TAG_FLOAT || zarvel_node_float(node, &f) != 0) return "float " + got;
    return same_double(f, want.get<double>()) ? "" : "float value " + got;
}

TEST(CborDocument, AppendixAValuesReadBack) {
    SKIP_WITHOUT_CORPUS("cbor/appendix_a.json");
    const auto vectors = appendix_a();
    int compared = 0, diagnosed = 0;
    const std::regex tagged(R"(^(\d+)\((.*)\)$)");
    for (const auto &v : vectors) {
        const std::string hex = v["hex"];
        decoded d;
        decode_into(d, from_hex(hex), 0);
        if (hex == "f818") {  // simple(24): not well-formed since RFC 8949
            EXPECT_EQ(d.status, 1);
            continue;
        }
        ASSERT_EQ(d.status, 0) << hex << ": " << d.message;
        zarvel_node *root = d.root();
        if (v.contains("decoded")) {
            EXPECT_EQ(compare(v["decoded"], root), "") << hex;
            ++compared;
            continue;
        }
        const std::string diag = v["diagnostic"];
        std::smatch m;
        if (std::regex_match(diag, m, tagged) && diag.rfind("simple", 0) != 0) {
            EXPECT_EQ(tag_text(root), m[1].str()) << hex;
        } else if (diag.rfind("h'", 0) == 0 || diag.rfind("(_ h'", 0) == 0) {
            EXPECT_EQ(zarvel_node_tag_id(root), ZARVEL_TAG_BINARY) << hex;
        } else if (diag[0] == '{') {
            EXPECT_EQ(picture(root), "{int:1: int:2, int:3: int:4}") << hex;
        } else {
            EXPECT_EQ(value_of(root), diag) << hex;
        }
        ++diagnosed;
    }
    EXPECT_EQ(compared, 59);
    EXPECT_EQ(diagnosed, 22);
}

// ---- memory failures and hostile input ---------------------------------------------

// Runs `body` with allocation n failing, for n = 1, 2, ... until a run sees
// fewer than n allocations; every run must succeed or report status 2.
// Allocation failure in decode and sequence: tests/injection_test.cpp.

TEST(CborDocument, HostileLengthsAllocateNothingLarge) {
    const char *hostile[] = {
        "9bffffffffffffffff",
        "bbffffffffffffffff",
        "5bffffffffffffffff",
        "7b7fffffffffffffff61",
        "5f5bffffffffffffffff00ff",
        "7f7a7fffffff61ff",
        "9a7fffffff00",
        "ba10000000 6161 00",
        "9f9f9f9f9f9f",
        "c1c1c1c1",
        "bf616181",
        "5f",
        "a1a1a1",
    };
    for (const char *hex : hostile) {
        const auto bytes = from_hex(hex);
        zvl::testing::fail_allocation(0);
        int32_t status = -1;
        zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, &status);
        uint64_t allocations = zvl::testing::allocation_count();
        EXPECT_EQ(doc, nullptr) << hex;
        EXPECT_EQ(status, 1) << hex;
        // The store's own few records, nothing sized by a declared length.
        EXPECT_LT(allocations, 8u) << hex;
    }
}

TEST(CborDocument, DeepNestingOfMapsAndArrays) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 500; ++i) bytes.insert(bytes.end(), {0xa1, 0x61, 'k', 0x81});
    bytes.push_back(0xf6);
    decoded d;
    decode_into(d, bytes, 1);
    ASSERT_EQ(d.status, 0) << d.message;
    const zarvel_node *node = d.root();
    int levels = 0;
    while (zarvel_node_kind(node) != ZARVEL_NODE_SCALAR) {
        node = zarvel_node_kind(node) == ZARVEL_NODE_MAPPING ? zarvel_node_map_get(node, "k", 1)
                                                             : zarvel_node_seq_at(node, 0);
        ++levels;
    }
    EXPECT_EQ(levels, 1000);
    bytes.insert(bytes.begin(), 0x81);
    decoded deeper;
    decode_into(deeper, bytes, 1);
    EXPECT_EQ(deeper.status, 3);
}

}  // namespace
