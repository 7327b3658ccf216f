// Marshal bytes against the real client: every single-document case of the
// YAML test suite that marshals is loaded by Ruby's Marshal.load and compared
// with what Ruby's YAML loader (or, where YAML 1.1 and 1.2 read the text
// differently, its JSON parser on the suite's in.json) makes of the input.
// Cases that do not marshal, or are compared against JSON, are listed with a
// reason in tests/marshal_ruby_cases.txt. One Ruby process checks them all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zarvel.h"
#include "corpus.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path suite_dir = corpus::path("yaml-test-suite");

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct listed {
    std::string mode;  // status7, json or skip
    std::string reason;
};

// ID <TAB> mode <TAB> reason; blank lines and "#" comments ignored.
std::map<std::string, listed> read_list() {
    std::map<std::string, listed> out;
    std::ifstream in("tests/marshal_ruby_cases.txt");
    EXPECT_TRUE(in.is_open()) << "tests/marshal_ruby_cases.txt not found";
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string id, mode, reason;
        std::getline(fields, id, '\t');
        std::getline(fields, mode, '\t');
        std::getline(fields, reason);
        EXPECT_TRUE(mode == "status7" || mode == "json" || mode == "skip") << line;
        EXPECT_FALSE(reason.empty()) << "no reason given: " << line;
        EXPECT_EQ(out.count(id), 0u) << "listed twice: " << id;
        out[id] = {mode, reason};
    }
    return out;
}

bool ruby_present() { return std::system("ruby -e 'exit 0' >/dev/null 2>&1") == 0; }

using verdict_map = std::map<std::string, std::pair<std::string, std::string>>;

// Runs the checker over a case list; id -> {verdict, detail}.
verdict_map run_checker(const fs::path &list_file) {
    const std::string command = "ruby tests/marshal_ruby_check.rb " + list_file.string();
    verdict_map verdicts;
    FILE *ruby = popen(command.c_str(), "r");
    EXPECT_NE(ruby, nullptr);
    if (!ruby) return verdicts;
    char line[4096];
    std::string pending;
    while (std::fgets(line, sizeof line, ruby)) {
        pending += line;
        if (pending.empty() || pending.back() != '\n') continue;
        pending.pop_back();
        std::istringstream fields(pending);
        std::string id, verdict, detail;
        std::getline(fields, id, '\t');
        std::getline(fields, verdict, '\t');
        std::getline(fields, detail);
        verdicts[id] = {verdict, detail};
        pending.clear();
    }
    EXPECT_EQ(pclose(ruby), 0) << command;
    return verdicts;
}

fs::path scratch_dir() {
    char scratch_template[] = "/tmp/zarvel_marshal_ruby_XXXXXX";
    EXPECT_NE(mkdtemp(scratch_template), nullptr);
    return scratch_template;
}

// 20,000 anchors, each name defined four times, then 20,000 aliases: each
// links to the newest definition of its name.
std::string redefined_anchors() {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "- &a" + std::to_string(i % 5000) + " [" + std::to_string(i) + "]\n";
    for (int i = 0; i < 20000; ++i) text += "- *a" + std::to_string(i % 5000) + "\n";
    return text;
}

// Aliases inside the collection they name, and many anchors: Ruby must load
// the same self-referencing and shared objects as its YAML loader builds.
TEST(MarshalRuby, AliasesLoadAsSharedObjects) {
    if (!ruby_present()) GTEST_SKIP() << "ruby absent";
    const std::string many = redefined_anchors();
    const char *const cases[][2] = {
        {"many anchors", many.c_str()},
        {"sequence", "&y [1, *y]"},
        {"mapping", "&m {k: *m}"},
        {"nested", "a: &y [1, *y]"},
        {"as key", "- &k [*k]\n- {*k : 1}"},
        {"two levels", "- &a {x: [*a, &b [*b, *a]]}\n- *a"},
        {"redefined inside", "&a [1, &a [2, *a], *a]"},
        {"block", "&top\nself: *top\nlist: &l\n  - *l\n  - *top\n"},
    };
    const fs::path scratch = scratch_dir();
    std::ofstream index(scratch / "cases.txt");
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string text = cases[i][1];
        char *bytes = nullptr;
        uint64_t length = 0;
        ASSERT_EQ(zarvel_marshal(text.data(), text.size(), 0, 1, &bytes, &length), 0) << cases[i][0];
        const std::string id = std::to_string(i);
        std::ofstream(scratch / (id + ".bin"), std::ios::binary).write(bytes, static_cast<std::streamsize>(length));
        zarvel_marshal_free(bytes);
        std::ofstream(scratch / (id + ".yaml"), std::ios::binary) << text;
        index << id << '\t' << (scratch / (id + ".bin")).string() << '\t' << (scratch / (id + ".yaml")).string()
              << "\t-\n";
    }
    index.close();
    const verdict_map verdicts = run_checker(scratch / "cases.txt");
    fs::remove_all(scratch);
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto it = verdicts.find(std::to_string(i));
        ASSERT_NE(it, verdicts.end()) << cases[i][0];
        EXPECT_EQ(it->second.first, "psych") << cases[i][0] << ": " << it->second.second;
    }
}

