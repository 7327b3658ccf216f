// Node read API over documents composed from hand-written events: getters,
// positional access, lookup by key with its index, typed reads, threads.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "doc_helpers.hpp"
#include "doc/resolve.hpp"
#include "doc/tree_builder.hpp"
#include "jsondoc/json_document.hpp"

using namespace doc_test;

namespace {

// Every event points into this text.
const std::string text =
    "a 1 x 2.5 true false yes 0x1F abc tag:yaml.org,2002:bool tag:yaml.org,2002:int s e k v dup first second "
    "anc 12x" +
    std::string(400, ' ');

std::string_view at(std::string_view word, size_t from = 0) {
    size_t p = text.find(word, from);
    EXPECT_NE(p, std::string::npos) << word;
    return std::string_view(text).substr(p, word.size());
}

zarvel_event tagged(zarvel_event e, std::string_view tag, uint8_t tag_id) {
    e.tag = span_of(tag);
    e.tag_id = tag_id;
    e.plain_implicit = 0;
    return e;
}

std::vector<zarvel_event> doc_events(std::vector<zarvel_event> body) {
    std::vector<zarvel_event> all = {plain_event(ZARVEL_EVENT_STREAM_START), plain_event(ZARVEL_EVENT_DOCUMENT_START)};
    all.insert(all.end(), body.begin(), body.end());
    all.push_back(plain_event(ZARVEL_EVENT_DOCUMENT_END));
    all.push_back(plain_event(ZARVEL_EVENT_STREAM_END));
    return all;
}

zarvel_event key(std::string_view s) { return scalar_event(s, 1, 0); }

// The mapping most tests read:
//   a: 1, x: 2.5, s: [true, !!bool false, yes], e: "", k: !!int 0x1F,
//   dup: first, dup: second, anc: &anc abc, v: *anc, 12x: x
std::vector<zarvel_event> sample() {
    zarvel_event anchored = scalar_event(at("abc"), 1, 0);
    anchored.anchor = span_of(at("anc"));
    anchored.anchor_id = 1;
    zarvel_event alias{};
    alias.kind = ZARVEL_EVENT_ALIAS;
    alias.text = span_of(at("anc"));
    alias.anchor_id = 1;
    alias.verbatim = 1;
    zarvel_event empty = scalar_event(std::string_view(text).substr(0, 0), 3, 0, true, false);
    return doc_events({
        start_event(ZARVEL_EVENT_MAPPING_START),
        key(at("a")),
        scalar_event(at("1"), 1, 1),
        key(at("x")),
        scalar_event(at("2.5"), 1, 2),
        key(at("s")),
        start_event(ZARVEL_EVENT_SEQUENCE_START, true),
        scalar_event(at("true"), 1, 3),
        tagged(scalar_event(at("false"), 1, 3), at("tag:yaml.org,2002:bool"), 3),
        scalar_event(at("yes"), 1, 0),
        plain_event(ZARVEL_EVENT_SEQUENCE_END),
        key(at("e")),
        empty,
        key(at("k")),
        tagged(scalar_event(at("0x1F"), 1, 1), at("tag:yaml.org,2002:int"), 1),
        key(at("dup")),
        scalar_event(at("first"), 1, 0),
        key(at("dup")),
        scalar_event(at("second"), 1, 0),
        key(at("anc")),
        anchored,
        key(at("v")),
        alias,
        key(at("12x")),
        scalar_event(at("x"), 1, 0),
        plain_event(ZARVEL_EVENT_MAPPING_END),
    });
}

struct sample_doc {
    zarvel_document *doc = pending_document(text, sample());
    zarvel_node *root = zarvel_document_root(doc, 0);
    ~sample_doc() { zarvel_document_free(doc); }
    zarvel_node *get(const char *k) const { return zarvel_node_map_get(root, k, int32_t(std::strlen(k))); }
};

std::string value_of(const zarvel_node *n) {
    uint64_t len = 99;
    const char *p = zarvel_node_value(n, &len);
    return p ? std::string(p, len) : "<null>";
}

}  // namespace

