// JSON tape: entries against a reference walk, the statuses and messages of
// both parses, conversion against strtod/strtoll, the packed builder's
// switches and reuse, and failure injection at every allocation.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "core/stage1.hpp"
#include "json/tape.hpp"
#include "zarvel.h"

namespace {

struct entry {
    uint8_t type;
    uint32_t start;
    uint32_t len;
    bool operator==(const entry &o) const { return type == o.type && start == o.start && len == o.len; }
};

std::string show(const std::vector<entry> &entries) {
    std::string s;
    for (const entry &e : entries)
        s += std::to_string(e.type) + ":" + std::to_string(e.start) + ":" + std::to_string(e.len) + " ";
    return s;
}

std::vector<entry> entries_of(zarvel_tape &tape) {
    zarvel_tape_columns(&tape);
    std::vector<entry> out;
    for (uint64_t i = 0; i < tape.count; ++i) out.push_back({tape.types[i], tape.starts[i], tape.lens[i]});
    return out;
}

std::string last_message() { return zarvel_last_error(nullptr, nullptr); }

struct tape_holder {
    zarvel_tape tape{};
    ~tape_holder() { zarvel_tape_free(&tape); }
};

bool is_zero(const zarvel_tape &tape) {
    zarvel_tape zero{};
    return std::memcmp(&tape, &zero, sizeof tape) == 0;
}

// ---- spec-level examples ----------------------------------------------------------

TEST(JsonTape, EntriesOfSmallDocuments) {
    struct row {
        std::string text;
        std::vector<entry> entries;
    };
    const row rows[] = {
        {"[]", {{0, 0, 0}, {7, 2, 0}, {9, 1, 0}}},
        {"{}", {{0, 0, 0}, {8, 2, 0}, {9, 1, 0}}},
        {"{\"a\":[1,2.5,true]}",
         {{0, 0, 0}, {8, 8, 0}, {6, 2, 1}, {7, 7, 0}, {4, 6, 1}, {5, 8, 3}, {2, 12, 4}, {9, 3, 0}, {9, 1, 0}}},
        {" [null, false, \"\", -0, 1e5]\t",
         {{0, 0, 0}, {7, 7, 0}, {1, 2, 4}, {3, 8, 5}, {6, 16, 0}, {4, 19, 2}, {5, 23, 3}, {9, 1, 0}}},
        {"\"x\\ny\"", {{0, 0, 0}, {6, 1, 4}}},
        {" 42 ", {{0, 0, 0}, {4, 1, 2}}},
        {"-1.5", {{0, 0, 0}, {5, 0, 4}}},
        {"true", {{0, 0, 0}, {2, 0, 4}}},
        {"null ", {{0, 0, 0}, {1, 0, 4}}},
        {"[\t1\t]", {{0, 0, 0}, {7, 3, 0}, {4, 2, 1}, {9, 1, 0}}},  // tab: the plain builder
        {"[\"\xc3\xa9\"]", {{0, 0, 0}, {7, 3, 0}, {6, 2, 2}, {9, 1, 0}}},
    };
    for (const row &r : rows) {
        tape_holder h;
        ASSERT_EQ(zarvel_parse_json_tape(r.text.data(), r.text.size(), &h.tape), 0) << r.text;
        EXPECT_EQ(h.tape.packed_ready, 0u) << r.text;
        EXPECT_EQ(h.tape.text, r.text.data());
        EXPECT_EQ(h.tape.text_len, r.text.size());
        EXPECT_EQ(show(entries_of(h.tape)), show(r.entries)) << r.text;
    }
}

TEST(JsonTape, StrictFailures) {
    struct row {
        std::string text;
        int32_t status;
        std::string message;
    };
    const row rows[] = {
        {"4 2", 1, "not strict JSON at byte 2"},
        {"", 1, "not strict JSON at byte 0"},
        {"   ", 1, "not strict JSON at byte 3"},
        {"[1,]", 1, "not strict JSON at byte 3"},
        {"{\"a\":1}x", 1, "not strict JSON at byte 7"},
        {"[1.2.3]", 1, "not strict JSON at byte 1"},
        {"hello", 1, "not strict JSON at byte 0"},
        {"[\"a\x01\"]", 1, "not strict JSON at byte 1"},
        {"[\"\xff\"]", 4, "ill-formed UTF-8 at byte 2"},
        {"\"\xc3\"", 4, "ill-formed UTF-8 at byte 1"},
        {"[\"\xed\xa0\x80\"]", 4, "ill-formed UTF-8 at byte 2"},  // encoded surrogate
        {"[1]\x7f", 1, "not strict JSON at byte 3"},
        {"[\"\xc3\xa9\", \"x\xe2\x82\"]", 4, "ill-formed UTF-8 at byte 9"},
        {"{\"\xc3\xa9\": \"\xe2\x82\xac\xff\"}", 4, "ill-formed UTF-8 at byte 11"},
        {"[\"\xc3\xa9\" \"\xff\"]", 1, "not strict JSON at byte 6"},
    };
    for (const row &r : rows) {
        zarvel_tape tape{};
        tape.count = 77;  // the parse resets the record first
        zarvel_error_clear(zarvel_error_current());
        EXPECT_EQ(zarvel_parse_json_tape(r.text.data(), r.text.size(), &tape), r.status) << r.text;
        EXPECT_EQ(last_message(), r.message) << r.text;
        EXPECT_TRUE(is_zero(tape)) << r.text;
        uint32_t line = 9, column = 9;
        zarvel_last_error(&line, &column);
        EXPECT_EQ(line, 0u);
        EXPECT_EQ(column, 0u);
    }
}

TEST(JsonTape, InvalidArguments) {
    zarvel_tape tape{};
    zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, "previous");
    EXPECT_EQ(zarvel_parse_json_tape(nullptr, 1, &tape), 6);
    EXPECT_EQ(zarvel_parse_json_tape("[]", 2, nullptr), 6);
    EXPECT_EQ(zarvel_parse_json_tape_lenient(nullptr, 1, &tape), 6);
    EXPECT_EQ(zarvel_parse_json_tape_lenient("[]", 2, nullptr), 6);
    EXPECT_EQ(last_message(), "previous");
    // The length check comes before any byte is read.
    EXPECT_EQ(zarvel_parse_json_tape("[]", 4294967281ull, &tape), 6);
    EXPECT_EQ(last_message(), "tape spans are uint32; document exceeds 4 GiB");
    EXPECT_EQ(zarvel_error_current()->code, 1u);
    EXPECT_EQ(zarvel_parse_json_tape_lenient("[]", 4294967281ull, &tape), 6);
    EXPECT_TRUE(is_zero(tape));
    zarvel_tape_free(nullptr);
    zarvel_tape_free(&tape);
    zarvel_tape_columns(nullptr);
}

