// The indexed tape builder and its classifiers: every vector classifier
// returns exactly the portable classifier's offsets and flags, its UTF-8
// check agrees with the library's validator, and the builder takes exactly
// the texts the byte-at-a-time column builder takes, with the same entries.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/utf8.hpp"
#include "core/stage1.hpp"
#include "json/tape.hpp"
#include "yaml/decode.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

using zvl::json::index_state;
using zvl::json::index_variant;

struct classified {
    std::vector<uint32_t> offsets;
    index_state state;
};

// The offsets of every chunk; the byte kept with each must be the text's.
classified classify_all(const index_variant &variant, const char *text, uint64_t len) {
    classified out;
    std::vector<uint16_t> offsets(zvl::json::index_chunk_room + 64);
    std::vector<uint8_t> bytes(zvl::json::index_chunk_room + 64);
    while (out.state.offset < len) {
        uint64_t chunk = out.state.offset;
        uint32_t n = variant.fill(out.state, text, len, offsets.data(), bytes.data());
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t at = chunk + offsets[i];
            EXPECT_EQ(bytes[i], static_cast<uint8_t>(text[at])) << variant.name << " at " << at;
            out.offsets.push_back(static_cast<uint32_t>(at));
        }
    }
    return out;
}

const char alphabet[] = {'"',    '"',    '\\',   '\\',   '{',  '}',  '[',  ']',  ',',    ':',    'a',    '1',    ' ',
                         '\n',   '\t',   '\r',   0x01,   0x0C, 0x1A, 0x1F, 0x20, '\x7f', '\x80', '\xbf', '\xc3', '\xe2',
                         '\xed', '\xf0', '\xf4', '\xff', 'u',  '0',  'D',  '8',  't',    '-',    '+',    'e',    '.'};

std::string random_text(std::mt19937_64 &random, size_t len) {
    std::string s;
    bool sparse = random() & 1;  // long plain runs, so that vector loops run long
    for (size_t i = 0; i < len; ++i) s += sparse && random() % 8 ? 'x' : alphabet[random() % sizeof alphabet];
    return s;
}

// The portable validator: the vector ones share their tables with the
// classifiers, so they could not tell a wrong table.
bool utf8_ok(const std::string &s) {
    const auto *text = reinterpret_cast<const uint8_t *>(s.data());
    return zvl::utf8_variants()[0].first_invalid(text, s.size(), false) == s.size();
}

void expect_same_classes(const std::string &text, const char *at) {
    const index_variant &portable = zvl::json::index_variants()[0];
    classified want = classify_all(portable, at, text.size());
    for (const index_variant &variant : zvl::json::index_variants()) {
        if (!variant.supported()) continue;
        classified got = classify_all(variant, at, text.size());
        ASSERT_EQ(got.offsets, want.offsets) << variant.name << " " << testing::PrintToString(text);
        ASSERT_EQ(got.state.string_open, want.state.string_open) << variant.name << " " << testing::PrintToString(text);
        ASSERT_EQ(got.state.control_in_string, want.state.control_in_string)
            << variant.name << " " << testing::PrintToString(text);
        ASSERT_EQ(got.state.special, want.state.special) << variant.name << " " << testing::PrintToString(text);
        if (variant.checks_utf8) {
            ASSERT_EQ(!got.state.bad_utf8, utf8_ok(text)) << variant.name << " " << testing::PrintToString(text);
        }
    }
}

TEST(JsonIndexed, VariantsMatchThePortableClassifier) {
    std::mt19937_64 random(77);
    std::vector<char> storage(512 + 64 + 8);
    for (size_t len = 0; len <= 512; ++len) {
        for (size_t align : {0, 1, 3, 7, 13, 32, 63}) {
            for (int round = 0; round < 3; ++round) {
                std::string text = random_text(random, len);
                char *at = storage.data() + align;
                std::memcpy(at, text.data(), len);
                expect_same_classes(text, at);
            }
        }
    }
}

TEST(JsonIndexed, ChunksJoinSeamlessly) {
    // Texts longer than one chunk, with strings and escapes across chunk and
    // block boundaries.
    std::mt19937_64 random(78);
    for (size_t len : {4095, 4096, 4097, 8191, 8192, 8193, 12289, 16385}) {
        for (int round = 0; round < 4; ++round) {
            std::string text = random_text(random, len);
            expect_same_classes(text, text.data());
        }
    }
}

