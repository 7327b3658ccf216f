// Internal entry of the CBOR encoder for callers that need a root other than
// the first (the command-line tool converts whole streams).
#pragma once

#include <cstdint>

#include "zarvel.h"

namespace zvl::cbor {

// Encoding of the document's root number `index` (a buffer from the system
// allocator, released with zarvel_free) and its length; null on failure with
// *status (optional) set to the encoder's status (2, 6, 7 or 8). Records no
// message.
uint8_t *encode_root(zarvel_document *document, uint64_t index, uint32_t flags, uint64_t *length, int32_t *status);

}  // namespace zvl::cbor
