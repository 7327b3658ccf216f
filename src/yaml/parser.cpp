// The event parser, block side. Shape of the algorithm:
//
//   run ──► for each line:  classify (scanner, cached per line)
//             directive      → prologue bookkeeping
//             "---" / "..."  → close levels, end/start documents
//             blank/comment  → skip
//             content        → line_content: settle the pending node, close
//                              deeper levels, then node_at at the content
//           end of text      → close everything, end document and stream
//
// Block structure is a stack of levels (mapping or sequence, with the column
// of their entries) plus one pending node: what the last indicator ("key:",
// "- ", "? ", "---") expects next. node_at reads properties and one node at
// the cursor; a node followed by ':' is a key and opens or continues a
// mapping at its column. Indicators chain on one line ("- - a: b") by calling
// node_at again after them. Flow collections are handed to parse_flow
// (parser_flow.cpp), whose events are held until the key question is settled.
//
// Shortcut sink slots: flow_raw for flow collections in block context,
// pair for "key: scalar" lines, pair_flow for "key: [" opening a mapping,
// scalar_value for plain block values, scalar for every scalar event.
#include <cstring>

#include "yaml/decode.hpp"
#include "yaml/messages.hpp"
#include "yaml/parser_state.hpp"

using namespace zvl::yaml;

namespace {

constexpr uint64_t flow_raw_minimum = 24;  // below this the shortcut cannot pay off

bool is_entry_at(const scanner &s, uint64_t at) {
    return at < s.size && s.text[at] == '-' && s.blank_or_end_at(at + 1);
}

inline __attribute__((always_inline)) bool can_start_block_plain(const scanner &s, uint64_t at) {
    char c = s.text[at];
    if (!has_class(c, cc_indicator)) return true;
    if (c == '-' || c == '?' || c == ':') return !s.blank_or_end_at(at + 1);
    return false;
}

// A block sequence may sit at its mapping's own indentation when it is a
// value or an explicit key ("key:\n- a", "?\n- a\n:\n- b").
bool sequence_may_share_indent(node_origin origin) {
    return origin == node_origin::value || origin == node_origin::explicit_key || origin == node_origin::explicit_value;
}

bool merge_properties(properties &into, const properties &more) {
    if ((into.has_anchor && more.has_anchor) || (into.has_tag && more.has_tag)) return false;
    if (into.empty()) into.offset = more.offset;
    if (more.has_anchor) {
        into.anchor = more.anchor;
        into.has_anchor = true;
    }
    if (more.has_tag) {
        into.tag = more.tag;
        into.has_tag = true;
    }
    into.line = more.line;
    return true;
}

}  // namespace

namespace zvl::yaml {

// Block-side handlers; free functions over the parser state keep the struct small.
struct block_parser {
    zarvel_parser &p;
    scanner &s;

    explicit block_parser(zarvel_parser &parser)
        : p(parser), s(parser.scan), plain_slot(parser.sink->plain), sink_user(parser.sink->user) {}

    // Sink slot 9. Block lines are never read while a flow tree is held or
    // checked, so the quick lines that use it need not ask.
    int (*plain_slot)(void *, zarvel_text_span, uint32_t, uint32_t, uint32_t);
    void *sink_user;
    bool line_done = false;  // a quick line left the cursor at its end or comment

    uint64_t explicit_after = UINT64_MAX;  // first byte after the last "? " indicator

    int32_t enclosing() const { return p.levels.empty() ? -1 : p.levels.back().indent; }

    // ---- completion and levels ------------------------------------------
    void complete(node_origin origin) {
        if (origin == node_origin::root) {
            p.doc_has_root = true;
            return;
        }
        if (p.levels.empty()) return;
        block_level &top = p.levels.back();
        if (origin == node_origin::value || origin == node_origin::explicit_value) {
            top.value_pending = false;
            top.explicit_key = false;
        } else if (origin == node_origin::explicit_key) {
            top.value_pending = true;
            top.explicit_key = true;
        }
    }

    bool close_top() {
        block_level level = p.levels.back();
        if (level.mapping && level.value_pending && !p.emit_empty(properties{}, ZARVEL_STYLE_PLAIN, false, s.pos))
            return false;
        if (!p.emit_edge(level.mapping ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END, s.pos)) return false;
        p.levels.pop_back();
        complete(level.origin);
        return true;
    }

    bool close_all() {
        while (!p.levels.empty())
            if (!close_top()) return false;
        return true;
    }

    bool settle_pending(uint64_t offset) {
        if (!p.pending.active) return true;
        pending_node pending = p.pending;
        p.pending.active = false;
        uint8_t style =
            pending.origin == node_origin::root && pending.props.empty() ? ZARVEL_STYLE_NONE : ZARVEL_STYLE_PLAIN;
        if (!p.emit_empty(pending.props, style, false, offset)) return false;
        complete(pending.origin);
        return true;
    }

    void expect(node_origin origin, int32_t parent_indent) {
        // Properties are only ever merged in non-empty, so empty ones are
        // still all zero: most lines need not clear them.
        if (!p.pending.props.empty()) p.pending.props = properties{};
        p.pending.prop_levels = 0;
        p.pending.active = true;
        p.pending.origin = origin;
        p.pending.parent_indent = parent_indent;
    }

    // Opens a block collection at column col with the pending node's
    // properties; the pending node becomes that collection.
    bool open_block(bool mapping, uint64_t at, bool emit_start = true) {
        uint32_t prop_levels = p.pending.active ? p.pending.prop_levels : 0;
        if (p.levels.size() + prop_levels >= p.max_depth) return p.fail(ZARVEL_ERR_TOO_DEEP, at);
        uint16_t col = static_cast<uint16_t>(at - s.line_start);
        block_level level{};
        level.indent = col;
        level.mapping = mapping;
        level.origin = p.pending.active ? p.pending.origin : node_origin::root;
        level.under_key = !mapping && p.pending.active && sequence_may_share_indent(p.pending.origin) &&
                          static_cast<int32_t>(col) == p.pending.parent_indent;
        properties props = p.pending.active ? p.pending.props : properties{};
        p.pending.active = false;
        if (emit_start && props.empty()) {
            if (!p.emit_edge(mapping ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START, at,
                             static_cast<uint8_t>(mapping ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ)))
                return false;
        } else if (emit_start) {
            zarvel_event e = p.node_event(mapping ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START, at);
            if (!p.apply_properties(e, props)) return false;
            e.tag_id = props.has_tag ? zarvel_tag_id_of(props.tag.data, props.tag.length)
                                     : static_cast<uint8_t>(mapping ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ);
            if (!p.emit(e)) return false;
        }
        if (!p.levels.push_back(level)) return p.fail(ZARVEL_ERR_NO_MEMORY, at);
        return true;
    }

    // ---- the node at the cursor -------------------------------------------
    bool after_indicator(node_origin origin, int32_t parent_indent, bool value_line) {
        expect(origin, parent_indent);
        uint64_t from = s.pos;
        s.skip_blanks();
        if (s.at_line_end_or_comment()) return true;
        node_context ctx;
        ctx.value_line = value_line;
        // The blanks just skipped: usually one space, not worth a library call.
        for (uint64_t i = from; i < s.pos; ++i) ctx.tab_separated |= s.text[i] == '\t';
        return node_at(ctx);
    }

