// The serialiser's document walk, shared by every entry point.
#pragma once

#include "emit/writer.hpp"

namespace zvl {

// Writes every document of w.store in the writer's modes (one pass).
void serialize_pass(zarvel_writer &w);

// JSON text of document `index` of the stream alone (for tools that convert
// multi-document streams one JSON text per document), or of the whole
// stream for zarvel_node_none; allocated like zarvel_serialize_json. Null
// on failure or when index is out of range.
char *serialize_document_json(zarvel_document *document, uint32_t index, bool compact, uint64_t *out_len);

}  // namespace zvl
