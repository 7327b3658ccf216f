// Direct composer and event log: hand-written event sequences through the
// sink table, shortcut slots against plain events, record formats and replay.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "doc/composer.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"
#include "doc_helpers.hpp"

using namespace doc_test;

namespace {

// The input every hand-written event points into.
// The padding stands for the brackets of deep nesting: the log's growth is
// bounded by the input length.
const std::string input = "a: 1\nb: x\nkey: &anc 5\nref: *anc\nquoted \"esc\"\n[1, 2, 3]\n" + std::string(2100, ' ');

std::string_view at(std::string_view word) {
    size_t p = input.find(word);
    EXPECT_NE(p, std::string::npos) << word;
    return std::string_view(input).substr(p, word.size());
}

zarvel_event anchored(zarvel_event e, std::string_view name, uint32_t id) {
    e.anchor = span_of(name);
    e.anchor_id = id;
    return e;
}

zarvel_event alias_event(std::string_view name, uint32_t id) {
    zarvel_event e{};
    e.kind = ZARVEL_EVENT_ALIAS;
    e.text = span_of(name);
    e.anchor_id = id;
    e.verbatim = 1;
    return e;
}

std::vector<zarvel_event> wrap(std::vector<zarvel_event> body) {
    std::vector<zarvel_event> all = {plain_event(ZARVEL_EVENT_STREAM_START), plain_event(ZARVEL_EVENT_DOCUMENT_START)};
    all.insert(all.end(), body.begin(), body.end());
    all.push_back(plain_event(ZARVEL_EVENT_DOCUMENT_END));
    all.push_back(plain_event(ZARVEL_EVENT_STREAM_END));
    return all;
}

std::vector<zarvel_event> two_pair_mapping() {
    return wrap({start_event(ZARVEL_EVENT_MAPPING_START), scalar_event(at("a"), 1, 0), scalar_event(at("1"), 1, 1),
                 scalar_event(at("b"), 1, 0), scalar_event(at("x"), 1, 0), plain_event(ZARVEL_EVENT_MAPPING_END)});
}

std::string compose_dump(const std::vector<zarvel_event> &events, int *result = nullptr) {
    composed c(input.data(), input.size(), events);
    if (result) *result = c.result;
    return dump_store(c.store);
}

// Records the events through the event-log sink and replays the log.
std::string replay_dump(const std::vector<zarvel_event> &events, int *result = nullptr) {
    zarvel_event_log log;
    EXPECT_TRUE(zarvel_event_log_init(&log, input.data(), input.size()));
    zarvel_sink sink = zarvel_event_log_sink(&log);
    int r = feed(sink, events);
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    if (r == 0) r = zarvel_event_log_replay(store, &log);
    if (result) *result = r;
    std::string dump = dump_store(store);
    zarvel_store_free(store);
    zarvel_event_log_release(&log);
    return dump;
}

}  // namespace

