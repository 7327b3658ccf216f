// Marshal bytes: exact encodings, links, statuses, failure injection and a
// round trip through Ruby's own loader when it is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "zarvel.h"
#include "corpus.hpp"

namespace {

std::string hex(const char *p, uint64_t n) {
    std::string s;
    char b[4];
    for (uint64_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(p[i]));
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

struct result {
    int32_t status;
    std::string bytes;
};

result marshal(const std::string &text, uint32_t single, int32_t schema = 0) {
    char *out = nullptr;
    uint64_t len = 0;
    int32_t st = zarvel_marshal(text.data(), text.size(), schema, single, &out, &len);
    result r{st, st == 0 ? hex(out, len) : ""};
    zarvel_marshal_free(out);
    return r;
}

struct byte_row {
    const char *text;
    uint32_t single;
    int32_t schema;
    const char *hex;
};

TEST(Marshal, ExactBytes) {
    const byte_row rows[] = {
        {"", 1, 0, "04 08 30"},
        {"", 0, 0, "04 08 5B 06 30"},
        {"a: 1", 1, 0, "04 08 7B 06 49 22 06 61 06 3A 06 45 54 69 06"},
        {"x: &n 5\ny: *n", 1, 0, "04 08 7B 07 49 22 06 78 06 3A 06 45 54 69 0A 49 22 06 79 06 3A 06 45 54 69 0A"},
        {"x: &a [1]\ny: *a", 1, 0,
         "04 08 7B 07 49 22 06 78 06 3A 06 45 54 5B 06 69 06 49 22 06 79 06 3A 06 45 54 40 07"},
        {":sym", 1, 0, "04 08 3A 08 73 79 6D"},
        {"::x", 1, 0, "04 08 49 22 08 3A 3A 78 06 3A 06 45 54"},
        {"12345678901234567890", 1, 0, "04 08 6C 2B 09 D2 0A 1F EB 8C A9 54 AB"},
        {"-123", 1, 0, "04 08 69 FF 85"},
        {"1073741824", 1, 0, "04 08 6C 2B 07 00 00 00 40"},
        {"-1073741823", 1, 0, "04 08 69 FC 01 00 00 C0"},
        {"-9223372036854775808", 1, 0, "04 08 6C 2D 09 00 00 00 00 00 00 00 80"},
        {"[~, true, false]", 1, 0, "04 08 5B 08 30 54 46"},
        {"1.5", 1, 0, "04 08 66 08 31 2E 35"},
        {".nan", 1, 0, "04 08 66 08 6E 61 6E"},
        {"-.inf", 1, 0, "04 08 66 09 2D 69 6E 66"},
        {"1e3", 1, 1, "04 08 49 22 08 31 65 33 06 3A 06 45 54"},
        {"y", 1, 1, "04 08 49 22 06 79 06 3A 06 45 54"},
        {"a\n---\nb", 0, 0, "04 08 5B 07 49 22 06 61 06 3A 06 45 54 49 22 06 62 06 3A 06 45 54"},
        {"a\n---\nb", 1, 0, "04 08 49 22 06 61 06 3A 06 45 54"},
        {"[1.5, &f 2.5, *f]", 1, 0, "04 08 5B 08 66 08 31 2E 35 66 08 32 2E 35 40 07"},
        {"[&s :x, *s]", 1, 0, "04 08 5B 07 3A 06 78 3A 06 78"},
        // An alias inside its own collection links to it while it is open.
        {"&y [1, *y]", 1, 0, "04 08 5B 07 69 06 40 00"},
        {"&m {k: *m}", 1, 0, "04 08 7B 06 49 22 06 6B 06 3A 06 45 54 40 00"},
        {"[&a [1, &a [2, *a], *a]]", 1, 0, "04 08 5B 06 5B 08 69 06 5B 07 69 07 40 07 40 07"},
    };
    for (const byte_row &row : rows) {
        result r = marshal(row.text, row.single, row.schema);
        EXPECT_EQ(r.status, 0) << row.text;
        EXPECT_EQ(r.bytes, row.hex) << row.text;
    }
}

struct status_row {
    const char *text;
    uint32_t single;
    int32_t status;
    const char *message;
};

TEST(Marshal, Statuses) {
    const char *merge =
        "marshal: merge key, timestamp or forward alias not expressible; fall back to the value "
        "walk";
    const status_row rows[] = {
        {"<<: {a: 1}", 1, 7, merge},    {"!!timestamp 2001-12-14", 1, 7, merge},
        {"!!binary aGk=", 1, 7, merge}, {"[*a, &a 1]", 1, 7, nullptr},  // parse: unknown alias, or forward alias
        {"a: [", 1, 1, nullptr},        {"a", 2, 6, nullptr},
    };
    for (const status_row &row : rows) {
        result r = marshal(row.text, row.single);
        if (std::string(row.text) == "[*a, &a 1]") {
            EXPECT_TRUE(r.status == 1 || r.status == 7) << row.text;
            continue;
        }
        EXPECT_EQ(r.status, row.status) << row.text;
        if (row.message) {
            EXPECT_STREQ(zarvel_error_current()->message, row.message) << row.text;
            EXPECT_EQ(zarvel_error_current()->code, 1u) << row.text;
        }
    }
    char *out = reinterpret_cast<char *>(1);
    uint64_t len = 9;
    EXPECT_EQ(zarvel_marshal(nullptr, 3, 0, 1, &out, &len), 6);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(zarvel_marshal("a", 1, 0, 1, nullptr, &len), 6);
    EXPECT_EQ(zarvel_marshal_node(nullptr, &out, &len), 6);
}

TEST(Marshal, BigIntegerBeyondBufferIsString) {
    std::string digits(700, '7');
    result r = marshal(digits, 1);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.bytes.substr(0, 8), "04 08 49");  // a string: every digit kept
    std::string fits(600, '7');
    r = marshal(fits, 1);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.bytes.substr(0, 11), "04 08 6C 2B");
}

