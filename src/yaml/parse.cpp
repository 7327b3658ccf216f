// Parse entry: decoding, schema and depth options, the fast paths or the
// event parser with a composer sink, the document record, and the mapping of
// every failure to a status.
#include "yaml/parse.hpp"

#include <cstring>

#include "core/error.hpp"
#include "core/kernels.hpp"
#include "core/memory.hpp"
#include "doc/composer.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"
#include "yaml/decode.hpp"
#include "yaml/parser.hpp"

namespace {

const zarvel_allocator *const allocator = &zarvel_default_allocator;

// Everything a parse holds until it becomes a document; the destructor
// releases whatever was not handed over.
struct parse_state {
    char *owned = nullptr;  // decoded or rewritten copy of the input
    zarvel_parser *parser = nullptr;
    zarvel_node_store *store = nullptr;  // direct composer
    zarvel_event_log *log = nullptr;     // event-log sink
    zarvel_arena *arena = nullptr;       // parser's text arena once taken

    ~parse_state() {
        if (log) {
            zarvel_arena_free(log->scratch);
            zarvel_event_log_release(log);
            zvl::deallocate(allocator, log);
        }
        zarvel_store_free(store);
        zarvel_parser_free(parser);
        zarvel_arena_free(arena);
        zvl::deallocate(allocator, owned);
    }
};

zarvel_document *finish(int32_t *status, int32_t value) {
    if (status) *status = value;
    return nullptr;
}

// Status of a stopped run. A parser error maps by its code. A sink that
// stopped the run without a parser error either met 1000 open levels (the
// parser counts block and flow levels separately, so together they can pass
// the composer's limit: status 3) or ran out of memory (status 2), never a
// status 1 without a message.
int32_t run_failure_status(const zarvel_parser *parser, uint32_t open_levels) {
    const zarvel_error *error = zarvel_parser_error(parser);
    if ((!error || error->code == 0) && open_levels >= zarvel_store_max_depth) {
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_TOO_DEEP, 0, 0, 0, nullptr);
        return ZARVEL_TOO_DEEP;
    }
    if (!error || error->code == 0) {
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, nullptr);
        return ZARVEL_NO_MEMORY;
    }
    *zarvel_error_current() = *error;
    if (error->code == ZARVEL_ERR_NO_MEMORY) return ZARVEL_NO_MEMORY;
    if (error->code == ZARVEL_ERR_TOO_DEEP) return ZARVEL_TOO_DEEP;
    return ZARVEL_FAILED;
}

// The whole-text fast paths; true when one of them recorded everything.
bool try_fast_paths(zarvel_event_log *log, const zarvel_resolver *resolver, uint8_t roads_off) {
    if (!(roads_off & zarvel_road_block_scanner) && zarvel_block_scanner(log, resolver) == 0) return true;
    zarvel_event_log_reset(log);
    zarvel_arena_free(log->scratch);
    log->scratch = nullptr;
    return false;
}

}  // namespace

