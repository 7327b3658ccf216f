// Node read API: kinds, texts, children by position and by key, typed reads.
//
// Everything here may run on many threads at once over one built document.
// Node records and texts are not written after the build. Children by
// position come from the store's children index, made once and then read
// without a lock; an edited store reads them through the positional cache,
// which like the per-mapping hash indexes is built and read under the
// store's lock. Each node's one handle is found without a lock once made
// (doc/document.cpp).
#include <atomic>
#include <cstddef>
#include <cstring>

#include "core/word.hpp"
#include "doc/number_text.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"
#include "doc/views.hpp"

namespace {

constexpr char empty_text[1] = {0};
constexpr uint32_t first_map_index_cap = 64;
constexpr uint32_t min_map_slots = 8;

// Valid handle: built document and an id below node_count.
const zarvel_node_rec *record_of(const zarvel_node *node, zarvel_node_store **store_out = nullptr) {
    zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return nullptr;
    if (store_out) *store_out = store;
    return &store->nodes[node->id];
}

// The bases of span texts for a run of reads: the low half of a span
// (selector bit and offset) is added to the base its selector picks,
// string storage's less that bit, with no mask.
inline uintptr_t input_base(const zarvel_node_store *store) { return uintptr_t(store->input); }
inline uintptr_t strings_base(const zarvel_node_store *store) {
    return uintptr_t(store->strings) - zarvel_span_in_strings_bit;
}
inline const char *span_start(uintptr_t input, uintptr_t strings, zarvel_span span) {
    return reinterpret_cast<const char *>((zarvel_span_in_strings(span) ? strings : input) + uint32_t(span));
}

// Start of a span's text (of any length).
inline const char *span_start(const zarvel_node_store *store, zarvel_span span) {
    return span_start(input_base(store), strings_base(store), span);
}

const char *span_out(const zarvel_node_store *store, zarvel_span span, uint64_t *length) {
    std::string_view text = zarvel_store_text(store, span);
    if (length) *length = text.size();
    return text.empty() ? nullptr : text.data();
}

using zvl::views::record_tag_id;

// What zarvel_node_value says of a record: its text ("" when empty; null
// for a collection) and the text's length.
inline const char *record_text(const zarvel_node_store *store, const zarvel_node_rec &rec, uint32_t &size) {
    size = 0;
    if (rec.is_collection()) return nullptr;
    const zarvel_span span = rec.value;
    size = zarvel_span_length(span);
    return size == 0 ? empty_text : span_start(store, span);
}

// The handle directory of a store not being freed; null otherwise.
inline const zarvel_handle_table *live_directory(const zarvel_node_store *store) {
    return store->live ? zarvel_handle_directory(store) : nullptr;
}

// Handles of one store's nodes: the directory is read once for several,
// and a handle missing from it is made (after which it is read again, as
// making may have replaced it). A store being freed gives none.
struct handle_maker {
    zarvel_document *document;
    zarvel_node_store *store;
    const zarvel_handle_table *table;

    handle_maker(zarvel_document *d, zarvel_node_store *s) : document(d), store(s), table(live_directory(s)) {}

