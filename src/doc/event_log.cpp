// Event-log sink and replay. Recording is allocation-free apart from the
// growth of the word array: texts in the input are kept as offsets, texts
// elsewhere (the parser's arena, the block scanner's scratch) by address.
// The replay decodes each record and calls the matching slot of the direct
// composer.
#include "doc/event_log.hpp"

#include <cstring>

#include "doc/composer.hpp"
#include "doc/resolve.hpp"
#include "doc/tree_builder.hpp"

using namespace zvl::event_log;

namespace {

zarvel_event_log *log_of(void *user) { return static_cast<zarvel_event_log *>(user); }

bool in_input(const zarvel_event_log *log, const char *text, uint64_t length) {
    if (!log->input || text < log->input) return false;
    uint64_t offset = uint64_t(text - log->input);
    return offset <= log->input_len && length <= log->input_len - offset;
}

// True when a text of that length at that address is written in one word.
bool compact_fits(const zarvel_event_log *log, const char *text, uint64_t length) {
    return text && length < compact_limit && in_input(log, text, length) &&
           uint64_t(text - log->input) <= span_offset.ones();
}

uint64_t compact_word(const zarvel_event_log *log, const char *text, uint64_t length) {
    return compact_span(uint64_t(text - log->input), length);
}

// Appender over a small local record: collects a record's words and pushes
// them in one go, so that a refused growth never leaves half a record.
struct record_writer {
    uint64_t words[12] = {};
    uint32_t count = 1;
    zarvel_event_log *log;