TEST(Composer, EventSequencesGiveTheseTables) {
    struct row {
        const char *name;
        std::vector<zarvel_event> events;
        int result;
        std::string dump;
    };
    std::vector<row> rows = {
        {"two-pair mapping", two_pair_mapping(), 0,
         "0 k2 s0 f0 p0 t7 v\"\" [1 2 3 4]\n1 k0 s1 f0 p1 t0 v\"a\"\n2 k0 s1 f0 p1 t1 v\"1\"\n"
         "3 k0 s1 f0 p1 t0 v\"b\"\n4 k0 s1 f0 p1 t0 v\"x\"\nroots: 0\n"},
        {"anchor and alias",
         wrap({start_event(ZARVEL_EVENT_SEQUENCE_START), anchored(scalar_event(at("5"), 1, 1), at("anc"), 1),
               alias_event(at("anc"), 1), plain_event(ZARVEL_EVENT_SEQUENCE_END)}),
         0, "0 k1 s0 f0 p0 t6 v\"\" [1 2]\n1 k0 s1 f0 p1 t1 v\"5\" &\"anc\"\n2 k3 s0 f0 p0 t0 v\"anc\" *1\nroots: 0\n"},
        {"flow sequence",
         wrap({start_event(ZARVEL_EVENT_SEQUENCE_START, true), scalar_event(at("1"), 1, 1),
               plain_event(ZARVEL_EVENT_SEQUENCE_END)}),
         0, "0 k1 s0 f1 p0 t6 v\"\" [1]\n1 k0 s1 f0 p1 t1 v\"1\"\nroots: 0\n"},
        {"key pending at close is dropped",
         wrap({start_event(ZARVEL_EVENT_MAPPING_START), scalar_event(at("a"), 1, 0), scalar_event(at("1"), 1, 1),
               scalar_event(at("b"), 1, 0), plain_event(ZARVEL_EVENT_MAPPING_END)}),
         0,
         "0 k2 s0 f0 p0 t7 v\"\" [1 2]\n1 k0 s1 f0 p1 t0 v\"a\"\n2 k0 s1 f0 p1 t1 v\"1\"\n3 k0 s1 f0 p1 t0 v\"b\"\nroots: 0\n"},
        {"two documents two roots",
         {plain_event(ZARVEL_EVENT_STREAM_START), plain_event(ZARVEL_EVENT_DOCUMENT_START), scalar_event(at("a"), 1, 0),
          plain_event(ZARVEL_EVENT_DOCUMENT_END), plain_event(ZARVEL_EVENT_DOCUMENT_START), scalar_event(at("b"), 1, 0),
          plain_event(ZARVEL_EVENT_DOCUMENT_END), plain_event(ZARVEL_EVENT_STREAM_END)},
         0,
         "0 k0 s1 f0 p1 t0 v\"a\"\n1 k0 s1 f0 p1 t0 v\"b\"\nroots: 0 1\n"},
        {"anchors do not cross documents",
         {plain_event(ZARVEL_EVENT_DOCUMENT_START), anchored(scalar_event(at("5"), 1, 1), at("anc"), 1),
          plain_event(ZARVEL_EVENT_DOCUMENT_END), plain_event(ZARVEL_EVENT_DOCUMENT_START), alias_event(at("anc"), 1)},
         -1,
         "0 k0 s1 f0 p1 t1 v\"5\" &\"anc\"\nroots: 0\n"},
        {"unbalanced end", wrap({plain_event(ZARVEL_EVENT_SEQUENCE_END)}), -1, "roots:\n"},
        {"unknown event type", {plain_event(11)}, -1, "roots:\n"},
        {"alias index 0", wrap({alias_event(at("anc"), 0)}), -1, "roots:\n"},
    };
    for (const row &r : rows) {
        int result = 99;
        std::string dump = compose_dump(r.events, &result);
        EXPECT_EQ(result, r.result) << r.name;
        EXPECT_EQ(dump, r.dump) << r.name;
        if (r.result == 0) {
            int replayed = 99;
            EXPECT_EQ(replay_dump(r.events, &replayed), r.dump) << "replay of " << r.name;
            EXPECT_EQ(replayed, 0) << r.name;
        }
    }
}

TEST(Composer, TagAndRewrittenTextsAreCopied) {
    std::string rewritten = "esc\n";  // lives outside the input
    std::string tag = "tag:yaml.org,2002:str";
    zarvel_event e = scalar_event(rewritten, 3, 0, false, false);
    e.tag = span_of(tag);
    composed c(input.data(), input.size(), wrap({e}));
    ASSERT_EQ(c.result, 0);
    const zarvel_node_rec &n = c.store->nodes[0];
    EXPECT_TRUE(zarvel_span_in_strings(n.value));
    EXPECT_TRUE(zarvel_span_in_strings(zarvel_store_tag(c.store, 0u)));
    EXPECT_EQ(zarvel_store_text(c.store, n.value), "esc\n");
    EXPECT_EQ(zarvel_store_text(c.store, zarvel_store_tag(c.store, 0u)), tag);
    // A verbatim text inside the input is referenced in place.
    composed d(input.data(), input.size(), wrap({scalar_event(at("x"), 1, 0)}));
    EXPECT_FALSE(zarvel_span_in_strings(d.store->nodes[0].value));
}

TEST(Composer, NestingLimit) {
    for (int levels : {1000, 1001}) {
        std::vector<zarvel_event> body;
        for (int i = 0; i < levels; ++i) body.push_back(start_event(ZARVEL_EVENT_SEQUENCE_START, true));
        for (int i = 0; i < levels; ++i) body.push_back(plain_event(ZARVEL_EVENT_SEQUENCE_END));
        int result = 0;
        compose_dump(wrap(body), &result);
        EXPECT_EQ(result, levels <= 1000 ? 0 : -1) << levels;
        int recorded = 0;
        replay_dump(wrap(body), &recorded);
        EXPECT_EQ(recorded, levels <= 1000 ? 0 : -1) << "log " << levels;
    }
}

