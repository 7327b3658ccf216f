// The yaml-test-suite, read at run time: for every case the parser's events in
// the suite's notation must equal test.event, or, for a case with an error
// file, the parse must fail after at most the listed prefix of events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "yaml/event_notation.hpp"
#include "yaml/parser.hpp"
#include "corpus.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path suite_dir = corpus::path("yaml-test-suite");

// Cases we knowingly get wrong, each with the reason.
const std::map<std::string, std::string> known_failures = {};

// Error cases whose listed event prefix belongs to another input (it starts a
// sequence where the text starts with '?' or ':'): only the failure is checked.
const std::map<std::string, std::string> foreign_prefixes = {
    {"Y79Y-006", "prefix copied from Y79Y-004"},
    {"Y79Y-007", "prefix copied from Y79Y-004"},
    {"Y79Y-008", "prefix copied from Y79Y-004"},
    {"Y79Y-009", "prefix copied from Y79Y-004"},
};

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int record(void *user, const zarvel_event *event) {
    auto *out = static_cast<std::string *>(user);
    zvl::yaml::write_event_notation(*event, [&](const char *s, size_t n) { out->append(s, n); });
    out->push_back('\n');
    return 0;
}

struct outcome {
    bool ok;
    std::string events;
    std::string error;
};

outcome parse(const std::string &input) {
    outcome o{};
    char *owned = nullptr;
    const char *text = nullptr;
    uint64_t length = 0;
    if (zarvel_decode_input(input.data(), input.size(), &owned, &text, &length) != 0) {
        o.ok = false;
        o.error = "decoding failed";
        return o;
    }
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    zarvel_sink sink{};
    sink.event = record;
    sink.user = &o.events;
    int r = zarvel_parser_run(parser, text, length, &sink, true, true);
    o.ok = r == 0;
    if (!o.ok) {
        const zarvel_error *e = zarvel_parser_error(parser);
        o.error = "code " + std::to_string(e->code) + " at " + std::to_string(e->line) + ":" +
                  std::to_string(e->column) + " " + e->message;
    }
    zarvel_parser_free(parser);
    zvl::deallocate(&zarvel_default_allocator, owned);
    return o;
}

// The suite writes some events with extra words we do not produce.
std::string normalize_expected(const std::string &events) { return events; }

// For an error case the suite lists the events up to the error as one
// reference parser saw them: the lines both sides have must agree (flow
// markers aside), and either side may stop earlier.
bool common_lines_agree(const std::string &expected, const std::string &got) {
    auto lines = [](const std::string &text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) {
            for (const char *marker : {" []", " {}"}) {
                auto at = l.find(marker);
                if (at != std::string::npos && (l[0] == '+')) l.erase(at, 3);
            }
            out.push_back(l);
        }
        return out;
    };
    auto a = lines(expected), b = lines(got);
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace

TEST(YamlConformance, EveryCase) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    std::vector<fs::path> cases;
    for (const auto &entry : fs::directory_iterator(suite_dir))
        if (entry.is_directory() && fs::exists(entry.path() / "in.yaml")) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());
    int passed = 0, failed = 0, known = 0;
    std::vector<std::string> unexpected, fixed;
    for (const auto &dir : cases) {
        std::string id = dir.filename().string();
        bool must_fail = fs::exists(dir / "error");
        std::string expected = normalize_expected(read_file(dir / "test.event"));
        outcome got = parse(read_file(dir / "in.yaml"));
        bool pass;
        if (must_fail)
            pass = !got.ok && (foreign_prefixes.count(id) || common_lines_agree(expected, got.events));
        else
            pass = got.ok && got.events == expected;
        bool is_known = known_failures.count(id) != 0;
        if (pass) {
            ++passed;
            if (is_known) fixed.push_back(id);
        } else if (is_known) {
            ++known;
        } else {
            ++failed;
            std::string why = must_fail ? (got.ok ? "accepted an invalid stream" : "event prefix differs")
                                        : (got.ok ? "events differ" : got.error);
            unexpected.push_back(id + ": " + why);
            if (std::getenv("ZVL_CONFORMANCE_VERBOSE"))
                std::fprintf(stderr, "---- %s (%s)\nexpected:\n%sgot:\n%s\n", id.c_str(), why.c_str(), expected.c_str(),
                             got.events.c_str());
        }
    }
    std::printf("yaml-test-suite: %d of %zu cases pass (%d known failures, %d unexpected)\n", passed, cases.size(),
                known, failed);
    for (const auto &u : unexpected) ADD_FAILURE() << u;
    for (const auto &f : fixed) std::printf("known failure now passes: %s\n", f.c_str());
}

// Every prefix (and some mutations) of every case parses to success with balanced events, or fails
// with one of the parser's codes; nothing crashes (run under the sanitizers).
TEST(YamlConformance, EveryPrefixOfEveryCase) {
    SKIP_WITHOUT_CORPUS("yaml-test-suite");
    struct balance {
        int depth = 0;
        bool ok = true;
        static int event(void *u, const zarvel_event *e) {
            auto *b = static_cast<balance *>(u);
            if (e->kind == ZARVEL_EVENT_SEQUENCE_START || e->kind == ZARVEL_EVENT_MAPPING_START ||
                e->kind == ZARVEL_EVENT_DOCUMENT_START || e->kind == ZARVEL_EVENT_STREAM_START)
                ++b->depth;
            if (e->kind == ZARVEL_EVENT_SEQUENCE_END || e->kind == ZARVEL_EVENT_MAPPING_END ||
                e->kind == ZARVEL_EVENT_DOCUMENT_END || e->kind == ZARVEL_EVENT_STREAM_END)
                if (--b->depth < 0) b->ok = false;
            return 0;
        }
    };
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    for (const auto &entry : fs::directory_iterator(suite_dir)) {
        if (!fs::exists(entry.path() / "in.yaml")) continue;
        std::string input = read_file(entry.path() / "in.yaml");
        // Prefixes, then the same count of single-byte mutations (fixed seed).
        std::vector<std::string> variants;
        for (size_t n = 0; n <= input.size(); ++n) variants.push_back(input.substr(0, n));
        static const char significant[] = "-?:,[]{}#&*!|>'\"%@` \t\n\\x0";
        uint32_t seed = 12345;
        for (size_t n = 0; n < input.size(); ++n) {
            seed = seed * 1103515245u + 12345u;
            std::string m = input;
            m[(seed >> 8) % m.size()] = significant[(seed >> 20) % (sizeof significant - 1)];
            variants.push_back(m);
        }
        for (size_t n = 0; n < variants.size(); ++n) {
            const std::string &prefix = variants[n];
            balance b;
            zarvel_sink sink{};
            sink.event = balance::event;
            sink.user = &b;
            int r = zarvel_parser_run(parser, prefix.data(), prefix.size(), &sink, true, true);
            uint32_t code = zarvel_parser_error(parser)->code;
            if (r == 0) {
                EXPECT_TRUE(b.ok && b.depth == 0) << entry.path().filename() << " prefix " << n;
            } else {
                EXPECT_EQ(r, -1) << entry.path().filename() << " prefix " << n;
                EXPECT_TRUE(code == 1 || (code >= 3 && code <= 11 && code != 4))
                    << entry.path().filename() << " prefix " << n << " code " << code;
            }
        }
    }
    zarvel_parser_free(parser);
}