    explicit record_writer(zarvel_event_log *l) : log(l) { words[0] = 0; }
    void word(uint64_t w) { words[count++] = w; }
    void span(const char *text, uint64_t length) {
        if (compact_fits(log, text, length)) {
            word(compact_word(log, text, length));
        } else {
            word(external_mark | length);
            word(length ? reinterpret_cast<uint64_t>(text) : 0);
            log->text_bytes += length;
        }
    }
    // Optional span: its field set to compact or external, or 0.
    uint64_t optional_span(const char *text, uint64_t length, field f) {
        if (length == 0) return 0;
        span(text, length);
        return f.put(compact_fits(log, text, length) ? span_compact : span_external);
    }
    // The anchor index, in the record or (index_word set) in a word of its own.
    uint64_t index(uint32_t value, field index_word) {
        if (value < big_anchor) return anchor_index.put(value);
        word(value);
        return anchor_index.put(big_anchor) | index_word.put(1);
    }
    bool push(uint64_t first) {
        words[0] = first;
        // The whole array in one fixed-size copy where it fits: a copy of
        // `count` words becomes a slow string move.
        if (log->word_cap - log->word_count < sizeof words / sizeof *words)
            return zarvel_event_log_push(log, words, count);
        std::memcpy(log->words + log->word_count, words, sizeof words);
        log->word_count += count;
        return true;
    }
};

// ---- sink slots -----------------------------------------------------------------

int log_event(void *user, const zarvel_event *event) {
    zarvel_event_log *log = log_of(user);
    uint32_t type = event->kind;
    if (type >= ZARVEL_EVENT_STREAM_START && type <= ZARVEL_EVENT_DOCUMENT_END) {
        if (!zarvel_event_log_push_event(log, type)) return -1;
        return 0;
    }
    if (type < ZARVEL_EVENT_SEQUENCE_START || type > ZARVEL_EVENT_ALIAS) return -1;
    if (type == ZARVEL_EVENT_SEQUENCE_START || type == ZARVEL_EVENT_MAPPING_START) {
        if (log->depth >= zarvel_store_max_depth) return -1;
    } else if (type == ZARVEL_EVENT_SEQUENCE_END || type == ZARVEL_EVENT_MAPPING_END) {
        if (log->depth == 0) return -1;
    }
    record_writer w(log);
    w.span(event->text.data, event->text.length);
    using namespace node_rec;
    uint64_t first = node_rec::type.put(type) | style.put(event->style) |
                     plain_implicit.put(event->plain_implicit != 0) | flow.put(event->flow != 0) |
                     multiline.put(event->multiline != 0) | verbatim.put(event->verbatim != 0) |
                     tag_id.put(event->tag_id);
    first |= w.optional_span(event->tag.data, event->tag.length, tag);
    first |= w.optional_span(event->anchor.data, event->anchor.length, anchor);
    first |= w.index(event->anchor_id, index_word);
    if (!w.push(first_word(record_node_event, first))) return -1;
    if (type == ZARVEL_EVENT_SEQUENCE_START || type == ZARVEL_EVENT_MAPPING_START)
        log->depth += 1;
    else if (type == ZARVEL_EVENT_SEQUENCE_END || type == ZARVEL_EVENT_MAPPING_END)
        log->depth -= 1;
    return 0;
}

int log_flow_raw(void *user, const char *input, uint64_t open_offset, uint64_t input_size, uint32_t, uint64_t,
                 zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id, uint32_t max_depth,
                 uint64_t *close_offset) {
    zarvel_event_log *log = log_of(user);
    uint32_t before = log->word_count;
    int result =
        zarvel_flow_recorder(log, input, open_offset, input_size, anchor, tag, anchor_id, max_depth, close_offset);
    log->saved_count = before;
    return result;
}

int log_flow_commit(void *, uint64_t) { return 1; }

void log_flow_cancel(void *user) {
    zarvel_event_log *log = log_of(user);
    log->word_count = log->saved_count;
}

int log_pair(void *user, zarvel_text_span key, const zarvel_pair_value *value, uint32_t, uint32_t, uint32_t) {
    zarvel_event_log *log = log_of(user);
    record_writer w(log);
    using namespace pair_rec;
    uint64_t kind = value->kind == ZARVEL_PAIR_ALIAS      ? value_alias
                    : value->kind == ZARVEL_PAIR_ANCHORED ? value_anchored
                                                          : value_plain;
    uint64_t first = value_kind.put(kind);
    w.span(key.data, key.length);
    w.span(value->text.data, value->text.length);
    if (value->verbatim && in_input(log, value->text.data, value->text.length)) first |= value_in_input.put(1);
    uint32_t index = 0;
    if (kind == value_anchored) {
        first |= w.optional_span(value->anchor.data, value->anchor.length, anchor);
        index = value->anchor_id;
    } else if (kind == value_alias) {
        index = value->alias_target;
    }
    first |= w.index(index, index_word);
    return w.push(first_word(record_pair, first)) ? 1 : -1;
}

int log_pair_flow(void *user, zarvel_text_span key, uint32_t, uint32_t) {
    zarvel_event_log *log = log_of(user);
    if (log->depth >= zarvel_store_max_depth) return 0;
    bool ok;
    if (compact_fits(log, key.data, key.length)) {
        uint64_t w = first_word(record_pair_flow, compact_word(log, key.data, key.length));
        ok = zarvel_event_log_push(log, &w, 1);
    } else {
        record_writer w(log);
        w.span(key.data, key.length);
        ok = w.push(first_word(record_scalar, scalar_rec::pair_flow_external));
    }
    if (!ok) return -1;
    log->depth += 1;
    return 1;
}

int log_scalar_value(void *user, const zarvel_scalar_value *value) {
    zarvel_event_log *log = log_of(user);
    if (value->verbatim && compact_fits(log, value->text.data, value->text.length)) {
        uint64_t w = first_word(record_scalar_value, compact_word(log, value->text.data, value->text.length));
        return zarvel_event_log_push(log, &w, 1) ? 1 : -1;
    }
    record_writer w(log);
    w.span(value->text.data, value->text.length);
    return w.push(first_word(record_scalar, scalar_rec::value_external)) ? 1 : -1;
}

int log_scalar(void *user, const zarvel_text_span *text, const zarvel_text_span *tag, const zarvel_text_span *anchor,
               uint32_t anchor_id, uint8_t tag_id, uint8_t style, uint8_t plain_implicit, uint8_t flow,
               uint8_t verbatim) {
    zarvel_event_log *log = log_of(user);
    record_writer w(log);
    w.span(text ? text->data : nullptr, text ? text->length : 0);
    uint64_t first = scalar_rec::tag_id.put(tag_id) | scalar_rec::style.put(style) |
                     scalar_rec::plain_implicit.put(plain_implicit != 0) | scalar_rec::flow.put(flow != 0) |
                     scalar_rec::verbatim.put(verbatim != 0);
    if (tag) first |= w.optional_span(tag->data, tag->length, scalar_rec::tag);
    if (anchor) first |= w.optional_span(anchor->data, anchor->length, scalar_rec::anchor);
    first |= w.index(anchor_id, scalar_rec::index_word);
    return w.push(first_word(record_scalar, first)) ? 0 : -1;
}

// ---- replay -----------------------------------------------------------------------

// Sequential reader over the words; every read checks the bounds, so a
// truncated or corrupt log fails instead of reading past the end.
struct log_reader {
    const zarvel_event_log *log;
    uint32_t at = 0;
    bool failed = false;

