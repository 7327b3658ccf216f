// Every vector kernel returns exactly what its portable kernel returns: all
// lengths 0..256, several alignments, random JSON-like bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/kernels.hpp"
#include "core/stage1.hpp"
#include "json/string_scan.hpp"
#include "zarvel.h"

namespace {

const char alphabet[] = {'"',  '"',  '\\', '\\', '{',  '}',    '[',    ']',    ',',    ':', 'a', '1', ' ',
                         '\n', '\t', 0x01, 0x1F, 0x20, '\x7f', '\x80', '\xc3', '\xff', 'u', '0', 'D', '8'};

std::string random_text(std::mt19937_64 &random, size_t len) {
    std::string s;
    // Some texts are mostly plain bytes so that vector loops run long.
    bool sparse = random() & 1;
    for (size_t i = 0; i < len; ++i) s += sparse && random() % 8 ? 'x' : alphabet[random() % sizeof alphabet];
    return s;
}

TEST(JsonSimd, BestStage1VariantIsSupported) {
    const zarvel_kernels *table = zarvel_kernels_get();
    EXPECT_STREQ(zvl::json::index_variants()[0].name, "portable");
    if (const zvl::json::index_variant *best = table->json_index) {
        EXPECT_TRUE(best->supported());
        EXPECT_EQ(table->json_stage1, best->positions);
        EXPECT_EQ(table->json_stage1_masks, best->masks);
    }
}

TEST(JsonSimd, Stage1VariantsMatchThePortableKernel) {
    std::mt19937_64 random(4242);
    std::vector<char> storage(256 + 64 + 8);
    for (const zvl::json::index_variant &variant : zvl::json::index_variants()) {
        if (!variant.supported()) continue;
        for (size_t len = 0; len <= 256; ++len) {
            for (size_t align : {0, 1, 3, 7, 13, 32}) {
                for (int round = 0; round < 6; ++round) {
                    std::string text = random_text(random, len);
                    char *at = storage.data() + align;
                    std::memcpy(at, text.data(), len);
                    std::vector<zvl_json_stage1_block> want(len / 64 + 1), got(len / 64 + 1);
                    uint64_t want_count = 0, got_count = 0;
                    int32_t want_flags = 0, got_flags = 0;
                    int32_t want_result = zvl_json_stage1_masks_scalar(at, len, want.data(), &want_count, &want_flags);
                    int32_t got_result = variant.masks(at, len, got.data(), &got_count, &got_flags);
                    ASSERT_EQ(got_result, want_result) << variant.name << " " << testing::PrintToString(text);
                    ASSERT_EQ(got_flags, want_flags) << variant.name << " " << testing::PrintToString(text);
                    ASSERT_EQ(got_count, want_count) << variant.name;
                    for (uint64_t b = 0; b < want_count; ++b)
                        ASSERT_EQ(std::memcmp(&got[b], &want[b], sizeof got[b]), 0)
                            << variant.name << " block " << b << " " << testing::PrintToString(text);
                    std::vector<uint32_t> want_pos(len + 1), got_pos(len + 1);
                    uint64_t want_n = 0, got_n = 0;
                    want_flags = got_flags = 0;
                    want_result = zvl_json_stage1_scalar(at, len, want_pos.data(), &want_n, &want_flags);
                    got_result = variant.positions(at, len, got_pos.data(), &got_n, &got_flags);
                    ASSERT_EQ(got_result, want_result) << variant.name;
                    ASSERT_EQ(got_flags, want_flags) << variant.name;
                    ASSERT_EQ(got_n, want_n) << variant.name << " " << testing::PrintToString(text);
                    ASSERT_EQ(std::memcmp(got_pos.data(), want_pos.data(), want_n * 4), 0) << variant.name;
                }
            }
        }
    }
}

// The word scanner agrees with the byte-exact kernel zvl_json_string on
// acceptance (ascii_strict off), and the SSE2 scanner with the word one.
template <bool ascii_strict>
void compare_string_scanners(uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<char> storage(256 + 40);
    for (size_t len = 1; len <= 256; ++len) {
        for (size_t align : {0, 1, 5, 8, 15}) {
            for (int round = 0; round < 8; ++round) {
                std::string text = "\"" + random_text(random, len - 1);
                char *at = storage.data() + align;
                std::memcpy(at, text.data(), len);
                bool words_escaped = false;
                int64_t words = zvl::json::scan_string_words<ascii_strict>(at, len, 0, &words_escaped);
                // Tracking bytes of 0x80 and above changes nothing else and
                // never misses one inside the body.
                bool body_high = false;
                for (int64_t i = 1; i < words; ++i) body_high |= static_cast<uint8_t>(at[i]) >= 0x80;
                for (int variant = 0; variant < 2; ++variant) {
                    bool e = false, high = false;
                    int64_t r = variant ? zvl::json::scan_string_fast<ascii_strict, true>(at, len, 0, &e, &high)
                                        : zvl::json::scan_string_words<ascii_strict, true>(at, len, 0, &e, &high);
                    ASSERT_EQ(r, words) << testing::PrintToString(text);
                    if (body_high) {
                        ASSERT_TRUE(high) << testing::PrintToString(text);
                    }
                }
                if (!ascii_strict) {
                    uint64_t pos = 0, close = 0;
                    int32_t has_escape = 0;
                    int32_t accepted = zvl_json_string(at, len, &pos, &close, &has_escape);
                    ASSERT_EQ(accepted == 1, words >= 0) << testing::PrintToString(text);
                    if (accepted) {
                        ASSERT_EQ(static_cast<int64_t>(close), words) << testing::PrintToString(text);
                        ASSERT_EQ(has_escape == 1, words_escaped) << testing::PrintToString(text);
                    }
                }
#if defined(__SSE2__)
                bool sse2_escaped = false;
                int64_t sse2 = zvl::json::scan_string_sse2<ascii_strict>(at, len, 0, &sse2_escaped);
                ASSERT_EQ(sse2, words) << testing::PrintToString(text);
                if (words >= 0) {
                    ASSERT_EQ(sse2_escaped, words_escaped) << testing::PrintToString(text);
                }
#endif
            }
        }
    }
}

TEST(JsonSimd, StringScannersAgree) {
    compare_string_scanners<false>(1);
    compare_string_scanners<true>(2);
}

}  // namespace