TEST(JsonTape, NestingOf256LevelsAsciiOnly) {
    std::string deep = std::string(256, '[') + std::string(256, ']');
    tape_holder h;
    ASSERT_EQ(zarvel_parse_json_tape(deep.data(), deep.size(), &h.tape), 0);
    EXPECT_EQ(h.tape.count, 513u);
    EXPECT_EQ(h.tape.starts[1], 512u);
    EXPECT_EQ(h.tape.starts[512], 1u);
    std::string deeper = std::string(257, '[') + std::string(257, ']');
    zarvel_tape tape{};
    EXPECT_EQ(zarvel_parse_json_tape(deeper.data(), deeper.size(), &tape), 3);
    EXPECT_EQ(last_message(), "nesting depth exceeds the limit");
    EXPECT_EQ(zarvel_error_current()->offset, 255u);
    // One byte above 0x7F sends the same 256 levels through validation (255).
    std::string with_utf8 = std::string(256, '[') + "\"\xc3\xa9\"" + std::string(256, ']');
    EXPECT_EQ(zarvel_parse_json_tape(with_utf8.data(), with_utf8.size(), &tape), 3);
    EXPECT_EQ(last_message(), "nesting depth exceeds the limit");
}

// ---- lenient ----------------------------------------------------------------------

TEST(JsonTape, Lenient) {
    struct row {
        std::string text;
        int32_t status;
        std::string message;
        std::vector<entry> entries;
    };
    const row rows[] = {
        {"[1.2.3]", 0, "", {{0, 0, 0}, {7, 3, 0}, {10, 1, 5}, {9, 1, 0}}},
        {"[01, -, 1e, 5]", 0, "", {{0, 0, 0}, {7, 6, 0}, {10, 1, 2}, {10, 5, 1}, {10, 8, 2}, {10, 12, 1}, {9, 1, 0}}},
        {"{\"a\":\t1}", 0, "", {{0, 0, 0}, {8, 4, 0}, {6, 2, 1}, {10, 6, 1}, {9, 1, 0}}},
        {"hello", 0, "", {{0, 0, 0}, {10, 0, 5}}},
        {" hello world \t\n", 0, "", {{0, 0, 0}, {10, 1, 11}}},
        {"1.2.3", 0, "", {{0, 0, 0}, {10, 0, 5}}},
        {"\"abc\" ", 0, "", {{0, 0, 0}, {6, 1, 3}}},
        {"false", 0, "", {{0, 0, 0}, {3, 0, 5}}},
        {"\"abc", 1, "not strict JSON at byte 0 (lenient tape)", {}},
        {" \"a\" x", 1, "not strict JSON at byte 1 (lenient tape)", {}},
        {"tomato", 1, "not strict JSON at byte 0 (lenient tape)", {}},
        {"true 1", 1, "not strict JSON at byte 0 (lenient tape)", {}},
        {"   ", 1, "empty document (lenient tape)", {}},
        {"", 1, "empty document (lenient tape)", {}},
        {"[1,]", 1, "(unchanged)", {}},
        {"[1] x", 1, "(unchanged)", {}},
        {"[+1]", 1, "(unchanged)", {}},
        // A control byte or a byte above 0x7E: exactly the strict parse.
        {"[1.2.3, \"\xc3\xa9\"]", 1, "not strict JSON at byte 1", {}},
        {"[\"\xff\"]", 4, "ill-formed UTF-8 at byte 2", {}},
        {"[1, \"\xc3\xa9\"]", 0, "", {{0, 0, 0}, {7, 4, 0}, {4, 1, 1}, {6, 5, 2}, {9, 1, 0}}},
    };
    for (const row &r : rows) {
        zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, "(unchanged)");
        tape_holder h;
        ASSERT_EQ(zarvel_parse_json_tape_lenient(r.text.data(), r.text.size(), &h.tape), r.status) << r.text;
        if (r.status) {
            EXPECT_EQ(last_message(), r.message) << r.text;
            EXPECT_TRUE(is_zero(h.tape)) << r.text;
            continue;
        }
        EXPECT_EQ(show(entries_of(h.tape)), show(r.entries)) << r.text;
    }
}