// The shortcut slots must give the same node table as the plain events.
TEST(Composer, ShortcutSlotsEqualPlainEvents) {
    struct row {
        const char *name;
        std::vector<zarvel_event> plain;
        std::function<int(const zarvel_sink &)> shortcut;
    };
    auto pair_value = [](std::string_view text, uint32_t kind) {
        zarvel_pair_value v{};
        v.kind = kind;
        v.text = span_of(text);
        v.verbatim = 1;
        v.style = 1;
        v.plain_implicit = 1;
        return v;
    };
    std::vector<row> rows;
    rows.push_back({"pair slot", two_pair_mapping(), [&](const zarvel_sink &s) {
                        zarvel_event ev = plain_event(ZARVEL_EVENT_STREAM_START);
                        int r = s.event(s.user, &ev);
                        ev = plain_event(ZARVEL_EVENT_DOCUMENT_START);
                        r |= s.event(s.user, &ev);
                        ev = start_event(ZARVEL_EVENT_MAPPING_START);
                        r |= s.event(s.user, &ev);
                        zarvel_pair_value v = pair_value(at("1"), ZARVEL_PAIR_SCALAR);
                        r |= s.pair(s.user, span_of(at("a")), &v, 1, 1, 4) != 1;
                        v = pair_value(at("x"), ZARVEL_PAIR_SCALAR);
                        r |= s.pair(s.user, span_of(at("b")), &v, 2, 1, 4) != 1;
                        ev = plain_event(ZARVEL_EVENT_MAPPING_END);
                        r |= s.event(s.user, &ev);
                        ev = plain_event(ZARVEL_EVENT_DOCUMENT_END);
                        r |= s.event(s.user, &ev);
                        return r;
                    }});
    rows.push_back({"pair slot with anchor and alias",
                    wrap({start_event(ZARVEL_EVENT_MAPPING_START), scalar_event(at("key"), 1, 0),
                          anchored(scalar_event(at("5"), 1, 1), at("anc"), 7), scalar_event(at("ref"), 1, 0),
                          alias_event(at("anc"), 7), plain_event(ZARVEL_EVENT_MAPPING_END)}),
                    [&](const zarvel_sink &s) {
                        zarvel_event ev = plain_event(ZARVEL_EVENT_DOCUMENT_START);
                        int r = s.event(s.user, &ev);
                        ev = start_event(ZARVEL_EVENT_MAPPING_START);
                        r |= s.event(s.user, &ev);
                        zarvel_pair_value v = pair_value(at("5"), ZARVEL_PAIR_ANCHORED);
                        v.anchor = span_of(at("anc"));
                        v.anchor_id = 7;
                        r |= s.pair(s.user, span_of(at("key")), &v, 3, 1, 6) != 1;
                        v = pair_value(at("anc"), ZARVEL_PAIR_ALIAS);
                        v.alias_target = 7;
                        r |= s.pair(s.user, span_of(at("ref")), &v, 4, 1, 6) != 1;
                        ev = plain_event(ZARVEL_EVENT_MAPPING_END);
                        r |= s.event(s.user, &ev);
                        return r;
                    }});
    rows.push_back({"scalar_value and scalar slots",
                    wrap({start_event(ZARVEL_EVENT_SEQUENCE_START), scalar_event(at("x"), 1, 0),
                          scalar_event(at("esc"), 3, 0, true, false), plain_event(ZARVEL_EVENT_SEQUENCE_END)}),
                    [&](const zarvel_sink &s) {
                        zarvel_event ev = start_event(ZARVEL_EVENT_SEQUENCE_START);
                        int r = s.event(s.user, &ev);
                        zarvel_scalar_value sv{};
                        sv.text = span_of(at("x"));
                        sv.verbatim = 1;
                        r |= s.scalar_value(s.user, &sv) != 1;
                        zarvel_text_span text = span_of(at("esc")), none = {nullptr, 0};
                        r |= s.scalar(s.user, &text, &none, &none, 0, 0, 3, 0, 0, 1);
                        ev = plain_event(ZARVEL_EVENT_SEQUENCE_END);
                        r |= s.event(s.user, &ev);
                        return r;
                    }});
    rows.push_back({"pair_flow slot",
                    wrap({start_event(ZARVEL_EVENT_MAPPING_START), scalar_event(at("a"), 1, 0),
                          start_event(ZARVEL_EVENT_SEQUENCE_START, true), scalar_event(at("1"), 1, 1),
                          plain_event(ZARVEL_EVENT_SEQUENCE_END), plain_event(ZARVEL_EVENT_MAPPING_END)}),
                    [&](const zarvel_sink &s) {
                        int r = s.pair_flow(s.user, span_of(at("a")), 1, 1) != 1;
                        zarvel_event ev = start_event(ZARVEL_EVENT_SEQUENCE_START, true);
                        r |= s.event(s.user, &ev);
                        ev = scalar_event(at("1"), 1, 1);
                        r |= s.event(s.user, &ev);
                        ev = plain_event(ZARVEL_EVENT_SEQUENCE_END);
                        r |= s.event(s.user, &ev);
                        ev = plain_event(ZARVEL_EVENT_MAPPING_END);
                        r |= s.event(s.user, &ev);
                        return r;
                    }});
    for (const row &r : rows) {
        std::string expected = compose_dump(r.plain);
        {
            zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
            store->input = input.data();
            store->input_len = input.size();
            zarvel_sink sink = zarvel_composer_sink(store);
            EXPECT_EQ(r.shortcut(sink), 0) << r.name;
            EXPECT_EQ(dump_store(store), expected) << r.name;
            zarvel_store_free(store);
        }
        {
            zarvel_event_log log;
            ASSERT_TRUE(zarvel_event_log_init(&log, input.data(), input.size()));
            zarvel_sink sink = zarvel_event_log_sink(&log);
            EXPECT_EQ(r.shortcut(sink), 0) << "log " << r.name;
            zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
            EXPECT_EQ(zarvel_event_log_replay(store, &log), 0) << r.name;
            EXPECT_EQ(dump_store(store), expected) << "replay " << r.name;
            zarvel_store_free(store);
            zarvel_event_log_release(&log);
        }
    }
}

