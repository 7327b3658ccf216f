// CBOR encoder: heads, numbers, special texts, tags, canonical order, entries,
// Appendix A round trips and allocation failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <fstream>
#include <nlohmann/json.hpp>
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

std::string to_hex(const uint8_t *p, uint64_t n) {
    std::string out;
    for (uint64_t i = 0; i < n; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", p[i]);
        out += h;
    }
    return out;
}

// Encoding of a document as hex, or "status N" from the recorded message.
std::string encode_hex(zarvel_document *doc, uint32_t flags = 0) {
    zarvel_error_clear(zarvel_error_current());
    uint64_t n = 0;
    uint8_t *bytes = zarvel_cbor_encode(doc, flags, &n);
    if (!bytes) return zarvel_last_error(nullptr, nullptr);
    std::string hex = to_hex(bytes, n);
    zarvel_free(bytes);
    return hex;
}

// A document with one scalar root of the given style and tag id (set by the
// core resolver for plain scalars; `tag` adds an explicit tag text).
struct built {
    zarvel_document *doc = zarvel_document_new();
    ~built() { zarvel_document_free(doc); }
};

std::string scalar_hex(const std::string &text, uint32_t style, const char *tag = nullptr) {
    built b;
    zarvel_node *node = zarvel_node_new_scalar(b.doc, text.data(), text.size(), style);
    if (tag) zarvel_node_set_tag(node, tag, int32_t(std::strlen(tag)));
    EXPECT_EQ(zarvel_document_set_root(b.doc, node), 0);
    return encode_hex(b.doc);
}

// A document decoded from CBOR (lenient), then encoded.
std::string cbor_hex(const std::string &hex, uint32_t flags = 0) {
    auto bytes = from_hex(hex);
    int32_t status = -1;
    zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, &status);
    if (!doc) return "decode status " + std::to_string(status);
    std::string out = encode_hex(doc, flags);
    zarvel_document_free(doc);
    return out;
}

// A CBOR-decoded document that keeps its bytes alive.
struct decoded {
    std::vector<uint8_t> bytes;
    zarvel_document *doc = nullptr;
    explicit decoded(std::vector<uint8_t> b) : bytes(std::move(b)) {
        doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, nullptr);
    }
    ~decoded() { zarvel_document_free(doc); }
};

// ---- scalars ------------------------------------------------------------------------

struct scalar_row {
    const char *text;
    uint32_t style;  // 1 plain (core resolver), 3 double-quoted (str)
    const char *hex;
};

const scalar_row scalar_rows[] = {
    {"0", 1, "00"},
    {"23", 1, "17"},
    {"24", 1, "1818"},
    {"255", 1, "18ff"},
    {"256", 1, "190100"},
    {"65535", 1, "19ffff"},
    {"65536", 1, "1a00010000"},
    {"4294967295", 1, "1affffffff"},
    {"4294967296", 1, "1b0000000100000000"},
    {"-1", 1, "20"},
    {"-24", 1, "37"},
    {"-25", 1, "3818"},
    {"-9223372036854775808", 1, "3b7fffffffffffffff"},
    {"9223372036854775807", 1, "1b7fffffffffffffff"},
    // Beyond 64-bit two's complement but inside CBOR's integer heads.
    {"18446744073709551615", 1, "1bffffffffffffffff"},
    {"-18446744073709551616", 1, "3bffffffffffffffff"},
    {"18446744073709551616", 1, "fa5f800000"},
    {"100000000000000000001", 1, "fb4415af1d78b58c40"},
    {"-0", 1, "00"},
    {"1.5", 1, "f93e00"},
    {"0.1", 1, "fb3fb999999999999a"},
    {"100000.0", 1, "fa47c35000"},
    {"65504.0", 1, "f97bff"},
    {"65520.0", 1, "fa477ff000"},
    {"5.960464477539063e-08", 1, "f90001"},
    {"6.103515625e-05", 1, "f90400"},
    {"-4.0", 1, "f9c400"},
    {"0.0", 1, "f90000"},
    {"-0.0", 1, "f98000"},
    {"1e300", 1, "fb7e37e43c8800759c"},
    {"3.4028234663852886e+38", 1, "fa7f7fffff"},
    {"1e-7", 1, "fb3e7ad7f29abcaf48"},
    {"true", 1, "f5"},
    {"false", 1, "f4"},
    {"null", 1, "f6"},
    {"~", 1, "f6"},
    {"", 1, "f6"},
    {"hello", 1, "6568656c6c6f"},
    {"", 3, "60"},
    {"123", 3, "63313233"},
    // Texts that name simple values stay texts: only scalars decoded from
    // CBOR undefined and simple values are written as those.
    {"undefined", 1, "69756e646566696e6564"},
    {"undefined", 3, "69756e646566696e6564"},
    {"simple(5)", 3, "6973696d706c65283529"},
    {"simple(0)", 3, "6973696d706c65283029"},
    {"simple(23)", 3, "6a73696d706c6528323329"},
    {"simple(24)", 3, "6a73696d706c6528323429"},
    {"simple(31)", 3, "6a73696d706c6528333129"},
    {"simple(32)", 3, "6a73696d706c6528333229"},
    {"simple(255)", 3, "6b73696d706c652832353529"},
    {"simple(256)", 3, "6b73696d706c652832353629"},
    {"simple()", 3, "6873696d706c652829"},
    {"\xff", 3, "41ff"},
    {"0123456789\xff", 3, "4b30313233343536373839ff"},
    {"0123456789\xc3\xa9", 3, "6c30313233343536373839c3a9"},
    {"\xc3\xa9", 3, "62c3a9"},
};

