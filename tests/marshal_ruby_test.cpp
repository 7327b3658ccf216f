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

namespace fs = std::filesystem;

namespace {

const char *suite_dir = ZARVEL_SHARED_DIR "/conformance/yaml-test-suite";

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

TEST(MarshalRuby, SuiteCasesLoadAsRubyReadsThem) {
    if (!ruby_present()) GTEST_SKIP() << "ruby absent";
    const std::map<std::string, listed> list = read_list();

    char scratch_template[] = "/tmp/zarvel_marshal_ruby_XXXXXX";
    ASSERT_NE(mkdtemp(scratch_template), nullptr);
    const fs::path scratch = scratch_template;
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
                << id << ": status 7 (" << zarvel_last_error(nullptr, nullptr)
                << ") but not listed as status7";
            continue;
        }
        EXPECT_EQ(status, 0) << id;
        if (status != 0) continue;
        EXPECT_TRUE(it == list.end() || it->second.mode != "status7")
            << id << ": listed as status7 but marshals";
        const fs::path bin = scratch / (id + ".bin");
        std::ofstream(bin, std::ios::binary).write(bytes, static_cast<std::streamsize>(length));
        zarvel_marshal_free(bytes);
        const fs::path json = dir / "in.json";
        index << id << '\t' << bin.string() << '\t' << (dir / "in.yaml").string() << '\t'
              << (fs::exists(json) ? json.string() : "-") << '\n';
        ++sent;
    }
    index.close();
    for (const auto &[id, entry] : list)
        EXPECT_TRUE(seen.count(id)) << id << ": listed but not a single-document case";
    ASSERT_GT(sent, 100);

    const std::string command = "ruby tests/marshal_ruby_check.rb " + (scratch / "cases.txt").string();
    FILE *ruby = popen(command.c_str(), "r");
    ASSERT_NE(ruby, nullptr);
    std::map<std::string, std::pair<std::string, std::string>> verdicts;
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
    std::printf("marshal vs Ruby: %d single-document cases, %d as Psych reads them, %d as the JSON "
                "value, %d listed apart, %d status 7\n",
                single, psych, json, skipped, status7);
}

}  // namespace
