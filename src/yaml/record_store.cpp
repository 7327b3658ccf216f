// Event records and their text pool.
#include "yaml/record_store.hpp"

#include <cstring>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"

namespace {

bool is_scalar(uint32_t kind) { return kind == ZARVEL_EVENT_SCALAR; }
bool is_document_marker(uint32_t kind) {
    return kind == ZARVEL_EVENT_DOCUMENT_START || kind == ZARVEL_EVENT_DOCUMENT_END;
}

bool grow_records(zarvel_record_store &store) {
    if (store.count < store.capacity) return true;
    uint64_t grown = store.capacity ? store.capacity * 2 : zvl::record_store_initial_records;
    if (grown > SIZE_MAX / sizeof(zarvel_record)) return false;
    void *fresh = zvl::sys_realloc(store.records, grown * sizeof(zarvel_record));
    if (!fresh) return false;
    store.records = static_cast<zarvel_record *>(fresh);
    store.capacity = grown;
    return true;
}

// Makes room for extra more pool bytes; offsets must stay 32-bit.
bool reserve_pool(zarvel_record_store &store, uint64_t extra) {
    uint64_t wanted = store.used + extra;
    if (wanted > UINT32_MAX) return false;
    if (wanted <= store.pool_capacity) return true;
    uint64_t grown = store.pool_capacity ? store.pool_capacity : zvl::record_store_initial_pool;
    while (grown < wanted) grown *= 2;
    void *fresh = zvl::sys_realloc(store.pool, grown);
    if (!fresh) return false;
    store.pool = static_cast<char *>(fresh);
    store.pool_capacity = grown;
    return true;
}

// Copies a span into the pool (room already reserved); empty spans are (0, 0).
void put_span(zarvel_record_store &store, const zarvel_text_span &span, uint32_t &offset, uint32_t &length) {
    offset = 0;
    length = 0;
    if (span.length == 0) return;
    std::memcpy(store.pool + store.used, span.data, span.length);
    offset = static_cast<uint32_t>(store.used);
    length = span.length;
    store.used += span.length;
}

const char *span_pointer(const char *pool, uint32_t offset, uint32_t length) {
    return length ? pool + offset : nullptr;
}

}  // namespace

void zvl::record_store_release(zarvel_record_store &store) {
    sys_free(store.records);
    sys_free(store.pool);
    store = zarvel_record_store{};
}

bool zvl::record_store_append(zarvel_record_store &store, const zarvel_event &event) {
    if (!grow_records(store)) return false;
    uint64_t texts = uint64_t{event.text.length} + event.anchor.length + event.tag.length;
    if (!reserve_pool(store, texts)) return false;

    zarvel_record &record = store.records[store.count];
    record = zarvel_record{};
    record.kind = static_cast<uint8_t>(event.kind);
    uint8_t flags = event.flow ? ZARVEL_RECORD_FLOW : 0;
    if (is_scalar(event.kind)) {
        record.style = event.style;
        record.tag_id = event.tag_id;
        if (event.plain_implicit) flags |= ZARVEL_RECORD_PLAIN_IMPLICIT;
    } else if (is_document_marker(event.kind) && event.style) {
        flags |= ZARVEL_RECORD_EXPLICIT;
    }
    record.flags = flags;
    record.start_line = event.start_line;
    record.start_column = event.start_column;
    record.end_line = event.end_line;
    record.end_column = event.end_column;
    put_span(store, event.text, record.text_offset, record.text_length);
    put_span(store, event.anchor, record.anchor_offset, record.anchor_length);
    put_span(store, event.tag, record.tag_offset, record.tag_length);
    ++store.count;
    return true;
}

int zvl::record_every_event(void *user, const zarvel_event *event) {
    auto *sink = static_cast<recording_sink *>(user);
    if (record_store_append(*sink->store, *event)) return 0;
    sink->out_of_memory = true;
    return -1;
}

zarvel_event_view zvl::view_of_record(const zarvel_record &record, const char *pool) {
    zarvel_event_view view{};
    view.kind = record.kind;
    view.style = record.style;
    view.flow = (record.flags & ZARVEL_RECORD_FLOW) ? 1 : 0;
    view.explicit_ = (record.flags & ZARVEL_RECORD_EXPLICIT) ? 1 : 0;
    view.plain_implicit = (record.flags & ZARVEL_RECORD_PLAIN_IMPLICIT) ? 1 : 0;
    view.text = span_pointer(pool, record.text_offset, record.text_length);
    view.text_length = record.text_length;
    view.anchor = span_pointer(pool, record.anchor_offset, record.anchor_length);
    view.anchor_length = record.anchor_length;
    view.tag = span_pointer(pool, record.tag_offset, record.tag_length);
    view.tag_length = record.tag_length;
    view.start_line = record.start_line;
    view.start_column = record.start_column;
    view.end_line = record.end_line;
    view.end_column = record.end_column;
    return view;
}

void zvl::record_out_of_memory() { zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, nullptr); }
