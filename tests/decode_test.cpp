// Input decoding: byte order marks, UTF-16/32 conversion, the UTF-8 and
// printable checks (against an independent decoder), the line-break rewrite
// and allocation failures.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/decode.hpp"

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

std::string hex(const std::string &s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::string utf16(const std::u16string &units, bool big_endian) {
    std::string s;
    for (char16_t u : units) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        if (big_endian)
            s += {hi, lo};
        else
            s += {lo, hi};
    }
    return s;
}

std::string utf32(const std::u32string &units, bool big_endian) {
    std::string s;
    for (char32_t u : units) {
        char b[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                     static_cast<char>(u)};
        if (big_endian)
            s.append(b, 4);
        else
            s += {b[3], b[2], b[1], b[0]};
    }
    return s;
}

const std::string bom8 = bytes({0xEF, 0xBB, 0xBF});
const std::string bom16le = bytes({0xFF, 0xFE});
const std::string bom16be = bytes({0xFE, 0xFF});
const std::string bom32le = bytes({0xFF, 0xFE, 0x00, 0x00});
const std::string bom32be = bytes({0x00, 0x00, 0xFE, 0xFF});

struct decoded {
    int status;
    std::string text;
    bool owned;
    bool in_place;  // the result points into the input
    std::string message;
    uint64_t offset;
};

decoded decode(const std::string &input) {
    zarvel_error_clear(zarvel_error_current());
    char *owned = nullptr;
    const char *text = nullptr;
    uint64_t length = 0;
    decoded d{};
    d.status = zarvel_decode_input(input.data(), input.size(), &owned, &text, &length);
    if (d.status == 0) {
        d.text.assign(text, length);
        d.owned = owned != nullptr;
        d.in_place = text >= input.data() && text <= input.data() + input.size();
        if (owned) {
            EXPECT_EQ(owned, text);
            zvl::deallocate(&zarvel_default_allocator, owned);
        }
    }
    d.message = zarvel_error_current()->message;
    d.offset = zarvel_error_current()->offset;
    return d;
}

// ---- an independent UTF-8 reference ---------------------------------------

// Decodes by bit patterns and value ranges (not by lead-byte tables): the
// offset of the first character that is ill-formed or, with printable set,
// outside the printable set; nullopt when the whole text is fine.
bool reference_printable(uint32_t cp) {
    if (cp == 0x09 || cp == 0x0A || cp == 0x0D) return true;
    if (cp >= 0x20 && cp <= 0x7E) return true;
    if (cp == 0x85) return true;
    if (cp >= 0xA0 && cp <= 0xFFFD) return !(cp >= 0xD800 && cp <= 0xDFFF);
    return cp >= 0x10000 && cp <= 0x10FFFF;
}

std::optional<uint64_t> reference_first_bad(const std::string &s, bool printable) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t cp;
        if (b < 0x80)
            n = 1, cp = b;
        else if ((b >> 5) == 0x6)
            n = 2, cp = b & 0x1F;
        else if ((b >> 4) == 0xE)
            n = 3, cp = b & 0x0F;
        else if ((b >> 3) == 0x1E)
            n = 4, cp = b & 0x07;
        else
            return i;
        if (i + n > s.size()) return i;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c >> 6) != 0x2) return i;
            cp = cp << 6 | (c & 0x3F);
        }
        static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        if (printable && !reference_printable(cp)) return i;
        i += n;
    }
    return std::nullopt;
}

std::optional<uint64_t> validate(const std::string &s, bool printable) {
    uint64_t offset = ~uint64_t{0};
    if (zarvel_validate_utf8(s.data(), s.size(), &offset, printable)) return std::nullopt;
    return offset;
}

void expect_like_reference(const std::string &s) {
    for (bool printable : {false, true}) {
        ASSERT_EQ(validate(s, printable), reference_first_bad(s, printable))
            << "printable=" << printable << " input: " << hex(s);
    }
}

void put_utf8(std::string &s, uint32_t cp) {
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | cp >> 6);
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | cp >> 12);
        s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | cp >> 18);
        s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// ---- validator -------------------------------------------------------------

