// zarvel_document_build: one whole tree from a flat list of build records
// that point into a caller's text, made a new root of the document's stream.
//
// The records read like a stream of events: scalar, sequence start, mapping
// start, end of the innermost open collection, and "tag of the node made
// last". Inside a mapping the nodes alternate key, value; a collection that
// lands in key position stays an empty key (it is not opened), so collection
// keys cannot be built this way.
#include "doc/edit.hpp"

namespace {

namespace edit = zvl::edit;

enum record_type : uint8_t {
    record_scalar = 1,
    record_sequence = 2,
    record_mapping = 3,
    record_end = 4,
    record_tag = 5,
};

// Counts above this would overflow the record array's byte size.
constexpr uint64_t max_record_count = 0x0FFFFFFFFFFFFFFFull;

struct open_level {
    uint32_t collection;
    uint32_t pending_key;  // valid while key_pending
    bool is_mapping;
    bool key_pending;
};

// Status of a failed attach inside the records. Every target here has the
// right kind, so wrong_kind can only mean that memory ran out.
int32_t attach_failure(edit::result r) {
    switch (r) {
    case edit::too_deep: return ZARVEL_TOO_DEEP;
    case edit::duplicate_key: return ZARVEL_FAILED;
    default: return ZARVEL_NO_MEMORY;
    }
}

class builder {
public:
    builder(zarvel_node_store *store, open_level *stack, uint64_t stack_levels, const char *text)
        : store_(store), stack_(stack), stack_levels_(stack_levels), text_(text) {}

    int32_t run(const zarvel_build_record *records, uint64_t count, uint64_t text_length) {
        for (uint64_t i = 0; i < count; ++i) {
            const zarvel_build_record &r = records[i];
            if (r.offset > text_length || r.length > text_length - r.offset) return ZARVEL_FAILED;
            int32_t status = step(r);
            if (status != ZARVEL_OK) return status;
        }
        if (depth_ != 0 || root_ == zarvel_node_none) return ZARVEL_FAILED;
        switch (edit::make_root(store_, root_)) {
        case edit::done: return ZARVEL_OK;
        case edit::too_deep: return ZARVEL_TOO_DEEP;
        case edit::wrong_kind: return ZARVEL_NO_MEMORY;
        default: return ZARVEL_FAILED;
        }
    }

private:
    const char *text_at(uint32_t offset) const { return text_ ? text_ + offset : nullptr; }

    int32_t step(const zarvel_build_record &r) {
        if (root_complete_) {
            // Only the root's own tag may still follow, once.
            if (r.type != record_tag || late_tag_seen_ || last_ != root_) return ZARVEL_FAILED;
            late_tag_seen_ = true;
        }
        switch (r.type) {
        case record_scalar:
        case record_sequence:
        case record_mapping: return add_node(r);
        case record_end: return close();
        case record_tag:
            if (last_ == zarvel_node_none) return ZARVEL_FAILED;
            return edit::set_tag_text(store_, last_, text_at(r.offset), r.length) ? ZARVEL_OK
                                                                                  : ZARVEL_NO_MEMORY;
        default: return ZARVEL_FAILED;
        }
    }

    int32_t add_node(const zarvel_build_record &r) {
        if (!store_) return ZARVEL_NO_MEMORY;
        uint32_t id = r.type == record_scalar
                          ? edit::new_scalar(store_, text_at(r.offset), r.length, r.style)
                          : edit::new_collection(store_, r.type == record_sequence ? ZARVEL_KIND_SEQUENCE
                                                                                   : ZARVEL_KIND_MAPPING);
        if (id == zarvel_node_none) return ZARVEL_NO_MEMORY;
        last_ = id;
        bool became_key = false;
        if (depth_ == 0) {
            if (root_ != zarvel_node_none) return ZARVEL_FAILED;
            root_ = id;
        } else {
            open_level &level = stack_[depth_ - 1];
            edit::result attached = edit::done;
            if (!level.is_mapping) {
                attached = edit::seq_append(store_, level.collection, id);
            } else if (!level.key_pending) {
                level.pending_key = id;
                level.key_pending = true;
                became_key = true;
            } else {
                level.key_pending = false;
                attached = edit::map_add_node(store_, level.collection, level.pending_key, id);
            }
            if (attached != edit::done) return attach_failure(attached);
        }
        if (r.type == record_scalar || became_key) {
            if (depth_ == 0) root_complete_ = true;
            return ZARVEL_OK;
        }
        if (depth_ >= zarvel_store_max_depth || depth_ >= stack_levels_) return ZARVEL_TOO_DEEP;
        stack_[depth_++] = {id, zarvel_node_none, r.type == record_mapping, false};
        return ZARVEL_OK;
    }

    int32_t close() {
        if (depth_ == 0) return ZARVEL_FAILED;
        // A key left pending is dropped: it stays unattached in the store.
        depth_ -= 1;
        if (depth_ == 0) root_complete_ = true;
        return ZARVEL_OK;
    }

    zarvel_node_store *store_;
    open_level *stack_;
    uint64_t stack_levels_;
    const char *text_;
    uint64_t depth_ = 0;
    uint32_t root_ = zarvel_node_none;
    uint32_t last_ = zarvel_node_none;
    bool root_complete_ = false;
    bool late_tag_seen_ = false;
};

}  // namespace

int32_t zarvel_document_build(zarvel_document *document, const zarvel_build_record *records,
                              uint64_t count, const char *text, uint64_t text_length) {
    if (!document || (!records && count > 0) || (!text && text_length > 0) || count > max_record_count)
        return ZARVEL_INVALID_ARGUMENT;
    // One level per record at most, and never more than the depth limit
    // allows (plus the one that is refused).
    uint64_t levels = count + 1;
    if (levels > zarvel_store_max_depth + 1) levels = zarvel_store_max_depth + 1;
    auto *stack = static_cast<open_level *>(zvl::allocate(document->allocator, levels * sizeof(open_level)));
    if (!stack) return ZARVEL_NO_MEMORY;
    int32_t status = ZARVEL_FAILED;
    if (count > 0) status = builder(document->store, stack, levels, text).run(records, count, text_length);
    zvl::deallocate(document->allocator, stack);
    return status;
}
