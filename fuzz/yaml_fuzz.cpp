// libFuzzer target over every YAML entry that takes bytes: the document
// parse (both schemas, small depth limits), push, pull, the recorder fed in
// chunk splits taken from the input, and iterparse.
//
// Differential checks (a mismatch traps, so the fuzzer keeps the input):
// - the recorder, fed in chunks, gives the same events as pull;
// - the parser's direct ways (common block lines, streamed flow trees) give
//   the same events and failure as its general scan with the event buffer;
// - a parsed stream, serialised and parsed again, gives the same tree;
// - the document parse's fast roads give the general road's trees.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "tree_compare.hpp"
#include "doc/event.hpp"
#include "yaml/parse.hpp"
#include "yaml/parser.hpp"
#include "zarvel.h"

namespace {

using fuzz_tree::mismatch;
using fuzz_tree::same_tree;
using fuzz_tree::span;

struct event {
    uint32_t kind, style;
    std::string text, anchor, tag;
    bool operator==(const event &) const = default;
};

int count_events(void *user, const zarvel_event_view *) {
    ++*static_cast<uint64_t *>(user);
    return 0;
}

// Events of pull; false when the parse failed.
bool pull_events(const char *text, size_t size, std::vector<event> &out) {
    zarvel_pull *pull = zarvel_pull_new(text, size);
    if (!pull) return false;
    while (const zarvel_event_view *e = zarvel_pull_next(pull))
        out.push_back({e->kind, e->style, span(e->text, e->text_length), span(e->anchor, e->anchor_length),
                       span(e->tag, e->tag_length)});
    uint32_t line = 0, column = 0;
    int status = zarvel_pull_status(pull, &line, &column);
    zarvel_pull_free(pull);
    return status == 0;
}

// Feeds the text in pieces whose sizes come from the seed; false on failure.
bool recorder_events(const char *text, size_t size, uint32_t seed, std::vector<event> &out) {
    zarvel_recorder *recorder = zarvel_recorder_new();
    if (!recorder) return false;
    size_t at = 0;
    bool ok = true;
    while (ok) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = (seed >> 16) % 97;
        if (piece > size - at) piece = size - at;
        bool final = at + piece == size;
        ok = zarvel_recorder_feed(recorder, text + at, piece, final) == 0;
        at += piece;
        if (ok) {
            uint64_t count = 0, pool_size = 0;
            const zarvel_record *records = zarvel_recorder_records(recorder, &count);
            const char *pool = zarvel_recorder_arena(recorder, &pool_size);
            for (uint64_t i = 0; i < count; ++i) {
                const zarvel_record &r = records[i];
                if (uint64_t(r.text_offset) + r.text_length > pool_size ||
                    uint64_t(r.anchor_offset) + r.anchor_length > pool_size ||
                    uint64_t(r.tag_offset) + r.tag_length > pool_size)
                    mismatch();
                out.push_back({r.kind, r.style, span(pool + r.text_offset, r.text_length),
                               span(pool + r.anchor_offset, r.anchor_length), span(pool + r.tag_offset, r.tag_length)});
            }
        }
        if (final) break;
    }
    zarvel_recorder_free(recorder);
    return ok;
}

// Reads every node once; the handles belong to the document.
void walk(const zarvel_node *node, int depth) {
    if (!node || depth > 1100) return;
    uint64_t length = 0;
    zarvel_node_value(node, &length);
    zarvel_node_tag(node, &length);
    zarvel_node_anchor(node, &length);
    int64_t i = 0;
    double f = 0;
    int32_t b = 0;
    zarvel_node_int(node, &i);
    zarvel_node_float(node, &f);
    zarvel_node_bool(node, &b);
    uint64_t n = zarvel_node_seq_count(node);
    for (uint64_t k = 0; k < n; ++k) walk(zarvel_node_seq_at(node, k), depth + 1);
    n = zarvel_node_map_count(node);
    for (uint64_t k = 0; k < n; ++k) {
        zarvel_node *key = nullptr, *value = nullptr;
        zarvel_node_map_at(node, k, &key, &value);
        walk(key, depth + 1);
        walk(value, depth + 1);
        if (key && zarvel_node_kind(key) == ZARVEL_NODE_SCALAR) {
            uint64_t kl = 0;
            const char *kt = zarvel_node_value(key, &kl);
            if (kt && kl < 0x7fffffff) zarvel_node_map_get(node, kt, static_cast<int32_t>(kl));
        }
    }
}

