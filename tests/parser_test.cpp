// Event parser: event order, failures with code and position, nesting limits,
// the trace line, the shortcut sink slots and allocation failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/event_notation.hpp"
#include "yaml/parser.hpp"

namespace {

std::string notation(const zarvel_event &e) {
    std::string s;
    zvl::yaml::write_event_notation(e, [&](const char *p, size_t n) { s.append(p, n); });
    return s;
}

// Records every callback of the sink table as one line.
struct recorder {
    std::vector<std::string> lines;
    std::vector<zarvel_event> events;
    int stop_after = -1;  // slot 0 returns 1 on this event index
    int pair_answer = 1, pair_flow_answer = 1, scalar_value_answer = 1, flow_raw_answer = 0;
    uint64_t flow_raw_close = 0;

    static int event(void *u, const zarvel_event *e) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back(notation(*e));
        r->events.push_back(*e);
        if (r->stop_after >= 0 && static_cast<int>(r->events.size()) > r->stop_after) return 1;
        return 0;
    }
    static int flow_raw(void *u, const char *input, uint64_t open, uint64_t, uint32_t line, uint64_t,
                        zarvel_text_span anchor, zarvel_text_span, uint32_t anchor_id, uint32_t, uint64_t *close) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back("flow_raw " + std::string(1, input[open]) + " line=" + std::to_string(line) +
                           " anchor=" + std::string(anchor.data ? anchor.data : "", anchor.length) + "/" +
                           std::to_string(anchor_id));
        if (r->flow_raw_answer == 1) {
            // Find the matching bracket naively (tests use simple texts).
            int depth = 0;
            for (uint64_t i = open;; ++i) {
                if (input[i] == '[' || input[i] == '{') ++depth;
                if (input[i] == ']' || input[i] == '}') {
                    if (--depth == 0) {
                        *close = i;
                        break;
                    }
                }
            }
        }
        return r->flow_raw_answer;
    }
    static int flow_commit(void *u, uint64_t) {
        static_cast<recorder *>(u)->lines.push_back("flow_commit");
        return 1;
    }
    static void flow_cancel(void *u) { static_cast<recorder *>(u)->lines.push_back("flow_cancel"); }
    static int pair(void *u, zarvel_text_span key, const zarvel_pair_value *v, uint32_t line, uint32_t kc,
                    uint32_t vc) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back("pair " + std::string(key.data, key.length) + " kind=" + std::to_string(v->kind) +
                           " value=" + std::string(v->text.data, v->text.length) + " line=" + std::to_string(line) +
                           " cols=" + std::to_string(kc) + "," + std::to_string(vc));
        return r->pair_answer;
    }
    static int pair_flow(void *u, zarvel_text_span key, uint32_t line, uint32_t col) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back("pair_flow " + std::string(key.data, key.length) + " line=" + std::to_string(line) +
                           " col=" + std::to_string(col));
        return r->pair_flow_answer;
    }
    static int scalar_value(void *u, const zarvel_scalar_value *v) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back("scalar_value " + std::string(v->text.data, v->text.length) +
                           " kind=" + std::to_string(v->kind) + " verbatim=" + std::to_string(v->verbatim));
        return r->scalar_value_answer;
    }
    static int scalar(void *u, const zarvel_text_span *text, const zarvel_text_span *, const zarvel_text_span *,
                      uint32_t, uint8_t tag_id, uint8_t style, uint8_t, uint8_t flow, uint8_t) {
        auto *r = static_cast<recorder *>(u);
        r->lines.push_back("scalar " + std::string(text->data, text->length) + " tag=" + std::to_string(tag_id) +
                           " style=" + std::to_string(style) + " flow=" + std::to_string(flow));
        return 0;
    }

    zarvel_sink plain_sink() {
        zarvel_sink s{};
        s.event = event;
        s.user = this;
        return s;
    }
    zarvel_sink full_sink() {
        zarvel_sink s = plain_sink();
        s.flow_raw = flow_raw;
        s.flow_commit = flow_commit;
        s.flow_cancel = flow_cancel;
        s.pair = pair;
        s.pair_flow = pair_flow;
        s.scalar_value = scalar_value;
        s.scalar = scalar;
        return s;
    }
    std::string joined() const {
        std::string s;
        for (const auto &l : lines) s += l + "\n";
        return s;
    }
};

struct run_result {
    int status;
    zarvel_error error;
    std::string events;
};

run_result run(const std::string &text, int max_depth = 0, const zarvel_resolver *schema = nullptr) {
    recorder rec;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    if (max_depth) zarvel_parser_set_max_depth(p, max_depth);
    if (schema) zarvel_parser_set_schema(p, schema);
    zarvel_sink sink = rec.plain_sink();
    run_result r{};
    r.status = zarvel_parser_run(p, text.data(), text.size(), &sink, true, true);
    r.error = *zarvel_parser_error(p);
    r.events = rec.joined();
    zarvel_parser_free(p);
    return r;
}