TEST(CborEncode, ScalarsUseTheShortestForm) {
    for (const auto &row : scalar_rows) EXPECT_EQ(scalar_hex(row.text, row.style), row.hex) << row.text;
}

// Only scalars decoded from CBOR undefined and simple values are written as
// those, and byte-string keys go back as byte strings: each source below
// encodes to the bytes given, through the single walk and the two-pass
// (canonical) encoder alike.
TEST(CborEncode, SimpleValuesAndByteKeysKeepTheirType) {
    enum source { cbor, cbor_strict, json, yaml };
    struct row {
        source from;
        const char *text;  // hex for CBOR
        const char *hex;
    } rows[] = {
        {json, R"({"a":"undefined"})", "a16161 69756e646566696e6564"},
        {json, R"j(["simple(5)","simple(32)"])j", "82 6973696d706c65283529 6a73696d706c6528333229"},
        {yaml, "- \"undefined\"\n- undefined\n- simple(5)\n",
         "83 69756e646566696e6564 69756e646566696e6564 6973696d706c65283529"},
        {cbor, "69756e646566696e6564", "69756e646566696e6564"},
        {cbor, "84 f7 e5 f820 f8ff", "84f7e5f820f8ff"},
        {cbor, "c7f7", "c7f7"},
        {cbor, "a2 e5 01 f7 00", "a2e501f700"},
        {cbor_strict, "a2 4161 01 6161 02", "a2416101616102"},
        {cbor,
         "a2 5818 000102030405060708090a0b0c0d0e0f101112131415 1617 01"
         "   5818 000102030405060708090a0b0c0d0e0f101112131415 1618 02",
         "a25818000102030405060708090a0b0c0d0e0f1011121314151617015818000102030405060708090a0b0c0d0e0f10111213141516"
         "1802"},
        {cbor_strict, "a1 44 ff00fe01 f6", "a144ff00fe01f6"},
        // Texts read in place stay texts; byte strings beside them stay bytes.
        {cbor, "82 62c3a9 42c3a9", "8262c3a942c3a9"},
        {json, "[\"\xc3\xa9\"]", "8162c3a9"},
    };
    for (const row &r : rows) {
        const bool is_cbor = r.from == cbor || r.from == cbor_strict;
        std::vector<uint8_t> bytes = is_cbor ? from_hex(r.text) : std::vector<uint8_t>();
        int32_t status = -1;
        zarvel_document *doc = r.from == json ? zarvel_parse_json(r.text, std::strlen(r.text), &status)
                               : r.from == yaml
                                   ? zarvel_parse(r.text, std::strlen(r.text), &status)
                                   : zarvel_cbor_decode(bytes.data(), bytes.size(), r.from == cbor_strict, &status);
        ASSERT_NE(doc, nullptr) << r.text << ": status " << status;
        const std::vector<uint8_t> want = from_hex(r.hex);
        const std::string expected = to_hex(want.data(), want.size());
        EXPECT_EQ(encode_hex(doc), expected) << r.text;
        EXPECT_EQ(encode_hex(doc, ZARVEL_CBOR_CANONICAL), expected) << r.text;
        zarvel_document_free(doc);
    }
    // Canonical order sorts a byte-string key (major 2) before a text key.
    EXPECT_EQ(cbor_hex("a2 6161 02 4161 01", ZARVEL_CBOR_CANONICAL), "a2416101616102");
}

