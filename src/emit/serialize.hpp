// The serialiser's document walk, shared by every entry point.
#pragma once

#include "emit/writer.hpp"

namespace zvl {

// Writes every document of w.store in the writer's modes (one pass).
void serialize_pass(zarvel_writer &w);

}  // namespace zvl
