// Every vector kernel returns exactly what its portable twin returns: random
// inputs of every length 0..512 at every alignment 0..63 (relative to a
// 64-byte boundary), in byte distributions that hit the classes the kernels
// look for. Each input sits at the very end of its allocation, so a read past
// the end shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/kernels.hpp"
#include "core/kernels_simd.hpp"
#include "core/utf8.hpp"

namespace {

// ---- inputs ------------------------------------------------------------------

constexpr size_t max_length = 512;
constexpr size_t alignments = 64;

// The bytes YAML and JSON kernels care about, with plain filler.
const char yaml_bytes[] = {'\n',   '\r',   '#',    ':',    '"',    '\'',   '\\',   '\t',   ',',    '-',   '[', ']',
                           '{',    '}',    '|',    '&',    ' ',    ' ',    ' ',    'a',    'b',    '.',   '0', '\x00',
                           '\x01', '\x08', '\x0b', '\x1f', '\x7f', '\x80', '\xc2', '\x85', '\xe2', '\xff'};

std::string random_text(std::mt19937_64 &random, size_t length, unsigned kind) {
    std::string s(length, ' ');
    for (size_t i = 0; i < length; ++i) {
        switch (kind) {
        case 0:  // dense: specials everywhere
            s[i] = yaml_bytes[random() % sizeof yaml_bytes];
            break;
        case 1:  // sparse: long plain runs, so vector loops run far
            s[i] = random() % 24 ? "abcxyz  "[random() % 8] : yaml_bytes[random() % sizeof yaml_bytes];
            break;
        case 2:  // indented YAML-like lines
            s[i] = random() % 12 ? "    key: value"[random() % 14] : "\n\n\r#:\"'\\"[random() % 8];
            break;
        case 3:  // any byte
            s[i] = static_cast<char>(random());
            break;
        default:  // one byte repeated with rare others (find_not, counts)
            s[i] = random() % 64 ? 'x' : yaml_bytes[random() % sizeof yaml_bytes];
            break;
        }
    }
    return s;
}

struct sample {
    std::string text;
    size_t alignment;
};

// One input for every length and alignment; the distribution rotates.
const std::vector<sample> &samples() {
    static const std::vector<sample> all = [] {
        std::vector<sample> v;
        std::mt19937_64 random(20261208);
        for (size_t length = 0; length <= max_length; ++length)
            for (size_t align = 0; align < alignments; ++align)
                v.push_back({random_text(random, length, static_cast<unsigned>((length + align) % 5)), align});
        return v;
    }();
    return all;
}

// The text at the given offset from a 64-byte boundary, ending its allocation.
class placed {
  public:
    placed(const std::string &text, size_t alignment) : size_(alignment + text.size()) {
        base_ = static_cast<char *>(::operator new (size_ ? size_ : 1, std::align_val_t{64}));
        data_ = base_ + alignment;
        if (!text.empty()) std::memcpy(data_, text.data(), text.size());
    }
    ~placed() { ::operator delete (base_, std::align_val_t{64}); }
    placed(const placed &) = delete;
    placed &operator=(const placed &) = delete;
    const char *data() const { return data_; }
    char *data() { return data_; }