TEST(CborEncode, NumberTextsThatAreNotJsonNumbersAreRefused) {
    const char *refused_plain[] = {".inf", "-.inf", ".nan", "1.", ".5"};
    for (const char *text : refused_plain) EXPECT_EQ(scalar_hex(text, 1), "cbor encode failed (status 7)") << text;
    // Integers in other spellings than JSON's encode by their value.
    const std::pair<const char *, const char *> integers[] = {
        {"0x1F", "181f"}, {"0o17", "0f"}, {"+1", "01"}, {"0644", "190284"}, {"08540", "19215c"}, {"-010", "29"},
    };
    for (const auto &[text, hex] : integers) EXPECT_EQ(scalar_hex(text, 1), hex) << text;
    // Special float texts are numbers only when int- or float-tagged.
    EXPECT_EQ(scalar_hex("NaN", 3), "634e614e");
    EXPECT_EQ(scalar_hex("Infinity", 1), "68496e66696e697479");
    // A 33-byte number text is refused.
    EXPECT_EQ(scalar_hex("1.00000000000000000000000000000000", 1), "cbor encode failed (status 7)");
}

TEST(CborEncode, DecodedNumbersAndSpecialFloatTexts) {
    // Decoded numbers keep their value beside the text: every walk writes
    // it back with the shortest head or in the narrowest exact width.
    struct row {
        const char *item, *encoded;
    };
    const row rows[] = {
        {"f97c00", "f97c00"},
        {"f9fc00", "f9fc00"},
        {"f97e00", "f97e00"},
        {"f90001", "f90001"},
        {"fa7f800000", "f97c00"},
        {"fb8000000000000000", "f98000"},
        {"fb3ff199999999999a", "fb3ff199999999999a"},
        {"fb40f86a0000000000", "fa47c35000"},
        {"fb3e70000000000000", "f90001"},
        {"fb7e37e43c8800759c", "fb7e37e43c8800759c"},
        {"17", "17"},
        {"1818", "1818"},
        {"190100", "190100"},
        {"37", "37"},
        {"3818", "3818"},
        {"1b7fffffffffffffff", "1b7fffffffffffffff"},
        {"3b7fffffffffffffff", "3b7fffffffffffffff"},
        {"1bffffffffffffffff", "1bffffffffffffffff"},
        {"3b8000000000000000", "3b8000000000000000"},
        {"8218051a00010000", "82051a00010000"},
    };
    for (const row &r : rows) {
        auto bytes = from_hex(r.item);
        zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, nullptr);
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(encode_hex(doc), r.encoded) << r.item;
        EXPECT_EQ(encode_hex(doc, ZARVEL_CBOR_CANONICAL), r.encoded) << r.item;
        zarvel_document_free(doc);
    }
    built b;
    zarvel_node *seq = zarvel_node_new_sequence(b.doc);
    zarvel_node_seq_add(seq, zarvel_node_new_scalar(b.doc, "3.0", 3, 1));
    zarvel_node *three = zarvel_node_new_scalar(b.doc, "3", 1, 1);
    zarvel_node_seq_add(seq, three);
    zarvel_document_set_root(b.doc, seq);
    // A float-tagged text without fraction or exponent is an integer.
    b.doc->store->nodes[three->id].tag_id = ZARVEL_TAG_FLOAT;
    EXPECT_EQ(encode_hex(b.doc), "82f9420003");
}

// ---- tags -----------------------------------------------------------------------------

TEST(CborEncode, NumericTagChains) {
    struct row {
        const char *tag;
        const char *hex;
    } rows[] = {
        {"1", "c100"},
        {"55799 1", "d9d9f7c100"},
        {"23", "d700"},
        {"24", "d81800"},
        {"18446744073709551615", "dbffffffffffffffff00"},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16", "c1c2c3c4c5c6c7c8c9cacbcccdcecfd000"},
        {"18446744073709551616", "cbor encode failed (status 7)"},
        // More than 16 tags: whatever the decoder's 512-byte chain holds.
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17", "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d100"},
        {"", "00"},
        {" 1", "cbor encode failed (status 7)"},
        {"1 ", "cbor encode failed (status 7)"},
        {"1  2", "cbor encode failed (status 7)"},
        {"!local", "cbor encode failed (status 7)"},
        {"tag:yaml.org,2002:int", "cbor encode failed (status 7)"},
        {"-1", "cbor encode failed (status 7)"},
    };
    for (const auto &r : rows) EXPECT_EQ(scalar_hex("0", 1, r.tag), r.hex) << r.tag;
    std::string long_chain(511, '1');
    for (size_t i = 1; i < long_chain.size(); i += 2) long_chain[i] = ' ';
    EXPECT_EQ(scalar_hex("0", 1, long_chain.c_str()).size(), 256u * 2 + 2);
    EXPECT_EQ(scalar_hex("0", 1, (long_chain + " 1").c_str()), "cbor encode failed (status 7)");
    std::string many(200 * 2, 'c');
    for (size_t i = 1; i < many.size(); i += 2) many[i] = '5';
    EXPECT_EQ(cbor_hex(many + "00"), many + "00");  // 200 tags decode and encode back
    // Tagged special texts are strings: the tag speaks for the item.
    EXPECT_EQ(scalar_hex("undefined", 3, "7"), "c769756e646566696e6564");
    EXPECT_EQ(scalar_hex("bar", 1, "!foo"), "cbor encode failed (status 7)");
}

