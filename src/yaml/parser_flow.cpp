// Flow collections. One flow tree (the outermost '[' or '{' and everything in
// it) is parsed by an explicit machine over a stack of flow levels: each loop
// step skips separation space, then lets the innermost level's state decide
// what the next byte means. Events are held in the parser's buffer; the block
// side delivers them once it knows whether the tree is a mapping key.
//
// A sequence entry followed by ':' becomes the key of a single-pair mapping:
// its start event is inserted at the buffer index where the entry began.
//
// A large tree (see large_flow) is not held: check_then_stream parses it
// once without events to prove that it parses and to note where pairs
// start, then again delivering each event at once. The sink sees the same
// events as from the held buffer, and nothing of a tree that fails.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "yaml/messages.hpp"
#include "yaml/parser_state.hpp"

using namespace zvl::yaml;

namespace {

bool blank_break_flow_or_end(const scanner &s, uint64_t at) {
    return at >= s.size || is_blank(s.text[at]) || is_break(s.text[at]) || is_flow_indicator(s.text[at]);
}

// A plain scalar may start with '-', '?' or ':' only when a safe byte follows.
bool can_start_plain(const scanner &s, uint64_t at, bool flow) {
    char c = s.text[at];
    if (!has_class(c, cc_indicator)) return !is_blank(c) && !is_break(c);
    if (c == '-' || c == '?' || c == ':') {
        uint64_t next = at + 1;
        if (next >= s.size || is_blank(s.text[next]) || is_break(s.text[next])) return false;
        return !(flow && is_flow_indicator(s.text[next]));
    }
    return false;
}

}  // namespace

bool zarvel_parser::skip_flow_space(int32_t enclosing) {
    while (true) {
        scan.skip_blanks();
        if (scan.at_end()) return true;
        char c = scan.text[scan.pos];
        if (c == '#' && (scan.pos == scan.line_start || is_blank(scan.text[scan.pos - 1]))) {
            scan.pos = scan.line_end();
            continue;
        }
        if (!is_break(c)) return true;
        scan.next_line();
        if (scan.at_end()) return true;
        const line_class &lc = scan.current_line();
        if (lc.flags & (line_doc_start | line_doc_end))
            return fail(ZARVEL_ERR_FAILED, lc.start, message::marker_in_flow);
        if (lc.flags & (line_blank | line_comment)) continue;
        if ((lc.flags & line_tab) && scan.text[lc.content] != '[' && scan.text[lc.content] != '{' &&
            static_cast<int32_t>(lc.indent) <= enclosing)
            return fail(ZARVEL_ERR_TAB_INDENT, lc.start + lc.indent);
        if (!scan.alternate && static_cast<int32_t>(lc.indent) <= enclosing && !scan.closes_flow_at(lc, enclosing))
            return fail(ZARVEL_ERR_INDENTATION, lc.content);
    }
}

bool zarvel_parser::missing_separator() {
    const flow_level &level = flow.back();
    if (std::getenv("ZVL_TRACE")) {
        bool mapping = level.kind == flow_kind::mapping;
        bool key_pending =
            mapping && (level.state == flow_state::map_after_key || level.state == flow_state::map_value);
        std::fprintf(stderr, "[mc] pos=%c kind=%d ent=%u sep=%u pk=%u jc=%u\n",
                     scan.pos < scan.size ? scan.text[scan.pos] : ' ', mapping ? 1 : 0, level.entries,
                     level.separator ? 1u : 0u, key_pending ? 1u : 0u, level.json_key ? 1u : 0u);
    }
    return fail(ZARVEL_ERR_FAILED, scan.pos, message::missing_comma);
}

bool zarvel_parser::open_flow(char bracket, const properties &props, flow_role role) {
    bool mapping = bracket == '{';
    uint16_t depth = flow.empty() ? 1 : static_cast<uint16_t>(flow.back().depth + 1);
    if (!flow.empty() && flow.back().depth >= max_depth) return fail(ZARVEL_ERR_TOO_DEEP, scan.pos);
    zarvel_event e = node_event(mapping ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START, scan.pos);
    e.flow = 1;
    if (!apply_properties(e, props)) return false;
    e.tag_id = props.has_tag ? zarvel_tag_id_of(props.tag.data, props.tag.length)
                             : static_cast<uint8_t>(mapping ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ);
    if (!emit(e)) return false;
    flow_level level{};
    level.kind = mapping ? flow_kind::mapping : flow_kind::sequence;
    level.state = mapping ? flow_state::map_key : flow_state::seq_entry;
    level.role = role;
    level.depth = depth;
    if (!flow.push_back(level)) return fail(ZARVEL_ERR_NO_MEMORY, scan.pos);
    ++scan.pos;
    return true;
}

