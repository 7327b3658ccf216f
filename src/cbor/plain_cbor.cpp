// Plain CBOR: the plain data walk as CBOR items of definite length, keys
// keeping their types, floats in the narrowest exact width, integers beyond
// 64 bits as bignums.
#include "cbor/heads.hpp"
#include "core/utf8.hpp"
#include "emit/key_table.hpp"
#include "emit/plain_output.hpp"

namespace zvl::plain {
namespace {

using namespace zvl::cbor_heads;

class cbor_sink {
  public:
    static constexpr bool typed_keys = true;

    cbor_sink(zarvel_writer &w, const zarvel_node_store *store, const settings &) : w_(w), store_(store) {}

    // The output interface of the head writers.
    void put(uint8_t byte) { put_line_free(w_, reinterpret_cast<const char *>(&byte), 1); }
    void put(const void *bytes, uint64_t n) { put_line_free(w_, static_cast<const char *>(bytes), n); }

    const char *reason() const { return reason_; }

    bool begin(uint8_t kind, uint32_t count) {
        put_head(*this, kind == ZARVEL_KIND_MAPPING ? major_map : major_array, count);
        return true;
    }
    bool end(uint8_t) { return true; }
    bool separator(uint32_t) { return true; }
    bool colon() { return true; }
    bool collection_key() { return true; }
    void document_end() {}

    bool scalar(const plain::scalar &v, bool) {
        switch (v.kind) {
        case kind::null: put(cbor_null); return true;
        case kind::boolean: put(v.boolean ? cbor_true : cbor_false); return true;
        case kind::integer:
            if (v.integer >= 0)
                put_head(*this, major_unsigned, uint64_t(v.integer));
            else
                put_head(*this, major_negative, ~uint64_t(v.integer));  // -1 - v
            return true;
        case kind::big_integer: return big(v.text);
        case kind::floating: {
            double d = 0;
            if (!read_float(v.text, d)) {
                reason_ = message::not_float;
                return false;
            }
            put_float(*this, d);
            return true;
        }
        case kind::string: {
            const auto *bytes = reinterpret_cast<const uint8_t *>(v.text.data());
            const bool text = first_invalid_utf8(bytes, v.text.size(), false) == v.text.size();
            put_head(*this, text ? major_text : major_bytes, v.text.size());
            put(v.text.data(), v.text.size());
            return true;
        }
        case kind::bytes:
            put_head(*this, major_bytes, v.text.size());
            put(v.text.data(), v.text.size());
            return true;
        case kind::binary: {
            uint64_t length = 0;
            if ((reason_ = base64_compact(v.text, scratch_, length))) return false;
            buffer<uint8_t> bytes;
            if (!bytes.reserve(length + 3)) {
                reason_ = message::no_memory;
                return false;
            }
            base64_decode(std::string_view(scratch_.data(), scratch_.size()), bytes.data());
            put_head(*this, major_bytes, length);
            put(bytes.data(), length);
            return true;
        }
        }
        return true;
    }

  private:
    // An integer beyond signed 64 bits: a plain head while the magnitude
    // (less one when negative) fits 64 bits, else tag 2 or 3 over the
    // magnitude's big-endian bytes.
    bool big(std::string_view text) {
        big_integer value;
        if (!read_big_integer(store_, text, value)) {
            reason_ = message::no_memory;
            return false;
        }
        buffer<uint32_t> &limbs = value.limbs;
        if (value.negative) {  // -n is written as n - 1
            for (uint32_t &limb : limbs)
                if (limb-- != 0) break;
        }
        size_t top = limbs.size();
        while (top && limbs[top - 1] == 0) --top;
        const uint8_t major = value.negative ? major_negative : major_unsigned;
        if (top <= 2) {
            const uint64_t low = top > 0 ? limbs[0] : 0, high = top > 1 ? limbs[1] : 0;
            put_head(*this, major, high << 32 | low);
            return true;
        }
        size_t length = top * 4;
        const uint32_t high = limbs[top - 1];
        for (int shift = 24; shift > 0 && (high >> shift) == 0; shift -= 8) --length;
        put_head(*this, major_tag, value.negative ? 3 : 2);
        put_head(*this, major_bytes, length);
        for (size_t i = length; i-- > 0;) put(uint8_t(limbs[i / 4] >> (8 * (i % 4))));
        return true;
    }

