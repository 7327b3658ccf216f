// Direct composer: parse events into nodes.
//
// Every creating step makes one node record, fills it, records its anchor
// and attaches it (zarvel_store_attach): a root at depth 0, an item of the
// open sequence, or the key / value of the open mapping. Aliases become alias
// nodes pointing at their target; nothing is expanded. Anchors are small
// indexes handed out by the event parser and are forgotten at every document
// boundary, so they never reach across documents.
#include "doc/composer.hpp"

#include "doc/resolve.hpp"

namespace {

zarvel_node_store *store_of(void *user) { return static_cast<zarvel_node_store *>(user); }

const zarvel_resolver *resolver_of(const zarvel_node_store *store) {
    return store->resolver ? store->resolver : &zarvel_core_resolver;
}

// Texts are referenced in place only when the parser says they are the
// input's own bytes; anything rewritten lives in the parser's arena, which
// does not outlive the parse, and is copied. False when storage cannot take
// the copy: the node would otherwise keep an empty text.
bool put_text(zarvel_node_store *store, zarvel_span &out, zarvel_text_span text, bool in_place) {
    out = zarvel_store_put_text(store, text.data, text.length, in_place);
    return text.length == 0 || out != zarvel_span_failed;
}
// Tags are copied once per distinct text (a %TAG prefix is expanded into
// every node that names its handle).
bool put_tag(zarvel_node_store *store, zarvel_span &out, zarvel_text_span tag) {
    out = zarvel_store_put_tag(store, tag.data, tag.length);
    return tag.length == 0 || out != zarvel_span_failed;
}

uint32_t new_node(zarvel_node_store *store, uint8_t flags, uint8_t tag_id) {
    uint32_t id = zarvel_store_add_node(store);
    if (id == zarvel_node_none) return id;
    zarvel_node_rec &node = store->nodes[id];
    node.flags = flags;
    node.tag_id = tag_id;
    return id;
}

// Plain scalar of a shortcut slot: style 1, plain_implicit, tag from the
// store's resolver.
uint32_t new_plain_scalar(zarvel_node_store *store, zarvel_text_span text, bool in_place) {
    uint8_t tag_id = zarvel_store_resolve(store, text.data, text.length);
    uint32_t id = new_node(store, zvl::node_flag::make(ZARVEL_KIND_SCALAR, ZARVEL_STYLE_PLAIN, false, true), tag_id);
    if (id == zarvel_node_none) return id;
    if (!put_text(store, store->nodes[id].value, text, in_place)) return zarvel_node_none;
    return id;
}

uint32_t new_alias(zarvel_node_store *store, zarvel_text_span name, uint32_t target, uint8_t flags, uint8_t tag_id) {
    uint32_t id = new_node(store, flags, tag_id);
    if (id == zarvel_node_none) return id;
    if (!put_text(store, store->nodes[id].value, name, true)) return zarvel_node_none;
    store->nodes[id].alias_target = target;
    return id;
}

bool record_anchor(zarvel_node_store *store, uint32_t anchor_id, uint32_t id) {
    return anchor_id == 0 || zarvel_store_set_anchor(store, anchor_id, id);
}

int compose_collection(zarvel_node_store *store, const zarvel_event *event, uint8_t kind) {
    if (store->depth >= zarvel_store_max_depth) return -1;
    uint8_t flags = zvl::node_flag::make(kind, event->style, event->flow != 0, event->plain_implicit != 0);
    uint32_t id = new_node(store, flags, event->tag_id);
    if (id == zarvel_node_none) return -1;
    zarvel_node_rec &node = store->nodes[id];
    if (!put_tag(store, node.tag, event->tag) || !put_text(store, node.anchor, event->anchor, event->verbatim != 0))
        return -1;
    if (!record_anchor(store, event->anchor_id, id)) return -1;
    if (!zarvel_store_attach(store, id)) return -1;
    return zarvel_store_push(store, id) ? 0 : -1;
}

int compose_scalar(zarvel_node_store *store, zarvel_text_span text, zarvel_text_span tag, zarvel_text_span anchor,
                   uint32_t anchor_id, uint8_t tag_id, uint8_t style, bool plain_implicit, bool flow, bool verbatim) {
    uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_SCALAR, style, flow, plain_implicit);
    uint32_t id = new_node(store, flags, tag_id);
    if (id == zarvel_node_none) return -1;
    zarvel_node_rec &node = store->nodes[id];
    if (!put_text(store, node.value, text, verbatim) || !put_tag(store, node.tag, tag) ||
        !put_text(store, node.anchor, anchor, verbatim))
        return -1;
    if (!record_anchor(store, anchor_id, id)) return -1;
    return zarvel_store_attach(store, id) ? 0 : -1;
}

}  // namespace

uint8_t zarvel_store_resolve(const zarvel_node_store *store, const char *text, uint32_t length) {
    return resolver_of(store)->text(nullptr, text, length);
}

uint8_t zarvel_store_resolve_number(const zarvel_node_store *store, bool is_float) {
    const zarvel_resolver *resolver = resolver_of(store);
    if (resolver->number) return resolver->number(nullptr, is_float ? 1 : 0);
    return is_float ? ZARVEL_TAG_FLOAT : ZARVEL_TAG_INT;
}

