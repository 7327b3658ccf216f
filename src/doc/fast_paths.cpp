// Flow-collection fast paths: a JSON-shaped flow collection becomes one
// event-log record at parse time and, at replay, nodes made straight from
// the JSON stepper's tokens, with no scanner and no per-token events.
//
// The stepper is run with string keys only: YAML reads {1:2} as the single
// plain key "1:2", so a non-string key is left to the event parser. Whatever
// is taken here must give exactly the nodes the event parser's events give.
#include <cstring>

#include "doc/composer.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"
#include "doc/tree_builder.hpp"
#include "json/stepper.hpp"

namespace {

// ---- composer side --------------------------------------------------------------

struct flow_builder {
    zarvel_node_store *store;
    const char *input;

    // A string token: in place without escapes, else decoded into string
    // storage (an escape never decodes to more bytes than it occupies).
    zarvel_span string_text(const json_token &t) {
        uint64_t body = t.start + 1, end = t.end - 1;
        uint64_t raw = end - body;
        if (!t.has_escape) return zarvel_store_put_text(store, input + body, raw, true);
        if (raw == 0) return 0;
        if (!zarvel_store_strings_reserve(store, raw)) return zarvel_span_failed;
        uint32_t offset = store->strings_len;
        uint64_t written = zvl_finish_double_into(input, body, end, store->strings + offset, raw);
        store->strings_len += uint32_t(written);
        return written ? zarvel_span_make(offset, uint32_t(written), true) : 0;
    }

    // One scalar token as a node, attached to the open collection.
    bool scalar(const json_token &t) {
        using namespace zvl::node_flag;
        if (t.kind == '"') {
            zarvel_span value = string_text(t);
            return value != zarvel_span_failed &&
                   zvl::tree::scalar(store, make(ZARVEL_KIND_SCALAR, ZARVEL_STYLE_DOUBLE, true, false), ZARVEL_TAG_STR,
                                     value) != zarvel_node_none;
        }
        const char *text = input + t.start;
        uint32_t length = uint32_t(t.end - t.start);
        uint8_t tag_id = t.kind == '#' ? zarvel_store_resolve_number(store, t.is_float != 0)
                                       : zarvel_store_resolve(store, text, length);
        zarvel_span value = zarvel_store_put_text(store, text, length, true);
        return zvl::tree::scalar(store, make(ZARVEL_KIND_SCALAR, ZARVEL_STYLE_PLAIN, true, true), tag_id, value) !=
               zarvel_node_none;
    }
};

// ---- recorder side ----------------------------------------------------------------

// Walks the collection at `open` to its end; json_step_closed with
// stepper.close set, or json_step_refused.
int walk_flow(json_stepper &stepper, const char *text, uint64_t open, uint64_t size, uint32_t max_depth) {
    if (!json_stepper_init(&stepper, text, size, open, max_depth)) return json_step_refused;
    stepper.string_keys = 1;
    json_token token;
    int r;
    while ((r = json_stepper_next(&stepper, &token)) == json_step_token) {}
    return r;
}

}  // namespace

int zarvel_composer_flow_raw(void *user, const char *input, uint64_t open_offset, uint64_t input_size, uint32_t,
                             uint64_t, zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id,
                             uint32_t max_depth, uint64_t *close_offset) {
    return zvl::flow_compose(static_cast<zarvel_node_store *>(user), input, open_offset, input_size, anchor, tag,
                             anchor_id, max_depth, close_offset, nullptr);
}