TEST(JsonTape, LenientContainerIsPacked) {
    std::string text = "[1,\"ab\",[true]]";
    tape_holder h;
    ASSERT_EQ(zarvel_parse_json_tape_lenient(text.data(), text.size(), &h.tape), 0);
    EXPECT_EQ(h.tape.packed_ready, 1u);
    EXPECT_EQ(h.tape.columns_ready, 0u);
    ASSERT_EQ(h.tape.count, 8u);
    EXPECT_EQ(h.tape.packed[3], 6u | (2u << 8) | (uint64_t{4} << 32));
    EXPECT_EQ(h.tape.packed[4], 7u | (uint64_t{6} << 32));
    zarvel_tape_columns(&h.tape);
    EXPECT_EQ(h.tape.columns_ready, 1u);
    EXPECT_EQ(h.tape.types[4], 7u);
    EXPECT_EQ(h.tape.starts[4], 6u);
    EXPECT_EQ(h.tape.starts[6], 4u);
    EXPECT_EQ(h.tape.starts[7], 1u);
}

// ---- conversion -------------------------------------------------------------------

TEST(JsonTape, Convert) {
    std::string text = "[1,-2,3.5,99999999999999999999]";
    tape_holder h;
    ASSERT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &h.tape), 0);
    std::vector<int64_t> ints(h.tape.count, 0);
    std::vector<double> doubles(h.tape.count, 0);
    EXPECT_EQ(zarvel_tape_convert(&h.tape, 0, h.tape.count, ints.data(), doubles.data()), 4);
    EXPECT_EQ(ints[2], 1);
    EXPECT_EQ(ints[3], -2);
    EXPECT_EQ(doubles[4], 3.5);
    EXPECT_EQ(doubles[5], 1e20);
    EXPECT_EQ(h.tape.has_big_int, 1u);
    EXPECT_EQ(zarvel_tape_convert(&h.tape, 0, h.tape.count + 1, nullptr, nullptr), -1);
    EXPECT_EQ(zarvel_tape_convert(&h.tape, 3, 2, nullptr, nullptr), -1);
    EXPECT_EQ(zarvel_tape_convert(&h.tape, 2, 2, nullptr, nullptr), 0);
    EXPECT_EQ(zarvel_tape_convert(&h.tape, 2, 4, nullptr, nullptr), 2);
    EXPECT_EQ(zarvel_tape_convert(nullptr, 0, 0, nullptr, nullptr), -1);
    zarvel_tape empty{};
    EXPECT_EQ(zarvel_tape_convert(&empty, 0, 0, nullptr, nullptr), -1);

    std::string lenient = "[7, 1.2.3, 8]";
    tape_holder l;
    ASSERT_EQ(zarvel_parse_json_tape_lenient(lenient.data(), lenient.size(), &l.tape), 0);
    std::vector<int64_t> li(l.tape.count, 0);
    EXPECT_EQ(zarvel_tape_convert(&l.tape, 0, l.tape.count, li.data(), nullptr), -1);
    EXPECT_EQ(li[2], 7);  // converted before the failing entry
    EXPECT_EQ(l.tape.columns_ready, 1u);
    tape_holder hello;
    ASSERT_EQ(zarvel_parse_json_tape_lenient("hello", 5, &hello.tape), 0);
    EXPECT_EQ(zarvel_tape_convert(&hello.tape, 0, 2, nullptr, nullptr), -1);
    tape_holder raw_number;
    ASSERT_EQ(zarvel_parse_json_tape_lenient("-12 ", 4, &raw_number.tape), 0);
    int64_t raw_ints[2] = {0, 0};
    EXPECT_EQ(zarvel_tape_convert(&raw_number.tape, 0, 2, raw_ints, nullptr), 1);
    EXPECT_EQ(raw_ints[1], -12);
}

