// Internal roads of zarvel_parse_json, for callers and tests that want one.
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_source_ops;

namespace zvl {

// The pending-body tables of a document whose source is a held JSON tape,
// and of one whose source is its views.
extern const zarvel_source_ops json_tape_source;
extern const zarvel_source_ops json_views_source;

// Step 1 of the JSON document parse, the tape road: a document built by
// the indexed walk (with `in_order`, its views written instead), or where
// that cannot run one whose nodes are made from a held tape on first
// access; null when the text is not one object or array the builders take
// (*status untouched) or memory ran out (*status 2). A document built at
// once sets *longest_key (when given) to the raw length of its longest
// object key.
zarvel_document *json_tape_road(const char *text, uint64_t len, int32_t *status, uint64_t *longest_key = nullptr,
                                bool in_order = false);

// The tape a document from the tape road holds until its nodes are made,
// and what its walk learnt (*facts); null for any other document or once it
// is built.
struct tape_walk_facts;
const zarvel_tape *json_pending_tape(const zarvel_document *document, const tape_walk_facts **facts);

// Steps 3 onwards of the JSON document parse: validate, build the nodes at
// once with the direct builder (or, if it refuses, through the YAML parse
// entry). Takes any text; the tape road is not tried. status is optional.
zarvel_document *json_document_direct(const char *text, uint64_t len, int32_t *status);

}  // namespace zvl
