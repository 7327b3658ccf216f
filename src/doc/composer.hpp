// The direct composer: a sink (all nine slots) that turns parse events into
// nodes of a node store at once. The user word is the store. The replay of an
// event log drives the same slots.
#pragma once

#include <cstdint>

#include "doc/store.hpp"
#include "doc/event.hpp"

// The composer's table with a null user word; see zarvel_composer_sink.
extern const zarvel_sink zarvel_composer;

// The composer's table with user = store.
zarvel_sink zarvel_composer_sink(zarvel_node_store *store);

// The slots, callable directly (user = the store).
int zarvel_composer_event(void *user, const zarvel_event *event);
int zarvel_composer_flow_raw(void *user, const char *input, uint64_t open_offset, uint64_t input_size, uint32_t line,
                             uint64_t line_start, zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id,
                             uint32_t max_depth, uint64_t *close_offset);
int zarvel_composer_flow_commit(void *user, uint64_t checked_end);
void zarvel_composer_flow_cancel(void *user);
int zarvel_composer_pair(void *user, zarvel_text_span key, const zarvel_pair_value *value, uint32_t line,
                         uint32_t key_column, uint32_t value_column);
int zarvel_composer_pair_flow(void *user, zarvel_text_span key, uint32_t line, uint32_t key_column);
int zarvel_composer_scalar_value(void *user, const zarvel_scalar_value *value);
int zarvel_composer_scalar(void *user, const zarvel_text_span *text, const zarvel_text_span *tag,
                           const zarvel_text_span *anchor, uint32_t anchor_id, uint8_t tag_id, uint8_t style,
                           uint8_t plain_implicit, uint8_t flow, uint8_t verbatim);

// Tag id of an untagged plain text under the store's resolver (core when null).
uint8_t zarvel_store_resolve(const zarvel_node_store *store, const char *text, uint32_t length);
// Tag id of a number shape under the store's resolver.
uint8_t zarvel_store_resolve_number(const zarvel_node_store *store, bool is_float);
