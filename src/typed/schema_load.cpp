// Schema load: a caller's descriptor tree walked against the first document,
// values appended straight into the caller's columns.
#include <cmath>
#include <cstring>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "typed/messages.hpp"
#include "zarvel.h"

namespace {

enum class step { go, stop, error };

struct loader {
    const char *input;
    uint64_t input_length;
    bool alternate;
    const zarvel_descriptor_node *nodes;
    uint32_t node_count;
    zarvel_column *columns;
    uint32_t *unique;
    bool overflow = false;
    bool memory = false;  // a node handle could not be made
    int64_t not_number = -1;

    // Place of a node's text in the input; rewritten texts get offset 0.
    void place(const char *t, uint64_t n, uint32_t *offset, uint32_t *length) const {
        *length = static_cast<uint32_t>(n > UINT32_MAX ? UINT32_MAX : n);
        *offset = 0;
        if (t && input && t >= input && t + n <= input + input_length) *offset = static_cast<uint32_t>(t - input);
    }

    bool truthy(const char *t, uint64_t n) const {
        if (alternate) return zvl_num_bool_ci(t, static_cast<uint32_t>(n)) != 0;
        return n > 0 && std::strchr("TYoty1", t[0]) != nullptr;
    }

    void *slot(uint32_t d, size_t size) {
        zarvel_column &c = columns[d];
        if (c.count >= c.capacity) {
            overflow = true;
            return nullptr;
        }
        return static_cast<char *>(c.data) + static_cast<size_t>(c.count++) * size;
    }

    // The number of a node's text: JSON number syntax, or an int-resolved
    // text in its schema's spelling (0644, 0x1F, +5).
    bool number(const zarvel_node *n, const char *t, uint64_t len, uint32_t *kind, int64_t *iv, double *dv) const;
    step leaf(uint32_t d, const zarvel_node *n);
    step walk(uint32_t d, const zarvel_node *n);
};

bool number_of(const char *t, uint64_t n, uint32_t *kind, int64_t *ival, double *dval) {
    if (!t || n == 0) return false;
    uint64_t pos = 0;
    return zvl_json_number_scan(t, n, &pos, kind, ival, dval) == 1 && pos == n;
}

bool loader::number(const zarvel_node *n, const char *t, uint64_t len, uint32_t *kind, int64_t *iv, double *dv) const {
    if (number_of(t, len, kind, iv, dv)) return true;
    if (zarvel_node_tag_id(n) != ZARVEL_TAG_INT || len > UINT32_MAX) return false;
    if (!zvl::read_int(t, uint32_t(len), alternate, *iv)) return false;
    *kind = ZVL_JSON_NUMBER_INT;
    return true;
}

int64_t saturate(double d) {
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

step loader::leaf(uint32_t d, const zarvel_node *n) {
    const zarvel_descriptor_node &desc = nodes[d];
    uint64_t len = 0;
    const char *t = zarvel_node_value(n, &len);
    if (!t) len = 0;
    if (desc.type > 5) return step::error;
    zarvel_column &c = columns[d];
    if (c.count >= c.capacity && desc.type != 4) {
        overflow = true;
        return step::stop;
    }
    switch (desc.type) {
    case 0: {
        auto *w = static_cast<uint32_t *>(slot(d, 16));
        place(t, len, &w[0], &w[1]);
        w[2] = 0;
        return step::go;
    }
    case 1:
    case 2: {
        uint32_t kind = 0;
        int64_t iv = 0;
        double dv = 0;
        if (!number(n, t, len, &kind, &iv, &dv)) {
            not_number = d;
            return step::error;
        }
        if (desc.type == 1) {
            int64_t v = kind == ZVL_JSON_NUMBER_INT ? iv : saturate(dv);
            std::memcpy(slot(d, 8), &v, 8);
        } else {
            double v = kind == ZVL_JSON_NUMBER_INT ? static_cast<double>(iv) : dv;
            std::memcpy(slot(d, 8), &v, 8);
        }
        return step::go;
    }
    case 3: *static_cast<uint8_t *>(slot(d, 1)) = truthy(t, len) ? 1 : 0; return step::go;
    case 4:
        if (c.count == UINT32_MAX) {
            overflow = true;
            return step::stop;
        }
        ++c.count;
        return step::go;
    default: {
        zarvel_value v{};
        int32_t tag = zarvel_node_tag_id(n);
        v.tag = static_cast<uint8_t>(tag);
        v.kind = 5;
        uint32_t kind = 0;
        int64_t iv = 0;
        double dv = 0;
        switch (tag) {
        case ZARVEL_TAG_BOOL:
            v.kind = 2;
            v.flag = truthy(t, len) ? 1 : 0;
            break;
        case ZARVEL_TAG_NULL: v.kind = 1; break;
        case ZARVEL_TAG_TIMESTAMP: v.kind = 6; break;
        case ZARVEL_TAG_INT:
            if (number(n, t, len, &kind, &iv, &dv) && kind == ZVL_JSON_NUMBER_INT) {
                v.kind = 3;
                v.payload.i = iv;
            }
            break;
        case ZARVEL_TAG_FLOAT:
            if (number_of(t, len, &kind, &iv, &dv)) {
                v.kind = 4;
                v.payload.f = kind == ZVL_JSON_NUMBER_INT ? static_cast<double>(iv) : dv;
            }
            break;
        default: break;
        }
        place(t, len, &v.offset, &v.length);
        std::memcpy(slot(d, sizeof v), &v, sizeof v);
        return step::go;
    }
    }
}

step loader::walk(uint32_t d, const zarvel_node *n) {
    const zarvel_descriptor_node &desc = nodes[d];
    int32_t kind = zarvel_node_kind(n);
    switch (desc.kind) {
    case 0: return leaf(d, n);
    case 1: {
        if (kind != ZARVEL_NODE_SEQUENCE) return step::stop;
        if (desc.first_child >= node_count) return step::error;
        uint64_t count = zarvel_node_seq_count(n);
        for (uint64_t i = 0; i < count; ++i) {
            zarvel_node *item = zarvel_node_seq_at(n, i);
            if (!item) {
                memory = true;
                return step::stop;
            }
            step s = walk(desc.first_child, item);
            if (s != step::go) return s;
        }
        return step::go;
    }
    case 2: {
        if (kind != ZARVEL_NODE_MAPPING) return step::stop;
        uint64_t count = zarvel_node_map_count(n);
        uint32_t mark = zarvel_node_id(n) + 1;
        for (uint64_t i = 0; i < count; ++i) {
            zarvel_node *key = nullptr, *value = nullptr;
            if (zarvel_node_map_at(n, i, &key, &value) != 0 || !key || !value) {
                memory = true;
                return step::stop;
            }
            uint64_t klen = 0;
            const char *k = zarvel_node_value(key, &klen);
            if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR) continue;
            uint64_t end = static_cast<uint64_t>(desc.first_child) + desc.child_count;
            for (uint64_t c = desc.first_child; c < end && c < node_count; ++c) {
                const char *name = nodes[c].name;
                if (!name || std::strlen(name) != klen || (klen && std::memcmp(name, k, klen))) continue;
                bool once = (nodes[c].flags & 2) != 0;
                if (once && unique[c] == mark) break;
                step s = walk(static_cast<uint32_t>(c), value);
                if (s != step::go) return s;
                if (once) unique[c] = mark;
                break;
            }
        }
        return step::go;
    }
    case 3: {
        auto *w = static_cast<uint32_t *>(slot(d, 16));
        if (!w) return step::stop;
        w[0] = w[1] = w[2] = w[3] = 0;
        if (kind == ZARVEL_NODE_SCALAR || kind == ZARVEL_NODE_ALIAS) {
            uint64_t len = 0;
            const char *t = zarvel_node_value(n, &len);
            place(t, t ? len : 0, &w[0], &w[1]);
            w[2] = w[0];
        }
        return step::go;
    }
    default: return step::error;
    }
}

}  // namespace