// Builds random byte strings out of UTF-8 pieces, good and bad.
std::string random_utf8(std::mt19937_64 &random, size_t pieces) {
    static const char *const good[] = {"a",
                                       " ",
                                       "\xc3\xa9",
                                       "\xe2\x82\xac",
                                       "\xf0\x9f\x98\x80",
                                       "\xed\x9f\xbf",
                                       "\xee\x80\x80",
                                       "\xf4\x8f\xbf\xbf",
                                       "\xc2\x80",
                                       "\xe0\xa0\x80",
                                       "\xf0\x90\x80\x80"};
    std::string s;
    for (size_t i = 0; i < pieces; ++i) {
        if (random() % 16 == 0)
            s += static_cast<char>(0x80 + random() % 0x80);  // any high byte: often an error
        else if (random() % 4 == 0)
            s += std::string(random() % 40, 'x');
        else
            s += good[random() % (sizeof good / sizeof *good)];
    }
    return s;
}

TEST(JsonIndexed, Utf8CheckAgreesWithTheValidator) {
    std::mt19937_64 random(79);
    for (int round = 0; round < 20000; ++round) {
        std::string text = random_utf8(random, 1 + random() % 60);
        expect_same_classes(text, text.data());
    }
}

TEST(JsonIndexed, Utf8CheckOnEveryTwoAndThreeByteSequence) {
    // Every pair of bytes, at offsets that put it inside a vector, across the
    // two halves of a block, across blocks and at the very end.
    for (size_t offset : {0, 31, 62}) {
        for (int a = 0x80; a < 0x100; ++a) {
            for (int b = 0; b < 0x100; ++b) {
                std::string text(offset, 'x');
                text += static_cast<char>(a);
                text += static_cast<char>(b);
                expect_same_classes(text, text.data());
                if (HasFatalFailure()) return;
            }
        }
    }
    for (int a = 0xE0; a < 0x100; ++a)
        for (int b = 0x70; b < 0xD0; ++b)
            for (int c : {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF0})
                for (size_t offset : {0, 61}) {
                    std::string text(offset, 'x');
                    text += static_cast<char>(a);
                    text += static_cast<char>(b);
                    text += static_cast<char>(c);
                    text += std::string(1 + (b & 3), 'y');
                    expect_same_classes(text, text.data());
                    if (HasFatalFailure()) return;
                }
}

// ---- the builder -----------------------------------------------------------------

struct tape_copy {
    int result = -1;
    std::vector<uint8_t> types;
    std::vector<uint32_t> starts, lens;
};

tape_copy copy_of(int result, zarvel_tape &tape) {
    tape_copy c;
    c.result = result;
    if (result == zvl::tape_built) {
        zarvel_tape_columns(&tape);
        c.types.assign(tape.types, tape.types + tape.count);
        c.starts.assign(tape.starts, tape.starts + tape.count);
        c.lens.assign(tape.lens, tape.lens + tape.count);
    }
    zarvel_tape_free(&tape);
    return c;
}

uint64_t skip_ws(const std::string &s) {
    uint64_t p = 0;
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) ++p;
    return p;
}

bool has_byte_from_7f(const std::string &s) {
    for (char c : s)
        if (static_cast<uint8_t>(c) >= 0x7F) return true;
    return false;
}

// The byte-at-a-time column builder, as the strict parse runs it: 256 levels
// for texts of bytes below 0x7F, 255 (the validator's) for the others.
tape_copy reference(const std::string &s, uint64_t root, bool document_rule) {
    zarvel_tape tape{};
    bool tab = s.find('\t') != std::string::npos;
    bool high = false;
    for (char c : s) high = high || static_cast<uint8_t>(c) >= 0x80;
    // The JSON document road allows the 256th level to texts without tabs
    // and bytes of 0x80 and above.
    uint32_t levels = (document_rule ? tab || high : has_byte_from_7f(s)) ? 255 : 256;
    int r = zvl::tape_build_columns(s.data(), s.size(), root, &tape, zvl::column_mode::plain_utf8, true, levels);
    return copy_of(r, tape);
}

void expect_same_tape(const std::string &s) {
    uint64_t root = skip_ws(s);
    if (root >= s.size() || (s[root] != '[' && s[root] != '{')) return;
    for (const index_variant &variant : zvl::json::index_variants()) {
        if (!variant.supported()) continue;
        for (bool packed : {false, true}) {
            tape_copy want = reference(s, root, packed);
            zarvel_tape tape{};
            int r = zvl::tape_build_indexed(s.data(), s.size(), root, &tape, packed, variant);
            if (r != zvl::tape_built) {
                zarvel_tape zero{};
                ASSERT_EQ(std::memcmp(&tape, &zero, sizeof tape), 0);
            }
            tape_copy got = copy_of(r, tape);
            ASSERT_EQ(got.result, want.result)
                << variant.name << (packed ? " packed " : " columns ") << testing::PrintToString(s);
            ASSERT_EQ(got.types, want.types) << variant.name << " " << testing::PrintToString(s);
            ASSERT_EQ(got.starts, want.starts) << variant.name << " " << testing::PrintToString(s);
            ASSERT_EQ(got.lens, want.lens) << variant.name << " " << testing::PrintToString(s);
        }
    }
}

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(JsonIndexed, ConformanceCorpusBuildsAsTheColumnBuilder) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    std::filesystem::path dir = corpus::path("json-test-suite");
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string text = read_file(entry.path());
        SCOPED_TRACE(entry.path().filename().string());
        expect_same_tape(text);
        ++files;
    }
    EXPECT_GT(files, 300);
}

