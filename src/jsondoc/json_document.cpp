// zarvel_parse_json: a strict JSON text (RFC 8259, UTF-8) into a document.
//
// Three roads, tried in this order:
//   1. a text whose root is "[" or "{" goes to the indexed walk, which
//      writes the nodes as it reads (indexed_document), or for a document
//      to be read in order its views (views_document, json_views_source);
//      where that cannot run, a text the tape's packed builder takes (ASCII
//      strings, no tabs, numbers checked) is kept as a JSON tape whose nodes
//      are made on first access (json_tape_source);
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
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/large_pages.hpp"
#include "core/memory.hpp"
#include "core/utf8.hpp"
#include "core/word.hpp"
#include "doc/number_text.hpp"
#include "doc/quoted.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"
#include "doc/views.hpp"
#include "json/grammar.hpp"
#include "json/messages.hpp"
#include "jsondoc/json_document.hpp"
#include "json/validate.hpp"
#include "json/string_scan.hpp"
#include "core/stage1.hpp"
#include "json/indexed_walk.hpp"
#include "json/tape.hpp"
#include "yaml/parse.hpp"
#include "zarvel.h"

namespace {

using zvl::node_flag::make;
using zvl::tree::no_links;
using zvl::tree::put_record;
using zvl::tree::record_head;
using zvl::tree::two_fields;

// Bytes looked at for non-ASCII before the tape is tried.
constexpr uint64_t tape_probe_bytes = 4096;

// Node records mapped ahead of the builder at a time (1.5 MiB).
constexpr uint64_t prefault_slice_nodes = 32768;

// Texts this long cannot be described by the tape's 32-bit spans.
constexpr uint64_t tape_length_limit = 4294967281ull;

enum class build_result { built, refused, no_memory, too_deep };

// Skips JSON whitespace. Runs of spaces (indentation of pretty-printed
// texts) are passed eight bytes at a time: the first byte that is no space
// is the lowest non-zero byte of the word XOR eight spaces.
uint64_t skip_ws(const char *text, uint64_t len, uint64_t p) {
    constexpr uint64_t spaces = zvl::word::repeat(' ');
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

// Maps `bytes` of a fresh table in one call instead of one page fault per
// page while it is filled. A hint only: where it is unsupported nothing
// changes.
void prefault(void *start, uint64_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr uintptr_t page = 4096;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(page - 1);
    if (!start || end <= begin) return;
    // Memory the allocator hands out again is often mapped already, and
    // asking for mapped small pages costs a walk over every one of them
    // (milliseconds for a large table): a slice whose last page is mapped
    // is taken as mapped and left alone.
    unsigned char mapped = 0;
    if (mincore(reinterpret_cast<void *>(end - page), page, &mapped) == 0 && (mapped & 1)) return;
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

// ---- string bodies with escapes ---------------------------------------------------

// The escapes of one letter after the backslash: the byte each stands
// for, and what it tells of the body's way back out. The writers' own
// one-letter escapes (zvl::json::escape_tail) come back out as the same
// two bytes, so the raw body still serves; "\/" decodes to a byte written
// plain. Zero for the other letters, which take the general decoder.
enum : uint8_t { not_letter, escaped_again, written_plain };
struct letter_escape {
    char byte;
    uint8_t effect;
};
constexpr auto letter_escapes = [] {
    std::array<letter_escape, 256> t{};
    for (unsigned byte = 0; byte <= '\\'; ++byte) {
        char tail[5] = {};
        if ((byte < 0x20 || byte == '"' || byte == '\\') && zvl::json::escape_tail(uint8_t(byte), tail) == 1)
            t[uint8_t(tail[0])] = {char(byte), escaped_again};
    }
    t['/'] = {'/', written_plain};
    return t;
}();
static_assert(letter_escapes['n'].byte == '\n' && letter_escapes['"'].effect == escaped_again &&
              letter_escapes['u'].effect == not_letter);

// The body text[start, end) decoded into out (room for capacity bytes), the
// same bytes as zvl_finish_double_into gives: runs without a backslash are
// copied whole, one-letter escapes come from the table above and the others
// go through the same one-escape decoder (a surrogate without its pair
// becoming U+FFFD, as there). An escape it refuses or one that decodes to
// more bytes than it reads (none of JSON's), and a room shorter than the
// raw body, hand the whole body to zvl_finish_double_into. So the output
// never passes the raw bytes read so far, and the bytes the copy writes past
// a run stay within the room.
// *form: how the text goes back out as JSON (zvl::json_text), judged by its
// escapes alone, as the raw runs of a checked body hold no byte to escape.
uint64_t decode_body(const char *text, uint64_t start, uint64_t end, char *out, uint64_t capacity, uint8_t *form) {
    *form = zvl::json_text::scan;
    if (capacity < end - start) return zvl_finish_double_into(text, start, end, out, capacity);
    bool as_is = true, raw = true;
    const auto copy_until = zarvel_kernels_get()->copy_until;
    uint64_t written = 0;
    uint64_t i = start;
    while (i < end) {
        uint64_t run = copy_until(out + written, text + i, end - i, '\\');
        written += run;
        i += run;
        if (i >= end) break;
        // An escape: text[i] is the backslash. Most are one letter, looked up.
        if (const letter_escape letter = i + 1 < end ? letter_escapes[uint8_t(text[i + 1])] : letter_escape{};
            letter.effect) {
            out[written++] = letter.byte;
            as_is = as_is && letter.effect == written_plain;
            raw = raw && letter.effect == escaped_again;
            i += 2;
            continue;
        }
        char bytes[4];
        uint32_t n = 0;
        uint64_t used = zvl::quoted::decode_escape(text, i + 1, end, false, bytes, &n, nullptr);
        if (used == 0 || n > 1 + used) return zvl_finish_double_into(text, start, end, out, capacity);
        // Longer sequences are UTF-8 of U+0080 and above.
        const uint8_t b = uint8_t(bytes[0]);
        if (n == 1 && (b < 0x20 || b == '"' || b == '\\')) {
            as_is = false;
            // Compared byte by byte: a library call per escape costs more
            // than these few bytes.
            char tail[5];
            if (raw && zvl::json::escape_tail(b, tail) == used)
                for (uint64_t k = 0; k < used; ++k) raw = raw && text[i + 1 + k] == tail[k];
            else
                raw = false;
        } else {
            raw = false;
        }
        for (uint32_t k = 0; k < n; ++k) out[written + k] = bytes[k];
        written += n;
        i += 1 + used;
    }
    *form = as_is ? zvl::json_text::as_is : raw ? zvl::json_text::raw_before : zvl::json_text::scan;
    return written;
}

// The escaped body text[start, start + length) decoded into the store's
// string storage: its span (0 when it decodes to nothing), or
// zarvel_span_failed when the storage cannot grow; *form as for
// decode_body. Every body is decoded eight bytes on, where a body written
// back raw has its span put before the text without moving it (the eight
// bytes stay unused before the others).
zarvel_span stored_body(zarvel_node_store *store, const char *text, uint64_t start, uint64_t length, uint8_t *form) {
    *form = zvl::json_text::scan;
    constexpr uint32_t raw_span = sizeof(zarvel_span);
    const uint64_t wanted = raw_span + length;
    if (uint64_t(store->strings_cap) - store->strings_len < wanted) {
        // No body decodes to more bytes than it reads: storage that has to
        // grow takes room at once for the bodies still ahead (half again
        // the text left holds them, spans and all, unless it is nearly all
        // tiny escaped strings), where doubling would copy it again and
        // again in a text of many escaped strings.
        const uint64_t ahead = store->input_len > start ? store->input_len - start : 0;
        const bool all_ahead = ahead > wanted && zarvel_store_strings_reserve(store, ahead + ahead / 2);
        if (!all_ahead && !zarvel_store_strings_reserve(store, wanted)) return zarvel_span_failed;
    }
    const uint32_t offset = store->strings_len + raw_span;
    char *at = store->strings + offset;
    const uint64_t written = decode_body(text, start, start + length, at, length, form);
    if (*form == zvl::json_text::raw_before) {
        if (start > zarvel_span_max_offset || length > 0xFFFFFFFFu) {
            *form = zvl::json_text::scan;
        } else {
            const zarvel_span raw = zarvel_span_make(uint32_t(start), uint32_t(length), false);
            std::memcpy(at - raw_span, &raw, raw_span);
        }
    }
    store->strings_len = offset + uint32_t(written);
    return written ? zarvel_span_make(offset, uint32_t(written), true) : 0;
}

// ---- node making shared by both builders -------------------------------------

// The value of an int- or float-tagged scalar's fresh record, whose checked
// number token is text[start, start + length), kept in the record when the
// quick readers take it (zvl::record_number).
inline void keep_number(zarvel_node_rec *record, const char *text, uint64_t start, uint32_t length, bool is_float) {
    const char *const token = text + start;
    if (is_float) {
        const uint64_t bits = length >= 3 ? zvl::decimal::quick_bits(token, length) : zvl::decimal::not_taken;
        if (bits != zvl::decimal::not_taken) zarvel_record_keep(*record, bits);
        return;
    }
    int64_t value;
    if (length && zvl::number_text::checked_int(token, length, start + length >= 16, value))
        zarvel_record_keep(*record, uint64_t(value));
}

// The same for any scalar's fresh record of a token that lies there.
__attribute__((noinline)) void keep_if_number(zarvel_node_rec *record, const char *text, uint64_t start,
                                              uint64_t length) {
    const uint8_t tag = record->tag_id;
    if ((tag == ZARVEL_TAG_INT || tag == ZARVEL_TAG_FLOAT) && length <= 0xFFFFFFFFu)
        keep_number(record, text, start, uint32_t(length), tag == ZARVEL_TAG_FLOAT);
}

class node_maker {
  public:
    node_maker(zarvel_node_store *store, const char *text) : store_(store), text_(text) {}

    // A string whose raw body is text[body, body + length): in place without
    // a backslash, else decoded (a JSON escape never decodes to more bytes
    // than it occupies, so the raw length is enough room).
    bool string(uint64_t body, uint64_t length, bool has_escape) {
        zarvel_span span = 0;
        uint8_t form = zvl::json_text::scan;
        if (!has_escape) {
            span = in_place(body, length);
            if (length && span == zarvel_span_failed) return false;
        } else if (length) {
            span = stored_body(store_, text_, body, length, &form);
            if (span == zarvel_span_failed) return false;
        }
        return scalar(make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_DOUBLE_QUOTED, inside(), false), ZARVEL_TAG_STR, span,
                      form) != zarvel_node_none;
    }

    // A number or literal lexeme with the tag id it resolved to.
    bool plain(uint64_t start, uint64_t length, uint8_t tag_id) {
        zarvel_span span = in_place(start, length);
        if (length && span == zarvel_span_failed) return false;
        const uint32_t id = scalar(make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, inside(), true), tag_id, span);
        if (id == zarvel_node_none) return false;
        keep_if_number(&store_->nodes[id], text_, start, length);
        return true;
    }

    // Opens a flow sequence or mapping. Refused (not out of memory) at the
    // store's depth limit: *too_deep tells the two apart.
    bool open(uint8_t kind, bool *too_deep) {
        *too_deep = !zvl::tree::may_open(store_);
        if (*too_deep) return false;
        ready();
        return zvl::tree::open(store_, make(kind, 0, true, false),
                               kind == ZARVEL_KIND_SEQUENCE ? ZARVEL_TAG_SEQ : ZARVEL_TAG_MAP) != zarvel_node_none;
    }

    bool close() { return zvl::tree::close(store_); }
    uint32_t depth() const { return store_->depth; }
    // Inside a mapping whose key has been read (its value comes next).
    bool value_expected() const { return store_->key_pending[store_->depth - 1] != 0; }
    bool in_mapping() const { return store_->open_is_map[store_->depth - 1] != 0; }

  private:
    bool inside() const { return store_->depth > 0; }

    uint32_t scalar(uint8_t flags, uint8_t tag_id, zarvel_span value, uint8_t form = zvl::json_text::scan) {
        ready();
        uint32_t id = zvl::tree::scalar(store_, flags, tag_id, value);
        if (id != zarvel_node_none) store_->nodes[id].json_text = form;
        return id;
    }

    zarvel_span in_place(uint64_t start, uint64_t length) {
        if (length == 0) return 0;
        if (start <= zarvel_span_max_offset && length <= 0xFFFFFFFFu)
            return zarvel_span_make(uint32_t(start), uint32_t(length), false);
        return zarvel_store_put_text(store_, text_ + start, length, true);
    }

    // The node table is presized for the worst case and mostly left unused:
    // map it a slice at a time just ahead of the records being written, one
    // call per slice instead of one page fault per page.
    void ready() {
        if (store_->node_count < prefaulted_ || store_->node_count >= store_->node_cap) return;
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
    zvl::advise_large_pages(store->nodes, uint64_t(store->node_cap) * sizeof(zarvel_node_rec));
    zvl::advise_large_pages(store->strings, store->strings_cap);
}

// ---- direct builder -----------------------------------------------------------

// Builds the nodes of a JSON text in one pass. Refuses (without a message)
// exactly where the validator would: at an unexpected byte, at the end of the
// text inside a value, or when anything but whitespace follows the root; a
// bracket past the library's 1000 open levels ends it as too deep.
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
            // Keys are strings: a bracket in key position is refused.
            if (make_.depth() && make_.in_mapping() && !make_.value_expected()) return build_result::refused;
            bool too_deep = false;
            if (!make_.open(c == '[' ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING, &too_deep)) {
                failed_at_ = start;
                return too_deep ? build_result::too_deep : build_result::no_memory;
            }
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
    bool key_position_ok() const { return !(make_.depth() && make_.in_mapping() && !make_.value_expected()); }

    uint8_t resolve(uint64_t start, uint64_t length) const {
        return zarvel_core_resolver.text(nullptr, text_ + start, uint32_t(length));
    }

    static build_result ok(bool made) { return made ? build_result::built : build_result::no_memory; }

    node_maker make_;
    const char *text_;
    uint64_t len_;
    bool just_opened_ = false;

  public:
    uint64_t failed_at_ = 0;  // the bracket that went too deep
};

// ---- tape body ------------------------------------------------------------------

// What each entry type makes: the node's flags (scalars without the flow
// bit, which every scalar below the root gets) and tag id, and how the loop
// treats it. Type 0 and the types above 10 but the escaped string are refused.
enum entry_role : uint8_t {
    role_in_place,  // a literal, checked number or string without escapes
    role_escaped,   // a string body holding an escape: decoded
    role_raw,       // an unchecked number: checked here, then int or float
    role_open,      // an array or object
    role_close,
    role_refused,
};
struct entry_shape {
    uint8_t flags;
    uint8_t tag_id;
    uint8_t role;
};
constexpr entry_shape plain_shape(uint8_t tag_id) { return {zvl::tree::plain_flags, tag_id, role_in_place}; }
struct entry_shape_table {
    entry_shape at[256];
};
constexpr entry_shape_table make_entry_shapes() {
    entry_shape_table t{};
    for (entry_shape &s : t.at) s = {0, 0, role_refused};
    t.at[ZARVEL_TAPE_NULL] = plain_shape(ZARVEL_TAG_NULL);
    t.at[ZARVEL_TAPE_TRUE] = plain_shape(ZARVEL_TAG_BOOL);
    t.at[ZARVEL_TAPE_FALSE] = plain_shape(ZARVEL_TAG_BOOL);
    t.at[ZARVEL_TAPE_INT] = plain_shape(ZARVEL_TAG_INT);
    t.at[ZARVEL_TAPE_FLOAT] = plain_shape(ZARVEL_TAG_FLOAT);
    constexpr uint8_t string_flags = make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_DOUBLE_QUOTED, false, false);
    t.at[ZARVEL_TAPE_STRING] = {string_flags, ZARVEL_TAG_STR, role_in_place};
    t.at[zvl::tape_escaped_string] = {string_flags, ZARVEL_TAG_STR, role_escaped};
    t.at[ZARVEL_TAPE_ARRAY] = {make(ZARVEL_KIND_SEQUENCE, 0, true, false), ZARVEL_TAG_SEQ, role_open};
    t.at[ZARVEL_TAPE_OBJECT] = {make(ZARVEL_KIND_MAPPING, 0, true, false), ZARVEL_TAG_MAP, role_open};
    t.at[ZARVEL_TAPE_CLOSE] = {0, 0, role_close};
    t.at[ZARVEL_TAPE_RAW] = {plain_shape(ZARVEL_TAG_INT).flags, ZARVEL_TAG_INT, role_raw};
    return t;
}
constexpr entry_shape_table entry_shapes = make_entry_shapes();