TEST(Read, InvalidHandles) {
    zarvel_node dangling{nullptr, 0};
    sample_doc s;
    zarvel_node out_of_range{s.doc, 100000};
    for (const zarvel_node *n : {static_cast<const zarvel_node *>(nullptr), static_cast<const zarvel_node *>(&dangling),
                                 static_cast<const zarvel_node *>(&out_of_range)}) {
        EXPECT_EQ(zarvel_node_kind(n), 0);
        EXPECT_EQ(zarvel_node_style(n), 0);
        EXPECT_EQ(zarvel_node_tag_id(n), 11);
        uint64_t len = 7;
        EXPECT_EQ(zarvel_node_value(n, &len), nullptr);
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(zarvel_node_tag(n, &len), nullptr);
        EXPECT_EQ(zarvel_node_anchor(n, &len), nullptr);
        EXPECT_EQ(zarvel_node_alias_target(n), nullptr);
        EXPECT_EQ(zarvel_node_seq_count(n), 0u);
        EXPECT_EQ(zarvel_node_map_count(n), 0u);
        EXPECT_EQ(zarvel_node_seq_at(n, 0), nullptr);
        EXPECT_EQ(zarvel_node_map_at(n, 0, nullptr, nullptr), -1);
        EXPECT_EQ(zarvel_node_map_get(n, "a", 1), nullptr);
        EXPECT_EQ(zarvel_node_children(n, nullptr, 0), 0u);
        int32_t b;
        int64_t i;
        double d;
        EXPECT_EQ(zarvel_node_bool(n, &b), 6);
        EXPECT_EQ(zarvel_node_int(n, &i), 6);
        EXPECT_EQ(zarvel_node_float(n, &d), 6);
    }
    EXPECT_EQ(zarvel_node_id(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(zarvel_node_id(&out_of_range), 100000u);
}

TEST(Read, GettersPerNode) {
    sample_doc s;
    ASSERT_NE(s.root, nullptr);
    struct row {
        const char *key;
        int kind, style, tag_id;
        std::string value;
        std::string tag;
        std::string anchor;
    };
    std::vector<row> rows = {
        {"a", 0, 1, 1, "1", "", ""},
        {"x", 0, 1, 2, "2.5", "", ""},
        {"s", 1, 0, 6, "<null>", "", ""},
        {"e", 0, 3, 0, "", "", ""},
        {"k", 0, 1, 1, "0x1F", "tag:yaml.org,2002:int", ""},
        {"dup", 0, 1, 0, "first", "", ""},
        {"anc", 0, 1, 0, "abc", "", "anc"},
        {"v", 3, 0, 0, "anc", "", ""},
        {"12x", 0, 1, 0, "x", "", ""},
    };
    for (const row &r : rows) {
        zarvel_node *n = s.get(r.key);
        ASSERT_NE(n, nullptr) << r.key;
        EXPECT_EQ(zarvel_node_kind(n), r.kind) << r.key;
        EXPECT_EQ(zarvel_node_style(n), r.style) << r.key;
        EXPECT_EQ(zarvel_node_tag_id(n), r.tag_id) << r.key;
        EXPECT_EQ(value_of(n), r.value) << r.key;
        uint64_t len = 99;
        const char *tag = zarvel_node_tag(n, &len);
        EXPECT_EQ(tag ? std::string(tag, len) : "", r.tag) << r.key;
        if (!tag) {
            EXPECT_EQ(len, 0u) << r.key;
        }
        const char *anchor = zarvel_node_anchor(n, &len);
        EXPECT_EQ(anchor ? std::string(anchor, len) : "", r.anchor) << r.key;
    }
    EXPECT_EQ(zarvel_node_kind(s.root), 2);
    EXPECT_EQ(zarvel_node_tag_id(s.root), 7);
    EXPECT_EQ(zarvel_node_map_count(s.root), 10u);
    EXPECT_EQ(zarvel_node_seq_count(s.root), 0u);
    // The empty scalar's value is a non-null empty text.
    uint64_t len = 5;
    EXPECT_NE(zarvel_node_value(s.get("e"), &len), nullptr);
    EXPECT_EQ(len, 0u);
    // Alias target.
    zarvel_node *target = zarvel_node_alias_target(s.get("v"));
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->id, s.get("anc")->id);
    EXPECT_EQ(zarvel_node_alias_target(s.get("a")), nullptr);
}

TEST(Read, PositionalAccess) {
    sample_doc s;
    zarvel_node *seq = s.get("s");
    ASSERT_EQ(zarvel_node_seq_count(seq), 3u);
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 0)), "true");
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 2)), "yes");
    EXPECT_EQ(zarvel_node_seq_at(seq, 3), nullptr);
    EXPECT_EQ(zarvel_node_seq_at(s.root, 0), nullptr);  // a mapping is no sequence
    zarvel_node *k = nullptr, *v = nullptr;
    // Interleave the two collections: the cache rebuilds, answers stay right.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(zarvel_node_map_at(s.root, 1, &k, &v), 0);
        EXPECT_EQ(value_of(k), "x");
        EXPECT_EQ(value_of(v), "2.5");
        EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 1)), "false");
    }
    k = v = nullptr;
    EXPECT_EQ(zarvel_node_map_at(s.root, 10, &k, &v), -1);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(zarvel_node_map_at(s.root, 9, nullptr, &v), 0);
    EXPECT_EQ(value_of(v), "x");
    EXPECT_EQ(zarvel_node_map_at(seq, 0, &k, &v), -1);
    // Children: capacity 2 on a mapping gives the first key and its value.
    zarvel_node *two[2] = {nullptr, nullptr};
    EXPECT_EQ(zarvel_node_children(s.root, two, 2), 20u);
    EXPECT_EQ(value_of(two[0]), "a");
    EXPECT_EQ(value_of(two[1]), "1");
    EXPECT_EQ(zarvel_node_children(seq, nullptr, 0), 3u);
    EXPECT_EQ(zarvel_node_children(s.get("a"), two, 2), 0u);
}

TEST(Read, LookupByKey) {
    sample_doc s;
    struct row {
        std::string key;
        std::string value;
    };
    std::vector<row> rows = {{"a", "1"},     {"dup", "first"}, {"12x", "x"}, {"missing", "<none>"},
                             {"", "<none>"}, {"s", "<seq>"}};
    for (int pass = 0; pass < 2; ++pass)  // before and after the index exists
        for (const row &r : rows) {
            zarvel_node *n = zarvel_node_map_get(s.root, r.key.data(), int32_t(r.key.size()));
            std::string got = !n ? "<none>" : zarvel_node_kind(n) == 1 ? "<seq>" : value_of(n);
            EXPECT_EQ(got, r.value) << r.key << " pass " << pass;
        }
    EXPECT_EQ(zarvel_node_map_get(s.root, nullptr, 0), nullptr);
    EXPECT_EQ(zarvel_node_map_get(s.root, "a", -1), nullptr);
    EXPECT_EQ(zarvel_node_map_get(s.get("s"), "a", 1), nullptr);
}

TEST(Read, SmallMappingLookupsWithoutIndex) {
    // A few pairs are searched key by key: the first of two equal keys
    // answers, and no index is made.
    const char text[] = "{x: 1, x: 2, yy: 3, \"q\": 4}";
    zarvel_document *doc = zarvel_parse(text, sizeof text - 1, nullptr);
    zarvel_node *root = zarvel_document_root(doc, 0);
    const std::pair<const char *, const char *> rows[] = {{"x", "1"}, {"yy", "3"}, {"q", "4"}, {"y", "<none>"}};
    for (const auto &[k, want] : rows) {
        zarvel_node *v = zarvel_node_map_get(root, k, int32_t(std::strlen(k)));
        EXPECT_EQ(v ? value_of(v) : "<none>", want) << k;
    }
    EXPECT_EQ(doc->store->map_indexes, nullptr);
    zarvel_document_free(doc);
}

TEST(Read, MappingWithOnlyCollectionKeys) {
    // { [a]: 1 }: nothing is indexed and no lookup matches.
    std::vector<zarvel_event> events = doc_events(
        {start_event(ZARVEL_EVENT_MAPPING_START), start_event(ZARVEL_EVENT_SEQUENCE_START, true), key(at("a")),
         plain_event(ZARVEL_EVENT_SEQUENCE_END), scalar_event(at("1"), 1, 1), plain_event(ZARVEL_EVENT_MAPPING_END)});
    zarvel_document *doc = pending_document(text, events);
    zarvel_node *root = zarvel_document_root(doc, 0);
    EXPECT_EQ(zarvel_node_map_count(root), 1u);
    EXPECT_EQ(zarvel_node_map_get(root, "a", 1), nullptr);
    EXPECT_EQ(zarvel_node_map_get(root, "", 0), nullptr);
    zarvel_document_free(doc);
}