// Events between stream start and end, joined by ' | '.
std::string body(const std::string &text, const zarvel_resolver *schema = nullptr) {
    run_result r = run(text, 0, schema);
    if (r.status != 0) return "error " + std::to_string(r.error.code) + ": " + r.error.message;
    std::string out;
    size_t start = 0;
    std::vector<std::string> lines;
    while (start < r.events.size()) {
        size_t end = r.events.find('\n', start);
        lines.push_back(r.events.substr(start, end - start));
        start = end + 1;
    }
    for (size_t i = 1; i + 1 < lines.size(); ++i) out += (out.empty() ? "" : " | ") + lines[i];
    return out;
}

}  // namespace

TEST(Parser, EventOrder) {
    struct row {
        const char *input;
        const char *events;
    } rows[] = {
        {"", ""},
        {"---", "+DOC --- | =VAL : | -DOC"},
        {"a:", "+DOC | +MAP | =VAL :a | =VAL : | -MAP | -DOC"},
        {"[a: b]", "+DOC | +SEQ [] | +MAP {} | =VAL :a | =VAL :b | -MAP | -SEQ | -DOC"},
        {"[a b]", "+DOC | +SEQ [] | =VAL :a b | -SEQ | -DOC"},
        {"[a:b]", "+DOC | +SEQ [] | =VAL :a:b | -SEQ | -DOC"},
        {"a:\n- b\n", "+DOC | +MAP | =VAL :a | +SEQ | =VAL :b | -SEQ | -MAP | -DOC"},
        {"a#b", "+DOC | =VAL :a#b | -DOC"},
        {"a\n...x", "+DOC | =VAL :a ...x | -DOC"},
        {"a: 1\n b", "+DOC | +MAP | =VAL :a | =VAL :1 b | -MAP | -DOC"},
        {"a #b", "+DOC | =VAL :a | -DOC"},
        {"- - a: b\n    c: d\n",
         "+DOC | +SEQ | +SEQ | +MAP | =VAL :a | =VAL :b | =VAL :c | =VAL :d | -MAP | -SEQ | -SEQ | -DOC"},
        {"? a\n: b\n", "+DOC | +MAP | =VAL :a | =VAL :b | -MAP | -DOC"},
        {"? :\n", "+DOC | +MAP | =VAL : | =VAL : | -MAP | -DOC"},
        {"&x a: *x\n", "+DOC | +MAP | =VAL &x :a | =ALI *x | -MAP | -DOC"},
        {"&m\na: 1\n", "+DOC | +MAP &m | =VAL :a | =VAL :1 | -MAP | -DOC"},
        {"a: b\n...\nc\n", "+DOC | +MAP | =VAL :a | =VAL :b | -MAP | -DOC ... | +DOC | =VAL :c | -DOC"},
        {"%YAML 1.2\n%TAG !e! tag:e,1:\n---\n!e!x%21 a\n", "+DOC --- | =VAL <tag:e,1:x!> :a | -DOC"},
        {"%TAG !e! tag:e,1:\n%YAML 1.2\n---\n!e!x%21 a\n", "+DOC --- | =VAL <tag:e,1:x!> :a | -DOC"},
        {"!!str a", "+DOC | =VAL <tag:yaml.org,2002:str> :a | -DOC"},
        {"!local a", "+DOC | =VAL <!local> :a | -DOC"},
        {"!<tag:x> a", "+DOC | =VAL <tag:x> :a | -DOC"},
        {"{a, b: , : c}", "+DOC | +MAP {} | =VAL :a | =VAL : | =VAL :b | =VAL : | =VAL : | =VAL :c | -MAP | -DOC"},
        {"[\"a\":b, [x]: y, : z]",
         "+DOC | +SEQ [] | +MAP {} | =VAL \"a | =VAL :b | -MAP | +MAP {} | +SEQ [] | =VAL :x | -SEQ | =VAL :y | -MAP | +MAP {} | =VAL : | =VAL :z | -MAP | -SEQ | -DOC"},
        {"[a,]", "+DOC | +SEQ [] | =VAL :a | -SEQ | -DOC"},
        {"[a]: b", "+DOC | +MAP | +SEQ [] | =VAL :a | -SEQ | =VAL :b | -MAP | -DOC"},
        {"a\n  b\n\n  c", "+DOC | =VAL :a b\\nc | -DOC"},
        {"--- |\n a\n---\n", "+DOC --- | =VAL |a\\n | -DOC | +DOC --- | =VAL : | -DOC"},
        {"a: 1\r\nb: 2\r\n", "+DOC | +MAP | =VAL :a | =VAL :1 | =VAL :b | =VAL :2 | -MAP | -DOC"},
    };
    for (const auto &r : rows) EXPECT_EQ(body(r.input), r.events) << "input: " << r.input;
}