  private:
    size_t size_;
    char *base_;
    char *data_;
};

std::string show(const std::string &text, size_t alignment) {
    return "alignment " + std::to_string(alignment) + " length " + std::to_string(text.size()) + " " +
           testing::PrintToString(text);
}

// Runs check(variant name, vector table, portable table, sample, data) for
// every supported vector variant and every sample.
template <typename Check>
void for_every_sample(Check check) {
    const zarvel_kernels &portable = zvl::portable_kernels();
    for (const zvl::kernel_variant &variant : zvl::kernel_vector_variants()) {
        if (!variant.supported()) continue;
        const zarvel_kernels &vector = *variant.table();
        for (const sample &s : samples()) {
            placed at(s.text, s.alignment);
            check(variant.name, vector, portable, s, at.data());
            if (testing::Test::HasFatalFailure()) return;
        }
    }
}

// ---- the table -----------------------------------------------------------------

TEST(KernelsSimd, TableIsTheFastestSupportedVariant) {
    const zarvel_kernels *expected = &zvl::portable_kernels();
    for (const zvl::kernel_variant &variant : zvl::kernel_vector_variants())
        if (variant.supported()) expected = variant.table();
    EXPECT_EQ(zarvel_kernels_get(), expected);
    EXPECT_EQ(zarvel_kernels_get(), zarvel_kernels_get());
}

// The stated examples hold for the published table.
TEST(KernelsSimd, PublishedTableKeepsTheStatedExamples) {
    const zarvel_kernels *k = zarvel_kernels_get();
    uint32_t escaped = 0;
    EXPECT_EQ(k->find_quote("a\\\"b\"", 5, '"', &escaped), 4);
    EXPECT_EQ(escaped, 1u);
    escaped = 0;
    EXPECT_EQ(k->find_quote("it''s'", 6, '\'', &escaped), 5);
    EXPECT_EQ(escaped, 1u);
    EXPECT_EQ(k->has_special("plain text\twith\r\nbreaks", 23), 0);
    EXPECT_EQ(k->has_special("x\x7f", 2), 1);
    EXPECT_EQ(k->has_special("x\x80", 2), 1);
    EXPECT_EQ(k->has_special("x\x01", 2), 1);
}

// ---- single-byte searches and counts ----------------------------------------------

const uint8_t probe_bytes[] = {' ', '\n', 'x', 0x00, 0xFF, '"', 0x80};

TEST(KernelsSimd, CountAndFindNotMatchPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            for (uint8_t b : probe_bytes) {
                ASSERT_EQ(v.count(data, s.text.size(), b), p.count(data, s.text.size(), b))
                    << name << " count " << int(b) << " " << show(s.text, s.alignment);
                ASSERT_EQ(v.find_not(data, s.text.size(), b), p.find_not(data, s.text.size(), b))
                    << name << " find_not " << int(b) << " " << show(s.text, s.alignment);
                ASSERT_EQ(v.find(data, s.text.size(), b), p.find(data, s.text.size(), b)) << name;
                ASSERT_EQ(v.contains(data, s.text.size(), b), p.contains(data, s.text.size(), b)) << name;
            }
        });
}

TEST(KernelsSimd, CountThreeAndCopyMatchPortable) {
    const uint8_t triples[][3] = {{'\n', ',', '-'}, {0, 1, 2}, {'x', 'x', ' '}, {0xFF, 0x80, '"'}};
    for_every_sample(
        [&](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            const uint64_t n = s.text.size();
            for (const auto &t : triples) {
                uint64_t want[3] = {9, 9, 9}, got[3] = {7, 7, 7};
                p.count3(data, n, t[0], t[1], t[2], &want[0], &want[1], &want[2]);
                v.count3(data, n, t[0], t[1], t[2], &got[0], &got[1], &got[2]);
                for (int j = 0; j < 3; ++j)
                    ASSERT_EQ(got[j], want[j]) << name << " count3 counter " << j << " " << show(s.text, s.alignment);
                std::vector<char> copy(n + 1, '?');
                uint64_t copied[3] = {5, 5, 5};
                v.copy_count3(copy.data(), data, n, t[0], t[1], t[2], &copied[0], &copied[1], &copied[2]);
                ASSERT_EQ(std::string(copy.data(), n), s.text) << name;
                ASSERT_EQ(copy[n], '?') << name << " copy_count3 wrote past the length";
                for (int j = 0; j < 3; ++j) ASSERT_EQ(copied[j], want[j]) << name << " copy_count3";
            }
            // Null counters are skipped.
            v.count3(data, n, 'a', 'b', 'c', nullptr, nullptr, nullptr);
        });
}

