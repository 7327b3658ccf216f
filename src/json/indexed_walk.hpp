// The walk of the indexed builders over the stage-1 classifier's offsets,
// shared by the tape builder (json/tape_indexed.cpp) and the JSON document
// road, which writes node records from it (jsondoc/json_document.cpp).
// A writer takes the entries (put, link) and says how its room is had:
//   static writer start(room &)      its first state, from the room
//   void rebase(room &)              after the room grew
//   static uint64_t used(const writer &, uint64_t n)
//                                    what the room's capacity counts
//   static uint32_t mark(const writer &, uint64_t n)
//                                    kept for a level at its open, given
//                                    back to link at its close
//   close_entries                    what a close adds to n (0 or 1)
//   all_facts                        whether the walk counts all its facts
//                                    (else only the escapes and keys)
//   void finish(room &, uint64_t n)  a built walk's state handed back
//   whole_pairs, pair(n, type, start, length, type, start, length)
//                                    an array of two numbers in one step
//                                    (else as its entries)
// and the room has capacity, grow(used, needed, done) and failed, as
// tape_room does.
#pragma once

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/memory.hpp"
#include "core/stage1.hpp"
#include "core/utf8.hpp"
#include "core/word.hpp"
#include "json/grammar.hpp"
#include "json/string_scan.hpp"
#include "json/tape.hpp"

// Each file that walks has its own copy, as when the walk was one file's:
// the compiler may then specialise it for its callers.
namespace zvl::indexed {
namespace {

enum class deepest_rule { tape, document };

// The classifier's offsets, one chunk at a time, each with the byte it
// points at. The walk reads them by its own index, which stays in a
// register (refill takes no reference to it): an entry store through a byte
// pointer could otherwise alias it and force reloads. After the last offset
// of a chunk stands a 0 byte, which no place of the walk expects: the walk
// learns of the chunk's end on its refusal path only, and no test per offset
// is needed.
class index_cursor {
  public:
    index_cursor(const char *text, uint64_t len, json::index_fill fill, bool checks_utf8, deepest_rule levels_rule)
        : checks_utf8(checks_utf8), levels_rule(levels_rule), text_(text), len_(len), fill_(fill) {}

    // Classifies on until a chunk yields offsets; how many (0 at the end of
    // the text).
    __attribute__((noinline)) uint32_t refill() {
        while (state_.offset < len_) {
            base_ = state_.offset;
            uint32_t count = fill_(state_, text_, len_, offsets_, bytes_);
            if (count) return mark_end(count);
        }
        return mark_end(0);
    }

    // True when the byte the walk just took at index i - 1 was the end mark.
    bool at_end(uint64_t i) const { return i == count_ + 1; }

    uint8_t byte(uint64_t i) const { return bytes_[i]; }
    // The bytes from index i on, the first lowest: i is at most the end
    // mark's index, and the mark is followed by seven more 0 bytes.
    uint64_t bytes_from(uint64_t i) const { return word::load(bytes_ + i); }
    uint64_t offset(uint64_t i) const { return offsets_[i]; }
    uint64_t base() const { return base_; }
    const json::index_state &state() const { return state_; }

    // The walk's flag that the last level allowed was opened and its facts,
    // kept here rather than in its registers (they change seldom), and the
    // rules it reads only at the end.
    bool deepest = false;
    tape_walk_facts facts{};
    uint64_t entries = 0;  // the walk's count of entries, once built
    const bool checks_utf8;
    const deepest_rule levels_rule;

  private:
    // The end mark points into the text (at the chunk's start), so that
    // reading its offset stays in bounds; its byte fails every place.
    uint32_t mark_end(uint32_t count) {
        count_ = count;
        std::memset(bytes_ + count, 0, 8);
        offsets_[count] = 0;
        return count;
    }

    const char *text_;
    uint64_t len_;
    json::index_fill fill_;
    uint64_t count_ = 0;
    uint64_t base_ = 0;  // of the chunk's offsets
    json::index_state state_;
    // Slack for the classifiers' unconditional writes.
    uint16_t offsets_[json::index_chunk_room + 64];
    uint8_t bytes_[json::index_chunk_room + 64];
};

// The escape rule kept out of line: escapes are rare, and inlined at every
// string of the walk they only crowd its hot paths.
inline __attribute__((noinline)) uint64_t escape_length_apart(const char *text, uint64_t len, uint64_t b) {
    return json::escape_length(text, len, b);
}

#if defined(__SSE2__)
// Bit i set when s[i] is a digit, for the 32 bytes from s.
__attribute__((always_inline)) inline uint64_t digit_bits(const char *s) {
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    __m128i a = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)), zero);
    __m128i b = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16)), zero);
    uint32_t low = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(a, nine), a)));
    uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(b, nine), b)));
    return uint64_t(low) | uint64_t(high) << 16;
}
#endif