TEST(Parser, ExplicitFlagsAndStyles) {
    recorder rec;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink = rec.plain_sink();
    std::string text = "---";
    ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0);
    ASSERT_EQ(rec.events.size(), 5u);
    EXPECT_EQ(rec.events[1].style, 1);  // explicit start
    EXPECT_EQ(rec.events[2].style, ZARVEL_STYLE_NONE);
    EXPECT_EQ(rec.events[2].plain_implicit, 1);
    EXPECT_EQ(rec.events[3].style, 0);  // implicit end
    rec = recorder{};
    text = "a:";
    sink = rec.plain_sink();
    ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0);
    EXPECT_EQ(rec.events[4].style, ZARVEL_STYLE_PLAIN);
    EXPECT_EQ(rec.events[4].tag_id, ZARVEL_TAG_NULL);
    zarvel_parser_free(p);
}

TEST(Parser, Failures) {
    struct row {
        const char *input;
        uint32_t code, line, column;
    } rows[] = {
        {"a: - b", 1, 1, 4},
        {"[a [b]]", 1, 1, 4},
        {"- &a x\n---\n- *a\n", 9, 3, 3},
        {"*", 1, 1, 1},
        {"&", 1, 1, 1},
        {"a: b\n  c: d\n", 7, 2, 3},
        {"a: 'x\n", 6, 1, 4},
        {"\"a\n---\nb\"", 6, 2, 1},
        {"\"\\x4\"", 10, 1, 5},
        {"\"\\uD83D\"", 10, 1, 2},
        {"\"\\q\"", 10, 1, 3},
        {"|0\n a", 1, 1, 2},
        {"\t# c\n", 5, 1, 1},
        {"a:\n\tb: 1\n", 5, 2, 1},
        {"%YAML 1.2\n%TAG ! x\n%YAML 1.2\n---\n", 11, 3, 1},
        {"%YAML 1.2\n", 11, 2, 1},
        {"%YAML 1.\n---\n", 11, 1, 9},
        {"%TAG e! x\n---\n!e!x a\n", 1, 3, 1},
        {"a\n... x\n", 1, 2, 5},
        {"... x\n", 1, 1, 5},
        {"[a, , b]", 1, 1, 5},
        {"[, a]", 1, 1, 2},
        {"[a}", 1, 1, 3},
        {"[a", 1, 1, 3},
        {"- a\nb: c\n", 1, 2, 1},
        {"a:\n  b: 1\n c: 2\n", 7, 3, 2},
        {"!<> a", 1, 1, 1},
        {"a: |x\n", 1, 1, 5},
        {"a: b\nc\n", 1, 2, 2},
    };
    for (const auto &r : rows) {
        run_result got = run(r.input);
        EXPECT_EQ(got.status, -1) << "input: " << r.input;
        EXPECT_EQ(got.error.code, r.code) << "input: " << r.input << " message: " << got.error.message;
        EXPECT_EQ(got.error.line, r.line) << "input: " << r.input;
        EXPECT_EQ(got.error.column, r.column) << "input: " << r.input;
    }
}

TEST(Parser, FailureCopiesIntoThreadRecord) {
    run_result got = run("a: - b");
    ASSERT_EQ(got.status, -1);
    EXPECT_EQ(zarvel_error_current()->code, 1u);
    EXPECT_STREQ(zarvel_error_current()->message, got.error.message);
}

TEST(Parser, SimpleKeyLimit) {
    std::string ok(1024, 'k');
    EXPECT_EQ(run(ok + ": v").status, 0);
    std::string bad(1025, 'k');
    run_result r = run(bad + ": v");
    EXPECT_EQ(r.error.code, 8u);
    EXPECT_EQ(r.error.column, 1u);
    EXPECT_EQ(run("[" + bad + ": v]").error.code, 8u);
    EXPECT_EQ(run("{" + bad + ": v}").error.code, 8u);
    EXPECT_EQ(run("[\"" + std::string(1022, 'k') + "\": v]").status, 0);
    EXPECT_EQ(run("[\"" + std::string(1023, 'k') + "\": v]").error.code, 8u);
}

TEST(Parser, NestingLimit) {
    struct row {
        const char *input;
        int limit;
        int status;
        uint32_t code;
    } rows[] = {
        {"a: 1", 1, 0, 0},
        {"[1]", 1, 0, 0},
        {"[[1]]", 1, -1, 3},
        {"a:\n  b: 1\n", 1, -1, 3},
        {"[[1]]", 2, 0, 0},
        {"[a: b]", 1, 0, 0},   // the pair after a key is not counted
        {"[: b]", 1, -1, 3},   // the pair of a bare ':' is
        {"- [[1]]", 2, 0, 0},  // flow counted per tree
        {"- - 1", 2, 0, 0},
        {"- - - 1", 2, -1, 3},
        // Properties alone on a line nest the node below them one level.
        {"&a\nb\n", 1, 0, 0},
        {"&a\n- b\n", 1, -1, 3},
        {"&a\n- b\n", 2, 0, 0},
        {"!t\n&a\n- b\n", 2, -1, 3},
        {"a:\n  &x\n  b\n", 1, -1, 3},
        {"a: &x\n  b: 1\n", 2, 0, 0},  // properties after the key's ':' are not alone
        {"--- &a\n- b\n", 1, 0, 0},
        {"&a\n[1]\n", 1, 0, 0},  // flow collections are counted per tree
    };
    for (const auto &r : rows) {
        run_result got = run(r.input, r.limit);
        EXPECT_EQ(got.status, r.status) << "input: " << r.input << " limit " << r.limit;
        EXPECT_EQ(got.error.code, r.code) << "input: " << r.input << " limit " << r.limit;
    }
    std::string deep(1000, '['), tail(1000, ']');
    EXPECT_EQ(run(deep + tail).status, 0);
    EXPECT_EQ(run("[" + deep + tail + "]").error.code, 3u);
    std::string compact;
    for (int i = 0; i < 1000; ++i) compact += "- ";
    EXPECT_EQ(run(compact + "x").status, 0);
    EXPECT_EQ(run("- " + compact + "x").error.code, 3u);
    std::string block;
    for (int i = 0; i < 1001; ++i) block += std::string(static_cast<size_t>(i), ' ') + "k:\n";
    EXPECT_EQ(run(block).error.code, 3u);
}

