// Scanner: cursor and line handling, properties, aliases, directives and plain
// scalars. Quoted and block scalars live in scalars.cpp.
#include "yaml/scanner.hpp"
#include "core/word.hpp"
#include "json/grammar.hpp"

#include <array>
#include <cstring>

#include "yaml/messages.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvl::yaml {

namespace {

// 256-bit stop sets for kernel slot 7 (bit b mod 8 of byte b div 8).
constexpr std::array<uint8_t, 32> make_set(std::initializer_list<char> bytes) {
    std::array<uint8_t, 32> s{};
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        s[b >> 3] = static_cast<uint8_t>(s[b >> 3] | (1u << (b & 7)));
    }
    return s;
}
constexpr auto block_plain_stops = make_set({'\n', '\r', '#', ':'});
constexpr auto flow_plain_stops = make_set({'\n', '\r', '#', ',', ':', '[', ']', '{', '}'});

// The same sets as one byte-indexed table for the inline scans: bit 0 the
// block set, bit 1 the flow set.
constexpr std::array<uint8_t, 256> make_stop_table() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if ((block_plain_stops[c >> 3] >> (c & 7)) & 1) t[c] |= 1;
        if ((flow_plain_stops[c >> 3] >> (c & 7)) & 1) t[c] |= 2;
    }
    return t;
}
constexpr auto plain_stop_table = make_stop_table();

inline bool is_stop(uint8_t mask, char c) { return (plain_stop_table[static_cast<unsigned char>(c)] & mask) != 0; }

// Short scans test the set inline; the kernel call costs more than it saves.
constexpr uint64_t inline_scan_limit = 64;

}  // namespace

// First byte of text[from..to) in set, or to.
uint64_t scanner::inline_stop(uint8_t mask, uint64_t from, uint64_t to) const {
    while (from < to && !is_stop(mask, text[from])) ++from;
    return from;
}

namespace {

constexpr char core_tag_prefix[] = "tag:yaml.org,2002:";

// Bytes that end anchor names and tag shorthands.
inline bool ends_name(char c) { return is_blank(c) || is_break(c) || is_flow_indicator(c); }

using json::hex_value;

}  // namespace

// ---- cursor ----------------------------------------------------------------

void scanner::reset(const char *input, uint64_t length) {
    text = input;
    size = length;
    pos = 0;
    line = line_offset + 1;
    line_start = 0;
    for (auto &c : cache_) c.number = 0;
    scratch_.clear();
}

namespace {

using word::equal_bytes;
using word::gather_highs;

// Lines are short: the first bytes are searched here, eight at a time, and
// only a long line goes on to the kernel's line scan.
constexpr uint64_t inline_line_bytes = 64;

}  // namespace

// Flags of a line from start to end whose content (after any tab) is at content.
__attribute__((always_inline)) inline uint8_t scanner::content_flags(uint64_t start, uint64_t content,
                                                                     uint64_t end) const {
    if (content >= end) return line_blank;
    uint8_t flags = 0;
    char c = text[content];
    if (c == '#') flags |= line_comment;
    if (content == start) {
        bool marker_end = end - start == 3 || (end - start > 3 && is_blank(text[start + 3]));
        if (end - start >= 3 && marker_end) {
            if (std::memcmp(text + start, "---", 3) == 0) flags |= line_doc_start;
            if (std::memcmp(text + start, "...", 3) == 0) flags |= line_doc_end;
        }
        if (c == '%') flags |= line_directive;
    }
    return flags;
}

#if defined(__SSE2__)
// Bit k for byte k of the 32 bytes in v and w that equals a or b.
inline uint32_t pair_mask(__m128i v, __m128i w, char a, char b) {
    const __m128i x = _mm_set1_epi8(a), y = _mm_set1_epi8(b);
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, x), _mm_cmpeq_epi8(v, y)))) |
           static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(w, x), _mm_cmpeq_epi8(w, y)))) << 16;
}
#endif