    bool done() const { return at >= log->word_count; }
    uint64_t word() {
        if (at >= log->word_count) {
            failed = true;
            return 0;
        }
        return log->words[at++];
    }
    zarvel_text_span span() {
        uint64_t first = word();
        if (failed) return {nullptr, 0};
        uint64_t top = kind.get(first);
        if (top == 0) {
            uint64_t offset = span_offset.get(first);
            uint64_t length = span_length.get(first);
            if (!log->input || offset > log->input_len || length > log->input_len - offset) {
                failed = true;
                return {nullptr, 0};
            }
            return {log->input + offset, uint32_t(length)};
        }
        if (top != external_kind) {
            failed = true;
            return {nullptr, 0};
        }
        uint64_t length = below_kind.get(first);
        uint64_t address = word();
        if (failed || length > 0xFFFFFFFFu || (length && !address)) {
            failed = true;
            return {nullptr, 0};
        }
        return {reinterpret_cast<const char *>(address), uint32_t(length)};
    }
    zarvel_text_span optional_span(uint64_t first, field f) {
        if (f.in(first)) return span();
        return {nullptr, 0};
    }
    uint32_t index(uint64_t first, field index_word) {
        uint32_t index = uint32_t(anchor_index.get(first));
        if (index_word.in(first)) {
            uint64_t w = word();
            if (w > 0xFFFFFFFFu) failed = true;
            index = uint32_t(w);
        }
        return index;
    }
};

bool verbatim_span(const zarvel_event_log *log, zarvel_text_span text) {
    return text.length == 0 || in_input(log, text.data, text.length);
}

int replay_record(zarvel_node_store *store, const zarvel_event_log *log, log_reader &r, zvl::children_fill *fill) {
    uint64_t first = r.word();
    switch (kind.get(first)) {
    case record_event: {
        zarvel_event event{};
        event.kind = uint32_t(event_rec::type.get(first));
        if (event.kind < ZARVEL_EVENT_STREAM_START || event.kind > ZARVEL_EVENT_DOCUMENT_END) return -1;
        return zarvel_composer_event(store, &event);
    }
    case record_node_event: {
        zarvel_event event{};
        using namespace node_rec;
        event.kind = uint32_t(node_rec::type.get(first));
        event.style = uint8_t(style.get(first));
        event.plain_implicit = uint8_t(plain_implicit.get(first));
        event.flow = uint8_t(flow.get(first));
        event.multiline = uint8_t(multiline.get(first));
        event.verbatim = uint8_t(verbatim.get(first));
        event.tag_id = uint8_t(tag_id.get(first));
        if (bare.in(first)) {
            if ((first & followers) != 0) return -1;
        } else {
            event.text = r.span();
            event.tag = r.optional_span(first, tag);
            event.anchor = r.optional_span(first, anchor);
            event.anchor_id = r.index(first, index_word);
        }
        if (r.failed || event.kind < ZARVEL_EVENT_SEQUENCE_START) return -1;
        return zarvel_composer_event(store, &event);
    }
    case record_scalar: {
        using namespace scalar_rec;
        uint64_t low = below_kind.get(first);
        if (low == value_external || low == pair_flow_external) {
            zarvel_text_span text = r.span();
            if (r.failed) return -1;
            if (low == pair_flow_external) return zarvel_composer_pair_flow(store, text, 0, 0) == 1 ? 0 : -1;
            zarvel_scalar_value value{};
            value.text = text;
            value.verbatim = verbatim_span(log, text) ? 1 : 0;
            return zarvel_composer_scalar_value(store, &value) == 1 ? 0 : -1;
        }
        zarvel_text_span text = r.span();
        zarvel_text_span tag_span = r.optional_span(first, tag);
        zarvel_text_span anchor_span = r.optional_span(first, anchor);
        uint32_t index = r.index(first, index_word);
        if (r.failed) return -1;
        return zarvel_composer_scalar(store, &text, &tag_span, &anchor_span, index, uint8_t(tag_id.get(first)),
                                      uint8_t(style.get(first)), uint8_t(plain_implicit.get(first)),
                                      uint8_t(flow.get(first)), uint8_t(verbatim.get(first)));
    }
    case record_scalar_value: {
        zarvel_scalar_value value{};
        uint64_t offset = span_offset.get(first);
        uint64_t length = span_length.get(first);
        if (offset > log->input_len || length > log->input_len - offset) return -1;
        value.text = {log->input + offset, uint32_t(length)};
        value.verbatim = 1;
        return zarvel_composer_scalar_value(store, &value) == 1 ? 0 : -1;
    }
    case record_pair: {
        using namespace pair_rec;
        zarvel_pair_value value{};
        uint64_t kind = value_kind.get(first);
        // Flow pairs are composed by the fast replay only.
        if (flow.in(first)) return -1;
        zarvel_text_span key = r.span();
        value.text = r.span();
        value.verbatim = uint8_t(value_in_input.get(first));
        value.anchor = r.optional_span(first, anchor);
        uint32_t index = r.index(first, index_word);
        if (r.failed) return -1;
        value.style = ZARVEL_STYLE_PLAIN;
        value.plain_implicit = 1;
        if (kind == value_alias) {
            value.kind = ZARVEL_PAIR_ALIAS;
            value.alias_target = index;
        } else if (kind == value_anchored) {
            value.kind = ZARVEL_PAIR_ANCHORED;
            value.anchor_id = index;
        } else {
            value.kind = ZARVEL_PAIR_SCALAR;
        }
        // A pair the composer declines (unresolved alias) cannot be replayed.
        return zarvel_composer_pair(store, key, &value, 0, 0, 0) == 1 ? 0 : -1;
    }
    case record_pair_flow: {
        uint64_t offset = span_offset.get(first);
        uint64_t length = span_length.get(first);
        if (offset > log->input_len || length > log->input_len - offset) return -1;
        zarvel_text_span key = {log->input + offset, uint32_t(length)};
        return zarvel_composer_pair_flow(store, key, 0, 0) == 1 ? 0 : -1;
    }
    case record_flow_raw: {
        uint64_t where = r.word();
        zarvel_text_span tag = r.optional_span(first, flow_rec::tag);
        zarvel_text_span anchor = r.optional_span(first, flow_rec::anchor);
        uint32_t index = r.index(first, flow_rec::index_word);
        if (r.failed) return -1;
        uint64_t offset = flow_rec::open_offset.get(where);
        uint64_t size = flow_rec::input_size.get(where);
        if (size > log->input_len || offset >= size) return -1;
        uint64_t end = 0;
        if (zvl::flow_compose(store, log->input, offset, size, anchor, tag, index, log->flow_budget, &end, fill) != 1)
            return -1;
        return zarvel_composer_flow_commit(store, size) == 1 ? 0 : -1;
    }
    default: return -1;
    }
}

}  // namespace