TEST(Parser, TraceLine) {
    setenv("ZVL_TRACE", "1", 1);
    testing::internal::CaptureStderr();
    run_result r = run("[a [b]]");
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("ZVL_TRACE");
    EXPECT_EQ(r.error.code, 1u);
    EXPECT_EQ(err, "[mc] pos=[ kind=0 ent=1 sep=0 pk=0 jc=0\n");
    setenv("ZVL_TRACE", "", 1);
    testing::internal::CaptureStderr();
    run("{\"a\": \"x\" \"b\"}");
    err = testing::internal::GetCapturedStderr();
    unsetenv("ZVL_TRACE");
    EXPECT_EQ(err, "[mc] pos=\" kind=1 ent=1 sep=0 pk=0 jc=1\n");
    testing::internal::CaptureStderr();
    run("[a [b]]");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Parser, SinkStop) {
    recorder rec;
    rec.stop_after = 0;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink = rec.plain_sink();
    EXPECT_EQ(zarvel_parser_run(p, "a", 1, &sink, true, true), -2);
    EXPECT_EQ(zarvel_parser_error(p)->code, 0u);
    EXPECT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(zarvel_parser_run(p, nullptr, 3, &sink, true, true), -1);
    zarvel_parser_free(p);
}

TEST(Parser, TagIdsAtEmission) {
    struct row {
        const char *input;
        const zarvel_resolver *schema;
        uint8_t tag_id;
    } rows[] = {
        {"12", nullptr, ZARVEL_TAG_INT},
        {"'12'", nullptr, ZARVEL_TAG_STR},
        {"!!int '12'", nullptr, ZARVEL_TAG_INT},
        {"!binary x", nullptr, ZARVEL_TAG_NONE},
        {"!binary x", &zarvel_yaml11_resolver, ZARVEL_TAG_BINARY},
        {"yes", &zarvel_yaml11_resolver, ZARVEL_TAG_BOOL},
        {"yes", nullptr, ZARVEL_TAG_STR},
        {"~", nullptr, ZARVEL_TAG_NULL},
    };
    for (const auto &r : rows) {
        recorder rec;
        zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
        zarvel_parser_set_schema(p, r.schema);
        zarvel_sink sink = rec.plain_sink();
        std::string text = r.input;
        ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0) << r.input;
        ASSERT_EQ(rec.events.size(), 5u) << r.input;
        EXPECT_EQ(rec.events[2].tag_id, r.tag_id) << "input: " << r.input;
        zarvel_parser_free(p);
    }
}

TEST(Parser, Positions) {
    recorder rec;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink = rec.plain_sink();
    std::string text = "a: 'x\n  y'\nb: [c]\n";
    ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0);
    // +STR +DOC +MAP a 'x y' b +SEQ c
    const zarvel_event &quoted = rec.events[4];
    EXPECT_EQ(quoted.start_line, 1u);
    EXPECT_EQ(quoted.start_column, 4u);
    EXPECT_EQ(quoted.end_line, 2u);
    EXPECT_EQ(quoted.end_column, 5u);
    EXPECT_EQ(quoted.multiline, 1);
    EXPECT_EQ(quoted.verbatim, 0);
    const zarvel_event &c = rec.events[7];
    EXPECT_EQ(c.start_line, 3u);
    EXPECT_EQ(c.start_column, 5u);
    EXPECT_EQ(c.flow, 1);
    zarvel_parser_free(p);
}

TEST(Parser, AlternateModeFlowIndentation) {
    EXPECT_EQ(run("a:\n  - [1,\n 2]\n").error.code, 7u);
    EXPECT_EQ(run("a:\n  - [1,\n 2]\n", 0, &zarvel_yaml11_resolver).status, 0);
    EXPECT_EQ(run("a:\n  - [1,\n\n 2]\n", 0, &zarvel_yaml11_resolver).status, 0);
}

