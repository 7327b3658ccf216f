// Exported building and editing functions: argument checks, the tree steps of
// doc/edit.hpp, and the mapping of their results to statuses. No error record
// is written and no lock is taken: a document must not be used by another
// thread while it is edited.
#include "doc/edit.hpp"

namespace {

namespace edit = zvl::edit;

// The store behind a document, built first when the document is still
// pending (a fresh parse), as the reads do; null for a null document or a
// failed build.
zarvel_node_store *store_of(zarvel_document *document) { return document ? zarvel_document_body(document) : nullptr; }

// A handle usable as an argument: not null and naming a document.
bool usable(const zarvel_node *node) { return node && node->document; }

// New node -> handle; a failed handle undoes the node so nothing half-made
// stays in the store.
zarvel_node *handle_or_undo(zarvel_document *document, zarvel_node_store *store, uint32_t id, uint32_t node_mark,
                            uint32_t strings_mark) {
    if (id == zarvel_node_none) return nullptr;
    zarvel_node *handle = zarvel_node_handle(document, id);
    if (!handle) zarvel_store_truncate(store, node_mark, strings_mark);
    return handle;
}

// Status of the map operations and zarvel_node_seq_add / _seq_set.
int32_t attach_status(edit::result r) {
    switch (r) {
    case edit::done: return ZARVEL_OK;
    case edit::wrong_kind: return ZARVEL_NO_MEMORY;
    case edit::too_deep: return ZARVEL_TOO_DEEP;
    case edit::duplicate_key:
    case edit::not_free: return ZARVEL_FAILED;
    }
    return ZARVEL_FAILED;
}

// Anchor and tag texts: 0, 2 when string storage cannot grow, 6 for bad
// arguments.
template <bool (*set_text)(zarvel_node_store *, uint32_t, const char *, uint64_t)>
int32_t set_property(const zarvel_node *node, const char *text, int32_t length) {
    if (!usable(node) || !text || length < 0) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(node->document);
    if (!store || node->id >= store->node_count) return ZARVEL_INVALID_ARGUMENT;
    return set_text(store, node->id, text, uint64_t(length)) ? ZARVEL_OK : ZARVEL_NO_MEMORY;
}

}  // namespace

zarvel_document *zarvel_document_new(void) {
    zarvel_document *document = zarvel_document_alloc(&zarvel_default_allocator);
    if (!document) return nullptr;
    zarvel_node_store *store = zarvel_store_new(document->allocator);
    if (!store) {
        zarvel_document_free(document);
        return nullptr;
    }
    document->store = store;
    return document;
}

zarvel_node *zarvel_node_new_scalar(zarvel_document *document, const char *text, uint64_t length, uint32_t style) {
    if (!document || (!text && length > 0)) return nullptr;
    if (style < ZARVEL_NODE_STYLE_PLAIN || style > ZARVEL_NODE_STYLE_FOLDED) return nullptr;
    zarvel_node_store *store = store_of(document);
    if (!store) return nullptr;
    uint32_t node_mark = store->node_count, strings_mark = store->strings_len;
    uint32_t id = edit::new_scalar(store, text, length, style);
    return handle_or_undo(document, store, id, node_mark, strings_mark);
}

zarvel_node *zarvel_node_new_sequence(zarvel_document *document) {
    zarvel_node_store *store = store_of(document);
    if (!store) return nullptr;
    uint32_t node_mark = store->node_count, strings_mark = store->strings_len;
    uint32_t id = edit::new_collection(store, ZARVEL_KIND_SEQUENCE);
    return handle_or_undo(document, store, id, node_mark, strings_mark);
}

zarvel_node *zarvel_node_new_mapping(zarvel_document *document) {
    zarvel_node_store *store = store_of(document);
    if (!store) return nullptr;
    uint32_t node_mark = store->node_count, strings_mark = store->strings_len;
    uint32_t id = edit::new_collection(store, ZARVEL_KIND_MAPPING);
    return handle_or_undo(document, store, id, node_mark, strings_mark);
}

