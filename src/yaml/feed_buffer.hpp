// Pending input of a recorder and the scan that finds document boundaries in
// it, so that complete documents can be parsed while later chunks are still
// on their way. The scan is a light lexical pass (comments, quotes, flow
// depth, directives), not a parse: a boundary is a "---" marker line at the
// start of a line outside quotes and flow collections whose document does
// not carry directives of its own.
#pragma once

#include <cstdint>

namespace zvl {

// Where a boundary scan stands; kept between feeds.
struct boundary_scan {
    uint64_t scan_position;
    uint64_t flow_depth;
    char quote;  // 0, '\'' or '"'
    bool in_comment;
    bool directive_seen;
};

// Continues the scan of text[0..length) from the saved position. Returns the
// offset of the last boundary found (the first one when first_only is set),
// or 0 for none; a marker at offset 0 is never a boundary, so a text that
// starts with its own marker is not cut before it. A line start whose marker
// bytes have not all arrived ends the scan there, to be resumed later.
uint64_t scan_boundaries(const char *text, uint64_t length, boundary_scan &state, bool first_only);

}  // namespace zvl

struct zarvel_feed_buffer {
    char *pending;
    uint64_t used;
    uint64_t capacity;
    zvl::boundary_scan scan;
    bool started;          // the stream start was already delivered
    uint32_t line_offset;  // lines already consumed by earlier runs
    uint64_t byte_offset;  // bytes already consumed by earlier runs
};

namespace zvl {

inline constexpr uint64_t feed_buffer_initial_capacity = 4096;

// Makes room for extra more bytes after the used ones, doubling the capacity
// from 4096 until they fit. False when the buffer could not grow (it is then
// unchanged).
bool feed_buffer_reserve(zarvel_feed_buffer &buffer, uint64_t extra);
// Appends a chunk (see feed_buffer_reserve).
bool feed_buffer_append(zarvel_feed_buffer &buffer, const char *data, uint64_t length);
// The last boundary in the pending bytes, or 0 (see scan_boundaries).
uint64_t feed_buffer_find_cut(zarvel_feed_buffer &buffer);
// Drops the bytes before cut (already parsed) and resets the scan state.
void feed_buffer_consume(zarvel_feed_buffer &buffer, uint64_t cut);
// Frees the bytes; the started flag and the line and byte offsets stay.
void feed_buffer_release(zarvel_feed_buffer &buffer);

// Length of the line break at text[i] as the parser counts breaks (LF, CR,
// CR LF; with unicode_breaks, the YAML 1.1 rules, also NEL, LS and PS, which
// the parser then rewrites to line feeds); 0 for none.
uint64_t line_break_at(const char *text, uint64_t length, uint64_t i, bool unicode_breaks);
// Number of line breaks the parser counts in a text (see line_break_at).
uint64_t count_line_breaks(const char *text, uint64_t length, bool unicode_breaks);

}  // namespace zvl