// ---- reference walk over random documents ----------------------------------------

// Generates a random JSON text and, alongside, the entries a tape of it must
// hold; numbers are remembered for the conversion check.
class generator {
  public:
    explicit generator(uint64_t seed) : random_(seed) {}

    std::string text;
    std::vector<entry> entries;
    std::vector<std::string> lexemes;  // per entry; empty for non-numbers

    void document() {
        text.clear();
        entries.assign(1, {0, 0, 0});
        lexemes.assign(1, "");
        ws();
        container(0);
        ws();
    }

  private:
    uint64_t pick(uint64_t n) { return random_() % n; }
    void ws() {
        static const char spaces[] = {' ', '\n', '\r', '\t'};
        uint64_t n = pick(4) == 0 ? pick(3) : 0;
        for (uint64_t i = 0; i < n; ++i) text += spaces[pick(4)];
    }
    void push(uint8_t type, uint64_t start, uint64_t len, std::string lexeme = "") {
        entries.push_back({type, static_cast<uint32_t>(start), static_cast<uint32_t>(len)});
        lexemes.push_back(std::move(lexeme));
    }
    void string_value() {
        static const char *pieces[] = {
            "a", "bc",  "\\n", "\\\"", "\\u00e9", "\\ud83d\\ude00", "xyz12345", " ", "\xc3\xa9", "0123456789abcdefghij",
            "/", "\\\\"};
        text += '"';
        uint64_t start = text.size();
        uint64_t n = pick(6);
        for (uint64_t i = 0; i < n; ++i) text += pieces[pick(sizeof pieces / sizeof *pieces)];
        push(ZARVEL_TAPE_STRING, start, text.size() - start);
        text += '"';
    }
    void number() {
        std::string s;
        if (pick(2)) s += '-';
        if (pick(5) == 0) {
            s += '0';
        } else {
            s += static_cast<char>('1' + pick(9));
            uint64_t digits = pick(4) == 0 ? pick(25) : pick(5);
            for (uint64_t i = 0; i < digits; ++i) s += static_cast<char>('0' + pick(10));
        }
        bool is_float = false;
        if (pick(3) == 0) {
            s += '.';
            for (uint64_t i = 0, n = 1 + pick(8); i < n; ++i) s += static_cast<char>('0' + pick(10));
            is_float = true;
        }
        if (pick(5) == 0) {
            s += pick(2) ? 'e' : 'E';
            if (pick(2)) s += pick(2) ? '+' : '-';
            s += std::to_string(pick(300));
            is_float = true;
        }
        push(is_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, text.size(), s.size(), s);
        text += s;
    }
    void value(int depth) {
        uint64_t k = pick(depth > 6 ? 6 : 8);
        switch (k) {
        case 0:
            push(ZARVEL_TAPE_NULL, text.size(), 4);
            text += "null";
            break;
        case 1:
            push(ZARVEL_TAPE_TRUE, text.size(), 4);
            text += "true";
            break;
        case 2:
            push(ZARVEL_TAPE_FALSE, text.size(), 5);
            text += "false";
            break;
        case 3: string_value(); break;
        case 4:
        case 5: number(); break;
        default: container(depth + 1); break;
        }
    }
    void container(int depth) {
        bool object = pick(2);
        size_t open = entries.size();
        push(object ? ZARVEL_TAPE_OBJECT : ZARVEL_TAPE_ARRAY, 0, 0);
        text += object ? '{' : '[';
        uint64_t members = pick(5);
        for (uint64_t i = 0; i < members; ++i) {
            if (i) text += ',';
            ws();
            if (object) {
                string_value();
                ws();
                text += ':';
                ws();
            }
            value(depth);
            ws();
        }
        if (!members) ws();
        text += object ? '}' : ']';
        entries[open].start = static_cast<uint32_t>(entries.size());
        push(ZARVEL_TAPE_CLOSE, open, 0);
    }