// NEL, LS and PS are content in YAML 1.2 and line breaks under 1.1 rules.
TEST(Parser, UnicodeLineSeparators) {
    struct row {
        std::string text, yaml12, yaml11;
    } rows[] = {
        {"a: b\xE2\x80\xA8"
         "c: d",
         "error 1: mapping value not allowed here",
         "+DOC | +MAP | =VAL :a | =VAL :b | =VAL :c | =VAL :d | -MAP | -DOC"},
        {"- x\xE2\x80\xA8  y", "+DOC | +SEQ | =VAL :x\xE2\x80\xA8  y | -SEQ | -DOC",
         "+DOC | +SEQ | =VAL :x y | -SEQ | -DOC"},
        {"a: \"x\xE2\x80\xA9  y\"", "+DOC | +MAP | =VAL :a | =VAL \"x\xE2\x80\xA9  y | -MAP | -DOC",
         "+DOC | +MAP | =VAL :a | =VAL \"x y | -MAP | -DOC"},
        {"k: |\n  a\xC2\x85  b\n", "+DOC | +MAP | =VAL :k | =VAL |a\xC2\x85  b\\n | -MAP | -DOC",
         "+DOC | +MAP | =VAL :k | =VAL |a\\nb\\n | -MAP | -DOC"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(body(r.text), r.yaml12) << r.text;
        EXPECT_EQ(body(r.text, &zarvel_yaml11_resolver), r.yaml11) << r.text;
    }
}

TEST(Parser, ArenaTakenAndAnchorIdsGrow) {
    recorder rec;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink = rec.plain_sink();
    std::string text = "- &a \"x\\ty\"\n- *a\n";
    ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0);
    EXPECT_EQ(rec.events[3].anchor_id, 1u);
    EXPECT_EQ(rec.events[4].anchor_id, 1u);
    zarvel_arena *arena = zarvel_parser_take_arena(p);
    ASSERT_NE(arena, nullptr);
    EXPECT_EQ(std::string(rec.events[3].text.data, rec.events[3].text.length), "x\ty");
    rec = recorder{};
    sink = rec.plain_sink();
    ASSERT_EQ(zarvel_parser_run(p, text.data(), text.size(), &sink, true, true), 0);
    EXPECT_EQ(rec.events[3].anchor_id, 2u);
    zarvel_parser_free(p);
    zarvel_arena_free(arena);
}

// ---- shortcut slots ------------------------------------------------------

namespace {
std::string slots(const std::string &text, recorder rec) {
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink = rec.full_sink();
    int r = zarvel_parser_run(p, text.data(), text.size(), &sink, true, true);
    zarvel_parser_free(p);
    std::string out = rec.joined();
    if (r != 0) out += "status " + std::to_string(r) + "\n";
    return out;
}
}  // namespace

TEST(ParserSlots, PairTakenAndDeclined) {
    recorder rec;
    EXPECT_EQ(slots("a: 1\nb: *x\n", rec),
              "+STR\n+DOC\n+MAP\npair a kind=0 value=1 line=1 cols=1,4\n"
              "status -1\n");  // alias to nothing: code 9 before the pair is offered
    EXPECT_EQ(slots("a: &x 1\nb: *x\n", rec),
              "+STR\n+DOC\n+MAP\npair a kind=4 value=1 line=1 cols=1,7\npair b kind=3 value=x line=2 cols=1,4\n"
              "-MAP\n-DOC\n-STR\n");
    rec.pair_answer = 0;
    EXPECT_EQ(slots("a: 1\n", rec),
              "+STR\n+DOC\n+MAP\npair a kind=0 value=1 line=1 cols=1,4\nscalar a tag=0 style=1 flow=0\n"
              "scalar 1 tag=1 style=1 flow=0\n-MAP\n-DOC\n-STR\n");
}

TEST(ParserSlots, NoPairForOtherShapes) {
    recorder rec;
    // Quoted key, tagged value, multi-line value: ordinary events (value via slot 7).
    EXPECT_EQ(slots("'a': 1\n", rec),
              "+STR\n+DOC\n+MAP\nscalar a tag=0 style=2 flow=0\nscalar_value 1 kind=1 verbatim=1\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(slots("a: !!str 1\n", rec),
              "+STR\n+DOC\n+MAP\nscalar a tag=0 style=1 flow=0\nscalar 1 tag=0 style=1 flow=0\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(
        slots("a: b\n  c\n", rec),
        "+STR\n+DOC\n+MAP\nscalar a tag=0 style=1 flow=0\nscalar_value b c kind=0 verbatim=0\n-MAP\n-DOC\n-STR\n");
    EXPECT_EQ(slots("- x\n", rec), "+STR\n+DOC\n+SEQ\nscalar_value x kind=0 verbatim=1\n-SEQ\n-DOC\n-STR\n");
    rec.scalar_value_answer = 0;
    EXPECT_EQ(slots("- x\n", rec),
              "+STR\n+DOC\n+SEQ\nscalar_value x kind=0 verbatim=1\nscalar x tag=0 style=1 flow=0\n-SEQ\n-DOC\n-STR\n");
}

