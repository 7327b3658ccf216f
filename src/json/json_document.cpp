// zarvel_parse_json: a strict JSON text (RFC 8259, UTF-8) into a document.
//
// Three roads, tried in this order:
//   1. a text whose root is "[" or "{" and that the tape's packed builder
//      takes (ASCII strings, no tabs, numbers checked) is kept as a JSON tape;
//      its nodes are made on first access (zarvel_json_source_build);
//   2. any other text is built into nodes at once by the direct builder
//      below, which accepts what the validator accepts; the UTF-8 check
//      follows when the text holds bytes that need it. A text the builder
//      refuses is validated to place the failure;
//   3. a validated text the direct builder refused goes to the YAML parse
//      entry, with decoding skipped and the direct composer.
//
// Node mapping: objects and arrays are flow mappings and sequences; strings
// are double-quoted !!str scalars (in place without escapes, decoded into
// string storage with them); numbers and literals are plain scalars with the
// plain-implicit flag and their lexeme as text. Scalars inside a container
// carry the flow bit, as the YAML reader sets it for the same text.
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "cbor/large_pages.hpp"
#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "json/grammar.hpp"
#include "json/json_document.hpp"
#include "json/structural.hpp"
#include "json/tape.hpp"
#include "yaml/decode.hpp"
#include "yaml/parse.hpp"
#include "zarvel.h"