TEST(JsonIndexed, Rows) {
    struct row {
        const char *text;
        bool built;
    };
    const row rows[] = {
        {"[]", true},
        {"{}", true},
        {" {\"a\" : [true, false, null, -0.5e+3]} ", true},
        {"{\"a\\\"b\":[1]}", true},
        {"[\"\\ud83d\\ude00\"]", true},
        {"[\"\\ude00\"]", false},
        {"[\"\\u12\"]", false},
        {"[\"a\\\\\"]", true},
        {"[\"a\\\\\\\"\"]", true},
        {"[\"\\x\"]", false},
        {"[1,]", false},
        {"{,}", false},
        {"{\"a\" 1}", false},
        {"{1:2}", false},
        {"[1 2]", false},
        {"[01]", false},
        {"[1.]", false},
        {"[truex]", false},
        {"[tru]", false},
        {"[\"a\"x]", false},
        {"[\"a\"\"b\"]", false},
        {"[1]x", false},
        {"[1] [", false},
        {"[\"\t\"]", false},
        {"[\x0c]", false},
        {"[1\x1a]", false},
        {"[\\\"a\"]", false},
        {"[1\\\"]", false},
        {"[\"abc", false},
        {"[\"\xc3\xa9\"]", true},
        {"[\"\xc3\"]", false},
        {"[\xc3\xa9]", false},
        {"[\"\x7f\"]", true},
        {"[1,\t2]", true},
        {"{\"a\":{\"b\":[{}]}}", true},
        {"{\"\":1,\"\":[],\"c\":\"d\"}", true},
        {"{\"a\":1\"b\":2}", false},
        {"{\"a\":\"b\":1}", false},
        {"{\"a\"::1}", false},
        {"{\"a\",1}", false},
        {"[1,\"a\":2]", false},
        {"[[1,-2.5],[3.25e1,4],{\"a\":[0 ,\n1]}]", true},
        {"[[1,\"a\"],[true,2],[1,[2]],[1,2,3]]", true},
        {"[[1,2}]", false},
        {"[[1:2]]", false},
        {"[[1,2x]]", false},
        {"[[1,01]]", false},
        {"[[1.,2]]", false},
        {"[[1,2],]", false},
        {"[[1,2]", false},
    };
    const index_variant &portable = zvl::json::index_variants()[0];
    auto check = [&](const std::string &s, bool built) {
        expect_same_tape(s);
        zarvel_tape tape{};
        int result = zvl::tape_build_indexed(s.data(), s.size(), skip_ws(s), &tape, false, portable);
        EXPECT_EQ(result == zvl::tape_built, built) << testing::PrintToString(s);
        zarvel_tape_free(&tape);
    };
    for (const row &r : rows) check(r.text, r.built);
    // The same members with every byte of them on either side of a chunk's end.
    for (size_t pad = 8170; pad < 8200; ++pad) {
        check("{" + std::string(pad, ' ') + "\"a\":1,\"b\":[2,\"c\\n\"],\"d\":-0.5}", true);
        check("{" + std::string(pad, ' ') + "\"a\":1,\"b\":[2,\"c\\n\"],\"d\":-0.5\"e\"}", false);
        check("[" + std::string(pad, ' ') + "[-65.613616999999977,1.5],[1,2]]", true);
    }
}

TEST(JsonIndexed, NestingLimits) {
    const index_variant &portable = zvl::json::index_variants()[0];
    for (int levels : {255, 256, 257}) {
        for (const char *inner : {"1", "\"\x7f\"", "\"\xc3\xa9\""}) {
            std::string s = std::string(levels, '[') + inner + std::string(levels, ']');
            expect_same_tape(s);
            zarvel_tape tape{};
            int result = zvl::tape_build_indexed(s.data(), s.size(), 0, &tape, false, portable);
            bool want =
                levels <= 255 || (levels == 256 && std::string(inner) != "\"\xc3\xa9\"" && (std::string(inner) == "1"));
            EXPECT_EQ(result == zvl::tape_built, want) << levels << " " << testing::PrintToString(inner);
            zarvel_tape_free(&tape);
        }
    }
}