bool zarvel_parser::close_flow(int32_t enclosing) {
    flow_level level = flow.back();
    zarvel_event e =
        node_event(level.kind == flow_kind::mapping ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END, scan.pos);
    e.flow = 1;
    if (!emit(e)) return false;
    ++scan.pos;
    flow.pop_back();
    if (flow.empty()) return true;
    return flow_node_done(level.role, true, enclosing);
}

bool zarvel_parser::open_pair(uint32_t mark, bool counted, uint64_t offset, bool after_key) {
    flow_level &parent = flow.back();
    if (counted && parent.depth >= max_depth) return fail(ZARVEL_ERR_TOO_DEEP, offset);
    zarvel_event e = node_event(ZARVEL_EVENT_MAPPING_START, offset);
    e.flow = 1;
    e.tag_id = ZARVEL_TAG_MAP;
    if (check_only) {
        // Where the streaming pass must start this pair, before its key.
        if (after_key && !pair_starts.push_back(offset)) return fail(ZARVEL_ERR_NO_MEMORY, offset);
    } else if (streaming) {
        // A key's pair was started before the key (see parse_flow).
        if (!after_key && !deliver(e, false)) return false;
    } else {
        if (!events.push_back(e)) return fail(ZARVEL_ERR_NO_MEMORY, offset);
        // Move the start in front of the entry that turned out to be the key.
        zarvel_event *base = events.data();
        size_t count = events.size();
        if (mark + 1 < count) {
            std::memmove(static_cast<void *>(base + mark + 1), base + mark, (count - 1 - mark) * sizeof(zarvel_event));
            base[mark] = e;
        }
    }
    flow_level pair{};
    pair.kind = flow_kind::pair;
    pair.state = flow_state::pair_value;
    pair.role = flow_role::seq_entry;
    pair.depth = counted ? static_cast<uint16_t>(parent.depth + 1) : parent.depth;
    if (!flow.push_back(pair)) return fail(ZARVEL_ERR_NO_MEMORY, offset);
    return true;
}

bool zarvel_parser::close_pair(int32_t enclosing) {
    zarvel_event e = node_event(ZARVEL_EVENT_MAPPING_END, scan.pos);
    e.flow = 1;
    if (!emit(e)) return false;
    flow.pop_back();
    flow_level &seq = flow.back();
    seq.entries++;
    seq.separator = false;
    seq.state = flow_state::after_entry;
    (void)enclosing;
    return true;
}

// A node of the given role just ended; move its level on.
bool zarvel_parser::flow_node_done(flow_role role, bool json, int32_t enclosing) {
    flow_level &level = flow.back();
    switch (role) {
    case flow_role::seq_entry: {
        level.json_key = json;
        cursor after = scan.save();
        uint32_t line_before = scan.line;
        if (!skip_flow_space(enclosing)) return false;
        bool colon = scan.peek() == ':' && (json || blank_break_flow_or_end(scan, scan.pos + 1));
        if (colon) {
            if (scan.line != level.key_line || scan.line != line_before)
                return fail(ZARVEL_ERR_FAILED, scan.pos, message::key_spans_lines);
            if (scan.pos - level.key_start > max_simple_key) return fail(ZARVEL_ERR_LONG_KEY, level.key_start);
            uint64_t colon_at = scan.pos;
            if (!open_pair(level.mark, false, level.key_start, true)) return false;
            scan.pos = colon_at + 1;
            return true;
        }
        scan.restore(after);
        flow_level &seq = flow.back();
        seq.entries++;
        seq.separator = false;
        seq.state = flow_state::after_entry;
        return true;
    }
    case flow_role::map_key:
        level.json_key = json;
        level.state = flow_state::map_after_key;
        return true;
    case flow_role::map_value:
        level.entries++;
        level.separator = false;
        level.state = flow_state::after_entry;
        return true;
    case flow_role::pair_key:
        level.json_key = json;
        level.state = flow_state::pair_after_key;
        return true;
    case flow_role::pair_value: return close_pair(enclosing);
    }
    return true;
}

// The node at scan.pos in the given role.
bool zarvel_parser::flow_node(flow_role role, int32_t enclosing) {
    properties props;
    uint64_t start = scan.pos;
    char first = scan.peek();
    if ((first == '&' || first == '!') && !scan.scan_properties(props, true)) return false;
    if (!props.empty() && !skip_flow_space(enclosing)) return false;
    if (scan.at_end()) return fail(ZARVEL_ERR_FAILED, scan.pos, message::end_in_flow);
    char c = scan.text[scan.pos];
    if (!props.empty() &&
        (c == ',' || c == ']' || c == '}' || (c == ':' && blank_break_flow_or_end(scan, scan.pos + 1)))) {
        if (!emit_empty(props, ZARVEL_STYLE_PLAIN, true, scan.pos)) return false;
        return flow_node_done(role, false, enclosing);
    }
    if (c == '[' || c == '{') return open_flow(c, props, role);
    if (c == '"' || c == '\'') {
        scanned_scalar s;
        bool ok = c == '"' ? scan.scan_double_quoted(true, enclosing, s) : scan.scan_single_quoted(true, enclosing, s);
        if (!ok || !emit_scalar(s, props, true)) return false;
        return flow_node_done(role, true, enclosing);
    }
    if (c == '*') {
        if (!props.empty()) return fail(ZARVEL_ERR_FAILED, start, message::alias_properties);
        uint64_t star = scan.pos;
        zarvel_text_span name;
        if (!scan.scan_alias(name) || !emit_alias(name, star, scan.pos, true)) return false;
        return flow_node_done(role, false, enclosing);
    }
    if (!can_start_plain(scan, scan.pos, true)) return fail(ZARVEL_ERR_FAILED, scan.pos, message::unexpected_in_flow);
    scanned_scalar s;
    plain_stop stop;
    if (!scan.scan_plain(true, enclosing, true, s, stop) || !emit_scalar(s, props, true)) return false;
    return flow_node_done(role, false, enclosing);
}