TEST(KernelsSimd, CopyUntilMatchesPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            const uint64_t n = s.text.size();
            for (uint8_t b : probe_bytes) {
                std::vector<char> copy(n + 1, '?'), portable(n + 1);
                const uint64_t run = v.copy_until(copy.data(), data, n, b);
                ASSERT_EQ(run, p.copy_until(portable.data(), data, n, b)) << name << " " << show(s.text, s.alignment);
                ASSERT_EQ(std::string(copy.data(), run), s.text.substr(0, run)) << name;
                ASSERT_EQ(copy[n], '?') << name << " copy_until wrote past the length";
            }
        });
}

TEST(KernelsSimd, FindThreeMatchesPortable) {
    std::mt19937_64 random(7);
    for_every_sample(
        [&](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            const uint64_t n = s.text.size();
            std::vector<std::string> needles = {"---", "...", "\n\n\n", "xxx", "abc"};
            // A needle taken from the text itself, so that there is a hit.
            if (n >= 3) needles.push_back(s.text.substr(random() % (n - 2), 3));
            for (const std::string &t : needles) {
                auto b0 = static_cast<uint8_t>(t[0]), b1 = static_cast<uint8_t>(t[1]), b2 = static_cast<uint8_t>(t[2]);
                ASSERT_EQ(v.find3(data, n, b0, b1, b2), p.find3(data, n, b0, b1, b2))
                    << name << " needle " << testing::PrintToString(t) << " " << show(s.text, s.alignment);
            }
        });
}

// ---- sets, quotes, JSON specials ------------------------------------------------

std::vector<std::vector<uint8_t>> stop_sets() {
    auto make = [](std::initializer_list<int> members) {
        std::vector<uint8_t> set(32, 0);
        for (int b : members) set[b >> 3] |= static_cast<uint8_t>(1u << (b & 7));
        return set;
    };
    std::vector<std::vector<uint8_t>> sets = {
        make({'\n', '\r', '#', ':'}), make({'\n', '\r', '#', ',', ':', '[', ']', '{', '}'}), make({}), make({0}),
        make({0xFF, 0x80, 0x7F}),
    };
    // Sixteen members (the most compared one by one), seventeen and many
    // (byte by byte), and every byte.
    std::mt19937_64 random(99);
    for (int size : {16, 17, 100}) {
        std::vector<uint8_t> set(32, 0);
        for (int k = 0; k < size;) {
            auto b = static_cast<uint8_t>(random());
            if (set[b >> 3] & (1u << (b & 7))) continue;
            set[b >> 3] |= static_cast<uint8_t>(1u << (b & 7));
            ++k;
        }
        sets.push_back(set);
    }
    sets.push_back(std::vector<uint8_t>(32, 0xFF));
    return sets;
}

TEST(KernelsSimd, FindInSetMatchesPortable) {
    const auto sets = stop_sets();
    for_every_sample(
        [&](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            for (size_t k = 0; k < sets.size(); ++k)
                ASSERT_EQ(v.find_in_set(sets[k].data(), data, s.text.size()),
                          p.find_in_set(sets[k].data(), data, s.text.size()))
                    << name << " set " << k << " " << show(s.text, s.alignment);
        });
}

TEST(KernelsSimd, FindQuoteMatchesPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            for (uint8_t quote : {uint8_t('"'), uint8_t('\''), uint8_t('\\'), uint8_t('x')}) {
                uint32_t want_escaped = 7, got_escaped = 9;
                const int64_t want = p.find_quote(data, s.text.size(), quote, &want_escaped);
                const int64_t got = v.find_quote(data, s.text.size(), quote, &got_escaped);
                ASSERT_EQ(got, want) << name << " quote " << quote << " " << show(s.text, s.alignment);
                ASSERT_EQ(got_escaped, want_escaped) << name << " quote " << quote << " " << show(s.text, s.alignment);
                ASSERT_EQ(v.find_quote(data, s.text.size(), quote, nullptr), want) << name;
            }
        });
}

