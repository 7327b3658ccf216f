// JSON tape and JSON document plus walk, beside simdjson, RapidJSON and
// nlohmann-json; JSON parse plus the walk through the read API a host does
// (handle by handle, and children by id), beside yyjson and simdjson, whose
// walks read their parsed numbers.
#if ZB_HAVE_SIMDJSON
#include <simdjson.h>
#endif
#if ZB_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif
#if ZB_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if ZB_HAVE_YYJSON
#include <yyjson.h>
#endif
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

#if ZB_HAVE_SIMDJSON
uint64_t walk_simdjson(simdjson::dom::element e) {
    switch (e.type()) {
    case simdjson::dom::element_type::ARRAY: {
        uint64_t total = 1;
        for (simdjson::dom::element child : e.get_array()) total += walk_simdjson(child);
        return total;
    }
    case simdjson::dom::element_type::OBJECT: {
        uint64_t total = 1;
        for (simdjson::dom::key_value_pair field : e.get_object())
            total += 1 + field.key.size() + walk_simdjson(field.value);
        return total;
    }
    case simdjson::dom::element_type::INT64: return 1 + uint64_t(int64_t(e.get_int64()));
    case simdjson::dom::element_type::UINT64: return 1 + uint64_t(e.get_uint64());
    case simdjson::dom::element_type::DOUBLE: return 1 + uint64_t(double(e.get_double()) != 0);
    case simdjson::dom::element_type::STRING: return 1 + std::string_view(e.get_string()).size();
    default: return 1;
    }
}
#endif

#if ZB_HAVE_YYJSON
uint64_t walk_yyjson(yyjson_val *v) {
    switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_ARR: {
        uint64_t total = 1;
        yyjson_val *item;
        yyjson_arr_iter it = yyjson_arr_iter_with(v);
        while ((item = yyjson_arr_iter_next(&it))) total += walk_yyjson(item);
        return total;
    }
    case YYJSON_TYPE_OBJ: {
        uint64_t total = 1;
        yyjson_val *key;
        yyjson_obj_iter it = yyjson_obj_iter_with(v);
        while ((key = yyjson_obj_iter_next(&it))) total += walk_yyjson(key) + walk_yyjson(yyjson_obj_iter_get_val(key));
        return total;
    }
    case YYJSON_TYPE_NUM:
        if (yyjson_is_real(v)) return 1 + uint64_t(yyjson_get_real(v) != 0);
        return 1 + uint64_t(yyjson_get_sint(v));
    case YYJSON_TYPE_STR: return 1 + yyjson_get_len(v);
    default: return 1;
    }
}
#endif

#if ZB_HAVE_RAPIDJSON
uint64_t walk_rapidjson(const rapidjson::Value &v) {
    uint64_t n = 1;
    if (v.IsArray()) {
        for (const auto &child : v.GetArray()) n += walk_rapidjson(child);
    } else if (v.IsObject()) {
        for (const auto &m : v.GetObject()) n += 1 + m.name.GetStringLength() + walk_rapidjson(m.value);
    } else if (v.IsString()) {
        n += v.GetStringLength();
    }
    return n;
}
#endif

// The walk of walk_api_document through zarvel_node_child_ids: children by
// id and kind in blocks, a handle only for the nodes whose texts are read.
uint64_t walk_ids(zarvel_document *doc, const zarvel_node *n, uint8_t kind) {
    if (kind == ZARVEL_NODE_SEQUENCE || kind == ZARVEL_NODE_MAPPING) {
        constexpr uint64_t block = 64;
        uint32_t ids[block];
        uint8_t kinds[block];
        uint64_t total = 1, count = 0;
        for (uint64_t first = 0; zarvel_node_child_ids(n, first, ids, kinds, block, &count) == 0 && first < count;
             first += block) {
            uint64_t got = count - first < block ? count - first : block;
            for (uint64_t k = 0; k < got; ++k) total += walk_ids(doc, zarvel_document_node(doc, ids[k]), kinds[k]);
        }
        return total;
    }
    return kind == ZARVEL_NODE_SCALAR ? walk_api_scalar(n) : 1;
}

uint64_t walk_ids_document(zarvel_document *doc) {
    uint64_t total = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d)
        if (const zarvel_node *root = zarvel_document_root(doc, d))
            total += walk_ids(doc, root, uint8_t(zarvel_node_kind(root)));
    return total;
}

// The same walk through zarvel_document_child_views: each block of
// children with kinds, texts and numbers in one call, by node id, so the
// walk makes no handle but the root's.
uint64_t walk_views(zarvel_document *doc, uint32_t id, uint64_t count) {
    constexpr uint64_t block = 64;
    zarvel_node_view views[block];
    uint64_t total = 1;
    for (uint64_t first = 0; first < count; first += block) {
        if (zarvel_document_child_views(doc, id, first, ZARVEL_VIEW_NUMBERS, views, block, &count) != 0) break;
        const uint64_t got = count - first < block ? count - first : block;
        for (uint64_t k = 0; k < got; ++k) {
            const zarvel_node_view &v = views[k];
            if (v.kind == ZARVEL_NODE_SEQUENCE || v.kind == ZARVEL_NODE_MAPPING)
                total += walk_views(doc, v.id, v.length);
            else if (v.number_kind == 1)
                total += 1 + uint64_t(v.number.integer);
            else if (v.number_kind == 2)
                total += 1 + uint64_t(v.number.real != 0);
            else
                total += 1 + (v.kind == ZARVEL_NODE_SCALAR ? v.length : 0);
        }
    }
    return total;
}

