// Iterparse front end: one document per call. Each step runs a fresh parser
// over the input that remains (up to its first document boundary), records
// the events of one document and stops the run at its end; the next step
// starts where that document ended. The
// stream start and end are handed out as synthetic events of their own.
#include <cstring>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "yaml/decode.hpp"
#include "yaml/feed_buffer.hpp"
#include "yaml/parser.hpp"
#include "yaml/record_store.hpp"
#include "zarvel.h"

struct zarvel_iterparse {
    const char *input;  // the caller's text after its mark, or its UTF-16/32 converted
    char *decoded;      // owned when converted
    uint64_t checked;   // bytes of input known to be well-formed, printable UTF-8
    uint64_t length;
    uint64_t consumed;
    bool finished;
    bool start_delivered;
    bool end_pending;
    int32_t status;
    uint32_t error_line;
    uint32_t error_column;
    zarvel_record_store store;
    uint64_t handed_out;  // records of the store already returned
    zarvel_event_view *batch;
    uint64_t batch_capacity;
    zarvel_event_view spare[2];  // synthetic stream start and end
};

namespace {

// Records one document, ignores the stream start and end (handed out by the
// iterator itself) and stops the run once a document has ended.
struct document_sink {
    zvl::recording_sink recording;
    uint32_t document_ends;
    uint32_t end_line;
    uint32_t end_column;
};

int record_one_document(void *user, const zarvel_event *event) {
    auto *sink = static_cast<document_sink *>(user);
    if (event->kind == ZARVEL_EVENT_STREAM_START || event->kind == ZARVEL_EVENT_STREAM_END) return 0;
    if (int stop = zvl::record_every_event(&sink->recording, event)) return stop;
    if (event->kind != ZARVEL_EVENT_DOCUMENT_END) return 0;
    ++sink->document_ends;
    sink->end_line = event->end_line;
    sink->end_column = event->end_column;
    return 1;
}

// Byte offset of a 1-based line and column of a run over text. Lines break as
// the parser breaks them under YAML 1.2 (LF, CR, CR LF).
uint64_t offset_of_position(const char *text, uint64_t length, uint32_t line, uint32_t column) {
    uint64_t offset = 0;
    for (uint32_t current = 1; current < line; ++current) {
        uint64_t step = 0;
        while (offset < length && (step = zvl::line_break_at(text, length, offset, false)) == 0) ++offset;
        if (offset == length) return length;  // fewer lines than asked: the end
        offset += step;
    }
    uint64_t within = column ? column - 1 : 0;
    return within > length - offset ? length : offset + within;
}

const zarvel_event_view *hand_out(const zarvel_event_view *events, uint64_t n, uint64_t *count) {
    if (count) *count = n;
    return events;
}

void finish(zarvel_iterparse &it, int32_t status) {
    it.finished = true;
    it.status = status;
}

zarvel_event_view synthetic(uint32_t kind) {
    zarvel_event_view view{};
    view.kind = kind;
    return view;
}

// Step 2: the recorded document as one batch, behind the stream start when
// that has not been handed out yet.
const zarvel_event_view *hand_out_document(zarvel_iterparse &it, uint64_t *count) {
    const uint64_t records = it.store.count - it.handed_out;
    const uint64_t lead = it.start_delivered ? 0 : 1;
    const uint64_t wanted = records + 1;  // room for the stream start
    if (wanted > it.batch_capacity) {
        void *fresh = wanted <= SIZE_MAX / sizeof(zarvel_event_view)
                          ? zvl::sys_realloc(it.batch, wanted * sizeof(zarvel_event_view))
                          : nullptr;
        if (!fresh) {
            finish(it, ZARVEL_NO_MEMORY);
            it.end_pending = false;
            it.handed_out = it.store.count;
            zvl::record_out_of_memory();
            return hand_out(nullptr, 0, count);
        }
        it.batch = static_cast<zarvel_event_view *>(fresh);
        it.batch_capacity = wanted;
    }
    if (lead) it.batch[0] = synthetic(ZARVEL_EVENT_STREAM_START);
    for (uint64_t i = 0; i < records; ++i)
        it.batch[lead + i] = zvl::view_of_record(it.store.records[it.handed_out + i], it.store.pool);
    it.start_delivered = true;
    it.handed_out = it.store.count;
    return hand_out(it.batch, lead + records, count);
}

enum class run_outcome { parsed, failed, no_parser, refused };

// Steps 4 to 6: parses the next document into the store.
run_outcome parse_next_document(zarvel_iterparse &it) {
    zvl::record_store_clear(it.store);
    it.handed_out = 0;
    zarvel_parser *parser = zarvel_parser_new(&zarvel_default_allocator);
    if (!parser) {
        finish(it, ZARVEL_NO_MEMORY);
        it.end_pending = false;
        return run_outcome::no_parser;
    }
    // The run sees the remaining input up to its first document boundary
    // only: that holds the next document whole, and a stream of many
    // documents is read in linear time instead of once per document. A piece
    // without a document (comments before the first marker) is not consumed
    // on its own but parsed again with the next piece, so that lines still
    // count from the end of the previous document.
    const char *rest = it.input + it.consumed;
    const uint64_t rest_length = it.length - it.consumed;
    zvl::boundary_scan scan{};
    uint64_t run_length = 0;
    int result = 0;
    document_sink recorder{};
    do {
        const uint64_t cut = zvl::scan_boundaries(rest, rest_length, scan, true);
        run_length = cut ? cut : rest_length;
        // UTF-8 is checked piece by piece as it is read (pieces end at line
        // starts), so that a long stream is read in bounded memory.
        const uint64_t end = it.consumed + run_length;
        if (end > it.checked) {
            if (int refused = zvl::check_utf8(it.input + it.checked, end - it.checked, it.checked)) {
                finish(it, refused);
                it.end_pending = false;
                zarvel_parser_free(parser);
                return run_outcome::refused;
            }
            it.checked = end;
        }
        recorder = document_sink{{&it.store, false}, 0, 0, 0};
        zarvel_sink sink{};
        sink.event = record_one_document;
        sink.user = &recorder;
        result = zarvel_parser_run(parser, rest, run_length, &sink, true, true);
    } while (result == 0 && recorder.document_ends == 0 && run_length < rest_length);

    if (result == -1) {
        const zarvel_error *error = zarvel_parser_error(parser);
        it.error_line = error->line;
        it.error_column = error->column;
        finish(it, error->code == ZARVEL_ERR_NO_MEMORY ? ZARVEL_NO_MEMORY : ZARVEL_FAILED);
    } else if (recorder.recording.out_of_memory) {
        zvl::record_out_of_memory();
        finish(it, ZARVEL_NO_MEMORY);
    } else {
        uint64_t advance = run_length;
        if (result != 0 && recorder.document_ends)
            advance = offset_of_position(rest, run_length, recorder.end_line, recorder.end_column);
        it.consumed += advance;
        // advance 0 (a document that ends where it started) would loop for ever.
        if (advance == 0 || it.consumed == it.length || result == 0 || recorder.document_ends == 0) {
            finish(it, ZARVEL_OK);
            it.end_pending = true;
        }
    }
    zarvel_parser_free(parser);
    return result == -1 ? run_outcome::failed : run_outcome::parsed;
}

}  // namespace