// Per entry type, the head word of its node below the root (scalars there
// stood inside a flow collection), first child none.
struct entry_head_table {
    uint64_t at[256];
};
constexpr entry_head_table make_entry_heads_inside() {
    entry_head_table t{};
    for (int type = 0; type < 256; ++type) {
        const entry_shape &s = entry_shapes.at[type];
        t.at[type] = zvl::tree::head_word(uint8_t(s.flags | zvl::node_flag::flow), s.tag_id);
    }
    return t;
}
constexpr entry_head_table entry_heads_inside = make_entry_heads_inside();

// A head word with another first child.
inline __attribute__((always_inline)) uint64_t with_first_child(uint64_t head, uint32_t first) {
    return two_fields(uint32_t(std::endian::native == std::endian::little ? head : head >> 32), first);
}

// Node ids follow the entries, closes making none: the node after the one
// of an entry, or after a container whose close that entry is, has the next
// id unless the following entry closes its parent.
inline __attribute__((always_inline)) uint32_t id_unless_close(uint64_t next_word, uint32_t id) {
    return uint8_t(next_word) == ZARVEL_TAPE_CLOSE ? zarvel_node_none : id;
}

// The span of a scalar lying in place, from its packed word: start and
// length side by side, 0 when empty.
inline __attribute__((always_inline)) zarvel_span packed_span(uint64_t word) {
    const uint64_t length_bits = word & 0xFFFFFF00u;
    return length_bits ? length_bits << 24 | word >> 32 : 0;
}