    zarvel_node *operator()(uint32_t id) {
        if (zarvel_node *block = zarvel_block_handle(store, id)) [[likely]]
            return block;
        if (zarvel_node *found = zarvel_node_handle_found(table, id)) [[likely]]
            return found;
        zarvel_node *made = zarvel_node_handle_made(document, store, id);
        table = zarvel_handle_directory(store);
        return made;
    }
};

// ---- positional child cache (store's lock held) ----------------------------

// Fills the cache for `parent` when it holds another node; false when the
// array cannot be allocated (the cache is then left invalid).
bool ensure_child_cache(zarvel_node_store *store, uint32_t parent) {
    if (store->child_cache_node == parent) return true;
    zvl::deallocate(store->allocator, store->child_cache);
    store->child_cache = nullptr;
    // Only this array is replaced: the cursors stay valid.
    store->child_cache_node = zarvel_node_none;
    store->child_cache_count = 0;
    const zarvel_node_rec &p = store->nodes[parent];
    uint32_t count = p.child_count;
    uint32_t *ids = nullptr;
    if (count) {
        ids = static_cast<uint32_t *>(zvl::allocate(store->allocator, uint64_t(count) * sizeof(uint32_t)));
        if (!ids) return false;
    }
    uint32_t filled = 0;
    for (uint32_t child = p.first_child; filled < count && child < store->node_count;
         child = store->nodes[child].next_sibling)
        ids[filled++] = child;
    store->child_cache = ids;
    store->child_cache_node = parent;
    store->child_cache_count = filled;
    return true;
}

// Reads in order (the next item, a few items on) continue from the cursor
// of their collection; anything else goes through the cache array.
constexpr uint64_t cursor_reach = 16;

zarvel_child_cursor *cursor_of(zarvel_node_store *store, uint32_t parent) {
    if (!store->child_cursors) {
        auto *table = static_cast<zarvel_child_cursor *>(
            zvl::allocate(store->allocator, zarvel_child_cursor_count * sizeof(zarvel_child_cursor)));
        if (!table) return nullptr;
        std::memset(static_cast<void *>(table), 0xFF, zarvel_child_cursor_count * sizeof(zarvel_child_cursor));
        store->child_cursors = table;
    }
    uint32_t slot = (parent ^ (parent >> 8) ^ (parent >> 16)) & (zarvel_child_cursor_count - 1);
    return &store->child_cursors[slot];
}

// Child at `position` through the cursors or the cache; none when out of
// range or when the cache cannot be built.
uint32_t cached_child(zarvel_node_store *store, uint32_t parent, uint64_t position) {
    zvl::lock_guard hold(&store->lock);
    zarvel_child_cursor *cursor = cursor_of(store, parent);
    if (cursor && cursor->node == parent && position >= cursor->index && position - cursor->index <= cursor_reach) {
        uint32_t child = cursor->child;
        for (uint64_t i = cursor->index; i < position && child < store->node_count; ++i)
            child = store->nodes[child].next_sibling;
        if (child < store->node_count) {
            cursor->index = uint32_t(position);
            cursor->child = child;
            return child;
        }
    }
    if (!ensure_child_cache(store, parent)) return zarvel_node_none;
    if (position >= store->child_cache_count) return zarvel_node_none;
    uint32_t child = store->child_cache[position];
    // A small collection does not take the slot of a much larger one: the
    // large one is the one whose cache array is expensive to rebuild.
    if (cursor && (cursor->node >= store->node_count ||
                   uint64_t(store->nodes[cursor->node].child_count) <= 4 * uint64_t(store->nodes[parent].child_count)))
        *cursor = {parent, uint32_t(position), child};
    return child;
}

// ---- children index ------------------------------------------------------------

// The children index made under the store's lock (see child_index_of).
__attribute__((noinline)) const zarvel_child_index *child_index_made(zarvel_node_store *store) {
    zvl::lock_guard hold(&store->lock);
    if (store->child_index) return store->child_index;
    std::atomic_ref<uint32_t> off(store->child_index_off);
    if (off.load(std::memory_order_relaxed)) return nullptr;
    zarvel_child_index *index = zvl::tree::index_from_links(store);
    // Not tried again: a store too large for memory now stays so.
    if (!index) off.store(1, std::memory_order_relaxed);
    return index;
}

// The store's children index, made at the first call; null when the store
// reads positions through the cache instead.
inline const zarvel_child_index *child_index_of(zarvel_node_store *store) {
    std::atomic_ref<zarvel_child_index *> published(store->child_index);
    if (zarvel_child_index *index = published.load(std::memory_order_acquire)) [[likely]]
        return index;
    // An edited store goes to the cache without taking the lock twice.
    if (std::atomic_ref<uint32_t>(store->child_index_off).load(std::memory_order_relaxed)) return nullptr;
    return child_index_made(store);
}

// Child at `position` (below the count, checked by the caller) of collection
// `parent`; none when it cannot be found.
inline uint32_t child_at(zarvel_node_store *store, uint32_t parent, uint64_t position) {
    if (const zarvel_child_index *index = child_index_of(store)) [[likely]]
        return zarvel_child_index_at(index, store->nodes[parent], parent, position);
    return cached_child(store, parent, position);
}

// ---- mapping hash index (store's lock held) ------------------------------------

uint32_t key_hash(const char *text, uint64_t length) { return uint32_t(zarvel_hash_bytes(text, length)) | 1u; }

bool ensure_index_table(zarvel_node_store *store) {
    if (store->map_index_cap >= store->node_count && store->map_indexes) return true;
    uint64_t capacity = store->map_index_cap ? store->map_index_cap : first_map_index_cap;
    while (capacity < store->node_count) capacity *= 2;
    auto *fresh =
        static_cast<zarvel_map_index **>(zvl::allocate(store->allocator, capacity * sizeof(zarvel_map_index *)));
    if (!fresh) return false;
    std::memset(static_cast<void *>(fresh), 0, capacity * sizeof(zarvel_map_index *));
    if (store->map_index_cap)
        std::memcpy(static_cast<void *>(fresh), store->map_indexes, store->map_index_cap * sizeof(zarvel_map_index *));
    zvl::deallocate(store->allocator, store->map_indexes);
    store->map_indexes = fresh;
    store->map_index_cap = uint32_t(capacity);
    return true;
}

zarvel_map_index *build_map_index(zarvel_node_store *store, uint32_t mapping) {
    const zarvel_node_rec &m = store->nodes[mapping];
    uint64_t slots = min_map_slots;
    uint64_t even_children = m.child_count & ~1u;
    while (slots < even_children) slots *= 2;
    auto *index = static_cast<zarvel_map_index *>(
        zvl::allocate(store->allocator, sizeof(zarvel_map_index) + slots * sizeof(zarvel_map_slot)));
    if (!index) return nullptr;
    index->slot_count = uint32_t(slots);
    for (uint64_t i = 0; i < slots; ++i) index->slots[i] = {0, zarvel_node_none};
    uint64_t mask = slots - 1;
    uint32_t position = 0;
    for (uint32_t child = m.first_child; child < store->node_count && position < m.child_count;
         child = store->nodes[child].next_sibling, ++position) {
        if (position % 2 != 0) continue;
        const zarvel_node_rec &key = store->nodes[child];
        if (key.kind() != ZARVEL_KIND_SCALAR) continue;
        std::string_view text = zarvel_store_text(store, key.value);
        uint32_t h = key_hash(text.data(), text.size());
        uint64_t slot = h & mask;
        while (index->slots[slot].key != zarvel_node_none) slot = (slot + 1) & mask;
        index->slots[slot] = {h, child};
    }
    return index;
}

// Key node of the first matching pair; none when absent. *usable is false
// when no index could be had (the caller then walks the keys).
uint32_t indexed_lookup(zarvel_node_store *store, uint32_t mapping, std::string_view key, bool *usable) {
    zvl::lock_guard hold(&store->lock);
    *usable = false;
    if (!ensure_index_table(store)) return zarvel_node_none;
    zarvel_map_index *&index = store->map_indexes[mapping];
    if (!index) index = build_map_index(store, mapping);
    if (!index) return zarvel_node_none;
    *usable = true;
    uint32_t h = key_hash(key.data(), key.size());
    uint64_t mask = index->slot_count - 1;
    for (uint64_t slot = h & mask;; slot = (slot + 1) & mask) {
        const zarvel_map_slot &s = index->slots[slot];
        if (s.key == zarvel_node_none) return zarvel_node_none;
        if (s.hash == h && zarvel_store_text(store, store->nodes[s.key].value) == key) return s.key;
    }
}

// Mappings of at most this many pairs are searched key by key: cheaper
// than making and keeping a hash index, and without the store's lock.
constexpr uint32_t linear_map_pairs = 8;

uint32_t linear_lookup(const zarvel_node_store *store, uint32_t mapping, std::string_view key) {
    const zarvel_node_rec &m = store->nodes[mapping];
    uint32_t position = 0;
    for (uint32_t child = m.first_child; child < store->node_count && position < m.child_count;
         child = store->nodes[child].next_sibling, ++position) {
        if (position % 2 != 0) continue;
        const zarvel_node_rec &k = store->nodes[child];
        if (k.kind() == ZARVEL_KIND_SCALAR && zarvel_store_text(store, k.value) == key) return child;
    }
    return zarvel_node_none;
}

// Walks of a document call kind (or, by ids, zarvel_document_node) once
// per node, nearly in id order: the record and the handle (of the block,
// where handles stand in id order) 64 ids on are asked for then, into the
// outer caches only (the inner one holds what the walk reads now), so that
// they are in cache when the walk reaches them. Measured again on Zen 5:
// the view walk of a 17 MB array is 10-15% slower without them; the handle
// walk, other distances (128, 256) and hints (into every cache) gain nothing.
constexpr uint64_t prefetch_ids = 64;
inline void prefetch_ahead(const zarvel_node_rec &rec, const zarvel_node *handle) {
    __builtin_prefetch(reinterpret_cast<const void *>(uintptr_t(&rec) + prefetch_ids * sizeof rec), 0, 1);
    __builtin_prefetch(reinterpret_cast<const void *>(uintptr_t(handle) + prefetch_ids * sizeof *handle), 0, 1);
}

}  // namespace

