// JSON tape and JSON document plus walk, beside simdjson, RapidJSON and
// nlohmann-json; JSON parse plus the walk through the read API a host does,
// beside yyjson and simdjson, whose walks read their parsed numbers.
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

// api: the walk through the read API, beside yyjson and simdjson; else the
// children walk beside simdjson, RapidJSON and nlohmann.
void document_cases(const std::vector<named_input> &inputs, bool api) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row(api ? "JSON parse + API walk" : "JSON document + walk", in.name, t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_parse_json(t.data(), t.size(), &status);
            if (!doc) return false;
            sink_value = api ? walk_api_document(doc) : walk_document(doc);
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

void run_tape(const input_dirs &dirs) { tape_cases(json_inputs(dirs)); }
void run_document(const input_dirs &dirs) { document_cases(json_inputs(dirs), false); }
void run_api(const input_dirs &dirs) { document_cases(json_inputs(dirs), true); }

}  // namespace

ZB_FAMILY("json-tape", 40, run_tape);
static const zb::family document_registration("json-doc", 50, run_document);
static const zb::family api_registration("json-api", 55, run_api);
