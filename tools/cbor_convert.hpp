// CBOR side of `zarvel convert`: CBOR input (a CBOR sequence gives one
// document per item) and CBOR output (one data item per document of the
// stream, so a stream of several documents becomes a CBOR sequence).
#pragma once

#include <functional>

#include "command.hpp"
#include "zarvel.h"

namespace zarvel_tool {

// Writes every document of the stream as CBOR to standard output; canonical
// sorts map keys by their encoded bytes. Returns an exit status (a document
// that cannot be encoded is reported with its index and the reason).
int write_cbor(zarvel_document *document, bool canonical);

// Decodes the input as a CBOR sequence and hands each document, with its
// index, to `each` (which writes it; the document is freed afterwards).
// `each` returns false when writing failed, after reporting why. Returns an exit status; decoding
// failures are reported with the item and the decoder's message.
int read_cbor(const input &in, bool strict, const std::function<bool(zarvel_document *document, uint64_t index)> &each);

}  // namespace zarvel_tool