    zarvel_writer &w_;
    const zarvel_node_store *store_;
    const char *reason_ = nullptr;
    buffer<char> scratch_;
};

// The stores of JSON parses without tags or anchors, written from the
// records straight into the buffer: what the plain walk gives for them, bar
// the walk's per-item calls and its key table. Nodes it would treat
// otherwise (aliases, keys that are not string scalars, duplicate keys,
// texts that do not read as their type) make it give up, and the document
// goes through the walk from the start.
class fast_cbor {
  public:
    fast_cbor(zarvel_writer &w, const zarvel_node_store *store, const settings &s)
        : w_(w),
          store_(store),
          sink_(w, store, s),
          nodes_(store->nodes),
          input_(store->input),
          strings_(store->strings),
          input_len_(store->input_len),
          strings_len_(store->strings_len),
          count_(store->node_count) {
        load();
    }

    // False: given up (the writer's length is where it started), or out of
    // memory (w.out_of_memory).
    bool document(uint32_t root) {
        const uint64_t start = w_.length;
        const bool ok = node(root, 0);
        sync();
        if (!ok) w_.length = start;
        return ok;
    }

    // The output interface of the head writers: room made beforehand.
    void put(uint8_t byte) { *at_++ = byte; }
    // A head in line, where room for nine bytes was made.
    __attribute__((always_inline)) void head(uint8_t major, uint64_t argument) {
        at_ = put_head_at(at_, major, argument);
    }
    void put(const void *bytes, uint64_t n) {
        std::memcpy(at_, bytes, n);
        at_ += n;
    }

  private:
    // Nesting taken here; deeper goes to the walk, which knows its limit.
    static constexpr uint32_t most_depth = max_depth / 2;
    static constexpr uint32_t small_mapping = 8;
    // How many nodes on a text is asked for.
    static constexpr uint32_t text_lead = 16;
    static constexpr uint64_t copy_block = 32;

    void load() {
        at_ = reinterpret_cast<uint8_t *>(w_.buffer + w_.length);
        limit_ = w_.room_end > w_.length ? reinterpret_cast<uint8_t *>(w_.buffer + w_.room_end - 1) : at_;
    }
    void sync() { w_.length = uint64_t(reinterpret_cast<char *>(at_) - w_.buffer); }
    bool room(uint64_t n) {
        if (uint64_t(limit_ - at_) >= n) return true;
        sync();
        if (!writer_reserve(w_, n)) return false;
        load();
        return true;
    }

    std::string_view text(zarvel_span span) const {
        const uint32_t n = zarvel_span_length(span);
        if (n == 0) return {};
        return {(zarvel_span_in_strings(span) ? strings_ : input_) + zarvel_span_offset(span), n};
    }

    // A child: a scalar in line, a collection by a call.
    __attribute__((always_inline)) bool item(uint32_t id, uint32_t depth) {
        if (id >= count_) return false;
        __builtin_prefetch(nodes_ + id + 64);
        __builtin_prefetch(input_ + zarvel_span_offset(nodes_[id + text_lead < count_ ? id + text_lead : id].value));
        const zarvel_node_rec &r = nodes_[id];
        return r.kind() == ZARVEL_KIND_SCALAR ? scalar(id, r) : node(id, depth);
    }

