// The texts of the typed outputs' failures (Marshal, schema load), in one
// place so the wording stays uniform. Callers and tests compare them:
// change a text only on purpose.
#pragma once

namespace zvl::typed::message {

// Marshal: a node the direct writer cannot express.
inline constexpr char marshal_merge[] =
    "marshal: merge key, timestamp or forward alias not expressible; fall back to the value walk";
inline constexpr char marshal_tag[] = "marshal: explicitly tagged node not expressible; fall back to the value walk";

// Schema load.
inline constexpr char descriptor_abi[] = "descriptor ABI %u != %u (recompile the descriptor)";
inline constexpr char not_a_number[] = "node %d: value is not a number";
inline constexpr char required_missing[] = "required descriptor node %u missing";
inline constexpr char column_capacity[] = "output column capacity exceeded";

}  // namespace zvl::typed::message