TEST(Composer, PairWithUnresolvedAliasIsDeclined) {
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    store->input = input.data();
    store->input_len = input.size();
    zarvel_event ev = start_event(ZARVEL_EVENT_MAPPING_START);
    ASSERT_EQ(zarvel_composer_event(store, &ev), 0);
    zarvel_pair_value v{};
    v.kind = ZARVEL_PAIR_ALIAS;
    v.text = span_of(at("anc"));
    v.alias_target = 3;
    EXPECT_EQ(zarvel_composer_pair(store, span_of(at("ref")), &v, 1, 1, 6), 0);
    EXPECT_EQ(store->node_count, 1u);
    zarvel_store_free(store);
}

TEST(EventLog, RecordFormats) {
    zarvel_event_log log;
    ASSERT_TRUE(zarvel_event_log_init(&log, input.data(), input.size()));
    EXPECT_EQ(log.word_cap, input.size() / 2 + 64);
    zarvel_sink sink = zarvel_event_log_sink(&log);
    ASSERT_EQ(feed(sink, {plain_event(ZARVEL_EVENT_STREAM_START), plain_event(ZARVEL_EVENT_DOCUMENT_START)}), 0);
    using namespace zvl::event_log;
    EXPECT_EQ(log.words[0], first_word(record_event, ZARVEL_EVENT_STREAM_START));
    EXPECT_EQ(log.words[1], first_word(record_event, ZARVEL_EVENT_DOCUMENT_START));
    EXPECT_EQ(log.doc_count, 1u);
    // Kind-3 scalar with a compact text, a tag outside the input and an anchor.
    std::string tag = "!local";
    zarvel_text_span text = span_of(at("5")), tspan = span_of(tag), aspan = span_of(at("anc"));
    ASSERT_EQ(sink.scalar(sink.user, &text, &tspan, &aspan, 2, 1, 1, 1, 0, 1), 0);
    uint64_t first = log.words[2];
    EXPECT_EQ(kind.get(first), uint64_t(record_scalar));
    EXPECT_EQ(scalar_rec::tag_id.get(first), 1u);
    EXPECT_EQ(scalar_rec::style.get(first), 1u);
    EXPECT_EQ(scalar_rec::plain_implicit.get(first), 1u);
    EXPECT_EQ(scalar_rec::flow.get(first), 0u);
    EXPECT_EQ(scalar_rec::verbatim.get(first), 1u);
    EXPECT_EQ(scalar_rec::tag.get(first), span_external);
    EXPECT_EQ(scalar_rec::anchor.get(first), span_compact);
    EXPECT_EQ(scalar_rec::index_word.get(first), 0u);
    EXPECT_EQ(anchor_index.get(first), 2u);
    EXPECT_EQ(log.words[3], compact_span(at("5").data() - input.data(), 1));
    EXPECT_EQ(log.words[4], external_mark | tag.size());
    EXPECT_EQ(log.words[5], reinterpret_cast<uint64_t>(tag.data()));
    EXPECT_EQ(log.words[6], compact_span(at("anc").data() - input.data(), 3));
    EXPECT_EQ(log.word_count, 7u);
    // Kind 4: a verbatim scalar_value is its compact span; otherwise bit 20.
    zarvel_scalar_value sv{};
    sv.text = span_of(at("x"));
    sv.verbatim = 1;
    ASSERT_EQ(sink.scalar_value(sink.user, &sv), 1);
    EXPECT_EQ(log.words[7], first_word(record_scalar_value, compact_span(at("x").data() - input.data(), 1)));
    sv.verbatim = 0;
    ASSERT_EQ(sink.scalar_value(sink.user, &sv), 1);
    EXPECT_EQ(log.words[8], first_word(record_scalar, scalar_rec::value_external));
    // Kind 6 pair_flow with the key in the input; depth rises.
    ASSERT_EQ(sink.pair_flow(sink.user, span_of(at("key")), 1, 1), 1);
    EXPECT_EQ(log.words[10], first_word(record_pair_flow, compact_span(at("key").data() - input.data(), 3)));
    EXPECT_EQ(log.depth, 1u);
    // flow_cancel goes back to the saved count.
    log.saved_count = 9;
    sink.flow_cancel(sink.user);
    EXPECT_EQ(log.word_count, 9u);
    EXPECT_EQ(sink.flow_commit(sink.user, 0), 1);
    zarvel_event_log_release(&log);
}