int32_t zarvel_schema_load(const char *text, uint64_t length, int32_t schema, const zarvel_descriptor_node *nodes,
                           uint32_t node_count, uint32_t abi, zarvel_column *columns) {
    if ((!text && length) || !nodes || node_count == 0 || !columns) return 6;
    if (abi != ZARVEL_DESCRIPTOR_ABI) {
        zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, zvl::typed::message::descriptor_abi, abi,
                         ZARVEL_DESCRIPTOR_ABI);
        return 6;
    }
    for (uint32_t i = 0; i < node_count; ++i)
        if (nodes[i].reserved != 0) return 6;
    for (uint32_t i = 0; i < node_count; ++i) columns[i].count = 0;

    zarvel_parse_options options{schema == 1 ? 1 : 0, 0};
    int32_t status = 0;
    zarvel_document *doc = zarvel_parse_ex(text ? text : "", length, &options, &status);
    if (!doc) return status == 2 || zarvel_error_current()->code == 2 ? 2 : 1;
    struct doc_guard {
        zarvel_document *d;
        ~doc_guard() { zarvel_document_free(d); }
    } guard{doc};
    // A deferred build that runs out of memory reports no documents.
    if (!zarvel_document_body(doc)) return 2;
    if (zarvel_document_count(doc) == 0) return 1;
    zarvel_node *root = zarvel_document_root(doc, 0);
    if (!root) return 2;
    auto *unique = static_cast<uint32_t *>(zvl::allocate(&zarvel_default_allocator, sizeof(uint32_t) * node_count));
    if (!unique) return 2;
    std::memset(unique, 0, sizeof(uint32_t) * node_count);
    loader l{text, length, schema == 1, nodes, node_count, columns, unique};
    step result = l.walk(0, root);
    zvl::deallocate(&zarvel_default_allocator, unique);
    if (l.memory) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        return 2;
    }
    if (result == step::error) {
        if (l.not_number >= 0) {
            zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, zvl::typed::message::not_a_number,
                             static_cast<int>(l.not_number));
            return 1;
        }
        return 6;
    }
    for (uint32_t i = 0; i < node_count; ++i) {
        if ((nodes[i].flags & 1) && nodes[i].name && columns[i].count == 0) {
            zarvel_error_set(zarvel_error_current(), 13, 0, 0, 0, zvl::typed::message::required_missing, i);
            return 9;
        }
    }
    if (l.overflow) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, zvl::typed::message::column_capacity);
        return 2;
    }
    return 0;
}