TEST(KernelsSimd, JsonSpecialAndHasSpecialMatchPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            ASSERT_EQ(v.find_json_special(data, s.text.size()), p.find_json_special(data, s.text.size()))
                << name << " " << show(s.text, s.alignment);
            ASSERT_EQ(v.has_special(data, s.text.size()), p.has_special(data, s.text.size()))
                << name << " " << show(s.text, s.alignment);
        });
}

// A special byte alone in a plain text, at every position: the chunk edges
// and the last partial chunk are where a vector loop goes wrong.
TEST(KernelsSimd, OneSpecialByteAtEveryPosition) {
    const zarvel_kernels &p = zvl::portable_kernels();
    for (const zvl::kernel_variant &variant : zvl::kernel_vector_variants()) {
        if (!variant.supported()) continue;
        const zarvel_kernels &v = *variant.table();
        for (size_t n : {size_t(63), size_t(64), size_t(65), size_t(200)}) {
            for (size_t at = 0; at < n; ++at) {
                for (char c : {'"', '\\', '\x01', '\x7f', '\x80', '\n', ':'}) {
                    std::string text(n, 'a');
                    text[at] = c;
                    placed buffer(text, 0);
                    ASSERT_EQ(v.find_json_special(buffer.data(), n), p.find_json_special(buffer.data(), n))
                        << variant.name << " " << show(text, 0);
                    ASSERT_EQ(v.has_special(buffer.data(), n), p.has_special(buffer.data(), n))
                        << variant.name << " " << show(text, 0);
                }
            }
        }
    }
}

// ---- census --------------------------------------------------------------------

TEST(KernelsSimd, CensusMatchesPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            zarvel_census want, got;
            std::memset(&want, 0x11, sizeof want);
            std::memset(&got, 0x22, sizeof got);
            p.census(data, s.text.size(), &want);
            v.census(data, s.text.size(), &got);
            const uint64_t *w = &want.line_feeds, *g = &got.line_feeds;
            for (int j = 0; j < 11; ++j)
                ASSERT_EQ(g[j], w[j]) << name << " counter " << j << " " << show(s.text, s.alignment);
            ASSERT_EQ(got.non_ascii, want.non_ascii) << name << " " << show(s.text, s.alignment);
            ASSERT_EQ(got.controls, want.controls) << name << " " << show(s.text, s.alignment);
        });
}

// Counts that pass the point where byte lanes are summed (255 per lane).
TEST(KernelsSimd, LongCountsMatchPortable) {
    const zarvel_kernels &p = zvl::portable_kernels();
    std::mt19937_64 random(3);
    for (const zvl::kernel_variant &variant : zvl::kernel_vector_variants()) {
        if (!variant.supported()) continue;
        const zarvel_kernels &v = *variant.table();
        for (size_t n : {size_t(64 * 63), size_t(64 * 64 + 1), size_t(64 * 255 + 17), size_t(100000)}) {
            std::string text(n, '\n');  // every byte counted: each lane fills as fast as it can
            if (n != 100000)
                for (size_t i = 0; i < n; i += 1 + random() % 5) text[i] = yaml_bytes[random() % sizeof yaml_bytes];
            placed buffer(text, 1);
            EXPECT_EQ(v.count(buffer.data(), n, '\n'), p.count(buffer.data(), n, '\n')) << variant.name << " " << n;
            uint64_t a[3], b[3];
            p.count3(buffer.data(), n, '\n', ':', '#', &a[0], &a[1], &a[2]);
            v.count3(buffer.data(), n, '\n', ':', '#', &b[0], &b[1], &b[2]);
            for (int j = 0; j < 3; ++j) EXPECT_EQ(b[j], a[j]) << variant.name << " " << n;
            zarvel_census want{}, got{};
            p.census(buffer.data(), n, &want);
            v.census(buffer.data(), n, &got);
            EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << variant.name << " " << n;
        }
    }
}