// Found without going through a pointer that could be null.
int32_t zarvel_node_kind(const zarvel_node *node) {
    zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return 0;
    const zarvel_node_rec &rec = store->nodes[node->id];
    prefetch_ahead(rec, node);
    return rec.kind();
}

int32_t zarvel_node_style(const zarvel_node *node) {
    const zarvel_node_rec *rec = record_of(node);
    return rec ? rec->style() : 0;
}

int32_t zarvel_node_tag_id(const zarvel_node *node) {
    const zarvel_node_store *store = zarvel_handle_store(node);
    return store ? int32_t(record_tag_id(store->nodes[node->id])) : int32_t(ZARVEL_TAG_NONE);
}

uint32_t zarvel_node_id(const zarvel_node *node) { return node ? node->id : zarvel_node_none; }

const char *zarvel_node_value(const zarvel_node *node, uint64_t *length) {
    const char *text = nullptr;
    uint32_t size = 0;
    if (zarvel_node_store *store = zarvel_handle_store(node)) text = record_text(store, store->nodes[node->id], size);
    if (length) *length = size;
    return text;
}

const char *zarvel_node_tag(const zarvel_node *node, uint64_t *length) {
    if (length) *length = 0;
    zarvel_node_store *store = nullptr;
    const zarvel_node_rec *rec = record_of(node, &store);
    return rec ? span_out(store, zarvel_store_tag(store, node->id), length) : nullptr;
}

const char *zarvel_node_anchor(const zarvel_node *node, uint64_t *length) {
    if (length) *length = 0;
    zarvel_node_store *store = nullptr;
    const zarvel_node_rec *rec = record_of(node, &store);
    return rec ? span_out(store, zarvel_store_anchor(store, node->id), length) : nullptr;
}

zarvel_node *zarvel_node_alias_target(const zarvel_node *node) {
    const zarvel_node_rec *rec = record_of(node);
    if (!rec || rec->kind() != ZARVEL_KIND_ALIAS || rec->alias_target == zarvel_node_none) return nullptr;
    return zarvel_node_handle(node->document, rec->alias_target);
}

uint64_t zarvel_node_seq_count(const zarvel_node *node) {
    const zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return 0;
    const zarvel_node_rec &rec = store->nodes[node->id];
    return rec.kind() == ZARVEL_KIND_SEQUENCE ? rec.child_count : 0;
}