// ---- collections, canonical order -------------------------------------------------------

TEST(CborEncode, CollectionsAndCanonicalOrder) {
    EXPECT_EQ(cbor_hex("a262626201616102"), "a262626201616102");
    EXPECT_EQ(cbor_hex("a262626201616102", ZARVEL_CBOR_CANONICAL), "a261610262626201");
    // Bytewise order of the encoded keys: shorter heads first, then bytes.
    EXPECT_EQ(cbor_hex("a6 616201 0a02 2003 62616104 186405 f406", ZARVEL_CBOR_CANONICAL),
              "a60a02186405200361620162616104f406");
    // Equal keys keep document order.
    EXPECT_EQ(cbor_hex("81a3616101616102 6003", ZARVEL_CBOR_CANONICAL), "81a36003616101616102");
    EXPECT_EQ(cbor_hex("80"), "80");
    EXPECT_EQ(cbor_hex("a0"), "a0");
    EXPECT_EQ(cbor_hex("9f01bf6161f6ffff"), "8201a16161f6");
    // Nested mappings are sorted too, and so are mappings used as keys.
    built b;
    zarvel_node *root = zarvel_node_new_mapping(b.doc);
    zarvel_node *inner = zarvel_node_new_mapping(b.doc);
    zarvel_node_map_add(inner, "y", 1, zarvel_node_new_scalar(b.doc, "1", 1, 1));
    zarvel_node_map_add(inner, "x", 1, zarvel_node_new_scalar(b.doc, "2", 1, 1));
    zarvel_node_map_add(root, "z", 1, inner);
    zarvel_node *key = zarvel_node_new_mapping(b.doc);
    zarvel_node_map_add(key, "d", 1, zarvel_node_new_scalar(b.doc, "1", 1, 1));
    zarvel_node_map_add(key, "c", 1, zarvel_node_new_scalar(b.doc, "2", 1, 1));
    ASSERT_EQ(zarvel_node_map_add_node(root, key, zarvel_node_new_scalar(b.doc, "3", 1, 1)), 0);
    ASSERT_EQ(zarvel_document_set_root(b.doc, root), 0);
    EXPECT_EQ(encode_hex(b.doc), "a2617aa2617901617802a261640161630203");
    EXPECT_EQ(encode_hex(b.doc, ZARVEL_CBOR_CANONICAL), "a2617aa2617802617901a261630261640103");
    built s;
    zarvel_node *with_seq = zarvel_node_new_mapping(s.doc);
    zarvel_node *seq_key = zarvel_node_new_sequence(s.doc);
    zarvel_node_seq_add(seq_key, zarvel_node_new_scalar(s.doc, "1", 1, 1));
    ASSERT_EQ(zarvel_node_map_add_node(with_seq, seq_key, zarvel_node_new_scalar(s.doc, "7", 1, 1)), 0);
    ASSERT_EQ(zarvel_node_map_add(with_seq, "a", 1, zarvel_node_new_scalar(s.doc, "1", 1, 1)), 0);
    ASSERT_EQ(zarvel_document_set_root(s.doc, with_seq), 0);
    EXPECT_EQ(encode_hex(s.doc),
              "a28101076161"
              "01");
    EXPECT_EQ(encode_hex(s.doc, ZARVEL_CBOR_CANONICAL), "a2616101810107");
    // Aliases cannot be encoded.
    built a;
    zarvel_node *seq = zarvel_node_new_sequence(a.doc);
    zarvel_node *x = zarvel_node_new_scalar(a.doc, "x", 1, 1);
    zarvel_node_set_anchor(x, "a", 1);
    zarvel_node_seq_add(seq, x);
    zarvel_node_seq_add(seq, zarvel_node_new_alias(a.doc, x, "a", 1));
    zarvel_document_set_root(a.doc, seq);
    EXPECT_EQ(encode_hex(a.doc), "cbor encode failed (status 7)");
}

