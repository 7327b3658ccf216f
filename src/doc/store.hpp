// Document record, node store, node records and text spans.
//
// A document owns one node store: a flat table of fixed-size node records
// addressed by 32-bit node ids, a string buffer for texts that exist nowhere
// in the input, the list of stream roots, the composer's anchor table and the
// caches the read API fills on demand. Hosts only see `zarvel_node` handles
// {document, node id}.
//
// A parsed document may be pending: `store` is null and `source` holds the
// compact recording of the parse (an event log, or a JSON tape). The first
// `zarvel_document_body` builds the store under the document's lock.
//
// Locks: the document's lock (deferred build; a built store is found with an
// acquire load and no lock) and the store's lock (handle chunks, map
// indexes, the children index while it is made, positional child cache). No
// code path ever holds both at once.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/limits.hpp"
#include "core/lock.hpp"
#include "core/memory.hpp"
#include "zarvel.h"

struct zarvel_resolver;

// ---- node ids and limits ---------------------------------------------------

// Node id that names no node (also "none" in child links and alias targets).
inline constexpr uint32_t zarvel_node_none = 0xFFFFFFFFu;
// Collections open at once while composing, and tree depth of the editing API.
inline constexpr uint32_t zarvel_store_max_depth = zvl::nesting_limit;

// ---- text span -------------------------------------------------------------
//
// A text reference of 64 bits: length in bits 32-63, base selector in bit 31
// (1 = the store's `strings`, 0 = the store's `input`), offset from that base
// in bits 0-30. Offsets instead of pointers, because `strings` moves when it
// grows. A span of length 0 is the empty text whatever its low half holds.
typedef uint64_t zarvel_span;

inline constexpr uint64_t zarvel_span_in_strings_bit = 0x80000000u;
inline constexpr uint64_t zarvel_span_offset_mask = 0x7FFFFFFFu;
// Largest offset a span can hold; string storage never grows past it.
inline constexpr uint64_t zarvel_span_max_offset = zarvel_span_offset_mask;

constexpr zarvel_span zarvel_span_make(uint32_t offset, uint32_t length, bool in_strings) {
    return (uint64_t(length) << 32) | (in_strings ? zarvel_span_in_strings_bit : 0) |
           (uint64_t(offset) & zarvel_span_offset_mask);
}
constexpr uint32_t zarvel_span_length(zarvel_span span) { return uint32_t(span >> 32); }
constexpr bool zarvel_span_in_strings(zarvel_span span) { return (span & zarvel_span_in_strings_bit) != 0; }
constexpr uint32_t zarvel_span_offset(zarvel_span span) { return uint32_t(span & zarvel_span_offset_mask); }
// What a failed string-storage growth yields: empty, selector 1.
inline constexpr zarvel_span zarvel_span_failed = zarvel_span_in_strings_bit;

// ---- node record -----------------------------------------------------------

// Node kinds (flags bits 0-1); the same numbers as zarvel_node_kind().
enum zarvel_node_kind_code : uint8_t {
    ZARVEL_KIND_SCALAR = 0,
    ZARVEL_KIND_SEQUENCE = 1,
    ZARVEL_KIND_MAPPING = 2,
    ZARVEL_KIND_ALIAS = 3,
};

// flags: bits 0-1 kind, bits 2-4 style (0 none/block collection, 1 plain,
// 2 single-quoted, 3 double-quoted, 4 literal, 5 folded), bit 5 flow (flow
// collection / scalar inside a flow collection), bit 6 plain_implicit (tag id
// came from the resolver), bit 7 CBOR marks (below).
namespace zvl::node_flag {
inline constexpr uint8_t kind_mask = 0x03;
inline constexpr uint8_t style_shift = 2;
inline constexpr uint8_t style_mask = 0x1C;
inline constexpr uint8_t flow = 0x20;
inline constexpr uint8_t plain_implicit = 0x40;
// A scalar decoded from a CBOR undefined or simple value: the only scalars
// the CBOR encoder writes back as those.
inline constexpr uint8_t cbor_simple = 0x80;
// The same bit on an int- or float-tagged scalar: decoded from a CBOR
// number, whose value's eight bytes (the double, or the integer head's
// argument) stand in string storage just before its text, so that the
// encoder writes it back without reading the text.
inline constexpr uint8_t cbor_number = 0x80;

constexpr uint8_t make(uint8_t kind, uint8_t style, bool is_flow, bool is_plain_implicit) {
    return uint8_t((kind & kind_mask) | (((style & 7u) << style_shift) & style_mask) | (is_flow ? flow : 0) |
                   (is_plain_implicit ? plain_implicit : 0));
}
}  // namespace zvl::node_flag

