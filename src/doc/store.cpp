// Node store: the node table, string storage, roots and anchors (records
// are written by doc/tree_builder.hpp). Growth limits are tied to the input
// length so that no input can make the store grow without bound.
#include "doc/store.hpp"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint64_t node_arena_block = 8192;
constexpr uint32_t first_node_cap = 64;
constexpr uint32_t first_strings_cap = 256;
constexpr uint32_t first_root_cap = 16;
constexpr uint32_t first_anchor_cap = 64;
constexpr uint64_t strings_slack = 1048576;  // string storage allowed beyond L x 128

// Capacity reached by doubling from `first` until it holds `wanted`; 0 when
// that would leave 32 bits.
uint64_t doubled_capacity(uint64_t current, uint64_t first, uint64_t wanted) {
    uint64_t capacity = current ? current : first;
    while (capacity < wanted) capacity *= 2;
    return capacity > 0xFFFFFFFFu ? 0 : capacity;
}

// A side table of `capacity` entries holding the node_count entries there
// are (null: none yet, all empty); null on failure.
zarvel_node_props *props_table(zarvel_node_store *store, uint64_t capacity) {
    auto *fresh =
        static_cast<zarvel_node_props *>(zvl::allocate(store->allocator, capacity * sizeof(zarvel_node_props)));
    if (!fresh) return nullptr;
    const uint64_t bytes = uint64_t(store->node_count) * sizeof(zarvel_node_props);
    if (store->props)
        std::memcpy(static_cast<void *>(fresh), store->props, bytes);
    else
        std::memset(static_cast<void *>(fresh), 0, bytes);
    return fresh;
}

// Node table and root list live in the arena: a grown array is a new arena
// allocation and the old one is simply left behind.
bool grow_nodes(zarvel_node_store *store, uint64_t wanted) {
    if (wanted <= store->node_cap) return true;
    uint64_t capacity = doubled_capacity(store->node_cap, first_node_cap, wanted);
    if (capacity == 0) return false;
    // The side table first: it has at least node_cap entries.
    if (store->props) {
        zarvel_node_props *props = props_table(store, capacity);
        if (!props) return false;
        zvl::deallocate(store->allocator, store->props);
        store->props = props;
    }
    // Line-aligned: no record spans two cache lines.
    auto *fresh =
        static_cast<zarvel_node_rec *>(zarvel_arena_alloc(store->arena, capacity * sizeof(zarvel_node_rec), 64));
    if (!fresh) return false;
    if (store->node_count) std::memcpy(fresh, store->nodes, store->node_count * sizeof(zarvel_node_rec));
    store->nodes = fresh;
    store->node_cap = uint32_t(capacity);
    return true;
}

bool grow_strings(zarvel_node_store *store, uint64_t wanted) {
    if (wanted <= store->strings_cap) return true;
    uint64_t capacity = doubled_capacity(store->strings_cap, first_strings_cap, wanted);
    if (capacity == 0) return false;
    char *fresh = static_cast<char *>(zvl::allocate(store->allocator, capacity));
    if (!fresh) return false;
    if (store->strings_len) std::memcpy(fresh, store->strings, store->strings_len);
    zvl::deallocate(store->allocator, store->strings);
    store->strings = fresh;
    store->strings_cap = uint32_t(capacity);
    return true;
}

bool grow_roots(zarvel_node_store *store) {
    uint64_t capacity = doubled_capacity(store->root_cap, first_root_cap, uint64_t(store->root_count) + 1);
    if (capacity == 0) return false;
    auto *fresh =
        static_cast<uint32_t *>(zarvel_arena_alloc(store->arena, capacity * sizeof(uint32_t), alignof(uint32_t)));
    if (!fresh) return false;
    if (store->root_count) std::memcpy(fresh, store->roots, store->root_count * sizeof(uint32_t));
    store->roots = fresh;
    store->root_cap = uint32_t(capacity);
    return true;
}

