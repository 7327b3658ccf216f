// Streaming front ends: push, pull, recorder (chunked feeding) and iterparse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/feed_buffer.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

// ---- event notation ----------------------------------------------------------

std::string escaped(const char *text, uint64_t length) {
    std::string out;
    for (uint64_t i = 0; i < length; ++i) {
        switch (text[i]) {
        case '\\': out += "\\\\"; break;
        case '\0': out += "\\0"; break;
        case '\b': out += "\\b"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += text[i];
        }
    }
    return out;
}

std::string properties(const zarvel_event_view &e) {
    std::string out;
    if (e.anchor_length) out += " &" + std::string(e.anchor, e.anchor_length);
    if (e.tag_length) out += " <" + std::string(e.tag, e.tag_length) + ">";
    return out;
}

// The notation of the public YAML test suite.
std::string notation(const zarvel_event_view &e) {
    static const char style_marks[] = ":::'\"|>";
    switch (e.kind) {
    case ZARVEL_EVENT_STREAM_START: return "+STR";
    case ZARVEL_EVENT_STREAM_END: return "-STR";
    case ZARVEL_EVENT_DOCUMENT_START: return e.explicit_ ? "+DOC ---" : "+DOC";
    case ZARVEL_EVENT_DOCUMENT_END: return e.explicit_ ? "-DOC ..." : "-DOC";
    case ZARVEL_EVENT_SEQUENCE_START: return std::string("+SEQ") + (e.flow ? " []" : "") + properties(e);
    case ZARVEL_EVENT_SEQUENCE_END: return "-SEQ";
    case ZARVEL_EVENT_MAPPING_START: return std::string("+MAP") + (e.flow ? " {}" : "") + properties(e);
    case ZARVEL_EVENT_MAPPING_END: return "-MAP";
    case ZARVEL_EVENT_SCALAR:
        return "=VAL" + properties(e) + " " + style_marks[e.style <= 5 ? e.style + 1 : 0] +
               escaped(e.text, e.text_length);
    case ZARVEL_EVENT_ALIAS: return "=ALI *" + std::string(e.text, e.text_length);
    default: return "?" + std::to_string(e.kind);
    }
}

std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &line : lines) out += line + "\n";
    return out;
}

// A full copy of an event, texts included, so that events from different
// front ends (and from views that die with the next call) can be compared.
struct owned_event {
    zarvel_event_view view{};
    std::string text, anchor, tag;

    explicit owned_event(const zarvel_event_view &v) : view(v) {
        if (v.text_length) text.assign(v.text, v.text_length);
        if (v.anchor_length) anchor.assign(v.anchor, v.anchor_length);
        if (v.tag_length) tag.assign(v.tag, v.tag_length);
        view.text = view.anchor = view.tag = nullptr;
    }
    // Null pointer exactly when the span is empty.
    static bool spans_ok(const zarvel_event_view &v) {
        return (v.text == nullptr) == (v.text_length == 0) && (v.anchor == nullptr) == (v.anchor_length == 0) &&
               (v.tag == nullptr) == (v.tag_length == 0);
    }
    std::string describe() const {
        zarvel_event_view v = view;
        v.text = text.data();
        v.anchor = anchor.data();
        v.tag = tag.data();
        std::ostringstream out;
        out << notation(v) << " @" << view.start_line << ":" << view.start_column << "-" << view.end_line << ":"
            << view.end_column;
        return out.str();
    }
    bool same_content(const owned_event &o) const {
        return view.kind == o.view.kind && view.style == o.view.style && view.flow == o.view.flow &&
               view.explicit_ == o.view.explicit_ && view.plain_implicit == o.view.plain_implicit && text == o.text &&
               anchor == o.anchor && tag == o.tag;
    }
    bool operator==(const owned_event &o) const {
        return same_content(o) && view.start_line == o.view.start_line && view.start_column == o.view.start_column &&
               view.end_line == o.view.end_line && view.end_column == o.view.end_column;
    }
};

std::string describe(const std::vector<owned_event> &events) {
    std::string out;
    for (const owned_event &e : events) out += e.describe() + "\n";
    return out;
}

std::vector<std::string> notations(const std::vector<owned_event> &events) {
    std::vector<std::string> out;
    for (const owned_event &e : events) out.push_back(e.describe().substr(0, e.describe().rfind(" @")));
    return out;
}

// ---- front-end drivers ---------------------------------------------------------

struct pull_result {
    bool created = false;
    int status = -1;
    uint32_t line = 0, column = 0;
    std::vector<owned_event> events;
};

pull_result run_pull(const std::string &text) {
    pull_result r;
    zarvel_pull *pull = zarvel_pull_new(text.data(), text.size());
    if (!pull) return r;
    r.created = true;
    while (const zarvel_event_view *e = zarvel_pull_next(pull)) {
        EXPECT_TRUE(owned_event::spans_ok(*e)) << text;
        r.events.emplace_back(*e);
    }
    r.status = zarvel_pull_status(pull, &r.line, &r.column);
    zarvel_pull_free(pull);
    return r;
}

zarvel_event_view view_of(const zarvel_record &r, const char *pool) {
    zarvel_event_view v{};
    v.kind = r.kind;
    v.style = r.style;
    v.flow = (r.flags & ZARVEL_RECORD_FLOW) != 0;
    v.explicit_ = (r.flags & ZARVEL_RECORD_EXPLICIT) != 0;
    v.plain_implicit = (r.flags & ZARVEL_RECORD_PLAIN_IMPLICIT) != 0;
    v.text = r.text_length ? pool + r.text_offset : nullptr;
    v.text_length = r.text_length;
    v.anchor = r.anchor_length ? pool + r.anchor_offset : nullptr;
    v.anchor_length = r.anchor_length;
    v.tag = r.tag_length ? pool + r.tag_offset : nullptr;
    v.tag_length = r.tag_length;
    v.start_line = r.start_line;
    v.start_column = r.start_column;
    v.end_line = r.end_line;
    v.end_column = r.end_column;
    return v;
}

std::vector<owned_event> recorded(const zarvel_recorder *recorder) {
    uint64_t count = 0, size = 0;
    const zarvel_record *records = zarvel_recorder_records(recorder, &count);
    const char *pool = zarvel_recorder_arena(recorder, &size);
    std::vector<owned_event> out;
    for (uint64_t i = 0; i < count; ++i) {
        const zarvel_record &r = records[i];
        EXPECT_LE(uint64_t{r.text_offset} + r.text_length, size);
        EXPECT_LE(uint64_t{r.anchor_offset} + r.anchor_length, size);
        EXPECT_LE(uint64_t{r.tag_offset} + r.tag_length, size);
        out.emplace_back(view_of(r, pool));
    }
    return out;
}

struct recorder_result {
    bool failed = false;  // some feed returned 1
    size_t early = 0;     // records handed out before the final feed
    std::vector<int> statuses;
    std::vector<owned_event> events;  // of every feed, in order
};

