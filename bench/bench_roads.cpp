// Each alternative road to a tree beside the general road it stands in for,
// on the inputs it serves: a road is kept only while it pays. The rows time
// the read and the build of the nodes (zarvel_document_count builds them),
// without a walk, so that the difference between the roads is not diluted.
// The general road is forced by the parse entry's internal switches, or for
// JSON by calling the builder the tape road falls back to; zarvel_parse's
// JSON road by calling the YAML parse entry behind it.
#include <string>
#include <vector>

#include "harness.hpp"
#include "inputs.hpp"
#include "jsondoc/json_document.hpp"
#include "yaml/parse.hpp"

namespace {

using namespace zb;

bool built(zarvel_document *doc, int32_t status) {
    if (!doc || status != 0) return false;
    sink_value = zarvel_document_count(doc);
    bool ok = zarvel_document_status(doc) == 0;
    zarvel_document_free(doc);
    return ok;
}

bool parse_with(const std::string &t, uint8_t roads_off) {
    zarvel_parse_switches switches;
    switches.roads_off = roads_off;
    int32_t status = 0;
    return built(zarvel_parse_internal(t.data(), t.size(), nullptr, switches, &status), status);
}

// base: roads left untaken on both sides, those tried before this one that
// would otherwise take its inputs first; off: the road itself.
// The inputs of `first` and the one of `more` named `name`.
std::vector<named_input> yaml_and(std::vector<named_input> first, const std::vector<named_input> &more,
                                  const std::string &name) {
    for (const auto &in : more)
        if (in.name == name) first.push_back(in);
    return first;
}

struct road {
    const char *name;
    uint8_t base, off;
    std::vector<named_input> inputs;
};

void run(const input_dirs &dirs) {
    auto yaml = yaml_inputs(dirs);
    auto json = json_inputs(dirs);
    std::vector<named_input> block, flow;
    for (const auto &in : yaml) (in.name == "flow.yaml" ? flow : block).push_back(in);
    flow.insert(flow.end(), json.begin(), json.end());
    const road roads[] = {
        {"block scanner", 0, zarvel_road_block_scanner, block},
        {"flow raw", zarvel_road_block_scanner, zarvel_road_flow_raw, yaml_and(flow, yaml, "nested.yaml")},
        {"quick lines", zarvel_road_block_scanner, zarvel_road_quick_lines, block},
        {"JSON-shaped stream", zarvel_road_block_scanner | zarvel_road_flow_raw, zarvel_road_json_stream, flow},
    };
    for (const road &r : roads) {
        for (const auto &in : r.inputs) {
            const std::string &t = in.text;
            row &w =
                start_row(std::string("road: ") + r.name, in.name, t.size(), [&] { return parse_with(t, r.base); });
            peer(w, "general road", [&] { return parse_with(t, uint8_t(r.base | r.off)); });
        }
    }
    // zarvel_parse's JSON texts, beside the YAML road with all its own roads.
    for (const auto &in : flow) {
        const std::string &t = in.text;
        row &w = start_row("road: JSON text as YAML", in.name, t.size(), [&] {
            int32_t status = 0;
            return built(zarvel_parse(t.data(), t.size(), &status), status);
        });
        peer(w, "YAML road", [&] { return parse_with(t, 0); });
    }
    for (const auto &in : json) {
        const std::string &t = in.text;
        row &w = start_row("road: JSON tape", in.name, t.size(), [&] {
            int32_t status = 0;
            return built(zarvel_parse_json(t.data(), t.size(), &status), status);
        });
        peer(w, "direct builder", [&] {
            int32_t status = 0;
            return built(zvl::json_document_direct(t.data(), t.size(), &status), status);
        });
    }
}

}  // namespace

ZB_FAMILY("roads", 120, run);
