// The tree builder: how node records are made and linked.
//
// Every producer of trees (the composer and the event-log replay, the flow
// fast path, the JSON builders, the CBOR decoder, the building and editing
// API) makes and links its nodes through these steps, which keep the
// store's invariants in one place:
//   - a fresh record has every link none, count 0 and empty spans;
//   - a collection lists its children through first_child / next_sibling,
//     last_child names the last one and child_count counts them (a mapping
//     counts keys and values);
//   - while composing, a node attaches to the innermost open collection (a
//     mapping takes key, then value) or becomes a root, and at most
//     zvl::nesting_limit collections are open at once;
//   - anchor index i names the node recorded for it (0 = no anchor);
//   - linking a child into a tree that readers have seen forgets their
//     positional caches and the children index (for good).
// Builders that know every id ahead (the JSON tape build, the CBOR
// decoder's arrays of floats) write whole records from put_record or
// fresh_record below into a presized table and set the links from those
// ids, keeping the same invariants.
//
// The children index (children_writer below) is written only here: by the
// builders as they go, else by the read API from the links.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>

#include "doc/store.hpp"

namespace zvl::tree {

// The flags of an untagged plain scalar outside flow collections.
inline constexpr uint8_t plain_flags = zvl::node_flag::make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true);

// ---- records -------------------------------------------------------------------

// A fresh record with its flags, tag id and spans; its id, or none when the
// table may not grow.
inline uint32_t add(zarvel_node_store *store, uint8_t flags = 0, uint8_t tag_id = 0, zarvel_span value = 0,
                    zarvel_span tag = 0, zarvel_span anchor = 0) {
    if (store->node_count == store->node_cap && !zarvel_store_room_for_node(store)) return zarvel_node_none;
    uint32_t id = store->node_count;
    if (store->props)
        store->props[id] = {tag, anchor};
    else if ((tag | anchor) != 0 && !zarvel_store_set_props(store, id, tag, anchor))
        return zarvel_node_none;
    store->node_count = id + 1;
    zarvel_node_rec &node = store->nodes[id];
    // The table is written in order: ask for the lines a few records on.
    __builtin_prefetch(&node + 8, 1);
    node.flags = flags;
    node.tag_id = tag_id;
    node.json_text = zvl::json_text::scan;
    node.number = zvl::record_number::text;
    node.first_child = zarvel_node_none;
    node.last_child = zarvel_node_none;
    node.next_sibling = zarvel_node_none;
    node.child_count = 0;
    node.alias_target = zarvel_node_none;
    node.value = value;
    return id;
}

// A fresh alias record naming `target`.
inline uint32_t add_alias(zarvel_node_store *store, uint8_t flags, uint8_t tag_id, zarvel_span name, uint32_t target) {
    uint32_t id = add(store, flags, tag_id, name);
    if (id != zarvel_node_none) store->nodes[id].alias_target = target;
    return id;
}

// Replaces a node's tag or anchor span (editing); false when the side table
// cannot grow.
inline bool set_tag(zarvel_node_store *store, uint32_t id, zarvel_span tag) {
    return zarvel_store_set_props(store, id, tag, zarvel_store_anchor(store, id));
}
inline bool set_anchor(zarvel_node_store *store, uint32_t id, zarvel_span anchor) {
    return zarvel_store_set_props(store, id, zarvel_store_tag(store, id), anchor);
}

// ---- tree walk --------------------------------------------------------------

// Levels the tree walker can follow: every tree obeys the depth limit, so a
// deeper walk means the tree is unusable.
inline constexpr uint32_t walk_levels = zarvel_store_max_depth + 8;