line_class &scanner::classify_line(line_class &slot, uint32_t number, uint64_t start) {
#if defined(__SSE2__)
    // Most lines are indented by less than 32 and end within 64 bytes of
    // their start: two vectors (four for a longer line) settle them.
    if (size - start >= 32) {
        const auto *at = reinterpret_cast<const __m128i *>(text + start);
        const __m128i v = _mm_loadu_si128(at), w = _mm_loadu_si128(at + 1);
        const uint32_t spaces = pair_mask(v, w, ' ', ' ');
        if (spaces == ~0u) return classify_long(slot, number, start, start + 32);
        const auto skip = static_cast<uint32_t>(__builtin_ctz(~spaces));
        const uint64_t content = start + skip;
        uint64_t breaks = pair_mask(v, w, '\n', '\r');
        uint64_t marks = pair_mask(v, w, ':', '#');
        if (!breaks && size - start >= 64) {
            const __m128i v2 = _mm_loadu_si128(at + 2), w2 = _mm_loadu_si128(at + 3);
            breaks = uint64_t{pair_mask(v2, w2, '\n', '\r')} << 32;
            marks |= uint64_t{pair_mask(v2, w2, ':', '#')} << 32;
        }
        // A break is not a space, so it lies at or after the content.
        if (breaks && text[content] != '\t') {
            const auto k = static_cast<uint32_t>(__builtin_ctzll(breaks));
            slot.number = number;
            slot.start = start;
            slot.end = start + k;
            slot.content = content;
            slot.indent = static_cast<uint16_t>(skip);
            slot.marks = (marks & ((uint64_t{1} << k) - 1)) >> skip;
            slot.mark_from = content;
            slot.mark_to = start + k;
            slot.flags = content_flags(start, content, start + k);
            return slot;
        }
    }
#endif
    return classify_long(slot, number, start, start);
}

line_class &scanner::classify_long(line_class &slot, uint32_t number, uint64_t start, uint64_t from) {
    uint64_t i = from;
    uint64_t content = 0;
    uint64_t marks = 0;
    uint64_t end = 0;
    bool found = false;
    bool indented = false;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i colon = _mm_set1_epi8(':'), hash = _mm_set1_epi8('#');
    // Two vectors at a time through the indentation; the pair holding the
    // content usually holds the break and the marks as well.
    for (; size - i >= 32; i += 32) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
        __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + 16));
        const __m128i space = _mm_set1_epi8(' ');
        auto spaces = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space))) |
                      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, space))) << 16;
        if (spaces != ~0u) {
            // Mask bit k is for the byte at i + k; the content is at i + skip.
            auto skip = static_cast<uint32_t>(__builtin_ctz(~spaces));
            auto m =
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)))) |
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(w, lf), _mm_cmpeq_epi8(w, cr))))
                    << 16;
            auto c = static_cast<uint64_t>(static_cast<uint32_t>(
                         _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, colon), _mm_cmpeq_epi8(v, hash))))) |
                     static_cast<uint64_t>(static_cast<uint32_t>(
                         _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(w, colon), _mm_cmpeq_epi8(w, hash)))))
                         << 16;
            content = i + skip;
            indented = true;
            if (m) {
                // A break is not a space, so it lies at or after the content.
                auto k = static_cast<uint32_t>(__builtin_ctz(m));
                end = i + k;
                marks = (c & ((uint64_t{1} << k) - 1)) >> skip;
                found = true;
                if (text[content] != '\t') {
                    // The rest of the line was in the vectors and no tab needs skipping.
                    slot.number = number;
                    slot.start = start;
                    slot.end = end;
                    slot.content = content;
                    slot.indent = static_cast<uint16_t>(content - start > 0xFFFF ? 0xFFFF : content - start);
                    slot.marks = marks;
                    slot.mark_from = content;
                    slot.mark_to = end;
                    slot.flags = content_flags(start, content, end);
                    return slot;
                }
            } else {
                marks = c >> skip;
                i += 32;
            }
            break;
        }
    }
#endif
    if (!indented) {
        while (i < size && text[i] == ' ') ++i;
        content = i;
    }
    uint64_t limit = size - content < inline_line_bytes ? size : content + inline_line_bytes;
    if (!found) end = limit;
