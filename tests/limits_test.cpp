// Documented limits of every entry: an input at the limit passes, one step
// past it fails with the stated status and message. One table per family.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "zarvel.h"

namespace {

struct outcome {
    int32_t status;
    std::string message;  // the thread's last error after a failure
};

outcome failed(int32_t status) { return {status, status ? zarvel_last_error(nullptr, nullptr) : ""}; }

struct row {
    std::string name;
    std::function<outcome()> run;
    int32_t status;
    std::string message;         // substring of the recorded message; empty: not checked
    const char *open = nullptr;  // a known deviation (reported): noted, not failed
};

void check(const std::vector<row> &rows) {
    for (const row &r : rows) {
        zarvel_error_clear(zarvel_error_current());
        outcome got = r.run();
        if (r.open && got.status != r.status) {
            std::printf("open fault (%s): %s gave status %d instead of %d\n", r.open, r.name.c_str(), got.status,
                        r.status);
            continue;
        }
        EXPECT_EQ(got.status, r.status) << r.name << " (message: " << got.message << ")";
        if (!r.message.empty() && got.status == r.status) {
            EXPECT_NE(got.message.find(r.message), std::string::npos) << r.name << ": " << got.message;
        }
    }
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}
std::string flow(size_t n, const char *inner = "1") { return repeat("[", n) + inner + repeat("]", n); }
std::string block_maps(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += std::string(i, ' ') + "k:\n";
    return out + std::string(n, ' ') + "v\n";
}
std::string block_seqs(size_t n) { return repeat("- ", n) + "x\n"; }

// ---- YAML entries ----------------------------------------------------------------------

outcome parse(const std::string &text, const zarvel_parse_options *options = nullptr) {
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_ex(text.data(), text.size(), options, &status);
    if (doc && zarvel_document_count(doc) != 1) status = 99;
    zarvel_document_free(doc);
    return failed(status);
}
outcome parse_depth(const std::string &text, int32_t depth) {
    zarvel_parse_options options{0, depth};
    return parse(text, &options);
}
int ignore_event(void *, const zarvel_event_view *) { return 0; }
outcome push(const std::string &text) {
    return failed(zarvel_push_parse(text.data(), text.size(), ignore_event, nullptr));
}
outcome pull(const std::string &text) {
    zarvel_pull *p = zarvel_pull_new(text.data(), text.size());
    if (!p) return {2, "null pull"};
    while (zarvel_pull_next(p)) {}
    int32_t status = zarvel_pull_status(p, nullptr, nullptr);
    zarvel_pull_free(p);
    return failed(status);
}
outcome record(const std::string &text) {
    zarvel_recorder *r = zarvel_recorder_new();
    int32_t status = 0;
    for (size_t at = 0; status == 0 && at < text.size(); at += 1 << 12) {
        size_t piece = std::min<size_t>(1 << 12, text.size() - at);
        status = zarvel_recorder_feed(r, text.data() + at, piece, 0);
    }
    if (status == 0) status = zarvel_recorder_feed(r, nullptr, 0, 1);
    zarvel_recorder_free(r);
    return failed(status);
}
outcome iterparse(const std::string &text) {
    zarvel_iterparse *it = zarvel_iterparse_new(text.data(), text.size());
    while (zarvel_iterparse_next(it, nullptr)) {}
    int32_t status = zarvel_iterparse_status(it, nullptr, nullptr);
    zarvel_iterparse_free(it);
    return failed(status);
}
outcome visit(const std::string &text) {
    zarvel_visitor v{};
    return failed(zarvel_visit(text.data(), text.size(), 0, &v, nullptr));
}
outcome drain(const std::string &text) {
    zarvel_value *values = nullptr;
    char *pool = nullptr;
    uint64_t count = 0, pool_len = 0;
    int32_t status = zarvel_value_drain(text.data(), text.size(), 0, &values, &count, &pool, &pool_len);
    zarvel_value_free(values, pool);
    return failed(status);
}
outcome drain_columns(const std::string &text) {
    zarvel_value_columns columns{};
    int32_t status = zarvel_value_drain_columns(text.data(), text.size(), 0, &columns);
    zarvel_value_free_columns(&columns);
    return failed(status);
}
outcome marshal(const std::string &text) {
    char *bytes = nullptr;
    uint64_t length = 0;
    int32_t status = zarvel_marshal(text.data(), text.size(), 0, 1, &bytes, &length);
    zarvel_marshal_free(bytes);
    return failed(status);
}
outcome schema_load(const std::string &text) {
    // Counts the items of a root sequence.
    zarvel_descriptor_node nodes[] = {{nullptr, 1, 0, 0, 1, 1, 0}, {nullptr, 0, 4, 0, 0, 0, 0}};
    zarvel_column columns[2] = {{nullptr, 0, 0}, {nullptr, 0, 0}};
    return failed(zarvel_schema_load(text.data(), text.size(), 0, nodes, 2, 1, columns));
}

using entry = outcome (*)(const std::string &);
const std::pair<const char *, entry> yaml_entries[] = {
    {"parse", [](const std::string &t) { return parse(t); }},
    {"parse_ex depth 0", [](const std::string &t) { return parse_depth(t, 0); }},
    {"parse_ex depth 5000", [](const std::string &t) { return parse_depth(t, 5000); }},
    {"push", push},
    {"pull", pull},
    {"recorder", record},
    {"iterparse", iterparse},
    {"visit", visit},
    {"drain", drain},
    {"drain_columns", drain_columns},
    {"marshal", marshal},
    {"schema_load", schema_load},
};

// Every YAML entry runs the event parser with the limit 1000, counted for
// block collections and for each flow tree separately.
TEST(Limits, YamlNesting) {
    struct shape {
        const char *name;
        std::function<std::string(size_t)> make;
    };
    const shape shapes[] = {
        {"flow root", [](size_t n) { return flow(n); }},
        {"flow after marker", [](size_t n) { return "---\n" + flow(n); }},
        {"flow mappings", [](size_t n) { return "--- " + repeat("{a: ", n) + "b" + repeat("}", n); }},
        {"block mappings", block_maps},
        {"block sequences", block_seqs},
    };
    std::vector<row> rows;
    for (const auto &[entry_name, run] : yaml_entries) {
        for (const shape &s : shapes) {
            // The status-only entries (push, visit...) fold every parse error into 1.
            bool folds = std::string(entry_name).rfind("parse", 0) != 0;
            std::string at = s.make(1000), past = s.make(1001);
            rows.push_back(
                {std::string(entry_name) + " " + s.name + " 1000", [run = run, at] { return run(at); }, 0, ""});
            rows.push_back({std::string(entry_name) + " " + s.name + " 1001", [run = run, past] { return run(past); },
                            folds ? 1 : 3, "nesting depth exceeds the limit"});
        }
    }
    check(rows);
}

TEST(Limits, ParseDepthOption) {
    check({
        {"depth 1: [1]", [] { return parse_depth("--- [1]", 1); }, 0, ""},
        {"depth 1: [[1]]", [] { return parse_depth("--- [[1]]", 1); }, 3, "nesting depth exceeds the limit"},
        {"depth 1: a: 1", [] { return parse_depth("a: 1", 1); }, 0, ""},
        {"depth 1: nested block", [] { return parse_depth("--- \na:\n  b: 1\n", 1); }, 3,
         "nesting depth exceeds the limit"},
        // The whole-text block scanner keeps its own limit of 1000; a flow
        // collection as the whole text is the parser's, under the option.
        {"depth 1: nested block, fast path", [] { return parse_depth("a:\n  b: 1\n", 1); }, 0, ""},
        {"depth 1: [[1]], whole text", [] { return parse_depth("[[1]]", 1); }, 3, "nesting depth exceeds the limit"},
        {"depth 7: 7 flow", [] { return parse_depth("--- " + flow(7), 7); }, 0, ""},
        {"depth 7: 8 flow", [] { return parse_depth("--- " + flow(8), 7); }, 3, "nesting depth exceeds the limit"},
        {"depth 7: 7 block", [] { return parse_depth(block_maps(7), 7); }, 0, ""},
        {"depth 7: 8 block", [] { return parse_depth(block_maps(8), 7); }, 3, "nesting depth exceeds the limit"},
        {"depth -1: 1000", [] { return parse_depth(block_seqs(1000), -1); }, 0, ""},
        {"depth -1: 1001", [] { return parse_depth(block_seqs(1001), -1); }, 3, ""},
    });
}

// Block and flow nesting are limited separately by the parser; together they
// may pass 1000 levels, which the document composer does not hold.
TEST(Limits, MixedBlockAndFlowNesting) {
    std::string mixed = block_seqs(600);
    mixed.resize(mixed.size() - 2);
    mixed += flow(400) + "\n";
    std::string deeper = block_seqs(600);
    deeper.resize(deeper.size() - 2);
    deeper += flow(401) + "\n";
    check({
        {"parse 600 block + 400 flow", [&] { return parse(mixed); }, 0, ""},
        {"parse 600 block + 401 flow", [&] { return parse(deeper); }, 3, "nesting depth exceeds the limit"},
        {"push 600 block + 401 flow", [&] { return push(deeper); }, 0, ""},
        {"drain 600 block + 401 flow", [&] { return drain(deeper); }, 0, ""},
    });
}

// Implicit keys: at most 1024 bytes from the first byte to the ':', a quoted
// key in a flow collection counted with its quotes.
TEST(Limits, ImplicitKeyLength) {
    const char *message = "simple key exceeds 1024 characters";
    auto key = [](size_t n) { return std::string(n, 'k'); };
    std::vector<row> rows;
    struct shape {
        const char *name;
        std::function<std::string(size_t)> make;  // a key of n bytes as counted
        bool json = false;                        // strict JSON: the drain reads it as JSON, which limits no key
    };
    const shape shapes[] = {
        {"block plain", [&](size_t n) { return key(n) + ": v\n"; }},
        {"block nested", [&](size_t n) { return "a:\n  " + key(n) + ": v\n"; }},
        {"block after marker", [&](size_t n) { return "--- \n" + key(n) + ": v\n"; }},
        {"block single-quoted", [&](size_t n) { return "'" + key(n - 2) + "': v\n"; }},
        {"flow mapping plain", [&](size_t n) { return "{" + key(n) + ": v}"; }},
        {"flow mapping quoted", [&](size_t n) { return "{\"" + key(n - 2) + "\": 1}"; }, true},
        {"flow mapping JSON", [&](size_t n) { return "{\"" + key(n - 2) + "\":1,\"b\":[1,2,3,4,5,6,7,8,9,10,11,12]}"; },
         true},
        {"flow mapping quoted, not JSON", [&](size_t n) { return "{\"" + key(n - 2) + "\": v}"; }},
        {"flow pair in sequence", [&](size_t n) { return "[" + key(n) + ": v]"; }},
    };
    for (const shape &s : shapes) {
        std::string at = s.make(1024), past = s.make(1025);
        rows.push_back({std::string("parse ") + s.name + " 1024", [at] { return parse(at); }, 0, ""});
        rows.push_back({std::string("parse ") + s.name + " 1025", [past] { return parse(past); }, 1, message});
        rows.push_back({std::string("push ") + s.name + " 1025", [past] { return push(past); }, 1, message});
        rows.push_back({std::string("drain ") + s.name + " 1025", [past] { return drain(past); }, s.json ? 0 : 1,
                        s.json ? "" : message});
    }
    // JSON itself limits no key.
    std::string json = "{\"" + key(5000) + "\":1}";
    rows.push_back({"parse_json 5000-byte key",
                    [json] {
                        int32_t status = -1;
                        zarvel_document_free(zarvel_parse_json(json.data(), json.size(), &status));
                        return failed(status);
                    },
                    0, ""});
    check(rows);
}

// Block scalars have no line limit: certificates and embedded files in
// configuration run to many thousand lines, on every road.
TEST(Limits, BlockScalarLines) {
    auto lines = [](size_t n, const char *blank) { return repeat(std::string("  x\n") + blank, n); };
    struct shape {
        const char *name;
        std::function<std::string(size_t)> make;
    };
    const shape shapes[] = {
        {"literal", [&](size_t n) { return "k: |\n" + lines(n, ""); }},
        {"literal after marker", [&](size_t n) { return "--- |\n" + lines(n, ""); }},
        {"folded", [&](size_t n) { return "k: >\n" + lines(n, ""); }},
        {"literal with blank lines", [&](size_t n) { return "k: |\n" + lines(n, "\n"); }},
        {"literal in sequence", [&](size_t n) { return "- |\n" + lines(n, ""); }},
    };
    std::vector<row> rows;
    for (const shape &s : shapes) {
        std::string past = s.make(8193), long_one = s.make(40000);
        for (const auto &[size, text] : {std::pair{"8193", past}, std::pair{"40000", long_one}}) {
            const std::string suffix = std::string(" ") + s.name + " " + size;
            rows.push_back({"parse" + suffix, [text = text] { return parse(text); }, 0, ""});
            rows.push_back({"pull" + suffix, [text = text] { return pull(text); }, 0, ""});
            rows.push_back({"iterparse" + suffix, [text = text] { return iterparse(text); }, 0, ""});
            rows.push_back({"drain" + suffix, [text = text] { return drain(text); }, 0, ""});
        }
    }
    check(rows);
}

// The node table of a parsed text is bounded by its input length, loosely
// enough that texts whose nodes are denser than their bytes still parse.
TEST(Limits, NodeTableGrowth) {
    std::vector<row> rows;
    for (size_t pairs : {1000u, 3000u, 6000u, 20000u}) {
        // "[:,:,...]": every two bytes make a mapping and two empty scalars.
        std::string pairs_text = "[" + repeat(":,", pairs) + "]";
        rows.push_back({"empty pairs x" + std::to_string(pairs),
                        [pairs_text, pairs] {
                            int32_t status = -1;
                            zarvel_document *doc = zarvel_parse(pairs_text.data(), pairs_text.size(), &status);
                            if (doc && zarvel_node_seq_count(zarvel_document_root(doc, 0)) != pairs) status = 99;
                            zarvel_document_free(doc);
                            return failed(status);
                        },
                        0, ""});
        std::string items = repeat("-\n", pairs);
        rows.push_back({"empty items x" + std::to_string(pairs), [items] { return parse(items); }, 0, ""});
    }
    check(rows);
}

// ---- JSON entries ----------------------------------------------------------------------

outcome parse_json(const std::string &text) {
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse_json(text.data(), text.size(), &status);
    if (doc && zarvel_document_count(doc) != 1) status = 99;
    zarvel_document_free(doc);
    return failed(status);
}
outcome tape(const std::string &text, bool lenient) {
    zarvel_tape t{};
    int32_t status = lenient ? zarvel_parse_json_tape_lenient(text.data(), text.size(), &t)
                             : zarvel_parse_json_tape(text.data(), text.size(), &t);
    zarvel_tape_free(&t);
    return failed(status);
}
outcome validate(const std::string &text, uint64_t expected_offset) {
    uint64_t at = 0;
    if (zvl_json_document(text.data(), text.size(), &at)) return {0, ""};
    return {1, "at " + std::to_string(at) + (at == expected_offset ? " as expected" : " unexpected")};
}
outcome visit_json(const std::string &text) {
    zarvel_visitor v{};
    return {zarvel_visit_json(text.data(), text.size(), &v, nullptr), ""};
}

// JSON: the validator kernel holds 255 open containers, the tape 256 (255
// for non-ASCII texts) and reports deeper texts as too deep; the document
// parse and the streaming reader hold the library's 1000.
TEST(Limits, JsonNesting) {
    std::string wide = "\"\xC3\xA9\"";  // a non-ASCII string takes the validator's path
    check({
        {"zvl_json_document 255", [] { return validate(flow(255, ""), 0); }, 0, ""},
        {"zvl_json_document 256", [] { return validate(flow(256, ""), 255); }, 1, "as expected"},
        {"strict tape 256", [] { return tape(flow(256), false); }, 0, ""},
        {"strict tape 257", [] { return tape(flow(257), false); }, 3, "nesting depth exceeds the limit"},
        {"strict tape 255 non-ASCII", [&] { return tape(flow(255, wide.c_str()), false); }, 0, ""},
        {"strict tape 256 non-ASCII", [&] { return tape(flow(256, wide.c_str()), false); }, 3,
         "nesting depth exceeds the limit"},
        {"strict tape 257 with a fault at 100", [] { return tape(std::string(257, '[') + "x", false); }, 3, ""},
        {"strict tape fault before its limit", [] { return tape(std::string(100, '[') + "x", false); }, 1,
         "not strict JSON at byte 100"},
        {"lenient tape 256", [] { return tape(flow(256), true); }, 0, ""},
        {"lenient tape 257", [] { return tape(flow(257), true); }, 1, ""},
        {"parse_json 256", [] { return parse_json(flow(256)); }, 0, ""},
        {"parse_json 257", [] { return parse_json(flow(257)); }, 0, ""},
        {"parse_json 500", [] { return parse_json(flow(500)); }, 0, ""},
        {"parse_json 1000", [] { return parse_json(flow(1000)); }, 0, ""},
        {"parse_json 1001", [] { return parse_json(flow(1001)); }, 3, "nesting depth exceeds the limit"},
        {"parse_json 255 non-ASCII", [&] { return parse_json(flow(255, wide.c_str())); }, 0, ""},
        {"parse_json 256 non-ASCII", [&] { return parse_json(flow(256, wide.c_str())); }, 0, ""},
        {"parse_json 1000 non-ASCII", [&] { return parse_json(flow(1000, wide.c_str())); }, 0, ""},
        {"parse_json 1001 non-ASCII", [&] { return parse_json(flow(1001, wide.c_str())); }, 3,
         "nesting depth exceeds the limit"},
        {"parse_json 256 objects", [] { return parse_json(repeat("{\"a\":", 256) + "1" + repeat("}", 256)); }, 0, ""},
        {"parse_json 1000 objects", [] { return parse_json(repeat("{\"a\":", 1000) + "1" + repeat("}", 1000)); }, 0,
         ""},
        {"parse_json 1001 objects", [] { return parse_json(repeat("{\"a\":", 1001) + "1" + repeat("}", 1001)); }, 3,
         "nesting depth exceeds the limit"},
        {"parse_json fault at depth 500", [] { return parse_json(std::string(500, '[') + "x"); }, 1,
         "not strict JSON at byte 500"},
        {"parse_json 1001 with a tab", [] { return parse_json(flow(1001) + "\t"); }, 3,
         "nesting depth exceeds the limit"},
        {"parse 1001 as YAML", [] { return parse(flow(1001)); }, 3, "nesting depth exceeds the limit"},
        {"drain 1000", [] { return drain(flow(1000)); }, 0, ""},
        {"visit_json 1000", [] { return visit_json(flow(1000)); }, 0, ""},
        {"visit_json 1001", [] { return visit_json(flow(1001)); }, 3, ""},
        {"visit_json 1001 objects", [] { return visit_json(repeat("{\"a\":", 1001) + "1" + repeat("}", 1001)); }, 3,
         ""},
    });
}

// ---- CBOR -----------------------------------------------------------------------------

outcome cbor(const std::vector<uint8_t> &bytes) {
    int32_t status = -1;
    zarvel_document *doc = zarvel_cbor_decode(bytes.data(), bytes.size(), 0, &status);
    zarvel_document_free(doc);
    return failed(status);
}
int32_t drop_document(void *, zarvel_document *document, uint64_t) {
    zarvel_document_free(document);
    return 0;
}
outcome cbor_sequence(const std::vector<uint8_t> &bytes) {
    int32_t status = -1;
    zarvel_cbor_decode_sequence(bytes.data(), bytes.size(), 0, drop_document, nullptr, &status);
    return failed(status);
}
outcome cbor_events(const std::vector<uint8_t> &bytes) {
    zvl_cbor_sink sink{};
    return failed(zvl_cbor_decode_gen(bytes.data(), bytes.size(), 0, nullptr, &sink));
}
std::vector<uint8_t> nested(size_t n, std::vector<uint8_t> open, uint8_t leaf = 0x00) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) out.insert(out.end(), open.begin(), open.end());
    out.push_back(leaf);
    return out;
}

