// Fused block scanner: the second fast path of zarvel_parse. It reads simple
// block YAML (nested block mappings and sequences of one-line scalars,
// aliases, anchors and one-line flow collections) line by line and writes the
// event log directly, without the scanner and event parser.
//
// It accepts only what it is sure of and gives up on everything else; the
// event parser then runs on the whole text. Whatever it records replays to
// the nodes the event parser's recording gives.
//
// Lines it understands (c = column of the first content byte):
//   blank and comment lines
//   "- " ITEM      a block sequence entry at c; ITEM is again a line body at
//                  the column after the blanks (a nested entry, a pair opening
//                  a mapping there, a scalar, or nothing: the item follows on
//                  later lines or is empty)
//   KEY ": " VALUE a pair of the block mapping at c; an empty VALUE means the
//                  value follows on later lines (more indented, or "- "
//                  entries at c) or is empty
// KEY is a plain scalar; VALUE and ITEM are a plain scalar, a one-line
// quoted scalar without escapes, an anchored plain scalar, an alias (values
// only) or a one-line JSON-shaped flow collection.
//
// It gives up on tabs and carriage returns anywhere, directives, document
// markers, tags, explicit keys, block scalars, multi-line scalars, quoted
// keys, anchors on collections, aliases to unknown names, more than 255 open
// levels and inputs without a node.
#include <cstring>

#include "doc/composer.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"