TEST(EventLog, BigAnchorIndexUsesAnExtraWord) {
    // Anchor indexes above L + 16 are refused, so this needs a long input.
    std::string big(0x1000100, ' ');
    big.replace(0, 3, "abc");
    zarvel_event_log log;
    ASSERT_TRUE(zarvel_event_log_init(&log, big.data(), big.size()));
    zarvel_sink sink = zarvel_event_log_sink(&log);
    zarvel_event s =
        anchored(scalar_event(std::string_view(big).substr(0, 1), 1, 0), std::string_view(big).substr(1, 2), 0x1000005);
    zarvel_event a{};
    a.kind = ZARVEL_EVENT_ALIAS;
    a.text = span_of(std::string_view(big).substr(1, 2));
    a.anchor_id = 0x1000005;
    ASSERT_EQ(feed(sink, {plain_event(ZARVEL_EVENT_DOCUMENT_START), start_event(ZARVEL_EVENT_SEQUENCE_START), s, a,
                          plain_event(ZARVEL_EVENT_SEQUENCE_END), plain_event(ZARVEL_EVENT_DOCUMENT_END)}),
              0);
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    ASSERT_EQ(zarvel_event_log_replay(store, &log), 0);
    ASSERT_EQ(store->node_count, 3u);
    EXPECT_EQ(store->nodes[2].alias_target, 1u);
    zarvel_store_free(store);
    zarvel_event_log_release(&log);
}

TEST(EventLog, CorruptLogsFailReplay) {
    struct row {
        const char *name;
        std::vector<uint64_t> words;
    };
    std::vector<row> rows = {
        {"kind 0", {0}},
        {"kind 8", {8ull << 56}},
        {"truncated scalar", {3ull << 56}},
        {"bad external mark", {(3ull << 56), 0xFE00000000000001ull, 0}},
        {"compact span past the end", {(4ull << 56) | (5ull << 32) | 100000}},
        {"end without start", {(2ull << 56) | 6, 0}},
        {"external non-empty null address", {(3ull << 56) | (1ull << 20), 0xFF00000000000002ull, 0}},
    };
    for (const row &r : rows) {
        zarvel_event_log log;
        ASSERT_TRUE(zarvel_event_log_init(&log, input.data(), input.size()));
        ASSERT_TRUE(zarvel_event_log_push(&log, r.words.data(), uint32_t(r.words.size())));
        zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
        EXPECT_EQ(zarvel_event_log_replay(store, &log), -1) << r.name;
        zarvel_store_free(store);
        zarvel_event_log_release(&log);
    }
    EXPECT_EQ(zarvel_event_log_replay(nullptr, nullptr), -1);
}

TEST(EventLog, WordGrowthIsLimitedByInputLength) {
    zarvel_event_log log;
    ASSERT_TRUE(zarvel_event_log_init(&log, input.data(), 4));  // L = 4: 66 words, at most 272
    uint64_t w = 1ull << 56;
    uint32_t pushed = 0;
    while (zarvel_event_log_push(&log, &w, 1)) ++pushed;
    EXPECT_EQ(pushed, 4u * 4 + 256);
    EXPECT_EQ(log.overflow, 1u);
    zarvel_event_log_reset(&log);
    EXPECT_EQ(log.overflow, 0u);
    EXPECT_EQ(log.word_count, 0u);
    zarvel_event_log_release(&log);
}

// ---- flow fast paths ------------------------------------------------------------

namespace {

struct flow_case {
    std::string text;
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    explicit flow_case(std::string t) : text(std::move(t)) {
        store->input = text.data();
        store->input_len = text.size();
        zarvel_store_reserve(store, text.size());
    }
    ~flow_case() { zarvel_store_free(store); }
    int raw(uint64_t *end, uint32_t max_depth = 1000) {
        return zarvel_composer_flow_raw(store, text.data(), text.find_first_of("[{"), text.size(), 1, 0, {nullptr, 0},
                                        {nullptr, 0}, 0, max_depth, end);
    }
};

}  // namespace

TEST(FlowPath, CollectionsBecomeTheseNodes) {
    struct row {
        std::string text;
        int result;
        std::string dump;
    };
    std::vector<row> rows = {
        {"[1, 2.5, \"x\", true, null]", 1,
         "0 k1 s0 f1 p0 t6 v\"\" [1 2 3 4 5]\n1 k0 s1 f1 p1 t1 v\"1\"\n2 k0 s1 f1 p1 t2 v\"2.5\"\n"
         "3 k0 s3 f1 p0 t0 v\"x\"\n4 k0 s1 f1 p1 t3 v\"true\"\n5 k0 s1 f1 p1 t4 v\"null\"\nroots: 0\n"},
        {"{\"a\": [], \"a\": {}}", 1,
         "0 k2 s0 f1 p0 t7 v\"\" [1 2 3 4]\n1 k0 s3 f1 p0 t0 v\"a\"\n2 k1 s0 f1 p0 t6 v\"\"\n"
         "3 k0 s3 f1 p0 t0 v\"a\"\n4 k2 s0 f1 p0 t7 v\"\"\nroots: 0\n"},
        {"{1: 2}", 0, "roots:\n"},                                   // a plain key is left to the parser
        {"[1, 2", 0, "roots:\n"},                                    // unterminated
        {"[a]", 0, "roots:\n"},                                      // not JSON
        {"{\"" + std::string(1030, 'k') + "\": 1}", 2, "roots:\n"},  // long key
    };
    for (const row &r : rows) {
        flow_case c(r.text);
        uint64_t end = 0;
        EXPECT_EQ(c.raw(&end), r.result) << r.text;
        if (r.result == 1) {
            EXPECT_EQ(end, r.text.size() - 1) << r.text;
            EXPECT_EQ(zarvel_composer_flow_commit(c.store, 0), 1) << r.text;
        }
        EXPECT_EQ(dump_store(c.store), r.dump) << r.text;
        EXPECT_EQ(c.store->strings_len, 0u) << r.text;
        EXPECT_EQ(c.store->depth, 0u) << r.text;
    }
}