    std::mt19937_64 random_;
};

TEST(JsonTape, RandomDocumentsMatchTheReferenceWalk) {
    generator g(2024);
    for (int i = 0; i < 3000; ++i) {
        g.document();
        tape_holder strict;
        ASSERT_EQ(zarvel_parse_json_tape(g.text.data(), g.text.size(), &strict.tape), 0) << g.text;
        ASSERT_EQ(show(entries_of(strict.tape)), show(g.entries)) << g.text;
        uint64_t error_offset = 9;
        ASSERT_EQ(zvl_json_document(g.text.data(), g.text.size(), &error_offset), 1) << g.text;

        // Conversion of every number entry against the runtime.
        std::vector<int64_t> ints(strict.tape.count, 0);
        std::vector<double> doubles(strict.tape.count, 0);
        int64_t numbers = 0;
        for (const std::string &s : g.lexemes) numbers += !s.empty();
        ASSERT_EQ(zarvel_tape_convert(&strict.tape, 0, strict.tape.count, ints.data(), doubles.data()), numbers);
        for (size_t e = 0; e < g.lexemes.size(); ++e) {
            const std::string &s = g.lexemes[e];
            if (s.empty()) continue;
            errno = 0;
            long long integer = std::strtoll(s.c_str(), nullptr, 10);
            bool integral = s.find_first_of(".eE") == std::string::npos;
            if (integral && errno != ERANGE)
                ASSERT_EQ(ints[e], integer) << s;
            else
                ASSERT_EQ(doubles[e], std::strtod(s.c_str(), nullptr)) << s;
        }

        // The lenient tape has the same entries with every number unchecked.
        if (zarvel_kernels_get()->has_special(g.text.data(), g.text.size())) continue;
        tape_holder lenient;
        ASSERT_EQ(zarvel_parse_json_tape_lenient(g.text.data(), g.text.size(), &lenient.tape), 0) << g.text;
        std::vector<entry> expected = g.entries;
        for (entry &e : expected)
            if (e.type == ZARVEL_TAPE_INT || e.type == ZARVEL_TAPE_FLOAT) e.type = ZARVEL_TAPE_RAW;
        ASSERT_EQ(show(entries_of(lenient.tape)), show(expected)) << g.text;
    }
}