// ---- line scan -------------------------------------------------------------------

void expect_same_line(const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s,
                      const char *data, uint64_t start, uint64_t limit) {
    zarvel_line_info want, got;
    std::memset(&want, 0x33, sizeof want);
    std::memset(&got, 0x44, sizeof got);
    const int want_result = p.line_scan(data, s.text.size(), start, limit, &want);
    const int got_result = v.line_scan(data, s.text.size(), start, limit, &got);
    // Built only when an assertion fails.
    auto where = [&] {
        return std::string(name) + " start " + std::to_string(start) + " limit " +
               std::to_string(static_cast<int64_t>(limit)) + " " + show(s.text, s.alignment);
    };
    ASSERT_EQ(got_result, want_result) << where();
    ASSERT_EQ(got.line_end, want.line_end) << where();
    ASSERT_EQ(got.first_content, want.first_content) << where();
    ASSERT_EQ(got.first_mark, want.first_mark) << where();
    ASSERT_EQ(got.mark_found, want.mark_found) << where();
}

TEST(KernelsSimd, LineScanMatchesPortable) {
    std::mt19937_64 random(11);
    for_every_sample(
        [&](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            const uint64_t n = s.text.size();
            // Every line start, as the scanner walks them.
            for (uint64_t start = 0; start <= n;) {
                expect_same_line(name, v, p, s, data, start, zarvel_no_limit);
                if (testing::Test::HasFatalFailure()) return;
                const void *next = std::memchr(data + start, '\n', n - start);
                if (!next) break;
                start = static_cast<uint64_t>(static_cast<const char *>(next) - data) + 1;
            }
            // Random starts with limits that cut the window, and starts past the end.
            for (int round = 0; round < 3; ++round) {
                const uint64_t start = random() % (n + 2);
                for (uint64_t limit : {uint64_t(0), uint64_t(1), uint64_t(random() % 80), uint64_t(random() % 300),
                                       n - start + 0, zarvel_no_limit}) {
                    expect_same_line(name, v, p, s, data, start, limit);
                    if (testing::Test::HasFatalFailure()) return;
                }
            }
        });
}

// ---- stage 1 through the table ---------------------------------------------------

TEST(KernelsSimd, Stage1SlotsMatchPortable) {
    for_every_sample(
        [](const char *name, const zarvel_kernels &v, const zarvel_kernels &p, const sample &s, const char *data) {
            if (s.alignment % 16) return;  // the stage-1 kernels have their own test; a sample suffices here
            const uint64_t n = s.text.size();
            std::vector<uint32_t> want(n + 1), got(n + 1);
            uint64_t want_count = 0, got_count = 0;
            int32_t want_flags = 0, got_flags = 0;
            ASSERT_EQ(v.json_stage1(data, n, got.data(), &got_count, &got_flags),
                      p.json_stage1(data, n, want.data(), &want_count, &want_flags))
                << name;
            ASSERT_EQ(got_count, want_count) << name;
            ASSERT_EQ(got_flags, want_flags) << name;
            ASSERT_EQ(std::memcmp(got.data(), want.data(), want_count * 4), 0) << name;
            std::vector<zvl_json_stage1_block> wb(n / 64 + 1), gb(n / 64 + 1);
            want_flags = got_flags = 0;
            ASSERT_EQ(v.json_stage1_masks(data, n, gb.data(), &got_count, &got_flags),
                      p.json_stage1_masks(data, n, wb.data(), &want_count, &want_flags))
                << name;
            ASSERT_EQ(got_count, want_count) << name;
            ASSERT_EQ(std::memcmp(gb.data(), wb.data(), want_count * sizeof wb[0]), 0) << name;
        });
}