bool zarvel_event_log_init(zarvel_event_log *log, const char *input, uint64_t length) {
    std::memset(static_cast<void *>(log), 0, sizeof *log);
    uint64_t capacity = length >= 0x1FFFFFF80ull ? 0xFFFFFFFFull : length / 2 + 64;
    log->words = static_cast<uint64_t *>(zvl::allocate(&zarvel_default_allocator, capacity * sizeof(uint64_t)));
    if (!log->words) return false;
    log->word_cap = uint32_t(capacity);
    log->input = input;
    log->input_len = length;
    return true;
}

void zarvel_event_log_reset(zarvel_event_log *log) {
    log->word_count = 0;
    log->depth = 0;
    log->doc_count = 0;
    log->overflow = 0;
    log->saved_count = 0;
    log->flow_bytes = 0;
    log->text_bytes = 0;
}

void zarvel_event_log_release(zarvel_event_log *log) {
    if (!log) return;
    zvl::deallocate(&zarvel_default_allocator, log->words);
    log->words = nullptr;
    log->word_count = log->word_cap = 0;
}

bool zarvel_event_log_grow(zarvel_event_log *log, uint32_t count) {
    uint64_t wanted = uint64_t(log->word_count) + count;
    while (wanted > log->word_cap) {
        // The log may reach about four words per input byte; nothing real
        // needs more, so the limit stops runaway inputs.
        uint64_t grown = uint64_t(log->word_cap) * 2;
        uint64_t limit = log->input_len * 4 + 256;
        if (grown > limit) grown = limit;
        if (grown > 0xFFFFFFFFu) grown = 0xFFFFFFFFu;
        if (log->overflow || grown <= log->word_cap) {
            log->overflow = 1;
            return false;
        }
        auto *fresh = static_cast<uint64_t *>(zvl::allocate(&zarvel_default_allocator, grown * sizeof(uint64_t)));
        if (!fresh) {
            // A failed allocation is not a refusal: a later push may try again.
            return false;
        }
        if (log->word_count) std::memcpy(fresh, log->words, log->word_count * sizeof(uint64_t));
        zvl::deallocate(&zarvel_default_allocator, log->words);
        log->words = fresh;
        log->word_cap = uint32_t(grown);
    }
    return true;
}