TEST(Read, LargeMappingLookups) {
    // 3000 distinct keys (the texts of "0".."2999" built in a text of their own).
    std::string keys;
    std::vector<std::pair<size_t, size_t>> where;
    for (int i = 0; i < 3000; ++i) {
        std::string k = "key" + std::to_string(i);
        where.push_back({keys.size(), k.size()});
        keys += k + " ";
    }
    std::vector<zarvel_event> body = {start_event(ZARVEL_EVENT_MAPPING_START)};
    for (int i = 0; i < 3000; ++i) {
        std::string_view k = std::string_view(keys).substr(where[i].first, where[i].second);
        body.push_back(key(k));
        body.push_back(scalar_event(k.substr(3), 1, 1));
    }
    body.push_back(plain_event(ZARVEL_EVENT_MAPPING_END));
    zarvel_document *doc = pending_document(keys, doc_events(body));
    zarvel_node *root = zarvel_document_root(doc, 0);
    ASSERT_EQ(zarvel_node_map_count(root), 3000u);
    for (int i = 2999; i >= 0; --i) {
        std::string k = "key" + std::to_string(i);
        zarvel_node *v = zarvel_node_map_get(root, k.data(), int32_t(k.size()));
        ASSERT_NE(v, nullptr) << k;
        int64_t n = -1;
        EXPECT_EQ(zarvel_node_int(v, &n), 0) << k;
        EXPECT_EQ(n, i) << k;
    }
    EXPECT_EQ(zarvel_node_map_get(root, "key3000", 7), nullptr);
    // The index has at least 8 slots and at least the even child count.
    zarvel_node_store *store = doc->store;
    ASSERT_NE(store->map_indexes[root->id], nullptr);
    EXPECT_EQ(store->map_indexes[root->id]->slot_count, 8192u);
    zarvel_document_free(doc);
}

TEST(Read, TypedReads) {
    sample_doc s;
    struct row {
        std::function<zarvel_node *()> node;
        const char *name;
        int bool_status, bool_value, int_status;
        int64_t int_value;
        int float_status;
        double float_value;
    };
    zarvel_node *seq = s.get("s");
    std::vector<row> rows = {
        {[&] { return s.get("a"); }, "1", 1, -1, 0, 1, 1, -1},
        {[&] { return s.get("x"); }, "2.5", 1, -1, 1, -1, 0, 2.5},
        {[&] { return zarvel_node_seq_at(seq, 0); }, "true", 0, 1, 1, -1, 1, -1},
        {[&] { return zarvel_node_seq_at(seq, 1); }, "!!bool false", 0, 0, 1, -1, 1, -1},
        {[&] { return zarvel_node_seq_at(seq, 2); }, "yes (str)", 1, -1, 1, -1, 1, -1},
        {[&] { return s.get("k"); }, "!!int 0x1F", 1, -1, 0, 31, 1, -1},
        {[&] { return s.get("dup"); }, "first", 1, -1, 1, -1, 1, -1},
    };
    for (const row &r : rows) {
        zarvel_node *n = r.node();
        int32_t b = -1;
        int64_t i = -1;
        double d = -1;
        EXPECT_EQ(zarvel_node_bool(n, &b), r.bool_status) << r.name;
        EXPECT_EQ(b, r.bool_value) << r.name;
        EXPECT_EQ(zarvel_node_int(n, &i), r.int_status) << r.name;
        EXPECT_EQ(i, r.int_value) << r.name;
        EXPECT_EQ(zarvel_node_float(n, &d), r.float_status) << r.name;
        EXPECT_EQ(d, r.float_value) << r.name;
        EXPECT_EQ(zarvel_node_bool(n, nullptr), 6) << r.name;
    }
}

// Integers read by handle equal the general reader's value under both
// schemas, for short decimal texts and for every form around them.
TEST(Read, IntegersAsTheGeneralReader) {
    const char *const texts[] = {"0",
                                 "-0",
                                 "+0",
                                 "7",
                                 "+5",
                                 "-12",
                                 "007",
                                 "019",
                                 "0o17",
                                 "0x1F",
                                 "0b101",
                                 "1_000",
                                 "1234567",
                                 "12345678",
                                 "-12345678",
                                 "+123456789",
                                 "98765432109",
                                 "1234567890123456",
                                 "-12345678901234567",
                                 "1234567x",
                                 "12345678x",
                                 "1234x6789012",
                                 "x2345678",
                                 "123456789012345/",
                                 "12345678_9",
                                 "0012345678",
                                 "12345678901234567",
                                 "1234567890123456x8",
                                 "12345678x012345678",
                                 "123456789012345678",
                                 "-123456789012345678",
                                 "1234567890123456789",
                                 "9223372036854775807",
                                 "-9223372036854775808",
                                 "9223372036854775808",
                                 "1:30",
                                 "12a",
                                 "--1",
                                 "+",
                                 "-"};
    for (int32_t schema = 0; schema < 2; ++schema) {
        std::string list = "[";
        for (const char *t : texts) list += std::string(list.size() > 1 ? ", " : "") + "!!int \"" + t + "\"";
        list += "]";
        zarvel_parse_options options{schema, 0};
        zarvel_document *doc = zarvel_parse_ex(list.data(), list.size(), &options, nullptr);
        zarvel_node *root = zarvel_document_root(doc, 0);
        ASSERT_EQ(zarvel_node_seq_count(root), std::size(texts));
        for (size_t k = 0; k < std::size(texts); ++k) {
            int64_t got = -1, want = -1;
            int32_t status = zarvel_node_int(zarvel_node_seq_at(root, k), &got);
            bool ok = zvl::read_int(texts[k], uint32_t(std::strlen(texts[k])), schema == 1, want);
            EXPECT_EQ(status, ok ? 0 : 1) << texts[k] << " schema " << schema;
            if (ok) {
                EXPECT_EQ(got, want) << texts[k] << " schema " << schema;
            }
        }
        zarvel_document_free(doc);
    }
}