int zvl::flow_compose(zarvel_node_store *store, const char *input, uint64_t open_offset, uint64_t input_size,
                      zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id, uint32_t max_depth,
                      uint64_t *close_offset, children_fill *fill) {
    if (!zvl::tree::may_open(store)) return 0;
    if (!input || open_offset >= input_size) return 0;
    char bracket = input[open_offset];
    if (bracket != '[' && bracket != '{') return 0;

    store->mark_count = store->node_count;
    store->mark_len = store->strings_len;
    uint32_t saved_depth = store->depth;
    auto rollback = [&](int result) {
        if (fill) fill->drop();
        zvl::tree::close_to(store, saved_depth);
        store->fast_pending = 0;
        zarvel_store_truncate(store, store->mark_count, store->mark_len);
        return result;
    };

    json_stepper stepper;
    if (!json_stepper_init(&stepper, input, input_size, open_offset, max_depth)) return 0;
    stepper.string_keys = 1;

    flow_builder build{store, input};
    using namespace zvl::node_flag;
    uint8_t root_kind = bracket == '[' ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING;
    // Untagged collections carry the tag id of their kind; a tagged one the
    // id its tag names, as the event parser gives them.
    uint8_t root_tag_id = tag.length ? zarvel_tag_id_of(tag.data, tag.length)
                                     : uint8_t(root_kind == ZARVEL_KIND_SEQUENCE ? ZARVEL_TAG_SEQ : ZARVEL_TAG_MAP);
    zarvel_span tag_span = zarvel_store_put_tag(store, tag.data, tag.length);
    zarvel_span anchor_span = zarvel_store_put_text(store, anchor.data, anchor.length, false);
    if ((tag.length && tag_span == zarvel_span_failed) || (anchor.length && anchor_span == zarvel_span_failed))
        return rollback(-1);
    // The root is attached by flow_commit, once the parser accepts the range.
    uint32_t root = zvl::tree::add(store, make(root_kind, 0, true, false), root_tag_id, 0, tag_span, anchor_span);
    if (root == zarvel_node_none || !zvl::tree::push(store, root)) return rollback(-1);

    json_token token;
    int r;
    while ((r = json_stepper_next(&stepper, &token)) == json_step_token) {
        switch (token.kind) {
        case '[':
        case '{': {
            bool seq = token.kind == '[';
            uint32_t depth = store->depth;
            uint32_t id = zvl::tree::open(store, make(seq ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING, 0, true, false),
                                          seq ? ZARVEL_TAG_SEQ : ZARVEL_TAG_MAP);
            if (id == zarvel_node_none) return rollback(-1);
            if (fill) fill->child(depth, id);
            break;
        }
        case ']':
        case '}':
            if (store->depth <= saved_depth) return rollback(-1);
            if (fill) fill->closed(store->open_stack[store->depth - 1]);
            zvl::tree::close(store);
            break;
        default:
            if (!build.scalar(token)) return rollback(-1);
            if (fill) fill->child(store->depth, store->node_count - 1);
            break;
        }
    }
    if (r != json_step_closed) return rollback(0);
    if (stepper.long_key) return rollback(2);
    // The root closes here when its bracket was not a token.
    if (fill && store->depth > saved_depth) fill->closed(root);
    zvl::tree::close_to(store, saved_depth);
    store->fast_root = root;
    store->fast_anchor = anchor_id;
    store->fast_pending = 1;
    if (close_offset) *close_offset = stepper.close;
    return 1;
}

int zarvel_flow_recorder(zarvel_event_log *log, const char *text, uint64_t open_offset, uint64_t input_size,
                         zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id, uint32_t max_depth,
                         uint64_t *end) {
    if (log->depth >= zarvel_store_max_depth) return 0;
    // The record holds offset and size in 32 bits each.
    if (!text || input_size > 0xFFFFFFFFu || open_offset >= input_size) return 0;
    log->flow_budget = max_depth;
    json_stepper stepper;
    int r = walk_flow(stepper, text, open_offset, input_size, max_depth);
    if (r != json_step_closed) return 0;
    if (stepper.long_key) return 2;

    if (!zarvel_event_log_push_flow(log, open_offset, input_size, tag, anchor, anchor_id)) return -1;
    log->flow_bytes += stepper.close + 1 - open_offset;
    if (end) *end = stepper.close;
    return 1;
}