    bool node_at(node_context ctx) {
        uint64_t node_start = s.pos;
        properties line_props;
        if (!s.scan_properties(line_props, false)) return false;
        if (s.at_line_end_or_comment()) {
            // Properties alone on their line: the node follows on later lines.
            if (ctx.existing_map || !p.pending.active)
                return p.fail(ZARVEL_ERR_FAILED, node_start, message::properties_alone);
            if (!merge_properties(p.pending.props, line_props))
                return p.fail(ZARVEL_ERR_FAILED, node_start, message::two_properties);
            // A line of nothing but properties nests the node one level deeper.
            if (node_start == s.current_line().content) {
                if (p.levels.size() + p.pending.prop_levels >= p.max_depth)
                    return p.fail(ZARVEL_ERR_TOO_DEEP, node_start);
                ++p.pending.prop_levels;
            }
            return true;
        }
        uint64_t at = s.pos;
        char c = s.text[at];
        bool has_line_props = !line_props.empty();

        // A block collection nested on its parent's line needs space indentation.
        if (ctx.tab_separated && ((c == '-' || c == '?') && s.blank_or_end_at(at + 1)))
            return p.fail(ZARVEL_ERR_TAB_INDENT, at);
        if (c == '-' && s.blank_or_end_at(at + 1)) {
            if (ctx.value_line || has_line_props || ctx.existing_map)
                return p.fail(ZARVEL_ERR_FAILED, at, message::entry_not_here);
            if (!open_block(false, at)) return false;
            s.pos = at + 1;
            return after_indicator(node_origin::entry, static_cast<int32_t>(at - s.line_start), false);
        }
        if (c == '?' && s.blank_or_end_at(at + 1)) {
            if (ctx.value_line || has_line_props) return p.fail(ZARVEL_ERR_FAILED, at, message::explicit_key_not_here);
            if (!ctx.existing_map && !open_block(true, at)) return false;
            s.pos = at + 1;
            explicit_after = at + 1;
            while (explicit_after < s.size && is_blank(s.text[explicit_after])) ++explicit_after;
            return after_indicator(node_origin::explicit_key, p.levels.back().indent, false);
        }
        if (c == ':' && s.blank_or_end_at(at + 1) && p.pending.active &&
            p.pending.origin == node_origin::explicit_key && at == explicit_after) {
            // "? :" alone: an empty key, then its value indicator.
            s.pos = at + 1;
            s.skip_blanks();
            if (s.at_line_end_or_comment()) {
                if (!p.emit_empty(line_props, ZARVEL_STYLE_PLAIN, false, at)) return false;
                p.pending.active = false;
                complete(node_origin::explicit_key);
                s.pos = at + 1;
                return after_indicator(node_origin::explicit_value, p.levels.back().indent, false);
            }
            s.pos = at;
        }
        if (c == ':' && s.blank_or_end_at(at + 1)) {
            if (ctx.value_line) return p.fail(ZARVEL_ERR_FAILED, at, message::value_not_here);
            if (!ctx.existing_map && !open_block(true, node_start)) return false;
            if (!p.emit_empty(line_props, ZARVEL_STYLE_PLAIN, false, at)) return false;
            p.levels.back().value_pending = true;
            s.pos = at + 1;
            return after_indicator(node_origin::value, p.levels.back().indent, true);
        }
        if (c == '|' || c == '>') {
            if (ctx.existing_map) return p.fail(ZARVEL_ERR_FAILED, at, message::block_scalar_key);
            scanned_scalar sc;
            if (!s.scan_block_scalar(enclosing(), sc)) return false;
            return finish_value_scalar(sc, line_props, false);
        }
        if (c == '[' || c == '{') return flow_in_block(ctx, node_start, line_props);
        if (c == '*') {
            if (has_line_props) return p.fail(ZARVEL_ERR_FAILED, node_start, message::alias_properties);
            zarvel_text_span name;
            if (!s.scan_alias(name)) return false;
            uint64_t end = s.pos;
            s.skip_blanks();
            if (s.peek() == ':' && s.blank_or_end_at(s.pos + 1)) {
                key_info key{};
                key.alias = true;
                key.name = name;
                key.start = at;
                key.end = end;
                return implicit_key(ctx, node_start, key, line_props);
            }
            s.pos = end;
            if (ctx.existing_map) return p.fail(ZARVEL_ERR_FAILED, end, message::expected_colon);
            if (!p.pending.props.empty()) return p.fail(ZARVEL_ERR_FAILED, node_start, message::alias_properties);
            p.pending.active = false;
            if (!p.emit_alias(name, at, end, false)) return false;
            complete(p.pending.origin);
            return true;
        }
        scanned_scalar sc;
        if (c == '"' || c == '\'') {
            bool ok =
                c == '"' ? s.scan_double_quoted(false, enclosing(), sc) : s.scan_single_quoted(false, enclosing(), sc);
            if (!ok) return false;
            cursor after = s.save();
            s.skip_blanks();
            if (s.peek() == ':' && s.blank_or_end_at(s.pos + 1)) {
                if (sc.multiline) return p.fail(ZARVEL_ERR_FAILED, sc.start, message::key_spans_lines);
                key_info key{};
                key.scalar = sc;
                key.start = sc.start;
                key.end = sc.end;
                return implicit_key(ctx, node_start, key, line_props);
            }
            s.restore(after);
            if (ctx.existing_map) return p.fail(ZARVEL_ERR_FAILED, s.pos, message::expected_colon);
            return finish_value_scalar(sc, line_props, false);
        }
        if (!can_start_block_plain(s, at)) return p.fail(ZARVEL_ERR_FAILED, at, message::unexpected_character);
        plain_stop stop;
        if (!s.scan_plain(false, enclosing(), true, sc, stop)) return false;
        if (stop == plain_stop::colon) {
            key_info key{};
            key.scalar = sc;
            key.plain = true;
            key.start = sc.start;
            key.end = sc.end;
            return implicit_key(ctx, node_start, key, line_props);
        }
        if (ctx.existing_map) return p.fail(ZARVEL_ERR_FAILED, s.pos, message::expected_colon);
        return finish_value_scalar(sc, line_props, true);
    }

    // A scalar that is the pending node.
    bool finish_value_scalar(const scanned_scalar &sc, const properties &line_props, bool plain) {
        properties props = p.pending.props;
        if (!merge_properties(props, line_props))
            return p.fail(ZARVEL_ERR_FAILED, line_props.offset, message::two_properties);
        node_origin origin = p.pending.active ? p.pending.origin : node_origin::root;
        p.pending.active = false;
        bool block_value =
            origin == node_origin::value || origin == node_origin::entry || origin == node_origin::explicit_value;
        if (plain && props.empty() && block_value && p.sink->scalar_value && !p.buffering) {
            zarvel_scalar_value v{};
            v.kind = p.schema->text(nullptr, sc.text.data, sc.text.length);
            v.verbatim = sc.verbatim;
            v.text = sc.text;
            int r = p.sink->scalar_value(p.sink->user, &v);
            if (r < 0) return p.stop();
            if (r == 1) {
                complete(origin);
                return true;
            }
        }
        if (!p.emit_scalar(sc, props, false)) return false;
        complete(origin);
        return true;
    }

    struct key_info {
        scanned_scalar scalar;  // the key scalar (unless alias / flow)
        bool plain = false;
        bool alias = false;
        bool flow = false;  // events already in the buffer
        zarvel_text_span name{};
        uint64_t start = 0, end = 0;
    };

