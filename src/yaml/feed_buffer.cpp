// Pending input and document-boundary scan of the recorder.
#include "yaml/feed_buffer.hpp"

#include <cstring>

#include "core/memory.hpp"

namespace {

constexpr char marker[] = "---";
constexpr uint64_t marker_length = 3;

bool ends_marker(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A quote opens a quoted scalar only where a scalar can start: at the start,
// after white space, after node properties and after indicators.
bool opens_quote_after(char previous) {
    switch (previous) {
    case '\t':
    case '\n':
    case ' ':
    case '!':
    case '&':
    case '*':
    case ',':
    case '-':
    case ':':
    case '?':
    case '[':
    case '{': return true;
    default: return false;
    }
}

bool starts_comment_after(char previous) { return previous == ' ' || previous == '\t' || previous == '\n'; }

enum class line_start_result { ordinary, boundary, incomplete };

// At a line start outside quotes and flow collections: a document start
// marker, or the first bytes of one whose end has not arrived yet.
line_start_result classify_line_start(const char *p, uint64_t available) {
    uint64_t compare = available < marker_length ? available : marker_length;
    if (std::memcmp(p, marker, compare) != 0) return line_start_result::ordinary;
    if (available <= marker_length) return line_start_result::incomplete;
    return ends_marker(p[marker_length]) ? line_start_result::boundary : line_start_result::ordinary;
}

}  // namespace

bool zvl::feed_buffer_append(zarvel_feed_buffer &buffer, const char *data, uint64_t length) {
    if (length == 0) return true;
    if (!feed_buffer_reserve(buffer, length)) return false;
    std::memcpy(buffer.pending + buffer.used, data, length);
    buffer.used += length;
    return true;
}

bool zvl::feed_buffer_reserve(zarvel_feed_buffer &buffer, uint64_t extra) {
    if (extra > UINT64_MAX - buffer.used) return false;
    uint64_t wanted = buffer.used + extra;
    if (wanted > buffer.capacity) {
        uint64_t grown = buffer.capacity ? buffer.capacity : feed_buffer_initial_capacity;
        while (grown < wanted) {
            if (grown > SIZE_MAX / 2) return false;
            grown *= 2;
        }
        void *fresh = sys_realloc(buffer.pending, grown);
        if (!fresh) return false;
        buffer.pending = static_cast<char *>(fresh);
        buffer.capacity = grown;
    }
    return true;
}

uint64_t zvl::scan_boundaries(const char *p, uint64_t n, boundary_scan &buffer, bool first_only) {
    uint64_t i = buffer.scan_position;
    uint64_t cut = 0;
    while (i < n) {
        const char c = p[i];
        if (buffer.in_comment) {
            if (c == '\n') buffer.in_comment = false;
            ++i;
            continue;
        }
        if (buffer.quote == '"') {
            if (c == '\\') {
                if (i + 1 >= n) break;  // the escaped byte decides; wait for it
                i += 2;
                continue;
            }
            if (c == '"') buffer.quote = 0;
            ++i;
            continue;
        }
        if (buffer.quote == '\'') {
            if (c == '\'') {
                if (i + 1 >= n) break;  // a doubled quote is one character; wait
                if (p[i + 1] == '\'') {
                    i += 2;
                    continue;
                }
                buffer.quote = 0;
            }
            ++i;
            continue;
        }
        const bool line_start = i == 0 || p[i - 1] == '\n';
        if (line_start && buffer.flow_depth == 0) {
            if (c == '%') {
                buffer.directive_seen = true;
            } else if (c == '-') {
                line_start_result kind = classify_line_start(p + i, n - i);
                if (kind == line_start_result::incomplete) break;
                if (kind == line_start_result::boundary) {
                    // A marker after directives opens the document they belong
                    // to: cutting there would part them.
                    if (i != 0 && !buffer.directive_seen) {
                        cut = i;
                        if (first_only) {
                            // Resuming goes on after this marker.
                            i += marker_length;
                            break;
                        }
                    }
                    buffer.directive_seen = false;
                    i += marker_length;
                    continue;
                }
            }
        }
        const char previous = i == 0 ? '\n' : p[i - 1];
        switch (c) {
        case '#':
            if (starts_comment_after(previous)) buffer.in_comment = true;
            break;
        case '\'':
        case '"':
            if (opens_quote_after(previous)) buffer.quote = c;
            break;
        case '[':
        case '{': ++buffer.flow_depth; break;
        case ']':
        case '}':
            if (buffer.flow_depth) --buffer.flow_depth;
            break;
        default: break;
        }
        ++i;
    }
    buffer.scan_position = i;
    return cut;
}

uint64_t zvl::feed_buffer_find_cut(zarvel_feed_buffer &buffer) {
    return scan_boundaries(buffer.pending, buffer.used, buffer.scan, false);
}

void zvl::feed_buffer_consume(zarvel_feed_buffer &buffer, uint64_t cut) {
    std::memmove(buffer.pending, buffer.pending + cut, buffer.used - cut);
    buffer.used -= cut;
    buffer.scan = boundary_scan{};
}

void zvl::feed_buffer_release(zarvel_feed_buffer &buffer) {
    sys_free(buffer.pending);
    buffer.pending = nullptr;
    buffer.used = buffer.capacity = 0;
    buffer.scan = boundary_scan{};
}

uint64_t zvl::line_break_at(const char *text, uint64_t length, uint64_t i, bool unicode_breaks) {
    const auto byte = [&](uint64_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c == '\n') return 1;
    if (c == '\r') return i + 1 < length && text[i + 1] == '\n' ? 2 : 1;
    if (!unicode_breaks) return 0;
    if (c == 0xC2 && i + 1 < length && byte(i + 1) == 0x85) return 2;  // NEL
    if (c == 0xE2 && i + 2 < length && byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9))
        return 3;  // LS, PS
    return 0;
}

uint64_t zvl::count_line_breaks(const char *text, uint64_t length, bool unicode_breaks) {
    uint64_t breaks = 0;
    for (uint64_t i = 0; i < length;) {
        uint64_t step = line_break_at(text, length, i, unicode_breaks);
        breaks += step != 0;
        i += step ? step : 1;
    }
    return breaks;
}
