// Exported serialiser entry points: the allocated text, the caller's buffer
// (written once, then copied), JSON (one pass), and the stream target.
#include <cstring>

#include "core/memory.hpp"
#include "emit/serialize.hpp"
#include "zarvel.h"

namespace zvl {
namespace {

// The options record before indent and style were added.
constexpr uint32_t first_options_size = 16;

// The writer of one call, with everything it allocated released on exit.
class call_writer {
  public:
    call_writer(const zarvel_node_store *store, const zarvel_serialize_options *options) {
        writer_init(w, store);
        if (options && options->size >= first_options_size) {
            w.canonical = options->canonical != 0;
            w.width = options->width > 0 ? options->width : 80;
            w.explicit_start = options->explicit_start != 0;
        }
        if (options && options->size >= sizeof(zarvel_serialize_options)) {
            if (options->indent > 0 && options->indent <= 16) w.indent = uint8_t(options->indent);
            if (options->style <= ZARVEL_STYLE_FLOW) w.style = uint8_t(options->style);
        }
    }
    ~call_writer() {
        if (w.anchors_ready) zarvel_strmap_free(&w.anchors);
        if (owned_buffer_) sys_free(w.buffer);
    }
    call_writer(const call_writer &) = delete;
    call_writer &operator=(const call_writer &) = delete;

    // The anchor map of canonical mode; false when it cannot be created.
    bool prepare() {
        if (!w.canonical) return true;
        if (!zarvel_strmap_init(&w.anchors, &zarvel_default_allocator)) return false;
        w.anchors_ready = true;
        return true;
    }
    bool own_buffer(uint64_t capacity) { return owned_buffer_ = writer_own(w, capacity); }
    bool pass_failed() const { return w.failed || w.out_of_memory || w.callback_failed; }
    // The text made from `input` bytes in one pass into a growable buffer
    // of the call's own; false when the buffer or the pass fails.
    bool one_pass(uint64_t input) {
        owned_buffer_ = writer_own_text(w, input);
        if (!owned_buffer_) return false;
        serialize_pass(w);
        return !pass_failed();
    }
    // The same text handed to the caller; null on failure.
    char *one_pass_text(uint64_t input, uint64_t *out_len) {
        if (!one_pass(input)) return nullptr;
        writer_finish_text(w);
        if (out_len) *out_len = w.length;
        owned_buffer_ = false;
        return w.buffer;
    }

    zarvel_writer w;

  private:
    bool owned_buffer_ = false;
};

const zarvel_node_store *body_of(zarvel_document *document) {
    return document ? zarvel_document_body(document) : nullptr;
}

}  // namespace

// JSON calls: one pass into a growable buffer, whose unused tail is given
// back as for the allocated YAML text. Measuring first would format every
// number and scan every string twice; copying the text into an exact
// allocation would cost as much as writing it.
char *serialize_document_json(zarvel_document *document, uint32_t index, bool compact, uint64_t *out_len) {
    const zarvel_node_store *store = body_of(document);
    if (!store) return nullptr;
    if (index != zarvel_node_none && index >= store->root_count) return nullptr;
    call_writer call(store, nullptr);
    call.w.json = true;
    call.w.json_document = index;
    call.w.compact = compact;
    call.w.width = 0;
    // One document of a stream: sized from that document, or a stream of
    // many small documents would ask for the whole input each time.
    const uint64_t input =
        index == zarvel_node_none ? store->input_len : zarvel_store_root_share(store, index, store->input_len);
    return call.one_pass_text(input, out_len);
}

}  // namespace zvl

using namespace zvl;

char *zarvel_serialize(zarvel_document *document, uint64_t *out_len) {
    return zarvel_serialize_ex(document, nullptr, out_len);
}

char *zarvel_serialize_ex(zarvel_document *document, const zarvel_serialize_options *options, uint64_t *out_len) {
    const zarvel_node_store *store = body_of(document);
    if (!store) return nullptr;
    call_writer call(store, options);
    return call.prepare() ? call.one_pass_text(store->input_len, out_len) : nullptr;
}

uint64_t zarvel_serialize_into(zarvel_document *document, char *buffer, uint64_t capacity) {
    return zarvel_serialize_into_ex(document, nullptr, buffer, capacity);
}

uint64_t zarvel_serialize_into_ex(zarvel_document *document, const zarvel_serialize_options *options, char *buffer,
                                  uint64_t capacity) {
    const zarvel_node_store *store = body_of(document);
    if (!store) return 0;
    // Written once, then copied when the buffer holds it: measuring first
    // and writing again took two passes over every scalar's style choice.
    call_writer call(store, options);
    if (!call.prepare() || !call.one_pass(store->input_len)) return 0;
    const uint64_t length = call.w.length;
    if (!buffer || capacity < length + 1) return length;
    std::memcpy(buffer, call.w.buffer, length);
    buffer[length] = 0;
    return length;
}

char *zarvel_serialize_json(zarvel_document *document, uint64_t *out_len) {
    return serialize_document_json(document, zarvel_node_none, false, out_len);
}

char *zarvel_serialize_json_ex(zarvel_document *document, uint64_t *out_len, int32_t compact) {
    return serialize_document_json(document, zarvel_node_none, compact != 0, out_len);
}

uint64_t zarvel_serialize_stream(zarvel_document *document, const zarvel_serialize_options *options,
                                 zarvel_write_fn callback, void *user) {
    if (!document || !callback) return 0;
    const zarvel_node_store *store = body_of(document);
    if (!store) return 0;
    call_writer call(store, options);
    if (!call.prepare()) return 0;
    if (!call.own_buffer(stream_buffer_size)) return 0;
    zarvel_writer &w = call.w;
    w.callback = callback;
    w.user = user;
    w.flush_threshold = stream_flush_threshold;
    writer_update_room(w);
    serialize_pass(w);
    writer_flush(w);
    if (call.pass_failed()) return 0;
    return w.handed_over;
}

void zarvel_free(void *pointer) { sys_free(pointer); }
