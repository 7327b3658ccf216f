// CBOR against the YAML conformance cases: an independent decoder (Python's
// cbor2) reads our encoding of every single-document case and must see the
// values of our own tree; and YAML -> CBOR -> document -> YAML gives the same
// tree again. Cases that cannot be encoded (status 7) are listed with the
// reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "zarvel.h"
#include <unistd.h>
#include <algorithm>
#include <iostream>
#include "corpus.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path suite = corpus::path("yaml-test-suite");

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string hex_of(const char *p, size_t n) {
    std::string out;
    char h[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(h, sizeof h, "%02x", uint8_t(p[i]));
        out += h;
    }
    return out;
}

std::string text_of(const zarvel_node *node) {
    uint64_t n = 0;
    const char *p = zarvel_node_value(node, &n);
    return p ? std::string(p, n) : std::string();
}

bool well_formed_utf8(const std::string &s) { return zarvel_validate_utf8(s.data(), s.size(), nullptr, false); }

// The value a CBOR reader must see for a node, in a notation both sides
// write: i:<integer>, f:<binary64 bits>, s:/b:<hex>, t, f, n, u, simple:N,
// [..], {k:v,..}.
std::string value_notation(const zarvel_node *node) {
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_SEQUENCE: {
        std::string out = "[";
        for (uint64_t i = 0; i < zarvel_node_seq_count(node); ++i)
            out += (i ? "," : "") + value_notation(zarvel_node_seq_at(node, i));
        return out + "]";
    }
    case ZARVEL_NODE_MAPPING: {
        std::string out = "{";
        for (uint64_t i = 0; i < zarvel_node_map_count(node); ++i) {
            zarvel_node *k = nullptr, *v = nullptr;
            zarvel_node_map_at(node, i, &k, &v);
            out += (i ? "," : "") + value_notation(k) + ":" + value_notation(v);
        }
        return out + "}";
    }
    case ZARVEL_NODE_ALIAS: return "<alias>";
    default: break;
    }
    const std::string text = text_of(node);
    const int id = zarvel_node_tag_id(node);
    if (id == ZARVEL_TAG_INT || id == ZARVEL_TAG_FLOAT) {
        static const std::regex integer(R"(-?(0|[1-9][0-9]*))");
        if (std::regex_match(text, integer) && text.size() <= 21) {
            // Within CBOR's integer heads: [-2^64, 2^64 - 1].
            const bool negative = text[0] == '-';
            const std::string digits = negative ? text.substr(1) : text;
            const std::string limit = negative ? "18446744073709551616" : "18446744073709551615";
            if (digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit))
                return "i:" + ((negative && digits != "0") ? "-" + digits : digits);
        }
        double d = 0;
        if (text == "NaN") return "f:nan";
        if (text == "Infinity")
            d = HUGE_VAL;
        else if (text == "-Infinity")
            d = -HUGE_VAL;
        else
            d = std::strtod(text.c_str(), nullptr);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        char h[20];
        std::snprintf(h, sizeof h, "%016llx", (unsigned long long)bits);
        return std::string("f:") + h;
    }
    if (id == ZARVEL_TAG_BOOL) return zvl_num_bool(text.data(), uint32_t(text.size())) ? "t" : "f";
    if (id == ZARVEL_TAG_NULL) return "n";
    if (text == "undefined") return "u";
    static const std::regex simple(R"(simple\(([0-9]{1,3})\))");
    std::smatch m;
    if (std::regex_match(text, m, simple)) {
        const int n = std::stoi(m[1].str());
        if (n <= 23 || (n >= 32 && n <= 255))
            return n >= 20 && n <= 23 ? (n == 20   ? "f"
                                         : n == 21 ? "t"
                                         : n == 22 ? "n"
                                                   : "u")
                                      : "simple:" + std::to_string(n);
    }
    if (id == ZARVEL_TAG_BINARY || !well_formed_utf8(text)) return "b:" + hex_of(text.data(), text.size());
    return "s:" + hex_of(text.data(), text.size());
}

// Why a tree cannot be encoded (the first reason found), or empty.
std::string unencodable(const zarvel_node *node) {
    uint64_t n = 0;
    const char *tag = zarvel_node_tag(node, &n);
    if (tag) {
        static const std::regex numeric(R"([0-9]+( [0-9]+)*)");
        if (!std::regex_match(std::string(tag, n), numeric)) return "tag " + std::string(tag, n);
    }
    switch (zarvel_node_kind(node)) {
    case ZARVEL_NODE_ALIAS: return "alias";
    case ZARVEL_NODE_SEQUENCE:
    case ZARVEL_NODE_MAPPING: {
        std::vector<zarvel_node *> children(zarvel_node_children(node, nullptr, 0));
        zarvel_node_children(node, children.data(), children.size());
        for (zarvel_node *c : children) {
            std::string why = unencodable(c);
            if (!why.empty()) return why;
        }
        return "";
    }
    default: break;
    }
    const int id = zarvel_node_tag_id(node);
    if (id == ZARVEL_TAG_INT || id == ZARVEL_TAG_FLOAT) {
        const std::string text = text_of(node);
        static const std::regex json_number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
        if (text != "NaN" && text != "Infinity" && text != "-Infinity" &&
            (text.size() > 32 || !std::regex_match(text, json_number)))
            return "number text " + text;
    }
    return "";
}