TEST(ParserSlots, PairFlowAndFlowRaw) {
    recorder rec;
    // Short input: flow_raw is not offered below 24 remaining bytes.
    EXPECT_EQ(slots("k: [1, 2]\n", rec),
              "+STR\n+DOC\npair_flow k line=1 col=1\n+SEQ []\n=VAL :1\n=VAL :2\n-SEQ\n-MAP\n-DOC\n-STR\n");
    rec.flow_raw_answer = 1;
    EXPECT_EQ(slots("k: &n [1, 2, 3, 4, 5, 6, 7, 8, 9]\nz: 1\n", rec),
              "+STR\n+DOC\npair_flow k line=1 col=1\nflow_raw [ line=1 anchor=n/1\nflow_commit\n"
              "pair z kind=0 value=1 line=2 cols=1,4\n-MAP\n-DOC\n-STR\n");
    // A flow collection used as a key is cancelled and parsed by the parser.
    EXPECT_EQ(slots("[1, 2, 3, 4, 5, 6, 7, 8, 9]: v\n", rec),
              "+STR\n+DOC\nflow_raw [ line=1 anchor=/0\nflow_cancel\n+MAP\n+SEQ []\n"
              "=VAL :1\n=VAL :2\n=VAL :3\n=VAL :4\n=VAL :5\n=VAL :6\n=VAL :7\n=VAL :8\n=VAL :9\n-SEQ\n"
              "scalar_value v kind=0 verbatim=1\n-MAP\n-DOC\n-STR\n");
    // A continuation line not indented beyond the block is cancelled too.
    EXPECT_EQ(slots("k:\n  - [1, 2, 3, 4, 5, 6,\n  7, 8]\n", rec).find("flow_cancel") != std::string::npos, true);
    rec.pair_flow_answer = 0;
    rec.flow_raw_answer = 0;
    EXPECT_EQ(slots("k: [1, 2]\n", rec),
              "+STR\n+DOC\npair_flow k line=1 col=1\n+MAP\nscalar k tag=0 style=1 flow=0\n+SEQ []\n"
              "=VAL :1\n=VAL :2\n-SEQ\n-MAP\n-DOC\n-STR\n");
    // pair_flow only when the line opens the mapping.
    EXPECT_EQ(slots("a: 1\nk: [1]\n", rec).find("pair_flow"), std::string::npos);
}

TEST(ParserSlots, BufferedScalarsUseSlotZero) {
    recorder rec;
    std::string out = slots("- [a, 'b']\n", rec);
    EXPECT_EQ(out, "+STR\n+DOC\n+SEQ\n+SEQ []\n=VAL :a\n=VAL 'b\n-SEQ\n-SEQ\n-DOC\n-STR\n");
}

// ---- allocation failure ----------------------------------------------------

TEST(ParserFailureInjection, EveryAllocation) {
    const char *inputs[] = {
        ("a: &x \"q\\tq\"\nb: *x\nc: [1, {d: e}, 'f''g']\nh: |\n  lit\n  x\n? k\n: v\n"
         "...\n%x\n%TAG !e! tag:e,1:\n--- !e!t%21 z\n"),
        "[a, b: c, [d, [e]], {f: g}]",
        "- a\n  b\n- >-\n  folded\n\n  text\n",
        // A failed NEL rewrite must fail the run, not parse NEL as content.
        "- a\xC2\x85- b\n",
    };
    for (const char *input : inputs) {
        std::string text = input;
        for (uint64_t n = 1;; ++n) {
            zvl::testing::fail_allocation(n);
            recorder rec;
            zarvel_sink sink = rec.plain_sink();
            zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
            if (!p) continue;
            int r = zarvel_parser_run(p, text.data(), text.size(), &sink, true, true);
            uint32_t code = zarvel_parser_error(p)->code;
            zarvel_parser_free(p);
            zvl::testing::fail_allocation(0);
            if (r == 0) {
                EXPECT_GT(n, 2u);
                break;
            }
            ASSERT_EQ(r, -1) << "allocation " << n << " input " << input;
            ASSERT_EQ(code, 2u) << "allocation " << n << " input " << input;
            ASSERT_LT(n, 10000u);
        }
    }
}

// ---- direct handling of common lines -----------------------------------------

namespace {

// Every field of every callback, so that two runs can be compared exactly.
struct full_dump {
    std::vector<std::string> lines;
    int pair_answer = 0, scalar_value_answer = 0;