TEST(Utf8Validator, TableOfCases) {
    struct row {
        std::string input;
        std::optional<uint64_t> plain;      // without the printable rule
        std::optional<uint64_t> printable;  // with it
    } rows[] = {
        {"", std::nullopt, std::nullopt},
        {"plain ascii text, long enough for words\n", std::nullopt, std::nullopt},
        {"tab\there\r\n", std::nullopt, std::nullopt},
        {bytes({'a', 0x7F}), std::nullopt, 1},
        {bytes({'a', 0x00, 'b'}), std::nullopt, 1},
        {bytes({0x1B}), std::nullopt, 0},
        {bytes({0xC2, 0x85}), std::nullopt, std::nullopt},  // NEL
        {bytes({0xC2, 0x84}), std::nullopt, 0},             // C1 control
        {bytes({0xC2, 0x9F}), std::nullopt, 0},
        {bytes({0xC2, 0xA0}), std::nullopt, std::nullopt},  // no-break space
        {bytes({0xC0, 0x80}), 0, 0},                        // overlong NUL
        {bytes({0xC1, 0xBF}), 0, 0},
        {bytes({0xE0, 0x9F, 0xBF}), 0, 0},                        // overlong
        {bytes({0xE0, 0xA0, 0x80}), std::nullopt, std::nullopt},  // U+0800
        {bytes({0xED, 0xA0, 0x80}), 0, 0},                        // surrogate
        {bytes({0xED, 0x9F, 0xBF}), std::nullopt, std::nullopt},  // U+D7FF
        {bytes({0xEF, 0xBF, 0xBD}), std::nullopt, std::nullopt},  // U+FFFD
        {bytes({0xEF, 0xBF, 0xBE}), std::nullopt, 0},             // U+FFFE
        {bytes({0xEF, 0xBF, 0xBF}), std::nullopt, 0},             // U+FFFF
        {bytes({0xF0, 0x8F, 0xBF, 0xBF}), 0, 0},                  // overlong
        {bytes({0xF0, 0x90, 0x80, 0x80}), std::nullopt, std::nullopt},
        {bytes({0xF4, 0x8F, 0xBF, 0xBF}), std::nullopt, std::nullopt},  // U+10FFFF
        {bytes({0xF4, 0x90, 0x80, 0x80}), 0, 0},                        // above 10FFFF
        {bytes({0xF5, 0x80, 0x80, 0x80}), 0, 0},
        {bytes({0xFF}), 0, 0},
        {bytes({0x80}), 0, 0},
        {"abc" + bytes({0xE2, 0x82}), 3, 3},        // cut by the end
        {"abc" + bytes({0xE2, 0x41, 0x41}), 3, 3},  // bad continuation
        {std::string(37, 'x') + bytes({0xF0, 0x9F, 0x98}), 37, 37},
        {std::string(40, 'y') + "\x7f" + std::string(20, 'z'), std::nullopt, 40},
    };
    for (const row &r : rows) {
        EXPECT_EQ(validate(r.input, false), r.plain) << "input: " << hex(r.input);
        EXPECT_EQ(validate(r.input, true), r.printable) << "input: " << hex(r.input);
        expect_like_reference(r.input);
    }
}

TEST(Utf8Validator, EveryTwoAndThreeByteSequenceMatchesReference) {
    std::string s(3, '\0');
    for (int a = 0; a < 256; ++a) {
        s.resize(1);
        s[0] = static_cast<char>(a);
        expect_like_reference(s);
        for (int b = 0; b < 256; ++b) {
            s.resize(2);
            s[1] = static_cast<char>(b);
            expect_like_reference(s);
            if (a < 0xC0) continue;  // ASCII and stray continuations decide at byte 0 or 1
            s.resize(3);
            for (int c = 0; c < 256; ++c) {
                s[2] = static_cast<char>(c);
                expect_like_reference(s);
            }
        }
    }
}