// Every chunk is in the newest directory; older ones hold only copies.
// Chunks of the block go with it.
void free_handles(const zarvel_allocator *allocator, zarvel_node_store *store) {
    zarvel_handle_table *table = store->handles;
    zvl::deallocate(allocator, store->handle_block);
    if (!table) return;
    for (uint32_t i = store->handle_block_chunks; i < table->chunk_count; ++i)
        zvl::deallocate(allocator, table->chunks[i]);
    while (table) {
        zarvel_handle_table *older = table->older;
        zvl::deallocate(allocator, table);
        table = older;
    }
}

}  // namespace

zarvel_node_store *zarvel_store_new(const zarvel_allocator *allocator) {
    if (!allocator) return nullptr;
    zarvel_arena *arena = zarvel_arena_new(allocator, node_arena_block);
    if (!arena) return nullptr;
    auto *store = static_cast<zarvel_node_store *>(zvl::allocate(allocator, sizeof(zarvel_node_store)));
    if (!store) {
        zarvel_arena_free(arena);
        return nullptr;
    }
    std::memset(static_cast<void *>(store), 0, offsetof(zarvel_node_store, open_stack));
    store->allocator = allocator;
    store->child_cache_node = zarvel_node_none;
    store->fast_root = zarvel_node_none;
    store->arena = arena;
    zvl_lock_init(&store->lock);
    store->live = 1;
    return store;
}

void zarvel_store_free(zarvel_node_store *store) {
    if (!store) return;
    const zarvel_allocator *allocator = store->allocator;
    zvl::deallocate(allocator, store->strings);
    if (store->map_indexes) {
        for (uint32_t i = 0; i < store->map_index_cap; ++i) zvl::deallocate(allocator, store->map_indexes[i]);
        zvl::deallocate(allocator, store->map_indexes);
    }
    store->live = 0;
    store->handle_block_ids = 0;
    zvl::deallocate(allocator, store->anchors);
    zvl::deallocate(allocator, store->attached);
    zvl::deallocate(allocator, store->depths);
    free_handles(allocator, store);
    zvl::deallocate(allocator, store->child_cache);
    zvl::deallocate(allocator, store->child_cursors);
    zvl::deallocate(allocator, store->child_index);
    zvl::deallocate(allocator, store->document_order);
    zvl::deallocate(allocator, store->tag_slots);
    zvl::deallocate(allocator, store->props);
    zarvel_arena_free(store->arena);
    zvl::deallocate(allocator, store);
}

bool zarvel_store_reserve(zarvel_node_store *store, uint64_t input_length) {
    return zarvel_store_reserve_nodes(store, input_length, ~uint64_t(0));
}

bool zarvel_store_reserve_nodes(zarvel_node_store *store, uint64_t input_length, uint64_t wanted) {
    if (!store) return false;
    uint64_t nodes = input_length / 2 + 64;
    if (wanted < nodes) nodes = wanted;
    uint64_t strings = input_length / 16 + 256;
    if (nodes > 0xFFFFFFFFu) nodes = 0xFFFFFFFFu;
    if (strings > zarvel_span_max_offset) strings = zarvel_span_max_offset;
    return grow_nodes(store, nodes) && grow_strings(store, strings);
}

bool zarvel_store_room_for_node(zarvel_node_store *store) {
    // Valid texts reach three nodes per two bytes ("[:,:,...]": a pair and
    // two empty scalars); twice the input length is past any real text.
    uint64_t limit = 2 * store->input_len + 1024;
    if (store->input_len != 0 && store->node_count > limit) return false;
    if (store->node_count >= zarvel_node_none - 1) return false;
    return grow_nodes(store, uint64_t(store->node_count) + 1);
}

bool zarvel_store_set_props(zarvel_node_store *store, uint32_t id, zarvel_span tag, zarvel_span anchor) {
    if (!store->props) {
        if ((tag | anchor) == 0) return true;
        store->props = props_table(store, store->node_cap);
        if (!store->props) return false;
    }
    store->props[id] = {tag, anchor};
    return true;
}