// The usual number, -?int(.frac)? and a delimiter within 32 bytes, told
// from one look at the digits of those bytes: the two runs end at the first
// two bytes that are neither digits nor the sign, found by bit counts
// instead of loops whose trip counts vary from number to number (and
// mispredict). first is the byte at p, known to the caller. Returns its
// end, or 0 for anything else (an exponent, a long number, a bad one, the
// last bytes of the text), which the grammar's scan then decides.
__attribute__((always_inline)) inline uint64_t windowed_number(const char *text, uint64_t len, uint64_t p,
                                                               uint8_t first, bool *is_float) {
#if defined(__SSE2__)
    if (len - p <= 32) return 0;
    const char *s = text + p;
    uint64_t sign = first == '-';
    uint64_t digits = digit_bits(s);
    uint64_t stops = ~(digits | sign);
    uint64_t int_end = uint64_t(__builtin_ctzll(stops));
    // No digit, or a leading zero before more digits.
    if (int_end == sign || (s[sign] == '0' && int_end > sign + 1)) return 0;
    bool fraction = s[int_end] == '.';
    uint64_t end = int_end;
    if (fraction) {
        end = uint64_t(__builtin_ctzll(stops & (stops - 1)));
        if (end == int_end + 1) return 0;  // no fraction digit
    }
    if (end >= 32 || !json::has_class(s[end], json::class_delimiter)) return 0;
    *is_float = fraction;
    return p + end;
#else
    (void)text;
    (void)len;
    (void)p;
    (void)first;
    (void)is_float;
    return 0;
#endif
}

// Takes the next chunk of offsets once the walk met the end mark: false at
// the end of the text or when the block cannot grow. Each offset of a chunk
// starts at most one entry, and at most one more (a string whose opening
// quote ended the last chunk) is pending: the room is checked once a chunk.
template <typename room_type>
__attribute__((noinline)) bool next_chunk(index_cursor &cursor, room_type &room, uint64_t n) {
    uint64_t done = cursor.state().offset;
    uint32_t filled = cursor.refill();
    if (!filled) return false;
    return n + filled + 1 <= room.capacity || room.grow(n, n + filled + 1, done);
}