bool zarvel_parser::parse_flow(int32_t enclosing, const properties &props) {
    ++buffering;
    flow.clear();
    if (!open_flow(scan.text[scan.pos], props, flow_role::seq_entry)) return false;
    while (!flow.empty()) {
        if (!skip_flow_space(enclosing)) return false;
        if (scan.at_end()) return fail(ZARVEL_ERR_FAILED, scan.pos, message::end_in_flow);
        char c = scan.text[scan.pos];
        flow_level &level = flow.back();
        bool explicit_mark = c == '?' && blank_break_flow_or_end(scan, scan.pos + 1);
        bool empty_key_mark = c == ':' && blank_break_flow_or_end(scan, scan.pos + 1);
        switch (level.state) {
        case flow_state::seq_entry:
            if (c == ']') {
                if (!close_flow(enclosing)) return false;
                break;
            }
            if (c == ',' || c == '}') return fail(ZARVEL_ERR_FAILED, scan.pos, message::unexpected_indicator);
            level.mark = static_cast<uint32_t>(events.size());
            level.key_line = scan.line;
            level.key_start = scan.pos;
            if (streaming && !explicit_mark && !empty_key_mark && starts_pair(scan.pos)) {
                zarvel_event e = node_event(ZARVEL_EVENT_MAPPING_START, scan.pos);
                e.flow = 1;
                e.tag_id = ZARVEL_TAG_MAP;
                if (!deliver(e, false)) return false;
            }
            if (explicit_mark) {
                ++scan.pos;
                if (!open_pair(level.mark, false, level.key_start)) return false;
                flow.back().state = flow_state::pair_key;
                break;
            }
            if (empty_key_mark) {
                uint64_t at = scan.pos;
                if (!open_pair(level.mark, true, at)) return false;
                if (!emit_empty(properties{}, ZARVEL_STYLE_NONE, true, at)) return false;
                scan.pos = at + 1;
                break;
            }
            if (!flow_node(flow_role::seq_entry, enclosing)) return false;
            break;
        case flow_state::after_entry: {
            // A sequence or mapping whose entry is complete.
            bool mapping = level.kind == flow_kind::mapping;
            if (c == ',') {
                ++scan.pos;
                level.separator = true;
                level.state = mapping ? flow_state::map_key : flow_state::seq_entry;
                break;
            }
            if (c == (mapping ? '}' : ']')) {
                if (!close_flow(enclosing)) return false;
                break;
            }
            if (c == (mapping ? ']' : '}')) return fail(ZARVEL_ERR_FAILED, scan.pos, message::other_bracket);
            return missing_separator();
        }
        case flow_state::map_key:
        case flow_state::map_explicit_key:
            if (c == '}') {
                if (level.state == flow_state::map_explicit_key) {
                    if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) ||
                        !emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos))
                        return false;
                }
                if (!close_flow(enclosing)) return false;
                break;
            }
            if (c == ',' && level.state == flow_state::map_explicit_key) {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) ||
                    !emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos))
                    return false;
                level.state = flow_state::map_key;
                level.entries++;
                ++scan.pos;
                break;
            }
            if (c == ',' || c == ']') return fail(ZARVEL_ERR_FAILED, scan.pos, message::unexpected_indicator);
            if (explicit_mark && level.state == flow_state::map_key) {
                ++scan.pos;
                level.state = flow_state::map_explicit_key;
                level.explicit_key = true;
                break;
            }
            level.key_start = scan.pos;
            level.key_line = scan.line;
            if (empty_key_mark) {
                if (!emit_empty(properties{},
                                level.state == flow_state::map_explicit_key ? ZARVEL_STYLE_PLAIN : ZARVEL_STYLE_NONE,
                                true, scan.pos))
                    return false;
                ++scan.pos;
                level.state = flow_state::map_value;
                break;
            }
            if (level.state == flow_state::map_key) level.explicit_key = false;
            if (!flow_node(flow_role::map_key, enclosing)) return false;
            break;
        case flow_state::map_after_key:
            if (c == ':' && (level.json_key || blank_break_flow_or_end(scan, scan.pos + 1))) {
                if (!level.explicit_key && scan.pos - level.key_start > max_simple_key)
                    return fail(ZARVEL_ERR_LONG_KEY, level.key_start);
                ++scan.pos;
                level.state = flow_state::map_value;
                break;
            }
            if (c == ',' || c == '}') {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos)) return false;
                level.entries++;
                if (c == ',') {
                    ++scan.pos;
                    level.separator = true;
                    level.state = flow_state::map_key;
                } else if (!close_flow(enclosing)) {
                    return false;
                }
                break;
            }
            return fail(ZARVEL_ERR_FAILED, scan.pos, message::missing_map_colon);
        case flow_state::map_value:
            if (c == ',' || c == '}') {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos)) return false;
                level.entries++;
                if (c == ',') {
                    ++scan.pos;
                    level.separator = true;
                    level.state = flow_state::map_key;
                } else if (!close_flow(enclosing)) {
                    return false;
                }
                break;
            }
            if (c == ']') return fail(ZARVEL_ERR_FAILED, scan.pos, message::other_bracket);
            if (!flow_node(flow_role::map_value, enclosing)) return false;
            break;
        case flow_state::pair_key:
            if (c == ':' && blank_break_flow_or_end(scan, scan.pos + 1)) {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos)) return false;
                ++scan.pos;
                level.state = flow_state::pair_value;
                break;
            }
            if (c == ',' || c == ']') {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) ||
                    !emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) || !close_pair(enclosing))
                    return false;
                break;
            }
            if (c == '}') return fail(ZARVEL_ERR_FAILED, scan.pos, message::other_bracket);
            if (!flow_node(flow_role::pair_key, enclosing)) return false;
            break;
        case flow_state::pair_after_key:
            if (c == ':' && (level.json_key || blank_break_flow_or_end(scan, scan.pos + 1))) {
                ++scan.pos;
                level.state = flow_state::pair_value;
                break;
            }
            if (c == ',' || c == ']') {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) || !close_pair(enclosing))
                    return false;
                break;
            }
            return fail(ZARVEL_ERR_FAILED, scan.pos, message::missing_colon);
        case flow_state::pair_value:
            if (c == ',' || c == ']') {
                if (!emit_empty(properties{}, ZARVEL_STYLE_PLAIN, true, scan.pos) || !close_pair(enclosing))
                    return false;
                break;
            }
            if (c == '}') return fail(ZARVEL_ERR_FAILED, scan.pos, message::other_bracket);
            if (!flow_node(flow_role::pair_value, enclosing)) return false;
            break;
        }
    }
    --buffering;
    return true;
}

