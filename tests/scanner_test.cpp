// Scanner pieces seen through the events they produce: each scalar family,
// escapes, folding, chomping, indentation indicators, tags, limits, and the
// exported double-quoted decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/memory.hpp"
#include "yaml/parser.hpp"
#include "yaml/scanner.hpp"
#include "zarvel.h"

namespace {

struct scalar_seen {
    std::string text, tag, anchor;
    int style = -1, verbatim = -1, multiline = -1;
};

struct outcome {
    int status = 0;
    uint32_t code = 0, line = 0, column = 0;
    std::vector<scalar_seen> scalars;
};

int collect(void *user, const zarvel_event *e) {
    if (e->kind == ZARVEL_EVENT_SCALAR) {
        scalar_seen s;
        s.text.assign(e->text.data, e->text.length);
        s.tag.assign(e->tag.data ? e->tag.data : "", e->tag.length);
        s.anchor.assign(e->anchor.data ? e->anchor.data : "", e->anchor.length);
        s.style = e->style;
        s.verbatim = e->verbatim;
        s.multiline = e->multiline;
        static_cast<outcome *>(user)->scalars.push_back(s);
    }
    return 0;
}

outcome parse(const std::string &text) {
    outcome o;
    zarvel_parser *p = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink{};
    sink.event = collect;
    sink.user = &o;
    o.status = zarvel_parser_run(p, text.data(), text.size(), &sink, true, true);
    const zarvel_error *e = zarvel_parser_error(p);
    o.code = e->code;
    o.line = e->line;
    o.column = e->column;
    zarvel_parser_free(p);
    return o;
}

// The single scalar of a one-scalar document (or of "k: <scalar>").
scalar_seen only(const std::string &text, size_t index = 0) {
    outcome o = parse(text);
    if (o.status != 0 || o.scalars.size() <= index) {
        scalar_seen s;
        s.text = "<error " + std::to_string(o.code) + ">";
        return s;
    }
    return o.scalars[index];
}

struct scalar_row {
    const char *input;
    size_t index;  // which scalar of the stream
    std::string text;
    int style, verbatim;
};

void check(const std::vector<scalar_row> &rows) {
    for (const auto &r : rows) {
        scalar_seen s = only(r.input, r.index);
        EXPECT_EQ(s.text, r.text) << "input: " << r.input;
        EXPECT_EQ(s.style, r.style) << "input: " << r.input;
        EXPECT_EQ(s.verbatim, r.verbatim) << "input: " << r.input;
    }
}

}  // namespace

TEST(Scanner, CharacterClasses) {
    using namespace zvl::yaml;
    EXPECT_EQ(char_classes[' '], cc_space | cc_printable);
    EXPECT_EQ(char_classes['\t'], cc_tab | cc_printable);
    EXPECT_EQ(char_classes['\n'], cc_line_feed | cc_printable);
    EXPECT_EQ(char_classes['a'], cc_letter | cc_hex | cc_printable);
    EXPECT_EQ(char_classes['g'], cc_letter | cc_printable);
    EXPECT_EQ(char_classes['7'], cc_digit | cc_hex | cc_printable);
    EXPECT_EQ(char_classes['['], cc_indicator | cc_flow | cc_printable);
    EXPECT_EQ(char_classes['@'], cc_indicator | cc_printable);
    EXPECT_EQ(char_classes[0x7F], 0);
    EXPECT_EQ(char_classes[0x01], 0);
    EXPECT_EQ(char_classes[0xC3], cc_non_ascii);
}

TEST(Scanner, PlainScalars) {
    check({
        {"a b c", 0, "a b c", 1, 1},
        {"a#b", 0, "a#b", 1, 1},
        {"a #b", 0, "a", 1, 1},
        {"a:b", 0, "a:b", 1, 1},
        {"a  \t", 0, "a", 1, 1},
        {"a\n b\n", 0, "a b", 1, 0},
        {"a\n\n b\n", 0, "a\nb", 1, 0},
        {"a\n\n\n b\n", 0, "a\n\nb", 1, 0},
        {"k: a\n  b  \n  c\n", 1, "a b c", 1, 0},
        {"[a\n b]", 0, "a b", 1, 0},
        {"[a:b]", 0, "a:b", 1, 1},
        {"-a", 0, "-a", 1, 1},
        {"?a", 0, "?a", 1, 1},
        {"a\n# c\n", 0, "a", 1, 1},
    });
}