uint64_t zarvel_node_map_count(const zarvel_node *node) {
    const zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return 0;
    const zarvel_node_rec &rec = store->nodes[node->id];
    return rec.kind() == ZARVEL_KIND_MAPPING ? rec.child_count / 2 : 0;
}

namespace {

// The published children index, else null. Nodes added after it are
// linked by edits, which drop it: it covers every collection with children.
inline const zarvel_child_index *indexed_children(zarvel_node_store *store) {
    return std::atomic_ref<zarvel_child_index *>(store->child_index).load(std::memory_order_acquire);
}

// The handle of `id` when it is already made; null otherwise, the caller
// then taking its out-of-line way.
inline zarvel_node *made_handle(const zarvel_node_store *store, uint32_t id) {
    if (zarvel_node *block = zarvel_block_handle(store, id)) [[likely]]
        return block;
    return zarvel_node_handle_found(live_directory(store), id);
}

// Positional reads when the index is not there yet, the store reads through
// the cache, or a handle is still to be made. Kept out of line so that the
// common way needs no stack frame.
__attribute__((noinline)) zarvel_node *seq_at_slow(zarvel_node_store *store, zarvel_document *document, uint32_t id,
                                                   uint64_t index) {
    uint32_t child = child_at(store, id, index);
    if (child == zarvel_node_none) return nullptr;
    return handle_maker(document, store)(child);
}

__attribute__((noinline)) int32_t map_at_slow(zarvel_node_store *store, zarvel_document *document, uint32_t id,
                                              uint64_t index, zarvel_node **key, zarvel_node **value) {
    const uint32_t key_id = child_at(store, id, index * 2), value_id = child_at(store, id, index * 2 + 1);
    if (key_id == zarvel_node_none || value_id == zarvel_node_none) return -1;
    handle_maker handle(document, store);
    if (key) *key = handle(key_id);
    if (value) *value = handle(value_id);
    return 0;
}

}  // namespace

zarvel_node *zarvel_node_seq_at(const zarvel_node *node, uint64_t index) {
    zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return nullptr;
    const uint32_t id = node->id;
    const zarvel_node_rec &rec = store->nodes[id];
    if (rec.kind() != ZARVEL_KIND_SEQUENCE || index >= rec.child_count) return nullptr;
    if (const zarvel_child_index *children = indexed_children(store)) [[likely]] {
        const uint32_t child = zarvel_child_index_at(children, rec, id, index);
        // A handle of the block with one compare; others out of line.
        if (child < zarvel_block_handles_made(store)) [[likely]]
            return store->handle_block + child;
    }
    return seq_at_slow(store, node->document, id, index);
}

int32_t zarvel_node_map_at(const zarvel_node *node, uint64_t index, zarvel_node **key, zarvel_node **value) {
    zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return -1;
    const uint32_t id = node->id;
    const zarvel_node_rec &rec = store->nodes[id];
    if (rec.kind() != ZARVEL_KIND_MAPPING || index >= rec.child_count / 2) return -1;
    if (const zarvel_child_index *children = indexed_children(store)) [[likely]] {
        const uint32_t pair[2] = {zarvel_child_index_at(children, rec, id, index * 2),
                                  zarvel_child_index_at(children, rec, id, index * 2 + 1)};
        // Handles from the store's block with one compare; others (nodes
        // added after it, handles still to make) out of line.
        if (const uint32_t made = zarvel_block_handles_made(store); pair[0] < made && pair[1] < made) [[likely]] {
            if (key) *key = store->handle_block + pair[0];
            if (value) *value = store->handle_block + pair[1];
            return 0;
        }
    }
    return map_at_slow(store, node->document, id, index, key, value);
}

zarvel_node *zarvel_node_map_get(const zarvel_node *node, const char *key, int32_t length) {
    zarvel_node_store *store = nullptr;
    const zarvel_node_rec *rec = record_of(node, &store);
    if (!rec || rec->kind() != ZARVEL_KIND_MAPPING || !key || length < 0) return nullptr;
    std::string_view wanted(key, size_t(length));
    uint32_t key_id;
    if (rec->child_count <= 2 * linear_map_pairs) {
        key_id = linear_lookup(store, node->id, wanted);
    } else {
        bool usable = false;
        key_id = indexed_lookup(store, node->id, wanted, &usable);
        if (!usable) key_id = linear_lookup(store, node->id, wanted);
    }
    if (key_id == zarvel_node_none) return nullptr;
    uint32_t value_id = store->nodes[key_id].next_sibling;
    if (value_id == zarvel_node_none) return nullptr;
    return zarvel_node_handle(node->document, value_id);
}

