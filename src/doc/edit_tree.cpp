// Tree editing steps on a node store: side arrays, node creation, the child
// and root checks, attach, detach and replacement. See doc/edit.hpp for the
// invariants they keep.
#include <cstring>

#include "doc/edit.hpp"
#include "doc/resolve.hpp"
#include "doc/tree_builder.hpp"

namespace zvl::edit {
namespace {

using zvl::tree::walk_tree;

constexpr uint32_t first_side_capacity = 64;

// ---- side arrays ------------------------------------------------------------

void set_attached(zarvel_node_store *store, uint32_t id, bool on) {
    uint8_t bit = uint8_t(1u << (id & 7));
    if (on)
        store->attached[id >> 3] |= bit;
    else
        store->attached[id >> 3] &= uint8_t(~bit);
}

// Records the depth of every node of the tree under top, starting at base.
void set_tree_depths(zarvel_node_store *store, uint32_t top, uint32_t base) {
    walk_tree(store, top, [store, base](uint32_t id, uint32_t level) {
        store->depths[id] = uint16_t(base + level);
        return true;
    });
}

// Height of the tree under top (0 for a node without children). Sets
// *contains when `inside` is a node of that tree; false when the walk could
// not finish (too deep).
bool tree_height(const zarvel_node_store *store, uint32_t top, uint32_t inside, uint32_t *height, bool *contains) {
    uint32_t highest = 0;
    bool found = false;
    bool complete = walk_tree(store, top, [&](uint32_t id, uint32_t level) {
        if (id == inside) {
            found = true;
            return false;
        }
        if (level > highest) highest = level;
        return true;
    });
    *height = highest;
    *contains = found;
    return complete || found;
}

// Parsed trees carry no side-array state: mark every node reachable from a
// root as attached and record its depth, so the checks cover them too.
bool mark_parsed_trees(zarvel_node_store *store) {
    for (uint32_t r = 0; r < store->root_count; ++r) {
        uint32_t root = store->roots[r];
        if (root >= store->node_count) continue;
        bool complete = walk_tree(store, root, [store](uint32_t id, uint32_t level) {
            set_attached(store, id, true);
            store->depths[id] = uint16_t(level);
            return true;
        });
        if (!complete) return false;
    }
    return true;
}

// ---- text -------------------------------------------------------------------

// Copies a text into string storage. Unlike zarvel_store_put_text this also
// takes a text that lies in the store's own string storage (a host may pass a
// pointer it read from the document): the source is re-derived after growth.
zarvel_span copy_text(zarvel_node_store *store, const char *text, uint64_t length) {
    if (length == 0) return 0;
    if (length > 0xFFFFFFFFu || !text) return zarvel_span_failed;
    uintptr_t old_base = reinterpret_cast<uintptr_t>(store->strings);
    uintptr_t source = reinterpret_cast<uintptr_t>(text);
    bool inside = store->strings && source >= old_base && source < old_base + store->strings_len;
    uint64_t inside_offset = inside ? source - old_base : 0;
    if (!zarvel_store_strings_reserve(store, length)) return zarvel_span_failed;
    if (inside) text = store->strings + inside_offset;
    uint32_t offset = store->strings_len;
    std::memmove(store->strings + offset, text, length);
    store->strings_len += uint32_t(length);
    return zarvel_span_make(offset, uint32_t(length), true);
}

bool text_copied(zarvel_span span, uint64_t length) { return length == 0 || span != zarvel_span_failed; }

// A fresh record (or none): its side-array entries (if any) read as free.
uint32_t fresh_node(zarvel_node_store *store, uint32_t id) {
    if (id == zarvel_node_none) return id;
    if (store->attached && id < store->side_capacity) {
        set_attached(store, id, false);
        store->depths[id] = 0;
    }
    zarvel_store_drop_map_index(store, id);
    return id;
}

// ---- child lists --------------------------------------------------------------

// The index-th child of parent and its predecessor (none when first).
bool child_at(const zarvel_node_store *store, uint32_t parent, uint32_t index, uint32_t *child, uint32_t *previous) {
    uint32_t prev = zarvel_node_none;
    uint32_t c = store->nodes[parent].first_child;
    for (uint32_t i = 0; i < index && c < store->node_count; ++i) {
        prev = c;
        c = store->nodes[c].next_sibling;
    }
    if (c >= store->node_count) return false;
    *child = c;
    *previous = prev;
    return true;
}

// A collection's children changed: its key index is stale (the tree
// builder forgot positions already).
void children_changed(zarvel_node_store *store, uint32_t parent) {
    if (store->nodes[parent].kind() == ZARVEL_KIND_MAPPING) zarvel_store_drop_map_index(store, parent);
}

// The node no longer hangs anywhere: a free-standing tree counts its depths
// from its own top again.
void release_tree(zarvel_node_store *store, uint32_t id) {
    set_attached(store, id, false);
    set_tree_depths(store, id, 0);
}

// Unlinks child (whose predecessor is `previous`) from parent.
void unlink_child(zarvel_node_store *store, uint32_t parent, uint32_t child, uint32_t previous) {
    zvl::tree::unlink(store, parent, child, previous);
    release_tree(store, child);
    children_changed(store, parent);
}

// Puts `item` (checked) in the place of `old` (a child of parent after
// `previous`), releasing old.
void replace_child(zarvel_node_store *store, uint32_t parent, uint32_t old, uint32_t previous, uint32_t item) {
    zvl::tree::replace(store, parent, old, previous, item);
    release_tree(store, old);
    set_attached(store, item, true);
    set_tree_depths(store, item, depth_of(store, parent) + 1);
    children_changed(store, parent);
}

// Key search with the key's predecessor in the child list.
uint32_t find_key_at(const zarvel_node_store *store, uint32_t mapping, std::string_view key, uint32_t *previous) {
    uint32_t prev = zarvel_node_none;
    uint32_t k = store->nodes[mapping].first_child;
    while (k < store->node_count) {
        if (zarvel_store_text(store, store->nodes[k].value) == key) {
            if (previous) *previous = prev;
            return k;
        }
        uint32_t v = store->nodes[k].next_sibling;
        if (v >= store->node_count) break;
        prev = v;
        k = store->nodes[v].next_sibling;
    }
    return zarvel_node_none;
}

bool is_kind(const zarvel_node_store *store, uint32_t id, uint8_t kind) {
    return store && id < store->node_count && store->nodes[id].kind() == kind;
}

}  // namespace

// ---- side arrays ------------------------------------------------------------------

bool ensure_side_arrays(zarvel_node_store *store) {
    if (store->attached && store->side_capacity >= store->node_count) return true;
    bool first = store->attached == nullptr;
    uint64_t capacity = store->side_capacity ? store->side_capacity : first_side_capacity;
    while (capacity < store->node_count) capacity *= 2;
    if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
    uint64_t old_capacity = first ? 0 : store->side_capacity;
    uint64_t bytes = (capacity + 7) / 8;
    uint64_t old_bytes = (old_capacity + 7) / 8;
    auto *bits = static_cast<uint8_t *>(zvl::allocate(store->allocator, bytes));
    auto *depths = static_cast<uint16_t *>(zvl::allocate(store->allocator, capacity * sizeof(uint16_t)));
    if (!bits || !depths) {
        zvl::deallocate(store->allocator, bits);
        zvl::deallocate(store->allocator, depths);
        return false;
    }
    if (old_bytes) std::memcpy(bits, store->attached, old_bytes);
    std::memset(bits + old_bytes, 0, bytes - old_bytes);
    if (old_capacity) std::memcpy(depths, store->depths, old_capacity * sizeof(uint16_t));
    std::memset(depths + old_capacity, 0, (capacity - old_capacity) * sizeof(uint16_t));
    zvl::deallocate(store->allocator, store->attached);
    zvl::deallocate(store->allocator, store->depths);
    store->attached = bits;
    store->depths = depths;
    store->side_capacity = uint32_t(capacity);
    if (first && !mark_parsed_trees(store)) {
        // Leave no half-marked state behind: the next step starts over.
        zvl::deallocate(store->allocator, store->attached);
        zvl::deallocate(store->allocator, store->depths);
        store->attached = nullptr;
        store->depths = nullptr;
        store->side_capacity = 0;
        return false;
    }
    return true;
}

bool is_attached(const zarvel_node_store *store, uint32_t id) {
    if (!store->attached || id >= store->side_capacity) return false;
    return (store->attached[id >> 3] >> (id & 7)) & 1u;
}

uint32_t depth_of(const zarvel_node_store *store, uint32_t id) {
    if (!store->depths || id >= store->side_capacity) return 0;
    return store->depths[id];
}

// ---- node creation ------------------------------------------------------------------

uint32_t new_scalar(zarvel_node_store *store, const char *text, uint64_t length, uint32_t style) {
    uint32_t strings_mark = store->strings_len;
    zarvel_span value = copy_text(store, text, length);
    if (!text_copied(value, length)) return zarvel_node_none;
    uint8_t style_bits = uint8_t(style & 7u);
    // Resolve the stored copy: the caller's pointer may have lain in string
    // storage that the copy just moved.
    std::string_view stored = zarvel_store_text(store, value);
    uint8_t tag_id = style_bits == ZARVEL_NODE_STYLE_PLAIN
                         ? zarvel_core_resolver.text(nullptr, stored.data(), uint32_t(stored.size()))
                         : uint8_t(ZARVEL_TAG_STR);
    uint32_t id = fresh_node(
        store,
        zvl::tree::add(store, zvl::node_flag::make(ZARVEL_KIND_SCALAR, style_bits, false, false), tag_id, value));
    if (id == zarvel_node_none) zarvel_store_truncate(store, store->node_count, strings_mark);
    return id;
}

uint32_t new_collection(zarvel_node_store *store, uint8_t kind) {
    return fresh_node(store, zvl::tree::add(store, zvl::node_flag::make(kind, 0, false, false),
                                            kind == ZARVEL_KIND_SEQUENCE ? ZARVEL_TAG_SEQ : ZARVEL_TAG_MAP));
}

uint32_t new_alias(zarvel_node_store *store, uint32_t target, const char *name, uint64_t length) {
    uint32_t strings_mark = store->strings_len;
    zarvel_span value = copy_text(store, name, length);
    if (!text_copied(value, length)) return zarvel_node_none;
    uint32_t id = fresh_node(
        store, zvl::tree::add_alias(store, zvl::node_flag::make(ZARVEL_KIND_ALIAS, 0, false, false), 0, value, target));
    if (id == zarvel_node_none) zarvel_store_truncate(store, store->node_count, strings_mark);
    return id;
}

// A tag or anchor text copied and set; a failure leaves no copy behind.
static bool set_text(zarvel_node_store *store, uint32_t id, const char *text, uint64_t length,
                     bool (*set)(zarvel_node_store *, uint32_t, zarvel_span)) {
    const uint32_t strings_mark = store->strings_len;
    const zarvel_span span = copy_text(store, text, length);
    if (text_copied(span, length) && set(store, id, span)) return true;
    zarvel_store_truncate(store, store->node_count, strings_mark);
    return false;
}

bool set_tag_text(zarvel_node_store *store, uint32_t id, const char *text, uint64_t length) {
    return set_text(store, id, text, length, zvl::tree::set_tag);
}

bool set_anchor_text(zarvel_node_store *store, uint32_t id, const char *text, uint64_t length) {
    return set_text(store, id, text, length, zvl::tree::set_anchor);
}

// ---- checks and attach ----------------------------------------------------------------

result check_child(zarvel_node_store *store, uint32_t parent, uint32_t child) {
    if (child >= store->node_count || is_attached(store, child) || child == parent) return not_free;
    uint32_t height = 0;
    bool contains = false;
    bool complete = tree_height(store, child, parent, &height, &contains);
    // Hanging a tree below one of its own nodes would make a cycle.
    if (contains) return not_free;
    if (!complete) return too_deep;
    if (uint64_t(depth_of(store, parent)) + 1 + height > zarvel_store_max_depth) return too_deep;
    return done;
}

void attach(zarvel_node_store *store, uint32_t parent, uint32_t child) {
    zvl::tree::append(store, parent, child);
    set_attached(store, child, true);
    set_tree_depths(store, child, depth_of(store, parent) + 1);
    children_changed(store, parent);
}

uint32_t find_key(const zarvel_node_store *store, uint32_t mapping, std::string_view key) {
    return find_key_at(store, mapping, key, nullptr);
}

// ---- operations -------------------------------------------------------------------------

result make_root(zarvel_node_store *store, uint32_t id) {
    if (!ensure_side_arrays(store)) return wrong_kind;
    if (id >= store->node_count || is_attached(store, id)) return not_free;
    uint32_t height = 0;
    bool contains = false;
    if (!tree_height(store, id, zarvel_node_none, &height, &contains)) return too_deep;
    if (uint64_t(height) + 1 > zarvel_store_max_depth) return too_deep;
    if (!zarvel_store_add_root(store, id)) return wrong_kind;
    set_attached(store, id, true);
    set_tree_depths(store, id, 0);
    return done;
}

result seq_append(zarvel_node_store *store, uint32_t sequence, uint32_t item) {
    if (!is_kind(store, sequence, ZARVEL_KIND_SEQUENCE) || !ensure_side_arrays(store)) return wrong_kind;
    result checked = check_child(store, sequence, item);
    if (checked != done) return checked;
    attach(store, sequence, item);
    return done;
}

result seq_replace(zarvel_node_store *store, uint32_t sequence, uint32_t index, uint32_t item) {
    if (!is_kind(store, sequence, ZARVEL_KIND_SEQUENCE)) return wrong_kind;
    if (index >= store->nodes[sequence].child_count || !ensure_side_arrays(store)) return wrong_kind;
    result checked = check_child(store, sequence, item);
    if (checked != done) return checked;
    uint32_t old = zarvel_node_none, previous = zarvel_node_none;
    if (!child_at(store, sequence, index, &old, &previous)) return wrong_kind;
    replace_child(store, sequence, old, previous, item);
    return done;
}

result seq_remove(zarvel_node_store *store, uint32_t sequence, uint32_t index) {
    if (!is_kind(store, sequence, ZARVEL_KIND_SEQUENCE)) return wrong_kind;
    if (index >= store->nodes[sequence].child_count || !ensure_side_arrays(store)) return wrong_kind;
    uint32_t item = zarvel_node_none, previous = zarvel_node_none;
    if (!child_at(store, sequence, index, &item, &previous)) return wrong_kind;
    unlink_child(store, sequence, item, previous);
    return done;
}

result map_add_text(zarvel_node_store *store, uint32_t mapping, std::string_view key, uint32_t value) {
    if (!is_kind(store, mapping, ZARVEL_KIND_MAPPING) || !ensure_side_arrays(store)) return wrong_kind;
    if (find_key(store, mapping, key) != zarvel_node_none) return duplicate_key;
    uint32_t node_mark = store->node_count;
    uint32_t strings_mark = store->strings_len;
    uint32_t key_id = new_scalar(store, key.data(), key.size(), ZARVEL_NODE_STYLE_PLAIN);
    if (key_id == zarvel_node_none) return wrong_kind;
    result checked = ensure_side_arrays(store) ? check_child(store, mapping, value) : wrong_kind;
    if (checked != done) {
        zarvel_store_truncate(store, node_mark, strings_mark);
        return checked;
    }
    attach(store, mapping, key_id);
    attach(store, mapping, value);
    return done;
}

result map_add_node(zarvel_node_store *store, uint32_t mapping, uint32_t key, uint32_t value) {
    if (!is_kind(store, mapping, ZARVEL_KIND_MAPPING) || !ensure_side_arrays(store)) return wrong_kind;
    if (key >= store->node_count) return not_free;
    if (find_key(store, mapping, zarvel_store_text(store, store->nodes[key].value)) != zarvel_node_none)
        return duplicate_key;
    return map_add_pair(store, mapping, key, value);
}

result map_add_pair(zarvel_node_store *store, uint32_t mapping, uint32_t key, uint32_t value) {
    if (!is_kind(store, mapping, ZARVEL_KIND_MAPPING) || !ensure_side_arrays(store)) return wrong_kind;
    // One node cannot be both halves of a pair.
    if (key == value) return not_free;
    result checked = check_child(store, mapping, key);
    if (checked == done) checked = check_child(store, mapping, value);
    if (checked != done) return checked;
    attach(store, mapping, key);
    attach(store, mapping, value);
    return done;
}

result map_set_text(zarvel_node_store *store, uint32_t mapping, std::string_view key, uint32_t value) {
    if (!is_kind(store, mapping, ZARVEL_KIND_MAPPING) || !ensure_side_arrays(store)) return wrong_kind;
    uint32_t key_id = find_key(store, mapping, key);
    if (key_id == zarvel_node_none) return map_add_text(store, mapping, key, value);
    result checked = check_child(store, mapping, value);
    if (checked != done) return checked;
    uint32_t old = store->nodes[key_id].next_sibling;
    if (old >= store->node_count) return wrong_kind;
    replace_child(store, mapping, old, key_id, value);
    return done;
}

result map_remove(zarvel_node_store *store, uint32_t mapping, std::string_view key) {
    if (!is_kind(store, mapping, ZARVEL_KIND_MAPPING) || !ensure_side_arrays(store)) return wrong_kind;
    uint32_t previous = zarvel_node_none;
    uint32_t key_id = find_key_at(store, mapping, key, &previous);
    if (key_id == zarvel_node_none) return wrong_kind;
    uint32_t value = store->nodes[key_id].next_sibling;
    unlink_child(store, mapping, key_id, previous);
    if (value < store->node_count) unlink_child(store, mapping, value, previous);
    return done;
}

}  // namespace zvl::edit