    bool node(uint32_t id, uint32_t depth) {
        const zarvel_node_rec *const nodes = nodes_;
        const uint32_t count = count_;
        if (id >= count) return false;
        // Records and texts a few nodes on asked for ahead: readers lay
        // nodes out in document order, which this walk follows.
        __builtin_prefetch(nodes + id + 64);
        __builtin_prefetch(input_ + zarvel_span_offset(nodes[id + text_lead < count ? id + text_lead : id].value));
        const zarvel_node_rec &r = nodes[id];
        switch (r.kind()) {
        case ZARVEL_KIND_SCALAR: return scalar(id, r);
        case ZARVEL_KIND_SEQUENCE: {
            if (depth >= most_depth || !room(9)) return false;
            head(major_array, r.child_count);
            for (uint32_t child = r.first_child; child < count; child = nodes[child].next_sibling)
                if (!item(child, depth + 1)) return false;
            return true;
        }
        case ZARVEL_KIND_MAPPING: {
            if (depth >= most_depth || (r.child_count & 1) || !room(9)) return false;
            const uint32_t n = r.child_count / 2;
            head(major_map, n);
            // Keys are checked as they are written, their duplicates after:
            // a large mapping's through the fingerprints listed here.
            const bool large = n > small_mapping;
            const size_t base = keys_.size();
            uint32_t seen = 0;
            for (uint32_t key = r.first_child; key < count; ++seen) {
                const zarvel_node_rec &k = nodes[key];
                const uint32_t value = k.next_sibling;
                if (k.kind() != ZARVEL_KIND_SCALAR || k.tag_id != ZARVEL_TAG_STR || value >= count) return false;
                const std::string_view t = text(k.value);
                if (k.is_plain_implicit() && t == "<<") return false;  // a merge key
                if (large && !keys_.push_back({key_fingerprint(t), key})) return false;
                if (!string(k.value, t) || !item(value, depth + 1)) return false;
                key = nodes[value].next_sibling;
            }
            if (seen != n) return false;
            const bool distinct = large ? distinct_listed(base) : distinct_small(r);
            keys_.resize_down(base);
            return distinct;
        }
        default: return false;  // aliases
        }
    }

    // A text as the sink writes a string: in place in a JSON parse's input,
    // checked UTF-8; elsewhere checked here.
    __attribute__((always_inline)) bool string(zarvel_span span, std::string_view t) {
        const uint64_t n = t.size();
        if (!room(9 + copy_block + n)) return false;
        head(text_major(zarvel_span_in_strings(span), t), n);
        // A short text whose buffer holds 32 bytes from its start moves as
        // one block (the room asked for covers the overrun).
        const uint64_t end = uint64_t(zarvel_span_offset(span)) + copy_block;
        if (n - 1 < copy_block && end <= (zarvel_span_in_strings(span) ? strings_len_ : input_len_)) {
            std::memcpy(at_, t.data(), copy_block);
            at_ += n;
        } else if (n != 0) {
            put(t.data(), n);
        }
        return true;
    }

    __attribute__((always_inline)) bool scalar(uint32_t id, const zarvel_node_rec &r) {
        switch (r.tag_id) {
        case ZARVEL_TAG_STR: return string(r.value, text(r.value));
        case ZARVEL_TAG_NULL:
            if (!room(1)) return false;
            put(cbor_null);
            return true;
        case ZARVEL_TAG_BOOL: {
            const std::string_view t = text(r.value);
            if (t != "true" && t != "false") break;
            if (!room(1)) return false;
            put(t.size() == 4 ? cbor_true : cbor_false);
            return true;
        }
        case ZARVEL_TAG_INT:
            if (r.number != record_number::kept) break;
            if (!room(9)) return false;
            if (const int64_t v = zarvel_record_kept<int64_t>(r); v >= 0)
                head(major_unsigned, uint64_t(v));
            else
                head(major_negative, ~uint64_t(v));
            return true;
        case ZARVEL_TAG_FLOAT:
            if (r.number != record_number::kept) break;
            if (!room(9)) return false;
            put_float(*this, zarvel_record_kept<double>(r));
            return true;
        default: break;
        }
        // The rest as the walk gives them to the sink.
        plain::scalar value;
        if (classify(store_, id, value)) return false;
        sync();
        const bool ok = sink_.scalar(value, false);
        load();
        return ok && !w_.out_of_memory;
    }

