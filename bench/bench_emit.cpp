// Serialisers (YAML beside libyaml's emitter and yaml-cpp, JSON beside
// yyjson's writer, RapidJSON's Writer and nlohmann dump) and shortest double
// formatting.
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>

#include "emit/format_double.hpp"

#if ZB_HAVE_LIBYAML
#include <yaml.h>
#endif
#if ZB_HAVE_YAMLCPP
#include <yaml-cpp/yaml.h>
#endif
#if ZB_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if ZB_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if ZB_HAVE_YYJSON
#include "yyjson_write.hpp"
#endif
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

#if ZB_HAVE_LIBYAML
// Replays a zarvel document as libyaml emitter events.
int write_to_string(void *data, unsigned char *buffer, size_t size) {
    static_cast<std::string *>(data)->append(reinterpret_cast<char *>(buffer), size);
    return 1;
}

bool emit_node(yaml_emitter_t *e, const zarvel_node *n, std::vector<zarvel_node *> &scratch) {
    yaml_event_t ev;
    int32_t kind = zarvel_node_kind(n);
    if (kind == ZARVEL_NODE_SCALAR) {
        uint64_t len = 0;
        const char *v = zarvel_node_value(n, &len);
        yaml_scalar_event_initialize(&ev, nullptr, nullptr, (yaml_char_t *)v, int(len), 1, 1, YAML_ANY_SCALAR_STYLE);
        return yaml_emitter_emit(e, &ev);
    }
    bool seq = kind == ZARVEL_NODE_SEQUENCE;
    if (seq)
        yaml_sequence_start_event_initialize(&ev, nullptr, nullptr, 1, YAML_BLOCK_SEQUENCE_STYLE);
    else
        yaml_mapping_start_event_initialize(&ev, nullptr, nullptr, 1, YAML_BLOCK_MAPPING_STYLE);
    if (!yaml_emitter_emit(e, &ev)) return false;
    uint64_t children = zarvel_node_children(n, nullptr, 0);
    size_t base = scratch.size();
    scratch.resize(base + children);
    zarvel_node_children(n, scratch.data() + base, children);
    for (uint64_t i = 0; i < children; ++i)
        if (!emit_node(e, scratch[base + i], scratch)) return false;
    scratch.resize(base);
    if (seq)
        yaml_sequence_end_event_initialize(&ev);
    else
        yaml_mapping_end_event_initialize(&ev);
    return yaml_emitter_emit(e, &ev);
}

bool libyaml_emit(zarvel_document *doc, std::string &out) {
    out.clear();
    yaml_emitter_t e;
    yaml_emitter_initialize(&e);
    yaml_emitter_set_output(&e, write_to_string, &out);
    yaml_emitter_set_unicode(&e, 1);
    yaml_emitter_set_width(&e, -1);
    yaml_event_t ev;
    bool ok = true;
    yaml_stream_start_event_initialize(&ev, YAML_UTF8_ENCODING);
    ok = yaml_emitter_emit(&e, &ev);
    std::vector<zarvel_node *> scratch;
    for (uint32_t d = 0, n = zarvel_document_count(doc); ok && d < n; ++d) {
        yaml_document_start_event_initialize(&ev, nullptr, nullptr, nullptr, 1);
        ok = yaml_emitter_emit(&e, &ev) && emit_node(&e, zarvel_document_root(doc, d), scratch);
        yaml_document_end_event_initialize(&ev, 1);
        ok = ok && yaml_emitter_emit(&e, &ev);
    }
    yaml_stream_end_event_initialize(&ev);
    ok = ok && yaml_emitter_emit(&e, &ev);
    yaml_emitter_delete(&e);
    return ok;
}
#endif

void yaml_serialize_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse(in.text.data(), in.text.size(), &status);
        if (!doc) continue;
        const output_call yaml = [&](uint64_t &n) { return zarvel_serialize(doc, &n); };
        uint64_t out_len = 0;
        if (!output_length(yaml, out_len)) {
            zarvel_document_free(doc);
            continue;
        }
        // Rates are in bytes of zarvel's output, the same count for every peer.
        row &r = start_row("YAML serialise", in.name, out_len, timed_output(yaml));