// Feeds the text cut at the given offsets (ascending), then an empty final
// chunk, collecting the records of each feed.
recorder_result run_recorder(const std::string &text, const std::vector<size_t> &cuts, int32_t schema = 0) {
    recorder_result r;
    zarvel_recorder *recorder = zarvel_recorder_new_ex(schema);
    if (!recorder) {
        r.failed = true;
        return r;
    }
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(text.size());
    for (size_t i = 0; i <= ends.size() && !r.failed; ++i) {
        const bool final = i == ends.size();
        const size_t to = final ? text.size() : ends[i];
        int status = zarvel_recorder_feed(recorder, text.data() + from, to - from, final);
        r.statuses.push_back(status);
        if (status != 0) {
            r.failed = true;
            break;
        }
        for (owned_event &e : recorded(recorder)) {
            r.early += !final;
            r.events.push_back(std::move(e));
        }
        from = to;
    }
    zarvel_recorder_free(recorder);
    return r;
}

struct iterparse_result {
    bool created = false;
    int status = -1;
    uint32_t line = 0, column = 0;
    std::vector<std::vector<owned_event>> batches;
};

iterparse_result run_iterparse(const std::string &text) {
    iterparse_result r;
    zarvel_iterparse *it = zarvel_iterparse_new(text.data(), text.size());
    if (!it) return r;
    r.created = true;
    for (int guard = 0; guard < 100000; ++guard) {
        uint64_t count = 99;
        const zarvel_event_view *events = zarvel_iterparse_next(it, &count);
        if (!events) {
            EXPECT_EQ(count, 0u) << text;
            break;
        }
        EXPECT_GT(count, 0u) << text;
        std::vector<owned_event> batch;
        for (uint64_t i = 0; i < count; ++i) {
            EXPECT_TRUE(owned_event::spans_ok(events[i])) << text;
            batch.emplace_back(events[i]);
        }
        r.batches.push_back(std::move(batch));
    }
    EXPECT_EQ(zarvel_iterparse_next(it, nullptr), nullptr) << "null is final: " << text;
    r.status = zarvel_iterparse_status(it, &r.line, &r.column);
    zarvel_iterparse_free(it);
    return r;
}

struct push_result {
    int status = -1;
    std::vector<owned_event> events;
};

push_result run_push(const std::string &text, int stop_at = -1) {
    struct context {
        push_result *result;
        int stop_at;
    };
    push_result r;
    context c{&r, stop_at};
    r.status = zarvel_push_parse(
        text.data(), text.size(),
        [](void *user, const zarvel_event_view *e) -> int {
            auto *c = static_cast<context *>(user);
            EXPECT_TRUE(owned_event::spans_ok(*e));
            c->result->events.emplace_back(*e);
            return static_cast<int>(c->result->events.size()) - 1 == c->stop_at ? 1 : 0;
        },
        &c);
    return r;
}

// ---- the shared conformance corpus -----------------------------------------------

struct suite_case {
    std::string name;
    std::string text;
    bool error;
};

const std::vector<suite_case> &suite_cases() {
    static const std::vector<suite_case> cases = [] {
        std::vector<suite_case> out;
        const std::filesystem::path root = corpus::path("yaml-test-suite");
        if (!std::filesystem::exists(root)) return out;
        for (const auto &entry : std::filesystem::directory_iterator(root)) {
            const auto input = entry.path() / "in.yaml";
            if (!std::filesystem::exists(input)) continue;
            std::ifstream file(input, std::ios::binary);
            std::stringstream bytes;
            bytes << file.rdbuf();
            out.push_back(
                {entry.path().filename().string(), bytes.str(), std::filesystem::exists(entry.path() / "error")});
        }
        std::sort(out.begin(), out.end(), [](const suite_case &a, const suite_case &b) { return a.name < b.name; });
        return out;
    }();
    return cases;
}

// Streams with line breaks and document ends the corpus has few of: NEL, LS
// and PS (rewritten by the parser), CR LF and lone CR, markers with comments,
// many small documents.
std::vector<suite_case> with_extra_cases() {
    std::vector<suite_case> cases = suite_cases();
    const std::vector<std::string> extra = {
        "a\xC2\x85"
        "b\n---\nc\n--- d\n",
        "k: v\xE2\x80\xA8---\xE2\x80\xA9x: y\n---\nz\n",
        "a: 1\r\n---\r\nb: 2\r\n...\r\n--- c\r\n",
        "a\r---\rb\r",
        "a\n... # end\n# between\n--- b\n...   \n\n--- |\n  c\n",
        "- x\n--- &a y\n--- *a\n",
        "",
        "--- a\n--- b\n--- c\n--- d\n--- e\n--- f\n--- g\n",
        "a: 'x\n  y'\n---\nb: \"p\n  q\"\n---\n[c,\n d]\n",
        "%YAML 1.2\n---\na\n...\n%YAML 1.2\n---\nb\n---\nc\n",
        "a: |+\n  x\n\n\n--- b\n",
        "a: 1 # c\n# d\n---\nb\n",
        "? a\n: b\n---\n- c\n...\n",
        "a\n... x\n",
        "a\n---\n- [b\n---\n",
        "--- 'q\n---\n'\n",
        // Small flat flow trees, and their near misses.
        "- &a {id: 0, name: two words}\n- &b [x, y-z, 1.5]\n- {k: v}\n- *a\n- [a, b]: c\n- &c {a : b ,  c: d}\n"
        "- {a: b}  # c\n- &d {a: [b]}\n- [-1, +2]\n- {a: b,c: d}\n- [a, b ]\n- {\"q\": 1}\n- &e {a: b}\tx\n",
        "k: &a {x: 1}\nl: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17]\nm: {a:b}\n",
        // Encodings: characters and UTF-16/32 units cut by every split.
        "\xEF\xBB\xBFk: \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\n---\n- \xE2\x80\xA8\n",
        std::string("\xFF\xFE"
                    "a\0:\0 \0\xE9\0\n\0-\0-\0-\0\n\0"
                    "b\0\n\0=\xD8\0\xDE",
                    28),
        std::string("\xFE\xFF\0a\0\n\0-\0-\0-\0\n\xD8=\xDE\0", 18),
        std::string("\0\0\xFE\xFF\0\0\0x\0\0\0\n\0\0\0-\0\0\0-\0\0\0-\0\0\0\n\0\x01\xF6\0", 32),
        std::string("\xFF\xFE\0\0y\0\0\0", 8),
        // Refused input: every road and every split must refuse it.
        "a: 1\n---\nb: \xC3(\n",
        "a: 1\n---\nb: \x01\n",
        std::string("a\n---\n\0", 7),
        std::string("\xFF\xFE"
                    "a\0\n\0-\0-\0-\0\n\0\0\xDC",
                    16),
        std::string("\xFF\xFE"
                    "a\0\n\0-",
                    7),
    };
    for (size_t i = 0; i < extra.size(); ++i) cases.push_back({"extra-" + std::to_string(i), extra[i], false});
    return cases;
}

// ---- every road ----------------------------------------------------------------------

// The value of the last scalar of a stream from each road.
struct road_values {
    std::string push, pull, recorder, iterparse, document;
};

