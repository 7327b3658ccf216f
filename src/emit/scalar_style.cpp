// Scalar form choice and the plain-scalar test, eight bytes at a time.
#include "emit/scalar_style.hpp"

#include <cstring>
#include <string_view>

#include "core/word.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvl {
namespace {

using word::equal_bytes;
using word::highs;
using word::ones;

// The first r (1 to 7) bytes at p as a word, zeros above them, without
// reading past them: overlapping loads whose shared bytes agree.
uint64_t load_partial(const char *p, size_t r) {
    const auto *b = reinterpret_cast<const uint8_t *>(p);
    if (r >= 4) {
        uint32_t low, top;
        std::memcpy(&low, p, 4);
        std::memcpy(&top, p + r - 4, 4);
        return uint64_t(low) | (uint64_t(top) << (8 * (r - 4)));
    }
    return uint64_t(b[0]) | (uint64_t(b[r / 2]) << (8 * (r / 2))) | (uint64_t(b[r - 1]) << (8 * (r - 1)));
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Classes of a scalar's first byte: refused outright (a blank, or a byte
// that would start another token: a tag, comment, directive, anchor, quote,
// alias, flow indicator, block scalar or reserved indicator), an indicator
// when a blank follows ("-", "?"), the start of a document marker ("-",
// ".").
enum : uint8_t { first_refused = 1, first_indicator = 2, first_marker = 4 };
struct first_byte_table {
    uint8_t classes[256];
    constexpr first_byte_table() : classes() {
        for (char c : std::string_view(" \t\"!#%&'*,>@[]`{|}")) classes[uint8_t(c)] = first_refused;
        classes[uint8_t('-')] = first_indicator | first_marker;
        classes[uint8_t('?')] = first_indicator;
        classes[uint8_t('.')] = first_marker;
    }
};
constexpr first_byte_table first_bytes{};

// One byte of the middle rules: no tab or line break, no ": " and no " #".
bool byte_ok(const char *text, size_t length, size_t i) {
    char c = text[i];
    if (c == '\t' || c == '\n' || c == '\r') return false;
    if (c == ':' && (i + 1 == length || is_blank(text[i + 1]))) return false;
    if (c == '#' && i > 0 && text[i - 1] == ' ') return false;
    return true;
}

// The rules of plain_safe before the byte loop: ends, first byte, markers.
// "---" and "..." followed by nothing or a blank are document markers
// wherever the scalar starts a line (a root scalar, a key at column 0).
inline __attribute__((always_inline)) bool plain_ends_ok(const char *text, size_t length) {
    if (length == 0) return false;
    const uint8_t first = first_bytes.classes[uint8_t(text[0])];
    if ((first & first_refused) || is_blank(text[length - 1])) return false;
    if (first == 0) return true;
    if ((first & first_indicator) && (length < 2 || is_blank(text[1]))) return false;
    if ((first & first_marker) && length >= 3 &&
        (std::memcmp(text, "---", 3) == 0 || std::memcmp(text, "...", 3) == 0) && (length == 3 || is_blank(text[3])))
        return false;
    return true;
}

}  // namespace

bool plain_safe(const char *text, size_t length) {
    if (!plain_ends_ok(text, length)) return false;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint64_t w = word::load(text + i);
        if (equal_bytes(w, '\t') | equal_bytes(w, '\n') | equal_bytes(w, '\r')) return false;
        const uint64_t colon = equal_bytes(w, ':');
        const uint64_t hash = equal_bytes(w, '#');
        if ((colon | hash) == 0) continue;
        const uint64_t blank = equal_bytes(w, ' ');  // tabs were refused above
        // Little endian: byte j+1 sits 8 bits above byte j.
        if (colon & (blank >> 8)) return false;
        if ((colon >> 56) && (i + 8 == length || is_blank(text[i + 8]))) return false;
        if (hash & (blank << 8)) return false;
        if ((hash & 0x80) && i > 0 && text[i - 1] == ' ') return false;
    }
    for (; i < length; ++i)
        if (!byte_ok(text, length, i)) return false;
    return true;
}

