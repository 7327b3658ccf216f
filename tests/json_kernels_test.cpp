// JSON lexical kernels: accept/refuse boundaries, error offsets, number
// values against strtod/strtoll, stage 1 against a naive reference, and the
// stepper's transition table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/number_value.hpp"
#include "json/stepper.hpp"
#include "zarvel.h"

namespace {

// ---- whitespace ---------------------------------------------------------------

TEST(JsonKernels, Whitespace) {
    struct row {
        std::string text;
        uint64_t from;
        int32_t result;
        uint64_t pos;
        int32_t tab;
    };
    const row rows[] = {
        {"", 0, -1, 0, 0},     {"   ", 0, -1, 3, 0},  {" \r\n x", 0, 1, 4, 0}, {"x", 0, 1, 0, 0},
        {"  \tx", 0, 0, 2, 1}, {"ab  ", 2, -1, 4, 0}, {"a b", 1, 1, 2, 0},
    };
    for (const row &r : rows) {
        uint64_t pos = r.from;
        int32_t tab = 0;
        EXPECT_EQ(zvl_json_ws(r.text.data(), r.text.size(), &pos, &tab), r.result) << r.text;
        EXPECT_EQ(pos, r.pos) << r.text;
        EXPECT_EQ(tab, r.tab) << r.text;
    }
}

// ---- literals -------------------------------------------------------------------

TEST(JsonKernels, Literal) {
    struct row {
        std::string text;
        const char *word;
        int32_t result;
        uint64_t pos;
    };
    const row rows[] = {
        {"true", "true", 1, 4},  {"true,", "true", 1, 4},  {"true]", "true", 1, 4},  {"true}", "true", 1, 4},
        {"true:", "true", 1, 4}, {"true\t", "true", 1, 4}, {"true\n", "true", 1, 4}, {"true\r", "true", 1, 4},
        {"true ", "true", 1, 4}, {"trueX", "true", 0, 4},  {"true[", "true", 0, 4},  {"tru", "true", 0, 0},
        {"trUe", "true", 0, 0},  {"false", "false", 1, 5}, {"null", "null", 1, 4},   {"nullnull", "null", 0, 4},
        {"", "", 1, 0},          {"x", "", 0, 0},          {",", "", 1, 0},          {"", "null", 0, 0},
    };
    for (const row &r : rows) {
        uint64_t pos = 0;
        EXPECT_EQ(zvl_json_literal(r.text.data(), r.text.size(), &pos, r.word), r.result) << r.text;
        EXPECT_EQ(pos, r.pos) << r.text;
    }
}

// ---- strings --------------------------------------------------------------------

TEST(JsonKernels, String) {
    struct row {
        std::string text;
        int32_t result;
        uint64_t close;
        int32_t escape;
    };
    const row rows[] = {
        {"\"\"", 1, 1, 0},
        {"\"abc\"", 1, 4, 0},
        {"\"abcdefghijklmnopqrstuvwxyz\"", 1, 27, 0},
        {"\"a\\\"b\"", 1, 5, 1},
        {"\"\\\\\"", 1, 3, 1},
        {"\"\\/\\b\\f\\n\\r\\t\"", 1, 13, 1},
        {"\"\\u00e9\"", 1, 7, 1},
        {"\"\\uABCD\"", 1, 7, 1},
        {"\"\\ud83d\\ude00\"", 1, 13, 1},
        {"\"long body with an escape at the end \\n\"", 1, 39, 1},
        {"\"\\ude00\"", 0, 0, 0},          // lone low surrogate
        {"\"\\ud83d\"", 0, 0, 0},          // high surrogate alone
        {"\"\\ud83dx\\ude00\"", 0, 0, 0},  // high surrogate not followed by an escape
        {"\"\\ud83d\\u0041\"", 0, 0, 0},   // high surrogate followed by no low one
        {"\"\\u12\"", 0, 0, 0},
        {"\"\\u12", 0, 0, 0},
        {"\"\\uGGGG\"", 0, 0, 0},
        {"\"\\x\"", 0, 0, 0},
        {"\"\\", 0, 0, 0},
        {"\"abc", 0, 0, 0},
        {"\"", 0, 0, 0},
        {"\"a\tb\"", 0, 0, 0},  // raw tab
        {"\"a\nb\"", 0, 0, 0},
        {"\"0123456789abcdef\x01\"", 0, 0, 0},  // control past the first eight bytes
        {"x\"\"", 0, 0, 0},                     // no opening quote
        {"\"\xc3\xa9\"", 1, 3, 0},              // bytes above 0x7F are not checked here
        {"\"\x7f\"", 1, 2, 0},
    };
    for (const row &r : rows) {
        uint64_t pos = 0, close = 99;
        int32_t escape = 99;
        int32_t got = zvl_json_string(r.text.data(), r.text.size(), &pos, &close, &escape);
        EXPECT_EQ(got, r.result) << r.text;
        if (got) {
            EXPECT_EQ(close, r.close) << r.text;
            EXPECT_EQ(escape, r.escape) << r.text;
            EXPECT_EQ(pos, r.close + 1) << r.text;
        } else {
            EXPECT_EQ(pos, 0u) << r.text;
        }
    }
}

// A surrogate pair needs a byte after its twelve bytes inside the buffer.
TEST(JsonKernels, StringSurrogatePairAtTheEnd) {
    std::string text = "\"\\ud83d\\ude00";
    uint64_t pos = 0;
    EXPECT_EQ(zvl_json_string(text.data(), text.size(), &pos, nullptr, nullptr), 0);
}

// ---- numbers --------------------------------------------------------------------

struct number_row {
    std::string text;
    int32_t result;
    uint64_t end;
    uint32_t kind;
    int64_t ival;
    double dval;
};

TEST(JsonKernels, NumberGrammarAndValues) {
    const number_row rows[] = {
        {"0", 1, 1, 0, 0, 0},
        {"-0", 1, 2, 0, 0, 0},
        {"7", 1, 1, 0, 7, 0},
        {"42", 1, 2, 0, 42, 0},
        {"999", 1, 3, 0, 999, 0},
        {"1000", 1, 4, 0, 1000, 0},
        {"-123", 1, 4, 0, -123, 0},
        {"12345678", 1, 8, 0, 12345678, 0},
        {"1234567890123", 1, 13, 0, 1234567890123, 0},
        {"9223372036854775807", 1, 19, 0, INT64_MAX, 0},
        {"-9223372036854775808", 1, 20, 0, INT64_MIN, 0},
        {"9223372036854775808", 1, 19, 2, 0, 9223372036854775808.0},
        {"-9223372036854775809", 1, 20, 2, 0, -9223372036854775809.0},
        {"18446744073709551615", 1, 20, 2, 0, 18446744073709551615.0},
        {"18446744073709551616", 1, 20, 2, 0, 18446744073709551616.0},
        {"99999999999999999999", 1, 20, 2, 0, 1e20},
        {"1.0", 1, 3, 1, 0, 1.0},
        {"-0.5e+3", 1, 7, 1, 0, -500.0},
        {"1e5", 1, 3, 1, 0, 1e5},
        {"1E-5", 1, 4, 1, 0, 1e-5},
        {"0.1", 1, 3, 1, 0, 0.1},
        {"1e400", 1, 5, 1, 0, HUGE_VAL},
        {"-1e400", 1, 6, 1, 0, -HUGE_VAL},
        {"1e-400", 1, 6, 1, 0, 0.0},
        {"12,", 1, 2, 0, 12, 0},
        {"12]", 1, 2, 0, 12, 0},
        {"12}", 1, 2, 0, 12, 0},
        {"12:", 1, 2, 0, 12, 0},
        {"12 ", 1, 2, 0, 12, 0},
        {"12\t", 1, 2, 0, 12, 0},
        {"1.5,", 1, 3, 1, 0, 1.5},
        {"01", 0, 0, 0, 0, 0},
        {"-01", 0, 0, 0, 0, 0},
        {"00", 0, 0, 0, 0, 0},
        {"-", 0, 0, 0, 0, 0},
        {"1.", 0, 0, 0, 0, 0},
        {"1.e5", 0, 0, 0, 0, 0},
        {"1e", 0, 0, 0, 0, 0},
        {"1e+", 0, 0, 0, 0, 0},
        {".5", 0, 0, 0, 0, 0},
        {"+1", 0, 0, 0, 0, 0},
        {"12a", 0, 0, 0, 0, 0},
        {"1234a", 0, 0, 0, 0, 0},
        {"0x10", 0, 0, 0, 0, 0},
        {"1.5.", 0, 0, 0, 0, 0},
        {"123456789012345678x", 0, 0, 0, 0, 0},
        {"", 0, 0, 0, 0, 0},
        {"-a", 0, 0, 0, 0, 0},
        {"1[", 0, 0, 0, 0, 0},
    };
    for (const number_row &r : rows) {
        uint64_t pos = 0;
        uint32_t kind = 77;
        int64_t ival = 77;
        double dval = 77;
        int32_t got = zvl_json_number_scan(r.text.data(), r.text.size(), &pos, &kind, &ival, &dval);
        ASSERT_EQ(got, r.result) << r.text;
        uint64_t pos2 = 0, pos3 = 0;
        int32_t is_float = 9;
        EXPECT_EQ(zvl_json_number(r.text.data(), r.text.size(), &pos2), r.result) << r.text;
        EXPECT_EQ(zvl_json_number_shape(r.text.data(), r.text.size(), &pos3, &is_float), r.result) << r.text;
        if (!got) {
            EXPECT_EQ(pos, 0u) << r.text;
            EXPECT_EQ(pos2, 0u) << r.text;
            EXPECT_EQ(kind, 77u) << r.text;
            continue;
        }
        EXPECT_EQ(pos, r.end) << r.text;
        EXPECT_EQ(pos2, r.end) << r.text;
        EXPECT_EQ(pos3, r.end) << r.text;
        EXPECT_EQ(kind, r.kind) << r.text;
        EXPECT_EQ(is_float, r.kind == 1 ? 1 : 0) << r.text;
        if (r.kind == 0) {
            EXPECT_EQ(ival, r.ival) << r.text;
            EXPECT_EQ(dval, 77) << r.text << ": kind 0 must not touch dval";
        } else {
            EXPECT_EQ(dval, r.dval) << r.text;
            EXPECT_EQ(ival, 77) << r.text << ": kinds 1 and 2 must not touch ival";
        }
    }
}

TEST(JsonKernels, NumberOutputsAreOptional) {
    const char text[] = "1.25";
    uint64_t pos = 0;
    EXPECT_EQ(zvl_json_number_scan(text, 4, &pos, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(pos, 4u);
    pos = 0;
    double d = 0;
    EXPECT_EQ(zvl_json_number_scan(text, 4, &pos, nullptr, nullptr, &d), 1);
    EXPECT_EQ(d, 1.25);
}

TEST(JsonKernels, NumberAtAnOffsetStopsAtTheBufferEnd) {
    // The lexeme runs to the end of a buffer that is cut inside a larger text.
    const char text[] = "[12345,6]";
    uint64_t pos = 1;
    int64_t v = 0;
    uint32_t kind = 9;
    EXPECT_EQ(zvl_json_number_scan(text, 4, &pos, &kind, &v, nullptr), 1);
    EXPECT_EQ(pos, 4u);
    EXPECT_EQ(v, 123);
}

// Random integers and decimals against strtoll/strtod.
TEST(JsonKernels, NumberValuesMatchTheRuntime) {
    std::mt19937_64 random(12345);
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        if (random() & 1) s += '-';
        int digits = 1 + static_cast<int>(random() % 24);
        s += static_cast<char>('1' + random() % 9);
        for (int d = 1; d < digits; ++d) s += static_cast<char>('0' + random() % 10);
        bool is_float = false;
        if (random() % 3 == 0) {
            s += '.';
            int fraction = 1 + static_cast<int>(random() % 20);
            for (int d = 0; d < fraction; ++d) s += static_cast<char>('0' + random() % 10);
            is_float = true;
        }
        if (random() % 4 == 0) {
            s += (random() & 1) ? 'e' : 'E';
            int r = static_cast<int>(random() % 3);
            if (r == 1) s += '-';
            if (r == 2) s += '+';
            s += std::to_string(random() % 330);
            is_float = true;
        }
        uint64_t pos = 0;
        uint32_t kind = 9;
        int64_t ival = 0;
        double dval = 0;
        ASSERT_EQ(zvl_json_number_scan(s.data(), s.size(), &pos, &kind, &ival, &dval), 1) << s;
        ASSERT_EQ(pos, s.size()) << s;
        if (is_float) {
            ASSERT_EQ(kind, 1u) << s;
            ASSERT_EQ(dval, std::strtod(s.c_str(), nullptr)) << s;
            continue;
        }
        errno = 0;
        long long expected = std::strtoll(s.c_str(), nullptr, 10);
        if (errno == ERANGE) {
            ASSERT_EQ(kind, 2u) << s;
            ASSERT_EQ(dval, std::strtod(s.c_str(), nullptr)) << s;
        } else {
            ASSERT_EQ(kind, 0u) << s;
            ASSERT_EQ(ival, expected) << s;
        }
    }
}

// Lexemes longer than the 79 bytes zvl_num_f64 takes still get their value.
TEST(JsonKernels, LongLexemesConvertExactly) {
    std::mt19937_64 random(777);
    std::vector<std::string> samples = {
        std::string(100, '9'),
        "0." + std::string(300, '0') + "1",
        "1" + std::string(400, '0'),
        "-" + std::string(90, '1') + ".5e-20",
        // 2^-1074 halfway region: many digits decide the rounding.
        "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324",
        "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125000000000001e-324",
    };
    for (int i = 0; i < 2000; ++i) {
        std::string s;
        int digits = 60 + static_cast<int>(random() % 900);
        s += static_cast<char>('1' + random() % 9);
        for (int d = 1; d < digits; ++d) s += static_cast<char>('0' + random() % 10);
        if (random() & 1) s.insert(1 + random() % (s.size() - 1), ".");
        s += "e" + std::to_string(static_cast<int>(random() % 700) - 350 - digits / 2);
        samples.push_back(s);
    }
    for (const std::string &s : samples) {
        uint64_t pos = 0;
        uint32_t kind = 9;
        double d = 0;
        ASSERT_EQ(zvl_json_number_scan(s.data(), s.size(), &pos, &kind, nullptr, &d), 1) << s;
        EXPECT_EQ(d, std::strtod(s.c_str(), nullptr)) << s;
        EXPECT_EQ(zvl::json::lexeme_to_double(s.data(), s.size()), std::strtod(s.c_str(), nullptr)) << s;
    }
}

// ---- document validation ----------------------------------------------------------

TEST(JsonKernels, DocumentAcceptsAndRefusesWithOffsets) {
    struct row {
        std::string text;
        int32_t result;
        uint64_t offset;
    };
    const row rows[] = {
        {"", 0, 0},
        {"   ", 0, 3},
        {"\n", 0, 1},
        {" {\"a\" : [true, false, null, -0.5e+3]} ", 1, 0},
        {"0", 1, 0},
        {"\"x\"", 1, 0},
        {"null", 1, 0},
        {"[]", 1, 0},
        {"{}", 1, 0},
        {"\t[\t1\t]\t", 1, 0},
        {"[[[]]]", 1, 0},
        {"{\"a\":{\"b\":[{}]}}", 1, 0},
        {"[1,]", 0, 3},
        {"{,}", 0, 1},
        {"{\"a\" 1}", 0, 5},
        {"{1:2}", 0, 1},
        {"{\"a\":1,}", 0, 7},
        {"[1 2]", 0, 3},
        {"{\"a\":}", 0, 5},
        {"{\"a\"}", 0, 4},
        {"[}", 0, 1},
        {"{]", 0, 1},
        {"]", 0, 0},
        {"[1]]", 0, 3},
        {"[1] x", 0, 4},
        {"4 2", 0, 2},
        {"[", 0, 1},
        {"[1", 0, 2},
        {"{\"a\":1", 0, 6},
        {"{\"a\"", 0, 4},
        {"[\"abc", 0, 1},   // a string cut by the end: its first byte
        {"[tru", 0, 1},     // a literal cut by the end: its first byte
        {"[trux]", 0, 1},   // misspelt literal: its first byte
        {"[truex]", 0, 5},  // literal without delimiter: the byte after it
        {"[nullnull]", 0, 5},
        {"[01]", 0, 1},  // bad number: its first byte
        {"[1.]", 0, 1},
        {"[-]", 0, 1},
        {"[12a]", 0, 1},
        {"[\"a\\x\"]", 0, 1},  // bad string: its opening quote
        {"[\"a\tb\"]", 0, 1},
        {"[x]", 0, 1},
        {"[+1]", 0, 1},
        {"[.5]", 0, 1},
        {"{\"a\":1 \"b\":2}", 0, 7},
        {"{\"a\"::1}", 0, 5},
        {"[1,,2]", 0, 3},
        {"[,1]", 0, 1},
        {"{[1]:2}", 0, 1},  // container in key position
        {"[1:2]", 0, 2},
        {"\"a\" \"b\"", 0, 4},
        {"[1]\x01", 0, 3},
        {"\xef\xbb\xbf[]", 0, 0},  // a byte order mark is not JSON
    };
    for (const row &r : rows) {
        uint64_t offset = 999;
        EXPECT_EQ(zvl_json_document(r.text.data(), r.text.size(), &offset), r.result) << r.text;
        EXPECT_EQ(offset, r.offset) << r.text;
    }
    EXPECT_EQ(zvl_json_document("[]", 2, nullptr), 1);
    EXPECT_EQ(zvl_json_document("[", 1, nullptr), 0);
}

TEST(JsonKernels, DocumentNestingLimit) {
    std::string ok = std::string(255, '[') + std::string(255, ']');
    uint64_t offset = 9;
    EXPECT_EQ(zvl_json_document(ok.data(), ok.size(), &offset), 1);
    EXPECT_EQ(offset, 0u);
    std::string deep = std::string(256, '[') + std::string(256, ']');
    EXPECT_EQ(zvl_json_document(deep.data(), deep.size(), &offset), 0);
    EXPECT_EQ(offset, 255u);  // the 256th "["
    std::string objects;
    for (int i = 0; i < 255; ++i) objects += "{\"k\":";
    objects += "1";
    for (int i = 0; i < 255; ++i) objects += "}";
    EXPECT_EQ(zvl_json_document(objects.data(), objects.size(), &offset), 1);
}

// ---- stage 1 ----------------------------------------------------------------------

// Byte-by-byte reference: a backslash escapes the next byte everywhere (as
// the carry trick does), unescaped quotes toggle the string state.
struct stage1_reference {
    std::vector<uint32_t> structurals;
    std::vector<zvl_json_stage1_block> blocks;
    int32_t flags = 0;
    int32_t result = 1;
};

stage1_reference stage1_naive(const std::string &text) {
    stage1_reference ref;
    bool in_string = false, escape = false;
    ref.blocks.resize((text.size() + 63) / 64);
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<uint8_t>(text[i]);
        zvl_json_stage1_block &b = ref.blocks[i / 64];
        uint64_t bit = 1ull << (i % 64);
        bool is_operator = std::strchr("{}[],:", c) && c;
        if (c == '"') b.quotes |= bit;
        if (c == '\\') b.backslashes |= bit;
        if (is_operator) b.operators |= bit;
        if (c < 0x20) b.controls |= bit;
        if (c == '\\') ref.flags |= ZVL_JSON_FLAG_BACKSLASH;
        bool escaped = escape;
        escape = !escaped && c == '\\';
        if (c == '"' && !escaped) {
            if (!in_string) {
                b.structurals |= bit;
                ref.structurals.push_back(static_cast<uint32_t>(i));
            }
            in_string = !in_string;
            continue;
        }
        if (in_string && c < 0x20) ref.flags |= ZVL_JSON_FLAG_CONTROL_IN_STRING;
        if (!in_string && is_operator) {
            b.structurals |= bit;
            ref.structurals.push_back(static_cast<uint32_t>(i));
        }
    }
    ref.result = in_string ? 0 : 1;
    return ref;
}

void expect_stage1(const std::string &text) {
    stage1_reference ref = stage1_naive(text);
    std::vector<zvl_json_stage1_block> blocks(ref.blocks.size() + 1);
    uint64_t block_count = 99;
    int32_t flags = 0;
    int32_t result = zvl_json_stage1_masks_scalar(text.data(), text.size(), blocks.data(), &block_count, &flags);
    ASSERT_EQ(result, ref.result) << testing::PrintToString(text);
    ASSERT_EQ(flags, ref.flags) << testing::PrintToString(text);
    ASSERT_EQ(block_count, ref.blocks.size()) << testing::PrintToString(text);
    for (size_t b = 0; b < ref.blocks.size(); ++b) {
        ASSERT_EQ(blocks[b].quotes, ref.blocks[b].quotes) << testing::PrintToString(text);
        ASSERT_EQ(blocks[b].backslashes, ref.blocks[b].backslashes) << testing::PrintToString(text);
        ASSERT_EQ(blocks[b].operators, ref.blocks[b].operators) << testing::PrintToString(text);
        ASSERT_EQ(blocks[b].controls, ref.blocks[b].controls) << testing::PrintToString(text);
        ASSERT_EQ(blocks[b].structurals, ref.blocks[b].structurals) << testing::PrintToString(text) << " block " << b;
    }
    std::vector<uint32_t> positions(text.size() + 1);
    uint64_t count = 99;
    int32_t flags2 = 0;
    ASSERT_EQ(zvl_json_stage1_scalar(text.data(), text.size(), positions.data(), &count, &flags2), ref.result);
    ASSERT_EQ(flags2, ref.flags);
    positions.resize(count);
    ASSERT_EQ(positions, ref.structurals) << testing::PrintToString(text);
}

TEST(JsonStage1, Examples) {
    std::string text = "{\"a\\\"b\":[1]}";
    std::vector<uint32_t> positions(text.size());
    uint64_t count = 0;
    int32_t flags = 0;
    ASSERT_EQ(zvl_json_stage1_scalar(text.data(), text.size(), positions.data(), &count, &flags), 1);
    positions.resize(count);
    EXPECT_EQ(positions, (std::vector<uint32_t>{0, 1, 7, 8, 10, 11}));
    EXPECT_EQ(flags, ZVL_JSON_FLAG_BACKSLASH);

    uint64_t blocks_written = 9;
    zvl_json_stage1_block block{};
    flags = 0;
    EXPECT_EQ(zvl_json_stage1_masks_scalar("\"a", 2, &block, &blocks_written, &flags), 0);
    EXPECT_EQ(blocks_written, 1u);
    EXPECT_EQ(block.structurals, 1u);

    flags = 0;
    EXPECT_EQ(zvl_json_stage1_masks_scalar("", 0, &block, &blocks_written, &flags), 1);
    EXPECT_EQ(blocks_written, 0u);

    flags = 0;
    EXPECT_EQ(zvl_json_stage1_masks_scalar("[\"\t\"]", 5, &block, &blocks_written, &flags), 1);
    EXPECT_EQ(flags, ZVL_JSON_FLAG_CONTROL_IN_STRING);

    for (const char *s : {"", "\"", "\\", "\\\"", "[\"\\\\\"]", "\"\\\\\\\"\"", "{\"k\":\"v\"}"}) expect_stage1(s);
}

// Escapes, quotes and strings that straddle block boundaries.
TEST(JsonStage1, BlockBoundaries) {
    for (size_t at = 55; at < 75; ++at) {
        for (const char *piece : {"\\\"", "\\\\\"", "\\\\\\\"", "\"x\"", "\\", "\"\\", "\"\t\""}) {
            std::string text(at, 'a');
            text.insert(0, "[");
            text += piece;
            text += ",\"q\":[1]}\"";
            expect_stage1(text);
            std::string long_text = text + std::string(64, '\\') + text;
            expect_stage1(long_text);
        }
    }
}

TEST(JsonStage1, RandomBuffersMatchTheReference) {
    const char alphabet[] = {'"', '"', '\\', '\\', '{',  '}',  '[',  ']',    ',',
                             ':', 'a', '1',  ' ',  '\n', '\t', 0x01, '\x80', '\xff'};
    std::mt19937_64 random(99);
    for (int i = 0; i < 20000; ++i) {
        size_t len = random() % 300;
        std::string text;
        for (size_t j = 0; j < len; ++j) text += alphabet[random() % sizeof alphabet];
        expect_stage1(text);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// ---- stepper ----------------------------------------------------------------------

// Steps through text from offset 0; tokens as "kind" characters, keys marked
// with "k", then "=closed" or "=refused".
std::string step_all(const std::string &text, uint32_t max_depth = 1000, bool string_keys = false,
                     json_stepper *out = nullptr) {
    json_stepper s;
    if (!json_stepper_init(&s, text.data(), text.size(), 0, max_depth)) return "init refused";
    s.string_keys = string_keys ? 1 : 0;
    std::string trace;
    json_token t;
    int r;
    while ((r = json_stepper_next(&s, &t)) == json_step_token) {
        trace += static_cast<char>(t.kind);
        if (t.is_key) trace += 'k';
    }
    trace += r == json_step_closed ? "=closed" : "=refused";
    if (out) *out = s;
    return trace;
}

TEST(JsonStepper, TransitionTable) {
    struct row {
        std::string text;
        bool string_keys;
        std::string trace;
    };
    const row rows[] = {
        {"[]", false, "=closed"},
        {"{}", false, "=closed"},
        {"[1, \"a\", true, null, 2.5]", false, "#\"aa#=closed"},
        {"{\"a\": [1, {\"b\": false}], \"c\": \"d\"}", false, "\"k[#{\"ka}]\"k\"=closed"},
        {"[1,]", false, "#=refused"},
        {"[,1]", false, "=refused"},
        {"[1 2]", false, "#=refused"},
        {"[1 [2]]", false, "#=refused"},
        {"{\"a\" [1]}", false, "\"k=refused"},
        {"{\"a\":1,}", false, "\"k#=refused"},
        {"{\"a\"}", false, "\"k=refused"},
        {"{\"a\":}", false, "\"k=refused"},
        {"[}", false, "=refused"},
        {"{]", false, "=refused"},
        {"{1: 2}", false, "#k#=closed"},  // any scalar key without string_keys
        {"{1: 2}", true, "=refused"},
        {"{\"a\": 1, 2: 3}", false, "\"k#=refused"},  // after ",", only a string key
        {"{[1]: 2}", false, "[k#]#=closed"},          // a container key expects ":" after it
        {"{[1]}", false, "[k#]=refused"},
        {"{[1], 2}", false, "[k#]=refused"},
        {"{[1]: 2}", true, "=refused"},
        {"{\"a\": 1, [2]: 3}", false, "\"k#[k#]#=closed"},
        {"[\"a\\nb\"]", false, "\"=closed"},
        {"[\"a\\x\"]", false, "=refused"},
        {"[trux]", false, "=refused"},
        {"[01]", false, "=refused"},
        {"[1]  trailing", false, "#=closed"},  // the caller looks past the bracket
        {"[1", false, "#=refused"},
        {"[1,\t2]", false, "#=refused"},
        {"[1:2]", false, "#=refused"},
    };
    for (const row &r : rows) EXPECT_EQ(step_all(r.text, 1000, r.string_keys), r.trace) << r.text;
}

TEST(JsonStepper, TokensCarryTheirValues) {
    std::string text = "[\"a\\\"\", -12, 1.5, 18446744073709551616, true]";
    json_stepper s;
    ASSERT_TRUE(json_stepper_init(&s, text.data(), text.size(), 0, 10));
    json_token t;
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_token);
    EXPECT_EQ(t.kind, '"');
    EXPECT_EQ(t.start, 1u);
    EXPECT_EQ(t.end, 6u);
    EXPECT_EQ(t.has_escape, 1);
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_token);
    EXPECT_EQ(t.kind, '#');
    EXPECT_EQ(t.number_kind, 0u);
    EXPECT_EQ(t.int_value, -12);
    EXPECT_EQ(t.is_float, 0);
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_token);
    EXPECT_EQ(t.number_kind, 1u);
    EXPECT_EQ(t.double_value, 1.5);
    EXPECT_EQ(t.is_float, 1);
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_token);
    EXPECT_EQ(t.number_kind, 2u);
    EXPECT_EQ(t.double_value, 18446744073709551616.0);
    EXPECT_EQ(t.is_float, 0);
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_token);
    EXPECT_EQ(t.kind, 'a');
    EXPECT_EQ(t.start, text.size() - 5);
    EXPECT_EQ(t.end, text.size() - 1);
    ASSERT_EQ(json_stepper_next(&s, &t), json_step_closed);
    EXPECT_EQ(s.close, text.size() - 1);
    EXPECT_EQ(s.cursor, text.size());
    EXPECT_EQ(json_stepper_next(&s, &t), json_step_closed);
}