int zarvel_composer_event(void *user, const zarvel_event *event) {
    zarvel_node_store *store = store_of(user);
    switch (event->kind) {
    case ZARVEL_EVENT_STREAM_START:
    case ZARVEL_EVENT_DOCUMENT_START:
    case ZARVEL_EVENT_DOCUMENT_END: zarvel_store_clear_anchors(store); return 0;
    case ZARVEL_EVENT_STREAM_END: return 0;
    case ZARVEL_EVENT_SEQUENCE_START: return compose_collection(store, event, ZARVEL_KIND_SEQUENCE);
    case ZARVEL_EVENT_MAPPING_START: return compose_collection(store, event, ZARVEL_KIND_MAPPING);
    case ZARVEL_EVENT_SEQUENCE_END:
    case ZARVEL_EVENT_MAPPING_END: return zarvel_store_pop(store) ? 0 : -1;
    case ZARVEL_EVENT_SCALAR:
        return compose_scalar(store, event->text, event->tag, event->anchor, event->anchor_id, event->tag_id,
                              event->style, event->plain_implicit != 0, event->flow != 0, event->verbatim != 0);
    case ZARVEL_EVENT_ALIAS: {
        uint32_t target = zarvel_store_anchor_target(store, event->anchor_id);
        if (target == zarvel_node_none) return -1;
        uint8_t flags =
            zvl::node_flag::make(ZARVEL_KIND_ALIAS, event->style, event->flow != 0, event->plain_implicit != 0);
        uint32_t id = new_alias(store, event->text, target, flags, event->tag_id);
        if (id == zarvel_node_none) return -1;
        return zarvel_store_attach(store, id) ? 0 : -1;
    }
    default: return -1;
    }
}

int zarvel_composer_flow_commit(void *user, uint64_t) {
    zarvel_node_store *store = store_of(user);
    if (!store->fast_pending) return 0;
    store->fast_pending = 0;
    if (!record_anchor(store, store->fast_anchor, store->fast_root)) return -1;
    return zarvel_store_attach(store, store->fast_root) ? 1 : -1;
}

void zarvel_composer_flow_cancel(void *user) {
    zarvel_node_store *store = store_of(user);
    if (!store->fast_pending) return;
    store->fast_pending = 0;
    zarvel_store_truncate(store, store->mark_count, store->mark_len);
}

int zarvel_composer_pair(void *user, zarvel_text_span key, const zarvel_pair_value *value, uint32_t, uint32_t,
                         uint32_t) {
    zarvel_node_store *store = store_of(user);
    uint32_t target = zarvel_node_none;
    if (value->kind == ZARVEL_PAIR_ALIAS) {
        target = zarvel_store_anchor_target(store, value->alias_target);
        if (target == zarvel_node_none) return 0;
    }
    uint32_t key_id = new_plain_scalar(store, key, true);
    if (key_id == zarvel_node_none || !zarvel_store_attach(store, key_id)) return -1;
    uint32_t value_id;
    if (value->kind == ZARVEL_PAIR_ALIAS) {
        value_id = new_alias(store, value->text, target, zvl::node_flag::make(ZARVEL_KIND_ALIAS, 0, false, false), 0);
        if (value_id == zarvel_node_none) return -1;
    } else {
        value_id = new_plain_scalar(store, value->text, value->verbatim != 0);
        if (value_id == zarvel_node_none) return -1;
        if (value->kind == ZARVEL_PAIR_ANCHORED) {
            if (!put_text(store, store->nodes[value_id].anchor, value->anchor, true)) return -1;
            if (!record_anchor(store, value->anchor_id, value_id)) return -1;
        }
    }
    return zarvel_store_attach(store, value_id) ? 1 : -1;
}

int zarvel_composer_pair_flow(void *user, zarvel_text_span key, uint32_t, uint32_t) {
    zarvel_node_store *store = store_of(user);
    if (store->depth >= zarvel_store_max_depth) return 0;
    uint32_t id = new_node(store, zvl::node_flag::make(ZARVEL_KIND_MAPPING, 0, false, false), ZARVEL_TAG_MAP);
    if (id == zarvel_node_none || !zarvel_store_attach(store, id)) return -1;
    if (!zarvel_store_push(store, id)) return -1;
    uint32_t key_id = new_plain_scalar(store, key, true);
    if (key_id == zarvel_node_none || !zarvel_store_attach(store, key_id)) {
        zarvel_store_pop(store);
        return -1;
    }
    return 1;
}

int zarvel_composer_scalar_value(void *user, const zarvel_scalar_value *value) {
    zarvel_node_store *store = store_of(user);
    uint32_t id = new_plain_scalar(store, value->text, value->verbatim != 0);
    if (id == zarvel_node_none || !zarvel_store_attach(store, id)) return -1;
    return 1;
}

int zarvel_composer_scalar(void *user, const zarvel_text_span *text, const zarvel_text_span *tag,
                           const zarvel_text_span *anchor, uint32_t anchor_id, uint8_t tag_id, uint8_t style,
                           uint8_t plain_implicit, uint8_t flow, uint8_t verbatim) {
    constexpr zarvel_text_span none = {nullptr, 0};
    return compose_scalar(store_of(user), text ? *text : none, tag ? *tag : none, anchor ? *anchor : none, anchor_id,
                          tag_id, style, plain_implicit != 0, flow != 0, verbatim != 0);
}

const zarvel_sink zarvel_composer = {
    zarvel_composer_event,       nullptr,
    zarvel_composer_flow_raw,    zarvel_composer_flow_commit,
    zarvel_composer_flow_cancel, zarvel_composer_pair,
    zarvel_composer_pair_flow,   zarvel_composer_scalar_value,
    zarvel_composer_scalar,
};

zarvel_sink zarvel_composer_sink(zarvel_node_store *store) {
    zarvel_sink sink = zarvel_composer;
    sink.user = store;
    return sink;
}