std::string last_scalar(const std::vector<owned_event> &events) {
    for (auto e = events.rbegin(); e != events.rend(); ++e)
        if (e->view.kind == ZARVEL_EVENT_SCALAR) return e->text;
    return "<none>";
}

road_values values_of(const std::string &text) {
    road_values v;
    v.push = last_scalar(run_push(text).events);
    v.pull = last_scalar(run_pull(text).events);
    v.recorder = last_scalar(run_recorder(text, {}).events);
    std::vector<owned_event> flat;
    for (const auto &batch : run_iterparse(text).batches) flat.insert(flat.end(), batch.begin(), batch.end());
    v.iterparse = last_scalar(flat);
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
    zarvel_node *root = doc ? zarvel_document_root(doc, 0) : nullptr;
    if (root && zarvel_node_kind(root) == ZARVEL_NODE_SEQUENCE) root = zarvel_node_seq_at(root, 0);
    if (root && zarvel_node_kind(root) == ZARVEL_NODE_MAPPING) root = zarvel_node_map_get(root, "k", 1);
    uint64_t length = 0;
    const char *value = root ? zarvel_node_value(root, &length) : nullptr;
    v.document = value ? std::string(value, length) : "<none>";
    zarvel_document_free(doc);
    return v;
}

// Keep chomping: blanks after the last line break are no empty line, as
// libyaml reads them; every road gives the same value.
TEST(EveryRoad, KeepChompingGivesOneValue) {
    struct row {
        std::string text, value;
    } rows[] = {
        {"- |+\n  a\n  ", "a\n"}, {"- |+\n  ", ""},         {"- |+\n  a\n\n  ", "a\n\n"},
        {"- |+\n\n  ", "\n"},     {"- >+\n  a\n  ", "a\n"}, {"k: |+\n  x\n  \n", "x\n\n"},
        {"k: |+\n  x\n", "x\n"},  {"- |+\n  a", "a"},       {"k: |+\n  x\n \n\n", "x\n\n\n"},
    };
    for (const row &r : rows) {
        road_values v = values_of(r.text);
        EXPECT_EQ(v.push, r.value) << "push: " << r.text;
        EXPECT_EQ(v.pull, r.value) << "pull: " << r.text;
        EXPECT_EQ(v.recorder, r.value) << "recorder: " << r.text;
        EXPECT_EQ(v.iterparse, r.value) << "iterparse: " << r.text;
        EXPECT_EQ(v.document, r.value) << "document: " << r.text;
    }
}

// Every road decodes as zarvel_parse does: the same text from a mark,
// UTF-16 or UTF-32, and the same status and message for refused input,
// also when the recorder's chunks cut characters and units.
TEST(EveryRoad, InputIsDecodedAsParseDecodesIt) {
    struct row {
        std::string name, text;
        std::string value;    // of the last scalar; empty: refused
        std::string message;  // of the refusal
    } rows[] = {
        {"utf-8 mark", "\xEF\xBB\xBFk: v\n", "v", ""},
        {"utf-16le",
         std::string("\xFF\xFE"
                     "k\0:\0 \0\xE9\0",
                     10),
         "\xC3\xA9", ""},
        {"utf-16be pair", std::string("\xFE\xFF\0-\0 \xD8=\xDE\0", 10), "\xF0\x9F\x98\x80", ""},
        {"utf-32le", std::string("\xFF\xFE\0\0-\0\0\0 \0\0\0x\0\0\0", 16), "x", ""},
        {"line separator is content",
         "- a\xE2\x80\xA8"
         "b",
         "a\xE2\x80\xA8"
         "b",
         ""},
        {"nul", std::string("k: \0", 4), "", "ill-formed or non-printable UTF-8 at byte 3"},
        {"cut character", "k: \xE2\x80", "", "ill-formed or non-printable UTF-8 at byte 3"},
        {"bad continuation", "k: a\xC3(", "", "ill-formed or non-printable UTF-8 at byte 4"},
        {"control after the mark", "\xEF\xBB\xBFk: \x01", "", "ill-formed or non-printable UTF-8 at byte 3"},
        {"bytes without a mark", std::string("k\0:\0", 4), "", "ill-formed or non-printable UTF-8 at byte 1"},
        {"odd utf-16", std::string("\xFF\xFEk\0:", 5), "", "ill-formed input encoding"},
        {"lone low surrogate", std::string("\xFF\xFEk\0\0\xDC", 6), "", "ill-formed input encoding"},
        {"utf-16 control", std::string("\xFF\xFEk\0\x01\0", 6), "", "non-printable character at byte 1"},
        {"utf-32 beyond unicode", std::string("\0\0\xFE\xFF\0\x11\0\0", 8), "", "ill-formed input encoding"},
    };
    for (const row &r : rows) {
        int32_t status = -1;
        zarvel_document_free(zarvel_parse(r.text.data(), r.text.size(), &status));
        const std::string parse_message = status ? zarvel_last_error(nullptr, nullptr) : "";
        ASSERT_EQ(status, r.value.empty() ? 4 : 0) << r.name;
        if (!r.value.empty()) {
            road_values v = values_of(r.text);
            for (const std::string *got : {&v.push, &v.pull, &v.recorder, &v.iterparse, &v.document})
                EXPECT_EQ(*got, r.value) << r.name;
        } else {
            EXPECT_EQ(parse_message, r.message) << r.name;
            auto refused = [&](int got, const char *road) {
                EXPECT_EQ(got, 4) << road << ": " << r.name;
                EXPECT_EQ(zarvel_last_error(nullptr, nullptr), r.message) << road << ": " << r.name;
            };
            refused(run_push(r.text).status, "push");
            pull_result pulled = run_pull(r.text);
            EXPECT_TRUE(pulled.events.empty()) << r.name;
            refused(pulled.status, "pull");
            iterparse_result iterated = run_iterparse(r.text);
            EXPECT_TRUE(iterated.batches.empty()) << r.name;
            refused(iterated.status, "iterparse");
        }
        // The recorder, whole and split at every byte.
        for (size_t at = 0; at < r.text.size(); ++at) {
            std::vector<size_t> cuts;
            if (at) cuts.push_back(at);
            recorder_result got = run_recorder(r.text, cuts);
            if (r.value.empty()) {
                EXPECT_EQ(got.statuses.back(), 4) << r.name << " split " << at;
                EXPECT_EQ(zarvel_last_error(nullptr, nullptr), r.message) << r.name << " split " << at;
            } else {
                EXPECT_EQ(last_scalar(got.events), r.value) << r.name << " split " << at;
            }
        }
    }
}

// ---- push ----------------------------------------------------------------------------