    static std::string span(const zarvel_text_span &s) {
        return s.length ? std::string(s.data, s.length) : std::string();
    }
    static int event(void *u, const zarvel_event *e) {
        auto *d = static_cast<full_dump *>(u);
        d->lines.push_back(std::to_string(e->kind) + "|" + span(e->text) + "|" + span(e->anchor) + "|" + span(e->tag) +
                           "|" + std::to_string(e->style) + std::to_string(e->plain_implicit) +
                           std::to_string(e->flow) + std::to_string(e->multiline) + "|" + std::to_string(e->tag_id) +
                           "|" + std::to_string(e->verbatim) + "|" + std::to_string(e->anchor_id) + "|" +
                           std::to_string(e->start_line) + ":" + std::to_string(e->start_column) + "-" +
                           std::to_string(e->end_line) + ":" + std::to_string(e->end_column));
        return 0;
    }
    static int pair(void *u, zarvel_text_span key, const zarvel_pair_value *v, uint32_t line, uint32_t kc,
                    uint32_t vc) {
        auto *d = static_cast<full_dump *>(u);
        d->lines.push_back("pair " + span(key) + "|" + std::to_string(v->kind) + "|" + span(v->text) + "|" +
                           span(v->anchor) + "|" + std::to_string(v->anchor_id) + "|" +
                           std::to_string(v->alias_target) + "|" + std::to_string(v->tag_id) + "|" +
                           std::to_string(line) + ":" + std::to_string(kc) + "," + std::to_string(vc));
        return d->pair_answer;
    }
    static int scalar_value(void *u, const zarvel_scalar_value *v) {
        auto *d = static_cast<full_dump *>(u);
        d->lines.push_back("scalar_value " + span(v->text) + "|" + std::to_string(v->kind) + "|" +
                           std::to_string(v->verbatim));
        return d->scalar_value_answer;
    }
};

std::string run_dump(const std::string &text, bool quick, int slots, int max_depth, bool stream = true) {
    full_dump d;
    zarvel_sink sink{};
    sink.event = full_dump::event;
    sink.user = &d;
    if (slots & 1) sink.pair = full_dump::pair;
    if (slots & 2) sink.scalar_value = full_dump::scalar_value;
    d.pair_answer = (slots & 4) ? 1 : 0;
    d.scalar_value_answer = (slots & 8) ? 1 : 0;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_parser_set_quick_lines(p, quick);
    zarvel_parser_set_flow_streaming(p, stream);
    if (max_depth) zarvel_parser_set_max_depth(p, max_depth);
    int r = zarvel_parser_run(p, text.data(), text.size(), &sink, true, true);
    const zarvel_error *e = zarvel_parser_error(p);
    std::string out = "status " + std::to_string(r) + " code " + std::to_string(e->code) + " at " +
                      std::to_string(e->line) + ":" + std::to_string(e->column) + "/" + std::to_string(e->offset) +
                      " " + e->message + "\n";
    zarvel_parser_free(p);
    for (const auto &l : d.lines) out += l + "\n";
    return out;
}

}  // namespace

// The direct handling of common block lines must give exactly the events,
// slot calls and failures of the general node scan, on random block texts
// built from the shapes it takes and the shapes next to them.
TEST(ParserQuickLines, SameAsGeneralScan) {
    const char *pieces[] = {
        "key: value", "k: v",       "key:",        "- ",          "-",        "- a",        "- k: v",     "- k:",
        "-1",         "- -1",       "k: -1",       "a b: c d",    "k: v # c", "k: v#c",     "# c",        "k: a: b",
        "k: v:w",     "k:v",        "? k",         ": v",         "? ",       "k: - a",     "- - a",      "&a k: v",
        "k: &a v",    "k: *a",      "*a : v",      "k: 'q'",      "'q': v",   "\"d\": v",   "k: [1, 2]",  "[a]: b",
        "k: |",       "  lit",      "k: >-",       "k:\tv",       "-\tv",     "\tk: v",     "k: v\t",     "k: v  ",
        "...",        "---",        "--- a",       "k: !t v",     "!t k: v",  "%YAML 1.2",  "k: v ",      "  ",
        "",           "long text",  "k: {a: b}",   "k: \"x\"",    "x: y: z",  "-  k:  v",   "- ? a",      "k: ? x",
        "k: %x",      "k: @x",      "k: `x",       "k : v",       "k  :",     "- : v",      ":",          "k: :v",
        "k: v :",     "k: v: ",     "k: #",        "- #c",        "k:#",      "- *a",       "- *a:",      "- *a,",
        "- &a x",     "- &a [1,2]", "- &a {k: v}", "- &b [x]: y", "- &a {k",  "- &a,b [1]", "- &a [x] y", "- &a [x]#c",
        "- &a  [1]",
    };
    const size_t piece_count = sizeof pieces / sizeof pieces[0];
    uint64_t seed = 0x243F6A8885A308D3ull;
    auto next = [&](uint64_t bound) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed % bound;
    };
    int compared = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string text;
        uint64_t lines = 1 + next(9);
        for (uint64_t i = 0; i < lines; ++i) {
            text += std::string(next(4) == 0 ? 0 : next(7), ' ');
            text += pieces[next(piece_count)];
            if (next(5) == 0) text += std::string(" ") + pieces[next(piece_count)];
            if (i + 1 < lines || next(2)) text += next(8) == 0 ? "\r\n" : "\n";
        }
        int slots = static_cast<int>(next(16));
        int depth = next(6) == 0 ? static_cast<int>(1 + next(3)) : 0;
        std::string quick = run_dump(text, true, slots, depth);
        std::string general = run_dump(text, false, slots, depth);
        ASSERT_EQ(quick, general) << "input:\n" << text << "\nslots " << slots << " depth " << depth;
        ++compared;
    }
    EXPECT_EQ(compared, 6000);
}