uint64_t walk_views_document(zarvel_document *doc) {
    uint64_t total = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d)
        if (const zarvel_node *root = zarvel_document_root(doc, d)) {
            const int32_t kind = zarvel_node_kind(root);
            total += kind == ZARVEL_NODE_SEQUENCE || kind == ZARVEL_NODE_MAPPING
                         ? walk_views(doc, zarvel_node_id(root), zarvel_node_children(root, nullptr, 0))
                     : kind == ZARVEL_NODE_SCALAR ? walk_api_scalar(root)
                                                  : 1;
        }
    return total;
}

// The same sum from zarvel_document_views: the nodes in document order, in
// blocks, the tree kept as a stack of the children each open collection
// still has.
uint64_t walk_order(zarvel_document *doc, uint32_t root) {
    constexpr uint64_t block = 256;
    constexpr int levels = 1024;  // more than the library nests
    zarvel_node_view views[block];
    uint64_t left[levels + 1];
    uint64_t total = 0, next = 0, count = 0, at = 0, got = 0;
    int depth = 0;
    left[0] = 1;
    for (;;) {
        while (left[depth] == 0)
            if (--depth < 0) return total;
        --left[depth];
        if (at == got) {
            if (zarvel_document_views(doc, root, next, ZARVEL_VIEW_NUMBERS, views, block, &count) != 0 || next >= count)
                return total;
            got = count - next < block ? count - next : block;
            next += got;
            at = 0;
        }
        const zarvel_node_view &v = views[at++];
        if (v.kind == ZARVEL_NODE_SEQUENCE || v.kind == ZARVEL_NODE_MAPPING) {
            total += 1;
            if (depth == levels) return total;
            left[++depth] = v.length;
        } else if (v.number_kind == 1) {
            total += 1 + uint64_t(v.number.integer);
        } else if (v.number_kind == 2) {
            total += 1 + uint64_t(v.number.real != 0);
        } else {
            total += 1 + (v.kind == ZARVEL_NODE_SCALAR ? v.length : 0);
        }
    }
}

uint64_t walk_order_document(zarvel_document *doc) {
    uint64_t total = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d) total += walk_order(doc, d);
    return total;
}

void tape_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("JSON tape", in.name, t.size(), [&] {
            zarvel_tape tape{};
            bool ok = zarvel_parse_json_tape(t.data(), t.size(), &tape) == 0;
            sink_value = tape.count;
            zarvel_tape_free(&tape);
            return ok;
        });
#if ZB_HAVE_SIMDJSON
        simdjson::dom::parser parser;
        simdjson::padded_string padded(t);
        peer(r, "simdjson DOM", [&] { return parser.parse(padded).error() == simdjson::SUCCESS; });
#endif
#if ZB_HAVE_RAPIDJSON
        peer(r, "RapidJSON DOM", [&] {
            rapidjson::Document d;
            d.Parse(t.data(), t.size());
            return !d.HasParseError();
        });
#endif
        (void)r;
    }
}

// Peak resident memory of one tape parse (and of each peer's parse), per
// input megabyte, each in a forked child. The peers parse the input as their
// speed rows do: simdjson from a padded copy made beforehand, with a fresh
// parser; yyjson from the text (its own padded copy counts).
void tape_memory_cases(const std::vector<named_input> &inputs, bool allocated) {
    const std::string operation =
        allocated ? "JSON tape peak memory allocated, MB per input MB (ratio below 1: zarvel uses less)"
                  : "JSON tape peak memory, MB per input MB (ratio below 1: zarvel uses less)";
    const char *label = allocated ? "JSON tape allocated" : "JSON tape memory";
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        rows.push_back({operation, in.name, t.size(), {}, {}, {}});
        row &r = rows.back();
        r.zarvel = peak_memory(
            t.size(),
            [&] {
                zarvel_tape tape{};
                bool ok = zarvel_parse_json_tape(t.data(), t.size(), &tape) == 0;
                sink_value = tape.count;
                zarvel_tape_free(&tape);
                return ok;
            },
            allocated);
        std::fprintf(stderr, "%-22s %-26s zarvel %.2f MB/MB\n", label, in.name.c_str(), r.zarvel.mbps);
#if ZB_HAVE_SIMDJSON
        simdjson::padded_string padded(t);
        r.peers.emplace_back("simdjson DOM", peak_memory(
                                                 t.size(),
                                                 [&] {
                                                     simdjson::dom::parser parser;
                                                     return parser.parse(padded).error() == simdjson::SUCCESS;
                                                 },
                                                 allocated));
        std::fprintf(stderr, "%-22s %-26s simdjson DOM %.2f MB/MB\n", label, in.name.c_str(),
                     r.peers.back().second.mbps);
#endif
#if ZB_HAVE_YYJSON
        r.peers.emplace_back("yyjson read", peak_memory(
                                                t.size(),
                                                [&] {
                                                    yyjson_doc *doc = yyjson_read(t.data(), t.size(), 0);
                                                    if (!doc) return false;
                                                    sink_value = yyjson_doc_get_val_count(doc);
                                                    yyjson_doc_free(doc);
                                                    return true;
                                                },
                                                allocated));
        std::fprintf(stderr, "%-22s %-26s yyjson read %.2f MB/MB\n", label, in.name.c_str(),
                     r.peers.back().second.mbps);
#endif
        (void)r;
    }
}

