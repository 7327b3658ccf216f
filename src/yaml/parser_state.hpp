// State of the event parser, shared by its block (parser.cpp) and flow
// (parser_flow.cpp) halves. Not part of the parser's interface.
#pragma once

#include "yaml/parser.hpp"
#include "yaml/scanner.hpp"

namespace zvl::yaml {

// How a node hangs from its parent; decides what completing it means.
enum class node_origin : uint8_t { root, value, entry, explicit_key, explicit_value };

struct block_level {
    uint16_t indent;  // column - 1 of the collection's entries
    bool mapping;
    bool value_pending;  // mapping: a key was given, its value not yet
    bool explicit_key;   // mapping: that key came after '?', so ':' may follow on its own line
    bool under_key;      // sequence written at its parent key's indentation
    node_origin origin;
};

// A node the block structure expects next (after "key:", "- ", "? ", "---").
struct pending_node {
    bool active = false;
    node_origin origin = node_origin::root;
    int32_t parent_indent = -1;
    properties props;          // read on earlier lines, or before the indicator's node
    uint32_t prop_levels = 0;  // lines holding only properties: each nests one level
};

// Where a node stands when node_at is called.
struct node_context {
    bool existing_map = false;   // at the key column of the open mapping
    bool value_line = false;     // after "key: " or "--- ": no key or collection here
    bool tab_separated = false;  // a tab separates the node from its indicator
};

enum class flow_kind : uint8_t { sequence, mapping, pair };

enum class flow_state : uint8_t {
    seq_entry,         // an entry or ']' (first, or after ',')
    after_entry,       // ',' or the closing bracket of the level's kind
    map_key,           // a key or '}' (first, or after ',')
    map_explicit_key,  // after '?': the key, or ':' / ',' / '}' for an empty one
    map_after_key,     // ':' or ',' or '}'
    map_value,         // the value, or ',' / '}' for an empty one
    pair_key,          // after '?' in a sequence: the key
    pair_after_key,    // ':' or ',' / ']'
    pair_value,        // the value, or ',' / ']' for an empty one
};

// What the node being parsed is to its flow level.
enum class flow_role : uint8_t { seq_entry, map_key, map_value, pair_key, pair_value };

struct flow_level {
    flow_kind kind;
    flow_state state;
    flow_role role;     // this collection's role in its parent level
    bool separator;     // a ',' since the last entry
    bool json_key;      // last key was quoted or a collection: ':' may follow directly
    bool explicit_key;  // the pending key came after '?'
    uint16_t depth;     // counted nesting level
    uint32_t entries;
    uint32_t mark;  // buffer index where the current entry began
    uint32_t key_line;
    uint64_t key_start;
};

// An event of kind with every other field zero, each stated: a
// value-initialised event becomes a slow string store (rep stos) on the
// hottest paths, field stores do not.
inline zarvel_event bare_event(uint32_t kind) {
    zarvel_event e;
    e.kind = kind;
    // Separate stores: a chained assignment copies through a wide load that
    // stalls on the narrower stores just made.
    e.text = {nullptr, 0};
    e.anchor = {nullptr, 0};
    e.tag = {nullptr, 0};
    e.style = 0;
    e.plain_implicit = 0;
    e.flow = 0;
    e.multiline = 0;
    e.tag_id = 0;
    e.verbatim = 0;
    e.anchor_id = 0;
    e.start_line = 0;
    e.start_column = 0;
    e.end_line = 0;
    e.end_column = 0;
    return e;
}

}  // namespace zvl::yaml

struct zarvel_parser {
    explicit zarvel_parser(const zarvel_allocator *a)
        : allocator(a), scan(a), levels(a), flow(a), events(a), pair_starts(a), tape(a) {}

    const zarvel_allocator *allocator;
    zvl::yaml::scanner scan;

    char *owned_copy = nullptr;  // NEL/LS/PS rewritten text of the last run
    uint64_t owned_length = 0;

    zvl::buffer<zvl::yaml::block_level, 16> levels;
    zvl::yaml::pending_node pending;

    bool doc_open = false;
    bool doc_has_root = false;
    bool prologue = false;        // directives seen since the last document
    bool yaml_directive = false;  // a YAML directive in this prologue
    uint64_t prologue_start = 0;
    uint32_t prologue_line = 0;

    zarvel_strmap anchors{};
    uint32_t anchor_counter = 0;
    uint32_t anchor_count = 0;
    bool anchors_sized = false;  // the run's first anchor sized the map

    uint32_t max_depth = zarvel_parser_depth_limit;
    const zarvel_resolver *schema = &zarvel_core_resolver;
    bool tag_ids = true;      // resolve the tag ids of untagged plain scalars
    bool quick_lines = true;  // common block lines skip the general node scan