// Streaming pass: whether the sequence entry at offset is the key of a
// single-pair mapping. Entries are met in increasing offset order and the
// offsets were sorted, so one cursor walks them.
bool zarvel_parser::starts_pair(uint64_t offset) {
    while (next_pair < pair_starts.size() && pair_starts[next_pair] < offset) ++next_pair;
    return next_pair < pair_starts.size() && pair_starts[next_pair] == offset;
}

bool zarvel_parser::check_then_stream(int32_t enclosing, const properties &props, bool &streamed) {
    streamed = false;
    cursor start = scan.save();
    uint32_t counter = anchor_counter;
    pair_starts.clear();
    if (shadow.slots) zarvel_strmap_clear(&shadow);
    check_only = scan.check_only = true;
    bool ok = parse_flow(enclosing, props);
    check_only = scan.check_only = false;
    anchor_counter = counter;
    if (!ok) return false;
    // A tree followed by ':' is a key: its events must follow the mapping
    // start, so it is held as usual.
    scan.skip_blanks();
    bool key = scan.peek() == ':' && scan.blank_or_end_at(scan.pos + 1);
    scan.restore(start);
    if (key) return true;
    std::sort(pair_starts.begin(), pair_starts.end());
    next_pair = 0;
    streaming = true;
    ok = parse_flow(enclosing, props);
    streaming = false;
    streamed = ok;
    return ok;
}

// ---- JSON-shaped trees ------------------------------------------------------
// Most flow trees are JSON or close to it: quoted or plain keys, quoted
// values or plain ones of simple words on one line, separators where JSON
// puts them, no comments, properties or pairs. For those a quick walk proves
// that the general machine would accept the tree and create no pair, noting
// each event's offset on a tape, so that the events can go out from the tape
// without the checking pass, the buffer or a second look at the text.
// Anything else (or anything doubtful) makes the walk give up, and the tree
// takes the general way.

namespace {

// Bytes of the plain scalars the quick walk takes: none ends a plain scalar
// in flow context, and only '-' is an indicator (checked where one starts).
// 1 for those bytes, 2 for a space (which a scalar's words may have between them).
constexpr std::array<uint8_t, 256> make_json_plain_bytes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '+' ||
               c == '-' || c == '_';
    t[' '] = 2;
    return t;
}
constexpr std::array<uint8_t, 256> json_plain_bytes = make_json_plain_bytes();

