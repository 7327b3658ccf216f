// "zarvel tape": output lines and exit statuses. The tool is looked up next
// to this test program (../tools/zarvel in the build tree).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path tool() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "zarvel"; }

struct result {
    int status;
    std::string out;
    std::string err;
};

result run_tape(const std::string &input, const std::string &options) {
    fs::path dir = fs::temp_directory_path() / ("zarvel_tape_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "in.json", std::ios::binary) << input;
    std::string command = tool().string() + " tape " + options + " " + (dir / "in.json").string() + " >" +
                          (dir / "out").string() + " 2>" + (dir / "err").string();
    int raw = std::system(command.c_str());
    auto slurp = [](const fs::path &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "out"), slurp(dir / "err")};
    fs::remove_all(dir);
    return r;
}

TEST(JsonTool, Tape) {
    if (!fs::exists(tool())) GTEST_SKIP() << "no tool at " << tool();
    struct row {
        std::string input, options;
        int status;
        std::string out, err;
    };
    const row rows[] = {
        {"{\"a\":[1,2.5,true]}", "", 0,
         "0 0 0 0\n1 8 8 0\n2 6 2 1 a\n3 7 7 0\n4 4 6 1 1\n5 5 8 3 2.5\n6 2 12 4 true\n7 9 3 0\n8 9 1 0\n", ""},
        {" \"x\\ny\" ", "", 0, "0 0 0 0\n1 6 2 4 x\\ny\n", ""},
        {"[1.2.3]", "", 1, "", "zarvel tape: not strict JSON at byte 1\n"},
        {"[1.2.3]", "--lenient", 0, "0 0 0 0\n1 7 3 0\n2 10 1 5 1.2.3\n3 9 1 0\n", ""},
        {"[1,]", "--lenient", 1, "", "zarvel tape: not JSON (status 1)\n"},
        {"   ", "--lenient", 1, "", "zarvel tape: empty document (lenient tape)\n"},
        {"[\"\xff\"]", "", 1, "", "zarvel tape: ill-formed UTF-8 at byte 2\n"},
    };
    for (const row &r : rows) {
        result got = run_tape(r.input, r.options);
        EXPECT_EQ(got.status, r.status) << r.input;
        EXPECT_EQ(got.out, r.out) << r.input;
        EXPECT_EQ(got.err, r.err) << r.input;
    }
}

}  // namespace