zarvel_node *zarvel_node_new_alias(zarvel_document *document, const zarvel_node *target, const char *name,
                                   int32_t length) {
    if (!document || !target || !name || length < 0) return nullptr;
    if (target->document != document) return nullptr;
    zarvel_node_store *store = store_of(document);
    // An alias to a node that does not exist would dangle.
    if (!store || target->id >= store->node_count) return nullptr;
    uint32_t node_mark = store->node_count, strings_mark = store->strings_len;
    uint32_t id = edit::new_alias(store, target->id, name, uint64_t(length));
    return handle_or_undo(document, store, id, node_mark, strings_mark);
}

int32_t zarvel_node_set_anchor(const zarvel_node *node, const char *name, int32_t length) {
    return set_property<edit::set_anchor_text>(node, name, length);
}

int32_t zarvel_node_set_tag(const zarvel_node *node, const char *tag, int32_t length) {
    return set_property<edit::set_tag_text>(node, tag, length);
}

int32_t zarvel_document_set_root(zarvel_document *document, const zarvel_node *node) {
    if (!document || !node || node->document != document) return ZARVEL_FAILED;
    zarvel_node_store *store = store_of(document);
    if (!store) return ZARVEL_INVALID_ARGUMENT;
    switch (edit::make_root(store, node->id)) {
    case edit::done: return ZARVEL_OK;
    case edit::not_free: return ZARVEL_INVALID_ARGUMENT;
    case edit::too_deep: return ZARVEL_TOO_DEEP;
    default: return ZARVEL_NO_MEMORY;
    }
}

int32_t zarvel_node_map_add(const zarvel_node *mapping, const char *key, uint64_t key_length,
                            const zarvel_node *value) {
    if (!usable(mapping) || !key || !value || value->document != mapping->document) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(mapping->document);
    if (!store) return attach_status(edit::wrong_kind);
    return attach_status(edit::map_add_text(store, mapping->id, {key, size_t(key_length)}, value->id));
}

int32_t zarvel_node_map_add_node(const zarvel_node *mapping, const zarvel_node *key, const zarvel_node *value) {
    if (!usable(mapping) || !key || !value || key->document != mapping->document ||
        value->document != mapping->document)
        return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(mapping->document);
    if (!store) return attach_status(edit::wrong_kind);
    return attach_status(edit::map_add_node(store, mapping->id, key->id, value->id));
}

int32_t zarvel_node_map_set(const zarvel_node *mapping, const char *key, uint64_t key_length,
                            const zarvel_node *value) {
    if (!usable(mapping) || !key || !value || value->document != mapping->document) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(mapping->document);
    if (!store) return attach_status(edit::wrong_kind);
    return attach_status(edit::map_set_text(store, mapping->id, {key, size_t(key_length)}, value->id));
}

int32_t zarvel_node_map_del(const zarvel_node *mapping, const char *key, uint64_t key_length) {
    if (!usable(mapping) || !key) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(mapping->document);
    if (!store) return ZARVEL_FAILED;
    return edit::map_remove(store, mapping->id, {key, size_t(key_length)}) == edit::done ? ZARVEL_OK : ZARVEL_FAILED;
}

int32_t zarvel_node_seq_add(const zarvel_node *sequence, const zarvel_node *item) {
    if (!usable(sequence) || !item || item->document != sequence->document) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(sequence->document);
    if (!store) return attach_status(edit::wrong_kind);
    return attach_status(edit::seq_append(store, sequence->id, item->id));
}

int32_t zarvel_node_seq_set(const zarvel_node *sequence, uint32_t index, const zarvel_node *item) {
    if (!usable(sequence) || !item || item->document != sequence->document) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(sequence->document);
    if (!store) return attach_status(edit::wrong_kind);
    return attach_status(edit::seq_replace(store, sequence->id, index, item->id));
}

int32_t zarvel_node_seq_del(const zarvel_node *sequence, int32_t index) {
    if (!usable(sequence)) return ZARVEL_INVALID_ARGUMENT;
    zarvel_node_store *store = store_of(sequence->document);
    if (!store || index < 0) return ZARVEL_FAILED;
    return edit::seq_remove(store, sequence->id, uint32_t(index)) == edit::done ? ZARVEL_OK : ZARVEL_FAILED;
}
