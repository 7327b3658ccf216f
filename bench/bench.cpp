// One benchmark program: every zarvel operation beside the peers that are
// installed, in one process run. Each case gets one untimed warm-up and then
// several timed repetitions; the median is reported, with the minor page
// faults of a median repetition. Results go to a Markdown table.
//
//   bench <input-dir> <shared-bench-data-dir> <results.md> [repetitions]
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/kernels.hpp"
#include "emit/format_double.hpp"
#include "yaml/decode.hpp"
#include "zarvel.h"

#if ZB_HAVE_LIBYAML
#include <yaml.h>
#endif
#if ZB_HAVE_FYAML
#include <libfyaml.h>
#endif
#if ZB_HAVE_YAMLCPP
#include <yaml-cpp/yaml.h>
#endif
#if ZB_HAVE_SIMDJSON
#include <simdjson.h>
#endif
#if ZB_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if ZB_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if ZB_HAVE_LIBCBOR
#include <cbor.h>
#endif

namespace {

using clock_type = std::chrono::steady_clock;

volatile uint64_t sink_value;  // keeps results observable so no work is dropped

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

struct measurement {
    double mbps = 0;    // median
    long faults = 0;    // minor faults of the median repetition
    bool ok = false;
};

int repetitions = 5;

// Warm-up, then timed repetitions; a body returns false on failure.
measurement measure(uint64_t bytes, const std::function<bool()> &body) {
    measurement m;
    auto warm_start = clock_type::now();
    if (!body()) return m;
    double warm = std::chrono::duration<double>(clock_type::now() - warm_start).count();
    // Slow contenders get fewer repetitions so that a full run stays short.
    int reps = warm > 1.5 ? 3 : warm < 0.05 ? repetitions * 4 : repetitions;
    std::vector<std::pair<double, long>> runs;
    for (int i = 0; i < reps; ++i) {
        long f0 = minor_faults();
        auto start = clock_type::now();
        if (!body()) return m;
        double s = std::chrono::duration<double>(clock_type::now() - start).count();
        runs.emplace_back(s, minor_faults() - f0);
    }
    std::sort(runs.begin(), runs.end());
    auto median = runs[runs.size() / 2];
    m.mbps = double(bytes) / 1e6 / median.first;
    m.faults = median.second;
    m.ok = true;
    return m;
}

struct row {
    std::string operation, input;
    uint64_t bytes = 0;
    measurement zarvel;
    std::vector<std::pair<std::string, measurement>> peers;
};
std::vector<row> rows;

row &start_row(const std::string &op, const std::string &input, uint64_t bytes,
               const std::function<bool()> &zarvel_body) {
    rows.push_back({op, input, bytes, {}, {}});
    std::fprintf(stderr, "%-22s %-26s zarvel ...", op.c_str(), input.c_str());
    rows.back().zarvel = measure(bytes, zarvel_body);
    std::fprintf(stderr, " %.1f MB/s\n", rows.back().zarvel.mbps);
    return rows.back();
}

void peer(row &r, const std::string &name, const std::function<bool()> &body) {
    std::fprintf(stderr, "%-22s %-26s %s ...", r.operation.c_str(), r.input.c_str(), name.c_str());
    measurement m = measure(r.bytes, body);
    std::fprintf(stderr, " %.1f MB/s\n", m.mbps);
    r.peers.emplace_back(name, m);
}

// ---- zarvel walks -----------------------------------------------------------

void walk(const zarvel_node *n, uint64_t &count, std::vector<zarvel_node *> &scratch) {
    count += 1;
    if (zarvel_node_kind(n) == ZARVEL_NODE_SCALAR) {
        uint64_t len = 0;
        zarvel_node_value(n, &len);
        count += len;
        return;
    }
    uint64_t children = zarvel_node_children(n, nullptr, 0);
    size_t base = scratch.size();
    scratch.resize(base + children);
    zarvel_node_children(n, scratch.data() + base, children);
    for (uint64_t i = 0; i < children; ++i) walk(scratch[base + i], count, scratch);
    scratch.resize(base);
}

uint64_t walk_document(zarvel_document *doc) {
    std::vector<zarvel_node *> scratch;
    scratch.reserve(4096);
    uint64_t count = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d) {
        const zarvel_node *root = zarvel_document_root(doc, d);
        if (root) walk(root, count, scratch);
    }
    return count;
}

// ---- peers' walks -------------------------------------------------------------

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

