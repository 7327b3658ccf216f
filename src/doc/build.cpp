// zarvel_document_build: one whole tree from a flat list of build records
// that point into a caller's text, made a new root of the document's stream.
//
// The records read like a stream of events: scalar, sequence start, mapping
// start, end of the innermost open collection, and "tag of the node made
// last". Inside a mapping the nodes alternate key, value; a collection that
// lands in key position stays an empty key (it is not opened), so collection
// keys cannot be built this way.
#include <cstring>

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

// Pairs a mapping may hold before its duplicate-key test switches from a
// walk over the keys to a hash table of them.
constexpr uint32_t linear_key_limit = 16;
constexpr uint32_t first_key_slots = 64;

// Key node ids of one open mapping by the hash of their text (open
// addressing, at most half full); texts are read from the store each time, so
// string storage may move meanwhile.
class key_table {
  public:
    void release(const zarvel_allocator *allocator) {
        zvl::deallocate(allocator, slots_);
        slots_ = nullptr;
        slot_count_ = used_ = 0;
    }
    bool ready() const { return slots_ != nullptr; }

    bool contains(const zarvel_node_store *store, std::string_view text) const {
        uint32_t mask = slot_count_ - 1;
        for (uint32_t i = uint32_t(zarvel_hash_bytes(text.data(), text.size())) & mask;; i = (i + 1) & mask) {
            uint32_t id = slots_[i];
            if (id == zarvel_node_none) return false;
            if (key_text(store, id) == text) return true;
        }
    }

    // Room for one more key, growing (and re-placing) at half load.
    bool insert(const zarvel_allocator *allocator, const zarvel_node_store *store, uint32_t id) {
        if ((uint64_t(used_) + 1) * 2 > slot_count_) {
            uint64_t grown = slot_count_ ? uint64_t(slot_count_) * 2 : first_key_slots;
            if (grown > 0x80000000u) return false;
            auto *fresh = static_cast<uint32_t *>(zvl::allocate(allocator, grown * sizeof(uint32_t)));
            if (!fresh) return false;
            std::memset(fresh, 0xFF, grown * sizeof(uint32_t));
            uint32_t *old = slots_;
            uint32_t old_count = slot_count_;
            slots_ = fresh;
            slot_count_ = uint32_t(grown);
            for (uint32_t i = 0; i < old_count; ++i)
                if (old[i] != zarvel_node_none) place(store, old[i]);
            zvl::deallocate(allocator, old);
        }
        place(store, id);
        used_ += 1;
        return true;
    }

  private:
    static std::string_view key_text(const zarvel_node_store *store, uint32_t id) {
        return zarvel_store_text(store, store->nodes[id].value);
    }
    void place(const zarvel_node_store *store, uint32_t id) {
        std::string_view text = key_text(store, id);
        uint32_t mask = slot_count_ - 1;
        uint32_t i = uint32_t(zarvel_hash_bytes(text.data(), text.size())) & mask;
        while (slots_[i] != zarvel_node_none) i = (i + 1) & mask;
        slots_[i] = id;
    }

    uint32_t *slots_ = nullptr;
    uint32_t slot_count_ = 0;
    uint32_t used_ = 0;
};

struct open_level {
    uint32_t collection;
    uint32_t pending_key;  // valid while key_pending
    bool is_mapping;
    bool key_pending;
    uint32_t pairs;
    key_table keys;  // filled once the mapping passes linear_key_limit pairs
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
    builder(zarvel_node_store *store, const zarvel_allocator *allocator, open_level *stack, uint64_t stack_levels,
            const char *text)
        : store_(store), allocator_(allocator), stack_(stack), stack_levels_(stack_levels), text_(text) {}
    ~builder() {
        while (depth_ > 0) stack_[--depth_].keys.release(allocator_);
    }
    builder(const builder &) = delete;
    builder &operator=(const builder &) = delete;

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
            return edit::set_tag_text(store_, last_, text_at(r.offset), r.length) ? ZARVEL_OK : ZARVEL_NO_MEMORY;
        default: return ZARVEL_FAILED;
        }
    }

    int32_t add_node(const zarvel_build_record &r) {
        if (!store_) return ZARVEL_NO_MEMORY;
        uint32_t id =
            r.type == record_scalar
                ? edit::new_scalar(store_, text_at(r.offset), r.length, r.style)
                : edit::new_collection(store_, r.type == record_sequence ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING);
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
                attached = add_pair(level, id);
            }
            if (attached != edit::done) return attach_failure(attached);
        }
        if (r.type == record_scalar || became_key) {
            if (depth_ == 0) root_complete_ = true;
            return ZARVEL_OK;
        }
        if (depth_ >= zarvel_store_max_depth || depth_ >= stack_levels_) return ZARVEL_TOO_DEEP;
        stack_[depth_++] = {id, zarvel_node_none, r.type == record_mapping, false, 0, key_table{}};
        return ZARVEL_OK;
    }

    // The pending key and `value` as a new pair of the level's mapping;
    // a key text already present is refused.
    edit::result add_pair(open_level &level, uint32_t value) {
        uint32_t key = level.pending_key;
        std::string_view text = zarvel_store_text(store_, store_->nodes[key].value);
        if (level.pairs < linear_key_limit) {
            if (edit::find_key(store_, level.collection, text) != zarvel_node_none) return edit::duplicate_key;
        } else {
            if (!level.keys.ready() && !fill_key_table(level)) return edit::wrong_kind;
            if (level.keys.contains(store_, text)) return edit::duplicate_key;
            if (!level.keys.insert(allocator_, store_, key)) return edit::wrong_kind;
        }
        edit::result attached = edit::map_add_pair(store_, level.collection, key, value);
        if (attached == edit::done) level.pairs += 1;
        return attached;
    }

    bool fill_key_table(open_level &level) {
        uint32_t k = store_->nodes[level.collection].first_child;
        while (k < store_->node_count) {
            if (!level.keys.insert(allocator_, store_, k)) return false;
            uint32_t v = store_->nodes[k].next_sibling;
            if (v >= store_->node_count) break;
            k = store_->nodes[v].next_sibling;
        }
        return true;
    }

    int32_t close() {
        if (depth_ == 0) return ZARVEL_FAILED;
        // A key left pending is dropped: it stays unattached in the store.
        depth_ -= 1;
        stack_[depth_].keys.release(allocator_);
        if (depth_ == 0) root_complete_ = true;
        return ZARVEL_OK;
    }

    zarvel_node_store *store_;
    const zarvel_allocator *allocator_;
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

int32_t zarvel_document_build(zarvel_document *document, const zarvel_build_record *records, uint64_t count,
                              const char *text, uint64_t text_length) {
    if (!document || (!records && count > 0) || (!text && text_length > 0) || count > max_record_count)
        return ZARVEL_INVALID_ARGUMENT;
    // One level per record at most, and never more than the depth limit
    // allows (plus the one that is refused).
    uint64_t levels = count + 1;
    if (levels > zarvel_store_max_depth + 1) levels = zarvel_store_max_depth + 1;
    auto *stack = static_cast<open_level *>(zvl::allocate(document->allocator, levels * sizeof(open_level)));
    if (!stack) return ZARVEL_NO_MEMORY;
    int32_t status = ZARVEL_FAILED;
    // A freshly parsed document is built first, as the reads do.
    if (count > 0)
        status = builder(zarvel_document_body(document), document->allocator, stack, levels, text)
                     .run(records, count, text_length);
    zvl::deallocate(document->allocator, stack);
    return status;
}
