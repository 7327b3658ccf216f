// Compact event records with a text pool: the storage shared by the pull,
// recorder and iterparse front ends, and the conversions to the public
// event view. Arrays grow with zvl::sys_realloc so failure injection reaches
// them.
#pragma once

#include <cstdint>

#include "doc/event.hpp"
#include "zarvel.h"

struct zarvel_record_store {
    zarvel_record *records;
    uint64_t count;
    uint64_t capacity;
    char *pool;
    uint64_t used;
    uint64_t pool_capacity;
};

namespace zvl {

inline constexpr uint64_t record_store_initial_records = 64;
inline constexpr uint64_t record_store_initial_pool = 256;

// Drops every record and pool byte; capacities are kept.
inline void record_store_clear(zarvel_record_store &store) {
    store.count = 0;
    store.used = 0;
}
// Frees both arrays and zeroes the store.
void record_store_release(zarvel_record_store &store);
// Appends one record with its texts copied into the pool; false when an array
// could not grow (the store is unchanged) or the pool would pass the 32-bit
// offsets of a record.
bool record_store_append(zarvel_record_store &store, const zarvel_event &event);

// Event slot of a sink that records everything into a store. A failed append
// sets out_of_memory and stops the parse.
struct recording_sink {
    zarvel_record_store *store;
    bool out_of_memory;
};
int record_every_event(void *user, const zarvel_event *event);

// Conversions to the public record. A record's spans point into pool.
zarvel_event_view view_of_record(const zarvel_record &record, const char *pool);
// Push hands events out directly: end line and column are 0. Inline and
// branch-light: push builds one view per event.
inline zarvel_event_view view_of_event(const zarvel_event &event) {
    const uint32_t kind = event.kind;
    const bool scalar = kind == ZARVEL_EVENT_SCALAR;
    // Document start and end are kinds 3 and 4.
    const bool marker = kind - ZARVEL_EVENT_DOCUMENT_START < 2;
    // The parser has just stored line and column one by one; copied as one
    // wide load they would wait for both stores to retire.
    uint32_t column = event.start_column;
    asm("" : "+r"(column));
    // Every field written once: no zeroing first.
    return zarvel_event_view{kind,
                             scalar ? uint32_t{event.style} : 0,
                             event.flow != 0,
                             marker && event.style,
                             scalar && event.plain_implicit,
                             event.text.length ? event.text.data : nullptr,
                             event.text.length,
                             event.anchor.length ? event.anchor.data : nullptr,
                             event.anchor.length,
                             event.tag.length ? event.tag.data : nullptr,
                             event.tag.length,
                             event.start_line,
                             column,
                             0,
                             0};
}

// Records "out of memory" in the thread's error record when a recording sink
// stopped the parse: the parser itself records nothing for a sink's stop.
void record_out_of_memory();

}  // namespace zvl
