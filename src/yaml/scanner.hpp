// The YAML scanner: character classes, line classification, properties,
// aliases and the three scalar families. It reads and advances one cursor
// (offset, line, line start) that the event parser owns; the parser calls it
// at node positions and decides structure itself.
//
// Scalars that equal a slice of the input are reported as that slice
// (verbatim 1). Only scalars that need rewriting (escapes, folding, block
// scalars, resolved or percent-encoded tags) are assembled in a reusable
// scratch buffer and copied once, at their exact size, into the text arena.
#pragma once

#include <array>
#include <cstdint>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/limits.hpp"
#include "core/memory.hpp"
#include "doc/event.hpp"

namespace zvl::yaml {

// ---- character classes ---------------------------------------------------

enum char_class : uint16_t {
    cc_space = 0x001,
    cc_tab = 0x002,
    cc_line_feed = 0x004,
    cc_carriage_return = 0x008,
    cc_digit = 0x010,
    cc_letter = 0x020,
    cc_hex = 0x040,
    cc_indicator = 0x080,
    cc_flow = 0x100,
    cc_non_ascii = 0x200,
    cc_printable = 0x400,
    cc_blank = cc_space | cc_tab,
    cc_break = cc_line_feed | cc_carriage_return,
};

constexpr std::array<uint16_t, 256> make_char_classes() {
    std::array<uint16_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        uint16_t f = 0;
        if (c == ' ') f |= cc_space;
        if (c == '\t') f |= cc_tab;
        if (c == '\n') f |= cc_line_feed;
        if (c == '\r') f |= cc_carriage_return;
        if (c >= '0' && c <= '9') f |= cc_digit | cc_hex;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) f |= cc_letter;
        if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) f |= cc_hex;
        for (char i : {'!', '"', '#', '%', '&', '\'', '*', '-', ':', '>', '?', '@', '`', '|', ',', '[', ']', '{', '}'})
            if (c == static_cast<unsigned char>(i)) f |= cc_indicator;
        for (char i : {',', '[', ']', '{', '}'})
            if (c == static_cast<unsigned char>(i)) f |= cc_flow;
        if (c >= 0x80) f |= cc_non_ascii;
        if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0x7E)) f |= cc_printable;
        t[c] = f;
    }
    return t;
}

inline constexpr std::array<uint16_t, 256> char_classes = make_char_classes();

inline bool has_class(char c, uint16_t mask) { return (char_classes[static_cast<unsigned char>(c)] & mask) != 0; }
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }
inline bool is_break(char c) { return c == '\n' || c == '\r'; }
inline bool is_flow_indicator(char c) { return has_class(c, cc_flow); }

// ---- lines -----------------------------------------------------------------

enum line_flag : uint8_t {
    line_blank = 0x01,      // only spaces and tabs (or the end of the text)
    line_comment = 0x02,    // first content byte is '#'
    line_doc_start = 0x04,  // "---" at column 1, then blank or line end
    line_doc_end = 0x08,    // "..." at column 1, then blank or line end
    line_directive = 0x10,  // '%' at column 1
    line_tab = 0x20,        // a tab follows the leading spaces
};

struct line_class {
    uint32_t number;   // scanner line number; 0 marks an empty cache slot
    uint64_t start;    // first byte of the line
    uint64_t end;      // the line feed or carriage return, or the text size
    uint64_t content;  // first byte other than space and tab, or end
    uint16_t indent;   // leading spaces
    uint8_t flags;
    // Where the line's first bytes hold ':' or '#': bit k for the byte at
    // mark_from + k, over [mark_from, mark_to) (at most 64 bytes), so that a
    // plain scalar on the line need not look at its bytes again.
    uint64_t marks;
    uint64_t mark_from, mark_to;
};

// A saved cursor, for look-ahead that may be undone.
struct cursor {
    uint64_t offset;
    uint32_t line;
    uint64_t line_start;
};

struct tag_directive {
    zarvel_text_span handle;
    zarvel_text_span prefix;
};

inline constexpr uint32_t max_tag_directives = 8;
inline constexpr uint64_t max_simple_key = zvl::implicit_key_limit;

// Anchor and tag read before a node.
struct properties {
    zarvel_text_span anchor{};
    zarvel_text_span tag{};
    bool has_anchor = false;
    bool has_tag = false;
    uint64_t offset = 0;  // first property byte
    uint32_t line = 0;    // line of the last property

    bool empty() const { return !has_anchor && !has_tag; }
};

struct scanned_scalar {
    zarvel_text_span text{};
    uint8_t style = 0;
    uint8_t verbatim = 1;
    uint8_t multiline = 0;
    uint64_t start = 0;  // first byte of the node
    uint64_t end = 0;    // byte after it
    uint32_t start_line = 0, start_column = 0, end_line = 0, end_column = 0;
};