struct yaml_case {
    std::string id;
    std::string yaml;
};

// Every case that must parse and holds one document.
std::vector<yaml_case> single_document_cases() {
    std::vector<yaml_case> cases;
    for (const auto &entry : fs::directory_iterator(suite)) {
        if (!entry.is_directory() || fs::exists(entry.path() / "error")) continue;
        if (!fs::exists(entry.path() / "in.yaml")) continue;
        cases.push_back({entry.path().filename().string(), read_file(entry.path() / "in.yaml")});
    }
    std::sort(cases.begin(), cases.end(), [](const yaml_case &a, const yaml_case &b) { return a.id < b.id; });
    return cases;
}

struct parsed {
    zarvel_document *doc = nullptr;
    ~parsed() { zarvel_document_free(doc); }
};

std::string python_with_cbor2() {
    for (const char *python : {"/usr/bin/python3", "python3"}) {
        const std::string probe = std::string(python) + " -c 'import cbor2' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) return python;
    }
    return "";
}

const char *oracle_script = R"PY(
import sys, os, math, struct, cbor2
def norm(v):
    if v is None: return "n"
    if v is True: return "t"
    if v is False: return "f"
    if v is cbor2.undefined: return "u"
    if isinstance(v, int): return "i:%d" % v
    if isinstance(v, float): return "f:nan" if math.isnan(v) else "f:" + struct.pack(">d", v).hex()
    if isinstance(v, str): return "s:" + v.encode("utf-8", "surrogatepass").hex()
    if isinstance(v, (bytes, bytearray)): return "b:" + bytes(v).hex()
    if isinstance(v, (list, tuple)): return "[" + ",".join(norm(x) for x in v) + "]"
    if hasattr(v, "items"): return "{" + ",".join(norm(k) + ":" + norm(x) for k, x in v.items()) + "}"
    if isinstance(v, cbor2.CBORSimpleValue): return "simple:%d" % v.value
    if isinstance(v, cbor2.CBORTag): return "tag:%d(%s)" % (v.tag, norm(v.value))
    return "?" + repr(v)
folder = sys.argv[1]
for name in sorted(os.listdir(folder)):
    with open(os.path.join(folder, name), "rb") as f:
        data = f.read()
    try:
        print(name + "\t" + norm(cbor2.loads(data)))
    except Exception as e:
        print(name + "\terror " + str(e).replace("\n", " "))
)PY";

TEST(CborYaml, IndependentDecoderSeesOurValues) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    const std::string python = python_with_cbor2();
    if (python.empty()) GTEST_SKIP() << "python3-cbor2 is not installed";
    const fs::path folder = fs::temp_directory_path() / ("zarvel-cbor-oracle-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::map<std::string, std::string> expected;
    std::map<std::string, std::string> refused;
    for (const auto &c : single_document_cases()) {
        parsed p;
        int32_t status = -1;
        p.doc = zarvel_parse(c.yaml.data(), c.yaml.size(), &status);
        if (!p.doc || zarvel_document_count(p.doc) != 1) continue;
        zarvel_node *root = zarvel_document_root(p.doc, 0);
        uint64_t n = 0;
        uint8_t *bytes = zarvel_cbor_encode(p.doc, 0, &n);
        const std::string why = unencodable(root);
        if (!bytes) {
            EXPECT_FALSE(why.empty()) << c.id << ": " << zarvel_last_error(nullptr, nullptr);
            EXPECT_STREQ(zarvel_last_error(nullptr, nullptr), "cbor encode failed (status 7)") << c.id;
            refused[c.id] = why;
            continue;
        }
        EXPECT_TRUE(why.empty()) << c.id << " encoded although " << why;
        std::ofstream(folder / c.id, std::ios::binary).write(reinterpret_cast<const char *>(bytes), std::streamsize(n));
        zarvel_free(bytes);
        expected[c.id] = value_notation(root);
    }
    const std::string output_file = (folder / "oracle.out").string();
    const fs::path script = folder.parent_path() / ("zarvel-cbor-oracle-" + std::to_string(::getpid()) + ".py");
    std::ofstream(script) << oracle_script;
    const std::string command = python + " " + script.string() + " " + folder.string() + " > " + output_file;
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream out(output_file);
    std::map<std::string, std::string> seen;
    std::string line;
    while (std::getline(out, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) seen[line.substr(0, tab)] = line.substr(tab + 1);
    }
    fs::remove_all(folder);
    fs::remove(script);
    ASSERT_GT(expected.size(), 150u);
    int agreed = 0;
    for (const auto &[id, want] : expected) {
        const std::string got = seen.count(id) ? seen[id] : "<missing>";
        // A Python dict keeps one of several equal keys.
        if (got != want && got.size() < want.size() && want[0] == '{') {
            std::cout << "  " << id << ": duplicate keys collapse in the oracle's dict\n";
            continue;
        }
        EXPECT_EQ(got, want) << id;
        agreed += got == want;
    }
    std::cout << "cbor2 agrees on " << agreed << " of " << expected.size() << " encodable cases; " << refused.size()
              << " cases refused with status 7:\n";
    for (const auto &[id, why] : refused) std::cout << "  " << id << ": " << why << "\n";
}