TEST(Push, EventsAndStatuses) {
    struct row {
        std::string text;
        int stop_at;  // index of the event whose callback returns 1; -1 never
        int status;
        std::vector<std::string> events;
    } rows[] = {
        {"", -1, 0, {"+STR", "-STR"}},
        {"a: 1\n", -1, 0, {"+STR", "+DOC", "+MAP", "=VAL :a", "=VAL :1", "-MAP", "-DOC", "-STR"}},
        {"--- &x !!str 'q'\n...\n",
         -1,
         0,
         {"+STR", "+DOC ---", "=VAL &x <tag:yaml.org,2002:str> 'q", "-DOC ...", "-STR"}},
        {"[a, *b]", -1, 1, {"+STR", "+DOC"}},  // flow events are held until the collection closes
        {"a: 1\n", 0, 1, {"+STR"}},
        {"a: 1\n", 3, 1, {"+STR", "+DOC", "+MAP", "=VAL :a"}},
        {"- &x {a: b}\n", 4, 1, {"+STR", "+DOC", "+SEQ", "+MAP {} &x", "=VAL :a"}},
    };
    for (const row &r : rows) {
        push_result got = run_push(r.text, r.stop_at);
        EXPECT_EQ(got.status, r.status) << r.text;
        EXPECT_EQ(joined(notations(got.events)), joined(r.events)) << r.text;
        for (const owned_event &e : got.events) {
            EXPECT_EQ(e.view.end_line, 0u) << r.text;
            EXPECT_EQ(e.view.end_column, 0u) << r.text;
        }
    }
}

TEST(Push, InvalidArguments) {
    auto callback = [](void *, const zarvel_event_view *) { return 0; };
    EXPECT_EQ(zarvel_push_parse("a", 1, nullptr, nullptr), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(zarvel_push_parse(nullptr, 1, callback, nullptr), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(zarvel_push_parse(nullptr, 0, callback, nullptr), ZARVEL_OK);
}

TEST(Push, StopByCallbackRecordsNothing) {
    zarvel_error_set(zarvel_error_current(), 7, 1, 1, 0, "earlier");
    EXPECT_EQ(run_push("a: 1\n", 0).status, 1);
    EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "earlier");
}

// ---- pull ----------------------------------------------------------------------------

TEST(Pull, EdgeCases) {
    struct row {
        std::string text;
        int status;
        std::vector<std::string> events;
    } rows[] = {
        {"", 0, {"+STR", "-STR"}},
        {"a: [", 1, {"+STR", "+DOC", "+MAP", "=VAL :a"}},
        {"a\n---\nb\n", 0, {"+STR", "+DOC", "=VAL :a", "-DOC", "+DOC ---", "=VAL :b", "-DOC", "-STR"}},
        {"- \"x\\ty\"\n- |\n  l\n", 0, {"+STR", "+DOC", "+SEQ", "=VAL \"x\\ty", "=VAL |l\\n", "-SEQ", "-DOC", "-STR"}},
    };
    for (const row &r : rows) {
        pull_result got = run_pull(r.text);
        ASSERT_TRUE(got.created) << r.text;
        EXPECT_EQ(got.status, r.status) << r.text;
        EXPECT_EQ(joined(notations(got.events)), joined(r.events)) << r.text;
        if (r.status) {
            uint32_t line = 0, column = 0;
            zarvel_last_error(&line, &column);
            EXPECT_EQ(got.line, line) << r.text;
            EXPECT_EQ(got.column, column) << r.text;
            EXPECT_EQ(got.line, 1u) << r.text;
            EXPECT_EQ(got.column, 5u) << "at the end of the text: " << r.text;
        } else {
            EXPECT_EQ(got.line, 0u);
            EXPECT_EQ(got.column, 0u);
        }
    }
}

TEST(Pull, PositionsAndFlags) {
    pull_result got = run_pull("k: [x]\n");
    ASSERT_EQ(got.events.size(), 10u) << describe(got.events);
    const zarvel_event_view &stream = got.events[0].view;
    EXPECT_EQ(stream.start_line, 1u);
    EXPECT_EQ(stream.start_column, 1u);
    const owned_event &key = got.events[3];
    EXPECT_EQ(key.text, "k");
    EXPECT_EQ(key.view.plain_implicit, 1u);
    EXPECT_EQ(key.view.flow, 0u);
    EXPECT_EQ(key.view.start_column, 1u);
    EXPECT_EQ(key.view.end_column, 2u);
    const owned_event &sequence = got.events[4];
    EXPECT_EQ(sequence.view.kind, uint32_t{ZARVEL_EVENT_SEQUENCE_START});
    EXPECT_EQ(sequence.view.flow, 1u);
    EXPECT_EQ(sequence.view.start_column, 4u);
    EXPECT_EQ(got.events[5].view.flow, 1u) << "scalar inside a flow collection";
}

TEST(Pull, BatchesAndCursor) {
    const std::string text = "[1, 2, 3]";
    zarvel_pull *pull = zarvel_pull_new(text.data(), text.size());
    ASSERT_NE(pull, nullptr);
    zarvel_event_view events[4];
    EXPECT_EQ(zarvel_pull_next_batch(pull, events, 0), 0u);
    const zarvel_event_view *first = zarvel_pull_next(pull);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, uint32_t{ZARVEL_EVENT_STREAM_START}) << "capacity 0 did not advance";
    EXPECT_EQ(zarvel_pull_next_batch(pull, nullptr, 4), 0u);
    EXPECT_EQ(zarvel_pull_next_batch(pull, events, 4), 4u);
    EXPECT_EQ(events[0].kind, uint32_t{ZARVEL_EVENT_DOCUMENT_START});
    EXPECT_EQ(std::string(events[3].text, events[3].text_length), "2");
    EXPECT_EQ(zarvel_pull_next_batch(pull, events, 4), 4u);  // 3, -SEQ, -DOC, -STR
    EXPECT_EQ(events[3].kind, uint32_t{ZARVEL_EVENT_STREAM_END});
    EXPECT_EQ(zarvel_pull_next_batch(pull, events, 4), 0u);
    EXPECT_EQ(zarvel_pull_next(pull), nullptr);
    zarvel_pull_free(pull);
}

TEST(Pull, TextNotNeededAfterCreation) {
    std::string text = "a: \"b\\n\"\nc: &x d\n";
    zarvel_pull *pull = zarvel_pull_new(text.data(), text.size());
    ASSERT_NE(pull, nullptr);
    std::fill(text.begin(), text.end(), '#');
    std::vector<std::string> values;
    while (const zarvel_event_view *e = zarvel_pull_next(pull))
        if (e->kind == ZARVEL_EVENT_SCALAR) values.emplace_back(e->text, e->text_length);
    EXPECT_EQ(values, (std::vector<std::string>{"a", "b\n", "c", "d"}));
    zarvel_pull_free(pull);
}

TEST(Pull, InvalidArguments) {
    EXPECT_EQ(zarvel_pull_new(nullptr, 3), nullptr);
    EXPECT_EQ(zarvel_pull_next(nullptr), nullptr);
    zarvel_event_view e;
    EXPECT_EQ(zarvel_pull_next_batch(nullptr, &e, 1), 0u);
    EXPECT_EQ(zarvel_pull_status(nullptr, nullptr, nullptr), ZARVEL_INVALID_ARGUMENT);
    zarvel_pull_free(nullptr);
    zarvel_pull *pull = zarvel_pull_new(nullptr, 0);
    ASSERT_NE(pull, nullptr);
    EXPECT_EQ(zarvel_pull_status(pull, nullptr, nullptr), 0);
    zarvel_pull_free(pull);
}

