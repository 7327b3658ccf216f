// JSON tape and JSON document plus walk, beside simdjson, RapidJSON and
// nlohmann-json.
#if ZB_HAVE_SIMDJSON
#include <simdjson.h>
#endif
#if ZB_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif
#if ZB_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

#if ZB_HAVE_SIMDJSON
uint64_t walk_simdjson(simdjson::dom::element e) {
    uint64_t n = 1;
    switch (e.type()) {
    case simdjson::dom::element_type::ARRAY:
        for (simdjson::dom::element child : e.get_array()) n += walk_simdjson(child);
        break;
    case simdjson::dom::element_type::OBJECT:
        for (simdjson::dom::key_value_pair field : e.get_object()) n += 1 + field.key.size() + walk_simdjson(field.value);
        break;
    case simdjson::dom::element_type::STRING: n += std::string_view(e.get_string()).size(); break;
    default: break;
    }
    return n;
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

void document_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("JSON document + walk", in.name, t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_parse_json(t.data(), t.size(), &status);
            if (!doc) return false;
            sink_value = walk_document(doc);
            zarvel_document_free(doc);
            return true;
        });
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
void run_document(const input_dirs &dirs) { document_cases(json_inputs(dirs)); }

}  // namespace

ZB_FAMILY("json-tape", 40, run_tape);
static const zb::family document_registration("json-doc", 50, run_document);