#if defined(__SSE2__)
    for (; !found && i + 16 <= limit; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
        auto m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        auto c = static_cast<uint64_t>(
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, colon), _mm_cmpeq_epi8(v, hash)))));
        if (m) {
            auto k = static_cast<uint64_t>(__builtin_ctz(m));
            end = i + k;
            marks |= (c & ((1ull << k) - 1)) << (i - content);
            found = true;
            break;
        }
        marks |= c << (i - content);
    }
#endif
    for (; !found && i + 8 <= limit; i += 8) {
        uint64_t w = word::load(text + i);
        uint64_t m = equal_bytes(w, '\n') | equal_bytes(w, '\r');
        uint64_t c = equal_bytes(w, ':') | equal_bytes(w, '#');
        if (m) {
            uint64_t k = static_cast<uint64_t>(__builtin_ctzll(m)) / 8;
            end = i + k;
            c &= k ? ~0ull >> (64 - 8 * k) : 0;
            marks |= gather_highs(c) << (i - content);
            found = true;
            break;
        }
        marks |= gather_highs(c) << (i - content);
    }
    if (!found) {
        for (; i < limit && !is_break(text[i]); ++i)
            if (text[i] == ':' || text[i] == '#') marks |= 1ull << (i - content);
        end = i;
        if (i == limit && limit < size) {
            zarvel_line_info info{};
            kernels->line_scan(text, size, limit, zarvel_no_limit, &info);
            end = info.line_end;
        }
    }
    slot.number = number;
    slot.start = start;
    slot.end = end;
    slot.marks = marks;
    slot.mark_from = content;
    slot.mark_to = end < limit ? end : limit;
    slot.indent = static_cast<uint16_t>(content - start > 0xFFFF ? 0xFFFF : content - start);
    uint8_t flags = 0;
    if (content < slot.end && text[content] == '\t') {
        flags |= line_tab;
        while (content < slot.end && is_blank(text[content])) ++content;
    }
    slot.content = content;
    slot.flags = static_cast<uint8_t>(flags | content_flags(start, content, end));
    return slot;
}


scanner::body_line scanner::classify_body_line(uint64_t start) const {
    body_line out{};
    uint64_t i = start;
    while (i < size && text[i] == ' ') ++i;
    out.indent = static_cast<uint16_t>(i - start > 0xFFFF ? 0xFFFF : i - start);
    uint64_t content = i;
    if (i < size && text[i] == '\t') {
        out.flags = line_tab;
        while (content < size && is_blank(text[content])) ++content;
    }
    uint64_t end = content;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; size - end >= 16; end += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + end));
        auto m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (m) {
            end += static_cast<uint64_t>(__builtin_ctz(m));
            goto found;
        }
    }
#endif
    while (end < size && !is_break(text[end])) ++end;
#if defined(__SSE2__)
found:
#endif
    if (content > end) content = end;
    out.end = end;
    out.content = content;
    if (content == start) out.flags |= content_flags(start, content, end) & (line_doc_start | line_doc_end);
    return out;
}

bool scanner::has_break(uint64_t from, uint64_t to) const {
    uint64_t i = from;
    for (; i + 8 <= to; i += 8) {
        uint64_t w = word::load(text + i);
        if (equal_bytes(w, '\n') | equal_bytes(w, '\r')) return true;
    }
    for (; i < to; ++i)
        if (is_break(text[i])) return true;
    return false;
}

uint64_t scanner::find_bracket_or_quote(uint64_t from, uint64_t to) const {
    uint64_t i = from;
#if defined(__SSE2__)
    for (; to - i >= 16; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
        __m128i brackets = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
        __m128i braces = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('{')), _mm_cmpeq_epi8(v, _mm_set1_epi8('}')));
        __m128i quotes = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
        __m128i hits = _mm_or_si128(_mm_or_si128(brackets, braces), quotes);
        auto m = static_cast<uint32_t>(_mm_movemask_epi8(hits));
        if (m) return i + static_cast<uint64_t>(__builtin_ctz(m));
    }
