// Library frame: error record, arena, string map, kernel table, lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/lock.hpp"
#include "core/memory.hpp"

// ---- error record ----------------------------------------------------------

TEST(ErrorRecord, FreshThreadIsEmpty) {
    std::thread([] {
        uint32_t line = 7, column = 7;
        EXPECT_STREQ(zarvel_last_error(&line, &column), "");
        EXPECT_EQ(line, 0u);
        EXPECT_EQ(column, 0u);
    }).join();
}

TEST(ErrorRecord, DefaultTexts) {
    struct row {
        uint32_t code;
        const char *text;
    } rows[] = {
        {0, "no error"},
        {1, "unexpected parser state"},
        {2, "out of memory"},
        {3, "nesting depth exceeds the limit"},
        {4, "ill-formed or unsupported character encoding"},
        {5, "tab character used as indentation"},
        {6, "unterminated quoted scalar"},
        {7, "inconsistent indentation"},
        {8, "simple key exceeds 1024 characters"},
        {9, "alias references an undefined anchor"},
        {10, "invalid escape sequence in double-quoted scalar"},
        {11, "invalid or unsupported directive"},
        {12, "internal invariant violation"},
        {13, "required descriptor node missing"},
        {14, "unknown error code"},
        {0xFFFFFFFF, "unknown error code"},
    };
    for (const row &r : rows) {
        zarvel_error record{};
        zarvel_error_set(&record, r.code, 3, 4, 5, nullptr);
        EXPECT_STREQ(record.message, r.text) << "code " << r.code;
        EXPECT_EQ(record.code, r.code);
        EXPECT_EQ(record.line, 3u);
        EXPECT_EQ(record.column, 4u);
        EXPECT_EQ(record.offset, 5u);
    }
}

TEST(ErrorRecord, LongMessageIsCutAt191) {
    zarvel_error record{};
    std::string longer(400, 'x');
    zarvel_error_set(&record, 1, 0, 0, 0, "%s", longer.c_str());
    EXPECT_EQ(std::strlen(record.message), 191u);
    zarvel_error_set(&record, 1, 0, 0, 0, "not strict JSON at byte %zu", size_t{42});
    EXPECT_STREQ(record.message, "not strict JSON at byte 42");
    zarvel_error_clear(&record);
    EXPECT_EQ(record.code, 0u);
    EXPECT_STREQ(record.message, "");
    zarvel_error_set(nullptr, 1, 0, 0, 0, nullptr);  // no effect, no crash
    zarvel_error_clear(nullptr);
}

TEST(ErrorRecord, ThreadsSeeOnlyTheirOwn) {
    zarvel_error_set(zarvel_error_current(), 1, 2, 3, 0, "main failure");
    std::thread([] {
        zarvel_error_set(zarvel_error_current(), 9, 5, 6, 0, nullptr);
        EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "alias references an undefined anchor");
    }).join();
    uint32_t line = 0, column = 0;
    EXPECT_STREQ(zarvel_last_error(&line, &column), "main failure");
    EXPECT_EQ(line, 2u);
    EXPECT_EQ(column, 3u);
}

TEST(Version, Text) { EXPECT_STREQ(zarvel_version(), "0.6.32"); }

// ---- arena -----------------------------------------------------------------

TEST(Arena, ArgumentsAndAlignment) {
    zarvel_arena *arena = zarvel_arena_new(&zarvel_default_allocator, 0);
    ASSERT_NE(arena, nullptr);
    EXPECT_EQ(arena->block_size, 4096u);
    EXPECT_EQ(arena->head, nullptr);
    EXPECT_EQ(zarvel_arena_alloc(arena, 8, 3), nullptr);
    EXPECT_EQ(zarvel_arena_alloc(arena, 0, 8), nullptr);
    EXPECT_EQ(zarvel_arena_alloc(arena, 8, 0), nullptr);
    for (uint64_t alignment : {1, 2, 8, 16, 64, 256}) {
        void *p = zarvel_arena_alloc(arena, 5, alignment);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment;
        std::memset(p, 0xAB, 5);
    }
    zarvel_arena_free(arena);
    EXPECT_EQ(zarvel_arena_new(nullptr, 0), nullptr);
    zarvel_arena *small = zarvel_arena_new(&zarvel_default_allocator, 10);
    EXPECT_EQ(small->block_size, 256u);
    zarvel_arena_free(small);
    zarvel_arena_free(nullptr);
}