// Why the first line of a plain scalar ended.
enum class plain_stop : uint8_t { line_end, colon, comment, flow_indicator };

// Result of a directive line.
enum class directive_kind : uint8_t { yaml, tag, other };

class scanner {
  public:
    explicit scanner(const zarvel_allocator *allocator) : scratch_(allocator) {}

    // ---- cursor ---------------------------------------------------------
    const char *text = nullptr;
    uint64_t size = 0;
    uint64_t pos = 0;
    uint32_t line = 1;  // includes line_offset
    uint64_t line_start = 0;
    uint32_t line_offset = 0;

    zarvel_arena *arena = nullptr;
    zarvel_error error{};
    const zarvel_kernels *kernels = nullptr;
    bool alternate = false;
    bool check_only = false;  // rewritten texts are not kept (a checking pass)
    // Block scalar texts are handed out from the scratch buffer, not copied
    // into the arena: for sinks that read each text only during its event
    // (block scalars are delivered as soon as they are scanned).
    bool transient_block_texts = false;

    tag_directive tags[max_tag_directives]{};
    uint32_t tag_count = 0;
    // Tags lately expanded into the arena, by their raw text (one slot per
    // hash of it): a handle with a long prefix named by many nodes is copied
    // once, not once per node. Forgotten whenever the directives or the
    // arena change.
    struct expanded_tag {
        char raw[64];
        uint32_t raw_length = 0;  // 0 = nothing remembered
        bool verbatim_form = false;
        zarvel_text_span out{};
    };
    expanded_tag expanded_[8];
    expanded_tag &expanded_slot(const char *raw, uint64_t length) {
        uint32_t h = 2166136261u;
        for (uint64_t i = 0; i < length; ++i) h = (h ^ uint8_t(raw[i])) * 16777619u;
        return expanded_[h & 7];
    }

    void reset(const char *input, uint64_t length);
    cursor save() const { return {pos, line, line_start}; }
    void restore(const cursor &c) {
        pos = c.offset;
        line = c.line;
        line_start = c.line_start;
    }

    bool at_end() const { return pos >= size; }
    char peek(uint64_t ahead = 0) const { return pos + ahead < size ? text[pos + ahead] : '\0'; }
    bool has(uint64_t offset) const { return offset < size; }
    // True when the byte at offset is a blank, a line break or past the end.
    bool blank_or_end_at(uint64_t offset) const {
        return offset >= size || is_blank(text[offset]) || is_break(text[offset]);
    }
    // A line that only closes a flow collection may sit at the indentation
    // of the block collection around it ("key: [" ... "]" at the key's
    // column), as every common loader accepts; content there may not.
    bool closes_flow_at(const line_class &lc, int32_t enclosing) const {
        return static_cast<int32_t>(lc.indent) == enclosing && (text[lc.content] == ']' || text[lc.content] == '}');
    }
    uint32_t column_of(uint64_t offset) const {
        return offset < line_start ? 1 : static_cast<uint32_t>(offset - line_start + 1);
    }

