// Stage 1 of the JSON readers: the text classified 64 bytes at a time into
// bit masks (bit i = byte i of a block), and the one carry logic that turns
// the raw classes into in-string and structural masks. Two forms come out of
// it:
//
// - The structural index of the indexed tape builder, produced a chunk at a
//   time into a small buffer so that the builder reads it while it is still
//   in the cache. Indexed offsets: every structural character outside
//   strings, every quote that opens or closes a string, every backslash
//   inside a string, and the first byte of every run of other bytes outside
//   strings (the start of a number or literal, or of garbage). Whitespace is
//   never indexed.
//
//   Why that is enough for a builder that only visits indexed offsets: quotes
//   pair up in text order in both the classifier and the builder, so their
//   strings are the same; a string body without indexed offsets holds no
//   backslash and no quote, and control bytes inside strings raise the error
//   flag; every other byte outside strings is whitespace, indexed, or part of
//   a run whose first byte is indexed and which a scalar parse must consume
//   whole (it must end at a delimiter).
//
// - The stage-1 block records and structural positions of the exported
//   zvl_json_stage1_* kernels (and the table's slots for them).
//
// A vector variant only classifies the raw bytes and computes the prefix XOR
// faster; everything after that is this one code, so every variant's output
// is the same bit for bit. The kernel table (core/kernels.hpp) publishes the
// fastest variant the processor runs.
#pragma once

#include <cstdint>
#include <span>

#include "zarvel.h"