// Pre-order walk of the tree under `top` (top itself at level 0, its children
// at 1, ...). visit(id, level) returns false to stop. The result is false
// when the walk stopped early or the tree was deeper than walk_levels.
template <typename Visit>
bool walk_tree(const zarvel_node_store *store, uint32_t top, Visit &&visit) {
    if (!visit(top, 0u)) return false;
    const zarvel_node_rec &t = store->nodes[top];
    if (!t.is_collection() || t.first_child == zarvel_node_none) return true;
    // cursor[level]: the next node to visit at that level.
    uint32_t cursor[walk_levels + 1];
    uint32_t level = 1;
    cursor[1] = t.first_child;
    while (level > 0) {
        uint32_t id = cursor[level];
        if (id >= store->node_count) {  // end of this child list
            level -= 1;
            continue;
        }
        const zarvel_node_rec &n = store->nodes[id];
        cursor[level] = n.next_sibling;
        if (!visit(id, level)) return false;
        if (n.is_collection() && n.first_child != zarvel_node_none) {
            if (level == walk_levels) return false;
            cursor[++level] = n.first_child;
        }
    }
    return true;
}

// ---- child lists -----------------------------------------------------------------

// Readers may hold positions of the children being changed: forget them.
inline void forget_positions(zarvel_node_store *store) {
    if (store->child_cache_node != zarvel_node_none || store->child_cursors || store->child_index ||
        store->ordered_nodes || store->document_order)
        zarvel_store_forget_positions(store);
}

// The link word that leads to the child after `previous` (none: the first).
inline uint32_t &link_after(zarvel_node_store *store, zarvel_node_rec &parent, uint32_t previous) {
    return previous == zarvel_node_none ? parent.first_child : store->nodes[previous].next_sibling;
}

// Links the run of count children from first to last after p's last child;
// the caller chains the run itself.
inline void link_tail(zarvel_node_store *store, zarvel_node_rec &p, uint32_t first, uint32_t last, uint32_t count) {
    if (p.first_child == zarvel_node_none)
        p.first_child = first;
    else
        store->nodes[p.last_child].next_sibling = first;
    p.last_child = last;
    p.child_count += count;
}

// Appends child as the last child of parent (a sibling link it still
// carried is dropped).
inline void append(zarvel_node_store *store, uint32_t parent, uint32_t child) {
    link_tail(store, store->nodes[parent], child, child, 1);
    store->nodes[child].next_sibling = zarvel_node_none;
    forget_positions(store);
}

// Unlinks child, whose predecessor is `previous` (none when first), from
// parent; child then hangs nowhere.
inline void unlink(zarvel_node_store *store, uint32_t parent, uint32_t child, uint32_t previous) {
    zarvel_node_rec &p = store->nodes[parent];
    link_after(store, p, previous) = store->nodes[child].next_sibling;
    if (p.last_child == child) p.last_child = previous;
    p.child_count -= 1;
    store->nodes[child].next_sibling = zarvel_node_none;
    forget_positions(store);
}

// Puts item in the place of old (a child of parent after `previous`); old
// then hangs nowhere.
inline void replace(zarvel_node_store *store, uint32_t parent, uint32_t old, uint32_t previous, uint32_t item) {
    zarvel_node_rec &p = store->nodes[parent];
    store->nodes[item].next_sibling = store->nodes[old].next_sibling;
    link_after(store, p, previous) = item;
    if (p.last_child == old) p.last_child = item;
    store->nodes[old].next_sibling = zarvel_node_none;
    forget_positions(store);
}

// ---- composing: the open-collection stack -------------------------------------------

// A new root at depth 0, else the next item of the open sequence or the
// pending key / value of the open mapping. False on failure.
inline bool attach(zarvel_node_store *store, uint32_t id) {
    if (store->depth == 0) return zarvel_store_add_root(store, id);
    uint32_t level = store->depth - 1;
    uint32_t parent = store->open_stack[level];
    if (store->open_is_map[level]) {
        if (!store->key_pending[level]) {
            store->pending_key[level] = id;
            store->key_pending[level] = 1;
            return true;
        }
        store->key_pending[level] = 0;
        append(store, parent, store->pending_key[level]);
    }
    append(store, parent, id);
    return true;
}