int dump_event(void *user, const zarvel_event *e) {
    auto &out = *static_cast<std::string *>(user);
    out += span(e->text.data, e->text.length) + '|' + span(e->anchor.data, e->anchor.length) + '|' +
           span(e->tag.data, e->tag.length) + '|';
    for (uint32_t v : {e->kind, uint32_t(e->style), uint32_t(e->plain_implicit), uint32_t(e->flow),
                       uint32_t(e->multiline), uint32_t(e->tag_id), uint32_t(e->verbatim), e->anchor_id, e->start_line,
                       e->start_column, e->end_line, e->end_column})
        out += std::to_string(v) + ',';
    out += '\n';
    return 0;
}

// The whole event stream and the failure, through the direct ways or not.
std::string parser_dump(const char *text, size_t size, bool direct, int64_t depth) {
    std::string out;
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!parser) return out;
    zarvel_parser_set_quick_lines(parser, direct);
    zarvel_parser_set_flow_streaming(parser, direct);
    if (depth) zarvel_parser_set_max_depth(parser, depth);
    zarvel_sink sink{};
    sink.event = dump_event;
    sink.user = &out;
    int result = zarvel_parser_run(parser, text, size, &sink, true, true);
    const zarvel_error *error = zarvel_parser_error(parser);
    out += std::to_string(result) + ' ' + std::to_string(error->code) + ' ' + std::to_string(error->line) + ':' +
           std::to_string(error->column) + '/' + std::to_string(error->offset) + ' ' + error->message;
    zarvel_parser_free(parser);
    return out;
}

void round_trip(zarvel_document *doc) {
    uint64_t length = 0;
    char *text = zarvel_serialize(doc, &length);
    if (!text) return;  // some trees have no YAML text (reported as null)
    int32_t status = -1;
    zarvel_document *again = zarvel_parse(text, length, &status);
    uint32_t count = zarvel_document_count(doc);
    if (count != zarvel_document_count(again)) mismatch();
    for (uint32_t d = 0; d < count; ++d) same_tree(zarvel_document_root(doc, d), zarvel_document_root(again, d), 0);
    zarvel_document_free(again);
    zarvel_free(text);
}

// The fast roads of the document parse (the block scanner, flow records)
// give the general road's status and trees.
void same_as_general_road(const char *text, size_t size, zarvel_document *doc, int32_t status) {
    zarvel_parse_switches general;
    general.no_fast_paths = true;
    int32_t general_status = -1;
    zarvel_document *slow = zarvel_parse_internal(text, size, nullptr, general, &general_status);
    if (general_status != status || (slow == nullptr) != (doc == nullptr)) mismatch();
    if (doc) {
        uint32_t count = zarvel_document_count(doc);
        if (count != zarvel_document_count(slow)) mismatch();
        for (uint32_t d = 0; d < count; ++d) same_tree(zarvel_document_root(doc, d), zarvel_document_root(slow, d), 0);
    }
    zarvel_document_free(slow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    uint32_t seed = size ? data[0] * 131u + data[size - 1] : 7;

    int32_t status = -1;
    zarvel_document *doc = zarvel_parse(text, size, &status);
    same_as_general_road(text, size, doc, status);
    if (doc) {
        if (status != 0) mismatch();
        uint32_t count = zarvel_document_count(doc);
        for (uint32_t d = 0; d < count; ++d) walk(zarvel_document_root(doc, d), 0);
        fuzz_tree::same_order(doc);
        round_trip(doc);
        zarvel_document_free(doc);
    } else if (status < 0 || status > 6) {
        mismatch();
    }

    for (int32_t schema : {0, 1}) {
        for (int32_t depth : {1, 3}) {
            zarvel_parse_options options{schema, depth};
            status = -1;
            doc = zarvel_parse_ex(text, size, &options, &status);
            if (doc) walk(zarvel_document_root(doc, 0), 0);
            zarvel_document_free(doc);
        }
    }

    const int64_t depth = size && data[0] < 8 ? 1 + data[0] % 4 : 0;
    if (parser_dump(text, size, true, depth) != parser_dump(text, size, false, depth)) mismatch();

    uint64_t pushed = 0;
    zarvel_push_parse(text, size, count_events, &pushed);

    std::vector<event> pulled, recorded;
    bool pull_ok = pull_events(text, size, pulled);
    bool record_ok = recorder_events(text, size, seed, recorded);
    if (pull_ok && record_ok && pulled != recorded) mismatch();

    if (zarvel_iterparse *it = zarvel_iterparse_new(text, size)) {
        uint64_t count = 0;
        while (zarvel_iterparse_next(it, &count)) {}
        uint32_t line = 0, column = 0;
        zarvel_iterparse_status(it, &line, &column);
        zarvel_iterparse_free(it);
    }
    return 0;
}