TEST(CborEncode, LargeMappingSortsStably) {
    // 1000 pairs, keys k0..k249 four times each, values descending.
    std::vector<uint8_t> bytes{0xb9, 0x03, 0xe8};
    for (int i = 999; i >= 0; --i) {
        std::string k = "k" + std::to_string(i % 250);
        bytes.push_back(uint8_t(0x60 + k.size()));
        bytes.insert(bytes.end(), k.begin(), k.end());
        bytes.insert(bytes.end(), {0x19, uint8_t(i >> 8), uint8_t(i)});
    }
    decoded in(bytes);
    ASSERT_NE(in.doc, nullptr);
    uint64_t n = 0;
    uint8_t *out = zarvel_cbor_encode(in.doc, ZARVEL_CBOR_CANONICAL, &n);
    ASSERT_NE(out, nullptr);
    // Small values encode shorter than the input's 2-byte heads: decode again.
    zarvel_document *back = zarvel_cbor_decode(out, n, 0, nullptr);
    ASSERT_NE(back, nullptr);
    zarvel_node *root = zarvel_document_root(back, 0);
    ASSERT_EQ(zarvel_node_map_count(root), 1000u);
    std::vector<std::pair<std::string, int64_t>> pairs;
    for (uint64_t i = 0; i < 1000; ++i) {
        zarvel_node *k, *v;
        zarvel_node_map_at(root, i, &k, &v);
        uint64_t len;
        const char *t = zarvel_node_value(k, &len);
        int64_t value = 0;
        zarvel_node_int(v, &value);
        pairs.emplace_back(std::string(t, len), value);
    }
    for (size_t i = 1; i < pairs.size(); ++i) {
        const auto &a = pairs[i - 1].first, &b = pairs[i].first;
        ASSERT_TRUE(a.size() < b.size() || (a.size() == b.size() && a <= b)) << a << " " << b;
        // Document order among equal keys: values were written descending.
        if (a == b) {
            ASSERT_GT(pairs[i - 1].second, pairs[i].second) << a;
        }
    }
    zarvel_document_free(back);
    zarvel_free(out);
}

// Mappings used as keys of mappings used as keys: each mapping is sorted once,
// so depth 40 takes no time (sorting on every visit would take 3^40 steps).
TEST(CborEncode, NestedMappingKeysAreSortedOnce) {
    built b;
    zarvel_node *inner = zarvel_node_new_scalar(b.doc, "x", 1, 1);
    for (int depth = 0; depth < 40; ++depth) {
        zarvel_node *map = zarvel_node_new_mapping(b.doc);
        ASSERT_EQ(zarvel_node_map_add(map, "z", 1, zarvel_node_new_scalar(b.doc, "1", 1, 1)), 0);
        ASSERT_EQ(zarvel_node_map_add_node(map, inner, zarvel_node_new_scalar(b.doc, "v", 1, 1)), 0);
        inner = map;
    }
    ASSERT_EQ(zarvel_document_set_root(b.doc, inner), 0);
    const std::string plain = encode_hex(b.doc);
    const std::string sorted = encode_hex(b.doc, ZARVEL_CBOR_CANONICAL);
    ASSERT_EQ(plain.size(), sorted.size());
    // Innermost: {z: 1, x: v} sorts to {x: v, z: 1}; every outer level puts
    // "z" (0x61...) before its mapping key (0xa2...).
    EXPECT_EQ(sorted.substr(0, 10), "a2617a01a2");
    EXPECT_NE(sorted.find("a261786176617a01"), std::string::npos);
    EXPECT_EQ(zarvel_cbor_encode_into(b.doc, ZARVEL_CBOR_CANONICAL, nullptr, 0), sorted.size() / 2);
}