zarvel_document *zarvel_parse_internal(const char *text, uint64_t length, const zarvel_parse_options *options,
                                       const zarvel_parse_switches &switches, int32_t *status) {
    if (!text && length != 0) return finish(status, ZARVEL_INVALID_ARGUMENT);
    if (!text) text = "";

    parse_state state;
    const char *input = text;
    uint64_t input_len = length;
    bool alternate = options && options->schema == 1;
    if (!switches.skip_decoding) {
        int decoded = zarvel_decode_input(text, length, &state.owned, &input, &input_len, alternate);
        if (decoded != 0) return finish(status, decoded == ZARVEL_NO_MEMORY ? ZARVEL_NO_MEMORY : ZARVEL_BAD_ENCODING);
    } else if (alternate) {
        // The parser would rewrite NEL/LS/PS into a copy that dies with it;
        // rewriting here keeps every in-place span pointing at text the
        // document owns.
        uint64_t rewritten_len = 0;
        bool no_memory = false;
        char *rewritten = zarvel_normalize_breaks(allocator, text, length, &rewritten_len, &no_memory);
        if (no_memory) return finish(status, ZARVEL_NO_MEMORY);
        if (rewritten) {
            state.owned = rewritten;
            input = rewritten;
            input_len = rewritten_len;
        }
    }

    const zarvel_resolver *resolver = alternate ? &zarvel_yaml11_resolver : &zarvel_core_resolver;

    state.parser = zarvel_parser_new(allocator);
    if (!state.parser) return finish(status, ZARVEL_NO_MEMORY);
    if (options) {
        if (alternate) zarvel_parser_set_schema(state.parser, &zarvel_yaml11_resolver);
        if (options->max_depth > 0) zarvel_parser_set_max_depth(state.parser, options->max_depth);
    }
    if (switches.roads_off & zarvel_road_quick_lines) zarvel_parser_set_quick_lines(state.parser, false);
    if (switches.roads_off & zarvel_road_json_stream) zarvel_parser_set_json_streaming(state.parser, false);

    bool direct = switches.composer == zarvel_composer_choice::direct;
    if (direct) {
        state.store = zarvel_store_new(allocator);
        if (!state.store) return finish(status, ZARVEL_NO_MEMORY);
        state.store->input = input;
        state.store->input_len = input_len;
        state.store->resolver = resolver;
        if (!zarvel_store_reserve(state.store, input_len)) return finish(status, ZARVEL_NO_MEMORY);
    }

    zarvel_sink sink;
    bool recorded = false;
    if (direct) {
        sink = zarvel_composer_sink(state.store);
    } else {
        state.log = static_cast<zarvel_event_log *>(zvl::allocate(allocator, sizeof(zarvel_event_log)));
        if (!state.log) return finish(status, ZARVEL_NO_MEMORY);
        if (!zarvel_event_log_init(state.log, input, input_len)) {
            zvl::deallocate(allocator, state.log);
            state.log = nullptr;
            return finish(status, ZARVEL_NO_MEMORY);
        }
        sink = zarvel_event_log_sink(state.log);
        if (switches.roads_off & zarvel_road_flow_raw) sink.flow_raw = nullptr;
        if (!switches.no_fast_paths) recorded = try_fast_paths(state.log, resolver, switches.roads_off);
    }

    if (!recorded) {
        int result = zarvel_parser_run(state.parser, input, input_len, &sink, true, true);
        if (result != 0)
            return finish(status, run_failure_status(state.parser, direct ? state.store->depth : state.log->depth));
        uint64_t parsed_len = 0;
        const char *parsed = zarvel_parser_text(state.parser, &parsed_len);
        if (parsed && parsed != input) {
            // Spans would point into the parser's own copy, which dies with it.
            zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_INTERNAL, 0, 0, 0, nullptr);
            return finish(status, ZARVEL_FAILED);
        }
        if (!direct) {
            // The log's rewritten texts live in this arena; without it the
            // log cannot be kept (the parser only refuses for lack of memory).
            state.arena = zarvel_parser_take_arena(state.parser);
            if (!state.arena) return finish(status, ZARVEL_NO_MEMORY);
        }
    }
    zarvel_parser_free(state.parser);
    state.parser = nullptr;

    bool empty = direct ? state.store->root_count == 0 : state.log->doc_count == 0;
    if (empty) return finish(status, ZARVEL_OK);

    zarvel_document *document = zarvel_document_alloc(allocator);
    if (!document) return finish(status, ZARVEL_NO_MEMORY);
    document->schema = alternate ? 1 : 0;
    document->owned_text = state.owned;
    document->owned_len = input_len;
    document->text = text;
    state.owned = nullptr;
    if (direct) {
        zvl::tree::close_to(state.store, 0);
        document->store = state.store;
        state.store = nullptr;
    } else {
        document->scratch = state.arena;
        state.arena = nullptr;
        if (!document->scratch) {
            document->scratch = state.log->scratch;
        } else {
            zarvel_arena_free(state.log->scratch);
        }
        state.log->scratch = nullptr;
        document->source = state.log;
        document->source_ops = &zarvel_event_log_source;
        state.log = nullptr;
    }
    if (status) *status = ZARVEL_OK;
    return document;
}