// Nodes from a held tape, entry by entry. Node ids follow the entries (a
// closing entry makes none), the store is presized for all of them, and the
// links come from the entry after each: a record's next sibling is the next
// id unless that entry closes the parent, a container's first child the next
// id unless it closes the container. A member is a child of the open
// container, key and value alike (the composer gives the same links); its
// id is pushed on the children index's stack (zvl::tree::children_writer),
// and a closing entry takes its container's count and last child from
// there and places its members as the container's list.

// One open container: its record, id, and the stack position of its first
// member.
struct open_level {
    zarvel_node_rec *record;
    uint32_t *members;
    uint32_t id;
};

// The innermost open container closes; the next id is the node after it
// unless the entry after its close (next_word) closes its parent too.
inline __attribute__((always_inline)) void close_level(const open_level &level, zvl::tree::children_writer &index,
                                                       uint64_t next_word, uint32_t next_id) {
    const uint32_t count = uint32_t(index.stack - level.members);
    const uint32_t newest = index.stack[-1];
    zarvel_node_rec *record = level.record;
    const uint64_t links = two_fields(count ? newest : zarvel_node_none, id_unless_close(next_word, next_id));
    std::memcpy(reinterpret_cast<char *>(record) + 8, &links, sizeof links);
    record->child_count = count;
    index.close(*record, level.id, count);
}

struct entry_build {
    const zarvel_tape *tape;
    zarvel_node_store *store;
    // Records are written in the table itself: made in a cached window and
    // streamed past the cache, they measured slower (flow.json, Zen 5).
    zarvel_node_rec *nodes;
    uint64_t i;           // next entry
    uint32_t node_count;  // written back to the store before any call that may read it
    uint32_t depth;
    uint32_t prefaulted;
    uint32_t ready;  // ids below have room and are mapped
    bool rooted;
    bool offsets_fit;                           // every start of the text fits a span's offset
    zvl::tree::children_writer index;           // for as many nodes as the table holds
    open_level levels[zarvel_store_max_depth];  // levels[depth - 1] is the innermost
};

// Entry i of the packed words: its type, start and length.
inline void read_entry(const uint64_t *words, uint64_t i, uint8_t *type, uint64_t *start, uint64_t *length) {
    uint64_t word = words[i];
    *type = zvl::packed_type(word);
    *start = zvl::packed_start(word);
    *length = zvl::packed_length(word);
}

// The number of a checked token text[start, start + length), kept in its
// fresh record by the builds that write records straight (from the tape or
// the walk): an integer's past keep_int_token. Out of line, so that the
// loops writing records keep their registers.
__attribute__((noinline)) void keep_long_int(const char *text, zarvel_node_rec *record, uint64_t start,
                                             uint32_t length) {
    keep_number(record, text, start, length, false);
}

// A float's, straight from the quick reader's bits: one call, no slot for
// a result. A checked float token holds at least three bytes (a digit, a
// point or an exponent, a digit).
inline __attribute__((always_inline)) void keep_float_token(const char *text, zarvel_node_rec *record, uint64_t start,
                                                            uint32_t length) {
    const uint64_t bits = zvl::decimal::quick_bits(text + start, length);
    if (bits != zvl::decimal::not_taken) zarvel_record_keep(*record, bits);
}

// An integer's: one of up to sixteen digits past the text's first sixteen
// bytes (most are) in line.
inline __attribute__((always_inline)) void keep_int_token(const char *text, zarvel_node_rec *record, uint64_t start,
                                                          uint32_t length) {
    int64_t value;
    if (start + length >= 16 && zvl::number_text::checked_int16(text + start, length, value))
        zarvel_record_keep(*record, uint64_t(value));
    else
        keep_long_int(text, record, start, length);
}

// The run of in-place scalars from the entry at p, before `end` (each looks
// at the entry after it): their records written at `record` on, as nodes
// from `id` on, each pushed on `stack` with `push`. Returns the entry after
// the run.
template <bool push>
inline __attribute__((always_inline)) const uint64_t *scalar_run(const uint64_t *p, const uint64_t *end,
                                                                 zarvel_node_rec *&record, uint32_t &id,
                                                                 uint32_t *&stack, const char *text) {
    for (; p < end; ++p) {
        const uint64_t word = *p;
        const uint8_t type = uint8_t(word);
        if (uint8_t(type - ZARVEL_TAPE_NULL) > ZARVEL_TAPE_STRING - ZARVEL_TAPE_NULL) break;
        put_record(record, entry_heads_inside.at[type], two_fields(zarvel_node_none, id_unless_close(p[1], id + 1)),
                   packed_span(word));
        if (type == ZARVEL_TAPE_INT)
            keep_int_token(text, record, zvl::packed_start(word), zvl::packed_length(word));
        else if (type == ZARVEL_TAPE_FLOAT)
            keep_float_token(text, record, zvl::packed_start(word), zvl::packed_length(word));
        if (push) *stack++ = id;
        id += 1;
        record += 1;
    }
    return p;
}

// An array or object entry type.
constexpr bool is_container(uint8_t type) { return type == ZARVEL_TAPE_ARRAY || type == ZARVEL_TAPE_OBJECT; }

// The empty container whose opening entry is at p (its close at p[1]):
// its record written at `record` as node `id`, both then advanced. Its
// close is not the root's, so the entry after that exists; no list is
// placed for it, as none is read for a collection without children.
inline __attribute__((always_inline)) void put_empty(const uint64_t *p, zarvel_node_rec *&record, uint32_t &id) {
    put_record(record, entry_heads_inside.at[uint8_t(*p)], two_fields(zarvel_node_none, id_unless_close(p[2], id + 1)),
               0);
    record += 1;
    id += 1;
}

