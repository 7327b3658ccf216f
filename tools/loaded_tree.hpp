// A document's nodes as a loader sees them: aliases followed, merge keys
// ("<<") applied, tags reduced to the types they give. `zarvel get` walks
// paths over this view and copies the nodes it reaches into a document of
// their own, which the serialisers then write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zarvel.h"

namespace zarvel_tool {

struct node_pair {
    zarvel_node *key;
    zarvel_node *value;
};

// The node an alias chain ends at (the node itself when it is no alias).
zarvel_node *resolve_alias(zarvel_node *node);

// A mapping's pairs after merge keys: explicit pairs win over merged ones,
// earlier merged mappings over later ones, a later duplicate key over an
// earlier one (its value replaces the first in place). Merged pairs stand
// where their "<<" key stood. False, with a reason, when a merge value is
// not a mapping or a sequence of mappings, or merges nest too deep.
bool loaded_pairs(zarvel_node *mapping, std::vector<node_pair> &out, std::string &error);

// One step of a path, as jq writes them.
struct path_step {
    enum kind_t { key, index, each } kind;
    std::string text;    // key
    int64_t number = 0;  // index (negative: from the end)
};
// ".a.b[0]", ".[\"k.x\"]", ".a[-1]", ".a[]", "." (no steps). False with a
// reason when the path does not parse.
bool parse_path(const std::string &path, std::vector<path_step> &steps, std::string &error);

// Applies the steps to root; each result is a node or null (missing). "[]"
// gives every item or value. False with a reason on a bad merge key.
bool evaluate_path(zarvel_node *root, const std::vector<path_step> &steps, std::vector<zarvel_node *> &results,
                   std::string &error);

// Copies node (aliases expanded, merges applied, tags dropped with the types
// kept) into a new document of its own. At most budget nodes are written, so
// that an alias bomb is refused rather than expanded. Null with a reason.
zarvel_document *copy_loaded(zarvel_node *node, uint64_t budget, std::string &error);

}  // namespace zarvel_tool
