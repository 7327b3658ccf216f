// Pull front end: the whole text is parsed into a record store at creation,
// then the records are handed out as event views one by one or in batches.
#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "yaml/parser.hpp"
#include "yaml/record_store.hpp"
#include "zarvel.h"

struct zarvel_pull {
    zarvel_record_store store;
    uint64_t cursor;
    uint32_t failed;  // 0, 1 parse error, 4 input encoding
    uint32_t error_line;
    uint32_t error_column;
    zarvel_event_view current;
};

zarvel_pull *zarvel_pull_new(const char *text, uint64_t length) {
    if (!text && length != 0) return nullptr;
    if (!text) text = "";
    auto *pull = static_cast<zarvel_pull *>(zvl::sys_calloc(1, sizeof(zarvel_pull)));
    if (!pull) return nullptr;
    // The events come from the text as zarvel_parse decodes it; input it
    // refuses gives a pull with no events and that status.
    char *decoded = nullptr;
    if (int d = zarvel_decode_input(text, length, &decoded, &text, &length)) {
        pull->failed = static_cast<uint32_t>(d);
        return pull;
    }
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!parser) {
        zvl::deallocate(&zarvel_default_allocator, decoded);
        zvl::sys_free(pull);
        return nullptr;
    }

    zvl::recording_sink recording{&pull->store, false};
    zarvel_sink sink{};
    sink.event = zvl::record_every_event;
    sink.user = &recording;
    if (zarvel_parser_run(parser, text, length, &sink, true, true) != 0) {
        // A parse error keeps the events before it; so does a full store.
        const zarvel_error *error = zarvel_parser_error(parser);
        pull->failed = 1;
        pull->error_line = error->line;
        pull->error_column = error->column;
        if (recording.out_of_memory) zvl::record_out_of_memory();
    }
    zarvel_parser_free(parser);
    zvl::deallocate(&zarvel_default_allocator, decoded);
    return pull;
}

const zarvel_event_view *zarvel_pull_next(zarvel_pull *pull) {
    if (!pull || pull->cursor >= pull->store.count) return nullptr;
    pull->current = zvl::view_of_record(pull->store.records[pull->cursor++], pull->store.pool);
    return &pull->current;
}

uint64_t zarvel_pull_next_batch(zarvel_pull *pull, zarvel_event_view *events, uint64_t capacity) {
    if (!pull || !events) return 0;
    uint64_t written = 0;
    while (written < capacity && pull->cursor < pull->store.count) {
        events[written++] = zvl::view_of_record(pull->store.records[pull->cursor++], pull->store.pool);
    }
    return written;
}

int zarvel_pull_status(const zarvel_pull *pull, uint32_t *line, uint32_t *column) {
    if (!pull) return ZARVEL_INVALID_ARGUMENT;
    if (line) *line = pull->error_line;
    if (column) *column = pull->error_column;
    return static_cast<int>(pull->failed);
}

void zarvel_pull_free(zarvel_pull *pull) {
    if (!pull) return;
    zvl::record_store_release(pull->store);
    zvl::sys_free(pull);
}