// A member string holding an escape, the body text[start, start + length):
// decoded into string storage, its record written at `record` as node `id`
// with next sibling `next`. False when the storage cannot grow (the caller
// then fails the build).
__attribute__((noinline)) bool escaped_member(zarvel_node_store *store, const char *text, uint64_t start,
                                              uint32_t length, uint32_t next, zarvel_node_rec *record, uint32_t id) {
    record_head head = std::bit_cast<record_head>(entry_heads_inside.at[zvl::tape_escaped_string]);
    store->node_count = id;
    const zarvel_span value = stored_body(store, text, start, length, &head.json_text);
    if (value == zarvel_span_failed) return false;
    put_record(record, std::bit_cast<uint64_t>(head), two_fields(zarvel_node_none, next), value);
    return true;
}

// The common entries, with the build's fields in registers: scalars whose
// text lies in place, strings holding escapes, and containers opened and
// closed below the root, while the table has mapped room. The tape is the
// packed builder's own over this text, so in-place spans lie inside it.
// Returns at the entry before the last (the root's close), or at the first
// entry it does not take, which the general step then handles.
__attribute__((noinline)) void simple_entries(entry_build &b) {
    if (b.depth == 0 || b.node_count >= b.ready) return;
    const uint64_t *const words = b.tape->packed;
    // The text in a local of its own: read through b, it would be loaded
    // again after every call.
    const char *const text = b.tape->text;
    // An entry makes at most one node: taking no more entries than the
    // mapped room holds nodes keeps every id below `ready`. Each entry
    // taken looks at the one after it.
    const uint64_t room = b.ready - b.node_count;
    const uint64_t last = b.tape->count - 1;
    const uint64_t *const end = words + (last - b.i > room ? b.i + room : last);
    open_level *const levels = b.levels;
    const uint64_t *p = words + b.i;
    uint32_t id = b.node_count;
    uint32_t depth = b.depth;
    zvl::tree::children_writer index = b.index;
    zarvel_node_rec *record = b.nodes + id;
    for (;;) {
        p = scalar_run<true>(p, end, record, id, index.stack, text);
        if (p >= end) break;
        const uint8_t type = uint8_t(*p);
        if (type == ZARVEL_TAPE_CLOSE && depth > 1) {
            close_level(levels[--depth], index, p[1], id);
            ++p;
            continue;
        }
        if (!is_container(type) || depth >= zarvel_store_max_depth) {
            if (type != zvl::tape_escaped_string ||
                !escaped_member(b.store, text, zvl::packed_start(p[0]), zvl::packed_length(p[0]),
                                id_unless_close(p[1], id + 1), record, id))
                break;
            index.push(id);
            id += 1;
            record += 1;
            ++p;
            continue;
        }
        if (uint8_t(p[1]) == ZARVEL_TAPE_CLOSE) {
            put_empty(p, record, id);
            index.push(id - 1);
            p += 2;
            continue;
        }
        // A container with members, and the scalars (and empty containers)
        // right after its opening. When it closes after them (pairs of
        // coordinates, rows of numbers, flat objects) its members are the
        // ids after its own: it is finished at once, without a level or the
        // stack.
        zarvel_node_rec *const container = record;
        const uint32_t container_id = id;
        put_record(container, with_first_child(entry_heads_inside.at[type], id + 1), no_links, 0);
        record += 1;
        id += 1;
        const uint64_t *after = scalar_run<false>(p + 1, end, record, id, index.stack, text);
        bool closes = after < end && uint8_t(*after) == ZARVEL_TAPE_CLOSE;
        // Empty containers among them (pairs of a key and []) keep the
        // members' ids in a row.
        while (!closes && after < end && uint8_t(after[1]) == ZARVEL_TAPE_CLOSE && is_container(uint8_t(*after)) &&
               depth + 1 < zarvel_store_max_depth) {
            put_empty(after, record, id);
            after = scalar_run<false>(after + 2, end, record, id, index.stack, text);
            closes = after < end && uint8_t(*after) == ZARVEL_TAPE_CLOSE;
        }
        index.push(container_id);
        if (closes) {
            const uint32_t count = id - container_id - 1;
            const uint64_t links = two_fields(id - 1, id_unless_close(after[1], id));
            std::memcpy(reinterpret_cast<char *>(container) + 8, &links, sizeof links);
            container->child_count = count;
            index.close_run(*container);
            p = after + 1;
            continue;
        }
        levels[depth++] = {container, index.stack, container_id};
        for (uint32_t member = container_id + 1; member < id; ++member) index.push(member);
        p = after;
    }
    b.i = uint64_t(p - words);
    b.node_count = id;
    b.depth = depth;
    b.index.stack = index.stack;
    b.index.placed = index.placed;
}

// Entry b.i, whatever it is; false when the build fails.
__attribute__((noinline)) bool general_entry(entry_build &b) {
    const zarvel_tape *tape = b.tape;
    zarvel_node_store *store = b.store;
    const char *text = tape->text;
    const uint64_t text_len = tape->text_len;
    uint8_t type;
    uint64_t start, length;
    read_entry(tape->packed, b.i++, &type, &start, &length);
    // The entry after; a tape ending early leaves the root open and fails.
    const uint64_t next = b.i < tape->count ? tape->packed[b.i] : uint64_t{ZARVEL_TAPE_CLOSE};
    entry_shape shape = entry_shapes.at[type];
    zarvel_span value = 0;
    uint8_t form = zvl::json_text::scan;
    if (shape.role < role_open) {
        // Starts and lengths are below 2^32: the sum cannot wrap.
        if (start + length > text_len) return false;
        if (shape.role == role_escaped) {
            store->node_count = b.node_count;
            value = stored_body(store, text, start, length, &form);
            if (value == zarvel_span_failed) return false;
            length = 0;  // stored already
        } else if (shape.role == role_raw) {
            // An unchecked token: it must be exactly one JSON number.
            uint64_t p = 0;
            int32_t is_float = 0;
            if (!zvl_json_number_shape(text + start, length, &p, &is_float) || p != length) return false;
            shape.tag_id = is_float ? ZARVEL_TAG_FLOAT : ZARVEL_TAG_INT;
        }
        if (length) {
            if ((b.offsets_fit || start <= zarvel_span_max_offset) && length <= 0xFFFFFFFFu) {
                value = zarvel_span_make(uint32_t(start), uint32_t(length), false);
            } else {
                store->node_count = b.node_count;
                value = zarvel_store_put_text(store, text + start, length, true);
                if (value == zarvel_span_failed) return false;
            }
        }
        // Scalars below the root stood inside a flow collection.
        if (b.depth) shape.flags |= zvl::node_flag::flow;
    } else if (shape.role == role_close) {
        if (b.depth == 0) return false;
        b.depth -= 1;
        // The root has no siblings.
        close_level(b.levels[b.depth], b.index, b.depth ? next : uint64_t{ZARVEL_TAPE_CLOSE}, b.node_count);
        return true;
    } else if (shape.role != role_open) {
        return false;
    }

    uint32_t id = b.node_count;
    if (id >= b.ready) {
        // The table holds every node the tape counts with room to spare,
        // and the children index is as large: more nodes would be a tape
        // that lies.
        const uint32_t limit = store->node_cap;
        if (id >= limit) return false;
        if (id >= b.prefaulted) {
            uint64_t last = uint64_t(id) + prefault_slice_nodes;
            if (last > limit) last = limit;
            prefault(store->nodes + id, (last - id) * sizeof(zarvel_node_rec));
            b.prefaulted = uint32_t(last);
        }
        b.ready = b.prefaulted;
    }
    b.node_count = id + 1;
    zarvel_node_rec *record = b.nodes + id;
    const bool opens = shape.role == role_open;
    const uint32_t after = b.depth ? id_unless_close(next, id + 1) : zarvel_node_none;
    const record_head head{shape.flags, shape.tag_id, form, 0,
                           opens ? id_unless_close(next, id + 1) : zarvel_node_none};
    put_record(record, std::bit_cast<uint64_t>(head), two_fields(zarvel_node_none, opens ? zarvel_node_none : after),
               value);
    keep_if_number(record, text, start, length);

    if (b.depth) {
        b.index.push(id);
    } else {
        store->node_count = b.node_count;
        if (b.rooted || !zarvel_store_add_root(store, id)) return false;
        b.rooted = true;
    }
    if (opens) {
        if (b.depth >= zarvel_store_max_depth) return false;
        b.levels[b.depth++] = {record, b.index.stack, id};
    }
    return true;
}