bool zarvel_store_strings_reserve(zarvel_node_store *store, uint64_t n) {
    uint64_t wanted = uint64_t(store->strings_len) + n;
    // Span offsets have 31 bits: storage beyond that could not be addressed.
    if (wanted > zarvel_span_max_offset) return false;
    if (store->input_len != 0 && wanted > store->input_len * 128 + strings_slack) {
        store->strings_refused = 1;
        return false;
    }
    return grow_strings(store, wanted);
}

zarvel_span zarvel_store_copy_text(zarvel_node_store *store, const char *text, uint64_t length) {
    if (!zarvel_store_strings_reserve(store, length)) return zarvel_span_failed;
    uint32_t offset = store->strings_len;
    std::memcpy(store->strings + offset, text, length);
    store->strings_len += uint32_t(length);
    return zarvel_span_make(offset, uint32_t(length), true);
}

namespace {

constexpr uint32_t first_tag_slots = 16;

// The slot of a text with this hash: its entry, or the free slot where it
// goes. Entries that a rollback left past strings_len never match.
zarvel_tag_slot *tag_slot(zarvel_node_store *store, uint64_t hash, const char *text, uint32_t length) {
    uint32_t mask = store->tag_slot_count - 1;
    for (uint32_t i = uint32_t(hash) & mask;; i = (i + 1) & mask) {
        zarvel_tag_slot &slot = store->tag_slots[i];
        if (slot.span == 0) return &slot;
        if (slot.hash != hash || zarvel_span_length(slot.span) != length) continue;
        uint64_t offset = zarvel_span_offset(slot.span);
        if (offset + length <= store->strings_len && std::memcmp(store->strings + offset, text, length) == 0)
            return &slot;
    }
}

// Room for one more entry (load at most one half); false when the table
// cannot grow.
bool tag_room(zarvel_node_store *store) {
    if (uint64_t(store->tag_entries + 1) * 2 <= store->tag_slot_count) return true;
    uint64_t count = store->tag_slot_count ? uint64_t(store->tag_slot_count) * 2 : first_tag_slots;
    if (count > 0x80000000u) return false;
    auto *fresh = static_cast<zarvel_tag_slot *>(zvl::allocate(store->allocator, count * sizeof(zarvel_tag_slot)));
    if (!fresh) return false;
    std::memset(static_cast<void *>(fresh), 0, count * sizeof(zarvel_tag_slot));
    zarvel_tag_slot *old = store->tag_slots;
    uint32_t old_count = store->tag_slot_count;
    store->tag_slots = fresh;
    store->tag_slot_count = uint32_t(count);
    for (uint32_t i = 0; i < old_count; ++i) {
        if (old[i].span == 0) continue;
        uint32_t mask = uint32_t(count) - 1;
        uint32_t at = uint32_t(old[i].hash) & mask;
        while (fresh[at].span != 0) at = (at + 1) & mask;
        fresh[at] = old[i];
    }
    zvl::deallocate(store->allocator, old);
    return true;
}

}  // namespace

zarvel_span zarvel_store_put_tag(zarvel_node_store *store, const char *text, uint64_t length) {
    if (length == 0) return 0;
    if (length > 0xFFFFFFFFu || !text) return zarvel_span_failed;
    if (!tag_room(store)) return zarvel_span_failed;
    uint64_t hash = zarvel_hash_bytes(text, length);
    zarvel_tag_slot *slot = tag_slot(store, hash, text, uint32_t(length));
    if (slot->span != 0) return slot->span;
    zarvel_span span = zarvel_store_copy_text(store, text, length);
    if (span == zarvel_span_failed) return span;
    *slot = {hash, span};
    store->tag_entries += 1;
    return span;
}

