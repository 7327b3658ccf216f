// CBOR decoding into a host's callback table.
#include "cbor/decode.hpp"

#include "zarvel.h"

namespace {

using zvl::cbor::tag_chain;

// Adapts the engine's sink calls to the seven C callbacks. A missing callback
// counts as "go on".
class host_sink {
  public:
    explicit host_sink(const zvl_cbor_sink &table) : table_(table) {}

    // Keys turned into text are strings to the host.
    bool scalar(const char *text, uint64_t length, uint8_t tag_id, bool is_key, tag_chain tag) {
        if (is_key) tag_id = ZARVEL_TAG_STR;
        return !table_.on_scalar ||
               table_.on_scalar(table_.context, text, length, tag_id, is_key, tag.text, tag.length) != 0;
    }
    bool simple(const char *text, uint64_t length, bool is_key, tag_chain tag) {
        return scalar(text, length, ZARVEL_TAG_STR, is_key, tag);
    }
    bool integer(bool negative, uint64_t magnitude, bool is_key, tag_chain tag) {
        return !table_.on_integer ||
               table_.on_integer(table_.context, negative, magnitude, is_key, tag.text, tag.length) != 0;
    }
    // Outside the integer callback's range: the value as a double.
    bool big_integer(bool negative_major, uint64_t argument, tag_chain tag) {
        const double value = negative_major ? -(double(argument) + 1.0) : double(argument);
        return floating(value, false, tag);
    }
    // Integer keys (lenient) arrive as their decimal text.
    bool key_integer(bool negative_major, uint64_t argument, tag_chain tag) {
        char text[24];
        const uint32_t n = zvl::cbor::integer_text(text, negative_major, argument);
        return scalar(text, n, ZARVEL_TAG_STR, true, tag);
    }
    bool floating(double value, bool is_key, tag_chain tag) {
        return !table_.on_float || table_.on_float(table_.context, is_key, tag.text, tag.length, value) != 0;
    }
    bool float_array(const uint8_t *items, uint64_t count, tag_chain tag) {
        return zvl::cbor::each_float(*this, items, count, tag);
    }
    bool float_arrays(const uint8_t *items, uint64_t arrays, uint64_t) {
        return zvl::cbor::each_float_array(*this, items, arrays);
    }
    bool text(const char *bytes, uint64_t length, bool in_input, bool is_key, tag_chain tag) {
        return !table_.on_text ||
               table_.on_text(table_.context, bytes, length, in_input, is_key, tag.text, tag.length) != 0;
    }
    bool bytes(const char *bytes, uint64_t length, bool in_input, bool is_key, tag_chain tag) {
        return !table_.on_bytes ||
               table_.on_bytes(table_.context, bytes, length, in_input, is_key, tag.text, tag.length) != 0;
    }
    bool begin(bool is_map, uint64_t count, tag_chain tag) {
        return !table_.on_begin || table_.on_begin(table_.context, is_map, count, tag.text, tag.length) != 0;
    }
    bool end(bool is_map) { return !table_.on_end || table_.on_end(table_.context, is_map) != 0; }

  private:
    const zvl_cbor_sink &table_;
};

}  // namespace

int32_t zvl_cbor_decode_gen(const uint8_t *data, uint64_t len, int32_t strict, uint64_t *consumed,
                            const zvl_cbor_sink *sink) {
    if (!sink || (!data && len != 0)) return ZARVEL_INVALID_ARGUMENT;
    host_sink adapter(*sink);
    zvl::cbor::decoder<host_sink> engine(data, len, strict != 0, adapter);
    return engine.run(consumed);
}