TEST(CborYaml, YamlThroughCborAndBack) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    int compared = 0;
    std::vector<std::string> structure_keys;
    for (const auto &c : single_document_cases()) {
        parsed original;
        int32_t status = -1;
        original.doc = zarvel_parse(c.yaml.data(), c.yaml.size(), &status);
        if (!original.doc || zarvel_document_count(original.doc) != 1) continue;
        uint64_t n = 0;
        uint8_t *bytes = zarvel_cbor_encode(original.doc, 0, &n);
        if (!bytes) continue;  // listed by the oracle test
        const std::string want = value_notation(zarvel_document_root(original.doc, 0));
        parsed decoded;
        decoded.doc = zarvel_cbor_decode(bytes, n, 1, &status);
        if (!decoded.doc) decoded.doc = zarvel_cbor_decode(bytes, n, 0, &status);  // non-text keys
        if (!decoded.doc) {
            // The decoder takes no arrays or maps as keys, in either mode.
            const std::string message = zarvel_last_error(nullptr, nullptr);
            EXPECT_EQ(message.rfind("structure as map key at byte ", 0), 0u) << c.id << ": " << message;
            structure_keys.push_back(c.id);
            zarvel_free(bytes);
            continue;
        }
        EXPECT_EQ(value_notation(zarvel_document_root(decoded.doc, 0)), want) << c.id;
        uint64_t yaml_len = 0;
        char *yaml = zarvel_serialize(decoded.doc, &yaml_len);
        ASSERT_NE(yaml, nullptr) << c.id;
        parsed again;
        again.doc = zarvel_parse(yaml, yaml_len, &status);
        ASSERT_NE(again.doc, nullptr) << c.id << ":\n"
                                      << std::string(yaml, yaml_len) << zarvel_last_error(nullptr, nullptr);
        EXPECT_EQ(value_notation(zarvel_document_root(again.doc, 0)), want) << c.id << ":\n"
                                                                            << std::string(yaml, yaml_len);
        zarvel_free(yaml);
        zarvel_free(bytes);
        ++compared;
    }
    EXPECT_GT(compared, 150);
    std::cout << compared << " cases went YAML -> CBOR -> document -> YAML; " << structure_keys.size()
              << " encode but have collection keys, which the decoder refuses:";
    for (const auto &id : structure_keys) std::cout << " " << id;
    std::cout << "\n";
}

}  // namespace

namespace {

// A parsed document is built on first use; when that build fails the encoder
// reports status 2, and the next call (with memory) succeeds.
TEST(CborYaml, FailedDeferredBuildIsStatusTwo) {
    const char yaml[] = "a: [1, 2]\nb: {c: d}\n";
    for (uint64_t n = 1; n < 200; ++n) {
        int32_t status = -1;
        zarvel_document *doc = zarvel_parse(yaml, sizeof yaml - 1, &status);
        ASSERT_NE(doc, nullptr);
        zvl::testing::fail_allocation(n, true);
        uint64_t len = 0;
        uint8_t *bytes = zarvel_cbor_encode(doc, ZARVEL_CBOR_CANONICAL, &len);
        const uint64_t seen = zvl::testing::fail_allocation(0);
        if (!bytes) {
            const std::string message = zarvel_last_error(nullptr, nullptr);
            EXPECT_TRUE(message == "cbor encode failed (status 2)" || message == "cbor encode: out of memory" ||
                        message == "out of memory while building the document")
                << n << ": " << message;
            bytes = zarvel_cbor_encode(doc, ZARVEL_CBOR_CANONICAL, &len);
            ASSERT_NE(bytes, nullptr) << n;
        }
        EXPECT_EQ(hex_of(reinterpret_cast<const char *>(bytes), len), "a261618201026162a161636164") << n;
        zarvel_free(bytes);
        zarvel_document_free(doc);
        if (seen < n) break;
    }
}

}  // namespace
