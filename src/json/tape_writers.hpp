// The two entry writers of the tape builders: the column form (three
// parallel arrays) and the packed form (one 64-bit word per entry).
#pragma once

#include <cstdint>

#include "json/tape.hpp"
#include "zarvel.h"

namespace zvl {

// The indexed walk's room steps (json/indexed_walk.hpp), the same for both
// tape writers: the walk's count is the entries written, a level's mark
// its opening entry, and the block is the room's tape.
template <typename Writer>
struct tape_walk_steps {
    static Writer start(const tape_room &room) { return Writer::of(*room.tape); }
    void rebase(const tape_room &room) { static_cast<Writer &>(*this) = Writer::of(*room.tape); }
    static uint64_t used(const Writer &, uint64_t entries) { return entries; }
    static uint32_t mark(const Writer &, uint64_t entries) { return static_cast<uint32_t>(entries); }
    static constexpr uint64_t close_entries = 1;
    static constexpr bool all_facts = true;
    static constexpr bool whole_pairs = false;
    void finish(const tape_room &, uint64_t) {}
};

struct tape_column_writer : tape_walk_steps<tape_column_writer> {
    static constexpr bool span_limited = false;
    uint8_t *types;
    uint32_t *starts;
    uint32_t *lens;

    static tape_column_writer of(const zarvel_tape &tape) { return {{}, tape.types, tape.starts, tape.lens}; }
    void put(uint64_t i, uint8_t type, uint64_t start, uint64_t length) {
        types[i] = type;
        starts[i] = static_cast<uint32_t>(start);
        lens[i] = static_cast<uint32_t>(length);
    }
    void link(uint64_t open, uint64_t close) {
        starts[open] = static_cast<uint32_t>(close);
        put(close, ZARVEL_TAPE_CLOSE, open, 0);
    }
};

struct tape_packed_writer : tape_walk_steps<tape_packed_writer> {
    static constexpr bool span_limited = true;
    uint64_t *packed;

    static tape_packed_writer of(const zarvel_tape &tape) { return {{}, tape.packed}; }
    void put(uint64_t i, uint8_t type, uint64_t start, uint64_t length) { packed[i] = tape_pack(type, length, start); }
    // The opening entry was put with start and length 0: its start is
    // or'ed in without reading its type back.
    void link(uint64_t open, uint64_t close) {
        packed[open] |= close << 32;
        put(close, ZARVEL_TAPE_CLOSE, open, 0);
    }
};

}  // namespace zvl