inline bool json_plain_byte(char c) { return json_plain_bytes[static_cast<unsigned char>(c)] & 1; }
inline bool json_plain_or_space(char c) { return json_plain_bytes[static_cast<unsigned char>(c)] != 0; }

// The end of the plain scalar whose first byte is at i: its words of
// plain bytes and the spaces between them. One scan over both kinds of
// byte, then the trailing spaces back off, settles it without a branch per
// word.
uint64_t json_plain_end(const char *t, uint64_t n, uint64_t i) {
    const uint64_t start = i;
    // Most scalars (keys, numbers, words) end within a few bytes: a byte
    // loop settles them sooner than the vectors can be set up.
    const uint64_t short_end = n - i > 16 ? i + 16 : n;
    while (i < short_end && json_plain_or_space(t[i])) ++i;
    if (i == short_end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time: spaces, letters (folded to lower case), digits and
        // the four punctuation bytes; bytes above 0x7F compare as negative.
        const auto in = [](__m128i v, char lo, char hi) {
            return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                                 _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
        };
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + i));
            const __m128i punct = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('.')), _mm_cmpeq_epi8(v, _mm_set1_epi8('+'))),
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))));
            const __m128i plain =
                _mm_or_si128(_mm_or_si128(in(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z'), in(v, '0', '9')), punct);
            const auto other =
                ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(plain, _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))))) &
                0xFFFFu;
            if (other) {
                i += static_cast<uint64_t>(__builtin_ctz(other));
                break;
            }
        }
        if (i + 16 > n)
#endif
            while (i < n && json_plain_or_space(t[i])) ++i;
    }
    while (i > start && t[i - 1] == ' ') --i;
    return i;
}

// The closing quote of the double-quoted scalar at i, when its content is one
// line with only escapes the JSON way (which all decode); else 0. escaped
// tells whether it has any.
uint64_t json_string_end(const char *t, uint64_t n, uint64_t i, bool &escaped) {
    for (uint64_t j = i + 1; j < n; ++j) {
#if defined(__SSE2__)
        // Sixteen bytes at a time up to a quote, a backslash or a control byte.
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
        const __m128i control = _mm_set1_epi8(0x1F);
        while (j + 16 <= n) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + j));
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
            auto m = static_cast<uint32_t>(_mm_movemask_epi8(hit));
            if (m) {
                j += static_cast<uint64_t>(__builtin_ctz(m));
                break;
            }
            j += 16;
        }
        if (j >= n) return 0;
#endif
        auto c = static_cast<unsigned char>(t[j]);
        if (c == '"') return j;
        if (c == '\\') {
            escaped = true;
            if (j + 1 >= n) return 0;
            char e = t[j + 1];
            if (e == 'u') {
                if (j + 6 > n) return 0;
                uint32_t v = 0;
                for (uint64_t k = j + 2; k < j + 6; ++k) {
                    char h = t[k];
                    if (!has_class(h, cc_hex)) return 0;
                    v = v * 16 + static_cast<uint32_t>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
                }
                if (v >= 0xD800 && v <= 0xDFFF) return 0;  // pairs go the general way
                j += 5;
                continue;
            }
            if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' && e != 't') return 0;
            ++j;
            continue;
        }
        if (c < 0x20 && c != '\t') return 0;
    }
    return 0;
}

}  // namespace

namespace {

// Tape entries: offsets as deltas from the previous entry, one byte when
// below 255, else 255 and four bytes.
inline uint8_t *put_delta(uint8_t *w, uint64_t v) {
    if (v < 255) {
        *w = static_cast<uint8_t>(v);
        return w + 1;
    }
    *w = 255;
    auto x = static_cast<uint32_t>(v);
    std::memcpy(w + 1, &x, 4);
    return w + 5;
}

inline uint64_t get_delta(const uint8_t *&r) {
    uint64_t v = *r++;
    if (v == 255) {
        uint32_t x;
        std::memcpy(&x, r, 4);
        r += 4;
        v = x;
    }
    return v;
}

// An entry's offset goes with the kind of byte there, in its low three
// bits, so that the replay need not read the text: 0 LF, 1 CR LF, 2 '[',
// 3 '{', 4 ']', 5 '}', 6 a double-quoted scalar, 7 a plain one. One byte
// when the pair is below 255, else 255 and eight bytes.

inline uint8_t *put_entry(uint8_t *w, uint64_t delta, uint8_t kind) {
    uint64_t v = delta << 3 | kind;
    if (v < 255) {
        *w = static_cast<uint8_t>(v);
        return w + 1;
    }
    *w = 255;
    std::memcpy(w + 1, &v, 8);
    return w + 9;
}

inline uint64_t get_entry(const uint8_t *&r) {
    uint64_t v = *r++;
    if (v == 255) {
        std::memcpy(&v, r, 8);
        r += 8;
    }
    return v;
}

// Bytes a tape entry takes at most: a scalar's offset and its length.
constexpr size_t tape_entry_room = 14;

}  // namespace

