// The indexed tape builder: a vector classifier lists, a chunk at a time,
// the offsets where something happens (core/stage1.hpp), and the walk visits
// only those: whitespace is never read and the body of a string without a
// backslash is never read either (its closing quote is the next offset).
//
// It takes exactly the strict JSON texts the other builders and the
// validator take, and writes the same entries: tab is whitespace, string
// bodies may hold any well-formed UTF-8 (the whole text is checked), numbers
// are checked against the grammar. Nesting is limited to 256 levels, or 255
// for the texts that the other roads send through the validator. Anything
// else refuses, and the callers then take the byte-at-a-time roads, which
// also place the failure.
// The walk itself is in json/indexed_walk.hpp.
#include "json/indexed_walk.hpp"
#include "json/tape.hpp"
#include "json/tape_writers.hpp"

namespace zvl {

using indexed::deepest_rule;
using indexed::index_cursor;
using indexed::walk;

int tape_build_indexed(const char *text, uint64_t len, uint64_t root, zarvel_tape *tape, bool packed,
                       const json::index_variant &variant, tape_walk_facts *facts) {
    tape_room room;
    if (!tape_take_block(tape, len, packed, packed ? tape_form::both : tape_form::columns, &room))
        return tape_no_memory;
    deepest_rule rule = packed ? deepest_rule::document : deepest_rule::tape;
    // The cursor stays out of the walk's frame: its aligned state would
    // otherwise cost the walk a frame pointer register.
    index_cursor cursor(text, len, variant.fill, variant.checks_utf8, rule);
    int result;
    if (packed && facts)
        result = walk<tape_packed_writer, true>(text, len, root, room, cursor);
    else if (packed)
        result = walk<tape_packed_writer, false>(text, len, root, room, cursor);
    else
        result = walk<tape_column_writer, false>(text, len, root, room, cursor);
    if (result == tape_refused && room.failed) result = tape_no_memory;
    if (result == tape_built && packed && facts) *facts = cursor.facts;
    return tape_finish(tape, result, cursor.entries, text, len, packed);
}

}  // namespace zvl