// Float texts of any length convert (the local copy of the number routines
// holds 79 bytes; longer texts take a heap copy). The expected value is
// strtod's of the text without its separators.
TEST(Read, FloatsOfAnyLength) {
    const std::string zeros(100, '0');
    struct row {
        std::string text;  // the scalar as written in "v: TEXT"
        int32_t schema;    // 1: YAML 1.1
        int status;
        std::string digits;  // what strtod reads for the expected value
    };
    const std::vector<row> rows = {
        {"0." + zeros + "1", 0, 0, "0." + zeros + "1"},
        {"-0." + zeros + "1e-5", 0, 0, "-0." + zeros + "1e-5"},
        {"+1" + zeros + ".5", 0, 0, "1" + zeros + ".5"},
        {"1" + zeros + "e-100", 0, 0, "1" + zeros + "e-100"},
        {"." + zeros + "7", 0, 0, "." + zeros + "7"},
        {"0." + std::string(76, '0') + "1", 0, 0, "0." + std::string(76, '0') + "1"},  // 79 bytes
        {"0." + std::string(77, '0') + "1", 0, 0, "0." + std::string(77, '0') + "1"},  // 80 bytes
        {"1." + std::string(400, '3'), 0, 0, "1." + std::string(400, '3')},
        {"!!float 1_0" + zeros + ".2_5", 0, 0, "10" + zeros + ".25"},
        {"!!float " + std::string(60, '_') + "2.5", 0, 0, "2.5"},
        {"1_5.0" + std::string(90, '0'), 1, 0, "15.0"},
        {"1:30." + zeros + "1", 1, 0, "5400." + zeros + "1"},  // h x 3600 + m x 60
        {"!!float " + std::string(100, 'x'), 0, 1, ""},
        {"!!float 1." + zeros + "e", 0, 1, ""},
    };
    for (const row &r : rows) {
        std::string text = "v: " + r.text + "\n";
        zarvel_parse_options options = {r.schema, 0};
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse_ex(text.data(), text.size(), &options, &status);
        ASSERT_NE(doc, nullptr) << r.text;
        zarvel_node *v = zarvel_node_map_get(zarvel_document_root(doc, 0), "v", 1);
        ASSERT_EQ(zarvel_node_tag_id(v), ZARVEL_TAG_FLOAT) << r.text;
        double d = -1;
        EXPECT_EQ(zarvel_node_float(v, &d), r.status) << r.text;
        if (r.status == 0)
            EXPECT_EQ(d, std::strtod(r.digits.c_str(), nullptr)) << r.text;
        else
            EXPECT_EQ(d, -1) << r.text;
        zarvel_document_free(doc);
    }
}

// Random long decimal texts (65 to about 1200 bytes) read as strtod reads
// them, bit for bit: plain digits, exact halfway points between two doubles
// (round half to even) and those points nudged by a last digit.
TEST(Read, LongFloatTextsRoundAsStrtod) {
    std::mt19937_64 random(20);
    auto pick = [&](uint64_t n) { return random() % n; };
    std::vector<std::string> texts;
    while (texts.size() < 3000) {
        std::string t;
        double a;
        do {
            uint64_t bits = random();
            std::memcpy(&a, &bits, sizeof a);
        } while (!std::isfinite(a));
        char digits[1400];
        switch (pick(3)) {
        case 0: {  // random digits around a random scale
            t = pick(2) ? "-" : "";
            t += std::to_string(pick(1000)) + ".";
            for (uint64_t n = 62 + pick(600); n; --n) t += char('0' + pick(10));
            if (pick(2)) t += "e" + std::to_string(int(pick(640)) - 320);
            break;
        }
        default: {  // the exact midpoint of a and its neighbour, maybe nudged
            if (std::numeric_limits<long double>::digits < 54) continue;
            const long double mid = ((long double)a + (long double)std::nextafter(a, HUGE_VAL)) / 2;
            std::snprintf(digits, sizeof digits, "%.1100Le", mid);
            t = digits;
            const size_t e = t.find('e');
            std::string mantissa = t.substr(0, e);
            while (mantissa.back() == '0') mantissa.pop_back();
            if (pick(2)) mantissa += pick(2) ? "0000000001" : "";
            t = mantissa + t.substr(e);
            break;
        }
        }
        if (t.size() > 64) texts.push_back(t);
    }
    std::string yaml;
    for (const std::string &t : texts) yaml += "- " + t + "\n";
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse(yaml.data(), yaml.size(), &status);
    ASSERT_NE(doc, nullptr);
    zarvel_node *root = zarvel_document_root(doc, 0);
    ASSERT_EQ(zarvel_node_seq_count(root), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        zarvel_node *item = zarvel_node_seq_at(root, i);
        ASSERT_EQ(zarvel_node_tag_id(item), ZARVEL_TAG_FLOAT) << texts[i];
        double got = 0;
        ASSERT_EQ(zarvel_node_float(item, &got), 0) << texts[i];
        const double want = std::strtod(texts[i].c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << texts[i] << ": " << got << " vs " << want;
    }
    zarvel_document_free(doc);
}

TEST(Read, LookupSurvivesAllocationFailure) {
    // A failed index build falls back to walking the keys; a failed cache
    // build makes that positional read null and the next one tries again.
    for (uint64_t n = 1; n < 6; ++n) {
        sample_doc s;
        ASSERT_NE(s.root, nullptr);
        zvl::testing::fail_allocation(n);
        zarvel_node *v = zarvel_node_map_get(s.root, "dup", 3);
        zvl::testing::fail_allocation(0);
        if (v) {
            EXPECT_EQ(value_of(v), "first") << n;
        }
        EXPECT_EQ(value_of(s.get("dup")), "first") << n;
        zvl::testing::fail_allocation(n);
        zarvel_node *item = zarvel_node_seq_at(s.get("s"), 1);
        zvl::testing::fail_allocation(0);
        if (item) {
            EXPECT_EQ(value_of(item), "false") << n;
        }
        EXPECT_EQ(value_of(zarvel_node_seq_at(s.get("s"), 1)), "false") << n;
    }
}

// Eight threads read one still-pending document at once.
TEST(Read, ConcurrentReadersOfAPendingDocument) {
    for (int round = 0; round < 10; ++round) {
        zarvel_document *doc = pending_document(text, sample());
        std::vector<std::thread> threads;
        std::vector<int> ok(8, 0);
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                bool good = zarvel_document_count(doc) == 1;
                zarvel_node *root = zarvel_document_root(doc, 0);
                for (int i = 0; i < 50 && good; ++i) {
                    zarvel_node *k = nullptr, *v = nullptr;
                    good = zarvel_node_map_at(root, uint64_t((i + t) % 10), &k, &v) == 0 && k && v;
                    good = good && value_of(zarvel_node_map_get(root, "12x", 3)) == "x";
                    good = good && value_of(zarvel_node_seq_at(zarvel_node_map_get(root, "s", 1), uint64_t(i % 3))) ==
                                       std::vector<std::string>{"true", "false", "yes"}[i % 3];
                }
                ok[t] = good;
            });
        for (auto &th : threads) th.join();
        for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << "round " << round << " thread " << t;
        zarvel_document_free(doc);
    }
}

