// Targets of the plain data calls, shared by JSON and CBOR: the documents of
// a stream (one, each in turn, or all in one array) walked into an allocated
// buffer (one pass, growing), a caller's buffer (the same, then copied) or a
// callback fed in pieces.
#pragma once

#include <cstring>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "emit/json_fast.hpp"
#include "emit/plain_walk.hpp"
#include "emit/writer.hpp"

namespace zvl::plain {

// The plain walk as the fast JSON writer's host.
template <typename Sink>
struct fast_host {
    static constexpr bool plain = true;
    walker<Sink> &walk;
    bool general_value(uint32_t id, uint32_t depth) { return walk.value_at(id, depth); }
    bool general_key(uint32_t id, uint32_t depth) { return walk.key_at(id, depth); }
    step *path() { return walk.path(); }
    uint64_t &emitted() { return walk.emitted(); }
    const settings &options() const { return walk.options(); }
};

// Which documents the options name, and how: their flags and document.
struct stream_choice {
    uint32_t flags;
    uint32_t index;
};
inline stream_choice stream_choice_of(const zarvel_plain_options *options) {
    const bool given = options && options->size >= sizeof(zarvel_plain_options);
    return given ? stream_choice{options->flags, options->document} : stream_choice{0, 0};
}

// Walks the documents the options name into w; the status (message
// recorded unless 0 or 6).
template <typename Sink>
int32_t walk_documents(zarvel_writer &w, const zarvel_node_store *store, const zarvel_plain_options *options) {
    const settings s = settings_of(options, store);
    const stream_choice choice = stream_choice_of(options);
    const uint32_t flags = choice.flags, index = choice.index;
    Sink sink(w, store, s);
    walker<Sink> walk(store, sink, s);
    // A document's value: JSON through the fast writer, which hands the
    // walk what it does not take.
    auto value = [&](uint32_t root) {
        if constexpr (requires { requires Sink::fast_json; }) {
            fast_host<Sink> host{walk};
            json_fast::writer<fast_host<Sink>> fast(host, w, true);
            if (!fast.checking()) return fast.value(root, 0);
            // A document the fast writer gave back is walked again, as if
            // it had never been tried.
            const zarvel_error record = *zarvel_error_current();
            const auto counts = walk.counted();
            if (fast.value(root, 0)) return true;
            *zarvel_error_current() = record;
            walk.restart(counts);
            return walk.value(root);
        } else {
            return walk.value(root);
        }
    };
    if (flags & ZARVEL_PLAIN_ALL) {
        if (!sink.begin(ZARVEL_KIND_SEQUENCE, store->root_count)) return 2;
        for (uint32_t i = 0; i < store->root_count; ++i)
            if (!sink.separator(i) || !value(store->roots[i])) break;
        if (walk.status() == 0) sink.end(ZARVEL_KIND_SEQUENCE);
    } else if (flags & ZARVEL_PLAIN_SEQUENCE) {
        for (uint32_t i = 0; i < store->root_count; ++i) {
            if (!value(store->roots[i])) break;
            sink.document_end();
        }
    } else if (index >= store->root_count) {
        zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, message::no_such_document, index, store->root_count);
        return 1;
    } else {
        value(store->roots[index]);
    }
    if (walk.status() != 0) return walk.status();
    if (w.out_of_memory) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        return 2;
    }
    if (w.callback_failed) {
        zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, message::callback_stopped);
        return 1;
    }
    return 0;
}

// The built store of a document, or the status why there is none.
inline const zarvel_node_store *plain_store(zarvel_document *document, int32_t &status) {
    if (!document) {
        status = 6;
        return nullptr;
    }
    // A failed build has recorded its reason.
    status = zarvel_document_status(document);
    return status == 0 ? zarvel_document_body(document) : nullptr;
}

// A writer whose buffer is freed on exit unless handed over.
struct owned_writer {
    zarvel_writer w;
    explicit owned_writer(const zarvel_node_store *store) { writer_init(w, store); }
    ~owned_writer() { sys_free(w.buffer); }
    owned_writer(const owned_writer &) = delete;
    owned_writer &operator=(const owned_writer &) = delete;
    char *release() {
        char *b = w.buffer;
        w.buffer = nullptr;
        return b;
    }
};

// No writer tried before the walk.
inline bool walk_only(zarvel_writer &, const zarvel_node_store *, const zarvel_plain_options *, int32_t &) {
    return false;
}