// ---- the cases ------------------------------------------------------------------

struct named_input {
    std::string name, text;
};

void yaml_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("YAML parse + walk", in.name, t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_parse(t.data(), t.size(), &status);
            if (!doc || status != 0) return false;
            sink_value = walk_document(doc);
            zarvel_document_free(doc);
            return true;
        });
#if ZB_HAVE_FYAML
        peer(r, "libfyaml", [&] {
            fy_document *doc = fy_document_build_from_string(nullptr, t.data(), t.size());
            if (!doc) return false;
            fy_document_destroy(doc);
            return true;
        });
#endif
#if ZB_HAVE_YAMLCPP
        peer(r, "yaml-cpp", [&] {
            try {
                std::vector<YAML::Node> docs = YAML::LoadAll(t);
                sink_value = docs.size();
                return true;
            } catch (...) {
                return false;
            }
        });
#endif
        (void)r;
    }
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("YAML push events", in.name, t.size(), [&] {
            uint64_t count = 0;
            int rc = zarvel_push_parse(
                t.data(), t.size(), [](void *u, const zarvel_event_view *) { ++*static_cast<uint64_t *>(u); return 0; },
                &count);
            sink_value = count;
            return rc == 0;
        });
#if ZB_HAVE_LIBYAML
        peer(r, "libyaml", [&] {
            yaml_parser_t p;
            yaml_parser_initialize(&p);
            yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char *>(t.data()), t.size());
            yaml_event_t ev;
            bool ok = true;
            for (;;) {
                if (!yaml_parser_parse(&p, &ev)) {
                    ok = false;
                    break;
                }
                bool end = ev.type == YAML_STREAM_END_EVENT;
                yaml_event_delete(&ev);
                if (end) break;
            }
            yaml_parser_delete(&p);
            return ok;
        });
#endif
        (void)r;
    }
}

void yaml_serialize_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse(in.text.data(), in.text.size(), &status);
        if (!doc) continue;
        uint64_t out_len = 0;
        char *probe = zarvel_serialize(doc, &out_len);
        zarvel_free(probe);
        if (!probe) {
            zarvel_document_free(doc);
            continue;
        }
        // Rates are in bytes of zarvel's output, the same count for every peer.
        row &r = start_row("YAML serialise", in.name, out_len, [&] {
            uint64_t n = 0;
            char *out = zarvel_serialize(doc, &n);
            sink_value = n;
            zarvel_free(out);
            return out != nullptr;
        });
#if ZB_HAVE_LIBYAML
        std::string buffer;
        peer(r, "libyaml emitter", [&] { return libyaml_emit(doc, buffer); });
#endif
#if ZB_HAVE_YAMLCPP
        std::vector<YAML::Node> nodes;
        try {
            nodes = YAML::LoadAll(in.text);
        } catch (...) {
        }
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