#endif
    for (; i < to; ++i) {
        char c = text[i];
        if (c == '[' || c == ']' || c == '{' || c == '}' || c == '"' || c == '\'') return i;
    }
    return to;
}

int64_t scanner::find_close(uint64_t body, char quote, uint32_t *escaped) const {
    // Without an escape byte before it, the first quote closes the scalar
    // (a doubled single quote is an escape too, so it is left to the kernel).
    uint64_t limit = size - body < inline_line_bytes ? size : body + inline_line_bytes;
    char escape = quote == '"' ? '\\' : '\'';
    for (uint64_t i = body; i < limit; ++i) {
        char c = text[i];
        if (c == quote && (quote == '"' || i + 1 >= size || text[i + 1] != '\'')) {
            *escaped = 0;
            return static_cast<int64_t>(i - body);
        }
        if (c == escape) break;
    }
    return kernels->find_quote(text + body, size - body, static_cast<uint8_t>(quote), escaped);
}


bool scanner::fail(uint32_t code, uint64_t offset, const char *message) {
    if (message)
        zarvel_error_set(&error, code, line, column_of(offset), offset, "%s", message);
    else
        zarvel_error_set(&error, code, line, column_of(offset), offset, nullptr);
    return false;
}

bool scanner::store_scratch(zarvel_text_span &out) {
    uint64_t n = scratch_.size();
    if (n == 0 || check_only) {
        out = {"", 0};
        return true;
    }
    if (n > UINT32_MAX) return fail(ZARVEL_ERR_NO_MEMORY, pos);
    void *memory = zarvel_arena_alloc(arena, n, 1);
    if (!memory) return fail(ZARVEL_ERR_NO_MEMORY, pos);
    std::memcpy(memory, scratch_.data(), n);
    out = {static_cast<const char *>(memory), static_cast<uint32_t>(n)};
    return true;
}

// ---- properties --------------------------------------------------------

bool scanner::scan_properties(properties &props, bool flow) {
    (void)flow;
    while (pos < size && (text[pos] == '&' || text[pos] == '!')) {
        uint64_t start = pos;
        if (props.empty()) props.offset = start;
        props.line = line;
        if (text[pos] == '&') {
            if (props.has_anchor) return fail(ZARVEL_ERR_FAILED, start, message::two_anchors);
            ++pos;
            uint64_t name = pos;
            while (pos < size && !ends_name(text[pos])) ++pos;
            if (pos == name) return fail(ZARVEL_ERR_FAILED, start, message::empty_anchor);
            props.anchor = {text + name, static_cast<uint32_t>(pos - name)};
            props.has_anchor = true;
        } else {
            if (props.has_tag) return fail(ZARVEL_ERR_FAILED, start, message::two_tags);
            ++pos;
            if (pos < size && text[pos] == '<') {
                uint64_t uri = ++pos;
                while (pos < size && text[pos] != '>' && !is_blank(text[pos]) && !is_break(text[pos])) ++pos;
                if (pos >= size || text[pos] != '>' || pos == uri)
                    return fail(ZARVEL_ERR_FAILED, start, message::bad_verbatim_tag);
                uint64_t uri_end = pos++;
                if (!resolve_tag(text + uri, uri_end - uri, true, props.tag)) return false;
            } else {
                while (pos < size && !ends_name(text[pos])) ++pos;
                if (!resolve_tag(text + start, pos - start, false, props.tag)) return false;
            }
            props.has_tag = true;
        }
        if (pos < size && !is_blank(text[pos]) && !is_break(text[pos]) && !(flow && is_flow_indicator(text[pos])))
            return fail(ZARVEL_ERR_FAILED, pos, message::property_needs_blank);
        skip_blanks();
    }
    return true;
}