// zarvel_node_rec::json_text.
namespace zvl::json_text {
inline constexpr uint8_t scan = 0;  // written through the escape scan
// No escape gave a byte a JSON string escapes (below 0x20, quote,
// backslash): the text is written as it stands.
inline constexpr uint8_t as_is = 1;
// Every escape is the one the JSON writers give its byte: the raw string
// body, whose span stands in the eight bytes before the text, is written.
inline constexpr uint8_t raw_before = 2;
}  // namespace zvl::json_text

// zarvel_node_rec::number. Only the JSON builds keep a value, on records they
// write before the store is published; every other record (tree::add) says
// `text`. No edit changes a recorded text or tag id, so a kept value stays
// the text's; code that follows first_child or last_child checks first that
// the node is a collection.
namespace zvl::record_number {
inline constexpr uint8_t text = 0;  // read from the text
// An int- or float-tagged scalar whose text the quick readers take: the
// value the typed reads give (the int64, or the double's bits) stands in
// the eight bytes of first_child and last_child, which a scalar leaves
// unused.
inline constexpr uint8_t kept = 1;
}  // namespace zvl::record_number

// Two records to a cache line: a node's tag and anchor, which few nodes
// have, live beside the table (zarvel_store_tag / zarvel_store_anchor).
struct zarvel_node_rec {
    uint8_t flags;   // see zvl::node_flag
    uint8_t tag_id;  // 0-10; for collections as composed
    // How a JSON parse's text decoded from a string with escapes goes back
    // out; see zvl::json_text. Only the JSON builds set it, and no edit
    // changes a recorded text.
    uint8_t json_text;
    uint8_t number;        // see zvl::record_number
    uint32_t first_child;  // zarvel_node_none when no children
    uint32_t last_child;
    uint32_t next_sibling;  // next child of the same parent
    uint32_t child_count;   // a mapping counts keys and values
    // Alias: the anchored node. Collection of a store with the children
    // index: where its children stand there (zarvel_child_start). Else none.
    uint32_t alias_target;
    zarvel_span value;  // scalar text; alias name; empty for collections

    constexpr uint8_t kind() const { return flags & zvl::node_flag::kind_mask; }
    constexpr uint8_t style() const {
        return uint8_t((flags & zvl::node_flag::style_mask) >> zvl::node_flag::style_shift);
    }
    constexpr bool is_flow() const { return (flags & zvl::node_flag::flow) != 0; }
    constexpr bool is_plain_implicit() const { return (flags & zvl::node_flag::plain_implicit) != 0; }
    constexpr bool is_collection() const { return kind() == ZARVEL_KIND_SEQUENCE || kind() == ZARVEL_KIND_MAPPING; }
};
static_assert(sizeof(zarvel_node_rec) == 32 && offsetof(zarvel_node_rec, first_child) == 4 &&
              offsetof(zarvel_node_rec, last_child) == 8);

// The kept value's eight bytes of a record whose number is kept.
inline uint64_t zarvel_record_kept_bits(const zarvel_node_rec &r) {
    uint64_t bits;
    std::memcpy(&bits, reinterpret_cast<const char *>(&r) + offsetof(zarvel_node_rec, first_child), sizeof bits);
    return bits;
}
// The kept value as the typed reads give it: T is int64_t or double.
template <typename T>
inline T zarvel_record_kept(const zarvel_node_rec &r) {
    return std::bit_cast<T>(zarvel_record_kept_bits(r));
}
// Keeps a number's value in a scalar's fresh record (JSON builds).
inline void zarvel_record_keep(zarvel_node_rec &r, uint64_t bits) {
    r.number = zvl::record_number::kept;
    std::memcpy(reinterpret_cast<char *>(&r) + offsetof(zarvel_node_rec, first_child), &bits, sizeof bits);
}

