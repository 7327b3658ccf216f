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

// Allocates the one block for a text of n bytes (capacity n + 2 entries) and
// points the four arrays into it; false when the allocation fails.
bool tape_allocate(zarvel_tape *tape, uint64_t n);

// A block with the packed array alone (capacity n + 2 entries), for a tape
// that is never turned into columns: under half the size, which keeps the
// block of a large text below the size the C library maps afresh (and
// faults in page by page) at every allocation. False when it fails.
bool tape_allocate_packed(zarvel_tape *tape, uint64_t n);

// Readies the block for a build over a text of n bytes. With reuse, the
// block of an earlier packed build that is large enough is kept (its entries
// are dead); otherwise the tape is emptied and a new block allocated. False
// when that allocation fails, the tape then empty.
bool tape_take_block(zarvel_tape *tape, uint64_t n, bool reuse);

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
// the root. With reuse, a record holding a packed tape whose text_len is at
// least len + 2 keeps its block (text_len then serves as the capacity; the
// caller raises it again after success); a smaller block is released first.
int tape_build_packed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, tape_packed_switches switches);

// Column or packed form from the root bracket at text[root] through the
// structural index of the given classifier: strict JSON (tab is whitespace,
// strings may hold well-formed UTF-8, numbers checked), only whitespace after
// the root. 256 levels, but 255 when the text holds a byte of 0x7F or above
// (column form, as the strict tape parse) or a tab or a byte of 0x80 or
// above (packed form, as the JSON document parse). The packed form reuses a
// big enough packed block as tape_build_packed does.
// What the walk learnt on the way, for a caller that builds nodes next.
struct tape_walk_facts {
    uint64_t containers;     // arrays and objects (one closing entry each)
    uint64_t escaped_bytes;  // raw length of all strings holding an escape
};

int tape_build_indexed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, bool packed,
                       const json::index_variant &variant, tape_walk_facts *facts = nullptr);

}  // namespace zvl