void json_cases(const std::vector<named_input> &inputs) {
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
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse_json(t.data(), t.size(), &status);
        if (!doc) continue;
        uint64_t out_len = 0;
        char *probe = zarvel_serialize_json(doc, &out_len);
        zarvel_free(probe);
        if (!probe) {
            zarvel_document_free(doc);
            continue;
        }
        row &r = start_row("JSON serialise", in.name, out_len, [&] {
            uint64_t n = 0;
            char *out = zarvel_serialize_json(doc, &n);
            sink_value = n;
            zarvel_free(out);
            return out != nullptr;
        });
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

void cbor_cases(const std::vector<named_input> &inputs) {
    for (const auto &in : inputs) {
        const auto *data = reinterpret_cast<const uint8_t *>(in.text.data());
        const uint64_t len = in.text.size();
        row &r = start_row("CBOR decode", in.name, len, [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_cbor_decode(data, len, 0, &status);
            if (!doc) return false;
            zarvel_document_free(doc);
            return true;
        });
#if ZB_HAVE_LIBCBOR
        peer(r, "libcbor", [&] {
            cbor_load_result result;
            cbor_item_t *item = cbor_load(data, len, &result);
            if (!item) return false;
            cbor_decref(&item);
            return true;
        });
#endif
        (void)r;
        int32_t status = 0;
        zarvel_document *doc = zarvel_cbor_decode(data, len, 0, &status);
        if (!doc) continue;
        row &e = start_row("CBOR encode", in.name, len, [&] {
            uint64_t n = 0;
            uint8_t *out = zarvel_cbor_encode(doc, 0, &n);
            sink_value = n;
            zarvel_free(out);
            return out != nullptr;
        });
#if ZB_HAVE_LIBCBOR
        cbor_load_result result;
        cbor_item_t *item = cbor_load(data, len, &result);
        if (item) {
            peer(e, "libcbor", [&] {
                unsigned char *out = nullptr;
                size_t capacity = 0;
                size_t n = cbor_serialize_alloc(item, &out, &capacity);
                free(out);
                return n > 0;
            });
            cbor_decref(&item);
        }
#endif
        (void)e;
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

void kernel_cases(const std::vector<named_input> &inputs) {
    const zarvel_kernels *k = zarvel_kernels_get();
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row("UTF-8 validation", in.name, t.size(), [&] {
            uint64_t at = 0;
            return zarvel_validate_utf8(t.data(), t.size(), &at, false);
        });
        peer(r, "memchr", [&] {
            sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
            return true;
        });
        std::vector<char> copy(t.size());
        peer(r, "memcpy", [&] {
            std::memcpy(copy.data(), t.data(), t.size());
            sink_value = uint64_t(copy[t.size() / 2]);
            return true;
        });
        row &l = start_row("line scan", in.name, t.size(), [&] {
            uint64_t pos = 0, lines = 0;
            zarvel_line_info info{};
            while (pos < t.size()) {
                k->line_scan(t.data(), t.size(), pos, zarvel_no_limit, &info);
                pos = uint64_t(info.line_end) + 1;
                lines += info.mark_found;
            }
            sink_value = lines;
            return true;
        });
        peer(l, "memchr", [&] {
            sink_value = uint64_t(std::memchr(t.data(), 0x01, t.size()) != nullptr);
            return true;
        });
        // The same line-by-line walk with memchr for the line feed: the cost
        // of one call per line without the kernel's extra findings.
        peer(l, "memchr per line", [&] {
            uint64_t pos = 0, lines = 0;
            while (pos < t.size()) {
                const void *hit = std::memchr(t.data() + pos, '\n', t.size() - pos);
                pos = hit ? uint64_t(static_cast<const char *>(hit) - t.data()) + 1 : t.size();
                ++lines;
            }
            sink_value = lines;
            return true;
        });
    }
}

std::string fmt(double v) {
    char b[32];
    std::snprintf(b, sizeof b, v >= 100 ? "%.0f" : v >= 1 ? "%.1f" : "%.2f", v);
    return b;
}

void write_results(const std::string &path, const std::string &machine) {
    std::ofstream out(path);
    out << "# Benchmark results\n\n" << machine << "\n";
    out << "Rates are MB/s (10^6 bytes per second of the input; for serialisers and `format double`, of zarvel's "
           "output), the median of the repetitions after one untimed warm-up. Ratio = zarvel / peer (above 1: "
           "zarvel is faster). Faults = minor page faults in the median repetition. "
           "The machine is shared with other builds, so rates vary between runs (up to 2-3× seen); ratios within "
           "one run are the comparable figures. Line scan calls the kernel once per line, as the parser does; "
           "`memchr` is one pass over the whole input, `memchr per line` one call per line.\n\n";
    out << "| operation | input | MB | zarvel MB/s | faults | peer | peer MB/s | faults | ratio |\n";
    out << "| --- | --- | ---: | ---: | ---: | --- | ---: | ---: | ---: |\n";
    for (const row &r : rows) {
        std::string head = "| " + r.operation + " | " + r.input + " | " + fmt(double(r.bytes) / 1e6) + " | " +
                           (r.zarvel.ok ? fmt(r.zarvel.mbps) : std::string("failed")) + " | " +
                           std::to_string(r.zarvel.faults) + " | ";
        if (r.peers.empty()) out << head << "— | | | |\n";
        for (const auto &[name, m] : r.peers) {
            std::string ratio = m.ok && r.zarvel.ok ? fmt(r.zarvel.mbps / m.mbps) + "×" : "—";
            out << head << name << " | " << (m.ok ? fmt(m.mbps) : std::string("failed")) << " | " << m.faults
                << " | " << ratio << " |\n";
        }
    }
    // The goals set for zarvel against each peer, checked on this run.
    struct target {
        const char *operation, *peer;
        double ratio;
        std::vector<std::string> inputs;  // empty: every input of the operation
    };
    const std::vector<target> targets = {
        {"YAML parse + walk", "libfyaml", 10, {"block.yaml"}},
        {"YAML parse + walk", "yaml-cpp", 30, {"block.yaml"}},
        {"YAML push events", "libyaml", 5, {"block.yaml"}},
        {"JSON tape", "simdjson DOM", 1, {"twitter.json", "citm_catalog.json", "canada.json"}},
        {"JSON document + walk", "RapidJSON DOM + walk", 1, {}},
        {"YAML serialise", "libyaml emitter", 10, {}},
        {"JSON serialise", "RapidJSON Writer", 1, {}},
        {"CBOR decode", "libcbor", 3, {}},
        {"CBOR encode", "libcbor", 3, {}},
        {"format double", "std::to_chars", 0.5, {}},
        {"UTF-8 validation", "memchr", 1.0 / 3, {}},
        {"line scan", "memchr", 1.0 / 3, {}},
        {"line scan", "memchr per line", 1.0 / 3, {}},
    };
    out << "\n## Targets\n\n| operation | input | peer | target | ratio | met |\n| --- | --- | --- | ---: | ---: | --- |\n";
    for (const target &t : targets)
        for (const row &r : rows) {
            if (r.operation != t.operation) continue;
            if (!t.inputs.empty() && std::find(t.inputs.begin(), t.inputs.end(), r.input) == t.inputs.end()) continue;
            for (const auto &[name, m] : r.peers) {
                if (name != t.peer || !m.ok || !r.zarvel.ok) continue;
                double ratio = r.zarvel.mbps / m.mbps;
                char goal[16];
                std::snprintf(goal, sizeof goal, "%.2f×", t.ratio);
                out << "| " << r.operation << " | " << r.input << " | " << name << " | ≥ " << goal << " | "
                    << fmt(ratio) << "× | " << (ratio >= t.ratio ? "met" : "**not met**") << " |\n";
            }
        }
    std::string skipped;
#if !ZB_HAVE_LIBYAML
    skipped += " libyaml";
#endif
#if !ZB_HAVE_FYAML
    skipped += " libfyaml";
#endif
#if !ZB_HAVE_YAMLCPP
    skipped += " yaml-cpp";
#endif
#if !ZB_HAVE_SIMDJSON
    skipped += " simdjson";
#endif
#if !ZB_HAVE_RAPIDJSON
    skipped += " RapidJSON";
#endif
#if !ZB_HAVE_NLOHMANN
    skipped += " nlohmann-json";
#endif
#if !ZB_HAVE_LIBCBOR
    skipped += " libcbor";
#endif
    out << "\nPeers skipped (not installed):" << (skipped.empty() ? " none" : skipped) << "\n";
}

std::vector<named_input> load(const std::string &dir, std::initializer_list<const char *> names) {
    std::vector<named_input> v;
    for (const char *n : names) {
        std::string t = read_file(dir + "/" + n);
        if (t.empty())
            std::fprintf(stderr, "missing input %s/%s\n", dir.c_str(), n);
        else
            v.push_back({n, std::move(t)});
    }
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench INPUT_DIR SHARED_DATA_DIR RESULTS.md [REPETITIONS] [MACHINE_TEXT_FILE]\n");
        return 2;
    }
    // The same allocator behaviour for every contender: no mmap per block, no
    // trimming, so each repetition reuses heap pages the warm-up faulted in.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    const std::string gen = argv[1], shared = argv[2];
    if (argc > 4) repetitions = std::max(1, std::atoi(argv[4]));
    std::string machine = argc > 5 ? read_file(argv[5]) : std::string();

    auto yaml = load(gen, {"block.yaml", "flow.yaml", "literal.yaml", "nested.yaml", "anchors.yaml"});
    auto shared_yaml =
        load(shared, {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"});
    yaml.insert(yaml.end(), shared_yaml.begin(), shared_yaml.end());
    yaml_cases(yaml);
    yaml_serialize_cases(load(gen, {"block.yaml"}));
    yaml_serialize_cases(shared_yaml);

    auto json = load(shared, {"twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"});
    auto gen_json = load(gen, {"flow.json"});
    json.insert(json.end(), gen_json.begin(), gen_json.end());
    json_cases(json);

    cbor_cases(load(gen, {"block.cbor"}));
    double_cases();

    auto scan = load(gen, {"block.yaml"});
    scan.insert(scan.end(), shared_yaml.begin(), shared_yaml.end());
    kernel_cases(scan);

    write_results(argv[3], machine);
    return 0;
}