TEST(JsonStepper, InitNeedsABracket) {
    json_stepper s;
    EXPECT_FALSE(json_stepper_init(&s, "x", 1, 0, 10));
    EXPECT_FALSE(json_stepper_init(&s, "[", 1, 1, 10));
    EXPECT_TRUE(json_stepper_init(&s, "a [", 3, 2, 10));
    EXPECT_EQ(s.cursor, 3u);
    EXPECT_EQ(s.depth, 1u);
}

TEST(JsonStepper, DepthLimits) {
    auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_EQ(step_all(nested(256), 1000).substr(510), "=closed");
    EXPECT_EQ(step_all(nested(257), 1000).substr(255), "=refused");
    EXPECT_EQ(step_all(nested(3), 3).substr(2), "]]=closed");
    EXPECT_EQ(step_all(nested(4), 3).substr(2), "=refused");
}

TEST(JsonStepper, FlagsForLongKeysAndTabs) {
    json_stepper s;
    std::string key1022(1022, 'k');
    step_all("{\"" + key1022 + "\": 1}", 10, false, &s);
    EXPECT_EQ(s.long_key, 0);  // 1024 bytes with the quotes
    step_all("{\"" + key1022 + "k\": 1}", 10, false, &s);
    EXPECT_EQ(s.long_key, 1);
    step_all("[\"" + key1022 + "kk\"]", 10, false, &s);
    EXPECT_EQ(s.long_key, 0);  // a value, not a key
    EXPECT_EQ(step_all("[1,\t2]", 10, false, &s), "#=refused");
    EXPECT_EQ(s.saw_tab, 1);
}

}  // namespace