// A node's tag and anchor spans (empty = untagged / no anchor).
struct zarvel_node_props {
    zarvel_span tag;
    zarvel_span anchor;
};

// ---- per-mapping hash index (read API) -------------------------------------

struct zarvel_map_slot {
    uint32_t hash;  // low 32 bits of zarvel_hash_bytes(key text), bit 0 set
    uint32_t key;   // key node id; zarvel_node_none = empty slot
};

// slot_count is a power of two, at least 8 and at least the child count
// rounded down to even, so at most half of the slots are used.
struct zarvel_map_index {
    uint32_t slot_count;
    zarvel_map_slot slots[];  // slot_count entries follow
};

// ---- children index (read API) -----------------------------------------------

// Every collection's children by position, made once for the whole store
// and never changed after. The start of collection c, kept in its record
// (zarvel_child_start), says where: the children are ids[start], ...
// ids[start + child_count - 1]; or, when the start is zarvel_child_run,
// the nodes right after c (c + 1, ... c + child_count, as flat arrays and
// objects have them), which ids does not list. Written and published only
// by the tree builder (zvl::tree::children_writer, which says how).
struct zarvel_child_index {
    uint32_t capacity;  // entries of ids, below zarvel_child_run
    uint32_t ids[];     // capacity entries
};
inline constexpr uint32_t zarvel_child_run = 0x80000000u;

// The start of a collection with children, when its store has the index:
// in the record the reads of its count already load.
inline uint32_t zarvel_child_start(const zarvel_node_rec &collection) { return collection.alias_target; }
// Child k (below the count) of collection `id`, whose record is `rec`.
inline uint32_t zarvel_child_index_at(const zarvel_child_index *index, const zarvel_node_rec &rec, uint32_t id,
                                      uint64_t k) {
    const uint32_t start = zarvel_child_start(rec);
    return start == zarvel_child_run ? uint32_t(id + 1 + k) : index->ids[start + k];
}

// ---- document order (read API) ------------------------------------------------

// Every root's tree in document order (each node before the nodes under it),
// for a store whose ids are not in that order: root r's nodes are
// ids()[starts[r]] .. ids()[starts[r + 1] - 1]. Made at the first read that
// needs it, under the store's lock, and dropped by edits and new roots.
struct zarvel_document_order {
    uint32_t root_count;
    uint32_t starts[];  // root_count + 1 entries, then the ids

    const uint32_t *ids() const { return starts + root_count + 1; }
};

// ---- node handles ------------------------------------------------------------

// One handle per node, made on first use: handles sit in chunks of
// consecutive node ids, reached through a directory indexed by id / chunk
// size. A directory and its chunk pointers are published with release
// stores under the store's lock, and read with acquire loads and no lock.
// A directory replaced by a larger one (after editing added nodes) is kept
// until the store is freed, for readers that still hold it; its chunks are
// those of the new one.
inline constexpr uint32_t zarvel_handle_chunk_shift = 8;
inline constexpr uint32_t zarvel_handle_chunk = 1u << zarvel_handle_chunk_shift;  // 4 KB of handles

struct zarvel_handle_table {
    uint32_t chunk_count;
    zarvel_handle_table *older;  // the directory this one replaced
    zarvel_node *chunks[];       // chunk_count entries; null until first use
};

// ---- node store --------------------------------------------------------------

struct zarvel_node_store {
    const zarvel_allocator *allocator;
    // Length of the text the store is built from; 0 for a store of the
    // building API. Drives the growth limits.
    uint64_t input_len;

    // Side arrays of the building API: one attached bit and one depth per node.
    uint8_t *attached;
    uint16_t *depths;
    uint32_t side_capacity;

    // Flow-collection fast path of the composer.
    uint32_t fast_pending;
    uint32_t mark_count;
    uint32_t mark_len;
    uint32_t fast_root;
    uint32_t fast_anchor;

