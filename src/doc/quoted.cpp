// Decoding of double-quoted bodies without line folding; the exported form
// serves every reader that keeps such a body raw until it is read.
#include "doc/quoted.hpp"

#include <cstring>

#include "zarvel.h"

namespace zvl::quoted {

namespace {
bool is_break(char c) { return c == '\n' || c == '\r'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

uint64_t finish_double(const char *text, uint64_t start, uint64_t end, char *buffer, uint64_t capacity) {
    uint64_t written = 0;
    bool full = false;
    // A character that does not fit ends the output: it is written whole or not at all.
    auto put = [&](const char *bytes, uint64_t n) {
        if (written + n > capacity) {
            full = true;
            return;
        }
        std::memcpy(buffer + written, bytes, n);
        written += n;
    };
    uint64_t i = start;
    while (i < end && !full) {
        char c = text[i];
        if (c != '\\') {
            put(&c, 1);
            ++i;
            continue;
        }
        uint64_t at = i + 1;
        if (at < end && is_break(text[at])) {
            at += (text[at] == '\r' && at + 1 < end && text[at + 1] == '\n') ? 2 : 1;
            while (at < end && is_blank(text[at])) ++at;
            i = at;
            continue;
        }
        char out[8];
        uint32_t produced = 0;
        uint64_t used = decode_escape(text, at, end, false, out, &produced, nullptr);
        if (used == 0) {
            put(text + i, at < end ? 2 : 1);
            i = at < end ? at + 1 : at;
        } else {
            put(out, produced);
            i = at + used;
        }
    }
    return written;
}

}  // namespace zvl::quoted

uint64_t zvl_finish_double_into(const char *text, uint64_t start, uint64_t end, char *buffer, uint64_t capacity) {
    if (!text || end <= start || (!buffer && capacity)) return 0;
    return zvl::quoted::finish_double(text, start, end, buffer, capacity);
}