    zvl::buffer<zvl::yaml::flow_level, 16> flow;
    zvl::buffer<zarvel_event, 16> events;  // held while a flow tree is parsed
    uint32_t buffering = 0;

    // A large flow tree is parsed twice instead of being held: a checking
    // pass (check_only: no events, anchors in `shadow`, no arena texts)
    // proves that it parses and finds where single-pair mappings start; the
    // second pass (streaming) then delivers its events as they come, in the
    // order the held buffer would have had.
    bool check_only = false;
    bool streaming = false;
    bool stream_large_flow = true;          // off: every tree is held (tests)
    bool stream_json_shaped = true;         // off: JSON-shaped trees too take two passes (bench)
    zarvel_strmap shadow{};                 // anchors defined by the checking pass
    zvl::buffer<uint64_t, 16> pair_starts;  // key offsets of single-pair mappings
    zvl::buffer<uint8_t, 256> tape;         // a JSON-shaped tree's event offsets
    size_t next_pair = 0;
    // The scalars of a small flat tree (flat_shaped), delivered without the tape.
    struct flat_tree {
        static constexpr uint32_t most = 16;
        static constexpr uint64_t longest = 4096;
        uint64_t at[most];
        uint32_t length[most];
        uint32_t count = 0;
    } flat;

    const zarvel_sink *sink = nullptr;
    bool stopped = false;  // the sink stopped the run

    // ---- emission (parser.cpp) -------------------------------------------
    bool fail(uint32_t code, uint64_t offset, const char *message = nullptr) {
        return scan.fail(code, offset, message);
    }
    bool stop() {
        stopped = true;
        return false;
    }
    // The common case (block context, no scalar slot) goes straight to slot 0.
    bool emit(const zarvel_event &event) {
        if (!(check_only | streaming) && !buffering && !sink->scalar)
            return sink->event(sink->user, &event) == 0 ? true : stop();
        return emit_slow(event);
    }
    bool emit_slow(const zarvel_event &event);
    // A block collection's start without properties (tag id given) or its
    // end, at offset on the current line: by slot 11 when the sink has it.
    bool emit_edge(uint32_t kind, uint64_t offset, uint8_t tag_id = 0) {
        if (sink->collection && !(check_only | streaming) && !buffering)
            return sink->collection(sink->user, kind, scan.line, scan.column_of(offset), 0) == 0 ? true : stop();
        zarvel_event e = node_event(kind, offset);
        e.tag_id = tag_id;
        return emit(e);
    }
    bool deliver(const zarvel_event &event, bool via_scalar_slot);
    bool flush_events();
    zarvel_event node_event(uint32_t kind, uint64_t offset) const;
    bool apply_properties(zarvel_event &event, const zvl::yaml::properties &props);
    bool define_anchor(zarvel_text_span name, uint32_t &id);
    bool lookup_alias(zarvel_text_span name, uint64_t offset, uint32_t &id);
    uint8_t scalar_tag_id(const zarvel_event &event) const;
    bool emit_scalar(const zvl::yaml::scanned_scalar &s, const zvl::yaml::properties &props, bool in_flow);
    bool emit_empty(const zvl::yaml::properties &props, uint8_t style, bool in_flow, uint64_t offset);
    bool emit_alias(zarvel_text_span name, uint64_t offset, uint64_t end, bool in_flow);

    // ---- flow collections (parser_flow.cpp) -------------------------------
    // The flow collection at scan.pos; events go to the buffer.
    bool parse_flow(int32_t enclosing, const zvl::yaml::properties &props);
    bool skip_flow_space(int32_t enclosing);
    bool flow_node(zvl::yaml::flow_role role, int32_t enclosing);
    bool flow_node_done(zvl::yaml::flow_role role, bool json, int32_t enclosing);
    bool open_flow(char bracket, const zvl::yaml::properties &props, zvl::yaml::flow_role role);
    bool close_flow(int32_t enclosing);
    bool open_pair(uint32_t mark, bool counted, uint64_t offset, bool after_key = false);
    bool check_then_stream(int32_t enclosing, const zvl::yaml::properties &props, bool &streamed);
    // Whether the flow tree at scan.pos is JSON-shaped (see parser_flow.cpp);
    // when it is, its events are noted on `tape` for stream_json.
    bool json_shaped(int32_t enclosing, uint64_t &close);
    bool stream_json(int32_t enclosing, const zvl::yaml::properties &props);
    bool flat_shaped(uint64_t &close);
    bool stream_flat(const zvl::yaml::properties &props, uint64_t close);
    bool deliver_bracket(uint32_t kind, uint64_t at, uint32_t column, const zvl::yaml::properties *props);
    bool deliver_flow_scalar(zarvel_text_span text, uint8_t style, uint32_t start_column, uint32_t end_column);
    bool starts_pair(uint64_t offset);
    bool close_pair(int32_t enclosing);
    bool missing_separator();
};