namespace {

using zvl::node_flag::make;

// Containers the validator lets stand open at once.
constexpr uint32_t validator_max_depth = 255;

// Bytes looked at for non-ASCII before the tape is tried.
constexpr uint64_t tape_probe_bytes = 4096;

// Node records mapped ahead of the builder at a time (1.5 MiB).
constexpr uint64_t prefault_slice_nodes = 32768;

// Texts this long cannot be described by the tape's 32-bit spans.
constexpr uint64_t tape_length_limit = 4294967281ull;

enum class build_result { built, refused, no_memory };

// Skips JSON whitespace. Runs of spaces (indentation of pretty-printed
// texts) are passed eight bytes at a time: the first byte that is no space
// is the lowest non-zero byte of the word XOR eight spaces.
uint64_t skip_ws(const char *text, uint64_t len, uint64_t p) {
    constexpr uint64_t spaces = 0x2020202020202020ull;
    while (p < len) {
        char c = text[p];
        if (std::endian::native == std::endian::little && c == ' ' && p + 8 <= len) {
            uint64_t word;
            std::memcpy(&word, text + p, 8);
            uint64_t other = word ^ spaces;
            if (other == 0) {
                p += 8;
                continue;
            }
            p += uint64_t(std::countr_zero(other)) / 8;  // the lowest byte comes first
            continue;
        }
        if (!zvl::json::is_ws(c)) return p;
        ++p;
    }
    return p;
}

void record_failure(uint32_t code, uint64_t offset, const char *format) {
    zarvel_error_set(zarvel_error_current(), code, 0, 0, offset, format, static_cast<size_t>(offset));
}

// Maps `bytes` of a fresh table in one call instead of one page fault per
// page while it is filled. A hint only: where it is unsupported nothing
// changes.
void prefault(void *start, uint64_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr uintptr_t page = 4096;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(page - 1);
    if (start && end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

// ---- node making shared by both builders -------------------------------------

class node_maker {
public:
    node_maker(zarvel_node_store *store, const char *text) : store_(store), text_(text) {}

    // A string whose raw body is text[body, body + length): in place without
    // a backslash, else decoded (a JSON escape never decodes to more bytes
    // than it occupies, so the raw length is enough room).
    bool string(uint64_t body, uint64_t length, bool has_escape) {
        uint32_t id = node(make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_DOUBLE_QUOTED, inside(), false),
                           ZARVEL_TAG_STR);
        if (id == zarvel_node_none) return false;
        zarvel_span span = 0;
        if (!has_escape) {
            span = in_place(body, length);
            if (length && span == zarvel_span_failed) return false;
        } else if (length) {
            if (!zarvel_store_strings_reserve(store_, length)) return false;
            uint32_t offset = store_->strings_len;
            uint64_t written =
                zvl_finish_double_into(text_, body, body + length, store_->strings + offset, length);
            store_->strings_len += uint32_t(written);
            span = written ? zarvel_span_make(offset, uint32_t(written), true) : 0;
        }
        store_->nodes[id].value = span;
        return attach(id);
    }

    // A number or literal lexeme with the tag id it resolved to.
    bool plain(uint64_t start, uint64_t length, uint8_t tag_id) {
        uint32_t id = node(make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, inside(), true), tag_id);
        if (id == zarvel_node_none) return false;
        zarvel_span span = in_place(start, length);
        if (length && span == zarvel_span_failed) return false;
        store_->nodes[id].value = span;
        return attach(id);
    }

    // Opens a flow sequence or mapping. Refused (not out of memory) at the
    // store's depth limit: *too_deep tells the two apart.
    bool open(uint8_t kind, bool *too_deep) {
        *too_deep = false;
        uint32_t id = node(make(kind, 0, true, false),
                           kind == ZARVEL_KIND_SEQUENCE ? uint8_t(ZARVEL_TAG_SEQ) : uint8_t(ZARVEL_TAG_MAP));
        if (id == zarvel_node_none || !attach(id)) return false;
        if (!zarvel_store_push(store_, id)) {
            *too_deep = true;
            return false;
        }
        return true;
    }

    bool close() { return zarvel_store_pop(store_); }
    uint32_t depth() const { return store_->depth; }
    // Inside a mapping whose key has been read (its value comes next).
    bool value_expected() const { return store_->key_pending[store_->depth - 1] != 0; }
    bool in_mapping() const {
        return store_->nodes[store_->open_stack[store_->depth - 1]].kind() == ZARVEL_KIND_MAPPING;
    }

private:
    bool inside() const { return store_->depth > 0; }

    // The store's per-node steps, written out here for the common case: a
    // fresh record while the presized table has room (zarvel_store_add_node
    // otherwise), a span into the input (zarvel_store_put_text when the
    // offset does not fit a span), and the composer's attach (the next item
    // of the open sequence, key then value of the open mapping, or the root;
    // no reader can hold a child cache while the store is being built).
    uint32_t node(uint8_t flags, uint8_t tag_id) {
        uint32_t id;
        if (store_->node_count < store_->node_cap) {
            if (store_->node_count >= prefaulted_) prefault_ahead();
            id = store_->node_count++;
            zarvel_node_rec &n = store_->nodes[id];
            n.first_child = n.last_child = n.next_sibling = n.alias_target = zarvel_node_none;
            n.child_count = 0;
            n.value = n.tag = n.anchor = 0;
        } else {
            id = zarvel_store_add_node(store_);
            if (id == zarvel_node_none) return id;
        }
        store_->nodes[id].flags = flags;
        store_->nodes[id].tag_id = tag_id;
        return id;
    }

    zarvel_span in_place(uint64_t start, uint64_t length) {
        if (length == 0) return 0;
        if (start <= zarvel_span_max_offset && length <= 0xFFFFFFFFu)
            return zarvel_span_make(uint32_t(start), uint32_t(length), false);
        return zarvel_store_put_text(store_, text_ + start, length, true);
    }

    bool attach(uint32_t id) {
        if (store_->depth == 0) return zarvel_store_add_root(store_, id);
        uint32_t level = store_->depth - 1;
        uint32_t parent = store_->open_stack[level];
        if (store_->nodes[parent].kind() == ZARVEL_KIND_MAPPING) {
            if (!store_->key_pending[level]) {
                store_->pending_key[level] = id;
                store_->key_pending[level] = 1;
                return true;
            }
            store_->key_pending[level] = 0;
            append(parent, store_->pending_key[level]);
        }
        append(parent, id);
        return true;
    }

    void append(uint32_t parent, uint32_t child) {
        zarvel_node_rec &p = store_->nodes[parent];
        if (p.first_child == zarvel_node_none)
            p.first_child = child;
        else
            store_->nodes[p.last_child].next_sibling = child;
        p.last_child = child;
        p.child_count += 1;
    }

    // The node table is presized for the worst case and mostly left unused:
    // map it a slice at a time just ahead of the records being written, one
    // call per slice instead of one page fault per page.
    void prefault_ahead() {
        uint64_t first = store_->node_count;
        uint64_t last = first + prefault_slice_nodes;
        if (last > store_->node_cap) last = store_->node_cap;
        prefault(store_->nodes + first, (last - first) * sizeof(zarvel_node_rec));
        prefaulted_ = uint32_t(last);
    }

    zarvel_node_store *store_;
    const char *text_;
    uint32_t prefaulted_ = 0;  // records below this index are mapped
};

// Large pages for the presized, still untouched node table and string storage.
void advise_tables(zarvel_node_store *store) {
    zvl::cbor::advise_large_pages(store->nodes, uint64_t(store->node_cap) * sizeof(zarvel_node_rec));
    zvl::cbor::advise_large_pages(store->strings, store->strings_cap);
}

bool has_backslash(const char *text, uint64_t start, uint64_t length) {
    return length && std::memchr(text + start, '\\', length) != nullptr;
}

// ---- direct builder -----------------------------------------------------------

// Builds the nodes of a JSON text in one pass. Refuses (without a message)
// exactly where the validator would: at an unexpected byte, at the end of the
// text inside a value, past 255 open levels, or when anything but whitespace
// follows the root.
class direct_builder {
public:
    direct_builder(zarvel_node_store *store, const char *text, uint64_t len)
        : make_(store, text), text_(text), len_(len) {}