TEST(FlowPath, CancelDiscardsTheNodes) {
    flow_case c("[[1, 2], {\"k\": \"v\"}]: value");
    uint64_t end = 0;
    ASSERT_EQ(c.raw(&end), 1);
    EXPECT_GT(c.store->node_count, 0u);
    zarvel_composer_flow_cancel(c.store);
    EXPECT_EQ(c.store->node_count, 0u);
    EXPECT_EQ(c.store->root_count, 0u);
    EXPECT_EQ(zarvel_composer_flow_commit(c.store, 0), 0);  // nothing pending any more
}

TEST(FlowPath, DepthLimitOfTheStepper) {
    flow_case c("[[[1]]]");
    uint64_t end = 0;
    EXPECT_EQ(c.raw(&end, 2), 0);
    EXPECT_EQ(c.store->node_count, 0u);
    EXPECT_EQ(c.raw(&end, 3), 1);
}

TEST(FlowPath, RecorderWithPropertiesInsideABlockMapping) {
    std::string text = "k: &a !t [1, 2]\n";
    zarvel_event_log log;
    ASSERT_TRUE(zarvel_event_log_init(&log, text.data(), text.size()));
    zarvel_sink sink = zarvel_event_log_sink(&log);
    zarvel_event ms = start_event(ZARVEL_EVENT_MAPPING_START);
    ASSERT_EQ(feed(sink, {plain_event(ZARVEL_EVENT_DOCUMENT_START), ms,
                          scalar_event(std::string_view(text).substr(0, 1), 1, 0)}),
              0);
    std::string tag = "!t";
    uint64_t end = 0;
    ASSERT_EQ(sink.flow_raw(sink.user, text.data(), 9, text.size(), 1, 0, span_of(std::string_view(text).substr(4, 1)),
                            span_of(tag), 1, 1000, &end),
              1);
    EXPECT_EQ(end, 14u);
    ASSERT_EQ(sink.flow_commit(sink.user, text.size()), 1);
    ASSERT_EQ(feed(sink, {plain_event(ZARVEL_EVENT_MAPPING_END), plain_event(ZARVEL_EVENT_DOCUMENT_END)}), 0);
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    ASSERT_EQ(zarvel_event_log_replay(store, &log), 0);
    EXPECT_EQ(dump_store(store),
              "0 k2 s0 f0 p0 t7 v\"\" [1 2]\n1 k0 s1 f0 p1 t0 v\"k\"\n2 k1 s0 f1 p0 t11 v\"\" !\"!t\" &\"a\" [3 4]\n"
              "3 k0 s1 f1 p1 t1 v\"1\"\n4 k0 s1 f1 p1 t1 v\"2\"\nroots: 0\n");
    zarvel_store_free(store);
    zarvel_event_log_release(&log);
}

// ---- block scanner -----------------------------------------------------------------

namespace {

// Block scanner, then replay; the rendered tree, or "<gave up>".
std::string scan_render(const std::string &text, std::string *dump = nullptr) {
    zarvel_event_log log;
    EXPECT_TRUE(zarvel_event_log_init(&log, text.data(), text.size()));
    std::string out = "<gave up>";
    if (zarvel_block_scanner(&log, &zarvel_core_resolver) == 0) {
        auto *doc = zarvel_document_alloc(&zarvel_default_allocator);
        auto *heap = static_cast<zarvel_event_log *>(zvl::allocate(&zarvel_default_allocator, sizeof log));
        *heap = log;
        // As the parse entry does: the document keeps the texts the scanner assembled.
        doc->scratch = heap->scratch;
        heap->scratch = nullptr;
        doc->source = heap;
        doc->source_ops = &zarvel_event_log_source;
        // Documents of a stream are rendered one after the other.
        uint32_t count = zarvel_document_count(doc);
        out = count == 0 ? "<no build>" : render(zarvel_document_root(doc, 0));
        for (uint32_t d = 1; d < count; ++d) out += " --- " + render(zarvel_document_root(doc, d));
        if (dump && doc->store) *dump = dump_store(doc->store);
        zarvel_document_free(doc);
    } else {
        EXPECT_EQ(log.word_count, 0u) << text;
        zarvel_event_log_release(&log);
    }
    return out;
}

}  // namespace

