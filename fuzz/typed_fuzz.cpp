// libFuzzer target over the typed entries: the value drain (records and
// columns, both schemas), Marshal of a text and of a node, and schema load
// with fixed descriptors. Records and columns of one text must agree, every
// record's text must lie inside the pool, Marshal of a text and of its first
// root must give the same bytes, spans of schema load must lie inside the
// input, and a counting descriptor must count the items of a root sequence.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "zarvel.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

// Root mapping {items: [{id, name, x, ok, v, s}...], n: value}; a second tree
// counts the items of a root sequence.
const zarvel_descriptor_node records[] = {
    {nullptr, 2, 0, 0, 1, 2, 0}, {"items", 1, 0, 0, 3, 1, 0}, {"n", 0, 5, 0, 0, 0, 0}, {nullptr, 2, 0, 0, 4, 6, 0},
    {"id", 0, 1, 1, 0, 0, 0},    {"name", 0, 0, 2, 0, 0, 0},  {"x", 0, 2, 0, 0, 0, 0}, {"ok", 0, 3, 0, 0, 0, 0},
    {"v", 0, 5, 0, 0, 0, 0},     {"s", 3, 0, 0, 0, 0, 0},
};
const zarvel_descriptor_node counter[] = {{nullptr, 1, 0, 0, 1, 1, 0}, {nullptr, 0, 4, 0, 0, 0, 0}};

void check_spans(const uint32_t *words, uint32_t count, uint64_t size) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset = words[4 * i], length = words[4 * i + 1];
        if (uint64_t(offset) + length > size && offset != 0) mismatch();
    }
}

void schema_loads(const char *text, size_t size, int32_t schema) {
    constexpr uint32_t cap = 64;
    int64_t ids[cap];
    uint32_t names[4 * cap], spans[4 * cap];
    double xs[cap];
    uint8_t oks[cap];
    zarvel_value values[cap], n[cap];
    zarvel_column columns[] = {{nullptr, 0, 0}, {nullptr, 0, 0}, {n, cap, 0},   {nullptr, 0, 0},  {ids, cap, 0},
                               {names, cap, 0}, {xs, cap, 0},    {oks, cap, 0}, {values, cap, 0}, {spans, cap, 0}};
    int32_t status = zarvel_schema_load(text, size, schema, records, 10, 1, columns);
    if (status != 0 && status != 1 && status != 2 && status != 9) mismatch();
    for (const zarvel_column &c : columns)
        if (c.count > cap && c.data) mismatch();
    check_spans(names, columns[5].count, size);
    check_spans(spans, columns[9].count, size);

    zarvel_column counted[] = {{nullptr, 0, 0}, {nullptr, 1u << 20, 0}};
    status = zarvel_schema_load(text, size, schema, counter, 2, 1, counted);
    if (status == 0) {
        zarvel_parse_options options{schema, 0};
        zarvel_document *doc = zarvel_parse_ex(text, size, &options, nullptr);
        zarvel_node *root = zarvel_document_root(doc, 0);
        if (root && zarvel_node_kind(root) == ZARVEL_NODE_SEQUENCE && zarvel_node_seq_count(root) != counted[1].count)
            mismatch();
        zarvel_document_free(doc);
    }
}

// Marshal of the text's first document and of the parsed first root agree.
void marshal_both(const char *text, size_t size, int32_t schema) {
    char *from_text = nullptr, *from_node = nullptr;
    uint64_t text_len = 0, node_len = 0;
    if (zarvel_marshal(text, size, schema, 1, &from_text, &text_len) == 0) {
        // Strict JSON with a bracket or string root is read as JSON (which
        // keeps U+2028 in strings, where YAML 1.1 reads a line break), so
        // only YAML texts are compared with the node's bytes.
        size_t at = 0;
        while (at < size && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
        bool json = at < size && (text[at] == '[' || text[at] == '{' || text[at] == '"') &&
                    zvl_json_document(text, size, nullptr);
        if (json) {
            zarvel_marshal_free(from_text);
            return;
        }
        zarvel_parse_options options{schema, 0};
        zarvel_document *doc = zarvel_parse_ex(text, size, &options, nullptr);
        zarvel_node *root = zarvel_document_root(doc, 0);
        int32_t status = root ? zarvel_marshal_node(root, &from_node, &node_len) : -1;
        if (status == 8) mismatch();
        if (status == 0 && (node_len != text_len || std::memcmp(from_node, from_text, text_len) != 0)) mismatch();
        zarvel_marshal_free(from_node);
        zarvel_document_free(doc);
    }
    zarvel_marshal_free(from_text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    for (int32_t schema : {0, 1}) {
        zarvel_value *values = nullptr;
        char *pool = nullptr;
        uint64_t count = 0, pool_len = 0;
        int32_t status = zarvel_value_drain(text, size, schema, &values, &count, &pool, &pool_len);
        zarvel_value_columns columns{};
        int32_t column_status = zarvel_value_drain_columns(text, size, schema, &columns);
        if (status != column_status && status != 2 && column_status != 2) mismatch();
        if (status == 0) {
            for (uint64_t i = 0; i < count; ++i)
                if (uint64_t(values[i].offset) + values[i].length > pool_len) mismatch();
        }
        if (status == 0 && column_status == 0) {
            if (columns.count != count || columns.pool_length != pool_len) mismatch();
            for (uint64_t i = 0; i < count; ++i) {
                if (columns.kind[i] != values[i].kind || columns.tag[i] != values[i].tag ||
                    columns.is_key[i] != values[i].is_key || columns.flag[i] != values[i].flag ||
                    columns.offset[i] != values[i].offset || columns.length[i] != values[i].length ||
                    columns.payload[i] != values[i].payload.bits)
                    mismatch();
            }
            if (pool_len && std::memcmp(columns.pool, pool, pool_len) != 0) mismatch();
        }
        zarvel_value_free(values, pool);
        zarvel_value_free_columns(&columns);

        for (uint32_t single : {0u, 1u}) {
            char *bytes = nullptr;
            uint64_t length = 0;
            int32_t marshal_status = zarvel_marshal(text, size, schema, single, &bytes, &length);
            if (marshal_status == 8) mismatch();  // the writer's two passes disagreed
            zarvel_marshal_free(bytes);
        }
        schema_loads(text, size, schema);
        marshal_both(text, size, schema);
    }
    return 0;
}