TEST(Utf8Validator, RandomStringsMatchReference) {
    std::mt19937_64 random(20261208);
    for (int round = 0; round < 200000; ++round) {
        std::string s;
        const int pieces = static_cast<int>(random() % 12);
        for (int p = 0; p < pieces; ++p) {
            switch (random() % 8) {
            case 0: s.append(random() % 20, 'a' + static_cast<char>(random() % 26)); break;
            case 1: s += static_cast<char>(random() % 256); break;  // any byte, every lead byte
            case 2: s += "\n\t\r"[random() % 3]; break;
            case 3: put_utf8(s, static_cast<uint32_t>(0x80 + random() % 0x780)); break;
            case 4: {
                const auto cp = static_cast<uint32_t>(0x800 + random() % 0xF800);
                if (cp < 0xD800 || cp > 0xDFFF) put_utf8(s, cp);
                break;
            }
            case 5: put_utf8(s, static_cast<uint32_t>(0x10000 + random() % 0x100000)); break;
            case 6: {  // a character cut short
                std::string c;
                put_utf8(c, static_cast<uint32_t>(0x80 + random() % 0x10FF80));
                s += c.substr(0, 1 + random() % c.size());
                break;
            }
            default: s += static_cast<char>(0x80 + random() % 64); break;  // continuation
            }
        }
        expect_like_reference(s);
        if (HasFatalFailure()) return;
    }
}

TEST(Utf8Validator, FaultAtEveryPositionAfterAsciiRuns) {
    // The word-at-a-time skip must stop exactly where the first bad byte is,
    // whatever its position within a word.
    for (size_t prefix = 0; prefix < 40; ++prefix) {
        for (int bad : {0x00, 0x08, 0x7F, 0x80, 0xC2, 0xFF}) {
            std::string s(prefix, 'k');
            s += static_cast<char>(bad);
            s += std::string(17, 'k');
            expect_like_reference(s);
            EXPECT_EQ(validate(s, true), std::optional<uint64_t>(prefix)) << hex(s);
        }
    }
}

// ---- line-break rewrite ------------------------------------------------------

TEST(NormalizeBreaks, TableOfCases) {
    const std::string nel = bytes({0xC2, 0x85}), ls = bytes({0xE2, 0x80, 0xA8}), ps = bytes({0xE2, 0x80, 0xA9});
    struct row {
        std::string input;
        std::optional<std::string> output;  // nullopt: nothing to rewrite
    } rows[] = {
        {"", std::nullopt},
        {"a: b\nc: d\n", std::nullopt},
        {"caf" + bytes({0xC3, 0xA9}), std::nullopt},
        {bytes({0xE2, 0x80, 0xA7}), std::nullopt},  // neighbour of LS
        {bytes({0xC2, 0x86}), std::nullopt},
        {"a: b" + ls + "c: d", "a: b\nc: d"},
        {nel, "\n"},
        {ps + ps + nel, "\n\n\n"},
        {std::string(30, 'x') + ls + std::string(30, 'y') + nel + "z",
         std::string(30, 'x') + "\n" + std::string(30, 'y') + "\nz"},
        {"cut " + bytes({0xE2, 0x80}), std::nullopt},
    };
    for (const row &r : rows) {
        uint64_t length = 12345;
        char *out = zarvel_normalize_breaks(&zarvel_default_allocator, r.input.data(), r.input.size(), &length);
        if (!r.output) {
            EXPECT_EQ(out, nullptr) << hex(r.input);
            continue;
        }
        ASSERT_NE(out, nullptr) << hex(r.input);
        EXPECT_EQ(std::string(out, length), *r.output) << hex(r.input);
        EXPECT_EQ(out[length], '\0');
        zvl::deallocate(&zarvel_default_allocator, out);
    }
}

// ---- decoding ------------------------------------------------------------------