TEST(Marshal, Node) {
    const char text[] = "a: &x [1, 2]\nb: *x\nc: !foo 1\n";
    int32_t st = 0;
    zarvel_document *doc = zarvel_parse(text, sizeof text - 1, &st);
    ASSERT_NE(doc, nullptr);
    zarvel_node *root = zarvel_document_root(doc, 0);
    char *out = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(zarvel_marshal_node(root, &out, &len), 7);
    EXPECT_STREQ(zarvel_error_current()->message,
                 "marshal: explicitly tagged node not expressible; fall back to the value walk");
    zarvel_node *a = zarvel_node_map_get(root, "a", 1);
    ASSERT_EQ(zarvel_marshal_node(a, &out, &len), 0);
    EXPECT_EQ(hex(out, len), "04 08 5B 07 69 06 69 07");
    zarvel_marshal_free(out);
    zarvel_document_free(doc);

    const char two[] = "a: &x [1, 2]\nb: *x\n";
    doc = zarvel_parse(two, sizeof two - 1, &st);
    root = zarvel_document_root(doc, 0);
    ASSERT_EQ(zarvel_marshal_node(root, &out, &len), 0);
    char *direct = nullptr;
    uint64_t direct_len = 0;
    ASSERT_EQ(zarvel_marshal(two, sizeof two - 1, 0, 1, &direct, &direct_len), 0);
    EXPECT_EQ(hex(out, len), hex(direct, direct_len));
    zarvel_marshal_free(out);
    zarvel_marshal_free(direct);
    zarvel_document_free(doc);
}

TEST(Marshal, FailureInjection) {
    const std::string text = "a: &x [1, 2, {b: 12345678901234567890}]\nc: *x\nd: [x, 1.5]\n";
    result good = marshal(text, 0);
    ASSERT_EQ(good.status, 0);
    for (uint64_t n = 1;; ++n) {
        zvl::testing::fail_allocation(n);
        result r = marshal(text, 0);
        uint64_t seen = zvl::testing::fail_allocation(0);
        if (r.status == 0) {
            EXPECT_EQ(r.bytes, good.bytes);
            if (seen < n) break;
        } else {
            EXPECT_EQ(r.status, 2) << "allocation " << n;
        }
        ASSERT_LT(n, 10000u);
    }
}