    const zarvel_resolver *resolver;  // null = core resolver
    zarvel_arena *arena;              // node table and root list (block 8192)

    char *strings;  // from allocator; texts that are not in the input
    uint32_t strings_len;
    uint32_t strings_cap;

    const char *input;  // base of spans with selector 0
    // 1 for a store of a JSON parse: every text in place (selector 0) is a
    // string body without escapes or a number or literal lexeme, as the
    // parse checked it. Editing keeps that true: it changes no recorded
    // text or tag id, and the texts it adds go to string storage.
    uint32_t json_checked;

    zarvel_handle_table *handles;  // created at the first handle
    // One block for the chunks of the nodes there were at the first handle:
    // chunk i < handle_block_chunks lies at handle_block + i *
    // zarvel_handle_chunk. Later chunks are allocated one by one.
    zarvel_node *handle_block;
    uint32_t handle_block_chunks;
    // Ids below this have their handle in the block, made in id order
    // (published with a release store; 0 until then and once the store is
    // being freed): such a handle is found without the directory.
    uint32_t handle_block_ids;

    // The children index (null until made; see zvl::tree::children_writer).
    // child_index_off is 1 once the tree was edited after reads began, or the
    // index could not be made: positions then go through the cache below.
    zarvel_child_index *child_index;
    uint32_t child_index_off;

    // Document order: when ordered_nodes is not 0, the store's first root
    // is node 0 and its tree is the nodes 0 .. ordered_nodes - 1, in that
    // order (the JSON builds); else document_order (null until made, and
    // published like the children index). Edits drop both.
    uint32_t ordered_nodes;
    zarvel_document_order *document_order;

    // Positional child cache of the read API (store's lock).
    uint32_t *child_cache;
    uint32_t child_cache_node;  // none = no cache
    uint32_t child_cache_count;

    zarvel_node_rec *nodes;
    uint32_t node_count;
    uint32_t node_cap;
    // Tags and anchors by node id, at least node_cap entries (grown with
    // the table); null until the first node with either, which a JSON
    // document never has. Entries from node_count on are unset.
    zarvel_node_props *props;

    uint32_t *roots;  // one root per document of the stream
    uint32_t root_count;
    uint32_t root_cap;

    // Composer's anchor table: entry i-1 holds the node of anchor index i.
    uint32_t *anchors;
    uint32_t anchor_cap;
    uint32_t anchor_max;

    zarvel_map_index **map_indexes;  // per node id; null = not built
    uint32_t map_index_cap;

    zvl_lock lock;
    uint32_t live;  // 1 from creation until the store is being freed

    // Read API: positional cursors (store's lock), so that walking nested
    // collections in order does not rebuild the child cache at every switch.
    // Null until the first positional read; cleared with the child cache.
    struct zarvel_child_cursor *child_cursors;

    // Tags stored while composing, by text: every node with the same tag
    // shares one copy, so that string storage stays proportional to the
    // input however often a long tag is repeated. Null until the first tag.
    struct zarvel_tag_slot *tag_slots;
    uint32_t tag_slot_count;  // a power of two
    uint32_t tag_entries;
    // 1 once string storage refused to grow past its limit (tells the
    // message of a failed build).
    uint32_t strings_refused;

    // Tree builder state (doc/tree_builder.hpp): the collections open, from
    // level 0 to depth - 1.
    uint32_t depth;
    // Per level, written by zvl::tree::push before any read at that level,
    // so they are left uninitialised (about 10 KB a store) and stay last.
    uint32_t open_stack[zarvel_store_max_depth];
    uint8_t key_pending[zarvel_store_max_depth];
    uint32_t pending_key[zarvel_store_max_depth];  // valid while key_pending
    // 1 where the open collection is a mapping: attaching needs no look at
    // the collection's record.
    uint8_t open_is_map[zarvel_store_max_depth];
};

// One interned tag: its span in `strings` (0 = free slot) and its hash.
struct zarvel_tag_slot {
    uint64_t hash;
    zarvel_span span;
};