namespace {

// f(child) with child(k) the id of child first + k of collection `parent`,
// from the children index: a run's ids are counted, a list's loaded.
template <class F>
inline void indexed_children_from(const zarvel_node_store *store, const zarvel_child_index *index, uint32_t parent,
                                  uint64_t first, F &&f) {
    const uint32_t start = zarvel_child_start(store->nodes[parent]);
    if (start == zarvel_child_run) {
        const uint32_t from = uint32_t(parent + 1 + first);
        f([from](uint64_t k) { return uint32_t(from + k); });
    } else {
        const uint32_t *ids = index->ids + start + first;
        f([ids](uint64_t k) { return ids[k]; });
    }
}

// put(store, k, id) for the `wanted` children of `parent` from position
// `first` on, from the children index. Blocks are short: one plain loop.
template <class Put>
inline void indexed_children_each(const zarvel_node_store *store, const zarvel_child_index *index, uint32_t parent,
                                  uint64_t first, uint64_t wanted, Put &put) {
    indexed_children_from(store, index, parent, first, [&](auto child) {
        for (uint64_t k = 0; k < wanted; ++k) put(store, k, child(k));
    });
}

// The first `wanted` children of `rec` into handles (kept out of
// zarvel_node_children, whose calls that only count need no stack frame).
__attribute__((noinline)) void fill_children(zarvel_document *document, zarvel_node_store *store,
                                             const zarvel_node_rec *rec, zarvel_node **handles, uint64_t wanted) {
    const zarvel_node_rec *nodes = store->nodes;
    uint32_t node_count = store->node_count;
    handle_maker handle_of(document, store);
    uint64_t written = 0;
    const zarvel_child_index *index = child_index_of(store);
    if (index) [[likely]] {
        auto put = [&](const zarvel_node_store *, uint64_t k, uint32_t child) { handles[k] = handle_of(child); };
        indexed_children_each(store, index, uint32_t(rec - nodes), 0, wanted, put);
        return;
    }
    // A store read through the cache (edited): along the links.
    for (uint32_t child = rec->first_child; written < wanted && child < node_count;
         ++written, child = nodes[child].next_sibling)
        handles[written] = handle_of(child);
    // A broken link leaves the rest of the asked entries empty.
    for (; written < wanted; ++written) handles[written] = nullptr;
}

}  // namespace

uint64_t zarvel_node_children(const zarvel_node *node, zarvel_node **handles, uint64_t capacity) {
    zarvel_node_store *store = zarvel_handle_store(node);
    if (!store) return 0;
    const zarvel_node_rec *rec = &store->nodes[node->id];
    if (!rec->is_collection()) return 0;
    uint64_t count = rec->child_count;
    if (!handles || !capacity || !count || !store->live) return count;
    fill_children(node->document, store, rec, handles, capacity < count ? capacity : count);
    return count;
}

namespace {

// The same before the index is made, or along the links from the cursor
// or cache (an edited store, or no memory for the index).
template <class Put>
__attribute__((noinline)) int32_t children_each_slow(zarvel_node_store *store, uint32_t parent, uint64_t first,
                                                     uint64_t wanted, Put put) {
    if (const zarvel_child_index *index = child_index_of(store)) {
        indexed_children_each(store, index, parent, first, wanted, put);
        return ZARVEL_OK;
    }
    uint32_t child = cached_child(store, parent, first);
    if (child == zarvel_node_none) return ZARVEL_NO_MEMORY;
    for (uint64_t written = 0; written < wanted && child < store->node_count; ++written) {
        put(store, written, child);
        child = store->nodes[child].next_sibling;
    }
    return ZARVEL_OK;
}

// How many of `total` entries a window from position `first` with room for
// `capacity` takes.
constexpr uint64_t window_size(uint64_t total, uint64_t first, uint64_t capacity) {
    return first >= total ? 0 : total - first < capacity ? total - first : capacity;
}

// The bulk reads of children: *count set, then put(store, k, id) for the children
// at positions first .. first + capacity - 1 (none when `out` is null).
// `store` is null for an invalid handle or id.
template <class Put>
inline int32_t children_each(zarvel_node_store *store, uint32_t id, uint64_t first, const void *out, uint64_t capacity,
                             uint64_t *count, Put put) {
    if (!store || !count) return ZARVEL_INVALID_ARGUMENT;
    const zarvel_node_rec &rec = store->nodes[id];
    const uint64_t total = rec.is_collection() ? rec.child_count : 0;
    *count = total;
    const uint64_t wanted = out ? window_size(total, first, capacity) : 0;
    if (!wanted) return ZARVEL_OK;
    const zarvel_child_index *index = indexed_children(store);
    if (!index) return children_each_slow(store, id, first, wanted, put);
    indexed_children_each(store, index, id, first, wanted, put);
    return ZARVEL_OK;
}

}  // namespace

int32_t zarvel_node_child_ids(const zarvel_node *node, uint64_t first, uint32_t *ids, uint8_t *kinds, uint64_t capacity,
                              uint64_t *count) {
    return children_each(zarvel_handle_store(node), node ? node->id : 0, first, ids, capacity, count,
                         [ids, kinds](const zarvel_node_store *store, uint64_t k, uint32_t child) {
                             ids[k] = child;
                             if (kinds) kinds[k] = store->nodes[child].kind();
                         });
}

namespace {

__attribute__((noinline)) zarvel_node *document_node_slow(zarvel_document *document, uint32_t id) {
    zarvel_node_store *store = zarvel_document_body(document);
    if (!store || id >= store->node_count) return nullptr;
    return handle_maker(document, store)(id);
}

// A document's store when built (no lock), else null.
inline zarvel_node_store *built_store(zarvel_document *document) {
    return document ? std::atomic_ref<zarvel_node_store *>(document->store).load(std::memory_order_acquire) : nullptr;
}

}  // namespace