    // The node just read is followed by ':' (s.pos at the ':').
    bool implicit_key(node_context ctx, uint64_t node_start, const key_info &key, const properties &line_props) {
        uint64_t colon = s.pos;
        if (ctx.value_line) return p.fail(ZARVEL_ERR_FAILED, colon, message::value_not_here);
        if (ctx.tab_separated && !ctx.existing_map) return p.fail(ZARVEL_ERR_TAB_INDENT, node_start);
        if (colon - key.start > max_simple_key) return p.fail(ZARVEL_ERR_LONG_KEY, key.start);
        bool simple_key = key.plain && line_props.empty();
        bool new_map = !ctx.existing_map;
        // First byte of the value after its properties, if any.
        uint64_t value_at = colon + 1;
        while (true) {
            while (value_at < s.size && is_blank(s.text[value_at])) ++value_at;
            if (value_at >= s.size || (s.text[value_at] != '&' && s.text[value_at] != '!')) break;
            while (value_at < s.size && !is_blank(s.text[value_at]) && !is_break(s.text[value_at])) ++value_at;
        }

        if (new_map) {
            bool flow_value = value_at < s.size && (s.text[value_at] == '[' || s.text[value_at] == '{');
            if (simple_key && flow_value && p.sink->pair_flow && !p.buffering &&
                (!p.pending.active || p.pending.props.empty())) {
                int r = p.sink->pair_flow(p.sink->user, key.scalar.text, s.line, s.column_of(node_start));
                if (r < 0) return p.stop();
                if (r == 1) {
                    if (!open_block(true, node_start, false)) return false;
                    p.levels.back().value_pending = true;
                    s.pos = colon + 1;
                    return after_indicator(node_origin::value, p.levels.back().indent, true);
                }
            }
            if (!open_block(true, node_start)) return false;
        }
        if (simple_key && p.sink->pair && !p.buffering && !key.flow) {
            s.pos = colon + 1;
            int r = offer_pair(key, node_start);
            if (r < 0) return false;
            if (r == 1) return true;
            s.pos = colon;
        }
        if (!emit_key(key, line_props)) return false;
        p.levels.back().value_pending = true;
        s.pos = colon + 1;
        return after_indicator(node_origin::value, p.levels.back().indent, true);
    }

    bool emit_key(const key_info &key, const properties &line_props) {
        if (key.flow) {
            // The key's first event is the buffered collection start.
            if (!line_props.empty() && !p.events.empty() && !p.apply_properties(p.events[0], line_props)) return false;
            return p.flush_events();
        }
        if (key.alias) return p.emit_alias(key.name, key.start, key.end, false);
        return p.emit_scalar(key.scalar, line_props, false);
    }

    // Tries the pair slot for "key: value" with s.pos after the ':'.
    // 1 taken (value consumed), 0 not taken (cursor unchanged), -1 failure.
    int offer_pair(const key_info &key, uint64_t key_start) {
        cursor before = s.save();
        s.skip_blanks();
        if (s.at_line_end_or_comment()) {
            s.restore(before);
            return 0;
        }
        uint64_t value_start = s.pos;
        zarvel_pair_value v{};
        properties props;
        if (s.peek() == '&') {
            if (!s.scan_properties(props, false)) return -1;
            if (props.has_tag || s.at_line_end_or_comment()) {
                s.restore(before);
                return 0;
            }
        }
        uint64_t at = s.pos;
        if (s.peek() == '*' && props.empty()) {
            zarvel_text_span name;
            if (!s.scan_alias(name)) return -1;
            uint64_t end = s.pos;
            s.skip_blanks();
            if (!s.at_line_end_or_comment()) {
                s.restore(before);
                return 0;
            }
            uint32_t id;
            if (!p.lookup_alias(name, at, id)) return -1;
            v.kind = ZARVEL_PAIR_ALIAS;
            v.text = name;
            v.alias_target = id;
            v.verbatim = 1;
            v.style = ZARVEL_STYLE_PLAIN;
            int r = p.sink->pair(p.sink->user, key.scalar.text, &v, s.line, s.column_of(key_start),
                                 s.column_of(value_start));
            if (r < 0) {
                p.stop();
                return -1;
            }
            if (r == 1) {
                complete(node_origin::value);
                return 1;
            }
            if (!p.emit_scalar(key.scalar, properties{}, false)) return -1;
            if (!p.emit_alias(name, at, end, false)) return -1;
            complete(node_origin::value);
            return 1;
        }
        if (at >= s.size || !can_start_block_plain(s, at) || s.text[at] == '|' || s.text[at] == '>') {
            s.restore(before);
            return 0;
        }
        scanned_scalar sc;
        plain_stop stop;
        if (!s.scan_plain(false, enclosing(), true, sc, stop)) return -1;
        if (stop == plain_stop::colon || !sc.verbatim || sc.start_line != sc.end_line) {
            s.restore(before);
            return 0;
        }
        uint32_t anchor_id = 0;
        if (props.has_anchor && !p.define_anchor(props.anchor, anchor_id)) return -1;
        v.kind = props.has_anchor ? ZARVEL_PAIR_ANCHORED : ZARVEL_PAIR_SCALAR;
        v.text = sc.text;
        v.anchor = props.has_anchor ? props.anchor : zarvel_text_span{};
        v.anchor_id = anchor_id;
        v.verbatim = 1;
        v.style = ZARVEL_STYLE_PLAIN;
        v.plain_implicit = 1;
        v.tag_id = p.schema->text(nullptr, sc.text.data, sc.text.length);
        int r = p.sink->pair(p.sink->user, key.scalar.text, &v, s.line, s.column_of(key_start), s.column_of(sc.start));
        if (r < 0) {
            p.stop();
            return -1;
        }
        if (r != 1) {
            if (!p.emit_scalar(key.scalar, properties{}, false)) return -1;
            zarvel_event e = p.node_event(ZARVEL_EVENT_SCALAR, sc.start);
            e.text = sc.text;
            e.style = ZARVEL_STYLE_PLAIN;
            e.plain_implicit = 1;
            e.verbatim = 1;
            e.end_line = sc.end_line;
            e.end_column = sc.end_column;
            if (props.has_anchor) {
                e.anchor = props.anchor;
                e.anchor_id = anchor_id;
            }
            e.tag_id = v.tag_id;
            if (!p.emit(e)) return -1;
        }
        complete(node_origin::value);
        return 1;
    }

    // A flow collection at s.pos in block context.
    bool flow_in_block(node_context ctx, uint64_t node_start, const properties &line_props) {
        int32_t outer = enclosing();
        // The alternate mode does not check continuation-line indentation in flow.
        if ((p.pending.active && p.pending.origin == node_origin::root) || s.alternate) outer = -1;
        uint64_t open = s.pos;
        if (p.sink->flow_raw && !p.buffering && s.size - open >= flow_raw_minimum && !ctx.existing_map &&
            (!p.pending.active || p.pending.props.empty())) {
            int r = offer_flow_raw(open, line_props, outer);
            if (r < 0) return false;
            if (r == 1) return true;
            s.pos = open;
        }
        uint32_t start_line = s.line;
        // Every earlier flow tree was delivered before this one starts.
        if (!p.events.empty()) return p.fail(ZARVEL_ERR_INTERNAL, open);
        // A large tree that is a plain block node (not a key, no properties
        // from earlier lines to add to it afterwards) need not be held.
        bool streamed = false;
        if (p.stream_large_flow && !ctx.existing_map && !(p.pending.active && !p.pending.props.empty())) {
            uint64_t close = 0;
            if (p.stream_json_shaped && p.flat_shaped(close) && !key_colon_after(close + 1)) {
                if (!p.stream_flat(line_props, close)) return false;
                streamed = true;
            } else if (p.stream_json_shaped && p.json_shaped(outer, close) && !key_colon_after(close + 1)) {
                if (!p.stream_json(outer, line_props)) return false;
                streamed = true;
            } else if (large_flow(open) && !p.check_then_stream(outer, line_props, streamed)) {
                return false;
            }
        }
        if (!streamed && !p.parse_flow(outer, line_props)) return false;
        cursor after = s.save();
        s.skip_blanks();
        if (s.peek() == ':' && s.blank_or_end_at(s.pos + 1)) {
            if (s.line != start_line) return p.fail(ZARVEL_ERR_FAILED, open, message::key_spans_lines);
            key_info key{};
            key.flow = true;
            key.start = open;
            key.end = after.offset;
            // The key's properties are already on its buffered start event.
            return implicit_key(ctx, node_start, key, properties{});
        }
        s.restore(after);
        if (ctx.existing_map) return p.fail(ZARVEL_ERR_FAILED, s.pos, message::expected_colon);
        if (p.pending.active && !p.pending.props.empty() && !p.events.empty()) {
            properties merged = line_props;
            if (!merge_properties(merged, p.pending.props))
                return p.fail(ZARVEL_ERR_FAILED, node_start, message::two_properties);
            zarvel_event &first = p.events[0];
            if (p.pending.props.has_anchor) {
                uint32_t id;
                if (!p.define_anchor(p.pending.props.anchor, id)) return false;
                first.anchor = p.pending.props.anchor;
                first.anchor_id = id;
            }
            if (p.pending.props.has_tag) {
                first.tag = p.pending.props.tag;
                first.tag_id = zarvel_tag_id_of(first.tag.data, first.tag.length);
            }
        }
        node_origin origin = p.pending.active ? p.pending.origin : node_origin::root;
        p.pending.active = false;
        if (!p.flush_events()) return false;
        complete(origin);
        return true;
    }