// ---- iterparse ---------------------------------------------------------------------------

TEST(Iterparse, BatchesPerDocument) {
    struct row {
        std::string text;
        int status;
        std::vector<std::vector<std::string>> batches;
    } rows[] = {
        {"", 0, {{"+STR", "-STR"}}},
        {"# only a comment\n", 0, {{"+STR", "-STR"}}},
        {"a: 1\n---\nb: 2\n",
         0,
         {{"+STR", "+DOC", "+MAP", "=VAL :a", "=VAL :1", "-MAP", "-DOC"},
          {"+DOC ---", "+MAP", "=VAL :b", "=VAL :2", "-MAP", "-DOC"},
          {"-STR"}}},
        {"a\n...\n# c\n--- b\n...\n",
         0,
         {{"+STR", "+DOC", "=VAL :a", "-DOC ..."}, {"+DOC ---", "=VAL :b", "-DOC ..."}, {"-STR"}}},
        {"a\n--- [b\n", 1, {{"+STR", "+DOC", "=VAL :a", "-DOC"}, {"+DOC ---"}}},
        {"a\n--- *x\n", 1, {{"+STR", "+DOC", "=VAL :a", "-DOC"}, {"+DOC ---"}}},
        {"*x\n", 1, {{"+STR", "+DOC"}}},
        {"%YAML 1.2\n", 1, {{"+STR"}}},
    };
    for (const row &r : rows) {
        iterparse_result got = run_iterparse(r.text);
        ASSERT_TRUE(got.created) << r.text;
        EXPECT_EQ(got.status, r.status) << r.text;
        std::string expected, actual;
        for (const auto &batch : r.batches) expected += joined(batch) + "|\n";
        for (const auto &batch : got.batches) actual += joined(notations(batch)) + "|\n";
        EXPECT_EQ(actual, expected) << r.text;
    }
}

TEST(Iterparse, LinesRestartAfterEachDocument) {
    iterparse_result got = run_iterparse("a\n---\nb\n");
    ASSERT_EQ(got.batches.size(), 3u);
    EXPECT_EQ(got.batches[0][2].view.start_line, 1u);  // a
    ASSERT_EQ(got.batches[1].size(), 3u);
    EXPECT_EQ(got.batches[1][0].view.start_line, 1u);  // --- counts from the cut
    EXPECT_EQ(got.batches[1][1].view.start_line, 2u);  // b
    const zarvel_event_view &start = got.batches[0][0].view;
    EXPECT_EQ(start.start_line, 0u) << "synthetic stream start carries no position";
}

TEST(Iterparse, ErrorPositionCountsFromTheDocument) {
    iterparse_result got = run_iterparse("a\n--- [b\n");
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.line, 2u) << "line 3 of the text is line 2 of the second run";
    EXPECT_EQ(got.column, 1u);
    pull_result whole = run_pull("a\n--- [b\n");
    EXPECT_EQ(whole.line, 3u);
    EXPECT_EQ(whole.column, 1u);
}

