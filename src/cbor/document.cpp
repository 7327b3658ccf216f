// CBOR into documents: the document sink and the document-level entries.
//
// The sink writes straight into a node store through the tree builder
// (doc/tree_builder.hpp), so a decoded item is a document like any parsed
// one. Definite strings refer into the caller's buffer; numbers, joined
// strings and tag chains are copied into string storage.
#include <cmath>
#include <cstring>

#include "cbor/decode.hpp"
#include "cbor/messages.hpp"
#include "core/large_pages.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"
#include "emit/format_double.hpp"
#include "emit/shortest_fast.hpp"
#include "zarvel.h"

namespace {

using zvl::cbor::tag_chain;

// Room a number's text is formatted into (more than it keeps); the store
// estimate adds it once more, so that the last number needs no growth.
constexpr uint32_t number_room = 32;

// Status of a failed node store operation inside the sink: memory ran out.
class document_sink {
  public:
    explicit document_sink(zarvel_node_store *store) : store_(store) {}

    // Keys keep the tag id of their value (false, true and null stay bool and
    // null), like integer keys below, so that they re-encode unchanged.
    bool scalar(const char *text, uint64_t length, uint8_t tag_id, bool, tag_chain tag) {
        return plain(text, length, tag_id, tag);
    }
    // Marked, so that only these (never a text that reads the same) encode
    // back as undefined and simple values.
    bool simple(const char *text, uint64_t length, bool, tag_chain tag) {
        return plain(text, length, ZARVEL_TAG_STR, tag, zvl::node_flag::cbor_simple);
    }
    bool integer(bool negative, uint64_t magnitude, bool, tag_chain tag) {
        char *text = kept(negative ? magnitude - 1 : magnitude);
        if (!text) return false;
        uint32_t n = 0;
        if (negative) text[n++] = '-';
        n += zvl::cbor::decimal_digits(text + n, magnitude);
        return plain_in_room(n, ZARVEL_TAG_INT, tag, zvl::node_flag::cbor_number);
    }
    // Integers beyond the signed 64-bit range keep their exact decimal text,
    // so that they read and re-encode as the same integer (a double would
    // round 2^64 - 1 up to 2^64).
    bool big_integer(bool negative_major, uint64_t argument, tag_chain tag) {
        return integer_text(negative_major, argument, tag);
    }
    // Integer keys stay integer-typed for the same reason: re-encoding gives
    // the integer key back instead of its text.
    bool key_integer(bool negative_major, uint64_t argument, tag_chain tag) {
        return integer_text(negative_major, argument, tag);
    }
    bool floating(double value, bool, tag_chain tag) {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof value);
        char *text = kept(bits);
        if (!text) return false;
        return plain_in_room(float_text(text, value), ZARVEL_TAG_FLOAT, tag, zvl::node_flag::cbor_number);
    }
    // Arrays of floats, where the store has room for them (as after
    // presizing) and they are untagged: their items as floating() would add
    // them, but written at once and linked to their sequence as one chain,
    // each sequence attached once it holds them (no reader has seen it).
    bool float_array(const uint8_t *items, uint64_t count, tag_chain tag) {
        if (tag.text || !room_for(count + 1, count)) return zvl::cbor::each_float(*this, items, count, tag);
        const uint32_t sequence = zvl::tree::add(store_, sequence_flags, ZARVEL_TAG_SEQ);
        const uint32_t first = sequence + 1;
        if (store_->props) std::memset(static_cast<void *>(store_->props + first), 0, count * sizeof *store_->props);
        store_->strings_len =
            write_floats(items, count, store_->nodes + first, first, store_->strings, store_->strings_len);
        store_->node_count = first + uint32_t(count);
        zvl::tree::link_tail(store_, store_->nodes[sequence], first, first + uint32_t(count) - 1, uint32_t(count));
        return zvl::tree::attach(store_, sequence);
    }
    // Here the arrays are linked to the open sequence as one chain.
    bool float_arrays(const uint8_t *items, uint64_t arrays, uint64_t floats) {
        const uint64_t nodes = arrays + floats;
        if (!room_for(nodes, floats)) return zvl::cbor::each_float_array(*this, items, arrays);
        const uint32_t first = store_->node_count;
        if (store_->props) std::memset(static_cast<void *>(store_->props + first), 0, nodes * sizeof *store_->props);
        uint32_t last = first;  // then the last array's id
        store_->strings_len =
            write_arrays(items, arrays, store_->nodes + first, last, store_->strings, store_->strings_len);
        store_->node_count = first + uint32_t(nodes);
        zvl::tree::link_tail(store_, store_->nodes[store_->open_stack[store_->depth - 1]], first, last,
                             uint32_t(arrays));
        zvl::tree::forget_positions(store_);
        return true;
    }
    bool text(const char *bytes, uint64_t length, bool in_input, bool, tag_chain tag) {
        return quoted(bytes, length, in_input, ZARVEL_TAG_STR, tag);
    }
    // Byte strings, map keys included, carry the binary tag id so that the
    // encoder writes them back as byte strings even when their bytes happen
    // to be valid UTF-8.
    bool bytes(const char *bytes, uint64_t length, bool in_input, bool, tag_chain tag) {
        return quoted(bytes, length, in_input, ZARVEL_TAG_BINARY, tag);
    }
    bool begin(bool is_map, uint64_t, tag_chain tag) {
        zarvel_span tag_span;
        return tag_text(tag, &tag_span) &&
               zvl::tree::open(store_, is_map ? mapping_flags : sequence_flags,
                               is_map ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ, tag_span) != zarvel_node_none;
    }
    bool end(bool) { return zvl::tree::close(store_); }

