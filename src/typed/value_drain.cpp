// Value drain: the event parser's events flattened into typed records.
#include <cstring>

#include "core/error.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "json/validate.hpp"
#include "json/number_value.hpp"
#include "typed/value_list.hpp"
#include "yaml/decode.hpp"
#include "yaml/parser.hpp"

namespace zvl::typed {

bool value_list::add(uint8_t kind, uint8_t tag, uint8_t flag, const char *text, uint64_t length,
                     uint64_t payload_bits) {
    zarvel_value v{};
    v.kind = kind;
    v.tag = tag;
    v.flag = flag;
    v.payload.bits = payload_bits;
    bool node = (kind >= kind_null && kind <= kind_map) || kind == kind_alias;
    if (node && depth_ >= 1 && depth_ <= key_toggle_depths) {
        toggles_[depth_] ^= 1;
        v.is_key = toggles_[depth_];
    }
    if (text && kind != kind_document && kind != kind_end) {
        if (length > UINT32_MAX || pool.size() + length + 1 > UINT32_MAX) return false;
        v.offset = static_cast<uint32_t>(pool.size());
        v.length = static_cast<uint32_t>(length);
        if (!pool.reserve(pool.size() + length + 1)) return false;
        pool.append(text, length);
        pool.push_back('\0');
    }
    if (!values.push_back(v)) return false;
    if (kind == kind_seq || kind == kind_map) {
        ++depth_;
        if (depth_ <= key_toggle_depths) toggles_[depth_] = 0;
    } else if (kind == kind_end && depth_ > 0) {
        --depth_;
    }
    return true;
}

namespace {

// The resolver reads float texts of at most this many bytes.
constexpr uint64_t long_float_limit = 79;

enum class long_read { number, not_decimal, memory };

constexpr bool digit(char c) { return c >= '0' && c <= '9'; }

// A float text too long for the resolver's reader: an optional sign, digits
// (single "_" between digits allowed), an optional fraction and an optional
// exponent, as the float forms of both schemas write them. The value is
// read from the significant digits, so nothing is lost to the length.
long_read long_decimal(const char *text, uint64_t length, double &out) {
    uint64_t i = 0;
    const bool plus = text[0] == '+';
    if (text[0] == '+' || text[0] == '-') ++i;
    uint64_t mantissa_digits = 0, underscores = 0;
    auto run = [&] {
        while (i < length && (digit(text[i]) || (text[i] == '_' && i > 0 && digit(text[i - 1]) && i + 1 < length &&
                                                 digit(text[i + 1])))) {
            if (text[i] == '_')
                ++underscores;
            else
                ++mantissa_digits;
            ++i;
        }
    };
    run();
    if (i < length && text[i] == '.') {
        ++i;
        run();
    }
    if (mantissa_digits == 0) return long_read::not_decimal;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
        const uint64_t first = i;
        while (i < length && digit(text[i])) ++i;
        if (i == first) return long_read::not_decimal;
    }
    if (i != length) return long_read::not_decimal;
    if (!plus && underscores == 0) {
        out = zvl::json::lexeme_to_double(text, length);
        return long_read::number;
    }
    // The reader takes no "+" and no separators: read a copy without them.
    buffer<char, 256> copy;
    if (!copy.reserve(length)) return long_read::memory;
    for (uint64_t k = plus ? 1 : 0; k < length; ++k)
        if (text[k] != '_') copy.push_back(text[k]);
    out = zvl::json::lexeme_to_double(copy.data(), copy.size());
    return long_read::number;
}

}  // namespace

bool value_list::add_scalar(uint8_t tag, uint8_t plain_implicit, const char *text, uint64_t length, bool octal_zero) {
    uint8_t kind = kind_string;
    uint8_t flag = plain_implicit;
    uint64_t bits = 0;
    uint32_t n = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    switch (tag) {
    case ZARVEL_TAG_INT: {
        int64_t v = 0;
        if (length <= UINT32_MAX && zvl::read_int(text, n, octal_zero, v)) {
            kind = kind_int;
            std::memcpy(&bits, &v, 8);
        }
        break;
    }
    case ZARVEL_TAG_FLOAT: {
        double d = 0;
        bool ok = length <= UINT32_MAX && zvl_num_f64(text, n, &d) == 0;
        if (!ok && text && length > long_float_limit) {
            switch (long_decimal(text, length, d)) {
            case long_read::number: ok = true; break;
            case long_read::memory: return false;
            case long_read::not_decimal: break;
            }
        }
        if (ok) {
            kind = kind_float;
            std::memcpy(&bits, &d, 8);
        }
        break;
    }
    case ZARVEL_TAG_BOOL:
        kind = kind_bool;
        flag = zvl_num_bool_ci(text, n) ? 1 : 0;
        break;
    case ZARVEL_TAG_NULL: kind = kind_null; break;
    case ZARVEL_TAG_TIMESTAMP: kind = kind_timestamp; break;
    default: break;
    }
    return add(kind, tag, flag, text ? text : "", length, bits);
}

