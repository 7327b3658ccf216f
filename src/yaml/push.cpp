// Push front end: one parser run over the whole text, each event handed to
// the caller's callback as a public event view.
#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "yaml/parser.hpp"
#include "yaml/record_store.hpp"
#include "zarvel.h"

namespace {

// The views of the shortcut slots stay in place between events: each slot
// rewrites only the fields its events set, the rest stay zero (the callback
// sees them read-only).
struct push_target {
    zarvel_event_callback callback;
    void *user;
    zarvel_event_view scalar;
    zarvel_event_view collection;
    zarvel_event_view alias;
};

int forward_event(void *user, const zarvel_event *event) {
    auto *target = static_cast<push_target *>(user);
    zarvel_event_view view = zvl::view_of_event(*event);
    return target->callback(target->user, &view) != 0 ? 1 : 0;
}

// The view of a one-line scalar without properties, built without the
// event record (slots 9 and 10).
int forward_scalar(void *user, zarvel_text_span text, uint32_t line, uint32_t start_column, uint8_t style, bool flow) {
    auto *target = static_cast<push_target *>(user);
    zarvel_event_view &view = target->scalar;
    view.style = style;
    view.flow = flow ? 1 : 0;
    view.plain_implicit = style == ZARVEL_STYLE_PLAIN ? 1 : 0;
    view.text = text.length ? text.data : nullptr;
    view.text_length = text.length;
    view.start_line = line;
    view.start_column = start_column;
    return target->callback(target->user, &view) != 0 ? 1 : 0;
}

// Slot 9: a one-line plain block scalar.
int forward_plain(void *user, zarvel_text_span text, uint32_t line, uint32_t start_column, uint32_t) {
    return forward_scalar(user, text, line, start_column, ZARVEL_STYLE_PLAIN, false);
}

// Slot 10: a one-line scalar of a flow tree.
int forward_flow_scalar(void *user, zarvel_text_span text, uint32_t line, uint32_t start_column, uint32_t,
                        uint8_t style) {
    return forward_scalar(user, text, line, start_column, style, true);
}

// Slot 11: a collection start without properties, or a collection end.
int forward_collection(void *user, uint32_t kind, uint32_t line, uint32_t column, uint8_t flow) {
    auto *target = static_cast<push_target *>(user);
    zarvel_event_view &view = target->collection;
    view.kind = kind;
    view.flow = flow;
    view.start_line = line;
    view.start_column = column;
    return target->callback(target->user, &view) != 0 ? 1 : 0;
}

// Slot 12: an alias.
int forward_alias(void *user, zarvel_text_span name, uint32_t line, uint32_t column, uint8_t flow) {
    auto *target = static_cast<push_target *>(user);
    zarvel_event_view &view = target->alias;
    view.flow = flow;
    view.text = name.data;
    view.text_length = name.length;
    view.start_line = line;
    view.start_column = column;
    return target->callback(target->user, &view) != 0 ? 1 : 0;
}

// Frees the parser and the decoded text on every way out.
struct parser_owner {
    zarvel_parser *parser;
    char *decoded = nullptr;
    ~parser_owner() {
        zarvel_parser_free(parser);
        zvl::deallocate(&zarvel_default_allocator, decoded);
    }
};

}  // namespace

int zarvel_push_parse(const char *text, uint64_t length, zarvel_event_callback callback, void *user) {
    if (!callback || (!text && length != 0)) return ZARVEL_INVALID_ARGUMENT;
    if (!text) text = "";
    parser_owner owner{nullptr};
    // The events come from the text as zarvel_parse decodes it.
    if (int d = zarvel_decode_input(text, length, &owner.decoded, &text, &length)) return d;
    owner.parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!owner.parser) return ZARVEL_NO_MEMORY;
    // The public view carries no tag id.
    zarvel_parser_set_tag_ids(owner.parser, false);
    // Each text is valid only during its callback.
    zarvel_parser_set_transient_texts(owner.parser, true);

    push_target target{callback, user, {}, {}, {}};
    target.scalar.kind = ZARVEL_EVENT_SCALAR;
    target.alias.kind = ZARVEL_EVENT_ALIAS;
    zarvel_sink sink{};
    sink.event = forward_event;
    sink.plain = forward_plain;
    sink.flow_scalar = forward_flow_scalar;
    sink.collection = forward_collection;
    sink.alias = forward_alias;
    sink.user = &target;
    return zarvel_parser_run(owner.parser, text, length, &sink, true, true) == 0 ? ZARVEL_OK : ZARVEL_FAILED;
}