TEST(CborEncode, ThousandLevelsEncode) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 500; ++i) bytes.insert(bytes.end(), {0xa2, 0x61, 'k', 0x81});
    bytes.push_back(0xf6);
    for (int i = 0; i < 500; ++i) bytes.insert(bytes.end(), {0x61, 'a', 0x00});
    // Each map: "k": [ ... ], "a": 0 -- the pair "a": 0 follows the nested value.
    decoded in(bytes);
    ASSERT_NE(in.doc, nullptr) << zarvel_last_error(nullptr, nullptr);
    std::vector<uint8_t> sorted;
    for (int i = 0; i < 500; ++i) sorted.insert(sorted.end(), {0xa2, 0x61, 'a', 0x00, 0x61, 'k', 0x81});
    sorted.push_back(0xf6);
    EXPECT_EQ(encode_hex(in.doc), to_hex(bytes.data(), bytes.size()));
    EXPECT_EQ(encode_hex(in.doc, ZARVEL_CBOR_CANONICAL), to_hex(sorted.data(), sorted.size()));
}

// ---- entries ---------------------------------------------------------------------------

TEST(CborEncode, IntoMeasuresAndWrites) {
    decoded in(from_hex("83016568656c6c6ffb4004000000000000"));
    zarvel_document *doc = in.doc;
    ASSERT_NE(doc, nullptr);
    const uint64_t size = zarvel_cbor_encode_into(doc, 0, nullptr, 0);
    EXPECT_EQ(size, 11u);
    std::vector<uint8_t> buffer(size, 0xAA);
    EXPECT_EQ(zarvel_cbor_encode_into(doc, 0, buffer.data(), size - 1), size);
    EXPECT_EQ(buffer, std::vector<uint8_t>(size, 0xAA));
    EXPECT_EQ(zarvel_cbor_encode_into(doc, 0, buffer.data(), size), size);
    EXPECT_EQ(to_hex(buffer.data(), size), "83016568656c6c6ff94100");

    EXPECT_EQ(zarvel_cbor_encode_into(nullptr, 0, buffer.data(), size), 0u);
    EXPECT_EQ(zarvel_cbor_encode(nullptr, 0, nullptr), nullptr);
    built empty;
    EXPECT_EQ(zarvel_cbor_encode_into(empty.doc, 0, nullptr, 0), 0u);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "cbor encode failed (status 6)");
    EXPECT_EQ(encode_hex(empty.doc), "cbor encode failed (status 6)");
}

TEST(CborEncode, OutputOutgrowingItsTextsEncodesAsMeasured) {
    // Short float texts of nine-byte floats: the output passes the first
    // guess at its size, which is the texts' length.
    std::string json = "[";
    for (int i = 0; i < 300; ++i) json += i ? ",0.1" : "0.1";
    json += "]";
    zarvel_document *doc = zarvel_parse_json(json.data(), json.size(), nullptr);
    ASSERT_NE(doc, nullptr);
    uint64_t n = 0;
    uint8_t *bytes = zarvel_cbor_encode(doc, 0, &n);
    ASSERT_NE(bytes, nullptr);
    std::vector<uint8_t> into(n);
    EXPECT_EQ(zarvel_cbor_encode_into(doc, 0, into.data(), n), n);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + n), into);
    EXPECT_EQ(n, 3 + 300 * 9u);
    zarvel_free(bytes);
    zarvel_document_free(doc);
}

TEST(CborEncode, FirstRootOnlyAndSequences) {
    built stream;
    zarvel_document *doc = stream.doc;
    zarvel_document_set_root(doc, zarvel_node_new_scalar(doc, "1", 1, 1));
    zarvel_node *second = zarvel_node_new_sequence(doc);
    zarvel_node_seq_add(second, zarvel_node_new_scalar(doc, "2", 1, 1));
    zarvel_document_set_root(doc, second);
    ASSERT_EQ(zarvel_document_count(doc), 2u);
    EXPECT_EQ(encode_hex(doc), "01");
    decoded x(from_hex("816178"));
    zarvel_document *one = x.doc;
    zarvel_document *docs[] = {doc, one, doc};
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(docs, 3, 0, nullptr, 0), 5u);
    uint64_t n = 0;
    uint8_t *bytes = zarvel_cbor_encode_sequence(docs, 3, 0, &n);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(to_hex(bytes, n),
              "01816178"
              "01");
    zarvel_free(bytes);
    std::vector<uint8_t> small(3, 0);
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(docs, 3, 0, small.data(), 3), 5u);
    EXPECT_EQ(small, std::vector<uint8_t>(3, 0));

    built empty;
    zarvel_document *with_empty[] = {doc, empty.doc};
    zarvel_error_clear(zarvel_error_current());
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(with_empty, 2, 0, nullptr, 0), 0u);
    EXPECT_EQ(zarvel_cbor_encode_sequence(with_empty, 2, 0, &n), nullptr);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "");
    zarvel_document *with_null[] = {doc, nullptr};
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(with_null, 2, 0, nullptr, 0), 0u);
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(nullptr, 1, 0, nullptr, 0), 0u);
    EXPECT_EQ(zarvel_cbor_encode_sequence_into(nullptr, 0, 0, nullptr, 0), 0u);
    EXPECT_EQ(zarvel_cbor_encode_sequence(docs, 0, 0, &n), nullptr);
}