// One remembered position: child `child` is at `index` of collection `node`.
struct zarvel_child_cursor {
    uint32_t node;  // none = unused
    uint32_t index;
    uint32_t child;
};
inline constexpr uint32_t zarvel_child_cursor_count = 256;

// ---- document ------------------------------------------------------------------

// How a producer's pending body becomes nodes. The producer that leaves a
// body (the YAML parse: an event log; the JSON parse: a tape) sets the table
// beside it, so the document never needs to know the producer.
struct zarvel_source_ops {
    // Fill a fresh store from document->source; 0 on success, -1 on failure
    // (the source stays).
    int (*build)(zarvel_node_store *store, const zarvel_document *document);
    // Free the source record.
    void (*release)(const zarvel_allocator *allocator, void *source);
    // True when the built store holds no span into the document's scratch
    // arena, so the arena goes with the body.
    bool frees_scratch;
    // Null, or zarvel_document_views served by the pending body itself
    // (document's lock held): its status, or -1 when the nodes are to be
    // built for the call. The texts it hands out outlive the body.
    int32_t (*views)(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags, zarvel_node_view *views,
                     uint64_t capacity, uint64_t *count);
};

struct zarvel_document {
    zarvel_node_store *store;  // null while pending (or after a failed build)
    const zarvel_allocator *allocator;
    uint32_t schema;                      // 1: YAML 1.1 resolver; 0: core
    char *owned_text;                     // decoded copy of the input, owned; may be null
    uint64_t owned_len;                   // length of the text the document was parsed from
    const char *text;                     // the caller's text (not owned)
    zarvel_arena *scratch;                // texts made while parsing; owned
    void *source;                         // pending body; null once built
    const zarvel_source_ops *source_ops;  // how to build and release it
    zvl_lock lock;                        // deferred build
};

// ---- store operations (doc/store.cpp) ------------------------------------------

// Null for a null allocator or on failure (nothing leaks).
zarvel_node_store *zarvel_store_new(const zarvel_allocator *allocator);
void zarvel_store_free(zarvel_node_store *store);
// Presize for an input of length L (input and input_len already set):
// node_cap >= L/2 + 64, strings_cap >= L/16 + 256. False on failure.
bool zarvel_store_reserve(zarvel_node_store *store, uint64_t input_length);
// As zarvel_store_reserve with node_cap >= min(L/2 + 64, nodes).
bool zarvel_store_reserve_nodes(zarvel_node_store *store, uint64_t input_length, uint64_t nodes);
// Room for one more record in a full node table (growth limited by the
// input length). False when refused or out of memory.
bool zarvel_store_room_for_node(zarvel_node_store *store);
// Sets the tag and anchor of node id (at most node_count, below node_cap),
// making the side table at the first of either. False when it cannot be
// allocated (nothing changed).
bool zarvel_store_set_props(zarvel_node_store *store, uint32_t id, zarvel_span tag, zarvel_span anchor);
// A span for the text: in place (selector 0) when may_reference and the text
// lies inside the input, else copied into strings. A failed growth gives
// zarvel_span_failed.
zarvel_span zarvel_store_copy_text(zarvel_node_store *store, const char *text, uint64_t length);
inline zarvel_span zarvel_store_put_text(zarvel_node_store *store, const char *text, uint64_t length,
                                         bool may_reference) {
    if (length == 0) return 0;
    if (length > 0xFFFFFFFFu || !text) return zarvel_span_failed;
    if (may_reference && store->input && text >= store->input) {
        uint64_t offset = uint64_t(text - store->input);
        if (offset <= store->input_len && length <= store->input_len - offset && offset <= zarvel_span_max_offset)
            return zarvel_span_make(uint32_t(offset), uint32_t(length), false);
    }
    return zarvel_store_copy_text(store, text, length);
}
// A tag text copied into strings once per distinct text: a text stored
// before is answered with the same span. zarvel_span_failed when storage
// cannot grow.
zarvel_span zarvel_store_put_tag(zarvel_node_store *store, const char *text, uint64_t length);
// Room for n more bytes of string storage; the bytes are written at
// strings + strings_len and the caller advances strings_len itself.
bool zarvel_store_strings_reserve(zarvel_node_store *store, uint64_t n);
// Appends a root id (growth limited by the input length). False on failure.
bool zarvel_store_add_root(zarvel_node_store *store, uint32_t id);
// Forgets the positional child cache, the cursors, the children index and
// the document order (for good: an edited tree reads positions through the
// cache). Out of line: none of them is there while composing.
void zarvel_store_forget_positions(zarvel_node_store *store);
// Anchor index (>= 1) -> node. False for index 0, an index above L + 16, or a
// failed growth.
bool zarvel_store_set_anchor(zarvel_node_store *store, uint32_t index, uint32_t id);
// The node of anchor index i, or none (0, above anchor_max, or unset).
uint32_t zarvel_store_anchor_target(const zarvel_node_store *store, uint32_t index);
// Forgets every anchor (document boundaries).
void zarvel_store_clear_anchors(zarvel_node_store *store);
// Truncates to node_count = count and strings_len = strings_length (rollback
// of a failed fast path). Neither may exceed the current values.
void zarvel_store_truncate(zarvel_node_store *store, uint32_t count, uint32_t strings_length);
// Invalidate the positional child cache and the children index / free one
// mapping's index (editing).
void zarvel_store_invalidate_child_cache(zarvel_node_store *store);
void zarvel_store_drop_map_index(zarvel_node_store *store, uint32_t id);