TEST(DecodeInput, EncodingsAndMarks) {
    struct row {
        std::string name;
        std::string input;
        std::string text;
        bool owned;
    } rows[] = {
        {"utf8 plain", "a: 1\n", "a: 1\n", false},
        {"utf8 bom", bom8 + "a: 1", "a: 1", false},
        {"utf8 bom only", bom8, "", false},
        {"empty", "", "", false},
        {"utf8 multibyte", "k: " + bytes({0xC3, 0xA9}), "k: " + bytes({0xC3, 0xA9}), false},
        {"utf16le", bom16le + utf16(u"a: 1", false), "a: 1", true},
        {"utf16be", bom16be + utf16(u"a: 1", true), "a: 1", true},
        {"utf16 bom only", bom16le, "", true},
        {"utf16 pair", bom16be + utf16(u"\U0001F600", true), bytes({0xF0, 0x9F, 0x98, 0x80}), true},
        {"utf16 bmp", bom16le + utf16(u"\u00e9\u4e2d", false), bytes({0xC3, 0xA9, 0xE4, 0xB8, 0xAD}), true},
        {"utf32le", bom32le + utf32(U"x: \U0010FFFF", false), "x: " + bytes({0xF4, 0x8F, 0xBF, 0xBF}), true},
        {"utf32be", bom32be + utf32(U"x: y", true), "x: y", true},
        {"utf32 bom only", bom32le, "", true},
        {"utf16 with LS", bom16le + utf16(u"a\u2028b", false), "a" + bytes({0xE2, 0x80, 0xA8}) + "b", true},
        {"utf32 with NEL", bom32be + utf32(U"a\u0085b", true), "a" + bytes({0xC2, 0x85}) + "b", true},
        // Three bytes FF FE 00 are too short for the UTF-32 mark: UTF-16LE
        // with one odd byte.
    };
    for (const row &r : rows) {
        const decoded d = decode(r.input);
        ASSERT_EQ(d.status, 0) << r.name << ": " << d.message;
        EXPECT_EQ(d.text, r.text) << r.name;
        EXPECT_EQ(d.owned, r.owned) << r.name;
        if (!r.owned) {
            EXPECT_TRUE(d.in_place) << r.name;
        }
    }
}

TEST(DecodeInput, Failures) {
    struct row {
        std::string name;
        std::string input;
        std::string message;
        uint64_t offset;
    } rows[] = {
        {"utf16 text without mark", utf16(u"a: 1", false), "ill-formed or non-printable UTF-8 at byte 1", 1},
        {"utf16 odd count", bom16le + utf16(u"ab", false) + "x", "ill-formed input encoding", 4},
        {"three bytes FF FE 00", bytes({0xFF, 0xFE, 0x00}), "ill-formed input encoding", 0},
        {"utf16 lone low surrogate", bom16le + utf16(u"a", false) + bytes({0x00, 0xDC}), "ill-formed input encoding",
         2},
        {"utf16 high at end", bom16be + utf16(u"ab", true) + bytes({0xD8, 0x00}), "ill-formed input encoding", 4},
        {"utf16 high then other", bom16be + bytes({0xD8, 0x3D}) + utf16(u"x", true), "ill-formed input encoding", 2},
        {"utf16 high then high", bom16le + bytes({0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}), "ill-formed input encoding", 2},
        {"utf32 above max", bom32le + utf32(U"ab", false) + bytes({0x00, 0x00, 0x11, 0x00}),
         "ill-formed input encoding", 8},
        {"utf32 surrogate", bom32be + bytes({0x00, 0x00, 0xD8, 0x00}), "ill-formed input encoding", 0},
        {"utf32 cut unit", bom32le + utf32(U"ab", false) + bytes({0x41, 0x00}), "ill-formed input encoding", 8},
        {"utf16 control", bom16le + utf16(u"ab\u0007", false), "non-printable character at byte 2", 2},
        {"utf32 C1 control", bom32be + utf32(U"\u00e9\u0081", true), "non-printable character at byte 2", 2},
        {"utf16 U+FFFE", bom16be + utf16(u"\ufffe", true), "non-printable character at byte 0", 0},
        {"utf16 nul", bom16le + utf16(std::u16string(u"a\0", 2), false), "non-printable character at byte 1", 1},
        // FF FE 00 00 is the UTF-32LE mark, so a UTF-16LE text cannot start
        // with U+0000; this one is an empty UTF-32 text plus a cut unit.
        {"utf32 mark wins", bom16le + bytes({0x00, 0x00, 0x41}), "ill-formed input encoding", 0},
        {"DEL", "a: b\x7f", "ill-formed or non-printable UTF-8 at byte 4", 4},
        {"after utf8 bom", bom8 + "ab" + bytes({0xC3}), "ill-formed or non-printable UTF-8 at byte 2", 2},
        {"overlong", "key: " + bytes({0xC0, 0xAF}), "ill-formed or non-printable UTF-8 at byte 5", 5},
    };
    for (const row &r : rows) {
        const decoded d = decode(r.input);
        EXPECT_EQ(d.status, 4) << r.name;
        EXPECT_EQ(d.message, r.message) << r.name;
        EXPECT_EQ(d.offset, r.offset) << r.name;
        EXPECT_EQ(zarvel_error_current()->code, 4u) << r.name;
        EXPECT_EQ(zarvel_error_current()->line, 0u) << r.name;
        EXPECT_EQ(zarvel_error_current()->column, 0u) << r.name;
    }
}