TEST(Scanner, SingleQuoted) {
    check({
        {"'abc'", 0, "abc", 2, 1},
        {"'it''s'", 0, "it's", 2, 0},
        {"'a\n  b'", 0, "a b", 2, 0},
        {"'a  \n\n  b'", 0, "a\nb", 2, 0},
        {"''", 0, "", 2, 1},
        {"' x '", 0, " x ", 2, 1},
    });
    EXPECT_EQ(only("'a\n b'").multiline, 1);
    EXPECT_EQ(only("'ab'").multiline, 0);
}

TEST(Scanner, DoubleQuotedEscapes) {
    check({
        {"\"plain\"", 0, "plain", 3, 1},
        {"\"\\x41\"", 0, "A", 3, 0},
        {"\"\\u00e9\"", 0, "\xC3\xA9", 3, 0},
        {"\"\\uD83D\\uDE00\"", 0, "\xF0\x9F\x98\x80", 3, 0},
        {"\"\\U0001F600\"", 0, "\xF0\x9F\x98\x80", 3, 0},
        {"\"\\0\\a\\b\\t\\n\\v\\f\\r\\e\"", 0, std::string("\0\a\b\t\n\v\f\r\x1B", 9), 3, 0},
        {"\"\\ \\\"\\/\\\\\"", 0, " \"/\\", 3, 0},
        {"\"\\N\\_\\L\\P\"", 0, "\xC2\x85\xC2\xA0\xE2\x80\xA8\xE2\x80\xA9", 3, 0},
        {"\"a\\\tb\"", 0, "a\tb", 3, 0},
        {"\"a\n  b\"", 0, "a b", 3, 0},
        {"\"a \\\n  b\"", 0, "a b", 3, 0},
        {"\"a\\\n  b\"", 0, "ab", 3, 0},
        {"\"a\\ \n b\"", 0, "a  b", 3, 0},
        {"\"a\n\n b\"", 0, "a\nb", 3, 0},
    });
    struct bad {
        const char *input;
        uint32_t column;
    } bads[] = {{"\"\\x4\"", 5}, {"\"\\uD83D\"", 2},     {"\"\\uDE00\"", 2},
                {"\"\\q\"", 3},  {"\"\\U00110000\"", 2}, {"\"\\u12\"", 6}};
    for (const auto &b : bads) {
        outcome o = parse(b.input);
        EXPECT_EQ(o.code, 10u) << "input: " << b.input;
        EXPECT_EQ(o.column, b.column) << "input: " << b.input;
    }
}

TEST(Scanner, Unterminated) {
    struct row {
        const char *input;
        uint32_t line, column;
    } rows[] = {{"\"abc", 1, 1},
                {"k: 'abc\n", 1, 4},
                {"\"a\n---\n\"", 2, 1},
                {"'a\n...\n'", 2, 1},
                {"\"a\n%YAML 1.2\n\"", 2, 1}};
    for (const auto &r : rows) {
        outcome o = parse(r.input);
        EXPECT_EQ(o.code, 6u) << "input: " << r.input;
        EXPECT_EQ(o.line, r.line) << "input: " << r.input;
        EXPECT_EQ(o.column, r.column) << "input: " << r.input;
    }
    outcome o = parse("k: \"a\nb\"\n");
    EXPECT_EQ(o.code, 7u);
}

TEST(Scanner, BlockScalars) {
    check({
        {"|\n a\n b\n", 0, "a\nb\n", 4, 0},
        {">\n a\n b\n", 0, "a b\n", 5, 0},
        {">\n a\n\n b\n", 0, "a\nb\n", 5, 0},
        {">\n a\n   x\n b\n", 0, "a\n  x\nb\n", 5, 0},
        {"|-\n a\n\n", 0, "a", 4, 0},
        {"|+\n a\n\n", 0, "a\n\n", 4, 0},
        {"|\n a\n\n\n", 0, "a\n", 4, 0},
        {"|\n a", 0, "a\n", 4, 0},
        {"|+\n a", 0, "a", 4, 0},
        {"|\n\n  a\n", 0, "\na\n", 4, 0},
        {"|2\n   a\n", 0, " a\n", 4, 0},
        {"k: |1\n   a\n", 1, "  a\n", 4, 0},
        {"|2-\n   a\n", 0, " a", 4, 0},
        {"|-2\n   a\n", 0, " a", 4, 0},
        {"| # comment\n a\n", 0, "a\n", 4, 0},
        {"- |\n  a\n- b\n", 0, "a\n", 4, 0},
        {"|\n", 0, "", 4, 0},
        {"k: >\n\n", 1, "", 5, 0},
    });
    EXPECT_EQ(parse("|0\n a\n").code, 1u);
    EXPECT_EQ(parse("|x\n a\n").code, 1u);
    EXPECT_EQ(parse("|\n   \n a\n").code, 7u);  // leading line deeper than the content
    std::string big = "|\n";
    for (int i = 0; i < 20000; ++i) big += " x\n";
    EXPECT_EQ(parse(big).status, 0);
}