zarvel_iterparse *zarvel_iterparse_new(const char *text, uint64_t length) {
    if (!text && length != 0) return nullptr;
    auto *it = static_cast<zarvel_iterparse *>(zvl::sys_calloc(1, sizeof(zarvel_iterparse)));
    if (!it) return nullptr;
    if (!text) text = "";
    // Decoded as zarvel_parse decodes: UTF-8 as it is read, UTF-16/32 here.
    // Refused input gives no events of the document that holds the fault.
    uint64_t mark = 0;
    if (zvl::detect_encoding(text, length, &mark) == zvl::input_encoding::utf8) {
        text += mark;
        length -= mark;
    } else if (int d = zarvel_decode_input(text, length, &it->decoded, &text, &length)) {
        finish(*it, d);
        return it;
    } else {
        it->checked = length;
    }
    it->input = text;
    it->length = length;
    return it;
}

const zarvel_event_view *zarvel_iterparse_next(zarvel_iterparse *it, uint64_t *count) {
    if (count) *count = 0;
    if (!it) return nullptr;
    for (;;) {
        if (it->finished && it->end_pending && it->handed_out == it->store.count) {
            it->end_pending = false;
            if (it->start_delivered) {
                it->spare[0] = synthetic(ZARVEL_EVENT_STREAM_END);
                return hand_out(it->spare, 1, count);
            }
            it->spare[0] = synthetic(ZARVEL_EVENT_STREAM_START);
            it->spare[1] = synthetic(ZARVEL_EVENT_STREAM_END);
            it->start_delivered = true;
            return hand_out(it->spare, 2, count);
        }
        if (it->handed_out < it->store.count) return hand_out_document(*it, count);
        if (it->finished) return nullptr;
        const run_outcome outcome = parse_next_document(*it);
        if (outcome == run_outcome::no_parser || outcome == run_outcome::refused) return nullptr;
        if (outcome == run_outcome::failed && it->store.count == 0) {
            // A failure before any event of this document: only the stream
            // start, if it is still owed.
            if (it->start_delivered) return nullptr;
            it->spare[0] = synthetic(ZARVEL_EVENT_STREAM_START);
            it->start_delivered = true;
            return hand_out(it->spare, 1, count);
        }
    }
}

int zarvel_iterparse_status(const zarvel_iterparse *it, uint32_t *line, uint32_t *column) {
    if (!it) return ZARVEL_INVALID_ARGUMENT;
    if (line) *line = it->error_line;
    if (column) *column = it->error_column;
    return it->status;
}

void zarvel_iterparse_free(zarvel_iterparse *it) {
    if (!it) return;
    zvl::record_store_release(it->store);
    zvl::deallocate(&zarvel_default_allocator, it->decoded);
    zvl::sys_free(it->batch);
    zvl::sys_free(it);
}
