#include "harness.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zb {

using clock_type = std::chrono::steady_clock;

volatile uint64_t sink_value;
int repetitions = 5;
std::vector<row> rows;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}
}  // namespace

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

static void walk(const zarvel_node *n, uint64_t &count, std::vector<zarvel_node *> &scratch) {
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

}  // namespace zb
