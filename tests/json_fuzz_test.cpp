// The JSON tape fuzz target, bounded: the JSONTestSuite files and random
// mutations of them (byte flips, insertions of JSON bytes, cuts, splices)
// run through the same invariant checks as the libFuzzer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "json_tape_fuzz.cpp"
#include "corpus.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> seeds() {
    std::vector<std::string> out;
    fs::path suite = corpus::path("json-test-suite");
    std::vector<fs::path> paths;
    for (const auto &e : fs::directory_iterator(suite)) paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    for (const fs::path &p : paths) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        if (s.str().size() < 4096) out.push_back(s.str());
    }
    out.push_back("{\"a\":[1,2.5,true,null,\"x\\u00e9\"],\"b\":{\"c\":-0}}");
    return out;
}

std::string mutate(std::string s, std::mt19937_64 &random, const std::vector<std::string> &pool) {
    static const char bytes[] = "[]{},:\"\\ \t\n0123456789-+.eEtrufalsn\x01\x7f\x80\xc3\xa9\xff";
    int steps = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < steps; ++i) {
        size_t at = s.empty() ? 0 : random() % (s.size() + 1);
        switch (random() % 5) {
        case 0:
            if (!s.empty() && at < s.size()) s[at] = bytes[random() % (sizeof bytes - 1)];
            break;
        case 1: s.insert(at, 1, bytes[random() % (sizeof bytes - 1)]); break;
        case 2: s.resize(at); break;
        case 3:
            if (at < s.size()) s.erase(at, 1 + random() % 4);
            break;
        default: {
            const std::string &other = pool[random() % pool.size()];
            size_t from = other.empty() ? 0 : random() % other.size();
            s.insert(at, other.substr(from, random() % 16));
        }
        }
    }
    return s;
}

TEST(JsonFuzz, BoundedRunOverMutatedSuiteFiles) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    std::vector<std::string> pool = seeds();
    ASSERT_GT(pool.size(), 200u);
    for (const std::string &s : pool) json_fuzz::run_one(s.data(), s.size());
    std::mt19937_64 random(31337);
    for (int i = 0; i < 400000; ++i) {
        std::string input = mutate(pool[random() % pool.size()], random, pool);
        // A heap copy of exactly the input's size lets the sanitizer catch
        // any read past the length.
        std::vector<char> exact(input.begin(), input.end());
        json_fuzz::run_one(exact.data(), exact.size());
    }
}

}  // namespace