// The walk is written as a state machine whose states are places in the code
// (after "{", after a member, after "[", after an element): each place has
// its own branches, which predict far better than one loop over a state byte.
// A place dispatches on the byte the classifier kept with the offset, so
// that the text is read only where an entry needs it. Flattened: the
// grammar's small helpers (digit runs, delimiters) are otherwise left as
// calls on the number path. The facts are counted only for callers that
// want them, so that the others keep the registers.
template <typename writer, bool with_facts, typename room_type>
__attribute__((flatten, noinline)) int walk(const char *text, uint64_t len, uint64_t root, room_type &room,
                                            index_cursor &cursor) {
    constexpr uint32_t levels = tape_builder_levels;
    // The counts of the facts, for writers that want them all.
    constexpr bool counts = with_facts && writer::all_facts;
    // Where each level goes on after a value: a close takes its parent's
    // place as data, so no branch on the parent's kind mispredicts there.
    // The root's parent place is the walk's end: no test for depth 0.
    void *continues[levels + 1];
    uint32_t opens[levels];

    writer out = writer::start(room);
    uint64_t i = 1;  // as if just past the end mark of an empty chunk: the walk begins with a refill
    uint64_t n = 1;
    uint8_t c = 0;
    // The byte of the next offset, and the offset of the byte last taken
    // (read only where an entry needs it; the chunk's base is read from the
    // cursor, so that no register is held for it).
    auto take = [&]() __attribute__((always_inline)) { return cursor.byte(i++); };
    auto at = [&](uint64_t k) __attribute__((always_inline)) { return cursor.base() + cursor.offset(k); };
    auto taken = [&]() __attribute__((always_inline)) { return at(i - 1); };
    // After a byte its place does not expect: true when it was the end mark
    // and the next chunk has offsets (the place then takes again).
    auto refilled = [&]() __attribute__((always_inline)) {
        if (!cursor.at_end(i) || !next_chunk(cursor, room, writer::used(out, n))) return false;
        out.rebase(room);
        i = 0;
        return true;
    };
    uint32_t depth = 0;

    // The entry of the string between the quotes at these offsets.
    auto put_string = [&](uint64_t open, uint64_t close, bool had_escape, bool is_key) __attribute__((always_inline)) {
        uint64_t length = close - open - 1;
        if (writer::span_limited && length >= tape_packed_span_limit) return false;
        if (counts && had_escape) cursor.facts.escaped_bytes += length;
        if (counts && length > cursor.facts.longest_string) cursor.facts.longest_string = length;
        if (with_facts && is_key && length > cursor.facts.longest_key) cursor.facts.longest_key = length;
        out.put(n++, with_facts && had_escape ? tape_escaped_string : uint8_t{ZARVEL_TAPE_STRING}, open + 1, length);
        return true;
    };
    // The usual members, told from their offsets' bytes at once: a key
    // without escapes, its colon and the value's byte (first_key after "{"),
    // or the same after a comma (next_key). The end mark never matches.
    constexpr uint64_t first_key = '"' | '"' << 8 | ':' << 16;
    constexpr uint64_t next_key = ',' | '"' << 8 | '"' << 16 | uint64_t{':'} << 24;
    // Two values and the close: the values' bytes are masked out.
    constexpr uint64_t pair = ',' << 8 | uint64_t{']'} << 24;

    // A string opened at the offset last taken: its entry, and its closing
    // quote taken.
    auto string = [&](bool is_key) __attribute__((always_inline)) {
        uint64_t open = taken();
        uint8_t b = take();
        // Offsets inside the string are its backslashes: each starts an
        // escape, checked by the shared rule, and the offsets the escape
        // covers (a second backslash, the second half of a pair) are passed.
        bool had_escape = b != '"';
        if (had_escape) [[unlikely]] {
            while (b != '"') {
                if (b != '\\') {
                    if (!refilled()) return false;
                    b = take();
                    continue;
                }
                uint64_t escape = escape_length_apart(text, len, taken());
                if (escape == 0) return false;
                uint64_t after = taken() + escape;
                for (;;) {
                    b = take();
                    if (b == 0 && refilled()) continue;
                    if (taken() >= after) break;
                    if (b != '\\') return false;
                }
            }
        }
        return put_string(open, taken(), had_escape, is_key);
    };

    // A string, number or literal value at the offset last taken, whose
    // byte is c.
    auto scalar = [&, string ]() __attribute__((always_inline)) {
        if (c == '"') return string(false);
        uint64_t p = taken();
        // Letters, and the end mark (0): the word is compared with its first
        // byte taken from c, which the end mark never matches.
        if (static_cast<uint8_t>(c - 1) >= 0x60) {
            if (len - p < 4) return false;
            uint8_t type;
            uint64_t length = 4;
            char word[4];
            std::memcpy(word, text + p, 4);
            word[0] = static_cast<char>(c);
            if (std::memcmp(word, "true", 4) == 0) {
                type = ZARVEL_TAPE_TRUE;
            } else if (std::memcmp(word, "null", 4) == 0) {
                type = ZARVEL_TAPE_NULL;
            } else if (std::memcmp(word, "fals", 4) == 0 && len - p >= 5 && text[p + 4] == 'e') {
                type = ZARVEL_TAPE_FALSE;
                length = 5;
            } else {
                return false;
            }
            if (!json::delimiter_at(text, len, p + length)) return false;
            out.put(n++, type, p, length);
            return true;
        }
        bool is_float = false;
        uint64_t number_end = windowed_number(text, len, p, c, &is_float);
        if (!number_end) {
            json::number_lexeme lexeme;
            if (!json::scan_number(text, len, p, &lexeme, false)) return false;
            number_end = lexeme.end;
            is_float = lexeme.is_float;
            // Only a scanned number can pass the packed span: the window is 32 bytes.
            if (writer::span_limited && number_end - p >= tape_packed_span_limit) return false;
        }
        uint64_t length = number_end - p;
        out.put(n++, is_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, p, length);
        return true;
    };

    if (!refilled()) return tape_refused;
    c = take();
    if (taken() != root) return tape_refused;
    out.put(0, ZARVEL_TAPE_DOCUMENT, 0, 0);
    continues[0] = &&after_root;
    if (c == '[') goto open_array;

open_object:
    if (depth >= levels - 1) [[unlikely]] {
        if (depth >= levels) return tape_refused;
        cursor.deepest = true;
    }
    continues[depth + 1] = &&object_continue;
    opens[depth] = writer::mark(out, n);
    out.put(n++, ZARVEL_TAPE_OBJECT, 0, 0);
    ++depth;
object_first:
    if (uint64_t ahead = cursor.bytes_from(i); (ahead & 0xFFFFFF) == first_key) {
        if (!put_string(at(i), at(i + 1), false, true)) return tape_refused;
        c = static_cast<uint8_t>(ahead >> 24);
        i += 4;
        goto member_value;
    }
    c = take();
    if (c == '}') goto close;
    if (c != '"') {
        if (refilled()) goto object_first;
        return tape_refused;
    }
key:
    if (!string(true)) return tape_refused;
colon:
    c = take();
    if (c != ':') {
        if (refilled()) goto colon;
        return tape_refused;
    }
member:
    c = take();
member_value:
    if (c == '{') goto open_object;
    if (c == '[') goto open_array;
    if (!scalar()) {
        if (refilled()) goto member;
        return tape_refused;
    }
object_continue:
    if (uint64_t ahead = cursor.bytes_from(i); (ahead & 0xFFFFFFFF) == next_key) {
        if (!put_string(at(i + 1), at(i + 2), false, true)) return tape_refused;
        c = static_cast<uint8_t>(ahead >> 32);
        i += 5;
        goto member_value;
    }
    c = take();
    if (c == ',') {
    next_key:
        c = take();
        if (c == '"') goto key;
        if (refilled()) goto next_key;
        return tape_refused;
    }
    if (c == '}') goto close;
    if (refilled()) goto object_continue;
    return tape_refused;

open_array:
    if (depth >= levels - 1) [[unlikely]] {
        if (depth >= levels) return tape_refused;
        cursor.deepest = true;
    }
    // An array of two numbers (a point, a pair) closes here, in one look at
    // its offsets' bytes: the level's state is not written, nor read back.
    if (uint64_t ahead = cursor.bytes_from(i); (ahead & 0xFF00FF00) == pair) {
        bool first_float = false, second_float = false;
        uint64_t first = at(i), second = at(i + 2);
        uint64_t first_end = windowed_number(text, len, first, static_cast<uint8_t>(ahead), &first_float);
        uint64_t second_end =
            first_end ? windowed_number(text, len, second, static_cast<uint8_t>(ahead >> 16), &second_float) : 0;
        if (second_end) {
            if constexpr (writer::whole_pairs) {
                out.pair(n, first_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, first, first_end - first,
                         second_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, second, second_end - second);
            } else {
                out.put(n, ZARVEL_TAPE_ARRAY, 0, 0);
                out.put(n + 1, first_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, first, first_end - first);
                out.put(n + 2, second_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT, second, second_end - second);
                out.link(n, n + 3);
            }
            n += 3 + writer::close_entries;
            i += 4;
            if (counts) ++cursor.facts.containers;
            goto parent;
        }
    }
    continues[depth + 1] = &&array_continue;
    opens[depth] = writer::mark(out, n);
    out.put(n++, ZARVEL_TAPE_ARRAY, 0, 0);
    ++depth;
array_first:
    c = take();
    if (c == ']') goto close;
    if (c == 0 && refilled()) goto array_first;
element:
    if (c == '{') goto open_object;
    if (c == '[') goto open_array;
    if (!scalar()) {
        if (refilled()) goto next_element;
        return tape_refused;
    }
array_continue:
    c = take();
    if (c == ',') {
    next_element:
        c = take();
        goto element;
    }
    if (c == ']') goto close;
    if (refilled()) goto array_continue;
    return tape_refused;

close:
    // The byte last taken closes the innermost level (each place above
    // checks its kind).
    --depth;
    if (counts) ++cursor.facts.containers;
    out.link(opens[depth], n);
    n += writer::close_entries;
parent:
    goto *continues[depth];

after_root:
    // Nothing may follow the root, and the classifier must have found no fault.
    take();
    if (!cursor.at_end(i) || cursor.refill() || room.failed) return tape_refused;
    const json::index_state &s = cursor.state();
    if (s.string_open || s.control_in_string || s.bad_utf8) return tape_refused;
    if (s.special) {
        uint64_t bad;
        if (!cursor.checks_utf8 && !zarvel_validate_utf8(text, len, &bad, false)) return tape_refused;
    }
    // The other roads allow the 256th level only to some texts (the others
    // go through the validator's 255): the strict tape to texts without bytes
    // of 0x7F and above, the JSON document to texts without tabs and bytes of
    // 0x80 and above.
    if (cursor.deepest &&
        (s.special || std::memchr(text, cursor.levels_rule == deepest_rule::document ? '\t' : 0x7F, len)))
        return tape_refused;
    cursor.entries = n;
    out.finish(room, n);
    return tape_built;
}

}  // namespace
}  // namespace zvl::indexed