// ---- UTF-8 -------------------------------------------------------------------------

// Well-formed characters at the edges of every class and of the printable set.
const char *const good_characters[] = {"a",
                                       " ",
                                       "\t",
                                       "\n",
                                       "\r",
                                       "~",
                                       "\xc2\x80",
                                       "\xc2\x85",
                                       "\xc2\x9f",
                                       "\xc2\xa0",
                                       "\xc3\xa9",
                                       "\xdf\xbf",
                                       "\xe0\xa0\x80",
                                       "\xe2\x80\xa8",
                                       "\xed\x9f\xbf",
                                       "\xee\x80\x80",
                                       "\xef\xbf\xbd",
                                       "\xef\xbf\xbe",
                                       "\xef\xbf\xbf",
                                       "\xef\xbe\xbf",
                                       "\xf0\x90\x80\x80",
                                       "\xf0\x9f\x98\x80",
                                       "\xf3\xbf\xbf\xbf",
                                       "\xf4\x8f\xbf\xbf",
                                       "\xd5\xa1",
                                       "\xd5\xb5"};

// Text with two-byte characters only (besides ASCII), which the vector
// validator checks with fewer tests.
const char *const two_byte_characters[] = {"a",        " ",        "\n",       "\xc2\x80", "\xc2\x85", "\xc2\x9f",
                                           "\xc2\xa0", "\xc3\xa9", "\xd4\xb1", "\xd5\xa1", "\xd6\x80", "\xdf\xbf"};

// Faults of every kind: lone and bad leads, stray continuations, overlong
// forms, surrogates, values above 10FFFF, missing continuations, controls;
// and longer leads cut short by a two-byte character, which the two-byte
// check must hand on.
const char *const bad_sequences[] = {"\x80",
                                     "\xbf",
                                     "\xc0\x80",
                                     "\xc1\xbf",
                                     "\xe0\x80\x80",
                                     "\xe0\x9f\xbf",
                                     "\xed\xa0\x80",
                                     "\xed\xbf\xbf",
                                     "\xf0\x80\x80\x80",
                                     "\xf0\x8f\xbf\xbf",
                                     "\xf4\x90\x80\x80",
                                     "\xf5\x80\x80\x80",
                                     "\xf8\x88\x80\x80",
                                     "\xfe",
                                     "\xff",
                                     "\xc3\x41",
                                     "\xe2\x82\x41",
                                     "\xe2\x41\x82",
                                     "\xf0\x9f\x98\x41",
                                     "\xf0\x9f\x41",
                                     "\xc3\xc3\xa9",
                                     "\xe2\x82\xac\xac",
                                     "\x00",
                                     "\x01",
                                     "\x1f",
                                     "\x7f",
                                     "\x0b",
                                     "\xc2\x84",
                                     "\xc2\x86",
                                     "\xc1\x41",
                                     "\xf5\x41",
                                     "\xd5\xa1\xa1",
                                     "\xe2\xd5\xa1",
                                     "\xf0\x9f\xd5\xa1"};

// Characters cut by the end of the text.
const char *const truncated_ends[] = {"\xc3", "\xe2", "\xe2\x82", "\xf0", "\xf0\x9f", "\xf0\x9f\x98", "\xed\x9f"};