    build_result run() {
        uint64_t p = skip_ws(text_, len_, 0);
        for (;;) {
            // A value is expected at p.
            if (p >= len_) return build_result::refused;
            build_result r = value(&p);
            if (r != build_result::built) return r;
            // After a value (or an opening bracket): close what ends here.
            for (;;) {
                p = skip_ws(text_, len_, p);
                if (make_.depth() == 0) return p == len_ ? build_result::built : build_result::refused;
                if (p >= len_) return build_result::refused;
                char c = text_[p];
                if (just_opened_) {
                    just_opened_ = false;
                    if (c == (make_.in_mapping() ? '}' : ']')) {
                        make_.close();
                        ++p;
                        continue;
                    }
                    if (make_.in_mapping() && c != '"') return build_result::refused;
                    break;  // the first member follows
                }
                if (make_.in_mapping() && make_.value_expected()) {
                    // After a key: ":" then the value.
                    if (c != ':') return build_result::refused;
                    p = skip_ws(text_, len_, p + 1);
                    break;
                }
                if (c == ',') {
                    p = skip_ws(text_, len_, p + 1);
                    if (make_.in_mapping() && (p >= len_ || text_[p] != '"')) return build_result::refused;
                    break;
                }
                if (c == (make_.in_mapping() ? '}' : ']')) {
                    make_.close();
                    ++p;
                    continue;
                }
                return build_result::refused;
            }
        }
    }

private:
    build_result value(uint64_t *p) {
        char c = text_[*p];
        uint64_t start = *p;
        switch (c) {
        case '"': {
            uint64_t close = 0;
            int32_t escaped = 0;
            if (!zvl_json_string(text_, len_, p, &close, &escaped)) return build_result::refused;
            return ok(make_.string(start + 1, close - start - 1, escaped != 0));
        }
        case '[':
        case '{': {
            // Keys are strings: a bracket in key position is refused; so is
            // a level past the validator's limit.
            if (make_.depth() && make_.in_mapping() && !make_.value_expected()) return build_result::refused;
            if (make_.depth() >= validator_max_depth) return build_result::refused;
            bool too_deep = false;
            if (!make_.open(c == '[' ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING, &too_deep))
                return too_deep ? build_result::refused : build_result::no_memory;
            ++*p;
            just_opened_ = true;
            return build_result::built;
        }
        case 't':
        case 'f':
        case 'n': {
            const char *word = c == 't' ? "true" : c == 'f' ? "false" : "null";
            if (!key_position_ok() || !zvl_json_literal(text_, len_, p, word)) return build_result::refused;
            return ok(make_.plain(start, *p - start, resolve(start, *p - start)));
        }
        default:
            if (c != '-' && !zvl::json::is_digit(c)) return build_result::refused;
            if (!key_position_ok() || !zvl_json_number(text_, len_, p)) return build_result::refused;
            return ok(make_.plain(start, *p - start, resolve(start, *p - start)));
        }
    }

    // Only strings may stand where a key is expected.
    bool key_position_ok() const {
        return !(make_.depth() && make_.in_mapping() && !make_.value_expected());
    }