    // Whether a ':' indicator follows at, after blanks: the node before it is a key.
    bool key_colon_after(uint64_t at) const {
        while (at < s.size && is_blank(s.text[at])) ++at;
        return at < s.size && s.text[at] == ':' && s.blank_or_end_at(at + 1);
    }

    // Whether the flow collection at open reaches past a size worth not
    // holding in the event buffer. A rough bracket count (quotes skipped,
    // comments not) is enough: it only chooses between two ways that give
    // the same events.
    bool large_flow(uint64_t open) const {
        constexpr uint64_t held_limit = 16384;
        uint64_t end = s.size - open > held_limit ? open + held_limit : s.size;
        if (end < s.size) {
            uint64_t depth = 0;
            for (uint64_t i = s.find_bracket_or_quote(open, end); i < end; i = s.find_bracket_or_quote(i + 1, end)) {
                char c = s.text[i];
                if (c == '[' || c == '{') {
                    ++depth;
                } else if (c == ']' || c == '}') {
                    if (--depth == 0) return false;
                } else {
                    const void *q = std::memchr(s.text + i + 1, c, end - i - 1);
                    if (!q) break;
                    i = static_cast<uint64_t>(static_cast<const char *>(q) - s.text);
                }
            }
            return true;
        }
        return false;
    }

    // 1 consumed, 0 declined (or cancelled), -1 failure.
    int offer_flow_raw(uint64_t open, const properties &props, int32_t outer) {
        uint32_t anchor_id = 0;
        if (props.has_anchor && !p.define_anchor(props.anchor, anchor_id)) return -1;
        uint64_t close = 0;
        int r = p.sink->flow_raw(p.sink->user, s.text, open, s.size, s.line, s.line_start,
                                 props.has_anchor ? props.anchor : zarvel_text_span{},
                                 props.has_tag ? props.tag : zarvel_text_span{}, anchor_id, p.max_depth, &close);
        if (r < 0) {
            p.stop();
            return -1;
        }
        if (r != 1) return 0;
        cursor before = s.save();
        // Walk the consumed range line by line: continuation lines must be
        // indented beyond the enclosing block and free of tab indentation.
        bool accept = close < s.size && close > open;
        uint64_t q = open;
        while (accept && q < close) {
            // The look for '\r' stops at the next '\n', so that the walk stays
            // linear in the range.
            const void *hit = std::memchr(s.text + q, '\n', close - q);
            uint64_t before_newline = hit ? uint64_t(static_cast<const char *>(hit) - s.text) : close;
            const void *hit_cr = std::memchr(s.text + q, '\r', before_newline - q);
            if (!hit && !hit_cr) break;
            s.pos = q;
            s.next_line();
            const line_class &lc = s.current_line();
            q = lc.start;
            if (lc.flags & (line_doc_start | line_doc_end)) accept = false;
            if (!(lc.flags & (line_blank | line_comment))) {
                if ((lc.flags & line_tab) ||
                    (!s.alternate && static_cast<int32_t>(lc.indent) <= outer && !s.closes_flow_at(lc, outer)))
                    accept = false;
            }
            if (lc.end >= close) break;
            q = lc.end;
        }
        if (accept) {
            s.pos = close + 1;
            cursor after = s.save();
            s.skip_blanks();
            if (s.peek() == ':' && s.blank_or_end_at(s.pos + 1)) accept = false;
            s.restore(after);
        }
        if (!accept) {
            s.restore(before);
            if (p.sink->flow_cancel) p.sink->flow_cancel(p.sink->user);
            return 0;
        }
        if (!p.sink->flow_commit || p.sink->flow_commit(p.sink->user, close + 1) != 1) {
            p.stop();
            return -1;
        }
        node_origin origin = p.pending.active ? p.pending.origin : node_origin::root;
        p.pending.active = false;
        complete(origin);
        return 1;
    }

    // ---- the common lines, without the general machinery ------------------
    // Most block lines are "key: value", "key:", "- value" or "- key: value"
    // with one-line plain scalars and no properties. These are recognised
    // by one scan of the line, and their events are emitted directly. Every
    // other shape (and anything doubtful, such as a value that may continue
    // on the next line) goes to node_at untouched: the scan changes nothing
    // until the shape is known.

    struct quick_node {
        bool key = false;    // a plain key ending at a ':' indicator
        bool value = false;  // a plain scalar (the key's value, or the node itself)
        bool alias = false;  // an entry that is an alias: value_start is its '*'
        uint64_t key_start = 0, key_end = 0;
        uint64_t value_start = 0, value_end = 0;
        uint64_t stop = 0;  // where the line's content ends (line end or comment)
    };

    // Skips spaces from at; a tab (which may be indentation) gives UINT64_MAX.
    uint64_t skip_spaces(uint64_t at, uint64_t end) const {
        while (at < end && s.text[at] == ' ') ++at;
        return at < end && s.text[at] == '\t' ? UINT64_MAX : at;
    }

    bool at_comment_or_end(uint64_t at, uint64_t end) const {
        return at >= end || (s.text[at] == '#' && s.text[at - 1] == ' ');
    }

    // A one-line plain scalar starting at at: [start, trimmed end), and how it stopped.
    bool quick_plain(const line_class &lc, uint64_t at, uint64_t &trimmed, uint64_t &seg, plain_stop &stop) {
        if (at >= lc.end || !can_start_block_plain(s, at) || is_blank(s.text[at])) return false;
        seg = s.block_plain_end(lc, at, stop);
        trimmed = seg;
        while (trimmed > at && is_blank(s.text[trimmed - 1])) --trimmed;
        return true;
    }

    // The node at at (after indentation or "- ") on the current line lc: a
    // key with an optional value, or (when scalar_ok) a lone scalar.
    __attribute__((always_inline)) bool quick_scan(const line_class &lc, uint64_t at, bool scalar_ok, quick_node &q) {
        uint64_t end = lc.end;
        uint64_t trimmed, seg;
        plain_stop stop;
        if (!quick_plain(lc, at, trimmed, seg, stop)) return false;
        if (stop != plain_stop::colon) {
            if (!scalar_ok) return false;
            q.value = true;
            q.value_start = at;
            q.value_end = trimmed;
            q.stop = seg;
            return true;
        }
        if (seg - at > max_simple_key) return false;
        q.key = true;
        q.key_start = at;
        q.key_end = trimmed;
        uint64_t v = skip_spaces(seg + 1, end);
        if (v == UINT64_MAX) return false;
        if (at_comment_or_end(v, end)) {
            q.stop = v;
            return true;
        }
        if (!quick_plain(lc, v, trimmed, seg, stop) || stop == plain_stop::colon) return false;
        q.value = true;
        q.value_start = v;
        q.value_end = trimmed;
        q.stop = seg;
        return true;
    }