std::string random_utf8(std::mt19937_64 &random, size_t length, unsigned kind) {
    std::string s;
    const size_t good = sizeof good_characters / sizeof *good_characters;
    const size_t bad = sizeof bad_sequences / sizeof *bad_sequences;
    while (s.size() < length) {
        const uint64_t r = random();
        switch (kind) {
        case 0:  // mostly ASCII text with a rare fault: the vector fast path
            if (r % 300 == 0)
                s += bad_sequences[(r >> 16) % bad];
            else if (r % 40)
                s += "abc def:\n"[(r >> 8) % 9];
            else
                s += good_characters[(r >> 16) % good];
            break;
        case 1:  // mostly multi-byte text, faults rare
            if (r % 200 == 0)
                s += bad_sequences[(r >> 16) % bad];
            else
                s += good_characters[(r >> 16) % good];
            break;
        case 2:  // faults common
            s += r % 4 ? good_characters[(r >> 16) % good] : bad_sequences[(r >> 16) % bad];
            break;
        case 3:  // two-byte characters, faults rare
            if (r % 150 == 0)
                s += bad_sequences[(r >> 16) % bad];
            else
                s += two_byte_characters[(r >> 16) % (sizeof two_byte_characters / sizeof *two_byte_characters)];
            break;
        default:  // any byte
            s += static_cast<char>(r);
            break;
        }
    }
    s.resize(length);  // may itself cut a character at the end
    if (length && kind < 4 && random() % 3 == 0) {
        const char *cut = truncated_ends[random() % (sizeof truncated_ends / sizeof *truncated_ends)];
        const size_t k = std::strlen(cut) < length ? std::strlen(cut) : length;
        s.replace(length - k, k, cut, k);
    }
    return s;
}

void expect_same_offsets(const zvl::utf8_variant &variant, const std::string &text, size_t alignment) {
    const zvl::utf8_variant &portable = zvl::utf8_variants()[0];
    placed at(text, alignment);
    const auto *p = reinterpret_cast<const uint8_t *>(at.data());
    for (bool printable : {false, true})
        ASSERT_EQ(variant.first_invalid(p, text.size(), printable), portable.first_invalid(p, text.size(), printable))
            << variant.name << (printable ? " printable " : " well-formed ") << show(text, alignment);
}

TEST(Utf8Simd, PortableComesFirstAndTheEntryUsesASupportedVariant) {
    ASSERT_FALSE(zvl::utf8_variants().empty());
    EXPECT_STREQ(zvl::utf8_variants()[0].name, "portable");
    const auto *text = reinterpret_cast<const uint8_t *>("ok \xc3\xa9 \xed\xa0\x80");
    EXPECT_EQ(zvl::first_invalid_utf8(text, 9, true), 6u);
    EXPECT_EQ(zvl::first_invalid_utf8(text, 6, true), 6u);
    EXPECT_EQ(zvl::first_invalid_utf8(text, 0, true), 0u);
    // The kernel table runs the fastest supported validator.
    auto best = zvl::utf8_variants()[0].first_invalid;
    for (const zvl::utf8_variant &variant : zvl::utf8_variants())
        if (variant.supported()) best = variant.first_invalid;
    EXPECT_EQ(zarvel_kernels_get()->first_invalid_utf8, best);
}

// The portable walk itself on hand-made rows (offset of the first fault).
TEST(Utf8Simd, PortableRows) {
    struct row {
        const char *text;
        size_t length;
        bool printable;
        uint64_t expected;
    };
    const row rows[] = {
        {"abc", 3, true, 3},
        {"a\tb\r\n", 5, true, 5},
        {"a\x01", 2, true, 1},
        {"a\x01", 2, false, 2},
        {"\x7f", 1, true, 0},
        {"x\xc2\x85y", 4, true, 4},
        {"x\xc2\x84y", 4, true, 1},
        {"x\xc2\x84y", 4, false, 4},
        {"\xef\xbf\xbe", 3, true, 0},
        {"\xef\xbf\xbe", 3, false, 3},
        {"ab\xed\xa0\x80", 5, false, 2},
        {"ab\xe2\x82", 4, false, 2},
        {"\xf4\x8f\xbf\xbf", 4, true, 4},
        {"\xf4\x90\x80\x80", 4, false, 0},
        {"\xe0\x9f\xbf", 3, false, 0},
        {"\xc0\xaf", 2, false, 0},
        {"a\x80", 2, false, 1},
    };
    for (const row &r : rows)
        EXPECT_EQ(
            zvl::utf8_variants()[0].first_invalid(reinterpret_cast<const uint8_t *>(r.text), r.length, r.printable),
            r.expected)
            << testing::PrintToString(std::string(r.text, r.length)) << (r.printable ? " printable" : "");
}

