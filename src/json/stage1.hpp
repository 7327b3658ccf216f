// Shared pieces of the stage-1 kernels: the raw byte classes of a 64-byte
// block, and the carry that turns them into in-string and structural masks.
// Vector variants produce raw_block_masks faster; the rest is common, so
// every variant's output is the same bit for bit.
#pragma once

#include <cstdint>

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

    // The finished record of one block; prefix computes the prefix XOR.
    zvl_json_stage1_block finish(const raw_block_masks &raw, uint64_t valid_bits,
                                 uint64_t (*prefix)(uint64_t));
};

// Bit i of the result = XOR of bits 0..i of x.
uint64_t prefix_xor(uint64_t x);

// Portable classification of the block at text[offset..min(offset+64, len)).
raw_block_masks classify_block(const char *text, uint64_t len, uint64_t offset);

}  // namespace zvl::json