    uint8_t resolve(uint64_t start, uint64_t length) const {
        return zarvel_core_resolver.text(nullptr, text_ + start, uint32_t(length));
    }

    static build_result ok(bool made) { return made ? build_result::built : build_result::no_memory; }

    node_maker make_;
    const char *text_;
    uint64_t len_;
    bool just_opened_ = false;
};

// ---- tape body ------------------------------------------------------------------

struct tape_entry {
    uint8_t type;
    uint64_t start;
    uint64_t length;
};

// Entry i from whichever form the tape holds. The packed words are read as
// they are: filling the columns first would only write memory that is freed
// right after the build.
tape_entry entry_at(const zarvel_tape *tape, uint64_t i) {
    if (tape->packed_ready && !tape->columns_ready) {
        uint64_t word = tape->packed[i];
        return {uint8_t(word & 0xFF), word >> 32, (word >> 8) & 0xFFFFFF};
    }
    return {tape->types[i], tape->starts[i], tape->lens[i]};
}

// Nodes the tape will make, and the string storage its escaped strings need
// (at most their raw length). False when the tape's form is unusable.
bool measure_tape(const zarvel_tape *tape, uint64_t *nodes, uint64_t *decoded) {
    bool packed = tape->packed_ready && !tape->columns_ready;
    if (packed ? !tape->packed : (!tape->types || !tape->starts || !tape->lens)) return false;
    uint64_t made = 0, bytes = 0;
    for (uint64_t i = 1; i < tape->count; ++i) {
        tape_entry e = entry_at(tape, i);
        if (e.type == ZARVEL_TAPE_CLOSE) continue;
        made += 1;
        if (e.type == ZARVEL_TAPE_STRING && e.start <= tape->text_len && e.length <= tape->text_len - e.start &&
            has_backslash(tape->text, e.start, e.length))
            bytes += e.length;
    }
    *nodes = made;
    *decoded = bytes;
    return true;
}

// Flags and tag id of the node each entry type makes (scalars without the
// flow bit, which every scalar below the root gets); type 0 and above 10
// make none.
struct entry_shape {
    uint8_t flags;
    uint8_t tag_id;
};
constexpr entry_shape entry_shapes[11] = {
    {0, 0},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_NULL},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_BOOL},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_BOOL},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_INT},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_FLOAT},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_DOUBLE_QUOTED, false, false), ZARVEL_TAG_STR},
    {make(ZARVEL_KIND_SEQUENCE, 0, true, false), ZARVEL_TAG_SEQ},
    {make(ZARVEL_KIND_MAPPING, 0, true, false), ZARVEL_TAG_MAP},
    {0, 0},
    {make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, false, true), ZARVEL_TAG_INT},
};

// Link words of a record, counted in 32-bit words from the table's start, so
// that a link to fill survives the table moving when it grows.
constexpr uint64_t record_words = sizeof(zarvel_node_rec) / sizeof(uint32_t);
constexpr uint64_t first_child_word = offsetof(zarvel_node_rec, first_child) / sizeof(uint32_t);
constexpr uint64_t next_sibling_word = offsetof(zarvel_node_rec, next_sibling) / sizeof(uint32_t);

