// Recorder front end: input arrives in chunks. Each feed parses the complete
// documents that have arrived (everything before the last document boundary;
// everything on the final feed) and keeps their events as compact records.
// One parser serves all runs, so anchor ids keep growing across them, and the
// line offset carries the line count from run to run.
//
// The pending input lives here rather than in the parser: the parser's
// interface knows only whole texts.
#include "core/error.hpp"
#include "core/memory.hpp"
#include "doc/resolve.hpp"
#include "yaml/decode.hpp"
#include "yaml/feed_buffer.hpp"
#include "yaml/parser.hpp"
#include "yaml/record_store.hpp"
#include "zarvel.h"

struct zarvel_recorder {
    zarvel_record_store store;
    zarvel_parser *parser;  // created at the first feed
    uint32_t closed;
    uint32_t alternate_schema;
    int32_t status;  // of the last feed
    uint32_t error_line;
    uint32_t error_column;
    zarvel_feed_buffer feed;
    zvl::stream_decoder decoder;  // feeds are decoded as one text
};

namespace {

// Parses one piece of pending input into the store. The stream start goes
// with the first run only; the stream end with the final one.
bool run_piece(zarvel_recorder &recorder, const char *text, uint64_t length, bool last) {
    zvl::recording_sink recording{&recorder.store, false};
    zarvel_sink sink{};
    sink.event = zvl::record_every_event;
    sink.user = &recording;
    zarvel_parser_set_line_offset(recorder.parser, recorder.feed.line_offset);
    int result = zarvel_parser_run(recorder.parser, text, length, &sink, !recorder.feed.started, last);
    if (result == 0) {
        recorder.feed.started = true;
        // The records hold their own copies of every text, so the parser's
        // rewritten texts of this piece can go: a long stream then runs in
        // the memory of its largest piece.
        zarvel_arena_free(zarvel_parser_take_arena(recorder.parser));
        return true;
    }
    const zarvel_error *error = zarvel_parser_error(recorder.parser);
    recorder.error_line = error->line;
    recorder.error_column = error->column;
    if (recording.out_of_memory) {
        zvl::record_out_of_memory();
    } else if (result == -1 && error->code != ZARVEL_OK) {
        // The parser counts bytes from the start of this piece; the caller
        // fed one stream, so the offset counts from its first byte.
        zarvel_error_current()->offset = error->offset + recorder.feed.byte_offset;
    }
    return false;
}

// Status 0, 1 (a parse error or no memory) or 4 (input encoding).
int feed_chunk(zarvel_recorder &recorder, const char *data, uint64_t length, bool final) {
    zarvel_feed_buffer &feed = recorder.feed;
    // The chunk is appended decoded; a character cut at its end waits in the
    // decoder for the next feed. One spare byte keeps the buffer allocated.
    if (!zvl::feed_buffer_reserve(feed, zvl::stream_decoder_bound(recorder.decoder, length) + 1)) {
        zvl::record_out_of_memory();
        return ZARVEL_FAILED;
    }
    uint64_t written = 0;
    if (int d = zvl::stream_decoder_step(recorder.decoder, data, length, final, feed.pending + feed.used, &written))
        return d;
    feed.used += written;
    if (final) {
        bool ok = run_piece(recorder, feed.pending, feed.used, true);
        zvl::feed_buffer_release(feed);
        return ok ? ZARVEL_OK : ZARVEL_FAILED;
    }
    uint64_t cut = zvl::feed_buffer_find_cut(feed);
    if (cut == 0) return ZARVEL_OK;  // no complete document yet
    if (!run_piece(recorder, feed.pending, cut, false)) return ZARVEL_FAILED;
    feed.line_offset +=
        static_cast<uint32_t>(zvl::count_line_breaks(feed.pending, cut, recorder.alternate_schema != 0));
    feed.byte_offset += cut;
    zvl::feed_buffer_consume(feed, cut);
    return ZARVEL_OK;
}

}  // namespace

zarvel_recorder *zarvel_recorder_new(void) { return zarvel_recorder_new_ex(0); }

zarvel_recorder *zarvel_recorder_new_ex(int32_t schema) {
    auto *recorder = static_cast<zarvel_recorder *>(zvl::sys_calloc(1, sizeof(zarvel_recorder)));
    if (!recorder) return nullptr;
    recorder->alternate_schema = schema == 1 ? 1 : 0;
    return recorder;
}

int zarvel_recorder_feed(zarvel_recorder *recorder, const char *data, uint64_t length, int final) {
    if (!recorder || (!data && length != 0) || recorder->closed) return ZARVEL_INVALID_ARGUMENT;
    if (!recorder->parser) {
        recorder->parser = zarvel_parser_new(&zarvel_default_allocator);
        if (!recorder->parser) {
            recorder->status = ZARVEL_NO_MEMORY;
            return ZARVEL_NO_MEMORY;
        }
        if (recorder->alternate_schema) zarvel_parser_set_schema(recorder->parser, &zarvel_yaml11_resolver);
    }
    if (final) recorder->closed = 1;
    zvl::record_store_clear(recorder->store);
    if (int status = feed_chunk(*recorder, data, length, final != 0)) {
        recorder->closed = 1;
        zvl::feed_buffer_release(recorder->feed);
        recorder->status = status;
        return status;
    }
    recorder->status = ZARVEL_OK;
    return ZARVEL_OK;
}

const zarvel_record *zarvel_recorder_records(const zarvel_recorder *recorder, uint64_t *count) {
    if (count) *count = recorder ? recorder->store.count : 0;
    return recorder ? recorder->store.records : nullptr;
}

const char *zarvel_recorder_arena(const zarvel_recorder *recorder, uint64_t *size) {
    if (size) *size = recorder ? recorder->store.used : 0;
    return recorder ? recorder->store.pool : nullptr;
}

void zarvel_recorder_free(zarvel_recorder *recorder) {
    if (!recorder) return;
    zarvel_parser_free(recorder->parser);
    zvl::feed_buffer_release(recorder->feed);
    zvl::record_store_release(recorder->store);
    zvl::sys_free(recorder);
}