namespace {

using namespace zvl::event_log;

constexpr uint32_t max_levels = 255;
constexpr uint64_t max_key_length = 1024;
constexpr uint32_t anchor_slots = 65536;
constexpr uint32_t anchor_probe = 64;

// ---- anchor table -----------------------------------------------------------------

struct anchor_slot {
    uint32_t offset;  // name offset in the input
    uint32_t length;  // 0 = empty slot
    uint32_t index;   // anchor index it names
    uint32_t hash;
};

uint32_t anchor_hash(const char *name, uint64_t length) {
    uint64_t h = 0x811C9DC5u;
    for (uint64_t at = 0; at < length; at += 8) {
        uint64_t chunk = 0;
        uint64_t n = length - at < 8 ? length - at : 8;
        for (uint64_t i = 0; i < n; ++i) chunk |= uint64_t(uint8_t(name[at + i])) << (8 * i);
        h ^= chunk;
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return uint32_t(h ^ (h >> 32));
}

// ---- scanner state ----------------------------------------------------------------

struct level {
    uint32_t indent;
    bool is_map;
};

enum class outcome { ok, give_up };

struct block_scanner {
    zarvel_event_log *log;
    const zarvel_resolver *resolver;
    const char *text;
    uint64_t length;

    level levels[max_levels] = {};
    uint32_t depth = 0;
    // A key (or "-") ended its line: its node follows on later lines.
    bool awaiting = false;
    bool root_done = false;
    bool failed = false;

    anchor_slot *anchors = nullptr;
    uint32_t next_anchor = 1;

    block_scanner(zarvel_event_log *l, const zarvel_resolver *r, const char *t, uint64_t n)
        : log(l), resolver(r), text(t), length(n) {}
    ~block_scanner() { zvl::deallocate(&zarvel_default_allocator, anchors); }

    // ---- recording --------------------------------------------------------------

    bool push(const uint64_t *words, uint32_t count) {
        if (!zarvel_event_log_push(log, words, count)) failed = true;
        return !failed;
    }
    uint64_t compact(uint64_t offset, uint64_t n) const { return offset | (n << 32); }

    bool open(bool is_map, uint32_t indent) {
        if (depth >= max_levels) return false;
        uint64_t w[3] = {(uint64_t(record_node_event) << kind_shift) |
                             (is_map ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START),
                         external_mark, 0};
        if (!push(w, 3)) return false;
        levels[depth++] = {indent, is_map};
        awaiting = false;
        return true;
    }
    bool close() {
        if (awaiting && !empty_value()) return false;
        uint64_t w[3] = {(uint64_t(record_node_event) << kind_shift) |
                             (levels[depth - 1].is_map ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END),
                         external_mark, 0};
        if (!push(w, 3)) return false;
        --depth;
        awaiting = false;
        if (depth == 0) root_done = true;
        return true;
    }
    // The empty node of a key or entry whose line ended: a plain null.
    bool empty_value() {
        awaiting = false;
        uint64_t w = (uint64_t(record_scalar_value) << kind_shift) | compact(length, 0);
        return push(&w, 1);
    }
    bool plain_key(uint64_t offset, uint64_t n) {
        uint8_t tag_id = resolver->text(nullptr, text + offset, uint32_t(n));
        uint64_t first = (uint64_t(record_scalar) << kind_shift) | tag_id | (1u << 8) | (1u << 11) | (1u << 13);
        uint64_t w[2] = {first, compact(offset, n)};
        return push(w, 2);
    }
    bool plain_item(uint64_t offset, uint64_t n) {
        uint64_t w = (uint64_t(record_scalar_value) << kind_shift) | compact(offset, n);
        return push(&w, 1);
    }
    bool quoted(uint64_t offset, uint64_t n, uint8_t style) {
        uint64_t first = (uint64_t(record_scalar) << kind_shift) | (uint64_t(style) << 8) | (1u << 13);
        uint64_t w[2] = {first, compact(offset, n)};
        return push(w, 2);
    }
    bool anchored_item(uint64_t offset, uint64_t n, uint64_t name, uint64_t name_len, uint32_t index) {
        uint8_t tag_id = resolver->text(nullptr, text + offset, uint32_t(n));
        uint64_t first = (uint64_t(record_scalar) << kind_shift) | tag_id | (1u << 8) | (1u << 11) | (1u << 13) |
                         (1u << 16) | (uint64_t(index) << 32);
        uint64_t w[3] = {first, compact(offset, n), compact(name, name_len)};
        return push(w, 3);
    }
    bool pair(uint64_t key, uint64_t key_len, uint64_t value_kind, uint64_t value, uint64_t value_len,
              uint64_t anchor, uint64_t anchor_len, uint32_t index) {
        uint64_t first = (uint64_t(record_pair) << kind_shift) | value_kind | (1u << 3) | (uint64_t(index) << 32);
        uint64_t w[4] = {0, compact(key, key_len), compact(value, value_len), 0};
        uint32_t count = 3;
        if (value_kind == pair_value_anchored) {
            first |= 1u << 4;
            w[count++] = compact(anchor, anchor_len);
        }
        w[0] = first;
        return push(w, count);
    }

    // ---- anchors ------------------------------------------------------------------

    bool define_anchor(uint64_t name, uint64_t n, uint32_t *index) {
        if (!anchors) {
            anchors = static_cast<anchor_slot *>(
                zvl::allocate(&zarvel_default_allocator, anchor_slots * sizeof(anchor_slot)));
            if (!anchors) return false;
            std::memset(anchors, 0, anchor_slots * sizeof(anchor_slot));
        }
        if (next_anchor >= big_anchor) return false;
        uint32_t h = anchor_hash(text + name, n);
        for (uint32_t probe = 0; probe < anchor_probe; ++probe) {
            anchor_slot &s = anchors[(h + probe) & (anchor_slots - 1)];
            bool same = s.length == n && s.hash == h && std::memcmp(text + s.offset, text + name, n) == 0;
            if (s.length == 0 || same) {
                s = {uint32_t(name), uint32_t(n), next_anchor, h};
                *index = next_anchor++;
                return true;
            }
        }
        return false;
    }
    bool find_anchor(uint64_t name, uint64_t n, uint32_t *index) const {
        if (!anchors) return false;
        uint32_t h = anchor_hash(text + name, n);
        for (uint32_t probe = 0; probe < anchor_probe; ++probe) {
            const anchor_slot &s = anchors[(h + probe) & (anchor_slots - 1)];
            if (s.length == 0) return false;
            if (s.length == n && s.hash == h && std::memcmp(text + s.offset, text + name, n) == 0) {
                *index = s.index;
                return true;
            }
        }
        return false;
    }

    // ---- lexical pieces -----------------------------------------------------------

    static bool is_name_char(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    }
    // Bytes that may not start a plain scalar here (some only before a blank).
    static bool is_indicator(char c) {
        return std::strchr(",[]{}#&*!|>'\"%@`", c) != nullptr;
    }
    bool blank_at(uint64_t at, uint64_t end) const { return at >= end || text[at] == ' '; }

    // End of a plain one-line scalar starting at `at` (trailing blanks and a
    // comment cut off); 0 when the text is not such a scalar.
    bool plain_extent(uint64_t at, uint64_t end, uint64_t *out_end) const {
        char c = text[at];
        if (is_indicator(c)) return false;
        if ((c == '-' || c == '?' || c == ':') && blank_at(at + 1, end)) return false;
        uint64_t last = at;
        for (uint64_t i = at; i < end; ++i) {
            char b = text[i];
            if (b == ' ') {
                if (i + 1 < end && text[i + 1] == '#') break;
                continue;
            }
            if (b == ':' && blank_at(i + 1, end)) return false;  // a key, or "a: b: c"
            last = i + 1;
        }
        *out_end = last;
        return true;
    }
    // Only blanks and maybe a comment from `at` to the line end.
    bool rest_is_empty(uint64_t at, uint64_t end) const {
        while (at < end && text[at] == ' ') ++at;
        return at == end || text[at] == '#';
    }
    uint64_t skip_blanks(uint64_t at, uint64_t end) const {
        while (at < end && text[at] == ' ') ++at;
        return at;
    }

    // A plain key "KEY:" followed by a blank or the end: the key's end and
    // the offset of the colon.
    bool key_extent(uint64_t at, uint64_t end, uint64_t *key_end) const {
        char c = text[at];
        if (is_indicator(c) || c == '-' || c == '?' || c == ':') return false;
        for (uint64_t i = at; i < end; ++i) {
            char b = text[i];
            if (b == ':' && blank_at(i + 1, end)) {
                if (text[i - 1] == ' ') return false;
                if (i - at > max_key_length) return false;
                *key_end = i;
                return true;
            }
            if (b == ' ' && i + 1 < end && text[i + 1] == '#') return false;
        }
        return false;
    }

    // ---- structure -------------------------------------------------------------

    // A node (value of a pair or a sequence item) on the rest of its line.
    // `for_key` carries the key of a pair, which is written first.
    bool node_on_line(uint64_t at, uint64_t end, bool has_key, uint64_t key, uint64_t key_len) {
        char c = text[at];
        if (c == '&') {
            uint64_t name = at + 1, n = name;
            while (n < end && is_name_char(text[n])) ++n;
            if (n == name || n >= end || text[n] != ' ') return false;
            uint64_t v = skip_blanks(n, end);
            uint64_t v_end;
            if (v >= end || !plain_extent(v, end, &v_end) || v_end - v >= compact_limit) return false;
            uint32_t index;
            if (!define_anchor(name, n - name, &index)) return false;
            if (has_key) return pair(key, key_len, pair_value_anchored, v, v_end - v, name, n - name, index);
            return anchored_item(v, v_end - v, name, n - name, index);
        }
        if (c == '*') {
            if (!has_key) return false;
            uint64_t name = at + 1, n = name;
            while (n < end && is_name_char(text[n])) ++n;
            if (n == name || !rest_is_empty(n, end)) return false;
            if (n < end && text[n] != ' ') return false;
            uint32_t index;
            if (!find_anchor(name, n - name, &index)) return false;
            return pair(key, key_len, pair_value_alias, name, n - name, 0, 0, index);
        }
        if (c == '"' || c == '\'') {
            uint64_t close = at + 1;
            while (close < end && text[close] != c && text[close] != '\\') ++close;
            if (close >= end || text[close] != c || close - at >= compact_limit) return false;
            if (c == '\'' && close + 1 < end && text[close + 1] == '\'') return false;
            if (!rest_is_empty(close + 1, end)) return false;
            if (close + 1 < end && text[close + 1] != ' ') return false;
            if (has_key && !plain_key(key, key_len)) return false;
            return quoted(at + 1, close - at - 1, c == '"' ? ZARVEL_STYLE_DOUBLE : ZARVEL_STYLE_SINGLE);
        }
        if (c == '[' || c == '{') {
            if (has_key && !plain_key(key, key_len)) return false;
            uint64_t close = 0;
            int r = zarvel_flow_recorder(log, text, at, length, {nullptr, 0}, {nullptr, 0}, 0,
                                         zarvel_store_max_depth, &close);
            if (r != 1) {
                if (r < 0) failed = true;
                return false;
            }
            return close < end && rest_is_empty(close + 1, end) && (close + 1 >= end || text[close + 1] == ' ');
        }
        uint64_t v_end;
        if (!plain_extent(at, end, &v_end) || v_end - at >= compact_limit) return false;
        if (has_key) return pair(key, key_len, pair_value_plain, at, v_end - at, 0, 0, 0);
        return plain_item(at, v_end - at);
    }

    // The body of a line from `at` (column `column`) to `end`: an entry, a
    // pair, or (for an item) a scalar.
    bool body(uint64_t at, uint64_t end, uint32_t column, bool is_item) {
        if (text[at] == '-' && blank_at(at + 1, end)) {
            if (!enter(column, false)) return false;
            uint64_t next = skip_blanks(at + 1, end);
            if (next >= end || text[next] == '#') {
                awaiting = true;
                return true;
            }
            return body(next, end, uint32_t(column + (next - at)), true);
        }
        uint64_t key_end;
        if (key_extent(at, end, &key_end)) {
            if (!enter(column, true)) return false;
            uint64_t v = skip_blanks(key_end + 1, end);
            if (v >= end || text[v] == '#') {
                if (!plain_key(at, key_end - at)) return false;
                awaiting = true;
                return true;
            }
            if (text[v] == '-' && blank_at(v + 1, end)) return false;  // "a: - b"
            return node_on_line(v, end, true, at, key_end - at);
        }
        if (!is_item) return false;
        return node_on_line(at, end, false, 0, 0);
    }

    // Makes the collection at `column` of this kind the current one: an open
    // one continues, an awaited node or a new root opens it.
    bool enter(uint32_t column, bool is_map) {
        if (depth > 0) {
            level &top = levels[depth - 1];
            if (!awaiting && top.indent == column) return top.is_map == is_map;
            if (!awaiting) {
                // A nested node after an item marker on the same line.
                if (top.is_map || column <= top.indent) return false;
                return open(is_map, column);
            }
            // The awaited node: more indented, or entries under their key.
            if (column > top.indent || (top.is_map && !is_map && column == top.indent))
                return open(is_map, column);
            return false;
        }
        if (root_done) return false;
        return open(is_map, column);
    }

    // One content line whose first content byte is at `at` (column c).
    bool line(uint64_t at, uint64_t end, uint32_t c) {
        bool entry = text[at] == '-' && blank_at(at + 1, end);
        // Close the levels this line leaves.
        while (depth > 0) {
            level &top = levels[depth - 1];
            if (top.indent > c) {
                if (!close()) return false;
                continue;
            }
            if (top.indent == c && !top.is_map && !entry && !awaiting) {
                if (!close()) return false;
                continue;
            }
            break;
        }
        if (awaiting && depth > 0) {
            level &top = levels[depth - 1];
            bool nested = c > top.indent || (top.is_map && entry && c == top.indent);
            if (!nested) {
                if (!empty_value()) return false;
                if (!top.is_map && !entry) {
                    if (!close()) return false;
                }
            }
        }
        if (depth > 0 && !awaiting && c > levels[depth - 1].indent) return false;  // continuation
        return body(at, end, c, false);
    }

    bool run() {
        if (std::memchr(text, '\t', length) || std::memchr(text, '\r', length)) return false;
        if (!zarvel_event_log_push_event(log, ZARVEL_EVENT_STREAM_START) ||
            !zarvel_event_log_push_event(log, ZARVEL_EVENT_DOCUMENT_START))
            return false;
        uint64_t at = 0;
        while (at < length) {
            const char *nl = static_cast<const char *>(std::memchr(text + at, '\n', length - at));
            uint64_t end = nl ? uint64_t(nl - text) : length;
            uint64_t content = skip_blanks(at, end);
            if (content < end && text[content] != '#') {
                if (content == at) {
                    char c = text[at];
                    if (c == '%') return false;
                    if ((c == '-' || c == '.') && end - at >= 3 && text[at + 1] == c && text[at + 2] == c &&
                        (end - at == 3 || text[at + 3] == ' '))
                        return false;
                }
                if (content - at > 0xFFFF) return false;
                if (!line(content, end, uint32_t(content - at))) return false;
                if (failed) return false;
            }
            at = end + 1;
        }
        while (depth > 0)
            if (!close()) return false;
        if (!root_done) return false;
        return zarvel_event_log_push_event(log, ZARVEL_EVENT_DOCUMENT_END) &&
               zarvel_event_log_push_event(log, ZARVEL_EVENT_STREAM_END);
    }
};

}  // namespace

int zarvel_block_scanner(zarvel_event_log *log, const zarvel_resolver *resolver) {
    if (!log || !log->input || log->input_len == 0 || log->input_len > 0xFFFFFFFFu) return 1;
    block_scanner scanner(log, resolver ? resolver : &zarvel_core_resolver, log->input, log->input_len);
    bool done = scanner.run();
    if (!done) {
        zarvel_event_log_reset(log);
        return 1;
    }
    log->doc_count = 1;
    log->depth = 0;
    return 0;
}
