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
//   "---"          ends a document (which must hold a node) and starts the
//                  next; before the first node it only opens the first
//   "- " ITEM      a block sequence entry at c; ITEM is again a line body at
//                  the column after the blanks (a nested entry, a pair opening
//                  a mapping there, a scalar, or nothing: the item follows on
//                  later lines or is empty)
//   KEY ": " VALUE a pair of the block mapping at c; an empty VALUE means the
//                  value follows on later lines (more indented, or "- "
//                  entries at c) or is empty
//   "? " KEY       an explicit one-line plain key, followed by the line
//   ": " VALUE     at the same column (VALUE as after "- ", but no entry)
// KEY is a plain scalar or a one-line quoted scalar without escapes; VALUE
// and ITEM are a plain scalar (continuation lines folded), a quoted scalar
// (over several lines, with doubled quotes or escapes other than surrogates),
// an alias, a literal block scalar ("|", "|-", "|+"), a JSON-shaped flow
// collection the JSON recorder takes, or a one-line flow collection of plain
// and quoted texts without escapes; the scalar and the flow collection may
// carry an anchor. Folded and decoded texts go to the log's scratch arena.
//
// It gives up on tabs and carriage returns anywhere, directives, "..." and
// markers with content, empty documents, tags, complex keys, folded block
// scalars, anchors on block collections, aliases to unknown names or to
// anchors of earlier documents, anchor names over 255 bytes, more than 255
// open levels and inputs without a node.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/limits.hpp"
#include "core/word.hpp"
#include "doc/composer.hpp"
#include "doc/quoted.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"

namespace {

using namespace zvl::event_log;

constexpr uint32_t max_levels = zvl::fast_levels - 1;
constexpr uint64_t max_key_length = zvl::implicit_key_limit;
// The anchor table starts at a size the input's length suggests (at least
// the first) and doubles at half load, up to the most.
constexpr uint32_t anchor_slots_first = 1024;
constexpr uint32_t anchor_slots_most = 65536;
constexpr uint32_t anchor_probe = 64;
// Longer anchor and alias names go to the event parser.
constexpr uint64_t max_name_length = 255;

// ---- anchor table -----------------------------------------------------------------

// Sixteen bytes, four to a cache line: the hash is not kept (a move to a
// larger table works it out again).
struct anchor_slot {
    uint64_t head;    // the name's first eight bytes (zero above a shorter name)
    uint32_t offset;  // name offset in the input
    uint32_t entry;   // anchor index << 8 | name length; 0 = empty slot
    uint32_t length() const { return entry & 0xFF; }
    uint32_t index() const { return entry >> 8; }
};

// Bytes that may not start a plain scalar: , [ ] { } # & * ! | > ' " % @ `
struct indicator_bytes {
    bool bytes[256] = {};
    constexpr indicator_bytes() {
        for (char c : {',', '[', ']', '{', '}', '#', '&', '*', '!', '|', '>', '\'', '"', '%', '@', '`'})
            bytes[uint8_t(c)] = true;
    }
};
constexpr indicator_bytes indicator_table{};

// Bytes of the anchor and alias names taken here.
struct name_bytes {
    bool bytes[256] = {};
    constexpr name_bytes() {
        for (int c = 0; c < 256; ++c)
            bytes[c] =
                (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
    }
};
constexpr name_bytes name_table{};

// Bytes of the plain texts plain_flow takes: none ends a plain scalar in
// flow context, and only '-' is an indicator (checked where one starts).
struct plain_flow_bytes {
    bool bytes[256] = {};
    constexpr plain_flow_bytes() {
        for (int c = 0; c < 256; ++c)
            bytes[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
                       c == '+' || c == '-' || c == '_';
    }
};
constexpr plain_flow_bytes plain_flow_table{};

// ---- byte searches ----------------------------------------------------------------
//
// Deeply indented lines with long texts are the common case: the searches
// take sixteen bytes a step (eight without SSE2) before the last few alone.

// Bit i set for byte i of the eight in `word` that equals `byte`; exact for
// the lowest set bit only.
inline uint64_t word_match(uint64_t word, uint8_t byte) { return zvl::word::first_equal(word, byte); }

// First byte of [at, end) that is not a space, or end. The text may be
// read up to `readable`.
inline uint64_t first_non_space(const char *text, uint64_t at, uint64_t end, uint64_t readable) {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' ');
    for (;; at += 16) {
        if (at + 16 > end) {
            if (at >= end || at + 16 > readable) break;
            // The last bytes in one load, what lies past the end masked off.
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
            uint32_t other = ~uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space))) & ((1u << (end - at)) - 1);
            return other ? at + uint64_t(__builtin_ctz(other)) : end;
        }
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
        uint32_t other = ~uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space))) & 0xFFFFu;
        if (other) return at + uint64_t(__builtin_ctz(other));
    }
#else
    (void)readable;
#endif
    for (; at + 8 <= end; at += 8) {
        uint64_t x = zvl::word::load(text + at) ^ zvl::word::repeat(' ');
        if (x) return at + uint64_t(__builtin_ctzll(x) / 8);
    }
    while (at < end && text[at] == ' ') ++at;
    return at;
}

// First byte of [at, end) that is `a` or `b`, or end; as above.
inline uint64_t first_of(const char *text, uint64_t at, uint64_t end, uint64_t readable, char a, char b) {
#if defined(__SSE2__)
    const __m128i x = _mm_set1_epi8(a), y = _mm_set1_epi8(b);
    for (;; at += 16) {
        bool last = at + 16 > end;
        if (last && (at >= end || at + 16 > readable)) break;
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
        uint32_t hit = uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, x), _mm_cmpeq_epi8(v, y))));
        if (last) {
            hit &= (1u << (end - at)) - 1;
            return hit ? at + uint64_t(__builtin_ctz(hit)) : end;
        }
        if (hit) return at + uint64_t(__builtin_ctz(hit));
    }
#else
    (void)readable;