// The whole output in a text buffer of out's own: by first(w, store,
// options, st), a faster writer for some documents, when it takes the
// document (false leaves it to the walk, unless it set st: memory ran
// out), else by the walk. False with st set when it fails.
template <typename Sink, typename First>
bool plain_owned(const zarvel_node_store *store, const zarvel_plain_options *options, First first, owned_writer &out,
                 int32_t &st) {
    if (!writer_own_text(out.w, store->input_len)) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        st = 2;
        return false;
    }
    if (first(out.w, store, options, st)) return true;
    if (st != 0) return false;
    st = walk_documents<Sink>(out.w, store, options);
    return st == 0;
}

// One pass into a growing buffer (NUL-terminated), its unused tail given back.
template <typename Sink, typename First = decltype(&walk_only)>
char *plain_allocated(zarvel_document *document, const zarvel_plain_options *options, uint64_t *out_len,
                      int32_t *status, First first = &walk_only) {
    int32_t local = 0;
    int32_t &st = status ? *status : local;
    st = 0;
    const zarvel_node_store *store = plain_store(document, st);
    if (!store) return nullptr;
    owned_writer out(store);
    if (!plain_owned<Sink>(store, options, first, out, st)) return nullptr;
    writer_finish_text(out.w);
    if (out_len) *out_len = out.w.length;
    return out.release();
}

// Written once into a buffer of its own, then copied when the caller's
// buffer holds it (and a NUL when terminate is set): measuring first and
// writing again took two passes, and the fast writers have no measuring
// mode (the JSON one made it five to ten times slower).
template <typename Sink, typename First = decltype(&walk_only)>
int32_t plain_into(zarvel_document *document, const zarvel_plain_options *options, char *buffer, uint64_t capacity,
                   uint64_t *out_len, bool terminate, First first = &walk_only) {
    if (!buffer && capacity) return 6;
    int32_t st = 0;
    const zarvel_node_store *store = plain_store(document, st);
    if (!store) return st;
    owned_writer out(store);
    if (!plain_owned<Sink>(store, options, first, out, st)) return st;
    const uint64_t length = out.w.length;
    if (out_len) *out_len = length;
    if (!buffer || capacity < length + (terminate ? 1 : 0)) return 0;
    std::memcpy(buffer, out.w.buffer, length);
    if (terminate) buffer[length] = 0;
    return 0;
}

// The output handed to callback in pieces. A JSON parse's document is
// written whole first, by the fast writers, which cannot take back bytes
// once handed over (and so would check less on a stream), and then handed
// over in pieces of the stream's size; others are walked into the stream
// buffer, which keeps their memory to a piece.
template <typename Sink, typename First = decltype(&walk_only)>
int32_t plain_stream(zarvel_document *document, const zarvel_plain_options *options, zarvel_write_fn callback,
                     void *user, uint64_t *out_len, First first = &walk_only) {
    if (!callback) return 6;
    int32_t st = 0;
    const zarvel_node_store *store = plain_store(document, st);
    if (!store) return st;
    if (store->json_checked) {
        owned_writer out(store);
        if (!plain_owned<Sink>(store, options, first, out, st)) return st;
        const uint64_t length = out.w.length;
        for (uint64_t at = 0; at < length; at += stream_flush_threshold) {
            const uint64_t piece = length - at < stream_flush_threshold ? length - at : stream_flush_threshold;
            if (callback(user, out.w.buffer + at, piece) != 0) {
                zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, message::callback_stopped);
                return 1;
            }
        }
        if (out_len) *out_len = length;
        return 0;
    }
    owned_writer out(store);
    if (!writer_own(out.w, stream_buffer_size)) {
        zarvel_error_set(zarvel_error_current(), 2, 0, 0, 0, nullptr);
        return 2;
    }
    zarvel_writer &w = out.w;
    w.callback = callback;
    w.user = user;
    w.flush_threshold = stream_flush_threshold;
    writer_update_room(w);
    st = walk_documents<Sink>(w, store, options);
    if (st == 0) {
        writer_flush(w);
        if (w.callback_failed) {
            zarvel_error_set(zarvel_error_current(), 1, 0, 0, 0, message::callback_stopped);
            st = 1;
        }
    }
    if (st == 0 && out_len) *out_len = w.handed_over;
    return st;
}

}  // namespace zvl::plain
