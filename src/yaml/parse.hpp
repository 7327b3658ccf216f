// Parse entry with its internal switches: the road from a caller's buffer to
// a (pending) document. zarvel_parse / zarvel_parse_ex use decoding and the
// event-log sink; the JSON documents' fallback skips decoding and builds the
// nodes at once with the direct composer.
#pragma once

#include <cstdint>

#include "zarvel.h"

enum class zarvel_composer_choice : uint8_t {
    event_log,  // record only; nodes are built on first use (fast paths on)
    direct,     // the direct composer builds the store during the parse
};

// Alternative roads of the parse to the same events, each kept only while it
// pays (bench/bench_roads.cpp).
enum : uint8_t {
    zarvel_road_block_scanner = 2,  // the fused block scanner
    zarvel_road_flow_raw = 4,       // flow collections in block context by the stepper
    zarvel_road_quick_lines = 8,    // the parser's common block lines
    zarvel_road_json_stream = 16,   // the parser's one-pass JSON-shaped flow trees
};

struct zarvel_parse_switches {
    // The text is valid UTF-8 already: no byte order mark handling, no
    // conversion, no validation, no anchor pre-sizing.
    bool skip_decoding = false;
    zarvel_composer_choice composer = zarvel_composer_choice::event_log;
    // Test switch: never try the block-scanner fast path.
    bool no_fast_paths = false;
    // Bench and test switch: zarvel_road_* bits, roads left untaken so that
    // the general road they stand in for runs instead.
    uint8_t roads_off = 0;
};

// As zarvel_parse_ex, with the switches. Status as there (0 with null: the
// stream held no document).
zarvel_document *zarvel_parse_internal(const char *text, uint64_t length, const zarvel_parse_options *options,
                                       const zarvel_parse_switches &switches, int32_t *status);