#endif
    for (; at + 8 <= end; at += 8) {
        uint64_t word = zvl::word::load(text + at);
        // The lowest flag of each search is exact, so the lowest of both is.
        uint64_t hit = word_match(word, uint8_t(a)) | word_match(word, uint8_t(b));
        if (hit) return at + uint64_t(__builtin_ctzll(hit) / 8);
    }
    while (at < end && text[at] != a && text[at] != b) ++at;
    return at;
}

// First byte of [at, end) that is `a`, `b` or `c`, or end.
inline uint64_t first_of3(const char *text, uint64_t at, uint64_t end, char a, char b, char c) {
#if defined(__SSE2__)
    const __m128i x = _mm_set1_epi8(a), y = _mm_set1_epi8(b), z = _mm_set1_epi8(c);
    for (; at + 16 <= end; at += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
        __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, x), _mm_cmpeq_epi8(v, y)), _mm_cmpeq_epi8(v, z));
        uint32_t hit = uint32_t(_mm_movemask_epi8(any));
        if (hit) return at + uint64_t(__builtin_ctz(hit));
    }
#endif
    while (at < end && text[at] != a && text[at] != b && text[at] != c) ++at;
    return at;
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
    // A "? KEY" line was read: the next line must be its ": VALUE".
    bool explicit_key = false;
    // The node after ": " of an explicit key's value line may open a
    // collection under the mapping there.
    bool after_value_indicator = false;
    bool root_done = false;
    bool failed = false;
    // An alias or anchored node was an item: item_lines may take the lines
    // that follow.
    bool item_run = false;
    uint64_t next_line = 0;  // where the line after the current node starts

    anchor_slot *anchors = nullptr;
    uint32_t anchor_slots = 0;  // a power of two
    uint32_t next_anchor = 1;
    uint32_t first_document_anchor = 1;  // anchors below belong to earlier documents
    uint32_t documents = 1;
    bool marked = false;  // the first document began with "---"

    block_scanner(zarvel_event_log *l, const zarvel_resolver *r, const char *t, uint64_t n)
        : log(l), resolver(r), text(t), length(n) {}
    ~block_scanner() { zvl::deallocate(&zarvel_default_allocator, anchors); }

    // ---- recording --------------------------------------------------------------

    bool push(const uint64_t *words, uint32_t count) {
        if (!zarvel_event_log_push(log, words, count)) failed = true;
        return !failed;
    }
    // A record of a fixed number of words, written straight into the log
    // (no local array to copy from).
    template <typename... Words>
    bool emit(Words... words) {
        constexpr uint32_t n = sizeof...(Words);
        if (log->word_cap - log->word_count < n && !zarvel_event_log_grow(log, n)) {
            failed = true;
            return false;
        }
        uint64_t *to = log->words + log->word_count;
        uint32_t i = 0;
        ((to[i++] = uint64_t(words)), ...);
        log->word_count += n;
        return true;
    }
    static constexpr uint64_t compact(uint64_t offset, uint64_t n) { return compact_span(offset, n); }
    // The first word of a scalar record with its text in the input.
    static constexpr uint64_t scalar_first(uint64_t tag_id, uint64_t style, bool plain) {
        return first_word(record_scalar, scalar_rec::tag_id.put(tag_id) | scalar_rec::style.put(style) |
                                             scalar_rec::plain_implicit.put(plain) | scalar_rec::verbatim.put(1));
    }
    static constexpr uint64_t bare_event(uint64_t type, uint64_t tag_id) {
        return first_word(record_node_event,
                          node_rec::bare.put(1) | node_rec::tag_id.put(tag_id) | node_rec::type.put(type));
    }

    bool open(bool is_map, uint32_t indent) {
        if (depth >= max_levels) return false;
        // Untagged collections carry the tag id of their kind, as parsed ones do.
        uint64_t tag_id = is_map ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ;
        if (!emit(bare_event(is_map ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START, tag_id))) return false;
        levels[depth++] = {indent, is_map};
        awaiting = false;
        return true;
    }
    bool close() {
        if (awaiting && !empty_value()) return false;
        if (!emit(bare_event(levels[depth - 1].is_map ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END, 0)))
            return false;
        --depth;
        awaiting = false;
        if (depth == 0) root_done = true;
        return true;
    }
    // The empty node of a key or entry whose line ended: a plain null.
    bool empty_value() {
        awaiting = false;
        return emit(first_word(record_scalar_value, compact(length, 0)));
    }
    bool plain_key(uint64_t offset, uint64_t n) {
        uint8_t tag_id = resolver->text(nullptr, text + offset, uint32_t(n));
        return emit(scalar_first(tag_id, ZARVEL_STYLE_PLAIN, true), compact(offset, n));
    }
    bool plain_item(uint64_t offset, uint64_t n) { return emit(first_word(record_scalar_value, compact(offset, n))); }
    bool quoted(uint64_t offset, uint64_t n, uint8_t style) {
        return emit(scalar_first(0, style, false), compact(offset, n));
    }
    bool anchored_item(uint64_t offset, uint64_t n, uint64_t name, uint64_t name_len, uint32_t index) {
        uint8_t tag_id = resolver->text(nullptr, text + offset, uint32_t(n));
        uint64_t first = scalar_first(tag_id, ZARVEL_STYLE_PLAIN, true) | scalar_rec::anchor.put(span_compact) |
                         anchor_index.put(index);
        return emit(first, compact(offset, n), compact(name, name_len));
    }
    bool pair(uint64_t key, uint64_t key_len, uint64_t value_kind, uint64_t value, uint64_t value_len, uint64_t anchor,
              uint64_t anchor_len, uint32_t index) {
        uint64_t first = first_word(record_pair, pair_rec::value_kind.put(value_kind) |
                                                     pair_rec::value_in_input.put(1) | anchor_index.put(index));
        if (value_kind == pair_rec::value_anchored)
            return emit(first | pair_rec::anchor.put(span_compact), compact(key, key_len), compact(value, value_len),
                        compact(anchor, anchor_len));
        return emit(first, compact(key, key_len), compact(value, value_len));
    }

    // ---- anchors ------------------------------------------------------------------

    // Bytes [at, at + n) of the input, n <= 8, in one word.
    uint64_t name_word(uint64_t at, uint64_t n) const {
        if (at + 8 <= length)
            return zvl::word::load(text + at) & (n == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1);
        uint64_t word = 0;
        for (uint64_t i = 0; i < n; ++i) word |= uint64_t(uint8_t(text[at + i])) << (8 * i);
        return word;
    }
    // A name's first eight bytes and its hash. The slot keeps the bytes:
    // most names are matched without reading the input where the anchor was.
    struct name_key {
        uint64_t head;
        uint32_t hash;
    };
    name_key key_of(uint64_t name, uint64_t n) const {
        uint64_t head = name_word(name, n < 8 ? n : 8);
        uint64_t h = 0x811C9DC5u;
        for (uint64_t at = 0; at < n; at += 8) {
            h ^= at == 0 ? head : name_word(name + at, n - at < 8 ? n - at : 8);
            h *= 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
        return {head, uint32_t(h ^ (h >> 32))};
    }
    // Whether the slot holds the name at `name`, n bytes long.
    bool holds(const anchor_slot &s, uint64_t name, uint64_t n, name_key key) const {
        return s.length() == n && s.head == key.head &&
               (n <= 8 || std::memcmp(text + s.offset + 8, text + name + 8, n - 8) == 0);
    }

    // The table at `slots` slots, the names so far moved over.
    bool resize_anchors(uint32_t slots) {
        auto *fresh = static_cast<anchor_slot *>(zvl::allocate(&zarvel_default_allocator, slots * sizeof(anchor_slot)));
        if (!fresh) return false;
        std::memset(fresh, 0, slots * sizeof(anchor_slot));
        for (uint32_t i = 0; i < anchor_slots; ++i) {
            if (anchors[i].entry == 0) continue;
            uint32_t hash = key_of(anchors[i].offset, anchors[i].length()).hash;
            uint32_t probe = 0;
            while (probe < anchor_probe && fresh[(hash + probe) & (slots - 1)].entry != 0) ++probe;
            if (probe == anchor_probe) {
                zvl::deallocate(&zarvel_default_allocator, fresh);
                return false;
            }
            fresh[(hash + probe) & (slots - 1)] = anchors[i];
        }
        zvl::deallocate(&zarvel_default_allocator, anchors);
        anchors = fresh;
        anchor_slots = slots;
        return true;
    }
    bool define_anchor(uint64_t name, uint64_t n, uint32_t *index) {
        if (next_anchor >= big_anchor || n > max_name_length) return false;
        if (!anchors) {
            // About one anchor in 32 bytes at first.
            uint32_t slots = anchor_slots_first;
            while (slots < anchor_slots_most && slots < length / 32) slots *= 2;
            if (!resize_anchors(slots)) return false;
        }
        if (next_anchor >= anchor_slots / 2 && anchor_slots < anchor_slots_most && !resize_anchors(anchor_slots * 2))
            return false;
        name_key key = key_of(name, n);
        for (uint32_t probe = 0; probe < anchor_probe; ++probe) {
            anchor_slot &s = anchors[(key.hash + probe) & (anchor_slots - 1)];
            if (s.entry == 0 || holds(s, name, n, key)) {
                s = {key.head, uint32_t(name), next_anchor << 8 | uint32_t(n)};
                *index = next_anchor++;
                return true;
            }
        }
        return false;
    }
    bool find_anchor(uint64_t name, uint64_t n, uint32_t *index) const {
        if (!anchors || n > max_name_length) return false;
        name_key key = key_of(name, n);
        for (uint32_t probe = 0; probe < anchor_probe; ++probe) {
            const anchor_slot &s = anchors[(key.hash + probe) & (anchor_slots - 1)];
            if (s.entry == 0) return false;
            if (holds(s, name, n, key)) {
                if (s.index() < first_document_anchor) return false;
                *index = s.index();
                return true;
            }
        }
        return false;
    }

    // ---- lexical pieces -----------------------------------------------------------

    static bool is_name_char(char c) { return name_table.bytes[uint8_t(c)]; }
    // Bytes that may not start a plain scalar here (some only before a blank).
    static bool is_indicator(char c) { return indicator_table.bytes[uint8_t(c)]; }
    bool blank_at(uint64_t at, uint64_t end) const { return at >= end || text[at] == ' '; }

    // End of a plain one-line scalar starting at `at` (trailing blanks and a
    // comment cut off); 0 when the text is not such a scalar.
    bool plain_extent(uint64_t at, uint64_t end, uint64_t *out_end, bool continuation = false) const {
        char c = text[at];
        if (!continuation && is_indicator(c)) return false;
        if (c == '#' || ((c == '-' || c == '?' || c == ':') && blank_at(at + 1, end))) return false;
        // Up to the first ':' or '#' (less the blank before it) nothing but
        // the last non-blank byte matters.
        uint64_t mark = first_of(text, at, end, length, ':', '#');
        uint64_t from = mark > at ? mark - 1 : at;
        uint64_t last = from;
        while (last > at && text[last - 1] == ' ') --last;
        for (uint64_t i = from; i < end; ++i) {
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
        at = skip_blanks(at, end);
        return at >= end || text[at] == '#';
    }
    uint64_t skip_blanks(uint64_t at, uint64_t end) const {
        // Between tokens there is mostly no blank or one.
        if (at < end && text[at] != ' ') return at;
        if (at + 1 < end && text[at + 1] != ' ') return at + 1;
        return first_non_space(text, at, end, length);
    }

    // A plain key "KEY:" followed by a blank or the end: the key's end and
    // the offset of the colon.
    bool key_extent(uint64_t at, uint64_t end, uint64_t *key_end) const {
        char c = text[at];
        if (is_indicator(c) || c == '-' || c == '?' || c == ':') return false;
        // Before the first ':' or '#' (and the blank before it) nothing counts.
        uint64_t mark = first_of(text, at, end, length, ':', '#');
        if (mark == end) return false;
        for (uint64_t i = mark > at ? mark - 1 : at; i < end; ++i) {
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

    // ---- texts assembled in the scratch arena -----------------------------------

    // Copies the assembled text into the log's scratch arena (created on
    // first use); null on failure.
    const char *keep(const zvl::buffer<char> &assembled) {
        if (assembled.empty()) return "";
        if (!log->scratch) {
            log->scratch = zarvel_arena_new(&zarvel_default_allocator, 65536);
            if (!log->scratch) return nullptr;
        }
        char *copy = static_cast<char *>(zarvel_arena_alloc(log->scratch, assembled.size(), 1));
        if (copy) std::memcpy(copy, assembled.data(), assembled.size());
        log->text_bytes += assembled.size();
        return copy;
    }
    bool external_scalar(const char *data, uint64_t n, uint8_t style, bool plain) {
        uint8_t tag_id = plain ? resolver->text(nullptr, data, uint32_t(n)) : 0;
        uint64_t first = first_word(record_scalar, scalar_rec::tag_id.put(tag_id) | scalar_rec::style.put(style) |
                                                       scalar_rec::plain_implicit.put(plain));
        uint64_t w[3] = {first, external_mark | n, n ? reinterpret_cast<uint64_t>(data) : 0};
        return push(w, 3);
    }

    // End of the line starting at p (its line feed, or the end). The last
    // answer is kept: a scalar's look at the next line and that line's own
    // turn ask for the same end.
    uint64_t last_line_start = ~uint64_t(0), last_line_end = 0;
    __attribute__((always_inline)) uint64_t line_end(uint64_t p) {
        if (p == last_line_start) return last_line_end;
        // The leading blanks are passed once: the line break is looked for
        // from the first content on, and that content is kept as well.
        uint64_t c, e, from = p;
#if defined(__SSE2__)
        if (p + 16 <= length) {
            // Short lines whole in one load: the content and the break at once
            // (no break lies before the content, which is the first non-blank).
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + p));
            uint32_t other = ~uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')))) & 0xFFFFu;
            uint32_t breaks = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
            if (other) {
                c = p + uint64_t(__builtin_ctz(other));
                e = breaks ? p + uint64_t(__builtin_ctz(breaks)) : first_of(text, p + 16, length, length, '\n', '\n');
                last_line_start = last_content_start = p;
                last_content = c;
                return last_line_end = e;
            }
            from = p + 16;
        }
#endif
        c = first_non_space(text, from, length, length);
        e = c < length && text[c] != '\n' ? first_of(text, c, length, length, '\n', '\n') : c;
        last_line_start = last_content_start = p;
        last_content = c;
        return last_line_end = e;
    }

    // First content byte of the line [p, e) (or e), e = line_end(p); found
    // by line_end.
    uint64_t last_content_start = ~uint64_t(0), last_content = 0;
    uint64_t line_content(uint64_t p, uint64_t e) {
        if (p == last_content_start) return last_content;
        last_content_start = p;
        return last_content = skip_blanks(p, e);
    }

    // Continuation lines of a plain scalar whose first line ends at
    // first_end; lines indented beyond `parent`. Folds them into `out`
    // (first line included) and moves next_line past them. False to give up;
    // *multi tells whether any continuation was found.
    bool plain_continuation(uint64_t first, uint64_t first_end, uint32_t parent, zvl::buffer<char> &out, bool *multi) {
        *multi = false;
        uint64_t p = next_line, blank = 0;
        bool started = false;
        while (p < length) {
            uint64_t e = line_end(p);
            uint64_t c = line_content(p, e);
            if (c == e) {
                ++blank;
                p = e + 1;
                continue;
            }
            if (c - p <= parent) break;
            if (text[c] == '#') return false;  // a comment ends the scalar; what follows would be an error
            uint64_t c_end;
            // Indicators lose their meaning on a continuation line; an entry
            // or key marker is left to the event parser all the same.
            if ((text[c] == '-' || text[c] == '?' || text[c] == ':') && blank_at(c + 1, e)) return false;
            if (!plain_extent(c, e, &c_end, true)) return false;
            if (skip_blanks(c_end, e) != e) return false;  // a comment after a continuation
            if (!started) {
                if (!out.append(text + first, first_end - first)) return false;
                started = true;
            }
            if (blank == 0) {
                if (!out.push_back(' ')) return false;
            }
            for (; blank > 0; --blank)
                if (!out.push_back('\n')) return false;
            if (!out.append(text + c, c_end - c)) return false;
            p = e + 1;
            next_line = p;
        }
        *multi = started;
        return true;
    }

    // A literal block scalar whose header "|", "|-" or "|+" is at `at`; the
    // content lines follow, indented beyond `parent`.
    bool literal(uint64_t at, uint64_t end, uint32_t parent, zvl::buffer<char> &out) {
        char chomp = 0;
        uint64_t h = at + 1;
        if (h < end && (text[h] == '-' || text[h] == '+')) chomp = text[h++];
        if (h < end && text[h] != ' ') return false;  // indentation indicators and the rest
        if (!rest_is_empty(h, end)) return false;
        uint64_t p = next_line, indent = 0, trailing = 0;
        bool content = false;
        while (p < length) {
            uint64_t e = line_end(p);
            uint64_t c = line_content(p, e);
            if (c == e) {
                // Only spaces: an empty line, unless it reaches into the content.
                if (!content || e - p > indent) return false;
                if (e >= length) break;
                if (!out.push_back('\n')) return false;
                ++trailing;
                p = e + 1;
                continue;
            }
            if (!content) {
                indent = c - p;
                if (indent <= parent) return false;  // empty block scalar
                content = true;
            } else if (c - p < indent) {
                break;
            }
            if (e >= length) return false;  // no final line break
            if (!out.append(text + p + indent, e - p - indent) || !out.push_back('\n')) return false;
            trailing = 0;
            p = e + 1;
        }
        if (!content) return false;
        next_line = p < length ? p : length;
        // Chomping: strip drops every final break, clip keeps one, keep all.
        size_t size = out.size();
        if (chomp == '-') {
            while (size && out[size - 1] == '\n') --size;
        } else if (chomp == 0) {
            size -= size_t(trailing);
        }
        out.resize_down(size);
        return true;
    }

    // ---- structure -------------------------------------------------------------

    struct key_ref {
        bool present = false;
        uint64_t offset = 0, length = 0;
        uint8_t style = ZARVEL_STYLE_PLAIN;  // quoted keys are written before the value
    };

    // A node (value of a pair or a sequence item) from `at` on its line;
    // block scalars and plain continuation lines may take following lines.
    bool node_on_line(uint64_t at, uint64_t end, const key_ref &key) {
        bool pair_key = key.present && key.style == ZARVEL_STYLE_PLAIN;
        uint32_t parent = levels[depth - 1].indent;
        char c = text[at];
        if (c == '&') {
            item_run = item_run || !key.present;
            uint64_t name = at + 1, n = name;
            while (n < end && is_name_char(text[n])) ++n;
            if (n == name || n >= end || text[n] != ' ') return false;
            uint64_t v = skip_blanks(n, end);
            uint64_t v_end;
            if (v < end && (text[v] == '[' || text[v] == '{')) {
                uint32_t index;
                if (!define_anchor(name, n - name, &index)) return false;
                if (pair_key && !plain_key(key.offset, key.length)) return false;
                return flow_node(v, end, name, n - name, index);
            }
            if (v >= end || !plain_extent(v, end, &v_end) || v_end - v >= compact_limit) return false;
            uint32_t index;
            if (!define_anchor(name, n - name, &index)) return false;
            if (pair_key)
                return pair(key.offset, key.length, pair_rec::value_anchored, v, v_end - v, name, n - name, index);
            return anchored_item(v, v_end - v, name, n - name, index);
        }
        if (c == '*') return alias(at, end, pair_key ? &key : nullptr);
        if (pair_key && (c == '"' || c == '\'' || c == '[' || c == '{' || c == '|')) {
            if (!plain_key(key.offset, key.length)) return false;
            pair_key = false;
        }
        if (c == '"' || c == '\'') {
            uint8_t style = c == '"' ? ZARVEL_STYLE_DOUBLE : ZARVEL_STYLE_SINGLE;
            uint64_t close;
            if (!quoted_extent(at, end, &close)) return folded_quoted(at, parent, style);
            if (!rest_is_empty(close + 1, end)) return false;
            if (close + 1 < end && text[close + 1] != ' ') return false;
            return quoted(at + 1, close - at - 1, style);
        }
        if (c == '[' || c == '{') return flow_node(at, end, 0, 0, 0);
        if (c == '|') {
            zvl::buffer<char> assembled;
            if (!literal(at, end, parent, assembled)) return false;
            const char *kept = keep(assembled);
            return kept && external_scalar(kept, assembled.size(), ZARVEL_STYLE_LITERAL, false);
        }
        uint64_t v_end;
        if (!plain_extent(at, end, &v_end) || v_end - at >= compact_limit) return false;
        zvl::buffer<char> folded;
        bool multi = false;
        if (!plain_continuation(at, v_end, parent, folded, &multi)) return false;
        // A comment ends the scalar: a continuation after it is an error.
        if (multi && skip_blanks(v_end, end) < end) return false;
        if (multi) {
            const char *kept = keep(folded);
            if (!kept) return false;
            if (pair_key && !plain_key(key.offset, key.length)) return false;
            uint64_t w[3] = {first_word(record_scalar, scalar_rec::value_external), external_mark | folded.size(),
                             reinterpret_cast<uint64_t>(kept)};
            return push(w, 3);
        }
        if (pair_key) return pair(key.offset, key.length, pair_rec::value_plain, at, v_end - at, 0, 0, 0);
        return plain_item(at, v_end - at);
    }

    // An alias at `at`, the value of the plain key `key` when given. Apart
    // from node_on_line: an item of a long list of aliases is read without
    // its frame.
    bool alias(uint64_t at, uint64_t end, const key_ref *key) {
        uint64_t name = at + 1, n = name;
        while (n < end && is_name_char(text[n])) ++n;
        if (n == name || !rest_is_empty(n, end)) return false;
        if (n < end && text[n] != ' ') return false;
        uint32_t index;
        if (!find_anchor(name, n - name, &index)) return false;
        if (key) return pair(key->offset, key->length, pair_rec::value_alias, name, n - name, 0, 0, index);
        // A sequence item, or the value of a quoted key (written already).
        item_run = true;
        return alias_event(name, n - name, index);
    }
    bool alias_event(uint64_t name, uint64_t n, uint32_t index) {
        return emit(first_word(record_node_event, node_rec::type.put(ZARVEL_EVENT_ALIAS) | node_rec::verbatim.put(1) |
                                                      anchor_index.put(index)),
                    compact(name, n));
    }

    // Entries of the open sequence at its column from `at`, each "- *NAME"
    // and nothing else or "- &" and an anchored node, recorded as line()
    // would record them but without its steps; the first other line's
    // start. Long lists of aliases and anchored nodes are read this way. A
    // node that node_on_line refuses sets `failed`: line() would refuse it.
    __attribute__((noinline)) uint64_t item_lines(uint64_t at) {
        if (depth == 0 || levels[depth - 1].is_map || awaiting || explicit_key) return at;
        const uint64_t indent = levels[depth - 1].indent;
        for (;;) {
            const uint64_t mark = at + indent, name = mark + 3;
            if (name >= length || text[mark] != '-' || text[mark + 1] != ' ') return at;
            const char c = text[mark + 2];
            if (c != '*' && c != '&') return at;
            if (indent && first_non_space(text, at, mark, length) != mark) return at;
            if (c == '&') {
                const uint64_t end = line_end(at);
                next_line = end + 1;
                if (!node_on_line(mark + 2, end, key_ref{})) {
                    failed = true;
                    return at;
                }
                at = end < length ? end + 1 : length;
                continue;
            }
            uint64_t n = name;
            while (n < length && is_name_char(text[n])) ++n;
            uint32_t index;
            if (n == name || (n < length && text[n] != '\n') || !find_anchor(name, n - name, &index) ||
                !alias_event(name, n - name, index))
                return at;
            at = n < length ? n + 1 : length;
        }
    }

    // A flow collection at `at`, anchored when name_len > 0: the JSON
    // recorder's record, else (one line, plain texts) plain_flow's events.
    // Only blanks or a comment may follow it on its line.
    bool flow_node(uint64_t at, uint64_t end, uint64_t name, uint64_t name_len, uint32_t index) {
        uint64_t close = 0;
        // A mapping whose first key is plain is no JSON: no need to ask.
        uint64_t first = skip_blanks(at + 1, end);
        bool json = text[at] == '[' || first >= end || text[first] == '"' || text[first] == '}';
        int r =
            json ? zarvel_flow_recorder(log, text, at, length, {name_len ? text + name : nullptr, uint32_t(name_len)},
                                        {nullptr, 0}, index, zarvel_store_max_depth, &close)
                 : 0;
        if (r < 0) failed = true;
        if (r != 1 && (r != 0 || !plain_flow(at, end, name, name_len, index, &close))) return false;
        return close < end && rest_is_empty(close + 1, end) && (close + 1 >= end || text[close + 1] == ' ');
    }

    // The end of the run of plain_flow_bytes and blanks from `at`, at most
    // `end`.
    uint64_t plain_run(uint64_t at, uint64_t end) const {
#if defined(__SSE2__)
        // Sixteen bytes a step: letters (either case), digits, ". + - _" and
        // blanks.
        const __m128i letters = _mm_set1_epi8(char(128 - 'a')), digits = _mm_set1_epi8(char(128 - '0'));
        for (; at + 16 <= length; at += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at));
            __m128i lower = _mm_add_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), letters);
            __m128i plain = _mm_or_si128(_mm_cmplt_epi8(lower, _mm_set1_epi8(char(-128 + 26))),
                                         _mm_cmplt_epi8(_mm_add_epi8(v, digits), _mm_set1_epi8(char(-128 + 10))));
            plain = _mm_or_si128(
                plain, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('.')), _mm_cmpeq_epi8(v, _mm_set1_epi8('+'))));
            plain = _mm_or_si128(
                plain, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))));
            plain = _mm_or_si128(plain, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
            uint32_t stop = ~uint32_t(_mm_movemask_epi8(plain)) & 0xFFFFu;
            if (stop || at + 16 >= end) {
                uint64_t found = stop ? at + uint64_t(__builtin_ctz(stop)) : at + 16;
                return found < end ? found : end;
            }
        }