// Ruby's loader: the bytes must load as what Ruby's YAML loader makes of the text.
TEST(Marshal, RubyLoadsTheBytes) {
    if (std::system("ruby -e 'exit 0' >/dev/null 2>&1") != 0) GTEST_SKIP() << "ruby absent";
    const char *cases[] = {
        "a: 1\nb: [true, false, ~, 2.5, -7]\nc: {d: text, e: 'quoted'}\n",
        "x: &a [1, 2]\ny: *a\n",
        "- 12345678901234567890\n- -98765432109876543210123\n- 1073741824\n- -1073741825\n",
        "- héllo\n- \"ü\\n\"\n- ''\n",
        "- 0.1\n- 1.0e+300\n- -0.0\n- 123456789.125\n",
        "[1, [2, [3, {k: v}]]]",
    };
    int index = 0;
    for (const char *text : cases) {
        char *out = nullptr;
        uint64_t len = 0;
        ASSERT_EQ(zarvel_marshal(text, std::strlen(text), 0, 1, &out, &len), 0) << text;
        std::string base = "/tmp/zarvel_marshal_test_" + std::to_string(index++);
        {
            std::ofstream m(base + ".bin", std::ios::binary);
            m.write(out, static_cast<std::streamsize>(len));
            std::ofstream y(base + ".yaml", std::ios::binary);
            y << text;
        }
        zarvel_marshal_free(out);
        std::string cmd =
            "ruby -ryaml -e 'a = Marshal.load(File.binread(ARGV[0])); "
            "b = YAML.safe_load(File.read(ARGV[1], encoding: \"UTF-8\"), aliases: true); "
            "ok = a == b && (a.is_a?(Array) ? a.flatten.grep(String).all? { |s| s.encoding == "
            "Encoding::UTF_8 } : true); "
            "ok &&= (!a.is_a?(Hash) || !a.key?(\"y\") || a[\"x\"].equal?(a[\"y\"])); "
            "exit(ok ? 0 : 1)' " +
            base + ".bin " + base + ".yaml";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << text;
        std::remove((base + ".bin").c_str());
        std::remove((base + ".yaml").c_str());
    }
}

}  // namespace

namespace {

// Every accepted JSON conformance file: Ruby's Marshal.load of our bytes
// equals Ruby's JSON.parse of the same text.
TEST(Marshal, RubyAgreesOnJsonCorpus) {
    SKIP_WITHOUT_CORPUS("json-test-suite");
    if (std::system("ruby -e 'exit 0' >/dev/null 2>&1") != 0) GTEST_SKIP() << "ruby absent";
    const std::string dir = corpus::path("json-test-suite").string() + "/";
    std::string list = "/tmp/zarvel_marshal_corpus.txt";
    std::ofstream index(list);
    int written = 0;
    FILE *ls = popen(("ls " + dir + " | grep '^y_.*\\.json$'").c_str(), "r");
    ASSERT_NE(ls, nullptr);
    char name[512];
    while (std::fgets(name, sizeof name, ls)) {
        std::string file = name;
        file.pop_back();
        std::ifstream in(dir + file, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        char *out = nullptr;
        uint64_t len = 0;
        int32_t st = zarvel_marshal(text.data(), text.size(), 0, 1, &out, &len);
        if (st != 0) {
            ADD_FAILURE() << file << ": status " << st;
            continue;
        }
        std::string bin = "/tmp/zarvel_marshal_corpus_" + std::to_string(written++) + ".bin";
        std::ofstream(bin, std::ios::binary).write(out, static_cast<std::streamsize>(len));
        zarvel_marshal_free(out);
        index << dir + file << "\t" << bin << "\n";
    }
    pclose(ls);
    index.close();
    ASSERT_GT(written, 50);
    std::string cmd =
        "ruby -rjson -e 'bad = 0; File.readlines(ARGV[0], chomp: true).each { |l| j, b = "
        "l.split(\"\\t\"); a = Marshal.load(File.binread(b)); "
        "e = JSON.parse(File.read(j, encoding: \"UTF-8\"), quirks_mode: true) rescue next; "
        "if a != e then bad += 1; STDERR.puts j end; File.delete(b) }; exit(bad == 0 ? 0 : 1)' " +
        list;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::remove(list.c_str());
}

}  // namespace
