// Limits that every layer shares.
#pragma once

#include <cstdint>

namespace zvl {

// Open collections a document may nest: deep enough for any real file,
// shallow enough that recursive walks and fixed level stacks stay small.
// Parser, store, JSON builders, CBOR decoder and every writer use this one.
inline constexpr uint32_t nesting_limit = 1000;

// Levels of the fixed level stacks of the fast readers (the JSON stepper and
// tape builders, the fused block scanner, the exported JSON kernels, which
// keep one for the top); a deeper text takes the general road.
inline constexpr uint32_t fast_levels = 256;

// Longest implicit key YAML allows, in characters: the scanner, the block
// scanner and the JSON stepper all stop there.
inline constexpr uint64_t implicit_key_limit = 1024;

}  // namespace zvl
