// Direct composer: parse events into nodes.
//
// Every creating step makes one node record through the tree builder
// (doc/tree_builder.hpp), records its anchor and attaches it: a root at depth 0, an item of the
// open sequence, or the key / value of the open mapping. Aliases become alias
// nodes pointing at their target; nothing is expanded. Anchors are small
// indexes handed out by the event parser and are forgotten at every document
// boundary, so they never reach across documents.
#include "doc/composer.hpp"

#include "doc/resolve.hpp"
#include "doc/tree_builder.hpp"

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

// Plain scalar of a shortcut slot (style 1, plain_implicit, tag from the
// store's resolver), made and attached with its anchor.
bool plain_scalar(zarvel_node_store *store, zarvel_text_span text, bool in_place, zarvel_text_span anchor = {},
                  uint32_t anchor_id = 0) {
    zarvel_span value, anchor_span;
    if (!put_text(store, value, text, in_place) || !put_text(store, anchor_span, anchor, true)) return false;
    uint8_t tag_id = zarvel_store_resolve(store, text.data, text.length);
    uint32_t id = zvl::tree::scalar(store, zvl::tree::plain_flags, tag_id, value, 0, anchor_span);
    return id != zarvel_node_none && zvl::tree::anchor(store, anchor_id, id);
}

int compose_collection(zarvel_node_store *store, const zarvel_event *event, uint8_t kind) {
    if (!zvl::tree::may_open(store)) return -1;
    zarvel_span tag, anchor;
    if (!put_tag(store, tag, event->tag) || !put_text(store, anchor, event->anchor, event->verbatim != 0)) return -1;
    uint8_t flags = zvl::node_flag::make(kind, event->style, event->flow != 0, event->plain_implicit != 0);
    uint32_t id = zvl::tree::add(store, flags, event->tag_id, 0, tag, anchor);
    if (id == zarvel_node_none || !zvl::tree::anchor(store, event->anchor_id, id)) return -1;
    return zvl::tree::attach(store, id) && zvl::tree::push(store, id) ? 0 : -1;
}

int compose_scalar(zarvel_node_store *store, zarvel_text_span text, zarvel_text_span tag, zarvel_text_span anchor,
                   uint32_t anchor_id, uint8_t tag_id, uint8_t style, bool plain_implicit, bool flow, bool verbatim) {
    zarvel_span value, tag_span, anchor_span;
    if (!put_text(store, value, text, verbatim) || !put_tag(store, tag_span, tag) ||
        !put_text(store, anchor_span, anchor, verbatim))
        return -1;
    uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_SCALAR, style, flow, plain_implicit);
    uint32_t id = zvl::tree::scalar(store, flags, tag_id, value, tag_span, anchor_span);
    return id != zarvel_node_none && zvl::tree::anchor(store, anchor_id, id) ? 0 : -1;
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
    case ZARVEL_EVENT_MAPPING_END: return zvl::tree::close(store) ? 0 : -1;
    case ZARVEL_EVENT_SCALAR:
        return compose_scalar(store, event->text, event->tag, event->anchor, event->anchor_id, event->tag_id,
                              event->style, event->plain_implicit != 0, event->flow != 0, event->verbatim != 0);
    case ZARVEL_EVENT_ALIAS: {
        zarvel_span name;
        if (!put_text(store, name, event->text, true)) return -1;
        uint8_t flags =
            zvl::node_flag::make(ZARVEL_KIND_ALIAS, event->style, event->flow != 0, event->plain_implicit != 0);
        return zvl::tree::alias(store, flags, event->tag_id, name, event->anchor_id) != zarvel_node_none ? 0 : -1;
    }
    default: return -1;
    }
}

int zarvel_composer_flow_commit(void *user, uint64_t) {
    zarvel_node_store *store = store_of(user);
    if (!store->fast_pending) return 0;
    store->fast_pending = 0;
    if (!zvl::tree::anchor(store, store->fast_anchor, store->fast_root)) return -1;
    return zvl::tree::attach(store, store->fast_root) ? 1 : -1;
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
    if (value->kind == ZARVEL_PAIR_ALIAS) {
        if (zarvel_store_anchor_target(store, value->alias_target) == zarvel_node_none) return 0;
        zarvel_span name;
        if (!plain_scalar(store, key, true) || !put_text(store, name, value->text, true)) return -1;
        constexpr uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_ALIAS, 0, false, false);
        return zvl::tree::alias(store, flags, 0, name, value->alias_target) != zarvel_node_none ? 1 : -1;
    }
    if (value->kind != ZARVEL_PAIR_ANCHORED) {
        // The common pair: both halves plain texts, linked at once.
        zarvel_span key_text, value_text;
        if (!put_text(store, key_text, key, true) || !put_text(store, value_text, value->text, value->verbatim != 0))
            return -1;
        return zvl::tree::pair(store, zvl::tree::plain_flags, zarvel_store_resolve(store, key.data, key.length),
                               key_text, zvl::tree::plain_flags,
                               zarvel_store_resolve(store, value->text.data, value->text.length), value_text)
                   ? 1
                   : -1;
    }
    return plain_scalar(store, key, true) &&
                   plain_scalar(store, value->text, value->verbatim != 0, value->anchor, value->anchor_id)
               ? 1
               : -1;
}

int zarvel_composer_pair_flow(void *user, zarvel_text_span key, uint32_t, uint32_t) {
    zarvel_node_store *store = store_of(user);
    if (!zvl::tree::may_open(store)) return 0;
    constexpr uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_MAPPING, 0, false, false);
    if (zvl::tree::open(store, flags, ZARVEL_TAG_MAP) == zarvel_node_none) return -1;
    if (!plain_scalar(store, key, true)) {
        zvl::tree::close(store);
        return -1;
    }
    return 1;
}

int zarvel_composer_scalar_value(void *user, const zarvel_scalar_value *value) {
    return plain_scalar(store_of(user), value->text, value->verbatim != 0) ? 1 : -1;
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
