// The tape builders: one walk over the text from the root bracket, writing
// one entry per value and per closing bracket, through a column or a packed
// entry writer. The walk is the validator's automaton (levels.hpp) with 256
// levels; its modes differ only in what they take:
//
//   mode            tab        string byte >= 0x80   numbers
//   fast columns    refuses    refuses               checked (4 or 5)
//   plain columns   skipped    taken (or checked     checked
//                              as UTF-8, plain_utf8)
//   packed          either, by its switches          checked, or unchecked runs (10)
//
// Every entry consumes at least one byte from the root on, so a walk writes
// at most len + 1 entries; the block starts smaller and grows on the way
// (each turn of the walk writes at most one entry).
#include <cstring>

#include "core/memory.hpp"
#include "json/grammar.hpp"
#include "json/levels.hpp"
#include "json/string_scan.hpp"
#include "json/tape.hpp"
#include "json/tape_writers.hpp"
#include "core/utf8.hpp"

namespace zvl {

namespace {

// Byte size of a block of the given entries and form; the type column is
// rounded up so that the 32- and 64-bit arrays after it stay aligned.
uint64_t type_area(uint64_t entries) { return (entries + 15) & ~uint64_t{15}; }

uint64_t block_size(uint64_t entries, tape_form form) {
    switch (form) {
    case tape_form::columns: return type_area(entries) + 8 * entries;
    case tape_form::packed: return 8 * entries;
    default: return type_area(entries) + 16 * entries;
    }
}

tape_form form_of(const zarvel_tape *tape) {
    if (!tape->types) return tape_form::packed;
    return tape->packed ? tape_form::both : tape_form::columns;
}

}  // namespace

bool tape_allocate(zarvel_tape *tape, uint64_t entries, tape_form form) {
    auto *block = static_cast<uint8_t *>(allocate(&zarvel_default_allocator, block_size(entries, form)));
    if (!block) return false;
    tape->block = block;
    tape->types = nullptr;
    tape->starts = nullptr;
    tape->lens = nullptr;
    tape->packed = nullptr;
    if (form == tape_form::packed) {
        tape->packed = reinterpret_cast<uint64_t *>(block);
        return true;
    }
    tape->types = block;
    tape->starts = reinterpret_cast<uint32_t *>(block + type_area(entries));
    tape->lens = tape->starts + entries;
    if (form == tape_form::both) tape->packed = reinterpret_cast<uint64_t *>(tape->lens + entries);
    return true;
}

bool tape_allocate_packed(zarvel_tape *tape, uint64_t n) { return tape_allocate(tape, n + 2, tape_form::packed); }

bool tape_room::grow(uint64_t used, uint64_t needed, uint64_t done) {
    // Past the first estimate the text is denser than usual: aim for the
    // density seen so far (with an eighth to spare) plus the room asked for
    // beyond the entries written, at least half as much again, so that a
    // text grows a few times at most.
    uint64_t limit = len + 2;
    uint64_t wanted = capacity + capacity / 2;
    if (done > 0 && done < len) {
        double projected = double(used) * double(len) / double(done) * 1.125 + double(needed - used);
        if (projected > double(wanted)) wanted = projected < double(limit) ? uint64_t(projected) : limit;
    }
    if (wanted < needed) wanted = needed;
    if (wanted > limit) wanted = limit;
    if (wanted <= capacity) return needed <= capacity;
    zarvel_tape grown = *tape;
    tape_form form = form_of(tape);
    if (!tape_allocate(&grown, wanted, form)) {
        failed = true;
        return false;
    }
    if (form != tape_form::packed) {
        std::memcpy(grown.types, tape->types, used);
        std::memcpy(grown.starts, tape->starts, used * sizeof(uint32_t));
        std::memcpy(grown.lens, tape->lens, used * sizeof(uint32_t));
    }
    if (form != tape_form::columns) std::memcpy(grown.packed, tape->packed, used * sizeof(uint64_t));
    deallocate(&zarvel_default_allocator, tape->block);
    *tape = grown;
    capacity = wanted;
    return true;
}

bool tape_take_block(zarvel_tape *tape, uint64_t n, bool reuse, tape_form form, tape_room *room) {
    if (reuse && tape->block && tape->packed && tape->packed_ready && tape->text_len >= 2) {
        // Keep the block and its array pointers; the old entries are dead.
        tape->count = 0;
        tape->columns_ready = 0;
        tape->has_big_int = 0;
        *room = {tape, tape->text_len, n, false};
        return true;
    }
    // A block that cannot be kept is not left behind unowned.
    if (reuse && tape->block && tape->packed && tape->packed_ready) deallocate(&zarvel_default_allocator, tape->block);
    std::memset(tape, 0, sizeof *tape);
    uint64_t capacity = tape_first_capacity(n);
    *room = {tape, capacity, n, false};
    return tape_allocate(tape, capacity, form);
}

int tape_finish(zarvel_tape *tape, int result, uint64_t count, const char *text, uint64_t len, bool packed) {
    if (result != tape_built) {
        deallocate(&zarvel_default_allocator, tape->block);
        std::memset(tape, 0, sizeof *tape);
        return result;
    }
    tape->count = count;
    tape->text = text;
    tape->text_len = len;
    tape->packed_ready = packed ? 1 : 0;
    tape->columns_ready = 0;
    return tape_built;
}

namespace {

using json::container;
using json::level_state;

constexpr uint32_t builder_levels = tape_builder_levels;

struct walk_mode {
    bool tab_is_ws;
    bool ascii_strict;
    bool numbers_checked;
    bool validate_utf8 = false;  // string bodies with bytes >= 0x80 must be UTF-8
};

constexpr walk_mode fast_columns{false, true, true};
constexpr walk_mode plain_columns{true, false, true};
constexpr walk_mode plain_columns_utf8{true, false, true, true};

using column_writer = tape_column_writer;
using packed_writer = tape_packed_writer;

// A number token. Checked, it is one whole JSON number read by the shared
// grammar (which also wants a delimiter after it, as the walk would):
// type 4 without fraction and exponent, else 5; 0 refuses.
uint8_t checked_number(const char *text, uint64_t len, uint64_t p, uint64_t *end) {
    json::number_lexeme lexeme;
    if (!json::scan_number(text, len, p, &lexeme, false)) return 0;
    *end = lexeme.end;
    return lexeme.is_float ? ZARVEL_TAPE_FLOAT : ZARVEL_TAPE_INT;
}

// Unchecked, the token is the run of bytes that can occur in numbers
// (digits, "+", "-", ".", "e", "E"), kept whole as one type-10 entry.
uint8_t unchecked_number(const char *text, uint64_t len, uint64_t p, uint64_t *end) {
    uint64_t q = p;
    for (;;) {
        q = json::skip_digits(text, len, q);
        if (q < len && json::has_class(text[q], json::class_number_run)) {
            ++q;
            continue;
        }
        break;
    }
    *end = q;
    return ZARVEL_TAPE_RAW;
}

template <walk_mode mode, typename writer>
int walk(const char *text, uint64_t len, uint64_t root, tape_room &room, bool trailing_check, uint32_t level_limit,
         uint64_t *count, tape_walk_facts *facts = nullptr) {
    writer out = writer::of(*room.tape);
    constexpr uint64_t ws_bits = mode.tab_is_ws ? json::all_ws_bits : json::plain_ws_bits;
    container types[builder_levels];
    level_state states[builder_levels];
    uint64_t opens[builder_levels];

    out.put(0, ZARVEL_TAPE_DOCUMENT, 0, 0);
    bool array = text[root] == '[';
    out.put(1, array ? ZARVEL_TAPE_ARRAY : ZARVEL_TAPE_OBJECT, 0, 0);
    types[0] = array ? container::array : container::object;
    states[0] = array ? level_state::array_open : level_state::object_open;
    opens[0] = 1;
    uint32_t depth = 1;
    uint64_t n = 2;
    uint64_t p = root + 1;

    for (;;) {
        // Each turn writes at most one entry.
        if (n >= room.capacity) [[unlikely]] {
            if (!room.grow(n, n + 1, p)) return tape_no_memory;
            out = writer::of(*room.tape);
        }
        p = json::skip_ws<ws_bits>(text, len, p);
        if (p >= len) return tape_refused;
        uint32_t level = depth - 1;
        level_state state = states[level];
        char c = text[p];
        switch (c) {
        case '"': {
            bool key = json::takes_key(state);
            if (!key && !json::takes_value(state)) return tape_refused;
            bool escaped = false, high = false;
            int64_t close =
                json::scan_string_fast<mode.ascii_strict, mode.validate_utf8>(text, len, p, &escaped, &high);
            if (close < 0) return tape_refused;
            uint64_t length = static_cast<uint64_t>(close) - p - 1;
            uint64_t bad;
            if (mode.validate_utf8 && high && !zarvel_validate_utf8(text + p + 1, length, &bad, false))
                return tape_refused;
            if (writer::span_limited && length >= tape_packed_span_limit) return tape_refused;
            uint8_t type = ZARVEL_TAPE_STRING;
            if (facts && escaped) {
                type = tape_escaped_string;
                facts->escaped_bytes += length;
            }
            if (facts && length > facts->longest_string) facts->longest_string = length;
            out.put(n++, type, p + 1, length);
            p = static_cast<uint64_t>(close) + 1;
            states[level] = key ? level_state::colon_expected : level_state::after_value;
            continue;
        }
        case '[':
        case '{': {
            if (!json::takes_value(state) || depth >= level_limit) return tape_refused;
            states[level] = level_state::after_value;  // what the parent is once the child closes
            bool opens_array = c == '[';
            types[depth] = opens_array ? container::array : container::object;
            states[depth] = opens_array ? level_state::array_open : level_state::object_open;
            opens[depth] = n;
            out.put(n++, opens_array ? ZARVEL_TAPE_ARRAY : ZARVEL_TAPE_OBJECT, 0, 0);
            ++depth;
            ++p;
            continue;
        }
        case ']':
        case '}': {
            container wanted = c == ']' ? container::array : container::object;
            if (types[level] != wanted || !json::closes_here(state)) return tape_refused;
            out.link(opens[level], n++);
            if (facts) facts->containers += 1;
            ++p;
            if (--depth == 0) {
                if (trailing_check) {
                    p = json::skip_ws<ws_bits>(text, len, p);
                    if (p < len) return tape_refused;
                }
                *count = n;
                return tape_built;
            }
            continue;
        }
        case ':':
            if (state != level_state::colon_expected) return tape_refused;
            states[level] = level_state::value_expected;
            ++p;
            continue;
        case ',':
            if (state != level_state::after_value) return tape_refused;
            states[level] = types[level] == container::object ? level_state::key_expected : level_state::value_expected;
            ++p;
            continue;
        case 't':
        case 'f':
        case 'n': {
            if (!json::takes_value(state) || len - p < 4) return tape_refused;
            uint8_t type;
            uint64_t length = 4;
            if (std::memcmp(text + p, "true", 4) == 0) {
                type = ZARVEL_TAPE_TRUE;
            } else if (std::memcmp(text + p, "null", 4) == 0) {
                type = ZARVEL_TAPE_NULL;
            } else if (std::memcmp(text + p, "fals", 4) == 0 && len - p >= 5 && text[p + 4] == 'e') {
                type = ZARVEL_TAPE_FALSE;
                length = 5;
            } else {
                return tape_refused;
            }
            if (!json::delimiter_at(text, len, p + length)) return tape_refused;
            out.put(n++, type, p, length);
            p += length;
            states[level] = level_state::after_value;
            continue;
        }
        default: break;
        }
        if (c != '-' && !json::is_digit(c)) return tape_refused;
        if (!json::takes_value(state)) return tape_refused;
        uint64_t end;
        uint8_t type = mode.numbers_checked ? checked_number(text, len, p, &end) : unchecked_number(text, len, p, &end);
        if (type == 0) return tape_refused;
        if (writer::span_limited && end - p >= tape_packed_span_limit) return tape_refused;
        out.put(n++, type, p, end - p);
        p = end;
        states[level] = level_state::after_value;
    }
}

template <walk_mode mode>
int columns_with(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, bool trailing_check,
                 uint32_t level_limit) {
    tape_room room;
    if (!tape_take_block(tape, len, false, tape_form::columns, &room)) return tape_no_memory;
    uint64_t count = 0;
    int result = walk<mode, column_writer>(text, len, root, room, trailing_check, level_limit, &count);
    return tape_finish(tape, result, count, text, len, false);
}

template <walk_mode mode>
int packed_walk(const char *text, uint64_t len, uint64_t root, tape_room &room, uint64_t *count,
                tape_walk_facts *facts) {
    return walk<mode, packed_writer>(text, len, root, room, true, builder_levels, count, facts);
}

}  // namespace

int tape_build_columns(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, column_mode mode,
                       bool trailing_check, uint32_t level_limit) {
    if (level_limit > builder_levels) level_limit = builder_levels;
    switch (mode) {
    case column_mode::fast: return columns_with<fast_columns>(text, len, root, tape, trailing_check, level_limit);
    case column_mode::plain_utf8:
        return columns_with<plain_columns_utf8>(text, len, root, tape, trailing_check, level_limit);
    default: return columns_with<plain_columns>(text, len, root, tape, trailing_check, level_limit);
    }
}

int tape_build_packed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, tape_packed_switches switches,
                      tape_walk_facts *facts) {
    if (facts) *facts = {};
    tape_room room;
    if (!tape_take_block(tape, len, switches.reuse, tape_form::both, &room)) return tape_no_memory;
    uint64_t count = 0;
    int result;
    if (switches.ascii_strict)
        result = switches.numbers_checked
                     ? packed_walk<walk_mode{false, true, true}>(text, len, root, room, &count, facts)
                     : packed_walk<walk_mode{false, true, false}>(text, len, root, room, &count, facts);
    else
        result = switches.numbers_checked
                     ? packed_walk<walk_mode{true, false, true}>(text, len, root, room, &count, facts)
                     : packed_walk<walk_mode{true, false, false}>(text, len, root, room, &count, facts);
    return tape_finish(tape, result, count, text, len, true);
}

}  // namespace zvl
