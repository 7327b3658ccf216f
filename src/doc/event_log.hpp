// Event log: the compact pending body of a parsed YAML document. The parse
// only records (each sink callback becomes a record of 64-bit words); the
// nodes are built from the log on first use by replaying it into the direct
// composer.
//
// Text spans inside the log:
//   compact  one word below 2^56: bits 0-31 offset from `input`, bits 32-55
//            length (text inside the input, length below 2^24);
//   external two words: 0xFF00000000000000 + length, then the address
//            (texts in the parser's arena or the block scanner's scratch,
//            which outlive the log). Null address with length 0 = empty.
//
// Records: the top byte of the first word is the record kind 1-7.
//   1  stream/document start/end   bits 0-7 event type
//   2  events 5-10                 bits 0-3 type, 4-6 style, 7 plain_implicit,
//                                  8 flow, 9 multiline, 10 verbatim, 11/12 tag
//                                  compact/external, 13/14 anchor
//                                  compact/external, 15 anchor index in an
//                                  extra word, 16-23 tag id, 32-55 anchor
//                                  index; then value span, tag, anchor, index.
//                                  Bit 24 (bits 11-15 and 32-55 clear): no
//                                  words follow, the value span is empty
//   3  scalar                      bits 0-7 tag id, 8-10 style, 11
//                                  plain_implicit, 12 flow, 13 verbatim,
//                                  14/15 tag, 16/17 anchor, 18 index word,
//                                  32-55 anchor index; then value, tag,
//                                  anchor, index.
//      bit 20 alone: scalar_value with an external text (span follows)
//      bit 21 alone: pair_flow with an external key (span follows)
//   4  scalar_value, text in input the compact span itself
//   5  pair                        bits 0-2 value kind (3 alias, 4 anchored
//                                  plain scalar, other plain scalar), 3 value
//                                  in input, 4/5 anchor compact/external, 6
//                                  index word, 32-55 anchor index; then key
//                                  span, value span, anchor span, index
//   6  pair_flow, key in input     the compact span of the key
//   7  flow_raw                    bits 0/1 tag compact/external, 2/3 anchor
//                                  compact/external, 4 index word, 32-55
//                                  anchor index; then offset (bits 0-31) and
//                                  input size (bits 32-63), tag, anchor, index
#pragma once

#include <cstdint>

#include "core/memory.hpp"
#include "doc/store.hpp"
#include "doc/event.hpp"

struct zarvel_tape;

struct zarvel_event_log {
    uint64_t *words;  // from zarvel_default_allocator
    uint32_t word_count;
    uint32_t word_cap;
    const char *input;
    uint64_t input_len;
    uint32_t depth;          // collections open while recording
    uint32_t flow_budget;    // nesting limit of the last flow record
    uint32_t doc_count;      // document starts recorded
    uint32_t overflow;       // 1 once the word array was refused growth
    uint32_t saved_count;    // word_count before the last flow record
    zarvel_arena *scratch;   // texts made by the block scanner
    zarvel_tape *flow_tape;  // reserved for tape validation; this build leaves it null
    uint64_t flow_bytes;     // bytes under flow records, for sizing the node table at replay
};

namespace zvl::event_log {
inline constexpr uint64_t external_mark = 0xFF00000000000000ull;
inline constexpr uint64_t compact_limit = uint64_t(1) << 24;  // compact span lengths below
inline constexpr uint64_t kind_shift = 56;
inline constexpr uint64_t big_anchor = 0xFFFFFF;  // anchor index in an extra word

enum record_kind : uint8_t {
    record_event = 1,
    record_node_event = 2,
    record_scalar = 3,
    record_scalar_value = 4,
    record_pair = 5,
    record_pair_flow = 6,
    record_flow_raw = 7,
};

// Value kinds of a pair record (bits 0-2).
inline constexpr uint64_t pair_value_plain = 0;
inline constexpr uint64_t pair_value_alias = 3;
inline constexpr uint64_t pair_value_anchored = 4;

// Short forms of a kind-3 record.
inline constexpr uint64_t scalar_value_external = uint64_t(1) << 20;
inline constexpr uint64_t pair_flow_external = uint64_t(1) << 21;
// A kind-2 record of one word (an untagged collection start or an end).
inline constexpr uint64_t node_event_bare = uint64_t(1) << 24;
}  // namespace zvl::event_log

// Sets the log up over the text with room for L/2 + 64 words. False on
// failure (nothing kept).
bool zarvel_event_log_init(zarvel_event_log *log, const char *input, uint64_t length);
// Empties the log (word count, depth, document count, overflow, saved count,
// flow bytes).
void zarvel_event_log_reset(zarvel_event_log *log);
// Frees the word array (and the flow tape); the scratch arena is not touched.
void zarvel_event_log_release(zarvel_event_log *log);
// Grows the word array to hold `count` more words; false (and `overflow`)
// when it may not grow.
bool zarvel_event_log_grow(zarvel_event_log *log, uint32_t count);
// Appends words; false (and `overflow`) when the array may not grow.
inline bool zarvel_event_log_push(zarvel_event_log *log, const uint64_t *words, uint32_t count) {
    if (log->word_cap - log->word_count < count && !zarvel_event_log_grow(log, count)) return false;
    uint64_t *to = log->words + log->word_count;
    for (uint32_t i = 0; i < count; ++i) to[i] = words[i];
    log->word_count += count;
    return true;
}
// Appends a text span in the compact or external form.
bool zarvel_event_log_push_span(zarvel_event_log *log, const char *text, uint64_t length);
// Writes a kind-1 record (stream/document start/end).
bool zarvel_event_log_push_event(zarvel_event_log *log, uint32_t type);

// The nine-slot sink table that records into the log (user = the log).
zarvel_sink zarvel_event_log_sink(zarvel_event_log *log);

// Builds the nodes of the log in the store with the direct composer.
// 0 on success, -1 on failure.
int zarvel_event_log_replay(zarvel_node_store *store, const zarvel_event_log *log);
// The pending-body table of a document whose source is a log (allocated
// with the document's allocator).
extern const zarvel_source_ops zarvel_event_log_source;

// Flow recorder: records the flow collection at `open_offset` as one kind-7
// record. 1 recorded (*end = offset just past the closing bracket), 0 or 2 not
// taken (2: a key longer than 1024 bytes), -1 failure.
int zarvel_flow_recorder(zarvel_event_log *log, const char *text, uint64_t open_offset, uint64_t input_size,
                         zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id, uint32_t max_depth,
                         uint64_t *end);

// Whole-text fast paths of zarvel_parse. Both return true when they recorded
// the whole input; otherwise the log is left empty.
bool zarvel_flow_root(zarvel_event_log *log, const zarvel_resolver *resolver);
// 0 when the whole input was recorded, nonzero when it gave up.
int zarvel_block_scanner(zarvel_event_log *log, const zarvel_resolver *resolver);