#endif
        while (at < end && (plain_flow_table.bytes[uint8_t(text[at])] || text[at] == ' ')) ++at;
        return at;
    }

    // End of a plain flow text of words of plain_flow_bytes from `at` (the
    // blanks after it not its), or 0 when none starts there.
    uint64_t plain_flow_end(uint64_t at, uint64_t end) const {
        auto plain_byte = [&](uint64_t i) { return i < end && plain_flow_table.bytes[uint8_t(text[i])]; };
        if (!plain_byte(at) || (text[at] == '-' && !plain_byte(at + 1))) return 0;
        uint64_t i = plain_run(at, end);
        while (text[i - 1] == ' ') --i;
        return i - at < compact_limit ? i : 0;
    }

    // A scalar of a one-line flow collection from `at`: a plain one (as
    // above), or a quoted one without escapes or doubled quotes. Recorded
    // as the event parser gives it; *next = the byte after.
    bool flow_scalar(uint64_t at, uint64_t end, uint64_t *next) {
        char c = text[at];
        if (c == '"' || c == '\'') {
            uint64_t q;
            if (!quoted_extent(at, end, &q)) return false;
            *next = q + 1;
            uint8_t style = c == '"' ? ZARVEL_STYLE_DOUBLE : ZARVEL_STYLE_SINGLE;
            return emit(scalar_first(0, style, false) | scalar_rec::flow.put(1), compact(at + 1, q - at - 1));
        }
        uint64_t i = plain_flow_end(at, end);
        if (i == 0) return false;
        *next = i;
        uint8_t tag_id = resolver->text(nullptr, text + at, uint32_t(i - at));
        return emit(scalar_first(tag_id, ZARVEL_STYLE_PLAIN, true) | scalar_rec::flow.put(1), compact(at, i - at));
    }

    // A flow collection on one line of flow_scalar texts and nested
    // collections, keys followed by ": ", which the JSON recorder refuses
    // for its plain texts: its events. Comments, properties, aliases, pairs
    // in sequences, empty nodes and a comma before the closing bracket are
    // left to the event parser. *close = the outermost closing bracket.
    bool plain_flow(uint64_t at, uint64_t end, uint64_t name, uint64_t name_len, uint32_t index, uint64_t *close) {
        constexpr uint32_t max_open = 64;
        bool maps[max_open];
        uint32_t open = 0;
        enum { value, key, after } step = value;
        uint64_t i = at;
        while (i < end) {
            char c = text[i];
            if (step == after) {
                bool map = maps[open - 1];
                if (c == ',') {
                    i = skip_blanks(i + 1, end);
                    if (i < end && (text[i] == ']' || text[i] == '}')) return false;
                    step = map ? key : value;
                    continue;
                }
                if (c != (map ? '}' : ']')) return false;
                if (!emit(bare_event(map ? ZARVEL_EVENT_MAPPING_END : ZARVEL_EVENT_SEQUENCE_END, 0))) return false;
                if (--open == 0) {
                    *close = i;
                    return true;
                }
                i = skip_blanks(i + 1, end);
                continue;
            }
            if (step == value && (c == '[' || c == '{')) {
                if (open == max_open) return false;
                bool map = c == '{';
                uint64_t start = bare_event(map ? ZARVEL_EVENT_MAPPING_START : ZARVEL_EVENT_SEQUENCE_START,
                                            map ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ) |
                                 node_rec::flow.put(1) | node_rec::verbatim.put(1);
                bool ok = open == 0 && name_len ? emit((start & ~node_rec::bare.mask()) |
                                                           node_rec::anchor.put(span_compact) | anchor_index.put(index),
                                                       compact(i, 0), compact(name, name_len))
                                                : emit(start);
                if (!ok) return false;
                maps[open++] = map;
                i = skip_blanks(i + 1, end);
                step = i < end && text[i] == (map ? '}' : ']') ? after : map ? key : value;
                continue;
            }
            uint64_t from = i, next;
            // A plain key with a plain value: one pair record, resolved at replay.
            uint64_t key_end = step == key ? plain_flow_end(i, end) : 0;
            if (key_end) {
                i = skip_blanks(key_end, end);
                if (i - from > max_key_length || i + 1 >= end || text[i] != ':' || text[i + 1] != ' ') return false;
                uint64_t v = skip_blanks(i + 1, end), v_end = plain_flow_end(v, end);
                if (v_end) {
                    if (!emit(first_word(record_pair, pair_rec::value_in_input.put(1) | pair_rec::flow.put(1)),
                              compact(from, key_end - from), compact(v, v_end - v)))
                        return false;
                    i = skip_blanks(v_end, end);
                    step = after;
                    continue;
                }
                if (!flow_scalar(from, end, &next)) return false;
                i = v;
                step = value;
                continue;
            }
            if (!flow_scalar(i, end, &next)) return false;
            i = skip_blanks(next, end);
            if (step == key) {
                if (i - from > max_key_length || i + 1 >= end || text[i] != ':' || text[i + 1] != ' ') return false;
                i = skip_blanks(i + 1, end);
                step = value;
            } else {
                step = after;
            }
        }
        return false;
    }

    // A quoted scalar that spans lines or holds doubled single quotes (no
    // backslash in a double-quoted one): its lines are folded into the
    // scratch arena as the event parser folds them. Every line it continues
    // on must be indented beyond `parent`; what follows the closing quote on
    // its line must be blank or a comment.
    bool folded_quoted(uint64_t open, uint32_t parent, uint8_t style) {
        char q = text[open];
        uint64_t close = open + 1;
        for (;;) {
            close = first_of(text, close, length, length, q, '\\');
            if (close >= length) return false;
            if (text[close] == '\\') {
                // Only escapes of one character after the backslash (and an
                // escaped line break) are taken here; in single quotes it is
                // a plain byte.
                uint64_t size = q == '"' ? escape_size(close + 1) : 0;
                if (q == '"' && size == 0) return false;
                close += 1 + size;
                continue;
            }
            if (q == '\'' && close + 1 < length && text[close + 1] == '\'') {
                close += 2;
                continue;
            }
            break;
        }
        uint64_t close_end = line_end(close);
        if (!rest_is_empty(close + 1, close_end) || (close + 1 < close_end && text[close + 1] != ' ')) return false;
        zvl::buffer<char> out;
        size_t floor = 0;  // text before this is never trimmed (a doubled quote)
        uint64_t i = open + 1;
        // The first content of the line at p (which follows a break) must be
        // indented beyond the parent; *c is set to it.
        auto indented = [&](uint64_t p, uint64_t *c) {
            uint64_t at = p;
            while (at < close && text[at] == ' ') ++at;
            *c = at;
            return (at < close && text[at] == '\n') || at - p > parent;
        };
        bool rewritten = false;
        while (i < close) {
            char b = text[i];
            if (b == '\n' || (b == '\\' && q == '"') || (b == '\'' && q == '\'')) rewritten = true;
            if (b == '\\' && q == '"') {
                uint64_t at = i + 1;
                if (text[at] == '\n') {  // an escaped break: no space, next line's blanks dropped
                    uint64_t c;
                    if (!indented(at + 1, &c)) return false;
                    // Blanks after the break are skipped, blank lines are not.
                    i = c;
                    floor = out.size();
                    continue;
                }
                char decoded[8];
                uint32_t n = 0;
                uint64_t size = zvl::quoted::decode_escape(text, at, length, true, decoded, &n, nullptr);
                if (size == 0 || !out.append(decoded, n)) return false;
                floor = out.size();
                i = at + size;
                continue;
            }
            if (b == '\'' && q == '\'') {  // a doubled quote
                if (!out.push_back('\'')) return false;
                floor = out.size();
                i += 2;
                continue;
            }
            if (b == '\n') {
                uint32_t breaks = 0;
                uint64_t p = i;
                for (;;) {
                    p += 1;  // onto the next line
                    ++breaks;
                    uint64_t c = p;
                    while (c < close && text[c] == ' ') ++c;
                    if (c < close && text[c] == '\n') {
                        p = c;
                        continue;
                    }
                    // Its first content (maybe the closing quote) must be indented.
                    if (c - p <= parent) return false;
                    p = c;
                    break;
                }
                if (!zvl::quoted::fold_breaks(out, floor, breaks)) return false;
                floor = out.size();
                i = p;
                continue;
            }
            uint64_t run = first_of3(text, i + 1, close, '\n', q, '\\');
            if (!out.append(text + i, run - i)) return false;
            i = run;
        }
        next_line = close_end + 1;
        // Nothing to rewrite (a backslash in single quotes): the text in place.
        if (!rewritten) return close - open < compact_limit && quoted(open + 1, close - open - 1, style);
        const char *kept = keep(out);
        return kept && external_scalar(kept, out.size(), style, false);
    }

    // Bytes of the escape whose letter is at `at` (after the backslash), as
    // the event parser reads it, or 1 for an escaped line feed; 0 for
    // anything else (left to the event parser).
    uint64_t escape_size(uint64_t at) const {
        if (at < length && text[at] == '\n') return 1;
        char decoded[8];
        uint32_t produced;
        return zvl::quoted::decode_escape(text, at, length, true, decoded, &produced, nullptr);
    }

    // A one-line quoted scalar without escapes or doubled quotes: the offset
    // of its closing quote.
    bool quoted_extent(uint64_t at, uint64_t end, uint64_t *close_out) const {
        char q = text[at];
        uint64_t close = first_of(text, at + 1, end, length, q, '\\');
        if (close >= end || text[close] != q || close - at >= compact_limit) return false;
        if (q == '\'' && close + 1 < end && text[close + 1] == '\'') return false;
        *close_out = close;
        return true;
    }

    // The body of a line from `at` (column `column`) to `end`: an entry, a
    // pair, or (for an item) a scalar.
    bool body(uint64_t at, uint64_t end, uint32_t column, bool is_item) {
        // Entries on one line ("- - a") one after the other, in one frame.
        while (text[at] == '-' && blank_at(at + 1, end)) {
            if (!enter(column, false)) return false;
            uint64_t next = skip_blanks(at + 1, end);
            if (next >= end || text[next] == '#') {
                awaiting = true;
                return true;
            }
            column = uint32_t(column + (next - at));
            at = next;
            is_item = true;
        }
        if (text[at] == '*' && is_item) return alias(at, end, nullptr);
        if (text[at] == '?' && blank_at(at + 1, end)) return explicit_key_line(at, end, column);
        key_ref key;
        uint64_t key_end = 0, colon = 0;
        if (text[at] == '"' || text[at] == '\'') {
            uint64_t close;
            if (quoted_extent(at, end, &close) && close + 1 < end && text[close + 1] == ':' &&
                blank_at(close + 2, end) && close + 1 - at <= max_key_length) {
                key = {true, at + 1, close - at - 1,
                       uint8_t(text[at] == '"' ? ZARVEL_STYLE_DOUBLE : ZARVEL_STYLE_SINGLE)};
                colon = close + 1;
            }
        } else if (key_extent(at, end, &key_end)) {
            key = {true, at, key_end - at, ZARVEL_STYLE_PLAIN};
            colon = key_end;
        }
        if (key.present) {
            if (!enter(column, true)) return false;
            if (key.style != ZARVEL_STYLE_PLAIN && !quoted(key.offset, key.length, key.style)) return false;
            uint64_t v = skip_blanks(colon + 1, end);
            if (v >= end || text[v] == '#') {
                if (key.style == ZARVEL_STYLE_PLAIN && !plain_key(key.offset, key.length)) return false;
                awaiting = true;
                return true;
            }
            if (text[v] == '-' && blank_at(v + 1, end)) return false;  // "a: - b"
            return node_on_line(v, end, key);
        }
        if (!is_item) return false;
        return node_on_line(at, end, key_ref{});
    }

    // Makes the collection at `column` of this kind the current one: an open
    // one continues, an awaited node or a new root opens it.
    bool enter(uint32_t column, bool is_map) {
        if (after_value_indicator) {
            after_value_indicator = false;
            return depth > 0 && column > levels[depth - 1].indent && open(is_map, column);
        }
        if (depth > 0) {
            level &top = levels[depth - 1];
            if (!awaiting && top.indent == column) return top.is_map == is_map;
            if (!awaiting) {
                // A nested node after an item marker on the same line.
                if (top.is_map || column <= top.indent) return false;
                return open(is_map, column);
            }
            // The awaited node: more indented, or entries under their key.
            if (column > top.indent || (top.is_map && !is_map && column == top.indent)) return open(is_map, column);
            return false;
        }
        if (root_done) return false;
        return open(is_map, column);
    }

    // "? KEY" with a one-line plain key: the key of a pair of the mapping at
    // `column`, whose value follows on the next line after ": ".
    bool explicit_key_line(uint64_t at, uint64_t end, uint32_t column) {
        uint64_t k = skip_blanks(at + 1, end), k_end;
        if (k >= end || !plain_extent(k, end, &k_end) || k_end - k >= compact_limit) return false;
        if (skip_blanks(k_end, end) != end) return false;
        if (!enter(column, true) || !plain_key(k, k_end - k)) return false;
        explicit_key = true;
        return true;
    }
    // ": VALUE" under an explicit key, at the key's column; the value starts
    // on this line (an entry there, or nothing, goes to the event parser).
    bool explicit_value_line(uint64_t at, uint64_t end, uint32_t c) {
        explicit_key = false;
        if (depth == 0 || levels[depth - 1].indent != c || !levels[depth - 1].is_map) return false;
        if (text[at] != ':' || !blank_at(at + 1, end)) return false;
        uint64_t v = skip_blanks(at + 1, end);
        if (v >= end || text[v] == '#' || (text[v] == '-' && blank_at(v + 1, end))) return false;
        after_value_indicator = true;
        bool ok = body(v, end, uint32_t(c + (v - at)), true);
        after_value_indicator = false;
        return ok;
    }

    // One content line whose first content byte is at `at` (column c).
    bool line(uint64_t at, uint64_t end, uint32_t c) {
        if (explicit_key) return explicit_value_line(at, end, c);
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
            if (item_run) {
                at = item_lines(at);
                if (failed) return false;
                if (at >= length) break;
            }
            uint64_t end = line_end(at);
            next_line = end + 1;
            uint64_t content = line_content(at, end);
            if (content < end && text[content] != '#') {
                if (content == at) {
                    char c = text[at];
                    if (c == '%') return false;
                    if ((c == '-' || c == '.') && end - at >= 3 && text[at + 1] == c && text[at + 2] == c &&
                        (end - at == 3 || text[at + 3] == ' ')) {
                        // A bare "---" line starts the next document; a marker
                        // with content, and "...", go to the event parser.
                        if (c != '-' || end - at != 3 || !next_document()) return false;
                        at = next_line;
                        continue;
                    }
                }
                if (content - at > 0xFFFF) return false;
                if (!line(content, end, uint32_t(content - at))) return false;
                if (failed) return false;
            }
            at = next_line;
        }
        if (explicit_key) return false;
        while (depth > 0)
            if (!close()) return false;
        if (!root_done) return false;
        return zarvel_event_log_push_event(log, ZARVEL_EVENT_DOCUMENT_END) &&
               zarvel_event_log_push_event(log, ZARVEL_EVENT_STREAM_END);
    }

    // A "---" line: ends the current document (which must hold a node) and
    // starts the next. Before the first node it only makes the first
    // document's start explicit. Anchors of a finished document are out of
    // reach of the next one.
    bool next_document() {
        if (depth == 0 && !root_done) {
            if (documents > 1 || marked) return false;  // an empty document
            marked = true;
            return true;
        }
        if (explicit_key) return false;
        while (depth > 0)
            if (!close()) return false;
        if (!root_done) return false;
        if (!zarvel_event_log_push_event(log, ZARVEL_EVENT_DOCUMENT_END) ||
            !zarvel_event_log_push_event(log, ZARVEL_EVENT_DOCUMENT_START))
            return false;
        root_done = false;
        documents += 1;
        first_document_anchor = next_anchor;
        return true;
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
    log->doc_count = scanner.documents;
    log->depth = 0;
    return 0;
}