enum class walk_kind { children, api, ids, views, order };

// The order walk's document is parsed to be read in order: its views are
// written by the parse, its nodes made only for other reads.
zarvel_document *parse_for(walk_kind how, const std::string &t, int32_t *status) {
    const zarvel_json_options in_order{sizeof(zarvel_json_options), ZARVEL_JSON_IN_ORDER};
    return zarvel_parse_json_ex(t.data(), t.size(), how == walk_kind::order ? &in_order : nullptr, status);
}

// api, ids, views and order: the walk through the read API (handles one by
// one, children by id, children's views, or views in document order),
// beside yyjson and simdjson;
// children: the children walk beside simdjson, RapidJSON and nlohmann.
void document_cases(const std::vector<named_input> &inputs, walk_kind how) {
    static const char *const titles[] = {"JSON document + walk", "JSON parse + API walk", "JSON parse + id walk",
                                         "JSON parse + view walk", "JSON parse + order walk"};
    const bool api = how != walk_kind::children;
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        if (how == walk_kind::views || how == walk_kind::order) {
            // The view walks sum what the handle walk sums (which builds the
            // nodes of a document parsed to be read in order).
            zarvel_document *doc = parse_for(how, t, nullptr);
            const uint64_t by_views = how == walk_kind::views ? walk_views_document(doc) : walk_order_document(doc);
            const uint64_t by_handles = walk_api_document(doc);
            zarvel_document_free(doc);
            if (by_views != by_handles)
                std::fprintf(stderr, "%s of %s sums %llu, the API walk %llu\n", titles[int(how)], in.name.c_str(),
                             (unsigned long long)by_views, (unsigned long long)by_handles);
        }
        row &r = start_row(titles[int(how)], in.name, t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = parse_for(how, t, &status);
            if (!doc) return false;
            sink_value = how == walk_kind::api     ? walk_api_document(doc)
                         : how == walk_kind::ids   ? walk_ids_document(doc)
                         : how == walk_kind::views ? walk_views_document(doc)
                         : how == walk_kind::order ? walk_order_document(doc)
                                                   : walk_document(doc);
            zarvel_document_free(doc);
            return true;
        });
#if ZB_HAVE_YYJSON
        if (api)
            peer(r, "yyjson read + walk", [&] {
                yyjson_doc *doc = yyjson_read(t.data(), t.size(), 0);
                if (!doc) return false;
                sink_value = walk_yyjson(yyjson_doc_get_root(doc));
                yyjson_doc_free(doc);
                return true;
            });
#endif
#if ZB_HAVE_SIMDJSON
        simdjson::dom::parser parser;
        simdjson::padded_string padded(t);
        peer(r, "simdjson DOM + walk", [&] {
            simdjson::dom::element root;
            if (parser.parse(padded).get(root)) return false;
            sink_value = walk_simdjson(root);
            return true;
        });
#endif
        if (api) continue;
#if ZB_HAVE_RAPIDJSON
        peer(r, "RapidJSON DOM + walk", [&] {
            rapidjson::Document d;
            d.Parse(t.data(), t.size());
            if (d.HasParseError()) return false;
            sink_value = walk_rapidjson(d);
            return true;
        });
#endif
#if ZB_HAVE_NLOHMANN
        peer(r, "nlohmann parse", [&] {
            nlohmann::json j = nlohmann::json::parse(t, nullptr, false);
            return !j.is_discarded();
        });
#endif
        (void)r;
    }
}

void run_tape(const input_dirs &dirs) {
    auto inputs = json_inputs(dirs);
    tape_cases(inputs);
    tape_memory_cases(inputs, false);
    tape_memory_cases(inputs, true);
}
void run_document(const input_dirs &dirs) { document_cases(json_inputs(dirs), walk_kind::children); }
void run_api(const input_dirs &dirs) {
    document_cases(json_inputs(dirs), walk_kind::api);
    document_cases(json_inputs(dirs), walk_kind::ids);
    document_cases(json_inputs(dirs), walk_kind::views);
    document_cases(json_inputs(dirs), walk_kind::order);
}

}  // namespace

ZB_FAMILY("json-tape", 40, run_tape);
static const zb::family document_registration("json-doc", 50, run_document);
static const zb::family api_registration("json-api", 55, run_api);
