// Event log: the compact pending body of a parsed YAML document. The parse
// only records (each sink callback becomes a record of 64-bit words); the
// nodes are built from the log on first use by replaying it into the direct
// composer.
//
// The format of the words is the field table in zvl::event_log below: every
// writer and reader of the log (the sink here, the block scanner, the flow
// recorder, the replays) takes its shifts and masks from it.
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
    uint64_t text_bytes;     // bytes of texts outside the input, for sizing the store's strings at replay
};

namespace zvl::event_log {

// A bit field of a log word: width bits from shift.
struct field {
    uint32_t shift;
    uint32_t width;
    constexpr uint64_t ones() const { return width >= 64 ? ~uint64_t(0) : (uint64_t(1) << width) - 1; }
    constexpr uint64_t mask() const { return ones() << shift; }
    constexpr uint64_t put(uint64_t value) const { return (value & ones()) << shift; }
    constexpr uint64_t get(uint64_t word) const { return (word >> shift) & ones(); }
    constexpr bool in(uint64_t word) const { return (word & mask()) != 0; }
};

// ---- every word ----
// A record's first word carries its kind (1-7) in the top byte, the
// record's own fields below it.
inline constexpr field kind{56, 8};
inline constexpr field below_kind{0, 56};
inline constexpr uint64_t kind_shift = kind.shift;
// A text span is one compact word (top byte 0: the text lies in the input,
// length below 2^24) or two external words (top byte 0xFF and the length,
// then the address; texts in the parser's arena or the block scanner's
// scratch, which outlive the log; null address with length 0 = empty).
inline constexpr field span_offset{0, 32};
inline constexpr field span_length{32, 24};
inline constexpr uint64_t compact_limit = uint64_t(1) << span_length.width;
inline constexpr uint64_t external_kind = 0xFF;
inline constexpr uint64_t external_mark = external_kind << kind.shift;
inline constexpr uint64_t compact_span(uint64_t offset, uint64_t length) {
    return span_offset.put(offset) | span_length.put(length);
}
// Optional spans (tag, anchor) are two-bit fields: none, compact or
// external; the span's words follow in the order the record lists them.
inline constexpr uint64_t span_compact = 1;
inline constexpr uint64_t span_external = 2;
// The anchor index of a record; big_anchor there: an extra word holds it
// (the record's index-word bit is set).
inline constexpr field anchor_index{32, 24};
inline constexpr uint64_t big_anchor = anchor_index.ones();

enum record_kind : uint8_t {
    record_event = 1,         // stream/document start/end
    record_node_event = 2,    // events 5-10
    record_scalar = 3,        // scalar, or one of the short forms below
    record_scalar_value = 4,  // scalar_value, text in input: the compact span itself
    record_pair = 5,          // pair
    record_pair_flow = 6,     // pair_flow, key in input: the compact span of the key
    record_flow_raw = 7,      // flow_raw
};

inline constexpr uint64_t first_word(record_kind k, uint64_t fields) { return kind.put(k) | below_kind.put(fields); }

// ---- 1: stream/document start/end ----
namespace event_rec {
inline constexpr field type{0, 8};
}

// ---- 2: events 5-10; then value span, tag, anchor, index word ----
namespace node_rec {
inline constexpr field type{0, 4};
inline constexpr field style{4, 3};
inline constexpr field plain_implicit{7, 1};
inline constexpr field flow{8, 1};
inline constexpr field multiline{9, 1};
inline constexpr field verbatim{10, 1};
inline constexpr field tag{11, 2};
inline constexpr field anchor{13, 2};
inline constexpr field index_word{15, 1};
inline constexpr field tag_id{16, 8};
// No words follow: the value span is empty (tag, anchor, index word and
// anchor index clear). An untagged collection start or an end.
inline constexpr field bare{24, 1};
// The fields that ask for words after the first.
inline constexpr uint64_t followers = tag.mask() | anchor.mask() | index_word.mask() | anchor_index.mask();
}  // namespace node_rec

// ---- 3: scalar; then value, tag, anchor, index word ----
namespace scalar_rec {
inline constexpr field tag_id{0, 8};
inline constexpr field style{8, 3};
inline constexpr field plain_implicit{11, 1};
inline constexpr field flow{12, 1};
inline constexpr field verbatim{13, 1};
inline constexpr field tag{14, 2};
inline constexpr field anchor{16, 2};
inline constexpr field index_word{18, 1};
// Short forms, each field alone, then one span: a scalar_value with an
// external text, a pair_flow with an external key.
inline constexpr uint64_t value_external = field{20, 1}.mask();
inline constexpr uint64_t pair_flow_external = field{21, 1}.mask();
// A scalar with its text in the next word and nothing else to read.
inline constexpr uint64_t plain_fields =
    tag_id.mask() | style.mask() | plain_implicit.mask() | flow.mask() | verbatim.mask();
}  // namespace scalar_rec

// ---- 5: pair; then key span, value span, anchor, index word ----
namespace pair_rec {
inline constexpr field value_kind{0, 3};
inline constexpr uint64_t value_plain = 0;  // any other value below 3 too
inline constexpr uint64_t value_alias = 3;
inline constexpr uint64_t value_anchored = 4;  // an anchored plain scalar
inline constexpr field value_in_input{3, 1};
inline constexpr field anchor{4, 2};
inline constexpr field index_word{6, 1};
// Key and value are plain scalars of a flow mapping (the block scanner's
// plain texts in the input, nothing else).
inline constexpr field flow{7, 1};
}  // namespace pair_rec

// ---- 7: flow_raw; then the where word, tag, anchor, index word ----
namespace flow_rec {
inline constexpr field tag{0, 2};
inline constexpr field anchor{2, 2};
inline constexpr field index_word{4, 1};
// The where word: the opening bracket and the input size.
inline constexpr field open_offset{0, 32};
inline constexpr field input_size{32, 32};
}  // namespace flow_rec

}  // namespace zvl::event_log

// Sets the log up over the text with room for L/2 + 64 words. False on
// failure (nothing kept).
bool zarvel_event_log_init(zarvel_event_log *log, const char *input, uint64_t length);
// Empties the log (word count, depth, document count, overflow, saved count,
// flow and text bytes).
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
// Writes a kind-7 record: the flow collection opening at `open` of an input
// of `size` bytes (both below 2^32), with its properties.
bool zarvel_event_log_push_flow(zarvel_event_log *log, uint64_t open, uint64_t size, zarvel_text_span tag,
                                zarvel_text_span anchor, uint32_t anchor_id);

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

// Whole-text fast path of zarvel_parse: 0 when the whole input was recorded,
// nonzero when it gave up (the log is then left empty).
int zarvel_block_scanner(zarvel_event_log *log, const zarvel_resolver *resolver);