  private:
    static constexpr uint8_t sequence_flags = zvl::node_flag::make(ZARVEL_KIND_SEQUENCE, 0, true, false);
    static constexpr uint8_t mapping_flags = zvl::node_flag::make(ZARVEL_KIND_MAPPING, 0, true, false);

    static uint32_t copy_word(char *out, const char *word) {
        uint32_t n = 0;
        while (word[n]) {
            out[n] = word[n];
            ++n;
        }
        return n;
    }
    // The text of a double at out (room for 32 bytes); its length.
    static uint32_t float_text(char *out, double value) {
        const int32_t n = zvl::write_double(out, value);
        if (n > 0) return uint32_t(n);
        if (std::isnan(value)) return copy_word(out, "NaN");
        return copy_word(out, value < 0 ? "-Infinity" : "Infinity");
    }
    // Whether the store has room for nodes more records, floats of them
    // floats, and another collection may open. Each float keeps its value
    // and at most max_formatted_length bytes of text, and the last one
    // formats into number_room bytes.
    bool room_for(uint64_t nodes, uint64_t floats) const {
        constexpr uint64_t each = sizeof(uint64_t) + zvl::max_formatted_length;
        constexpr uint64_t extra = number_room - zvl::max_formatted_length;
        return zvl::tree::may_open(store_) && nodes <= store_->node_cap - store_->node_count &&
               floats * each + extra <= store_->strings_cap - store_->strings_len;
    }