bool value_list::ensure_pool() {
    // Every text already ends in a NUL; an empty pool still gets one byte.
    if (pool.size() > 0) return true;
    if (!pool.reserve(1)) return false;
    pool.data()[0] = '\0';
    return true;
}

// Records of a document node: anchor, scalar, alias or collection with its
// children; a null handle inside a collection means memory ran out.
walk records_of(const zarvel_node *node, value_list &list, bool refuse_tags) {
    uint64_t n = 0;
    const char *tag = zarvel_node_tag(node, &n);
    if (refuse_tags && tag && n) return walk::tagged;
    int32_t kind = zarvel_node_kind(node);
    uint64_t len = 0;
    if (kind != ZARVEL_NODE_ALIAS) {
        const char *anchor = zarvel_node_anchor(node, &len);
        if (anchor && len && !list.add(kind_anchor, 0, 0, anchor, len, 0)) return walk::memory;
    }
    uint8_t tag_id = static_cast<uint8_t>(zarvel_node_tag_id(node));
    switch (kind) {
    case ZARVEL_NODE_SCALAR: {
        const char *value = zarvel_node_value(node, &len);
        uint8_t plain = zarvel_node_style(node) == ZARVEL_NODE_STYLE_PLAIN ? 1 : 0;
        const zarvel_node_store *store = node->document->store;
        const bool octal_zero = store && zarvel_octal_zero(store->resolver);
        return list.add_scalar(tag_id, plain, value ? value : "", len, octal_zero) ? walk::ok : walk::memory;
    }
    case ZARVEL_NODE_ALIAS: {
        const char *name = zarvel_node_value(node, &len);
        return list.add(kind_alias, 0, 0, name ? name : "", len, 0) ? walk::ok : walk::memory;
    }
    case ZARVEL_NODE_SEQUENCE:
    case ZARVEL_NODE_MAPPING: {
        bool map = kind == ZARVEL_NODE_MAPPING;
        if (!list.add(map ? kind_map : kind_seq, tag_id, 0, nullptr, 0, 0)) return walk::memory;
        uint64_t count = map ? zarvel_node_map_count(node) : zarvel_node_seq_count(node);
        for (uint64_t k = 0; k < count; ++k) {
            if (map) {
                zarvel_node *key = nullptr, *value = nullptr;
                if (zarvel_node_map_at(node, k, &key, &value) != 0 || !key || !value) return walk::memory;
                walk r = records_of(key, list, refuse_tags);
                if (r != walk::ok) return r;
                r = records_of(value, list, refuse_tags);
                if (r != walk::ok) return r;
            } else {
                zarvel_node *item = zarvel_node_seq_at(node, k);
                if (!item) return walk::memory;
                walk r = records_of(item, list, refuse_tags);
                if (r != walk::ok) return r;
            }
        }
        return list.add(kind_end, 0, 0, nullptr, 0, 0) ? walk::ok : walk::memory;
    }
    default: return walk::memory;
    }
}

namespace {

struct drain_sink_state {
    value_list *list;
    bool octal_zero;  // the YAML 1.1 schema
    bool failed = false;
};

int on_event(void *user, const zarvel_event *e) {
    auto *state = static_cast<drain_sink_state *>(user);
    value_list &list = *state->list;
    bool ok = true;
    auto anchor = [&] {
        if (e->anchor.length == 0) return true;
        return list.add(kind_anchor, 0, 0, e->anchor.data, e->anchor.length, 0);
    };
    switch (e->kind) {
    case ZARVEL_EVENT_DOCUMENT_START: ok = list.add(kind_document, 0, 0, nullptr, 0, 0); break;
    case ZARVEL_EVENT_SEQUENCE_START: ok = anchor() && list.add(kind_seq, e->tag_id, 0, nullptr, 0, 0); break;
    case ZARVEL_EVENT_MAPPING_START: ok = anchor() && list.add(kind_map, e->tag_id, 0, nullptr, 0, 0); break;
    case ZARVEL_EVENT_SEQUENCE_END:
    case ZARVEL_EVENT_MAPPING_END: ok = list.add(kind_end, 0, 0, nullptr, 0, 0); break;
    case ZARVEL_EVENT_SCALAR:
        ok = anchor() && list.add_scalar(e->tag_id, e->plain_implicit, e->text.data, e->text.length, state->octal_zero);
        break;
    case ZARVEL_EVENT_ALIAS:
        ok = list.add(kind_alias, 0, 0, e->text.data ? e->text.data : "", e->text.length, 0);
        break;
    default: break;
    }
    if (!ok) {
        state->failed = true;
        return 1;
    }
    return 0;
}

}  // namespace

