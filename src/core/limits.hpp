// Limits that every layer shares.
#pragma once

#include <cstdint>

namespace zvl {

// Open collections a document may nest: deep enough for any real file,
// shallow enough that recursive walks and fixed level stacks stay small.
// Parser, store, JSON builders, CBOR decoder and every writer use this one.
inline constexpr uint32_t nesting_limit = 1000;

}  // namespace zvl