TEST(Limits, CborNesting) {
    using decoder = outcome (*)(const std::vector<uint8_t> &);
    const std::pair<const char *, decoder> decoders[] = {
        {"decode", cbor}, {"sequence", cbor_sequence}, {"decode_gen", cbor_events}};
    struct open_shape {
        const char *name;
        std::vector<uint8_t> bytes;
    };
    const open_shape opens[] = {{"arrays", {0x81}}, {"maps", {0xA1, 0x61, 'k'}}, {"indefinite arrays", {0x9F}}};
    std::vector<row> rows;
    for (const auto &[name, decode] : decoders) {
        // A sequence reports any failed item as status 1 with its own message.
        bool sequence = std::string(name) == "sequence";
        for (const open_shape &open : opens) {
            auto make = [&open](size_t n) {
                std::vector<uint8_t> bytes = nested(n, open.bytes);
                if (open.bytes[0] == 0x9F) bytes.insert(bytes.end(), n, 0xFF);
                return bytes;
            };
            std::vector<uint8_t> at = make(1000), past = make(1001);
            std::string message =
                "CBOR nesting exceeds the depth guard at byte " + std::to_string(1000 * open.bytes.size());
            rows.push_back(
                {std::string(name) + " " + open.name + " 1000", [decode = decode, at] { return decode(at); }, 0, ""});
            rows.push_back({std::string(name) + " " + open.name + " 1001",
                            [decode = decode, past] { return decode(past); }, sequence ? 1 : 3,
                            sequence ? "CBOR sequence item 0 at byte 0 is not well-formed" : message});
        }
        // Tag chains: 512 bytes, each tag needing 21 free bytes before it is
        // added; tag 6 is one digit plus a space.
        std::vector<uint8_t> tags_at = nested(247, {0xC6}), tags_past = nested(248, {0xC6});
        rows.push_back(
            {std::string(name) + " 247 tags", [decode = decode, tags_at] { return decode(tags_at); }, 0, ""});
        rows.push_back({std::string(name) + " 248 tags", [decode = decode, tags_past] { return decode(tags_past); }, 1,
                        sequence ? "CBOR sequence item 0 at byte 0 is not well-formed"
                                 : "semantic-tag chain exceeds 512 bytes at byte 247"});
    }
    check(rows);
}