    // True when a plain scalar ending on the current line (which ends at
    // end) cannot continue on the lines after it (the continuation rule of
    // scan_plain).
    bool ends_here(uint64_t end, int32_t parent_indent) {
        uint32_t number = s.line;
        while (end < s.size) {
            uint64_t start = s.after_break(end);
            if (start >= s.size) break;
            const line_class &next = s.line_at(++number, start);
            if (next.flags & line_blank) {
                end = next.end;
                continue;
            }
            return (next.flags & (line_comment | line_doc_start | line_doc_end)) ||
                   static_cast<int32_t>(next.indent) <= parent_indent;
        }
        return true;
    }

    bool emit_plain(uint64_t start, uint64_t end) {
        if (plain_slot) {
            auto column = static_cast<uint32_t>(start - s.line_start + 1);
            auto length = static_cast<uint32_t>(end - start);
            return plain_slot(sink_user, {s.text + start, length}, s.line, column, column + length) == 0 ? true
                                                                                                         : p.stop();
        }
        zarvel_event e = bare_event(ZARVEL_EVENT_SCALAR);
        e.text = {s.text + start, static_cast<uint32_t>(end - start)};
        e.style = ZARVEL_STYLE_PLAIN;
        e.plain_implicit = 1;
        e.verbatim = 1;
        e.start_line = e.end_line = s.line;
        e.start_column = static_cast<uint32_t>(start - s.line_start + 1);
        e.end_column = static_cast<uint32_t>(end - s.line_start + 1);
        e.tag_id = p.tag_ids ? p.schema->text(nullptr, e.text.data, e.text.length) : 0;
        return p.emit(e);
    }

    // A plain scalar that is the pending node of origin (a block value).
    bool quick_value(uint64_t start, uint64_t end, node_origin origin) {
        if (p.sink->scalar_value && origin != node_origin::root) {
            zarvel_scalar_value v{};
            v.text = {s.text + start, static_cast<uint32_t>(end - start)};
            v.kind = p.schema->text(nullptr, v.text.data, v.text.length);
            v.verbatim = 1;
            int r = p.sink->scalar_value(p.sink->user, &v);
            if (r < 0) return p.stop();
            if (r == 1) return true;
        }
        return emit_plain(start, end);
    }

    // The key (and value) of q in the innermost mapping, or in a new one
    // opened at the key when new_map.
    bool quick_key(const quick_node &q, bool new_map) {
        if (new_map && !open_block(true, q.key_start)) return false;
        block_level &top = p.levels.back();
        s.pos = q.stop;
        if (!q.value) {
            if (!emit_plain(q.key_start, q.key_end)) return false;
            top.value_pending = true;
            expect(node_origin::value, top.indent);
            return true;
        }
        if (p.sink->pair) {
            zarvel_pair_value v{};
            v.kind = ZARVEL_PAIR_SCALAR;
            v.text = {s.text + q.value_start, static_cast<uint32_t>(q.value_end - q.value_start)};
            v.verbatim = 1;
            v.style = ZARVEL_STYLE_PLAIN;
            v.plain_implicit = 1;
            v.tag_id = p.schema->text(nullptr, v.text.data, v.text.length);
            zarvel_text_span key{s.text + q.key_start, static_cast<uint32_t>(q.key_end - q.key_start)};
            int r = p.sink->pair(p.sink->user, key, &v, s.line, s.column_of(q.key_start), s.column_of(q.value_start));
            if (r < 0) return p.stop();
            if (r != 1 && (!emit_plain(q.key_start, q.key_end) || !emit_plain(q.value_start, q.value_end)))
                return false;
        } else if (!emit_plain(q.key_start, q.key_end) ||
                   !quick_value(q.value_start, q.value_end, node_origin::value)) {
            return false;
        }
        complete(node_origin::value);
        return true;
    }

    // "- " at c opening an entry of the sequence at column c (already open).
    // The entry's content was scanned into q (or is empty when !q.key && !q.value).
    bool quick_entry(const quick_node &q, uint64_t after, int32_t seq_indent) {
        expect(node_origin::entry, seq_indent);
        if (q.key) return quick_key(q, true);
        if (!q.value) {
            s.pos = after;
            return true;
        }
        p.pending.active = false;
        s.pos = q.stop;
        if (q.alias) {
            zarvel_text_span name{s.text + q.value_start + 1, static_cast<uint32_t>(q.value_end - q.value_start - 1)};
            return p.emit_alias(name, q.value_start, q.value_end, false);
        }
        return quick_value(q.value_start, q.value_end, node_origin::entry);
    }

    // "*name" at at, alone on the rest of the line (no key after it): the
    // entry's node in q.
    bool quick_alias(uint64_t at, uint64_t end, quick_node &q) {
        uint64_t name_end = s.alias_name_end(at + 1);
        if (name_end == at + 1 || name_end > end) return false;
        uint64_t v = skip_spaces(name_end, end);
        if (v == UINT64_MAX || !at_comment_or_end(v, end)) return false;
        q.value = q.alias = true;
        q.value_start = at;
        q.value_end = name_end;
        q.stop = v;
        return true;
    }

    // Scans "- rest" at c: q and the offset after the indicator's blanks.
    bool quick_scan_entry(const line_class &lc, uint64_t c, quick_node &q, uint64_t &after) {
        uint64_t end = lc.end;
        if (!is_entry_at(s, c)) return false;
        after = skip_spaces(c + 1, end);
        if (after == UINT64_MAX) return false;
        if (at_comment_or_end(after, end)) return true;
        if (s.text[after] == '*') return quick_alias(after, end, q);
        if (!quick_scan(lc, after, true, q)) return false;
        int32_t parent = q.key ? static_cast<int32_t>(after - s.line_start) : static_cast<int32_t>(c - s.line_start);
        return !q.value || ends_here(end, parent);
    }

    // 1 handled, 0 not a quick line (nothing changed), -1 failure.
    int quick_existing_map(const line_class &lc, uint64_t c) {
        if (!p.quick_lines) return 0;
        quick_node q;
        if (!quick_scan(lc, c, false, q)) return 0;
        if (q.value && !ends_here(lc.end, p.levels.back().indent)) return 0;
        return quick_key(q, false) ? 1 : -1;
    }

    int quick_existing_seq(const line_class &lc, uint64_t c) {
        if (!p.quick_lines) return 0;
        quick_node q;
        uint64_t after;
        if (!quick_scan_entry(lc, c, q, after)) return 0;
        return quick_entry(q, after, p.levels.back().indent) ? 1 : -1;
    }

    // The pending node starts at c, the line's content.
    int quick_pending(const line_class &lc, uint64_t c) {
        uint64_t end = lc.end;
        const pending_node &pn = p.pending;
        if (!p.quick_lines || !pn.props.empty() || pn.prop_levels ||
            (pn.origin != node_origin::root && pn.origin != node_origin::value && pn.origin != node_origin::entry))
            return 0;
        int32_t col = static_cast<int32_t>(c - s.line_start);
        if (is_entry_at(s, c)) {
            quick_node q;
            uint64_t after;
            if (!quick_scan_entry(lc, c, q, after)) return 0;
            if (!open_block(false, c)) return -1;
            return quick_entry(q, after, col) ? 1 : -1;
        }
        quick_node q;
        if (!quick_scan(lc, c, true, q)) return 0;
        if (q.key) {
            if (q.value && !ends_here(end, col)) return 0;
            return quick_key(q, true) ? 1 : -1;
        }
        if (!ends_here(end, enclosing())) return 0;
        node_origin origin = pn.origin;
        p.pending.active = false;
        s.pos = q.stop;
        if (!quick_value(q.value_start, q.value_end, origin)) return -1;
        complete(origin);
        return 1;
    }

