// Throughput of zarvel_parse_json followed by a full walk of the tree through
// the read API, against simdjson's DOM (parsed and walked) and RapidJSON's
// DOM (parsed and walked), on the usual benchmark files. A baseline whose
// header is absent is skipped. Not part of the test suite.
//
// Build against an optimised static library and run from the project root:
//   cmake -S . -B <dir> -DCMAKE_BUILD_TYPE=Release -DZARVEL_BUILD_TESTS=OFF
//   cmake --build <dir> --target zarvel_static
//   g++ -std=c++20 -O2 -DNDEBUG -Iinclude bench/json_document_bench.cpp <dir>/libzarvel.a
//       -lsimdjson -o /tmp/json_document_bench && /tmp/json_document_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zarvel.h"

#if __has_include(<simdjson.h>)
#include <simdjson.h>
#define HAVE_SIMDJSON 1
#endif
#if __has_include(<rapidjson/document.h>)
#include <rapidjson/document.h>
#define HAVE_RAPIDJSON 1
#endif

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What every walk computes: node count and total scalar bytes, so that no
// reader can skip work.
struct tally {
    uint64_t nodes = 0;
    uint64_t bytes = 0;
};

void walk_zarvel(const zarvel_node *n, tally &t, std::vector<zarvel_node *> &scratch) {
    t.nodes += 1;
    int32_t kind = zarvel_node_kind(n);
    if (kind == ZARVEL_NODE_SCALAR) {
        uint64_t len = 0;
        zarvel_node_value(n, &len);
        t.bytes += len;
        return;
    }
    uint64_t count = zarvel_node_children(n, nullptr, 0);
    size_t base = scratch.size();
    scratch.resize(base + count);
    zarvel_node_children(n, scratch.data() + base, count);
    for (uint64_t i = 0; i < count; ++i) walk_zarvel(scratch[base + i], t, scratch);
    scratch.resize(base);
}

tally run_zarvel(const std::string &text) {
    tally t;
    int32_t status = 0;
    zarvel_document *d = zarvel_parse_json(text.data(), text.size(), &status);
    if (!d) {
        std::fprintf(stderr, "zarvel_parse_json failed: %d %s\n", status, zarvel_last_error(nullptr, nullptr));
        return t;
    }
    std::vector<zarvel_node *> scratch;
    scratch.reserve(1024);
    walk_zarvel(zarvel_document_root(d, 0), t, scratch);
    zarvel_document_free(d);
    return t;
}

// Parse and build only: the nodes exist, nothing is read.
tally run_zarvel_build(const std::string &text) {
    tally t;
    int32_t status = 0;
    zarvel_document *d = zarvel_parse_json(text.data(), text.size(), &status);
    t.nodes = zarvel_document_count(d);
    zarvel_document_free(d);
    return t;
}

#ifdef HAVE_SIMDJSON
void walk_simdjson(simdjson::dom::element e, tally &t) {
    t.nodes += 1;
    switch (e.type()) {
    case simdjson::dom::element_type::ARRAY:
        for (simdjson::dom::element child : e.get_array()) walk_simdjson(child, t);
        break;
    case simdjson::dom::element_type::OBJECT:
        for (simdjson::dom::key_value_pair field : e.get_object()) {
            t.nodes += 1;
            t.bytes += field.key.size();
            walk_simdjson(field.value, t);
        }
        break;
    case simdjson::dom::element_type::STRING: t.bytes += std::string_view(e.get_string()).size(); break;
    default: t.bytes += 1; break;
    }
}

tally run_simdjson(simdjson::dom::parser &parser, const simdjson::padded_string &text) {
    tally t;
    simdjson::dom::element root;
    if (parser.parse(text).get(root)) return t;
    walk_simdjson(root, t);
    return t;
}
#endif

#ifdef HAVE_RAPIDJSON
void walk_rapidjson(const rapidjson::Value &v, tally &t) {
    t.nodes += 1;
    if (v.IsArray()) {
        for (const auto &child : v.GetArray()) walk_rapidjson(child, t);
    } else if (v.IsObject()) {
        for (const auto &member : v.GetObject()) {
            t.nodes += 1;
            t.bytes += member.name.GetStringLength();
            walk_rapidjson(member.value, t);
        }
    } else if (v.IsString()) {
        t.bytes += v.GetStringLength();
    } else {
        t.bytes += 1;
    }
}

tally run_rapidjson(const std::string &text) {
    tally t;
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) return t;
    walk_rapidjson(d, t);
    return t;
}
#endif

// Best of `rounds` timings, in MB/s (parse plus walk unless said otherwise).
template <typename F>
double best_rate(size_t bytes, int rounds, F &&f, tally *out) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        *out = f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, s);
    }
    return double(bytes) / best / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files = {"twitter.json", "citm_catalog.json", "canada.json", "gsoc-2018.json"};
    if (argc > 1) files.assign(argv + 1, argv + argc);
    int rounds = 30;
    std::printf("%-20s %10s %12s %12s %12s %12s\n", "file", "bytes", "zarvel", "(no walk)", "simdjson", "RapidJSON");
    for (const std::string &name : files) {
        std::string text = read_file("../shared/bench-data/" + name);
        if (text.empty()) {
            std::printf("%-20s missing\n", name.c_str());
            continue;
        }
        tally tz, tb, ts, tr;
        double z = best_rate(text.size(), rounds, [&] { return run_zarvel(text); }, &tz);
        double b = best_rate(text.size(), rounds, [&] { return run_zarvel_build(text); }, &tb);
        double s = 0, r = 0;
#ifdef HAVE_SIMDJSON
        simdjson::dom::parser parser;
        simdjson::padded_string padded(text);
        s = best_rate(text.size(), rounds, [&] { return run_simdjson(parser, padded); }, &ts);
#endif
#ifdef HAVE_RAPIDJSON
        r = best_rate(text.size(), rounds, [&] { return run_rapidjson(text); }, &tr);
#endif
        std::printf("%-20s %10zu %12.1f %12.1f %12.1f %12.1f   nodes %llu/%llu/%llu\n", name.c_str(), text.size(), z, b, s, r,
                    (unsigned long long)tz.nodes, (unsigned long long)ts.nodes, (unsigned long long)tr.nodes);
    }
    return 0;
}
