// Parse events and the sink table: the one interface between the event
// parser and everything that consumes its events (composers, front ends,
// drains, visitors).
#pragma once

#include <cstdint>

#include "zarvel.h"

struct zarvel_text_span {
    const char *data;
    uint32_t length;
};

enum zarvel_scalar_style : uint8_t {
    ZARVEL_STYLE_NONE = 0,  // implied empty node
    ZARVEL_STYLE_PLAIN = 1,
    ZARVEL_STYLE_SINGLE = 2,
    ZARVEL_STYLE_DOUBLE = 3,
    ZARVEL_STYLE_LITERAL = 4,
    ZARVEL_STYLE_FOLDED = 5,
};

struct zarvel_event {
    uint32_t kind;
    zarvel_text_span text;    // scalar text; alias name for aliases
    zarvel_text_span anchor;  // without '&'
    zarvel_text_span tag;     // resolved and percent-decoded; empty when untagged
    uint8_t style;            // scalars: zarvel_scalar_style; document start/end: explicit flag
    uint8_t plain_implicit;
    uint8_t flow;
    uint8_t multiline;
    uint8_t tag_id;
    uint8_t verbatim;
    uint32_t anchor_id;
    uint32_t start_line;
    uint32_t start_column;
    uint32_t end_line;
    uint32_t end_column;
};

// Value of a one-line block pair (sink slot 5). The parser offers a pair only
// when key and value are single-line plain scalars without tags (or the value
// is an alias), so a sink may resolve both texts with its schema. The numbers
// equal the value kinds of the event log's pair record.
enum zarvel_pair_value_kind : uint32_t {
    ZARVEL_PAIR_SCALAR = 0,    // plain scalar, no anchor
    ZARVEL_PAIR_ALIAS = 3,     // alias: text = name, alias_target = anchor id
    ZARVEL_PAIR_ANCHORED = 4,  // plain scalar with an anchor
};

struct zarvel_pair_value {
    uint32_t kind;            // zarvel_pair_value_kind
    zarvel_text_span text;    // scalar text, or alias name
    zarvel_text_span anchor;  // anchor defined on the scalar
    uint32_t anchor_id;       // id of that anchor, 0 when none
    uint32_t alias_target;    // anchor id an alias refers to
    uint8_t verbatim;
    uint8_t style;   // scalar style
    uint8_t tag_id;  // resolved tag id of the scalar
    uint8_t plain_implicit;
};

// Plain block value without properties (sink slot 7).
struct zarvel_scalar_value {
    uint32_t kind;  // tag id resolved for the text
    uint8_t verbatim;
    zarvel_text_span text;
};

struct zarvel_sink {
    // 0: every event not taken by a shortcut slot; non-zero stops the parse.
    int (*event)(void *user, const zarvel_event *event);
    // 1
    void *user;
    // 2: a flow collection in block context; 1 = consumed, *close_offset set.
    int (*flow_raw)(void *user, const char *input, uint64_t open_offset, uint64_t input_size, uint32_t line,
                    uint64_t line_start, zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id,
                    uint32_t max_depth, uint64_t *close_offset);
    // 3: the parser accepted what slot 2 consumed; must return 1.
    int (*flow_commit)(void *user, uint64_t checked_end);
    // 4: the parser rejected what slot 2 consumed; discard it.
    void (*flow_cancel)(void *user);
    // 5: key: value on one block line; 1 = taken.
    int (*pair)(void *user, zarvel_text_span key, const zarvel_pair_value *value, uint32_t line, uint32_t key_column,
                uint32_t value_column);
    // 6: key whose value is a flow collection opening a block mapping; 1 = the
    // sink opened the mapping.
    int (*pair_flow)(void *user, zarvel_text_span key, uint32_t line, uint32_t key_column);
    // 7: plain block value; 1 = taken.
    int (*scalar_value)(void *user, const zarvel_scalar_value *value);
    // 8: every scalar event, unpacked, when set and not buffering.
    int (*scalar)(void *user, const zarvel_text_span *text, const zarvel_text_span *tag, const zarvel_text_span *anchor,
                  uint32_t anchor_id, uint8_t tag_id, uint8_t style, uint8_t plain_implicit, uint8_t flow,
                  uint8_t verbatim);
    // 9: a one-line plain block scalar without properties (verbatim, untagged,
    // no tag id), when set and not buffering: its text, line and columns.
    // For sinks that would only take apart the event record of slot 0.
    int (*plain)(void *user, zarvel_text_span text, uint32_t line, uint32_t start_column,
                 uint32_t end_column) = nullptr;
    // 10: the same for the scalars of streamed JSON-shaped flow trees, plain
    // (untagged, implicit) or double-quoted (style) with the input's own text.
    int (*flow_scalar)(void *user, zarvel_text_span text, uint32_t line, uint32_t start_column, uint32_t end_column,
                       uint8_t style) = nullptr;
    // 11: a collection start without properties, or a collection end, when
    // set and not buffering: its event kind, position and flow flag. For
    // sinks that would only take apart the event record of slot 0.
    int (*collection)(void *user, uint32_t kind, uint32_t line, uint32_t column, uint8_t flow) = nullptr;
    // 12: an alias, when set and not buffering: its name and position. For
    // sinks that read no anchor id.
    int (*alias)(void *user, zarvel_text_span name, uint32_t line, uint32_t column, uint8_t flow) = nullptr;
};