int build_entries(entry_build &b, zarvel_node_store *store, const zarvel_tape *tape) {
    b.tape = tape;
    b.store = store;
    b.i = 1;
    b.node_count = store->node_count;
    b.depth = 0;
    b.prefaulted = 0;
    b.ready = 0;
    b.rooted = false;
    b.offsets_fit = tape->text_len <= zarvel_span_max_offset;
    const uint64_t count = tape->count;
    while (b.i < count) {
        if (b.offsets_fit) {
            simple_entries(b);
            if (b.i >= count) break;
        }
        if (!general_entry(b)) return -1;
    }
    store->node_count = b.node_count;
    if (b.depth != 0 || store->root_count != 1 || !b.index.finish(store)) return -1;
    // Ids follow the entries, which are in document order.
    if (store->roots[0] == 0) store->ordered_nodes = store->node_count;
    return 0;
}

int build_from_tape(zarvel_node_store *store, const zarvel_tape *tape) {
    if (!tape->packed_ready || tape->columns_ready || !tape->packed || tape->count < 1) return -1;
    entry_build b;
    b.nodes = store->nodes;
    // The children index is made with the nodes, as large as their table.
    int result = b.index.start(store->allocator, store->node_cap) ? build_entries(b, store, tape) : -1;
    b.index.drop(store->allocator);
    return result;
}

// ---- records straight from the indexed walk ----------------------------------------
//
// The indexed walk (json/indexed_walk.hpp) with a writer of node records
// instead of tape entries: the records, links, kept numbers and children
// index are the ones the tape build above makes of the walk's tape, in one
// pass and without the tape. Ids follow the walk's values; a record's next
// sibling is taken to be the next id and set to none when its parent closes.

// How many nodes a table of the walk's nodes is first made for, when
// `needed` of them are to be written and `classified` bytes of the text's
// len were read at the first chunk: as many as the text would have if all
// of it were as dense in offsets as that part (an offset starts at most one
// node), but no more than a valid text of its length has ((len + 1) / 2:
// every node but the root follows a separator or an opening bracket, and
// each container closes).
inline uint64_t first_table_nodes(uint64_t needed, uint64_t len, uint64_t classified) {
    const uint64_t most = (len + 1) / 2 + 64;
    const uint64_t estimate = classified ? needed * len / classified + 64 : most;
    const uint64_t wanted = estimate < most ? estimate : most;
    return wanted < needed ? needed : wanted;
}

// The room of the record writer. The node table is made at the first
// chunk (first_table_nodes); it grows when a chunk could pass it, and is
// mapped a slice at a time ahead of the records. The children index holds
// an id for every byte, as many as the walk can make of any text before it
// refuses, so it never moves (its pages are touched only where used).
struct record_room {
    zarvel_node_store *store;
    const zvl::indexed::index_cursor *cursor;
    uint64_t capacity = 0;  // ids below are in the table and mapped
    bool failed = false;    // memory ran out
    zvl::tree::children_writer index;
    uint32_t node_count = 0;  // once built

    __attribute__((noinline)) bool grow(uint64_t used, uint64_t needed, uint64_t /*done*/) {
        // Only a text too long for the index to hold an id a byte: no valid
        // one has that many nodes.
        if (needed > index.nodes()) return false;
        uint64_t from = capacity;
        if (needed > store->node_cap) {
            const uint64_t wanted =
                store->nodes ? needed : first_table_nodes(needed, store->input_len, cursor->state().offset);
            store->node_count = uint32_t(used);
            // The string storage as the tape build reserved it for as many
            // nodes; node_cap as wanted (the input length would cap it).
            if (!zarvel_store_reserve_nodes(store, 2 * wanted, wanted)) {
                failed = true;
                return false;
            }
            if (from == 0) advise_tables(store);
            from = used;
        }
        uint64_t last = needed > from + prefault_slice_nodes ? needed : from + prefault_slice_nodes;
        if (last > store->node_cap) last = store->node_cap;
        if (last > from) prefault(store->nodes + from, (last - from) * sizeof(zarvel_node_rec));
        capacity = last;
        return needed <= capacity;
    }
};

// A fresh record as put_record writes it, in two halves made in registers:
// four words gathered on the stack and loaded back in pairs (as the
// compiler otherwise does in the walk) wait on every record for the stores.
inline __attribute__((always_inline)) void store_record(zarvel_node_rec *record, uint64_t head, uint64_t links,
                                                        zarvel_span value, uint32_t count = 0,
                                                        uint32_t start = zarvel_node_none) {
#if defined(__SSE2__)
    const __m128i first = _mm_set_epi64x(static_cast<long long>(links), static_cast<long long>(head));
    const __m128i second =
        _mm_set_epi64x(static_cast<long long>(value), static_cast<long long>(two_fields(count, start)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(record), first);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(record) + 1, second);
#else
    put_record(record, head, links, value, count);
    record->alias_target = start;
#endif
}

// What the writers of nodes from the indexed walk share. The walk's count
// n of values made so far, plus one, names the next id (n - 1): a close
// makes no node. The ids of the open containers' members stand on the
// stack of a children writer; a level's mark is the stack position of its
// first member; a container with members has the id before the first, an
// empty one is the newest node when it closes.
template <typename Room>
struct member_writer {
    static constexpr bool span_limited = true;
    static constexpr uint64_t close_entries = 0;
    static constexpr bool all_facts = false;
    static constexpr bool whole_pairs = true;
    const char *text;
    Room *room;
    zvl::tree::children_writer index;

    static uint64_t used(const member_writer &, uint64_t n) { return n - 1; }
    // Taken before the container's own push (the root's is none).
    static uint32_t mark(const member_writer &out, uint64_t n) {
        return uint32_t(out.index.stack - out.index.ids) + (n > 1);
    }
    void finish(Room &into, uint64_t n) {
        into.node_count = uint32_t(n - 1);
        into.index = index;
    }
};

struct record_writer : member_writer<record_room> {
    zarvel_node_rec *nodes;

    static record_writer start(record_room &room) {
        return {{room.store->input, &room, room.index}, room.store->nodes};
    }
    void rebase(const record_room &room) { nodes = room.store->nodes; }

    inline __attribute__((always_inline)) void put(uint64_t n, uint8_t type, uint64_t start, uint64_t length) {
        if (type == ZARVEL_TAPE_DOCUMENT) return;
        const uint32_t id = uint32_t(n - 1);
        zarvel_node_rec *const record = nodes + id;
        if (type == ZARVEL_TAPE_ARRAY || type == ZARVEL_TAPE_OBJECT) {
            store_record(record, entry_heads_inside.at[type], no_links, 0);
            // The root, node 0, is no member.
            if (id) index.push(id);
            return;
        }
        // Out of memory marks the room failed, which ends the walk refused.
        if (type == zvl::tape_escaped_string) {
            if (!escaped_member(room->store, text, start, uint32_t(length), id + 1, record, id)) room->failed = true;
        } else
            scalar(record, type, start, length, id + 1);
        index.push(id);
    }

