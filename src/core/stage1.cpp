// Stage 1 of a two-stage JSON reader, portable form: classify the text 64
// bytes at a time into bit masks (bit i = byte i of the block) and find the
// structural characters that stand outside strings. Two bits carry from one
// block to the next: an unfinished escape and an open string.
#include "core/stage1.hpp"

#include <atomic>

#include "zarvel.h"

namespace zvl::json {

namespace {

raw_block_masks classify_portable(const char *block) {
    raw_block_masks m{};
    for (uint32_t i = 0; i < 64; ++i) {
        auto c = static_cast<uint8_t>(block[i]);
        uint64_t bit = 1ull << i;
        if (c == '"')
            m.quotes |= bit;
        else if (c == '\\')
            m.backslashes |= bit;
        else if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':')
            m.operators |= bit;
        else if (c < 0x20)
            m.controls |= bit;
    }
    return m;
}

bool always() { return true; }

}  // namespace

// Defined with the vector variants (stage1_simd.cpp) where the target has them.
std::span<const stage1_variant> stage1_vector_variants();

std::span<const stage1_variant> stage1_variants() {
    static const auto all = [] {
        struct table {
            stage1_variant entries[4];
            size_t count;
        } t{};
        t.entries[t.count++] = {"portable", zvl_json_stage1_masks_scalar, zvl_json_stage1_scalar, always};
        for (const stage1_variant &v : stage1_vector_variants())
            if (t.count < 4) t.entries[t.count++] = v;
        return t;
    }();
    return {all.entries, all.count};
}

const stage1_variant &stage1_best() {
    // Published once; two threads that race both pick the same entry.
    static std::atomic<const stage1_variant *> chosen{nullptr};
    const stage1_variant *best = chosen.load(std::memory_order_acquire);
    if (best) return *best;
    best = &stage1_variants()[0];
    for (const stage1_variant &v : stage1_variants())
        if (v.supported()) best = &v;  // later variants are faster
    chosen.store(best, std::memory_order_release);
    return *best;
}

}  // namespace zvl::json

using namespace zvl::json;

int32_t zvl_json_stage1_masks_scalar(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                     uint64_t *block_count, int32_t *flags) {
    return stage1_masks_with(text, len, blocks, block_count, flags, classify_portable, prefix_xor_portable);
}

int32_t zvl_json_stage1_scalar(const char *text, uint64_t len, uint32_t *positions, uint64_t *count, int32_t *flags) {
    return stage1_positions_with(text, len, positions, count, flags, classify_portable, prefix_xor_portable);
}