zarvel_node *zarvel_document_node(zarvel_document *document, uint32_t id) {
    // A built document's made handles are found without a call.
    zarvel_node_store *store = built_store(document);
    if (store && id < store->node_count) [[likely]] {
        if (zarvel_node *handle = made_handle(store, id)) [[likely]] {
            prefetch_ahead(store->nodes[id], handle);
            return handle;
        }
    }
    return document_node_slow(document, id);
}

namespace {

// The text of a scalar the typed reads take: ZARVEL_OK when the node's tag
// id is `tag`, else the status such a read returns.
struct typed_text {
    const zarvel_node_store *store;
    zarvel_span span;
    const char *text;
    uint32_t length;
};
inline typed_text typed_text_of(const zarvel_node_store *store, const zarvel_node_rec &rec) {
    return {store, rec.value, span_start(store, rec.value), zarvel_span_length(rec.value)};
}
inline int32_t text_of_tag(const zarvel_node *node, const void *out, uint8_t tag, const zarvel_node_rec *&rec,
                           const zarvel_node_store *&store) {
    store = zarvel_handle_store(node);
    if (!store || !out) return ZARVEL_INVALID_ARGUMENT;
    rec = &store->nodes[node->id];
    return rec->tag_id == tag ? ZARVEL_OK : ZARVEL_FAILED;
}

// The value a JSON build kept in the record, if any: what the typed read
// of its text gives.
template <typename T>
inline bool kept_value(const zarvel_node_rec &rec, T *out) {
    if (rec.number != zvl::record_number::kept) return false;
    *out = zarvel_record_kept<T>(rec);
    return true;
}

}  // namespace

int32_t zarvel_node_bool(const zarvel_node *node, int32_t *out) {
    const zarvel_node_rec *rec;
    const zarvel_node_store *store;
    if (const int32_t status = text_of_tag(node, out, ZARVEL_TAG_BOOL, rec, store)) return status;
    const typed_text t = typed_text_of(store, *rec);
    *out = zvl_num_bool(t.length ? t.text : nullptr, t.length) ? 1 : 0;
    return ZARVEL_OK;
}

namespace {

// Integer texts past the wide reading (out of line: the common
// call needs no stack frame).
__attribute__((noinline)) int32_t general_int(const zarvel_node_store *store, zarvel_span span, const char *text,
                                              uint32_t length, int64_t *out) {
    if (store->json_checked && !zarvel_span_in_strings(span) && uint64_t(zarvel_span_offset(span)) + length >= 16 &&
        zvl::number_text::long_checked_int(text, length, out))
        return ZARVEL_OK;
    if (zvl::number_text::short_decimal_int(text, length, out)) return ZARVEL_OK;
    return zvl::read_int(length ? text : nullptr, length, zarvel_octal_zero(store->resolver), *out) ? ZARVEL_OK
                                                                                                    : ZARVEL_FAILED;
}

// The integer of an int-tagged text.
inline int32_t int_of(const typed_text &t, int64_t *out) {
    // The text lies in the input or string storage from its offset on.
    if (uint64_t(zarvel_span_offset(t.span)) + t.length >= 16 &&
        zvl::number_text::wide_decimal_int(t.text, t.length, out)) [[likely]]
        return ZARVEL_OK;
    return general_int(t.store, t.span, t.text, t.length, out);
}

// The double of a float-tagged text.
inline int32_t float_of(const typed_text &t, double *out) {
    return zvl::views::float_text(t.text, t.length, out) ? ZARVEL_OK : ZARVEL_FAILED;
}

// A float not kept at the build (out of line: the kept value's read needs
// no stack frame).
__attribute__((noinline)) int32_t float_from_text(const zarvel_node_store *store, const zarvel_node_rec &rec,
                                                  double *out) {
    return float_of(typed_text_of(store, rec), out);
}

}  // namespace

int32_t zarvel_node_int(const zarvel_node *node, int64_t *out) {
    const zarvel_node_rec *rec;
    const zarvel_node_store *store;
    if (const int32_t status = text_of_tag(node, out, ZARVEL_TAG_INT, rec, store)) return status;
    return kept_value(*rec, out) ? ZARVEL_OK : int_of(typed_text_of(store, *rec), out);
}

int32_t zarvel_node_float(const zarvel_node *node, double *out) {
    const zarvel_node_rec *rec;
    const zarvel_node_store *store;
    if (const int32_t status = text_of_tag(node, out, ZARVEL_TAG_FLOAT, rec, store)) return status;
    return kept_value(*rec, out) ? ZARVEL_OK : float_from_text(store, *rec, out);
}

