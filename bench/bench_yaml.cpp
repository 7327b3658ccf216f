// YAML parse to a document and a full walk of it, beside libfyaml and yaml-cpp.
#if ZB_HAVE_FYAML
#include <libfyaml.h>
#endif
#if ZB_HAVE_YAMLCPP
#include <yaml-cpp/yaml.h>
#endif
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

void run(const input_dirs &dirs) { yaml_cases(yaml_inputs(dirs)); }

}  // namespace

ZB_FAMILY("yaml", 10, run);