// Truncating a valid document anywhere leaves a text that both parses refuse
// without a crash (or, rarely, accept as a shorter valid document).
TEST(JsonTape, TruncatedDocumentsAreRefusedCleanly) {
    generator g(77);
    for (int i = 0; i < 300; ++i) {
        g.document();
        for (size_t cut = 0; cut < g.text.size(); ++cut) {
            std::string part = g.text.substr(0, cut);
            uint64_t offset;
            int valid = zvl_json_document(part.data(), part.size(), &offset);
            tape_holder h;
            int32_t status = zarvel_parse_json_tape(part.data(), part.size(), &h.tape);
            ASSERT_EQ(status == 0, valid == 1) << part;
            if (status == 1) {
                ASSERT_EQ(last_message(), "not strict JSON at byte " + std::to_string(offset)) << part;
            }
            tape_holder l;
            zarvel_parse_json_tape_lenient(part.data(), part.size(), &l.tape);
        }
    }
}

// ---- packed builder ---------------------------------------------------------------

TEST(JsonTape, PackedBuilderSwitches) {
    struct row {
        std::string text;
        bool checked, ascii;
        int result;
        std::vector<entry> entries;
    };
    const row rows[] = {
        {"[1, 2.5]", true, true, 0, {{0, 0, 0}, {7, 4, 0}, {4, 1, 1}, {5, 4, 3}, {9, 1, 0}}},
        {"[1, 2.5]", false, true, 0, {{0, 0, 0}, {7, 4, 0}, {10, 1, 1}, {10, 4, 3}, {9, 1, 0}}},
        {"[1,\t2]", true, true, 1, {}},
        {"[1,\t2]", true, false, 0, {{0, 0, 0}, {7, 4, 0}, {4, 1, 1}, {4, 4, 1}, {9, 1, 0}}},
        {"[\"\xc3\xa9\"]", true, true, 1, {}},
        {"[\"\xc3\xa9\"]", true, false, 0, {{0, 0, 0}, {7, 3, 0}, {6, 2, 2}, {9, 1, 0}}},
        {"[01]", true, false, 1, {}},
        {"[01]", false, false, 0, {{0, 0, 0}, {7, 3, 0}, {10, 1, 2}, {9, 1, 0}}},
        {"[1] x", false, false, 1, {}},
        {"[\"a\x01\"]", false, false, 1, {}},
        {"{\"a\":1}  ", true, true, 0, {{0, 0, 0}, {8, 4, 0}, {6, 2, 1}, {4, 5, 1}, {9, 1, 0}}},
    };
    for (const row &r : rows) {
        zarvel_tape tape{};
        zvl::tape_packed_switches switches{r.checked, r.ascii, false};
        ASSERT_EQ(zvl::tape_build_packed(r.text.data(), r.text.size(), 0, &tape, switches), r.result) << r.text;
        if (r.result) {
            EXPECT_TRUE(is_zero(tape)) << r.text;
            continue;
        }
        EXPECT_EQ(tape.packed_ready, 1u);
        EXPECT_EQ(show(entries_of(tape)), show(r.entries)) << r.text;
        zarvel_tape_free(&tape);
    }
}

TEST(JsonTape, PackedBuilderReusesABigEnoughBlock) {
    zvl::tape_packed_switches reuse{true, false, true};
    zarvel_tape tape{};
    std::string big = "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10]";
    ASSERT_EQ(zvl::tape_build_packed(big.data(), big.size(), 0, &tape, reuse), 0);
    void *block = tape.block;
    zarvel_tape_columns(&tape);
    tape.text_len = big.size() + 2;  // the caller's capacity convention
    std::string small = "[true]";
    zvl::testing::fail_allocation(1);  // reuse must not allocate
    ASSERT_EQ(zvl::tape_build_packed(small.data(), small.size(), 0, &tape, reuse), 0);
    zvl::testing::fail_allocation(0);
    EXPECT_EQ(tape.block, block);
    EXPECT_EQ(tape.columns_ready, 0u);
    EXPECT_EQ(show(entries_of(tape)), show({{0, 0, 0}, {7, 3, 0}, {2, 1, 4}, {9, 1, 0}}));
    EXPECT_EQ(tape.text, small.data());
    // Too small for a longer text: a new block (the old one is released).
    tape.text_len = small.size() + 2;
    ASSERT_EQ(zvl::tape_build_packed(big.data(), big.size(), 0, &tape, reuse), 0);
    EXPECT_EQ(tape.count, 13u);
    // A refusal releases the reused block too.
    tape.text_len = big.size() + 2;
    std::string bad = "[1,]";
    ASSERT_EQ(zvl::tape_build_packed(bad.data(), bad.size(), 0, &tape, reuse), 1);
    EXPECT_TRUE(is_zero(tape));
}