// A large flow tree is checked, then streamed; a small one is held. Both
// must give the same events, anchor ids, failures and trace, on random
// trees big enough to be streamed.
TEST(ParserLargeFlow, StreamedSameAsHeld) {
    const char *entries[] = {
        "a",
        "\"q\"",
        "'s'",
        "1",
        "a: b",
        "\"k\":v",
        "? x",
        "? x : y",
        ": z",
        "[a: b]: c",
        "[x, y]",
        "{a: b, c}",
        "{? k : v}",
        "&n x",
        "*n",
        "&m [1]",
        "!t x",
        "!!str y",
        "a b",
        "\"e\\tf\"",
        "'it''s'",
        "[[a]: b]",
        "{a: [b, {c: d}]}",
        "x #c\n",
        "\n  y",
        "[]",
        "{}",
        "&n z",
        "a:",
        "-1",
    };
    const char *breakers[] = {"", "", "", "", "]", "}", ",,", "[a [b]]", "*undefined", "{a: b]", "--- "};
    const size_t entry_count = sizeof entries / sizeof entries[0];
    const size_t breaker_count = sizeof breakers / sizeof breakers[0];
    uint64_t seed = 0x13198A2E03707344ull;
    auto next = [&](uint64_t bound) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed % bound;
    };
    // JSON-shaped trees of any size take a one-pass way; the entries and
    // breakers after the first list stay close to that shape, so that the
    // proof that a tree is JSON-shaped is tried at every kind of near miss.
    const char *json_entries[] = {
        "1",
        "-2.5e3",
        "true",
        "null",
        "\"s\"",
        "\"e\\\"q\\u00e9\"",
        "[]",
        "{}",
        "[1, [2, {\"a\": 3}]]",
        "{\"k\": [\"v\", false]}",
        "\"long string with spaces, commas: and colons\"",
        "\"\"",
        "0",
        "two plain words",
        "w1  w2 ",
        "a-b_c.d+e",
    };
    const char *json_breakers[] = {
        "",       "",     "",          ",",           ", ]",       "\"open",  "\"a\" \"b\"",    "# c\n",        "\t",
        "\"k\":", "&a 1", "!t 1",      "'s'",         "[1,]",      "{\"a\"}", "\"x\"\n  \"y\"", "{\"a\":1}: 2", "{a:1}",
        "{a :b}", "x: y", "{k: v: w}", "{w #c\n: 1}", "{a b : c}", "{a: }",   "[w\n  x]",       "{- a: 1}"};
    // Near misses of the one-pass way, each on its own.
    const char *near_misses[] = {
        "{a:1}\n",
        "{a :b}\n",
        "{a b : c d }\n",
        "{k: v: w}\n",
        "{w #c\n : 1}\n",
        "{a: }\n",
        "[w\n  x]\n",
        "{- a: 1}\n",
        "[a: b]\n",
        "[\"a\": b]\n",
        "{a: b\n  c}\n",
        "{a:\n  b}\n",
        "[-a, -]\n",
        "{a: b,c: d}\n",
        "- &x {id: 0, name: two words}\n- *x\n",
        "{a\t: b}\n",
        "k: {a: b}: c\n",
        "[a  , b ]\n",
        "{\"a\":b, c: \"d\"}\n",
    };
    for (const char *text : near_misses)
        EXPECT_EQ(run_dump(text, true, 0, 0, true), run_dump(text, true, 0, 0, false)) << text;
    const size_t json_entry_count = sizeof json_entries / sizeof json_entries[0];
    const size_t json_breaker_count = sizeof json_breakers / sizeof json_breakers[0];
    for (int round = 0; round < 600; ++round) {
        const bool json = round >= 120;
        std::string text;
        int shape = static_cast<int>(next(4));
        if (shape == 1) text = "key: ";
        if (shape == 2) text = "- &top ";
        if (shape == 3) text = "&n x0\n--- ";
        bool mapping = next(3) == 0;
        text += mapping ? "{" : "[";
        size_t target = json ? (next(3) == 0 ? 17000 : 1) + next(3000) : 17000 + next(4000);
        size_t count = 0;
        const size_t break_at = json && next(3) == 0 ? next(target) : SIZE_MAX;
        while (text.size() < target) {
            if (count++) text += next(6) == 0 ? ",\n  " : ", ";
            // JSON rounds name some keys plainly, as YAML flow often does.
            if (mapping)
                text += json && next(2) ? "\"k" + std::to_string(count) + "\": " : "k" + std::to_string(count) + ": ";
            text += json ? json_entries[next(json_entry_count)] : entries[next(entry_count)];
            if (text.size() >= break_at && break_at != SIZE_MAX && count > 0) {
                text += json_breakers[next(json_breaker_count)];
                break;
            }
        }
        if (next(3) == 0) text += json ? json_breakers[next(json_breaker_count)] : breakers[next(breaker_count)];
        text += mapping ? "}" : "]";
        if (next(4) == 0) text += next(2) ? ": tail" : " x";
        text += "\n";
        int depth = next(4) == 0 ? 2 : 0;
        std::string streamed = run_dump(text, true, 0, depth, true);
        std::string held = run_dump(text, true, 0, depth, false);
        ASSERT_EQ(streamed, held) << "input:\n" << text.substr(0, 400) << "...";
    }
}