// The part of `whole`, a size of the entire stream, that falls to the
// document of root `index`, in proportion to its nodes (a read stream gives
// each document consecutive node ids, root first). Sizes one document's
// output from that document alone; roots out of that order (an edited
// stream) get an even part.
inline uint64_t zarvel_store_root_share(const zarvel_node_store *store, uint32_t index, uint64_t whole) {
    const uint32_t roots = store->root_count;
    if (roots <= 1 || index >= roots) return whole;
    const uint32_t first = store->roots[index];
    const uint32_t end = index + 1 < roots ? store->roots[index + 1] : store->node_count;
    if (first >= end || end > store->node_count) return whole / roots;
    return uint64_t(double(whole) * double(end - first) / double(store->node_count));
}

// Text of a span; empty view for an empty span.
inline std::string_view zarvel_store_text(const zarvel_node_store *store, zarvel_span span) {
    uint32_t length = zarvel_span_length(span);
    if (length == 0) return {};
    const char *base = zarvel_span_in_strings(span) ? store->strings : store->input;
    return {base + zarvel_span_offset(span), length};
}
// Record of a node id; the caller has checked id < node_count.
inline zarvel_node_rec &zarvel_store_node(zarvel_node_store *store, uint32_t id) { return store->nodes[id]; }
inline const zarvel_node_rec &zarvel_store_node(const zarvel_node_store *store, uint32_t id) {
    return store->nodes[id];
}
// Tag and anchor of a node id (below node_count), or of a record of the
// node table; empty when it has none.
inline zarvel_span zarvel_store_tag(const zarvel_node_store *store, uint32_t id) {
    return store->props ? store->props[id].tag : 0;
}
inline zarvel_span zarvel_store_anchor(const zarvel_node_store *store, uint32_t id) {
    return store->props ? store->props[id].anchor : 0;
}
inline uint32_t zarvel_store_id_of(const zarvel_node_store *store, const zarvel_node_rec &r) {
    return uint32_t(&r - store->nodes);
}
inline zarvel_span zarvel_store_tag(const zarvel_node_store *store, const zarvel_node_rec &r) {
    return store->props ? store->props[zarvel_store_id_of(store, r)].tag : 0;
}
inline zarvel_span zarvel_store_anchor(const zarvel_node_store *store, const zarvel_node_rec &r) {
    return store->props ? store->props[zarvel_store_id_of(store, r)].anchor : 0;
}
// True when the record has a tag or an anchor.
inline bool zarvel_store_has_props(const zarvel_node_store *store, const zarvel_node_rec &r) {
    if (!store->props) return false;
    const zarvel_node_props &p = store->props[zarvel_store_id_of(store, r)];
    return zarvel_span_length(p.tag | p.anchor) != 0;
}
// A byte string decoded from CBOR: its value holds the bytes themselves
// (which need not be text), where a YAML !!binary scalar holds base64. Such
// a node has the binary tag id with no tag, or under CBOR's numeric tags.
inline bool zarvel_store_raw_bytes(const zarvel_node_store *store, const zarvel_node_rec &r) {
    if (r.tag_id != ZARVEL_TAG_BINARY || r.kind() != ZARVEL_KIND_SCALAR) return false;
    const std::string_view tag = zarvel_store_text(store, zarvel_store_tag(store, r));
    return tag.empty() || uint8_t(tag[0] - '0') <= 9;
}