TEST(Read, CursorsFollowChildrenChanges) {
    sample_doc s;
    zarvel_node *seq = s.get("s");
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 1)), "false");
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 2)), "yes");
    zarvel_node_store *store = s.doc->store;
    uint32_t added = zvl::tree::add(store);
    store->nodes[added].value = zarvel_store_put_text(store, "new", 3, false);
    zvl::tree::append(store, seq->id, added);
    EXPECT_EQ(zarvel_node_seq_count(seq), 4u);
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 3)), "new");
    EXPECT_EQ(value_of(zarvel_node_seq_at(seq, 0)), "true");
    // Sequential reads of one collection interleaved with another's.
    for (uint64_t i = 0; i < 4; ++i) {
        zarvel_node *k = nullptr;
        ASSERT_EQ(zarvel_node_map_at(s.root, i, &k, nullptr), 0);
        EXPECT_EQ(value_of(zarvel_node_seq_at(seq, i)), std::vector<std::string>({"true", "false", "yes", "new"})[i]);
        EXPECT_EQ(value_of(k), std::vector<std::string>({"a", "x", "s", "e"})[i]);
    }
}

TEST(Read, RepeatedReadsAllocateNothing) {
    // Every getter that returns a node hands out that node's one handle:
    // reading a small document a hundred thousand times allocates nothing
    // after the first read, and every read gives the same pointer.
    const std::string text = "a: [1, &x 2]\nb: *x\n";
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), nullptr);
    ASSERT_NE(doc, nullptr);
    struct row {
        const char *name;
        std::function<zarvel_node *(zarvel_node *root)> read;
    };
    const std::vector<row> rows = {
        {"zarvel_document_root", [&](zarvel_node *) { return zarvel_document_root(doc, 0); }},
        {"zarvel_node_map_get", [](zarvel_node *root) { return zarvel_node_map_get(root, "a", 1); }},
        {"zarvel_node_seq_at",
         [](zarvel_node *root) { return zarvel_node_seq_at(zarvel_node_map_get(root, "a", 1), 1); }},
        {"zarvel_node_map_at",
         [](zarvel_node *root) {
             zarvel_node *key = nullptr, *value = nullptr;
             zarvel_node_map_at(root, 1, &key, &value);
             return value;
         }},
        {"zarvel_node_children",
         [](zarvel_node *root) {
             zarvel_node *children[4] = {};
             zarvel_node_children(root, children, 4);
             return children[3];
         }},
        {"zarvel_node_alias_target",
         [](zarvel_node *root) { return zarvel_node_alias_target(zarvel_node_map_get(root, "b", 1)); }},
    };
    zarvel_node *root = zarvel_document_root(doc, 0);
    std::vector<zarvel_node *> first;
    for (const row &r : rows) {
        first.push_back(r.read(root));
        ASSERT_NE(first.back(), nullptr) << r.name;
    }
    zvl::testing::fail_allocation(0);
    for (int i = 0; i < 100000; ++i)
        for (size_t k = 0; k < rows.size(); ++k) ASSERT_EQ(rows[k].read(root), first[k]) << rows[k].name;
    EXPECT_EQ(zvl::testing::allocation_count(), 0u);
    EXPECT_EQ(first[2], first[5]) << "the alias target is the anchored item";
    zarvel_document_free(doc);
}

namespace {

// The children of `id` as its sibling links give them.
std::vector<uint32_t> linked_children(const zarvel_node_store *store, uint32_t id) {
    std::vector<uint32_t> out;
    const zarvel_node_rec &rec = store->nodes[id];
    for (uint32_t c = rec.first_child; out.size() < rec.child_count && c < store->node_count;
         c = store->nodes[c].next_sibling)
        out.push_back(c);
    return out;
}

}  // namespace

// Every positional read (by handle, by id, in windows) gives the children the
// sibling links give, on each road a document is built by, before and after
// an edit; zarvel_document_node gives each node's one handle.
TEST(Read, PositionsFollowTheLinksOnEveryRoad) {
    std::string flat = "[", pairs = "{", nested = "[";
    for (int i = 0; i < 700; ++i) {
        flat += (i ? "," : "") + std::to_string(i);
        pairs += std::string(i ? "," : "") + "\"k" + std::to_string(i) + "\":[" + std::to_string(i) + ",{\"z\":[]}]";
        nested += std::string(i ? "," : "") + "[[" + std::to_string(i) + "],{\"a\":\"\\n\"}]";
    }
    flat += "]", pairs += "}", nested += "]";
    // Past the size whose handles are written around the caches.
    std::string large = "[0";
    for (int i = 0; i < 270000; ++i) large += ",1";
    large += "]";
    std::string block = "top:\n";
    for (int i = 0; i < 300; ++i)
        block += "  - {a: " + std::to_string(i) + ", b: [x, y]}\n  - &n" + std::to_string(i) + " s\n";
    struct road {
        const char *name;
        std::string text;
        zarvel_document *(*parse)(const char *, uint64_t, int32_t *);
    };
    const road roads[] = {
        {"tape, flat", flat, zarvel_parse_json},     {"tape, pairs", pairs, zarvel_parse_json},
        {"tape, nested", nested, zarvel_parse_json}, {"direct, nested", nested, zvl::json_document_direct},
        {"yaml, block", block, zarvel_parse},        {"yaml, flow", pairs, zarvel_parse},
        {"tape, large", large, zarvel_parse_json},
    };
    for (const road &r : roads) {
        zarvel_document *doc = r.parse(r.text.data(), r.text.size(), nullptr);
        ASSERT_NE(doc, nullptr) << r.name;
        for (int edited = 0; edited < 2; ++edited) {
            const zarvel_node_store *store = zarvel_document_body(doc);
            for (uint32_t id = 0; id < store->node_count; ++id) {
                zarvel_node *node = zarvel_document_node(doc, id);
                ASSERT_TRUE(node && node->id == id && node->document == doc) << r.name << " node " << id;
                std::vector<uint32_t> want = linked_children(store, id);
                uint64_t count = 99;
                std::vector<uint32_t> ids(want.size() + 1, 7);
                std::vector<uint8_t> kinds(want.size() + 1, 9);
                ASSERT_EQ(zarvel_node_child_ids(node, 0, ids.data(), kinds.data(), ids.size(), &count), 0);
                ASSERT_EQ(count, want.size()) << r.name << " node " << id;
                EXPECT_EQ(ids.back(), 7u) << "written past the children";
                std::vector<zarvel_node_view> views(want.size());
                ASSERT_EQ(zarvel_node_child_views(node, 0, 1, views.data(), views.size(), &count), 0);
                for (size_t k = 0; k < want.size(); ++k) ASSERT_EQ(views[k].id, want[k]) << r.name << " node " << id;
                for (size_t k = 0; k < want.size(); ++k) {
                    ASSERT_EQ(ids[k], want[k]) << r.name << " node " << id << " child " << k;
                    ASSERT_EQ(kinds[k], store->nodes[want[k]].kind());
                    zarvel_node *by_handle = nullptr;
                    if (store->nodes[id].kind() == ZARVEL_KIND_SEQUENCE) {
                        by_handle = zarvel_node_seq_at(node, k);
                    } else {
                        zarvel_node *key = nullptr, *value = nullptr;
                        ASSERT_EQ(zarvel_node_map_at(node, k / 2, &key, &value), 0);
                        by_handle = k % 2 ? value : key;
                    }
                    ASSERT_EQ(by_handle, zarvel_document_node(doc, want[k])) << r.name << " node " << id;
                }
                // A window from the middle.
                if (want.size() > 3) {
                    uint32_t window[2] = {7, 7};
                    ASSERT_EQ(zarvel_node_child_ids(node, want.size() - 1, window, nullptr, 2, &count), 0);
                    EXPECT_EQ(window[0], want.back());
                    EXPECT_EQ(window[1], 7u);
                }
            }
            if (edited) break;
            // Grow the root by one item or pair: positions are read afresh.
            zarvel_node *root = zarvel_document_root(doc, 0);
            zarvel_node *extra = zarvel_node_new_scalar(doc, "new", 3, 1);
            if (zarvel_node_kind(root) == ZARVEL_NODE_SEQUENCE)
                ASSERT_EQ(zarvel_node_seq_add(root, extra), 0);
            else
                ASSERT_EQ(zarvel_node_map_add(root, "zz", 2, extra), 0);
        }
        zarvel_document_free(doc);
    }
}