#if ZB_HAVE_LIBYAML
        std::string buffer;
        peer(r, "libyaml emitter", [&] { return libyaml_emit(doc, buffer); });
#endif
#if ZB_HAVE_YAMLCPP
        std::vector<YAML::Node> nodes;
        try {
            nodes = YAML::LoadAll(in.text);
        } catch (...) {}
        if (!nodes.empty())
            peer(r, "yaml-cpp emit", [&] {
                YAML::Emitter e;
                for (const auto &n : nodes) e << n;
                sink_value = e.size();
                return e.good();
            });
#endif
        (void)r;
        zarvel_document_free(doc);
    }
}

void json_serialize_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_json(t.data(), t.size(), &status);
        if (!doc) continue;
        const output_call json = [&](uint64_t &n) { return zarvel_serialize_json(doc, &n); };
        uint64_t out_len = 0;
        if (!output_length(json, out_len)) {
            zarvel_document_free(doc);
            continue;
        }
        row &r = start_row("JSON serialise", in.name, out_len, timed_output(json));
#if ZB_HAVE_YYJSON
        peer_yyjson_write(r, t);
#endif
#if ZB_HAVE_RAPIDJSON
        rapidjson::Document d;
        d.Parse(t.data(), t.size());
        peer(r, "RapidJSON Writer", [&] {
            rapidjson::StringBuffer sb;
            rapidjson::Writer<rapidjson::StringBuffer> w(sb);
            d.Accept(w);
            sink_value = sb.GetSize();
            return true;
        });
#endif
#if ZB_HAVE_NLOHMANN
        nlohmann::json j = nlohmann::json::parse(t, nullptr, false);
        peer(r, "nlohmann dump", [&] {
            std::string s = j.dump();
            sink_value = s.size();
            return true;
        });
#endif
        (void)r;
        zarvel_document_free(doc);
    }
}

void double_cases() {
    std::mt19937_64 rng(12345);
    std::vector<double> values(1u << 20);
    for (auto &v : values) {
        uint64_t bits;
        do {
            bits = rng();
            std::memcpy(&v, &bits, sizeof v);
        } while (!std::isfinite(v));
    }
    std::vector<double> decimals(1u << 20);
    for (size_t i = 0; i < decimals.size(); ++i) decimals[i] = double(rng() % 1000000) / 100.0;
    for (auto *set : {&values, &decimals}) {
        char buffer[64];
        uint64_t bytes = 0;
        for (double v : *set) bytes += uint64_t(zarvel_format_double(buffer, v));
        // Rates are in bytes of zarvel's text, the same count for both.
        row &r = start_row("format double", set == &values ? "random bits (1M)" : "2-decimal values (1M)", bytes, [&] {
            char b[64];
            uint64_t total = 0;
            for (double v : *set) total += uint64_t(zarvel_format_double(b, v));
            sink_value = total;
            return true;
        });
        peer(r, "std::to_chars", [&] {
            char b[64];
            uint64_t total = 0;
            for (double v : *set) total += uint64_t(std::to_chars(b, b + sizeof b, v).ptr - b);
            sink_value = total;
            return true;
        });
    }
}

void run_yaml(const input_dirs &dirs) {
    yaml_serialize_cases(load(dirs.generated, {"block.yaml"}));
    yaml_serialize_cases(
        load(dirs.shared, {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"}));
}
void run_json(const input_dirs &dirs) { json_serialize_cases(json_inputs(dirs)); }
void run_double(const input_dirs &) { double_cases(); }

}  // namespace

ZB_FAMILY("yaml-serialise", 30, run_yaml);
static const zb::family json_serialise_registration("json-serialise", 60, run_json);
static const zb::family double_registration("double", 80, run_double);
