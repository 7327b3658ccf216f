// Test helpers for the document tests: a canonical dump of a node table,
// hand-written event sequences, and a JSON-like rendering through the
// public read API.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "doc/composer.hpp"
#include "doc/event_log.hpp"
#include "doc/store.hpp"
#include "doc/event.hpp"
#include "zarvel.h"

namespace doc_test {

inline std::string escape(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

// One line per node: id, kind, style, flow, plain_implicit, tag id, texts,
// alias target and children in order. Two stores with equal dumps have equal
// node tables (spans may differ in where the bytes live).
inline std::string dump_store(const zarvel_node_store *store) {
    std::string out;
    char buf[160];
    for (uint32_t i = 0; i < store->node_count; ++i) {
        const zarvel_node_rec &n = store->nodes[i];
        std::snprintf(buf, sizeof buf, "%u k%u s%u f%u p%u t%u", i, n.kind(), n.style(), n.is_flow() ? 1 : 0,
                      n.is_plain_implicit() ? 1 : 0, n.tag_id);
        out += buf;
        out += " v\"" + escape(zarvel_store_text(store, n.value)) + "\"";
        const zarvel_span tag = zarvel_store_tag(store, i), anchor = zarvel_store_anchor(store, i);
        if (zarvel_span_length(tag)) out += " !\"" + escape(zarvel_store_text(store, tag)) + "\"";
        if (zarvel_span_length(anchor)) out += " &\"" + escape(zarvel_store_text(store, anchor)) + "\"";
        // A collection's field holds its place in the children index.
        if (n.kind() == ZARVEL_KIND_ALIAS && n.alias_target != zarvel_node_none)
            out += " *" + std::to_string(n.alias_target);
        if (n.child_count) {
            out += " [";
            uint32_t c = n.first_child;
            for (uint32_t k = 0; k < n.child_count && c != zarvel_node_none; ++k, c = store->nodes[c].next_sibling)
                out += (k ? " " : "") + std::to_string(c);
            out += "]";
        }
        out += "\n";
    }
    out += "roots:";
    for (uint32_t r = 0; r < store->root_count; ++r) out += " " + std::to_string(store->roots[r]);
    out += "\n";
    return out;
}

// ---- hand-written events --------------------------------------------------

inline zarvel_text_span span_of(const char *p, size_t n) { return {p, uint32_t(n)}; }
inline zarvel_text_span span_of(std::string_view s) { return {s.data(), uint32_t(s.size())}; }

inline zarvel_event plain_event(uint32_t kind) {
    zarvel_event e{};
    e.kind = kind;
    return e;
}

inline zarvel_event scalar_event(std::string_view text, uint8_t style, uint8_t tag_id, bool verbatim = true,
                                 bool plain_implicit = true) {
    zarvel_event e{};
    e.kind = ZARVEL_EVENT_SCALAR;
    e.text = span_of(text);
    e.style = style;
    e.tag_id = tag_id;
    e.verbatim = verbatim ? 1 : 0;
    e.plain_implicit = plain_implicit ? 1 : 0;
    return e;
}

inline zarvel_event start_event(uint32_t kind, bool flow = false) {
    zarvel_event e{};
    e.kind = kind;
    e.flow = flow ? 1 : 0;
    e.verbatim = 1;
    // Untagged collections carry the tag id of their kind.
    e.tag_id = kind == ZARVEL_EVENT_MAPPING_START ? ZARVEL_TAG_MAP : ZARVEL_TAG_SEQ;
    return e;
}

// Delivers every event through slot 0 of a sink; the first non-zero result.
inline int feed(const zarvel_sink &sink, const std::vector<zarvel_event> &events) {
    for (const zarvel_event &e : events) {
        int r = sink.event(sink.user, &e);
        if (r != 0) return r;
    }
    return 0;
}

// A store composed directly from the events (null when composing failed).
struct composed {
    zarvel_node_store *store = nullptr;
    int result = 0;
    composed(const char *input, uint64_t length, const std::vector<zarvel_event> &events) {
        store = zarvel_store_new(&zarvel_default_allocator);
        store->input = input;
        store->input_len = length;
        zarvel_store_reserve(store, length);
        zarvel_sink sink = zarvel_composer_sink(store);
        result = feed(sink, events);
    }
    ~composed() { zarvel_store_free(store); }
    composed(const composed &) = delete;
    composed &operator=(const composed &) = delete;
};

// A pending document whose body is an event log of the events (recorded
// through the event-log sink), as a parse leaves it.
inline zarvel_document *pending_document(const std::string &text, const std::vector<zarvel_event> &events) {
    auto *log = static_cast<zarvel_event_log *>(zvl::allocate(&zarvel_default_allocator, sizeof(zarvel_event_log)));
    zarvel_event_log_init(log, text.data(), text.size());
    zarvel_sink sink = zarvel_event_log_sink(log);
    if (feed(sink, events) != 0) log->word_count = 0;
    zarvel_document *doc = zarvel_document_alloc(&zarvel_default_allocator);
    doc->text = text.data();
    doc->owned_len = text.size();
    doc->source = log;
    doc->source_ops = &zarvel_event_log_source;
    return doc;
}

// ---- JSON-like rendering through the public read API ------------------------

inline void render(const zarvel_node *node, std::string &out, int budget = 64) {
    if (!node) {
        out += "<null>";
        return;
    }
    if (budget <= 0) {
        out += "<deep>";
        return;
    }
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_ALIAS: render(zarvel_node_alias_target(node), out, budget - 1); return;
    case ZARVEL_NODE_SEQUENCE: {
        out += "[";
        uint64_t n = zarvel_node_seq_count(node);
        for (uint64_t i = 0; i < n; ++i) {
            if (i) out += ",";
            render(zarvel_node_seq_at(node, i), out, budget - 1);
        }
        out += "]";
        return;
    }
    case ZARVEL_NODE_MAPPING: {
        out += "{";
        uint64_t n = zarvel_node_map_count(node);
        for (uint64_t i = 0; i < n; ++i) {
            if (i) out += ",";
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(node, i, &k, &v);
            render(k, out, budget - 1);
            out += ":";
            render(v, out, budget - 1);
        }
        out += "}";
        return;
    }
    default: {
        uint64_t len = 0;
        const char *text = zarvel_node_value(node, &len);
        out += "\"" + escape(std::string_view(text ? text : "", len)) + "\"";
        return;
    }
    }
}

inline std::string render(const zarvel_node *node) {
    std::string out;
    render(node, out);
    return out;
}

}  // namespace doc_test