    // A scalar lying in place, with its next sibling, its number kept.
    inline __attribute__((always_inline)) void scalar(zarvel_node_rec *record, uint8_t type, uint64_t start,
                                                      uint64_t length, uint32_t next) {
        const zarvel_span value = length ? zarvel_span_make(uint32_t(start), uint32_t(length), false) : 0;
        store_record(record, entry_heads_inside.at[type], two_fields(zarvel_node_none, next), value);
        if (type == ZARVEL_TAPE_INT)
            keep_int_token(text, record, start, uint32_t(length));
        else if (type == ZARVEL_TAPE_FLOAT)
            keep_float_token(text, record, start, uint32_t(length));
    }

    // An array of two numbers: its members are the ids after its own, so
    // it is written whole, without the stack.
    inline __attribute__((always_inline)) void pair(uint64_t n, uint8_t first_type, uint64_t first,
                                                    uint64_t first_length, uint8_t second_type, uint64_t second,
                                                    uint64_t second_length) {
        const uint32_t id = uint32_t(n - 1);
        zarvel_node_rec *const record = nodes + id;
        store_record(record, with_first_child(entry_heads_inside.at[ZARVEL_TAPE_ARRAY], id + 1),
                     two_fields(id + 2, id ? id + 3 : zarvel_node_none), 0, 2, zarvel_child_run);
        scalar(record + 1, first_type, first, first_length, id + 2);
        scalar(record + 2, second_type, second, second_length, zarvel_node_none);
        if (id) index.push(id);
    }

    // The innermost container closes: its first and last child, count and
    // list; its last member has no next sibling, and it has the next id
    // (none for the root).
    inline __attribute__((always_inline)) void link(uint32_t mark, uint64_t n) {
        const uint32_t next = uint32_t(n - 1);
        uint32_t *const members = index.ids + mark;
        const uint32_t count = uint32_t(index.stack - members);
        if (count == 0) {
            const uint32_t id = next - 1;
            const uint64_t links = two_fields(zarvel_node_none, id ? next : zarvel_node_none);
            std::memcpy(reinterpret_cast<char *>(nodes + id) + 8, &links, sizeof links);
            return;
        }
        const uint32_t id = members[0] - 1;
        zarvel_node_rec *const record = nodes + id;
        const uint32_t newest = index.stack[-1];
        nodes[newest].next_sibling = zarvel_node_none;
        record->first_child = id + 1;
        const uint64_t links = two_fields(newest, id ? next : zarvel_node_none);
        std::memcpy(reinterpret_cast<char *>(record) + 8, &links, sizeof links);
        record->child_count = count;
        // Its members are a run when no other node was made since it
        // opened: known without looking at the stack.
        if (count == next - id - 1) {
            index.stack = members;
            zvl::tree::children_writer::close_run(*record);
        } else {
            index.close(*record, id, count);
        }
    }
};

// Ids the children index holds for a text of len bytes: one a byte, as many
// as the walk can make of any text before it refuses.
inline uint64_t index_room(uint64_t len) {
    constexpr uint64_t most = zarvel_child_run - 2 * zvl::tree::index_slack - 1;
    return len + 2 < most ? len + 2 : most;
}

// The indexed walk of a writer into its room, whose children writer is
// started for the text first; a zvl::tape_* result, no memory too when the
// room ran out.
template <typename Writer, typename Room>
int indexed_walk(Room &room, const zarvel_allocator *allocator, const char *text, uint64_t len, uint64_t root,
                 const zvl::json::index_variant &variant, uint64_t *longest_key) {
    if (!room.index.start(allocator, index_room(len))) return zvl::tape_no_memory;
    zvl::indexed::index_cursor cursor(text, len, variant.fill, variant.checks_utf8,
                                      zvl::indexed::deepest_rule::document);
    room.cursor = &cursor;
    int result = zvl::indexed::walk<Writer, true>(text, len, root, room, cursor);
    if (result == zvl::tape_refused && room.failed) result = zvl::tape_no_memory;
    if (longest_key) *longest_key = cursor.facts.longest_key;
    return result;
}

// The record road's build into a fresh store: the indexed walk's records
// from the root bracket at text[root]; a zvl::tape_* result.
int indexed_build(zarvel_node_store *store, const char *text, uint64_t len, uint64_t root,
                  const zvl::json::index_variant &variant, uint64_t *longest_key) {
    const zarvel_allocator *allocator = store->allocator;
    store->input = text;
    store->input_len = len;
    store->json_checked = 1;
    record_room room;
    room.store = store;
    int result = indexed_walk<record_writer>(room, allocator, text, len, root, variant, longest_key);
    if (result == zvl::tape_built) {
        store->node_count = room.node_count;
        store->ordered_nodes = room.node_count;
        if (!zarvel_store_add_root(store, 0) || !room.index.finish(store)) result = zvl::tape_no_memory;
    }
    if (result != zvl::tape_built) room.index.drop(allocator);
    return result;
}