namespace {

// What the middle rules refuse in one word: a control byte or DEL, ":"
// followed by a blank, " #". `valid` marks (0x80) the bytes to judge;
// `colon_end` marks the byte whose follower lies outside the word and is a
// blank or the end of the text (a ":" there is refused); `blank_before` says
// the byte before the word is a blank (a "#" in byte 0 is then refused).
// The two are callables so that words without ":" or "#" never look at the
// bytes around them.
template <class ColonEnd, class BlankBefore>
bool word_refused(uint64_t w, uint64_t valid, ColonEnd colon_end, BlankBefore blank_before) {
    const uint64_t control = word::below_bytes(w, 0x20);
    if ((control | equal_bytes(w, 0x7F)) & valid) return true;
    const uint64_t colon = equal_bytes(w, ':') & valid;
    const uint64_t hash = equal_bytes(w, '#') & valid;
    if ((colon | hash) == 0) return false;
    const uint64_t blank = equal_bytes(w, ' ');  // tabs were refused above
    // Little endian: byte j+1 sits 8 bits above byte j.
    if (colon & ((blank >> 8) | colon_end())) return true;
    if (hash & (blank << 8)) return true;
    return (hash & 0x80) && blank_before();
}

// 0x80 in the bytes of w that may lead a sequence needing the escaped form
// (C2, E2 or EF); C2 and E2 differ only in bit 5.
uint64_t escape_leads(uint64_t w) { return equal_bytes(w & ~(ones * 0x20), 0xC2) | equal_bytes(w, 0xEF); }

}  // namespace

uint8_t scan_plain_bits_portable(const char *text, size_t length) {
    constexpr uint8_t refused = scan_high | scan_leads;
    if (!plain_ends_ok(text, length)) return refused;
    uint64_t high = 0, leads = 0;
    const auto none = [] { return false; };
    if (length < 8) {
        const uint64_t w = load_partial(text, length);
        const uint64_t valid = highs >> (8 * (8 - length));
        const auto last = [&] { return uint64_t(0x80) << (8 * (length - 1)); };
        if (word_refused(w, valid, last, none)) return refused;
        high = w & highs;
        if (high) leads = escape_leads(w) & valid;
        return uint8_t(scan_writable | (high ? scan_high : 0) | (leads ? scan_leads : 0));
    }
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint64_t w = word::load(text + i);
        const auto end_or_blank = [&] { return i + 8 == length || is_blank(text[i + 8]) ? uint64_t(0x80) << 56 : 0; };
        const auto blank_before = [&] { return i > 0 && text[i - 1] == ' '; };
        if (word_refused(w, ~uint64_t(0), end_or_blank, blank_before)) return refused;
        const uint64_t top = w & highs;
        high |= top;
        if (top) leads |= escape_leads(w);
    }
    if (i < length) {
        // The last one to seven bytes at the top of the word that ends with
        // the text; the bytes below them were judged already but still
        // serve as the neighbours of the first ones.
        const uint64_t w = word::load(text + length - 8);
        const uint64_t valid = highs << (8 * (8 - (length - i)));
        const auto last = [] { return uint64_t(0x80) << 56; };
        if (word_refused(w, valid, last, none)) return refused;
        const uint64_t top = w & highs;
        high |= top;
        if (top) leads |= escape_leads(w);
    }
    return uint8_t(scan_writable | (high ? scan_high : 0) | (leads ? scan_leads : 0));
}

#if defined(__SSE2__)
namespace {

// Bytes below 0x20, or DEL.
inline __m128i control_bytes(__m128i v) {
    const __m128i below_space = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
    return _mm_or_si128(below_space, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
}

// Lead bytes C2, E2 and EF (C2 and E2 differ only in bit 5).
inline __m128i lead_bytes(__m128i v) {
    return _mm_or_si128(_mm_cmpeq_epi8(_mm_andnot_si128(_mm_set1_epi8(0x20), v), _mm_set1_epi8(char(0xC2))),
                        _mm_cmpeq_epi8(v, _mm_set1_epi8(char(0xEF))));
}

}  // namespace

// The portable test's rules 16 bytes at a time, each byte beside the one
// after it (a second load one byte on), so that ": " and " #" are found
// exactly in one pass; the last byte, which has no byte after it, on its
// own. Shorter texts take the word test, which costs less on them.
// Lead bytes are looked for only in texts with bytes above 0x7F.
uint8_t scan_plain_bits(const char *text, size_t length) {
    if (length < 16) return scan_plain_bits_portable(text, length);
    constexpr uint8_t refused = scan_high | scan_leads;
    if (!plain_ends_ok(text, length)) return refused;
    const uint8_t last = uint8_t(text[length - 1]);
    if (last < 0x20 || last == 0x7F || last == ':') return refused;
    auto load = [](const char *at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); };
    __m128i special = _mm_setzero_si128(), high = special;
    auto add_pairs = [&](__m128i v, __m128i next) {
        const __m128i colon_blank =
            _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')), _mm_cmpeq_epi8(next, _mm_set1_epi8(' ')));
        const __m128i space_hash =
            _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(next, _mm_set1_epi8('#')));
        // Tabs are controls: the blank after a ":" that is left is a space.
        special = _mm_or_si128(special, _mm_or_si128(control_bytes(v), _mm_or_si128(colon_blank, space_hash)));
        high = _mm_or_si128(high, v);
    };
    auto add = [&](const char *at) { add_pairs(load(at), load(at + 1)); };
    // The first loads cover all bytes but the last (of 16: the bytes after
    // them shifted down in the one load).
    size_t at = 0;
    if (length == 16) {
        const __m128i v = load(text);
        add_pairs(v, _mm_srli_si128(v, 1));
    }
    for (; at + 17 <= length; at += 16) add(text + at);
    if (at + 1 < length && length > 16) add(text + length - 17);
    if (_mm_movemask_epi8(special) != 0) return refused;
    if (_mm_movemask_epi8(high) == 0 && last < 0x80) return scan_writable;
    __m128i leads = _mm_setzero_si128();
    for (at = 0; at + 16 <= length; at += 16) leads = _mm_or_si128(leads, lead_bytes(load(text + at)));
    if (at < length) leads = _mm_or_si128(leads, lead_bytes(load(text + length - 16)));
    return uint8_t(scan_writable | scan_high | (_mm_movemask_epi8(leads) ? scan_leads : 0));
}

