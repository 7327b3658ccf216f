// The structural index of the indexed tape builder: the text is classified
// 64 bytes at a time into one bit set of the offsets the builder must look
// at, produced a chunk at a time into a small buffer so that the builder
// reads it while it is still in the cache.
//
// Indexed offsets: every structural character outside strings, every quote
// that opens or closes a string, every backslash inside a string, and the
// first byte of every run of other bytes outside strings (the start of a
// number or literal, or of garbage). Whitespace is never indexed.
//
// Why that is enough for a builder that only visits indexed offsets: quotes
// pair up in text order in both the classifier and the builder, so their
// strings are the same; a string body without indexed offsets holds no
// backslash and no quote, and control bytes inside strings raise the error
// flag; every other byte outside strings is whitespace, indexed, or part of a
// run whose first byte is indexed and which a scalar parse must consume
// whole (it must end at a delimiter).
#pragma once

#include <cstdint>
#include <span>

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
    uint64_t whitespace;  // space, tab, line feed, carriage return
    uint64_t controls;    // below 0x20
};

// Carried from block to block and chunk to chunk.
struct index_state {
    uint64_t offset = 0;          // next byte to classify
    uint64_t escape_pending = 0;  // 1: the previous block ended with an unfinished escape
    uint64_t string_open = 0;     // all ones: the previous block ended inside a string
    uint64_t other_before = 0;    // 1: the previous block ended inside a run of other bytes
    bool control_in_string = false;
    bool special = false;               // a byte of 0x80 or above was seen
    bool bad_utf8 = false;              // set only by variants that check UTF-8 as they go
    alignas(32) uint8_t tail[32] = {};  // last 32 bytes of the previous block (UTF-8 check)
};

// Bit i = XOR of bits 0..i.
inline uint64_t index_prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The indexed bits of one block from its raw classes; shared by every
// variant so that their outputs agree bit for bit.
template <typename prefix_xor>
__attribute__((always_inline)) inline uint64_t index_bits(index_state &s, const index_block_classes &c,
                                                          prefix_xor prefix) {
    constexpr uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAull;
    uint64_t escaped = 0;  // most blocks hold no backslash and start no escape
    if (c.backslashes | s.escape_pending) {
        uint64_t backslash = c.backslashes & ~s.escape_pending;
        uint64_t escape_and_terminal = (((backslash << 1) | odd_bits) - backslash) ^ odd_bits;
        escaped = escape_and_terminal ^ (c.backslashes | s.escape_pending);
        s.escape_pending = (escape_and_terminal & backslash) >> 63;
    }

    uint64_t quotes = c.quotes & ~escaped;
    uint64_t in_string = prefix(quotes) ^ s.string_open;  // opening quote in, closing out
    s.string_open = static_cast<uint64_t>(static_cast<int64_t>(in_string) >> 63);
    uint64_t body = in_string & ~quotes;  // strictly inside strings
    if (body & c.controls) s.control_in_string = true;

    uint64_t other = ~(c.whitespace | c.operators | quotes | in_string);
    uint64_t run_starts = other & ~((other << 1) | s.other_before);
    s.other_before = other >> 63;
    return (c.operators & ~in_string) | quotes | run_starts | (c.backslashes & body);
}

// Classifies from s.offset: at most index_chunk_blocks blocks, writing the
// offsets of indexed bits in increasing order, relative to s.offset at entry
// (16 bits hold a whole chunk, and halve the stores). Returns how many.
using index_fill = uint32_t (*)(index_state &s, const char *text, uint64_t len, uint16_t *out);

struct index_variant {
    const char *name;
    index_fill fill;
    bool checks_utf8;  // else the caller validates UTF-8 when s.special is set
    bool (*supported)();
};

// Portable first, then the vector variants built for this target.
std::span<const index_variant> index_variants();
// The fastest supported vector variant, or null when there is none (the
// byte-at-a-time builders are then faster than the portable classifier).
const index_variant *index_best();

// Portable classification of a block (also the test twin of the vectors).
index_block_classes index_classify_portable(const char *block);
uint32_t index_fill_portable(index_state &s, const char *text, uint64_t len, uint16_t *out);

}  // namespace zvl::json