    // The record of the float item at p (p moves past it) at `record`,
    // followed by `next`, its value and text at strings + offset; the offset
    // after them.
    static inline __attribute__((always_inline)) uint32_t write_float(const uint8_t *&p, zarvel_node_rec *record,
                                                                      uint32_t next, char *strings, uint32_t offset) {
        constexpr uint8_t flags = zvl::tree::plain_flags | zvl::node_flag::cbor_number;
        static constexpr zarvel_node_rec fresh = zvl::tree::fresh_record(flags, ZARVEL_TAG_FLOAT);
        const double value = zvl::cbor::next_float(p);
        std::memcpy(strings + offset, &value, sizeof value);
        offset += sizeof value;
        const uint32_t n = float_text(strings + offset, value);
        *record = fresh;
        record->next_sibling = next;
        record->value = zarvel_span_make(offset, n, true);
        return offset + n;
    }
    // The records of count floats (items moves past them) from `record` (id
    // `first`) on, chained to each other; the string offset after them. Out
    // of line, so that the loop keeps its few values in registers across the
    // formatting calls.
    __attribute__((noinline)) static uint32_t write_floats(const uint8_t *&items, uint64_t count,
                                                           zarvel_node_rec *record, uint32_t first, char *strings,
                                                           uint32_t offset) {
        for (uint64_t i = 1; i <= count; ++i)
            offset = write_float(items, record++, first + uint32_t(i), strings, offset);
        record[-1].next_sibling = zarvel_node_none;
        return offset;
    }
    // The records of a run of arrays of floats (as float_arrays() takes
    // them) from `record` (id `id`) on: each sequence followed by its items,
    // the sequences chained to each other; `last` becomes the last
    // sequence's id. The string offset after them.
    __attribute__((noinline)) static uint32_t write_arrays(const uint8_t *items, uint64_t arrays,
                                                           zarvel_node_rec *record, uint32_t &last, char *strings,
                                                           uint32_t offset) {
        uint32_t id = last;
        constexpr uint32_t none = zarvel_node_none;
        static constexpr zarvel_node_rec fresh = zvl::tree::fresh_record(sequence_flags, ZARVEL_TAG_SEQ);
        zarvel_node_rec *sequence = record;
        for (;;) {
            const uint32_t count = *items++ & 0x1F;
            *sequence = fresh;
            sequence->first_child = id + 1;
            sequence->last_child = id + count;
            sequence->child_count = count;
            for (uint32_t i = 1; i <= count; ++i)
                offset = write_float(items, sequence + i, id + i + 1, strings, offset);
            sequence[count].next_sibling = none;
            if (--arrays == 0) break;
            sequence->next_sibling = id + count + 1;
            sequence += count + 1;
            id += count + 1;
        }
        last = id;
        return offset;
    }

    // Out of line (rare), so that the decoder's integer step stays inline.
    __attribute__((noinline)) bool integer_text(bool negative_major, uint64_t argument, tag_chain tag) {
        char text[24];
        const uint32_t n = zvl::cbor::integer_text(text, negative_major, argument);
        return plain(text, n, ZARVEL_TAG_INT, tag);
    }

    // Room for a number's text at the end of string storage, where it is
    // written in place instead of being formatted aside and copied; null
    // when storage cannot grow.
    char *room(uint32_t n) {
        if (store_->strings_cap - store_->strings_len < n && !zarvel_store_strings_reserve(store_, n)) return nullptr;
        return store_->strings + store_->strings_len;
    }
    // Room for a number's text after the eight bytes of its value
    // (node_flag::cbor_number), which are stored.
    char *kept(uint64_t value) {
        char *bytes = room(sizeof value + number_room);
        if (!bytes) return nullptr;
        std::memcpy(bytes, &value, sizeof value);
        store_->strings_len += sizeof value;
        return bytes + sizeof value;
    }
    // A plain scalar whose text of `length` bytes was written into room().
    bool plain_in_room(uint32_t length, uint8_t tag_id, tag_chain tag, uint8_t mark = 0) {
        const zarvel_span value = length ? zarvel_span_make(store_->strings_len, length, true) : 0;
        store_->strings_len += length;
        return add(zvl::tree::plain_flags | mark, tag_id, value, tag) != zarvel_node_none;
    }

    bool plain(const char *text, uint64_t length, uint8_t tag_id, tag_chain tag, uint8_t mark = 0) {
        const zarvel_span value = zarvel_store_put_text(store_, text, length, false);
        if (length && value == zarvel_span_failed) return false;
        return add(zvl::tree::plain_flags | mark, tag_id, value, tag) != zarvel_node_none;
    }
    bool quoted(const char *bytes, uint64_t length, bool in_input, uint8_t tag_id, tag_chain tag) {
        const zarvel_span value = zarvel_store_put_text(store_, bytes, length, in_input);
        if (length && value == zarvel_span_failed) return false;
        return add(zvl::node_flag::make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_DOUBLE_QUOTED, false, false), tag_id,
                   value, tag) != zarvel_node_none;
    }

    // The text of a tag chain (none: empty); false when storage cannot grow.
    bool tag_text(tag_chain tag, zarvel_span *span) {
        *span = tag.text ? zarvel_store_put_text(store_, tag.text, tag.length, false) : 0;
        return *span != zarvel_span_failed;
    }
    // A new node, hung into the open collection (or made a root).
    uint32_t add(uint8_t flags, uint8_t tag_id, zarvel_span value, tag_chain tag) {
        zarvel_span tag_span;
        if (!tag_text(tag, &tag_span)) return zarvel_node_none;
        return zvl::tree::scalar(store_, flags, tag_id, value, tag_span);
    }

    zarvel_node_store *store_;
};