TEST(MarshalRuby, SuiteCasesLoadAsRubyReadsThem) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    if (!ruby_present()) GTEST_SKIP() << "ruby absent";
    const std::map<std::string, listed> list = read_list();

    const fs::path scratch = scratch_dir();
    std::vector<fs::path> cases;
    for (const auto &entry : fs::directory_iterator(suite_dir))
        if (!fs::exists(entry.path() / "error")) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());

    std::ofstream index(scratch / "cases.txt");
    std::set<std::string> seen;
    int single = 0, status7 = 0, sent = 0;
    for (const fs::path &dir : cases) {
        const std::string id = dir.filename().string();
        const std::string text = read_file(dir / "in.yaml");
        int32_t status = 0;
        zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
        const uint32_t documents = doc ? zarvel_document_count(doc) : 0;
        zarvel_document_free(doc);
        if (documents != 1) continue;
        ++single;
        seen.insert(id);
        char *bytes = nullptr;
        uint64_t length = 0;
        status = zarvel_marshal(text.data(), text.size(), 0, 1, &bytes, &length);
        auto it = list.find(id);
        if (status == 7) {
            ++status7;
            EXPECT_TRUE(it != list.end() && it->second.mode == "status7")
                << id << ": status 7 (" << zarvel_last_error(nullptr, nullptr) << ") but not listed as status7";
            continue;
        }
        EXPECT_EQ(status, 0) << id;
        if (status != 0) continue;
        EXPECT_TRUE(it == list.end() || it->second.mode != "status7") << id << ": listed as status7 but marshals";
        const fs::path bin = scratch / (id + ".bin");
        std::ofstream(bin, std::ios::binary).write(bytes, static_cast<std::streamsize>(length));
        zarvel_marshal_free(bytes);
        const fs::path json = dir / "in.json";
        index << id << '\t' << bin.string() << '\t' << (dir / "in.yaml").string() << '\t'
              << (fs::exists(json) ? json.string() : "-") << '\n';
        ++sent;
    }
    index.close();
    for (const auto &[id, entry] : list) EXPECT_TRUE(seen.count(id)) << id << ": listed but not a single-document case";
    ASSERT_GT(sent, 100);

    const verdict_map verdicts = run_checker(scratch / "cases.txt");
    fs::remove_all(scratch);
    EXPECT_EQ(verdicts.size(), static_cast<size_t>(sent));

    int psych = 0, json = 0, skipped = 0;
    for (const auto &[id, got] : verdicts) {
        const auto &[verdict, detail] = got;
        auto it = list.find(id);
        const std::string mode = it == list.end() ? "psych" : it->second.mode;
        if (verdict == "psych") {
            ++psych;
            EXPECT_EQ(mode, "psych") << id << ": listed as " << mode << " but Psych agrees";
        } else if (mode == "json") {
            ++json;
            EXPECT_EQ(verdict, "json") << id << ": " << detail;
        } else if (mode == "skip") {
            ++skipped;
        } else {
            ADD_FAILURE() << id << ": " << verdict << ": " << detail;
        }
    }
    std::printf(
        "marshal vs Ruby: %d single-document cases, %d as Psych reads them, %d as the JSON "
        "value, %d listed apart, %d status 7\n",
        single, psych, json, skipped, status7);
}

}  // namespace