// Nodes from a held tape, entry by entry. Node ids follow the entries (a
// closing entry makes none), the store is presized for all of them, and the
// links are written as the entries come: a member is appended to the open
// container, key and value alike (the composer's attach gives the same
// links), and a closing entry finishes its container's last child and count.
// Each open level remembers the link word its next member fills: the
// container's first_child, then the last member's next_sibling. The
// innermost level lives in locals; the outer ones wait in `levels`.
template <bool packed>
int build_entries(zarvel_node_store *store, const zarvel_tape *tape, bool escapes) {
    struct open_level {
        uint32_t id;
        uint32_t last;
        uint32_t count;
        uint64_t link;
    };
    open_level levels[zarvel_store_max_depth];
    open_level top = {zarvel_node_none, zarvel_node_none, 0, 0};
    uint32_t depth = 0;
    const char *text = tape->text;
    const uint64_t text_len = tape->text_len;
    const uint64_t count = tape->count;
    const uint64_t *words = tape->packed;
    const uint8_t *types = tape->types;
    const uint32_t *starts = tape->starts;
    const uint32_t *lens = tape->lens;
    // Every start of a short enough text fits a span's offset.
    const bool offsets_fit = text_len <= zarvel_span_max_offset;
    // The table's fields live in locals while the loop runs; every call that
    // may grow the table gets them written back first.
    zarvel_node_rec *nodes = store->nodes;
    uint32_t node_count = store->node_count;
    // Ids below `ready` have room in the table and are mapped.
    uint32_t prefaulted = 0, ready = 0;
    bool rooted = false;
    for (uint64_t i = 1; i < count; ++i) {
        uint8_t type;
        uint64_t start, length;
        if constexpr (packed) {
            uint64_t word = words[i];
            type = uint8_t(word & 0xFF);
            start = word >> 32;
            length = (word >> 8) & 0xFFFFFF;
        } else {
            type = types[i];
            start = starts[i];
            length = lens[i];
        }
        if (type == ZARVEL_TAPE_CLOSE) {
            if (depth == 0) return -1;
            zarvel_node_rec &node = nodes[top.id];
            node.last_child = top.last;
            node.child_count = top.count;
            if (--depth) top = levels[depth - 1];
            continue;
        }
        if (type > ZARVEL_TAPE_RAW || type == ZARVEL_TAPE_DOCUMENT) return -1;
        bool container = type == ZARVEL_TAPE_ARRAY || type == ZARVEL_TAPE_OBJECT;
        if (!container && (start > text_len || length > text_len - start)) return -1;

        uint32_t id = node_count;
        if (id >= ready) {
            if (id >= store->node_cap) {
                store->node_count = node_count;
                id = zarvel_store_add_node(store);
                if (id == zarvel_node_none) return -1;
                nodes = store->nodes;
            } else {
                uint64_t last = uint64_t(id) + prefault_slice_nodes;
                if (last > store->node_cap) last = store->node_cap;
                prefault(nodes + id, (last - id) * sizeof(zarvel_node_rec));
                prefaulted = uint32_t(last);
            }
            ready = prefaulted < store->node_cap ? prefaulted : store->node_cap;
        }
        node_count = id + 1;
        entry_shape shape = entry_shapes[type];
        // Containers have the flow bit already; scalars get it below the root.
        uint8_t flags = uint8_t(shape.flags | (depth ? zvl::node_flag::flow : 0));
        zarvel_span value = 0;
        if (type == ZARVEL_TAPE_STRING) {
            if (length && escapes && has_backslash(text, start, length)) {
                store->node_count = node_count;
                if (!zarvel_store_strings_reserve(store, length)) return -1;
                uint32_t offset = store->strings_len;
                uint64_t written =
                    zvl_finish_double_into(text, start, start + length, store->strings + offset, length);
                store->strings_len += uint32_t(written);
                value = written ? zarvel_span_make(offset, uint32_t(written), true) : 0;
                length = 0;  // stored already
            }
        } else if (type == ZARVEL_TAPE_RAW) {
            // An unchecked token: it must be exactly one JSON number.
            uint64_t p = 0;
            int32_t is_float = 0;
            if (!zvl_json_number_shape(text + start, length, &p, &is_float) || p != length) return -1;
            shape.tag_id = is_float ? ZARVEL_TAG_FLOAT : ZARVEL_TAG_INT;
        }
        if (length) {
            if ((offsets_fit || start <= zarvel_span_max_offset) && length <= 0xFFFFFFFFu) {
                value = zarvel_span_make(uint32_t(start), uint32_t(length), false);
            } else {
                store->node_count = node_count;
                value = zarvel_store_put_text(store, text + start, length, true);
                if (value == zarvel_span_failed) return -1;
            }
        }
        zarvel_node_rec &node = nodes[id];
        node.flags = flags;
        node.tag_id = shape.tag_id;
        node.first_child = node.last_child = node.next_sibling = node.alias_target = zarvel_node_none;
        node.child_count = 0;
        node.value = value;
        node.tag = node.anchor = 0;

        if (depth) {
            reinterpret_cast<uint32_t *>(nodes)[top.link] = id;
            top.link = uint64_t(id) * record_words + next_sibling_word;
            top.last = id;
            top.count += 1;
        } else {
            store->node_count = node_count;
            if (rooted || !zarvel_store_add_root(store, id)) return -1;
            rooted = true;
        }
        if (container) {
            if (depth >= zarvel_store_max_depth) return -1;
            if (depth) levels[depth - 1] = top;
            top = {id, zarvel_node_none, 0, uint64_t(id) * record_words + first_child_word};
            ++depth;
        }
    }
    store->node_count = node_count;
    return depth == 0 && store->root_count == 1 ? 0 : -1;
}