// One vector pass for short texts: the bytes in front of the text only fill
// the load and drop out of every mask. A "#" first is refused by the first
// byte rules, so the space mask needs no byte from before the text.
uint8_t scan_plain_bits_backed(const char *text, size_t length) {
    if (length >= 16) return scan_plain_bits(text, length);
    constexpr uint8_t refused = scan_high | scan_leads;
    if (!plain_ends_ok(text, length)) return refused;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + length - 16));
    const uint32_t valid = (0xFFFFu << (16 - length)) & 0xFFFFu;
    auto bits = [valid](__m128i m) { return uint32_t(_mm_movemask_epi8(m)) & valid; };
    const uint32_t control = bits(control_bytes(v));
    const uint32_t colon = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')));
    const uint32_t hash = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('#')));
    const uint32_t space = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
    // Tabs are controls; the byte after the last one is the end.
    if (control | (colon & ((space >> 1) | 0x8000u)) | (hash & (space << 1))) return refused;
    const uint32_t high = bits(v);
    const uint32_t leads = high ? bits(lead_bytes(v)) : 0;
    return uint8_t(scan_writable | (high ? scan_high : 0) | (leads ? scan_leads : 0));
}
#else
uint8_t scan_plain_bits(const char *text, size_t length) { return scan_plain_bits_portable(text, length); }
uint8_t scan_plain_bits_backed(const char *text, size_t length) { return scan_plain_bits_portable(text, length); }
#endif

bool printable_memo::look(const char *text, size_t length, bool backed) {
    if (length == 0 || length > 8) return backed ? plain_printable_backed(text, length) : plain_printable(text, length);
    const uint64_t word = length == 8 ? word::load(text) : load_partial(text, length);
    const size_t slot = slot_of(0, word);
    if (holds(slot, 0, word, length)) return answer_[slot];
    if (holds(slot + 1, 0, word, length)) return answer_[slot + 1];
    return remember(slot, 0, word, text, length, backed);
}

bool printable_memo::remember(size_t slot, uint64_t low, uint64_t high, const char *text, size_t length, bool backed) {
    const bool answer = backed ? plain_printable_backed(text, length) : plain_printable(text, length);
    // Into a free slot of the pair; in a full pair the first slot's text
    // moves to the second and the new one takes the first.
    if (length_[slot] != 0 && length_[slot + 1] != 0) {
        low_[slot + 1] = low_[slot];
        high_[slot + 1] = high_[slot];
        length_[slot + 1] = length_[slot];
        answer_[slot + 1] = answer_[slot];
    } else if (length_[slot] != 0) {
        ++slot;
    }
    low_[slot] = low;
    high_[slot] = high;
    length_[slot] = uint8_t(length);
    answer_[slot] = answer;
    return answer;
}

