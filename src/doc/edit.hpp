// Tree editing on a node store: creating free-standing nodes, the attach and
// detach steps with their checks, and making a tree a stream root. Shared by
// the exported editing functions (doc/edit.cpp) and the record-driven builder
// (doc/build.cpp).
//
// Invariants kept by every step here:
//   - a node hangs in at most one place (its `attached` bit is set while it
//     is a child or a root);
//   - no tree is deeper than zarvel_store_max_depth levels (`depths` holds
//     each node's depth below the top of its tree);
//   - no node hangs inside its own subtree.
// Parsed trees enter these invariants when the side arrays are first created:
// every node reachable from a root is then marked attached with its depth.
#pragma once

#include <cstdint>
#include <string_view>

#include "doc/store.hpp"

namespace zvl::edit {

// Results of the attaching steps.
enum result : int {
    done = 0,
    wrong_kind = -1,     // the target is not of the required kind, or no memory
    duplicate_key = -2,  // the key text is already present
    too_deep = -3,       // the tree would pass zarvel_store_max_depth levels
    not_free = -4,       // the node does not exist, is attached, or would
                         // hang inside itself
};

// Makes the side arrays cover every node (first creation marks parsed trees).
bool ensure_side_arrays(zarvel_node_store *store);

bool is_attached(const zarvel_node_store *store, uint32_t id);
uint32_t depth_of(const zarvel_node_store *store, uint32_t id);

// New free-standing nodes; none on failure (nothing is left behind).
// Scalar: the text is copied; style bits as given (low three bits); tag id
// from the core resolver for style 1, else str.
uint32_t new_scalar(zarvel_node_store *store, const char *text, uint64_t length, uint32_t style);
uint32_t new_collection(zarvel_node_store *store, uint8_t kind);
uint32_t new_alias(zarvel_node_store *store, uint32_t target, const char *name, uint64_t length);

// Replaces the tag or anchor span with a copy of the text (length 0 clears).
// False when string storage cannot grow (the node is unchanged).
bool set_tag_text(zarvel_node_store *store, uint32_t id, const char *text, uint64_t length);
bool set_anchor_text(zarvel_node_store *store, uint32_t id, const char *text, uint64_t length);

// Child test of `child` below `parent`: not_free or too_deep, else done.
result check_child(zarvel_node_store *store, uint32_t parent, uint32_t child);
// Appends a checked child as parent's last child and records its tree's depths.
void attach(zarvel_node_store *store, uint32_t parent, uint32_t child);

// Key search: the first key whose text equals `key`; none when absent.
uint32_t find_key(const zarvel_node_store *store, uint32_t mapping, std::string_view key);

// The attaching operations (side arrays are ensured inside).
result make_root(zarvel_node_store *store, uint32_t id);
result seq_append(zarvel_node_store *store, uint32_t sequence, uint32_t item);
result seq_replace(zarvel_node_store *store, uint32_t sequence, uint32_t index, uint32_t item);
result seq_remove(zarvel_node_store *store, uint32_t sequence, uint32_t index);
result map_add_text(zarvel_node_store *store, uint32_t mapping, std::string_view key, uint32_t value);
result map_add_node(zarvel_node_store *store, uint32_t mapping, uint32_t key, uint32_t value);
// As map_add_node without the key search: the caller has made sure the key
// text is absent.
result map_add_pair(zarvel_node_store *store, uint32_t mapping, uint32_t key, uint32_t value);
result map_set_text(zarvel_node_store *store, uint32_t mapping, std::string_view key, uint32_t value);
result map_remove(zarvel_node_store *store, uint32_t mapping, std::string_view key);

}  // namespace zvl::edit