TEST(Arena, LargeRequestGetsItsOwnNewestBlock) {
    zarvel_arena *arena = zarvel_arena_new(&zarvel_default_allocator, 256);
    char *a = static_cast<char *>(zarvel_arena_alloc(arena, 16, 8));
    char *big = static_cast<char *>(zarvel_arena_alloc(arena, 5000, 8));
    ASSERT_TRUE(a && big);
    EXPECT_EQ(arena->block_count, 2u);
    std::memset(big, 1, 5000);
    char *c = static_cast<char *>(zarvel_arena_alloc(arena, 16, 8));
    // The newest block is the big one; small requests continue in it.
    EXPECT_GE(c, big + 5000);
    EXPECT_LT(c, big + 5000 + 256);
    EXPECT_EQ(arena->block_count, 2u);
    zarvel_arena_free(arena);
}

TEST(Arena, FailedBlockLeavesArenaUsable) {
    zarvel_arena *arena = zarvel_arena_new(&zarvel_default_allocator, 256);
    zvl::testing::fail_allocation(1);
    EXPECT_EQ(zarvel_arena_alloc(arena, 16, 8), nullptr);
    zvl::testing::fail_allocation(0);
    EXPECT_NE(zarvel_arena_alloc(arena, 16, 8), nullptr);
    zarvel_arena_free(arena);
}

// ---- string map --------------------------------------------------------------

struct strmap_holder {
    zarvel_strmap map{};
    strmap_holder() { EXPECT_TRUE(zarvel_strmap_init(&map, &zarvel_default_allocator)); }
    ~strmap_holder() { zarvel_strmap_free(&map); }
};

TEST(StringMap, ShortAndLongKeysAreDistinct) {
    strmap_holder h;
    EXPECT_TRUE(zarvel_strmap_put(&h.map, "abcdefg", 7, 1));
    EXPECT_TRUE(zarvel_strmap_put(&h.map, "abcdefgh", 8, 2));
    EXPECT_TRUE(zarvel_strmap_put(&h.map, "abcdefgi", 8, 3));
    EXPECT_TRUE(zarvel_strmap_put(&h.map, "", 0, 4));
    EXPECT_EQ(zarvel_strmap_get(&h.map, "abcdefg", 7), 1u);
    EXPECT_EQ(zarvel_strmap_get(&h.map, "abcdefgh", 8), 2u);
    EXPECT_EQ(zarvel_strmap_get(&h.map, "abcdefgi", 8), 3u);
    EXPECT_EQ(zarvel_strmap_get(&h.map, "", 0), 4u);
    EXPECT_EQ(zarvel_strmap_get(&h.map, "abcdef", 6), zarvel_strmap_absent);
    EXPECT_EQ(zarvel_strmap_get(&h.map, "never", 5), zarvel_strmap_absent);
    EXPECT_TRUE(zarvel_strmap_put(&h.map, "abcdefgh", 8, 9));  // replace
    EXPECT_EQ(zarvel_strmap_get(&h.map, "abcdefgh", 8), 9u);
    EXPECT_EQ(h.map.entries, 4u);
}

TEST(StringMap, GrowthKeepsEveryKey) {
    strmap_holder h;
    std::vector<std::string> keys;
    for (int i = 0; i < 45; ++i) keys.push_back("k" + std::to_string(i));
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_TRUE(zarvel_strmap_put(&h.map, keys[i].data(), keys[i].size(), uint32_t(i)));
    EXPECT_EQ(h.map.slot_count, 128u);
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(zarvel_strmap_get(&h.map, keys[i].data(), keys[i].size()), i);
}