bool needs_escaped_form(const char *text, size_t length) {
    if (length < 2) return false;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(text);
    // Only sequences led by C2, E2 and EF matter; words without those lead
    // bytes are skipped whole (text in other scripts included).
    auto escaped_at = [&](size_t i) {
        if (i + 1 >= length) return false;
        const uint8_t lead = p[i];
        if (lead == 0xC2) return p[i + 1] >= 0x80 && p[i + 1] <= 0x9F;
        if (i + 2 >= length) return false;
        if (lead == 0xE2) return p[i + 1] == 0x80 && (p[i + 2] == 0xA8 || p[i + 2] == 0xA9);
        if (lead == 0xEF)
            return (p[i + 1] == 0xBB && p[i + 2] == 0xBF) ||
                   (p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF));
        return false;
    };
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint64_t w = word::load(text + i);
        if ((w & highs) == 0) continue;
        uint64_t leads = equal_bytes(w, 0xC2) | equal_bytes(w, 0xE2) | equal_bytes(w, 0xEF);
        while (leads) {
            if (escaped_at(i + size_t(__builtin_ctzll(leads)) / 8)) return true;
            leads &= leads - 1;
        }
    }
    for (; i < length; ++i)
        if (escaped_at(i)) return true;
    return false;
}

namespace {

// Bytes that no unescaped scalar form may carry: controls other than tab and
// line break, and DEL. A carriage return counts too (the reader folds it).
bool has_raw_control(const char *text, size_t length) {
#if defined(__SSE2__)
    if (length >= 16) {
        __m128i raw = _mm_setzero_si128();
        auto add = [&](const char *at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
            const __m128i layout =
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
            raw = _mm_or_si128(raw, _mm_andnot_si128(layout, control_bytes(v)));
        };
        size_t at = 0;
        for (; at + 16 <= length; at += 16) add(text + at);
        if (at < length) add(text + length - 16);
        return _mm_movemask_epi8(raw) != 0;
    }
#endif
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = uint8_t(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) return true;
    }
    return false;
}

// Whether a text holds a byte other than a blank, tab or line feed, and
// whether it holds a raw control (has_raw_control's bytes).
struct block_text {
    bool content;
    bool raw_control;
};
block_text look_at_block_text(const char *text, size_t length) {
#if defined(__SSE2__)
    if (length >= 16) {
        __m128i blank = _mm_set1_epi8(-1), raw = _mm_setzero_si128();
        auto add = [&](const char *at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
            const __m128i layout =
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
            blank = _mm_and_si128(blank, _mm_or_si128(layout, _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
            raw = _mm_or_si128(raw, _mm_andnot_si128(layout, control_bytes(v)));
        };
        size_t at = 0;
        for (; at + 16 <= length; at += 16) add(text + at);
        if (at < length) add(text + length - 16);
        return {_mm_movemask_epi8(blank) != 0xFFFF, _mm_movemask_epi8(raw) != 0};
    }
#endif
    bool content = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c != '\t' && c != '\n' && c != ' ') content = true;
    }
    return {content, has_raw_control(text, length)};
}

}  // namespace

bool plain_writable(const char *text, size_t length) { return (scan_plain_bits(text, length) & scan_writable) != 0; }

scalar_form choose_scalar_style(const char *text, size_t length, bool key, uint8_t style, bool has_tag) {
    const plain_scan scan = scan_plain(text, length);
    if (scan.leads && needs_escaped_form(text, length)) return scalar_form::double_quoted;
    const node_style s = node_style(style);
    if (length >= 1 && s == node_style::plain && scan.writable) return scalar_form::plain;

    const bool multi_line = length > 0 && std::memchr(text, '\n', length) != nullptr;
    auto fallback = [&]() {
        if (scan.writable) return scalar_form::plain;
        if (multi_line) return scalar_form::double_quoted;
        for (size_t i = 0; i < length; ++i) {
            uint8_t c = uint8_t(text[i]);
            if (c < 0x20 || c == 0x7F) return scalar_form::double_quoted;
        }
        return scalar_form::single_quoted;
    };

    switch (s) {
    case node_style::plain:
        if (length == 0) return key ? scalar_form::double_quoted : scalar_form::nothing;
        return fallback();
    case node_style::single_quoted:
        // Raw controls would make the text unreadable: they need escapes.
        return multi_line || has_raw_control(text, length) ? scalar_form::double_quoted : scalar_form::single_quoted;
    case node_style::literal:
    case node_style::folded: {
        if (!multi_line) {
            if (length == 0) return scalar_form::double_quoted;
            // A block scalar cannot be a mapping key.
            if (!has_tag || key) return fallback();
            return has_raw_control(text, length) ? scalar_form::double_quoted : scalar_form::literal;
        }
        // A carriage return is a raw control.
        const block_text look = look_at_block_text(text, length);
        return !key && look.content && !look.raw_control ? scalar_form::literal : scalar_form::double_quoted;
    }
    default: return scalar_form::double_quoted;
    }
}

}  // namespace zvl
