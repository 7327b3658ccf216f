// YAML parse to a document and a full walk of it, beside libfyaml and yaml-cpp.
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
}

// Peak resident memory of one parse + walk (and of each peer's load), per
// input megabyte, each in a forked child.
void memory_cases(const std::vector<named_input> &inputs) {
    const std::string operation = "YAML peak memory, MB per input MB (ratio below 1: zarvel uses less)";
    for (const auto &in : inputs) {
        const std::string &t = in.text;
        rows.push_back({operation, in.name, t.size(), {}, {}});
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
    yaml_cases(inputs);
    memory_cases(inputs);
}

}  // namespace

ZB_FAMILY("yaml", 10, run);