TEST(BlockScanner, TakesSimpleBlockYaml) {
    struct row {
        std::string text;
        std::string tree;
    };
    std::vector<row> rows = {
        {"a: 1\nb: x\n", "{\"a\":\"1\",\"b\":\"x\"}"},
        {"a:\n  b: 1\n  c: 2\nd: 3\n", "{\"a\":{\"b\":\"1\",\"c\":\"2\"},\"d\":\"3\"}"},
        {"a:\n- x\n- y\nb: 1\n", "{\"a\":[\"x\",\"y\"],\"b\":\"1\"}"},
        {"- a: 1\n  b: 2\n- c: 3\n", "[{\"a\":\"1\",\"b\":\"2\"},{\"c\":\"3\"}]"},
        {"- - a\n  - b\n- c\n", "[[\"a\",\"b\"],\"c\"]"},
        {"-\n  a: 1\n-\n- z\n", "[{\"a\":\"1\"},\"\",\"z\"]"},
        {"a:\nb:\n", "{\"a\":\"\",\"b\":\"\"}"},
        {"# c\na: 'q' # x\nb: \"d q\"\nc: [1, {\"k\": 2}]\n\n",
         "{\"a\":\"q\",\"b\":\"d q\",\"c\":[\"1\",{\"k\":\"2\"}]}"},
        {"a: &x 5\nb: *x\nc: http://h:8/p\n", "{\"a\":\"5\",\"b\":\"5\",\"c\":\"http://h:8/p\"}"},
        {"- &y v\n- w # comment\n", "[\"v\",\"w\"]"},
        {"a:\n  - x\n  -\nb: -1\n", "{\"a\":[\"x\",\"\"],\"b\":\"-1\"}"},
        {"a: b\n  c\n\n  d\ne: f\n", "{\"a\":\"b c\\x0Ad\",\"e\":\"f\"}"},
        {"- one\n  two\n- three\n", "[\"one two\",\"three\"]"},
        {"a: |\n  x\n   y\n\n\nb: 1\n", "{\"a\":\"x\\x0A y\\x0A\",\"b\":\"1\"}"},
        {"a: |-\n  x\n\nb: 1\n", "{\"a\":\"x\",\"b\":\"1\"}"},
        {"a: |+\n  x\n\nb: 1\n", "{\"a\":\"x\\x0A\\x0A\",\"b\":\"1\"}"},
        {"- |\n  # not a comment\n- x\n", "[\"# not a comment\\x0A\",\"x\"]"},
        {"'a': 1\n\"b c\": [2]\n'd':\n  - e\n", "{\"a\":\"1\",\"b c\":[\"2\"],\"d\":[\"e\"]}"},
        // Documents between "---" lines; the first marker only starts the first.
        {"---\na: 1\n", "{\"a\":\"1\"}"},
        {"a: 1\n---\n- b\n---\n# c\nc: &x 2\nd: *x\n", "{\"a\":\"1\"} --- [\"b\"] --- {\"c\":\"2\",\"d\":\"2\"}"},
        // Quoted scalars over lines, doubled quotes and escapes.
        {"a: 'it''s'\n", "{\"a\":\"it's\"}"},
        {"a: \"x\\ty\"\n", "{\"a\":\"x\\x09y\"}"},
        {"a: 'one\n  two  \n\n  three'\nb: 1\n", "{\"a\":\"one two\\x0Athree\",\"b\":\"1\"}"},
        {"- \"x\\\n  \\ y\\u00e9\"\n", "[\"x y\\xC3\\xA9\"]"},
        {"a: 'back\\slash'\n", "{\"a\":\"back\\x5Cslash\"}"},
        // An explicit key with its value on the next line.
        {"? a\n: b\n", "{\"a\":\"b\"}"},
        {"x:\n  ? long key\n  # c\n  : in: 1\n    on: 2\n  y: 3\n",
         "{\"x\":{\"long key\":{\"in\":\"1\",\"on\":\"2\"},\"y\":\"3\"}}"},
        // Flow collections of plain texts, anchored ones and alias items.
        {"a: {b: 1}\n", "{\"a\":{\"b\":\"1\"}}"},
        {"- &x [a b, 'c', {d: -e}]\n- *x\n", "[[\"a b\",\"c\",{\"d\":\"-e\"}],[\"a b\",\"c\",{\"d\":\"-e\"}]]"},
        {"- [a  b , c d  ]\n", "[[\"a  b\",\"c d\"]]"},
    };
    for (const row &r : rows) EXPECT_EQ(scan_render(r.text), r.tree) << r.text;
}

