// Tree comparison through the read API for the round-trip checks of the fuzz
// targets. A mismatch traps, so the fuzzer keeps the input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zarvel.h"

namespace fuzz_tree {

[[noreturn]] inline void mismatch() { __builtin_trap(); }

inline std::string span(const char *p, uint64_t n) { return p && n ? std::string(p, n) : std::string(); }

// Numbers may be written in another spelling of the same value.
inline bool same_scalar(int32_t tag, const zarvel_node *a, const zarvel_node *b) {
    if (tag == ZARVEL_TAG_INT) {
        int64_t x = 0, y = 0;
        return zarvel_node_int(a, &x) == 0 && zarvel_node_int(b, &y) == 0 && x == y;
    }
    if (tag == ZARVEL_TAG_FLOAT) {
        double x = 0, y = 0;
        return zarvel_node_float(a, &x) == 0 && zarvel_node_float(b, &y) == 0 && (x == y || (x != x && y != y));
    }
    return tag == ZARVEL_TAG_NULL || tag == ZARVEL_TAG_BOOL;
}

// Node-by-node comparison. Aliases are compared by kind and by their targets'
// kinds only, so cycles cannot recurse.
inline void same_tree(const zarvel_node *a, const zarvel_node *b, int depth) {
    if (!a || !b) {
        if (a != b) mismatch();
        return;
    }
    int32_t kind = zarvel_node_kind(a);
    if (kind != zarvel_node_kind(b) || depth > 1100) mismatch();
    switch (kind) {
    case ZARVEL_NODE_SCALAR: {
        uint64_t la = 0, lb = 0;
        const char *va = zarvel_node_value(a, &la);
        const char *vb = zarvel_node_value(b, &lb);
        int32_t tag = zarvel_node_tag_id(a);
        // JSON has no infinity or NaN: such a float is written as a string
        // of its text.
        double f = 0;
        if (tag == ZARVEL_TAG_FLOAT && zarvel_node_tag_id(b) == ZARVEL_TAG_STR &&
            (zarvel_node_float(a, &f) != 0 || f - f != 0) && span(va, la) == span(vb, lb))
            break;
        if (tag != zarvel_node_tag_id(b)) mismatch();
        if (!same_scalar(tag, a, b) && span(va, la) != span(vb, lb)) mismatch();
        break;
    }
    case ZARVEL_NODE_SEQUENCE: {
        uint64_t n = zarvel_node_seq_count(a);
        if (n != zarvel_node_seq_count(b)) mismatch();
        for (uint64_t i = 0; i < n; ++i) same_tree(zarvel_node_seq_at(a, i), zarvel_node_seq_at(b, i), depth + 1);
        break;
    }
    case ZARVEL_NODE_MAPPING: {
        uint64_t n = zarvel_node_map_count(a);
        if (n != zarvel_node_map_count(b)) mismatch();
        for (uint64_t i = 0; i < n; ++i) {
            zarvel_node *ka = nullptr, *xa = nullptr, *kb = nullptr, *xb = nullptr;
            if (zarvel_node_map_at(a, i, &ka, &xa) != zarvel_node_map_at(b, i, &kb, &xb)) mismatch();
            same_tree(ka, kb, depth + 1);
            same_tree(xa, xb, depth + 1);
        }
        break;
    }
    case ZARVEL_NODE_ALIAS: {
        zarvel_node *ta = zarvel_node_alias_target(a), *tb = zarvel_node_alias_target(b);
        if ((ta == nullptr) != (tb == nullptr)) mismatch();
        if (ta && zarvel_node_kind(ta) != zarvel_node_kind(tb)) mismatch();
        break;
    }
    default: break;
    }
}

// The ids of the tree under n, each node before the nodes under it.
inline void ids_in_order(const zarvel_node *n, std::vector<uint32_t> &ids) {
    ids.push_back(zarvel_node_id(n));
    std::vector<zarvel_node *> children(zarvel_node_children(n, nullptr, 0));
    zarvel_node_children(n, children.data(), children.size());
    for (const zarvel_node *child : children) ids_in_order(child, ids);
}

// Every root's views in document order, in small windows, are its handles'
// tree node by node.
inline void same_order(zarvel_document *doc) {
    constexpr uint64_t window = 7;
    for (uint32_t r = 0, roots = zarvel_document_count(doc); r < roots; ++r) {
        std::vector<uint32_t> want;
        ids_in_order(zarvel_document_root(doc, r), want);
        zarvel_node_view views[window];
        uint64_t count = 0;
        for (uint64_t first = 0; first < want.size(); first += window) {
            if (zarvel_document_views(doc, r, first, ZARVEL_VIEW_NUMBERS, views, window, &count) != 0 ||
                count != want.size())
                mismatch();
            for (uint64_t k = 0; k < window && first + k < count; ++k)
                if (views[k].id != want[first + k] ||
                    views[k].kind != zarvel_node_kind(zarvel_document_node(doc, views[k].id)))
                    mismatch();
        }
    }
}

}  // namespace fuzz_tree
