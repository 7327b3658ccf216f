// Output state shared by every serialiser entry point: the target (a growable
// buffer or a callback fed in pieces), the cursor (last byte, column) and the
// mode flags.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/copy.hpp"
#include "core/memory.hpp"
#include "doc/store.hpp"
#include "zarvel.h"

struct zarvel_writer {
    // Document being written.
    const zarvel_node_store *store;

    // Target buffer, from zvl::sys_malloc: without a callback it grows and
    // is handed to the caller; the stream buffer never grows.
    char *buffer;
    uint64_t length;     // bytes in the buffer (after a failed growth: counted)
    uint64_t capacity;   // bytes allocated
    bool out_of_memory;  // a growth failed: only counting from then on

    // Stream target.
    zarvel_write_fn callback;
    void *user;
    uint64_t flush_threshold;
    uint64_t handed_over;  // bytes already delivered to the callback
    bool callback_failed;

    // Writes of up to room_end - length - 1 bytes go straight into the
    // buffer: the capacity of a buffer, the flush threshold of the stream
    // buffer, 0 after a failure (everything then takes the slow path).
    uint64_t room_end;

    uint8_t last;     // last byte written (0 before the first)
    uint64_t column;  // bytes since the last line feed

    // Modes.
    bool canonical;
    bool explicit_start;
    bool json;
    bool compact;
    int32_t width;   // 0: no wrapping of flow collections
    uint8_t indent;  // blanks per nested block mapping
    uint8_t style;   // ZARVEL_STYLE_*: keep, or force block or flow collections

    // JSON mode: write only this document of the stream (none: the stream
    // rule, exactly one document or nothing).
    uint32_t json_document;

    bool in_complex_key;
    uint32_t flow_depth;  // flow collections open around the cursor

    // Canonical mode: anchor name -> anchor number.
    zarvel_strmap anchors;
    bool anchors_ready;
    bool failed;  // an internal allocation (anchor map) failed
};

namespace zvl {

inline constexpr uint64_t stream_buffer_size = 131072;
inline constexpr uint64_t stream_flush_threshold = 65536;

// Zero-filled writer over a store with default modes (block YAML, width 80).
void writer_init(zarvel_writer &w, const zarvel_node_store *store);
// Starts a pass again: fill length, delivered total, cursor, complex-key flag
// and anchor map go back to their start.
void writer_reset_pass(zarvel_writer &w);
// A buffer of `capacity` bytes from the system allocator (the caller frees
// it or hands it over); false when it cannot be had.
bool writer_own(zarvel_writer &w, uint64_t capacity);
// A growable buffer for a one-pass text made from `input` bytes, and its
// end: a NUL after the text, the unused tail given back. False when the
// buffer cannot be had.
bool writer_own_text(zarvel_writer &w, uint64_t input);
void writer_finish_text(zarvel_writer &w);

// Slow path of every write once the bytes are known: growth,
// out-of-memory counting, stream delivery.
void writer_put_slow(zarvel_writer &w, const char *bytes, uint64_t n);
// Hands whatever the stream buffer holds to the callback.
void writer_flush(zarvel_writer &w);

// Room for n bytes at the end of a plain growable or fixed buffer, to be
// written with writer_commit; null when the slow path must be used.
inline char *writer_room(zarvel_writer &w, uint64_t n) {
    if (w.length + n + 1 > w.room_end) return nullptr;
    return w.buffer + w.length;
}
// Sets room_end from the target and modes; call after changing them.
void writer_update_room(zarvel_writer &w);
// Marks n bytes written at writer_room's pointer; the run holds no line feed.
inline void writer_commit_line_free(zarvel_writer &w, uint64_t n, uint8_t last) {
    w.length += n;
    w.column += n;
    w.last = last;
}

// Room for n bytes like writer_room, growing a growable buffer when it is
// full; null when the target cannot give the room (a stream, a failure),
// and the caller then writes through the general path.
char *writer_reserve_slow(zarvel_writer &w, uint64_t n);
inline char *writer_reserve(zarvel_writer &w, uint64_t n) {
    if (char *room = writer_room(w, n)) return room;
    return writer_reserve_slow(w, n);
}

// A run without line feeds (the caller knows it).
inline void put_line_free(zarvel_writer &w, const char *bytes, uint64_t n) {
    if (n == 0) return;
    w.last = uint8_t(bytes[n - 1]);
    w.column += n;
    if (char *room = writer_room(w, n)) {
        zvl::copy_run(room, bytes, n);
        w.length += n;
        return;
    }
    writer_put_slow(w, bytes, n);
}
inline void put(zarvel_writer &w, std::string_view text) { put_line_free(w, text.data(), text.size()); }
inline void put_byte(zarvel_writer &w, char c) {
    if (c == '\n') {
        w.column = 0;
    } else {
        w.column += 1;
    }
    w.last = uint8_t(c);
    if (char *room = writer_room(w, 1)) {
        *room = c;
        w.length += 1;
        return;
    }
    writer_put_slow(w, &c, 1);
}
// n blanks at p without a call: overlapping stores that stay within the n
// bytes (deep indentations are common, a memset call costs more than them).
inline __attribute__((always_inline)) void fill_blanks(char *p, uint64_t n) {
    constexpr uint64_t blanks8 = 0x2020202020202020ull;
    if (n > 16) {
        static constexpr uint64_t blanks16[2] = {blanks8, blanks8};
        std::memcpy(p, blanks16, 16);
        std::memcpy(p + n - 16, blanks16, 16);
        if (n > 32) {
            std::memcpy(p + 16, blanks16, 16);
            std::memcpy(p + n - 32, blanks16, 16);
            for (uint64_t i = 32; i + 32 < n; i += 16) std::memcpy(p + i, blanks16, 16);
        }
    } else if (n >= 8) {
        std::memcpy(p, &blanks8, 8);
        std::memcpy(p + n - 8, &blanks8, 8);
    } else if (n >= 4) {
        std::memcpy(p, &blanks8, 4);
        std::memcpy(p + n - 4, &blanks8, 4);
    } else if (n > 0) {
        p[0] = ' ';
        p[n / 2] = ' ';
        p[n - 1] = ' ';
    }
}
void put_blanks(zarvel_writer &w, uint64_t n);
// Bytes as padded base64, handed to emit(chars, n) in runs of at most 64.
template <class Emit>
bool base64_runs(std::string_view bytes, Emit emit) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char run[64];
    size_t used = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (n > 1) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (n > 2) v |= uint8_t(bytes[i + 2]);
        run[used] = alphabet[v >> 18];
        run[used + 1] = alphabet[(v >> 12) & 63];
        run[used + 2] = n > 1 ? alphabet[(v >> 6) & 63] : '=';
        run[used + 3] = n > 2 ? alphabet[v & 63] : '=';
        used += 4;
        if (used == sizeof run) {
            if (!emit(run, used)) return false;
            used = 0;
        }
    }
    return used == 0 || emit(run, used);
}
// Bytes as a double-quoted base64 text: the form of binary data in JSON and,
// after a !!binary tag, in YAML.
inline void put_base64_quoted(zarvel_writer &w, std::string_view bytes) {
    put_byte(w, '"');
    base64_runs(bytes, [&](const char *run, size_t n) {
        put_line_free(w, run, n);
        return true;
    });
    put_byte(w, '"');
}
// "\n" unless the last byte already is one.
inline void put_line_end(zarvel_writer &w) {
    if (w.last != '\n') put_byte(w, '\n');
}

}  // namespace zvl
