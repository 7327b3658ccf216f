// Throughput of zarvel_parse_json_tape against simdjson's DOM parse and
// RapidJSON's in-situ DOM parse, in one run, on the usual benchmark files.
// A baseline whose header is absent is skipped.
//
// Build and run (from the project root; one command line):
//   g++ -std=c++20 -O2 -DNDEBUG -Iinclude -Isrc -DZARVEL_BUILDING tests/json_tape_bench.cpp
//       src/json/{kernels,document,stage1,stage1_simd,stepper,tape,tape_builder}.cpp
//       src/core/*.cpp src/yaml/decode.cpp src/doc/resolve.cpp
//       -lsimdjson -o /tmp/json_tape_bench && /tmp/json_tape_bench
// (drop -lsimdjson when libsimdjson-dev is not installed).
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

// Best MB/s over enough repetitions to fill about half a second.
template <typename F>
double best_mbps(size_t bytes, F &&parse) {
    using clock = std::chrono::steady_clock;
    double best = 0;
    auto until = clock::now() + std::chrono::milliseconds(500);
    int runs = 0;
    while (runs < 5 || clock::now() < until) {
        auto start = clock::now();
        if (!parse()) return -1;
        double seconds = std::chrono::duration<double>(clock::now() - start).count();
        best = std::max(best, bytes / seconds / 1e6);
        ++runs;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv) {
    std::string dir = argc > 1 ? argv[1] : "../shared/bench-data";
    std::printf("%-18s %10s %10s %10s %8s %8s\n", "file", "tape", "simdjson", "rapidjson",
                "tape/sj", "tape/rj");
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        std::string text = read_file(dir + "/" + name);
        if (text.empty()) {
            std::printf("%-18s missing\n", name);
            continue;
        }
        double tape = best_mbps(text.size(), [&] {
            zarvel_tape t{};
            bool ok = zarvel_parse_json_tape(text.data(), text.size(), &t) == 0;
            zarvel_tape_free(&t);
            return ok;
        });
        double simd = 0, rapid = 0;
#ifdef HAVE_SIMDJSON
        simdjson::dom::parser parser;
        simdjson::padded_string padded(text);
        simd = best_mbps(text.size(), [&] { return parser.parse(padded).error() == simdjson::SUCCESS; });
#endif
#ifdef HAVE_RAPIDJSON
        std::vector<char> copy(text.size() + 1);
        rapidjson::Document document;
        rapid = best_mbps(text.size(), [&] {
            std::memcpy(copy.data(), text.data(), text.size());
            copy[text.size()] = 0;
            document.ParseInsitu(copy.data());
            return !document.HasParseError();
        });
#endif
        std::printf("%-18s %10.0f %10.0f %10.0f %8.2f %8.2f\n", name, tape, simd, rapid,
                    simd > 0 ? tape / simd : 0.0, rapid > 0 ? tape / rapid : 0.0);
    }
    return 0;
}