// Random JSON values, printed with random whitespace.
void random_value(std::mt19937_64 &random, std::string &out, int depth) {
    auto ws = [&] {
        static const char *const spaces[] = {"", "", " ", "\n  ", "\t", "\r\n"};
        out += spaces[random() % 6];
    };
    auto string = [&] {
        static const char *const pieces[] = {
            "a",        "key",          "\\n", "\\\"", "\\\\", "\\u00e9", "\\ud83d\\ude00",
            "\xc3\xa9", "\xe2\x82\xac", "\\/", " ",    "{",    "]",       ":"};
        out += '"';
        int n = static_cast<int>(random() % 6);
        for (int i = 0; i < n; ++i) out += pieces[random() % (sizeof pieces / sizeof *pieces)];
        if (random() % 5 == 0) out += std::string(random() % 90, 'z');
        out += '"';
    };
    int pick = depth > 6 ? static_cast<int>(random() % 5) : static_cast<int>(random() % 7);
    switch (pick) {
    case 0: string(); break;
    case 1: {
        static const char *const numbers[] = {
            "0", "-0", "12", "-3.25", "1e5", "2E-7", "123456789012345678901", "0.000001", "-1.5e+300", "7"};
        out += numbers[random() % 10];
        break;
    }
    case 2: out += "true"; break;
    case 3: out += "false"; break;
    case 4: out += "null"; break;
    case 5: {
        out += '[';
        int n = static_cast<int>(random() % 5);
        for (int i = 0; i < n; ++i) {
            if (i) out += ',';
            ws();
            random_value(random, out, depth + 1);
            ws();
        }
        out += ']';
        break;
    }
    default: {
        out += '{';
        int n = static_cast<int>(random() % 5);
        for (int i = 0; i < n; ++i) {
            if (i) out += ',';
            ws();
            string();
            ws();
            out += ':';
            ws();
            random_value(random, out, depth + 1);
        }
        out += '}';
        break;
    }
    }
}

TEST(JsonIndexed, RandomDocumentsAndMutationsBuildAsTheColumnBuilder) {
    std::mt19937_64 random(80);
    const char mutations[] = {'"', '\\', ',', ':', '[', ']', '{', '}', ' ', 'x', '1', '\x01', '\x80', '\xc3', 'e'};
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        s += random() % 2 ? '[' : '{';
        s.pop_back();
        random_value(random, s, 0);
        if (s[0] != '[' && s[0] != '{') s = "[" + s + "]";
        expect_same_tape(s);
        if (HasFatalFailure()) return;
        for (int m = 0; m < 4; ++m) {
            std::string t = s;
            size_t at = random() % t.size();
            switch (random() % 3) {
            case 0: t[at] = mutations[random() % sizeof mutations]; break;
            case 1: t.erase(at, 1); break;
            default: t.insert(t.begin() + static_cast<long>(at), mutations[random() % sizeof mutations]); break;
            }
            expect_same_tape(t);
            if (HasFatalFailure()) return;
        }
    }
}

// Number tokens read from one 32-byte look when the text goes on far enough,
// by the grammar's scan otherwise: every token at every distance from the
// end of the text builds as the column builder builds it.
TEST(JsonIndexed, NumberTokensAtEveryDistanceFromTheEnd) {
    std::mt19937_64 random(81);
    std::vector<std::string> tokens = {"-65.613616999999977",
                                       "0",
                                       "-0",
                                       "0.5",
                                       "00",
                                       "01.5",
                                       "-",
                                       "1.",
                                       ".5",
                                       "1.5e3",
                                       "2E-7",
                                       "1.5.5",
                                       "-0.0",
                                       "-01",
                                       "-1.",
                                       "-.5",
                                       "-x",
                                       "7,8",
                                       "123456789012345678901234567890123",
                                       "1.234567890123456789012345678901",
                                       "1.23456789012345678901234567890"};
    const char alphabet[] = "0123456789-.eE+";
    for (int i = 0; i < 300; ++i) {
        std::string t;
        for (uint64_t n = 1 + random() % 36; n > 0; --n) t += alphabet[random() % (sizeof alphabet - 1)];
        tokens.push_back(t);
    }
    for (const std::string &token : tokens) {
        for (size_t pad = 0; pad <= 34; ++pad) {
            expect_same_tape("[" + token + "]" + std::string(pad, ' '));
            expect_same_tape("[" + token + "," + std::string(pad, '1') + "]");
            if (HasFatalFailure()) return;
        }
    }
}

TEST(JsonIndexed, BenchmarkDocumentsBuildAsTheColumnBuilder) {
    std::filesystem::path dir = std::string(ZARVEL_SHARED_DIR) + "/bench-data";
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"}) {
        std::string text = read_file(dir / name);
        if (text.empty()) continue;
        SCOPED_TRACE(name);
        expect_same_tape(text);
        // Cut at a few places: refused alike.
        for (size_t cut : {text.size() / 3, text.size() / 2, text.size() - 1}) expect_same_tape(text.substr(0, cut));
    }
}

}  // namespace