    // ---- lines -------------------------------------------------------------
    bool quick_done(int r) {
        line_done = r > 0;
        return r > 0;
    }

    bool line_content(const line_class &lc) {
        uint32_t n = lc.indent;
        uint64_t c = lc.content;
        s.pos = c;
        if (p.pending.active) {
            bool here = p.pending.origin == node_origin::root || static_cast<int32_t>(n) > p.pending.parent_indent ||
                        (sequence_may_share_indent(p.pending.origin) &&
                         static_cast<int32_t>(n) == p.pending.parent_indent && is_entry_at(s, c));
            if (here) {
                if (int r = quick_pending(lc, c)) return quick_done(r);
                return node_at(node_context{});
            }
            if (!settle_pending(c)) return false;
        }
        while (!p.levels.empty() && p.levels.back().indent > n)
            if (!close_top()) return false;
        if (!p.levels.empty()) {
            block_level &top = p.levels.back();
            if (!top.mapping && top.under_key && top.indent == n && !is_entry_at(s, c))
                if (!close_top()) return false;
        }
        if (p.levels.empty()) return p.fail(ZARVEL_ERR_FAILED, c, message::after_root);
        block_level &top = p.levels.back();
        if (top.indent != n) return p.fail(ZARVEL_ERR_INDENTATION, c);
        if (!top.mapping) {
            if (!is_entry_at(s, c)) return p.fail(ZARVEL_ERR_FAILED, c, message::expected_entry);
            if (int r = quick_existing_seq(lc, c)) return quick_done(r);
            s.pos = c + 1;
            return after_indicator(node_origin::entry, top.indent, false);
        }
        if (top.value_pending) {
            if (top.explicit_key && s.text[c] == ':' && s.blank_or_end_at(c + 1)) {
                s.pos = c + 1;
                return after_indicator(node_origin::explicit_value, top.indent, false);
            }
            if (!p.emit_empty(properties{}, ZARVEL_STYLE_PLAIN, false, c)) return false;
            top.value_pending = false;
            top.explicit_key = false;
        }
        if (int r = quick_existing_map(lc, c)) return quick_done(r);
        node_context ctx;
        ctx.existing_map = true;
        return node_at(ctx);
    }

    bool finish_line() {
        s.skip_blanks();
        if (!s.at_line_end_or_comment()) return p.fail(ZARVEL_ERR_FAILED, s.pos, message::after_node);
        s.next_line();
        return true;
    }

    // ---- documents -------------------------------------------------------
    bool end_document(bool explicit_end, uint64_t at) {
        if (!p.doc_open) return true;
        if (p.pending.active && p.pending.origin != node_origin::root && !settle_pending(at)) return false;
        if (!close_all()) return false;
        if (!p.doc_has_root && !settle_pending(at)) return false;
        if (!p.doc_has_root) {
            if (!p.emit_empty(properties{}, ZARVEL_STYLE_NONE, false, at)) return false;
        }
        p.pending.active = false;
        zarvel_event e = p.node_event(ZARVEL_EVENT_DOCUMENT_END, at);
        e.style = explicit_end ? 1 : 0;
        if (explicit_end) e.end_column += 3;
        if (!p.emit(e)) return false;
        p.doc_open = false;
        s.clear_tags();
        p.yaml_directive = false;
        return true;
    }

    bool begin_document(bool explicit_start, uint64_t at) {
        zarvel_event e = p.node_event(ZARVEL_EVENT_DOCUMENT_START, at);
        if (p.prologue) {
            e.start_line = p.prologue_line;
            e.start_column = 1;
        }
        e.style = explicit_start ? 1 : 0;
        if (explicit_start) e.end_column = s.column_of(at) + 3;
        if (!p.emit(e)) return false;
        p.prologue = false;
        p.yaml_directive = false;
        // Each document starts without anchors; cleared here rather than at
        // the previous end, so the last document's (often large) map is
        // never wiped for nothing.
        if (p.anchors.entries) zarvel_strmap_clear(&p.anchors);
        p.doc_open = true;
        p.doc_has_root = false;
        expect(node_origin::root, -1);
        return true;
    }

    // "- *name" and a line break, or "- &name " and a flow tree, at the
    // column of the open sequence with no node pending (the usual lines of
    // lists of aliases and of anchored trees): settled without classifying
    // the line, as the general way would. False when the line is not of
    // that form (nothing changed).
    bool quick_entry_line(bool &ok) {
        if (p.levels.empty() || p.pending.active || !p.quick_lines) return false;
        const block_level &top = p.levels.back();
        const uint64_t dash = s.line_start + top.indent;
        if (top.mapping || dash + 3 >= s.size) return false;
        const char *t = s.text;
        if (t[dash] != '-' || t[dash + 1] != ' ' || (t[dash + 2] != '*' && t[dash + 2] != '&')) return false;
        for (uint64_t i = s.line_start; i < dash; ++i)
            if (t[i] != ' ') return false;
        if (t[dash + 2] == '&') return quick_anchored_flow(dash + 2, ok);
        const uint64_t end = s.alias_name_end(dash + 3);
        if (end == dash + 3 || end >= s.size || t[end] != '\n') return false;
        expect(node_origin::entry, top.indent);
        p.pending.active = false;
        s.pos = end;
        ok = p.emit_alias({t + dash + 3, static_cast<uint32_t>(end - dash - 3)}, dash + 2, end, false);
        if (ok) s.next_line_after(end);
        return true;
    }

    // "&name" at amp, spaces, then '[' or '{': the entry is an anchored flow
    // tree (node_at's way, without its general scans).
    bool quick_anchored_flow(uint64_t amp, bool &ok) {
        const char *t = s.text;
        uint64_t end = amp + 1;
        while (end < s.size && !is_blank(t[end]) && !is_break(t[end]) && !is_flow_indicator(t[end])) ++end;
        if (end == amp + 1 || end >= s.size || t[end] != ' ') return false;
        uint64_t open = end;
        while (open < s.size && t[open] == ' ') ++open;
        if (open >= s.size || (t[open] != '[' && t[open] != '{')) return false;
        expect(node_origin::entry, p.levels.back().indent);
        properties props;
        props.anchor = {t + amp + 1, static_cast<uint32_t>(end - amp - 1)};
        props.has_anchor = true;
        props.offset = amp;
        props.line = s.line;
        s.pos = open;
        ok = flow_in_block(node_context{}, amp, props);
        if (!ok) return true;
        // Most trees end their line: the line break is its end.
        s.skip_blanks();
        if (s.pos < s.size && t[s.pos] == '\n')
            s.next_line_after(s.pos);
        else
            ok = finish_line();
        return true;
    }