bool zarvel_event_log_push_span(zarvel_event_log *log, const char *text, uint64_t length) {
    record_writer w(log);
    w.count = 0;
    w.span(text, length);
    return zarvel_event_log_push(log, w.words, w.count);
}

bool zarvel_event_log_push_event(zarvel_event_log *log, uint32_t type) {
    uint64_t w = first_word(record_event, event_rec::type.put(type));
    if (!zarvel_event_log_push(log, &w, 1)) return false;
    if (type == ZARVEL_EVENT_DOCUMENT_START) log->doc_count += 1;
    return true;
}

bool zarvel_event_log_push_flow(zarvel_event_log *log, uint64_t open, uint64_t size, zarvel_text_span tag,
                                zarvel_text_span anchor, uint32_t anchor_id) {
    record_writer w(log);
    w.word(flow_rec::open_offset.put(open) | flow_rec::input_size.put(size));
    uint64_t first = w.optional_span(tag.data, tag.length, flow_rec::tag);
    first |= w.optional_span(anchor.data, anchor.length, flow_rec::anchor);
    first |= w.index(anchor_id, flow_rec::index_word);
    return w.push(first_word(record_flow_raw, first));
}

zarvel_sink zarvel_event_log_sink(zarvel_event_log *log) {
    zarvel_sink sink{};
    sink.event = log_event;
    sink.user = log;
    sink.flow_raw = log_flow_raw;
    sink.flow_commit = log_flow_commit;
    sink.flow_cancel = log_flow_cancel;
    sink.pair = log_pair;
    sink.pair_flow = log_pair_flow;
    sink.scalar_value = log_scalar_value;
    sink.scalar = log_scalar;
    return sink;
}

// Nothing made, nodes made in the open collection (at most a pair), a
// collection opened (maybe with its first key) or closed; a flow collection
// built whole, its own children filled, leaves only its root, made first.
void zvl::children_fill::general(uint64_t record, uint32_t made, uint32_t depth, uint32_t top) {
    const uint32_t now = store->node_count;
    if (!index.ids) return;
    if (record == record_flow_raw) return child(depth, made);
    if (store->depth + 1 == depth && now == made) return closed(top);
    bool opened = store->depth == depth + 1;
    if ((!opened && store->depth != depth) || (opened && now == made) || now - made > 2) return drop();
    for (uint32_t id = made; id < now; ++id) child(id == made ? depth : store->depth, id);
}

namespace {

// The common records of block YAML (plain scalars and pairs in the input,
// collections without tag or anchor) are composed here straight from their
// words, with exactly the nodes the composer's slots make for them; every
// other record, and any record whose words look unusual, goes through
// replay_record.
struct fast_replay {
    zarvel_node_store *store;
    const zarvel_event_log *log;
    const zarvel_resolver *resolver;
    zvl::children_fill fill;

