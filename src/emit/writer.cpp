// Write primitives of the serialiser: buffer growth, stream
// delivery. The cursor (last byte, column) is updated by the inline callers
// before they get here.
#include "emit/writer.hpp"

namespace zvl {

void writer_init(zarvel_writer &w, const zarvel_node_store *store) {
    std::memset(static_cast<void *>(&w), 0, sizeof w);
    w.store = store;
    w.width = 80;
    w.indent = 2;
    w.json_document = zarvel_node_none;
}

void writer_reset_pass(zarvel_writer &w) {
    w.length = 0;
    w.handed_over = 0;
    w.last = 0;
    w.column = 0;
    w.in_complex_key = false;
    w.flow_depth = 0;
    if (w.anchors_ready) zarvel_strmap_clear(&w.anchors);
}

void writer_update_room(zarvel_writer &w) {
    if (w.out_of_memory || w.callback_failed || !w.buffer)
        w.room_end = 0;
    else if (w.callback)
        w.room_end = w.flush_threshold;  // the slow path flushes at the threshold
    else
        w.room_end = w.capacity;
}

void writer_flush(zarvel_writer &w) {
    if (!w.callback || w.callback_failed || w.length == 0) return;
    if (w.callback(w.user, w.buffer, w.length) != 0) {
        w.callback_failed = true;
        w.room_end = 0;
        return;
    }
    w.handed_over += w.length;
    w.length = 0;
}

bool writer_own(zarvel_writer &w, uint64_t capacity) {
    w.buffer = static_cast<char *>(sys_malloc(size_t(capacity)));
    if (!w.buffer) return false;
    w.capacity = capacity;
    return true;
}

bool writer_own_text(zarvel_writer &w, uint64_t input) {
    // Room past the input's size: the fast writers ask for room by the
    // longest form of what comes next (six bytes per string byte, 32 per
    // number), so a text about as long as its input would otherwise double
    // the buffer for its last items. Pages of the tail that stay unwritten
    // are never touched, and the tail is given back at the end.
    uint64_t capacity = input + input / 16 + 64;
    if (capacity < 256) capacity = 256;
    if (!writer_own(w, capacity)) return false;
    writer_update_room(w);
    return true;
}

void writer_finish_text(zarvel_writer &w) {
    w.buffer[w.length] = 0;
    if (w.capacity - w.length - 1 > w.capacity / 8) {
        // A failed shrink keeps the larger buffer.
        if (char *smaller = static_cast<char *>(sys_realloc(w.buffer, size_t(w.length + 1)))) w.buffer = smaller;
    }
}

namespace {

// Grows a growable buffer to hold n more bytes and a NUL: to the larger of
// twice the capacity and the length needed plus one.
bool grow(zarvel_writer &w, uint64_t n) {
    uint64_t needed = w.length + n + 1;
    uint64_t wanted = w.capacity * 2 > needed ? w.capacity * 2 : needed;
    char *fresh = static_cast<char *>(sys_realloc(w.buffer, size_t(wanted)));
    if (!fresh) return false;
    w.buffer = fresh;
    w.capacity = wanted;
    w.room_end = wanted;
    return true;
}

}  // namespace

char *writer_reserve_slow(zarvel_writer &w, uint64_t n) {
    if (w.out_of_memory || w.callback || !w.buffer) return nullptr;
    if (!grow(w, n)) {
        // Only counting from here on, as after any failed growth.
        w.out_of_memory = true;
        w.room_end = 0;
        return nullptr;
    }
    return writer_room(w, n);
}

void writer_put_slow(zarvel_writer &w, const char *bytes, uint64_t n) {
    if (w.out_of_memory) {
        w.length += n;
        return;
    }
    if (w.callback) {
        // Once the callback refused, nothing more is delivered; the call's
        // result is 0 whatever is counted.
        if (w.callback_failed) return;
        while (n > 0) {
            uint64_t room = w.capacity - w.length;
            uint64_t take = n < room ? n : room;
            std::memcpy(w.buffer + w.length, bytes, size_t(take));
            w.length += take;
            bytes += take;
            n -= take;
            if (w.length >= w.flush_threshold) {
                writer_flush(w);
                if (w.callback_failed) return;
            }
        }
        return;
    }
    if (w.capacity - w.length < n + 1) {
        if (!w.buffer || !grow(w, n)) {
            // Only counting from here on, as after any failed growth.
            w.out_of_memory = true;
            w.room_end = 0;
            w.length += n;
            return;
        }
    }
    std::memcpy(w.buffer + w.length, bytes, size_t(n));
    w.length += n;
}

void put_blanks(zarvel_writer &w, uint64_t n) {
    if (n == 0) return;
    if (char *room = writer_room(w, n)) {
        fill_blanks(room, n);
        w.length += n;
        w.column += n;
        w.last = ' ';
        return;
    }
    static constexpr char blanks[64] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    while (n > 0) {
        uint64_t take = n < sizeof blanks ? n : sizeof blanks;
        put_line_free(w, blanks, take);
        n -= take;
    }
}

}  // namespace zvl