TEST(BlockScanner, GivesUpOnWhatItDoesNotHandle) {
    for (std::string text : {"",
                             "# only a comment\n",
                             "scalar\n",
                             "a: 1\n  b: 2\n",
                             "a: b\n  - c\n",
                             "a: b\n  # c\n  d\n",
                             "a: b\n  c: d\n",
                             "a: 1\n---\n",
                             "---\n---\na: 1\n",
                             "a: 1\n--- b\n",
                             "a: 1\n---\nb: *x\n",
                             "a: 1\n...\n",
                             "%YAML 1.2\n---\na\n",
                             "a: !t x\n",
                             "a: >\n  x\n",
                             "a: |2\n  x\n",
                             "a: |\n  x",
                             "a: |\n\n  x\n",
                             "a: |\n   \n  x\n",
                             "a: |\nb: 1\n",
                             "? a\nb: 1\n",
                             "? a\n:\n  b\n",
                             "? a\n: - b\n",
                             "? a\n  b\n: c\n",
                             "? a\n",
                             "a: \"x\\qy\"\n",
                             "a: \"\\ud800\"\n",
                             "a: 'x\ny'\n",
                             "a:\n  b: 'x\n  y'\n",
                             "a: 'x\n  y' z\n",
                             "a: 'open\n",
                             "'a' : 1\n",
                             "'a':1\n",
                             "\"a\": *x\n",
                             "a: *missing\n",
                             "a: &x\n  b: 1\n",
                             "a:\tb\n",
                             "a: 1\r\n",
                             "a: b: c\n",
                             "a: - b\n",
                             "a: 1\n- b\n",
                             "- a\nb: 1\n",
                             "a: [1,\n  2]\n",
                             "a: [1] x\n",
                             "a:\n    b: 1\n  c: 2\n",
                             "a : 1\n",
                             "- *x\n",
                             "a: {b:1}\n",
                             "a: [b, ]\n",
                             "a: [b: c]\n",
                             "a: [b #c\n  ]\n",
                             "- &x [a]\n- [*x]\n"})
        EXPECT_EQ(scan_render(text), "<gave up>") << text;
    std::string deep;
    for (int i = 0; i < 256; ++i) deep += std::string(size_t(i) * 2, ' ') + "k:\n";
    EXPECT_EQ(scan_render(deep), "<gave up>");
    EXPECT_EQ(scan_render("- &" + std::string(256, 'n') + " x\n"), "<gave up>");
}

TEST(BlockScanner, NodeFlagsMatchTheEventPath) {
    std::string dump;
    scan_render("a: 1\nb:\n- 'q'\n- x\n", &dump);
    EXPECT_EQ(
        dump,
        "0 k2 s0 f0 p0 t7 v\"\" [1 2 3 4]\n1 k0 s1 f0 p1 t0 v\"a\"\n2 k0 s1 f0 p1 t1 v\"1\"\n"
        "3 k0 s1 f0 p1 t0 v\"b\"\n4 k1 s0 f0 p0 t6 v\"\" [5 6]\n5 k0 s2 f0 p0 t0 v\"q\"\n6 k0 s1 f0 p1 t0 v\"x\"\n"
        "roots: 0\n");
}

// The replay fills the children index as it builds (when no flow collection
// is built whole); the index must list exactly the sibling links.
TEST(BlockScanner, ReplayFillsTheChildrenIndex) {
    struct row {
        std::string text;
        bool filled;
    };
    std::vector<row> rows = {
        {"a:\n  b: 1\n  c: [x, y z, {d: e}]\nf:\n- &k 1\n- *k\n- |\n  lit\n- 'q\n  r'\n- - g\n  - h\n", true},
        {"? a\n: b\nc:\nd: *x\n", false},  // gave up: an unknown alias
        {"? a\n: b\nc:\n---\n- x\n-\n", true},
        // JSON-shaped flow collections, built whole (the root's bracket last).
        {"a: [1, {\"k\": [2, []]}]\nb: 3\n", true},
        {"- [1, {\"k\": [2, []]}]\n- &x {\"a\": [3]}\n- *x\n- {}\n", true},
    };
    for (const row &r : rows) {
        zarvel_event_log log;
        ASSERT_TRUE(zarvel_event_log_init(&log, r.text.data(), r.text.size()));
        zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
        if (zarvel_block_scanner(&log, &zarvel_core_resolver) == 0) {
            ASSERT_EQ(zarvel_event_log_replay(store, &log), 0) << r.text;
        }
        const zarvel_child_index *index = store->child_index;
        EXPECT_EQ(index != nullptr, r.filled) << r.text;
        for (uint32_t id = 0; index && id < store->node_count; ++id) {
            const zarvel_node_rec &c = store->nodes[id];
            if (!c.is_collection()) continue;
            uint32_t child = c.first_child;
            for (uint32_t k = 0; k < c.child_count; ++k, child = store->nodes[child].next_sibling)
                EXPECT_EQ(zarvel_child_index_at(index, c, id, k), child) << r.text << " node " << id << " child " << k;
        }
        zarvel_store_free(store);
        zarvel_arena_free(log.scratch);
        zarvel_event_log_release(&log);
    }
}