int build_from_tape(zarvel_node_store *store, const zarvel_tape *tape, bool escapes) {
    bool packed = tape->packed_ready && !tape->columns_ready;
    if (packed ? !tape->packed : (!tape->types || !tape->starts || !tape->lens)) return -1;
    if (tape->count < 1) return -1;
    return packed ? build_entries<true>(store, tape, escapes) : build_entries<false>(store, tape, escapes);
}

// A tape kept as a document's pending body, with what its walk learnt
// (when the indexed builder made it) so that the deferred build need not
// measure it again.
struct held_tape {
    zarvel_tape tape;
    bool measured;
    zvl::tape_walk_facts facts;
};

void release_held(held_tape *held) {
    zarvel_tape_free(&held->tape);
    zvl::deallocate(&zarvel_default_allocator, held);
}

// Step 2: the tape road. Null when the packed builder does not take the text
// (*status untouched) or memory ran out (*status 2).
zarvel_document *tape_document(const char *text, uint64_t len, uint64_t root, int32_t *status) {
    const zarvel_allocator *allocator = &zarvel_default_allocator;
    auto *held = static_cast<held_tape *>(zvl::allocate(allocator, sizeof(held_tape)));
    if (!held) {
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    std::memset(static_cast<void *>(held), 0, sizeof *held);
    zarvel_tape *tape = &held->tape;
    // The block is made here rather than by the builder so that the kernel
    // can be asked for large pages before the entries are written (filling
    // a large fresh block is otherwise dominated by page faults). The builder
    // then takes it as a block offered for reuse.
    if (!zvl::tape_allocate(tape, len)) {
        zvl::deallocate(allocator, held);
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    tape->packed_ready = 1;
    tape->text_len = len + 2;
    zvl::cbor::advise_large_pages(tape->packed, (len + 2) * sizeof(uint64_t));
    const zvl::json::index_variant *indexed = zvl::json::index_best();
    int built = indexed ? zvl::tape_build_indexed(text, len, root, tape, true, *indexed, &held->facts)
                        : zvl::tape_build_packed(text, len, root, tape, {true, true, true});
    held->measured = indexed != nullptr;
    if (built != zvl::tape_built) {
        release_held(held);
        if (built == zvl::tape_no_memory) *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    zarvel_document *document = zarvel_document_alloc(allocator);
    if (!document) {
        release_held(held);
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    document->text = text;
    document->owned_len = len;
    document->source = held;
    document->source_kind = ZARVEL_SOURCE_TAPE;
    *status = ZARVEL_OK;
    return document;
}

// True when some byte is 0x80 or above. The packed builder refuses every
// text holding one (in JSON those bytes can only stand inside strings).
bool has_high_byte(const char *text, uint64_t len) {
    constexpr uint64_t high_bits = 0x8080808080808080ull;
    uint64_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        if (word & high_bits) return true;
    }
    for (; i < len; ++i)
        if (static_cast<uint8_t>(text[i]) >= 0x80) return true;
    return false;
}

// The UTF-8 check over the whole text; records the failure.
bool well_formed(const char *text, uint64_t len) {
    uint64_t bad = 0;
    if (zarvel_validate_utf8(text, len, &bad, false)) return true;
    record_failure(ZARVEL_ERR_ENCODING, bad, "ill-formed UTF-8 at byte %zu");
    return false;
}

zarvel_document *finish(zarvel_document *document, int32_t result, int32_t *status) {
    if (status) *status = result;
    return document;
}

}  // namespace

// ---- deferred build of a tape body (called by zarvel_document_body) -------------

int zarvel_json_source_build(zarvel_node_store *store, void *source) {
    auto *held = static_cast<held_tape *>(source);
    if (!store || !held || !held->tape.text) return -1;
    const zarvel_tape *tape = &held->tape;
    store->input = tape->text;
    store->input_len = tape->text_len;
    // The tape tells exactly what the store will hold: presize for that
    // rather than for the text length, so that one allocation of the right
    // size serves (and memory is not reserved many times over).
    uint64_t nodes = 0, decoded = 0;
    if (held->measured) {
        if (tape->count < 1 + 2 * held->facts.containers) return -1;
        nodes = tape->count - 1 - held->facts.containers;
        decoded = held->facts.escaped_bytes;
    } else if (!measure_tape(tape, &nodes, &decoded)) {
        return -1;
    }
    if (decoded && !zarvel_store_strings_reserve(store, decoded)) return -1;
    if (!zarvel_store_reserve(store, nodes * 2)) return -1;
    advise_tables(store);
    // Without escaped strings no string body needs a look for a backslash.
    return build_from_tape(store, tape, !held->measured || decoded != 0);
}

void zarvel_json_source_release(const zarvel_allocator *allocator, void *source) {
    auto *held = static_cast<held_tape *>(source);
    if (!held) return;
    zarvel_tape_free(&held->tape);
    zvl::deallocate(allocator, held);
}

// ---- entry ---------------------------------------------------------------------------

zarvel_document *zarvel_parse_json(const char *text, uint64_t len, int32_t *status) {
    if (!text && len > 0) return finish(nullptr, ZARVEL_INVALID_ARGUMENT, status);

    // A text with non-ASCII bytes near its start is not offered to the
    // packed builder, which would refuse it after allocating for the whole
    // text; the look is kept short so that ASCII texts pay almost nothing.
    uint64_t root = skip_ws(text, len, 0);
    bool bracket = root < len && (text[root] == '[' || text[root] == '{');
    // The indexed builder takes such texts too (it checks UTF-8 as it goes).
    bool early_high_byte = !zvl::json::index_best() &&
                           has_high_byte(text, len < tape_probe_bytes ? len : tape_probe_bytes);
    if (bracket && len < tape_length_limit && !early_high_byte) {
        int32_t result = ZARVEL_FAILED;
        zarvel_document *document = tape_document(text, len, root, &result);
        if (document || result == ZARVEL_NO_MEMORY) return finish(document, result, status);
    }
    return zvl::json_document_direct(text, len, status);
}

zarvel_document *zvl::json_document_direct(const char *text, uint64_t len, int32_t *status) {
    if (!text && len > 0) return finish(nullptr, ZARVEL_INVALID_ARGUMENT, status);

    // Slot 11: a control byte other than tab and line breaks, or one above
    // 0x7E. Only such texts need the UTF-8 check.
    bool special = len > 0 && zarvel_kernels_get()->has_special(text, len);

    // Build first, validate only what the builder refuses: the builder reads
    // with the validator's kernels and grammar and refuses where it would
    // (past 255 levels included), so a built text is a validated one and the
    // validator's pass is needed only to place the failure.
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    if (!store) return finish(nullptr, ZARVEL_NO_MEMORY, status);
    store->input = text;
    store->input_len = len;
    bool reserved = zarvel_store_reserve(store, len);
    if (reserved) advise_tables(store);
    build_result built = reserved ? direct_builder(store, text, len).run() : build_result::no_memory;
    if (built == build_result::built && (!special || well_formed(text, len))) {
        store->depth = 0;
        zarvel_document *document = zarvel_document_alloc(&zarvel_default_allocator);
        if (!document) {
            zarvel_store_free(store);
            return finish(nullptr, ZARVEL_NO_MEMORY, status);
        }
        document->store = store;
        document->text = text;
        document->owned_len = len;
        return finish(document, ZARVEL_OK, status);
    }
    zarvel_store_free(store);
    if (built == build_result::no_memory) return finish(nullptr, ZARVEL_NO_MEMORY, status);
    if (built == build_result::built) return finish(nullptr, ZARVEL_BAD_ENCODING, status);

    uint64_t failed_at = 0;
    if (!zvl_json_document(text, len, &failed_at)) {
        record_failure(ZARVEL_ERR_FAILED, failed_at, "not strict JSON at byte %zu");
        return finish(nullptr, ZARVEL_FAILED, status);
    }
    if (special && !well_formed(text, len)) return finish(nullptr, ZARVEL_BAD_ENCODING, status);

    zarvel_parse_switches switches;
    switches.skip_decoding = true;
    switches.composer = zarvel_composer_choice::direct;
    return zarvel_parse_internal(text, len, nullptr, switches, status);
}