// ---- presizing --------------------------------------------------------------
//
// One quick pass over the heads tells how many nodes the item makes and about
// how much string storage its numbers, tags and joined strings need, so that
// the node table and the string buffer are allocated once instead of being
// doubled and copied. It reads heads only and skips string payloads; it is a
// hint, not a check: anything odd ends the count.

struct store_size {
    uint64_t nodes = 0;
    uint64_t text = 0;
};

// The value kept before a number's text, and the longest texts the sink
// writes for a float (with its value) and for one tag number.
constexpr uint64_t kept_value = 8;
constexpr uint64_t float_text_max = kept_value + 24;

constexpr uint64_t tag_text_max = 21;

uint64_t decimal_length(uint64_t v) {
    uint64_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// Not inlined: inside its caller the loop's position and counts were kept on
// the stack.
__attribute__((noinline)) store_size estimate_store(const uint8_t *data, uint64_t len) {
    store_size size;
    uint64_t pos = 0;
    uint64_t open_strings = 0;  // inside an indefinite-length string: chunks are not nodes
    while (pos < len) {
        // Doubles and short arrays, the bulk of number-heavy items, without
        // the general steps.
        if (!open_strings) {
            const uint8_t head = data[pos];
            // A point in the plane, an array of two doubles, in one step.
            if (head == 0x82 && len - pos >= 19 && data[pos + 1] == 0xFB && data[pos + 10] == 0xFB) {
                pos += 19;
                size.text += 2 * float_text_max;
                size.nodes += 3;
                continue;
            }
            if (head == 0xFB && len - pos >= 9) {
                pos += 9;
                size.text += float_text_max;
                size.nodes += 1;
                continue;
            }
            if (head >= 0x80 && head <= 0x97) {
                pos += 1;
                size.nodes += 1;
                continue;
            }
        }
        const uint8_t initial = data[pos++];
        if (initial == 0xFF) {
            if (open_strings) open_strings = 0;
            continue;
        }
        const uint8_t major = initial >> 5;
        const uint8_t info = initial & 0x1F;
        uint64_t argument = info;
        if (info >= 24 && info <= 27) {
            const uint64_t width = uint64_t(1) << (info - 24);
            if (len - pos < width) break;
            argument = zvl::cbor::big_endian(data + pos, len - pos, uint32_t(width));
            pos += width;
        } else if (info > 27 && !(info == 31 && major >= 2 && major <= 5)) {
            break;
        }
        if (open_strings) {  // a chunk: its bytes are joined into storage
            if (argument > len - pos) break;
            size.text += argument;
            pos += argument;
            continue;
        }
        switch (major) {
        case 0:
        case 1: size.text += kept_value + decimal_length(argument) + 1; break;
        case 2:
        case 3:
            if (info == 31) {
                open_strings = 1;
            } else {
                if (argument > len - pos) return size;
                pos += argument;
            }
            break;
        case 6: size.text += tag_text_max; continue;  // not a node
        case 7: size.text += info >= 25 && info <= 27 ? float_text_max : 12; break;
        default: break;
        }
        size.nodes += 1;
    }
    size.text += number_room;
    return size;
}

bool valid_input(const uint8_t *data, uint64_t len) { return data || len == 0; }

void set_status(int32_t *status, int32_t value) {
    if (status) *status = value;
}

// A store over [data, data + len) that string nodes may refer into.
zarvel_node_store *new_store(const uint8_t *data, uint64_t len) {
    zarvel_node_store *store = zarvel_store_new(&zarvel_default_allocator);
    if (!store) return nullptr;
    store->input = reinterpret_cast<const char *>(data);
    store->input_len = len;
    return store;
}

// Hands the store to a new document that borrows the input; null (and the
// store freed) on failure.
zarvel_document *wrap(zarvel_node_store *store, const uint8_t *data, uint64_t len) {
    zarvel_document *document = zarvel_document_alloc(&zarvel_default_allocator);
    if (!document) {
        zarvel_store_free(store);
        return nullptr;
    }
    zvl::tree::close_to(store, 0);
    document->store = store;
    document->text = reinterpret_cast<const char *>(data);
    document->owned_len = len;
    return document;
}

}  // namespace