TEST(StringMap, AgreesWithStdMapOnRandomKeys) {
    std::mt19937_64 rng(12345);
    strmap_holder h;
    std::unordered_map<std::string, uint32_t> oracle;
    std::vector<std::string> storage;  // keys must outlive the map
    storage.reserve(20000);
    for (int i = 0; i < 20000; ++i) {
        size_t n = rng() % 40;
        std::string key(n, '\0');
        for (char &c : key) c = char('a' + rng() % 3);  // small alphabet: many repeats
        storage.push_back(key);
        const std::string &k = storage.back();
        uint32_t value = uint32_t(rng() % 1000000);
        ASSERT_TRUE(zarvel_strmap_put(&h.map, k.data(), k.size(), value));
        oracle[k] = value;
    }
    EXPECT_EQ(h.map.entries, oracle.size());
    for (const auto &[k, v] : oracle) EXPECT_EQ(zarvel_strmap_get(&h.map, k.data(), k.size()), v) << k;
    zarvel_strmap_clear(&h.map);
    EXPECT_EQ(h.map.entries, 0u);
    EXPECT_EQ(zarvel_strmap_get(&h.map, storage[0].data(), storage[0].size()), zarvel_strmap_absent);
}

TEST(StringMap, ReserveSizesForLoadLimit) {
    strmap_holder h;
    EXPECT_TRUE(zarvel_strmap_reserve(&h.map, 10));
    EXPECT_EQ(h.map.slot_count, 64u);
    EXPECT_TRUE(zarvel_strmap_reserve(&h.map, 1000));
    EXPECT_EQ(h.map.slot_count, 2048u);  // (1000*100+69)/70 = 1429 -> 2048
    std::vector<std::string> keys;       // keys must outlive the map
    for (int i = 0; i < 1000; ++i) keys.push_back("anchor" + std::to_string(i));
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(zarvel_strmap_put(&h.map, keys[i].data(), keys[i].size(), uint32_t(i)));
        EXPECT_EQ(h.map.slot_count, 2048u);
    }
}

TEST(StringMap, FailedGrowthLeavesMapUnchanged) {
    strmap_holder h;
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i) keys.push_back("longer-key-" + std::to_string(i));
    size_t placed = 0;
    for (; placed < keys.size(); ++placed) {
        zvl::testing::fail_allocation(1);
        bool ok = zarvel_strmap_put(&h.map, keys[placed].data(), keys[placed].size(), uint32_t(placed));
        zvl::testing::fail_allocation(0);
        if (!ok) {
            // Growth was needed and failed: nothing changed.
            EXPECT_EQ(zarvel_strmap_get(&h.map, keys[placed].data(), keys[placed].size()), zarvel_strmap_absent);
            ASSERT_TRUE(zarvel_strmap_put(&h.map, keys[placed].data(), keys[placed].size(), uint32_t(placed)));
        }
    }
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(zarvel_strmap_get(&h.map, keys[i].data(), keys[i].size()), i);
}

TEST(StringMap, HashSeesEveryByteOfLongerKeys) {
    // Keys that differ only in their middle or in a whole 8-byte word must
    // not all collide, or crafted anchor names make lookups quadratic.
    for (size_t n : {8, 16, 24, 40}) {
        std::vector<uint64_t> hashes;
        for (int i = 0; i < 64; ++i) {
            std::string key(n, 'a');
            key[n / 2] = char('A' + i % 26);
            key[n / 2 - 1] = char('A' + i / 26);
            hashes.push_back(zarvel_hash_bytes(key.data(), key.size()));
        }
        std::sort(hashes.begin(), hashes.end());
        EXPECT_EQ(std::unique(hashes.begin(), hashes.end()), hashes.end()) << "length " << n;
    }
}