// ---- Appendix A: decode, re-encode ------------------------------------------------------

TEST(CborEncode, AppendixARoundTrips) {
    SKIP_WITHOUT_CORPUS("cbor/appendix_a.json");
    std::ifstream in(corpus::path("cbor/appendix_a.json"));
    ASSERT_TRUE(in.good());
    const auto vectors = nlohmann::json::parse(in);
    int exact = 0, stable = 0;
    for (const auto &v : vectors) {
        const std::string hex = v["hex"];
        if (hex == "f818") continue;  // not well-formed under RFC 8949
        auto bytes = from_hex(hex);
        zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, nullptr);
        ASSERT_NE(doc, nullptr) << hex;
        const std::string once = encode_hex(doc);
        zarvel_document_free(doc);
        if (v["roundtrip"].get<bool>()) {
            EXPECT_EQ(once, hex);
            ++exact;
        }
        // Whatever the input's form, the preferred form is a fixed point.
        auto again = from_hex(once);
        zarvel_document *doc2 = zarvel_cbor_decode(again.data(), again.size(), 0, nullptr);
        ASSERT_NE(doc2, nullptr) << hex << " -> " << once;
        EXPECT_EQ(encode_hex(doc2), once) << hex;
        zarvel_document_free(doc2);
        ++stable;
    }
    EXPECT_EQ(exact, 64);  // every vector marked roundtrip but f818
    EXPECT_EQ(stable, 81);
}

// ---- allocation failures ---------------------------------------------------------------

TEST(CborEncode, EveryAllocationFailureFailsCleanly) {
    // {zz: [1, 2.5, {q: 1, p: 2}], a: {y: null, x: true}, m: [[3], {c: 1, b: 2, a: 3}],
    //  k1: 1 ... k18: 18}, tagged here and there.
    std::vector<uint8_t> bytes =
        from_hex("b5 627a7a 8301f94100a2617101617002 6161 a26179f66178f5 616d 8281c103a3616301616202616103");
    for (int i = 1; i <= 18; ++i) {
        std::string k = "k" + std::to_string(i);
        bytes.push_back(uint8_t(0x60 + k.size()));
        bytes.insert(bytes.end(), k.begin(), k.end());
        bytes.push_back(uint8_t(i));
    }
    decoded in(bytes);
    for (uint32_t flags : {0u, uint32_t(ZARVEL_CBOR_CANONICAL)}) {
        zarvel_document *doc = in.doc;
        ASSERT_NE(doc, nullptr);
        ASSERT_EQ(zarvel_document_count(doc), 1u);
        uint64_t n = 0;
        uint8_t *reference = zarvel_cbor_encode(doc, flags, &n);
        ASSERT_NE(reference, nullptr);
        const std::string want = to_hex(reference, n);
        zarvel_free(reference);
        for (uint64_t k = 1;; ++k) {
            zvl::testing::fail_allocation(k);
            uint64_t len = 0;
            uint8_t *bytes = zarvel_cbor_encode(doc, flags, &len);
            const uint64_t seen = zvl::testing::fail_allocation(0);
            if (bytes) {
                EXPECT_EQ(to_hex(bytes, len), want);
                zarvel_free(bytes);
            } else {
                const std::string message = zarvel_last_error(nullptr, nullptr);
                EXPECT_TRUE(message == "cbor encode failed (status 2)" || message == "cbor encode: out of memory")
                    << k << " " << message;
            }
            if (seen < k) {
                EXPECT_NE(bytes, nullptr);
                break;
            }
            ASSERT_LT(k, 10000u);
        }
        zarvel_document *docs[] = {doc, doc};
        for (uint64_t k = 1;; ++k) {
            zvl::testing::fail_allocation(k);
            uint64_t len = 0;
            uint8_t *bytes = zarvel_cbor_encode_sequence(docs, 2, flags, &len);
            const uint64_t seen = zvl::testing::fail_allocation(0);
            if (bytes) {
                EXPECT_EQ(to_hex(bytes, len), want + want);
                zarvel_free(bytes);
            }
            if (seen < k) break;
            ASSERT_LT(k, 10000u);
        }
    }
}

}  // namespace

