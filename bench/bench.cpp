// One benchmark program: every zarvel operation beside the peers that are
// installed, in one process run. Each case gets one untimed warm-up and then
// several timed repetitions; the median is reported, with the minor page
// faults of a median repetition. Results go to a Markdown table.
//
//   bench <input-dir> <shared-bench-data-dir> <results.md> [repetitions] [machine.md]
//   ZARVEL_BENCH_ONLY=yaml,push,...  runs only the named families
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace zb {

namespace {
std::vector<const family *> &families() {
    static std::vector<const family *> all;
    return all;
}
}  // namespace

family::family(const char *n, int o, void (*r)(const input_dirs &)) : name(n), order(o), run(r) {
    families().push_back(this);
}

}  // namespace zb

namespace {

using namespace zb;

bool selected(const char *name) {
    const char *only = std::getenv("ZARVEL_BENCH_ONLY");
    if (!only || !*only) return true;
    std::string list = std::string(",") + only + ",";
    return list.find(std::string(",") + name + ",") != std::string::npos;
}

std::string fmt(double v) {
    char b[32];
    std::snprintf(b, sizeof b, v >= 100 ? "%.0f" : v >= 1 ? "%.1f" : "%.2f", v);
    return b;
}

// zarvel / peer: of the paired repetitions where the peer has them.
double ratio_of(const row &r, const measurement &m) {
    return m.paired_ratio > 0 ? m.paired_ratio : r.zarvel.mbps / m.mbps;
}

void write_results(const std::string &path, const std::string &machine) {
    std::ofstream out(path);
    out << "# Benchmark results\n\n" << machine << "\n";
    out << "Rates are MB/s (10^6 bytes per second of the input; for serialisers and `format double`, of zarvel's "
           "output), the median of the repetitions after one untimed warm-up. Ratio = zarvel / peer (above 1: "
           "zarvel is faster): for speed, the median of the ratios of pairs of repetitions, each of the peer's "
           "right after one of zarvel's (the machine's speed drifts within seconds, which moves two medians "
           "taken apart far more than a pair), so it need not equal the quotient of the two rates. Faults = minor page faults in the median repetition. "
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
            std::string ratio = m.ok && r.zarvel.ok ? fmt(ratio_of(r, m)) + "×" : "—";
            out << head << name << " | " << (m.ok ? fmt(m.mbps) : std::string("failed")) << " | " << m.faults << " | "
                << ratio << " |\n";
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
        {"JSON serialise", "yyjson write", 1, {}},
        {"JSON parse + API walk", "yyjson read + walk", 1, {}},
        {"JSON parse + API walk", "simdjson DOM + walk", 1, {}},
        {"JSON parse + view walk", "yyjson read + walk", 1, {}},
        {"JSON parse + view walk", "simdjson DOM + walk", 1, {}},
        {"JSON parse + order walk", "yyjson read + walk", 1, {}},
        {"JSON parse + order walk", "simdjson DOM + walk", 1, {}},
        {"YAML parse + API walk", "rapidyaml tree + walk", 1.5, {}},
        {"YAML push events", "rapidyaml events", 1.5, {"block.yaml"}},
        {"CBOR decode", "libcbor", 5, {}},
        {"CBOR encode", "libcbor", 5, {}},
        {"format double", "std::to_chars", 0.5, {}},
        {"JSON tape + plan walk", "simdjson DOM + column vectors", 2, {}},
        {"plan walk (tape built)", "simdjson DOM + column vectors", 2, {}},
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
                const double ratio = ratio_of(r, m);
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
#if !ZB_HAVE_YYJSON
    skipped += " yyjson rapidyaml";
#endif
    out << "\nPeers skipped (not installed):" << (skipped.empty() ? " none" : skipped) << "\n";
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
    const input_dirs dirs{argv[1], argv[2]};
    if (argc > 4) repetitions = std::max(1, std::atoi(argv[4]));
    std::string machine = argc > 5 ? read_file(argv[5]) : std::string();
    auto order = families();
    std::sort(order.begin(), order.end(), [](const family *a, const family *b) { return a->order < b->order; });
    for (const family *f : order)
        if (selected(f->name)) f->run(dirs);
    write_results(argv[3], machine);
    return 0;
}