    // No two keys of a small mapping alike (its keys checked as written).
    bool distinct_small(const zarvel_node_rec &m) const {
        zarvel_span spans[small_mapping];
        uint32_t seen = 0;
        for (uint32_t key = m.first_child; key < count_; key = nodes_[nodes_[key].next_sibling].next_sibling) {
            const zarvel_span span = nodes_[key].value;
            for (uint32_t j = 0; j < seen; ++j)
                if (zarvel_span_length(spans[j]) == zarvel_span_length(span) && text(spans[j]) == text(span))
                    return false;
            spans[seen++] = span;
        }
        return true;
    }
    // No two of keys_[base..] alike.
    bool distinct_listed(size_t base) {
        return key_table_.distinct(keys_.data() + base, keys_.data() + keys_.size(), [this](uint32_t a, uint32_t b) {
            return text(nodes_[a].value) == text(nodes_[b].value);
        });
    }

    zarvel_writer &w_;
    const zarvel_node_store *store_;
    cbor_sink sink_;
    const zarvel_node_rec *nodes_;
    const char *input_;
    const char *strings_;
    uint64_t input_len_;
    uint64_t strings_len_;
    uint32_t count_;
    uint8_t *at_ = nullptr;
    uint8_t *limit_ = nullptr;
    buffer<key_print> keys_;
    key_table key_table_;
};

// A JSON parse's document written by the fast writer, which plain_allocated
// tries before the walk: false leaves the output to the walk (st 2 when
// memory ran out).
bool fast_first(zarvel_writer &w, const zarvel_node_store *store, const zarvel_plain_options *options, int32_t &st) {
    const stream_choice choice = stream_choice_of(options);
    const uint32_t flags = choice.flags, index = choice.index;
    const settings s = settings_of(options, store);
    // Without aliases no node is written twice: the budget holds when it
    // covers the nodes.
    const bool fast = store->json_checked && !store->props && store->node_count != 0 &&
                      !(flags & (ZARVEL_PLAIN_ALL | ZARVEL_PLAIN_SEQUENCE | ZARVEL_PLAIN_KEEP_MERGE_KEYS)) &&
                      index < store->root_count && s.budget >= store->node_count;
    if (!fast) return false;
    fast_cbor writer(w, store, s);
    if (writer.document(store->roots[index])) return true;
    if (w.out_of_memory) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        st = 2;
        return false;
    }
    writer_reset_pass(w);
    return false;
}

}  // namespace
}  // namespace zvl::plain

using zvl::plain::cbor_sink;

uint8_t *zarvel_plain_cbor(zarvel_document *document, uint64_t *out_len, int32_t *status) {
    return zarvel_plain_cbor_ex(document, nullptr, out_len, status);
}

uint8_t *zarvel_plain_cbor_ex(zarvel_document *document, const zarvel_plain_options *options, uint64_t *out_len,
                              int32_t *status) {
    return reinterpret_cast<uint8_t *>(
        zvl::plain::plain_allocated<cbor_sink>(document, options, out_len, status, zvl::plain::fast_first));
}

int32_t zarvel_plain_cbor_into(zarvel_document *document, const zarvel_plain_options *options, uint8_t *buffer,
                               uint64_t capacity, uint64_t *out_len) {
    return zvl::plain::plain_into<cbor_sink>(document, options, reinterpret_cast<char *>(buffer), capacity, out_len,
                                             false, zvl::plain::fast_first);
}

int32_t zarvel_plain_cbor_stream(zarvel_document *document, const zarvel_plain_options *options,
                                 zarvel_write_fn callback, void *user, uint64_t *out_len) {
    return zvl::plain::plain_stream<cbor_sink>(document, options, callback, user, out_len, zvl::plain::fast_first);
}