namespace {

using zvl::views::head_number_shift;
using zvl::views::head_tag_bits;
using zvl::views::head_tag_shift;
using zvl::views::put_head;
constexpr const auto &view_heads = zvl::views::flags_heads;

// The number of an int- or float-tagged record without a kept value, read
// from its text into view.number as the typed reads take it; its number
// kind (0 when the read fails). Out of line: the loop below keeps its
// registers.
__attribute__((noinline)) uint64_t text_number(const zarvel_node_store *store, const zarvel_node_rec &rec,
                                               const char *text, uint32_t size, zarvel_node_view &view) {
    const typed_text t{store, rec.value, text, size};
    uint64_t number_kind;
    if (rec.tag_id == ZARVEL_TAG_INT)
        number_kind = int_of(t, &view.number.integer) == ZARVEL_OK ? 1 : 0;
    else
        number_kind = float_of(t, &view.number.real) == ZARVEL_OK ? 2 : 0;
    if (!number_kind) view.number.integer = 0;
    return number_kind;
}

constexpr uint64_t far_view_records = uint64_t(1) << 15;

// Views of the children whose ids are child_id(0), child_id(1), ... (the
// ids may lie in the views being written), as the handle reads would say
// them. Each record is read once, into locals.
template <bool in_id_order = false, class Ids>
inline void fill_views(const zarvel_node_store *store, uint32_t flags, Ids child_id, zarvel_node_view *views,
                       uint64_t n) {
    const zarvel_node_rec *nodes = store->nodes;
    // Records asked for ahead, as kind does, in a store of 1 MB of records
    // or more; in a smaller one, which stays in cache, the line read now.
    // Records read in id order are streamed in by the processor itself.
    const uintptr_t ahead =
        !in_id_order && store->node_count >= far_view_records ? prefetch_ids * sizeof(zarvel_node_rec) : 0;
    const uintptr_t input = input_base(store), strings = strings_base(store);
    // Bit t set for the tag ids whose numbers are read.
    const uint32_t number_tags = flags ? (1u << ZARVEL_TAG_INT) | (1u << ZARVEL_TAG_FLOAT) : 0;
    for (uint64_t k = 0; k < n; ++k) {
        const uint64_t id = child_id(k);
        const zarvel_node_rec &rec = nodes[id];
        if constexpr (!in_id_order) __builtin_prefetch(reinterpret_cast<const void *>(uintptr_t(&rec) + ahead), 0, 1);
        uint64_t head = view_heads[rec.flags] | id;
        zarvel_node_view &view = views[k];
        if (head & head_tag_bits) {  // a collection
            view.text = nullptr;
            view.length = rec.child_count;
            view.number.integer = 0;
            put_head(view, head);
            continue;
        }
        const uint8_t tag = rec.tag_id;
        const zarvel_span span = rec.value;
        const uint32_t size = zarvel_span_length(span);
        const char *const start = span_start(input, strings, span), *const text = size ? start : empty_text;
        view.text = text;
        view.length = size;
        head |= uint64_t(tag) << head_tag_shift;
        // Only int- and float-tagged records keep a value.
        if (flags && rec.number == zvl::record_number::kept) {
            // As the typed reads take it: by the record's own tag id.
            view.number.integer = zarvel_record_kept<int64_t>(rec);
            head |= uint64_t(tag) << head_number_shift;
        } else if (!((number_tags >> tag) & 1)) [[likely]] {
            view.number.integer = 0;
        } else {
            head |= text_number(store, rec, text, size, view) << head_number_shift;
        }
        put_head(view, head);
    }
}

// The views of a store without the children index (not made yet, or
// edited): the ids along the links first, into the views themselves.
__attribute__((noinline)) int32_t child_views_slow(zarvel_node_store *store, uint32_t id, uint64_t first,
                                                   uint32_t flags, zarvel_node_view *views, uint64_t wanted) {
    const int32_t status =
        children_each_slow(store, id, first, wanted,
                           [views](const zarvel_node_store *, uint64_t k, uint32_t child) { views[k].id = child; });
    if (status != ZARVEL_OK) return status;
    fill_views(
        store, flags, [views](uint64_t k) { return views[k].id; }, views, wanted);
    return ZARVEL_OK;
}

// The views from the children index: a run's records follow each other.
inline void indexed_views(const zarvel_node_store *store, const zarvel_child_index *index, uint32_t id, uint64_t first,
                          uint32_t flags, zarvel_node_view *views, uint64_t wanted) {
    indexed_children_from(store, index, id, first, [&](auto child) { fill_views(store, flags, child, views, wanted); });
}

// How many of `id`'s children a call from `first` with room for `capacity`
// views fills; *count gets them all.
inline uint64_t views_wanted(const zarvel_node_store *store, uint32_t id, uint64_t first, uint64_t capacity,
                             uint64_t *count) {
    const zarvel_node_rec &rec = store->nodes[id];
    const uint64_t total = rec.is_collection() ? rec.child_count : 0;
    *count = total;
    return window_size(total, first, capacity);
}

// The views of `id`'s children from `first` on, every case the document
// call's common way leaves. `store` is null for an invalid handle or id.
__attribute__((noinline)) int32_t child_views(zarvel_node_store *store, uint32_t id, uint64_t first, uint32_t flags,
                                              zarvel_node_view *views, uint64_t capacity, uint64_t *count) {
    if (!store || !count || (flags & ~ZARVEL_VIEW_NUMBERS)) [[unlikely]]
        return ZARVEL_INVALID_ARGUMENT;
    const uint64_t wanted = views_wanted(store, id, first, capacity, count);
    if (!views || !wanted) return ZARVEL_OK;
    const zarvel_child_index *index = indexed_children(store);
    if (!index) [[unlikely]]
        return child_views_slow(store, id, first, flags, views, wanted);
    indexed_views(store, index, id, first, flags, views, wanted);
    return ZARVEL_OK;
}

}  // namespace

int32_t zarvel_node_child_views(const zarvel_node *node, uint64_t first, uint32_t flags, zarvel_node_view *views,
                                uint64_t capacity, uint64_t *count) {
    return child_views(zarvel_handle_store(node), node ? node->id : 0, first, flags, views, capacity, count);
}

