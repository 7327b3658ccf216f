// The two entry writers of the tape builders: the column form (three
// parallel arrays) and the packed form (one 64-bit word per entry).
#pragma once

#include <cstdint>

#include "json/tape.hpp"
#include "zarvel.h"

namespace zvl {

struct tape_column_writer {
    static constexpr bool span_limited = false;
    uint8_t *types;
    uint32_t *starts;
    uint32_t *lens;

    static tape_column_writer of(const zarvel_tape &tape) { return {tape.types, tape.starts, tape.lens}; }
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

struct tape_packed_writer {
    static constexpr bool span_limited = true;
    uint64_t *packed;

    static tape_packed_writer of(const zarvel_tape &tape) { return {tape.packed}; }
    void put(uint64_t i, uint8_t type, uint64_t start, uint64_t length) { packed[i] = tape_pack(type, length, start); }
    // The opening entry was put with start and length 0: its start is
    // or'ed in without reading its type back.
    void link(uint64_t open, uint64_t close) {
        packed[open] |= close << 32;
        put(close, ZARVEL_TAPE_CLOSE, open, 0);
    }
};

}  // namespace zvl