bool zarvel_parser::json_shaped(int32_t enclosing, uint64_t &close) {
    const char *t = scan.text;
    const uint64_t n = scan.size;
    uint64_t i = scan.pos;
    // Offsets and lengths on the tape are 32-bit.
    if (n - i > UINT32_MAX) return false;
    tape.clear();
    // A tree takes about a byte of tape for four of text: room for the rest
    // of the text at once saves copying the tape as it grows (pages never
    // written cost nothing).
    const uint64_t room_wanted = (n - i) / 4 < (uint64_t{1} << 26) ? (n - i) / 4 : uint64_t{1} << 26;
    if (!tape.reserve(static_cast<size_t>(room_wanted) + 256)) return false;
    uint8_t *w = tape.data();
    uint8_t *w_end = w + tape.capacity() - tape_entry_room;
    uint64_t last = i;  // offset of the last entry
    auto room = [&]() -> bool {
        if (w < w_end) return true;
        size_t used = static_cast<size_t>(w - tape.data());
        tape.resize_down(used);
        if (!tape.reserve(tape.capacity() * 2)) return false;
        w = tape.data() + used;
        w_end = tape.data() + tape.capacity() - tape_entry_room;
        return true;
    };
    auto mark = [&](uint64_t at, uint8_t kind) {
        w = put_entry(w, at - last, kind);
        last = at;
    };
    // Bit d: level d is a mapping. Deeper trees (rare) take the general way.
    uint64_t maps = 0;
    constexpr uint32_t depth_limit = 64;
    uint32_t depth = 0;
    // Spaces, and line breaks onto continuation lines that the general
    // machine passes without a word (indented enough, no tab, no comment,
    // no marker); each break goes on the tape. False also at the end of the
    // text.
    auto space = [&]() -> bool {
        // Most nodes are followed by a separator or by one space and a node.
        if (i + 1 < n) {
            if (static_cast<unsigned char>(t[i]) > ' ') return t[i] != '#';
            if (t[i] == ' ' && static_cast<unsigned char>(t[i + 1]) > ' ') return t[++i] != '#';
        }
        for (;;) {
            while (i < n && t[i] == ' ') ++i;
            if (i >= n) return false;
            char c = t[i];
            if (c != '\n' && c != '\r') return c != '\t' && c != '#';
            if (c == '\r' && (i + 1 >= n || t[i + 1] != '\n')) return false;
            if (!room()) return false;
            mark(i, c == '\r' ? 1 : 0);
            i += c == '\r' ? 2 : 1;
            uint64_t line = i;
            while (i < n && t[i] == ' ') ++i;
            if (i >= n) return false;
            c = t[i];
            if (c == '\n' || c == '\r') continue;
            if (static_cast<int64_t>(i - line) <= enclosing) return false;
            if (i == line && !has_class(c, cc_letter | cc_digit) && c != '"' && !is_flow_indicator(c)) return false;
        }
    };
    // A plain scalar of words of plain bytes separated by spaces, on one
    // line; i ends past its last word, the length goes on the tape.
    auto plain = [&]() -> bool {
        char c = t[i];
        if (!json_plain_byte(c) || (c == '-' && (i + 1 >= n || !json_plain_byte(t[i + 1])))) return false;
        const uint64_t start = i;
        i = json_plain_end(t, n, i);
        if (i - start > INT32_MAX) return false;
        mark(start, 7);
        w = put_delta(w, (i - start) << 1);
        return true;
    };
    // The double-quoted scalar at i; the length's low bit tells an escape.
    auto quoted = [&]() -> bool {
        bool escaped = false;
        uint64_t end = json_string_end(t, n, i, escaped);
        if (!end || end - i - 1 > INT32_MAX) return false;
        mark(i, 6);
        w = put_delta(w, ((end - i - 1) << 1) | (escaped ? 1 : 0));
        i = end + 1;
        return true;
    };
    // Three places in the tree, jumped between: before a value, before a
    // key, after a node (',' or the level's closing bracket). map tells the
    // innermost level's kind.
    bool map = false;
value:
    if (!room()) return false;
    switch (t[i]) {
    case '"':
        if (!quoted() || !space()) return false;
        goto after;
    case '[':
    case '{':
        map = t[i] == '{';
        if (depth >= max_depth || depth >= depth_limit) return false;
        maps = (maps & ~(uint64_t{1} << depth)) | uint64_t{map} << depth;
        ++depth;
        mark(i, map ? 3 : 2);
        ++i;
        if (!space()) return false;
        if (t[i] == (map ? '}' : ']')) goto after;
        if (map) goto key;
        goto value;
    default:
        if (!plain()) return false;
        while (i < n && t[i] == ' ') ++i;
        if (i >= n) return false;
        if (t[i] != ',' && t[i] != ']' && t[i] != '}' && t[i] != '\n' && t[i] != '\r') return false;
        if (!space()) return false;
        goto after;
    }
key:
    if (!room()) return false;
    {
        const uint64_t start = i;
        const bool json_key = t[i] == '"';
        if (json_key ? !quoted() : !plain()) return false;
        while (i < n && t[i] == ' ') ++i;
        if (i >= n || t[i] != ':' || i - start > max_simple_key) return false;
        // After a plain key the ':' needs a space or a line break.
        if (!json_key && (i + 1 >= n || (t[i + 1] != ' ' && t[i + 1] != '\n' && t[i + 1] != '\r'))) return false;
        ++i;
        if (!space()) return false;
        goto value;
    }
after:
    if (t[i] == ',') {
        ++i;
        if (!space() || t[i] == ']' || t[i] == '}') return false;
        if (map) goto key;
        goto value;
    }
    if (t[i] != (map ? '}' : ']') || !room()) return false;
    mark(i, map ? 5 : 4);
    if (--depth == 0) {
        close = i;
        tape.resize_down(static_cast<size_t>(w - tape.data()));
        return true;
    }
    map = (maps >> (depth - 1)) & 1;
    ++i;
    if (!space()) return false;
    goto after;
}