TEST(Iterparse, InvalidArguments) {
    EXPECT_EQ(zarvel_iterparse_new(nullptr, 1), nullptr);
    uint64_t count = 5;
    EXPECT_EQ(zarvel_iterparse_next(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zarvel_iterparse_status(nullptr, nullptr, nullptr), ZARVEL_INVALID_ARGUMENT);
    zarvel_iterparse_free(nullptr);
    iterparse_result empty = run_iterparse(std::string());
    EXPECT_EQ(empty.batches.size(), 1u);
}

// ---- recorder ----------------------------------------------------------------------------

TEST(Recorder, ThreeFeeds) {
    zarvel_recorder *recorder = zarvel_recorder_new();
    ASSERT_NE(recorder, nullptr);
    struct step {
        std::string chunk;
        int final;
        std::vector<std::string> records;
    } steps[] = {
        {"a: 1\n", 0, {}},
        {"---\nb: 2\n", 0, {"+STR", "+DOC", "+MAP", "=VAL :a", "=VAL :1", "-MAP", "-DOC"}},
        {"", 1, {"+DOC ---", "+MAP", "=VAL :b", "=VAL :2", "-MAP", "-DOC", "-STR"}},
    };
    for (const step &s : steps) {
        ASSERT_EQ(zarvel_recorder_feed(recorder, s.chunk.data(), s.chunk.size(), s.final), 0) << s.chunk;
        std::vector<owned_event> got = recorded(recorder);
        EXPECT_EQ(joined(notations(got)), joined(s.records)) << s.chunk;
        if (!got.empty() && got.back().view.kind == ZARVEL_EVENT_STREAM_END) {
            // Lines carry on from the earlier run: "b" is on line 3.
            EXPECT_EQ(got[0].view.start_line, 2u);
            EXPECT_EQ(got[2].view.start_line, 3u);
        }
    }
    EXPECT_EQ(zarvel_recorder_feed(recorder, "c", 1, 0), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(zarvel_recorder_feed(recorder, "", 0, 1), ZARVEL_INVALID_ARGUMENT);
    zarvel_recorder_free(recorder);
}

TEST(Recorder, EachFeedReplacesTheRecords) {
    zarvel_recorder *recorder = zarvel_recorder_new();
    ASSERT_NE(recorder, nullptr);
    struct step {
        std::string chunk;
        int final;
        uint64_t count;
    } steps[] = {
        {"a\n---\nb\n", 0, 4},  // +STR +DOC a -DOC
        {"c", 0, 0},            // no new boundary: nothing complete
        {"\n--", 0, 0},         // a marker not yet complete
        {"- d\n", 0, 3},        // +DOC --- "b c" -DOC
        {"", 1, 4},             // +DOC --- d -DOC -STR
    };
    for (const step &s : steps) {
        ASSERT_EQ(zarvel_recorder_feed(recorder, s.chunk.data(), s.chunk.size(), s.final), 0);
        uint64_t count = 99;
        zarvel_recorder_records(recorder, &count);
        EXPECT_EQ(count, s.count) << joined(notations(recorded(recorder)));
    }
    zarvel_recorder_free(recorder);
}

TEST(Recorder, Arguments) {
    EXPECT_EQ(zarvel_recorder_feed(nullptr, "a", 1, 0), ZARVEL_INVALID_ARGUMENT);
    zarvel_recorder *recorder = zarvel_recorder_new();
    ASSERT_NE(recorder, nullptr);
    EXPECT_EQ(zarvel_recorder_feed(recorder, nullptr, 1, 0), ZARVEL_INVALID_ARGUMENT);
    EXPECT_EQ(zarvel_recorder_feed(recorder, nullptr, 0, 0), 0);
    uint64_t count = 9, size = 9;
    EXPECT_EQ(zarvel_recorder_records(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zarvel_recorder_arena(nullptr, &size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(zarvel_recorder_feed(recorder, nullptr, 0, 1), 0);
    EXPECT_EQ(joined(notations(recorded(recorder))), "+STR\n-STR\n");
    zarvel_recorder_free(recorder);
    zarvel_recorder_free(nullptr);
}

TEST(Recorder, FailureClosesTheRecorder) {
    zarvel_recorder *recorder = zarvel_recorder_new();
    ASSERT_NE(recorder, nullptr);
    const std::string chunk = "a: *x\n---\nb\n";
    EXPECT_EQ(zarvel_recorder_feed(recorder, chunk.data(), chunk.size(), 0), ZARVEL_FAILED);
    EXPECT_EQ(zarvel_recorder_feed(recorder, "x\n", 2, 1), ZARVEL_INVALID_ARGUMENT);
    zarvel_recorder_free(recorder);
}

// A failure in a later piece is placed in the whole fed stream: line and
// byte offset count from the first byte of the first feed.
TEST(Recorder, FailurePositionCountsFromTheStreamStart) {
    struct row {
        std::vector<std::string> chunks;  // the last one is fed as final
        uint32_t line, column;
        uint64_t offset;
    } rows[] = {
        {{"a: 1\n---\nb: *x\n"}, 3, 4, 12},                          // one feed: cut at the marker
        {{"a: 1\n", "---\nb: 2\n---\nc: *x\n", ""}, 5, 4, 21},       // cut in the second feed
        {{"a: 1\n---\n", "b: 2\n", "---\n  c: [\n", ""}, 6, 1, 25},  // end of text in the flow
        {{"*x\n"}, 1, 1, 0},
    };
    for (const row &r : rows) {
        zarvel_recorder *recorder = zarvel_recorder_new();
        ASSERT_NE(recorder, nullptr);
        int status = 0;
        for (size_t i = 0; i < r.chunks.size() && status == 0; ++i) {
            const std::string &c = r.chunks[i];
            bool final = i + 1 == r.chunks.size();
            status = zarvel_recorder_feed(recorder, c.data(), c.size(), final ? 1 : 0);
        }
        std::string joined_chunks;
        for (const auto &c : r.chunks) joined_chunks += c + "|";
        EXPECT_EQ(status, ZARVEL_FAILED) << joined_chunks;
        const zarvel_error *e = zarvel_error_current();
        EXPECT_EQ(e->line, r.line) << joined_chunks;
        EXPECT_EQ(e->column, r.column) << joined_chunks;
        EXPECT_EQ(e->offset, r.offset) << joined_chunks;
        zarvel_recorder_free(recorder);
    }
}

TEST(Recorder, Schemas) {
    struct row {
        int32_t schema;
        std::string text;
        uint8_t tag_id;
    } rows[] = {
        {0, "yes\n", ZARVEL_TAG_STR}, {1, "yes\n", ZARVEL_TAG_BOOL},        {0, "true\n", ZARVEL_TAG_BOOL},
        {7, "12\n", ZARVEL_TAG_INT},  {0, "!!float 1\n", ZARVEL_TAG_FLOAT},
    };
    for (const row &r : rows) {
        zarvel_recorder *recorder = zarvel_recorder_new_ex(r.schema);
        ASSERT_NE(recorder, nullptr);
        ASSERT_EQ(zarvel_recorder_feed(recorder, r.text.data(), r.text.size(), 1), 0) << r.text;
        uint64_t count = 0;
        const zarvel_record *records = zarvel_recorder_records(recorder, &count);
        ASSERT_EQ(count, 5u) << r.text;
        EXPECT_EQ(records[2].kind, ZARVEL_EVENT_SCALAR);
        EXPECT_EQ(records[2].tag_id, r.tag_id) << r.text << " schema " << r.schema;
        zarvel_recorder_free(recorder);
    }
}

TEST(Recorder, RecordLayout) {
    static_assert(sizeof(zarvel_record) == 44);
    static_assert(offsetof(zarvel_record, start_line) == 4);
    static_assert(offsetof(zarvel_record, text_offset) == 20);
    static_assert(offsetof(zarvel_record, tag_length) == 40);
    static_assert(offsetof(zarvel_event_view, text) == 24);
    static_assert(offsetof(zarvel_event_view, start_line) == 72);
    zarvel_recorder *recorder = zarvel_recorder_new();
    const std::string text = "--- &a [x, \"y\"]\n...\n";
    ASSERT_EQ(zarvel_recorder_feed(recorder, text.data(), text.size(), 1), 0);
    uint64_t count = 0;
    const zarvel_record *r = zarvel_recorder_records(recorder, &count);
    ASSERT_EQ(count, 8u);
    EXPECT_EQ(r[1].flags, ZARVEL_RECORD_EXPLICIT);  // +DOC ---
    EXPECT_EQ(r[2].flags, ZARVEL_RECORD_FLOW);      // +SEQ [] &a
    EXPECT_EQ(r[2].anchor_length, 1u);
    EXPECT_EQ(r[3].flags, ZARVEL_RECORD_FLOW | ZARVEL_RECORD_PLAIN_IMPLICIT);  // x
    EXPECT_EQ(r[4].flags, ZARVEL_RECORD_FLOW);                                 // "y"
    EXPECT_EQ(r[4].style, 3u);
    EXPECT_EQ(r[6].flags, ZARVEL_RECORD_EXPLICIT);  // -DOC ...
    EXPECT_EQ(r[0].text_length | r[0].text_offset, 0u) << "empty spans are (0, 0)";
    zarvel_recorder_free(recorder);
}

// ---- document boundary scan ------------------------------------------------------------------

TEST(FeedBuffer, BoundaryScan) {
    struct row {
        std::string name;
        std::vector<std::string> chunks;  // fed in turn; the scan runs after each
        std::vector<uint64_t> cuts;       // expected result after each chunk
    } rows[] = {
        {"marker line", {"a\n---\nb\n"}, {2}},
        {"last of several", {"a\n---\nb\n--- c\n"}, {8}},
        {"marker at offset 0", {"---\na\n"}, {0}},
        {"tab and CR end a marker", {"a\n---\tb\nc\n---\r\n"}, {10}},
        {"not a marker", {"a\n----\n--x\n-- -\n"}, {0}},
        {"directive keeps its marker", {"a\n...\n%YAML 1.2\n---\nb\n"}, {0}},
        {"directive flag cleared by the marker", {"%YAML 1.2\n---\na\n---\nb\n"}, {16}},
        {"inside single quotes", {"a: 'x\n---\ny'\n"}, {0}},
        {"doubled single quote", {"a: 'it''s'\n---\n"}, {11}},
        {"apostrophe in a plain scalar", {"a: it's\n---\n"}, {8}},
        {"inside double quotes", {"a: \"x\\\"\n---\n\"\n"}, {0}},
        {"escaped backslash closes", {"a: \"x\\\\\"\n---\n"}, {9}},
        {"inside a flow collection", {"[a,\n---\n]\n"}, {0}},
        {"flow closed", {"[a, {b: c}]\n---\n"}, {12}},
        {"comment hides a quote", {"# it's '\n---\n"}, {9}},
        {"hash inside a word", {"a#b '\n---\n"}, {0}},
        {"marker split over feeds", {"a\n--", "-", "\nb\n"}, {0, 0, 2}},
        {"escape split over feeds", {"\"a\\", "\"\n---\n\"\n---\n"}, {0, 11}},
        {"doubled quote split over feeds", {"'a'", "'\n---\n'\n---\n"}, {0, 11}},
        {"state kept across feeds", {"a: '\n", "---\n'\n---\nb\n"}, {0, 11}},
    };
    for (const row &r : rows) {
        zarvel_feed_buffer buffer{};
        for (size_t i = 0; i < r.chunks.size(); ++i) {
            ASSERT_TRUE(zvl::feed_buffer_append(buffer, r.chunks[i].data(), r.chunks[i].size()));
            EXPECT_EQ(zvl::feed_buffer_find_cut(buffer), r.cuts[i]) << r.name << ", chunk " << i;
        }
        zvl::feed_buffer_release(buffer);
    }
}

TEST(FeedBuffer, FirstBoundaryOnly) {
    const std::string text = "# c\n---\na\n---\nb\n";
    zvl::boundary_scan scan{};
    EXPECT_EQ(zvl::scan_boundaries(text.data(), text.size(), scan, true), 4u);
    EXPECT_EQ(zvl::scan_boundaries(text.data(), text.size(), scan, true), 10u) << "resumes after it";
    EXPECT_EQ(zvl::scan_boundaries(text.data(), text.size(), scan, true), 0u);
}

// NEL, LS and PS break lines under YAML 1.1 rules only.
TEST(FeedBuffer, LineBreaks) {
    struct row {
        std::string text;
        uint64_t breaks, yaml11_breaks;
    } rows[] = {
        {"", 0, 0},
        {"a", 0, 0},
        {"a\n", 1, 1},
        {"a\r\nb\r", 2, 2},
        {"\r\r\n\n", 3, 3},
        {"a\xC2\x85"
         "b",
         0, 1},
        {"\xE2\x80\xA8\xE2\x80\xA9", 0, 2},
        {"\xE2\x80\xAA", 0, 0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(zvl::count_line_breaks(r.text.data(), r.text.size(), false), r.breaks) << r.text;
        EXPECT_EQ(zvl::count_line_breaks(r.text.data(), r.text.size(), true), r.yaml11_breaks) << r.text;
    }
}

// ---- properties over the conformance corpus -------------------------------------------------

// Chunked feeding at any split gives the events of one whole run.
TEST(RecorderProperty, SplitsGiveTheWholeRunEvents) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const auto cases = with_extra_cases();
    ASSERT_GT(cases.size(), 200u) << "conformance corpus not found";
    std::mt19937_64 random(20261208);
    size_t compared = 0, streamed = 0;
    for (const suite_case &c : cases) {
        pull_result whole = run_pull(c.text);
        ASSERT_TRUE(whole.created) << c.name;
        std::vector<std::vector<size_t>> splits;
        splits.push_back({});
        for (size_t at = 1; at < c.text.size(); ++at) splits.push_back({at});  // every byte
        for (int trial = 0; trial < 20 && c.text.size() > 2; ++trial) {
            std::vector<size_t> cuts;
            size_t pieces = 1 + random() % 8;
            for (size_t k = 0; k < pieces; ++k) cuts.push_back(random() % (c.text.size() + 1));
            std::sort(cuts.begin(), cuts.end());
            splits.push_back(cuts);
        }
        for (const auto &cuts : splits) {
            recorder_result got = run_recorder(c.text, cuts);
            std::string where = c.name + " split";
            for (size_t at : cuts) where += " " + std::to_string(at);
            if (whole.status != 0) {
                EXPECT_TRUE(got.failed) << where;
                continue;
            }
            ASSERT_FALSE(got.failed) << where;
            ASSERT_EQ(describe(got.events), describe(whole.events)) << where;
            ++compared;
            streamed += got.early != 0;
        }
    }
    EXPECT_GT(compared, 1000u);
    EXPECT_GT(streamed, 100u) << "splits where documents were recorded before the final feed";
    std::printf("%zu splits compared, %zu with early records\n", compared, streamed);
}

// Iterparse yields pull's events, document by document; lines restart at each
// document after the first.
TEST(IterparseProperty, SameEventsAsPull) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const auto cases = with_extra_cases();
    ASSERT_GT(cases.size(), 200u) << "conformance corpus not found";
    size_t multi = 0;
    for (const suite_case &c : cases) {
        pull_result whole = run_pull(c.text);
        iterparse_result iter = run_iterparse(c.text);
        ASSERT_TRUE(iter.created) << c.name;
        EXPECT_EQ(iter.status, whole.status) << c.name;
        // Iterparse checks the encoding document by document: the documents
        // before a fault are handed out.
        if (whole.status == 4) continue;
        std::vector<owned_event> flat;
        std::vector<uint32_t> shifts;  // line shift of each event's document
        for (const auto &batch : iter.batches) {
            uint32_t shift = 0;
            bool found = false;
            for (const owned_event &e : batch) {
                if (e.view.kind == ZARVEL_EVENT_STREAM_START || e.view.kind == ZARVEL_EVENT_STREAM_END) {
                    shifts.push_back(0);
                } else {
                    size_t index = flat.size();
                    if (!found && index < whole.events.size()) {
                        shift = whole.events[index].view.start_line - e.view.start_line;
                        found = true;
                    }
                    shifts.push_back(shift);
                }
                flat.push_back(e);
            }
        }
        ASSERT_EQ(joined(notations(flat)), joined(notations(whole.events))) << c.name;
        size_t documents = 0;
        for (size_t i = 0; i < flat.size(); ++i) {
            const zarvel_event_view &a = flat[i].view, &b = whole.events[i].view;
            if (a.kind == ZARVEL_EVENT_STREAM_START || a.kind == ZARVEL_EVENT_STREAM_END) continue;
            documents += a.kind == ZARVEL_EVENT_DOCUMENT_START;
            if (documents == 1) {
                EXPECT_EQ(shifts[i], 0u) << c.name << " event " << i;
            }
            EXPECT_EQ(a.start_line + shifts[i], b.start_line) << c.name << " event " << i;
            EXPECT_EQ(a.end_line + shifts[i], b.end_line) << c.name << " event " << i;
            EXPECT_EQ(a.start_column, b.start_column) << c.name << " event " << i;
            EXPECT_EQ(a.end_column, b.end_column) << c.name << " event " << i;
        }
        if (whole.status) {
            EXPECT_EQ(iter.column, whole.column) << c.name;
        } else if (iter.batches.size() >= 3) {
            ++multi;
        }
    }
    EXPECT_GT(multi, 10u) << "multi-document cases";
}

// Push hands out pull's events (push keeps no end positions), on every case:
// its own shortcuts (flow trees from a tape, block scalar texts that live
// only during the call) change nothing a callback sees.
TEST(PushProperty, SameEventsAsPull) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const auto cases = with_extra_cases();
    ASSERT_GT(cases.size(), 200u) << "conformance corpus not found";
    for (const suite_case &c : cases) {
        pull_result pulled = run_pull(c.text);
        push_result pushed = run_push(c.text);
        EXPECT_EQ(pushed.status, pulled.status == 0 ? 0 : pulled.status == 4 ? 4 : 1) << c.name;
        // A failed pull hands out nothing; push has delivered a prefix.
        if (pulled.status != 0) continue;
        ASSERT_EQ(joined(notations(pushed.events)), joined(notations(pulled.events))) << c.name;
        for (size_t i = 0; i < pushed.events.size(); ++i) {
            EXPECT_EQ(pushed.events[i].view.start_line, pulled.events[i].view.start_line) << c.name << " " << i;
            EXPECT_EQ(pushed.events[i].view.start_column, pulled.events[i].view.start_column) << c.name << " " << i;
        }
    }
}

// Many small documents: every batch matches pull, and the run stays linear
// (each document is parsed up to the next boundary, not to the end).
TEST(IterparseProperty, ManyDocuments) {
    std::string text = "# leading comment\n";
    for (int i = 0; i < 20000; ++i)
        text += "--- &r" + std::to_string(i) + "\nk: [" + std::to_string(i) + ", 'q']\n" + (i % 3 ? "" : "...\n");
    pull_result whole = run_pull(text);
    ASSERT_EQ(whole.status, 0);
    iterparse_result iter = run_iterparse(text);
    ASSERT_EQ(iter.status, 0);
    ASSERT_EQ(iter.batches.size(), 20001u);
    std::vector<owned_event> flat;
    for (const auto &batch : iter.batches) flat.insert(flat.end(), batch.begin(), batch.end());
    ASSERT_EQ(flat.size(), whole.events.size());
    for (size_t i = 0; i < flat.size(); ++i)
        ASSERT_TRUE(flat[i].same_content(whole.events[i])) << "event " << i << ": " << flat[i].describe();
}

// ---- failure injection ------------------------------------------------------------------------

// A stream that takes every allocating path: arena texts (escapes, folding,
// block scalars), flow buffering, anchors, several documents, more records
// and pool bytes than the initial capacities.
std::string rich_stream() {
    std::string text =
        "%YAML 1.2\n--- &root\nkey: \"esc\\t\\u00e9\"\nfold: >\n  a\n  b\n"
        "flow: [a, {b: c}, [d: e]]\nref: *root\nlong: '";
    text += std::string(600, 'x');
    text += "'\n---\n- |\n  block\n- plain\n- next\n...\n--- [";
    for (int i = 0; i < 40; ++i) text += "&a" + std::to_string(i) + " v" + std::to_string(i) + ", ";
    text += "end]\n";
    return text;
}

// Runs op with allocation n failing, for every n until op no longer reaches
// the failing allocation. check judges each outcome.
void for_every_failing_allocation(const std::function<void(uint64_t)> &op) {
    for (uint64_t n = 1; n < 100000; ++n) {
        zarvel_error_clear(zarvel_error_current());
        zvl::testing::fail_allocation(n);
        op(n);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (seen < n) {
            EXPECT_GT(n, 5u) << "the run allocated";
            return;
        }
    }
    FAIL() << "allocation count did not settle";
}

uint32_t recorded_code() { return zarvel_error_current()->code; }

TEST(FailureInjection, Push) {
    const std::string text = rich_stream();
    const push_result reference = run_push(text);
    ASSERT_EQ(reference.status, 0);
    for_every_failing_allocation([&](uint64_t n) {
        push_result got = run_push(text);
        if (got.status == 0) {
            EXPECT_EQ(describe(got.events), describe(reference.events)) << "allocation " << n;
        } else if (got.status == 1) {
            EXPECT_EQ(recorded_code(), uint32_t{ZARVEL_ERR_NO_MEMORY}) << "allocation " << n;
        } else {
            EXPECT_EQ(got.status, ZARVEL_NO_MEMORY) << "allocation " << n;
            EXPECT_TRUE(got.events.empty());
        }
    });
}

TEST(FailureInjection, Pull) {
    const std::string text = rich_stream();
    const pull_result reference = run_pull(text);
    ASSERT_EQ(reference.status, 0);
    for_every_failing_allocation([&](uint64_t n) {
        pull_result got = run_pull(text);
        if (!got.created) return;
        if (got.status == 0) {
            EXPECT_EQ(describe(got.events), describe(reference.events)) << "allocation " << n;
        } else {
            EXPECT_EQ(got.status, 1) << "allocation " << n;
            EXPECT_EQ(recorded_code(), uint32_t{ZARVEL_ERR_NO_MEMORY}) << "allocation " << n;
            ASSERT_LE(got.events.size(), reference.events.size());
            for (size_t i = 0; i < got.events.size(); ++i)
                EXPECT_EQ(got.events[i], reference.events[i]) << "allocation " << n << " event " << i;
        }
    });
}

TEST(FailureInjection, Recorder) {
    const std::string text = rich_stream();
    const std::vector<size_t> cuts = {7, 30, 180, text.size() - 20};
    const recorder_result reference = run_recorder(text, cuts);
    ASSERT_FALSE(reference.failed);
    for_every_failing_allocation([&](uint64_t n) {
        recorder_result got = run_recorder(text, cuts);
        if (!got.failed) {
            EXPECT_EQ(describe(got.events), describe(reference.events)) << "allocation " << n;
            return;
        }
        if (got.statuses.empty()) return;  // the recorder itself was not allocated
        int last = got.statuses.back();
        if (last == ZARVEL_NO_MEMORY) {
            EXPECT_EQ(got.statuses.size(), 1u) << "the parser is made at the first feed";
        } else {
            EXPECT_EQ(last, ZARVEL_FAILED) << "allocation " << n;
            EXPECT_EQ(recorded_code(), uint32_t{ZARVEL_ERR_NO_MEMORY}) << "allocation " << n;
        }
    });
}

TEST(FailureInjection, Iterparse) {
    const std::string text = rich_stream();
    const iterparse_result reference = run_iterparse(text);
    ASSERT_EQ(reference.status, 0);
    ASSERT_EQ(reference.batches.size(), 4u);
    std::vector<owned_event> expected;
    for (const auto &batch : reference.batches) expected.insert(expected.end(), batch.begin(), batch.end());
    for_every_failing_allocation([&](uint64_t n) {
        iterparse_result got = run_iterparse(text);
        if (!got.created) return;
        std::vector<owned_event> flat;
        for (const auto &batch : got.batches) flat.insert(flat.end(), batch.begin(), batch.end());
        if (got.status == 0) {
            EXPECT_EQ(describe(flat), describe(expected)) << "allocation " << n;
            return;
        }
        EXPECT_EQ(got.status, ZARVEL_NO_MEMORY) << "allocation " << n;
        ASSERT_LE(flat.size(), expected.size()) << "allocation " << n;
        for (size_t i = 0; i < flat.size(); ++i)
            EXPECT_EQ(flat[i].describe(), expected[i].describe()) << "allocation " << n << " event " << i;
        if (!flat.empty()) {
            EXPECT_NE(flat.back().view.kind, uint32_t{ZARVEL_EVENT_STREAM_END}) << "allocation " << n;
        }
    });
}

}  // namespace