// ---- document operations (doc/document.cpp) ---------------------------------------

// A zero-filled document record with its lock ready and `allocator` set; the
// caller fills the rest. Null on failure.
zarvel_document *zarvel_document_alloc(const zarvel_allocator *allocator);
// Deferred build: returns the store, building it from `source` first when
// needed (under the document's lock). Null when the build fails; the document
// then stays pending and the next call tries again.
zarvel_node_store *zarvel_document_body(zarvel_document *document);
// The same, with the build's status: 0 when the store is there, 2 when the
// build failed (out of memory or a storage limit; the message is recorded
// in the thread's error record), 6 for a null document.
zarvel_node_store *zarvel_document_body_status(zarvel_document *document, int32_t *status);
// zarvel_document_views served by a pending document's body (see
// zarvel_source_ops::views): its status, or -1 when the document is built or
// its body does not serve the call.
int32_t zarvel_document_pending_views(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags,
                                      zarvel_node_view *views, uint64_t capacity, uint64_t *count);
// The handle of node `id`, made with its chunk on first use; the same
// pointer on every call. Null when the document has no store, the id is not
// below node_count, or its chunk cannot be allocated.
zarvel_node *zarvel_node_handle_made(zarvel_document *document, zarvel_node_store *store, uint32_t id);

// The handle of `id` when its chunk is there (no lock, no call); null
// otherwise.
inline zarvel_node *zarvel_node_handle_found(const zarvel_handle_table *table, uint32_t id) {
    uint32_t chunk = id >> zarvel_handle_chunk_shift;
    if (!table || chunk >= table->chunk_count) return nullptr;
    zarvel_node *handles = std::atomic_ref<zarvel_node *>(const_cast<zarvel_node *&>(table->chunks[chunk]))
                               .load(std::memory_order_acquire);
    return handles ? handles + (id & (zarvel_handle_chunk - 1)) : nullptr;
}
// Ids below the result have their handle made in the block.
inline uint32_t zarvel_block_handles_made(const zarvel_node_store *store) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(store->handle_block_ids)).load(std::memory_order_acquire);
}
// The handle of `id` when the block holds it made; null otherwise.
inline zarvel_node *zarvel_block_handle(const zarvel_node_store *store, uint32_t id) {
    return id < zarvel_block_handles_made(store) ? store->handle_block + id : nullptr;
}
inline const zarvel_handle_table *zarvel_handle_directory(const zarvel_node_store *store) {
    return std::atomic_ref<zarvel_handle_table *>(const_cast<zarvel_handle_table *&>(store->handles))
        .load(std::memory_order_acquire);
}
inline zarvel_node *zarvel_node_handle(zarvel_document *document, uint32_t id) {
    zarvel_node_store *store = document ? document->store : nullptr;
    if (!store) return nullptr;
    if (zarvel_node *block = zarvel_block_handle(store, id)) [[likely]]
        return block;
    if (!store->live) return nullptr;
    if (zarvel_node *found = zarvel_node_handle_found(zarvel_handle_directory(store), id)) return found;
    return zarvel_node_handle_made(document, store, id);
}

// The store of a handle when the handle is valid (document built, id below
// node_count); null otherwise. Used by every read operation.
inline zarvel_node_store *zarvel_handle_store(const zarvel_node *node) {
    if (!node || !node->document) return nullptr;
    zarvel_node_store *store = node->document->store;
    if (!store || node->id >= store->node_count) return nullptr;
    return store;
}
