// Plain CBOR: the plain data walk as CBOR items of definite length, keys
// keeping their types, floats in the narrowest exact width, integers beyond
// 64 bits as bignums.
#include "cbor/heads.hpp"
#include "core/utf8.hpp"
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

}  // namespace
}  // namespace zvl::plain

using zvl::plain::cbor_sink;

uint8_t *zarvel_plain_cbor(zarvel_document *document, uint64_t *out_len, int32_t *status) {
    return zarvel_plain_cbor_ex(document, nullptr, out_len, status);
}

uint8_t *zarvel_plain_cbor_ex(zarvel_document *document, const zarvel_plain_options *options, uint64_t *out_len,
                              int32_t *status) {
    return reinterpret_cast<uint8_t *>(zvl::plain::plain_allocated<cbor_sink>(document, options, out_len, status));
}

int32_t zarvel_plain_cbor_into(zarvel_document *document, const zarvel_plain_options *options, uint8_t *buffer,
                               uint64_t capacity, uint64_t *out_len) {
    return zvl::plain::plain_into<cbor_sink>(document, options, reinterpret_cast<char *>(buffer), capacity, out_len,
                                             false);
}

int32_t zarvel_plain_cbor_stream(zarvel_document *document, const zarvel_plain_options *options,
                                 zarvel_write_fn callback, void *user, uint64_t *out_len) {
    return zvl::plain::plain_stream<cbor_sink>(document, options, callback, user, out_len);
}
