// Quoted and block scalars: line folding, chomping and indentation
// indicators; escapes and the folding of breaks are doc/quoted.hpp's.
#include "doc/quoted.hpp"
#include "yaml/messages.hpp"
#include "yaml/scanner.hpp"

namespace zvl::yaml {

// ---- quoted scalars --------------------------------------------------------

bool scanner::scan_single_quoted(bool flow, int32_t parent_indent, scanned_scalar &out) {
    uint64_t open = pos;
    uint32_t escaped = 0;
    int64_t close = find_close(open + 1, '\'', &escaped);
    if (close < 0) return fail(ZARVEL_ERR_UNTERMINATED_QUOTE, open);
    uint64_t close_at = open + 1 + static_cast<uint64_t>(close);
    out.style = ZARVEL_STYLE_SINGLE;
    return fold_quoted(open, close_at, escaped != 0, parent_indent, flow, out);
}

bool scanner::scan_double_quoted(bool flow, int32_t parent_indent, scanned_scalar &out) {
    uint64_t open = pos;
    uint32_t escaped = 0;
    int64_t close = find_close(open + 1, '"', &escaped);
    if (close < 0) return fail(ZARVEL_ERR_UNTERMINATED_QUOTE, open);
    uint64_t close_at = open + 1 + static_cast<uint64_t>(close);
    out.style = ZARVEL_STYLE_DOUBLE;
    return fold_quoted(open, close_at, escaped != 0, parent_indent, flow, out);
}

// Content text[open+1 .. close): kept in place when it has no escape and no
// line break, else rewritten with escapes decoded and lines folded.
bool scanner::fold_quoted(uint64_t open, uint64_t close, bool escapes, int32_t parent_indent, bool flow,
                          scanned_scalar &out) {
    uint32_t start_line = line;
    uint64_t start_line_start = line_start;
    uint64_t body = open + 1;
    bool has_break = this->has_break(body, close);
    bool is_double = out.style == ZARVEL_STYLE_DOUBLE;
    out.multiline = has_break ? 1 : 0;
    if (!has_break && !escapes) {
        out.text = {text + body, static_cast<uint32_t>(close - body)};
        out.verbatim = 1;
        pos = close + 1;
        out.end = pos;
        finish_position(out, open, start_line, start_line_start);
        return true;
    }
    scratch_.clear();
    uint64_t floor = 0;  // trailing blanks below this were escaped: never trimmed
    uint64_t i = body;
    // Steps over the break at i onto the next line; checks that line.
    auto enter_next_line = [&](uint64_t &at) -> bool {
        at += (text[at] == '\r' && at + 1 < size && text[at + 1] == '\n') ? 2 : 1;
        ++line;
        line_start = at;
        const line_class &lc = current_line();
        if (lc.flags & (line_doc_start | line_doc_end | line_directive))
            return fail(ZARVEL_ERR_UNTERMINATED_QUOTE, lc.start);
        if (!(lc.flags & line_blank) && static_cast<int32_t>(lc.indent) <= parent_indent && lc.content <= close)
            return fail(ZARVEL_ERR_INDENTATION, lc.content);
        return true;
    };
    (void)flow;
    while (i < close) {
        char c = text[i];
        if (is_double && c == '\\') {
            uint64_t at = i + 1;
            if (is_break(text[at])) {
                if (!enter_next_line(at)) return false;
                while (at < close && is_blank(text[at])) ++at;
                floor = scratch_.size();
                i = at;
                continue;
            }
            char bytes[8];
            uint32_t produced = 0;
            uint64_t bad = at;
            uint64_t used = quoted::decode_escape(text, at, close, true, bytes, &produced, &bad);
            if (used == 0) {
                pos = bad;
                return fail(ZARVEL_ERR_BAD_ESCAPE, bad);
            }
            if (!scratch_.append(bytes, produced)) return fail(ZARVEL_ERR_NO_MEMORY, i);
            floor = scratch_.size();
            i = at + used;
            continue;
        }
        if (!is_double && c == '\'') {  // a doubled quote before the closing one
            if (!scratch_.push_back('\'')) return fail(ZARVEL_ERR_NO_MEMORY, i);
            floor = scratch_.size();
            i += 2;
            continue;
        }
        if (is_break(c)) {
            uint32_t breaks = 0;
            uint64_t at = i;
            while (true) {
                if (!enter_next_line(at)) return false;
                ++breaks;
                while (at < close && is_blank(text[at])) ++at;
                if (at < close && is_break(text[at])) continue;
                break;
            }
            if (!quoted::fold_breaks(scratch_, floor, breaks)) return fail(ZARVEL_ERR_NO_MEMORY, at);
            floor = scratch_.size();
            i = at;
            continue;
        }
        uint64_t run = i + 1;
        while (run < close && !is_break(text[run]) && text[run] != '\\' && text[run] != '\'') ++run;
        if (!scratch_.append(text + i, run - i)) return fail(ZARVEL_ERR_NO_MEMORY, i);
        i = run;
    }
    if (!store_scratch(out.text)) return false;
    out.verbatim = 0;
    pos = close + 1;
    out.end = pos;
    finish_position(out, open, start_line, start_line_start);
    return true;
}

// ---- block scalars -----------------------------------------------------------

bool scanner::scan_block_scalar(int32_t parent_indent, scanned_scalar &out) {
    uint32_t start_line = line;
    uint64_t start_line_start = line_start;
    uint64_t indicator = pos;
    out.style = text[pos] == '|' ? ZARVEL_STYLE_LITERAL : ZARVEL_STYLE_FOLDED;
    bool literal = out.style == ZARVEL_STYLE_LITERAL;
    enum class chomping { clip, strip, keep } chomp = chomping::clip;
    bool chomp_seen = false;
    int increment = 0;
    uint64_t p = pos + 1;
    uint64_t header_end = current_line().end;
    for (int k = 0; k < 2 && p < header_end; ++k) {
        char c = text[p];
        if ((c == '-' || c == '+') && !chomp_seen) {
            chomp = c == '-' ? chomping::strip : chomping::keep;
            chomp_seen = true;
            ++p;
        } else if (c >= '1' && c <= '9' && increment == 0) {
            increment = c - '0';
            ++p;
        } else if (c == '0') {
            return fail(ZARVEL_ERR_FAILED, p, message::bad_block_header);
        }
    }
    uint64_t after = p;
    while (p < header_end && is_blank(text[p])) ++p;
    if (p < header_end && !(text[p] == '#' && p > after)) return fail(ZARVEL_ERR_FAILED, p, message::bad_block_header);
    pos = header_end;

    int32_t content_indent = -1;
    if (increment) content_indent = (parent_indent < 0 ? 0 : parent_indent) + increment;
    if (increment && parent_indent < 0) content_indent = increment;
    scratch_.clear();
    cursor last = save();           // end of the last line taken
    uint32_t empty_lines = 0;       // empty lines since the last content line
    uint32_t max_leading = 0;       // most spaces on a leading empty line
    uint64_t leading_tab_line = 0;  // a leading line holding a tab (offset + 1)
    uint32_t content_lines = 0;
    uint64_t lc_start = 0;
    bool last_has_break = false;
    bool previous_more_indented = false;
    uint64_t line_end = header_end;  // end of the line at the cursor
    while (pos < size) {
        next_line_after(line_end);
        if (line_start >= size) break;
        // Only indentation, tabs, markers and the line's end matter here.
        body_line lc = classify_body_line(line_start);
        lc_start = line_start;
        line_end = lc.end;
        if (lc.flags & (line_doc_start | line_doc_end)) break;
        int32_t spaces = lc.indent;
        bool only_spaces = lc.content == lc.end && !(lc.flags & line_tab);
        // Blanks after the last line break end the text: no empty line, so
        // keep chomping adds nothing for them.
        const uint32_t empty_line = lc.end < size ? 1 : 0;
        if (content_indent < 0) {
            if (only_spaces) {
                empty_lines += empty_line;
                if (static_cast<uint32_t>(spaces) > max_leading) max_leading = static_cast<uint32_t>(spaces);
                last = save();
                last.offset = lc.end;
                continue;
            }
            int32_t floor_indent = parent_indent + 1;
            if (lc.content == lc.end && spaces < floor_indent) {
                // Spaces and tabs only, not indented enough to hold content.
                if (!leading_tab_line) leading_tab_line = lc_start + static_cast<uint64_t>(spaces) + 1;
                empty_lines += empty_line;
                last = save();
                last.offset = lc.end;
                continue;
            }
            if (spaces < floor_indent) break;
            content_indent = spaces;
            if (max_leading > static_cast<uint32_t>(content_indent)) return fail(ZARVEL_ERR_INDENTATION, lc_start);
        }
        if (spaces < content_indent) {
            if (only_spaces) {
                empty_lines += empty_line;
                last = save();
                last.offset = lc.end;
                continue;
            }
            break;
        }
        uint64_t from = lc_start + static_cast<uint64_t>(content_indent);
        uint64_t length = lc.end - from;
        if (length == 0) {
            empty_lines += empty_line;
            last = save();
            last.offset = lc.end;
            continue;
        }
        ++content_lines;
        bool more_indented = is_blank(text[from]);
        uint32_t breaks = content_lines == 1 ? empty_lines : empty_lines + 1;
        bool ok = true;
        if (literal || content_lines == 1 || more_indented || previous_more_indented) {
            for (uint32_t k = 0; k < breaks && ok; ++k) ok = scratch_.push_back('\n');
        } else if (breaks == 1) {
            ok = scratch_.push_back(' ');
        } else {
            for (uint32_t k = 1; k < breaks && ok; ++k) ok = scratch_.push_back('\n');
        }
        if (!ok || !scratch_.append(text + from, length)) return fail(ZARVEL_ERR_NO_MEMORY, from);
        previous_more_indented = more_indented;
        empty_lines = 0;
        last_has_break = lc.end < size;
        pos = lc.end;
        last = save();
    }
    if (content_indent < 0 && leading_tab_line && content_lines == 0)
        return fail(ZARVEL_ERR_INDENTATION, leading_tab_line - 1);
    restore(last);
    bool ok = true;
    if (chomp == chomping::keep) {
        if (content_lines && last_has_break) ok = scratch_.push_back('\n');
        for (uint32_t k = 0; k < empty_lines && ok; ++k) ok = scratch_.push_back('\n');
    } else if (chomp == chomping::clip && content_lines) {
        ok = scratch_.push_back('\n');
    }
    if (!ok) return fail(ZARVEL_ERR_NO_MEMORY, pos);
    if (transient_block_texts && !check_only && scratch_.size() <= UINT32_MAX) {
        out.text = {scratch_.size() ? scratch_.data() : "", static_cast<uint32_t>(scratch_.size())};
    } else if (!store_scratch(out.text)) {
        return false;
    }
    out.verbatim = 0;
    out.multiline = 1;
    out.end = pos;
    finish_position(out, indicator, start_line, start_line_start);
    return true;
}

}  // namespace zvl::yaml