// A key and its value attached as attach(key) and then attach(value) would,
// both linked at once into an open mapping awaiting a key.
inline bool attach_pair(zarvel_node_store *store, uint32_t key, uint32_t value) {
    uint32_t level = store->depth - 1;
    if (store->depth == 0 || !store->open_is_map[level] || store->key_pending[level] ||
        store->child_cache_node != zarvel_node_none || store->child_cursors || store->child_index)
        return attach(store, key) && attach(store, value);
    link_tail(store, store->nodes[store->open_stack[level]], key, value, 2);
    store->nodes[key].next_sibling = value;
    return true;
}

// True while another collection may open.
inline bool may_open(const zarvel_node_store *store) { return store->depth < zarvel_store_max_depth; }

// Makes the collection `id` (its kind set) the innermost open one; false at
// the depth limit.
inline bool push(zarvel_node_store *store, uint32_t id) {
    if (!may_open(store)) return false;
    uint32_t level = store->depth;
    store->open_stack[level] = id;
    store->key_pending[level] = 0;
    store->open_is_map[level] = store->nodes[id].kind() == ZARVEL_KIND_MAPPING ? 1 : 0;
    store->depth = level + 1;
    return true;
}

// Closes the innermost open collection; false when none is open. A pending
// key of a closing mapping is dropped.
inline bool close(zarvel_node_store *store) {
    if (store->depth == 0) return false;
    store->depth -= 1;
    return true;
}

// Closes open collections until `depth` (at most the current depth) remain:
// 0 once a build is done, the starting depth when a producer rolls back.
inline void close_to(zarvel_node_store *store, uint32_t depth) { store->depth = depth; }

// A node made and attached; its id, or none on failure.
inline uint32_t scalar(zarvel_node_store *store, uint8_t flags, uint8_t tag_id, zarvel_span value, zarvel_span tag = 0,
                       zarvel_span anchor = 0) {
    uint32_t id = add(store, flags, tag_id, value, tag, anchor);
    if (id == zarvel_node_none || !attach(store, id)) return zarvel_node_none;
    return id;
}

// A collection made, attached and opened; its id, or none on failure (at
// the depth limit before anything is made).
inline uint32_t open(zarvel_node_store *store, uint8_t flags, uint8_t tag_id, zarvel_span tag = 0,
                     zarvel_span anchor = 0) {
    if (!may_open(store)) return zarvel_node_none;
    uint32_t id = add(store, flags, tag_id, 0, tag, anchor);
    if (id == zarvel_node_none || !attach(store, id)) return zarvel_node_none;
    push(store, id);
    return id;
}

// Two scalars made and attached as key and value.
inline bool pair(zarvel_node_store *store, uint8_t key_flags, uint8_t key_tag_id, zarvel_span key, uint8_t value_flags,
                 uint8_t value_tag_id, zarvel_span value) {
    uint32_t key_id = add(store, key_flags, key_tag_id, key);
    if (key_id == zarvel_node_none) return false;
    uint32_t value_id = add(store, value_flags, value_tag_id, value);
    return value_id != zarvel_node_none && attach_pair(store, key_id, value_id);
}

// An alias of the node of anchor index `index`, made and attached; none
// when the index names no node or on failure.
inline uint32_t alias(zarvel_node_store *store, uint8_t flags, uint8_t tag_id, zarvel_span name, uint32_t index) {
    uint32_t target = zarvel_store_anchor_target(store, index);
    if (target == zarvel_node_none) return target;
    uint32_t id = add_alias(store, flags, tag_id, name, target);
    if (id == zarvel_node_none || !attach(store, id)) return zarvel_node_none;
    return id;
}

// Records node `id` under anchor index `index` (0: no anchor, nothing to do).
inline bool anchor(zarvel_node_store *store, uint32_t index, uint32_t id) {
    return index == 0 || zarvel_store_set_anchor(store, index, id);
}

