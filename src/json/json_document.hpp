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

// Whole-text validation as zvl_json_document does it, with at most max_open
// containers open (capped at the library's 1000 levels). too_deep tells a
// failure at a bracket past that limit from a syntax error.
struct json_validation {
    bool valid = false;
    bool too_deep = false;
    uint64_t failed_at = 0;
};
json_validation json_validate(const char *text, uint64_t len, uint32_t max_open);

}  // namespace zvl
