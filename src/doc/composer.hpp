// The direct composer: a sink (all nine slots) that turns parse events into
// nodes of a node store at once. The user word is the store. The replay of an
// event log drives the same slots.
#pragma once

#include <cstdint>

#include "doc/store.hpp"
#include "doc/event.hpp"
#include "doc/tree_builder.hpp"

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

namespace zvl {

// The children index, written (zvl::tree::children_writer) while an event
// log's records build the tree: a node made inside a collection is pushed,
// a closing collection places its children. The read API then finds the
// index made, without the pass over every record that making it later
// takes. What it cannot follow (a record that builds otherwise than nodes
// in the open collection, an opening or a closing) drops it: the read API
// makes it on first use then. The flow builder keeps it too.
struct children_fill {
    zarvel_node_store *store;
    tree::children_writer index;

    // The index as large as the node table (none when it cannot be had).
    void start() { index.start(store->allocator, store->node_cap); }
    void drop() { index.drop(store->allocator); }
    // Node `id` made at `depth` (0: a root, in no collection).
    void child(uint32_t depth, uint32_t id) {
        if (!index.ids || depth == 0) return;
        if (id >= index.nodes()) return drop();
        index.push(id);
    }
    // The collection `id` closed.
    void closed(uint32_t id) {
        if (!index.ids) return;
        zarvel_node_rec &c = store->nodes[id];
        const uint32_t count = c.child_count;
        if (index.pushed() < count || (count && index.stack[-1] != c.last_child)) return drop();
        index.close(c, id, count);
    }
    // After a record of kind `record` taken the general way, which began at
    // node count `made`, depth `depth` and innermost collection `top`.
    void general(uint64_t record, uint32_t made, uint32_t depth, uint32_t top);
};

// zarvel_composer_flow_raw, keeping the children index `fill` (null: none).
int flow_compose(zarvel_node_store *store, const char *input, uint64_t open_offset, uint64_t input_size,
                 zarvel_text_span anchor, zarvel_text_span tag, uint32_t anchor_id, uint32_t max_depth,
                 uint64_t *close_offset, children_fill *fill);

}  // namespace zvl