// ---- kernels against trivially correct references ---------------------------

namespace {
std::vector<char> random_text(std::mt19937_64 &rng, size_t n, const char *alphabet) {
    std::vector<char> v(n);
    size_t k = std::strlen(alphabet);
    for (char &c : v) c = rng() % 8 == 0 ? char(rng()) : alphabet[rng() % k];
    return v;
}
int64_t ref_find(const char *d, uint64_t n, auto pred) {
    for (uint64_t i = 0; i < n; ++i)
        if (pred(uint8_t(d[i]))) return int64_t(i);
    return -1;
}
}  // namespace

TEST(Kernels, TableIsPublishedOnce) {
    const zarvel_kernels *a = zarvel_kernels_get();
    const zarvel_kernels *b = nullptr;
    std::thread([&] { b = zarvel_kernels_get(); }).join();
    EXPECT_EQ(a, b);
    EXPECT_NE(a->line_scan, nullptr);
}

TEST(Kernels, AgreeWithReferenceOnRandomBuffers) {
    const zarvel_kernels &k = *zarvel_kernels_get();
    std::mt19937_64 rng(99);
    std::vector<char> backing(256 + 16);
    for (int round = 0; round < 6; ++round) {
        for (size_t n = 0; n <= 200; ++n) {
            for (size_t align = 0; align < 8; ++align) {
                auto text = random_text(rng, n, round % 2 ? "ab :#\n\r\"\\'-" : "  aaa:\t");
                char *d = backing.data() + align;
                if (n) std::memcpy(d, text.data(), n);
                uint8_t b = uint8_t(round % 2 ? 'a' : ' ');
                SCOPED_TRACE("length " + std::to_string(n) + " align " + std::to_string(align));
                EXPECT_EQ(k.contains(d, n, b), ref_find(d, n, [&](uint8_t c) { return c == b; }) >= 0);
                EXPECT_EQ(k.find(d, n, b), ref_find(d, n, [&](uint8_t c) { return c == b; }));
                EXPECT_EQ(k.find_not(d, n, b), ref_find(d, n, [&](uint8_t c) { return c != b; }));
                uint64_t expected_count = std::count(d, d + n, char(b));
                EXPECT_EQ(k.count(d, n, b), expected_count);
                int64_t f3 = -1;
                for (size_t i = 0; i + 3 <= n && f3 < 0; ++i)
                    if (d[i] == 'a' && d[i + 1] == ' ' && d[i + 2] == 'a') f3 = int64_t(i);
                EXPECT_EQ(k.find3(d, n, 'a', ' ', 'a'), f3);
                EXPECT_EQ(k.find_json_special(d, n),
                          ref_find(d, n, [](uint8_t c) { return c == '"' || c == '\\' || c < 0x20; }));
                EXPECT_EQ(
                    k.has_special(d, n),
                    ref_find(d, n, [](uint8_t c) { return c > 0x7E || (c < 0x20 && c != 9 && c != 10 && c != 13); }) >=
                            0
                        ? 1
                        : 0);
                uint8_t set[32] = {};
                for (uint8_t c : {uint8_t(':'), uint8_t('#'), uint8_t(0xC3)}) set[c >> 3] |= uint8_t(1u << (c & 7));
                EXPECT_EQ(k.find_in_set(set, d, n),
                          ref_find(d, n, [](uint8_t c) { return c == ':' || c == '#' || c == 0xC3; }));

                zarvel_census census{};
                k.census(d, n, &census);
                EXPECT_EQ(census.line_feeds, uint64_t(std::count(d, d + n, '\n')));
                EXPECT_EQ(census.colons, uint64_t(std::count(d, d + n, ':')));
                EXPECT_EQ(census.non_ascii, ref_find(d, n, [](uint8_t c) { return c >= 0x80; }) >= 0 ? 1u : 0u);

                // Line scan from a random start, with and without a limit.
                uint64_t start = n ? rng() % (n + 1) : 0;
                for (uint64_t limit : {zarvel_no_limit, uint64_t(rng() % 40)}) {
                    zarvel_line_info info{};
                    int found = k.line_scan(d, n, start, limit, &info);
                    uint64_t window = std::min<uint64_t>(limit, n - start);
                    uint64_t end = start;
                    while (end < start + window && d[end] != '\n' && d[end] != '\r') ++end;
                    uint64_t content = start;
                    while (content < end && d[content] == ' ') ++content;
                    uint64_t mark = content;
                    while (mark < end && d[mark] != ':' && d[mark] != '#') ++mark;
                    EXPECT_EQ(info.line_end, end);
                    EXPECT_EQ(info.first_content, content);
                    EXPECT_EQ(info.first_mark, mark);
                    EXPECT_EQ(info.mark_found, mark < end ? 1u : 0u);
                    EXPECT_EQ(found, (end < start + window || limit >= n - start) ? 1 : 0);
                }
            }
        }
    }
}