// Step 2 on a host with the indexed classifier: the document built at once.
// Null when the walk refuses the text (*status untouched) or memory ran out
// (*status 2).
zarvel_document *indexed_document(const char *text, uint64_t len, uint64_t root,
                                  const zvl::json::index_variant &variant, int32_t *status, uint64_t *longest_key) {
    const zarvel_allocator *allocator = &zarvel_default_allocator;
    zarvel_node_store *store = zarvel_store_new(allocator);
    if (!store) {
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    int result = indexed_build(store, text, len, root, variant, longest_key);
    zarvel_document *document = nullptr;
    if (result == zvl::tape_built && !(document = zarvel_document_alloc(allocator))) result = zvl::tape_no_memory;
    if (!document) {
        zarvel_store_free(store);
        if (result == zvl::tape_no_memory) *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    document->store = store;
    document->text = text;
    document->owned_len = len;
    *status = ZARVEL_OK;
    return document;
}

// ---- views straight from the indexed walk ---------------------------------------
//
// A document to be read in document order (ZARVEL_JSON_IN_ORDER) has the
// views themselves as its pending body: the indexed walk writes each node's
// view as zarvel_document_views gives it where the record road writes its
// record, and a collection's count at its close. No records, links or
// children lists are made, and the views are handed out as they stand. Any
// other read builds the nodes by the record road from the text again, whose
// ids are the views' (both follow document order).

// Per entry type, its view's head less the id, from its record's flags and
// tag id.
constexpr auto entry_view_heads = [] {
    std::array<uint64_t, 256> t{};
    for (unsigned type = 0; type < 256; ++type) {
        const record_head head = std::bit_cast<record_head>(entry_heads_inside.at[type]);
        const uint64_t flags_head = zvl::views::flags_head(head.flags);
        const uint64_t scalar_tag =
            flags_head & zvl::views::head_tag_bits ? 0 : uint64_t(head.tag_id) << zvl::views::head_tag_shift;
        t[type] = flags_head | scalar_tag;
    }
    return t;
}();
constexpr char no_text[1] = {0};  // the text of an empty scalar
constexpr uint64_t view_strings_block = 65536;

// The views' room, made and grown as record_room makes the node table, and
// the stack of the open containers' members, whose counts their closes take.
struct view_room {
    const zarvel_allocator *allocator;
    const zvl::indexed::index_cursor *cursor;
    const char *text;
    uint64_t text_len;
    zarvel_node_view *views = nullptr;
    uint64_t capacity = 0;             // views below are in the table
    bool failed = false;               // memory ran out
    zvl::tree::children_writer index;  // its stack alone
    zarvel_arena *strings = nullptr;   // decoded escaped strings, for the document
    uint32_t node_count = 0;           // once built

    __attribute__((noinline)) bool grow(uint64_t used, uint64_t needed, uint64_t /*done*/) {
        if (needed > index.nodes()) return false;
        const uint64_t most = (text_len + 1) / 2 + 64;
        uint64_t wanted = views ? (2 * capacity < most ? 2 * capacity : most)
                                : first_table_nodes(needed, text_len, cursor->state().offset);
        if (wanted < needed) wanted = needed;
        auto *fresh = static_cast<zarvel_node_view *>(zvl::allocate(allocator, wanted * sizeof(zarvel_node_view)));
        if (!fresh) {
            failed = true;
            return false;
        }
        zvl::advise_large_pages(fresh, wanted * sizeof(zarvel_node_view));
        if (used) std::memcpy(static_cast<void *>(fresh), views, used * sizeof(zarvel_node_view));
        zvl::deallocate(allocator, views);
        views = fresh;
        capacity = wanted;
        return true;
    }
    // What a document would have taken, once the walk failed.
    void drop() {
        zvl::deallocate(allocator, views);
        zarvel_arena_free(strings);
        views = nullptr;
        strings = nullptr;
    }
};

// The number of an int or float token as the views of built nodes read it:
// the value the build keeps, else (floats only) the text read.
inline __attribute__((always_inline)) uint64_t token_number(const char *text, uint8_t type, uint64_t start,
                                                            uint32_t length, int64_t &number) {
    zarvel_node_rec record;
    record.number = zvl::record_number::text;
    if (type == ZARVEL_TAPE_INT)
        keep_int_token(text, &record, start, length);
    else
        keep_float_token(text, &record, start, length);
    if (record.number == zvl::record_number::kept) {
        number = zarvel_record_kept<int64_t>(record);
        return type == ZARVEL_TAPE_INT ? ZARVEL_TAG_INT : ZARVEL_TAG_FLOAT;
    }
    double value;
    if (type == ZARVEL_TAPE_FLOAT && zvl::views::float_text(text + start, length, &value)) {
        number = std::bit_cast<int64_t>(value);
        return ZARVEL_TAG_FLOAT;
    }
    number = 0;
    return 0;
}

// The record writer's walk with views: the same ids, marks and closes.
struct view_writer : member_writer<view_room> {
    zarvel_node_view *views;

    static view_writer start(view_room &room) { return {{room.text, &room, room.index}, room.views}; }
    void rebase(const view_room &room) { views = room.views; }

    inline __attribute__((always_inline)) void put(uint64_t n, uint8_t type, uint64_t start, uint64_t length) {
        if (type == ZARVEL_TAPE_DOCUMENT) return;
        const uint32_t id = uint32_t(n - 1);
        if (type == ZARVEL_TAPE_ARRAY || type == ZARVEL_TAPE_OBJECT) {
            collection(views[id], type, id, 0);
            if (id) index.push(id);
            return;
        }
        if (type == zvl::tape_escaped_string) {
            if (!escaped(views[id], start, uint32_t(length), id)) room->failed = true;
        } else {
            scalar(views[id], type, start, uint32_t(length), id);
        }
        index.push(id);
    }

    static void collection(zarvel_node_view &view, uint8_t type, uint32_t id, uint64_t count) {
        view.text = nullptr;
        view.length = count;
        view.number.integer = 0;
        zvl::views::put_head(view, entry_view_heads[type] | id);
    }

    inline __attribute__((always_inline)) void scalar(zarvel_node_view &view, uint8_t type, uint64_t start,
                                                      uint32_t length, uint32_t id) {
        view.text = length ? text + start : no_text;
        view.length = length;
        uint64_t head = entry_view_heads[type] | id;
        int64_t number = 0;
        if (type == ZARVEL_TAPE_INT || type == ZARVEL_TAPE_FLOAT)
            head |= token_number(text, type, start, length, number) << zvl::views::head_number_shift;
        view.number.integer = number;
        zvl::views::put_head(view, head);
    }

    // A string holding an escape, decoded into the document's strings.
    __attribute__((noinline)) bool escaped(zarvel_node_view &view, uint64_t start, uint32_t length, uint32_t id) {
        if (!room->strings && !(room->strings = zarvel_arena_new(room->allocator, view_strings_block))) return false;
        auto *out = static_cast<char *>(zarvel_arena_alloc(room->strings, length, 1));
        if (!out) return false;
        uint8_t form;
        const uint64_t written = decode_body(text, start, start + length, out, length, &form);
        view.text = written ? out : no_text;
        view.length = written;
        view.number.integer = 0;
        zvl::views::put_head(view, entry_view_heads[zvl::tape_escaped_string] | id);
        return true;
    }

    inline __attribute__((always_inline)) void pair(uint64_t n, uint8_t first_type, uint64_t first,
                                                    uint64_t first_length, uint8_t second_type, uint64_t second,
                                                    uint64_t second_length) {
        const uint32_t id = uint32_t(n - 1);
        collection(views[id], ZARVEL_TAPE_ARRAY, id, 2);
        scalar(views[id + 1], first_type, first, uint32_t(first_length), id + 1);
        scalar(views[id + 2], second_type, second, uint32_t(second_length), id + 2);
        if (id) index.push(id);
    }

    // The innermost container closes with its members' count (an empty one
    // has its count, 0, already).
    inline __attribute__((always_inline)) void link(uint32_t mark, uint64_t) {
        uint32_t *const first = index.ids + mark;
        const uint64_t count = uint64_t(index.stack - first);
        if (count == 0) return;
        views[first[0] - 1].length = count;
        index.stack = first;
    }
};

// The views body of a document: its views in document order.
struct held_views {
    zarvel_node_view *views;
    uint64_t count;
};

// Step 2 for a document read in order: the views written at once, as the
// document's pending body. Null as for indexed_document.
zarvel_document *views_document(const char *text, uint64_t len, uint64_t root, const zvl::json::index_variant &variant,
                                int32_t *status) {
    const zarvel_allocator *allocator = &zarvel_default_allocator;
    view_room room;
    room.allocator = allocator;
    room.text = text;
    room.text_len = len;
    const int result = indexed_walk<view_writer>(room, allocator, text, len, root, variant, nullptr);
    room.index.drop(allocator);
    zarvel_document *document = nullptr;
    held_views *held = nullptr;
    if (result == zvl::tape_built) {
        held = static_cast<held_views *>(zvl::allocate(allocator, sizeof(held_views)));
        document = held ? zarvel_document_alloc(allocator) : nullptr;
    }
    if (!document) {
        zvl::deallocate(allocator, held);
        room.drop();
        if (result != zvl::tape_refused) *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    *held = {room.views, room.node_count};
    document->text = text;
    document->owned_len = len;
    document->scratch = room.strings;
    document->source = held;
    document->source_ops = &zvl::json_views_source;
    *status = ZARVEL_OK;
    return document;
}

// ---- the views body's source operations -------------------------------------------

// The nodes, by the record road over the document's text again.
int build_pending_views(zarvel_node_store *store, const zarvel_document *document) {
    const zvl::json::index_variant *indexed = zarvel_kernels_get()->json_index;
    if (!store || !indexed) return -1;
    const uint64_t len = document->owned_len;
    return indexed_build(store, document->text, len, skip_ws(document->text, len, 0), *indexed, nullptr) ==
                   zvl::tape_built
               ? 0
               : -1;
}

void release_pending_views(const zarvel_allocator *allocator, void *source) {
    auto *held = static_cast<held_views *>(source);
    if (!held) return;
    zvl::deallocate(allocator, held->views);
    zvl::deallocate(allocator, held);
}

int32_t pending_views(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags, zarvel_node_view *views,
                      uint64_t capacity, uint64_t *count) {
    const auto *held = static_cast<const held_views *>(document->source);
    if (root != 0) return ZARVEL_INVALID_ARGUMENT;
    *count = held->count;
    if (!views || first >= held->count) return ZARVEL_OK;
    const uint64_t n = capacity < held->count - first ? capacity : held->count - first;
    std::memcpy(static_cast<void *>(views), held->views + first, n * sizeof(zarvel_node_view));
    // The views hold the numbers; without the flag no view has one.
    if (!(flags & ZARVEL_VIEW_NUMBERS))
        for (uint64_t k = 0; k < n; ++k) {
            views[k].number.integer = 0;
            views[k].number_kind = 0;
        }
    return ZARVEL_OK;
}

// A tape kept as a document's pending body, with what its walk learnt so
// that the deferred build need not measure it again.
struct held_tape {
    zarvel_tape tape;
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
    if (!zvl::tape_allocate_packed(tape, len)) {
        zvl::deallocate(allocator, held);
        *status = ZARVEL_NO_MEMORY;
        return nullptr;
    }
    tape->packed_ready = 1;
    tape->text_len = len + 2;
    zvl::advise_large_pages(tape->packed, (len + 2) * sizeof(uint64_t));
    const zvl::json::index_variant *indexed = zarvel_kernels_get()->json_index;
    int built = indexed ? zvl::tape_build_indexed(text, len, root, tape, true, *indexed, &held->facts)
                        : zvl::tape_build_packed(text, len, root, tape, {true, true, true}, &held->facts);
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
    document->source_ops = &zvl::json_tape_source;
    *status = ZARVEL_OK;
    return document;
}

// True when some byte is 0x80 or above. The packed builder refuses every
// text holding one (in JSON those bytes can only stand inside strings).
bool has_high_byte(const char *text, uint64_t len) {
    uint64_t i = 0;
    for (; i + 8 <= len; i += 8)
        if (zvl::word::load(text + i) & zvl::word::highs) return true;
    for (; i < len; ++i)
        if (static_cast<uint8_t>(text[i]) >= 0x80) return true;
    return false;
}

// The UTF-8 check over the whole text; records the failure.
bool well_formed(const char *text, uint64_t len) {
    uint64_t bad = 0;
    if (zarvel_validate_utf8(text, len, &bad, false)) return true;
    zvl::error_at_byte(ZARVEL_ERR_ENCODING, bad, zvl::json::message::ill_formed_utf8);
    return false;
}

zarvel_document *finish(zarvel_document *document, int32_t result, int32_t *status) {
    if (status) *status = result;
    return document;
}

// A bracket past the library's nesting limit: the YAML reader's message,
// with the bracket's offset.
zarvel_document *too_deep(uint64_t offset, int32_t *status) {
    zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_TOO_DEEP, 0, 0, offset, nullptr);
    return finish(nullptr, ZARVEL_TOO_DEEP, status);
}

// ---- deferred build of a tape body (called by zarvel_document_body) -------------

int build_pending_tape(zarvel_node_store *store, const zarvel_document *document) {
    auto *held = static_cast<held_tape *>(document->source);
    if (!store || !held || !held->tape.text) return -1;
    const zarvel_tape *tape = &held->tape;
    store->input = tape->text;
    store->input_len = tape->text_len;
    // The tape tells exactly what the store will hold: presize for that
    // rather than for the text length, so that one allocation of the right
    // size serves (and memory is not reserved many times over).
    if (tape->count < 1 + 2 * held->facts.containers) return -1;
    uint64_t nodes = tape->count - 1 - held->facts.containers;
    uint64_t decoded = held->facts.escaped_bytes;
    if (decoded && !zarvel_store_strings_reserve(store, decoded)) return -1;
    if (!zarvel_store_reserve(store, nodes * 2)) return -1;
    advise_tables(store);
    store->json_checked = 1;
    return build_from_tape(store, tape);
}

void release_pending_tape(const zarvel_allocator *allocator, void *source) {
    auto *held = static_cast<held_tape *>(source);
    if (!held) return;
    zarvel_tape_free(&held->tape);
    zvl::deallocate(allocator, held);
}

}  // namespace

const zarvel_source_ops zvl::json_tape_source = {build_pending_tape, release_pending_tape, false, nullptr};
// The decoded strings lie in the document's scratch arena, which stays.
const zarvel_source_ops zvl::json_views_source = {build_pending_views, release_pending_views, false, pending_views};

// ---- entry ---------------------------------------------------------------------------

zarvel_document *zvl::json_tape_road(const char *text, uint64_t len, int32_t *status, uint64_t *longest_key,
                                     bool in_order) {
    if (!text) return nullptr;
    // A text with non-ASCII bytes near its start is not offered to the
    // packed builder, which would refuse it after allocating for the whole
    // text; the look is kept short so that ASCII texts pay almost nothing.
    uint64_t root = skip_ws(text, len, 0);
    bool bracket = root < len && (text[root] == '[' || text[root] == '{');
    // The indexed builder takes such texts too (it checks UTF-8 as it goes).
    bool early_high_byte =
        !zarvel_kernels_get()->json_index && has_high_byte(text, len < tape_probe_bytes ? len : tape_probe_bytes);
    if (!bracket || len >= tape_length_limit || early_high_byte) return nullptr;
    // Where every offset fits a span, the walk writes the records itself.
    if (const zvl::json::index_variant *indexed = zarvel_kernels_get()->json_index;
        indexed && len <= zarvel_span_max_offset)
        return in_order ? views_document(text, len, root, *indexed, status)
                        : indexed_document(text, len, root, *indexed, status, longest_key);
    return tape_document(text, len, root, status);
}

const zarvel_tape *zvl::json_pending_tape(const zarvel_document *document, const tape_walk_facts **facts) {
    if (!document || !document->source || document->source_ops != &json_tape_source) return nullptr;
    const auto *held = static_cast<const held_tape *>(document->source);
    *facts = &held->facts;
    return &held->tape;
}

zarvel_document *zarvel_parse_json(const char *text, uint64_t len, int32_t *status) {
    return zarvel_parse_json_ex(text, len, nullptr, status);
}

zarvel_document *zarvel_parse_json_ex(const char *text, uint64_t len, const zarvel_json_options *options,
                                      int32_t *status) {
    const uint32_t flags = options && options->size >= sizeof(zarvel_json_options) ? options->flags : 0;
    if ((!text && len > 0) || (flags & ~uint32_t(ZARVEL_JSON_IN_ORDER)))
        return finish(nullptr, ZARVEL_INVALID_ARGUMENT, status);
    int32_t result = ZARVEL_FAILED;
    zarvel_document *document = zvl::json_tape_road(text, len, &result, nullptr, (flags & ZARVEL_JSON_IN_ORDER) != 0);
    if (document || result == ZARVEL_NO_MEMORY) return finish(document, result, status);
    return zvl::json_document_direct(text, len, status);
}

zarvel_document *zvl::json_document_direct(const char *text, uint64_t len, int32_t *status) {
    if (!text && len > 0) return finish(nullptr, ZARVEL_INVALID_ARGUMENT, status);

    // Slot 11: a control byte other than tab and line breaks, or one above
    // 0x7E. Only such texts need the UTF-8 check.
    bool special = len > 0 && zarvel_kernels_get()->has_special(text, len);

    // Build first, validate only what the builder refuses: the builder reads
    // with the validator's kernels and grammar and refuses where it would, so
    // a built text is a validated one and the validator's pass is needed only
    // to place the failure.
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    if (!store) return finish(nullptr, ZARVEL_NO_MEMORY, status);
    store->input = text;
    store->input_len = len;
    store->json_checked = 1;
    bool reserved = zarvel_store_reserve(store, len);
    if (reserved) advise_tables(store);
    direct_builder builder(store, text, len);
    build_result built = reserved ? builder.run() : build_result::no_memory;
    if (built == build_result::built && (!special || well_formed(text, len))) {
        zvl::tree::close_to(store, 0);
        // The builder makes each node as it reads it: ids in document order.
        store->ordered_nodes = store->node_count;
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
    if (built == build_result::too_deep) return too_deep(builder.failed_at_, status);

    // The validator holds as many levels as the builder, so it finds the
    // same first fault.
    zvl::json_validation v = zvl::json_validate(text, len, zarvel_store_max_depth);
    if (v.too_deep) return too_deep(v.failed_at, status);
    if (!v.valid) {
        zvl::error_at_byte(ZARVEL_ERR_FAILED, v.failed_at, zvl::json::message::not_strict);
        return finish(nullptr, ZARVEL_FAILED, status);
    }
    if (special && !well_formed(text, len)) return finish(nullptr, ZARVEL_BAD_ENCODING, status);

    zarvel_parse_switches switches;
    switches.skip_decoding = true;
    switches.composer = zarvel_composer_choice::direct;
    return zarvel_parse_internal(text, len, nullptr, switches, status);
}