TEST(Scanner, Tags) {
    struct row {
        const char *input;
        std::string tag;
    } rows[] = {
        {"!!str a", "tag:yaml.org,2002:str"},
        {"!x a", "!x"},
        {"! a", "!"},
        {"!<tag:x,1:y> a", "tag:x,1:y"},
        {"!<!z> a", "!z"},
        {"%TAG !e! tag:e,1:\n---\n!e!x a", "tag:e,1:x"},
        {"%TAG !e! tag:e,1:\n---\n!e!x%2Cy a", "tag:e,1:x,y"},
        {"%TAG ! tag:p,1:\n---\n!x a", "tag:p,1:x"},
        {"%TAG !! tag:q,1:\n---\n!!x a", "tag:q,1:x"},
        {"!a%21 b", "!a!"},
        {"%TAG !e! tag:e,%32001:\n---\n!e!x a", "tag:e,2001:x"},
        {"!a%2 b", "!a%2"},
    };
    for (const auto &r : rows) EXPECT_EQ(only(r.input).tag, r.tag) << "input: " << r.input;
    EXPECT_EQ(parse("!e!x a").code, 1u);
    EXPECT_EQ(parse("%TAG e! tag:e,1:\n---\n!e!x a").code, 1u);  // handle not starting with '!' is ignored
    EXPECT_EQ(parse("!<> a").code, 1u);
    EXPECT_EQ(parse("!<a b> c").code, 1u);
    // Tags are dropped at the document end.
    EXPECT_EQ(parse("%TAG !e! tag:e,1:\n--- !e!x a\n...\n--- !e!x b\n").code, 1u);
    EXPECT_EQ(only("&anc x").anchor, "anc");
}

TEST(Scanner, Directives) {
    struct row {
        const char *input;
        int status;
    } rows[] = {
        {"%YAML 1.2\n---\na", 0},    {"%YAML 1.1 # c\n---\na", 0},
        {"%YAML 2.0\n---\na", 0},    {"%YAML 1\n---\na", -1},
        {"%YAML .1\n---\na", -1},    {"%YAML 1.2.3\n---\na", -1},
        {"%YAML 1.2#c\n---\na", -1}, {"%YAML 1.2 x\n---\na", -1},
        {"%FOO bar\n---\na", 0},     {"%YAML 1.2\n%YAML 1.2\n---\n", -1},
    };
    for (const auto &r : rows) {
        outcome o = parse(r.input);
        EXPECT_EQ(o.status, r.status) << "input: " << r.input;
        if (r.status) {
            EXPECT_EQ(o.code, 11u) << "input: " << r.input;
        }
    }
}

TEST(Scanner, TabsInIndentation) {
    struct row {
        const char *input;
        uint32_t code;
    } rows[] = {
        {"\t# c\n", 5}, {"a:\n\tb\n", 5}, {"a:\n \t\n", 0},   {"a: [\n\tb]\n", 5},
        {"\t[a]\n", 0}, {"- \t- a\n", 5}, {"a:\n  \tb\n", 0}, {"k:\t v\n", 0},
    };
    for (const auto &r : rows) EXPECT_EQ(parse(r.input).code, r.code) << "input: " << r.input;
}

TEST(Scanner, Aliases) {
    outcome o = parse("- &a: x\n- *a:\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(parse("*a").code, 9u);
    EXPECT_EQ(parse("- &a x\n- * a\n").code, 1u);
}

TEST(Scanner, FinishDoubleInto) {
    char buffer[16];
    const char *text = "\"abcd\"";
    EXPECT_EQ(zvl_finish_double_into(text, 1, 5, buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    const char *esc = "x\\u00e9\\tq\\\n  r\nz";
    uint64_t n = zvl_finish_double_into(esc, 0, std::strlen(esc), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n), "x\xC3\xA9\tqr\nz");
    // A multi-byte character is written whole or not at all.
    EXPECT_EQ(zvl_finish_double_into(esc, 0, std::strlen(esc), buffer, 2), 1u);
    // Lenient: surrogates become U+FFFD, unknown escapes stay as written.
    const char *odd = "\\uD800\\q";
    n = zvl_finish_double_into(odd, 0, std::strlen(odd), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n), "\xEF\xBF\xBD\\q");
    EXPECT_EQ(zvl_finish_double_into(nullptr, 0, 4, buffer, 4), 0u);
}