    // A compact span word inside the input; false for anything else.
    bool compact(uint64_t word, zarvel_text_span *out) const {
        if (kind.get(word) != 0) return false;
        uint64_t offset = span_offset.get(word);
        uint64_t length = span_length.get(word);
        if (offset > log->input_len || length > log->input_len - offset) return false;
        *out = {log->input + offset, uint32_t(length)};
        return true;
    }
    // A plain scalar's text (in place) and tag id; false when it cannot be stored.
    bool plain_text(zarvel_text_span text, zarvel_span *value, uint8_t *tag_id) {
        *tag_id = resolver->text(nullptr, text.data, text.length);
        *value = zarvel_store_put_text(store, text.data, text.length, true);
        return text.length == 0 || *value != zarvel_span_failed;
    }
    // Words used by the record at `at` when it was composed here, 0 when it
    // must take the general way, -1 on failure.
    int64_t step(const uint64_t *w, uint32_t at, uint32_t end) {
        uint64_t first = w[at];
        switch (kind.get(first)) {
        case record_scalar_value: {
            zarvel_text_span text;
            if (!compact(below_kind.get(first), &text)) return 0;
            zarvel_span value;
            uint8_t tag_id;
            if (!plain_text(text, &value, &tag_id)) return -1;
            return made(zvl::tree::scalar(store, zvl::tree::plain_flags, tag_id, value), 1);
        }
        case record_scalar: {
            // Keys whose value follows on later lines and quoted scalars: a
            // compact text and no tag, anchor or index words.
            using namespace scalar_rec;
            uint64_t low = below_kind.get(first);
            if ((low & ~plain_fields) != 0 || end - at < 2) return 0;
            zarvel_text_span text;
            if (!compact(w[at + 1], &text)) return 0;
            zarvel_span value = zarvel_store_put_text(store, text.data, text.length, verbatim.in(low));
            if (text.length && value == zarvel_span_failed) return -1;
            uint8_t flags =
                zvl::node_flag::make(ZARVEL_KIND_SCALAR, uint8_t(style.get(low)), flow.in(low), plain_implicit.in(low));
            return made(zvl::tree::scalar(store, flags, uint8_t(tag_id.get(low)), value), 2);
        }
        case record_pair: {
            // Plain value in the input, no anchor words.
            using namespace pair_rec;
            uint64_t kind = value_kind.get(first);
            if (kind == value_alias || kind == value_anchored) return 0;
            uint64_t layout = first & (value_in_input.mask() | anchor.mask() | index_word.mask());
            if (layout != value_in_input.mask() || end - at < 3) return 0;
            zarvel_text_span key, value;
            if (!compact(w[at + 1], &key) || !compact(w[at + 2], &value)) return 0;
            zarvel_span key_text, value_text;
            uint8_t key_tag, value_tag;
            if (!plain_text(key, &key_text, &key_tag) || !plain_text(value, &value_text, &value_tag)) return -1;
            const uint8_t flags = flow.in(first)
                                      ? zvl::node_flag::make(ZARVEL_KIND_SCALAR, ZARVEL_NODE_STYLE_PLAIN, true, true)
                                      : zvl::tree::plain_flags;
            if (!zvl::tree::pair(store, flags, key_tag, key_text, flags, value_tag, value_text)) return -1;
            fill.child(store->depth, store->node_count - 2);
            return made(store->node_count - 1, 3);
        }
        case record_node_event: {
            using namespace node_rec;
            uint32_t type = uint32_t(node_rec::type.get(first));
            if (type == ZARVEL_EVENT_ALIAS) {
                // Its name in the input, its anchor index in the first word.
                zarvel_text_span name;
                if ((first & (followers & ~anchor_index.mask())) != 0 || bare.in(first) || end - at < 2 ||
                    !compact(w[at + 1], &name))
                    return 0;
                zarvel_span text = zarvel_store_put_text(store, name.data, name.length, true);
                if (name.length && text == zarvel_span_failed) return -1;
                uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_ALIAS, uint8_t(style.get(first)), flow.in(first),
                                                     plain_implicit.in(first));
                uint32_t index = uint32_t(anchor_index.get(first));
                if (made(zvl::tree::alias(store, flags, uint8_t(tag_id.get(first)), text, index), 2) < 0) return -1;
                return 2 + alias_items(w, at + 2, end);
            }
            bool opens = type == ZARVEL_EVENT_SEQUENCE_START || type == ZARVEL_EVENT_MAPPING_START;
            if (opens && anchor.get(first) == span_compact && (first & (tag.mask() | index_word.mask())) == 0 &&
                !bare.in(first)) {
                // An anchored collection: its (empty) text and its anchor
                // name in the input, its anchor index in the first word.
                zarvel_text_span name;
                if (end - at < 3 || kind.get(w[at + 1]) != 0 || !compact(w[at + 2], &name)) return 0;
                if (!zvl::tree::may_open(store)) return -1;
                zarvel_span anchor_text = zarvel_store_put_text(store, name.data, name.length, verbatim.in(first));
                if (name.length && anchor_text == zarvel_span_failed) return -1;
                uint8_t flags = zvl::node_flag::make(
                    type == ZARVEL_EVENT_SEQUENCE_START ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING,
                    uint8_t(style.get(first)), flow.in(first), plain_implicit.in(first));
                uint32_t id = zvl::tree::add(store, flags, uint8_t(tag_id.get(first)), 0, 0, anchor_text);
                if (id == zarvel_node_none || !zvl::tree::anchor(store, uint32_t(anchor_index.get(first)), id))
                    return -1;
                if (!zvl::tree::attach(store, id)) return -1;
                fill.child(store->depth, id);
                return zvl::tree::push(store, id) ? 3 : -1;
            }
            // No tag, no anchor, no index word; no value words, or an empty
            // external value.
            if ((first & followers) != 0) return 0;
            int64_t used = 1;
            if (!bare.in(first)) {
                if (end - at < 3 || w[at + 1] != external_mark || w[at + 2] != 0) return 0;
                used = 3;
            }
            if (type == ZARVEL_EVENT_SEQUENCE_END || type == ZARVEL_EVENT_MAPPING_END) {
                if (store->depth == 0) return -1;
                fill.closed(store->open_stack[store->depth - 1]);
                return zvl::tree::close(store) ? used : -1;
            }
            if (type != ZARVEL_EVENT_SEQUENCE_START && type != ZARVEL_EVENT_MAPPING_START) return 0;
            uint8_t kind = type == ZARVEL_EVENT_SEQUENCE_START ? ZARVEL_KIND_SEQUENCE : ZARVEL_KIND_MAPPING;
            uint8_t flags =
                zvl::node_flag::make(kind, uint8_t(style.get(first)), flow.in(first), plain_implicit.in(first));
            uint32_t id = zvl::tree::open(store, flags, uint8_t(tag_id.get(first)));
            return id == zarvel_node_none ? -1 : made(id, used, store->depth - 1);
        }
        default: return 0;
        }
    }
    // Words used by the run of alias records from `at` that are items of
    // the open sequence, each the one word of its kind and its name in the
    // input: made as the alias case above makes them, linked at once.
    uint32_t alias_items(const uint64_t *w, uint32_t at, uint32_t end) {
        using namespace node_rec;
        const uint32_t depth = store->depth;
        if (depth == 0 || store->open_is_map[depth - 1] || store->child_cache_node != zarvel_node_none ||
            store->child_cursors || store->child_index)
            return 0;
        const uint32_t parent = store->open_stack[depth - 1];
        zarvel_node_rec *const nodes = store->nodes;
        const uint64_t shape = kind.mask() | type.mask() | (followers & ~anchor_index.mask()) | bare.mask();
        const uint64_t alias_shape = kind.put(record_node_event) | type.put(ZARVEL_EVENT_ALIAS);
        // The store's fields in locals: the record stores could alias them.
        const uint32_t *const anchors = store->anchors;
        const uint32_t anchor_max = store->anchor_max, cap = store->node_cap;
        zarvel_node_props *const props = store->props;
        const uint64_t input_len = log->input_len;
        uint32_t from = at, id = store->node_count, last = nodes[parent].last_child;
        while (end - at >= 2 && (w[at] & shape) == alias_shape && kind.get(w[at + 1]) == 0 && id < cap) {
            const uint64_t first = w[at], name = w[at + 1];
            const uint64_t offset = span_offset.get(name), length = span_length.get(name);
            const uint32_t index = uint32_t(anchor_index.get(first));
            if (offset > input_len || length > input_len - offset || offset > zarvel_span_max_offset || index == 0 ||
                index > anchor_max || anchors[index - 1] == zarvel_node_none)
                break;
            const uint8_t flags = zvl::node_flag::make(ZARVEL_KIND_ALIAS, uint8_t(style.get(first)), flow.in(first),
                                                       plain_implicit.in(first));
            if (props) props[id] = {0, 0};
            const zarvel_span text = length ? zarvel_span_make(uint32_t(offset), uint32_t(length), false) : 0;
            __builtin_prefetch(&nodes[id] + 8, 1);
            zvl::tree::put_record(&nodes[id], zvl::tree::head_word(flags, uint8_t(tag_id.get(first))),
                                  zvl::tree::no_links, text);
            nodes[id].alias_target = anchors[index - 1];
            if (last == zarvel_node_none)
                nodes[parent].first_child = id;
            else
                nodes[last].next_sibling = id;
            last = id;
            fill.child(depth, id);
            ++id;
            at += 2;
        }
        if (at == from) return 0;
        nodes[parent].last_child = last;
        nodes[parent].child_count += (at - from) / 2;
        store->node_count = id;
        return at - from;
    }
    // `used`, after node `id` made at `depth`; -1 when it was not made.
    int64_t made(uint32_t id, int64_t used) { return made(id, used, store->depth); }
    int64_t made(uint32_t id, int64_t used, uint32_t depth) {
        if (id == zarvel_node_none) return -1;
        fill.child(depth, id);
        return used;
    }
};

}  // namespace

