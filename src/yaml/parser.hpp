// The YAML event parser: turns a UTF-8 stream into parse events delivered to a
// zarvel_sink (doc/event.hpp). One parser serves any number of runs; each run
// parses one complete text. Internal interface of the YAML reader.
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/limits.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/event.hpp"

struct zarvel_parser;

inline constexpr uint32_t zarvel_parser_depth_limit = zvl::nesting_limit;

// Null when the allocator is null or an allocation fails. Nesting limit 1000,
// core schema, empty anchor map, cleared error record.
zarvel_parser *zarvel_parser_new(const zarvel_allocator *allocator);
// Frees everything the parser owns (arena included unless taken); null accepted.
void zarvel_parser_free(zarvel_parser *parser);

// Null means the core schema. Passing &zarvel_yaml11_resolver also switches on
// the alternate mode (flow collections exempt from the continuation-indent
// check, local !binary tag resolved as the binary tag).
void zarvel_parser_set_schema(zarvel_parser *parser, const zarvel_resolver *schema);
// Sets the alternate mode explicitly (for callers with a schema of their own).
void zarvel_parser_set_alternate(zarvel_parser *parser, bool alternate);
// n > 0: limit = min(n, 1000); other values are ignored.
void zarvel_parser_set_max_depth(zarvel_parser *parser, int64_t n);
// false: untagged plain scalars carry tag id 0 instead of the schema's
// answer, for sinks that never read it (the resolver costs per scalar).
void zarvel_parser_set_tag_ids(zarvel_parser *parser, bool resolve);
// true: block scalar texts live only until the next scalar is scanned (for
// sinks that read every text during its event, like push); they are then
// not copied into the arena.
void zarvel_parser_set_transient_texts(zarvel_parser *parser, bool on);
// Switches the direct handling of common block lines off (true by default);
// tests compare both ways.
void zarvel_parser_set_quick_lines(zarvel_parser *parser, bool on);
// Switches the two-pass handling of large flow collections off (true by
// default), so that every flow tree is held in the event buffer; tests
// compare both ways.
void zarvel_parser_set_flow_streaming(zarvel_parser *parser, bool on);
// Switches the one-pass streaming of JSON-shaped flow trees off (true by
// default): they take the general two-pass way (bench).
void zarvel_parser_set_json_streaming(zarvel_parser *parser, bool on);
// Added to every line number of the following runs (chunked feeding).
void zarvel_parser_set_line_offset(zarvel_parser *parser, uint32_t line_offset);

// Parses text[0..length). 0 success; -1 failure recorded in the parser's error
// record (and copied into the thread's record); -2 the sink stopped the parse
// (nothing recorded). first/last ask for the stream start/end events.
int zarvel_parser_run(zarvel_parser *parser, const char *text, uint64_t length, const zarvel_sink *sink, bool first,
                      bool last);

// The parser's own error record; null for a null parser.
const zarvel_error *zarvel_parser_error(const zarvel_parser *parser);
// The text the last run actually parsed: the caller's text, or the parser's
// copy when NEL/LS/PS breaks had to be rewritten. Verbatim spans point into it.
const char *zarvel_parser_text(const zarvel_parser *parser, uint64_t *length);
// Hands over the arena holding rewritten scalar texts; the parser continues
// with a fresh one (block size 8192). Null when it has none.
zarvel_arena *zarvel_parser_take_arena(zarvel_parser *parser);