    bool handle_line() {
        if (bool ok; quick_entry_line(ok)) return ok;
        const line_class &lc = s.current_line();
        uint8_t flags = lc.flags;
        // Most lines are none of these: one test passes them by.
        if (flags) {
            if (flags & line_directive) {
                if (p.doc_open) return p.fail(ZARVEL_ERR_DIRECTIVE, lc.start);
                if (!p.prologue) {
                    p.prologue = true;
                    p.prologue_start = lc.start;
                    p.prologue_line = s.line;
                }
                s.pos = lc.start;
                directive_kind kind;
                if (!s.scan_directive(kind)) return false;
                // Directives come in any order (%YAML then %TAG heads every
                // Unity file); only a second %YAML for one document is wrong.
                if (kind == directive_kind::yaml) {
                    if (p.yaml_directive) return p.fail(ZARVEL_ERR_DIRECTIVE, lc.start);
                    p.yaml_directive = true;
                }
                s.next_line();
                return true;
            }
            if (flags & line_doc_start) {
                uint64_t at = lc.start;
                s.pos = at;
                if (!end_document(false, at)) return false;
                if (!begin_document(true, at)) return false;
                s.pos = at + 3;
                s.skip_blanks();
                if (!s.at_line_end_or_comment()) {
                    node_context ctx;
                    ctx.value_line = true;
                    if (!node_at(ctx)) return false;
                }
                return finish_line();
            }
            if (flags & line_doc_end) {
                uint64_t at = lc.start;
                s.pos = at + 3;
                s.skip_blanks();
                if (!s.at_line_end_or_comment()) return p.fail(ZARVEL_ERR_FAILED, s.pos, message::after_end_marker);
                s.pos = at;
                if (!p.doc_open && p.prologue) return p.fail(ZARVEL_ERR_DIRECTIVE, at, message::directives_alone);
                if (!end_document(true, at)) return false;
                s.pos = at + 3;
                return finish_line();
            }
            if (flags & line_blank) {
                s.next_line();
                return true;
            }
            // A tab after enough indenting spaces for the expected node only
            // separates; elsewhere it would be indentation.
            bool tab_separates = p.pending.active && p.pending.origin != node_origin::root &&
                                 static_cast<int32_t>(lc.indent) > p.pending.parent_indent && !(flags & line_comment);
            if ((flags & line_tab) && s.text[lc.content] != '[' && s.text[lc.content] != '{' && !tab_separates)
                return p.fail(ZARVEL_ERR_TAB_INDENT, lc.start + lc.indent);
            if (flags & line_comment) {
                s.next_line();
                return true;
            }
        }
        if (!p.doc_open) {
            if (p.prologue) return p.fail(ZARVEL_ERR_DIRECTIVE, lc.content, message::directives_need_start);
            if (!begin_document(false, lc.content)) return false;
        }
        uint64_t end = lc.end;
        if (!line_content(lc)) return false;
        if (line_done) {
            line_done = false;
            s.next_line_after(end);
            return true;
        }
        return finish_line();
    }

    bool finish_stream(bool last) {
        if (!p.doc_open && p.prologue) return p.fail(ZARVEL_ERR_DIRECTIVE, s.size, message::directives_alone);
        s.pos = s.size;
        if (!end_document(false, s.size)) return false;
        if (last) {
            zarvel_event e = p.node_event(ZARVEL_EVENT_STREAM_END, s.size);
            if (!p.emit(e)) return false;
        }
        return true;
    }
};

}  // namespace zvl::yaml

// ---- emission ------------------------------------------------------------------

zarvel_event zarvel_parser::node_event(uint32_t kind, uint64_t offset) const {
    zarvel_event e = bare_event(kind);
    e.text = {scan.text ? scan.text + (offset <= scan.size ? offset : scan.size) : "", 0};
    e.verbatim = 1;
    e.start_line = e.end_line = scan.line;
    e.start_column = e.end_column = scan.column_of(offset);
    return e;
}

bool zarvel_parser::deliver(const zarvel_event &e, bool via_scalar_slot) {
    int r;
    if (via_scalar_slot && e.kind == ZARVEL_EVENT_SCALAR && sink->scalar)
        r = sink->scalar(sink->user, &e.text, &e.tag, &e.anchor, e.anchor_id, e.tag_id, e.style, e.plain_implicit,
                         e.flow, e.verbatim);
    else
        r = sink->event(sink->user, &e);
    return r == 0 ? true : stop();
}

bool zarvel_parser::emit_slow(const zarvel_event &e) {
    if (check_only) return true;
    if (streaming) return deliver(e, false);
    if (buffering) {
        if (!events.push_back(e)) return fail(ZARVEL_ERR_NO_MEMORY, scan.pos);
        return true;
    }
    return deliver(e, true);
}

bool zarvel_parser::flush_events() {
    for (const zarvel_event &e : events)
        if (!deliver(e, false)) return false;
    events.clear();
    return true;
}

bool zarvel_parser::define_anchor(zarvel_text_span name, uint32_t &id) {
    id = ++anchor_counter;
    if (!anchors_sized) {
        // The first anchor sizes the map for the ampersands after it, so
        // that texts without anchors never count them and the map is not
        // rehashed as it fills. Twice that room keeps most probes at their
        // first slot (alias lookups then rarely mispredict); the cap bounds
        // what ampersands in texts can make it take. Sizing only saves
        // time: a failure here leaves the map growing on demand.
        anchors_sized = true;
        if (name.data >= scan.text && name.data <= scan.text + scan.size) {
            const auto rest = static_cast<uint64_t>(scan.text + scan.size - name.data);
            const uint64_t names = 1 + scan.kernels->count(name.data, rest, '&');
            constexpr uint64_t presize_cap = uint64_t{1} << 18;
            (void)zarvel_strmap_reserve(&anchors, names < presize_cap / 2 ? 2 * names : presize_cap);
        }
    }
    if (check_only) {
        if (!shadow.slots && !zarvel_strmap_init(&shadow, allocator)) return fail(ZARVEL_ERR_NO_MEMORY, scan.pos);
        if (!zarvel_strmap_put(&shadow, name.data, name.length, id)) return fail(ZARVEL_ERR_NO_MEMORY, scan.pos);
        return true;
    }
    if (!zarvel_strmap_put(&anchors, name.data, name.length, id)) return fail(ZARVEL_ERR_NO_MEMORY, scan.pos);
    ++anchor_count;
    return true;
}

bool zarvel_parser::lookup_alias(zarvel_text_span name, uint64_t offset, uint32_t &id) {
    if (check_only) {
        // The checking pass sees its own anchors first, then the earlier ones.
        id = shadow.slots ? zarvel_strmap_get(&shadow, name.data, name.length) : zarvel_strmap_absent;
        if (id == zarvel_strmap_absent) id = zarvel_strmap_get(&anchors, name.data, name.length);
        if (id == zarvel_strmap_absent) return fail(ZARVEL_ERR_UNDEFINED_ALIAS, offset);
        return true;
    }
    id = zarvel_strmap_get(&anchors, name.data, name.length);
    if (id == zarvel_strmap_absent) return fail(ZARVEL_ERR_UNDEFINED_ALIAS, offset);
    return true;
}

bool zarvel_parser::apply_properties(zarvel_event &e, const properties &props) {
    if (props.has_anchor) {
        uint32_t id;
        if (!define_anchor(props.anchor, id)) return false;
        e.anchor = props.anchor;
        e.anchor_id = id;
    }
    if (props.has_tag) e.tag = props.tag;
    return true;
}

uint8_t zarvel_parser::scalar_tag_id(const zarvel_event &e) const {
    if (e.tag.length) {
        uint8_t id = zarvel_tag_id_of(e.tag.data, e.tag.length);
        if (id == ZARVEL_TAG_NONE && scan.alternate && e.tag.length == 7 && std::memcmp(e.tag.data, "!binary", 7) == 0)
            id = ZARVEL_TAG_BINARY;
        return id;
    }
    if (e.plain_implicit && tag_ids && !check_only) return schema->text(nullptr, e.text.data, e.text.length);
    return 0;
}

