// Input sets several families share.
#pragma once

#include <vector>

#include "harness.hpp"

namespace zb {

// The generated YAML files and the shared real-world ones.
inline std::vector<named_input> yaml_inputs(const input_dirs &dirs) {
    auto inputs = load(dirs.generated, {"block.yaml", "flow.yaml", "literal.yaml", "nested.yaml", "anchors.yaml"});
    auto shared = load(dirs.shared, {"k8s-argocd-install.yaml", "openapi-twilio-api-v2010.yaml", "i18n-faker-hy.yaml"});
    inputs.insert(inputs.end(), shared.begin(), shared.end());
    return inputs;
}

// The shared JSON files and the generated flow twin.
inline std::vector<named_input> json_inputs(const input_dirs &dirs) {
    auto inputs = load(dirs.shared, {"twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"});
    auto generated = load(dirs.generated, {"flow.json"});
    inputs.insert(inputs.end(), generated.begin(), generated.end());
    return inputs;
}

}  // namespace zb