// A span of 2^24 bytes does not fit the packed length field: refused, not
// truncated. The block is a small reused one so that the test stays light.
TEST(JsonTape, PackedBuilderRefusesSpansOf16MiB) {
    const uint64_t limit = zvl::tape_packed_span_limit;
    for (uint64_t body : {limit - 1, limit}) {
        for (bool as_number : {false, true}) {
            std::string text = "[";
            if (as_number) {
                text += std::string(body, '1');
            } else {
                text += '"';
                text += std::string(body, 'x');
                text += '"';
            }
            text += "]";
            zarvel_tape tape{};
            void *block = zvl::allocate(&zarvel_default_allocator, 64 * sizeof(uint64_t));
            ASSERT_NE(block, nullptr);
            tape.block = block;
            tape.packed = static_cast<uint64_t *>(block);
            tape.types = static_cast<uint8_t *>(block);  // unused: columns are not filled
            tape.packed_ready = 1;
            tape.text_len = text.size() + 2;
            zvl::tape_packed_switches switches{!as_number, false, true};
            int result = zvl::tape_build_packed(text.data(), text.size(), 0, &tape, switches);
            if (body == limit) {
                EXPECT_EQ(result, 1) << "span " << body;
                EXPECT_TRUE(is_zero(tape));
            } else {
                ASSERT_EQ(result, 0) << "span " << body;
                EXPECT_EQ((tape.packed[2] >> 8) & 0xFFFFFF, body);
                zarvel_tape_free(&tape);
            }
        }
    }
}

// The strict tape has 32-bit lengths: such a span is kept whole there.
TEST(JsonTape, ColumnFormKeepsLongSpans) {
    std::string text = "[\"" + std::string(zvl::tape_packed_span_limit + 5, 'y') + "\"]";
    tape_holder h;
    ASSERT_EQ(zarvel_parse_json_tape(text.data(), text.size(), &h.tape), 0);
    EXPECT_EQ(h.tape.lens[2], zvl::tape_packed_span_limit + 5);
    tape_holder l;
    EXPECT_EQ(zarvel_parse_json_tape_lenient(text.data(), text.size(), &l.tape), 1);
}

// ---- texts dense in entries ----------------------------------------------------------

// A text with an entry for nearly every byte, written with its entries.
struct dense_text {
    std::string text;
    std::vector<entry> entries{{0, 0, 0}};
    std::vector<uint32_t> opens;

    void open(bool object) {
        opens.push_back(static_cast<uint32_t>(entries.size()));
        entries.push_back({uint8_t(object ? ZARVEL_TAPE_OBJECT : ZARVEL_TAPE_ARRAY), 0, 0});
        text += object ? '{' : '[';
    }
    void close() {
        uint32_t open = opens.back();
        opens.pop_back();
        entries[open].start = static_cast<uint32_t>(entries.size());
        entries.push_back({ZARVEL_TAPE_CLOSE, open, 0});
        text += entries[open].type == ZARVEL_TAPE_OBJECT ? '}' : ']';
    }
    void zero() {
        entries.push_back({ZARVEL_TAPE_INT, static_cast<uint32_t>(text.size()), 1});
        text += '0';
    }
    void empty_string() {
        entries.push_back({ZARVEL_TAPE_STRING, static_cast<uint32_t>(text.size() + 1), 0});
        text += "\"\"";
    }
};

dense_text dense(int shape, int count) {
    dense_text d;
    d.open(shape == 1);
    for (int i = 0; i < count; ++i) {
        if (i) d.text += ',';
        switch (shape) {
        case 0: d.zero(); break;  // [0,0,...]
        case 1:                   // {"":0,...}
            d.empty_string();
            d.text += ':';
            d.zero();
            break;
        case 2:  // [[],[],...]
            d.open(false);
            d.close();
            break;
        case 3: d.empty_string(); break;  // ["","",...]
        default:                          // [[[...]]] to the 255th level, again and again
            for (int level = 0; level < 254; ++level) d.open(false);
            for (int level = 0; level < 254; ++level) d.close();
        }
    }
    d.close();
    return d;
}