TEST(DecodeInput, AsciiIsHandedOnUncopied) {
    const std::string input = "name: zarvel\nitems: [1, 2, 3]\n";
    char *owned = reinterpret_cast<char *>(1);
    const char *text = nullptr;
    uint64_t length = 0;
    ASSERT_EQ(zarvel_decode_input(input.data(), input.size(), &owned, &text, &length), 0);
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(text, input.data());
    EXPECT_EQ(length, input.size());
}

// Under YAML 1.1 rules; in 1.2 the separator is content and stays in place.
TEST(DecodeInput, LineSeparatorBecomesLineFeedInNulTerminatedCopy) {
    const std::string input = "a: b" + bytes({0xE2, 0x80, 0xA8}) + "c: d";
    char *owned = nullptr;
    const char *text = nullptr;
    uint64_t length = 0;
    ASSERT_EQ(zarvel_decode_input(input.data(), input.size(), &owned, &text, &length), 0);
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(text, input.data());
    ASSERT_EQ(zarvel_decode_input(input.data(), input.size(), &owned, &text, &length, true), 0);
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(length, input.size() - 2);
    EXPECT_EQ(std::string(text, length), "a: b\nc: d");
    EXPECT_EQ(text[length], '\0');
    zvl::deallocate(&zarvel_default_allocator, owned);
}

TEST(DecodeInput, InvalidArguments) {
    char *owned = nullptr;
    const char *text = nullptr;
    uint64_t length = 0;
    zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, "previous");
    EXPECT_EQ(zarvel_decode_input(nullptr, 3, &owned, &text, &length), 6);
    EXPECT_EQ(zarvel_decode_input("a", 1, nullptr, &text, &length), 6);
    EXPECT_STREQ(zarvel_error_current()->message, "previous");
    EXPECT_EQ(zarvel_decode_input(nullptr, 0, &owned, &text, &length), 0);
    EXPECT_EQ(length, 0u);
}

// ---- allocation failures -------------------------------------------------------

TEST(DecodeInput, EveryAllocationFailureIsReportedAndReleased) {
    struct row {
        std::string name;
        std::string input;
        std::vector<int> statuses;  // expected when allocation 1, 2, ... fails
    } rows[] = {
        {"utf16 conversion", bom16le + utf16(u"a: 1", false), {4}},
        {"utf32 conversion", bom32be + utf32(U"a: 1", true), {4}},
        // A text that still held LS would read it as content, not as a line
        // break, so a failed rewrite is an out-of-memory failure.
        {"utf8 rewrite", "a" + bytes({0xE2, 0x80, 0xA9}) + "b", {2}},
        {"utf16 rewrite", bom16be + utf16(u"a\u2029b", true), {4, 2}},
    };
    for (const row &r : rows) {
        for (uint64_t n = 1;; ++n) {
            zvl::testing::fail_allocation(n);
            const decoded d = decode(r.input);
            const uint64_t seen = zvl::testing::fail_allocation(0);
            if (d.status == 0) {
                EXPECT_LT(seen, n) << r.name << " failure " << n << " was not reported";
                break;
            }
            ASSERT_LE(n, r.statuses.size()) << r.name << " fails beyond its allocations";
            const int status = r.statuses[n - 1];
            EXPECT_EQ(d.status, status) << r.name << " allocation " << n;
            EXPECT_EQ(d.message, status == 2 ? "out of memory" : "ill-formed input encoding")
                << r.name << " allocation " << n;
        }
    }
    zvl::testing::fail_allocation(1);
    EXPECT_EQ(zarvel_normalize_breaks(&zarvel_default_allocator, "\xC2\x85", 2, nullptr), nullptr);
    zvl::testing::fail_allocation(0);
}

}  // namespace