int32_t zvl_cbor_decode_dom_sink(void *context, const uint8_t *data, uint64_t len, int32_t strict, uint64_t *consumed) {
    if (!context || !valid_input(data, len)) return ZARVEL_INVALID_ARGUMENT;
    auto *store = static_cast<zarvel_node_store *>(context);
    const uint32_t depth = store->depth;
    const uint32_t node_count = store->node_count;
    const uint32_t strings_len = store->strings_len;
    document_sink sink(store);
    zvl::cbor::decoder<document_sink> engine(data, len, strict != 0, sink);
    const int32_t status = engine.run(consumed);
    if (status != 0) {
        // Nothing of a failed item stays: its nodes, texts and root go, and
        // the open-collection stack is back where the caller had it. (Below
        // an open collection the new nodes may already hang in it, so they
        // are left.)
        if (depth == 0) zarvel_store_truncate(store, node_count, strings_len);
        zvl::tree::close_to(store, depth);
    }
    return status;
}

zarvel_document *zarvel_cbor_decode(const uint8_t *data, uint64_t len, uint32_t flags, int32_t *status) {
    if (!valid_input(data, len) || flags > 1) {
        set_status(status, ZARVEL_INVALID_ARGUMENT);
        return nullptr;
    }
    zarvel_node_store *store = new_store(data, len);
    if (!store) {
        set_status(status, ZARVEL_NO_MEMORY);
        return nullptr;
    }
    // The item fills the buffer, so the whole buffer sizes the store. (A
    // failed reservation is no failure: the store grows on demand.)
    const store_size size = estimate_store(data, len);
    if (size.nodes > 64 && zarvel_store_reserve(store, size.nodes * 2))
        zvl::advise_large_pages(store->nodes, uint64_t(store->node_cap) * sizeof(zarvel_node_rec));
    if (size.text > 0) zarvel_store_strings_reserve(store, size.text);
    const int32_t result = zvl_cbor_decode_dom_sink(store, data, len, int32_t(flags & 1), nullptr);
    if (result != 0) {
        zarvel_store_free(store);
        set_status(status, result);
        return nullptr;
    }
    zarvel_document *document = wrap(store, data, len);
    set_status(status, document ? ZARVEL_OK : ZARVEL_NO_MEMORY);
    return document;
}

uint64_t zarvel_cbor_decode_sequence(const uint8_t *data, uint64_t len, uint32_t flags,
                                     zarvel_cbor_document_fn callback, void *user, int32_t *status) {
    if (!valid_input(data, len) || !callback || flags > 1) {
        set_status(status, ZARVEL_INVALID_ARGUMENT);
        return 0;
    }
    uint64_t offset = 0;
    uint64_t index = 0;
    while (offset < len) {
        const uint8_t *item = data + offset;
        const uint64_t rest = len - offset;
        zarvel_node_store *store = new_store(item, rest);
        if (!store) {
            set_status(status, ZARVEL_NO_MEMORY);
            return index;
        }
        uint64_t consumed = 0;
        const int32_t result = zvl_cbor_decode_dom_sink(store, item, rest, int32_t(flags & 1), &consumed);
        if (result != 0) {
            zarvel_store_free(store);
            zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_FAILED, 0, 0, offset,
                             zvl::cbor::message::bad_sequence_item, size_t(index), size_t(offset));
            set_status(status, result == ZARVEL_NO_MEMORY ? ZARVEL_NO_MEMORY : ZARVEL_FAILED);
            return index;
        }
        // The document's input is its own item, not the rest of the
        // sequence: what its outputs are sized from.
        store->input_len = consumed;
        zarvel_document *document = wrap(store, item, consumed);
        if (!document) {
            set_status(status, ZARVEL_NO_MEMORY);
            return index;
        }
        if (callback(user, document, index) != 0) {
            set_status(status, ZARVEL_OK);
            return index;
        }
        offset += consumed;
        index += 1;
    }
    set_status(status, ZARVEL_OK);
    return index;
}
