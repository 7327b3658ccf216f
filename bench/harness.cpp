#include "harness.hpp"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

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

namespace {
// One run of body: its seconds and minor faults; seconds < 0 when it failed.
std::pair<double, long> timed(const std::function<bool()> &body) {
    const long f0 = minor_faults();
    const auto start = clock_type::now();
    if (!body()) return {-1, 0};
    return {std::chrono::duration<double>(clock_type::now() - start).count(), minor_faults() - f0};
}

// Slow contenders get fewer repetitions so that a full run stays short.
int repetitions_after(double warm) { return warm > 1.5 ? 3 : warm < 0.05 ? repetitions * 4 : repetitions; }

// The median of runs (seconds, faults) as the rate of `bytes`.
measurement median_of(std::vector<std::pair<double, long>> &runs, uint64_t bytes) {
    measurement m;
    std::sort(runs.begin(), runs.end());
    const auto median = runs[runs.size() / 2];
    m.mbps = double(bytes) / 1e6 / median.first;
    m.faults = median.second;
    m.ok = true;
    return m;
}
}  // namespace

// Warm-up, then timed repetitions; a body returns false on failure.
measurement measure(uint64_t bytes, const std::function<bool()> &body) {
    const auto warm = timed(body);
    if (warm.first < 0) return {};
    std::vector<std::pair<double, long>> runs;
    for (int i = 0, reps = repetitions_after(warm.first); i < reps; ++i) {
        runs.push_back(timed(body));
        if (runs.back().first < 0) return {};
    }
    return median_of(runs, bytes);
}

// A peer's repetitions, each right after one of zarvel's: the speed of a
// shared machine drifts by up to 2x within seconds, which moves the ratio
// of two medians taken apart but much less the ratio within a pair. Each
// timed run follows an untimed one of the same body, which leaves the
// heap and the caches as that body leaves them (a peer's thousands of
// small frees otherwise fall to the next large allocation to tidy).
measurement measure_paired(uint64_t bytes, const std::function<bool()> &zarvel_body,
                           const std::function<bool()> &body) {
    const auto warm = timed(body), zarvel_warm = timed(zarvel_body);
    if (warm.first < 0 || zarvel_warm.first < 0) return {};
    std::vector<std::pair<double, long>> runs;
    std::vector<double> ratios;
    for (int i = 0, reps = repetitions_after(std::max(warm.first, zarvel_warm.first)); i < reps; ++i) {
        const bool settled = zarvel_body();
        const auto ours = timed(zarvel_body);
        if (!settled || !body()) return {};
        runs.push_back(timed(body));
        if (ours.first < 0 || runs.back().first < 0) return {};
        ratios.push_back(runs.back().first / ours.first);
    }
    measurement m = median_of(runs, bytes);
    std::sort(ratios.begin(), ratios.end());
    m.paired_ratio = ratios[ratios.size() / 2];
    return m;
}


row &start_row(const std::string &op, const std::string &input, uint64_t bytes,
               const std::function<bool()> &zarvel_body) {
    rows.push_back({op, input, bytes, {}, {}, {}});
    std::fprintf(stderr, "%-22s %-26s zarvel ...", op.c_str(), input.c_str());
    rows.back().zarvel = measure(bytes, zarvel_body);
    if (rows.back().zarvel.ok) rows.back().zarvel_body = zarvel_body;
    std::fprintf(stderr, " %.1f MB/s\n", rows.back().zarvel.mbps);
    return rows.back();
}

void peer(row &r, const std::string &name, const std::function<bool()> &body) {
    std::fprintf(stderr, "%-22s %-26s %s ...", r.operation.c_str(), r.input.c_str(), name.c_str());
    measurement m = r.zarvel_body ? measure_paired(r.bytes, r.zarvel_body, body) : measure(r.bytes, body);
    std::fprintf(stderr, " %.1f MB/s\n", m.mbps);
    r.peers.emplace_back(name, m);
}

bool output_length(const output_call &call, uint64_t &length) {
    void *out = call(length);
    zarvel_free(out);
    return out != nullptr;
}

std::function<bool()> timed_output(output_call call) {
    return [call = std::move(call)] {
        uint64_t n = 0;
        void *out = call(n);
        sink_value = n;
        zarvel_free(out);
        return out != nullptr;
    };
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

uint64_t walk_api_scalar(const zarvel_node *n) {
    int32_t tag = zarvel_node_tag_id(n);
    if (tag == ZARVEL_TAG_INT) {
        int64_t v = 0;
        if (zarvel_node_int(n, &v) == 0) return 1 + uint64_t(v);
    } else if (tag == ZARVEL_TAG_FLOAT) {
        double v = 0;
        if (zarvel_node_float(n, &v) == 0) return 1 + uint64_t(v != 0);
    }
    uint64_t len = 0;
    zarvel_node_value(n, &len);
    return 1 + len;
}

static uint64_t walk_api(const zarvel_node *n) {
    switch (zarvel_node_kind(n)) {
    case ZARVEL_NODE_SEQUENCE: {
        uint64_t total = 1;
        for (uint64_t i = 0, c = zarvel_node_seq_count(n); i < c; ++i) total += walk_api(zarvel_node_seq_at(n, i));
        return total;
    }
    case ZARVEL_NODE_MAPPING: {
        uint64_t total = 1;
        for (uint64_t i = 0, c = zarvel_node_map_count(n); i < c; ++i) {
            zarvel_node *key = nullptr, *value = nullptr;
            zarvel_node_map_at(n, i, &key, &value);
            total += walk_api(key) + walk_api(value);
        }
        return total;
    }
    case ZARVEL_NODE_SCALAR: return walk_api_scalar(n);
    default: return 1;
    }
}

uint64_t walk_api_document(zarvel_document *doc) {
    uint64_t total = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d)
        if (const zarvel_node *root = zarvel_document_root(doc, d)) total += walk_api(root);
    return total;
}

namespace {
// Peak resident set in kB (VmHWM); -1 when unreadable.
long peak_resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}
bool reset_peak_resident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}
}  // namespace

measurement peak_memory(uint64_t bytes, const std::function<bool()> &body, bool touch_allocations) {
    measurement m;
    int fds[2];
    if (bytes == 0 || pipe(fds) != 0) return m;
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return m;
    }
    if (child == 0) {
        close(fds[0]);
        // Free heap pages inherited from earlier cases would hide the
        // growth: give them back, then start the peak from here.
        malloc_trim(0);
        // Every byte the C heap hands out is written at once, so that the
        // peak counts what was asked for, not only the pages used.
        if (touch_allocations) mallopt(M_PERTURB, 0x5A);
        long result[2] = {-1, 0};
        bool reset = reset_peak_resident();
        long before = reset ? peak_resident_kb() : 0;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        long max_before = usage.ru_maxrss, faults_before = usage.ru_minflt;
        if (body()) {
            getrusage(RUSAGE_SELF, &usage);
            long after = reset ? peak_resident_kb() : 0;
            result[0] = reset && before >= 0 && after >= 0 ? after - before : usage.ru_maxrss - max_before;
            result[1] = usage.ru_minflt - faults_before;
        }
        ssize_t written = write(fds[1], result, sizeof result);
        _exit(written == ssize_t(sizeof result) ? 0 : 1);
    }
    close(fds[1]);
    long result[2] = {-1, 0};
    ssize_t got = read(fds[0], result, sizeof result);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != ssize_t(sizeof result) || result[0] < 0) return m;
    m.mbps = double(result[0]) * 1024.0 / double(bytes);
    m.faults = result[1];
    m.ok = true;
    return m;
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