// A one-line scalar of a streamed tree whose text is the input's own: by
// slot 10 when the sink has it.
bool zarvel_parser::deliver_flow_scalar(zarvel_text_span text, uint8_t style, uint32_t start_column,
                                        uint32_t end_column) {
    if (sink->flow_scalar)
        return sink->flow_scalar(sink->user, text, scan.line, start_column, end_column, style) == 0 ? true : stop();
    zarvel_event e = bare_event(ZARVEL_EVENT_SCALAR);
    e.text = text;
    e.style = style;
    e.plain_implicit = style == ZARVEL_STYLE_PLAIN;
    e.flow = 1;
    e.verbatim = 1;
    e.start_line = e.end_line = scan.line;
    e.start_column = start_column;
    e.end_column = end_column;
    if (style == ZARVEL_STYLE_PLAIN && tag_ids) e.tag_id = schema->text(nullptr, text.data, text.length);
    return deliver(e, false);
}

// A flow bracket's event on scan.line, by the event record; the outer
// tree's start (props given) takes the properties of its line.
bool zarvel_parser::deliver_bracket(uint32_t kind, uint64_t at, uint32_t column, const properties *props) {
    zarvel_event e = bare_event(kind);
    e.text = {scan.text + at, 0};
    e.verbatim = 1;
    e.flow = 1;
    e.start_line = e.end_line = scan.line;
    e.start_column = e.end_column = column;
    if (kind == ZARVEL_EVENT_SEQUENCE_START || kind == ZARVEL_EVENT_MAPPING_START) {
        e.tag_id = static_cast<uint8_t>(kind == ZARVEL_EVENT_MAPPING_START ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ);
        if (props) {
            if (!apply_properties(e, *props)) return false;
            if (props->has_tag) e.tag_id = zarvel_tag_id_of(props->tag.data, props->tag.length);
        }
    }
    return deliver(e, false);
}

// Whether the tree at scan.pos is a flat one of a few plain scalars on its
// line ("{id: 7, name: x}", "[a, b]": the usual anchored entry). A narrower
// form of what json_shaped takes, so its events are the same; they are
// noted in `flat` rather than on the tape, and the sink must have the
// scalar and collection slots to take them.
bool zarvel_parser::flat_shaped(uint64_t &close) {
    if (!sink->flow_scalar || !sink->collection || max_depth == 0) return false;
    const char *t = scan.text;
    const uint64_t n = scan.size;
    const uint64_t open = scan.pos;
    const bool map = t[open] == '{';
    const char closer = map ? '}' : ']';
    const uint64_t bound = n - open > flat_tree::longest ? open + flat_tree::longest : n;
    uint64_t i = open + 1;
    flat.count = 0;
    // Spaces, then a node or a bracket on the same line.
    auto space = [&]() -> bool {
        while (i < n && t[i] == ' ') ++i;
        if (i >= n) return false;
        const auto c = static_cast<unsigned char>(t[i]);
        return c > ' ' && c != '#';
    };
    // A plain scalar (see json_shaped) and the spaces after it.
    auto plain = [&]() -> bool {
        const char c = t[i];
        if (!json_plain_byte(c) || (c == '-' && (i + 1 >= n || !json_plain_byte(t[i + 1]))) ||
            flat.count == flat_tree::most)
            return false;
        // Words and the spaces after them in one loop (the scalars are short).
        const uint64_t start = i;
        while (i < bound && json_plain_or_space(t[i])) ++i;
        if (i >= bound) return false;
        uint64_t end = i;
        while (t[end - 1] == ' ') --end;
        flat.at[flat.count] = start;
        flat.length[flat.count++] = static_cast<uint32_t>(end - start);
        return true;
    };
    if (!space() || t[i] == closer) return false;
    for (;;) {
        if (map) {
            const uint64_t start = i;
            if (!plain() || t[i] != ':' || i - start > max_simple_key || i + 1 >= n || t[i + 1] != ' ') return false;
            ++i;
            if (!space()) return false;
        }
        if (!plain()) return false;
        if (t[i] == closer) break;
        if (t[i] != ',') return false;
        ++i;
        if (!space() || t[i] == ']' || t[i] == '}') return false;
    }
    close = i;
    return true;
}