// ---- whole records (builders that know every id ahead) -------------------------
//
// A record goes out as four 8-byte words: head (flags, tag id, JSON text
// form, number, first child), links (last child, next sibling), child count
// and alias target, value. A presized table takes them without the
// per-field stores of add().
static_assert(sizeof(zarvel_node_rec) == 32 && offsetof(zarvel_node_rec, first_child) == 4 &&
              offsetof(zarvel_node_rec, last_child) == 8 && offsetof(zarvel_node_rec, child_count) == 16 &&
              offsetof(zarvel_node_rec, value) == 24);

struct record_head {
    uint8_t flags;
    uint8_t tag_id;
    uint8_t json_text;
    uint8_t number;
    uint32_t first_child;
};
// Two 32-bit fields side by side as one word, in memory order.
constexpr uint64_t two_fields(uint32_t first, uint32_t second) {
    if constexpr (std::endian::native == std::endian::little) return uint64_t(second) << 32 | first;
    return uint64_t(first) << 32 | second;
}
// The head word of a record.
constexpr uint64_t head_word(uint8_t flags, uint8_t tag_id, uint32_t first_child = zarvel_node_none) {
    return std::bit_cast<uint64_t>(record_head{flags, tag_id, zvl::json_text::scan, 0, first_child});
}
// The links word of a record without children and siblings.
inline constexpr uint64_t no_links = two_fields(zarvel_node_none, zarvel_node_none);

// A fresh record with its flags and tag id, copied whole and then given
// its links and text.
constexpr zarvel_node_rec fresh_record(uint8_t flags, uint8_t tag_id) {
    constexpr uint32_t none = zarvel_node_none;
    return {flags, tag_id, zvl::json_text::scan, 0, none, none, none, 0, none, 0};
}

// A fresh record (no tag or anchor, not an alias) from its head word, links
// word, value and child count.
inline __attribute__((always_inline)) void put_record(zarvel_node_rec *record, uint64_t head, uint64_t links,
                                                      zarvel_span value, uint32_t count = 0) {
    const uint64_t words[4] = {head, links, two_fields(count, zarvel_node_none), value};
    for (int k = 0; k < 4; ++k) std::memcpy(reinterpret_cast<char *>(record) + 8 * k, words + k, sizeof(uint64_t));
}

// ---- the children index --------------------------------------------------------
//
// Layout: the children of collection c are ids[start] .. ids[start +
// child_count - 1], its start kept in its record, or the ids right after c
// when the start says zarvel_child_run (zarvel_child_index). A run is
// neither written nor read as a list: most collections are flat, and their
// children are found from their own id. A builder pushes each node it
// makes inside a collection on a stack that grows up from the start of
// ids; a closing collection's children, the top child_count entries, are
// then placed as one list below the lists placed so far, which grow down
// from the end. A writer started for n nodes holds n + 2 * index_slack ids
// and its stack starts index_slack in: however the n nodes are pushed,
// index_slack places below the lists can be written, and the entry below
// the stack's top can be read even when none is pushed (a closing
// collection reads its last child before it knows it has one). A closing
// collection whose children are a run takes no place. An empty collection
// may have no start: no list is read for it.
//
// Threads: a store's index is published whole, with a release store, and
// never changed after; readers without the store's lock take it with one
// acquire load. The builds of a deferred body publish it at their end,
// before the store itself is published; the read API makes it from the
// links under the store's lock, writing the starts while other threads may
// read the same records: only readers of the index read a collection's
// start field. An edit drops the index (no reader runs then) and positions
// then go through the read API's cache.
inline constexpr uint32_t index_slack = 8;

struct children_writer {
    uint32_t *ids = nullptr;     // null: no index (not started, or dropped)
    uint32_t *stack = nullptr;   // above the last id pushed
    uint32_t *placed = nullptr;  // the first id of the lists placed