namespace {

// Head byte of a float in its narrowest exact width, worked out with the
// floating-point library as a reference.
uint8_t reference_float_head(double d) {
    if (std::isnan(d) || std::isinf(d) || d == 0) return 0xF9;
    const double a = std::fabs(d);
    bool half = false;
    if (a <= 65504.0 && a >= 0x1p-24) {
        const int e = std::ilogb(a);
        const double units = e < -14 ? std::ldexp(a, 24) : (std::ldexp(a, -e) - 1.0) * 1024.0;
        half = units == std::floor(units);
    }
    if (half) return 0xF9;
    if (a <= 3.4028234663852886e38 && double(float(d)) == d) return 0xFA;
    return 0xFB;
}

std::string json_number_hex(const std::string &text) {
    int32_t status = 0;
    const std::string json = "[" + text + "]";
    zarvel_document *doc = zarvel_parse_json(json.data(), json.size(), &status);
    EXPECT_NE(doc, nullptr) << text;
    if (!doc) return "";
    std::string hex = encode_hex(doc);
    zarvel_document_free(doc);
    return hex.size() >= 2 ? hex.substr(2) : hex;  // past the array head
}

// The usual number texts, read in place, encode exactly as the same numbers
// written with more digits than that reading takes; floats get the
// narrowest exact width.
TEST(CborEncode, NumberTextsAgreeWithTheGeneralReading) {
    std::mt19937_64 random(8949);
    std::vector<std::string> texts = {"0",
                                      "-0",
                                      "1",
                                      "-1",
                                      "23",
                                      "24",
                                      "-25",
                                      "65536",
                                      "999999999999999999",
                                      "-999999999999999999",
                                      "0.5",
                                      "-0.0",
                                      "1e22",
                                      "1e-22",
                                      "9007199254740992.0",
                                      "9007199254740993.0",
                                      "65504.0",
                                      "65505.0",
                                      "1.0e5"};
    for (int k = 0; k < 4000; ++k) {
        std::string t = (random() & 1) ? "-" : "";
        t += std::to_string(random() % 100000000);
        if (random() % 4) t += "." + std::to_string(random() % 1000000);
        if (random() % 3 == 0) t += "e" + std::to_string(int(random() % 40) - 20);
        texts.push_back(t);
    }
    for (const std::string &t : texts) {
        const bool is_integer = t.find_first_of(".eE") == std::string::npos;
        const std::string fast = json_number_hex(t);
        if (is_integer) {
            // Integers: the head of the value itself.
            const long long v = std::stoll(t);
            std::string want = v >= 0 ? scalar_hex(std::to_string(v), 1) : scalar_hex(t, 1);
            EXPECT_EQ(fast, want) << t;
            continue;
        }
        // The same value with 20 significant digits or more.
        std::string padded = t;
        size_t e = padded.find_first_of("eE");
        std::string exponent = e == std::string::npos ? "" : padded.substr(e);
        if (e != std::string::npos) padded.resize(e);
        if (padded.find('.') == std::string::npos) padded += ".";
        padded += std::string(20, '0');
        padded += exponent;
        if (padded.size() > 32) continue;
        EXPECT_EQ(fast, json_number_hex(padded)) << t << " vs " << padded;
        EXPECT_EQ(fast.substr(0, 2),
                  to_hex(std::vector<uint8_t>{reference_float_head(std::strtod(t.c_str(), nullptr))}.data(), 1))
            << t;
    }
    // Every binary16 value (and its neighbours) takes the narrowest width.
    for (uint32_t h = 0; h < 0x10000; h += 7) {
        if ((h & 0x7C00) == 0x7C00) continue;  // infinities and NaNs
        const int exponent = int((h >> 10) & 0x1F);
        const double magnitude =
            exponent ? std::ldexp(1.0 + (h & 0x3FF) / 1024.0, exponent - 15) : std::ldexp(double(h & 0x3FF), -24);
        const double value = (h & 0x8000) ? -magnitude : magnitude;
        for (double d : {value, std::nextafter(value, 1e9), std::nextafter(value, -1e9)}) {
            char text[40];
            std::snprintf(text, sizeof text, "%.17g", d);
            std::string t = text;
            if (t.find_first_of(".eE") == std::string::npos) t += ".0";
            const std::string hex = json_number_hex(t);
            ASSERT_GE(hex.size(), 2u) << t;
            EXPECT_EQ(hex.substr(0, 2), to_hex(std::vector<uint8_t>{reference_float_head(d)}.data(), 1)) << t;
        }
    }
}

}  // namespace
