// JSONTestSuite: y_* must be accepted, n_* refused by the validator, the
// strict tape, the document parse and the JSON visitor; i_* must not crash and their outcomes are pinned in
// tests/json_i_outcomes.txt (regenerate with ZARVEL_WRITE_OUTCOMES=1).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "zarvel.h"
#include "corpus.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path suite = corpus::path("json-test-suite");
const fs::path outcomes_file = fs::path(ZARVEL_SOURCE_DIR) / "tests" / "json_i_outcomes.txt";

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> cases(char prefix) {
    std::vector<fs::path> out;
    for (const auto &e : fs::directory_iterator(suite)) {
        std::string name = e.path().filename().string();
        if (name.size() > 2 && name[0] == prefix && name[1] == '_') out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct outcome {
    int32_t document;
    int32_t tape;
    int32_t lenient;
    int32_t parsed = 0;   // zarvel_parse_json's status
    int32_t visited = 0;  // zarvel_visit_json's status
};

outcome run(const std::string &text) {
    outcome o;
    uint64_t offset = 0;
    o.document = zvl_json_document(text.data(), text.size(), &offset);
    zarvel_tape tape{};
    o.tape = zarvel_parse_json_tape(text.data(), text.size(), &tape);
    zarvel_tape_free(&tape);
    o.lenient = zarvel_parse_json_tape_lenient(text.data(), text.size(), &tape);
    zarvel_tape_free(&tape);
    zarvel_document_free(zarvel_parse_json(text.data(), text.size(), &o.parsed));
    zarvel_visitor nothing{};
    o.visited = zarvel_visit_json(text.data(), text.size(), &nothing, nullptr);
    return o;
}

TEST(JsonConformance, SuiteIsPresent) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    ASSERT_TRUE(fs::is_directory(suite)) << suite;
    EXPECT_GT(cases('y').size(), 90u);
    EXPECT_GT(cases('n').size(), 180u);
}

TEST(JsonConformance, AcceptedFiles) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    for (const fs::path &path : cases('y')) {
        std::string text = read_file(path);
        outcome o = run(text);
        EXPECT_EQ(o.document, 1) << path.filename();
        EXPECT_EQ(o.tape, 0) << path.filename() << ": " << zarvel_last_error(nullptr, nullptr);
        EXPECT_EQ(o.lenient, 0) << path.filename();
        EXPECT_EQ(o.parsed, 0) << path.filename();
        EXPECT_EQ(o.visited, 0) << path.filename();
    }
}

TEST(JsonConformance, RefusedFiles) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    for (const fs::path &path : cases('n')) {
        std::string text = read_file(path);
        outcome o = run(text);
        EXPECT_EQ(o.document, 0) << path.filename();
        // 3: a text nested past the tape's own limit.
        EXPECT_TRUE(o.tape == 1 || o.tape == 3 || o.tape == 4) << path.filename() << ": status " << o.tape;
        EXPECT_TRUE(o.parsed == 1 || o.parsed == 3 || o.parsed == 4) << path.filename() << ": status " << o.parsed;
        EXPECT_TRUE(o.visited == 1 || o.visited == 3) << path.filename() << ": status " << o.visited;
    }
}

TEST(JsonConformance, ImplementationDefinedFilesKeepTheirOutcome) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    std::ostringstream now;
    for (const fs::path &path : cases('i')) {
        outcome o = run(read_file(path));
        now << path.filename().string() << " document=" << o.document << " tape=" << o.tape << " lenient=" << o.lenient
            << "\n";
    }
    if (std::getenv("ZARVEL_WRITE_OUTCOMES")) {
        std::ofstream(outcomes_file) << now.str();
        GTEST_SKIP() << "wrote " << outcomes_file;
    }
    EXPECT_EQ(now.str(), read_file(outcomes_file));
}

}  // namespace
