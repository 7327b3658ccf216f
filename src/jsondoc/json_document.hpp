// Internal roads of zarvel_parse_json, for callers and tests that want one.
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_source_ops;

namespace zvl {

// The pending-body table of a document whose source is a held JSON tape.
extern const zarvel_source_ops json_tape_source;

// Steps 3 onwards of the JSON document parse: validate, build the nodes at
// once with the direct builder (or, if it refuses, through the YAML parse
// entry). Takes any text; the tape road is not tried. status is optional.
zarvel_document *json_document_direct(const char *text, uint64_t len, int32_t *status);

}  // namespace zvl