    // Classification of the current line (cached by line number).
    const line_class &current_line() {
        line_class &slot = cache_[line & 3];
        if (slot.number == line && slot.start == line_start) return slot;
        return classify_line(slot, line, line_start);
    }
    // Start of the line after a line ending at end (< size): past CR, LF or CR LF.
    uint64_t after_break(uint64_t end) const {
        return end + (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n' ? 2 : 1);
    }
    // Classification of the line number `number` starting at start (< size),
    // for look-ahead that leaves the cursor where it is.
    const line_class &line_at(uint32_t number, uint64_t start) {
        line_class &slot = cache_[number & 3];
        if (slot.number == number && slot.start == start) return slot;
        return classify_line(slot, number, start);
    }
    // Moves to the start of the next line (past CR, LF or CR LF).
    void next_line() { next_line_after(current_line().end); }
    // The same for a current line known to end at end.
    void next_line_after(uint64_t end) {
        if (end < size) end = after_break(end);
        pos = end;
        if (end > line_start || end < size) {
            ++line;
            line_start = end;
        }
    }
    uint64_t line_end() { return current_line().end; }

    // Skips spaces and tabs on the current line.
    void skip_blanks() {
        while (pos < size && is_blank(text[pos])) ++pos;
    }
    // After skip_blanks: true at the line end or at a comment.
    bool at_line_end_or_comment() const {
        if (pos >= size || is_break(text[pos])) return true;
        return text[pos] == '#' && (pos == line_start || is_blank(text[pos - 1]));
    }

    // Records code at offset in the parser's error record; returns false.
    bool fail(uint32_t code, uint64_t offset, const char *message = nullptr);

    // ---- pieces -----------------------------------------------------------
    // Anchor and tag properties at pos (each followed by blanks). In flow
    // context properties may be followed by line breaks, handled by the caller.
    bool scan_properties(properties &props, bool flow);
    // '*' at pos: the name without the asterisk.
    bool scan_alias(zarvel_text_span &name);
    // End of an alias name starting at from (from itself when it is empty).
    uint64_t alias_name_end(uint64_t from) const;

    // Plain scalar at pos. The first line is scanned; when it ends at a ':'
    // key indicator the scalar stops there (stop = colon) and the caller
    // decides. Otherwise, when continuation is allowed, following lines
    // indented more than parent_indent are folded in.
    bool scan_plain(bool flow, int32_t parent_indent, bool continue_lines, scanned_scalar &out, plain_stop &stop);
    bool scan_single_quoted(bool flow, int32_t parent_indent, scanned_scalar &out);
    bool scan_double_quoted(bool flow, int32_t parent_indent, scanned_scalar &out);
    // '|' or '>' at pos; parent_indent is the enclosing block indentation.
    bool scan_block_scalar(int32_t parent_indent, scanned_scalar &out);

    // Directive line ('%' at pos, the line start). Stores TAG directives.
    bool scan_directive(directive_kind &kind);
    void clear_tags() {
        tag_count = 0;
        forget_expanded_tag();
    }
    void forget_expanded_tag() {
        for (expanded_tag &e : expanded_) e.raw_length = 0;
    }

    // End of the plain text from `from` on a line ending at end (the first
    // line of scan_plain): at a key ':', a comment, a flow indicator or end.
    uint64_t plain_segment_end(uint64_t from, uint64_t end, bool flow, plain_stop &stop) {
        if (!flow) {
            const line_class &lc = cache_[line & 3];
            if (lc.number == line && lc.start == line_start && lc.end == end && from >= lc.mark_from)
                return block_plain_end(lc, from, stop);
        }
        return plain_segment_scan(from, from, end, flow, stop);
    }
    // The same in block context on the classified line lc, from at or after
    // its first non-space byte.
    uint64_t block_plain_end(const line_class &lc, uint64_t from, plain_stop &stop) {
        uint64_t p = from;
        // The line's classification already knows where its first ':' and
        // '#' bytes are.
        if (from <= lc.mark_to) {
            uint64_t m = from - lc.mark_from < 64 ? lc.marks >> (from - lc.mark_from) : 0;
            for (; m; m &= m - 1) {
                uint64_t hit = from + static_cast<uint64_t>(__builtin_ctzll(m));
                if (text[hit] == '#') {
                    if (hit > from && is_blank(text[hit - 1])) {
                        stop = plain_stop::comment;
                        return hit;
                    }
                } else if (blank_or_end_at(hit + 1)) {
                    stop = plain_stop::colon;
                    return hit;
                }
            }
            stop = plain_stop::line_end;
            if (lc.mark_to >= lc.end) return lc.end;
            p = lc.mark_to;
        }
        return plain_segment_scan(from, p, lc.end, false, stop);
    }

    // Whether text[from..to) holds a line feed or carriage return.
    bool has_break(uint64_t from, uint64_t to) const;
    // First of [ ] { } " ' in text[from..to), or to.
    uint64_t find_bracket_or_quote(uint64_t from, uint64_t to) const;

  private:
    line_class &classify_line(line_class &slot, uint32_t number, uint64_t start);
    // The little a block scalar needs of the line at start: its end, leading
    // spaces, first byte other than space and tab, and flags line_tab and
    // the document markers.
    struct body_line {
        uint64_t end, content;
        uint16_t indent;
        uint8_t flags;
    };
    body_line classify_body_line(uint64_t start) const;
    // The same for a line whose bytes before from are spaces.
    line_class &classify_long(line_class &slot, uint32_t number, uint64_t start, uint64_t from);
    uint8_t content_flags(uint64_t start, uint64_t content, uint64_t end) const;
    uint64_t plain_segment_scan(uint64_t from, uint64_t p, uint64_t end, bool flow, plain_stop &stop);
    uint64_t inline_stop(uint8_t mask, uint64_t from, uint64_t to) const;
    // The closing quote of a quoted scalar whose content starts at body: the
    // first bytes are searched here, longer contents by kernel slot 8.
    int64_t find_close(uint64_t body, char quote, uint32_t *escaped) const;
    bool store_scratch(zarvel_text_span &out);
    bool resolve_tag(const char *raw, uint64_t length, bool verbatim_form, zarvel_text_span &out);
    bool check_continuation(const line_class &lc, int32_t parent_indent, bool quoted, bool flow);
    bool fold_quoted(uint64_t open, uint64_t close, bool doubled, int32_t parent_indent, bool flow,
                     scanned_scalar &out);
    void finish_position(scanned_scalar &out, uint64_t start, uint32_t start_line, uint64_t start_line_start);

    zvl::buffer<char, 256> scratch_;
    line_class cache_[4]{};
};

}  // namespace zvl::yaml
