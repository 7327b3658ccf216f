// Marshal side of `zarvel convert`: Ruby Marshal 4.8 bytes of the first
// document of a YAML or JSON text, or of all its documents as one array.
#pragma once

#include <cstdint>

#include "command.hpp"
#include "zarvel.h"

namespace zarvel_tool {

// Writes the Marshal bytes of the text to standard output; schema 1 reads it
// under the YAML 1.1 rules. Returns an exit status; a failure is reported
// with the position (text not well-formed) or the library's reason (not
// expressible as Marshal data).
int write_marshal(const input &in, int32_t schema, bool all);

// The same for the first root of a document built from other input (CBOR).
int write_marshal_document(zarvel_document *document);

}  // namespace zarvel_tool