// Replaces the tag's handle by its prefix (TAG directives, then the default
// "!!"), then decodes %HH escapes. Tags that need neither stay in the input.
bool scanner::resolve_tag(const char *raw, uint64_t length, bool verbatim_form, zarvel_text_span &out) {
    const char *prefix = nullptr;
    uint64_t prefix_length = 0, rest = 0;
    if (!verbatim_form && length > 1) {
        // The handle: "!!", "!name!" or the primary "!".
        uint64_t handle = 1;
        uint64_t second = 1;
        while (second < length && (has_class(raw[second], cc_letter | cc_digit) || raw[second] == '-')) ++second;
        if (second < length && raw[second] == '!') handle = second + 1;
        const tag_directive *best = nullptr;
        for (uint32_t i = 0; i < tag_count; ++i) {
            const tag_directive &d = tags[i];
            if (d.handle.length == handle && std::memcmp(d.handle.data, raw, handle) == 0) {
                best = &d;
                break;
            }
        }
        if (best) {
            prefix = best->prefix.data;
            prefix_length = best->prefix.length;
            rest = handle;
        } else if (handle == 2) {
            prefix = core_tag_prefix;
            prefix_length = sizeof core_tag_prefix - 1;
            rest = 2;
        } else if (handle > 2) {
            return fail(ZARVEL_ERR_FAILED, static_cast<uint64_t>(raw - text), message::undeclared_handle);
        }
    }
    bool percent =
        std::memchr(raw, '%', length) != nullptr || (prefix && std::memchr(prefix, '%', prefix_length) != nullptr);
    if (!prefix && !percent) {
        out = {raw, static_cast<uint32_t>(length)};
        return true;
    }
    expanded_tag &last = expanded_slot(raw, length <= sizeof expanded_[0].raw ? length : 0);
    if (!check_only && last.raw_length == length && last.verbatim_form == verbatim_form &&
        std::memcmp(last.raw, raw, length) == 0) {
        out = last.out;
        return true;
    }
    // The resolved text (prefix and suffix) is assembled, then %HH decoded in place.
    scratch_.clear();
    if ((prefix && !scratch_.append(prefix, prefix_length)) || !scratch_.append(raw + rest, length - rest))
        return fail(ZARVEL_ERR_NO_MEMORY, static_cast<uint64_t>(raw - text));
    size_t n = scratch_.size(), w = 0;
    char *b = scratch_.data();
    for (size_t i = 0; i < n; ++i) {
        char c = b[i];
        if (c == '%' && i + 2 < n) {
            int hi = hex_value(b[i + 1]);
            int lo = hex_value(b[i + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                i += 2;
            }
        }
        b[w++] = c;
    }
    scratch_.resize_down(w);
    if (!store_scratch(out)) return false;
    if (!check_only && length <= sizeof last.raw) {
        std::memcpy(last.raw, raw, length);
        last.raw_length = uint32_t(length);
        last.verbatim_form = verbatim_form;
        last.out = out;
    }
    return true;
}

namespace {
// Bytes an alias name cannot simply run over: its ends, and ':'.
constexpr std::array<bool, 256> make_alias_stops() {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '[' || c == ']' || c == '{' ||
               c == '}' || c == ':';
    return t;
}
constexpr std::array<bool, 256> alias_stops = make_alias_stops();
}  // namespace

uint64_t scanner::alias_name_end(uint64_t from) const {
    uint64_t at = from;
    for (;;) {
        while (at < size && !alias_stops[static_cast<unsigned char>(text[at])]) ++at;
        if (at >= size || text[at] != ':') return at;
        // A ':' ends the name only before a blank or a flow indicator.
        if (at + 1 < size && (is_blank(text[at + 1]) || is_flow_indicator(text[at + 1]))) return at;
        ++at;
    }
}

bool scanner::scan_alias(zarvel_text_span &name) {
    uint64_t star = pos++;
    uint64_t start = pos;
    pos = alias_name_end(start);
    if (pos == start) return fail(ZARVEL_ERR_FAILED, star, message::empty_alias);
    name = {text + start, static_cast<uint32_t>(pos - start)};
    return true;
}

// ---- directives ------------------------------------------------------------

bool scanner::scan_directive(directive_kind &kind) {
    const line_class &lc = current_line();
    uint64_t end = lc.end;
    uint64_t p = pos + 1;
    auto word_is = [&](const char *w, uint64_t n) {
        return end - p >= n && std::memcmp(text + p, w, n) == 0 && (p + n == end || is_blank(text[p + n]));
    };
    if (word_is("YAML", 4)) {
        kind = directive_kind::yaml;
        p += 4;
        uint64_t spaces = p;
        while (p < end && is_blank(text[p])) ++p;
        uint64_t version = p;
        uint32_t dots = 0;
        while (p < end && (has_class(text[p], cc_digit) || text[p] == '.')) dots += text[p++] == '.';
        bool shape = p > version && p > spaces && dots == 1 && text[version] != '.' && text[p - 1] != '.';
        if (!shape) return fail(ZARVEL_ERR_DIRECTIVE, p, message::malformed_yaml_directive);
        uint64_t after = p;
        while (p < end && is_blank(text[p])) ++p;
        if (p < end && !(text[p] == '#' && p > after))
            return fail(ZARVEL_ERR_DIRECTIVE, p, message::malformed_yaml_directive);
        return true;
    }
    if (word_is("TAG", 3)) {
        kind = directive_kind::tag;
        p += 3;
        while (p < end && is_blank(text[p])) ++p;
        uint64_t handle = p;
        while (p < end && !is_blank(text[p])) ++p;
        uint64_t handle_end = p;
        while (p < end && is_blank(text[p])) ++p;
        uint64_t prefix = p;
        uint64_t prefix_end = end;
        // A comment after the prefix is not part of it.
        for (uint64_t q = prefix; q < end; ++q)
            if (text[q] == '#' && q > prefix && is_blank(text[q - 1])) {
                prefix_end = q;
                break;
            }
        while (prefix_end > prefix && is_blank(text[prefix_end - 1])) --prefix_end;
        if (handle_end > handle && text[handle] == '!' && prefix_end > prefix && tag_count < max_tag_directives) {
            tags[tag_count++] = {{text + handle, static_cast<uint32_t>(handle_end - handle)},
                                 {text + prefix, static_cast<uint32_t>(prefix_end - prefix)}};
            forget_expanded_tag();
        }
        return true;
    }
    kind = directive_kind::other;
    return true;
}

// ---- plain scalars -----------------------------------------------------

// End of the plain text that starts at from on a line ending at end, the
// bytes before p holding no stop.
uint64_t scanner::plain_segment_scan(uint64_t from, uint64_t p, uint64_t end, bool flow, plain_stop &stop) {
    const auto &set = flow ? flow_plain_stops : block_plain_stops;
    const uint8_t mask = flow ? 2 : 1;
    stop = plain_stop::line_end;
    while (p < end) {
        uint64_t hit;
        if (end - p < inline_scan_limit) {
            hit = inline_stop(mask, p, end);
            if (hit == end) break;
        } else if ((hit = inline_stop(mask, p, p + inline_scan_limit / 2)) < p + inline_scan_limit / 2) {
            // Most plain scalars are short: the first bytes are tested here.
        } else {
            int64_t i = kernels->find_in_set(set.data(), text + p, end - p);
            if (i < 0) break;
            hit = p + static_cast<uint64_t>(i);
        }
        char c = text[hit];
        if (c == '#') {
            if (hit > from && is_blank(text[hit - 1])) {
                stop = plain_stop::comment;
                p = hit;
                break;
            }
        } else if (c == ':') {
            uint64_t next = hit + 1;
            if (next >= size || is_blank(text[next]) || is_break(text[next]) ||
                (flow && is_flow_indicator(text[next]))) {
                stop = plain_stop::colon;
                p = hit;
                break;
            }
        } else if (is_break(c)) {
            p = hit;
            break;
        } else {  // flow indicator in flow context
            stop = plain_stop::flow_indicator;
            p = hit;
            break;
        }
        p = hit + 1;
    }
    if (p > end) p = end;
    if (stop == plain_stop::line_end) p = end;
    return p;
}

bool scanner::check_continuation(const line_class &lc, int32_t parent_indent, bool quoted, bool flow) {
    (void)flow;
    if (lc.flags & (line_doc_start | line_doc_end | (quoted ? line_directive : 0))) {
        if (quoted) return fail(ZARVEL_ERR_UNTERMINATED_QUOTE, lc.start, message::marker_in_quoted);
        return false;
    }
    if (static_cast<int32_t>(lc.indent) <= parent_indent) return fail(ZARVEL_ERR_INDENTATION, lc.content);
    return true;
}

void scanner::finish_position(scanned_scalar &out, uint64_t start, uint32_t start_line, uint64_t start_line_start) {
    out.start = start;
    out.start_line = start_line;
    out.start_column = static_cast<uint32_t>(start - start_line_start + 1);
    out.end_line = line;
    out.end_column = column_of(out.end);
}

bool scanner::scan_plain(bool flow, int32_t parent_indent, bool continue_lines, scanned_scalar &out, plain_stop &stop) {
    uint64_t start = pos;
    uint32_t start_line = line;
    uint64_t start_line_start = line_start;
    uint64_t end = plain_segment_end(start, current_line().end, flow, stop);
    uint64_t trimmed = end;
    while (trimmed > start && is_blank(text[trimmed - 1])) --trimmed;
    out.style = ZARVEL_STYLE_PLAIN;
    out.verbatim = 1;
    out.multiline = 0;
    out.text = {text + start, static_cast<uint32_t>(trimmed - start)};
    out.end = trimmed;
    pos = end;
    if (stop != plain_stop::line_end || !continue_lines) {
        finish_position(out, start, start_line, start_line_start);
        return true;
    }

    // Continuation lines: fold into scratch once a second line is taken.
    cursor last = save();  // just past the last taken segment
    uint64_t last_end = trimmed;
    uint32_t breaks = 0;
    bool folded = false;
    while (true) {
        if (pos >= size) break;
        next_line();
        ++breaks;
        if (pos >= size && line_start >= size) break;
        const line_class &lc = current_line();
        if (lc.flags & line_blank) continue;
        if (lc.flags & (line_comment | line_doc_start | line_doc_end)) break;
        if (static_cast<int32_t>(lc.indent) <= parent_indent) {
            if (flow && !closes_flow_at(lc, parent_indent)) return fail(ZARVEL_ERR_INDENTATION, lc.content);
            break;
        }
        uint64_t seg = lc.content;
        char first = text[seg];
        if (flow && (is_flow_indicator(first))) break;
        plain_stop seg_stop;
        uint64_t seg_end = plain_segment_end(seg, lc.end, flow, seg_stop);
        if (seg_end == seg) break;                          // a ':' indicator or '#' opens the line
        if (seg_stop == plain_stop::colon && !flow) break;  // the line holds a mapping key
        uint64_t seg_trim = seg_end;
        while (seg_trim > seg && is_blank(text[seg_trim - 1])) --seg_trim;
        if (!folded) {
            scratch_.clear();
            if (!scratch_.append(text + start, trimmed - start)) return fail(ZARVEL_ERR_NO_MEMORY, seg);
            folded = true;
        }
        bool ok = true;
        if (breaks == 1) {
            ok = scratch_.push_back(' ');
        } else {
            for (uint32_t i = 1; i < breaks && ok; ++i) ok = scratch_.push_back('\n');
        }
        if (!ok || !scratch_.append(text + seg, seg_trim - seg)) return fail(ZARVEL_ERR_NO_MEMORY, seg);
        breaks = 0;
        pos = seg_end;
        last = save();
        last_end = seg_trim;
        stop = seg_stop;
        if (seg_stop != plain_stop::line_end) break;
    }
    restore(last);
    out.end = last_end;
    if (folded) {
        if (!store_scratch(out.text)) return false;
        out.verbatim = 0;
    }
    finish_position(out, start, start_line, start_line_start);
    return true;
}

}  // namespace zvl::yaml