// Delivers the tree flat_shaped noted: the events stream_json would give.
bool zarvel_parser::stream_flat(const properties &props, uint64_t close) {
    const uint64_t open = scan.pos;
    const uint64_t line_start = scan.line_start;
    const uint32_t line = scan.line;
    const bool map = scan.text[open] == '{';
    streaming = true;
    bool ok = deliver_bracket(map ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START, open,
                              static_cast<uint32_t>(open - line_start + 1), &props);
    for (uint32_t k = 0; ok && k < flat.count; ++k) {
        const auto start_column = static_cast<uint32_t>(flat.at[k] - line_start + 1);
        ok = deliver_flow_scalar({scan.text + flat.at[k], flat.length[k]}, ZARVEL_STYLE_PLAIN, start_column,
                                 start_column + flat.length[k]);
    }
    streaming = false;
    if (!ok) return false;
    scan.pos = close + 1;
    return sink->collection(sink->user, map ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END, line,
                            static_cast<uint32_t>(close - line_start + 1), 1) == 0 ||
           stop();
}

// Delivers the events of the tree at scan.pos from the tape json_shaped
// left: the same events, in the same order, as the general machine would
// give, without reading the text again.
bool zarvel_parser::stream_json(int32_t enclosing, const properties &props) {
    const char *t = scan.text;
    const uint8_t *r = tape.data();
    const uint8_t *r_end = r + tape.size();
    uint64_t at = scan.pos;
    uint32_t line = scan.line;
    uint64_t line_start = scan.line_start;
    int (*flow_slot)(void *, zarvel_text_span, uint32_t, uint32_t, uint32_t, uint8_t) = sink->flow_scalar;
    int (*collection_slot)(void *, uint32_t, uint32_t, uint32_t, uint8_t) = sink->collection;
    streaming = true;
    bool ok = true;
    bool outer = true;
    // The event kinds of the bracket entries (tape kinds 2 to 5).
    static constexpr uint32_t bracket_kinds[4] = {ZARVEL_EVENT_SEQUENCE_START, ZARVEL_EVENT_MAPPING_START,
                                                  ZARVEL_EVENT_SEQUENCE_END, ZARVEL_EVENT_MAPPING_END};
    while (ok && r < r_end) {
        const uint64_t entry = get_entry(r);
        at += entry >> 3;
        const auto tape_kind = static_cast<unsigned>(entry & 7);
        if (tape_kind >= 6) {
            // A scalar: the most frequent entry.
            uint64_t length = get_delta(r);
            const bool quote = tape_kind == 6;
            if (length & 1) {
                // Escapes: the general scanner decodes the text.
                scan.pos = at;
                scan.line = line;
                scan.line_start = line_start;
                scanned_scalar sc;
                ok = scan.scan_double_quoted(true, enclosing, sc) && emit_scalar(sc, properties{}, true);
                continue;
            }
            length >>= 1;
            zarvel_text_span text{t + at + quote, static_cast<uint32_t>(length)};
            const auto start_column = static_cast<uint32_t>(at - line_start + 1);
            const auto end_column = static_cast<uint32_t>(start_column + length + 2 * quote);
            const uint8_t style = quote ? ZARVEL_STYLE_DOUBLE : ZARVEL_STYLE_PLAIN;
            if (flow_slot) {
                ok = flow_slot(sink->user, text, line, start_column, end_column, style) == 0 ? true : stop();
                continue;
            }
            scan.line = line;
            ok = deliver_flow_scalar(text, style, start_column, end_column);
            continue;
        }
        if (tape_kind < 2) {
            ++line;
            line_start = at + (tape_kind == 1 ? 2 : 1);
            continue;
        }
        const bool open = tape_kind < 4;
        const uint32_t kind = bracket_kinds[tape_kind - 2];
        const auto column = static_cast<uint32_t>(at - line_start + 1);
        if (collection_slot && !(open && outer)) {
            ok = collection_slot(sink->user, kind, line, column, 1) == 0 ? true : stop();
            continue;
        }
        scan.line = line;
        ok = deliver_bracket(kind, at, column, open && outer ? &props : nullptr);
        outer = outer && !open;
    }
    streaming = false;
    scan.pos = at + 1;
    scan.line = line;
    scan.line_start = line_start;
    return ok;
}
