// JSON tape internals shared with the JSON document path and the composer's
// flow path: the tape's single allocation and the three builders.
#pragma once

#include <cstdint>

#include "core/limits.hpp"
#include "zarvel.h"

namespace zvl {

namespace json {
struct index_variant;
}

// Statuses of the builders (also the exported statuses they map to).
enum tape_build_result : int {
    tape_built = 0,
    tape_refused = 1,   // not taken; nothing recorded, the record is zeroed
    tape_no_memory = 2  // the record is zeroed
};

// Bits 8-31 of a packed entry: spans of this many bytes or more do not fit
// and make the packed builder refuse the text.
inline constexpr uint64_t tape_packed_span_limit = uint64_t{1} << 24;

inline uint64_t tape_pack(uint8_t type, uint64_t length, uint64_t start) {
    return type | (length << 8) | (start << 32);
}

// What a block holds: the three columns (the strict tape), the packed array
// alone (a tape never turned into columns), or both (a packed tape that
// zarvel_tape_columns may turn into columns later).
enum class tape_form : uint8_t { columns, packed, both };

// Allocates the one block for the given number of entries in the given form
// and points the record's arrays into it (the others null); false when the
// allocation fails.
bool tape_allocate(zarvel_tape *tape, uint64_t entries, tape_form form);

// The packed array alone for a text of n bytes (capacity n + 2 entries, as
// many as any walk can write): under half the size of both forms, which
// keeps the block of a large text below the size the C library maps afresh
// (and faults in page by page) at every allocation. False when it fails.
bool tape_allocate_packed(zarvel_tape *tape, uint64_t n);

// Room of a block under construction. A walk writes at most len + 1 entries
// (each consumes at least one byte from the root on), but real texts hold
// one entry per 8 to 80 bytes: a new block starts from an estimate and
// grows when a walk would pass its capacity, so that a tape takes a small
// multiple of its entries rather than 17 bytes per input byte.
struct tape_room {
    zarvel_tape *tape;
    uint64_t capacity;    // entries
    uint64_t len;         // of the text: no walk needs more than len + 2 entries
    bool failed = false;  // a growth ran out of memory

    // Makes room for at least `needed` entries, the first `used` of which
    // are kept and were written from the first `done` bytes of the text
    // (which tells how dense the rest is likely to be). False when memory
    // runs out; the old block then stays the record's.
    bool grow(uint64_t used, uint64_t needed, uint64_t done);
};

// The first capacity for a text of n bytes: one entry per four bytes, twice
// the densest of the usual documents, never above the n + 2 a walk can use.
inline uint64_t tape_first_capacity(uint64_t n) {
    uint64_t estimate = n / 4 + 64;
    return estimate < n + 2 ? estimate : n + 2;
}

// Readies the block for a build over a text of n bytes. With reuse, the
// block of an earlier packed build is kept (its entries are dead; text_len
// serves as its capacity); otherwise the tape is emptied and a new block of
// the first capacity allocated in the given form. The room it sets grows.
// False when that allocation fails, the tape then empty.
bool tape_take_block(zarvel_tape *tape, uint64_t n, bool reuse, tape_form form, tape_room *room);

// Ends a build: a failed one frees the block and empties the record; a
// finished one records its entries and text. Returns result.
int tape_finish(zarvel_tape *tape, int result, uint64_t count, const char *text, uint64_t len, bool packed);

// Open containers the builders allow (one more than the validator).
inline constexpr uint32_t tape_builder_levels = zvl::fast_levels;

// Which column builder runs: the fast one treats a tab as a refusal and a
// string byte of 0x80 or above as one too; the plain one takes both;
// plain_utf8 also refuses a string body that is not well-formed UTF-8.
enum class column_mode : uint8_t { fast, plain, plain_utf8 };

// Column form from the root bracket at text[root]. With trailing_check only
// whitespace may follow the root; level_limit (at most 256) bounds nesting.
int tape_build_columns(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, column_mode mode,
                       bool trailing_check, uint32_t level_limit = tape_builder_levels);

struct tape_packed_switches {
    bool numbers_checked;  // else number tokens are unchecked runs of type 10
    bool ascii_strict;     // tab is no whitespace; a string byte >= 0x80 refuses
    bool reuse;            // use the record's packed block again when it is big enough
};

// Packed form from the root bracket at text[root]; only whitespace may follow
// the root. With reuse, a record holding a packed tape keeps its block
// (text_len then serves as the capacity in entries; the caller raises it
// again after success), and it grows as any block does when it is too small.
// What the walk learnt on the way, for a caller that builds nodes next.
// Such a caller also gets the strings holding an escape under their own
// type, tape_escaped_string: the build then never looks for a backslash.
struct tape_walk_facts {
    uint64_t containers;      // arrays and objects (one closing entry each)
    uint64_t escaped_bytes;   // raw length of all strings holding an escape
    uint64_t longest_string;  // raw length of the longest string
    uint64_t longest_key;     // the same of object keys (the indexed walk only)
};
inline constexpr uint8_t tape_escaped_string = ZARVEL_TAPE_STRING | 0x80;

// The fields of a packed entry: type | length << 8 | start << 32.
constexpr uint8_t packed_type(uint64_t word) { return uint8_t(word); }
constexpr uint32_t packed_length(uint64_t word) { return uint32_t(word >> 8) & 0xFFFFFF; }
constexpr uint32_t packed_start(uint64_t word) { return uint32_t(word >> 32); }

int tape_build_packed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, tape_packed_switches switches,
                      tape_walk_facts *facts = nullptr);

// Column or packed form from the root bracket at text[root] through the
// structural index of the given classifier: strict JSON (tab is whitespace,
// strings may hold well-formed UTF-8, numbers checked), only whitespace after
// the root. 256 levels, but 255 when the text holds a byte of 0x7F or above
// (column form, as the strict tape parse) or a tab or a byte of 0x80 or
// above (packed form, as the JSON document parse). The packed form reuses a
// packed block as tape_build_packed does.

int tape_build_indexed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, bool packed,
                       const json::index_variant &variant, tape_walk_facts *facts = nullptr);

}  // namespace zvl
