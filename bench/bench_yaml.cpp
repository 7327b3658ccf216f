// YAML parse to a document and a full walk of it, beside libfyaml and
// yaml-cpp; parse plus the walk through the read API a host does, beside
// rapidyaml's tree (its walk reads key and value texts: rapidyaml leaves
// scalars unconverted).
#if ZB_HAVE_RYML
#include "ryml_source.hpp"
#endif
#if ZB_HAVE_FYAML
#include <libfyaml.h>
#endif
#if ZB_HAVE_YAMLCPP
#include <yaml-cpp/yaml.h>
#endif
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"

namespace {

using namespace zb;

#if ZB_HAVE_RYML
uint64_t walk_ryml(const ryml::Tree &t, ryml::id_type id) {
    uint64_t total = 1;
    if (t.has_key(id)) total += 1 + t.key(id).len;
    if (t.is_container(id)) {
        for (ryml::id_type c = t.first_child(id); c != ryml::NONE; c = t.next_sibling(c)) total += walk_ryml(t, c);
    } else if (t.has_val(id)) {
        total += t.val(id).len;
    }
    return total;
}
#endif

// api: the walk through the read API, beside rapidyaml; else the children
// walk beside libfyaml and yaml-cpp.
void yaml_cases(const std::vector<named_input> &inputs, bool api) {
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        row &r = start_row(api ? "YAML parse + API walk" : "YAML parse + walk", in.name, t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_parse(t.data(), t.size(), &status);
            if (!doc || status != 0) return false;
            sink_value = api ? walk_api_document(doc) : walk_document(doc);
            zarvel_document_free(doc);
            return true;
        });
        if (api) {
#if ZB_HAVE_RYML
            ryml_source source(t);
            peer(r, "rapidyaml tree + walk", [&] {
                try {
                    ryml::Tree tree = ryml::parse_in_place(source.fresh());
                    sink_value = walk_ryml(tree, tree.root_id());
                    return true;
                } catch (...) {
                    return false;
                }
            });
#endif
            continue;
        }
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
}

// Peak resident memory of one parse + walk (and of each peer's load), per
// input megabyte, each in a forked child.
void memory_cases(const std::vector<named_input> &inputs) {
    const std::string operation = "YAML peak memory, MB per input MB (ratio below 1: zarvel uses less)";
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        rows.push_back({operation, in.name, t.size(), {}, {}, {}});
        row &r = rows.back();
        r.zarvel = peak_memory(t.size(), [&] {
            int32_t status = 0;
            zarvel_document *doc = zarvel_parse(t.data(), t.size(), &status);
            if (!doc || status != 0) return false;
            sink_value = walk_document(doc);
            zarvel_document_free(doc);
            return true;
        });
        std::fprintf(stderr, "%-22s %-26s zarvel %.2f MB/MB\n", "YAML peak memory", in.name.c_str(), r.zarvel.mbps);
#if ZB_HAVE_FYAML
        r.peers.emplace_back("libfyaml", peak_memory(t.size(), [&] {
                                 fy_document *doc = fy_document_build_from_string(nullptr, t.data(), t.size());
                                 if (!doc) return false;
                                 fy_document_destroy(doc);
                                 return true;
                             }));
        std::fprintf(stderr, "%-22s %-26s libfyaml %.2f MB/MB\n", "YAML peak memory", in.name.c_str(),
                     r.peers.back().second.mbps);
#endif
#if ZB_HAVE_YAMLCPP
        r.peers.emplace_back("yaml-cpp", peak_memory(t.size(), [&] {
                                 try {
                                     std::vector<YAML::Node> docs = YAML::LoadAll(t);
                                     sink_value = docs.size();
                                     return true;
                                 } catch (...) {
                                     return false;
                                 }
                             }));
        std::fprintf(stderr, "%-22s %-26s yaml-cpp %.2f MB/MB\n", "YAML peak memory", in.name.c_str(),
                     r.peers.back().second.mbps);
#endif
    }
}

void run(const input_dirs &dirs) {
    auto inputs = yaml_inputs(dirs);
    yaml_cases(inputs, false);
    memory_cases(inputs);
}

void run_api(const input_dirs &dirs) { yaml_cases(yaml_inputs(dirs), true); }

}  // namespace

ZB_FAMILY("yaml", 10, run);
static const zb::family api_registration("yaml-api", 15, run_api);
