// The texts of the plain outputs' failures (plain JSON and plain CBOR), in
// one place so the wording stays uniform. Callers and tests compare them:
// change a text only on purpose.
#pragma once

namespace zvl::plain::message {

// The reason that stands for a failed allocation (compared by address).
inline constexpr char no_memory[] = "out of memory";

// Reasons a value has no plain form: "<reason> at <path>", and the node's
// place in the input when it has one.
inline constexpr char at_path[] = "%s at %s";
inline constexpr char at_path_line[] = "%s at %s (line %u, column %u)";
inline constexpr char unreadable[] = "unreadable value";
inline constexpr char not_bool[] = "a bool-tagged scalar that is not true or false";
inline constexpr char not_int[] = "an int-tagged scalar that does not read as an integer";
inline constexpr char not_float[] = "a float-tagged scalar that does not read as a number";
inline constexpr char not_base64[] = "a binary scalar that is not base64";
inline constexpr char collection_key[] = "a collection used as a mapping key has no JSON form";
inline constexpr char nan_in_json[] = "NaN has no JSON form";
inline constexpr char infinity_in_json[] = "an infinity has no JSON form";
inline constexpr char alias_to_nothing[] = "alias to no node";
inline constexpr char too_deep[] = "nesting deeper than 1000 levels";
inline constexpr char merge_too_deep[] = "merge keys nested deeper than 1000 levels";
inline constexpr char bad_merge[] = "a merge key's value must be a mapping or a sequence of mappings";
inline constexpr char duplicate_key[] = "duplicate key in a mapping";
inline constexpr char over_budget[] = "alias expansion exceeds the budget of %llu output nodes";

// The call itself.
inline constexpr char no_such_document[] = "no document %u in a stream of %u";
inline constexpr char callback_stopped[] = "the output callback stopped the call";

}  // namespace zvl::plain::message