TEST(Kernels, QuoteSearch) {
    const zarvel_kernels &k = *zarvel_kernels_get();
    struct row {
        const char *text;
        uint8_t quote;
        int64_t index;
        uint32_t escaped;
    } rows[] = {
        {"a\\\"b\"", '"', 4, 1}, {"it''s'", '\'', 5, 1}, {"plain\"", '"', 5, 0}, {"no close", '"', -1, 0},
        {"\\\\\"", '"', 2, 1},   {"''", '\'', -1, 1},    {"", '"', -1, 0},
    };
    for (const row &r : rows) {
        uint32_t escaped = 9;
        EXPECT_EQ(k.find_quote(r.text, std::strlen(r.text), r.quote, &escaped), r.index) << r.text;
        EXPECT_EQ(escaped, r.escaped) << r.text;
    }
}

TEST(Kernels, ControlByteDetection) {
    const zarvel_kernels &k = *zarvel_kernels_get();
    EXPECT_EQ(k.has_special("plain text\twith\r\nbreaks", 23), 0);
    for (uint8_t bad : {uint8_t(0x7F), uint8_t(0x80), uint8_t(0x01), uint8_t(0xFF), uint8_t(0x1F)}) {
        char text[20] = "0123456789abcdefghi";
        text[13] = char(bad);
        EXPECT_EQ(k.has_special(text, 19), 1) << int(bad);
    }
}

TEST(Kernels, CopyCountAndJsonClassify) {
    const zarvel_kernels &k = *zarvel_kernels_get();
    char out[16] = {};
    uint64_t a = 9, b = 9, c = 9;
    k.copy_count3(out, "a,b:c,d", 7, ',', ':', 'x', &a, &b, &c);
    EXPECT_EQ(std::string(out, 7), "a,b:c,d");
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(c, 0u);
    k.copy_count3(out, nullptr, 0, ',', ':', 'x', &a, &b, &c);
    EXPECT_EQ(a + b + c, 0u);
    zarvel_json_block_classes classes{};
    k.json_classify("{\"a\\\":-1}\x01", 10, &classes);
    EXPECT_EQ(classes.present, 0x3FFu);
    EXPECT_EQ(classes.quotes, 0b10010u);
    EXPECT_EQ(classes.backslashes, 0b1000u);
    EXPECT_EQ(classes.structurals, 0b100100001u);
    EXPECT_EQ(classes.scalar_starts, 0b11000000u);
    EXPECT_EQ(classes.controls, 0b1000000000u);
}

// ---- lock --------------------------------------------------------------------

TEST(Lock, ExcludesConcurrentHolders) {
    zvl_lock lock;
    zvl_lock_init(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                zvl::lock_guard hold(&lock);
                long seen = counter;
                counter = seen + 1;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(lock.word, 0u);
}