TEST(Utf8Simd, VariantsMatchPortableOnRandomTexts) {
    std::mt19937_64 random(808);
    std::vector<std::string> texts;
    for (size_t length = 0; length <= max_length; ++length)
        for (size_t align = 0; align < alignments; ++align)
            texts.push_back(random_utf8(random, length, static_cast<unsigned>((length + align) % 5)));
    for (const zvl::utf8_variant &variant : zvl::utf8_variants()) {
        if (!variant.supported() || &variant == &zvl::utf8_variants()[0]) continue;
        size_t k = 0;
        for (size_t length = 0; length <= max_length; ++length)
            for (size_t align = 0; align < alignments; ++align) {
                expect_same_offsets(variant, texts[k++], align);
                if (HasFatalFailure()) return;
            }
    }
}

// Every fault kind at every offset of a long well-formed text (ASCII and
// multi-byte), and every cut end: the block edges, the carry of an open
// character into the next block and the padded last block.
TEST(Utf8Simd, EveryFaultAtEveryOffset) {
    std::mt19937_64 random(5);
    const std::string ascii(200, 'a');
    std::string multibyte;
    while (multibyte.size() < 200)
        multibyte += good_characters[random() % (sizeof good_characters / sizeof *good_characters)];
    std::string two_byte;
    while (two_byte.size() < 200)
        two_byte += two_byte_characters[random() % (sizeof two_byte_characters / sizeof *two_byte_characters)];
    // Letters without C2 leads: whole blocks take the printable two-byte path.
    std::string letters;
    while (letters.size() < 200) {
        const char *c = two_byte_characters[random() % (sizeof two_byte_characters / sizeof *two_byte_characters)];
        if (static_cast<unsigned char>(c[0]) != 0xC2) letters += c;
    }
    for (const zvl::utf8_variant &variant : zvl::utf8_variants()) {
        if (!variant.supported() || &variant == &zvl::utf8_variants()[0]) continue;
        for (const std::string &base : {ascii, multibyte, two_byte, letters}) {
            for (const char *fault : bad_sequences) {
                for (size_t at = 0; at <= base.size(); ++at) {
                    std::string text = base;
                    text.insert(at, fault);
                    expect_same_offsets(variant, text, at % 7);
                    if (HasFatalFailure()) return;
                }
            }
            for (size_t length = 0; length <= base.size(); ++length) {
                for (const char *cut : truncated_ends) {
                    std::string text = base.substr(0, length) + cut;
                    expect_same_offsets(variant, text, 0);
                    if (HasFatalFailure()) return;
                }
                expect_same_offsets(variant, base.substr(0, length), 3);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Long texts: a fault far into a big plain or multi-byte text.
TEST(Utf8Simd, LongTexts) {
    std::mt19937_64 random(6);
    for (const zvl::utf8_variant &variant : zvl::utf8_variants()) {
        if (!variant.supported() || &variant == &zvl::utf8_variants()[0]) continue;
        for (unsigned kind = 0; kind < 4; ++kind) {
            std::string text = random_utf8(random, 100000, kind);
            expect_same_offsets(variant, text, 0);
            // Without faults: built from good characters only.
            std::string good;
            while (good.size() < 100000)
                good += kind == 0 ? "plain text\n"
                        : kind == 3
                            ? two_byte_characters[random() % (sizeof two_byte_characters / sizeof *two_byte_characters)]
                            : good_characters[random() % (sizeof good_characters / sizeof *good_characters)];
            expect_same_offsets(variant, good, 1);
            good[99999 - 77] = '\x80';
            expect_same_offsets(variant, good, 2);
        }
    }
}

}  // namespace