TEST(Read, ChildIdsArguments) {
    sample_doc s;
    uint64_t count = 99;
    uint32_t ids[4] = {7, 7, 7, 7};
    EXPECT_EQ(zarvel_node_child_ids(nullptr, 0, ids, nullptr, 4, &count), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(zarvel_node_child_ids(s.root, 0, ids, nullptr, 4, nullptr), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(zarvel_node_child_ids(s.get("a"), 0, ids, nullptr, 4, &count), 0);  // a scalar
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zarvel_node_child_ids(s.root, 0, nullptr, nullptr, 4, &count), 0);  // sizing
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(zarvel_node_child_ids(s.root, 20, ids, nullptr, 4, &count), 0);  // past the end
    EXPECT_EQ(ids[0], 7u);
    EXPECT_EQ(zarvel_document_node(nullptr, 0), nullptr);
    EXPECT_EQ(zarvel_document_node(s.doc, s.doc->store->node_count), nullptr);
}

// Every child view says what the handle reads say of that child, under each
// schema and for each way a window can be asked; bad arguments give 6.
TEST(Read, ChildViewsSayWhatTheHandlesSay) {
    // Integers of each length around the vector reading's limits (16
    // digits, the int64 range), and some too near the text's start for the
    // sixteen bytes before their end.
    const std::string json = R"({"a":[1,-2.5,"",true,null,"x",12345678901234567890],"b":{"c":{}},"n":[0,-0,7,-12,)"
                             R"(12345678,-87654321,123456789,-9999999999999999,12345678901234567,)"
                             R"(-9223372036854775808,9223372036854775808]})";
    const std::string short_json = "[-7,0,[3]]";
    const std::string yaml =
        "a: &x 0644\nb: *x\nc: !!int nope\nd: 2.5e3\ne: ''\nf: [1, .inf, !!float '1', \"q\"]\ng: |\n  l\n";
    const zarvel_parse_options yaml11 = {1, 0};
    struct road {
        const char *name;
        zarvel_document *doc;
    } roads[] = {{"json", zarvel_parse_json(json.data(), json.size(), nullptr)},
                 {"yaml core", zarvel_parse(yaml.data(), yaml.size(), nullptr)},
                 {"yaml 1.1", zarvel_parse_ex(yaml.data(), yaml.size(), &yaml11, nullptr)},
                 {"json, short", zarvel_parse_json(short_json.data(), short_json.size(), nullptr)}};
    for (const road &r : roads) {
        ASSERT_NE(r.doc, nullptr) << r.name;
        for (uint32_t id = 0; zarvel_node *node = zarvel_document_node(r.doc, id); ++id) {
            uint64_t count = 99;
            zarvel_node *handles[16];
            const uint64_t want = zarvel_node_children(node, handles, 16);
            // flags 0 and numbers, the whole list and a last-child window.
            for (const auto &[flags, first, capacity] : {std::tuple{0u, uint64_t(0), uint64_t(17)},
                                                         {ZARVEL_VIEW_NUMBERS, 0, 17},
                                                         {ZARVEL_VIEW_NUMBERS, want ? want - 1 : 0, 2},
                                                         {ZARVEL_VIEW_NUMBERS, want, 2},
                                                         {ZARVEL_VIEW_NUMBERS, 0, 0}}) {
                zarvel_node_view unset{};
                unset.id = 7777;
                std::vector<zarvel_node_view> views(17, unset);
                ASSERT_EQ(zarvel_node_child_views(node, first, flags, views.data(), capacity, &count), 0);
                ASSERT_EQ(count, want) << r.name << " node " << id;
                // By id the same views, byte for byte.
                std::vector<zarvel_node_view> by_id(17, unset);
                ASSERT_EQ(zarvel_document_child_views(r.doc, id, first, flags, by_id.data(), capacity, &count), 0);
                EXPECT_EQ(std::memcmp(by_id.data(), views.data(), by_id.size() * sizeof(zarvel_node_view)), 0)
                    << r.name << " node " << id;
                const uint64_t got = first < want ? std::min(want - first, capacity) : 0;
                EXPECT_EQ(views[got].id, 7777u) << "written past the window";
                for (uint64_t k = 0; k < got; ++k) {
                    const zarvel_node_view &v = views[k];
                    const zarvel_node *child = handles[first + k];
                    const std::string where =
                        std::string(r.name) + " node " + std::to_string(id) + " child " + std::to_string(first + k);
                    ASSERT_EQ(zarvel_document_node(r.doc, v.id), child) << where;
                    EXPECT_EQ(v.kind, zarvel_node_kind(child)) << where;
                    EXPECT_EQ(v.tag_id, zarvel_node_tag_id(child)) << where;
                    EXPECT_EQ(v.style, zarvel_node_style(child)) << where;
                    uint64_t length = 0;
                    EXPECT_EQ(v.text, zarvel_node_value(child, &length)) << where;
                    EXPECT_EQ(v.length, v.text ? length : zarvel_node_children(child, nullptr, 0)) << where;
                    int64_t integer = 0;
                    double real = 0;
                    const int int_status = zarvel_node_int(child, &integer);
                    const int float_status = zarvel_node_float(child, &real);
                    const int number_kind = !flags ? 0 : int_status == 0 ? 1 : float_status == 0 ? 2 : 0;
                    EXPECT_EQ(v.number_kind, number_kind) << where;
                    EXPECT_TRUE(number_kind != 1 || v.number.integer == integer) << where;
                    EXPECT_TRUE(number_kind != 2 || std::memcmp(&v.number.real, &real, 8) == 0) << where;
                }
            }
        }
    }
    // The 0644 under each schema, read through a view.
    const int64_t octal[] = {0, 644, 420};
    for (int k = 1; k < 3; ++k) {
        zarvel_node_view v;
        uint64_t count = 0;
        ASSERT_EQ(zarvel_node_child_views(zarvel_document_root(roads[k].doc, 0), 1, 1, &v, 1, &count), 0);
        EXPECT_EQ(v.number_kind, 1);
        EXPECT_EQ(v.number.integer, octal[k]) << roads[k].name;
    }
    zarvel_node *root = zarvel_document_root(roads[0].doc, 0);
    zarvel_node_view v;
    uint64_t count = 0;
    const struct {
        const zarvel_node *node;
        uint32_t flags;
        uint64_t *count;
    } bad[] = {{nullptr, 0, &count}, {root, 0, nullptr}, {root, 2, &count}, {root, ~0u, &count}};
    for (const auto &b : bad) EXPECT_EQ(zarvel_node_child_views(b.node, 0, b.flags, &v, 1, b.count), 6);
    const uint32_t nodes = roads[0].doc->store->node_count;
    for (const auto &[doc, id, flags] :
         {std::tuple{roads[0].doc, nodes, 0u}, {roads[0].doc, ~0u, 0u}, {nullptr, 0u, 0u}, {roads[0].doc, 0u, 2u}})
        EXPECT_EQ(zarvel_document_child_views(doc, id, 0, flags, &v, 1, &count), 6);
    EXPECT_EQ(zarvel_document_child_views(roads[0].doc, 0, 0, 0, &v, 1, nullptr), 6);
    for (const road &r : roads) zarvel_document_free(r.doc);
}

namespace {

// Ids of the tree under n, each node before the nodes under it.
void ids_in_order(const zarvel_node *n, std::vector<uint32_t> &out) {
    out.push_back(zarvel_node_id(n));
    std::vector<zarvel_node *> children(zarvel_node_children(n, nullptr, 0));
    zarvel_node_children(n, children.data(), children.size());
    for (const zarvel_node *c : children) ids_in_order(c, out);
}

}  // namespace

// The views in document order are the views of each node's parent's list,
// in every window, on stores read in id order and on stores that are not
// (a stream with an alias, an edited tree, a tree built out of order).
TEST(Read, DocumentViewsFollowTheTree) {
    const std::string json = R"({"a":[1,-2.5,"",true,null,"x\u00e9"],"b":{"c":{},"d":[[]]},"e":"tail"})";
    const std::string yaml = "a: &x [1, {b: c}]\nb: *x\n--- !!seq\n- q\n- {r: s, t: [u]}\n";
    zarvel_document *edited = zarvel_parse_json(json.data(), json.size(), nullptr);
    zarvel_document *built = zarvel_document_new();
    {
        zarvel_node *items = zarvel_node_new_sequence(built);
        zarvel_node *inner = zarvel_node_new_sequence(built);
        ASSERT_EQ(zarvel_node_seq_add(inner, zarvel_node_new_scalar(built, "1", 1, 1)), 0);
        ASSERT_EQ(zarvel_node_seq_add(items, zarvel_node_new_scalar(built, "x", 1, 1)), 0);
        ASSERT_EQ(zarvel_node_seq_add(items, inner), 0);
        ASSERT_EQ(zarvel_document_set_root(built, items), 0);
    }
    const struct {
        const char *name;
        zarvel_document *doc;
        bool edit;
    } roads[] = {{"json", zarvel_parse_json(json.data(), json.size(), nullptr), false},
                 {"json scalar", zarvel_parse_json(" 7 ", 3, nullptr), false},
                 {"yaml stream", zarvel_parse(yaml.data(), yaml.size(), nullptr), false},
                 {"json edited", edited, true},
                 {"built", built, false}};
    for (const auto &r : roads) {
        ASSERT_NE(r.doc, nullptr) << r.name;
        uint64_t count = 0;
        if (r.edit) {
            // Read once in id order, then add under "a": the order follows.
            ASSERT_EQ(zarvel_document_views(r.doc, 0, 0, 0, nullptr, 0, &count), 0);
            zarvel_node *a = zarvel_node_map_get(zarvel_document_root(r.doc, 0), "a", 1);
            ASSERT_EQ(zarvel_node_seq_add(a, zarvel_node_new_scalar(r.doc, "new", 3, 1)), 0);
        }
        for (uint32_t root = 0; root < zarvel_document_count(r.doc); ++root) {
            std::vector<uint32_t> want;
            ids_in_order(zarvel_document_root(r.doc, root), want);
            for (const uint64_t capacity : {uint64_t(1), uint64_t(5), uint64_t(1000)}) {
                const std::string where =
                    std::string(r.name) + " root " + std::to_string(root) + " capacity " + std::to_string(capacity);
                std::vector<zarvel_node_view> got;
                for (uint64_t first = 0;; first += capacity) {
                    zarvel_node_view unset{};
                    unset.id = 7777;
                    std::vector<zarvel_node_view> views(capacity + 1, unset);
                    ASSERT_EQ(
                        zarvel_document_views(r.doc, root, first, ZARVEL_VIEW_NUMBERS, views.data(), capacity, &count),
                        0)
                        << where;
                    ASSERT_EQ(count, want.size()) << where;
                    const uint64_t n = first < count ? std::min(count - first, capacity) : 0;
                    EXPECT_EQ(views[n].id, 7777u) << where << ": written past the window";
                    got.insert(got.end(), views.begin(), views.begin() + n);
                    if (n < capacity) break;
                }
                ASSERT_EQ(got.size(), want.size()) << where;
                for (size_t k = 0; k < got.size(); ++k) {
                    ASSERT_EQ(got[k].id, want[k]) << where << " position " << k;
                    const zarvel_node *node = zarvel_document_node(r.doc, want[k]);
                    EXPECT_EQ(got[k].kind, zarvel_node_kind(node)) << where;
                    uint64_t length = 0;
                    EXPECT_EQ(got[k].text, zarvel_node_value(node, &length)) << where;
                    EXPECT_EQ(got[k].length, got[k].text ? length : zarvel_node_children(node, nullptr, 0)) << where;
                }
                // Each collection's children: its parent's list, byte for byte.
                for (size_t k = 0; k < got.size(); ++k) {
                    if (got[k].kind != ZARVEL_NODE_SEQUENCE && got[k].kind != ZARVEL_NODE_MAPPING) continue;
                    std::vector<zarvel_node_view> children(got[k].length + 1);
                    ASSERT_EQ(zarvel_document_child_views(r.doc, got[k].id, 0, ZARVEL_VIEW_NUMBERS, children.data(),
                                                          got[k].length, &count),
                              0);
                    size_t at = k + 1;
                    for (uint64_t c = 0; c < got[k].length; ++c) {
                        EXPECT_EQ(std::memcmp(&children[c], &got[at], sizeof(zarvel_node_view)), 0)
                            << where << " child " << c << " of position " << k;
                        // Past the child's own nodes to its next sibling.
                        for (uint64_t open = 1; open; ++at)
                            open += (got[at].kind == ZARVEL_NODE_SEQUENCE || got[at].kind == ZARVEL_NODE_MAPPING
                                         ? got[at].length
                                         : 0) -
                                    1;
                    }
                }
            }
        }
    }
    zarvel_node_view v;
    uint64_t count = 0;
    zarvel_document *doc = roads[0].doc;
    for (const auto &[d, root, flags, out] : {std::tuple{(zarvel_document *)nullptr, 0u, 0u, &count},
                                              {doc, 1u, 0u, &count},
                                              {doc, 0u, 2u, &count},
                                              {doc, 0u, 0u, (uint64_t *)nullptr}})
        EXPECT_EQ(zarvel_document_views(d, root, 0, flags, &v, 1, out), 6);
    for (const auto &r : roads) zarvel_document_free(r.doc);
}

namespace {

// Every view of root 0 with `flags`, read `capacity` at a time.
std::vector<zarvel_node_view> all_views(zarvel_document *doc, uint32_t flags, uint64_t capacity) {
    std::vector<zarvel_node_view> views;
    uint64_t count = 0;
    for (uint64_t first = 0;; first += capacity) {
        views.resize(first + capacity);
        EXPECT_EQ(zarvel_document_views(doc, 0, first, flags, views.data() + first, capacity, &count), 0);
        if (first + capacity >= count) break;
    }
    views.resize(count);
    return views;
}

// Views alike but for where their texts lie.
void expect_same_views(const std::vector<zarvel_node_view> &got, const std::vector<zarvel_node_view> &want,
                       const std::string &where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (size_t k = 0; k < got.size(); ++k) {
        const zarvel_node_view &a = got[k], &b = want[k];
        EXPECT_TRUE(a.id == b.id && a.kind == b.kind && a.tag_id == b.tag_id && a.style == b.style &&
                    a.number_kind == b.number_kind && a.number.integer == b.number.integer && a.length == b.length &&
                    !a.text == !b.text &&
                    (!a.text || std::string_view(a.text, a.length) == std::string_view(b.text, b.length)))
            << where << ": view " << k;
    }
}

}  // namespace

TEST(Read, DocumentReadInOrderGivesTheViewsOfItsNodes) {
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "[";
    deep += "1";
    for (int i = 0; i < 300; ++i) deep += "]";
    const std::string texts[] = {
        // Numbers kept and read from their texts, beyond int64 and double's range.
        R"({"n": [0, -7, 9223372036854775807, 9223372036854775808, -9223372036854775809, 1.5, -0.0, 1e400,)"
        R"( 0.1000000000000000055511151231257827021181583404541015625, 2.2250738585072011e-308],)"
        // Pairs of numbers, empty collections, escapes, empty strings and keys.
        R"( "p": [[1, 2], [3.25, 4], [5, "x"]], "e": [{}, [], [[]], {"": ""}],)"
        R"( "s": ["t\u00e9\ud83d\ude00\n\"\\", "\u0000", "\/", "plain"], "l": [true, false, null]})",
        "[]",
        "{}",
        "[\"a\\tb\"]",
        deep,
    };
    const zarvel_json_options in_order{sizeof(zarvel_json_options), ZARVEL_JSON_IN_ORDER};
    for (const std::string &t : texts) {
        const std::string where = t.substr(0, 24);
        zarvel_document *usual = zarvel_parse_json(t.data(), t.size(), nullptr);
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse_json_ex(t.data(), t.size(), &in_order, &status);
        ASSERT_TRUE(usual && doc && status == 0) << where;
        EXPECT_EQ(zarvel_document_count(doc), 1u) << where;
        const std::vector<zarvel_node_view> before = all_views(doc, ZARVEL_VIEW_NUMBERS, 1000);
        for (const uint32_t flags : {0u, ZARVEL_VIEW_NUMBERS})
            for (const uint64_t capacity : {uint64_t(1), uint64_t(3), uint64_t(1000)})
                expect_same_views(all_views(doc, flags, capacity), all_views(usual, flags, 7),
                                  where + " flags " + std::to_string(flags) + " capacity " + std::to_string(capacity));
        // Another read makes the nodes; the views and the texts handed out stay.
        ASSERT_NE(zarvel_document_root(doc, 0), nullptr) << where;
        expect_same_views(all_views(doc, ZARVEL_VIEW_NUMBERS, 64), all_views(usual, ZARVEL_VIEW_NUMBERS, 64),
                          where + " built");
        expect_same_views(before, all_views(usual, ZARVEL_VIEW_NUMBERS, 64), where + " texts kept");
        zarvel_document_free(usual);
        zarvel_document_free(doc);
    }
    // Unknown flags; a record too short for the flags field means none.
    const zarvel_json_options unknown{sizeof(zarvel_json_options), 2}, short_record{4, 2};
    int32_t status = -1;
    EXPECT_EQ(zarvel_parse_json_ex("[]", 2, &unknown, &status), nullptr);
    EXPECT_EQ(status, 6);
    zarvel_document *doc = zarvel_parse_json_ex("[]", 2, &short_record, &status);
    EXPECT_TRUE(doc && status == 0);
    zarvel_document_free(doc);
}