int zarvel_event_log_replay(zarvel_node_store *store, const zarvel_event_log *log) {
    if (!store || !log || !log->words) return -1;
    store->input = log->input;
    store->input_len = log->input_len;
    // A record makes at most two nodes a word outside flow collections, and
    // block records mostly one: a table sized by the words is rarely grown
    // and much smaller than one sized by the input.
    uint64_t nodes = uint64_t(log->word_count) + log->flow_bytes / 2 + 64;
    if (!zarvel_store_reserve_nodes(store, log->input_len, nodes)) return -1;
    // The texts outside the input are copied into the store: storage for all
    // of them at once, not grown (and copied, and faulted in) step by step.
    // Refused, the copies grow it as they go.
    if (log->text_bytes) zarvel_store_strings_reserve(store, log->text_bytes);
    fast_replay fast{store, log, store->resolver ? store->resolver : &zarvel_core_resolver, {store, {}}};
    zvl::children_fill &fill = fast.fill;
    if (store->node_count == 0 && !store->child_index && !store->child_index_off) fill.start();
    const uint64_t *words = log->words;
    const uint32_t end = log->word_count;
    log_reader reader{log};
    while (reader.at < end) {
        const uint32_t at = reader.at;
        int64_t used = fast.step(words, at, end);
        if (used > 0) {
            reader.at += uint32_t(used);
            continue;
        }
        const uint32_t made = store->node_count, depth = store->depth;
        const uint32_t top = depth ? store->open_stack[depth - 1] : zarvel_node_none;
        if (used < 0 || replay_record(store, log, reader, &fill) < 0 || reader.failed) {
            fill.drop();
            return -1;
        }
        fill.general(kind.get(words[at]), made, depth, top);
    }
    // Every collection closed, every pushed child placed: the index is whole.
    if (store->depth != 0) fill.drop();
    fill.index.finish(store);
    return 0;
}

namespace {

int build_from_log(zarvel_node_store *store, const zarvel_document *document) {
    store->resolver = document->schema == 1 ? &zarvel_yaml11_resolver : &zarvel_core_resolver;
    return zarvel_event_log_replay(store, static_cast<const zarvel_event_log *>(document->source));
}

void release_log(const zarvel_allocator *allocator, void *source) {
    auto *log = static_cast<zarvel_event_log *>(source);
    zarvel_event_log_release(log);
    zvl::deallocate(allocator, log);
}

}  // namespace

// Replay copies every text that lay outside the input, so the scratch arena
// goes with the log.
const zarvel_source_ops zarvel_event_log_source = {build_from_log, release_log, true, nullptr};
