// Shared pieces of the stage-1 kernels: the raw byte classes of a 64-byte
// block, the carry that turns them into in-string and structural masks, and
// the kernel variants (portable, SSE2, AVX2). A vector variant only computes
// raw_block_masks and the prefix XOR faster; the rest is this one code, so
// every variant's output is the same bit for bit.
#pragma once

#include <cstdint>
#include <span>

#include "zarvel.h"

namespace zvl::json {

// Bit i stands for byte i of the block; bytes past the end are 0.
struct raw_block_masks {
    uint64_t quotes;
    uint64_t backslashes;
    uint64_t operators;  // { } [ ] , :
    uint64_t controls;   // below 0x20
};

// State carried across blocks.
struct stage1_carry {
    uint64_t escape_pending = 0;  // 1: the previous block ended with an unfinished escape
    uint64_t string_open = 0;     // all ones: the previous block ended inside a string
    int32_t flags = 0;
};

// Bit i of the result = XOR of bits 0..i of x.
inline uint64_t prefix_xor_portable(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The finished record of one block. prefix computes the prefix XOR.
template <typename prefix_xor>
inline zvl_json_stage1_block finish_block(stage1_carry &carry, const raw_block_masks &raw, uint64_t valid_bits,
                                          prefix_xor prefix) {
    constexpr uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAull;
    zvl_json_stage1_block out;
    out.quotes = raw.quotes;
    out.backslashes = raw.backslashes;
    out.operators = raw.operators;
    out.controls = raw.controls;

    // Characters escaped by a backslash: odd-length runs of backslashes
    // escape the byte after them. Subtracting the run starts from the runs
    // (with the odd bit positions set) flips exactly the bits that follow a
    // run whose length has the wrong parity for its start.
    uint64_t backslash = raw.backslashes & ~carry.escape_pending;
    uint64_t escape_and_terminal = (((backslash << 1) | odd_bits) - backslash) ^ odd_bits;
    uint64_t escaped = escape_and_terminal ^ (raw.backslashes | carry.escape_pending);
    uint64_t escape = escape_and_terminal & backslash;
    carry.escape_pending = escape >> 63;

    // Quotes that open or close a string; the in-string mask runs from an
    // opening quote (included) to its closing quote (excluded).
    uint64_t quotes = raw.quotes & ~escaped;
    uint64_t in_string = prefix(quotes) ^ carry.string_open;
    carry.string_open = static_cast<uint64_t>(static_cast<int64_t>(in_string) >> 63);

    // Inside or closing: set from the byte after an opening quote up to and
    // including the closing quote.
    uint64_t inside_or_closing = valid_bits & (quotes ^ in_string);
    out.structurals = valid_bits & ~inside_or_closing & (raw.operators | quotes);

    if (raw.backslashes) carry.flags |= ZVL_JSON_FLAG_BACKSLASH;
    if (valid_bits & in_string & raw.controls) carry.flags |= ZVL_JSON_FLAG_CONTROL_IN_STRING;
    return out;
}

// Drives a classifier over the text: classify(block) reads exactly 64 bytes
// and gives their raw masks; a last partial block is copied into a buffer
// padded with spaces (a byte of no class).
template <typename classifier, typename prefix_xor, typename sink>
inline int32_t stage1_run(const char *text, uint64_t len, int32_t *flags, classifier classify, prefix_xor prefix,
                          sink take) {
    stage1_carry carry;
    uint64_t offset = 0;
    for (; len - offset >= 64; offset += 64) take(offset, finish_block(carry, classify(text + offset), ~0ull, prefix));
    if (offset < len) {
        char padded[64];
        uint64_t rest = len - offset;
        for (uint64_t i = 0; i < 64; ++i) padded[i] = i < rest ? text[offset + i] : ' ';
        take(offset, finish_block(carry, classify(padded), (1ull << rest) - 1, prefix));
    }
    if (flags) *flags |= carry.flags;
    return carry.string_open ? 0 : 1;
}

template <typename classifier, typename prefix_xor>
inline int32_t stage1_masks_with(const char *text, uint64_t len, zvl_json_stage1_block *blocks, uint64_t *block_count,
                                 int32_t *flags, classifier classify, prefix_xor prefix) {
    uint64_t count = 0;
    int32_t result = stage1_run(text, len, flags, classify, prefix,
                                [&](uint64_t, const zvl_json_stage1_block &b) { blocks[count++] = b; });
    if (block_count) *block_count = count;
    return result;
}

template <typename classifier, typename prefix_xor>
inline int32_t stage1_positions_with(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                                     int32_t *flags, classifier classify, prefix_xor prefix) {
    uint64_t written = 0;
    int32_t result =
        stage1_run(text, len, flags, classify, prefix, [&](uint64_t offset, const zvl_json_stage1_block &b) {
            uint64_t bits = b.structurals;
            while (bits) {
                positions[written++] = static_cast<uint32_t>(offset + static_cast<uint64_t>(__builtin_ctzll(bits)));
                bits &= bits - 1;
            }
        });
    if (count) *count = written;
    return result;
}

using stage1_masks_kernel = int32_t (*)(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                        uint64_t *block_count, int32_t *flags);
using stage1_positions_kernel = int32_t (*)(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                                            int32_t *flags);

struct stage1_variant {
    const char *name;
    stage1_masks_kernel masks;
    stage1_positions_kernel positions;
    bool (*supported)();  // whether this processor runs it
};

// Every variant built for this target, the portable one first.
std::span<const stage1_variant> stage1_variants();
// The fastest supported variant, chosen once at first use.
const stage1_variant &stage1_best();

}  // namespace zvl::json