// ---- building and editing ---------------------------------------------------------------

// A chain of n nested sequences with a scalar at the bottom; returns the top.
zarvel_node *chain(zarvel_document *d, int n) {
    zarvel_node *top = zarvel_node_new_scalar(d, "x", 1, 1);
    for (int i = 0; i < n - 1; ++i) {
        zarvel_node *s = zarvel_node_new_sequence(d);
        zarvel_node_seq_add(s, top);
        top = s;
    }
    return top;
}

outcome build(int levels, bool leaf) {
    std::string text = "x";
    std::vector<zarvel_build_record> records;
    for (int i = 0; i < levels; ++i) records.push_back({ZARVEL_BUILD_SEQUENCE, 0, 0, 0});
    if (leaf) records.push_back({ZARVEL_BUILD_SCALAR, 1, 0, 1});
    for (int i = 0; i < levels; ++i) records.push_back({ZARVEL_BUILD_END, 0, 0, 0});
    zarvel_document *d = zarvel_document_new();
    int32_t status = zarvel_document_build(d, records.data(), records.size(), text.data(), text.size());
    zarvel_document_free(d);
    return {status, ""};
}

// Trees hold at most 1000 levels, counting the scalar at the bottom.
TEST(Limits, EditingDepth) {
    auto root = [](int levels) {
        zarvel_document *d = zarvel_document_new();
        int32_t status = zarvel_document_set_root(d, chain(d, levels));
        zarvel_document_free(d);
        return outcome{status, ""};
    };
    auto below = [](int height) {
        // A mapping at the root gets a value of the given height.
        zarvel_document *d = zarvel_document_new();
        zarvel_node *m = zarvel_node_new_mapping(d);
        int32_t status = zarvel_document_set_root(d, m);
        if (status == 0) status = zarvel_node_map_add(m, "k", 1, chain(d, height));
        zarvel_document_free(d);
        return outcome{status, ""};
    };
    check({
        {"set_root 1000 levels", [&] { return root(1000); }, 0, ""},
        {"set_root 1001 levels", [&] { return root(1001); }, 3, ""},
        // Below a recorded depth, the deepest node may sit at depth 1000.
        {"map_add below a root, height 999", [&] { return below(1000); }, 0, ""},
        {"map_add below a root, height 1000", [&] { return below(1001); }, 3, ""},
        {"build 1000 open levels", [] { return build(1000, false); }, 0, ""},
        {"build 1000 open levels and a scalar", [] { return build(1000, true); }, 3, ""},
        {"build 1001 open levels", [] { return build(1001, false); }, 3, ""},
    });
}