namespace zvl::json {

// Blocks classified per chunk, and the room a chunk needs: at most one
// offset per byte.
inline constexpr uint32_t index_chunk_blocks = 128;
inline constexpr uint32_t index_chunk_room = index_chunk_blocks * 64;
static_assert(index_chunk_room <= 65536, "chunk offsets are 16 bits");

// The raw classes of one 64-byte block (bit i = byte i; bytes past the end
// are spaces).
struct index_block_classes {
    uint64_t quotes;
    uint64_t backslashes;
    uint64_t operators;   // { } [ ] , : and the control bytes 0x0C and 0x1A (which
                          // vector classifiers find cheaply among them; outside
                          // strings the walk refuses them like any stray byte)
    uint64_t separators;  // the bytes that end a run of other bytes: whitespace
                          // (space, tab, line feed, carriage return), operators
                          // and quotes
    uint64_t controls;    // below 0x20
};

// The string carries, from block to block.
struct string_carry {
    uint64_t escape_pending = 0;  // 1: the previous block ended with an unfinished escape
    uint64_t string_open = 0;     // all ones: the previous block ended inside a string
};

// Carried from block to block and chunk to chunk by the index.
struct index_state : string_carry {
    uint64_t offset = 0;                // next byte to classify
    uint64_t other_before = 0;          // 1: the previous block ended inside a run of other bytes
    uint64_t control_in_string = 0;     // nonzero: a control byte inside a string
    bool special = false;               // a byte of 0x80 or above was seen
    bool bad_utf8 = false;              // set only by variants that check UTF-8 as they go
    alignas(32) uint8_t tail[32] = {};  // last 32 bytes of the previous block (UTF-8 check)
};

// Bit i = XOR of bits 0..i.
inline uint64_t prefix_xor_portable(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

struct string_masks {
    uint64_t quotes;     // quotes that open or close a string
    uint64_t in_string;  // from an opening quote (included) to its closing quote (excluded)
};

// The strings of one block. Characters escaped by a backslash: odd-length
// runs of backslashes escape the byte after them. Subtracting the run starts
// from the runs (with the odd bit positions set) flips exactly the bits that
// follow a run whose length has the wrong parity for its start.
template <typename prefix_xor>
__attribute__((always_inline)) inline string_masks find_strings(string_carry &s, uint64_t quotes, uint64_t backslashes,
                                                                prefix_xor prefix) {
    constexpr uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAull;
    uint64_t escaped = 0;  // most blocks hold no backslash and start no escape
    if (backslashes | s.escape_pending) {
        uint64_t backslash = backslashes & ~s.escape_pending;
        uint64_t escape_and_terminal = (((backslash << 1) | odd_bits) - backslash) ^ odd_bits;
        escaped = escape_and_terminal ^ (backslashes | s.escape_pending);
        s.escape_pending = (escape_and_terminal & backslash) >> 63;
    }
    string_masks m;
    m.quotes = quotes & ~escaped;
    m.in_string = prefix(m.quotes) ^ s.string_open;
    s.string_open = static_cast<uint64_t>(static_cast<int64_t>(m.in_string) >> 63);
    return m;
}

// The indexed bits of one block from its raw classes.
template <typename prefix_xor>
__attribute__((always_inline)) inline uint64_t index_bits(index_state &s, const index_block_classes &c,
                                                          prefix_xor prefix) {
    const string_masks m = find_strings(s, c.quotes, c.backslashes, prefix);
    uint64_t body = m.in_string & ~m.quotes;   // strictly inside strings
    s.control_in_string |= body & c.controls;  // gathered: a test per block costs more

    // An escaped quote outside strings separates too: the backslash before it
    // is then outside strings as well, starts or ends a run, and is refused.
    uint64_t other = ~(c.separators | m.in_string);
    uint64_t run_starts = other & ~((other << 1) | s.other_before);
    s.other_before = other >> 63;
    return (c.operators & ~m.in_string) | m.quotes | run_starts | (c.backslashes & body);
}

// ---- the stage-1 records ---------------------------------------------------

// The finished record of one block; valid_bits marks the bytes that exist.
template <typename prefix_xor>
inline zvl_json_stage1_block stage1_record(string_carry &carry, int32_t &flags, const index_block_classes &c,
                                           uint64_t valid_bits, prefix_xor prefix) {
    zvl_json_stage1_block out;
    out.quotes = c.quotes;
    out.backslashes = c.backslashes;
    out.operators = c.operators & ~c.controls;  // without 0x0C and 0x1A
    out.controls = c.controls;
    const string_masks m = find_strings(carry, c.quotes, c.backslashes, prefix);
    // Inside or closing: set from the byte after an opening quote up to and
    // including the closing quote.
    uint64_t inside_or_closing = valid_bits & (m.quotes ^ m.in_string);
    out.structurals = valid_bits & ~inside_or_closing & (out.operators | m.quotes);
    if (c.backslashes) flags |= ZVL_JSON_FLAG_BACKSLASH;
    if (valid_bits & m.in_string & c.controls) flags |= ZVL_JSON_FLAG_CONTROL_IN_STRING;
    return out;
}

// Drives a classifier over the text: classify(block) reads exactly 64 bytes
// and gives their raw classes; a last partial block is copied into a buffer
// padded with spaces (a byte of no class).
template <typename classifier, typename prefix_xor, typename sink>
inline int32_t stage1_run(const char *text, uint64_t len, int32_t *flags, classifier classify, prefix_xor prefix,
                          sink take) {
    string_carry carry;
    int32_t seen = 0;
    uint64_t offset = 0;
    for (; len - offset >= 64; offset += 64)
        take(offset, stage1_record(carry, seen, classify(text + offset), ~0ull, prefix));
    if (offset < len) {
        alignas(64) char padded[64];
        uint64_t rest = len - offset;
        for (uint64_t i = 0; i < 64; ++i) padded[i] = i < rest ? text[offset + i] : ' ';
        take(offset, stage1_record(carry, seen, classify(padded), (1ull << rest) - 1, prefix));
    }
    if (flags) *flags |= seen;
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

// ---- variants ----------------------------------------------------------------

// Classifies from s.offset: at most index_chunk_blocks blocks, writing the
// offsets of indexed bits in increasing order, relative to s.offset at entry
// (16 bits hold a whole chunk, and halve the stores), and at the same index
// the byte each points at. Returns how many.
using index_fill = uint32_t (*)(index_state &s, const char *text, uint64_t len, uint16_t *offsets, uint8_t *bytes);
using stage1_positions_kernel = int32_t (*)(const char *text, uint64_t len, uint32_t *positions, uint64_t *count,
                                            int32_t *flags);
using stage1_masks_kernel = int32_t (*)(const char *text, uint64_t len, zvl_json_stage1_block *blocks,
                                        uint64_t *block_count, int32_t *flags);

struct index_variant {
    const char *name;
    index_fill fill;
    bool checks_utf8;  // else the caller validates UTF-8 when s.special is set
    bool (*supported)();
    stage1_positions_kernel positions;
    stage1_masks_kernel masks;
};

// Portable first, then the vector variants built for this target, slowest
// first. The kernel table publishes the best one the processor runs.
std::span<const index_variant> index_variants();
// The vector variants; null where the target has none.
const index_variant *index_variant_avx2();
const index_variant *index_variant_avx512();

// Portable classification of a block (also the test twin of the vectors).
index_block_classes index_classify_portable(const char *block);
uint32_t index_fill_portable(index_state &s, const char *text, uint64_t len, uint16_t *offsets, uint8_t *bytes);

}  // namespace zvl::json