bool zarvel_store_add_root(zarvel_node_store *store, uint32_t id) {
    if (store->root_count == store->root_cap) {
        if (store->input_len != 0 && store->root_count > store->input_len / 2 + 16) return false;
        if (!grow_roots(store)) return false;
    }
    store->roots[store->root_count++] = id;
    // A new root (an edit; no reader runs meanwhile) is in no order made.
    if (store->document_order) {
        zvl::deallocate(store->allocator, store->document_order);
        store->document_order = nullptr;
    }
    return true;
}

void zarvel_store_invalidate_child_cache(zarvel_node_store *store) {
    // Edits take no lock and no reader runs meanwhile: the index goes at once.
    if (store->child_index) {
        zvl::deallocate(store->allocator, store->child_index);
        store->child_index = nullptr;
        store->child_index_off = 1;
    }
    store->ordered_nodes = 0;
    zvl::deallocate(store->allocator, store->document_order);
    store->document_order = nullptr;
    store->child_cache_node = zarvel_node_none;
    store->child_cache_count = 0;
    if (store->child_cursors)
        std::memset(static_cast<void *>(store->child_cursors), 0xFF,
                    zarvel_child_cursor_count * sizeof(zarvel_child_cursor));
}

void zarvel_store_forget_positions(zarvel_node_store *store) { zarvel_store_invalidate_child_cache(store); }

bool zarvel_store_set_anchor(zarvel_node_store *store, uint32_t index, uint32_t id) {
    if (index == 0) return false;
    uint64_t limit = store->input_len + 16;
    if (store->input_len != 0 && index > limit) return false;
    if (index > store->anchor_cap) {
        uint64_t first = first_anchor_cap;
        if (store->anchor_cap == 0 && store->input_len > 2048) {
            uint64_t sized = store->input_len / 32 + 64;
            if (sized > first) first = sized;
        }
        uint64_t capacity = doubled_capacity(store->anchor_cap, first, index);
        if (capacity == 0) return false;
        auto *fresh = static_cast<uint32_t *>(zvl::allocate(store->allocator, capacity * sizeof(uint32_t)));
        if (!fresh) return false;
        if (store->anchor_cap) std::memcpy(fresh, store->anchors, store->anchor_cap * sizeof(uint32_t));
        // Entries not yet recorded read as unset.
        std::memset(fresh + store->anchor_cap, 0xFF, (capacity - store->anchor_cap) * sizeof(uint32_t));
        zvl::deallocate(store->allocator, store->anchors);
        store->anchors = fresh;
        store->anchor_cap = uint32_t(capacity);
    }
    store->anchors[index - 1] = id;
    if (store->anchor_max < index) store->anchor_max = index;
    return true;
}

uint32_t zarvel_store_anchor_target(const zarvel_node_store *store, uint32_t index) {
    if (index == 0 || index > store->anchor_max) return zarvel_node_none;
    return store->anchors[index - 1];
}

void zarvel_store_clear_anchors(zarvel_node_store *store) {
    if (store->anchor_max) std::memset(store->anchors, 0xFF, store->anchor_max * sizeof(uint32_t));
    store->anchor_max = 0;
}

void zarvel_store_truncate(zarvel_node_store *store, uint32_t count, uint32_t strings_length) {
    if (count < store->node_count) store->node_count = count;
    if (strings_length < store->strings_len) store->strings_len = strings_length;
    // Children of surviving nodes never point at removed ones: a fast path
    // only rolls back nodes it created after `count`, none of them attached
    // to an older node. The root list is checked all the same.
    while (store->root_count && store->roots[store->root_count - 1] >= store->node_count) store->root_count -= 1;
    if (store->child_cache_node != zarvel_node_none && store->child_cache_node >= store->node_count)
        zarvel_store_invalidate_child_cache(store);
}

void zarvel_store_drop_map_index(zarvel_node_store *store, uint32_t id) {
    if (!store->map_indexes || id >= store->map_index_cap) return;
    zvl::deallocate(store->allocator, store->map_indexes[id]);
    store->map_indexes[id] = nullptr;
}