// Trees at the limit survive every writer.
TEST(Limits, WritersAtTheNestingLimit) {
    std::string text = block_seqs(1000);
    int32_t status = -1;
    zarvel_document *doc = zarvel_parse(text.data(), text.size(), &status);
    ASSERT_NE(doc, nullptr);
    uint64_t length = 0;
    char *yaml = zarvel_serialize(doc, &length);
    ASSERT_NE(yaml, nullptr);
    zarvel_document *again = zarvel_parse(yaml, length, &status);
    EXPECT_NE(again, nullptr) << "serialised text of 1000 levels parses";
    zarvel_document_free(again);
    zarvel_free(yaml);
    char *json = zarvel_serialize_json(doc, &length);
    EXPECT_NE(json, nullptr);
    zarvel_free(json);
    uint8_t *cbor_bytes = zarvel_cbor_encode(doc, 0, &length);
    ASSERT_NE(cbor_bytes, nullptr);
    zarvel_document *decoded = zarvel_cbor_decode(cbor_bytes, length, 0, &status);
    EXPECT_NE(decoded, nullptr) << "CBOR of 1000 levels decodes";
    zarvel_document_free(decoded);
    zarvel_free(cbor_bytes);
    char *bytes = nullptr;
    EXPECT_EQ(zarvel_marshal_node(zarvel_document_root(doc, 0), &bytes, &length), 0);
    zarvel_marshal_free(bytes);
    zarvel_visitor v{};
    EXPECT_EQ(zarvel_visit_node(zarvel_document_root(doc, 0), &v, nullptr), 0);
    zarvel_document_free(doc);
}

}  // namespace