    // An index for `nodes` nodes; false when it cannot be had.
    bool start(const zarvel_allocator *allocator, uint64_t nodes) {
        const uint64_t capacity = nodes + 2 * index_slack;
        if (capacity >= zarvel_child_run) return false;
        auto *index = static_cast<zarvel_child_index *>(
            zvl::allocate(allocator, sizeof(zarvel_child_index) + capacity * sizeof(uint32_t)));
        if (!index) return false;
        index->capacity = uint32_t(capacity);
        ids = index->ids;
        stack = ids + index_slack;
        placed = ids + capacity;
        return true;
    }
    // The nodes it was started for: every id pushed is below.
    uint32_t nodes() const { return block()->capacity - 2 * index_slack; }
    // Ids pushed and not yet placed.
    uint64_t pushed() const { return uint64_t(stack - (ids + index_slack)); }

    void push(uint32_t id) { *stack++ = id; }
    // The place of `count` children of the collection whose record is
    // `parent`, below the lists placed so far.
    uint32_t *place(zarvel_node_rec &parent, uint32_t count) {
        placed -= count;
        parent.alias_target = uint32_t(placed - ids);
        return placed;
    }
    // Collection `id`, whose record is `parent`, closes with the top
    // `count` ids pushed as its children.
    inline __attribute__((always_inline)) void close(zarvel_node_rec &parent, uint32_t id, uint32_t count) {
        stack -= count;
        // Only a collection whose last child is the run's can be one (a
        // nested collection with children puts its own after them).
        if (count && stack[count - 1] == id + count) {
            uint32_t k = 0;
            while (k < count && stack[k] == id + 1 + k) ++k;
            if (k == count) return close_run(parent);
        }
        uint32_t *const to = place(parent, count);
        if (count <= index_slack) {
            // Id by id: they were pushed one at a time just before, and a
            // wider load of several would wait until those stores are done
            // (the empty asm keeps the loop from being vectorised).
            for (uint32_t k = 0; k < count; ++k) {
                uint32_t child = stack[k];
                asm("" : "+r"(child));
                to[k] = child;
            }
        } else {
            std::memmove(to, stack, count * sizeof(uint32_t));
        }
    }
    // The collection whose record is `parent` has the ids right after its
    // own as children (none of them on the stack).
    static void close_run(zarvel_node_rec &parent) { parent.alias_target = zarvel_child_run; }

    void drop(const zarvel_allocator *allocator) {
        if (ids) zvl::deallocate(allocator, block());
        ids = nullptr;
    }
    // Every id pushed placed: the index is published as the store's;
    // otherwise it is dropped. True when published.
    bool finish(zarvel_node_store *store) {
        if (!ids || pushed() != 0) {
            drop(store->allocator);
            return false;
        }
        std::atomic_ref<zarvel_child_index *>(store->child_index).store(block(), std::memory_order_release);
        ids = nullptr;
        return true;
    }

  private:
    zarvel_child_index *block() const {
        return reinterpret_cast<zarvel_child_index *>(reinterpret_cast<char *>(ids) -
                                                      offsetof(zarvel_child_index, ids));
    }
};

// The index of every collection from the sibling links, published (store's
// lock held); null when it cannot be had: no memory, or links that do not
// form a tree.
inline zarvel_child_index *index_from_links(zarvel_node_store *store) {
    const uint32_t node_count = store->node_count;
    zarvel_node_rec *nodes = store->nodes;
    children_writer writer;
    if (!writer.start(store->allocator, node_count)) return nullptr;
    for (uint32_t id = 0; id < node_count; ++id) {
        zarvel_node_rec &rec = nodes[id];
        if (!rec.is_collection()) continue;
        const uint32_t count = rec.child_count;
        // A node hangs in one place at most: the children of all
        // collections together are fewer than the nodes.
        uint32_t *to = count <= writer.placed - writer.stack - index_slack ? writer.place(rec, count) : nullptr;
        uint32_t child = rec.first_child, k = 0;
        bool run = true;
        for (; to && k < count && child < node_count; ++k, child = nodes[child].next_sibling) {
            to[k] = child;
            run = run && child == id + 1 + k;
        }
        if (!to || k < count) {
            writer.drop(store->allocator);
            return nullptr;
        }
        if (run && count) {
            writer.placed += count;
            writer.close_run(rec);
        }
    }
    writer.finish(store);
    return store->child_index;
}

}  // namespace zvl::tree