int32_t drain_text(const char *text, uint64_t length, int32_t schema, value_list &list) {
    if (!text && length != 0) return 6;
    if (!text) text = "";
    // Strict JSON is read in place: its line separators are text, not breaks.
    // A lone JSON string goes the same way, since the YAML reader would take
    // a U+2028 or U+2029 in it for a line break and fold it into a space
    // (every other lone JSON value reads alike on both paths, and the chosen
    // schema still applies to those).
    uint64_t start = 0;
    while (start < length && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r' || text[start] == '\n'))
        ++start;
    if (start < length && (text[start] == '[' || text[start] == '{' || text[start] == '"') &&
        zvl::json_validate(text, length, zarvel_store_max_depth).valid) {
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_json(text, length, &status);
        if (doc) {
            walk r = walk::ok;
            uint32_t count = zarvel_document_count(doc);
            if (count == 0) r = walk::memory;  // a failed deferred build
            for (uint32_t k = 0; k < count && r == walk::ok; ++k) {
                zarvel_node *root = zarvel_document_root(doc, k);
                if (!root || !list.add(kind_document, 0, 0, nullptr, 0, 0)) {
                    r = walk::memory;
                    break;
                }
                r = records_of(root, list, false);
            }
            zarvel_document_free(doc);
            if (r != walk::ok || !list.ensure_pool()) {
                zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
                return 2;
            }
            return 0;
        }
        if (status == 2) return 2;
        // Anything else falls through to the YAML parser, which reports it.
    }

    char *owned = nullptr;
    const char *decoded = text;
    uint64_t decoded_length = length;
    int d = zarvel_decode_input(text, length, &owned, &decoded, &decoded_length, schema == 1);
    if (d != 0) return d == 2 ? 2 : 1;
    struct owned_text {
        char *p;
        ~owned_text() { deallocate(&zarvel_default_allocator, p); }
    } hold{owned};

    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!parser) return 2;
    zarvel_parser_set_schema(parser, schema == 1 ? &zarvel_yaml11_resolver : nullptr);
    drain_sink_state state{&list, schema == 1};
    zarvel_sink sink{};
    sink.event = on_event;
    sink.user = &state;
    int rc = zarvel_parser_run(parser, decoded, decoded_length, &sink, true, true);
    zarvel_parser_free(parser);
    if (state.failed) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        return 2;
    }
    if (rc == -1) {
        const zarvel_error *e = zarvel_error_current();
        return e->code == 2 ? 2 : 1;
    }
    if (rc != 0) return 2;
    if (!list.ensure_pool()) return 2;
    return 0;
}

}  // namespace zvl::typed

using zvl::typed::value_list;

int32_t zarvel_value_drain(const char *text, uint64_t length, int32_t schema, zarvel_value **out_values,
                           uint64_t *out_count, char **out_pool, uint64_t *out_pool_len) {
    if (!out_values || !out_count || !out_pool || !out_pool_len) return 6;
    *out_values = nullptr;
    *out_count = 0;
    *out_pool = nullptr;
    *out_pool_len = 0;
    auto *list = zvl::create<value_list>(&zarvel_default_allocator);
    if (!list) return 2;
    int32_t status = zvl::typed::drain_text(text, length, schema, *list);
    if (status == 0) {
        *out_count = list->values.size();
        *out_pool_len = list->pool.size();
        *out_values = list->values.release();
        *out_pool = list->pool.release();
    }
    zvl::destroy(&zarvel_default_allocator, list);
    return status;
}

void zarvel_value_free(zarvel_value *values, char *pool) {
    zvl::deallocate(&zarvel_default_allocator, values);
    zvl::deallocate(&zarvel_default_allocator, pool);
}

int32_t zarvel_value_drain_columns(const char *text, uint64_t length, int32_t schema, zarvel_value_columns *columns) {
    if (!columns) return 6;
    std::memset(columns, 0, sizeof *columns);
    auto *list = zvl::create<value_list>(&zarvel_default_allocator);
    if (!list) return 2;
    int32_t status = zvl::typed::drain_text(text, length, schema, *list);
    if (status == 0) {
        uint64_t n = list->values.size();
        char *block = nullptr;
        if (n) {
            block = static_cast<char *>(zvl::allocate(&zarvel_default_allocator, n * 20));
            if (!block) status = 2;
        }
        if (status == 0) {
            columns->count = n;
            columns->pool_length = list->pool.size();
            if (n) {
                columns->payload = reinterpret_cast<uint64_t *>(block);
                columns->offset = reinterpret_cast<uint32_t *>(block + n * 8);
                columns->length = reinterpret_cast<uint32_t *>(block + n * 12);
                columns->kind = reinterpret_cast<uint8_t *>(block + n * 16);
                columns->tag = columns->kind + n;
                columns->is_key = columns->tag + n;
                columns->flag = columns->is_key + n;
                for (uint64_t i = 0; i < n; ++i) {
                    const zarvel_value &v = list->values[i];
                    columns->payload[i] = v.payload.bits;
                    columns->offset[i] = v.offset;
                    columns->length[i] = v.length;
                    columns->kind[i] = v.kind;
                    columns->tag[i] = v.tag;
                    columns->is_key[i] = v.is_key;
                    columns->flag[i] = v.flag;
                }
            }
            columns->pool = list->pool.release();
        }
    }
    zvl::destroy(&zarvel_default_allocator, list);
    return status;
}

void zarvel_value_free_columns(zarvel_value_columns *columns) {
    if (!columns) return;
    zvl::deallocate(&zarvel_default_allocator, columns->payload);
    zvl::deallocate(&zarvel_default_allocator, columns->pool);
    std::memset(columns, 0, sizeof *columns);
}