int32_t zarvel_document_child_views(zarvel_document *document, uint32_t id, uint64_t first, uint32_t flags,
                                    zarvel_node_view *views, uint64_t capacity, uint64_t *count) {
    zarvel_node_store *store = built_store(document);
    // The walks' call: a built store with its children index, a valid id
    // and arguments, in few branches.
    if (store && id < store->node_count && count && views && !(flags & ~ZARVEL_VIEW_NUMBERS)) [[likely]] {
        if (const zarvel_child_index *index = indexed_children(store)) [[likely]] {
            if (const uint64_t wanted = views_wanted(store, id, first, capacity, count))
                indexed_views(store, index, id, first, flags, views, wanted);
            return ZARVEL_OK;
        }
    }
    if (!store && document && !(flags & ~ZARVEL_VIEW_NUMBERS)) [[unlikely]] {
        int32_t status = ZARVEL_OK;
        store = zarvel_document_body_status(document, &status);
        if (!store) return status;
    }
    if (store && id >= store->node_count) store = nullptr;
    return child_views(store, id, first, flags, views, capacity, count);
}

// ---- document order ------------------------------------------------------------

namespace {

// The order of a store whose ids are not in it, made under the store's lock:
// the trees counted first, then listed. Null when memory ran out (*status
// 2) or a tree is deeper than any edit makes one (*status 3).
__attribute__((noinline)) const zarvel_document_order *document_order_made(zarvel_node_store *store, int32_t *status) {
    zvl::lock_guard hold(&store->lock);
    std::atomic_ref<zarvel_document_order *> published(store->document_order);
    if (zarvel_document_order *order = published.load(std::memory_order_relaxed)) return order;
    const uint32_t roots = store->root_count;
    uint64_t total = 0;
    for (uint32_t r = 0; r < roots; ++r)
        if (!zvl::tree::walk_tree(store, store->roots[r], [&total](uint32_t, uint32_t) { return (++total, true); })) {
            *status = ZARVEL_TOO_DEEP;
            return nullptr;
        }
    auto *order = static_cast<zarvel_document_order *>(
        zvl::allocate(store->allocator, sizeof(zarvel_document_order) + (roots + 1 + total) * sizeof(uint32_t)));
    if (!order) {
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    order->root_count = roots;
    uint32_t *ids = order->starts + roots + 1;
    uint32_t placed = 0;
    for (uint32_t r = 0; r < roots; ++r) {
        order->starts[r] = placed;
        zvl::tree::walk_tree(store, store->roots[r], [&](uint32_t id, uint32_t) { return (ids[placed++] = id, true); });
    }
    order->starts[roots] = placed;
    published.store(order, std::memory_order_release);
    return order;
}

// The views of the first tree of a store whose ids are in document order.
inline void ordered_views(const zarvel_node_store *store, uint64_t first, uint32_t flags, zarvel_node_view *views,
                          uint64_t capacity, uint64_t *count) {
    const uint64_t total = store->ordered_nodes;
    *count = total;
    if (views)
        fill_views<true>(
            store, flags, [first](uint64_t k) { return first + k; }, views, window_size(total, first, capacity));
}

// Every case the common way of zarvel_document_views leaves: a pending
// document, another root, a store whose ids are out of order, bad arguments.
__attribute__((noinline)) int32_t document_views_slow(zarvel_document *document, uint32_t root, uint64_t first,
                                                      uint32_t flags, zarvel_node_view *views, uint64_t capacity,
                                                      uint64_t *count) {
    if (!document || !count || (flags & ~ZARVEL_VIEW_NUMBERS)) return ZARVEL_INVALID_ARGUMENT;
    if (const int32_t served = zarvel_document_pending_views(document, root, first, flags, views, capacity, count);
        served >= 0)
        return served;
    int32_t status = ZARVEL_OK;
    zarvel_node_store *store = zarvel_document_body_status(document, &status);
    if (!store) return status;
    if (root >= store->root_count) return ZARVEL_INVALID_ARGUMENT;
    if (root == 0 && store->ordered_nodes) {
        ordered_views(store, first, flags, views, capacity, count);
        return ZARVEL_OK;
    }
    const zarvel_document_order *order =
        std::atomic_ref<zarvel_document_order *>(store->document_order).load(std::memory_order_acquire);
    if (!order && !(order = document_order_made(store, &status))) return status;
    const uint64_t total = order->starts[root + 1] - order->starts[root];
    *count = total;
    if (const uint64_t n = views ? window_size(total, first, capacity) : 0) {
        const uint32_t *ids = order->ids() + order->starts[root] + first;
        fill_views(
            store, flags, [ids](uint64_t k) { return ids[k]; }, views, n);
    }
    return ZARVEL_OK;
}

}  // namespace

int32_t zarvel_document_views(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags,
                              zarvel_node_view *views, uint64_t capacity, uint64_t *count) {
    // The walks' call: the first tree of a built JSON document, in id order.
    if (zarvel_node_store *store = built_store(document);
        store && root == 0 && store->ordered_nodes && count && !(flags & ~ZARVEL_VIEW_NUMBERS)) [[likely]] {
        ordered_views(store, first, flags, views, capacity, count);
        return ZARVEL_OK;
    }
    return document_views_slow(document, root, first, flags, views, capacity, count);
}