bool zarvel_parser::emit_scalar(const scanned_scalar &s, const properties &props, bool in_flow) {
    if (check_only) {
        uint32_t id;
        return !props.has_anchor || define_anchor(props.anchor, id);
    }
    zarvel_event e = bare_event(ZARVEL_EVENT_SCALAR);
    e.text = s.text;
    if (!apply_properties(e, props)) return false;
    e.style = s.style;
    e.plain_implicit = s.style == ZARVEL_STYLE_PLAIN && !props.has_tag;
    e.flow = in_flow;
    e.multiline = s.style == ZARVEL_STYLE_SINGLE || s.style == ZARVEL_STYLE_DOUBLE ? s.multiline : 0;
    e.verbatim = s.verbatim;
    e.start_line = s.start_line;
    e.start_column = s.start_column;
    e.end_line = s.end_line;
    e.end_column = s.end_column;
    e.tag_id = scalar_tag_id(e);
    return emit(e);
}

bool zarvel_parser::emit_empty(const properties &props, uint8_t style, bool in_flow, uint64_t offset) {
    zarvel_event e = node_event(ZARVEL_EVENT_SCALAR, offset);
    if (!apply_properties(e, props)) return false;
    e.style = style;
    e.plain_implicit = !props.has_tag;
    e.flow = in_flow;
    e.tag_id = scalar_tag_id(e);
    return emit(e);
}

bool zarvel_parser::emit_alias(zarvel_text_span name, uint64_t offset, uint64_t end, bool in_flow) {
    uint32_t id;
    if (!lookup_alias(name, offset, id)) return false;
    if (sink->alias && !(check_only | streaming) && !buffering)
        return sink->alias(sink->user, name, scan.line, scan.column_of(offset), in_flow) == 0 ? true : stop();
    zarvel_event e = node_event(ZARVEL_EVENT_ALIAS, offset);
    e.text = name;
    e.anchor_id = id;
    e.flow = in_flow;
    e.end_column = scan.column_of(end);
    return emit(e);
}

// ---- interface -------------------------------------------------------------

zarvel_parser *zarvel_parser_new(const zarvel_allocator *allocator) {
    if (!allocator) return nullptr;
    zarvel_parser *p = zvl::create<zarvel_parser>(allocator, allocator);
    if (!p) return nullptr;
    p->scan.arena = zarvel_arena_new(allocator, 8192);
    if (!p->scan.arena || !zarvel_strmap_init(&p->anchors, allocator)) {
        zarvel_parser_free(p);
        return nullptr;
    }
    p->scan.kernels = zarvel_kernels_get();
    return p;
}

void zarvel_parser_free(zarvel_parser *parser) {
    if (!parser) return;
    const zarvel_allocator *a = parser->allocator;
    zarvel_strmap_free(&parser->anchors);
    zarvel_strmap_free(&parser->shadow);
    zarvel_arena_free(parser->scan.arena);
    zvl::deallocate(a, parser->owned_copy);
    zvl::destroy(a, parser);
}

void zarvel_parser_set_schema(zarvel_parser *parser, const zarvel_resolver *schema) {
    if (!parser) return;
    parser->schema = schema ? schema : &zarvel_core_resolver;
    parser->scan.alternate = parser->schema == &zarvel_yaml11_resolver;
}

void zarvel_parser_set_alternate(zarvel_parser *parser, bool alternate) {
    if (parser) parser->scan.alternate = alternate;
}

void zarvel_parser_set_max_depth(zarvel_parser *parser, int64_t n) {
    if (!parser || n <= 0) return;
    parser->max_depth = n < zarvel_parser_depth_limit ? static_cast<uint32_t>(n) : zarvel_parser_depth_limit;
}

void zarvel_parser_set_tag_ids(zarvel_parser *parser, bool resolve) {
    if (parser) parser->tag_ids = resolve;
}

void zarvel_parser_set_transient_texts(zarvel_parser *parser, bool on) {
    if (parser) parser->scan.transient_block_texts = on;
}

void zarvel_parser_set_quick_lines(zarvel_parser *parser, bool on) {
    if (parser) parser->quick_lines = on;
}

void zarvel_parser_set_flow_streaming(zarvel_parser *parser, bool on) {
    if (parser) parser->stream_large_flow = on;
}

void zarvel_parser_set_json_streaming(zarvel_parser *parser, bool on) {
    if (parser) parser->stream_json_shaped = on;
}

void zarvel_parser_set_line_offset(zarvel_parser *parser, uint32_t line_offset) {
    if (parser) parser->scan.line_offset = line_offset;
}

const zarvel_error *zarvel_parser_error(const zarvel_parser *parser) { return parser ? &parser->scan.error : nullptr; }

const char *zarvel_parser_text(const zarvel_parser *parser, uint64_t *length) {
    if (!parser) return nullptr;
    if (length) *length = parser->scan.size;
    return parser->scan.text;
}

zarvel_arena *zarvel_parser_take_arena(zarvel_parser *parser) {
    if (!parser || !parser->scan.arena) return nullptr;
    zarvel_arena *fresh = zarvel_arena_new(parser->allocator, 8192);
    if (!fresh) return nullptr;
    zarvel_arena *taken = parser->scan.arena;
    parser->scan.arena = fresh;
    parser->scan.forget_expanded_tag();
    return taken;
}

int zarvel_parser_run(zarvel_parser *parser, const char *text, uint64_t length, const zarvel_sink *sink, bool first,
                      bool last) {
    if (!parser) return -1;
    zarvel_error_clear(&parser->scan.error);
    if ((!text && length) || !sink || !sink->event) return -1;
    if (!text) text = "";
    if (length > UINT32_MAX - 1) {
        zarvel_error_set(&parser->scan.error, ZARVEL_ERR_NO_MEMORY, 0, 0, 0, message::input_too_long);
        *zarvel_error_current() = parser->scan.error;
        return -1;
    }
    // NEL, LS and PS break lines under YAML 1.1 rules only; in 1.2 they are
    // content.
    uint64_t new_length = 0;
    bool no_memory = false;
    char *copy = parser->scan.alternate
                     ? zarvel_normalize_breaks(parser->allocator, text, length, &new_length, &no_memory)
                     : nullptr;
    if (no_memory) {
        zarvel_error_set(&parser->scan.error, ZARVEL_ERR_NO_MEMORY, 0, 0, 0, nullptr);
        *zarvel_error_current() = parser->scan.error;
        return -1;
    }
    if (copy) {
        zvl::deallocate(parser->allocator, parser->owned_copy);
        parser->owned_copy = copy;
        parser->owned_length = new_length;
        text = copy;
        length = new_length;
    }
    scanner &s = parser->scan;
    s.reset(text, length);
    parser->levels.clear();
    parser->flow.clear();
    parser->events.clear();
    parser->buffering = 0;
    parser->check_only = parser->streaming = false;
    s.check_only = false;
    parser->pending = pending_node{};
    parser->doc_open = parser->doc_has_root = false;
    parser->prologue = parser->yaml_directive = false;
    parser->sink = sink;
    parser->stopped = false;
    parser->anchors_sized = false;
    zarvel_strmap_clear(&parser->anchors);
    s.clear_tags();

    block_parser block(*parser);
    bool ok = true;
    if (first) {
        zarvel_event e = parser->node_event(ZARVEL_EVENT_STREAM_START, 0);
        e.start_line = e.end_line = 1;
        e.start_column = e.end_column = 1;
        ok = parser->emit(e);
    }
    while (ok && s.pos < s.size) ok = block.handle_line();
    if (ok) ok = block.finish_stream(last);
    if (ok) return 0;
    if (parser->stopped && parser->scan.error.code == 0) return -2;
    *zarvel_error_current() = parser->scan.error;
    return -1;
}
