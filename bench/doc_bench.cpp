// Document benchmark: zarvel_parse plus a full walk of the tree through the
// read API, side by side with libfyaml's document load and yaml-cpp's
// YAML::Load (each skipped when its headers are absent).
//
// Inputs: about 20 MB of generated block YAML and its flow twin (the same
// records as one flow sequence), or the files named on the command line.
// Each library runs in a child process of its own so that the peak resident
// set reported (per input megabyte, above the process's size before the
// parse) is its own.
//
// Build (Debian libfyaml-dev, libyaml-cpp-dev), from the project root:
//   cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release && cmake --build build-rel --target zarvel_static -j2
//   g++ -std=c++20 -O2 -Iinclude -Isrc bench/doc_bench.cpp build-rel/libzarvel.a -lfyaml -lyaml-cpp \
//       -o build-rel/doc_bench
//   ./build-rel/doc_bench [FILE...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "zarvel.h"

#if __has_include(<libfyaml.h>)
#include <libfyaml.h>
#define HAVE_FYAML 1
#endif
#if __has_include(<yaml-cpp/yaml.h>)
#include <yaml-cpp/yaml.h>
#define HAVE_YAMLCPP 1
#endif

namespace {

using clock_type = std::chrono::steady_clock;

// Records of a small inventory: strings, integers, floats, booleans, a
// nested mapping and a short sequence, in block style or as flow.
std::string generate(bool flow, size_t target) {
    std::string out;
    out.reserve(target + 4096);
    if (flow) out += "[\n";
    for (size_t i = 0; out.size() < target; ++i) {
        std::string id = std::to_string(i);
        if (flow) {
            out += i ? ",\n" : "";
            out += "{\"id\": " + id + ", \"name\": \"item " + id + "\", \"price\": " + std::to_string(i % 997) +
                   ".25, \"active\": " + (i % 3 ? "true" : "false") + ", \"tags\": [\"a" + id + "\", \"b\", \"c\"], " +
                   "\"owner\": {\"login\": \"user" + std::to_string(i % 101) + "\", \"level\": " +
                   std::to_string(i % 7) + "}}";
        } else {
            out += "- id: " + id + "\n  name: item " + id + "\n  price: " + std::to_string(i % 997) +
                   ".25\n  active: " + (i % 3 ? "true" : "false") + "\n  tags:\n    - a" + id +
                   "\n    - b\n    - c\n  owner:\n    login: user" + std::to_string(i % 101) +
                   "\n    level: " + std::to_string(i % 7) + "\n";
        }
    }
    if (flow) out += "\n]\n";
    return out;
}

// Touches every node: kind, value or children, typed reads of scalars.
uint64_t walk(const zarvel_node *node) {
    if (!node) return 0;
    uint64_t count = 1;
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_SEQUENCE:
        for (uint64_t i = 0, n = zarvel_node_seq_count(node); i < n; ++i) count += walk(zarvel_node_seq_at(node, i));
        break;
    case ZARVEL_NODE_MAPPING:
        for (uint64_t i = 0, n = zarvel_node_map_count(node); i < n; ++i) {
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(node, i, &k, &v);
            count += walk(k) + walk(v);
        }
        break;
    default: {
        uint64_t length = 0;
        zarvel_node_value(node, &length);
        int64_t i;
        double d;
        if (zarvel_node_tag_id(node) == ZARVEL_TAG_INT) zarvel_node_int(node, &i);
        if (zarvel_node_tag_id(node) == ZARVEL_TAG_FLOAT) zarvel_node_float(node, &d);
        break;
    }
    }
    return count;
}

long max_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct result {
    double seconds = -1;
    double rss_per_mb = -1;
    uint64_t nodes = 0;
};

// Runs one contender in a child: best time of `runs`, then peak memory.
result measure(const std::string &text, const std::function<uint64_t(const std::string &)> &run, int runs) {
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fd[0]);
        result r;
        long before = max_rss_kb();
        for (int i = 0; i < runs; ++i) {
            auto start = clock_type::now();
            r.nodes = run(text);
            double s = std::chrono::duration<double>(clock_type::now() - start).count();
            if (r.seconds < 0 || s < r.seconds) r.seconds = s;
        }
        r.rss_per_mb = double(max_rss_kb() - before) / 1024.0 / (double(text.size()) / 1048576.0);
        ssize_t written = write(pipe_fd[1], &r, sizeof r);
        (void)written;
        _exit(0);
    }
    close(pipe_fd[1]);
    result r;
    if (read(pipe_fd[0], &r, sizeof r) != ssize_t(sizeof r)) r = {};
    close(pipe_fd[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

uint64_t run_zarvel(const std::string &text) {
    int32_t status = 0;
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
    uint64_t nodes = 0;
    for (uint32_t d = 0, n = zarvel_document_count(doc); d < n; ++d) nodes += walk(zarvel_document_root(doc, d));
    zarvel_document_free(doc);
    return nodes;
}

#ifdef HAVE_FYAML
uint64_t run_fyaml(const std::string &text) {
    struct fy_document *doc = fy_document_build_from_string(nullptr, text.data(), text.size());
    uint64_t ok = doc ? 1 : 0;
    fy_document_destroy(doc);
    return ok;
}
#endif

#ifdef HAVE_YAMLCPP
uint64_t run_yamlcpp(const std::string &text) {
    YAML::Node node = YAML::Load(text);
    return node.size();
}
#endif

void bench(const std::string &name, const std::string &text) {
    double mb = double(text.size()) / 1048576.0;
    std::printf("%s: %.1f MB\n", name.c_str(), mb);
    result z = measure(text, run_zarvel, 5);
    std::printf("  %-26s %8.1f ms %8.1f MB/s  peak %5.1f MB per input MB  (%llu nodes)\n", "zarvel parse + walk",
                z.seconds * 1e3, mb / z.seconds, z.rss_per_mb, static_cast<unsigned long long>(z.nodes));
#ifdef HAVE_FYAML
    result f = measure(text, run_fyaml, 2);
    std::printf("  %-26s %8.1f ms %8.1f MB/s  peak %5.1f MB per input MB  (zarvel %.1fx)\n", "libfyaml document load",
                f.seconds * 1e3, mb / f.seconds, f.rss_per_mb, f.seconds / z.seconds);
#else
    std::printf("  libfyaml: skipped (no libfyaml.h)\n");
#endif
#ifdef HAVE_YAMLCPP
    result y = measure(text, run_yamlcpp, 1);
    std::printf("  %-26s %8.1f ms %8.1f MB/s  peak %5.1f MB per input MB  (zarvel %.1fx)\n", "yaml-cpp YAML::Load",
                y.seconds * 1e3, mb / y.seconds, y.rss_per_mb, y.seconds / z.seconds);
#else
    std::printf("  yaml-cpp: skipped (no yaml-cpp/yaml.h)\n");
#endif
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            bench(argv[i], s.str());
        }
        return 0;
    }
    const size_t target = (getenv("DOC_BENCH_MB") ? size_t(atoi(getenv("DOC_BENCH_MB"))) : 20u) << 20;
    bench("generated block YAML", generate(false, target));
    bench("generated flow twin", generate(true, target));
    return 0;
}
