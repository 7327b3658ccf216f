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

struct zarvel_parse_switches {
    // The text is valid UTF-8 already: no byte order mark handling, no
    // conversion, no validation, no anchor pre-sizing.
    bool skip_decoding = false;
    zarvel_composer_choice composer = zarvel_composer_choice::event_log;
    // Test switch: never try the flow-root and block-scanner fast paths.
    bool no_fast_paths = false;
};

// As zarvel_parse_ex, with the switches. Status as there (0 with null: the
// stream held no document).
zarvel_document *zarvel_parse_internal(const char *text, uint64_t length, const zarvel_parse_options *options,
                                       const zarvel_parse_switches &switches, int32_t *status);