// The block starts from an estimate of the entries and grows: texts with an
// entry for every byte or two still build, on every road, with the same
// entries, and within memory for texts of one entry per two bytes.
TEST(JsonTape, DenseTextsBuildOnEveryRoad) {
    struct row {
        int shape, count;
        bool within_8_bytes_per_byte;
    };
    const row rows[] = {{0, 100000, true}, {1, 40000, true}, {2, 10000, false}, {3, 10000, false}, {4, 40, false}};
    for (const row &r : rows) {
        const dense_text d = dense(r.shape, r.count);
        const std::string &t = d.text;
        SCOPED_TRACE(t.substr(0, 24));

        const uint64_t before = zvl::testing::requested_bytes();
        tape_holder strict;
        ASSERT_EQ(zarvel_parse_json_tape(t.data(), t.size(), &strict.tape), 0);
        if (r.within_8_bytes_per_byte) {
            EXPECT_LE(zvl::testing::requested_bytes() - before, 8 * t.size());
        }
        EXPECT_TRUE(entries_of(strict.tape) == d.entries);

        for (zvl::column_mode mode : {zvl::column_mode::fast, zvl::column_mode::plain}) {
            tape_holder columns;
            ASSERT_EQ(zvl::tape_build_columns(t.data(), t.size(), 0, &columns.tape, mode, true), 0);
            EXPECT_TRUE(entries_of(columns.tape) == d.entries);
        }
        tape_holder packed;
        ASSERT_EQ(zvl::tape_build_packed(t.data(), t.size(), 0, &packed.tape, {true, true, false}), 0);
        EXPECT_TRUE(entries_of(packed.tape) == d.entries);
        for (const zvl::json::index_variant &variant : zvl::json::index_variants()) {
            if (!variant.supported()) continue;
            for (bool as_packed : {false, true}) {
                tape_holder indexed;
                ASSERT_EQ(zvl::tape_build_indexed(t.data(), t.size(), 0, &indexed.tape, as_packed, variant), 0)
                    << variant.name;
                EXPECT_TRUE(entries_of(indexed.tape) == d.entries) << variant.name;
            }
        }
    }
}

// ---- failure injection ------------------------------------------------------------

template <typename parse>
void inject_everywhere(const std::string &text, parse run) {
    for (uint64_t n = 1;; ++n) {
        zvl::testing::fail_allocation(n);
        zarvel_tape tape{};
        int32_t status = run(text, &tape);
        uint64_t seen = zvl::testing::fail_allocation(0);
        ASSERT_TRUE(status == 0 || status == 2) << text << " at allocation " << n;
        if (status != 0) {
            ASSERT_TRUE(is_zero(tape)) << text << " at allocation " << n;
        }
        zarvel_tape_free(&tape);
        if (seen < n) {
            ASSERT_EQ(status, 0) << text << ": no allocation failed, yet it failed";
            break;
        }
    }
}

TEST(JsonTape, FailureInjectionAtEveryAllocation) {
    const std::string texts[] = {
        "[1, 2, {\"a\": \"b\"}]",
        "[\t1]",
        "[\"\xc3\xa9\"]",
        "42",
        "\"s\"",
        "true",
        "{\"a\":[[[]]]}",
        dense(0, 3000).text,
        dense(1, 2000).text,
        dense(4, 12).text,  // blocks that grow
    };
    for (const std::string &text : texts) {
        inject_everywhere(text, [](const std::string &t, zarvel_tape *tape) {
            return zarvel_parse_json_tape(t.data(), t.size(), tape);
        });
        inject_everywhere(text, [](const std::string &t, zarvel_tape *tape) {
            return zarvel_parse_json_tape_lenient(t.data(), t.size(), tape);
        });
    }
    // Failures inside the fast builder fall back to the plain one, which
    // then reports the out-of-memory status.
    zvl::testing::fail_allocation(1, true);
    zarvel_tape tape{};
    EXPECT_EQ(zarvel_parse_json_tape("[1]", 3, &tape), 2);
    EXPECT_EQ(zarvel_parse_json_tape("1", 1, &tape), 2);
    EXPECT_EQ(zarvel_parse_json_tape_lenient("[1]", 3, &tape), 2);
    EXPECT_EQ(zarvel_parse_json_tape_lenient("x", 1, &tape), 2);
    zvl::testing::fail_allocation(0);
    EXPECT_TRUE(is_zero(tape));
}

}  // namespace
